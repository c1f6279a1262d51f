// The security twins VPN-SEC and PEER-SEC on a real daemon context, and the
// texts they share with the TLOC display: distribution, the whole-block
// compare, the owner rule, deletions with a zeroed block, and the show lines
// of each twin with the masked key and the integrity names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_af_peer_sec.h"
#include "zor_af_sec_common.h"
#include "zor_af_test_harness.h"
#include "zor_client.h"
#include "zor_af_vpn_sec.h"

namespace {

// Peers of zord: their module names appear in log and show lines.
constexpr uint32_t k_box = OST_MODULE_CTLAGENT;     // "ctlagent"
constexpr uint32_t k_host = OST_MODULE_SETKEEPER;   // "setkeeper"
constexpr uint32_t k_tether = OST_MODULE_POLICYD;   // "policyd"

using zt::addr;

// One key of either twin: VPN-SEC uses the VPN and the first address.
struct SecKey {
    uint64_t vpn;
    const char *ip1;
    const char *ip2;
};

zor_tloc_attr_t *attr_of(zor_msg_t &msg)
{
    return msg.family == ZOR_AF_VPN_SEC ? &msg.body.vpn_sec.attr : &msg.body.peer_sec.attr;
}
const zor_tloc_attr_t *attr_of(const zor_msg_t &msg)
{
    return attr_of(const_cast<zor_msg_t &>(msg));
}
const zor_tloc_attr_t *attr_of(const t_zor_db_entry *e)
{
    return e->family == ZOR_AF_VPN_SEC ? &static_cast<const t_zor_af_vpn_sec *>(e->record)->attr
                                       : &static_cast<const t_zor_af_peer_sec *>(e->record)->attr;
}
uint8_t origin_of(const t_zor_db_entry *e)
{
    return e->family == ZOR_AF_VPN_SEC ? static_cast<const t_zor_af_vpn_sec *>(e->record)->origin
                                       : static_cast<const t_zor_af_peer_sec *>(e->record)->origin;
}

zor_msg_t sec_msg(zor_af_t af, const SecKey &k, uint8_t origin, const zor_tloc_attr_t &attr, bool is_delete = false)
{
    zor_msg_t msg{};
    msg.family = af;
    msg.sender = k_box;
    msg.type = zor_msg_type_for_af(af, is_delete ? 1 : 0);
    if (af == ZOR_AF_VPN_SEC) {
        msg.body.vpn_sec.vpn_id = k.vpn;
        msg.body.vpn_sec.remote = addr(k.ip1);
        msg.body.vpn_sec.origin = origin;
    } else {
        msg.body.peer_sec.vpn_id = k.vpn;
        msg.body.peer_sec.origin_ip = addr(k.ip1);
        msg.body.peer_sec.dest_ip = addr(k.ip2);
        msg.body.peer_sec.origin = origin;
    }
    *attr_of(msg) = attr;
    return msg;
}

// An IPsec block: ENCAP present, both keys filled.
zor_tloc_attr_t ipsec_attr(uint32_t integrity, uint8_t key1_byte = 0x11, uint8_t key2_byte = 0x22)
{
    zor_tloc_attr_t a{};
    a.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP);
    a.encap = ZOR_TUNNEL_ENCAP_IPSEC;
    a.spi = 4097;
    a.integrity = integrity;
    a.cipher = 10;  // "aes128"
    memset(a.key1, key1_byte, sizeof(a.key1));
    memset(a.key2, key2_byte, sizeof(a.key2));
    return a;
}

