// The message record exchanged between zord and its peer daemons, the TLOC
// attribute block it carries, and the codec that turns a record into bytes
// and back.
//
// Peers fill or read one in-memory record, zor_msg_t, whose byte layout is
// fixed: the daemons agree on these positions, so every field below is pinned
// with a static_assert. The bytes on the wire are the codec's own (see
// zor_msg_encode); the record is never sent as it stands.
//
// What survives encode + decode (everything else comes back zero):
// - the header: type, sender and family;
// - every field of the body of the message's type that is named below, with
//   these limits:
//   * an address (ip_addr_t) keeps its family and, for IPv4 (family 2), the
//     32-bit value only; for every other family all 16 value bytes;
//   * TLOC add/delete: only the first path_count path descriptors, and in
//     each only the first label_count labels;
//   * the attribute block: the flags word, the weight and the carrier
//     always (a receiver checks those two on every add); every other field
//     only when its presence bit is set in the flags (fields whose bit is clear
//     come back zero); of the count-and-list fields only the counted entries;
//   * the QoS-group name only with presence bit 30, up to its first NUL;
//   * texts (tracker name and attach point) up to their first NUL;
//   * control-device region ids: the first region_count of them;
// - padding and unnamed bytes are never carried.
// A record that is already in this form comes back byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ip_util.h"

// Message types.
#define ZOR_MSG_REGISTER 1
#define ZOR_MSG_UNREGISTER 2
#define ZOR_MSG_TLOC_BFD_STATUS 3
#define ZOR_MSG_LINK_STATUS 4
#define ZOR_MSG_TLOC_ADD 5
#define ZOR_MSG_TLOC_DEL 6
#define ZOR_MSG_LINK_ADD 7
#define ZOR_MSG_LINK_DEL 8
#define ZOR_MSG_CTRL_DEVICE_ADD 9
#define ZOR_MSG_CTRL_DEVICE_DEL 10
#define ZOR_MSG_DATA_DEVICE_ADD 11
#define ZOR_MSG_DATA_DEVICE_DEL 12
#define ZOR_MSG_VPN_SEC_ADD 13
#define ZOR_MSG_VPN_SEC_DEL 14
#define ZOR_MSG_PEER_SEC_ADD 15
#define ZOR_MSG_PEER_SEC_DEL 16
#define ZOR_MSG_TRACKER_ADD 17
#define ZOR_MSG_TRACKER_DEL 18
#define ZOR_MSG_TRACKER_STATUS 19
#define ZOR_MSG_DATA_DEVICE_STATE 20
#define ZOR_MSG_TYPE_MAX 20

// Origins of a TLOC or link (and of security announcements).
#define ZOR_MSG_ORIGIN_LOCAL 1
#define ZOR_MSG_ORIGIN_REMOTE 2

// BFD states and TLOC statuses.
#define ZOR_BFD_STATE_DOWN 0
#define ZOR_BFD_STATE_UP 1
#define ZOR_BFD_STATE_NO_PATH 2
#define ZOR_TLOC_STATUS_UP 1
#define ZOR_TLOC_STATUS_DOWN 2
#define ZOR_TLOC_STATUS_NO_PATH 3

// Every encoded message fits this many bytes (the buffer a sender takes from
// the message queue); decode rejects anything longer.
#define ZOR_MSG_ENCODE_MAX 1024
// The first byte of every encoded message.
#define ZOR_MSG_FORMAT_VERSION 1

#define ZOR_MSG_BODY_SIZE 1104

typedef tloc_key_t zor_tloc_key_t;

