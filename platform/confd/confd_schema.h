// The loaded schema as the library keeps it. Private to the library.
//
// A schema is built once and never changed; loading another one swaps the
// current pointer. Pointers that lookups hand out (nodes, names, types)
// stay valid until confd_free_schemas, which is why a replaced schema is
// kept (retired) rather than freed: a thread may still be reading it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "confd_lib.h"

// The type of a leaf: its value type and, for enumerations and bits, the
// labels with their values or bit positions.
struct confd_type {
    enum confd_vtype vtype = C_STR;
    std::string name;
    std::vector<std::pair<std::string, int64_t>> labels;
};

namespace confd_impl {

struct schema {
    std::deque<std::string> strings;  // stable storage for the C strings handed out
    std::vector<confd_nsinfo> ns;
    std::vector<confd_cs_node> nodes;  // sized once: node pointers stay valid
    std::vector<const char *> names;   // per node, same index
    std::vector<std::unique_ptr<confd_type>> types;
    std::vector<std::vector<uint32_t>> keys;
    std::map<uint32_t, char *> tag_names;
    std::map<std::string, uint32_t, std::less<>> name_tags;
    // The first top-level node of each namespace (the others follow by next).
    std::vector<std::pair<uint32_t, confd_cs_node *>> roots;

    const char *keep(std::string s)
    {
        strings.push_back(std::move(s));
        return strings.back().c_str();
    }
    const char *name_of(const confd_cs_node *n) const { return names[static_cast<size_t>(n - nodes.data())]; }
};

using schema_ptr = std::shared_ptr<const schema>;

// The schema loaded now, or null.
schema_ptr schema_now();

// The child of parent (null: the top-level nodes) with the tag (and the
// namespace when ns is not 0), looking through choice cases.
const confd_cs_node *child_by_tag(const schema &s, const confd_cs_node *parent, uint32_t tag, uint32_t ns);

// Text of a value of the given type (type null: by value type alone).
std::string value_text(const schema *s, const confd_type *type, const confd_value_t &v);

}  // namespace confd_impl
