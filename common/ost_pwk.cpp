#include "ost_pwk.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "ost_log.h"

// OpenSSL 3 notes. The EC_KEY interface (EC_KEY_set_enc_flags,
// i2d_ECPrivateKey, d2i_ECPrivateKey, o2i_ECPublicKey) is deprecated; the
// same bytes come from the supported interfaces:
// - the reduced private key is the ECPrivateKey that OpenSSL's own encoder
//   places inside a PKCS#8 PrivateKeyInfo: the curve lives in the PKCS#8
//   algorithm parameters, so the inner encoding leaves the parameters out,
//   and with the key's "include-public" parameter cleared it leaves the
//   public key out too: 30 35 02 01 01 04 30 + 48-byte scalar;
// - reading it back wraps it in a PKCS#8 PrivateKeyInfo naming the curve of
//   the parameters, which the decoder turns into a key pair (recomputing the
//   public point);
// - a public key is imported from its point octets with EVP_PKEY_fromdata,
//   which refuses octets that are no point of the curve.
// The log texts keep the names of the classic calls: they are the texts the
// operators' tooling knows.

namespace {

std::atomic<bool> g_pwk_log{true};
std::atomic<int> g_pwk_level{PWK_LOG_LEVEL_ERR};
std::atomic<bool> g_pwk_hex_dump{false};

void pwk_log(int pri, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void pwk_log(int pri, int level, const char *fmt, ...)
{
    if (!g_pwk_log.load(std::memory_order_relaxed) || g_pwk_level.load(std::memory_order_relaxed) < level) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    ost_vlog(pri, fmt, ap);
    va_end(ap);
}

// Every format starts with "%s: " for the function name.
#define PWK_ERR(fmt, ...) pwk_log(LOG_ERR, PWK_LOG_LEVEL_ERR, fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define PWK_DBG(fmt, ...) pwk_log(LOG_DEBUG, PWK_LOG_LEVEL_DEBUG, fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)
// The encoding trace goes out at debug priority like the other debug lines.
#define PWK_TRACE(fmt, ...) pwk_log(LOG_DEBUG, PWK_LOG_LEVEL_TRACE, fmt, __func__ __VA_OPT__(, ) __VA_ARGS__)

struct pkey_ctx_free_t {
    void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free_t>;

struct p8_free_t {
    void operator()(PKCS8_PRIV_KEY_INFO *p8) const { PKCS8_PRIV_KEY_INFO_free(p8); }
};
using p8_ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, p8_free_t>;

// Wipes a stack buffer of key material when it goes out of scope.
template <size_t N>
struct secret_buf_t {
    uint8_t bytes[N] = {};
    secret_buf_t() = default;
    secret_buf_t(const secret_buf_t &) = delete;
    secret_buf_t &operator=(const secret_buf_t &) = delete;
    ~secret_buf_t() { OPENSSL_cleanse(bytes, N); }
};

std::mutex g_param_mutex;
pwk_pkey_ptr g_p384_param;

// The NID of the curve of an EC key or parameter object, NID_undef when the
// object is not EC. Logs with the classic texts.
int curve_nid_of(const char *func, const EVP_PKEY *param)
{
    if (param == nullptr || !EVP_PKEY_is_a(param, "EC")) {
        pwk_log(LOG_ERR, PWK_LOG_LEVEL_ERR, "%s: EVP_PKEY_get0(param=%p) returns NULL", func,
                static_cast<const void *>(param));
        return NID_undef;
    }
    char name[80];
    size_t name_len = 0;
    int nid = NID_undef;
    if (EVP_PKEY_get_group_name(param, name, sizeof(name), &name_len) == 1) {
        nid = OBJ_sn2nid(name);
        if (nid == NID_undef) {
            nid = OBJ_txt2nid(name);
        }
    }
    if (nid == NID_undef) {
        pwk_log(LOG_ERR, PWK_LOG_LEVEL_ERR, "%s: EC_KEY_get0_group(ec_key=%p) returns NULL", func,
                static_cast<const void *>(param));
    }
    return nid;
}

}  // namespace

// ---- Logging -----------------------------------------------------------------

void pwk_log_set(bool on)
{
    g_pwk_log.store(on);
}

bool pwk_log_enabled()
{
    return g_pwk_log.load();
}

void pwk_log_level_set(int level)
{
    g_pwk_level.store(level);
}

int pwk_log_level()
{
    return g_pwk_level.load();
}

void pwk_hex_dump_set(bool on)
{
    g_pwk_hex_dump.store(on);
}

bool pwk_hex_dump_enabled()
{
    return g_pwk_hex_dump.load();
}

void ost_pwk_hex_dump(const char *label, const void *data, int len)
{
    if (!g_pwk_hex_dump.load() || data == nullptr || len < 0) {
        return;
    }
    if (g_pwk_log.load()) {
        ost_log(LOG_DEBUG, "%s: %s: %d-byte @%p", __func__, label != nullptr ? label : "", len, data);
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (int off = 0; off < len; off += 16) {
        // "%08X: " + 16 * "%02X" + 4 blanks + terminator
        char line[10 + 32 + 4 + 1];
        int n = snprintf(line, sizeof(line), "%08X: ", static_cast<unsigned>(off));
        for (int i = 0; i < 16 && off + i < len; i++) {
            n += snprintf(line + n, sizeof(line) - static_cast<size_t>(n), "%02X", bytes[off + i]);
            if (i % 4 == 3) {
                line[n++] = ' ';
                line[n] = '\0';
            }
        }
        ost_log(LOG_DEBUG, "%s: %s", __func__, line);
    }
}

// ---- Encoding ------------------------------------------------------------------

uint16_t pwk_key_id_next(uint16_t id)
{
    return id >= PWK_KEY_ID_MAX ? 1 : static_cast<uint16_t>(id + 1);
}

int ost_ipsec_pwk_ecdh_key_gen_n_encode(uint16_t *p_id, uint8_t *pub1, uint8_t *pub2, uint8_t *priv)
{
    PWK_DBG("%s: Enter.");
    if (p_id == nullptr || pub1 == nullptr) {
        PWK_ERR("%s: NULL arguments p_id=%p, pub1=%p", static_cast<void *>(p_id), static_cast<void *>(pub1));
        return 0;
    }
    if (RAND_bytes(pub1 + 2, 30) != 1) {
        PWK_ERR("%s: RAND_bytes(pub1=%p + 2, 30) failed.", static_cast<void *>(pub1));
        return 0;
    }
    if (priv != nullptr) {
        if (pub2 == nullptr) {
            PWK_ERR("%s: NULL argument pub2");
            return 0;
        }
        EVP_PKEY *param = pwk_ecdh_p384_param_get();
        if (param == nullptr) {
            PWK_ERR("%s: pwk_ecdh_p384_param_get() returns NULL");
            return 0;
        }
        pwk_pkey_ptr key = pwk_ecdh_keypair_generate(param);
        if (!key) {
            PWK_ERR("%s: pwk_ecdh_keypair_generate(param=%p) failed.", static_cast<void *>(param));
            return 0;
        }
        int priv_len = pwk_ecdh_priv_oct_get_from_key(key.get(), priv, PWK_FIELD_LEN);
        if (priv_len < 1 || priv_len > PWK_PRIV_OCT_LEN) {
            PWK_ERR("%s: pwk_ecdh_priv_oct_get_from_key(key=%p, priv=%p, 64) failed. len=%u",
                    static_cast<void *>(key.get()), static_cast<void *>(priv), static_cast<unsigned>(priv_len));
            return 0;
        }
        uint8_t tmp[1024];
        int pk_len = pwk_ecdh_pk_oct_get_from_key(key.get(), tmp, sizeof(tmp));
        if (pk_len != PWK_PUB_OCT_LEN || tmp[0] != 0x04) {
            PWK_ERR("%s: pwk_ecdh_pk_oct_get_from_key(key=%p, tmp, sizeof(tmp)=%lu) failed. len=%d",
                    static_cast<void *>(key.get()), static_cast<unsigned long>(sizeof(tmp)), pk_len);
            return 0;
        }
        memcpy(pub1 + 32, tmp + 1, 32);
        memcpy(pub2, tmp + 33, 64);
    }
    *p_id = pwk_key_id_next(*p_id);
    pub1[0] = static_cast<uint8_t>(*p_id >> 8);
    pub1[1] = static_cast<uint8_t>(*p_id & 0xff);

    PWK_DBG("%s: Succeeded. key oct encoded in pub1/pub2/priv. key_id=0x%04X, pub1=%p, pub2=%p, priv=%p",
            static_cast<unsigned>(*p_id), static_cast<void *>(pub1), static_cast<void *>(pub2),
            static_cast<void *>(priv));
    ost_pwk_hex_dump("pub1", pub1, PWK_FIELD_LEN);
    // pub2 and priv are dumped only when this call wrote them (priv given);
    // priv as its 55 used bytes.
    if (priv != nullptr) {
        ost_pwk_hex_dump("pub2", pub2, PWK_FIELD_LEN);
        ost_pwk_hex_dump("priv", priv, PWK_PRIV_OCT_LEN);
    }
    return 1;
}

int ost_ipsec_pwk_ecdh_key_pub_decode(const uint8_t *pub1, const uint8_t *pub2, uint16_t *p_id, uint8_t *nonce,
                                      uint8_t *pub_key_oct)
{
    PWK_DBG("%s: Enter.");
    if (p_id == nullptr || pub1 == nullptr || pub2 == nullptr || nonce == nullptr || pub_key_oct == nullptr) {
        PWK_ERR("%s: NULL arguments p_id=%p, pub1=%p, pub2=%p, nonce=%p, pub_key_oct=%p",
                static_cast<void *>(p_id), static_cast<const void *>(pub1), static_cast<const void *>(pub2),
                static_cast<void *>(nonce), static_cast<void *>(pub_key_oct));
        return 0;
    }
    *p_id = static_cast<uint16_t>((pub1[0] << 8) | pub1[1]);
    memcpy(nonce, pub1, PWK_NONCE_LEN);
    pub_key_oct[0] = 0x04;
    memcpy(pub_key_oct + 1, pub1 + 32, 32);
    memcpy(pub_key_oct + 33, pub2, 64);
    PWK_DBG("%s: Succeeded. key_id=0x%04X", static_cast<unsigned>(*p_id));
    return 1;
}

int ost_ipsec_pwk_ecdh_key_priv_decode(const uint8_t *pub1, const uint8_t *priv, uint16_t *p_id, uint8_t *nonce,
                                       uint8_t *priv_key_oct)
{
    PWK_DBG("%s: Enter.");
    if (p_id == nullptr || pub1 == nullptr || nonce == nullptr || priv_key_oct == nullptr || priv == nullptr) {
        PWK_ERR("%s: NULL arguments p_id=%p, pub1=%p, nonce=%p, priv_key_oct=%p", static_cast<void *>(p_id),
                static_cast<const void *>(pub1), static_cast<void *>(nonce), static_cast<void *>(priv_key_oct));
        return 0;
    }
    *p_id = static_cast<uint16_t>((pub1[0] << 8) | pub1[1]);
    memcpy(nonce, pub1, PWK_NONCE_LEN);
    memcpy(priv_key_oct, priv, PWK_PRIV_OCT_LEN);
    PWK_DBG("%s: Succeeded. key_id=0x%04X", static_cast<unsigned>(*p_id));
    return 1;
}

// ---- Keys ----------------------------------------------------------------------

pwk_pkey_ptr pwk_ecdh_param_load(int nid)
{
    PWK_DBG("%s: Enter.");
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
    if (!ctx) {
        PWK_ERR("%s: EVP_PKEY_CTX_new_id(EVP_PKEY_EC=%u, NULL) failed.", static_cast<unsigned>(EVP_PKEY_EC));
        return nullptr;
    }
    if (EVP_PKEY_paramgen_init(ctx.get()) != 1) {
        PWK_ERR("%s: EVP_PKEY_paramgen_init(ctx=%p) failed.", static_cast<void *>(ctx.get()));
        return nullptr;
    }
    if (EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx.get(), nid) != 1) {
        PWK_ERR("%s: EVP_PKEY_CTXe_set_ec_paramgen_curve_nid(ctx=%p, nid=%u) failed.",
                static_cast<void *>(ctx.get()), static_cast<unsigned>(nid));
        return nullptr;
    }
    EVP_PKEY *param = nullptr;
    if (EVP_PKEY_paramgen(ctx.get(), &param) != 1 || param == nullptr) {
        PWK_ERR("%s: EVP_PKEY_paramgen(ctx=%p, param) failed.", static_cast<void *>(ctx.get()));
        EVP_PKEY_free(param);
        return nullptr;
    }
    PWK_DBG("%s: Succeeded. nid=%d", nid);
    return pwk_pkey_ptr(param);
}

EVP_PKEY *pwk_ecdh_p384_param_get()
{
    std::lock_guard<std::mutex> lock(g_param_mutex);
    if (!g_p384_param) {
        g_p384_param = pwk_ecdh_param_load(NID_secp384r1);
    }
    return g_p384_param.get();
}

int pwk_ecdh_p384_param_reload()
{
    std::lock_guard<std::mutex> lock(g_param_mutex);
    g_p384_param = pwk_ecdh_param_load(NID_secp384r1);
    return g_p384_param ? 1 : 0;
}

void pwk_ecdh_p384_param_free()
{
    std::lock_guard<std::mutex> lock(g_param_mutex);
    g_p384_param.reset();
}

pwk_pkey_ptr pwk_ecdh_keypair_generate(EVP_PKEY *param)
{
    PWK_DBG("%s: Enter.");
    if (param == nullptr) {
        PWK_ERR("%s: NULL argument param");
        return nullptr;
    }
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new(param, nullptr));
    if (!ctx) {
        PWK_ERR("%s: EVP_PKEY_CTX_new(param=%p, NULL) failed.", static_cast<void *>(param));
        return nullptr;
    }
    if (EVP_PKEY_keygen_init(ctx.get()) != 1) {
        PWK_ERR("%s: EVP_PKEY_keygen_init(ctx=%p) failed.", static_cast<void *>(ctx.get()));
        return nullptr;
    }
    EVP_PKEY *key = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &key) != 1 || key == nullptr) {
        PWK_ERR("%s: EVP_PKEY_keygen(ctx=%p, key) failed.", static_cast<void *>(ctx.get()));
        EVP_PKEY_free(key);
        return nullptr;
    }
    PWK_DBG("%s: Succeeded.");
    return pwk_pkey_ptr(key);
}

