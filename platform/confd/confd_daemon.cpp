// The dispatch of the agent's requests to a daemon's callbacks, and the
// reply each request gets.
#include <cstdlib>
#include <cstring>

#include "confd_daemon_priv.h"

using namespace confd_impl;

namespace {

void fill_uinfo(confd_user_info &u, confd_daemon_ctx *dx, int64_t usid, std::string_view user,
                std::string_view context)
{
    u = confd_user_info{};
    copy_name(u.username, sizeof(u.username), user);
    copy_name(u.context, sizeof(u.context), context);
    u.usid = static_cast<int>(usid);
    u.proto = context == "cli" ? CONFD_PROTO_CLI : CONFD_PROTO_UNKNOWN;
    u.actx.fd = -1;
    u.actx.dx = dx;
    u.msock = -1;
}

class server {
public:
    server(confd_daemon_ctx *dx, conn &c, mgmt_wire::reader &r) : dx_(dx), p_(*dx->priv), c_(c), r_(r) {}

    int serve();

private:
    int error_reply(int code, std::string_view text);
    int empty_reply();
    int malformed() { return error_reply(CONFD_ERR_PROTOUSAGE, "malformed request"); }
    // Runs before and after a callback: the reply bookkeeping.
    void begin_callback();
    bool end_serving();
    int end_callback(int ret, int err_code, std::string_view what, bool reply_empty);

    int trans_init();
    int action_init();
    int trans_finish();
    int data(mgmt_op op);
    int validate();
    int action_command();
    int action_run();
    trans_entry *transaction(int64_t th);

