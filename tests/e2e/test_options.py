"""The command line: help, version and usage errors of each program; the clients
reaching another host by name, over a veth pair to a second network namespace, and
over IPv4 alone; cardbox's JSON lines and its time-out."""

import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (TIMEOUT, connect, peer_line, record, run, shown, start_cardbox, summary,
                     under_strace, verdict, wait_until, with_hosts)

VERSION = os.environ.get("PROJECT_VERSION", "")
USAGE = {"cardbox": b"usage: cardbox [-b ADDRESS] [-p PORT] [-o FILE] [-t SECONDS] [-c N [-a N]] [--sync] [--json]\n"
                    b"               [-n N] [--summary] [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n",
         "cardpost": b"usage: cardpost [-4 | -6] [-c] [-w SECONDS] [-q] [--tls [--tls-ca FILE] [--tls-name NAME]\n"
                     b"                [--tls-cert FILE --tls-key FILE]] [HOST [PORT]]\n"
                     b"       cardpost --batch FILE [--format csv|json] [--parallel N] [--retry N] [--resend FILE]\n"
                     b"                [-w SECONDS] [-4 | -6] [--tls ...] [HOST [PORT]]\n",
         "linebounce": b"usage: linebounce [-4 | -6] [--tls [--tls-ca FILE] [--tls-name NAME]\n"
                       b"                  [--tls-cert FILE --tls-key FILE]] [HOST [PORT]]\n"}


def own_network_namespace():
    """True when the tests run in a network namespace of their own, which they may
    then change."""
    return os.environ.get("OWN_NETWORK_NAMESPACE") == "1"


