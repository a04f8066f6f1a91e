"""Shipping: cmake --install lays out the programs, the manual pages and the service
unit under the chosen prefix; the Debian package holds exactly these, and its
cardbox and cardpost work end to end from a scratch root; the unit and the manual
pages pass their linters."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import TIMEOUT, run, start_cardbox, summary

PROGRAMS = ("cardbox", "cardpost", "linebounce")
INSTALLED = sorted([f"bin/{name}" for name in PROGRAMS]
                   + [f"share/man/man1/{name}.1.gz" for name in PROGRAMS]
                   + ["lib/systemd/system/cardbox.service"])


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
        fields = command("dpkg-deb", "--field", self.deb, "Package", "Depends").stdout
        self.assertIn("Package: cardbox", fields)
        self.assertIn("Depends: libc6", fields)
        with open(os.path.join(self.root, "usr/lib/systemd/system/cardbox.service")) as unit:
            self.assertIn("ExecStart=/usr/bin/cardbox\n", unit.read())

    def test_installed_programs_work_end_to_end(self):
        installed = os.path.join(self.root, "usr", "bin")
        saved = {name: os.environ.get(name.upper()) for name in PROGRAMS}
        os.environ.update({name.upper(): os.path.join(installed, name) for name in PROGRAMS})
        try:
            with start_cardbox() as server:
                before = len(server.out)
                self.assertEqual(run("cardpost", b"Ana\nPerez\n25\n"),
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

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_unit_verifies(self):
        # The unit as installed, pointed at the server in the scratch root, since the
        # host has none in /usr/bin; its manual page is checked below instead.
        with open(os.path.join(self.root, "usr/lib/systemd/system/cardbox.service")) as unit:
            text = unit.read().replace("ExecStart=/usr/bin/", f"ExecStart={self.root}/usr/bin/")
        unit_path = os.path.join(self.scratch.name, "cardbox.service")
        with open(unit_path, "w") as unit:
            unit.write(text)
        result = subprocess.run(["systemd-analyze", "verify", "--man=no", unit_path],
                                capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    @unittest.skipUnless(shutil.which("groff"), "groff is not installed")
    def test_manual_pages_render_without_warnings(self):
        for name in PROGRAMS:
            with self.subTest(name):
                with gzip.open(os.path.join(self.root, f"usr/share/man/man1/{name}.1.gz")) as page:
                    source = page.read()
                result = subprocess.run(["groff", "-ww", "-man", "-Tutf8", "-P-cbou"], input=source,
                                        capture_output=True, timeout=TIMEOUT)
                self.assertEqual(result.stderr, b"")
                for section in (b"NAME", b"SYNOPSIS", b"DESCRIPTION", b"EXIT STATUS",
                                b"EXAMPLES", b"SEE ALSO"):
                    self.assertIn(section, result.stdout)


class Install(unittest.TestCase):
    def test_install_under_a_chosen_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            command("cmake", "--install", os.environ["BUILD_DIR"], "--prefix", prefix)
            self.assertEqual(files_under(prefix), INSTALLED)
            with open(os.path.join(prefix, "lib/systemd/system/cardbox.service")) as unit:
                self.assertIn(f"ExecStart={prefix}/bin/cardbox\n", unit.read())
            status = subprocess.run([os.path.join(prefix, "bin", "cardpost")], input=b"",
                                    capture_output=True, timeout=TIMEOUT).returncode
            self.assertEqual(status, 2)  # installed, runs, finds no server


if __name__ == "__main__":
    unittest.main()
