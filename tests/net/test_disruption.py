#!/usr/bin/env python3
"""Forwarding outlives the switch's software. Two sites of one customer VLAN stream numbered
known unicast at each other (l2pt-stream, RATE frames a second each way) through each event
below: no frame lost, duplicated or flooded, the ports' counters only grow, and each hook holds
one program of ours. Needs root; runs in a mount namespace with a bpffs of its own.

    tests/net/test_disruption.py --build BUILD_DIR
"""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
from test_switch import STP, tunnelled  # noqa: E402

BUILD = None
# Frames a second per flow, well under what a steady run on two cores forwards without a loss:
# a loss is the event's, not the machine's. L2PT_STREAM_RATE sets another.
RATE = int(os.environ.get("L2PT_STREAM_RATE", "50000"))
SITE_A = "02:00:00:00:0a:01"
SITE_B = "02:00:00:00:0b:01"
SITE_C = "02:00:00:00:0c:01"
PORTS = {"acc1": "ge0/1", "acc2": "ge0/2", "acc3": "ge0/3", "core0": "te1/0"}
SITES = ("ge0/1", "ge0/2")
RESTARTS = 10
AFTER_EVENT = 1.0  # seconds of streaming after an event, so that its aftermath is counted
QUEUED_PDUS = 20
STALE_PDUS = 5
FLOOD_PDUS = 4000  # a second of a port's default PDU rate: more than the task's ring holds
LARGE_PDU_PAD = 1400  # bytes after a BPDU: records of the ring's largest size
BPFFS = "/sys/fs/bpf"  # the test's own (netns.private_bpffs), where the daemon pins by default
PINS = os.path.join(BPFFS, "l2pt", "run")  # BPFFS/l2pt/NAME, NAME the run directory's
VLAN_L2CP_ROW = "  - {port: ge0/3, vlan: vl100, addresses: 0e, action: tunnel}\n"
BPDU_PORT_ID_OFF = 42  # the low byte of the BPDU's port identifier: numbers the queued PDUs
CHASSIS = """
chassis: {name: disrupt, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, agent: per-port,
     ports: [{range: 1-3, name: "ge0/{n}", vlan: 100, netdev: "acc{n}"}]}
  - {slot: 1, type: 1, agent: per-port, ports: [{number: 0, name: te1/0, netdev: core0}]}
vlans: [{id: 100, name: vl100}]
tunnelling:
  vlans: [{vlan: vl100, protocols: [stp],
           ports: [{port: ge0/1}, {port: ge0/2}, {port: ge0/3}, {port: te1/0, mode: core}]}]
data_plane: {ageing: 3600}
l2cp:
  - {port: ge0/3, addresses: 0e, action: forward}
""" + VLAN_L2CP_ROW


def bpdu(n):
    """The STP BPDU with n as its port identifier's low byte (1 gives STP itself)."""
    return STP[:BPDU_PORT_ID_OFF] + bytes([n]) + STP[BPDU_PORT_ID_OFF + 1:]


def unicast(src, dst):
    return bytes.fromhex(dst.replace(":", "")) + bytes.fromhex(src.replace(":", "")) + \
        b"\x88\xb5" + bytes(46)


class DisruptionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def started(lab):
            sw = netns.Switch(lab, BUILD, CHASSIS, PORTS)
            cls.start_daemon(sw)
            sw.start_task()
            return sw
        cls.sw = netns.set_up_lab(cls, started)

    def setUp(self):
        # Each event begins with a serving switch that knows both sites, whatever the one
        # before left: each site speaks once, and the streams are known unicast.
        if self.sw.daemon.poll() is not None:
            self.start_daemon(self.sw)
        if self.sw.task.poll() is not None:
            self.sw.start_task()
        self.sw.send("acc1", unicast(SITE_A, SITE_B))
        self.sw.send("acc2", unicast(SITE_B, SITE_A))
        netns.wait_for("both sites learned", lambda: all(
            self.sw.counters(p)["learned"] == 1 for p in SITES))

    @staticmethod
    def start_daemon(sw, *args):
        # The daemon shares the test's mounts: its pins land in the test's own bpffs.
        sw.start_daemon(*args, share_mounts=True)

    def hooks(self):
        return {(dev, hook): netns.tc_programs(self.sw.sw, dev, hook)
                for dev in PORTS for hook in ("ingress", "egress")}

    def assert_one_program_per_hook(self, when):
        hooks = self.hooks()
        self.assertEqual(set(hooks.values()), {1}, "programs per hook %s: %s" % (when, hooks))

    def stop_daemon(self, sig=signal.SIGTERM):
        self.sw.daemon.send_signal(sig)
        self.sw.daemon.wait(10)
        self.assert_one_program_per_hook("with the daemon ended by signal %d" % sig)

    def start_again(self, *args, task=False):
        """Starts the daemon (with args), and the task when asked, and waits until both serve
        again, and tables it adopted are swept; what it logged from its start."""
        at = len(self.sw.daemon_log())
        self.start_daemon(self.sw, *args)
        if task:
            self.sw.start_task()
        netns.wait_for("l2ptd back as the ready primary after the daemon's restart",
                       lambda: self.sw.ctl("status").returncode == 0, timeout=15)
        text = lambda: self.sw.daemon_log()[at:]
        netns.wait_for("adopted tables swept", lambda: "tables it found" not in text() or
                       "adopted ones it no longer claims" in text())
        self.assert_one_program_per_hook("after the daemon's restart")
        return text()

    def restart_daemon(self, sig, *args):
        """stop_daemon(sig), then start_again(*args)."""
        self.stop_daemon(sig)
        return self.start_again(*args)

    def assert_relayed(self, bpdus):
        """The task relays each of bpdus once, to ge0/2 as it is and to te1/0 tunnelled."""
        got = {p: sorted(f.hex() for f in netns.collect(self.sw.socks[p], len(bpdus) + 1, 3.0))
               for p in ("acc2", "core0")}
        self.assertEqual(got, {"acc2": sorted(b.hex() for b in bpdus),
                               "core0": sorted(tunnelled(b).hex() for b in bpdus)})

    def learned(self):
        return sum(self.sw.counters(p)["learned"] for p in PORTS.values())

    def streaming(self, event):
        """Runs event while the sites stream at each other and checks what they received."""
        before = {p: self.sw.counters(p)["rx"] for p in SITES}
        c = self.sw.cust + "/c-"
        shown = netns.streaming(self, [os.path.join(BUILD, "tests", "l2pt-stream"), "--rate",
                                       str(RATE), "--watch", c + "acc3", "--watch", c + "core0",
                                       "--flow", "%sacc1,%sacc2,%s,%s" % (c, c, SITE_A, SITE_B),
                                       "--flow", "%sacc2,%sacc1,%s,%s" % (c, c, SITE_B, SITE_A)],
                                lambda: (event(), time.sleep(AFTER_EVENT)))
        self.assert_one_program_per_hook("after the streams")
        after = {p: self.sw.counters(p)["rx"] for p in SITES}
        for p in SITES:
            self.assertGreater(after[p], before[p], "%s's rx went from %d to %d; streams: %s"
                               % (p, before[p], after[p], shown))

    def test_1_daemon_stopped_or_killed_and_started(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal=sig.name):
                self.streaming(lambda: [self.restart_daemon(sig) for _ in range(RESTARTS)])

    def test_3_daemon_upgraded_and_back(self):
        # Variant 1 differs in its programs, 2 in a map's layout too, then this build again; each
        # streams on its own, so a failure names it, and its log says how it took the tables.
        starts = (("1", r"pinned tables it found \(pinned in %s\): %d learned MACs kept"),
                  ("2", r"the pinned ones are of another layout \(ABI version 1 pinned, 2 "
                        r"wanted\); %d learned MACs carried over"),
                  (None, r"another layout \(ABI version 2 pinned, 1 wanted\); %d learned MACs "
                         r"carried over"))
        for variant, logged in starts:
            args = ("--pipeline-variant", variant) if variant else ()
            with self.subTest(variant=variant or "this build"):
                macs, text = self.learned(), []
                self.streaming(lambda: text.append(self.restart_daemon(signal.SIGTERM, *args)))
                logged = logged % ((re.escape(PINS), macs) if variant == "1" else (macs,))
                self.assertRegex(text[0], logged)
        # The new maps in place of the old ones, none left aside.
        self.assertEqual([n for n in os.listdir(PINS) if not n.startswith("l2pt_")], [])
        traps = netns.run("bpftool", "-j", "map", "show", "pinned",
                          os.path.join(PINS, "l2pt_traps")).stdout
        self.assertEqual(json.loads(traps)["max_entries"], 16384)

    def test_3b_pdus_cross_the_daemons_upgrade_and_back_once_each(self):
        # The task relays while each daemon is away and starts over against the next one.
        for variant in ("2", None):
            with self.subTest(variant=variant or "this build"):
                self.sw.drain()
                bpdus = [bpdu(i) for i in range(40)]  # one every 50 ms, across the restart
                sender = threading.Thread(target=lambda: [
                    (self.sw.send("acc1", b), time.sleep(0.05)) for b in bpdus])
                sender.start()
                self.restart_daemon(signal.SIGTERM,
                                    *(("--pipeline-variant", variant) if variant else ()))
                sender.join()
                self.assert_relayed(bpdus)

    def test_4_task_killed_and_started(self):
        self.streaming(lambda: (self.sw.end_task(), self.sw.start_task()))

    def test_5_pdus_trapped_while_task_and_daemon_restart_arrive_after_them_unless_stale(self):
        # As a service manager restarts them: the task stopped first, then the daemon. What
        # is trapped meanwhile, into the ring parked when the task went, reaches the next task,
        # but for what waited longer than a bridge may hold a frame (4 s).
        bpdus = [bpdu(i) for i in range(QUEUED_PDUS + STALE_PDUS)]
        self.sw.end_task(signal.SIGTERM)
        self.sw.drain()
        self.sw.send("acc1", *bpdus[QUEUED_PDUS:])
        time.sleep(4.5)
        queued, bpdus = bpdus[:QUEUED_PDUS // 2], bpdus[:QUEUED_PDUS]
        self.sw.send("acc1", *queued)
        self.stop_daemon()
        self.sw.send("acc1", *bpdus[len(queued):])
        self.assertIn("line cards: %d trapped PDUs waited in the task's ring longer than 4 s: "
                      "dropped, not handed to the task" % STALE_PDUS, self.start_again(task=True))
        self.assert_relayed(bpdus)

    def test_5a_a_relaying_task_held_up_keeps_its_ring_to_itself(self):
        # The daemon gone, the primary relays on the data path it holds and lets go once a
        # daemon serves. Held up (stopped here) while another task is granted first, the grant
        # waits for it and hands its ring over with what queued meanwhile; past 2 s the grant
        # brings a new ring, and what queued in the old one stays with the task before, whose
        # sends are fenced. No two tasks read one ring: no PDU crosses twice. The same over
        # tables migrated to another layout, which carry the task's link and mark.
        sw, tmp = self.sw, self.sw.lab.tmp
        tasks, logs = [sw.task, None], [Path(tmp, "l2ptd.log"), Path(tmp, "l2ptd-2.log")]

        def held_up(relayer, queued, until, *args):
            at = len(logs[relayer].read_text())
            self.stop_daemon(signal.SIGKILL)
            netns.wait_for("the task relaying", lambda: "relaying PDUs on the data path it "
                           "granted until" in logs[relayer].read_text()[at:])
            tasks[relayer].send_signal(signal.SIGSTOP)
            os.waitpid(tasks[relayer].pid, os.WUNTRACED)  # every thread stopped, not only told
            sw.drain()
            sw.send("acc1", *queued)
            at = len(sw.daemon_log())
            self.start_daemon(sw, *args)
            tasks[1] = tasks[1] or sw.lab.start(None, [sw.app("l2ptd"), "--chassis",
                                                       sw.run_dir], str(logs[1]))
            sw.wait_logged(until, at)
            tasks[relayer].send_signal(signal.SIGCONT)
            return at
        try:
            # What the relayer takes when it hears of the daemon it hands its task, the rest
            # (past the 32 a socket's queue holds) waits in the ring for the next grant.
            for relayer, queued in ((0, range(20)), (1, range(20, 60))):
                queued = [bpdu(i) for i in queued]
                at = held_up(relayer, queued,
                             "is granted once its task, relaying PDUs meanwhile, lets go")
                sw.wait_logged("line cards: the task before let go after", at)
                self.assert_relayed(queued)
            at = held_up(0, [bpdu(i) for i in range(60, 70)], "granted the data path",
                         "--pipeline-variant", "2")
            self.assertRegex(sw.daemon_log()[at:], "(?s)the task's link carried over until its "
                             "task lets go.*the task before still held its link after")
            after = [bpdu(i) for i in range(70, 80)]
            sw.send("acc1", *after)
            self.assert_relayed(after)
        finally:
            for t in filter(None, tasks):
                t.send_signal(signal.SIGCONT)
            if tasks[1]:
                sw.lab.stop(tasks[1])
        netns.wait_for("the first task primary", lambda: sw.ctl("status").returncode == 0)
        self.restart_daemon(signal.SIGTERM)  # this build again

    def test_5b_a_start_adopts_what_it_finds_and_sweeps_what_is_no_longer_claimed(self):
        sw = self.sw
        rows = os.path.join(PINS, "l2pt_l2cp")
        dump = lambda: json.loads(netns.run("bpftool", "-j", "map", "dump", "pinned", rows).stdout)
        self.assertEqual(len(dump()), 2)
        learned = self.learned()
        self.stop_daemon()
        # With no daemon, site C is learned, and unicast to it goes to it alone.
        sw.drain()
        sw.send("acc3", unicast(SITE_C, SITE_A))
        self.assertEqual(len(netns.collect(sw.socks["acc1"], 1)), 1)
        sw.send("acc1", unicast(SITE_A, SITE_C))
        self.assertEqual(len(netns.collect(sw.socks["acc3"], 1)), 1)
        self.assertEqual(netns.collect(sw.socks["acc2"], 1, 0.5), [], "flooded")
        chassis = Path(sw.chassis_file)
        chassis.write_text(chassis.read_text().replace(VLAN_L2CP_ROW, ""))
        text = self.start_again()
        self.assertIn("loaded over the pinned tables it found (pinned in %s): %d learned MACs kept"
                      % (PINS, learned + 1), text)
        self.assertIn("removed 1 reserved-address rows and 0 interface bindings", text)
        self.assertIn("the task's trap entries are in; removed 0 adopted ones", text)
        self.assertEqual(len(dump()), 1)
        self.assertIn(SITE_C, sw.ctl("macs").stdout)

    def test_5c_a_port_the_chassis_file_no_longer_has_leaves_no_trace(self):
        # ge0/3 goes while no daemon runs, and the next tables are of another layout: acc3 keeps
        # no program of ours (they would drop all it carries), and site C, learned on ge0/3, is
        # not taken to be behind te1/0, which has ge0/3's place in the tables now.
        sw = self.sw
        sw.send("acc3", unicast(SITE_C, SITE_A))
        netns.wait_for("site C learned", lambda: sw.counters("ge0/3")["learned"] == 1)
        chassis = Path(sw.chassis_file).read_text()
        without = chassis.replace("range: 1-3", "range: 1-2").replace("{port: ge0/3}, ", "")
        self.stop_daemon()
        try:
            Path(sw.chassis_file).write_text(without[:without.index("l2cp:")])
            at = len(sw.daemon_log())
            self.start_daemon(sw, "--pipeline-variant", "2")
            sw.wait_logged("interface acc3 is no port of the chassis now: the pipeline detached, "
                           "its clsact qdisc removed", at)
            netns.wait_for("site C forgotten", lambda: SITE_C not in sw.ctl("macs").stdout)
            hooks = self.hooks()
            self.assertEqual({h: n for h, n in hooks.items() if h[0] == "acc3"},
                             {("acc3", "ingress"): 0, ("acc3", "egress"): 0}, hooks)
            sw.daemon.send_signal(signal.SIGTERM)
            sw.daemon.wait(10)
        finally:
            Path(sw.chassis_file).write_text(chassis)
        self.start_again()

    def test_5d_a_second_daemon_on_the_same_ports_is_refused(self):
        # Another run directory, so another switch name among the pins: its daemon would take
        # the ports' hooks from the one serving them.
        sw = self.sw
        other = sw.lab.start(sw.sw, [sw.app("l2pt-chassisd"), "--chassis", sw.chassis_file,
                                     "--run-dir", os.path.join(sw.lab.tmp, "other-run"), "--state",
                                     os.path.join(sw.lab.tmp, "other-state", "state.yaml")],
                             os.path.join(sw.lab.tmp, "other.log"), share_mounts=True)
        try:
            netns.wait_for("the second daemon ended", lambda: other.poll() is not None)
        finally:
            text = sw.lab.stop(other)
            if other.returncode != 1:
                self.restart_daemon(signal.SIGTERM)  # the hooks back to the first
        self.assertEqual(other.returncode, 1, text)
        self.assertIn("served by the daemon of switch run", text)
        self.assert_one_program_per_hook("after the second daemon")
        pinned = json.loads(netns.run("bpftool", "-j", "prog", "show", "pinned",
                                      os.path.join(PINS, "l2pt_prog_ingress")).stdout)["id"]
        out = netns.run("ip", "netns", "exec", sw.sw, "tc", "filter", "show", "dev", "acc1",
                        "ingress").stdout
        self.assertIn("id %d " % pinned, out, "the first daemon's program at acc1")

    def test_5e_pdus_trapped_by_a_migrating_start_before_the_task_is_back_arrive_after_it(self):
        # The trap entries carried into tables of another layout trap into the task's ring, which
        # it gets back with what queued there, none of it switched as data, while no daemon ran.
        sw = self.sw
        sw.task.send_signal(signal.SIGKILL)
        sw.task.wait()
        self.stop_daemon()
        sw.drain()
        sw.send("acc1", bpdu(2))
        at = len(sw.daemon_log())
        self.start_daemon(sw, "--pipeline-variant", "2")
        text = lambda: sw.daemon_log()[at:]
        netns.wait_for("the new programs at acc1", lambda: re.search(r"\(acc1\):.*attached",
                                                                     text()))
        self.assertIn("; 4 trap entries carried over until the task's own are in, trapping into "
                      "a ring for the next primary; the task's ring carried over with what "
                      "queued in it", text())
        sw.send("acc1", STP, bpdu(1))
        self.assertEqual(netns.collect(sw.socks["core0"], 1, 0.5), [], "switched as data")
        sw.start_task()
        self.assert_relayed([bpdu(2), STP, bpdu(1)])
        sw.wait_logged("removed 0 adopted ones it no longer claims", at)
        self.restart_daemon(signal.SIGTERM)  # this build again

    def test_5f_a_customer_flooding_while_the_task_is_away_keeps_to_its_share_of_the_ring(self):
        # A daemon started again before its task: the ports share the ring the entries it found
        # trap into as before, so that one customer's flood of large PDUs leaves another room.
        sw = self.sw
        sw.task.send_signal(signal.SIGKILL)
        sw.task.wait()
        self.stop_daemon(signal.SIGKILL)
        self.start_daemon(sw)
        before = sw.counters("ge0/2")
        sw.send("acc1", *[STP + bytes(LARGE_PDU_PAD)] * FLOOD_PDUS)
        sw.send("acc2", *[STP] * QUEUED_PDUS)
        seen = lambda c: c["trapped"] + sum(c["dropped"].values())
        netns.wait_for("acc2's PDUs counted",
                       lambda: seen(sw.counters("ge0/2")) - seen(before) == QUEUED_PDUS)
        after = sw.counters("ge0/2")
        self.assertEqual(after["trapped"] - before["trapped"], QUEUED_PDUS,
                         {why: n for why, n in after["dropped"].items() if n})
        self.assertGreater(sw.counters("ge0/1")["dropped"]["over the port's PDU share"], 0)

    def test_6_removed_it_leaves_nothing(self):
        name = os.path.basename(self.sw.run_dir)  # the switch's pins: BPFFS/l2pt/NAME
        remove = lambda: subprocess.run(["nsenter", "--net=/run/netns/" + self.sw.sw,
                                         self.sw.app("l2pt-chassisd"), "--remove", name,
                                         "--chassis", self.sw.chassis_file],
                                        capture_output=True, text=True, timeout=30)
        netns.exited(remove(), 1, "in use by another l2pt-chassisd")
        self.stop_daemon()
        netns.exited(remove(), 0, "nothing of the switch is left")
        self.assertEqual(set(self.hooks().values()), {0}, self.hooks())
        for dev in PORTS:
            qdiscs = netns.run("ip", "netns", "exec", self.sw.sw, "tc", "qdisc", "show", "dev",
                               dev).stdout
            self.assertNotIn("clsact", qdiscs, dev)
        links = netns.run("ip", "-n", self.sw.sw, "-o", "link", "show").stdout.splitlines()
        self.assertEqual({line.split(":")[1].strip().split("@")[0] for line in links},
                         {"lo"} | set(PORTS), "the task's link is gone too")
        # Only the kernel's own files (maps.debug, progs.debug) may stay in the test's bpffs.
        pins = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(BPFFS, "l2pt"))
                for f in files]
        self.assertEqual(pins, [])
        self.assertFalse(os.path.exists(os.path.join(BPFFS, "l2pt", name)))

if __name__ == "__main__":
    netns.main(sys.modules[__name__],
               lambda _: (netns.require_privilege(), netns.private_bpffs()))
