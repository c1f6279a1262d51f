#include "mgmtd_schema.h"

#include <libyang/plugins_types.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "confd_hash.h"
#include "confd_lib.h"
#include "confd_wire.h"

namespace mgmtd {

namespace {

constexpr const char *k_ext_module = "mgmtd-extensions";

// The argument of an mx: extension instance among exts, or nullptr.
const char *ext_arg(const lysc_ext_instance *exts, const char *name)
{
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i)
    {
        const lysc_ext *def = exts[i].def;
        if (def != nullptr && def->module != nullptr && strcmp(def->module->name, k_ext_module) == 0 &&
            strcmp(def->name, name) == 0) {
            return exts[i].argument;
        }
    }
    return nullptr;
}

bool parse_u32(const char *text, uint32_t *out)
{
    if (text == nullptr || *text == 0) {
        return false;
    }
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (*end != 0 || v > UINT32_MAX) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool plugin_is(const lysc_type *t, const char *what)
{
    return t != nullptr && t->plugin != nullptr && t->plugin->id != nullptr && strstr(t->plugin->id, what) != nullptr;
}

int kind_of(const lysc_node *n)
{
    switch (n->nodetype) {
    case LYS_CONTAINER:
        return CS_NODE_IS_CONTAINER;
    case LYS_LIST:
        return CS_NODE_IS_LIST;
    case LYS_LEAF:
        return CS_NODE_IS_LEAF;
    case LYS_LEAFLIST:
        return CS_NODE_IS_LEAF_LIST;
    case LYS_ACTION:
    case LYS_RPC:
        return CS_NODE_IS_ACTION;
    case LYS_NOTIF:
        return CS_NODE_IS_NOTIF;
    default:
        return 0;
    }
}

}  // namespace

std::string type_name(const lysc_type *t)
{
    t = deref(t);
    if (t == nullptr) {
        return "";
    }
    if (type_is_ipv4(t) && type_is_ipv6(t)) {
        return "ip-address";
    }
    if (plugin_is(t, "ipv4-address")) {
        return "ipv4-address";
    }
    if (plugin_is(t, "ipv6-address")) {
        return "ipv6-address";
    }
    switch (t->basetype) {
    case LY_TYPE_BINARY:
        return "binary";
    case LY_TYPE_UINT8:
        return "uint8";
    case LY_TYPE_UINT16:
        return "uint16";
    case LY_TYPE_UINT32:
        return "uint32";
    case LY_TYPE_UINT64:
        return "uint64";
    case LY_TYPE_STRING:
        return "string";
    case LY_TYPE_BITS:
        return "bits";
    case LY_TYPE_BOOL:
        return "boolean";
    case LY_TYPE_DEC64:
        return "decimal64";
    case LY_TYPE_EMPTY:
        return "empty";
    case LY_TYPE_ENUM:
        return "enumeration";
    case LY_TYPE_IDENT:
        return "identityref";
    case LY_TYPE_INST:
        return "instance-identifier";
    case LY_TYPE_LEAFREF:
        return "leafref";
    case LY_TYPE_UNION:
        return "union";
    case LY_TYPE_INT8:
        return "int8";
    case LY_TYPE_INT16:
        return "int16";
    case LY_TYPE_INT32:
        return "int32";
    case LY_TYPE_INT64:
        return "int64";
    default:
        return "unknown";
    }
}

std::string ly_error_text(const ly_ctx *ctx)
{
    const ly_err_item *e = ctx != nullptr ? ly_err_last(ctx) : nullptr;
    if (e == nullptr || e->msg == nullptr) {
        return "unknown error";
    }
    std::string text = e->msg;
    if (e->path != nullptr && strstr(e->msg, e->path) == nullptr) {
        text += " (";
        text += e->path;
        text += ")";
    }
    return text;
}

const lysc_type *deref(const lysc_type *t)
{
    while (t != nullptr && t->basetype == LY_TYPE_LEAFREF) {
        t = reinterpret_cast<const lysc_type_leafref *>(t)->realtype;
    }
    return t;
}

const lysc_type_bitenum_item *bitenum_items(const lysc_type *t)
{
    t = deref(t);
    if (t == nullptr) {
        return nullptr;
    }
    if (t->basetype == LY_TYPE_ENUM) {
        return reinterpret_cast<const lysc_type_enum *>(t)->enums;
    }
    if (t->basetype == LY_TYPE_BITS) {
        return reinterpret_cast<const lysc_type_bits *>(t)->bits;
    }
    return nullptr;
}

const lysc_type *leaf_type(const lysc_node *n)
{
    if (n == nullptr) {
        return nullptr;
    }
    if (n->nodetype == LYS_LEAF) {
        return reinterpret_cast<const lysc_node_leaf *>(n)->type;
    }
    if (n->nodetype == LYS_LEAFLIST) {
        return reinterpret_cast<const lysc_node_leaflist *>(n)->type;
    }
    return nullptr;
}

namespace {

// The type, or a member of it when it is a union, comes from the plugin
// named what.
bool type_is_plugin(const lysc_type *t, const char *what)
{
    t = deref(t);
    if (t == nullptr) {
        return false;
    }
    if (t->basetype == LY_TYPE_UNION) {
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            if (type_is_plugin(u->types[i], what)) {
                return true;
            }
        }
        return false;
    }
    return plugin_is(t, what);
}

}  // namespace

