"""A roster sent with cardpost --batch, answers piped to cardpost --quiet, and a class
ended with cardbox --count and --summary: over real loopback TCP, exact bytes."""

import contextlib
import json
import os
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (RECORD_PORT, TIMEOUT, Flood, Running, broken_promises, connect, disk_folder, json_names, listen,
                     program, record, run, start_cardbox, verdict, wait_until,
                     wait_until_read_by_server)


def send_roster(roster, *arguments, host="::1"):
    """Sends the roster from standard input; returns (status, verdict lines by line
    number, standard error)."""
    status, out, err = run("cardpost", roster, arguments=["--batch", "-", *arguments, host, str(RECORD_PORT)])
    lines = [json.loads(line) for line in out.splitlines()]
    return status, sorted(lines, key=lambda line: line["line"]), err


def taken(line, nombre, apellido):
    return {"line": line, "nombre": nombre, "apellido": apellido, "status": "taken"}


class RecordCatcher:
    """A server written in the test that keeps the exact bytes of each connection's
    record, then ends the connection as told: "close" normally (taken, byte for byte),
    "reset" (not taken), or "hold" it open (no verdict)."""

    def __init__(self, then="close"):
        self.listener = listen(RECORD_PORT)
        self.listener.listen(64)
        self.then = then
        self.records, self.held = [], []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            while True:
                connection, _ = self.listener.accept()
                received = b""
                while len(received) < 62 and (chunk := connection.recv(62 - len(received))):
                    received += chunk
                self.records.append(received)
                if self.then == "hold":
                    self.held.append(connection)
                    continue
                if self.then == "reset":
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()
        except OSError:
            return

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept, and frees the port
        self.listener.close()
        self.thread.join(TIMEOUT)
        for connection in self.held:
            connection.close()


