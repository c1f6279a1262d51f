// Name tables and parsers of the common code.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <set>
#include <string>
#include <vector>

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

// names[i] is the name of code i; every code from names.size() up to
// names.size() + 2, and 255, give other.
void expect_names(const std::function<const char *(uint32_t)> &fn, const std::vector<const char *> &names,
                  const char *other, const char *what)
{
    for (uint32_t i = 0; i < names.size(); i++) {
        EXPECT_STREQ(fn(i), names[i]) << what << " " << i;
    }
    for (uint32_t i : {uint32_t(names.size()), uint32_t(names.size() + 2), 255u}) {
        EXPECT_STREQ(fn(i), other) << what << " " << i;
    }
}

TEST(OstModule, TableRowsAndRoundTrips)
{
    const std::pair<uint32_t, const char *> rows[] = {
        {0, "unknown"},      {1, "advd"},          {2, "zord"},           {3, "xfwd"},
        {4, "ctlagent"},     {5, "setkeeper"},     {6, "boxkeeperd"},     {7, "hostkeeperd"},
        {9, "policyd"},      {13, "probed"},       {16, "mcastd"},        {21, "airlinkd"},
        {24, "klxd"},        {34, "ctlagent_internal_max"},               {35, "ctlagent_0"},
        {45, "ctlagent_10"}, {98, "ctlagent_63"},  {99, "tether_0"},      {162, "tether_63"},
        {163, "charon"},     {164, "charon_events"}, {165, "tenant_zor_0"}, {228, "tenant_zor_63"},
    };
    for (const auto &[id, name] : rows) {
        EXPECT_STREQ(ost_module_str(id), name);
    }
    // Every row has a distinct name that parses back to its id in any case
    // (socket paths are built from these names).
    std::set<std::string> seen;
    for (uint32_t id = 0; id < OST_MODULE_MAX; id++) {
        std::string name = ost_module_str(id);
        EXPECT_TRUE(!name.empty() && seen.insert(name).second) << id;
        EXPECT_EQ(ost_module_from_str(name.c_str()), id) << name;
        EXPECT_EQ(ost_module_from_str(upper(name).c_str()), id) << name;
    }
    EXPECT_EQ(ost_module_from_str("Tenant_Zor_7"), 172u);
    for (const char *no : {"zor", "zordd", "tether_64", ""}) {
        EXPECT_EQ(ost_module_from_str(no), 0u) << no;
    }
    EXPECT_EQ(ost_module_from_str(nullptr), 0u);
    EXPECT_TRUE(zt::stops_on_assertion([] { ost_module_str(OST_MODULE_MAX); }, "common/ost_util",
                                       "module < OST_MODULE_MAX"));
}

TEST(OstNames, ColoursAndEncapsulations)
{
    const std::vector<const char *> colours = {
        "invalid", "default",  "mpls",     "metro-ethernet", "biz-internet", "public-internet", "lte",     "3g",
        "red",     "green",    "blue",     "gold",           "silver",       "bronze",          "custom1", "custom2",
        "custom3", "private1", "private2", "private3",       "private4",     "private5",        "private6"};
    expect_names([](uint32_t c) { return ost_color_str(static_cast<uint8_t>(c)); }, colours, "--", "colour");
    for (uint8_t code = 1; code <= OST_COLOR_MAX; code++) {
        EXPECT_EQ(ost_color_from_str(colours[code]), code) << colours[code];
    }
    // Short forms; only the name's own length is compared, case-sensitive.
    const std::pair<const char *, int> parse[] = {
        {"met-eth", 3},  {"biz-int", 4}, {"pub-int", 5},   {"public-internet-2", 5}, {"mpls:ipsec", 2},
        {"private10", 17}, {"reddish", 8}, {"Public-internet", 0}, {"MPLS", 0}, {"mpl", 0},
        {"private", 0},  {"invalid", 0}, {"", 0},
    };
    for (const auto &[text, code] : parse) {
        EXPECT_EQ(ost_color_from_str(text), code) << text;
    }
    EXPECT_EQ(ost_color_from_str(nullptr), 0);

    expect_names([](uint32_t c) { return ost_encap_str(static_cast<uint8_t>(c)); }, {"--", "gre", "ipsec"}, "--",
                 "encap");
    const std::pair<const char *, int> encaps[] = {{"ipsec", 2}, {"ipsec-tunnel", 2}, {"gre", 1}, {"grex", 1},
                                                   {"IPSEC", 0}, {"ipse", 0},         {"", 0}};
    for (const auto &[text, code] : encaps) {
        EXPECT_EQ(ost_encap_from_str(text), code) << text;
    }
    EXPECT_EQ(ost_encap_from_str(nullptr), 0);
    expect_names(ost_tunnel_encap_str, {"unknown", "gre", "ipsec-tunnel"}, "unknown", "tunnel encap");
}

