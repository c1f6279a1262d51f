#include "mgmtd_agent.h"

#include <event2/buffer.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/rand.h>

#include <cstring>

#include "ost_log.h"

#ifndef MGMTD_YANG_DIR
#define MGMTD_YANG_DIR "yang"
#endif

namespace mgmtd {

namespace {

// Output a peer leaves unread beyond this is a peer that stopped reading.
constexpr size_t k_max_output = 64u << 20;

const char *kind_name(int kind)
{
    switch (kind) {
    case MGMT_CONN_CONTROL:
        return "control";
    case MGMT_CONN_WORKER:
        return "worker";
    case MGMT_CONN_CDB_DATA:
        return "cdb";
    case MGMT_CONN_SUBSCRIPTION:
        return "subscription";
    case MGMT_CONN_MAAPI:
        return "maapi";
    case MGMT_CONN_NOTIFICATION:
        return "notification";
    case MGMT_CONN_CLI:
        return "cli";
    default:
        return "new";
    }
}

}  // namespace

result peer_failure(const peer_reply &rep, const std::string &daemon, const std::string &what)
{
    const std::string who = daemon.empty() ? std::string("the daemon") : "daemon " + daemon;
    switch (rep.status) {
    case peer_reply::timeout:
        return result::error(CONFD_ERR_TIMEOUT, who + " did not answer in time (" + what + ")");
    case peer_reply::error:
        return result::error(rep.code > 0 ? rep.code : CONFD_ERR_EXTERNAL,
                             rep.text.empty() ? who + " failed (" + what + ")" : rep.text);
    case peer_reply::gone:
        return result::error(CONFD_ERR_EXTERNAL, who + " went away (" + what + ")");
    default:
        return {};
    }
}

const char *default_yang_dir()
{
    return MGMTD_YANG_DIR;
}

agent::agent(event_base *base, const schema &s, store &st, options opt)
    : base_(base), schema_(s), store_(st), opt_(std::move(opt))
{
    phase_ = opt_.start_phase;
    post_ev_.reset(event_new(base_, -1, 0, post_cb, this));
}

agent::~agent()
{
    shutdown();
}

void agent::shutdown()
{
    if (stopping_) {
        return;
    }
    stopping_ = true;
    listener_.reset();
    // Close without resuming anyone: the procedures are destroyed below,
    // and nothing may resume them afterwards.
    for (auto &[id, c] : conns_) {
        c->dead = true;
        for (auto &r : c->requests) {
            r->timer.reset();
        }
        c->requests.clear();
        c->queue.clear();
        c->sub_timer.reset();
        c->bev.reset();
    }
    for (auto &w : lock_waiters_) {
        w.clear();
    }
    posted_.clear();
    commit_waiters_.clear();
    for (bufferevent *b : lingering_) {
        bufferevent_free(b);
    }
    lingering_.clear();
    destroy_roots();
    conns_.clear();
    graveyard_.clear();
    for (notif_entry &e : notifs_) {
        for (confd_tag_value_t &tv : e.values) {
            confd_free_value(&tv.v);
        }
    }
    notifs_.clear();
    post_ev_.reset();
}

bool agent::listen(int fd)
{
    // The listener accepts until the socket has no more: it must not block.
    evutil_make_socket_nonblocking(fd);
    listener_.reset(evconnlistener_new(base_, accept_cb, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC, -1, fd));
    return listener_ != nullptr;
}

void agent::accept_cb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    evutil_make_socket_nonblocking(fd);
    // Every exchange is a small frame and its answer: a frame held back
    // until the peer acknowledges the one before it (Nagle) would wait for
    // the peer's delayed acknowledgement, some 40 ms, as a subscriber's next
    // notification right after the reply to its sync did.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bufferevent *bev = bufferevent_socket_new(self->base_, fd, BEV_OPT_CLOSE_ON_FREE);
    if (bev == nullptr) {
        evutil_closesocket(fd);
        OST_LOGF(LOG_ERR, "cannot serve a new connection: out of memory");
        return;
    }
    self->add_conn(bev_ptr(bev), nullptr);
    bufferevent_setcb(bev, read_cb, nullptr, event_cb, self);
    bufferevent_enable(bev, EV_READ);
}

uint64_t agent::attach(std::string *sink)
{
    return add_conn(nullptr, sink).id;
}

