// SPDX-License-Identifier: MIT
package org.sealkit;

import java.lang.ref.Cleaner;
import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.util.Arrays;
import java.util.Objects;

/**
 * A cipher and key with the key schedule built once, for many calls: the C library's key object.
 * {@link #close()} wipes and frees the schedule; a key that was never closed is freed when it is
 * collected. Safe to share between threads: calls on one key take turns (one runs at a time), and
 * close() waits for the call in progress. For calls in parallel, use a key per thread.
 *
 * <pre>{@code
 * try (Key key = new Key(Cipher.AES_CBC, keyBytes)) {
 *     byte[] envelope = key.seal(plaintext);
 * }
 * }</pre>
 */
public final class Key implements AutoCloseable {
    private static final Cleaner CLEANER = Cleaner.create();

    /** The native key, apart from the Key, so that the Cleaner does not hold the Key. */
    static final class Handle implements Runnable {
        long key;

        Handle(long key) {
            this.key = key;
        }

        @Override
        public synchronized void run() {
            if (key != 0) Native.keyFree(key);
            key = 0;
        }
    }

    private final Cipher cipher;
    private final Handle handle;
    private final Cleaner.Cleanable cleanable;

    /** A key object for {@code cipher}; {@code key} null for {@link Cipher#BUILTIN}. The key bytes are copied. */
    public Key(Cipher cipher, byte[] key) throws SealkitException {
        this.cipher = Objects.requireNonNull(cipher, "cipher");
        Sealkit.checkKey(cipher, key);
        long k = Native.keyNew(cipher.id, key);
        if (k < 0) Sealkit.result(k);
        handle = new Handle(k);
        cleanable = CLEANER.register(this, handle);
    }

    /** Its cipher. */
    public Cipher cipher() {
        return cipher;
    }

    /** The envelope of {@code plaintext}. */
    public byte[] seal(byte[] plaintext) throws SealkitException {
        Objects.requireNonNull(plaintext, "plaintext");
        return seal(plaintext, 0, plaintext.length);
    }

    /** The envelope of {@code len} bytes of {@code src} from {@code off}. */
    public byte[] seal(byte[] src, int off, int len) throws SealkitException {
        Sealkit.checkRange("src", src, off, len);
        byte[] out = new byte[Sealkit.sealedLength(cipher, len)];
        seal(src, off, len, out, 0);
        return out;
    }

    /**
     * Seals into {@code dst} from {@code doff}, which needs room for the whole envelope (see
     * {@link #sealedLength}); the bytes written.
     */
    public int seal(byte[] src, int off, int len, byte[] dst, int doff) throws SealkitException {
        return call(true, src, off, len, dst, doff, room(dst, doff));
    }

    /** The plaintext inside {@code envelope}. */
    public byte[] open(byte[] envelope) throws SealkitException {
        Objects.requireNonNull(envelope, "envelope");
        return open(envelope, 0, envelope.length);
    }

    /** The plaintext inside {@code len} bytes of {@code src} from {@code off}. */
    public byte[] open(byte[] src, int off, int len) throws SealkitException {
        Sealkit.checkRange("src", src, off, len);
        byte[] out = new byte[Math.max(len, 1)];
        return Sealkit.trimmed(out, open(src, off, len, out, 0));
    }

    /**
     * Opens into {@code dst} from {@code doff}, which needs room for the envelope's length (the
     * library writes whole blocks); the plaintext's length. Bytes past it are zeroed.
     */
    public int open(byte[] src, int off, int len, byte[] dst, int doff) throws SealkitException {
        int n = call(false, src, off, len, dst, doff, room(dst, doff));
        Arrays.fill(dst, doff + n, Math.min(dst.length, doff + Math.max(len, 0)), (byte) 0);
        return n;
    }

    /**
     * Seals {@code src}'s remaining bytes into {@code dst} at its position; both positions move
     * past what was read and written. Direct buffers are used in place.
     */
    public int seal(ByteBuffer src, ByteBuffer dst) throws SealkitException {
        return call(true, src, dst);
    }

    /** Opens {@code src}'s remaining bytes into {@code dst}, as {@link #seal(ByteBuffer, ByteBuffer)}. */
    public int open(ByteBuffer src, ByteBuffer dst) throws SealkitException {
        return call(false, src, dst);
    }

    /** The length of the envelope of {@code n} bytes under this key's cipher. */
    public int sealedLength(int n) {
        return Sealkit.sealedLength(cipher, n);
    }

    /** Wipes and frees the key schedule, after the call in progress; later calls fail. */
    @Override
    public void close() {
        cleanable.clean();
    }

    /** A new native stream on this key. */
    long newStream(int dir, long total) throws SealkitException {
        synchronized (handle) {
            long s = Native.streamNew(live(), dir, total);
            if (s < 0) Sealkit.result(s);
            return s;
        }
    }

    long live() {
        if (handle.key == 0) throw new IllegalStateException("the Key is closed");
        return handle.key;
    }

    private static int room(byte[] dst, int doff) {
        Objects.requireNonNull(dst, "dst");
        if (doff < 0 || doff > dst.length) {
            throw new IndexOutOfBoundsException("dst: offset " + doff + " is out of range for " + dst.length + " bytes");
        }
        return dst.length - doff;
    }

    private int call(boolean seal, byte[] src, int off, int len, byte[] dst, int doff, int cap)
        throws SealkitException {
        Sealkit.checkRange("src", src, off, len);
        Sealkit.refuseOverlap(src, off, len, dst, doff, cap);
        synchronized (handle) {
            return Sealkit.result(Native.keyCall(live(), seal, src, off, len, dst, doff, cap));
        }
    }

    private int call(boolean seal, ByteBuffer src, ByteBuffer dst) throws SealkitException {
        Objects.requireNonNull(src, "src");
        Objects.requireNonNull(dst, "dst");
        if (dst.isReadOnly()) throw new ReadOnlyBufferException();
        int len = src.remaining(), cap = dst.remaining(), n;
        if (src.isDirect() && dst.isDirect()) {
            synchronized (handle) {
                n = Sealkit.result(Native.keyCallDirect(live(), seal, src, src.position(), len, dst, dst.position(), cap));
            }
        } else if (src.hasArray() && dst.hasArray()) {
            n = call(seal, src.array(), src.arrayOffset() + src.position(), len, dst.array(),
                     dst.arrayOffset() + dst.position(), cap);
        } else {
            // One of each kind, or a read-only heap source: through arrays of our own, wiped.
            byte[] in = new byte[len], out = new byte[cap];
            try {
                src.duplicate().get(in);
                n = call(seal, in, 0, len, out, 0, cap);
                dst.duplicate().put(out, 0, n);
            } finally {
                Arrays.fill(in, (byte) 0);
                Arrays.fill(out, (byte) 0);
            }
        }
        src.position(src.position() + len);
        dst.position(dst.position() + n);
        return n;
    }
}
