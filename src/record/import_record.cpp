#include "record/import_record.h"

#include <functional>

namespace picferry {

std::size_t RecordedFileKeyHash::operator()(const RecordedFileKey& key) const {
  std::size_t hash = std::hash<std::string>{}(key.path);
  hash = hash * 31 + std::hash<std::int64_t>{}(key.size);
  return hash * 31 + (key.mtime ? std::hash<std::int64_t>{}(*key.mtime) : 0x9e3779b9u);
}

}  // namespace picferry
