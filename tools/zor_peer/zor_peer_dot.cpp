#include "zor_peer_dot.h"

#include <map>
#include <set>
#include <vector>

#include "ip_util.h"
#include "zor_peer_names.h"

namespace {

constexpr const char *k_up = "#2e7d32";
constexpr const char *k_down = "#c62828";
constexpr const char *k_path = "#1565c0";
constexpr const char *k_local_fill = "#dbe9f7";
constexpr const char *k_remote_fill = "#eeeeee";

// A DOT string literal.
std::string q(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out + "\"";
}

bool has(const zor_tloc_attr_t &a, int bit)
{
    return (a.flags & ZOR_TLOC_ATTR_BIT(bit)) != 0;
}

// The region of a TLOC: the last non-zero group id, 0 for none.
uint32_t region_of(const zor_tloc_attr_t &a)
{
    uint32_t region = 0;
    if (has(a, ZOR_TLOC_ATTR_GROUP)) {
        for (uint16_t i = 0; i < a.group_count && i < ZOR_TLOC_GROUP_MAX; i++) {
            region = a.groups[i] != 0 ? a.groups[i] : region;
        }
    }
    return region;
}

bool is_border(const zor_tloc_attr_t &a)
{
    return has(a, ZOR_TLOC_ATTR_BORDER) && a.border != 0;
}

bool same_tloc(const zor_tloc_key_t &a, const zor_tloc_key_t &b)
{
    return ip_addr_equal(&a.addr, &b.addr) && a.color == b.color && a.encap == b.encap;
}

struct graph {
    std::vector<const zor_msg_tloc_t *> tlocs;
    std::vector<const zor_msg_link_t *> links;
    std::map<uint32_t, zor_tloc_key_t> by_index;
    std::set<size_t> path_links;      // indexes into links
    std::set<std::string> path_ends;  // the TLOCs paths lead to
    size_t paths = 0;
};

// Marks the links of one path: the first goes from the local TLOC to the
// border TLOC (both named by index), each next one has the next label and
// starts at the device where the previous one ended. A path whose links the
// snapshot does not all hold is not drawn.
void mark_path(graph &g, const zor_tloc_key_t &to, const zor_tloc_path_t &p)
{
    auto local = g.by_index.find(p.local_index);
    auto border = g.by_index.find(p.border_index);
    if (local == g.by_index.end() || border == g.by_index.end()) {
        return;
    }
    std::vector<size_t> found;
    for (size_t i = 0; i < g.links.size() && found.empty(); i++) {
        if (same_tloc(g.links[i]->local, local->second) && same_tloc(g.links[i]->remote, border->second)) {
            found.push_back(i);
        }
    }
    if (found.empty()) {
        return;
    }
    for (uint8_t l = 0; l < p.label_count && l < ZOR_TLOC_PATH_LABEL_MAX; l++) {
        const ip_addr_t &at = g.links[found.back()]->remote.addr;
        size_t before = found.size();
        for (size_t i = 0; i < g.links.size() && found.size() == before; i++) {
            if (g.links[i]->label == p.labels[l] && ip_addr_equal(&g.links[i]->local.addr, &at)) {
                found.push_back(i);
            }
        }
        if (found.size() == before) {
            return;
        }
    }
    g.path_links.insert(found.begin(), found.end());
    g.path_ends.insert(zp_tloc_str(to));
    g.paths++;
}

std::string node_line(const zor_msg_tloc_t &t, bool path_end)
{
    const std::string key = zp_tloc_str(t.key);
    const std::string addr = zp_ip_str(t.key.addr);
    const bool local = t.origin == ZOR_MSG_ORIGIN_LOCAL;
    std::string label = addr + "\n" + key.substr(addr.size() + 1) + "\n#" + std::to_string(t.index) + " " +
                        zor_msg_tloc_origin_str(t.origin) + ", " + zor_msg_tloc_status_str(t.status);
    const bool border = is_border(t.attr);
    if (border) {
        label += "\nborder";
    }
    std::string attrs = "label=" + q(label) + ", fillcolor=" + q(local ? k_local_fill : k_remote_fill);
    attrs += border ? ", peripheries=2, style=\"rounded,filled,bold\"" : "";
    attrs += path_end ? std::string(", color=") + q(k_path) + ", penwidth=2.5" : "";
    return "    " + q(key) + " [" + attrs + "];\n";
}

}  // namespace

