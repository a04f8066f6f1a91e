"""cardbox under a service manager, played without one: the test holds the listening
socket and passes it at descriptor 3 (LISTEN_FDS, LISTEN_PID), and listens on
NOTIFY_SOCKET for the word that the server is ready."""

import os
import re
import shutil
import signal
import socket
import tempfile
import unittest

from harness import (READY_LINE, RECORD_PORT, TIMEOUT, Running, connect, peer_line, program,
                     record, require_free_port, run, shown, under_strace, verdict, wait_until,
                     wait_until_queued)


def listening_socket(family=socket.AF_INET6, kind=socket.SOCK_STREAM, port=RECORD_PORT):
    """A socket as the socket unit makes it: port 8000 on every address, IPv4 included."""
    require_free_port(port)
    held = socket.socket(family, kind)
    held.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        held.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    held.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", port))
    if kind == socket.SOCK_STREAM:
        held.listen(4096)
    return held


def passing(*held, count=None):
    """A wrapper command that runs a program with the sockets at descriptors 3 and on,
    passed to it as the service manager passes them: for the process it runs in."""
    move = "".join(f"exec {3 + i}<&{socket.fileno()} && " for i, socket in enumerate(held))
    names = ":".join(["cardbox.socket"] * len(held))
    count = len(held) if count is None else count
    return ["bash", "-c", move + f'LISTEN_FDS={count} LISTEN_FDNAMES={names} LISTEN_PID=$$ exec "$@"',
            "passing"]


def start_many(*held):
    server = Running([*passing(*held), program("cardbox")], pass_fds=[socket.fileno() for socket in held])
    wait_until(lambda: len(server.out) >= len(READY_LINE), "the start line")
    return server


def start(held, arguments=(), environment=None):
    server = Running([*passing(held), program("cardbox"), *arguments], pass_fds=(held.fileno(),),
                     env=environment)
    wait_until(lambda: len(server.out) >= len(READY_LINE) or server.process.poll() is not None,
               "the start line")
    return server


class PassedSocket(unittest.TestCase):
    def test_a_passed_socket_is_served_and_nothing_is_bound(self):
        with tempfile.TemporaryDirectory() as scratch, listening_socket() as held:
            trace = os.path.join(scratch, "trace")
            # strace runs the wrapper, whose process becomes cardbox's.
            wrapper = under_strace("-o", trace, "-e", "trace=socket,bind,listen")
            with Running([*wrapper, *passing(held), program("cardbox")],
                         pass_fds=(held.fileno(),)) as server:
                for host in ("::1", "127.0.0.1"):
                    with self.subTest(host=host), connect(host) as peer:
                        peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                        self.assertEqual(verdict(peer), "closed")
                        expected = peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                        self.assertTrue(server.wait_out_ending(expected).endswith(expected))
                self.assertTrue(server.out.startswith(READY_LINE))
            with open(trace) as calls:
                self.assertEqual(re.findall(r"^(?:socket\(AF_INET.*|bind.*|listen.*)$", calls.read(), re.M), [])

    def test_a_restart_on_the_same_socket_loses_no_queued_client(self):
        with listening_socket() as held:
            first = start(held)
            with first, connect() as in_service:
                first.wait_out_ending(peer_line(in_service))
                queued = []
                for number in range(10):
                    peer = connect()
                    peer.sendall(record(b"Cola-%d\n" % number, b"Perez\n", number))
                    queued.append(peer)
                wait_until_queued(10)
                first.process.send_signal(signal.SIGTERM)
                self.assertEqual(first.wait_exit(), -signal.SIGTERM)
                self.assertEqual(verdict(in_service), "reset")
            with start(held) as second:
                self.assertEqual([verdict(peer) for peer in queued], ["closed"] * 10)
                out = second.wait_out_ending(shown(b"Cola-9\n", b"Perez\n", 9))
            for number, peer in enumerate(queued):
                self.assertEqual(out.count(peer_line(peer) + shown(b"Cola-%d\n" % number, b"Perez\n", number)), 1)
                peer.close()

    def test_what_cannot_be_served_is_refused(self):
        cases = [
            # (what, socket passed, LISTEN_FDS, arguments, status, what standard error says)
            ("a datagram socket", (socket.AF_INET6, socket.SOCK_DGRAM), None, [], 1,
             b"cardbox: socket cardbox.socket (descriptor 3) passed by the service manager "
             b"is not a listening TCP socket\n"),
            ("a port on the command line as well", (socket.AF_INET6, socket.SOCK_STREAM), None, ["-p", "8080"], 64,
             b"cardbox: -b and -p cannot be used with sockets passed by the service manager: "
             b"set the address in the socket unit\n"),
            # Not taken for "none passed", which would bind a port of its own.
            ("a count that cannot be read", (socket.AF_INET6, socket.SOCK_STREAM), "x", [], 1,
             b"cardbox: the sockets passed by the service manager cannot be taken: Invalid argument\n"),
        ]
        for what, (family, kind), count, arguments, status, err in cases:
            with self.subTest(what), listening_socket(family, kind) as held:
                self.assertEqual(run("cardbox", arguments=arguments, wrapper=passing(held, count=count),
                                     pass_fds=(held.fileno(),)), (status, b"", err))

    def test_several_listeners_are_served_in_turn(self):
        with listening_socket() as first, listening_socket(port=RECORD_PORT + 1) as second:
            with start_many(first, second) as server, connect() as holder:
                server.wait_out_ending(peer_line(holder))
                queued = {}
                for number in range(3):
                    for port in (RECORD_PORT, RECORD_PORT + 1):
                        peer = connect(port=port)
                        peer.sendall(record(b"Cola-%d-%d\n" % (port, number), b"Perez\n", number))
                        queued[(port, number)] = peer
                holder.sendall(record(b"Ana\n", b"Perez\n", 25))
                self.assertEqual([verdict(peer) for peer in queued.values()], ["closed"] * 6)
                out = server.wait_out_ending(shown(b"Cola-%d-2\n" % RECORD_PORT, b"Perez\n", 2))
            order = re.findall(rb"Cola-(\d+)-\d", out)
            self.assertEqual(order, [b"8001", b"8000"] * 3)
            for peer in queued.values():
                peer.close()
        # A failed wait for them is reported as what it is.
        with listening_socket() as first, listening_socket(port=RECORD_PORT + 1) as second:
            strace = under_strace("-o", "/dev/null", "-e", "inject=epoll_pwait:error=ENOMEM:when=1")
            self.assertEqual(run("cardbox", wrapper=strace + passing(first, second),
                                 pass_fds=(first.fileno(), second.fileno())),
                             (1, READY_LINE, b"cardbox: epoll_wait: Cannot allocate memory\n"))


class Readiness(unittest.TestCase):
    def test_ready_once_the_server_listens(self):
        for passed in (False, True):
            with self.subTest(passed=passed), tempfile.TemporaryDirectory() as scratch, \
                    socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
                path = os.path.join(scratch, "notify")
                manager.bind(path)
                manager.settimeout(TIMEOUT)
                environment = {**os.environ, "NOTIFY_SOCKET": path}
                if passed:
                    held = listening_socket()
                    server = start(held, environment=environment)
                else:
                    held = None
                    require_free_port(RECORD_PORT)
                    server = Running([program("cardbox")], env=environment)
                with server:
                    self.assertEqual(manager.recv(4096), b"READY=1")
                    with connect() as peer:  # listening by then: no refusal
                        peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                        self.assertEqual(verdict(peer), "closed")
                if held:
                    held.close()


if __name__ == "__main__":
    unittest.main()
