#!/bin/bash
# Runs scripts/demo.sh with the binaries of this build and checks that it ran to its
# end and left nothing behind: no namespace, interface, process or temporary folder.
#   demo_test.sh DEMO KIVOHOST KIVOCTL KIVO_DEVSIM
[ "$(id -u)" -eq 0 ] || { echo "the demo needs root: skipped"; exit 77; }
demo=$1
log=$(mktemp /tmp/kvdemo-test.XXXXXX)
trap 'rm -f "$log"' EXIT
KIVOHOST=$2 KIVOCTL=$3 KIVO_DEVSIM=$4 "$demo" >"$log" 2>&1 </dev/null &
pid=$!
wait "$pid"
rc=$?
cat "$log"
# The one file the demo leaves: the simulator's capture, a classic pcap file.
capture=$(sed -n 's/^Every frame the simulated devices sent and received is in \(.*\):$/\1/p' "$log")
trap 'rm -f "$log" "$capture"' EXIT
fail() { echo "demo_test: $*" >&2; exit 1; }

[ "$rc" -eq 0 ] || fail "demo.sh exited with status $rc"
grep -q "Demo complete" "$log" || fail "demo.sh did not reach its end"
for what in "version" "discover -i kv0" "getall" "set" "get" "fw upgrade" "fw boot"; do
    grep -q "^.*\$ kivoctl.* $what" "$log" || fail "the demo did not show 'kivoctl $what'"
done
grep -q "upgrade succeeded" "$log" || fail "the upgrade did not succeed"
grep -q "Ethernet boot succeeded" "$log" || fail "the Ethernet boot did not succeed"
grep -q 'CFG write SYSTEM.GENERAL.DEVICE_NAME type=STRING value="demo room"$' "$log" &&
    grep -q 'CFG write NETWORK.VLAN.IDS type=INT16U value=1,100,300$' "$log" ||
    fail "the values the device received are not shown as text"
! grep -q "$(printf '\033')" "$log" || fail "terminal escape sequences in the demo's log (not a terminal)"
[ -n "$capture" ] || fail "the demo did not name its capture"
[ "$(od -An -tx1 -N4 "$capture" | tr -d ' ')" = d4c3b2a1 ] || fail "$capture is not a pcap file"
[ "$(stat -c %s "$capture")" -gt 100000 ] || fail "$capture holds too few frames for the demo's transfers"

ip netns list | grep -q "^kvdemo$pid-" && fail "namespaces left behind: $(ip netns list | grep "^kvdemo$pid-")"
ip link show kv0 >/dev/null 2>&1 && fail "interface kv0 left in the root namespace"
ls -d /tmp/kvdemo"$pid".* >/dev/null 2>&1 && fail "temporary folder left behind"
for p in $(sed -n 's/.*started (pid \([0-9]*\)).*/\1/p' "$log"); do
    if [ -e "/proc/$p" ]; then
        case "$(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null)" in
            *kivohost* | *kivo-devsim*) fail "process $p left running" ;;
        esac
    fi
done
[ -n "$(sed -n 's/.*started (pid \([0-9]*\)).*/\1/p' "$log")" ] || fail "the demo did not report its processes"
echo "demo_test: ran to the end, nothing left behind"
