#!/bin/sh
# Installs what the cross builds need on a Debian or Ubuntu machine:
#   windows  mingw-w64 (x86_64-w64-mingw32) and wine to run the DLLs and tests
#   arm      the armhf cross compiler and qemu-user to run the 32-bit ARM tests
# GoogleTest is built from the sources the googletest package puts in /usr/src/googletest.
#
# Usage: cmake/install-cross-tools.sh [windows] [arm]   (no argument: both). Run as root.
set -eu

want_windows=0
want_arm=0
if [ "$#" -eq 0 ]; then
    want_windows=1
    want_arm=1
fi
for target in "$@"; do
    case "$target" in
        windows) want_windows=1 ;;
        arm) want_arm=1 ;;
        *) echo "unknown target: $target (windows or arm)" >&2; exit 2 ;;
    esac
done

packages="googletest cmake"
if [ "$want_windows" -eq 1 ]; then
    # The posix thread model of the compiler (x86_64-w64-mingw32-g++-posix): GoogleTest needs
    # std::mutex. wine64 runs the 64-bit programs.
    packages="$packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64"
fi
if [ "$want_arm" -eq 1 ]; then
    # The armhf C library itself (not only the cross one) brings the iconv modules that
    # KJMAP.DLL and the code-page converters load at run time, e.g. CP932; zlib for vbhost and
    # libpng for its tests.
    packages="$packages crossbuild-essential-armhf qemu-user libc6:armhf libpng-dev:armhf"
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

export DEBIAN_FRONTEND=noninteractive
if [ "$want_arm" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
fi
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $packages
