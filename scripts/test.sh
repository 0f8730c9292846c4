#!/bin/sh
# Installs what is missing, builds everything and runs the whole test suite.
# Integration tests need root (network namespaces); without root they are skipped.
#   scripts/test.sh              normal build, all tests (benchmarks built too)
#   scripts/test.sh --asan       AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   scripts/test.sh --tsan       ThreadSanitizer build, all tests
# The sanitizer builds leave the benchmarks out (they run no test and cost build time), and
# build with -O1 and line tables only (-g1): reports keep their file:line stack traces, and
# the build takes about half the compiler time of -O2 -g.
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libsystemd-dev pkg-config iproute2 procps tshark \
    libcli11-dev nlohmann-json3-dev groff-base \
    libcap2-bin dpkg-dev fakeroot file systemd systemd-container \
    libcpp-httplib-dev curl libyaml-cpp-dev libcrypt-dev libjs-chart.js \
    chromium chromium-driver python3-selenium ansible-core prometheus
# axe-core (the page's accessibility check) comes from npm; any npm will do.
command -v npm >/dev/null 2>&1 || ./scripts/deps.sh npm
dir=build-test
opts="-DCMAKE_BUILD_TYPE=RelWithDebInfo"
bench=ON
flags=
case "$1" in
    --asan) dir=build-asan; opts="$opts -DKIVO_ASAN=ON"; bench=OFF; flags="-O1 -g1 -DNDEBUG" ;;
    --tsan) dir=build-tsan; opts="$opts -DKIVO_TSAN=ON"; bench=OFF; flags="-O1 -g1 -DNDEBUG" ;;
    "") ;;
    *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
if [ -n "$flags" ]; then
    cmake -S . -B "$dir" $opts -DKIVO_TESTS=ON -DKIVO_BENCH=$bench \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" >/dev/null
else
    cmake -S . -B "$dir" $opts -DKIVO_TESTS=ON -DKIVO_BENCH=$bench >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest -j2 --output-on-failure --timeout 600
