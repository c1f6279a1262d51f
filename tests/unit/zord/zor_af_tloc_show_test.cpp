// What operators see of TLOCs: the show of one TLOC line by line, the
// masked key (MD5 through OpenSSL), the integrity text, the path list, the
// local TLOC dump and the show-support lookup with every message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_af_sec_common.h"
#include "zor_af_tloc_show.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
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

class ZorAfTlocShow : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(env.init_rc(), 0); }
    void TearDown() override
    {
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_db_entry *add(const zor_msg_t &m)
    {
        zor_msg_t copy = m;
        return zor_af_add(copy.family, ctx(), zor_client_get(ctx(), OST_MODULE_CTLAGENT), &copy);
    }
    std::string show(t_zor_db_entry *e)
    {
        maapi_cli_capture cli(31, 32);
        zor_af_show(e->family, ctx(), e, cli.uinfo());
        return cli.text();
    }
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

    zt::PeerEnv env;
};

TEST_F(ZorAfTlocShow, AnIpsecTlocWithEveryAttribute)
{
    FakePeer *owner = env.connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = env.connect(OST_MODULE_POLICYD);
    ASSERT_NE(obs, nullptr);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    const zor_msg_t add = zt::tloc_msg_every_attr();
    ASSERT_EQ(owner->send(add), 0);
    ASSERT_TRUE(env.settle());
    const zor_tloc_key_t key = add.body.tloc.key;
    t_zor_db_entry *e = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &key, nullptr);
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

    // The same through the database dump.
    maapi_cli_capture dump(35, 36);
    zor_db_dump(dump.uinfo());
    char entry_line[160];
    snprintf(entry_line, sizeof(entry_line), "ZOR-Entry: (%p), TLOC-IPV4, Owner: ctlagent, Flags: (0x0) ",
             static_cast<void *>(e));
    EXPECT_NE(dump.text().find(std::string(entry_line) + "\n" + show(e)), std::string::npos);
}

TEST_F(ZorAfTlocShow, TheMaskedKeyFollowsBothKeysAndShowsNoneOfTheirBytes)
{
    zor_tloc_attr_t a = zt::tloc_msg_every_attr().body.tloc.attr;
    char text[16];
    const std::string base = zor_sec_masked_key(&a, text, sizeof(text));
    EXPECT_EQ(base, masked(a));
    EXPECT_EQ(base.size(), 9u);
    EXPECT_EQ(base.substr(0, 5), "*****");
    zor_tloc_attr_t other1 = a;
    other1.key1[10] ^= 0x40;
    EXPECT_EQ(zor_sec_masked_key(&other1, text, sizeof(text)), masked(other1));
    EXPECT_NE(masked(other1), base);
    zor_tloc_attr_t other2 = a;
    other2.key2[63] ^= 0x01;
    EXPECT_EQ(zor_sec_masked_key(&other2, text, sizeof(text)), masked(other2));
    EXPECT_NE(masked(other2), base);
    // The order is second key, then first: swapping them changes the digest.
    zor_tloc_attr_t swapped = a;
    memcpy(swapped.key1, a.key2, 64);
    memcpy(swapped.key2, a.key1, 64);
    EXPECT_NE(zor_sec_masked_key(&swapped, text, sizeof(text)), base);
}