class CommandLine(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        cases = [
            # (program, arguments, what standard error says before the usage line)
            ("cardbox", ["-x"], b"cardbox: invalid option -- 'x'\n"),
            ("cardbox", ["--jsn"], b"cardbox: unrecognized option '--jsn'\n"),
            ("cardbox", ["--json=yes"], b"cardbox: option '--json' doesn't allow an argument\n"),
            ("cardbox", ["-p"], b"cardbox: option requires an argument -- 'p'\n"),
            ("cardbox", ["-p", "70000"], b"cardbox: invalid port '70000'\n"),
            ("cardbox", ["--port=no-such-service"], b"cardbox: invalid port 'no-such-service'\n"),
            ("cardbox", ["-t", "0"], b"cardbox: invalid time-out in seconds '0'\n"),
            ("cardbox", ["--idle-timeout", "1.5"], b"cardbox: invalid time-out in seconds '1.5'\n"),
            ("cardbox", ["extra"], b"cardbox: unexpected argument 'extra'\n"),
            ("cardbox", ["-c", "16385"], b"cardbox: invalid number of connections '16385'\n"),
            ("cardbox", ["-c", "4", "-a", "8"], b"cardbox: --per-address 8 is more than --connections 4\n"),
            ("cardbox", ["-a", "8"], b"cardbox: --per-address needs --connections above 1\n"),
            ("cardbox", ["--busy-timeout", "0"], b"cardbox: invalid busy time-out in seconds '0'\n"),
            ("cardbox", ["--source-prefix", "33:64"],
             b"cardbox: invalid prefix lengths (IPV4 0 to 32, IPV6 0 to 128, at most 3 each, finest first) '33:64'\n"),
            ("cardbox", ["--source-prefix", "24,32:64"],
             b"cardbox: invalid prefix lengths (IPV4 0 to 32, IPV6 0 to 128, at most 3 each, finest first) '24,32:64'\n"),
            ("cardbox", ["-o", ""], b"cardbox: invalid output file ''\n"),
            ("cardbox", ["--tls-cert", "cert.pem"], b"cardbox: --tls-cert and --tls-key go together\n"),
            ("cardbox", ["--tls-client-ca", "ca.pem"],
             b"cardbox: --tls-client-ca needs --tls-cert and --tls-key\n"),
            ("cardpost", ["--tls-key", "key.pem"], b"cardpost: --tls-cert and --tls-key go together\n"),
            # An unset variable in a script must not switch the name check off.
            ("cardpost", ["--tls-name", ""], b"cardpost: invalid TLS name ''\n"),
            ("linebounce", ["--tls-name="], b"linebounce: invalid TLS name ''\n"),
            ("linebounce", ["--tls-cert", "cert.pem"], b"linebounce: --tls-cert and --tls-key go together\n"),
            ("cardpost", ["-5"], b"cardpost: invalid option -- '5'\n"),
            ("cardpost", ["::1", "0"], b"cardpost: invalid port '0'\n"),
            ("cardpost", ["::1", "8000", "extra"], b"cardpost: unexpected argument 'extra'\n"),
            ("cardpost", ["--wait", "0"], b"cardpost: invalid wait in seconds '0'\n"),
            ("cardpost", ["--batch", "-", "--format", "xml"], b"cardpost: invalid format (csv or json) 'xml'\n"),
            ("cardpost", ["--batch", "-", "--parallel", "0"], b"cardpost: invalid number of records at once '0'\n"),
            ("cardpost", ["--batch", "-", "--retry", "101"], b"cardpost: invalid number of retries '101'\n"),
            ("cardpost", ["--retry", "3"], b"cardpost: --retry needs --batch\n"),
            ("cardbox", ["-n", "0"], b"cardbox: invalid number of records '0'\n"),
            ("linebounce", ["--ipv5"], b"linebounce: unrecognized option '--ipv5'\n"),
            ("linebounce", ["::1", "99999"], b"linebounce: invalid port '99999'\n"),
        ]
        with tempfile.TemporaryDirectory() as scratch:
            trace = os.path.join(scratch, "trace")
            # Nothing is bound or connected before a usage error.
            sockets = under_strace("-f", "-e", "trace=socket,bind,connect", "-o", trace)
            for name, arguments, problem in cases:
                with self.subTest(name=name, arguments=arguments):
                    self.assertEqual(run(name, wrapper=sockets, arguments=arguments),
                                     (64, b"", problem + USAGE[name]))
                    with open(trace) as calls:
                        self.assertNotIn("AF_INET", calls.read())
        # The stand-in echo service takes a port, and helps rather than starts on -h.
        echo_usage = (b"usage: echo_service [--tls-cert FILE --tls-key FILE] [PORT]\n"
                      b"Sends back every byte received on ::1, TCP port PORT (default 9000);\n"
                      b"over TLS with the certificate and key given (PEM).\n")
        self.assertEqual(run("echo_service", arguments=["-h"]), (0, echo_usage, b""))
        self.assertEqual(run("echo_service", arguments=["70000"]), (64, b"", echo_usage))
        for name in USAGE:
            for arguments in (["-h"], ["--help"], ["-V"], ["--version"]):
                with self.subTest(name=name, arguments=arguments):
                    status, out, err = run(name, arguments=arguments)
                    self.assertEqual((status, err), (0, b""))
                    if "h" in arguments[0]:
                        self.assertTrue(out.startswith(USAGE[name]) and b"--version" in out, out)
                    else:
                        self.assertEqual(out, f"{name} {VERSION}\n".encode())


@unittest.skipUnless(own_network_namespace(), "needs root in a network namespace of its own")
class OtherHosts(unittest.TestCase):
    def test_cardpost_reaches_cardbox_on_a_second_host_by_name(self):
        # A second host: a network namespace joined to this one by a veth pair, with
        # addresses that exist only inside the two.
        holder = subprocess.Popen(["unshare", "--net", "sleep", str(4 * TIMEOUT)])
        try:
            wait_until(lambda: os.stat(f"/proc/{holder.pid}/ns/net").st_ino
                       != os.stat("/proc/self/ns/net").st_ino, "the second host")
            there = ["nsenter", "-t", str(holder.pid), "-n"]
            for command in (["ip", "link", "add", "here", "type", "veth", "peer", "name", "there",
                             "netns", str(holder.pid)],
                            ["ip", "address", "add", "fd00:c0de::1/64", "dev", "here", "nodad"],
                            ["ip", "link", "set", "here", "up"],
                            there + ["ip", "address", "add", "fd00:c0de::2/64", "dev", "there", "nodad"],
                            there + ["ip", "link", "set", "there", "up"]):
                subprocess.run(command, check=True, timeout=TIMEOUT)
            with start_cardbox(arguments=["-b", "fd00:c0de::1", "-p", "8080"], port=8080) as server:
                with self.assertRaises(ConnectionRefusedError):
                    connect("::1", 8080).close()  # bound to the one address only
                result = run("cardpost", b"Ana\nPerez\n25\n", arguments=["recordhost", "8080"],
                             wrapper=there + with_hosts("fd00:c0de::1 recordhost\n"))
                self.assertEqual(result, (0, summary(b"Ana\n", b"Perez\n", 25), b""))
                printed = server.wait_out_ending(b" Edad:25\n")
            self.assertRegex(printed, rb"\ncliente conectado desde fd00:c0de::2:\d+\n\nSe recibieron 62")
        finally:
            holder.kill()
            holder.wait()

    def test_clients_keep_to_ipv4_with_ipv6_off(self):
        hosts = with_hosts("127.0.0.1 recordhost\n::1 recordhost\n")
        setting = "/proc/sys/net/ipv6/conf/all/disable_ipv6"
        if not os.access(setting, os.W_OK):
            self.skipTest("the system's settings are read-only here (a container)")
        with start_cardbox() as server:
            try:
                with open(setting, "w") as off:
                    off.write("1")
                self.assertEqual(run("cardpost", b"Ana\nPerez\n25\n", wrapper=hosts,
                                     arguments=["-4", "recordhost"]),
                                 (0, summary(b"Ana\n", b"Perez\n", 25), b""))
                printed = server.wait_out_ending(b" Edad:25\n")
                status, _, err = run("cardpost", b"", wrapper=hosts, arguments=["-6", "recordhost"])
            finally:
                with open(setting, "w") as on:
                    on.write("0")
        self.assertRegex(printed, rb"cliente conectado desde ::ffff:127\.0\.0\.1:\d+\n")
        self.assertEqual((status, err), (2, b"cliente: connect: Cannot assign requested address\n"
                                            b"client: error al conectar con el servidor\n"))


class ServerOptions(unittest.TestCase):
    def test_json_lines_carry_every_byte(self):
        odd = b"Jos\xe9 \"Pepito\" \\ \x1b[2J\xc2\x85\n"  # not UTF-8, quotes, controls
        with start_cardbox(arguments=["--json"]) as server:
            with connect() as peer:
                peer.sendall(record(odd, b"Ib\xe1\xf1ez\n", 25))
                self.assertEqual(peer.recv(1), b"")
                port = peer.getsockname()[1]
            # A connection that brings nothing has no line, nor a report: it is counted.
            with connect() as empty:
                empty.shutdown(socket.SHUT_WR)
                self.assertEqual(verdict(empty), "closed")
            with connect() as short:
                short.sendall(record(b"Ana\n", b"Perez\n", 25)[:30])
                short.shutdown(socket.SHUT_WR)
                lines = server.wait_out_ending(b'"Incomplete record"}\n').splitlines()
        self.assertEqual(server.err.count(b"\n"), 1)  # the start line
        first, third = (json.loads(line) for line in lines)
        self.assertRegex(first.pop("time"), r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertEqual(base64.b64decode(first.pop("nombre_base64")), odd)
        self.assertEqual(base64.b64decode(first.pop("apellido_base64")), b"Ib\xe1\xf1ez\n")
        self.assertEqual(first, {"peer": "::1", "port": port, "bytes": 62, "edad": 25,
                                 "nombre": "Jos\ufffd \"Pepito\" \\ \x1b[2J\x85\n",
                                 "apellido": "Ib\ufffd\ufffdez\n"})
        self.assertEqual({key: third[key] for key in ("bytes", "nombre", "apellido", "edad", "error")},
                         {"bytes": 30, "nombre": "Ana\n", "apellido": "", "edad": 0,
                          "error": "Incomplete record"})
        if shutil.which("jq"):
            parsed = subprocess.run(["jq", "-c", ".bytes"], input=b"\n".join(lines),
                                    capture_output=True, timeout=TIMEOUT)
            self.assertEqual((parsed.returncode, parsed.stdout), (0, b"62\n30\n"))

    def test_record_not_whole_in_time_is_given_up_with_a_reset(self):
        whole = record(b"Ana\n", b"Perez\n", 25)
        cases = [
            # (what, the pieces the client sends, a pause after each)
            ("a silent client", [], 0),
            ("half a record", [whole[:30]], 0),
            # 62 pauses of 0.1 s: the time-out counts from the accept, not per read.
            ("a record that trickles in", [whole[i:i + 1] for i in range(62)], 0.1),
        ]
        # Given up on, counted on standard error, at most once a second.
        timed_out = b"cardbox: 1 client given up on: no whole record within the time-out\n"
        with start_cardbox(arguments=["--timeout", "1"]) as server:
            for what, pieces, pause in cases:
                with self.subTest(what), connect() as peer:
                    err_before = len(server.err)
                    sent = 0
                    try:
                        for piece in pieces:
                            peer.sendall(piece)
                            sent += 1
                            time.sleep(pause)
                        ended = verdict(peer)
                    except ConnectionResetError:
                        ended = "reset"
                    self.assertEqual(ended, "reset")
                    self.assertLess(sent, 62)
                    self.assertEqual(server.wait_err(err_before + len(timed_out))[err_before:], timed_out)
            # The next client is served as usual.
            with connect() as peer:
                peer.sendall(whole)
                self.assertEqual(verdict(peer), "closed")
                expected = peer_line(peer) + shown(b"Ana\n", b"Perez\n", 25)
                self.assertTrue(server.wait_out_ending(expected).endswith(expected))


if __name__ == "__main__":
    unittest.main()
