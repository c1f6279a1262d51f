// The codec. One field list per body, written once as a template over the
// direction: the writer turns fields into bytes, the reader turns bytes into
// fields, so encode and decode cannot drift apart.
//
// Encoding: a format version byte, the type (u8), sender and family (u32),
// then the body's fields in record order, little-endian, each at its own
// width. Counted lists carry their count and then only the counted entries;
// the attribute block carries its flags word and then only the fields whose
// presence bit is set; texts carry a u16 length and their bytes up to the
// first NUL; an address carries its family and then 4 value bytes for IPv4
// or 16 for any other family. Padding is never sent. The encoding of a record
// is unique, so decode accepts exactly what encode can produce.
#include "zor_msg.h"

#include <cstring>
#include <type_traits>

namespace {

constexpr size_t k_header_len = 1 + 1 + 4 + 4;

class zor_writer {
public:
    zor_writer(uint8_t *buf, size_t cap) : buf_(buf), cap_(cap) {}
    static constexpr bool k_reading = false;

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    void fail() { ok_ = false; }

    void bytes(const void *src, size_t n)
    {
        if (!ok_ || n > cap_ - pos_) {
            ok_ = false;
            return;
        }
        memcpy(buf_ + pos_, src, n);
        pos_ += n;
    }
    void u8(const uint8_t &v) { bytes(&v, 1); }
    void u16(const uint16_t &v)
    {
        uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        bytes(b, sizeof(b));
    }
    void u32(const uint32_t &v)
    {
        uint8_t b[4];
        for (int i = 0; i < 4; i++) {
            b[i] = static_cast<uint8_t>(v >> (8 * i));
        }
        bytes(b, sizeof(b));
    }
    void u64(const uint64_t &v)
    {
        uint8_t b[8];
        for (int i = 0; i < 8; i++) {
            b[i] = static_cast<uint8_t>(v >> (8 * i));
        }
        bytes(b, sizeof(b));
    }
    // A count that bounds the list after it. Returns how many entries to
    // write: none when the count is above its limit (the record is refused,
    // and the list is never read past its end).
    size_t count8(const uint8_t &n, size_t max)
    {
        if (n > max) {
            ok_ = false;
            return 0;
        }
        u8(n);
        return ok_ ? n : 0;
    }
    size_t count16(const uint16_t &n, size_t max)
    {
        if (n > max) {
            ok_ = false;
            return 0;
        }
        u16(n);
        return ok_ ? n : 0;
    }
    void text(const char *s, size_t cap)
    {
        uint16_t n = static_cast<uint16_t>(strnlen(s, cap));
        u16(n);
        bytes(s, n);
    }

private:
    uint8_t *buf_;
    size_t cap_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class zor_reader {
public:
    zor_reader(const uint8_t *buf, size_t len) : buf_(buf), len_(len) {}
    static constexpr bool k_reading = true;

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    void fail() { ok_ = false; }

    void bytes(void *dst, size_t n)
    {
        if (!ok_ || n > len_ - pos_) {
            ok_ = false;
            return;
        }
        memcpy(dst, buf_ + pos_, n);
        pos_ += n;
    }
    void u8(uint8_t &v)
    {
        v = 0;
        bytes(&v, 1);
    }
    void u16(uint16_t &v)
    {
        uint8_t b[2] = {0, 0};
        bytes(b, sizeof(b));
        v = ok_ ? static_cast<uint16_t>(b[0] | (b[1] << 8)) : 0;
    }
    void u32(uint32_t &v)
    {
        uint8_t b[4] = {0, 0, 0, 0};
        bytes(b, sizeof(b));
        v = 0;
        for (int i = 3; ok_ && i >= 0; i--) {
            v = (v << 8) | b[i];
        }
    }
    void u64(uint64_t &v)
    {
        uint8_t b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        bytes(b, sizeof(b));
        v = 0;
        for (int i = 7; ok_ && i >= 0; i--) {
            v = (v << 8) | b[i];
        }
    }
    // A count above max is inconsistent input: it reads back as 0 and no
    // entry is read. Returns how many entries to read.
    size_t count8(uint8_t &n, size_t max)
    {
        u8(n);
        if (n > max) {
            n = 0;
            ok_ = false;
        }
        return n;
    }
    size_t count16(uint16_t &n, size_t max)
    {
        u16(n);
        if (n > max) {
            n = 0;
            ok_ = false;
        }
        return n;
    }
    // A text longer than its field or holding a NUL is not one that encode
    // could have written.
    void text(char *s, size_t cap)
    {
        uint16_t n = 0;
        u16(n);
        if (!ok_ || n > cap) {
            ok_ = false;
            return;
        }
        bytes(s, n);
        if (ok_ && memchr(s, '\0', n) != nullptr) {
            ok_ = false;
        }
    }

private:
    const uint8_t *buf_;
    size_t len_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Const for the writer, mutable for the reader.
template <class IO, class T>
using field_t = std::conditional_t<IO::k_reading, T, const T>;

template <class IO>
void io_addr(IO &io, field_t<IO, ip_addr_t> &a)
{
    io.u32(a.family);
    if (a.family == IP_AF_INET) {
        io.u32(a.u.v4);
    } else {
        io.bytes(a.u.v6, sizeof(a.u.v6));
    }
}

template <class IO>
void io_addr_port(IO &io, field_t<IO, ip_addr_port_t> &a)
{
    io_addr<IO>(io, a.addr);
    io.u16(a.port);
}

template <class IO>
void io_key(IO &io, field_t<IO, zor_tloc_key_t> &k)
{
    io_addr<IO>(io, k.addr);
    io.u8(k.color);
    io.u8(k.encap);
}

template <class IO>
void io_sec_key(IO &io, field_t<IO, zor_tloc_sec_key_t> &k)
{
    io.u32(k.type);
    io.bytes(k.key, sizeof(k.key));
}

template <class IO>
void io_sec(IO &io, field_t<IO, zor_tloc_sec_t> &s)
{
    io.u16(s.inbound_sa_index);
    io.u32(s.spi);
    io.u8(s.flags);
    const size_t n_protos = io.count8(s.proto_count, ZOR_TLOC_SEC_PROTO_MAX);
    for (size_t i = 0; i < n_protos; i++) {
        io.u32(s.protos[i]);
    }
    const size_t n_enc_types = io.count8(s.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX);
    for (size_t i = 0; i < n_enc_types; i++) {
        io.u32(s.enc_types[i]);
    }
    io.u8(s.integrity_count);
    io.u32(s.integrity_type);
    const size_t n_auth_keys = io.count8(s.auth_key_count, ZOR_TLOC_SEC_KEY_MAX);
    for (size_t i = 0; i < n_auth_keys; i++) {
        io_sec_key<IO>(io, s.auth_keys[i]);
    }
    const size_t n_enc_keys = io.count8(s.enc_key_count, ZOR_TLOC_SEC_KEY_MAX);
    for (size_t i = 0; i < n_enc_keys; i++) {
        io_sec_key<IO>(io, s.enc_keys[i]);
    }
}

template <class IO>
void io_attr(IO &io, field_t<IO, zor_tloc_attr_t> &a)
{
    io.u64(a.flags);
    const uint64_t f = a.flags;
    auto has = [f](int bit) { return (f & ZOR_TLOC_ATTR_BIT(bit)) != 0; };
    if (has(ZOR_TLOC_ATTR_PREF)) {
        io.u32(a.preference);
    }
    // Weight and carrier travel whatever their presence bits say: the
    // receiver's add filter checks both on every TLOC add.
    io.u32(a.weight);
    if (has(ZOR_TLOC_ATTR_SITE_ID)) {
        io.u32(a.site_id);
    }
    if (has(ZOR_TLOC_ATTR_REGION_ID)) {
        io.u16(a.region_id);
    }
    if (has(ZOR_TLOC_ATTR_VERSION)) {
        io.u32(a.version);
    }
    if (has(ZOR_TLOC_ATTR_GEN_ID)) {
        io.u32(a.gen_id);
    }
    // Both forms travel: a peer may fill either, and zord forwards blocks it
    // does not interpret.
    if (has(ZOR_TLOC_ATTR_ENCAP)) {
        io.u32(a.encap);
        io.u32(a.encap_key);
        io.u32(a.spi);
        io.u32(a.integrity);
        io.bytes(a.key1, sizeof(a.key1));
        io.u32(a.cipher);
        io.bytes(a.key2, sizeof(a.key2));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PUB)) {
        io_addr_port<IO>(io, a.tloc_v4_public);
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PRI)) {
        io_addr_port<IO>(io, a.tloc_v4_private);
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PUB)) {
        io_addr_port<IO>(io, a.tloc_v6_public);
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PRI)) {
        io_addr_port<IO>(io, a.tloc_v6_private);
    }
    if (has(ZOR_TLOC_ATTR_STALE)) {
        io.u8(a.stale);
    }
    io.u8(a.carrier);
    if (has(ZOR_TLOC_ATTR_RESTRICT)) {
        io.u8(a.restricted);
    }
    if (has(ZOR_TLOC_ATTR_ON_DEMAND)) {
        io.u8(a.on_demand);
    }
    if (has(ZOR_TLOC_ATTR_SECURITY)) {
        io_sec<IO>(io, a.sec);
    }
    if (has(ZOR_TLOC_ATTR_BORDER)) {
        io.u8(a.border);
    }
    if (has(ZOR_TLOC_ATTR_GROUP)) {
        const size_t n_groups = io.count16(a.group_count, ZOR_TLOC_GROUP_MAX);
        for (size_t i = 0; i < n_groups; i++) {
            io.u32(a.groups[i]);
        }
    }
    if (has(ZOR_TLOC_ATTR_CAPABILITY)) {
        io.u64(a.capability);
    }
    if (has(ZOR_TLOC_ATTR_INSTALLED)) {
        io.u8(a.installed);
    }
    if (has(ZOR_TLOC_ATTR_BANDWIDTH)) {
        io.u32(a.bandwidth);
    }
}

