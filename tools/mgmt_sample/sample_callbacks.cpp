// The sample daemon's callbacks: the operational groups and their members
// behind two data callpoints, an action and a command.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "confd_hash.h"
#include "confd_maapi.h"
#include "sample.h"

namespace {

struct member {
    uint32_t mid;
    const char *address;
    bool up;
};
struct group {
    uint32_t gid;
    const char *label;
    int32_t colour;
    std::vector<member> members;
};

// The daemon's operational data, fixed: enough for listings that span
// several replies, an empty nested list, and lookups by key.
const std::vector<group> &groups()
{
    static const std::vector<group> table = {
        {1, "one", 1, {{1, "10.0.0.1", true}, {2, "10.0.0.2", false}, {5, "10.0.0.5", true}}},
        {2, "two", 2, {{1, "10.0.1.1", true}}},
        {4, "four", 3, {}},
    };
    return table;
}

std::string path_text(const confd_hkeypath_t *kp)
{
    char buf[512];
    confd_pp_kpath(buf, sizeof(buf), kp);
    return buf;
}

// The key of the group in a member keypath (/sample-state/group{G}/member...)
// or a group keypath: the element after the group tag.
const group *group_of(const confd_hkeypath_t *kp)
{
    const uint32_t tag = mgmt_name_hash("group");
    for (int i = kp->len - 1; i > 0; i--) {
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == tag && kp->v[i - 1][0].type == C_UINT32) {
            uint32_t gid = kp->v[i - 1][0].val.u32;
            for (const group &g : groups()) {
                if (g.gid == gid) {
                    return &g;
                }
            }
            return nullptr;
        }
    }
    return nullptr;
}

bool is_members(const char *callpoint)
{
    return strcmp(callpoint, "sample-members") == 0;
}

// An object's leaves; with_key for listings (a get_object reply leaves it
// out). The setter macros name their argument several times: no n++ inside.
int group_values(const group &g, bool with_key, confd_tag_value_t *tv)
{
    int n = 0;
    if (with_key) {
        CONFD_SET_TAG_UINT32(&tv[n], mgmt_name_hash("gid"), g.gid);
        n++;
    }
    CONFD_SET_TAG_STR(&tv[n], mgmt_name_hash("label"), g.label);
    n++;
    CONFD_SET_TAG_ENUM_VALUE(&tv[n], mgmt_name_hash("colour"), g.colour);
    n++;
    return n;
}

int member_values(const member &m, bool with_key, confd_tag_value_t *tv)
{
    int n = 0;
    if (with_key) {
        CONFD_SET_TAG_UINT32(&tv[n], mgmt_name_hash("mid"), m.mid);
        n++;
    }
    CONFD_SET_TAG_STR(&tv[n], mgmt_name_hash("address"), m.address);
    n++;
    CONFD_SET_TAG_BOOL(&tv[n], mgmt_name_hash("up"), m.up);
    n++;
    return n;
}

// Both callpoints share the callbacks: a keypath through a member element
// is the members', any other the groups'.
const char *callpoint_of(const confd_hkeypath_t *kp)
{
    const uint32_t tag = mgmt_name_hash("member");
    for (int i = 0; i < kp->len; i++) {
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == tag) {
            return "sample-members";
        }
    }
    return "sample-groups";
}

int t_init(confd_trans_ctx *tctx)
{
    return confd_trans_set_fd(tctx, g_sample.worker);
}

int t_finish(confd_trans_ctx *)
{
    return CONFD_OK;
}

int get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    const char *cp = callpoint_of(kp);
    emit("get_object %s %s", cp, path_text(kp).c_str());
    if (g_sample.opt.hang_data) {
        hang("get_object");
    }
    confd_tag_value_t tv[4];
    const group *g = group_of(kp);
    if (g != nullptr && !is_members(cp)) {
        return confd_data_reply_tag_value_array(tctx, tv, group_values(*g, false, tv));
    }
    if (g != nullptr && kp->v[0][0].type == C_UINT32) {
        for (const member &m : g->members) {
            if (m.mid == kp->v[0][0].val.u32) {
                return confd_data_reply_tag_value_array(tctx, tv, member_values(m, false, tv));
            }
        }
    }
    return confd_data_reply_not_found(tctx);
}

int get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    const char *cp = callpoint_of(kp);
    emit("get_next_object %s %s next=%ld", cp, path_text(kp).c_str(), next);
    if (g_sample.opt.hang_data) {
        hang("get_next_object");
    }
    size_t from = next < 0 ? 0 : static_cast<size_t>(next);
    if (!is_members(cp)) {
        // Groups come all at once, several objects in one reply.
        const auto &all = groups();
        std::vector<confd_tag_value_t> tv(all.size() * 3);
        std::vector<confd_tag_next_object> objs;
        for (size_t i = from; i < all.size(); i++) {
            int n = group_values(all[i], true, &tv[i * 3]);
            objs.push_back({&tv[i * 3], n, static_cast<long>(i + 1)});
        }
        objs.push_back({nullptr, -1, 0});
        return confd_data_reply_next_object_tag_value_arrays(tctx, objs.data(), static_cast<int>(objs.size()), 0);
    }
    // Members one at a time, each with next -1 as zord serves its TLOCs:
    // the agent asks for the one after it by its key (find_next_object).
    const group *g = group_of(kp);
    if (g == nullptr || from >= g->members.size()) {
        return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, 0);
    }
    confd_tag_value_t tv[3];
    int n = member_values(g->members[from], true, tv);
    return confd_data_reply_next_object_tag_value_array(tctx, tv, n, -1);
}

