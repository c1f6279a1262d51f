#include "zor_client.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "confd_maapi.h"
#include "msgq_util.h"
#include "ost_assert.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_af.h"
#include "zor_af_data_device.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_af_sec_common.h"
#include "zor_af_tracker.h"
#include "zor_af_tloc_show.h"
#include "zor_log.h"

uint32_t g_zor_pwk_enabled = 0;

const char *zor_module_name(uint32_t id)
{
    return id < OST_MODULE_MAX ? ost_module_str(id) : "unknown";
}

namespace {

// The lines of a client's life (connected, registered, unregistered,
// disconnected) are always written: they are what an operator follows.
void zor_client_conn_up(msgq_handle_t *handle, void *arg, msgq_handle_t * /*handle2*/, void * /*arg2*/)
{
    auto *client = static_cast<t_zor_client *>(arg);
    if (client != nullptr) {
        ZOR_LOG("Client %s connected (pid %d, uid %u)", zor_module_name(client->id), handle->peer_pid,
                handle->peer_uid);
    }
}

void zor_client_dispatch(t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_af_t af = msg->family;
    if (!zor_af_type_fits(msg->type, af)) {
        ZOR_LOG("Dropped %s from %s: not a message of family %s", zor_msg_type_str(msg->type),
                zor_module_name(client->id), zor_af_str(af));
        return;
    }
    switch (msg->type) {
    case ZOR_MSG_REGISTER:
        ZOR_LOG("Client %s registered %s: announce %u, originate %u", zor_module_name(client->id), zor_af_str(af),
                msg->body.reg.announce, msg->body.reg.originate);
        (void)zor_client_register(ctx, client->id, af, msg->body.reg.announce, msg->body.reg.originate);
        break;
    case ZOR_MSG_UNREGISTER:
        ZOR_LOG("Client %s unregistered %s", zor_module_name(client->id), zor_af_str(af));
        zor_client_unregister(ctx, client->id, af);
        break;
    case ZOR_MSG_TLOC_BFD_STATUS:
        zor_af_tloc_db_bfd_status(af, ctx, client, msg);
        break;
    case ZOR_MSG_LINK_STATUS:
        zor_af_link_db_bfd_status(af, ctx, client, msg);
        break;
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_TRACKER_ADD:
        if (zor_af_filter(af, msg)) {
            (void)zor_af_add(af, ctx, client, msg);
        }
        break;
    case ZOR_MSG_TLOC_DEL:
    case ZOR_MSG_LINK_DEL:
    case ZOR_MSG_CTRL_DEVICE_DEL:
    case ZOR_MSG_VPN_SEC_DEL:
    case ZOR_MSG_PEER_SEC_DEL:
    case ZOR_MSG_TRACKER_DEL:
        zor_af_delete(af, ctx, client, msg);
        break;
    case ZOR_MSG_TRACKER_STATUS:
        zor_af_tracker_status_msg(af, ctx, msg);
        break;
    case ZOR_MSG_DATA_DEVICE_STATE:
        zor_af_data_device_state_msg(af, ctx, msg);
        break;
    default:
        // Data-device entries are only ever sent by zord.
        ZOR_LOG("Dropped %s from %s: zord does not take this message type", zor_msg_type_str(msg->type),
                zor_module_name(client->id));
        break;
    }
}

// The walk of a lost client: its bit goes from every entry and the entries
// it owns are withdrawn. An entry that is already withdrawn and was held by
// this client alone has nobody left to send the deletion to, so it is
// finished here too (otherwise it would wait on the list until teardown).
// arg2: the count of entries withdrawn for the client.
int zor_client_lost_cb(t_zor_db_entry *entry, void *arg, void *arg2, void * /*arg3*/)
{
    auto *client = static_cast<t_zor_client *>(arg);
    t_zor_context *ctx = client->context;
    if (entry->sent_bitmap == nullptr) {
        return 0;
    }
    zor_bitmap_clear(entry->sent_bitmap, client->id);
    if (entry->client_p == client) {
        if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
            ++*static_cast<uint32_t *>(arg2);
        }
        zor_af_withdraw(entry->family, ctx, client, entry);
    } else if ((entry->flags & ZOR_ENTRY_WITHDRAWN) && !zor_db_entry_is_held(entry)) {
        zor_af_withdraw(entry->family, ctx, entry->client_p, entry);
    }
    return 0;
}

}  // namespace

