#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from what the simulator puts on the wire.

Runs kivohost and kivo-devsim (examples/demo-devices.conf) in two network namespaces of
its own joined by a veth pair, sends one request of each kind, and splits the
simulator's capture into seed files per target. Needs root. Usage:
    tests/fuzz/make_seeds.py BUILD_DIR [OUT_DIR]      (OUT_DIR: tests/fuzz/corpus)
"""
import os, socket, struct, subprocess, sys, tempfile, time

build = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "corpus")
src = os.path.dirname(os.path.dirname(here))
HOST, SIM, PORT = "kfz-host", "kfz-sim", 55567
tmp = tempfile.mkdtemp(prefix="kivo-seeds-")
pcap = os.path.join(tmp, "sim.pcap")
seeds = {}


def seed(target, data):
    seeds.setdefault(target, set()).add(bytes(data))


def sh(*args):
    subprocess.run(args, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def param(code, devtype, mac, password=b"", block=None):
    b = bytes([devtype, 4]) + b"kfz0" + b"\0\0" + mac + bytes([len(password)]) + password
    if block is not None:
        b += struct.pack(">I", len(block)) + block
    return b


sh("ip", "netns", "del", HOST)
sh("ip", "netns", "del", SIM)
procs = []
try:
    for ns in (HOST, SIM):
        subprocess.run(["ip", "netns", "add", ns], check=True)
        sh("ip", "-n", ns, "link", "set", "lo", "up")
    subprocess.run(["ip", "-n", HOST, "link", "add", "kfz0", "type", "veth", "peer", "name", "eth1",
                    "netns", SIM], check=True)
    sh("ip", "-n", HOST, "link", "set", "kfz0", "up")
    sh("ip", "-n", SIM, "link", "set", "eth1", "up")
    sim = subprocess.Popen(["ip", "netns", "exec", SIM, os.path.join(build, "kivo-devsim"), "-c",
                            os.path.join(src, "examples/demo-devices.conf"), "--pcap", pcap],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    procs.append(sim)
    for line in sim.stdout:
        if "devsim: ready" in line:
            break
    host = subprocess.Popen(["ip", "netns", "exec", HOST, os.path.join(build, "kivohost"), str(PORT)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(host)
    fw = os.path.join(tmp, "fw.bin")
    with open(fw, "wb") as f:
        f.write(bytes(range(256)) * 12)
    lcmp, scp, garage = bytes.fromhex("020000001001"), bytes.fromhex("020000002001"), bytes.fromhex("020000004001")
    script = [
        (0, b"\x04kfz0\0\0", 8),
        (2, param(2, 3, lcmp, b"demo"), 6),
        (3, param(3, 3, lcmp, b"demo", b"SYSTEM.INFO.UPTIME\0NETWORK.VLAN.IDS\0SYSTEM.GENERAL.CLOCK\0"), 6),
        (4, param(4, 3, lcmp, b"demo", b"SYSTEM.GENERAL.DEVICE_NAME\0hall\0"), 6),
        (3, param(3, 2, scp, b"legacy", b"NETWORK.PORT\0SYSTEM.PRODUCTION.MAC_ADDR\0"), 6),
        (4, param(4, 2, scp, b"legacy", b"NETWORK.PORT\x008081\0"), 6),
        (2, param(2, 2, scp, b"legacy"), 6),
        (6, b"\x04kfz0\0\0" + garage + struct.pack(">H", len(fw)) + fw.encode() + b"\0\0", 2),
        (8, b"", 2), (8, b"", 2), (7, b"", 2), (8, b"", 2), (9, b"", 2), (5, param(5, 3, lcmp, b"demo"), 6),
    ]
    helper = os.path.join(tmp, "send.py")
    with open(helper, "w") as f:
        f.write("import socket,sys\nfor h in sys.argv[1:]:\n s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                " t,m=h.split(':');s.settimeout(float(t));s.sendto(bytes.fromhex(m),('127.0.0.1',%d))\n"
                " try: s.recv(65536)\n except socket.timeout: pass\n" % PORT)
    args = []
    for i, (code, body, wait) in enumerate(script):
        msg = bytes([i, 0, 0, 0, code]) + body
        seed("dispatch", msg)  # the datagrams themselves seed the dispatch target
        args.append("%s:%s" % (wait, msg.hex()))
    time.sleep(0.5)
    subprocess.run(["ip", "netns", "exec", HOST, sys.executable, helper] + args, check=False)
    time.sleep(1)
finally:
    for p in procs:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
    sh("ip", "netns", "del", HOST)
    sh("ip", "netns", "del", SIM)

# Split the capture: each frame goes to the targets whose parser sees it.
with open(pcap, "rb") as f:
    data = f.read()
off = 24
frames = []
while off + 16 <= len(data):
    incl = struct.unpack_from("<I", data, off + 8)[0]
    frames.append(data[off + 16:off + 16 + incl])
    off += 16 + incl
for fr in frames:
    seed("discovery_classify", fr)
    t = struct.unpack_from(">H", fr, 12)[0] if len(fr) >= 14 else 0
    if t == 0x22E3:
        seed("lcmp_frames", b"\x00\x20" + fr)
        seed("lcmp_frames", b"\x05\x20" + fr)  # enciphered after the marker (1 byte of its own)
        # The values of a plain confirm, as the configuration layer receives them.
        mmpl = fr[14 + 8:]
        if len(mmpl) > 5:
            seed("configlayer_answers", mmpl[5:])
    elif t <= 1500 and len(fr) > 22 and fr[14:17] == b"\xaa\xaa\x03":
        if fr[20] == 0x16:  # SCP: the payload after the message header
            seed("scp_reply", b"\x00" + fr[22 + 14:])
            seed("scp_reply", b"\x01" + fr[22 + 14:])
        else:
            for choice in (0x00, 0x01, 0x02, 0x03, 0x22):
                seed("fw_frames", bytes([choice]) + fr)
# Values of every type in both directions, on both paths.
for typ, val in [(2, b"\x05"), (4, b"\x01\x00\x64\x00"), (6, b"\x80\x51\x01\x00"), (7, b"\x01"),
                 (8, bytes.fromhex("020000001001")), (9, bytes([192, 168, 1, 60])), (10, b"living room\0"),
                 (11, bytes(range(16))), (13, b"\x01\0\0\0"), (15, b"\x02\0\0\0"), (16, b"\x01\x03\0\0"),
                 (20, b"\0\0\0\0"), (21, b"\xe8\x03\0\0"), (30, b"\x25\x7f\x93\x65"), (31, bytes(8)),
                 (36, bytes(8))]:
    for control in (0, 1):
        seed("conversion", bytes([typ, control]) + val)
for typ, text in [(2, b"5"), (5, b"-7"), (8, b"02:00:00:00:10:01"), (9, b"10.0.0.1"), (11, b"fe80::1"),
                  (4, b"1,100,200"), (30, b"Tue Jan 2 03:04:05 2024"), (13, b"END_POINT"), (7, b"YES")]:
    for control in (2, 3):
        seed("conversion", bytes([typ, control]) + text)
# The firmware transfer listing (reply body of 0xF2): none, and an ended upgrade beside a
# waiting boot; the requests 0xF2 and 0xF3 seed the dispatch target.
def transfer(flags, kind, ifname, mac, state, done, total, retrans, reason, start, end, text):
    return (bytes([flags, kind, len(ifname)]) + ifname + mac + bytes([state]) +
            struct.pack(">IIIHQQH", done, total, retrans, reason, start, end, len(text)) + text)
seed("fw_transfers", struct.pack(">QB", 5, 0))
seed("fw_transfers", struct.pack(">QB", 9000, 2) +
     transfer(2, 1, b"eth1", bytes([2, 0, 0, 0, 0, 0xB1]), 6, 1024, 262144, 4, 14, 1000, 3300,
              b"acknowledgement missing") +
     transfer(1, 2, b"eth2", bytes(6), 1, 0, 0, 0, 0, 5000, 0, b""))
for body in (b"", bytes([0]), bytes([1, 2, 0, 0, 0, 0, 0xB1]), bytes([2])):
    seed("dispatch", bytes([0x31, 0, 0, 0, 0xF3]) + body)
seed("dispatch", bytes([0x32, 0, 0, 0, 0xF2]))
import hashlib
for target, items in seeds.items():
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    for item in sorted(items)[:40]:  # committed seeds stay small
        with open(os.path.join(d, hashlib.sha1(item).hexdigest()[:16]), "wb") as f:
            f.write(item)
    print("%-22s %d seeds" % (target, min(len(items), 40)))
