// Values and keypaths as text, and text parsed into values.
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>

#include "confd_conn.h"
#include "confd_schema.h"

using namespace confd_impl;

namespace {

// Copies text into buf as snprintf would; returns the full length.
int put_text(char *buf, int bufsiz, const std::string &text)
{
    if (buf != nullptr && bufsiz > 0) {
        size_t n = std::min(text.size(), static_cast<size_t>(bufsiz) - 1);
        memcpy(buf, text.data(), n);
        buf[n] = 0;
    }
    return static_cast<int>(std::min(text.size(), static_cast<size_t>(INT_MAX)));
}

std::string base64(const unsigned char *p, unsigned n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), p, static_cast<int>(n));
    out.resize(static_cast<size_t>(len));
    return out;
}

bool unbase64(std::string_view text, std::string &out)
{
    if (text.size() % 4 != 0) {
        return false;
    }
    out.assign(3 * text.size() / 4 + 1, '\0');
    int len = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                              reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (len < 0) {
        return false;
    }
    // DecodeBlock counts the padding as zero bytes.
    size_t pad = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && pad < 2; i--) {
        pad++;
    }
    out.resize(static_cast<size_t>(len) - pad);
    return true;
}

std::string datetime_text(const confd_datetime &d)
{
    std::string s = format("%04d-%02u-%02uT%02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.min, d.sec);
    if (d.micro != 0) {
        s += format(".%06u", d.micro);
    }
    if (d.timezone == 0 && d.timezone_minutes == 0) {
        s += "Z";
    } else {
        int tz = d.timezone, tzm = std::abs(d.timezone_minutes);
        s += format("%c%02d:%02d", tz < 0 || d.timezone_minutes < 0 ? '-' : '+', std::abs(tz), tzm);
    }
    return s;
}

bool parse_datetime(std::string_view t, confd_datetime &d)
{
    unsigned y, mo, da, h, mi, se;
    int used = 0;
    std::string s(t);
    if (sscanf(s.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &y, &mo, &da, &h, &mi, &se, &used) != 6 || used != 19) {
        return false;
    }
    if (mo < 1 || mo > 12 || da < 1 || da > 31 || h > 23 || mi > 59 || se > 60) {
        return false;
    }
    d = confd_datetime{};
    d.year = static_cast<int16_t>(y);
    d.month = static_cast<uint8_t>(mo);
    d.day = static_cast<uint8_t>(da);
    d.hour = static_cast<uint8_t>(h);
    d.min = static_cast<uint8_t>(mi);
    d.sec = static_cast<uint8_t>(se);
    std::string_view rest = t.substr(19);
    if (!rest.empty() && rest[0] == '.') {
        size_t k = 1;
        uint32_t micro = 0, scale = 100000;
        while (k < rest.size() && rest[k] >= '0' && rest[k] <= '9') {
            micro += static_cast<uint32_t>(rest[k] - '0') * scale;
            scale /= 10;
            k++;
        }
        if (k == 1) {
            return false;
        }
        d.micro = micro;
        rest = rest.substr(k);
    }
    if (rest == "Z") {
        return true;
    }
    unsigned th, tm;
    if (rest.size() != 6 || (rest[0] != '+' && rest[0] != '-') || rest[3] != ':' ||
        sscanf(std::string(rest.substr(1)).c_str(), "%2u:%2u", &th, &tm) != 2 || th > 23 || tm > 59) {
        return false;
    }
    int sign = rest[0] == '-' ? -1 : 1;
    d.timezone = static_cast<int8_t>(sign * static_cast<int>(th));
    d.timezone_minutes = static_cast<int8_t>(sign * static_cast<int>(tm));
    return true;
}

std::string tag_text(const schema *s, uint32_t tag)
{
    if (s != nullptr) {
        auto it = s->tag_names.find(tag);
        if (it != s->tag_names.end()) {
            return it->second;
        }
    }
    return std::to_string(tag);
}

std::string bits_text(const confd_type &t, uint64_t bits)
{
    std::string out;
    for (const auto &[label, pos] : t.labels) {
        if (pos >= 0 && pos < 64 && (bits & (uint64_t{1} << pos)) != 0) {
            out += out.empty() ? "" : " ";
            out += label;
            bits &= ~(uint64_t{1} << pos);
        }
    }
    if (bits != 0) {
        // Bits the type does not name: shown, not dropped.
        out += format("%s0x%llx", out.empty() ? "" : " ", static_cast<unsigned long long>(bits));
    }
    return out;
}

template <typename T>
bool parse_int(std::string_view text, T &out)
{
    // from_chars takes no leading '+'; the CLI may type one.
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') {
            return false;
        }
    }
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