int pwk_ecdh_pk_oct_get_from_key(const EVP_PKEY *key, uint8_t *buf, size_t len)
{
    if (key == nullptr || buf == nullptr) {
        PWK_ERR("%s: NULL arguments key=%p, buf=%p", static_cast<const void *>(key), static_cast<void *>(buf));
        return 0;
    }
    // The point comes in the key's conversion form, uncompressed unless the
    // key was told otherwise; the caller checks the 0x04 prefix.
    size_t out_len = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, buf, len, &out_len) != 1) {
        PWK_ERR("%s: failed to get public key oct (buf_len=%lu).", static_cast<unsigned long>(len));
        return 0;
    }
    return static_cast<int>(out_len);
}

int ec_priv_oct_get_priv(uint8_t *oct, int len)
{
    if (oct == nullptr || len < 2) {
        return 0;
    }
    if (oct[0] != 0x30) {
        PWK_ERR("%s: Invalid priv_oct encoding: SEQUENC(%02X) != 30.", oct[0]);
        return 0;
    }
    int pos;  // first byte inside the SEQUENCE
    unsigned seq_len;
    if (oct[1] < 0x80) {
        seq_len = oct[1];
        pos = 2;
    } else if (oct[1] == 0x82 && len >= 4) {
        seq_len = (static_cast<unsigned>(oct[2]) << 8) | oct[3];
        pos = 4;
    } else {
        PWK_ERR("%s: Invalid priv_oct encoding: SEQUENC LEN: %02X.", oct[1]);
        return 0;
    }
    PWK_TRACE("%s: SEQUENC LEN: %04X.", seq_len);
    if (len < pos + 5) {
        PWK_ERR("%s: Invalid priv_oct encoding: SEQUENC LEN: %02X.", oct[1]);
        return 0;
    }
    if (oct[pos] != 0x02 || oct[pos + 1] != 0x01 || oct[pos + 2] != 0x01) {
        PWK_ERR("%s: Invalid priv_oct encoding: VER %02X%02X%02X.", oct[pos], oct[pos + 1], oct[pos + 2]);
        return 0;
    }
    if (oct[pos + 3] != 0x04) {
        PWK_ERR("%s: Invalid priv_oct encoding: OCTV %02X.", oct[pos + 3]);
        return 0;
    }
    unsigned priv_len = oct[pos + 4];
    // tl: the outer length byte; pl: where the scalar starts.
    PWK_TRACE("%s: tl=%02X, pl=%02X, oct len=%u", oct[1], static_cast<unsigned>(pos + 5), priv_len);
    if (priv_len < 1 || priv_len > 48 || static_cast<unsigned>(len - (pos + 5)) < priv_len) {
        PWK_ERR("%s: Invalid priv_oct encoding: OCTV LEN %02X.", oct[pos + 4]);
        return 0;
    }
    memmove(oct + 7, oct + pos + 5, priv_len);
    oct[0] = 0x30;
    oct[1] = static_cast<uint8_t>(priv_len + 5);
    oct[2] = 0x02;
    oct[3] = 0x01;
    oct[4] = 0x01;
    oct[5] = 0x04;
    oct[6] = static_cast<uint8_t>(priv_len);
    return static_cast<int>(priv_len + 7);
}

