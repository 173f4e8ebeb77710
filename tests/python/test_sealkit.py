# SPDX-License-Identifier: MIT
"""The Python package against an independent AES (python3-cryptography),
published vectors, its error contract, buffers and threads."""
import array
import io
import pickle
import threading
import time
import tracemalloc

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher as CCipher, algorithms, modes
from hypothesis import given, settings, strategies as st

import sealkit


def reference(mode, key, data):
    """The envelope by another implementation: zero completion, zero IV."""
    aes_key = key[:32] if len(key) >= 32 else key[:24] if len(key) >= 24 else key[:16]
    pad = 16 - len(data) % 16
    m = modes.ECB() if mode == "aes-ecb" else modes.CBC(bytes(16))
    enc = CCipher(algorithms.AES(aes_key), m).encryptor()
    return bytes([pad]) + enc.update(data + bytes(pad % 16)) + enc.finalize()


def chunked(stream, data, cuts):
    out = b""
    at = 0
    for cut in sorted(c % (len(data) + 1) for c in cuts) + [len(data)]:
        out += stream.update(memoryview(data)[at:cut])
        at = cut
    return out + stream.final()


@settings(max_examples=300, deadline=None)
@given(mode=st.sampled_from(["aes-ecb", "aes-cbc"]), key=st.binary(min_size=16, max_size=40),
       data=st.binary(min_size=1, max_size=600), cuts=st.lists(st.integers(0, 600), max_size=6),
       unknown=st.booleans())
def test_aes_matches_an_independent_implementation(mode, key, data, cuts, unknown):
    expect = reference(mode, key, data)
    assert sealkit.seal(mode, data, key) == expect
    assert sealkit.open(mode, expect, key) == data
    with sealkit.Key(sealkit.Cipher(mode), bytearray(key)) as k:
        assert k.seal(data) == expect
        s = k.sealer(None if unknown else len(data))
        env = chunked(s, data, cuts)
        assert bytes([s.first_byte]) + env[1:] == expect
        assert chunked(k.opener(None if unknown else len(expect)), expect, cuts) == data


# Blowfish: Eric Young's CBC chaining test in zero-IV form (29 bytes, pad 3).
# Built-in key: AES-256-CBC under it, from FIPS-197's key expansion of the
# pinned key (the C tests pin the same hex).
BUILTIN_KEY = bytes.fromhex("9d3c75b9780d956c0d31c8c56dbc6529d8fd85ac3d4128f57d3c955938adf5ec")
VECTORS = [
    ("blowfish", bytes.fromhex("0123456789ABCDEFF0E1D2C3B4A59687"),
     bytes.fromhex("C9EA8FAC456603304E6F77206973207468652074696D6520666F722000"),
     bytes.fromhex("036B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC")),
    ("builtin", None, b"the built-in key is not secret",
     reference("aes-cbc", BUILTIN_KEY, b"the built-in key is not secret")),
]


@pytest.mark.parametrize("cipher,key,plain,envelope", VECTORS)
def test_blowfish_and_builtin_vectors(cipher, key, plain, envelope):
    assert sealkit.seal(cipher, plain, key) == envelope
    assert sealkit.open(cipher, envelope, key) == plain
    with sealkit.Key(cipher, key) as k:
        assert k.open(k.seal(plain)) == plain


KEY = bytes(range(16))
ERRORS = [  # (call, exception): every result code, through each interface
    (lambda: sealkit.seal("aes-cbc", b"x", None), sealkit.NullError),
    (lambda: sealkit.Key("aes-cbc", KEY).seal_into(b"x" * 16, bytearray(16)), sealkit.CapacityError),
    (lambda: sealkit.seal("blowfish", b"x", KEY[:15]), sealkit.KeyLengthError),
    (lambda: sealkit.Key("aes-ecb", b"k" * 15), sealkit.KeyLengthError),
    (lambda: sealkit.seal("aes-ecb", b"", KEY), sealkit.EmptyError),
    (lambda: sealkit.open("aes-cbc", b"x" * 18, KEY), sealkit.NotEnvelopeError),
    (lambda: sealkit.Key("builtin").opener().final(), sealkit.NotEnvelopeError),
    (lambda: sealkit.seal("builtin", b"x", KEY), sealkit.CipherError),
    (lambda: sealkit.Key("aes-cbc", KEY).sealer(3).final(), sealkit.LengthError),
    (lambda: sealkit.Key("aes-cbc", KEY).sealer(1 << 32), sealkit.LengthError),
    # The edges of a total: the first one too large for 32 bits, and the
    # largest 32-bit one, whose envelope does not fit in 32 bits.
    (lambda: sealkit.Key("aes-cbc", KEY).sealer(0xFFFFFFFF), sealkit.LengthError),
    (lambda: sealkit.Key("aes-cbc", KEY).sealer(-1), sealkit.LengthError),
    (lambda: sealkit.Key("aes-cbc", KEY).sealer(0xFFFFFFFE), sealkit.CapacityError),
    (lambda: sealkit.Key("aes-cbc", KEY).sealer().first_byte, sealkit.StateError),
    (lambda: sealkit.Key("aes-cbc", KEY).opener(17).first_byte, sealkit.StateError),
    (lambda: finished(sealkit.Key("aes-cbc", KEY).sealer()).update(b"x"), sealkit.StateError),
    (lambda: finished(sealkit.Key("aes-cbc", KEY).sealer()).final(), sealkit.StateError),
    (lambda: closed(sealkit.Key("aes-cbc", KEY)).seal(b"x"), sealkit.StateError),
    (lambda: closed(sealkit.Key("aes-cbc", KEY).sealer()).update(b"x"), sealkit.StateError),
    (lambda: sealkit.seal("aes-cbc", memoryview(bytes(64))[::2], KEY), sealkit.BufferLayoutError),
]


