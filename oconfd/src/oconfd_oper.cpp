// Operational-data writes: each write runs in a thread of its own so that
// the loop never waits for the agent, and each thread first joins the
// previous one so that writes land in call order.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <pthread.h>

#include "oconfd_internal.h"

namespace {

struct writer_job {
    struct oconfd_ctx *ctx = nullptr;
    confd_value_t value{};
    bool has_value = false;
    char path[OCONFD_OPER_PATH_LEN + 1] = {};
    int op = 0;
    int lock = 0;
    pthread_t prev{};
    bool has_prev = false;

    ~writer_job()
    {
        if (has_value) {
            confd_free_value(&value);
        }
    }
};

// An element that is already there (create, set) or already gone (delete)
// is what the writer wanted anyway.
bool already_so(int op, int err)
{
    return ((op == OCONFD_OPER_CREATE || op == OCONFD_OPER_SET) && err == CONFD_ERR_ALREADY_EXISTS) ||
           (op == OCONFD_OPER_DELETE && err == CONFD_ERR_NOEXISTS);
}

// Creates, sets or deletes the element on an open operational session.
// 0 on success, 1 on failure (logged).
int write_elem(const writer_job &job, int sock)
{
    const char *what = "create";
    int rc = CONFD_ERR;
    switch (job.op) {
    case OCONFD_OPER_CREATE:
        rc = cdb_create(sock, "%s", job.path);
        break;
    case OCONFD_OPER_SET:
        what = "add";
        // A set without a value makes the element exist, as a create does.
        rc = job.has_value ? cdb_set_elem(sock, &job.value, "%s", job.path) : cdb_create(sock, "%s", job.path);
        break;
    case OCONFD_OPER_DELETE:
        what = "del";
        rc = cdb_delete(sock, "%s", job.path);
        break;
    default:
        OCONFD_LOG("Unknown operation %d for %s", job.op, job.path);
        return 1;
    }
    if (rc == CONFD_OK || already_so(job.op, confd_errno)) {
        return 0;
    }
    OCONFD_LOG("Failed to %s elem %s (%d) : %s", what, job.path, confd_errno, confd_lasterr());
    return 1;
}

// Connects, opens the operational session (with the lock when asked) and
// writes. 0 on success, 1 on failure.
int write_once(writer_job &job)
{
    struct oconfd_ctx *ctx = job.ctx;
    oconfd_netns_guard netns(ctx->module.ns_id);
    int sock = -1;
    if (oconfd_thread_cdb_connect(ctx, CDB_DATA_SOCKET, OCONFD_SOCK_WRITER, &sock) != 0) {
        return 1;
    }
    int result = 1;
    int flags = job.lock == 1 ? (CDB_LOCK_WAIT | CDB_LOCK_REQUEST) : 0;
    if (cdb_start_session2(sock, CDB_OPERATIONAL, flags) != CONFD_OK) {
        OCONFD_LOG("Failed to start operational session (%s - %d)", confd_strerror(confd_errno), confd_errno);
    } else {
        result = write_elem(job, sock);
        (void)cdb_end_session(sock);
    }
    oconfd_thread_cdb_close(ctx, sock);
    return result;
}

void *writer_main(void *arg)
{
    std::unique_ptr<writer_job> job(static_cast<writer_job *>(arg));
    struct oconfd_ctx *ctx = job->ctx;
    if (job->has_prev) {
        OCONFD_LOGV("\n%s Waiting for previous thread: %lu to exit", __func__, static_cast<unsigned long>(job->prev));
        void *ret = nullptr;
        pthread_join(job->prev, &ret);
        OCONFD_LOGV("\n%s: Previous thread: %lu exited, ret_val: %d", __func__,
                    static_cast<unsigned long>(job->prev), static_cast<int>(reinterpret_cast<intptr_t>(ret)));
    }
    int result = write_once(*job);
    if (result != 0) {
        OCONFD_LOG("Failed to do operation %d for %s with type %d", job->op, job->path,
                   job->has_value ? static_cast<int>(job->value.type) : 0);
    }
    // The last writer has nobody to join it: it lets itself go. A writer
    // that is no longer the recorded one is joined by its successor.
    pthread_t self = pthread_self();
    bool detached = false;
    {
        std::lock_guard<std::mutex> lock(ctx->priv->mu);
        if (ctx->has_last_writer != 0 && pthread_equal(ctx->last_writer, self) != 0) {
            ctx->has_last_writer = 0;
            pthread_detach(self);
            detached = true;
        }
    }
    if (detached) {
        OCONFD_LOGV("Detach the current thread_id: %lu to exit", static_cast<unsigned long>(self));
    }
    return reinterpret_cast<void *>(static_cast<intptr_t>(result));
}

}  // namespace

int oconfd_set_cdb_oper_value(struct oconfd_ctx *ctx, const confd_value_t *value, const char *path, int op,
                              int lock)
{
    if (ctx == nullptr || path == nullptr) {
        return 1;
    }
    auto *job = new (std::nothrow) writer_job;
    if (job == nullptr) {
        OCONFD_LOG("Failed to allocate memory for list");
        return 2;
    }
    if (value != nullptr) {
        if (confd_value_dup_to(value, &job->value) != CONFD_OK) {
            OCONFD_LOG("Failed to allocate memory for list");
            delete job;
            return 2;
        }
        job->has_value = true;
    }
    size_t len = strlen(path);
    if (len > OCONFD_OPER_PATH_LEN) {
        // A cut path would name another element.
        OCONFD_LOG("Operational path of %zu characters refused: %s", len, path);
        delete job;
        return 1;
    }
    memcpy(job->path, path, len + 1);
    job->ctx = ctx;
    job->op = op;
    job->lock = lock;

    std::lock_guard<std::mutex> guard(ctx->priv->mu);
    job->has_prev = ctx->has_last_writer != 0;
    job->prev = ctx->last_writer;
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, writer_main, job);
    if (rc != 0) {
        OCONFD_LOG("Failed to create oconfd thread (error %d, errno %d))", rc, errno);
        delete job;
        return 1;
    }
    ctx->last_writer = thread;
    ctx->has_last_writer = 1;
    return 0;
}

void oconfd_threads_wait(struct oconfd_ctx *ctx)
{
    oconfd_thread_sockets_interrupt(ctx, OCONFD_SOCK_REG | OCONFD_SOCK_READ);
    pthread_t last{};
    bool has_last = false;
    {
        std::lock_guard<std::mutex> lock(ctx->priv->mu);
        if (ctx->has_last_writer != 0) {
            last = ctx->last_writer;
            has_last = true;
            ctx->has_last_writer = 0;
        }
    }
    if (has_last) {
        pthread_join(last, nullptr);
    }
    std::unique_lock<std::mutex> lock(ctx->priv->mu);
    ctx->priv->cv.wait(lock, [ctx] { return ctx->priv->live_threads == 0; });
}
