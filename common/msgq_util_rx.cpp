// The message queue's readers. A registered, non-blocking connection reads
// what its socket holds with one recv per read event into the instance's
// read buffer and cuts messages out of it; a message cut short stays in the
// receive state (its header in rx_hdr, its body in a buffer of its exact
// size) until the rest comes. Blocking handles and connections that have not
// registered read exactly the bytes of the piece they are in, so that they
// never take bytes that are not theirs to take.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>

#include "msgq_util_priv.h"

using namespace msgq_priv;

namespace {

enum class rx_step { more, stop };

// One run of a read callback over a handle's stream.
struct rx_pass {
    msgq_handle_t *h;
    evutil_socket_t fd;
    uint32_t gen;  // the connection the pass serves
    timespec start{};
    // The last recv: its result and errno (0 when the peer closed).
    int rc = 0;
    int err = 0;
    bool fair_stop = false;  // delivery stopped on the fairness rule

    rx_pass(msgq_handle_t *handle, evutil_socket_t sock) : h(handle), fd(sock), gen(handle->conn_gen)
    {
        timer_clock_now(&start);
    }
    bool gone() const { return h->free_pending || h->conn_gen != gen; }
    uint16_t hdrlen() const { return msgq_hdr_len(h); }
};

// The header is complete: the body phase begins with a buffer of size bytes
// that starts with the header bytes already read. When no buffer can be had
// the body cannot be skipped (there is nothing to read it into), so the
// stream cannot be followed: that connection is closed and the result is false.
bool msgq_rx_begin_body(msgq_handle_t *h, uint16_t hdrlen, uint16_t size, evutil_socket_t fd)
{
    auto *buf = static_cast<uint8_t *>(h->cbs.alloc_msg(size));
    if (buf == nullptr) {
        h->stats.alloc_failed++;
        MSGQ_ERR("Failed to allocate %u bytes for a message, closing fd '%d'", size, fd);
        msgq_reject_stream(h);
        return false;
    }
    memcpy(buf, h->rx_hdr, hdrlen);
    memset(h->rx_hdr, 0, sizeof(h->rx_hdr));
    h->rx_buf = buf;
    h->rx_size = size;
    h->stats.msg_allocs++;
    return true;
}

// An ordinary header is complete in rx_hdr.
rx_step rx_msghdr_done(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    const uint16_t hdrlen = p.hdrlen();
    msgq_hdr_t hdr;
    memcpy(&hdr, h->rx_hdr, sizeof(hdr));
    MSGQ_LOG("Header: use_app_header %d Src: %s,Tgt: %s, type: %d, size: %u, retval: %d", h->use_app_header,
             module_name(hdr.src), module_name(hdr.tgt), hdr.type, hdr.size, p.rc);
    if (hdr.type == MSGQ_MSG_TYPE_REGISTER) {
        if (h->in_tmp_list) {
            msgq_handle_register_msg(h, &hdr);
            return rx_step::stop;
        }
        // A registered connection has nothing to register: the peer is out
        // of step with the protocol, so that connection ends.
        MSGQ_ERR_IN("msgq_read_msghdr_cb", "Register message from %s on a registered connection, closing fd '%d'",
                    module_name(hdr.src), p.fd);
        msgq_reject_stream(h);
        return rx_step::stop;
    }
    if (h->in_tmp_list) {
        // A connection that has not registered has no handle and no
        // callbacks to deliver to: it ends.
        MSGQ_ERR_IN("msgq_read_msghdr_cb", "Message of type %d before registration, closing fd '%d'", hdr.type, p.fd);
        msgq_reject_stream(h);
        return rx_step::stop;
    }
    if (hdr.size <= hdrlen) {
        // The header is consumed and nothing else: the next header begins
        // at the following byte.
        h->rx_offset = 0;
        MSGQ_ERR_IN("msgq_read_msghdr_cb",
                    "Bad message size (%d). Must be more than (%d). Magic1 (%d)Dropping the message on fd '%d'",
                    hdr.size, hdrlen, hdr.magic1, p.fd);
        return rx_step::more;
    }
    if (!msgq_rx_begin_body(h, hdrlen, hdr.size, p.fd)) {
        return rx_step::stop;
    }
    MSGQ_LOG("Attempting to read %d bytes of data from fd: %d", hdr.size, p.fd);
    return rx_step::more;
}

// An application header is complete in rx_hdr.
rx_step rx_apphdr_done(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    const uint16_t app_hdrlen = h->app_hdr_len;
    MSGQ_LOG("Header: Src: %s, Tgt: %s, retval: %d", module_name(h->src), module_name(h->tgt), p.rc);
    const uint8_t off = h->app_size_offset;
    const auto msg_size = static_cast<uint16_t>(h->rx_hdr[off] * 256 + h->rx_hdr[off + 1]);
    if (msg_size <= app_hdrlen) {
        // A length that does not cover the application header leaves no way
        // to find the next message: that connection ends.
        MSGQ_ERR_IN("msgq_read_apphdr_cb", "Bad message size (%d). Must be more than (%d). Closing fd '%d'", msg_size,
                    app_hdrlen, p.fd);
        msgq_reject_stream(h);
        return rx_step::stop;
    }
    return msgq_rx_begin_body(h, app_hdrlen, msg_size, p.fd) ? rx_step::more : rx_step::stop;
}

// The message in the receive buffer is complete: the receive state is
// cleared and the message handed to recv_msg. The reader goes on with the
// next message when the handle and its connection outlived the callback,
// the handle is not blocking (it reads the one reply to its send; reading
// on would block until the peer sends again) and the message did not
// complete MSGQ_FAIRNESS_MS or more after the pass began.
rx_step rx_body_done(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    const uint16_t offset = static_cast<uint16_t>(app_offset(h));
    if (!h->use_app_header) {
        MSGQ_LOG("Read %d bytes of data from fd: %d", h->rx_size, p.fd);
    }
    uint8_t *msg = h->rx_buf;
    const uint16_t size = h->rx_size;
    h->rx_buf = nullptr;
    h->rx_size = 0;
    h->rx_offset = 0;
    h->stats.rx_msg++;
    h->cbs.recv_msg(h, msg + offset, static_cast<uint16_t>(size - offset), h->user_arg);
    if (p.gone() || h->blocking) {
        return rx_step::stop;
    }
    if (elapsed_ms(p.start) >= MSGQ_FAIRNESS_MS) {
        p.fair_stop = true;
        return rx_step::stop;
    }
    return rx_step::more;
}

rx_step rx_piece_done(rx_pass &p, bool header)
{
    if (!header) {
        return rx_body_done(p);
    }
    return p.h->use_app_header ? rx_apphdr_done(p) : rx_msghdr_done(p);
}

// Cuts n bytes of the stream into messages; the bytes consumed. Fewer than
// n only when delivery stopped (fairness rule, the connection or handle
// gone, a stream that cannot be followed).
size_t rx_feed(rx_pass &p, const uint8_t *data, size_t n)
{
    msgq_handle_t *h = p.h;
    const uint16_t hdrlen = p.hdrlen();
    size_t pos = 0;
    while (pos < n) {
        const bool header = h->rx_offset < hdrlen;
        uint8_t *dst = header ? h->rx_hdr : h->rx_buf;
        const size_t need = (header ? hdrlen : h->rx_size) - h->rx_offset;
        const size_t take = std::min(need, n - pos);
        memcpy(dst + h->rx_offset, data + pos, take);
        h->rx_offset = static_cast<uint16_t>(h->rx_offset + take);
        pos += take;
        if (take < need) {
            if (header && !h->use_app_header) {
                MSGQ_LOG("Read fewer bytes (%d) than header bytes to read (%d) on fd '%d'", static_cast<int>(take),
                         static_cast<int>(need), p.fd);
            }
            break;
        }
        if (rx_piece_done(p, header) == rx_step::stop) {
            break;
        }
    }
    return pos;
}

// The bytes the current piece (header or body) still misses.
int rx_missing(const msgq_handle_t *h)
{
    const uint16_t hdrlen = msgq_hdr_len(h);
    return h->rx_offset < hdrlen ? hdrlen - h->rx_offset : h->rx_size - h->rx_offset;
}

// A recv of 0 or less ends the pass: the application-header reader says why
// (unless the socket is merely empty), then the connection goes unless it
// was only empty or interrupted.
void rx_recv_failed(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    if (h->use_app_header && !(p.rc < 0 && p.err == EAGAIN)) {
        if (h->rx_offset < h->app_hdr_len) {
            MSGQ_ERR_IN("msgq_read_apphdr_cb", "Failed to peek %d bytes, errno: %d, read_bytes: %d", rx_missing(h),
                        p.err, p.rc);
        } else {
            MSGQ_ERR_IN("msgq_read_apphdr_cb", "Failed to read %d bytes, errno: %d, read_bytes: %d", rx_missing(h),
                        p.err, p.rc);
        }
    }
    msgq_read_error(h, p.rc, p.err);
}

// Reads the rest of the current piece straight into place, piece after
// piece, until a piece stays incomplete or delivery stops.
void rx_exact(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    const int flags = h->blocking ? MSG_WAITALL : MSG_DONTWAIT;
    const uint16_t hdrlen = p.hdrlen();
    for (;;) {
        const bool header = h->rx_offset < hdrlen;
        uint8_t *dst = (header ? h->rx_hdr : h->rx_buf) + h->rx_offset;
        const int want = rx_missing(h);
        p.rc = static_cast<int>(recv(p.fd, dst, static_cast<size_t>(want), flags));
        if (p.rc <= 0) {
            p.err = p.rc < 0 ? errno : 0;
            rx_recv_failed(p);
            return;
        }
        h->rx_offset = static_cast<uint16_t>(h->rx_offset + p.rc);
        if (p.rc < want) {
            if (header && !h->use_app_header) {
                MSGQ_LOG("Read fewer bytes (%d) than header bytes to read (%d) on fd '%d'", p.rc, want, p.fd);
            }
            return;
        }
        if (rx_piece_done(p, header) == rx_step::stop) {
            return;
        }
    }
}

void rx_resume_cb(evutil_socket_t /*fd*/, short /*events*/, void *arg)
{
    auto *h = static_cast<msgq_handle_t *>(arg);
    msgq_read_cb(h->sock_fd, EV_READ, h);
}

// Keeps data (what a pass read and did not cut because of the fairness
// rule) for the next pass, which the event loop runs once it has served
// the others. False when no memory can be had for it.
bool rx_stash(rx_pass &p, const uint8_t *data, size_t n)
{
    msgq_handle_t *h = p.h;
    auto *stash = static_cast<uint8_t *>(h->cbs.alloc_msg(n));
    if (stash == nullptr) {
        return false;
    }
    if (h->rx_resume_ev == nullptr) {
        h->rx_resume_ev.reset(evtimer_new(h->inst->evbase, rx_resume_cb, h));
    }
    const timeval now{0, 0};
    if (h->rx_resume_ev == nullptr || evtimer_add(h->rx_resume_ev.get(), &now) != 0) {
        h->cbs.free_msg(stash);
        return false;
    }
    memcpy(stash, data, n);
    h->rx_stash = stash;
    h->rx_stash_len = static_cast<uint32_t>(n);
    h->rx_stash_off = 0;
    return true;
}

// Feeds data; what is left when the fairness rule stops delivery is
// stashed, and when it cannot be, delivery goes on past the rule rather
// than losing the bytes. False when the pass ended.
bool rx_feed_all(rx_pass &p, const uint8_t *data, size_t n)
{
    size_t used = rx_feed(p, data, n);
    while (used < n && !p.gone() && p.fair_stop) {
        if (rx_stash(p, data + used, n - used)) {
            return false;
        }
        p.fair_stop = false;
        used += rx_feed(p, data + used, n - used);
    }
    return !p.gone() && used == n;
}

void rx_free_stash(msgq_handle_t *h)
{
    if (h->rx_stash != nullptr) {
        h->cbs.free_msg(h->rx_stash);
        h->rx_stash = nullptr;
    }
    h->rx_stash_len = 0;
    h->rx_stash_off = 0;
}

// A registered, non-blocking connection: first the bytes a previous pass
// left, then one read of the socket.
void rx_batch(rx_pass &p)
{
    msgq_handle_t *h = p.h;
    msgq_inst_t *inst = h->inst;
    if (h->rx_stash != nullptr) {
        // Taken over by this pass: a stash of its own may follow.
        uint8_t *stash = h->rx_stash;
        const uint32_t off = h->rx_stash_off;
        const uint32_t len = h->rx_stash_len;
        h->rx_stash = nullptr;
        h->rx_stash_len = h->rx_stash_off = 0;
        const bool go_on = rx_feed_all(p, stash + off, len - off);
        h->cbs.free_msg(stash);
        if (!go_on || inst->rx_paused) {
            return;
        }
    }
    if (inst->rx_scratch == nullptr) {
        inst->rx_scratch = new (std::nothrow) uint8_t[MSGQ_RX_READ_MAX];
        if (inst->rx_scratch == nullptr) {
            rx_exact(p);
            return;
        }
    }
    p.rc = static_cast<int>(recv(p.fd, inst->rx_scratch, MSGQ_RX_READ_MAX, MSG_DONTWAIT));
    if (p.rc <= 0) {
        p.err = p.rc < 0 ? errno : 0;
        rx_recv_failed(p);
        return;
    }
    inst->rx_scratch_busy = 1;
    (void)rx_feed_all(p, inst->rx_scratch, static_cast<size_t>(p.rc));
    inst->rx_scratch_busy = 0;
}

void rx_run(msgq_handle_t *h, evutil_socket_t fd)
{
    frame guard(h->inst);
    MSGQ_ASSERT(msgq_hdr_len(h) <= sizeof(h->rx_hdr));
    rx_pass p(h, fd);
    // The read buffer is taken while a callback up the stack cuts messages
    // out of it (a blocking handle reads its reply from inside another's
    // receive callback): exact reads need none.
    if (h->blocking || h->in_tmp_list || h->inst->rx_scratch_busy) {
        rx_exact(p);
    } else {
        rx_batch(p);
    }
}

}  // namespace

