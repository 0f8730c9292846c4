#!/bin/sh
# Prints the resident memory and CPU time of an idle kivohost over 10 seconds.
# Usage: bench/idle_footprint.sh <path to kivohost>   (root: runs it in a scratch namespace)
set -e
bin=${1:-build-release/kivohost}
ns=kvtbench$$
ip netns add $ns
trap 'kill $pid 2>/dev/null; ip netns del $ns' EXIT
ip netns exec $ns "$bin" 40400 >/dev/null &
pid=$!
sleep 2
t0=$(awk '{print $14+$15}' /proc/$pid/stat)
sleep 10
t1=$(awk '{print $14+$15}' /proc/$pid/stat)
echo "idle kivohost: $(awk '/VmRSS/{print $2, $3}' /proc/$pid/status) resident, $(awk '/Threads/{print $2}' /proc/$pid/status) threads, $((t1 - t0)) clock ticks of CPU in 10 s ($(getconf CLK_TCK) ticks/s)"