class Roster(unittest.TestCase):
    def test_csv_rows_are_sent_as_typed_answers(self):
        roster = ("\ufeffedad,apellido,nombre\r\n"
                  "20,\"García, López\",Ana\r\n"
                  "\r\n"
                  "21,\"Dice \"\"hola\"\"\",Bea\n"
                  "65535,X," + "n" * 27 + "\n").encode()
        with RecordCatcher() as server:
            status, lines, err = send_roster(roster)
        self.assertEqual((status, err), (0, b"cardpost: 3 records: 3 taken, 0 not taken, 0 no verdict, "
                                           b"0 no connection, 0 refused\ncardpost: 1 blank line skipped\n"))
        self.assertEqual(lines, [taken(2, "Ana", "García, López"), taken(4, "Bea", 'Dice "hola"'),
                                 taken(5, "n" * 27, "X")])
        self.assertEqual(sorted(server.records), sorted([
            record("Ana\n".encode(), "García, López\n".encode(), 20),
            record(b"Bea\n", b'Dice "hola"\n', 21),
            record(b"n" * 27 + b"\n", b"X\n", 65535)]))

    def test_json_lines_of_cardbox_are_sent_again_byte_for_byte(self):
        originals = [record(b"Ana\n", b"P\xe9rez\n", 25),  # not UTF-8: printed in base64
                     record(b"A" * 28 + b"\n", b"tab\there \"q\" \\\n", 65535),
                     record(b"Zo\xc3\xab\n", b"Li\n", 0)]
        with start_cardbox(arguments=["-c", "8", "--json"]) as first:
            for original in originals + [originals[0][:40]]:  # the last arrives cut
                with connect() as peer:
                    peer.sendall(original)
                    peer.shutdown(socket.SHUT_WR)
                    self.assertEqual(verdict(peer), "closed")
            wait_until(lambda: first.out.count(b"\n") == 4, "the four records printed")
        with RecordCatcher() as server:
            status, lines, err = send_roster(first.out)
        self.assertEqual(status, 65)
        self.assertEqual(lines[3], {"line": 4, "nombre": "Ana\n", "apellido": "P\ufffdrez\n", "status": "refused",
                                    "error": "the record did not arrive whole: Incomplete record"})
        self.assertEqual([line["status"] for line in lines[:3]], ["taken"] * 3)
        self.assertEqual(sorted(server.records), sorted(originals))

    def test_rows_that_would_change_are_refused_and_never_sent(self):
        header = "nombre,apellido,edad\n"
        cases = [
            # (what, roster, reason)
            ("an age in words", header + "Ana,Perez,veinte\n",
             'the age is not a whole number from 0 to 65535: "veinte"'),
            ("an age past 65535", header + "Ana,Perez,70000\n",
             'the age is not a whole number from 0 to 65535: "70000"'),
            ("a negative age", header + "Ana,Perez,-1\n", 'the age is not a whole number from 0 to 65535: "-1"'),
            ("an age with a fraction", header + "Ana,Perez,20.5\n",
             'the age is not a whole number from 0 to 65535: "20.5"'),
            ("a surname of 29 bytes", header + "Ana," + "x" * 29 + ",20\n",
             "apellido is 30 bytes with its newline, more than the 29 a record holds"),
            ("a line break in a field", header + 'Ana,"Pe\nrez",20\n',
             "apellido holds a line break, which no typed answer does"),
            ("a field missing", header + "Ana,Perez\n", "a field is missing: edad"),
            ("a field more than the header", header + "Ana,Perez,20,sobra\n", "the row has 4 fields, the header 3"),
            ("an empty given name", header + ",Perez,20\n", "nombre is empty"),
            ("an empty surname", header + 'Ana,"",20\n', "apellido is empty"),
            ("JSON key named twice", '{"nombre": "A\\n", "nombre": "Z\\n", "apellido": "P\\n", "edad": 1}\n',
             "the key nombre is named twice"),
            ("JSON empty given name", '{"nombre": "\\n", "apellido": "P\\n", "edad": 1}\n', "nombre is empty"),
            ("text after a closing quote", header + 'Ana,"Pe"rez,20\n',
             "the row cannot be parsed: text after a closing quote"),
            ("a quote never closed", header + 'Ana,"Perez,20\n', "the row cannot be parsed: a quoted field is not closed"),
            ("JSON without the age", '{"nombre": "Ana\\n", "apellido": "P\\n"}\n', "a field is missing: edad"),
            ("JSON age with a fraction", '{"nombre": "Ana\\n", "apellido": "P\\n", "edad": 1.5}\n',
             "the age is not a whole number from 0 to 65535"),
            ("JSON zero byte", '{"nombre": "A\\u0000na\\n", "apellido": "P\\n", "edad": 1}\n',
             "nombre holds a zero byte"),
            ("JSON text of 30 bytes", '{"nombre": "' + "x" * 30 + '", "apellido": "P\\n", "edad": 1}\n',
             "nombre is 30 bytes, more than the 29 a record holds"),
            ("JSON cut short", '{"nombre": "Ana\\n", "apellido": \n', "the row cannot be parsed as a JSON object"),
            ("JSON base64 that is not", '{"nombre_base64": "QW5h!", "apellido": "P\\n", "edad": 1}\n',
             "nombre_base64 is not base64"),
        ]
        # Nothing listens: a row refused is never sent, so no row finds no connection.
        for what, roster, reason in cases:
            with self.subTest(what):
                status, lines, err = send_roster(roster.encode())
                self.assertEqual(status, 65)
                self.assertEqual([(line["status"], line["error"]) for line in lines], [("refused", reason)])
                self.assertEqual(lines[0]["line"], 1 if roster.startswith("{") else 2)
                self.assertTrue(err.endswith(b" 0 no connection, 1 refused\n"), err)

    def test_rows_to_send_again_go_back_as_they_stood(self):
        # A server that takes 3 rows and ends; the rows to send again, the header first
        # and a quoted field of two lines intact, are then sent whole to a new server.
        names = [f"R{row}" for row in range(8)]
        roster = ("nombre,apellido,edad,notas\n" + "".join(f"{name},Clase,20,-\n" for name in names[:7])
                  + f'{names[7]},Clase,20,"dos\r\nlíneas, y ""comillas"""\n').encode()
        with disk_folder() as folder:
            again = os.path.join(folder, "again.csv")
            output = os.path.join(folder, "records.jsonl")
            with start_cardbox(arguments=["--json", "-o", output, "-n", "3"]):
                status, lines, err = send_roster(roster, "--resend", again, "--retry", "0", "--parallel", "1")
            # The row after the third may have been queued when the server ended: not
            # taken, else no connection.
            self.assertIn(status, (1, 2), err)
            self.assertRegex(err, rb"^cardpost: 8 records: 3 taken, [01] not taken, 0 no verdict, [45] no connection")
            self.assertTrue(err.endswith(b"cardpost: 5 rows to send again in " + again.encode() + b"\n"), err)
            with open(again, "rb") as rows:
                resend = rows.read()
            self.assertTrue(resend.startswith(b"nombre,apellido,edad,notas\n"))
            self.assertIn(b'"dos\r\nl\xc3\xadneas, y ""comillas"""\n', resend)
            self.assertEqual(os.stat(again).st_mode & 0o777, 0o600)
            with start_cardbox(arguments=["--json", "-o", output]):
                status, lines, err = run("cardpost", arguments=["--batch", again, "::1", str(RECORD_PORT)])
            self.assertEqual(status, 0, err)
            with open(output, "rb") as records:
                self.assertEqual(sorted(json_names(records.read())), sorted(name + "\n" for name in names))

    def test_a_roster_in_a_pipe_is_sent_as_it_comes(self):
        with start_cardbox(arguments=["--json"]) as server:
            sending = Running([program("cardpost"), "--batch", "-"], stdin=subprocess.PIPE)
            with sending:
                sending.process.stdin.write(b"nombre,apellido,edad\nAna,Perez,20\n")
                sending.process.stdin.flush()
                # Taken, and told, while the pipe is still open.
                line = json.loads(sending.wait_out_ending(b"}\n"))
                self.assertEqual(line, taken(2, "Ana", "Perez"))
                self.assertIsNone(sending.process.poll())
                sending.process.stdin.write(b"Bea,Perez,21\n")
                sending.process.stdin.close()
                self.assertEqual(sending.wait_exit(), 0)
            self.assertEqual(json_names(server.wait_out_ending(b'"edad": 21}\n')), ["Ana\n", "Bea\n"])

    def test_a_roster_that_is_no_roster_sends_nothing(self):
        cases = [("no edad column", b"nombre,apellido\nAna,Perez\n",
                  b"cardpost: standard input: the header row names no column edad\n"),
                 ("no header at all", b"", b"cardpost: standard input: no header row naming nombre, apellido and edad\n")]
        for what, roster, message in cases:
            with self.subTest(what):
                self.assertEqual(run("cardpost", roster, arguments=["--batch", "-"]), (1, b"", message))

    def test_the_worst_fate_is_the_status(self):
        rows = b"nombre,apellido,edad\nAna,Perez,20\n"
        refused = b"Bea,Perez,veinte\n"
        cases = [
            # (what, how the server ends each connection, roster, status, fates)
            ("every record taken", "close", rows, 0, ["taken"]),
            ("nothing listens", None, rows, 2, ["no connection"]),
            ("reset after the record", "reset", rows, 1, ["not taken"]),
            ("a row refused, the rest taken", "close", rows + refused, 65, ["taken", "refused"]),
            ("a row refused, the rest not connected", None, rows + refused, 65, ["no connection", "refused"]),
            ("no verdict, a row refused", "hold", rows + refused, 3, ["no verdict", "refused"]),
        ]
        for what, then, roster, expected, fates in cases:
            with self.subTest(what):
                with RecordCatcher(then) if then else contextlib.nullcontext():
                    status, lines, _ = send_roster(roster, "--retry", "0", "-w", "1")
                self.assertEqual((status, [line["status"] for line in lines]), (expected, fates))
        self.assertEqual(lines[0]["error"], "no verdict within 1 s: the record may have been taken")


