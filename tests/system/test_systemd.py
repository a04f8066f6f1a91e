"""The package under a real systemd: Debian 12 booted by systemd-nspawn, the .deb
installed with dpkg, and clients in the root's own network. Every record whose client
saw a normal close must be in /var/lib/cardbox/records.jsonl, through a burst,
restarts at any rate and a rotation; options it cannot use fail once; purging leaves
nothing behind. Prints its figures."""

import collections
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

import debian_root

HERE = os.path.dirname(os.path.abspath(__file__))


def make_certificates(folder):
    """A CA, a certificate for localhost from it, and the same renewed for the same key."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True, timeout=60)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj", "/CN=ca")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "san.ext"), "w") as extensions:
        extensions.write("subjectAltName=DNS:localhost,IP:::1\n")
    for name in ("server", "renewed"):
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", f"{name}.pem", "-extfile", "san.ext", "-days", "30")
RECORDS = "/var/lib/cardbox/records.jsonl"
# What the root holds besides a minimal Debian 12: systemd to boot, logrotate to
# rotate, and what the package depends on.
PACKAGES = ["systemd", "systemd-sysv", "dbus", "logrotate", "libsystemd0", "libssl3"]


def build_package(scratch):
    build = os.environ["BUILD_DIR"]
    subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                    "-B", scratch], check=True, capture_output=True, timeout=300)
    [deb] = [name for name in os.listdir(scratch) if name.endswith(".deb")]
    return os.path.join(scratch, deb)


@unittest.skipIf(debian_root.missing_tools(), debian_root.missing_tools())
class UnderSystemd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.started = time.monotonic()
        cls.scratch = debian_root.scratch_folder()
        tarball = debian_root.root_tarball(PACKAGES)
        cls.root = os.path.join(cls.scratch.name, "root")
        debian_root.unpack(tarball, cls.root)
        deb = build_package(os.path.join(cls.scratch.name, "package"))
        # /tmp is a memory file system of its own once the root boots.
        os.replace(deb, os.path.join(cls.root, "root", "cardbox.deb"))
        try:
            cls.system = debian_root.Booted(cls.root, os.path.join(cls.scratch.name, "boot.log"))
        except debian_root.CannotBoot as error:
            cls.scratch.cleanup()
            raise unittest.SkipTest(str(error)) from None
        cls.figures = []

    @classmethod
    def tearDownClass(cls):
        cls.system.stop()
        cls.scratch.cleanup()
        print(f"\nsystemd: {'; '.join(cls.figures)}; {time.monotonic() - cls.started:.0f} s in all")

    def clients(self, mode, amount, threads=32):
        """Starts the clients in the root's network; returns the running process."""
        return subprocess.Popen(self.system.in_network([sys.executable, os.path.join(HERE, "clients.py"),
                                                        mode, str(amount), str(threads)]),
                                stdout=subprocess.PIPE, text=True)

    @staticmethod
    def outcome(clients):
        out, _ = clients.communicate(timeout=300)
        return json.loads(out)

    def kept(self, *files):
        """The names in the record files, each line whole."""
        names = []
        for path in files:
            text = self.system.run("cat", path).stdout
            self.assertTrue(text == "" or text.endswith("\n"), f"{path} ends inside a line")
            names += [json.loads(line).get("nombre") for line in text.splitlines()]
        return names

    def assert_promise_kept(self, outcome, names, what):
        counts = collections.Counter(names)
        self.assertEqual([name for name in outcome["taken"] if counts[name] != 1], [], what)
        self.assertEqual(sorted(set(outcome["not_taken"]) & set(counts)), [], what)

    def active(self, unit):
        return self.system.run("systemctl", "is-active", unit, check=False).stdout.strip()

    def test_1_installed_both_units_are_active_and_ready(self):
        self.system.run("dpkg", "-i", "/root/cardbox.deb")
        # Type=notify: active only once READY=1 came.
        self.assertEqual((self.active("cardbox.socket"), self.active("cardbox.service")), ("active", "active"))
        self.assertEqual(self.system.run("stat", "-L", "-c", "%a", "/var/lib/cardbox").stdout.strip(), "700")

    def test_2_a_burst_keeps_every_record_told(self):
        before = len(self.kept(RECORDS))
        outcome = self.outcome(self.clients("burst", 5000, 64))
        names = self.kept(RECORDS)
        self.assert_promise_kept(outcome, names, "burst")
        self.assertEqual(len(outcome["taken"]), 5000)
        self.assertEqual(len(names) - before, 5000)
        journal = self.system.run("journalctl", "-u", "cardbox", "-o", "cat", "--no-pager").stdout
        self.assertNotIn("Cliente-", journal)
        self.figures.append(f"burst of 5000 records: {len(outcome['taken'])} told taken, "
                            f"{len(names) - before} in records.jsonl, none in the journal")

    def test_3_restarts_at_any_rate_lose_no_client(self):
        clients = self.clients("flood", 12)
        time.sleep(1)
        for _ in range(10):
            self.system.run("systemctl", "restart", "cardbox.service")
            time.sleep(0.9)
        outcome = self.outcome(clients)
        self.assert_promise_kept(outcome, self.kept(RECORDS), "restarts")
        self.assertEqual(outcome["refused"], [])
        self.assertEqual((self.active("cardbox.socket"), self.active("cardbox.service")), ("active", "active"))
        # Each process stopped said what it did, in the journal.
        journal = self.system.run("journalctl", "-u", "cardbox", "-o", "cat", "--no-pager").stdout
        summaries = re.findall(r"cardbox: \d+ records? taken, \d+ connections? reset, \d+ sources?\n", journal)
        self.assertGreaterEqual(len(summaries), 10, journal[-2000:])
        self.figures.append(f"10 restarts in 10 s under load: {len(outcome['taken'])} taken, all kept, "
                            f"{len(outcome['not_taken'])} reset, none kept, none refused; "
                            f"{len(summaries)} summaries in the journal")

    def test_4_a_rotation_under_load_cuts_nothing(self):
        clients = self.clients("flood", 4)
        time.sleep(1.5)
        # The real rotation: logrotate renames, then reloads the service.
        self.system.run("logrotate", "--force", "/etc/logrotate.d/cardbox")
        outcome = self.outcome(clients)
        names = self.kept(RECORDS + ".1", RECORDS)
        self.assert_promise_kept(outcome, names, "rotation")
        self.assertGreater(len(self.kept(RECORDS)), 0)
        self.figures.append(f"rotation by logrotate under load: {len(outcome['taken'])} taken, each once in "
                            f"records.jsonl.1 or records.jsonl, every line whole")

    def test_5_tls_with_the_key_as_a_credential(self):
        folder = os.path.join(self.scratch.name, "tls")
        os.makedirs(folder)
        make_certificates(folder)
        tls = os.path.join(self.root, "etc/cardbox/tls")
        os.makedirs(tls)
        shutil.copy(os.path.join(folder, "server.pem"), os.path.join(tls, "cert.pem"))
        shutil.copy(os.path.join(folder, "server.key"), os.path.join(tls, "key.pem"))
        os.chmod(os.path.join(tls, "key.pem"), 0o600)
        self.system.run("install", "-D", "-m", "644", "/usr/share/doc/cardbox/examples/cardbox-tls.conf",
                        "/etc/systemd/system/cardbox.service.d/tls.conf")
        self.system.run("systemctl", "daemon-reload")
        self.system.run("systemctl", "restart", "cardbox.service")
        # The key reached the server as a credential, not by its path.
        main = self.system.run("systemctl", "show", "-p", "MainPID", "--value", "cardbox").stdout.strip()
        command = self.system.run("cat", f"/proc/{main}/cmdline").stdout.split("\0")
        self.assertIn("--tls-key=/run/credentials/cardbox.service/tls-key", command)
        first = self.fingerprint(folder)
        self.assertEqual(self.post_over_tls(folder, "Segura-1\n"), 0)
        # Renewed with the same key: a reload, and new connections see it.
        shutil.copy(os.path.join(folder, "renewed.pem"), os.path.join(tls, "cert.pem"))
        self.system.run("systemctl", "reload", "cardbox.service")
        deadline = time.monotonic() + 10
        while self.fingerprint(folder) == first and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertNotEqual(self.fingerprint(folder), first)
        self.assertEqual(self.post_over_tls(folder, "Segura-2\n"), 0)
        names = self.kept(RECORDS)
        self.assertEqual([name for name in names if name and name.startswith("Segura")], ["Segura-1\n", "Segura-2\n"])
        self.figures.append("TLS with the key as a credential: records taken, certificate renewed by a reload")
        self.system.run("rm", "-r", "/etc/systemd/system/cardbox.service.d")
        self.system.run("systemctl", "daemon-reload")
        self.system.run("systemctl", "restart", "cardbox.service")

    def post_over_tls(self, folder, name):
        """cardpost --tls --confirm, from this machine, in the root's network: its status."""
        cardpost = os.path.join(os.environ["BUILD_DIR"], "bin", "cardpost")
        return subprocess.run(self.system.in_network([cardpost, "--tls-ca", os.path.join(folder, "ca.pem"),
                                                      "--tls-name", "localhost", "--confirm"]),
                              input=f"{name}Perez\n25\n".encode(), capture_output=True, timeout=60).returncode

    def fingerprint(self, folder):
        """The fingerprint of the certificate a new TLS connection sees."""
        shown = subprocess.run(self.system.in_network(["openssl", "s_client", "-connect", "[::1]:8000",
                                                       "-servername", "localhost"]),
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60).stdout
        return subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256"], input=shown,
                              capture_output=True, timeout=60).stdout

    def test_6_options_it_cannot_use_fail_once(self):
        self.system.run("sh", "-c", "echo 'CARDBOX_OPTIONS=\"-p 9999\"' > /etc/default/cardbox")
        self.system.run("systemctl", "restart", "cardbox.service", check=False)
        time.sleep(5)  # longer than RestartSec: a restart loop would have begun
        shown = self.system.run("systemctl", "show", "-p", "NRestarts", "-p", "ActiveState", "-p",
                                "ExecMainStatus", "cardbox.service").stdout.split()
        self.assertEqual(sorted(shown), ["ActiveState=failed", "ExecMainStatus=64", "NRestarts=0"])
        self.assertEqual(self.active("cardbox.socket"), "inactive")
        journal = self.system.run("journalctl", "-u", "cardbox", "-o", "cat", "--no-pager").stdout
        self.assertIn("cardbox: -b and -p cannot be used with sockets passed by the service manager", journal)
        self.system.run("rm", "/etc/default/cardbox")
        self.system.run("systemctl", "restart", "cardbox.service")
        self.assertEqual((self.active("cardbox.socket"), self.active("cardbox.service")), ("active", "active"))

    def test_7_purge_leaves_nothing(self):
        self.system.run("dpkg", "--purge", "cardbox")
        left = self.system.run("sh", "-c", "ls -d /usr/lib/systemd/system/cardbox.* /etc/logrotate.d/cardbox "
                               "/var/lib/cardbox /var/lib/private/cardbox /usr/bin/cardbox 2>/dev/null; "
                               "grep -l cardbox /proc/[0-9]*/comm; systemctl list-units --all --plain --no-legend 'cardbox*'",
                               check=False).stdout
        self.assertEqual(left, "")


if __name__ == "__main__":
    unittest.main()
