// What a commit, an operational write or a trigger changed, as subscribers
// read it: a tree of changed nodes built from libyang's diff of two data
// trees, and its views for one subscription (SUB_GET_MODS, SUB_DIFF).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "confd_wire.h"
#include "mgmtd_path.h"
#include "mgmtd_schema.h"
#include "mgmtd_value.h"

namespace mgmtd {

enum class chg_op { created, deleted, modified, value_set };

struct change_node {
    const lysc_node *snode = nullptr;
    chg_op op = chg_op::modified;
    std::vector<cvalue> keys;  // a list instance's keys, in key order
    cvalue old_v;              // leaves and leaf-lists (C_LIST); C_NOEXISTS for none
    cvalue new_v;
    std::vector<change_node> children;
};

struct change_set {
    std::vector<change_node> roots;
    bool empty() const { return roots.empty(); }
};

// The changes from old_tree to new_tree (either may be nullptr: everything
// created or deleted). False with the reason in *err.
bool build_changes(const schema &s, const lyd_node *old_tree, const lyd_node *new_tree, change_set *out,
                   std::string *err);

// A changed node at a subscription's level and the keypath to it.
struct located {
    const change_node *node;
    std::vector<kp_elem> kp;
};
// The changed nodes that a path names (list steps without keys: every
// instance), outermost first.
std::vector<located> find_level(const schema &s, const change_set &cs, const agent_path &p);

// SUB_GET_MODS: the tag-value list of the changes at the level found for a
// subscription (list instances wrapped, a container's changes listed
// unwrapped, a leaf itself), or, narrowed, at a path's own nodes (never
// wrapped).
void write_mods(mgmt_wire::writer &w, const schema &s, const std::vector<located> &level, bool narrowed);
// SUB_DIFF: one diff node per changed node at the level.
void write_diff(mgmt_wire::writer &w, const schema &s, const std::vector<located> &level);

}  // namespace mgmtd
