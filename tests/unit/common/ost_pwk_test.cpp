// Pairwise keys, checked against an independent implementation: the openssl
// command-line tool (run on files in a temporary directory) derives the
// public points, ECDH secrets and HMAC values that our functions must match.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <string>
#include <vector>

#include "ost_pwk.h"
#include "test_support.h"

namespace {

using bytes_t = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using zt::ptr_text;

std::string hex(const void *p, size_t n)
{
    return zt::hex_text(p, n);
}

std::string hex(const bytes_t &v)
{
    return zt::hex_text(v.data(), v.size());
}

bytes_t unhex(const std::string &s)
{
    bytes_t v;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        v.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return v;
}

bytes_t cat(std::initializer_list<bytes_t> parts)
{
    bytes_t all;
    for (const auto &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

bytes_t random_bytes(size_t n)
{
    bytes_t v(n);
    EXPECT_EQ(RAND_bytes(v.data(), static_cast<int>(n)), 1);
    return v;
}

// A DER SEQUENCE (short-form length) around body.
bytes_t der_seq(const bytes_t &body)
{
    return cat({bytes_t{0x30, static_cast<uint8_t>(body.size())}, body});
}

// Hand-made DER around our fields, so that the openssl tool reads the keys
// without going through our encoders.
const bytes_t k_p384_oid = unhex("06052b81040022");

// A full ECPrivateKey (with the curve) from a reduced 55-byte one.
bytes_t full_priv_der(const uint8_t *priv)
{
    return der_seq(cat({bytes_t(priv + 2, priv + PWK_PRIV_OCT_LEN), unhex("a007"), k_p384_oid}));
}

// A SubjectPublicKeyInfo from 97 point octets.
bytes_t spki_der(const uint8_t *pub_oct)
{
    return der_seq(cat({der_seq(cat({unhex("06072a8648ce3d0201"), k_p384_oid})), unhex("036200"),
                        bytes_t(pub_oct, pub_oct + PWK_PUB_OCT_LEN)}));
}

// One generated set of fields and what decoding gives back.
struct Fields {
    uint8_t pub1[PWK_FIELD_LEN];
    uint8_t pub2[PWK_FIELD_LEN];
    uint8_t priv[PWK_FIELD_LEN];
    uint16_t id = 0;
    uint8_t nonce[PWK_NONCE_LEN];
    uint8_t pub_oct[PWK_PUB_OCT_LEN];
    uint8_t priv_oct[PWK_PRIV_OCT_LEN];

    Fields()
    {
        memset(pub1, 0xAA, sizeof(pub1));
        memset(pub2, 0xBB, sizeof(pub2));
        memset(priv, 0xCC, sizeof(priv));
    }
    void generate()
    {
        ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&id, pub1, pub2, priv), 1);
        uint16_t id_pub = 0;
        uint16_t id_priv = 0;
        uint8_t nonce2[PWK_NONCE_LEN];
        ASSERT_EQ(ost_ipsec_pwk_ecdh_key_pub_decode(pub1, pub2, &id_pub, nonce, pub_oct), 1);
        ASSERT_EQ(ost_ipsec_pwk_ecdh_key_priv_decode(pub1, priv, &id_priv, nonce2, priv_oct), 1);
        ASSERT_EQ(id_pub, id);
        ASSERT_EQ(id_priv, id);
        ASSERT_EQ(memcmp(nonce, nonce2, sizeof(nonce)), 0);
    }
};

// Restores the process-wide switches after each test; runs the openssl tool
// on files of a temporary directory.
class Pwk : public ::testing::Test {
protected:
    void TearDown() override
    {
        pwk_log_set(true);
        pwk_log_level_set(PWK_LOG_LEVEL_ERR);
        pwk_hex_dump_set(false);
    }

    std::string file(const std::string &name) const { return dir_.file(name); }
    void write(const std::string &name, const bytes_t &v) const
    {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(v.data()), static_cast<std::streamsize>(v.size()));
    }
    bytes_t read(const std::string &name) const
    {
        std::string s = zt::read_file(file(name));
        return bytes_t(s.begin(), s.end());
    }
    // Runs the tool (found on PATH) with these arguments, "@name" standing
    // for a file of the temporary directory; fails the test unless it exits
    // with 0.
    void openssl(std::vector<std::string> args) const
    {
        for (auto &a : args) {
            if (a[0] == '@') {
                a = file(a.substr(1));
            }
        }
        args.insert(args.begin(), "openssl");
        zt::Process p("/usr/bin/env", args);
        ASSERT_TRUE(p.wait_exit());
        ASSERT_TRUE(p.result().exited && p.result().exit_code == 0)
            << "openssl failed (scripts/setup installs the tool): " << p.err();
    }

