#!/usr/bin/env bash
# Installs the Debian packages picferry needs to build, test and run.
# Idempotent and non-interactive; silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgphoto2-dev libasio-dev nlohmann-json3-dev
  libimobiledevice-dev libusbmuxd-dev libplist-dev libssl-dev libblkid-dev usbmuxd
  libsqlite3-dev
  # thumbnails: EXIF, HEIF and JPEG in the thumbnailer; the tests' photos
  libexif-dev libheif-dev libturbojpeg0-dev
  python3-pil libimage-exiftool-perl libheif-examples
  libgtest-dev libgmock-dev
  python3 python3-jsonschema gphoto2 util-linux mount
  # power-cut images and FAT/exFAT destinations in the tests
  e2fsprogs xfsprogs exfat-fuse exfatprogs fusefat dosfstools fuse3
  # a destination that keeps times to 2 s, as FAT does
  python3-fusepy
  libusb-1.0-0-dev
  # the manual page and the Debian package's checks
  scdoc lintian
)
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
if ! "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" >/dev/null; then
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
