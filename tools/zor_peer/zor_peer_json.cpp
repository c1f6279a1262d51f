#include "zor_peer_json.h"

#include <cstdio>
#include <cstring>

#include "ost_util.h"
#include "zor_peer_names.h"

namespace {

// Builds one object: fields are appended in call order with their commas.
class obj {
public:
    obj() : text_("{") {}

    obj &num(const char *key, uint64_t v) { return raw(key, std::to_string(v)); }
    obj &str(const char *key, std::string_view v) { return raw(key, zp_json_quote(v)); }
    // A code and its name: "key":code,"key_name":"name".
    obj &code(const char *key, uint64_t v, const char *name)
    {
        num(key, v);
        return raw((std::string(key) + "_name").c_str(), zp_json_quote(name));
    }
    // The first n of items, at most max of them (a count from the wire may
    // be larger than its array).
    template <class T>
    obj &list(const char *key, const T *items, size_t n, size_t max)
    {
        std::string v = "[";
        for (size_t i = 0; i < n && i < max; i++) {
            v += (i == 0 ? "" : ",") + std::to_string(items[i]);
        }
        return raw(key, v + "]");
    }
    // The names of the first n of items (as list() prints them).
    template <class T>
    obj &names(const char *key, const T *items, size_t n, size_t max, const char *(*name_of)(uint32_t))
    {
        std::string v = "[";
        for (size_t i = 0; i < n && i < max; i++) {
            v += (i == 0 ? "" : ",") + zp_json_quote(name_of(items[i]));
        }
        return raw(key, v + "]");
    }
    obj &raw(const char *key, const std::string &json)
    {
        text_ += (first_ ? "" : ",") + zp_json_quote(key) + ":" + json;
        first_ = false;
        return *this;
    }
    std::string done() const { return text_ + "}"; }

private:
    std::string text_;
    bool first_ = true;
};

std::string hex(const uint8_t *bytes, size_t n)
{
    std::string out;
    char buf[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof(buf), "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

bool has(const zor_tloc_attr_t &a, int bit)
{
    return (a.flags & ZOR_TLOC_ATTR_BIT(bit)) != 0;
}

std::string json_keys(const zor_tloc_sec_key_t *keys, size_t n)
{
    std::string v = "[";
    for (size_t i = 0; i < n && i < ZOR_TLOC_SEC_KEY_MAX; i++) {
        v += (i == 0 ? "" : ",") + zp_json_quote(hex(keys[i].key, sizeof(keys[i].key)));
    }
    return v + "]";
}

std::string json_security(const zor_tloc_sec_t &s)
{
    obj o;
    o.num("sa", s.inbound_sa_index).num("spi", s.spi).num("flags", s.flags);
    o.list("proto", s.protos, s.proto_count, ZOR_TLOC_SEC_PROTO_MAX);
    o.names("proto_names", s.protos, s.proto_count, ZOR_TLOC_SEC_PROTO_MAX, ost_sec_proto_str);
    o.list("enc", s.enc_types, s.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX);
    o.names("enc_names", s.enc_types, s.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX, ost_enc_type_str);
    o.num("integrity-count", s.integrity_count);
    o.code("integrity", s.integrity_type, ost_integrity_str(s.integrity_type));
    o.raw("auth-keys", json_keys(s.auth_keys, s.auth_key_count));
    o.raw("enc-keys", json_keys(s.enc_keys, s.enc_key_count));
    return o.done();
}

// The key text of a TLOC index as JSON, null when names do not hold it.
std::string json_tloc_of(const zp_tloc_names *names, uint32_t index)
{
    if (names == nullptr) {
        return "null";
    }
    auto it = names->find(index);
    return it == names->end() ? "null" : zp_json_quote(it->second);
}

std::string json_paths(const zor_msg_tloc_t &t, const zp_tloc_names *names)
{
    std::string v = "[";
    size_t n = t.path_count <= ZOR_TLOC_PATH_MAX ? t.path_count : ZOR_TLOC_PATH_MAX;
    for (size_t i = 0; i < n; i++) {
        const zor_tloc_path_t &p = t.paths[i];
        obj o;
        o.num("local", p.local_index).raw("local_tloc", json_tloc_of(names, p.local_index));
        o.num("border", p.border_index).raw("border_tloc", json_tloc_of(names, p.border_index));
        o.num("mtu", p.mtu);
        o.list("labels", p.labels, p.label_count, ZOR_TLOC_PATH_LABEL_MAX);
        v += (i == 0 ? "" : ",") + o.done();
    }
    return v + "]";
}

void tloc_fields(obj &o, const zor_msg_tloc_t &t, const zp_tloc_names *names)
{
    o.str("tloc", zp_tloc_str(t.key));
    o.code("origin", t.origin, zor_msg_tloc_origin_str(t.origin));
    o.code("status", t.status, zor_msg_tloc_status_str(t.status));
    o.num("inactive", t.inactive).num("index", t.index);
    o.num("lr_enabled", t.lr_enabled).num("lr_hold_time", t.lr_hold_time);
    o.raw("paths", json_paths(t, names));
    o.raw("attr", zp_json_attr(t.attr));
    o.num("bandwidth", t.attr.bandwidth);
    char qos[ZOR_TLOC_QOS_NAME_LEN + 1] = {};
    memcpy(qos, t.qos_group, ZOR_TLOC_QOS_NAME_LEN);
    o.str("qos", qos);
}

std::string text_field(const char *field, size_t len)
{
    return std::string(field, strnlen(field, len));
}

// The length of the valid UTF-8 sequence at text[i] (1-4), or 0 when the
// bytes there are not one: a stray continuation byte, a lead byte without
// its continuations, an overlong form, a surrogate or a code point above
// U+10FFFF.
size_t utf8_length(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    size_t n = 0;
    unsigned char lo = 0x80;  // the allowed range of the second byte
    unsigned char hi = 0xbf;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        lo = c == 0xe0 ? 0xa0 : 0x80;  // overlong below U+0800
        hi = c == 0xed ? 0x9f : 0xbf;  // surrogates U+D800-U+DFFF
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        lo = c == 0xf0 ? 0x90 : 0x80;  // overlong below U+10000
        hi = c == 0xf4 ? 0x8f : 0xbf;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < lo || byte(i + 1) > hi) {
        return 0;
    }
    for (size_t k = 2; k < n; k++) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return n;
}

}  // namespace

std::string zp_json_quote(std::string_view text)
{
    std::string out = "\"";
    char buf[8];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t n = utf8_length(text, i);
            if (n == 0) {
                snprintf(buf, sizeof(buf), "\\udc%02x", c);
                out += buf;
                i++;
            } else {
                out.append(text.substr(i, n));
                i += n;
            }
            continue;
        }
        i++;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string zp_json_with_time(const std::string &object, const struct timespec &when)
{
    struct tm tm_utc;
    gmtime_r(&when.tv_sec, &tm_utc);
    char stamp[64];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &tm_utc);
    snprintf(stamp + n, sizeof(stamp) - n, ".%06ldZ", static_cast<long>(when.tv_nsec / 1000));
    std::string rest = object.size() > 2 ? "," + object.substr(1) : object.substr(1);
    return "{\"time\":\"" + std::string(stamp) + "\"" + rest;
}

