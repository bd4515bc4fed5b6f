#pragma once

// The device interface the controller is written against. Every delegate
// callback is delivered on the main queue; a backend that works on threads
// posts its callbacks there.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_error.h"
#include "thumbnails/thumbnail_source.h"

namespace picferry {

// Anything a camera lists: a file, a folder, ...
class CameraItem {
 public:
  virtual ~CameraItem() = default;
};

// A file on the camera. Immutable once listed; safe to read from any thread.
class CameraFile : public CameraItem {
 public:
  virtual std::optional<std::string> name() const = 0;
  virtual std::int64_t fileSize() const = 0;
  // When the file was last modified, in seconds since the epoch; absent when
  // the device does not tell.
  virtual std::optional<std::int64_t> modificationDate() const = 0;
  // The file's place on the device: "/"-separated and beginning with "/",
  // unique within the catalogue and the same on every listing of the file.
  virtual std::string devicePath() const = 0;
  // Whether fileSize() is the exact size, which a copy must then have.
  virtual bool sizeIsKnown() const { return true; }
};

class Device;
class CameraDevice;
class DeviceBrowser;

class DeviceDelegate {
 public:
  virtual ~DeviceDelegate() = default;
  virtual void deviceDidOpenSessionWithError(Device& device,
                                             const std::optional<DeviceError>& error) = 0;
  virtual void deviceDidCloseSessionWithError(Device& device,
                                              const std::optional<DeviceError>& error) = 0;
  virtual void didRemoveDevice(Device& device) = 0;
};

class CameraDeviceDelegate {
 public:
  virtual ~CameraDeviceDelegate() = default;
  virtual void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice& camera) = 0;
  virtual void cameraDeviceDidAddItems(
      CameraDevice& camera, const std::vector<std::shared_ptr<CameraItem>>& items) = 0;
  virtual void cameraDeviceDidRemoveItems(
      CameraDevice& camera, const std::vector<std::shared_ptr<CameraItem>>& items) = 0;
  // The catalogue could not be read in full (a folder could not be listed,
  // the device went away or stopped answering while listing): what was
  // reported of it is not the device's content. Comes at most once, after
  // readiness and instead of the end of the additions; nothing is added
  // after it.
  virtual void cameraDeviceDidFailCatalogWithError(CameraDevice& camera,
                                                   const DeviceError& error) = 0;
};

// Where and how a file is saved.
struct DownloadOptions {
  std::string downloadsDirectory;  // absolute path of an existing directory
  std::string saveAsFilename;      // one path component
  bool overwrite = false;          // false: an existing file is never replaced
  bool reportProgress = false;     // true: didReceiveDownloadProgressForFile while copied
  // Given back with a file saved: the name it was saved under,
  // saveAsFilename or a numbered variant of it.
  std::string savedFilename{};
};

// A file an import will request, and the name it will ask for.
struct PlannedDownload {
  std::shared_ptr<CameraFile> file;
  std::string saveAs;
  // Whether its turn can only request it under that name (nothing decided
  // at its turn can skip it): it may then be named before it is requested.
  bool nameAhead = false;
};

class CameraDeviceDownloadDelegate {
 public:
  virtual ~CameraDeviceDownloadDelegate() = default;
  // Called exactly once for each requested file; `error` is absent on success.
  virtual void didDownloadFile(const std::shared_ptr<CameraFile>& file,
                               const std::optional<DeviceError>& error,
                               const DownloadOptions& options, void* contextInfo) = 0;
  // For a request whose options ask for it: while the file is copied, at most
  // once per progress interval and never within one interval of the request,
  // the bytes of its copy so far. They never go backwards, start above zero
  // when the copy began before the request, and may pass the file's size when
  // the device misreports it. Never after the file's didDownloadFile.
  virtual void didReceiveDownloadProgressForFile(const std::shared_ptr<CameraFile>& file,
                                                 std::int64_t downloadedBytes) = 0;
};

