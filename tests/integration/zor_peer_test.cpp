// zor-peer as a real process against a fake zord: a message-queue server
// handle of this test (source zord, target the peer's module) receives what
// the peer's script lines send and sends the peer messages whose JSON lines
// are read back field by field.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "json_reader.h"
#include "msgq_test_support.h"
#include "ost_util.h"
#include "zor_msg.h"

namespace {

using namespace std::chrono_literals;

uint64_t bit(int b)
{
    return ZOR_TLOC_ATTR_BIT(b);
}

ip_addr_t v4(const char *text)
{
    ip_addr_t a{};
    EXPECT_EQ(ip_addr_from_str(text, &a), 1) << text;
    return a;
}

ip_addr_t v6(const char *text)
{
    ip_addr_t a{};
    EXPECT_EQ(ip_addr_from_str(text, &a), 1) << text;
    EXPECT_EQ(a.family, static_cast<uint32_t>(IP_AF_INET6)) << text;
    return a;
}

zor_tloc_key_t key(const char *addr, uint8_t color, uint8_t encap)
{
    zor_tloc_key_t k{};
    k.addr = v4(addr);
    k.color = color;
    k.encap = encap;
    return k;
}

bool same_key(const zor_tloc_key_t &a, const zor_tloc_key_t &b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

bool same_addr(const ip_addr_t &a, const ip_addr_t &b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

class ZorPeer : public zt::MsgqTest {
protected:
    std::unique_ptr<zt::Process> peer;

    void TearDown() override
    {
        peer.reset();
        MsgqTest::TearDown();
    }

    std::string write_script(const std::string &text, const std::string &name = "script.zp")
    {
        std::string path = rundir.file(name);
        std::ofstream(path) << text;
        return path;
    }

    void start(const std::string &module, const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"--module", module, "--run-dir", rundir.path()};
        all.insert(all.end(), args.begin(), args.end());
        peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), all);
    }

    void start_script(const std::string &module, const std::string &script, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--script", write_script(script), "--idle", "200"});
        start(module, args);
    }

    // Runs the loop until the recorder holds n messages (the peer's output
    // is read meanwhile, so it never blocks on a full pipe).
    bool receive(zt::MsgqRecorder &rec, size_t n)
    {
        return loop.run_until(
            [&] {
                peer->poll_output();
                return rec.msgs.size() >= n;
            },
            20s);
    }

    bool wait_events(zt::MsgqRecorder &rec, const std::string &event, size_t n)
    {
        return loop.run_until(
            [&] {
                peer->poll_output();
                return rec.count(event) >= n;
            },
            20s);
    }

    // Waits for the peer to end while the loop keeps serving its socket.
    bool finish()
    {
        bool ended = loop.run_until([&] { return peer->wait_exit(0ms); }, 20s);
        loop.settle();
        return ended;
    }

    static zor_msg_t decode(const std::string &payload)
    {
        zor_msg_t m;
        EXPECT_EQ(zor_msg_decode(&m, reinterpret_cast<const uint8_t *>(payload.data()),
                                 static_cast<uint16_t>(payload.size())),
                  0);
        return m;
    }

    int send(msgq_handle_t *h, const zor_msg_t &m)
    {
        uint8_t buf[ZOR_MSG_ENCODE_MAX];
        uint16_t len = 0;
        EXPECT_EQ(zor_msg_encode(&m, buf, &len), 0);
        return write(h, std::string(reinterpret_cast<char *>(buf), len));
    }

    std::vector<zt::Json> json_lines() const
    {
        std::vector<zt::Json> out;
        for (const std::string &line : zt::split_lines(peer->out())) {
            out.push_back(zt::json(line));
        }
        return out;
    }
};

