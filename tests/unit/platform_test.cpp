// The real platform against the real OS: pipes, temporary folders, signals,
// threads and forked children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/background_queue.h"
#include "platform/fd_input_reader.h"
#include "platform/fd_line_output.h"
#include "platform/posix_file_system.h"
#include "platform/real_platform.h"
#include "support/temp_dir.h"

namespace picferry {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kPatience = 5s;  // generous, for sanitizer builds on busy machines

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
  }
  ~Pipe() { closeRead(), closeWrite(); }
  void closeRead() { ::close(std::exchange(read, -1)); }
  void closeWrite() { ::close(std::exchange(write, -1)); }
  void put(std::string_view bytes) {
    for (ssize_t n; !bytes.empty(); bytes.remove_prefix(n))
      ASSERT_GT(n = ::write(write, bytes.data(), bytes.size()), 0);
  }
  std::string drain(std::chrono::microseconds pause = 0us) {
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::read(read, buffer, sizeof buffer)) > 0;
         std::this_thread::sleep_for(pause))
      all.append(buffer, n);
    return all;
  }
};

using picferry::testing::TempDir;

// Forks; the child runs `body` and _exits with 0. Returns the child's wait
// status.
template <typename F>
int statusOfChild(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

class RealMainQueueTest : public ::testing::Test {
 protected:
  bool runUntil(const std::function<bool()>& done) { return platform_.runUntil(done, kPatience); }
  RealPlatform platform_;
  MainQueue& queue_ = platform_.mainQueue();
  const std::thread::id mainThread_ = std::this_thread::get_id();
};

TEST_F(RealMainQueueTest, RunsWorkPostedFromAnyThreadOnTheMainThreadInOrder) {
  std::vector<int> ran;
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) {
      queue_.post([&, i] {
        EXPECT_EQ(std::this_thread::get_id(), mainThread_);
        ran.push_back(i);
      });
    }
  });
  ASSERT_TRUE(runUntil([&] { return ran.size() == 1000; }));
  poster.join();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(ran[i], i);
}

TEST_F(RealMainQueueTest, DelayedWorkRunsInDeadlineOrderNeverEarlyAndNotAtAllOnceCancelled) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> ran;
  auto note = [&](std::string name, std::chrono::milliseconds notBefore) {
    return [&ran, &start, name, notBefore] {
      EXPECT_GE(std::chrono::steady_clock::now() - start, notBefore) << name;
      ran.push_back(name);
    };
  };
  // Deadlines 100 ms apart, posted out of order, so that a stalled thread
  // cannot change their order.
  queue_.postAfter(0.3, note("last", 300ms));
  queue_.postAfter(0.1, note("first", 100ms));
  auto cancelled = queue_.postAfter(0.05, note("cancelled", 50ms));
  auto cancelledElsewhere = queue_.postAfter(0.15, note("cancelled elsewhere", 150ms));
  queue_.postAfter(0.2, note("second", 200ms));
  queue_.postAfter(-1, note("now", 0ms));
  queue_.postAfter(NAN, note("also now", 0ms));
  auto never = queue_.postAfter(1e300, note("far future", 0ms));
  cancelled->cancel();
  std::thread([&] { cancelledElsewhere->cancel(); }).join();

  ASSERT_TRUE(runUntil([&] { return ran.size() == 5; }));
  EXPECT_EQ(ran, (std::vector<std::string>{"now", "also now", "first", "second", "last"}));
  EXPECT_FALSE(platform_.runUntil([&] { return ran.size() > 5; }, 50ms));
  never->cancel();
}

TEST_F(RealMainQueueTest, SignalRunsItsHandlerOnTheMainQueueOnlyWhileWatched) {
  struct sigaction before;
  ::sigaction(SIGTERM, nullptr, &before);
  ASSERT_EQ(before.sa_handler, SIG_DFL);
  int deliveries = 0;
  std::unique_ptr<SignalSource> source;
  source = platform_.services().signals.watch(SIGTERM, [&] {
    EXPECT_EQ(std::this_thread::get_id(), mainThread_);
    if (++deliveries == 2) source.reset();  // a handler may end its own source
  });
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(deliveries, 0) << "the handler must wait for the main queue";
  ASSERT_TRUE(runUntil([&] { return deliveries == 1; }));
  struct sigaction interrupt;
  ::sigaction(SIGINT, nullptr, &interrupt);
  EXPECT_EQ(interrupt.sa_handler, SIG_DFL) << "an unwatched signal was touched";

  ::kill(::getpid(), SIGTERM);
  ASSERT_TRUE(runUntil([&] { return deliveries == 2; }));
  struct sigaction after;
  ::sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_DFL);
}

