#!/usr/bin/python3
"""Lab scale: how big a lab this machine holds and how fast it comes up, and PDU throughput
across two switches. Needs root and a build with the chassis daemon; prints markdown tables.

  tests/bench/lab_scale.py [--switches 2,4,8] [--vlans 1,8,32] [--build DIR]
                           [--rates 1000,5000,0] [--frames 5000]

Scale: a chain of switches (edges at both ends, core switches between), one customer per VLAN
with a site at each edge; the time to up (namespaces, veths, daemons, every primary task ready),
then to the customers' STP agreeing on one root per VLAN, then to down.
Throughput: two switches, one customer; GVRP PDUs sent at each offered rate (0: as fast as one
Python sender goes) from one site, counted at the other site's interface.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import yaml

REPO = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(REPO / "lab"))
import l2pt_lab  # noqa: E402

PDU = REPO / "tests" / "lab" / "pdu.py"


def chain(switches, vlans):
    """A topology: switches sw0..swN-1 in a chain, customer c<i> on VLAN 100+i with sites
    x<i> on sw0 and y<i> on the last switch."""
    def card(slot, count, prefix):
        return {"slot": slot, "type": 1, "agent": "per-port",
                "ports": [{"range": f"0-{count - 1}", "name": f"{prefix}{slot}/{{n}}"}]}
    topo = {"lab": {"name": "l2bench"}, "switches": [], "customers": [], "sites": [],
            "links": []}
    last = switches - 1
    for i in range(switches):
        cards = [card(1, 2, "te")]
        if i in (0, last):
            cards.insert(0, card(0, vlans, "ge"))
        topo["switches"].append({"name": f"sw{i}", "chassis": {
            "card_types": [{"id": 1, "name": "port-card"}], "line_cards": cards}})
    for i in range(last):
        topo["links"].append([f"sw{i}:te1/1", f"sw{i + 1}:te1/0"])
    core = [f"sw{i}:te1/1" for i in range(last)] + [f"sw{i + 1}:te1/0" for i in range(last)]
    for v in range(vlans):
        topo["customers"].append({"name": f"c{v}", "vlan": 100 + v, "core": core})
        for site, sw in ((f"x{v}", 0), (f"y{v}", last)):
            topo["sites"].append({"name": site, "customer": f"c{v}", "lldp": False})
            topo["links"].append([f"sw{sw}:ge0/{v}", f"{site}:eth0"])
    return topo


def write(topo, directory):
    path = Path(directory) / "topology.yaml"
    path.write_text(yaml.safe_dump(topo, sort_keys=False))
    return path


def scale(build, switches, vlans):
    with tempfile.TemporaryDirectory() as d:
        lab = l2pt_lab.Lab.unique(write(chain(switches, vlans), d), build)
        start = time.monotonic()
        try:
            lab.up(timeout=120)
            up = time.monotonic() - start
            pairs = [(f"x{v}", f"y{v}") for v in range(vlans)]
            l2pt_lab.wait_for("one root per customer", lambda: all(
                lab.root_id(a) == lab.root_id(b) for a, b in pairs), 120, interval=0.5)
            converged = time.monotonic() - start
        finally:
            stop = time.monotonic()
            lab.down()
        return up, converged, time.monotonic() - stop


def rx_packets(lab, site):
    return int(l2pt_lab.nsexec(lab.topo.namespace(site), "cat",
                               "/sys/class/net/eth0/statistics/rx_packets").stdout)


def throughput(build, rates, frames):
    rows = []
    with tempfile.TemporaryDirectory() as d:
        lab = l2pt_lab.Lab.unique(write(chain(2, 1), d), build)
        try:
            lab.up(timeout=60)
            for rate in rates:
                before = rx_packets(lab, "y0")
                out = l2pt_lab.nsexec(lab.topo.namespace("x0"), "/usr/bin/python3", PDU, "send",
                                      "eth0", "gvrp", "--count", frames, "--rate", rate).stdout
                sent = yaml.safe_load(out.splitlines()[-1])
                time.sleep(0.5)  # the last PDUs in flight
                # STP hellos arrive too: about one a second, counted in with the PDUs.
                got = rx_packets(lab, "y0") - before
                offered = sent["sent"] / sent["seconds"]
                rows.append((rate or "max", f"{offered:.0f}", sent["sent"], got,
                             f"{got / sent['seconds']:.0f}",
                             f"{max(0.0, 1 - got / sent['sent']) * 100:.1f}%"))
        finally:
            lab.down()
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=str(REPO / "build"))
    p.add_argument("--switches", default="2,4,8")
    p.add_argument("--vlans", default="1,8,32")
    p.add_argument("--rates", default="1000,5000,0")
    p.add_argument("--frames", type=int, default=5000)
    args = p.parse_args()
    l2pt_lab.require_root()
    l2pt_lab.sweep_orphans()  # labs of runs that were killed
    print("| switches | customer VLANs | namespaces | up (s) | STP converged (s) | down (s) |")
    print("|---|---|---|---|---|---|")
    for n in map(int, args.switches.split(",")):
        for v in map(int, args.vlans.split(",")):
            try:
                up, conv, down = scale(args.build, n, v)
                print(f"| {n} | {v} | {n + 2 * v} | {up:.1f} | {conv:.1f} | {down:.1f} |",
                      flush=True)
            except (RuntimeError, TimeoutError, OSError) as e:
                print(f"| {n} | {v} | {n + 2 * v} | failed: {e} | | |", flush=True)
    print("\n| offered (pps) | sent at (pps) | sent | received | received (pps) | loss |")
    print("|---|---|---|---|---|---|")
    for row in throughput(args.build, [float(r) for r in args.rates.split(",")], args.frames):
        print("| " + " | ".join(map(str, row)) + " |")


if __name__ == "__main__":
    main()