    zt::TempDir dir_;
};

TEST_F(Pwk, KeyIdWrapsFrom255To1AndAGenerationWithoutPrivMakesOnlyTheNonce)
{
    EXPECT_EQ(pwk_key_id_next(0), 1);
    EXPECT_EQ(pwk_key_id_next(254), 255);
    EXPECT_EQ(pwk_key_id_next(4000), 1);
    Fields f;
    for (unsigned n = 1; n <= 256; n++) {
        ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&f.id, f.pub1, nullptr, nullptr), 1);
        ASSERT_EQ(f.id, n == 256 ? 1 : n);
        ASSERT_EQ(f.pub1[0], 0);
        ASSERT_EQ(f.pub1[1], f.id);
    }
    // Bytes 2-31 were all 0xAA; 30 fresh random bytes cannot all keep it.
    EXPECT_NE(bytes_t(f.pub1 + 2, f.pub1 + 32), bytes_t(30, 0xAA));
    EXPECT_EQ(bytes_t(f.pub1 + 32, f.pub1 + 64), bytes_t(32, 0xAA));
    EXPECT_EQ(bytes_t(f.pub2, f.pub2 + 64), bytes_t(64, 0xBB));
    EXPECT_EQ(bytes_t(f.priv, f.priv + 64), bytes_t(64, 0xCC));
    const bytes_t nonce(f.pub1 + 2, f.pub1 + 32);
    ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&f.id, f.pub1, nullptr, nullptr), 1);
    EXPECT_NE(bytes_t(f.pub1 + 2, f.pub1 + 32), nonce) << "each generation has its own nonce";
}

TEST_F(Pwk, FieldsHoldTheReducedPrivateKeyAndItsUncompressedPoint)
{
    Fields f;
    f.generate();
    EXPECT_EQ(f.id, 1);
    // Exactly 30 35 02 01 01 04 30 + 48 bytes, and nothing written past byte 54.
    EXPECT_EQ(hex(f.priv, 7), "30350201010430");
    EXPECT_EQ(bytes_t(f.priv + 55, f.priv + 64), bytes_t(9, 0xCC));
    EXPECT_EQ(bytes_t(f.priv_oct, f.priv_oct + 55), bytes_t(f.priv, f.priv + 55));
    // The nonce is pub1 0-31; the point is 0x04, pub1 32-63, pub2 0-63.
    EXPECT_EQ(bytes_t(f.nonce, f.nonce + 32), bytes_t(f.pub1, f.pub1 + 32));
    EXPECT_EQ(hex(f.pub_oct, 97), "04" + hex(f.pub1 + 32, 32) + hex(f.pub2, 64));

    // The tool derives the public point from the private scalar: it must be
    // the point the fields carry.
    write("priv.der", full_priv_der(f.priv));
    openssl({"ec", "-inform", "DER", "-in", "@priv.der", "-pubout", "-outform", "DER", "-conv_form", "uncompressed",
             "-out", "@pub.der"});
    EXPECT_EQ(hex(read("pub.der")), hex(spki_der(f.pub_oct)));

    // Our own readers give the same key back, and encoding it again gives the
    // same octets.
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);
    pwk_pkey_ptr key = pwk_ecdh_key_create_from_priv_oct(param, f.priv_oct, PWK_PRIV_OCT_LEN);
    ASSERT_TRUE(key);
    uint8_t oct[128];
    ASSERT_EQ(pwk_ecdh_pk_oct_get_from_key(key.get(), oct, sizeof(oct)), 97);
    EXPECT_EQ(hex(oct, 97), hex(f.pub_oct, 97));
    EXPECT_EQ(pwk_ecdh_pk_oct_get_from_key(key.get(), oct, 96), 0) << "too small a buffer";
    uint8_t priv_again[64];
    memset(priv_again, 0xEE, sizeof(priv_again));
    ASSERT_EQ(pwk_ecdh_priv_oct_get_from_key(key.get(), priv_again, sizeof(priv_again)), 55);
    EXPECT_EQ(hex(priv_again, 55), hex(f.priv, 55));
    EXPECT_EQ(priv_again[55], 0xEE);

    // Encoding leaves the public point out only for itself: a generated key's
    // full encoding carries it before and after (about 167 bytes; 64 without).
    pwk_pkey_ptr fresh = pwk_ecdh_keypair_generate(param);
    const int full_len = i2d_PrivateKey(fresh.get(), nullptr);
    EXPECT_GT(full_len, 150);
    ASSERT_EQ(pwk_ecdh_priv_oct_get_from_key(fresh.get(), priv_again, sizeof(priv_again)), 55);
    EXPECT_EQ(i2d_PrivateKey(fresh.get(), nullptr), full_len);
}

