#!/bin/sh
# Installs, from Debian's packages, whatever the build and the tests need and
# this machine lacks. Safe to run again: it installs nothing when all is there.
set -eu

PACKAGES="make cmake g++ gcc pkg-config tar gzip
libmpg123-dev libopus-dev libcgicc-dev libcrypt-dev
libgtest-dev libgmock-dev googletest libbenchmark-dev
lighttpd chromium chromium-driver python3 fonts-dejavu-core"

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
