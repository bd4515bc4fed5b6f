#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "destination/destination_folder.h"

namespace picferry::testing {

// A destination folder that keeps its files in memory files (so descriptors
// work), records every call, fails calls on demand, and can "crash": keep
// only what was flushed. A name survives a crash once the folder and the
// file were flushed after it was given (or the file system was); the bytes
// it then holds are those of the file's last data flush. Thread-safe.
class FakeDestination final : public DestinationFolder {
 public:
  // The calls, as recorded and as named in failures: "create", "append",
  // "size", "setTime", "flushData", "link", "flush", "flushFolder",
  // "flushFileSystem". Recorded as the call, a space and the name for links.
  explicit FakeDestination(bool groups, std::string path = "/fake/dest");
  ~FakeDestination() override;

  // The `nth` (1-based) call of `call` from now on fails with `err`.
  void failCall(const std::string& call, int nth, int err);
  // While held, flushes of the file system wait (the disk is busy).
  void holdFileSystemFlushes(bool held);
  // A name taken before the run, which no link may replace.
  void take(const std::string& name);
  // What room() tells from now on (nothing known at first).
  void setRoom(FileSystemRoom room);

  std::vector<std::string> calls() const;
  int count(const std::string& call) const;
  // Name -> bytes, as the folder stands now / after a crash now.
  std::map<std::string, std::string> names() const;
  std::map<std::string, std::string> afterCrash() const;
  // Names given while their file's data were not all flushed: a crash could
  // leave them holding a partial file.
  std::set<std::string> namedUnflushed() const;

  // DestinationFolder
  const std::string& path() const override { return path_; }
  bool flushesInGroups() const override { return groups_; }
  std::unique_ptr<TemporaryFile> createTemporary(int* error) override;
  int flushFolder() override;
  int flushFileSystem() override;
  FileSystemRoom room() const override;

 private:
  class File;
  struct Inode {
    int fd = -1;  // a memory file
    std::string flushedData;
    bool dataFlushed = false;  // flushedData is the whole content
  };
  struct Name {
    std::shared_ptr<Inode> inode;
    bool folderFlushed = false;
    bool fileFlushed = false;
  };
  // Records `call` and answers the failure planned for it, else 0. mutex_ held.
  int enter(const std::string& call, const std::string& detail = {});
  static std::string contentOf(const Inode& inode);

  const bool groups_;
  const std::string path_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;  // guarded by mutex_
  std::vector<std::string> calls_;
  std::map<std::string, std::vector<std::pair<int, int>>> failures_;  // call -> (nth, err)
  std::map<std::string, int> seen_;
  std::set<std::shared_ptr<Inode>> inodes_;
  std::map<std::string, Name> names_;
  std::set<std::string> namedUnflushed_;
  FileSystemRoom room_;
};

}  // namespace picferry::testing
