#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# tst_system.sh SOURCE_DIR BINARY_DIR PROBE CLIENT
# tst_system.sh --suite SUITE --build [--profiles PROFILES] SOURCE_DIR BINARY_DIR PROBE
#
# The agent under a real systemd: boots a Debian container (systemd-nspawn) of SUITE (default
# bookworm, Debian 12) with the Debian packages, once with dbus-daemon and once with dbus-broker
# as the system bus, and runs inside.sh in it; PROBE (kvo-sandbox-probe) and CLIENT (the bus
# client of the policy tests, which floods a connection) go in with it. The packages are those
# tst_policy_package left in BINARY_DIR/deb/. With --build, the packages and CLIENT are built
# first in a build root of SUITE from a copy of SOURCE_DIR, under the build profiles PROFILES
# (comma-separated), by build-package.sh: dpkg-buildpackage, the unit tests, lintian.
#
# The root file systems are built by mmdebstrap from the Debian archive this machine's apt uses,
# renamed for SUITE, and kept in KVO_SYSTEM_TEST_CACHE (/var/cache/kvo-system-test) for later
# runs; each is built again when its package list or the sources change. The containers have no
# network but their own loopback.
#
# Exits 77 (CTest's skip code) without root, without the tools, or when a root file system
# has to be built and apt names no Debian archive for it or cannot reach the one it names.
set -euo pipefail

SKIP=77
suite=bookworm
build=no
profiles=
while [ $# -gt 0 ]; do
    case $1 in
    --suite) suite=$2; shift 2 ;;
    --build) build=yes; shift ;;
    --profiles) profiles=$2; shift 2 ;;
    *) break ;;
    esac
done
src=$(cd "$1" && pwd -P)
bin=$(cd "$2" && pwd -P)
probe=$3
client=${4:-}
cache=${KVO_SYSTEM_TEST_CACHE:-/var/cache/kvo-system-test}

skip() { echo "SKIP: $*"; exit $SKIP; }
[ "$(id -u)" = 0 ] || skip "booting a container needs root"
for tool in mmdebstrap systemd-nspawn; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup installs it)"
done
if [ "$build" = no ]; then
    debs=("$bin"/deb/kvo-service-support-agent_*.deb)
    [ -f "${debs[0]}" ] || { echo "FAIL: no package in $bin/deb (tst_policy_package builds it)"; exit 1; }
    tools_debs=("$bin"/deb/kvo-service-support-tools_*.deb)
    [ -f "${tools_debs[0]}" ] || { echo "FAIL: no tools package in $bin/deb (tst_policy_package builds it)"; exit 1; }
    deb=${debs[0]}
    tools_deb=${tools_debs[0]}
fi