class ZorAfSec : public ::testing::TestWithParam<zor_af_t> {
protected:
    void SetUp() override { ASSERT_EQ(h_.init_rc(), 0); }
    void TearDown() override
    {
        h_.teardown();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    zor_af_t af() const { return GetParam(); }
    uint32_t mem_type() const { return af() == ZOR_AF_VPN_SEC ? ZOR_MEM_VPN_SEC_NLRI : ZOR_MEM_PEER_SEC_NLRI; }
    // An add or delete sent by the client's peer; the entry of the key
    // afterwards.
    t_zor_db_entry *add(t_zor_client *client, const SecKey &k, const zor_tloc_attr_t &attr, uint8_t origin = 1)
    {
        h_.send(client->id, sec_msg(af(), k, origin, attr));
        return find(k);
    }
    void del(t_zor_client *client, const SecKey &k)
    {
        h_.send(client->id, sec_msg(af(), k, 1, zor_tloc_attr_t{}, true));
    }
    t_zor_db_entry *find(const SecKey &k)
    {
        zor_msg_t msg = sec_msg(af(), k, 0, zor_tloc_attr_t{});
        return zor_af_find(af(), h_.ctx(), &msg, nullptr);
    }
    // The key fields of a received message equal k and the origin.
    void expect_key(const zor_msg_t &msg, const SecKey &k, uint8_t origin)
    {
        ip_addr_t a1 = addr(k.ip1);
        if (af() == ZOR_AF_VPN_SEC) {
            EXPECT_EQ(msg.body.vpn_sec.vpn_id, k.vpn);
            EXPECT_TRUE(ip_addr_equal(&msg.body.vpn_sec.remote, &a1));
            EXPECT_EQ(msg.body.vpn_sec.origin, origin);
        } else {
            ip_addr_t a2 = addr(k.ip2);
            EXPECT_EQ(msg.body.peer_sec.vpn_id, k.vpn);
            EXPECT_TRUE(ip_addr_equal(&msg.body.peer_sec.origin_ip, &a1));
            EXPECT_TRUE(ip_addr_equal(&msg.body.peer_sec.dest_ip, &a2));
            EXPECT_EQ(msg.body.peer_sec.origin, origin);
        }
    }
    zt::FamilyHarness h_;
};

const SecKey k_key = {100, "10.0.0.1", "10.0.0.2"};

TEST_P(ZorAfSec, NewEntryIsSentAtOnceEvenWithAnAllZeroBlock)
{
    t_zor_client *box = h_.client(k_box, {af()});
    h_.client(k_tether, {af()});
    t_zor_db_entry *e = add(box, k_key, zor_tloc_attr_t{}, 2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->client_p, box);
    EXPECT_EQ(find(k_key), e);
    EXPECT_TRUE(h_.walk_pending());
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].client, k_box);
    EXPECT_EQ(sent[1].client, k_tether);
    const zor_tloc_attr_t zero{};
    for (const zt::SentMsg &s : sent) {
        EXPECT_EQ(s.msg.type, zor_msg_type_for_af(af(), 0));
        EXPECT_EQ(s.msg.family, af());
        expect_key(s.msg, k_key, 2);
        EXPECT_EQ(memcmp(attr_of(s.msg), &zero, sizeof(zero)), 0);
    }
    EXPECT_TRUE(zor_bitmap_test(e->sent_bitmap, k_box));
    EXPECT_TRUE(zor_bitmap_test(e->sent_bitmap, k_tether));
    EXPECT_EQ(zt::mem_current(mem_type()), 1u);
}

