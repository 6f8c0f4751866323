#!/usr/bin/env bash
# wine-run.sh's one retry, with a stand-in for wine (VB_WINE): the stand-in fails the first
# starts the way start.exe does when wine could not create the program's process, then runs the
# program. Runs on Linux without wine.
#
#   wine_run_retry_test.sh PATH/TO/wine-run.sh
set -u

wine_run=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cat >"$scratch/wine" <<'EOF'
#!/usr/bin/env bash
# The first $FAKE_FAILURES starts print start.exe's message on $FAKE_STREAM and end with
# $FAKE_STATUS; later starts run the program.
starts=$(($(cat "$FAKE_DIR/starts" 2>/dev/null || echo 0) + 1))
echo "$starts" >"$FAKE_DIR/starts"
if [ "$starts" -le "$FAKE_FAILURES" ]; then
    message=$'Application could not be started, or no application associated with the specified file.\nShellExecuteEx failed: Internal error.\r'
    if [ "$FAKE_STREAM" = stdout ]; then echo "$message"; else echo "$message" >&2; fi
    exit "$FAKE_STATUS"
fi
exec "$@"
EOF
cat >"$scratch/program.exe" <<'EOF'
#!/bin/sh
echo "[  PASSED  ] 1 test."
exit "$PROGRAM_STATUS"
EOF
chmod +x "$scratch/wine" "$scratch/program.exe"

passed=0
failed=0
# stream, status and count of the failed starts, the program's own status; then the expected
# status of wine-run.sh, starts and retries logged.
while read -r stream status failures program expected starts retries; do
    case_name="$failures start(s) failing on $stream with status $status, program status $program"
    dir=$scratch/case$((passed + failed))
    mkdir -p "$dir/prefix"
    touch "$dir/prefix/system.reg"
    result=0
    FAKE_DIR=$dir FAKE_STREAM=$stream FAKE_STATUS=$status FAKE_FAILURES=$failures \
        PROGRAM_STATUS=$program VB_WINE=$scratch/wine WINEPREFIX=$dir/prefix \
        bash "$wine_run" "$scratch/program.exe" >"$dir/out" 2>"$dir/err" || result=$?
    logged=$(cat "$dir/wine-start-retries.log" 2>/dev/null | wc -l)
    problems=""
    [ "$result" -eq "$expected" ] || problems="$problems status $result (expected $expected);"
    [ "$(cat "$dir/starts")" -eq "$starts" ] || problems="$problems started $(cat "$dir/starts") times;"
    [ "$logged" -eq "$retries" ] || problems="$problems $logged retries logged;"
    if [ "$retries" -gt 0 ] && ! grep -q 'starting it once more' "$dir/err"; then
        problems="$problems no retry reported on stderr;"
    fi
    if [ "$starts" -gt "$failures" ] && ! grep -q PASSED "$dir/out"; then
        problems="$problems the program's output is missing;"
    fi
    if [ "$failures" -ge 2 ] && ! grep -q 'a second time' "$dir/err"; then
        problems="$problems the second failure is not reported;"
    fi
    if [ -z "$problems" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $case_name:$problems"
        sed 's/^/    /' "$dir/out" "$dir/err"
    fi
done <<'EOF'
stdout 1 1 0  0 2 1
stderr 1 1 0  0 2 1
stdout 0 1 0  0 2 1
stdout 1 2 0  1 2 1
stdout 0 2 0  1 2 1
stdout 1 0 1  1 1 0
EOF
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
