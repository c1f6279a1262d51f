#include "zorctl_path.h"

#include <algorithm>

namespace {

bool is_config(const lysc_node *n)
{
    return (n->flags & LYS_CONFIG_W) != 0;
}

bool is_leafy(const lysc_node *n)
{
    return n->nodetype == LYS_LEAF || n->nodetype == LYS_LEAFLIST;
}

// Splits brace content into keys: blanks separate, "..." quotes (with \"
// and \\ inside). A list of one key takes the whole content as its key so
// that a key with blanks needs no quotes.
bool split_keys(const std::string &content, size_t wanted, std::vector<std::string> &keys)
{
    keys.clear();
    std::string cur;
    bool in_key = false;
    bool quoted = false;
    for (size_t i = 0; i < content.size(); i++) {
        const char c = content[i];
        if (quoted) {
            if (c == '\\' && i + 1 < content.size()) {
                cur += content[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                cur += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            in_key = true;
        } else if ((c == ' ' || c == '\t') && wanted != 1) {
            if (in_key) {
                keys.push_back(cur);
                cur.clear();
                in_key = false;
            }
        } else {
            cur += c;
            in_key = true;
        }
    }
    if (quoted) {
        return false;
    }
    if (in_key) {
        keys.push_back(cur);
    }
    return true;
}

}  // namespace

std::string zc_quote_key(const std::string &k)
{
    if (!k.empty() && k.find_first_of(" \t\"{}\\") == std::string::npos) {
        return k;
    }
    std::string out = "\"";
    for (char c : k) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

namespace {

std::string keys_text(const zc_path_elem &e)
{
    std::string out = "{";
    for (size_t i = 0; i < e.keys.size(); i++) {
        out += (i ? " " : "") + zc_quote_key(e.keys[i]);
    }
    return out + "}";
}

std::string key_names(const lysc_node *list)
{
    std::string out;
    for (const lysc_node *k : zc_list_keys(list)) {
        out += (out.empty() ? "" : " ") + std::string(k->name);
    }
    return out;
}

}  // namespace

std::vector<const lysc_node *> zc_list_keys(const lysc_node *list)
{
    std::vector<const lysc_node *> keys;
    if (list == nullptr || list->nodetype != LYS_LIST) {
        return keys;
    }
    for (const lysc_node *c = lysc_node_child(list); c != nullptr; c = c->next) {
        if (lysc_is_key(c)) {
            keys.push_back(c);
        }
    }
    return keys;
}

std::string zc_path::text() const
{
    if (elems.empty()) {
        return "/";
    }
    std::string out;
    for (const zc_path_elem &e : elems) {
        out += '/';
        if (e.prefixed) {
            out += std::string(e.node->module->prefix) + ":";
        }
        out += e.node->name;
        if (e.keyed) {
            out += keys_text(e);
        }
    }
    return out;
}

std::string zc_path::display() const
{
    std::string out = text();
    return out == "/" ? out : out.substr(1);
}

bool zc_split_segments(const std::string &word, std::vector<std::string> &segments)
{
    segments.clear();
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < word.size(); i++) {
        const char c = word[i];
        if (quoted) {
            if (c == '\\' && i + 1 < word.size()) {
                cur += c;
                cur += word[++i];
                continue;
            }
            quoted = c != '"';
        } else if (c == '"' && depth > 0) {
            quoted = true;
        } else if (c == '{') {
            depth++;
        } else if (c == '}') {
            if (--depth < 0) {
                return false;
            }
        } else if (c == '/' && depth == 0) {
            if (!cur.empty()) {
                segments.push_back(cur);
            }
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (depth != 0 || quoted) {
        return false;
    }
    if (!cur.empty()) {
        segments.push_back(cur);
    }
    return true;
}

std::vector<std::string> zc_join_braces(std::span<const std::string> words)
{
    std::vector<std::string> out;
    int depth = 0;
    for (const std::string &w : words) {
        if (depth > 0) {
            out.back() += " " + w;
        } else {
            out.push_back(w);
        }
        bool quoted = false;
        for (char c : w) {
            if (c == '"') {
                quoted = !quoted;
            } else if (!quoted && c == '{') {
                depth++;
            } else if (!quoted && c == '}') {
                depth--;
            }
        }
        depth = std::max(depth, 0);
    }
    return out;
}

bool zc_path_walker::feed_segment(const std::string &segment, bool last, std::string &err)
{
    if (state_.at_value) {
        err = "nothing goes under the leaf " + path_.display() + ": " + segment;
        return false;
    }
    if (state_.keys_wanted != 0) {
        // A list named without braces, followed by a path instead of its keys.
        err = path_.display() + " needs its keys (" + key_names(state_.parent) + ") before " + segment;
        return false;
    }
    std::string name = segment;
    std::string content;
    bool braces = false;
    const size_t open = segment.find('{');
    if (open != std::string::npos) {
        if (segment.back() != '}') {
            err = "text after the keys of " + segment;
            return false;
        }
        name = segment.substr(0, open);
        content = segment.substr(open + 1, segment.size() - open - 2);
        braces = true;
    }
    zc_path_elem e;
    if (state_.parent == nullptr) {
        e.node = schema_.find_top(name);
        e.prefixed = name.find(':') != std::string::npos;
    } else {
        e.node = zc_schema::find_child(state_.parent, name);
    }
    if (e.node == nullptr) {
        err = "no " + name + (state_.parent == nullptr ? " in the schema" : " under " + path_.display());
        return false;
    }
    const std::vector<const lysc_node *> keys = zc_list_keys(e.node);
    // A leaf-list's value in braces names that one value, as a key would.
    const size_t wanted = e.node->nodetype == LYS_LEAFLIST ? 1 : keys.size();
    if (braces) {
        if (wanted == 0) {
            err = std::string(e.node->name) + " takes no keys";
            return false;
        }
        if (!split_keys(content, wanted, e.keys) || e.keys.size() != wanted) {
            err = std::string(e.node->name) + " needs " + std::to_string(keys.size()) + " key" +
                  (keys.size() == 1 ? "" : "s") + " (" + key_names(e.node) + "): {" + content + "}";
            return false;
        }
        e.keyed = true;
    }
    path_.elems.push_back(std::move(e));
    state_.parent = path_.elems.back().node;
    state_.at_value = is_leafy(state_.parent);
    state_.keys_wanted = !braces && last ? keys.size() : 0;
    return true;
}

bool zc_path_walker::feed_word(const std::string &word, std::string &err)
{
    if (state_.at_value) {
        path_.values.push_back(word);
        return true;
    }
    if (state_.keys_wanted != 0) {
        zc_path_elem &e = path_.elems.back();
        e.keys.push_back(word);
        e.keyed = true;
        state_.keys_wanted--;
        return true;
    }
    std::vector<std::string> segments;
    if (!zc_split_segments(word, segments)) {
        err = "unbalanced braces or quotes in " + word;
        return false;
    }
    if (segments.empty()) {
        err = "an empty path";
        return false;
    }
    for (size_t i = 0; i < segments.size(); i++) {
        if (!feed_segment(segments[i], i + 1 == segments.size(), err)) {
            return false;
        }
    }
    return true;
}

bool zc_parse_path(const zc_schema &schema, std::span<const std::string> words, zc_path_use use, zc_path &out,
                   std::string &err)
{
    zc_path_walker w(schema);
    for (const std::string &word : zc_join_braces(words)) {
        if (!w.feed_word(word, err)) {
            return false;
        }
    }
    const zc_path &p = w.path();
    const zc_path_state &st = w.state();
    if (p.elems.empty()) {
        err = "a path is missing";
        return false;
    }
    if (st.keys_wanted != 0 && p.elems.back().keyed) {
        err = p.display() + " needs " + std::to_string(zc_list_keys(st.parent).size()) + " keys (" +
              key_names(st.parent) + ")";
        return false;
    }
    // Every list on the way to the last node names its instance.
    for (size_t i = 0; i + 1 < p.elems.size(); i++) {
        const zc_path_elem &e = p.elems[i];
        if (e.node->nodetype == LYS_LIST && !e.keyed && !(e.node->flags & LYS_KEYLESS)) {
            err = std::string(e.node->name) + " needs its keys (" + key_names(e.node) + ") in " + p.display();
            return false;
        }
    }
    const lysc_node *n = p.node();
    const std::string where = p.display();
    if (use != zc_path_use::oper && !is_config(n)) {
        err = where + " is not configuration";
        return false;
    }
    switch (use) {
    case zc_path_use::set:
        if (!is_leafy(n)) {
            err = where + " is not a leaf: set takes a leaf and its value";
            return false;
        }
        if (p.elems.back().keyed) {
            err = "set takes a leaf-list's values after its path, not in braces: " + where;
            return false;
        }
        if (p.values.empty()) {
            err = "a value for " + where + " is missing";
            return false;
        }
        if (n->nodetype == LYS_LEAF && p.values.size() > 1) {
            err = where + " takes one value";
            return false;
        }
        break;
    case zc_path_use::create: {
        const bool list_instance = n->nodetype == LYS_LIST && p.elems.back().keyed;
        const bool presence = n->nodetype == LYS_CONTAINER && (n->flags & LYS_PRESENCE);
        if (!list_instance && !presence) {
            err = where + " is neither a list instance nor a presence container";
            return false;
        }
        break;
    }
    default:
        break;
    }
    if (use != zc_path_use::set && !p.values.empty()) {
        err = "unexpected " + p.values.front() + " after the leaf " + where;
        return false;
    }
    out = p;
    return true;
}
