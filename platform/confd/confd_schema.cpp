// Loading the agent's schema and looking things up in it.
#include "confd_schema.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <unistd.h>

#include "confd_conn.h"

using namespace confd_impl;

namespace {

std::mutex g_schema_mu;
std::shared_ptr<const schema> g_current;
std::vector<std::shared_ptr<const schema>> g_retired;

int malformed()
{
    return fail(CONFD_ERR_PROTOUSAGE, "malformed schema from the agent");
}

int read_namespaces(mgmt_wire::reader &rd, schema &s)
{
    uint32_t n = 0;
    if (!rd.list(n)) {
        return malformed();
    }
    for (uint32_t i = 0; i < n; i++) {
        uint32_t fields = 0;
        int64_t hash = 0;
        std::string uri, prefix, module, revision;
        if (!rd.list(fields) || fields != 5 || !rd.i64(hash) || !rd.str(uri) || !rd.str(prefix) || !rd.str(module) ||
            !rd.str(revision)) {
            return malformed();
        }
        confd_nsinfo info{};
        info.hash = static_cast<uint32_t>(hash);
        info.uri = s.keep(uri);
        info.prefix = s.keep(prefix);
        info.module = s.keep(module);
        info.revision = s.keep(revision);
        s.ns.push_back(info);
    }
    return CONFD_OK;
}

// The fields of one node after its parent index.
struct node_fields {
    int64_t tag = 0, ns = 0, parent = -1, flags = 0, vtype = 0, min = 0, max = -1;
    std::string name, callpoint, type_name;
    std::vector<uint32_t> keys;
    std::vector<std::pair<std::string, int64_t>> labels;
};

bool read_node(mgmt_wire::reader &rd, node_fields &f)
{
    uint32_t fields = 0, nkeys = 0, nlabels = 0;
    if (!rd.list(fields) || fields != 12 || !rd.i64(f.tag) || !rd.i64(f.ns) || !rd.i64(f.parent) ||
        !rd.i64(f.flags) || !rd.i64(f.vtype) || !rd.str(f.name) || !rd.str(f.callpoint) || !rd.list(nkeys)) {
        return false;
    }
    for (uint32_t k = 0; k < nkeys; k++) {
        int64_t t;
        if (!rd.i64(t)) {
            return false;
        }
        f.keys.push_back(static_cast<uint32_t>(t));
    }
    if (!rd.list(nlabels)) {
        return false;
    }
    for (uint32_t k = 0; k < nlabels; k++) {
        uint32_t two = 0;
        std::string label;
        int64_t v;
        if (!rd.list(two) || two != 2 || !rd.str(label) || !rd.i64(v)) {
            return false;
        }
        f.labels.emplace_back(std::move(label), v);
    }
    return rd.str(f.type_name) && rd.i64(f.min) && rd.i64(f.max);
}

void append_child(confd_cs_node *parent, confd_cs_node *child, std::vector<confd_cs_node *> &last_child,
                  const schema &s)
{
    size_t pi = static_cast<size_t>(parent - s.nodes.data());
    if (last_child[pi] == nullptr) {
        parent->children = child;
    } else {
        last_child[pi]->next = child;
    }
    last_child[pi] = child;
}

int read_nodes(mgmt_wire::reader &rd, schema &s)
{
    uint32_t n = 0;
    if (!rd.list(n)) {
        return malformed();
    }
    std::vector<node_fields> all(n);
    for (uint32_t i = 0; i < n; i++) {
        if (!read_node(rd, all[i]) || all[i].parent >= static_cast<int64_t>(i) || all[i].parent < -1) {
            return malformed();
        }
    }
    s.nodes.assign(n, confd_cs_node{});
    s.names.assign(n, nullptr);
    s.keys.assign(n, {});
    std::vector<confd_cs_node *> last_child(n, nullptr);
    std::map<uint32_t, confd_cs_node *> last_root;
    for (uint32_t i = 0; i < n; i++) {
        node_fields &f = all[i];
        confd_cs_node &node = s.nodes[i];
        node.tag = static_cast<uint32_t>(f.tag);
        node.ns = static_cast<uint32_t>(f.ns);
        node.info.flags = static_cast<int>(f.flags);
        node.info.shallow_type = static_cast<confd_vtype>(f.vtype);
        node.info.minOccurs = static_cast<int>(f.min);
        node.info.maxOccurs = static_cast<int>(f.max);
        s.names[i] = s.keep(f.name);
        if (!f.callpoint.empty()) {
            node.info.callpoint = const_cast<char *>(s.keep(f.callpoint));
        }
        int kind = node.info.flags & CS_NODE_KIND_MASK;
        if (kind == CS_NODE_IS_LIST) {
            s.keys[i] = f.keys;
            s.keys[i].push_back(0);
            node.info.keys = s.keys[i].data();
        }
        if (kind == CS_NODE_IS_LEAF || kind == CS_NODE_IS_LEAF_LIST) {
            auto t = std::make_unique<confd_type>();
            t->vtype = node.info.shallow_type;
            t->name = f.type_name;
            t->labels = std::move(f.labels);
            node.info.type = t.get();
            s.types.push_back(std::move(t));
        }
        s.tag_names.emplace(node.tag, const_cast<char *>(s.names[i]));
        s.name_tags.emplace(f.name, node.tag);
        if (f.parent >= 0) {
            node.parent = &s.nodes[static_cast<size_t>(f.parent)];
            append_child(node.parent, &node, last_child, s);
        } else {
            auto it = last_root.find(node.ns);
            if (it == last_root.end()) {
                s.roots.emplace_back(node.ns, &node);
            } else {
                it->second->next = &node;
            }
            last_root[node.ns] = &node;
        }
    }
    return CONFD_OK;
}

int load(const struct sockaddr *srv, int srv_sz, const std::vector<uint32_t> &wanted)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return failf(CONFD_ERR_OS, "socket: %s", strerror(errno));
    }
    conn_ptr c;
    int r = conn_open(sock, srv, srv_sz, MGMT_CONN_MAAPI, lib_name(), 0, &c);
    std::string reply;
    if (r == CONFD_OK) {
        uint32_t xid = conn_xid(*c);
        mgmt_wire::writer w(MGMT_OP_SCHEMA_GET, xid);
        w.list(static_cast<uint32_t>(wanted.size()));
        for (uint32_t ns : wanted) {
            w.i64(ns);
        }
        r = conn_call(*c, xid, w.finish(), reply);
    }
    c.reset();
    conn_forget(sock);
    close(sock);
    if (r != CONFD_OK) {
        return r;
    }
    auto s = std::make_shared<schema>();
    mgmt_wire::reader rd = body_reader(reply);
    if (read_namespaces(rd, *s) != CONFD_OK || read_nodes(rd, *s) != CONFD_OK) {
        return CONFD_ERR;
    }
    std::lock_guard<std::mutex> g(g_schema_mu);
    if (g_current != nullptr) {
        g_retired.push_back(std::move(g_current));
    }
    g_current = std::move(s);
    return CONFD_OK;
}

