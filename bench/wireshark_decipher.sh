#!/bin/sh
# Time for tshark and the dissector to read a capture of 10,000 LCMP frames, without a
# password, with the right one, and with a wrong one (every key tried on every part).
#   bench/wireshark_decipher.sh CAPTURE [PASSWORD] [FRAMES]
# The frames are copies, in order, of the single-segment LCMP frames of CAPTURE (a pcap
# file, such as the one scripts/demo.sh leaves behind; its password is "demo").
set -eu
src=$1
password=${2:-demo}
frames=${3:-10000}
root=$(cd "$(dirname "$0")/.." && pwd)
lua=$root/tools/wireshark/kivo.lua
big=$(mktemp /tmp/kivo-bench-XXXXXX.pcap)
trap 'rm -f "$big"' EXIT INT TERM

/usr/bin/python3 - "$src" "$big" "$frames" <<'PY'
import struct, sys
src, dst, want = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(src, "rb").read()
magic = struct.unpack("<I", data[:4])[0]
if magic not in (0xA1B2C3D4, 0xA1B23C4D):
    sys.exit("%s: not a little-endian pcap file" % src)
records, pos = [], 24
while pos + 16 <= len(data):
    sec, frac, incl, orig = struct.unpack("<IIII", data[pos:pos + 16])
    frame = data[pos + 16:pos + 16 + incl]
    pos += 16 + incl
    at = 16 if frame[12:14] == b"\x81\x00" else 12
    # LCMP, one segment only: copies of segments would be taken for repeats.
    if frame[at:at + 2] == b"\x22\xe3" and len(frame) > at + 7 and frame[at + 6] & 0x0F == 0:
        records.append(frame)
if not records:
    sys.exit("%s: no single-segment LCMP frame" % src)
with open(dst, "wb") as out:
    out.write(data[:24])
    for i in range(want):
        f = records[i % len(records)]
        out.write(struct.pack("<IIII", i // 1000, (i % 1000) * 1000, len(f), len(f)))
        out.write(f)
print("%d LCMP frames, copies of the %d single-segment LCMP frames of %s" % (want, len(records), src))
PY

# run LABEL [tshark options...]: CPU seconds (user + system; the figure that does not
# depend on what else the machine runs) and wall seconds of one full dissection, every
# tree built and printed (-V), as the GUI builds the tree of the frame it shows.
run() {
    label=$1
    shift
    /usr/bin/time -f "%U %S %e" -o "$big.time" tshark -n -X lua_script:"$lua" -r "$big" "$@" -V >/dev/null 2>&1
    read -r user sys wall <"$big.time"
    rm -f "$big.time"
    printf '%-16s cpu %6.2f s   wall %6.2f s\n' "$label" "$(echo "$user + $sys" | bc)" "$wall"
}
for round in 1 2 3; do
    run "no password"
    run "right password" -o "lcmp.passwords:$password"
    run "wrong password" -o "lcmp.passwords:not-$password"
done