int pwk_ecdh_priv_oct_get_from_key(EVP_PKEY *key, uint8_t *buf, unsigned buf_len)
{
    PWK_DBG("%s: Enter.");
    if (key == nullptr || buf == nullptr) {
        PWK_ERR("%s: NULL arguments key=%p, buf=%p", static_cast<void *>(key), static_cast<void *>(buf));
        return 0;
    }
    if (buf_len < PWK_PRIV_OCT_LEN) {
        PWK_ERR("%s: buf_len=%u is too small for priv_oct (<%u).", buf_len, static_cast<unsigned>(PWK_PRIV_OCT_LEN));
        return 0;
    }

    // Leave the public key out of the encoding, and put the key's setting
    // back afterwards whatever happens.
    // A key that was never told does not report the setting; its default is
    // to include the public key.
    int include_public = 1;
    if (EVP_PKEY_get_int_param(key, OSSL_PKEY_PARAM_EC_INCLUDE_PUBLIC, &include_public) != 1) {
        include_public = 1;
    }
    EVP_PKEY_set_int_param(key, OSSL_PKEY_PARAM_EC_INCLUDE_PUBLIC, 0);
    p8_ptr p8(EVP_PKEY2PKCS8(key));
    EVP_PKEY_set_int_param(key, OSSL_PKEY_PARAM_EC_INCLUDE_PUBLIC, include_public);
    if (!p8) {
        PWK_ERR("%s: i2d_ECPrivateKey(key, &p) failed.");
        return 0;
    }
    const unsigned char *der = nullptr;
    int der_len = 0;
    if (PKCS8_pkey_get0(nullptr, &der, &der_len, nullptr, p8.get()) != 1 || der == nullptr || der_len <= 0) {
        PWK_ERR("%s: failed to get private key oct len.");
        return 0;
    }
    secret_buf_t<1024> tmp;
    if (der_len > static_cast<int>(sizeof(tmp.bytes))) {
        PWK_ERR("%s: oct_len(%d): too big for tmp buffer.", der_len);
        return 0;
    }
    memcpy(tmp.bytes, der, static_cast<size_t>(der_len));

    int oct_len = der_len;
    if (oct_len > PWK_PRIV_OCT_LEN) {
        // An encoding that still carries optional parts (parameters or public
        // key) is cut down to the version and the scalar.
        oct_len = ec_priv_oct_get_priv(tmp.bytes, der_len);
        if (oct_len == 0) {
            PWK_ERR("%s: Failed to extract private_key part from priv_oct.");
            ost_pwk_hex_dump("first 16-byte of priv_oct", tmp.bytes, 16);
            return 0;
        }
    }
    // Bytes past a shorter encoding are zeroed rather than copied from the
    // work buffer. The result is the length of what the buffer holds (the
    // reduced encoding), which is what a reader of the field needs.
    memcpy(buf, tmp.bytes, static_cast<size_t>(oct_len));
    memset(buf + oct_len, 0, static_cast<size_t>(PWK_PRIV_OCT_LEN - oct_len));
    PWK_DBG("%s: Succeeded. len=%d", oct_len);
    return oct_len;
}

