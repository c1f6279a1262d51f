#include "ost_util.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <strings.h>

#include "ost_assert.h"

namespace {

// ---- Module table -------------------------------------------------------

// Rows 0-34 have fixed names; the three numbered ranges and the IKE rows are
// added when the table is built. Rows 8-33 are the other daemons of the
// platform; 9, 13, 16, 21 and 24 are the ones the daemon serves or gates on.
constexpr const char *k_fixed_modules[] = {
    "unknown",                // 0
    "advd",                   // 1: route distribution
    "zord",                   // 2: this daemon
    "xfwd",                   // 3: forwarding plane
    "ctlagent",               // 4
    "setkeeper",              // 5
    "boxkeeperd",             // 6
    "hostkeeperd",            // 7
    "routed",                 // 8: routing protocols
    "policyd",                // 9
    "dhcpd",                  // 10
    "snmpd",                  // 11
    "flowexpd",               // 12: flow export
    "probed",                 // 13
    "dnsd",                   // 14
    "ntpd",                   // 15
    "mcastd",                 // 16
    "natd",                   // 17
    "qosd",                   // 18
    "aaad",                   // 19
    "logd",                   // 20
    "airlinkd",               // 21
    "certd",                  // 22
    "pimd",                   // 23
    "klxd",                   // 24
    "bfdd",                   // 25
    "ospfd",                  // 26
    "bgpd",                   // 27
    "vrrpd",                  // 28
    "lldpd",                  // 29
    "ikemgrd",                // 30
    "webd",                   // 31
    "statsd",                 // 32
    "cloudd",                 // 33
    "ctlagent_internal_max",  // 34
};
static_assert(std::size(k_fixed_modules) == OST_MODULE_CTLAGENT_0);

// Longest name: "ctlagent_internal_max" (21 characters).
constexpr size_t k_module_name_size = 24;
struct module_name_t {
    char text[k_module_name_size];
};
using module_table_t = std::array<module_name_t, OST_MODULE_MAX>;

constexpr void module_name_set(module_name_t &row, std::string_view prefix, int number = -1)
{
    size_t n = 0;
    for (char c : prefix) {
        row.text[n++] = c;
    }
    if (number >= 0) {
        if (number >= 10) {
            row.text[n++] = static_cast<char>('0' + number / 10);
        }
        row.text[n++] = static_cast<char>('0' + number % 10);
    }
    row.text[n] = '\0';
}

constexpr module_table_t module_table_build()
{
    module_table_t t{};
    for (uint32_t i = 0; i < std::size(k_fixed_modules); i++) {
        module_name_set(t[i], k_fixed_modules[i]);
    }
    for (int i = 0; i < 64; i++) {
        module_name_set(t[OST_MODULE_CTLAGENT_0 + i], "ctlagent_", i);
        module_name_set(t[OST_MODULE_TETHER_0 + i], "tether_", i);
        module_name_set(t[OST_MODULE_TENANT_ZOR_0 + i], "tenant_zor_", i);
    }
    module_name_set(t[OST_MODULE_CHARON], "charon");
    module_name_set(t[OST_MODULE_CHARON_EVENTS], "charon_events");
    return t;
}

constexpr module_table_t k_modules = module_table_build();

constexpr bool module_is(uint32_t row, std::string_view name)
{
    return std::string_view(k_modules[row].text) == name;
}
static_assert(module_is(OST_MODULE_ZORD, "zord"));
static_assert(module_is(OST_MODULE_CTLAGENT_0, "ctlagent_0"));
static_assert(module_is(OST_MODULE_CTLAGENT_63, "ctlagent_63"));
static_assert(module_is(OST_MODULE_TETHER_0, "tether_0"));
static_assert(module_is(OST_MODULE_TETHER_63, "tether_63"));
static_assert(module_is(OST_MODULE_CHARON_EVENTS, "charon_events"));
static_assert(module_is(OST_MODULE_TENANT_ZOR_63, "tenant_zor_63"));

// ---- Small tables ---------------------------------------------------------

constexpr const char *k_colors[] = {
    "invalid", "default", "mpls",    "metro-ethernet", "biz-internet", "public-internet",
    "lte",     "3g",      "red",     "green",          "blue",         "gold",
    "silver",  "bronze",  "custom1", "custom2",        "custom3",      "private1",
    "private2", "private3", "private4", "private5",    "private6",
};
static_assert(std::size(k_colors) == OST_COLOR_MAX + 1);

struct name_code_t {
    const char *name;
    uint32_t code;
};

// The order matters: every entry is compared over its own length only, so
// the first name the text begins with wins.
constexpr name_code_t k_color_parse[] = {
    {"default", 1},   {"mpls", 2},      {"met-eth", 3},          {"metro-ethernet", 3},
    {"biz-int", 4},   {"biz-internet", 4}, {"pub-int", 5},       {"public-internet", 5},
    {"lte", 6},       {"3g", 7},        {"red", 8},              {"green", 9},
    {"blue", 10},     {"gold", 11},     {"silver", 12},          {"bronze", 13},
    {"custom1", 14},  {"custom2", 15},  {"custom3", 16},         {"private1", 17},
    {"private2", 18}, {"private3", 19}, {"private4", 20},        {"private5", 21},
    {"private6", 22},
};

constexpr name_code_t k_service_parse[] = {
    {"FW", 1},      {"IDS", 2},     {"IDP", 3},     {"NETSVC1", 4}, {"NETSVC2", 5},
    {"NETSVC3", 6}, {"NETSVC4", 7}, {"TE", 8},      {"sig", 9},     {"appopt", 10},
};

constexpr const char *k_services[] = {
    "DEFAULT", "FW", "IDS", "IDP", "netsvc1", "netsvc2", "netsvc3", "netsvc4", "TE", "sig", "appopt",
};

constexpr const char *k_device_paths[] = {
    "unknown", "device/log/", "device/status/", "device/capture/", "device/speed/",
};
static_assert(std::size(k_device_paths) == OST_DEVICE_PATH_MAX);

constexpr const char *k_sec_protos[] = {"ESP", "AH_NO_ID", "AH"};
constexpr const char *k_enc_types[] = {"AES128-GCM", "3DES-CBC", "AES256-CBC", "AES256-GCM"};
constexpr const char *k_key_types[] = {"128", "256"};
constexpr const char *k_personalities[] = {nullptr, "Brink", "Nexa", "Solon", "Tether", "Steward", "ZTP"};
constexpr const char *k_path_prefs[] = {"none", "strict", "primary", "ecmp", "backup"};
constexpr const char *k_route_protos[] = {nullptr,  "connected", "static", "bgp",
                                          "ospf",   "aggregate", "natpool", "eigrp"};

constexpr const char *k_ospf_subtypes[] = {"none",       "intra-area", "inter-area", "external-1",
                                           "external-2", "nssa-ext-1", "nssa-ext-2"};
constexpr const char *k_bgp_subtypes[] = {"none", "external", "internal"};
constexpr const char *k_eigrp_subtypes[] = {"none", "external", "internal", "summary"};

// A table lookup that falls back to a default name for codes beyond the
// table and for holes (nullptr rows).
template <size_t N>
constexpr const char *table_name(const char *const (&table)[N], uint64_t code, const char *other)
{
    if (code >= N || table[code] == nullptr) {
        return other;
    }
    return table[code];
}

// Display order of the attribute names; the longest result is 257
// characters.
constexpr struct {
    const char *name;
    uint8_t bit;
} k_attr_flags[] = {
    {"DOMAIN", 4},       {"GROUP", 21},       {"PREF", 1},        {"TAG", 3},
    {"WEIGHT", 2},       {"GEN-ID", 20},      {"VERSION", 17},    {"TLOC", 0},
    {"Ultimate-TLOC", 25}, {"TLOCv4-PUB", 9}, {"TLOCv4-PRI", 8},  {"TLOCv6-PUB", 19},
    {"TLOCv6-PRI", 18},  {"SITE-ID", 5},      {"REGION-ID", 39},  {"REGION-PATH", 40},
    {"OVERLAY-ID", 27},  {"CARRIER", 14},     {"QUERY", 6},       {"ENCAP", 7},
    {"ORIGIN", 10},      {"ORIGINATOR", 11},  {"SRC-VPN", 12},    {"STALE", 13},
    {"MCAST", 16},       {"RESTRICT", 22},    {"ON-DEMAND", 33},  {"BORDER", 24},
    {"SLA", 26},         {"KLX_APP_NAME", 38}, {"UNKNOWN", 15},
};

constexpr size_t attr_flags_max_len()
{
    size_t n = 0;
    for (const auto &f : k_attr_flags) {
        n += std::string_view(f.name).size() + 1;
    }
    return n;
}
static_assert(attr_flags_max_len() == 257);
static_assert(attr_flags_max_len() < OST_ATTR_FLAGS_STR_LEN);

bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

const char *ost_module_str(uint32_t module)
{
    OST_ASSERT(module < OST_MODULE_MAX);
    return k_modules[module].text;
}

uint32_t ost_module_from_str(const char *name)
{
    if (name == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < OST_MODULE_MAX; i++) {
        if (strcasecmp(name, k_modules[i].text) == 0) {
            return i;
        }
    }
    return 0;
}

const char *ost_color_str(uint8_t color)
{
    return table_name(k_colors, color, "--");
}

uint8_t ost_color_from_str(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    for (const name_code_t &entry : k_color_parse) {
        if (starts_with(text, entry.name)) {
            return static_cast<uint8_t>(entry.code);
        }
    }
    return 0;
}

const char *ost_encap_str(uint8_t encap)
{
    switch (encap) {
    case OST_ENCAP_GRE:
        return "gre";
    case OST_ENCAP_IPSEC:
        return "ipsec";
    default:
        return "--";
    }
}

uint8_t ost_encap_from_str(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    if (starts_with(text, "ipsec")) {
        return OST_ENCAP_IPSEC;
    }
    if (starts_with(text, "gre")) {
        return OST_ENCAP_GRE;
    }
    return 0;
}

const char *ost_tunnel_encap_str(uint32_t encap)
{
    switch (encap) {
    case 1:
        return "gre";
    case 2:
        return "ipsec-tunnel";
    default:
        return "unknown";
    }
}

const char *ost_cipher_str(uint32_t alg)
{
    switch (alg) {
    case 0:
        return "null";
    case 1:
        return "des";
    case 3:
        return "3des";
    case 10:
    case 26:
        return "aes128";
    case 11:
    case 27:
        return "aes192";
    case 12:
    case 28:
        return "aes256";
    case 42:
        return "aes128-gmac";
    case 43:
        return "aes192-gmac";
    case 44:
        return "aes256-gmac";
    default:
        return "unknown";
    }
}

const char *ost_sec_proto_str(uint32_t proto)
{
    return table_name(k_sec_protos, proto, "INVALID");
}

const char *ost_enc_type_str(uint32_t type)
{
    return table_name(k_enc_types, type, "INVALID");
}

const char *ost_integrity_str(uint32_t integrity)
{
    return integrity == 0 ? "HMAC_SHA1" : "INVALID";
}

const char *ost_key_type_str(uint32_t type)
{
    return table_name(k_key_types, type, "INVALID");
}

const char *ost_personality_str(uint32_t personality)
{
    return table_name(k_personalities, personality, "Unknown");
}

const char *ost_path_pref_str(uint8_t pref)
{
    return table_name(k_path_prefs, pref, "unknown");
}

const char *ost_route_proto_str(uint8_t proto)
{
    return table_name(k_route_protos, proto, "unknown");
}

const char *ost_route_subtype_str(uint8_t proto, uint8_t subtype)
{
    switch (proto) {
    case 1:  // connected
    case 2:  // static
    case 5:  // aggregate
    case 6:  // natpool
        return "none";
    case 3:
        return table_name(k_bgp_subtypes, subtype, "unknown");
    case 4:
        return table_name(k_ospf_subtypes, subtype, "unknown");
    case 7:
        return table_name(k_eigrp_subtypes, subtype, "unknown");
    default:
        return "unknown";
    }
}

const char *ost_service_str(uint32_t service)
{
    return table_name(k_services, service, nullptr);
}

uint32_t ost_service_from_str(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    for (const name_code_t &entry : k_service_parse) {
        if (strcmp(text, entry.name) == 0) {
            return entry.code;
        }
    }
    return 0;
}

const char *ost_device_path_str(uint32_t path)
{
    return table_name(k_device_paths, path, "unknown");
}

uint32_t ost_device_path_from_str(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < std::size(k_device_paths); i++) {
        if (strcasecmp(text, k_device_paths[i]) == 0) {
            return i;
        }
    }
    return 0;
}

char *ost_attr_flags_str(uint64_t mask, char *buf, size_t len)
{
    if (buf == nullptr || len == 0) {
        return buf;
    }
    buf[0] = '\0';
    size_t used = 0;
    for (const auto &flag : k_attr_flags) {
        if ((mask & (uint64_t{1} << flag.bit)) == 0) {
            continue;
        }
        int n = snprintf(buf + used, len - used, "%s ", flag.name);
        if (n < 0 || static_cast<size_t>(n) >= len - used) {
            break;  // cut: snprintf left the buffer terminated
        }
        used += static_cast<size_t>(n);
    }
    return buf;
}

bool ost_is_loopback_or_natpool(const char *ifname)
{
    return ifname != nullptr && (starts_with(ifname, "loopback") || starts_with(ifname, "natpool"));
}

bool ost_is_system_interface(const char *ifname)
{
    return ifname != nullptr && strstr(ifname, "system") != nullptr;
}

bool ost_is_physical_interface(const char *ifname)
{
    return ifname != nullptr && strchr(ifname, '.') == nullptr && !ost_is_loopback_or_natpool(ifname) &&
           !ost_is_system_interface(ifname);
}
