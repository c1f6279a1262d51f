// Pairwise keys, checked against independent implementations: the openssl
// command-line tool (run on files in a temporary directory) computes the
// ECDH secrets, public points and HMAC values that our functions must match.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <openssl/bio.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ost_pwk.h"
#include "test_support.h"

namespace {

using bytes_t = std::vector<uint8_t>;

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string hex(const bytes_t &v)
{
    return hex(v.data(), v.size());
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

void write_bytes(const std::string &path, const bytes_t &v)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(v.data()), static_cast<std::streamsize>(v.size()));
}

bytes_t read_bytes(const std::string &path)
{
    std::string s = zt::read_file(path);
    return bytes_t(s.begin(), s.end());
}

bytes_t random_bytes(size_t n)
{
    bytes_t v(n);
    EXPECT_EQ(RAND_bytes(v.data(), static_cast<int>(n)), 1);
    return v;
}

std::string openssl_path()
{
    const char *path = getenv("PATH");
    std::string all = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string cand = (dir.empty() ? "." : dir) + "/openssl";
        if (access(cand.c_str(), X_OK) == 0) {
            return cand;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return "";
}

// Runs the openssl tool; fails the test when it does not exit with 0.
void openssl(const std::vector<std::string> &args)
{
    static const std::string tool = openssl_path();
    ASSERT_FALSE(tool.empty()) << "the openssl command-line tool is needed (scripts/setup installs it)";
    zt::Process p(tool, args);
    ASSERT_TRUE(p.wait_exit());
    ASSERT_TRUE(p.result().exited && p.result().exit_code == 0) << "openssl failed: " << p.err();
}

// Hand-made DER around our fields, so that the openssl tool reads the keys
// without going through our encoders.
const bytes_t k_p384_oid = unhex("06052b81040022");
const bytes_t k_ec_public_key_oid = unhex("06072a8648ce3d0201");

// A full ECPrivateKey (with the curve) from a reduced 55-byte one.
bytes_t full_priv_der(const uint8_t *priv)
{
    bytes_t inner(priv + 2, priv + PWK_PRIV_OCT_LEN);  // version and scalar
    bytes_t params = cat({unhex("a007"), k_p384_oid});
    bytes_t body = cat({inner, params});
    return cat({bytes_t{0x30, static_cast<uint8_t>(body.size())}, body});
}

// A SubjectPublicKeyInfo from 97 point octets.
bytes_t spki_der(const uint8_t *pub_oct)
{
    bytes_t alg = cat({k_ec_public_key_oid, k_p384_oid});
    bytes_t alg_seq = cat({bytes_t{0x30, static_cast<uint8_t>(alg.size())}, alg});
    bytes_t bits = cat({unhex("036200"), bytes_t(pub_oct, pub_oct + PWK_PUB_OCT_LEN)});
    bytes_t body = cat({alg_seq, bits});
    return cat({bytes_t{0x30, static_cast<uint8_t>(body.size())}, body});
}

// One generated pair of fields and what decoding gives back.
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

std::string ptr_text(const void *p)
{
    char b[32];
    snprintf(b, sizeof(b), "%p", p);
    return b;
}

// Restores the process-wide switches after each test.
class Pwk : public ::testing::Test {
protected:
    void TearDown() override
    {
        pwk_log_set(true);
        pwk_log_level_set(PWK_LOG_LEVEL_ERR);
        pwk_hex_dump_set(false);
    }
    zt::TempDir dir_;
};

TEST_F(Pwk, KeyIdAdvancesAndWrapsFrom255To1)
{
    EXPECT_EQ(pwk_key_id_next(0), 1);
    EXPECT_EQ(pwk_key_id_next(1), 2);
    EXPECT_EQ(pwk_key_id_next(254), 255);
    EXPECT_EQ(pwk_key_id_next(255), 1);
    EXPECT_EQ(pwk_key_id_next(4000), 1);

    uint16_t id = 0;
    uint8_t pub1[PWK_FIELD_LEN] = {};
    for (unsigned n = 1; n <= 255; n++) {
        ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&id, pub1, nullptr, nullptr), 1);
        ASSERT_EQ(id, n);
        ASSERT_EQ(pub1[0], 0);
        ASSERT_EQ(pub1[1], n);
    }
    ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&id, pub1, nullptr, nullptr), 1);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(pub1[0], 0);
    EXPECT_EQ(pub1[1], 1);
}

