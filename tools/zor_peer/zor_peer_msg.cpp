#include "zor_peer_msg.h"

#include <cstring>
#include <limits>
#include <strings.h>
#include <type_traits>

#include "ost_util.h"
#include "zor_peer_names.h"

uint8_t zp_sec_key_byte(int kind, int index, int byte)
{
    // 0x40-0xaf: never zero, and different for every key of a block.
    return static_cast<uint8_t>(0x40 + 0x20 * kind + 0x10 * index + (byte & 0x3f));
}

namespace {

using name_code = zp_name_code;
using reader = zp_reader;

constexpr name_code k_origins[] = {{"local", ZOR_MSG_ORIGIN_LOCAL}, {"remote", ZOR_MSG_ORIGIN_REMOTE}};
constexpr name_code k_bfd_states[] = {{"down", 0}, {"up", 1}, {"no-path", 2}};
constexpr name_code k_up_down[] = {{"down", 0}, {"up", 1}};
constexpr name_code k_device_status[] = {{"up", 1}, {"down", 2}};
constexpr name_code k_device_states[] = {{"active", 1}, {"inactive", 2}};

#define ZP_TRY(expr)      \
    do {                  \
        if ((expr) < 0) { \
            return false; \
        }                 \
    } while (0)

void set_bit(zor_tloc_attr_t *attr, int bit)
{
    attr->flags |= ZOR_TLOC_ATTR_BIT(bit);
}

// A number key of the attribute block: read into its field and set its bit.
template <class T>
int attr_field(reader &r, zor_tloc_attr_t *attr, const char *key, int bit, T *out)
{
    int res = r.field(key, out);
    if (res == 1) {
        set_bit(attr, bit);
    }
    return res;
}

// security=spi:N,flags:N,sa:N,proto:A+B,enc:A+B,integrity:N,auth-keys:N,enc-keys:N
bool parse_security(reader &r, const std::string &value, zor_tloc_sec_t *sec)
{
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(',', start);
        std::string item = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? value.size() : end + 1;
        size_t colon = item.find(':');
        if (colon == std::string::npos) {
            return r.fail("security part '" + item + "' is not NAME:VALUE");
        }
        std::string name = item.substr(0, colon);
        std::string v = item.substr(colon + 1);
        uint64_t n = 0;
        auto num = [&](uint64_t max) {
            if (!zp_number_from_str(v, max, &n)) {
                return r.fail("security '" + name + "' needs a number 0-" + std::to_string(max) + ", not '" + v +
                              "'");
            }
            return true;
        };
        // A number into a field of its own width.
        auto field = [&](auto *out) {
            using T = std::remove_pointer_t<decltype(out)>;
            if (!num(std::numeric_limits<T>::max())) {
                return false;
            }
            *out = static_cast<T>(n);
            return true;
        };
        bool ok = true;
        if (name == "spi") {
            ok = field(&sec->spi);
        } else if (name == "flags") {
            ok = field(&sec->flags);
        } else if (name == "sa") {
            ok = field(&sec->inbound_sa_index);
        } else if (name == "integrity") {
            ok = field(&sec->integrity_type);
            sec->integrity_count = 1;
        } else if (name == "proto") {
            ok = r.split_numbers("security proto", v, '+', UINT32_MAX, ZOR_TLOC_SEC_PROTO_MAX, &sec->proto_count,
                                 sec->protos);
        } else if (name == "enc") {
            ok = r.split_numbers("security enc", v, '+', UINT32_MAX, ZOR_TLOC_SEC_ENC_TYPE_MAX, &sec->enc_type_count,
                                 sec->enc_types);
        } else if (name == "auth-keys" || name == "enc-keys") {
            ok = num(ZOR_TLOC_SEC_KEY_MAX);
            int kind = name == "auth-keys" ? 0 : 1;
            zor_tloc_sec_key_t *keys = kind == 0 ? sec->auth_keys : sec->enc_keys;
            (kind == 0 ? sec->auth_key_count : sec->enc_key_count) = static_cast<uint8_t>(n);
            for (uint64_t k = 0; ok && k < n; k++) {
                keys[k].type = 1;
                for (int b = 0; b < ZOR_TLOC_SEC_KEY_LEN; b++) {
                    keys[k].key[b] = zp_sec_key_byte(kind, static_cast<int>(k), b);
                }
            }
        } else {
            ok = r.fail("unknown security part '" + name +
                        "' (spi, flags, sa, proto, enc, integrity, auth-keys, enc-keys)");
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

int addr_port(reader &r, const char *key, zor_tloc_attr_t *attr, bool is_public)
{
    const std::string *s = r.args().get(key);
    if (s == nullptr) {
        return 0;
    }
    ip_addr_port_t ap;
    if (!zp_addr_port_from_str(*s, &ap)) {
        *r.err() = "'" + std::string(key) + "' needs ADDRESS:PORT or [IPV6]:PORT, not '" + *s + "'";
        return -1;
    }
    bool v6 = ap.addr.family == IP_AF_INET6;
    if (is_public) {
        (v6 ? attr->tloc_v6_public : attr->tloc_v4_public) = ap;
        set_bit(attr, v6 ? ZOR_TLOC_ATTR_TLOCV6_PUB : ZOR_TLOC_ATTR_TLOCV4_PUB);
    } else {
        (v6 ? attr->tloc_v6_private : attr->tloc_v4_private) = ap;
        set_bit(attr, v6 ? ZOR_TLOC_ATTR_TLOCV6_PRI : ZOR_TLOC_ATTR_TLOCV4_PRI);
    }
    return 1;
}

// The attribute keys shared by TLOC and security announcements.
bool parse_attr(reader &r, zor_tloc_attr_t *attr)
{
    ZP_TRY(attr_field(r, attr, "pref", ZOR_TLOC_ATTR_PREF, &attr->preference));
    ZP_TRY(attr_field(r, attr, "weight", ZOR_TLOC_ATTR_WEIGHT, &attr->weight));
    ZP_TRY(attr_field(r, attr, "site", ZOR_TLOC_ATTR_SITE_ID, &attr->site_id));
    ZP_TRY(attr_field(r, attr, "region", ZOR_TLOC_ATTR_REGION_ID, &attr->region_id));
    ZP_TRY(attr_field(r, attr, "version", ZOR_TLOC_ATTR_VERSION, &attr->version));
    ZP_TRY(attr_field(r, attr, "gen-id", ZOR_TLOC_ATTR_GEN_ID, &attr->gen_id));
    ZP_TRY(attr_field(r, attr, "carrier", ZOR_TLOC_ATTR_CARRIER, &attr->carrier));
    ZP_TRY(attr_field(r, attr, "stale", ZOR_TLOC_ATTR_STALE, &attr->stale));
    ZP_TRY(attr_field(r, attr, "restrict", ZOR_TLOC_ATTR_RESTRICT, &attr->restricted));
    ZP_TRY(attr_field(r, attr, "on-demand", ZOR_TLOC_ATTR_ON_DEMAND, &attr->on_demand));
    ZP_TRY(attr_field(r, attr, "border", ZOR_TLOC_ATTR_BORDER, &attr->border));
    ZP_TRY(attr_field(r, attr, "installed", ZOR_TLOC_ATTR_INSTALLED, &attr->installed));
    ZP_TRY(attr_field(r, attr, "capability", ZOR_TLOC_ATTR_CAPABILITY, &attr->capability));
    ZP_TRY(attr_field(r, attr, "bandwidth", ZOR_TLOC_ATTR_BANDWIDTH, &attr->bandwidth));
    ZP_TRY(addr_port(r, "public", attr, true));
    ZP_TRY(addr_port(r, "private", attr, false));

    int res = r.list("groups", ',', UINT32_MAX, ZOR_TLOC_GROUP_MAX, &attr->group_count, attr->groups);
    ZP_TRY(res);
    if (res == 1) {
        set_bit(attr, ZOR_TLOC_ATTR_GROUP);
    }

    constexpr name_code k_encaps[] = {{"gre", ZOR_TUNNEL_ENCAP_GRE}, {"ipsec", ZOR_TUNNEL_ENCAP_IPSEC}};
    res = r.named_field("encap", k_encaps, &attr->encap);
    ZP_TRY(res);
    bool has_encap = res == 1;
    if (has_encap) {
        set_bit(attr, ZOR_TLOC_ATTR_ENCAP);
    }
    for (const char *key : {"key", "spi", "integrity", "cipher"}) {
        if (r.args().has(key) && !has_encap) {
            return r.fail("'" + std::string(key) + "' belongs to the encapsulation: give encap=gre or encap=ipsec");
        }
        // A field of the other named form would be sent but never printed.
        bool keyed = strcmp(key, "key") == 0;
        if (r.args().has(key) && (attr->encap == (keyed ? ZOR_TUNNEL_ENCAP_IPSEC : ZOR_TUNNEL_ENCAP_GRE))) {
            return r.fail("'" + std::string(key) + "' belongs to encap=" + (keyed ? "gre" : "ipsec") +
                          ", not encap=" + (keyed ? "ipsec" : "gre"));
        }
    }
    ZP_TRY(r.field("key", &attr->encap_key));
    ZP_TRY(r.field("spi", &attr->spi));
    ZP_TRY(r.field("integrity", &attr->integrity));
    ZP_TRY(r.field("cipher", &attr->cipher));

    if (const std::string *sec = r.args().get("security")) {
        if (!parse_security(r, *sec, &attr->sec)) {
            return false;
        }
        set_bit(attr, ZOR_TLOC_ATTR_SECURITY);
    }
    return true;
}

bool one_tloc(reader &r, zor_tloc_key_t *key)
{
    return zp_tloc_from_str(r.args().pos[0], key, r.err());
}

bool one_ip(reader &r, size_t index, ip_addr_t *addr)
{
    if (!zp_ip_from_str(r.args().pos[index], addr)) {
        return r.fail("'" + r.args().pos[index] + "' is not an IPv4 or IPv6 address");
    }
    return true;
}

// A key the line must have, as a reader returned it.
bool need(reader &r, int res, const std::string &why_absent)
{
    if (res == 0) {
        return r.fail(why_absent);
    }
    return res == 1;
}

bool need(reader &r, const char *cmd, int res, const char *key)
{
    return need(r, res, std::string(cmd) + " needs " + key + "=");
}

// ---------------------------------------------------------------- builders

bool build_unregister(reader &r, zor_msg_t *m)
{
    if (!zp_af_from_str(r.args().pos[0], &m->family)) {
        return r.fail("unknown family '" + r.args().pos[0] + "' (a family name such as TLOC-IPV4, or a number)");
    }
    return true;
}

bool build_register(reader &r, zor_msg_t *m)
{
    if (!build_unregister(r, m)) {
        return false;
    }
    m->body.reg.announce = 1;
    ZP_TRY(r.flag("announce", &m->body.reg.announce));
    ZP_TRY(r.flag("originate", &m->body.reg.originate));
    return true;
}

bool build_tloc_del(reader &r, zor_msg_t *m)
{
    zor_msg_tloc_t &t = m->body.tloc;
    if (!one_tloc(r, &t.key)) {
        return false;
    }
    m->family = zp_af_tloc_for(t.key.addr);
    t.origin = ZOR_MSG_ORIGIN_REMOTE;
    ZP_TRY(r.named_field("origin", k_origins, &t.origin));
    return true;
}

bool build_tloc_add(reader &r, zor_msg_t *m)
{
    zor_msg_tloc_t &t = m->body.tloc;
    if (!build_tloc_del(r, m)) {
        return false;
    }
    ZP_TRY(r.flag("lr", &t.lr_enabled));
    ZP_TRY(r.field("lr-hold", &t.lr_hold_time));
    int res = r.text("qos", t.qos_group, ZOR_TLOC_QOS_NAME_LEN - 1);
    ZP_TRY(res);
    if (res == 1) {
        set_bit(&t.attr, ZOR_TLOC_ATTR_QOS_GROUP);
    }
    if (!parse_attr(r, &t.attr)) {
        return false;
    }
    // zord drops every TLOC add whose carrier is outside 1-9, whatever the
    // presence bits say; a script that does not care gets a carrier that
    // passes (the value only: the CARRIER bit stays as the script left it).
    if ((t.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_CARRIER)) == 0) {
        t.attr.carrier = 1;
    }
    return true;
}

bool build_bfd(reader &r, zor_msg_t *m)
{
    if (!one_tloc(r, &m->body.bfd.key)) {
        return false;
    }
    m->family = zp_af_tloc_for(m->body.bfd.key.addr);
    return need(r, r.named_field("state", k_bfd_states, &m->body.bfd.status), "bfd needs state=up|down|no-path|N");
}

bool build_data_device_state(reader &r, zor_msg_t *m)
{
    zor_msg_data_device_state_t &d = m->body.data_device_state;
    if (!one_ip(r, 0, &d.addr)) {
        return false;
    }
    m->family = zp_af_data_device_for(d.addr);
    return need(r, r.named_field("state", k_device_states, &d.state),
                "data-device-state needs state=active|inactive|N");
}

bool build_data_device(reader &r, zor_msg_t *m)
{
    if (!one_ip(r, 0, &m->body.data_device.addr)) {
        return false;
    }
    m->family = zp_af_data_device_for(m->body.data_device.addr);
    m->body.data_device.status = 1;
    ZP_TRY(r.named_field("status", k_device_status, &m->body.data_device.status));
    return true;
}

bool two_tlocs(reader &r, zor_tloc_key_t *local, zor_tloc_key_t *remote)
{
    return zp_tloc_from_str(r.args().pos[0], local, r.err()) && zp_tloc_from_str(r.args().pos[1], remote, r.err());
}

// The keys that link adds and link status reports share.
template <class L>
bool link_common(reader &r, zor_msg_t *m, L *l, uint32_t *status)
{
    if (!two_tlocs(r, &l->local, &l->remote)) {
        return false;
    }
    m->family = 8;
    *status = 1;
    ZP_TRY(r.named_field("bfd", k_bfd_states, status));
    ZP_TRY(r.field("mtu", &l->mtu));
    ZP_TRY(r.field("tun-rec", &l->tun_rec_index));
    ZP_TRY(r.field("loss", &l->loss));
    ZP_TRY(r.field("latency", &l->latency));
    ZP_TRY(r.field("jitter", &l->jitter));
    return true;
}

bool build_link(reader &r, zor_msg_t *m)
{
    zor_msg_link_t &l = m->body.link;
    if (!link_common(r, m, &l, &l.status)) {
        return false;
    }
    l.origin = ZOR_MSG_ORIGIN_REMOTE;
    ZP_TRY(r.named_field("origin", k_origins, &l.origin));
    ZP_TRY(r.field("label", &l.label));
    ZP_TRY(r.field("pref", &l.preference));
    ZP_TRY(r.field("stale", &l.stale));
    ZP_TRY(r.field("local-index", &l.local_index));
    ZP_TRY(r.field("remote-index", &l.remote_index));
    return true;
}

bool build_link_status(reader &r, zor_msg_t *m)
{
    return link_common(r, m, &m->body.link_status, &m->body.link_status.bfd_status);
}

bool build_ctrl_device(reader &r, zor_msg_t *m)
{
    zor_msg_ctrl_device_t &c = m->body.ctrl_device;
    if (!one_ip(r, 0, &c.addr)) {
        return false;
    }
    m->family = zp_af_ctrl_device_for(c.addr);
    c.state = 1;
    if (const std::string *type = r.args().get("type")) {
        bool found = false;
        for (uint32_t p = 1; p <= 6 && !found; p++) {
            if (strcasecmp(type->c_str(), ost_personality_str(p)) == 0) {
                c.type = p;
                found = true;
            }
        }
        uint64_t n = 0;
        if (!found && !zp_number_from_str(*type, UINT32_MAX, &n)) {
            return r.fail("'type' needs a personality (Brink, Nexa, Solon, Tether, Steward, ZTP) or a number, not '" +
                          *type + "'");
        }
        if (!found) {
            c.type = static_cast<uint32_t>(n);
        }
    }
    ZP_TRY(r.named_field("state", k_up_down, &c.state));
    ZP_TRY(r.field("staging", &c.staging));
    ZP_TRY(r.list("regions", ',', UINT16_MAX, ZOR_MSG_CTRL_DEVICE_REGION_MAX, &c.region_count, c.region_ids));
    return true;
}

bool build_vpn_sec(reader &r, zor_msg_t *m, bool add)
{
    zor_msg_vpn_sec_t &v = m->body.vpn_sec;
    const char *cmd = add ? "vpn-sec-add" : "vpn-sec-del";
    m->family = 6;
    if (!need(r, cmd, r.field("vpn", &v.vpn_id), "vpn") || !need(r, cmd, r.ip("ip", &v.remote), "ip")) {
        return false;
    }
    v.origin = ZOR_MSG_ORIGIN_REMOTE;
    ZP_TRY(r.named_field("origin", k_origins, &v.origin));
    return !add || parse_attr(r, &v.attr);
}

bool build_peer_sec(reader &r, zor_msg_t *m, bool add)
{
    zor_msg_peer_sec_t &p = m->body.peer_sec;
    const char *cmd = add ? "peer-sec-add" : "peer-sec-del";
    m->family = 7;
    if (!need(r, cmd, r.field("vpn", &p.vpn_id), "vpn") || !need(r, cmd, r.ip("origin-ip", &p.origin_ip), "origin-ip") ||
        !need(r, cmd, r.ip("dest-ip", &p.dest_ip), "dest-ip")) {
        return false;
    }
    p.origin = ZOR_MSG_ORIGIN_REMOTE;
    ZP_TRY(r.named_field("origin", k_origins, &p.origin));
    return !add || parse_attr(r, &p.attr);
}

// Tracker names and attach points: the field holds 326 bytes with the
// terminator; zord keeps at most 324 characters, and scripts may send one
// more to see the cut.
constexpr size_t k_tracker_text_max = ZOR_MSG_TRACKER_NAME_LEN - 1;

bool build_tracker(reader &r, zor_msg_t *m, const char *cmd, bool status_required)
{
    zor_msg_tracker_t &t = m->body.tracker;
    m->family = 9;
    if (!need(r, cmd, r.text("name", t.name, k_tracker_text_max), "name") ||
        !need(r, cmd, r.text("attach", t.attach_point, k_tracker_text_max), "attach") ||
        !need(r, cmd, r.field("vpn", &t.vpn_id), "vpn")) {
        return false;
    }
    t.status = 1;
    int res = r.named_field("status", k_up_down, &t.status);
    if (status_required ? !need(r, res, std::string(cmd) + " needs status=up|down|N") : res < 0) {
        return false;
    }
    ZP_TRY(r.field("word1", &t.opaque1));
    ZP_TRY(r.field("word2", &t.opaque2));
    ZP_TRY(r.hex("opaque", t.opaque, sizeof(t.opaque)));
    return true;
}

struct cmd_spec {
    const char *name;
    uint32_t type;
    size_t npos;
    const char *usage;
    bool (*build)(reader &, zor_msg_t *);
};

const cmd_spec k_cmds[] = {
    {"register", ZOR_MSG_REGISTER, 1, "register FAMILY [announce=0|1] [originate=0|1]", build_register},
    {"unregister", ZOR_MSG_UNREGISTER, 1, "unregister FAMILY", build_unregister},
    {"tloc-add", ZOR_MSG_TLOC_ADD, 1, "tloc-add TLOC [key=value...]", build_tloc_add},
    {"tloc-del", ZOR_MSG_TLOC_DEL, 1, "tloc-del TLOC [origin=...]", build_tloc_del},
    {"bfd", ZOR_MSG_TLOC_BFD_STATUS, 1, "bfd TLOC state=N", build_bfd},
    {"data-device-state", ZOR_MSG_DATA_DEVICE_STATE, 1, "data-device-state IP state=N [family=...]",
     build_data_device_state},
    {"data-device-add", ZOR_MSG_DATA_DEVICE_ADD, 1, "data-device-add IP [status=up|down|N]", build_data_device},
    {"data-device-del", ZOR_MSG_DATA_DEVICE_DEL, 1, "data-device-del IP", build_data_device},
    {"link-add", ZOR_MSG_LINK_ADD, 2, "link-add LOCAL-TLOC REMOTE-TLOC [key=value...]", build_link},
    {"link-del", ZOR_MSG_LINK_DEL, 2, "link-del LOCAL-TLOC REMOTE-TLOC [key=value...]", build_link},
    {"link-status", ZOR_MSG_LINK_STATUS, 2, "link-status LOCAL-TLOC REMOTE-TLOC [key=value...]", build_link_status},
    {"ctrl-device-add", ZOR_MSG_CTRL_DEVICE_ADD, 1, "ctrl-device-add IP [type=] [state=] [staging=] [regions=a,b]",
     build_ctrl_device},
    {"ctrl-device-del", ZOR_MSG_CTRL_DEVICE_DEL, 1, "ctrl-device-del IP", build_ctrl_device},
    {"vpn-sec-add", ZOR_MSG_VPN_SEC_ADD, 0, "vpn-sec-add vpn= ip= [origin=] [attribute keys]",
     [](reader &r, zor_msg_t *m) { return build_vpn_sec(r, m, true); }},
    {"vpn-sec-del", ZOR_MSG_VPN_SEC_DEL, 0, "vpn-sec-del vpn= ip=",
     [](reader &r, zor_msg_t *m) { return build_vpn_sec(r, m, false); }},
    {"peer-sec-add", ZOR_MSG_PEER_SEC_ADD, 0, "peer-sec-add vpn= origin-ip= dest-ip= [origin=] [attribute keys]",
     [](reader &r, zor_msg_t *m) { return build_peer_sec(r, m, true); }},
    {"peer-sec-del", ZOR_MSG_PEER_SEC_DEL, 0, "peer-sec-del vpn= origin-ip= dest-ip=",
     [](reader &r, zor_msg_t *m) { return build_peer_sec(r, m, false); }},
    {"tracker-add", ZOR_MSG_TRACKER_ADD, 0, "tracker-add name= attach= vpn= [status=] [word1=] [word2=] [opaque=HEX]",
     [](reader &r, zor_msg_t *m) { return build_tracker(r, m, "tracker-add", false); }},
    {"tracker-del", ZOR_MSG_TRACKER_DEL, 0, "tracker-del name= attach= vpn=",
     [](reader &r, zor_msg_t *m) { return build_tracker(r, m, "tracker-del", false); }},
    {"tracker-status", ZOR_MSG_TRACKER_STATUS, 0, "tracker-status name= attach= vpn= status=",
     [](reader &r, zor_msg_t *m) { return build_tracker(r, m, "tracker-status", true); }},
};

}  // namespace

const std::vector<std::string> &zp_msg_commands()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const cmd_spec &c : k_cmds) {
            v.push_back(c.name);
        }
        return v;
    }();
    return names;
}