bool quoted_key(const std::string &text)
{
    if (text.empty()) {
        return true;
    }
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '"' || c == '{' || c == '}' || c == '\\') {
            return true;
        }
    }
    return false;
}

std::string key_text(const std::string &text)
{
    if (!quoted_key(text)) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

namespace confd_impl {

std::string value_text(const schema *s, const confd_type *type, const confd_value_t &v)
{
    if (type != nullptr && !type->labels.empty()) {
        if (v.type == C_ENUM_VALUE) {
            for (const auto &[label, value] : type->labels) {
                if (value == v.val.enumvalue) {
                    return label;
                }
            }
        } else if (v.type == C_BIT32) {
            return bits_text(*type, v.val.b32);
        } else if (v.type == C_BIT64) {
            return bits_text(*type, v.val.b64);
        }
    }
    char ip[INET6_ADDRSTRLEN];
    switch (v.type) {
    case C_NOEXISTS:
    case C_EMPTY:
        return "";
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        return tag_text(s, v.val.xmltag.tag);
    case C_SYMBOL:
        return std::to_string(v.val.symbol);
    case C_STR:
        return std::string(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.ptr ? v.val.buf.size : 0);
    case C_BUF:
        return base64(v.val.buf.ptr, v.val.buf.ptr ? v.val.buf.size : 0);
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
    case C_DOUBLE: {
        char buf[64];
        auto [p, ec] = std::to_chars(buf, buf + sizeof(buf), v.val.d);
        return ec == std::errc() ? std::string(buf, p) : std::string("nan");
    }
    case C_IPV4:
        return inet_ntop(AF_INET, &v.val.ip, ip, sizeof(ip)) != nullptr ? ip : "";
    case C_IPV6:
        return inet_ntop(AF_INET6, &v.val.ip6, ip, sizeof(ip)) != nullptr ? ip : "";
    case C_BOOL:
        return v.val.boolean ? "true" : "false";
    case C_DATETIME:
        return datetime_text(v.val.datetime);
    case C_ENUM_VALUE:
        return std::to_string(v.val.enumvalue);
    case C_BIT32:
        return format("0x%x", v.val.b32);
    case C_BIT64:
        return format("0x%llx", static_cast<unsigned long long>(v.val.b64));
    case C_LIST: {
        std::string out;
        for (unsigned i = 0; v.val.list.ptr != nullptr && i < v.val.list.size; i++) {
            out += i == 0 ? "" : " ";
            out += value_text(s, type, v.val.list.ptr[i]);
        }
        return out;
    }
    }
    return "";
}

}  // namespace confd_impl

extern "C" {

int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v)
{
    if (v == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no value");
    }
    schema_ptr s = v->type >= C_XMLTAG && v->type <= C_XMLBEGINDEL ? schema_now() : nullptr;
    return put_text(buf, bufsiz, value_text(s.get(), nullptr, *v));
}

int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf, int bufsiz)
{
    if (val == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no value");
    }
    schema_ptr s = schema_now();
    return put_text(buf, bufsiz, value_text(s.get(), type, *val));
}

