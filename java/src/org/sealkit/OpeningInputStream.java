// SPDX-License-Identifier: MIT
package org.sealkit;

import java.io.IOException;
import java.io.InputStream;
import java.util.Arrays;
import java.util.Objects;

/**
 * Opens the envelope read from {@code in}, giving its plaintext. The envelope's length may be given
 * up front (a forged pad count then fails at once) or be {@link #UNKNOWN}; either way the end is
 * checked when {@code in} ends. Closing twice is harmless; reading after close fails.
 */
public final class OpeningInputStream extends InputStream {
    /** The envelope's length when it is not known. */
    public static final long UNKNOWN = -1;
    private static final int CHUNK = 65536;

    private final InputStream in;
    private final byte[] raw = new byte[CHUNK];
    private final byte[] plain = new byte[CHUNK + 16];
    private int at, end;
    private long stream;
    private boolean done;

    /** An opener of an envelope of {@code total} bytes, or {@link #UNKNOWN}, read from {@code in}. */
    public OpeningInputStream(InputStream in, Key key, long total) throws IOException {
        this.in = Objects.requireNonNull(in, "in");
        Objects.requireNonNull(key, "key");
        Sealkit.checkTotal(total);
        stream = key.newStream(Sealkit.OPEN, total);
    }

    /** An opener of an envelope of a length not known up front. */
    public OpeningInputStream(InputStream in, Key key) throws IOException {
        this(in, key, UNKNOWN);
    }

    @Override
    public int read() throws IOException {
        byte[] one = new byte[1];
        int n = read(one, 0, 1);
        return n < 0 ? -1 : one[0] & 0xff;
    }

    @Override
    public synchronized int read(byte[] b, int off, int len) throws IOException {
        Sealkit.checkRange("b", b, off, len);
        if (stream == 0) throw new IOException("the OpeningInputStream is closed");
        if (len == 0) return 0;
        while (at == end) {
            if (done) return -1;
            // Plaintext already given out is wiped before the next is made.
            Arrays.fill(plain, 0, end, (byte) 0);
            at = end = 0;
            int got = in.read(raw, 0, raw.length);
            if (got < 0) {
                end = Sealkit.result(Native.streamFinal(stream, plain));
                done = true;
            } else {
                end = Sealkit.result(Native.streamUpdate(stream, raw, 0, got, plain, 0, plain.length));
            }
        }
        int n = Math.min(len, end - at);
        System.arraycopy(plain, at, b, off, n);
        at += n;
        return n;
    }

    @Override
    public synchronized int available() {
        return end - at;
    }

    /** Wipes what it holds and closes {@code in}. */
    @Override
    public synchronized void close() throws IOException {
        if (stream == 0) return;
        Native.streamFree(stream);
        stream = 0;
        Arrays.fill(plain, (byte) 0);
        at = end = 0;
        in.close();
    }
}