TEST_F(ZorAfTlocShow, IntegrityText)
{
    char buf[512];
    EXPECT_STREQ(zor_sec_integrity_str(0, buf, sizeof(buf)), "");
    EXPECT_STREQ(zor_sec_integrity_str(0x1, buf, sizeof(buf)), "none");
    EXPECT_STREQ(zor_sec_integrity_str(0x80, buf, sizeof(buf)), "") << "bit 7 is ignored";
    EXPECT_STREQ(zor_sec_integrity_str(0x2fd, buf, sizeof(buf)),
                 "MISMATCH MISMATCH ip-udp-esp-no-id ip-udp-esp esp MISMATCH none");
    // Every bit set: 30 names fit the 512-byte buffer.
    std::string all = zor_sec_integrity_str(0xffffffff, buf, sizeof(buf));
    const std::string tail = "MISMATCH ip-udp-esp-no-id ip-udp-esp esp MISMATCH MISMATCH none";
    ASSERT_GT(all.size(), tail.size());
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    EXPECT_EQ(all.rfind("MISMATCH ", 0), 0u);
    EXPECT_EQ(all.size(), 27 * 8 + 16 + 10 + 3 + 4 + 30u) << "31 names, 27 of them MISMATCH, 30 blanks";
    // A name goes in only while the text stays more than 5 bytes short of
    // the buffer: shorter names further on may still fit.
    char small[20];
    EXPECT_STREQ(zor_sec_integrity_str(0xffffffff, small, sizeof(small)), "MISMATCH esp");
    char fits[14];
    EXPECT_STREQ(zor_sec_integrity_str(0x9, fits, sizeof(fits)), "esp none") << "3 + 4 + 5 stays below 14";
    char tight[12];
    EXPECT_STREQ(zor_sec_integrity_str(0x9, tight, sizeof(tight)), "esp") << "3 + 4 + 5 does not stay below 12";
}

TEST_F(ZorAfTlocShow, GreAndRemoteTlocsAndThePathList)
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

    // Paths follow the entry, best first.
    t_zor_af_link links[3] = {};
    links[0].local_key = tloc_key("10.0.0.1", 4, k_ipsec);
    links[0].remote_key = tloc_key("10.5.0.1", 4, k_ipsec);
    links[1].local_key = links[0].remote_key;
    links[1].remote_key = tloc_key("10.9.0.1", 2, OST_ENCAP_GRE);
    links[2].local_key = tloc_key("10.0.0.1", 4, k_ipsec);
    links[2].remote_key = tloc_key("10.9.0.1", 2, OST_ENCAP_GRE);
    t_zor_path paths[2] = {};
    paths[0].flags = ZOR_PATH_FLAG_BEST | ZOR_PATH_FLAG_STALE;
    paths[0].status = ZOR_PATH_STATUS_UP;
    paths[0].mtu = 1400;
    paths[0].preference = 10;
    paths[0].local_links = 1;
    paths[0].link_count = 2;
    paths[0].links[0].link_p = &links[0];
    paths[0].links[1].link_p = &links[1];
    paths[0].next_p = &paths[1];
    paths[1].status = ZOR_PATH_STATUS_DOWN;
    paths[1].link_count = 1;
    paths[1].links[0].link_p = &links[2];
    zor_af_tloc_of(e)->path_list = &paths[0];
    auto link_line = [](const char *local, const char *remote, const t_zor_af_link *l) {
        char line[200];
        snprintf(line, sizeof(line), "          [%s] ==> [%s] (%p)", local, remote, static_cast<const void *>(l));
        return std::string(line);
    };
    Strings with_paths = head;
    for (const std::string &line : Strings{
             "      Path-List:",
             "        *> SPath-1: MTU: 1400 Pref: 10 Status: Up #LocalLinks: 1 #Links: 2",
             link_line("10.0.0.1 : biz-internet : ipsec", "10.5.0.1 : biz-internet : ipsec", &links[0]),
             link_line("10.5.0.1 : biz-internet : ipsec", "10.9.0.1 : mpls : gre", &links[1]),
             "        *   Path-2: MTU: 0 Pref: 0 Status: Down #LocalLinks: 0 #Links: 1",
             link_line("10.0.0.1 : biz-internet : ipsec", "10.9.0.1 : mpls : gre", &links[2]),
         }) {
        with_paths.push_back(line);
    }
    EXPECT_EQ(zt::split_lines(show(e)), with_paths);
    zor_af_tloc_of(e)->path_list = nullptr;
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

}  // namespace
