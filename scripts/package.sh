#!/bin/sh
# Builds the Debian package into build-package/ and prints its path.
#   scripts/package.sh             release build of the service, kivoctl, kivo-devsim, kivo-web and kivo-exporter
#   scripts/package.sh BUILD_DIR   package an existing configured build tree instead
# KIVO_PACKAGE_OUT=DIR puts the package (and the logs) in DIR instead.
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh cmake g++ make libssl-dev libcli11-dev nlohmann-json3-dev libsystemd-dev pkg-config dpkg-dev fakeroot file \
    libcpp-httplib-dev libyaml-cpp-dev libcrypt-dev
root=$(pwd)
out="${KIVO_PACKAGE_OUT:-$root/build-package}"
mkdir -p "$out"
if [ -n "$1" ]; then
    build=$1
else
    build="$out/build"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKIVO_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target kivohost kivoctl kivo-devsim kivo-exporter kivo-web >"$out/build.log" 2>&1 ||
    { cat "$out/build.log" >&2; exit 1; }
# Only the installed targets are built; the tests of a test tree are not packaged.
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
    cat "$out/cpack.log" >&2
    echo "package.sh: cpack failed (log above); is the build tree configured and built?" >&2
    exit 1
}
deb=$(ls -t "$out"/*.deb | head -n 1)
echo "$deb"