def finished(stream):
    stream.update(b"x")
    stream.final()
    return stream


def closed(thing):
    thing.close()
    return thing


@pytest.mark.parametrize("call,error", ERRORS)
def test_errors_carry_their_code_and_text(call, error):
    with pytest.raises(error) as e:
        call()
    assert isinstance(e.value, sealkit.Error)
    assert e.value.code == error.code and e.value.message in str(e.value)
    assert "NULL" not in e.value.message  # the C text only where it is the right one


def test_each_library_result_has_its_class_which_crosses_processes():
    assert len(sealkit.errors.BY_CODE) == 9
    for code, cls in sealkit.errors.BY_CODE.items():
        assert getattr(sealkit, cls.__name__) is cls and cls.code == code
        again = pickle.loads(pickle.dumps(cls(code)))
        assert type(again) is cls and again.code == code and str(again) == str(cls(code))


def test_failures_write_nothing_and_wrong_types_are_type_errors():
    out = bytearray(b"\xee" * 16)
    with sealkit.Key("aes-cbc", KEY) as k:
        with pytest.raises(sealkit.CapacityError):
            k.seal_into(b"y" * 16, out)  # needs 17
        with pytest.raises(sealkit.NotEnvelopeError):
            k.open_into(b"\x05", out)  # a pad count larger than the blocks
        assert out == b"\xee" * 16
        for bad in ("text", 5, None, [1, 2]):
            with pytest.raises(TypeError):
                k.seal(bad)
        with pytest.raises(TypeError):
            k.seal_into(b"x", b"read-only output")
    with pytest.raises(TypeError, match="^key must"):
        sealkit.seal("aes-cbc", b"abc", "k" * 32)
    with pytest.raises(TypeError, match="sealkit.Key"):
        sealkit.seal_file("aes-cbc", io.BytesIO(b"x"), io.BytesIO())
    with pytest.raises(ValueError):
        sealkit.seal("des", b"x", KEY)
    with pytest.raises(ValueError):
        k.seal(b"x")  # closed


def test_buffers_are_used_in_place():
    big = bytearray(64 << 20)
    out = bytearray(len(big) + 16)
    with sealkit.Key("aes-cbc", KEY) as k:
        tracemalloc.start()
        n = k.seal_into(memoryview(big), out)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert n == len(big) + 1 and peak < (1 << 20)
        assert k.seal(array.array("I", [1, 2, 3, 4])) == k.seal(bytes(array.array("I", [1, 2, 3, 4])))


def test_two_threads_on_one_key_get_right_bytes_or_busy():
    big = bytes(32 << 20)  # one thread holds the key in long calls
    want = sealkit.seal("aes-cbc", big, KEY)
    small = sealkit.seal("aes-cbc", b"z" * 20, KEY)
    results = {"busy": 0, "wrong": 0, "long": []}

    def contend(k):
        """Calls beside the long ones until one was refused as busy (60 s at most)."""
        deadline = time.monotonic() + 60
        while not results["busy"] and time.monotonic() < deadline:
            out = bytearray(b"\xee" * 33)
            try:
                if k.seal_into(b"z" * 20, out) != 33 or out != small:
                    results["wrong"] += 1
            except sealkit.BusyError:
                results["busy"] += 1
                results["wrong"] += out != b"\xee" * 33

    def long_calls(k, stop):
        # Long calls over and over, so that the other thread meets one
        # however the two are scheduled; closing the key ends them.
        while not stop.is_set():
            try:
                results["long"].append(k.seal(big))
            except sealkit.BusyError:
                continue  # the other thread's short call held it: go again
            except sealkit.StateError:
                return

    with sealkit.Key("aes-cbc", KEY) as k:
        stop = threading.Event()
        t = threading.Thread(target=long_calls, args=(k, stop))
        t.start()
        contend(k)
        stop.set()
        t.join()
    assert results["wrong"] == 0 and results["busy"] > 0
    # close() while a long call is in flight: that call finishes with right bytes.
    results.update(busy=0, long=[])
    k = sealkit.Key("aes-cbc", KEY)
    t = threading.Thread(target=long_calls, args=(k, threading.Event()))
    t.start()
    contend(k)
    k.close()
    t.join()
    assert results["busy"] and results["long"] and all(b == want for b in results["long"])


