#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/worker_thread.h"
#include "destination/durable_file.h"
#include "destination/growing_file.h"

namespace picferry {

// One requested download and whom to tell its outcome.
struct DownloadRequest {
  std::shared_ptr<CameraFile> file;
  DownloadOptions options;
  CameraDeviceDownloadDelegate* delegate = nullptr;
  void* contextInfo = nullptr;
};

// What the pipeline needs of its device.
class DownloadPipelineHost {
 public:
  virtual ~DownloadPipelineHost() = default;
  // Runs `run` on the device's worker, after what was submitted before, or
  // `abandon` instead when the worker stops first.
  virtual void runOnDevice(std::function<void()> run, std::function<void()> abandon) = 0;
  // The file that follows `file` in the catalogue, or null.
  virtual std::shared_ptr<CameraFile> fileAfter(const CameraFile& file) const = 0;
  // On the worker: copies `file` into `out` and calls out.finishWriting;
  // may stop early, with an error, once `abandoned` is set.
  virtual std::optional<DeviceError> transfer(const CameraFile& file, DurableFile& out,
                                              const std::atomic<bool>& abandoned) = 0;
  // Any thread: tells the request's delegate its outcome.
  virtual void report(DownloadRequest request, std::optional<DeviceError> error) = 0;
};

// Copies requested files one at a time on the device's worker. While a copy
// is flushed and named (on flusher threads), the device already copies the
// next files of the catalogue into unnamed files of the same folder, so that
// the disk and the device work at once. A request for the file read ahead
// gets that copy; any other request, or the end, drops it without a trace.
// A file is reported only once its data and name are on disk, and a copy
// read ahead is never named before it is requested. Public methods: main
// thread (the destructor on any thread but the workers).
class DownloadPipeline {
 public:
  // Read ahead at most this many files, and past the first one only while
  // they hold at most kAheadBytes.
  static constexpr std::size_t kAheadFiles = 4;
  static constexpr std::int64_t kAheadBytes = 64 << 20;
  // Files whose name is already taken in the folder are passed over, a few
  // of them at most, when choosing what to read ahead.
  static constexpr int kTakenNamesPassed = 16;

  explicit DownloadPipeline(DownloadPipelineHost& host);
  // Joins the flushers. A request not yet answered is answered with a failure.
  ~DownloadPipeline();
  DownloadPipeline(const DownloadPipeline&) = delete;
  DownloadPipeline& operator=(const DownloadPipeline&) = delete;

  void request(DownloadRequest request);
  // Any thread: the bytes so far of the copy that answers the request for
  // `file` (read ahead or not), or nothing once that request is answered.
  std::optional<std::int64_t> bytesCopied(const CameraFile& file);
  // Asks every transfer under way to stop early (before the worker stops).
  void abandonAll();

 private:
  struct Copy;
  void startTransfer(const std::shared_ptr<Copy>& copy);
  void transfer(const std::shared_ptr<Copy>& copy);
  void flush(const std::shared_ptr<Copy>& copy);
  static bool takeForAnswer(Copy& copy);  // mutex_ held
  void answer(const std::shared_ptr<Copy>& copy);
  bool readAheadPassedOver(const DownloadRequest& request) const;  // mutex_ held
  void readAhead(std::vector<std::shared_ptr<Copy>>* started);  // mutex_ held
  void dropFrom(std::deque<std::shared_ptr<Copy>>::iterator first,
                std::deque<std::shared_ptr<Copy>>::iterator last);  // mutex_ held
  // `savedName`: the name the copy was saved under, when it was.
  void finish(const std::shared_ptr<Copy>& copy, std::optional<DeviceError> error,
              std::string savedName = {});
  DownloadPipelineHost& host_;
  std::mutex mutex_;
  // The copies under way, in catalogue order: the requested one first, if
  // any, then those read ahead. Guarded by mutex_.
  std::deque<std::shared_ptr<Copy>> copies_;
  std::unique_ptr<WorkerThread> namer_;  // names one requested copy at a time
  std::vector<std::unique_ptr<WorkerThread>> flushers_;
  std::size_t nextFlusher_ = 0;  // guarded by mutex_
};

}  // namespace picferry