TEST_F(ZorPeer, EveryScriptLineSendsItsMessage)
{
    zt::MsgqRecorder &rec = recorder();
    ASSERT_NE(server(OST_MODULE_ADVD, &rec), nullptr);
    const std::string script = R"(# every message line once
register TLOC-IPV4 originate=1
register link announce=0 originate=1
unregister tracker
tloc-add 10.1.1.1:biz-internet:ipsec origin=local pref=100 weight=5 site=200 region=7 version=3 gen-id=9 carrier=2 stale=1 restrict=1 on-demand=1 border=1 groups=0,11,12 encap=ipsec spi=256 integrity=0x18 cipher=4 security=spi:4096,flags:1,sa:3,proto:0+1,enc:0+3,integrity:0,auth-keys:1,enc-keys:2 installed=1 capability=0x1234567890 bandwidth=1000 qos=gold-class lr=1 lr-hold=30 public=198.51.100.1:12346 private=[2001:db8::5]:500
tloc-add 2001:db8::1:lte:gre
tloc-del 10.1.1.1:3:1 origin=local
bfd 10.1.1.1:biz-internet:ipsec state=down
data-device-state 10.9.9.9 state=inactive family=DATA-DEVICE-IPV6
link-add 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre origin=local bfd=up mtu=1400 label=32770 pref=3 stale=1 loss=4 latency=5 jitter=6 tun-rec=7 local-index=32771 remote-index=32772
link-del 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre
link-status 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre bfd=down mtu=1300 tun-rec=9 loss=1 latency=2 jitter=3
ctrl-device-add 10.3.3.3 type=Solon state=up staging=1 regions=1,2,65535
ctrl-device-del 2001:db8::3
vpn-sec-add vpn=10 ip=10.4.4.4 origin=local encap=gre key=77 pref=5
vpn-sec-del vpn=10 ip=10.4.4.4
peer-sec-add vpn=11 origin-ip=10.5.5.5 dest-ip=2001:db8::6 encap=ipsec spi=1 integrity=8 cipher=2
peer-sec-del vpn=11 origin-ip=10.5.5.5 dest-ip=2001:db8::6
tracker-add name="web tracker" attach=ge0/0 vpn=12 status=down word1=1 word2=2 opaque=0a0b
tracker-del name=t1 attach=a1 vpn=13
tracker-status name=t1 attach=a1 vpn=13 status=up
data-device-add 10.6.6.6 status=down
data-device-del 10.6.6.6 sender=xfwd family=9
raw 01 02:03
raw-stream afbe0b00 01 02 02 0c 04-05-06
)";
    start_script("advd", script);
    const size_t n = 24;
    ASSERT_TRUE(receive(rec, n)) << peer->err();
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(peer->err(), "");
    ASSERT_EQ(rec.msgs.size(), n);

    EXPECT_EQ(rec.msgs[22], std::string("\x01\x02\x03")) << "raw: the bytes as one message";
    EXPECT_EQ(rec.msgs[23], std::string("\x04\x05\x06")) << "raw-stream: framed by the script itself";
    std::vector<zor_msg_t> m;
    for (size_t i = 0; i < 22; i++) {
        m.push_back(decode(rec.msgs[i]));
        EXPECT_EQ(m[i].sender, i == 21 ? 3u : 1u) << "message " << i;
    }

    EXPECT_EQ(m[0].type, static_cast<uint32_t>(ZOR_MSG_REGISTER));
    EXPECT_EQ(m[0].family, 0u);
    EXPECT_EQ(m[0].body.reg.announce, 1);
    EXPECT_EQ(m[0].body.reg.originate, 1);
    EXPECT_EQ(m[1].family, 8u);
    EXPECT_EQ(m[1].body.reg.announce, 0);
    EXPECT_EQ(m[1].body.reg.originate, 1);
    EXPECT_EQ(m[2].type, static_cast<uint32_t>(ZOR_MSG_UNREGISTER));
    EXPECT_EQ(m[2].family, 9u);

    // The full TLOC add: every key with its presence bit.
    const zor_msg_tloc_t &t = m[3].body.tloc;
    EXPECT_EQ(m[3].type, static_cast<uint32_t>(ZOR_MSG_TLOC_ADD));
    EXPECT_EQ(m[3].family, 0u);
    EXPECT_TRUE(same_key(t.key, key("10.1.1.1", 4, 2)));
    EXPECT_EQ(t.origin, 1);
    const uint64_t flags = bit(ZOR_TLOC_ATTR_PREF) | bit(ZOR_TLOC_ATTR_WEIGHT) | bit(ZOR_TLOC_ATTR_SITE_ID) |
                           bit(ZOR_TLOC_ATTR_REGION_ID) | bit(ZOR_TLOC_ATTR_VERSION) | bit(ZOR_TLOC_ATTR_GEN_ID) |
                           bit(ZOR_TLOC_ATTR_CARRIER) | bit(ZOR_TLOC_ATTR_STALE) | bit(ZOR_TLOC_ATTR_RESTRICT) |
                           bit(ZOR_TLOC_ATTR_ON_DEMAND) | bit(ZOR_TLOC_ATTR_BORDER) | bit(ZOR_TLOC_ATTR_GROUP) |
                           bit(ZOR_TLOC_ATTR_ENCAP) | bit(ZOR_TLOC_ATTR_SECURITY) | bit(ZOR_TLOC_ATTR_INSTALLED) |
                           bit(ZOR_TLOC_ATTR_CAPABILITY) | bit(ZOR_TLOC_ATTR_BANDWIDTH) |
                           bit(ZOR_TLOC_ATTR_QOS_GROUP) | bit(ZOR_TLOC_ATTR_TLOCV4_PUB) |
                           bit(ZOR_TLOC_ATTR_TLOCV6_PRI);
    EXPECT_EQ(t.attr.flags, flags);
    EXPECT_EQ(t.attr.preference, 100u);
    EXPECT_EQ(t.attr.weight, 5u);
    EXPECT_EQ(t.attr.site_id, 200u);
    EXPECT_EQ(t.attr.region_id, 7);
    EXPECT_EQ(t.attr.version, 3u);
    EXPECT_EQ(t.attr.gen_id, 9u);
    EXPECT_EQ(t.attr.carrier, 2);
    EXPECT_EQ(t.attr.stale, 1);
    EXPECT_EQ(t.attr.restricted, 1);
    EXPECT_EQ(t.attr.on_demand, 1);
    EXPECT_EQ(t.attr.border, 1);
    ASSERT_EQ(t.attr.group_count, 3);
    EXPECT_EQ(t.attr.groups[0], 0u);
    EXPECT_EQ(t.attr.groups[1], 11u);
    EXPECT_EQ(t.attr.groups[2], 12u);
    EXPECT_EQ(t.attr.encap, static_cast<uint32_t>(ZOR_TUNNEL_ENCAP_IPSEC));
    EXPECT_EQ(t.attr.spi, 256u);
    EXPECT_EQ(t.attr.integrity, 0x18u);
    EXPECT_EQ(t.attr.cipher, 4u);
    EXPECT_EQ(t.attr.sec.spi, 4096u);
    EXPECT_EQ(t.attr.sec.flags, 1);
    EXPECT_EQ(t.attr.sec.inbound_sa_index, 3);
    ASSERT_EQ(t.attr.sec.proto_count, 2);
    EXPECT_EQ(t.attr.sec.protos[1], 1u);
    ASSERT_EQ(t.attr.sec.enc_type_count, 2);
    EXPECT_EQ(t.attr.sec.enc_types[1], 3u);
    EXPECT_EQ(t.attr.sec.integrity_count, 1);
    EXPECT_EQ(t.attr.sec.auth_key_count, 1);
    EXPECT_EQ(t.attr.sec.enc_key_count, 2);
    EXPECT_NE(t.attr.sec.enc_keys[1].key[0], 0) << "key bytes are filled, so zeroing them shows";
    EXPECT_NE(t.attr.sec.enc_keys[1].key[63], 0);
    EXPECT_NE(memcmp(t.attr.sec.enc_keys[0].key, t.attr.sec.enc_keys[1].key, ZOR_TLOC_SEC_KEY_LEN), 0);
    EXPECT_EQ(t.attr.installed, 1);
    EXPECT_EQ(t.attr.capability, 0x1234567890u);
    EXPECT_EQ(t.attr.bandwidth, 1000u);
    EXPECT_STREQ(t.qos_group, "gold-class");
    EXPECT_EQ(t.lr_enabled, 1);
    EXPECT_EQ(t.lr_hold_time, 30u);
    EXPECT_TRUE(same_addr(t.attr.tloc_v4_public.addr, v4("198.51.100.1")));
    EXPECT_EQ(t.attr.tloc_v4_public.port, 12346);
    EXPECT_TRUE(same_addr(t.attr.tloc_v6_private.addr, v6("2001:db8::5")));
    EXPECT_EQ(t.attr.tloc_v6_private.port, 500);

    // The bare TLOC add: IPv6 family, remote, carrier 1 without its bit.
    const zor_msg_tloc_t &t6 = m[4].body.tloc;
    EXPECT_EQ(m[4].family, 1u);
    EXPECT_TRUE(same_addr(t6.key.addr, v6("2001:db8::1")));
    EXPECT_EQ(t6.key.color, 6);
    EXPECT_EQ(t6.key.encap, 1);
    EXPECT_EQ(t6.origin, 2);
    EXPECT_EQ(t6.attr.flags, 0u);
    EXPECT_EQ(t6.attr.carrier, 1);
    EXPECT_EQ(t6.attr.weight, 0u);

    EXPECT_EQ(m[5].type, static_cast<uint32_t>(ZOR_MSG_TLOC_DEL));
    EXPECT_TRUE(same_key(m[5].body.tloc.key, key("10.1.1.1", 3, 1)));
    EXPECT_EQ(m[5].body.tloc.origin, 1);

    EXPECT_EQ(m[6].type, static_cast<uint32_t>(ZOR_MSG_TLOC_BFD_STATUS));
    EXPECT_EQ(m[6].family, 0u);
    EXPECT_TRUE(same_key(m[6].body.bfd.key, key("10.1.1.1", 4, 2)));
    EXPECT_EQ(m[6].body.bfd.status, 0u);

    EXPECT_EQ(m[7].type, static_cast<uint32_t>(ZOR_MSG_DATA_DEVICE_STATE));
    EXPECT_EQ(m[7].family, 5u) << "family= replaces the family of the address";
    EXPECT_TRUE(same_addr(m[7].body.data_device_state.addr, v4("10.9.9.9")));
    EXPECT_EQ(m[7].body.data_device_state.state, 2u);

    const zor_msg_link_t &l = m[8].body.link;
    EXPECT_EQ(m[8].type, static_cast<uint32_t>(ZOR_MSG_LINK_ADD));
    EXPECT_EQ(m[8].family, 8u);
    EXPECT_TRUE(same_key(l.local, key("10.1.1.1", 4, 2))) << "the local end comes first on the line";
    EXPECT_TRUE(same_key(l.remote, key("10.2.2.2", 6, 1)));
    EXPECT_EQ(l.origin, 1);
    EXPECT_EQ(l.status, 1u);
    EXPECT_EQ(l.mtu, 1400u);
    EXPECT_EQ(l.label, 32770u);
    EXPECT_EQ(l.preference, 3u);
    EXPECT_EQ(l.stale, 1);
    EXPECT_EQ(l.loss, 4u);
    EXPECT_EQ(l.latency, 5u);
    EXPECT_EQ(l.jitter, 6u);
    EXPECT_EQ(l.tun_rec_index, 7);
    EXPECT_EQ(l.local_index, 32771u);
    EXPECT_EQ(l.remote_index, 32772u);
    EXPECT_EQ(m[9].type, static_cast<uint32_t>(ZOR_MSG_LINK_DEL));
    EXPECT_TRUE(same_key(m[9].body.link.local, key("10.1.1.1", 4, 2)));
    EXPECT_EQ(m[9].body.link.origin, 2);

    const zor_msg_link_status_t &ls = m[10].body.link_status;
    EXPECT_EQ(m[10].type, static_cast<uint32_t>(ZOR_MSG_LINK_STATUS));
    EXPECT_TRUE(same_key(ls.local, key("10.1.1.1", 4, 2)));
    EXPECT_TRUE(same_key(ls.remote, key("10.2.2.2", 6, 1)));
    EXPECT_EQ(ls.bfd_status, 0u);
    EXPECT_EQ(ls.mtu, 1300u);
    EXPECT_EQ(ls.tun_rec_index, 9);
    EXPECT_EQ(ls.loss, 1u);
    EXPECT_EQ(ls.latency, 2u);
    EXPECT_EQ(ls.jitter, 3u);

    const zor_msg_ctrl_device_t &c = m[11].body.ctrl_device;
    EXPECT_EQ(m[11].type, static_cast<uint32_t>(ZOR_MSG_CTRL_DEVICE_ADD));
    EXPECT_EQ(m[11].family, 2u);
    EXPECT_EQ(c.type, 3u);
    EXPECT_EQ(c.state, 1u);
    EXPECT_EQ(c.staging, 1);
    ASSERT_EQ(c.region_count, 3);
    EXPECT_EQ(c.region_ids[2], 65535);
    EXPECT_EQ(m[12].type, static_cast<uint32_t>(ZOR_MSG_CTRL_DEVICE_DEL));
    EXPECT_EQ(m[12].family, 3u);

    const zor_msg_vpn_sec_t &vs = m[13].body.vpn_sec;
    EXPECT_EQ(m[13].type, static_cast<uint32_t>(ZOR_MSG_VPN_SEC_ADD));
    EXPECT_EQ(m[13].family, 6u);
    EXPECT_EQ(vs.vpn_id, 10u);
    EXPECT_TRUE(same_addr(vs.remote, v4("10.4.4.4")));
    EXPECT_EQ(vs.origin, 1);
    EXPECT_EQ(vs.attr.flags, bit(ZOR_TLOC_ATTR_ENCAP) | bit(ZOR_TLOC_ATTR_PREF));
    EXPECT_EQ(vs.attr.encap, static_cast<uint32_t>(ZOR_TUNNEL_ENCAP_GRE));
    EXPECT_EQ(vs.attr.encap_key, 77u);
    EXPECT_EQ(m[14].type, static_cast<uint32_t>(ZOR_MSG_VPN_SEC_DEL));
    EXPECT_EQ(m[14].body.vpn_sec.vpn_id, 10u);
    EXPECT_EQ(m[14].body.vpn_sec.attr.flags, 0u);

    const zor_msg_peer_sec_t &ps = m[15].body.peer_sec;
    EXPECT_EQ(m[15].type, static_cast<uint32_t>(ZOR_MSG_PEER_SEC_ADD));
    EXPECT_EQ(m[15].family, 7u);
    EXPECT_EQ(ps.vpn_id, 11u);
    EXPECT_TRUE(same_addr(ps.origin_ip, v4("10.5.5.5")));
    EXPECT_TRUE(same_addr(ps.dest_ip, v6("2001:db8::6")));
    EXPECT_EQ(ps.origin, 2);
    EXPECT_EQ(ps.attr.spi, 1u);
    EXPECT_EQ(ps.attr.integrity, 8u);
    EXPECT_EQ(ps.attr.cipher, 2u);
    EXPECT_EQ(m[16].type, static_cast<uint32_t>(ZOR_MSG_PEER_SEC_DEL));
    EXPECT_TRUE(same_addr(m[16].body.peer_sec.dest_ip, v6("2001:db8::6")));

    const zor_msg_tracker_t &tr = m[17].body.tracker;
    EXPECT_EQ(m[17].type, static_cast<uint32_t>(ZOR_MSG_TRACKER_ADD));
    EXPECT_EQ(m[17].family, 9u);
    EXPECT_STREQ(tr.name, "web tracker");
    EXPECT_STREQ(tr.attach_point, "ge0/0");
    EXPECT_EQ(tr.vpn_id, 12u);
    EXPECT_EQ(tr.status, 0u);
    EXPECT_EQ(tr.opaque1, 1u);
    EXPECT_EQ(tr.opaque2, 2u);
    EXPECT_EQ(tr.opaque[0], 0x0a);
    EXPECT_EQ(tr.opaque[1], 0x0b);
    EXPECT_EQ(m[18].type, static_cast<uint32_t>(ZOR_MSG_TRACKER_DEL));
    EXPECT_STREQ(m[18].body.tracker.name, "t1");
    EXPECT_EQ(m[18].body.tracker.vpn_id, 13u);
    EXPECT_EQ(m[19].type, static_cast<uint32_t>(ZOR_MSG_TRACKER_STATUS));
    EXPECT_EQ(m[19].body.tracker.status, 1u);

    EXPECT_EQ(m[20].type, static_cast<uint32_t>(ZOR_MSG_DATA_DEVICE_ADD));
    EXPECT_EQ(m[20].family, 4u);
    EXPECT_EQ(m[20].body.data_device.status, 2u);
    EXPECT_EQ(m[21].type, static_cast<uint32_t>(ZOR_MSG_DATA_DEVICE_DEL));
    EXPECT_EQ(m[21].family, 9u);
    EXPECT_EQ(m[21].sender, 3u) << "sender= replaces our module id";
}

