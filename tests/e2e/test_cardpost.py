"""cardpost over real loopback TCP: what it asks, what it prints, what crosses the wire."""

import os
import signal
import socket
import struct
import subprocess
import threading
import unittest

from harness import (RECORD_PORT, TIMEOUT, Running, connect, listen, peer_line, program,
                     receive_all, record, run, shown, start_cardbox, start_echo_service, start_server, summary,
                     tcp_connections, wait_until, wait_until_queued)

LONG_NAME = "Josefina de la Concepción Núñez Pazo\n".encode()
# The cut at 29 bytes would split the ú (0xC3 0xBA) after the N: it is dropped whole.
LONG_NAME_SENT = "Josefina de la Concepción N".encode()


class WhatIsSent(unittest.TestCase):
    def test_each_answer_is_sent_as_typed(self):
        self.assertEqual(len(LONG_NAME), 40)
        cases = [
            # (what, standard input, nombre, apellido, edad as sent)
            ("an ordinary record", b"Ana\nPerez\n25\n", b"Ana\n", b"Perez\n", 25),
            ("input ended at the first prompt", b"", b"", b"", 0),
            ("input ended at the surname", b"Ana\n", b"Ana\n", b"", 0),
            ("blank lines before the age", b"Ana\nPerez\n\n  \n25 y mas\n", b"Ana\n", b"Perez\n", 25),
            ("age -1", b"Ana\nPerez\n-1\n", b"Ana\n", b"Perez\n", 65535),
            ("age 65536", b"Ana\nPerez\n65536\n", b"Ana\n", b"Perez\n", 0),
            ("age 70000", b"Ana\nPerez\n70000\n", b"Ana\n", b"Perez\n", 4464),
            ("age past 32 bits", b"Ana\nPerez\n4294967297\n", b"Ana\n", b"Perez\n", 1),
            ("age past 64 bits", b"Ana\nPerez\n18446744073709551641\n", b"Ana\n", b"Perez\n", 25),
            ("no number for the age", b"Ana\nPerez\nabc\n", b"Ana\n", b"Perez\n", 0),
            ("a name cut inside an accented letter", LONG_NAME + b"Perez\n7\n",
             LONG_NAME_SENT, b"Perez\n", 7),
            ("a zero byte inside a name", b"An\0a\nPerez\n25\n", b"An", b"Perez\n", 25),
        ]
        with listen(RECORD_PORT) as listener:
            for what, answers, nombre, apellido, edad in cases:
                with self.subTest(what):
                    status, out, err = run("cardpost", answers)
                    connection, _ = listener.accept()
                    with connection:
                        connection.settimeout(listener.gettimeout())
                        self.assertEqual(receive_all(connection), record(nombre, apellido, edad))
                    self.assertEqual((status, out, err), (0, summary(nombre, apellido, edad), b""))


def holds_a_socket(pid):
    descriptors = f"/proc/{pid}/fd"
    for fd in os.listdir(descriptors):
        try:
            if os.readlink(os.path.join(descriptors, fd)).startswith("socket:"):
                return True
        except FileNotFoundError:
            pass  # closed between the listing and the look, as the loader's files are
    return False


