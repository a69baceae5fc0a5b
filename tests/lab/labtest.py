"""What the lab tests share: privilege, a lab brought up once per test class, customer PDUs
sent and sniffed in the sites' namespaces."""

import atexit
import json
import signal
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "lab"))
sys.path.insert(0, str(REPO / "tests" / "net"))
import l2pt_lab  # noqa: E402
# Root, or the test again through passwordless sudo: lab tests fail, never skip, without it.
from netns import read_pcap, require_privilege, streaming  # noqa: E402,F401

BUILD = Path(os.environ.get("L2PT_BUILD", REPO / "build"))
PYTHON = "/usr/bin/python3"
wait_for = l2pt_lab.wait_for
wait_until_equal = l2pt_lab.wait_until_equal


_labs_up = []


def _down_all():
    while _labs_up:
        lab = _labs_up.pop()
        if lab.dir.exists():
            lab.down()


def _terminated(signum, frame):
    # unittest lets KeyboardInterrupt through, so the labs come down at exit.
    raise KeyboardInterrupt(f"signal {signum}")


def new_lab(topology):
    """TOPOLOGY as a lab of a name of its own, so that runs at once do not collide; it comes
    down at exit, even on SIGTERM, and the next run takes it down if this one is killed."""
    require_privilege()
    l2pt_lab.sweep_orphans()
    if signal.getsignal(signal.SIGTERM) is not _terminated:
        atexit.register(_down_all)
        signal.signal(signal.SIGTERM, _terminated)
    lab = l2pt_lab.Lab.unique(topology, BUILD)
    _labs_up.append(lab)
    return lab


class LabCase(unittest.TestCase):
    """Brings TOPOLOGY up before the class's tests and down after them."""

    TOPOLOGY = None

    @classmethod
    def setUpClass(cls):
        cls.lab = new_lab(cls.TOPOLOGY)
        cls.lab.up()  # takes down what it built if it fails

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()
        _labs_up.remove(cls.lab)

    def ns(self, node):
        return self.lab.topo.namespace(node)

    def sniffer(self, site, iface, seconds, count=0):
        return Sniffer(self.ns(site), iface, seconds, count)

    def send(self, site, iface, kind, count=1, tag="x"):
        l2pt_lab.nsexec(self.ns(site), PYTHON, HERE / "pdu.py", "send", iface, kind, "--count",
                        count, "--tag", tag)

    def sender(self, site, kind, count, rate=0.0, tag="x"):
        """pdu.py send on site's eth0 in the background; its output is piped."""
        return subprocess.Popen(["ip", "netns", "exec", self.ns(site), PYTHON,
                                 str(HERE / "pdu.py"), "send", "eth0", kind, "--count",
                                 str(count), "--rate", str(rate), "--tag", tag],
                                stdout=subprocess.PIPE, text=True)


def reach(lab, src, dst, timeout=20):
    """Waits until site src's ping of site dst is answered (ARP and the bridges take time)."""
    ns, address = lab.topo.namespace(src), lab.topo.address(dst)
    wait_for(f"{src} to reach {dst} ({address})",
             lambda: l2pt_lab.nsexec(ns, "ping", "-c1", "-W1", address,
                                     check=False).returncode == 0, timeout)


class Sniffer:
    """pdu.py sniff on one interface in the background, until its time is up or it saw count
    tagged frames; to a file, since a pipe nobody reads until the end would stall it."""

    def __init__(self, ns, iface, seconds, count=0):
        self.out = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, PYTHON, str(HERE / "pdu.py"),
                                      "sniff", iface, "--seconds", str(seconds),
                                      "--count", str(count)], stdout=self.out)
        wait_for(f"the sniffer on {ns}/{iface}", self._ready, 10)

    def _ready(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"sniffer ended with status {self.proc.returncode}")
        self.out.seek(0)
        return "ready" in self.out.readline()

    def frames(self, tag=None):
        """Waits for the sniffer's end; the frames it saw (those with tag, if given)."""
        self.proc.wait(timeout=120)
        self.out.seek(0)
        lines = self.out.read().splitlines()[1:]
        self.out.close()
        if lines and not lines[-1].endswith("}"):
            lines.pop()  # cut short by the end of the sniffer
        frames = [json.loads(line) for line in lines]
        return [f for f in frames if tag is None or f.get("tag") == tag]

