#include "confd_wire.h"

#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace mgmt_wire {

namespace {

bool is_tag_type(uint32_t t)
{
    return t == C_XMLTAG || t == C_XMLBEGIN || t == C_XMLEND || t == C_XMLBEGINDEL;
}

// Bytes of the fixed-size payload of a value type; -1 for the variable
// ones (STR, BUF, LIST) and for types the protocol does not carry.
int fixed_size(uint32_t t)
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

}  // namespace

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
    if (fixed_size(t) < 0) {
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

// ---------------------------------------------------------------- reader

reader::reader(std::span<const uint8_t> body) : data_(body)
{
    if (!need(5)) {
        return;
    }
    op_ = static_cast<mgmt_op>(get_u8());
    xid_ = get_u32();
}

bool reader::fail()
{
    ok_ = false;
    return false;
}

bool reader::need(size_t n)
{
    if (!ok_ || data_.size() - pos_ < n) {
        return fail();
    }
    return true;
}

uint8_t reader::get_u8()
{
    return data_[pos_++];
}

uint16_t reader::get_u16()
{
    uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
}

uint32_t reader::get_u32()
{
    uint32_t v = (static_cast<uint32_t>(data_[pos_]) << 24) | (static_cast<uint32_t>(data_[pos_ + 1]) << 16) |
                 (static_cast<uint32_t>(data_[pos_ + 2]) << 8) | static_cast<uint32_t>(data_[pos_ + 3]);
    pos_ += 4;
    return v;
}

uint64_t reader::get_u64()
{
    uint64_t hi = get_u32();
    return (hi << 32) | get_u32();
}

kind reader::peek() const
{
    if (!ok_ || pos_ >= data_.size()) {
        return kind::nil;
    }
    return static_cast<kind>(data_[pos_]);
}

bool reader::nil()
{
    if (!need(1) || data_[pos_] != static_cast<uint8_t>(kind::nil)) {
        return fail();
    }
    pos_++;
    return true;
}

bool reader::i64(int64_t &out)
{
    if (!need(9) || data_[pos_] != static_cast<uint8_t>(kind::i64)) {
        return fail();
    }
    pos_++;
    out = static_cast<int64_t>(get_u64());
    return true;
}

bool reader::bytes(std::string_view &out)
{
    if (!need(5) || data_[pos_] != static_cast<uint8_t>(kind::bytes)) {
        return fail();
    }
    pos_++;
    uint32_t n = get_u32();
    if (!need(n)) {
        return false;
    }
    out = std::string_view(reinterpret_cast<const char *>(data_.data() + pos_), n);
    pos_ += n;
    return true;
}

bool reader::str(std::string &out)
{
    std::string_view sv;
    if (!bytes(sv)) {
        return false;
    }
    out.assign(sv.data(), sv.size());
    return true;
}

bool reader::get_value(confd_value_t &out, bool nested)
{
    memset(&out, 0, sizeof(out));
    if (!need(1)) {
        return false;
    }
    uint32_t t = get_u8();
    if (t == C_LIST) {
        if (nested || !need(4)) {
            return fail();
        }
        uint32_t n = get_u32();
        // Every member takes at least one byte: a count beyond what is left
        // is malformed, and the allocation stays bounded by the frame.
        if (n > data_.size() - pos_) {
            return fail();
        }
        confd_value_t *members = nullptr;
        if (n > 0) {
            members = static_cast<confd_value_t *>(calloc(n, sizeof(confd_value_t)));
            if (members == nullptr) {
                return fail();
            }
        }
        for (uint32_t i = 0; i < n; i++) {
            if (!get_value(members[i], true)) {
                for (uint32_t k = 0; k < i; k++) {
                    confd_free_value(&members[k]);
                }
                free(members);
                return false;
            }
        }
        out.type = C_LIST;
        out.val.list.size = n;
        out.val.list.ptr = members;
        return true;
    }
    if (t == C_STR || t == C_BUF) {
        if (!need(4)) {
            return false;
        }
        uint32_t n = get_u32();
        if (!need(n)) {
            return false;
        }
        auto *p = static_cast<unsigned char *>(malloc(n + 1));
        if (p == nullptr) {
            return fail();
        }
        memcpy(p, data_.data() + pos_, n);
        p[n] = 0;
        pos_ += n;
        out.type = static_cast<confd_vtype>(t);
        out.val.buf.size = n;
        out.val.buf.ptr = p;
        return true;
    }
    int size = fixed_size(t);
    if (size < 0 || !need(static_cast<size_t>(size))) {
        return fail();
    }
    out.type = static_cast<confd_vtype>(t);
    switch (t) {
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        out.val.xmltag.tag = get_u32();
        out.val.xmltag.ns = get_u32();
        break;
    case C_INT8:
        out.val.i8 = static_cast<int8_t>(get_u8());
        break;
    case C_UINT8:
        out.val.u8 = get_u8();
        break;
    case C_BOOL:
        out.val.boolean = get_u8() != 0 ? 1 : 0;
        break;
    case C_INT16:
        out.val.i16 = static_cast<int16_t>(get_u16());
        break;
    case C_UINT16:
        out.val.u16 = get_u16();
        break;
    case C_INT32:
        out.val.i32 = static_cast<int32_t>(get_u32());
        break;
    case C_UINT32:
        out.val.u32 = get_u32();
        break;
    case C_SYMBOL:
        out.val.symbol = get_u32();
        break;
    case C_ENUM_VALUE:
        out.val.enumvalue = static_cast<int32_t>(get_u32());
        break;
    case C_BIT32:
        out.val.b32 = get_u32();
        break;
    case C_IPV4:
        memcpy(&out.val.ip.s_addr, data_.data() + pos_, 4);
        pos_ += 4;
        break;
    case C_INT64:
        out.val.i64 = static_cast<int64_t>(get_u64());
        break;
    case C_UINT64:
        out.val.u64 = get_u64();
        break;
    case C_BIT64:
        out.val.b64 = get_u64();
        break;
    case C_DOUBLE: {
        uint64_t bits = get_u64();
        memcpy(&out.val.d, &bits, sizeof(bits));
        break;
    }
    case C_IPV6:
        memcpy(&out.val.ip6, data_.data() + pos_, 16);
        pos_ += 16;
        break;
    case C_DATETIME: {
        confd_datetime &d = out.val.datetime;
        d.year = static_cast<int16_t>(get_u16());
        d.month = get_u8();
        d.day = get_u8();
        d.hour = get_u8();
        d.min = get_u8();
        d.sec = get_u8();
        d.micro = get_u32();
        d.timezone = static_cast<int8_t>(get_u8());
        d.timezone_minutes = static_cast<int8_t>(get_u8());
        break;
    }
    default:
        break;
    }
    return true;
}

bool reader::value(confd_value_t &out)
{
    if (!need(1) || data_[pos_] != static_cast<uint8_t>(kind::value)) {
        memset(&out, 0, sizeof(out));
        return fail();
    }
    pos_++;
    return get_value(out, false);
}

bool reader::tag_value(confd_tag_value_t &out)
{
    memset(&out, 0, sizeof(out));
    if (!need(9) || data_[pos_] != static_cast<uint8_t>(kind::tag_value)) {
        return fail();
    }
    pos_++;
    out.tag.tag = get_u32();
    out.tag.ns = get_u32();
    return get_value(out.v, false);
}

bool reader::keypath(confd_hkeypath_t &out)
{
    out.len = 0;
    if (!need(2) || data_[pos_] != static_cast<uint8_t>(kind::keypath)) {
        return fail();
    }
    pos_++;
    int len = get_u8();
    if (len > MAXDEPTH) {
        return fail();
    }
    // Read outermost first into a scratch path, then reverse into out, so
    // that a failure half-way frees exactly the elements read.
    confd_hkeypath_t tmp;
    tmp.len = 0;
    for (int e = 0; e < len; e++) {
        confd_value_t *elem = tmp.v[e];
        if (!need(1)) {
            free_keypath(tmp);
            return false;
        }
        int count = get_u8();
        if (count == 0 || count > MAXKEYLEN - 1) {
            free_keypath(tmp);
            return fail();
        }
        for (int k = 0; k < count; k++) {
            if (!get_value(elem[k], true)) {
                for (int j = 0; j < k; j++) {
                    confd_free_value(&elem[j]);
                }
                free_keypath(tmp);
                return false;
            }
        }
        elem[count].type = C_NOEXISTS;
        tmp.len = e + 1;
        // An element is a lone tag, or keys without any tag among them.
        bool tag = elem[0].type == C_XMLTAG;
        bool bad = tag && count != 1;
        for (int k = 0; k < count && !bad && !tag; k++) {
            bad = is_tag_type(elem[k].type) || elem[k].type == C_NOEXISTS || elem[k].type == C_LIST;
        }
        if (bad) {
            free_keypath(tmp);
            return fail();
        }
    }
    for (int e = 0; e < len; e++) {
        memcpy(out.v[len - 1 - e], tmp.v[e], sizeof(tmp.v[e]));
    }
    out.len = len;
    return true;
}

bool reader::list(uint32_t &count)
{
    if (!need(5) || data_[pos_] != static_cast<uint8_t>(kind::list)) {
        return fail();
    }
    pos_++;
    count = get_u32();
    if (count > data_.size() - pos_) {
        return fail();
    }
    return true;
}

bool reader::tag_values(confd_tag_value_t **out, int *n)
{
    *out = nullptr;
    *n = 0;
    uint32_t count = 0;
    if (!list(count)) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    auto *tv = static_cast<confd_tag_value_t *>(calloc(count, sizeof(confd_tag_value_t)));
    if (tv == nullptr) {
        return fail();
    }
    for (uint32_t i = 0; i < count; i++) {
        if (!tag_value(tv[i])) {
            free_tag_values(tv, static_cast<int>(i));
            return false;
        }
    }
    *out = tv;
    *n = static_cast<int>(count);
    return true;
}

bool reader::skip_value(bool nested)
{
    confd_value_t v;
    if (!get_value(v, nested)) {
        return false;
    }
    confd_free_value(&v);
    return true;
}

bool reader::skip_item(int depth)
{
    if (depth > MGMT_WIRE_MAX_DEPTH || !need(1)) {
        return fail();
    }
    switch (static_cast<kind>(data_[pos_])) {
    case kind::nil:
        return nil();
    case kind::i64: {
        int64_t v;
        return i64(v);
    }
    case kind::bytes: {
        std::string_view sv;
        return bytes(sv);
    }
    case kind::value:
        pos_++;
        return skip_value(false);
    case kind::tag_value:
        if (!need(9)) {
            return false;
        }
        pos_ += 9;
        return skip_value(false);
    case kind::keypath: {
        confd_hkeypath_t kp;
        if (!keypath(kp)) {
            return false;
        }
        free_keypath(kp);
        return true;
    }
    case kind::list: {
        uint32_t n;
        if (!list(n)) {
            return false;
        }
        for (uint32_t i = 0; i < n; i++) {
            if (!skip_item(depth + 1)) {
                return false;
            }
        }
        return true;
    }
    }
    return fail();
}

bool reader::skip()
{
    return skip_item(0);
}

bool check_body(std::span<const uint8_t> body)
{
    reader r(body);
    while (r.ok() && !r.at_end()) {
        r.skip();
    }
    return r.ok();
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