TEST_P(ZorAfSec, OnlyAChangedBlockIsSentAgain)
{
    t_zor_client *box = h_.client(k_box, {af()});
    const zor_tloc_attr_t first = ipsec_attr(0x38);
    t_zor_db_entry *e = add(box, k_key, first, 1);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 1u);

    // The same block, even with another origin: the same entry, nothing sent,
    // the first origin kept.
    EXPECT_EQ(add(box, k_key, first, 2), e);
    EXPECT_FALSE(h_.walk_pending());
    EXPECT_EQ(origin_of(e), 1u);

    // One byte of a key: sent again with the new block.
    zor_tloc_attr_t changed = first;
    changed.key2[63] ^= 0x01;
    EXPECT_EQ(add(box, k_key, changed, 1), e);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(memcmp(attr_of(sent[0].msg), &changed, sizeof(changed)), 0);
    expect_key(sent[0].msg, k_key, 1);

    // The compare covers all 744 bytes: a byte of a field whose presence bit
    // is clear (never carried by the codec, so set in-process here) counts.
    zor_tloc_attr_t hidden = changed;
    hidden.site_id = 9;
    zor_msg_t msg = sec_msg(af(), k_key, 1, hidden);
    EXPECT_EQ(zor_af_add(af(), h_.ctx(), box, &msg), e);
    EXPECT_TRUE(h_.walk_pending());
    EXPECT_EQ(attr_of(e)->site_id, 9u);
    EXPECT_EQ(h_.deliver().size(), 1u);
    EXPECT_EQ(zor_af_add(af(), h_.ctx(), box, &msg), e);
    EXPECT_FALSE(h_.walk_pending());
}

TEST_P(ZorAfSec, TheOwnerKeepsItsEntryAndAloneDeletesIt)
{
    t_zor_client *box = h_.client(k_box, {af()});
    t_zor_client *host = h_.client(k_host, {af()});
    const zor_tloc_attr_t mine = ipsec_attr(0x08);
    t_zor_db_entry *e = add(box, k_key, mine, 1);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 2u);

    // Another client's add of the same key is refused: logged, nothing
    // changed or sent.
    zt::LogCapture log;
    EXPECT_EQ(add(host, k_key, ipsec_attr(0x10), 2), e);
    const std::string refused = af() == ZOR_AF_VPN_SEC
                                    ? "VPN-SEC add from setkeeper refused: vpn 100 IP 10.0.0.1 belongs to ctlagent"
                                    : "PEER-SEC add from setkeeper refused: vpn 100 origin IP 10.0.0.1 dest IP "
                                      "10.0.0.2 belongs to ctlagent";
    EXPECT_EQ(log.count(refused), 1u) << log.dump();
    EXPECT_EQ(e->client_p, box);
    EXPECT_EQ(memcmp(attr_of(e), &mine, sizeof(mine)), 0);
    EXPECT_FALSE(h_.walk_pending());

    // Its delete and withdraw are ignored too.
    del(host, k_key);
    zor_af_withdraw(af(), h_.ctx(), host, e);
    const std::string ignored =
        std::string(zor_af_str(af())) + " withdraw from setkeeper ignored: the entry belongs to ctlagent";
    EXPECT_EQ(log.count(ignored), 2u) << log.dump();
    EXPECT_EQ(find(k_key), e);
    EXPECT_FALSE(h_.walk_pending());

    // Unknown keys: nothing.
    del(box, SecKey{101, "10.0.0.1", "10.0.0.2"});
    EXPECT_EQ(find(k_key), e);

    // The owner's delete: the deletion carries the key and origin with a
    // zeroed block; the entry is gone once both holders got it.
    del(box, k_key);
    EXPECT_EQ(find(k_key), nullptr);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    const zor_tloc_attr_t zero{};
    for (const zt::SentMsg &s : sent) {
        EXPECT_EQ(s.msg.type, zor_msg_type_for_af(af(), 1));
        expect_key(s.msg, k_key, 1);
        EXPECT_EQ(memcmp(attr_of(s.msg), &zero, sizeof(zero)), 0);
    }
    // And the fill itself, before the codec, zeroes a block it was handed.
    EXPECT_EQ(zt::mem_current(mem_type()), 0u);
    t_zor_db_entry *again = add(box, k_key, mine, 1);
    ASSERT_NE(again, nullptr);
    zor_msg_t filled{};
    filled.family = af();
    memset(attr_of(filled), 0xff, sizeof(zor_tloc_attr_t));
    zor_af_fill_msg(af(), again, &filled, 1);
    EXPECT_EQ(memcmp(attr_of(filled), &zero, sizeof(zero)), 0);
    zor_af_fill_msg(af(), again, &filled, 0);
    EXPECT_EQ(memcmp(attr_of(filled), &mine, sizeof(mine)), 0);
}

