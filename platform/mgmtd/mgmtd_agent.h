// The management agent: one libevent loop serving every connection of
// daemons (control, worker, CDB, subscription, MAAPI, notification) and
// operators (CLI) over the wire protocol of confd_proto.h.
//
// Nothing blocks: every wait on a peer (a daemon's reply, a subscriber's
// sync, a lock) is a pending state with the reply timeout, and a peer that
// goes takes only its own state with it. The multi-step procedures
// (operational reads, commits, commands, triggers) are coroutines that
// await peer replies; their results go to the operator's connection if it
// is still there.
#pragma once

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include <coroutine>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "confd_wire.h"
#include "mgmtd_changes.h"
#include "mgmtd_path.h"
#include "mgmtd_schema.h"
#include "mgmtd_store.h"
#include "mgmtd_task.h"

namespace mgmtd {

struct options {
    int port = 4565;
    std::string db_dir = "/var/lib/mgmtd";
    std::string yang_dir;
    std::string secret;  // the IPC secret's bytes
    bool has_secret = false;
    int start_phase = 2;
    int reply_timeout_ms = 10000;
};

// The compiled-in YANG directory (the source tree's yang/).
const char *default_yang_dir();

struct event_deleter {
    void operator()(event *e) const { event_free(e); }
};
struct bev_deleter {
    void operator()(bufferevent *b) const { bufferevent_free(b); }
};
struct listener_deleter {
    void operator()(evconnlistener *l) const { evconnlistener_free(l); }
};
using event_ptr = std::unique_ptr<event, event_deleter>;
using bev_ptr = std::unique_ptr<bufferevent, bev_deleter>;
using listener_ptr = std::unique_ptr<evconnlistener, listener_deleter>;

// What became of a request the agent sent to a peer.
struct peer_reply {
    enum status_t { ok, error, timeout, gone } status = gone;
    std::string body;  // REPLY: the frame body (op, xid, fields)
    int code = 0;      // ERROR: the peer's code and text
    std::string text;
};

class agent;

// The operator's error for a daemon's failed reply: TIMEOUT when it did not
// answer in time, EXTERNAL when it went or failed (with its text).
struct peer_reply;
struct result;
result peer_failure(const peer_reply &rep, const std::string &daemon, const std::string &what);

// A request of the agent to a peer, waiting for its reply.
struct out_request {
    agent *owner = nullptr;
    uint64_t conn = 0;
    uint32_t xid = 0;
    std::string frame;
    std::coroutine_handle<> waiter;
    peer_reply *out = nullptr;
    event_ptr timer;
    bool sent = false;
};

// How a subscriber ended a notification.
struct sub_outcome {
    enum kind_t { synced, aborted, dropped } kind = dropped;
    int code = 0;
    std::string text;
};

// One notification for one subscription socket (its points at once).
struct delivery {
    int type = 0;  // cdb_sub_notification
    int flags = 0;
    std::vector<int> points;
    std::shared_ptr<const change_set> changes;
    std::function<void(const sub_outcome &)> done;
};

struct subscription {
    int point = 0;
    uint64_t conn = 0;
    int type = 0;  // cdb_sub_type
    int priority = 0;
    uint32_t ns = 0;
    agent_path path;
    std::string text;
};

// Waiting for a number of events (subscribers' syncs).
struct gate {
    int left = 0;
    std::coroutine_handle<> waiter;
};

struct conn {
    agent *owner = nullptr;
    uint64_t id = 0;
    bev_ptr bev;
    std::string *sink = nullptr;  // a connection without a socket: output goes here
    bool hello = false;
    bool dead = false;
    mgmt_conn_kind kind{};
    std::string nonce;
    std::string name;
    int64_t pid = 0;
    uint64_t daemon = 0;  // WORKER: its control connection
    mgmt_wire::frame_buffer in{MGMT_WIRE_MAX_REQUEST};
    uint32_t next_xid = 1;
    std::deque<std::unique_ptr<out_request>> requests;
    // CONTROL: registrations made before REG_DONE (kind, name)
    std::vector<std::pair<int, std::string>> regs;
    // CDB_DATA: the session's database (0: none) and whether it holds the lock
    int db = 0;
    bool locked = false;
    // SUBSCRIPTION
    bool sub_done = false;
    std::deque<delivery> queue;
    bool busy = false;
    event_ptr sub_timer;
    // NOTIFICATION
    int notif_mask = 0;
    // CLI
    uint32_t cmd_xid = 0;
    bool following = false;
    uint32_t follow_xid = 0;
    std::string follow_stream;
};

// A registered point: the daemon (control connection) serving it.
struct reg_point {
    uint64_t daemon = 0;
    int64_t mask = 0;
};

enum reg_kind { REG_CALLPOINT = 1, REG_ACTIONPOINT = 2, REG_STREAM = 3, REG_VALPOINT = 4 };

struct lock_waiter {
    agent *owner = nullptr;
    uint64_t conn = 0;
    uint32_t xid = 0;
    int db = 0;
    event_ptr timer;
};

struct phase_waiter {
    uint64_t conn = 0;
    uint32_t xid = 0;
    int phase = 0;
};

struct notif_entry {
    std::string stream;
    confd_datetime time{};
    std::vector<confd_tag_value_t> values;  // owned payloads
    std::string json;
};

struct commit_edit {
    int op = 0;  // mgmt_edit_op
    agent_path path;
    std::string value;
};

class agent : public root_registry {
public:
    // The agent serves on base with the loaded schema and store.
    agent(event_base *base, const schema &s, store &st, options opt);
    ~agent();