template <class IO>
void io_tloc(IO &io, field_t<IO, zor_msg_tloc_t> &t)
{
    io_key<IO>(io, t.key);
    io.u8(t.origin);
    io.u32(t.status);
    io.u32(t.inactive);
    io.u32(t.index);
    const size_t n_paths = io.count8(t.path_count, ZOR_TLOC_PATH_MAX);
    for (size_t i = 0; i < n_paths; i++) {
        auto &p = t.paths[i];
        io.u32(p.local_index);
        io.u32(p.border_index);
        io.u32(p.mtu);
        const size_t n_labels = io.count8(p.label_count, ZOR_TLOC_PATH_LABEL_MAX);
        for (size_t l = 0; l < n_labels; l++) {
            io.u32(p.labels[l]);
        }
    }
    io_attr<IO>(io, t.attr);
    if ((t.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_QOS_GROUP)) != 0) {
        io.text(t.qos_group, sizeof(t.qos_group));
    }
    io.u8(t.lr_enabled);
    io.u32(t.lr_hold_time);
}

template <class IO>
void io_link_status(IO &io, field_t<IO, zor_msg_link_status_t> &l)
{
    io_key<IO>(io, l.remote);
    io_key<IO>(io, l.local);
    io.u32(l.bfd_status);
    io.u32(l.mtu);
    io.u16(l.tun_rec_index);
    io.u32(l.loss);
    io.u32(l.latency);
    io.u32(l.jitter);
}

