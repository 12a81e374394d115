#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# inside.sh BUS AGENT-PACKAGE TOOLS-PACKAGE
#
# Runs as root in the booted test container, started by kvo-system-test.service: installs the
# packages, then checks as an unprivileged user what the agent does under its real unit on the
# system bus BUS (dbus-daemon or dbus-broker), and that the installed kvo-sysinfo posts over
# HTTPS. Writes "ok" or the number of failures to /root/result, prints "figure: NAME VALUE"
# lines, and powers the container off.
set -uo pipefail

bus=$1
package=$2
tools_package=$3
S=com.corvid.serviceandsupport
O=/com/corvid/serviceandsupport/agent
I=com.corvid.serviceandsupport.agent
unit=kvo-service-support-agent.service
ini=/usr/share/kvo-service-support/ini
logdir=/var/log/kvo/kvo-service-support
log=$logdir/kvo-service-support-agent.log

failures=0
app=
finish() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    if [ "$failures" -eq 0 ]; then echo ok >/root/result; else echo "$failures failed" >/root/result; fi
    systemctl poweroff --no-block
}
trap finish EXIT

pass() { echo "ok - $*"; }
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }
# check DESCRIPTION COMMAND...: the command's success is the check.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# wait_for SECONDS COMMAND...: until the command succeeds (run anew each time, so a function
# when it looks at a state); the bound only ends a hang.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}
as_user() { setpriv --reuid=tester --regid=tester --init-groups -- "$@"; }
now_us() { local t; t=$(date +%s%6N); echo "$t"; }
prop() { systemctl show -p "$1" --value "$unit"; }
# Milliseconds, one decimal, between two microsecond stamps.
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1000 }'; }

echo "== system bus: $bus"
state=$(systemctl is-system-running --wait)
echo "system state after boot: $state"
[ "$state" = running ] || systemctl --failed --no-legend
bus_pid=$(systemctl show -p MainPID --value dbus.service)
case "$bus" in
    dbus-daemon) want=dbus-daemon ;;
    dbus-broker) want=dbus-broker-lau ;;
esac
check "the system bus is $bus (pid $bus_pid: $(cat /proc/"$bus_pid"/comm 2>/dev/null))" \
    test "$(cat /proc/"$bus_pid"/comm 2>/dev/null)" = "$want"

echo "== installing $package $tools_package"
check "the packages install" dpkg -i "/root/$package" "/root/$tools_package"
check "the unit is neither enabled nor running after installation" \
    test "$(systemctl is-enabled "$unit")/$(systemctl is-active "$unit")" = static/inactive
unit_file=$(prop FragmentPath)
check "systemd finds the unit ($unit_file)" test -f "$unit_file"
echo "figure: offline-exposure $(systemd-analyze security --offline=yes "$unit_file" 2>/dev/null | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"
echo "figure: online-exposure $(systemd-analyze security "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"

useradd --create-home --user-group tester
# No one logs in here, so no session is active: polkit's defaults say no to everyone, and this
# rule lets tester store, as an administrator would for a kiosk account.
rules=/etc/polkit-1/rules.d/50-kvo-system-test.rules
polkit_rule() {
    printf '%s\n' 'polkit.addRule(function(action, subject) {' \
        "    if (action.id == \"com.corvid.serviceandsupport.store-files\" && subject.user == \"tester\")" \
        "        return polkit.Result.$1;" '});' >"$rules"
}
polkit_rule YES
# The support application: another user's process that keeps its pid file to itself.
setpriv --reuid=tester --regid=tester --init-groups -- \
    sh -c 'umask 077; printf %s $$ >/tmp/kvo-service-support-pid; exec sleep infinity' &
app=$!
pid_file_written() { test "$(cat /tmp/kvo-service-support-pid 2>/dev/null)" = "$app"; }
check "the support application wrote its pid file" wait_for 10 pid_file_written

