#include "zor_dist.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <event2/event.h>

#include "ip_util.h"
#include "msgq_util.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_log.h"

t_zor_dist_config g_zor_dist_config = {ZOR_DIST_CLIENT_HIGH_DEFAULT, ZOR_DIST_CLIENT_LOW_DEFAULT,
                                       ZOR_DIST_TOTAL_HIGH_DEFAULT, ZOR_DIST_TOTAL_LOW_DEFAULT};

namespace {

constexpr uint32_t k_zor_sender_id = OST_MODULE_ZORD;

// The message of the entry a walk is handing out, filled once and encoded
// once per byte image: 0 as filled, 1 with the second encryption key of a
// pairwise-keys TLOC zeroed (what every client but xfwd is sent). Open
// (entry set) only while a walk handles that entry; zor_db_send for any
// other entry fills its own.
struct zor_send_cache {
    const t_zor_db_entry *entry;
    uint8_t is_delete;
    bool filled;
    zor_msg_t msg;
    struct {
        bool done;
        int rc;
        uint16_t len;
        uint8_t buf[ZOR_MSG_ENCODE_MAX];
    } enc[2];
};
zor_send_cache g_walk_cache;
zor_send_cache g_single_cache;

void zor_send_cache_open(zor_send_cache &c, const t_zor_db_entry *entry)
{
    c.entry = entry;
    c.filled = false;
    c.enc[0].done = false;
    c.enc[1].done = false;
}

uint64_t zor_elapsed_ms(const struct timespec &start)
{
    struct timespec now;
    timer_clock_now(&now);
    long sec = now.tv_sec - start.tv_sec;
    long nsec = now.tv_nsec - start.tv_nsec;
    if (nsec < 0) {
        sec--;
        nsec += 1000000000L;
    }
    return static_cast<uint64_t>(sec) * 1000u + static_cast<uint64_t>(nsec) / 1000000u;
}

bool zor_dist_env(const char *name, uint64_t *value)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > UINT32_MAX * 16ull) {
        ZOR_LOG("%s=%s is not a number of bytes: %" PRIu64 " kept", name, text, *value);
        return false;
    }
    *value = v;
    return true;
}

void zor_dist_walk_cb(evutil_socket_t /*fd*/, short /*what*/, void *arg)
{
    zor_dist_run(static_cast<t_zor_context *>(arg));
}

void zor_dist_retry_cb(evutil_socket_t /*fd*/, short /*what*/, void *arg)
{
    zor_db_walk_kick(static_cast<t_zor_context *>(arg));
}

// The queue of a client has room under its high watermark.
void zor_dist_drained(msgq_handle_t * /*handle*/, void *arg)
{
    auto *client = static_cast<t_zor_client *>(arg);
    client->stalled = 0;
    zor_db_walk_kick(client->context);
}

// Whether a walk of the family takes the client along.
bool zor_dist_ready(const t_zor_client *client, zor_af_t af)
{
    return client != nullptr && client->announce[af] && client->marker[af] != nullptr && !client->stalled &&
           msgq_is_connected(client->handle);
}

// A client cannot go on past the entry: a failure nothing else reports is
// logged (the first of a run) and retried on the walk's retry timer.
void zor_dist_failed(t_zor_client *client, const t_zor_db_entry *entry, int rc)
{
    if (!client->failing) {
        client->failing = 1;
        ZOR_LOG("Sending %s to %s failed (%d): retrying every %d ms", zor_af_str(entry->family),
                zor_module_name(client->id), rc, ZOR_DIST_RETRY_MS);
    }
    zor_dist_walk_retry(client->context);
}

