# SPDX-License-Identifier: MIT
"""sealkit: cipher envelopes from Python, the same bytes as the C library.

An envelope is one pad-count byte, then the data completed with zero bytes
to whole cipher blocks and encrypted. Security notes, one line each:

- No integrity: a wrong key or a damaged envelope opens to garbage, no error.
- Deterministic: equal data under equal keys gives equal envelopes (zero IV).
- ECB leaks: "aes-ecb" shows which 16-byte blocks are equal.
- The built-in key is not secret: every build of the library has it.

Any buffer-protocol object (bytes, bytearray, memoryview, numpy arrays) is
taken as it is, without a copy. Results are bytearrays that the C library
wrote into, never copied (they compare equal to bytes); *_into methods
write into a buffer of the caller's. Every call releases the GIL. A Key is for one
thread at a time: use one per thread; a Key used by two threads at once gives
BusyError rather than blocking.
"""
import enum
import os as _os
import stat as _stat
import tempfile as _tempfile

from ._sealkit import ffi as _ffi
from ._sealkit import lib as _lib

__all__ = ["Cipher", "Key", "Stream", "seal", "open", "seal_file", "open_file", "Error",
           "NullError", "CapacityError", "KeyLengthError", "KeyScheduleError", "EmptyError",
           "NotEnvelopeError", "CipherError", "BusyError", "LengthError", "version"]

CHUNK = 1 << 20  # bytes per read in seal_file and open_file
_U32 = 0xFFFFFFFF


class Cipher(enum.Enum):
    """The four ciphers; their values are the names the command uses."""

    AES_ECB = "aes-ecb"
    AES_CBC = "aes-cbc"
    BUILTIN = "builtin"
    BLOWFISH = "blowfish"

    @property
    def block(self) -> int:
        return _lib.SEALKIT_BF_BLOCK if self is Cipher.BLOWFISH else _lib.SEALKIT_AES_BLOCK


_IDS = {Cipher.AES_ECB: _lib.SEALKIT_CIPHER_AES_ECB, Cipher.AES_CBC: _lib.SEALKIT_CIPHER_AES_CBC,
        Cipher.BUILTIN: _lib.SEALKIT_CIPHER_BUILTIN, Cipher.BLOWFISH: _lib.SEALKIT_CIPHER_BLOWFISH}
_ONE_SHOT = {Cipher.AES_ECB: (_lib.CRYPTO1_encrypt, _lib.CRYPTO1_decrypt),
             Cipher.AES_CBC: (_lib.CRYPTO2_encrypt, _lib.CRYPTO2_decrypt),
             Cipher.BLOWFISH: (_lib.CRYPTO3_encrypt, _lib.CRYPTO3_decrypt)}


class Error(Exception):
    """A sealkit result code other than success: .code, and its text."""

    code = 0

    def __init__(self, code=None):
        if code is not None:
            self.code = code
        self.message = _ffi.string(_lib.sealkit_strerror(self.code)).decode()
        super().__init__(f"{self.message} ({self.code})")


class NullError(Error):
    code = -1


class CapacityError(Error):
    code = -2


class KeyLengthError(Error):
    code = -3


class KeyScheduleError(Error):
    code = -4


class EmptyError(Error):
    code = -5


class NotEnvelopeError(Error):
    code = -6


class CipherError(Error):
    code = -7


class BusyError(Error):
    code = -8


class LengthError(Error):
    code = -9


_ERRORS = {c.code: c for c in Error.__subclasses__()}


def _check(rc):
    if rc != 0:
        raise _ERRORS.get(rc, Error)(rc)


def _cipher(cipher):
    if isinstance(cipher, Cipher):
        return cipher
    if isinstance(cipher, str):
        try:
            return Cipher(cipher)
        except ValueError:
            raise ValueError(f"unknown cipher {cipher!r}: one of "
                             + ", ".join(c.value for c in Cipher)) from None
    raise TypeError(f"cipher must be a Cipher or its name, not {type(cipher).__name__}")


def _in(data):
    """A pointer to data's bytes, without a copy, and their count."""
    if isinstance(data, str):
        raise TypeError("data must be a bytes-like object, not str")
    buf = _ffi.from_buffer("unsigned char[]", data)
    n = len(buf)
    if n > _U32:
        raise CapacityError()
    return buf, n


def _out(data):
    """A pointer into a writable buffer, and its capacity (at most 32 bits)."""
    try:
        buf = _ffi.from_buffer("unsigned char[]", data, require_writable=True)
    except BufferError:
        raise TypeError(f"out must be a writable buffer, not {type(data).__name__}") from None
    return buf, min(len(buf), _U32)


def _call(fn, args, capacity):
    """Runs a sealkit call into a fresh bytearray of `capacity` bytes, which
    it returns cut to the output: the output is never copied."""
    out = bytearray(max(capacity, 1))
    length = _ffi.new("uint32_t *", capacity)
    _check(fn(*args, _ffi.from_buffer("unsigned char[]", out), length))
    del out[length[0]:]
    return out


def _envelope_len(n, block):
    return (n + block - 1) // block * block + 1


def seal(cipher, data, key=None) -> bytearray:
    """Seals data into an envelope with a one-shot call (key: bytes-like, or
    None for "builtin")."""
    c = _cipher(cipher)
    src, n = _in(data)
    capacity = min(_envelope_len(n, c.block), _U32)
    if c is Cipher.BUILTIN:
        if key is not None:
            raise CipherError()
        return _call(_lib.CRYPTO_encrypt_without_key, (src, n), capacity)
    if key is None:
        raise NullError()
    k, kn = _in(key)
    return _call(_ONE_SHOT[c][0], (k, kn, src, n), capacity)


