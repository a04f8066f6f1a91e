"""TLS, with peers that no one here wrote: openssl s_client as cardbox's client, openssl
s_server as the server cardpost talks to, socat's OPENSSL-LISTEN with EXEC:cat as the
echo service, and Python's ssl module wherever the verdict must be told precisely
(close_notify against a reset). Certificates are made here, with openssl."""

import collections
import contextlib
import hashlib
import json
import os
import random
import select
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (ECHO_PORT, INVITATION, RECORD_PORT, TIMEOUT, Running, connect, disk_folder, exchange,
                     json_names, listen, program, record, run, shown, start_cardbox, stop_during, summary,
                     under_strace, verdict, wait_until, wait_until_listening)

ANA = record(b"Ana\n", b"Perez\n", 25)
# A client's subject of 700 characters as RFC 4514 writes it: eleven units of 60.
LONG_UNITS = [f"Unidad-{n:02d}-" + "x" * 48 for n in range(11)]
LONG_SUBJECT = "/O=Escuela/" + "/".join(f"OU={unit}" for unit in LONG_UNITS) + "/CN=alumn"
LONG_RFC4514 = "CN=alumn," + ",".join(f"OU={unit}" for unit in reversed(LONG_UNITS)) + ",O=Escuela"
ANSWERS = b"Ana\nPerez\n25\n"


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True, timeout=TIMEOUT)


def make_certificates(folder):
    """A CA, and from it: a server certificate for localhost, ::1 and 127.0.0.1, another
    for the same names with another key, one expired, and a client's; and a server
    certificate from a CA that nobody trusts."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *ec, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "30",
                "-subj", f"/O=Escuela/CN={ca}", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as extensions:
        extensions.write("subjectAltName=DNS:localhost,IP:::1,IP:127.0.0.1\n")
    with open(os.path.join(folder, "wildcard.ext"), "w") as extensions:
        extensions.write("subjectAltName=DNS:*.example.test,DNS:w*.partial.test,IP:::1\n")
    with open(os.path.join(folder, "client.ext"), "w") as extensions:
        extensions.write("extendedKeyUsage=clientAuth\n")
    # openssl ca, for the dates of a certificate long expired.
    with open(os.path.join(folder, "ca.cnf"), "w") as config:
        config.write("[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\n"
                     "serial = serial\ndefault_md = sha256\npolicy = anything\nunique_subject = no\n"
                     "[anything]\ncommonName = supplied\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as serial:
        serial.write("01\n")
    for name, ca, subject, extensions in (
            ("server", "ca", "/CN=localhost", "server.ext"),
            ("renewed", "ca", "/CN=localhost", "server.ext"),
            ("expired", "ca", "/CN=localhost", "server.ext"),
            ("stranger", "other-ca", "/CN=localhost", "server.ext"),
            ("student", "ca", "/O=Escuela/OU=Redes/CN=student-07", "client.ext"),
            ("long", "ca", LONG_SUBJECT, "client.ext"),
            ("wildcard", "ca", "/CN=wildcard", "wildcard.ext"),
            ("outsider", "other-ca", "/O=Otra/CN=student-99", "client.ext"),
            ("lapsed", "ca", "/O=Escuela/CN=student-00", "client.ext")):
        openssl("req", *ec, "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", subject, cwd=folder)
        if name in ("expired", "lapsed"):
            openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key", "-in",
                    f"{name}.csr", "-out", f"{name}.pem", "-extfile", extensions, "-startdate", "20200101000000Z",
                    "-enddate", "20200201000000Z", cwd=folder)
        else:
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                    "-CAcreateserial", "-out", f"{name}.pem", "-extfile", extensions, "-days", "30", cwd=folder)


class TlsPeer:
    """A Python TLS client of cardbox that tells the verdict precisely: it reads the TCP
    connection itself (a reset raises there) and feeds TLS from it (where close_notify,
    or an end without one, shows)."""

    def __init__(self, certificates, host="::1", client=None, connected=None):
        context = ssl.create_default_context(cafile=os.path.join(certificates, "ca.pem"))
        if client:
            context.load_cert_chain(os.path.join(certificates, f"{client}.pem"),
                                    os.path.join(certificates, f"{client}.key"))
        self.socket = connected or connect(host)
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname="localhost")
        try:
            self.run(self.tls.do_handshake)
        except BaseException:
            self.socket.close()
            raise

    def run(self, operation, *arguments):
        while True:
            try:
                result = operation(*arguments)
                self.socket.sendall(self.outgoing.read())
                return result
            except ssl.SSLWantReadError:
                self.socket.sendall(self.outgoing.read())
                received = self.socket.recv(65536)
                if received:
                    self.incoming.write(received)
                else:
                    self.incoming.write_eof()

    def sendall(self, data):
        self.run(self.tls.write, data)

    def verdict(self):
        """ "taken" for the server's close_notify, "refused" for bytes inside TLS (the
        server's refusal), "reset" for a reset, "no close_notify" for an end without
        one."""
        try:
            if self.run(self.tls.read, 4096):
                return "refused"
            return "taken"  # read gives nothing at close_notify
        except ConnectionResetError:
            return "reset"
        except ssl.SSLEOFError:
            return "no close_notify"

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.socket.close()


class WithCertificates(unittest.TestCase):
    """Tests that share one set of certificates, made once."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.certificates = cls.folder.name
        make_certificates(cls.certificates)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()


