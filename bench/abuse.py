#!/usr/bin/env python3
"""Tries abusive clients against a running server and prints what each got,
with the worst PING round trip a registered bystander saw meanwhile.

usage: bench/abuse.py IRC_PORT WEB_PORT [CHANNELS]

  megabyte  one client sends 1 MiB without a line end
  channels  one client joins CHANNELS channels (Program.ChanMax, default 10),
            each with a reading member, and sends 200 rounds of lines of the
            longest length to every one of them
  web       10,000 connections to the status pages, held 2 s, then a GET
"""
import socket
import sys
import threading
import time

HOST = "127.0.0.1"


def connect(port):
    s = socket.create_connection((HOST, port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class Client:
    def __init__(self, port, nick):
        self.sock = connect(port)
        self.buffer = b""
        self.send(f"NICK {nick}\r\nUSER u h s :r\r\n")
        self.until(b" 376 ", b" 422 ")

    def send(self, text):
        self.sock.sendall(text.encode() if isinstance(text, str) else text)

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def until(self, *needles):
        while True:
            line = self.line()
            if line is None or any(n in line for n in needles):
                return line


class Bystander(threading.Thread):
    """PINGs every 250 ms (4 lines a second) and keeps the worst round trip."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.client = Client(port, "watch")
        self.worst = 0.0
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            start = time.monotonic()
            self.client.send("PING :x\r\n")
            if self.client.until(b" PONG ") is None:
                self.worst = float("inf")
                return
            self.worst = max(self.worst, time.monotonic() - start)
            time.sleep(0.25)

    def take(self):
        worst, self.worst = self.worst, 0.0
        return f"bystander's worst PING {worst * 1000:.1f} ms"


def megabyte(port):
    s = connect(port)
    s.settimeout(5)
    sent = 0
    chunk = b"x" * 4096
    try:
        while sent < 1 << 20:
            sent += s.send(chunk)
        got = s.recv(4096)
    except OSError as error:
        got = f"<{error.strerror}>".encode()
    return f"megabyte: {sent} bytes went out, then the client read {got!r}"


def channels(port, count):
    flooder = Client(port, "flood")
    readers = []
    for i in range(count):
        flooder.send(f"JOIN #c{i}\r\n")
        flooder.until(b" 366 ")
        reader = Client(port, f"r{i}")
        reader.send(f"JOIN #c{i}\r\n")
        reader.until(b" 366 ")
        readers.append(reader)
    # The longest line: 510 bytes before CR LF.
    rounds = 200
    start = time.monotonic()
    ended = None

    def send_all():
        nonlocal ended
        try:
            for r in range(rounds):
                for i in range(count):
                    head = f"PRIVMSG #c{i} :{r} "
                    flooder.send(head + "y" * (510 - len(head)) + "\r\n")
        except OSError as error:
            ended = error.strerror

    sender = threading.Thread(target=send_all)
    sender.start()
    counts = [0] * count
    for i, reader in enumerate(readers):
        reader.sock.settimeout(3)
        try:
            while counts[i] < rounds:
                line = reader.line()
                if line is None:
                    break
                if b" PRIVMSG " in line:
                    counts[i] += 1
                elif b" PART " in line:
                    break
        except socket.timeout:
            pass
    sender.join()
    flooder.sock.settimeout(1)
    try:
        last = flooder.until(b"ERROR")
    except socket.timeout:
        last = None
    took = time.monotonic() - start
    return (f"channels: {count} channels, {rounds * count} lines sent in {took:.1f} s, "
            f"readers got {min(counts)} to {max(counts)} each, "
            f"flooder: {last.decode() if last else 'still connected'}"
            f"{', send failed: ' + ended if ended else ''}")


def web(port):
    held = []
    for _ in range(10000):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((HOST, port))
        held.append(s)
    time.sleep(2)
    closed = 0
    for s in held:
        try:
            closed += s.recv(1) == b""
        except OSError:
            pass
    for s in held:
        s.close()
    start = time.monotonic()
    page = b""
    with socket.create_connection((HOST, port)) as s:
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        while chunk := s.recv(65536):
            page += chunk
    status = page.split(b"\r\n", 1)[0].decode()
    return (f"web: of 10000 connections {closed} were closed unanswered within 2 s "
            "(the rest still in the listen queue); "
            f"then a GET got {status!r} "
            f"in {(time.monotonic() - start) * 1000:.0f} ms")


def main():
    irc_port, web_port = int(sys.argv[1]), int(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    watch = Bystander(irc_port)
    watch.start()
    for result in (megabyte(irc_port), channels(irc_port, count), web(web_port)):
        time.sleep(0.5)
        print(f"{result}; {watch.take()}", flush=True)
    watch.stop.set()


if __name__ == "__main__":
    main()
