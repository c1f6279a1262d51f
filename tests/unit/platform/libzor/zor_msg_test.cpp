// The message codec: the bytes of a known record, round trips of every type
// with random contents, the largest record of every type within the
// 1024-byte buffer, and rejection of every truncation, trailing byte,
// unknown version or type and inconsistent count.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "zor_msg.h"

namespace {

using bytes_t = std::vector<uint8_t>;

// Random field values. With full set it makes the largest record instead:
// every count at its limit, every address 16 bytes long, every text filling
// its field.
class rnd {
public:
    explicit rnd(uint32_t seed, bool full = false) : full_(full), g_(seed) {}
    bool full() const { return full_; }
    uint32_t u32() { return static_cast<uint32_t>(g_()); }
    uint64_t u64() { return (uint64_t{u32()} << 32) | u32(); }
    uint8_t u8() { return static_cast<uint8_t>(u32()); }
    uint32_t below(uint32_t n) { return u32() % n; }
    bool coin() { return (u32() & 1) != 0; }
    template <class... T>
    void nums(T &...v)
    {
        ((v = static_cast<T>(u64())), ...);
    }
    // A count up to max, and that many entries.
    template <class N, class T>
    void list(N &count, size_t max, T *items)
    {
        count = static_cast<N>(full_ ? max : below(static_cast<uint32_t>(max + 1)));
        for (size_t i = 0; i < count; i++) {
            item(&items[i]);
        }
    }
    void fill(void *p, size_t n)
    {
        auto *b = static_cast<uint8_t *>(p);
        for (size_t i = 0; i < n; i++) {
            b[i] = u8();
        }
    }
    // Up to max characters, never a NUL; the field keeps its zero padding.
    void text(char *dst, size_t max)
    {
        size_t n = full_ ? max : below(static_cast<uint32_t>(max + 1));
        for (size_t i = 0; i < n; i++) {
            dst[i] = static_cast<char>(1 + below(255));
        }
    }
    void addr(ip_addr_t *a)
    {
        uint32_t kind = full_ ? 1 : below(3);
        if (kind == 0) {
            a->family = IP_AF_INET;
            nums(a->u.v4);
            return;
        }
        // Any family but IPv4 travels with all 16 value bytes.
        a->family = kind == 1 ? IP_AF_INET6 : u32() | 0x100;
        fill(a->u.v6, sizeof(a->u.v6));
    }
    void key(zor_tloc_key_t *k)
    {
        addr(&k->addr);
        nums(k->color, k->encap);
    }
    void addr_port(ip_addr_port_t *a)
    {
        addr(&a->addr);
        nums(a->port);
    }
    template <class T>
    void item(T *v)
    {
        nums(*v);
    }
    void item(zor_tloc_sec_key_t *k)
    {
        nums(k->type);
        fill(k->key, sizeof(k->key));
    }
    void item(zor_tloc_path_t *p)
    {
        nums(p->local_index, p->border_index, p->mtu);
        list(p->label_count, ZOR_TLOC_PATH_LABEL_MAX, p->labels);
    }

private:
    bool full_;
    std::mt19937 g_;
};

// An attribute block in the form that survives a round trip: the fields of
// the set presence bits, the counted entries of the lists.
void random_attr(rnd &r, zor_tloc_attr_t *a)
{
    // Every bit is set half the time; bits without a field travel as they are.
    const uint64_t flags = r.full() ? ~uint64_t{0} : r.u64();
    a->flags = flags;
    auto has = [flags](int bit) { return (flags & ZOR_TLOC_ATTR_BIT(bit)) != 0; };
    r.nums(a->weight, a->carrier);  // always carried
    if (has(ZOR_TLOC_ATTR_PREF)) r.nums(a->preference);
    if (has(ZOR_TLOC_ATTR_SITE_ID)) r.nums(a->site_id);
    if (has(ZOR_TLOC_ATTR_REGION_ID)) r.nums(a->region_id);
    if (has(ZOR_TLOC_ATTR_VERSION)) r.nums(a->version);
    if (has(ZOR_TLOC_ATTR_GEN_ID)) r.nums(a->gen_id);
    if (has(ZOR_TLOC_ATTR_ENCAP)) {
        r.nums(a->encap, a->encap_key, a->spi, a->integrity, a->cipher);
        r.fill(a->key1, sizeof(a->key1));
        r.fill(a->key2, sizeof(a->key2));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PUB)) r.addr_port(&a->tloc_v4_public);
    if (has(ZOR_TLOC_ATTR_TLOCV4_PRI)) r.addr_port(&a->tloc_v4_private);
    if (has(ZOR_TLOC_ATTR_TLOCV6_PUB)) r.addr_port(&a->tloc_v6_public);
    if (has(ZOR_TLOC_ATTR_TLOCV6_PRI)) r.addr_port(&a->tloc_v6_private);
    if (has(ZOR_TLOC_ATTR_STALE)) r.nums(a->stale);
    if (has(ZOR_TLOC_ATTR_RESTRICT)) r.nums(a->restricted);
    if (has(ZOR_TLOC_ATTR_ON_DEMAND)) r.nums(a->on_demand);
    if (has(ZOR_TLOC_ATTR_SECURITY)) {
        zor_tloc_sec_t &s = a->sec;
        r.nums(s.inbound_sa_index, s.spi, s.flags, s.integrity_count, s.integrity_type);
        r.list(s.proto_count, ZOR_TLOC_SEC_PROTO_MAX, s.protos);
        r.list(s.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX, s.enc_types);
        r.list(s.auth_key_count, ZOR_TLOC_SEC_KEY_MAX, s.auth_keys);
        r.list(s.enc_key_count, ZOR_TLOC_SEC_KEY_MAX, s.enc_keys);
    }
    if (has(ZOR_TLOC_ATTR_BORDER)) r.nums(a->border);
    if (has(ZOR_TLOC_ATTR_GROUP)) r.list(a->group_count, ZOR_TLOC_GROUP_MAX, a->groups);
    if (has(ZOR_TLOC_ATTR_CAPABILITY)) r.nums(a->capability);
    if (has(ZOR_TLOC_ATTR_INSTALLED)) r.nums(a->installed);
    if (has(ZOR_TLOC_ATTR_BANDWIDTH)) r.nums(a->bandwidth);
}

