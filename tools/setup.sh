#!/bin/sh
# Installs, from Debian's packages, what this machine lacks for one purpose,
# and fetches Debian's opus source for the receivers' decoder (see below):
#   sh tools/setup.sh          building and running the terminal (make run)
#   sh tools/setup.sh --web    that, and serving the settings page (make web)
#   sh tools/setup.sh --test   all of that, and running the tests (make test)
#   sh tools/setup.sh --cross  the terminal's cross-build and the suite under
#                              qemu-arm (make cross-lpc3250, make test-qemu)
# Safe to run again: it installs nothing when all is there.
set -eu

# Compiler, build tools and the libraries the programs link; the board's
# downloads use wget, its packages tar and gzip; dpkg-dev unpacks the opus
# source package; lame makes the sample SD card's MP3 files from tones.
RUN_PACKAGES="make cmake g++ gcc pkg-config tar gzip wget dpkg-dev
libmpg123-dev libopus-dev libcgicc-dev libcrypt-dev nlohmann-json3-dev zlib1g-dev lame"
WEB_PACKAGES="lighttpd"
# GoogleTest and Benchmark, the browser test's Chromium, the network
# tests' namespaces (ip from iproute2, unshare from util-linux), and clang
# for the fuzz targets (its libFuzzer and sanitizers).
TEST_PACKAGES="libgtest-dev libgmock-dev googletest libbenchmark-dev
chromium chromium-driver python3 fonts-dejavu-core iproute2 util-linux clang"
# The terminal's cross compiler (ARMv5TE soft float is Debian's armel) and
# qemu for running ARM programs here. The armel libraries are not installed:
# tools/cross-sysroot.sh unpacks them into the build tree, from apt's armel
# lists, which this adds.
CROSS_PACKAGES="g++-arm-linux-gnueabi gcc-arm-linux-gnueabi binutils-arm-linux-gnueabi
qemu-user-static make cmake pkg-config"

case "${1:-}" in
    '') PACKAGES=$RUN_PACKAGES ;;
    --web) PACKAGES="$RUN_PACKAGES $WEB_PACKAGES" ;;
    --test) PACKAGES="$RUN_PACKAGES $WEB_PACKAGES $TEST_PACKAGES" ;;
    --cross) PACKAGES=$CROSS_PACKAGES ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "usage: sh tools/setup.sh [--web | --test | --cross]" >&2; exit 2 ;;
esac

# The sysroot's downloads need apt's armel lists.
if [ "${1:-}" = --cross ] && ! dpkg --print-foreign-architectures | grep -qx armel; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: apt does not know armel (run as root to add it)" >&2
        exit 1
    fi
    dpkg --add-architecture armel
    apt-get update -qq
fi

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages:$missing (run as root to install them)" >&2
        exit 1
    fi
    echo "setup: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi

# paterm-server decodes the broadcast with opus built from Debian's source
# of the installed libopus0 (the system decoder refuses the terminal's
# frames): fetched once into a cache (docs/tools.md), built by CMake.
case "${1:-}" in
    ''|--web|--test) sh "$(dirname "$0")/opus-source.sh" >/dev/null ;;
esac