TEST_F(Pwk, GenerationWithoutPrivTouchesOnlyTheNonce)
{
    Fields f;
    f.id = 0x41;
    const bytes_t old_pub1(f.pub1, f.pub1 + PWK_FIELD_LEN);
    ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&f.id, f.pub1, f.pub2, nullptr), 1);
    EXPECT_EQ(f.id, 0x42);
    EXPECT_EQ(f.pub1[0], 0x00);
    EXPECT_EQ(f.pub1[1], 0x42);
    // Bytes 2-31 were all 0xAA; 30 fresh random bytes cannot all keep it.
    EXPECT_NE(bytes_t(f.pub1 + 2, f.pub1 + 32), bytes_t(old_pub1.begin() + 2, old_pub1.begin() + 32));
    EXPECT_EQ(bytes_t(f.pub1 + 32, f.pub1 + 64), bytes_t(32, 0xAA));
    EXPECT_EQ(bytes_t(f.pub2, f.pub2 + 64), bytes_t(64, 0xBB));
    EXPECT_EQ(bytes_t(f.priv, f.priv + 64), bytes_t(64, 0xCC));

    // Two generations give different nonces.
    uint8_t again[PWK_FIELD_LEN];
    memcpy(again, f.pub1, sizeof(again));
    ASSERT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&f.id, again, nullptr, nullptr), 1);
    EXPECT_NE(bytes_t(again + 2, again + 32), bytes_t(f.pub1 + 2, f.pub1 + 32));
}

TEST_F(Pwk, FieldsHoldTheReducedPrivateKeyAndItsUncompressedPoint)
{
    Fields f;
    f.generate();
    EXPECT_EQ(f.id, 1);

    // The reduced private key: exactly 30 35 02 01 01 04 30 + 48 bytes, and
    // nothing written past byte 54.
    EXPECT_EQ(hex(f.priv, 7), "30350201010430");
    EXPECT_EQ(bytes_t(f.priv + 55, f.priv + 64), bytes_t(9, 0xCC));
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(f.priv), 1);
    EXPECT_EQ(bytes_t(f.priv_oct, f.priv_oct + 55), bytes_t(f.priv, f.priv + 55));
    // The nonce is pub1 0-31; the point is 0x04, pub1 32-63, pub2 0-63.
    EXPECT_EQ(bytes_t(f.nonce, f.nonce + 32), bytes_t(f.pub1, f.pub1 + 32));
    EXPECT_EQ(f.pub_oct[0], 0x04);
    EXPECT_EQ(bytes_t(f.pub_oct + 1, f.pub_oct + 33), bytes_t(f.pub1 + 32, f.pub1 + 64));
    EXPECT_EQ(bytes_t(f.pub_oct + 33, f.pub_oct + 97), bytes_t(f.pub2, f.pub2 + 64));

    // The openssl tool derives the public point from the private scalar: it
    // must be the point the fields carry.
    write_bytes(dir_.file("priv.der"), full_priv_der(f.priv));
    openssl({"ec", "-inform", "DER", "-in", dir_.file("priv.der"), "-pubout", "-outform", "DER", "-conv_form",
             "uncompressed", "-out", dir_.file("pub.der")});
    bytes_t pub_der = read_bytes(dir_.file("pub.der"));
    ASSERT_GE(pub_der.size(), 97u);
    EXPECT_EQ(hex(bytes_t(pub_der.end() - 97, pub_der.end())), hex(f.pub_oct, 97));
    EXPECT_EQ(hex(spki_der(f.pub_oct)), hex(pub_der));

    // Our own readers give the same key back.
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);
    pwk_pkey_ptr key = pwk_ecdh_key_create_from_priv_oct(param, f.priv_oct, PWK_PRIV_OCT_LEN);
    ASSERT_TRUE(key);
    uint8_t oct[128];
    ASSERT_EQ(pwk_ecdh_pk_oct_get_from_key(key.get(), oct, sizeof(oct)), 97);
    EXPECT_EQ(hex(oct, 97), hex(f.pub_oct, 97));
    uint8_t priv_again[64];
    ASSERT_EQ(pwk_ecdh_priv_oct_get_from_key(key.get(), priv_again, sizeof(priv_again)), 55);
    EXPECT_EQ(hex(priv_again, 55), hex(f.priv, 55));
}