const char *zp_status_str(uint32_t status)
{
    return status == 1 ? "up" : status == 2 ? "down" : "unknown";
}

const char *zp_up_down_str(uint32_t state)
{
    return state == 1 ? "up" : state == 0 ? "down" : "unknown";
}

const char *zp_device_state_str(uint32_t state)
{
    return state == 1 ? "active" : state == 2 ? "inactive" : "unknown";
}

std::string zp_json_attr(const zor_tloc_attr_t &a)
{
    obj o;
    auto num = [&](int bit, const char *key, uint64_t v) {
        if (has(a, bit)) {
            o.num(key, v);
        }
    };
    num(ZOR_TLOC_ATTR_PREF, "pref", a.preference);
    num(ZOR_TLOC_ATTR_WEIGHT, "weight", a.weight);
    num(ZOR_TLOC_ATTR_SITE_ID, "site", a.site_id);
    num(ZOR_TLOC_ATTR_REGION_ID, "region", a.region_id);
    num(ZOR_TLOC_ATTR_VERSION, "version", a.version);
    num(ZOR_TLOC_ATTR_GEN_ID, "gen-id", a.gen_id);
    num(ZOR_TLOC_ATTR_CARRIER, "carrier", a.carrier);
    num(ZOR_TLOC_ATTR_STALE, "stale", a.stale);
    num(ZOR_TLOC_ATTR_RESTRICT, "restrict", a.restricted);
    num(ZOR_TLOC_ATTR_ON_DEMAND, "on-demand", a.on_demand);
    num(ZOR_TLOC_ATTR_BORDER, "border", a.border);
    if (has(a, ZOR_TLOC_ATTR_GROUP)) {
        o.list("groups", a.groups, a.group_count, ZOR_TLOC_GROUP_MAX);
    }
    if (has(a, ZOR_TLOC_ATTR_ENCAP)) {
        if (a.encap == ZOR_TUNNEL_ENCAP_GRE) {
            o.str("encap", "gre").num("key", a.encap_key);
        } else if (a.encap == ZOR_TUNNEL_ENCAP_IPSEC) {
            o.str("encap", "ipsec").num("spi", a.spi).num("integrity", a.integrity);
            o.code("cipher", a.cipher, ost_cipher_str(a.cipher));
        } else {
            // A form the tool does not name: every field, so nothing is hidden.
            o.num("encap", a.encap).num("key", a.encap_key).num("spi", a.spi).num("integrity", a.integrity);
            o.num("cipher", a.cipher);
        }
    }
    if (has(a, ZOR_TLOC_ATTR_SECURITY)) {
        o.raw("security", json_security(a.sec));
    }
    num(ZOR_TLOC_ATTR_INSTALLED, "installed", a.installed);
    num(ZOR_TLOC_ATTR_CAPABILITY, "capability", a.capability);
    num(ZOR_TLOC_ATTR_BANDWIDTH, "bandwidth", a.bandwidth);
    auto addr = [&](int bit, const char *key, const ip_addr_port_t &ap) {
        if (has(a, bit)) {
            o.str(key, zp_addr_port_str(ap));
        }
    };
    addr(ZOR_TLOC_ATTR_TLOCV4_PUB, "public", a.tloc_v4_public);
    addr(ZOR_TLOC_ATTR_TLOCV4_PRI, "private", a.tloc_v4_private);
    addr(ZOR_TLOC_ATTR_TLOCV6_PUB, "public6", a.tloc_v6_public);
    addr(ZOR_TLOC_ATTR_TLOCV6_PRI, "private6", a.tloc_v6_private);
    return o.done();
}

