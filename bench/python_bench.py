#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The Python package side by side with python3-cryptography doing the same
AES-CBC work (zero IV, zero completion), and with the C library called
directly into ready buffers. Prints a Markdown table.

    PYTHONPATH=build/release/python bench/python_bench.py
"""
import threading
import time

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import sealkit
from sealkit import _sealkit

KEY = bytes(range(32))
IV = bytes(16)


def rate(fn, seconds=1.0):
    """Calls per second of fn(), over about `seconds`."""
    n, start = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        for _ in range(100):
            fn()
        n += 100
    return n / elapsed


def cryptography_seal(data):
    pad = 16 - len(data) % 16
    enc = Cipher(algorithms.AES(KEY), modes.CBC(IV)).encryptor()
    return bytes([pad]) + enc.update(data + bytes(pad % 16)) + enc.finalize()


def c_direct(data, key):
    """The C call alone, from the same cffi module, into a ready buffer and
    length cell: the floor under any Python-level path."""
    ffi, lib = _sealkit.ffi, _sealkit.lib
    out = ffi.new("unsigned char[]", len(data) + 17)
    n = ffi.new("uint32_t *")
    src, k, room = ffi.from_buffer(data), key._key, len(data) + 17

    def call():
        n[0] = room
        lib.sealkit_seal(k, src, len(data), out, n)
    return call


def threads(count, data, seconds=2.0):
    """Seals per second of `count` threads, each with its own Key."""
    done = [0] * count
    stop = time.perf_counter() + seconds

    def work(i):
        with sealkit.Key("aes-cbc", KEY) as k:
            while time.perf_counter() < stop:
                k.seal(data)
                done[i] += 1
    ts = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return sum(done) / seconds


def main():
    assert sealkit.seal("aes-cbc", b"s" * 64, KEY) == cryptography_seal(b"s" * 64)
    key = sealkit.Key("aes-cbc", KEY)
    print("| work | Key.seal() | seal() | C call alone | cryptography | Key.seal() / cryptography |")
    print("|---|---|---|---|---|---|")
    for size in (64, 1024):
        data = b"s" * size
        r = [rate(fn) for fn in (lambda: key.seal(data), lambda: sealkit.seal("aes-cbc", data, KEY),
                                 c_direct(data, key), lambda: cryptography_seal(data))]
        print(f"| {size} B, calls/s | " + " | ".join(f"{x:,.0f}" for x in r) +
              f" | {r[0] / r[3]:.1f}x |")
    big = bytes(1 << 20)
    r_big = rate(lambda: key.seal(big), 2.0)
    c_big = rate(lambda: cryptography_seal(big), 2.0)
    direct = rate(c_direct(big, key), 2.0)
    print(f"| 1 MiB, calls/s | {r_big:,.0f} | | {direct:,.0f} | {c_big:,.0f} | {r_big / c_big:.2f}x |")
    one, two = threads(1, big), threads(2, big)
    print(f"\n1 MiB, 2 threads with a Key each: {two:,.0f}/s, {two / one:.2f}x one thread")


if __name__ == "__main__":
    main()
