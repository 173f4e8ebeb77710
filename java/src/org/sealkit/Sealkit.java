// SPDX-License-Identifier: MIT
package org.sealkit;

import java.util.Arrays;
import java.util.Objects;

/**
 * Sealing and opening in one call: the same envelopes as the C library, the command and the other
 * bindings. An envelope is one pad-count byte, then the cipher's whole blocks of the
 * zero-completed plaintext. For many calls with one key, a {@link Key} builds the key schedule
 * once.
 *
 * <pre>{@code
 * byte[] envelope = Sealkit.seal(Cipher.AES_CBC, plaintext, key);
 * byte[] back = Sealkit.open(Cipher.AES_CBC, envelope, key);
 * }</pre>
 */
public final class Sealkit {
    static final int SEAL = 1;
    static final int OPEN = 2;

    private Sealkit() {}

    /** The C library's version, "MAJOR.MINOR.PATCH". */
    public static String version() {
        return Native.version();
    }

    /** The envelope of {@code plaintext}; {@code key} null for {@link Cipher#BUILTIN}. */
    public static byte[] seal(Cipher cipher, byte[] plaintext, byte[] key) throws SealkitException {
        Objects.requireNonNull(cipher, "cipher");
        Objects.requireNonNull(plaintext, "plaintext");
        checkKey(cipher, key);
        byte[] out = new byte[sealedLength(cipher, plaintext.length)];
        result(Native.crypt(cipher.id, SEAL, key, plaintext, 0, plaintext.length, out, 0, out.length));
        return out;
    }

    /** The plaintext inside {@code envelope}. */
    public static byte[] open(Cipher cipher, byte[] envelope, byte[] key) throws SealkitException {
        Objects.requireNonNull(cipher, "cipher");
        Objects.requireNonNull(envelope, "envelope");
        checkKey(cipher, key);
        byte[] out = new byte[Math.max(envelope.length, 1)];
        int n = result(Native.crypt(cipher.id, OPEN, key, envelope, 0, envelope.length, out, 0, out.length));
        return trimmed(out, n);
    }

    // ---- What Key and the streams share ----

    /** The envelope's length for n bytes of plaintext; the library refuses 0 itself. */
    static int sealedLength(Cipher c, long n) {
        long len = n == 0 ? 1 : (n + c.block - 1) / c.block * c.block + 1;
        if (len > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("a Java array cannot hold the envelope of " + n + " bytes");
        }
        return (int) len;
    }

    /** The first n bytes of out, the rest of out wiped (it held plaintext). */
    static byte[] trimmed(byte[] out, int n) {
        if (n == out.length) return out;
        byte[] back = Arrays.copyOf(out, n);
        Arrays.fill(out, (byte) 0);
        return back;
    }

    static void checkKey(Cipher cipher, byte[] key) {
        if (cipher.keyed()) {
            Objects.requireNonNull(key, "key");
        } else if (key != null) {
            throw new IllegalArgumentException("key: " + cipher + " uses the library's own key: pass null");
        }
    }

    /** A stream's total: -1 for unknown, else what fits a 32-bit envelope. */
    static void checkTotal(long total) {
        if (total != -1 && (total < 0 || total > 0xFFFFFFFEL)) {
            throw new IllegalArgumentException("total: " + total + " is neither UNKNOWN nor from 0 to 4294967294");
        }
    }

    /** An array range, checked as java.util.Arrays does, naming the argument. */
    static void checkRange(String name, byte[] a, int off, int len) {
        Objects.requireNonNull(a, name);
        if (off < 0 || len < 0 || off > a.length - len) {
            throw new IndexOutOfBoundsException(
                name + ": offset " + off + " and length " + len + " are out of range for " + a.length + " bytes");
        }
    }

    /** Two ranges of one array that share a byte. */
    static void refuseOverlap(byte[] a, int aOff, int aLen, byte[] b, int bOff, int bLen) {
        if (a == b && aLen > 0 && bLen > 0 && aOff < bOff + bLen && bOff < aOff + aLen) {
            throw new IllegalArgumentException("dst overlaps src: give the output memory of its own");
        }
    }

    /** A native call's bytes written, or its failure thrown. */
    static int result(long r) throws SealkitException {
        if (r >= 0) return (int) r;
        if (r == Native.OVERLAP) {
            throw new IllegalArgumentException("dst overlaps src: give the output memory of its own");
        }
        if (r == Native.NO_MEMORY) throw new OutOfMemoryError("sealkit: the JVM could not pin an array");
        throw SealkitException.of((int) r);
    }
}
