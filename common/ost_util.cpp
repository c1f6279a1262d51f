#include "ost_util.h"

#include <array>
#include <cstdio>
#include <strings.h>
#include <string>

#include "ost_assert.h"

namespace {

// Rows 0-34 and 163-164 are fixed names; the numbered ranges are generated.
// Rows 8-33 are the other daemons of the platform.
constexpr const char *k_fixed_modules[35] = {
    "unknown",      // 0
    "advd",         // 1: route distribution
    "zord",         // 2: this daemon
    "xfwd",         // 3: forwarding plane
    "ctlagent",     // 4
    "setkeeper",    // 5
    "boxkeeperd",   // 6
    "hostkeeperd",  // 7
    "routed",       // 8: routing protocols
    "policyd",      // 9
    "dhcpd",        // 10
    "snmpd",        // 11
    "flowexpd",     // 12: flow export
    "probed",       // 13
    "dnsd",         // 14
    "ntpd",         // 15
    "mcastd",       // 16
    "natd",         // 17
    "qosd",         // 18
    "aaad",         // 19
    "logd",         // 20
    "airlinkd",     // 21
    "certd",        // 22
    "pimd",         // 23
    "klxd",         // 24
    "bfdd",         // 25
    "ospfd",        // 26
    "bgpd",         // 27
    "vrrpd",        // 28
    "lldpd",        // 29
    "ikemgrd",      // 30
    "webd",         // 31
    "statsd",       // 32
    "cloudd",       // 33
    "ctlagent_internal_max",  // 34
};

const std::array<std::string, OST_MODULE_MAX> &module_table()
{
    static const std::array<std::string, OST_MODULE_MAX> table = [] {
        std::array<std::string, OST_MODULE_MAX> t;
        for (uint32_t i = 0; i < 35; i++) {
            t[i] = k_fixed_modules[i];
        }
        for (uint32_t i = 0; i < 64; i++) {
            t[OST_MODULE_CTLAGENT_0 + i] = "ctlagent_" + std::to_string(i);
            t[OST_MODULE_TETHER_0 + i] = "tether_" + std::to_string(i);
            t[OST_MODULE_TENANT_ZOR_0 + i] = "tenant_zor_" + std::to_string(i);
        }
        t[OST_MODULE_CHARON] = "charon";
        t[OST_MODULE_CHARON_EVENTS] = "charon_events";
        return t;
    }();
    return table;
}

constexpr const char *k_colors[] = {
    "invalid", "default", "mpls", "metro-ethernet", "biz-internet", "public-internet", "lte", "3g",
    "red", "green", "blue", "gold", "silver", "bronze", "custom1", "custom2",
    "custom3", "private1", "private2", "private3", "private4", "private5", "private6",
};

}  // namespace

const char *ost_module_str(uint32_t module)
{
    OST_ASSERT(module < OST_MODULE_MAX);
    return module_table()[module].c_str();
}

uint32_t ost_module_from_str(const char *name)
{
    const auto &table = module_table();
    for (uint32_t i = 0; i < OST_MODULE_MAX; i++) {
        if (strcasecmp(name, table[i].c_str()) == 0) {
            return i;
        }
    }
    return 0;
}

const char *ost_color_str(uint8_t color)
{
    return color < std::size(k_colors) ? k_colors[color] : "--";
}

const char *ost_encap_str(uint8_t encap)
{
    switch (encap) {
    case 1:
        return "gre";
    case 2:
        return "ipsec";
    default:
        return "--";
    }
}
