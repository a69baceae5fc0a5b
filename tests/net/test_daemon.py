#!/usr/bin/env python3
"""The chassis daemon's doors, as root: who may run what (the operators' group and the task's
read, root and the daemon's user change), what the run directory's modes let each user do, what
l2ptctl says when it cannot get through, and a daemon whose descriptors run out waiting quietly
and serving again. No interfaces: a daemon and l2ptd alone.

    tests/net/test_daemon.py --build BUILD_DIR
"""

import os
import socket
import subprocess
import sys
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
OPERATORS_GID = 65534
OPERATOR = 65534   # a member of the operators' group by its own gid
OUTSIDER = 65533   # in no group of the daemon's
TASK = 65532       # the task's user, in the task's group by its own gid, and an operator


def as_user(user, groups=()):
    """setpriv as user (its gid the same number) with groups as its supplementary groups."""
    extra = ["--groups=" + ",".join(map(str, groups))] if groups else ["--clear-groups"]
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, *extra]


def as_task():
    return as_user(TASK, [OPERATORS_GID])


def may(prefix, code):
    """Whether the Python statements code succeed as prefix's user."""
    r = subprocess.run([*prefix, sys.executable, "-c", code], capture_output=True, text=True,
                       timeout=30)
    if r.returncode not in (0, 13):
        raise AssertionError(r.stderr)
    return r.returncode == 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class AccessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = netns.Daemon(BUILD, CHASSIS)
        cls.proc = cls.d.start("--group", OPERATORS, "--task-group", str(TASK))
        cls.d.task(prefix=as_task())

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def test_operators_and_the_tasks_group_read_but_do_not_change(self):
        # Through the modes the daemon gave the run directory and ctl.sock (0750, 0660); the
        # task's group whoever is in it, root too.
        for group, prefix in (("the operators' group", as_user(OPERATOR)),
                              ("the task's group", as_task()),
                              ("the task's group", ["setpriv", "--groups=%d" % TASK])):
            for read in ("status", "show", "metrics"):
                self.assertEqual(self.d.ctl(read, prefix=prefix).returncode, 0, (prefix, read))
            for change in (("tunnel-mac", "default"), ("shell", "get", "l2ptVmanPt"),
                           ("card", "down", "0"), ("learning", "port", "ge0/1", "--limit", "1"),
                           ("storm", "ge0/1", "broadcast", "10"), ("pdu-rate", "all", "10")):
                r = self.d.ctl(*change, prefix=prefix)
                self.assertEqual(r.returncode, 5, (prefix, change))
                self.assertIn("refused by the daemon (%s may only run read-only" % group, r.stderr)
        self.assertEqual(self.d.ctl("tunnel-mac", "default").returncode, 0)  # root may
        r = self.d.ctl("learning", "port", "ge0/1", "--limit", "1")  # with no pipeline to take it
        self.assertEqual(r.returncode, 1)
        self.assertIn("no line cards in the kernel", r.stderr)
        self.assertEqual(self.d.ctl("storm", "ge0/1", "broadcast", "10").returncode, 0)
        r = self.d.ctl("do", "card", "down", "0")
        self.assertEqual(r.returncode, 5)
        self.assertIn("--lab", r.stderr)

    def test_what_the_run_directory_lets_each_user_do(self):
        run, pid = self.d.run_dir, self.proc.pid
        rows = [  # (path, mode, group)
            (run, 0o750, OPERATORS_GID),
            (os.path.join(run, "ctl.sock"), 0o660, OPERATORS_GID),
            (os.path.join(run, "task.sock"), 0o660, TASK),
            (os.path.join(run, "chassis.yaml"), 0o640, TASK),
            (os.path.join(run, "chassisd.pid"), 0o644, 0),
        ]
        for path, mode, gid in rows:
            st = os.lstat(path)
            self.assertEqual((oct(st.st_mode & 0o7777), st.st_uid, st.st_gid),
                             (oct(mode), 0, gid), path)
        def attempt(statement):
            return "import os, socket, sys\ntry: %s\nexcept PermissionError: sys.exit(13)" % (
                statement)
        connect = "socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET).connect(%r)"
        code = {"write": attempt("open(%r, 'w')" % os.path.join(run, "mine")),
                "read chassis": attempt("open(%r).read()" % os.path.join(run, "chassis.yaml")),
                "task.sock": attempt(connect % os.path.join(run, "task.sock")),
                "ctl.sock": attempt(connect % os.path.join(run, "ctl.sock")),
                "signal": attempt("os.kill(%d, 0)" % pid)}
        task, operator, outsider = as_task(), as_user(OPERATOR), as_user(OUTSIDER)
        rows = [  # (who, what, allowed)
            (task, "task.sock", True), (task, "read chassis", True), (task, "ctl.sock", True),
            (task, "write", False), (task, "signal", False),
            (operator, "ctl.sock", True), (operator, "task.sock", False),
            (operator, "read chassis", False), (operator, "write", False),
            (outsider, "ctl.sock", False), (outsider, "read chassis", False),
        ]
        for who, what, allowed in rows:
            self.assertEqual(may(who, code[what]), allowed, (who, what))
        self.assertFalse(os.path.exists(os.path.join(run, "mine")))

    def test_task_sock_is_refused_to_who_is_not_in_the_tasks_group(self):
        # Opened up by a careless administrator: the daemon's own check refuses.
        sock = os.path.join(self.d.run_dir, "task.sock")
        os.chmod(sock, 0o666)
        try:
            refusal = may(as_user(OPERATOR), (
                "import socket\ns = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
                "s.connect(%r)\nprint(s.recv(4096))") % sock)
        finally:
            os.chmod(sock, 0o660)
        self.assertTrue(refusal)
        self.assertIn("refused a connection on task.sock from pid", self.d.out(self.proc))
        self.assertIn("uid %d: not root, the daemon's user or in the task's group" % OPERATOR,
                      self.d.out(self.proc))

    def test_others_are_stopped_by_the_modes_or_refused_by_the_daemon(self):
        r = self.d.ctl("status", prefix=as_user(OUTSIDER))
        self.assertEqual(r.returncode, 4)
        self.assertIn("permission denied", r.stderr)
        # Opened up by a careless administrator: the daemon's own check refuses.
        sock = os.path.join(self.d.run_dir, "ctl.sock")
        os.chmod(self.d.run_dir, 0o755)
        os.chmod(sock, 0o777)
        try:
            r = self.d.ctl("status", prefix=as_user(OUTSIDER))
        finally:
            os.chmod(self.d.run_dir, 0o750)
            os.chmod(sock, 0o660)
        self.assertEqual(r.returncode, 5, r.stderr)
        self.assertIn("refused by the daemon (not root, the daemon's user or in its operators'",
                      r.stderr)
        self.assertIn("refused a connection on ctl.sock from pid", self.d.out(self.proc))
        self.assertIn("uid %d" % OUTSIDER, self.d.out(self.proc))
        r = self.d.ctl("status", run_dir=os.path.join(self.d.tmp, "nowhere"))
        self.assertEqual(r.returncode, 3)
        self.assertIn("no daemon at", r.stderr)


class DescriptorsTest(unittest.TestCase):
    def test_no_spin_when_descriptors_run_out_and_service_resumes(self):
        d = netns.Daemon(BUILD, CHASSIS)
        p = d.start(prefix=["prlimit", "--nofile=24:24"])
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
            netns.wait_for("descriptors to run out", lambda: "cannot accept" in d.out(p))
            before, start = cpu_seconds(p.pid), time.monotonic()
            time.sleep(1.5)
            busy = (cpu_seconds(p.pid) - before) / (time.monotonic() - start)
            print("daemon CPU while out of descriptors: %.1f %%" % (busy * 100),
                  file=sys.stderr)
            self.assertLess(busy, 0.1)
            for s in clients:
                s.close()
            clients = []
            r = netns.wait_for("service again", lambda: (lambda r: r if r.returncode == 1
                                                         else None)(d.ctl("status")))
            self.assertIn("no task connected", r.stdout)
            self.assertIn("accepting again", d.out(p))
        finally:
            for s in clients:
                s.close()
            d.close()


if __name__ == "__main__":
    netns.main(sys.modules[__name__], lambda _: netns.require_privilege())