// Presence bits of the attribute flags word (bit numbers).
#define ZOR_TLOC_ATTR_TLOC 0
#define ZOR_TLOC_ATTR_PREF 1
#define ZOR_TLOC_ATTR_WEIGHT 2
#define ZOR_TLOC_ATTR_TAG 3
#define ZOR_TLOC_ATTR_DOMAIN 4
#define ZOR_TLOC_ATTR_SITE_ID 5
#define ZOR_TLOC_ATTR_QUERY 6
#define ZOR_TLOC_ATTR_ENCAP 7
#define ZOR_TLOC_ATTR_TLOCV4_PRI 8
#define ZOR_TLOC_ATTR_TLOCV4_PUB 9
#define ZOR_TLOC_ATTR_STALE 13
#define ZOR_TLOC_ATTR_CARRIER 14
#define ZOR_TLOC_ATTR_VERSION 17
#define ZOR_TLOC_ATTR_TLOCV6_PRI 18
#define ZOR_TLOC_ATTR_TLOCV6_PUB 19
#define ZOR_TLOC_ATTR_GEN_ID 20
#define ZOR_TLOC_ATTR_GROUP 21
#define ZOR_TLOC_ATTR_RESTRICT 22
#define ZOR_TLOC_ATTR_SECURITY 23  // the pairwise-keys attribute
#define ZOR_TLOC_ATTR_BORDER 24
#define ZOR_TLOC_ATTR_BANDWIDTH 29
#define ZOR_TLOC_ATTR_QOS_GROUP 30
#define ZOR_TLOC_ATTR_CAPABILITY 31
#define ZOR_TLOC_ATTR_INSTALLED 32
#define ZOR_TLOC_ATTR_ON_DEMAND 33
#define ZOR_TLOC_ATTR_REGION_ID 39
#define ZOR_TLOC_ATTR_BIT(bit) (uint64_t{1} << (bit))

// Tunnel encapsulations of the attribute block.
#define ZOR_TUNNEL_ENCAP_GRE 1
#define ZOR_TUNNEL_ENCAP_IPSEC 2

#define ZOR_TLOC_SEC_PROTO_MAX 3
#define ZOR_TLOC_SEC_ENC_TYPE_MAX 4
#define ZOR_TLOC_SEC_KEY_MAX 2
#define ZOR_TLOC_SEC_KEY_LEN 64
#define ZOR_TLOC_GROUP_MAX 9
#define ZOR_TLOC_PATH_MAX 8
#define ZOR_TLOC_PATH_LABEL_MAX 3
#define ZOR_TLOC_QOS_NAME_LEN 64
#define ZOR_TLOC_ENCAP_KEY_LEN 64

// A key of the security attribute: its type, then 64 key bytes.
struct zor_tloc_sec_key_t {
    uint32_t type;
    uint8_t pad[4];
    uint8_t key[ZOR_TLOC_SEC_KEY_LEN];
};
static_assert(sizeof(zor_tloc_sec_key_t) == 72);
static_assert(offsetof(zor_tloc_sec_key_t, key) == 8);

// The security (pairwise-keys) part of the attribute block, presence bit 23.
struct zor_tloc_sec_t {
    uint16_t inbound_sa_index;
    uint8_t pad0[2];
    uint32_t spi;
    uint8_t flags;
    uint8_t proto_count;  // at most 3
    uint8_t pad1[2];
    uint32_t protos[ZOR_TLOC_SEC_PROTO_MAX];
    uint8_t enc_type_count;  // at most 4
    uint8_t pad2[3];
    uint32_t enc_types[ZOR_TLOC_SEC_ENC_TYPE_MAX];
    uint8_t integrity_count;
    uint8_t pad3[3];
    uint32_t integrity_type;
    uint8_t auth_key_count;  // at most 2
    uint8_t pad4[3];
    zor_tloc_sec_key_t auth_keys[ZOR_TLOC_SEC_KEY_MAX];
    uint8_t enc_key_count;  // at most 2
    uint8_t pad5[7];
    zor_tloc_sec_key_t enc_keys[ZOR_TLOC_SEC_KEY_MAX];
};

