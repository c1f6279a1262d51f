// The agent's two data trees: the running configuration (persisted as JSON
// in the database directory) and the operational store (in memory), and
// the reads and writes of CDB sessions and commits on a tree.
// Single-threaded.
#pragma once

#include <string>

#include "confd_lib.h"
#include "mgmtd_path.h"
#include "mgmtd_schema.h"
#include "mgmtd_value.h"

namespace mgmtd {

// CONFD_OK, or a confd_errcode with the text the peer sees.
struct result {
    int code = CONFD_OK;
    std::string text;
    bool ok() const { return code == CONFD_OK; }
    static result error(int code, std::string text) { return {code, std::move(text)}; }
};

class store {
public:
    explicit store(const schema &s) : schema_(s) {}

    // Loads DIR/running.json (none yet: an empty configuration), creating
    // DIR when missing. A damaged or invalid file: false, with a message
    // naming the file in *err; the file is left as it is.
    bool load(const std::string &dir, std::string *err);
    // Makes tree the content of the configuration file: a temporary file,
    // fsync, rename, fsync of the directory (with sync off, no fsync). False
    // with the reason in *err; the old file is then untouched.
    bool persist(const lyd_node *tree, std::string *err) const;
    void set_sync(bool on) { sync_ = on; }
    const std::string &file() const { return file_; }

    lyd_node *running() const { return running_.get(); }
    tree_ptr take_running() { return std::move(running_); }
    void set_running(tree_ptr t) { running_ = std::move(t); }
    lyd_node *&oper() { return oper_; }
    ~store() { lyd_free_all(oper_); }

    // A deep copy of a tree (nullptr stays nullptr).
    static tree_ptr dup(const lyd_node *tree);

    // Reads on a tree. get: a leaf's value, a leaf-list's C_LIST, an
    // existing presence container's C_XMLTAG.
    result get(const lyd_node *tree, const agent_path &p, cvalue *out) const;
    result exists(const lyd_node *tree, const agent_path &p, bool *out) const;
    result num_instances(const lyd_node *tree, const agent_path &p, int64_t *out) const;

    // Writes on a tree (its first sibling may change). set: a leaf's value
    // (a leaf-list: C_LIST replaces its values, one value adds it);
    // create: a list instance or presence container that must not exist;
    // remove: what the path names, which must exist.
    result set(lyd_node **tree, const agent_path &p, const confd_value_t &v) const;
    result set_text(lyd_node **tree, const agent_path &p, const std::string &text) const;
    result create(lyd_node **tree, const agent_path &p) const;
    result remove(lyd_node **tree, const agent_path &p) const;

    // Validates a configuration tree (adding defaults). CONFD_ERR_INCONSISTENT_VALUE with libyang's reason.
    result validate(tree_ptr &tree) const;
    // RFC 7951 JSON of a tree, or of the nodes a path names with their parents.
    result print(const lyd_node *tree, const agent_path *p, std::string *out) const;

private:
    result find_one(const lyd_node *tree, const agent_path &p, lyd_node **out) const;
    const schema &schema_;
    tree_ptr running_;
    lyd_node *oper_ = nullptr;
    std::string dir_;
    std::string file_;
    bool sync_ = true;
};

}  // namespace mgmtd
