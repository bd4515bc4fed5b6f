#!/usr/bin/env bash
# Builds picferry. Usage: scripts/build.sh [release|asan|tsan|deb]  (default: release)
# deb is the build that goes into the Debian package: Debian's own compiler and
# linker flags with every hardening feature, no tests. Prints the build
# directory on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-release}
case "$kind" in
  release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug "-DPICFERRY_SANITIZE=address,undefined") ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=Debug -DPICFERRY_SANITIZE=thread) ;;
  deb)
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    flags=(-DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF
           "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
           "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)") ;;
  *) echo "usage: scripts/build.sh [release|asan|tsan|deb]"; exit 2 ;;
esac
dir="build/$kind"
mkdir -p "$dir"
log="$dir/build.log"
if ! { cmake -S . -B "$dir" -DPICFERRY_WERROR=ON "${flags[@]}" &&
       cmake --build "$dir" -j"$(nproc)"; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
echo "$dir"