// Sends one entry to one client of a walk: ZOR_OK, or why the client stops
// before it: its queue is at the high watermark (-1: stalled until it
// drains), its connection is going (ZOR_ERR_SEND: the loss tidies up), or
// no memory (ZOR_ERR_NO_MEMORY).
int zor_dist_send_one(t_zor_client *client, t_zor_db_entry *entry)
{
    msgq_handle_t *h = client->handle;
    if (!msgq_is_connected(h)) {
        return ZOR_ERR_SEND;
    }
    const t_zor_dist_config &cfg = g_zor_dist_config;
    if (msgq_get_queue_bytes(h) >= cfg.client_high) {
        msgq_flush(h);
        if (msgq_get_queue_bytes(h) >= cfg.client_high) {
            client->stalled = 1;
            msgq_notify_drained(h, cfg.client_low, zor_dist_drained);
            return -1;
        }
    }
    const int rc = zor_db_entry_send(client, entry);
    if (rc == ZOR_ERR_NO_MEMORY) {
        zor_dist_failed(client, entry, rc);
        return rc;
    }
    if (rc == ZOR_ERR_ENCODE) {
        // Such an entry could never be sent: it is passed by rather than
        // holding the client there for good.
        ZOR_LOG("Cannot encode %s entry %p for %s: passed by", zor_af_str(entry->family),
                static_cast<const void *>(entry), zor_module_name(client->id));
    } else if (rc != ZOR_OK) {
        return rc;
    }
    if (client->failing) {
        client->failing = 0;
        ZOR_LOG("Sending to %s resumed", zor_module_name(client->id));
    }
    // Bytes start out while the walk goes on, in batches: the client reads
    // the first ones meanwhile.
    if (msgq_get_queue_bytes(h) >= std::min(ZOR_DIST_FLUSH_BYTES, cfg.client_high / 2)) {
        msgq_flush(h);
    }
    return ZOR_OK;
}

void zor_dist_move_marker(t_zor_db_list *list, t_zor_db_entry *marker, t_zor_db_entry *before)
{
    zor_db_list_remove(list, marker);
    if (before != nullptr) {
        zor_db_list_insert_before(before, marker);
    } else {
        zor_db_list_insert_tail(list, marker);
    }
}

// Clients in id order, as one client at a time would be served (it shows in the
// order of their log lines).
struct zor_dist_set {
    t_zor_client *c[OST_MODULE_MAX];
    size_t n = 0;
    void add(t_zor_client *client)
    {
        size_t i = n++;
        for (; i > 0 && c[i - 1]->id > client->id; i--) {
            c[i] = c[i - 1];
        }
        c[i] = client;
    }
    void remove_at(size_t i)
    {
        for (n--; i < n; i++) {
            c[i] = c[i + 1];
        }
    }
};

// One pass of a walk from start (a marker): the pending clients whose
// markers it passes join it; it ends at the end of the list, when its
// budget is spent (the walk event is armed again) or when every client in
// it has stopped. The clients that remain in it stand at its end. Returns
// the last failure, or 0.
int zor_dist_pass(t_zor_context *ctx, zor_af_t af, t_zor_db_entry *start, zor_dist_set &pending)
{
    t_zor_db_list *list = zor_db_list(ctx, af);
    zor_dist_set active;
    zor_dist_set joined;
    struct timespec t0;
    timer_clock_now(&t0);
    uint64_t elapsed = 0;
    int rc = 0;
    t_zor_db_entry *e = start;
    while (e != nullptr) {
        if (e->flags & ZOR_ENTRY_MARKER) {
            for (size_t i = 0; i < pending.n; i++) {
                if (pending.c[i]->marker[af] == e) {
                    active.add(pending.c[i]);
                    joined.add(pending.c[i]);
                    pending.remove_at(i);
                    break;
                }
            }
            e = e->next;
            continue;
        }
        if (active.n == 0) {
            break;
        }
        if (elapsed >= g_zor_walk_budget_ms) {
            zor_db_walk_kick(ctx);
            break;
        }
        e->flags |= ZOR_ENTRY_BROWSE;
        zor_send_cache_open(g_walk_cache, e);
        for (size_t i = 0; i < active.n;) {
            t_zor_client *client = active.c[i];
            const int r = zor_dist_send_one(client, e);
            if (r != 0) {
                // Held, the entry is still on the list: the client resumes there.
                zor_dist_move_marker(list, client->marker[af], e);
                rc = r > 0 ? r : rc;
                active.remove_at(i);
                continue;
            }
            i++;
        }
        g_walk_cache.entry = nullptr;
        // The entry is held, so it is still where it was; what follows it is
        // read only now. A change recorded while it was held (a send may
        // withdraw it and so reschedule it) is carried out on release.
        t_zor_db_entry *next = e->next;
        zor_db_entry_release(ctx, e);
        zor_daemon_yield(ctx);
        elapsed = zor_elapsed_ms(t0);
        e = next;
    }
    for (size_t i = 0; i < active.n; i++) {
        zor_dist_move_marker(list, active.c[i]->marker[af], e);
    }
    for (size_t i = 0; i < joined.n; i++) {
        msgq_flush(joined.c[i]->handle);
    }
    return rc;
}

