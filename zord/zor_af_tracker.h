// The TRACKER family: the state of service trackers between clients. A
// tracker is named, attached to an attach point, belongs to a VPN and is Up
// or Down. Clients announce trackers (types 17 and 18) and report their state
// (type 19); zord keeps one entry per (name, attach point, VPN id), owned by
// the announcing client, and forwards every change to the clients of the
// family. Besides the state each tracker carries two words and a 256-byte
// block that zord stores and forwards unread. The family also serves the
// tracker dump command. Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;

// Names and attach points keep at most this many characters.
#define ZOR_TRACKER_NAME_MAX 324

struct t_zor_af_tracker {
    t_zor_db_entry *entry;                   // the entry that owns the record
    char name[ZOR_TRACKER_NAME_MAX + 1];     // first key field
    char attach_point[ZOR_TRACKER_NAME_MAX + 1];  // second key field
    uint64_t vpn_id;                         // third key field; shown signed
    uint32_t opaque1;                        // carried unchanged
    uint32_t status;                         // 1 up, anything else down
    uint32_t opaque2;                        // carried unchanged
    uint8_t opaque[ZOR_MSG_TRACKER_OPAQUE_LEN];  // carried unchanged
};
ZOR_MEM_RECORD(t_zor_af_tracker, ZOR_MEM_TRACKER);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_tracker>, "records are calloc'ed");
static_assert(offsetof(t_zor_af_tracker, attach_point) == offsetof(t_zor_af_tracker, name) + 325);
static_assert(offsetof(t_zor_af_tracker, opaque) == offsetof(t_zor_af_tracker, opaque2) + 4);

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_tracker_ops;
// Of its operations withdraw (the owner's request only), delete, tree_destroy, record_free and
// show_all (key order) are the shared defaults of zor_af_base.h.

// Add message: creates the tracker of the key (owned by client) from the
// body; an existing tracker keeps its record as it is (its state changes
// only through the status message). Either way the entry is scheduled, so
// every repeated add is sent again. The entry, or null when memory runs out
// (nothing kept).
t_zor_db_entry *zor_af_tracker_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// Status message: a known tracker whose status differs takes the body's
// status and is scheduled; nothing else is read. Unknown trackers and
// unchanged statuses change nothing.
void zor_af_tracker_status_msg(zor_af_t af, t_zor_context *ctx, zor_msg_t *msg);
// The entry of the message's key (texts cut to 324 characters), with the
// insertion point; null for none.
t_zor_db_entry *zor_af_tracker_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
// Every field into the body; the status only for an add (a delete carries
// status 0).
void zor_af_tracker_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);
// "    Name: ... Attach-Point: ... VPN Id : ... Status: ...\n" and the
// advertised-to line.
void zor_af_tracker_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);

// Command "zor_dump_tracker": every tracker of the process-wide context in
// key order, each found again as the next greater key than the one last
// shown (so trackers may come and go while the dump yields); the all-empty
// key (no name, no attach point, VPN 0) is never listed. Without a context
// it prints "ZOR context not UP". Always CONFD_OK.
int zor_dump_tracker(confd_user_info *uinfo, char *path, int argc, char **argv);
