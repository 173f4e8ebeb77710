// SPDX-License-Identifier: MIT
package org.sealkit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;

/** Callers who get it wrong, on purpose or not: every row fails clearly with nothing written. */
@Timeout(value = 120, unit = TimeUnit.SECONDS)
class HostileTest {
    static final byte[] KEY = new byte[32];

    static {
        new Random(1).nextBytes(KEY);
    }

    interface Call {
        void run(Key k) throws Exception;
    }

    // Each row: what it does, the exception it must give, and the call.
    record Row(String what, Class<? extends Throwable> fails, Call call) {}

    @Test
    void argumentsOutOfRangeOrWrong() throws Exception {
        byte[] src = new byte[100], dst = new byte[200];
        ByteBuffer direct = ByteBuffer.allocateDirect(256);
        List<Row> rows = List.of(
            new Row("null plaintext", NullPointerException.class, k -> k.seal(null)),
            new Row("negative offset", IndexOutOfBoundsException.class, k -> k.seal(src, -1, 10)),
            new Row("length past the end", IndexOutOfBoundsException.class, k -> k.seal(src, 50, 51)),
            new Row("Integer.MAX_VALUE length", IndexOutOfBoundsException.class, k -> k.seal(src, 1, Integer.MAX_VALUE)),
            new Row("Integer.MAX_VALUE offset", IndexOutOfBoundsException.class, k -> k.open(src, Integer.MAX_VALUE, 1)),
            new Row("output offset past the end", IndexOutOfBoundsException.class, k -> k.seal(src, 0, 10, dst, 201)),
            new Row("output too small", SealkitException.Capacity.class, k -> k.seal(src, 0, 100, dst, 150)),
            new Row("overlapping ranges of one array", IllegalArgumentException.class, k -> k.seal(dst, 0, 64, dst, 32)),
            new Row("read-only output buffer", ReadOnlyBufferException.class,
                k -> k.seal(ByteBuffer.wrap(src), ByteBuffer.allocate(200).asReadOnlyBuffer())),
            new Row("overlapping direct buffers", IllegalArgumentException.class,
                k -> k.seal(direct.duplicate().position(0).limit(64), direct.duplicate().position(32))),
            new Row("overlapping heap buffers", IllegalArgumentException.class,
                k -> k.seal(ByteBuffer.wrap(dst, 0, 64), ByteBuffer.wrap(dst, 32, 100))),
            new Row("not an envelope", SealkitException.NotEnvelope.class, k -> k.open(new byte[16])),
            new Row("empty plaintext", SealkitException.Empty.class, k -> k.seal(new byte[0])));
        try (Key k = new Key(Cipher.AES_CBC, KEY)) {
            for (Row r : rows) {
                byte[] before = dst.clone();
                assertThrows(r.fails, () -> r.call.run(k), r.what);
                assertArrayEquals(before, dst, r.what + ": the output was written");
            }
        }
    }

    @Test
    void keysThatCannotBe() {
        assertEquals("key", assertThrows(NullPointerException.class, () -> new Key(Cipher.AES_CBC, null)).getMessage());
        assertThrows(SealkitException.KeyLength.class, () -> new Key(Cipher.AES_ECB, new byte[15]));
        assertThrows(SealkitException.KeyLength.class, () -> Sealkit.seal(Cipher.BLOWFISH, new byte[1], new byte[8]));
        assertThrows(IllegalArgumentException.class, () -> new Key(Cipher.BUILTIN, KEY));
        assertEquals(-3, assertThrows(SealkitException.class, () -> new Key(Cipher.AES_ECB, new byte[3])).result);
    }

    @Test
    void aClosedKeyAndStreamsClosedTwice() throws Exception {
        Key k = new Key(Cipher.AES_ECB, KEY);
        ByteArrayOutputStream sink = new ByteArrayOutputStream();
        SealingOutputStream s = new SealingOutputStream(sink, k);
        k.close();
        k.close();
        assertThrows(IllegalStateException.class, () -> k.seal(new byte[1]));
        assertThrows(IllegalStateException.class, () -> new SealingOutputStream(sink, k));
        // A stream keeps its own state: it outlives its key.
        s.write(new byte[40]);
        s.close();
        s.close();
        assertThrows(IOException.class, () -> s.write(1));
        assertEquals(49, sink.size());
        assertEquals(8, s.firstByte());
        assertTrue(!s.firstByteWritten(), "a ByteArrayOutputStream cannot be written over");
    }

