// Name tables and parsers of the common code.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "ost_util.h"
#include "test_support.h"

namespace {

std::string upper(std::string s)
{
    for (char &c : s) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

TEST(OstModule, TableRowsAndRoundTrips)
{
    EXPECT_STREQ(ost_module_str(0), "unknown");
    EXPECT_STREQ(ost_module_str(1), "advd");
    EXPECT_STREQ(ost_module_str(2), "zord");
    EXPECT_STREQ(ost_module_str(3), "xfwd");
    EXPECT_STREQ(ost_module_str(4), "ctlagent");
    EXPECT_STREQ(ost_module_str(5), "setkeeper");
    EXPECT_STREQ(ost_module_str(6), "boxkeeperd");
    EXPECT_STREQ(ost_module_str(7), "hostkeeperd");
    EXPECT_STREQ(ost_module_str(9), "policyd");
    EXPECT_STREQ(ost_module_str(13), "probed");
    EXPECT_STREQ(ost_module_str(16), "mcastd");
    EXPECT_STREQ(ost_module_str(21), "airlinkd");
    EXPECT_STREQ(ost_module_str(24), "klxd");
    EXPECT_STREQ(ost_module_str(34), "ctlagent_internal_max");
    EXPECT_STREQ(ost_module_str(35), "ctlagent_0");
    EXPECT_STREQ(ost_module_str(44), "ctlagent_9");
    EXPECT_STREQ(ost_module_str(45), "ctlagent_10");
    EXPECT_STREQ(ost_module_str(98), "ctlagent_63");
    EXPECT_STREQ(ost_module_str(99), "tether_0");
    EXPECT_STREQ(ost_module_str(162), "tether_63");
    EXPECT_STREQ(ost_module_str(163), "charon");
    EXPECT_STREQ(ost_module_str(164), "charon_events");
    EXPECT_STREQ(ost_module_str(165), "tenant_zor_0");
    EXPECT_STREQ(ost_module_str(228), "tenant_zor_63");

    // Every row has a distinct, non-empty name that parses back to its id in
    // lower and upper case (socket paths are built from these names).
    std::set<std::string> seen;
    for (uint32_t id = 0; id < OST_MODULE_MAX; id++) {
        std::string name = ost_module_str(id);
        ASSERT_FALSE(name.empty()) << id;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        EXPECT_EQ(ost_module_from_str(name.c_str()), id) << name;
        EXPECT_EQ(ost_module_from_str(upper(name).c_str()), id) << name;
    }
    EXPECT_EQ(ost_module_from_str("ZORD"), 2u);
    EXPECT_EQ(ost_module_from_str("Tenant_Zor_7"), 172u);

    // Exact match only.
    EXPECT_EQ(ost_module_from_str("zor"), 0u);
    EXPECT_EQ(ost_module_from_str("zordd"), 0u);
    EXPECT_EQ(ost_module_from_str("tether_64"), 0u);
    EXPECT_EQ(ost_module_from_str(""), 0u);
    EXPECT_EQ(ost_module_from_str(nullptr), 0u);
}

TEST(OstModule, RowAbove228IsAnAssertion)
{
    zt::ChildResult r = zt::run_in_child([] { ost_module_str(OST_MODULE_MAX); });
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("common/ost_util:[0-9]+: failed assertion "
                                                   "`module < OST_MODULE_MAX'\n")))
        << r.out;
}

TEST(OstColor, NamesAndParsing)
{
    const char *names[] = {"invalid", "default", "mpls",     "metro-ethernet", "biz-internet", "public-internet",
                           "lte",     "3g",      "red",      "green",          "blue",         "gold",
                           "silver",  "bronze",  "custom1",  "custom2",        "custom3",      "private1",
                           "private2", "private3", "private4", "private5",     "private6"};
    for (uint32_t code = 0; code <= OST_COLOR_MAX; code++) {
        EXPECT_STREQ(ost_color_str(static_cast<uint8_t>(code)), names[code]);
        // Every name parses back to its code, except "invalid" (never parsed).
        EXPECT_EQ(ost_color_from_str(names[code]), code == 0 ? 0 : code) << names[code];
    }
    EXPECT_STREQ(ost_color_str(23), "--");
    EXPECT_STREQ(ost_color_str(30), "--");
    EXPECT_STREQ(ost_color_str(255), "--");

    // Short forms.
    EXPECT_EQ(ost_color_from_str("met-eth"), 3);
    EXPECT_EQ(ost_color_from_str("biz-int"), 4);
    EXPECT_EQ(ost_color_from_str("pub-int"), 5);
    // Only the name's own length is compared: trailing text is ignored.
    EXPECT_EQ(ost_color_from_str("public-internet-2"), 5);
    EXPECT_EQ(ost_color_from_str("mpls:ipsec"), 2);
    EXPECT_EQ(ost_color_from_str("mplsXYZ"), 2);
    EXPECT_EQ(ost_color_from_str("private10"), 17);
    EXPECT_EQ(ost_color_from_str("reddish"), 8);
    // Case-sensitive; a partial name is no match.
    EXPECT_EQ(ost_color_from_str("Public-internet"), 0);
    EXPECT_EQ(ost_color_from_str("MPLS"), 0);
    EXPECT_EQ(ost_color_from_str("mpl"), 0);
    EXPECT_EQ(ost_color_from_str("private"), 0);
    EXPECT_EQ(ost_color_from_str("invalid"), 0);
    EXPECT_EQ(ost_color_from_str(""), 0);
    EXPECT_EQ(ost_color_from_str(nullptr), 0);
}