// A message of the type in the form that survives a round trip.
zor_msg_t random_msg(rnd &r, uint32_t type)
{
    zor_msg_t m{};
    m.type = type;
    r.nums(m.sender, m.family);
    zor_msg_body_t &b = m.body;
    switch (type) {
    case ZOR_MSG_REGISTER:
        r.nums(b.reg.announce, b.reg.originate);
        break;
    case ZOR_MSG_UNREGISTER:
        break;
    case ZOR_MSG_TLOC_BFD_STATUS:
        r.key(&b.bfd.key);
        r.nums(b.bfd.status);
        break;
    case ZOR_MSG_LINK_STATUS: {
        zor_msg_link_status_t &l = b.link_status;
        r.key(&l.remote);
        r.key(&l.local);
        r.nums(l.bfd_status, l.mtu, l.tun_rec_index, l.loss, l.latency, l.jitter);
        break;
    }
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL: {
        zor_msg_tloc_t &t = b.tloc;
        r.key(&t.key);
        r.nums(t.origin, t.status, t.inactive, t.index, t.lr_enabled, t.lr_hold_time);
        r.list(t.path_count, ZOR_TLOC_PATH_MAX, t.paths);
        random_attr(r, &t.attr);
        if (t.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_QOS_GROUP)) {
            r.text(t.qos_group, sizeof(t.qos_group));
        }
        break;
    }
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_LINK_DEL: {
        zor_msg_link_t &l = b.link;
        r.key(&l.remote);
        r.key(&l.local);
        r.nums(l.remote_index, l.local_index, l.origin, l.status, l.mtu, l.label, l.preference, l.stale, l.loss,
               l.latency, l.jitter, l.tun_rec_index);
        break;
    }
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_CTRL_DEVICE_DEL:
        r.addr(&b.ctrl_device.addr);
        r.nums(b.ctrl_device.type, b.ctrl_device.state, b.ctrl_device.staging);
        // As many region ids as still fit the 1024-byte buffer.
        r.list(b.ctrl_device.region_count, 479, b.ctrl_device.region_ids);
        break;
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_DEL:
        r.addr(&b.data_device.addr);
        r.nums(b.data_device.status);
        break;
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_VPN_SEC_DEL:
        r.addr(&b.vpn_sec.remote);
        r.nums(b.vpn_sec.vpn_id, b.vpn_sec.origin);
        random_attr(r, &b.vpn_sec.attr);
        break;
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_PEER_SEC_DEL:
        r.addr(&b.peer_sec.origin_ip);
        r.addr(&b.peer_sec.dest_ip);
        r.nums(b.peer_sec.vpn_id, b.peer_sec.origin);
        random_attr(r, &b.peer_sec.attr);
        break;
    case ZOR_MSG_TRACKER_ADD:
    case ZOR_MSG_TRACKER_DEL:
    case ZOR_MSG_TRACKER_STATUS: {
        zor_msg_tracker_t &t = b.tracker;
        // A name may fill its field without a terminator.
        r.text(t.name, r.coin() ? sizeof(t.name) : 40);
        r.text(t.attach_point, r.coin() ? sizeof(t.attach_point) : 40);
        r.nums(t.vpn_id, t.opaque1, t.status, t.opaque2);
        r.fill(t.opaque, sizeof(t.opaque));
        break;
    }
    case ZOR_MSG_DATA_DEVICE_STATE:
        r.addr(&b.data_device_state.addr);
        r.nums(b.data_device_state.state);
        break;
    default:
        ADD_FAILURE() << "no generator for type " << type;
    }
    return m;
}

