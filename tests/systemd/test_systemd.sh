#!/bin/sh
# The package's units under a real systemd. Installs the package on this machine, boots systemd as PID 1 in a container over this machine's /usr with /etc and /var
# empty (systemd-nspawn --volatile=yes), and lets check_units.sh start and check
# kivohost.socket/.service, kivo-web.service and kivo-exporter.service in there, with
# kivo-devsim playing the example devices at the far end of the container's eth1.
#   test_systemd.sh SOURCE_DIR DEB OUT_DIR
# DEB: the package, as scripts/package.sh makes it (in ctest, the copy the package test
# leaves in the build tree).
# OUT_DIR receives results.txt, the container's console (console.log) and journal
# (journal.txt). Everything made here goes on every exit path: the container, the
# namespaces, the package (purged) and the accounts its install made.
# Exit status 77 (skipped) where it cannot run.
set -u
if [ $# -ne 3 ]; then
    echo "usage: $0 SOURCE_DIR DEB OUT_DIR" >&2
    exit 2
fi
src=$(cd "$1" && pwd)
deb=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
started=$(date +%s)

skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (installs the package and boots a container)"
for tool in systemd-nspawn:systemd-container apt-get:apt ip:iproute2 curl:curl promtool:prometheus \
    setpriv:util-linux journalctl:systemd; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || skip "${tool%%:*} is missing (Debian package ${tool#*:})"
done
[ ! -d /run/systemd/system ] ||
    skip "this machine runs systemd itself, which would start the installed units outside the container"
case "$deb" in
    /*) ;;
    *) deb=$(pwd)/$deb ;;
esac
[ -f "$deb" ] || { echo "FAILED: no package at $deb (scripts/package.sh makes one)" >&2; exit 1; }
if dpkg-query -W -f '${Status}' kivo 2>/dev/null | grep -q 'installed'; then
    skip "the kivo package is installed on this machine; this test installs and purges its own"
fi

rm -rf "$out"
mkdir -p "$out/journal"
work=$(mktemp -d /tmp/kvt-sd-XXXXXX)
# "kvt<pid>-" names let tests/integration/cleanup_netns.sh remove what a killed run left.
ns=kvt$$-sd
devns=kvt$$-sddev
accounts="kivo-web kivo-exporter kivo"
made_users=""
for u in $accounts; do getent passwd "$u" >/dev/null || made_users="$made_users $u"; done
made_groups=""
for g in kivo-exporter kivo; do getent group "$g" >/dev/null || made_groups="$made_groups $g"; done
nspawn=""
installed=no

apt_quiet() { apt-get -y -q -o DPkg::Lock::Timeout=120 "$@" >>"$out/apt.log" 2>&1; }
cleanup() {
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        kill "$nspawn" 2>/dev/null
        i=0
        while kill -0 "$nspawn" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
        kill -9 "$nspawn" 2>/dev/null
    fi
    # Whatever still runs in the namespaces (the simulator, a container that outlived nspawn).
    for n in "$ns" "$devns"; do
        for pid in $(ip netns pids "$n" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        ip netns del "$n" 2>/dev/null
    done
    if [ -d "$out/journal" ]; then
        journalctl -D "$out/journal" -o short-precise --no-pager >"$out/journal.txt" 2>&1
    fi
    if [ "$installed" = yes ] || dpkg-query -W -f '${Status}' kivo 2>/dev/null | grep -q 'installed'; then
        apt_quiet purge kivo || echo "could not purge the kivo package (see $out/apt.log)" >&2
    fi
    for u in $made_users; do getent passwd "$u" >/dev/null && userdel "$u"; done
    for g in $made_groups; do getent group "$g" >/dev/null && groupdel "$g"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The package installed as an administrator would.
installed=yes
apt_quiet install --no-install-recommends "$deb" || { cat "$out/apt.log" >&2; fail "apt-get could not install $deb"; }
echo "package installed in $(($(date +%s) - started)) s"
# What the maintainer scripts made on this machine.
[ "$(stat -c '%a %U %G' /etc/kivo/web-token 2>&1)" = "640 root kivo" ] ||
    fail "the postinst made no token /etc/kivo/web-token, 640 root kivo: $(ls -l /etc/kivo/web-token 2>&1)"
[ "$(id -gn kivo-web 2>&1)" = kivo ] || fail "the postinst did not make kivo-web in the group kivo"

# The container's own network: eth1, whose far end in another namespace is the simulator's.
{ ip netns add "$ns" && ip netns add "$devns"; } || fail "cannot make network namespaces"
ip -n "$devns" link set lo up
# The container's systemd may not configure it (no CAP_NET_ADMIN in there).
ip -n "$ns" link set lo up
ip -n "$ns" link add eth1 type veth peer name eth1 netns "$devns" || fail "cannot make a veth pair"
ip -n "$ns" link set eth1 up
ip -n "$devns" link set eth1 up
ip netns exec "$devns" /usr/bin/kivo-devsim -c /usr/share/doc/kivo/examples/demo-devices.conf \
    >"$out/devsim.log" 2>&1 &
end=$(($(date +%s) + 20))
until grep -q 'devsim: ready' "$out/devsim.log"; do
    [ "$(date +%s)" -lt "$end" ] || { cat "$out/devsim.log" >&2; fail "kivo-devsim did not get ready in 20 s"; }
    sleep 0.1
done

# What the container gets: the checks, the documented exposure figures, a unit to run them.
mkdir -p "$work/in" "$work/results"
cp "$here/check_units.sh" "$work/in/"
sed -n 's/^| `\(kivo[a-z-]*\.service\)`[^|]*| \([0-9.]*\) .*/\1 \2/p' "$src/docs/security.md" >"$work/in/exposure"
[ "$(wc -l <"$work/in/exposure")" -eq 3 ] || fail "docs/security.md's table gives no exposure for each of the three units"
cat >"$work/in/kvt-check.service" <<UNIT
[Unit]
Description=kivo units checked under systemd
Wants=basic.target
After=basic.target
SuccessAction=poweroff
FailureAction=poweroff
[Service]
Type=oneshot
ExecStart=/bin/sh /run/kvt-in/check_units.sh
StandardOutput=journal+console
TimeoutStartSec=150
UNIT

# systemd.firstboot=off: no questions on the console. Booting straight into the checks
# leaves out the other services of this machine that presets would enable.
timeout --kill-after=10 200 systemd-nspawn -D / --volatile=yes --register=no --keep-unit \
    --machine="kvt$$" --network-namespace-path="/run/netns/$ns" \
    --bind-ro="$work/in:/run/kvt-in" --bind="$work/results:/run/kvt-out" \
    --bind="$out/journal:/var/log/journal" \
    --bind-ro="$work/in/kvt-check.service:/etc/systemd/system/kvt-check.service" \
    -b systemd.firstboot=off systemd.unit=kvt-check.service </dev/null >"$out/console.log" 2>&1 &
nspawn=$!
booted=$(date +%s)
wait "$nspawn"
status=$?
nspawn=""
echo "container booted, checked and powered off in $(($(date +%s) - booted)) s"
cp "$work/results/results" "$out/results.txt" 2>/dev/null
cat "$out/results.txt" 2>/dev/null
[ "$status" -eq 0 ] || { tail -n 30 "$out/console.log" >&2; fail "systemd-nspawn ended with status $status (console: $out/console.log)"; }
last=$(tail -n 1 "$out/results.txt" 2>/dev/null)
case "$last" in
    "done 0") ;;
    done*) fail "${last#done } check(s) failed in the container (journal: $out/journal.txt)" ;;
    *) tail -n 30 "$out/console.log" >&2; fail "the checks did not finish in the container (journal: $out/journal.txt)" ;;
esac

# Purge as an administrator would: the token goes, the accounts stay.
installed=no
apt_quiet purge kivo || fail "apt-get could not purge kivo (see $out/apt.log)"
[ ! -e /etc/kivo ] || fail "the purge left /etc/kivo: $(ls -la /etc/kivo)"
getent group kivo >/dev/null || fail "the purge removed the group kivo, which lists the people allowed"
echo "purged; all checks passed in $(($(date +%s) - started)) s"