int pwk_ecdh_priv_oct_hdr_valid(const uint8_t *oct)
{
    if (oct == nullptr) {
        return 0;
    }
    if (oct[0] == 0x30 && oct[2] == 0x02 && oct[3] == 0x01 && oct[4] == 0x01 && oct[5] == 0x04 &&
        oct[1] == static_cast<uint8_t>(oct[6] + 5)) {
        return 1;
    }
    PWK_ERR("%s: Invalid priv_oct encoding. priv_oct[0-6]=%02X%02X%02X%02X%02X%02X%02X", oct[0], oct[1], oct[2],
            oct[3], oct[4], oct[5], oct[6]);
    return 0;
}

pwk_pkey_ptr pwk_ecdh_key_create_from_pk_oct(EVP_PKEY *param, const uint8_t *pk_oct, unsigned oct_len)
{
    PWK_DBG("%s: Enter.");
    if (param == nullptr || pk_oct == nullptr || oct_len == 0) {
        PWK_ERR("%s: Invalid arguments param=%p, pk_oct=%p, oct_len=%u", static_cast<void *>(param),
                static_cast<const void *>(pk_oct), oct_len);
        return nullptr;
    }
    if (curve_nid_of(__func__, param) == NID_undef) {
        return nullptr;
    }
    char group[80];
    size_t group_len = 0;
    EVP_PKEY_get_group_name(param, group, sizeof(group), &group_len);

    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t *>(pk_oct), oct_len),
        OSSL_PARAM_construct_end(),
    };
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY *key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1 || key == nullptr) {
        PWK_ERR("%s: o2i_ECPublicKey() failed. pk_oct=%p, oct_len=%u", static_cast<const void *>(pk_oct), oct_len);
        EVP_PKEY_free(key);
        return nullptr;
    }
    PWK_DBG("%s: Succeeded.");
    return pwk_pkey_ptr(key);
}

