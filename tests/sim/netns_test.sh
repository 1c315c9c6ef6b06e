#!/bin/sh
# tools/netns: the terminal's side has eth0 192.168.1.10/24 with its routes,
# unicast UDP crosses the link to the server's side at 192.168.1.5, multicast
# from the server reaches a socket joined on the terminal's eth0, and down
# leaves no namespace and no process behind. Exit 77 (skipped) without root
# or ip netns.
# Usage: netns_test.sh TOOLS_NETNS
set -u

netns=$1
if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1 || ! command -v python3 >/dev/null 2>&1; then
    echo "netns_test: needs root, ip netns and python3; skipped"
    exit 77
fi

name=ptest-$$
work=$(mktemp -d "${TMPDIR:-/tmp}/paterm-netns.XXXXXX")
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
cleanup() {
    sh "$netns" down "$name" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 5 s for a line in a file.
wait_for() {
    tries=0
    until grep -q "$1" "$2" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 50 ] || return 1
        sleep 0.1
    done
}

sh "$netns" up "$name" || { echo "FAIL: up"; exit 1; }

ip -n "$name" -4 addr show dev eth0 | grep -q "inet 192.168.1.10/24" || fail "eth0 lacks 192.168.1.10/24"
ip -n "$name" route show default | grep -q "via 192.168.1.5 dev eth0" || fail "no default route via 192.168.1.5"
ip -n "$name" route show 224.0.0.0/4 | grep -q "dev eth0" || fail "multicast not routed on eth0"
ip -n "$name" link show lo | grep -q "UP" || fail "loopback down on the terminal's side"
ip -n "$name-server" -4 addr show dev eth0 | grep -q "inet 192.168.1.5/24" || fail "server side lacks 192.168.1.5/24"

# Unicast: terminal to server, across the veth link.
sh "$netns" server "$name" -- timeout 10 python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("192.168.1.5", 9000)); s.settimeout(5); print("ready", flush=True)
data, peer = s.recvfrom(64); print("got %s from %s" % (data.decode(), peer[0]), flush=True)' >"$work/unicast" 2>&1 &
listener=$!
if wait_for ready "$work/unicast"; then
    sh "$netns" run "$name" -- timeout 10 python3 -c '
import socket
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"hello", ("192.168.1.5", 9000))'
fi
wait "$listener"
grep -q "got hello from 192.168.1.10" "$work/unicast" || fail "unicast: $(cat "$work/unicast")"

# Multicast: server to a group joined on the terminal's eth0. The sender
# names no interface, so the server side's multicast route is used too.
sh "$netns" run "$name" -- timeout 10 python3 -c '
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("231.10.5.84", 9100))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             struct.pack("4s4si", socket.inet_aton("231.10.5.84"), socket.inet_aton("0.0.0.0"),
                         socket.if_nametoindex("eth0")))
s.settimeout(5); print("ready", flush=True)
data, peer = s.recvfrom(64); print("got %s from %s" % (data.decode(), peer[0]), flush=True)' >"$work/multicast" 2>&1 &
listener=$!
if wait_for ready "$work/multicast"; then
    sh "$netns" server "$name" -- timeout 10 python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
s.sendto(b"group", ("231.10.5.84", 9100))'
fi
wait "$listener"
grep -q "got group from 192.168.1.5" "$work/multicast" || fail "multicast: $(cat "$work/multicast")"

# Down ends what still runs inside and removes both namespaces.
sh "$netns" run "$name" -- sleep 60 &
sleeper=$!
tries=0
until [ -n "$(ip netns pids "$name" 2>/dev/null)" ] || [ "$tries" -ge 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
sh "$netns" down "$name" || fail "down failed"
tries=0
while kill -0 "$sleeper" 2>/dev/null && [ "$tries" -lt 30 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
if kill -0 "$sleeper" 2>/dev/null; then
    fail "a process in the namespace outlived down"
    kill -9 "$sleeper"
fi
wait "$sleeper" 2>/dev/null
for left in "$name" "$name-server"; do
    if ip netns list | grep -q "^$left\( \|$\)"; then fail "namespace $left left behind"; fi
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "netns: addresses, routes, unicast, multicast and tear-down as expected"
