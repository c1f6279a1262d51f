// zor-peer keeps its own copy of the names it shares with zord (it is a peer
// and links none of zord's code); these cases hold the copies to the
// originals and check that every TLOC key reads back from its own text.
#include <gtest/gtest.h>

#include <string>

#include "zor_db.h"
#include "zor_msg.h"
#include "zor_peer_names.h"

namespace {

TEST(ZorPeerNames, FamiliesAndTypesMatchTheDaemonAndTheCodec)
{
    for (uint32_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_STREQ(zp_af_str(af), zor_af_str(af));
        std::string lower = zor_af_str(af);
        for (char &c : lower) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        uint32_t parsed = 99;
        ASSERT_TRUE(zp_af_from_str(lower, &parsed)) << lower;
        EXPECT_EQ(parsed, af);
    }
    EXPECT_STREQ(zp_af_str(ZOR_AF_COUNT), "UNKNOWN");
    for (uint32_t type = 1; type <= ZOR_MSG_TYPE_MAX; type++) {
        std::string codec = zor_msg_type_str(type);
        for (char &c : codec) {
            c = c == '-' ? '_' : c;
        }
        EXPECT_EQ(zp_msg_type_name(type), codec) << type;
    }
    EXPECT_STREQ(zp_msg_type_name(21), "UNKNOWN");
}

TEST(ZorPeerNames, EveryTlocKeyReadsBackFromItsText)
{
    for (const char *addr : {"10.1.1.1", "0.0.0.1", "2001:db8::1", "::ffff:10.0.0.1"}) {
        for (int color = 0; color < 256; color++) {
            for (int encap = 0; encap < 256; encap += 1) {
                zor_tloc_key_t k{};
                ASSERT_TRUE(zp_ip_from_str(addr, &k.addr));
                k.color = static_cast<uint8_t>(color);
                k.encap = static_cast<uint8_t>(encap);
                std::string text = zp_tloc_str(k);
                zor_tloc_key_t back{};
                std::string err;
                ASSERT_TRUE(zp_tloc_from_str(text, &back, &err)) << text << ": " << err;
                ASSERT_EQ(memcmp(&k, &back, sizeof(k)), 0) << text;
            }
        }
    }
    zor_tloc_key_t k{};
    std::string err;
    ASSERT_TRUE(zp_tloc_from_str("10.0.0.2:PUB-INT:IPSEC", &k, &err)) << err;
    EXPECT_EQ(zp_tloc_str(k), "10.0.0.2:public-internet:ipsec");
    ASSERT_TRUE(zp_tloc_from_str("10.0.0.2:met-eth:2", &k, &err)) << err;
    EXPECT_EQ(zp_tloc_str(k), "10.0.0.2:metro-ethernet:ipsec");
    EXPECT_FALSE(zp_tloc_from_str("10.0.0.2:lte:256", &k, &err));
    EXPECT_FALSE(zp_tloc_from_str(":lte:gre", &k, &err));
    EXPECT_FALSE(zp_tloc_from_str("lte:gre", &k, &err));
}

}  // namespace