    confd_daemon_ctx *dx_;
    confd_daemon_private &p_;
    conn &c_;
    mgmt_wire::reader &r_;
};

int server::error_reply(int code, std::string_view text)
{
    mgmt_wire::writer w(MGMT_OP_ERROR, r_.xid());
    w.i64(code).str(text);
    return send_reply_to(c_.fd, r_.xid(), w);
}

int server::empty_reply()
{
    mgmt_wire::writer w(MGMT_OP_REPLY, r_.xid());
    return send_reply_to(c_.fd, r_.xid(), w);
}

void server::begin_callback()
{
    callback_error().clear();
    std::lock_guard<std::mutex> g(c_.write_mu);
    c_.serving = true;
    c_.serving_xid = r_.xid();
    c_.replied = false;
}

// The request is no longer being served; whether it was answered.
bool server::end_serving()
{
    std::lock_guard<std::mutex> g(c_.write_mu);
    c_.serving = false;
    return c_.replied;
}

// After the callback: a failed one gets an ERROR with its error text when it
// did not answer; a successful one that did not answer gets an empty REPLY
// when reply_empty, else the ERROR "no reply". CONFD_DELAYED_RESPONSE
// leaves the answer to the daemon.
int server::end_callback(int ret, int err_code, std::string_view what, bool reply_empty)
{
    bool replied = end_serving();
    if (ret == CONFD_DELAYED_RESPONSE || replied) {
        return ret == CONFD_ERR ? fail(CONFD_ERR_EXTERNAL, callback_error()) : CONFD_OK;
    }
    int r;
    if (ret == CONFD_ERR) {
        std::string text = callback_error().empty() ? std::string(what) + " failed" : callback_error();
        r = error_reply(err_code, text);
        if (r == CONFD_OK) {
            r = fail(CONFD_ERR_EXTERNAL, text);
        }
        return r;
    }
    if (reply_empty) {
        return empty_reply();
    }
    lib_log(CONFD_DEBUG, "%s returned without a reply", std::string(what).c_str());
    return error_reply(CONFD_ERR_INTERNAL, "no reply");
}

trans_entry *server::transaction(int64_t th)
{
    auto it = p_.trans_by_th.find(th);
    return it == p_.trans_by_th.end() ? nullptr : it->second.get();
}

int server::trans_init()
{
    int64_t th, usid;
    std::string user, context;
    if (!r_.i64(th) || !r_.i64(usid) || !r_.str(user) || !r_.str(context)) {
        return malformed();
    }
    auto e = std::make_unique<trans_entry>();
    fill_uinfo(e->uinfo, dx_, usid, user, context);
    e->tctx.fd = -1;
    e->tctx.thandle = static_cast<int>(th);
    e->tctx.dx = dx_;
    e->tctx.uinfo = &e->uinfo;
    e->tctx.xid = static_cast<int>(r_.xid());
    int (*init)(confd_trans_ctx *) = nullptr;
    if (p_.has_trans) {
        init = p_.trans.init;
    } else if (p_.has_validate) {
        init = p_.validate.init;
    }
    int ret = CONFD_OK;
    callback_error().clear();
    if (init != nullptr) {
        ret = init(&e->tctx);
    } else if (p_.workers.size() == 1) {
        // Nothing to decide: the one worker serves it.
        e->tctx.fd = p_.workers[0];
    }
    if (ret != CONFD_OK) {
        std::string text = callback_error().empty() ? "transaction init failed" : callback_error();
        error_reply(CONFD_ERR_EXTERNAL, text);
        return fail(CONFD_ERR_EXTERNAL, text);
    }
    conn_ptr w = is_worker(p_, e->tctx.fd) ? conn_find(e->tctx.fd) : nullptr;
    if (w == nullptr) {
        return error_reply(CONFD_ERR_PROTOUSAGE, "the transaction was bound to no worker socket");
    }
    mgmt_wire::writer out(MGMT_OP_REPLY, r_.xid());
    out.i64(w->id);
    p_.trans_by_th[th] = std::move(e);
    return send_reply_to(c_.fd, r_.xid(), out);
}

int server::action_init()
{
    int64_t usid;
    std::string user, context, point;
    if (!r_.i64(usid) || !r_.str(user) || !r_.str(context) || !r_.str(point)) {
        return malformed();
    }
    auto it = p_.actions.find(point);
    if (it == p_.actions.end()) {
        return error_reply(CONFD_ERR_UNAVAILABLE, "no action point " + point);
    }
    auto e = std::make_unique<action_entry>();
    fill_uinfo(e->uinfo, dx_, usid, user, context);
    e->uinfo.actx.xid = static_cast<int>(r_.xid());
    callback_error().clear();
    int ret = CONFD_OK;
    if (it->second.init != nullptr) {
        ret = it->second.init(&e->uinfo);
    } else if (p_.workers.size() == 1) {
        e->uinfo.actx.fd = p_.workers[0];
    }
    if (ret != CONFD_OK) {
        std::string text = callback_error().empty() ? "action init failed" : callback_error();
        error_reply(CONFD_ERR_EXTERNAL, text);
        return fail(CONFD_ERR_EXTERNAL, text);
    }
    conn_ptr w = is_worker(p_, e->uinfo.actx.fd) ? conn_find(e->uinfo.actx.fd) : nullptr;
    if (w == nullptr) {
        return error_reply(CONFD_ERR_PROTOUSAGE, "the action was bound to no worker socket");
    }
    mgmt_wire::writer out(MGMT_OP_REPLY, r_.xid());
    out.i64(w->id);
    p_.pending_actions[{usid, point}] = std::move(e);
    return send_reply_to(c_.fd, r_.xid(), out);
}

int server::trans_finish()
{
    int64_t th;
    if (!r_.i64(th)) {
        return malformed();
    }
    auto it = p_.trans_by_th.find(th);
    if (it == p_.trans_by_th.end()) {
        return empty_reply();  // nothing left to finish
    }
    std::unique_ptr<trans_entry> e = std::move(it->second);
    p_.trans_by_th.erase(it);
    e->tctx.xid = static_cast<int>(r_.xid());
    begin_callback();
    int ret = CONFD_OK;
    if (p_.has_trans && p_.trans.finish != nullptr) {
        ret = p_.trans.finish(&e->tctx);
    } else if (!p_.has_trans && p_.has_validate && p_.validate.stop != nullptr) {
        ret = p_.validate.stop(&e->tctx);
    }
    return end_callback(ret, CONFD_ERR_EXTERNAL, "transaction finish", true);
}

int server::data(mgmt_op op)
{
    int64_t th;
    std::string point;
    confd_hkeypath_t kp;
    kp.len = 0;
    if (!r_.i64(th) || !r_.str(point) || !r_.keypath(kp)) {
        return malformed();
    }
    int64_t arg = -1, type = 0;
    std::vector<confd_value_t> keys;
    bool ok = true;
    if (op == MGMT_OP_DATA_GET_NEXT_OBJECT || op == MGMT_OP_DATA_GET_NEXT) {
        ok = r_.i64(arg);
    } else if (op == MGMT_OP_DATA_FIND_NEXT_OBJECT) {
        uint32_t n = 0;
        ok = r_.i64(type) && r_.list(n) && n < MAXKEYLEN;
        for (uint32_t i = 0; ok && i < n; i++) {
            confd_value_t v;
            ok = r_.value(v);
            if (ok) {
                keys.push_back(v);
            }
        }
    }
    auto release = [&] {
        mgmt_wire::free_keypath(kp);
        for (confd_value_t &v : keys) {
            confd_free_value(&v);
        }
    };
    if (!ok) {
        release();
        return malformed();
    }
    trans_entry *e = transaction(th);
    auto it = p_.data.find(point);
    int r;
    if (e == nullptr) {
        r = error_reply(CONFD_ERR_BADSTATE, format("no transaction %lld", static_cast<long long>(th)));
    } else if (it == p_.data.end()) {
        r = error_reply(CONFD_ERR_UNAVAILABLE, "no callpoint " + point);
    } else {
        const confd_data_cbs &cb = it->second;
        confd_trans_ctx *t = &e->tctx;
        t->xid = static_cast<int>(r_.xid());
        int ret = CONFD_ERR;
        bool served = true;
        begin_callback();
        switch (op) {
        case MGMT_OP_DATA_GET_OBJECT:
            served = cb.get_object != nullptr;
            if (served) {
                ret = cb.get_object(t, &kp);
            }
            break;
        case MGMT_OP_DATA_GET_NEXT_OBJECT:
            served = cb.get_next_object != nullptr;
            if (served) {
                ret = cb.get_next_object(t, &kp, static_cast<long>(arg));
            }
            break;
        case MGMT_OP_DATA_FIND_NEXT_OBJECT:
            served = cb.find_next_object != nullptr;
            if (served) {
                ret = cb.find_next_object(t, &kp, static_cast<int>(type), keys.empty() ? nullptr : keys.data(),
                                          static_cast<int>(keys.size()));
            }
            break;
        case MGMT_OP_DATA_GET_ELEM:
            served = cb.get_elem != nullptr;
            if (served) {
                ret = cb.get_elem(t, &kp);
            }
            break;
        default:
            served = cb.get_next != nullptr;
            if (served) {
                ret = cb.get_next(t, &kp, static_cast<long>(arg));
            }
            break;
        }
        if (!served) {
            end_serving();
            r = error_reply(CONFD_ERR_UNAVAILABLE, "callpoint " + point + " does not serve this request");
        } else {
            r = end_callback(ret, CONFD_ERR_EXTERNAL, "data callback of " + point, false);
        }
    }
    release();
    return r;
}

int server::validate()
{
    int64_t th;
    std::string point;
    confd_hkeypath_t kp;
    kp.len = 0;
    confd_value_t v{};
    if (!r_.i64(th) || !r_.str(point) || !r_.keypath(kp) || !r_.value(v)) {
        mgmt_wire::free_keypath(kp);
        return malformed();
    }
    trans_entry *e = transaction(th);
    auto it = p_.valpoints.find(point);
    int r;
    if (e == nullptr) {
        r = error_reply(CONFD_ERR_BADSTATE, format("no transaction %lld", static_cast<long long>(th)));
    } else if (it == p_.valpoints.end() || it->second.validate == nullptr) {
        r = error_reply(CONFD_ERR_UNAVAILABLE, "no validation point " + point);
    } else {
        e->tctx.xid = static_cast<int>(r_.xid());
        begin_callback();
        int ret = it->second.validate(&e->tctx, &kp, &v);
        r = end_callback(ret, CONFD_ERR_INCONSISTENT_VALUE, "validation of " + point, true);
    }
    mgmt_wire::free_keypath(kp);
    confd_free_value(&v);
    return r;
}

int server::action_command()
{
    int64_t usid;
    std::string point, path;
    uint32_t n = 0;
    if (!r_.i64(usid) || !r_.str(point) || !r_.str(path) || !r_.list(n)) {
        return malformed();
    }
    std::vector<std::string> args(n);
    for (uint32_t i = 0; i < n; i++) {
        if (!r_.str(args[i])) {
            return malformed();
        }
    }
    auto it = p_.actions.find(point);
    if (it == p_.actions.end() || it->second.command == nullptr) {
        return error_reply(CONFD_ERR_UNAVAILABLE, "no command at action point " + point);
    }
    std::unique_ptr<action_entry> e;
    auto pend = p_.pending_actions.find({usid, point});
    if (pend != p_.pending_actions.end()) {
        e = std::move(pend->second);
        p_.pending_actions.erase(pend);
    } else {
        e = std::make_unique<action_entry>();
        fill_uinfo(e->uinfo, dx_, usid, "", "cli");
    }
    e->uinfo.actx.fd = c_.fd;
    e->uinfo.actx.xid = static_cast<int>(r_.xid());
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    begin_callback();
    int ret = it->second.command(&e->uinfo, path.data(), static_cast<int>(n), argv.data());
    return end_callback(ret, CONFD_ERR_EXTERNAL, "command " + point, true);
}

int server::action_run()
{
    int64_t usid, tag, ns;
    std::string point;
    confd_hkeypath_t kp;
    kp.len = 0;
    confd_tag_value_t *params = nullptr;
    int nparams = 0;
    if (!r_.i64(usid) || !r_.str(point) || !r_.i64(tag) || !r_.i64(ns) || !r_.keypath(kp) ||
        !r_.tag_values(&params, &nparams)) {
        mgmt_wire::free_keypath(kp);
        return malformed();
    }
    auto it = p_.actions.find(point);
    int r;
    if (it == p_.actions.end() || it->second.action == nullptr) {
        r = error_reply(CONFD_ERR_UNAVAILABLE, "no action at action point " + point);
    } else {
        std::unique_ptr<action_entry> e;
        auto pend = p_.pending_actions.find({usid, point});
        if (pend != p_.pending_actions.end()) {
            e = std::move(pend->second);
            p_.pending_actions.erase(pend);
        } else {
            e = std::make_unique<action_entry>();
            fill_uinfo(e->uinfo, dx_, usid, "", "cli");
        }
        e->uinfo.actx.fd = c_.fd;
        e->uinfo.actx.xid = static_cast<int>(r_.xid());
        xml_tag name{static_cast<uint32_t>(tag), static_cast<uint32_t>(ns)};
        begin_callback();
        int ret = it->second.action(&e->uinfo, &name, &kp, params, nparams);
        // An action that answers nothing has no results.
        if (ret == CONFD_OK && !end_serving()) {
            mgmt_wire::writer w(MGMT_OP_REPLY, r_.xid());
            w.list(0);
            r = send_reply_to(c_.fd, r_.xid(), w);
        } else {
            r = end_callback(ret, CONFD_ERR_EXTERNAL, "action " + point, false);
        }
    }
    mgmt_wire::free_keypath(kp);
    mgmt_wire::free_tag_values(params, nparams);
    return r;
}

int server::serve()
{
    const bool control = c_.fd == p_.ctl_fd;
    const mgmt_op op = r_.op();
    if (op == MGMT_OP_REPLY || op == MGMT_OP_ERROR) {
        lib_log(CONFD_DEBUG, "unexpected reply xid %u on %d", r_.xid(), c_.fd);
        return CONFD_OK;
    }
    if (control) {
        switch (op) {
        case MGMT_OP_TRANS_INIT:
            return trans_init();
        case MGMT_OP_ACTION_INIT:
            return action_init();
        default:
            break;
        }
    } else {
        switch (op) {
        case MGMT_OP_TRANS_FINISH:
            return trans_finish();
        case MGMT_OP_DATA_GET_OBJECT:
        case MGMT_OP_DATA_GET_NEXT_OBJECT:
        case MGMT_OP_DATA_FIND_NEXT_OBJECT:
        case MGMT_OP_DATA_GET_ELEM:
        case MGMT_OP_DATA_GET_NEXT:
            return data(op);
        case MGMT_OP_VALIDATE:
            return validate();
        case MGMT_OP_ACTION_COMMAND:
            return action_command();
        case MGMT_OP_ACTION_RUN:
            return action_run();
        default:
            break;
        }
    }
    return error_reply(CONFD_ERR_PROTOUSAGE,
                       format("op 0x%02x is not served on a %s socket", op, control ? "control" : "worker"));
}

}  // namespace

