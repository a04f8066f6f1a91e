"""Failing system calls, made to fail for real with strace's fault injection: each is
reported with its exact message and ends with the right status, or is passed over."""

import shutil
import unittest

from harness import (READY_LINE, RECORD_PORT, connect, listen, peer_line, receive_all, record,
                     run, shown, start_cardbox, summary)


def failing(*injections):
    """A wrapper command that runs a program with the given system calls failing, as
    strace's -e inject= describes them; strace's own trace goes nowhere."""
    # LeakSanitizer needs ptrace, which strace holds; leaks are checked in the other tests.
    wrapper = ["strace", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0"]
    for injection in injections:
        wrapper += ["-e", f"inject={injection}"]
    return wrapper


NOT_CONNECTED = b"client: error al conectar con el servidor\n"


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class FailuresThatEndAProgram(unittest.TestCase):
    def test_each_failure_is_reported_with_its_status(self):
        cases = [
            # (what, program, injected failure, standard input, status, stdout, stderr)
            ("cardbox cannot create its socket", "cardbox", "socket:error=EAFNOSUPPORT", b"",
             1, b"", b"server: socket: Address family not supported by protocol\n"
                     b"servidor: error en bind\n"),
            ("cardbox cannot reuse the address", "cardbox", "setsockopt:error=ENOPROTOOPT:when=1",
             b"", 1, b"", b"setsockopt: Protocol not available\n"),
            ("cardbox cannot take IPv4 peers", "cardbox", "setsockopt:error=ENOPROTOOPT:when=2",
             b"", 1, b"", b"setsockopt   no soporta IPv6: Protocol not available\n"),
            ("cardbox has no descriptor left", "cardbox", "accept:error=EMFILE:when=1", b"",
             1, READY_LINE, b"accept: Too many open files\n"),
            ("cardpost cannot create its socket", "cardpost", "socket:error=EACCES", b"",
             2, b"", b"client: socket: Permission denied\n" + NOT_CONNECTED),
            ("linebounce cannot create its socket", "linebounce", "socket:error=EACCES", b"",
             2, b"", b"client: socket: Permission denied\n" + NOT_CONNECTED),
            ("cardpost cannot connect", "cardpost", "connect:error=ETIMEDOUT", b"",
             2, b"", b"cliente: connect: Connection timed out\n" + NOT_CONNECTED),
            ("linebounce cannot connect", "linebounce", "connect:error=ENETUNREACH", b"",
             2, b"", b"client: socket: Network is unreachable\n" + NOT_CONNECTED),
        ]
        for what, name, injection, stdin, status, out, err in cases:
            with self.subTest(what):
                self.assertEqual(run(name, stdin, wrapper=failing(injection)), (status, out, err))

    def test_record_that_did_not_leave_whole_is_a_failure(self):
        cases = [
            ("the write fails", "write:error=ECONNRESET:when=1", -1,
             b"cliente: write: Connection reset by peer\n"),
            ("the write is short", "write:retval=30:when=1", 30,
             b"cliente: write: envio incompleto\n"),
        ]
        for what, injection, written, err in cases:
            with self.subTest(what), listen(RECORD_PORT) as listener:
                result = run("cardpost", b"Ana\nPerez\n25\n", wrapper=failing(injection))
                connection, _ = listener.accept()
                with connection:
                    # The failure was injected: nothing left for real.
                    self.assertEqual(receive_all(connection), b"")
                self.assertEqual(result, (1, summary(b"Ana\n", b"Perez\n", 25, sent=written), err))


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class FailuresTheServerPassesOver(unittest.TestCase):
    def test_server_goes_on(self):
        cases = [
            ("the linger cannot be set", "setsockopt:error=ENOMEM:when=3",
             b"setsockopt(...,SO_LINGER,...): Cannot allocate memory\n"),
            ("a connection was aborted before it was accepted", "accept:error=ECONNABORTED:when=1",
             b"accept: Software caused connection abort\n"),
        ]
        for what, injection, err in cases:
            with self.subTest(what), start_cardbox(wrapper=failing(injection)) as server:
                with connect() as peer:
                    peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                    expected = READY_LINE + peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                    self.assertEqual(server.wait_out(len(expected)), expected)
                self.assertEqual(server.wait_err(len(err)), err)
                self.assertIsNone(server.process.poll())


if __name__ == "__main__":
    unittest.main()
