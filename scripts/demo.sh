#!/bin/bash
# Shows kivoctl at work against simulated devices, without hardware and without
# touching the host's own network: two network namespaces joined by a veth pair,
# kivo-devsim playing the devices of examples/demo-devices.conf in one, kivohost and
# kivoctl in the other. Everything it creates is removed on exit, Ctrl-C included,
# except one file: the simulator's capture of every frame of the run, whose path is
# printed at the end, to open with the Wireshark plugin (docs/wireshark.md).
# Needs root (namespaces, raw sockets).
#
# Builds kivohost, kivoctl and kivo-devsim in build-demo/ unless the environment names
# binaries to use: KIVOHOST, KIVOCTL, KIVO_DEVSIM.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: needs root (network namespaces and raw sockets); run it with sudo" >&2
    exit 1
fi

if [ -z "${KIVOHOST:-}" ] || [ -z "${KIVOCTL:-}" ] || [ -z "${KIVO_DEVSIM:-}" ]; then
    ./scripts/deps.sh cmake g++ make libcli11-dev nlohmann-json3-dev libsystemd-dev pkg-config iproute2 || exit 1
    echo "Building kivohost, kivoctl and kivo-devsim in build-demo/ ..."
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKIVO_TESTS=OFF >/dev/null || exit 1
    cmake --build build-demo -j"$(nproc)" --target kivohost kivoctl kivo-devsim >/dev/null || exit 1
    KIVOHOST=$root/build-demo/kivohost
    KIVOCTL=$root/build-demo/tools/kivoctl/kivoctl
    KIVO_DEVSIM=$root/build-demo/kivo-devsim
fi

id=kvdemo$$
hostns=$id-host
devns=$id-dev
tmp=$(mktemp -d "/tmp/$id.XXXXXX")
# Outside $tmp: it outlives the run.
capture=$(mktemp /tmp/kivo-demo-$$.XXXXXX.pcap) || exit 1
devsim_pid=""
kivohost_pid=""
failures=0

capture_shown=""
# Names the capture and how to read it. A run that ends early shows what it has, or
# removes the file when the simulator never wrote a frame to it.
show_capture() {
    capture_shown=yes
    if [ "$(stat -c %s "$capture" 2>/dev/null || echo 0)" -le 24 ]; then
        rm -f "$capture"
        return
    fi
    # Whoever ran the demo with sudo can open it without root.
    [ -n "${SUDO_UID:-}" ] && chown "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$capture"
    echo
    echo "Every frame the simulated devices sent and received is in $capture:"
    echo "  tshark -X lua_script:$root/tools/wireshark/kivo.lua -r $capture -o 'lcmp.passwords:demo,legacy'"
    echo "or open it in Wireshark with the plugin installed, the same passwords in its LCMP preferences"
    echo "to decipher the parameters (docs/wireshark.md)."
}

