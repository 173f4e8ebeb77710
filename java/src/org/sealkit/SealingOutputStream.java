// SPDX-License-Identifier: MIT
package org.sealkit;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.util.Arrays;
import java.util.Objects;

/**
 * Seals what is written to it into {@code out}: the whole envelope once closed. The envelope's
 * first byte is the pad count, which depends on the total length. Given up front, it is written
 * first. Unknown ({@link #UNKNOWN}), a placeholder goes first: a {@link FileOutputStream} gets the
 * real byte written over it when this stream closes, as the command does; for any other sink the
 * caller writes {@link #firstByte()} at the envelope's offset 0 ({@link #firstByteWritten()} says
 * which happened). Closing twice is harmless; writing after close fails.
 */
public final class SealingOutputStream extends OutputStream {
    /** The total length when it is not known. */
    public static final long UNKNOWN = -1;
    private static final int CHUNK = 65536;

    private final OutputStream out;
    private final FileChannel file;
    private final long start;
    private final boolean unknown;
    private final byte[] buf = new byte[CHUNK + 16];
    private long stream;
    private int first = -1;
    private boolean firstWritten;

    /** A sealer of {@code total} bytes (1 or more), or {@link #UNKNOWN}, into {@code out}. */
    public SealingOutputStream(OutputStream out, Key key, long total) throws IOException {
        this.out = Objects.requireNonNull(out, "out");
        Objects.requireNonNull(key, "key");
        Sealkit.checkTotal(total);
        unknown = total == UNKNOWN;
        file = unknown && out instanceof FileOutputStream f ? f.getChannel() : null;
        start = file != null ? file.position() : 0;
        stream = key.newStream(Sealkit.SEAL, total);
    }

    /** A sealer of a length not known up front. */
    public SealingOutputStream(OutputStream out, Key key) throws IOException {
        this(out, key, UNKNOWN);
    }

    @Override
    public void write(int b) throws IOException {
        write(new byte[] {(byte) b}, 0, 1);
    }

    @Override
    public synchronized void write(byte[] b, int off, int len) throws IOException {
        Sealkit.checkRange("b", b, off, len);
        live();
        for (int at = 0; at < len; at += CHUNK) {
            int n = Math.min(CHUNK, len - at);
            out.write(buf, 0, Sealkit.result(Native.streamUpdate(stream, b, off + at, n, buf, 0, buf.length)));
        }
    }

    @Override
    public synchronized void flush() throws IOException {
        out.flush();
    }

    /** Finishes the envelope and closes {@code out}. */
    @Override
    public synchronized void close() throws IOException {
        if (stream == 0) return;
        try (OutputStream o = out) {
            o.write(buf, 0, Sealkit.result(Native.streamFinal(stream, buf)));
            first = Sealkit.result(Native.streamFirstByte(stream));
            firstWritten = !unknown;
            if (file != null) {
                o.flush();
                file.write(ByteBuffer.wrap(new byte[] {(byte) first}), start);
                firstWritten = true;
            }
        } finally {
            Native.streamFree(stream);
            stream = 0;
            Arrays.fill(buf, (byte) 0);
        }
    }

    /** The envelope's first byte (its pad count), once closed. */
    public synchronized int firstByte() {
        if (first < 0) throw new IllegalStateException("the envelope's first byte is known once the stream closed");
        return first;
    }

    /** Whether the envelope already holds {@link #firstByte()}. */
    public synchronized boolean firstByteWritten() {
        return firstWritten;
    }

    private void live() throws IOException {
        if (stream == 0) throw new IOException("the SealingOutputStream is closed");
    }
}