bool name_matches(const schema &s, const confd_cs_node *n, std::string_view name, std::string_view prefix)
{
    if (name != s.name_of(n)) {
        return false;
    }
    if (prefix.empty()) {
        return true;
    }
    for (const confd_nsinfo &ns : s.ns) {
        if (ns.hash == n->ns) {
            return prefix == ns.prefix || prefix == ns.module;
        }
    }
    return false;
}

const confd_cs_node *child_by_name(const schema &s, const confd_cs_node *parent, std::string_view name,
                                   std::string_view prefix)
{
    auto search = [&](const confd_cs_node *first, auto &self) -> const confd_cs_node * {
        for (const confd_cs_node *n = first; n != nullptr; n = n->next) {
            if ((n->info.flags & CS_NODE_KIND_MASK) == CS_NODE_IS_CASE) {
                if (const confd_cs_node *m = self(n->children, self)) {
                    return m;
                }
            } else if (name_matches(s, n, name, prefix)) {
                return n;
            }
        }
        return nullptr;
    };
    if (parent != nullptr) {
        return search(parent->children, search);
    }
    for (const auto &[ns, root] : s.roots) {
        if (const confd_cs_node *m = search(root, search)) {
            return m;
        }
    }
    return nullptr;
}

}  // namespace

namespace confd_impl {

schema_ptr schema_now()
{
    std::lock_guard<std::mutex> g(g_schema_mu);
    return g_current;
}

const confd_cs_node *child_by_tag(const schema &s, const confd_cs_node *parent, uint32_t tag, uint32_t ns)
{
    auto search = [&](const confd_cs_node *first, auto &self) -> const confd_cs_node * {
        for (const confd_cs_node *n = first; n != nullptr; n = n->next) {
            if ((n->info.flags & CS_NODE_KIND_MASK) == CS_NODE_IS_CASE) {
                if (const confd_cs_node *m = self(n->children, self)) {
                    return m;
                }
            } else if (n->tag == tag && (ns == 0 || n->ns == ns)) {
                return n;
            }
        }
        return nullptr;
    };
    if (parent != nullptr) {
        return search(parent->children, search);
    }
    for (const auto &[rns, root] : s.roots) {
        if (ns != 0 && rns != ns) {
            continue;
        }
        if (const confd_cs_node *m = search(root, search)) {
            return m;
        }
    }
    return nullptr;
}

}  // namespace confd_impl

