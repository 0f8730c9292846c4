#!/bin/bash
# Wall time of the example playbook (examples/ansible/site.yml) setting three parameters
# on five simulated LCMP devices: the first run, which writes, and the second, which finds
# nothing to do. ansible-playbook runs on localhost with the local connection inside a
# network namespace of its own, against kivohost and kivo-devsim from a build folder.
# Needs root and Debian's ansible-core. Everything it creates is removed on exit.
#
#   bench/ansible_fleet.sh [BUILD_DIR]      (default: build)
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
. bench/bed.sh
bed_start ansible_fleet.sh kvbench "${1:-build}"
[ -x /usr/bin/ansible-playbook ] || { echo "ansible_fleet.sh: needs ansible-core (apt install ansible-core)" >&2; exit 1; }

devices=""
for i in 1 2 3 4 5; do
    mac="02:00:00:00:50:0$i"
    cat >>"$tmp/devices.conf" <<EOF
[device d$i]
mac = $mac
interface = eth1
role = lcmp
password = bench
segment_size = 1492
quiet = yes
param = SYSTEM.GENERAL.DEVICE_NAME STRING device $i
param = SYSTEM.GENERAL.LED_ENABLE BOOL YES
param = NETWORK.VLAN.IDS INT16U 1,100,200
EOF
    devices="$devices{\"interface\": \"eth1\", \"mac\": \"$mac\"},"
done
cat >"$tmp/vars.json" <<EOF
{"kivo_password": "bench", "kivo_renderings_file": "$tmp/renderings.json",
 "kivo_params": {"SYSTEM.GENERAL.DEVICE_NAME": "site 7", "SYSTEM.GENERAL.LED_ENABLE": "NO",
                 "NETWORK.VLAN.IDS": [1, 100, 300]},
 "kivo_devices": [${devices%,}]}
EOF
printf '[kivo_hosts]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n' >"$tmp/inventory.ini"

ip netns exec "$id-dev" "$build/kivo-devsim" -c "$tmp/devices.conf" >"$tmp/devsim.log" 2>&1 </dev/null &
bed_pids+=($!)
ip netns exec "$id-host" "$build/kivohost" >"$tmp/kivohost.log" 2>&1 </dev/null &
bed_pids+=($!)
ready() {
    grep -q "devsim: ready" "$tmp/devsim.log" 2>/dev/null &&
        ip netns exec "$id-host" "$build/tools/kivoctl/kivoctl" --timeout 0.5 version >/dev/null 2>&1
}
bed_wait "kivohost or kivo-devsim" ready

run() {
    local start end ms
    start=$(date +%s%N)
    ip netns exec "$id-host" env HOME="$tmp" ANSIBLE_COLLECTIONS_PATH="$root/ansible" \
        PATH="$build/tools/kivoctl:$PATH" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
        /usr/bin/ansible-playbook -i "$tmp/inventory.ini" -e "@$tmp/vars.json" --tags params \
        "$root/examples/ansible/site.yml" >"$tmp/run.log" 2>&1 </dev/null
    local rc=$?
    end=$(date +%s%N)
    ms=$(((end - start) / 1000000))
    printf '%-28s %3d.%02d s   %s\n' "$1" $((ms / 1000)) $((ms % 1000 / 10)) "$(grep -o 'changed=[0-9]*' "$tmp/run.log")"
    [ "$rc" -eq 0 ] || { cat "$tmp/run.log" >&2; exit 1; }
}
echo "example playbook, 3 parameters on 5 simulated devices (one host, local connection):"
run "first run (writes)"
run "second run (idempotent)"
run "third run (idempotent)"
