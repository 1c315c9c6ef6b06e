#!/bin/sh
# Serves the advanced settings page against a board root: lighttpd in the
# foreground on 127.0.0.1:PORT, document root cgi/www, getextopts and
# extopts under /cgi-bin/, PATERM_ROOT set for them. The configuration is
# generated into a temporary directory that is removed on exit.
#
# Usage: tools/web-serve.sh [--port PORT] [--root BOARD_ROOT] [--bin DIR]
#   --port  TCP port on 127.0.0.1 (default 8080)
#   --root  the simulated board's root (default ./sim-root)
#   --bin   where the built getextopts and extopts are (default ./build/bin)
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
port=8080
root=./sim-root
bin=$repo/build/bin

usage() {
    echo "usage: $0 [--port PORT] [--root BOARD_ROOT] [--bin DIR]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        --port|--root|--bin) [ $# -ge 2 ] || usage ;;
        *) usage ;;
    esac
    case "$1" in
        --port) port=$2 ;;
        --root) root=$2 ;;
        --bin) bin=$2 ;;
    esac
    shift 2
done

case "$port" in
    ''|*[!0-9]*|??????*) echo "web-serve: bad port: $port" >&2; exit 2 ;;
esac
port=$(awk -v port="$port" 'BEGIN { print port + 0 }')  # "08080" is 8080, not octal
if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
    echo "web-serve: bad port: $port" >&2
    exit 2
fi
for program in getextopts extopts; do
    if [ ! -x "$bin/$program" ]; then
        echo "web-serve: $bin/$program not found; build first (make build)" >&2
        exit 1
    fi
done
if ! command -v lighttpd >/dev/null 2>&1 && [ ! -x /usr/sbin/lighttpd ]; then
    echo "web-serve: lighttpd is missing; run sh tools/setup.sh --web" >&2
    exit 1
fi

# The settings directory exists on every terminal; getextopts answers the
# defaults until paterm writes the file.
mkdir -p "$root/opt/lpc3250"
root=$(cd "$root" && pwd)
bin=$(cd "$bin" && pwd)
for path in "$root" "$bin" "$repo"; do
    case "$path" in
        *'"'*|*'\'*) echo "web-serve: cannot serve from a path with quotes or backslashes: $path" >&2; exit 2 ;;
    esac
done

conf_dir=$(mktemp -d "${TMPDIR:-/tmp}/paterm-web.XXXXXX")
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$conf_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Only the two programs are reachable as CGI, not everything in the bin directory.
mkdir "$conf_dir/cgi-bin"
ln -s "$bin/getextopts" "$conf_dir/cgi-bin/getextopts"
ln -s "$bin/extopts" "$conf_dir/cgi-bin/extopts"

cat >"$conf_dir/lighttpd.conf" <<EOF
server.modules = ("mod_setenv", "mod_alias", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$repo/cgi/www"
server.errorlog = "/dev/stderr"
server.pid-file = "$conf_dir/lighttpd.pid"
server.upload-dirs = ("$conf_dir")
index-file.names = ("index.html")
mimetype.assign = (
    ".html" => "text/html; charset=utf-8",
    ".js" => "text/javascript; charset=utf-8",
    ".css" => "text/css; charset=utf-8",
    ".png" => "image/png",
)
alias.url = ("/cgi-bin/" => "$conf_dir/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" {
    cgi.assign = ("" => "")
}
setenv.add-environment = ("PATERM_ROOT" => "$root")
EOF

# True once the lighttpd process $pid has a socket listening on
# 127.0.0.1:$port: its descriptors' socket inodes against /proc/net/tcp
# (state 0A is LISTEN), so another program's listener does not count.
port_hex=$(printf '%04X' "$port")
listening() {
    for link in /proc/"$pid"/fd/*; do
        target=$(readlink "$link" 2>/dev/null) || continue
        case "$target" in
            socket:\[*\]) inode=${target#socket:\[}; inode=${inode%\]} ;;
            *) continue ;;
        esac
        if awk -v addr="0100007F:$port_hex" -v inode="$inode" \
            '$2 == addr && $4 == "0A" && $10 == inode { found = 1 } END { exit !found }' /proc/net/tcp; then
            return 0
        fi
    done
    return 1
}

lighttpd_bin=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd_bin" -D -f "$conf_dir/lighttpd.conf" &
pid=$!
# A port in use makes lighttpd log the bind error and exit; say so, and
# claim to serve only once it listens. At most 10 s.
tries=0
until listening; do
    if ! kill -0 "$pid" 2>/dev/null; then
        status=0
        wait "$pid" || status=$?
        pid=""
        echo "web-serve: lighttpd could not serve 127.0.0.1:$port (exit $status; is the port in use?)" >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ]; then
        echo "web-serve: lighttpd does not listen on 127.0.0.1:$port after 10 s" >&2
        exit 1
    fi
    sleep 0.1
done
echo "web-serve: http://127.0.0.1:$port/ on board root $root (Ctrl-C stops)"
status=0
wait "$pid" || status=$?
pid=""
exit "$status"
