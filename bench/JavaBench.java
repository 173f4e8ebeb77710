// SPDX-License-Identifier: MIT
// The Java binding side by side with javax.crypto doing the same work (zero
// IV, zero completion, the pad-count byte in front), in one run with warm-up:
// 64 B AES-CBC on a Key against a Cipher made and initialised per call (what
// most code does) and against one reused; 1 MiB AES-CBC seal and open; 1 MiB
// Blowfish seal. Prints a Markdown table.
//   java -cp build/release/java/sealkit-1.4.0.jar bench/JavaBench.java
import java.util.Arrays;
import java.util.Random;
import org.sealkit.Cipher;
import org.sealkit.Key;

public class JavaBench {
    interface Work {
        Object run() throws Exception;
    }

    static Object sink;
    // Made once: code that makes a Cipher per call has its IV at hand.
    static final java.util.Map<String, java.security.AlgorithmParameters> ZERO_IV =
        new java.util.concurrent.ConcurrentHashMap<>();

    // Calls per second of w, after a warm-up of the same length.
    static double rate(Work w, double seconds) throws Exception {
        for (int pass = 0; ; pass++) {
            long n = 0, start = System.nanoTime(), end = start + (long) (seconds * 1e9);
            while (System.nanoTime() < end) {
                sink = w.run();
                n++;
            }
            if (pass == 1) return n / ((System.nanoTime() - start) / 1e9);
        }
    }

    // javax.crypto's envelope: the pad count, then the cipher of the zero-completed data.
    static byte[] envelope(javax.crypto.Cipher c, byte[] data, int block) throws Exception {
        int whole = (data.length + block - 1) / block * block;
        byte[] out = new byte[whole + 1];
        out[0] = (byte) (whole == data.length ? block : whole - data.length);
        c.doFinal(Arrays.copyOf(data, whole), 0, whole, out, 1);
        return out;
    }

    // A raw key for javax.crypto, and its parameters for a zero IV of `block`
    // bytes in their encoded form (an ASN.1 OCTET STRING).
    static javax.crypto.SecretKey rawKey(byte[] key, String alg) {
        return new javax.crypto.SecretKey() {
            private static final long serialVersionUID = 1L;

            @Override
            public String getAlgorithm() {
                return alg;
            }

            @Override
            public String getFormat() {
                return "RAW";
            }

            @Override
            public byte[] getEncoded() {
                return key.clone();
            }
        };
    }

    static java.security.AlgorithmParameters zeroIv(String alg, int block) throws Exception {
        byte[] der = new byte[block + 2];
        der[0] = 0x04;
        der[1] = (byte) block;
        java.security.AlgorithmParameters p = java.security.AlgorithmParameters.getInstance(alg);
        p.init(der);
        return p;
    }

    static javax.crypto.Cipher cipher(String transformation, String alg, byte[] key, int mode, int block)
        throws Exception {
        javax.crypto.Cipher c = javax.crypto.Cipher.getInstance(transformation);
        c.init(mode, rawKey(key, alg), ZERO_IV.computeIfAbsent(alg, a -> {
            try {
                return zeroIv(a, block);
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        }));
        return c;
    }

    public static void main(String[] args) throws Exception {
        double s = args.length > 0 ? Double.parseDouble(args[0]) : 2;
        Random rng = new Random(1);
        byte[] aesKey = new byte[32], bfKey = new byte[16], small = new byte[64], big = new byte[1 << 20];
        rng.nextBytes(aesKey);
        rng.nextBytes(bfKey);
        rng.nextBytes(small);
        rng.nextBytes(big);
        int enc = javax.crypto.Cipher.ENCRYPT_MODE, dec = javax.crypto.Cipher.DECRYPT_MODE;
        try (Key aes = new Key(Cipher.AES_CBC, aesKey); Key bf = new Key(Cipher.BLOWFISH, bfKey)) {
            javax.crypto.Cipher reused = cipher("AES/CBC/NoPadding", "AES", aesKey, enc, 16);
            javax.crypto.Cipher reusedDec = cipher("AES/CBC/NoPadding", "AES", aesKey, dec, 16);
            javax.crypto.Cipher bfReused = cipher("Blowfish/CBC/NoPadding", "Blowfish", bfKey, enc, 8);
            byte[] env = aes.seal(big), body = Arrays.copyOfRange(env, 1, env.length);
            System.out.println("| work | sealkit | javax.crypto | ratio |");
            System.out.println("|---|---|---|---|");
            double ours = rate(() -> aes.seal(small), s);
            row("AES-CBC seal, 64 B: a Cipher made per call", ours,
                rate(() -> envelope(cipher("AES/CBC/NoPadding", "AES", aesKey, enc, 16), small, 16), s), 0);
            row("AES-CBC seal, 64 B: one Cipher reused", ours, rate(() -> envelope(reused, small, 16), s), 0);
            row("AES-CBC seal, 1 MiB", rate(() -> aes.seal(big), s), rate(() -> envelope(reused, big, 16), s), big.length);
            row("AES-CBC open, 1 MiB", rate(() -> aes.open(env), s), rate(() -> reusedDec.doFinal(body), s), big.length);
            row("Blowfish seal, 1 MiB", rate(() -> bf.seal(big), s), rate(() -> envelope(bfReused, big, 8), s), big.length);
        }
    }

    static void row(String what, double ours, double theirs, int bytes) {
        String f = bytes == 0 ? "%,.0f calls/s" : "%,.1f MB/s";
        double k = bytes == 0 ? 1 : bytes / 1e6;
        System.out.printf("| %s | " + f + " | " + f + " | %.2fx |%n", what, ours * k, theirs * k, ours / theirs);
    }
}
