// Name tables of the platform: codes carried in messages turned into names
// for logs and show commands, and a few names back into codes. Every
// function returns a constant string or a caller's buffer and keeps no state;
// all are safe to call from any thread.
//
// The pairwise-key functions of the common code live in ost_pwk.h.
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
    OST_MODULE_BOXKEEPERD = 6,
    OST_MODULE_HOSTKEEPERD = 7,
    OST_MODULE_POLICYD = 9,
    OST_MODULE_PROBED = 13,
    OST_MODULE_MCASTD = 16,
    OST_MODULE_AIRLINKD = 21,
    OST_MODULE_KLXD = 24,
    OST_MODULE_CTLAGENT_INTERNAL_MAX = 34,
    OST_MODULE_CTLAGENT_0 = 35,
    OST_MODULE_CTLAGENT_63 = 98,
    OST_MODULE_TETHER_0 = 99,
    OST_MODULE_TETHER_63 = 162,
    OST_MODULE_CHARON = 163,
    OST_MODULE_CHARON_EVENTS = 164,
    OST_MODULE_TENANT_ZOR_0 = 165,
    OST_MODULE_TENANT_ZOR_63 = 228,
};

// Module name of an id 0-228. An id above 228 is a programming error
// (assertion): callers range-check ids that arrive from peers first.
const char *ost_module_str(uint32_t module);
// Case-insensitive exact match over the whole table; 0 when nothing matches
// (and for NULL).
uint32_t ost_module_from_str(const char *name);

// Transport colours. Codes 0-22 have names; any other code prints "--".
#define OST_COLOR_MAX 22
const char *ost_color_str(uint8_t color);
// The colour whose name (or short form "met-eth", "biz-int", "pub-int") the
// text begins with; anything after the name is ignored. Case-sensitive.
// 0 when nothing matches (and for NULL).
uint8_t ost_color_from_str(const char *text);

// TLOC encapsulation: 1 "gre", 2 "ipsec", other "--".
#define OST_ENCAP_GRE 1
#define OST_ENCAP_IPSEC 2
const char *ost_encap_str(uint8_t encap);
// 2 for text beginning with "ipsec", 1 with "gre", else 0 (and for NULL).
uint8_t ost_encap_from_str(const char *text);

// Tunnel encapsulation of security entries: 1 "gre", 2 "ipsec-tunnel",
// other "unknown".
const char *ost_tunnel_encap_str(uint32_t encap);
// Encryption algorithm: "null", "des", "3des", "aes128", ...; "unknown".
const char *ost_cipher_str(uint32_t alg);
// 0 "ESP", 1 "AH_NO_ID", 2 "AH", other "INVALID".
const char *ost_sec_proto_str(uint32_t proto);
// 0 "AES128-GCM", 1 "3DES-CBC", 2 "AES256-CBC", 3 "AES256-GCM", other "INVALID".
const char *ost_enc_type_str(uint32_t type);
// 0 "HMAC_SHA1", other "INVALID".
const char *ost_integrity_str(uint32_t integrity);
// 0 "128", 1 "256", other "INVALID".
const char *ost_key_type_str(uint32_t type);
// Device personality 1-6; other "Unknown".
const char *ost_personality_str(uint32_t personality);
// Path preference 0-4; other "unknown".
const char *ost_path_pref_str(uint8_t pref);
// Route protocol 1-7; other "unknown".
const char *ost_route_proto_str(uint8_t proto);
// Route sub-type of a protocol: "none" for protocols without sub-types,
// "unknown" for any pair without a name.
const char *ost_route_subtype_str(uint8_t proto, uint8_t subtype);

// Service 0-10; NULL for any other code.
const char *ost_service_str(uint32_t service);
// Exact, case-sensitive; the network services are parsed in their upper-case
// form ("NETSVC1"). 0 when nothing matches (and for NULL).
uint32_t ost_service_from_str(const char *text);

// Device paths 0-4 ("unknown", "device/log/", ...); other codes "unknown".
#define OST_DEVICE_PATH_MAX 5
const char *ost_device_path_str(uint32_t path);
// Case-insensitive exact match over the device-path table; 0 when nothing
// matches (and for NULL).
uint32_t ost_device_path_from_str(const char *text);

// Names of the set bits of a TLOC attribute mask, each followed by one blank,
// in the fixed display order; bits without a name print nothing. The longest
// result is 257 characters; a shorter buffer gets a cut, terminated text.
// Returns buf.
#define OST_ATTR_FLAGS_STR_LEN 512
char *ost_attr_flags_str(uint64_t mask, char *buf, size_t len);

// Interface-name tests (false for NULL).
// The name begins with "loopback" or "natpool".
bool ost_is_loopback_or_natpool(const char *ifname);
// The name contains "system".
bool ost_is_system_interface(const char *ifname);
// A plain transport interface: no "." (not a sub-interface), not loopback or
// natpool, and no "system".
bool ost_is_physical_interface(const char *ifname);