TEST_F(Pwk, GeneratedKeysEncodeLikeTheOpensslTool)
{
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);
    pwk_pkey_ptr key = pwk_ecdh_keypair_generate(param);
    ASSERT_TRUE(key);
    {
        BIO *bio = BIO_new_file(dir_.file("key.pem").c_str(), "w");
        ASSERT_NE(bio, nullptr);
        ASSERT_EQ(PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
        BIO_free(bio);
    }
    openssl({"ec", "-in", dir_.file("key.pem"), "-pubout", "-outform", "DER", "-conv_form", "uncompressed", "-out",
             dir_.file("pub.der")});
    openssl({"ec", "-in", dir_.file("key.pem"), "-no_public", "-outform", "DER", "-out", dir_.file("nopub.der")});

    uint8_t oct[128];
    ASSERT_EQ(pwk_ecdh_pk_oct_get_from_key(key.get(), oct, sizeof(oct)), 97);
    bytes_t pub_der = read_bytes(dir_.file("pub.der"));
    ASSERT_GE(pub_der.size(), 97u);
    EXPECT_EQ(hex(oct, 97), hex(bytes_t(pub_der.end() - 97, pub_der.end())));
    // Too small a buffer gives 0.
    EXPECT_EQ(pwk_ecdh_pk_oct_get_from_key(key.get(), oct, 96), 0);

    // The tool's encoding without the public key still names the curve
    // (30 3E ... A0 07 <oid>); cut down it is our 55-byte form.
    uint8_t priv[64];
    memset(priv, 0xEE, sizeof(priv));
    ASSERT_EQ(pwk_ecdh_priv_oct_get_from_key(key.get(), priv, sizeof(priv)), 55);
    EXPECT_EQ(priv[55], 0xEE);
    bytes_t nopub = read_bytes(dir_.file("nopub.der"));
    ASSERT_EQ(hex(nopub.data(), 2), "303e");
    EXPECT_EQ(ec_priv_oct_get_priv(nopub.data(), static_cast<int>(nopub.size())), 55);
    EXPECT_EQ(hex(nopub.data(), 55), hex(priv, 55));

    // The key's own setting for the public key is back: a PEM written now
    // still carries it.
    {
        BIO *bio = BIO_new_file(dir_.file("key2.pem").c_str(), "w");
        ASSERT_NE(bio, nullptr);
        ASSERT_EQ(PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
        BIO_free(bio);
    }
    openssl({"ec", "-in", dir_.file("key2.pem"), "-outform", "DER", "-out", dir_.file("full.der")});
    EXPECT_GT(read_bytes(dir_.file("full.der")).size(), 150u);
}

TEST_F(Pwk, EcdhSecretMatchesOpensslPkeyutl)
{
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);

    // Two key pairs straight from the generator, exported to PEM by the
    // library's writer.
    pwk_pkey_ptr a = pwk_ecdh_keypair_generate(param);
    pwk_pkey_ptr b = pwk_ecdh_keypair_generate(param);
    ASSERT_TRUE(a && b);
    for (auto [name, key] : {std::pair{"a", a.get()}, std::pair{"b", b.get()}}) {
        BIO *bio = BIO_new_file(dir_.file(std::string(name) + ".pem").c_str(), "w");
        ASSERT_NE(bio, nullptr);
        ASSERT_EQ(PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr), 1);
        BIO_free(bio);
        bio = BIO_new_file(dir_.file(std::string(name) + "_pub.pem").c_str(), "w");
        ASSERT_NE(bio, nullptr);
        ASSERT_EQ(PEM_write_bio_PUBKEY(bio, key), 1);
        BIO_free(bio);
    }
    uint8_t ab[64];
    uint8_t ba[64];
    ASSERT_EQ(pwk_ecdh_secret_compute(a.get(), b.get(), ab, sizeof(ab)), 48);
    ASSERT_EQ(pwk_ecdh_secret_compute(b.get(), a.get(), ba, sizeof(ba)), 48);
    EXPECT_EQ(hex(ab, 48), hex(ba, 48));
    openssl({"pkeyutl", "-derive", "-inkey", dir_.file("a.pem"), "-peerkey", dir_.file("b_pub.pem"), "-out",
             dir_.file("ab.bin")});
    EXPECT_EQ(hex(read_bytes(dir_.file("ab.bin"))), hex(ab, 48));

    // Too small a buffer is refused with its log line.
    zt::LogCapture log;
    EXPECT_EQ(pwk_ecdh_secret_compute(a.get(), b.get(), ab, 47), 0);
    ASSERT_EQ(log.lines().size(), 1u) << log.dump();
    EXPECT_EQ(log.lines()[0], "pwk_ecdh_secret_compute: buf_len(47) < secret_len(48): buf is too small.");
    EXPECT_EQ(log.priorities()[0], 3);
}