conn &agent::add_conn(bev_ptr bev, std::string *sink)
{
    auto c = std::make_unique<conn>();
    c->owner = this;
    c->id = next_conn_++;
    c->bev = std::move(bev);
    c->sink = sink;
    c->nonce.resize(MGMT_NONCE_LEN);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(c->nonce.data()), MGMT_NONCE_LEN) != 1) {
        // No randomness: a proof can still not be replayed across agents
        // without the secret, but say so.
        OST_LOGF(LOG_WARNING, "no random bytes for the challenge of connection %llu",
                 static_cast<unsigned long long>(c->id));
    }
    conn &ref = *c;
    conns_[c->id] = std::move(c);
    mgmt_wire::writer w(MGMT_OP_CHALLENGE, 0);
    w.bytes(ref.nonce);
    send(ref, w.finish());
    return ref;
}

conn *agent::find(uint64_t id)
{
    auto it = conns_.find(id);
    return it == conns_.end() || it->second->dead ? nullptr : it->second.get();
}

void agent::read_cb(bufferevent *bev, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    for (auto &[id, c] : self->conns_) {
        if (c->bev.get() == bev) {
            conn &cc = *c;
            evbuffer *in = bufferevent_get_input(bev);
            char buf[16384];
            int n;
            while (!cc.dead && (n = evbuffer_remove(in, buf, sizeof(buf))) > 0) {
                cc.in.append(buf, static_cast<size_t>(n));
                self->process(cc);
            }
            return;
        }
    }
}

void agent::event_cb(bufferevent *bev, short what, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    if ((what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) == 0) {
        return;
    }
    for (auto &[id, c] : self->conns_) {
        if (c->bev.get() == bev) {
            self->close_conn(*c, (what & BEV_EVENT_EOF) != 0 ? "closed by the peer" : "socket error");
            return;
        }
    }
}

void agent::feed(uint64_t id, const void *data, size_t n)
{
    conn *c = find(id);
    if (c == nullptr) {
        return;
    }
    c->in.append(data, n);
    process(*c);
}

void agent::process(conn &c)
{
    std::span<const uint8_t> body;
    while (!c.dead && c.in.next(body)) {
        dispatch(c, body);
    }
    if (!c.dead && c.in.error()) {
        close_conn(c, "frame length out of range");
    }
}

void agent::send(conn &c, std::string frame)
{
    if (c.dead) {
        return;
    }
    if (c.sink != nullptr) {
        c.sink->append(frame);
        return;
    }
    if (!c.bev) {
        return;
    }
    if (evbuffer_get_length(bufferevent_get_output(c.bev.get())) > k_max_output) {
        close_conn(c, "it leaves its input unread");
        return;
    }
    // No peer reads a frame beyond the protocol's limit: a reply that
    // large is refused in its place; anything else ends the connection,
    // whose peer would otherwise wait for it for good.
    if (frame.size() > MGMT_WIRE_MAX_FRAME + 4u) {
        const auto op = static_cast<mgmt_op>(frame[4]);
        uint32_t xid = 0;
        for (int i = 5; i < 9; i++) {
            xid = xid << 8 | static_cast<uint8_t>(frame[i]);
        }
        const std::string why = "a frame of " + std::to_string(frame.size() - 4) + " bytes is beyond the limit of " +
                                std::to_string(MGMT_WIRE_MAX_FRAME);
        if (op != MGMT_OP_REPLY) {
            close_conn(c, why);
            return;
        }
        mgmt_wire::writer w(MGMT_OP_ERROR, xid);
        w.i64(CONFD_ERR_INTERNAL).str("the reply is too large (" + why + "): ask for less at a time");
        frame = w.finish();
    }
    bufferevent_write(c.bev.get(), frame.data(), frame.size());
}

void agent::send_to(uint64_t id, std::string frame)
{
    if (conn *c = find(id)) {
        send(*c, std::move(frame));
    }
}

void agent::reply_ok(conn &c, uint32_t xid)
{
    mgmt_wire::writer w(MGMT_OP_REPLY, xid);
    send(c, w.finish());
}

void agent::reply_err(conn &c, uint32_t xid, int code, const std::string &text)
{
    mgmt_wire::writer w(MGMT_OP_ERROR, xid);
    w.i64(code).str(text);
    send(c, w.finish());
}

