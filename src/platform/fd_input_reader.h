#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/main_queue.h"
#include "platform/services.h"

namespace picferry::os {

// Reads a file descriptor (standard input in the program) on a thread of its
// own with blocking read(2), and posts every chunk to the main queue in order,
// then one empty chunk at end of input or on a read error. The next chunk is
// read only once the main queue has handled the one before, so a writer
// faster than the program waits on the pipe instead of filling memory. Works for pipes,
// regular files, terminals, /dev/null, and descriptors left non-blocking.
// The descriptor is not owned. After destruction nothing more is posted; a
// reader still blocked in read(2) is then left to end with the process.
class FdInputReader final : public InputReader {
 public:
  FdInputReader(MainQueue& mainQueue, int fd);
  ~FdInputReader() override;
  FdInputReader(const FdInputReader&) = delete;
  FdInputReader& operator=(const FdInputReader&) = delete;

  // Call once.
  void start(std::function<void(std::string chunk)> onChunk) override;

 private:
  struct Shared;
  static void readUntilEnd(int fd, std::shared_ptr<Shared> shared);
  static bool postChunk(const std::shared_ptr<Shared>& shared, std::string chunk);

  MainQueue& mainQueue_;
  const int fd_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace picferry::os
