#!/usr/bin/env python3
"""Drives an echo helper as any local user could: starts it with a socket pair of its own and
says what it likes. Prints what the namespace sent (its OutEchos) in each phase, as KEY=VALUE
lines: requests in an older layout that name addresses of their own, 2,000 random messages, and
a flood of well-formed requests for two seconds.

    helper_client.py HELPER
"""
import os
import random
import socket
import struct
import subprocess
import sys
import time

REQUEST_MAGIC = 0x4B455132
ANSWER_MAGIC = 0x4B454132
ANSWERED, READY, REFUSED = 0, 1, 3
PACED = 3


def out_echoes():
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Icmp:")]
    return int(rows[1][rows[0].index("OutEchos")])


def main():
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    helper = subprocess.Popen([sys.argv[1]], stdin=theirs.fileno(), env={})
    theirs.close()
    ours.settimeout(5)

    def answer():
        message = ours.recv(4096)
        magic, ident, outcome, detail = struct.unpack_from("<IIII", message)
        assert magic == ANSWER_MAGIC, message
        return ident, outcome, detail

    _, greeting, _ = answer()
    print(f"greeting={greeting}")

    def ask(message):
        ours.send(message)
        return answer()

    # Requests of an older layout (magic, id, destination, timeout, size, data): any address.
    before = out_echoes()
    refused = 0
    for address in ("127.0.0.1", "10.0.0.1", "192.168.1.1", "8.8.8.8", "1.1.1.1"):
        destination = socket.inet_aton(address)
        for timeout, data in ((0, b""), (500, b"testing"), (60000, b"x" * 248)):
            older = struct.pack("<II4sIH", 0x4B455131, 5, destination, timeout, len(data)) + data
            refused += ask(older)[1] == REFUSED
        for target in (2, 3, 0xFFFFFFFF):
            refused += ask(struct.pack("<III", REQUEST_MAGIC, 6, target))[1] == REFUSED
    print(f"elsewhere_refused={refused}")
    print(f"elsewhere_echoes={out_echoes() - before}")

    # Random messages (never one that happens to be a request; never empty, which reads as the
    # end of the channel).
    rng = random.Random(20261209)
    before = out_echoes()
    refused = 0
    for _ in range(2000):
        while True:
            message = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 300)))
            if not (len(message) == 12 and struct.unpack_from("<I", message)[0] == REQUEST_MAGIC):
                break
        ident, outcome, _ = ask(message)
        refused += outcome == REFUSED and ident == 0
    print(f"random_refused={refused}")
    print(f"random_echoes={out_echoes() - before}")

    # A flood of well-formed requests for both addresses.
    before = out_echoes()
    answered = paced = 0
    start = time.monotonic()
    ident = 100
    while time.monotonic() - start < 2.0:
        ident += 1
        got, outcome, detail = ask(struct.pack("<III", REQUEST_MAGIC, ident, ident % 2))
        assert got == ident
        answered += outcome == ANSWERED
        paced += outcome == REFUSED and detail == PACED
    print(f"flood_requests={ident - 100}")
    print(f"flood_answered={answered}")
    print(f"flood_paced={paced}")
    print(f"flood_echoes={out_echoes() - before}")
    ours.close()
    print(f"helper_status={helper.wait(5)}")


if __name__ == "__main__":
    main()