template <class IO>
void io_link(IO &io, field_t<IO, zor_msg_link_t> &l)
{
    io_key<IO>(io, l.remote);
    io_key<IO>(io, l.local);
    io.u32(l.remote_index);
    io.u32(l.local_index);
    io.u8(l.origin);
    io.u32(l.status);
    io.u32(l.mtu);
    io.u32(l.label);
    io.u32(l.preference);
    io.u8(l.stale);
    io.u32(l.loss);
    io.u32(l.latency);
    io.u32(l.jitter);
    io.u16(l.tun_rec_index);
}

template <class IO>
void io_ctrl_device(IO &io, field_t<IO, zor_msg_ctrl_device_t> &c)
{
    io_addr<IO>(io, c.addr);
    io.u32(c.type);
    io.u32(c.state);
    io.u8(c.staging);
    const size_t n_regions = io.count16(c.region_count, ZOR_MSG_CTRL_DEVICE_REGION_MAX);
    for (size_t i = 0; i < n_regions; i++) {
        io.u16(c.region_ids[i]);
    }
}

template <class IO>
void io_tracker(IO &io, field_t<IO, zor_msg_tracker_t> &t)
{
    io.text(t.name, sizeof(t.name));
    io.text(t.attach_point, sizeof(t.attach_point));
    io.u64(t.vpn_id);
    io.u32(t.opaque1);
    io.u32(t.status);
    io.u32(t.opaque2);
    io.bytes(t.opaque, sizeof(t.opaque));
}

// The body of a message type; false for an unknown type.
template <class IO>
bool io_body(IO &io, uint32_t type, field_t<IO, zor_msg_body_t> &b)
{
    switch (type) {
    case ZOR_MSG_REGISTER:
        io.u8(b.reg.announce);
        io.u8(b.reg.originate);
        return true;
    case ZOR_MSG_UNREGISTER:
        return true;
    case ZOR_MSG_TLOC_BFD_STATUS:
        io_key<IO>(io, b.bfd.key);
        io.u32(b.bfd.status);
        return true;
    case ZOR_MSG_LINK_STATUS:
        io_link_status<IO>(io, b.link_status);
        return true;
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL:
        io_tloc<IO>(io, b.tloc);
        return true;
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_LINK_DEL:
        io_link<IO>(io, b.link);
        return true;
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_CTRL_DEVICE_DEL:
        io_ctrl_device<IO>(io, b.ctrl_device);
        return true;
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_DEL:
        io_addr<IO>(io, b.data_device.addr);
        io.u32(b.data_device.status);
        return true;
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_VPN_SEC_DEL:
        io.u64(b.vpn_sec.vpn_id);
        io_addr<IO>(io, b.vpn_sec.remote);
        io.u8(b.vpn_sec.origin);
        io_attr<IO>(io, b.vpn_sec.attr);
        return true;
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_PEER_SEC_DEL:
        io.u64(b.peer_sec.vpn_id);
        io_addr<IO>(io, b.peer_sec.origin_ip);
        io_addr<IO>(io, b.peer_sec.dest_ip);
        io.u8(b.peer_sec.origin);
        io_attr<IO>(io, b.peer_sec.attr);
        return true;
    case ZOR_MSG_TRACKER_ADD:
    case ZOR_MSG_TRACKER_DEL:
    case ZOR_MSG_TRACKER_STATUS:
        io_tracker<IO>(io, b.tracker);
        return true;
    case ZOR_MSG_DATA_DEVICE_STATE:
        io_addr<IO>(io, b.data_device_state.addr);
        io.u32(b.data_device_state.state);
        return true;
    default:
        return false;
    }
}

}  // namespace

