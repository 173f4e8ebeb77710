/* SPDX-License-Identifier: MIT */
/* sealkit in PostgreSQL: seal and open envelopes where they are stored.
 *
 * The library does the work; this file maps SQL values to its calls and its
 * result codes to SQLSTATEs. Memory comes from palloc, except the library's
 * own key objects and streams, which are freed (and so wiped) on every path:
 * a stream by PG_FINALLY, a key object by a callback on the memory context
 * it is cached in, which runs when the query ends or fails. */
/* postgres.h comes first, as every server source file's does. */
// clang-format off
#include "postgres.h"
// clang-format on

#include <string.h>

#include "fmgr.h"
#include "funcapi.h"
#include "miscadmin.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
#if PG_VERSION_NUM >= 160000
#include "varatt.h"
#endif

#include <openssl/crypto.h>

#include "sealkit.h"

PG_MODULE_MAGIC;

/* Inputs longer than this go through a stream, a chunk at a time, with a
 * check for a cancel between chunks. */
#define CHUNK ((uint32_t)1 << 20)

/* The key object of the last cipher and key a call site used, kept for the
 * rest of the query: most statements seal or open every row with one key. */
typedef struct {
    const sealkit_cipher_info *cipher;
    sealkit_key *key;
    unsigned char *key_bytes; /* a copy, to tell the next call's key apart */
    uint32_t key_len;
    MemoryContextCallback wipe;
} Cache;

static void forget_key(Cache *c) {
    sealkit_key_free(c->key); /* wipes the schedule */
    if (c->key_bytes != NULL) {
        explicit_bzero(c->key_bytes, c->key_len);
        pfree(c->key_bytes);
    }
    c->key = NULL;
    c->key_bytes = NULL;
    c->key_len = 0;
}

/* Runs before the cache's memory context is reset or deleted. */
static void wipe_cache(void *arg) {
    Cache *c = (Cache *)arg;
    if (c->key_bytes != NULL) explicit_bzero(c->key_bytes, c->key_len);
    sealkit_key_free(c->key);
    c->key = NULL;
}

static int sqlstate_of(int rc) {
    switch (rc) {
        case SEALKIT_ERR_KEY_LEN:
        case SEALKIT_ERR_EMPTY:
        case SEALKIT_ERR_CIPHER:
            return ERRCODE_INVALID_PARAMETER_VALUE;
        case SEALKIT_ERR_NOT_ENVELOPE:
        case SEALKIT_ERR_LENGTH:
            return ERRCODE_INVALID_BINARY_REPRESENTATION;
        case SEALKIT_ERR_CAPACITY:
            return ERRCODE_PROGRAM_LIMIT_EXCEEDED;
        case SEALKIT_ERR_KEY_SCHEDULE:
            return ERRCODE_EXTERNAL_ROUTINE_INVOCATION_EXCEPTION;
        default:
            return ERRCODE_INTERNAL_ERROR;
    }
}

static void check(int rc, const char *fn, const sealkit_cipher_info *c) {
    if (rc != SEALKIT_OK)
        ereport(ERROR, (errcode(sqlstate_of(rc)), errmsg("%s: %s", fn, sealkit_strerror(rc)),
                        errdetail("cipher %s (%u-byte blocks)", c->name, c->block)));
}

/* The cipher a name gives; an error listing the names for any other. */
static const sealkit_cipher_info *cipher_named(const text *name, const char *fn) {
    const char *s = VARDATA_ANY(name);
    const size_t n = VARSIZE_ANY_EXHDR(name);
    const sealkit_cipher_info *c;
    StringInfoData names;
    for (uint32_t i = 0; (c = sealkit_cipher_at(i)) != NULL; ++i)
        if (strlen(c->name) == n && memcmp(c->name, s, n) == 0) return c;
    initStringInfo(&names);
    for (uint32_t i = 0; (c = sealkit_cipher_at(i)) != NULL; ++i)
        appendStringInfo(&names, "%s%s", i ? ", " : "", c->name);
    ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                    errmsg("%s: unknown cipher \"%.*s\"", fn, (int)Min(n, 64), s),
                    errhint("The ciphers are %s (see sealkit_ciphers()).", names.data)));
    return NULL;
}

/* The key object for cipher c and the key (NULL for none), from the call
 * site's cache when it matches, else built and cached. */