@unittest.skipUnless(shutil.which("openssl") and shutil.which("socat"), "needs openssl and socat")
class Tls(WithCertificates):
    def path(self, name):
        return os.path.join(self.certificates, name)

    def tls_arguments(self, name="server", client_ca=False):
        return (["--tls-cert", self.path(f"{name}.pem"), "--tls-key", self.path(f"{name}.key")]
                + (["--tls-client-ca", self.path("ca.pem")] if client_ca else []))

    def test_openssl_s_client_sends_a_record(self):
        for arguments in ([], ["-c", "4"]):
            with self.subTest(arguments=arguments), \
                    start_cardbox(arguments=[*self.tls_arguments(), *arguments]) as server:
                result = subprocess.run(["openssl", "s_client", "-connect", f"[::1]:{RECORD_PORT}", "-quiet",
                                         "-CAfile", self.path("ca.pem"), "-verify_return_error",
                                         "-verify_hostname", "localhost"],
                                        input=ANA, capture_output=True, timeout=TIMEOUT)
                self.assertEqual(result.returncode, 0, result.stderr)
                out = server.wait_out_ending(shown(b"Ana\n", b"Perez\n", 25))
                self.assertRegex(out, rb"cliente conectado desde ::1:\d+\n" + shown(b"Ana\n", b"Perez\n", 25) + b"$")

    def test_the_verdict_is_close_notify_or_a_reset(self):
        for arguments in ([], ["-c", "4"]):
            with self.subTest(arguments=arguments), \
                    start_cardbox(arguments=[*self.tls_arguments(), "-t", "1", *arguments]) as server:
                with TlsPeer(self.certificates) as peer:
                    peer.sendall(ANA)
                    self.assertEqual(peer.verdict(), "taken")
                # Half a record, then nothing: given up on, refused inside TLS.
                with TlsPeer(self.certificates) as peer:
                    peer.sendall(ANA[:30])
                    self.assertEqual(peer.verdict(), "refused")
                # Clients that go away after the handshake, while the server still
                # writes to them, end nothing but themselves.
                for _ in range(5):
                    TlsPeer(self.certificates).socket.close()
                with TlsPeer(self.certificates) as peer:
                    peer.sendall(ANA)
                    self.assertEqual(peer.verdict(), "taken")
                # A plain client gets a reset, and prints no record.
                with connect() as plain:
                    plain.sendall(ANA)
                    with self.assertRaises(ConnectionResetError):
                        plain.recv(100)
                wait_until(lambda: server.out.count(b"Se recibieron 62 bytes") >= 2, "the two records")
                self.assertEqual(server.out.count(b"Se recibieron 62 bytes"), 2)
                wait_until(lambda: b"TLS handshake failed: " in server.err, "the handshake's report")
                self.assertRegex(server.err, rb"cardbox: ::1:\d+: TLS handshake failed: [a-z ]+\n")

    def test_clients_refuse_a_server_they_cannot_trust(self):
        # openssl s_server as the server: nothing at all reaches it.
        cases = [
            # (what, server certificate, cardpost's TLS options, the reason)
            ("another name", "server", ["--tls-name", "otro.example"], b"hostname mismatch"),
            ("an unknown CA", "stranger", [], b"unable to get local issuer certificate"),
            ("an expired certificate", "expired", [], b"certificate has expired"),
            # A wildcard stands for one whole label, and an address is checked as one.
            ("a wildcard for two labels", "wildcard", ["--tls-name", "a.b.example.test"], b"hostname mismatch"),
            ("a wildcard for no label", "wildcard", ["--tls-name", "example.test"], b"hostname mismatch"),
            ("a wildcard inside a label", "wildcard", ["--tls-name", "www.partial.test"], b"hostname mismatch"),
            ("another address", "wildcard", ["--tls-name", "127.0.0.1"], b"IP address mismatch"),
        ]
        for what, certificate, options, reason in cases:
            with self.subTest(what):
                server = Running(["openssl", "s_server", "-accept", f"[::1]:{RECORD_PORT}", "-quiet",
                                  "-cert", self.path(f"{certificate}.pem"), "-key", self.path(f"{certificate}.key")],
                                 stdin=subprocess.PIPE)
                with server:
                    wait_until_listening()
                    result = run("cardpost", ANSWERS, arguments=["--tls-ca", self.path("ca.pem"), *options])
                    time.sleep(0.2)
                    self.assertEqual(result, (1, b"", b"cliente: TLS: the server's certificate is not trusted: "
                                                       + reason + b"\n"))
                    self.assertEqual(server.out, b"")

    def test_clients_say_why_before_the_prompts(self):
        # What goes wrong with a client certificate, or with a server that never
        # speaks, is said before a single prompt, and nothing is sent.
        s_server = ["openssl", "s_server", "-accept", f"[::1]:{RECORD_PORT}", "-quiet", "-cert", self.path("server.pem"),
                    "-key", self.path("server.key"), "-Verify", "1", "-CAfile", self.path("ca.pem")]
        cardbox = [program("cardbox"), *self.tls_arguments(client_ca=True)]
        asks = b"cliente: TLS: the server asks for a client certificate (--tls-cert, --tls-key)\n"
        cases = [
            # (what, the server, cardpost's options, its status, what it says)
            ("no certificate for openssl", s_server, [], 1, asks),
            ("no certificate for cardbox", cardbox, [], 1, asks),
            ("one from another CA", cardbox, self.client_arguments("outsider"), 1,
             b"cliente: TLS: the server refused the client certificate: tlsv1 alert unknown ca\n"),
            ("one expired", cardbox, self.client_arguments("lapsed"), 1,
             b"cliente: TLS: the server refused the client certificate: sslv3 alert certificate expired\n"),
            ("a server that never speaks", ["python3", "-c", "import socket, time; s = socket.create_server(('::1', "
                                            f"{RECORD_PORT}), family=socket.AF_INET6); c = s.accept(); time.sleep(30)"],
             ["-w", "1"], 2, b"cliente: TLS: no handshake in time\n"),
        ]
        for what, command, options, status, err in cases:
            with self.subTest(what), Running(command, stdin=subprocess.PIPE) as server:
                wait_until_listening()
                self.assertEqual(run("cardpost", ANSWERS, arguments=["--tls-ca", self.path("ca.pem"), *options]),
                                 (status, b"", err))
                self.assertEqual(server.out, b"" if command is not cardbox else server.out)
                self.assertNotIn(b"Se recibieron", server.out)

    def client_arguments(self, name):
        return ["--tls-cert", self.path(f"{name}.pem"), "--tls-key", self.path(f"{name}.key")]

    def test_cardpost_sends_to_openssl_s_server(self):
        server = Running(["openssl", "s_server", "-accept", f"[::1]:{RECORD_PORT}", "-quiet",
                          "-cert", self.path("server.pem"), "-key", self.path("server.key")], stdin=subprocess.PIPE)
        with server:
            wait_until_listening()
            # It takes the record but says no verdict: no close_notify comes.
            self.assertEqual(run("cardpost", ANSWERS, arguments=["--tls-ca", self.path("ca.pem"), "--wait", "1"]),
                             (3, summary(b"Ana\n", b"Perez\n", 25),
                              b"cliente: no verdict within 1 s: the record may have been taken\n"))
            self.assertEqual(server.wait_out(62), ANA)

    def test_linebounce_talks_to_socat(self):
        echo = Running(["socat", f"OPENSSL-LISTEN:{ECHO_PORT},pf=ip6,reuseaddr,verify=0,"
                                 f"cert={self.path('server.pem')},key={self.path('server.key')}", "EXEC:cat"])
        with echo:
            wait_until_listening(ECHO_PORT)
            result = run("linebounce", b"hola\nSALIR\n", arguments=["--tls-ca", self.path("ca.pem"), "localhost"])
        self.assertEqual(result, (0, INVITATION + exchange(5, b"hola\n", b"hola\n") + b"Escribio SALIR\n", b""))

    def test_only_those_who_may_send(self):
        with start_cardbox(arguments=[*self.tls_arguments(client_ca=True), "--json"]) as server:
            with TlsPeer(self.certificates, client="student") as peer:
                peer.sendall(ANA)
                self.assertEqual(peer.verdict(), "taken")
            self.assertEqual(run("cardpost", ANSWERS, arguments=["--tls-ca", self.path("ca.pem"), "-c",
                                                                 "--tls-cert", self.path("student.pem"),
                                                                 "--tls-key", self.path("student.key")])[0], 0)
            # Without a certificate: the handshake fails, nothing is printed.
            try:
                with TlsPeer(self.certificates) as peer:
                    peer.sendall(ANA)
                    ended = peer.verdict()
            except (ssl.SSLError, ConnectionResetError):
                ended = "refused"
            self.assertIn(ended, ("reset", "refused"))
            # A subject of 700 characters comes whole.
            with TlsPeer(self.certificates, client="long") as peer:
                peer.sendall(ANA)
                self.assertEqual(peer.verdict(), "taken")
            wait_until(lambda: server.out.count(b"\n") >= 3, "the three records")
            lines = [json.loads(line) for line in server.out.splitlines()]
            wait_until(lambda: b"TLS handshake failed" in server.err, "the report")
        self.assertEqual(len(LONG_RFC4514), 700)
        self.assertEqual([line["peer_subject"] for line in lines], ["CN=student-07,OU=Redes,O=Escuela"] * 2 + [LONG_RFC4514])

    def test_silent_and_garbage_hellos_hold_up_no_one(self):
        with start_cardbox(arguments=[*self.tls_arguments(), "-c", "16", "-t", "2", "--json"]) as server:
            silent = [connect("127.0.0.1", source=f"127.0.0.{n + 2}") for n in range(4)]
            garbage = [connect("127.0.0.1", source=f"127.0.0.{n + 10}") for n in range(4)]
            for peer in garbage:
                peer.sendall(random.Random(7).randbytes(300))
            verdicts = []
            for number in range(8):
                with TlsPeer(self.certificates) as peer:
                    peer.sendall(record(b"Bueno-%d\n" % number, b"Perez\n", number))
                    verdicts.append(peer.verdict())
            self.assertEqual(verdicts, ["taken"] * 8)
            wait_until(lambda: len(server.out.splitlines()) >= 8, "the eight records")
            self.assertEqual(len(server.out.splitlines()), 8)
            for peer in silent + garbage:
                peer.close()

    def test_no_client_holds_up_the_others(self):
        # One at a time, -t bounds the handshake too: a silent client is given up on
        # after 1 s, and the next is served.
        with start_cardbox(arguments=[*self.tls_arguments(), "-t", "1"]), connect() as silent:
            with TlsPeer(self.certificates) as peer:
                peer.sendall(ANA)
                self.assertEqual(peer.verdict(), "taken")
            self.assertEqual(verdict(silent), "reset")
        # Many at once, a connection's age for making room counts from its slot: a
        # client that waited behind silent ones keeps its slot while it takes its time,
        # though clients still wait.
        with start_cardbox(arguments=[*self.tls_arguments(), "-c", "2", "--busy-timeout", "2"]):
            crowd = [connect("127.0.0.1", source=f"127.0.0.{n}") for n in (2, 3)]
            patient = connect("127.0.0.1", source="127.0.0.4")
            # One more waits: a second would be over 127.0.0.0/24's share of waiting
            # ones, reset at once, perhaps before its connect() returned.
            crowd.append(connect("127.0.0.1", source="127.0.0.5"))
            with TlsPeer(self.certificates, connected=patient) as peer:
                time.sleep(1)
                peer.sendall(ANA)
                self.assertEqual(peer.verdict(), "taken")
            for peer in crowd:
                peer.close()

    def test_close_notify_waits_for_room(self):
        # The fifth write is the close_notify: a send buffer found full holds it back
        # until there is room, and it still goes out.
        wrapper = under_strace("-o", "/dev/null", "-e", "inject=write:error=EAGAIN:when=5")
        with start_cardbox(wrapper=wrapper, arguments=[*self.tls_arguments(), "--json", "-o", os.devnull]) as server:
            with TlsPeer(self.certificates) as peer:
                peer.sendall(ANA)
                self.assertEqual(peer.verdict(), "taken")
            self.assertEqual(server.err, b"Servicio iniciado... esperando cliente\n")

    def test_sighup_loads_new_certificate_files(self):
        with tempfile.TemporaryDirectory() as scratch:
            cert, key = os.path.join(scratch, "cert.pem"), os.path.join(scratch, "key.pem")
            shutil.copy(self.path("server.pem"), cert)
            shutil.copy(self.path("server.key"), key)
            with start_cardbox(arguments=["--tls-cert", cert, "--tls-key", key, "-c", "4"]) as server:
                before = TlsPeer(self.certificates)
                shutil.copy(self.path("renewed.pem"), cert)
                shutil.copy(self.path("renewed.key"), key)
                server.process.send_signal(signal.SIGHUP)
                wait_until(lambda: fingerprint(self.certificates) == certificate_fingerprint(self.path("renewed.pem")),
                           "the new certificate")
                # The connection made before is served with the old one.
                before.sendall(ANA)
                self.assertEqual(before.verdict(), "taken")
                before.socket.close()
                # A reload that fails is reported; the certificate it had stays.
                with open(key, "w") as broken:
                    broken.write("not a key\n")
                server.process.send_signal(signal.SIGHUP)
                wait_until(lambda: b"going on with the certificate it had" in server.err, "the report")
                self.assertEqual(fingerprint(self.certificates), certificate_fingerprint(self.path("renewed.pem")))
                self.assertIsNone(server.process.poll())

    def test_sigterm_during_handshakes_keeps_the_promise(self):
        taken, refused, stop = [], [], threading.Event()

        def flood(number):
            for action in range(10_000):
                if stop.is_set():
                    return
                name = b"Tls-%d-%d\n" % (number, action)
                try:
                    with TlsPeer(self.certificates) as peer:
                        peer.sendall(record(name, b"Flujo\n", 7))
                        ended = peer.verdict()
                except OSError:
                    ended = "reset"
                (taken if ended == "taken" else refused).append(name)

        with start_cardbox(arguments=[*self.tls_arguments(), "-c", "64"]) as server:
            status, out = stop_during(server, flood, 6, 1.0, stop)
            self.assertEqual(status, -signal.SIGTERM)
        self.assertGreater(len(taken), 0)
        self.assertEqual([name for name in taken if out.count(b"Nombre: " + name) != 1], [])
        self.assertEqual([name for name in refused if b"Nombre: " + name in out], [])