pwk_pkey_ptr pwk_ecdh_key_create_from_priv_oct(EVP_PKEY *param, const uint8_t *priv_oct, unsigned oct_len)
{
    PWK_DBG("%s: Enter.");
    if (param == nullptr || priv_oct == nullptr || oct_len == 0) {
        PWK_ERR("%s: Invalid arguments param=%p, priv_oct=%p, oct_len=%u", static_cast<void *>(param),
                static_cast<const void *>(priv_oct), oct_len);
        return nullptr;
    }
    int nid = curve_nid_of(__func__, param);
    if (nid == NID_undef) {
        return nullptr;
    }
    // The reduced encoding has no curve of its own: a PKCS#8 wrapper names
    // the curve of the parameters, as the EC key did for the classic call.
    p8_ptr p8(PKCS8_PRIV_KEY_INFO_new());
    auto *copy = static_cast<unsigned char *>(OPENSSL_malloc(oct_len));
    if (!p8 || copy == nullptr) {
        OPENSSL_free(copy);
        PWK_ERR("%s: d2i_ECPrivateKey() failed. priv_oct=%p, oct_len=%u", static_cast<const void *>(priv_oct),
                oct_len);
        return nullptr;
    }
    memcpy(copy, priv_oct, oct_len);
    if (PKCS8_pkey_set0(p8.get(), OBJ_nid2obj(NID_X9_62_id_ecPublicKey), 0, V_ASN1_OBJECT, OBJ_nid2obj(nid), copy,
                        static_cast<int>(oct_len)) != 1) {
        OPENSSL_clear_free(copy, oct_len);
        PWK_ERR("%s: d2i_ECPrivateKey() failed. priv_oct=%p, oct_len=%u", static_cast<const void *>(priv_oct),
                oct_len);
        return nullptr;
    }
    pwk_pkey_ptr key(EVP_PKCS82PKEY(p8.get()));
    if (!key) {
        PWK_ERR("%s: d2i_ECPrivateKey() failed. priv_oct=%p, oct_len=%u", static_cast<const void *>(priv_oct),
                oct_len);
        return nullptr;
    }
    PWK_DBG("%s: Succeeded.");
    return key;
}

