// Operator requests (zorctl), commands and actions towards daemons, and
// the notification streams.
#include <sys/time.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "mgmtd_agent.h"
#include "mgmtd_json.h"
#include "ost_log.h"

namespace mgmtd {

namespace {

constexpr size_t k_replay = 1000;
// The replay buffer also stays within this many bytes of JSON.
constexpr size_t k_replay_bytes = 16u << 20;

confd_datetime now_utc()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    gmtime_r(&tv.tv_sec, &t);
    confd_datetime d{};
    d.year = static_cast<int16_t>(t.tm_year + 1900);
    d.month = static_cast<uint8_t>(t.tm_mon + 1);
    d.day = static_cast<uint8_t>(t.tm_mday);
    d.hour = static_cast<uint8_t>(t.tm_hour);
    d.min = static_cast<uint8_t>(t.tm_min);
    d.sec = static_cast<uint8_t>(t.tm_sec);
    d.micro = static_cast<uint32_t>(tv.tv_usec);
    return d;
}

// A child of parent with this tag: an action's output (results) or any
// data child.
const lysc_node *child_of(const schema &s, const lysc_node *parent, uint32_t tag, bool output)
{
    if (parent == nullptr) {
        return nullptr;
    }
    const lysc_node *c = nullptr;
    while ((c = lys_getnext(c, parent, nullptr, output ? LYS_GETNEXT_OUTPUT : 0)) != nullptr) {
        if (s.tag(c) == tag) {
            return c;
        }
    }
    return nullptr;
}

// A tag-value list as a JSON object, from tv[i] to its end or to the
// C_XMLEND that closes it. Names come from the schema under parent, else
// from any node with the tag, else the tag's number.
std::string tv_json(const schema &s, const lysc_node *parent, bool output, const confd_tag_value_t *tv, int n,
                    int &i, int depth = 0)
{
    std::string out = "{";
    bool first = true;
    while (i < n) {
        const confd_tag_value_t &t = tv[i];
        if (t.v.type == C_XMLEND) {
            i++;
            break;
        }
        const lysc_node *c = child_of(s, parent, t.tag.tag, output);
        const char *known = c != nullptr ? c->name : s.tag_name(t.tag.tag);
        std::string name = known != nullptr ? known : std::to_string(t.tag.tag);
        if (!first) {
            out += ',';
        }
        first = false;
        out += json_str(name) + ":";
        i++;
        if (t.v.type == C_XMLBEGIN || t.v.type == C_XMLBEGINDEL) {
            if (depth > MGMT_WIRE_MAX_DEPTH) {
                out += "{}";
                continue;
            }
            out += tv_json(s, c, false, tv, n, i, depth + 1);
            continue;
        }
        std::string text;
        std::string err;
        if (c == nullptr || !value_text(c, t.v, &text, &err)) {
            text = value_plain_text(t.v);
        }
        if (t.v.type == C_BOOL) {
            out += t.v.val.boolean ? "true" : "false";
        } else {
            out += json_str(text);
        }
    }
    return out + "}";
}

const char *sub_type_name(int type)
{
    return type == CDB_SUB_RUNNING ? "running" : type == CDB_SUB_RUNNING_TWOPHASE ? "two-phase" : "operational";
}

}  // namespace

// ---------------------------------------------------------------- notifications

void agent::add_notification(notif_entry e)
{
    notif_count_++;
    notif_bytes_ += e.json.size();
    notifs_.push_back(std::move(e));
    const notif_entry &added = notifs_.back();
    for (auto &[id, c] : conns_) {
        if (c->dead) {
            continue;
        }
        if (c->kind == MGMT_CONN_CLI && c->following &&
            (c->follow_stream.empty() || c->follow_stream == added.stream)) {
            send_notif_line(*c, added);
        } else if (c->kind == MGMT_CONN_NOTIFICATION && (c->notif_mask & CONFD_NOTIF_STREAM_EVENT) != 0) {
            mgmt_wire::writer w(MGMT_OP_NOTIF_EVENT, c->next_xid++);
            confd_value_t when{};
            when.type = C_DATETIME;
            when.val.datetime = added.time;
            w.i64(CONFD_NOTIF_STREAM_EVENT).str(added.stream).value(when);
            w.tag_values(added.values.data(), static_cast<int>(added.values.size()));
            send(*c, w.finish());
        }
    }
    while (notifs_.size() > k_replay || (notif_bytes_ > k_replay_bytes && notifs_.size() > 1)) {
        for (confd_tag_value_t &tv : notifs_.front().values) {
            confd_free_value(&tv.v);
        }
        notif_bytes_ -= notifs_.front().json.size();
        notifs_.pop_front();
    }
}