void agent::reply_err_to(uint64_t id, uint32_t xid, int code, const std::string &text)
{
    if (conn *c = find(id)) {
        reply_err(*c, xid, code, text);
    }
}

void agent::bad_frame(conn &c, const char *what)
{
    close_conn(c, std::string("malformed ") + what + " frame");
}

void agent::unsupported(conn &c, uint32_t xid, mgmt_op op)
{
    char text[96];
    snprintf(text, sizeof(text), "op 0x%02x is not served on a %s connection", static_cast<unsigned>(op),
             kind_name(c.kind));
    reply_err(c, xid, CONFD_ERR_PROTOUSAGE, text);
}

const std::string &agent::daemon_name(uint64_t daemon)
{
    auto it = conns_.find(daemon);
    return it == conns_.end() ? no_name_ : it->second->name;
}

// ---------------------------------------------------------------- posting

void agent::post(std::function<void()> fn)
{
    if (stopping_ || !post_ev_) {
        return;
    }
    posted_.push_back(std::move(fn));
    event_active(post_ev_.get(), 0, 0);
}

void agent::resume_later(std::coroutine_handle<> h)
{
    post([h] { h.resume(); });
}

void agent::post_cb(evutil_socket_t, short, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    self->graveyard_.clear();
    std::deque<std::function<void()>> run;
    run.swap(self->posted_);
    for (auto &fn : run) {
        if (self->stopping_) {
            return;
        }
        fn();
    }
}

void agent::gate_done(const std::shared_ptr<gate> &g)
{
    if (--g->left == 0 && g->waiter) {
        std::coroutine_handle<> h = g->waiter;
        g->waiter = nullptr;
        resume_later(h);
    }
}

void agent::release_commit()
{
    if (!commit_waiters_.empty()) {
        std::coroutine_handle<> h = commit_waiters_.front();
        commit_waiters_.pop_front();
        resume_later(h);
        return;
    }
    commit_busy_ = false;
}

// ---------------------------------------------------------------- requests to peers

bool agent::enqueue_request(uint64_t conn_id, std::string frame, std::coroutine_handle<> h, peer_reply *out)
{
    conn *c = find(conn_id);
    if (c == nullptr || stopping_) {
        out->status = peer_reply::gone;
        return false;
    }
    auto r = std::make_unique<out_request>();
    r->owner = this;
    r->conn = conn_id;
    if (c->next_xid == 0) {
        c->next_xid = 1;
    }
    r->xid = c->next_xid++;
    for (int i = 0; i < 4 && frame.size() >= 9; i++) {
        frame[5 + i] = static_cast<char>(r->xid >> (24 - 8 * i));
    }
    r->frame = std::move(frame);
    r->waiter = h;
    r->out = out;
    r->timer.reset(evtimer_new(base_, request_timeout_cb, r.get()));
    timeval tv{opt_.reply_timeout_ms / 1000, (opt_.reply_timeout_ms % 1000) * 1000};
    evtimer_add(r->timer.get(), &tv);
    c->requests.push_back(std::move(r));
    send_next_request(*c);
    return true;
}

void agent::send_next_request(conn &c)
{
    // One request outstanding per connection: the library serves its
    // socket one request at a time.
    if (c.requests.empty() || c.requests.front()->sent) {
        return;
    }
    c.requests.front()->sent = true;
    send(c, c.requests.front()->frame);
}

void agent::request_timeout_cb(evutil_socket_t, short, void *arg)
{
    auto *r = static_cast<out_request *>(arg);
    r->owner->on_request_timeout(r);
}

void agent::on_request_timeout(out_request *r)
{
    conn *c = find(r->conn);
    if (c == nullptr) {
        return;
    }
    for (auto it = c->requests.begin(); it != c->requests.end(); ++it) {
        if (it->get() == r) {
            std::unique_ptr<out_request> mine = std::move(*it);
            c->requests.erase(it);
            OST_LOGF(LOG_WARNING, "%s connection %llu (%s) did not answer request %u within %d ms", kind_name(c->kind),
                     static_cast<unsigned long long>(c->id), c->name.c_str(), mine->xid, opt_.reply_timeout_ms);
            // A late reply to it is ignored: its xid is no longer waited for.
            send_next_request(*c);
            mine->out->status = peer_reply::timeout;
            mine->waiter.resume();
            return;
        }
    }
}