TEST_F(ZorPeer, PrintsEveryReceivedMessageAsOneJsonLine)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_XFWD, &rec);
    ASSERT_NE(h, nullptr);
    start_script("xfwd", "wait-count 12 20000\n");
    ASSERT_TRUE(wait_events(rec, "up", 1)) << peer->err();

    std::vector<zor_msg_t> msgs;
    zor_msg_t m{};
    m.type = ZOR_MSG_TLOC_ADD;
    m.sender = 2;
    m.family = 0;
    zor_msg_tloc_t &t = m.body.tloc;
    t.key = key("10.1.1.1", 4, 2);
    t.origin = 2;
    t.status = 1;
    t.inactive = 0;
    t.index = 32770;
    t.path_count = 2;
    t.paths[0] = {32771, 32772, 1400, 2, {}, {40000, 40001, 0}};
    t.paths[1] = {32773, 32774, 1300, 1, {}, {40002, 0, 0}};
    t.attr.flags = bit(ZOR_TLOC_ATTR_PREF) | bit(ZOR_TLOC_ATTR_WEIGHT) | bit(ZOR_TLOC_ATTR_SITE_ID) |
                   bit(ZOR_TLOC_ATTR_REGION_ID) | bit(ZOR_TLOC_ATTR_GROUP) | bit(ZOR_TLOC_ATTR_BORDER) |
                   bit(ZOR_TLOC_ATTR_ENCAP) | bit(ZOR_TLOC_ATTR_SECURITY) | bit(ZOR_TLOC_ATTR_BANDWIDTH) |
                   bit(ZOR_TLOC_ATTR_QOS_GROUP) | bit(ZOR_TLOC_ATTR_TLOCV4_PUB) | bit(ZOR_TLOC_ATTR_CAPABILITY);
    t.attr.preference = 100;
    t.attr.weight = 7;
    t.attr.site_id = 200;
    t.attr.region_id = 3;
    t.attr.group_count = 2;
    t.attr.groups[0] = 0;
    t.attr.groups[1] = 5;
    t.attr.border = 1;
    t.attr.encap = ZOR_TUNNEL_ENCAP_GRE;
    t.attr.encap_key = 99;
    t.attr.sec.spi = 4096;
    t.attr.sec.proto_count = 1;
    t.attr.sec.protos[0] = 2;
    t.attr.sec.enc_key_count = 1;
    memset(t.attr.sec.enc_keys[0].key, 0xab, ZOR_TLOC_SEC_KEY_LEN);
    t.attr.bandwidth = 5000;
    t.attr.capability = 0xffffffffffffffffull;
    t.attr.carrier = 3;  // travels, but its bit is clear: not in "attr"
    t.attr.tloc_v4_public.addr = v4("198.51.100.7");
    t.attr.tloc_v4_public.port = 12346;
    strcpy(t.qos_group, "gold");
    t.lr_enabled = 1;
    t.lr_hold_time = 30;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_TLOC_DEL;
    m.sender = 2;
    m.family = 1;
    m.body.tloc.key.addr = v6("2001:db8::1");
    m.body.tloc.key.color = 30;  // no name: printed as a number
    m.body.tloc.key.encap = 1;
    m.body.tloc.origin = 1;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_LINK_ADD;
    m.sender = 2;
    m.family = 8;
    m.body.link = {key("10.2.2.2", 6, 1), key("10.1.1.1", 4, 2), 32772, 32771, 1, {}, 2, 1400, 32800, 4, 1, {},
                   11, 12, 13, 14};
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_CTRL_DEVICE_ADD;
    m.sender = 2;
    m.family = 2;
    m.body.ctrl_device.addr = v4("10.3.3.3");
    m.body.ctrl_device.type = 4;
    m.body.ctrl_device.state = 1;
    m.body.ctrl_device.staging = 1;
    m.body.ctrl_device.region_count = 2;
    m.body.ctrl_device.region_ids[0] = 7;
    m.body.ctrl_device.region_ids[1] = 8;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_DATA_DEVICE_ADD;
    m.sender = 2;
    m.family = 4;
    m.body.data_device.addr = v4("10.4.4.4");
    m.body.data_device.status = 1;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_VPN_SEC_ADD;
    m.sender = 2;
    m.family = 6;
    m.body.vpn_sec.vpn_id = 10;
    m.body.vpn_sec.remote = v4("10.5.5.5");
    m.body.vpn_sec.origin = 1;
    m.body.vpn_sec.attr.flags = bit(ZOR_TLOC_ATTR_ENCAP);
    m.body.vpn_sec.attr.encap = ZOR_TUNNEL_ENCAP_IPSEC;
    m.body.vpn_sec.attr.spi = 300;
    m.body.vpn_sec.attr.integrity = 0x18;
    m.body.vpn_sec.attr.cipher = 2;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_PEER_SEC_DEL;
    m.sender = 2;
    m.family = 7;
    m.body.peer_sec.vpn_id = 11;
    m.body.peer_sec.origin_ip = v4("10.6.6.6");
    m.body.peer_sec.dest_ip = v6("2001:db8::7");
    m.body.peer_sec.origin = 2;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_TRACKER_STATUS;
    m.sender = 2;
    m.family = 9;
    const std::string odd_name = "tr \"one\"\\\t\xc3\xa9";
    strcpy(m.body.tracker.name, odd_name.c_str());
    strcpy(m.body.tracker.attach_point, "ge0/1");
    m.body.tracker.vpn_id = 12;
    m.body.tracker.status = 1;
    m.body.tracker.opaque1 = 5;
    m.body.tracker.opaque[0] = 0xfe;
    m.body.tracker.opaque[3] = 0x01;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_REGISTER;
    m.sender = 2;
    m.family = 8;
    m.body.reg.announce = 1;
    m.body.reg.originate = 1;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_DATA_DEVICE_STATE;
    m.sender = 3;
    m.family = 4;
    m.body.data_device_state.addr = v4("10.7.7.7");
    m.body.data_device_state.state = 2;
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_LINK_STATUS;
    m.sender = 2;
    m.family = 8;
    m.body.link_status = {key("10.2.2.2", 6, 1), key("10.1.1.1", 4, 2), 1, 1500, 21, {}, 1, 2, 3};
    msgs.push_back(m);

    m = {};
    m.type = ZOR_MSG_TLOC_BFD_STATUS;
    m.sender = 2;
    m.family = 0;
    m.body.bfd.key = key("10.1.1.1", 4, 2);
    m.body.bfd.status = 2;
    msgs.push_back(m);

    for (const zor_msg_t &msg : msgs) {
        ASSERT_EQ(send(h, msg), 0);
    }
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    std::vector<zt::Json> j = json_lines();
    ASSERT_EQ(j.size(), msgs.size()) << peer->out();

    using K = std::vector<std::string>;
    EXPECT_EQ(j[0].keys(), (K{"type", "type_id", "family", "sender", "tloc", "origin", "status", "inactive", "index",
                              "lr_enabled", "lr_hold_time", "paths", "attr", "bandwidth", "qos"}));
    EXPECT_EQ(j[0]["type"].str(), "TLOC_ADD");
    EXPECT_EQ(j[0]["type_id"].u64(), 5u);
    EXPECT_EQ(j[0]["family"].str(), "TLOC-IPV4");
    EXPECT_EQ(j[0]["sender"].u64(), 2u);
    EXPECT_EQ(j[0]["tloc"].str(), "10.1.1.1:biz-internet:ipsec");
    EXPECT_EQ(j[0]["origin"].u64(), 2u);
    EXPECT_EQ(j[0]["status"].u64(), 1u);
    EXPECT_EQ(j[0]["inactive"].u64(), 0u);
    EXPECT_EQ(j[0]["index"].u64(), 32770u);
    EXPECT_EQ(j[0]["lr_enabled"].u64(), 1u);
    EXPECT_EQ(j[0]["lr_hold_time"].u64(), 30u);
    const zt::Json &paths = j[0]["paths"];
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].keys(), (K{"local", "border", "mtu", "labels"}));
    EXPECT_EQ(paths[0]["local"].u64(), 32771u);
    EXPECT_EQ(paths[0]["border"].u64(), 32772u);
    EXPECT_EQ(paths[0]["mtu"].u64(), 1400u);
    EXPECT_EQ(paths[0]["labels"].u64s(), (std::vector<uint64_t>{40000, 40001}));
    EXPECT_EQ(paths[1]["labels"].u64s(), (std::vector<uint64_t>{40002}));
    const zt::Json &attr = j[0]["attr"];
    EXPECT_EQ(attr.keys(), (K{"pref", "weight", "site", "region", "border", "groups", "encap", "key", "security",
                              "capability", "bandwidth", "public"}));
    EXPECT_EQ(attr["pref"].u64(), 100u);
    EXPECT_EQ(attr["weight"].u64(), 7u);
    EXPECT_EQ(attr["site"].u64(), 200u);
    EXPECT_EQ(attr["region"].u64(), 3u);
    EXPECT_EQ(attr["border"].u64(), 1u);
    EXPECT_EQ(attr["groups"].u64s(), (std::vector<uint64_t>{0, 5}));
    EXPECT_EQ(attr["encap"].str(), "gre");
    EXPECT_EQ(attr["key"].u64(), 99u);
    EXPECT_EQ(attr["security"]["spi"].u64(), 4096u);
    EXPECT_EQ(attr["security"]["proto"].u64s(), (std::vector<uint64_t>{2}));
    EXPECT_EQ(attr["security"]["enc"].u64s(), (std::vector<uint64_t>{}));
    ASSERT_EQ(attr["security"]["enc-keys"].size(), 1u);
    std::string ab;
    for (int i = 0; i < ZOR_TLOC_SEC_KEY_LEN; i++) {
        ab += "ab";
    }
    EXPECT_EQ(attr["security"]["enc-keys"][0].str(), ab);
    EXPECT_EQ(attr["capability"].u64(), 0xffffffffffffffffull);
    EXPECT_EQ(attr["bandwidth"].u64(), 5000u);
    EXPECT_EQ(attr["public"].str(), "198.51.100.7:12346");
    EXPECT_EQ(j[0]["bandwidth"].u64(), 5000u);
    EXPECT_EQ(j[0]["qos"].str(), "gold");

    EXPECT_EQ(j[1]["type"].str(), "TLOC_DEL");
    EXPECT_EQ(j[1]["family"].str(), "TLOC-IPV6");
    EXPECT_EQ(j[1]["tloc"].str(), "2001:db8::1:30:gre");
    EXPECT_EQ(j[1]["origin"].u64(), 1u);
    EXPECT_EQ(j[1]["paths"].size(), 0u);
    EXPECT_EQ(j[1]["attr"].size(), 0u);
    EXPECT_EQ(j[1]["qos"].str(), "");

    EXPECT_EQ(j[2].keys(), (K{"type", "type_id", "family", "sender", "local", "remote", "local_index", "remote_index",
                              "origin", "status", "mtu", "label", "preference", "stale", "loss", "latency", "jitter",
                              "tun_rec"}));
    EXPECT_EQ(j[2]["type"].str(), "LINK_ADD");
    EXPECT_EQ(j[2]["family"].str(), "LINK");
    EXPECT_EQ(j[2]["local"].str(), "10.1.1.1:biz-internet:ipsec");
    EXPECT_EQ(j[2]["remote"].str(), "10.2.2.2:lte:gre");
    EXPECT_EQ(j[2]["local_index"].u64(), 32771u);
    EXPECT_EQ(j[2]["remote_index"].u64(), 32772u);
    EXPECT_EQ(j[2]["origin"].u64(), 1u);
    EXPECT_EQ(j[2]["status"].u64(), 2u);
    EXPECT_EQ(j[2]["mtu"].u64(), 1400u);
    EXPECT_EQ(j[2]["label"].u64(), 32800u);
    EXPECT_EQ(j[2]["preference"].u64(), 4u);
    EXPECT_EQ(j[2]["stale"].u64(), 1u);
    EXPECT_EQ(j[2]["loss"].u64(), 11u);
    EXPECT_EQ(j[2]["latency"].u64(), 12u);
    EXPECT_EQ(j[2]["jitter"].u64(), 13u);
    EXPECT_EQ(j[2]["tun_rec"].u64(), 14u);

    EXPECT_EQ(j[3].keys(), (K{"type", "type_id", "family", "sender", "ip", "device_type", "state", "staging",
                              "regions"}));
    EXPECT_EQ(j[3]["family"].str(), "CTRL-DEVICE-IPV4");
    EXPECT_EQ(j[3]["ip"].str(), "10.3.3.3");
    EXPECT_EQ(j[3]["device_type"].u64(), 4u);
    EXPECT_EQ(j[3]["state"].u64(), 1u);
    EXPECT_EQ(j[3]["staging"].u64(), 1u);
    EXPECT_EQ(j[3]["regions"].u64s(), (std::vector<uint64_t>{7, 8}));

    EXPECT_EQ(j[4].keys(), (K{"type", "type_id", "family", "sender", "ip", "status"}));
    EXPECT_EQ(j[4]["type"].str(), "DATA_DEVICE_ADD");
    EXPECT_EQ(j[4]["type_id"].u64(), 11u);
    EXPECT_EQ(j[4]["family"].str(), "DATA-DEVICE-IPV4");
    EXPECT_EQ(j[4]["ip"].str(), "10.4.4.4");
    EXPECT_EQ(j[4]["status"].u64(), 1u);

    EXPECT_EQ(j[5].keys(), (K{"type", "type_id", "family", "sender", "vpn", "ip", "origin", "attr"}));
    EXPECT_EQ(j[5]["vpn"].u64(), 10u);
    EXPECT_EQ(j[5]["ip"].str(), "10.5.5.5");
    EXPECT_EQ(j[5]["origin"].u64(), 1u);
    EXPECT_EQ(j[5]["attr"].keys(), (K{"encap", "spi", "integrity", "cipher"}));
    EXPECT_EQ(j[5]["attr"]["encap"].str(), "ipsec");
    EXPECT_EQ(j[5]["attr"]["spi"].u64(), 300u);
    EXPECT_EQ(j[5]["attr"]["integrity"].u64(), 0x18u);
    EXPECT_EQ(j[5]["attr"]["cipher"].u64(), 2u);

    EXPECT_EQ(j[6].keys(), (K{"type", "type_id", "family", "sender", "vpn", "origin_ip", "dest_ip", "origin", "attr"}));
    EXPECT_EQ(j[6]["type"].str(), "PEER_SEC_DEL");
    EXPECT_EQ(j[6]["origin_ip"].str(), "10.6.6.6");
    EXPECT_EQ(j[6]["dest_ip"].str(), "2001:db8::7");

    EXPECT_EQ(j[7].keys(), (K{"type", "type_id", "family", "sender", "name", "attach", "vpn", "status", "word1",
                              "word2", "opaque"}));
    EXPECT_EQ(j[7]["type"].str(), "TRACKER_STATUS");
    EXPECT_EQ(j[7]["name"].str(), odd_name) << "quotes, backslashes, tabs and other bytes survive";
    EXPECT_EQ(j[7]["attach"].str(), "ge0/1");
    EXPECT_EQ(j[7]["vpn"].u64(), 12u);
    EXPECT_EQ(j[7]["status"].u64(), 1u);
    EXPECT_EQ(j[7]["word1"].u64(), 5u);
    EXPECT_EQ(j[7]["opaque"].str(), "fe000001");

    EXPECT_EQ(j[8].keys(), (K{"type", "type_id", "family", "sender", "announce", "originate"}));
    EXPECT_EQ(j[8]["family"].str(), "LINK");
    EXPECT_EQ(j[9].keys(), (K{"type", "type_id", "family", "sender", "ip", "state"}));
    EXPECT_EQ(j[9]["sender"].u64(), 3u);
    EXPECT_EQ(j[9]["state"].u64(), 2u);
    EXPECT_EQ(j[10].keys(), (K{"type", "type_id", "family", "sender", "local", "remote", "status", "mtu", "loss",
                               "latency", "jitter", "tun_rec"}));
    EXPECT_EQ(j[10]["local"].str(), "10.1.1.1:biz-internet:ipsec");
    EXPECT_EQ(j[10]["tun_rec"].u64(), 21u);
    EXPECT_EQ(j[11].keys(), (K{"type", "type_id", "family", "sender", "tloc", "status"}));
    EXPECT_EQ(j[11]["type"].str(), "TLOC_BFD_STATUS");
    EXPECT_EQ(j[11]["status"].u64(), 2u);
}

