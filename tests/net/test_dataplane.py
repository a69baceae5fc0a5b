#!/usr/bin/env python3
"""Customer data across the switches' kernel pipeline: two switches joined by a core veth, each
running l2pt-chassisd alone (no task: the pipeline forwards data by itself), and the SITES in
namespaces of their own, all in one IP subnet so that only the VLANs part them.

    tests/net/test_dataplane.py --build BUILD_DIR
"""

import json
import os
import select
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None

CHASSIS = """
chassis: {name: %(name)s, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [%(access)s]}
  - {slot: 1, type: 1, agent: per-port, ports: [{number: 0, name: te1/0, netdev: core0}]}
vlans: [{id: 100, name: vl100}, {id: 200, name: vl200}]
tunnelling:
  vlans:
    - {vlan: vl100, protocols: [stp], ports: [%(vl100)s, {port: te1/0, mode: core}]}
    - {vlan: vl200, protocols: [stp], ports: [%(vl200)s, {port: te1/0, mode: core}]}
"""

# site: (switch, port, netdev, VLAN, address)
SITES = {
    "a": ("sw1", "ge0/1", "acc1", 100, "10.7.0.1"),
    "b": ("sw1", "ge0/2", "acc2", 100, "10.7.0.2"),
    "d": ("sw1", "ge0/3", "acc3", 200, "10.7.0.4"),
    "c": ("sw2", "ge0/1", "acc1", 100, "10.7.0.3"),
    "e": ("sw2", "ge0/2", "acc2", 200, "10.7.0.5"),
}


def site_mac(site):
    return bytes.fromhex("0200000000a%d" % "abcde".index(site))


def chassis_text(switch):
    sites = [s for s in SITES.values() if s[0] == switch]
    access = ", ".join("{number: %s, name: %s, vlan: %d, netdev: %s}"
                       % (port[-1], port, vlan, netdev) for _, port, netdev, vlan, _ in sites)

    def members(v):
        return ", ".join("{port: %s, mode: access}" % port
                         for _, port, _, vlan, _ in sites if vlan == v)
    return CHASSIS % {"name": "dp-" + switch, "access": access, "vl100": members(100),
                      "vl200": members(200)}


class Network:
    def __init__(self, lab):
        self.lab = lab
        self.ns = {name: lab.netns(name) for name in ("sw1", "sw2", *SITES)}
        lab.veth(self.ns["sw1"], "core0", self.ns["sw2"], "core0")
        for site in SITES:
            self.connect(site)
        for switch in ("sw1", "sw2"):
            self.start(switch)
        self.socks = {s: netns.raw_socket(self.ns[s], "eth0") for s in SITES}
        lab.sockets += self.socks.values()

    def connect(self, site):
        switch, _, netdev, _, address = SITES[site]
        ns = self.ns[site]
        netns.run("ip", "link", "add", netdev, "netns", self.ns[switch], "type", "veth", "peer",
                  "name", "eth0", "netns", ns)
        netns.run("ip", "-n", ns, "link", "set", "eth0", "address", site_mac(site).hex(":"), "up")
        netns.run("ip", "-n", ns, "addr", "add", address + "/24", "dev", "eth0")
        netns.run("ip", "-n", self.ns[switch], "link", "set", netdev, "up")

    def start(self, switch):
        d = os.path.join(self.lab.tmp, switch)
        os.mkdir(d)
        chassis, run, state, log = netns.daemon_files(d, chassis_text(switch), "")
        self.lab.start(self.ns[switch], [os.path.join(BUILD, "app", "l2pt-chassisd"), "--chassis",
                                         chassis, "--run-dir", run, "--state", state, "--lab"], log)
        ports = 1 + sum(s[0] == switch for s in SITES.values())
        netns.wait_for(switch + "'s ports attached",
                       lambda: Path(log).read_text().count("attached") == ports)

    def l2ptctl(self, switch, *args):
        return [os.path.join(BUILD, "app", "l2ptctl"), "--run-dir",
                os.path.join(self.lab.tmp, switch, "run"), *args]

    def ctl(self, switch, *args, code=0, says=""):
        return netns.exited(subprocess.run(self.l2ptctl(switch, *args), capture_output=True,
                                           text=True, timeout=20), code, says)

    def readout(self, switch, what):
        return json.loads(self.ctl(switch, what, "--json").stdout)

    def ping(self, src, dst):
        return netns.run("ip", "netns", "exec", self.ns[src], "ping", "-c", "1", "-W", "1",
                         SITES[dst][4], check=False).returncode == 0

    def received(self, frame, wait_for=()):
        """Which sites received frame, and how often, waiting for those in wait_for."""
        got = {s: netns.collect(self.socks[s], 1, 1.0) if s in wait_for else [] for s in SITES}
        for s in SITES:
            got[s] += netns.collect(self.socks[s], 2, 0.2)
        return {s: sum(f == frame for f in frames) for s, frames in got.items()
                if any(f == frame for f in frames)}

    def drain(self):
        for s in self.socks.values():
            netns.drain(s)


