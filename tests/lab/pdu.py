#!/usr/bin/python3
"""Customer PDUs made with scapy, sent and received on one interface of the namespace this
runs in (through `ip netns exec`).

  pdu.py send IFACE pvst|gvrp|bcast|flood [--count N] [--rate PPS] [--tag TEXT]
  pdu.py sniff IFACE [--seconds S] [--count N]

Each frame ends with TAG and its sequence number, so a receiver can tell whose frames it sees.
bcast is data, a broadcast of the local experimental EtherType; flood is the same, each from a
random source MAC of its own, as a customer taking over the edge's MAC table sends it. sniff
prints a JSON object per frame: monotonic time, destination MAC, tag and sequence (if any), length.
"""

import argparse
import json
import random
import re
import select
import socket
import sys
import time

ETH_P_ALL = 0x0003
GVRP_MAC = "01:80:c2:00:00:20"
MARK = b"L2LAB:"
MARK_RE = re.compile(rb"L2LAB:([A-Za-z0-9_-]+):(\d+)")


def build(kind, tag, seq, src):
    if kind == "flood":
        # Built by hand: scapy takes a millisecond a frame, and a flood wants tens of thousands.
        return (b"\xff" * 6 + bytes([0x02]) + random.randbytes(5) + (0x88B5).to_bytes(2, "big")
                + MARK + f"{tag}:{seq}".encode()).ljust(60, b"\0")
    # scapy is imported here so that sniff starts at once.
    from scapy.layers.l2 import Dot1Q, Ether, LLC, SNAP, STP
    from scapy.packet import Raw

    marker = MARK + f"{tag}:{seq}".encode()
    if kind == "pvst":
        # A per-VLAN spanning-tree BPDU for customer VLAN 10: 802.1Q, LLC/SNAP with the
        # PVST protocol id, a config BPDU.
        pkt = (Ether(dst="01:00:0c:cc:cc:cd") / Dot1Q(vlan=10) / LLC(dsap=0xAA, ssap=0xAA, ctrl=3)
               / SNAP(OUI=0x00000C, code=0x010B) / STP(rootid=32768, bridgeid=32768) / Raw(marker))
    elif kind == "gvrp":
        # A GVRP PDU to the address the switch's protocol table gives GVRP: LLC 0x42,
        # protocol id 1, one VLAN attribute (type 1, length 4, join-in of VLAN 10), end marks.
        garp = bytes([0x00, 0x01, 0x01, 0x04, 0x02, 0x00, 0x0A, 0x00, 0x00])
        pkt = (Ether(dst=GVRP_MAC) / LLC(dsap=0x42, ssap=0x42, ctrl=3) / Raw(garp + marker))
    else:  # bcast, from the sender's own address: bridges drop frames from an invalid one
        pkt = Ether(dst="ff:ff:ff:ff:ff:ff", src=src, type=0x88B5) / Raw(marker)
    return bytes(pkt)


def send(args):
    with open(f"/sys/class/net/{args.iface}/address") as f:
        src = f.read().strip()
    frames = [build(args.kind, args.tag, i, src) for i in range(args.count)]
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    s.bind((args.iface, 0))
    gap = 1.0 / args.rate if args.rate else 0.0
    print(json.dumps({"sending": len(frames)}), flush=True)
    start = time.monotonic()
    for i, frame in enumerate(frames):
        if gap:
            delay = start + i * gap - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        s.send(frame)
    print(json.dumps({"sent": len(frames), "seconds": time.monotonic() - start}))


def sniff(args):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((args.iface, 0))
    deadline = time.monotonic() + args.seconds
    seen = 0
    print(json.dumps({"ready": True}), flush=True)
    while time.monotonic() < deadline and (not args.count or seen < args.count):
        ready, _, _ = select.select([s], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        frame, addr = s.recvfrom(65535)
        if addr[2] == socket.PACKET_OUTGOING:
            continue
        out = {"t": time.monotonic(), "dst": frame[:6].hex(":"), "len": len(frame)}
        m = MARK_RE.search(frame)
        if m:
            out["tag"], out["seq"] = m[1].decode(), int(m[2])
            seen += 1
        print(json.dumps(out), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("send")
    s.add_argument("iface")
    s.add_argument("kind", choices=["pvst", "gvrp", "bcast", "flood"])
    s.add_argument("--count", type=int, default=1)
    s.add_argument("--rate", type=float, default=0.0, help="frames per second; 0: at once")
    s.add_argument("--tag", default="x")
    s = sub.add_parser("sniff")
    s.add_argument("iface")
    s.add_argument("--seconds", type=float, default=5.0)
    s.add_argument("--count", type=int, default=0, help="stop after this many tagged frames")
    args = p.parse_args()
    send(args) if args.cmd == "send" else sniff(args)


if __name__ == "__main__":
    sys.exit(main())
