// What operators see of TLOCs: the show of one TLOC line by line, the
// masked key (MD5 through OpenSSL), the path list, the local TLOC dump and
// the show-support lookup with every message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "ost_util.h"
#include "zor_af_tloc.h"
#include "zor_af_link.h"
#include "zor_af_tloc_show.h"
#include "zor_client.h"
#include "zor_db.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_path.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::tloc_add_msg;
using zt::tloc_key;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

// The masked form of the two IPsec keys, computed here with OpenSSL.
std::string masked(const zor_tloc_attr_t &a)
{
    uint8_t keys[128];
    memcpy(keys, a.key2, 64);
    memcpy(keys + 64, a.key1, 64);
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(keys, sizeof(keys), d, &n, EVP_md5(), nullptr), 1);
    char out[16];
    snprintf(out, sizeof(out), "*****%02x%02x", d[14], d[15]);
    return out;
}

class ZorAfTlocShow : public zt::PeerFixture {
protected:
    t_zor_db_entry *add(zor_msg_t m) { return zor_af_add(m.family, ctx(), client(OST_MODULE_CTLAGENT), &m); }
    std::string show(t_zor_db_entry *e) { return zt::show_text(e->family, ctx(), e); }
    // The show-support command with its arguments (argv[0] is the command).
    std::string support(std::vector<std::string> args)
    {
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        maapi_cli_capture cli(33, 34);
        EXPECT_EQ(zor_show_support_tlocs(cli.uinfo(), static_cast<int>(argv.size()), argv.data()), 0);
        return cli.text();
    }
};

TEST_F(ZorAfTlocShow, AnIpsecTlocWithEveryAttribute)
{
    // Over the wire, so that the message went through the codec and a
    // client holds the TLOC.
    connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    const zor_msg_t add = zt::tloc_msg_every_attr();
    send(connect(OST_MODULE_CTLAGENT), {add});
    t_zor_db_entry *e = tloc(add.body.tloc.key);
    ASSERT_NE(e, nullptr);

    const zor_tloc_attr_t &a = add.body.tloc.attr;
    char flags[OST_ATTR_FLAGS_STR_LEN];
    char flags_line[700];
    snprintf(flags_line, sizeof(flags_line), "    Attributes: Flags: (0x%lx) %s", static_cast<unsigned long>(a.flags),
             ost_attr_flags_str(a.flags, flags, sizeof(flags)));
    const std::string mask = masked(a);
    EXPECT_EQ(zt::split_lines(show(e)),
              (Strings{
                  "    TLOC: 10.1.1.1 : biz-internet : ipsec, Origin: local, Index: 32770, Carrier: 3, LR Enabled: 1, "
                  "LR hold time: 30",
                  "    Status: Up, Active: Yes, BFD Handle: 0, BFD Status: up",
                  flags_line,
                  "        Pref: 5, Weight: 6, site-id: 9, region-id: 10, Stale: 1",
                  "        Ver: 8, Gen-id: 7, Restrict: 2, On-Demand: 1Border: 1",
                  "        Group-count 2",
                  "        Group-List: 0 7 ",
                  "        Bandwidth 100",
                  "        Qos_Group gold",
                  "        Capability 0x255",
                  "        TLOCv4-Public: 1.2.3.4:12346",
                  "        TLOCv4-Private: 10.0.0.1:12347",
                  "        TLOCv6-Public: 2001:db8::1:12348",
                  "        TLOCv6-Private: fd00::1:12349",
                  "        Encap: ipsec-tunnel, Integrity: ip-udp-esp esp none(0x19), encrypt: aes256(0xc), spi 256",
                  "          ckey: " + mask + " akey: " + mask,
                  "        Security:",
                  "           Inbound SA Index: 3, SPI:              77, Anti-replay:   True",
                  "           Num protos:       2, Num encrypt type: 2, Num integrity: 1",
                  "           Num auth key:     1 Num encrypt keys:  2",
                  "             Proto[0]: ESP",
                  "             Proto[1]: AH",
                  "             Integrity[0]: HMAC_SHA1",
                  "             encrypt type[0]: AES128-GCM",
                  "             encrypt type[1]: AES256-GCM",
                  "             auth key[0]: type: 256 Key: A..Z",
                  "             encrypt key[0]: type: 128 Key: a..z",
                  "             encrypt key[1]: type: 128 Key: b..y",
                  "    Advertised to: policyd ",
                  "",
              }));
}