# The bus's own view of each call: the time from the call to its reply as it passes the bus,
# without the start of the calling program.
dbus-monitor --system --profile >/root/monitor.log 2>/dev/null &
monitor=$!
monitor_ready() {
    busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus GetId >/dev/null
    grep -q '	GetId$' /root/monitor.log
}
check "a bus monitor runs" wait_for 10 monitor_ready

# A log directory made by an earlier run outside the unit: the unit sets its mode.
install -d -m 0755 "$logdir"

echo "== the first call starts the agent through the unit"
t0=$(now_us)
as_user busctl --system call $S $O $I updateCustomFile ay 3 1 2 3
status=$?
t1=$(now_us)
check "the first call is answered" test $status -eq 0
echo "figure: first-call-ms $(ms "$t0" "$t1")"
agent=$(prop MainPID)
owner=$(busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    GetConnectionUnixProcessID s $S | awk '{print $2}')
check "the unit is active and its process ($agent) owns $S ($owner)" \
    test "$(prop ActiveState)" = active -a "$agent" -gt 0 -a "$agent" = "$owner"
check "customer.json holds the bytes sent" cmp -s "$ini/customer.json" <(printf '\001\002\003')

echo "== warm calls"
warm=()
base=()
for i in 1 2 3 4 5; do
    t0=$(now_us)
    as_user busctl --system call $S $O $I updateDeviceTreeFile ay 2 123 125 || fail "warm call $i"
    t1=$(now_us)
    warm+=("$(ms "$t0" "$t1")")
    t0=$(now_us)
    as_user busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus GetId >/dev/null
    t1=$(now_us)
    base+=("$(ms "$t0" "$t1")")
done
echo "figure: warm-call-ms ${warm[*]}"
echo "figure: bus-getid-ms ${base[*]}"
as_user busctl --system call $S $O org.freedesktop.DBus.Peer Ping
monitor_saw_ping() { grep -q '	Ping$' /root/monitor.log; }
wait_for 10 monitor_saw_ping || fail "the bus monitor saw the calls"
kill "$monitor"
# mc: type, time, serial, sender, destination, path, interface, member; mr: ..., reply serial.
awk -F'\t' -v dest=$S '
    $1 == "mc" && $5 == dest { call[$4 " " $3] = $2; member[$4 " " $3] = $8; order[n++] = $4 " " $3 }
    $1 == "mr" && ($5 " " $6) in call { reply[$5 " " $6] = $2 }
    END {
        for (i = 0; i < n; i++)
            if (order[i] in reply)
                times[member[order[i]]] = times[member[order[i]]] sprintf(" %.1f", (reply[order[i]] - call[order[i]]) * 1000)
        for (m in times) print "figure: bus-call-to-reply-ms-" m times[m]
    }' /root/monitor.log
check "kvo-devicetree.json holds the bytes sent" cmp -s "$ini/kvo-devicetree.json" <(printf '{}')

echo "== QR codes"
as_user busctl --system call $S $O $I downloadQRCode ssayb contact hotline.png 3 137 80 78 true
check "a QR image is stored" cmp -s "$ini/QRCode/contact/hotline.png" <(printf '\211PN')
as_user busctl --system call $S $O $I downloadQRCode ssayb ../../evil escape.png 1 1 false
check "a path outside the QR-code directory is refused" \
    test -z "$(find / -xdev -name escape.png 2>/dev/null)"

echo "== log"
check "the log directory is 0750 root:root" test "$(stat -c '%a %U:%G' "$logdir")" = "750 root:root"
check "the log file is 0640 root:root" test "$(stat -c '%a %U:%G' "$log")" = "640 root:root"
check "the log file has the refusal" grep -q '] Save path is invalid$' "$log"
journalctl --sync
check "the journal has the refusal from the unit with SYSLOG_IDENTIFIER and PRIORITY 4" \
    test "$(journalctl -o export _SYSTEMD_UNIT=$unit SYSLOG_IDENTIFIER=kvo-service-support-agent PRIORITY=4 \
        | grep -ac '^MESSAGE=.*Save path is invalid$')" -ge 1