TEST_F(Pwk, SecretOfEncodedFieldsMatchesOpensslPkeyutl)
{
    // Two peers exchange their pub1/pub2 fields; each rebuilds the other's
    // public key and its own private key from the fields.
    Fields a;
    Fields b;
    a.generate();
    b.generate();
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);
    pwk_pkey_ptr a_priv = pwk_ecdh_key_create_from_priv_oct(param, a.priv_oct, PWK_PRIV_OCT_LEN);
    pwk_pkey_ptr b_priv = pwk_ecdh_key_create_from_priv_oct(param, b.priv_oct, PWK_PRIV_OCT_LEN);
    pwk_pkey_ptr a_pub = pwk_ecdh_key_create_from_pk_oct(param, a.pub_oct, PWK_PUB_OCT_LEN);
    pwk_pkey_ptr b_pub = pwk_ecdh_key_create_from_pk_oct(param, b.pub_oct, PWK_PUB_OCT_LEN);
    ASSERT_TRUE(a_priv && b_priv && a_pub && b_pub);
    uint8_t ab[48];
    uint8_t ba[48];
    ASSERT_EQ(pwk_ecdh_secret_compute(a_priv.get(), b_pub.get(), ab, sizeof(ab)), 48);
    ASSERT_EQ(pwk_ecdh_secret_compute(b_priv.get(), a_pub.get(), ba, sizeof(ba)), 48);
    EXPECT_EQ(hex(ab, 48), hex(ba, 48));

    // The tool reads the same keys from PEM made out of the raw fields.
    write_bytes(dir_.file("a.der"), full_priv_der(a.priv));
    write_bytes(dir_.file("b_pub.der"), spki_der(b.pub_oct));
    openssl({"ec", "-inform", "DER", "-in", dir_.file("a.der"), "-out", dir_.file("a.pem")});
    openssl({"pkey", "-pubin", "-inform", "DER", "-in", dir_.file("b_pub.der"), "-out", dir_.file("b_pub.pem")});
    openssl({"pkeyutl", "-derive", "-inkey", dir_.file("a.pem"), "-peerkey", dir_.file("b_pub.pem"), "-out",
             dir_.file("ab.bin")});
    EXPECT_EQ(hex(read_bytes(dir_.file("ab.bin"))), hex(ab, 48));
}

