#include "camera/gphoto2/left_out_names.h"

#include <gphoto2/gphoto2-port-log.h>

#include <algorithm>

#include "camera/gphoto2/gphoto2_lock.h"

namespace picferry {
namespace {

thread_local std::vector<std::string>* collecting = nullptr;

void collect(GPLogLevel, const char*, const char* line, void*) {
  if (!collecting || !line) return;
  std::string name = LeftOutNames::leftOutName(line);
  if (!name.empty()) collecting->push_back(std::move(name));
}

// One registration however many listen at once, or each line would be
// collected once per registration.
int listeners = 0;     // under Gphoto2Alone
int registration = 0;  // under Gphoto2Alone

}  // namespace

void LeftOutNames::listen() {
  Gphoto2Alone alone;
  if (listeners++ == 0) registration = gp_log_add_func(GP_LOG_ERROR, collect, nullptr);
}

void LeftOutNames::stopListening() {
  Gphoto2Alone alone;
  if (--listeners == 0) gp_log_remove_func(registration);
}

LeftOutNames::LeftOutNames() { collecting = &lines_; }

LeftOutNames::~LeftOutNames() { collecting = nullptr; }

std::vector<std::string> LeftOutNames::names() const {
  std::vector<std::string> names;
  for (auto line = lines_.begin(); line != lines_.end(); ++line) {
    if (std::find(lines_.begin(), line, *line) != line) continue;  // counted already
    auto lines = std::count(line, lines_.end(), *line);
    names.insert(names.end(), static_cast<std::size_t>((lines + 1) / 2), *line);
  }
  return names;
}

std::string LeftOutNames::leftOutName(const std::string& logLine) {
  static const std::string kStart = "Duplicate filename '";
  static const std::string kEnd = "' in folder '";
  if (logLine.compare(0, kStart.size(), kStart) != 0) return "";
  std::size_t end = logLine.rfind(kEnd);
  if (end == std::string::npos || end < kStart.size()) return "";
  return logLine.substr(kStart.size(), end - kStart.size());
}

}  // namespace picferry