// The encoding of a record; empty when encode refuses it.
bytes_t encode(const zor_msg_t &m)
{
    bytes_t buf(ZOR_MSG_ENCODE_MAX);
    uint16_t len = 0xffff;
    if (zor_msg_encode(&m, buf.data(), &len) != 0) {
        EXPECT_EQ(len, 0u);
        return {};
    }
    EXPECT_GT(len, 0u);
    buf.resize(len);
    return buf;
}

// Decodes from a heap block of exactly len bytes, so that a read past the end
// is caught by the address sanitizer. A refused input must leave the record
// all zero.
int decode_exact(zor_msg_t *m, const bytes_t &bytes, size_t len)
{
    std::unique_ptr<uint8_t[]> block(new uint8_t[len]);
    if (len > 0) {
        memcpy(block.get(), bytes.data(), len);
    }
    memset(static_cast<void *>(m), 0x5a, sizeof(*m));
    int rc = zor_msg_decode(m, block.get(), static_cast<uint16_t>(len));
    if (rc != 0) {
        const zor_msg_t zero{};
        EXPECT_EQ(memcmp(m, &zero, sizeof(zero)), 0) << "a refused input leaves nothing in the record";
    }
    return rc;
}

std::string hex(const bytes_t &v)
{
    return zt::hex_text(v.data(), v.size());
}

// Every type, random contents, and the largest of each type.
std::vector<zor_msg_t> samples(uint32_t seed)
{
    std::vector<zor_msg_t> all;
    rnd r(seed);
    rnd big(seed, true);
    for (uint32_t type = 1; type <= ZOR_MSG_TYPE_MAX; type++) {
        all.push_back(random_msg(r, type));
        all.push_back(random_msg(big, type));
    }
    return all;
}