class ForgingProxy:
    """A machine on the path between the clients (on port 8001) and cardbox (on 8000):
    it passes every byte on, but keeps back the server's last TLS record (its
    close_notify, or its refusal) and ends the client's connection itself, with a FIN
    or a reset, as the server's end comes."""

    def __init__(self, end_with):
        self.listener = listen(RECORD_PORT + 1)
        self.listener.listen(64)
        self.end_with = end_with
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        try:
            while True:
                client, _ = self.listener.accept()
                threading.Thread(target=self.relay, args=(client,), daemon=True).start()
        except OSError:
            return

    def relay(self, client):
        with client, connect() as server:
            forwarding = threading.Thread(target=self.forward, args=(client, server), daemon=True)
            forwarding.start()
            # A record is passed on once no end follows it within a tenth of a second.
            held, pending = b"", b""
            try:
                while True:
                    if held and not select.select([server], [], [], 0.1)[0]:
                        client.sendall(held)
                        held = b""
                        continue
                    chunk = server.recv(65536)
                    if not chunk:
                        break
                    pending += chunk
                    while len(pending) >= 5 and len(pending) >= 5 + int.from_bytes(pending[3:5], "big"):
                        size = 5 + int.from_bytes(pending[3:5], "big")
                        client.sendall(held)
                        held, pending = pending[:size], pending[size:]
            except OSError:
                pass
            if self.end_with == "reset":
                # The close resets once nothing else holds the socket.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                client.shutdown(socket.SHUT_RD)
                forwarding.join(TIMEOUT)
            else:
                client.shutdown(socket.SHUT_WR)
                with contextlib.suppress(OSError):
                    while client.recv(65536):
                        pass

    @staticmethod
    def forward(client, server):
        with contextlib.suppress(OSError):
            while chunk := client.recv(65536):
                server.sendall(chunk)
            server.shutdown(socket.SHUT_WR)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept, and frees the port
        self.listener.close()


