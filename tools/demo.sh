#!/bin/sh
# The terminal as a demonstration: the sample SD card in the board root's
# mmc/, the simulated board (card in, a tone on its line input) and
# paterm-server in a private network of their own (tools/netns), a server
# that grants every broadcast request, and paterm-panel on this terminal,
# with a short guide of what to press and what to watch. Everything ends,
# and the network goes, when the panel is left (q).
#
# Usage: tools/demo.sh [--root DIR] [--bin DIR] [--card DIR] [--work DIR] [--check] [-- SIM_ARG...]
#   --root DIR  the board root (default ./sim-root; with --check WORK/check-root, made afresh)
#   --bin DIR   the built programs (default ./build/bin)
#   --card DIR  the sample card (default ./build/sample-card)
#   --work DIR  the server's log, its command pipe, the broadcast WAV (default ./build/demo)
#   --check     start everything, wait for the terminal's hello on the panel
#               line, the panel's acknowledgement and the server's first
#               status report, stop; exit 0, 1 when one does not come, 77
#               when this machine cannot run it (not root, no network
#               namespaces, no sample card)
#   SIM_ARG     options for paterm-sim (docs/board.md)
# Needs root (network namespaces) and iproute2.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=./sim-root
bin=./build/bin
card=./build/sample-card
work=./build/demo
check=0
root_given=0

BRD_ID=5              # the broadcast id the server grants
TONE_HZ=1000          # the board's line input while the demo runs
CHECK_SECONDS=40      # --check: the panel and the first report must come within this

usage() {
    sed -n '9,19p' "$0" >&2
    exit 2
}
# A failure to run at all: 77 for --check (ctest's skip), 1 otherwise.
cannot() {
    echo "demo: $*" >&2
    [ "$check" -eq 1 ] && exit 77
    exit 1
}
die() {
    echo "demo: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case "$1" in
        --root) [ $# -ge 2 ] || usage; root=$2; root_given=1; shift 2 ;;
        --bin) [ $# -ge 2 ] || usage; bin=$2; shift 2 ;;
        --card) [ $# -ge 2 ] || usage; card=$2; shift 2 ;;
        --work) [ $# -ge 2 ] || usage; work=$2; shift 2 ;;
        --check) check=1; shift ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done

[ "$(id -u)" -eq 0 ] || cannot "the demonstration's private network needs root; run as root (or with sudo)"
if ! command -v ip >/dev/null 2>&1 || ! ip netns list >/dev/null 2>&1; then
    cannot "no network namespaces here (ip netns from iproute2)"
fi
[ -d "$card/01Tones" ] || cannot "no sample card at $card (the build makes it with lame: sh tools/setup.sh)"
for program in paterm paterm-sim paterm-server paterm-panel paterm-simctl; do
    [ -x "$bin/$program" ] || die "$bin/$program is missing (make build-run builds it)"
done

mkdir -p "$work"
# Absolute paths: the programs run from other namespaces, and the guide names them.
bin=$(cd "$bin" && pwd)
card=$(cd "$card" && pwd)
work=$(cd "$work" && pwd)
if [ "$check" -eq 1 ] && [ "$root_given" -eq 0 ]; then
    root=$work/check-root
    rm -rf "$root"
fi
mkdir -p "$root/mmc"
root=$(cd "$root" && pwd)

simctl() {
    "$bin/paterm-simctl" --root "$root" "$@"
}
simctl status >/dev/null 2>&1 && die "a board runs on $root already (paterm-simctl --root $root stop)"

