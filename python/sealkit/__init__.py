# SPDX-License-Identifier: MIT
"""sealkit: cipher envelopes from Python, the same bytes as the C library.

An envelope is one pad-count byte, then the data completed with zero bytes
to whole cipher blocks and encrypted:

>>> import sealkit
>>> key = bytes(range(32))                     # 32 bytes: AES-256
>>> env = sealkit.seal("aes-cbc", b"a record", key)
>>> len(env), env[0]                           # one block, 8 pad bytes
(17, 8)
>>> sealkit.open("aes-cbc", env, key)
bytearray(b'a record')

Security notes, one line each:

- No integrity: a wrong key or a damaged envelope opens to garbage, no error.
- Deterministic: equal data under equal keys gives equal envelopes (zero IV).
- ECB leaks: "aes-ecb" shows which 16-byte blocks are equal.
- The built-in key is not secret: every build of the library has it.

Any buffer-protocol object (bytes, bytearray, memoryview, numpy arrays) is
taken as it is, without a copy. Results are bytearrays that the C library
wrote into, never copied (they compare equal to bytes); *_into methods
write into a buffer of the caller's. Every call releases the GIL. A Key is
for one thread at a time: use one per thread; a Key used by two threads at
once gives BusyError rather than blocking.

Every failure raises a subclass of Error (wrong argument types raise
TypeError), from sealkit.errors: one per C result code, with .code and the
C library's text --
NullError, CapacityError, KeyLengthError, KeyScheduleError, EmptyError,
NotEnvelopeError, CipherError, BusyError, LengthError -- and, for this
package's own checks (.code 0), StateError (a closed Key or Stream, a
stream used out of order) and BufferLayoutError (a buffer that is not one
contiguous block, or an out that overlaps the input). Those about a wrong
value also subclass ValueError. A Stream, like a Key, is for one thread at a
time: a second thread's call gives BusyError and leaves it as it was.
"""
import enum
import os as _os
import stat as _stat
import tempfile as _tempfile

from ._sealkit import ffi as _ffi
from ._sealkit import lib as _lib
from . import errors
from .errors import *  # noqa: F401,F403 (every error class, as sealkit.NameError)
from .errors import check as _check

# The error classes stay out of __all__ so that help(sealkit) stays short:
# each would repeat Exception's whole page. The docstring above lists them.
__all__ = ["Cipher", "Key", "Stream", "seal", "open", "seal_file", "open_file", "Error",
           "version", "__version__"]

CHUNK = 1 << 20  # bytes per read in seal_file and open_file
_U32 = 0xFFFFFFFF


# The C library's ciphers, in its order: name -> record.
_INFO = {}
for _i in range(1 << 8):
    if (_c := _lib.sealkit_cipher_at(_i)) == _ffi.NULL:
        break
    _INFO[_ffi.string(_c.name).decode()] = _c
del _i, _c


class Cipher(enum.Enum):
    """The C library's ciphers; their values are the names the command uses."""

    _ignore_ = ["_n"]
    for _n in _INFO:
        vars()[_n.upper().replace("-", "_")] = _n

    @property
    def block(self) -> int:
        return _INFO[self.value].block


_NAMES = ", ".join(_INFO)

# What a call needs of a cipher, by its name and by its Cipher member:
# (library id, block size, whether it takes a key, member).
_CIPHERS = {}
for _c in Cipher:
    _CIPHERS[_c] = _CIPHERS[_c.value] = (_INFO[_c.value].id, _INFO[_c.value].block,
                                         _INFO[_c.value].min_key_len > 0, _c)
del _c

# The hot paths' names, bound once: each is a global lookup rather than an
# attribute lookup on every call.
_from_buffer = _ffi.from_buffer
_NULL = _ffi.NULL
_key_call = _lib.py_key_call
_crypt = _lib.py_crypt
_SEAL, _OPEN = _lib.SEALKIT_SEAL, _lib.SEALKIT_OPEN
_OVERLAP = _lib.PY_OVERLAP
_BY_CODE = errors.BY_CODE
_EXTRA = _lib.SEALKIT_STREAM_EXTRA


def _fail(r):
    """Raises the error of a helper's negative result."""
    if r == _OVERLAP:
        raise BufferLayoutError(message="out overlaps the input: give out memory of its own")
    raise _BY_CODE.get(r, Error)(r)


def _cipher(cipher):
    """The cipher's record (see _CIPHERS); an error for anything else."""
    try:
        return _CIPHERS[cipher]
    except (KeyError, TypeError):
        pass
    if isinstance(cipher, str):
        raise CipherError(message=f"unknown cipher {cipher!r}: one of {_NAMES}") from None
    raise TypeError(f"cipher must be a Cipher or its name, not {type(cipher).__name__}")


