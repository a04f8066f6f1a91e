"""cardbox over real loopback TCP: what it prints for each kind of peer."""

import socket
import struct
import subprocess
import unittest

from harness import (READY_LINE, TIMEOUT, Running, connect, peer_line, program, record,
                     redirected, shown, start_cardbox, verdict, wait_until_listening,
                     wait_until_read_by_server)


ANA = record(b"Ana\n", b"Perez\n", 25)


class RecordsShown(unittest.TestCase):
    def test_each_peer_gets_its_record_shown(self):
        cases = [
            # (what, host, pieces sent, then: count, nombre, apellido, edad shown)
            ("a whole record from an IPv6 peer", "::1", [ANA], 62, b"Ana\n", b"Perez\n", 25),
            ("a whole record from an IPv4 peer", "127.0.0.1", [ANA], 62, b"Ana\n", b"Perez\n", 25),
            ("only the given name", "::1", [ANA[:30]], 30, b"Ana\n", b"", 0),
            ("all but the age's low byte", "::1", [ANA[:60] + b"\x01"], 61, b"Ana\n", b"Perez\n", 256),
            ("a record in two pieces", "::1", [ANA[:30], ANA[30:]], 62, b"Ana\n", b"Perez\n", 25),
            ("a record with bytes after it", "::1", [ANA + b"Z" * 18], 80, b"Ana\n", b"Perez\n", 25),
            ("more than the receive buffer", "::1", [ANA + b"Z" * 88], 100, b"Ana\n", b"Perez\n", 25),
            ("texts with no zero byte", "::1", [b"N" * 30 + b"A" * 30 + b"\xff\xff" + b"X" * 20],
             82, b"N" * 30, b"A" * 30, 65535),
            ("an age that did not arrive", "::1", [ANA[:59]], 59, b"Ana\n", b"Perez\n", 0),
            # Bytes that would act on the operator's terminal, or forge lines, are shown
            # escaped; UTF-8 text and a name's own last newline are shown as they are.
            ("control bytes in the texts", "::1",
             [record(b"\x1b[2J\x1b]0;owned\x07\n", b"Ana\n Edad:99\ncliente\x7f\n", 25)], 62,
             b"\\x1B[2J\\x1B]0;owned\\a\n", b"Ana\\n Edad:99\\ncliente\\x7F\n", 25),
            ("C1 controls, in UTF-8 and alone", "::1",
             [record("N\u00fa\u00f1ez\t\u009b2J\n".encode(), b"\x9b\xc3\n", 25)], 62,
             "N\u00fa\u00f1ez\t".encode() + b"\\xC2\\x9B2J\n", b"\\x9B\xc3\n", 25),
        ]
        with start_cardbox() as server:
            for what, host, pieces, count, nombre, apellido, edad in cases:
                with self.subTest(what):
                    before = len(server.out)
                    with connect(host) as peer:
                        for piece in pieces[:-1]:
                            peer.sendall(piece)
                            wait_until_read_by_server(peer)
                        peer.sendall(pieces[-1])
                        if count < len(ANA):
                            # The server gathers a short record until the peer closes its side.
                            peer.shutdown(socket.SHUT_WR)
                        expected = peer_line(peer) + shown(nombre, apellido, edad, count)
                        out = server.wait_out(before + len(expected))
                    self.assertEqual(out[before:], expected)
            self.assertEqual(server.err, b"")
            self.assertIsNone(server.process.poll())


class TakenRecords(unittest.TestCase):
    def test_record_with_bytes_after_it_closes_normally(self):
        # Bytes sent with the record are discarded, not answered with a reset.
        with start_cardbox() as server:
            for extra in (b"Z" * 18, b"Z" * 200, b"Z" * 100_000):
                with self.subTest(extra=len(extra)):
                    endings = []
                    for _ in range(20):
                        with connect() as peer:
                            peer.sendall(ANA + extra)
                            endings.append(verdict(peer))
                    self.assertEqual(endings, ["closed"] * 20)
            self.assertIsNone(server.process.poll())

    def test_reports_come_after_the_lines_they_follow(self):
        # Standard output and standard error in one pipe, as in the journal.
        with Running(redirected(">&2") + [program("cardbox")]) as server:
            wait_until_listening()
            with connect() as empty:
                expected = (READY_LINE + peer_line(empty) + b"\nSe recibieron 0 bytes\n"
                            + b"Socket cerrado\n: Success\n")
            self.assertEqual(server.wait_err(len(expected)), expected)


class FailingPeers(unittest.TestCase):
    def test_server_goes_on_after_an_empty_and_a_reset_connection(self):
        with start_cardbox() as server:
            out_before, err_before = len(server.out), len(server.err)
            with connect() as empty:
                empty_shown = peer_line(empty) + b"\nSe recibieron 0 bytes\n"
            self.assertEqual(server.wait_out(out_before + len(empty_shown))[out_before:], empty_shown)
            # Nothing failed, so the report carries the system's text for no error.
            closed_report = b"Socket cerrado\n: Success\n"
            self.assertEqual(server.wait_err(err_before + len(closed_report))[err_before:], closed_report)

            out_before, err_before = len(server.out), len(server.err)
            reset = connect()
            reset_shown = peer_line(reset) + b"\nSe recibieron -1 bytes\n"
            reset.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            reset.close()
            self.assertEqual(server.wait_out(out_before + len(reset_shown))[out_before:], reset_shown)
            reset_report = b"Error en funcion read()\n: Connection reset by peer\n"
            self.assertEqual(server.wait_err(err_before + len(reset_report))[err_before:], reset_report)

            out_before = len(server.out)
            with connect() as peer:
                peer.sendall(ANA)
                expected = peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                self.assertEqual(server.wait_out(out_before + len(expected))[out_before:], expected)
            self.assertIsNone(server.process.poll())


class SecondServer(unittest.TestCase):
    def test_second_server_fails_to_bind(self):
        with start_cardbox():
            second = subprocess.run([program("cardbox")], capture_output=True, timeout=TIMEOUT,
                                    stdin=subprocess.DEVNULL)
        self.assertEqual((second.returncode, second.stdout, second.stderr),
                         (1, b"", b"server: bind: Address already in use\nservidor: error en bind\n"))


if __name__ == "__main__":
    unittest.main()
