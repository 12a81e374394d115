#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# tst_policy_package.sh SOURCE_DIR [BINARY_DIR]
#
# With BINARY_DIR the package is left in BINARY_DIR/deb/ for the system test.
# Builds the Debian package from a copy of the source tree with dpkg-buildpackage and checks
# that the agent, the bus policy, the activation file, the unit, the documents and the support
# directory are in their Debian places with their modes, that the installed files name each
# other, that the log directory is left to the unit, that lintian finds nothing, and that a
# second build in another directory gives the same packages bit for bit.
# Exits 77 when the packaging tools are missing.
set -euo pipefail

src=$(cd "$1" && pwd -P)
bin=${2:+$(cd "$2" && pwd -P)}
for tool in dpkg-buildpackage dh dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/setup installs it)"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvo-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
excludes=(--exclude=./.git --exclude='./obj-*' --exclude=./debian/kvo-service-support-agent --exclude=./debian/kvo-service-support-tools --exclude=./debian/tmp)
case "$bin" in "$src"/*) excludes+=(--exclude="./${bin#"$src"/}") ;; esac
# Other build trees in the source tree too (scripts/test builds build-qt6/ while this runs).
for dir in "$src"/*/; do
    [ -f "$dir/CMakeCache.txt" ] && excludes+=(--exclude="./$(basename "$dir")")
done
# copy_tree DIR: the source tree without build leftovers, copied to DIR.
copy_tree() {
    mkdir -p "$1"
    tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$1" -xf -
}
copy_tree "$work/src"

# The package build refuses to take the development key unless told to.
if (cd "$work/src" && dpkg-buildpackage -b -us -uc) >"$work/refuse.log" 2>&1; then
    echo "FAIL: dpkg-buildpackage built a package without a log public key"
    exit 1
fi
grep -q "KVO_ALLOW_DEVELOPMENT_KEY=1" "$work/refuse.log" || { tail -20 "$work/refuse.log"; echo "FAIL: the refusal does not say how to pass a key"; exit 1; }
(cd "$work/src" && debian/rules clean) >/dev/null 2>&1
project_version=$(sed -n 's/^project([^ ]* VERSION \([^ ]*\) .*/\1/p' "$src/CMakeLists.txt")
changelog_version=$(cd "$src" && dpkg-parsechangelog -S Version)
[ "$project_version" = "$changelog_version" ] \
    || { echo "FAIL: debian/changelog has $changelog_version, CMakeLists.txt $project_version"; exit 1; }

if ! (cd "$work/src" && KVO_ALLOW_DEVELOPMENT_KEY=1 dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
    tail -40 "$work/build.log"
    echo "FAIL: dpkg-buildpackage"
    exit 1
fi
deb=$(ls "$work"/kvo-service-support-agent_*.deb)
tools=$(ls "$work"/kvo-service-support-tools_*.deb)
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
-rw-r--r-- root/root /usr/share/dbus-1/interfaces/com.corvid.serviceandsupport.agent.xml
-rw-r--r-- root/root /usr/share/man/man8/kvo-service-support-agent.8.gz
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
[[ ", $depends," == *", default-dbus-system-bus | dbus-system-bus,"* ]] || fail "the agent does not depend on a system bus: $depends"
for dep in dmidecode e2fsprogs pciutils util-linux bash; do
    [[ ", $depends," != *", $dep"[\ ,]* ]] || fail "the agent depends on $dep: $depends"
done
dpkg-deb -c "$tools" | awk '{print $6}' >"$work/tools-contents"
for path in /usr/bin/kvo-sysinfo /usr/bin/kvo-log-reveal; do
    grep -qxF ".$path" "$work/tools-contents" || fail "the tools package lacks $path"
    ! grep -qxF ".$path" "$work/contents" || fail "the agent package carries $path"
done
tools_depends=$(dpkg-deb -f "$tools" Depends)
for dep in e2fsprogs pciutils; do
    [[ ", $tools_depends," == *", $dep"[\ ,]* ]] || fail "the tools' Depends lacks $dep: $tools_depends"
done

for page in kvo-sysinfo kvo-log-reveal; do
    grep -qxF "./usr/share/man/man1/$page.1.gz" "$work/tools-contents" || fail "the tools package lacks $page(1)"
done

if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" "$tools" >"$work/lintian.log" 2>&1 \
        || { cat "$work/lintian.log"; fail "lintian"; }
    cat "$work/lintian.log"
else
    fail "lintian is missing (scripts/setup installs it)"
fi

# Reproducible: the same commit built in another directory gives the same packages, bit for bit.
# The build-time tests change no installed file, so the second build leaves them out.
copy_tree "$work/again/tree/src"
if ! (cd "$work/again/tree/src" && KVO_ALLOW_DEVELOPMENT_KEY=1 DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc) >"$work/again.log" 2>&1; then
    tail -40 "$work/again.log"
    fail "the second dpkg-buildpackage"
else
    for first in "$deb" "$tools"; do
        second="$work/again/tree/$(basename "$first")"
        cmp -s "$first" "$second" || fail "$(basename "$first") differs between two builds of the same tree"
    done
fi

[ $failures -eq 0 ] || exit 1
if [ -n "$bin" ]; then
    rm -rf "$bin/deb"
    mkdir -p "$bin/deb"
    cp "$deb" "$tools" "$bin/deb/"
fi
echo "PASS: $(basename "$deb") $(basename "$tools")"