// The TLOC attribute block: 744 bytes, byte 304 of a TLOC message onwards.
// A field is meaningful only when its presence bit is set in flags.
struct zor_tloc_attr_t {
    uint64_t flags;
    uint32_t preference;  // bit 1
    uint32_t weight;      // bit 2
    uint32_t site_id;     // bit 5
    uint16_t region_id;   // bit 39
    uint8_t pad0[2];
    uint32_t version;  // bit 17
    uint32_t gen_id;   // bit 20
    // Bit 7: the tunnel encapsulation with its keyed form (gre) and its
    // IPsec form fields.
    uint32_t encap;
    uint8_t pad1[4];
    uint32_t encap_key;        // keyed form: key
    uint32_t spi;              // IPsec form
    uint32_t integrity;        // IPsec form: one bit per integrity type
    uint8_t pad2[4];
    uint8_t key1[ZOR_TLOC_ENCAP_KEY_LEN];  // IPsec form: first key
    uint32_t cipher;                       // IPsec form: encryption type
    uint8_t pad3[4];
    uint8_t key2[ZOR_TLOC_ENCAP_KEY_LEN];  // IPsec form: second key
    ip_addr_port_t tloc_v4_public;   // bit 9
    ip_addr_port_t tloc_v4_private;  // bit 8
    ip_addr_port_t tloc_v6_public;   // bit 19
    ip_addr_port_t tloc_v6_private;  // bit 18
    uint8_t stale;       // bit 13
    uint8_t carrier;     // bit 14, 1-9
    uint8_t restricted;  // bit 22
    uint8_t on_demand;   // bit 33
    uint8_t pad4[4];
    zor_tloc_sec_t sec;  // bit 23
    uint8_t pad5[8];
    uint8_t border;  // bit 24: non-zero for a border TLOC
    uint8_t pad6;
    uint16_t group_count;                  // bit 21, at most 9
    uint32_t groups[ZOR_TLOC_GROUP_MAX];   // bit 21
    uint64_t capability;                   // bit 31
    uint8_t installed;                     // bit 32: installed in the forwarding plane
    uint8_t pad7[3];
    uint32_t bandwidth;  // bit 29 (the TLOC message's bandwidth field)
};
static_assert(sizeof(zor_tloc_attr_t) == 744);
static_assert(offsetof(zor_tloc_attr_t, flags) == 0);
static_assert(offsetof(zor_tloc_attr_t, preference) == 8);
static_assert(offsetof(zor_tloc_attr_t, weight) == 12);
static_assert(offsetof(zor_tloc_attr_t, site_id) == 16);
static_assert(offsetof(zor_tloc_attr_t, region_id) == 20);
static_assert(offsetof(zor_tloc_attr_t, version) == 24);
static_assert(offsetof(zor_tloc_attr_t, gen_id) == 28);
static_assert(offsetof(zor_tloc_attr_t, encap) == 32);
static_assert(offsetof(zor_tloc_attr_t, encap_key) == 40);
static_assert(offsetof(zor_tloc_attr_t, spi) == 44);
static_assert(offsetof(zor_tloc_attr_t, integrity) == 48);
static_assert(offsetof(zor_tloc_attr_t, key1) == 56);
static_assert(offsetof(zor_tloc_attr_t, cipher) == 120);
static_assert(offsetof(zor_tloc_attr_t, key2) == 128);
static_assert(offsetof(zor_tloc_attr_t, tloc_v4_public) == 192);
static_assert(offsetof(zor_tloc_attr_t, tloc_v4_private) == 224);
static_assert(offsetof(zor_tloc_attr_t, tloc_v6_public) == 256);
static_assert(offsetof(zor_tloc_attr_t, tloc_v6_private) == 288);
static_assert(offsetof(zor_tloc_attr_t, stale) == 320);
static_assert(offsetof(zor_tloc_attr_t, carrier) == 321);
static_assert(offsetof(zor_tloc_attr_t, restricted) == 322);
static_assert(offsetof(zor_tloc_attr_t, on_demand) == 323);
static_assert(offsetof(zor_tloc_attr_t, sec) == 328);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, inbound_sa_index) == 328);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, spi) == 332);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, flags) == 336);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, proto_count) == 337);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, protos) == 340);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_type_count) == 352);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_types) == 356);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, integrity_count) == 372);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, integrity_type) == 376);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, auth_key_count) == 380);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, auth_keys) == 384);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_key_count) == 528);
static_assert(offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_keys) == 536);
static_assert(offsetof(zor_tloc_attr_t, border) == 688);
static_assert(offsetof(zor_tloc_attr_t, group_count) == 690);
static_assert(offsetof(zor_tloc_attr_t, groups) == 692);
static_assert(offsetof(zor_tloc_attr_t, capability) == 728);
static_assert(offsetof(zor_tloc_attr_t, installed) == 736);
static_assert(offsetof(zor_tloc_attr_t, bandwidth) == 740);