# The container's locale is C (tst_system.sh), so only the unit's setting keeps Qt from switching
# the character type itself and saying so.
c_locale() { systemctl show-environment | grep -qx LANG=C; }
check "the service manager gives services the C locale ($(systemctl show-environment | grep '^LANG='))" c_locale
agent_journal=$(journalctl -o cat _SYSTEMD_UNIT=$unit)
check "the agent's journal ($(wc -l <<<"$agent_journal") lines) says nothing about the locale" \
    test -n "$agent_journal" -a "$(grep -c 'Detected locale' <<<"$agent_journal")" -eq 0

echo "== bus policy"
for call in "org.freedesktop.DBus.Properties.GetAll string:$I" "org.freedesktop.DBus.Peer.GetMachineId"; do
    # shellcheck disable=SC2086
    error=$(as_user dbus-send --system --print-reply --dest=$S $O $call 2>&1 >/dev/null)
    check "${call%% *} is denied by the policy" grep -q '^Error org.freedesktop.DBus.Error.AccessDenied' <<<"$error"
done
check "Peer.Ping is let through" as_user dbus-send --system --print-reply --dest=$S $O org.freedesktop.DBus.Peer.Ping

echo "== who may change the support files"
# refusals UID REASON: the agent's journal entries that refuse a call of that user for that reason.
refusals() {
    journalctl --sync
    journalctl -o export _SYSTEMD_UNIT=$unit CALLER_UID="$1" PRIORITY=4 | grep -ac "^MESSAGE=.*Refused updateCustomFile from :1\.[0-9]* (uid $1, pid [0-9]*): $2\$"
}
nobody_uid=$(id -u nobody)
tester_uid=$(id -u tester)
setpriv --reuid=nobody --regid=nogroup --clear-groups -- busctl --system call $S $O $I updateCustomFile ay 1 9
check "nobody's call changes nothing" cmp -s "$ini/customer.json" <(printf '\001\002\003')
check "the journal names nobody's refused call and why" \
    test "$(refusals "$nobody_uid" 'polkit does not authorize com.corvid.serviceandsupport.store-files')" -eq 1
check "polkit runs on the system bus" busctl --system status org.freedesktop.PolicyKit1 >/dev/null

# Under large signals sent by nobody to either of the agent's connections (calls, questions),
# tester's call is served (a question of the agent's that timed out would refuse it) and named
# in the journal.
byte=5
for target in $S com.corvid.serviceandsupport.questions; do
    byte=$((byte + 1))
    connection=$(busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus GetNameOwner s $target | awk '{print $2}' | tr -d '"')
    # A Qt program too, which in the container's C locale would warn on standard error.
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- env LANG=C.UTF-8 \
        /usr/local/bin/kvo-bus-client flood "$connection" 400 32 >/root/flood.out &
    flood=$!
    flooding() { grep -q '^flooding$' /root/flood.out; }
    check "nobody floods $target ($connection)" wait_for 30 flooding
    t0=$(now_us)
    as_user busctl --system call $S $O $I updateCustomFile ay 1 $byte
    t1=$(now_us)
    check "the flood still runs after tester's call" kill -0 "$flood"
    echo "figure: call-under-flood-ms-$target $(ms "$t0" "$t1")"
    kill "$flood" 2>/dev/null
    wait "$flood" 2>/dev/null
    check "tester's call under the flood is served" cmp -s "$ini/customer.json" <(printf "\\$(printf %03o $byte)")
done
journalctl --sync
check "their journal entries name tester" \
    test "$(journalctl -o export _SYSTEMD_UNIT=$unit CALLER_UID="$tester_uid" | grep -ac '^MESSAGE=.*Custom File open success!$')" -ge 2

# An administrator's rule that says no is obeyed from the next caller's connection on.
polkit_rule NO
refused_now() {
    as_user busctl --system call $S $O $I updateCustomFile ay 1 8 >/dev/null
    test "$(refusals "$tester_uid" 'polkit does not authorize com.corvid.serviceandsupport.store-files')" -ge 1
}
check "once polkit has read the new rule, tester is refused" wait_for 30 refused_now
as_user busctl --system call $S $O $I updateCustomFile ay 1 9
check "and tester's next call changes nothing" test "$(od -An -tu1 "$ini/customer.json" | tr -d " ")" != 9
polkit_rule YES

