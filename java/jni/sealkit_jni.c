/* SPDX-License-Identifier: MIT */
/* The JNI side of the Java binding (org.sealkit.Native): each native method
 * is one library call on memory the Java side has checked (arrays with
 * offsets and lengths in range, buffers writable and not overlapping). A
 * call returns the bytes written, or the library's negative result code,
 * which the Java side turns into its SealkitException; kOverlap marks
 * direct buffers that overlap, which only this side can see.
 *
 * Arrays are reached with GetPrimitiveArrayCritical: the JVM's own bytes
 * where it can (no copy to wipe), and no JNI call between get and release;
 * a key's short calls copy through the stack instead (key_call_small).
 * Handles are the library's key and stream pointers as jlong. */
#include <jni.h>
#include <openssl/crypto.h>
#include <stdint.h>

#include "sealkit.h"

enum { kOverlap = -1000, kNoMemory = -1001 };

#define NATIVE(ret, name) JNIEXPORT ret JNICALL Java_org_sealkit_Native_##name

typedef int (*keyed_call)(sealkit_key *, const unsigned char *, uint32_t, unsigned char *,
                          uint32_t *);

/* The library's objects reach Java as jlong handles; these are the only
 * ways back. */
static sealkit_key *key_of(jlong h) {
    return (sealkit_key *)(intptr_t)h; /* NOLINT(performance-no-int-to-ptr): a JNI handle */
}

static sealkit_stream *stream_of(jlong h) {
    return (sealkit_stream *)(intptr_t)h; /* NOLINT(performance-no-int-to-ptr): a JNI handle */
}

static jlong done(int rc, uint32_t len) {
    return rc == SEALKIT_OK ? (jlong)len : (jlong)rc;
}

static int overlaps(const unsigned char *a, jint alen, const unsigned char *b, jint blen) {
    return alen > 0 && blen > 0 && a < b + blen && b < a + alen;
}

/* One call with src and dst as arrays (dst may be src's array: the Java
 * side has checked that the ranges do not overlap). */
static jlong on_arrays(JNIEnv *env, jbyteArray src, jint off, jint len, jbyteArray dst, jint doff,
                       jint cap,
                       int (*call)(const void *, const unsigned char *, uint32_t, unsigned char *,
                                   uint32_t *),
                       const void *ctx) {
    unsigned char *s = (*env)->GetPrimitiveArrayCritical(env, src, NULL);
    if (s == NULL) return kNoMemory;
    unsigned char *d =
        (*env)->IsSameObject(env, src, dst) ? s : (*env)->GetPrimitiveArrayCritical(env, dst, NULL);
    if (d == NULL) {
        (*env)->ReleasePrimitiveArrayCritical(env, src, s, JNI_ABORT);
        return kNoMemory;
    }
    uint32_t n = (uint32_t)cap;
    const int rc = call(ctx, s + off, (uint32_t)len, d + doff, &n);
    if (d != s) (*env)->ReleasePrimitiveArrayCritical(env, dst, d, 0);
    (*env)->ReleasePrimitiveArrayCritical(env, src, s, d == s ? 0 : JNI_ABORT);
    return done(rc, n);
}

/* The calls on_arrays and the buffer methods make, behind one signature. */
struct oneshot {
    int cipher, dir;
    const unsigned char *key;
    uint32_t key_len;
};

static int oneshot_call(const void *ctx, const unsigned char *src, uint32_t len, unsigned char *dst,
                        uint32_t *n) {
    const struct oneshot *o = ctx;
    return sealkit_crypt((sealkit_cipher)o->cipher, (sealkit_direction)o->dir, o->key, o->key_len,
                         src, len, dst, n);
}

struct keyed {
    sealkit_key *key;
    keyed_call fn;
};

static int keyed_call_ctx(const void *ctx, const unsigned char *src, uint32_t len,
                          unsigned char *dst, uint32_t *n) {
    const struct keyed *k = ctx;
    return k->fn(k->key, src, len, dst, n);
}

static int stream_call(const void *ctx, const unsigned char *src, uint32_t len, unsigned char *dst,
                       uint32_t *n) {
    return sealkit_stream_update((sealkit_stream *)ctx, src, len, dst, n);
}

NATIVE(jlong, crypt)
(JNIEnv *env, jclass cls, jint cipher, jint dir, jbyteArray key, jbyteArray src, jint off, jint len,
 jbyteArray dst, jint doff, jint cap) {
    (void)cls;
    struct oneshot o = {cipher, dir, NULL, 0};
    unsigned char *k = NULL;
    if (key != NULL) {
        k = (*env)->GetPrimitiveArrayCritical(env, key, NULL);
        if (k == NULL) return kNoMemory;
        o.key = k;
        o.key_len = (uint32_t)(*env)->GetArrayLength(env, key);
    }
    const jlong r = on_arrays(env, src, off, len, dst, doff, cap, oneshot_call, &o);
    if (k != NULL) (*env)->ReleasePrimitiveArrayCritical(env, key, k, JNI_ABORT);
    return r;
}

