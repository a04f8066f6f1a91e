"""Clients of cardbox for the tests under a real systemd, run in the booted root's
network: each sends one person record on a connection of its own and waits for the
verdict. Prints, as one JSON object, the names whose clients saw a normal close
("taken"), those that saw a reset or no verdict ("not_taken"), and those refused a
connection ("refused").

    python3 clients.py burst COUNT THREADS   COUNT records, THREADS at a time
    python3 clients.py flood SECONDS THREADS as many as THREADS send in SECONDS
"""

import json
import os
import socket
import struct
import sys
import threading
import time

PORT = 8000
TIMEOUT = 30.0


def record(name):
    return name.encode().ljust(30, b"\0") + b"Flujo\n".ljust(30, b"\0") + struct.pack("!H", 7)


def send(name, results, lock):
    try:
        peer = socket.create_connection(("::1", PORT), timeout=TIMEOUT)
    except ConnectionRefusedError:
        outcome = "refused"
    except OSError:
        outcome = "not_taken"
    else:
        with peer:
            try:
                peer.sendall(record(name))
                while peer.recv(4096):
                    pass
                outcome = "taken"
            except OSError:
                outcome = "not_taken"
    with lock:
        results[outcome].append(name)


def main():
    mode, amount, threads = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    results = {"taken": [], "not_taken": [], "refused": []}
    lock = threading.Lock()
    counter = iter(range(10**9))
    deadline = time.monotonic() + amount if mode == "flood" else None
    run = os.getpid() % 100000  # each run's names its own

    def worker(number):
        for n in counter:
            if (deadline and time.monotonic() > deadline) or (not deadline and n >= amount):
                return
            send(f"Cliente-{run}-{number}-{n}\n", results, lock)

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    main()