void agent::peer_reply_in(conn &c, mgmt_wire::reader &r, std::span<const uint8_t> body)
{
    for (auto it = c.requests.begin(); it != c.requests.end(); ++it) {
        out_request &q = **it;
        if (!q.sent || q.xid != r.xid()) {
            continue;
        }
        std::unique_ptr<out_request> mine = std::move(*it);
        c.requests.erase(it);
        mine->timer.reset();
        if (r.op() == MGMT_OP_REPLY) {
            mine->out->status = peer_reply::ok;
            mine->out->body.assign(reinterpret_cast<const char *>(body.data()), body.size());
        } else {
            int64_t code = 0;
            std::string text;
            if (!r.i64(code) || !r.str(text)) {
                code = CONFD_ERR_EXTERNAL;
                text = "a malformed error reply";
            }
            mine->out->status = peer_reply::error;
            mine->out->code = static_cast<int>(code);
            mine->out->text = text;
        }
        send_next_request(c);
        mine->waiter.resume();
        return;
    }
    // A reply to a request that timed out: its waiter has moved on.
}

// ---------------------------------------------------------------- handshake and dispatch

void agent::hello(conn &c, mgmt_wire::reader &r)
{
    int64_t version = 0;
    int64_t kind = 0;
    int64_t daemon = 0;
    int64_t pid = 0;
    std::string name;
    std::string_view proof;
    if (!r.i64(version) || !r.i64(kind) || !r.str(name) || !r.i64(daemon) || !r.bytes(proof) || !r.i64(pid)) {
        bad_frame(c, "HELLO");
        return;
    }
    const uint32_t xid = r.xid();
    if (version != MGMT_PROTO_VERSION) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "protocol version " + std::to_string(version) + " is not served");
        close_conn(c, "wrong protocol version");
        return;
    }
    if (kind < MGMT_CONN_CONTROL || kind > MGMT_CONN_CLI) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "unknown connection kind " + std::to_string(kind));
        close_conn(c, "unknown connection kind");
        return;
    }
    if (opt_.has_secret) {
        if (!mgmt_wire::hello_proof_ok(opt_.secret, c.nonce, proof)) {
            reply_err(c, xid, CONFD_ERR_ACCESS_DENIED, "access denied: the IPC secret was not proven");
            close_conn(c, proof.empty() ? "no IPC secret proof" : "wrong IPC secret proof");
            return;
        }
    }
    c.kind = static_cast<mgmt_conn_kind>(kind);
    c.name = name.substr(0, 255);
    c.pid = pid;
    if (c.kind == MGMT_CONN_WORKER) {
        conn *ctl = find(static_cast<uint64_t>(daemon));
        if (ctl == nullptr || ctl->kind != MGMT_CONN_CONTROL) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "no daemon has id " + std::to_string(daemon));
            close_conn(c, "worker of an unknown daemon");
            return;
        }
        c.daemon = ctl->id;
    } else if (c.kind == MGMT_CONN_CONTROL) {
        c.daemon = c.id;
    }
    c.hello = true;
    mgmt_wire::writer w(MGMT_OP_REPLY, xid);
    w.i64(static_cast<int64_t>(c.id)).i64(phase_);
    send(c, w.finish());
    OST_LOGF(LOG_DEBUG, "connection %llu: %s of %s (pid %lld)", static_cast<unsigned long long>(c.id),
             kind_name(c.kind), c.name.c_str(), static_cast<long long>(c.pid));
}