echo "== the sandbox of the running agent (pid $agent)"
status_of() { sed -n "s/^$1:[[:space:]]*//p" "/proc/$agent/status"; }
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit_file" | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_\(.*\)/+\1/p' | paste -sd,)
want=$(setpriv --bounding-set=-all,"$caps" grep '^CapBnd:' /proc/self/status | awk '{print $2}')
check "CapBnd is the unit's set ($want = $(status_of CapBnd))" test "$(status_of CapBnd)" = "$want"
check "CapEff is the unit's set ($(status_of CapEff))" test "$(status_of CapEff)" = "$want"
check "NoNewPrivs is 1" test "$(status_of NoNewPrivs)" = 1
check "Seccomp is 2 (filter)" test "$(status_of Seccomp)" = 2
# The container has loopback alone too, so the namespace itself must be another.
check "the agent has a network namespace of its own ($(readlink "/proc/$agent/ns/net"), not $(readlink /proc/1/ns/net))" \
    test "$(readlink "/proc/$agent/ns/net")" != "$(readlink /proc/1/ns/net)"
check "the agent's network namespace has loopback alone" \
    test "$(awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' "/proc/$agent/net/dev" | paste -sd,)" = lo

# What the unit lets its process do, tried by a probe under a copy of the unit that differs only
# in what it starts: same sandbox, capabilities, system call filter and address families.
probe_unit=kvo-sandbox-probe.service
probe_out=/run/kvo-sandbox-probe.out
refused_paths=(/etc/kvo-probe /usr/lib/kvo-probe /var/lib/kvo-probe /root/kvo-probe /home/tester/kvo-probe)
probe_rows=(unix inet inet6 setpriority "write:$ini/.kvo-probe")
for path in "${refused_paths[@]}"; do probe_rows+=("write:$path"); done
# run_probe [SED-SCRIPT]: the probe's answers ("ROW ok" or "ROW ENAME", one a line) under the
# copy, first changed by SED-SCRIPT.
run_probe() {
    sed -e '/^\(Type\|BusName\|ExecStart\|Restart\)=/d' -e "${1:-}" \
        -e "/^\[Service\]/a Type=oneshot\nExecStart=/usr/local/bin/kvo-sandbox-probe ${probe_rows[*]}\nStandardOutput=truncate:$probe_out" \
        "$unit_file" >"/etc/systemd/system/$probe_unit"
    rm -f "$probe_out"
    systemctl daemon-reload
    systemctl start "$probe_unit" || echo "the probe's unit failed: $(systemctl status "$probe_unit" 2>&1 | tail -5)" >&2
    cat "$probe_out" 2>/dev/null
}
# answer ANSWERS ROW: what the probe said for ROW.
answer() { sed -n "s|^$2 ||p" <<<"$1"; }

answers=$(run_probe)
check "the unit lets its process make an AF_UNIX socket ($(answer "$answers" unix))" test "$(answer "$answers" unix)" = ok
check "the unit refuses an AF_INET socket ($(answer "$answers" inet))" test "$(answer "$answers" inet)" = EAFNOSUPPORT
check "the unit refuses an AF_INET6 socket ($(answer "$answers" inet6))" test "$(answer "$answers" inet6)" = EAFNOSUPPORT
check "the unit's system call filter refuses setpriority ($(answer "$answers" setpriority))" \
    test "$(answer "$answers" setpriority)" = EPERM
check "the unit lets its process write below $ini ($(answer "$answers" "write:$ini/.kvo-probe"))" \
    test "$(answer "$answers" "write:$ini/.kvo-probe")" = ok
for path in "${refused_paths[@]}"; do
    result=$(answer "$answers" "write:$path")
    check "the unit refuses to write $path ($result)" test -n "$result" -a "$result" != ok -a ! -e "$path"
done