// ------------------------------------------------------------ clients

bool zor_client_is_peer(uint32_t id)
{
    switch (id) {
    case OST_MODULE_ADVD:
    case OST_MODULE_XFWD:
    case OST_MODULE_CTLAGENT:
    case OST_MODULE_SETKEEPER:
    case OST_MODULE_POLICYD:
    case OST_MODULE_PROBED:
    case OST_MODULE_MCASTD:
    case OST_MODULE_KLXD:
        return true;
    default:
        return id >= OST_MODULE_CTLAGENT_0 && id <= OST_MODULE_CTLAGENT_63;
    }
}

int zor_clients_init(t_zor_context *ctx)
{
    zor_dist_configure();
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (zor_client_is_peer(id) && zor_client_create(ctx, id) == nullptr) {
            return ZOR_ERR_NO_MEMORY;
        }
    }
    return ZOR_OK;
}

void zor_clients_fini(t_zor_context *ctx)
{
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        zor_client_destroy(ctx, id);
    }
}

t_zor_client *zor_client_create(t_zor_context *ctx, uint32_t id)
{
    OST_ASSERT_TEXT(id < OST_MODULE_MAX, "client_id < OST_MODULE_MAX");
    if (ctx->clients[id] != nullptr) {
        return ctx->clients[id];
    }
    t_zor_client *client = zor_mem_new<t_zor_client>();
    if (client == nullptr) {
        return nullptr;
    }
    client->id = id;
    client->context = ctx;
    ctx->clients[id] = client;

    msgq_setup_t s = msgq_setup_unix(ctx->daemon->event_base.get(), ctx->daemon->timer_mgr);
    s.cbs.conn_up = zor_client_conn_up;
    s.cbs.conn_down = zor_client_conn_down;
    s.cbs.recv_msg = zor_client_recv;
    s.cbs.alloc_msg = zor_mem_msgq_alloc;
    s.cbs.free_msg = zor_mem_msgq_free;
    client->handle = msgq_init(ctx->daemon->instance, id, MSGQ_HANDLE_TYPE_SERVER, &s.params, &s.cbs, client);
    if (client->handle == nullptr) {
        ZOR_LOG("Failed to open the message queue of client %s", zor_module_name(id));
        zor_client_destroy(ctx, id);
        return nullptr;
    }
    return client;
}

void zor_client_destroy(t_zor_context *ctx, uint32_t id)
{
    OST_ASSERT_TEXT(id < OST_MODULE_MAX, "client_id < OST_MODULE_MAX");
    t_zor_client *client = ctx->clients[id];
    if (client == nullptr) {
        return;
    }
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        zor_client_unregister(ctx, id, af);
    }
    // Closing a connected handle reports the connection down to the client
    // record, which therefore stays in the table until the handle is gone.
    msgq_deinit(client->handle);
    client->handle = nullptr;
    ctx->clients[id] = nullptr;
    zor_mem_delete(client);
}

t_zor_client *zor_client_get(const t_zor_context *ctx, uint32_t id)
{
    return ctx != nullptr && id < OST_MODULE_MAX ? ctx->clients[id] : nullptr;
}

int zor_client_register(t_zor_context *ctx, uint32_t id, zor_af_t af, uint8_t announce, uint8_t originate)
{
    if (announce == 0) {
        return ZOR_OK;
    }
    OST_ASSERT_TEXT(id < OST_MODULE_MAX, "client_id < OST_MODULE_MAX");
    OST_ASSERT(af < ZOR_AF_COUNT);
    t_zor_client *client = ctx->clients[id];
    if (client == nullptr) {
        return ZOR_ERR_NOT_FOUND;
    }
    client->announce[af] = 1;
    // The message's byte is compared with the stored flag as it stands:
    // originate 5 after originate 1 counts as a change and builds the local
    // TLOCs' links again, while the stored flag stays 1.
    const bool originate_changed = originate != client->originate[af];
    client->originate[af] = originate != 0 ? 1 : 0;

    if (client->marker[af] == nullptr) {
        client->marker[af] = zor_db_marker_create(ctx, client, af, 1);
        if (client->marker[af] == nullptr) {
            for (zor_af_t f = 0; f < ZOR_AF_COUNT; f++) {
                zor_client_unregister(ctx, id, f);
            }
            return ZOR_ERR_NO_MEMORY;
        }
        zor_dist_client_join(client);
        zor_db_walk_kick(ctx);
    }
    if (originate_changed) {
        zor_af_tloc_links_update_local(ctx, client->originate[af] == 0);
    }
    return ZOR_OK;
}

