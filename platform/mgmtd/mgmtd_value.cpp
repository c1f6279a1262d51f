#include "mgmtd_value.h"

#include <arpa/inet.h>
#include <libyang/plugins_types.h>
#include <openssl/evp.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mgmtd_schema.h"

namespace mgmtd {

namespace {

cvalue make_str(int type, const void *data, size_t n)
{
    confd_value_t v{};
    auto *p = static_cast<unsigned char *>(malloc(n + 1));
    if (p == nullptr) {
        return {};
    }
    if (n > 0) {
        memcpy(p, data, n);
    }
    p[n] = 0;
    v.type = static_cast<confd_vtype>(type);
    v.val.buf.ptr = p;
    v.val.buf.size = static_cast<unsigned>(n);
    return cvalue::adopt(v);
}

std::string base64(const unsigned char *p, size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), p, static_cast<int>(n));
    out.resize(len < 0 ? 0 : static_cast<size_t>(len));
    return out;
}

// LYD_VALUE_GET for C++: a type's stored value, in place or allocated.
template <class T>
const T *stored(const lyd_value &lv)
{
    if (sizeof(T) > LYD_VALUE_FIXED_MEM_SIZE) {
        return static_cast<const T *>(lv.dyn_mem);
    }
    return reinterpret_cast<const T *>(lv.fixed_mem);
}

cvalue value_of(const ly_ctx *ctx, const lyd_value &lv)
{
    const lysc_type *t = lv.realtype;
    confd_value_t v{};
    if (t == nullptr) {
        return {};
    }
    switch (t->basetype) {
    case LY_TYPE_UNION:
        if (lv.subvalue != nullptr) {
            return value_of(ctx, lv.subvalue->value);
        }
        break;
    case LY_TYPE_STRING: {
        const char *text = lyd_value_get_canonical(ctx, &lv);
        std::string s = text != nullptr ? text : "";
        if (type_is_ipv4(t) || type_is_ipv6(t)) {
            std::string addr = s.substr(0, s.find('%'));
            if (inet_pton(AF_INET, addr.c_str(), &v.val.ip) == 1) {
                v.type = C_IPV4;
                return cvalue::adopt(v);
            }
            if (inet_pton(AF_INET6, addr.c_str(), &v.val.ip6) == 1) {
                v.type = C_IPV6;
                return cvalue::adopt(v);
            }
        }
        return make_str(C_STR, s.data(), s.size());
    }
    case LY_TYPE_BINARY: {
        const lyd_value_binary *bin = stored<lyd_value_binary>(lv);
        return make_str(C_BUF, bin->data, bin->size);
    }
    case LY_TYPE_BOOL:
        v.type = C_BOOL;
        v.val.boolean = lv.boolean != 0;
        return cvalue::adopt(v);
    case LY_TYPE_INT8:
        v.type = C_INT8;
        v.val.i8 = lv.int8;
        return cvalue::adopt(v);
    case LY_TYPE_INT16:
        v.type = C_INT16;
        v.val.i16 = lv.int16;
        return cvalue::adopt(v);
    case LY_TYPE_INT32:
        v.type = C_INT32;
        v.val.i32 = lv.int32;
        return cvalue::adopt(v);
    case LY_TYPE_INT64:
        v.type = C_INT64;
        v.val.i64 = lv.int64;
        return cvalue::adopt(v);
    case LY_TYPE_UINT8:
        v.type = C_UINT8;
        v.val.u8 = lv.uint8;
        return cvalue::adopt(v);
    case LY_TYPE_UINT16:
        v.type = C_UINT16;
        v.val.u16 = lv.uint16;
        return cvalue::adopt(v);
    case LY_TYPE_UINT32:
        v.type = C_UINT32;
        v.val.u32 = lv.uint32;
        return cvalue::adopt(v);
    case LY_TYPE_UINT64:
        v.type = C_UINT64;
        v.val.u64 = lv.uint64;
        return cvalue::adopt(v);
    case LY_TYPE_DEC64: {
        const auto *d = reinterpret_cast<const lysc_type_dec *>(t);
        v.type = C_DOUBLE;
        v.val.d = static_cast<double>(lv.dec64) / std::pow(10.0, d->fraction_digits);
        return cvalue::adopt(v);
    }
    case LY_TYPE_ENUM:
        v.type = C_ENUM_VALUE;
        v.val.enumvalue = lv.enum_item != nullptr ? lv.enum_item->value : 0;
        return cvalue::adopt(v);
    case LY_TYPE_BITS: {
        const lyd_value_bits *bits = stored<lyd_value_bits>(lv);
        uint64_t mask = 0;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(bits->items, i)
        {
            if (bits->items[i]->position < 64) {
                mask |= uint64_t{1} << bits->items[i]->position;
            }
        }
        if (vtype_of(t) == C_BIT64) {
            v.type = C_BIT64;
            v.val.b64 = mask;
        } else {
            v.type = C_BIT32;
            v.val.b32 = static_cast<uint32_t>(mask);
        }
        return cvalue::adopt(v);
    }
    case LY_TYPE_EMPTY:
        v.type = C_EMPTY;
        return cvalue::adopt(v);
    default:
        break;
    }
    const char *text = lyd_value_get_canonical(ctx, &lv);
    std::string s = text != nullptr ? text : "";
    return make_str(C_STR, s.data(), s.size());
}

