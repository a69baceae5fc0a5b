#!/usr/bin/env python3
"""Learning on one switch on Linux interfaces, as root: l2pt-chassisd and a primary l2ptd in a
network namespace, two access ports and a core port on veth pairs. A port's learning limit set
with l2ptctl (kept in the state file) holds its port's flood alone; a full table of 65536
learned MACs, moved between ports all the while, is read by four `l2ptctl macs` at once (one of
them slow) and each gets every entry, while the daemon's loop answers the primary's heartbeats
in time (no fence).

    tests/net/test_learning.py --build BUILD_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None
TABLE = 65536
CHASSIS = """
chassis: {name: learn, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - slot: 0
    type: 1
    agent: per-port
    ports:
      - {number: 1, name: ge0/1, vlan: 100, netdev: acc1}
      - {number: 2, name: ge0/2, vlan: 100, netdev: acc2}
      - {number: 3, name: ge0/3, vlan: 200, netdev: acc3}
  - {slot: 1, type: 1, agent: per-port, ports: [{number: 0, name: te1/0, netdev: core0}]}
vlans: [{id: 100, name: vl100}, {id: 200, name: vl200}]
tunnelling:
  vlans:
    - {vlan: vl100, protocols: [stp], ports: [{port: ge0/1}, {port: ge0/2}, {port: te1/0, mode: core}]}
    - {vlan: vl200, protocols: [stp], ports: [{port: ge0/3}, {port: te1/0, mode: core}]}
data_plane:
  ageing: 120
  fdb_entries: %d
  vlan_learn_limit: %d
  learning:
    - {port: ge0/1, limit: %d}
    - {port: ge0/2, limit: %d}
""" % (TABLE, TABLE, TABLE, TABLE)
PORTS = ("acc1", "acc2", "acc3", "core0")
READERS = 4
MAC_LINE = re.compile(r"^100\s+(02:[0-9a-f:]{14})\s", re.M)


def source(i):
    """The i-th customer source MAC of the full table: 02:01:00:xx:xx:xx."""
    return bytes([0x02, 0x01, 0x00, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff])


def frame(src):
    return b"\xff" * 6 + src + b"\x08\x00" + bytes(46)


class Switch(netns.Switch):
    def __init__(self, lab):
        super().__init__(lab, BUILD, CHASSIS, PORTS)
        self.start_daemon()
        netns.wait_for("the ports attached", lambda: self.daemon_log().count("attached") == 4)
        self.start_task()

    def l2ptctl(self, *args):
        return [self.app("l2ptctl"), "--run-dir", self.run_dir] + list(args)

    def ctl(self, *args):
        return super().ctl(*args, timeout=60)

    def send(self, port, frames):
        """Sends every frame, waiting for room: a full socket buffer drops none."""
        sock = self.socks[port]
        for f in frames:
            while True:
                try:
                    sock.send(f)
                    break
                except BlockingIOError:
                    time.sleep(0.001)


class LearningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sw = netns.set_up_lab(cls, Switch)

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()

    def test_1_a_ports_limit_holds_its_flood_alone_and_is_kept(self):
        sw = self.sw
        r = sw.ctl("learning", "port", "ge0/3", "--limit", "3", "--action", "drop")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(sw.state) as f:
            self.assertIn("{port: ge0/3, limit: 3, action: drop}", f.read())
        self.assertNotEqual(sw.ctl("learning", "port", "ge9/9", "--limit", "3").returncode, 0)
        self.assertNotEqual(sw.ctl("learning", "vlan", "4096", "--limit", "3").returncode, 0)
        flood = [frame(bytes([0x02, 0x03, 0, 0, 0, i])) for i in range(5)]
        sw.send("acc3", flood)
        c = netns.wait_for("ge0/3's flood counted",
                           lambda: (lambda c: c if c["rx"] >= 5 else None)(sw.counters("ge0/3")))
        self.assertEqual(c["learned"], 3)
        self.assertEqual(c["learn_limit"], 3)
        self.assertEqual(c["not_learned"], 2)
        self.assertEqual(c["dropped"]["learning limit"], 2)
        m = sw.ctl("metrics").stdout
        self.assertIn('l2pt_learned_macs{port="ge0/3"} 3\n', m)
        self.assertIn('l2pt_learn_limit{port="ge0/3"} 3\n', m)
        self.assertIn('l2pt_port_not_learned_total{port="ge0/3"} 2\n', m)
        self.assertIn('l2pt_learned_macs{vlan="200"} 3\n', m)
        learning = json.loads(sw.ctl("macs", "--json").stdout)["learning"]
        self.assertIn({"port": "ge0/3", "learned": 3, "limit": 3, "past_limit": "drop"},
                      learning["ports"])
        # The other ports learn as before, and the log names the port once.
        sw.send("acc2", [frame(bytes([0x02, 0x02, 0, 0, 0, 1]))])
        netns.wait_for("ge0/2 learned", lambda: sw.counters("ge0/2")["learned"] == 1)
        netns.wait_for("the log line", lambda: "ge0/3: 2 new source MACs not learned"
                       in sw.daemon_log(), timeout=15)

    def test_2_four_readers_of_a_full_table_under_churn(self):
        sw = self.sw
        ports = json.loads(sw.ctl("counters", "--json").stdout)["ports"]
        held = sum(p["learned"] for p in ports)  # what the first test left
        sources = [source(i) for i in range(TABLE - held)]
        for _ in range(5):
            sw.send("acc1", [frame(s) for s in sources])
            sw.drain()
            if sw.counters("ge0/1")["learned"] >= len(sources):
                break
        self.assertEqual(sw.counters("ge0/1")["learned"], len(sources))
        want = {s.hex(":") for s in sources}

        stop = threading.Event()

        def churn():
            """Moves the first thousand sources between ge0/1 and ge0/2 and back."""
            moved = [frame(s) for s in sources[:1000]]
            while not stop.is_set():
                sw.send("acc2", moved)
                sw.send("acc1", moved)
                sw.drain()

        mover = threading.Thread(target=churn)
        mover.start()
        try:
            outs = [os.path.join(sw.lab.tmp, "macs%d.txt" % i) for i in range(READERS)]
            cmd = " ".join(sw.l2ptctl("macs"))
            readers = [subprocess.Popen(["sh", "-c", cmd + " > " + outs[0]])]
            # A slow reader: the pipe fills and l2ptctl stops reading for seconds.
            readers.append(subprocess.Popen(["sh", "-c", cmd + " | (sleep 3; cat > %s)"
                                             % outs[1]]))
            readers += [subprocess.Popen(["sh", "-c", cmd + " > " + o]) for o in outs[2:]]
            for r in readers:
                self.assertEqual(r.wait(120), 0)
        finally:
            stop.set()
            mover.join()
        for i, out in enumerate(outs):
            with open(out) as f:
                got = set(MAC_LINE.findall(f.read()))
            with self.subTest(reader=i):
                self.assertEqual(len(want - got), 0, "entries missing")
        self.assertNotIn("fenced", sw.daemon_log())
        self.assertEqual(sw.ctl("status").returncode, 0, "the primary is still ready")
        self.assertGreater(sw.counters("ge0/2")["learn_moves"], 0)

    def test_3_a_limit_that_cannot_be_saved_runs_and_is_reported(self):
        # A directory where the state file goes: renaming the new state onto it fails, even
        # for root.
        sw = self.sw
        os.remove(sw.state)
        os.makedirs(os.path.join(sw.state, "in-the-way"))
        r = sw.ctl("learning", "port", "te1/0", "--limit", "7")
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("the change runs but is not saved (", r.stderr)
        self.assertIn("it is lost when the daemon restarts", r.stderr)
        self.assertEqual(sw.counters("te1/0")["learn_limit"], 7)  # it runs
        shutil.rmtree(sw.state)
        r = sw.ctl("learning", "vlan", "300", "--limit", "9")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(sw.state) as f:
            state = f.read()
        self.assertIn("{port: te1/0, limit: 7}", state)  # the change before, saved now
        self.assertIn("{vlan: 300, limit: 9}", state)
        self.assertIn("the change runs but is not saved", sw.daemon_log())


if __name__ == "__main__":
    netns.main(sys.modules[__name__], lambda rest: netns.require_privilege())
