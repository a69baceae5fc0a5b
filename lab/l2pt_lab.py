#!/usr/bin/python3
"""A provider network in a box: switches, core links and customer sites in network namespaces.

A topology file names switches (a chassis description each, one or two route processors),
customer sites (a Linux bridge running the kernel's STP, and lldpd), customers (a provider VLAN
and the protocols it tunnels, and the core ports it crosses) and links between ports. `up` turns
it into namespaces, veth pairs, one chassis daemon and one or two l2ptd per switch, and the
customers; `down` removes all of it. The lab's state lives in its run directory.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import yaml

REPO = Path(__file__).resolve().parent.parent
RUN_ROOT = Path(os.environ.get("L2PT_LAB_RUN", "/run/l2pt-lab"))
NAME_RE = re.compile(r"^[a-z][a-z0-9]{0,7}$")
IFNAME_RE = re.compile(r"^[a-z][a-z0-9]{0,9}$")
NAME_ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789"
PROTOCOLS = ("stp", "lldp", "gvrp", "pvst")
BRIDGE = "br0"
# The shortest STP timers the kernel takes (centiseconds), so customers converge in seconds.
STP_TIMERS = {"hello_time": 100, "forward_delay": 200, "max_age": 600}
PORT_STATES = {0: "disabled", 1: "listening", 2: "learning", 3: "forwarding", 4: "blocking"}


class TopologyError(Exception):
    pass


# ---- reading YAML with line numbers ----------------------------------------------------------


class Map(dict):
    line = 0
    key_lines: dict = {}


class Seq(list):
    line = 0
    item_lines: list = []


class _Loader(yaml.BaseLoader):
    """Every scalar stays a string (MACs and hex stay as written); mappings and sequences
    remember their lines so errors can name them."""


def _construct_map(loader, node):
    out = Map()
    out.line = node.start_mark.line + 1
    out.key_lines = {}
    for key_node, value_node in node.value:
        key = loader.construct_object(key_node, deep=True)
        if key in out:
            raise TopologyError(f"{key_node.start_mark.line + 1}: duplicate key '{key}'")
        out[key] = loader.construct_object(value_node, deep=True)
        out.key_lines[key] = key_node.start_mark.line + 1
    return out


def _construct_seq(loader, node):
    out = Seq(loader.construct_object(child, deep=True) for child in node.value)
    out.line = node.start_mark.line + 1
    out.item_lines = [child.start_mark.line + 1 for child in node.value]
    return out


_Loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, _construct_map)
_Loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_SEQUENCE_TAG, _construct_seq)


def _load_yaml(path):
    try:
        text = Path(path).read_text()
    except OSError as e:
        raise TopologyError(f"{path}: {e.strerror}") from None
    try:
        return yaml.load(text, Loader=_Loader)
    except TopologyError as e:
        raise TopologyError(f"{path}:{e}") from None
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = f"{path}:{mark.line + 1}" if mark else str(path)
        raise TopologyError(f"{where}: {getattr(e, 'problem', None) or e}") from None


def _plain(value):
    """A Map/Seq tree as plain dicts and lists."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value


class _Reader:
    """Checks one file's contents and reports errors as FILE:LINE: text."""

    def __init__(self, path):
        self.path = path

    def fail(self, line, text):
        raise TopologyError(f"{self.path}:{line}: {text}")

    def mapping(self, value, line, what, allowed, required=()):
        if not isinstance(value, dict):
            self.fail(line, f"{what} must be a mapping")
        for key in value:
            if key not in allowed:
                self.fail(value.key_lines[key], f"unknown key '{key}' in {what}")
        for key in required:
            if key not in value:
                self.fail(value.line, f"{what} needs '{key}'")
        return value

    def sequence(self, value, line, what):
        if not isinstance(value, list):
            self.fail(line, f"{what} must be a list")
        return value

    def name(self, value, line, what, pattern=NAME_RE):
        if not isinstance(value, str) or not pattern.match(value):
            self.fail(line, f"{what} '{value}' must match {pattern.pattern}")
        return value

    def integer(self, value, line, what, low, high):
        try:
            number = int(value, 0)
        except (TypeError, ValueError):
            self.fail(line, f"{what} '{value}' is not a number")
        if not low <= number <= high:
            self.fail(line, f"{what} {number} is out of range {low}..{high}")
        return number

    def boolean(self, value, line, what):
        if value in ("true", "yes", "on"):
            return True
        if value in ("false", "no", "off"):
            return False
        self.fail(line, f"{what} '{value}' is not true or false")