void agent::send_notif_line(conn &c, const notif_entry &e)
{
    mgmt_wire::writer w(MGMT_OP_CLI_NOTIF, c.follow_xid);
    w.str(e.json);
    send(c, w.finish());
}

void agent::notif_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    if (r.op() != MGMT_OP_NOTIF_SUBSCRIBE) {
        unsupported(c, xid, r.op());
        return;
    }
    int64_t mask = 0;
    if (!r.i64(mask)) {
        bad_frame(c, "NOTIF_SUBSCRIBE");
        return;
    }
    c.notif_mask = static_cast<int>(mask);
    reply_ok(c, xid);
}

void agent::worker_op(conn &c, mgmt_wire::reader &r)
{
    notif_entry e;
    if (r.op() == MGMT_OP_NOTIF_SEND) {
        cvalue when;
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        if (!r.str(e.stream) || !r.value(when.get()) || !r.tag_values(&tv, &n)) {
            bad_frame(c, "NOTIF_SEND");
            return;
        }
        e.time = when.get().type == C_DATETIME ? when.get().val.datetime : now_utc();
        e.values.assign(tv, tv + n);
        free(tv);  // the payloads now belong to the entry
        int i = 0;
        const lysc_node *top = nullptr;
        e.json = "{\"stream\":" + json_str(e.stream) + ",\"time\":" + json_str(datetime_text(e.time)) +
                 ",\"notification\":" + tv_json(schema_, top, false, e.values.data(), n, i) + "}";
        add_notification(std::move(e));
        return;
    }
    if (r.op() == MGMT_OP_SNMP_SEND) {
        std::string notify;
        std::string name;
        uint32_t count = 0;
        if (!r.str(notify) || !r.str(name) || !r.list(count)) {
            bad_frame(c, "SNMP_SEND");
            return;
        }
        e.stream = "snmp";
        e.time = now_utc();
        confd_tag_value_t open{};
        open.tag.tag = mgmt_name_hash(name);
        open.v.type = C_XMLBEGIN;
        open.v.val.xmltag.tag = open.tag.tag;
        e.values.push_back(open);
        std::string binds;
        for (uint32_t k = 0; k < count; k++) {
            uint32_t parts = 0;
            std::string var;
            confd_tag_value_t tv{};
            if (!r.list(parts) || parts != 2 || !r.str(var) || !r.value(tv.v)) {
                for (confd_tag_value_t &x : e.values) {
                    confd_free_value(&x.v);
                }
                bad_frame(c, "SNMP_SEND");
                return;
            }
            tv.tag.tag = mgmt_name_hash(var);
            binds += (binds.empty() ? "" : ",") + json_str(var) + ":" + json_str(value_plain_text(tv.v));
            e.values.push_back(tv);
        }
        confd_tag_value_t close = open;
        close.v.type = C_XMLEND;
        e.values.push_back(close);
        e.json = "{\"stream\":\"snmp\",\"time\":" + json_str(datetime_text(e.time)) +
                 ",\"notify-name\":" + json_str(notify) + ",\"notification\":" + json_str(name) +
                 ",\"varbinds\":{" + binds + "}}";
        add_notification(std::move(e));
        return;
    }
    unsupported(c, r.xid(), r.op());
}

// ---------------------------------------------------------------- commands and actions

root_task agent::run_command(uint64_t cli, uint32_t xid, std::string ap, std::vector<std::string> argv)
{
    auto reg = actionpoints_.find(ap);
    if (reg == actionpoints_.end()) {
        reply_err_to(cli, xid, CONFD_ERR_UNAVAILABLE, "no daemon serves " + ap);
        co_return;
    }
    const uint64_t daemon = reg->second.daemon;
    const std::string dname = daemon_name(daemon);
    std::string user;
    if (conn *c = find(cli)) {
        user = c->name;
    }
    mgmt_wire::writer init(MGMT_OP_ACTION_INIT, 0);
    init.i64(static_cast<int64_t>(cli)).str(user).str("cli").str(ap);
    call_awaiter aw1 = call(daemon, init.finish());
    peer_reply rep = co_await aw1;
    int64_t worker = 0;
    conn *wc = nullptr;
    if (rep.status == peer_reply::ok) {
        mgmt_wire::reader r(rep.body);
        if (r.i64(worker) && worker > 0) {
            wc = find(static_cast<uint64_t>(worker));
        }
        if (wc == nullptr || wc->kind != MGMT_CONN_WORKER || wc->daemon != daemon) {
            reply_err_to(cli, xid, CONFD_ERR_EXTERNAL, "daemon " + dname + " bound " + ap + " to no worker of its own");
            co_return;
        }
    } else {
        result f = peer_failure(rep, dname, ap);
        reply_err_to(cli, xid, f.code, f.text);
        co_return;
    }
    if (conn *c = find(cli)) {
        c->cmd_xid = xid;
    }
    mgmt_wire::writer w(MGMT_OP_ACTION_COMMAND, 0);
    w.i64(static_cast<int64_t>(cli)).str(ap).str(ap).list(static_cast<uint32_t>(argv.size()));
    for (const std::string &a : argv) {
        w.str(a);
    }
    call_awaiter aw2 = call(wc->id, w.finish());
    rep = co_await aw2;
    conn *c = find(cli);
    if (c == nullptr) {
        co_return;
    }
    if (rep.status == peer_reply::ok) {
        reply_ok(*c, xid);
    } else {
        result f = peer_failure(rep, dname, ap);
        reply_err(*c, xid, f.code, f.text);
    }
}

