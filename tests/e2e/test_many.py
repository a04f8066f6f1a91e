"""cardbox --connections: many clients at once, where no client holds the others and
every record keeps the promise of the one-at-a-time server."""

import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (TCP_ESTABLISHED, TIMEOUT, Running, connect, disk_folder, peer_line, program, record, run,
                     shown, start_cardbox, tcp_connections, under_strace, verdict, wait_until,
                     wait_until_listening, wait_until_read_by_server)

from test_tls import TlsPeer, make_certificates

TIMED_OUT = re.compile(rb"cardbox: [1-4] clients? given up on: no whole record within the time-out\n")


def whole(number):
    return record(b"Cliente-%d\n" % number, b"Perez\n", number)


def sent_and_verdict(data, source=None):
    """Connects, sends the bytes and returns the verdict: "reset" also when the reset
    came before the connection was made or the bytes sent."""
    try:
        with connect("127.0.0.1", source=source) as peer:
            peer.sendall(data)
            return verdict(peer)
    except OSError:
        return "reset"


def printed(peer, number):
    return peer_line(peer) + shown(b"Cliente-%d\n" % number, b"Perez\n", number)


class Many(unittest.TestCase):
    def test_slow_clients_hold_up_only_themselves(self):
        # Silent and trickling clients from one address beside good ones from others:
        # the good ones are served at once, and the time-out ends only its own.
        with start_cardbox(arguments=["-c", "8", "-t", "2"]) as server:
            slow = [connect("127.0.0.1") for _ in range(4)]
            slow[2].sendall(whole(0)[:10])
            slow[3].sendall(whole(0)[:30])
            endings = []
            for number in range(1, 21):
                with connect("127.0.0.1", source=f"127.0.0.{number + 1}") as peer:
                    peer.sendall(whole(number))
                    endings.append(verdict(peer))
                    expected = printed(peer, number)
                    self.assertIn(expected, server.wait_out_ending(expected))
            self.assertEqual(endings, ["closed"] * 20)
            self.assertEqual([verdict(peer) for peer in slow], ["reset"] * 4)
            for peer in slow:
                peer.close()
            # Counted, at most once a second.
            wait_until(lambda: sum(int(count) for count in re.findall(rb"(\d) clients? given up", server.err)) == 4,
                       "the four given up on")
            self.assertRegex(server.err, TIMED_OUT)

    def test_one_address_takes_no_more_than_its_share(self):
        # With 4 connections, one address is served in 2 at once; 2 more of its clients
        # wait unread, accepted, and the next is reset at once: it knows.
        with start_cardbox(arguments=["-c", "4"]) as server:
            holders = [connect("127.0.0.1") for _ in range(2)]
            waiting = []
            for number in range(2):
                peer = connect("127.0.0.1")
                peer.sendall(whole(number))
                waiting.append(peer)
            self.assertEqual(sent_and_verdict(whole(7)), "reset")
            # Another address is served meanwhile.
            with connect("127.0.0.1", source="127.0.0.9") as other:
                other.sendall(whole(9))
                self.assertEqual(verdict(other), "closed")
            self.assertNotIn(b"Cliente-0", server.out)
            for holder in holders:
                holder.shutdown(socket.SHUT_WR)
            self.assertEqual([verdict(peer) for peer in waiting + holders], ["closed"] * 4)
            expected = [printed(peer, number) for number, peer in enumerate(waiting)]
            wait_until(lambda: all(block in server.out for block in expected), "the held records")
            for block, peer in zip(expected, waiting):
                self.assertEqual(server.out.count(block), 1)
                peer.close()
            for holder in holders:
                holder.close()

    def test_records_in_pieces_are_printed_whole_as_they_complete(self):
        for json_lines in (False, True):
            with self.subTest(json=json_lines), \
                    start_cardbox(arguments=["-c", "16"] + ["--json"] * json_lines) as server:
                peers = [connect("127.0.0.1", source=f"127.0.0.{n + 2}") for n in range(10)]
                for number, peer in enumerate(peers):
                    peer.sendall(whole(number)[:31])
                    wait_until_read_by_server(peer)
                for number, peer in reversed(list(enumerate(peers))):
                    peer.sendall(whole(number)[31:])
                    self.assertEqual(verdict(peer), "closed")
                    peer.close()
                # Cliente-0 completes last.
                out = server.wait_out_ending(b'"edad": 0}\n' if json_lines
                                             else shown(b"Cliente-0\n", b"Perez\n", 0))
                if json_lines:
                    lines = [json.loads(line) for line in out.splitlines()]
                    self.assertEqual([line["nombre"] for line in lines],
                                     [f"Cliente-{n}\n" for n in reversed(range(10))])
                    self.assertEqual({line["bytes"] for line in lines}, {62})
                else:
                    self.assertEqual(out.count(b"Se recibieron 62 bytes"), 10)
                    for number, peer in enumerate(peers):
                        self.assertEqual(out.count(shown(b"Cliente-%d\n" % number, b"Perez\n", number)), 1)
                    positions = [out.index(b"Cliente-%d\n" % n) for n in reversed(range(10))]
                    self.assertEqual(positions, sorted(positions))

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_sync_comes_between_the_write_and_the_close(self):
        with disk_folder() as scratch:
            trace, records = os.path.join(scratch, "trace"), os.path.join(scratch, "records")
            for arguments in (["--sync"], ["--sync", "-c", "4"]):
                with self.subTest(arguments=arguments):
                    wrapper = ["sh", "-c", f'exec "$@" > {records}', "sync",
                               *under_strace("-f", "-o", trace, "-e", "trace=write,fdatasync,shutdown")]
                    with Running([*wrapper, program("cardbox"), *arguments]):
                        wait_until_listening()
                        with connect() as peer:
                            peer.sendall(whole(1))
                            self.assertEqual(verdict(peer), "closed")
                    with open(trace) as calls:
                        names = re.findall(r"(write|fdatasync|shutdown)\(", calls.read())
                    with open(records, "rb") as out:
                        self.assertTrue(out.read().endswith(shown(b"Cliente-1\n", b"Perez\n", 1)))
                    # The start line, the check that the file can be synced, then the record.
                    self.assertEqual(names[-3:], ["write", "fdatasync", "shutdown"])

    def test_sync_needs_a_file(self):
        self.assertEqual(run("cardbox", arguments=["--sync"]),
                         (64, b"", b"cardbox: --sync: standard output cannot be synced "
                                   b"(Invalid argument); send it to a file\n"))


