# SPDX-License-Identifier: MIT
"""Builds sealkit._sealkit, the C extension of the sealkit package (cffi,
out-of-line API mode).

With SEALKIT_STATIC_LIB and SEALKIT_INCLUDE_DIR set (as CMake does), it links
that static library; otherwise (pip) it compiles the library's source from
this checkout. Either way the extension needs libcrypto alone.

    python3 sealkit_build.py OUTDIR    # writes OUTDIR/sealkit/_sealkit*.so
"""
import os
import sys

import cffi

HERE = os.path.dirname(os.path.abspath(__file__))

# The parts of sealkit.h the package calls; the compiler checks them against
# the header itself when the extension is built.
CDEF = """
#define SEALKIT_TOTAL_UNKNOWN ...
#define SEALKIT_SEAL ...
#define SEALKIT_OPEN ...
#define SEALKIT_STREAM_EXTRA ...
typedef int... sealkit_cipher;
typedef int... sealkit_direction;
typedef struct sealkit_key sealkit_key;
typedef struct sealkit_stream sealkit_stream;
typedef struct { const char *name; sealkit_cipher id; uint32_t block; uint32_t min_key_len; ...; }
    sealkit_cipher_info;
typedef struct { int code; const char *name; const char *text; ...; } sealkit_result_info;

uint64_t sealkit_envelope_len(uint64_t, uint32_t);
const sealkit_cipher_info *sealkit_cipher_at(uint32_t);
const sealkit_result_info *sealkit_result_at(uint32_t);
int sealkit_crypt(sealkit_cipher, sealkit_direction, const unsigned char *, uint32_t,
                  const unsigned char *, uint32_t, unsigned char *, uint32_t *);

int sealkit_key_new(sealkit_key **, sealkit_cipher, const unsigned char *, uint32_t);
void sealkit_key_free(sealkit_key *);
int sealkit_seal(sealkit_key *, const unsigned char *, uint32_t, unsigned char *, uint32_t *);
int sealkit_open(sealkit_key *, const unsigned char *, uint32_t, unsigned char *, uint32_t *);

int sealkit_stream_new(sealkit_stream **, sealkit_key *, sealkit_direction, uint32_t);
int sealkit_stream_update(sealkit_stream *, const unsigned char *, uint32_t, unsigned char *,
                          uint32_t *);
int sealkit_stream_final(sealkit_stream *, unsigned char *, uint32_t *);
int sealkit_stream_first_byte(const sealkit_stream *, unsigned char *);
void sealkit_stream_free(sealkit_stream *);

const char *sealkit_strerror(int);
const char *sealkit_version(void);

#define PY_OVERLAP ...
int64_t py_key_call(sealkit_key *, int, const void *, uint32_t, void *, uint32_t);
int64_t py_crypt(sealkit_cipher, sealkit_direction, const void *, uint32_t, const void *, uint32_t,
                 void *, uint32_t);
int64_t py_stream_update(sealkit_stream *, const void *, uint32_t, void *, uint32_t);
int64_t py_stream_final(sealkit_stream *, void *, uint32_t);
"""

# The package's hot paths, one C call each. The output's room goes in by
# value and the length written comes back as the result (a negative one is
# the result code), so a call needs no length cell: none to allocate, and
# none shared between threads that misuse one Key. The overlap check, which
# guards memory, is here too, where it costs nothing.
HELPERS = """
#include "sealkit.h"

#define PY_OVERLAP (-1000) /* out shares memory with the input */

static int overlaps(const void *src, uint32_t n, const void *dst, uint32_t room) {
    const uintptr_t a = (uintptr_t)src, b = (uintptr_t)dst;
    return n > 0 && room > 0 && a < b + room && b < a + n;
}

/* Called with the result of a call that wrote *len: an argument list's
 * order of evaluation is not fixed, so the length is read through its
 * pointer after the call. */
static int64_t py_result(int rc, const uint32_t *len) {
    return rc != SEALKIT_OK ? (int64_t)rc : (int64_t)*len;
}

static int64_t py_key_call(sealkit_key *k, int sealing, const void *src, uint32_t n, void *dst,
                           uint32_t room) {
    uint32_t len = room;
    if (overlaps(src, n, dst, room)) return PY_OVERLAP;
    return py_result(sealing ? sealkit_seal(k, src, n, dst, &len)
                             : sealkit_open(k, src, n, dst, &len), &len);
}

static int64_t py_crypt(sealkit_cipher c, sealkit_direction d, const void *key, uint32_t key_len,
                        const void *src, uint32_t n, void *dst, uint32_t room) {
    uint32_t len = room;
    return py_result(sealkit_crypt(c, d, key, key_len, src, n, dst, &len), &len);
}

static int64_t py_stream_update(sealkit_stream *s, const void *in, uint32_t n, void *out,
                                uint32_t room) {
    uint32_t len = room;
    return py_result(sealkit_stream_update(s, in, n, out, &len), &len);
}

static int64_t py_stream_final(sealkit_stream *s, void *out, uint32_t room) {
    uint32_t len = room;
    return py_result(sealkit_stream_final(s, out, &len), &len);
}
"""


def builder():
    ffi = cffi.FFI()
    ffi.cdef(CDEF)
    lib = os.environ.get("SEALKIT_STATIC_LIB")
    if lib:
        include = os.environ["SEALKIT_INCLUDE_DIR"]
        kwargs = {"extra_objects": [lib]}
    else:  # from this checkout
        include = os.path.normpath(os.path.join(HERE, "..", "sealkit"))
        kwargs = {"sources": [os.path.join(include, "sealkit.cpp")],
                  # no C++ runtime: the library throws nothing
                  "extra_compile_args": ["-fno-exceptions"]}
    ffi.set_source("sealkit._sealkit", HELPERS, include_dirs=[include],
                   libraries=["crypto"], **kwargs)
    return ffi


ffibuilder = builder()

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=sys.argv[1] if len(sys.argv) > 1 else ".", verbose=False)