class Verdicts(WithCertificates):
    """What a client is told over TLS: close_notify (taken) and a refusal (not taken)
    come signed by the server; an end that no one signed is no verdict, never a guess,
    whoever forged it."""

    def client_tls(self):
        return ["--tls-ca", os.path.join(self.certificates, "ca.pem")]

    def server_tls(self):
        return ["--tls-cert", os.path.join(self.certificates, "server.pem"),
                "--tls-key", os.path.join(self.certificates, "server.key")]

    def test_no_one_on_the_path_forges_a_verdict(self):
        roster = "nombre,apellido,edad\n" + "".join(f"Fila{row},Clase,{row}\n" for row in range(20))
        for end_with in ("FIN", "reset"):
            with self.subTest(end_with=end_with), disk_folder() as folder:
                path = os.path.join(folder, "records.jsonl")
                with start_cardbox(arguments=["-c", "16", "--json", "-o", path, *self.server_tls()]), \
                        ForgingProxy(end_with.lower()):
                    status, _, err = run("cardpost", ANSWERS, arguments=[*self.client_tls(), "-q", "-c", "::1",
                                                                          str(RECORD_PORT + 1)])
                    why = b": Connection reset by peer" if end_with == "reset" else b""
                    self.assertEqual((status, err), (3, b"cliente: no verdict: the connection ended without a verdict "
                                                        b"signed by the server" + why + b"; the record may have been taken\n"))
                    status, out, _ = run("cardpost", roster.encode(), arguments=[
                        "--batch", "-", "--retry", "5", *self.client_tls(), "::1", str(RECORD_PORT + 1)])
                    self.assertEqual(status, 3)
                    self.assertEqual({json.loads(line)["status"] for line in out.splitlines()}, {"no verdict"})
                    wait_until(lambda: os.path.getsize(path) > 0 and len(read_names(path)) == 21, "the 21 records")
                self.assertEqual(sorted(read_names(path)), sorted(["Ana\n"] + [f"Fila{row}\n" for row in range(20)]))

    def test_stops_and_kills_tell_no_lie(self):
        # Rosters against a server stopped by SIGTERM, reloaded by SIGHUP and killed by
        # SIGKILL, started again each time it ends.
        rng = random.Random(int(os.environ.get("SOAK_SEED", "20261208")))
        rows = [f"V{row:04d}" for row in range(600)]
        with disk_folder() as folder:
            path = os.path.join(folder, "records.jsonl")
            arguments = ["-c", "64", "--json", "-o", path, *self.server_tls()]
            server = start_cardbox(arguments=arguments)
            sending = Running([program("cardpost"), "--batch", "-", "--retry", "5", "--parallel", "8", "-w", "5",
                               *self.client_tls(), "::1"], stdin=subprocess.PIPE)
            try:
                sending.process.stdin.write(("nombre,apellido,edad\n" + "".join(f"{row},Clase,1\n" for row in rows)).encode())
                sending.process.stdin.close()
                while sending.process.poll() is None:
                    time.sleep(rng.uniform(0.1, 0.4))
                    stop = rng.choice([signal.SIGTERM, signal.SIGHUP, signal.SIGKILL])
                    server.process.send_signal(stop)
                    if stop != signal.SIGHUP:
                        server.wait_exit()
                        server.stop()
                        server = start_cardbox(arguments=arguments)
                sending.wait_exit()
            finally:
                server.stop()
                sending.stop()
            kept = collections.Counter(read_names(path))
        # The verdict lines name each row as the roster has it; its record, typed, adds a newline.
        told = {json.loads(line)["nombre"] + "\n": json.loads(line)["status"] for line in sending.out.splitlines()}
        self.assertEqual(len(told), len(rows))
        self.assertEqual([row for row, status in told.items() if status == "taken" and kept[row] != 1], [])
        self.assertEqual([row for row, status in told.items() if status in ("not taken", "no connection") and kept[row]], [])
        self.assertEqual([row for row in kept if kept[row] > 1], [])
        print(f"\nverdicts: {len(rows)} rows against a server stopped and killed: "
              f"{collections.Counter(told.values())}, none twice in the output")

    def test_memory_comes_back(self):
        # 1,024 hellos cut short cost no TLS memory; 1,024 idle connections after their
        # handshakes cost their TLS state, given back once they have gone.
        sources = [f"127.5.{n}.1:64" for n in range(16)]
        with start_cardbox(arguments=["-c", "2048", "-a", "2048", "--source-prefix", "0:0", *self.server_tls()]) as server:
            pid = server.process.pid
            rounds = []
            for _ in range(4):
                figures = []
                for manner in ("--tls-hello", "--tls-idle"):
                    before = resident_kib(pid)
                    with Running([program("crowd"), manner, *sources], stdin=subprocess.PIPE) as crowd:
                        crowd.wait_out(2, timeout=60)  # 1,024 handshakes, on a busy machine
                        figures.append((resident_kib(pid) - before) * 1024 // 1024)
                        crowd.process.stdin.close()
                        crowd.wait_exit()
                    wait_until(lambda: len(os.listdir(f"/proc/{pid}/fd")) < 16, "the crowd to go")
                time.sleep(0.5)  # the server gives the memory back as its last pass ends
                rounds.append((*figures, resident_kib(pid)))
        print("\nmemory: bytes a connection (1,024 cut hellos, 1,024 idle after their handshakes), then "
              "KiB resident after: " + "; ".join(f"{hello}, {idle}, {after}" for hello, idle, after in rounds))
        if os.environ.get("SANITIZED") != "1":
            self.assertLess(max(hello for hello, _, _ in rounds), 4096)
            self.assertLess(max(after for _, _, after in rounds[1:]), rounds[0][2] * 1.5)


def read_names(path):
    with open(path, "rb") as records:
        return json_names(records.read())


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def certificate_fingerprint(path):
    with open(path) as pem:
        return hashlib.sha256(ssl.PEM_cert_to_DER_cert(pem.read())).hexdigest()


def fingerprint(certificates):
    """The fingerprint of the certificate that a new connection to cardbox sees."""
    with TlsPeer(certificates) as peer:
        return hashlib.sha256(peer.tls.getpeercert(binary_form=True)).hexdigest()


if __name__ == "__main__":
    unittest.main()
