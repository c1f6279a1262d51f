// Pairwise keys (pwk): an elliptic-curve key pair on P-384 packed into three
// fixed 64-byte fields that travel inside TLOC attributes, the matching
// decoders, the ECDH secret of two peers and the two 32-byte keys derived
// from it.
//
// Field layout (bytes from 0):
//   pub1  0-1 key id (big-endian, 1-255), 2-31 random bytes, 32-63 the first
//         32 bytes of the public point's coordinates;
//   pub2  0-63 the remaining 64 coordinate bytes (X then Y, 48 bytes each;
//         the uncompressed-point prefix 0x04 is not stored);
//   priv  0-54 the private key as a reduced DER ECPrivateKey:
//         30 35 02 01 01 04 30 followed by the 48-byte scalar.
// The nonce is pub1 bytes 0-31 (key id and random bytes together); the
// public key octets are 0x04 followed by the 96 coordinate bytes.
//
// Logging: errors (syslog priority 3) need the log switch on and a level of at
// least 3; "Enter." and "Succeeded" lines (priority 7) need level 7. No key
// byte is ever logged unless the hex-dump switch is on.
//
// Key objects are OpenSSL EVP_PKEYs. Functions that create one return an
// owner (pwk_pkey_ptr); functions that take one borrow it. The switches are
// atomic; the parameter cache is meant for one thread (the event loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/evp.h>

#define PWK_FIELD_LEN 64      // pub1, pub2, priv
#define PWK_NONCE_LEN 32      // pub1 bytes 0-31
#define PWK_PUB_OCT_LEN 97    // 0x04 + X + Y
#define PWK_PRIV_OCT_LEN 55   // reduced DER ECPrivateKey
#define PWK_SECRET_LEN 48     // P-384 ECDH secret
#define PWK_KEY_LEN 32        // each derived key
#define PWK_SPI_LEN 4
#define PWK_FINGERPRINT_SIZE 5  // four hex digits and the terminator
#define PWK_KEY_ID_MAX 255

// Debug levels of the pwk log.
#define PWK_LOG_LEVEL_ERR 3    // default
#define PWK_LOG_LEVEL_DEBUG 7  // "Enter." and "Succeeded" lines
#define PWK_LOG_LEVEL_TRACE 8  // encoding trace lines