TEST_F(ZorPeer, BadScriptLinesStopBeforeAnythingIsSent)
{
    zt::MsgqRecorder &rec = recorder();
    ASSERT_NE(server(OST_MODULE_ADVD, &rec), nullptr);
    const std::string long_name(326, 'n');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"register TLOC-IPV4\nfoo bar\n", "2: unknown command 'foo'"},
        {"\n\n# only a comment\ntloc-add 10.1.1.1:biz-internet\n",
         "4: TLOC '10.1.1.1:biz-internet' is not ADDRESS:COLOUR:ENCAP"},
        {"tloc-add 10.1.1.1:biz:ipsec", "1: TLOC '10.1.1.1:biz:ipsec': unknown colour 'biz'"},
        {"tloc-add 10.1.1:lte:ipsec", "1: TLOC '10.1.1:lte:ipsec': '10.1.1' is not an IPv4 or IPv6 address"},
        {"tloc-add 10.1.1.1:lte:udp", "1: TLOC '10.1.1.1:lte:udp': unknown encapsulation 'udp' (gre, ipsec or a number)"},
        {"tloc-add 10.1.1.1:lte:ipsec pref=x", "1: 'pref' needs a number 0-4294967295, not 'x'"},
        {"tloc-add 10.1.1.1:lte:ipsec region=70000", "1: 'region' needs a number 0-65535, not '70000'"},
        {"tloc-add 10.1.1.1:lte:ipsec groups=1,2,3,4,5,6,7,8,9,10", "1: 'groups' takes at most 9 values, got 10"},
        {"tloc-add 10.1.1.1:lte:ipsec spi=3", "1: 'spi' belongs to the encapsulation: give encap=gre or encap=ipsec"},
        {"tloc-add 10.1.1.1:lte:ipsec pref=1 pref=2", "1: key 'pref' given twice"},
        {"tloc-add 10.1.1.1:lte:ipsec colour=red",
         "1: unknown key 'colour' for tloc-add (usage: tloc-add TLOC [key=value...])"},
        {"tloc-add 10.1.1.1:lte:ipsec security=spi:1,keys:2",
         "1: unknown security part 'keys' (spi, flags, sa, proto, enc, integrity, auth-keys, enc-keys)"},
        {"tloc-add 10.1.1.1:lte:ipsec origin=far", "1: 'origin' needs local, remote, or a number 0-255, not 'far'"},
        {"register FOO", "1: unknown family 'FOO' (a family name such as TLOC-IPV4, or a number)"},
        {"bfd 10.1.1.1:lte:ipsec", "1: bfd needs state=up|down|no-path|N"},
        {"sleep soon", "1: sleep needs a time in milliseconds 0-4294967295, not 'soon'"},
        {"disconnect now", "1: disconnect takes no arguments"},
        {"tracker-add name=\"abc attach=x vpn=1", "1: unterminated quote"},
        {"tracker-add name=" + long_name + " attach=a vpn=1", "1: 'name' is longer than 325 characters"},
        {"tracker-status name=a attach=b vpn=1", "1: tracker-status needs status=up|down|N"},
        {"link-add 10.1.1.1:lte:ipsec",
         "1: expected 2 words before the keys, got 1 (usage: link-add LOCAL-TLOC REMOTE-TLOC [key=value...])"},
        {"vpn-sec-add ip=10.0.0.1", "1: vpn-sec-add needs vpn="},
        {"peer-sec-add vpn=1 origin-ip=10.0.0.1 dest-ip=10.0.0", "1: 'dest-ip' needs an IPv4 or IPv6 address, not '10.0.0'"},
        {"ctrl-device-add 10.0.0.1 type=Router", "1: 'type' needs a personality (Brink, Nexa, Solon, Tether, Steward, ZTP) or a number, not 'Router'"},
        {"raw 0g", "1: raw needs bytes as hexadecimal digit pairs (blanks, ':' and '-' between them are ignored)"},
        {"wait-count", "1: usage: wait-count N [MS]"},
        {"tloc-add 10.1.1.1:lte:ipsec family=TLOC", "1: unknown family 'TLOC'"},
    };
    for (const auto &[script, why] : cases) {
        std::string path = write_script(script);
        start("advd", {"--script", path});
        ASSERT_TRUE(finish()) << script;
        EXPECT_EQ(peer->result().exit_code, 2) << script;
        EXPECT_EQ(peer->err(), "zor-peer: " + path + ":" + why + "\n") << script;
        EXPECT_EQ(peer->out(), "");
    }
    EXPECT_EQ(rec.msgs.size(), 0u) << "a script is parsed whole before the peer connects";
    EXPECT_EQ(rec.count("up"), 0u);
}