namespace confd_impl {

std::string &callback_error()
{
    thread_local std::string text;
    return text;
}

int send_reply_to(int fd, uint32_t xid, mgmt_wire::writer &w)
{
    conn_ptr c = conn_find(fd);
    if (c == nullptr) {
        return failf(CONFD_ERR_PROTOUSAGE, "socket %d is not connected", fd);
    }
    {
        std::lock_guard<std::mutex> g(c->write_mu);
        if (c->serving && c->serving_xid == xid) {
            if (c->replied) {
                return fail(CONFD_ERR_PROTOUSAGE, "the request has been answered already");
            }
            c->replied = true;
        }
    }
    return conn_send(*c, w.finish());
}

}  // namespace confd_impl

extern "C" {
int confd_fd_ready(struct confd_daemon_ctx *dx, int fd)
{
    if (dx == nullptr || dx->priv == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no daemon handle");
    }
    confd_daemon_private &p = *dx->priv;
    conn_ptr c = conn_find(fd);
    if (c == nullptr || (fd != p.ctl_fd && !is_worker(p, fd))) {
        return failf(CONFD_ERR_PROTOUSAGE, "socket %d is not a socket of this daemon", fd);
    }
    int filled = conn_fill(*c);
    if (filled == CONFD_ERR) {
        return CONFD_ERR;
    }
    // Serve every whole request buffered: the socket may not turn readable
    // again for one that already arrived.
    int result = CONFD_OK;
    std::string body;
    while (conn_buffered(*c, body)) {
        mgmt_wire::reader r = body_reader(body);
        if (!r.ok()) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed frame from the agent");
        }
        int rr = server(dx, *c, r).serve();
        if (rr == CONFD_EOF) {
            return CONFD_EOF;
        }
        if (rr != CONFD_OK && result == CONFD_OK) {
            result = rr;
        }
    }
    if (c->rx.error()) {
        return fail(CONFD_ERR_PROTOUSAGE, "malformed frame from the agent");
    }
    if (filled == CONFD_EOF) {
        return CONFD_EOF;
    }
    return result;
}

}  // extern "C"
