// Operational reads: data of the operational store, and the lists that
// daemons serve through callpoints (asked in mgmtd_oper_daemon.cpp), walked
// along the requested path and returned as RFC 7951 JSON.
#include <cstring>

#include "mgmtd_oper.h"
#include "ost_log.h"

namespace mgmtd {

bool oper_is_cp_list(const schema &s, const lysc_node *sn)
{
    const node_info &ni = s.info(sn);
    return sn->nodetype == LYS_LIST && (!ni.callpoint.empty() || !ni.tenant_callpoint.empty());
}

lyd_node *oper_ensure(const schema &s, lyd_node **root, const std::string &path)
{
    lyd_node *found = nullptr;
    if (*root != nullptr && lyd_find_path(*root, path.c_str(), 0, &found) == LY_SUCCESS && found != nullptr) {
        return found;
    }
    lyd_node *created = nullptr;
    if (lyd_new_path(*root, s.ctx(), path.c_str(), nullptr, 0, &created) != LY_SUCCESS || created == nullptr) {
        return nullptr;
    }
    if (*root == nullptr) {
        *root = created;
        while (lyd_parent(*root) != nullptr) {
            *root = lyd_parent(*root);
        }
    }
    *root = lyd_first_sibling(*root);
    found = nullptr;
    lyd_find_path(*root, path.c_str(), 0, &found);
    return found;
}

agent::oper_pos oper_child_pos(const schema &s, const agent::oper_pos &pos, const lysc_node *sn,
                               lyd_node *inst, bool inside)
{
    agent::oper_pos out;
    out.snode = sn;
    out.tenant = pos.tenant;
    out.inside = inside;
    out.kp = pos.kp;
    agent::oper_pos::elem e;
    e.tag = s.tag(sn);
    e.ns = s.ns(sn);
    if (inst != nullptr) {
        char *p = lyd_path(inst, LYD_PATH_STD, nullptr, 0);
        out.data_path = p != nullptr ? p : "";
        free(p);
        for (lyd_node *k = lyd_child(inst); k != nullptr && k->schema != nullptr && lysc_is_key(k->schema);
             k = k->next) {
            e.keys.push_back(value_of_term(k));
        }
        if (strcmp(sn->name, "tenant") == 0 && e.keys.size() == 1) {
            const confd_value_t &v = e.keys[0].get();
            if (v.type == C_UINT32) {
                out.tenant = v.val.u32;
            } else if (v.type == C_UINT16) {
                out.tenant = v.val.u16;
            } else if (v.type == C_UINT8) {
                out.tenant = v.val.u8;
            }
        }
    } else {
        out.data_path = pos.data_path + ly_step(sn, pos.snode, nullptr);
    }
    out.kp.push_back(std::move(e));
    return out;
}

bool agent::has_callpoint_below(const lysc_node *sn)
{
    auto it = cp_below_.find(sn);
    if (it != cp_below_.end()) {
        return it->second;
    }
    bool yes = oper_is_cp_list(schema_, sn);
    const lysc_node *c = nullptr;
    while (!yes && (c = lys_getnext(c, sn, nullptr, 0)) != nullptr) {
        yes = (c->nodetype & (LYS_CONTAINER | LYS_LIST)) != 0 && has_callpoint_below(c);
    }
    cp_below_[sn] = yes;
    return yes;
}

std::string agent::callpoint_for(const lysc_node *sn, const oper_pos &pos) const
{
    const node_info &ni = schema_.info(sn);
    if (!ni.callpoint.empty()) {
        return ni.callpoint;
    }
    if (!ni.tenant_callpoint.empty() && pos.tenant >= 0) {
        return ni.tenant_callpoint + "-tenant" + std::to_string(pos.tenant);
    }
    return "";
}

std::vector<lyd_node *> agent::oper_plain(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                          const std::vector<std::string> *keys)
{
    std::vector<lyd_node *> out;
    auto add = [&](const std::string &path) {
        lyd_node *n = oper_ensure(schema_, &rd.root, path);
        if (n != nullptr && std::find(out.begin(), out.end(), n) == out.end()) {
            out.push_back(n);
        }
    };
    if (keys != nullptr) {
        add(pos.data_path + ly_step(sn, pos.snode, keys));
        return out;
    }
    ly_set *set = nullptr;
    std::string xpath = pos.data_path + ly_step(sn, pos.snode, nullptr);
    if (store_.oper() != nullptr && lyd_find_xpath(store_.oper(), xpath.c_str(), &set) == LY_SUCCESS) {
        for (uint32_t i = 0; i < set->count; i++) {
            std::vector<std::string> k;
            for (lyd_node *c = lyd_child(set->dnodes[i]); c != nullptr && c->schema != nullptr && lysc_is_key(c->schema);
                 c = c->next) {
                k.push_back(lyd_get_value(c));
            }
            add(pos.data_path + ly_step(sn, pos.snode, &k));
        }
    }
    ly_set_free(set, nullptr);
    // The tenants whose instances registered their callpoints.
    size_t nkeys = 0;
    for (const lysc_node *k = lysc_node_child(sn); k != nullptr && lysc_is_key(k); k = k->next) {
        nkeys++;
    }
    if (strcmp(sn->name, "tenant") == 0 && nkeys == 1 && has_callpoint_below(sn)) {
        for (const auto &[name, point] : callpoints_) {
            size_t at = name.rfind("-tenant");
            if (at == std::string::npos || at + 7 >= name.size() ||
                name.find_first_not_of("0123456789", at + 7) != std::string::npos || name.size() - at > 17) {
                continue;
            }
            std::vector<std::string> k{name.substr(at + 7)};
            add(pos.data_path + ly_step(sn, pos.snode, &k));
        }
    }
    return out;
}

task<void> agent::oper_walk(oper_read &rd, const agent_path &p, size_t i, const oper_pos &pos)
{
    if (rd.err) {
        co_return;
    }
    if (i == p.steps.size()) {
        co_await oper_expand(rd, pos.snode, pos, pos.inside);
        co_return;
    }
    const path_step &st = p.steps[i];
    const lysc_node *sn = st.snode;
    if ((sn->nodetype & LYD_NODE_TERM) != 0) {
        co_return;  // a leaf comes with its parent
    }
    if (sn->nodetype != LYS_LIST) {
        const oper_pos np = oper_child_pos(schema_, pos, sn, nullptr, pos.inside);
        co_await oper_walk(rd, p, i + 1, np);
        co_return;
    }
    std::vector<lyd_node *> insts;
    const bool served = oper_is_cp_list(schema_, sn);
    if (served && st.has_keys && st.key_prefix) {
        insts = co_await oper_list(rd, sn, pos, &st.keys);
    } else if (served && st.has_keys) {
        if (lyd_node *inst = co_await oper_object(rd, sn, pos, st.keys)) {
            insts.push_back(inst);
        } else if (!rd.err) {
            // The operator named an instance: its absence is the answer, not
            // an empty tree.
            rd.err = result::error(CONFD_ERR_NOEXISTS, "no such instance: " + path_text(p, i + 1));
        }
    } else if (served) {
        insts = co_await oper_list(rd, sn, pos);
    } else {
        insts = oper_plain(rd, sn, pos, st.has_keys ? &st.keys : nullptr);
    }
    // Paths, not node pointers: a failed nested read may free nodes.
    std::vector<oper_pos> next;
    for (lyd_node *inst : insts) {
        next.push_back(oper_child_pos(schema_, pos, sn, inst, pos.inside || served));
    }
    for (oper_pos &np : next) {
        co_await oper_walk(rd, p, i + 1, np);
    }
}

task<void> agent::oper_expand(oper_read &rd, const lysc_node *sn, const oper_pos &pos, bool inside)
{
    std::vector<const lysc_node *> children;
    if (sn == nullptr) {
        for (const module_info &m : schema_.modules()) {
            const lysc_node *c = nullptr;
            while ((c = lys_getnext(c, nullptr, m.mod->compiled, 0)) != nullptr) {
                children.push_back(c);
            }
        }
    } else {
        const lysc_node *c = nullptr;
        while ((c = lys_getnext(c, sn, nullptr, 0)) != nullptr) {
            children.push_back(c);
        }
    }
    for (const lysc_node *c : children) {
        if (rd.err) {
            co_return;
        }
        if ((c->nodetype & (LYS_CONTAINER | LYS_LIST)) == 0 || !has_callpoint_below(c)) {
            continue;
        }
        if (c->nodetype == LYS_CONTAINER) {
            const oper_pos np = oper_child_pos(schema_, pos, c, nullptr, inside);
            co_await oper_expand(rd, c, np, inside);
            continue;
        }
        const bool served = oper_is_cp_list(schema_, c);
        if (served && inside && (rd.flags & MGMT_OPER_DEPTH_ONE) != 0) {
            continue;
        }
        std::vector<lyd_node *> insts;
        if (served) {
            insts = co_await oper_list(rd, c, pos);
        } else {
            insts = oper_plain(rd, c, pos, nullptr);
        }
        std::vector<oper_pos> next;
        for (lyd_node *inst : insts) {
            next.push_back(oper_child_pos(schema_, pos, c, inst, inside || served));
        }
        for (oper_pos &np : next) {
            co_await oper_expand(rd, c, np, np.inside);
        }
    }
}

root_task agent::run_get_oper(uint64_t cli, uint32_t xid, agent_path p, int flags)
{
    oper_read rd;
    rd.cli = cli;
    rd.xid = xid;
    rd.flags = flags;
    if (conn *c = find(cli)) {
        rd.user = c->name;
    }
    // What the operational store holds under the path.
    if (p.steps.empty()) {
        rd.root = store::dup(store_.oper()).release();
    } else if (store_.oper() != nullptr) {
        ly_set *set = nullptr;
        if (lyd_find_xpath(store_.oper(), ly_path(p).c_str(), &set) == LY_SUCCESS) {
            for (uint32_t i = 0; i < set->count; i++) {
                lyd_node *copy = nullptr;
                if (lyd_dup_single(set->dnodes[i], nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_PARENTS, &copy) !=
                    LY_SUCCESS) {
                    continue;
                }
                while (lyd_parent(copy) != nullptr) {
                    copy = lyd_parent(copy);
                }
                if (rd.root == nullptr) {
                    rd.root = copy;
                } else {
                    lyd_merge_siblings(&rd.root, copy, LYD_MERGE_DESTRUCT);
                }
            }
        }
        ly_set_free(set, nullptr);
    }
    const oper_pos top;
    co_await oper_walk(rd, p, 0, top);
    for (auto &[daemon, t] : rd.trans) {
        if (t.usable) {
            mgmt_wire::writer w(MGMT_OP_TRANS_FINISH, 0);
            w.i64(t.th);
            call_awaiter aw4 = call(t.worker, w.finish());
            co_await aw4;
        }
    }
    conn *c = find(cli);
    if (c == nullptr) {
        co_return;
    }
    if (rd.err) {
        reply_err(*c, xid, rd.err->code, rd.err->text);
        co_return;
    }
    std::string json;
    result r = store_.print(rd.root, p.steps.empty() ? nullptr : &p, &json);
    if (!r.ok()) {
        reply_err(*c, xid, r.code, r.text);
        co_return;
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, xid);
    w.str(json);
    send(*c, w.finish());
}

}  // namespace mgmtd
