#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "thumbnails/thumbnail_source.h"
#include "thumbnails/thumbnail_wire.h"

namespace picferry {

// The thumbnailer, a child process that decodes what devices send (see
// thumbnailer_main.cpp). Started at the first request and again after it
// died; a request it does not answer within the deadline ends it. Not
// thread-safe: one caller at a time. Destruction ends the child.
class ThumbnailerProcess {
 public:
  static constexpr std::chrono::seconds kDeadline{10};

  // `command`: the executable, and arguments, if any; `deadline`: how long
  // one thumbnail may take.
  explicit ThumbnailerProcess(std::vector<std::string> command,
                              std::chrono::milliseconds deadline = kDeadline);
  ~ThumbnailerProcess();
  ThumbnailerProcess(const ThumbnailerProcess&) = delete;
  ThumbnailerProcess& operator=(const ThumbnailerProcess&) = delete;

  // The thumbnail, or absent: the source offers none, or the child crashed,
  // hung or answered nonsense (then it is ended, and the next call starts
  // another).
  std::optional<Thumbnail> make(const ThumbnailSource& source);
  // Whether the last make() got no answer: the child crashed, hung, lied or
  // could not start (a slow machine may be the cause: not worth keeping).
  bool lastFailed() const { return lastFailed_; }

  // The installed thumbnailer beside the running executable: in the same
  // folder (a build tree), else ../libexec/picferry/.
  static std::string besideExecutable();

 private:
  bool start();
  void stop();
  bool send(const std::string& bytes, std::chrono::steady_clock::time_point deadline);
  bool receive(std::string* bytes, std::size_t size,
               std::chrono::steady_clock::time_point deadline);

  const std::vector<std::string> command_;
  const std::chrono::milliseconds deadline_;
  pid_t pid_ = -1;
  int child_ = -1;  // our end of the child's standard input and output
  bool lastFailed_ = false;
};

}  // namespace picferry
