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

// Integers go out little-endian at the width of their field's type.
template <class T>
constexpr void check_num()
{
    static_assert(std::is_unsigned_v<T>, "wire integers are the record's unsigned fields");
}

class zor_writer {
public:
    zor_writer(uint8_t *buf, size_t cap) : buf_(buf), cap_(cap) {}
    static constexpr bool k_reading = false;

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }

    void bytes(const void *src, size_t n)
    {
        if (!ok_ || n > cap_ - pos_) {
            ok_ = false;
            return;
        }
        memcpy(buf_ + pos_, src, n);
        pos_ += n;
    }
    // Integer fields, in the order given.
    template <class... T>
    void num(const T &...v)
    {
        (one(v), ...);
    }
    // A count that bounds the list after it. Returns how many entries to
    // write: none when the count is above its limit (the record is refused,
    // and the list is never read past its end).
    template <class N>
    size_t count(const N &n, size_t max)
    {
        if (n > max) {
            ok_ = false;
            return 0;
        }
        num(n);
        return ok_ ? n : 0;
    }
    void text(const char *s, size_t cap)
    {
        uint16_t n = static_cast<uint16_t>(strnlen(s, cap));
        num(n);
        bytes(s, n);
    }

private:
    template <class T>
    void one(const T &v)
    {
        check_num<T>();
        uint8_t b[sizeof(T)];
        for (size_t i = 0; i < sizeof(T); i++) {
            b[i] = static_cast<uint8_t>(v >> (8 * i));
        }
        bytes(b, sizeof(b));
    }

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

    void bytes(void *dst, size_t n)
    {
        if (!ok_ || n > len_ - pos_) {
            ok_ = false;
            return;
        }
        memcpy(dst, buf_ + pos_, n);
        pos_ += n;
    }
    // Integer fields, in the order given; a field past the end of the input
    // reads as 0.
    template <class... T>
    void num(T &...v)
    {
        (one(v), ...);
    }
    // A count above max is inconsistent input: it reads back as 0 and no
    // entry is read. Returns how many entries to read.
    template <class N>
    size_t count(N &n, size_t max)
    {
        num(n);
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
        num(n);
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
    template <class T>
    void one(T &v)
    {
        check_num<T>();
        uint8_t b[sizeof(T)] = {};
        bytes(b, sizeof(b));
        v = 0;
        for (size_t i = sizeof(T); ok_ && i-- > 0;) {
            v = static_cast<T>((v << 8) | b[i]);
        }
    }

    const uint8_t *buf_;
    size_t len_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Const for the writer, mutable for the reader.
template <class IO, class T>
using field_t = std::conditional_t<IO::k_reading, T, const T>;

// A count and then only the counted entries, each through item (integers
// by default).
template <class IO, class N, class T, class F>
void io_list(IO &io, N &count, size_t max, T *items, F item)
{
    const size_t n = io.count(count, max);
    for (size_t i = 0; i < n; i++) {
        item(items[i]);
    }
}

template <class IO, class N, class T>
void io_list(IO &io, N &count, size_t max, T *items)
{
    io_list(io, count, max, items, [&io](T &v) { io.num(v); });
}

template <class IO>
void io_addr(IO &io, field_t<IO, ip_addr_t> &a)
{
    io.num(a.family);
    if (a.family == IP_AF_INET) {
        io.num(a.u.v4);
    } else {
        io.bytes(a.u.v6, sizeof(a.u.v6));
    }
}

template <class IO>
void io_addr_port(IO &io, field_t<IO, ip_addr_port_t> &a)
{
    io_addr<IO>(io, a.addr);
    io.num(a.port);
}

template <class IO>
void io_key(IO &io, field_t<IO, zor_tloc_key_t> &k)
{
    io_addr<IO>(io, k.addr);
    io.num(k.color, k.encap);
}

template <class IO>
void io_sec_key(IO &io, field_t<IO, zor_tloc_sec_key_t> &k)
{
    io.num(k.type);
    io.bytes(k.key, sizeof(k.key));
}

template <class IO>
void io_sec(IO &io, field_t<IO, zor_tloc_sec_t> &s)
{
    auto key = [&io](field_t<IO, zor_tloc_sec_key_t> &k) { io_sec_key<IO>(io, k); };
    io.num(s.inbound_sa_index, s.spi, s.flags);
    io_list(io, s.proto_count, ZOR_TLOC_SEC_PROTO_MAX, s.protos);
    io_list(io, s.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX, s.enc_types);
    io.num(s.integrity_count, s.integrity_type);
    io_list(io, s.auth_key_count, ZOR_TLOC_SEC_KEY_MAX, s.auth_keys, key);
    io_list(io, s.enc_key_count, ZOR_TLOC_SEC_KEY_MAX, s.enc_keys, key);
}

template <class IO>
void io_attr(IO &io, field_t<IO, zor_tloc_attr_t> &a)
{
    io.num(a.flags);
    const uint64_t f = a.flags;
    auto has = [f](int bit) { return (f & ZOR_TLOC_ATTR_BIT(bit)) != 0; };
    // An integer or an address with its port, carried only with its bit.
    auto opt = [&](int bit, auto &field) {
        if (!has(bit)) {
            return;
        }
        if constexpr (std::is_integral_v<std::remove_cvref_t<decltype(field)>>) {
            io.num(field);
        } else {
            io_addr_port<IO>(io, field);
        }
    };
    opt(ZOR_TLOC_ATTR_PREF, a.preference);
    // Weight and carrier travel whatever their presence bits say: the
    // receiver's add filter checks both on every TLOC add.
    io.num(a.weight);
    opt(ZOR_TLOC_ATTR_SITE_ID, a.site_id);
    opt(ZOR_TLOC_ATTR_REGION_ID, a.region_id);
    opt(ZOR_TLOC_ATTR_VERSION, a.version);
    opt(ZOR_TLOC_ATTR_GEN_ID, a.gen_id);
    // Both forms travel: a peer may fill either, and zord forwards blocks it
    // does not interpret.
    if (has(ZOR_TLOC_ATTR_ENCAP)) {
        io.num(a.encap, a.encap_key, a.spi, a.integrity);
        io.bytes(a.key1, sizeof(a.key1));
        io.num(a.cipher);
        io.bytes(a.key2, sizeof(a.key2));
    }
    opt(ZOR_TLOC_ATTR_TLOCV4_PUB, a.tloc_v4_public);
    opt(ZOR_TLOC_ATTR_TLOCV4_PRI, a.tloc_v4_private);
    opt(ZOR_TLOC_ATTR_TLOCV6_PUB, a.tloc_v6_public);
    opt(ZOR_TLOC_ATTR_TLOCV6_PRI, a.tloc_v6_private);
    opt(ZOR_TLOC_ATTR_STALE, a.stale);
    io.num(a.carrier);
    opt(ZOR_TLOC_ATTR_RESTRICT, a.restricted);
    opt(ZOR_TLOC_ATTR_ON_DEMAND, a.on_demand);
    if (has(ZOR_TLOC_ATTR_SECURITY)) {
        io_sec<IO>(io, a.sec);
    }
    opt(ZOR_TLOC_ATTR_BORDER, a.border);
    if (has(ZOR_TLOC_ATTR_GROUP)) {
        io_list(io, a.group_count, ZOR_TLOC_GROUP_MAX, a.groups);
    }
    opt(ZOR_TLOC_ATTR_CAPABILITY, a.capability);
    opt(ZOR_TLOC_ATTR_INSTALLED, a.installed);
    opt(ZOR_TLOC_ATTR_BANDWIDTH, a.bandwidth);
}

template <class IO>
void io_tloc(IO &io, field_t<IO, zor_msg_tloc_t> &t)
{
    io_key<IO>(io, t.key);
    io.num(t.origin, t.status, t.inactive, t.index);
    io_list(io, t.path_count, ZOR_TLOC_PATH_MAX, t.paths, [&io](field_t<IO, zor_tloc_path_t> &p) {
        io.num(p.local_index, p.border_index, p.mtu);
        io_list(io, p.label_count, ZOR_TLOC_PATH_LABEL_MAX, p.labels);
    });
    io_attr<IO>(io, t.attr);
    if ((t.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_QOS_GROUP)) != 0) {
        io.text(t.qos_group, sizeof(t.qos_group));
    }
    io.num(t.lr_enabled, t.lr_hold_time);
}

