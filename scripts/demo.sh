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
#
# demo.sh --web starts the same devices with kivohost and kivo-web instead, prints the
# address to open in a browser of this host, and runs until Ctrl-C (KIVO_WEB names the
# kivo-web binary, KIVO_WEB_PORT its port, 8080 by default).
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
web=""
case "${1:-}" in
    --web) web=yes ;;
    "") ;;
    *) echo "usage: $0 [--web]" >&2; exit 2 ;;
esac
web_port=${KIVO_WEB_PORT:-8080}

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: needs root (network namespaces and raw sockets); run it with sudo" >&2
    exit 1
fi

if [ -z "${KIVOHOST:-}" ] || [ -z "${KIVOCTL:-}" ] || [ -z "${KIVO_DEVSIM:-}" ]; then
    ./scripts/deps.sh cmake g++ make libcli11-dev nlohmann-json3-dev libsystemd-dev pkg-config iproute2 \
        libcpp-httplib-dev libyaml-cpp-dev libcrypt-dev libssl-dev || exit 1
    echo "Building kivohost, kivoctl and kivo-devsim in build-demo/ ..."
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKIVO_TESTS=OFF >/dev/null || exit 1
    cmake --build build-demo -j"$(nproc)" --target kivohost kivoctl kivo-devsim >/dev/null || exit 1
    KIVOHOST=$root/build-demo/kivohost
    KIVOCTL=$root/build-demo/tools/kivoctl/kivoctl
    KIVO_DEVSIM=$root/build-demo/kivo-devsim
fi
if [ -n "$web" ] && [ -z "${KIVO_WEB:-}" ]; then
    ./scripts/deps.sh cmake g++ make libcli11-dev nlohmann-json3-dev libcpp-httplib-dev libssl-dev python3 || exit 1
    echo "Building kivo-web in build-demo/ ..."
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DKIVO_TESTS=OFF >/dev/null || exit 1
    cmake --build build-demo -j"$(nproc)" --target kivo-web >/dev/null || exit 1
    KIVO_WEB=$root/build-demo/src/apps/kivo-web/kivo-web
fi

id=kvdemo$$
hostns=$id-host
devns=$id-dev
tmp=$(mktemp -d "/tmp/$id.XXXXXX")
# Outside $tmp: it outlives the run.
capture=$(mktemp /tmp/kivo-demo-$$.XXXXXX.pcap) || exit 1
devsim_pid=""
kivohost_pid=""
web_pid=""
relay_pid=""
keepalive_pid=""
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
    for pid in $relay_pid $web_pid $keepalive_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
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

# Bold only on a terminal, and not when NO_COLOR asks for plain text (no-color.org).
bold="" plain=""
if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then
    bold=$(printf '\033[1m')
    plain=$(printf '\033[0m')
fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# Echoes a kivoctl command, runs it in the host namespace and checks its exit status
# against the one expected (first argument).
run() {
    local expect=$1
    shift
    printf '%s$ kivoctl' "$bold"
    printf ' %q' "$@"
    printf '%s\n' "$plain"
    ip netns exec "$hostns" "$KIVOCTL" "$@"
    local rc=$?
    [ "$rc" -ne 0 ] && echo "[exit status $rc]"
    if [ "$rc" -ne "$expect" ]; then
        echo "demo.sh: expected exit status $expect" >&2
        failures=$((failures + 1))
    fi
    return 0
}
# The simulator logs a written value as the bytes it received; shown here as text: strings
# as text (other bytes as \xNN), whole numbers little-endian as decimals (lists separated by
# commas), BOOL as YES or NO. Values of other types keep their bytes.
as_text() {
    awk '
    function byte(h, i) { return (index("0123456789abcdef", substr(h, i, 1)) - 1) * 16 + \
                                  index("0123456789abcdef", substr(h, i + 1, 1)) - 1 }
    function number(h, at, size, signed,   n, k) {
        n = 0
        for (k = size - 1; k >= 0; k--) n = n * 256 + byte(h, at + 2 * k)
        if (signed && n >= 2 ^ (8 * size - 1)) n -= 2 ^ (8 * size)
        return sprintf("%.0f", n)
    }
    / CFG write [^ ]+ type=[A-Z0-9_]+ value=[0-9a-f]*$/ {
        match($0, / type=[A-Z0-9_]+ /); type = substr($0, RSTART + 6, RLENGTH - 7)
        match($0, /value=[0-9a-f]*$/); hex = substr($0, RSTART + 6); head = substr($0, 1, RSTART - 1)
        text = ""; size = 0
        if (type == "STRING") {
            for (i = 1; i < length(hex); i += 2) {
                b = byte(hex, i)
                if (b == 0) continue
                text = text (b >= 32 && b < 127 ? sprintf("%c", b) : sprintf("\\x%02x", b))
            }
            print head "value=\"" text "\""
            next
        }
        if (type == "BOOL" && length(hex) == 2) { print head "value=" (byte(hex, 1) ? "YES" : "NO"); next }
        if (type ~ /^INT(8|16|32)[SU]$/) {
            size = type ~ /^INT8/ ? 1 : type ~ /^INT16/ ? 2 : 4
            if (length(hex) > 0 && length(hex) % (2 * size) == 0) {
                for (i = 1; i < length(hex); i += 2 * size)
                    text = text (i > 1 ? "," : "") number(hex, i, size, type ~ /S$/)
                print head "value=" text
                next
            }
        }
    }
    { print }'
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

if [ -n "$web" ]; then
    step "kivo-web"
    # The browser runs in this host's own namespace, kivo-web in the demo's: a relay
    # listening on this host's 127.0.0.1:$web_port passes each connection on to kivo-web's
    # 127.0.0.1:$web_port, so the page's address (and Host header) is the same on both sides.
    (umask 077 && od -An -tx1 -N24 /dev/urandom | tr -d ' \n' >"$tmp/web-token")
    ip netns exec "$hostns" "$KIVO_WEB" --listen "127.0.0.1:$web_port" --token-file "$tmp/web-token" \
        --upload-dir "$tmp" >"$tmp/kivo-web.log" 2>&1 </dev/null &
    web_pid=$!
    if ! wait_for 15 grep -q "listening on" "$tmp/kivo-web.log"; then
        echo "demo.sh: kivo-web did not start:" >&2
        cat "$tmp/kivo-web.log" >&2
        exit 1
    fi
    cat >"$tmp/relay.py" <<'RELAY'
import ctypes, os, socket, sys, threading
ns, port = sys.argv[1], int(sys.argv[2])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(32)
fd = os.open("/var/run/netns/" + ns, os.O_RDONLY)
if ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) != 0:  # CLONE_NEWNET
    sys.exit("relay: cannot enter namespace " + ns)
print("relay ready", flush=True)
def pump(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    a.close()
while True:
    client, _ = listener.accept()
    try:
        upstream = socket.create_connection(("127.0.0.1", port))
    except OSError:
        client.close()
        continue
    threading.Thread(target=pump, args=(client, upstream), daemon=True).start()
    threading.Thread(target=pump, args=(upstream, client), daemon=True).start()
RELAY
    python3 "$tmp/relay.py" "$hostns" "$web_port" >"$tmp/relay.log" 2>&1 </dev/null &
    relay_pid=$!
    if ! wait_for 10 grep -q "relay ready" "$tmp/relay.log"; then
        echo "demo.sh: cannot listen on 127.0.0.1:$web_port of this host (KIVO_WEB_PORT chooses another):" >&2
        cat "$tmp/relay.log" >&2
        exit 1
    fi
    # kivohost ends after a minute without requests: kivo-web keeps it running itself.
    # The browser's user must be able to pick the sample files for the Firmware view.
    chmod 755 "$tmp"
    chmod 644 "$tmp"/*.bin
    echo
    # Bold on a terminal only: a log gets the plain line.
    if [ -t 1 ]; then bold=$(printf '\033[1m') plain=$(printf '\033[0m'); else bold="" plain=""; fi
    printf '%sOpen  http://127.0.0.1:%s/?token=%s%s\n' "$bold" "$web_port" "$(cat "$tmp/web-token")" "$plain"
    echo
    echo "Devices on kv0: LCMP 02:00:00:00:10:01 (password demo), SCP 02:00:00:00:20:01 (password legacy),"
    echo "boot ROM 02:00:00:00:30:01, one asking for firmware 02:00:00:00:40:01."
    echo "Files for the Firmware view: $tmp/image.bin (upgrade); $tmp/loader.bin and"
    echo "$tmp/firmware.bin (Ethernet boot)."
    echo "To see an upgrade succeed: in the Firmware view, write 02:00:00:00:40:01 under Device MAC,"
    echo "choose kv0, pick $tmp/image.bin as the firmware image and press Upgrade."
    echo "Press Ctrl-C to end the demo and remove everything."
    wait "$web_pid"
    echo "demo.sh: kivo-web ended:" >&2
    tail -n 5 "$tmp/kivo-web.log" >&2
    exit 1
fi

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
grep -E "fw (upgrade|loader|boot) complete|CFG write|SCP rx GET" "$tmp/devsim.log" | head -n 12 | as_text

show_capture

if [ "$failures" -ne 0 ]; then
    echo
    echo "demo.sh: $failures command(s) ended with an unexpected exit status" >&2
    exit 1
fi
echo
echo "Demo complete; removing the namespaces and stopping the processes."