TEST(RealSignalTest, AStopHeldUpOnTheMainThreadStillEndsTheProcessWithStatusZero) {
  const int status = statusOfChild([] {
    ::alarm(20);  // a stop that never comes ends the child by SIGALRM instead
    RealPlatform platform;
    auto source = platform.services().signals.watch(SIGTERM, [] {
      for (;;) ::pause();  // as if stuck writing to a full pipe
    });
    ::kill(::getpid(), SIGTERM);
    platform.runUntil([] { return false; }, 30s);
    ::_exit(3);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

int threadCount() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

TEST(RealPlatformTest, ConstructionStartsNoThreadAndOnlyIgnoresSigpipe) {
  const int threadsBefore = threadCount();
  {
    RealPlatform platform;
    EXPECT_LE(threadCount(), threadsBefore);
    struct sigaction pipeAction, termAction;
    ::sigaction(SIGPIPE, nullptr, &pipeAction);
    ::sigaction(SIGTERM, nullptr, &termAction);
    EXPECT_EQ(pipeAction.sa_handler, SIG_IGN);
    EXPECT_EQ(termAction.sa_handler, SIG_DFL);
  }
  // Ignoring SIGPIPE is what keeps a vanished reader of our events from killing
  // us.
  Pipe pipe;
  pipe.closeRead();
  const int status = statusOfChild([&] {
    ::signal(SIGPIPE, SIG_DFL);
    RealPlatform platform;
    os::FdLineOutput(pipe.write).writeLine("{}");
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ThreadBackgroundQueueTest, RunsOffTheMainThreadInDeadlineOrderSkippingCancelled) {
  std::vector<int> ran;  // written by the background thread only, read after `done`
  std::promise<std::thread::id> done;
  {
    os::ThreadBackgroundQueue queue;
    queue.postAfter(0.4, [&] { done.set_value(std::this_thread::get_id()); });
    queue.postAfter(0.2, [&] { ran.push_back(2); });
    queue.postAfter(0.1, [&] { ran.push_back(1); });
    queue.postAfter(0.3, [&] { ran.push_back(3); })->cancel();
    auto finished = done.get_future();
    ASSERT_EQ(finished.wait_for(kPatience), std::future_status::ready);
    EXPECT_NE(finished.get(), std::this_thread::get_id());
    queue.postAfter(3600, [] { ADD_FAILURE() << "ran at destruction"; });
    // Leaving the scope must not wait for the hour-long task.
  }
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

class FdInputReaderTest : public RealMainQueueTest {
 protected:
  // Chunks as delivered; the test ends at the empty one.
  std::vector<std::string> readAll(
      int fd, const std::function<void()>& feed = [] {}) {
    std::vector<std::string> chunks;
    os::FdInputReader reader(queue_, fd);
    reader.start([&](std::string chunk) { chunks.push_back(std::move(chunk)); });
    feed();
    EXPECT_TRUE(runUntil([&] { return !chunks.empty() && chunks.back().empty(); }));
    EXPECT_FALSE(platform_.runUntil([&] { return chunks.back().size() > 0; }, 20ms));
    return chunks;
  }
};

TEST_F(FdInputReaderTest, PipeChunksArriveInOrderThenOneEmptyChunk) {
  Pipe pipe;
  std::string big(200'000, 'x');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  std::jthread writer;
  const auto chunks = readAll(pipe.read, [&] {
    writer = std::jthread([&] {
      pipe.put("first\n");
      std::this_thread::sleep_for(20ms);
      pipe.put(big);
      ::close(pipe.write);
    });
  });
  writer.join();
  pipe.write = -1;
  EXPECT_EQ(chunks.front(), "first\n");
  std::string rest;
  for (size_t i = 1; i + 1 < chunks.size(); ++i) {
    EXPECT_LE(chunks[i].size(), 64u * 1024);
    EXPECT_FALSE(chunks[i].empty());
    rest += chunks[i];
  }
  EXPECT_EQ(rest, big);
}

TEST_F(FdInputReaderTest, ReadsNoFurtherThanTheMainQueueHasHandled) {
  constexpr size_t kGiveUpAt = 64u << 20;
  Pipe pipe;
  ::fcntl(pipe.write, F_SETFL, O_NONBLOCK);
  std::vector<std::string> chunks;
  os::FdInputReader reader(queue_, pipe.read);
  reader.start([&](std::string chunk) { chunks.push_back(std::move(chunk)); });
  // Nothing services the main queue yet: once the reader waits, the pipe
  // stays full (no room for a moment); without waiting it drains for ever.
  const std::string block(4096, 'b');
  size_t accepted = 0;
  while (accepted < kGiveUpAt) {
    const ssize_t n = ::write(pipe.write, block.data(), block.size());
    if (n > 0) {
      accepted += static_cast<size_t>(n);
      continue;
    }
    pollfd writable{pipe.write, POLLOUT, 0};
    if (::poll(&writable, 1, 200) == 0) break;
  }
  const auto capacity = static_cast<size_t>(::fcntl(pipe.write, F_GETPIPE_SZ));
  EXPECT_LE(accepted, capacity + 2 * 64 * 1024);
  pipe.closeWrite();
  ASSERT_TRUE(runUntil([&] { return !chunks.empty() && chunks.back().empty(); }));
  size_t delivered = 0;
  for (const auto& chunk : chunks) delivered += chunk.size();
  EXPECT_EQ(delivered, accepted);
}

TEST_F(FdInputReaderTest, DescriptorLeftNonBlockingWaitsForInput) {
  Pipe pipe;
  ::fcntl(pipe.read, F_SETFL, O_NONBLOCK);
  const auto chunks = readAll(pipe.read, [&] {
    std::this_thread::sleep_for(30ms);  // the reader meets EAGAIN first
    pipe.put("late");
    pipe.closeWrite();
  });
  EXPECT_EQ(chunks, (std::vector<std::string>{"late", ""}));
}

TEST_F(FdInputReaderTest, RegularFileAndDevNull) {
  TempDir dir;
  std::ofstream(dir / "input") << "{\"cmd\":1}\n";
  const int file = ::open((dir / "input").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(readAll(file), (std::vector<std::string>{"{\"cmd\":1}\n", ""}));
  ::close(file);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(readAll(null), (std::vector<std::string>{""}));
  ::close(null);
}

TEST(FdLineOutputTest, PlatformWritesEachLineAndNewlineToStandardOutput) {
  RealPlatform platform;
  Pipe pipe;
  std::fflush(stdout);
  const int savedStdout = ::dup(STDOUT_FILENO);
  ::dup2(pipe.write, STDOUT_FILENO);
  platform.services().output.writeLine(R"({"event":"ready"})");
  platform.services().output.writeLine("");
  ::dup2(savedStdout, STDOUT_FILENO);
  ::close(savedStdout);
  pipe.closeWrite();
  EXPECT_EQ(pipe.drain(), "{\"event\":\"ready\"}\n\n");
}

TEST(FdLineOutputTest, LinesFromManyThreadsNeverInterleave) {
  constexpr int kWriters = 8, kLines = 2000;
  Pipe pipe;
  auto collected = std::async(std::launch::async, [&] { return pipe.drain(); });
  {
    os::FdLineOutput output(pipe.write);
    std::latch start(kWriters);
    std::vector<std::jthread> writers;
    for (int t = 0; t < kWriters; ++t) {
      writers.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = 0; i < kLines; ++i) output.writeLine(std::string(1 + i % 50, 'a' + t));
      });
    }
  }
  pipe.closeWrite();
  int lines = 0;
  std::istringstream stream(collected.get());
  for (std::string line; std::getline(stream, line); ++lines) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
  }
  EXPECT_EQ(lines, kWriters * kLines);
}

TEST(FdLineOutputTest, LongLineCompletesOnANonBlockingPipe) {
  Pipe pipe;
  ::fcntl(pipe.write, F_SETFL, O_NONBLOCK);
  auto collected = std::async(std::launch::async, [&] { return pipe.drain(100us); });
  const std::string line(1 << 20, 'z');
  os::FdLineOutput(pipe.write).writeLine(line);
  pipe.closeWrite();
  EXPECT_EQ(collected.get(), line + "\n");
}

int atexitFd = -1;

TEST(RealProcessTest, ExitsAtOnceFromAnotherThreadRunningNoExitHandlers) {
  RealPlatform platform;
  Pipe pipe;
  const int status = statusOfChild([&] {
    atexitFd = pipe.write;
    std::atexit([] { (void)!::write(atexitFd, "atexit ran", 10); });
    std::thread([&] { platform.services().process.exit(7); }).detach();
    ::pause();
  });
  pipe.closeWrite();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  EXPECT_EQ(pipe.drain(), "");
}

TEST(PosixFileSystemTest, CreateDirectories) {
  TempDir dir;
  os::PosixFileSystem files;
  EXPECT_EQ(files.createDirectories(dir / "a/b/c"), std::nullopt);
  EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
  EXPECT_EQ(files.createDirectories(dir / "a/b"), std::nullopt) << "existing folder";
  EXPECT_EQ(files.createDirectories(dir / "a/b/"), std::nullopt);
  fs::create_directory_symlink(dir / "a", dir / "link");
  EXPECT_EQ(files.createDirectories(dir / "link"), std::nullopt) << "link to a folder";

  std::ofstream(dir / "file") << "x";
  EXPECT_EQ(files.createDirectories(dir / "file/sub"),
            "Couldn't create the folder \"" + dir / "file/sub" + "\": Not a directory");
  const auto onFile = files.createDirectories(dir / "file");
  ASSERT_TRUE(onFile.has_value());
  EXPECT_EQ(onFile->rfind("Couldn't create the folder \"" + dir / "file" + "\": ", 0), 0u)
      << *onFile;
}

TEST(PosixFileSystemTest, APathHoldingNulIsRefusedAndNothingIsCreated) {
  TempDir dir;
  os::PosixFileSystem files;
  const std::string path = dir / "cut" + std::string("\0rest", 5);
  const auto failure = files.createDirectories(path);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->find("NUL"), std::string::npos) << *failure;
  EXPECT_TRUE(fs::is_empty(dir.path));
}

TEST(PosixFileSystemTest, EntryTellsWhatIsAtThePathWithoutFollowingLinks) {
  TempDir dir;
  os::PosixFileSystem files;
  std::ofstream(dir / "file") << "xyz";
  fs::last_write_time(dir / "file", fs::file_time_type::clock::now());
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_symlink(dir / "file", dir / "link");
  struct stat status {};
  ASSERT_EQ(::stat((dir / "file").c_str(), &status), 0);

  const auto file = files.entry(dir / "file");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->kind, FileEntry::Kind::regularFile);
  EXPECT_EQ(file->size, 3);
  EXPECT_EQ(file->mtime, status.st_mtime);
  EXPECT_EQ(files.entry(dir.path.string())->kind, FileEntry::Kind::directory);
  EXPECT_EQ(files.entry(dir / "dangling")->kind, FileEntry::Kind::other);
  EXPECT_EQ(files.entry(dir / "link")->kind, FileEntry::Kind::other);
  EXPECT_FALSE(files.entry(dir / "nowhere"));
  EXPECT_FALSE(files.entry(dir / "file/below"));
  EXPECT_FALSE(files.entry(""));
}

TEST(PosixFileSystemTest, AbsolutePathIsTakenAgainstTheWorkingDirectory) {
  os::PosixFileSystem files;
  EXPECT_EQ(files.absolutePath("photos/../in"), fs::current_path().string() + "/photos/../in");
  EXPECT_EQ(files.absolutePath("/abs/"), "/abs");
}

}  // namespace
}  // namespace picferry
