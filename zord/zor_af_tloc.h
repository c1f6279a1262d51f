// The TLOC families (TLOC-IPV4 and TLOC-IPV6): one entry per transport
// locator (system address, colour, encapsulation) that a peer announces.
//
// One implementation serves both families; the family number only chooses
// the tree. Besides its slots of the operation table the family gives every
// TLOC an index from the daemon's index bitmap, keeps a second tree of the
// local TLOCs (origin 1), registers TLOCs in the group database according to
// their groups and the border attribute, builds and removes the links of a
// TLOC, derives its status from BFD or from its best path and its
// active/inactive state from the data-device family, and hands every TLOC
// event on to the data-device family.
//
// The TLOC record hangs off its database entry and is freed with it
// (record_free releases the index). Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;
typedef struct confd_value confd_value_t;
struct t_zor_path;

// Origins and indices.
#define ZOR_TLOC_ORIGIN_LOCAL 1u
#define ZOR_TLOC_ORIGIN_REMOTE 2u
#define ZOR_TLOC_INDEX_NONE 65535u
// Bit b of the index bitmap stands for index ZOR_TLOC_INDEX_BASE + b; bits 0,
// 32766 and 32767 are reserved when the daemon creates the bitmap, so the
// indices handed out run from 32770 to 65534.
#define ZOR_TLOC_INDEX_BASE 32769u
#define ZOR_TLOC_INDEX_LAST_BIT 32765u

// Personalities that change the family's rules.
#define ZOR_PERSONALITY_SOLON 3u
#define ZOR_PERSONALITY_STEWARD 5u

struct t_zor_af_tloc {
    zor_tloc_key_t key;     // equal to the key of the entry
    uint32_t origin;        // 1 local, 2 remote
    uint32_t index;         // 32770-65534; ZOR_TLOC_INDEX_NONE for none
    uint32_t status;        // 1 up, 2 down, 3 down without path (BFD state 2)
    uint32_t inactive;      // 0 active, 1 inactive
    uint32_t bfd_handle;    // shown only
    uint8_t bfd_status;     // BFD state as reported (1 up)
    zor_tloc_attr_t attr;   // verbatim copy of the message's attribute block
    uint32_t bandwidth;     // the message's bandwidth word
    char qos_group[ZOR_TLOC_QOS_NAME_LEN];  // NUL-terminated name as received
    t_zor_db_entry *entry_p;  // the owning entry
    t_zor_path *path_list;    // best path first; null without paths
    uint8_t lr_enabled;
    uint32_t lr_hold_time;
};
ZOR_MEM_RECORD(t_zor_af_tloc, ZOR_MEM_TLOC_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_tloc>, "records are calloc'ed");

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_tloc_ops;

// The slots of the operation table.
bool zor_af_tloc_filter(zor_af_t af, const zor_msg_t *msg);
t_zor_db_entry *zor_af_tloc_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
void zor_af_tloc_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
void zor_af_tloc_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
t_zor_db_entry *zor_af_tloc_find_msg(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
int zor_af_tloc_tree_create(zor_af_t af, t_zor_context *ctx);
void zor_af_tloc_tree_destroy(zor_af_t af, t_zor_context *ctx);
void zor_af_tloc_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
// Fills the TLOC body of msg from the entry; with key_only the key, origin,
// status, inactive, index and LR fields only (the form of a delete).
void zor_af_tloc_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t key_only);
// Writes the descriptors of the TLOC's best up paths, at most eight, in list
// order, and returns their count; the slots after the last are left as they
// were. A TLOC add carries them; the path walk compares them to see whether
// a TLOC must go out again.
uint8_t zor_af_tloc_path_descs(const t_zor_af_tloc *tloc, zor_tloc_path_t (&paths)[ZOR_TLOC_PATH_MAX]);

// The record of a TLOC entry.
inline t_zor_af_tloc *zor_af_tloc_of(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_tloc *>(entry->record);
}