int confd_str2val(struct confd_type *type, const char *str, confd_value_t *v)
{
    if (type == nullptr || str == nullptr || v == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no type, text or value");
    }
    std::string_view t(str);
    confd_value_t out{};
    out.type = type->vtype;
    bool ok = true;
    switch (type->vtype) {
    case C_ENUM_VALUE:
        ok = false;
        for (const auto &[label, value] : type->labels) {
            if (label == t) {
                out.val.enumvalue = static_cast<int32_t>(value);
                ok = true;
                break;
            }
        }
        break;
    case C_BIT32:
    case C_BIT64: {
        uint64_t bits = 0;
        size_t i = 0;
        while (ok && i < t.size()) {
            size_t j = t.find(' ', i);
            std::string_view name = t.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i);
            i = j == std::string_view::npos ? t.size() : j + 1;
            if (name.empty()) {
                continue;
            }
            ok = false;
            for (const auto &[label, pos] : type->labels) {
                int limit = type->vtype == C_BIT32 ? 32 : 64;
                if (label == name && pos >= 0 && pos < limit) {
                    bits |= uint64_t{1} << pos;
                    ok = true;
                }
            }
        }
        if (type->vtype == C_BIT32) {
            out.val.b32 = static_cast<uint32_t>(bits);
        } else {
            out.val.b64 = bits;
        }
        break;
    }
    case C_INT8:
        ok = parse_int(t, out.val.i8);
        break;
    case C_INT16:
        ok = parse_int(t, out.val.i16);
        break;
    case C_INT32:
        ok = parse_int(t, out.val.i32);
        break;
    case C_INT64:
        ok = parse_int(t, out.val.i64);
        break;
    case C_UINT8:
        ok = parse_int(t, out.val.u8);
        break;
    case C_UINT16:
        ok = parse_int(t, out.val.u16);
        break;
    case C_UINT32:
        ok = parse_int(t, out.val.u32);
        break;
    case C_UINT64:
        ok = parse_int(t, out.val.u64);
        break;
    case C_DOUBLE: {
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), out.val.d);
        ok = ec == std::errc() && p == t.data() + t.size() && !t.empty();
        break;
    }
    case C_BOOL:
        ok = t == "true" || t == "false";
        out.val.boolean = t == "true";
        break;
    case C_IPV4:
        ok = inet_pton(AF_INET, str, &out.val.ip) == 1;
        break;
    case C_IPV6:
        ok = inet_pton(AF_INET6, str, &out.val.ip6) == 1;
        break;
    case C_DATETIME:
        ok = parse_datetime(t, out.val.datetime);
        break;
    case C_EMPTY:
        ok = t.empty();
        break;
    case C_STR:
    case C_BUF: {
        std::string bytes;
        if (type->vtype == C_BUF) {
            ok = unbase64(t, bytes);
        } else {
            bytes.assign(t);
        }
        if (ok) {
            auto *p = static_cast<unsigned char *>(malloc(bytes.size() + 1));
            if (p == nullptr) {
                return fail(CONFD_ERR_MALLOC, "out of memory");
            }
            memcpy(p, bytes.data(), bytes.size());
            p[bytes.size()] = 0;
            out.val.buf.ptr = p;
            out.val.buf.size = static_cast<unsigned>(bytes.size());
        }
        break;
    }
    default:
        return failf(CONFD_ERR_BADTYPE, "cannot parse values of type %d", type->vtype);
    }
    if (!ok) {
        return failf(CONFD_ERR_BADTYPE, "\"%s\" is not a valid %s", str,
                     type->name.empty() ? "value" : type->name.c_str());
    }
    *v = out;
    return CONFD_OK;
}

int confd_pp_kpath(char *buf, int n, const confd_hkeypath_t *hkeypath)
{
    return confd_pp_kpath_len(buf, n, hkeypath, hkeypath != nullptr ? hkeypath->len : 0);
}

int confd_pp_kpath_len(char *buf, int n, const confd_hkeypath_t *hkeypath, int len)
{
    if (hkeypath == nullptr || hkeypath->len < 0 || hkeypath->len > MAXDEPTH) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad keypath");
    }
    if (len < 0 || len > hkeypath->len) {
        len = hkeypath->len;
    }
    schema_ptr s = schema_now();
    const confd_cs_node *node = nullptr;  // the schema node of the element printed last
    bool known = s != nullptr;
    std::string out;
    for (int i = hkeypath->len - 1; i >= hkeypath->len - len; i--) {
        const confd_value_t *e = hkeypath->v[i];
        if (e[0].type == C_XMLTAG) {
            uint32_t tag = e[0].val.xmltag.tag;
            node = known ? child_by_tag(*s, node, tag, e[0].val.xmltag.ns) : nullptr;
            known = node != nullptr;
            out += "/";
            out += known ? s->name_of(node) : tag_text(s.get(), tag);
            continue;
        }
        out += "{";
        for (int k = 0; k < MAXKEYLEN && e[k].type != C_NOEXISTS; k++) {
            const confd_type *type = nullptr;
            if (known && (node->info.flags & CS_NODE_KIND_MASK) == CS_NODE_IS_LEAF_LIST) {
                type = node->info.type;  // an entry of a leaf-list is its value
            } else if (known && node->info.keys != nullptr) {
                int nk = 0;
                while (node->info.keys[nk] != 0 && nk < k) {
                    nk++;
                }
                if (nk == k && node->info.keys[nk] != 0) {
                    const confd_cs_node *leaf = child_by_tag(*s, node, node->info.keys[nk], 0);
                    type = leaf != nullptr ? leaf->info.type : nullptr;
                }
            }
            out += k == 0 ? "" : " ";
            out += key_text(value_text(s.get(), type, e[k]));
        }
        out += "}";
    }
    if (out.empty()) {
        out = "/";
    }
    return put_text(buf, n, out);
}

}  // extern "C"