static sealkit_key *key_for(FunctionCallInfo fcinfo, const sealkit_cipher_info *c, const bytea *key,
                            const char *fn) {
    Cache *cache = (Cache *)fcinfo->flinfo->fn_extra;
    const unsigned char *k = key != NULL ? (const unsigned char *)VARDATA_ANY(key) : NULL;
    const uint32_t n = key != NULL ? VARSIZE_ANY_EXHDR(key) : 0;
    int rc;
    if (c->min_key_len == 0 && key != NULL)
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("%s: cipher %s uses the library's own key", fn, c->name),
                        errhint("Call %s without a key.", fn)));
    if (c->min_key_len > 0 && key == NULL)
        ereport(ERROR,
                (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                 errmsg("%s: cipher %s needs a key", fn, c->name),
                 errhint("Pass a key of %u bytes or more as the third argument.", c->min_key_len)));
    if (cache == NULL) {
        cache = MemoryContextAllocZero(fcinfo->flinfo->fn_mcxt, sizeof *cache);
        cache->wipe.func = wipe_cache;
        cache->wipe.arg = cache;
        MemoryContextRegisterResetCallback(fcinfo->flinfo->fn_mcxt, &cache->wipe);
        fcinfo->flinfo->fn_extra = cache;
    }
    if (cache->key != NULL && cache->cipher == c && cache->key_len == n &&
        (n == 0 || CRYPTO_memcmp(cache->key_bytes, k, n) == 0))
        return cache->key;
    forget_key(cache);
    rc = sealkit_key_new(&cache->key, c->id, k, n);
    if (rc == SEALKIT_ERR_KEY_LEN)
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("%s: %s", fn, sealkit_strerror(rc)),
                        errdetail("cipher %s takes keys of %u bytes or more; this one has %u.",
                                  c->name, c->min_key_len, n)));
    check(rc, fn, c);
    cache->cipher = c;
    if (n > 0) {
        cache->key_bytes = MemoryContextAlloc(fcinfo->flinfo->fn_mcxt, n);
        memcpy(cache->key_bytes, k, n);
        cache->key_len = n;
    }
    return cache->key;
}

/* Seals or opens src (n bytes) into dst through a stream, a chunk at a time;
 * the bytes written. The stream is freed, and wiped, however this ends. */
static uint32_t stream_through(sealkit_key *key, sealkit_direction dir, const unsigned char *src,
                               uint32_t n, unsigned char *dst, uint32_t room, const char *fn,
                               const sealkit_cipher_info *c) {
    sealkit_stream *volatile s = NULL;
    uint32_t done = 0;
    sealkit_stream *made = NULL;
    check(sealkit_stream_new(&made, key, dir, n), fn, c);
    s = made;
    PG_TRY();
    {
        for (uint32_t at = 0; at < n;) {
            const uint32_t take = Min(CHUNK, n - at);
            uint32_t len = room - done;
            CHECK_FOR_INTERRUPTS();
            check(sealkit_stream_update(s, src + at, take, dst + done, &len), fn, c);
            at += take;
            done += len;
        }
        {
            uint32_t len = room - done;
            check(sealkit_stream_final(s, dst + done, &len), fn, c);
            done += len;
        }
    }
    PG_FINALLY();
    { sealkit_stream_free(s); }
    PG_END_TRY();
    return done;
}

/* Detoasted copies of a call's arguments (plaintext, key) are wiped. */
static void wipe_copies(bytea *in, bool in_copy, bytea *key, bool key_copy) {
    if (in_copy) explicit_bzero(in, VARSIZE_ANY(in));
    if (key_copy) explicit_bzero(key, VARSIZE_ANY(key));
}

/* sealkit_seal and sealkit_open: (cipher, data) for the built-in key,
 * (cipher, data, key) for the others. */
