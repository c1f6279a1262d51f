#include "zorctl_complete.h"

#include <algorithm>

#include "zorctl_cmd.h"
#include "zorctl_path.h"

namespace {

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

void keep_matching(std::vector<std::string> &words, const std::string &partial)
{
    std::erase_if(words, [&](const std::string &w) { return !starts_with(w, partial); });
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
}

// Within the partial word itself: the segments before its last slash, then
// the child names of the node they reach.
std::vector<std::string> complete_segment(zc_path_walker &w, const std::string &partial)
{
    std::vector<std::string> out;
    const size_t slash = partial.rfind('/');
    const std::string head = slash == std::string::npos ? "" : partial.substr(0, slash + 1);
    const std::string tail = partial.substr(head.size());
    if (tail.find_first_of("{\"") != std::string::npos) {
        return out;  // keys in braces are the operator's to type
    }
    std::vector<std::string> segments;
    std::string err;
    if (!head.empty() && (!zc_split_segments(head, segments) || segments.empty())) {
        return out;
    }
    for (const std::string &seg : segments) {
        if (!w.feed_segment(seg, false, err)) {
            return out;
        }
    }
    const lysc_node *parent = w.state().parent;
    if (parent != nullptr && (parent->nodetype & (LYS_LEAF | LYS_LEAFLIST))) {
        return out;
    }
    const std::vector<const lysc_node *> nodes =
        parent == nullptr ? w.schema().top_nodes() : zc_schema::children(parent);
    for (const lysc_node *n : nodes) {
        out.push_back(head + n->name);
    }
    return out;
}

std::vector<std::string> complete_path(const std::vector<std::string> &path_words, const std::string &partial,
                                       const zc_schema &schema)
{
    zc_path_walker w(schema);
    std::string err;
    for (const std::string &word : zc_join_braces(path_words)) {
        if (!w.feed_word(word, err)) {
            return {};
        }
    }
    const zc_path_state &st = w.state();
    if (st.at_value) {
        return zc_value_labels(st.parent);
    }
    if (st.keys_wanted != 0) {
        const std::vector<const lysc_node *> keys = zc_list_keys(st.parent);
        const size_t have = w.path().elems.back().keys.size();
        return have < keys.size() ? zc_value_labels(keys[have]) : std::vector<std::string>{};
    }
    return complete_segment(w, partial);
}

}  // namespace

std::vector<std::string> zc_complete(const std::vector<std::string> &before, const std::string &partial,
                                     bool config_mode, const zc_schema *schema)
{
    std::vector<std::string> out;
    const size_t start = zc_path_start(before);
    if (start != 0 && before.size() >= start) {
        if (schema != nullptr) {
            out = complete_path(std::vector<std::string>(before.begin() + static_cast<long>(start), before.end()),
                                partial, *schema);
        }
    } else {
        out = zc_command_words(before, true, config_mode);
    }
    keep_matching(out, partial);
    return out;
}

std::string zc_common_prefix(const std::vector<std::string> &candidates)
{
    if (candidates.empty()) {
        return "";
    }
    std::string prefix = candidates.front();
    for (const std::string &c : candidates) {
        size_t i = 0;
        while (i < prefix.size() && i < c.size() && prefix[i] == c[i]) {
            i++;
        }
        prefix.resize(i);
    }
    return prefix;
}

std::vector<std::string> zc_split_line(const std::string &line)
{
    std::vector<std::string> words;
    std::string cur;
    bool quoted = false;
    bool in_word = false;
    for (char c : line) {
        if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) {
                words.push_back(cur);
            }
            cur.clear();
            in_word = false;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
        }
        cur += c;
        in_word = true;
    }
    if (in_word || line.empty() || line.back() == ' ' || line.back() == '\t') {
        words.push_back(cur);
    }
    return words;
}
