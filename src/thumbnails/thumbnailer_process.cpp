#include "thumbnails/thumbnailer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

extern char** environ;

namespace picferry {

ThumbnailerProcess::ThumbnailerProcess(std::vector<std::string> command,
                                       std::chrono::milliseconds deadline)
    : command_(std::move(command)), deadline_(deadline) {}

ThumbnailerProcess::~ThumbnailerProcess() { stop(); }

std::string ThumbnailerProcess::besideExecutable() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto folder = self.parent_path();
  const auto sibling = folder / "picferry-thumbnailer";
  if (!error && std::filesystem::exists(sibling, error)) return sibling;
  return folder.parent_path() / "libexec" / "picferry" / "picferry-thumbnailer";
}

// The child's standard input and output are one end of a socket pair: a
// write to a child that is gone fails (MSG_NOSIGNAL) instead of raising
// SIGPIPE in whichever process runs this.
bool ThumbnailerProcess::start() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  // Nothing reaches standard error, whatever a library in the child says.
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The child starts with every signal unblocked and at its default action.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const auto& word : command_) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(ends[1]);
  child_ = ends[0];
  fcntl(child_, F_SETFL, O_NONBLOCK);
  if (spawned != 0) {
    pid_ = -1;
    stop();
    return false;
  }
  return true;
}

void ThumbnailerProcess::stop() {
  if (child_ >= 0) close(child_);
  child_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

namespace {

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool ThumbnailerProcess::send(const std::string& bytes,
                              std::chrono::steady_clock::time_point deadline) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(child_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (n < 0 && errno == EAGAIN && !waitFor(child_, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

bool ThumbnailerProcess::receive(std::string* bytes, std::size_t size,
                                 std::chrono::steady_clock::time_point deadline) {
  bytes->assign(size, '\0');
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = read(child_, bytes->data() + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;  // the child is gone
    } else if (errno == EAGAIN && !waitFor(child_, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

std::optional<Thumbnail> ThumbnailerProcess::make(const ThumbnailSource& source) {
  lastFailed_ = false;
  if (source.empty()) return std::nullopt;
  lastFailed_ = true;
  if (pid_ < 0 && !start()) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + deadline_;
  const std::string body = encodeSource(source);
  std::string header, reply;
  std::optional<std::uint32_t> length;
  std::optional<std::optional<Thumbnail>> answer;
  if (body.size() <= kMaxMessageBytes && send(messageHeader(body.size()) + body, deadline) &&
      receive(&header, 4, deadline) && (length = messageLength(header)) &&
      receive(&reply, *length, deadline) && (answer = decodeThumbnail(reply))) {
    lastFailed_ = false;
    return *answer;
  }
  stop();
  return std::nullopt;
}

}  // namespace picferry
