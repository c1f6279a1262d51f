#include "zor_peer_snapshot.h"

#include <arpa/inet.h>
#include <cstring>

#include "ost_util.h"

namespace {

enum : uint32_t {
    AF_TLOC4 = 0,
    AF_TLOC6 = 1,
    AF_CTRL4 = 2,
    AF_CTRL6 = 3,
    AF_DATA4 = 4,
    AF_DATA6 = 5,
    AF_VPN_SEC = 6,
    AF_PEER_SEC = 7,
    AF_LINK = 8,
    AF_TRACKER = 9,
};

constexpr uint8_t k_marker_color = 1;  // default
constexpr uint8_t k_marker_encap = OST_ENCAP_GRE;
constexpr const char *k_marker_attach = "snapshot";

// Sort keys: byte strings whose order is the order of the keys they stand
// for (IPv4 before IPv6, addresses as numbers).
std::string addr_bytes(const ip_addr_t &a)
{
    std::string out(1, a.family == IP_AF_INET6 ? '\x06' : '\x04');
    if (a.family == IP_AF_INET6) {
        out.append(reinterpret_cast<const char *>(a.u.v6), sizeof(a.u.v6));
    } else {
        const uint32_t be = htonl(a.u.v4);
        out.append(reinterpret_cast<const char *>(&be), sizeof(be));
    }
    return out;
}

std::string tloc_bytes(const zor_tloc_key_t &k)
{
    return addr_bytes(k.addr) + static_cast<char>(k.color) + static_cast<char>(k.encap);
}

std::string u64_bytes(uint64_t v)
{
    std::string out(8, '\0');
    for (int i = 7; i >= 0; i--, v >>= 8) {
        out[static_cast<size_t>(i)] = static_cast<char>(v & 0xff);
    }
    return out;
}

std::string text_of(const char *field, size_t len)
{
    return std::string(field, strnlen(field, len));
}

// The key of an add or delete within its family.
std::string sort_key(const zor_msg_t &m)
{
    const zor_msg_body_t &b = m.body;
    switch (m.family) {
    case AF_TLOC4:
    case AF_TLOC6:
        return tloc_bytes(b.tloc.key);
    case AF_CTRL4:
    case AF_CTRL6:
        return addr_bytes(b.ctrl_device.addr);
    case AF_DATA4:
    case AF_DATA6:
        return addr_bytes(b.data_device.addr);
    case AF_VPN_SEC:
        return u64_bytes(b.vpn_sec.vpn_id) + addr_bytes(b.vpn_sec.remote);
    case AF_PEER_SEC:
        return u64_bytes(b.peer_sec.vpn_id) + addr_bytes(b.peer_sec.origin_ip) + addr_bytes(b.peer_sec.dest_ip);
    case AF_LINK:
        return tloc_bytes(b.link.local) + tloc_bytes(b.link.remote);
    default:
        return text_of(b.tracker.name, sizeof(b.tracker.name)) + '\0' +
               text_of(b.tracker.attach_point, sizeof(b.tracker.attach_point)) + '\0' +
               u64_bytes(b.tracker.vpn_id);
    }
}

bool is_add(uint32_t type)
{
    switch (type) {
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_TRACKER_ADD:
        return true;
    default:
        return false;
    }
}

bool is_del(uint32_t type)
{
    switch (type) {
    case ZOR_MSG_TLOC_DEL:
    case ZOR_MSG_LINK_DEL:
    case ZOR_MSG_CTRL_DEVICE_DEL:
    case ZOR_MSG_DATA_DEVICE_DEL:
    case ZOR_MSG_VPN_SEC_DEL:
    case ZOR_MSG_PEER_SEC_DEL:
    case ZOR_MSG_TRACKER_DEL:
        return true;
    default:
        return false;
    }
}

bool same_addr(const ip_addr_t &a, const ip_addr_t &b)
{
    return a.family == b.family && (a.family == IP_AF_INET6 ? memcmp(a.u.v6, b.u.v6, sizeof(a.u.v6)) == 0
                                                            : a.u.v4 == b.u.v4);
}

bool same_tloc(const zor_tloc_key_t &a, const zor_tloc_key_t &b)
{
    return same_addr(a.addr, b.addr) && a.color == b.color && a.encap == b.encap;
}

zor_msg_t msg_of(uint32_t type, uint32_t af, uint32_t sender)
{
    zor_msg_t m;
    memset(&m, 0, sizeof(m));
    m.type = type;
    m.family = af;
    m.sender = sender;
    return m;
}

zor_tloc_key_t key_of(const ip_addr_t &addr, uint8_t encap)
{
    zor_tloc_key_t k{};
    k.addr = addr;
    k.color = k_marker_color;
    k.encap = encap;
    return k;
}

std::string tracker_name(uint32_t module)
{
    return std::string("zor-peer.") + ost_module_str(module);
}

}  // namespace

