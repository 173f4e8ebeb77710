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


def c_direct(data):
    """The C one-shot call into a ready buffer: the library's own speed."""
    ffi, lib = _sealkit.ffi, _sealkit.lib
    out = ffi.new("unsigned char[]", len(data) + 17)
    n = ffi.new("uint32_t *")
    src, key = ffi.from_buffer(data), ffi.from_buffer(KEY)

    def call():
        n[0] = len(data) + 17
        lib.sealkit_crypt(lib.sealkit_cipher_at(1).id, lib.SEALKIT_SEAL, key, 32, src, len(data), out, n)
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
    small, big = b"s" * 64, bytes(1 << 20)
    assert sealkit.seal("aes-cbc", small, KEY) == cryptography_seal(small)
    key = sealkit.Key("aes-cbc", KEY)
    rows = []
    c_small = rate(lambda: cryptography_seal(small))
    for name, fn in (("seal()", lambda: sealkit.seal("aes-cbc", small, KEY)),
                     ("Key.seal()", lambda: key.seal(small))):
        r = rate(fn)
        rows.append((f"64 B, {name}", f"{r:,.0f}/s", f"{c_small:,.0f}/s", f"{r / c_small:.2f}x"))
    r_big = rate(lambda: key.seal(big), 2.0)
    c_big = rate(lambda: cryptography_seal(big), 2.0)
    direct = rate(c_direct(big), 2.0)
    rows.append(("1 MiB, Key.seal()", f"{r_big:,.0f}/s", f"{c_big:,.0f}/s", f"{r_big / c_big:.2f}x"))
    rows.append(("1 MiB, C call direct", f"{direct:,.0f}/s", "", f"Key.seal at {direct / r_big:.3f}x its time"))
    one, two = threads(1, big), threads(2, big)
    rows.append(("1 MiB, 2 threads, 2 Keys", f"{two:,.0f}/s", "", f"{two / one:.2f}x one thread"))
    print("| work | sealkit | cryptography | ratio |")
    print("|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