class AgainstTheServer(unittest.TestCase):
    def test_record_travels_end_to_end(self):
        with start_cardbox() as server:
            before = len(server.out)
            status, out, err = run("cardpost", b"Ana\nPerez\n25\n")
            self.assertEqual((status, out, err), (0, summary(b"Ana\n", b"Perez\n", 25), b""))
            printed = server.wait_out_ending(b" Edad:25\n")[before:]
            self.assertRegex(printed, rb"^cliente conectado desde ::1:\d+\n")
            self.assertEqual(printed.split(b"\n", 1)[1], shown(b"Ana\n", b"Perez\n", 25))

    def test_a_plain_client_loads_no_tls_library(self):
        with start_cardbox(), start_echo_service():
            for name in ("cardpost", "linebounce"):
                with self.subTest(name), Running([program(name)], stdin=subprocess.PIPE) as client:
                    # Connected: past starting, at the first prompt.
                    wait_until(lambda: holds_a_socket(client.process.pid), "a connection")
                    with open(f"/proc/{client.process.pid}/maps") as maps:
                        mapped = maps.read()
                    self.assertIn("libc.so", mapped)
                    self.assertNotRegex(mapped, "libssl|libcrypto|client-tls")

    def test_client_waiting_in_the_listen_queue_still_gets_through(self):
        with start_cardbox() as server:
            before = len(server.out)
            with connect() as holder:
                # The server is busy reading from the holder while cardpost connects.
                status, out, err = run("cardpost", b"Luis\nGomez\n40\n")
                self.assertEqual((status, out, err), (0, summary(b"Luis\n", b"Gomez\n", 40), b""))
                holder.sendall(record(b"Ana\n", b"Perez\n", 25))
                expected_holder = peer_line(holder) + shown(b"Ana\n", b"Perez\n", 25)
                printed = server.wait_out_ending(b" Edad:40\n")[before:]
        self.assertTrue(printed.startswith(expected_holder), printed)
        self.assertRegex(printed[len(expected_holder):],
                         rb"^cliente conectado desde ::1:\d+\n\nSe recibieron 62 bytes\n"
                         rb"\nNombre: Luis\n\nApellido: Gomez\n\n Edad:40\n$")

    def test_lost_record_is_a_failure(self):
        with start_cardbox() as server, connect() as holder:
            server.wait_out_ending(peer_line(holder))
            client = Running([program("cardpost")], stdin=subprocess.PIPE)
            with client:
                wait_until_queued(1)
                # The server dies with cardpost's connection still in its queue: the
                # connection is reset, and the write reports it.
                server.process.send_signal(signal.SIGKILL)
                server.wait_exit()
                client.process.stdin.write(b"Ana\nPerez\n25\n")
                client.process.stdin.close()
                status = client.wait_exit()
                self.assertEqual((status, client.out, client.err),
                                 (1, summary(b"Ana\n", b"Perez\n", 25, sent=-1),
                                  b"cliente: write: Connection reset by peer\n"))


class Confirmed(unittest.TestCase):
    def test_confirm_tells_what_became_of_the_record(self):
        answers = b"Ana\nPerez\n25\n"
        printed = summary(b"Ana\n", b"Perez\n", 25)
        with start_cardbox() as server:
            self.assertEqual(run("cardpost", answers, arguments=["--confirm"]), (0, printed, b""))
            server.wait_out_ending(b" Edad:25\n")
            with connect() as holder:
                # Behind a client that sends nothing, no verdict comes.
                server.wait_out_ending(peer_line(holder))
                self.assertEqual(run("cardpost", answers, arguments=["--wait", "1"]),
                                 (3, printed, b"cliente: no verdict within 1 s: "
                                              b"the record may have been taken\n"))
                # Stopped with the record in its queue, the server never takes it.
                client = Running([program("cardpost"), "-c"], stdin=subprocess.PIPE)
                with client:
                    client.process.stdin.write(answers)
                    client.process.stdin.close()
                    client.wait_out_ending(b"Se enviaron: 62 bytes\n")
                    server.process.send_signal(signal.SIGTERM)
                    self.assertEqual((client.wait_exit(), client.out, client.err),
                                     (1, printed, b"cliente: record not taken: Connection reset by peer" + HINT))

    def test_a_burst_of_clients_waits_its_turn(self):
        # The listen queue holds the class while one person is still typing.
        with start_cardbox() as server, connect() as holder:
            server.wait_out_ending(peer_line(holder))
            for number in range(30):
                answers = b"Alumno-%d\nPerez\n%d\n" % (number, number)
                self.assertEqual(run("cardpost", answers)[0], 0)
            holder.sendall(record(b"Ana\n", b"Perez\n", 25))
            out = server.wait_out_ending(shown(b"Alumno-29\n", b"Perez\n", 29))
        for number in range(30):
            self.assertEqual(out.count(shown(b"Alumno-%d\n" % number, b"Perez\n", number)), 1)