zp_snapshot::zp_snapshot(std::vector<uint32_t> families, uint32_t module)
    : families_(std::move(families)), module_(module)
{
    marker_v4_ = ip_addr_v4(module);  // 0.0.0.ID: "this network", never a system IP
    marker_v6_.family = IP_AF_INET6;  // 100::ID, the discard-only prefix
    marker_v6_.u.v6[0] = 0x01;
    marker_v6_.u.v6[14] = static_cast<uint8_t>(module >> 8);
    marker_v6_.u.v6[15] = static_cast<uint8_t>(module);
}

std::vector<zor_msg_t> zp_snapshot::opening() const
{
    std::vector<zor_msg_t> out;
    for (uint32_t af : families_) {
        zor_msg_t m = msg_of(ZOR_MSG_REGISTER, af, module_);
        m.body.reg.announce = 1;
        out.push_back(m);
    }
    for (zor_msg_t &m : closing()) {
        // Every deletion's add, with what an add needs besides the key.
        m.type -= 1;  // every deletion type follows its add
        if (m.type == ZOR_MSG_TLOC_ADD) {
            m.body.tloc.attr.carrier = 1;  // zord drops a TLOC add whose carrier is outside 1-9
        } else if (m.type == ZOR_MSG_CTRL_DEVICE_ADD) {
            m.body.ctrl_device.state = 1;
        } else if (m.type == ZOR_MSG_TRACKER_ADD) {
            m.body.tracker.status = 1;
        }
        out.push_back(m);
    }
    return out;
}

std::vector<zor_msg_t> zp_snapshot::closing() const
{
    bool want[ZP_AF_COUNT] = {};
    for (uint32_t af : families_) {
        want[af] = true;
    }
    std::vector<zor_msg_t> out;
    // A data-device family ends with the device zord derives from the TLOC
    // marker of its IP family.
    for (uint32_t af : {AF_TLOC4, AF_TLOC6}) {
        if (want[af] || want[af + AF_DATA4]) {
            zor_msg_t m = msg_of(ZOR_MSG_TLOC_DEL, af, module_);
            m.body.tloc.key = key_of(af == AF_TLOC4 ? marker_v4_ : marker_v6_, k_marker_encap);
            m.body.tloc.origin = ZOR_MSG_ORIGIN_REMOTE;
            out.push_back(m);
        }
    }
    for (uint32_t af : {AF_CTRL4, AF_CTRL6}) {
        if (want[af]) {
            zor_msg_t m = msg_of(ZOR_MSG_CTRL_DEVICE_DEL, af, module_);
            m.body.ctrl_device.addr = af == AF_CTRL4 ? marker_v4_ : marker_v6_;
            out.push_back(m);
        }
    }
    if (want[AF_VPN_SEC]) {
        zor_msg_t m = msg_of(ZOR_MSG_VPN_SEC_DEL, AF_VPN_SEC, module_);
        m.body.vpn_sec.remote = marker_v4_;
        m.body.vpn_sec.origin = ZOR_MSG_ORIGIN_REMOTE;
        out.push_back(m);
    }
    if (want[AF_PEER_SEC]) {
        zor_msg_t m = msg_of(ZOR_MSG_PEER_SEC_DEL, AF_PEER_SEC, module_);
        m.body.peer_sec.origin_ip = marker_v4_;
        m.body.peer_sec.dest_ip = marker_v4_;
        m.body.peer_sec.origin = ZOR_MSG_ORIGIN_REMOTE;
        out.push_back(m);
    }
    if (want[AF_LINK]) {
        zor_msg_t m = msg_of(ZOR_MSG_LINK_DEL, AF_LINK, module_);
        m.body.link.local = key_of(marker_v4_, OST_ENCAP_GRE);
        m.body.link.remote = key_of(marker_v4_, OST_ENCAP_IPSEC);
        m.body.link.origin = ZOR_MSG_ORIGIN_REMOTE;
        out.push_back(m);
    }
    if (want[AF_TRACKER]) {
        zor_msg_t m = msg_of(ZOR_MSG_TRACKER_DEL, AF_TRACKER, module_);
        const std::string name = tracker_name(module_);
        memcpy(m.body.tracker.name, name.data(), name.size());
        memcpy(m.body.tracker.attach_point, k_marker_attach, strlen(k_marker_attach));
        out.push_back(m);
    }
    return out;
}

