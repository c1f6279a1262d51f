// Name tables of the platform: codes carried in messages turned into names
// for logs and show commands, and a few names back into codes. Every
// function returns a constant string or a caller's buffer and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>

// Module identifiers: the indexes of the module table. They name the ends of
// every message-queue connection and index the daemon's client table.
#define OST_MODULE_MAX 229
enum : uint32_t {
    OST_MODULE_UNKNOWN = 0,
    OST_MODULE_ADVD = 1,
    OST_MODULE_ZORD = 2,
    OST_MODULE_XFWD = 3,
    OST_MODULE_CTLAGENT = 4,
    OST_MODULE_SETKEEPER = 5,
    OST_MODULE_POLICYD = 9,
    OST_MODULE_PROBED = 13,
    OST_MODULE_MCASTD = 16,
    OST_MODULE_AIRLINKD = 21,
    OST_MODULE_KLXD = 24,
    OST_MODULE_CTLAGENT_0 = 35,
    OST_MODULE_CTLAGENT_63 = 98,
    OST_MODULE_TETHER_0 = 99,
    OST_MODULE_CHARON = 163,
    OST_MODULE_CHARON_EVENTS = 164,
    OST_MODULE_TENANT_ZOR_0 = 165,
    OST_MODULE_TENANT_ZOR_63 = 228,
};

// Module name of an id 0-228; an id above 228 is a programming error.
const char *ost_module_str(uint32_t module);
// Case-insensitive exact match over the whole table; 0 when nothing matches.
uint32_t ost_module_from_str(const char *name);

// Transport colours (0-22; other codes print "--").
const char *ost_color_str(uint8_t color);
// TLOC encapsulation: 1 "gre", 2 "ipsec", other "--".
const char *ost_encap_str(uint8_t encap);
