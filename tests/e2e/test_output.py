"""cardbox --output: records in a file of their own, opened anew by name on SIGHUP
between two writes; and what a rotation, a full disk, the file-size limit or a failed
sync leave in it: every record whose client saw a normal close, once, and nothing
else but whole lines."""

import fcntl
import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

from harness import (READY_LINE, Flood, broken_promises, Running, disk_folder, connect, json_names,
                     mount_namespace_failure, peer_line, program, record, shown, start_cardbox, under_strace, verdict,
                     wait_until, wait_until_listening)


def names_in_files(*paths):
    names = []
    for path in paths:
        with open(path, "rb") as lines:
            names += json_names(lines.read())
    return names


def drained(fd):
    """Reads what the descriptor holds now; returns True."""
    try:
        while os.read(fd, 65536):
            pass
    except BlockingIOError:
        pass
    return True


class KeptPromise(unittest.TestCase):
    def assert_kept(self, flood, names):
        self.assertGreater(len(flood.taken), 0)
        self.assertEqual(broken_promises(flood, names), ([], []))


class OwnFile(KeptPromise):
    def test_records_go_to_their_file_alone(self):
        ana = record(b"Ana\n", b"Perez\n", 25)
        with tempfile.TemporaryDirectory() as scratch:
            for arguments in ([], ["-c", "4"], ["--json"]):
                path = os.path.join(scratch, "records-%d" % len(arguments))
                with self.subTest(arguments=arguments), \
                        start_cardbox(arguments=["-o", path, *arguments]) as server, connect() as peer:
                    peer.sendall(ana)
                    self.assertEqual(verdict(peer), "closed")
                    with open(path, "rb") as written:
                        kept = written.read()
                    self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
                    self.assertEqual(server.out, b"" if "--json" in arguments else READY_LINE)
                    if "--json" in arguments:
                        self.assertEqual(json.loads(kept)["apellido"], "Perez\n")
                    else:
                        self.assertTrue(kept.endswith(shown(b"Ana\n", b"Perez\n", 25)), kept)

    def test_a_rotation_loses_nothing_and_cuts_nothing(self):
        # Renamed under a flood, then SIGHUP: every record whose client saw a normal
        # close is in one of the two files, once, and both hold whole lines alone.
        for arguments in ([], ["-c", "64"]):
            with self.subTest(arguments=arguments), tempfile.TemporaryDirectory() as scratch:
                path = os.path.join(scratch, "records.jsonl")
                with start_cardbox(arguments=["--json", "-o", path, *arguments]) as server:
                    with Flood() as flood:
                        time.sleep(0.3)
                        os.rename(path, path + ".1")
                        server.process.send_signal(signal.SIGHUP)
                        wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, "the new file")
                        time.sleep(0.3)
                    self.assertIsNone(server.process.poll())
                self.assert_kept(flood, names_in_files(path + ".1", path))

    def test_a_file_that_cannot_be_opened_anew_is_kept(self):
        with tempfile.TemporaryDirectory() as scratch:
            os.mkdir(os.path.join(scratch, "here"))
            path = os.path.join(scratch, "here", "records")
            with start_cardbox(arguments=["--json", "-o", path]) as server:
                os.rename(os.path.join(scratch, "here"), os.path.join(scratch, "moved"))
                server.process.send_signal(signal.SIGHUP)
                with connect() as peer:
                    peer.sendall(record(b"Ana\n", b"Perez\n", 25))
                    self.assertEqual(verdict(peer), "closed")
                report = (b"cardbox: cannot reopen " + path.encode()
                          + b", going on with the file it had: No such file or directory\n")
                self.assertEqual(server.wait_err(len(READY_LINE) + len(report)), READY_LINE + report)
            self.assertEqual(names_in_files(os.path.join(scratch, "moved", "records")), ["Ana\n"])

    def test_a_line_left_unfinished_is_cut_off_at_start(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "records")
            with open(path, "wb") as earlier:
                earlier.write(b'{"nombre": "Ana\\n"}\n{"nombre": "Lu')
            with Running([program("cardbox"), "--json", "-o", path]) as server:
                wait_until_listening()
                with connect() as peer:
                    peer.sendall(record(b"Eva\n", b"Perez\n", 25))
                    self.assertEqual(verdict(peer), "closed")
                self.assertEqual(server.err, b"cardbox: " + path.encode() + b": cut off the last 14 bytes, a "
                                 b"line left unfinished by a write that failed or was stopped\n" + READY_LINE)
            self.assertEqual(names_in_files(path), ["Ana\n", "Eva\n"])

    def test_one_server_to_a_file(self):
        # Two servers in one file would each cut back the other's records: the second
        # one refuses to start, by -o or by standard output alike.
        with disk_folder() as scratch:
            path = os.path.join(scratch, "records")
            with start_cardbox(arguments=["--sync", "-o", path]):
                for wrapper, arguments in (((), ["-o", path]), (["sh", "-c", f'exec "$@" >> {path}', "append"], [])):
                    with self.subTest(arguments=arguments), Running([*wrapper, program("cardbox"), "-p", "8001",
                                                                     *arguments]) as second:
                        self.assertEqual(second.wait_exit(), 1)
                        self.assertEqual(second.err, b"cardbox: " + path.encode()
                                         + b": another cardbox writes its records there\n")

    def test_a_fifo_opened_anew_is_watched_anew(self):
        # A FIFO fills, is opened anew twice by SIGHUP (the second time under the number
        # the first had), and fills again: the server goes on.
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "fifo")
            os.mkfifo(path)
            reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)
            try:
                with start_cardbox(arguments=["--json", "-c", "4", "-o", path]) as server:
                    for step in ("fill", "reload", "reload", "fill"):
                        if step == "reload":
                            server.process.send_signal(signal.SIGHUP)
                            time.sleep(0.2)
                            continue
                        with Flood() as flood:
                            time.sleep(0.5)  # the records of the clients that wait fill it
                            taken_then = len(flood.taken)
                            wait_until(lambda: drained(reader) and len(flood.taken) > taken_then, "room again")
                    self.assertIsNone(server.process.poll(), server.err)
            finally:
                os.close(reader)

    def test_sync_needs_a_disk(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm")
        with tempfile.TemporaryDirectory(dir="/dev/shm") as scratch:
            path = os.path.join(scratch, "records")
            server = Running([program("cardbox"), "--sync", "-o", path])
            self.assertEqual(server.wait_exit(), 64)
            self.assertEqual(server.err, b"cardbox: --sync: " + path.encode() + b" is on a file system kept "
                             b"in memory (tmpfs), which nothing makes durable; send it to a file on a disk\n")
            server.stop()


class Failures(KeptPromise):
    @unittest.skipUnless(shutil.which("strace") and shutil.which("prlimit"), "needs strace and prlimit")
    def test_a_failed_write_or_sync_leaves_no_record_but_the_taken(self):
        # The server ends with status 1 (never by a signal), and its file holds the
        # records of the clients told, whole, and no other.
        def full_disk(folder):
            # A disk of 64 KiB, in a mount namespace of its own; what is left on it is
            # copied out once the server has ended.
            return ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs -o size=64k full "$0" && "$@"; '
                    'status=$?; cp "$0"/records "$0"/../kept; exit $status', folder]

        size_limit = ["prlimit", "--fsize=40000"]
        cases = [
            # (what, wrapper given the folder, arguments, what ends the server)
            ("a full disk", full_disk, ["--json"], b"No space left on device"),
            ("the file-size limit", lambda folder: size_limit, ["--json"], b"File too large"),
            ("a failed sync", lambda folder: under_strace("-o", "/dev/null", "-e", "inject=fdatasync:error=EIO:when=5"),
             ["--json", "--sync"], b"Input/output error"),
            # The range it leaves is said; the clients told are in it all the same.
            ("a take-back that fails", lambda folder: under_strace("-o", "/dev/null", "-e", "inject=fdatasync:error=EIO:when=5",
                                                                   "-e", "inject=ftruncate:error=EIO"),
             ["--json", "--sync"], b"Input/output error"),
        ]
        for what, wrapper, arguments, why in cases:
            if what == "a full disk" and mount_namespace_failure():
                continue
            for mode in ([], ["-c", "64"]):
                with self.subTest(what, mode=mode), disk_folder() as scratch:
                    folder = os.path.join(scratch, "disk")
                    os.mkdir(folder)
                    path = os.path.join(folder, "records")
                    server = Running([*wrapper(folder), program("cardbox"), "-o", path, *arguments, *mode])
                    with server:
                        wait_until_listening()
                        with Flood() as flood:
                            status = server.wait_exit()
                    self.assertEqual(status, 1)
                    self.assertIn(b"server: " + path.encode() + b": " + why + b"\n", server.err)
                    with open(os.path.join(scratch, "kept") if what == "a full disk" else path, "rb") as kept:
                        text = kept.read()
                    if what == "a take-back that fails":
                        self.assertRegex(server.err, rb"cardbox: .*: cannot cut back what no client was told of "
                                         rb"\(Input/output error\): bytes \d+ to \d+ may hold records whose "
                                         rb"clients were reset\n")
                        self.assertEqual(broken_promises(flood, json_names(text))[0], [])
                    else:
                        self.assert_kept(flood, json_names(text))

    @unittest.skipUnless(shutil.which("prlimit"), "needs prlimit")
    def test_a_failed_write_takes_back_the_name_of_a_client_reset(self):
        # One at a time, in text, a client's name goes out as soon as it is served. When
        # its record then finds the file too large, the name goes with it.
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "records")
            with start_cardbox(arguments=["-o", path]) as server:
                with connect() as first:
                    first.sendall(record(b"Ana\n", b"Perez\n", 25))
                    self.assertEqual(verdict(first), "closed")
                    kept = peer_line(first) + shown(b"Ana\n", b"Perez\n", 25)
                with connect() as second:
                    # Room for the second client's name, not for its record.
                    subprocess.run(["prlimit", f"--pid={server.process.pid}",
                                    f"--fsize={len(kept) + len(peer_line(second)) + 10}"], check=True)
                    wait_until(lambda: os.path.getsize(path) > len(kept), "the second client's name")
                    second.sendall(record(b"Eva\n", b"Perez\n", 26))
                    self.assertEqual(verdict(second), "reset")
                self.assertEqual(server.wait_exit(), 1)
            with open(path, "rb") as written:
                self.assertEqual(written.read(), kept)


if __name__ == "__main__":
    unittest.main()
