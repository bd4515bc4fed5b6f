#include "platform/simulated_platform.h"

#include <algorithm>
#include <utility>

#include "platform/paths.h"

namespace picferry {

struct SimulatedPlatform::Task {
  double deadline;
  std::uint64_t sequence;
  std::function<void()> work;
  bool cancelled = false;
};

class SimulatedPlatform::Handle : public TaskHandle {
 public:
  explicit Handle(std::weak_ptr<Task> task) : task_(std::move(task)) {}
  void cancel() override {
    if (auto task = task_.lock()) task->cancelled = true;
  }

 private:
  std::weak_ptr<Task> task_;
};

namespace {

class SimulatedSignalSource : public SignalSource {};

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

}  // namespace

Platform SimulatedPlatform::services() {
  return Platform{*this, *this, *this, *this, *this, *this, *this};
}

void SimulatedPlatform::advance(double seconds) {
  const double until = now_ + seconds;
  while (!exitStatus_) {
    auto next = std::min_element(tasks_.begin(), tasks_.end(), [](const auto& a, const auto& b) {
      return a->deadline != b->deadline ? a->deadline < b->deadline : a->sequence < b->sequence;
    });
    if (next == tasks_.end() || (*next)->deadline > until) break;
    const std::shared_ptr<Task> task = *next;
    tasks_.erase(next);
    now_ = std::max(now_, task->deadline);
    if (!task->cancelled) call(task->work);
  }
  if (!exitStatus_) now_ = std::max(now_, until);
}

void SimulatedPlatform::call(const std::function<void()>& action) {
  if (exitStatus_) return;
  try {
    action();
  } catch (const SimulatedExit& exit) {
    exitStatus_ = exit.status;
    exitTime_ = now_;
  }
}

std::vector<std::string> SimulatedPlatform::outputLines() const {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t end; (end = output_.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(output_.substr(begin, end - begin));
  }
  return lines;
}

int SimulatedPlatform::pendingTasks() const {
  return static_cast<int>(
      std::count_if(tasks_.begin(), tasks_.end(), [](const auto& task) { return !task->cancelled; }));
}

void SimulatedPlatform::raiseSignal(int signo) {
  post([this, signo] {
    const auto handler = handlers_.find(signo);
    if (handler != handlers_.end()) handler->second();
  });
}

void SimulatedPlatform::feedInput(const std::string& chunk) {
  if (onChunk_) {
    post([this, chunk] { onChunk_(chunk); });
  } else {
    unreadInput_.push_back(chunk);
  }
}

void SimulatedPlatform::addDirectory(const std::string& path) {
  for (std::string dir = path; directories_.insert(dir).second; dir = parentOf(dir)) {
  }
}

void SimulatedPlatform::addFile(const std::string& path, std::int64_t size, std::int64_t mtime) {
  addDirectory(parentOf(path));
  files_[path] = FileEntry{FileEntry::Kind::regularFile, size, mtime};
}

void SimulatedPlatform::failCreationOf(const std::string& path, const std::string& reason) {
  creationFailures_[path] = reason;
}

void SimulatedPlatform::post(std::function<void()> work) { postAfter(0, std::move(work)); }

std::shared_ptr<TaskHandle> SimulatedPlatform::postAfter(double seconds,
                                                         std::function<void()> work) {
  auto task = std::make_shared<Task>(Task{now_ + seconds, nextSequence_++, std::move(work)});
  tasks_.push_back(task);
  return std::make_shared<Handle>(task);
}

std::unique_ptr<SignalSource> SimulatedPlatform::watch(int signo, std::function<void()> handler) {
  handlers_[signo] = std::move(handler);
  return std::make_unique<SimulatedSignalSource>();
}

void SimulatedPlatform::start(std::function<void(std::string chunk)> onChunk) {
  onChunk_ = std::move(onChunk);
  for (const auto& chunk : std::exchange(unreadInput_, {})) feedInput(chunk);
}

std::optional<std::string> SimulatedPlatform::createDirectories(const std::string& path) {
  for (std::string dir = path;; dir = parentOf(dir)) {
    const auto failure = creationFailures_.find(dir);
    if (failure != creationFailures_.end()) return failure->second;
    if (files_.count(dir)) return "Couldn't create the folder \"" + path + "\": File exists";
    if (dir == "/") break;
  }
  addDirectory(path);
  return std::nullopt;
}

std::optional<FileEntry> SimulatedPlatform::entry(const std::string& path) {
  ++existenceChecks_;
  if (directories_.count(path)) return FileEntry{FileEntry::Kind::directory, 0, 0};
  const auto file = files_.find(path);
  if (file == files_.end()) return std::nullopt;
  return file->second;
}

std::string SimulatedPlatform::absolutePath(const std::string& path) {
  return resolvePath(path, kWorkingDirectory);
}

void SimulatedPlatform::writeLine(std::string_view line) {
  output_.append(line);
  output_ += '\n';
}

void SimulatedPlatform::terminate(int status) { throw SimulatedExit{status}; }

}  // namespace picferry
