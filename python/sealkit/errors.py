# SPDX-License-Identifier: MIT
"""sealkit's exceptions.

Every failure raises a subclass of Error: one per C result code, made here
from the C library's own table of results (its name in words gives the
class name: "key_length" is KeyLengthError), and two for this package's own
checks, whose .code is 0. Those about a wrong value also subclass
ValueError. The package re-exports them all, so sealkit.KeyLengthError and
sealkit.errors.KeyLengthError are one class.
"""
from ._sealkit import ffi as _ffi
from ._sealkit import lib as _lib


class Error(Exception):
    """A failed call: .code (the C result code; 0 for this package's own
    checks) and .message."""

    code = 0

    def __init__(self, code=None, message=None):
        if code is not None:
            self.code = code
        if message is None:
            message = _ffi.string(_lib.sealkit_strerror(self.code)).decode()
        self.message = message
        super().__init__(f"{message} ({self.code})" if self.code else message)

    # The arguments that make it again, so that an error crosses a process
    # boundary (multiprocessing, concurrent.futures) as itself.
    def __reduce__(self):
        return type(self), (self.code, self.message)


class StateError(Error, ValueError):
    """A closed Key or Stream, or a stream used out of order."""


class BufferLayoutError(Error, BufferError):
    """A buffer that is not one contiguous block of memory, or an output
    that overlaps the input."""


# The results that say a value the caller gave is wrong, by the library's
# names for them: these errors are ValueErrors as well.
_VALUE_ERRORS = {"key_length", "empty", "not_envelope", "cipher", "length"}

# Result code -> class, for every failure the library lists.
BY_CODE = {}

__all__ = ["Error", "StateError", "BufferLayoutError"]


def _result_classes():
    for i in range(1 << 8):
        r = _lib.sealkit_result_at(i)
        if r == _ffi.NULL:
            return
        if r.code == 0:
            continue
        name = _ffi.string(r.name).decode()
        text = _ffi.string(r.text).decode()
        bases = (Error, ValueError) if name in _VALUE_ERRORS else (Error,)
        cls_name = "".join(word.capitalize() for word in name.split("_")) + "Error"
        yield type(cls_name, bases, {"code": r.code, "__doc__": text[0].upper() + text[1:] + ".",
                                     "__module__": __name__})


for _cls in _result_classes():
    globals()[_cls.__name__] = _cls
    BY_CODE[_cls.code] = _cls
    __all__.append(_cls.__name__)
del _cls


def check(rc):
    """Raises the error of a non-zero result code."""
    if rc != 0:
        raise BY_CODE.get(rc, Error)(rc)