extern "C" {

int confd_load_schemas(const struct sockaddr *srv, int srv_sz)
{
    return load(srv, srv_sz, {});
}

// Namespace names (nsl) cannot be turned into numbers before the schema is
// known, so a request that names any loads every namespace: a superset of
// what was asked for.
int confd_load_schemas_list(const struct sockaddr *srv, int srv_sz, int, const uint32_t *nsv, int nsv_count,
                            const char **, int nsl_count)
{
    std::vector<uint32_t> wanted;
    if (nsl_count <= 0 && nsv != nullptr) {
        wanted.assign(nsv, nsv + std::max(nsv_count, 0));
    }
    return load(srv, srv_sz, wanted);
}

void confd_free_schemas(void)
{
    std::lock_guard<std::mutex> g(g_schema_mu);
    g_current.reset();
    g_retired.clear();
}

char *confd_hash2str(uint32_t hash)
{
    schema_ptr s = schema_now();
    if (s == nullptr) {
        return nullptr;
    }
    auto it = s->tag_names.find(hash);
    return it == s->tag_names.end() ? nullptr : it->second;
}

uint32_t confd_str2hash(const char *str)
{
    schema_ptr s = schema_now();
    if (s == nullptr || str == nullptr) {
        return 0;
    }
    auto it = s->name_tags.find(std::string_view(str));
    return it == s->name_tags.end() ? 0 : it->second;
}

int confd_get_nslist(struct confd_nsinfo **listp)
{
    schema_ptr s = schema_now();
    if (listp == nullptr) {
        return 0;
    }
    if (s == nullptr || s->ns.empty()) {
        *listp = nullptr;
        return 0;
    }
    *listp = const_cast<confd_nsinfo *>(s->ns.data());
    return static_cast<int>(s->ns.size());
}

char *confd_ns2prefix(uint32_t ns)
{
    schema_ptr s = schema_now();
    if (s == nullptr) {
        return nullptr;
    }
    for (const confd_nsinfo &info : s->ns) {
        if (info.hash == ns) {
            return const_cast<char *>(info.prefix);
        }
    }
    return nullptr;
}

struct confd_cs_node *confd_find_cs_root(uint32_t ns)
{
    schema_ptr s = schema_now();
    if (s == nullptr) {
        return nullptr;
    }
    for (const auto &[rns, root] : s->roots) {
        if (rns == ns) {
            return root;
        }
    }
    return nullptr;
}

struct confd_cs_node *confd_find_cs_node(const confd_hkeypath_t *hkp, int len)
{
    schema_ptr s = schema_now();
    if (s == nullptr || hkp == nullptr || hkp->len <= 0 || hkp->len > MAXDEPTH) {
        return nullptr;
    }
    if (len < 0 || len > hkp->len) {
        len = hkp->len;
    }
    const confd_cs_node *node = nullptr;
    for (int i = hkp->len - 1; i >= hkp->len - len; i--) {
        const confd_value_t &e = hkp->v[i][0];
        if (e.type != C_XMLTAG) {
            continue;  // the keys of the list instance before it
        }
        node = child_by_tag(*s, node, e.val.xmltag.tag, e.val.xmltag.ns);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return const_cast<confd_cs_node *>(node);
}

struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start, const char *fmt, ...)
{
    schema_ptr s = schema_now();
    if (s == nullptr || fmt == nullptr) {
        return nullptr;
    }
    va_list ap;
    va_start(ap, fmt);
    std::string path = vformat(fmt, ap);
    va_end(ap);
    std::string_view p(path);
    const confd_cs_node *node = start;
    if (!p.empty() && p[0] == '/') {
        node = nullptr;
    }
    size_t i = 0;
    bool any = false;
    while (i < p.size()) {
        if (p[i] == '/') {
            i++;
            continue;
        }
        size_t j = i;
        int depth = 0;  // keys in braces may hold slashes
        while (j < p.size() && (depth > 0 || p[j] != '/')) {
            depth += p[j] == '{' ? 1 : (p[j] == '}' ? -1 : 0);
            j++;
        }
        std::string_view step = p.substr(i, j - i);
        i = j;
        step = step.substr(0, step.find('{'));
        if (step.empty() || step == ".") {
            continue;
        }
        any = true;
        if (step == "..") {
            if (node == nullptr) {
                return nullptr;
            }
            node = node->parent;
            while (node != nullptr && (node->info.flags & CS_NODE_KIND_MASK) == CS_NODE_IS_CASE) {
                node = node->parent;
            }
            continue;
        }
        std::string_view prefix;
        size_t colon = step.find(':');
        if (colon != std::string_view::npos) {
            prefix = step.substr(0, colon);
            step = step.substr(colon + 1);
        }
        node = child_by_name(*s, node, step, prefix);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return any || node != nullptr ? const_cast<confd_cs_node *>(node) : nullptr;
}

}  // extern "C"
