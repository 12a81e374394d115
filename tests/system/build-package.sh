#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# build-package.sh OUT [PROFILES]
#
# Runs in the build root of tst_system.sh --build, in a copy of the source tree: builds the
# Debian packages with the development key under the build profiles PROFILES (comma-separated;
# dh_auto_test runs the quick unit tests), then runs the unit tests debian/rules leaves out
# (tst_https and the slow ones) in the package's build tree, checks that the unit lies where
# this release's systemd keeps units and that lintian finds no error and no warning, and puts
# the packages and the bus client of the policy tests (tst_policy_client) into OUT.
set -euo pipefail

out=$1
profiles=${2:-}
mkdir -p "$out"

start=$SECONDS
if ! KVO_ALLOW_DEVELOPMENT_KEY=1 dpkg-buildpackage -b -us -uc -j"$(nproc)" ${profiles:+"--build-profiles=$profiles"} >../build.log 2>&1; then
    grep -a -A3 '^FAIL!' ../build.log
    tail -40 ../build.log
    echo "FAIL: dpkg-buildpackage"
    exit 1
fi
echo "figure: package-build-s $((SECONDS - start))"
# What this release's compiler says of the sources (GCC 14 on Debian 13).
warnings=$(grep -aE '^[^ ]+:[0-9]+:[0-9]+: warning: ' ../build.log | sort -u || true)
echo "figure: compiler-warnings $(grep -c . <<<"$warnings" || true)"
[ -z "$warnings" ] || printf '%s\n' "$warnings"
tr -d '\r' <../build.log | sed 's/\x1b\[[0-9;]*m//g' | sed -n 's/^\(.*tests passed, .* failed out of [0-9]*\)$/dh_auto_test: \1/p'

# A failure from here on still leaves the packages for the system test.
failures=0
obj=obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
# Side by side: both mostly wait, on a server and on a 30 s time-out.
start=$SECONDS
(cd "$obj" && ctest --output-on-failure -L unit -R '^tst_https$') >../https.log 2>&1 &
https=$!
(cd "$obj" && ctest --output-on-failure -L unit -L slow) || { echo "FAIL: the slow unit tests"; failures=$((failures + 1)); }
wait "$https" || { echo "FAIL: tst_https"; failures=$((failures + 1)); }
cat ../https.log
echo "figure: left-out-unit-tests-s $((SECONDS - start))"

deb=$(ls ../kvo-service-support-agent_*.deb)
tools=$(ls ../kvo-service-support-tools_*.deb)
unit=$(pkg-config --variable=systemdsystemunitdir systemd)/kvo-service-support-agent.service
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | grep -qxF -- "-rw-r--r-- root/root .$unit" \
    || { echo "FAIL: the package has no $unit"; failures=$((failures + 1)); }
if lintian --fail-on error,warning "$deb" "$tools" >../lintian.log 2>&1; then
    echo "lintian --fail-on error,warning: passed"
    cat ../lintian.log
else
    cat ../lintian.log
    echo "FAIL: lintian"
    failures=$((failures + 1))
fi

cp "$deb" "$tools" "$obj/tests/integration/tst_policy_client" "$out/"
[ $failures -eq 0 ]
