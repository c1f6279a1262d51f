// The database: address families and their operation tables, the entry
// record, the per-family change lists with their markers, deferred freeing,
// the walk over a family and the "ZOR Database" dump.
//
// Every stored object is a t_zor_db_entry of one family. A family has a tree
// (ordered by the family's key, for lookups and ordered output) and a change
// list on which every entry stands in the order of its last change. A change
// moves the entry to the tail of its list and arms the walk event; clients
// follow the list with a marker each, so every change reaches every client
// once, however often the entry changed in between.
//
// Ownership: the database owns entries and markers and frees an entry only
// when no walk holds it (BROWSE); a request to free or move a held entry is
// recorded as DEL or SCHED and carried out by the walk when it lets go. A
// family owns the record hanging off its entries and frees it through its
// record_free operation. Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "avl.h"
#include "zor_daemon.h"
#include "zor_msg.h"

struct confd_user_info;

// Address families.
typedef uint32_t zor_af_t;
#define ZOR_AF_TLOC_IPV4 0u
#define ZOR_AF_TLOC_IPV6 1u
#define ZOR_AF_CTRL_DEVICE_IPV4 2u
#define ZOR_AF_CTRL_DEVICE_IPV6 3u
#define ZOR_AF_DATA_DEVICE_IPV4 4u
#define ZOR_AF_DATA_DEVICE_IPV6 5u
#define ZOR_AF_VPN_SEC 6u
#define ZOR_AF_PEER_SEC 7u
#define ZOR_AF_LINK 8u
#define ZOR_AF_TRACKER 9u
// The operation tables have two more columns than there are families; they
// stay empty.
#define ZOR_AF_TABLE_COLUMNS 12u

// Entry flags.
#define ZOR_ENTRY_MARKER 0x1u     // a list marker, not data: no record, no bitmap
#define ZOR_ENTRY_BROWSE 0x2u     // a walk holds it: do not free or move it now
#define ZOR_ENTRY_DEL 0x4u        // free it when the walk that holds it lets go
#define ZOR_ENTRY_SCHED 0x8u      // changed while held: move it to the tail on release
#define ZOR_ENTRY_WITHDRAWN 0x10u // out of the tree; on the list until every holder got the deletion

// The sent bitmap: bit i set means the client with module id i was sent the
// entry and not yet its deletion.
#define ZOR_SENT_BITMAP_BYTES 29
#define ZOR_SENT_BITMAP_BITS 230

struct t_zor_db_entry {
    avl_node_t tree_node;        // link in the family tree (first: trees use offset 0)
    avl_node_t local_tree_node;  // the TLOC families' tree of local TLOCs
    t_zor_db_entry *next;        // change list (tail-queue form)
    t_zor_db_entry **prev;       // the previous link's next field (or the list head's first)
    t_zor_client *client_p;      // owner; null for entries zord created itself
    uint32_t flags;
    // When the entry (or marker) took its place on the change list: the
    // list's count of tail insertions then, so that positions compare in
    // constant time. A hint for ordering markers; it wraps, and it is
    // compared only as a signed difference.
    uint32_t change_seq;
    uint8_t *sent_bitmap;  // 29 bytes, C library calloc; null for markers
    uint32_t family;       // zor_af_t
    void *record;          // the family record
};
ZOR_MEM_RECORD(t_zor_db_entry, ZOR_MEM_DB_ENTRY);
static_assert(sizeof(t_zor_db_entry) == 104);
static_assert(std::is_trivially_default_constructible_v<t_zor_db_entry>, "entries are calloc'ed");
static_assert(offsetof(t_zor_db_entry, tree_node) == 0);

// A change list head: the first entry and the last entry's next field, and
// the count of tail insertions (change_seq of the newest).
struct t_zor_db_list {
    t_zor_db_entry *first;
    t_zor_db_entry **last;
    uint32_t seq;
};
ZOR_MEM_RECORD(t_zor_db_list, ZOR_MEM_DB_LIST);
ZOR_MEM_RECORD(avl_tree_t, ZOR_MEM_DB_TREE);