TEST(OstEncap, NamesAndParsing)
{
    EXPECT_STREQ(ost_encap_str(0), "--");
    EXPECT_STREQ(ost_encap_str(1), "gre");
    EXPECT_STREQ(ost_encap_str(2), "ipsec");
    EXPECT_STREQ(ost_encap_str(3), "--");
    EXPECT_EQ(ost_encap_from_str("ipsec"), 2);
    EXPECT_EQ(ost_encap_from_str("ipsec-tunnel"), 2);
    EXPECT_EQ(ost_encap_from_str("gre"), 1);
    EXPECT_EQ(ost_encap_from_str("grex"), 1);
    EXPECT_EQ(ost_encap_from_str("IPSEC"), 0);
    EXPECT_EQ(ost_encap_from_str("ipse"), 0);
    EXPECT_EQ(ost_encap_from_str(""), 0);
    EXPECT_EQ(ost_encap_from_str(nullptr), 0);

    EXPECT_STREQ(ost_tunnel_encap_str(0), "unknown");
    EXPECT_STREQ(ost_tunnel_encap_str(1), "gre");
    EXPECT_STREQ(ost_tunnel_encap_str(2), "ipsec-tunnel");
    EXPECT_STREQ(ost_tunnel_encap_str(3), "unknown");
}

TEST(OstNames, SecurityTables)
{
    struct Cipher {
        uint32_t code;
        const char *name;
    } ciphers[] = {{0, "null"},          {1, "des"},          {2, "unknown"},      {3, "3des"},
                   {10, "aes128"},       {26, "aes128"},      {11, "aes192"},      {27, "aes192"},
                   {12, "aes256"},       {28, "aes256"},      {42, "aes128-gmac"}, {43, "aes192-gmac"},
                   {44, "aes256-gmac"}, {45, "unknown"},     {13, "unknown"},     {0xFFFFFFFF, "unknown"}};
    for (const Cipher &c : ciphers) {
        EXPECT_STREQ(ost_cipher_str(c.code), c.name) << c.code;
    }
    EXPECT_STREQ(ost_sec_proto_str(0), "ESP");
    EXPECT_STREQ(ost_sec_proto_str(1), "AH_NO_ID");
    EXPECT_STREQ(ost_sec_proto_str(2), "AH");
    EXPECT_STREQ(ost_sec_proto_str(3), "INVALID");
    EXPECT_STREQ(ost_enc_type_str(0), "AES128-GCM");
    EXPECT_STREQ(ost_enc_type_str(1), "3DES-CBC");
    EXPECT_STREQ(ost_enc_type_str(2), "AES256-CBC");
    EXPECT_STREQ(ost_enc_type_str(3), "AES256-GCM");
    EXPECT_STREQ(ost_enc_type_str(4), "INVALID");
    EXPECT_STREQ(ost_integrity_str(0), "HMAC_SHA1");
    EXPECT_STREQ(ost_integrity_str(1), "INVALID");
    EXPECT_STREQ(ost_key_type_str(0), "128");
    EXPECT_STREQ(ost_key_type_str(1), "256");
    EXPECT_STREQ(ost_key_type_str(2), "INVALID");
}