class CameraDeviceThumbnailDelegate {
 public:
  virtual ~CameraDeviceThumbnailDelegate() = default;
  // Called once for each requested file, unless the device goes first: what
  // the file offers towards its thumbnail (empty when nothing).
  virtual void didReadThumbnailSource(const std::shared_ptr<CameraFile>& file,
                                      ThumbnailSource source) = 0;
};

// How a device is reached, in the order discovery prefers them: iPhones
// through usbmuxd, other USB devices through libgphoto2, mounted storage.
enum class DeviceRoute { usbmuxd, usb, mounted };

// The route's name in events: "usbmuxd", "usb" or "mounted".
constexpr std::string_view routeName(DeviceRoute route) {
  switch (route) {
    case DeviceRoute::usbmuxd:
      return "usbmuxd";
    case DeviceRoute::usb:
      return "usb";
    case DeviceRoute::mounted:
      return "mounted";
  }
  return "";
}

class Device {
 public:
  virtual ~Device() = default;
  // Names the device on every run, after a replug and on another port: an
  // iPhone's UDID (on every route), another USB device's serial number, else
  // its port, mounted storage's file-system UUID, else its mount point.
  // Non-empty UTF-8 without control characters (printableDeviceId), known
  // from the moment the device is reported and never changed. Any thread.
  virtual const std::string& id() const = 0;
  virtual DeviceRoute route() const = 0;
  // Non-owning; the delegate outlives the device.
  virtual void setDelegate(DeviceDelegate* delegate) = 0;
  // Answered by deviceDidOpenSessionWithError.
  virtual void requestOpenSession() = 0;
};

class CameraDevice : public Device {
 public:
  // Also receives the DeviceDelegate callbacks.
  virtual void setCameraDelegate(CameraDeviceDelegate* delegate) = 0;
  virtual std::optional<std::string> name() const = 0;
  // The items listed so far, in catalogue order; absent when nothing is known.
  virtual std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const = 0;
  virtual void requestDownloadFile(const std::shared_ptr<CameraFile>& file,
                                   const DownloadOptions& options,
                                   CameraDeviceDownloadDelegate* downloadDelegate,
                                   void* contextInfo) = 0;
  // The files an import will request into `directory`, in order: what the
  // device may copy ahead of their requests. Requests may still leave some
  // out or ask for others.
  virtual void planDownloads(const std::string& directory, std::vector<PlannedDownload> plan) {
    (void)directory;
    (void)plan;
  }
  // Reads, in turn with the device's other requests, what the file offers
  // towards its thumbnail: the device's own thumbnail, the head of the file.
  virtual void requestThumbnailSource(const std::shared_ptr<CameraFile>& file,
                                      CameraDeviceThumbnailDelegate* delegate) = 0;
};

class DeviceBrowserDelegate {
 public:
  virtual ~DeviceBrowserDelegate() = default;
  virtual void deviceBrowserDidAddDevice(DeviceBrowser& browser,
                                         const std::shared_ptr<Device>& device,
                                         bool moreComing) = 0;
  virtual void deviceBrowserDidRemoveDevice(DeviceBrowser& browser,
                                            const std::shared_ptr<Device>& device,
                                            bool moreGoing) = 0;
  // Once, after the browser has reported every device attached when it
  // started: each way it looks for devices has had its first full look.
  virtual void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser& browser) = 0;
};

// Which devices a browser reports, by id; an empty one takes every device.
// A device it leaves out is never opened, claimed or read by the browser.
using DeviceFilter = std::function<bool(const std::string& id)>;

// Device kinds and locations a browser reports.
constexpr unsigned kDeviceTypeCamera = 0x1;
constexpr unsigned kDeviceLocationLocal = 0x100;

class DeviceBrowser {
 public:
  virtual ~DeviceBrowser() = default;
  virtual void setDelegate(DeviceBrowserDelegate* delegate) = 0;
  virtual void setBrowsedDeviceTypeMask(unsigned mask) = 0;
  // Begins enumeration: each device found is reported once, on the main queue.
  virtual void start() = 0;
};

}  // namespace picferry
