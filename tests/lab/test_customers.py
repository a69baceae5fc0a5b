#!/usr/bin/python3
"""The lab tool on its own: three customer sites wired in a ring without switches. What the sites'
bridges, lldpd and pdu.py do, test_provider.py checks through the switches."""

import subprocess
import unittest
from pathlib import Path

from labtest import HERE, PYTHON, REPO, l2pt_lab, new_lab, reach

WIRE = HERE / "wire.yaml"


class CustomersOnAWire(unittest.TestCase):
    def test_two_labs_of_one_topology_at_once_the_tool_and_each_down_leaving_nothing(self):
        links_before = l2pt_lab.run("ip", "-br", "link").stdout
        labs = [new_lab(WIRE), new_lab(WIRE)]
        for lab in labs:
            lab.up()
        self.assertNotEqual(labs[0].topo.name, labs[1].topo.name)
        with self.assertRaisesRegex(RuntimeError, "already up"):
            labs[0].up()
        # Both sites w1 answer on the same address, each in its own lab.
        for lab in labs:
            reach(lab, "w2", "w1")
        # The command line, on the first lab.
        def tool(*args):
            return subprocess.run([PYTHON, str(REPO / "lab" / "l2pt-lab"), "--name",
                                   labs[0].topo.name, *args], capture_output=True, text=True)
        status = tool("status", WIRE)
        self.assertEqual(status.returncode, 0, status.stderr)
        lines = status.stdout.splitlines()
        self.assertEqual([line.split(":")[0] for line in lines], ["w1", "w2", "w3"])
        self.assertRegex(lines[0], r"^w1: lldpd:\d+ root [0-9a-f.]+ eth0=\w+ eth1=\w+$")
        bridge = tool("exec", WIRE, "w2", "cat", "/sys/class/net/br0/bridge/bridge_id")
        self.assertEqual(bridge.stdout.strip(), labs[0].bridge_attr("w2", "bridge_id"))
        bad = tool("exec", WIRE, "nowhere", "true")
        self.assertEqual((bad.returncode, bad.stderr), (2, "l2pt-lab: no node named 'nowhere'\n"))
        made = []
        for lab in labs:
            pids = [p["pid"] for p in lab.load_state()["processes"]]
            self.assertEqual(len(pids), 3)  # one lldpd per site
            self.assertEqual(len(lab.state["namespaces"]), 3)
            made.append((lab, pids, lab.state["namespaces"]))
        # The first lab's owner ends without taking it down: the next sweep does, and leaves
        # the second, whose owner lives, alone.
        dead = subprocess.Popen(["true"])
        dead.wait()
        labs[0].state["owner"] = [dead.pid, 0]
        labs[0]._save()
        self.assertEqual(l2pt_lab.sweep_orphans(), [labs[0].topo.name])
        self.assertTrue(labs[1].dir.exists())
        labs[1].down()
        for lab, pids, namespaces in made:
            self.assertEqual([p for p in pids if l2pt_lab.alive(p)], [])
            self.assertEqual([ns for ns in namespaces if Path(f"/run/netns/{ns}").exists()], [])
            self.assertFalse(lab.dir.exists())
        self.assertEqual(l2pt_lab.run("ip", "-br", "link").stdout, links_before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