work=$(mktemp -d /var/tmp/kvo-system-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The Debian archive as this machine's apt knows it: its sources of the host's release and of
# that release's -updates and -security suites, renamed for $suite.
host_codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
debian_sources() {
    apt-get indextargets --format '$(ORIGIN) $(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' 2>/dev/null |
        awk -v host="$host_codename" -v suite="$suite" '
            $1 == "Debian" && host != "" && ($3 == host || $3 == host "-updates" || $3 == host "-security") {
                sub("^" host, suite, $3); print "deb " $2 " " $3 " " $4
            }' | sort -u
}
mapfile -t sources < <(debian_sources)
# The origin of a source is known once apt has read its Release file.
if [ ${#sources[@]} -eq 0 ] && apt-get update -qq >/dev/null 2>&1; then
    mapfile -t sources < <(debian_sources)
fi
# What apt here needs to reach them, mmdebstrap needs too.
eval "$(apt-config shell apt_http_proxy Acquire::http::Proxy apt_https_proxy Acquire::https::Proxy \
    apt_valid_until Acquire::Check-Valid-Until)"
aptopts=()
[ -n "${apt_http_proxy:-}" ] && aptopts+=(--aptopt="Acquire::http::Proxy \"$apt_http_proxy\"")
[ -n "${apt_https_proxy:-}" ] && aptopts+=(--aptopt="Acquire::https::Proxy \"$apt_https_proxy\"")
[ -n "${apt_valid_until:-}" ] && aptopts+=(--aptopt="Acquire::Check-Valid-Until \"$apt_valid_until\"")

# root_fs NAME [MMDEBSTRAP-OPTION...]: sets rootfs to NAME-KEY.tar in the cache, a root file
# system of $suite with the packages in "packages" made with the options; KEY stands for the
# packages, the options and the sources, and the file is built when it is missing.
root_fs() {
    local name=$1 key start
    shift
    key=$(printf '%s\n' "$suite" minbase "${packages[@]}" "$@" "${sources[@]}" | sha256sum | cut -c1-16)
    rootfs=$cache/$name-$key.tar
    [ -f "$rootfs" ] && return
    local cached="no root file system $name for these packages and sources is cached in $cache"
    [ ${#sources[@]} -gt 0 ] ||
        skip "apt on this machine names no Debian archive for $host_codename (apt-get indextargets; run apt-get update), and $cached"
    local main_source
    main_source=$(printf '%s\n' "${sources[@]}" | awk -v suite="$suite" '$3 == suite { print $2; exit }')
    [ -n "$main_source" ] || skip "apt on this machine names no $host_codename suite itself, and $cached"
    if ! /usr/lib/apt/apt-helper download-file "${main_source%/}/dists/$suite/InRelease" "$work/InRelease" >/dev/null 2>&1; then
        skip "the Debian archive that apt uses here ($main_source) cannot be reached, and $cached"
    fi
    mkdir -p "$cache"
    echo "building the root file system $name: mmdebstrap --variant=minbase $suite with ${packages[*]} $* from:"
    printf '  %s\n' "${sources[@]}"
    start=$SECONDS
    if ! mmdebstrap --variant=minbase "${aptopts[@]}" --include="$(IFS=,; echo "${packages[*]}")" "$@" \
        "$suite" "$work/$name.tar" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1; then
        tail -30 "$work/mmdebstrap.log"
        echo "FAIL: mmdebstrap"
        exit 1
    fi
    rm -f "$cache/$name"-*.tar
    mv "$work/$name.tar" "$rootfs"
    echo "figure: rootfs-build-s-$name $((SECONDS - start))"
}

build_failed=no
if [ "$build" = yes ]; then
    # The build root: the source package's build dependencies under the profiles, as apt
    # resolves them in $suite, with lintian.
    build_depends=$(perl -MDpkg::Control::Info -e \
        'print Dpkg::Control::Info->new($ARGV[0])->get_source->{"Build-Depends"}' "$src/debian/control" | tr -s ' \n' ' ')
    packages=(build-essential lintian)
    root_fs "build-$suite" --customize-hook="chroot \"\$1\" apt-get satisfy --yes --no-install-recommends \
-o APT::Build-Profiles='$profiles' '$build_depends'"
    root=$work/build-root
    mkdir "$root"
    tar -C "$root" -xf "$rootfs"
    # The source tree without build trees and build leftovers.
    excludes=(--exclude=./.git --exclude='./obj-*' --exclude=./debian/kvo-service-support-agent
        --exclude=./debian/kvo-service-support-tools --exclude=./debian/tmp)
    for dir in "$src"/*/; do
        [ -f "$dir/CMakeCache.txt" ] && excludes+=(--exclude="./$(basename "$dir")")
    done
    case "$bin" in "$src"/*) excludes+=(--exclude="./${bin#"$src"/}") ;; esac
    mkdir -p "$root/build/src"
    tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$root/build/src" -xf -
    install -m 0755 "$src/tests/system/build-package.sh" "$root/build/build-package.sh"

    echo "== building the packages in $suite${profiles:+ under $profiles}"
    start=$SECONDS
    machine=kvo-system-test-build
    status=0
    timeout --kill-after=10 2400 systemd-nspawn --register=no --keep-unit --private-network --quiet \
        --console=pipe --machine="$machine" -D "$root" --as-pid2 --chdir=/build/src \
        /build/build-package.sh /build/out "$profiles" </dev/null 2>&1 || status=$?
    rm -rf "/run/systemd/nspawn/propagate/$machine"
    echo "figure: build-step-s $((SECONDS - start))"
    debs=("$root"/build/out/kvo-service-support-agent_*.deb)
    tools_debs=("$root"/build/out/kvo-service-support-tools_*.deb)
    if [ ! -f "${debs[0]}" ] || [ ! -f "${tools_debs[0]}" ] || [ ! -x "$root/build/out/tst_policy_client" ]; then
        echo "FAIL: the build in $suite left no packages (status $status)"
        exit 1
    fi
    [ "$status" -eq 0 ] || { echo "FAIL: the build in $suite (status $status); the packages it left are tried all the same"; build_failed=yes; }
    mkdir "$work/deb"
    cp "${debs[0]}" "${tools_debs[0]}" "$root/build/out/tst_policy_client" "$work/deb/"
    rm -rf "$root"
    deb=$work/deb/$(basename "${debs[0]}")
    tools_deb=$work/deb/$(basename "${tools_debs[0]}")
    client=$work/deb/tst_policy_client
    echo "the agent's Depends: $(dpkg-deb -f "$deb" Depends)"
fi

# The packages' dependencies come from the archive with the root file system, so that they
# install in the container without a network; openssl and socat serve the tools' HTTPS post.
mapfile -t packages < <(
    { echo systemd systemd-sysv dbus dbus-broker passwd openssl socat
      dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//'
      dpkg-deb -f "$tools_deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//'
    } | tr ' ' '\n' | sed '/^$/d' | sort -u)
root_fs "$suite"

failures=0
for bus in dbus-daemon dbus-broker; do
    root=$work/root-$bus
    mkdir "$root"
    tar -C "$root" -xf "$rootfs"
    cp "$deb" "$tools_deb" "$root/root/"
    install -m 0755 "$src/tests/system/inside.sh" "$root/root/inside.sh"
    install -D -m 0755 "$probe" "$root/usr/local/bin/kvo-sandbox-probe"
    install -D -m 0755 "$client" "$root/usr/local/bin/kvo-bus-client"
    cat >"$root/etc/systemd/system/kvo-system-test.service" <<EOF
[Unit]
Description=System test of the service-and-support agent
After=multi-user.target

[Service]
Type=simple
ExecStart=/root/inside.sh $bus $(basename "$deb") $(basename "$tools_deb")
StandardOutput=file:/root/inside.log
StandardError=inherit
EOF
    ln -s ../kvo-system-test.service "$root/etc/systemd/system/multi-user.target.wants/kvo-system-test.service"
    # A machine set to the C locale, as servers often are; systemd gives services C.UTF-8 only
    # where no locale is set at all.
    echo LANG=C >"$root/etc/locale.conf"
    # dbus-broker.service is an alias of dbus.service once enabled.
    rm -f "$root/etc/systemd/system/dbus.service"
    if [ "$bus" = dbus-broker ]; then
        ln -s /lib/systemd/system/dbus-broker.service "$root/etc/systemd/system/dbus.service"
    fi

    echo "== booting with $bus"
    start=$SECONDS
    status=0
    # No system bus runs outside, so the container is neither registered nor given a unit;
    # the guard only ends a hang, the container powers itself off when inside.sh is done.
    machine=kvo-system-test-$bus
    timeout --kill-after=10 600 systemd-nspawn --register=no --keep-unit --private-network --quiet \
        --console=read-only --machine="$machine" -D "$root" -b </dev/null >"$work/console-$bus.log" 2>&1 || status=$?
    # Without a systemd outside, /run is no tmpfs and nspawn leaves this directory behind.
    rm -rf "/run/systemd/nspawn/propagate/$machine"
    cat "$root/root/inside.log" 2>/dev/null || true
    result=$(cat "$root/root/result" 2>/dev/null || echo "no result")
    echo "figure: boot-to-poweroff-s-$bus $((SECONDS - start))"
    if [ "$result" != ok ]; then
        echo "FAIL: with $bus: $result (systemd-nspawn status $status); the container's console:"
        tail -40 "$work/console-$bus.log"
        failures=$((failures + 1))
    fi
    rm -rf "$root"
done

[ $failures -eq 0 ] && [ "$build_failed" = no ] || exit 1
echo "PASS: the agent under systemd in $suite with dbus-daemon and with dbus-broker"