bool is_int_type(LY_DATA_TYPE b)
{
    return b == LY_TYPE_INT8 || b == LY_TYPE_INT16 || b == LY_TYPE_INT32 || b == LY_TYPE_INT64 ||
           b == LY_TYPE_UINT8 || b == LY_TYPE_UINT16 || b == LY_TYPE_UINT32 || b == LY_TYPE_UINT64 ||
           b == LY_TYPE_DEC64;
}

// The text of v as a value of type t, or false when v does not fit t.
bool fits(const lysc_type *t, const confd_value_t &v, std::string *out)
{
    t = deref(t);
    if (t == nullptr) {
        return false;
    }
    if (t->basetype == LY_TYPE_UNION) {
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            if (fits(u->types[i], v, out)) {
                return true;
            }
        }
        return false;
    }
    char buf[64];
    const LY_DATA_TYPE b = t->basetype;
    switch (v.type) {
    case C_STR:
        out->assign(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.ptr ? v.val.buf.size : 0);
        return true;
    case C_BUF:
        if (b == LY_TYPE_BINARY) {
            *out = base64(v.val.buf.ptr, v.val.buf.ptr ? v.val.buf.size : 0);
            return true;
        }
        if (b == LY_TYPE_STRING) {
            out->assign(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.ptr ? v.val.buf.size : 0);
            return true;
        }
        return false;
    case C_BOOL:
        if (b != LY_TYPE_BOOL) {
            return false;
        }
        *out = v.val.boolean ? "true" : "false";
        return true;
    case C_INT8:
    case C_INT16:
    case C_INT32:
    case C_INT64: {
        if (!is_int_type(b)) {
            return false;
        }
        int64_t x = v.type == C_INT8 ? v.val.i8 : v.type == C_INT16 ? v.val.i16 : v.type == C_INT32 ? v.val.i32 : v.val.i64;
        snprintf(buf, sizeof(buf), "%" PRId64, x);
        *out = buf;
        return true;
    }
    case C_UINT8:
    case C_UINT16:
    case C_UINT32:
    case C_UINT64: {
        if (!is_int_type(b)) {
            return false;
        }
        uint64_t x = v.type == C_UINT8    ? v.val.u8
                     : v.type == C_UINT16 ? v.val.u16
                     : v.type == C_UINT32 ? v.val.u32
                                          : v.val.u64;
        snprintf(buf, sizeof(buf), "%" PRIu64, x);
        *out = buf;
        return true;
    }
    case C_DOUBLE:
        if (b != LY_TYPE_DEC64 || !std::isfinite(v.val.d)) {
            return false;
        }
        snprintf(buf, sizeof(buf), "%.*f", reinterpret_cast<const lysc_type_dec *>(t)->fraction_digits, v.val.d);
        *out = buf;
        return true;
    case C_ENUM_VALUE: {
        if (b != LY_TYPE_ENUM) {
            return false;
        }
        const lysc_type_bitenum_item *items = bitenum_items(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(items, i)
        {
            if (items[i].value == v.val.enumvalue) {
                *out = items[i].name;
                return true;
            }
        }
        return false;
    }
    case C_BIT32:
    case C_BIT64: {
        if (b != LY_TYPE_BITS) {
            return false;
        }
        uint64_t mask = v.type == C_BIT32 ? v.val.b32 : v.val.b64;
        const lysc_type_bitenum_item *items = bitenum_items(t);
        std::string text;
        uint64_t known = 0;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(items, i)
        {
            if (items[i].position < 64 && (mask & (uint64_t{1} << items[i].position)) != 0) {
                known |= uint64_t{1} << items[i].position;
                if (!text.empty()) {
                    text += ' ';
                }
                text += items[i].name;
            }
        }
        if (known != mask) {
            return false;
        }
        *out = text;
        return true;
    }
    case C_IPV4:
        if (!type_is_ipv4(t)) {
            return false;
        }
        inet_ntop(AF_INET, &v.val.ip, buf, sizeof(buf));
        *out = buf;
        return true;
    case C_IPV6:
        if (!type_is_ipv6(t)) {
            return false;
        }
        inet_ntop(AF_INET6, &v.val.ip6, buf, sizeof(buf));
        *out = buf;
        return true;
    case C_EMPTY:
        if (b != LY_TYPE_EMPTY) {
            return false;
        }
        out->clear();
        return true;
    case C_DATETIME:
        if (b != LY_TYPE_STRING) {
            return false;
        }
        *out = datetime_text(v.val.datetime);
        return true;
    default:
        return false;
    }
}

}  // namespace