void agent::dispatch(conn &c, std::span<const uint8_t> body)
{
    if (!mgmt_wire::check_body(body)) {
        close_conn(c, "malformed frame");
        return;
    }
    mgmt_wire::reader r(body);
    if (!c.hello) {
        if (r.op() != MGMT_OP_HELLO) {
            close_conn(c, "a frame before HELLO");
            return;
        }
        hello(c, r);
        return;
    }
    const mgmt_op op = r.op();
    if (op == MGMT_OP_REPLY || op == MGMT_OP_ERROR) {
        peer_reply_in(c, r, body);
        return;
    }
    if (op == MGMT_OP_HELLO || op == MGMT_OP_CHALLENGE) {
        close_conn(c, "a second handshake");
        return;
    }
    if (op == MGMT_OP_SCHEMA_GET && c.kind != MGMT_CONN_SUBSCRIPTION && c.kind != MGMT_CONN_NOTIFICATION &&
        c.kind != MGMT_CONN_WORKER) {
        maapi_op(c, r);
        return;
    }
    switch (c.kind) {
    case MGMT_CONN_CONTROL:
        control_op(c, r);
        break;
    case MGMT_CONN_WORKER:
        worker_op(c, r);
        break;
    case MGMT_CONN_CDB_DATA:
        cdb_op(c, r);
        break;
    case MGMT_CONN_SUBSCRIPTION:
        sub_op(c, r);
        break;
    case MGMT_CONN_MAAPI:
        maapi_op(c, r);
        break;
    case MGMT_CONN_NOTIFICATION:
        notif_op(c, r);
        break;
    case MGMT_CONN_CLI:
        cli_op(c, r);
        break;
    }
}

// ---------------------------------------------------------------- going away

void agent::close_conn(conn &c, const std::string &why)
{
    if (c.dead) {
        return;
    }
    c.dead = true;
    OST_LOGF(c.hello ? LOG_INFO : LOG_NOTICE, "%s connection %llu (%s, pid %lld) closed: %s", kind_name(c.kind),
             static_cast<unsigned long long>(c.id), c.name.empty() ? "-" : c.name.c_str(),
             static_cast<long long>(c.pid), why.c_str());
    cleanup(c);
    // Requests waiting for this peer fail now; their procedures resume
    // from the loop, not from inside whatever closed the connection.
    for (auto &r : c.requests) {
        r->timer.reset();
        r->out->status = peer_reply::gone;
        resume_later(r->waiter);
    }
    c.requests.clear();
    linger(std::move(c.bev));
    auto it = conns_.find(c.id);
    if (it != conns_.end()) {
        graveyard_.push_back(std::move(it->second));
        conns_.erase(it);
        post([] {});  // the graveyard is emptied by the next posted run
    }
}

void agent::linger(bev_ptr bev)
{
    // The last frames (an ERROR that explains the close) still go out.
    if (!bev || stopping_ || evbuffer_get_length(bufferevent_get_output(bev.get())) == 0) {
        return;
    }
    bufferevent *b = bev.release();
    bufferevent_disable(b, EV_READ);
    bufferevent_setcb(b, nullptr, linger_write_cb, linger_event_cb, this);
    lingering_.insert(b);
}

void agent::linger_write_cb(bufferevent *bev, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
        self->lingering_.erase(bev);
        bufferevent_free(bev);
    }
}

void agent::linger_event_cb(bufferevent *bev, short, void *arg)
{
    auto *self = static_cast<agent *>(arg);
    self->lingering_.erase(bev);
    bufferevent_free(bev);
}

void agent::cleanup(conn &c)
{
    switch (c.kind) {
    case MGMT_CONN_CONTROL: {
        drop_registrations(c.id);
        std::vector<conn *> workers;
        for (auto &[id, w] : conns_) {
            if (!w->dead && w->kind == MGMT_CONN_WORKER && w->daemon == c.id) {
                workers.push_back(w.get());
            }
        }
        for (conn *w : workers) {
            close_conn(*w, "its daemon's control connection closed");
        }
        break;
    }
    case MGMT_CONN_CDB_DATA:
        end_session(c);
        for (auto &q : lock_waiters_) {
            for (auto it = q.begin(); it != q.end();) {
                it = (*it)->conn == c.id ? q.erase(it) : it + 1;
            }
        }
        break;
    case MGMT_CONN_SUBSCRIPTION: {
        for (auto it = subs_.begin(); it != subs_.end();) {
            it = it->second.conn == c.id ? subs_.erase(it) : std::next(it);
        }
        c.sub_timer.reset();
        std::deque<delivery> q;
        q.swap(c.queue);
        c.busy = false;
        sub_outcome dropped;
        dropped.kind = sub_outcome::dropped;
        for (delivery &d : q) {
            if (d.done) {
                d.done(dropped);
            }
        }
        break;
    }
    case MGMT_CONN_MAAPI:
        std::erase_if(phase_waiters_, [&](const phase_waiter &w) { return w.conn == c.id; });
        break;
    default:
        break;
    }
}

}  // namespace mgmtd