// The operations a family module provides. Every operation receives the
// family first, so one function can serve several families. A null member
// is an empty column: see the dispatchers below for what that means.
struct zor_af_ops_t {
    // true to accept an add message before any lookup.
    bool (*filter)(zor_af_t af, const zor_msg_t *msg);
    // Create or update the entry of the message's key; the entry or null.
    t_zor_db_entry *(*add)(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
    // Take the entry away on behalf of client.
    void (*withdraw)(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
    // A delete message: find the entry and withdraw it.
    void (*del)(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
    // The entry of the message's key or null, with the insertion point.
    t_zor_db_entry *(*find)(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
    // Create the family tree in ctx->trees[af]; 0, or 2 when memory runs out.
    int (*tree_create)(zor_af_t af, t_zor_context *ctx);
    // Destroy the tree (and any family state); runs before the family's
    // entries are freed.
    void (*tree_destroy)(zor_af_t af, t_zor_context *ctx);
    // Release and free entry->record and clear it.
    void (*record_free)(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
    // Write the family body of msg from the entry (the header is the caller's).
    void (*fill_msg)(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);
    // Print the family fields of one entry.
    void (*show)(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
    // Print every entry of the family.
    void (*show_all)(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);
};

// Family modules register their table before the database is initialised
// (zor_context_init), typically from a zor_af_<family>_register() of their
// own; a null table empties the column again. The table must outlive its
// registration. Registering a family above 11 is a programming error.
void zor_af_register(zor_af_t af, const zor_af_ops_t *ops);
// The registered table of a family, or null.
const zor_af_ops_t *zor_af_ops_get(zor_af_t af);

// Dispatchers: look the operation up by family and call it. A family without
// the operation (or outside the table) gets the empty-column behaviour.
bool zor_af_filter(zor_af_t af, const zor_msg_t *msg);  // empty: accept
t_zor_db_entry *zor_af_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client,
                           zor_msg_t *msg);  // empty: null
void zor_af_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
void zor_af_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
t_zor_db_entry *zor_af_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg,
                            avl_index_t *where);    // empty: null
int zor_af_tree_create(zor_af_t af, t_zor_context *ctx);  // empty: 0
void zor_af_tree_destroy(zor_af_t af, t_zor_context *ctx);
void zor_af_record_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
void zor_af_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);  // empty: body stays
void zor_af_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
void zor_af_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);

// "TLOC-IPV4" ... "TRACKER"; "UNKNOWN" for any other value.
const char *zor_af_str(zor_af_t af);
// The add (is_delete 0) or delete message type of a family. A family above 9
// is a programming error (assertion).
uint32_t zor_msg_type_for_af(zor_af_t af, uint8_t is_delete);

// Start-up and teardown of the database in a context: for families 0-9 the
// change list and the family's tree_create. 0, or ZOR_ERR_NO_MEMORY when
// something cannot be allocated (what was built is torn down again).
int zor_db_init(t_zor_context *ctx);
// Per family: tree_destroy, then frees every entry left on the change list
// and the list head. Safe on a half-built context.
void zor_db_fini(t_zor_context *ctx);

// Entries.
// A new entry of the family with a zeroed sent bitmap, owner and record set,
// linked nowhere; null when memory runs out (nothing is left allocated).
t_zor_db_entry *zor_db_entry_alloc(zor_af_t af, t_zor_client *owner, void *record);
// Appends a new entry at the tail of its family's change list (no kick).
void zor_db_entry_append(t_zor_context *ctx, t_zor_db_entry *entry);
// The entry changed or must be resent: a held entry gets SCHED; any other
// moves to the tail of its change list and the walk event is armed.
void zor_db_entry_schedule(t_zor_context *ctx, t_zor_db_entry *entry);
// Runs the family's record_free (not for markers), unlinks the entry from
// its change list and frees its bitmap and the entry.
void zor_db_entry_free(t_zor_context *ctx, t_zor_db_entry *entry);
// True when some client holds the entry (a bit of its sent bitmap is set).
bool zor_db_entry_is_held(const t_zor_db_entry *entry);
// A walk lets go of an entry it held (BROWSE): a change recorded meanwhile
// (SCHED) moves it to the tail now, and a free recorded meanwhile (DEL)
// frees it; the entry must not be used afterwards.
void zor_db_entry_release(t_zor_context *ctx, t_zor_db_entry *entry);
// The end of every withdraw, once the family took the entry out of its
// structures: marks it WITHDRAWN, then while a client holds it schedules it
// (the first time only, so the deletions go out in change order), else
// marks it DEL while a walk holds it, or frees it.
void zor_db_entry_withdrawn(t_zor_context *ctx, t_zor_db_entry *entry);

// A marker on the family's change list: at the head when at_head is set or
// the list is empty, else at the tail. Null when the family has no list or
// memory runs out. Freed with zor_db_entry_free.
t_zor_db_entry *zor_db_marker_create(t_zor_context *ctx, t_zor_client *owner, zor_af_t af, uint8_t at_head);

// Arms the context's walk event (none: nothing happens) unless it is pending
// already, so all changes of one loop iteration cause one walk. It runs as
// soon as the loop has polled its sockets once more (a zero timeout: no wait
// for the clock's next tick, and a walk that arms itself again lets the
// sockets be served in between). The store knows no more of distribution.
void zor_db_walk_kick(t_zor_context *ctx);

// Visits every entry of the family that exists when it starts, once, in list
// order, calling cb(entry, arg, arg2, arg3) for each (cb may be null). While
// it runs the entries it has still to visit are held (BROWSE): the callback
// may withdraw or reschedule any entry, and the walk frees or moves them
// right after their visit. Entries added meanwhile are not visited. Returns
// the last callback result (0 when none ran or the family has no list), or 2
// when its marker cannot be allocated (nothing is visited).
typedef int (*zor_db_walk_cb_fn)(t_zor_db_entry *entry, void *arg, void *arg2, void *arg3);
int zor_db_walk(t_zor_context *ctx, zor_af_t af, zor_db_walk_cb_fn cb, void *arg, void *arg2, void *arg3);

// The "ZOR Database" dump of the process-wide context on a CLI session.
void zor_db_dump(confd_user_info *uinfo);

// "MARKER DEL BROWSE SCHED " for the flags that are set, in that order; the
// empty string for none. Returns buf.
char *zor_db_entry_flags_str(const t_zor_db_entry *entry, char *buf, size_t size);
// The module names of the clients holding the entry, each followed by a
// blank, in id order; empty when none. Returns buf (truncated to size).
char *zor_db_entry_clients_str(const t_zor_context *ctx, const t_zor_db_entry *entry, char *buf, size_t size);

// Index of the first bit equal to value (0 or 1) among the first nbits bits
// (bit n is bit n mod 8 of byte n/8), or -1. The last byte is examined whole
// even when nbits ends inside it.
int zor_bitmap_find(const uint8_t *bitmap, uint32_t nbits, uint8_t value);

// Change-list primitives (tail-queue form), for the walks of the client and
// family modules.
inline t_zor_db_list *zor_db_list(const t_zor_context *ctx, zor_af_t af)
{
    return af < ZOR_AF_COUNT ? ctx->entry_lists[af] : nullptr;
}
inline void zor_db_list_init(t_zor_db_list *list)
{
    list->first = nullptr;
    list->last = &list->first;
    list->seq = 0;
}
// Whether a stands before b, by their change_seq (a hint: see the entry).
inline bool zor_db_seq_before(const t_zor_db_entry *a, const t_zor_db_entry *b)
{
    return static_cast<int32_t>(a->change_seq - b->change_seq) < 0;
}
inline void zor_db_list_insert_tail(t_zor_db_list *list, t_zor_db_entry *e)
{
    e->change_seq = ++list->seq;
    e->next = nullptr;
    e->prev = list->last;
    *list->last = e;
    list->last = &e->next;
}
inline void zor_db_list_insert_head(t_zor_db_list *list, t_zor_db_entry *e)
{
    e->change_seq = list->first != nullptr ? list->first->change_seq - 1 : list->seq;
    e->next = list->first;
    if (e->next != nullptr) {
        e->next->prev = &e->next;
    } else {
        list->last = &e->next;
    }
    list->first = e;
    e->prev = &list->first;
}
// Links e just before pos, which is on the list.
inline void zor_db_list_insert_before(t_zor_db_entry *pos, t_zor_db_entry *e)
{
    e->change_seq = pos->change_seq - 1;
    e->prev = pos->prev;
    e->next = pos;
    *pos->prev = e;
    pos->prev = &e->next;
}
// The entry before e on the list, null for the first.
inline t_zor_db_entry *zor_db_list_prev(const t_zor_db_list *list, const t_zor_db_entry *e)
{
    if (e->prev == &list->first) {
        return nullptr;
    }
    return reinterpret_cast<t_zor_db_entry *>(reinterpret_cast<char *>(e->prev) - offsetof(t_zor_db_entry, next));
}
// Unlinks e; an entry on no list is left alone.
inline void zor_db_list_remove(t_zor_db_list *list, t_zor_db_entry *e)
{
    if (e->prev == nullptr) {
        return;
    }
    if (e->next != nullptr) {
        e->next->prev = e->prev;
    } else {
        list->last = e->prev;
    }
    *e->prev = e->next;
    e->next = nullptr;
    e->prev = nullptr;
}
