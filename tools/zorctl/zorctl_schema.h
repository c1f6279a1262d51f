// The agent's schema in a libyang context: built from the modules the agent
// sends (CLI_MODULES), used to check paths, parse JSON replies into data
// trees, and complete. Single-threaded (libyang's log settings are global).
#pragma once

#include <libyang/libyang.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct zc_ctx_free {
    void operator()(ly_ctx *c) const { ly_ctx_destroy(c); }
};
struct zc_tree_free {
    void operator()(lyd_node *n) const { lyd_free_all(n); }
};
using zc_tree = std::unique_ptr<lyd_node, zc_tree_free>;

// A module as the agent sends it: its name and YANG text.
using zc_module_text = std::pair<std::string, std::string>;

class zc_schema {
public:
    // Compiles the modules into a fresh context; their imports are resolved
    // among them (libyang's own modules aside), never from the file system.
    // On failure the schema stays empty and err holds libyang's reason.
    bool load(const std::vector<zc_module_text> &modules, std::string &err);
    bool loaded() const { return ctx_ != nullptr; }
    const ly_ctx *ctx() const { return ctx_.get(); }

    // Top-level data nodes of every implemented module, in module order.
    std::vector<const lysc_node *> top_nodes() const;
    // The top-level data node of that name ("name" or "prefix:name",
    // "module:name"); nullptr when none or when two modules share the bare
    // name.
    const lysc_node *find_top(const std::string &name) const;
    // The data child of parent (a container or list) of that name, looking
    // through choices and cases; nullptr when none.
    static const lysc_node *find_child(const lysc_node *parent, const std::string &name);
    // The data children of parent, through choices and cases.
    static std::vector<const lysc_node *> children(const lysc_node *parent);

    // Parses an RFC 7951 JSON document into a data tree (configuration and
    // state alike; nothing is validated but the types). An empty document
    // gives an empty tree. On failure err holds libyang's reason.
    bool parse(const std::string &json, zc_tree &tree, std::string &err) const;

private:
    std::unique_ptr<ly_ctx, zc_ctx_free> ctx_;
};

// Labels a value may take at a leaf: enumeration labels, true/false for a
// boolean, through typedefs and unions; empty for other types.
std::vector<std::string> zc_value_labels(const lysc_node *leaf);
