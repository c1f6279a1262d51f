#include "mgmtd_changes.h"

#include <cstring>

#include "confd_cdb.h"

namespace mgmtd {

namespace {

bool is_presence(const lysc_node *n)
{
    return n->nodetype == LYS_CONTAINER && (n->flags & LYS_PRESENCE) != 0;
}

const char *diff_op(const lyd_node *d)
{
    const lyd_meta *m = lyd_find_meta(d->meta, nullptr, "yang:operation");
    return m != nullptr ? lyd_get_meta_value(m) : nullptr;
}

// The node of tree at the data path of diff node d, or nullptr.
const lyd_node *counterpart(const lyd_node *tree, const lyd_node *d)
{
    if (tree == nullptr || d == nullptr) {
        return nullptr;
    }
    char *path = lyd_path(d, LYD_PATH_STD, nullptr, 0);
    if (path == nullptr) {
        return nullptr;
    }
    lyd_node *found = nullptr;
    lyd_find_path(tree, path, 0, &found);
    free(path);
    return found;
}

struct builder {
    const lyd_node *old_tree;
    const lyd_node *new_tree;

    cvalue list_of(const lyd_node *tree, const lyd_node *dparent, const lysc_node *snode)
    {
        if (dparent == nullptr) {
            return leaf_list_value(nullptr, tree, snode);
        }
        const lyd_node *p = counterpart(tree, dparent);
        return p != nullptr ? leaf_list_value(p, nullptr, snode) : cvalue{};
    }