TEST_P(ZorAfSec, EntriesOfAPeerThatGoesAwayAreDeleted)
{
    t_zor_client *box = h_.client(k_box, {af()});
    t_zor_client *host = h_.client(k_host, {af()});
    const SecKey theirs = {5, "10.9.0.1", "10.9.0.2"};
    ASSERT_NE(add(box, k_key, ipsec_attr(0x08)), nullptr);
    t_zor_db_entry *kept = add(host, theirs, ipsec_attr(0x10));
    ASSERT_NE(kept, nullptr);
    ASSERT_EQ(h_.deliver().size(), 4u);

    h_.disconnect(k_box);
    EXPECT_EQ(find(k_key), nullptr);
    EXPECT_EQ(find(theirs), kept);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u) << "the peer that went away is sent nothing";
    EXPECT_EQ(sent[0].client, k_host);
    EXPECT_EQ(sent[0].msg.type, zor_msg_type_for_af(af(), 1));
    expect_key(sent[0].msg, k_key, 1);
    EXPECT_EQ(zt::mem_current(mem_type()), 1u);
    EXPECT_FALSE(zor_bitmap_test(kept->sent_bitmap, k_box));
}

TEST_P(ZorAfSec, BadAddressesAreDroppedWithALogLine)
{
    t_zor_client *box = h_.client(k_box, {af()});
    zor_msg_t msg = sec_msg(af(), k_key, 1, zor_tloc_attr_t{});
    if (af() == ZOR_AF_VPN_SEC) {
        msg.body.vpn_sec.remote.family = 0;
    } else {
        msg.body.peer_sec.dest_ip.family = 3;
    }
    zt::LogCapture log;
    h_.send(box->id, msg);
    EXPECT_EQ(zor_af_add(af(), h_.ctx(), box, &msg), nullptr);
    EXPECT_EQ(zor_af_find(af(), h_.ctx(), &msg, nullptr), nullptr);
    zor_af_delete(af(), h_.ctx(), box, &msg);
    const std::string line = af() == ZOR_AF_VPN_SEC
                                 ? "VPN-SEC add from ctlagent dropped: vpn 100 IP of address family 0"
                                 : "PEER-SEC add from ctlagent dropped: vpn 100 origin IP 10.0.0.1 dest IP of address family 3";
    EXPECT_TRUE(log.contains(line)) << log.dump();
    EXPECT_EQ(zt::mem_current(mem_type()), 0u);
}

