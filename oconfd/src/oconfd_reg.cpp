// The registration thread of one connection attempt: it loads the schema,
// waits for the agent's start phases and makes the subscriptions, all of
// which block on the agent, then hands the subscription socket to the loop.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "oconfd_internal.h"

namespace {

const char *node_kind(const char *path)
{
    struct confd_cs_node *node = confd_cs_node_cd(nullptr, "/%s", path);
    if (node == nullptr) {
        return "unknown";
    }
    switch (node->info.flags & CS_NODE_KIND_MASK) {
    case CS_NODE_IS_LIST:
        return "list";
    case CS_NODE_IS_CONTAINER:
        return "container";
    case CS_NODE_IS_CASE:
        return "case";
    case CS_NODE_IS_LEAF_LIST:
        return "leaf-list";
    default:
        return "leaf";
    }
}

bool load_schemas(struct oconfd_ctx *ctx, const struct sockaddr *addr, int addr_len)
{
    int rc;
    if (ctx->module.selective_schema != 0) {
        std::vector<uint32_t> nsv;
        oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *e) {
            if (std::find(nsv.begin(), nsv.end(), e->ns) == nsv.end()) {
                nsv.push_back(e->ns);
            }
            return true;
        });
        if (std::find(nsv.begin(), nsv.end(), static_cast<uint32_t>(OCONFD_INITIAL_READ_NS)) == nsv.end()) {
            nsv.push_back(OCONFD_INITIAL_READ_NS);
        }
        rc = confd_load_schemas_list(addr, addr_len, 0, nsv.data(), static_cast<int>(nsv.size()), nullptr, 0);
    } else {
        rc = confd_load_schemas(addr, addr_len);
    }
    if (rc != CONFD_OK) {
        OCONFD_LOG("Failed to load schemas from confd");
        return false;
    }
    ctx->ns_count = confd_get_nslist(&ctx->ns_list);
    return true;
}