TEST_F(ZorAfTlocShow, AGreRemoteTlocAndItsPathList)
{
    zor_msg_t gre = tloc_add_msg(tloc_key("10.9.0.1", 2, OST_ENCAP_GRE), 2);
    gre.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP);
    gre.body.tloc.attr.encap = ZOR_TUNNEL_ENCAP_GRE;
    gre.body.tloc.attr.encap_key = 77;
    t_zor_db_entry *e = add(gre);
    ASSERT_NE(e, nullptr);
    char flags_line[128];
    snprintf(flags_line, sizeof(flags_line), "    Attributes: Flags: (0x%lx) CARRIER ENCAP ",
             static_cast<unsigned long>(gre.body.tloc.attr.flags));
    Strings head = {
        "    TLOC: 10.9.0.1 : mpls : gre, Origin: remote, Index: 32770, Carrier: 1, LR Enabled: 0, LR hold time: 0",
        "    Status: Down, Active: No, BFD Handle: 0, BFD Status: down",
        flags_line,
        "        Pref: 0, Weight: 0, site-id: 0, region-id: 0, Stale: 0",
        "        Ver: 0, Gen-id: 0, Restrict: 0, On-Demand: 0Border: 0",
        "        Encap: gre, key: 77",
        "    Advertised to: ",
        "",
    };
    EXPECT_EQ(zt::split_lines(show(e)), head);

    // An unknown tunnel encapsulation prints no encap line.
    zor_af_tloc_of(e)->attr.encap = 3;
    Strings no_encap = head;
    no_encap.erase(no_encap.begin() + 5);
    EXPECT_EQ(zt::split_lines(show(e)), no_encap);
    zor_af_tloc_of(e)->attr.encap = ZOR_TUNNEL_ENCAP_GRE;

    // The path list follows (its form is the path tests' business).
    t_zor_af_link links[2] = {};
    t_zor_path path = {};
    path.link_count = 2;
    path.links[0].link_p = &links[0];
    path.links[1].link_p = &links[1];
    zor_af_tloc_of(e)->path_list = &path;
    Strings lines = zt::split_lines(show(e));
    zor_af_tloc_of(e)->path_list = nullptr;
    ASSERT_GT(lines.size(), head.size());
    EXPECT_EQ(Strings(lines.begin(), lines.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(lines[head.size()], "      Path-List:");
}

TEST_F(ZorAfTlocShow, LocalTlocDumpAndShowAll)
{
    t_zor_db_entry *v6 = add(tloc_add_msg(tloc_key("2001:db8::1", 4, k_ipsec), 1));
    t_zor_db_entry *l2 = add(tloc_add_msg(tloc_key("10.0.0.2", 4, k_ipsec), 1));
    t_zor_db_entry *l1 = add(tloc_add_msg(tloc_key("10.0.0.1", 5, k_ipsec), 1));
    t_zor_db_entry *r = add(tloc_add_msg(tloc_key("10.0.0.3", 4, k_ipsec), 2));
    ASSERT_TRUE(v6 && l1 && l2 && r);

    maapi_cli_capture cli(37, 38);
    zor_af_tloc_local_db_dump(cli.uinfo());
    EXPECT_EQ(cli.text(), "\n   ================================"
                          "\n       ZOR Local TLOC Database       "
                          "\n   ================================\n" +
                              show(l1) + show(l2) + show(v6));

    maapi_cli_capture all(39, 40);
    zor_af_show_all(ZOR_AF_TLOC_IPV4, ctx(), all.uinfo());
    EXPECT_EQ(all.text(), show(l1) + show(l2) + show(r));
}

TEST_F(ZorAfTlocShow, ShowSupportLookupAndEveryArgumentError)
{
    t_zor_db_entry *a = add(tloc_add_msg(tloc_key("10.1.1.1", 4, k_ipsec), 2));
    t_zor_db_entry *b = add(tloc_add_msg(tloc_key("10.0.0.9", 2, OST_ENCAP_GRE), 1));
    t_zor_db_entry *v6 = add(tloc_add_msg(tloc_key("2001:db8::1", 4, k_ipsec), 2));
    ASSERT_TRUE(a && b && v6);

    const std::string usage = "Usage show support zor tlocs tloc-ip:color:encap\n";
    const std::string usage_tloc = "Usage show support zor tlocs tloc tloc-ip:color:encap\n";
    const std::string usage_internal = "Usage show internal zor tlocs tloc tloc-ip:color:encap\n";
    EXPECT_EQ(support({}), usage);
    // The command alone: every TLOC-IPV4 entry in key order, no IPv6 one.
    EXPECT_EQ(support({"tlocs"}), show(b) + show(a));
    EXPECT_EQ(support({"tlocs", "10.1.1.1:biz-internet:ipsec"}), usage_tloc);
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1"}), usage_tloc);
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1:biz-internet:ipsec"}), usage_tloc);
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1:biz-internet"}), usage_internal);
    EXPECT_EQ(support({"tlocs", "--tlocip=300.1.1.1:biz-internet:ipsec"}),
              "Bad IP address specified 300.1.1.1:biz-internet:ipsec\n");
    EXPECT_EQ(support({"tlocs", "--tlocip=300.1.1.1:purple:vxlan"}), "Bad IP address specified 300.1.1.1:purple:vxlan\n")
        << "the address is checked before any name";
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1:purple:ipsec"}), "Bad color specified purple\n");
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1:biz-internet:vxlan"}), "Bad encap specified vxlan\n");
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1:biz-int:ipsec"}),
              "Looking up TLOC 10.1.1.1 : biz-internet : ipsec\n" + show(a));
    EXPECT_EQ(support({"tlocs", "--tlocip=10.1.1.1:mpls:gre", "ignored"}),
              "Looking up TLOC 10.1.1.1 : mpls : gre\nTLOC 10.1.1.1 : mpls : gre not found\n");
}

