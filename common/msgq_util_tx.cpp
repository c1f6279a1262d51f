// The message queue's sending side: a handle's send queue is a list of
// chunks holding whole messages back to back, exactly as they go on the
// wire, and it leaves with one sendmsg over up to MSGQ_TX_IOV_MAX chunks per
// system call. Nothing is sent while a write event is pending: the socket is
// full then, and a send would only fail. The total of what is queued to all
// handles can pause reading (msgq_set_total_watermarks).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/uio.h>

#include "msgq_util_priv.h"

using namespace msgq_priv;

namespace {

uint64_t g_total_high = 0;  // 0: reading never pauses
uint64_t g_total_low = 0;

uint8_t *chunk_data(msgq_tx_chunk_t *c)
{
    return reinterpret_cast<uint8_t *>(c + 1);
}

// The length of message i of a chunk; the slots grow down from the end of
// the data area.
uint16_t chunk_len(msgq_tx_chunk_t *c, uint32_t i)
{
    uint16_t len;
    memcpy(&len, chunk_data(c) + c->cap - 2 * (i + 1), sizeof(len));
    return len;
}

// Gives back a chunk that is in no queue.
void chunk_free(msgq_handle_t *h, msgq_tx_chunk_t *c)
{
    c->~msgq_tx_chunk_t();
    h->cbs.free_msg(c);
}

bool chunk_fits(const msgq_tx_chunk_t *c, uint32_t total)
{
    return c->frames < UINT16_MAX && c->tail + total + 2u * (c->frames + 1u) <= c->cap;
}

// Adds or removes the read events of every registered handle.
void rx_pause_all(msgq_inst_t *inst, bool pause)
{
    inst->rx_paused = pause ? 1 : 0;
    for (msgq_handle_t &h : inst->reg_msgq_listhead) {
        if (h.read_ev != nullptr) {
            if (pause) {
                event_del(h.read_ev.get());
            } else {
                event_add(h.read_ev.get(), nullptr);
            }
        }
    }
    MSGQ_LOG("Reading %s: %llu bytes queued to peers", pause ? "paused" : "resumed",
             static_cast<unsigned long long>(inst->tx_bytes));
}

void rx_pause_check(msgq_inst_t *inst)
{
    if (!inst->rx_paused && g_total_high != 0 && inst->tx_bytes > g_total_high) {
        rx_pause_all(inst, true);
    } else if (inst->rx_paused && (g_total_high == 0 || inst->tx_bytes <= g_total_low)) {
        rx_pause_all(inst, false);
    }
}

// A handle waiting for its drain notification is held back by its own peer,
// and its queue is bounded by whoever stopped feeding it: its bytes stay out
// of the total, or a few stalled peers would keep reading paused for good and
// every healthy peer would wait for them.
bool tx_counted(const msgq_handle_t *h)
{
    return h->drain_fn == nullptr;
}

void tx_bytes_add(msgq_handle_t *h, uint32_t n)
{
    h->tx_bytes += n;
    if (tx_counted(h)) {
        h->inst->tx_bytes += n;
        rx_pause_check(h->inst);
    }
}

void tx_bytes_sub(msgq_handle_t *h, uint32_t n)
{
    h->tx_bytes -= n;
    if (tx_counted(h)) {
        h->inst->tx_bytes -= n;
        rx_pause_check(h->inst);
    }
}

// Arms (fn set) or disarms the drain notification, moving the handle's bytes
// out of or back into the total.
void tx_drain_set(msgq_handle_t *h, uint32_t low, msgq_drain_fn fn)
{
    const bool was_counted = tx_counted(h);
    h->drain_low = low;
    h->drain_fn = fn;
    if (was_counted != tx_counted(h)) {
        if (was_counted) {
            h->inst->tx_bytes -= h->tx_bytes;
        } else {
            h->inst->tx_bytes += h->tx_bytes;
        }
        rx_pause_check(h->inst);
    }
}

// Room for one message of total bytes at the tail of the queue, counted as
// queued: a pointer to fill, or null when no chunk can be had.
uint8_t *tx_reserve(msgq_handle_t *h, uint32_t total)
{
    msgq_tx_chunk_t *c = h->txq.empty() ? nullptr : &h->txq.back();
    if (c == nullptr || !chunk_fits(c, total)) {
        uint32_t cap = MSGQ_TX_CHUNK_SIZE - sizeof(msgq_tx_chunk_t);
        cap = std::max(cap, (total + 2 + 1) & ~1u);  // a message larger than a chunk gets one of its own
        void *mem = h->cbs.alloc_msg(sizeof(msgq_tx_chunk_t) + cap);
        if (mem == nullptr) {
            return nullptr;
        }
        c = new (mem) msgq_tx_chunk_t();
        c->cap = cap;
        h->txq.push_back(*c);
    }
    const auto len = static_cast<uint16_t>(total);
    memcpy(chunk_data(c) + c->cap - 2 * (c->frames + 1u), &len, sizeof(len));
    uint8_t *p = chunk_data(c) + c->tail;
    c->tail += total;
    c->frames++;
    h->stats.tx_queued++;
    h->stats.tx_queue_cur_length++;
    tx_bytes_add(h, total);
    return p;
}

// n bytes from the head of the queue are on the socket: every message they
// complete is counted as sent (and its buffer as freed), spent chunks go.
void tx_consume(msgq_handle_t *h, size_t n)
{
    tx_bytes_sub(h, static_cast<uint32_t>(n));
    while (n > 0) {
        msgq_tx_chunk_t *c = &h->txq.front();
        const uint32_t take = static_cast<uint32_t>(std::min<size_t>(n, c->tail - c->head));
        c->head += take;
        n -= take;
        while (c->done < c->frames && c->done_end + chunk_len(c, c->done) <= c->head) {
            const uint16_t len = chunk_len(c, c->done);
            c->done_end += len;
            c->done++;
            h->stats.tx_msg++;
            MSGQ_LOG("Sent Message of size %d to target %s", len, module_name(h->tgt));
            h->stats.msg_frees++;
            h->stats.tx_dequeued++;
            h->stats.tx_queue_cur_length--;
        }
        if (c->head == c->tail) {
            h->txq.pop_front();
            chunk_free(h, c);
        }
    }
}

// The length of the message at the head of the queue.
uint32_t tx_head_len(msgq_handle_t *h)
{
    msgq_tx_chunk_t *c = h->txq.empty() ? nullptr : &h->txq.front();
    return c != nullptr && c->done < c->frames ? chunk_len(c, c->done) : 0;
}

// Sends from the head of the queue until it is empty, the socket is full or
// a send fails. Only with no write event pending.
void tx_send(msgq_handle_t *h)
{
    while (!h->txq.empty()) {
        iovec iov[MSGQ_TX_IOV_MAX];
        int count = 0;
        size_t want = 0;
        for (auto it = h->txq.begin(); it != h->txq.end() && count < MSGQ_TX_IOV_MAX; ++it) {
            iov[count].iov_base = chunk_data(&*it) + it->head;
            iov[count].iov_len = it->tail - it->head;
            want += iov[count].iov_len;
            count++;
        }
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = sendmsg(h->sock_fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            const int err = errno;
            // An interrupted send is retried from the write event like a full socket.
            if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
                log_send_error(h, err, tx_head_len(h), "msgq_flush");
                h->stats.tx_fail++;
                h->down_pending = 1;
            } else {
                h->stats.tx_resched++;
            }
            msgq_schedule_write(h);
            return;
        }
        tx_consume(h, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < want) {
            // The socket took what it had room for: the write event says
            // when there is more.
            h->stats.tx_resched++;
            msgq_schedule_write(h);
            return;
        }
    }
}

