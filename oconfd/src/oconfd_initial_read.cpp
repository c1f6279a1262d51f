// The initial read of the configuration and its gating. Some daemons must
// read their configuration only after others have read theirs: each gated
// module has a read priority, and sets its bit in the operational leaf
// /oconfd-initial-read-priority once it has read; a module reads when the
// bits of every lower priority are set.
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <pthread.h>
#include <vector>

#include "oconfd_internal.h"
#include "ost_util.h"

namespace {

constexpr uint32_t k_ungated_priority = 3;

// Read priorities: the wireless-LAN daemon first, then setkeeper, then
// xfwd; every other daemon is not gated.
uint32_t module_priority(uint32_t module_id)
{
    switch (module_id) {
    case OST_MODULE_AIRLINKD:
        return 0;
    case OST_MODULE_SETKEEPER:
        return 1;
    case OST_MODULE_XFWD:
        return 2;
    default:
        return k_ungated_priority;
    }
}

// Reads the leaf in an open operational session into *bits. A leaf that no
// module has set yet holds no bit. False on any other error.
bool read_priority_bits(int sock, uint32_t *bits)
{
    confd_value_t v{};
    if (cdb_get(sock, &v, "%s", OCONFD_INITIAL_READ_PATH) != CONFD_OK) {
        if (confd_errno == CONFD_ERR_NOEXISTS) {
            *bits = 0;
            return true;
        }
        return false;
    }
    bool ok = v.type == C_BIT32;
    if (ok) {
        *bits = v.val.b32;
    }
    confd_free_value(&v);
    return ok;
}

struct read_job {
    struct oconfd_ctx *ctx = nullptr;
    std::vector<int> config;
    std::vector<int> oper;
    uint32_t priority = k_ungated_priority;
};

// Sets the module's bit, read-modify-write under the operational lock.
void set_priority_bit(int sock, uint32_t priority)
{
    if (cdb_start_session2(sock, CDB_OPERATIONAL, CDB_LOCK_WAIT | CDB_LOCK_REQUEST) != CONFD_OK) {
        OCONFD_LOG("Failed to start operational session (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return;
    }
    uint32_t bits = 0;
    if (!read_priority_bits(sock, &bits)) {
        OCONFD_LOG("Failed to read oconfd-initial-read-priority (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
    } else {
        bits |= 1u << priority;
        confd_value_t v;
        CONFD_SET_BIT32(&v, bits);
        if (cdb_set_elem(sock, &v, "%s", OCONFD_INITIAL_READ_PATH) != CONFD_OK) {
            OCONFD_LOG("Failed to set oconfd-initial-read-priority (%s - %d)", confd_strerror(confd_errno),
                       confd_errno);
        } else {
            OCONFD_LOGV("Set oconfd-initial-read-priority to %u", bits);
        }
    }
    (void)cdb_end_session(sock);
}

// Triggers the points; true when every trigger succeeded.
bool trigger(int sock, read_job &job)
{
    bool ok = true;
    if (!job.config.empty()) {
        if (cdb_trigger_subscriptions(sock, job.config.data(), static_cast<int>(job.config.size())) != CONFD_OK) {
            OCONFD_LOG("Failed to trigger config subscriptions (%s - %d)", confd_strerror(confd_errno),
                       confd_errno);
            ok = false;
        } else {
            OCONFD_LOGV("Triggered %u config subscriptions", static_cast<unsigned>(job.config.size()));
        }
    }
    if (!job.oper.empty()) {
        if (cdb_trigger_oper_subscriptions(sock, job.oper.data(), static_cast<int>(job.oper.size()),
                                           CDB_LOCK_WAIT) != CONFD_OK) {
            OCONFD_LOG("Failed to trigger oper subscriptions (%s - %d)", confd_strerror(confd_errno),
                       confd_errno);
            ok = false;
        } else {
            OCONFD_LOGV("Triggered %u oper subscriptions", static_cast<unsigned>(job.oper.size()));
        }
    }
    return ok;
}

void *read_main(void *arg)
{
    std::unique_ptr<read_job> job(static_cast<read_job *>(arg));
    struct oconfd_ctx *ctx = job->ctx;
    {
        oconfd_netns_guard netns(ctx->module.ns_id);
        int sock = -1;
        if (oconfd_thread_cdb_connect(ctx, CDB_DATA_SOCKET, OCONFD_SOCK_READ, &sock) == 0) {
            if (trigger(sock, *job) && std::atomic_ref<uint8_t>(ctx->initial_read_done).exchange(1) == 0) {
                OCONFD_LOGV("Initial config read done");
                if (job->priority < k_ungated_priority) {
                    set_priority_bit(sock, job->priority);
                }
            }
            oconfd_thread_cdb_close(ctx, sock);
        }
    }
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    ctx->priv->live_threads--;
    ctx->priv->cv.notify_all();
    return nullptr;
}

// Starts the read of the job's points. 0, or 1 when no thread could start.
int start_read(std::unique_ptr<read_job> job)
{
    struct oconfd_ctx *ctx = job->ctx;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, read_main, job.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        OCONFD_LOG("Failed to create oconfd thread (error %d, errno %d))", rc, errno);
        return 1;
    }
    (void)job.release();
    ctx->priv->live_threads++;
    return 0;
}

// A read triggers the points of the connection's subscriptions: before
// they are made (or after the connection closed) there is nothing to read,
// and a read that triggered nothing must not count as the initial one.
bool subscriptions_made(struct oconfd_ctx *ctx)
{
    if (!ctx->priv->subscribed) {
        OCONFD_LOG("No subscriptions to read yet");
        return false;
    }
    return true;
}

std::unique_ptr<read_job> new_job(struct oconfd_ctx *ctx)
{
    std::unique_ptr<read_job> job(new (std::nothrow) read_job);
    if (job) {
        job->ctx = ctx;
        job->priority = module_priority(ctx->module.module_id);
    }
    return job;
}

// Files the point as a configuration or an operational one, as its entry says.
void add_point(struct oconfd_ctx *ctx, read_job &job, int point)
{
    bool oper = false;
    oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *e) {
        if ((e->flags & OCONFD_SUB_SUBSCRIBED) != 0 && static_cast<int>(e->add_point) == point) {
            oper = (e->flags & OCONFD_SUB_OPER) != 0;
            return false;
        }
        return true;
    });
    (oper ? job.oper : job.config).push_back(point);
}

}  // namespace

