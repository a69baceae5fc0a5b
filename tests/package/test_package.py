#!/usr/bin/env python3
"""The Debian package, built from the build as it stands and unpacked into a scratch root: its
files and modes, units, maintainer scripts, dependencies, and the unpacked programs themselves.

    L2PT_BUILD=BUILD_DIR tests/package/test_package.py
"""

import glob
import gzip
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD = os.environ["L2PT_BUILD"]


def control_field(control, name):
    m = re.search(r"^%s: (.*)$" % name, control, re.M)
    return m.group(1) if m else ""


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        built = subprocess.run(["cmake", "--build", BUILD, "--target", "package"],
                               capture_output=True, text=True)
        if built.returncode != 0:
            raise AssertionError("the package did not build:\n" + built.stdout + built.stderr)
        debs = glob.glob(os.path.join(BUILD, "l2pt_*.deb"))
        if len(debs) != 1:
            raise AssertionError("expected one package in %s, found %s" % (BUILD, debs))
        cls.root = tempfile.mkdtemp(prefix="l2pt-pkg-")
        subprocess.run(["dpkg-deb", "-x", debs[0], cls.root], check=True)
        subprocess.run(["dpkg-deb", "-e", debs[0], os.path.join(cls.root, "DEBIAN")], check=True)
        cls.control = cls.read("DEBIAN/control")
        cls.version = control_field(cls.control, "Version")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def read(cls, path):
        return Path(cls.root, path).read_text()

    def mode(self, path):
        return stat.S_IMODE(os.lstat(os.path.join(self.root, path)).st_mode)

    def test_files_and_modes(self):
        expected = {
            "usr/sbin/l2pt-chassisd": 0o755, "usr/sbin/l2ptd": 0o755, "usr/bin/l2ptctl": 0o755,
            "usr/lib/l2pt/lab/l2pt-lab": 0o755, "usr/lib/l2pt/lab/l2pt_lab.py": 0o644,
            "usr/lib/systemd/system/l2pt-chassisd@.service": 0o644,
            "usr/lib/systemd/system/l2ptd@.service": 0o644,
            "usr/share/bash-completion/completions/l2ptctl": 0o644,
            "etc/l2pt/example.yaml": 0o644,
            "DEBIAN/postinst": 0o755, "DEBIAN/prerm": 0o755, "DEBIAN/postrm": 0o755,
        }
        for page in ("l2pt-chassisd", "l2ptd", "l2ptctl"):
            expected["usr/share/man/man8/%s.8.gz" % page] = 0o644
            m = gzip.decompress(Path(self.root, "usr/share/man/man8", page + ".8.gz").read_bytes())
            self.assertTrue(m.startswith(b".TH %s 8" % page.upper().encode()), page)
        for path, mode in expected.items():
            with self.subTest(path=path):
                self.assertEqual(oct(self.mode(path)), oct(mode))
        self.assertEqual(os.readlink(os.path.join(self.root, "usr/bin/l2pt-lab")),
                         "../lib/l2pt/lab/l2pt-lab")
        self.assertEqual(self.read("DEBIAN/conffiles").split(), ["/etc/l2pt/example.yaml"])

    def test_dependencies_are_the_runtime_libraries(self):
        depends = control_field(self.control, "Depends")
        for lib in ("adduser", "libc6", "libstdc++6", "libyaml-0-2", "libpcap", "libsystemd0"):
            self.assertIn(lib, depends)
        self.assertNotIn("lldpd", depends)  # the lab's tools are suggested only
        self.assertIn("lldpd", control_field(self.control, "Suggests"))

    def test_maintainer_scripts_make_the_user_and_groups_and_leave_them(self):
        postinst = self.read("DEBIAN/postinst")
        self.assertRegex(postinst, re.compile(r"adduser .*--system .*--ingroup l2pt .* l2pt\n", re.S))
        self.assertRegex(postinst, r"addgroup .*--system l2pt-operators")
        self.assertRegex(postinst, re.compile(r"adduser .*--system .*--ingroup l2pt-task .* "
                                              r"l2pt-task\n", re.S))
        postrm = self.read("DEBIAN/postrm")
        self.assertNotRegex(postrm, r"deluser|delgroup|userdel|groupdel")
        self.assertIn('l2pt-chassisd --remove "$name"', self.read("DEBIAN/prerm"))
        for script in ("postinst", "prerm", "postrm"):
            subprocess.run(["sh", "-n", os.path.join(self.root, "DEBIAN", script)], check=True)

    def test_an_upgrade_restarts_the_running_daemons_and_stops_nothing_first(self):
        # The scripts under systemd (a /run of their own where it is found) with the users
        # there and a systemctl that writes down what it is asked.
        if os.geteuid() != 0:
            self.fail("this test needs root: it mounts a /run of its own for the scripts")
        fake = tempfile.mkdtemp(prefix="l2pt-systemctl-")
        self.addCleanup(shutil.rmtree, fake)
        log = os.path.join(fake, "asked")
        for tool, body in (("systemctl", 'echo "$*" >> %s' % log), ("getent", "exit 0")):
            Path(fake, tool).write_text("#!/bin/sh\n" + body + "\n")
            os.chmod(os.path.join(fake, tool), 0o755)
        env = dict(os.environ, PATH=fake + ":" + os.environ["PATH"])
        systemd = 'mount -t tmpfs run /run && mkdir -p /run/systemd/system && exec sh "$@"'
        for script, args, asked in (
                ("postinst", ["configure"], ["daemon-reload"]),
                ("postinst", ["configure", "0.8.0"],
                 ["daemon-reload", "try-restart l2pt-chassisd@*.service"]),
                ("prerm", ["upgrade", self.version], [])):
            with self.subTest(script=script, args=args):
                Path(log).write_text("")
                subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", systemd,
                                "sh", os.path.join(self.root, "DEBIAN", script), *args],
                               env=env, check=True)
                self.assertEqual(Path(log).read_text().splitlines(), asked)

    def test_units(self):
        chassisd = self.read("usr/lib/systemd/system/l2pt-chassisd@.service")
        for line in ("Type=notify", "User=l2pt\n", "SupplementaryGroups=l2pt-operators l2pt-task\n",
                     "--group l2pt-operators --task-group l2pt-task\n",
                     "RestrictAddressFamilies=AF_UNIX AF_NETLINK AF_PACKET\n",
                     "ProtectProc=invisible\n", "ProcSubset=pid\n", "MemoryMax=",
                     "AmbientCapabilities=CAP_NET_RAW CAP_NET_ADMIN CAP_BPF\n",
                     "CapabilityBoundingSet=CAP_NET_RAW CAP_NET_ADMIN CAP_BPF\n",
                     "RuntimeDirectory=l2pt/%i", "RuntimeDirectoryPreserve=restart\n",
                     "StateDirectory=l2pt/%i", "NoNewPrivileges=yes",
                     "#NetworkNamespacePath=", "--state /var/lib/l2pt/%i/state.yaml"):
            self.assertIn(line, chassisd)
        task = self.read("usr/lib/systemd/system/l2ptd@.service")
        for line in ("Wants=l2pt-chassisd@%i.service", "After=l2pt-chassisd@%i.service",
                     "Restart=on-failure", "User=l2pt-task\n", "Group=l2pt-task\n",
                     "SupplementaryGroups=l2pt-operators\n", "CapabilityBoundingSet=\n",
                     "ExecStart=/usr/sbin/l2ptd --chassis /run/l2pt/%i"):
            self.assertIn(line, task)

    def test_units_verify(self):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.fail("systemd-analyze is missing (scripts/setup installs systemd)")
        # ExecStart= names the unpacked programs, so that verify finds them.
        units = tempfile.mkdtemp(prefix="l2pt-units-")
        self.addCleanup(shutil.rmtree, units)
        paths = []
        for name in ("l2pt-chassisd@.service", "l2ptd@.service"):
            paths.append(os.path.join(units, name))
            Path(paths[-1]).write_text(self.read("usr/lib/systemd/system/" + name).replace(
                "/usr/sbin/", os.path.join(self.root, "usr/sbin/")))
        r = subprocess.run([analyze, "verify", "--man=no", *paths], capture_output=True,
                           text=True)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_programs_say_the_package_version(self):
        for program in ("usr/sbin/l2pt-chassisd", "usr/sbin/l2ptd", "usr/bin/l2ptctl"):
            r = subprocess.run([os.path.join(self.root, program), "--version"],
                               capture_output=True, text=True)
            self.assertEqual(r.stdout.strip(), "%s %s" % (os.path.basename(program),
                                                          self.version))
        # The example chassis runs as it stands.
        r = subprocess.run([os.path.join(self.root, "usr/sbin/l2ptd"), "--sim",
                            os.path.join(self.root, "etc/l2pt/example.yaml")],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