TEST_F(ZorPeer, StandardInputIsRunLineByLine)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_CTLAGENT, &rec);
    ASSERT_NE(h, nullptr);
    start("ctlagent", {"--idle", "100"});
    peer->write_stdin("register TLOC-IPV4\n");
    ASSERT_TRUE(receive(rec, 1)) << peer->err();
    EXPECT_EQ(decode(rec.msgs[0]).type, static_cast<uint32_t>(ZOR_MSG_REGISTER));

    // While it waits for more input, what arrives is printed at once.
    zor_msg_t m{};
    m.type = ZOR_MSG_DATA_DEVICE_ADD;
    m.sender = 2;
    m.family = 4;
    m.body.data_device.addr = v4("10.4.4.4");
    m.body.data_device.status = 2;
    ASSERT_EQ(send(h, m), 0);
    ASSERT_TRUE(loop.run_until([&] { return peer->wait_for_stdout_lines(1, 10ms); }, 20s));
    zt::Json j = zt::json(zt::split_lines(peer->out()).at(0));
    EXPECT_EQ(j["type"].str(), "DATA_DEVICE_ADD");
    EXPECT_EQ(j["status"].u64(), 2u);

    // A last line without a line feed still counts.
    peer->write_stdin("unregister TLOC-IPV4");
    peer->close_stdin();
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    EXPECT_EQ(decode(rec.msgs[1]).type, static_cast<uint32_t>(ZOR_MSG_UNREGISTER));
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();

    // A bad line on standard input names the line and stops the peer.
    start("ctlagent", {});
    peer->write_stdin("register TLOC-IPV4\n\nbogus line\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 2);
    EXPECT_EQ(peer->err(), "zor-peer: stdin:3: unknown command 'bogus'\n");
}