TEST(OstNames, PersonalitiesPreferencesAndRoutes)
{
    const char *personalities[] = {"Unknown", "Brink", "Nexa", "Solon", "Tether", "Steward", "ZTP", "Unknown"};
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_STREQ(ost_personality_str(i), personalities[i]) << i;
    }
    const char *prefs[] = {"none", "strict", "primary", "ecmp", "backup", "unknown"};
    for (uint8_t i = 0; i < 6; i++) {
        EXPECT_STREQ(ost_path_pref_str(i), prefs[i]) << int(i);
    }
    EXPECT_STREQ(ost_path_pref_str(255), "unknown");
    const char *protos[] = {"unknown", "connected", "static", "bgp", "ospf", "aggregate", "natpool", "eigrp", "unknown"};
    for (uint8_t i = 0; i < 9; i++) {
        EXPECT_STREQ(ost_route_proto_str(i), protos[i]) << int(i);
    }

    // Protocols without sub-types name every sub-type "none".
    for (uint8_t proto : {1, 2, 5, 6}) {
        for (uint8_t sub : {0, 1, 7, 255}) {
            EXPECT_STREQ(ost_route_subtype_str(proto, sub), "none") << int(proto) << "/" << int(sub);
        }
    }
    const char *ospf[] = {"none", "intra-area", "inter-area", "external-1", "external-2", "nssa-ext-1", "nssa-ext-2",
                          "unknown"};
    for (uint8_t i = 0; i < 8; i++) {
        EXPECT_STREQ(ost_route_subtype_str(4, i), ospf[i]) << int(i);
    }
    EXPECT_STREQ(ost_route_subtype_str(3, 0), "none");
    EXPECT_STREQ(ost_route_subtype_str(3, 1), "external");
    EXPECT_STREQ(ost_route_subtype_str(3, 2), "internal");
    EXPECT_STREQ(ost_route_subtype_str(3, 3), "unknown");
    EXPECT_STREQ(ost_route_subtype_str(7, 0), "none");
    EXPECT_STREQ(ost_route_subtype_str(7, 1), "external");
    EXPECT_STREQ(ost_route_subtype_str(7, 2), "internal");
    EXPECT_STREQ(ost_route_subtype_str(7, 3), "summary");
    EXPECT_STREQ(ost_route_subtype_str(7, 4), "unknown");
    EXPECT_STREQ(ost_route_subtype_str(0, 0), "unknown");
    EXPECT_STREQ(ost_route_subtype_str(8, 0), "unknown");
}

TEST(OstNames, ServicesAndDevicePaths)
{
    const char *services[] = {"DEFAULT", "FW",      "IDS", "IDP", "netsvc1", "netsvc2",
                              "netsvc3", "netsvc4", "TE",  "sig", "appopt"};
    for (uint32_t i = 0; i < 11; i++) {
        EXPECT_STREQ(ost_service_str(i), services[i]) << i;
    }
    EXPECT_EQ(ost_service_str(11), nullptr);
    EXPECT_EQ(ost_service_str(0xFFFFFFFF), nullptr);

    // Parsing takes the upper-case network services and is exact.
    struct Parse {
        const char *text;
        uint32_t code;
    } parse[] = {{"FW", 1},      {"IDS", 2},     {"IDP", 3},     {"NETSVC1", 4},  {"NETSVC2", 5},
                 {"NETSVC3", 6}, {"NETSVC4", 7}, {"TE", 8},      {"sig", 9},      {"appopt", 10},
                 {"netsvc1", 0}, {"fw", 0},      {"FWX", 0},     {"DEFAULT", 0},  {"SIG", 0},
                 {"", 0}};
    for (const Parse &p : parse) {
        EXPECT_EQ(ost_service_from_str(p.text), p.code) << p.text;
    }
    EXPECT_EQ(ost_service_from_str(nullptr), 0u);

    const char *paths[] = {"unknown", "device/log/", "device/status/", "device/capture/", "device/speed/"};
    for (uint32_t i = 0; i < OST_DEVICE_PATH_MAX; i++) {
        EXPECT_STREQ(ost_device_path_str(i), paths[i]);
        EXPECT_EQ(ost_device_path_from_str(paths[i]), i);
        EXPECT_EQ(ost_device_path_from_str(upper(paths[i]).c_str()), i);
    }
    EXPECT_STREQ(ost_device_path_str(5), "unknown");
    EXPECT_EQ(ost_device_path_from_str("device/log"), 0u);
    EXPECT_EQ(ost_device_path_from_str(nullptr), 0u);
}

