"""Network namespaces, veth pairs, raw sockets and the switch's processes, for the tests that
run the switch on Linux interfaces. Everything made here is removed again by close()."""

import argparse
import ctypes
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

CLONE_NEWNET = 0x40000000
ETH_P_ALL = 0x0003
SOL_PACKET = 263
PACKET_AUXDATA = 8
TP_STATUS_VLAN_VALID = 0x10
TP_STATUS_VLAN_TPID_VALID = 0x40
_libc = ctypes.CDLL(None, use_errno=True)


BPFFS_ENV = "L2PT_TEST_BPFFS"  # set inside the mount namespace private_bpffs made


def require_privilege():
    """Namespaces need CAP_NET_ADMIN: root, or the same test again through sudo."""
    if os.geteuid() == 0:
        return
    if shutil.which("sudo") and subprocess.run(["sudo", "-n", "true"],
                                               capture_output=True).returncode == 0:
        os.execvp("sudo", ["sudo", "-n", "-E", sys.executable] + sys.argv)
    sys.exit("FAILED: this test needs root or passwordless sudo to create network namespaces "
             "and veth pairs (CAP_NET_ADMIN) and to open AF_PACKET sockets (CAP_NET_RAW)")


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True)


def cpu_seconds(pid):
    utime, stime = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[11:13]
    return (int(utime) + int(stime)) / os.sysconf("SC_CLK_TCK")


def wait_for(what, cond, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(step)
    raise AssertionError("timed out waiting for " + what)


def exited(r, code, says=""):
    """r (a finished command) once it is known to have exited code, saying says on stderr."""
    if r.returncode != code or says not in r.stderr:
        raise AssertionError("exit %d, not %d saying %r: %s" % (r.returncode, code, says,
                                                                  r.stdout + r.stderr))
    return r


class Lab:
    """Namespaces and veth pairs named with this process's id, so runs never collide."""

    def __init__(self):
        self.tag = "t%d" % os.getpid()
        self.namespaces = []
        self.procs = []
        self.sockets = []
        self.tmp = tempfile.mkdtemp(prefix="l2pt-net-")

    def netns(self, name):
        ns = "%s-%s" % (self.tag, name)
        run("ip", "netns", "add", ns)
        self.namespaces.append(ns)
        run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")
        run("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.default.disable_ipv6=1")
        return ns

    def veth(self, ns_a, name_a, ns_b, name_b):
        run("ip", "link", "add", name_a, "netns", ns_a, "type", "veth", "peer", "name", name_b,
            "netns", ns_b)
        run("ip", "-n", ns_a, "link", "set", name_a, "up")
        run("ip", "-n", ns_b, "link", "set", name_b, "up")

    def start(self, ns, argv, log, share_mounts=False, preexec=None):
        """argv in namespace ns, output to log. ip netns exec gives the process a /sys of the
        namespace, which hides a bpffs mounted under it; with share_mounts it keeps ours."""
        if not ns:
            cmd = argv
        elif share_mounts:
            cmd = ["nsenter", "--net=/run/netns/" + ns] + argv
        else:
            cmd = ["ip", "netns", "exec", ns] + argv
        with open(log, "ab") as out:
            p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, preexec_fn=preexec)
        p.out = log
        self.procs.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM):
        """Ends p with sig, or kills it 10 s later; what it wrote."""
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return self.out(p)

    @staticmethod
    def out(p):
        return Path(p.out).read_text()

    def close(self):
        for s in self.sockets:
            s.close()
        for p in reversed(self.procs):
            self.stop(p)
        for ns in self.namespaces:
            run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)


def set_up_lab(cls, build):
    """A test class's lab, made once for all its tests (setUpClass) and gone after them, or
    when build fails: cls.lab, and what build(lab) returns."""
    cls.lab = Lab()
    cls.addClassCleanup(cls.lab.close)
    return build(cls.lab)


def daemon_files(tmp, chassis, state_dir):
    """A daemon's files in tmp: chassis file (chassis in it), run directory, state, log."""
    path = os.path.join(tmp, "chassis.yaml")
    Path(path).write_text(chassis)
    return (path, os.path.join(tmp, "run"), os.path.join(tmp, state_dir, "state.yaml"),
            os.path.join(tmp, "chassisd.log"))