// ---- Secrets -------------------------------------------------------------------

int pwk_ecdh_secret_compute(EVP_PKEY *own, EVP_PKEY *peer, uint8_t *buf, int buf_len)
{
    PWK_DBG("%s: Enter.");
    if (own == nullptr || peer == nullptr || buf == nullptr || buf_len <= 0) {
        PWK_ERR("%s: Invalid arguments own=%p, peer=%p, buf=%p, buf_len=%d", static_cast<void *>(own),
                static_cast<void *>(peer), static_cast<void *>(buf), buf_len);
        return 0;
    }
    pkey_ctx_ptr ctx(EVP_PKEY_CTX_new(own, nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) {
        PWK_ERR("%s: EVP_PKEY_derive_init(own=%p) failed.", static_cast<void *>(own));
        return 0;
    }
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1) {
        PWK_ERR("%s: EVP_PKEY_derive_set_peer(peer=%p) failed.", static_cast<void *>(peer));
        return 0;
    }
    size_t secret_len = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &secret_len) != 1 || secret_len == 0) {
        PWK_ERR("%s: EVP_PKEY_derive(ctx=%p, NULL) failed.", static_cast<void *>(ctx.get()));
        return 0;
    }
    if (static_cast<size_t>(buf_len) < secret_len) {
        PWK_ERR("%s: buf_len(%d) < secret_len(%d): buf is too small.", buf_len, static_cast<int>(secret_len));
        return 0;
    }
    size_t out_len = static_cast<size_t>(buf_len);
    if (EVP_PKEY_derive(ctx.get(), buf, &out_len) != 1) {
        PWK_ERR("%s: EVP_PKEY_derive(ctx=%p, buf) failed.", static_cast<void *>(ctx.get()));
        return 0;
    }
    PWK_DBG("%s: Succeeded. secret_len=%d", static_cast<int>(out_len));
    ost_pwk_hex_dump("secret", buf, static_cast<int>(out_len));
    return static_cast<int>(out_len);
}

