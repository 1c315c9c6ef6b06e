#!/bin/sh
# Unpacks the armel libraries the terminal's programs (and their tests)
# link into a sysroot of the build's own:
#   sh tools/cross-sysroot.sh DIR
# Debian's armel development packages cannot sit beside the host's:
# libcgicc-dev ships /usr/bin/cgicc-config in both, and Multi-Arch: same
# packages need the host's exact versions, which the host's security
# updates (not published for armel) no longer match. So the packages are
# downloaded and unpacked (dpkg-deb -x), never installed. The C library
# and libstdc++ come from the cross compiler (/usr/arm-linux-gnueabi).
# Needs the armel architecture known to apt (tools/setup.sh --cross).
# Safe to run again: a complete sysroot is left as it is.
set -eu

[ $# -eq 1 ] || { echo "usage: sh tools/cross-sysroot.sh DIR" >&2; exit 2; }
DIR=$1
TRIPLET=arm-linux-gnueabi
PACKAGES="libmpg123-dev libmpg123-0 libopus-dev libopus0 libcrypt-dev libcrypt1
zlib1g-dev zlib1g libcgicc-dev libcgicc3 libgtest-dev libgmock-dev"
# Headers only, for every architecture (the simulated board's JSON).
ALL_PACKAGES="nlohmann-json3-dev"

[ -f "$DIR/.complete" ] && exit 0
mkdir -p "$DIR/debs"
DIR=$(cd "$DIR" && pwd)
for package in $PACKAGES $ALL_PACKAGES; do
    case " $ALL_PACKAGES " in *" $package "*) name=$package ;; *) name=$package:armel ;; esac
    if ! ls "$DIR/debs/${package}_"*.deb >/dev/null 2>&1; then
        (cd "$DIR/debs" && apt-get download -qq -o APT::Sandbox::User=root "$name")
    fi
done
for deb in "$DIR"/debs/*.deb; do
    dpkg-deb -x "$deb" "$DIR"
done

# The .pc files and the .so links name /usr: make them name the sysroot.
for pc in "$DIR/usr/lib/$TRIPLET/pkgconfig/"*.pc; do
    sed -i "s|^prefix=/usr\$|prefix=$DIR/usr|" "$pc"
done
for link in "$DIR/usr/lib/$TRIPLET/"*.so; do
    target=$(readlink "$link" || true)
    case "$target" in
        /*) ln -sf "$DIR$target" "$link" ;;
    esac
done
touch "$DIR/.complete"
echo "cross-sysroot: $DIR"