// Where a pass for marker m starts: at the first of the markers that stand
// right before it, so that clients whose markers share its place go along.
t_zor_db_entry *zor_dist_start(const t_zor_db_list *list, t_zor_db_entry *m)
{
    for (t_zor_db_entry *p = zor_db_list_prev(list, m); p != nullptr && (p->flags & ZOR_ENTRY_MARKER);
         p = zor_db_list_prev(list, p)) {
        m = p;
    }
    return m;
}

}  // namespace

void zor_dist_configure()
{
    t_zor_dist_config cfg = {ZOR_DIST_CLIENT_HIGH_DEFAULT, ZOR_DIST_CLIENT_LOW_DEFAULT, ZOR_DIST_TOTAL_HIGH_DEFAULT,
                             ZOR_DIST_TOTAL_LOW_DEFAULT};
    uint64_t v = cfg.client_high;
    if (zor_dist_env("ZOR_CLIENT_HIGH_WATERMARK", &v)) {
        cfg.client_high = v > 0 && v <= UINT32_MAX ? static_cast<uint32_t>(v) : cfg.client_high;
    }
    v = cfg.client_low;
    if (zor_dist_env("ZOR_CLIENT_LOW_WATERMARK", &v)) {
        cfg.client_low = v <= UINT32_MAX ? static_cast<uint32_t>(v) : cfg.client_low;
    }
    (void)zor_dist_env("ZOR_TOTAL_HIGH_WATERMARK", &cfg.total_high);
    (void)zor_dist_env("ZOR_TOTAL_LOW_WATERMARK", &cfg.total_low);
    cfg.client_low = cfg.client_low < cfg.client_high ? cfg.client_low : cfg.client_high;
    cfg.total_low = cfg.total_low < cfg.total_high ? cfg.total_low : cfg.total_high;
    g_zor_dist_config = cfg;
    msgq_set_total_watermarks(cfg.total_high, cfg.total_low);
}

