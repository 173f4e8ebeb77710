// SPDX-License-Identifier: MIT
package org.sealkit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HexFormat;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;

/** Published vectors, and the same envelopes as javax.crypto and the command make. */
@Timeout(value = 120, unit = TimeUnit.SECONDS)
class VectorsTest {
    static byte[] hex(String s) {
        return HexFormat.of().parseHex(s.replace(" ", ""));
    }

    static final String SP_PLAIN = "6BC1BEE22E409F96E93D7E117393172A AE2D8A571E03AC9C9EB76FAC45AF8E51"
        + "30C81C46A35CE411E5FBC1191A0A52EF F69F2445DF4F9B17AD2B417BE66C3710";
    // The plaintext with the IV 000102..0F folded into its first block: zero-IV CBC then gives
    // the published ciphertext.
    static final String SP_PLAIN_ZERO_IV = "6BC0BCE12A459991E134741A7F9E1925 AE2D8A571E03AC9C9EB76FAC45AF8E51"
        + "30C81C46A35CE411E5FBC1191A0A52EF F69F2445DF4F9B17AD2B417BE66C3710";
    static final String K128 = "2B7E151628AED2A6ABF7158809CF4F3C";
    static final String K192 = "8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B";
    static final String K256 = "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4";

    // cipher, key, plaintext, the envelope's cipher blocks. FIPS-197 App. C and B (one block:
    // zero-IV CBC equals ECB); SP 800-38A F.1 and F.2 (CBC in its zero-IV form); Eric Young's
    // Blowfish rows (8-byte keys as K||K) and his CBC test, zero-IV form.
    static final String[][] ROWS = {
        {"AES_ECB", "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF", "69C4E0D86A7B0430D8CDB78070B4C55A"},
        {"AES_CBC", "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF", "69C4E0D86A7B0430D8CDB78070B4C55A"},
        {"AES_ECB", "000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF", "DDA97CA4864CDFE06EAF70A0EC0D7191"},
        {"AES_CBC", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", "00112233445566778899AABBCCDDEEFF", "8EA2B7CA516745BFEAFC49904B496089"},
        {"AES_ECB", K128, "3243F6A8885A308D313198A2E0370734", "3925841D02DC09FBDC118597196A0B32"},
        {"AES_ECB", K128, SP_PLAIN, "3AD77BB40D7A3660A89ECAF32466EF97 F5D3D58503B9699DE785895A96FDBAAF"
            + "43B1CD7F598ECE23881B00E3ED030688 7B0C785E27E8AD3F8223207104725DD4"},
        {"AES_ECB", K192, SP_PLAIN, "BD334F1D6E45F25FF712A214571FA5CC 974104846D0AD3AD7734ECB3ECEE4EEF"
            + "EF7AFD2270E2E60ADCE0BA2FACE6444E 9A4B41BA738D6C72FB16691603C18E0E"},
        {"AES_ECB", K256, SP_PLAIN, "F3EED1BDB5D2A03C064B5A7E3DB181F8 591CCB10D410ED26DC5BA74A31362870"
            + "B6ED21B99CA6F4F9F153E7B1BEAFED1D 23304B7A39F9F3FF067D8D8F9E24ECC7"},
        {"AES_CBC", K128, SP_PLAIN_ZERO_IV, "7649ABAC8119B246CEE98E9B12E9197D 5086CB9B507219EE95DB113A917678B2"
            + "73BED6B8E3C1743B7116E69E22229516 3FF1CAA1681FAC09120ECA307586E1A7"},
        {"AES_CBC", K192, SP_PLAIN_ZERO_IV, "4F021DB243BC633D7178183A9FA071E8 B4D9ADA9AD7DEDF4E5E738763F69145A"
            + "571B242012FB7AE07FA9BAAC3DF102E0 08B0E27988598881D920A9E64F5615CD"},
        {"AES_CBC", K256, SP_PLAIN_ZERO_IV, "F58C4C04D6E5F1BA779EABFB5F7BFBD6 9CFC4E967EDB808D679F777BC6702C7D"
            + "39F23369A9D9BACFA530E26304231461 B2EB05E2C39BE9FCDA6C19078C6A9D1B"},
        {"BLOWFISH", "00000000000000000000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"BLOWFISH", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"BLOWFISH", "30000000000000003000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"BLOWFISH", "0123456789ABCDEF0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"BLOWFISH", "FEDCBA9876543210FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"BLOWFISH", "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
        {"BLOWFISH", "6162636465666768696A6B6C6D6E6F707172737475767778797A", "424C4F5746495348", "324ED0FEF413A203"},
        {"BLOWFISH", "0123456789ABCDEFF0E1D2C3B4A59687",
            "C9EA8FAC45660330 4E6F772069732074 68652074696D6520 666F722000",
            "6B77B4D63006DEE6 05B156E274039793 58DEB9E7154616D9 59F1652BD5FF92CC"},
    };

    @Test
    void publishedVectors() throws IOException {
        for (String[] r : ROWS) {
            Cipher c = Cipher.valueOf(r[0]);
            byte[] key = hex(r[1]), plain = hex(r[2]);
            byte[] env = new byte[1 + hex(r[3]).length];
            env[0] = (byte) (plain.length % c.block == 0 ? c.block : c.block - plain.length % c.block);
            System.arraycopy(hex(r[3]), 0, env, 1, env.length - 1);
            assertArrayEquals(env, Sealkit.seal(c, plain, key), r[0] + " " + r[1]);
            assertArrayEquals(plain, Sealkit.open(c, env, key), r[0] + " " + r[1]);
            try (Key k = new Key(c, key)) {
                assertArrayEquals(env, k.seal(plain));
                assertArrayEquals(plain, k.open(env));
            }
        }
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

    // javax.crypto's cipher over the zero-completed plaintext, behind the pad count.
    static byte[] reference(Cipher c, byte[] key, byte[] plain) throws Exception {
        String alg = c == Cipher.BLOWFISH ? "Blowfish" : "AES";
        String mode = c == Cipher.AES_ECB ? "/ECB/NoPadding" : "/CBC/NoPadding";
        javax.crypto.Cipher j = javax.crypto.Cipher.getInstance(alg + mode);
        if (c == Cipher.AES_ECB) {
            j.init(javax.crypto.Cipher.ENCRYPT_MODE, rawKey(key, alg));
        } else {
            j.init(javax.crypto.Cipher.ENCRYPT_MODE, rawKey(key, alg), zeroIv(alg, c.block));
        }
        int whole = (plain.length + c.block - 1) / c.block * c.block;
        byte[] body = j.doFinal(java.util.Arrays.copyOf(plain, whole));
        byte[] env = new byte[whole + 1];
        env[0] = (byte) (whole - plain.length == 0 ? c.block : whole - plain.length);
        System.arraycopy(body, 0, env, 1, whole);
        return env;
    }

    @Test
    void sameAsJavaxCryptoOnRandomSizes() throws Exception {
        Random rng = new Random(51);
        int[] sizes = {1, 7, 8, 9, 15, 16, 17, 1023, 1024, 1025, 65537, 1 << 20, rng.nextInt(1 << 20) + 1,
                       rng.nextInt(1 << 20) + 1, rng.nextInt(1 << 20) + 1};
        for (Cipher c : new Cipher[] {Cipher.AES_ECB, Cipher.AES_CBC, Cipher.BLOWFISH}) {
            for (int n : sizes) {
                byte[] key = new byte[c == Cipher.BLOWFISH ? 16 : new int[] {16, 24, 32}[n % 3]];
                byte[] plain = new byte[n];
                rng.nextBytes(key);
                rng.nextBytes(plain);
                byte[] want = reference(c, key, plain);
                String what = c + ", " + n + " bytes";
                assertArrayEquals(want, Sealkit.seal(c, plain, key), what);
                try (Key k = new Key(c, key)) {
                    assertArrayEquals(want, k.seal(plain), what);
                    assertArrayEquals(plain, k.open(want), what);
                    ByteArrayOutputStream sink = new ByteArrayOutputStream();
                    try (SealingOutputStream s = new SealingOutputStream(sink, k, n)) {
                        s.write(plain, 0, n / 3);
                        s.write(plain, n / 3, n - n / 3);
                    }
                    assertArrayEquals(want, sink.toByteArray(), what + ", streamed");
                    try (OpeningInputStream in = new OpeningInputStream(new ByteArrayInputStream(want), k)) {
                        assertArrayEquals(plain, in.readAllBytes(), what + ", streamed open");
                    }
                }
            }
        }
    }

    @Test
    void sameAsTheCommand(@TempDir Path dir) throws Exception {
        String tool = System.getenv("SEALKIT_TOOL");
        org.junit.jupiter.api.Assumptions.assumeTrue(tool != null, "SEALKIT_TOOL is not set");
        Random rng = new Random(7);
        for (Cipher c : Cipher.values()) {
            byte[] key = null;
            Path keyFile = dir.resolve(c.name);
            if (c.keyed()) {
                run(new ProcessBuilder(tool, "keygen", "-c", c.name, "-o", keyFile.toString()), null);
                key = Files.readAllBytes(keyFile);
            }
            for (int n : new int[] {1, 100, 4097, 300001}) {
                byte[] plain = new byte[n];
                rng.nextBytes(plain);
                ProcessBuilder seal = c.keyed() ? new ProcessBuilder(tool, "seal", "-q", "-c", c.name, "-k", keyFile.toString())
                                                : new ProcessBuilder(tool, "seal", "-q", "-c", c.name);
                byte[] env = run(seal, plain);
                assertArrayEquals(env, Sealkit.seal(c, plain, key), c + ", " + n + " bytes");
                assertArrayEquals(plain, Sealkit.open(c, env, key));
            }
        }
    }

    static byte[] run(ProcessBuilder pb, byte[] input) throws Exception {
        Process p = pb.redirectError(ProcessBuilder.Redirect.INHERIT).start();
        if (input != null) p.getOutputStream().write(input);
        p.getOutputStream().close();
        byte[] out = p.getInputStream().readAllBytes();
        assertEquals(0, p.waitFor(), String.join(" ", pb.command()));
        return out;
    }
}
