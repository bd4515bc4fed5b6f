#pragma once

// The import record: which files of which device earlier imports saved, so
// that a run can take only what is new. Knows neither devices nor folders:
// a device is its id, a file its place on the device, size and date.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>

namespace picferry {

// A file of a device as the record knows it. Two keys are equal only when
// all three parts are: a file changed on the device (other size or date) is
// another file.
struct RecordedFileKey {
  std::string path;  // its place on the device, "/"-separated
  std::int64_t size = 0;
  std::optional<std::int64_t> mtime;  // seconds since the epoch; absent when the device tells none
  bool operator==(const RecordedFileKey&) const = default;
};

struct RecordedFileKeyHash {
  std::size_t operator()(const RecordedFileKey& key) const;
};

// What the record holds of one device.
using RecordedFiles = std::unordered_set<RecordedFileKey, RecordedFileKeyHash>;

// One file an import saved, or found already saved, once it is durable
// under its name.
struct RecordEntry {
  std::string device;
  RecordedFileKey file;
  std::string savedAs;  // absolute path of the file in the destination
};

// The record could not be read, or is damaged: a sentence naming the file
// and why.
struct RecordFailure {
  std::string description;
};

class ImportRecord {
 public:
  virtual ~ImportRecord() = default;
  // What the record holds of `device`; nothing when there is no record yet.
  // Never creates, changes or removes the record file.
  virtual std::variant<RecordedFiles, RecordFailure> filesOf(const std::string& device) = 0;
  // Records the entry later, off the caller's thread. Never fails towards
  // the caller and never waits: a record that cannot be written loses the
  // entry, and the caller's work goes on.
  virtual void add(RecordEntry entry) = 0;
  // Waits until every entry added so far is written or given up, for at
  // most `timeoutSeconds`.
  virtual void flush(double timeoutSeconds) = 0;
};

}  // namespace picferry
