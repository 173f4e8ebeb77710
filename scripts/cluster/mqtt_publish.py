#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The cluster tests' publisher: publishes the numbers FROM..TO (decimal
text, one per message) to TOPIC at QoS 1 through the first of SERVERS
(HOST:PORT, separated by commas), about RATE a second (2,000 unless given),
and exits 0 only once the broker acknowledged every one of them.

    mqtt_publish.py SERVERS TOPIC FROM TO [RATE]

A push that was never acknowledged is not counted as sent, so a publisher
must not give up on one. While a cluster moves a queue to a new leader, a
broker may hold its acknowledgements, and a stock command-line publisher
may then drop its connection and end with the rest of its input unsent and
no error. This one waits instead: when its connection closes, or nothing
is acknowledged for STALL seconds (5) while pushes are in flight, it
connects again and resends those (marked as duplicates), until the broker
acknowledges them; it gives up, exit 1, only after 120 s without progress.
Each reconnection is one line on stderr, and goes to the next server.

With PUBLISH_HISTORY set, it appends one line per event to that file: the
time (CLOCK_BOOTTIME, as /proc/uptime counts), the event and the number:
"publish N" when first sent, "ack N" at its PUBACK, "timeout N" when it
waited STALL seconds for one, "refused N" when the broker closed the
connection or refused a new one with N in flight, "resend N" when sent
again. Only "ack" makes a push acknowledged.
"""
import os
import select
import socket
import struct
import sys
import time

STALL = 5.0
GIVE_UP = 120.0
WINDOW = 64  # pushes in flight at most, as a client library's default would allow


class History:
    def __init__(self, path):
        self.out = open(path, "a", buffering=1) if path else None

    def __call__(self, event, numbers):
        if self.out:
            t = time.clock_gettime(time.CLOCK_BOOTTIME)
            self.out.write("".join("%.6f %s %d\n" % (t, event, n) for n in numbers))


class Stall(ConnectionError):
    """No acknowledgement within STALL seconds."""


class Refused(ConnectionError):
    """The broker closed the connection, or refused a new one."""


def varint(n):
    out = bytearray()
    while True:
        n, digit = n >> 7, n & 0x7F
        out.append(digit | (0x80 if n else 0))
        if not n:
            return bytes(out)


def text(s):
    b = s.encode()
    return struct.pack("!H", len(b)) + b


def packet(first, body):
    return bytes([first]) + varint(len(body)) + body


class Link:
    """One MQTT 3.1.1 connection with a clean session."""

    def __init__(self, server):
        host, port = server.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=5)
        client_id = "publish-%d-%d" % (time.time_ns() % 10**9, id(self) % 10**6)
        # Protocol level 4, clean session, keepalive 30 s.
        self.sock.sendall(packet(0x10, text("MQTT") + bytes([4, 0x02]) + struct.pack("!H", 30)
                                 + text(client_id)))
        self.buf = b""
        first, body = self.read_packet()
        if first >> 4 != 2 or len(body) != 2 or body[1] != 0:
            raise Refused("CONNACK refused: %r" % body)
        self.sock.setblocking(False)

    def read_packet(self):
        while True:
            got = self.parse()
            if got:
                return got
            data = self.sock.recv(65536)
            if not data:
                raise Refused("closed by the broker")
            self.buf += data

    def parse(self):
        """One whole packet from the buffer, or None."""
        length, mult, i = 0, 1, 1
        while True:
            if i >= len(self.buf):
                return None
            length += (self.buf[i] & 0x7F) * mult
            mult <<= 7
            i += 1
            if not self.buf[i - 1] & 0x80:
                break
        if len(self.buf) < i + length:
            return None
        first, body = self.buf[0], self.buf[i:i + length]
        self.buf = self.buf[i + length:]
        return first, body

    def acks(self, timeout):
        """The packet ids acknowledged within TIMEOUT seconds."""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return []
        data = self.sock.recv(65536)
        if not data:
            raise Refused("closed by the broker")
        self.buf += data
        out = []
        while got := self.parse():
            if got[0] >> 4 == 4 and len(got[1]) == 2:  # PUBACK
                out.append(struct.unpack("!H", got[1])[0])
        return out

    def publish(self, topic, pid, payload, dup=False):
        self.sock.setblocking(True)
        self.sock.sendall(packet(0x32 | (0x08 if dup else 0), text(topic) + struct.pack("!H", pid)
                                 + payload))
        self.sock.setblocking(False)

    def close(self):
        try:
            self.sock.setblocking(True)
            self.sock.sendall(b"\xe0\x00")  # DISCONNECT
        except OSError:
            pass
        self.sock.close()


def connect(servers, deadline):
    """A connection to the first of SERVERS that takes one, trying each in
    turn; SERVERS is rotated to start with it."""
    while True:
        try:
            return Link(servers[0])
        except OSError as e:
            if time.monotonic() > deadline:
                sys.exit("publish: no connection to %s: %s" % (servers[0], e))
            servers.append(servers.pop(0))
            time.sleep(0.2)


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__.split("\n\n")[1])
    servers, topic = sys.argv[1].split(","), sys.argv[2]
    first, last = int(sys.argv[3]), int(sys.argv[4])
    rate = float(sys.argv[5]) if len(sys.argv) == 6 else 2000.0
    history = History(os.environ.get("PUBLISH_HISTORY"))
    link = connect(servers, time.monotonic() + GIVE_UP)
    inflight = {}  # packet id -> number
    next_n, next_pid = first, 1
    # last_ack: when the broker last acknowledged one; waiting: since when
    # the pushes in flight have waited on this connection.
    start = last_ack = waiting = time.monotonic()
    while next_n <= last or inflight:
        now = time.monotonic()
        try:
            while next_n <= last and len(inflight) < WINDOW and next_n - first < (now - start) * rate:
                while next_pid in inflight:
                    next_pid = next_pid % 65535 + 1
                link.publish(topic, next_pid, str(next_n).encode())
                history("publish", [next_n])
                inflight[next_pid], next_n, next_pid = next_n, next_n + 1, next_pid % 65535 + 1
            for pid in link.acks(0.01):
                if (n := inflight.pop(pid, None)) is not None:
                    history("ack", [n])
                    last_ack = waiting = time.monotonic()
            if not inflight:
                waiting = time.monotonic()
            elif time.monotonic() - waiting > STALL:
                raise Stall("no acknowledgement in %.0f s" % STALL)
        except OSError as e:  # ConnectionError included
            history("timeout" if isinstance(e, Stall) else "refused", sorted(inflight.values()))
            if time.monotonic() - last_ack > GIVE_UP:
                sys.exit("publish: gave up after %.0f s without progress: %s" % (GIVE_UP, e))
            print("publish: %s; connecting again, %d to resend" % (e, len(inflight)), file=sys.stderr)
            link.sock.close()
            servers.append(servers.pop(0))
            link = connect(servers, last_ack + GIVE_UP)
            waiting = time.monotonic()
            for pid, n in sorted(inflight.items(), key=lambda kv: kv[1]):
                link.publish(topic, pid, str(n).encode(), dup=True)
                history("resend", [n])
    link.close()


if __name__ == "__main__":
    main()