class RiddenOutRestart(unittest.TestCase):
    def test_every_row_is_taken_once_across_a_restart(self):
        names = ["R%05d\n" % row for row in range(4000)]
        with disk_folder() as folder, tempfile.NamedTemporaryFile(suffix=".csv") as roster:
            roster.write(("nombre,apellido,edad\n" + "".join(f"{name[:-1]},Clase,20\n" for name in names)).encode())
            roster.flush()
            output = os.path.join(folder, "records.jsonl")
            server_arguments = ["-c", "64", "--json", "-o", output]
            with start_cardbox(arguments=server_arguments) as server:
                sending = Running([program("cardpost"), "--batch", roster.name, "--parallel", "8", "--retry", "8"])
                with sending:
                    wait_until(lambda: os.path.getsize(output) > 20_000 or sending.process.poll() is not None,
                               "records taken before the stop")
                    self.assertIsNone(sending.process.poll(), "the roster was sent before the stop")
                    server.process.send_signal(signal.SIGTERM)
                    server.wait_exit()
                    time.sleep(0.3)
                    with start_cardbox(arguments=server_arguments):
                        self.assertEqual(sending.wait_exit(), 0, sending.err[-400:])
                        with open(output, "rb") as records:
                            kept = json_names(records.read())
            self.assertEqual(sorted(kept), names)
            verdicts = [json.loads(line) for line in sending.out.splitlines()]
            self.assertEqual({line["status"] for line in verdicts}, {"taken"})
            self.assertEqual(len(verdicts), len(names))


