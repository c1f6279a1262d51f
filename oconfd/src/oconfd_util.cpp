// The module's log gate and debug switch, and the notification throttler:
// three severity queues and the thread that empties them at a bounded rate.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

#include "oconfd_internal.h"
#include "oconfd_notif.h"
#include "ost_util.h"

namespace {

std::atomic<uint32_t> g_module_id{0};
std::atomic<bool> g_debug{false};
std::atomic<uint32_t> g_debug_level{0};

struct notif_item {
    struct confd_datetime time;
    confd_tag_value_t values[OCONFD_NOTIF_MAX_VALUES];
    int count;
    notif_item *next;
    // The item's own copies of the payloads its values point to.
    void *copies[OCONFD_NOTIF_MAX_VALUES];
    struct oconfd_trap_data *trap;
};

struct notif_queue {
    notif_item *head;
    notif_item **tail;  // the last item's next link
    pthread_spinlock_t lock;
    uint32_t count;
};

struct throttler {
    std::atomic<uint32_t> state{OCONFD_THROTTLER_NONE};
    pthread_spinlock_t state_lock;
    notif_queue queues[3];
    pthread_t thread;
    uint32_t period_ms = OCONFD_NOTIF_PERIOD_MS;
    struct confd_notification_ctx *stream_ctx = nullptr;
    struct confd_notification_ctx *snmp_ctx = nullptr;
};

throttler g_thr;

constexpr uint32_t k_limits[3] = {OCONFD_NOTIF_LIMIT_CRITICAL, OCONFD_NOTIF_LIMIT_MAJOR, OCONFD_NOTIF_LIMIT_MINOR};
constexpr const char *k_lock_names[4] = {"OCONFD NOTIF STATE", "OCONFD NOTIF QUEUE CRITICAL",
                                         "OCONFD NOTIF QUEUE MAJOR", "OCONFD NOTIF QUEUE MINOR"};
// The host name of the syslog line when the system gives none.
constexpr const char *k_default_host = "Anyhost";

void item_free(notif_item *item)
{
    for (void *p : item->copies) {
        free(p);
    }
    oconfd_trap_free(item->trap);
    delete item;
}

// Points every string, buffer and leaf-list value of the item at a copy of
// its own (strings keep their terminator). False when memory ran out.
bool item_copy_payloads(notif_item *item)
{
    for (int i = 0; i < item->count; ++i) {
        confd_value_t &v = item->values[i].v;
        if (v.type == C_STR || v.type == C_BUF) {
            unsigned int size = v.val.buf.size + (v.type == C_STR ? 1 : 0);
            auto *copy = static_cast<unsigned char *>(malloc(size == 0 ? 1 : size));
            if (copy == nullptr) {
                if (v.type == C_STR) {
                    OCONFD_LOG("Unable to allocate memory for string field size %u", size);
                } else {
                    OCONFD_LOG("Unable to allocate memory for buffer field size %u", size);
                }
                v.type = C_NOEXISTS;  // nothing of the caller's is left to point to
                return false;
            }
            if (v.val.buf.size > 0) {
                memcpy(copy, v.val.buf.ptr, v.val.buf.size);
            }
            if (v.type == C_STR) {
                copy[v.val.buf.size] = '\0';
            }
            v.val.buf.ptr = copy;
            item->copies[i] = copy;
        } else if (v.type == C_LIST) {
            // A leaf-list would otherwise point into the caller's array
            // long after the call returned.
            size_t size = sizeof(confd_value_t) * v.val.list.size;
            auto *copy = static_cast<confd_value_t *>(malloc(size == 0 ? 1 : size));
            if (copy == nullptr) {
                OCONFD_LOG("Unable to allocate memory for list field size %u", v.val.list.size);
                v.type = C_NOEXISTS;
                return false;
            }
            for (unsigned int k = 0; k < v.val.list.size; ++k) {
                copy[k] = v.val.list.ptr[k];
                // Strings inside a leaf-list are not carried: a severity
                // notification's lists hold enumerations and numbers.
                if (copy[k].type == C_STR || copy[k].type == C_BUF || copy[k].type == C_LIST) {
                    copy[k].type = C_NOEXISTS;
                }
            }
            v.val.list.ptr = copy;
            item->copies[i] = copy;
        }
    }
    return true;
}

void utc_now(struct confd_datetime *dt)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    *dt = {};
    dt->year = static_cast<int16_t>(tm.tm_year + 1900);
    dt->month = static_cast<uint8_t>(tm.tm_mon + 1);
    dt->day = static_cast<uint8_t>(tm.tm_mday);
    dt->hour = static_cast<uint8_t>(tm.tm_hour);
    dt->min = static_cast<uint8_t>(tm.tm_min);
    dt->sec = static_cast<uint8_t>(tm.tm_sec);
    dt->micro = static_cast<uint32_t>(ts.tv_nsec / 1000);
}