int pwk_pair_keys_derive(const uint8_t *secret, const uint8_t *nonce_a, const uint8_t *nonce_b, uint32_t spi_a,
                         uint32_t spi_b, int order, uint8_t *key1, uint8_t *key2)
{
    PWK_DBG("%s: Enter.");
    if (secret == nullptr || nonce_a == nullptr || nonce_b == nullptr || key1 == nullptr || key2 == nullptr) {
        PWK_ERR("%s: NULL arguments secret=%p, nonce_a=%p, nonce_b=%p, key1=%p, key2=%p",
                static_cast<const void *>(secret), static_cast<const void *>(nonce_a),
                static_cast<const void *>(nonce_b), static_cast<void *>(key1), static_cast<void *>(key2));
        return 0;
    }
    const uint8_t *first = order ? nonce_a : nonce_b;
    const uint8_t *second = order ? nonce_b : nonce_a;
    secret_buf_t<2 * PWK_NONCE_LEN> salt;
    memcpy(salt.bytes, first, PWK_NONCE_LEN);
    memcpy(salt.bytes + PWK_NONCE_LEN, second, PWK_NONCE_LEN);

    secret_buf_t<EVP_MAX_MD_SIZE> prk;
    unsigned prk_len = 0;
    if (HMAC(EVP_sha512(), salt.bytes, sizeof(salt.bytes), secret, PWK_SECRET_LEN, prk.bytes, &prk_len) ==
            nullptr ||
        prk_len != 64) {
        PWK_ERR("%s: HMAC(sha512, nonces, secret) failed.");
        return 0;
    }

    uint8_t info[2 * PWK_SPI_LEN];
    memcpy(info, order ? &spi_a : &spi_b, PWK_SPI_LEN);
    memcpy(info + PWK_SPI_LEN, order ? &spi_b : &spi_a, PWK_SPI_LEN);

    secret_buf_t<EVP_MAX_MD_SIZE> okm;
    unsigned okm_len = 0;
    if (HMAC(EVP_sha512(), prk.bytes, static_cast<int>(prk_len), info, sizeof(info), okm.bytes, &okm_len) ==
            nullptr ||
        okm_len != 64) {
        PWK_ERR("%s: HMAC(sha512, prk, spis) failed.");
        return 0;
    }
    memcpy(order ? key1 : key2, okm.bytes, PWK_KEY_LEN);
    memcpy(order ? key2 : key1, okm.bytes + PWK_KEY_LEN, PWK_KEY_LEN);
    PWK_DBG("%s: Succeeded.");
    ost_pwk_hex_dump("key1", key1, PWK_KEY_LEN);
    ost_pwk_hex_dump("key2", key2, PWK_KEY_LEN);
    return 1;
}

char *pwk_fingerprint(const void *data, size_t len, char *buf, size_t buf_len)
{
    if (buf == nullptr || buf_len == 0) {
        return buf;
    }
    buf[0] = '\0';
    uint8_t digest[SHA256_DIGEST_LENGTH];
    if (data == nullptr && len != 0) {
        return buf;
    }
    if (SHA256(static_cast<const unsigned char *>(data), len, digest) == nullptr) {
        return buf;
    }
    snprintf(buf, buf_len, "%02X%02X", digest[0], digest[1]);
    return buf;
}