TEST(ZorMsgCodec, BytesOfAKnownRecord)
{
    zor_msg_t in{};
    in.type = ZOR_MSG_TLOC_DEL;
    in.sender = 2;
    zor_msg_tloc_t &t = in.body.tloc;
    t.key.addr = ip_addr_v4(0x0a010103);
    t.key.color = 4;
    t.key.encap = 2;
    t.origin = 1;
    t.status = 1;
    t.index = 7;
    t.path_count = 1;
    t.paths[0] = {1, 2, 1500, 1, {}, {32770, 0, 0}};
    t.attr.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    t.attr.weight = 255;  // WEIGHT bit clear: still carried
    t.attr.carrier = 3;   // CARRIER bit clear: still carried
    t.attr.group_count = 2;
    t.attr.groups[1] = 7;
    t.lr_hold_time = 30;
    const std::string want = std::string("01") + "06" + "02000000" + "00000000"  // version, type, sender, family
                             + "02000000" + "0301010a" + "04" + "02"             // 10.1.1.3, colour, encap
                             + "01" + "01000000" + "00000000" + "07000000"       // origin, status, inactive, index
                             + "01" + "01000000" + "02000000" + "dc050000"       // one path: indexes, mtu
                             + "01" + "02800000"                                 // one label
                             + "0000200000000000" + "ff000000" + "03"            // flags, weight, carrier
                             + "0200" + "00000000" + "07000000"                  // two groups
                             + "00" + "1e000000";                                // lr_enabled, lr_hold_time
    bytes_t bytes = encode(in);
    EXPECT_EQ(hex(bytes), want);

    // What the encoding does not carry comes back zero.
    zor_msg_t noise = in;
    noise.pad[0] = 9;
    noise.body.tloc.key.addr.u.v6[8] = 0x77;  // not part of an IPv4 address
    memset(noise.body.tloc.reserved, 0x11, sizeof(t.reserved));
    noise.body.tloc.paths[0].labels[2] = 99;  // beyond the label count
    noise.body.tloc.paths[1].mtu = 1400;      // beyond the path count
    noise.body.tloc.attr.preference = 5;      // PREF bit clear
    noise.body.tloc.attr.groups[5] = 9;       // beyond the group count
    strcpy(noise.body.tloc.qos_group, "gold");  // QOS-GROUP bit clear
    EXPECT_EQ(encode(noise), bytes);
    zor_msg_t out;
    ASSERT_EQ(decode_exact(&out, bytes, bytes.size()), 0);
    EXPECT_EQ(memcmp(&out, &in, sizeof(in)), 0);
}

TEST(ZorMsgCodec, EveryTypeRoundTripsAndTheLargestFitsTheBuffer)
{
    for (uint32_t seed = 1; seed <= 300; seed++) {
        for (const zor_msg_t &in : samples(seed)) {
            bytes_t bytes = encode(in);
            ASSERT_FALSE(bytes.empty()) << "type " << in.type << " seed " << seed;
            zor_msg_t out;
            ASSERT_EQ(decode_exact(&out, bytes, bytes.size()), 0) << "type " << in.type << " seed " << seed;
            ASSERT_EQ(memcmp(&in, &out, sizeof(in)), 0) << "type " << in.type << " seed " << seed;
        }
    }
}

TEST(ZorMsgCodec, EveryTruncationAndTrailingByteIsRejected)
{
    for (const zor_msg_t &m : samples(99)) {
        bytes_t bytes = encode(m);
        zor_msg_t out;
        for (size_t len = 0; len < bytes.size(); len++) {
            ASSERT_NE(decode_exact(&out, bytes, len), 0) << "type " << m.type << " length " << len;
        }
        bytes.push_back(0);
        EXPECT_NE(decode_exact(&out, bytes, bytes.size()), 0) << "type " << m.type;
    }
}