// Order of both TLOC trees: address family, then the address (IPv4 as a
// host-order number, IPv6 bytewise), then colour, then encap. Any address
// family is ordered (by its number), so a key from a peer can never stop the
// daemon; keys of other families are refused before they reach a tree.
int zor_af_tloc_key_cmp(const zor_tloc_key_t *a, const zor_tloc_key_t *b);
// The tree comparison over two entries (libavl form).
int zor_af_tloc_cmp(const void *a, const void *b);
// True when the key's address is of the family's kind: IPv4 for TLOC-IPV4,
// IPv6 for TLOC-IPV6. The trees take no other keys, so that one key never
// stands in both families (they share the tree of local TLOCs).
bool zor_af_tloc_key_fits(zor_af_t af, const zor_tloc_key_t *key);

// The entry of a key in a TLOC family's tree, or null (also for a family
// that is not a TLOC family). When absent and where is not null, *where is
// the insertion point.
t_zor_db_entry *zor_af_tloc_find(zor_af_t af, t_zor_context *ctx, const zor_tloc_key_t *key, avl_index_t *where);

// A BFD status message (type 3) from a client.
void zor_af_tloc_db_bfd_status(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);

// Status of a TLOC from its BFD state: 1 -> up, 2 -> down without path,
// anything else -> down.
void zor_af_tloc_status_update(t_zor_af_tloc *tloc);
// Whether the TLOC takes its status from BFD (msg is a BFD status message
// or null) rather than from its paths.
bool zor_af_tloc_bfd_applies(t_zor_context *ctx, const t_zor_af_tloc *tloc, const zor_msg_t *msg);
// After a TLOC's paths were rebuilt or freed: unless BFD applies, its BFD
// state becomes 2 (no path), 1 (best path up) or 0, its status follows and
// the entry is scheduled.
void zor_af_tloc_status_from_paths(t_zor_context *ctx, t_zor_af_tloc *tloc);

// Whether two TLOCs lie in one region (by group count, group list and the
// border byte; presence bits are not looked at).
bool zor_groups_overlap(const zor_tloc_attr_t *a, const zor_tloc_attr_t *b);

// Group registration of a TLOC (remote TLOCs with group 0 in a list of two
// or more; local TLOCs through the border bookkeeping).
void zor_af_tloc_group_update(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove);
void zor_af_tloc_border_update(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove);
// A local TLOC joins its groups (group 0 goes in front of its list) or
// leaves them again. Both schedule the entry.
void zor_af_tloc_group_join(t_zor_context *ctx, t_zor_af_tloc *tloc);
void zor_af_tloc_group_leave(t_zor_context *ctx, t_zor_af_tloc *tloc);

// Builds (remove false) or removes the links between this TLOC and every
// TLOC of the family: zor_af_link_update for each pair (this TLOC, T), and
// (T, this TLOC) too when both are local, T in the family tree's order.
void zor_af_tloc_links_update(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove);
// The removing half, as if it went over every TLOC of the tree, but visiting
// only the TLOCs that share a link with this one: the others have nothing to
// lose. The links go in the same order, so clients are sent the same
// deletions in the same order and the same labels come free.
void zor_af_tloc_links_remove(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc);
// What zor_af_tloc_links_update runs to remove: zor_af_tloc_links_remove,
// unless a test put the walk over every TLOC in its place to compare them.
typedef void (*zor_af_tloc_links_fn)(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc);
extern zor_af_tloc_links_fn g_zor_af_tloc_links_remove;
// The links update of every local TLOC (family TLOC-IPV4), for a change of a
// client's originate flag.
void zor_af_tloc_links_update_local(t_zor_context *ctx, bool remove);

// The data-device family's verdict on the TLOC of this key: active clears
// the inactive flag, otherwise it is set; the entry is scheduled. An
// unknown key changes nothing.
void zor_af_tloc_set_activity(t_zor_context *ctx, const zor_tloc_key_t *key, bool active);
void zor_af_tloc_debug_activity_state(const t_zor_af_tloc *tloc);

// Index allocation: ZOR_OK with *index set, or ZOR_ERR_NOT_FOUND when every index is taken.
int zor_af_tloc_index_alloc(t_zor_context *ctx, uint32_t *index);
void zor_af_tloc_index_free(t_zor_context *ctx, uint32_t index);

// The three key values of a TLOC for operational data: address (IPv4 in
// network order, or IPv6), colour and encap as enumeration values.
void zor_af_tloc_oper_keys(const t_zor_db_entry *entry, confd_value_t *keys);
