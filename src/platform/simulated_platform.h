#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/services.h"

namespace picferry {

// Thrown by the simulated Process::exit so that "never returns" holds in
// tests; the simulation catches it, records the status and stops.
struct SimulatedExit {
  int status;
};

// A single-threaded platform on a virtual monotonic clock. Nothing runs until
// the test advances the clock; then every task due runs in deadline order
// (ties in order of scheduling), main and background queues alike.
class SimulatedPlatform : public MainQueue,
                          public BackgroundQueue,
                          public SignalSources,
                          public InputReader,
                          public FileSystem,
                          public LineOutput,
                          public Process {
 public:
  Platform services();

  // Virtual seconds since the simulation began.
  double now() const { return now_; }
  // Runs every task due up to now + seconds, moving the clock to each task's
  // deadline as it runs it; stops at the first exit.
  void advance(double seconds);
  // Runs the tasks due now, including those they post for now.
  void runDue() { advance(0); }
  // Runs `action` as main-queue work: an exit inside it is recorded.
  void call(const std::function<void()>& action);

  std::optional<int> exitStatus() const { return exitStatus_; }
  double exitTime() const { return exitTime_; }
  // Everything written to the output, byte for byte.
  const std::string& output() const { return output_; }
  std::vector<std::string> outputLines() const;

  // Delivers a signal to its watcher, as main-queue work.
  void raiseSignal(int signo);
  bool watching(int signo) const { return handlers_.count(signo) != 0; }
  // Standard input: queue a chunk, or the end of input, for the reader.
  void feedInput(const std::string& chunk);
  void closeInput() { feedInput(""); }
  bool readingInput() const { return static_cast<bool>(onChunk_); }

  // The simulated file system: directories and files by absolute path.
  void addDirectory(const std::string& path);
  void addFile(const std::string& path, std::int64_t size = 0, std::int64_t mtime = 0);
  // Creating this directory (or anything under it) fails with `reason`.
  void failCreationOf(const std::string& path, const std::string& reason);
  bool isDirectory(const std::string& path) const { return directories_.count(path) != 0; }
  // The working directory relative paths are taken against.
  static constexpr const char* kWorkingDirectory = "/work";
  int existenceChecks() const { return existenceChecks_; }
  // What every folder's file system can still take (nothing known at first).
  void setRoom(FileSystemRoom room) { room_ = room; }
  int pendingTasks() const;

  // MainQueue, BackgroundQueue
  void post(std::function<void()> work) override;
  std::shared_ptr<TaskHandle> postAfter(double seconds, std::function<void()> work) override;
  // SignalSources
  std::unique_ptr<SignalSource> watch(int signo, std::function<void()> handler) override;
  // InputReader
  void start(std::function<void(std::string chunk)> onChunk) override;
  // FileSystem
  std::optional<std::string> createDirectories(const std::string& path) override;
  std::optional<FileEntry> entry(const std::string& path) override;
  std::string absolutePath(const std::string& path) override;
  FileSystemRoom room(const std::string&) override { return room_; }
  // LineOutput
  void writeLine(std::string_view line) override;
  // Process
  void terminate(int status) override;

 private:
  struct Task;
  class Handle;

  double now_ = 0;
  std::uint64_t nextSequence_ = 0;
  std::vector<std::shared_ptr<Task>> tasks_;
  std::optional<int> exitStatus_;
  double exitTime_ = 0;
  std::string output_;
  std::map<int, std::function<void()>> handlers_;
  std::function<void(std::string)> onChunk_;
  std::vector<std::string> unreadInput_;
  std::set<std::string> directories_{"/"};
  std::map<std::string, FileEntry> files_;
  std::map<std::string, std::string> creationFailures_;
  int existenceChecks_ = 0;
  FileSystemRoom room_;
};

}  // namespace picferry