    @Test
    void theFirstByteGoesInPlaceInAFile(@TempDir Path dir) throws Exception {
        Path f = dir.resolve("notes.sk");
        byte[] plain = new byte[20];
        new Random(3).nextBytes(plain);
        try (Key k = new Key(Cipher.AES_CBC, KEY)) {
            SealingOutputStream s;
            try (FileOutputStream out = new FileOutputStream(f.toFile())) {
                s = new SealingOutputStream(out, k);
                s.write(plain);
                s.close();
            }
            assertTrue(s.firstByteWritten());
            assertArrayEquals(plain, k.open(Files.readAllBytes(f)));
        }
    }

    @Test
    void threadsSharingOneKey() throws Exception {
        byte[] plain = new byte[5000];
        new Random(2).nextBytes(plain);
        byte[] want = Sealkit.seal(Cipher.AES_CBC, plain, KEY);
        ExecutorService pool = Executors.newFixedThreadPool(8);
        try {
            Key k = new Key(Cipher.AES_CBC, KEY);
            List<Future<?>> done = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                done.add(pool.submit(() -> {
                    for (int i = 0; i < 500; i++) {
                        assertArrayEquals(want, k.seal(plain));
                        assertArrayEquals(plain, k.open(want));
                    }
                    return null;
                }));
            }
            for (Future<?> f : done) f.get();
            // close() racing calls: each call either completes right or finds the key closed.
            List<Future<?>> racing = new ArrayList<>();
            for (int t = 0; t < 4; t++) {
                racing.add(pool.submit(() -> {
                    for (int i = 0; i < 2000; i++) {
                        try {
                            assertArrayEquals(want, k.seal(plain));
                        } catch (IllegalStateException closed) {
                            return null;
                        }
                    }
                    return null;
                }));
            }
            k.close();
            for (Future<?> f : racing) f.get();
        } finally {
            pool.shutdownNow();
        }
    }

    // The key bytes are not left in the native heap after close(). With MALLOC_ARENA_MAX=1 (set
    // by the test's CMake) the library's allocations are in [heap]; the Java heap is elsewhere.
    // An AES schedule starts with the key itself, so while the key is open it is found there.
    @Test
    void noKeyLeftInTheNativeHeapAfterClose() throws Exception {
        Assumptions.assumeTrue("1".equals(System.getenv("MALLOC_ARENA_MAX")), "needs MALLOC_ARENA_MAX=1");
        byte[] key = new byte[32];
        new Random().nextBytes(key);
        byte[] needle = Arrays.copyOf(key, 16);
        Key k = new Key(Cipher.AES_CBC, key);
        k.seal(new byte[100]);
        Assumptions.assumeTrue(inNativeHeap(needle), "this libcrypto keeps no plain round key 0");
        k.close();
        assertTrue(!inNativeHeap(needle), "the key is still in the native heap after close()");
    }

    static boolean inNativeHeap(byte[] needle) throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/maps"))) {
            if (!line.endsWith("[heap]")) continue;
            String[] range = line.split(" ")[0].split("-");
            long from = Long.parseUnsignedLong(range[0], 16), to = Long.parseUnsignedLong(range[1], 16);
            try (RandomAccessFile mem = new RandomAccessFile("/proc/self/mem", "r")) {
                byte[] buf = new byte[(int) Math.min(to - from, 64 << 20)];
                mem.seek(from);
                mem.readFully(buf);
                for (int i = 0; i + needle.length <= buf.length; i++) {
                    if (buf[i] == needle[0] && Arrays.equals(buf, i, i + needle.length, needle, 0, needle.length)) return true;
                }
            }
        }
        return false;
    }
}