int queue_of_severity(int32_t severity)
{
    if (severity == 1) {
        return OCONFD_NOTIF_QUEUE_CRITICAL;
    }
    if (severity == 2) {
        return OCONFD_NOTIF_QUEUE_MAJOR;
    }
    return OCONFD_NOTIF_QUEUE_MINOR;
}

void *throttler_main(void *)
{
    // Signals belong to the daemon's loop thread.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (g_thr.state.load() != OCONFD_THROTTLER_TERMINATED) {
        oconfd_notification_throttler_send();
        struct timespec ts = {static_cast<time_t>(g_thr.period_ms / 1000),
                              static_cast<long>(g_thr.period_ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    return nullptr;
}

// Text of one value for the syslog line: an enumeration by its label when
// the schema knows the leaf under the notification, else as printed by type.
void value_text(const char *notif, const char *leaf, const confd_value_t *v, char *buf, int len)
{
    if (v->type == C_ENUM_VALUE && notif != nullptr && leaf != nullptr) {
        struct confd_cs_node *node = confd_cs_node_cd(nullptr, "/%s/%s", notif, leaf);
        if (node != nullptr && node->info.type != nullptr && confd_val2str(node->info.type, v, buf, len) >= 0) {
            return;
        }
    }
    if (confd_pp_value(buf, len, v) < 0) {
        snprintf(buf, static_cast<size_t>(len), "?");
    }
}

}  // namespace

[[noreturn]] void oconfd_terminate()
{
    abort();
}

bool oconfd_verbose()
{
    return g_module_id.load() == 0 || g_debug.load();
}

void oconfd_set_module_id(uint32_t id)
{
    g_module_id.store(id);
}

uint32_t oconfd_module_id()
{
    return g_module_id.load();
}

const char *oconfd_table_module_name(uint32_t id)
{
    return ost_module_str(id < OST_MODULE_MAX ? id : OST_MODULE_UNKNOWN);
}

const char *oconfd_module_name(const struct module_data *m)
{
    return m->module_name[0] != '\0' ? m->module_name : oconfd_table_module_name(m->module_id);
}

void oconfd_debug_enable(uint32_t level)
{
    g_debug_level.store(level);
    g_debug.store(true);
}

void oconfd_debug_disable(void)
{
    g_debug.store(false);
    g_debug_level.store(0);
}

uint32_t oconfd_notification_throttler_state(void)
{
    return g_thr.state.load();
}

void oconfd_notification_throttler_init(struct oconfd_ctx *ctx)
{
    uint32_t state = g_thr.state.load();
    OCONFD_LOGV("Notification throttler thread init with state %d", static_cast<int>(state));
    // A throttler freed with its module starts afresh when a module joins
    // again in the same process.
    if (state == OCONFD_THROTTLER_NONE || state == OCONFD_THROTTLER_TERMINATED) {
        for (int q = 0; q < 3; ++q) {
            notif_queue &queue = g_thr.queues[q];
            queue.head = nullptr;
            queue.tail = &queue.head;
            queue.count = 0;
            int rc = pthread_spin_init(&queue.lock, PTHREAD_PROCESS_PRIVATE);
            if (rc != 0) {
                OCONFD_LOG("Failed to init spinlock for queue %d with error number %d", q, rc);
                return;
            }
        }
        int rc = pthread_spin_init(&g_thr.state_lock, PTHREAD_PROCESS_PRIVATE);
        if (rc != 0) {
            OCONFD_LOG("Failed to init spinlock for state_lock with error number %d", rc);
            return;
        }
        g_thr.period_ms = OCONFD_NOTIF_PERIOD_MS;
        // Not yet sending, and no longer terminated, for the thread's loop.
        g_thr.state.store(OCONFD_THROTTLER_RESET);
        rc = pthread_create(&g_thr.thread, nullptr, throttler_main, nullptr);
        if (rc != 0) {
            OCONFD_LOG("Failed to spawn a thread with error number %d", rc);
            g_thr.state.store(OCONFD_THROTTLER_NONE);
            return;
        }
        // The kernel keeps 15 characters of a thread's name.
        constexpr std::string_view k_name = "notification throttler";
        char name[16] = {};
        memcpy(name, k_name.data(), sizeof(name) - 1);
        (void)pthread_setname_np(g_thr.thread, name);
    }
    int rc = pthread_spin_lock(&g_thr.state_lock);
    if (rc != 0) {
        OCONFD_LOG("Lock error on notification throtler init");
        return;
    }
    g_thr.stream_ctx = ctx->stream_ctx;
    g_thr.snmp_ctx = ctx->snmp_ctx;
    g_thr.state.store(OCONFD_THROTTLER_RUNNING);
    rc = pthread_spin_unlock(&g_thr.state_lock);
    if (rc != 0) {
        OCONFD_LOG("Unlock error on notification throttler init (error: %d)", rc);
    }
}

void oconfd_notification_throttler_connection_reset(void)
{
    // Only a throttler that runs or was reset holds contexts; a terminated
    // one has no thread left to send what a revived state would queue.
    uint32_t state = g_thr.state.load();
    if (state != OCONFD_THROTTLER_RUNNING && state != OCONFD_THROTTLER_RESET) {
        return;
    }
    if (pthread_spin_lock(&g_thr.state_lock) != 0) {
        return;
    }
    g_thr.state.store(OCONFD_THROTTLER_RESET);
    g_thr.stream_ctx = nullptr;
    g_thr.snmp_ctx = nullptr;
    pthread_spin_unlock(&g_thr.state_lock);
}

void oconfd_notification_throttler_free(void)
{
    uint32_t state = g_thr.state.load();
    if (state == OCONFD_THROTTLER_NONE || state == OCONFD_THROTTLER_TERMINATED) {
        return;
    }
    pthread_spinlock_t *locks[4] = {&g_thr.state_lock, &g_thr.queues[0].lock, &g_thr.queues[1].lock,
                                    &g_thr.queues[2].lock};
    bool held[4] = {};
    for (int i = 0; i < 4; ++i) {
        int rc = pthread_spin_lock(locks[i]);
        if (rc != 0) {
            OCONFD_LOG("Lock error on notification throttler free %s (error: %d)", k_lock_names[i], rc);
        } else {
            held[i] = true;
        }
    }
    OCONFD_LOGV("Setting terminate on notification throttler");
    g_thr.state.store(OCONFD_THROTTLER_TERMINATED);
    g_thr.stream_ctx = nullptr;
    g_thr.snmp_ctx = nullptr;
    for (int i = 3; i >= 0; --i) {
        if (held[i]) {
            int rc = pthread_spin_unlock(locks[i]);
            if (rc != 0) {
                OCONFD_LOG("Unlock error on notification throttler free %s (error: %d)", k_lock_names[i], rc);
            }
        }
    }
    if (pthread_join(g_thr.thread, nullptr) != 0) {
        OCONFD_LOG("pthread join failed");
    }
    for (int q = 0; q < 3; ++q) {
        notif_queue &queue = g_thr.queues[q];
        if (queue.head != nullptr) {
            OCONFD_LOGV("Pending notifications from queue %d are being dropped", q);
            while (queue.head != nullptr) {
                notif_item *item = queue.head;
                queue.head = item->next;
                item_free(item);
            }
        }
        queue.tail = &queue.head;
        queue.count = 0;
        OCONFD_LOGV("Notification queue %d destroyed", q);
        int rc = pthread_spin_destroy(&queue.lock);
        if (rc != 0) {
            OCONFD_LOG("Failed to destroy spinlock for queue %d with error number %d", q, rc);
        } else {
            OCONFD_LOGV("Queue spinlock %d destroyed", q);
        }
    }
    if (pthread_spin_destroy(&g_thr.state_lock) != 0) {
        OCONFD_LOG("Failed to destroy spinlock for send_lock");
    }
}

int oconfd_enqueue_notification(confd_tag_value_t *values, int num_values)
{
    // A peer of the module (the daemon) sending a malformed notification is
    // refused, not asserted on.
    if (values == nullptr || num_values < 2 || num_values > OCONFD_NOTIF_MAX_VALUES) {
        OCONFD_LOG("Notification refused: %d values (2 to %d)", num_values, OCONFD_NOTIF_MAX_VALUES);
        return OCONFD_NOTIF_REFUSED;
    }
    // Without a running throttler the caller sends the notification as it
    // is: its severity only chooses a queue.
    uint32_t state = g_thr.state.load();
    if (state == OCONFD_THROTTLER_TERMINATED) {
        OCONFD_LOGV("Notification throttler has terminated.");
        return OCONFD_NOTIF_NOT_QUEUED;
    }
    if (state == OCONFD_THROTTLER_NONE) {
        OCONFD_LOGV("Notification throttler hasn't been initialized");
        return OCONFD_NOTIF_NOT_QUEUED;
    }
    if (values[1].v.type != C_ENUM_VALUE) {
        OCONFD_LOG("Notification refused: its second value (type %d) is not an enumeration",
                   static_cast<int>(values[1].v.type));
        return OCONFD_NOTIF_REFUSED;
    }
    int q = queue_of_severity(values[1].v.val.enumvalue);
    auto *item = new (std::nothrow) notif_item{};
    if (item == nullptr) {
        OCONFD_LOG("Unable to allocate memory for notification queue item");
        return OCONFD_NOTIF_NOT_QUEUED;
    }
    memcpy(item->values, values, sizeof(confd_tag_value_t) * static_cast<size_t>(num_values));
    item->count = num_values;
    utc_now(&item->time);
    if (!item_copy_payloads(item)) {
        item_free(item);
        return OCONFD_NOTIF_NOT_QUEUED;
    }
    item->trap = oconfd_trap_populate(item->values, item->count, q);

    notif_queue &queue = g_thr.queues[q];
    int result = 0;
    if (pthread_spin_lock(&queue.lock) != 0) {
        OCONFD_LOG("Lock error on notification queue %d", q);
        result = OCONFD_NOTIF_NOT_QUEUED;
    } else {
        if (queue.count < k_limits[q] && g_thr.state.load() != OCONFD_THROTTLER_TERMINATED) {
            *queue.tail = item;
            queue.tail = &item->next;
            queue.count++;
        } else {
            OCONFD_LOGV("Notification throttler has terminated or max queue size reached");
            result = OCONFD_NOTIF_DROPPED;
        }
        if (pthread_spin_unlock(&queue.lock) != 0) {
            OCONFD_LOG("Unlock error on notification queue %d", q);
        }
    }
    if (result != 0) {
        OCONFD_LOGV("Failed to send notification. Freeing memory");
        item_free(item);
    }
    return result;
}

void oconfd_notification_throttler_send(void)
{
    if (pthread_spin_trylock(&g_thr.state_lock) != 0) {
        return;
    }
    if (g_thr.state.load() == OCONFD_THROTTLER_RUNNING) {
        notif_item *item = nullptr;
        for (int q = 0; q < 3 && item == nullptr; ++q) {
            notif_queue &queue = g_thr.queues[q];
            if (pthread_spin_lock(&queue.lock) != 0) {
                OCONFD_LOG("Lock error on notification queue %d", q);
                continue;
            }
            if (queue.head != nullptr) {
                item = queue.head;
                queue.head = item->next;
                if (queue.head == nullptr) {
                    queue.tail = &queue.head;
                }
                queue.count--;
            }
            pthread_spin_unlock(&queue.lock);
        }
        if (item != nullptr) {
            if (g_thr.stream_ctx != nullptr &&
                confd_notification_send(g_thr.stream_ctx, &item->time, item->values, item->count) != CONFD_OK) {
                OCONFD_LOG("Failed to send notification reason : %s (%d/%s)", confd_strerror(confd_errno),
                           confd_errno, confd_lasterr());
            }
            if (oconfd_trap_enabled() && g_thr.snmp_ctx != nullptr && item->trap != nullptr) {
                oconfd_trap_send(g_thr.snmp_ctx, item->trap);
            }
            oconfd_add_to_syslog(&item->time, item->values, item->count);
            item_free(item);
        }
    }
    int rc = pthread_spin_unlock(&g_thr.state_lock);
    if (rc != 0) {
        OCONFD_LOG("Unlock error on notification throttler send (error: %d)", rc);
    }
}

void oconfd_add_to_syslog(const struct confd_datetime * /*time*/, const confd_tag_value_t *values, int num_values)
{
    if (values == nullptr) {
        OCONFD_LOG("Notification: Failed to write notification information to syslog");
        return;
    }
    char text[2048];
    text[0] = '\0';
    size_t used = 0;
    if (num_values >= 2) {
        char notif_num[16];
        const char *notif = confd_hash2str(values[0].tag.tag);
        if (notif == nullptr) {
            snprintf(notif_num, sizeof(notif_num), "%u", values[0].tag.tag);
        }
        int n = snprintf(text, sizeof(text), "%s ", notif != nullptr ? notif : notif_num);
        used = n > 0 && static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : 0;
        text[used] = '\0';
        for (int i = 1; i < num_values - 1; ++i) {
            char leaf_num[16];
            const char *leaf = confd_hash2str(values[i].tag.tag);
            if (leaf == nullptr) {
                snprintf(leaf_num, sizeof(leaf_num), "%u", values[i].tag.tag);
            }
            char val[512];
            value_text(notif, leaf, &values[i].v, val, sizeof(val));
            char piece[1024];
            int len = snprintf(piece, sizeof(piece), "%s:%s ", leaf != nullptr ? leaf : leaf_num, val);
            // What would not fit is left out; what comes after may still fit.
            if (len > 0 && used + static_cast<size_t>(len) < sizeof(text)) {
                memcpy(text + used, piece, static_cast<size_t>(len) + 1);
                used += static_cast<size_t>(len);
            }
        }
    }
    char host[32] = {};
    if (gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0') {
        snprintf(host, sizeof(host), "%s", k_default_host);
    }
    ost_log(LOG_LOCAL7 | LOG_INFO, "%%Ostrana-%s-%s-%d-%s-%d: Notification: %s", host,
            oconfd_table_module_name(oconfd_module_id()), 6, "INFO", OCONFD_NOTIF_SYSLOG_ID, text);
}

int oconfd_event_send_notification(struct oconfd_ctx *ctx, confd_tag_value_t *values, int num_values)
{
    // Twenty values or more cannot be queued: a daemon's mistake that is
    // refused here rather than stopping it.
    if (num_values >= OCONFD_NOTIF_MAX_VALUES + 1) {
        OCONFD_LOG("Notification refused: %d values (at most %d)", num_values, OCONFD_NOTIF_MAX_VALUES);
        return 1;
    }
    if (ctx == nullptr) {
        return 1;
    }
    int phase = std::atomic_ref<int>(ctx->phase).load();
    if (phase < 2) {
        OCONFD_LOGV("Confd in phase %d, not sending notification", phase);
        return 0;
    }
    int rc = oconfd_enqueue_notification(values, num_values);
    if (rc == OCONFD_NOTIF_REFUSED) {
        return 1;
    }
    if (rc == OCONFD_NOTIF_NOT_QUEUED) {
        OCONFD_LOGV("Trying to send the notification directly");
        struct confd_datetime now;
        utc_now(&now);
        if (ctx->stream_ctx == nullptr) {
            OCONFD_LOGV("Failed to send notification directly: %s (%d) %s", "no notification stream", 0, "");
            return 1;
        }
        if (confd_notification_send(ctx->stream_ctx, &now, values, num_values) != CONFD_OK) {
            OCONFD_LOGV("Failed to send notification directly: %s (%d) %s", confd_strerror(confd_errno),
                        confd_errno, confd_lasterr());
            return 1;
        }
    }
    return 0;
}