class Daemon(Lab):
    """A lab without namespaces for l2pt-chassisd (and l2ptd when asked), its start the
    daemon's: each process writes to a file of its own, which out(p) reads."""

    def __init__(self, build, chassis):
        super().__init__()
        os.chmod(self.tmp, 0o755)  # the unprivileged daemon user walks through it
        self.build = build
        self.chassis, self.run_dir, self.state, self.log = daemon_files(self.tmp, chassis, "lib")

    def program(self, name):
        return os.path.join(self.build, "app", name)

    def spawn(self, argv, preexec=None):
        return Lab.start(self, None, argv, os.path.join(self.tmp, "out-%d" % len(self.procs)),
                         preexec=preexec)

    def start(self, *extra, prefix=(), run_dir=None, wait=True, preexec=None):
        p = self.spawn([*prefix, self.program("l2pt-chassisd"), "--chassis", self.chassis,
                        "--run-dir", run_dir or self.run_dir, "--state", self.state, *extra],
                       preexec)
        if wait:
            wait_for("the daemon serving", lambda: p.poll() is not None or os.path.exists(
                os.path.join(self.run_dir, "ctl.sock")))
            self.assert_alive(p)
        return p

    def assert_alive(self, p):
        if p.poll() is not None:
            raise AssertionError("the daemon ended: " + self.out(p))

    def refusal(self, *extra, **kw):
        """What a daemon that must not start says; it must exit 1."""
        p = self.start(*extra, wait=False, **kw)
        p.wait(10)
        assert p.returncode == 1, (p.returncode, self.out(p))
        return self.out(p)

    def task(self, prefix=()):
        p = self.spawn([*prefix, self.program("l2ptd"), "--chassis", self.run_dir])
        wait_for("a ready primary task", lambda: self.ctl("status").returncode == 0)
        return p

    def ctl(self, *args, prefix=(), run_dir=None):
        return subprocess.run([*prefix, self.program("l2ptctl"), "--run-dir",
                               run_dir or self.run_dir, *args],
                              capture_output=True, text=True, timeout=30)


class Switch:
    """l2pt-chassisd in namespace sw with the ports (the chassis' netdevs), their far ends c-PORT
    in namespace cust with a raw socket each; l2ptd in the test's own namespace."""

    def __init__(self, lab, build, chassis, ports):
        self.lab = lab
        self.build = build
        self.sw = lab.netns("sw")
        self.cust = lab.netns("cust")
        for port in ports:
            lab.veth(self.sw, port, self.cust, "c-" + port)
        self.chassis_file, self.run_dir, self.state, self.log = daemon_files(lab.tmp, chassis,
                                                                             "state")
        self.daemon = None
        self.task = None
        self.socks = {p: raw_socket(self.cust, "c-" + p) for p in ports}
        lab.sockets += self.socks.values()

    def app(self, name):
        return os.path.join(self.build, "app", name)

    def start_daemon(self, *args, share_mounts=False):
        """The daemon on this switch's files (more arguments after them), once it serves."""
        self.daemon = self.lab.start(self.sw, [self.app("l2pt-chassisd"), "--chassis",
                                               self.chassis_file, "--run-dir", self.run_dir,
                                               "--state", self.state] + list(args), self.log,
                                     share_mounts)

        def up():  # it answers l2ptctl, with or without a primary task
            if self.daemon.poll() is not None:
                raise AssertionError("the daemon ended (%d): %s" % (self.daemon.returncode,
                                                                    self.daemon_log()[-2000:]))
            r = self.ctl("status", "--json")
            return r.returncode == 0 or bool(r.stdout.strip())
        wait_for("the daemon serving", up)

    def start_task(self, prefix=()):
        """An l2ptd (after prefix), once it is the ready primary."""
        self.task = self.lab.start(None, list(prefix) + [self.app("l2ptd"), "--chassis",
                                                         self.run_dir],
                                   os.path.join(self.lab.tmp, "l2ptd.log"))
        wait_for("a ready primary task", lambda: self.ctl("status").returncode == 0)

    def end_task(self, sig=signal.SIGKILL):
        """Ends l2ptd with sig, once the daemon has seen its session end."""
        self.task.send_signal(sig)
        self.task.wait(10)
        wait_for("the daemon to see the task go", lambda: self.ctl("status").returncode != 0)

    def ctl(self, *args, timeout=60):
        cmd = [self.app("l2ptctl"), "--run-dir", self.run_dir] + list(args)
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)

    def counters(self, port):
        ports = json.loads(self.ctl("counters", "--json").stdout)["ports"]
        return next(p for p in ports if p["port"] == port)

    def send(self, port, *frames):
        """Sends each frame, waiting for room: a full socket buffer drops none."""
        for frame in frames:
            while True:
                try:
                    self.socks[port].send(frame)
                    break
                except BlockingIOError:
                    time.sleep(0.001)

    def drain(self):
        for s in self.socks.values():
            drain(s)

    def daemon_log(self):
        """What the daemon logged so far; nothing before its first start."""
        try:
            return Path(self.log).read_text()
        except FileNotFoundError:
            return ""

    def wait_logged(self, text, since=0, timeout=10.0):
        """The daemon's log from offset since, once text is in it."""
        return wait_for(repr(text) + " logged",
                        lambda: text in (log := self.daemon_log()[since:]) and log, timeout)


def hello(channel, session=0, arg=0):
    """A task connection's first datagram: channel 1 control, 5 heartbeat, 6 data path."""
    return struct.pack("!IHHII", 0x4C325054, 2, channel, session, arg)


