#!/usr/bin/python3
"""Reading topology files: errors name the file and line; the chassis files the lab writes."""

import tempfile
import textwrap
import unittest
from pathlib import Path

from labtest import REPO, l2pt_lab

EDGE = REPO / "examples" / "lab" / "edge.yaml"
PROVIDER = REPO / "examples" / "lab" / "provider.yaml"

# A small valid topology the error cases below break one line at a time.
BASE = f"""\
lab:
  name: t
switches:
  - {{name: pe1, chassis: {EDGE}}}
  - {{name: pe2, chassis: {EDGE}}}
customers:
  - {{name: a, vlan: 100, core: [pe1:te1/0, pe2:te1/0]}}
sites:
  - {{name: s1, customer: a}}
links:
  - [pe1:te1/0, pe2:te1/0]
  - [pe1:ge0/1, s1:eth0]
"""


class TopologyErrors(unittest.TestCase):
    def load(self, text):
        with tempfile.TemporaryDirectory() as d:
            path = Path(d) / "topo.yaml"
            path.write_text(textwrap.dedent(text))
            try:
                return l2pt_lab.Topology(path)
            except l2pt_lab.TopologyError as e:
                return str(e).replace(str(path), "topo.yaml")

    def test_each_error_names_file_and_line(self):
        self.assertIsInstance(self.load(BASE), l2pt_lab.Topology)
        link, core = "- [pe1:ge0/1, s1:eth0]", "core: [pe1:te1/0, pe2:te1/0]"
        cases = [  # (replace, with, the message after "topo.yaml:")
            ("  name: t\n", "  name: t\n  colour: red\n", "3: unknown key 'colour' in lab"),
            ("name: t\n", "name: T-1\n", "2: lab name 'T-1' must match"),
            (link, "- [pe1:ge0/9, s1:eth0]", "12: switch pe1 has no port 'ge0/9'"),
            (link, "- [pe3:ge0/1, s1:eth0]", "12: no node named 'pe3'"),
            (link, "- [pe1:te1/0, s1:eth0]", "12: pe1:te1/0 is already linked on line 11"),
            (link, "- [pe1:ge0/1, pe1:ge0/2]", "12: a link joins two different nodes"),
            (link, "- [pe1:ge0/1]", "12: a link joins two ports"),
            ("vlan: 100", "vlan: 4095", "7: vlan 4095 is out of range 1..4094"),
            ("vlan: 100", "vlan: x", "7: vlan 'x' is not a number"),
            ("customer: a}", "customer: z}", "9: no customer named 'z'"),
            ("customer: a}", "customer: a, priority: 100}",
             "9: priority must be a multiple of 4096"),
            (core, "core: [pe1:te1/0, pe2:te1/1]",
             "7: customer a: core port pe2:te1/1 is not linked to another switch"),
            (core, "core: [pe1:ge0/1]", "7: customer a: core port pe1:ge0/1 is not linked to "
                                        "another switch"),
            ("{name: pe2,", "{name: pe1,", "5: node 'pe1' is defined twice"),
            ("  - [pe1:ge0/1, s1:eth0]\n", "", "9: site s1: port eth0 is not linked"),
            ("  name: t\n", "  name: t\n  name: u\n", "3: duplicate key 'name'"),
            ("links:\n", "links: [\n", "11: expected the node content"),
        ]
        for old, new, expected in cases:
            with self.subTest(new=new):
                self.assertIn(old, BASE)
                self.assertRegex(str(self.load(BASE.replace(old, new, 1))),
                                 r"^topo\.yaml:" + expected.replace("[", r"\[").replace(".", r"\."))

    def test_a_customer_whose_core_links_form_a_ring_is_refused(self):
        ring = BASE.replace("  - {name: pe2", "  - {name: pe3, chassis: %s}\n  - {name: pe2" % EDGE)
        ring = ring.replace("core: [pe1:te1/0, pe2:te1/0]",
                            "core: [pe1:te1/0, pe2:te1/0, pe1:te1/1, pe3:te1/0, pe3:te1/1, "
                            "pe2:te1/1]")
        ring += "  - [pe1:te1/1, pe3:te1/0]\n  - [pe3:te1/1, pe2:te1/1]\n"
        self.assertRegex(self.load(ring), r"^topo\.yaml:8: customer a: core links form a loop")

    def test_errors_in_a_chassis_file_name_that_file(self):
        with tempfile.TemporaryDirectory() as d:
            chassis = Path(d) / "bad.yaml"
            chassis.write_text("line_cards:\n  - slot: 0\n    ports:\n      - {range: 4-1}\n")
            msg = self.load(BASE.replace(str(EDGE), str(chassis)))
        self.assertRegex(msg, r"bad\.yaml:4: bad range '4-1'")


class ChassisFiles(unittest.TestCase):
    """The chassis file of each switch of the example: netdevs, native VLANs, tunnelling."""

    @classmethod
    def setUpClass(cls):
        cls.topo = l2pt_lab.Topology(PROVIDER)

    def ports(self, switch):
        return {p["name"]: p for card in self.topo.chassis_file(switch)["line_cards"]
                for p in card["ports"]}

    def test_linked_ports_get_their_own_netdev_and_access_ports_their_customers_vlan(self):
        ports = self.ports("pe1")
        self.assertEqual({n: (p.get("netdev"), p.get("vlan")) for n, p in ports.items()},
                         {"ge0/1": ("s0p1", "100"), "ge0/2": ("s0p2", "100"),
                          "ge0/3": ("s0p3", "200"), "ge0/4": (None, None),
                          "te1/0": ("s1p0", None), "te1/1": ("s1p1", None)})
        self.assertEqual(ports["ge0/2"]["long_name"], "GigEthernet 0/2")
        # Writing a chassis file leaves the description read once as it was.
        self.assertEqual(self.topo.chassis_file("pe1"), self.topo.chassis_file("pe1"))

    def test_tunnelling_follows_sites_and_core_lists(self):
        def vlans(switch):
            t = self.topo.chassis_file(switch)["tunnelling"]
            return {v["vlan"]: sorted((p["port"], p["mode"]) for p in v["ports"])
                    for v in t["vlans"]}
        self.assertEqual(vlans("pe2"), {
            "vl100": [("ge0/1", "access"), ("ge0/2", "access"), ("te1/0", "core")],
            "vl200": [("ge0/3", "access"), ("te1/1", "core")]})
        # The core switch carries customer A only, between its two cards.
        self.assertEqual(vlans("core"), {"vl100": [("te0/0", "core"), ("te1/0", "core")]})
        chassis = self.topo.chassis_file("core")
        self.assertEqual(chassis["vlans"], [{"id": "100", "name": "vl100", "long_name": "Vlan 100"}])
        self.assertEqual(chassis["tunnelling"]["tunnel_mac"], "02:00:00:00:00:01")


if __name__ == "__main__":
    unittest.main(verbosity=2)
