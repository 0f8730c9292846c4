#!/bin/sh
# Builds kivohost and runs it (port 55567, or the port given as first argument).
# Opening raw sockets needs root or the CAP_NET_RAW capability.
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh cmake g++ make
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKIVO_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target kivohost
exec ./build-release/kivohost "$@"