    // Serves the bound, listening socket fd (the agent owns it). False
    // when libevent cannot take it.
    bool listen(int fd);
    // A connection without a socket whose output is appended to *sink
    // (tests and the fuzz target). Returns its id; the CHALLENGE is in
    // *sink at once.
    uint64_t attach(std::string *sink);
    // Bytes that arrived on such a connection.
    void feed(uint64_t id, const void *data, size_t n);
    // Closes every connection and ends every procedure. The agent serves
    // nothing afterwards.
    void shutdown();
    int phase() const { return phase_; }
    const options &opts() const { return opt_; }

    // ---- used by the procedures (coroutines) and the connection code
    struct call_awaiter {
        agent *a;
        uint64_t conn;
        std::string frame;
        peer_reply result;
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> h) { return a->enqueue_request(conn, std::move(frame), h, &result); }
        peer_reply await_resume() { return std::move(result); }
    };
    // Sends a request (a finished frame; its xid is set here) to a peer and
    // resumes with its reply, a timeout, or the peer gone. Await a named
    // awaiter: g++ 12 destroys class temporaries that live across a
    // co_await twice.
    call_awaiter call(uint64_t conn, std::string frame) { return call_awaiter{this, conn, std::move(frame), {}}; }

    struct gate_awaiter {
        std::shared_ptr<gate> g;
        bool await_ready() const noexcept { return g->left <= 0; }
        void await_suspend(std::coroutine_handle<> h) { g->waiter = h; }
        void await_resume() {}
    };
    void gate_done(const std::shared_ptr<gate> &g);

    struct commit_lock_awaiter {
        agent *a;
        bool await_ready() noexcept
        {
            if (!a->commit_busy_) {
                a->commit_busy_ = true;
                return true;
            }
            return false;
        }
        void await_suspend(std::coroutine_handle<> h) { a->commit_waiters_.push_back(h); }
        void await_resume() {}
    };
    void release_commit();

