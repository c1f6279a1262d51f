// The state of a CDB subscription socket. Private to the library.
#pragma once

#include <memory>
#include <vector>

#include "confd_cdb.h"

namespace confd_impl {

// One node of a notification's diff as the agent sent it (SUB_DIFF).
struct diff_node {
    confd_hkeypath_t kp{};
    int op = 0;
    confd_value_t oldv{};
    confd_value_t newv{};
    bool has_old = false;
    bool has_new = false;
    confd_tag_value_t *mods = nullptr;  // the modifications below it
    int nmods = 0;
    std::vector<std::unique_ptr<diff_node>> children;
    diff_node() = default;
    diff_node(const diff_node &) = delete;
    diff_node &operator=(const diff_node &) = delete;
    ~diff_node();
};

struct sub_state {
    int nsubs = 0;          // subscription points made on this socket
    bool done = false;      // cdb_subscribe_done was called
    bool in_notif = false;  // a notification is being handled (until sync or abort)
    const diff_node *iter_node = nullptr;  // the node cdb_diff_iterate is visiting
};

}  // namespace confd_impl
