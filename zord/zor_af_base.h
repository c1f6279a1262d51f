// Plumbing shared by the family modules that store client announcements
// (control device, VPN and peer security, tracker): the family tree, the
// insertion of a new entry, the withdraw that only an entry's owner may ask
// for, the in-order show of a whole tree, and small helpers for keys and log
// lines. Each family keeps its own record, key order and messages; what is
// here is the same for all of them. Event-loop thread only.
#pragma once

#include "avl.h"
#include "ip_util.h"
#include "zor_db.h"

struct confd_user_info;

// Creates the family tree in ctx->trees[af] over t_zor_db_entry, ordered by
// cmp (which receives two entries). ZOR_OK, or ZOR_ERR_NO_MEMORY (the slot
// then stays empty).
int zor_af_base_tree_create(zor_af_t af, t_zor_context *ctx, avl_compare_fn cmp);
// Forgets the tree's contents, frees the tree and clears the slot; an empty
// slot is left alone. The entries themselves are freed from the change list.
void zor_af_base_tree_destroy(zor_af_t af, t_zor_context *ctx);

// The entry whose record compares equal to probe (a record of the family
// holding just the key), with the insertion point in *where (may be null).
// Null when there is none or the family has no tree.
t_zor_db_entry *zor_af_base_find(zor_af_t af, t_zor_context *ctx, void *probe, avl_index_t *where);

// A new entry owned by owner and holding record, linked into the family
// tree at where (from zor_af_base_find, with no change in between) and
// appended to the change list, not yet scheduled. Null when memory runs out
// or the family has no tree: nothing is linked and record stays the
// caller's to free.
t_zor_db_entry *zor_af_base_entry_insert(zor_af_t af, t_zor_context *ctx, t_zor_client *owner, void *record,
                                         avl_index_t where);

// The withdraw of the families whose entries belong to the client that
// announced them: a request from any other client is logged and changes
// nothing. For the owner the entry leaves the tree (once) and ends as
// zor_db_entry_withdrawn says: scheduled for the deletions while a client
// holds it, else marked DEL while a walk holds it, else freed at once.
void zor_af_base_withdraw_owned(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);

// Shows every entry of the family tree in key order through the family's
// show operation.
void zor_af_base_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);

// The shared defaults of an operation table, for a family that keeps one
// record per entry in one tree: withdraw is zor_af_base_withdraw_owned,
// tree_destroy zor_af_base_tree_destroy, show_all zor_af_base_show_all, and
// these three:
//
// delete: finds the entry of the message's key through the family's find and
// hands it to the family's withdraw; an unknown key is ignored.
void zor_af_base_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// tree_create over the family's entry order Cmp.
template <avl_compare_fn Cmp>
int zor_af_base_tree_create_by(zor_af_t af, t_zor_context *ctx)
{
    return zor_af_base_tree_create(af, ctx, Cmp);
}
// record_free: clears the entry's pointer and frees the record of type R.
template <typename R>
void zor_af_base_record_free(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry)
{
    auto *r = static_cast<R *>(entry->record);
    entry->record = nullptr;
    zor_mem_delete(r);
}

// The module name of a client for log lines: "zor" for none, "unknown" for
// an id outside the module table.
const char *zor_af_base_client_str(const t_zor_client *client);

// The device's personality (ZOR_PERSONALITY_*), 0 until configured or
// without a daemon record.
uint32_t zor_personality(const t_zor_context *ctx);
// Whether advd or klxd (whichever is connected) originates links; a client
// that is not connected originates nothing.
bool zor_links_originated(const t_zor_context *ctx);

// True for the address families that keys may hold (IPv4 and IPv6). The
// address order treats anything else as a programming error, so families
// check addresses from peers with this before any lookup.
bool zor_af_base_addr_valid(const ip_addr_t *addr);
// The key form of an address: the family and, for IPv4, only the 32-bit
// value (the other value bytes zero); IPv6 keeps all 16 bytes.
void zor_af_base_addr_copy(ip_addr_t *dst, const ip_addr_t *src);
