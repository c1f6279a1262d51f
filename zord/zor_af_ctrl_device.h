// The control-device families CTRL-DEVICE-IPV4 and CTRL-DEVICE-IPV6: one
// entry per control-plane device that a peer reports (its system address,
// device type, whether its control connection is up, whether it is in
// staging, and the region ids it serves). zord stores these entries, owned by
// the announcing client, and redistributes them; nothing else in zord reads
// them. One implementation serves both families; the family number only
// chooses the tree. Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ip_util.h"
#include "zor_db.h"

struct confd_user_info;

// The record holds at most this many region ids.
#define ZOR_CTRL_DEVICE_REGION_MAX 66
// The region-id text of the show line fits this buffer, or reads
// "TRUNCATED".
#define ZOR_CTRL_DEVICE_REGION_STR_LEN 512

struct t_zor_af_ctrl_device {
    ip_addr_t addr;    // the key; the key form of zor_af_base_addr_copy
    uint32_t type;     // device personality (ost_personality_str)
    uint32_t state;    // 1 up, anything else down
    uint8_t staging;   // non-zero: in staging
    uint8_t pad;
    uint16_t region_count;  // at most ZOR_CTRL_DEVICE_REGION_MAX
    uint16_t region_ids[ZOR_CTRL_DEVICE_REGION_MAX];
};
ZOR_MEM_RECORD(t_zor_af_ctrl_device, ZOR_MEM_CTRL_DEVICE_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_ctrl_device>, "records are calloc'ed");
static_assert(sizeof(t_zor_af_ctrl_device) == 168);
static_assert(offsetof(t_zor_af_ctrl_device, type) == 24);
static_assert(offsetof(t_zor_af_ctrl_device, state) == 28);
static_assert(offsetof(t_zor_af_ctrl_device, staging) == 32);
static_assert(offsetof(t_zor_af_ctrl_device, region_count) == 34);
static_assert(offsetof(t_zor_af_ctrl_device, region_ids) == 36);

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_ctrl_device_ops;
// Of its operations withdraw (the owner's request only), delete, tree_destroy, record_free and
// show_all (key order) are the shared defaults of zor_af_base.h.

// Add message: creates the entry of the address (owned by client) and
// schedules it, or updates an existing one when its type, state or staging
// differ (a change of the region ids alone is not taken). Region ids past
// the 66th are dropped with a log line. The entry, or null for an address
// that is neither IPv4 nor IPv6 (logged) or when memory runs out (nothing
// kept).
t_zor_db_entry *zor_af_ctrl_device_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// The entry of the message's address, with the insertion point; null for
// none and for an address that is neither IPv4 nor IPv6.
t_zor_db_entry *zor_af_ctrl_device_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
// The whole record into the body, for an add and a delete alike.
void zor_af_ctrl_device_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);
// "    Device: ..., Type: ..., State: ..., Staging: ...\n    Region-id-set: ...\n".
void zor_af_ctrl_device_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);

// The region-id set as text: "NA" for none, else the ids in decimal
// separated by single blanks; "TRUNCATED" when that does not fit size bytes.
// Returns buf.
char *zor_af_ctrl_device_regions_str(const t_zor_af_ctrl_device *rec, char *buf, size_t size);