int find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys, int nkeys)
{
    const char *cp = callpoint_of(kp);
    uint32_t key = nkeys > 0 && keys[0].type == C_UINT32 ? keys[0].val.u32 : 0;
    emit("find_next_object %s %s type=%d key=%u", cp, path_text(kp).c_str(), type, key);
    if (g_sample.opt.hang_data) {
        hang("find_next_object");
    }
    auto after = [&](uint32_t k) { return type == CONFD_FIND_SAME_OR_NEXT ? k >= key : k > key; };
    confd_tag_value_t tv[3];
    if (!is_members(cp)) {
        const auto &all = groups();
        for (size_t i = 0; i < all.size(); i++) {
            if (nkeys == 0 || after(all[i].gid)) {
                int n = group_values(all[i], true, tv);
                return confd_data_reply_next_object_tag_value_array(tctx, tv, n, static_cast<long>(i + 1));
            }
        }
    } else if (const group *g = group_of(kp)) {
        for (size_t i = 0; i < g->members.size(); i++) {
            if (nkeys == 0 || after(g->members[i].mid)) {
                int n = member_values(g->members[i], true, tv);
                return confd_data_reply_next_object_tag_value_array(tctx, tv, n, -1);
            }
        }
    }
    return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, 0);
}

// A parameter's name: the action is not in the schema, so its own
// parameters are named here; any other tag by the schema, or as a number.
std::string tag_name(uint32_t tag)
{
    for (const char *own : {"count", "note", "fail"}) {
        if (tag == mgmt_name_hash(own)) {
            return own;
        }
    }
    const char *name = confd_hash2str(tag);
    return name != nullptr ? name : std::to_string(tag);
}

int a_init(confd_user_info *uinfo)
{
    return confd_action_set_fd(uinfo, g_sample.worker);
}

int a_action(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int nparams)
{
    std::string text;
    bool fail = false;
    for (int i = 0; i < nparams; i++) {
        char buf[256];
        confd_pp_value(buf, sizeof(buf), &params[i].v);
        std::string name = tag_name(params[i].tag.tag);
        fail = fail || name == "fail";
        text += " " + name + "=" + buf;
    }
    emit("action sample-action user=%s usid=%d params%s", uinfo->username, uinfo->usid, text.c_str());
    if (fail) {
        confd_action_seterr(uinfo, "sample action failed");
        return CONFD_ERR;
    }
    std::string reply = "pong " + std::to_string(nparams);
    confd_tag_value_t out[1];
    CONFD_SET_TAG_STR(&out[0], mgmt_name_hash("reply"), reply.c_str());
    CONFD_SET_TAG_NS(&out[0], sample_ns());
    return confd_action_reply_values(uinfo, out, 1);
}

int a_command(confd_user_info *uinfo, char *, int argc, char **argv)
{
    std::string args;
    int lines = 3;
    bool fail = false;
    // argv[0] is the command's own name.
    for (int i = 1; i < argc; i++) {
        args += std::string(" ") + argv[i];
        if (strncmp(argv[i], "--lines=", 8) == 0) {
            lines = std::clamp(atoi(argv[i] + 8), 0, 100000);
        }
        fail = fail || strcmp(argv[i], "fail") == 0;
    }
    emit("command sample-show user=%s usid=%d args%s", uinfo->username, uinfo->usid, args.c_str());
    if (g_sample.opt.hang_command) {
        hang("command");
    }
    if (fail) {
        confd_action_seterr(uinfo, "sample command failed");
        return CONFD_ERR;
    }
    int sock = uinfo->msock >= 0 ? uinfo->msock : g_sample.maapi;
    for (int i = 1; i <= lines; i++) {
        if (maapi_cli_printf(sock, uinfo->usid, "sample line %d of %d\n", i, lines) != CONFD_OK) {
            confd_action_seterr(uinfo, "output failed: %s", confd_lasterr());
            return CONFD_ERR;
        }
    }
    return CONFD_OK;
}

}  // namespace

int sample_register_callbacks()
{
    sample_daemon &s = g_sample;
    if (s.opt.data) {
        confd_trans_cbs tcb{};
        tcb.init = t_init;
        tcb.finish = t_finish;
        if (confd_register_trans_cb(s.dx, &tcb) != CONFD_OK) {
            return CONFD_ERR;
        }
        for (const char *point : {"sample-groups", "sample-members"}) {
            confd_data_cbs dcb{};
            snprintf(dcb.callpoint, sizeof(dcb.callpoint), "%s", point);
            dcb.get_object = get_object;
            dcb.get_next_object = get_next_object;
            dcb.find_next_object = find_next_object;
            if (confd_register_data_cb(s.dx, &dcb) != CONFD_OK) {
                return CONFD_ERR;
            }
        }
    }
    if (s.opt.action) {
        confd_action_cbs acb{};
        snprintf(acb.actionpoint, sizeof(acb.actionpoint), "sample-action");
        acb.init = a_init;
        acb.action = a_action;
        if (confd_register_action_cbs(s.dx, &acb) != CONFD_OK) {
            return CONFD_ERR;
        }
    }
    if (s.opt.command) {
        confd_action_cbs acb{};
        snprintf(acb.actionpoint, sizeof(acb.actionpoint), "sample-show");
        acb.init = a_init;
        acb.command = a_command;
        if (confd_register_action_cbs(s.dx, &acb) != CONFD_OK) {
            return CONFD_ERR;
        }
    }
    return confd_register_done(s.dx);
}