TEST_F(Pwk, SecretOfExchangedFieldsMatchesOpensslPkeyutl)
{
    // Two peers exchange their pub1/pub2 fields; each rebuilds the other's
    // public key and its own private key from the fields.
    Fields a;
    Fields b;
    a.generate();
    b.generate();
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    pwk_pkey_ptr a_priv = pwk_ecdh_key_create_from_priv_oct(param, a.priv_oct, PWK_PRIV_OCT_LEN);
    pwk_pkey_ptr b_priv = pwk_ecdh_key_create_from_priv_oct(param, b.priv_oct, PWK_PRIV_OCT_LEN);
    pwk_pkey_ptr a_pub = pwk_ecdh_key_create_from_pk_oct(param, a.pub_oct, PWK_PUB_OCT_LEN);
    pwk_pkey_ptr b_pub = pwk_ecdh_key_create_from_pk_oct(param, b.pub_oct, PWK_PUB_OCT_LEN);
    ASSERT_TRUE(a_priv && b_priv && a_pub && b_pub);
    uint8_t ab[48];
    uint8_t ba[64];
    ASSERT_EQ(pwk_ecdh_secret_compute(a_priv.get(), b_pub.get(), ab, sizeof(ab)), 48);
    ASSERT_EQ(pwk_ecdh_secret_compute(b_priv.get(), a_pub.get(), ba, sizeof(ba)), 48);
    EXPECT_EQ(hex(ab, 48), hex(ba, 48));

    write("a.der", full_priv_der(a.priv));
    write("b_pub.der", spki_der(b.pub_oct));
    openssl({"ec", "-inform", "DER", "-in", "@a.der", "-out", "@a.pem"});
    openssl({"pkey", "-pubin", "-inform", "DER", "-in", "@b_pub.der", "-out", "@b_pub.pem"});
    openssl({"pkeyutl", "-derive", "-inkey", "@a.pem", "-peerkey", "@b_pub.pem", "-out", "@ab.bin"});
    EXPECT_EQ(hex(read("ab.bin")), hex(ab, 48));

    zt::LogCapture log;
    EXPECT_EQ(pwk_ecdh_secret_compute(a_priv.get(), b_pub.get(), ab, 47), 0);
    EXPECT_EQ(log.lines(), Strings{"pwk_ecdh_secret_compute: buf_len(47) < secret_len(48): buf is too small."});
    EXPECT_EQ(log.priorities(), std::vector<int>{3});
}

TEST_F(Pwk, KeysFromBadOctetsAreRefused)
{
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    Fields f;
    f.generate();
    zt::LogCapture log;
    uint8_t bad[PWK_PUB_OCT_LEN];
    memcpy(bad, f.pub_oct, sizeof(bad));
    bad[96] ^= 0x01;  // no longer on the curve
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(param, bad, sizeof(bad)));
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(param, f.pub_oct, 0));
    EXPECT_FALSE(pwk_ecdh_key_create_from_priv_oct(nullptr, f.priv_oct, 55));
    pwk_pkey_ptr not_ec(EVP_PKEY_new());
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(not_ec.get(), f.pub_oct, 97));
    EXPECT_EQ(log.lines(),
              (Strings{"pwk_ecdh_key_create_from_pk_oct: o2i_ECPublicKey() failed. pk_oct=" + ptr_text(bad) +
                           ", oct_len=97",
                       "pwk_ecdh_key_create_from_pk_oct: Invalid arguments param=" + ptr_text(param) +
                           ", pk_oct=" + ptr_text(f.pub_oct) + ", oct_len=0",
                       "pwk_ecdh_key_create_from_priv_oct: Invalid arguments param=(nil), priv_oct=" +
                           ptr_text(f.priv_oct) + ", oct_len=55",
                       "pwk_ecdh_key_create_from_pk_oct: EVP_PKEY_get0(param=" + ptr_text(not_ec.get()) +
                           ") returns NULL"}));
    log.clear();
    uint8_t junk[55];
    memset(junk, 0x5A, sizeof(junk));
    EXPECT_FALSE(pwk_ecdh_key_create_from_priv_oct(param, junk, sizeof(junk)));
    EXPECT_TRUE(log.contains("pwk_ecdh_key_create_from_priv_oct: d2i_ECPrivateKey() failed. priv_oct=" +
                             ptr_text(junk) + ", oct_len=55"))
        << log.dump();
}

