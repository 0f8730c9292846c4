#!/bin/sh
# Runs a browser test of the web page against the real programs: kivo-devsim in one
# network namespace, kivohost, kivo-web and headless Chromium in another, joined by
# two veth pairs. Everything made here is removed on exit, also when the test fails.
#   run.sh OUT_DIR page|axe|figures KIVO_DEVSIM KIVOHOST KIVO_WEB
# OUT_DIR receives the screenshots and the programs' logs.
# Exit status 77 (skipped) without root or without Chromium, chromedriver or Selenium.
set -u
if [ $# -ne 5 ]; then
    echo "usage: $0 OUT_DIR page|axe|figures KIVO_DEVSIM KIVOHOST KIVO_WEB" >&2
    exit 2
fi
out=$1
mode=$2
here=$(cd "$(dirname "$0")" && pwd)
py=/usr/bin/python3

if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: the browser tests need root (network namespaces)"
    exit 77
fi
for need in /usr/bin/chromium /usr/bin/chromedriver; do
    [ -x "$need" ] || { echo "SKIPPED: $need is missing (Debian packages chromium, chromium-driver)"; exit 77; }
done
"$py" -c 'import selenium' 2>/dev/null || { echo "SKIPPED: Debian's python3-selenium is missing"; exit 77; }

# axe-core is not packaged in Debian: npm fetches it once into the build tree, here in
# the machine's own namespace (the test's namespaces have no way out).
axe=$(dirname "$out")/axe
if [ "$mode" = axe ] && [ ! -f "$axe/node_modules/axe-core/axe.min.js" ] && command -v npm >/dev/null; then
    mkdir -p "$axe"
    timeout 180 npm install --no-audit --no-fund --prefix "$axe" axe-core >"$axe/npm.log" 2>&1 ||
        echo "npm install axe-core failed: $(tail -n 3 "$axe/npm.log")"
fi

# "kvt<pid>-" names let tests/integration/cleanup_netns.sh remove what a killed run left.
host=kvt$$-webhost
dev=kvt$$-webdev
cleanup() {
    for ns in "$host" "$dev"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

set -e
ip netns add "$host"
ip netns add "$dev"
ip -n "$host" link set lo up
ip -n "$dev" link set lo up
for i in 0 1; do
    ip -n "$host" link add "kv$i" type veth peer name "eth$i" netns "$dev"
    ip -n "$host" link set "kv$i" up
    ip -n "$dev" link set "eth$i" up
done
mkdir -p "$out"
set +e
ip netns exec "$host" "$py" "$here/page_test.py" --out "$out" --dev-ns "$dev" --mode "$mode" \
    --devsim "$3" --kivohost "$4" --web "$5" --axe "$axe/node_modules/axe-core/axe.min.js"
