#!/bin/sh
# Installs the Debian 12 packages the build and the tests need, when missing.
set -e
need=""
for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
if [ -n "$need" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages:$need (run as root to install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends $need
fi
