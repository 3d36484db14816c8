#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine.
# Safe to run again: it skips what is already there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev
      g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
      g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
      wine wine32:i386 wine64 qemu-user-static locales python3 imagemagick
      ffmpeg mplayer gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-ugly
      gstreamer1.0-libav python3-gst-1.0 python3-gi)
for p in "${pkgs[@]}"; do have "$p" || need+=("$p"); done

if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # A mirror caught mid-sync fails a fetch for a while; try again, then go
  # on with the lists at hand. If the stale one was an i386 list, the two
  # architectures now see different versions of the same library and
  # wine32 cannot be installed: the release's own archive alone has one
  # version of each for both, so the last tries take their candidates from it.
  for try in 1 2 3 4; do
    apt-get update -q && break
    if [ "$try" = 4 ]; then
      echo "install-deps: apt-get update kept failing; installing with the lists at hand" >&2
    else
      sleep $((try * 15))
    fi
  done
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  apt_install() { apt-get install -y -q --no-install-recommends "$@" "${need[@]}"; }
  apt_install || apt_install -t "$release" || { sleep 30; apt-get update -q || true; apt_install -t "$release"; }
fi

# Wine must see code page 936 for GBK bytes to round-trip.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# Some kernels are built without 32-bit support (ia32 emulation off). Wine's
# 32-bit half then runs through qemu's user-mode emulator, registered with the
# kernel's binfmt_misc: slow, but the real 32-bit program runs.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
