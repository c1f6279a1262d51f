#include "zorctl_print.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

namespace {

std::string quoted_if_blank(const char *v)
{
    const std::string s = v != nullptr ? v : "";
    if (!s.empty() && s.find_first_of(" \t\"") == std::string::npos) {
        return s;
    }
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

void tree_lines(const lyd_node *first, int indent, std::string &out)
{
    for (const lyd_node *n = first; n != nullptr; n = n->next) {
        if (n->schema == nullptr) {
            continue;  // opaque nodes do not occur in parsed replies
        }
        const std::string pad(static_cast<size_t>(indent), ' ');
        std::string line = pad + n->schema->name;
        if (n->schema->nodetype & LYD_NODE_TERM) {
            const char *v = lyd_get_value(n);
            if (v != nullptr && *v != '\0') {
                line += " " + quoted_if_blank(v);
            }
            out += line + "\n";
            continue;
        }
        const lyd_node *child = lyd_child(n);
        if (n->schema->nodetype == LYS_LIST) {
            for (const lyd_node *k = child; k != nullptr && lysc_is_key(k->schema); k = k->next) {
                line += " " + quoted_if_blank(lyd_get_value(k));
            }
        }
        out += line + "\n";
        const lyd_node *rest = child;
        while (rest != nullptr && rest->schema != nullptr && lysc_is_key(rest->schema)) {
            rest = rest->next;
        }
        tree_lines(rest, indent + 2, out);
    }
}

// Every instance of a list of that name, in document order.
std::vector<const lyd_node *> instances(const lyd_node *tree, const char *name)
{
    std::vector<const lyd_node *> out;
    for (const lyd_node *top = tree; top != nullptr; top = top->next) {
        const lyd_node *elem;
        LYD_TREE_DFS_BEGIN(top, elem)
        {
            const lysc_node *s = elem->schema;
            if (s != nullptr && s->nodetype == LYS_LIST && strcmp(s->name, name) == 0) {
                out.push_back(elem);
            }
            LYD_TREE_DFS_END(top, elem);
        }
    }
    return out;
}

const lyd_node *child_named(const lyd_node *n, const char *name)
{
    for (const lyd_node *c = n != nullptr ? lyd_child(n) : nullptr; c != nullptr; c = c->next) {
        if (c->schema != nullptr && strcmp(c->schema->name, name) == 0) {
            return c;
        }
    }
    return nullptr;
}

// A leaf's value, "-" when the reply left it out.
std::string leaf(const lyd_node *n, const char *name)
{
    const lyd_node *c = child_named(n, name);
    const char *v = c != nullptr ? lyd_get_value(c) : nullptr;
    return v != nullptr ? v : "-";
}

std::string tloc_text(const lyd_node *n)
{
    if (n == nullptr) {
        return "-";
    }
    return leaf(n, "system-ip") + ":" + leaf(n, "color") + ":" + leaf(n, "encapsulation");
}

void json_lines(const boost::property_tree::ptree &t, size_t indent, std::string &out);

bool is_array(const boost::property_tree::ptree &t)
{
    if (t.empty()) {
        return false;
    }
    for (const auto &kv : t) {
        if (!kv.first.empty()) {
            return false;
        }
    }
    return true;
}

// " v1 v2" for an array whose items are all values; false otherwise.
bool values_line(const boost::property_tree::ptree &v, std::string &line)
{
    line.clear();
    for (const auto &kv : v) {
        if (!kv.second.empty()) {
            return false;
        }
        line += " " + quoted_if_blank(kv.second.data().c_str());
    }
    return true;
}

void json_member(const std::string &key, const boost::property_tree::ptree &v, size_t indent, std::string &out)
{
    const std::string pad(indent, ' ');
    std::string values;
    if (v.empty()) {
        out += pad + key + (v.data().empty() ? "" : " " + quoted_if_blank(v.data().c_str())) + "\n";
    } else if (!is_array(v)) {
        out += pad + key + "\n";
        json_lines(v, indent + 2, out);
    } else if (values_line(v, values)) {
        out += pad + key + values + "\n";
    } else {
        out += pad + key + "\n";
        for (const auto &kv : v) {
            // An object item's first member goes on the "- " line, the
            // others under it; a value or an array of values is one line.
            std::string item;
            if (kv.second.empty() || (is_array(kv.second) && values_line(kv.second, values))) {
                item = pad + "  -" + (kv.second.empty() ? " " + quoted_if_blank(kv.second.data().c_str()) : values) +
                       "\n";
            } else {
                json_lines(kv.second, indent + 4, item);
                item.replace(indent + 2, 2, "- ");
            }
            out += item;
        }
    }
}

void json_lines(const boost::property_tree::ptree &t, size_t indent, std::string &out)
{
    for (const auto &kv : t) {
        json_member(kv.first, kv.second, indent, out);
    }
}

}  // namespace

std::string zc_tree_text(const lyd_node *tree)
{
    std::string out;
    tree_lines(tree, 0, out);
    return out;
}

std::string zc_table(const std::vector<std::string> &headers, const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(headers.size());
    for (size_t i = 0; i < headers.size(); i++) {
        width[i] = headers[i].size();
        for (const auto &r : rows) {
            if (i < r.size()) {
                width[i] = std::max(width[i], r[i].size());
            }
        }
    }
    auto line = [&](const std::vector<std::string> &cells) {
        std::string l;
        for (size_t i = 0; i < headers.size(); i++) {
            const std::string cell = i < cells.size() ? cells[i] : "";
            l += cell;
            if (i + 1 < headers.size()) {
                l += std::string(width[i] - cell.size() + 2, ' ');
            }
        }
        l.erase(l.find_last_not_of(' ') + 1);
        return l + "\n";
    };
    std::vector<std::string> rule;
    for (size_t w : width) {
        rule.emplace_back(w, '-');
    }
    std::string out = line(headers) + line(rule);
    for (const auto &r : rows) {
        out += line(r);
    }
    return out;
}

std::string zc_tlocs_table(const lyd_node *tree)
{
    std::vector<std::vector<std::string>> rows;
    for (const lyd_node *t : instances(tree, "tloc")) {
        rows.push_back({leaf(t, "system-ip"), leaf(t, "color"), leaf(t, "encapsulation")});
    }
    return zc_table({"System IP", "Colour", "Encap"}, rows);
}

std::string zc_paths_table(const lyd_node *tree)
{
    std::vector<std::vector<std::string>> rows;
    for (const lyd_node *p : instances(tree, "path")) {
        rows.push_back({leaf(p, "path-index"), leaf(p, "preference"), leaf(p, "mtu"), leaf(p, "best"),
                        leaf(p, "status"), leaf(p, "stale")});
    }
    return zc_table({"Index", "Preference", "MTU", "Best", "Status", "Stale"}, rows);
}

std::string zc_links_table(const lyd_node *tree)
{
    std::vector<std::vector<std::string>> rows;
    for (const lyd_node *l : instances(tree, "link")) {
        rows.push_back({leaf(l, "link-index"), tloc_text(child_named(l, "local-tloc")),
                        tloc_text(child_named(l, "remote-tloc")), leaf(l, "label")});
    }
    return zc_table({"Index", "Local TLOC", "Remote TLOC", "Label"}, rows);
}

bool zc_json_text(const std::string &json, std::string &out)
{
    out.clear();
    boost::property_tree::ptree t;
    try {
        std::istringstream in(json);
        boost::property_tree::read_json(in, t);
    } catch (const boost::property_tree::json_parser_error &) {
        return false;
    }
    json_lines(t, 0, out);
    return true;
}
