"""What crosses the wire, as the project's Wireshark dissector shows it: the real
programs captured by dumpcap on this namespace's loopback, the capture read back by
tshark with the dissector from the source tree."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (ECHO_PORT, RECORD_PORT, TIMEOUT, Running, connect, program, record, run, start_cardbox,
                     start_echo_service, wait_until)

DISSECTOR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                         "record", "cardbox.lua")
ANSWERS = b"Ana\nPerez\n25\n"


def send_in_pieces(pieces, pause=0.05):
    """Sends the pieces on one connection, each in a segment of its own, then closes."""
    with connect() as peer:
        peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for piece in pieces:
            peer.sendall(piece)
            time.sleep(pause)
        peer.shutdown(socket.SHUT_WR)
        peer.settimeout(TIMEOUT)
        try:
            peer.recv(1)
        except ConnectionResetError:
            pass


@unittest.skipUnless(os.environ.get("OWN_NETWORK_NAMESPACE") and shutil.which("tshark"),
                     "captures need a network namespace of their own (run as root) and tshark")
class Dissected(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def capture(self, make_traffic):
        """Captures what make_traffic sends on the record and echo ports; returns the file."""
        path = os.path.join(self.folder.name, "capture.pcapng")
        size = lambda: os.path.getsize(path) if os.path.exists(path) else 0
        with Running(["dumpcap", "-i", "lo", "-f", f"tcp port {RECORD_PORT} or tcp port {ECHO_PORT} or udp port 9",
                      "-w", path]) as dumpcap, socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as probe:
            # dumpcap says it is capturing a little before it is: probes to the discard
            # port go until one is in the file.
            wait_until(lambda: b"Capturing on" in dumpcap.err and size() > 0, "dumpcap to start")
            header = size()
            wait_until(lambda: probe.sendto(b"probe", ("::1", 9)) and time.sleep(0.02) is None and size() > header,
                       "dumpcap to capture")
            make_traffic()
            time.sleep(0.5)  # the last packets reach dumpcap's buffer
            dumpcap.process.send_signal(signal.SIGINT)
            self.assertEqual(dumpcap.wait_exit(), 0, dumpcap.err)
        return path

    def fields(self, path, names, display_filter, options=()):
        """The fields of each packet that the filter keeps, as tshark -T fields prints them."""
        shown = subprocess.run(["tshark", "-r", path, "-X", f"lua_script:{DISSECTOR}", *options,
                                "-Y", display_filter, "-T", "fields", "-E", "separator=|",
                                *[argument for name in names for argument in ("-e", name)]],
                               capture_output=True, timeout=60)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertNotIn(b"Lua", shown.stderr)
        return [line.split("|") for line in shown.stdout.decode().splitlines()]

    def test_records_as_fields(self):
        record_fields = ["cardbox.nombre", "cardbox.apellido", "cardbox.edad"]
        cases = [
            # (what, traffic, fields, display filter, the rows tshark prints)
            ("a plain record", lambda: run("cardpost", ANSWERS), record_fields, "cardbox.edad",
             [["Ana\\n", "Perez\\n", "25"]]),
            ("a UTF-8 name and a control character", lambda: run("cardpost", "José\nÑúñez\x1b[2J\n7\n".encode()),
             record_fields, "cardbox.edad", [["José\\n", "Ñúñez\\x1B[2J\\n", "7"]]),
            ("a record in three segments",
             lambda: send_in_pieces([record(b"Eva\n", b"Gil\n", 300)[i:i + 21] for i in (0, 21, 42)]),
             record_fields, "cardbox.edad", [["Eva\\n", "Gil\\n", "300"]]),
            ("a name of 30 bytes with no zero byte", lambda: send_in_pieces([b"N" * 30 + record(b"", b"Li\n", 1)[30:]]),
             record_fields, "cardbox.edad && cardbox.expert.unterminated",
             [["N" * 30, "Li\\n", "1"]]),
            ("a short record", lambda: send_in_pieces([record(b"Ana\n", b"", 0)[:40]]),
             ["cardbox.received"], "cardbox.expert.short", [["40"]]),
            ("bytes after the record", lambda: send_in_pieces([record(b"Bo\n", b"Ka\n", 2) + b"extra"]),
             ["cardbox.nombre", "cardbox.after"], "cardbox.expert.after", [["Bo\\n", "6578747261"]]),
        ]
        with start_cardbox():
            for what, traffic, names, display_filter, rows in cases:
                with self.subTest(what):
                    path = self.capture(traffic)
                    self.assertEqual(self.fields(path, names, display_filter), rows)

    def test_a_roster_sent_in_parallel_is_dissected_whole(self):
        roster = "nombre,apellido,edad\n" + "".join(f"P{n},Lista,{n}\n" for n in range(100))
        with start_cardbox(arguments=["-c", "16"]):
            path = self.capture(lambda: self.assertEqual(
                run("cardpost", roster.encode(), arguments=["--batch", "-", "--parallel", "8"])[0], 0))
        rows = self.fields(path, ["cardbox.nombre", "cardbox.edad"], "cardbox.edad")
        self.assertEqual(sorted(rows), sorted([f"P{n}\\n", str(n)] for n in range(100)))

    def test_echo_lines(self):
        with start_echo_service():
            path = self.capture(lambda: run("linebounce", b"hola\nque tal\nSALIR\n"))
        self.assertEqual(self.fields(path, ["linebounce.line", "linebounce.echo", "linebounce.zero"], "linebounce"),
                         [["hola\\n", "", "1"], ["", "hola\\n", "1"], ["que tal\\n", "", "1"], ["", "que tal\\n", "1"],
                          ["SALIR\\n", "", "0"], ["", "SALIR\\n", "0"]])

    def test_a_record_inside_tls_with_the_clients_key_log(self):
        folder = self.folder.name
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", "server.key", "-out", "server.pem", "-days", "1", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=IP:::1"], cwd=folder, check=True, capture_output=True,
                       timeout=TIMEOUT)
        key_log = os.path.join(folder, "keys.log")
        os.environ["SSLKEYLOGFILE"] = key_log
        try:
            with start_cardbox(arguments=["--tls-cert", os.path.join(folder, "server.pem"),
                                          "--tls-key", os.path.join(folder, "server.key")]):
                path = self.capture(lambda: self.assertEqual(
                    run("cardpost", ANSWERS, arguments=["--tls-ca", os.path.join(folder, "server.pem"), "-c"])[0], 0))
        finally:
            del os.environ["SSLKEYLOGFILE"]
        self.assertEqual(os.stat(key_log).st_mode & 0o777, 0o600)
        names = ["cardbox.nombre", "cardbox.apellido", "cardbox.edad"]
        self.assertEqual(self.fields(path, names, "cardbox.edad", ["-o", f"tls.keylog_file:{key_log}"]),
                         [["Ana\\n", "Perez\\n", "25"]])
        # Without the secrets, nothing of the record shows.
        self.assertEqual(self.fields(path, names, "cardbox.edad"), [])


if __name__ == "__main__":
    unittest.main()