// Waits for start phases 1 and 2 on a MAAPI connection of the thread's own,
// with a CDB data connection open meanwhile.
bool wait_phases(struct oconfd_ctx *ctx, const struct sockaddr *addr, int addr_len)
{
    int maapi = oconfd_thread_socket(ctx, OCONFD_SOCK_REG);
    if (maapi < 0) {
        OCONFD_LOG("Failed to open maapi socket");
        return false;
    }
    int data = -1;
    bool ok = false;
    std::atomic_ref<int> phase(ctx->phase);
    if (maapi_connect(maapi, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to do maapi_connect (%d)", confd_errno);
    } else if (oconfd_thread_cdb_connect(ctx, CDB_DATA_SOCKET, OCONFD_SOCK_REG, &data) != 0) {
        OCONFD_LOG("Failed to connect init data socket to confd (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
    } else {
        OCONFD_LOGV("Waiting for confd phase 1");
        if (maapi_wait_start(maapi, 1) != CONFD_OK) {
            OCONFD_LOG("maapi wait start for phase1 failed (%s - %d) %s (%d) : %s", OCONFD_ERR_ARGS);
        } else {
            phase.store(1);
            OCONFD_LOGV("Installing crypto keys");
            if (confd_install_crypto_keys(ctx->dctx) != CONFD_OK) {
                OCONFD_LOG("Failed to load crypto keys ( %d) - %s, %d, %s", confd_errno,
                           confd_strerror(confd_errno), errno, confd_lasterr());
            } else {
                OCONFD_LOGV("Waiting for confd phase 2");
                if (maapi_wait_start(maapi, 2) != CONFD_OK) {
                    OCONFD_LOG("maapi wait start for phase2 failed (%s - %d) %s (%d) : %s", OCONFD_ERR_ARGS);
                } else {
                    phase.store(2);
                    ok = true;
                }
            }
        }
    }
    oconfd_thread_maapi_close(ctx, maapi);
    oconfd_thread_cdb_close(ctx, data);
    return ok;
}

void subscribe_entry(struct oconfd_ctx *ctx, struct oconfd_sub_entry *e)
{
    e->ctx = ctx;
    e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_SUBSCRIBED);
    e->add_point = 0;
    e->del_point = 0;
    int add = 0;
    int del = 0;
    int prio = e->priorities & 0x0f;
    int del_prio = (e->priorities >> 4) & 0x0f;
    int ns = static_cast<int>(e->ns);
    int rc;
    if ((e->flags & OCONFD_SUB_OPER) != 0) {
        rc = cdb_oper_subscribe(ctx->sub_sock, ns, &add, "/%s", e->path);
    } else if ((e->flags & OCONFD_SUB_TWO_PHASE) != 0) {
        rc = cdb_subscribe2(ctx->sub_sock, CDB_SUB_RUNNING_TWOPHASE, 0, prio, &add, ns, "/%s", e->path);
    } else {
        rc = cdb_subscribe(ctx->sub_sock, prio, ns, &add, "/%s", e->path);
        if (rc == CONFD_OK && del_prio != 0) {
            rc = cdb_subscribe(ctx->sub_sock, del_prio, ns, &del, "/%s", e->path);
        }
    }
    if (rc != CONFD_OK) {
        OCONFD_LOG("Failed to subscribe to %s (%s - %d)%s (%d) : %s", e->path, OCONFD_ERR_ARGS);
        return;
    }
    e->add_point = static_cast<uint32_t>(add);
    e->del_point = static_cast<uint32_t>(del);
    e->flags |= OCONFD_SUB_SUBSCRIBED;
    OCONFD_LOG("Subscribed for %s (add spoint: %u, del spoint: %u, type: %s)", e->path, e->add_point,
               e->del_point, node_kind(e->path));
}

// The thread's work. True when the loop may arm the subscription event;
// false on a failure after which the loop must reconnect.
bool register_all(struct oconfd_ctx *ctx)
{
    struct sockaddr_in sin;
    socklen_t sin_len = confd_agent_addr(&sin);
    const auto *addr = reinterpret_cast<const struct sockaddr *>(&sin);
    int addr_len = static_cast<int>(sin_len);

    if (!load_schemas(ctx, addr, addr_len) || !wait_phases(ctx, addr, addr_len)) {
        return false;
    }
    OCONFD_LOGV("Confd in phase 2 - Subscribing to cdb");
    if (cdb_connect(ctx->sub_sock, CDB_SUBSCRIPTION_SOCKET, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to connect subscription socket to confd ( %d)", confd_errno);
        return false;
    }
    int point = -1;
    if (cdb_oper_subscribe(ctx->sub_sock, OCONFD_INITIAL_READ_NS, &point, "%s", OCONFD_INITIAL_READ_PATH) !=
        CONFD_OK) {
        // Without it the module still works; it only never hears of the
        // other modules' progress.
        OCONFD_LOG("Failed to subscribe to oconfd-initial-read-priority (%s - %d) %s (%d) : %s", OCONFD_ERR_ARGS);
    }
    ctx->initial_read_point = point;
    oconfd_for_each_entry(ctx, [ctx](struct oconfd_sub_entry *e) {
        subscribe_entry(ctx, e);
        return true;
    });
    if (cdb_subscribe_done(ctx->sub_sock) != CONFD_OK) {
        OCONFD_LOG("cdb_subscribe_done() failed (%s - %d)%s (%d) : %s", OCONFD_ERR_ARGS);
        return false;
    }
    return true;
}

void *reg_main(void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    bool any = false;
    oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *) {
        any = true;
        return false;
    });
    if (!any) {
        OCONFD_LOG("No subscriptions to register");
        return nullptr;
    }
    bool ok;
    {
        oconfd_netns_guard netns(ctx->module.ns_id);
        ok = register_all(ctx);
    }
    // The loop arms the subscription event itself: libevent is not touched
    // from this thread, and the loop reads the subscription table only
    // after this byte, when the thread has written its last point.
    oconfd_pipe_notify(ctx, ok ? OCONFD_PIPE_ARM_SUB : OCONFD_PIPE_RETRY);
    return nullptr;
}

}  // namespace

int oconfd_reg_thread_start(struct oconfd_ctx *ctx)
{
    // Joinable rather than detached: a reconnect or a free waits for it, so
    // that no socket or pipe end is closed while it still uses one.
    oconfd_thread_sockets_allow(ctx, OCONFD_SOCK_REG);
    int rc = pthread_create(&ctx->priv->reg_thread, nullptr, reg_main, ctx);
    if (rc != 0) {
        OCONFD_LOG("Failed to create oconfd thread (error %d, errno %d))", rc, errno);
        return -1;
    }
    ctx->priv->has_reg_thread = true;
    return 0;
}

void oconfd_reg_thread_stop(struct oconfd_ctx *ctx, bool interrupt)
{
    if (!ctx->priv->has_reg_thread) {
        return;
    }
    if (interrupt) {
        oconfd_thread_sockets_interrupt(ctx, OCONFD_SOCK_REG);
        if (ctx->sub_sock >= 0) {
            shutdown(ctx->sub_sock, SHUT_RDWR);
        }
    }
    pthread_join(ctx->priv->reg_thread, nullptr);
    ctx->priv->has_reg_thread = false;
}