TEST_F(ZorPeer, ConnectionFailureAfterTheTimeout)
{
    start_script("advd", "register TLOC-IPV4\n", {"--timeout", "1"});
    ASSERT_TRUE(peer->wait_exit(20s));
    EXPECT_EQ(peer->result().exit_code, 3);
    EXPECT_EQ(peer->err(), "zor-peer: cannot connect to " + sock_path("zord") +
                               " as advd within 1 s (is zord running there?)\n");

    // An empty script still connects (and fails the same way without zord).
    start_script("xfwd", "# nothing\n", {"--timeout", "1"});
    ASSERT_TRUE(peer->wait_exit(20s));
    EXPECT_EQ(peer->result().exit_code, 3);

    // Command-line faults.
    for (const auto &args : {std::vector<std::string>{}, {"--module", "nosuch"}, {"--module", "advd", "extra"},
                             {"--module", "advd", "--idle", "x"}, {"--module", "zord"}}) {
        peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), args);
        ASSERT_TRUE(peer->wait_exit(20s));
        EXPECT_EQ(peer->result().exit_code, 1) << (args.empty() ? "" : args.back());
        EXPECT_NE(peer->err().find("Try 'zor-peer --help'."), std::string::npos) << peer->err();
    }
    peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), std::vector<std::string>{"--help"});
    ASSERT_TRUE(peer->wait_exit(20s));
    EXPECT_EQ(peer->result().exit_code, 0);
    for (const char *word : {"tloc-add", "link-status", "tracker-status", "peer-sec-del", "raw-stream", "wait-count",
                             "\"lr_hold_time\"", "\"tun_rec\"", "\"device_type\"", "\"origin_ip\"", "carrier 1"}) {
        EXPECT_NE(peer->out().find(word), std::string::npos) << word;
    }
}

