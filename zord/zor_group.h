// The group database: for each group number, the ordered set of TLOC keys
// that belong to it. The TLOC family adds and removes its TLOCs as they join
// and leave groups; path computation looks groups up. Only keys are held,
// never the TLOC entries themselves. Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "avl.h"
#include "zor_daemon.h"
#include "zor_msg.h"

struct confd_user_info;

// A group: its number and its members, by TLOC key. A group exists only while
// it has a member (or briefly, when adding its first member failed).
struct t_zor_group {
    uint32_t group_id;
    avl_node_t node;     // in the context's group tree
    avl_tree_t members;  // t_zor_group_tloc, by key
};
ZOR_MEM_RECORD(t_zor_group, ZOR_MEM_GROUP);

struct t_zor_group_tloc {
    avl_node_t node;
    zor_tloc_key_t key;  // for IPv4 only the 32-bit address of the value is set
};
ZOR_MEM_RECORD(t_zor_group_tloc, ZOR_MEM_GROUP_TLOC);
static_assert(std::is_trivially_default_constructible_v<t_zor_group> &&
                  std::is_trivially_default_constructible_v<t_zor_group_tloc>,
              "groups and members are calloc'ed");

// Creates the empty group tree in ctx->group_db; ZOR_OK, or ZOR_ERR_NO_MEMORY.
int zor_groups_init(t_zor_context *ctx);
// Frees every group and member and the tree; clears ctx->group_db.
void zor_groups_fini(t_zor_context *ctx);

// The group with this number or null; when absent and where is not null,
// *where is its insertion point in the group tree.
t_zor_group *zor_group_find(t_zor_context *ctx, uint32_t group_id, avl_index_t *where);

// Makes the TLOC of this key a member of the group, creating the group when
// needed. Adding a member twice is harmless. ZOR_OK, or ZOR_ERR_NO_MEMORY when memory runs out
// (a group created for it then stays, empty). The TLOC family passes its
// record's key: only the key of a TLOC is ever read.
int zor_group_tloc_add(t_zor_context *ctx, uint32_t group_id, const zor_tloc_key_t *key);

// Removes the TLOC from the group; the group goes with its last member. An
// unknown group or member changes nothing.
void zor_group_tloc_del(t_zor_context *ctx, uint32_t group_id, const zor_tloc_key_t *key);

// The "ZOR Group Database" dump of the process-wide context (command
// zor_dump_group).
void zor_group_dump(confd_user_info *uinfo);
