// Operator paths: "system/personality", "snmp/trap/group{g1}/enable{all}/level",
// or the same as separate words ("snmp trap group g1 enable all level"; a
// list named without braces takes its keys from the words that follow).
// They are resolved against the schema before anything is sent, and turned
// into the agent's path form ("/snmp/trap/group{g1}/enable{all}/level";
// confd_cdb.h).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "zorctl_schema.h"

// What a path is used for; it decides which nodes it may end at.
enum class zc_path_use {
    set,          // a leaf or leaf-list of the configuration, with values
    create,       // a list instance or a presence container of the configuration
    remove,       // any node of the configuration
    config_read,  // any node holding configuration
    oper,         // any data node
};

struct zc_path_elem {
    const lysc_node *node = nullptr;
    bool prefixed = false;          // typed with a prefix (top level only)
    bool keyed = false;             // keys given
    std::vector<std::string> keys;  // in the list's key order
};

struct zc_path {
    std::vector<zc_path_elem> elems;
    std::vector<std::string> values;  // the words after a leaf (set)

    const lysc_node *node() const { return elems.empty() ? nullptr : elems.back().node; }
    // The agent's path form, "/" for an empty path. Keys holding blanks,
    // quotes or braces are quoted.
    std::string text() const;
    // The operator's form again ("system/personality").
    std::string display() const;
};

// Where a walk over words stands; completion asks what may come next.
struct zc_path_state {
    const lysc_node *parent = nullptr;  // the node reached; nullptr at the top
    size_t keys_wanted = 0;             // key words still expected for parent (a list)
    bool at_value = false;              // parent is a leaf or leaf-list: values follow
};

// Walks words one at a time, keeping the path and its state.
class zc_path_walker {
public:
    explicit zc_path_walker(const zc_schema &schema) : schema_(schema) {}
    // Takes one whole word: path segments, a key, or a value. False with err
    // on a name the schema does not have or malformed braces; the walker is
    // unusable after.
    bool feed_word(const std::string &word, std::string &err);
    // Takes one segment ("name" or "name{keys}") of a word; last says whether
    // it ends its word (a list without braces then takes key words).
    bool feed_segment(const std::string &segment, bool last, std::string &err);
    const zc_path &path() const { return path_; }
    zc_path &path() { return path_; }
    const zc_path_state &state() const { return state_; }
    const zc_schema &schema() const { return schema_; }

private:
    const zc_schema &schema_;
    zc_path path_;
    zc_path_state state_;
};

// Cuts a word into its segments at the slashes outside braces and quotes.
// False when braces or quotes are left open.
bool zc_split_segments(const std::string &word, std::vector<std::string> &segments);

// Joins words that a shell cut inside braces ("tloc{10.0.0.1", "blue",
// "ipsec}") back into one word with blanks; other words stay as they are.
std::vector<std::string> zc_join_braces(std::span<const std::string> words);

// A key as the agent's path form writes it: in double quotes (with \" and
// \\ escaped) when it is empty or holds blanks, quotes, braces or backslashes.
std::string zc_quote_key(const std::string &key);

// The keys of a list, in order.
std::vector<const lysc_node *> zc_list_keys(const lysc_node *list);

// Resolves words into a path for use: the whole span must be the path, and
// for zc_path_use::set its values. False with a one-line err otherwise.
bool zc_parse_path(const zc_schema &schema, std::span<const std::string> words, zc_path_use use, zc_path &out,
                   std::string &err);
