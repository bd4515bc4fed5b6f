#pragma once

#include <optional>
#include <string>
#include <vector>

#include "record/import_record.h"

namespace picferry::testing {

// An import record in memory: it holds what was added (and what a test puts
// in `entries`), and can be made unreadable.
class FakeImportRecord : public ImportRecord {
 public:
  // Every entry held, in the order added.
  std::vector<RecordEntry> entries;
  // When set, filesOf fails with it.
  std::optional<RecordFailure> readFailure;
  int reads = 0;
  // The entries held at each flush.
  std::vector<std::size_t> flushedAt;

  std::variant<RecordedFiles, RecordFailure> filesOf(const std::string& device) override;
  void add(RecordEntry entry) override { entries.push_back(std::move(entry)); }
  void flush(double) override { flushedAt.push_back(entries.size()); }
};

}  // namespace picferry::testing