def _key(c, key):
    """The key's pointer and length for cipher record c ((NULL, 0) for
    "builtin"), checked."""
    if not c[2]:
        if key is not None:
            raise CipherError(message=f'"{c[3].value}" uses the library\'s own key: call it '
                                      f'without one')
        return _NULL, 0
    if key is None:
        raise NullError(message=f"{c[3].value} needs a key: pass its bytes "
                                f"({_INFO[c[3].value].min_key_len} or more) as key")
    return _in(key, "key")


def _in(data, name="data"):
    """A pointer to data's bytes, without a copy, and their count. bytes go
    as they are: cffi passes a pointer into them."""
    if type(data) is bytes:
        n = len(data)
        buf = data
    elif isinstance(data, str):
        raise TypeError(f"{name} must be a bytes-like object, not str")
    else:
        try:
            buf = _from_buffer(data)
        except TypeError:
            raise TypeError(f"{name} must be a bytes-like object, not {type(data).__name__}") from None
        except BufferError as e:
            raise BufferLayoutError(message=f"{name}: {e}") from None
        n = len(buf)
    if n > _U32:
        raise CapacityError()
    return buf, n


def _out(data):
    """A pointer into a writable buffer, and its capacity (at most 32 bits)."""
    try:
        buf = _from_buffer(data, require_writable=True)
    except (BufferError, TypeError):
        raise TypeError(f"out must be a writable buffer, not {type(data).__name__}") from None
    return buf, min(len(buf), _U32)


def _envelope_len(n, b):
    """The envelope length of n bytes in blocks of b; CapacityError when it
    has no 32-bit value (no envelope then exists)."""
    room = (n + b - 1) // b * b + 1
    if room > _U32:
        raise CapacityError()
    return room


def seal(cipher, data, key=None) -> bytearray:
    """Seals data into an envelope with a one-shot call (key: bytes-like, or
    None for "builtin")."""
    c = _cipher(cipher)
    src, n = _in(data)
    k, kn = _key(c, key)
    room = _envelope_len(n, c[1])
    out = bytearray(room)
    r = _crypt(c[0], _SEAL, k, kn, src, n, _from_buffer(out), room)
    if r < 0:
        _fail(r)
    return out


def open(cipher, envelope, key=None) -> bytearray:  # noqa: A001 (the library's word)
    """Opens an envelope with a one-shot call; the plaintext."""
    c = _cipher(cipher)
    src, n = _in(envelope, "envelope")
    k, kn = _key(c, key)
    out = bytearray(n or 1)
    r = _crypt(c[0], _OPEN, k, kn, src, n, _from_buffer(out), n)
    if r < 0:
        _fail(r)
    del out[r:]
    return out


class Key:
    """A cipher and key with the key schedule built once, for many calls.

    One thread at a time: a second thread's call gives BusyError. close(), or
    the end of a with block, wipes the schedule once no call uses it.
    """

    def __init__(self, cipher, key=None):
        c = _cipher(cipher)
        self.cipher = c[3]
        self._block = c[1]
        out = _ffi.new("sealkit_key **")
        k, kn = _key(c, key)
        _check(_lib.sealkit_key_new(out, c[0], k, kn))
        self._key = _ffi.gc(out[0], _lib.sealkit_key_free)

    def _ptr(self):
        if self._key is None:
            raise StateError(message="the Key is closed: make a new one")
        return self._key

    def close(self) -> None:
        """Wipes and frees the schedule (once no call in flight holds it)."""
        self._key = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # seal and open are the hot paths: each makes one call into the C
    # library, and every check that guards memory stays (the helper's).
    def seal(self, data) -> bytearray:
        """As seal(), with this key."""
        k = self._key
        if k is None:
            self._ptr()
        if type(data) is bytes:  # longer than 32 bits: no room below
            src, n = data, len(data)
        else:
            src, n = _in(data)
        b = self._block
        room = (n + b - 1) // b * b + 1
        if room > _U32:
            raise CapacityError()
        out = bytearray(room)
        r = _key_call(k, 1, src, n, _from_buffer(out), room)
        if r < 0:
            _fail(r)
        return out

    def open(self, envelope) -> bytearray:
        """As open(), with this key."""
        k = self._key
        if k is None:
            self._ptr()
        if type(envelope) is bytes and len(envelope) <= _U32:
            src, n = envelope, len(envelope)
        else:
            src, n = _in(envelope, "envelope")
        out = bytearray(n or 1)
        r = _key_call(k, 0, src, n, _from_buffer(out), n)
        if r < 0:
            _fail(r)
        del out[r:]
        return out

    def _into(self, sealing, data, out) -> int:
        k = self._ptr()
        src, n = _in(data)
        dst, room = _out(out)
        # The library reads its input while it writes: the helper refuses an
        # out that overlaps the input, which would give wrong bytes and no error.
        r = _key_call(k, sealing, src, n, dst, room)
        if r < 0:
            _fail(r)
        return r

    def seal_into(self, data, out) -> int:
        """Seals data into the writable buffer `out`; the envelope's length.
        Nothing is written when it fails (CapacityError when out is short)."""
        return self._into(1, data, out)

    def open_into(self, envelope, out) -> int:
        """Opens an envelope into `out` (len(envelope) bytes of room); the
        plaintext's length."""
        return self._into(0, envelope, out)

    def sealer(self, total=None) -> "Stream":
        """A stream sealing `total` bytes; None: of unknown length (see Stream)."""
        return Stream(self, "seal", total)

    def opener(self, total=None) -> "Stream":
        """A stream opening an envelope of `total` bytes; None: unknown."""
        return Stream(self, "open", total)


