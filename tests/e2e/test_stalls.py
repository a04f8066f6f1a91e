"""Readers that stall: standard error or standard output on a pipe nobody reads, read
slowly, or a terminal on hold. Nothing the server writes may stall it: it goes on
serving, a stop ends it at once, and what it wrote holds whole lines, every record
whose client was told, and none whose client was reset."""

import os
import pty
import re
import signal
import socket
import subprocess
import threading
import time
import unittest

from harness import (TIMEOUT, Flood, broken_promises, connect, json_names, kill_session, program,
                     record, verdict, wait_until, wait_until_listening)


def start(arguments, stdout, stderr):
    server = subprocess.Popen([program("cardbox"), *arguments], stdout=stdout, stderr=stderr,
                              start_new_session=True)
    wait_until_listening()
    return server


def drain(fd):
    """Everything the descriptor holds now, without waiting."""
    os.set_blocking(fd, False)
    taken = bytearray()
    try:
        while chunk := os.read(fd, 65536):
            taken += chunk
    except (BlockingIOError, OSError):
        pass
    return bytes(taken)


class Stalls(unittest.TestCase):
    def test_reports_nobody_reads_stall_nothing(self):
        for arguments in ([], ["-c", "64"]):
            with self.subTest(arguments=arguments):
                reader, writer = os.pipe()
                server = start(arguments, subprocess.DEVNULL, writer)
                os.close(writer)
                try:
                    # Each empty connection is reported: far more than the pipe and the
                    # server's buffer hold. One at a time, each ended by the server before
                    # the next, so that none is reset for its source's crowd (one line for
                    # many) and each adds its own report.
                    for _ in range(8000):
                        with connect() as peer:
                            peer.shutdown(socket.SHUT_WR)
                            verdict(peer)
                    with connect("127.0.0.1", source="127.0.0.2") as peer:
                        peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                        self.assertEqual(verdict(peer), "closed")
                    err = bytearray(drain(reader))
                    self.assertTrue(err.startswith(b"Socket cerrado\n: Success\n"), err[:80])
                    # Room again: the reports lost meanwhile are counted.
                    with connect():
                        pass

                    def counted():
                        err.extend(drain(reader))
                        return b" reports dropped: standard error was not read\n" in err

                    wait_until(counted, "the count of reports dropped")
                    server.send_signal(signal.SIGTERM)
                    self.assertEqual(server.wait(TIMEOUT), -signal.SIGTERM)
                finally:
                    kill_session(server)
                    server.wait(TIMEOUT)
                    os.close(reader)

    def test_output_read_slowly_or_not_at_all(self):
        # The records wait for room, and their clients for their verdict; a stop
        # ends the server at once.
        for kind in ("pipe read slowly", "pipe not read", "terminal on hold"):
            for arguments in (["--json"], ["--json", "-c", "64"]):
                with self.subTest(kind, arguments=arguments):
                    if kind == "terminal on hold":
                        reader, writer = pty.openpty()
                    else:
                        reader, writer = os.pipe()
                    server = start(arguments, writer, subprocess.DEVNULL)
                    os.close(writer)
                    out, stop = bytearray(), threading.Event()

                    def read_slowly():
                        os.set_blocking(reader, False)
                        while not stop.is_set():
                            try:
                                out.extend(os.read(reader, 1024))
                            except BlockingIOError:
                                pass
                            time.sleep(0.002)

                    slow = threading.Thread(target=read_slowly, daemon=True)
                    try:
                        if kind == "pipe read slowly":
                            slow.start()
                        with Flood(threads=8) as flood:
                            time.sleep(1.5)
                            server.send_signal(signal.SIGTERM)
                            self.assertEqual(server.wait(TIMEOUT), -signal.SIGTERM)
                        stop.set()
                        if slow.is_alive():
                            slow.join(TIMEOUT)
                        out.extend(drain(reader))
                        text = bytes(out).replace(b"\r\n", b"\n")
                        if kind == "terminal on hold":
                            # A terminal takes part of a write: a stop may leave its last
                            # line unfinished, and that record's client was reset.
                            text, _, cut = text.rpartition(b"\n")
                            text += b"\n" if text else b""
                            self.assertNotIn(re.sub(rb'.*"nombre": "(Registro-[-0-9]*).*', rb"\1\n", cut).decode(),
                                             flood.taken)
                        names = json_names(text)
                        self.assertEqual(broken_promises(flood, names), ([], []))
                        if kind != "pipe read slowly":
                            self.assertGreater(len(flood.refused), 0)
                    finally:
                        stop.set()
                        kill_session(server)
                        server.wait(TIMEOUT)
                        os.close(reader)


if __name__ == "__main__":
    unittest.main()