class FewDescriptors(unittest.TestCase):
    def test_parallel_beyond_the_limit_on_open_files(self):
        # --parallel 200 wants about 800 descriptors: a soft limit of 64 is raised, a
        # hard one of 64 makes fewer at once; either way every record is taken.
        roster = ("nombre,apellido,edad\n" + "".join(f"F{row},Clase,20\n" for row in range(600))).encode()
        for limit in ("-Sn 64", "-n 64"):
            with self.subTest(limit=limit), start_cardbox(arguments=["-c", "1024", "-a", "1024"]):
                status, out, err = run("cardpost", roster, wrapper=("sh", "-c", f'ulimit {limit} && exec "$0" "$@"'),
                                       arguments=["--batch", "-", "--parallel", "200", "--retry", "0"])
                self.assertEqual((status, err), (0, b"cardpost: 600 records: 600 taken, 0 not taken, 0 no verdict, "
                                                    b"0 no connection, 0 refused\n"))


def own_network_namespace():
    return os.environ.get("OWN_NETWORK_NAMESPACE") == "1"


@unittest.skipUnless(own_network_namespace(), "needs a network namespace of its own")
class HostThatNeverAnswers(unittest.TestCase):
    """A neighbour that drops every packet: in this test's own namespace, fd00::2 is
    reached over a veth link whose other end has no such address and drops what
    comes for a hardware address not its own, so a connect to it is never answered."""

    @classmethod
    def setUpClass(cls):
        for command in ("ip link add name silent type veth peer name sink", "ip link set silent up",
                        "ip link set sink up", "ip -6 addr add fd00::1/64 dev silent nodad",
                        "ip -6 neigh add fd00::2 lladdr 02:00:00:00:00:02 dev silent nud permanent"):
            subprocess.run(command.split(), check=True, timeout=TIMEOUT)

    def test_wait_bounds_the_connect(self):
        cases = [
            # (what, arguments, status, verdict line status)
            ("interactive, quiet", ["-q", "-w", "1", "fd00::2"], 2, None),
            ("a roster", ["--batch", "-", "-w", "1", "--retry", "0", "fd00::2"], 2, "no connection"),
        ]
        for what, arguments, expected, word in cases:
            with self.subTest(what):
                started = time.monotonic()
                status, out, err = run("cardpost", b"nombre,apellido,edad\nAna,Perez,20\n", arguments=arguments)
                self.assertLess(time.monotonic() - started, 5)
                self.assertEqual(status, expected, err)
                if word is None:
                    self.assertEqual(err, b"cliente: connect: Connection timed out\n"
                                          b"client: error al conectar con el servidor\n")
                else:
                    line = json.loads(out)
                    self.assertEqual((line["status"], line["error"]), (word, "Connection timed out"))


