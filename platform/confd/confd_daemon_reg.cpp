// The daemon handle, its sockets and its registrations.
#include <cstring>
#include <new>

#include "confd_daemon_priv.h"

using namespace confd_impl;

namespace {

// The control socket's state for a registration. Null (and the error set)
// when the daemon has none, or has already finished registering.
conn_ptr control_for_registration(confd_daemon_ctx *dx)
{
    if (dx == nullptr || dx->priv == nullptr) {
        fail(CONFD_ERR_PROTOUSAGE, "no daemon handle");
        return nullptr;
    }
    if (dx->priv->registered) {
        fail(CONFD_ERR_PROTOUSAGE, "registrations are over: confd_register_done was called");
        return nullptr;
    }
    conn_ptr c = dx->priv->ctl_fd < 0 ? nullptr : conn_find(dx->priv->ctl_fd);
    if (c == nullptr || c->kind != MGMT_CONN_CONTROL) {
        fail(CONFD_ERR_PROTOUSAGE, "the daemon's control socket is not connected");
        return nullptr;
    }
    return c;
}

// One registration request and its empty reply.
int register_call(conn &c, mgmt_wire::writer &w, uint32_t xid)
{
    std::string reply;
    return conn_call(c, xid, w.finish(), reply);
}

// ---------------------------------------------------------------- serving

}  // namespace

extern "C" {


struct confd_daemon_ctx *confd_init_daemon(const char *name)
{
    auto *dx = new (std::nothrow) confd_daemon_ctx{};
    if (dx == nullptr) {
        fail(CONFD_ERR_MALLOC, "out of memory");
        return nullptr;
    }
    dx->priv = new (std::nothrow) confd_daemon_private;
    if (dx->priv == nullptr) {
        delete dx;
        fail(CONFD_ERR_MALLOC, "out of memory");
        return nullptr;
    }
    copy_name(dx->name, sizeof(dx->name), name != nullptr ? name : "");
    return dx;
}

void confd_release_daemon(struct confd_daemon_ctx *dx)
{
    if (dx == nullptr) {
        return;
    }
    if (dx->priv != nullptr) {
        if (dx->priv->ctl_fd >= 0) {
            conn_forget(dx->priv->ctl_fd);
        }
        for (int fd : dx->priv->workers) {
            conn_forget(fd);
        }
        delete dx->priv;
    }
    delete dx;
}

int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type, const struct sockaddr *srv,
                  int addrsz)
{
    if (dx == nullptr || dx->priv == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no daemon handle");
    }
    confd_daemon_private &p = *dx->priv;
    conn_ptr c;
    if (type == CONTROL_SOCKET) {
        if (conn_open(sock, srv, addrsz, MGMT_CONN_CONTROL, dx->name, 0, &c) != CONFD_OK) {
            return CONFD_ERR;
        }
        // A new control connection is a new daemon towards the agent: what
        // was registered and bound on the old one is gone with it.
        if (p.ctl_fd >= 0 && p.ctl_fd != sock) {
            conn_forget(p.ctl_fd);
        }
        for (int fd : p.workers) {
            if (fd != sock) {
                conn_forget(fd);
            }
        }
        p.workers.clear();
        p.registered = false;
        p.trans_by_th.clear();
        p.pending_actions.clear();
        p.ctl_fd = sock;
        p.daemon_id = c->id;
        return CONFD_OK;
    }
    if (type != WORKER_SOCKET) {
        return fail(CONFD_ERR_PROTOUSAGE, "unknown socket type");
    }
    if (p.ctl_fd < 0 || conn_find(p.ctl_fd) == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "connect the control socket first");
    }
    if (conn_open(sock, srv, addrsz, MGMT_CONN_WORKER, dx->name, p.daemon_id, &c) != CONFD_OK) {
        return CONFD_ERR;
    }
    if (!is_worker(p, sock)) {
        p.workers.push_back(sock);
    }
    return CONFD_OK;
}

int confd_register_trans_cb(struct confd_daemon_ctx *dx, const struct confd_trans_cbs *tcb)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr || tcb == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no callbacks");
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_TRANS, xid);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->trans = *tcb;
    dx->priv->has_trans = true;
    return CONFD_OK;
}

int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx, const struct confd_trans_validate_cbs *vcbs)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr || vcbs == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no callbacks");
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_VALIDATE, xid);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->validate = *vcbs;
    dx->priv->has_validate = true;
    return CONFD_OK;
}

int confd_register_valpoint_cb(struct confd_daemon_ctx *dx, const struct confd_valpoint_cb *vcb)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr || vcb == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no callbacks");
    }
    std::string name(vcb->valpoint, strnlen(vcb->valpoint, sizeof(vcb->valpoint)));
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_VALPOINT, xid);
    w.str(name);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->valpoints[name] = *vcb;
    return CONFD_OK;
}

int confd_register_data_cb(struct confd_daemon_ctx *dx, const struct confd_data_cbs *dcb)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr || dcb == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no callbacks");
    }
    std::string name(dcb->callpoint, strnlen(dcb->callpoint, sizeof(dcb->callpoint)));
    int64_t mask = (dcb->get_elem != nullptr ? int64_t{MGMT_DATA_GET_ELEM} : 0) |
                   (dcb->get_next != nullptr ? int64_t{MGMT_DATA_GET_NEXT} : 0) |
                   (dcb->num_instances != nullptr ? int64_t{MGMT_DATA_NUM_INSTANCES} : 0) |
                   (dcb->get_object != nullptr ? int64_t{MGMT_DATA_GET_OBJECT} : 0) |
                   (dcb->get_next_object != nullptr ? int64_t{MGMT_DATA_GET_NEXT_OBJECT} : 0) |
                   (dcb->find_next_object != nullptr ? int64_t{MGMT_DATA_FIND_NEXT_OBJECT} : 0);
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_DATA_CB, xid);
    w.str(name).i64(mask);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->data[name] = *dcb;
    return CONFD_OK;
}

int confd_register_action_cbs(struct confd_daemon_ctx *dx, const struct confd_action_cbs *acb)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr || acb == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no callbacks");
    }
    std::string name(acb->actionpoint, strnlen(acb->actionpoint, sizeof(acb->actionpoint)));
    int64_t mask = (acb->action != nullptr ? int64_t{MGMT_ACTION_ACTION} : 0) |
                   (acb->command != nullptr ? int64_t{MGMT_ACTION_COMMAND} : 0);
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_ACTION, xid);
    w.str(name).i64(mask);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->actions[name] = *acb;
    return CONFD_OK;
}

int confd_register_done(struct confd_daemon_ctx *dx)
{
    conn_ptr c = control_for_registration(dx);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_DONE, xid);
    if (register_call(*c, w, xid) != CONFD_OK) {
        return CONFD_ERR;
    }
    dx->priv->registered = true;
    return CONFD_OK;
}

}  // extern "C"
