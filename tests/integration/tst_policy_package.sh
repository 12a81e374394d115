#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# tst_policy_package.sh SOURCE_DIR [BINARY_DIR]
#
# With BINARY_DIR the package is left in BINARY_DIR/deb/ for the system test.
# Builds the Debian package from a copy of the source tree with dpkg-buildpackage and checks
# that the agent, the bus policy, the activation file, the unit, the documents and the support
# directory are in their Debian places with their modes, that the installed files name each
# other, and that the log directory is left to the unit.
# Exits 77 when the packaging tools are missing.
set -euo pipefail

src=$(cd "$1" && pwd -P)
bin=${2:+$(cd "$2" && pwd -P)}
for tool in dpkg-buildpackage dh dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/setup installs it)"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvo-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
excludes=(--exclude=./.git --exclude='./obj-*' --exclude=./debian/kvo-service-support-agent)
case "$bin" in "$src"/*) excludes+=(--exclude="./${bin#"$src"/}") ;; esac
mkdir "$work/src"
tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$work/src" -xf -

if ! (cd "$work/src" && dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
    tail -40 "$work/build.log"
    echo "FAIL: dpkg-buildpackage"
    exit 1
fi
deb=$(ls "$work"/kvo-service-support-agent_*.deb)
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$work/contents"

agent=/usr/libexec/kvo-service-support/kvo-service-support-agent
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# mode, owner, path
while read -r mode owner path; do
    grep -qxF -e "$mode $owner .$path" "$work/contents" \
        || fail "$path: want $mode $owner, have '$(grep -F -e " .$path" "$work/contents" | head -1)'"
done <<EOF_TABLE
-rwxr-xr-x root/root $agent
-rw-r--r-- root/root /usr/share/dbus-1/system.d/com.corvid.serviceandsupport.conf
-rw-r--r-- root/root /usr/share/dbus-1/system-services/com.corvid.serviceandsupport.service
-rw-r--r-- root/root /lib/systemd/system/kvo-service-support-agent.service
-rw-r--r-- root/root /usr/lib/tmpfiles.d/kvo-service-support.conf
-rw-r--r-- root/root /usr/share/doc/kvo-service-support-agent/README.md
drwxr-xr-x root/root /usr/share/kvo-service-support/ini/
EOF_TABLE
# The unit alone decides the log directory and its mode (LogsDirectory=).
! grep -q ' \./var/log' "$work/contents" || fail "the package ships $(grep ' \./var/log' "$work/contents" | head -1)"

dpkg-deb -x "$deb" "$work/root"
cmp -s "$src/data/com.corvid.serviceandsupport.conf" "$work/root/usr/share/dbus-1/system.d/com.corvid.serviceandsupport.conf" \
    || fail "the packaged policy differs from data/com.corvid.serviceandsupport.conf"
grep -qxF "Exec=$agent" "$work/root/usr/share/dbus-1/system-services/com.corvid.serviceandsupport.service" \
    || fail "the activation file does not start $agent"
grep -qxF "SystemdService=kvo-service-support-agent.service" "$work/root/usr/share/dbus-1/system-services/com.corvid.serviceandsupport.service" \
    || fail "the activation file does not name the unit"
unit=$work/root/lib/systemd/system/kvo-service-support-agent.service
grep -qxF "ExecStart=$agent" "$unit" || fail "the unit does not start $agent"
grep -qxF "LogsDirectory=kvo/kvo-service-support" "$unit" && grep -qxF "LogsDirectoryMode=0750" "$unit" \
    || fail "the unit does not make the log directory 0750"
grep -q "kvo" "$work/root/usr/lib/tmpfiles.d/kvo-service-support.conf" \
    && ! grep -q "/var/log" "$work/root/usr/lib/tmpfiles.d/kvo-service-support.conf" \
    || fail "tmpfiles.d still decides about /var/log, or decides nothing"
doc=$(sed -n 's|^Documentation=file:||p' "$unit")
[ -n "$doc" ] && [ -f "$work/root$doc" ] || fail "the unit's Documentation= names no packaged file: '$doc'"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in dbus dmidecode e2fsprogs pciutils util-linux libqt5dbus5; do
    [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $depends"
done

[ $failures -eq 0 ] || exit 1
if [ -n "$bin" ]; then
    rm -rf "$bin/deb"
    mkdir -p "$bin/deb"
    cp "$deb" "$bin/deb/"
fi
echo "PASS: $(basename "$deb")"