const char *vtype_name(int type)
{
    switch (type) {
    case C_NOEXISTS:
        return "C_NOEXISTS";
    case C_XMLTAG:
        return "C_XMLTAG";
    case C_SYMBOL:
        return "C_SYMBOL";
    case C_STR:
        return "C_STR";
    case C_BUF:
        return "C_BUF";
    case C_INT8:
        return "C_INT8";
    case C_INT16:
        return "C_INT16";
    case C_INT32:
        return "C_INT32";
    case C_INT64:
        return "C_INT64";
    case C_UINT8:
        return "C_UINT8";
    case C_UINT16:
        return "C_UINT16";
    case C_UINT32:
        return "C_UINT32";
    case C_UINT64:
        return "C_UINT64";
    case C_DOUBLE:
        return "C_DOUBLE";
    case C_IPV4:
        return "C_IPV4";
    case C_IPV6:
        return "C_IPV6";
    case C_BOOL:
        return "C_BOOL";
    case C_DATETIME:
        return "C_DATETIME";
    case C_ENUM_VALUE:
        return "C_ENUM_VALUE";
    case C_BIT32:
        return "C_BIT32";
    case C_BIT64:
        return "C_BIT64";
    case C_LIST:
        return "C_LIST";
    case C_XMLBEGIN:
        return "C_XMLBEGIN";
    case C_XMLEND:
        return "C_XMLEND";
    case C_XMLBEGINDEL:
        return "C_XMLBEGINDEL";
    case C_EMPTY:
        return "C_EMPTY";
    default:
        return "an unknown type";
    }
}

cvalue value_of_term(const lyd_node *term)
{
    if (term == nullptr || term->schema == nullptr || (term->schema->nodetype & LYD_NODE_TERM) == 0) {
        return {};
    }
    return value_of(LYD_CTX(term), reinterpret_cast<const lyd_node_term *>(term)->value);
}