    // The state of one operational read (mgmtd_oper.cpp).
    struct oper_read;
    struct oper_pos;

private:
    friend struct call_awaiter;
    // connections (mgmtd_agent.cpp)
    static void accept_cb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg);
    static void read_cb(bufferevent *bev, void *arg);
    static void event_cb(bufferevent *bev, short what, void *arg);
    static void post_cb(evutil_socket_t, short, void *arg);
    static void linger_write_cb(bufferevent *bev, void *arg);
    static void linger_event_cb(bufferevent *bev, short what, void *arg);
    void linger(bev_ptr bev);
    static void request_timeout_cb(evutil_socket_t, short, void *arg);
    conn &add_conn(bev_ptr bev, std::string *sink);
    void process(conn &c);
    void dispatch(conn &c, std::span<const uint8_t> body);
    void hello(conn &c, mgmt_wire::reader &r);
    void peer_reply_in(conn &c, mgmt_wire::reader &r, std::span<const uint8_t> body);
    void close_conn(conn &c, const std::string &why);
    void cleanup(conn &c);
    conn *find(uint64_t id);
    void post(std::function<void()> fn);
    void resume_later(std::coroutine_handle<> h);
    bool enqueue_request(uint64_t conn_id, std::string frame, std::coroutine_handle<> h, peer_reply *out);
    void send_next_request(conn &c);
    void on_request_timeout(out_request *r);
    void bad_frame(conn &c, const char *what);
    void unsupported(conn &c, uint32_t xid, mgmt_op op);

  public:
    void send(conn &c, std::string frame);
    void send_to(uint64_t id, std::string frame);
    void reply_ok(conn &c, uint32_t xid);
    void reply_err(conn &c, uint32_t xid, int code, const std::string &text);
    void reply_err_to(uint64_t id, uint32_t xid, int code, const std::string &text);
    const std::string &daemon_name(uint64_t daemon);

  private:
    // control, phases, MAAPI (mgmtd_agent.cpp)
    void control_op(conn &c, mgmt_wire::reader &r);
    void maapi_op(conn &c, mgmt_wire::reader &r);
    void set_phase(int phase);
    // A peer's request to move to phase: refused (the reply says why) when
    // there is no such phase or the agent is past it, else done and acked.
    void request_phase(conn &c, uint32_t xid, int64_t phase);
    void drop_registrations(uint64_t daemon);

    // CDB data sessions and locks (mgmtd_cdb.cpp)
    void cdb_op(conn &c, mgmt_wire::reader &r);
    void start_session(conn &c, uint32_t xid, int db, int flags);
    void end_session(conn &c);
    void grant_locks(int lock_index);
    static void lock_timeout_cb(evutil_socket_t, short, void *arg);
    const lyd_node *read_tree(const conn &c, const lysc_node *target) const;
    void oper_write(conn &c, uint32_t xid, mgmt_op op, const agent_path &p, const confd_value_t *v,
                    const std::string *text);

    // subscriptions, commits, triggers (mgmtd_subs.cpp)
    void sub_op(conn &c, mgmt_wire::reader &r);
    void deliver(uint64_t conn_id, delivery d);
    void pump(conn &c);
    void finish_delivery(conn &c, const sub_outcome &o);
    static void sub_timeout_cb(evutil_socket_t, short, void *arg);
    void notify_oper(const lysc_node *target, const lyd_node *before, const lyd_node *after);
    bool overlaps(const agent_path &sub, const lysc_node *target) const;
    root_task run_commit(uint64_t cli, uint32_t xid, std::vector<commit_edit> edits);
    root_task run_trigger(uint64_t from, uint32_t xid, bool oper, int flags, std::vector<int> points);
    task<void> notify_group(std::map<uint64_t, std::vector<int>> socks, int type, int flags,
                            std::shared_ptr<const change_set> cs, std::vector<sub_outcome> *outcomes,
                            std::vector<uint64_t> *synced);

    // operational reads (mgmtd_oper.cpp)
    root_task run_get_oper(uint64_t cli, uint32_t xid, agent_path p, int flags);
    // The positions are the callers' named locals: they outlive the awaited step.
    task<void> oper_walk(oper_read &rd, const agent_path &p, size_t i, const oper_pos &pos);
    task<void> oper_expand(oper_read &rd, const lysc_node *sn, const oper_pos &pos, bool inside);
    // The instances of a served list; with prefix, only those whose first
    // keys are these (found from the first at or after them).
    task<std::vector<lyd_node *>> oper_list(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                            const std::vector<std::string> *prefix = nullptr);
    task<lyd_node *> oper_object(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                 const std::vector<std::string> &keys);
    task<bool> oper_trans(oper_read &rd, uint64_t daemon);
    bool oper_check(oper_read &rd, const peer_reply &rep, uint64_t daemon, const std::string &what);
    std::vector<lyd_node *> oper_plain(oper_read &rd, const lysc_node *sn, const oper_pos &pos,
                                       const std::vector<std::string> *keys);
    lyd_node *oper_add(oper_read &rd, const lysc_node *sn, const oper_pos &pos, const confd_tag_value_t *tv, int n);
    bool has_callpoint_below(const lysc_node *sn);
    std::string callpoint_for(const lysc_node *sn, const oper_pos &pos) const;

    // operator requests, commands, actions, notifications (mgmtd_cli.cpp)
    void cli_op(conn &c, mgmt_wire::reader &r);
    void worker_op(conn &c, mgmt_wire::reader &r);
    void notif_op(conn &c, mgmt_wire::reader &r);
    root_task run_command(uint64_t cli, uint32_t xid, std::string ap, std::vector<std::string> argv);
    root_task run_action(uint64_t cli, uint32_t xid, std::string ap,
                         std::vector<std::pair<std::string, std::string>> params);
    void add_notification(notif_entry e);
    void send_notif_line(conn &c, const notif_entry &e);
    std::string status_json();

    event_base *base_;
    const schema &schema_;
    store &store_;
    options opt_;
    int phase_ = 2;
    bool stopping_ = false;
    listener_ptr listener_;
    event_ptr post_ev_;
    std::deque<std::function<void()>> posted_;
    std::map<uint64_t, std::unique_ptr<conn>> conns_;
    std::vector<std::unique_ptr<conn>> graveyard_;
    std::set<bufferevent *> lingering_;  // closed connections still sending their last frames
    uint64_t next_conn_ = 1;

    std::map<std::string, reg_point> callpoints_;
    std::map<std::string, reg_point> actionpoints_;
    std::multimap<std::string, reg_point> streams_;  // shared: every daemon may send on a stream
    std::map<std::string, reg_point> valpoints_;

    std::map<int, subscription> subs_;
    int next_point_ = 1;
    bool commit_busy_ = false;
    std::deque<std::coroutine_handle<>> commit_waiters_;
    lyd_node *pending_tree_ = nullptr;  // the configuration being committed
    uint64_t commits_ = 0;

    // locks: index 0 the running configuration, 1 the operational store
    uint64_t lock_holder_[2] = {0, 0};
    std::deque<std::unique_ptr<lock_waiter>> lock_waiters_[2];
    std::vector<phase_waiter> phase_waiters_;

    std::deque<notif_entry> notifs_;
    uint64_t notif_count_ = 0;
    size_t notif_bytes_ = 0;
    int64_t next_th_ = 1;
    std::map<const lysc_node *, bool> cp_below_;
    std::string no_name_;
};

}  // namespace mgmtd
