#!/usr/bin/env python3
"""The chassis daemon as a service: its files, a second daemon, the log, its state
(ServiceTest, no privilege); as other users, with its capabilities and the unit's confinement
(RootServiceTest); who may run what (AccessTest); its descriptors run out (DescriptorsTest).
The last three need root and fail, saying so, without it.

    tests/net/test_service.py --build BUILD_DIR [ServiceTest | RootServiceTest | ...]
"""

import ctypes
import errno
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

BUILD = None
CHASSIS = """
chassis: {name: svc}
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 1-3, name: "ge0/{n}"}%s]}
vlans: [{id: 100, name: vl100}, {id: 200, name: vl200}]
tunnelling:
  vlans:
    - {vlan: vl100, protocols: [stp], ports: [{port: ge0/1}]}
    - {vlan: vl200, protocols: [stp], ports: [{port: ge0/2}]}
"""
LO_PORT = ", {number: 4, name: ge0/4, netdev: lo}"  # a port the daemon can attach anywhere


UNIT = Path(__file__).resolve().parents[2] / "packaging/systemd/l2pt-chassisd@.service"


def unit_settings():
    return dict(line.split("=", 1) for line in UNIT.read_text().splitlines()
                if "=" in line and not line.startswith("#"))


def restrict_families(families):
    """A seccomp filter, for preexec_fn, as RestrictAddressFamilies= sets one: socket() of any
    other family fails with EAFNOSUPPORT. x86-64 only."""
    allowed = [getattr(socket, f) for f in families]
    ld_w_abs, jeq_k, ret_k = 0x20, 0x15, 0x06
    allow, refuse = 0x7fff0000, 0x00050000 | errno.EAFNOSUPPORT  # RET_ALLOW, RET_ERRNO
    audit_arch_x86_64, nr_socket = 0xc000003e, 41
    n = len(allowed)
    # Jumps count from the next instruction; the last one allows.
    prog = [(ld_w_abs, 0, 0, 4), (jeq_k, 0, n + 4, audit_arch_x86_64),
            (ld_w_abs, 0, 0, 0), (jeq_k, 0, n + 2, nr_socket),
            (ld_w_abs, 0, 0, 16)]
    prog += [(jeq_k, n - i, 0, fam) for i, fam in enumerate(allowed)]
    prog += [(ret_k, 0, 0, refuse), (ret_k, 0, 0, allow)]
    # struct sock_filter {u16 code; u8 jt, jf; u32 k}; struct sock_fprog {u16 len; filter *}.
    filters = ctypes.create_string_buffer(b"".join(struct.pack("=HBBI", *f) for f in prog))
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_no_new_privs, pr_set_seccomp, seccomp_mode_filter = 38, 22, 2

    def install():
        fprog = struct.pack("=H6xQ", len(prog), ctypes.addressof(filters))
        if libc.prctl(pr_set_no_new_privs, 1, 0, 0, 0) != 0 or \
                libc.prctl(pr_set_seccomp, seccomp_mode_filter, fprog, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "seccomp")
    return install


def memory_cgroup(limit):
    """A memory cgroup of the test's own (v1) limited to limit ("128M"); its directory."""
    mine = [line.split(":", 2)[2] for line in Path("/proc/self/cgroup").read_text().splitlines()
            if ":memory:" in line]
    if not mine:
        raise AssertionError("no memory cgroup (v1) to confine the daemon to MemoryMax= in")
    path = tempfile.mkdtemp(prefix="l2pt-svc-", dir="/sys/fs/cgroup/memory" + mine[0])
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    Path(path, "memory.limit_in_bytes").write_text(str(int(limit[:-1]) * units[limit[-1]]))
    return path


def Daemon(cleanup, netdev=""):
    """A daemon's files (its ports those of CHASSIS and netdev), gone again through cleanup."""
    d = netns.Daemon(BUILD, CHASSIS % netdev)
    cleanup(d.close)
    return d