bool type_is_ipv4(const lysc_type *t)
{
    return type_is_plugin(t, "ipv4-address");
}

bool type_is_ipv6(const lysc_type *t)
{
    return type_is_plugin(t, "ipv6-address");
}

int vtype_of(const lysc_type *t)
{
    t = deref(t);
    if (t == nullptr) {
        return 0;
    }
    switch (t->basetype) {
    case LY_TYPE_BINARY:
        return C_BUF;
    case LY_TYPE_UINT8:
        return C_UINT8;
    case LY_TYPE_UINT16:
        return C_UINT16;
    case LY_TYPE_UINT32:
        return C_UINT32;
    case LY_TYPE_UINT64:
        return C_UINT64;
    case LY_TYPE_INT8:
        return C_INT8;
    case LY_TYPE_INT16:
        return C_INT16;
    case LY_TYPE_INT32:
        return C_INT32;
    case LY_TYPE_INT64:
        return C_INT64;
    case LY_TYPE_BOOL:
        return C_BOOL;
    case LY_TYPE_DEC64:
        return C_DOUBLE;
    case LY_TYPE_EMPTY:
        return C_EMPTY;
    case LY_TYPE_ENUM:
        return C_ENUM_VALUE;
    case LY_TYPE_BITS: {
        const auto *b = reinterpret_cast<const lysc_type_bits *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(b->bits, i)
        {
            if (b->bits[i].position >= 32) {
                return C_BIT64;
            }
        }
        return C_BIT32;
    }
    case LY_TYPE_STRING:
        if (plugin_is(t, "ipv4-address")) {
            return C_IPV4;
        }
        if (plugin_is(t, "ipv6-address")) {
            return C_IPV6;
        }
        return C_STR;
    case LY_TYPE_UNION: {
        // An address union (inet:ip-address) is listed as IPv4; its values
        // travel as C_IPV4 or C_IPV6 by what they hold.
        if (type_is_ipv4(t)) {
            return C_IPV4;
        }
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        int common = -1;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            int v = vtype_of(u->types[i]);
            common = common == -1 || common == v ? v : C_STR;
        }
        return common <= 0 ? C_STR : common;
    }
    default:
        return C_STR;
    }
}

bool schema::load(const std::string &dir, std::string *err)
{
    // Errors are read with ly_error_text; libyang prints nothing itself.
    ly_log_options(LY_LOSTORE_LAST);
    dir_ = dir;
    ly_ctx *c = nullptr;
    if (ly_ctx_new(dir.c_str(), LY_CTX_DISABLE_SEARCHDIR_CWD, &c) != LY_SUCCESS) {
        *err = "cannot use the YANG directory " + dir;
        return false;
    }
    ctx_.reset(c);
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        if (e.path().extension() == ".yang") {
            files.push_back(e.path().string());
        }
    }
    if (ec) {
        *err = "cannot read the YANG directory " + dir + ": " + ec.message();
        return false;
    }
    if (files.empty()) {
        *err = "no YANG module in " + dir;
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const std::string &f : files) {
        std::string stem = std::filesystem::path(f).stem().string();
        std::string name = stem;
        std::string rev;
        if (size_t at = stem.find('@'); at != std::string::npos) {
            name = stem.substr(0, at);
            rev = stem.substr(at + 1);
        }
        const lys_module *m = ly_ctx_load_module(c, name.c_str(), rev.empty() ? nullptr : rev.c_str(), nullptr);
        if (m == nullptr || m->compiled == nullptr) {
            *err = "YANG module " + f + ": " + ly_error_text(c);
            return false;
        }
        module_info mi;
        mi.mod = m;
        mi.file = f;
        const char *nsid = ext_arg(m->compiled->exts, "namespace-id");
        if (nsid != nullptr) {
            if (!parse_u32(nsid, &mi.ns)) {
                *err = "YANG module " + f + ": bad namespace-id " + nsid;
                return false;
            }
        } else {
            mi.ns = mgmt_name_hash(m->ns);
        }
        for (const module_info &o : modules_) {
            if (o.ns == mi.ns) {
                *err = "YANG modules " + o.file + " and " + f + " have the same namespace number";
                return false;
            }
        }
        modules_.push_back(mi);
    }
    for (const module_info &m : modules_) {
        index_module(m);
    }
    return true;
}

