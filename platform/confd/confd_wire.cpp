#include "confd_wire.h"

#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace mgmt_wire {

bool value_is_tag(uint32_t t)
{
    return t == C_XMLTAG || t == C_XMLBEGIN || t == C_XMLEND || t == C_XMLBEGINDEL;
}

int value_fixed_size(uint32_t t)
{
    switch (t) {
    case C_NOEXISTS:
    case C_EMPTY:
        return 0;
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        return 8;
    case C_INT8:
    case C_UINT8:
    case C_BOOL:
        return 1;
    case C_INT16:
    case C_UINT16:
        return 2;
    case C_INT32:
    case C_UINT32:
    case C_SYMBOL:
    case C_ENUM_VALUE:
    case C_BIT32:
    case C_IPV4:
        return 4;
    case C_INT64:
    case C_UINT64:
    case C_BIT64:
    case C_DOUBLE:
        return 8;
    case C_IPV6:
        return 16;
    case C_DATETIME:
        return 12;
    default:
        return -1;
    }
}

// ---------------------------------------------------------------- writer

writer::writer(mgmt_op op, uint32_t xid)
{
    buf_.reserve(64);
    put_u32(0);
    put_u8(op);
    put_u32(xid);
}

void writer::put_u16(uint16_t v)
{
    put_u8(static_cast<uint8_t>(v >> 8));
    put_u8(static_cast<uint8_t>(v));
}

void writer::put_u32(uint32_t v)
{
    put_u16(static_cast<uint16_t>(v >> 16));
    put_u16(static_cast<uint16_t>(v));
}

void writer::put_u64(uint64_t v)
{
    put_u32(static_cast<uint32_t>(v >> 32));
    put_u32(static_cast<uint32_t>(v));
}

writer &writer::nil()
{
    put_u8(static_cast<uint8_t>(kind::nil));
    return *this;
}

writer &writer::i64(int64_t v)
{
    put_u8(static_cast<uint8_t>(kind::i64));
    put_u64(static_cast<uint64_t>(v));
    return *this;
}

writer &writer::bytes(std::string_view s)
{
    put_u8(static_cast<uint8_t>(kind::bytes));
    put_u32(static_cast<uint32_t>(s.size()));
    buf_.append(s.data(), s.size());
    return *this;
}

void writer::put_value(const confd_value_t &v, bool nested)
{
    const uint32_t t = v.type;
    if (t == C_LIST) {
        put_u8(C_LIST);
        if (nested || v.val.list.ptr == nullptr) {
            put_u32(0);
            return;
        }
        put_u32(v.val.list.size);
        for (unsigned i = 0; i < v.val.list.size; i++) {
            put_value(v.val.list.ptr[i], true);
        }
        return;
    }
    if (t == C_STR || t == C_BUF) {
        put_u8(static_cast<uint8_t>(t));
        uint32_t n = v.val.buf.ptr == nullptr ? 0 : v.val.buf.size;
        put_u32(n);
        buf_.append(reinterpret_cast<const char *>(v.val.buf.ptr), n);
        return;
    }
    if (value_fixed_size(t) < 0) {
        // Not a type of the protocol: carried as "no value".
        put_u8(C_NOEXISTS);
        return;
    }
    put_u8(static_cast<uint8_t>(t));
    switch (t) {
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        put_u32(v.val.xmltag.tag);
        put_u32(v.val.xmltag.ns);
        break;
    case C_INT8:
        put_u8(static_cast<uint8_t>(v.val.i8));
        break;
    case C_UINT8:
        put_u8(v.val.u8);
        break;
    case C_BOOL:
        put_u8(v.val.boolean != 0 ? 1 : 0);
        break;
    case C_INT16:
        put_u16(static_cast<uint16_t>(v.val.i16));
        break;
    case C_UINT16:
        put_u16(v.val.u16);
        break;
    case C_INT32:
        put_u32(static_cast<uint32_t>(v.val.i32));
        break;
    case C_UINT32:
        put_u32(v.val.u32);
        break;
    case C_SYMBOL:
        put_u32(v.val.symbol);
        break;
    case C_ENUM_VALUE:
        put_u32(static_cast<uint32_t>(v.val.enumvalue));
        break;
    case C_BIT32:
        put_u32(v.val.b32);
        break;
    case C_IPV4:
        buf_.append(reinterpret_cast<const char *>(&v.val.ip.s_addr), 4);
        break;
    case C_INT64:
        put_u64(static_cast<uint64_t>(v.val.i64));
        break;
    case C_UINT64:
        put_u64(v.val.u64);
        break;
    case C_BIT64:
        put_u64(v.val.b64);
        break;
    case C_DOUBLE: {
        uint64_t bits;
        memcpy(&bits, &v.val.d, sizeof(bits));
        put_u64(bits);
        break;
    }
    case C_IPV6:
        buf_.append(reinterpret_cast<const char *>(&v.val.ip6), 16);
        break;
    case C_DATETIME: {
        const confd_datetime &d = v.val.datetime;
        put_u16(static_cast<uint16_t>(d.year));
        put_u8(d.month);
        put_u8(d.day);
        put_u8(d.hour);
        put_u8(d.min);
        put_u8(d.sec);
        put_u32(d.micro);
        put_u8(static_cast<uint8_t>(d.timezone));
        put_u8(static_cast<uint8_t>(d.timezone_minutes));
        break;
    }
    default:
        break;
    }
}