// A path descriptor of a TLOC add: 28 bytes.
struct zor_tloc_path_t {
    uint32_t local_index;
    uint32_t border_index;  // far end of the path's first link
    uint32_t mtu;
    uint8_t label_count;  // at most 3
    uint8_t pad[3];
    uint32_t labels[ZOR_TLOC_PATH_LABEL_MAX];
};
static_assert(sizeof(zor_tloc_path_t) == 28);
static_assert(offsetof(zor_tloc_path_t, border_index) == 4);
static_assert(offsetof(zor_tloc_path_t, mtu) == 8);
static_assert(offsetof(zor_tloc_path_t, label_count) == 12);
static_assert(offsetof(zor_tloc_path_t, labels) == 16);

// Bodies. Offsets in the comments count from the start of zor_msg_t (the body
// begins at byte 16); the static_asserts below check them.

// ZOR_MSG_REGISTER (UNREGISTER has no body).
struct zor_msg_register_t {
    uint8_t announce;
    uint8_t originate;
};

// ZOR_MSG_TLOC_BFD_STATUS.
struct zor_msg_tloc_bfd_status_t {
    zor_tloc_key_t key;  // 16-47
    uint32_t status;     // 48: BFD state
};

// ZOR_MSG_LINK_STATUS.
struct zor_msg_link_status_t {
    zor_tloc_key_t remote;  // 16-47
    zor_tloc_key_t local;   // 48-79
    uint32_t bfd_status;    // 80
    uint32_t mtu;           // 84
    uint16_t tun_rec_index; // 88
    uint8_t pad[2];
    uint32_t loss;     // 92
    uint32_t latency;  // 96
    uint32_t jitter;   // 100
};

// ZOR_MSG_TLOC_ADD and ZOR_MSG_TLOC_DEL: the 1120-byte record.
struct zor_msg_tloc_t {
    uint8_t reserved[8];
    zor_tloc_key_t key;  // 24-55
    uint8_t origin;      // 56
    uint8_t pad0[3];
    uint32_t status;    // 60
    uint32_t inactive;  // 64
    uint32_t index;     // 68
    uint8_t pad1[4];
    uint8_t path_count;  // 76, at most 8
    uint8_t pad2[3];
    zor_tloc_path_t paths[ZOR_TLOC_PATH_MAX];  // 80-303
    zor_tloc_attr_t attr;                      // 304-1047 (bandwidth at 1044)
    char qos_group[ZOR_TLOC_QOS_NAME_LEN];     // 1048-1111
    uint8_t pad3;
    uint8_t lr_enabled;  // 1113
    uint8_t pad4[2];
    uint32_t lr_hold_time;  // 1116
};

// ZOR_MSG_LINK_ADD and ZOR_MSG_LINK_DEL.
struct zor_msg_link_t {
    zor_tloc_key_t remote;  // 16-47
    zor_tloc_key_t local;   // 48-79
    uint32_t remote_index;  // 80
    uint32_t local_index;   // 84
    uint8_t origin;         // 88
    uint8_t pad0[3];
    uint32_t status;      // 92
    uint32_t mtu;         // 96
    uint32_t label;       // 100
    uint32_t preference;  // 104
    uint8_t stale;        // 108
    uint8_t pad1[3];
    uint32_t loss;           // 112
    uint32_t latency;        // 116
    uint32_t jitter;         // 120
    uint16_t tun_rec_index;  // 124
};

