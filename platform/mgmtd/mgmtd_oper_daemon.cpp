// Operational reads, the daemons' half: a transaction on each daemon's
// worker connection, the list and object callbacks of its callpoints, and
// their replies merged into the result tree.
#include <cstring>

#include "mgmtd_oper.h"
#include "ost_log.h"

namespace mgmtd {

namespace {

// Daemons that serve endless lists are cut off here.
constexpr size_t k_max_objects = 1000000;

// The instance's first keys are these values.
bool begins_with_keys(const lyd_node *inst, const std::vector<cvalue> &keys)
{
    const lyd_node *k = lyd_child(inst);
    for (const cvalue &want : keys) {
        if (k == nullptr || k->schema == nullptr || !lysc_is_key(k->schema)) {
            return false;
        }
        const cvalue have = value_of_term(k);
        if (!confd_val_eq(&have.get(), &want.get())) {
            return false;
        }
        k = k->next;
    }
    return true;
}

std::vector<kp_elem> elems_of(const agent::oper_pos &pos)
{
    std::vector<kp_elem> out;
    for (const auto &e : pos.kp) {
        kp_elem k;
        k.tag = e.tag;
        k.ns = e.ns;
        for (const cvalue &v : e.keys) {
            k.keys.push_back(&v.get());
        }
        out.push_back(std::move(k));
    }
    return out;
}

struct tv_holder {
    confd_tag_value_t *tv = nullptr;
    int n = 0;
    ~tv_holder() { mgmt_wire::free_tag_values(tv, n); }
};

void drop_node(lyd_node **root, lyd_node *n)
{
    if (n == *root) {
        *root = n->next;
    }
    lyd_free_tree(n);
    if (*root != nullptr) {
        *root = lyd_first_sibling(*root);
    }
}

// A new list instance at path in the result tree, with the parents it
// lacks: one parse of the path, whose keys (addresses checked against their
// patterns) make up most of a read's work. nullptr when it exists already
// (*exists set) or libyang refuses the path.
lyd_node *create_instance(const schema &s, lyd_node **root, const std::string &path, bool *exists)
{
    lyd_node *first = nullptr;
    lyd_node *node = nullptr;
    const LY_ERR r =
        lyd_new_path2(*root, s.ctx(), path.c_str(), nullptr, 0, LYD_ANYDATA_STRING, 0, &first, &node);
    *exists = r == LY_EEXIST;
    if (r != LY_SUCCESS || node == nullptr) {
        return nullptr;
    }
    if (*root == nullptr) {
        *root = first;
        while (lyd_parent(*root) != nullptr) {
            *root = lyd_parent(*root);
        }
    }
    *root = lyd_first_sibling(*root);
    return node;
}

// Fills a data node's leaves and containers from a tag-value list, from
// tv[i] to the end or to the C_XMLEND closing it. Unknown tags and values
// the schema refuses are left out.
void fill(const schema &s, lyd_node *parent, const lysc_node *sparent, const confd_tag_value_t *tv, int n, int &i)
{
    while (i < n) {
        const confd_tag_value_t &t = tv[i];
        if (t.v.type == C_XMLEND) {
            i++;
            return;
        }
        const lysc_node *c = s.child_by_tag(sparent, t.tag.tag, 0);
        if (t.v.type == C_XMLBEGIN || t.v.type == C_XMLBEGINDEL) {
            i++;
            if (c != nullptr && c->nodetype == LYS_CONTAINER) {
                lyd_node *inner = nullptr;
                lyd_find_sibling_val(lyd_child(parent), c, nullptr, 0, &inner);
                if (inner == nullptr) {
                    lyd_new_inner(parent, c->module, c->name, 0, &inner);
                }
                if (inner != nullptr) {
                    fill(s, inner, c, tv, n, i);
                    continue;
                }
            }
            // Skip what the element holds.
            for (int depth = 1; i < n && depth > 0; i++) {
                if (tv[i].v.type == C_XMLBEGIN || tv[i].v.type == C_XMLBEGINDEL) {
                    depth++;
                } else if (tv[i].v.type == C_XMLEND) {
                    depth--;
                }
            }
            continue;
        }
        i++;
        if (c == nullptr || (c->nodetype & LYD_NODE_TERM) == 0 || lysc_is_key(c) || t.v.type == C_NOEXISTS) {
            continue;
        }
        std::vector<const confd_value_t *> vals;
        if (t.v.type == C_LIST) {
            for (unsigned k = 0; k < t.v.val.list.size; k++) {
                vals.push_back(&t.v.val.list.ptr[k]);
            }
        } else {
            vals.push_back(&t.v);
        }
        for (const confd_value_t *v : vals) {
            std::string text;
            std::string err;
            if (!value_text(c, *v, &text, &err) ||
                lyd_new_term(parent, c->module, c->name, text.c_str(), 0, nullptr) != LY_SUCCESS) {
                OST_LOGF(LOG_DEBUG, "leaf %s of an operational object left out: %s", c->name,
                         err.empty() ? ly_error_text(s.ctx()).c_str() : err.c_str());
            }
        }
    }
}

}  // namespace

bool agent::oper_check(oper_read &rd, const peer_reply &rep, uint64_t daemon, const std::string &what)
{
    if (rep.status == peer_reply::ok) {
        return true;
    }
    if (rep.status == peer_reply::timeout || rep.status == peer_reply::gone) {
        auto it = rd.trans.find(daemon);
        if (it != rd.trans.end()) {
            it->second.usable = false;
        }
    }
    if (!rd.err) {
        auto it = rd.trans.find(daemon);
        result r = peer_failure(rep, it != rd.trans.end() ? it->second.daemon_name : daemon_name(daemon), what);
        if (rep.status == peer_reply::error) {
            r.code = CONFD_ERR_EXTERNAL;
        }
        rd.err = r;
    }
    return false;
}

task<bool> agent::oper_trans(oper_read &rd, uint64_t daemon)
{
    auto it = rd.trans.find(daemon);
    if (it != rd.trans.end()) {
        co_return it->second.usable;
    }
    oper_read::tx t;
    t.th = next_th_++;
    t.daemon_name = daemon_name(daemon);
    rd.trans[daemon] = t;
    mgmt_wire::writer w(MGMT_OP_TRANS_INIT, 0);
    w.i64(t.th).i64(static_cast<int64_t>(rd.cli)).str(rd.user).str("cli");
    call_awaiter aw1 = call(daemon, w.finish());
    peer_reply rep = co_await aw1;
    if (!oper_check(rd, rep, daemon, "transaction start")) {
        co_return false;
    }
    mgmt_wire::reader r(rep.body);
    int64_t worker = 0;
    conn *wc = nullptr;
    if (r.i64(worker) && worker > 0) {
        wc = find(static_cast<uint64_t>(worker));
    }
    if (wc == nullptr || wc->kind != MGMT_CONN_WORKER || wc->daemon != daemon) {
        if (!rd.err) {
            rd.err = result::error(CONFD_ERR_EXTERNAL,
                                   "daemon " + t.daemon_name + " bound the transaction to no worker of its own");
        }
        co_return false;
    }
    rd.trans[daemon] = {t.th, wc->id, true, t.daemon_name};
    co_return true;
}

lyd_node *agent::oper_add(oper_read &rd, const lysc_node *sn, const oper_pos &pos, const confd_tag_value_t *tv, int n)
{
    std::vector<std::string> keys;
    for (const lysc_node *k = lysc_node_child(sn); k != nullptr && lysc_is_key(k); k = k->next) {
        const uint32_t tag = schema_.tag(k);
        const confd_value_t *v = nullptr;
        for (int i = 0, depth = 0; i < n && v == nullptr; i++) {
            if (tv[i].v.type == C_XMLBEGIN || tv[i].v.type == C_XMLBEGINDEL) {
                depth++;
            } else if (tv[i].v.type == C_XMLEND) {
                depth--;
            } else if (depth == 0 && tv[i].tag.tag == tag) {
                v = &tv[i].v;
            }
        }
        std::string text;
        std::string err;
        if (v == nullptr || !value_text(k, *v, &text, &err)) {
            OST_LOGF(LOG_NOTICE, "an object of %s without a usable key %s ends its listing", sn->name, k->name);
            return nullptr;
        }
        keys.push_back(std::move(text));
    }
    std::string path = pos.data_path + ly_step(sn, pos.snode, &keys);
    bool exists = false;
    lyd_node *inst = create_instance(schema_, &rd.root, path, &exists);
    if (exists) {
        return nullptr;  // served twice: the listing goes round, end it
    }
    if (inst == nullptr) {
        OST_LOGF(LOG_NOTICE, "an object of %s with keys the schema refuses ends its listing: %s", sn->name,
                 ly_error_text(schema_.ctx()).c_str());
        return nullptr;
    }
    int i = 0;
    fill(schema_, inst, sn, tv, n, i);
    rd.objects++;
    return inst;
}

task<std::vector<lyd_node *>> agent::oper_list(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                               const std::vector<std::string> *prefix)
{
    std::vector<lyd_node *> out;
    const std::string cp = callpoint_for(sn, pos);
    auto reg = callpoints_.find(cp);
    if (cp.empty() || reg == callpoints_.end()) {
        co_return out;  // nobody serves it (yet): an empty list
    }
    const uint64_t daemon = reg->second.daemon;
    if (!co_await oper_trans(rd, daemon)) {
        co_return out;
    }
    const oper_read::tx t = rd.trans[daemon];
    std::vector<kp_elem> elems = elems_of(pos);
    elems.push_back({schema_.tag(sn), schema_.ns(sn), {}});
    confd_hkeypath_t kp;
    if (!to_hkeypath(elems, &kp)) {
        rd.err = result::error(CONFD_ERR_INTERNAL, std::string("the path to ") + sn->name + " is too deep");
        co_return out;
    }
    int64_t next = -1;
    bool find_next = false;
    // A listing from given first keys starts with the instance at or after
    // them (find type 1) and ends at the first one that does not begin
    // with them.
    int find_type = 0;
    std::vector<cvalue> first_keys;
    std::vector<cvalue> last_keys;
    if (prefix != nullptr) {
        const lysc_node *k = lysc_node_child(sn);
        for (size_t i = 0; i < prefix->size() && k != nullptr && lysc_is_key(k); i++, k = k->next) {
            cvalue v;
            std::string why;
            if (!value_from_text(k, (*prefix)[i], &v, &why)) {
                rd.err = result::error(CONFD_ERR_BADTYPE, std::string("bad key ") + k->name + ": " + why);
                co_return out;
            }
            first_keys.push_back(std::move(v));
        }
        last_keys = first_keys;
        find_next = true;
        find_type = 1;
    }
    while (!rd.err && rd.objects < k_max_objects) {
        mgmt_wire::writer w(find_next ? MGMT_OP_DATA_FIND_NEXT_OBJECT : MGMT_OP_DATA_GET_NEXT_OBJECT, 0);
        w.i64(t.th).str(cp).keypath(kp);
        if (find_next) {
            w.i64(find_type).list(static_cast<uint32_t>(last_keys.size()));
            find_type = 0;
            for (const cvalue &k : last_keys) {
                w.value(k.get());
            }
        } else {
            w.i64(next);
        }
        call_awaiter aw2 = call(t.worker, w.finish());
        peer_reply rep = co_await aw2;
        if (!oper_check(rd, rep, daemon, "callpoint " + cp)) {
            break;
        }
        mgmt_wire::reader r(rep.body);
        int64_t kind = -1;
        r.i64(kind);
        // The objects of this reply and whether the list ended with them.
        bool ended = false;
        bool bad = false;
        lyd_node *last = nullptr;
        int64_t last_next = -1;
        auto take = [&](int64_t count, int64_t nxt, tv_holder &h) {
            if (count < 0 || (kind == MGMT_DATA_NEXT_OBJECTS && count == 0)) {
                ended = true;
                return;
            }
            lyd_node *inst = oper_add(rd, sn, pos, h.tv, h.n);
            if (inst == nullptr) {
                ended = true;
                return;
            }
            if (!first_keys.empty() && !begins_with_keys(inst, first_keys)) {
                drop_node(&rd.root, inst);
                ended = true;
                return;
            }
            out.push_back(inst);
            last = inst;
            last_next = nxt;
        };
        switch (kind) {
        case MGMT_DATA_NOT_FOUND:
            ended = true;
            break;
        case MGMT_DATA_NEXT_OBJECT: {
            int64_t count = 0;
            int64_t nxt = 0;
            tv_holder h;
            if (!r.i64(count) || !r.i64(nxt) || !r.tag_values(&h.tv, &h.n)) {
                bad = true;
                break;
            }
            take(count, nxt, h);
            break;
        }
        case MGMT_DATA_NEXT_OBJECTS: {
            int64_t cache_ms = 0;
            uint32_t nobj = 0;
            if (!r.i64(cache_ms) || !r.list(nobj)) {
                bad = true;
                break;
            }
            if (nobj == 0) {
                ended = true;
            }
            for (uint32_t k = 0; k < nobj && !ended && !bad; k++) {
                uint32_t parts = 0;
                int64_t count = 0;
                int64_t nxt = 0;
                tv_holder h;
                if (!r.list(parts) || parts != 3 || !r.i64(count) || !r.i64(nxt) || !r.tag_values(&h.tv, &h.n)) {
                    bad = true;
                    break;
                }
                take(count, nxt, h);
            }
            break;
        }
        case MGMT_DATA_TV_ARRAY: {
            int64_t count = 0;
            tv_holder h;
            if (!r.i64(count) || !r.tag_values(&h.tv, &h.n)) {
                bad = true;
                break;
            }
            take(count, -1, h);
            break;
        }
        default:
            bad = true;
            break;
        }
        if (bad) {
            rd.err = result::error(CONFD_ERR_EXTERNAL, "daemon " + t.daemon_name +
                                                           " sent a malformed reply (callpoint " + cp + ")");
            break;
        }
        if (ended || last == nullptr) {
            break;
        }
        find_next = last_next == -1;
        next = last_next;
        last_keys.clear();
        for (lyd_node *k = lyd_child(last); k != nullptr && k->schema != nullptr && lysc_is_key(k->schema);
             k = k->next) {
            last_keys.push_back(value_of_term(k));
        }
    }
    co_return out;
}

task<lyd_node *> agent::oper_object(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                    const std::vector<std::string> &keys)
{
    const std::string cp = callpoint_for(sn, pos);
    auto reg = callpoints_.find(cp);
    if (cp.empty() || reg == callpoints_.end()) {
        co_return nullptr;
    }
    const uint64_t daemon = reg->second.daemon;
    if (!co_await oper_trans(rd, daemon)) {
        co_return nullptr;
    }
    const oper_read::tx t = rd.trans[daemon];
    lyd_node *inst = oper_ensure(schema_, &rd.root, pos.data_path + ly_step(sn, pos.snode, &keys));
    if (inst == nullptr) {
        rd.err = result::error(CONFD_ERR_BADPATH, std::string("bad keys for ") + sn->name + ": " +
                                                      ly_error_text(schema_.ctx()));
        co_return nullptr;
    }
    oper_pos at = oper_child_pos(schema_, pos, sn, inst, true);
    std::vector<kp_elem> elems = elems_of(at);
    confd_hkeypath_t kp;
    if (!to_hkeypath(elems, &kp)) {
        rd.err = result::error(CONFD_ERR_INTERNAL, std::string("the path to ") + sn->name + " is too deep");
        co_return nullptr;
    }
    mgmt_wire::writer w(MGMT_OP_DATA_GET_OBJECT, 0);
    w.i64(t.th).str(cp).keypath(kp);
    call_awaiter aw3 = call(t.worker, w.finish());
    peer_reply rep = co_await aw3;
    if (!oper_check(rd, rep, daemon, "callpoint " + cp)) {
        co_return nullptr;
    }
    mgmt_wire::reader r(rep.body);
    int64_t kind = -1;
    int64_t count = -1;
    tv_holder h;
    r.i64(kind);
    if (kind == MGMT_DATA_TV_ARRAY && r.i64(count) && r.tag_values(&h.tv, &h.n) && count >= 0) {
        // The instance may be gone from the tree if a nested read failed:
        // look it up again.
        lyd_node *again = oper_ensure(schema_, &rd.root, at.data_path);
        int i = 0;
        fill(schema_, again, sn, h.tv, h.n, i);
        co_return again;
    }
    if (kind != MGMT_DATA_NOT_FOUND && kind != MGMT_DATA_TV_ARRAY) {
        rd.err = result::error(CONFD_ERR_EXTERNAL,
                               "daemon " + t.daemon_name + " sent a malformed reply (callpoint " + cp + ")");
    }
    lyd_node *gone = oper_ensure(schema_, &rd.root, at.data_path);
    if (gone != nullptr) {
        drop_node(&rd.root, gone);
    }
    co_return nullptr;
}

}  // namespace mgmtd
