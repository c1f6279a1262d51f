// The PEER-SEC family: one entry per (VPN, origin IP, destination IP), the
// encapsulation and keying attributes of one directed pair of devices within
// a VPN. Clients announce the entries (types 15 and 16); zord stores them,
// owned by the announcing client, and forwards them to every client of the
// family. The 744-byte attribute block is opaque here: stored as it came,
// compared whole to detect changes, and shown with the keys masked. Its twin
// is VPN-SEC (zor_af_vpn_sec.h); what they share is in zor_af_sec_common.h.
// Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ip_util.h"
#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;

// The record has the fields of the message body, in the same order.
struct t_zor_af_peer_sec {
    uint64_t vpn_id;      // first key field
    ip_addr_t origin_ip;  // second key field (key form of zor_af_base_addr_copy)
    ip_addr_t dest_ip;    // third key field (key form)
    uint8_t origin;       // set at creation, never compared or rewritten
    uint8_t pad[7];
    zor_tloc_attr_t attr;
};
ZOR_MEM_RECORD(t_zor_af_peer_sec, ZOR_MEM_PEER_SEC_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_peer_sec>, "records are calloc'ed");
static_assert(sizeof(t_zor_af_peer_sec) == 808);
static_assert(offsetof(t_zor_af_peer_sec, origin_ip) == offsetof(zor_msg_peer_sec_t, origin_ip));
static_assert(offsetof(t_zor_af_peer_sec, dest_ip) == offsetof(zor_msg_peer_sec_t, dest_ip));
static_assert(offsetof(t_zor_af_peer_sec, origin) == offsetof(zor_msg_peer_sec_t, origin));
static_assert(offsetof(t_zor_af_peer_sec, attr) == offsetof(zor_msg_peer_sec_t, attr));

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_peer_sec_ops;

// show, the family's own operation, prints "    vpn-id: ..., Origin-IP: ..., Dest-ip: ... origin: ...\n"
// and then the shared attribute lines. The other operations come from the twins' shared
// templates and defaults (zor_af_sec_common.h), whose contract is told there.
void zor_af_peer_sec_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