namespace msgq_priv {

void rx_reset(msgq_handle_t *h)
{
    if (h->rx_buf != nullptr) {
        // Counted like every other freed buffer, so msg_allocs and msg_frees
        // balance once nothing is in flight.
        h->stats.msg_frees++;
        h->cbs.free_msg(h->rx_buf);
        h->rx_buf = nullptr;
    }
    memset(h->rx_hdr, 0, sizeof(h->rx_hdr));
    h->rx_offset = 0;
    h->rx_size = 0;
    rx_free_stash(h);
    h->rx_resume_ev.reset();
}

bool rx_should_listen()
{
    return g_inst == nullptr || !g_inst->rx_paused;
}

void rx_inst_free(msgq_inst_t *inst)
{
    delete[] inst->rx_scratch;
    inst->rx_scratch = nullptr;
}

}  // namespace msgq_priv

// ============================================================ receiving

void msgq_read_cb(evutil_socket_t fd, short events, void *arg)
{
    auto *msgq_p = static_cast<msgq_handle_t *>(arg);
    frame guard(msgq_p->inst);
    // What the receive callback logs about this peer's messages is limited
    // apart from what it logs about the others'.
    ost_log_peer_scope peer(reinterpret_cast<uintptr_t>(msgq_p));
    if (msgq_p->use_app_header) {
        msgq_read_apphdr_cb(fd, events, msgq_p);
    } else {
        msgq_read_msghdr_cb(fd, events, msgq_p);
    }
    // A temporary connection's read event is not persistent. A register
    // message that arrives in pieces is not an error: the event is armed
    // again until the message is whole.
    if (!msgq_p->free_pending && msgq_p->in_tmp_list && msgq_p->read_ev != nullptr) {
        event_add(msgq_p->read_ev.get(), nullptr);
    }
}