int zor_dist_init(t_zor_context *ctx)
{
    event_base *base = ctx->daemon != nullptr ? ctx->daemon->event_base.get() : nullptr;
    if (base == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    ctx->dist_walk_event.reset(event_new(base, -1, 0, zor_dist_walk_cb, ctx));
    ctx->dist_retry_event.reset(evtimer_new(base, zor_dist_retry_cb, ctx));
    if (ctx->dist_walk_event == nullptr || ctx->dist_retry_event == nullptr) {
        zor_dist_fini(ctx);
        return ZOR_ERR_NO_MEMORY;
    }
    ctx->walk_event = ctx->dist_walk_event.get();
    return ZOR_OK;
}

void zor_dist_fini(t_zor_context *ctx)
{
    if (ctx->walk_event == ctx->dist_walk_event.get()) {
        ctx->walk_event = nullptr;
    }
    ctx->dist_walk_event.reset();
    ctx->dist_retry_event.reset();
    ctx->dist_client_count = 0;
}

void zor_dist_client_join(t_zor_client *client)
{
    t_zor_context *ctx = client->context;
    uint32_t i = ctx->dist_client_count;
    for (uint32_t k = 0; k < i; k++) {
        if (ctx->dist_clients[k] == client) {
            return;
        }
    }
    for (; i > 0 && ctx->dist_clients[i - 1]->id > client->id; i--) {
        ctx->dist_clients[i] = ctx->dist_clients[i - 1];
    }
    ctx->dist_clients[i] = client;
    ctx->dist_client_count++;
}

void zor_dist_client_leave(t_zor_client *client)
{
    t_zor_context *ctx = client->context;
    for (uint32_t k = 0; k < ctx->dist_client_count; k++) {
        if (ctx->dist_clients[k] == client) {
            ctx->dist_client_count--;
            for (; k < ctx->dist_client_count; k++) {
                ctx->dist_clients[k] = ctx->dist_clients[k + 1];
            }
            return;
        }
    }
}

void zor_dist_walk_retry(t_zor_context *ctx)
{
    event *ev = ctx->dist_retry_event.get();
    if (ev == nullptr || event_pending(ev, EV_TIMEOUT, nullptr)) {
        return;
    }
    struct timeval later = {ZOR_DIST_RETRY_MS / 1000, (ZOR_DIST_RETRY_MS % 1000) * 1000};
    event_add(ev, &later);
}

void zor_dist_run(t_zor_context *ctx)
{
    // A walk may take a client out of the set (a send that finds its
    // connection gone), so the walks go over a copy.
    t_zor_client *clients[OST_MODULE_MAX];
    const size_t n = ctx->dist_client_count;
    std::copy_n(ctx->dist_clients, n, clients);
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        (void)zor_dist_walk(ctx, af, clients, n);
    }
}

int zor_dist_walk(t_zor_context *ctx, zor_af_t af, t_zor_client *const *clients, size_t count)
{
    const t_zor_db_list *list = zor_db_list(ctx, af);
    if (list == nullptr) {
        return 0;
    }
    zor_dist_set pending;
    for (size_t i = 0; i < count; i++) {
        if (zor_dist_ready(clients[i], af)) {
            pending.add(clients[i]);
        }
    }
    int rc = 0;
    while (pending.n > 0) {
        // The earliest marker leads: every other one it passes joins it, and
        // each entry is then filled and encoded once for all of them.
        size_t lead = 0;
        for (size_t i = 1; i < pending.n; i++) {
            if (zor_db_seq_before(pending.c[i]->marker[af], pending.c[lead]->marker[af])) {
                lead = i;
            }
        }
        const int r = zor_dist_pass(ctx, af, zor_dist_start(list, pending.c[lead]->marker[af]), pending);
        rc = r != 0 ? r : rc;
    }
    return rc;
}

void zor_dist_client_reset(t_zor_client *client)
{
    client->stalled = 0;
    client->failing = 0;
}

int zor_client_walk(t_zor_client *client, zor_af_t af)
{
    if (af >= ZOR_AF_COUNT) {
        return 0;
    }
    return zor_dist_walk(client->context, af, &client, 1);
}

int zor_db_entry_send(t_zor_client *client, t_zor_db_entry *entry)
{
    const uint32_t bit = client->id;
    if (entry->flags & ZOR_ENTRY_WITHDRAWN) {
        if (!zor_bitmap_test(entry->sent_bitmap, bit)) {
            return 0;
        }
        const int rc = zor_db_send(client, entry, 1);
        if (rc == ZOR_ERR_NO_MEMORY) {
            return rc;  // still owed: sent when the walk retries
        }
        zor_bitmap_clear(entry->sent_bitmap, bit);
        zor_af_withdraw(entry->family, client->context, entry->client_p, entry);
        return rc;
    }
    const int rc = zor_db_send(client, entry, 0);
    if (rc != ZOR_ERR_NO_MEMORY) {
        zor_bitmap_set(entry->sent_bitmap, bit);
    }
    return rc;
}