writer &writer::value(const confd_value_t &v)
{
    put_u8(static_cast<uint8_t>(kind::value));
    put_value(v, false);
    return *this;
}

writer &writer::tag_value(const confd_tag_value_t &tv)
{
    put_u8(static_cast<uint8_t>(kind::tag_value));
    put_u32(tv.tag.tag);
    put_u32(tv.tag.ns);
    put_value(tv.v, false);
    return *this;
}

writer &writer::tag_values(const confd_tag_value_t *tv, int n)
{
    uint32_t count = n > 0 ? static_cast<uint32_t>(n) : 0;
    list(count);
    for (uint32_t i = 0; i < count; i++) {
        tag_value(tv[i]);
    }
    return *this;
}

writer &writer::keypath(const confd_hkeypath_t &kp)
{
    put_u8(static_cast<uint8_t>(kind::keypath));
    int len = kp.len < 0 ? 0 : (kp.len > MAXDEPTH ? MAXDEPTH : kp.len);
    put_u8(static_cast<uint8_t>(len));
    for (int i = len - 1; i >= 0; i--) {
        const confd_value_t *elem = kp.v[i];
        uint8_t count = 0;
        if (elem[0].type == C_XMLTAG) {
            count = 1;
        } else {
            while (count < MAXKEYLEN - 1 && elem[count].type != C_NOEXISTS) {
                count++;
            }
        }
        put_u8(count);
        for (uint8_t k = 0; k < count; k++) {
            put_value(elem[k], true);
        }
    }
    return *this;
}

writer &writer::list(uint32_t count)
{
    put_u8(static_cast<uint8_t>(kind::list));
    put_u32(count);
    return *this;
}

std::string writer::finish()
{
    uint32_t n = static_cast<uint32_t>(buf_.size() - 4);
    buf_[0] = static_cast<char>(n >> 24);
    buf_[1] = static_cast<char>(n >> 16);
    buf_[2] = static_cast<char>(n >> 8);
    buf_[3] = static_cast<char>(n);
    return std::move(buf_);
}

// ---------------------------------------------------------------- frames

void frame_buffer::append(const void *data, size_t n)
{
    // Drop what was consumed before growing, so the buffer holds at most one
    // partial frame and what arrived with it.
    if (start_ > 0 && (start_ == buf_.size() || start_ > 65536)) {
        buf_.erase(0, start_);
        start_ = 0;
    }
    buf_.append(static_cast<const char *>(data), n);
}

bool frame_buffer::next(std::span<const uint8_t> &body)
{
    if (error_ || buf_.size() - start_ < 4) {
        return false;
    }
    auto *p = reinterpret_cast<const uint8_t *>(buf_.data() + start_);
    uint32_t len = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                   (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    if (len < 5 || len > max_) {
        error_ = true;
        return false;
    }
    if (buf_.size() - start_ - 4 < len) {
        return false;
    }
    body = std::span<const uint8_t>(p + 4, len);
    start_ += 4 + len;
    return true;
}

size_t frame_buffer::missing() const
{
    size_t have = buf_.size() - start_;
    if (error_) {
        return 0;
    }
    if (have < 4) {
        return 4 - have;
    }
    auto *p = reinterpret_cast<const uint8_t *>(buf_.data() + start_);
    uint32_t len = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                   (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
    if (len < 5 || len > max_) {
        return 0;  // next() reports the error
    }
    return have - 4 >= len ? 0 : len - (have - 4);
}

bool hello_proof(std::string_view secret, std::string_view nonce, std::string *proof)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char *>(nonce.data()), nonce.size(), mac, &mac_len) == nullptr) {
        return false;
    }
    proof->assign(reinterpret_cast<const char *>(mac), mac_len);
    return true;
}

bool hello_proof_ok(std::string_view secret, std::string_view nonce, std::string_view proof)
{
    std::string want;
    return hello_proof(secret, nonce, &want) && proof.size() == want.size() &&
           CRYPTO_memcmp(proof.data(), want.data(), want.size()) == 0;
}

void free_tag_values(confd_tag_value_t *tv, int n)
{
    if (tv == nullptr) {
        return;
    }
    for (int i = 0; i < n; i++) {
        confd_free_value(&tv[i].v);
    }
    free(tv);
}

void free_keypath(confd_hkeypath_t &kp)
{
    for (int i = 0; i < kp.len && i < MAXDEPTH; i++) {
        for (int k = 0; k < MAXKEYLEN && kp.v[i][k].type != C_NOEXISTS; k++) {
            confd_free_value(&kp.v[i][k]);
            if (kp.v[i][k].type == C_XMLTAG) {
                break;
            }
        }
    }
    kp.len = 0;
}

}  // namespace mgmt_wire
