"""What the end-to-end tests share: the real programs started in the background,
loopback peers, and waits that always end."""

import collections
import functools
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

# Every wait in these tests ends after this many seconds.
TIMEOUT = 10.0

# The programs run here are started by the tests, never by a service manager that the
# tests themselves may run under (a container's, say).
for variable in ("NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"):
    os.environ.pop(variable, None)


def disk_folder():
    """A scratch folder on a disk, not in memory as /tmp may be: --sync refuses memory."""
    base = os.environ.get("SCRATCH_DIR")
    if base:
        os.makedirs(base, exist_ok=True)
    return tempfile.TemporaryDirectory(dir=base)

RECORD_PORT = 8000
ECHO_PORT = 9000
READY_LINE = b"Servicio iniciado... esperando cliente\n"
ECHO_READY_LINE = b"Servicio de eco en ::1 puerto 9000\n"


def record(nombre, apellido, edad):
    """Returns the 62 bytes of a person record as they cross the wire."""
    return nombre.ljust(30, b"\0") + apellido.ljust(30, b"\0") + struct.pack("!H", edad)


def shown(nombre, apellido, edad, count=62):
    """Returns what cardbox prints for a record, after the peer's line."""
    return (b"\nSe recibieron %d bytes\n\nNombre: " % count + nombre + b"\nApellido: " + apellido
            + b"\n Edad:%d\n" % edad)


PROMPTS = b"Conexion Establecida\nEscribe un nombre\nEscrbe un apellido\nEscribe la edad\n"


def summary(nombre, apellido, edad, sent=62):
    """Returns what cardpost prints for the answers, with the count it wrote."""
    return (PROMPTS + b"\nEnviendo estructura con 62 bytes, datos:\nNombre: " + nombre
            + b"\nApellido: " + apellido + b"\nEdad: %d\n" % edad
            + b"\nSe enviaron: %d bytes\n" % sent)


INVITATION = (b"Conexionen establecida.. Escribe una serie de cadenas <enter> para enviar, "
              b"SALIR para terminar\n")


def exchange(count, text, echo):
    """Returns what linebounce prints for one line that was read as `count` bytes."""
    return (b"Se escribieron %d caracteres -> " % count + text + b"\n"
            + b"Tamanio Eco: %d\n" % (len(text) + 1) + b"\n ECO recibido " + echo + b"\n")


def redirected(redirection):
    """A wrapper command that runs a program with its standard streams redirected as the
    shell redirection says: "<&-" closes standard input, ">/dev/full" fills its output."""
    return ["sh", "-c", f'exec "$0" "$@" {redirection}']


@functools.cache
def mount_namespace_failure():
    """Why a program cannot have a mount namespace of its own here, found by trying one;
    or None. It takes root, and a root directory that is a mount point (in a plain
    chroot, unshare cannot keep the mounts from reaching the machine's)."""
    if os.geteuid() != 0:
        return "a mount namespace of its own needs root"
    tried = subprocess.run(["unshare", "--mount", "true"], capture_output=True, text=True, timeout=TIMEOUT)
    return None if tried.returncode == 0 else f"no mount namespace of its own here: {tried.stderr.strip()}"


def with_hosts(lines):
    """A wrapper command that runs a program in a mount namespace of its own, where
    /etc/hosts holds the given lines; the test is skipped where there can be none."""
    if why := mount_namespace_failure():
        raise unittest.SkipTest(why)
    return ["unshare", "--mount", "sh", "-c",
            'mount -t tmpfs hosts /mnt && printf %s "$0" > /mnt/hosts && '
            'mount --bind /mnt/hosts /etc/hosts && exec "$@"', lines]


def under_strace(*options):
    """A wrapper command that runs a program under strace with the given options.
    LeakSanitizer needs ptrace, which strace holds, so it is off there; leaks are
    checked in the other tests."""
    return ["strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", *options]


def program(name):
    """Returns the path of a built program, handed over by the test runner."""
    path = os.environ.get(name.upper())
    if not path:
        raise RuntimeError(f"{name.upper()} is not set: run the tests through ctest")
    return path


def require_free_port(port):
    """Fails with a clear message when something on this machine holds the port."""
    probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    try:
        # As the servers do: connections of an earlier test left in TIME_WAIT do not count.
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        probe.bind(("::", port))
    except OSError as error:
        raise AssertionError(
            f"port {port} is taken on this machine ({error.strerror}); these tests need it "
            "free: stop what listens there, or run them as root so that each test gets a "
            "network namespace of its own") from None
    finally:
        probe.close()


def wait_until(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.005)