TEST_F(Pwk, KeysFromBadOctetsAreRefused)
{
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    ASSERT_NE(param, nullptr);
    Fields f;
    f.generate();

    zt::LogCapture log;
    uint8_t bad[PWK_PUB_OCT_LEN];
    memcpy(bad, f.pub_oct, sizeof(bad));
    bad[96] ^= 0x01;  // no longer on the curve
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(param, bad, sizeof(bad)));
    ASSERT_EQ(log.lines().size(), 1u) << log.dump();
    EXPECT_EQ(log.lines()[0], "pwk_ecdh_key_create_from_pk_oct: o2i_ECPublicKey() failed. pk_oct=" +
                                  ptr_text(bad) + ", oct_len=97");

    log.clear();
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(param, f.pub_oct, 0));
    EXPECT_FALSE(pwk_ecdh_key_create_from_priv_oct(nullptr, f.priv_oct, 55));
    ASSERT_EQ(log.lines().size(), 2u) << log.dump();
    EXPECT_EQ(log.lines()[0], "pwk_ecdh_key_create_from_pk_oct: Invalid arguments param=" + ptr_text(param) +
                                  ", pk_oct=" + ptr_text(f.pub_oct) + ", oct_len=0");
    EXPECT_EQ(log.lines()[1], "pwk_ecdh_key_create_from_priv_oct: Invalid arguments param=(nil), priv_oct=" +
                                  ptr_text(f.priv_oct) + ", oct_len=55");

    log.clear();
    uint8_t junk[55];
    memset(junk, 0x5A, sizeof(junk));
    EXPECT_FALSE(pwk_ecdh_key_create_from_priv_oct(param, junk, sizeof(junk)));
    EXPECT_TRUE(log.contains("pwk_ecdh_key_create_from_priv_oct: d2i_ECPrivateKey() failed. priv_oct=" +
                             ptr_text(junk) + ", oct_len=55"))
        << log.dump();

    // Parameters that are not an EC object.
    log.clear();
    pwk_pkey_ptr not_ec(EVP_PKEY_new());
    EXPECT_FALSE(pwk_ecdh_key_create_from_pk_oct(not_ec.get(), f.pub_oct, 97));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"pwk_ecdh_key_create_from_pk_oct: EVP_PKEY_get0(param=" +
                                                    ptr_text(not_ec.get()) + ") returns NULL"});
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
    write_bytes(dir_.file("secret.bin"), secret);

    // OKM per order flag, computed by the tool: PRK = HMAC(K, secret),
    // OKM = HMAC(PRK, S).
    auto tool_okm = [&](const bytes_t &k, const bytes_t &s, const std::string &tag) {
        openssl({"dgst", "-sha512", "-mac", "HMAC", "-macopt", "hexkey:" + hex(k), "-binary", "-out",
                 dir_.file("prk" + tag), dir_.file("secret.bin")});
        bytes_t prk = read_bytes(dir_.file("prk" + tag));
        write_bytes(dir_.file("s" + tag), s);
        openssl({"dgst", "-sha512", "-mac", "HMAC", "-macopt", "hexkey:" + hex(prk), "-binary", "-out",
                 dir_.file("okm" + tag), dir_.file("s" + tag)});
        return read_bytes(dir_.file("okm" + tag));
    };
    bytes_t okm1 = tool_okm(cat({na, nb}), cat({sa, sb}), "1");
    bytes_t okm0 = tool_okm(cat({nb, na}), cat({sb, sa}), "0");
    ASSERT_EQ(okm1.size(), 64u);
    ASSERT_EQ(okm0.size(), 64u);

    uint8_t k1[32];
    uint8_t k2[32];
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 1);
    EXPECT_EQ(hex(k1, 32), hex(okm1.data(), 32));
    EXPECT_EQ(hex(k2, 32), hex(okm1.data() + 32, 32));

    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 0, k1, k2), 1);
    EXPECT_EQ(hex(k2, 32), hex(okm0.data(), 32));
    EXPECT_EQ(hex(k1, 32), hex(okm0.data() + 32, 32));

    // The peer passes the opposite flag with A and B swapped and gets the same
    // pair with the roles exchanged.
    uint8_t p1[32];
    uint8_t p2[32];
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 1);
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), nb.data(), na.data(), spi_b, spi_a, 0, p1, p2), 1);
    EXPECT_EQ(hex(k1, 32), hex(p2, 32));
    EXPECT_EQ(hex(k2, 32), hex(p1, 32));

    zt::LogCapture log;
    EXPECT_EQ(pwk_pair_keys_derive(nullptr, na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 0);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(Pwk, PairKeysKnownAnswer)
{
    // Made with: openssl dgst -sha512 -mac HMAC -macopt hexkey:<nonce A|B>
    // over the secret 01..30, then with hexkey:<PRK> over the SPI bytes
    // 44 33 22 11 dd cc bb aa.
    bytes_t secret(48);
    for (size_t i = 0; i < 48; i++) {
        secret[i] = static_cast<uint8_t>(i + 1);
    }
    bytes_t na(32);
    bytes_t nb(32);
    for (size_t i = 0; i < 32; i++) {
        na[i] = static_cast<uint8_t>(0xA0 + i % 16);
        nb[i] = static_cast<uint8_t>(0x10 + i);
    }
    const uint8_t sa[4] = {0x44, 0x33, 0x22, 0x11};
    const uint8_t sb[4] = {0xdd, 0xcc, 0xbb, 0xaa};
    uint32_t spi_a;
    uint32_t spi_b;
    memcpy(&spi_a, sa, 4);
    memcpy(&spi_b, sb, 4);
    uint8_t k1[32];
    uint8_t k2[32];
    ASSERT_EQ(pwk_pair_keys_derive(secret.data(), na.data(), nb.data(), spi_a, spi_b, 1, k1, k2), 1);
    EXPECT_EQ(hex(k1, 32), "de0b9c03640647df1c01287738cc3c40ef9f42c2544a5df79098a1db59f49f3b");
    EXPECT_EQ(hex(k2, 32), "58cbf49330a3a7e738247d0867e6820a98d38266427966c4e36a72054c964c12");
}

TEST_F(Pwk, FingerprintIsTheFirstTwoSha256Bytes)
{
    bytes_t data = random_bytes(97);
    write_bytes(dir_.file("data.bin"), data);
    openssl({"dgst", "-sha256", "-binary", "-out", dir_.file("digest.bin"), dir_.file("data.bin")});
    bytes_t digest = read_bytes(dir_.file("digest.bin"));
    ASSERT_EQ(digest.size(), 32u);
    char expect[8];
    snprintf(expect, sizeof(expect), "%02X%02X", digest[0], digest[1]);
    char fp[PWK_FINGERPRINT_SIZE];
    EXPECT_STREQ(pwk_fingerprint(data.data(), data.size(), fp, sizeof(fp)), expect);
    // SHA-256 of the empty input starts e3 b0.
    EXPECT_STREQ(pwk_fingerprint("", 0, fp, sizeof(fp)), "E3B0");
    char small[3];
    EXPECT_STREQ(pwk_fingerprint("", 0, small, sizeof(small)), "E3");
}

TEST_F(Pwk, PrivHeaderCheck)
{
    const uint8_t good[7] = {0x30, 0x35, 0x02, 0x01, 0x01, 0x04, 0x30};
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(good), 1);

    zt::LogCapture log;
    uint8_t bad[7];
    memcpy(bad, good, sizeof(bad));
    bad[1] = 0x36;
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(bad), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"pwk_ecdh_priv_oct_hdr_valid: Invalid priv_oct encoding. "
                                                    "priv_oct[0-6]=30360201010430"});
    memcpy(bad, good, sizeof(bad));
    bad[5] = 0x03;
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(bad), 0);
    // A shorter scalar with its matching length is still well formed.
    const uint8_t short_scalar[7] = {0x30, 0x34, 0x02, 0x01, 0x01, 0x04, 0x2F};
    EXPECT_EQ(pwk_ecdh_priv_oct_hdr_valid(short_scalar), 1);
}