// ZOR_MSG_CTRL_DEVICE_ADD and ZOR_MSG_CTRL_DEVICE_DEL. The region ids fill
// the rest of the body.
#define ZOR_MSG_CTRL_DEVICE_REGION_MAX 533
struct zor_msg_ctrl_device_t {
    ip_addr_t addr;   // 16-39
    uint32_t type;    // 40
    uint32_t state;   // 44
    uint8_t staging;  // 48
    uint8_t pad[3];
    uint16_t region_count;                               // 52
    uint16_t region_ids[ZOR_MSG_CTRL_DEVICE_REGION_MAX];  // 54 onwards
};

// ZOR_MSG_DATA_DEVICE_ADD and ZOR_MSG_DATA_DEVICE_DEL.
struct zor_msg_data_device_t {
    ip_addr_t addr;   // 16-39
    uint32_t status;  // 40: 1 up, 2 down
};

// ZOR_MSG_DATA_DEVICE_STATE.
struct zor_msg_data_device_state_t {
    ip_addr_t addr;  // 16-39
    uint32_t state;  // 40: 1 active, anything else inactive
};

// ZOR_MSG_VPN_SEC_ADD and ZOR_MSG_VPN_SEC_DEL.
struct zor_msg_vpn_sec_t {
    uint64_t vpn_id;   // 16
    ip_addr_t remote;  // 24-47
    uint8_t origin;    // 48
    uint8_t pad[7];
    zor_tloc_attr_t attr;  // 56
};

// ZOR_MSG_PEER_SEC_ADD and ZOR_MSG_PEER_SEC_DEL.
struct zor_msg_peer_sec_t {
    uint64_t vpn_id;      // 16
    ip_addr_t origin_ip;  // 24-47
    ip_addr_t dest_ip;    // 48-71
    uint8_t origin;       // 72
    uint8_t pad[7];
    zor_tloc_attr_t attr;  // 80
};

// ZOR_MSG_TRACKER_ADD, ZOR_MSG_TRACKER_DEL and ZOR_MSG_TRACKER_STATUS.
#define ZOR_MSG_TRACKER_NAME_LEN 326
#define ZOR_MSG_TRACKER_OPAQUE_LEN 256
struct zor_msg_tracker_t {
    char name[ZOR_MSG_TRACKER_NAME_LEN];          // 16
    char attach_point[ZOR_MSG_TRACKER_NAME_LEN];  // 342
    uint8_t pad[4];
    uint64_t vpn_id;   // 672 (payload byte 656)
    uint32_t opaque1;  // 680
    uint32_t status;   // 684: 1 up
    uint32_t opaque2;  // 688
    uint8_t opaque[ZOR_MSG_TRACKER_OPAQUE_LEN];  // 692
};

union zor_msg_body_t {
    uint8_t bytes[ZOR_MSG_BODY_SIZE];
    zor_msg_register_t reg;
    zor_msg_tloc_bfd_status_t bfd;
    zor_msg_link_status_t link_status;
    zor_msg_tloc_t tloc;
    zor_msg_link_t link;
    zor_msg_ctrl_device_t ctrl_device;
    zor_msg_data_device_t data_device;
    zor_msg_data_device_state_t data_device_state;
    zor_msg_vpn_sec_t vpn_sec;
    zor_msg_peer_sec_t peer_sec;
    zor_msg_tracker_t tracker;
};

// The message record. A sender zeroes it before filling it.
struct zor_msg_t {
    uint32_t type;
    uint32_t sender;  // module id of the sender
    uint32_t family;  // address family
    uint8_t pad[4];
    zor_msg_body_t body;
};

