"""Failing system calls, made to fail for real with strace's fault injection, and
standard streams that are closed, full or unreadable: each failure is reported with its
exact message and ends with the right status, or is passed over, and nothing a program
prints ever reaches a peer."""

import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from harness import (ECHO_PORT, INVITATION, PROMPTS, READY_LINE, RECORD_PORT, Peer, Running,
                     TIMEOUT, connect, echo_everything, exchange, keep_everything, kill_session,
                     listen, peer_line,
                     program, record, redirected, run, shown, start_cardbox,
                     summary, under_strace, verdict, wait_until_listening)


def failing(*injections):
    """A wrapper command that runs a program with the given system calls failing, as
    strace's -e inject= describes them; strace's own trace goes nowhere."""
    wrapper = under_strace("-o", "/dev/null")
    for injection in injections:
        wrapper += ["-e", f"inject={injection}"]
    return wrapper


NOT_CONNECTED = b"client: error al conectar con el servidor\n"
ARGS = "--"  # in a case's wrapper, what follows it is the program's arguments


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class FailuresThatEndAProgram(unittest.TestCase):
    def test_each_failure_is_reported_with_its_status(self):
        full = b": No space left on device\n"
        cases = [
            # (what, program, wrapper that makes it fail, standard input, status, stdout, stderr)
            ("cardbox cannot create its socket", "cardbox", failing("socket:error=EACCES"), b"",
             1, b"", b"server: socket: Permission denied\nservidor: error en bind\n"),
            # With no IPv6, the IPv4 wildcard is tried too.
            ("cardbox has no socket of either family", "cardbox", failing("socket:error=EAFNOSUPPORT"),
             b"", 1, b"", b"server: socket: Address family not supported by protocol\n" * 2
                          + b"servidor: error en bind\n"),
            ("cardbox cannot reuse the address", "cardbox",
             failing("setsockopt:error=ENOPROTOOPT:when=1"), b"", 1, b"",
             b"setsockopt: Protocol not available\n"),
            ("cardbox cannot take IPv4 peers", "cardbox",
             failing("setsockopt:error=ENOPROTOOPT:when=2"), b"", 1, b"",
             b"setsockopt   no soporta IPv6: Protocol not available\n"),
            ("cardbox cannot listen", "cardbox", failing("listen:error=EADDRINUSE"), b"",
             1, READY_LINE, b"server: listen: Address already in use\n"),
            ("cardbox cannot watch its listener", "cardbox", failing("epoll_ctl:error=ENOMEM:when=1") + [ARGS, "-c", "4"],
             b"", 1, b"", b"cardbox: epoll_ctl: Cannot allocate memory\n"),
            # The descriptors open at start count: 12 strays leave too few for 8 slots.
            ("cardbox has descriptors open already", "cardbox",
             ["bash", "-c", 'for fd in {3..14}; do eval "exec $fd</dev/null"; done; exec prlimit --nofile=40:40 "$@"',
              "strays", ARGS, "-c", "8"], b"", 1, b"",
             re.compile(rb"cardbox: --connections 8 needs (4[4-9]|[5-9]\d) descriptors; the limit is 40\n")),
            # Not even one client's descriptor: refused before the start line, which --json
            # puts on standard error.
            ("cardbox has no descriptor to spare", "cardbox", ["prlimit", "--nofile=6:6"] + [ARGS, "--json"], b"",
             1, b"", re.compile(rb"cardbox: serving one client at a time needs \d+ descriptors; the limit is 6\n")),
            # Without it a client that sent half a record would see a normal close at a stop.
            ("cardbox cannot have its listener reset what it does not take", "cardbox",
             failing("setsockopt:error=ENOMEM:when=3"), b"", 1, b"",
             b"setsockopt(...,SO_LINGER,...): Cannot allocate memory\n"),
            ("cardbox cannot write its output", "cardbox", redirected(">/dev/full"), b"",
             1, b"", b"server: standard output" + full),
            ("cardpost cannot create its socket", "cardpost", failing("socket:error=EACCES"), b"",
             2, b"", b"client: socket: Permission denied\n" + NOT_CONNECTED),
            ("linebounce cannot create its socket", "linebounce", failing("socket:error=EACCES"), b"",
             2, b"", b"client: socket: Permission denied\n" + NOT_CONNECTED),
            ("cardpost cannot connect", "cardpost", failing("connect:error=ETIMEDOUT"), b"",
             2, b"", b"cliente: connect: Connection timed out\n" + NOT_CONNECTED),
            ("linebounce cannot connect", "linebounce", failing("connect:error=ENETUNREACH"), b"",
             2, b"", b"client: socket: Network is unreachable\n" + NOT_CONNECTED),
        ]
        for what, name, wrapper, stdin, status, out, err in cases:
            with self.subTest(what):
                arguments = wrapper[wrapper.index(ARGS) + 1:] if ARGS in wrapper else []
                wrapper = wrapper[:wrapper.index(ARGS)] if ARGS in wrapper else wrapper
                result = run(name, stdin, wrapper=wrapper, arguments=arguments)
                if isinstance(err, re.Pattern):
                    self.assertRegex(result[2], err)
                    err = result[2]
                self.assertEqual(result, (status, out, err))

    def test_record_that_did_not_leave_whole_is_a_failure(self):
        cases = [
            # (what, injection, count shown, report, how the connection ends)
            ("the write fails", "write:error=ECONNRESET:when=1", -1,
             b"cliente: write: Connection reset by peer\n", "closed"),
            # Part of a record is never to be taken for one: the connection is reset.
            ("the write is short", "write:retval=30:when=1", 30,
             b"cliente: write: envio incompleto\n", "reset"),
        ]
        for what, injection, written, err, ended in cases:
            with self.subTest(what), listen(RECORD_PORT) as listener:
                result = run("cardpost", b"Ana\nPerez\n25\n", wrapper=failing(injection))
                connection, _ = listener.accept()
                with connection:
                    # The failure was injected: nothing left for real.
                    self.assertEqual(verdict(connection), ended)
                self.assertEqual(result, (1, summary(b"Ana\n", b"Perez\n", 25, sent=written), err))


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class FailuresTheServerPassesOver(unittest.TestCase):
    def test_server_goes_on(self):
        cases = [
            # (what, injection, what standard error says, cardbox's arguments)
            ("a connection's linger cannot be set", "setsockopt:error=ENOMEM:when=4",
             b"setsockopt(...,SO_LINGER,...): Cannot allocate memory\n", []),
            ("a connection was aborted before it was accepted", "accept4:error=ECONNABORTED:when=1",
             b"accept: Software caused connection abort\n", []),
            # Accepting pauses until descriptors or memory come back, then goes on; a
            # lack that lasts is reported once.
            ("no descriptor left", "accept4:error=EMFILE:when=1+3", b"accept: Too many open files\n", []),
            ("no descriptor left, many at once", "accept4:error=ENFILE:when=1",
             b"accept: Too many open files in system\n", ["-c", "4"]),
            ("no memory, many at once", "accept4:error=ENOBUFS:when=1",
             b"accept: No buffer space available\n", ["-c", "4"]),
        ]
        for what, injection, err, arguments in cases:
            with self.subTest(what), start_cardbox(wrapper=failing(injection), arguments=arguments) as server:
                with connect() as peer:
                    peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                    expected = READY_LINE + peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                    self.assertEqual(server.wait_out(len(expected)), expected)
                self.assertEqual(server.wait_err(len(err)), err)
                self.assertIsNone(server.process.poll())


    def test_stop_while_a_record_is_written_out_lands_after_its_client_is_told(self):
        # The server is held up just after its record's write: the record is in the
        # output, and a stop that comes then ends the server only once the client has
        # been told, with a normal close, never a reset.
        with start_cardbox(wrapper=failing("write:delay_exit=2000000:when=2+")) as server, \
                connect() as peer:
            peer.sendall(record(b"Ana\n", b"Perez\n", 25))
            expected = READY_LINE + peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
            self.assertEqual(server.wait_out(len(expected)), expected)
            peer.setblocking(False)
            with self.assertRaises(BlockingIOError):
                peer.recv(1)  # not told yet
            # The server itself, not strace, which runs it.
            with open(f"/proc/{server.process.pid}/task/{server.process.pid}/children") as children:
                os.kill(int(children.read().split()[0]), signal.SIGTERM)
            server.wait_exit()
            peer.setblocking(True)
            self.assertEqual((peer.recv(1), server.out), (b"", expected))

    def test_without_ipv6_the_server_listens_on_ipv4(self):
        with start_cardbox(wrapper=failing("socket:error=EAFNOSUPPORT:when=1")) as server, \
                connect("127.0.0.1") as peer:
            peer.sendall(record(b"Ana\n", b"Perez\n", 25))
            name = b"127.0.0.1:%d" % peer.getsockname()[1]
            expected = READY_LINE + b"cliente conectado desde " + name + b"\n" + shown(b"Ana\n", b"Perez\n", 25)
            self.assertEqual(server.wait_out(len(expected)), expected)
            self.assertEqual(server.err, b"server: socket: Address family not supported by protocol\n")

    def test_record_that_cannot_be_written_out_resets_its_connection(self):
        for arguments in ([], ["--connections", "4"]):
            # Standard output is a pipe here, written to without waiting for room.
            with self.subTest(arguments=arguments), \
                    start_cardbox(wrapper=failing("write:error=ENOSPC:when=2"), arguments=arguments) as server:
                # The write that fails may be the peer line's, before the record has
                # even arrived: the reset can meet the peer at any step.
                with self.assertRaises((ConnectionResetError, BrokenPipeError)), connect() as peer:
                    peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                    peer.recv(1)
                self.assertEqual(server.wait_exit(), 1)
                self.assertEqual((server.out, server.err),
                                 (READY_LINE, b"server: standard output: No space left on device\n"))