std::string zp_json_msg(const zor_msg_t &m, const zp_tloc_names *names)
{
    obj o;
    o.str("type", zp_msg_type_name(m.type)).num("type_id", m.type).str("family", zp_af_str(m.family));
    o.code("sender", m.sender, m.sender < OST_MODULE_MAX ? ost_module_str(m.sender) : "unknown");
    const zor_msg_body_t &b = m.body;
    switch (m.type) {
    case ZOR_MSG_REGISTER:
        o.num("announce", b.reg.announce).num("originate", b.reg.originate);
        break;
    case ZOR_MSG_TLOC_BFD_STATUS:
        o.str("tloc", zp_tloc_str(b.bfd.key)).code("status", b.bfd.status, zor_msg_bfd_state_str(b.bfd.status));
        break;
    case ZOR_MSG_LINK_STATUS: {
        const zor_msg_link_status_t &l = b.link_status;
        o.str("local", zp_tloc_str(l.local)).str("remote", zp_tloc_str(l.remote));
        o.code("status", l.bfd_status, zor_msg_bfd_state_str(l.bfd_status));
        o.num("mtu", l.mtu).num("loss", l.loss).num("latency", l.latency).num("jitter", l.jitter);
        o.num("tun_rec", l.tun_rec_index);
        break;
    }
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL:
        tloc_fields(o, b.tloc, names);
        break;
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_LINK_DEL: {
        const zor_msg_link_t &l = b.link;
        o.str("local", zp_tloc_str(l.local)).str("remote", zp_tloc_str(l.remote));
        o.num("local_index", l.local_index).num("remote_index", l.remote_index);
        o.code("origin", l.origin, zor_msg_tloc_origin_str(l.origin)).code("status", l.status, zp_status_str(l.status));
        o.num("mtu", l.mtu).num("label", l.label).num("preference", l.preference);
        o.num("stale", l.stale).num("loss", l.loss).num("latency", l.latency).num("jitter", l.jitter);
        o.num("tun_rec", l.tun_rec_index);
        break;
    }
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_CTRL_DEVICE_DEL: {
        const zor_msg_ctrl_device_t &c = b.ctrl_device;
        o.str("ip", zp_ip_str(c.addr)).code("device_type", c.type, ost_personality_str(c.type));
        o.code("state", c.state, zp_up_down_str(c.state)).num("staging", c.staging);
        o.list("regions", c.region_ids, c.region_count, ZOR_MSG_CTRL_DEVICE_REGION_MAX);
        break;
    }
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_DEL:
        o.str("ip", zp_ip_str(b.data_device.addr));
        o.code("status", b.data_device.status, zp_status_str(b.data_device.status));
        break;
    case ZOR_MSG_DATA_DEVICE_STATE:
        o.str("ip", zp_ip_str(b.data_device_state.addr));
        o.code("state", b.data_device_state.state, zp_device_state_str(b.data_device_state.state));
        break;
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_VPN_SEC_DEL:
        o.num("vpn", b.vpn_sec.vpn_id).str("ip", zp_ip_str(b.vpn_sec.remote));
        o.code("origin", b.vpn_sec.origin, zor_msg_origin_str(b.vpn_sec.origin));
        o.raw("attr", zp_json_attr(b.vpn_sec.attr));
        break;
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_PEER_SEC_DEL:
        o.num("vpn", b.peer_sec.vpn_id).str("origin_ip", zp_ip_str(b.peer_sec.origin_ip));
        o.str("dest_ip", zp_ip_str(b.peer_sec.dest_ip));
        o.code("origin", b.peer_sec.origin, zor_msg_origin_str(b.peer_sec.origin));
        o.raw("attr", zp_json_attr(b.peer_sec.attr));
        break;
    case ZOR_MSG_TRACKER_ADD:
    case ZOR_MSG_TRACKER_DEL:
    case ZOR_MSG_TRACKER_STATUS: {
        const zor_msg_tracker_t &t = b.tracker;
        o.str("name", text_field(t.name, sizeof(t.name)));
        o.str("attach", text_field(t.attach_point, sizeof(t.attach_point)));
        o.num("vpn", t.vpn_id).code("status", t.status, zp_up_down_str(t.status));
        o.num("word1", t.opaque1).num("word2", t.opaque2);
        // The opaque block without its trailing zero bytes ("" when all zero).
        size_t n = sizeof(t.opaque);
        while (n > 0 && t.opaque[n - 1] == 0) {
            n--;
        }
        o.str("opaque", hex(t.opaque, n));
        break;
    }
    default:
        break;
    }
    return o.done();
}