# ---- the topology ------------------------------------------------------------------------------


class Switch:
    def __init__(self, name, rpms, chassis, line):
        self.name, self.rpms, self.chassis, self.line = name, rpms, chassis, line
        self.ports = {}  # port name -> (slot, number, entry in chassis["line_cards"][i]["ports"])


class Site:
    def __init__(self, name, customer, ports, priority, lldp, line):
        self.name, self.customer, self.ports = name, customer, ports
        self.priority, self.lldp, self.line = priority, lldp, line


class Customer:
    def __init__(self, name, vlan, protocols, core, line):
        self.name, self.vlan, self.protocols, self.core, self.line = (
            name, vlan, protocols, core, line)


class Topology:
    """A checked topology: every name resolves, every port is used once, no customer's core
    links form a loop (the provider network runs no spanning tree of its own, and tunnelled
    PDUs are flooded to every other core port of their VLAN)."""

    def __init__(self, path):
        self.path = Path(path)
        r = _Reader(self.path)
        top = _load_yaml(self.path)
        r.mapping(top, 1, "the topology", ("lab", "switches", "sites", "customers", "links"),
                  ("lab",))
        lab = r.mapping(top["lab"], top.key_lines["lab"], "lab", ("name",), ("name",))
        self.name = r.name(lab["name"], lab.key_lines["name"], "lab name")
        self.switches, self.sites, self.customers = {}, {}, {}
        self.links = []  # ((node, port), (node, port))

        for item, line in self._items(r, top, "switches"):
            r.mapping(item, line, "a switch", ("name", "rpms", "chassis"), ("name", "chassis"))
            name = self._new_node(r, item, line)
            rpms = r.integer(item.get("rpms", "1"), item.key_lines.get("rpms", line), "rpms", 1, 2)
            sw = Switch(name, rpms, self._chassis(r, item), line)
            self._index_ports(sw)
            self.switches[name] = sw

        for item, line in self._items(r, top, "customers"):
            r.mapping(item, line, "a customer", ("name", "vlan", "protocols", "core"),
                      ("name", "vlan"))
            name = r.name(item["name"], item.key_lines["name"], "customer name")
            if name in self.customers:
                r.fail(item.key_lines["name"], f"customer '{name}' is defined twice")
            vlan = r.integer(item["vlan"], item.key_lines["vlan"], "vlan", 1, 4094)
            for other in self.customers.values():
                if other.vlan == vlan:
                    r.fail(item.key_lines["vlan"], f"vlan {vlan} is customer {other.name}'s")
            protocols = item.get("protocols", Seq(PROTOCOLS))
            r.sequence(protocols, item.key_lines.get("protocols", line), "protocols")
            for p in protocols:
                if p not in PROTOCOLS:
                    r.fail(item.key_lines["protocols"], f"unknown protocol '{p}'")
            core = item.get("core", Seq())
            r.sequence(core, item.key_lines.get("core", line), "core")
            core_ports = [self._endpoint(r, c, core.item_lines[i], switch_only=True)
                          for i, c in enumerate(core)]
            self.customers[name] = Customer(name, vlan, list(protocols), core_ports, line)

        for item, line in self._items(r, top, "sites"):
            r.mapping(item, line, "a site", ("name", "customer", "ports", "priority", "lldp"),
                      ("name", "customer"))
            name = self._new_node(r, item, line)
            customer = item["customer"]
            if customer not in self.customers:
                r.fail(item.key_lines["customer"], f"no customer named '{customer}'")
            ports = item.get("ports", Seq(["eth0"]))
            r.sequence(ports, item.key_lines.get("ports", line), "ports")
            for i, p in enumerate(ports):
                r.name(p, ports.item_lines[i] if ports.item_lines else line, "port", IFNAME_RE)
            if len(set(ports)) != len(ports) or not ports:
                r.fail(item.key_lines.get("ports", line), "a site needs distinct ports")
            priority = r.integer(item.get("priority", "32768"),
                                 item.key_lines.get("priority", line), "priority", 0, 61440)
            if priority % 4096:
                r.fail(item.key_lines["priority"], "priority must be a multiple of 4096")
            lldp = r.boolean(item.get("lldp", "true"), item.key_lines.get("lldp", line), "lldp")
            self.sites[name] = Site(name, customer, list(ports), priority, lldp, line)

        used = {}
        for item, line in self._items(r, top, "links"):
            r.sequence(item, line, "a link")
            if len(item) != 2:
                r.fail(line, "a link joins two ports: [NODE:PORT, NODE:PORT]")
            ends = tuple(self._endpoint(r, e, line) for e in item)
            for end in ends:
                if end in used:
                    r.fail(line, f"{end[0]}:{end[1]} is already linked on line {used[end]}")
                used[end] = line
            if ends[0][0] == ends[1][0]:
                r.fail(line, "a link joins two different nodes")
            self.links.append(ends)
        self._check_customers(r, top, used)

    # -- parts of the constructor

    @staticmethod
    def _items(r, top, key):
        seq = top.get(key, Seq())
        r.sequence(seq, top.key_lines.get(key, 1), key)
        return zip(seq, seq.item_lines if seq else [])

    def _new_node(self, r, item, line):
        name = r.name(item["name"], item.key_lines["name"], "node name")
        if name in self.switches or name in self.sites:
            r.fail(item.key_lines["name"], f"node '{name}' is defined twice")
        return name

    def _chassis(self, r, item):
        value, line = item["chassis"], item.key_lines["chassis"]
        if isinstance(value, str):
            path = (self.path.parent / value)
            chassis = _load_yaml(path)
            cr = _Reader(path)
            cr.mapping(chassis, 1, "a chassis file", CHASSIS_KEYS)
            return chassis, cr
        return r.mapping(value, line, "a chassis", CHASSIS_KEYS), r

    def _index_ports(self, sw):
        """Expands port ranges into one entry per port, named as the chassis loader names them,
        so that each linked port can carry its own netdev."""
        chassis, r = sw.chassis
        cards = chassis.get("line_cards", Seq())
        r.sequence(cards, chassis.key_lines.get("line_cards", chassis.line), "line_cards")
        for card, line in zip(cards, cards.item_lines if cards else []):
            r.mapping(card, line, "a line card", CARD_KEYS, ("slot",))
            slot = r.integer(card["slot"], card.key_lines["slot"], "slot", 0, 31)
            ports = card.get("ports", Seq())
            expanded = Seq()
            for entry, eline in zip(ports, ports.item_lines if ports else []):
                r.mapping(entry, eline, "a port", PORT_KEYS)
                if "netdev" in entry:
                    r.fail(entry.key_lines["netdev"], "the lab chooses netdev names itself")
                if "range" in entry:
                    m = re.fullmatch(r"(\d+)-(\d+)", entry["range"])
                    if not m or int(m[1]) > int(m[2]):
                        r.fail(entry.key_lines["range"], f"bad range '{entry['range']}'")
                    numbers = range(int(m[1]), int(m[2]) + 1)
                else:
                    numbers = [r.integer(entry.get("number"), eline, "port number", 0, 897)]
                for n in numbers:
                    one = Map({k: v for k, v in entry.items() if k != "range"})
                    one.line, one.key_lines = eline, entry.key_lines
                    one["number"] = str(n)
                    for key in ("name", "long_name"):
                        if key in one:
                            one[key] = one[key].replace("{n}", str(n)).replace("{s}", str(slot))
                    name = one.get("name", f"e{slot}/{n}")
                    if name in sw.ports:
                        r.fail(eline, f"switch {sw.name}: port '{name}' is defined twice")
                    sw.ports[name] = (slot, n, one)
                    expanded.append(one)
            card["ports"] = expanded

    def _endpoint(self, r, text, line, switch_only=False):
        if not isinstance(text, str) or ":" not in text:
            r.fail(line, f"'{text}' is not NODE:PORT")
        node, port = text.split(":", 1)
        if node in self.switches:
            if port not in self.switches[node].ports:
                r.fail(line, f"switch {node} has no port '{port}'")
        elif node in self.sites and not switch_only:
            if port not in self.sites[node].ports:
                r.fail(line, f"site {node} has no port '{port}'")
        else:
            r.fail(line, f"no {'switch' if switch_only else 'node'} named '{node}'")
        return (node, port)

    def _check_customers(self, r, top, used):
        peer = {}
        for a, b in self.links:
            peer[a], peer[b] = b, a
        for c in self.customers.values():
            core = set(c.core)
            for end in c.core:
                if end not in peer or peer[end][0] not in self.switches:
                    r.fail(c.line, f"customer {c.name}: core port {end[0]}:{end[1]} "
                                   "is not linked to another switch")
            # Union-find over the switches the customer's core links join: a loop would
            # flood its tunnelled PDUs round the ring for ever.
            parent = {}

            def root(x):
                while parent.setdefault(x, x) != x:
                    x = parent[x]
                return x
            for a, b in self.links:
                if a in core and b in core:
                    ra, rb = root(a[0]), root(b[0])
                    if ra == rb:
                        r.fail(c.line, f"customer {c.name}: core links form a loop at "
                                       f"{a[0]}:{a[1]} - {b[0]}:{b[1]}")
                    parent[ra] = rb
        for site in self.sites.values():
            for port in site.ports:
                if (site.name, port) not in used:
                    r.fail(site.line, f"site {site.name}: port {port} is not linked")

    # -- what up builds

    def namespace(self, node):
        return f"{self.name}-{node}"

    def access_ports(self, switch):
        """(port, customer) for every switch port linked to a site."""
        out = []
        for a, b in self.links:
            for mine, other in ((a, b), (b, a)):
                if mine[0] == switch and other[0] in self.sites:
                    out.append((mine[1], self.customers[self.sites[other[0]].customer]))
        return out

    def chassis_file(self, switch):
        """The chassis file l2pt-chassisd loads for this switch: its description with one port
        entry per port, a netdev on each linked port (the daemon leaves ports without one
        unwired), each access port's VLAN set to its customer's (the tag untagged customer
        PDUs get), and the customers' VLANs in the tunnelling section."""
        sw = self.switches[switch]
        chassis = _plain(sw.chassis[0])
        access = self.access_ports(switch)
        native = {port: c.vlan for port, c in access}
        linked = {end[1] for link in self.links for end in link if end[0] == switch}
        for card in chassis.get("line_cards", []):
            for entry in card.get("ports", []):
                name = entry.get("name", f"e{card['slot']}/{entry['number']}")
                if name in linked:
                    entry["netdev"] = self.netdev(switch, name)
                if name in native:
                    entry["vlan"] = str(native[name])
        vlans = chassis.setdefault("vlans", [])
        tunnelling = chassis.setdefault("tunnelling", {})
        tunnelling["vlans"] = []
        for c in self.customers.values():
            ports = [{"port": p, "mode": "access"} for p, cu in access if cu is c]
            ports += [{"port": p, "mode": "core"} for n, p in c.core if n == switch]
            if not ports:
                continue
            name = next((v["name"] for v in vlans if int(v["id"], 0) == c.vlan), None)
            if name is None:
                name = f"vl{c.vlan}"
                vlans.append({"id": str(c.vlan), "name": name, "long_name": f"Vlan {c.vlan}"})
            tunnelling["vlans"].append({"vlan": name, "protocols": list(c.protocols),
                                        "ports": ports})
        if not vlans:
            del chassis["vlans"]
        return chassis

    def address(self, site):
        """The site's address on its bridge: one /24 per customer, 10.<VLAN/256>.<VLAN%256>.0,
        hosts numbered from 1 in the order the topology lists the customer's sites."""
        customer = self.customers[self.sites[site].customer]
        mates = [s for s in self.sites.values() if s.customer == customer.name]
        host = next(i for i, s in enumerate(mates, 1) if s.name == site)
        return f"10.{customer.vlan >> 8}.{customer.vlan & 255}.{host}"

    def netdev(self, node, port):
        """The interface a port stands for: s<slot>p<number> on switches, the port's own name
        at sites."""
        if node in self.switches:
            slot, number, _ = self.switches[node].ports[port]
            return f"s{slot}p{number}"
        return port


