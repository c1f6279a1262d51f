// The reading half of the item codec: every length and count is checked
// against what is left before anything is allocated.
#include "confd_wire.h"

#include <cstdlib>
#include <cstring>

namespace mgmt_wire {

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
    int size = value_fixed_size(t);
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
            bad = value_is_tag(elem[k].type) || elem[k].type == C_NOEXISTS || elem[k].type == C_LIST;
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
}  // namespace mgmt_wire