class Stream:
    """Seals or opens one envelope in chunks of any size, in constant memory.

    Stream(key, "seal" or "open", total=None), or key.sealer() and
    key.opener(). `total` is the plaintext length when sealing, the
    envelope length when opening; None when unknown. The outputs of update()
    and final() joined are the one-shot result. A sealer of unknown length
    writes a placeholder first: after final(), write first_byte at the
    envelope's offset 0. close(), or the end of a with block, wipes it.
    """

    _DIRECTIONS = {"seal": _lib.SEALKIT_SEAL, "open": _lib.SEALKIT_OPEN}

    def __init__(self, key, direction, total=None):
        if not isinstance(key, Key):
            raise TypeError(f"key must be a sealkit.Key, not {type(key).__name__}")
        if direction not in self._DIRECTIONS:
            raise TypeError(f"direction must be 'seal' or 'open', not {direction!r}")
        if total is not None and not (isinstance(total, int) and 0 <= total < _U32):
            raise LengthError(message=f"total must be 0 to {_U32 - 1} bytes, or None when "
                                      f"unknown, not {total!r}")
        out = _ffi.new("sealkit_stream **")
        t = _lib.SEALKIT_TOTAL_UNKNOWN if total is None else total
        _check(_lib.sealkit_stream_new(out, key._ptr(), self._DIRECTIONS[direction], t))
        self._s = _ffi.gc(out[0], _lib.sealkit_stream_free)
        self._sealing = direction == "seal"
        self._finished = False

    def _ptr(self, what):
        if self._s is None:
            raise StateError(message=f"{what}: the stream is closed")
        if self._finished:
            raise StateError(message=f"{what}: the stream is finished; make a new one")
        return self._s

    def update(self, data) -> bytearray:
        """The output for the next chunk of input."""
        s = self._ptr("update()")
        src, n = _in(data)
        room = n + _EXTRA
        out = bytearray(room)
        r = _lib.py_stream_update(s, src, n, _from_buffer(out), min(room, _U32))
        if r < 0:
            _fail(r)
        del out[r:]
        return out

    def final(self) -> bytearray:
        """The output's last bytes; checks the length (and when opening, the
        pad count). The stream is finished after it, failed or not."""
        s = self._ptr("final()")
        self._finished = True
        out = bytearray(_EXTRA)
        r = _lib.py_stream_final(s, _from_buffer(out), _EXTRA)
        if r < 0:
            _fail(r)
        del out[r:]
        return out

    @property
    def first_byte(self) -> int:
        """A sealer's pad-count byte, once final() succeeded."""
        if not self._sealing:
            raise StateError(message="first_byte: only a sealer has one")
        if self._s is None or not self._finished:
            raise StateError(message="first_byte is known only after final()")
        b = _ffi.new("unsigned char *")
        _check(_lib.sealkit_stream_first_byte(self._s, b))
        return b[0]

    def close(self) -> None:
        """Wipes and frees the stream."""
        self._s = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


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
    _file_key(key, "seal_file")
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
    _file_key(key, "open_file")
    _pump(key.opener(_size(src)), src, dst)


def _file_key(key, fn):
    if not isinstance(key, Key):
        raise TypeError(f"{fn} takes a sealkit.Key, such as Key(\"aes-cbc\", key_bytes), "
                        f"not {type(key).__name__}")


def _pump(stream, src, dst):
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    while n := src.readinto(buf):
        dst.write(stream.update(view[:n]))
    dst.write(stream.final())


def version() -> str:
    """The C library's version."""
    return _ffi.string(_lib.sealkit_version()).decode()


__version__ = version()