static Datum seal_or_open(FunctionCallInfo fcinfo, bool sealing) {
    const char *fn = sealing ? "sealkit_seal" : "sealkit_open";
    const sealkit_cipher_info *c = cipher_named(PG_GETARG_TEXT_PP(0), fn);
    bytea *in = PG_GETARG_BYTEA_PP(1);
    bytea *key = PG_NARGS() > 2 ? PG_GETARG_BYTEA_PP(2) : NULL;
    const bool in_copy = (Pointer)in != DatumGetPointer(PG_GETARG_DATUM(1));
    const bool key_copy = key != NULL && (Pointer)key != DatumGetPointer(PG_GETARG_DATUM(2));
    const unsigned char *src = (const unsigned char *)VARDATA_ANY(in);
    const uint64_t n = VARSIZE_ANY_EXHDR(in);
    const uint64_t room = sealing ? sealkit_envelope_len(n, c->block) : Max(n, 1);
    bytea *volatile out = NULL;
    volatile uint32_t len = 0;
    if (VARHDRSZ + room > MaxAllocSize)
        ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                        errmsg("%s: %llu bytes seal to an envelope larger than a bytea holds", fn,
                               (unsigned long long)n),
                        errdetail("A bytea holds at most %zu bytes; its envelope needs %llu.",
                                  (size_t)(MaxAllocSize - VARHDRSZ), (unsigned long long)room)));
    PG_TRY();
    {
        sealkit_key *k = key_for(fcinfo, c, key, fn);
        unsigned char *dst;
        uint32_t got = (uint32_t)room;
        out = (bytea *)palloc(VARHDRSZ + room);
        dst = (unsigned char *)VARDATA(out);
        if (n <= CHUNK)
            check(sealing ? sealkit_seal(k, src, (uint32_t)n, dst, &got)
                          : sealkit_open(k, src, (uint32_t)n, dst, &got),
                  fn, c);
        else
            got = stream_through(k, sealing ? SEALKIT_SEAL : SEALKIT_OPEN, src, (uint32_t)n, dst,
                                 (uint32_t)room, fn, c);
        len = got;
    }
    PG_CATCH();
    {
        /* A plaintext opened in part goes wiped, as the copies below. */
        if (out != NULL && !sealing) explicit_bzero(out, VARHDRSZ + room);
        wipe_copies(in, in_copy, key, key_copy);
        PG_RE_THROW();
    }
    PG_END_TRY();
    wipe_copies(in, in_copy, key, key_copy);
    SET_VARSIZE(out, VARHDRSZ + len);
    PG_RETURN_BYTEA_P(out);
}

PG_FUNCTION_INFO_V1(sealkit_pg_seal);
Datum sealkit_pg_seal(PG_FUNCTION_ARGS) {
    return seal_or_open(fcinfo, true);
}

PG_FUNCTION_INFO_V1(sealkit_pg_open);
Datum sealkit_pg_open(PG_FUNCTION_ARGS) {
    return seal_or_open(fcinfo, false);
}

/* sealkit_plaintext_length(cipher, envelope): what the envelope opens to,
 * from its length and first byte alone. */
PG_FUNCTION_INFO_V1(sealkit_pg_plaintext_length);
Datum sealkit_pg_plaintext_length(PG_FUNCTION_ARGS) {
    const char *fn = "sealkit_plaintext_length";
    const sealkit_cipher_info *c = cipher_named(PG_GETARG_TEXT_PP(0), fn);
    const bytea *env = PG_GETARG_BYTEA_PP(1);
    const uint64_t n = VARSIZE_ANY_EXHDR(env);
    uint64_t plain = 0;
    check(
        sealkit_plaintext_len(n, n > 0 ? (unsigned char)VARDATA_ANY(env)[0] : 0, c->block, &plain),
        fn, c);
    PG_RETURN_INT64((int64)plain);
}

/* sealkit_ciphers(): the library's ciphers, one row each. */
PG_FUNCTION_INFO_V1(sealkit_pg_ciphers);
Datum sealkit_pg_ciphers(PG_FUNCTION_ARGS) {
    ReturnSetInfo *rsinfo = (ReturnSetInfo *)fcinfo->resultinfo;
    const sealkit_cipher_info *c;
    InitMaterializedSRF(fcinfo, 0);
    for (uint32_t i = 0; (c = sealkit_cipher_at(i)) != NULL; ++i) {
        Datum values[6] = {
            CStringGetTextDatum(c->name),         CStringGetTextDatum(c->family),
            Int32GetDatum((int32)c->block),       Int32GetDatum((int32)c->min_key_len),
            Int32GetDatum((int32)c->max_key_len), Int32GetDatum((int32)c->keygen_len)};
        bool nulls[6] = {false};
        tuplestore_putvalues(rsinfo->setResult, rsinfo->setDesc, values, nulls);
    }
    return (Datum)0;
}
