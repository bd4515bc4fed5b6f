#include "support/fake_destination.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace picferry::testing {

class FakeDestination::File final : public TemporaryFile {
 public:
  File(FakeDestination& folder, std::shared_ptr<Inode> inode)
      : folder_(folder), inode_(std::move(inode)) {}
  ~File() override {
    std::lock_guard lock(folder_.mutex_);
    if (!named_) folder_.inodes_.erase(inode_);
  }
  int fd() const override { return inode_->fd; }
  int append(const void* data, std::size_t size) override {
    std::lock_guard lock(folder_.mutex_);
    if (const int err = folder_.enter("append")) return err;
    inode_->dataFlushed = false;
    return write(inode_->fd, data, size) == static_cast<ssize_t>(size) ? 0 : EIO;
  }
  int size(std::int64_t* bytes) override {
    std::lock_guard lock(folder_.mutex_);
    if (const int err = folder_.enter("size")) return err;
    struct stat st {};
    fstat(inode_->fd, &st);
    *bytes = st.st_size;
    return 0;
  }
  int setModificationTime(std::int64_t) override {
    std::lock_guard lock(folder_.mutex_);
    return folder_.enter("setTime");
  }
  int flushData() override {
    std::lock_guard lock(folder_.mutex_);
    if (const int err = folder_.enter("flushData")) return err;
    inode_->flushedData = contentOf(*inode_);
    inode_->dataFlushed = true;
    return 0;
  }
  int link(const std::string& name) override {
    std::lock_guard lock(folder_.mutex_);
    if (const int err = folder_.enter("link", name)) return err;
    if (named_) return EEXIST;
    if (!folder_.names_.emplace(name, Name{inode_}).second) return EEXIST;
    // Data written through the descriptor are not seen by append().
    if (!inode_->dataFlushed || inode_->flushedData != contentOf(*inode_)) {
      folder_.namedUnflushed_.insert(name);
    }
    named_ = true;
    return 0;
  }
  int flush() override {
    std::lock_guard lock(folder_.mutex_);
    if (const int err = folder_.enter("flush")) return err;
    inode_->flushedData = contentOf(*inode_);
    inode_->dataFlushed = true;
    for (auto& [name, entry] : folder_.names_) {
      if (entry.inode == inode_) entry.fileFlushed = true;
    }
    return 0;
  }

 private:
  FakeDestination& folder_;
  const std::shared_ptr<Inode> inode_;
  bool named_ = false;
};

FakeDestination::FakeDestination(bool groups, std::string path) : groups_(groups), path_(std::move(path)) {}

FakeDestination::~FakeDestination() {
  for (const auto& inode : inodes_) close(inode->fd);
}

void FakeDestination::failCall(const std::string& call, int nth, int err) {
  std::lock_guard lock(mutex_);
  failures_[call].emplace_back(seen_[call] + nth, err);
}

void FakeDestination::take(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto inode = std::make_shared<Inode>();
  inode->fd = memfd_create("taken", MFD_CLOEXEC);
  inode->dataFlushed = true;
  inodes_.insert(inode);
  names_.emplace(name, Name{inode, true, true});
}

int FakeDestination::enter(const std::string& call, const std::string& detail) {
  calls_.push_back(detail.empty() ? call : call + " " + detail);
  const int nth = ++seen_[call];
  for (const auto& [at, err] : failures_[call]) {
    if (at == nth) return err;
  }
  return 0;
}

std::string FakeDestination::contentOf(const Inode& inode) {
  struct stat st {};
  fstat(inode.fd, &st);
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  if (!bytes.empty() && pread(inode.fd, bytes.data(), bytes.size(), 0) < 0) bytes.clear();
  return bytes;
}

std::unique_ptr<TemporaryFile> FakeDestination::createTemporary(int* error) {
  std::lock_guard lock(mutex_);
  if ((*error = enter("create"))) return nullptr;
  auto inode = std::make_shared<Inode>();
  inode->fd = memfd_create("copy", MFD_CLOEXEC);
  inodes_.insert(inode);
  return std::make_unique<File>(*this, inode);
}

int FakeDestination::flushFolder() {
  std::lock_guard lock(mutex_);
  if (const int err = enter("flushFolder")) return err;
  for (auto& [name, entry] : names_) entry.folderFlushed = true;
  return 0;
}

void FakeDestination::holdFileSystemFlushes(bool held) {
  {
    std::lock_guard lock(mutex_);
    held_ = held;
  }
  released_.notify_all();
}

int FakeDestination::flushFileSystem() {
  std::unique_lock lock(mutex_);
  released_.wait(lock, [this] { return !held_; });
  if (const int err = enter("flushFileSystem")) return err;
  for (const auto& inode : inodes_) {
    inode->flushedData = contentOf(*inode);
    inode->dataFlushed = true;
  }
  for (auto& [name, entry] : names_) entry.folderFlushed = entry.fileFlushed = true;
  return 0;
}

std::vector<std::string> FakeDestination::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeDestination::count(const std::string& call) const {
  std::lock_guard lock(mutex_);
  const auto it = seen_.find(call);
  return it == seen_.end() ? 0 : it->second;
}

std::map<std::string, std::string> FakeDestination::names() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> result;
  for (const auto& [name, entry] : names_) result[name] = contentOf(*entry.inode);
  return result;
}

std::map<std::string, std::string> FakeDestination::afterCrash() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, std::string> result;
  for (const auto& [name, entry] : names_) {
    if (entry.folderFlushed && entry.fileFlushed) result[name] = entry.inode->flushedData;
  }
  return result;
}

std::set<std::string> FakeDestination::namedUnflushed() const {
  std::lock_guard lock(mutex_);
  return namedUnflushed_;
}

void FakeDestination::setRoom(FileSystemRoom room) {
  std::lock_guard lock(mutex_);
  room_ = room;
}

FileSystemRoom FakeDestination::room() const {
  std::lock_guard lock(mutex_);
  return room_;
}

}  // namespace picferry::testing