// A drain notification due after a send.
void tx_notify(msgq_handle_t *h)
{
    if (h->drain_fn != nullptr && h->tx_bytes <= h->drain_low) {
        msgq_drain_fn fn = h->drain_fn;
        tx_drain_set(h, 0, nullptr);
        fn(h, h->user_arg);
    }
}

}  // namespace

namespace msgq_priv {

void tx_queue_free(msgq_handle_t *h)
{
    h->txq.clear_and_dispose([h](msgq_tx_chunk_t *c) {
        h->stats.msg_frees += c->frames - c->done;
        chunk_free(h, c);
    });
    tx_drain_set(h, 0, nullptr);
    h->stats.tx_queued = 0;
    h->stats.tx_dequeued = 0;
    h->stats.tx_queue_cur_length = 0;
    tx_bytes_sub(h, h->tx_bytes);
}

void log_send_error(const msgq_handle_t *h, int err, uint32_t total, const char *fn)
{
    if (h->sock_type == MSGQ_SOCK_TYPE_IPV4) {
        MSGQ_ERR_IN(fn, "Error in sending message to %d, err %d, msg_size is %d", h->tgt, err,
                    static_cast<int>(total));
        if (err == EPIPE) {
            MSGQ_ERR_IN(fn, "BROKEN PIPE");
        }
    }
    MSGQ_LOG("Error in sending message to %d, err %d", h->tgt, err);
}

}  // namespace msgq_priv