// Positions from the start of the record.
#define ZOR_MSG_OFF(member) (offsetof(zor_msg_t, body) + offsetof(zor_msg_body_t, member))
static_assert(sizeof(zor_msg_t) == 1120);
static_assert(std::is_standard_layout_v<zor_msg_t> && std::is_trivially_copyable_v<zor_msg_t>);
static_assert(sizeof(zor_msg_body_t) == ZOR_MSG_BODY_SIZE);
static_assert(offsetof(zor_msg_t, type) == 0);
static_assert(offsetof(zor_msg_t, sender) == 4);
static_assert(offsetof(zor_msg_t, family) == 8);
static_assert(offsetof(zor_msg_t, body) == 16);

static_assert(ZOR_MSG_OFF(reg) + offsetof(zor_msg_register_t, announce) == 16);
static_assert(ZOR_MSG_OFF(reg) + offsetof(zor_msg_register_t, originate) == 17);

static_assert(ZOR_MSG_OFF(bfd) + offsetof(zor_msg_tloc_bfd_status_t, key) == 16);
static_assert(ZOR_MSG_OFF(bfd) + offsetof(zor_msg_tloc_bfd_status_t, status) == 48);

static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, remote) == 16);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, local) == 48);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, bfd_status) == 80);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, mtu) == 84);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, tun_rec_index) == 88);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, loss) == 92);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, latency) == 96);
static_assert(ZOR_MSG_OFF(link_status) + offsetof(zor_msg_link_status_t, jitter) == 100);

static_assert(sizeof(zor_msg_tloc_t) == ZOR_MSG_BODY_SIZE);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, key) == 24);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, key) + offsetof(zor_tloc_key_t, color) == 48);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, key) + offsetof(zor_tloc_key_t, encap) == 49);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, origin) == 56);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, status) == 60);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, inactive) == 64);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, index) == 68);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, path_count) == 76);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, paths) == 80);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, paths) + sizeof(zor_msg_tloc_t::paths) == 304);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, attr) == 304);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, attr) + offsetof(zor_tloc_attr_t, bandwidth) == 1044);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, qos_group) == 1048);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, lr_enabled) == 1113);
static_assert(ZOR_MSG_OFF(tloc) + offsetof(zor_msg_tloc_t, lr_hold_time) == 1116);
// The positions the send path reads by body offset.
static_assert(offsetof(zor_msg_tloc_t, origin) == 40);
static_assert(offsetof(zor_msg_tloc_t, key) + offsetof(zor_tloc_key_t, encap) == 33);
static_assert(offsetof(zor_msg_tloc_t, attr) + offsetof(zor_tloc_attr_t, flags) == 288);
static_assert(offsetof(zor_msg_tloc_t, attr) + offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_key_count) ==
              816);
static_assert(offsetof(zor_msg_tloc_t, attr) + offsetof(zor_tloc_attr_t, sec) + offsetof(zor_tloc_sec_t, enc_keys) +
                  sizeof(zor_tloc_sec_key_t) + offsetof(zor_tloc_sec_key_t, key) ==
              904);
static_assert(offsetof(zor_msg_tloc_t, attr) + offsetof(zor_tloc_attr_t, installed) == 1024);

static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, remote) == 16);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, local) == 48);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, remote_index) == 80);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, local_index) == 84);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, origin) == 88);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, status) == 92);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, mtu) == 96);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, label) == 100);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, preference) == 104);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, stale) == 108);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, loss) == 112);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, latency) == 116);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, jitter) == 120);
static_assert(ZOR_MSG_OFF(link) + offsetof(zor_msg_link_t, tun_rec_index) == 124);

static_assert(sizeof(zor_msg_ctrl_device_t) == ZOR_MSG_BODY_SIZE);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, addr) == 16);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, type) == 40);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, state) == 44);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, staging) == 48);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, region_count) == 52);
static_assert(ZOR_MSG_OFF(ctrl_device) + offsetof(zor_msg_ctrl_device_t, region_ids) == 54);

