#!/usr/bin/env bash
# The server's DNS-SD announcement against a real avahi-daemon: the daemon,
# its own D-Bus system bus and the server run in a network namespace of
# their own (two veth ends, no way out), with /run/avahi-daemon private, so
# nothing is announced on the machine's network and a system avahi-daemon is
# left alone. avahi-browse must find the service under its --name with its
# port and *IDN? TXT records (the serial --serial gives), on the listened
# address's interface only; a second server of the same name on this host
# is announced as "NAME #2"; after avahi-daemon restarts, the server is
# announced again; a loopback server is not announced; without a daemon the
# server says so in one line and serves all the same; the announcement goes
# when the server stops.
#   discovery_check.sh PATH/TO/tarvel VERSION
set -euo pipefail
[[ -n ${TARVEL_DISCOVERY_TRACE:-} ]] && set -x
program=$(readlink -f "$1") version=$2
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
for tool in avahi-daemon avahi-browse dbus-daemon unshare ip setpriv; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
done

if [[ ${TARVEL_DISCOVERY_INSIDE:-} != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || skip "a network namespace of its own needs root"
  TARVEL_DISCOVERY_INSIDE=1 unshare --net --mount --fork true 2>/dev/null ||
    skip "this machine cannot make a network and mount namespace (unshare --net --mount)"
  exec env TARVEL_DISCOVERY_INSIDE=1 unshare --net --mount --fork -- bash "$0" "$@"
fi

# ---- inside the namespaces ----------------------------------------------------
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
  for pid in ${server:-} ${loopback:-} ${avahi:-} ${bus:-}; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs tmpfs /run/avahi-daemon 2>/dev/null || { mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon; }
ip link set lo up
ip link add tv0 type veth peer name tv1
ip addr add 10.77.0.1/24 dev tv0
ip addr add 10.77.0.2/24 dev tv1
ip link set tv0 up
ip link set tv1 up

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>"$work/bus.err" &
bus=$!
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
for _ in $(seq 50); do [[ -S $work/bus ]] && break; sleep 0.1; done
[[ -S $work/bus ]] || fail "the private D-Bus did not start: $(cat "$work/bus.err")"

cat >"$work/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=tv0,tv1
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
[rlimits]
CONF
start_avahi() {
  avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title \
    >"$work/avahi.log" 2>&1 &
  avahi=$!
}
start_avahi
for _ in $(seq 100); do
  avahi-browse -pt _none._tcp >/dev/null 2>&1 && break
  kill -0 "$avahi" 2>/dev/null || skip "avahi-daemon did not start here: $(tail -n 3 "$work/avahi.log")"
  sleep 0.1
done
avahi-browse -pt _none._tcp >/dev/null 2>&1 || skip "avahi-daemon did not answer: $(tail -n 3 "$work/avahi.log")"

serve() {  # LISTEN [NAME [OPTION...]]: starts a server as nobody; sets server and port
  local args=(--serve --listen "$1")
  [[ $# -gt 1 ]] && args+=(--name "$2" "${@:3}")
  serves=$((${serves:-0} + 1))
  rm -f "$work/out" "$work/err"
  ln -s "err.$serves" "$work/err"  # each server's own, $work/err the last one's
  TARVEL_PORT="sim:$work/bench.state" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$program" "${args[@]}" >"$work/out" 2>"$work/err.$serves" &
  server=$!
  for _ in $(seq 100); do grep -q "^listening on" "$work/out" 2>/dev/null && break; sleep 0.05; done
  port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/out")
  [[ -n $port ]] || fail "the server did not start: $(cat "$work/err")"
}
stop() { kill -TERM "$server"; wait "$server" || fail "the server ended with status $?"; server=; }
browse() { avahi-browse -rpt _scpi-raw._tcp 2>/dev/null | grep '^=' || true; }
parsable() { local n=${1// /\\032}; n=${n//#/\\035}; echo "${n//,/\\044}"; }  # as avahi-browse -p writes it
chmod 777 "$work"

# A loopback server is not announced, and says nothing about it.
serve 127.0.0.1:0 Loopback
grep -q "DNS-SD" "$work/err" && fail "a loopback server spoke of DNS-SD: $(cat "$work/err")"
loopback=$server

# A network server is found under its name, on its port, with *IDN?'s fields.
serve 10.77.0.1:0 "Bench 7, RF lab" --serial SN-17
name=$(parsable "Bench 7, RF lab")
found=
for _ in $(seq 50); do
  found=$(browse | grep -F ";$name;_scpi-raw._tcp;" | head -n 1) || true
  [[ -n $found ]] && break
  sleep 0.2
done
[[ -n $found ]] || fail "avahi-browse did not find the server: $(browse) / $(cat "$work/err")"
echo "found: $found"
IFS=';' read -r _ _ _ _ _ _ _ _ got_port txt <<<"$found"
[[ $got_port == "$port" ]] || fail "announced on port $got_port, the server listens on $port"
for record in txtvers=1 "Manufacturer=Tarvel Control Software" "Model=Tarvel Control" SerialNumber=SN-17 \
              "FirmwareVersion=$version"; do
  grep -qF "\"$record\"" <<<"$txt" || fail "TXT lacks $record: $txt"
done
browse | grep -qF ';Loopback;' && fail "the loopback server was announced"
# Only where it listens: tv0's address, not tv1's.
sleep 1
elsewhere=$(browse | grep -F ";$name;" | grep -vF "=;tv0;IPv4;$name;_scpi-raw._tcp;") || true
[[ -z $elsewhere ]] || fail "announced on another interface: $elsewhere"
elsewhere=$(browse | grep -F ";$name;" | cut -d';' -f8 | grep -vx '10\.77\.0\.1') || true
[[ -z $elsewhere ]] || fail "announced where the server does not listen: $elsewhere"

# The same name twice on this host: the second is "NAME #2".
first=$server
first_err=$(readlink -f "$work/err")
serve 10.77.0.1:0 "Bench 7, RF lab"
second=$(parsable "Bench 7, RF lab #2")
for _ in $(seq 50); do browse | grep -qF ";$second;_scpi-raw._tcp;" && break; sleep 0.2; done
browse | grep -qF ";$second;_scpi-raw._tcp;" || fail "no \"Bench 7, RF lab #2\": $(browse) / $(cat "$work/err")"
grep -qF 'announced as "Bench 7, RF lab #2"' "$work/err" || fail "the second server did not say its name: $(cat "$work/err")"
stop
server=$first

# avahi-daemon restarts: the server is announced again.
kill -TERM "$avahi"
wait "$avahi" || true
start_avahi
found=
for _ in $(seq 30); do
  found=$(browse | grep -F ";$name;_scpi-raw._tcp;" | head -n 1) || true
  [[ -n $found ]] && break
  sleep 0.2
done
[[ -n $found ]] || fail "not announced again after avahi-daemon restarted: $(browse) / $(cat "$first_err")"
kill -TERM "$loopback" && wait "$loopback" || fail "the loopback server ended with status $?"
loopback=
named=$server
# Without --name: "Tarvel Control on HOSTNAME".
serve 10.77.0.2:0
default=$(parsable "Tarvel Control on $(hostname | cut -d. -f1)")
for _ in $(seq 50); do browse | grep -qF ";$default;_scpi-raw._tcp;" && break; sleep 0.2; done
browse | grep -qF ";$default;_scpi-raw._tcp;" || fail "no \"$default\" announced: $(browse)"
stop
server=$named
[[ $(grep -c "DNS-SD" "$work/err" || true) -eq 0 ]] || fail "warned although announced: $(cat "$work/err")"
stop
for _ in $(seq 50); do browse | grep -qF ";$name;" || break; sleep 0.2; done
browse | grep -qF ";$name;" && fail "the announcement outlived the server"

# Without a daemon: one warning line, and the server serves.
DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/nobus serve 10.77.0.1:0
[[ $(grep -c "not announced on the network (DNS-SD)" "$work/err") -eq 1 ]] ||
  fail "no single warning without the daemon: $(cat "$work/err")"
answer=$(/usr/bin/python3 -c '
import socket, sys
s = socket.create_connection(("10.77.0.1", int(sys.argv[1])), timeout=5)
s.sendall(b"*IDN?\n")
print(s.makefile().readline().strip())' "$port")
[[ $answer == "Tarvel Control Software,Tarvel Control,0,$version" ]] || fail "*IDN? without Avahi: $answer"
stop
echo "discovery checked"
