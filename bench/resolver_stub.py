#!/usr/bin/env python3
"""A DNS server on a loopback address that knows no names: every query is
answered at once with NXDOMAIN (id and question copied back), so a daemon
that looks up each client's hostname goes on without waiting for a timeout.
compare.sh points ircd-hybrid at it through a resolv.conf of its own.

    resolver_stub.py ADDRESS [PORT]    (PORT 53 when left out)

Prints "resolver_stub: answering on ADDRESS:PORT" once the socket is bound,
and answers until it is stopped.
"""
import socket
import sys

RCODE_NXDOMAIN = 3
RCODE_FORMERR = 1


def answer(query: bytes) -> bytes | None:
    if len(query) < 12 or query[2] & 0x80:
        return None  # too short for a header, or a response: not ours to answer
    question_count = int.from_bytes(query[4:6], "big")
    end = 12
    if question_count == 1:
        # The question is the name's labels, a zero byte, then type and class.
        while end < len(query) and query[end] != 0:
            end += 1 + query[end]
        end += 5
    if question_count != 1 or end > len(query):
        flags = bytes([0x80 | (query[2] & 0x79), 0x80 | RCODE_FORMERR])
        return query[0:2] + flags + bytes(8)
    # QR set, opcode and RD copied; RA set; one question and no records.
    flags = bytes([0x80 | (query[2] & 0x79), 0x80 | RCODE_NXDOMAIN])
    return query[0:2] + flags + b"\x00\x01" + bytes(6) + query[12:end]


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    address = sys.argv[1]
    port = int(sys.argv[2]) if len(sys.argv) == 3 else 53
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.bind((address, port))
    except OSError as error:
        print(f"resolver_stub: cannot bind {address}:{port}: {error}", file=sys.stderr)
        return 1
    print(f"resolver_stub: answering on {address}:{port}", flush=True)
    while True:
        query, peer = sock.recvfrom(4096)
        reply = answer(query)
        if reply is not None:
            sock.sendto(reply, peer)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