class Running:
    """A program running in the background; its standard output and standard error
    are gathered as they come. Killed when the `with` block ends, whatever happens."""

    def __init__(self, argv, stdin=subprocess.DEVNULL, pass_fds=(), env=None):
        # A session of its own, so that stopping it also stops whatever it started
        # (a program run under strace, say).
        self.process = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True,
                                        pass_fds=pass_fds, env=env)
        self._lock = threading.Lock()
        self._gathered = {"out": bytearray(), "err": bytearray()}
        self._readers = [threading.Thread(target=self._gather, args=(stream, key), daemon=True)
                         for stream, key in ((self.process.stdout, "out"),
                                             (self.process.stderr, "err"))]
        for reader in self._readers:
            reader.start()

    def _gather(self, stream, key):
        while chunk := os.read(stream.fileno(), 65536):
            with self._lock:
                self._gathered[key] += chunk

    @property
    def out(self):
        with self._lock:
            return bytes(self._gathered["out"])

    @property
    def err(self):
        with self._lock:
            return bytes(self._gathered["err"])

    def wait_out(self, length, timeout=TIMEOUT):
        """Returns standard output once it holds at least `length` bytes or the program
        has ended."""
        wait_until(lambda: len(self.out) >= length or self.process.poll() is not None,
                   f"{length} bytes of output", timeout)
        return self.out

    def wait_out_ending(self, ending):
        """Returns standard output once it ends with `ending` or the program has ended."""
        wait_until(lambda: self.out.endswith(ending) or self.process.poll() is not None,
                   f"output ending with {ending!r}")
        return self.out

    def wait_err(self, length):
        wait_until(lambda: len(self.err) >= length or self.process.poll() is not None,
                   f"{length} bytes on standard error")
        return self.err

    def wait_exit(self):
        self.process.wait(timeout=TIMEOUT)
        for reader in self._readers:
            reader.join(timeout=TIMEOUT)
        return self.process.returncode

    def stop(self):
        kill_session(self.process)
        self.wait_exit()
        self.process.stdout.close()
        self.process.stderr.close()
        if self.process.stdin:
            self.process.stdin.close()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()


def kill_session(process):
    """Kills the process and everything else in its session."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def start_server(name, port, ready_line, wrapper=(), arguments=(), ready_on_err=False):
    """Starts a server program (under the wrapper command, if any) and returns it once
    it has printed the line that says it waits for clients."""
    require_free_port(port)
    server = Running([*wrapper, program(name), *arguments])
    try:
        wait = server.wait_err if ready_on_err else server.wait_out
        printed = wait(len(ready_line))
        assert printed.startswith(ready_line), f"{name} did not start: {server.out!r} {server.err!r}"
    except BaseException:
        server.stop()
        raise
    return server


def start_cardbox(wrapper=(), arguments=(), port=RECORD_PORT):
    """Starts cardbox; with --json its start line is on standard error."""
    return start_server("cardbox", port, READY_LINE, wrapper, arguments,
                        ready_on_err="--json" in arguments)


def start_echo_service():
    return start_server("echo_service", ECHO_PORT, ECHO_READY_LINE)


def connect(host="::1", port=RECORD_PORT, source=None):
    """Returns a loopback peer connected to the port; IPv6 or IPv4 as the host says,
    from the given source address (one of 127.0.0.0/8, say) if any."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    peer = socket.socket(family, socket.SOCK_STREAM)
    peer.settimeout(TIMEOUT)
    peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        if source:
            peer.bind((source, 0))
        peer.connect((host, port))
    except OSError:
        peer.close()
        raise
    return peer


def peer_name(peer):
    """Returns how the server names this peer: its IPv6 (or IPv4-mapped) address and port."""
    host, port = peer.getsockname()[:2]
    if peer.family == socket.AF_INET:
        host = "::ffff:" + host
    return f"{host}:{port}".encode()


def peer_line(peer):
    """Returns the line with which cardbox names this peer."""
    return b"cliente conectado desde " + peer_name(peer) + b"\n"


def tcp_connections():
    """Yields (local port, remote port, state, bytes waiting to be read) for the
    loopback TCP connections of this network namespace."""
    for table in ("/proc/net/tcp6", "/proc/net/tcp"):
        with open(table) as lines:
            next(lines)
            for line in lines:
                fields = line.split()
                local_port = int(fields[1].rsplit(":", 1)[1], 16)
                remote_port = int(fields[2].rsplit(":", 1)[1], 16)
                receive_queue = int(fields[4].split(":")[1], 16)
                yield local_port, remote_port, int(fields[3], 16), receive_queue


TCP_ESTABLISHED = 1
TCP_LISTEN = 10


def wait_until_read_by_server(peer, server_port=RECORD_PORT):
    """Returns once the server has read every byte this peer has sent it."""
    port = peer.getsockname()[1]
    wait_until(lambda: any(local == server_port and remote == port and queue == 0
                           for local, remote, state, queue in tcp_connections()),
               "the server to read what the peer sent")