void schema::index_module(const module_info &m)
{
    struct walk {
        schema *self;
        static LY_ERR visit(lysc_node *n, void *data, ly_bool *)
        {
            auto *w = static_cast<walk *>(data);
            node_info ni;
            const char *tag = ext_arg(n->exts, "tag");
            if (tag == nullptr || !parse_u32(tag, &ni.tag)) {
                ni.tag = mgmt_name_hash(n->name);
            }
            ni.ns = w->self->module_ns(n->module);
            if (const char *cp = ext_arg(n->exts, "callpoint")) {
                ni.callpoint = cp;
            }
            if (const char *cp = ext_arg(n->exts, "tenant-callpoint")) {
                ni.tenant_callpoint = cp;
            }
            ni.vtype = vtype_of(leaf_type(n));
            w->self->tag_names_.emplace(ni.tag, n->name);
            w->self->nodes_[n] = std::move(ni);
            return LY_SUCCESS;
        }
    } w{this};
    lysc_module_dfs_full(m.mod, walk::visit, &w);
}

const node_info &schema::info(const lysc_node *n) const
{
    auto it = nodes_.find(n);
    if (it != nodes_.end()) {
        return it->second;
    }
    return unknown_;
}

uint32_t schema::module_ns(const lys_module *m) const
{
    for (const module_info &mi : modules_) {
        if (mi.mod == m) {
            return mi.ns;
        }
    }
    return m != nullptr && m->ns != nullptr ? mgmt_name_hash(m->ns) : 0;
}

const lys_module *schema::module_by_ns(uint32_t ns) const
{
    for (const module_info &mi : modules_) {
        if (mi.ns == ns) {
            return mi.mod;
        }
    }
    return nullptr;
}

const lys_module *schema::module_by_name(std::string_view name) const
{
    for (const module_info &mi : modules_) {
        if (name == mi.mod->name || name == mi.mod->prefix) {
            return mi.mod;
        }
    }
    return nullptr;
}

const char *schema::tag_name(uint32_t tag) const
{
    auto it = tag_names_.find(tag);
    return it == tag_names_.end() ? nullptr : it->second.c_str();
}

const lysc_node *schema::child(const lysc_node *parent, const lys_module *mod, std::string_view name) const
{
    if (parent == nullptr && mod == nullptr) {
        const lysc_node *found = nullptr;
        for (const module_info &mi : modules_) {
            if (const lysc_node *n = child(nullptr, mi.mod, name)) {
                if (found != nullptr) {
                    return nullptr;
                }
                found = n;
            }
        }
        return found;
    }
    const lysc_module *cm = parent == nullptr ? mod->compiled : nullptr;
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, parent, cm, 0)) != nullptr) {
        if (name == n->name) {
            return n;
        }
    }
    return nullptr;
}

const lysc_node *schema::child_by_tag(const lysc_node *parent, uint32_t tag, uint32_t ns) const
{
    if (parent == nullptr) {
        for (const module_info &mi : modules_) {
            if (ns != 0 && mi.ns != ns) {
                continue;
            }
            const lysc_node *n = nullptr;
            while ((n = lys_getnext(n, nullptr, mi.mod->compiled, 0)) != nullptr) {
                if (info(n).tag == tag) {
                    return n;
                }
            }
        }
        return nullptr;
    }
    const lysc_node *n = nullptr;
    while ((n = lys_getnext(n, parent, nullptr, 0)) != nullptr) {
        const node_info &ni = info(n);
        if (ni.tag == tag && (ns == 0 || ni.ns == ns)) {
            return n;
        }
    }
    return nullptr;
}

const lysc_node *schema::find_action(std::string_view name) const
{
    for (const auto &[n, ni] : nodes_) {
        if ((n->nodetype & (LYS_ACTION | LYS_RPC)) != 0 && name == n->name) {
            return n;
        }
    }
    return nullptr;
}

