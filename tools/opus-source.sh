#!/bin/sh
# Fetches Debian's source package of the opus codec, at the version of the
# installed libopus0 (the library the terminal's encoder links), and keeps
# it unpacked with Debian's patches in a cache. The receivers' decoder is
# built from it (tools/server/CMakeLists.txt); a second run does nothing.
#
#   sh tools/opus-source.sh      prints the unpacked source directory
#
# The cache is $PATERM_CACHE when set, else /var/cache/paterm when it holds
# the source already or this runs as root, else ~/.cache/paterm. Only
# Debian's archive is used: apt reads the source index of the Debian
# suites this machine already uses, with a list of its own inside the
# cache (the machine's apt configuration is left as it is).
set -eu

say() { echo "opus-source: $*" >&2; }

version=$(dpkg-query -W -f='${source:Version}' libopus0 2>/dev/null || true)
if [ -z "$version" ]; then
    say "libopus0 is not installed (sh tools/setup.sh installs it)"
    exit 1
fi
name="opus-$version"

if [ -n "${PATERM_CACHE:-}" ]; then
    cache=$PATERM_CACHE
elif [ -f "/var/cache/paterm/$name/.unpacked" ] || [ "$(id -u)" -eq 0 ]; then
    cache=/var/cache/paterm
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/paterm
fi
if [ -f "$cache/$name/.unpacked" ]; then
    echo "$cache/$name"
    exit 0
fi

if ! command -v dpkg-source >/dev/null 2>&1; then
    say "dpkg-source is missing (sh tools/setup.sh installs dpkg-dev)"
    exit 1
fi
mkdir -p "$cache"
work=$(mktemp -d "$cache/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# deb-src lines for the Debian repositories apt already reads packages from.
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 'Created-By: Packages' |
    awk -v key="$keyring" '$3 == "Debian" && !seen[$1 " " $2]++ {
        print "deb-src [signed-by=" key "] " $1 " " $2 " main" }' >"$work/sources.list"
if [ ! -s "$work/sources.list" ]; then
    say "apt reads no Debian repository (see /etc/apt/sources.list.d)"
    exit 1
fi

mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts"
apt_private() {
    apt-get -q \
        -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts" \
        -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" \
        -o APT::Sandbox::User="$(id -un)" "$@"
}
say "fetching Debian's source of opus $version into $cache"
apt_private update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
(cd "$work" && apt_private source "opus=$version") >>"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; say "apt-get source opus=$version failed"; exit 1; }

upstream=${version#*:}
upstream=${upstream%-*}
if [ ! -x "$work/opus-$upstream/configure" ]; then
    cat "$work/apt.log" >&2
    say "no opus-$upstream/configure in the unpacked source"
    exit 1
fi
touch "$work/opus-$upstream/.unpacked"
# Another run may have finished first: keep its tree.
mv -T "$work/opus-$upstream" "$cache/$name" 2>/dev/null || [ -f "$cache/$name/.unpacked" ]
echo "$cache/$name"