template <class IO>
void io_link_status(IO &io, field_t<IO, zor_msg_link_status_t> &l)
{
    io_key<IO>(io, l.remote);
    io_key<IO>(io, l.local);
    io.num(l.bfd_status, l.mtu, l.tun_rec_index, l.loss, l.latency, l.jitter);
}

template <class IO>
void io_link(IO &io, field_t<IO, zor_msg_link_t> &l)
{
    io_key<IO>(io, l.remote);
    io_key<IO>(io, l.local);
    io.num(l.remote_index, l.local_index, l.origin, l.status, l.mtu, l.label, l.preference, l.stale, l.loss,
           l.latency, l.jitter, l.tun_rec_index);
}

template <class IO>
void io_ctrl_device(IO &io, field_t<IO, zor_msg_ctrl_device_t> &c)
{
    io_addr<IO>(io, c.addr);
    io.num(c.type, c.state, c.staging);
    io_list(io, c.region_count, ZOR_MSG_CTRL_DEVICE_REGION_MAX, c.region_ids);
}

template <class IO>
void io_tracker(IO &io, field_t<IO, zor_msg_tracker_t> &t)
{
    io.text(t.name, sizeof(t.name));
    io.text(t.attach_point, sizeof(t.attach_point));
    io.num(t.vpn_id, t.opaque1, t.status, t.opaque2);
    io.bytes(t.opaque, sizeof(t.opaque));
}