CHASSIS_KEYS = ("chassis", "rpm", "card_types", "line_cards", "lags", "vlans", "tunnelling",
                "pools", "faults")
CARD_KEYS = ("slot", "type", "present", "agent", "ports")
PORT_KEYS = ("number", "range", "name", "long_name", "unit", "pipe", "vlan", "netdev")


# ---- running things ----------------------------------------------------------------------------


def run(*cmd, check=True, quiet=False):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))}: {result.stderr.strip() or result.stdout}")
    return result


def nsexec(ns, *cmd, check=True):
    return run("ip", "netns", "exec", ns, *cmd, check=check)


def wait_for(what, condition, timeout, interval=0.1):
    """Polls condition until it returns a true value; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def wait_until_equal(what, observe, expected, timeout, interval=0.2):
    """Polls observe() until it equals expected; the error shows the last observation."""
    seen = []

    def same():
        seen[:] = [observe()]
        return seen[0] == expected
    try:
        wait_for(what, same, timeout, interval)
    except TimeoutError as e:
        raise TimeoutError(f"{e}: saw {seen[0]!r}, expected {expected!r}") from None


def require_root():
    if os.geteuid() != 0:
        raise PermissionError("the lab needs root (CAP_NET_ADMIN and CAP_SYS_ADMIN) to create "
                              "network namespaces: run it as root or through sudo")


class Lab:
    """A topology brought up (or to be brought up) under RUN_ROOT/<lab name>; name, when
    given, replaces the topology's lab name, so one topology can run as several labs."""

    def __init__(self, topology_path, build=None, name=None):
        self.topo = Topology(topology_path)
        if name is not None:
            if not NAME_RE.match(name):
                raise TopologyError(f"lab name '{name}' must match {NAME_RE.pattern}")
            self.topo.name = name
        self.build = Path(build) if build else REPO / "build"
        self.dir = RUN_ROOT / self.topo.name
        self.state_file = self.dir / "state.json"
        self.state = {"namespaces": [], "processes": []}
        self.load_state()

    @classmethod
    def unique(cls, topology_path, build=None):
        """The topology as a lab of a name nobody uses: its first three letters and five
        random characters, reserved by making its run directory. The lab records this
        process as its owner, so that sweep_orphans can take it down should the process
        die before it does."""
        prefix = Topology(topology_path).name[:3]
        RUN_ROOT.mkdir(parents=True, exist_ok=True, mode=0o755)
        for _ in range(100):
            name = prefix + "".join(random.choices(NAME_ALPHABET, k=5))
            try:
                (RUN_ROOT / name).mkdir(mode=0o755)
            except FileExistsError:
                continue
            if any(Path("/run/netns").glob(f"{name}-*")):
                continue  # a lab that lost its run directory; keep its name out of use
            lab = cls(topology_path, build, name)
            lab.state["owner"] = process_identity(os.getpid())
            lab._save()
            return lab
        raise RuntimeError(f"no free lab name in {RUN_ROOT}")

    # -- state

    def _save(self):
        tmp = self.state_file.with_suffix(".tmp")
        tmp.write_text(json.dumps(self.state, indent=1))
        os.replace(tmp, self.state_file)

    def load_state(self):
        if self.state_file.exists():
            self.state = json.loads(self.state_file.read_text())
        return self.state

    def binary(self, name):
        """The program from the build directory, or, for a lab installed with the package and
        no build directory, the installed one."""
        path = self.build / "app" / name
        if os.access(path, os.X_OK):
            return path
        installed = shutil.which(name, path="/usr/sbin:/usr/bin")
        if installed and not self.build.exists():
            return Path(installed)
        raise FileNotFoundError(f"{path} is not built (cmake --build {self.build})")

    def run_dir(self, switch):
        return self.dir / switch / "run"

    def ctl(self, switch, *args, check=True):
        return run(self.binary("l2ptctl"), "--run-dir", self.run_dir(switch), *args, check=check)

    def spawn(self, node, role, cmd, log):
        """Starts cmd in node's namespace, in its own process group, logging to log."""
        with open(log, "ab") as out:
            proc = subprocess.Popen(["ip", "netns", "exec", self.topo.namespace(node), *map(str, cmd)],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    start_new_session=True)
        self.state["processes"].append({"node": node, "role": role, "pid": proc.pid,
                                        "cmd": list(map(str, cmd))})
        self._save()
        return proc.pid

    def pids(self, node, role=None):
        return [p["pid"] for p in self.load_state()["processes"]
                if p["node"] == node and (role is None or p["role"] == role) and alive(p["pid"])]

    # -- up

    def up(self, timeout=30):
        require_root()
        t = self.topo
        if self.state_file.exists() and self.state["namespaces"]:
            raise RuntimeError(f"lab {t.name} is already up ({self.dir}); run down first")
        if t.switches:
            for name in ("l2pt-chassisd", "l2ptd", "l2ptctl"):
                self.binary(name)
        for node in [*t.switches, *t.sites]:
            if Path(f"/run/netns/{t.namespace(node)}").exists():
                raise RuntimeError(f"namespace {t.namespace(node)} exists: run down first")
        # lldpcli reaches lldpd's socket as lldpd's own user: the lab's directory stays readable.
        self.dir.mkdir(parents=True, exist_ok=True, mode=0o755)
        self._save()
        try:
            self._build(timeout)
        except BaseException:
            print("l2pt-lab: up failed; taking down what was built", file=sys.stderr)
            self.down()
            raise

    def _build(self, timeout):
        t = self.topo
        for node in [*t.switches, *t.sites]:
            ns = t.namespace(node)
            run("ip", "netns", "add", ns)
            self.state["namespaces"].append(ns)
            self._save()
            run("ip", "-n", ns, "link", "set", "lo", "up")
        for a, b in t.links:
            self._veth(t.namespace(a[0]), t.netdev(*a), t.namespace(b[0]), t.netdev(*b))
        for site in t.sites.values():
            self._start_site(site)
        for sw in t.switches.values():
            self._start_switch(sw, timeout)

    def _veth(self, ns_a, name_a, ns_b, name_b):
        run("ip", "link", "add", name_a, "netns", ns_a, "type", "veth", "peer", "name", name_b,
            "netns", ns_b)
        run("ip", "-n", ns_a, "link", "set", name_a, "up")
        run("ip", "-n", ns_b, "link", "set", name_b, "up")

    def _start_site(self, site):
        ns = self.topo.namespace(site.name)
        timers = [str(x) for kv in STP_TIMERS.items() for x in kv]
        run("ip", "-n", ns, "link", "add", BRIDGE, "type", "bridge", "stp_state", "1",
            "priority", str(site.priority), *timers)
        for port in site.ports:
            run("ip", "-n", ns, "link", "set", port, "master", BRIDGE)
        run("ip", "-n", ns, "addr", "add", f"{self.topo.address(site.name)}/24", "dev", BRIDGE)
        run("ip", "-n", ns, "link", "set", BRIDGE, "up")
        if site.lldp:
            sdir = self.dir / site.name
            sdir.mkdir(exist_ok=True)
            sock = sdir / "lldpd.socket"
            # lldpd reads its configuration through lldpcli before it starts sending.
            conf = sdir / "lldpd.conf"
            conf.write_text(f"configure system hostname {site.name}\n"
                            "configure lldp tx-interval 1\n")
            self.spawn(site.name, "lldpd", ["lldpd", "-d", "-u", sock, "-O", conf,
                                            "-I", ",".join(site.ports)], sdir / "lldpd.log")
            wait_for(f"lldpd of {site.name}", lambda: self.lldpcli(
                site.name, "show", "configuration", check=False).returncode == 0, 10)

    def lldpcli(self, site, *args, check=True):
        return nsexec(self.topo.namespace(site), "lldpcli", "-u",
                      self.dir / site / "lldpd.socket", *args, check=check)

    def _start_switch(self, sw, timeout):
        sdir = self.dir / sw.name
        sdir.mkdir(exist_ok=True)
        chassis = sdir / "chassis.yaml"
        chassis.write_text(f"# Written by l2pt-lab for switch {sw.name} of {self.topo.path}\n" +
                           yaml.safe_dump(self.topo.chassis_file(sw.name), sort_keys=False))
        rundir = self.run_dir(sw.name)
        # The switch's pins in a bpffs of its own, outside /sys (which ip netns exec mounts anew
        # for each process), so that its next daemon finds them; it goes with the lab.
        bpffs = sdir / "bpffs"
        bpffs.mkdir(exist_ok=True)
        if not mounted(bpffs):
            run("mount", "-t", "bpf", "bpf", bpffs)
        # --lab: the lab's tests and its users drive scenario inputs (l2ptctl do) too.
        self.spawn(sw.name, "chassisd", [self.binary("l2pt-chassisd"), "--chassis", chassis,
                                         "--run-dir", rundir, "--state", sdir / "state.yaml",
                                         "--log", sdir / "chassisd.log", "--bpffs", bpffs,
                                         "--lab"],
                   sdir / "chassisd.out")
        wait_for(f"{sw.name}'s chassis daemon", lambda: (rundir / "task.sock").exists(), timeout)
        for i in range(sw.rpms):
            self.start_l2ptd(sw.name, "primary" if i == 0 else "secondary")
            if i == 0:
                wait_for(f"{sw.name}'s primary l2ptd",
                         lambda: self.ctl(sw.name, "status", check=False).returncode == 0,
                         timeout)

    def restart_chassisd(self, switch, sig=signal.SIGTERM, timeout=30):
        """Ends the switch's chassis daemon with sig and starts it again as it was started; its
        l2ptd processes join the new one by themselves."""
        entry = next(p for p in reversed(self.load_state()["processes"])
                     if p["node"] == switch and p["role"] == "chassisd")
        os.kill(entry["pid"], sig)
        wait_for(f"{switch}'s chassis daemon to end", lambda: not alive(entry["pid"]), timeout)
        self.spawn(switch, "chassisd", entry["cmd"], self.dir / switch / "chassisd.out")
        wait_for(f"{switch}'s primary l2ptd back",
                 lambda: self.ctl(switch, "status", check=False).returncode == 0, timeout)

    def start_l2ptd(self, switch, role):
        """Starts one more l2ptd on the switch; the daemon makes it the primary if there is
        none, else the secondary."""
        return self.spawn(switch, role, [self.binary("l2ptd"), "--chassis", self.run_dir(switch)],
                          self.dir / switch / "l2ptd.log")

    # -- down

    def down(self):
        """Ends every process in the lab's namespaces and the ones it started, deletes the
        namespaces (their veths go with them) and the run directory."""
        require_root()
        self.load_state()
        namespaces = set(self.state["namespaces"])
        namespaces.update(self.topo.namespace(n) for n in [*self.topo.switches, *self.topo.sites])
        remove(self.dir, namespaces, [p["pid"] for p in self.state["processes"]])
        self.state = {"namespaces": [], "processes": []}

    # -- status

    def status(self):
        """One line per node: namespace, processes, and for sites the bridge's root and ports."""
        lines = []
        self.load_state()
        for node in [*self.topo.switches, *self.topo.sites]:
            ns = self.topo.namespace(node)
            if not Path(f"/run/netns/{ns}").exists():
                lines.append(f"{node}: down")
                continue
            procs = " ".join(f"{p['role']}:{p['pid']}{'' if alive(p['pid']) else '(dead)'}"
                             for p in self.state["processes"] if p["node"] == node)
            text = f"{node}: {procs}"
            if node in self.topo.switches:
                ok = self.ctl(node, "status", check=False).returncode == 0
                text += " task ready" if ok else " task NOT ready"
            else:
                text += f" root {self.root_id(node)} " + " ".join(
                    f"{p}={s}" for p, s in self.port_states(node).items())
            lines.append(text)
        return lines

    # -- what the customers see

    def bridge_attr(self, site, attr, port=None):
        path = (f"/sys/class/net/{BRIDGE}/brif/{port}/{attr}" if port
                else f"/sys/class/net/{BRIDGE}/bridge/{attr}")
        return nsexec(self.topo.namespace(site), "cat", path).stdout.strip()

    def root_id(self, site):
        return self.bridge_attr(site, "root_id")

    def port_states(self, site):
        return {p: PORT_STATES.get(int(self.bridge_attr(site, "state", p)), "?")
                for p in self.topo.sites[site].ports}