std::string zp_snapshot_dot(const zp_snapshot &snap)
{
    graph g;
    for (uint32_t af : snap.families()) {
        for (const auto &[key, e] : snap.entries(af)) {
            if (e.msg.type == ZOR_MSG_TLOC_ADD) {
                g.tlocs.push_back(&e.msg.body.tloc);
                g.by_index[e.msg.body.tloc.index] = e.msg.body.tloc.key;
            } else if (e.msg.type == ZOR_MSG_LINK_ADD) {
                g.links.push_back(&e.msg.body.link);
            }
        }
    }
    for (const zor_msg_tloc_t *t : g.tlocs) {
        for (uint8_t i = 0; i < t->path_count && i < ZOR_TLOC_PATH_MAX; i++) {
            mark_path(g, t->key, t->paths[i]);
        }
    }

    std::string out = "digraph overlay {\n";
    out += "  graph [rankdir=LR, fontname=\"Helvetica\", fontsize=12, labelloc=t, label=" +
           q("zord's overlay: " + std::to_string(g.tlocs.size()) + " TLOCs, " + std::to_string(g.links.size()) +
             " links, " + std::to_string(g.paths) + (g.paths == 1 ? " path" : " paths") +
             " (links green up, red down, blue on a path; double frame: border TLOC)") +
           "];\n";
    out += "  node [shape=box, style=\"rounded,filled\", fontname=\"Helvetica\", fontsize=10];\n";
    out += "  edge [fontname=\"Helvetica\", fontsize=9];\n";
    std::map<uint32_t, std::vector<const zor_msg_tloc_t *>> regions;
    std::set<std::string> known;
    for (const zor_msg_tloc_t *t : g.tlocs) {
        regions[region_of(t->attr)].push_back(t);
        known.insert(zp_tloc_str(t->key));
    }
    for (const auto &[region, members] : regions) {
        const bool cluster = region != 0;
        if (cluster) {
            out += "  subgraph " + q("cluster_region_" + std::to_string(region)) + " {\n";
            out += "    label=" + q("region " + std::to_string(region)) +
                   "; style=\"rounded,dashed\"; color=\"#888888\";\n";
        }
        for (const zor_msg_tloc_t *t : members) {
            const std::string line = node_line(*t, g.path_ends.count(zp_tloc_str(t->key)) != 0);
            out += cluster ? line : line.substr(2);
        }
        if (cluster) {
            out += "  }\n";
        }
    }
    for (const zor_msg_link_t *l : g.links) {
        for (const zor_tloc_key_t *end : {&l->local, &l->remote}) {
            if (known.insert(zp_tloc_str(*end)).second) {
                out += "  " + q(zp_tloc_str(*end)) + " [style=\"rounded,dashed\"];\n";
            }
        }
    }
    for (size_t i = 0; i < g.links.size(); i++) {
        const zor_msg_link_t &l = *g.links[i];
        const bool up = l.status == 1;
        const bool on_path = g.path_links.count(i) != 0;
        const std::string label =
            "label " + std::to_string(l.label) + "\nmtu " + std::to_string(l.mtu) + ", " + (up ? "up" : "down");
        std::string attrs = "label=" + q(label) + ", color=" + q(on_path ? k_path : up ? k_up : k_down) +
                            ", fontcolor=" + q(up ? k_up : k_down);
        attrs += up ? "" : ", style=dashed";
        attrs += on_path ? ", penwidth=3" : "";
        out += "  " + q(zp_tloc_str(l.local)) + " -> " + q(zp_tloc_str(l.remote)) + " [" + attrs + "];\n";
    }
    return out + "}\n";
}
