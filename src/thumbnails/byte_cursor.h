#pragma once

#include <cstdint>
#include <string_view>

namespace picferry {

// Reads integers from a byte string, big- or little-endian, and never past
// its end: a read beyond it fails, and every later one too.
class ByteCursor {
 public:
  explicit ByteCursor(std::string_view bytes, bool bigEndian = true)
      : bytes_(bytes), bigEndian_(bigEndian) {}

  bool ok() const { return ok_; }
  std::size_t position() const { return at_; }
  std::size_t left() const { return ok_ ? bytes_.size() - at_ : 0; }
  void seek(std::size_t at) {
    if (at > bytes_.size()) ok_ = false;
    at_ = ok_ ? at : bytes_.size();
  }
  void skip(std::uint64_t n) { n > left() ? (void)(ok_ = false) : seek(at_ + n); }

  // `size` bytes: 0, 1, 2, 4 or 8.
  std::uint64_t number(unsigned size) {
    if (size > 8 || size > left()) {
      ok_ = false;
      return 0;
    }
    std::uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
      const auto byte = static_cast<std::uint8_t>(bytes_[at_ + (bigEndian_ ? i : size - 1 - i)]);
      value = value << 8 | byte;
    }
    at_ += size;
    return value;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(number(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(number(4)); }
  std::string_view text(std::size_t size) {
    if (size > left()) {
      ok_ = false;
      return {};
    }
    const auto value = bytes_.substr(at_, size);
    at_ += size;
    return value;
  }

 private:
  std::string_view bytes_;
  bool bigEndian_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace picferry