TEST_F(ZorPeer, DisconnectReconnectAndLostConnections)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_ADVD, &rec);
    ASSERT_NE(h, nullptr);
    start_script("advd", "register TLOC-IPV4\ndisconnect\nreconnect\nregister LINK\n");
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(rec.events, (zt::Strings{"up", "down", "up", "down"}));
    EXPECT_EQ(decode(rec.msgs[0]).family, 0u);
    EXPECT_EQ(decode(rec.msgs[1]).family, 8u);

    // Sending after a disconnect is a script fault.
    start_script("advd", "disconnect\ntloc-add 10.1.1.1:lte:gre\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 3);
    EXPECT_EQ(peer->err(), "zor-peer: " + rundir.file("script.zp") +
                               ":2: not connected (disconnect at line 1, and no reconnect since)\n");

    // zord closing the connection: the peer reconnects by itself and goes on.
    rec.events.clear();
    rec.msgs.clear();
    rec.on_recv = [](msgq_handle_t *hh, void *, uint16_t) { msgq_close_connection(hh, 0); };
    start_script("advd", "register TLOC-IPV4\nwait-count 1 20000\nregister LINK\n");
    ASSERT_TRUE(receive(rec, 1)) << peer->err();
    rec.on_recv = nullptr;
    ASSERT_TRUE(wait_events(rec, "up", 2)) << peer->err();
    zor_msg_t m{};
    m.type = ZOR_MSG_REGISTER;
    m.sender = 2;
    ASSERT_EQ(send(h, m), 0);
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(peer->err(), "zor-peer: connection to " + sock_path("zord") + " lost; reconnecting\n");
    EXPECT_EQ(decode(rec.msgs[1]).family, 8u);

    // A wait-count that never completes.
    start_script("advd", "wait-count 3 300\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 4);
    EXPECT_EQ(peer->err(), "zor-peer: " + rundir.file("script.zp") + ":1: wait-count 3: 0 messages received after 300 ms\n");
}

}  // namespace