def still_open(peer):
    """True while the server has neither closed nor reset the peer's connection."""
    peer.setblocking(False)
    try:
        peer.recv(1)
        return False
    except BlockingIOError:
        return True
    except ConnectionResetError:
        return False
    finally:
        peer.setblocking(True)


def own_network_namespace():
    return os.environ.get("OWN_NETWORK_NAMESPACE") == "1"


class Crowds(unittest.TestCase):
    def test_no_crowd_holds_a_good_client(self):
        # The service's defaults, scaled down: 8 slots, 4 for a source, and room is
        # made after 1 s. A client with a whole record waiting is never reset for it.
        cases = [
            # (what, the crowd: (host, source address, silent connections), resets expected)
            ("one address, three times its share", [("127.0.0.1", "127.0.0.2", 12)], "the last 4"),
            ("two addresses fill every slot", [("127.0.0.1", "127.0.0.2", 8), ("127.0.0.1", "127.0.0.3", 8)],
             "the oldest"),
            ("one host over IPv6 and IPv4", [("::1", None, 8), ("127.0.0.1", None, 8)], "the oldest"),
        ]
        for what, sources, resets in cases:
            # Each address a source of its own, at one level.
            with self.subTest(what), start_cardbox(arguments=["-c", "8", "-a", "4", "--busy-timeout", "1", "-t", "300",
                                                              "--source-prefix", "32:64"]) as server:
                crowd = []  # a connection, or None for one reset as it was made
                for host, source, count in sources:
                    for _ in range(count):
                        try:
                            peer = connect(host, source=source)
                            wait_until(lambda: not still_open(peer) or server_has(peer), "the server to take it")
                        except ConnectionResetError:
                            peer = None
                        crowd.append(peer)
                patient = connect("127.0.0.1", source="127.0.0.8")
                patient.sendall(whole(8))
                self.assertEqual(sent_and_verdict(whole(9), source="127.0.0.9"), "closed")
                self.assertEqual(verdict(patient), "closed")
                out = server.wait_out_ending(shown(b"Cliente-9\n", b"Perez\n", 9))
                self.assertEqual(out.count(shown(b"Cliente-8\n", b"Perez\n", 8)), 1)
                reset = [peer is None or not still_open(peer) for peer in crowd]
                if resets == "the last 4":
                    self.assertEqual(reset, [False] * 8 + [True] * 4)
                else:
                    # Room was made from those that held a slot longest, not from all.
                    self.assertTrue(reset[0] and not all(reset), reset)
                for peer in crowd + [patient]:
                    if peer:
                        peer.close()

    @unittest.skipUnless(own_network_namespace(), "needs root in a network namespace of its own")
    def test_sources_count_by_prefix(self):
        for address in ("fd00:1::1", "fd00:1::2", "fd00:1::3", "fd00:2::1"):
            subprocess.run(["ip", "-6", "address", "add", address + "/64", "dev", "lo", "nodad"],
                           check=True, timeout=TIMEOUT)
        for prefixes, third_waits in (([], True), (["--source-prefix", "32:128"], False)):
            with self.subTest(prefixes=prefixes), start_cardbox(arguments=["-c", "4", "-a", "2", *prefixes]) as server:
                holders = [connect("::1", source=source) for source in ("fd00:1::1", "fd00:1::2")]
                third = connect("::1", source="fd00:1::3")
                third.sendall(whole(3))
                # Another /64 is served at once.
                with connect("::1", source="fd00:2::1") as other:
                    other.sendall(whole(4))
                    self.assertEqual(verdict(other), "closed")
                # Served at once, its record would have come out before the other's.
                out = server.wait_out_ending(shown(b"Cliente-4\n", b"Perez\n", 4))
                self.assertEqual(b"Cliente-3" in out, not third_waits)
                holders[0].close()
                self.assertEqual(verdict(third), "closed")
                for peer in holders[1:] + [third]:
                    peer.close()