// ============================================================ sending

int msgq_write(msgq_handle_t *msgq_p, void *app_p, uint16_t app_size)
{
    if (msgq_p == nullptr || app_p == nullptr) {
        return MSGQ_ERR_INVALID;
    }
    auto *msg = static_cast<uint8_t *>(app_p) - app_offset(msgq_p);
    if (!msgq_p->use_app_header) {
        auto *hdr_p = reinterpret_cast<msgq_hdr_t *>(msg);
        MSGQ_ASSERT((hdr_p->magic1 == MAGIC1) && (hdr_p->magic2 == MAGIC2));
        MSGQ_ASSERT(app_size <= msgq_size_msg_to_app(msgq_p, hdr_p->size));
        hdr_p->src = msgq_p->src;
        hdr_p->tgt = msgq_p->tgt;
        hdr_p->type = MSGQ_MSG_TYPE_DATA;
        hdr_p->size = msgq_size_app_to_msg(msgq_p, app_size);
    }
    // The application pointer of an application-header handle is the buffer
    // start and app_size already counts the application header.
    uint16_t total = msgq_size_app_to_msg(msgq_p, app_size);
    if (!msgq_is_connected(msgq_p)) {
        return MSGQ_ERR_NOT_CONNECTED;
    }
    if (msgq_p->blocking) {
        return msgq_send_blocking(msgq_p, msg, total);
    }
    return msgq_enqueue(msgq_p, msg, total);
}