int oconfd_can_read_initial_config(struct oconfd_ctx *ctx)
{
    if (std::atomic_ref<uint8_t>(ctx->initial_read_done).load() != 0) {
        return 1;
    }
    uint32_t priority = module_priority(ctx->module.module_id);
    if (priority >= k_ungated_priority) {
        return 1;
    }
    uint32_t bits = 0;
    bool read = false;
    {
        oconfd_netns_guard netns(ctx->module.ns_id);
        struct sockaddr_in addr;
        socklen_t len = confd_agent_addr(&addr);
        int sock = -1;
        if (oconfd_cdb_connect(ctx, CDB_DATA_SOCKET, reinterpret_cast<struct sockaddr *>(&addr),
                               static_cast<int>(len), &sock) == 0) {
            if (cdb_start_session2(sock, CDB_OPERATIONAL, CDB_LOCK_WAIT | CDB_LOCK_REQUEST) == CONFD_OK) {
                read = read_priority_bits(sock, &bits);
                (void)cdb_end_session(sock);
            }
            cdb_close(sock);
        }
    }
    uint32_t needed = (1u << priority) - 1;
    if (!read || (bits & needed) != needed) {
        OCONFD_LOGV("Initial config read not allowed (curr priority:%u, mod priority:%u)", bits, priority);
        return 0;
    }
    return 1;
}

int oconfd_read_sub_config_all(struct oconfd_ctx *ctx)
{
    if (!subscriptions_made(ctx)) {
        return 1;
    }
    std::unique_ptr<read_job> job = new_job(ctx);
    if (!job) {
        OCONFD_LOG("Failed to allocate memory for subscription list");
        return 2;
    }
    try {
        oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *e) {
            if ((e->flags & OCONFD_SUB_SUBSCRIBED) != 0) {
                ((e->flags & OCONFD_SUB_OPER) != 0 ? job->oper : job->config)
                    .push_back(static_cast<int>(e->add_point));
            }
            return true;
        });
    } catch (const std::bad_alloc &) {
        OCONFD_LOG("Failed to allocate memory for subscription list");
        return 2;
    }
    return start_read(std::move(job));
}

int oconfd_read_sub_config(struct oconfd_ctx *ctx, const int *points, int count)
{
    if (!subscriptions_made(ctx)) {
        return 1;
    }
    std::unique_ptr<read_job> job = new_job(ctx);
    if (!job) {
        OCONFD_LOG("Failed to allocate memory for subscription list");
        return 2;
    }
    try {
        for (int i = 0; i < count; ++i) {
            add_point(ctx, *job, points[i]);
        }
    } catch (const std::bad_alloc &) {
        OCONFD_LOG("Failed to allocate memory for subscription list");
        return 2;
    }
    return start_read(std::move(job));
}