cvalue leaf_list_value(const lyd_node *parent, const lyd_node *first, const lysc_node *snode)
{
    std::vector<cvalue> members;
    const lyd_node *n = parent != nullptr ? lyd_child(parent) : first;
    for (n = n != nullptr ? lyd_first_sibling(n) : nullptr; n != nullptr; n = n->next) {
        if (n->schema == snode) {
            members.push_back(value_of_term(n));
        }
    }
    if (members.empty()) {
        return {};
    }
    confd_value_t v{};
    v.type = C_LIST;
    v.val.list.ptr = static_cast<confd_value_t *>(calloc(members.size(), sizeof(confd_value_t)));
    if (v.val.list.ptr == nullptr) {
        return {};
    }
    v.val.list.size = static_cast<unsigned>(members.size());
    for (size_t i = 0; i < members.size(); i++) {
        v.val.list.ptr[i] = members[i].get();
        members[i].get().type = C_NOEXISTS;  // moved into the list
    }
    return cvalue::adopt(v);
}

bool value_text(const lysc_node *snode, const confd_value_t &v, std::string *out, std::string *err)
{
    const lysc_type *t = leaf_type(snode);
    if (t == nullptr) {
        *err = std::string(snode != nullptr ? snode->name : "?") + " is not a leaf";
        return false;
    }
    if (fits(t, v, out)) {
        return true;
    }
    *err = std::string("a ") + vtype_name(v.type) + " value does not fit leaf " + snode->name + " (" +
           type_name(t) + ")";
    return false;
}