@pytest.mark.parametrize("seekable", [True, False])
def test_files_of_unknown_length(seekable):
    data = bytes(range(256)) * 9000  # over two chunks

    class Pipe(io.RawIOBase):  # no fileno: its length is unknown
        def __init__(self, b):
            self.b = io.BytesIO(b)

        def readinto(self, buf):
            return self.b.readinto(buf)

        def readable(self):
            return True

    class Sink(io.BytesIO):
        def seekable(self):
            return seekable

    with sealkit.Key("blowfish", KEY) as k:
        env, back = Sink(), io.BytesIO()
        sealkit.seal_file(k, Pipe(data), env)
        assert env.getvalue() == sealkit.seal("blowfish", data, KEY)
        sealkit.open_file(k, Pipe(env.getvalue()), back)
        assert back.getvalue() == data


def test_hostile_two_threads_on_one_stream_get_busy_not_a_crash():
    """1 MiB + 15 byte chunks from two threads on one sealer overran the C
    stream's buffer before streams had a busy flag."""
    chunk = bytes(range(256)) * 4096 + b"x" * 15
    taken, busy = [], []

    def feed(s, start):
        start.wait()
        for _ in range(200):
            try:
                taken.append(len(s.update(chunk)))
            except sealkit.BusyError:
                busy.append(1)
            if len(taken) + len(busy) >= 20 and busy:
                return

    with sealkit.Key("aes-cbc", KEY) as k, k.sealer() as s:
        start = threading.Barrier(2)
        threads = [threading.Thread(target=feed, args=(s, start)) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        last = s.final()
    # Every update taken whole, none half: exactly one envelope's bytes.
    n = len(chunk) * len(taken)
    assert sum(taken) + len(last) == (n + 15) // 16 * 16 + 1
    assert busy


# Each `out` shares memory with the input, b[32:64] sealing and an
# envelope at b[100:133] opening: from inside it, by one byte at either end,
# or from before it (as far back as the input is long), with room enough
# for the output.
OVERLAPS = [(-16, None), (-1, None), (0, None), (1, None), (16, None), (31, None), (32, None),
            (-30, 1), (-8, 40), (-20, 33), (-32, None), (-32, 1), (-32, 33)]


@pytest.mark.parametrize("start,end", OVERLAPS)
@pytest.mark.parametrize("cipher", ["aes-cbc", "blowfish"])
def test_hostile_overlapping_into_buffers_are_refused(cipher, start, end):
    with sealkit.Key(cipher, KEY) as k:
        b = bytearray(range(256))
        view = memoryview(b)
        env = k.seal(bytes(view[32:64]))
        b[100:100 + len(env)] = env
        before = bytes(b)
        for data, at, n in ((view[32:64], 32, 32), (view[100:100 + len(env)], 100, len(env))):
            if start >= n:
                continue
            out = view[at + start:None if end is None else at + end]
            into = k.seal_into if at == 32 else k.open_into
            with pytest.raises(sealkit.BufferLayoutError, match="overlaps"):
                into(data, out)
            assert b == before  # nothing written
        # Right beside it, on either side, is fine, and right.
        assert k.seal_into(view[0:32], view[32:]) == 33 and b[32:65] == k.seal(bytes(range(32)))
        assert k.seal_into(view[200:216], view[183:200]) == 17
        assert b[183:200] == k.seal(bytes(range(200, 216)))


@pytest.mark.parametrize("cipher", ["aes-ecb", "aes-cbc", "builtin", "blowfish"])
def test_one_shot_envelopes_are_sized_by_the_ciphers_block(cipher):
    key = None if cipher == "builtin" else KEY
    block = 8 if cipher == "blowfish" else 16
    with sealkit.Key(cipher, key) as k:
        with pytest.raises(sealkit.EmptyError):
            sealkit.seal(cipher, b"", key)
        for n in range(1, 41):
            data = bytes(range(n))
            env = sealkit.seal(cipher, data, key)
            assert len(env) == (n + block - 1) // block * block + 1, n
            assert env == k.seal(data), n
            assert sealkit.open(cipher, env, key)[:n] == data, n