class StandardStreams(unittest.TestCase):
    def test_clients_with_odd_standard_streams(self):
        ana = record(b"Ana\n", b"Perez\n", 25)
        hola = exchange(5, b"hola\n", b"hola\n")
        full = b": No space left on device\n"
        unreadable = b": Is a directory\n"
        cases = [
            # (what, program, shell redirection, status, stdout, stderr, bytes on the wire)
            ("cardpost, input closed", "cardpost", "<&-", 0, summary(b"", b"", 0), b"",
             record(b"", b"", 0)),
            ("cardpost, output closed", "cardpost", ">&-", 0, b"", b"", ana),
            ("cardpost, errors closed", "cardpost", "2>&-", 0, summary(b"Ana\n", b"Perez\n", 25),
             b"", ana),
            ("cardpost, output full", "cardpost", ">/dev/full", 1, b"",
             b"cliente: standard output" + full, ana),
            ("cardpost, input unreadable", "cardpost", "</", 1, PROMPTS[:39],
             b"cliente: standard input" + unreadable, b""),
            ("linebounce, input closed", "linebounce", "<&-", 0, INVITATION, b"", b""),
            ("linebounce, output closed", "linebounce", ">&-", 0, b"", b"", b"hola\n\0"),
            ("linebounce, errors closed", "linebounce", "2>&-", 0, INVITATION + hola, b"",
             b"hola\n\0"),
            ("linebounce, output full", "linebounce", ">/dev/full", 1, b"",
             b"client: standard output" + full, b"hola\n\0"),
            ("linebounce, input unreadable", "linebounce", "</", 1, INVITATION,
             b"client: standard input" + unreadable, b""),
        ]
        answers = {"cardpost": b"Ana\nPerez\n25\n", "linebounce": b"hola\n"}
        peers = {"cardpost": (RECORD_PORT, keep_everything), "linebounce": (ECHO_PORT, echo_everything)}
        for what, name, redirection, status, out, err, wire in cases:
            with self.subTest(what):
                with Peer(*peers[name]) as peer:
                    result = run(name, answers[name], wrapper=redirected(redirection))
                self.assertEqual(result, (status, out, err))
                self.assertEqual(bytes(peer.received), wire)

    def test_server_waits_for_room_in_a_non_blocking_pipe(self):
        # Whoever started the server set its output pipe non-blocking, and reads it
        # only once far more than the pipe holds has been printed.
        reader, writer = os.pipe()
        os.set_blocking(writer, False)
        server = subprocess.Popen([program("cardbox")], stdout=writer, stderr=subprocess.PIPE,
                                  start_new_session=True)
        os.close(writer)
        endings = []

        def send(count):
            for number in range(count):
                with connect() as peer:
                    peer.sendall(record(b"Lleno-%d\n" % number, b"Tubo\n", 7))
                    endings.append(verdict(peer))

        try:
            wait_until_listening()
            sender = threading.Thread(target=send, args=(1000,), daemon=True)
            sender.start()
            time.sleep(0.5)  # the pipe fills meanwhile
            out = bytearray()
            while out.count(b" Edad:7\n") < 1000 and (chunk := os.read(reader, 65536)):
                out += chunk
            sender.join(TIMEOUT)
            self.assertEqual((endings, server.poll()), (["closed"] * 1000, None))
            self.assertEqual(out.count(shown(b"Lleno-999\n", b"Tubo\n", 7)), 1)
        finally:
            kill_session(server)
            server.wait(TIMEOUT)
            server.stderr.close()
            os.close(reader)

    def test_server_with_a_standard_descriptor_closed(self):
        # No socket may take the number of a closed standard descriptor: nothing
        # printed reaches a peer, and a report cannot stop the server.
        for closed in (0, 1, 2):
            with self.subTest(closed=closed), \
                    Running(redirected(f"{closed}>&-") + [program("cardbox")]) as server:
                wait_until_listening()
                with connect():
                    pass  # an empty connection: a report on standard error
                with connect() as peer:
                    peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                    self.assertEqual(peer.recv(100), b"")
                    shown_out = peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                if closed != 1:
                    self.assertTrue(server.wait_out_ending(shown_out).endswith(shown_out))
                self.assertIsNone(server.process.poll())


if __name__ == "__main__":
    unittest.main()