// The body of a message type; false for an unknown type.
template <class IO>
bool io_body(IO &io, uint32_t type, field_t<IO, zor_msg_body_t> &b)
{
    switch (type) {
    case ZOR_MSG_REGISTER:
        io.num(b.reg.announce, b.reg.originate);
        return true;
    case ZOR_MSG_UNREGISTER:
        return true;
    case ZOR_MSG_TLOC_BFD_STATUS:
        io_key<IO>(io, b.bfd.key);
        io.num(b.bfd.status);
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
        io.num(b.data_device.status);
        return true;
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_VPN_SEC_DEL:
        io.num(b.vpn_sec.vpn_id);
        io_addr<IO>(io, b.vpn_sec.remote);
        io.num(b.vpn_sec.origin);
        io_attr<IO>(io, b.vpn_sec.attr);
        return true;
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_PEER_SEC_DEL:
        io.num(b.peer_sec.vpn_id);
        io_addr<IO>(io, b.peer_sec.origin_ip);
        io_addr<IO>(io, b.peer_sec.dest_ip);
        io.num(b.peer_sec.origin);
        io_attr<IO>(io, b.peer_sec.attr);
        return true;
    case ZOR_MSG_TRACKER_ADD:
    case ZOR_MSG_TRACKER_DEL:
    case ZOR_MSG_TRACKER_STATUS:
        io_tracker<IO>(io, b.tracker);
        return true;
    case ZOR_MSG_DATA_DEVICE_STATE:
        io_addr<IO>(io, b.data_device_state.addr);
        io.num(b.data_device_state.state);
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
    w.num(uint8_t{ZOR_MSG_FORMAT_VERSION}, static_cast<uint8_t>(msg->type), msg->sender, msg->family);
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
    r.num(version, type);
    if (version != ZOR_MSG_FORMAT_VERSION || type == 0 || type > ZOR_MSG_TYPE_MAX) {
        return 1;
    }
    msg->type = type;
    r.num(msg->sender, msg->family);
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