TEST_F(Pwk, PairKeysMatchHmacSha512OfTheOpensslTool)
{
    bytes_t secret = random_bytes(48);
    bytes_t na = random_bytes(32);
    bytes_t nb = random_bytes(32);
    bytes_t sa = random_bytes(4);
    bytes_t sb = random_bytes(4);
    uint32_t spi_a;
    uint32_t spi_b;
    memcpy(&spi_a, sa.data(), 4);
    memcpy(&spi_b, sb.data(), 4);
    write("secret.bin", secret);

    // OKM per order flag, from the tool: PRK = HMAC(K, secret), OKM = HMAC(PRK, S).
    auto tool_okm = [&](const bytes_t &k, const bytes_t &s, const std::string &tag) {
        openssl({"dgst", "-sha512", "-mac", "HMAC", "-macopt", "hexkey:" + hex(k), "-binary", "-out", "@prk" + tag,
                 "@secret.bin"});
        write("s" + tag, s);
        openssl({"dgst", "-sha512", "-mac", "HMAC", "-macopt", "hexkey:" + hex(read("prk" + tag)), "-binary", "-out",
                 "@okm" + tag, "@s" + tag});
        return hex(read("okm" + tag));
    };
    const std::string okm1 = tool_okm(cat({na, nb}), cat({sa, sb}), "1");
    const std::string okm0 = tool_okm(cat({nb, na}), cat({sb, sa}), "0");
    ASSERT_EQ(okm1.size(), 128u);

    uint8_t k1[32];
    uint8_t k2[32];
    uint8_t p1[32];
    uint8_t p2[32];
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 1);
    EXPECT_EQ(hex(k1, 32) + hex(k2, 32), okm1);
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 0, p1, p2), 1);
    EXPECT_EQ(hex(p2, 32) + hex(p1, 32), okm0);
    // The peer passes the opposite flag with A and B swapped and gets the same
    // pair with the roles exchanged.
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), nb.data(), na.data(), spi_b, spi_a, 0, p1, p2), 1);
    EXPECT_EQ(hex(k1, 32), hex(p2, 32));
    EXPECT_EQ(hex(k2, 32), hex(p1, 32));

    zt::LogCapture log;
    EXPECT_EQ(pwk_pair_keys_derive(nullptr, na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 0);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(Pwk, FingerprintIsTheFirstTwoSha256Bytes)
{
    char fp[PWK_FINGERPRINT_SIZE];
    EXPECT_STREQ(pwk_fingerprint("abc", 3, fp, sizeof(fp)), "BA78");  // ba7816bf...
    EXPECT_STREQ(pwk_fingerprint("", 0, fp, sizeof(fp)), "E3B0");     // e3b0c442...
    char small[3];
    EXPECT_STREQ(pwk_fingerprint("", 0, small, sizeof(small)), "E3");
}

TEST_F(Pwk, PrivateKeyEncodingIsCheckedAndCutDownToVersionAndScalar)
{
    const uint8_t good[7] = {0x30, 0x35, 0x02, 0x01, 0x01, 0x04, 0x30};
    const uint8_t short_scalar[7] = {0x30, 0x34, 0x02, 0x01, 0x01, 0x04, 0x2F};
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(good), 1);
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(short_scalar), 1);
    zt::LogCapture log;
    const uint8_t bad[7] = {0x30, 0x36, 0x02, 0x01, 0x01, 0x04, 0x30};
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(bad), 0);
    EXPECT_EQ(log.lines(),
              Strings{"pwk_ecdh_priv_oct_hdr_valid: Invalid priv_oct encoding. priv_oct[0-6]=30360201010430"});

    bytes_t scalar = random_bytes(48);
    const bytes_t trailer = unhex("a00706052b81040022");  // the optional curve parameters
    // Two-byte long-form outer length.
    bytes_t body = cat({unhex("0201010430"), scalar, trailer});
    bytes_t der = cat({bytes_t{0x30, 0x82, 0x00, static_cast<uint8_t>(body.size())}, body});
    EXPECT_EQ(ec_priv_oct_get_priv(der.data(), static_cast<int>(der.size())), 55);
    EXPECT_EQ(hex(der.data(), 55), "30350201010430" + hex(scalar));
    // A 47-byte scalar gives a 54-byte encoding.
    bytes_t short_der = cat({unhex("303d020101042f"), bytes_t(scalar.begin(), scalar.begin() + 47), trailer});
    EXPECT_EQ(ec_priv_oct_get_priv(short_der.data(), static_cast<int>(short_der.size())), 54);
    EXPECT_EQ(hex(short_der.data(), 54), "3034020101042f" + hex(scalar.data(), 47));

    const std::pair<const char *, const char *> cases[] = {
        {"31350201010430", "SEQUENC(31) != 30."}, {"3081a40201010430", "SEQUENC LEN: 81."},
        {"30350201000430", "VER 020100."},        {"30350201010330", "OCTV 03."},
        {"30350201010431", "OCTV LEN 31."},       {"30350201010400", "OCTV LEN 00."},
    };
    for (const auto &[prefix, text] : cases) {
        log.clear();
        bytes_t in = cat({unhex(prefix), scalar, trailer});
        const bytes_t before = in;
        EXPECT_EQ(ec_priv_oct_get_priv(in.data(), static_cast<int>(in.size())), 0) << prefix;
        EXPECT_EQ(in, before);
        EXPECT_EQ(log.lines(), Strings{std::string("ec_priv_oct_get_priv: Invalid priv_oct encoding: ") + text});
    }
    // A scalar longer than the input is refused, not read past the end.
    bytes_t cut = unhex("30350201010430aabbcc");
    EXPECT_EQ(ec_priv_oct_get_priv(cut.data(), static_cast<int>(cut.size())), 0);

    // The trace lines need level 8.
    log.clear();
    pwk_log_level_set(PWK_LOG_LEVEL_TRACE);
    EXPECT_EQ(ec_priv_oct_get_priv(der.data(), 55), 55);
    EXPECT_EQ(log.lines(), (Strings{"ec_priv_oct_get_priv: SEQUENC LEN: 0035.",
                                    "ec_priv_oct_get_priv: tl=35, pl=07, oct len=48"}));
}