std::string schema::encode(const std::vector<int64_t> &nsv, uint32_t xid) const
{
    struct entry {
        const lysc_node *n;
        int parent;
    };
    std::vector<const module_info *> mods;
    for (const module_info &mi : modules_) {
        if (nsv.empty() || std::find(nsv.begin(), nsv.end(), static_cast<int64_t>(mi.ns)) != nsv.end()) {
            mods.push_back(&mi);
        }
    }
    std::vector<entry> out;
    // Parents before children, each level in schema order.
    auto children = [](const lysc_node *p, const lysc_module *cm) {
        std::vector<const lysc_node *> v;
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, p, cm, 0)) != nullptr) {
            v.push_back(n);
        }
        if (p != nullptr && (p->nodetype & (LYS_ACTION | LYS_RPC)) != 0) {
            n = nullptr;
            while ((n = lys_getnext(n, p, nullptr, LYS_GETNEXT_OUTPUT)) != nullptr) {
                v.push_back(n);
            }
        }
        if (p != nullptr && (p->nodetype & (LYS_CONTAINER | LYS_LIST)) != 0) {
            for (const lysc_node_action *a = lysc_node_actions(p); a != nullptr;
                 a = reinterpret_cast<const lysc_node_action *>(a->next)) {
                v.push_back(&a->node);
            }
            for (const lysc_node_notif *x = lysc_node_notifs(p); x != nullptr;
                 x = reinterpret_cast<const lysc_node_notif *>(x->next)) {
                v.push_back(&x->node);
            }
        }
        if (p == nullptr && cm != nullptr) {
            for (const lysc_node_action *a = cm->rpcs; a != nullptr;
                 a = reinterpret_cast<const lysc_node_action *>(a->next)) {
                v.push_back(&a->node);
            }
            for (const lysc_node_notif *x = cm->notifs; x != nullptr;
                 x = reinterpret_cast<const lysc_node_notif *>(x->next)) {
                v.push_back(&x->node);
            }
        }
        return v;
    };
    for (const module_info *mi : mods) {
        size_t first = out.size();
        for (const lysc_node *n : children(nullptr, mi->mod->compiled)) {
            out.push_back({n, -1});
        }
        for (size_t i = first; i < out.size(); i++) {
            if (out.size() > 200000) {
                break;
            }
            for (const lysc_node *c : children(out[i].n, nullptr)) {
                out.push_back({c, static_cast<int>(i)});
            }
        }
    }

    mgmt_wire::writer w(MGMT_OP_REPLY, xid);
    w.list(static_cast<uint32_t>(mods.size()));
    for (const module_info *mi : mods) {
        w.list(5);
        w.i64(mi->ns).str(mi->mod->ns).str(mi->mod->prefix).str(mi->mod->name);
        w.str(mi->mod->revision != nullptr ? mi->mod->revision : "");
    }
    w.list(static_cast<uint32_t>(out.size()));
    for (const entry &e : out) {
        const lysc_node *n = e.n;
        const node_info &ni = info(n);
        int flags = kind_of(n);
        if ((n->flags & LYS_CONFIG_R) != 0) {
            flags |= CS_NODE_CONFIG_FALSE;
        }
        if (n->nodetype == LYS_CONTAINER && (n->flags & LYS_PRESENCE) != 0) {
            flags |= CS_NODE_PRESENCE;
        }
        w.list(12);
        w.i64(ni.tag).i64(ni.ns).i64(e.parent).i64(flags).i64(ni.vtype).str(n->name);
        w.str(!ni.callpoint.empty() ? ni.callpoint : ni.tenant_callpoint);
        std::vector<uint32_t> keys;
        if (n->nodetype == LYS_LIST) {
            for (const lysc_node *k = lysc_node_child(n); k != nullptr && lysc_is_key(k); k = k->next) {
                keys.push_back(info(k).tag);
            }
        }
        w.list(static_cast<uint32_t>(keys.size()));
        for (uint32_t k : keys) {
            w.i64(k);
        }
        const lysc_type *t = deref(leaf_type(n));
        if (t != nullptr && (t->basetype == LY_TYPE_ENUM || t->basetype == LY_TYPE_BITS)) {
            const lysc_type_bitenum_item *items = bitenum_items(t);
            w.list(static_cast<uint32_t>(LY_ARRAY_COUNT(items)));
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(items, i)
            {
                w.list(2);
                w.str(items[i].name);
                w.i64(t->basetype == LY_TYPE_ENUM ? items[i].value : static_cast<int64_t>(items[i].position));
            }
        } else {
            w.list(0);
        }
        w.str(type_name(leaf_type(n)));
        int64_t min = 0;
        int64_t max = 1;
        if (n->nodetype == LYS_LIST) {
            const auto *l = reinterpret_cast<const lysc_node_list *>(n);
            min = l->min;
            max = l->max == UINT32_MAX ? -1 : l->max;
        } else if (n->nodetype == LYS_LEAFLIST) {
            const auto *l = reinterpret_cast<const lysc_node_leaflist *>(n);
            min = l->min;
            max = l->max == UINT32_MAX ? -1 : l->max;
        } else if ((n->flags & LYS_MAND_TRUE) != 0) {
            min = 1;
        }
        w.i64(min).i64(max);
    }
    return w.finish();
}

}  // namespace mgmtd