int msgq_send_blocking(msgq_handle_t *msgq_p, uint8_t *msg, uint16_t total)
{
    frame guard(msgq_p->inst);
    size_t sent = 0;
    int err = 0;
    while (sent < total) {
        ssize_t n = send(msgq_p->sock_fd, msg + sent, total - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : EPIPE;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    if (sent < total) {
        log_send_error(msgq_p, err, total, __func__);
        MSGQ_ASSERT_TEXT(err != EAGAIN && err != EWOULDBLOCK, "FALSE");
        msgq_p->stats.tx_fail++;
        // A blocking handle has no write event to carry the close later, and
        // a partly sent message has put the stream out of step: the
        // connection ends now (the message stays with the caller).
        msgq_close_connection(msgq_p, 1);
        return MSGQ_ERR_AGAIN;
    }
    msgq_p->stats.tx_msg++;
    MSGQ_LOG("Sent Message of size %d to target %s", total, module_name(msgq_p->tgt));
    msgq_p->stats.msg_frees++;
    msgq_p->cbs.free_msg(msg);
    msgq_read_cb(msgq_p->sock_fd, EV_READ, msgq_p);
    return MSGQ_OK;
}

int msgq_enqueue(msgq_handle_t *msgq_p, uint8_t *msg, uint16_t total)
{
    if (msgq_p->max_queue_len != 0 && msgq_p->stats.tx_queue_cur_length >= msgq_p->max_queue_len) {
        msgq_p->stats.tx_queue_failed++;
        return MSGQ_ERR_QUEUE_FULL;
    }
    uint8_t *p = tx_reserve(msgq_p, total);
    if (p == nullptr) {
        msgq_p->stats.tx_queue_failed++;
        return MSGQ_ERR_AGAIN;
    }
    memcpy(p, msg, total);
    MSGQ_LOG("Queued Message of size %d to target %s", total, module_name(msgq_p->tgt));
    // The buffer is counted as freed when its copy has been sent.
    msgq_p->cbs.free_msg(msg);
    msgq_flush(msgq_p);
    return MSGQ_OK;
}

int msgq_enqueue_copy(msgq_handle_t *msgq_p, const void *app_p, uint16_t app_size)
{
    if (msgq_p == nullptr || app_p == nullptr) {
        return MSGQ_ERR_INVALID;
    }
    MSGQ_ASSERT(app_size <= (msgq_p->use_app_header ? MSGQ_MAX_MSG_SIZE : MSGQ_MAX_APP_SIZE));
    if (msgq_p->blocking) {
        void *m = msgq_alloc_msg(msgq_p, app_size);
        if (m == nullptr) {
            return MSGQ_ERR_AGAIN;
        }
        memcpy(m, app_p, app_size);
        const int rc = msgq_write(msgq_p, m, app_size);
        if (rc != MSGQ_OK) {
            msgq_free_msg(msgq_p, m);
        }
        return rc;
    }
    // The counters read as if the message had been allocated, written and,
    // when refused, freed again.
    if (!msgq_is_connected(msgq_p)) {
        msgq_p->stats.msg_allocs++;
        msgq_p->stats.msg_frees++;
        return MSGQ_ERR_NOT_CONNECTED;
    }
    if (msgq_p->max_queue_len != 0 && msgq_p->stats.tx_queue_cur_length >= msgq_p->max_queue_len) {
        msgq_p->stats.msg_allocs++;
        msgq_p->stats.msg_frees++;
        msgq_p->stats.tx_queue_failed++;
        return MSGQ_ERR_QUEUE_FULL;
    }
    const uint16_t total = msgq_size_app_to_msg(msgq_p, app_size);
    uint8_t *p = tx_reserve(msgq_p, total);
    if (p == nullptr) {
        msgq_p->stats.alloc_failed++;
        return MSGQ_ERR_AGAIN;
    }
    msgq_p->stats.msg_allocs++;
    if (!msgq_p->use_app_header) {
        const msgq_hdr_t hdr{MAGIC1, total, msgq_p->src, msgq_p->tgt, MSGQ_MSG_TYPE_DATA, MAGIC2};
        memcpy(p, &hdr, sizeof(hdr));
        p += sizeof(hdr);
    }
    memcpy(p, app_p, app_size);
    MSGQ_LOG("Queued Message of size %d to target %s", total, module_name(msgq_p->tgt));
    return MSGQ_OK;
}

void msgq_flush(msgq_handle_t *msgq_p)
{
    if (msgq_p->sock_fd == -1 || msgq_p->down_pending || msgq_write_pending(msgq_p)) {
        return;
    }
    frame guard(msgq_p->inst);
    tx_send(msgq_p);
    tx_notify(msgq_p);
}

bool msgq_write_pending(const msgq_handle_t *msgq_p)
{
    return msgq_p->write_scheduled[0] || msgq_p->write_scheduled[1];
}

void msgq_schedule_write(msgq_handle_t *msgq_p)
{
    uint8_t i = msgq_p->write_idx;
    if (msgq_p->write_scheduled[i] || msgq_p->write_ev[i] == nullptr) {
        return;
    }
    if (event_add(msgq_p->write_ev[i].get(), nullptr) == 0) {
        msgq_p->write_scheduled[i] = 1;
    }
}

void msgq_write_cb(evutil_socket_t /*fd*/, short /*events*/, void *arg)
{
    auto *msgq_p = static_cast<msgq_handle_t *>(arg);
    frame guard(msgq_p->inst);
    msgq_p->write_scheduled[msgq_p->write_idx] = 0;
    msgq_p->write_idx ^= 1;
    msgq_p->stats.tx_write_cb++;
    if (msgq_p->down_pending) {
        msgq_close_connection(msgq_p, 1);
        return;
    }
    tx_send(msgq_p);
    tx_notify(msgq_p);
}

void msgq_set_max_queue_len(msgq_handle_t *msgq_p, uint16_t limit)
{
    msgq_p->max_queue_len = limit;
}

uint16_t msgq_get_queue_len(const msgq_handle_t *msgq_p)
{
    return msgq_p != nullptr ? static_cast<uint16_t>(msgq_p->stats.tx_queue_cur_length) : 0;
}

uint32_t msgq_get_queue_bytes(const msgq_handle_t *msgq_p)
{
    return msgq_p != nullptr ? msgq_p->tx_bytes : 0;
}

void msgq_notify_drained(msgq_handle_t *msgq_p, uint32_t low, msgq_drain_fn fn)
{
    tx_drain_set(msgq_p, low, fn);
}

void msgq_set_total_watermarks(uint64_t high, uint64_t low)
{
    g_total_high = high;
    g_total_low = std::min(low, high);
    if (g_inst != nullptr) {
        rx_pause_check(g_inst);
    }
}

bool msgq_rx_paused()
{
    return g_inst != nullptr && g_inst->rx_paused;
}
