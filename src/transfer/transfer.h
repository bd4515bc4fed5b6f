#pragma once

#include <atomic>
#include <chrono>
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
#include "destination/destination_folder.h"
#include "destination/durable_file.h"
#include "platform/main_queue.h"

namespace picferry {

// One requested download and whom to tell its outcome.
struct DownloadRequest {
  std::shared_ptr<CameraFile> file;
  DownloadOptions options;
  CameraDeviceDownloadDelegate* delegate = nullptr;
  void* contextInfo = nullptr;
};

// What a transfer needs of its device.
class TransferSource {
 public:
  virtual ~TransferSource() = default;
  // Runs `run` on the device's worker, after what was submitted before, or
  // `abandon` instead when the worker stops first.
  virtual void runOnDevice(std::function<void()> run, std::function<void()> abandon) = 0;
  // On the worker: copies `file` into `out`; may stop early, with an error,
  // once `abandoned` is set.
  virtual std::optional<DeviceError> copy(const CameraFile& file, DurableFile& out,
                                          const std::atomic<bool>& abandoned) = 0;
};

using OpenFolder =
    std::function<std::shared_ptr<DestinationFolder>(const std::string& directory, int* error)>;

// Moves requested files from a device into a destination folder, one
// answer at a time, in the order of the requests. While the controller waits
// for one answer, the device already copies the next files of the plan into
// unnamed files of the folder, and the disk flushes them: the device and the
// disk work at once, and the link is never spent on a file the plan does not
// hold. A file is answered only once its data and its name are on disk.
//
// Where the folder's file system allows it, and no large copy is being
// written, the copies ready by then are flushed as a group: one flush of the
// file system for their data, then their names, then one more for the names. A planned file may be named
// before it is requested only when the plan says nothing at its turn can
// leave it out. Elsewhere each file is flushed on its own, at its request.
//
// Public methods: main thread; create with std::make_shared. Outcomes and
// byte progress reach the request's delegate on the main queue.
class Transfer : public std::enable_shared_from_this<Transfer> {
 public:
  // Copy ahead at most this many files, and past the first one only while
  // they hold at most kAheadBytes.
  static constexpr std::size_t kAheadFiles = 32;
  static constexpr std::int64_t kAheadBytes = 64 << 20;
  // Copies are flushed in groups only while none larger than this is being
  // written: a photo's count never waits for a video's bytes.
  static constexpr std::int64_t kGroupedCopyBytes = 16 << 20;
  // The progress of a requested copy, when asked for, is read this often.
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  // `source` must stay valid until abandonAll() was called and its worker
  // has stopped.
  Transfer(MainQueue& mainQueue, TransferSource& source, OpenFolder openFolder = openPosixFolder);
  // Joins the committer. A request not yet answered is answered with a failure.
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // The files the controller will request into `directory`, in order.
  void plan(const std::string& directory, std::vector<PlannedDownload> files);
  void request(DownloadRequest request);
  // Any thread: asks every copy under way to stop early and names nothing more.
  void abandonAll();

 private:
  struct Copy;
  using Copies = std::deque<std::shared_ptr<Copy>>;

  // Main thread, mutex_ held.
  std::shared_ptr<Copy> takeCopyFor(const DownloadRequest& request,
                                    std::vector<std::shared_ptr<Copy>>* started);
  void readAhead(std::vector<std::shared_ptr<Copy>>* started);
  void drop(Copies::iterator first, Copies::iterator last);
  std::optional<DownloadRequest> takeAnswer(const std::shared_ptr<Copy>& copy);

  // The device's worker.
  void copy(const std::shared_ptr<Copy>& copy);
  std::shared_ptr<DestinationFolder> folderFor(const std::string& directory, DeviceError* error);

  // The committer.
  void kick();
  void commitRound();
  // `groups`: with one flush of the file system for all, else file by file.
  void flushData(const std::vector<std::shared_ptr<Copy>>& copies, bool groups);
  void nameAndFlush(const std::vector<std::shared_ptr<Copy>>& copies, bool groups);

  // Any thread: the copy's end, told at once when it is requested, else
  // kept for its request.
  void fail(const std::shared_ptr<Copy>& copy, DeviceError error);
  void markDurable(const std::shared_ptr<Copy>& copy);
  void report(DownloadRequest request, std::optional<DeviceError> error, std::string savedName);

  // Byte progress (main thread): the watched request's delegate is told the
  // bytes of its copy once it is a progress interval old, then every
  // interval, until its answer.
  void sampleProgressAfter(std::chrono::steady_clock::duration delay);
  void sampleProgress();
  std::optional<std::int64_t> bytesCopied(const CameraFile& file);

  MainQueue& mainQueue_;
  TransferSource& source_;
  const OpenFolder openFolder_;

  std::mutex mutex_;
  // Guarded by mutex_: the plan, the position of the first planned file not
  // yet copied or requested, and the copies under way, in request order:
  // the requested one first, if any, then those copied ahead.
  std::string directory_;
  std::vector<PlannedDownload> plan_;
  std::size_t next_ = 0;
  Copies copies_;
  bool roundQueued_ = false;

  std::mutex folderMutex_;
  std::shared_ptr<DestinationFolder> folder_;  // guarded by folderMutex_

  struct WatchedCopy {
    std::shared_ptr<CameraFile> file;
    CameraDeviceDownloadDelegate* delegate = nullptr;
    std::chrono::steady_clock::time_point requestedAt;
    std::int64_t reported = 0;  // the bytes last told, which never go back
  };
  std::optional<WatchedCopy> watched_;  // main thread
  bool sampling_ = false;               // main thread: a sample is due

  std::unique_ptr<WorkerThread> committer_;
};

}  // namespace picferry