TEST_F(Pwk, PrivEncodingIsCutDownToVersionAndScalar)
{
    bytes_t scalar = random_bytes(48);
    // Two-byte long-form outer length with trailing optional parts.
    bytes_t trailer = unhex("a00706052b81040022");
    bytes_t body = cat({unhex("020101"), unhex("0430"), scalar, trailer});
    bytes_t der = cat({bytes_t{0x30, 0x82, 0x00, static_cast<uint8_t>(body.size())}, body});
    EXPECT_EQ(ec_priv_oct_get_priv(der.data(), static_cast<int>(der.size())), 55);
    EXPECT_EQ(hex(der.data(), 55), "30350201010430" + hex(scalar));

    // A 47-byte scalar gives a 54-byte encoding.
    bytes_t short_der = cat({unhex("303d020101042f"), bytes_t(scalar.begin(), scalar.begin() + 47), trailer});
    EXPECT_EQ(ec_priv_oct_get_priv(short_der.data(), static_cast<int>(short_der.size())), 54);
    EXPECT_EQ(hex(short_der.data(), 54), "3034020101042f" + hex(scalar.data(), 47));

    struct Bad {
        const char *hex_prefix;
        const char *line;
    } cases[] = {
        {"31350201010430", "ec_priv_oct_get_priv: Invalid priv_oct encoding: SEQUENC(31) != 30."},
        {"3081a40201010430", "ec_priv_oct_get_priv: Invalid priv_oct encoding: SEQUENC LEN: 81."},
        {"30350201000430", "ec_priv_oct_get_priv: Invalid priv_oct encoding: VER 020100."},
        {"30350201010330", "ec_priv_oct_get_priv: Invalid priv_oct encoding: OCTV 03."},
        {"30350201010431", "ec_priv_oct_get_priv: Invalid priv_oct encoding: OCTV LEN 31."},
        {"30350201010400", "ec_priv_oct_get_priv: Invalid priv_oct encoding: OCTV LEN 00."},
    };
    for (const Bad &c : cases) {
        zt::LogCapture log;
        bytes_t in = cat({unhex(c.hex_prefix), scalar, trailer});
        bytes_t before = in;
        EXPECT_EQ(ec_priv_oct_get_priv(in.data(), static_cast<int>(in.size())), 0) << c.hex_prefix;
        EXPECT_EQ(in, before);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
    // A scalar longer than the input is refused, not read past the end.
    zt::LogCapture log;
    bytes_t cut = unhex("30350201010430aabbcc");
    EXPECT_EQ(ec_priv_oct_get_priv(cut.data(), static_cast<int>(cut.size())), 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ec_priv_oct_get_priv: Invalid priv_oct encoding: OCTV LEN 30."});

    // The trace lines need level 8.
    log.clear();
    pwk_log_level_set(PWK_LOG_LEVEL_TRACE);
    EXPECT_EQ(ec_priv_oct_get_priv(der.data(), 55), 55);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ec_priv_oct_get_priv: SEQUENC LEN: 0035.",
                                                     "ec_priv_oct_get_priv: tl=35, pl=07, oct len=48"}));
}