root_task agent::run_action(uint64_t cli, uint32_t xid, std::string ap,
                            std::vector<std::pair<std::string, std::string>> params)
{
    auto reg = actionpoints_.find(ap);
    if (reg == actionpoints_.end()) {
        reply_err_to(cli, xid, CONFD_ERR_UNAVAILABLE, "no daemon serves " + ap);
        co_return;
    }
    const uint64_t daemon = reg->second.daemon;
    const std::string dname = daemon_name(daemon);
    const lysc_node *act = schema_.find_action(ap);
    // The parameters as the schema types them; without a schema, as text.
    std::vector<cvalue> values;
    std::vector<confd_tag_value_t> tvs;
    for (const auto &[name, text] : params) {
        confd_tag_value_t tv{};
        cvalue v;
        if (act != nullptr) {
            const lysc_node *c = schema_.child(act, nullptr, name);
            std::string err;
            if (c == nullptr) {
                reply_err_to(cli, xid, CONFD_ERR_BADPATH, "action " + ap + " has no parameter " + name);
                co_return;
            }
            if (!value_from_text(c, text, &v, &err)) {
                reply_err_to(cli, xid, CONFD_ERR_BADTYPE, err);
                co_return;
            }
            tv.tag.tag = schema_.tag(c);
            tv.tag.ns = schema_.ns(c);
        } else {
            confd_value_t s{};
            CONFD_SET_STR(&s, text.c_str());
            confd_value_dup_to(&s, &v.get());
            tv.tag.tag = mgmt_name_hash(name);
        }
        values.push_back(std::move(v));
        tvs.push_back(tv);
    }
    for (size_t k = 0; k < tvs.size(); k++) {
        tvs[k].v = values[k].get();
    }
    std::string user;
    if (conn *c = find(cli)) {
        user = c->name;
    }
    mgmt_wire::writer init(MGMT_OP_ACTION_INIT, 0);
    init.i64(static_cast<int64_t>(cli)).str(user).str("cli").str(ap);
    call_awaiter aw3 = call(daemon, init.finish());
    peer_reply rep = co_await aw3;
    int64_t worker = 0;
    conn *wc = nullptr;
    if (rep.status != peer_reply::ok) {
        result f = peer_failure(rep, dname, ap);
        reply_err_to(cli, xid, f.code, f.text);
        co_return;
    }
    mgmt_wire::reader ir(rep.body);
    if (ir.i64(worker) && worker > 0) {
        wc = find(static_cast<uint64_t>(worker));
    }
    if (wc == nullptr || wc->kind != MGMT_CONN_WORKER || wc->daemon != daemon) {
        reply_err_to(cli, xid, CONFD_ERR_EXTERNAL, "daemon " + dname + " bound " + ap + " to no worker of its own");
        co_return;
    }
    mgmt_wire::writer w(MGMT_OP_ACTION_RUN, 0);
    confd_hkeypath_t kp;
    kp.len = 0;
    w.i64(static_cast<int64_t>(cli)).str(ap);
    w.i64(act != nullptr ? schema_.tag(act) : mgmt_name_hash(ap)).i64(act != nullptr ? schema_.ns(act) : 0);
    w.keypath(kp).tag_values(tvs.data(), static_cast<int>(tvs.size()));
    call_awaiter aw4 = call(wc->id, w.finish());
    rep = co_await aw4;
    conn *c = find(cli);
    if (c == nullptr) {
        co_return;
    }
    if (rep.status != peer_reply::ok) {
        result f = peer_failure(rep, dname, ap);
        reply_err(*c, xid, f.code, f.text);
        co_return;
    }
    mgmt_wire::reader r(rep.body);
    confd_tag_value_t *res = nullptr;
    int n = 0;
    if (!r.tag_values(&res, &n)) {
        reply_err(*c, xid, CONFD_ERR_EXTERNAL, "daemon " + dname + " sent malformed results (" + ap + ")");
        co_return;
    }
    int i = 0;
    std::string json = tv_json(schema_, act, true, res, n, i);
    mgmt_wire::free_tag_values(res, n);
    mgmt_wire::writer out(MGMT_OP_REPLY, xid);
    out.str(json);
    send(*c, out.finish());
}

