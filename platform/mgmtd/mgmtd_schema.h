// The agent's schema: the YANG modules of the yang directory compiled by
// libyang, with the numbers the wire protocol uses for them (tags,
// namespace numbers, value types, callpoints), and the SCHEMA_GET reply.
// Single-threaded: built once at start, read-only afterwards.
#pragma once

#include <libyang/libyang.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mgmtd {

struct ly_ctx_deleter {
    void operator()(ly_ctx *c) const { ly_ctx_destroy(c); }
};
struct lyd_deleter {
    void operator()(lyd_node *n) const { lyd_free_all(n); }
};
using ctx_ptr = std::unique_ptr<ly_ctx, ly_ctx_deleter>;
using tree_ptr = std::unique_ptr<lyd_node, lyd_deleter>;

// What the protocol needs to know of one schema node.
struct node_info {
    uint32_t tag = 0;
    uint32_t ns = 0;            // its module's namespace number
    std::string callpoint;      // mx:callpoint, or ""
    std::string tenant_callpoint;  // mx:tenant-callpoint, or ""
    int vtype = 0;              // leaves and leaf-lists: the confd_vtype of their values
};

struct module_info {
    const lys_module *mod = nullptr;
    uint32_t ns = 0;
    std::string file;  // the .yang file it came from
};

class schema {
public:
    // Loads every *.yang file of dir (in name order) into a new context and
    // implements it. False with the reason in *err when a module does not
    // load or two modules get the same namespace number.
    bool load(const std::string &dir, std::string *err);

    ly_ctx *ctx() const { return ctx_.get(); }
    const std::string &dir() const { return dir_; }
    const std::vector<module_info> &modules() const { return modules_; }

    // The node's numbers; a node outside the loaded modules gets the hash
    // of its name and namespace 0.
    const node_info &info(const lysc_node *n) const;
    uint32_t tag(const lysc_node *n) const { return info(n).tag; }
    uint32_t ns(const lysc_node *n) const { return info(n).ns; }
    uint32_t module_ns(const lys_module *m) const;
    // The loaded module of a namespace number, or nullptr.
    const lys_module *module_by_ns(uint32_t ns) const;
    // A module by name or prefix, or nullptr.
    const lys_module *module_by_name(std::string_view name) const;
    // The name of some node with this tag, or nullptr.
    const char *tag_name(uint32_t tag) const;

    // A data child of parent by name (choices and cases are looked
    // through); parent nullptr: a top-level node of mod, or of any loaded
    // module when mod is nullptr (nullptr when two modules have one).
    const lysc_node *child(const lysc_node *parent, const lys_module *mod, std::string_view name) const;
    // The same by tag (and namespace when ns is not 0).
    const lysc_node *child_by_tag(const lysc_node *parent, uint32_t tag, uint32_t ns) const;
    // An action or rpc named so, anywhere in the loaded modules, or nullptr.
    const lysc_node *find_action(std::string_view name) const;

    // The SCHEMA_GET reply (a whole frame) for the listed namespace
    // numbers, all when empty.
    std::string encode(const std::vector<int64_t> &nsv, uint32_t xid) const;

private:
    void index_module(const module_info &m);
    ctx_ptr ctx_;
    std::string dir_;
    std::vector<module_info> modules_;
    std::unordered_map<const lysc_node *, node_info> nodes_;
    std::unordered_map<uint32_t, std::string> tag_names_;
    node_info unknown_;
};

// The text of libyang's last error in ctx ("unknown error" when none).
std::string ly_error_text(const ly_ctx *ctx);
// The confd_vtype of values of a leaf type.
int vtype_of(const lysc_type *t);
// True when a leaf type is (or, for a union, holds) an IPv4 or IPv6 address type.
bool type_is_ipv4(const lysc_type *t);
bool type_is_ipv6(const lysc_type *t);
// A leafref's target type, any other type itself.
const lysc_type *deref(const lysc_type *t);
// The items of an enumeration or bits type, nullptr for other types.
const lysc_type_bitenum_item *bitenum_items(const lysc_type *t);
// The type of a leaf or leaf-list, nullptr for other nodes.
const lysc_type *leaf_type(const lysc_node *n);
// The type's name as SCHEMA_GET lists it: the built-in type, or the
// address type it stands for.
std::string type_name(const lysc_type *t);

}  // namespace mgmtd
