// The message queue's dump: the instance and every handle with its
// counters, printed on a CLI session.
#include <iterator>

#include "confd_maapi.h"
#include "msgq_util_priv.h"

using namespace msgq_priv;

namespace {

const char *msgq_type_str(uint8_t type)
{
    switch (type) {
    case MSGQ_HANDLE_TYPE_SERVER:
        return "SERVER";
    case MSGQ_HANDLE_TYPE_CLIENT:
        return "CLIENT";
    default:
        return "Unknown";
    }
}


struct msgq_counter_row {
    const char *name;
    uint32_t msgq_stats_t::*field;
};

constexpr msgq_counter_row k_counters[] = {
    {"tx_msg", &msgq_stats_t::tx_msg},
    {"tx_fail", &msgq_stats_t::tx_fail},
    {"rx_msg", &msgq_stats_t::rx_msg},
    {"rx_fail", &msgq_stats_t::rx_fail},
    {"tx_resched", &msgq_stats_t::tx_resched},
    {"tx_write_cb", &msgq_stats_t::tx_write_cb},
    {"rx_register", &msgq_stats_t::rx_register},
    {"tx_register", &msgq_stats_t::tx_register},
    {"conn_up", &msgq_stats_t::conn_up},
    {"conn_down", &msgq_stats_t::conn_down},
    {"conn_close", &msgq_stats_t::conn_close},
    {"conn_exist", &msgq_stats_t::conn_exist},
    {"msg_allocs", &msgq_stats_t::msg_allocs},
    {"msg_frees", &msgq_stats_t::msg_frees},
    {"alloc_failed", &msgq_stats_t::alloc_failed},
    {"tx_queued", &msgq_stats_t::tx_queued},
    {"tx_dequeued", &msgq_stats_t::tx_dequeued},
    {"tx_queue_failed", &msgq_stats_t::tx_queue_failed},
    {"rx_read_helper_cb", &msgq_stats_t::rx_read_helper_cb},
    {"rx_read_helper_scheduled", &msgq_stats_t::rx_read_helper_scheduled},
    {"tx_queue_cur_length", &msgq_stats_t::tx_queue_cur_length},
};
static_assert(std::size(k_counters) == sizeof(msgq_stats_t) / sizeof(uint32_t));

const char *msgq_bool_upper(bool b)
{
    return b ? "TRUE" : "FALSE";
}

const char *msgq_bool_title(bool b)
{
    return b ? "True" : "False";
}

void msgq_dump_handle(int sock, int usess, const msgq_handle_t *h)
{
    maapi_cli_printf(sock, usess, "\n");
    maapi_cli_printf(sock, usess, "\n  msgq_p: %p", static_cast<const void *>(h));
    maapi_cli_printf(sock, usess, "\n    Src: %s, Tgt: %s", module_name(h->src), module_name(h->tgt));
    maapi_cli_printf(sock, usess, "\n    type: %s, path:%s server_p: %p", msgq_type_str(h->type), h->path,
                     static_cast<const void *>(h->server_p));
    maapi_cli_printf(sock, usess, "\n    register: %s, user_arg: %p, down-pending: %d",
                     h->skip_register ? "FALSE" : "TRUE", h->user_arg, h->down_pending);
    maapi_cli_printf(sock, usess, "\n    fd: %d, Rd ev: %p, Wr ev[0]: %p, Wr ev[1]: %p", h->sock_fd,
                     static_cast<const void *>(h->read_ev.get()), static_cast<const void *>(h->write_ev[0].get()),
                     static_cast<const void *>(h->write_ev[1].get()));
    maapi_cli_printf(sock, usess, "\n    Read Helper ev[0]: %p (%s), Read helper ev[1]: %p (%s), index:%d",
                     static_cast<const void *>(h->read_helper_ev[0].get()),
                     msgq_bool_title(h->read_helper_scheduled[0]),
                     static_cast<const void *>(h->read_helper_ev[1].get()),
                     msgq_bool_title(h->read_helper_scheduled[1]), h->read_helper_idx);
    maapi_cli_printf(sock, usess, "\n    List: In Reg: %s, In Unreg: %s, In Tmp: %s", msgq_bool_upper(h->in_reg_list),
                     msgq_bool_upper(h->in_unreg_list), msgq_bool_upper(h->in_tmp_list));
    maapi_cli_printf(sock, usess, "\n STATS:");
    for (const auto &row : k_counters) {
        uint32_t value = h->stats.*row.field;
        if (value != 0) {
            maapi_cli_printf(sock, usess, "\n    %-30s %-10d", row.name, static_cast<int>(value));
        }
    }
}

void msgq_dump_list(int sock, int usess, const msgq_handle_list_t *list)
{
    for (const msgq_handle_t &h : *list) {
        msgq_dump_handle(sock, usess, &h);
    }
}

}  // namespace

void msgq_set_debug(int level)
{
    g_debug = level;
}

void msgq_dump(int sock, int usess)
{
    const msgq_inst_t *inst = g_inst;
    maapi_cli_printf(sock, usess, "\n   =============");
    maapi_cli_printf(sock, usess, "\n   DUMPING MSGQs");
    maapi_cli_printf(sock, usess, "\n   =============");
    maapi_cli_printf(sock, usess, "\n  inst: %p", static_cast<const void *>(inst));
    if (inst == nullptr) {
        return;
    }
    maapi_cli_printf(sock, usess, "\n  event base: %p, timer: %p", static_cast<const void *>(inst->evbase),
                     static_cast<const void *>(inst->timer_mgr));
    maapi_cli_printf(sock, usess, "\n Dumping all message Q handles");
    maapi_cli_printf(sock, usess, "\n In Reg. list");
    msgq_dump_list(sock, usess, &inst->reg_msgq_listhead);
    maapi_cli_printf(sock, usess, "\n In Unreg. list");
    msgq_dump_list(sock, usess, &inst->unreg_msgq_listhead);
    maapi_cli_printf(sock, usess, "\n In tmp list");
    msgq_dump_list(sock, usess, &inst->tmp_msgq_listhead);
    maapi_cli_printf(sock, usess, "\n");
}
