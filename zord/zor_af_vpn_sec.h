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

// Puts the family's operation table into the VPN-SEC column, unless the
// column holds a table already (one put there before the context starts is
// kept).
void zor_af_vpn_sec_register();

// Add message: creates the entry of (VPN, remote IP), owned by client, and
// schedules it; for an existing entry of the same client takes the block and
// schedules the entry only when the block differs. An add for an entry of
// another client is refused with a log line and the owner's entry is kept.
// The entry; null for a refused add, a remote address that is neither IPv4
// nor IPv6 (logged), or when memory runs out (nothing kept).
t_zor_db_entry *zor_af_vpn_sec_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// Takes the entry away on behalf of its owner; any other client changes
// nothing.
void zor_af_vpn_sec_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
// Delete message: withdraws the entry of the key with client; an unknown key
// is ignored.
void zor_af_vpn_sec_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// The entry of the message's key, with the insertion point; null for none.
t_zor_db_entry *zor_af_vpn_sec_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
int zor_af_vpn_sec_tree_create(zor_af_t af, t_zor_context *ctx);
void zor_af_vpn_sec_tree_destroy(zor_af_t af, t_zor_context *ctx);
// Frees the record and clears the entry's pointer to it.
void zor_af_vpn_sec_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
// VPN id, remote IP and origin into the body, and the block unless
// is_delete (a delete carries a zeroed block).
void zor_af_vpn_sec_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);
// "    Vpn-id: ..., IP: ..., origin: ...\n", the attribute lines and the
// advertised-to line.
void zor_af_vpn_sec_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
// Every entry of the family in key order.
void zor_af_vpn_sec_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);
