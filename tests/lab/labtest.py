"""What the lab tests share: privilege, a lab brought up once per test class, customer PDUs
sent and sniffed in the sites' namespaces."""

import json
import os
import subprocess
import sys
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "lab"))
import l2pt_lab  # noqa: E402

BUILD = Path(os.environ.get("L2PT_BUILD", REPO / "build"))
PYTHON = "/usr/bin/python3"
wait_for = l2pt_lab.wait_for
wait_until_equal = l2pt_lab.wait_until_equal


def require_privilege():
    """Lab tests fail, never skip, without the privilege namespaces need."""
    if os.geteuid() != 0:
        raise PermissionError("lab tests need root (CAP_NET_ADMIN and CAP_SYS_ADMIN for network "
                              "namespaces): run ./scripts/test as root or through sudo")


class LabCase(unittest.TestCase):
    """Brings TOPOLOGY up before the class's tests and down after them."""

    TOPOLOGY = None

    @classmethod
    def setUpClass(cls):
        require_privilege()
        cls.lab = l2pt_lab.Lab(cls.TOPOLOGY, BUILD)
        if cls.lab.state_file.exists():  # left by a run that was killed
            cls.lab.down()
        try:
            cls.lab.up()
        except BaseException:
            cls.lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def ns(self, node):
        return self.lab.topo.namespace(node)

    def sniffer(self, site, iface, seconds):
        return Sniffer(self.ns(site), iface, seconds)

    def send(self, site, iface, kind, count=1, rate=0.0, tag="x"):
        return json.loads(l2pt_lab.nsexec(self.ns(site), PYTHON, HERE / "pdu.py", "send", iface,
                                          kind, "--count", count, "--rate", rate,
                                          "--tag", tag).stdout)


class Sniffer:
    """pdu.py sniff on one interface, in the background until its time is up."""

    def __init__(self, ns, iface, seconds):
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, PYTHON, str(HERE / "pdu.py"),
                                      "sniff", iface, "--seconds", str(seconds)],
                                     stdout=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        if "ready" not in ready:
            raise RuntimeError(f"sniffer on {ns}/{iface} did not start: {ready!r}")

    def frames(self, tag=None):
        """Waits for the sniffer's end; the frames it saw (those with tag, if given)."""
        out, _ = self.proc.communicate(timeout=120)
        frames = [json.loads(line) for line in out.splitlines() if line]
        return [f for f in frames if tag is None or f.get("tag") == tag]