TEST(ZorAfTlocShowNoContext, ShowSupportAndLocalDumpWithoutAContext)
{
    ASSERT_EQ(g_zor_context, nullptr);
    maapi_cli_capture cli(41, 42);
    char cmd[] = "tlocs";
    char *argv[] = {cmd};
    EXPECT_EQ(zor_show_support_tlocs(cli.uinfo(), 1, argv), 0);
    EXPECT_EQ(cli.text(), "ZOR context not UP\n");
    cli.clear();
    zor_af_tloc_local_db_dump(cli.uinfo());
    EXPECT_EQ(cli.text(), "");
}

TEST_F(ZorAfTlocShow, TheDatabaseDumpShowsEveryFamily)
{
    // One entry or more in each of the ten families: TLOCs of both families
    // (their devices follow), a link, control devices, security entries and
    // a tracker.
    const zor_tloc_key_t l4 = tloc_key("10.0.0.1", 4, k_ipsec);
    const zor_tloc_key_t r4 = tloc_key("10.0.9.1", 4, k_ipsec);
    ASSERT_NE(add(tloc_add_msg(l4, 1)), nullptr);
    ASSERT_NE(add(tloc_add_msg(tloc_key("fd00::1", 3, k_ipsec), 1)), nullptr);
    zor_msg_t link = zt::link_msg(ZOR_MSG_LINK_ADD, l4, r4);
    link.body.link.origin = ZOR_MSG_ORIGIN_REMOTE;
    ASSERT_NE(add(link), nullptr);
    for (const char *ip : {"10.0.5.5", "fd00::5"}) {
        zor_msg_t m = zt::msg_of(ZOR_MSG_CTRL_DEVICE_ADD,
                                 ip[0] == 'f' ? ZOR_AF_CTRL_DEVICE_IPV6 : ZOR_AF_CTRL_DEVICE_IPV4);
        m.body.ctrl_device.addr = zt::addr(ip);
        ASSERT_NE(add(m), nullptr) << ip;
    }
    zor_msg_t vpn = zt::msg_of(ZOR_MSG_VPN_SEC_ADD, ZOR_AF_VPN_SEC);
    vpn.body.vpn_sec.vpn_id = 10;
    vpn.body.vpn_sec.remote = zt::addr("10.0.9.1");
    ASSERT_NE(add(vpn), nullptr);
    zor_msg_t peer = zt::msg_of(ZOR_MSG_PEER_SEC_ADD, ZOR_AF_PEER_SEC);
    peer.body.peer_sec.vpn_id = 11;
    peer.body.peer_sec.origin_ip = zt::addr("10.0.0.1");
    peer.body.peer_sec.dest_ip = zt::addr("10.0.9.1");
    ASSERT_NE(add(peer), nullptr);
    zor_msg_t tracker = zt::msg_of(ZOR_MSG_TRACKER_ADD, ZOR_AF_TRACKER);
    memcpy(tracker.body.tracker.name, "t1", 2);
    ASSERT_NE(add(tracker), nullptr);

    // Each family in order under its name; each entry of its change list in
    // list order: its header line, then a marker's empty line or the
    // family's own show.
    std::string want = "======================\nZOR Database\n======================\n";
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        want += std::string(zor_af_str(af)) + "\n=============\n";
        int shown = 0;
        for (t_zor_db_entry *e = zor_db_list(ctx(), af)->first; e != nullptr; e = e->next) {
            char flags[512];
            char head[640];
            snprintf(head, sizeof(head), "\nZOR-Entry: (%p), %s, Owner: %s, Flags: (0x%x) %s\n",
                     static_cast<void *>(e), zor_af_str(af),
                     e->client_p != nullptr ? ost_module_str(e->client_p->id) : "zor", e->flags,
                     zor_db_entry_flags_str(e, flags, sizeof(flags)));
            const bool marker = (e->flags & ZOR_ENTRY_MARKER) != 0;
            want += head + (marker ? std::string("\n") : show(e));
            shown += marker ? 0 : 1;
        }
        EXPECT_GT(shown, 0) << zor_af_str(af);
    }
    maapi_cli_capture cli(35, 36);
    zor_db_dump(cli.uinfo());
    EXPECT_EQ(cli.text(), want);
}

}  // namespace