TEST(OstNames, SecurityRouteAndDeviceTables)
{
    const std::pair<uint32_t, const char *> ciphers[] = {
        {0, "null"},   {1, "des"},    {2, "unknown"}, {3, "3des"},        {10, "aes128"},      {26, "aes128"},
        {11, "aes192"}, {27, "aes192"}, {12, "aes256"}, {28, "aes256"},   {42, "aes128-gmac"}, {43, "aes192-gmac"},
        {44, "aes256-gmac"}, {45, "unknown"}, {13, "unknown"}, {0xFFFFFFFF, "unknown"}};
    for (const auto &[code, name] : ciphers) {
        EXPECT_STREQ(ost_cipher_str(code), name) << code;
    }
    expect_names(ost_sec_proto_str, {"ESP", "AH_NO_ID", "AH"}, "INVALID", "sec proto");
    expect_names(ost_enc_type_str, {"AES128-GCM", "3DES-CBC", "AES256-CBC", "AES256-GCM"}, "INVALID", "enc type");
    expect_names(ost_integrity_str, {"HMAC_SHA1"}, "INVALID", "integrity");
    expect_names(ost_key_type_str, {"128", "256"}, "INVALID", "key type");
    expect_names(ost_personality_str, {"Unknown", "Brink", "Nexa", "Solon", "Tether", "Steward", "ZTP"}, "Unknown",
                 "personality");
    expect_names([](uint32_t c) { return ost_path_pref_str(static_cast<uint8_t>(c)); },
                 {"none", "strict", "primary", "ecmp", "backup"}, "unknown", "path pref");
    expect_names([](uint32_t c) { return ost_route_proto_str(static_cast<uint8_t>(c)); },
                 {"unknown", "connected", "static", "bgp", "ospf", "aggregate", "natpool", "eigrp"}, "unknown",
                 "route proto");

    // Route sub-types by protocol; protocols without sub-types say "none".
    for (uint8_t proto : std::initializer_list<uint8_t>{1, 2, 5, 6}) {
        expect_names([proto](uint32_t s) { return ost_route_subtype_str(proto, static_cast<uint8_t>(s)); }, {},
                     "none", "no sub-types");
    }
    auto subtypes = [](uint8_t proto) {
        return [proto](uint32_t s) { return ost_route_subtype_str(proto, static_cast<uint8_t>(s)); };
    };
    expect_names(subtypes(4),
                 {"none", "intra-area", "inter-area", "external-1", "external-2", "nssa-ext-1", "nssa-ext-2"},
                 "unknown", "ospf");
    expect_names(subtypes(3), {"none", "external", "internal"}, "unknown", "bgp");
    expect_names(subtypes(7), {"none", "external", "internal", "summary"}, "unknown", "eigrp");
    expect_names(subtypes(0), {}, "unknown", "proto 0");
    expect_names(subtypes(8), {}, "unknown", "proto 8");

    // Services print the network services in lower case and parse them in
    // upper case, exactly.
    expect_names(ost_service_str,
                 {"DEFAULT", "FW", "IDS", "IDP", "netsvc1", "netsvc2", "netsvc3", "netsvc4", "TE", "sig", "appopt"},
                 nullptr, "service");
    const std::pair<const char *, uint32_t> services[] = {
        {"FW", 1},      {"IDS", 2},     {"IDP", 3}, {"NETSVC1", 4}, {"NETSVC2", 5}, {"NETSVC3", 6},
        {"NETSVC4", 7}, {"TE", 8},      {"sig", 9}, {"appopt", 10}, {"netsvc1", 0}, {"fw", 0},
        {"FWX", 0},     {"DEFAULT", 0}, {"SIG", 0}, {"", 0}};
    for (const auto &[text, code] : services) {
        EXPECT_EQ(ost_service_from_str(text), code) << text;
    }
    EXPECT_EQ(ost_service_from_str(nullptr), 0u);

    const std::vector<const char *> paths = {"unknown", "device/log/", "device/status/", "device/capture/",
                                             "device/speed/"};
    expect_names(ost_device_path_str, paths, "unknown", "device path");
    for (uint32_t i = 0; i < paths.size(); i++) {
        EXPECT_EQ(ost_device_path_from_str(upper(paths[i]).c_str()), i);
    }
    EXPECT_EQ(ost_device_path_from_str("device/log"), 0u);
    EXPECT_EQ(ost_device_path_from_str(nullptr), 0u);
}