int zor_msg_encode(const zor_msg_t *msg, uint8_t *buf, uint16_t *len)
{
    *len = 0;
    if (msg->type == 0 || msg->type > ZOR_MSG_TYPE_MAX) {
        return 1;
    }
    zor_writer w(buf, ZOR_MSG_ENCODE_MAX);
    w.u8(ZOR_MSG_FORMAT_VERSION);
    w.u8(static_cast<uint8_t>(msg->type));
    w.u32(msg->sender);
    w.u32(msg->family);
    if (!io_body<zor_writer>(w, msg->type, msg->body) || !w.ok()) {
        return 1;
    }
    *len = static_cast<uint16_t>(w.pos());
    return 0;
}

int zor_msg_decode(zor_msg_t *msg, const uint8_t *buf, uint16_t len)
{
    memset(msg, 0, sizeof(*msg));
    if (len < k_header_len || len > ZOR_MSG_ENCODE_MAX) {
        return 1;
    }
    zor_reader r(buf, len);
    uint8_t version = 0;
    uint8_t type = 0;
    r.u8(version);
    r.u8(type);
    if (version != ZOR_MSG_FORMAT_VERSION || type == 0 || type > ZOR_MSG_TYPE_MAX) {
        return 1;
    }
    msg->type = type;
    r.u32(msg->sender);
    r.u32(msg->family);
    bool known = io_body<zor_reader>(r, msg->type, msg->body);
    // Trailing bytes mean the sender wrote something this format does not
    // hold: refuse rather than guess.
    if (!known || !r.ok() || r.pos() != len) {
        memset(msg, 0, sizeof(*msg));
        return 1;
    }
    return 0;
}

const char *zor_msg_type_str(uint32_t type)
{
    static const char *const k_names[ZOR_MSG_TYPE_MAX + 1] = {
        "UNKNOWN",
        "REGISTER",
        "UNREGISTER",
        "TLOC-BFD-STATUS",
        "LINK-STATUS",
        "TLOC-ADD",
        "TLOC-DEL",
        "LINK-ADD",
        "LINK-DEL",
        "CTRL-DEVICE-ADD",
        "CTRL-DEVICE-DEL",
        "DATA-DEVICE-ADD",
        "DATA-DEVICE-DEL",
        "VPN-SEC-ADD",
        "VPN-SEC-DEL",
        "PEER-SEC-ADD",
        "PEER-SEC-DEL",
        "TRACKER-ADD",
        "TRACKER-DEL",
        "TRACKER-STATUS",
        "DATA-DEVICE-STATE",
    };
    return type <= ZOR_MSG_TYPE_MAX ? k_names[type] : "UNKNOWN";
}

const char *zor_msg_origin_str(uint32_t origin)
{
    switch (origin) {
    case ZOR_MSG_ORIGIN_LOCAL:
        return "local";
    case ZOR_MSG_ORIGIN_REMOTE:
        return "remote";
    default:
        return "unknown";
    }
}

const char *zor_msg_tloc_origin_str(uint32_t origin)
{
    return zor_msg_origin_str(origin);
}

const char *zor_msg_tloc_status_str(uint32_t status)
{
    switch (status) {
    case ZOR_TLOC_STATUS_UP:
        return "up";
    case ZOR_TLOC_STATUS_DOWN:
        return "down";
    case ZOR_TLOC_STATUS_NO_PATH:
        return "no-path";
    default:
        return "unknown";
    }
}

const char *zor_msg_bfd_state_str(uint32_t state)
{
    switch (state) {
    case ZOR_BFD_STATE_DOWN:
        return "down";
    case ZOR_BFD_STATE_UP:
        return "up";
    case ZOR_BFD_STATE_NO_PATH:
        return "no-path";
    default:
        return "unknown";
    }
}