def task_channel(run_dir, first):
    """A task connection to the daemon at run_dir that sent first (a hello): the socket, and
    the status and session the daemon's welcome gave."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    s.settimeout(10)
    s.connect(os.path.join(run_dir, "task.sock"))
    s.send(first)
    status, session = struct.unpack("!IiI", s.recv(64)[:12])[1:]
    return s, status, session


def streaming(test, argv, event):
    """Runs event while l2pt-stream (argv) streams, once every flow has arrived: test fails
    with any frame lost, duplicated, flooded or misdelivered. The summary, as shown."""
    stream = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    failed, out = None, stream.stdout.readline()
    try:
        if out == "streaming\n":
            out = ""
            event()
        else:
            failed = "a flow never arrived"
    except Exception as e:  # reported with what the streams saw up to it
        failed = "%s: %s" % (type(e).__name__, e)
    finally:
        stream.send_signal(signal.SIGTERM)
        out += stream.communicate(timeout=10)[0]
    print("streams:", out.strip(), file=sys.stderr)
    shown = json.dumps(json.loads(out), indent=1)
    if failed:
        test.fail("%s; the streams: %s" % (failed, shown))
    for f in json.loads(out)["flows"]:
        got = {k: f[k] for k in ("lost", "duplicated", "flooded", "misdelivered")}
        test.assertEqual(got, dict.fromkeys(got, 0), shown)
    return shown


def capture(l2ptctl, port, path, *limit):
    """l2ptctl (argv up to the command) capturing port's frames to path, once it made the file."""
    p = subprocess.Popen([*l2ptctl, "capture", port, path, *limit], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    wait_for("the capture's file", lambda: os.path.exists(path))
    time.sleep(0.2)
    return p


def tc_programs(ns, dev, hook, name="l2pt-pipeline"):
    """How many BPF filters called name the kernel lists at hook (ingress, egress) of dev in ns."""
    out = run("ip", "netns", "exec", ns, "tc", "filter", "show", "dev", dev, hook).stdout
    return sum(1 for line in out.splitlines() if " bpf " in line and name in line.split())


def private_bpffs():
    """Runs the rest of the test in a mount namespace of its own with a bpffs of its own at
    /sys/fs/bpf, so that no run meets another's pinned maps; everything there goes with it."""
    if os.environ.get(BPFFS_ENV):
        return
    os.environ[BPFFS_ENV] = "1"
    os.execvp("unshare", ["unshare", "-m", "--propagation", "private", "sh", "-c",
                          'mount -t bpf l2pt-test /sys/fs/bpf && exec "$@"', "sh",
                          sys.executable] + sys.argv)


def raw_socket(ns, iface):
    """An AF_PACKET socket on iface inside ns: opened on a thread that entered ns, so the
    test process itself stays where it is."""
    result = {}

    def enter():
        try:
            fd = os.open("/var/run/netns/" + ns, os.O_RDONLY)
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns " + ns)
            os.close(fd)
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
            s.bind((iface, 0))
            s.setsockopt(SOL_PACKET, PACKET_AUXDATA, 1)
            s.setblocking(False)
            result["sock"] = s
        except Exception as e:  # handed to the caller
            result["error"] = e

    t = threading.Thread(target=enter)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result["sock"]


def drain(sock):
    """Frames received so far (not those sent), with a VLAN tag the kernel took off put back."""
    frames = []
    while True:
        try:
            data, anc, _, addr = sock.recvmsg(65535, socket.CMSG_SPACE(20))
        except BlockingIOError:
            return frames
        if addr[2] == socket.PACKET_OUTGOING:
            continue
        for level, kind, aux in anc:
            if level != SOL_PACKET or kind != PACKET_AUXDATA or len(aux) < 20:
                continue
            status = int.from_bytes(aux[0:4], sys.byteorder)
            tci = int.from_bytes(aux[16:18], sys.byteorder)
            tpid = int.from_bytes(aux[18:20], sys.byteorder)
            if status & TP_STATUS_VLAN_VALID:
                if not status & TP_STATUS_VLAN_TPID_VALID:
                    tpid = 0x8100
                data = data[:12] + tpid.to_bytes(2, "big") + tci.to_bytes(2, "big") + data[12:]
        frames.append(data)


def read_pcap(path, stamps=False, wire=False):
    """The frames of a pcap file (as written: microseconds, host order); with stamps (seconds,
    frame), with wire (length on the wire, frame)."""
    data = Path(path).read_bytes()
    order = "<" if data[:4] == struct.pack("<I", 0xA1B2C3D4) else ">"
    frames, at = [], 24
    while at + 16 <= len(data):
        sec, usec, length, on_wire = struct.unpack(order + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + length]
        frames.append((sec + usec / 1e6, frame) if stamps else (on_wire, frame) if wire else frame)
        at += 16 + length
    return frames


def collect(sock, count, timeout=3.0):
    """Frames arriving on sock until count came or the time-out passed."""
    frames = []
    end = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < end:
        frames += drain(sock)
        time.sleep(0.01)
    return frames


def main(module, privilege=None):
    """Runs a test file: --build BUILD_DIR becomes module.BUILD, the other arguments (test names)
    go to unittest; privilege, when given, is called first."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    module.BUILD = os.path.abspath(args.build)
    if privilege:
        privilege(rest)
    unittest.main(module=module, argv=[sys.argv[0]] + rest, verbosity=2)
