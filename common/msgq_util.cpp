// The message queue's instance and handles: the process-wide instance, the
// three handle lists, deferred freeing, creating and deleting handles,
// closing a connection, and message buffers. Connections are accepted and
// registered in msgq_util_accept.cpp, listened for in msgq_util_server.cpp
// and made by clients in msgq_util_client.cpp.
#include "msgq_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "msgq_util_priv.h"
#include "ost_rundir.h"

namespace msgq_priv {

msgq_inst_t *g_inst = nullptr;
int g_debug = 0;

int log_pri()
{
    uint32_t facility = g_inst != nullptr ? g_inst->facility : LOG_LOCAL7;
    return static_cast<int>(facility) | LOG_DEBUG;
}

const char *module_name(uint32_t module)
{
    return module < OST_MODULE_MAX ? ost_module_str(module) : "invalid";
}

frame::~frame()
{
    if (--inst_->depth != 0) {
        return;
    }
    while (!inst_->reap_list.empty()) {
        msgq_handle_t *h = &inst_->reap_list.front();
        inst_->reap_list.pop_front();
        delete h;
    }
    if (inst_->reg_msgq_listhead.empty() && inst_->unreg_msgq_listhead.empty()) {
        inst_free(inst_);
    }
}

int64_t elapsed_ms(const timespec &start)
{
    timespec now{};
    timer_clock_now(&now);
    return (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

size_t app_offset(const msgq_handle_t *h)
{
    return h->use_app_header ? 0 : sizeof(msgq_hdr_t);
}

}  // namespace msgq_priv

using namespace msgq_priv;

namespace msgq_priv {

// ------------------------------------------------------------ deferred freeing

// The handle must be in no list.
void msgq_handle_free(msgq_handle_t *h)
{
    MSGQ_ASSERT(!h->in_reg_list && !h->in_unreg_list && !h->in_tmp_list);
    msgq_inst_t *inst = h->inst;
    if (inst != nullptr && inst->depth > 0) {
        h->free_pending = 1;
        inst->reap_list.push_front(*h);
        return;
    }
    delete h;
}

// ------------------------------------------------------------ handle lists

msgq_handle_list_t *msgq_list_of(msgq_handle_t *h)
{
    if (h->in_reg_list) {
        return &h->inst->reg_msgq_listhead;
    }
    if (h->in_unreg_list) {
        return &h->inst->unreg_msgq_listhead;
    }
    if (h->in_tmp_list) {
        return &h->inst->tmp_msgq_listhead;
    }
    return nullptr;
}

void msgq_list_remove(msgq_handle_t *h)
{
    msgq_handle_list_t *list = msgq_list_of(h);
    if (list == nullptr) {
        return;
    }
    list->erase(list->iterator_to(*h));
    h->in_reg_list = 0;
    h->in_unreg_list = 0;
    h->in_tmp_list = 0;
}

void msgq_list_insert(msgq_handle_t *h, msgq_list_id which)
{
    msgq_list_remove(h);
    msgq_inst_t *inst = h->inst;
    msgq_handle_list_t *list = which == msgq_list_id::reg     ? &inst->reg_msgq_listhead
                               : which == msgq_list_id::unreg ? &inst->unreg_msgq_listhead
                                                              : &inst->tmp_msgq_listhead;
    list->push_front(*h);
    h->in_reg_list = which == msgq_list_id::reg;
    h->in_unreg_list = which == msgq_list_id::unreg;
    h->in_tmp_list = which == msgq_list_id::tmp;
}

bool msgq_same_path(const char *a, const char *b)
{
    return strncmp(a, b, MSGQ_PATH_LEN) == 0;
}

// The server handle that a peer registering as (peer_src -> peer_tgt) at path
// belongs to. Only server handles take accepted connections.
msgq_handle_t *msgq_find_server(msgq_handle_list_t *list, uint8_t src, uint8_t tgt, const char *path)
{
    for (msgq_handle_t &h : *list) {
        if (h.type == MSGQ_HANDLE_TYPE_SERVER && h.src == src && h.tgt == tgt && msgq_same_path(h.path, path)) {
            return &h;
        }
    }
    return nullptr;
}

bool msgq_is_duplicate(const msgq_inst_t *inst, uint8_t src, uint8_t tgt, uint8_t type, const char *path)
{
    for (const msgq_handle_list_t *list :
         {&inst->reg_msgq_listhead, &inst->unreg_msgq_listhead, &inst->tmp_msgq_listhead}) {
        for (const msgq_handle_t &h : *list) {
            if (h.src == src && h.tgt == tgt && h.type == type && msgq_same_path(h.path, path)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace msgq_priv

namespace {

// ------------------------------------------------------------ instance


msgq_inst_t *msgq_inst_init(const msgq_params_t *params)
{
    auto *inst = new (std::nothrow) msgq_inst_t();
    if (inst == nullptr) {
        return nullptr;
    }
    if (params != nullptr) {
        inst->evbase = params->evbase;
        inst->timer_mgr = params->timer_mgr;
        inst->facility = params->facility;
    } else {
        inst->facility = LOG_LOCAL7;  // only for the validation failure line that follows
    }
    g_inst = inst;
    return inst;
}

bool msgq_validate_params(uint32_t type, const msgq_params_t *params, const msgq_callbacks_t *cbs)
{
    if (params == nullptr || cbs == nullptr || params->evbase == nullptr) {
        return false;
    }
    if (type != MSGQ_HANDLE_TYPE_SERVER && type != MSGQ_HANDLE_TYPE_CLIENT) {
        return false;
    }
    if (type == MSGQ_HANDLE_TYPE_CLIENT && params->timer_mgr == nullptr) {
        return false;
    }
    // Messages and queue nodes come only from the user's allocator.
    if (cbs->recv_msg == nullptr || cbs->spare == nullptr || cbs->alloc_msg == nullptr ||
        cbs->free_msg == nullptr) {
        return false;
    }
    if ((params->use_app_header & 1) != 0) {
        // The 16-bit length must lie inside the application header, or the
        // reader would take it from beyond the bytes it read.
        if (params->app_hdr_len < 1 || params->app_hdr_len > MSGQ_MAX_HDR_LEN) {
            return false;
        }
        if (params->app_hdr_len < 2 || params->app_size_offset > params->app_hdr_len - 2) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Runs at depth 0 once no handle is left: connections that never
// registered are closed and the next msgq_init starts afresh.
void msgq_priv::inst_free(msgq_inst_t *inst)
{
    MSGQ_ASSERT(inst->depth == 0 && inst->reap_list.empty());
    // A temporary connection owns only its socket and read event; it is
    // closed here directly, outside any frame (a frame's end would come
    // back here).
    while (!inst->tmp_msgq_listhead.empty()) {
        msgq_handle_t *tmp = &inst->tmp_msgq_listhead.front();
        MSGQ_LOG("Closing connection with fd: %d", tmp->sock_fd);
        tmp->read_ev.reset();
        if (tmp->sock_fd != -1) {
            shutdown(tmp->sock_fd, SHUT_RDWR);
            close(tmp->sock_fd);
        }
        msgq_list_remove(tmp);
        delete tmp;
    }
    MSGQ_ASSERT(inst->server_list.empty());
    rx_inst_free(inst);
    g_inst = nullptr;
    delete inst;
}

// ============================================================ handles

msgq_inst_t *msgq_inst_get()
{
    return g_inst;
}

msgq_setup_t msgq_setup_unix(event_base *evbase, timer_mgr_t *timer_mgr)
{
    msgq_setup_t s{};
    s.params.evbase = evbase;
    s.params.timer_mgr = timer_mgr;
    s.params.facility = LOG_LOCAL7;
    s.params.sock_type = MSGQ_SOCK_TYPE_UNIX;
    s.cbs.spare = [](msgq_handle_t *, void *, msgq_handle_t *, void *) {};
    return s;
}

msgq_handle_t *msgq_init(uint32_t src, uint32_t tgt, uint32_t type, const msgq_params_t *params,
                         const msgq_callbacks_t *cbs, void *user_arg)
{
    if (src < 1 || src >= OST_MODULE_MAX || tgt < 1 || tgt >= OST_MODULE_MAX) {
        return nullptr;
    }
    msgq_inst_t *inst = g_inst != nullptr ? g_inst : msgq_inst_init(params);
    if (inst == nullptr) {
        return nullptr;
    }
    frame guard(inst);
    MSGQ_LOG("Msg init with src: %s, tgt: %s, type: %d", ost_module_str(src), ost_module_str(tgt), type);

    bool valid = msgq_validate_params(type, params, cbs);
    if (!valid) {
        MSGQ_ERR("Validation of parameters failed");
    }
    MSGQ_ASSERT(valid);
    // The instance keeps the first caller's event base and timer manager; a
    // server-only first caller may have brought no manager, so the first
    // client's is taken then.
    if (inst->timer_mgr == nullptr) {
        inst->timer_mgr = params->timer_mgr;
    }

    char path[MSGQ_PATH_LEN];
    int n;
    if (params->path[0] != '\0') {
        n = static_cast<int>(strnlen(params->path, MSGQ_PATH_LEN));
        snprintf(path, sizeof(path), "%.*s", n, params->path);
    } else {
        n = ost_run_path(path, sizeof(path), ".%s",
                         ost_module_str(type == MSGQ_HANDLE_TYPE_SERVER ? src : tgt));
    }
    if (n < 0 || n >= MSGQ_PATH_LEN) {
        // A run directory too long for a socket path: no handle rather than
        // a cut path that another daemon would never find.
        MSGQ_ERR("Socket path for %s is longer than %d characters", ost_module_str(tgt), MSGQ_PATH_LEN - 1);
        return nullptr;
    }

    bool duplicate = msgq_is_duplicate(inst, static_cast<uint8_t>(src), static_cast<uint8_t>(tgt),
                                       static_cast<uint8_t>(type), path);
    if (duplicate) {
        MSGQ_ERR("Duplicate msgq_handle found");
    }
    MSGQ_ASSERT(!duplicate);

    bool supported = params->sock_type == MSGQ_SOCK_TYPE_UNIX || params->sock_type == MSGQ_SOCK_TYPE_IPV4;
    if (!supported) {
        MSGQ_ERR("Unsupported socket type");
    }
    MSGQ_ASSERT(supported);

    auto *h = new (std::nothrow) msgq_handle_t();
    if (h == nullptr) {
        MSGQ_ERR("Alloc failed");
        return nullptr;
    }
    h->src = static_cast<uint8_t>(src);
    h->tgt = static_cast<uint8_t>(tgt);
    h->type = static_cast<uint8_t>(type);
    h->inst = inst;
    h->use_app_header = params->use_app_header & 1;
    h->skip_register = (params->skip_register & 1) | h->use_app_header;
    h->app_hdr_len = static_cast<uint8_t>(params->app_hdr_len);
    h->app_size_offset = static_cast<uint8_t>(params->app_size_offset);
    h->blocking = type == MSGQ_HANDLE_TYPE_CLIENT ? (params->blocking & 1) : 0;
    h->sock_type = params->sock_type;
    // The path is kept for every socket type: it is part of a handle's identity.
    memcpy(h->path, path, sizeof(path));
    if (params->sock_type == MSGQ_SOCK_TYPE_IPV4) {
        h->port = params->port;
        snprintf(h->ipaddr, sizeof(h->ipaddr), "%.*s", MSGQ_IPADDR_LEN - 1, params->ipaddr);
    }
    h->cbs = *cbs;
    h->user_arg = user_arg;
    msgq_list_insert(h, msgq_list_id::unreg);

    if (type == MSGQ_HANDLE_TYPE_SERVER) {
        int rc = msgq_init_start_server(h);
        if (rc != MSGQ_OK && rc != MSGQ_START_ALREADY) {
            MSGQ_ERR("Error %u in initializing server for %s", rc, h->path);
        }
        MSGQ_ASSERT(rc == MSGQ_OK || rc == MSGQ_START_ALREADY);
    } else {
        msgq_init_start_client(h);
    }
    return h;
}

void msgq_deinit(msgq_handle_t *msgq_p)
{
    if (msgq_p == nullptr) {
        return;
    }
    MSGQ_ASSERT(!msgq_p->free_pending);
    frame guard(msgq_p->inst);
    msgq_close_connection(msgq_p, 0);
    MSGQ_ASSERT(msgq_p->in_unreg_list);
    msgq_list_remove(msgq_p);
    if (msgq_p->connect_timer != nullptr) {
        timer_util_delete(msgq_p->connect_timer);
        msgq_p->connect_timer = nullptr;
    }
    if (msgq_p->server_p != nullptr) {
        msgq_server_put(msgq_p);
    }
    msgq_handle_free(msgq_p);
}

void msgq_set_user_arg(msgq_handle_t *msgq_p, void *user_arg)
{
    msgq_p->user_arg = user_arg;
}

bool msgq_is_connected(const msgq_handle_t *msgq_p)
{
    return msgq_p != nullptr && msgq_p->sock_fd != -1 && !msgq_p->down_pending;
}

void msgq_close_connection(msgq_handle_t *msgq_p, int restart)
{
    frame guard(msgq_p->inst);
    MSGQ_LOG("Closing connection with fd: %d", msgq_p->sock_fd);
    msgq_p->stats.conn_close++;
    msgq_p->down_pending = 0;
    msgq_p->conn_gen++;

    msgq_p->read_ev.reset();
    for (int i = 0; i < 2; i++) {
        msgq_p->write_ev[i].reset();
        msgq_p->write_scheduled[i] = 0;
        msgq_p->read_helper_ev[i].reset();
        msgq_p->read_helper_scheduled[i] = 0;
    }
    msgq_p->write_idx = 0;
    msgq_p->read_helper_idx = 0;

    tx_queue_free(msgq_p);
    rx_reset(msgq_p);

    if (msgq_p->sock_fd != -1) {
        shutdown(msgq_p->sock_fd, SHUT_RDWR);
        close(msgq_p->sock_fd);
        msgq_p->sock_fd = -1;
    }
    if (msgq_p->in_reg_list) {
        msgq_list_insert(msgq_p, msgq_list_id::unreg);
        msgq_p->stats.conn_down++;
        if (msgq_p->cbs.conn_down != nullptr) {
            msgq_p->cbs.conn_down(msgq_p, msgq_p->user_arg, msgq_p, msgq_p->user_arg);
        }
    }
    if (restart && msgq_p->type == MSGQ_HANDLE_TYPE_CLIENT && msgq_p->connect_timer != nullptr) {
        timer_enable(msgq_p->connect_timer);
    }
}

// ============================================================ messages

uint16_t msgq_hdr_len(const msgq_handle_t *msgq_p)
{
    return msgq_p->use_app_header ? msgq_p->app_hdr_len : static_cast<uint16_t>(sizeof(msgq_hdr_t));
}

uint16_t msgq_size_msg_to_app(const msgq_handle_t *msgq_p, uint16_t size)
{
    return msgq_p->use_app_header ? size : static_cast<uint16_t>(size - sizeof(msgq_hdr_t));
}

uint16_t msgq_size_app_to_msg(const msgq_handle_t *msgq_p, uint16_t size)
{
    return msgq_p->use_app_header ? size : static_cast<uint16_t>(size + sizeof(msgq_hdr_t));
}

void *msgq_alloc_msg(msgq_handle_t *msgq_p, uint32_t app_size)
{
    MSGQ_ASSERT(app_size <= (msgq_p->use_app_header ? MSGQ_MAX_MSG_SIZE : MSGQ_MAX_APP_SIZE));
    uint16_t size = msgq_size_app_to_msg(msgq_p, static_cast<uint16_t>(app_size));
    auto *buf = static_cast<uint8_t *>(msgq_p->cbs.alloc_msg(size));
    if (buf == nullptr) {
        msgq_p->stats.alloc_failed++;
        return nullptr;
    }
    msgq_p->stats.msg_allocs++;
    if (!msgq_p->use_app_header) {
        msgq_hdr_t hdr{};
        hdr.magic1 = MAGIC1;
        hdr.magic2 = MAGIC2;
        hdr.size = size;  // the capacity, checked when the message is written
        memcpy(buf, &hdr, sizeof(hdr));
    }
    return buf + app_offset(msgq_p);
}

void msgq_free_msg(msgq_handle_t *msgq_p, void *app_p)
{
    if (app_p == nullptr) {
        return;
    }
    msgq_p->stats.msg_frees++;
    msgq_p->cbs.free_msg(static_cast<uint8_t *>(app_p) - app_offset(msgq_p));
}
