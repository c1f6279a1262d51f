// The VPN-SEC family: one entry per (VPN, remote IP) with the encapsulation
// and keying attributes that apply to that remote device within the VPN.
// Clients announce the entries (types 13 and 14); zord stores them, owned by
// the announcing client, and forwards them to every client of the family.
// The 744-byte attribute block is opaque here: stored as it came, compared
// whole to detect changes, and shown with the keys masked. Its twin is
// PEER-SEC (zor_af_peer_sec.h); what they share is in zor_af_sec_common.h.
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
struct t_zor_af_vpn_sec {
    uint64_t vpn_id;   // first key field
    ip_addr_t remote;  // second key field (key form of zor_af_base_addr_copy)
    uint8_t origin;    // set at creation, never compared or rewritten
    uint8_t pad[7];
    zor_tloc_attr_t attr;
};
ZOR_MEM_RECORD(t_zor_af_vpn_sec, ZOR_MEM_VPN_SEC_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_vpn_sec>, "records are calloc'ed");
static_assert(sizeof(t_zor_af_vpn_sec) == 784);
static_assert(offsetof(t_zor_af_vpn_sec, remote) == offsetof(zor_msg_vpn_sec_t, remote));
static_assert(offsetof(t_zor_af_vpn_sec, origin) == offsetof(zor_msg_vpn_sec_t, origin));
static_assert(offsetof(t_zor_af_vpn_sec, attr) == offsetof(zor_msg_vpn_sec_t, attr));

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_vpn_sec_ops;

// show, the family's own operation, prints "    Vpn-id: ..., IP: ..., origin: ...\n"
// and then the shared attribute lines. The other operations come from the twins' shared
// templates and defaults (zor_af_sec_common.h), whose contract is told there.
void zor_af_vpn_sec_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
