#include "support/fake_import_record.h"

namespace picferry::testing {

std::variant<RecordedFiles, RecordFailure> FakeImportRecord::filesOf(const std::string& device) {
  ++reads;
  if (readFailure) return *readFailure;
  RecordedFiles files;
  for (const auto& entry : entries) {
    if (entry.device == device) files.insert(entry.file);
  }
  return files;
}

}  // namespace picferry::testing