void zor_client_unregister(t_zor_context *ctx, uint32_t id, zor_af_t af)
{
    OST_ASSERT_TEXT(id < OST_MODULE_MAX, "client_id < OST_MODULE_MAX");
    t_zor_client *client = ctx->clients[id];
    if (client == nullptr || af >= ZOR_AF_COUNT || client->marker[af] == nullptr) {
        return;
    }
    zor_db_entry_free(ctx, client->marker[af]);
    client->marker[af] = nullptr;
    if (std::none_of(std::begin(client->marker), std::end(client->marker),
                     [](const t_zor_db_entry *m) { return m != nullptr; })) {
        zor_dist_client_leave(client);
    }
}

void zor_client_recv(msgq_handle_t *handle, void *app, uint16_t len, void *arg)
{
    auto *client = static_cast<t_zor_client *>(arg);
    zor_msg_t msg;
    const int rc = zor_msg_decode(&msg, static_cast<const uint8_t *>(app), len);
    // The record holds everything the message said: the buffer can go now.
    msgq_free_msg(handle, app);
    if (client == nullptr) {
        return;
    }
    if (rc != 0) {
        ZOR_LOG("Dropped a message from %s that cannot be decoded (%u bytes)", zor_module_name(client->id), len);
        return;
    }
    // The family indexes the client's per-family arrays and the operation
    // tables: a family outside them is dropped before anything is counted.
    if (msg.family >= ZOR_AF_COUNT) {
        ZOR_LOG("Dropped %s from %s: unknown address family %u", zor_msg_type_str(msg.type),
                zor_module_name(client->id), msg.family);
        return;
    }
    client->counters[msg.family].received++;
    zor_debug_announcement(&msg, client->id, false);
    zor_client_dispatch(client->context, client, &msg);
}

void zor_client_conn_down(msgq_handle_t * /*handle*/, void *arg, msgq_handle_t * /*handle2*/, void * /*arg2*/)
{
    auto *client = static_cast<t_zor_client *>(arg);
    if (client == nullptr) {
        OST_ASSERT_AT(false, "0", 84);
    }
    t_zor_context *ctx = client->context;
    zor_dist_client_reset(client);
    // At teardown every entry is freed anyway: withdrawing them one by one
    // would only send deletions nobody is left to read.
    if (!ctx->shutting_down) {
        char withdrawn[256] = "";
        size_t used = 0;
        for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
            uint32_t count = 0;
            (void)zor_db_walk(ctx, af, zor_client_lost_cb, client, &count, nullptr);
            if (count > 0 && used < sizeof(withdrawn)) {
                used += static_cast<size_t>(snprintf(withdrawn + used, sizeof(withdrawn) - used, "%s %s %u",
                                                     used > 0 ? "," : "", zor_af_str(af), count));
            }
        }
        ZOR_LOG("Client %s disconnected: withdrew%s", zor_module_name(client->id), used > 0 ? withdrawn : " nothing");
    }
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        zor_client_unregister(ctx, client->id, af);
    }
}

// ------------------------------------------------------------ commands

int zor_dump_clients(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    maapi_cli_printf(sock, usess, "======================\n");
    maapi_cli_printf(sock, usess, "DUMPING CLIENTS\n");
    maapi_cli_printf(sock, usess, "======================\n");
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr) {
        return 0;
    }
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        const t_zor_client *client = ctx->clients[id];
        if (client == nullptr) {
            continue;
        }
        maapi_cli_printf(sock, usess, "\nClient: %s (%p)\n", ost_module_str(id), static_cast<const void *>(client));
        for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
            maapi_cli_printf(sock, usess, "\n    %s  ", zor_af_str(af));
            maapi_cli_printf(sock, usess, "  Announce: %d  Originate: %d  Sent: %lu  Received: %lu\n",
                             client->announce[af], client->originate[af],
                             static_cast<unsigned long>(client->counters[af].sent),
                             static_cast<unsigned long>(client->counters[af].received));
        }
        maapi_cli_printf(sock, usess, "\n");
        zor_daemon_yield(ctx);
    }
    return 0;
}

int zor_dump_msgq(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    msgq_dump(uinfo->msock, uinfo->usid);
    return 0;
}
