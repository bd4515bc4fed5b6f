#pragma once

#include <atomic>
#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "camera/camera.h"
#include "events/events.h"
#include "platform/services.h"
#include "record/import_record.h"
#include "thumbnails/thumbnail_maker.h"

namespace picferry {

// The one controller of a run. Every operation runs on the main queue, except
// the watchdog check, which runs on the background queue and reads only the
// atomics `ready` and `cameraTaken`.
class Importer : public std::enable_shared_from_this<Importer>,
                 public DeviceBrowserDelegate,
                 public CameraDeviceDelegate,
                 public CameraDeviceDownloadDelegate,
                 public CameraDeviceThumbnailDelegate,
                 public DeviceDelegate {
 public:
  // The run mode. `dest` is an absolute path; it is "/" outside importTo.
  // `deviceId`, when given, is the one device the run may take (never in
  // the devices mode, which lists them all).
  struct Mode {
    enum class Kind { importTo, detect, session, devices };
    Kind kind = Kind::detect;
    std::string dest = "/";
    bool skipExisting = false;
    bool byteProgress = false;
    std::optional<std::string> deviceId;
    // --items (detect, session): an "item" event per file after "detected".
    bool items = false;
    // --thumbnails (with --items): a "thumbnail" event per file after the items.
    bool thumbnails = false;
    // --new-only (importTo): files the record holds are skipped.
    bool newOnly = false;
    // --only (importTo): the device paths to import.
    std::optional<std::vector<std::string>> only{};
    // --reasons (importTo): "failed" and "space" events.
    bool reasons = false;

    static Mode importTo(std::string dest, bool skipExisting, bool byteProgress = false) {
      return {Kind::importTo, std::move(dest), skipExisting, byteProgress, std::nullopt};
    }
    static Mode detect() { return {Kind::detect, "/", false, false, std::nullopt}; }
    static Mode session() { return {Kind::session, "/", false, false, std::nullopt}; }
    static Mode devices() { return {Kind::devices, "/", false, false, std::nullopt}; }
    Mode onlyDevice(std::optional<std::string> id) && {
      deviceId = std::move(id);
      return std::move(*this);
    }
  };

  // An import asked for in a session, waiting for the catalogue.
  struct PendingImport {
    std::string dest;
    bool skip = false;
    bool byteProgress = false;
    bool newOnly = false;
    std::optional<std::vector<std::string>> only{};  // device paths
    bool reasons = false;
  };

  // `record`: what earlier imports saved; this run's are added to it.
  // `thumbnails`: where thumbnails come from, when the mode asks for them.
  Importer(Mode mode, std::unique_ptr<DeviceBrowser> browser, Platform platform,
           std::unique_ptr<ImportRecord> record,
           std::unique_ptr<ThumbnailMaker> thumbnails = nullptr);

  // Arms the run for its mode. Call once, on the main thread, right after
  // construction and before the run loop starts.
  void start();

  // Cancellation and completion.
  void installCancelHandler();
  // `waitForRecord`: let the import record take what is pending first (not on a stop).
  [[noreturn]] void emitDoneAndExit(bool waitForRecord = true);

  // Discovery and session opening.
  void takeCamera(std::shared_ptr<CameraDevice> device);
  void finishEnumeration();
  void tryOpenSession();

  // Catalogue settling and report.
  void scheduleSettle();
  void finalizeCatalog();

  // Download queue.
  void requestImport(PendingImport request);
  void beginPendingImport();
  void downloadNext();
  void emitProgress(const std::string& name);
  // What a file's turn decides: its name in events, the name it is saved
  // under, and whether it is skipped (`found`: the regular file found) or,
  // not skipped, cannot be held by dest's file system (`unfit`: why).
  struct FileTurn {
    std::string name;
    std::string saveAs;
    bool skip = false;
    std::string found;
    std::optional<DeviceError> unfit;
  };
  FileTurn decideTurn(const CameraFile& file, std::int64_t position);
  // Decides up front what it can of every file's turn, and tells the camera
  // the files the import will request (download_plan.cpp).
  void planDownloads();

  // Why files fail, and the room they need (failure_report.cpp).
  // Plans the files chosen and takes the first.
  void startDownloads();
  void emitSpace();
  // Why the file cannot be copied into dest before any byte is read, if so.
  std::optional<DeviceError> refusedForRoom(const CameraFile& file) const;
  // Counts a file unavailable and writes its "progress", after its "failed"
  // when the import asked for reasons.
  void countUnavailable(const std::string& path, const std::string& name,
                        const DeviceError& error);
  // `*found`: the regular file found, when it is one.
  bool isAlreadyImported(const CameraFile& file, const std::string& saveAs, std::string* found);

  // What to import and the record of what was (import_choice.cpp).
  void emitItems(const std::vector<std::shared_ptr<CameraFile>>& mediaList);
  void chooseFiles(const std::optional<std::vector<std::string>>& only);
  bool isRecorded(const CameraFile& file);
  void recordSaved(const CameraFile& file, const std::string& savedAs);
  const std::variant<RecordedFiles, RecordFailure>& recordedFiles();

  // Thumbnails after the items (thumbnails.cpp).
  void beginThumbnails(const std::vector<std::shared_ptr<CameraFile>>& mediaList);
  void readNextThumbnails();
  void thumbnailMade(const CameraFile& file, std::optional<CachedThumbnail> made);
  void emitMadeThumbnails();
  void prioritizeThumbnails(const std::vector<std::string>& paths);
  void dropThumbnails();

  // Session commands on standard input.
  void setupStdinReader();
  void handleStdinData(const std::string& chunk);
  [[noreturn]] void handleStdinClosed();

  // DeviceBrowserDelegate
  void deviceBrowserDidAddDevice(DeviceBrowser& browser, const std::shared_ptr<Device>& device,
                                 bool moreComing) override;
  void deviceBrowserDidRemoveDevice(DeviceBrowser& browser, const std::shared_ptr<Device>& device,
                                    bool moreGoing) override;
  void deviceBrowserDidEnumerateLocalDevices(DeviceBrowser& browser) override;
  // DeviceDelegate
  void deviceDidOpenSessionWithError(Device& device,
                                     const std::optional<DeviceError>& error) override;
  void deviceDidCloseSessionWithError(Device& device,
                                      const std::optional<DeviceError>& error) override;
  void didRemoveDevice(Device& device) override;
  // CameraDeviceDelegate
  void deviceDidBecomeReadyWithCompleteContentCatalog(CameraDevice& device) override;
  void cameraDeviceDidAddItems(CameraDevice& device,
                               const std::vector<std::shared_ptr<CameraItem>>& items) override;
  void cameraDeviceDidRemoveItems(CameraDevice& device,
                                  const std::vector<std::shared_ptr<CameraItem>>& items) override;
  void cameraDeviceDidFailCatalogWithError(CameraDevice& device, const DeviceError& error) override;
  // CameraDeviceDownloadDelegate
  void didDownloadFile(const std::shared_ptr<CameraFile>& file,
                       const std::optional<DeviceError>& error, const DownloadOptions& options,
                       void* contextInfo) override;
  void didReceiveDownloadProgressForFile(const std::shared_ptr<CameraFile>& file,
                                         std::int64_t downloadedBytes) override;
  // CameraDeviceThumbnailDelegate
  void didReadThumbnailSource(const std::shared_ptr<CameraFile>& file,
                              ThumbnailSource source) override;

  // The run's state, in declaration order. Public so that tests can observe it.
  const Mode mode;
  const std::unique_ptr<DeviceBrowser> browser;
  std::shared_ptr<CameraDevice> camera;
  // The cameras reported, in order, while the browser's first look lasts
  // (in the devices mode: the ones to list), less those removed since.
  std::vector<std::shared_ptr<CameraDevice>> attached;
  bool enumerated = false;
  std::shared_ptr<TaskHandle> enumerationTimer;
  std::vector<std::shared_ptr<CameraFile>> queue;
  std::int64_t idx = 0;
  std::int64_t downloaded = 0;
  std::int64_t skipped = 0;
  std::int64_t unavailable = 0;
  std::int64_t total = 0;
  std::string dest = "/";
  bool skipExisting = false;
  std::atomic<bool> ready{false};
  std::int64_t openAttempts = 0;
  static constexpr std::int64_t maxOpenAttempts = 15;
  std::vector<std::unique_ptr<SignalSource>> signalSources;
  std::shared_ptr<TaskHandle> watchdog;
  std::shared_ptr<TaskHandle> settleTimer;
  bool finalized = false;
  std::int64_t emptyWaits = 0;
  static constexpr double settleQuietSeconds = 3.0;
  static constexpr std::int64_t maxEmptyWaits = 12;
  bool importing = false;
  std::optional<PendingImport> pendingImport;
  std::string stdinBuf;
  // Byte progress: whether the import writes "transfer" events; the
  // catalogue's total size; the sizes of the first `handledBytesOf` files of
  // `queue`; the last "doneBytes" written.
  bool byteProgress = false;
  std::int64_t totalBytes = 0;
  std::int64_t handledBytes = 0;
  std::int64_t handledBytesOf = 0;
  std::int64_t doneBytes = 0;
  const std::unique_ptr<ImportRecord> record;
  // What the record holds of the device, read once when first needed.
  std::optional<std::variant<RecordedFiles, RecordFailure>> recorded;
  bool newOnly = false;
  // The turns of `queue` decided up front: a copy's own name, once given,
  // cannot change what its turn decides.
  std::vector<std::optional<FileTurn>> plannedTurns;
  // Chosen paths the catalogue does not hold: reported unavailable last.
  std::vector<std::string> absentPaths;
  // Whether the import writes "failed" and "space" events; what dest's file
  // system could take when the import began.
  bool reasons = false;
  FileSystemRoom destinationRoom;
  // Thumbnails: the files not yet taken, in the order they are to be read;
  // those taken, in the order of their events, each with its thumbnail once
  // made; how many the device is reading; whether they were dropped.
  struct DueThumbnail {
    std::shared_ptr<CameraFile> file;
    bool made = false;
    std::optional<CachedThumbnail> thumbnail;
  };
  std::deque<std::shared_ptr<CameraFile>> thumbnailsToRead;
  std::deque<DueThumbnail> thumbnailsDue;
  std::size_t readingThumbnails = 0;
  bool thumbnailsDropped = false;
  const std::unique_ptr<ThumbnailMaker> thumbnailMaker;
  // At most this many thumbnails are being made while the device reads on,
  // and the device is asked for the next while it reads one, so that it
  // never waits for the main queue.
  static constexpr std::size_t maxThumbnailsMaking = 4;
  static constexpr std::size_t maxThumbnailReads = 2;

  // How long start-up may take before the watchdog ends the run.
  static constexpr double watchdogSeconds = 40.0;
  // Pause between a refused session and the next request.
  static constexpr double openRetrySeconds = 2.0;
  // How long the summary may wait for the record to be written.
  static constexpr double recordFlushSeconds = 0.5;
  // How long the browser's first look may take before the run goes on
  // without its end.
  static constexpr double maxEnumerationSeconds = 3.0;

 private:
  // The device's id, as the record knows it.
  const std::string& recordDeviceId() const { return camera->id(); }
  void checkWatchdog();
  // The device was found but its catalogue cannot be had.
  [[noreturn]] void exitDeviceUnreachable();
  [[noreturn]] void stopByRule();

  Platform platform_;
  EventStream events_;
  // Mirrors `camera` being set, for the watchdog's thread.
  std::atomic<bool> cameraTaken_{false};
};

}  // namespace picferry
