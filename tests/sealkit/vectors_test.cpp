// SPDX-License-Identifier: MIT
// Known-answer tests from published vectors. Each table names its source.
// A one-block plaintext seals to the pad byte B followed by the cipher block;
// zero-IV CBC over one block equals ECB, so single-block vectors serve both.
#include <gtest/gtest.h>

#include "support.h"

using namespace sktest;

namespace {

struct Aes {
    const char *name, *key, *plain, *cipher;
};

// FIPS-197 (Nov 2001) Appendix C.1, C.2, C.3 and the Appendix B cipher example.
const Aes kFips197[] = {
    {"C.1", "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
     "69C4E0D86A7B0430D8CDB78070B4C55A"},
    {"C.2", "000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF",
     "DDA97CA4864CDFE06EAF70A0EC0D7191"},
    {"C.3", "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
     "00112233445566778899AABBCCDDEEFF", "8EA2B7CA516745BFEAFC49904B496089"},
    {"B", "2B7E151628AED2A6ABF7158809CF4F3C", "3243F6A8885A308D313198A2E0370734",
     "3925841D02DC09FBDC118597196A0B32"},
};

constexpr const char *kSp80038aPlain =
    "6BC1BEE22E409F96E93D7E117393172A AE2D8A571E03AC9C9EB76FAC45AF8E51"
    "30C81C46A35CE411E5FBC1191A0A52EF F69F2445DF4F9B17AD2B417BE66C3710";
// The same plaintext with the IV 000102..0F folded into its first block, so
// that zero-IV CBC gives the published ciphertext.
constexpr const char *kSp80038aPlainZeroIv =
    "6BC0BCE12A459991E134741A7F9E1925 AE2D8A571E03AC9C9EB76FAC45AF8E51"
    "30C81C46A35CE411E5FBC1191A0A52EF F69F2445DF4F9B17AD2B417BE66C3710";

// NIST SP 800-38A (Dec 2001) Appendix F.1.1, F.1.3, F.1.5 (ECB encrypt).
const Aes kSp80038aEcb[] = {
    {"F.1.1", "2B7E151628AED2A6ABF7158809CF4F3C", kSp80038aPlain,
     "3AD77BB40D7A3660A89ECAF32466EF97 F5D3D58503B9699DE785895A96FDBAAF"
     "43B1CD7F598ECE23881B00E3ED030688 7B0C785E27E8AD3F8223207104725DD4"},
    {"F.1.3", "8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B", kSp80038aPlain,
     "BD334F1D6E45F25FF712A214571FA5CC 974104846D0AD3AD7734ECB3ECEE4EEF"
     "EF7AFD2270E2E60ADCE0BA2FACE6444E 9A4B41BA738D6C72FB16691603C18E0E"},
    {"F.1.5", "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4", kSp80038aPlain,
     "F3EED1BDB5D2A03C064B5A7E3DB181F8 591CCB10D410ED26DC5BA74A31362870"
     "B6ED21B99CA6F4F9F153E7B1BEAFED1D 23304B7A39F9F3FF067D8D8F9E24ECC7"},
};

// NIST SP 800-38A Appendix F.2.1, F.2.3, F.2.5 (CBC encrypt), zero-IV form.
const Aes kSp80038aCbc[] = {
    {"F.2.1", "2B7E151628AED2A6ABF7158809CF4F3C", kSp80038aPlainZeroIv,
     "7649ABAC8119B246CEE98E9B12E9197D 5086CB9B507219EE95DB113A917678B2"
     "73BED6B8E3C1743B7116E69E22229516 3FF1CAA1681FAC09120ECA307586E1A7"},
    {"F.2.3", "8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B", kSp80038aPlainZeroIv,
     "4F021DB243BC633D7178183A9FA071E8 B4D9ADA9AD7DEDF4E5E738763F69145A"
     "571B242012FB7AE07FA9BAAC3DF102E0 08B0E27988598881D920A9E64F5615CD"},
    {"F.2.5", "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4",
     kSp80038aPlainZeroIv,
     "F58C4C04D6E5F1BA779EABFB5F7BFBD6 9CFC4E967EDB808D679F777BC6702C7D"
     "39F23369A9D9BACFA530E26304231461 B2EB05E2C39BE9FCDA6C19078C6A9D1B"},
};

// Seals, checks the envelope, opens, checks the plaintext.
void expect_kat(const Pair &pair, const Aes &v) {
    SCOPED_TRACE(std::string(pair.name) + " " + v.name);
    const Bytes key = hex(v.key), plain = hex(v.plain);
    const Bytes envelope = concat({static_cast<unsigned char>(pair.block)}, hex(v.cipher));
    EXPECT_EQ(to_hex(seal(pair, key, plain)), to_hex(envelope));
    EXPECT_EQ(to_hex(open(pair, key, envelope)), to_hex(plain));
}

TEST(Fips197, SingleBlockBothAesModes) {
    for (const auto &v : kFips197) {
        expect_kat(kPairs[0], v);
        expect_kat(kPairs[1], v);
    }
}

TEST(Sp80038a, EcbFourBlocks) {
    for (const auto &v : kSp80038aEcb) expect_kat(kPairs[0], v);
}

TEST(Sp80038a, CbcFourBlocksZeroIvForm) {
    for (const auto &v : kSp80038aCbc) expect_kat(kPairs[1], v);
}

// Eric Young's Blowfish ECB table (as in OpenSSL's bftest.c). The 8-byte keys
// are used as K||K: the Blowfish key schedule repeats the key over 72 bytes,
// so that 16-byte key is the same key, and it meets the 16-byte minimum.
// One block under zero-IV CBC equals ECB.
struct Bf {
    const char *key, *plain, *cipher;
};
const Bf kBlowfishEcb[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishEricYoung, EcbTableWithRepeatedKey) {
    for (const auto &v : kBlowfishEcb) {
        SCOPED_TRACE(v.key);
        const Bytes k8 = hex(v.key);
        expect_kat(kPairs[3], {"ecb", to_hex(concat(k8, k8)).c_str(), v.plain, v.cipher});
    }
}

// Eric Young's set_key table: plaintext FEDCBA9876543210 under the first n
// bytes of F0E1..77, for the published lengths n = 16..24 that the library
// accepts.
struct BfKey {
    const char *key, *cipher;
};
const BfKey kBlowfishKeyLengths[] = {
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F", "93142887EE3BE15C"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00", "03429E838CE2D14B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011", "A4299E27469FF67B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122", "AFD5AED1C1BC96A8"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233", "10851C0E3858DA9F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344", "E6F51ED79B9DB21F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122334455", "64A6E14AFD36B46F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233445566", "80C7D7D45A5479AD"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "05044B62FA52D080"},
};

TEST(BlowfishEricYoung, KeyLengths16To24) {
    for (const auto &v : kBlowfishKeyLengths)
        expect_kat(kPairs[3], {"set_key", v.key, "FEDCBA9876543210", v.cipher});
}

// OpenSSL bftest.c raw-block vectors with 26- and 17-byte ASCII keys.
TEST(BlowfishBftest, LongAsciiKeys) {
    expect_kat(kPairs[3], {"26", "6162636465666768696A6B6C6D6E6F707172737475767778797A",
                           "424C4F5746495348", "324ED0FEF413A203"});
    expect_kat(kPairs[3], {"17", "57686F206973204A6F686E2047616C743F", "FEDCBA9876543210",
                           "CC91732B8022F684"});
}

// Eric Young's CBC chaining test, zero-IV form: 29 plaintext bytes, so the
// envelope's last block is zero-completed by 3 bytes and the pad byte is 3.
TEST(BlowfishEricYoung, CbcChainingZeroIvForm) {
    const Bytes key = hex("0123456789ABCDEFF0E1D2C3B4A59687");
    const Bytes plain = hex("C9EA8FAC45660330 4E6F772069732074 68652074696D6520 666F722000");
    const Bytes envelope =
        hex("03 6B77B4D63006DEE6 05B156E274039793 58DEB9E7154616D9 59F1652BD5FF92CC");
    ASSERT_EQ(plain.size(), 29u);
    EXPECT_EQ(to_hex(seal(kPairs[3], key, plain)), to_hex(envelope));
    // Opening writes all 32 block bytes and reports the 29 of the plaintext.
    Bytes out(envelope.size(), 0xEE);
    uint32_t len = static_cast<uint32_t>(out.size());
    ASSERT_EQ(CRYPTO3_decrypt(key.data(), 16, envelope.data(), 33, out.data(), &len), 0);
    EXPECT_EQ(len, 29u);
    EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + 32)), to_hex(concat(plain, {0, 0, 0})));
}

// The built-in key (pinned in support.h) is AES-256-CBC's key: envelopes of
// the two pairs open with each other.
TEST(BuiltinKey, InteroperatesWithAesCbc) {
    const Bytes &key = kBuiltinKey;
    std::mt19937 rng(7);
    for (size_t n : {1u, 15u, 16u, 17u, 100u, 1000u}) {
        const Bytes plain = random_bytes(rng, n);
        const Bytes env = seal(kPairs[2], {}, plain);
        EXPECT_EQ(to_hex(env), to_hex(seal(kPairs[1], key, plain)));
        EXPECT_EQ(open(kPairs[1], key, env), plain);
        EXPECT_EQ(open(kPairs[2], {}, seal(kPairs[1], key, plain)), plain);
    }
}

}  // namespace
