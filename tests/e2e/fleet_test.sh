#!/bin/sh
# Three terminals (the real program on three simulated boards) on one
# paterm-server through tools/fleet's bridge:
#   - the server's announcements reach every terminal: each adopts the
#     server (none has a server address of its own) and reports its status;
#   - two broadcasts granted at once, to terminals in different groups,
#     arrive as two streams, each with its broadcast id from its terminal;
#   - a second server announces itself: the terminals keep their server
#     while it lives, and all follow the second once it is gone.
# Usage: fleet_test.sh TOOLS_DIR BIN_DIR. Exit 0, 1 on a failure, 77 when
# this machine cannot make the network (not root, no namespaces or bridges).
set -u

tools=$1
bin=$2
fleet="$tools/fleet"
simctl="$bin/paterm-simctl"

[ "$(id -u)" -eq 0 ] || { echo "fleet_test: needs root; skipped"; exit 77; }
command -v ip >/dev/null 2>&1 || { echo "fleet_test: no iproute2; skipped"; exit 77; }

name=fleettest-$$
work=$(mktemp -d "${TMPDIR:-/tmp}/fleet-test.XXXXXX") || exit 1
server1=""
server2=""

cleanup() {
    exec 3>&- 4>&- 2>/dev/null
    PATERM_BIN=$bin sh "$fleet" down "$name" 2>/dev/null
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

fail() {
    echo "FAIL: $*"
    for f in "$work"/s1.out "$work"/s2.out; do
        [ -f "$f" ] && { echo "--- $f (last 40 lines)"; tail -n 40 "$f"; }
    done
    for k in 1 2 3; do
        [ -f "$work/t$k/sim/console.log" ] && { echo "--- t$k console (last 15 lines)"; tail -n 15 "$work/t$k/sim/console.log"; }
    done
    exit 1
}

now() { date +%s; }

# count FILE TEXT: the lines of FILE holding TEXT (fixed string).
count() {
    n=$(grep -c -F -- "$2" "$1" 2>/dev/null) || n=0
    echo "$n"
}

# wait_for FILE TEXT N SECONDS: true once N lines hold TEXT.
wait_for() {
    until=$(($(now) + $4))
    while [ "$(count "$1" "$2")" -lt "$3" ]; do
        [ "$(now)" -lt "$until" ] || return 1
        sleep 0.2
    done
}

# A server in the server's namespace, its commands from a pipe on fd 3 or 4.
start_server() {
    mkfifo "$work/$1.in"
    ip netns exec "$name-server" "$bin/paterm-server" --bind "$2" --announce 1 \
        <"$work/$1.in" >"$work/$1.out" 2>&1 &
}

panel() {
    "$simctl" --root "$work/t$1" "{\"cmd\":\"panel.send\",\"payload\":[$2]}" >/dev/null
}

# The terminal's panel frames from position FROM on hold HEX.
panel_saw() {
    "$simctl" --root "$work/t$1" '{"cmd":"panel.frames","from":'"$3"'}' 2>/dev/null | grep -q -F "\"$2\""
}

# The position the next frame of terminal K's panel will have.
panel_next() {
    "$simctl" --root "$work/t$1" '{"cmd":"panel.frames","from":0}' 2>/dev/null |
        sed -n 's/.*"next": *\([0-9]*\).*/\1/p'
}

# wait_panel K HEX SECONDS [FROM]
wait_panel() {
    until=$(($(now) + $3))
    until panel_saw "$1" "$2" "${4:-0}"; do
        [ "$(now)" -lt "$until" ] || return 1
        sleep 0.3
    done
}

PATERM_BIN=$bin sh "$fleet" up "$name" 3 || { echo "fleet_test: cannot make the fleet's network; skipped"; exit 77; }
PATERM_BIN=$bin sh "$fleet" boards "$name" 3 "$work" &
start_server s1 192.168.1.5
server1=$!
exec 3>"$work/s1.in"

# Every terminal adopts the announcing server and reports to it.
for k in 1 2 3; do
    wait_for "$work/s1.out" "new terminal PT0000001$k at 192.168.1.1$k" 1 60 || fail "terminal $k never reported"
done
for k in 1 2 3; do
    wait_for "$work/s1.out" "status from 192.168.1.1$k PT0000001$k: brdState 0 (idle)" 2 15 ||
        fail "terminal $k reports no more"
done
echo "terminals" >&3
wait_for "$work/s1.out" "3 terminals heard from" 1 5 || fail "the server does not list three terminals"

# Terminal 1 joins group 1, terminal 2 group 2 (their panels' group keys),
# once the panel's announcement is acknowledged. A key is pressed again
# only when two status periods pass without the group: it was lost, so
# pressing it again cannot undo it.
for k in 1 2; do
    "$simctl" --root "$work/t$k" '{"cmd":"dsp.source","tone":'$((500 * k))'}' >/dev/null || fail "no tone on $k"
    wait_panel "$k" "02 00" 10 || fail "no hello on terminal $k's panel"
    mark=$(panel_next "$k")
    panel "$k" "0,128"
    wait_panel "$k" "02 01 00" 10 "${mark:-0}" || fail "terminal $k did not acknowledge its panel"
done
for k in 1 2; do
    mask=$(printf '0x%04X [%s]' $((1 << k)) "$k")
    for press in 1 2; do
        panel "$k" "4,129,$((k + 1)),1"
        wait_for "$work/s1.out" "status from 192.168.1.1$k PT0000001$k: brdState 0 (idle), groups $mask" 1 12 && break
    done
    [ "$(count "$work/s1.out" "groups $mask")" -ge 1 ] || fail "terminal $k is not in group $k"
done

# Both ask, both are granted: two streams at once, each from its terminal.
for k in 1 2; do
    printf 'select PT0000001%s\nmode on\n' "$k" >&3
done
for k in 1 2; do
    wait_for "$work/s1.out" "status from 192.168.1.1$k PT0000001$k: brdState 1 (requested)" 1 15 ||
        fail "terminal $k did not ask for a broadcast"
done
# A grant can be lost on its way: one more is ignored while streaming.
for attempt in 1 2 3; do
    for k in 1 2; do
        printf 'select PT0000001%s\ngrant 2%s\n' "$k" "$k" >&3
    done
    wait_for "$work/s1.out" "brdId 21, bad headers 0, gaps" 3 6 &&
        wait_for "$work/s1.out" "brdId 22, bad headers 0, gaps" 3 6 && break
done
for k in 1 2; do
    lines=$(grep "^stream: " "$work/s1.out" | grep -F "brdId 2$k, bad headers 0," | grep -c -F "from 192.168.1.1$k") || lines=0
    [ "$lines" -ge 3 ] || fail "the stream of broadcast 2$k from terminal $k did not arrive"
done
[ "$(grep "^stream: " "$work/s1.out" | grep -F "brdId 21," | grep -c -v -F "from 192.168.1.11")" -eq 0 ] ||
    fail "broadcast 21 came from another terminal"
[ "$(grep "^stream: " "$work/s1.out" | grep -F "brdId 22," | grep -c -v -F "from 192.168.1.12")" -eq 0 ] ||
    fail "broadcast 22 came from another terminal"
[ "$(grep "^stream: " "$work/s1.out" | grep -c -F "from 192.168.1.13")" -eq 0 ] || fail "terminal 3 streams without a grant"
# Each stream runs at the terminal's pace (93.75 packets/s) even with the other beside it.
for k in 1 2; do
    best=$(grep "^stream: " "$work/s1.out" | grep -F "from 192.168.1.1$k" | sed 's/^stream: \([0-9]*\) .*/\1/' |
        sort -n | tail -n 1)
    [ "${best:-0}" -ge 80 ] || fail "stream from terminal $k peaks at ${best:-0} packets/s"
done
for k in 1 2; do
    printf 'select PT0000001%s\nstop 2%s\n' "$k" "$k" >&3
done
for k in 1 2; do
    wait_for "$work/s1.out" "status from 192.168.1.1$k PT0000001$k: brdState 0 (idle)" 3 15 ||
        fail "terminal $k did not stop"
done

# A second server announces itself: nobody moves while the first lives.
ip -n "$name-server" addr add 192.168.1.6/24 dev br0 || fail "no second address"
start_server s2 192.168.1.6
server2=$!
exec 4>"$work/s2.in"
wait_for "$work/s2.out" "paterm-server on 192.168.1.6" 1 10 || fail "the second server did not start"
before=$(count "$work/s1.out" "status from")
wait_for "$work/s1.out" "status from" $((before + 3)) 15 || fail "reports to the first server stopped"
[ "$(count "$work/s2.out" "status from")" -eq 0 ] || fail "a terminal left a living server"

# The first goes: every terminal declares it lost and adopts the second.
echo quit >&3
exec 3>&-
wait "$server1" || fail "the first server ended with status $?"
server1=""
for k in 1 2 3; do
    wait_for "$work/s2.out" "new terminal PT0000001$k at 192.168.1.1$k" 1 45 ||
        fail "terminal $k did not follow the second server"
done
echo quit >&4
exec 4>&-
wait "$server2" || fail "the second server ended with status $?"
server2=""
# Under the sanitizers, a report in any program's output fails the run.
if grep -l -E "Sanitizer|runtime error:" "$work"/*.out "$work"/t*.log "$work"/t*/sim/console.log 2>/dev/null; then
    fail "sanitizer reports above"
fi
echo "fleet_test: 3 terminals adopted the server, two broadcasts streamed at once, all followed the second server"
exit 0