struct pwk_pkey_free_t {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using pwk_pkey_ptr = std::unique_ptr<EVP_PKEY, pwk_pkey_free_t>;

// ---- Logging switches (process-wide) -------------------------------------
// The log switch is on by default so that failures are visible; the level is
// 3 and the hex dump is off.
void pwk_log_set(bool on);
bool pwk_log_enabled();
void pwk_log_level_set(int level);
int pwk_log_level();
void pwk_hex_dump_set(bool on);
bool pwk_hex_dump_enabled();

// Hex dump of key material, only while the hex-dump switch is on: a header
// "<fn>: <label>: <len>-byte @<addr>" (when the log switch is on too), then
// one line per 16 bytes, "%08X: " and "%02X" per byte with a blank after
// every fourth byte.
void ost_pwk_hex_dump(const char *label, const void *data, int len);

// ---- Encoding --------------------------------------------------------------

// The key id after id: one more, wrapping from 255 (or anything above) to 1;
// 0 is never produced.
uint16_t pwk_key_id_next(uint16_t id);

// Fills pub1 bytes 2-31 with random bytes and, when priv is given, generates
// a P-384 key pair and packs it into pub1 bytes 32-63, pub2 and priv bytes
// 0-54 (pub2 is then required). Then advances *p_id and stores it in pub1
// bytes 0-1. Without priv only the nonce and the key id are produced and the
// rest of pub1 and pub2 are not touched. 1 on success; 0 on failure, with
// *p_id unchanged (the fields may hold partial output).
int ost_ipsec_pwk_ecdh_key_gen_n_encode(uint16_t *p_id, uint8_t *pub1, uint8_t *pub2, uint8_t *priv);

// Key id, nonce (32 bytes) and public key octets (97 bytes) of pub1/pub2.
// 1, or 0 when an argument is NULL. No validation of the point.
int ost_ipsec_pwk_ecdh_key_pub_decode(const uint8_t *pub1, const uint8_t *pub2, uint16_t *p_id,
                                      uint8_t *nonce, uint8_t *pub_key_oct);
// Key id, nonce (32 bytes) and private key octets (55 bytes) of pub1/priv.
// 1, or 0 when an argument is NULL.
int ost_ipsec_pwk_ecdh_key_priv_decode(const uint8_t *pub1, const uint8_t *priv, uint16_t *p_id,
                                       uint8_t *nonce, uint8_t *priv_key_oct);

// ---- Keys -----------------------------------------------------------------

// EC parameters of a named curve (an OpenSSL NID); NULL on failure.
pwk_pkey_ptr pwk_ecdh_param_load(int nid);
// The process-wide P-384 parameters, loaded on first use. The cache keeps
// ownership: the pointer is valid until a reload or free. NULL on failure
// (the next call tries again).
EVP_PKEY *pwk_ecdh_p384_param_get();
// Replaces the cached parameters by freshly loaded ones; 1, or 0 with the
// cache left empty.
int pwk_ecdh_p384_param_reload();
void pwk_ecdh_p384_param_free();

// A new key pair on the parameters' curve; NULL on failure.
pwk_pkey_ptr pwk_ecdh_keypair_generate(EVP_PKEY *param);

// The key's public point, uncompressed, into buf: its length (97 for P-384),
// or 0 when buf is too small or the key has no public point.
int pwk_ecdh_pk_oct_get_from_key(const EVP_PKEY *key, uint8_t *buf, size_t len);
// The key's private key as reduced DER (30 35 02 01 01 04 30 + scalar) into
// buf bytes 0-54 (buf_len at least 55; bytes past the encoding are zeroed).
// Returns the length of the reduced encoding, or 0 on failure.
int pwk_ecdh_priv_oct_get_from_key(EVP_PKEY *key, uint8_t *buf, unsigned buf_len);
// Cuts a DER ECPrivateKey of len bytes down in place to its version and
// private-key octet string (30, n + 5, 02 01 01, 04, n, scalar). Accepts a
// short-form or two-byte (0x82) outer length and a scalar of 1-48 bytes.
// Returns the new length (n + 7), or 0 for any other encoding (oct is then
// unchanged).
int ec_priv_oct_get_priv(uint8_t *oct, int len);
// 1 when oct (at least 7 bytes) starts like a reduced DER private key: 30,
// byte 6 + 5, 02 01 01 04. Otherwise logs the seven bytes and returns 0.
int pwk_ecdh_priv_oct_hdr_valid(const uint8_t *oct);

// A public key on the parameters' curve from uncompressed point octets; NULL
// when the octets are no point of the curve.
pwk_pkey_ptr pwk_ecdh_key_create_from_pk_oct(EVP_PKEY *param, const uint8_t *pk_oct, unsigned oct_len);
// A key pair on the parameters' curve from a reduced DER private key (the
// public point is recomputed); NULL when the encoding is not accepted.
pwk_pkey_ptr pwk_ecdh_key_create_from_priv_oct(EVP_PKEY *param, const uint8_t *priv_oct, unsigned oct_len);

// ---- Secrets -----------------------------------------------------------------

// ECDH secret of the own key pair and the peer's public key into buf: the
// secret length (48 for P-384), or 0 on failure or when buf is too small.
int pwk_ecdh_secret_compute(EVP_PKEY *own, EVP_PKEY *peer, uint8_t *buf, int buf_len);

// Two 32-byte keys from a 48-byte secret:
//   PRK = HMAC-SHA512(key = nonce_a | nonce_b, secret)
//   OKM = HMAC-SHA512(key = PRK, spi_a | spi_b)
//   key1 = OKM 0-31, key2 = OKM 32-63
// with order set; with order clear both concatenations are B then A and the
// halves swap (key2 = OKM 0-31, key1 = OKM 32-63), so two peers that pass
// opposite flags and swap their A/B inputs get the same keys with the roles
// exchanged. Each SPI contributes its 4 bytes as stored in memory.
// 1 on success; 0 when an argument is NULL or an HMAC fails.
int pwk_pair_keys_derive(const uint8_t *secret, const uint8_t *nonce_a, const uint8_t *nonce_b, uint32_t spi_a,
                         uint32_t spi_b, int order, uint8_t *key1, uint8_t *key2);

// The first two SHA-256 digest bytes of data as "%02X%02X" into buf (cut to
// buf_len); the empty string when hashing fails. Returns buf.
char *pwk_fingerprint(const void *data, size_t len, char *buf, size_t buf_len);