NATIVE(jlong, keyNew)(JNIEnv *env, jclass cls, jint cipher, jbyteArray key) {
    (void)cls;
    sealkit_key *out = NULL;
    unsigned char *k = key != NULL ? (*env)->GetPrimitiveArrayCritical(env, key, NULL) : NULL;
    if (key != NULL && k == NULL) return kNoMemory;
    const jsize n = key != NULL ? (*env)->GetArrayLength(env, key) : 0;
    const int rc = sealkit_key_new(&out, (sealkit_cipher)cipher, k, (uint32_t)n);
    if (k != NULL) (*env)->ReleasePrimitiveArrayCritical(env, key, k, JNI_ABORT);
    return rc == SEALKIT_OK ? (jlong)(intptr_t)out : (jlong)rc;
}

NATIVE(void, keyFree)(JNIEnv *env, jclass cls, jlong key) {
    (void)env;
    (void)cls;
    sealkit_key_free(key_of(key));
}

/* Short calls copy in and out through the stack, which costs less than
 * pinning two arrays; what the plaintext touched there is wiped. */
enum { kSmall = 256 };

static jlong key_call_small(JNIEnv *env, sealkit_key *key, jboolean seal, jbyteArray src, jint off,
                            jint len, jbyteArray dst, jint doff, jint cap) {
    unsigned char in[kSmall], out[kSmall + SEALKIT_AES_BLOCK + 1];
    (*env)->GetByteArrayRegion(env, src, off, len, (jbyte *)in);
    uint32_t n = (uint32_t)(cap < (jint)sizeof out ? cap : (jint)sizeof out);
    const int rc = (seal ? sealkit_seal : sealkit_open)(key, in, (uint32_t)len, out, &n);
    if (rc == SEALKIT_OK) (*env)->SetByteArrayRegion(env, dst, doff, (jsize)n, (const jbyte *)out);
    OPENSSL_cleanse(in, (size_t)len);
    OPENSSL_cleanse(out, seal ? (size_t)n : (size_t)len);
    return done(rc, n);
}

NATIVE(jlong, keyCall)
(JNIEnv *env, jclass cls, jlong key, jboolean seal, jbyteArray src, jint off, jint len,
 jbyteArray dst, jint doff, jint cap) {
    (void)cls;
    if (len <= kSmall) return key_call_small(env, key_of(key), seal, src, off, len, dst, doff, cap);
    const struct keyed k = {key_of(key), seal ? sealkit_seal : sealkit_open};
    return on_arrays(env, src, off, len, dst, doff, cap, keyed_call_ctx, &k);
}

/* Direct buffers, zero-copy: the addresses plus the positions given. */
NATIVE(jlong, keyCallDirect)
(JNIEnv *env, jclass cls, jlong key, jboolean seal, jobject src, jint off, jint len, jobject dst,
 jint doff, jint cap) {
    (void)cls;
    unsigned char *s = (*env)->GetDirectBufferAddress(env, src);
    unsigned char *d = (*env)->GetDirectBufferAddress(env, dst);
    if (s == NULL || d == NULL) return SEALKIT_ERR_NULL;
    if (overlaps(s + off, len, d + doff, cap)) return kOverlap;
    uint32_t n = (uint32_t)cap;
    const int rc =
        (seal ? sealkit_seal : sealkit_open)(key_of(key), s + off, (uint32_t)len, d + doff, &n);
    return done(rc, n);
}

NATIVE(jlong, streamNew)(JNIEnv *env, jclass cls, jlong key, jint dir, jlong total) {
    (void)env;
    (void)cls;
    sealkit_stream *s = NULL;
    const uint32_t t = total < 0 ? SEALKIT_TOTAL_UNKNOWN : (uint32_t)total;
    const int rc = sealkit_stream_new(&s, key_of(key), (sealkit_direction)dir, t);
    return rc == SEALKIT_OK ? (jlong)(intptr_t)s : (jlong)rc;
}

NATIVE(jlong, streamUpdate)
(JNIEnv *env, jclass cls, jlong s, jbyteArray src, jint off, jint len, jbyteArray dst, jint doff,
 jint cap) {
    (void)cls;
    return on_arrays(env, src, off, len, dst, doff, cap, stream_call, stream_of(s));
}

NATIVE(jlong, streamFinal)(JNIEnv *env, jclass cls, jlong s, jbyteArray dst) {
    (void)cls;
    unsigned char *d = (*env)->GetPrimitiveArrayCritical(env, dst, NULL);
    if (d == NULL) return kNoMemory;
    uint32_t n = (uint32_t)(*env)->GetArrayLength(env, dst);
    const int rc = sealkit_stream_final(stream_of(s), d, &n);
    (*env)->ReleasePrimitiveArrayCritical(env, dst, d, 0);
    return done(rc, n);
}

NATIVE(jint, streamFirstByte)(JNIEnv *env, jclass cls, jlong s) {
    (void)env;
    (void)cls;
    unsigned char first = 0;
    const int rc = sealkit_stream_first_byte(stream_of(s), &first);
    return rc == SEALKIT_OK ? (jint)first : (jint)rc;
}

NATIVE(void, streamFree)(JNIEnv *env, jclass cls, jlong s) {
    (void)env;
    (void)cls;
    sealkit_stream_free(stream_of(s));
}

NATIVE(jstring, version)(JNIEnv *env, jclass cls) {
    (void)cls;
    return (*env)->NewStringUTF(env, sealkit_version());
}