class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.d = Daemon(self.addCleanup)

    def test_a_symlinked_run_directory_is_refused_and_its_target_untouched(self):
        target = os.path.join(self.d.tmp, "elsewhere")
        os.mkdir(target, 0o755)
        os.symlink(target, os.path.join(self.d.tmp, "link"))
        err = self.d.refusal(run_dir=os.path.join(self.d.tmp, "link"))
        self.assertRegex(err, r"<3>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z cannot start: .* is a "
                              r"symbolic link")
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o755)
        self.assertEqual(os.listdir(target), [])

    def test_a_corrupt_state_file_is_set_aside_and_a_second_daemon_refused(self):
        os.makedirs(os.path.dirname(self.d.state), 0o750)
        Path(self.d.state).write_text("vlans: [{vlan: vl100, protocols: [stp]\n")
        first = self.d.start()
        err = self.d.refusal()
        self.assertIn("in use by l2pt-chassisd pid %d" % first.pid, err)
        self.assertIn("chassis svc", self.d.ctl("status").stdout)  # the first one's ctl.sock kept
        self.d.task()
        self.assertIn("200   STP", self.d.ctl("show").stdout)
        self.assertIn("state file set aside as %s.bad-" % self.d.state, self.d.stop(first))
        self.assertEqual(sorted(os.listdir(self.d.run_dir)), ["chassis.yaml"])

    def test_the_state_and_an_edited_chassis_file_take_effect_and_sighup_reopens_the_log(self):
        p = self.d.start()
        netns.exited(self.d.ctl("lag", "add", "vl100", "ge0/1"), 2)
        self.assertFalse(os.path.exists(self.d.state))  # nothing refused is saved
        netns.exited(self.d.ctl("vlan", "add", "vl100", "--proto", "lldp", "--port",
                                "ge0/3:core"), 0)
        self.assertIn("{port: ge0/3, mode: core}", Path(self.d.state).read_text())
        self.d.stop(p)
        text = Path(self.d.chassis).read_text()
        Path(self.d.chassis).write_text(text.replace("{vlan: vl200, protocols: [stp]",
                                                     "{vlan: vl200, protocols: [pvst]"))
        p = self.d.start("--log", self.d.log)
        task = self.d.task()
        show = self.d.ctl("show").stdout
        self.assertRegex(show, r"100 +STP,LLDP")
        self.assertIn("ge0/3", show)
        self.assertRegex(show, r"200 +PVST")

        os.rename(self.d.log, self.d.log + ".1")
        for proc in (p, task):
            proc.send_signal(signal.SIGHUP)
        netns.wait_for("the reopened log", lambda: os.path.exists(self.d.log))
        self.assertEqual(self.d.ctl("rate", "set", "vl200", "64").returncode, 0)
        self.d.assert_alive(p)
        self.assertIsNone(task.poll(), "l2ptd ended on SIGHUP")
        new = Path(self.d.log).read_text()
        self.assertIn("task session 1", Path(self.d.log + ".1").read_text())
        self.assertNotIn("task session 1", new)
        self.assertRegex(new.splitlines()[0],
                         r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z info: log file .* reopened$")


class RootServiceTest(unittest.TestCase):
    def test_the_daemon_runs_confined_as_its_unit_confines_it(self):
        # Its address families, /proc as ProtectProc= and ProcSubset= leave it, its MemoryMax=;
        # a port on lo, so that the pipeline, rtnetlink, packet sockets and task link are used.
        unit = unit_settings()
        d = Daemon(self.addCleanup, LO_PORT)
        # The task's link needs a user and a network namespace: a daemon whose own user
        # namespace allows none below it refuses to start, saying so.
        no_userns = 'echo 0 > /proc/sys/user/max_user_namespaces && exec "$@"'
        err = d.refusal(prefix=["unshare", "--user", "--map-root-user", "-n", "sh", "-c",
                                no_userns, "sh"])
        self.assertIn("the task link: a user and network namespace of its own: allow the daemon "
                      "user namespaces", err)
        cgroup = memory_cgroup(unit["MemoryMax"])
        self.addCleanup(os.rmdir, cgroup)
        confine = restrict_families(unit["RestrictAddressFamilies"].split())
        proc = ('mount -t proc -o hidepid=invisible,subset=pid proc /proc && '
                'mount -t bpf bpf /sys/fs/bpf && '  # its pins its own, gone with it
                'echo $$ > %s/cgroup.procs && exec "$@"' % cgroup)
        p = d.start(prefix=["unshare", "-n", "-m", "sh", "-c", proc, "sh"], preexec=confine)
        t = d.task()
        err = d.stop(p)
        self.assertRegex(err, r"task session \d+ granted the data path")
        self.assertNotIn("Address family not supported", err)
        peak = int(Path(cgroup, "memory.max_usage_in_bytes").read_text())
        self.assertEqual(int(Path(cgroup, "memory.failcnt").read_text()), 0,
                         "the daemon reached MemoryMax")
        print("the daemon's peak memory in its cgroup: %.1f MiB" % (peak / 2**20), file=sys.stderr)
        d.stop(t)  # it would wait for the next daemon

    def test_a_task_holding_on_to_its_rings_never_takes_the_daemon_to_its_limit(self):
        # Each grant's ring is charged to the daemon's memory cgroup until every holder lets
        # go. A task (the test's own) that keeps every ring it is granted is refused a new one
        # short of the limit, and granted again once it lets go.
        d = Daemon(self.addCleanup, LO_PORT)
        cgroup = memory_cgroup("1G")
        self.addCleanup(os.rmdir, cgroup)
        p = d.start(prefix=["unshare", "-n", "-m", "sh", "-c",
                            'mount -t bpf bpf /sys/fs/bpf && echo $$ > %s/cgroup.procs && '
                            'exec "$@"' % cgroup, "sh"])
        # A limit that leaves rings 12 MiB past what the daemon holds now, whatever its build
        # (a sanitizer's holds several times more): rings may take the cgroup to 3/4 of it.
        used = int(Path(cgroup, "memory.usage_in_bytes").read_text())
        Path(cgroup, "memory.limit_in_bytes").write_text(str((used + (12 << 20)) * 4 // 3))
        control, _, session = netns.task_channel(d.run_dir, netns.hello(1))
        self.addCleanup(control.close)

        def granted():
            """The descriptors of the next grant on a new data-path channel, or none in time."""
            dp = netns.wait_for("the data path open", lambda: (
                c := netns.task_channel(d.run_dir, netns.hello(6, session)))[1] == 0 and c[0])
            try:
                while True:  # a grant deferred (3) comes later on the same channel
                    msg, fds, _, _ = socket.recv_fds(dp, 64, 8)
                    if struct.unpack("!I", msg[:4])[0] == 1:
                        return fds
                    list(map(os.close, fds))
            except TimeoutError:
                return None
            finally:
                dp.close()
        held = []
        while "no room for the task's ring" not in d.out(p) and len(held) < 20 * 5:
            fds = granted()
            if fds is None:
                break
            held += fds
            time.sleep(0.2)  # the revocation's ring made, or refused
        print("rings held by the task when refused one: %d" % (len(held) // 5), file=sys.stderr)
        self.assertIn("no room for the task's ring: the daemon's memory cgroup holds", d.out(p))
        self.assertEqual(int(Path(cgroup, "memory.failcnt").read_text()), 0,
                         "the daemon reached its limit")
        list(map(os.close, held))
        fds = granted()
        self.assertIsNotNone(fds, "no grant once the task let go")
        list(map(os.close, fds))
        d.stop(p)  # out of the cgroup before it goes

    def test_an_unprivileged_daemon_needs_only_its_capabilities(self):
        # A port on lo in a network namespace of its own, the daemon as nobody.
        d = Daemon(self.addCleanup, LO_PORT)
        state_dir = os.path.dirname(d.state)
        for path in (d.run_dir, state_dir):
            os.mkdir(path, 0o700)
            os.chown(path, 65534, 65534)
        self.assertIn("belongs to uid 65534, not to the daemon's user", d.refusal())  # as root

        def as_nobody(caps):
            return ["unshare", "-n", *as_user(65534)] + ["--%s=-all%s" % (s, caps) for s in (
                "inh-caps", "ambient-caps", "bounding-set")]
        err = d.refusal(prefix=as_nobody(""))
        self.assertIn("needs CAP_NET_RAW for packet sockets on the ports' interfaces (lo)", err)
        err = d.refusal(prefix=as_nobody(",+net_raw"))
        self.assertIn("needs CAP_NET_ADMIN for the kernel pipeline at the ports' interfaces", err)
        self.assertIn("needs CAP_BPF", d.refusal(prefix=as_nobody(",+net_raw,+net_admin")))
        p = d.start(prefix=as_nobody(",+net_raw,+net_admin,+bpf"))
        self.assertEqual(os.stat(os.path.join(d.run_dir, "ctl.sock")).st_uid, 65534)
        self.assertEqual(d.ctl("status").returncode, 1)  # root may ask: no task yet
        # The task as the daemon's user without a capability: the data path it is granted
        # (the trap ring, the packet socket, the tables' views) serves it all the same.
        t = d.task(prefix=as_nobody("")[2:])
        # Changes the daemon cannot save (its state directory read-only under it) run, are
        # reported, and are saved with the next one.
        os.chmod(state_dir, 0o500)
        for change in (("vlan", "add", "vl100", "--proto", "lldp", "--port", "ge0/3:core"),
                       ("learning", "port", "ge0/4", "--limit", "7"),
                       ("learning", "vlan", "200", "--limit", "9")):
            netns.exited(d.ctl(*change), 1, "the change runs but is not saved (cannot write %s: "
                         "Permission denied): it is lost when the daemon restarts" % d.state)
        self.assertFalse(os.path.exists(d.state))
        self.assertIn('l2pt_learn_limit{port="ge0/4"} 7', d.ctl("metrics").stdout)  # it runs
        os.chmod(state_dir, 0o700)
        netns.exited(d.ctl("rate", "set", "vl200", "64"), 0)
        state = Path(d.state).read_text()
        for saved in ("{port: ge0/3, mode: core}", "{port: ge0/4, limit: 7}",
                      "{vlan: 200, limit: 9}", "vl200"):
            self.assertIn(saved, state)  # the changes before, saved now
        err = d.stop(p)
        self.assertEqual(err.count("the change runs but is not saved"), 3, err)
        self.assertNotIn("capabilities lacking", err)
        self.assertRegex(err, r"task session \d+ granted the data path")
        # The task outlives its daemon, relaying until the next one serves, until SIGTERM ends it.
        netns.wait_for("the task relaying", lambda: "relaying PDUs on the data path it granted "
                       "until a daemon serves" in d.out(t))
        task_err = d.stop(t)
        self.assertEqual(t.returncode, -signal.SIGTERM)
        self.assertIn("ending: signal 15", task_err)
        self.assertIn("data path granted", task_err)
        self.assertNotIn("cannot be used", task_err)


OPERATORS = "nogroup"
OPERATORS_GID = 65534
OPERATOR = 65534   # a member of the operators' group by its own gid
OUTSIDER = 65533   # in no group of the daemon's
TASK = 65532       # the task's user, in the task's group by its own gid, and an operator


MAX_CLIENTS = 6


def as_user(user, groups=()):
    """setpriv as user (its gid the same number) with groups as its supplementary groups."""
    extra = ["--groups=" + ",".join(map(str, groups))] if groups else ["--clear-groups"]
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, *extra]


AS_TASK = as_user(TASK, [OPERATORS_GID])


def may(prefix, code):
    """Whether the Python statements code succeed as prefix's user (no PermissionError)."""
    r = subprocess.run([*prefix, sys.executable, "-c", "import os, socket, sys\ntry: exec(%r)\n"
                        "except PermissionError: sys.exit(13)" % code],
                       capture_output=True, text=True, timeout=30)
    if r.returncode not in (0, 13):
        raise AssertionError(r.stderr)
    return r.returncode == 0


class AccessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = Daemon(cls.addClassCleanup)  # gone also when what follows fails
        cls.proc = cls.d.start("--group", OPERATORS, "--task-group", str(TASK),
                               "--max-clients", str(MAX_CLIENTS))
        cls.d.task(prefix=AS_TASK)

    def test_operators_and_the_tasks_group_read_but_do_not_change(self):
        # Through the modes the daemon gave the run directory and ctl.sock (0750, 0660); the
        # task's group whoever is in it, root too.
        spool = tempfile.TemporaryDirectory()
        os.chmod(spool.name, 0o1777)
        for n, (group, prefix) in enumerate((("the operators' group", as_user(OPERATOR)),
                                             ("the task's group", AS_TASK),
                                             ("the task's group",
                                              ["setpriv", "--groups=%d" % TASK]))):
            for read in ("status", "show", "metrics"):
                self.assertEqual(self.d.ctl(read, prefix=prefix).returncode, 0, (prefix, read))
            # Customers' frames are not the task's to read; an operator's capture goes on to
            # find no interface in this chassis.
            r = self.d.ctl("capture", "ge0/1", os.path.join(spool.name, "%d.pcap" % n),
                           "--count", "1", prefix=prefix)
            netns.exited(r, *((5, "the task's group may not read the ports' frames")
                              if group == "the task's group" else (2, "no port with a netdev")))
            for change in (("tunnel-mac", "default"), ("shell", "get", "l2ptVmanPt"),
                           ("card", "down", "0"), ("learning", "port", "ge0/1", "--limit", "1"),
                           ("storm", "ge0/1", "broadcast", "10"), ("pdu-rate", "all", "10")):
                netns.exited(self.d.ctl(*change, prefix=prefix), 5,
                             "refused by the daemon (%s may only run read-only" % group)
        self.assertEqual(self.d.ctl("tunnel-mac", "default").returncode, 0)  # root may
        netns.exited(self.d.ctl("learning", "port", "ge0/1", "--limit", "1"), 1,
                     "no line cards in the kernel")  # with no pipeline to take it
        self.assertEqual(self.d.ctl("storm", "ge0/1", "broadcast", "10").returncode, 0)

    def test_what_the_run_directory_lets_each_user_do(self):
        run, pid = self.d.run_dir, self.proc.pid
        for name, mode, gid in (("", 0o750, OPERATORS_GID), ("ctl.sock", 0o660, OPERATORS_GID),
                                ("task.sock", 0o660, TASK), ("chassis.yaml", 0o640, TASK),
                                ("chassisd.pid", 0o644, 0)):  # the run directory and its files
            st = os.lstat(os.path.join(run, name))
            self.assertEqual((oct(st.st_mode & 0o7777), st.st_uid, st.st_gid),
                             (oct(mode), 0, gid), name or run)
        connect = "socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET).connect(%r)"
        code = {"write": "open(%r, 'w')" % os.path.join(run, "mine"),
                "read chassis": "open(%r).read()" % os.path.join(run, "chassis.yaml"),
                "task.sock": connect % os.path.join(run, "task.sock"),
                "ctl.sock": connect % os.path.join(run, "ctl.sock"),
                "signal": "os.kill(%d, 0)" % pid}
        task, operator, outsider = AS_TASK, as_user(OPERATOR), as_user(OUTSIDER)
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

    def hold(self, prefix, count):
        """count connections of prefix's user, each tracing (a trace never ends), held until
        the test ends; the refusals the daemon answered them with."""
        p = subprocess.Popen([*prefix, sys.executable, "-c", (
            "import socket, struct, sys, time\nheld = []\n"
            "for _ in range(%d):\n"
            "    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
            "    s.connect(%r)\n"
            "    s.send(struct.pack('>IHHIHH', 0x4c325043, 1, 1, 1, 0, 5) + b'trace')\n"
            "    held.append(s)\n"
            "time.sleep(0.5)\n"
            "for s in held:\n"
            "    s.setblocking(False)\n"
            "    try: d = s.recv(4096)\n"
            "    except BlockingIOError: continue\n"
            "    except ConnectionResetError: d = s.recv(4096)\n"  # the request went unread
            "    if d[4:5] == b'r': print(d[5:].decode(errors='replace'))\n"
            "print('held', flush=True)\nsys.stdin.read()") % (
                count, os.path.join(self.d.run_dir, "ctl.sock"))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(p.wait, 10)
        self.addCleanup(p.stdin.close)
        refusals = []
        for line in p.stdout:
            if line == "held\n":
                return refusals
            refusals.append(line.strip())
        self.fail("the holding process ended: %s" % refusals)

    def test_neither_the_task_nor_operators_holding_connections_keep_others_out(self):
        # The task's user holds no more than its share; operators then hold the rest, and an
        # administrator still gets in.
        self.assertEqual(self.hold(AS_TASK, MAX_CLIENTS),
                         ["4 clients of the task's group connected already"] * (MAX_CLIENTS - 4))
        self.assertEqual(self.hold(as_user(OPERATOR), MAX_CLIENTS - 4), [])
        netns.exited(self.d.ctl("status", prefix=as_user(OPERATOR)), 5,
                     "%d clients connected already" % MAX_CLIENTS)
        netns.exited(self.d.ctl("status"), 0)

    def test_others_are_stopped_by_the_modes_or_refused_by_the_daemon(self):
        netns.exited(self.d.ctl("status", prefix=as_user(OUTSIDER)), 4, "permission denied")
        # Opened up by a careless administrator (and put back for the other tests), the daemon
        # itself refuses an outsider ctl.sock and an operator task.sock.
        ctl, task = (os.path.join(self.d.run_dir, n) for n in ("ctl.sock", "task.sock"))
        modes = {path: os.stat(path).st_mode & 0o7777 for path in (self.d.run_dir, ctl, task)}
        os.chmod(self.d.run_dir, 0o755)
        os.chmod(ctl, 0o777)
        os.chmod(task, 0o666)
        try:
            r = self.d.ctl("status", prefix=as_user(OUTSIDER))
            refusal = may(as_user(OPERATOR), (
                "s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
                "s.connect(%r)\nprint(s.recv(4096))") % task)
        finally:
            for path, mode in modes.items():
                os.chmod(path, mode)
        netns.exited(r, 5, "refused by the daemon (not root, the daemon's user or in its "
                     "operators'")
        self.assertTrue(refusal)
        out = self.d.out(self.proc)
        self.assertIn("refused a connection on ctl.sock from pid", out)
        self.assertIn("uid %d" % OUTSIDER, out)
        self.assertIn("refused a connection on task.sock from pid", out)
        self.assertIn("uid %d: not root, the daemon's user or in the task's group" % OPERATOR, out)
        netns.exited(self.d.ctl("status", run_dir=os.path.join(self.d.tmp, "nowhere")), 3,
                     "no daemon at")


class DescriptorsTest(unittest.TestCase):
    def test_no_spin_when_descriptors_run_out_and_service_resumes(self):
        d = Daemon(self.addCleanup)
        p = d.start(prefix=["prlimit", "--nofile=24:24"])
        clients = [socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) for _ in range(60)]
        for s in clients:
            self.addCleanup(s.close)
            s.setblocking(False)
            s.connect_ex(os.path.join(d.run_dir, "ctl.sock"))  # once the backlog is full: EAGAIN
        netns.wait_for("descriptors to run out", lambda: "cannot accept" in d.out(p))
        before, start = netns.cpu_seconds(p.pid), time.monotonic()
        time.sleep(1.5)
        busy = (netns.cpu_seconds(p.pid) - before) / (time.monotonic() - start)
        print("daemon CPU while out of descriptors: %.1f %%" % (busy * 100), file=sys.stderr)
        self.assertLess(busy, 0.1)
        for s in clients:
            s.close()
        r = netns.wait_for("service again", lambda: (r := d.ctl("status")).returncode == 1 and r)
        self.assertIn("no task connected", r.stdout)
        self.assertIn("accepting again", d.out(p))

    def test_a_data_path_that_could_not_be_built_is_built_once_descriptors_are_back(self):
        # A port on lo, so that the primary is granted a data path; the task the test's own.
        d = Daemon(self.addCleanup, LO_PORT)
        p = d.start(prefix=["unshare", "-n", "-m", "sh", "-c",
                            'mount -t bpf bpf /sys/fs/bpf && exec "$@"', "sh"])

        def channel(kind, session=0):
            s, status, session = netns.task_channel(d.run_dir, netns.hello(kind, session))
            self.addCleanup(s.close)
            self.assertEqual(status, 0)
            return s, session
        _, session = channel(1)
        # Three descriptors left, for the data-path channel, rtnetlink and one more (not fewer:
        # the sanitizers' runtime needs a pipe), so that the task link's socket pair cannot be had.
        limit = resource.prlimit(p.pid, resource.RLIMIT_NOFILE)
        held = {int(n) for n in os.listdir("/proc/%d/fd" % p.pid)}
        free = (n for n in range(limit[0]) if n not in held)
        for _ in range(3):
            next(free)
        resource.prlimit(p.pid, resource.RLIMIT_NOFILE, (next(free), limit[1]))
        data_path, _ = channel(6, session)
        netns.wait_for("the grant failed", lambda: "no data path" in d.out(p))
        time.sleep(1.0)  # tried again meanwhile, logged once
        self.assertEqual(d.out(p).count("no data path"), 1, d.out(p))
        resource.prlimit(p.pid, resource.RLIMIT_NOFILE, limit)
        msg, fds, _, _ = socket.recv_fds(data_path, 64, 8)
        list(map(os.close, fds))
        self.assertEqual((struct.unpack("!I", msg[:4])[0], len(fds)), (1, 5))
        # The grant is sent before it is logged.
        granted = re.compile(r"task session %d granted the data path \(generation \d+\) "
                             r"after \d+ failed attempt" % session)
        netns.wait_for("the grant logged", lambda: granted.search(d.out(p)))
        self.assertIsNone(p.poll())


if __name__ == "__main__":
    # All but ServiceTest need root, or themselves again through sudo.
    netns.main(sys.modules[__name__],
               lambda tests: tests != ["ServiceTest"] and netns.require_privilege())
