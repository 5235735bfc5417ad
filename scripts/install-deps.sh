#!/usr/bin/env bash
# Installs everything Brenvik needs to build, test and run on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config git \
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  zlib1g-dev libminizip-dev libpugixml-dev libsgutils2-dev libmagic-dev \
  libjpeg-dev libpng-dev libgif-dev zip \
  unzip libjpeg-turbo-progs lame flac qpdf \
  libexiv2-dev libtag1-dev libxxhash-dev \
  libimage-exiftool-perl ffmpeg vorbis-tools opus-tools \
  clang libclang-rt-14-dev \
  xvfb xauth imagemagick fonts-noto-cjk \
  gettext python3 qt6-translations-l10n \
  dpkg-dev file desktop-file-utils appstream \
  mount e2fsprogs \
  fuse3 libfuse3-dev gddrescue \
  libsystemd-dev dbus-daemon python3-dbusmock \
  testdisk dosfstools mtools ntfs-3g fdisk