CROWD_HONEST = 100
CROWD_EVERY = 0.2  # seconds between two honest clients


@unittest.skipUnless(own_network_namespace(), "needs root in a network namespace of its own")
class CrowdAtTheDoor(unittest.TestCase):
    """The service's settings against 8,192 connections from 64 /64s of one /48 and
    8,192 from 64 IPv4 addresses, each silent (or a TLS hello cut short) and connecting
    again at once when ended, while honest clients come one by one from addresses of
    their own: they are served, the records file holds records, and standard error
    says little."""

    @classmethod
    def setUpClass(cls):
        for n in range(64):
            add_address(f"fd00:ab:cd:{n:x}::1/64")
        for n in range(CROWD_HONEST):
            add_address(f"fd00:3:{n:x}::1/64")
        cls.folder = tempfile.TemporaryDirectory()
        make_certificates(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_a_crowd_leaves_the_door_open(self):
        tls = ["--tls-cert", os.path.join(self.folder.name, "server.pem"),
               "--tls-key", os.path.join(self.folder.name, "server.key")]
        for what, extra, crowd_options in (("silent", [], []), ("cut TLS hellos", tls, ["--tls-hello"])):
            with self.subTest(what), tempfile.TemporaryDirectory() as scratch:
                path = os.path.join(scratch, "records.jsonl")
                sources = [f"fd00:ab:cd:{n:x}::1:128" for n in range(64)] + [f"127.1.{n}.1:128" for n in range(64)]
                with start_cardbox(arguments=["-c", "1024", "-a", "64", "-t", "300", "--json", "-o", path, *extra]) as server, \
                        Running([program("crowd"), *crowd_options, *sources], stdin=subprocess.PIPE) as crowd:
                    time.sleep(2)  # the crowd takes what it can
                    started = time.monotonic()
                    results = run_honest_clients(bool(extra), self.folder.name)
                    seconds = time.monotonic() - started
                    crowd.process.stdin.close()
                    made = int(crowd.wait_out(1).split()[0] or 0) if crowd.wait_exit() == 0 else 0
                    grown = os.path.getsize(path)
                    said = server.err.count(b"\n")
                taken = sorted(latency for latency in results if latency is not None)
                p50, p99 = (taken[int(len(taken) * q) - 1] if taken else float("inf") for q in (0.5, 0.99))
                print(f"\ncrowd: {what}: {len(taken)}/{CROWD_HONEST} honest clients taken, p50 {p50:.2f} s, "
                      f"p99 {p99:.2f} s; {made} crowd connections; records file {grown} bytes; "
                      f"{said} lines on standard error in {seconds:.0f} s")
                self.assertGreaterEqual(len(taken), CROWD_HONEST * 99 // 100)
                self.assertLess(grown, 64 * 1024)
                self.assertLess(said, 5 * (seconds + 3))


def add_address(address):
    subprocess.run(["ip", "address", "add", address, "dev", "lo", "nodad"], check=True, timeout=TIMEOUT)


def run_honest_clients(tls, certificates):
    """Honest clients, one every CROWD_EVERY seconds, each from an address of its own,
    IPv6 and IPv4 in turn; returns each one's time from connect to its record taken,
    or None."""
    results = [None] * CROWD_HONEST

    def honest(n):
        host, source = ("::1", f"fd00:3:{n:x}::1") if n % 2 else ("127.0.0.1", f"127.2.{n}.1")
        started = time.monotonic()
        try:
            peer = connect(host, source=source)
            if tls:
                with TlsPeer(certificates, connected=peer) as secured:
                    secured.sendall(whole(n))
                    ended = secured.verdict()
            else:
                with peer:
                    peer.sendall(whole(n))
                    ended = "taken" if verdict(peer) == "closed" else "not taken"
        except (OSError, ssl.SSLError):
            ended = "not taken"
        if ended == "taken":
            results[n] = time.monotonic() - started

    threads = []
    for n in range(CROWD_HONEST):
        threads.append(threading.Thread(target=honest, args=(n,), daemon=True))
        threads[-1].start()
        time.sleep(CROWD_EVERY)
    for thread in threads:
        thread.join(TIMEOUT)
    return results


def server_has(peer):
    """True once the server has accepted the peer's connection."""
    port = peer.getsockname()[1]
    return any(remote == port and state == TCP_ESTABLISHED for local, remote, state, _ in tcp_connections())


if __name__ == "__main__":
    unittest.main()