TEST(ZorMsgCodec, UnknownAndInconsistentInputIsRejected)
{
    zor_msg_t out;
    rnd r(5);
    bytes_t good = encode(random_msg(r, ZOR_MSG_REGISTER));
    ASSERT_EQ(decode_exact(&out, good, good.size()), 0);
    bytes_t huge(ZOR_MSG_ENCODE_MAX + 1, 0);
    huge[0] = ZOR_MSG_FORMAT_VERSION;
    huge[1] = ZOR_MSG_TRACKER_ADD;
    EXPECT_NE(decode_exact(&out, huge, huge.size()), 0) << "longer than any message";
    for (uint8_t v : {uint8_t{0}, uint8_t{2}, uint8_t{255}}) {
        bytes_t other = good;
        other[0] = v;
        EXPECT_NE(decode_exact(&out, other, other.size()), 0) << "version " << int(v);
    }
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    for (uint32_t type : {0u, 21u, 255u, 0x105u /* would alias type 5 in a byte */}) {
        bytes_t other = good;
        other[1] = static_cast<uint8_t>(type);
        if (type <= 255) {
            EXPECT_NE(decode_exact(&out, other, other.size()), 0) << "type " << type;
        }
        zor_msg_t m{};
        m.type = type;
        len = 1;
        EXPECT_NE(zor_msg_encode(&m, buf, &len), 0) << "type " << type;
        EXPECT_EQ(len, 0u);
    }

    // Counts above their limits, and a record too large for the buffer, are
    // refused by encode...
    struct {
        uint32_t type;
        void (*spoil)(zor_msg_t *);
    } const cases[] = {
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.path_count = ZOR_TLOC_PATH_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.paths[0].label_count = ZOR_TLOC_PATH_LABEL_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.attr.group_count = ZOR_TLOC_GROUP_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.attr.sec.proto_count = ZOR_TLOC_SEC_PROTO_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD,
         [](zor_msg_t *m) { m->body.tloc.attr.sec.enc_type_count = ZOR_TLOC_SEC_ENC_TYPE_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.attr.sec.auth_key_count = ZOR_TLOC_SEC_KEY_MAX + 1; }},
        {ZOR_MSG_TLOC_ADD, [](zor_msg_t *m) { m->body.tloc.attr.sec.enc_key_count = ZOR_TLOC_SEC_KEY_MAX + 1; }},
        {ZOR_MSG_CTRL_DEVICE_ADD,
         [](zor_msg_t *m) { m->body.ctrl_device.region_count = ZOR_MSG_CTRL_DEVICE_REGION_MAX + 1; }},
        {ZOR_MSG_CTRL_DEVICE_ADD,
         [](zor_msg_t *m) { m->body.ctrl_device.region_count = ZOR_MSG_CTRL_DEVICE_REGION_MAX; }},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        rnd big(1, true);
        zor_msg_t m = random_msg(big, cases[i].type);
        if (m.type == ZOR_MSG_TLOC_ADD) {
            m.body.tloc.path_count = 1;  // room for the extra entries
        }
        cases[i].spoil(&m);
        EXPECT_NE(zor_msg_encode(&m, buf, &len), 0) << i;
    }
    // ... and the same counts forged into bytes are refused by decode: in a
    // TLOC record with an IPv4 key the path count is byte 33 and the first
    // path's label count byte 46.
    zor_msg_t small{};
    small.type = ZOR_MSG_TLOC_DEL;
    small.body.tloc.key.addr = ip_addr_v4(1);
    small.body.tloc.path_count = 1;
    bytes_t sb = encode(small);
    ASSERT_EQ(sb[33], 1);
    for (auto [pos, value] : {std::pair{33, ZOR_TLOC_PATH_MAX + 1}, {46, ZOR_TLOC_PATH_LABEL_MAX + 1}}) {
        bytes_t bad = sb;
        bad[static_cast<size_t>(pos)] = static_cast<uint8_t>(value);
        EXPECT_NE(decode_exact(&out, bad, bad.size()), 0) << pos;
    }

    // A text holding a NUL, or longer than its field (after the 10-byte
    // header: the name's u16 length, then its bytes).
    zor_msg_t tr{};
    tr.type = ZOR_MSG_TRACKER_STATUS;
    strcpy(tr.body.tracker.name, "abc");
    bytes_t tb = encode(tr);
    ASSERT_EQ(hex(bytes_t(tb.begin() + 10, tb.begin() + 15)), "0300616263");
    bytes_t bad = tb;
    bad[13] = 0;
    EXPECT_NE(decode_exact(&out, bad, bad.size()), 0);
    bad = tb;
    bad[10] = 0x47;  // 327
    bad[11] = 0x01;
    EXPECT_NE(decode_exact(&out, bad, bad.size()), 0);
}

TEST(ZorMsgCodec, MutatedInputIsEitherRejectedOrCanonical)
{
    // Whatever decode accepts, encode gives back byte for byte.
    rnd r(4242);
    size_t accepted = 0;
    for (int round = 0; round < 4000; round++) {
        bytes_t bytes = encode(random_msg(r, 1 + r.below(ZOR_MSG_TYPE_MAX)));
        int flips = 1 + static_cast<int>(r.below(3));
        for (int i = 0; i < flips; i++) {
            bytes[r.below(static_cast<uint32_t>(bytes.size()))] ^= static_cast<uint8_t>(1u << r.below(8));
        }
        if (r.below(4) == 0) {
            bytes.resize(r.below(static_cast<uint32_t>(bytes.size()) + 8), 0);
        }
        zor_msg_t out;
        if (decode_exact(&out, bytes, bytes.size()) == 0) {
            accepted++;
            ASSERT_EQ(encode(out), bytes);
        }
    }
    EXPECT_GT(accepted, 0u);
}

}  // namespace