def remove(directory, namespaces, pids):
    """Ends pids and every process in the namespaces, deletes the namespaces (their veths go
    with them) and the directory; raises if any of it stays."""
    namespaces = [ns for ns in namespaces if Path(f"/run/netns/{ns}").exists()]
    for ns in namespaces:
        pids += [int(p) for p in run("ip", "netns", "pids", ns, check=False).stdout.split()]
    stop(pids)
    for ns in namespaces:
        run("ip", "netns", "del", ns)
    # The switches' bpffs mounts, and with them their pins.
    for point in sorted(mount_points_under(directory), reverse=True):
        run("umount", "-l", point, check=False)
    shutil.rmtree(directory, ignore_errors=True)
    left = [ns for ns in namespaces if Path(f"/run/netns/{ns}").exists()]
    if left or directory.exists():
        raise RuntimeError(f"down left {left or directory} behind")


def mount_points_under(directory):
    """The mount points at or below directory, from /proc/self/mounts (octal escapes undone)."""
    prefix = str(Path(directory).resolve())
    points = []
    for line in Path("/proc/self/mounts").read_text().splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m[1], 8)), fields[1])
        if point == prefix or point.startswith(prefix + "/"):
            points.append(point)
    return points


def mounted(path):
    return str(Path(path).resolve()) in mount_points_under(path)