bool value_from_text(const lysc_node *snode, const std::string &text, cvalue *out, std::string *err)
{
    if (snode == nullptr || (snode->nodetype & LYD_NODE_TERM) == 0) {
        *err = "not a leaf";
        return false;
    }
    const ly_ctx *ctx = snode->module->ctx;
    const lysc_type *real = nullptr;
    const char *canon = nullptr;
    if (lyd_value_validate(ctx, snode, text.c_str(), text.size(), nullptr, &real, &canon) != LY_SUCCESS ||
        real == nullptr) {
        *err = "bad value " + text + " for " + snode->name + ": " + ly_error_text(ctx);
        return false;
    }
    std::string c = canon != nullptr ? canon : text;
    lydict_remove(ctx, canon);
    confd_value_t v{};
    const lysc_type *t = deref(real);
    switch (t->basetype) {
    case LY_TYPE_BOOL:
        CONFD_SET_BOOL(&v, c == "true");
        break;
    case LY_TYPE_INT8:
    case LY_TYPE_INT16:
    case LY_TYPE_INT32:
    case LY_TYPE_INT64: {
        int64_t x = strtoll(c.c_str(), nullptr, 10);
        v.type = static_cast<confd_vtype>(vtype_of(t));
        if (v.type == C_INT8) {
            v.val.i8 = static_cast<int8_t>(x);
        } else if (v.type == C_INT16) {
            v.val.i16 = static_cast<int16_t>(x);
        } else if (v.type == C_INT32) {
            v.val.i32 = static_cast<int32_t>(x);
        } else {
            v.val.i64 = x;
        }
        break;
    }
    case LY_TYPE_UINT8:
    case LY_TYPE_UINT16:
    case LY_TYPE_UINT32:
    case LY_TYPE_UINT64: {
        uint64_t x = strtoull(c.c_str(), nullptr, 10);
        v.type = static_cast<confd_vtype>(vtype_of(t));
        if (v.type == C_UINT8) {
            v.val.u8 = static_cast<uint8_t>(x);
        } else if (v.type == C_UINT16) {
            v.val.u16 = static_cast<uint16_t>(x);
        } else if (v.type == C_UINT32) {
            v.val.u32 = static_cast<uint32_t>(x);
        } else {
            v.val.u64 = x;
        }
        break;
    }
    case LY_TYPE_DEC64:
        v.type = C_DOUBLE;
        v.val.d = strtod(c.c_str(), nullptr);
        break;
    case LY_TYPE_EMPTY:
        v.type = C_EMPTY;
        break;
    case LY_TYPE_ENUM: {
        const lysc_type_bitenum_item *items = bitenum_items(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(items, i)
        {
            if (c == items[i].name) {
                CONFD_SET_ENUM_VALUE(&v, items[i].value);
            }
        }
        break;
    }
    case LY_TYPE_BITS: {
        const lysc_type_bitenum_item *items = bitenum_items(t);
        uint64_t mask = 0;
        std::string word;
        for (size_t p = 0; p <= c.size(); p++) {
            if (p == c.size() || c[p] == ' ') {
                LY_ARRAY_COUNT_TYPE i;
                LY_ARRAY_FOR(items, i)
                {
                    if (word == items[i].name && items[i].position < 64) {
                        mask |= uint64_t{1} << items[i].position;
                    }
                }
                word.clear();
            } else {
                word += c[p];
            }
        }
        if (vtype_of(t) == C_BIT64) {
            v.type = C_BIT64;
            v.val.b64 = mask;
        } else {
            CONFD_SET_BIT32(&v, static_cast<uint32_t>(mask));
        }
        break;
    }
    case LY_TYPE_STRING:
    case LY_TYPE_UNION: {
        std::string addr = c.substr(0, c.find('%'));
        if (type_is_ipv4(t) && inet_pton(AF_INET, addr.c_str(), &v.val.ip) == 1) {
            v.type = C_IPV4;
            break;
        }
        if (type_is_ipv6(t) && inet_pton(AF_INET6, addr.c_str(), &v.val.ip6) == 1) {
            v.type = C_IPV6;
            break;
        }
        *out = make_str(C_STR, c.data(), c.size());
        return true;
    }
    default:
        *out = make_str(C_STR, c.data(), c.size());
        return true;
    }
    if (v.type == 0) {
        *out = make_str(C_STR, c.data(), c.size());
        return true;
    }
    *out = cvalue::adopt(v);
    return true;
}

std::string datetime_text(const confd_datetime &d)
{
    char buf[80];
    int tzm = d.timezone_minutes < 0 ? -d.timezone_minutes : d.timezone_minutes;
    snprintf(buf, sizeof(buf), "%04d-%02u-%02uT%02u:%02u:%02u.%06u%c%02d:%02d", d.year, d.month, d.day, d.hour, d.min,
             d.sec, d.micro % 1000000u, d.timezone < 0 ? '-' : '+', d.timezone < 0 ? -d.timezone : d.timezone, tzm);
    return buf;
}

std::string value_plain_text(const confd_value_t &v)
{
    char buf[80];
    switch (v.type) {
    case C_STR:
        return std::string(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.ptr ? v.val.buf.size : 0);
    case C_BUF:
        return base64(v.val.buf.ptr, v.val.buf.ptr ? v.val.buf.size : 0);
    case C_BOOL:
        return v.val.boolean ? "true" : "false";
    case C_INT8:
        return std::to_string(v.val.i8);
    case C_INT16:
        return std::to_string(v.val.i16);
    case C_INT32:
        return std::to_string(v.val.i32);
    case C_INT64:
        return std::to_string(v.val.i64);
    case C_UINT8:
        return std::to_string(v.val.u8);
    case C_UINT16:
        return std::to_string(v.val.u16);
    case C_UINT32:
        return std::to_string(v.val.u32);
    case C_UINT64:
        return std::to_string(v.val.u64);
    case C_SYMBOL:
        return std::to_string(v.val.symbol);
    case C_ENUM_VALUE:
        return std::to_string(v.val.enumvalue);
    case C_DOUBLE:
        snprintf(buf, sizeof(buf), "%g", v.val.d);
        return buf;
    case C_BIT32:
        snprintf(buf, sizeof(buf), "0x%x", v.val.b32);
        return buf;
    case C_BIT64:
        snprintf(buf, sizeof(buf), "0x%" PRIx64, v.val.b64);
        return buf;
    case C_IPV4:
        inet_ntop(AF_INET, &v.val.ip, buf, sizeof(buf));
        return buf;
    case C_IPV6:
        inet_ntop(AF_INET6, &v.val.ip6, buf, sizeof(buf));
        return buf;
    case C_DATETIME:
        return datetime_text(v.val.datetime);
    case C_LIST: {
        std::string s;
        for (unsigned i = 0; i < v.val.list.size; i++) {
            if (i > 0) {
                s += ' ';
            }
            s += value_plain_text(v.val.list.ptr[i]);
        }
        return s;
    }
    default:
        return "";
    }
}

}  // namespace mgmtd