def open(cipher, envelope, key=None) -> bytearray:  # noqa: A001 (the library's word)
    """Opens an envelope with a one-shot call; the plaintext."""
    c = _cipher(cipher)
    src, n = _in(envelope)
    if c is Cipher.BUILTIN:
        if key is not None:
            raise CipherError()
        return _call(_lib.CRYPTO_decrypt_without_key, (src, n), n)
    if key is None:
        raise NullError()
    k, kn = _in(key)
    return _call(_ONE_SHOT[c][1], (k, kn, src, n), n)


class Key:
    """A cipher and key with the key schedule built once, for many calls.

    One thread at a time: a second thread's call gives BusyError. close(), or
    the end of a with block, wipes the schedule once no call uses it.
    """

    def __init__(self, cipher, key=None):
        self.cipher = _cipher(cipher)
        out = _ffi.new("sealkit_key **")
        if key is None:
            _check(_lib.sealkit_key_new(out, _IDS[self.cipher], _ffi.NULL, 0))
        else:
            k, kn = _in(key)
            _check(_lib.sealkit_key_new(out, _IDS[self.cipher], k, kn))
        self._key = _ffi.gc(out[0], _lib.sealkit_key_free)

    def _ptr(self):
        if self._key is None:
            raise ValueError("the key is closed")
        return self._key

    def close(self) -> None:
        """Wipes and frees the schedule (once no call in flight holds it)."""
        self._key = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def seal(self, data) -> bytearray:
        """As seal(), with this key."""
        k = self._ptr()
        src, n = _in(data)
        return _call(_lib.sealkit_seal, (k, src, n), min(_envelope_len(n, self.cipher.block), _U32))

    def open(self, envelope) -> bytearray:
        """As open(), with this key."""
        k = self._ptr()
        src, n = _in(envelope)
        return _call(_lib.sealkit_open, (k, src, n), n)

    def _into(self, fn, data, out) -> int:
        k = self._ptr()
        src, n = _in(data)
        dst, capacity = _out(out)
        length = _ffi.new("uint32_t *", capacity)
        _check(fn(k, src, n, dst, length))
        return length[0]

    def seal_into(self, data, out) -> int:
        """Seals data into the writable buffer `out`; the envelope's length.
        Nothing is written when it fails (CapacityError when out is short)."""
        return self._into(_lib.sealkit_seal, data, out)

    def open_into(self, envelope, out) -> int:
        """Opens an envelope into `out` (len(envelope) bytes of room); the
        plaintext's length."""
        return self._into(_lib.sealkit_open, envelope, out)

    def sealer(self, total=None) -> "Stream":
        """A stream sealing `total` bytes; None: of unknown length (see Stream)."""
        return Stream(self, _lib.SEALKIT_SEAL, total)

    def opener(self, total=None) -> "Stream":
        """A stream opening an envelope of `total` bytes; None: unknown."""
        return Stream(self, _lib.SEALKIT_OPEN, total)


class Stream:
    """Seals or opens one envelope in chunks of any size, in constant memory.

    The outputs of update() and final() joined are the one-shot result. A
    sealer of unknown length writes a placeholder first: after final(), write
    first_byte at the envelope's offset 0.
    """

    def __init__(self, key, direction, total=None):
        out = _ffi.new("sealkit_stream **")
        t = _lib.SEALKIT_TOTAL_UNKNOWN if total is None else total
        if not 0 <= t <= _U32:
            raise LengthError()
        _check(_lib.sealkit_stream_new(out, key._ptr(), direction, t))
        self._s = _ffi.gc(out[0], _lib.sealkit_stream_free)

    def update(self, data) -> bytearray:
        src, n = _in(data)
        return _call(_lib.sealkit_stream_update, (self._s, src, n), n + 16)

    def final(self) -> bytearray:
        return _call(_lib.sealkit_stream_final, (self._s,), 16)

    @property
    def first_byte(self) -> int:
        """A sealer's pad-count byte, once final() succeeded."""
        b = _ffi.new("unsigned char *")
        _check(_lib.sealkit_stream_first_byte(self._s, b))
        return b[0]


def _size(f):
    """A file object's remaining size when it is a regular file, else None."""
    try:
        st = _os.fstat(f.fileno())
        if not _stat.S_ISREG(st.st_mode):
            return None
        return st.st_size - f.tell()
    except (AttributeError, OSError, ValueError):
        return None


def seal_file(key, src, dst) -> None:
    """Seals the binary file object src into dst, in 1 MiB chunks. When src's
    length is unknown (a pipe), dst gets the pad-count byte last: in place if
    it can seek, else through a temporary file of ciphertext."""
    total = _size(src)
    s = key.sealer(total)
    if total is not None:
        _pump(s, src, dst)
        return
    if dst.seekable():
        start = dst.tell()
        _pump(s, src, dst)
        end = dst.tell()
        dst.seek(start)
        dst.write(bytes([s.first_byte]))
        dst.seek(end)
        return
    with _tempfile.TemporaryFile() as spool:
        _pump(s, src, spool)
        spool.seek(0)
        spool.write(bytes([s.first_byte]))
        spool.seek(0)
        while chunk := spool.read(CHUNK):
            dst.write(chunk)


def open_file(key, src, dst) -> None:
    """Opens the envelope in the binary file object src into dst, in 1 MiB
    chunks."""
    _pump(key.opener(_size(src)), src, dst)


def _pump(stream, src, dst):
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    while n := src.readinto(buf):
        dst.write(stream.update(view[:n]))
    dst.write(stream.final())


def version() -> str:
    """The C library's version."""
    return _ffi.string(_lib.sealkit_version()).decode()
