// The connection half of the peer: the transport handle, reconnection, and
// every message received printed as JSON or taken into the snapshot.
#include "zor_peer_peer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "msgq_util.h"
#include "ost_event.h"
#include "ost_log.h"
#include "ost_rundir.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_msg.h"
#include "zor_peer_dot.h"
#include "zor_peer_json.h"
#include "zor_peer_script.h"
#include "zor_peer_snapshot.h"

namespace {

void *alloc_msg(size_t size)
{
    return malloc(size);
}

void free_msg(void *p)
{
    free(p);
}

}  // namespace

void zp_peer::cb_tick(evutil_socket_t, short, void *arg)
{
    auto *p = static_cast<zp_peer *>(arg);
    (void)timer_mgr_exec(p->timer_mgr_, 3, 50);
}

bool zp_peer::setup()
{
    if (!opts_.run_dir.empty() && setenv(OST_RUN_DIR_ENV, opts_.run_dir.c_str(), 1) != 0) {
        fprintf(err_, "zor-peer: cannot set %s\n", OST_RUN_DIR_ENV);
        return false;
    }
    ost_log_open("ZOR-PEER", LOG_PID, LOG_LOCAL7, opts_.verbose);
    base_.reset(event_base_new());
    timer_mgr_ = base_ ? timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 3) : nullptr;
    if (timer_mgr_ == nullptr) {
        fprintf(err_, "zor-peer: out of memory\n");
        return false;
    }
    tick_ev_.reset(event_new(base_.get(), -1, EV_PERSIST, cb_tick, this));
    step_ev_.reset(evtimer_new(base_.get(), cb_step, this));
    struct timeval tv = {0, k_tick_ms * 1000};
    if (!tick_ev_ || !step_ev_ || event_add(tick_ev_.get(), &tv) != 0) {
        fprintf(err_, "zor-peer: out of memory\n");
        return false;
    }
    return true;
}

bool zp_peer::open_handle()
{
    msgq_setup_t s = msgq_setup_unix(base_.get(), timer_mgr_);
    s.cbs.conn_up = cb_up;
    s.cbs.conn_down = cb_down;
    s.cbs.recv_msg = cb_recv;
    s.cbs.alloc_msg = alloc_msg;
    s.cbs.free_msg = free_msg;
    handle_ = msgq_init(opts_.module, opts_.target, MSGQ_HANDLE_TYPE_CLIENT, &s.params, &s.cbs, this);
    if (handle_ == nullptr) {
        fprintf(err_, "zor-peer: cannot open a transport handle (module %u, target %u; run directory too long?)\n",
                opts_.module, opts_.target);
        return false;
    }
    path_ = handle_->path;
    connected_ = false;
    want_connected_ = true;
    conn_wait_start_ = zp_now_ms();
    return true;
}

void zp_peer::close_handle()
{
    if (handle_ == nullptr) {
        return;
    }
    closing_ = true;
    msgq_deinit(handle_);
    closing_ = false;
    handle_ = nullptr;
    connected_ = false;
}

void zp_peer::teardown()
{
    close_handle();
    stdin_ev_.reset();
    step_ev_.reset();
    tick_ev_.reset();
    if (timer_mgr_ != nullptr) {
        timer_mgr_destroy(timer_mgr_);
        timer_mgr_ = nullptr;
    }
    base_.reset();
    ost_log_close();
}

void zp_peer::print_msg(const zor_msg_t &msg, const struct timespec &when)
{
    // Path ends are named by the TLOCs received so far: a local TLOC
    // reaches a peer that registered its family before any path through it.
    if (msg.type == ZOR_MSG_TLOC_ADD) {
        tloc_names_[msg.body.tloc.index] = zp_tloc_str(msg.body.tloc.key);
    }
    std::string line = zp_json_msg(msg, &tloc_names_);
    if (msg.type == ZOR_MSG_TLOC_DEL) {
        auto it = tloc_names_.find(msg.body.tloc.index);
        if (it != tloc_names_.end() && it->second == zp_tloc_str(msg.body.tloc.key)) {
            tloc_names_.erase(it);
        }
    }
    line = (opts_.timestamps ? zp_json_with_time(line, when) : line) + "\n";
    fwrite(line.data(), 1, line.size(), out_);
    fflush(out_);
}

void zp_peer::snapshot_take(const zor_msg_t &msg, const struct timespec &when)
{
    if (snap_printed_ || !snap_->take(msg, when)) {
        return;
    }
    snap_printed_ = true;
    struct timespec end;
    clock_gettime(CLOCK_REALTIME, &end);
    const std::string text = opts_.dot ? zp_snapshot_dot(*snap_) : snap_->json(opts_.timestamps, end);
    fwrite(text.data(), 1, text.size(), out_);
    fflush(out_);
    // The markers go at once; the peer ends when they are written.
    queue_messages(snap_->closing());
    script_end_ = 0;
    kick();
}

void zp_peer::on_recv(msgq_handle_t *h, void *app, uint16_t size)
{
    struct timespec when;
    clock_gettime(CLOCK_REALTIME, &when);
    zor_msg_t msg;
    if (zor_msg_decode(&msg, static_cast<const uint8_t *>(app), size) != 0) {
        fprintf(err_, "zor-peer: dropped a message of %u bytes that the codec cannot decode\n", size);
    } else if (snap_) {
        snapshot_take(msg, when);
    } else {
        print_msg(msg, when);
    }
    msgq_free_msg(h, app);
    rx_count_++;
    rx_on_conn_++;
    silent_closes_ = 0;
    last_rx_ = zp_now_ms();
    if (!pending_.empty() && pending_.front().cmd == zp_cmd::wait_count) {
        kick();
    }
}

void zp_peer::on_up()
{
    rx_on_conn_ = 0;
    connected_ = true;
    ever_connected_ = true;
    conn_wait_start_ = 0;
    kick();
}

void zp_peer::on_down()
{
    connected_ = false;
    if (closing_ || !want_connected_) {
        return;
    }
    // zord closes the connection of a module it does not serve as soon as
    // the transport has named it; a served module's connection is closed
    // only for a stream zord cannot follow, or when the module connects
    // again. One silent close may be a zord restarting; two in a row are a
    // refusal, and reconnecting for ever would hide it.
    if (rx_on_conn_ == 0 && ++silent_closes_ >= 2) {
        std::string why = path_ + " closed the connection of module " + ost_module_str(opts_.module) + " (" +
                          std::to_string(opts_.module) + ") twice before sending anything";
        if (opts_.target == OST_MODULE_ZORD) {
            why += ": zord serves advd, xfwd, ctlagent, setkeeper, policyd, probed, mcastd, klxd and "
                   "ctlagent_0-63, and refuses every other module";
        }
        fail(nullptr, ZP_EXIT_REFUSED, why);
        return;
    }
    fprintf(err_, "zor-peer: connection to %s lost; reconnecting\n", path_.c_str());
    conn_wait_start_ = 0;
}

int zp_peer::run()
{
    if (!setup()) {
        teardown();
        return ZP_EXIT_CONNECT;
    }
    if (!load_script()) {
        teardown();
        return ZP_EXIT_SCRIPT;
    }
    if (!open_handle()) {
        teardown();
        return ZP_EXIT_CONNECT;
    }
    run_start_ = zp_now_ms();
    kick();
    event_base_dispatch(base_.get());
    teardown();
    return exit_code_ < 0 ? ZP_EXIT_OK : exit_code_;
}

int zp_run(const zp_options &opts, FILE *out, FILE *err)
{
    zp_peer p(opts, out, err);
    return p.run();
}