# The sample folders replace those of the same names; anything else on the card stays.
for folder in "$card"/*/; do
    name=$(basename "$folder")
    rm -rf "$root/mmc/$name"
    cp -R "$card/$name" "$root/mmc/$name"
done

ns=demo-$$
board_pid=
granter_pid=
panel_pid=
# Every process started here is ended by its id; `tools/netns down` ends
# whatever still runs in the two namespaces and removes them.
cleanup() {
    status=$?
    trap - EXIT INT TERM
    [ -z "$granter_pid" ] || kill "$granter_pid" 2>/dev/null || true
    [ -z "$panel_pid" ] || kill "$panel_pid" 2>/dev/null || true
    # The server ends at the end of its input.
    exec 3>&- 4>&-
    if [ -n "$board_pid" ]; then
        simctl stop >/dev/null 2>&1 || true
        tries=0
        while kill -0 "$board_pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
    fi
    sh "$here/netns" down "$ns" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -f "$work/server.in" "$work/panel.in"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

sh "$here/netns" up "$ns" || cannot "cannot make the network namespaces $ns and $ns-server"

sh "$here/netns" run "$ns" -- "$bin/paterm-sim" --root "$root" --quiet "$@" >"$work/board.log" 2>&1 &
board_pid=$!
tries=0
until simctl status >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { cat "$work/board.log" >&2; die "the board did not start"; }
    kill -0 "$board_pid" 2>/dev/null || { cat "$work/board.log" >&2; die "the board ended at start"; }
    sleep 0.1
done
# The check's panel attaches at once, so it sees the terminal's hello too.
if [ "$check" -eq 1 ]; then
    rm -f "$work/panel.in"
    mkfifo "$work/panel.in"
    exec 4<>"$work/panel.in"
    "$bin/paterm-panel" --root "$root" <"$work/panel.in" >"$work/panel.out" 2>&1 4>&- &
    panel_pid=$!
fi
simctl "{\"cmd\":\"dsp.source\",\"tone\":$TONE_HZ,\"amplitude\":8000}" >/dev/null

# The server addresses the terminal by the id in its EEPROM (a root made
# earlier may carry another than the board's default).
device_id=$(head -c 10 "$root/dev/i2c-eeprom0" 2>/dev/null | tr -cd '[:print:]')
[ "${#device_id}" -eq 10 ] || device_id=PT00000001

# The server reads its commands from a pipe this script holds open, so it
# lives until the script ends; anyone may write a command into the pipe.
rm -f "$work/server.in"
mkfifo "$work/server.in"
exec 3<>"$work/server.in"
: >"$work/server.log"
sh "$here/netns" server "$ns" -- "$bin/paterm-server" --bind 192.168.1.5 --id "$device_id" --brd-wav "$work/brd.wav" \
    <"$work/server.in" >"$work/server.log" 2>&1 3>&- 4>&- &

# Grants each new request the server prints (the terminal repeats its
# request in every status report until it is granted).
grant_requests() {
    seen=0
    while :; do
        requests=$(grep -c 'brdState 1 (requested)' "$work/server.log" 2>/dev/null || true)
        if [ "${requests:-0}" -gt "$seen" ]; then
            echo "grant $BRD_ID" >&3
            seen=$requests
        fi
        sleep 0.5
    done
}
grant_requests 4>&- &
granter_pid=$!

guide() {
    cat <<EOF
The demonstration runs: the simulated terminal at 192.168.1.10 (namespace $ns),
paterm-server at 192.168.1.5 ($ns-server) granting every broadcast request,
the sample SD card in $root/mmc, a ${TONE_HZ} Hz tone on the line input.

On the panel (its own key help is at the bottom of its screen):
  s          play/stop the current MP3 file      .  ,   next / previous file
  >  <       next / previous folder              b      broadcast on / off
  1 ... 0    group keys 1 to 10                  q      leave: everything stops

Watch:
  the panel    indicator 13 goes to 3 on b and back to 1 on the second b;
               the track and folder lines (folder 02 has a GB2312 name)
  the server   tail -f $work/server.log    (status reports, the stream's figures)
  the board    tail -f $root/sim/console.log
Listen afterwards:
  the broadcast as the server decoded it   $work/brd.wav
  the MP3 files as the decoder chip played them   $root/sim/decoder.wav
Server commands by hand:  echo 'stop $BRD_ID' > $work/server.in   (paterm-server --help lists them)
EOF
}
guide >"$work/guide.txt"

# The terminal's hello as the board recorded it (the panel may have come
# too late to see it), the panel's acknowledgement, the first report.
checked() {
    simctl '{"cmd":"panel.frames","from":0}' 2>/dev/null | grep -q '"hex":"02 00"' &&
        grep -q 'terminal   acknowledged' "$work/panel.out" &&
        grep -q 'status from 192.168.1.10' "$work/server.log"
}

if [ "$check" -eq 1 ]; then
    tries=0
    until checked; do
        tries=$((tries + 1))
        if [ "$tries" -gt $((CHECK_SECONDS * 5)) ]; then
            echo "demo: --check: no hello, panel acknowledgement or status report within $CHECK_SECONDS s" >&2
            echo "--- panel (last screen)" >&2; tail -c 1500 "$work/panel.out" | tr -d '\033' >&2; echo >&2
            echo "--- server.log" >&2; tail -n 20 "$work/server.log" >&2
            echo "--- console.log" >&2; tail -n 20 "$root/sim/console.log" >&2
            exit 1
        fi
        sleep 0.2
    done
    simctl status | grep -q '"card_present":true' || die "--check: the board's card is not in"
    echo "demo: --check: the terminal said hello on the panel line, acknowledged the panel's announce" \
        "and reported to the server; the card is in"
    exit 0
fi

guide
if [ -t 0 ]; then
    printf '\nPress Enter to attach the panel (q leaves it and ends the demonstration). '
    read -r _
fi
"$bin/paterm-panel" --root "$root" 3>&- || true
echo
echo "demo: stopping; the broadcast is in $work/brd.wav, the decoder's audio in $root/sim/decoder.wav"
