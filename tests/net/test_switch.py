#!/usr/bin/env python3
"""One switch on Linux interfaces: l2pt-chassisd in a network namespace, l2ptd, and raw sockets
sending and receiving frames byte for byte at the far ends of its ports' veth pairs, in a
customer namespace. Its last stories fill the learned-MAC table.

    tests/net/test_switch.py --build BUILD_DIR
"""

import ctypes
import json
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None
TUNNEL_MAC = bytes.fromhex("03a731000000")
STP_MAC = bytes.fromhex("0180c2000000")
LLDP_MAC = bytes.fromhex("0180c200000e")
GVRP_MAC = bytes.fromhex("0180c2000020")  # the switch's GVRP row; the standard ...:21 is data
PVST_MAC = bytes.fromhex("01000ccccccd")
PROVIDER_TAG = bytes.fromhex("91000064")  # TPID 0x9100, VLAN 100
SRC = bytes.fromhex("001122334455")
BPDU = bytes.fromhex("000000" "00" "8000aabbccddeeff" "00000000" "8000aabbccddeeff"
                     "8001" "0000" "1400" "0200" "0f00")  # a configuration BPDU
BROADCAST = bytes.fromhex("ffffffffffff") + SRC + bytes.fromhex("0806") + bytes(28)
TABLE = 65536  # learned MACs the switch holds

CHASSIS = """
chassis: {name: nettest, slots: 12}
# The master line-card slot is one without a card: a takeover re-registers every agent.
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [
      {range: 1-2, name: "ge0/{n}", long_name: "GigEthernet 0/{n}", vlan: 100, netdev: "acc{n}"},
      {number: 3, name: ge0/3, vlan: 200, netdev: acc3}]}
  - {slot: 1, type: 1, agent: per-port,
     ports: [{number: 0, name: "te1/0", long_name: "TenGigEthernet 1/0", netdev: "core0"}]}
vlans: [{id: 100, name: vl100, long_name: "Vlan 100"}, {id: 200, name: vl200}]
tunnelling:
  vlans:
    - vlan: vl100
      protocols: [stp, lldp, gvrp, pvst]
      ports: [{port: ge0/1, mode: access}, {port: ge0/2, mode: access}, {port: te1/0, mode: core}]
    - {vlan: vl200, protocols: [stp], ports: [{port: ge0/3}, {port: te1/0, mode: core}]}
# Room for a full table of learned MACs on ge0/1, moved to ge0/2 and back.
data_plane: {vlan_learn_limit: %d, learning: [{port: ge0/1, limit: %d}, {port: ge0/2, limit: %d}]}
""" % (TABLE, TABLE, TABLE)
READERS = 4  # l2ptctl macs at once on the full table
MAC_LINE = re.compile(r"^100\s+(02:[0-9a-f:]{14})\s", re.M)


def llc_frame(dst, payload):
    body = bytes([0x42, 0x42, 0x03]) + payload
    return dst + SRC + struct.pack("!H", len(body)) + body


STP = llc_frame(STP_MAC, BPDU)
GVRP = llc_frame(GVRP_MAC, bytes.fromhex("0001" "01" "0402000a" "00" "00"))
LLDP = LLDP_MAC + SRC + bytes.fromhex("88cc" "0207" "04" "001122334455" "0403" "05" "6531"
                                      "0602" "0078" "0000")
SNAP = bytes.fromhex("aaaa03" "00000c" "010b") + BPDU
PVST = PVST_MAC + SRC + bytes.fromhex("8100000a") + struct.pack("!H", len(SNAP)) + SNAP


def broadcast_from(src):
    return b"\xff" * 6 + src + b"\x08\x00" + bytes(46)


def tunnelled(frame, mac=TUNNEL_MAC):
    """What the core port carries: tunnel MAC and provider tag, before a customer tag or length."""
    return mac + frame[6:12] + PROVIDER_TAG + frame[12:]


def hexes(frames):
    return {port: [f.hex() for f in got] for port, got in frames.items()}