int zor_db_send(t_zor_client *client, t_zor_db_entry *entry, uint8_t is_delete)
{
    zor_send_cache &c = g_walk_cache.entry == entry ? g_walk_cache : g_single_cache;
    if (&c == &g_single_cache) {
        zor_send_cache_open(c, entry);
    }
    if (!c.filled || c.is_delete != is_delete) {
        memset(&c.msg, 0, sizeof(c.msg));
        c.msg.type = zor_msg_type_for_af(entry->family, is_delete);
        c.msg.sender = k_zor_sender_id;
        c.msg.family = entry->family;
        zor_af_fill_msg(entry->family, entry, &c.msg, is_delete);
        c.is_delete = is_delete;
        c.filled = true;
        c.enc[0].done = false;
        c.enc[1].done = false;
    }
    const zor_msg_t &msg = c.msg;
    const zor_msg_tloc_t &tloc = msg.body.tloc;
    int image = 0;
    if (msg.type == ZOR_MSG_TLOC_ADD && tloc.origin == ZOR_TLOC_ORIGIN_LOCAL && g_zor_pwk_enabled) {
        ZOR_DEBUG("TLOC MSG ADD - installed %s", tloc.attr.installed ? "TRUE" : "FALSE");
        if (zor_pwk_db_send_filter(client->id, msg.type, &msg.body)) {
            return 0;
        }
        // Only the forwarding daemon gets the second encryption key of a
        // pairwise-keys TLOC; everybody else sees it zeroed.
        if (client->id != OST_MODULE_XFWD && tloc.key.encap == OST_ENCAP_IPSEC &&
            (tloc.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY)) && tloc.attr.sec.enc_key_count > 1) {
            image = 1;
        }
    }
    auto &enc = c.enc[image];
    if (!enc.done) {
        if (image == 1) {
            zor_msg_t zeroed = msg;
            memset(zeroed.body.tloc.attr.sec.enc_keys[1].key, 0, sizeof(zeroed.body.tloc.attr.sec.enc_keys[1].key));
            enc.rc = zor_msg_encode(&zeroed, enc.buf, &enc.len);
        } else {
            enc.rc = zor_msg_encode(&msg, enc.buf, &enc.len);
        }
        enc.done = true;
    }
    if (enc.rc != 0) {
        return ZOR_ERR_ENCODE;
    }
    client->counters[entry->family].sent++;
    // The lines show nothing of the key that the images differ in.
    zor_debug_announcement(&msg, client->id, true);
    const int rc = msgq_enqueue_copy(client->handle, enc.buf, enc.len);
    if (rc == MSGQ_ERR_AGAIN) {
        client->counters[entry->family].sent--;
        return ZOR_ERR_NO_MEMORY;
    }
    return rc == MSGQ_OK ? 0 : 5;
}

int zor_pwk_db_send_filter(uint32_t client_id, uint32_t type, const zor_msg_body_t *body)
{
    const zor_msg_tloc_t &tloc = body->tloc;
    if (type != ZOR_MSG_TLOC_ADD || tloc.origin != ZOR_TLOC_ORIGIN_LOCAL || tloc.key.encap != OST_ENCAP_IPSEC ||
        !(tloc.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY))) {
        return 0;
    }
    if (client_id != OST_MODULE_ADVD && client_id != OST_MODULE_XFWD) {
        return 0;
    }
    char key[64];
    char text[128];
    snprintf(text, sizeof(text), "tloc_origin=%s, tloc_id: %s", zor_msg_tloc_origin_str(tloc.origin),
             tloc_to_str(&tloc.key, key, sizeof(key)));
    const bool installed = tloc.attr.installed != 0;
    if (client_id == OST_MODULE_ADVD) {
        // advd announces the TLOC only once the forwarding plane has it.
        if (installed) {
            ZOR_DEBUG("ZOR_MSG_TLOC_ADD msg to ADV: %s.", text);
            return 0;
        }
        ZOR_DEBUG("Filtered ZOR_MSG_TLOC_ADD(Needs to be installed in FP) to ADV. %s", text);
        return 1;
    }
    // xfwd needs the TLOC only while it has not installed it.
    if (installed) {
        ZOR_DEBUG("Filtered ZOR_MSG_TLOC_ADD(Already installed in FP) to XFW. %s", text);
        return 1;
    }
    return 0;
}