cleanup() {
    trap - EXIT INT TERM
    [ -n "$kivohost_pid" ] && kill "$kivohost_pid" 2>/dev/null && wait "$kivohost_pid" 2>/dev/null
    [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
    # Deleting a namespace removes its end of the veth pair, and with it the other end.
    ip netns del "$hostns" 2>/dev/null
    ip netns del "$devns" 2>/dev/null
    rm -rf "$tmp"
    [ -z "$capture_shown" ] && show_capture
}
trap cleanup EXIT
trap 'echo; echo "demo.sh: interrupted, cleaning up"; exit 130' INT TERM

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Echoes a kivoctl command, runs it in the host namespace and checks its exit status
# against the one expected (first argument).
run() {
    local expect=$1
    shift
    printf '\033[1m$ kivoctl'
    printf ' %q' "$@"
    printf '\033[0m\n'
    ip netns exec "$hostns" "$KIVOCTL" "$@"
    local rc=$?
    [ "$rc" -ne 0 ] && echo "[exit status $rc]"
    if [ "$rc" -ne "$expect" ]; then
        echo "demo.sh: expected exit status $expect" >&2
        failures=$((failures + 1))
    fi
    return 0
}
wait_for() {  # wait_for SECONDS COMMAND...: polls until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

step "Network: namespaces $hostns (kivohost, kivoctl) and $devns (simulated devices)"
ip netns add "$hostns" && ip netns add "$devns" || exit 1
ip -n "$hostns" link set lo up
ip -n "$devns" link set lo up
ip -n "$hostns" link add kv0 type veth peer name eth1 netns "$devns" || exit 1
ip -n "$hostns" link set kv0 up
ip -n "$devns" link set eth1 up
echo "kv0 (host side) <-> eth1 (device side)"

step "Sample files: firmware image, Ethernet loader, chunked firmware"
head -c 2097152 /dev/urandom >"$tmp/image.bin"
head -c 8192 /dev/urandom >"$tmp/loader.bin"
{
    # 68 bytes not read, the magic word, 8 bytes not read, then chunk records:
    # a little-endian word count (the two header words included), 4 information
    # bytes, the chunk's bytes; a zero terminator and the entry point end the file.
    head -c 68 /dev/zero
    printf '\252\125\252\125'
    head -c 8 /dev/zero
    printf '\002\100\000\000\000\000\000\020'   # 16386 words: a 64 KiB chunk
    head -c 65536 /dev/urandom
    printf '\002\040\000\000\000\000\001\020'   # 8194 words: a 32 KiB chunk
    head -c 32768 /dev/urandom
    printf '\000\000\000\000\000\000\000\020'   # terminator, entry point
} >"$tmp/firmware.bin"
ls -l "$tmp"/*.bin | awk '{print $5, $NF}'
printf 'legacy\n' >"$tmp/office.password"
chmod 600 "$tmp/office.password"

step "Simulated devices (examples/demo-devices.conf)"
ip netns exec "$devns" "$KIVO_DEVSIM" -c examples/demo-devices.conf --pcap "$capture" \
    >"$tmp/devsim.log" 2>&1 </dev/null &
devsim_pid=$!
echo "kivo-devsim started (pid $devsim_pid)"
if ! wait_for 15 grep -q "devsim: ready" "$tmp/devsim.log"; then
    echo "demo.sh: kivo-devsim did not start:" >&2
    cat "$tmp/devsim.log" >&2
    exit 1
fi
grep -v "devsim: ready" "$tmp/devsim.log" | head -n 8

step "The service"
ip netns exec "$hostns" "$KIVOHOST" >"$tmp/kivohost.log" 2>&1 </dev/null &
kivohost_pid=$!
echo "kivohost started (pid $kivohost_pid)"
if ! wait_for 15 ip netns exec "$hostns" "$KIVOCTL" --timeout 0.5 version; then
    echo "demo.sh: kivohost does not answer:" >&2
    cat "$tmp/kivohost.log" >&2
    exit 1
fi
run 0 version

step "Discovery: every device on kv0"
run 0 discover -i kv0

step "An LCMP device: every parameter (one is refused by the device: exit status 4)"
export KIVO_DEMO_PASSWORD=demo
lcmp=(-i kv0 -m 02:00:00:00:10:01 --password-env KIVO_DEMO_PASSWORD)
run 4 getall "${lcmp[@]}"

step "Write two parameters and read them back"
run 0 set "${lcmp[@]}" "SYSTEM.GENERAL.DEVICE_NAME=demo room" NETWORK.VLAN.IDS=1,100,300
run 0 get "${lcmp[@]}" SYSTEM.GENERAL.DEVICE_NAME NETWORK.VLAN.IDS
run 0 --json get "${lcmp[@]}" NETWORK.IP.ADDRESS

step "A legacy device over SCP, password from a file"
run 0 getall --scp -i kv0 -m 02:00:00:00:20:01 --password-file "$tmp/office.password"

step "Firmware upgrade of the device asking for a file"
run 0 fw upgrade -i kv0 -m 02:00:00:00:40:01 --wait "$tmp/image.bin"

step "Ethernet boot of the device waiting in its boot ROM"
run 0 fw boot -i kv0 --wait "$tmp/loader.bin" "$tmp/firmware.bin"
run 0 --json fw status

step "What the devices saw"
grep -E "fw (upgrade|loader|boot) complete|CFG write|SCP rx GET" "$tmp/devsim.log" | head -n 12

show_capture

if [ "$failures" -ne 0 ]; then
    echo
    echo "demo.sh: $failures command(s) ended with an unexpected exit status" >&2
    exit 1
fi
echo
echo "Demo complete; removing the namespaces and stopping the processes."