def wait_until_listening(port=RECORD_PORT):
    """Returns once something listens on the port, for a server whose start line
    cannot be seen."""
    wait_until(lambda: any(local == port and state == TCP_LISTEN
                           for local, _, state, _ in tcp_connections()),
               f"something to listen on port {port}")


def wait_until_queued(count, server_port=RECORD_PORT):
    """Returns once `count` connections wait in the server's listen queue."""
    wait_until(lambda: any(local == server_port and state == TCP_LISTEN and queue >= count
                           for local, _, state, queue in tcp_connections()),
               f"{count} connections in the listen queue")


def listen(port):
    """Returns a test peer listening on the server address and port, in place of the
    real server: clients connect at once and wait in its listen queue."""
    require_free_port(port)
    listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.settimeout(TIMEOUT)
    listener.bind(("::1", port))
    listener.listen(5)
    return listener


class Peer:
    """A peer written in the test in place of a real server: serves one connection on
    the port in a thread, with the given routine, and keeps every byte it received."""

    def __init__(self, port, serve):
        self.listener = listen(port)
        self.received = bytearray()
        self.thread = threading.Thread(target=self._serve, args=(serve,), daemon=True)
        self.thread.start()

    def _serve(self, serve):
        connection, _ = self.listener.accept()
        with connection:
            connection.settimeout(TIMEOUT)
            serve(connection, self.received)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.thread.join(TIMEOUT)
        self.listener.close()


def keep_everything(connection, received):
    """Serves a connection by keeping what it sends until it closes."""
    while chunk := connection.recv(65536):
        received += chunk


def echo_everything(connection, received):
    """Serves a connection by sending back everything it sends, until it closes or
    resets the connection."""
    try:
        while chunk := connection.recv(65536):
            received += chunk
            connection.sendall(chunk)
    except (ConnectionResetError, BrokenPipeError):
        pass


def verdict(peer):
    """Returns how the server ended the peer's connection: "closed" normally (its record
    was taken) or "reset" (it was not)."""
    try:
        while peer.recv(4096):
            pass
        return "closed"
    except ConnectionResetError:
        return "reset"


def receive_all(connection):
    """Returns every byte the peer sends until it closes its side."""
    received = bytearray()
    while chunk := connection.recv(65536):
        received += chunk
    return bytes(received)


def run(name, stdin=b"", wrapper=(), arguments=(), pass_fds=()):
    """Runs a program (under the wrapper command, if any) to its end with the given
    input; returns (status, stdout, stderr)."""
    with subprocess.Popen([*wrapper, program(name), *arguments], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          start_new_session=True, pass_fds=pass_fds) as process:
        try:
            out, err = process.communicate(stdin, timeout=TIMEOUT)
        finally:
            kill_session(process)
    return process.returncode, out, err


class Flood:
    """Threads that send records, one connection each, until the `with` block ends;
    each record's name goes to `taken` when its client saw a normal close, else to
    `refused`."""

    def __init__(self, threads=4):
        self.taken, self.refused = [], []
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.send, args=(n,), daemon=True) for n in range(threads)]

    def send(self, number):
        for action in range(100_000):
            if self.stop.is_set():
                return
            name = "Registro-%d-%d\n" % (number, action)
            try:
                with connect() as peer:
                    peer.sendall(record(name.encode(), b"Flujo\n", 7))
                    ended = verdict(peer)
            except OSError:
                ended = "reset"
            (self.taken if ended == "closed" else self.refused).append(name)

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exception):
        self.stop.set()
        for thread in self.threads:
            thread.join(TIMEOUT)


def stop_during(server, send, senders, seconds, stop):
    """Runs send(number) on `senders` threads, stops the server with SIGTERM after
    `seconds`, then sets `stop`, which the senders watch, and waits for them. Returns
    the server's exit status and what it printed."""
    threads = [threading.Thread(target=send, args=(n,), daemon=True) for n in range(senders)]
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    server.process.send_signal(signal.SIGTERM)
    status = server.wait_exit()
    stop.set()
    for thread in threads:
        thread.join(TIMEOUT)
    return status, server.out


def broken_promises(flood, names):
    """What the output breaks of the promise to the flood's clients: the records taken
    but not in it exactly once, and those reset but in it."""
    counts = collections.Counter(names)
    return [name for name in flood.taken if counts[name] != 1], sorted(set(flood.refused) & set(counts))


def json_names(text):
    """The names of cardbox's JSON lines; fails on a line that is not whole."""
    if text:
        assert text.endswith(b"\n"), f"the output ends inside a line: {text[-80:]!r}"
    return [json.loads(line)["nombre"] for line in text.splitlines()]