class Quiet(unittest.TestCase):
    def test_answers_are_sent_exactly_or_refused(self):
        cases = [
            # (what, answers, status, standard error, record sent or None for a reset)
            ("three answers", b"Ana\nPerez\n25\n", 0, b"", record(b"Ana\n", b"Perez\n", 25)),
            ("the last without its newline", b"Ana\nPerez\n25", 0, b"", record(b"Ana\n", b"Perez\n", 25)),
            ("an age in words", b"Ana\nPerez\nveinte\n", 65,
             b'cliente: the age is not a whole number from 0 to 65535: "veinte"\n', None),
            ("an age past 65535", b"Ana\nPerez\n70000\n", 65,
             b'cliente: the age is not a whole number from 0 to 65535: "70000"\n', None),
            ("a surname too long", b"Ana\n" + b"x" * 32 + b"\n7\n", 65,
             b"cliente: apellido is 33 bytes with its newline, more than the 29 a record holds\n", None),
            ("no answers", b"", 65, b"cliente: no answer for nombre before the end of input\n", None),
            ("a zero byte", b"A\0na\nPerez\n7\n", 65, b"cliente: nombre holds a zero byte\n", None),
        ]
        with listen(RECORD_PORT) as listener:
            for what, answers, status, err, sent in cases:
                with self.subTest(what):
                    result = run("cardpost", answers, arguments=["-q"])
                    connection, _ = listener.accept()
                    with connection:
                        connection.settimeout(TIMEOUT)
                        try:
                            received = connection.recv(100)
                        except ConnectionResetError:
                            received = None
                    self.assertEqual(result, (status, b"", err))
                    self.assertEqual(received, sent)


class ClassEnd(unittest.TestCase):
    def test_count_ends_the_server_and_resets_the_rest(self):
        with start_cardbox(arguments=["-c", "8", "--json", "-n", "3"]) as server:
            with connect() as idle:
                idle.sendall(b"Part")  # read once the server holds it, not while queued
                wait_until_read_by_server(idle)
                for number, host in enumerate(["::1", "127.0.0.1", "::1"]):
                    with connect(host) as peer:
                        peer.sendall(record(b"Alumno%d\n" % number, b"Clase\n", 20))
                        self.assertEqual(verdict(peer), "closed")
                self.assertEqual(server.wait_exit(), 0)
                self.assertEqual(verdict(idle), "reset")
        self.assertEqual(json_names(server.out), ["Alumno0\n", "Alumno1\n", "Alumno2\n"])
        self.assertTrue(server.err.endswith(b"cardbox: 3 records taken, 1 connection reset, 2 sources\n"), server.err)

    def test_a_flood_gets_exactly_the_count(self):
        # Records that complete together past the count are reset, never written out.
        for arguments in (["-n", "300"], ["-n", "300", "-c", "64"]):
            with self.subTest(arguments=arguments), start_cardbox(arguments=["--json", *arguments]) as server:
                with Flood(threads=8) as flood:
                    self.assertEqual(server.wait_exit(), 0)
                names = json_names(server.out)
                self.assertEqual((len(names), broken_promises(flood, names)), (300, ([], [])))
                self.assertEqual(len(flood.taken), 300)

    def test_a_stop_signal_still_gives_the_summary(self):
        for arguments in (["--summary"], ["--summary", "-c", "4"]):
            with self.subTest(arguments=arguments), start_cardbox(arguments=arguments) as server:
                for name in (b"Ana\n", b"Bea\n"):
                    status, _, _ = run("cardpost", name + b"Perez\n20\n", arguments=["-q", "-c"])
                    self.assertEqual(status, 0)
                with connect() as idle:
                    idle.sendall(b"Part")  # read once the server holds it, not while queued
                    wait_until_read_by_server(idle)
                    server.process.send_signal(signal.SIGTERM)
                    self.assertEqual(server.wait_exit(), -signal.SIGTERM)
                    self.assertEqual(verdict(idle), "reset")
                self.assertEqual(server.err, b"cardbox: 2 records taken, 1 connection reset, 1 source\n")


if __name__ == "__main__":
    unittest.main()
