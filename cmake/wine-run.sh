#!/usr/bin/env bash
# Runs a Windows program under wine: the emulator of the mingw-w64 builds.
#
#   wine-run.sh [--win64 | --win32] PROGRAM [ARGUMENTS...]
#
# --win32 runs a 32-bit program in a 32-bit prefix with the 32-bit wine loader (Debian's
# wine32); --win64, the default, uses the 64-bit prefix and loader of the x86-64 build. Each
# loader is started directly, never through the "wine" script's choice.
#
# The wine prefix (registry, C: drive) is $WINEPREFIX when set, else "wine-prefix" beside the
# folder that holds the program (the build's bin/), so that a build does not touch the user's
# own prefix and tests that write the registry can be given a prefix of their own. The prefix
# is made on first use, once, under a lock.
#
# A program that wine fails to start (wine's own loader, server or start.exe reports the
# failure, or the process ends with STATUS_DLL_NOT_FOUND or STATUS_DLL_INIT_FAILED before the
# program ran), or under which wine itself dies of a signal, is started once more. (A crash of
# the Windows program is not a signal: wine ends it with the exception's status.) Each retry is
# reported on stderr and appended to wine-start-retries.log beside the prefix, which .ci/run
# prints; a second failure is the program's result, and never a success. The program's stdout
# is therefore passed on when it has ended, after a look for start.exe's message, which wine
# prints there. tests/windows/wine_run_retry_test.sh checks the retry with a stand-in for wine.
set -eu

arch=win64
case "${1:-}" in
    --win64) arch=win64; shift ;;
    --win32) arch=win32; shift ;;
esac
if [ "$#" -lt 1 ]; then
    echo "usage: wine-run.sh [--win64 | --win32] PROGRAM [ARGUMENTS...]" >&2
    exit 2
fi

if [ -z "${WINEPREFIX:-}" ]; then
    program_dir=$(cd "$(dirname "$1")" && pwd)
    WINEPREFIX="$(dirname "$program_dir")/wine-prefix"
fi
export WINEPREFIX
export WINEARCH=$arch
# No debug chatter, no offer to install Mono or Gecko, no window.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

# The loader of the program's kind, started directly: Debian's "wine" script picks the 32-bit
# loader whenever wine32 is installed, which cannot start an x86-64 program (nor anything at all
# on a kernel without 32-bit support). WINELOADER tells wine which loader to start again for the
# processes a program starts.
WINE=${VB_WINE:-}
if [ -z "$WINE" ]; then
    if [ "$arch" = win32 ]; then
        debian_loader=/usr/lib/wine/wine
        path_loaders="wine"
    else
        debian_loader=/usr/lib/wine/wine64
        path_loaders="wine64 wine"
    fi
    if [ -x "$debian_loader" ]; then
        WINE=$debian_loader
        export WINELOADER="$WINE"
    elif [ -d /usr/lib/wine ] && [ "$arch" = win32 ]; then
        # Without wine32, Debian's "wine" falls back to the 64-bit loader, which cannot start a
        # 32-bit program in a 32-bit prefix: say what is missing instead.
        echo "wine-run.sh: the 32-bit wine loader is not installed (cmake/install-cross-tools.sh windows32)" >&2
        exit 127
    else
        for candidate in $path_loaders; do
            if command -v "$candidate" >/dev/null 2>&1; then WINE=$candidate; break; fi
        done
    fi
fi
if [ -z "$WINE" ]; then
    echo "wine-run.sh: wine is not installed (cmake/install-cross-tools.sh windows or windows32)" >&2
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

# Prints the line that shows a failure of wine rather than of the program, if the run's status,
# output and the shell's report on the wine process show one:
# - the message of start.exe, to which wine hands a program that it could not create a process
#   for: "Application could not be started, ..." and "ShellExecuteEx failed: ...", on stdout
#   (wine 8 ends with status 1 then; whatever the status, the program did not run);
# - a message of wine's loader or server on stderr (not a crash report of the running program);
# - one of the two loader statuses (0xC0000135 and 0xC0000142, as an exit status 53 and 66);
# - the wine process killed by a signal (seen now and then at the exit of a 32-bit program that
#   had passed).
WineFailure() {
    local status=$1 output=$2 errors=$3 shell_report=$4 line
    line=$(grep -h -E '^(Application could not be started|ShellExecuteEx failed)' \
        "$output" "$errors" | tr -d '\r' | tail -n1 || true)
    if [ -n "$line" ]; then
        printf '%s\n' "$line"
        return 0
    fi
    [ "$status" -ne 0 ] || return 1
    line=$(grep -E '^wine: |^wine client error|wine server|wineserver' "$errors" |
        grep -v -E '^wine: (Unhandled|configuration in|created the configuration)' | head -n1 || true)
    if [ -z "$line" ]; then
        line=$(grep -E -o '(Segmentation fault|Bus error|Illegal instruction|Aborted)' \
            "$shell_report" | head -n1 || true)
        [ -z "$line" ] || line="wine itself died: $line"
    fi
    if [ -n "$line" ]; then
        printf '%s\n' "$line"
    elif [ "$status" -eq 53 ] || [ "$status" -eq 66 ]; then
        printf 'exit status %s: a DLL was not found or failed to initialise\n' "$status"
    else
        return 1
    fi
}

output=$(mktemp)
errors=$(mktemp)
shell_report=$(mktemp)
trap 'rm -f "$output" "$errors" "$shell_report"' EXIT
for attempt in 1 2; do
    # stdout and stderr are kept for the look at a failed start and passed on when the program
    # has ended. (In files, not through a pipe: the wine server and the helper processes that the
    # program may start outlive it and would hold the pipe open.) The shell's own report of a
    # process killed by a signal goes to shell_report.
    status=0
    { "$WINE" "$@" >"$output" 2>"$errors"; } 2>"$shell_report" || status=$?
    cat "$output"
    cat "$errors" "$shell_report" >&2
    if [ "$attempt" -eq 1 ] && reason=$(WineFailure "$status" "$output" "$errors" "$shell_report"); then
        report="wine-run.sh: $1 failed under wine ($reason); starting it once more"
        echo "$report" >&2
        echo "$(date '+%F %T') $report" >>"$(dirname "$WINEPREFIX")/wine-start-retries.log"
        sleep 1
        continue
    fi
    if [ "$attempt" -eq 2 ] && reason=$(WineFailure "$status" "$output" "$errors" "$shell_report"); then
        echo "wine-run.sh: $1 failed under wine a second time ($reason)" >&2
        # The program did not run: that is no pass, whatever wine answered.
        [ "$status" -ne 0 ] || status=1
    fi
    exit "$status"
done
