#include "camera/gphoto2/gphoto2_drivers.h"

#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-result.h>

#include <mutex>

#include "camera/gphoto2/attachment_fingerprint.h"
#include "camera/gphoto2/gphoto2_lock.h"

namespace picferry {
namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

constexpr int kAppleVendor = 0x05ac;
// USB still-image class, PTP (PIMA 15740).
constexpr int kPtpClass = 6;
constexpr int kPtpSubclass = 1;
constexpr int kPtpProtocol = 1;

}  // namespace

std::shared_ptr<Gphoto2Drivers> Gphoto2Drivers::load() {
  std::lock_guard lock(gphoto2GlobalLock());
  std::shared_ptr<Gphoto2Drivers> drivers(new Gphoto2Drivers);
  drivers->context_ = gp_context_new();  // No callbacks: its texts are dropped.
  gp_abilities_list_new(&drivers->list_);
  gp_abilities_list_load(drivers->list_, drivers->context_);
  return drivers;
}

Gphoto2Drivers::~Gphoto2Drivers() {
  std::lock_guard lock(gphoto2GlobalLock());
  gp_abilities_list_free(list_);
  gp_context_unref(context_);
}

int Gphoto2Drivers::setAbilitiesLocked(const std::string& model, Camera* camera) const {
  int index = gp_abilities_list_lookup_model(list_, model.c_str());
  if (index < GP_OK) return index;
  CameraAbilities abilities;
  int result = gp_abilities_list_get_abilities(list_, index, &abilities);
  if (result < GP_OK) return result;
  // For Apple's vendor id ptp2 waits inside camera_init, under the global
  // lock, for a locked iPhone's real storage: about 18 s, during which no
  // other device can be detected or opened. Found by its PTP interface on the
  // same port instead, the iPhone is opened at once; the session retries take
  // the storage events instead (Gphoto2Camera::storageRoots). ptp2 reads no
  // other quirk from Apple's ids (camlibs/ptp2/library.c, 2.5.30).
  if (abilities.usb_vendor == kAppleVendor) {
    abilities.usb_vendor = 0;
    abilities.usb_product = 0;
    abilities.usb_class = kPtpClass;
    abilities.usb_subclass = kPtpSubclass;
    abilities.usb_protocol = kPtpProtocol;
  }
  return gp_camera_set_abilities(camera, abilities);
}

// Every port scan leaks inside libgphoto2: its USB driver never frees the
// libusb device list (a few bytes a scan), and its USB probe leaks a block for
// each of ~2,500 camera models (~150 KB a scan) when no USB device is present.
// So the ports are scanned again only when the attached devices or the mount
// table changed (and for a few seconds after, while a device settles); the
// USB probe runs only when the port list names an actual USB device.
std::vector<DetectedCamera> Gphoto2Drivers::detect() {
  constexpr auto kSettling = std::chrono::seconds(5);
  auto now = std::chrono::steady_clock::now();
  std::string fingerprint = attachmentFingerprint();
  std::lock_guard lock(gphoto2GlobalLock());
  if (!scanned_ || fingerprint != fingerprint_) {
    fingerprint_ = std::move(fingerprint);
    changedAt_ = now;
  }
  if (!scanned_ || now - changedAt_ < kSettling) scanPorts();
  return usbCameras_;
}

void Gphoto2Drivers::scanPorts() {
  usbCameras_.clear();
  scanned_ = true;
  GPPortInfoList* ports = nullptr;
  if (gp_port_info_list_new(&ports) < GP_OK) return;
  if (gp_port_info_list_load(ports) < GP_OK) {
    gp_port_info_list_free(ports);
    return;
  }
  bool usbDevicePresent = false;
  int count = gp_port_info_list_count(ports);
  for (int i = 0; i < count; ++i) {
    GPPortInfo info;
    GPPortType type;
    char* rawPath = nullptr;
    if (gp_port_info_list_get_info(ports, i, &info) < GP_OK ||
        gp_port_info_get_type(info, &type) < GP_OK ||
        gp_port_info_get_path(info, &rawPath) < GP_OK || !rawPath) {
      continue;
    }
    std::string path = rawPath;
    if (type == GP_PORT_USB && startsWith(path, "usb:") && path.size() > 4) {
      usbDevicePresent = true;  // "usb:BBB,DDD": a device, not the generic "usb:" entry.
    }
  }
  if (usbDevicePresent) {
    CameraList* cameras = nullptr;
    if (gp_list_new(&cameras) == GP_OK) {
      if (gp_abilities_list_detect(list_, ports, cameras, context_) == GP_OK) {
        int n = gp_list_count(cameras);
        for (int i = 0; i < n; ++i) {
          const char* model = nullptr;
          const char* port = nullptr;
          if (gp_list_get_name(cameras, i, &model) == GP_OK &&
              gp_list_get_value(cameras, i, &port) == GP_OK && model && port &&
              startsWith(port, "usb:")) {
            usbCameras_.push_back({model, port});
          }
        }
      }
      gp_list_free(cameras);
    }
  }
  gp_port_info_list_free(ports);
}

}  // namespace picferry