TEST_F(Pwk, ErrorLinesNeedTheLogSwitchAndLevelThree)
{
    zt::LogCapture log;
    pwk_pkey_ptr key = pwk_ecdh_keypair_generate(pwk_ecdh_p384_param_get());
    ASSERT_TRUE(key);
    uint8_t buf[64];
    uint8_t pub1[64];
    uint16_t id = 7;
    uint8_t nonce[32];
    uint8_t oct[97];
    EXPECT_EQ(pwk_ecdh_priv_oct_get_from_key(key.get(), buf, 54), 0);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&id, pub1, nullptr, buf), 0);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_pub_decode(pub1, nullptr, &id, nonce, oct), 0);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_priv_decode(pub1, buf, &id, nullptr, oct), 0);
    EXPECT_EQ(log.lines(),
              (Strings{
                  "pwk_ecdh_priv_oct_get_from_key: buf_len=54 is too small for priv_oct (<55).",
                  "ost_ipsec_pwk_ecdh_key_gen_n_encode: NULL arguments p_id=(nil), pub1=" + ptr_text(pub1),
                  "ost_ipsec_pwk_ecdh_key_gen_n_encode: NULL argument pub2",
                  "ost_ipsec_pwk_ecdh_key_pub_decode: NULL arguments p_id=" + ptr_text(&id) + ", pub1=" +
                      ptr_text(pub1) + ", pub2=(nil), nonce=" + ptr_text(nonce) + ", pub_key_oct=" + ptr_text(oct),
                  "ost_ipsec_pwk_ecdh_key_priv_decode: NULL arguments p_id=" + ptr_text(&id) + ", pub1=" +
                      ptr_text(pub1) + ", nonce=(nil), priv_key_oct=" + ptr_text(oct),
              }));
    EXPECT_EQ(log.priorities(), std::vector<int>(5, 3));

    log.clear();
    pwk_log_set(false);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    pwk_log_set(true);
    pwk_log_level_set(2);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Pwk, KeyBytesAreLoggedOnlyByTheHexDump)
{
    // Debug lines at level 8 carry no run of four key bytes, in either case.
    zt::LogCapture log;
    pwk_log_level_set(PWK_LOG_LEVEL_TRACE);
    Fields f;
    f.generate();
    EXPECT_TRUE(log.contains("ost_ipsec_pwk_ecdh_key_gen_n_encode: Enter."));
    EXPECT_TRUE(log.contains("ost_ipsec_pwk_ecdh_key_gen_n_encode: Succeeded. key oct encoded in pub1/pub2/priv. "
                             "key_id=0x0001, pub1=" +
                             ptr_text(f.pub1) + ", pub2=" + ptr_text(f.pub2) + ", priv=" + ptr_text(f.priv)))
        << log.dump();
    EXPECT_EQ(log.priorities(), std::vector<int>(log.lines().size(), 7));
    auto leaks = [&](const uint8_t *p, size_t n) {
        for (size_t i = 0; i + 4 <= n; i++) {
            std::string lower = hex(p + i, 4);
            std::string upper = lower;
            for (char &c : upper) {
                c = static_cast<char>(toupper(c));
            }
            if (log.contains(lower) || log.contains(upper)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(leaks(f.priv + 7, 48) || leaks(f.pub_oct + 1, 96) || leaks(f.pub1 + 2, 30)) << log.dump();

    // The hex dump: a header while the log switch is on, then 16 bytes a line.
    uint8_t data[20];
    for (size_t i = 0; i < sizeof(data); i++) {
        data[i] = static_cast<uint8_t>(0xF0 + i);
    }
    log.clear();
    ost_pwk_hex_dump("label", data, sizeof(data));
    EXPECT_TRUE(log.lines().empty()) << "switch off";
    pwk_hex_dump_set(true);
    ost_pwk_hex_dump("label", data, sizeof(data));
    pwk_log_set(false);
    ost_pwk_hex_dump("label", data, 6);
    EXPECT_EQ(log.lines(), (Strings{"ost_pwk_hex_dump: label: 20-byte @" + ptr_text(data),
                                    "ost_pwk_hex_dump: 00000000: F0F1F2F3 F4F5F6F7 F8F9FAFB FCFDFEFF ",
                                    "ost_pwk_hex_dump: 00000010: 00010203 ",
                                    "ost_pwk_hex_dump: 00000000: F0F1F2F3 F4F5"}));

    // A generation dumps its three fields.
    log.clear();
    pwk_log_set(true);
    Fields g;
    g.generate();
    for (const auto &[label, p] : {std::pair{"pub1: 64", g.pub1}, {"pub2: 64", g.pub2}, {"priv: 55", g.priv}}) {
        EXPECT_TRUE(log.contains(std::string("ost_pwk_hex_dump: ") + label + "-byte @" + ptr_text(p))) << label;
    }
    char first[64];
    snprintf(first, sizeof(first), "ost_pwk_hex_dump: 00000000: 30350201 010430%02X ", g.priv[7]);
    EXPECT_TRUE(log.contains(first)) << log.dump();
}

TEST_F(Pwk, ParameterCache)
{
    EVP_PKEY *p = pwk_ecdh_p384_param_get();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pwk_ecdh_p384_param_get(), p);
    EXPECT_EQ(EVP_PKEY_get_bits(p), 384);
    ASSERT_EQ(pwk_ecdh_p384_param_reload(), 1);
    pwk_ecdh_p384_param_free();
    EVP_PKEY *again = pwk_ecdh_p384_param_get();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(again), 384);
    pwk_pkey_ptr p256 = pwk_ecdh_param_load(NID_X9_62_prime256v1);
    ASSERT_TRUE(p256);
    EXPECT_EQ(EVP_PKEY_get_bits(p256.get()), 256);
    zt::LogCapture log;
    EXPECT_FALSE(pwk_ecdh_param_load(NID_undef));
    EXPECT_EQ(log.lines().size(), 1u) << log.dump();
}

}  // namespace