void msgq_read_msghdr_cb(evutil_socket_t fd, short /*events*/, void *arg)
{
    rx_run(static_cast<msgq_handle_t *>(arg), fd);
}

void msgq_read_apphdr_cb(evutil_socket_t fd, short /*events*/, void *arg)
{
    rx_run(static_cast<msgq_handle_t *>(arg), fd);
}

void msgq_schedule_read_helper(msgq_handle_t *msgq_p)
{
    uint8_t i = msgq_p->read_helper_idx;
    if (msgq_p->read_helper_scheduled[i] || msgq_p->read_helper_ev[i] == nullptr) {
        return;
    }
    event_active(msgq_p->read_helper_ev[i].get(), EV_READ, 0);
    msgq_p->read_helper_scheduled[i] = 1;
    msgq_p->stats.rx_read_helper_scheduled++;
}

void msgq_read_helper_cb(evutil_socket_t /*fd*/, short /*events*/, void *arg)
{
    auto *msgq_p = static_cast<msgq_handle_t *>(arg);
    frame guard(msgq_p->inst);
    msgq_p->read_helper_scheduled[msgq_p->read_helper_idx] = 0;
    msgq_p->read_helper_idx ^= 1;
    msgq_p->stats.rx_read_helper_cb++;
    if (!msgq_p->down_pending) {
        msgq_read_cb(msgq_p->sock_fd, EV_READ, msgq_p);
    }
}