bool zp_msg_build(const std::string &cmd, zp_args &args, uint32_t sender, zor_msg_t *msg, bool *is_message,
                  std::string *err)
{
    memset(msg, 0, sizeof(*msg));
    *is_message = false;
    const cmd_spec *spec = nullptr;
    for (const cmd_spec &c : k_cmds) {
        if (cmd == c.name) {
            spec = &c;
        }
    }
    if (spec == nullptr) {
        return false;
    }
    *is_message = true;
    if (args.pos.size() != spec->npos) {
        *err = "expected " + std::to_string(spec->npos) + " word" + (spec->npos == 1 ? "" : "s") +
               " before the keys, got " + std::to_string(args.pos.size()) + " (usage: " + spec->usage + ")";
        return false;
    }
    msg->type = spec->type;
    msg->sender = sender;
    reader r(args, err);
    if (!spec->build(r, msg)) {
        return false;
    }
    if (const std::string *family = args.get("family")) {
        if (!zp_af_from_str(*family, &msg->family)) {
            *err = "unknown family '" + *family + "'";
            return false;
        }
    }
    if (const std::string *s = args.get("sender")) {
        if (!zp_module_from_str(*s, &msg->sender)) {
            *err = "'sender' needs a module name or an id 1-228, not '" + *s + "'";
            return false;
        }
    }
    std::string left = args.unused();
    if (!left.empty()) {
        *err = "unknown key '" + left + "' for " + cmd + " (usage: " + spec->usage + ")";
        return false;
    }
    return true;
}