// ---------------------------------------------------------------- status

std::string agent::status_json()
{
    auto id_or_null = [](uint64_t id) { return id == 0 ? std::string("null") : std::to_string(id); };
    auto names = [](const auto &m, uint64_t daemon) {
        std::string out = "[";
        for (const auto &[name, p] : m) {
            if (p.daemon == daemon) {
                out += (out.size() > 1 ? "," : "") + json_str(name);
            }
        }
        return out + "]";
    };
    auto sub_json = [&](const subscription &s) {
        return "{\"point\":" + std::to_string(s.point) + ",\"connection\":" + std::to_string(s.conn) +
               ",\"path\":" + json_str(s.text) + ",\"type\":\"" + sub_type_name(s.type) +
               "\",\"priority\":" + std::to_string(s.priority) + "}";
    };
    std::string daemons;
    std::string sessions;
    size_t live = 0;
    for (const auto &[id, c] : conns_) {
        if (c->dead) {
            continue;
        }
        live++;
        if (c->kind == MGMT_CONN_CONTROL) {
            std::string subs;
            for (const auto &[point, s] : subs_) {
                auto it = conns_.find(s.conn);
                if (it != conns_.end() && it->second->pid == c->pid) {
                    subs += (subs.empty() ? "" : ",") + sub_json(s);
                }
            }
            daemons += (daemons.empty() ? "" : ",");
            daemons += "{\"id\":" + std::to_string(id) + ",\"name\":" + json_str(c->name) +
                       ",\"pid\":" + std::to_string(c->pid) + ",\"callpoints\":" + names(callpoints_, id) +
                       ",\"actionpoints\":" + names(actionpoints_, id) + ",\"streams\":" + names(streams_, id) +
                       ",\"subscriptions\":[" + subs + "]}";
        }
        if (c->kind == MGMT_CONN_CDB_DATA && c->db != 0) {
            sessions += (sessions.empty() ? "" : ",");
            sessions += "{\"connection\":" + std::to_string(id) + ",\"name\":" + json_str(c->name) +
                        ",\"db\":\"" + (c->db == CDB_OPERATIONAL ? "operational" : "running") +
                        "\",\"lock\":" + (c->locked ? "true" : "false") + "}";
        }
    }
    std::string subs;
    for (const auto &[point, s] : subs_) {
        subs += (subs.empty() ? "" : ",") + sub_json(s);
    }
    return "{\"phase\":" + std::to_string(phase_) + ",\"port\":" + std::to_string(opt_.port) +
           ",\"connections\":" + std::to_string(live) + ",\"commits\":" + std::to_string(commits_) +
           ",\"daemons\":[" + daemons + "],\"subscriptions\":[" + subs + "],\"sessions\":[" + sessions +
           "],\"locks\":{\"running\":" + id_or_null(lock_holder_[0]) +
           ",\"operational\":" + id_or_null(lock_holder_[1]) + "},\"notifications\":{\"received\":" +
           std::to_string(notif_count_) + ",\"buffered\":" + std::to_string(notifs_.size()) + "}}";
}

// ---------------------------------------------------------------- operator requests

