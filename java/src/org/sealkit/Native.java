// SPDX-License-Identifier: MIT
package org.sealkit;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;

/**
 * The JNI library (java/jni/sealkit_jni.c), loaded once: from {@code java.library.path} (Debian's
 * libsealkit-jni puts it in /usr/lib/jni), else from inside the jar, for Linux on x86-64 and
 * arm64. Every method is one library call; a negative result is the library's result code.
 */
final class Native {
    /** Direct buffers that overlap (only the native side sees their addresses). */
    static final int OVERLAP = -1000;
    /** The JVM could not give an array's bytes. */
    static final int NO_MEMORY = -1001;

    static final String LIBRARY = "sealkit_jni";

    static {
        load();
    }

    private Native() {}

    static native long crypt(int cipher, int dir, byte[] key, byte[] src, int off, int len, byte[] dst,
                             int doff, int cap);

    static native long keyNew(int cipher, byte[] key);

    static native void keyFree(long key);

    static native long keyCall(long key, boolean seal, byte[] src, int off, int len, byte[] dst, int doff,
                               int cap);

    static native long keyCallDirect(long key, boolean seal, ByteBuffer src, int off, int len,
                                     ByteBuffer dst, int doff, int cap);

    static native long streamNew(long key, int dir, long total);

    static native long streamUpdate(long stream, byte[] src, int off, int len, byte[] dst, int doff,
                                    int cap);

    static native long streamFinal(long stream, byte[] dst);

    static native int streamFirstByte(long stream);

    static native void streamFree(long stream);

    static native String version();

    // The jar's copy for this machine, or null: a fixed set of names, never one from outside.
    private static String bundled() {
        if (!System.getProperty("os.name", "").equals("Linux")) return null;
        return switch (System.getProperty("os.arch", "")) {
            case "amd64", "x86_64" -> "linux-x86_64";
            case "aarch64", "arm64" -> "linux-aarch64";
            default -> null;
        };
    }

    private static void load() {
        UnsatisfiedLinkError fromPath;
        try {
            System.loadLibrary(LIBRARY);
            return;
        } catch (UnsatisfiedLinkError e) {
            fromPath = e;
        }
        final String platform = bundled();
        final String resource = "native/" + platform + "/lib" + LIBRARY + ".so";
        try (InputStream in = platform == null ? null : Native.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("sealkit: no lib" + LIBRARY + ".so on java.library.path ("
                    + fromPath.getMessage() + "), and this jar carries none for "
                    + System.getProperty("os.name") + " " + System.getProperty("os.arch")
                    + ": install libsealkit-jni, or use the jar built for this platform");
            }
            // A directory only this user can enter (createTempDirectory makes it 0700), a file
            // created new in it: nothing another user plants is loaded, and no name is reused.
            final Path dir = Files.createTempDirectory("sealkit-jni-");
            final Path lib = dir.resolve("lib" + LIBRARY + ".so");
            try {
                try (var out = Files.newOutputStream(lib, StandardOpenOption.CREATE_NEW,
                                                     StandardOpenOption.WRITE)) {
                    in.transferTo(out);
                }
                System.load(lib.toString());
            } finally {
                // Linux keeps a loaded library mapped after its file is gone.
                Files.deleteIfExists(lib);
                Files.deleteIfExists(dir);
            }
        } catch (IOException e) {
            UnsatisfiedLinkError u = new UnsatisfiedLinkError(
                "sealkit: cannot unpack the jar's lib" + LIBRARY + ".so into a temporary directory ("
                + e.getMessage() + "): set java.io.tmpdir to a writable directory, or install libsealkit-jni");
            u.initCause(e);
            throw u;
        }
    }
}