TEST(OstNames, AttributeFlagsInDisplayOrder)
{
    char buf[OST_ATTR_FLAGS_STR_LEN];
    const std::pair<int, const char *> bits[] = {
        {4, "DOMAIN"},      {21, "GROUP"},      {1, "PREF"},        {3, "TAG"},           {2, "WEIGHT"},
        {20, "GEN-ID"},     {17, "VERSION"},    {0, "TLOC"},        {25, "Ultimate-TLOC"}, {9, "TLOCv4-PUB"},
        {8, "TLOCv4-PRI"},  {19, "TLOCv6-PUB"}, {18, "TLOCv6-PRI"}, {5, "SITE-ID"},       {39, "REGION-ID"},
        {40, "REGION-PATH"}, {27, "OVERLAY-ID"}, {14, "CARRIER"},   {6, "QUERY"},         {7, "ENCAP"},
        {10, "ORIGIN"},     {11, "ORIGINATOR"}, {12, "SRC-VPN"},    {13, "STALE"},        {16, "MCAST"},
        {22, "RESTRICT"},   {33, "ON-DEMAND"},  {24, "BORDER"},     {26, "SLA"},          {38, "KLX_APP_NAME"},
        {15, "UNKNOWN"}};
    uint64_t named = 0;
    std::string all;
    for (const auto &[bit, name] : bits) {
        named |= uint64_t{1} << bit;
        all += std::string(name) + " ";
        EXPECT_EQ(std::string(ost_attr_flags_str(uint64_t{1} << bit, buf, sizeof(buf))), std::string(name) + " ");
    }
    EXPECT_EQ(all.size(), 257u);
    EXPECT_EQ(ost_attr_flags_str(~uint64_t{0}, buf, sizeof(buf)), all);
    EXPECT_STREQ(ost_attr_flags_str(~named, buf, sizeof(buf)), "");
    EXPECT_STREQ(ost_attr_flags_str(uint64_t{1} << 23, buf, sizeof(buf)), "");
    // A short buffer is cut and terminated.
    char tiny[4];
    EXPECT_STREQ(ost_attr_flags_str(0x10, tiny, sizeof(tiny)), "DOM");
}

TEST(OstNames, InterfaceNameTests)
{
    for (const char *yes : {"loopback0", "loopback", "natpool1"}) {
        EXPECT_TRUE(ost_is_loopback_or_natpool(yes)) << yes;
    }
    for (const char *no : {"ge0/0", "myloopback", "Loopback0"}) {
        EXPECT_FALSE(ost_is_loopback_or_natpool(no)) << no;
    }
    EXPECT_TRUE(ost_is_system_interface("mysystem0"));
    EXPECT_FALSE(ost_is_system_interface("ge0/0"));
    EXPECT_TRUE(ost_is_physical_interface("ge0/0"));
    for (const char *no : {"ge0/0.100", "loopback1", "natpool2", "system"}) {
        EXPECT_FALSE(ost_is_physical_interface(no)) << no;
    }
    EXPECT_FALSE(ost_is_loopback_or_natpool(nullptr) || ost_is_system_interface(nullptr) ||
                 ost_is_physical_interface(nullptr));
}

}  // namespace
