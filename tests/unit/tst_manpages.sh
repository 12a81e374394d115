#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# tst_manpages.sh SOURCE_DIR BINARY_DIR
#
# Each man page renders without a warning and names its program in NAME, and every option a
# tool's --help lists is described in that tool's page.
set -uo pipefail
src=$1 bin=$2
command -v man >/dev/null || { echo "SKIP: man is missing"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for page in "$src"/man/*.[18]; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    name=$(basename "${page%.*}")
    lexgrog "$page" 2>/dev/null | grep -qF "\"$name - " || fail "$(basename "$page"): NAME does not parse for $name"
done

for tool in kvo-sysinfo kvo-log-reveal; do
    page="$src/man/$tool.1"
    options=$("$bin/tools/$tool" --help | grep -oE '^ +(-h, )?--[a-z-]+' | grep -oE -- '--[a-z-]+')
    [ -n "$options" ] || fail "$tool --help lists no option"
    for option in $options; do
        # described = the tag of a .TP paragraph, not merely named in the synopsis
        awk -v want="${option//-/\\-}" 'tag && index($0, want) { found = 1 } { tag = ($0 == ".TP") }
            END { exit !found }' "$page" || fail "$tool.1 does not describe $option"
    done
done
[ "$failures" -eq 0 ] && echo "PASS" || exit 1