TEST_F(Pwk, SmallBufferAndNullArgumentsAreReported)
{
    zt::LogCapture log;
    EVP_PKEY *param = pwk_ecdh_p384_param_get();
    pwk_pkey_ptr key = pwk_ecdh_keypair_generate(param);
    ASSERT_TRUE(key);
    uint8_t buf[64];
    EXPECT_EQ(pwk_ecdh_priv_oct_get_from_key(key.get(), buf, 54), 0);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"pwk_ecdh_priv_oct_get_from_key: buf_len=54 is too small for priv_oct (<55)."});

    log.clear();
    uint8_t pub1[64];
    uint16_t id = 7;
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(&id, pub1, nullptr, buf), 0);
    EXPECT_EQ(id, 7);
    uint8_t nonce[32];
    uint8_t oct[97];
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_pub_decode(pub1, nullptr, &id, nonce, oct), 0);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_priv_decode(pub1, buf, &id, nullptr, oct), 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "ost_ipsec_pwk_ecdh_key_gen_n_encode: NULL arguments p_id=(nil), pub1=" + ptr_text(pub1),
                  "ost_ipsec_pwk_ecdh_key_gen_n_encode: NULL argument pub2",
                  "ost_ipsec_pwk_ecdh_key_pub_decode: NULL arguments p_id=" + ptr_text(&id) + ", pub1=" +
                      ptr_text(pub1) + ", pub2=(nil), nonce=" + ptr_text(nonce) + ", pub_key_oct=" + ptr_text(oct),
                  "ost_ipsec_pwk_ecdh_key_priv_decode: NULL arguments p_id=" + ptr_text(&id) + ", pub1=" +
                      ptr_text(pub1) + ", nonce=(nil), priv_key_oct=" + ptr_text(oct),
              }));
    for (int pri : log.priorities()) {
        EXPECT_EQ(pri, 3);
    }

    // With the log switch off, or a level below 3, errors are silent.
    log.clear();
    pwk_log_set(false);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    pwk_log_set(true);
    pwk_log_level_set(2);
    EXPECT_EQ(ost_ipsec_pwk_ecdh_key_gen_n_encode(nullptr, pub1, nullptr, nullptr), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Pwk, DebugLinesNeverCarryKeyBytesWithoutTheHexDump)
{
    zt::LogCapture log;
    pwk_log_level_set(PWK_LOG_LEVEL_TRACE);
    Fields f;
    f.generate();
    char ok[256];
    snprintf(ok, sizeof(ok),
             "ost_ipsec_pwk_ecdh_key_gen_n_encode: Succeeded. key oct encoded in pub1/pub2/priv. key_id=0x0001, "
             "pub1=%p, pub2=%p, priv=%p",
             static_cast<void *>(f.pub1), static_cast<void *>(f.pub2), static_cast<void *>(f.priv));
    EXPECT_TRUE(log.contains(ok)) << log.dump();
    EXPECT_TRUE(log.contains("ost_ipsec_pwk_ecdh_key_gen_n_encode: Enter."));
    for (int pri : log.priorities()) {
        EXPECT_EQ(pri, 7);
    }
    // No run of four key bytes (scalar, point or nonce) in either case.
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
    EXPECT_FALSE(leaks(f.priv + 7, 48)) << log.dump();
    EXPECT_FALSE(leaks(f.pub_oct + 1, 96)) << log.dump();
    EXPECT_FALSE(leaks(f.pub1 + 2, 30)) << log.dump();

    // Level 3 keeps even the debug lines out.
    log.clear();
    pwk_log_level_set(PWK_LOG_LEVEL_ERR);
    Fields g;
    g.generate();
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Pwk, HexDumpLines)
{
    uint8_t data[20];
    for (size_t i = 0; i < sizeof(data); i++) {
        data[i] = static_cast<uint8_t>(0xF0 + i);
    }
    zt::LogCapture log;
    ost_pwk_hex_dump("label", data, sizeof(data));
    EXPECT_TRUE(log.lines().empty());  // switch off

    pwk_hex_dump_set(true);
    ost_pwk_hex_dump("label", data, sizeof(data));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "ost_pwk_hex_dump: label: 20-byte @" + ptr_text(data),
                               "ost_pwk_hex_dump: 00000000: F0F1F2F3 F4F5F6F7 F8F9FAFB FCFDFEFF ",
                               "ost_pwk_hex_dump: 00000010: 00010203 ",
                           }));
    // With the log switch off the header goes, the bytes stay.
    log.clear();
    pwk_log_set(false);
    ost_pwk_hex_dump("label", data, 6);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ost_pwk_hex_dump: 00000000: F0F1F2F3 F4F5"});

    // A generation dumps its three fields.
    log.clear();
    pwk_log_set(true);
    Fields f;
    f.generate();
    EXPECT_TRUE(log.contains("ost_pwk_hex_dump: pub1: 64-byte @" + ptr_text(f.pub1))) << log.dump();
    EXPECT_TRUE(log.contains("ost_pwk_hex_dump: pub2: 64-byte @" + ptr_text(f.pub2)));
    EXPECT_TRUE(log.contains("ost_pwk_hex_dump: priv: 55-byte @" + ptr_text(f.priv)));
    char first[64];
    snprintf(first, sizeof(first), "ost_pwk_hex_dump: 00000000: 30350201 010430%02X ", f.priv[7]);
    EXPECT_TRUE(log.contains(first)) << log.dump();
}

TEST_F(Pwk, ParameterCache)
{
    EVP_PKEY *p = pwk_ecdh_p384_param_get();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pwk_ecdh_p384_param_get(), p);
    EXPECT_EQ(EVP_PKEY_get_bits(p), 384);
    ASSERT_EQ(pwk_ecdh_p384_param_reload(), 1);
    ASSERT_NE(pwk_ecdh_p384_param_get(), nullptr);
    pwk_ecdh_p384_param_free();
    EVP_PKEY *again = pwk_ecdh_p384_param_get();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(again), 384);

    // Other curves load too; a curve that does not exist does not.
    pwk_pkey_ptr p256 = pwk_ecdh_param_load(NID_X9_62_prime256v1);
    ASSERT_TRUE(p256);
    EXPECT_EQ(EVP_PKEY_get_bits(p256.get()), 256);
    zt::LogCapture log;
    EXPECT_FALSE(pwk_ecdh_param_load(NID_undef));
    EXPECT_EQ(log.lines().size(), 1u) << log.dump();
}

}  // namespace
