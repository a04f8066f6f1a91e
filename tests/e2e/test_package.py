"""Shipping: cmake --install lays out the programs, the manual pages, the service
unit, the completions and the licence under the chosen prefix; the Debian package
holds exactly these, passes lintian, carries one version everywhere, and its
maintainer scripts run under dpkg in a scratch root; its cardbox and cardpost work end
to end from there; the unit and the manual pages pass their linters."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import TIMEOUT, mount_namespace_failure, run, start_cardbox, summary, with_hosts

PROGRAMS = ("cardbox", "cardpost", "linebounce")
# Where Wireshark looks for global Lua plugins, under the multiarch folder if any.
DISSECTOR = os.path.join("lib", os.environ.get("LIBRARY_ARCHITECTURE", ""), "wireshark/plugins/cardbox.lua")
INSTALLED = sorted([f"bin/{name}" for name in PROGRAMS]
                   + [f"share/man/man1/{name}.1.gz" for name in PROGRAMS]
                   + [f"share/bash-completion/completions/{name}" for name in PROGRAMS]
                   + ["share/man/man7/cardbox-record.7.gz", DISSECTOR, "lib/cardbox/client-tls.so",
                      "lib/systemd/system/cardbox.service", "lib/systemd/system/cardbox.socket",
                      "share/doc/cardbox/copyright", "share/doc/cardbox/changelog.gz",
                      "share/doc/cardbox/examples/cardbox-tls.conf"])
ROTATION = "etc/logrotate.d/cardbox"
VERSION = os.environ.get("PROJECT_VERSION", "")


def files_under(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root)
                  for folder, _, names in os.walk(root) for name in names)


def command(*argv, cwd=None):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=120, cwd=cwd)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} failed: {result.stdout}{result.stderr}")
    return result


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        build = os.environ["BUILD_DIR"]
        command("cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                "-B", os.path.join(cls.scratch.name, "package"))
        [cls.deb] = [os.path.join(cls.scratch.name, "package", name)
                     for name in os.listdir(os.path.join(cls.scratch.name, "package"))
                     if name.endswith(".deb")]
        cls.root = os.path.join(cls.scratch.name, "root")
        command("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_holds_the_programs_pages_and_unit_for_usr(self):
        self.assertEqual(files_under(os.path.join(self.root, "usr")), INSTALLED)
        fields = command("dpkg-deb", "--field", self.deb, "Package", "Version", "Depends").stdout
        self.assertIn("Package: cardbox\n", fields)
        self.assertIn(f"Version: {VERSION}\n", fields)
        self.assertIn("Depends: libc6", fields)
        # The clients load OpenSSL only for TLS, yet the package still needs it.
        self.assertRegex(fields, r"Depends: .*\blibssl3\b")
        with open(os.path.join(self.root, "usr/lib/systemd/system/cardbox.service")) as unit:
            text = unit.read()
        # The records in a file of their own, never in the journal, which drops them.
        self.assertIn("ExecStart=/usr/bin/cardbox --output=/var/lib/cardbox/records.jsonl --json --sync --summary "
                      "$CARDBOX_TLS $CARDBOX_OPTIONS\n", text)
        self.assertIn("\nType=notify\n", text)
        # Restarts at any rate; a usage error fails once.
        self.assertIn("\nStartLimitIntervalSec=0\n", text)
        self.assertIn("\nRestartPreventExitStatus=64\n", text)
        self.assertIn('\nEnvironment="CARDBOX_OPTIONS=--connections=1024 --per-address=64 --timeout=300"\n', text)
        with open(os.path.join(self.root, ROTATION)) as rotation:
            self.assertIn("/var/lib/cardbox/records.jsonl {", rotation.read())
        self.assertEqual(command("dpkg-deb", "--info", self.deb, "conffiles").stdout, "/" + ROTATION + "\n")
        for name in PROGRAMS:
            command("bash", "-n", os.path.join(self.root, "usr/share/bash-completion/completions", name))
        if shutil.which("tshark"):
            fields = command("tshark", "-G", "fields", "-X", f"lua_script:{os.path.join(self.root, 'usr', DISSECTOR)}")
            self.assertIn("\tcardbox.edad\t", fields.stdout)
            # Nothing of the C++ run-time library is used: it is not loaded.
            needed = command("readelf", "-d", os.path.join(self.root, "usr/bin", name)).stdout
            self.assertNotIn("libstdc++", needed, name)

    def test_installed_programs_work_end_to_end(self):
        installed = os.path.join(self.root, "usr", "bin")
        saved = {name: os.environ.get(name.upper()) for name in PROGRAMS}
        os.environ.update({name.upper(): os.path.join(installed, name) for name in PROGRAMS})
        try:
            with start_cardbox() as server:
                before = len(server.out)
                # By name, as a host in /etc/hosts.
                wrapper = with_hosts("::1 recordhost\n") if mount_namespace_failure() is None else ()
                host = ["recordhost"] if wrapper else []
                self.assertEqual(run("cardpost", b"Ana\nPerez\n25\n", wrapper=wrapper, arguments=host),
                                 (0, summary(b"Ana\n", b"Perez\n", 25), b""))
                shown = server.wait_out_ending(b" Edad:25\n")[before:]
            self.assertRegex(shown, rb"^cliente conectado desde ::1:\d+\n\nSe recibieron 62 bytes\n"
                                    rb"\nNombre: Ana\n\nApellido: Perez\n\n Edad:25\n$")
        finally:
            for name, path in saved.items():
                if path is None:
                    os.environ.pop(name.upper(), None)
                else:
                    os.environ[name.upper()] = path

    def test_one_version_everywhere(self):
        with gzip.open(os.path.join(self.root, "usr/share/doc/cardbox/changelog.gz")) as changelog:
            self.assertTrue(changelog.readline().startswith(f"cardbox ({VERSION}) ".encode()))
        for name in PROGRAMS:
            with self.subTest(name):
                version = subprocess.run([os.path.join(self.root, "usr/bin", name), "--version"],
                                         capture_output=True, timeout=TIMEOUT)
                self.assertEqual((version.returncode, version.stdout, version.stderr),
                                 (0, f"{name} {VERSION}\n".encode(), b""))
                with gzip.open(os.path.join(self.root, f"usr/share/man/man1/{name}.1.gz")) as page:
                    self.assertIn(f'"cardbox {VERSION}"'.encode(), page.readline())

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_accepts_the_package(self):
        result = subprocess.run(["lintian", "--allow-root", "--fail-on", "error,warning", self.deb],
                                capture_output=True, text=True, timeout=300)
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    @unittest.skipUnless(os.geteuid() == 0, "dpkg needs root to run scripts in a scratch root")
    def test_maintainer_scripts_run_by_dpkg_in_a_scratch_root(self):
        # A root with a shell, an empty dpkg database and stand-ins that record their
        # calls for systemctl and Debian's service helpers; /run/systemd/system says
        # that systemd runs there. dpkg runs the scripts chrooted into it.
        root = os.path.join(self.scratch.name, "scripts-root")
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "run/systemd/system",
                       "usr/bin", "usr/sbin", "bin", "dev"):
            os.makedirs(os.path.join(root, folder))
        for empty in ("var/lib/dpkg/status", "var/lib/dpkg/available", "dev/null"):
            open(os.path.join(root, empty), "w").close()
        # The shell, dpkg itself for the scripts' comparison of versions, and rm.
        for program in ("/bin/sh", "/usr/bin/dpkg", "/bin/rm"):
            libraries = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
            for path in [program, *(word for word in libraries.split() if word.startswith("/"))]:
                os.makedirs(os.path.dirname(root + path), exist_ok=True)
                shutil.copy(path, root + path)
        for tool in ("systemctl", "deb-systemd-helper", "deb-systemd-invoke", "ldconfig",
                     "start-stop-daemon"):
            folder = "usr/sbin" if tool in ("ldconfig", "start-stop-daemon") else "usr/bin"
            with open(os.path.join(root, folder, tool), "w") as stand_in:
                stand_in.write(f'#!/bin/sh\necho "{tool} $*" >> /calls\n')
            os.chmod(os.path.join(root, folder, tool), 0o755)

        said = []  # what the scripts printed

        def dpkg(*action):
            result = command("dpkg", f"--root={root}", "--force-depends", *action)
            said.append(result.stdout + result.stderr)
            with open(os.path.join(root, "calls"), "r+") as calls:
                made = calls.read().splitlines()
                calls.truncate(0)
            return made

        open(os.path.join(root, "calls"), "w").close()
        enable = [call for unit in ("cardbox.socket", "cardbox.service")
                  for call in (f"deb-systemd-helper unmask {unit}",
                               f"deb-systemd-helper --quiet was-enabled {unit}",
                               f"deb-systemd-helper enable {unit}")] + ["systemctl --system daemon-reload"]
        start = ["deb-systemd-invoke start cardbox.socket cardbox.service"]
        # Installed, then upgraded: the socket keeps listening while the service restarts.
        self.assertEqual(dpkg("-i", self.deb), enable + start)
        self.assertEqual(dpkg("-i", self.deb), enable + ["deb-systemd-invoke restart cardbox.service"])
        self.assertTrue(os.path.exists(os.path.join(root, "usr/bin/cardbox")))
        self.assertEqual(dpkg("-r", "cardbox"), ["deb-systemd-invoke stop cardbox.socket cardbox.service",
                                                 "systemctl --system daemon-reload"])
        self.assertFalse(os.path.exists(os.path.join(root, "usr/bin/cardbox")))
        # Purged, the service's records go too.
        os.makedirs(os.path.join(root, "var/lib/private/cardbox"))
        open(os.path.join(root, "var/lib/private/cardbox/records.jsonl"), "w").close()
        self.assertEqual(dpkg("-P", "cardbox"), ["deb-systemd-helper purge cardbox.socket cardbox.service"])
        self.assertFalse(os.path.exists(os.path.join(root, "var/lib/private/cardbox")))
        # From 1.1.0, whose server listened by itself: stopped before the socket starts,
        # and an address in its options pointed to the socket unit.
        dpkg("-i", self.relabelled("1.1.0"))
        os.makedirs(os.path.join(root, "etc/default"))
        with open(os.path.join(root, "etc/default/cardbox"), "w") as defaults:
            defaults.write('CARDBOX_OPTIONS="--idle-timeout=300 --bind=::1"\n')
        self.assertEqual(dpkg("-i", self.deb), enable + ["deb-systemd-invoke stop cardbox.service"] + start)
        self.assertIn("move it to a drop-in of cardbox.socket", said[-1])

    def relabelled(self, version):
        """Returns this package with another version in its control file."""
        tree = os.path.join(self.scratch.name, f"tree-{version}")
        command("dpkg-deb", "-R", self.deb, tree)
        control = os.path.join(tree, "DEBIAN", "control")
        with open(control) as fields:
            text = "".join(f"Version: {version}\n" if line.startswith("Version:") else line
                           for line in fields)
        with open(control, "w") as fields:
            fields.write(text)
        deb = os.path.join(self.scratch.name, f"cardbox_{version}.deb")
        command("dpkg-deb", "--root-owner-group", "-b", tree, deb)
        return deb

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_units_verify(self):
        # The units as installed, the service pointed at the server in the scratch
        # root, since the host has none in /usr/bin, and its manual page found there.
        units = os.path.join(self.scratch.name, "units")
        os.makedirs(units)
        for name in ("cardbox.service", "cardbox.socket"):
            with open(os.path.join(self.root, "usr/lib/systemd/system", name)) as unit:
                text = unit.read().replace("ExecStart=/usr/bin/", f"ExecStart={self.root}/usr/bin/")
            with open(os.path.join(units, name), "w") as unit:
                unit.write(text)
        result = subprocess.run(["systemd-analyze", "verify", os.path.join(units, "cardbox.socket"),
                                 os.path.join(units, "cardbox.service")],
                                capture_output=True, text=True, timeout=TIMEOUT,
                                env={**os.environ, "MANPATH": os.path.join(self.root, "usr/share/man")})
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    @unittest.skipUnless(shutil.which("groff") and shutil.which("mandoc"), "needs groff and mandoc")
    def test_manual_pages_render_without_warnings(self):
        program_sections = (b"NAME", b"SYNOPSIS", b"DESCRIPTION", b"EXIT STATUS", b"EXAMPLES", b"SEE ALSO")
        pages = [(f"man1/{name}.1.gz", program_sections) for name in PROGRAMS]
        pages.append(("man7/cardbox-record.7.gz", (b"NAME", b"LAYOUT", b"VERDICT", b"HEX DUMP", b"SEE ALSO")))
        for name, sections in pages:
            with self.subTest(name):
                with gzip.open(os.path.join(self.root, "usr/share/man", name)) as page:
                    source = page.read()
                result = subprocess.run(["groff", "-ww", "-man", "-Tutf8", "-P-cbou"], input=source,
                                        capture_output=True, timeout=TIMEOUT)
                self.assertEqual(result.stderr, b"")
                for section in sections:
                    self.assertIn(section, result.stdout)
                # A request that a slip left inside a line is shown as text, and groff
                # does not warn about it.
                self.assertEqual(re.findall(rb"(?m)^.*(?:(?<!\.)\.\.[A-Z]|^\s*\.[A-Z]{1,2}\b).*$", result.stdout), [])
                lint = subprocess.run(["mandoc", "-T", "lint", "-W", "warning"], input=source,
                                      capture_output=True, timeout=TIMEOUT)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))


class Install(unittest.TestCase):
    def test_install_under_a_chosen_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            command("cmake", "--install", os.environ["BUILD_DIR"], "--prefix", prefix, "--strip")
            self.assertEqual(files_under(prefix), sorted(INSTALLED + [ROTATION]))
            with open(os.path.join(prefix, "lib/systemd/system/cardbox.service")) as unit:
                self.assertIn(f"ExecStart={prefix}/bin/cardbox --output=", unit.read())
            status = subprocess.run([os.path.join(prefix, "bin", "cardpost")], input=b"",
                                    capture_output=True, timeout=TIMEOUT).returncode
            self.assertEqual(status, 2)  # installed, runs, finds no server


if __name__ == "__main__":
    unittest.main()
