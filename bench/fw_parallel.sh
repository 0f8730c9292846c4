#!/bin/bash
# Firmware upgrades side by side: the wall time of 'kivoctl fw upgrade --wait' for one
# device and for 8 devices at once (a 256 KiB image; every simulated device asks for its
# file at the simulator's default pace and erases its flash for 2 s before the first
# acknowledgement), with each transfer's own duration from the service's clock. Runs
# kivohost, kivo-devsim and kivoctl from a build folder in two network namespaces joined
# by a veth pair. Needs root. Everything it creates is removed on exit.
#
#   bench/fw_parallel.sh [BUILD_DIR] [RUNS]      (default: build, 3 runs of each)
set -u
cd "$(dirname "$0")/.."
runs=${2:-3}
. bench/bed.sh
bed_start fw_parallel.sh kvfwp "${1:-build}"

head -c 262144 /dev/urandom >"$tmp/image.bin"
macs=()
for i in 1 2 3 4 5 6 7 8; do
    mac="02:00:00:00:60:0$i"
    macs+=("$mac")
    cat >>"$tmp/devices.conf" <<EOC
[device d$i]
mac = $mac
interface = eth1
role = fw
fw_request_at_start = yes
fw_request_count = 1000
fw_erase_ms = 2000
fw_log_data = no

EOC
done

ip netns exec "$id-host" "$build/kivohost" >"$tmp/kivohost.log" 2>&1 </dev/null &
bed_pids+=($!)
kivoctl() { ip netns exec "$id-host" "$build/tools/kivoctl/kivoctl" "$@"; }
host_ready() { kivoctl --timeout 0.5 version >/dev/null 2>&1; }
bed_wait kivohost host_ready

# One run: a fresh simulator (its devices ask for a file from the start), then the
# upgrade of the first N devices. Prints "wall_seconds longest_transfer_seconds".
run() {
    local n=$1 args=() start end
    ip netns exec "$id-dev" "$build/kivo-devsim" -c "$tmp/devices.conf" >"$tmp/devsim.log" 2>&1 </dev/null &
    bed_pids+=($!)
    bed_wait kivo-devsim grep -qs "devsim: ready" "$tmp/devsim.log"
    for ((i = 0; i < n; i++)); do args+=(-m "${macs[$i]}"); done
    start=$(date +%s%N)
    kivoctl --json fw upgrade -i eth1 "${args[@]}" --wait "$tmp/image.bin" >"$tmp/run.json" 2>"$tmp/run.err" || {
        cat "$tmp/run.err" >&2
        exit 1
    }
    end=$(date +%s%N)
    kill "${bed_pids[-1]}" 2>/dev/null && wait "${bed_pids[-1]}" 2>/dev/null
    unset 'bed_pids[-1]'
    python3 - "$tmp/run.json" $(((end - start) / 1000000)) <<'EOP'
import json, sys
doc = json.load(open(sys.argv[1]))
if "devices" in doc:
    longest = max(d["status"]["seconds"] for d in doc["devices"])
else:
    longest = doc["seconds"]
print("%.2f %.1f" % (int(sys.argv[2]) / 1000, longest))
EOP
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

echo "256 KiB image, 2 s flash erase per device, default file-request pace; $runs runs each"
one=()
eight=()
for ((r = 0; r < runs; r++)); do
    read -r wall longest < <(run 1)
    one+=("$wall")
    printf '  1 device : %6.2f s wall, transfer %4.1f s\n' "$wall" "$longest"
    read -r wall longest < <(run 8)
    eight+=("$wall")
    printf '  8 devices: %6.2f s wall, longest transfer %4.1f s\n' "$wall" "$longest"
done
m1=$(printf '%s\n' "${one[@]}" | median)
m8=$(printf '%s\n' "${eight[@]}" | median)
awk -v a="$m1" -v b="$m8" 'BEGIN {printf "median: 1 device %.2f s, 8 devices %.2f s, ratio %.2f (target: within 1.3)\n", a, b, b / a}'