static_assert(ZOR_MSG_OFF(data_device) + offsetof(zor_msg_data_device_t, addr) == 16);
static_assert(ZOR_MSG_OFF(data_device) + offsetof(zor_msg_data_device_t, status) == 40);
static_assert(ZOR_MSG_OFF(data_device_state) + offsetof(zor_msg_data_device_state_t, addr) == 16);
static_assert(ZOR_MSG_OFF(data_device_state) + offsetof(zor_msg_data_device_state_t, state) == 40);

static_assert(ZOR_MSG_OFF(vpn_sec) + offsetof(zor_msg_vpn_sec_t, vpn_id) == 16);
static_assert(ZOR_MSG_OFF(vpn_sec) + offsetof(zor_msg_vpn_sec_t, remote) == 24);
static_assert(ZOR_MSG_OFF(vpn_sec) + offsetof(zor_msg_vpn_sec_t, origin) == 48);
static_assert(ZOR_MSG_OFF(vpn_sec) + offsetof(zor_msg_vpn_sec_t, attr) == 56);
static_assert(ZOR_MSG_OFF(peer_sec) + offsetof(zor_msg_peer_sec_t, vpn_id) == 16);
static_assert(ZOR_MSG_OFF(peer_sec) + offsetof(zor_msg_peer_sec_t, origin_ip) == 24);
static_assert(ZOR_MSG_OFF(peer_sec) + offsetof(zor_msg_peer_sec_t, dest_ip) == 48);
static_assert(ZOR_MSG_OFF(peer_sec) + offsetof(zor_msg_peer_sec_t, origin) == 72);
static_assert(ZOR_MSG_OFF(peer_sec) + offsetof(zor_msg_peer_sec_t, attr) == 80);

static_assert(offsetof(zor_msg_tracker_t, name) == 0);
static_assert(offsetof(zor_msg_tracker_t, attach_point) == 326);
static_assert(offsetof(zor_msg_tracker_t, vpn_id) == 656);
static_assert(offsetof(zor_msg_tracker_t, opaque1) == 664);
static_assert(offsetof(zor_msg_tracker_t, status) == 668);
static_assert(offsetof(zor_msg_tracker_t, opaque2) == 672);
static_assert(offsetof(zor_msg_tracker_t, opaque) == 676);
static_assert(sizeof(zor_msg_tracker_t) <= ZOR_MSG_BODY_SIZE);

// Encodes msg into buf, which holds at least ZOR_MSG_ENCODE_MAX bytes, and
// stores the encoded length in *len. 0 on success; non-zero (nothing
// meaningful in buf, *len 0) for an unknown type, a count above its limit
// (paths, labels, protocols, encryption types, keys, groups, region ids) or
// an encoding that would exceed ZOR_MSG_ENCODE_MAX bytes.
int zor_msg_encode(const zor_msg_t *msg, uint8_t *buf, uint16_t *len);

// Fills msg from len bytes at buf; msg is zeroed first, so everything that
// the encoding does not carry comes back zero. 0 on success; non-zero for
// truncated, oversized (over ZOR_MSG_ENCODE_MAX or trailing bytes), unknown
// version or type, or inconsistent input (a count above its limit, a text
// holding a NUL); msg is then all zero. Never reads outside buf[0..len).
int zor_msg_decode(zor_msg_t *msg, const uint8_t *buf, uint16_t len);

// Printable names for log and CLI lines; each returns a constant string.
// Message types: "REGISTER", "TLOC-ADD", ... ("UNKNOWN" otherwise).
const char *zor_msg_type_str(uint32_t type);
// Origins of announcements: 1 "local", 2 "remote", other "unknown".
const char *zor_msg_origin_str(uint32_t origin);
// TLOC and link origins: 1 "local", 2 "remote", other "unknown".
const char *zor_msg_tloc_origin_str(uint32_t origin);
// TLOC statuses: 1 "up", 2 "down", 3 "no-path" (down, BFD state 2), other
// "unknown".
const char *zor_msg_tloc_status_str(uint32_t status);
// BFD states: 0 "down", 1 "up", 2 "no-path" (also given to a TLOC without
// paths), other "unknown".
const char *zor_msg_bfd_state_str(uint32_t state);