def frame(dst, src, ethertype=b"\x88\xb5", tag=b"", payload=b"customer data"):
    return dst + src + tag + ethertype + payload.ljust(46, b"\x00")


class DataPlaneTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.net = netns.set_up_lab(cls, Network)

    def setUp(self):
        self.net.drain()

    def test_ping_and_arp_on_one_switch_and_across_two(self):
        for dst in ("b", "c"):
            netns.wait_for("a ping from a to " + dst, lambda: self.net.ping("a", dst))
        self.assertTrue(self.net.ping("d", "e"), "VLAN 200 crosses too")
        macs = [{k: m[k] for k in ("vlan", "mac", "port")}
                for m in self.net.readout("sw1", "macs")["macs"]]
        for site, port in (("a", "ge0/1"), ("c", "te1/0")):
            self.assertIn({"vlan": 100, "mac": site_mac(site).hex(":"), "port": port}, macs)

    def test_a_broadcast_reaches_every_other_site_of_its_vlan_once_and_no_other(self):
        for src, others in (("a", {"b": 1, "c": 1}), ("d", {"e": 1})):
            bcast = frame(b"\xff" * 6, site_mac(src), payload=b"to everyone from " + src.encode())
            self.net.socks[src].send(bcast)
            self.assertEqual(self.net.received(bcast, wait_for=others), others, src)

    def test_a_customer_tag_crosses_intact(self):
        tagged = frame(site_mac("c"), site_mac("a"), ethertype=b"\x08\x00",
                       tag=bytes.fromhex("8100a00a"), payload=b"customer VLAN 10, PCP 5")
        pcap = os.path.join(self.lab.tmp, "core.pcap")
        cap = netns.capture(self.net.l2ptctl("sw1"), "te1/0", pcap, "--count", "1")
        self.net.socks["a"].send(tagged)
        self.assertEqual(self.net.received(tagged, wait_for="c").get("c"), 1)
        cap.communicate(timeout=10)
        # On the core: the provider tag (0x9100, VLAN 100) before the customer's.
        self.assertEqual(netns.read_pcap(pcap),
                         [tagged[:12] + bytes.fromhex("91000064") + tagged[12:]])

    def test_trace_has_a_line_for_each_frame_the_pipeline_met(self):
        trace = subprocess.Popen(self.net.l2ptctl("sw1", "trace"), stdout=subprocess.PIPE,
                                 text=True)
        try:
            time.sleep(0.3)  # the pipeline writes events from the next pass of the daemon
            self.net.socks["d"].send(frame(b"\xff" * 6, site_mac("d"), payload=b"traced"))
            ready, _, _ = select.select([trace.stdout], [], [], 3)
            self.assertTrue(ready, "no trace line")
            self.assertRegex(trace.stdout.readline(),
                             r"port ge0/3 in len=60 vlan=200 flooded to te1/0$")
        finally:
            trace.kill()
            trace.communicate()

    def test_lab_inputs_reach_the_pipeline_but_frames_come_from_wires(self):
        self.net.ctl("sw1", "do", "frame", "ge0/1", "stp", code=2,
                     says="frames enter a port from the wire of its interface")
        netns.wait_for("a ping from a to c", lambda: self.net.ping("a", "c"))
        self.net.ctl("sw1", "do", "card", "down", "1")  # the core port's card
        self.assertFalse(self.net.ping("a", "c"))
        self.net.ctl("sw1", "do", "card", "up", "1")
        netns.wait_for("a ping from a to c with the card back", lambda: self.net.ping("a", "c"))

    def test_z_an_interface_deleted_and_created_again_carries_traffic(self):
        sw1 = self.net.ns["sw1"]
        cap = netns.capture(self.net.l2ptctl("sw1"), "ge0/2",
                            os.path.join(self.lab.tmp, "b.pcap"), "--seconds", "30")
        netns.run("ip", "-n", sw1, "link", "del", "acc2")
        _, err = cap.communicate(timeout=10)
        self.assertEqual(cap.returncode, 1)
        self.assertIn("capture ended: interface acc2", err)
        self.assertFalse(self.net.ping("a", "b"))
        self.net.connect("b")
        netns.wait_for("a ping from a to b again", lambda: self.net.ping("a", "b"))
        b = next(p for p in self.net.readout("sw1", "counters")["ports"] if p["port"] == "ge0/2")
        self.assertEqual((b["link"], b["link_events"]["removed"], b["link_events"]["appeared"]),
                         ("up", 1, 2))
        self.net.socks["b"] = netns.raw_socket(self.net.ns["b"], "eth0")
        self.lab.sockets.append(self.net.socks["b"])


if __name__ == "__main__":
    # The daemons load the kernel pipeline: root, or root through sudo.
    netns.main(sys.modules[__name__], lambda _: netns.require_privilege())