    void walk(const lyd_node *first, const char *inherited, std::vector<change_node> *out)
    {
        std::vector<const lysc_node *> leaf_lists_done;
        for (const lyd_node *d = first; d != nullptr; d = d->next) {
            const lysc_node *sn = d->schema;
            if (sn == nullptr) {
                continue;
            }
            const char *own = diff_op(d);
            const char *op = own != nullptr ? own : inherited;
            std::string o = op != nullptr ? op : "none";
            if (sn->nodetype == LYS_LEAFLIST) {
                bool seen = false;
                for (const lysc_node *x : leaf_lists_done) {
                    seen = seen || x == sn;
                }
                if (seen || o == "none") {
                    continue;
                }
                leaf_lists_done.push_back(sn);
                change_node c;
                c.snode = sn;
                const lyd_node *dp = lyd_parent(d);
                c.old_v = list_of(old_tree, dp, sn);
                c.new_v = list_of(new_tree, dp, sn);
                c.op = c.new_v.exists() ? chg_op::value_set : chg_op::deleted;
                out->push_back(std::move(c));
                continue;
            }
            if (sn->nodetype == LYS_LEAF) {
                if (o == "none") {
                    continue;  // a key that names its instance
                }
                change_node c;
                c.snode = sn;
                if (o == "delete") {
                    c.op = chg_op::deleted;
                    c.old_v = value_of_term(d);
                } else {
                    c.op = chg_op::value_set;
                    c.new_v = value_of_term(d);
                    if (o == "replace") {
                        c.old_v = value_of_term(counterpart(old_tree, d));
                    }
                }
                out->push_back(std::move(c));
                continue;
            }
            if ((sn->nodetype & (LYS_CONTAINER | LYS_LIST)) == 0) {
                continue;
            }
            change_node c;
            c.snode = sn;
            if (o == "create") {
                c.op = chg_op::created;
            } else if (o == "delete") {
                c.op = chg_op::deleted;
            } else {
                c.op = chg_op::modified;
            }
            if (sn->nodetype == LYS_CONTAINER && !is_presence(sn)) {
                c.op = chg_op::modified;
            }
            if (sn->nodetype == LYS_LIST) {
                for (const lyd_node *k = lyd_child(d); k != nullptr && k->schema != nullptr && lysc_is_key(k->schema);
                     k = k->next) {
                    c.keys.push_back(value_of_term(k));
                }
            }
            const char *pass = (o == "create" || o == "delete") ? op : nullptr;
            walk(lyd_child(d), pass, &c.children);
            if (c.op == chg_op::modified && c.children.empty()) {
                continue;
            }
            out->push_back(std::move(c));
        }
    }
};

bool keys_match(const path_step &step, const change_node &n)
{
    if (!step.has_keys) {
        return true;
    }
    if (n.snode->nodetype == LYS_LEAFLIST) {
        return false;
    }
    size_t i = 0;
    for (const lysc_node *k = lysc_node_child(n.snode); k != nullptr && lysc_is_key(k); k = k->next, i++) {
        if (i >= step.keys.size() || i >= n.keys.size()) {
            return false;
        }
        std::string text;
        std::string err;
        if (!value_text(k, n.keys[i].get(), &text, &err) || text != step.keys[i]) {
            return false;
        }
    }
    return true;
}

kp_elem elem_of(const schema &s, const change_node &n)
{
    kp_elem e;
    e.tag = s.tag(n.snode);
    e.ns = s.ns(n.snode);
    for (const cvalue &k : n.keys) {
        e.keys.push_back(&k.get());
    }
    return e;
}

void find(const schema &s, const std::vector<change_node> &nodes, const agent_path &p, size_t i,
          std::vector<kp_elem> &kp, std::vector<located> *out)
{
    for (const change_node &n : nodes) {
        if (n.snode != p.steps[i].snode || !keys_match(p.steps[i], n)) {
            continue;
        }
        kp.push_back(elem_of(s, n));
        if (i + 1 == p.steps.size()) {
            out->push_back({&n, kp});
        } else {
            find(s, n.children, p, i + 1, kp, out);
        }
        kp.pop_back();
    }
}

using tv_list = std::vector<confd_tag_value_t>;

confd_tag_value_t tv_of(const schema &s, const lysc_node *sn, const confd_value_t &v)
{
    confd_tag_value_t tv{};
    tv.tag.tag = s.tag(sn);
    tv.tag.ns = s.ns(sn);
    tv.v = v;  // shallow: the writer copies the payload
    return tv;
}

confd_tag_value_t marker(const schema &s, const lysc_node *sn, confd_vtype type)
{
    confd_tag_value_t tv{};
    tv.tag.tag = s.tag(sn);
    tv.tag.ns = s.ns(sn);
    tv.v.type = type;
    tv.v.val.xmltag.tag = tv.tag.tag;
    tv.v.val.xmltag.ns = tv.tag.ns;
    return tv;
}

void children_mods(const schema &s, const change_node &n, tv_list *out);

void wrapped(const schema &s, const change_node &n, tv_list *out)
{
    bool gone = n.op == chg_op::deleted;
    out->push_back(marker(s, n.snode, gone ? C_XMLBEGINDEL : C_XMLBEGIN));
    size_t i = 0;
    for (const lysc_node *k = lysc_node_child(n.snode);
         n.snode->nodetype == LYS_LIST && k != nullptr && lysc_is_key(k) && i < n.keys.size(); k = k->next, i++) {
        out->push_back(tv_of(s, k, n.keys[i].get()));
    }
    if (!gone) {
        children_mods(s, n, out);
    }
    out->push_back(marker(s, n.snode, C_XMLEND));
}

void leaf_mod(const schema &s, const change_node &n, tv_list *out)
{
    static const confd_value_t noexists = {C_NOEXISTS, {}};
    out->push_back(tv_of(s, n.snode, n.op == chg_op::deleted ? noexists : n.new_v.get()));
}

void children_mods(const schema &s, const change_node &n, tv_list *out)
{
    for (const change_node &c : n.children) {
        if ((c.snode->nodetype & LYD_NODE_TERM) != 0) {
            if (n.snode->nodetype == LYS_LIST && lysc_is_key(c.snode)) {
                continue;  // the instance's keys come first, with its opening mark
            }
            leaf_mod(s, c, out);
        } else {
            wrapped(s, c, out);
        }
    }
}

int iter_op(const change_node &n)
{
    bool term = (n.snode->nodetype & LYD_NODE_TERM) != 0;
    switch (n.op) {
    case chg_op::created:
        return term ? MOP_VALUE_SET : MOP_CREATED;
    case chg_op::deleted:
        return MOP_DELETED;
    case chg_op::value_set:
        return MOP_VALUE_SET;
    case chg_op::modified:
    default:
        return MOP_MODIFIED;
    }
}

void diff_node(mgmt_wire::writer &w, const schema &s, const change_node &n, std::vector<kp_elem> &kp)
{
    w.list(6);
    confd_hkeypath_t hkp;
    if (!to_hkeypath(kp, &hkp)) {
        hkp.len = 0;
    }
    w.keypath(hkp);
    w.i64(iter_op(n));
    bool term = (n.snode->nodetype & LYD_NODE_TERM) != 0;
    if (term && n.old_v.exists()) {
        w.value(n.old_v.get());
    } else {
        w.nil();
    }
    if (term && n.op != chg_op::deleted && n.new_v.exists()) {
        w.value(n.new_v.get());
    } else {
        w.nil();
    }
    tv_list mods;
    if (!term && n.op != chg_op::deleted) {
        children_mods(s, n, &mods);
    }
    w.tag_values(mods.data(), static_cast<int>(mods.size()));
    w.list(static_cast<uint32_t>(n.children.size()));
    for (const change_node &c : n.children) {
        kp.push_back(elem_of(s, c));
        diff_node(w, s, c, kp);
        kp.pop_back();
    }
}

}  // namespace

bool build_changes(const schema &s, const lyd_node *old_tree, const lyd_node *new_tree, change_set *out,
                   std::string *err)
{
    lyd_node *diff = nullptr;
    if (lyd_diff_siblings(old_tree, new_tree, 0, &diff) != LY_SUCCESS) {
        *err = "cannot compare the trees: " + ly_error_text(s.ctx());
        return false;
    }
    builder b{old_tree, new_tree};
    b.walk(diff, nullptr, &out->roots);
    lyd_free_all(diff);
    return true;
}

std::vector<located> find_level(const schema &s, const change_set &cs, const agent_path &p)
{
    std::vector<located> out;
    std::vector<kp_elem> kp;
    if (p.steps.empty()) {
        for (const change_node &n : cs.roots) {
            out.push_back({&n, {elem_of(s, n)}});
        }
        return out;
    }
    find(s, cs.roots, p, 0, kp, &out);
    return out;
}

void write_mods(mgmt_wire::writer &w, const schema &s, const std::vector<located> &level, bool narrowed)
{
    tv_list mods;
    for (const located &l : level) {
        const change_node &n = *l.node;
        if ((n.snode->nodetype & LYD_NODE_TERM) != 0) {
            leaf_mod(s, n, &mods);
        } else if (n.snode->nodetype == LYS_LIST && !narrowed) {
            wrapped(s, n, &mods);
        } else if (n.op == chg_op::deleted) {
            if (!narrowed) {
                wrapped(s, n, &mods);
            }
        } else {
            children_mods(s, n, &mods);
        }
    }
    w.tag_values(mods.data(), static_cast<int>(mods.size()));
}

void write_diff(mgmt_wire::writer &w, const schema &s, const std::vector<located> &level)
{
    w.list(static_cast<uint32_t>(level.size()));
    for (const located &l : level) {
        std::vector<kp_elem> kp = l.kp;
        diff_node(w, s, *l.node, kp);
    }
}

}  // namespace mgmtd
