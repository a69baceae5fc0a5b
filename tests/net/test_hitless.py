#!/usr/bin/env python3
"""The pipeline outlives its daemon, as root: l2pt-chassisd alone (no task) in a network
namespace, two access ports and a core port on veth pairs, its maps pinned in a bpffs of the
test's own (a mount namespace of its own, so that no other test meets its pins). Stopped with
SIGTERM or SIGKILL the switch goes on forwarding, learning included; the next daemon adopts
the pinned tables (learned MACs, counters), sweeps what its configuration no longer claims,
migrates a layout of another build, and --remove leaves nothing of the switch in the kernel.

    tests/net/test_hitless.py --build BUILD_DIR
"""

import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None
MNTNS_ENV = "L2PT_TEST_MNTNS"
CHASSIS = """
chassis: {name: hitless, slots: 12}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - slot: 0
    type: 1
    agent: per-port
    ports:
      - {number: 1, name: ge0/1, vlan: 100, netdev: acc1}
      - {number: 2, name: ge0/2, vlan: 100, netdev: acc2}
  - {slot: 1, type: 1, agent: per-port, ports: [{number: 0, name: te1/0, netdev: core0}]}
vlans: [{id: 100, name: vl100}, {id: 200, name: vl200}]
tunnelling:
  vlans:
    - {vlan: vl100, protocols: [stp], ports: [{port: ge0/1}, {port: ge0/2}, {port: te1/0, mode: core}]}
    - {vlan: vl200, protocols: [stp], ports: [{port: te1/0, mode: core}]}
l2cp:
  - {port: ge0/1, addresses: 0e, action: forward}
  - {port: ge0/2, vlan: vl100, addresses: 0e, action: tunnel}
"""
PORTS = ("acc1", "acc2", "core0")
MAC_A = bytes([0x02, 0x0a, 0, 0, 0, 1])
MAC_B = bytes([0x02, 0x0b, 0, 0, 0, 2])


def frame(dst, src):
    return dst + src + b"\x08\x00" + bytes(46)


class Switch(netns.Switch):
    """The shared switch, pinning in a bpffs of the test's own; a daemon started here is ready
    once its ports are attached (and tables it adopted swept)."""

    def __init__(self, lab):
        super().__init__(lab, BUILD, CHASSIS, PORTS)
        self.bpffs = os.path.join(lab.tmp, "bpffs")
        os.mkdir(self.bpffs)
        netns.run("mount", "-t", "bpf", "bpf", self.bpffs)
        self.pins = os.path.join(self.bpffs, "l2pt", "run")  # the run directory's name
        self.start()

    def close(self):
        subprocess.run(["umount", "-l", self.bpffs], capture_output=True)

    def start(self, *extra):
        """A daemon; the text it logged from its start until all its ports were attached."""
        at = len(self.daemon_log())
        self.daemon = self.lab.start(self.sw, [
            self.app("l2pt-chassisd"), "--chassis", self.chassis_file, "--run-dir", self.run_dir,
            "--state", self.state, "--bpffs", self.bpffs, *extra], self.log)
        def ready():
            text = self.daemon_log()[at:]
            if "tables it found" in text or "new tables" in text:
                return "interface bindings" in text or "new tables" in text and \
                    text.count("attached") >= len(PORTS)
            return text.count("attached") >= len(PORTS)
        netns.wait_for("the ports attached (and adopted tables swept)",
                       lambda: self.daemon.poll() is not None or ready())
        if self.daemon.poll() is not None:
            raise AssertionError("the daemon ended: " + self.daemon_log()[at:])
        return self.daemon_log()[at:]

    def stop(self, sig=signal.SIGTERM):
        self.daemon.send_signal(sig)
        self.daemon.wait(10)

    def macs(self):
        return set(re.findall(r"02:0[ab]:00:00:00:0[12]", self.ctl("macs").stdout))

    def rx(self, port):
        return self.counters(port)["rx"]

    def tc(self, *args):
        return netns.run("ip", "netns", "exec", self.sw, "tc", *args).stdout

    def filters(self, dev, hook):
        """Every filter at the hook: one line each (tc shows a filter's handle)."""
        return [l for l in self.tc("filter", "show", "dev", dev, hook).splitlines()
                if " handle " in l]

    def crosses(self, src_port, dst_port, dst, src):
        """Whether a frame sent from src_port arrives at dst_port (and only there, when
        unicast to a learned MAC)."""
        self.drain()
        self.send(src_port, frame(dst, src))
        got = netns.collect(self.socks[dst_port], 1, timeout=2)
        return any(f[6:12] == src for f in got)


class HitlessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw = netns.set_up_lab(cls, Switch)

    @classmethod
    def tearDownClass(cls):
        cls.sw.close()
        cls.lab.close()

    def assert_one_filter_of_ours_at_each_hook(self):
        for dev in PORTS:
            for hook in ("ingress", "egress"):
                lines = self.sw.filters(dev, hook)
                self.assertEqual(len(lines), 1, (dev, hook, lines))
                self.assertIn("l2pt-pipeline", lines[0])

    def test_1_a_stopped_daemon_leaves_the_switch_forwarding_and_the_next_adopts_it(self):
        sw = self.sw
        self.assertTrue(sw.crosses("acc1", "acc2", b"\xff" * 6, MAC_A))
        netns.wait_for("A learned", lambda: MAC_A.hex(":")[:17] in sw.macs())
        rx = sw.rx("ge0/1")
        sw.stop()
        self.assertIn("signal 15: stopping", sw.daemon_log())
        self.assert_one_filter_of_ours_at_each_hook()
        # No daemon: B reaches A by what the pipeline learned, and is learned itself.
        self.assertTrue(sw.crosses("acc2", "acc1", MAC_A, MAC_B))
        netns.drain(sw.socks["core0"])
        self.assertTrue(sw.crosses("acc1", "acc2", MAC_B, MAC_A))
        self.assertEqual(netns.collect(sw.socks["core0"], 1, timeout=0.5), [],
                         "unicast to a MAC learned while no daemon ran: not flooded")
        text = sw.start()
        self.assertIn("loaded over the pinned tables it found (pinned in %s): 2 learned MACs kept"
                      % sw.pins, text)
        self.assertIn("removed 0 trap entries, 0 reserved-address rows and 0 interface bindings",
                      text)
        self.assertEqual(sw.macs(), {MAC_A.hex(":"), MAC_B.hex(":")})
        self.assertGreaterEqual(sw.rx("ge0/1"), rx + 1, "the counters went on counting")
        self.assert_one_filter_of_ours_at_each_hook()

    def test_2_a_killed_daemon_too(self):
        sw = self.sw
        sw.stop(signal.SIGKILL)
        self.assert_one_filter_of_ours_at_each_hook()
        self.assertTrue(sw.crosses("acc2", "acc1", MAC_A, MAC_B))
        text = sw.start()
        self.assertIn("2 learned MACs kept", text)
        self.assert_one_filter_of_ours_at_each_hook()

    def test_3_what_the_configuration_no_longer_claims_is_swept(self):
        sw = self.sw
        rows = os.path.join(sw.pins, "l2pt_l2cp")
        before = json.loads(netns.run("bpftool", "-j", "map", "dump", "pinned", rows).stdout)
        self.assertEqual(len(before), 2)
        sw.stop()
        with open(sw.chassis_file) as f:
            text = f.read()
        with open(sw.chassis_file, "w") as f:
            f.write(text.replace("  - {port: ge0/2, vlan: vl100, addresses: 0e, action: tunnel}\n",
                                 ""))
        text = sw.start()
        after = json.loads(netns.run("bpftool", "-j", "map", "dump", "pinned", rows).stdout)
        self.assertEqual(len(after), 1)
        self.assertIn("removed 0 trap entries, 1 reserved-address rows", text)
        self.assertEqual(sw.macs(), {MAC_A.hex(":"), MAC_B.hex(":")})

    def test_4_other_programs_adopt_a_layout_of_another_build_migrates(self):
        sw = self.sw
        sw.stop()
        text = sw.start("--pipeline-variant", "1")  # programs of their own, the same layout
        self.assertIn("2 learned MACs kept", text)
        self.assert_one_filter_of_ours_at_each_hook()
        sw.stop()
        text = sw.start("--pipeline-variant", "2")
        self.assertIn("the pinned ones are of another layout (ABI version 1 pinned, 2 wanted); "
                      "2 learned MACs carried over", text)
        self.assert_one_filter_of_ours_at_each_hook()
        self.assertEqual(sw.macs(), {MAC_A.hex(":"), MAC_B.hex(":")})
        self.assertTrue(sw.crosses("acc2", "acc1", MAC_A, MAC_B))
        sw.stop(signal.SIGKILL)
        text = sw.start()
        self.assertIn("2 learned MACs carried over", text)
        # The new maps in place of the old ones, no pin left aside.
        self.assertEqual([n for n in os.listdir(sw.pins) if not n.startswith("l2pt_")], [])
        self.assertEqual(json.loads(netns.run("bpftool", "-j", "map", "show", "pinned",
                                              os.path.join(sw.pins, "l2pt_traps")).stdout)
                         ["max_entries"], 16384)
        self.assert_one_filter_of_ours_at_each_hook()

    def test_5_remove_leaves_nothing_of_the_switch(self):
        sw = self.sw
        r = subprocess.run([sw.app("l2pt-chassisd"), "--remove", "run",
                            "--bpffs", sw.bpffs], capture_output=True, text=True)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("in use by another l2pt-chassisd", r.stderr)
        sw.stop()
        r = subprocess.run(["ip", "netns", "exec", sw.sw,
                            sw.app("l2pt-chassisd"), "--remove", "run",
                            "--bpffs", sw.bpffs], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("nothing of the switch is left", r.stderr)
        for dev in PORTS:
            for hook in ("ingress", "egress"):
                self.assertEqual(sw.filters(dev, hook), [])
            self.assertNotIn("clsact", sw.tc("qdisc", "show", "dev", dev))
        self.assertFalse(os.path.exists(sw.pins))
        self.assertEqual(glob.glob(os.path.join(sw.bpffs, "l2pt", "*")), [])
        links = netns.run("ip", "netns", "exec", sw.sw, "ip", "-o", "link").stdout
        self.assertNotRegex(links, r"l2pt[0-9a-f]+t[0-9a-f]+")


def private_mounts(tests):
    """Root, in a mount namespace of the test's own: its bpffs goes with it."""
    netns.require_privilege()
    if not os.environ.get(MNTNS_ENV):
        os.environ[MNTNS_ENV] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable] +
                  sys.argv)


if __name__ == "__main__":
    netns.main(sys.modules[__name__], private_mounts)
