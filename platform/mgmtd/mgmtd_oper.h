// What the operational read's two halves share: the position of a read in
// the schema and in the daemons' keys, the state of one read, and the
// helpers that build its result tree. Private to the agent.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mgmtd_agent.h"

namespace mgmtd {

struct agent::oper_pos {
    std::string data_path;             // the libyang path of the node ("" for the root)
    const lysc_node *snode = nullptr;  // its schema node (nullptr: the root)
    struct elem {
        uint32_t tag = 0;
        uint32_t ns = 0;
        std::vector<cvalue> keys;
    };
    std::vector<elem> kp;
    int64_t tenant = -1;
    bool inside = false;  // within an instance that a callpoint served
};

struct agent::oper_read {
    uint64_t cli = 0;
    uint32_t xid = 0;
    int flags = 0;
    std::string user;
    lyd_node *root = nullptr;
    struct tx {
        int64_t th = 0;
        uint64_t worker = 0;
        bool usable = false;
        // Taken when the transaction starts: a daemon that goes in the
        // middle of a read is still named in the operator's error.
        std::string daemon_name;
    };
    std::map<uint64_t, tx> trans;
    std::optional<result> err;
    size_t objects = 0;
    ~oper_read() { lyd_free_all(root); }
};

// A list that daemons serve through a callpoint (shared or per tenant).
bool oper_is_cp_list(const schema &s, const lysc_node *sn);

// The node at path in the result tree, created (with its parents) when
// missing; nullptr when libyang refuses the path.
lyd_node *oper_ensure(const schema &s, lyd_node **root, const std::string &path);

// The position of sn below pos: of the instance inst when given (its keys,
// and the tenant when sn is the tenant list), else of sn itself.
agent::oper_pos oper_child_pos(const schema &s, const agent::oper_pos &pos, const lysc_node *sn, lyd_node *inst,
                               bool inside);

}  // namespace mgmtd