# What a reset of a plain record may mean.
HINT = b" (a server that wants TLS resets plain clients: see --tls)\n"


def close_then_reset(connection, closed, client):
    """Half-closes once the record has arrived, unread, then resets: a close and a reset
    back to back, as a peer that never reads sends them. The client is held stopped
    meanwhile, so that both have come when it looks."""
    wait_until(lambda: len(connection.recv(100, socket.MSG_PEEK)) == 62, "the record")
    client.send_signal(signal.SIGSTOP)
    connection.shutdown(socket.SHUT_WR)
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()
    client.send_signal(signal.SIGCONT)
    closed.set()


def reached(port):
    """True once the peer's close (CLOSE_WAIT) or bytes have reached the client's socket."""
    return any(local == port and (state == 8 or queued > 0)
               for local, _, state, queued in tcp_connections())


class Liars(unittest.TestCase):
    def test_confirm_takes_no_lie_for_a_verdict(self):
        answers = b"Ana\nPerez\n25\n"
        printed = summary(b"Ana\n", b"Perez\n", 25)
        not_sent = printed.replace(b"Se enviaron: 62", b"Se enviaron: 0")
        taken = b"cliente: record not taken: "
        cases = [
            # (what, how the peer serves its connection, whether answers wait for it to
            #  have done so, what cardpost prints, its report, what reached the peer)
            ("a peer that half-closes at once", lambda c, done, _: (c.shutdown(socket.SHUT_WR), done.set()),
             True, not_sent, taken + b"the server had closed the connection; nothing was sent\n", b""),
            ("a peer that closes before reading", lambda c, done, _: (c.close(), done.set()),
             True, not_sent, taken + b"the server had closed the connection; nothing was sent\n", b""),
            ("a peer that speaks first", lambda c, done, _: (c.sendall(b"220 hola\r\n"), done.set()),
             True, not_sent, taken + b"the server had sent bytes, as no record server does; nothing was sent\n", b""),
            ("a close and a reset", close_then_reset, False, printed, taken + b"Connection reset by peer" + HINT,
             record(b"Ana\n", b"Perez\n", 25)),
        ]
        for what, serve, answer_after, out, err, wire in cases:
            with self.subTest(what), listen(RECORD_PORT) as listener:
                client = Running([program("cardpost"), "--confirm"], stdin=subprocess.PIPE)
                with client:
                    connection, (_, client_port, *_) = listener.accept()
                    done = threading.Event()
                    if answer_after:
                        serve(connection, done, client.process)
                        # What the peer did has reached the client before it sends.
                        wait_until(lambda: reached(client_port), "the peer's close or bytes")
                    client.process.stdin.write(answers)
                    client.process.stdin.close()
                    if not answer_after:
                        serve(connection, done, client.process)
                    self.assertEqual((client.wait_exit(), client.out, client.err), (1, out, err))
                    if connection.fileno() != -1:
                        with connection:
                            connection.setblocking(False)
                            try:
                                received = connection.recv(100)
                            except (BlockingIOError, ConnectionResetError):
                                received = b""
                            self.assertEqual(received, wire)

    def test_the_echo_service_is_no_record_server(self):
        with start_server("echo_service", RECORD_PORT, b"Servicio de eco en ::1 puerto 8000\n",
                          arguments=["8000"]):
            self.assertEqual(run("cardpost", b"Ana\nPerez\n25\n", arguments=["-c"]),
                             (1, summary(b"Ana\n", b"Perez\n", 25),
                              b"cliente: record not taken: the server sent bytes, as no record server does\n"))


class NobodyListening(unittest.TestCase):
    def test_connect_failure_before_any_prompt(self):
        self.assertEqual(run("cardpost", b"Ana\nPerez\n25\n"),
                         (2, b"", b"cliente: connect: Connection refused\n"
                                  b"client: error al conectar con el servidor\n"))


if __name__ == "__main__":
    unittest.main()