class Switch(netns.Switch):
    def __init__(self, lab):
        super().__init__(lab, BUILD, CHASSIS, ("acc1", "acc2", "acc3", "core0"))

    def start_daemon(self):
        super().start_daemon("--trace")

    def start_task(self, prefix=()):
        super().start_task(prefix)
        # The task has downloaded the entries once the data plane traps: let an STP cross.
        netns.wait_for("entries installed", self.stp_crosses)

    def stp_crosses(self):
        """Tunnelled: untrapped, the pipeline floods it as data, with the provider tag alone."""
        return self.crosses("acc1", STP, {"core0": [tunnelled(STP)]})

    def start_secondary(self, log):
        p = self.lab.start(None, [self.app("l2ptd"), "--chassis", self.run_dir],
                           os.path.join(self.lab.tmp, log))
        netns.wait_for("a ready secondary", lambda: "secondary ready" in self.ctl("status").stdout)
        return p

    def exchange(self, port, frame, want):
        """Sends frame into port; what each port of want received, waiting for as many as listed."""
        self.drain()
        self.send(port, frame)
        return {p: netns.collect(self.socks[p], len(w), 1.0 if w else 0.4) for p, w in want.items()}

    def crosses(self, port, frame, want):
        return self.exchange(port, frame, want) == want

    def capture(self, path, *limit):
        """l2ptctl capture on te1/0 in the background."""
        return netns.capture([self.app("l2ptctl"), "--run-dir", self.run_dir], "te1/0", path,
                             *limit)

    def hits(self, port, mac):
        agents = json.loads(self.ctl("agents", "--json").stdout)["agents"]
        return next(e["hits"] for a in agents for e in a["table"]
                    if e["port"] == port and e["mac"] == mac)


class SwitchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def started(lab):
            sw = Switch(lab)
            sw.start_daemon()
            sw.start_task()
            return sw
        cls.sw = netns.set_up_lab(cls, started)

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("L2PT_KEEP_LOG"):
            print(cls.sw.daemon_log()[-3000:], file=sys.stderr)

    def exchange(self, port, frame, want):
        """Sends frame into port: each port of want receives just the frames it lists."""
        self.assertEqual(hexes(self.sw.exchange(port, frame, want)), hexes(want))

    def test_1_access_pdus_reach_access_and_core_ports(self):
        for name, frame in (("stp", STP), ("pvst", PVST), ("gvrp", GVRP), ("lldp", LLDP)):
            with self.subTest(protocol=name):
                self.exchange("acc1", frame, {"acc2": [frame], "core0": [tunnelled(frame)]})

    def test_2_tunnelled_pdus_leave_access_ports_restored(self):
        # STP and GVRP both classify as the STP row on the way out of the tunnel, so GVRP is
        # delivered with the STP MAC; PVST keeps its customer tag; LLDP is not carried back.
        cases = (("stp", STP, STP_MAC), ("gvrp", GVRP, STP_MAC), ("pvst", PVST, PVST_MAC))
        for name, frame, mac in cases:
            with self.subTest(protocol=name):
                self.exchange("core0", tunnelled(frame), {"acc1": [mac + frame[6:]],
                                                          "acc2": [mac + frame[6:]]})
        self.exchange("core0", tunnelled(LLDP), {"acc1": [], "acc2": []})
        # Counted as an unknown protocol (the drops scenario): a counter read, never set.
        r = self.sw.ctl("shell", "set", "l2ptDropUnknownProto", "0")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("read-only", r.stdout + r.stderr)

    def test_3_untrapped_frames_cross_as_data_trapped_ones_hit_their_entry(self):
        before = self.sw.counters("ge0/1")
        stp_hits = self.sw.hits("ge0/1", "01:80:c2:00:00:00")
        other = bytes.fromhex("020000000099") + SRC + bytes.fromhex("0800") + bytes(46)
        gvrp21 = bytes.fromhex("0180c2000021") + GVRP[6:]
        self.sw.send("acc1", *[other, BROADCAST, gvrp21] * 20)
        netns.wait_for("60 frames in", lambda: self.sw.counters("ge0/1")["rx"] == before["rx"] + 60)
        self.exchange("acc1", STP, {"acc2": [STP]})
        after = self.sw.counters("ge0/1")
        self.assertEqual(after["rx"], before["rx"] + 61)
        self.assertEqual(after["forwarded"], before["forwarded"] + 60)
        self.assertEqual(self.sw.hits("ge0/1", "01:80:c2:00:00:00"), stp_hits + 1)
        # The pipeline wrote an event per frame (the trace is on); the daemon read them and
        # sleeps: a reader that keeps its position to itself finds the ring readable at once.
        before = netns.cpu_seconds(self.sw.daemon.pid)
        time.sleep(1.0)
        self.assertLess(netns.cpu_seconds(self.sw.daemon.pid) - before, 0.5, "the daemon spins")

    def test_4_line_card_down_and_up(self):
        self.assertEqual(self.sw.ctl("card", "down", "1").returncode, 0)
        self.exchange("acc1", STP, {"acc2": [STP], "core0": []})
        self.exchange("core0", tunnelled(STP), {"acc1": []})
        self.assertEqual(self.sw.ctl("card", "up", "1").returncode, 0)
        netns.wait_for("the core card's entries back", self.sw.stp_crosses)

    def agent_tables(self):
        return {a["slot"]: (a["registered"], a["entries"]) for a in
                json.loads(self.sw.ctl("agents", "--json").stdout)["agents"]}

    def test_5_l2ptd_killed_and_restarted(self):
        show_before = self.sw.ctl("show").stdout
        tables_before = self.agent_tables()
        # Slot 0: four protocols at ge0/1 and ge0/2, STP at ge0/3; slot 1: the tunnel MAC.
        self.assertEqual(tables_before, {0: (True, 9), 1: (True, 1)})
        stp = ("ge0/1", "01:80:c2:00:00:00")
        hits = self.sw.hits(*stp) + 20
        self.sw.send("acc1", *[STP] * 20)
        netns.wait_for("20 STP hits", lambda: self.sw.hits(*stp) == hits)
        self.sw.end_task()
        self.exchange("acc1", STP, {"acc2": [], "core0": []})
        # A primary that re-opens its data path has a task link built each time: a few at once,
        # then the grant is deferred and the task told (it comes by itself, to the restart below).
        ctl, _, session = netns.task_channel(self.sw.run_dir, netns.hello(1))

        def data_path():
            """Our data-path channel; refused until the daemon has seen the one before go."""
            c, status, _ = netns.task_channel(self.sw.run_dir, netns.hello(6, session))
            return c if status == 0 else c.close()
        kinds = []
        for _ in range(4):
            dp = netns.wait_for("the data path open", data_path)
            msg, fds, _, _ = socket.recv_fds(dp, 64, 8)
            list(map(os.close, fds))
            kinds.append(struct.unpack("!I", msg[:4])[0])
            dp.close()
        ctl.close()
        # Granted (1) while the burst lasts (the task's start took one too), then deferred (3).
        self.assertEqual(kinds, sorted(kinds))
        self.assertEqual(kinds[-1], 3)
        self.assertIn("its data path deferred", self.sw.daemon_log())
        # Restarted without a single capability (and in the host's network namespace, not the
        # switch's): its data path is the ring and the packet socket the daemon hands it.
        self.sw.start_task(["setpriv", "--bounding-set=-all", "--inh-caps=-all",
                            "--no-new-privs"])  # waits for an STP to cross again
        self.exchange("core0", tunnelled(STP), {"acc2": [STP]})
        self.assertEqual(self.sw.ctl("show").stdout, show_before)
        # Every agent registered afresh (which empties its table) and has it all again. The
        # kernel's entries stayed meanwhile, trapping, with their counters.
        netns.wait_for("the full tables", lambda: self.agent_tables() == tables_before)
        self.assertGreater(self.sw.hits(*stp), hits)

    def test_6_the_task_outlives_its_daemon_and_joins_the_next_one(self):
        """Its daemon ended or killed, the same l2ptd relays on meanwhile, then joins the next
        one as a new session keeping no descriptor of the last, and is the primary again."""
        task = self.sw.task
        fd_dir = "/proc/%d/fd" % task.pid
        open_before = len(os.listdir(fd_dir))
        tables = self.agent_tables()
        logged = len(self.sw.daemon_log())

        def task_log(text):
            return Path(self.sw.lab.tmp, "l2ptd.log").read_text().count(text)

        def sessions():
            r = self.sw.ctl("status", "--json")
            return r.returncode == 0 and [(s["pid"], s["role"], s["ready"])
                                          for s in json.loads(r.stdout)["sessions"]]
        for n, sig in enumerate((signal.SIGTERM, signal.SIGKILL), 1):
            with self.subTest(signal=sig.name):
                self.sw.daemon.send_signal(sig)
                self.sw.daemon.wait(10)
                netns.wait_for("the task relaying", lambda: task_log(
                    "relaying PDUs on the data path it granted until a daemon serves") == n)
                self.exchange("core0", tunnelled(STP), {"acc2": [STP]})
                self.sw.start_daemon()
                netns.wait_for("the same process, primary again",
                               lambda: sessions() == [(task.pid, "primary", True)])
                netns.wait_for("the full tables", lambda: self.agent_tables() == tables)
                self.exchange("core0", tunnelled(STP), {"acc2": [STP]})
        self.assertEqual(task_log("the chassis daemon went away"), 2)
        self.assertEqual(task_log("ms of relaying (1 PDUs taken): starting over"), 2)
        # Each time the new daemon's task.sock was heard of as it was made, not found by a look.
        self.assertNotIn("closed before its hello", self.sw.daemon_log()[logged:])
        self.assertEqual(len(os.listdir(fd_dir)), open_before)

    def test_8_bad_messages_are_logged_and_change_nothing(self):
        show_before = self.sw.ctl("show").stdout
        run_dir = self.sw.run_dir
        for bad in (b"\x01\x02\x03", netns.hello(2, session=424242)):
            s, status, _ = netns.task_channel(run_dir, bad)
            s.close()
            self.assertEqual(status, -1, bad)
        # A session of our own: garbage operations are answered -1 and logged.
        ctl, _, session = netns.task_channel(run_dir, netns.hello(1))
        for bad in (struct.pack("!I", 999),
                    struct.pack("!I", 8) + b"\x00\x00",  # an event-log record cut short
                    struct.pack("!I", 1) + b"\x00" * 5):  # a request shorter than any header
            ctl.send(bad)
            self.assertEqual(struct.unpack("!i", ctl.recv(64)[:4])[0], -1, bad)
        beat, status, _ = netns.task_channel(run_dir, netns.hello(5, session))
        self.assertEqual(status, 0)
        beat.send(b"\x00\x01")
        # Read before the session ends: an ended session's unread datagrams go with it.
        log = self.sw.wait_logged("malformed heartbeat answer (2 bytes)")
        beat.close()
        ctl.close()
        for line in ("malformed hello of 3 bytes", "channel for unknown session 424242",
                     "malformed operation code", "malformed event-log record"):
            self.assertIn(line, log)
        self.assertEqual(self.sw.ctl("show").stdout, show_before)
        self.assertTrue(self.sw.stp_crosses())

    def test_9_a_hung_primary_is_fenced_and_the_secondary_takes_over(self):
        """A stopped primary is fenced for its silence and the secondary takes over, data crossing
        throughout; continued, the old primary hears it was fenced and exits 4."""
        secondary = self.sw.start_secondary("l2ptd-2.log")

        # The primary answered the secondary's registration: it has sent the peer something.
        netns.wait_for("the secondary registered with the primary", lambda: any(
            s["role"] == "primary" and s["peer_sent"] > 0
            for s in json.loads(self.sw.ctl("status", "--json").stdout)["sessions"]))
        data = bytes.fromhex("020000000099") + SRC + b"\x88\xb5" + b"data under takeover"
        acc2 = self.sw.socks["acc2"]
        acc2.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE: every frame is kept
        self.sw.drain()
        log_before = len(self.sw.daemon_log())
        primary = self.sw.task
        primary.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        # An operator's show, asked of the hung primary: failed at the takeover, and the shows
        # after it are the new primary's to answer.
        asked = subprocess.Popen([self.sw.app("l2ptctl"), "--run-dir", self.sw.run_dir, "show"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sent, took_over = 0, None
        while time.monotonic() - stopped < 2.0:
            self.sw.send("acc1", data)
            sent += 1
            if took_over is None and sent % 20 == 0 and \
                    "takes over as primary" in self.sw.daemon_log()[log_before:]:
                took_over = time.monotonic() - stopped
            time.sleep(0.002)
        self.assertIsNotNone(took_over)
        print("fencing: %.0f ms from SIGSTOP to the secondary's takeover (polled every 40 ms)"
              % (took_over * 1000), file=sys.stderr)
        self.assertEqual(sum(f == data for f in netns.collect(acc2, sent, 3.0)), sent)
        after = self.sw.daemon_log()[log_before:]
        # Fenced for its silence, and not before the heartbeats' limit (400 ms) ran out.
        silent = re.search(r"primary\) silent for (\d+) ms: fenced", after)
        self.assertIsNotNone(silent, after)
        self.assertGreaterEqual(int(silent.group(1)), 400)
        for slot in (0, 1):
            self.assertIn("acl[%d] rx register" % slot, after)
        primary.send_signal(signal.SIGCONT)
        self.assertEqual(primary.wait(10), 4)
        self.assertIn("ending: fenced by the chassis daemon",
                      Path(self.sw.lab.tmp, "l2ptd.log").read_text())
        self.sw.task = secondary
        self.assertIn("primary ready", self.sw.ctl("status").stdout)
        self.assertIn("the primary task ended or was fenced before answering",
                      asked.communicate(timeout=10)[1])
        self.assertEqual(self.sw.ctl("show").returncode, 0)
        # The entries stayed in while it registered with the agents again, until it settled.
        self.sw.wait_logged("the task's trap entries are in; removed 0 adopted ones", log_before)
        self.assertIn("takeover: the secondary is the primary now",
                      Path(self.sw.lab.tmp, "l2ptd-2.log").read_text())
        # The new primary owns the agents: a change it makes reaches both line cards.
        self.assertEqual(self.sw.ctl("tunnel-mac", "02:00:00:00:00:88").returncode, 0)
        new_mac = bytes.fromhex("020000000088")
        netns.wait_for("the new MAC trapped on the core card", lambda: self.sw.crosses(
            "core0", tunnelled(STP, new_mac), {"acc1": [STP]}))
        self.assertEqual(self.sw.ctl("tunnel-mac", "default").returncode, 0)
        # The core card's agent registers again (which empties its table) and is downloaded
        # anew: tunnelled PDUs come through once that is done.
        netns.wait_for("tunnelled PDUs delivered by the new primary", lambda: self.sw.crosses(
            "core0", tunnelled(STP), {"acc1": [STP], "acc2": [STP]}))

    def test_9b_a_silent_secondary_takes_over_only_once_it_answers(self):
        """A secondary that stops answering is no fit to take over: the primary hanging too is
        fenced, and trapped PDUs go nowhere until the secondary answers again and takes over."""
        secondary = self.sw.start_secondary("l2ptd-3.log")
        at = len(self.sw.daemon_log())
        secondary.send_signal(signal.SIGSTOP)
        self.sw.wait_logged("secondary) does not answer", at)
        primary = self.sw.task
        primary.send_signal(signal.SIGSTOP)
        self.sw.wait_logged("primary) silent for", at)
        self.sw.wait_logged("no task session fit to take over as primary", at)
        self.exchange("acc1", STP, {"acc2": [], "core0": []})
        self.assertNotIn("takes over as primary", self.sw.daemon_log()[at:])
        secondary.send_signal(signal.SIGCONT)
        self.assertIn("answers again", self.sw.wait_logged("takes over as primary", at))
        self.sw.task = secondary
        netns.wait_for("PDUs crossing again", lambda: self.sw.crosses(
            "acc1", STP, {"acc2": [STP], "core0": [tunnelled(STP)]}))
        primary.send_signal(signal.SIGCONT)
        self.assertEqual(primary.wait(10), 4)

    def test_9ba_a_primary_whose_task_thread_hangs_is_fenced(self):
        """The task's own thread stuck (stopped here by ptrace, its heartbeat's thread running):
        the heartbeat goes unanswered, the primary is fenced and told so, and ends (exit 4)."""
        secondary = self.sw.start_secondary("l2ptd-4.log")
        primary = self.sw.task
        at = len(self.sw.daemon_log())
        threads = [int(t) for t in os.listdir("/proc/%d/task" % primary.pid)]
        task_thread = max(t for t in threads if t != primary.pid)
        libc = ctypes.CDLL(None, use_errno=True)
        libc.ptrace.argtypes = (ctypes.c_long, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        seize, interrupt, all_threads = 0x4206, 0x4207, 0x40000000
        for request in (seize, interrupt):
            self.assertEqual(libc.ptrace(request, task_thread, None, None), 0,
                             os.strerror(ctypes.get_errno()) + ": ptrace needs root")
        detach = 17  # should the test fail with the thread still stopped
        self.addCleanup(libc.ptrace, detach, task_thread, None, None)
        os.waitpid(task_thread, all_threads)  # stopped
        self.sw.wait_logged("primary) silent for", at)
        self.sw.wait_logged("takes over as primary", at)
        # Its main thread heard it was fenced and ended the process, the stopped thread too.
        deadline = time.monotonic() + 10
        while os.waitpid(task_thread, all_threads | os.WNOHANG) == (0, 0):
            self.assertLess(time.monotonic(), deadline, "the fenced task did not end")
            time.sleep(0.05)
        self.assertEqual(primary.wait(10), 4)
        log = Path(primary.out).read_text()
        self.assertIn("the task's thread has not come back to its wait", log)
        self.assertIn("ending: fenced by the chassis daemon", log)
        self.sw.task = secondary
        netns.wait_for("PDUs crossing again", lambda: self.sw.crosses(
            "acc1", STP, {"acc2": [STP], "core0": [tunnelled(STP)]}))

    def test_10_capture(self):
        # l2ptctl creates the file itself (0600), names with spaces and all; the daemon gets
        # its descriptor. An existing file is kept unless --force.
        os.mkdir(os.path.join(self.sw.lab.tmp, "a dir"))
        pcap = os.path.join(self.sw.lab.tmp, "a dir", "core 0.pcap")
        cap = self.sw.capture(pcap, "--count", "2")
        self.exchange("acc1", STP, {"core0": [tunnelled(STP)]})  # leaves te1/0
        self.exchange("core0", tunnelled(STP), {"acc1": [STP]})  # enters it
        out, err = cap.communicate(timeout=10)
        self.assertEqual(cap.returncode, 0, err)
        self.assertIn("2 frames captured", out)
        stamped = netns.read_pcap(pcap, stamps=True)
        self.assertEqual([f.hex() for _, f in stamped], [tunnelled(STP).hex()] * 2)
        for sec, _ in stamped:  # wall-clock stamps, not the kernel's monotonic clock
            self.assertLess(abs(sec - time.time()), 30)
        self.assertEqual(os.stat(pcap).st_mode & 0o777, 0o600)
        netns.exited(self.sw.ctl("capture", "te1/0", pcap, "--count", "1"), 2, "--force")
        self.assertEqual(len(netns.read_pcap(pcap)), 2)
        r = netns.exited(self.sw.ctl("capture", "te1/0", pcap, "--seconds", "1", "--force"), 0)
        self.assertIn("0 frames captured", r.stdout)
        # A frame longer than a capture keeps (9220 bytes) is cut, and says its whole length.
        jumbo = broadcast_from(SRC) + bytes(9300)
        mtu = "ip -n {0} link set core0 mtu {1} && ip -n {2} link set c-core0 mtu {1}"
        try:
            netns.run("sh", "-c", mtu.format(self.sw.sw, 9400, self.sw.cust))
            cap = self.sw.capture(pcap, "--count", "1", "--force")
            self.sw.send("core0", jumbo)
            cap.communicate(timeout=10)
            self.assertEqual(netns.read_pcap(pcap, wire=True), [(len(jumbo), jumbo[:9220])])
        finally:
            netns.run("sh", "-c", mtu.format(self.sw.sw, 1500, self.sw.cust))

        def refused(path, says, *extra):
            r = self.sw.ctl("capture", "te1/0", path, "--count", "1", "--force", *extra, timeout=10)
            self.assertEqual((r.returncode, r.stderr.strip()), (2, says))
        refused(pcap, "capture: --seconds takes a number of 1 or more", "--seconds", "0")
        # Nor is a FIFO replaced (l2ptctl would wait for its reader), nor what a symbolic link or
        # another hard link, put where the capture goes by another user, leads to written.
        fifo, victim, link = (os.path.join(self.sw.lab.tmp, n) for n in ("fifo", "victim", "link"))
        os.mkfifo(fifo)
        refused(fifo, "l2ptctl: cannot create %s: not a regular file" % fifo)
        Path(victim).write_text("kept\n")
        os.symlink(victim, link)
        refused(link, "l2ptctl: cannot create %s: not a regular file" % link)
        os.link(victim, link + "2")
        refused(link + "2", "l2ptctl: cannot create %s2: it has other hard links" % link)
        self.assertEqual(Path(victim).read_text(), "kept\n")
        # A file whose writes might wait on another process or host, or act (here /proc's), is
        # refused; one whose disk is full ends the capture, failed, with the frames it holds.
        netns.exited(self.sw.ctl("capture", "te1/0", "/proc/self/comm", "--seconds", "1",
                                 "--force"), 1, "filesystem of type 0x9fa0")
        small = os.path.join(self.sw.lab.tmp, "small")
        os.mkdir(small)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "l2pt-small", small], check=True)
        try:
            pcap = os.path.join(small, "full.pcap")
            cap = self.sw.capture(pcap, "--count", "8")
            for _ in range(8):
                self.sw.send("acc1", broadcast_from(SRC) + bytes(1000))  # flooded to te1/0
                time.sleep(0.05)
            out, err = cap.communicate(timeout=10)
            self.assertEqual(cap.returncode, 1, out)
            self.assertIn("No space left on device", err)
            captured = int(re.search(r"(\d+) frames captured", out).group(1))
            self.assertLess(captured, 4)
            self.assertGreaterEqual(len(netns.read_pcap(pcap)), captured)
        finally:
            subprocess.run(["umount", small], check=False)


    def test_11_rate_limits_police_trapped_pdus(self):
        self.assertEqual(self.sw.ctl("rate", "set", "vl100", "8").returncode, 0)  # 1000 B/s
        try:
            def policed():
                return json.loads(self.sw.ctl("counters", "--json").stdout)["dropped"]["policed"]
            before = policed()
            self.sw.drain()
            self.sw.send("acc1", *[STP] * 100)
            got = netns.collect(self.sw.socks["acc2"], 100, 1.0)
            # One second of the rate (at least one full-size frame) passes, the rest is policed.
            self.assertGreater(len(got), 0)
            self.assertLess(len(got), 60)
            self.assertEqual(policed() - before, 100 - len(got))
        finally:
            self.assertEqual(self.sw.ctl("rate", "remove", "vl100").returncode, 0)

    def test_11b_storm_control_through_l2ptctl(self):
        self.assertEqual(self.sw.ctl("storm", "ge0/1", "broadcast", "5").returncode, 0)
        try:
            before = self.sw.counters("ge0/1")["storm_dropped"]["broadcast"]
            self.sw.drain()
            self.sw.send("acc1", *[BROADCAST] * 50)
            got = netns.collect(self.sw.socks["acc2"], 50, 1.0)
            # One second of the rate passes (and what it earns meanwhile), the rest is refused.
            self.assertGreaterEqual(len(got), 5)
            self.assertLess(len(got), 10)
            port = self.sw.counters("ge0/1")
            dropped = port["storm_dropped"]["broadcast"] - before
            self.assertEqual(dropped, 50 - len(got))
            self.assertEqual(port["policing"]["storm"]["broadcast"], {"fps": 5, "kbps": 0})
            self.assertIsNone(port["policing"]["storm"]["multicast"])
            self.assertIn("storm broadcast 5/s dropped %d" % (before + dropped),
                          self.sw.ctl("counters").stdout)
            # A PDU rate of 0 is no limit, and reads so.
            self.assertEqual(self.sw.ctl("pdu-rate", "ge0/1", "0").returncode, 0)
            self.assertRegex(self.sw.ctl("counters").stdout, r"(?m)^ge0/1 .* pdu-rate off$")
            self.assertIn('l2pt_port_storm_drops_total{port="ge0/1",class="broadcast"} %d'
                          % (before + dropped), self.sw.ctl("metrics").stdout)
        finally:
            self.assertEqual(self.sw.ctl("storm", "ge0/1", "broadcast", "off").returncode, 0)
            self.assertEqual(self.sw.ctl("pdu-rate", "ge0/1", "default").returncode, 0)
        self.exchange("acc1", BROADCAST, {"acc2": [BROADCAST]})

    def test_12_vlan_ports_changed_through_l2ptctl(self):
        def ge02(verb):
            netns.exited(self.sw.ctl("vlan", verb, "vl100", "--proto", "stp,lldp,gvrp,pvst",
                                     "--port", "ge0/2:access"), 0)
        ge02("del")
        try:
            self.assertNotIn("ge0/2", self.sw.ctl("show", "100").stdout)
            self.exchange("acc1", STP, {"acc2": [], "core0": [tunnelled(STP)]})
        finally:
            ge02("add")
        self.assertIn("ge0/2", self.sw.ctl("show", "vl100").stdout)
        netns.wait_for("ge0/2 back in the VLAN", lambda: self.sw.crosses(
            "acc1", STP, {"acc2": [STP], "core0": [tunnelled(STP)]}))

    def test_13_reserved_addresses_at_the_edge(self):
        slow = bytes.fromhex("0180c2000002") + SRC + bytes.fromhex("8809") + bytes([1]) + bytes(45)
        address = "01:80:c2:00:00:02"

        def counted(port, what):
            c = self.sw.counters(port)
            return c["dropped"][what] if what in c["dropped"] else c["l2cp"].get(address, {}).get(
                what, 0)

        # An 802.1ad edge never relays the slow protocols' address: discarded and counted.
        before = (counted("ge0/1", "L2CP discarded"), counted("ge0/1", "discarded"))
        self.exchange("acc1", slow, {"acc2": [], "core0": []})
        self.assertEqual(counted("ge0/1", "L2CP discarded"), before[0] + 1)
        self.assertEqual(counted("ge0/1", "discarded"), before[1] + 1)

        # Forwarded as data on ge0/1 in VLAN 100, kept in the state, shown and counted.
        for bad in (("ge0/1", "10", "forward"), ("ge0/1", "02", "drop"), ("vl100", "02", "forward"),
                    ("ge0/1", "02", "forward", "--vlan", "300")):
            netns.exited(self.sw.ctl("l2cp", "set", *bad), 2)
        netns.exited(self.sw.ctl("l2cp", "set", "ge0/1", "02", "forward", "--vlan", "100"), 0)
        try:
            self.exchange("acc1", slow, {"acc2": [slow], "core0": [slow[:12] + PROVIDER_TAG +
                                                                   slow[12:]]})
            self.assertEqual(counted("ge0/1", "forwarded"), 1)
            self.assertIn({"port": "ge0/1", "vlan": "vl100", "actions": {address: "forward"}},
                          json.loads(self.sw.ctl("l2cp", "--json").stdout)["rows"])
            self.assertRegex(self.sw.ctl("l2cp").stdout, r"ge0/1 +vl100 +forward 02")
            self.assertIn("{port: ge0/1, vlan: vl100, addresses: 02, action: forward}",
                          Path(self.sw.state).read_text())
            self.assertIn('l2pt_port_l2cp_frames_total{port="ge0/1",address="%s",'
                          'action="forwarded"} 1' % address, self.sw.ctl("metrics").stdout)
        finally:
            netns.exited(self.sw.ctl("l2cp", "set", "ge0/1", "all", "default", "--vlan",
                                     "vl100"), 0)
        self.assertNotIn("l2cp", Path(self.sw.state).read_text())
        self.exchange("acc1", slow, {"acc2": [], "core0": []})


    def test_9c_a_ports_limit_holds_its_flood_alone(self):
        sw = self.sw
        netns.exited(sw.ctl("learning", "port", "ge0/3", "--limit", "3", "--action", "drop"), 0)
        sw.send("acc3", *[broadcast_from(bytes([0x02, 0x03, 0, 0, 0, i])) for i in range(5)])
        c = netns.wait_for("ge0/3's flood counted", lambda: (n := sw.counters("ge0/3"))["rx"] >= 5
                           and n)
        self.assertEqual((c["learned"], c["learn_limit"], c["not_learned"],
                          c["dropped"]["learning limit"]), (3, 3, 2, 2))
        m = sw.ctl("metrics").stdout
        for line in ('learned_macs{port="ge0/3"} 3', 'learn_limit{port="ge0/3"} 3',
                     'port_not_learned_total{port="ge0/3"} 2', 'learned_macs{vlan="200"} 3'):
            self.assertIn("\nl2pt_" + line + "\n", m)
        learning = json.loads(sw.ctl("macs", "--json").stdout)["learning"]
        self.assertIn({"port": "ge0/3", "learned": 3, "limit": 3, "past_limit": "drop"},
                      learning["ports"])
        # The log names the port once; the other ports learn on (test_9d fills ge0/1).
        sw.wait_logged("ge0/3: 2 new source MACs not learned", timeout=15)

    def test_9d_four_readers_of_a_full_table_under_churn(self):
        """The table full, a thousand MACs moving between ge0/1 and ge0/2: four `l2ptctl macs`
        at once (one slow) each get every entry, and the primary's heartbeats are answered."""
        sw = self.sw
        log_before = len(sw.daemon_log())
        ports = json.loads(sw.ctl("counters", "--json").stdout)["ports"]
        held = sum(p["learned"] for p in ports)  # what the tests before left
        on_ge01 = sw.counters("ge0/1")["learned"]
        sources = [bytes([0x02, 0x01, 0x00, i >> 16, (i >> 8) & 0xff, i & 0xff])
                   for i in range(TABLE - held)]
        for _ in range(5):
            sw.send("acc1", *[broadcast_from(s) for s in sources])
            sw.drain()
            if sw.counters("ge0/1")["learned"] >= on_ge01 + len(sources):
                break
        self.assertEqual(sw.counters("ge0/1")["learned"], on_ge01 + len(sources))
        want = {s.hex(":") for s in sources}
        stop = threading.Event()

        def churn():
            moved = [broadcast_from(s) for s in sources[:1000]]
            while not stop.is_set():
                sw.send("acc2", *moved)
                sw.send("acc1", *moved)
                sw.drain()
        mover = threading.Thread(target=churn)
        mover.start()
        try:
            outs = [os.path.join(sw.lab.tmp, "macs%d.txt" % i) for i in range(READERS)]
            cmd = " ".join([sw.app("l2ptctl"), "--run-dir", sw.run_dir, "macs"])
            shells = [cmd + " > " + o for o in outs]
            # A slow reader: the pipe fills and l2ptctl stops reading for seconds.
            shells[1] = cmd + " | (sleep 3; cat > %s)" % outs[1]
            readers = [subprocess.Popen(["sh", "-c", c]) for c in shells]
            for r in readers:
                self.assertEqual(r.wait(120), 0)
        finally:
            stop.set()
            mover.join()
        for i, out in enumerate(outs):
            got = set(MAC_LINE.findall(Path(out).read_text()))
            with self.subTest(reader=i):
                self.assertEqual(len(want - got), 0, "entries missing")
        self.assertNotIn("fenced", sw.daemon_log()[log_before:])
        self.assertEqual(sw.ctl("status").returncode, 0, "the primary is still ready")
        self.assertGreater(sw.counters("ge0/2")["learn_moves"], 0)


if __name__ == "__main__":
    netns.main(sys.modules[__name__], lambda _: netns.require_privilege())