# The probe follows the unit: without the lines that refuse (or grant) a row, its answer turns.
# control "LINE..." ROW ANSWER
control() {
    local lines=$1 row=$2 want=$3 got
    got=$(answer "$(run_probe "/^\\(${lines// /\\|}\\)=/d")" "$row")
    check "without ${lines// /= and }= the probe's $row is $want ($got)" test "$got" = "$want"
}
control RestrictAddressFamilies inet ok
control SystemCallFilter setpriority ok
control ProtectSystem write:/etc/kvo-probe ok
control "ProtectSystem ProtectHome" write:/root/kvo-probe ok
control ReadWritePaths "write:$ini/.kvo-probe" EROFS
rm -f "/etc/systemd/system/$probe_unit"
systemctl daemon-reload
check "the agent still serves, with the same process" test "$(prop MainPID)/$(prop ActiveState)" = "$agent/active"

echo "== kvo-sysinfo posts over HTTPS"
# A TLS server on loopback with a certificate made here; the reply script reads the request up
# to its body, keeps the body and answers with a body of its own.
tls=/root/tls
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$tls/key.pem" -out "$tls/cert.pem" 2>/dev/null
cat >"$tls/reply" <<'EOF_REPLY'
#!/bin/bash
length=0
while IFS= read -r line; do
    line=${line%$'\r'}
    [ -z "$line" ] && break
    case ${line,,} in content-length:*) length=${line//[!0-9]/} ;; esac
done
head -c "$length" >/root/tls/posted
printf 'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\nConnection: close\r\n\r\n{"stored": true}'
EOF_REPLY
chmod 0755 "$tls/reply"
socat OPENSSL-LISTEN:8443,bind=127.0.0.1,reuseaddr,fork,cert="$tls/cert.pem",key="$tls/key.pem",verify=0 \
    EXEC:"$tls/reply" 2>/root/socat.log &
server=$!
listening() { awk '$2 == "0100007F:20FB" && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; }
check "a TLS server listens on 127.0.0.1:8443" wait_for 10 listening
reply=$(kvo-sysinfo --post https://127.0.0.1:8443/facts --cacert "$tls/cert.pem" --timeout 60 2>/root/sysinfo.err)
status=$?
check "kvo-sysinfo --post with the server's certificate is answered (status $status, $(head -n 1 <<<"$reply"))" \
    test "$status/$(head -n 1 <<<"$reply")" = "0/HTTP status: 200"
check "it prints the reply's body" test "$(tail -n 1 <<<"$reply")" = '{"stored": true}'
check "the server received the facts" grep -q '"osVersion"' "$tls/posted"
[ $status -eq 0 ] || tail -5 /root/sysinfo.err
# The same post without the certificate fails, so the one above was verified for real.
rm -f "$tls/posted"
reply=$(kvo-sysinfo --post https://127.0.0.1:8443/facts --timeout 60 2>/dev/null)
status=$?
check "without the certificate the server is not trusted (status $status, $(head -n 1 <<<"$reply"))" \
    test "$status/$(head -n 1 <<<"$reply")" = "1/HTTP status: 0"
check "and nothing reaches the server" test ! -e "$tls/posted"
kill "$server"

echo "== the support application ends"
kill "$app"
wait "$app" 2>/dev/null
app=
agent_ended() { test "$(prop ActiveState)" = inactive; }
check "the agent ends" wait_for 30 agent_ended
check "the unit ended with success, status 0, no restart ($(prop Result), $(prop ExecMainStatus), $(prop NRestarts), $(prop SubState))" \
    test "$(prop Result)/$(prop ExecMainStatus)/$(prop NRestarts)/$(prop SubState)" = success/0/0/dead
check "\"exit agent.\" is the last log line" test "$(tail -n 1 "$log" | sed 's/.*\] //')" = "exit agent."
journalctl --sync
check "\"exit agent.\" is the agent's last journal entry" \
    test "$(journalctl -o cat -n 1 SYSLOG_IDENTIFIER=kvo-service-support-agent | sed 's/.*\] //')" = "exit agent."

echo "== $failures failed"
