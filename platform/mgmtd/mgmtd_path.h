// The agent's path form ("/snmp/trap/group{g1}/enable{all}", keys in
// braces, blank-separated, "quoted" when they hold blanks; a top-level name
// may carry "prefix:") resolved through the schema, and its libyang form.
#pragma once

#include <libyang/libyang.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "confd_lib.h"
#include "mgmtd_schema.h"

namespace mgmtd {

struct path_step {
    const lysc_node *snode = nullptr;
    bool has_keys = false;          // braces given (a list instance, or a leaf-list value)
    std::vector<std::string> keys;  // their texts, in the list's key order
    bool key_prefix = false;        // fewer keys than the list has: the instances that begin with them
};

struct agent_path {
    std::vector<path_step> steps;  // empty: the whole tree
    const lysc_node *target() const { return steps.empty() ? nullptr : steps.back().snode; }
    // Every list step names its instance.
    bool keyed() const;
};

// Parses text. top_ns (not 0) chooses the module of the top-level name.
// With key_prefixes, a list step may give its first keys only (operational
// reads: "/tlocs/tloc{10.0.0.2}" lists the TLOCs of one system IP).
// CONFD_OK, or CONFD_ERR_BADPATH with the reason in *err.
int parse_path(const schema &s, std::string_view text, uint32_t top_ns, agent_path *out, std::string *err,
               bool key_prefixes = false);
// The libyang path (an XPath) of the first n steps: list steps without keys
// match every instance.
std::string ly_path(const agent_path &p, size_t n = SIZE_MAX);
// The libyang step of one node ("/mod:name" when it opens a module, else
// "/name") followed by the predicates of keys (key texts in key order).
std::string ly_step(const lysc_node *snode, const lysc_node *parent, const std::vector<std::string> *keys);
// A predicate value in quotes; false when it holds both quote marks.
bool ly_quote(std::string_view v, std::string *out);
// The path (its first n steps) as the agent prints it.
std::string path_text(const agent_path &p, size_t n = SIZE_MAX);

// One element of a keypath, outermost first: a node's tag, and for a list
// instance its keys.
struct kp_elem {
    uint32_t tag = 0;
    uint32_t ns = 0;
    std::vector<const confd_value_t *> keys;  // not owned
};
// Fills a wire keypath (innermost first) from elements; false when it is
// deeper than MAXDEPTH or an instance has too many keys. The values are
// not copied: kp is valid while they live.
bool to_hkeypath(const std::vector<kp_elem> &elems, confd_hkeypath_t *kp);

}  // namespace mgmtd
