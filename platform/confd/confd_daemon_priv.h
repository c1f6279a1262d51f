// The daemon handle's library state. Private to the library.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "confd_conn.h"
#include "confd_lib.h"

struct confd_notification_ctx {
    struct confd_daemon_ctx *dx = nullptr;
    int fd = -1;           // the worker socket that sends go out on
    bool snmp = false;
    std::string stream;    // the stream's name ("snmp" for trap contexts)
    std::string notify_name;  // SNMP: the notify target of the next send
    std::string ctx_name;
};

namespace confd_impl {

// A transaction the agent opened towards the daemon: the context handed
// to the callbacks and the user information it points at.
struct trans_entry {
    confd_trans_ctx tctx{};
    confd_user_info uinfo{};
};

// An action request between its ACTION_INIT (control) and its run on the
// worker: the user information that the init callback may have changed.
struct action_entry {
    confd_user_info uinfo{};
};

}  // namespace confd_impl

struct confd_daemon_private {
    int ctl_fd = -1;
    int64_t daemon_id = 0;
    std::vector<int> workers;
    bool registered = false;  // REG_DONE sent
    bool has_trans = false;
    confd_trans_cbs trans{};
    bool has_validate = false;
    confd_trans_validate_cbs validate{};
    std::map<std::string, confd_valpoint_cb> valpoints;
    std::map<std::string, confd_data_cbs> data;
    std::map<std::string, confd_action_cbs> actions;
    std::map<int64_t, std::unique_ptr<confd_impl::trans_entry>> trans_by_th;
    std::map<std::pair<int64_t, std::string>, std::unique_ptr<confd_impl::action_entry>> pending_actions;
    std::vector<std::unique_ptr<confd_notification_ctx>> notif_ctxs;
};

namespace confd_impl {

// Copies src into a fixed-size name field, cut to fit and terminated.
inline void copy_name(char *dst, size_t n, std::string_view src)
{
    size_t len = std::min(n - 1, src.size());
    memcpy(dst, src.data(), len);
    dst[len] = 0;
}

inline bool is_worker(const confd_daemon_private &p, int fd)
{
    return std::find(p.workers.begin(), p.workers.end(), fd) != p.workers.end();
}

// Text set by confd_trans_seterr / confd_action_seterr during the callback
// now running on this thread.
std::string &callback_error();

// Sends REPLY with the given fields on fd for the request xid when that
// request is the one being served and has no reply yet. CONFD_ERR
// (CONFD_ERR_PROTOUSAGE) for a second reply.
int send_reply_to(int fd, uint32_t xid, mgmt_wire::writer &w);

}  // namespace confd_impl
