# SPDX-License-Identifier: MIT
"""The partition scenarios' own instruments: the checker's counts on
histories made by hand, and the publisher's record against a broker of the
test's own that leaves one push unacknowledged."""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

CLUSTER = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "cluster")
sys.path.insert(0, CLUSTER)
import check  # noqa: E402


def run_check(history, gap_bound=10, heal_bound=10):
    with tempfile.NamedTemporaryFile("w", suffix=".history") as f:
        f.write(history)
        f.flush()
        return subprocess.run([sys.executable, os.path.join(CLUSTER, "check.py"), f.name,
                               str(gap_bound), str(heal_bound)], capture_output=True, text=True)


class Checker(unittest.TestCase):
    # (what, history, figures expected, exit status)
    CASES = [
        ("every push acknowledged and received once",
         "1 publish 1\n1.1 ack 1\n1.2 recv 1\n2 publish 2\n2.1 ack 2\n2.2 recv 2\n",
         {"sent": 2, "acknowledged": 2, "received": 2, "lost": 0, "duplicated": 0}, 0),
        ("an acknowledged push never received is lost",
         "1 publish 1\n1.1 ack 1\n2 publish 2\n2.1 ack 2\n2.2 recv 2\n",
         {"lost": 1, "lost_numbers": [1]}, 1),
        ("a timeout is not an acknowledgement: received anyway, it is allowed",
         "1 publish 1\n6 timeout 1\n6.1 resend 1\n6.2 recv 1\n7 publish 2\n7.1 ack 2\n7.2 recv 2\n",
         {"acknowledged": 1, "unacknowledged but received": 1, "lost": 0}, 0),
        ("a push never acknowledged and never received is not lost",
         "1 publish 1\n2 refused 1\n3 publish 2\n3.1 ack 2\n3.2 recv 2\n",
         {"sent": 2, "acknowledged": 1, "lost": 0, "refusals": 1}, 0),
        ("pushdemo's losses and returns, and the publisher's timeouts, are counted",
         "1 publish 1\n1.1 ack 1\n2 lost\n3 back\n4 lost\n5 timeout 1\n6 back\n7 recv 1\n",
         {"connections lost": 2, "connections back": 2, "timeouts": 1, "refusals": 0, "lost": 0}, 0),
        ("a second delivery is a duplicate, not a second push",
         "1 publish 1\n1.1 ack 1\n1.2 recv 1\n5 recv 1\n",
         {"received": 1, "duplicated": 1}, 0),
        ("the longest gap counts from the first publish, events out of order",
         "12.5 recv 2\n1 publish 1\n1.5 ack 1\n2 recv 1\n2.5 publish 2\n3 ack 2\n",
         {"gap": 10.5}, 1),
        ("the longest gap: a first push delivered late, while more were published",
         "1 publish 1\n1.1 ack 1\n5 publish 2\n5.1 ack 2\n9 publish 3\n9.1 ack 3\n12 recv 1\n12.5 recv 2\n"
         "13 recv 3\n",
         {"gap": 11.0, "lost": 0}, 1),
        ("recovery: from the heal to the last push acknowledged before it",
         "1 publish 1\n1.1 ack 1\n3 nemesis minority\n4 heal\n15 recv 1\n",
         {"recovery": 11.0}, 1),
        ("pushes acknowledged after the heal do not count in recovery",
         "1 nemesis x\n2 heal\n3 publish 1\n3.1 ack 1\n3.2 recv 1\n",
         {"recovery": 0.0}, 0),
    ]

    def test_cases(self):
        for what, history, want, status in self.CASES:
            with self.subTest(what):
                got = check.figures(check.read(history.splitlines()))
                for key, value in want.items():
                    self.assertAlmostEqual(got[key], value) if isinstance(value, float) else \
                        self.assertEqual(got[key], value, key)
                done = run_check(history)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertIn("lost %d," % got["lost"], done.stdout)

    def test_a_malformed_history_is_refused_with_its_line(self):
        done = run_check("1 publish 1\nnot a time\n")
        self.assertEqual(done.returncode, 2)
        self.assertIn("line 2", done.stderr)


def mqtt_packet(sock):
    first = sock.recv(1)
    if not first:
        return None, b""
    length, mult = 0, 1
    while True:
        b = sock.recv(1)[0]
        length += (b & 0x7F) * mult
        mult <<= 7
        if not b & 0x80:
            break
    body = b""
    while len(body) < length:
        body += sock.recv(length - len(body))
    return first[0], body


class Publisher(unittest.TestCase):
    """mqtt_publish.py against a broker that never acknowledges push 2 on
    its first connection: the history says timeout, then resend, and "ack 2"
    only from the second connection."""

    def test_a_timeout_is_recorded_as_one_and_resent(self):
        server = socket.create_server(("127.0.0.1", 0))
        port = server.getsockname()[1]
        connections = []

        def broker():
            for _ in range(2):
                conn, _ = server.accept()
                connections.append(conn)
                mqtt_packet(conn)  # CONNECT
                conn.sendall(b"\x20\x02\x00\x00")
                while True:
                    first, body = mqtt_packet(conn)
                    if first is None or first >> 4 == 14:
                        break
                    topic_len = struct.unpack("!H", body[:2])[0]
                    pid = body[2 + topic_len:4 + topic_len]
                    if body[4 + topic_len:] != b"2" or len(connections) == 2:
                        conn.sendall(b"\x40\x02" + pid)
                conn.close()

        threading.Thread(target=broker, daemon=True).start()
        with tempfile.TemporaryDirectory() as d:
            history = os.path.join(d, "pub.history")
            env = dict(os.environ, PUBLISH_HISTORY=history)
            subprocess.run([sys.executable, os.path.join(CLUSTER, "mqtt_publish.py"), "127.0.0.1:%d" % port,
                            "t", "1", "3", "100"], env=env, check=True, timeout=60, capture_output=True)
            with open(history) as f:
                events = [line.split()[1:] for line in f]
        server.close()
        two = [e for e, n in events if n == "2"]
        self.assertEqual(two, ["publish", "timeout", "resend", "ack"])
        self.assertEqual(sum(e == "ack" for e, _ in events), 3)


if __name__ == "__main__":
    unittest.main()
