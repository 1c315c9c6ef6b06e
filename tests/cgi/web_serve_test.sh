#!/bin/sh
# tools/web-serve.sh in a network namespace of the test's own: with its port
# taken it must fail with a clear message and never claim to serve; with
# the port free it must claim to serve only once the page answers.
# Usage: web_serve_test.sh WEB_SERVE_SH BIN_DIR. Exit 77 (skipped) without
# root or unshare.
set -u

serve=$1
bin=$2
port=8080
if [ "${PATERM_IN_NETNS:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1; then
        echo "web_serve_test: needs root and unshare; skipped"
        exit 77
    fi
    PATERM_IN_NETNS=1 exec timeout 60 unshare -n sh "$0" "$@"
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
python3 -c 'import fcntl, socket, struct
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    flags = struct.unpack("16sH22x", fcntl.ioctl(s, 0x8913, struct.pack("16sH22x", b"lo", 0)))[1]
    fcntl.ioctl(s, 0x8914, struct.pack("16sH22x", b"lo", flags | 0x41))' || { echo "loopback up failed"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/paterm-webserve.XXXXXX")
holder=""
server=""
cleanup() {
    for p in $server $holder; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Port taken: another listener holds 127.0.0.1:8080.
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen()
print("held", flush=True); time.sleep(60)' "$port" >"$work/holder.out" &
holder=$!
tries=0
until grep -q held "$work/holder.out" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { echo "port holder did not start"; exit 1; }
    sleep 0.1
done
status=0
timeout 20 sh "$serve" --port "$port" --root "$work/root" --bin "$bin" >"$work/taken.out" 2>&1 || status=$?
if [ "$status" -eq 0 ] || [ "$status" -eq 124 ]; then fail "port in use: exit $status, expected a failure"; fi
grep -q "could not serve 127.0.0.1:$port" "$work/taken.out" || fail "port in use: no clear message"
if grep -q "Ctrl-C stops" "$work/taken.out"; then fail "port in use: claimed to serve"; fi
kill "$holder"; wait "$holder" 2>/dev/null; holder=""

# Port free: the serving line comes once the page answers.
sh "$serve" --port "$port" --root "$work/root" --bin "$bin" >"$work/free.out" 2>&1 &
server=$!
tries=0
until grep -q "Ctrl-C stops" "$work/free.out"; do
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ] || ! kill -0 "$server" 2>/dev/null; then break; fi
    sleep 0.1
done
if grep -q "Ctrl-C stops" "$work/free.out"; then
    python3 -c 'import sys, urllib.request
urllib.request.urlopen("http://127.0.0.1:%s/" % sys.argv[1], timeout=5).read()' "$port" ||
        fail "port free: claimed to serve but the page does not answer"
else
    fail "port free: never claimed to serve"
fi

if [ "$failures" -ne 0 ]; then
    echo "--- port in use"; cat "$work/taken.out"
    echo "--- port free"; cat "$work/free.out"
    exit 1
fi
echo "web-serve: a port in use fails clearly; a free port serves"