bool zp_snapshot::is_marker(const zor_msg_t &m) const
{
    if (!is_add(m.type)) {
        return false;
    }
    const zor_msg_body_t &b = m.body;
    const ip_addr_t &mine = m.family % 2 == 1 && m.family <= AF_DATA6 ? marker_v6_ : marker_v4_;
    switch (m.family) {
    case AF_TLOC4:
    case AF_TLOC6:
        return same_tloc(b.tloc.key, key_of(mine, k_marker_encap));
    case AF_CTRL4:
    case AF_CTRL6:
        return same_addr(b.ctrl_device.addr, mine);
    case AF_DATA4:
    case AF_DATA6:
        return same_addr(b.data_device.addr, mine);
    case AF_VPN_SEC:
        return b.vpn_sec.vpn_id == 0 && same_addr(b.vpn_sec.remote, mine);
    case AF_PEER_SEC:
        return b.peer_sec.vpn_id == 0 && same_addr(b.peer_sec.origin_ip, mine) &&
               same_addr(b.peer_sec.dest_ip, mine);
    case AF_LINK:
        return same_tloc(b.link.local, key_of(mine, OST_ENCAP_GRE)) &&
               same_tloc(b.link.remote, key_of(mine, OST_ENCAP_IPSEC));
    default:
        return text_of(b.tracker.name, sizeof(b.tracker.name)) == tracker_name(module_) &&
               text_of(b.tracker.attach_point, sizeof(b.tracker.attach_point)) == k_marker_attach;
    }
}

bool zp_snapshot::mentions_marker(const zor_msg_t &m) const
{
    // zord links the TLOC marker with the local TLOCs by itself while advd
    // or klxd originate links: those links are the marker's too.
    const zor_msg_body_t &b = m.body;
    auto mine = [&](const ip_addr_t &a) { return same_addr(a, marker_v4_) || same_addr(a, marker_v6_); };
    switch (m.family) {
    case AF_TLOC4:
    case AF_TLOC6:
        return mine(b.tloc.key.addr);
    case AF_LINK:
        return mine(b.link.local.addr) || mine(b.link.remote.addr);
    case AF_DATA4:
    case AF_DATA6:
        return mine(b.data_device.addr);
    default:
        return false;
    }
}

bool zp_snapshot::take(const zor_msg_t &m, const struct timespec &received)
{
    if (m.family >= ZP_AF_COUNT || ended_[m.family]) {
        return complete();
    }
    if (is_marker(m)) {
        ended_[m.family] = true;
        return complete();
    }
    if (mentions_marker(m)) {
        return complete();
    }
    if (is_add(m.type)) {
        tables_[m.family][sort_key(m)] = zp_snapshot_entry{m, received};
    } else if (is_del(m.type)) {
        tables_[m.family].erase(sort_key(m));
    }
    return complete();
}

bool zp_snapshot::complete() const
{
    for (uint32_t af : families_) {
        if (!ended_[af]) {
            return false;
        }
    }
    return true;
}

size_t zp_snapshot::count() const
{
    size_t n = 0;
    for (uint32_t af : families_) {
        n += tables_[af].size();
    }
    return n;
}

zp_tloc_names zp_snapshot::tloc_names() const
{
    zp_tloc_names names;
    for (uint32_t af : {AF_TLOC4, AF_TLOC6}) {
        for (const auto &[key, e] : tables_[af]) {
            names[e.msg.body.tloc.index] = zp_tloc_str(e.msg.body.tloc.key);
        }
    }
    return names;
}

std::string zp_snapshot::json(bool timestamps, const struct timespec &end) const
{
    const zp_tloc_names names = tloc_names();
    std::string out;
    std::string list;
    for (uint32_t af : families_) {
        list += (list.empty() ? "" : ",") + zp_json_quote(zp_af_str(af));
        for (const auto &[key, e] : tables_[af]) {
            const std::string line = zp_json_msg(e.msg, &names);
            out += (timestamps ? zp_json_with_time(line, e.received) : line) + "\n";
        }
    }
    const std::string last =
        "{\"type\":\"SNAPSHOT_END\",\"families\":[" + list + "],\"entries\":" + std::to_string(count()) + "}";
    return out + (timestamps ? zp_json_with_time(last, end) : last) + "\n";
}
