#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# tst_scripthelp.sh SOURCE_DIR
#
# The two commands of the README explain themselves: --help prints the usage on standard output
# and exits 0 without setting up or building anything; a wrong argument prints it on standard
# error and exits 2.
set -uo pipefail
src=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for script in test run; do
    for flag in --help -h; do
        # A build directory that must stay absent, and no apt-get to reach.
        BUILD_DIR=$work/build PATH=$work/no-tools:/usr/bin:/bin \
            "$src/scripts/$script" "$flag" >"$work/out" 2>"$work/err"
        status=$?
        [ $status -eq 0 ] || fail "$script $flag: status $status"
        head -n 1 "$work/out" | grep -q "^usage: ./scripts/$script " || fail "$script $flag: no usage on standard output"
        [ ! -s "$work/err" ] || fail "$script $flag: wrote to standard error: $(head -3 "$work/err")"
        [ ! -e "$work/build" ] || fail "$script $flag: made a build directory"
    done
done

# Every variable and phase the usage names is one the script reads.
usage=$("$src/scripts/test" --help)
for variable in $(grep -o '\b[A-Z][A-Z_]*=' <<<"$usage" | tr -d = | sort -u); do
    [ "$(grep -c "\${$variable[:}]" "$src/scripts/test")" -gt 0 ] || fail "scripts/test --help names $variable, which the script does not read"
done
for phase in suite qt6 sanitizers fuzz; do
    grep -q "^  [0-9]\. $phase " <<<"$usage" || fail "scripts/test --help does not list the phase $phase"
    grep -q "phase \\\\\"$phase\\\\\"" "$src/scripts/test" || fail "scripts/test never names the phase $phase when it runs"
done

"$src/scripts/run" --no-such-option >"$work/out" 2>"$work/err"
status=$?
[ $status -eq 2 ] || fail "run --no-such-option: status $status, want 2"
[ ! -s "$work/out" ] || fail "run --no-such-option: wrote to standard output"
head -n 1 "$work/err" | grep -q '^usage: ./scripts/run ' || fail "run --no-such-option: no usage on standard error"

[ $failures -eq 0 ] || exit 1
echo "PASS: both scripts explain themselves"
