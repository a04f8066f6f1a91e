"""linebounce over real loopback TCP: what it sends for each line and how it shows
the echo, against echo services written here and against the stand-in service."""

import unittest

from harness import (ECHO_PORT, INVITATION, Peer, echo_everything, exchange, run,
                     start_echo_service)


def close_after_first_line(connection, received):
    received += connection.recv(65536)


def echo_first_line_in_two_pieces(connection, received):
    """Sends back the first line's first two bytes alone; the rest goes out together
    with the echo of the second line."""
    first = connection.recv(65536)
    received += first
    connection.sendall(first[:2])
    second = connection.recv(65536)
    received += second
    connection.sendall(first[2:] + second)
    echo_everything(connection, received)


class Lines(unittest.TestCase):
    def test_each_line_is_sent_and_its_echo_shown(self):
        cases = [
            # (what, standard input, output after the invitation, bytes on the wire)
            ("one line", b"hola\n", exchange(5, b"hola\n", b"hola\n"), b"hola\n\0"),
            ("an empty line", b"\n", exchange(1, b"\n", b"\n"), b"\n\0"),
            ("end of input at once", b"", b"", b""),
            ("SALIR inside a line", b"xxSALIRxx\nhola\n", b"Escribio SALIR\n", b"xxSALIRxx\n"),
            ("salir and Salir are ordinary lines", b"salir\nSalir\nSALIR\n",
             exchange(6, b"salir\n", b"salir\n") + exchange(6, b"Salir\n", b"Salir\n")
             + b"Escribio SALIR\n", b"salir\n\0Salir\n\0SALIR\n"),
            ("a zero byte before SALIR", b"ab\0SALIR\n", exchange(9, b"ab", b"ab"), b"ab\0"),
            ("a last line with no newline", b"uno\ndos", exchange(4, b"uno\n", b"uno\n")
             + exchange(3, b"dos", b"dos"), b"uno\n\0dos\0"),
            ("control bytes in an echo are shown escaped", b"a\x1b[2J\rb\n",
             exchange(8, b"a\x1b[2J\rb\n", b"a\\x1B[2J\\rb\n"), b"a\x1b[2J\rb\n\0"),
        ]
        for what, lines, expected_out, expected_wire in cases:
            with self.subTest(what):
                with Peer(ECHO_PORT, echo_everything) as service:
                    status, out, err = run("linebounce", lines)
                self.assertEqual((status, out, err), (0, INVITATION + expected_out, b""))
                self.assertEqual(bytes(service.received), expected_wire)

    def test_line_longer_than_the_socket_buffers_against_a_blocking_echo(self):
        # The service blocks sending back the echo while linebounce is still sending:
        # without taking in the echo as it sends, each would wait for the other for ever.
        line = b"x" * (40 << 20) + b"\n"
        with Peer(ECHO_PORT, echo_everything) as service:
            status, out, err = run("linebounce", line + b"hola\n")
        self.assertEqual((status, err), (0, b""))
        # linebounce ends with the rest of the echo unread, which resets the connection:
        # the service may lose what it had yet to read, but never gets anything else.
        wire = line + b"\0hola\n\0"
        self.assertEqual(bytes(service.received), wire[:len(service.received)])
        self.assertTrue(out.startswith(INVITATION + b"Se escribieron %d caracteres -> " % len(line)
                                       + line + b"\nTamanio Eco: %d\n\n ECO recibido x" % (len(line) + 1)))
        # The rest of the long echo comes first with the next line's.
        self.assertRegex(out[-200:], rb"\nSe escribieron 5 caracteres -> hola\n\nTamanio Eco: 6\n"
                                     rb"\n ECO recibido x+\n$")
        # The last line, whose echo is not awaited, is sent the same way.
        with Peer(ECHO_PORT, echo_everything):
            self.assertEqual(run("linebounce", b"SALIR" + line),
                             (0, INVITATION + b"Escribio SALIR\n", b""))

    def test_echo_in_pieces_is_shown_as_far_as_one_read_got_it(self):
        with Peer(ECHO_PORT, echo_first_line_in_two_pieces):
            status, out, err = run("linebounce", b"hola\nxy\n")
        self.assertEqual((status, out, err),
                         (0, INVITATION + exchange(5, b"hola\n", b"ho")
                          + exchange(3, b"xy\n", b"la\n"), b""))


class ServiceFailures(unittest.TestCase):
    def test_service_that_closes(self):
        with Peer(ECHO_PORT, close_after_first_line):
            status, out, err = run("linebounce", b"hola\nadios\n")
        self.assertEqual((status, out), (1, INVITATION + b"Se escribieron 5 caracteres -> hola\n\n"
                                            b"Tamanio Eco: 6\n"))
        # No call failed, so the system's text after the colon is not fixed.
        self.assertRegex(err, rb"^Socket Cerrado: [^\n]*\n$")

    def test_nothing_listening(self):
        self.assertEqual(run("linebounce", b"hola\n"),
                         (2, b"", b"client: socket: Connection refused\n"
                                  b"client: error al conectar con el servidor\n"))


class StandInService(unittest.TestCase):
    def test_lines_through_the_stand_in_echo_service(self):
        with start_echo_service() as service:
            for attempt in ("first", "second"):
                with self.subTest(attempt):
                    self.assertEqual(run("linebounce", b"hola\nqu\xc3\xa9 tal\nSALIR\n"),
                                     (0, INVITATION + exchange(5, b"hola\n", b"hola\n")
                                      + exchange(9, b"qu\xc3\xa9 tal\n", b"qu\xc3\xa9 tal\n")
                                      + b"Escribio SALIR\n", b""))
            self.assertIsNone(service.process.poll())


if __name__ == "__main__":
    unittest.main()