TEST_P(ZorAfSec, ShowLines)
{
    t_zor_client *box = h_.client(k_box, {af()});
    h_.client(k_tether, {af()});
    const bool vpn = af() == ZOR_AF_VPN_SEC;
    const std::string header = vpn ? "    Vpn-id: 100, IP: 10.0.0.1, origin: remote"
                                   : "    vpn-id: 100, Origin-IP: 10.0.0.1, Dest-ip: 10.0.0.2 origin: remote";
    auto show = [&](const zor_tloc_attr_t &attr) {
        t_zor_db_entry *e = add(box, k_key, attr, 2);
        EXPECT_NE(e, nullptr);
        return e != nullptr ? zt::show_text(af(), h_.ctx(), e) : std::string();
    };

    // No ENCAP bit: the header, the flags and the advertised-to line (empty
    // before any client was sent the entry).
    zor_tloc_attr_t plain{};
    plain.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_WEIGHT);
    plain.encap = ZOR_TUNNEL_ENCAP_GRE;  // not shown without the bit
    EXPECT_EQ(show(plain), header + "\n    Attributes: Flags: (0x6) PREF WEIGHT \n    Advertised to: \n\n");
    h_.deliver();
    EXPECT_EQ(zt::split_lines(show(plain)), (std::vector<std::string>{
                                                header,
                                                "    Attributes: Flags: (0x6) PREF WEIGHT ",
                                                "    Advertised to: ctlagent policyd ",
                                                "",
                                            }));

    // GRE: the key line has no line end, so the advertised-to text follows
    // on the same line.
    zor_tloc_attr_t gre{};
    gre.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP);
    gre.encap = ZOR_TUNNEL_ENCAP_GRE;
    gre.encap_key = 4242;
    EXPECT_EQ(show(gre), header +
                             "\n    Attributes: Flags: (0x80) ENCAP \n"
                             "        Encap: gre, key: 4242    Advertised to: ctlagent policyd \n\n");

    // IPsec: the integrity names highest bit first, the number, the cipher,
    // the SPI and the same masked key twice. The twins differ by one blank
    // before the integrity number.
    const std::string gap = vpn ? "" : " ";
    std::vector<std::string> lines = zt::split_lines(show(ipsec_attr(0x38)));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         header,
                         "    Attributes: Flags: (0x80) ENCAP ",
                         "        Encap: ipsec-tunnel, Integrity: ip-udp-esp-no-id ip-udp-esp esp" + gap +
                             "(0x38), encrypt: aes128(0xa), spi 4097",
                         "          ckey: *****1218 akey: *****1218",
                         "    Advertised to: ctlagent policyd ",
                         "",
                     }));

    // Bit 7 alone: no names, the number as it is.
    lines = zt::split_lines(show(ipsec_attr(0x80)));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "        Encap: ipsec-tunnel, Integrity: " + gap + "(0x80), encrypt: aes128(0xa), spi 4097");

    // Another encapsulation with the bit: no encapsulation line.
    zor_tloc_attr_t other = gre;
    other.encap = 3;
    EXPECT_EQ(zt::split_lines(show(other)), (std::vector<std::string>{
                                                header,
                                                "    Attributes: Flags: (0x80) ENCAP ",
                                                "    Advertised to: ctlagent policyd ",
                                                "",
                                            }));
}

TEST_P(ZorAfSec, ShowAllInKeyOrder)
{
    t_zor_client *box = h_.client(k_box);
    // VPN ids compare unsigned: the largest last.
    for (const SecKey &k : {SecKey{0xffffffffffffffffull, "10.0.0.1", "10.0.0.1"}, SecKey{7, "10.0.0.9", "10.0.0.1"},
                            SecKey{7, "10.0.0.3", "10.0.0.8"}, SecKey{7, "10.0.0.3", "10.0.0.4"}}) {
        ASSERT_NE(add(box, k, zor_tloc_attr_t{}), nullptr);
    }
    maapi_cli_capture cli(41, 42);
    zor_af_show_all(af(), h_.ctx(), cli.uinfo());
    std::vector<std::string> heads;
    for (const std::string &line : zt::split_lines(cli.text())) {
        if (line.rfind("    Vpn-id", 0) == 0 || line.rfind("    vpn-id", 0) == 0) {
            heads.push_back(line);
        }
    }
    if (af() == ZOR_AF_VPN_SEC) {
        // (7, 10.0.0.3) was announced twice: one entry.
        EXPECT_EQ(heads, (std::vector<std::string>{
                             "    Vpn-id: 7, IP: 10.0.0.3, origin: local",
                             "    Vpn-id: 7, IP: 10.0.0.9, origin: local",
                             "    Vpn-id: 18446744073709551615, IP: 10.0.0.1, origin: local",
                         }));
    } else {
        EXPECT_EQ(heads, (std::vector<std::string>{
                             "    vpn-id: 7, Origin-IP: 10.0.0.3, Dest-ip: 10.0.0.4 origin: local",
                             "    vpn-id: 7, Origin-IP: 10.0.0.3, Dest-ip: 10.0.0.8 origin: local",
                             "    vpn-id: 7, Origin-IP: 10.0.0.9, Dest-ip: 10.0.0.1 origin: local",
                             "    vpn-id: 18446744073709551615, Origin-IP: 10.0.0.1, Dest-ip: 10.0.0.1 origin: local",
                         }));
    }
}

