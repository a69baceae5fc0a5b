#!/usr/bin/env python3
"""The chassis daemon's doors, as root: who may run what (the operators' group reads, root
and the daemon's user change), what l2ptctl says when it cannot get through, and a daemon whose
descriptors run out waiting quietly and serving again. No interfaces: a daemon and l2ptd alone.

    tests/net/test_daemon.py --build BUILD_DIR
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None
CHASSIS = """
chassis: {name: doors, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [{range: 1-2, name: "ge0/{n}", vlan: 100}]}
vlans: [{id: 100, name: vl100}]
tunnelling:
  vlans: [{vlan: vl100, protocols: [stp], ports: [{port: ge0/1, mode: access}]}]
"""
OPERATORS = "nogroup"
OPERATOR = 65534   # a member of the operators' group by its own gid
OUTSIDER = 65533   # in no group of the daemon's


class Daemon:
    def __init__(self, extra=(), prefix=()):
        self.tmp = tempfile.mkdtemp(prefix="l2pt-doors-")
        os.chmod(self.tmp, 0o755)
        chassis = os.path.join(self.tmp, "chassis.yaml")
        with open(chassis, "w") as f:
            f.write(CHASSIS)
        self.run_dir = os.path.join(self.tmp, "run")
        self.log = os.path.join(self.tmp, "daemon.log")
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen(
                list(prefix) + [os.path.join(BUILD, "app", "l2pt-chassisd"), "--chassis", chassis,
                                "--run-dir", self.run_dir, "--state",
                                os.path.join(self.tmp, "lib", "state.yaml")] + list(extra),
                stdout=out, stderr=subprocess.STDOUT)
        self.task = None
        netns.wait_for("the daemon's sockets",
                       lambda: os.path.exists(os.path.join(self.run_dir, "ctl.sock")))

    def start_task(self):
        self.task = subprocess.Popen([os.path.join(BUILD, "app", "l2ptd"), "--chassis",
                                      self.run_dir], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        netns.wait_for("a ready task", lambda: self.ctl("status").returncode == 0)

    def ctl(self, *args, user=None, run_dir=None):
        cmd = [os.path.join(BUILD, "app", "l2ptctl"), "--run-dir", run_dir or self.run_dir]
        if user is not None:
            cmd = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + cmd
        return subprocess.run(cmd + list(args), capture_output=True, text=True, timeout=30)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def text(self):
        with open(self.log) as f:
            return f.read()

    def close(self):
        for p in (self.task, self.proc):
            if p is not None and p.poll() is None:
                p.terminate()
                p.wait(5)
        shutil.rmtree(self.tmp, ignore_errors=True)


class AccessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Daemon(["--group", OPERATORS])
        cls.d.start_task()

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def test_operators_read_but_do_not_change(self):
        # Through the modes the daemon gave the run directory and ctl.sock (0750, 0660).
        self.assertEqual(self.d.ctl("show", user=OPERATOR).returncode, 0)
        self.assertEqual(self.d.ctl("metrics", user=OPERATOR).returncode, 0)
        for change in (("tunnel-mac", "default"), ("shell", "get", "l2ptVmanPt"),
                       ("card", "down", "0"), ("storm", "ge0/1", "broadcast", "10"),
                       ("pdu-rate", "all", "10")):
            r = self.d.ctl(*change, user=OPERATOR)
            self.assertEqual(r.returncode, 5, change)
            self.assertIn("refused by the daemon (the operators' group may only run read-only",
                          r.stderr)
        self.assertEqual(self.d.ctl("tunnel-mac", "default").returncode, 0)  # root may
        self.assertEqual(self.d.ctl("storm", "ge0/1", "broadcast", "10").returncode, 0)
        r = self.d.ctl("do", "card", "down", "0")
        self.assertEqual(r.returncode, 5)
        self.assertIn("--lab", r.stderr)

    def test_others_are_stopped_by_the_modes_or_refused_by_the_daemon(self):
        r = self.d.ctl("status", user=OUTSIDER)
        self.assertEqual(r.returncode, 4)
        self.assertIn("permission denied", r.stderr)
        # Opened up by a careless administrator: the daemon's own check refuses.
        sock = os.path.join(self.d.run_dir, "ctl.sock")
        os.chmod(self.d.run_dir, 0o755)
        os.chmod(sock, 0o777)
        try:
            r = self.d.ctl("status", user=OUTSIDER)
        finally:
            os.chmod(self.d.run_dir, 0o750)
            os.chmod(sock, 0o660)
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertIn("refused by the daemon (not root, the daemon's user or in its operators'",
                      r.stderr)
        self.assertIn("refused a connection on ctl.sock from pid", self.d.text())
        self.assertIn("uid %d" % OUTSIDER, self.d.text())
        r = self.d.ctl("status", run_dir=os.path.join(self.d.tmp, "nowhere"))
        self.assertEqual(r.returncode, 3)
        self.assertIn("no daemon at", r.stderr)


class DescriptorsTest(unittest.TestCase):
    def test_no_spin_when_descriptors_run_out_and_service_resumes(self):
        d = Daemon(prefix=["prlimit", "--nofile=24:24"])
        clients = []
        try:
            for _ in range(60):
                s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                s.setblocking(False)
                try:
                    s.connect(os.path.join(d.run_dir, "ctl.sock"))
                except BlockingIOError:
                    pass  # the backlog is full: this one waits in no queue
                clients.append(s)
            netns.wait_for("descriptors to run out", lambda: "cannot accept" in d.text())
            before, start = d.cpu_seconds(), time.monotonic()
            time.sleep(1.5)
            busy = (d.cpu_seconds() - before) / (time.monotonic() - start)
            print("daemon CPU while out of descriptors: %.1f %%" % (busy * 100),
                  file=sys.stderr)
            self.assertLess(busy, 0.1)
            for s in clients:
                s.close()
            clients = []
            r = netns.wait_for("service again", lambda: (lambda r: r if r.returncode == 1
                                                         else None)(d.ctl("status")))
            self.assertIn("no task connected", r.stdout)
            self.assertIn("accepting again", d.text())
        finally:
            for s in clients:
                s.close()
            d.close()


if __name__ == "__main__":
    netns.main(sys.modules[__name__], lambda _: netns.require_privilege())