TEST(OstAttrFlags, FixedOrderAndEdges)
{
    char buf[OST_ATTR_FLAGS_STR_LEN];
    EXPECT_STREQ(ost_attr_flags_str(0x1, buf, sizeof(buf)), "TLOC ");
    EXPECT_STREQ(ost_attr_flags_str(0x8000, buf, sizeof(buf)), "UNKNOWN ");
    EXPECT_STREQ(ost_attr_flags_str(uint64_t{1} << 23, buf, sizeof(buf)), "");
    EXPECT_STREQ(ost_attr_flags_str(0, buf, sizeof(buf)), "");
    // The display order, not the bit order.
    EXPECT_STREQ(ost_attr_flags_str(0x1 | 0x2 | 0x10 | 0x8000 | (uint64_t{1} << 40), buf, sizeof(buf)),
                 "DOMAIN PREF TLOC REGION-PATH UNKNOWN ");

    const std::string all =
        "DOMAIN GROUP PREF TAG WEIGHT GEN-ID VERSION TLOC Ultimate-TLOC TLOCv4-PUB TLOCv4-PRI TLOCv6-PUB "
        "TLOCv6-PRI SITE-ID REGION-ID REGION-PATH OVERLAY-ID CARRIER QUERY ENCAP ORIGIN ORIGINATOR SRC-VPN "
        "STALE MCAST RESTRICT ON-DEMAND BORDER SLA KLX_APP_NAME UNKNOWN ";
    EXPECT_EQ(all.size(), 257u);
    EXPECT_EQ(ost_attr_flags_str(~uint64_t{0}, buf, sizeof(buf)), all);

    // Each named bit alone.
    struct Bit {
        int bit;
        const char *name;
    } bits[] = {{0, "TLOC"},         {1, "PREF"},        {2, "WEIGHT"},     {3, "TAG"},        {4, "DOMAIN"},
                {5, "SITE-ID"},      {6, "QUERY"},       {7, "ENCAP"},      {8, "TLOCv4-PRI"}, {9, "TLOCv4-PUB"},
                {10, "ORIGIN"},      {11, "ORIGINATOR"}, {12, "SRC-VPN"},   {13, "STALE"},     {14, "CARRIER"},
                {15, "UNKNOWN"},     {16, "MCAST"},      {17, "VERSION"},   {18, "TLOCv6-PRI"}, {19, "TLOCv6-PUB"},
                {20, "GEN-ID"},      {21, "GROUP"},      {22, "RESTRICT"},  {24, "BORDER"},    {25, "Ultimate-TLOC"},
                {26, "SLA"},         {27, "OVERLAY-ID"}, {33, "ON-DEMAND"}, {38, "KLX_APP_NAME"}, {39, "REGION-ID"},
                {40, "REGION-PATH"}};
    uint64_t named = 0;
    for (const Bit &b : bits) {
        named |= uint64_t{1} << b.bit;
        EXPECT_EQ(std::string(ost_attr_flags_str(uint64_t{1} << b.bit, buf, sizeof(buf))), std::string(b.name) + " ");
    }
    EXPECT_STREQ(ost_attr_flags_str(~named, buf, sizeof(buf)), "");

    // A short buffer is cut and terminated.
    char small[8];
    EXPECT_STREQ(ost_attr_flags_str(0x1 | 0x10, small, sizeof(small)), "DOMAIN ");
    char tiny[4];
    EXPECT_STREQ(ost_attr_flags_str(0x10, tiny, sizeof(tiny)), "DOM");
}

TEST(OstInterface, NameTests)
{
    EXPECT_TRUE(ost_is_loopback_or_natpool("loopback0"));
    EXPECT_TRUE(ost_is_loopback_or_natpool("loopback"));
    EXPECT_TRUE(ost_is_loopback_or_natpool("natpool1"));
    EXPECT_FALSE(ost_is_loopback_or_natpool("ge0/0"));
    EXPECT_FALSE(ost_is_loopback_or_natpool("myloopback"));
    EXPECT_FALSE(ost_is_loopback_or_natpool("Loopback0"));
    EXPECT_FALSE(ost_is_loopback_or_natpool(nullptr));

    EXPECT_TRUE(ost_is_system_interface("system"));
    EXPECT_TRUE(ost_is_system_interface("mysystem0"));
    EXPECT_FALSE(ost_is_system_interface("ge0/0"));
    EXPECT_FALSE(ost_is_system_interface(nullptr));

    EXPECT_TRUE(ost_is_physical_interface("ge0/0"));
    EXPECT_TRUE(ost_is_physical_interface("eth1"));
    EXPECT_FALSE(ost_is_physical_interface("ge0/0.100"));
    EXPECT_FALSE(ost_is_physical_interface("loopback1"));
    EXPECT_FALSE(ost_is_physical_interface("natpool2"));
    EXPECT_FALSE(ost_is_physical_interface("system"));
    EXPECT_FALSE(ost_is_physical_interface(nullptr));
}

}  // namespace