INSTANTIATE_TEST_SUITE_P(Twins, ZorAfSec, ::testing::Values(ZOR_AF_VPN_SEC, ZOR_AF_PEER_SEC),
                         [](const ::testing::TestParamInfo<zor_af_t> &p) {
                             return std::string(p.param == ZOR_AF_VPN_SEC ? "VpnSec" : "PeerSec");
                         });

TEST(ZorSecText, IntegrityNames)
{
    char buf[ZOR_SEC_TEXT_LEN];
    EXPECT_STREQ(zor_sec_integrity_str(0x38, buf, sizeof(buf)), "ip-udp-esp-no-id ip-udp-esp esp");
    EXPECT_STREQ(zor_sec_integrity_str(0x80, buf, sizeof(buf)), "");
    EXPECT_STREQ(zor_sec_integrity_str(0, buf, sizeof(buf)), "");
    EXPECT_STREQ(zor_sec_integrity_str(0xb9, buf, sizeof(buf)), "ip-udp-esp-no-id ip-udp-esp esp none");
    EXPECT_STREQ(zor_sec_integrity_str(0x80000042, buf, sizeof(buf)), "MISMATCH MISMATCH MISMATCH");
    // A name goes in only while the buffer exceeds the text plus the name
    // plus 5: with 20 bytes the longest name is left out, the others fit.
    EXPECT_STREQ(zor_sec_integrity_str(0x38, buf, 20), "ip-udp-esp esp");
    // Every bit set: 25 "MISMATCH" names (bits 31-8 and 6) and the others,
    // all fitting the buffer.
    std::string want;
    for (int i = 0; i < 25; i++) {
        want += "MISMATCH ";
    }
    want += "ip-udp-esp-no-id ip-udp-esp esp MISMATCH MISMATCH none";
    EXPECT_EQ(std::string(zor_sec_integrity_str(0xffffffff, buf, sizeof(buf))), want);
}

TEST(ZorSecText, MaskedKeyIsTheTailOfTheDigestOfSecondThenFirstKey)
{
    char buf[ZOR_SEC_TEXT_LEN];
    // MD5 of 64 bytes 0x22 then 64 bytes 0x11 ends in 12 18; the other
    // order would end in fd bf.
    zor_tloc_attr_t a = ipsec_attr(0, 0x11, 0x22);
    EXPECT_STREQ(zor_sec_masked_key(&a, buf, sizeof(buf)), "*****1218");
    // key2 = bytes 0..63, key1 = bytes 64..127: the MD5 of bytes 0..127 is
    // 37eff01866ba3f538421b30b7cbefcac.
    for (int i = 0; i < 64; i++) {
        a.key2[i] = static_cast<uint8_t>(i);
        a.key1[i] = static_cast<uint8_t>(64 + i);
    }
    EXPECT_STREQ(zor_sec_masked_key(&a, buf, sizeof(buf)), "*****fcac");
    // All-zero keys: f09f35a5637839458e462e6350ecbce4.
    zor_tloc_attr_t zero{};
    EXPECT_STREQ(zor_sec_masked_key(&zero, buf, sizeof(buf)), "*****bce4");
    // One bit of either key changes the mask.
    zor_tloc_attr_t b = zero;
    b.key1[0] = 1;  // digest 4fa42a317b8de5aea6738659be1dd3ab
    EXPECT_STREQ(zor_sec_masked_key(&b, buf, sizeof(buf)), "*****d3ab");
    b = zero;
    b.key2[63] = 1;  // digest f421d6aab9faf1e504d837b766c6ff28
    EXPECT_STREQ(zor_sec_masked_key(&b, buf, sizeof(buf)), "*****ff28");
}

}  // namespace
