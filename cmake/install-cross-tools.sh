#!/bin/sh
# Installs what the cross builds need on a Debian or Ubuntu machine:
#   windows    mingw-w64 (x86_64-w64-mingw32) and 64-bit wine to run the DLLs and tests
#   windows32  mingw-w64 (i686-w64-mingw32) and 32-bit wine (wine32 of the i386 architecture)
#   windows32-build  the i686 compiler only: the 32-bit build without the means to run it, for a
#              machine that cannot start 32-bit programs (cmake/can-run-32bit.sh tells)
#   arm        the armhf cross compiler and qemu-user to run the 32-bit ARM tests
# GoogleTest is built from the sources the googletest package puts in /usr/src/googletest.
# Running it again installs nothing new; when every package is already there it does not even
# refresh the package lists.
#
# Usage: cmake/install-cross-tools.sh [windows] [windows32] [windows32-build] [arm]
# (no argument: windows, windows32 and arm).
# Run as root.
set -eu

want_windows=0
want_windows32=0
want_windows32_build=0
want_arm=0
if [ "$#" -eq 0 ]; then
    want_windows=1
    want_windows32=1
    want_arm=1
fi
for target in "$@"; do
    case "$target" in
        windows) want_windows=1 ;;
        windows32) want_windows32=1 ;;
        windows32-build) want_windows32_build=1 ;;
        arm) want_arm=1 ;;
        *) echo "unknown target: $target (windows, windows32, windows32-build or arm)" >&2; exit 2 ;;
    esac
done

packages="googletest cmake"
architectures=""
if [ "$want_windows" -eq 1 ]; then
    # The posix thread model of the compiler (x86_64-w64-mingw32-g++-posix): GoogleTest needs
    # std::mutex. wine64 runs the 64-bit programs.
    packages="$packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64"
fi
if [ "$want_windows32" -eq 1 ] || [ "$want_windows32_build" -eq 1 ]; then
    # The same thread model for 32-bit x86.
    packages="$packages g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686"
fi
if [ "$want_windows32" -eq 1 ]; then
    # A 32-bit program needs the 32-bit wine loader, which Debian builds for the i386
    # architecture only.
    packages="$packages wine wine32:i386"
    architectures="$architectures i386"
fi
if [ "$want_arm" -eq 1 ]; then
    # The armhf C library itself (not only the cross one) brings the iconv modules that
    # KJMAP.DLL and the code-page converters load at run time, e.g. CP932; zlib for vbhost and
    # libpng for its tests.
    packages="$packages crossbuild-essential-armhf qemu-user libc6:armhf libpng-dev:armhf"
    architectures="$architectures armhf"
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive

added_architecture=0
for architecture in $architectures; do
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
        $SUDO dpkg --add-architecture "$architecture"
        added_architecture=1
    fi
done

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *" installed") ;;
        *) missing="$missing $package" ;;
    esac
done
if [ -z "$missing" ] && [ "$added_architecture" -eq 0 ]; then
    echo "install-cross-tools.sh: everything is installed already"
    exit 0
fi

# A mirror that is being synced answers with lists of the wrong size for a few minutes, and an
# install from half-refreshed lists can miss a matching version: refresh and install again
# before giving up.
for attempt in 1 2 3 4; do
    $SUDO apt-get update || echo "install-cross-tools.sh: the package lists were not all refreshed" >&2
    # shellcheck disable=SC2086
    if $SUDO apt-get install -y --no-install-recommends $packages; then exit 0; fi
    if [ "$attempt" -eq 4 ]; then
        echo "install-cross-tools.sh: the packages could not be installed" >&2
        exit 1
    fi
    sleep 30
done
