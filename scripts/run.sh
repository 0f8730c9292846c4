#!/bin/sh
# Builds kivohost (with kivoctl and kivo-devsim beside it) and runs it (port 55567, or
# the port given as first argument). Opening raw sockets needs root or the CAP_NET_RAW
# capability.
set -e
cd "$(dirname "$0")/.."
# The whole tree is configured, so the web and exporter libraries are needed too.
./scripts/deps.sh cmake g++ make libcli11-dev nlohmann-json3-dev libsystemd-dev pkg-config \
    libcpp-httplib-dev libyaml-cpp-dev libcrypt-dev libssl-dev
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKIVO_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target kivohost kivoctl kivo-devsim
echo "Protocol for front-ends: docs/protocol.md; command-line front-end: man -l man/kivoctl.1"
# kivoctl must be told a port other than the default.
port_option=""
[ $# -eq 1 ] && port_option="--port $1 "
echo "Try it: ./build-release/tools/kivoctl/kivoctl ${port_option}version (in another terminal), or ./scripts/demo.sh for simulated devices"
# exec: kivohost's exit status is the script's (2 for a port outside 0 to 65535).
exec ./build-release/kivohost "$@"