void agent::cli_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    switch (r.op()) {
    case MGMT_OP_CLI_GET_CONFIG: {
        std::string text;
        if (!r.str(text)) {
            bad_frame(c, "CLI_GET_CONFIG");
            return;
        }
        agent_path p;
        std::string err;
        if (parse_path(schema_, text, 0, &p, &err) != CONFD_OK) {
            reply_err(c, xid, CONFD_ERR_BADPATH, err);
            return;
        }
        std::string json;
        result res = store_.print(store_.running(), p.steps.empty() ? nullptr : &p, &json);
        if (!res.ok()) {
            reply_err(c, xid, res.code, res.text);
            return;
        }
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.str(json);
        send(c, w.finish());
        return;
    }
    case MGMT_OP_CLI_COMMIT: {
        uint32_t n = 0;
        if (!r.list(n)) {
            bad_frame(c, "CLI_COMMIT");
            return;
        }
        std::vector<commit_edit> edits;
        std::optional<result> refused;
        for (uint32_t k = 0; k < n; k++) {
            uint32_t parts = 0;
            int64_t op = 0;
            std::string path;
            std::string value;
            if (!r.list(parts) || parts != 3 || !r.i64(op) || !r.str(path) || !r.str(value)) {
                bad_frame(c, "CLI_COMMIT");
                return;
            }
            commit_edit e;
            e.op = static_cast<int>(op);
            e.value = std::move(value);
            std::string err;
            if (refused) {
                continue;
            }
            if (op < MGMT_EDIT_SET || op > MGMT_EDIT_CREATE) {
                refused = result::error(CONFD_ERR_PROTOUSAGE, "no edit operation " + std::to_string(op));
            } else if (parse_path(schema_, path, 0, &e.path, &err) != CONFD_OK) {
                refused = result::error(CONFD_ERR_BADPATH, err);
            }
            edits.push_back(std::move(e));
        }
        if (refused) {
            reply_err(c, xid, refused->code, refused->text);
            return;
        }
        if (phase_ < 2) {
            reply_err(c, xid, CONFD_ERR_UNAVAILABLE,
                      "configuration commits are refused before start phase 2 (the agent is in phase " +
                          std::to_string(phase_) + ")");
            return;
        }
        run_commit(c.id, xid, std::move(edits));
        return;
    }
    case MGMT_OP_CLI_GET_OPER: {
        std::string text;
        int64_t flags = 0;
        if (!r.str(text) || !r.i64(flags)) {
            bad_frame(c, "CLI_GET_OPER");
            return;
        }
        agent_path p;
        std::string err;
        if (parse_path(schema_, text, 0, &p, &err, true) != CONFD_OK) {
            reply_err(c, xid, CONFD_ERR_BADPATH, err);
            return;
        }
        run_get_oper(c.id, xid, std::move(p), static_cast<int>(flags));
        return;
    }
    case MGMT_OP_CLI_COMMAND: {
        std::string ap;
        uint32_t n = 0;
        if (!r.str(ap) || !r.list(n)) {
            bad_frame(c, "CLI_COMMAND");
            return;
        }
        std::vector<std::string> argv(n);
        for (uint32_t k = 0; k < n; k++) {
            if (!r.str(argv[k])) {
                bad_frame(c, "CLI_COMMAND");
                return;
            }
        }
        run_command(c.id, xid, std::move(ap), std::move(argv));
        return;
    }
    case MGMT_OP_CLI_ACTION: {
        std::string ap;
        uint32_t n = 0;
        if (!r.str(ap) || !r.list(n)) {
            bad_frame(c, "CLI_ACTION");
            return;
        }
        std::vector<std::pair<std::string, std::string>> params(n);
        for (uint32_t k = 0; k < n; k++) {
            uint32_t parts = 0;
            if (!r.list(parts) || parts != 2 || !r.str(params[k].first) || !r.str(params[k].second)) {
                bad_frame(c, "CLI_ACTION");
                return;
            }
        }
        run_action(c.id, xid, std::move(ap), std::move(params));
        return;
    }
    case MGMT_OP_CLI_NOTIFS: {
        std::string stream;
        int64_t follow = 0;
        if (!r.str(stream) || !r.i64(follow)) {
            bad_frame(c, "CLI_NOTIFS");
            return;
        }
        c.follow_xid = xid;
        for (const notif_entry &e : notifs_) {
            if (stream.empty() || stream == e.stream) {
                send_notif_line(c, e);
            }
        }
        if (follow != 0) {
            c.following = true;
            c.follow_stream = stream;
        } else {
            reply_ok(c, xid);
        }
        return;
    }
    case MGMT_OP_CLI_PHASE: {
        int64_t phase = 0;
        if (!r.i64(phase)) {
            bad_frame(c, "CLI_PHASE");
            return;
        }
        request_phase(c, xid, phase);
        return;
    }
    case MGMT_OP_CLI_STATUS: {
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.str(status_json());
        send(c, w.finish());
        return;
    }
    case MGMT_OP_CLI_MODULES: {
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.list(static_cast<uint32_t>(schema_.modules().size()));
        for (const module_info &m : schema_.modules()) {
            std::ifstream f(m.file);
            std::stringstream text;
            text << f.rdbuf();
            w.list(2);
            w.str(m.mod->name).str(text.str());
        }
        send(c, w.finish());
        return;
    }
    default:
        unsupported(c, xid, r.op());
        return;
    }
}

}  // namespace mgmtd
