#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/main_queue.h"

namespace picferry {

// Keeps a signal handler installed for as long as it lives.
class SignalSource {
 public:
  virtual ~SignalSource() = default;
};

class SignalSources {
 public:
  virtual ~SignalSources() = default;
  // The signal stops ending the process by its default action; each delivery
  // runs `handler` on the main queue (deliveries may be merged). Every watched
  // signal is a stop: a delivery whose handler has not returned within a
  // second, because the main queue is held up, ends the process with status 0.
  virtual std::unique_ptr<SignalSource> watch(int signo,
                                              std::function<void()> handler) = 0;
};

// Standard input, read off the main thread and handed over chunk by chunk.
class InputReader {
 public:
  virtual ~InputReader() = default;
  // Starts reading. `onChunk` runs on the main queue for every chunk read, in
  // order; an empty chunk means end of input and is the last one delivered.
  // A chunk is read only after `onChunk` has returned for the one before.
  virtual void start(std::function<void(std::string chunk)> onChunk) = 0;
};

// What is at a path, as lstat sees it.
struct FileEntry {
  enum class Kind { regularFile, directory, other };
  Kind kind = Kind::other;
  std::int64_t size = 0;
  std::int64_t mtime = 0;  // seconds since the epoch
};

// What a folder's file system can still take.
struct FileSystemRoom {
  // Bytes free for this process; absent where the file system tells none
  // (fusefat reports no sizes at all: that is not a full disk).
  std::optional<std::int64_t> freeBytes;
  // The largest file it holds; absent where no limit applies in practice.
  std::optional<std::int64_t> largestFile;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates the directory and any missing parents, each new one durable (on
  // disk before this returns), then checks that files can be created in it;
  // an existing writable directory is success. Returns a readable reason on
  // failure (a path holding NUL is one), nothing on success.
  virtual std::optional<std::string> createDirectories(const std::string& path) = 0;
  // What is at the path (a link is not followed); absent when nothing is.
  virtual std::optional<FileEntry> entry(const std::string& path) = 0;
  // The path as an absolute one: a relative path is taken against the
  // current working directory; nothing is expanded.
  virtual std::string absolutePath(const std::string& path) = 0;
  // What the file system holding the folder can still take; nothing known
  // when the folder cannot be reached.
  virtual FileSystemRoom room(const std::string& directory) = 0;
};

// Standard output as the one event channel.
class LineOutput {
 public:
  virtual ~LineOutput() = default;
  // Writes `line`, then a single '\n', as two writes that no other line can
  // come between, whatever thread calls. Never fails towards the caller.
  virtual void writeLine(std::string_view line) = 0;
};

class Process {
 public:
  virtual ~Process() = default;
  // Ends the process at once with `status`: nothing is flushed, closed or
  // waited for. Callable from any thread.
  [[noreturn]] void exit(int status) {
    terminate(status);
    std::abort();  // terminate() never returns
  }

 protected:
  // Implementations end the process (or, simulated, unwind) and never return.
  virtual void terminate(int status) = 0;
};

// The platform services the controller runs on, real or simulated.
struct Platform {
  MainQueue& mainQueue;
  BackgroundQueue& backgroundQueue;
  SignalSources& signals;
  InputReader& input;
  FileSystem& fileSystem;
  LineOutput& output;
  Process& process;
};

}  // namespace picferry