def process_identity(pid):
    """[pid, start time in clock ticks since boot], a pid alone may have been reused; None
    when no such process runs."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return [pid, int(stat.rsplit(")", 1)[1].split()[19])]


def sweep_orphans():
    """Takes down every lab whose owner (the process that made it with Lab.unique) has
    ended without taking it down, killed say; the lab names taken down."""
    swept = []
    for state_file in sorted(RUN_ROOT.glob("*/state.json")):
        try:
            state = json.loads(state_file.read_text())
        except (OSError, ValueError):
            continue
        owner = state.get("owner")
        if not owner or process_identity(owner[0]) == owner:
            continue
        name = state_file.parent.name
        namespaces = set(state.get("namespaces", []))
        namespaces.update(p.name for p in Path("/run/netns").glob(f"{name}-*"))
        remove(state_file.parent, namespaces, [p["pid"] for p in state.get("processes", [])])
        swept.append(name)
    return swept


def alive(pid):
    try:
        # A child of this process that has ended is a zombie until reaped.
        if os.waitpid(pid, os.WNOHANG)[0] == pid:
            return False
    except ChildProcessError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def stop(pids, grace=3.0):
    """SIGTERM to each process and its group, SIGKILL to what is left after grace seconds."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids:
            for kill in (os.killpg, os.kill):
                try:
                    kill(pid, sig)
                except (ProcessLookupError, PermissionError):
                    pass
        deadline = time.monotonic() + grace
        while any(alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="l2pt-lab", description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="build directory holding app/ (default: <repo>/build)")
    parser.add_argument("--name", help="the lab's name instead of the topology's (a second "
                                       "lab of the same topology)")
    sub = parser.add_subparsers(dest="cmd", required=True)
    for name, text in (("up", "build the lab and start everything"),
                       ("down", "remove the lab: processes, namespaces, run directory"),
                       ("status", "show what runs and what the customers' bridges see"),
                       ("check", "read the topology and print each switch's chassis file")):
        sub.add_parser(name, help=text).add_argument("topology")
    p = sub.add_parser("exec", help="run a command in a node's namespace")
    p.add_argument("topology")
    p.add_argument("node")
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("ctl", help="run l2ptctl against a switch")
    p.add_argument("topology")
    p.add_argument("node")
    p.add_argument("args", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    try:
        lab = Lab(args.topology, args.build, args.name)
        if args.cmd == "up":
            lab.up()
            print(f"lab {lab.topo.name} is up; state in {lab.dir}")
        elif args.cmd == "down":
            lab.down()
        elif args.cmd == "status":
            print("\n".join(lab.status()))
        elif args.cmd == "check":
            for sw in lab.topo.switches:
                print(f"# {sw}\n" + yaml.safe_dump(lab.topo.chassis_file(sw), sort_keys=False))
        elif args.cmd == "exec":
            if args.node not in lab.topo.switches and args.node not in lab.topo.sites:
                raise TopologyError(f"no node named '{args.node}'")
            os.execvp("ip", ["ip", "netns", "exec", lab.topo.namespace(args.node),
                             *(args.command or [os.environ.get("SHELL", "/bin/sh")])])
        elif args.cmd == "ctl":
            if args.node not in lab.topo.switches:
                raise TopologyError(f"no switch named '{args.node}'")
            os.execv(lab.binary("l2ptctl"), ["l2ptctl", "--run-dir", str(lab.run_dir(args.node)),
                                             *args.args])
    except (TopologyError, RuntimeError, OSError, TimeoutError) as e:
        print(f"l2pt-lab: {e}", file=sys.stderr)
        return 2 if isinstance(e, TopologyError) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
