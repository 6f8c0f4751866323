#!/bin/sh
# Runs a Windows program under wine: the emulator of the mingw-w64 build.
#
# The wine prefix (registry, C: drive) is $WINEPREFIX when set, else "wine-prefix" beside the
# folder that holds the program (the build's bin/), so that a build does not touch the user's
# own prefix and tests that write the registry can be given a prefix of their own. The prefix
# is made on first use, once, under a lock.
set -eu

if [ "$#" -lt 1 ]; then
    echo "usage: wine-run.sh PROGRAM [ARGUMENTS...]" >&2
    exit 2
fi

if [ -z "${WINEPREFIX:-}" ]; then
    program_dir=$(cd "$(dirname "$1")" && pwd)
    WINEPREFIX="$(dirname "$program_dir")/wine-prefix"
fi
export WINEPREFIX
# No debug chatter, no offer to install Mono or Gecko, no window.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

WINE=${VB_WINE:-}
if [ -z "$WINE" ]; then
    for candidate in wine wine64; do
        if command -v "$candidate" >/dev/null 2>&1; then WINE=$candidate; break; fi
    done
fi
if [ -z "$WINE" ]; then
    echo "wine-run.sh: wine is not installed (cmake/install-cross-tools.sh windows)" >&2
    exit 127
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            "$WINE" wineboot --init >/dev/null 2>&1 || true
            # wineboot returns before the registry reaches the disk; wait for the server.
            wineserver -w || true
        fi
    ) 9>"$WINEPREFIX.lock"
fi

exec "$WINE" "$@"
