#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace picferry::testing {

// A new empty folder under the temporary directory, removed with everything
// in it when this goes out of scope.
struct TempDir {
  explicit TempDir(const std::string& prefix = "picferry-test")
      : path([&] {
          std::string name =
              (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
          return std::filesystem::path(::mkdtemp(name.data()));
        }()) {}
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return (path / name).string(); }

  const std::filesystem::path path;
};

}  // namespace picferry::testing
