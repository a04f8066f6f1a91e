"""An adversarial soak: many peers at once hit cardbox with empty connections, resets,
records split at random points, over-long and random bytes, interleaved with genuine
records from cardpost processes and raw peers. Afterwards every genuine record has
been printed exactly as sent, the server still serves, and its descriptors and memory
are where they were. Then the loop itself, in rounds of random settings, clients,
reloads, stalls and stops, against the promise. Bounded in count and in time; prints
its figures and its seed."""

import fcntl
import json
import os
import random
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (TIMEOUT, Running, connect, peer_line, program, record, shown, start_cardbox, stop_during,
                     verdict, wait_until, wait_until_listening)
from test_tls import TlsPeer, make_certificates

PEERS_AT_ONCE = 6
ACTIONS_PER_PEER = 1500
SOAK_SECONDS = 40  # a bound, not a target: the soak stops early rather than run over
SEED = int(os.environ.get("SOAK_SEED", "20261208"))


def kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {field} for process {pid}")


def descriptors(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"))


def open_sockets(pid):
    """The sockets the process holds: its listener, and the connections not yet closed."""
    return sum(os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:") for fd in descriptors(pid))


class Soak(unittest.TestCase):
    def setUp(self):
        self.lock = threading.Lock()
        self.genuine = []       # (peer line or None, block the server must print once)
        self.counts = {"connections": 0, "genuine records": 0, "cardpost processes": 0}
        self.failures = []
        self.deadline = time.monotonic() + SOAK_SECONDS

    def count(self, what, expected=None):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + 1
            if expected is not None:
                self.genuine.append(expected)

    # What one peer may do, each a kind of visit the server must survive.

    def empty(self, rng, tag):
        with connect():
            pass

    def reset(self, rng, tag):
        peer = connect()
        if rng.random() < 0.5:
            peer.sendall(rng.randbytes(rng.randrange(1, 61)))
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer.close()

    def random_bytes(self, rng, tag):
        with connect() as peer:
            self.send_and_wait(peer, rng.randbytes(rng.randrange(1, 300)))

    def split_record(self, rng, tag):
        nombre, apellido, edad = b"Partido-%s\n" % tag, b"Trozos\n", rng.randrange(65536)
        data = record(nombre, apellido, edad)
        cuts = sorted(rng.sample(range(1, len(data)), rng.randrange(1, 4)))
        with connect() as peer:
            expected = peer_line(peer) + shown(nombre, apellido, edad)
            for start, end in zip([0, *cuts], [*cuts, len(data)]):
                peer.sendall(data[start:end])
                if end < len(data) and rng.random() < 0.5:
                    time.sleep(rng.random() / 100)
            self.drain(peer)
        self.count("genuine records", expected)

    def whole_record(self, rng, tag):
        nombre, apellido, edad = b"Entero-%s\n" % tag, b"Crudo\n", rng.randrange(65536)
        # Sent in one piece, with up to 59 bytes after it: the server's first read
        # takes it all, up to its 100-byte buffer.
        trailing = rng.randbytes(rng.randrange(0, 60))
        with connect(rng.choice(["::1", "127.0.0.1"])) as peer:
            expected = (peer_line(peer)
                        + shown(nombre, apellido, edad, min(62 + len(trailing), 100)))
            self.send_and_wait(peer, record(nombre, apellido, edad) + trailing)
        self.count("genuine records", expected)

    def cardpost(self, rng, tag):
        nombre, apellido, edad = b"Postal-%s\n" % tag, b"Proceso\n", rng.randrange(65536)
        result = subprocess.run([program("cardpost")], input=nombre + apellido + b"%d\n" % edad,
                                capture_output=True, timeout=TIMEOUT)
        if result.returncode != 0:
            raise AssertionError(f"cardpost ended with {result.returncode}: {result.stderr!r}")
        self.count("cardpost processes")
        self.count("genuine records", shown(nombre, apellido, edad))

    @staticmethod
    def drain(peer):
        """Waits for the server to close (or reset, when it left bytes unread)."""
        try:
            while peer.recv(4096):
                pass
        except ConnectionResetError:
            pass

    @staticmethod
    def send_and_wait(peer, data):
        """Sends the bytes, closes the sending side and waits for the server to close.
        Past 100 bytes the server leaves some unread and resets the connection, which
        may cut this short anywhere."""
        try:
            peer.sendall(data)
            peer.shutdown(socket.SHUT_WR)
        except OSError:
            return
        Soak.drain(peer)

    def peer(self, number):
        rng = random.Random(SEED * 100 + number)
        visits = [self.empty, self.reset, self.random_bytes, self.split_record,
                  self.whole_record, self.whole_record, self.cardpost]
        try:
            for action in range(ACTIONS_PER_PEER):
                if time.monotonic() > self.deadline:
                    return
                rng.choice(visits)(rng, b"%d-%d" % (number, action))
                self.count("connections")
        except Exception as error:  # reported by the test, not lost in the thread
            self.failures.append(f"peer {number}: {error!r}")

    def test_server_survives_and_loses_nothing(self):
        with start_cardbox() as server:
            pid = server.process.pid
            # A warm-up down every path (reports on standard error included), so that
            # the buffers and stack the server uses exist before it is measured.
            warm_up = random.Random(SEED)
            for visit in (self.empty, self.reset, self.random_bytes):
                visit(warm_up, b"")
            with connect() as first:
                self.send_and_wait(first, record(b"Primero\n", b"Registro\n", 1))
            server.wait_out_ending(shown(b"Primero\n", b"Registro\n", 1))
            # The client is told before its connection is closed: wait for the close.
            wait_until(lambda: open_sockets(pid) == 1, "the server to close the first connection")
            fds_before, private_before = descriptors(pid), kib(pid, "RssAnon")

            started = time.monotonic()
            peers = [threading.Thread(target=self.peer, args=(n,)) for n in range(PEERS_AT_ONCE)]
            for peer in peers:
                peer.start()
            for peer in peers:
                peer.join(SOAK_SECONDS + TIMEOUT)
            elapsed = time.monotonic() - started
            self.assertEqual(self.failures, [])
            self.assertFalse(any(peer.is_alive() for peer in peers), "a peer did not finish")

            # Still serving: one more record goes through.
            with connect() as last:
                self.send_and_wait(last, record(b"Ultimo\n", b"Registro\n", 2))
            out = server.wait_out_ending(shown(b"Ultimo\n", b"Registro\n", 2))
            wait_until(lambda: descriptors(pid) == fds_before, "the server's descriptors to settle")
            fds_after = descriptors(pid)
            private_after, peak = kib(pid, "RssAnon"), kib(pid, "VmHWM")

            for expected in self.genuine:
                self.assertEqual(out.count(expected), 1, expected)
            self.assertIsNone(server.process.poll())
            self.assertEqual(fds_after, fds_before)
            # Sanitizer run-times keep memory of their own; the program's is checked
            # in the optimised build.
            if os.environ.get("SANITIZED") != "1":
                self.assertLessEqual(private_after, private_before)
        print(f"\nsoak: {self.counts['connections']} connections from {PEERS_AT_ONCE} peers at once, "
              f"{self.counts['genuine records']} genuine records "
              f"({self.counts['cardpost processes']} from cardpost), all printed once, "
              f"in {elapsed:.1f} s; private memory {private_before} -> {private_after} KiB, "
              f"peak resident {peak} KiB; descriptors {len(fds_before)} -> {len(fds_after)}; "
              f"seed {SEED}")


    def test_stopping_the_server_keeps_its_word_to_every_client(self):
        """SIGTERM at a random moment of a flood: every record whose peer saw its
        connection closed normally is in the output, and none whose peer saw it reset."""
        for arguments in ([], ["--connections", "64"]):
            with self.subTest(arguments=arguments):
                self.flood_and_stop(arguments)

    def flood_and_stop(self, arguments):
        rng = random.Random(SEED)
        taken, refused = [], []  # what the server printed, or must not have, per record
        stopped = threading.Event()

        def flood(number):
            for action in range(ACTIONS_PER_PEER * 10):
                if stopped.is_set():
                    return
                nombre = b"Tomado-%d-%d\n" % (number, action)
                try:
                    peer = connect()
                except OSError:
                    continue  # refused: nothing was sent
                with peer:
                    expected = peer_line(peer) + shown(nombre, b"Flujo\n", action % 65536)
                    try:
                        peer.sendall(record(nombre, b"Flujo\n", action % 65536))
                        ended = verdict(peer)
                    except OSError:
                        ended = "reset"
                    (taken if ended == "closed" else refused).append(expected)

        with start_cardbox(arguments=arguments) as server:
            status, out = stop_during(server, flood, PEERS_AT_ONCE, rng.uniform(0.5, 2.0), stopped)
            self.assertEqual(status, -signal.SIGTERM)
        self.assertEqual([expected for expected in taken if out.count(expected) != 1], [])
        self.assertEqual([expected for expected in refused if expected in out], [])
        self.assertGreater(len(taken), 0)
        print(f"\nsoak: SIGTERM during a flood from {PEERS_AT_ONCE} peers against cardbox "
              f"{' '.join(arguments)}: {len(taken)} records taken, every one in the output; "
              f"{len(refused)} reset, none in it; seed {SEED}")


LOOP_SECONDS = 60  # the randomized test's budget, setup included
ROUND_SECONDS = 4


class Loop(unittest.TestCase):
    """Rounds of random settings (one at a time or many, plain or TLS, output to a file
    rotated under SIGHUP, to a FIFO reopened under SIGHUP and read with stalls, or to
    a pipe), each ended by a stop, against clients that send whole, split, trickle, stay
    silent, half-close, reset or stall inside a TLS hello. Every client told "taken" is
    in the output once, and none told "not taken" is in it."""

    def test_the_loop_keeps_its_word(self):
        rng = random.Random(SEED)
        deadline = time.monotonic() + LOOP_SECONDS
        totals = {"rounds": 0, "over TLS": 0, "taken": 0, "not taken": 0, "no verdict": 0}
        with tempfile.TemporaryDirectory() as folder:
            make_certificates(folder)
            while time.monotonic() + ROUND_SECONDS + 3 < deadline:
                settings = {"connections": rng.choice([1, 1, 4, 64]), "tls": rng.random() < 0.4,
                            "output": rng.choice(["file", "fifo", "pipe"]), "timeout": rng.choice([1, 2, 300])}
                if settings["connections"] == 1:
                    settings["timeout"] = min(settings["timeout"], 2)  # one silent client holds it till then
                with self.subTest(seed=SEED, round=totals["rounds"], **settings):
                    told = self.round(random.Random(rng.random()), folder, **settings)
                    for word in ("taken", "not taken", "no verdict"):
                        totals[word] += len(told[word])
                totals["rounds"] += 1
                totals["over TLS"] += settings["tls"]
        print(f"\nloop: {totals['rounds']} rounds ({totals['over TLS']} over TLS): {totals['taken']} clients told taken, every one in the "
              f"output once; {totals['not taken']} told not taken, none in it; {totals['no verdict']} "
              f"without a verdict; seed {SEED}")

    def round(self, rng, folder, connections, tls, output, timeout):
        arguments = ["--json", "-c", str(connections), "--busy-timeout", "1", "-t", str(timeout)]
        if tls:
            arguments += ["--tls-cert", os.path.join(folder, "server.pem"), "--tls-key", os.path.join(folder, "server.key")]
        path = os.path.join(folder, f"records-{rng.getrandbits(32)}")
        reader = None
        if output == "fifo":
            os.mkfifo(path)
            reader = StallingReader(path, rng.random())
        if output != "pipe":
            arguments += ["-o", path]
        told = {"taken": [], "not taken": [], "no verdict": []}
        stop = threading.Event()
        server = Running([program("cardbox"), *arguments])
        try:
            wait_until_listening()
            clients = [threading.Thread(target=self.client, args=(random.Random(rng.random()), n, tls, folder, stop, told))
                       for n in range(8)]
            for client in clients:
                client.start()
            rotated = []
            for _ in range(int(ROUND_SECONDS / 0.25)):
                time.sleep(0.25)
                if output != "pipe" and rng.random() < 0.3:
                    if output == "file":
                        rotated.append(f"{path}.{len(rotated)}")
                        os.rename(path, rotated[-1])
                    server.process.send_signal(signal.SIGHUP)
            server.process.send_signal(rng.choice([signal.SIGTERM, signal.SIGINT]))
            status = server.wait_exit()
            stop.set()
            for client in clients:
                client.join(TIMEOUT)
        finally:
            stop.set()
            server.stop()
        text = reader.finish() if reader else server.out
        # The file last renamed is not there when the stop came before its reopening.
        for name in rotated + ([path] if output == "file" and os.path.exists(path) else []):
            with open(name, "rb") as written:
                text += written.read()
        self.assertIn(status, (-signal.SIGTERM, -signal.SIGINT), server.err[-300:])
        self.assertTrue(text == b"" or text.endswith(b"\n"), f"a line left cut: {text[-80:]!r}, seed {SEED}")
        # A record kept: a line without a failure; a record given up on is a report.
        kept = [line["nombre"] for line in map(json.loads, text.splitlines())
                if line.get("error") in (None, "Incomplete record") and "nombre" in line]
        self.assertEqual([name for name in told["taken"] if kept.count(name) != 1], [], f"seed {SEED}")
        self.assertEqual([name for name in told["not taken"] if name in kept], [], f"seed {SEED}")
        return told

    def client(self, rng, number, tls, folder, stop, told):
        ways = [self.whole, self.whole, self.split, self.trickle, self.silent, self.half_close, self.reset]
        if tls:
            ways = [self.tls_whole, self.tls_whole, self.tls_whole, self.tls_stalled_hello, self.silent]
        for action in range(100_000):
            if stop.is_set():
                return
            name = f"L{number}-{action}"
            try:
                verdict_word = rng.choice(ways)(rng, name.encode(), folder, stop)
            except OSError:
                verdict_word = None  # refused, or reset before it sent anything
            if verdict_word:
                told[verdict_word].append(name)

    @staticmethod
    def plain_verdict(peer):
        return "taken" if verdict(peer) == "closed" else "not taken"

    def whole(self, rng, name, folder, stop):
        with connect(rng.choice(["::1", "127.0.0.1"])) as peer:
            peer.sendall(record(name, b"Bucle", 1))
            return self.plain_verdict(peer)

    def split(self, rng, name, folder, stop):
        data = record(name, b"Trozos", 2)
        cut = rng.randrange(1, len(data))
        with connect() as peer:
            peer.sendall(data[:cut])
            time.sleep(rng.random() / 20)
            try:
                peer.sendall(data[cut:])
            except OSError:
                return "not taken"  # reset meanwhile: the send took the verdict
            return self.plain_verdict(peer)

    def trickle(self, rng, name, folder, stop):
        with connect() as peer:
            try:
                for byte in record(name, b"Goteo", 3):
                    if stop.is_set():
                        break
                    peer.send(bytes([byte]))
                    time.sleep(0.03)
            except OSError:
                return "not taken"
            return self.plain_verdict(peer)

    def silent(self, rng, name, folder, stop):
        with connect():
            stop.wait(rng.random() * 1.5)

    def half_close(self, rng, name, folder, stop):
        with connect() as peer:
            peer.sendall(record(name, b"Mitad", 4)[:rng.randrange(len(name) + 1, 61)])
            peer.shutdown(socket.SHUT_WR)
            return self.plain_verdict(peer)

    def reset(self, rng, name, folder, stop):
        peer = connect()
        peer.sendall(record(name, b"Corte", 5)[:rng.randrange(0, 62)])
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer.close()

    def tls_whole(self, rng, name, folder, stop):
        try:
            peer = TlsPeer(folder, host=rng.choice(["::1", "127.0.0.1"]))
        except Exception:  # the handshake did not end: nothing was sent
            return None
        with peer:
            peer.sendall(record(name, b"Sellado", 6))
            ended = peer.verdict()
        # Once the whole record is handed to TLS, an end that no one authenticated
        # says nothing.
        return {"taken": "taken", "refused": "not taken"}.get(ended, "no verdict")

    def tls_stalled_hello(self, rng, name, folder, stop):
        with connect() as peer:
            peer.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + rng.randbytes(9))
            stop.wait(rng.random() * 1.5)


class StallingReader:
    """Reads a FIFO as the server's output, stopping now and then for up to half a
    second, so that the server finds the FIFO full (it holds one page); keeps it open
    meanwhile, so that the server can open it again by name."""

    def __init__(self, path, seed):
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        fcntl.fcntl(self.fd, fcntl.F_SETPIPE_SZ, 4096)
        self.rng, self.taken, self.done = random.Random(seed), bytearray(), threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        while not self.done.is_set():
            if self.rng.random() < 0.1:
                time.sleep(self.rng.random() / 2)
            try:
                self.taken += os.read(self.fd, 512)
            except BlockingIOError:
                time.sleep(0.002)

    def finish(self):
        self.done.set()
        self.thread.join(TIMEOUT)
        try:
            while chunk := os.read(self.fd, 65536):
                self.taken += chunk
        except BlockingIOError:
            pass
        os.close(self.fd)
        return bytes(self.taken)


if __name__ == "__main__":
    unittest.main()
