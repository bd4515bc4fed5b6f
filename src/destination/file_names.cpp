#include "destination/file_names.h"

namespace picferry {
namespace {

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first `bytes` bytes of `text` or fewer, never ending inside a UTF-8 sequence.
std::string prefixAtCharacterBoundary(const std::string& text, std::size_t bytes) {
  if (bytes >= text.size()) return text;
  while (bytes > 0 && isUtf8Continuation(text[bytes])) --bytes;
  return text.substr(0, bytes);
}

}  // namespace

bool isSafeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string numberedFileName(const std::string& name, int attempt) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = name.size();
  std::string extension = name.substr(dot);
  // An "extension" too long to keep is part of the stem.
  if (extension.size() > kMaxFileNameBytes / 2) {
    extension.clear();
    dot = name.size();
  }
  const std::string suffix = attempt == 0 ? "" : " (" + std::to_string(attempt) + ")";
  const std::size_t room = kMaxFileNameBytes - extension.size() - suffix.size();
  return prefixAtCharacterBoundary(name.substr(0, dot), room) + suffix + extension;
}

}  // namespace picferry
