// Link-time definitions of the library's calls while their bodies are being
// written: each fails with CONFD_ERR_INTERNAL.
#include <cstdarg>

#include "confd_cdb.h"
#include "confd_lib.h"
#include "confd_maapi.h"

__thread int confd_errno;

struct confd_type {
    int unused;
};
struct confd_notification_ctx {
    int unused;
};

namespace {
int unwritten()
{
    confd_errno = CONFD_ERR_INTERNAL;
    return CONFD_ERR;
}
}  // namespace

#define UNWRITTEN(decl) \
    decl { return unwritten(); }

extern "C" {
const char *confd_lasterr(void) { return ""; }
const char *confd_strerror(int) { return "not written yet"; }
void confd_init(const char *, FILE *, enum confd_debug_level) {}
UNWRITTEN(int confd_init_vsn_sz(const char *, FILE *, enum confd_debug_level, int, int, int))
socklen_t confd_agent_addr(struct sockaddr_in *out)
{
    *out = {};
    out->sin_family = AF_INET;
    out->sin_port = htons(CONFD_PORT);
    out->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof(*out);
}
struct confd_daemon_ctx *confd_init_daemon(const char *) { return nullptr; }
void confd_release_daemon(struct confd_daemon_ctx *) {}
UNWRITTEN(int confd_connect(struct confd_daemon_ctx *, int, enum confd_sock_type, const struct sockaddr *, int))
UNWRITTEN(int confd_register_trans_cb(struct confd_daemon_ctx *, const struct confd_trans_cbs *))
UNWRITTEN(int confd_register_trans_validate_cb(struct confd_daemon_ctx *, const struct confd_trans_validate_cbs *))
UNWRITTEN(int confd_register_valpoint_cb(struct confd_daemon_ctx *, const struct confd_valpoint_cb *))
UNWRITTEN(int confd_register_data_cb(struct confd_daemon_ctx *, const struct confd_data_cbs *))
UNWRITTEN(int confd_register_action_cbs(struct confd_daemon_ctx *, const struct confd_action_cbs *))
UNWRITTEN(int confd_register_done(struct confd_daemon_ctx *))
UNWRITTEN(int confd_fd_ready(struct confd_daemon_ctx *, int))
UNWRITTEN(int confd_trans_set_fd(struct confd_trans_ctx *, int))
UNWRITTEN(int confd_action_set_fd(struct confd_user_info *, int))
void confd_action_seterr(struct confd_user_info *, const char *, ...) {}
UNWRITTEN(int confd_action_reply_values(struct confd_user_info *, confd_tag_value_t *, int))
void confd_trans_seterr(struct confd_trans_ctx *, const char *, ...) {}
UNWRITTEN(int confd_data_reply_not_found(struct confd_trans_ctx *))
UNWRITTEN(int confd_data_reply_value(struct confd_trans_ctx *, const confd_value_t *))
UNWRITTEN(int confd_data_reply_tag_value_array(struct confd_trans_ctx *, confd_tag_value_t *, int))
UNWRITTEN(int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *, confd_tag_value_t *, int, long))
UNWRITTEN(int confd_data_reply_next_object_tag_value_arrays(struct confd_trans_ctx *, struct confd_tag_next_object *,
                                                            int, long))
UNWRITTEN(int confd_register_notification_stream(struct confd_daemon_ctx *, const struct confd_notification_stream_cbs *,
                                                 struct confd_notification_ctx **))
UNWRITTEN(int confd_register_snmp_notification(struct confd_daemon_ctx *, int, struct confd_notification_ctx **,
                                               const char *, const char *))
UNWRITTEN(int confd_notification_send(struct confd_notification_ctx *, struct confd_datetime *, confd_tag_value_t *,
                                      int))
UNWRITTEN(int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *, const char *))
UNWRITTEN(int confd_notification_send_snmp(struct confd_notification_ctx *, const char *, struct confd_snmp_varbind *,
                                           int))
int confd_install_crypto_keys(struct confd_daemon_ctx *) { return CONFD_OK; }
UNWRITTEN(int confd_notifications_connect(int, const struct sockaddr *, int, int))
UNWRITTEN(int confd_read_notification(int, struct confd_notification *))
void confd_free_notification(struct confd_notification *) {}
UNWRITTEN(int confd_load_schemas(const struct sockaddr *, int))
UNWRITTEN(int confd_load_schemas_list(const struct sockaddr *, int, int, const uint32_t *, int, const char **, int))
void confd_free_schemas(void) {}
char *confd_hash2str(uint32_t) { return nullptr; }
uint32_t confd_str2hash(const char *) { return 0; }
int confd_get_nslist(struct confd_nsinfo **listp)
{
    *listp = nullptr;
    return 0;
}
char *confd_ns2prefix(uint32_t) { return nullptr; }
struct confd_cs_node *confd_find_cs_root(uint32_t) { return nullptr; }
struct confd_cs_node *confd_find_cs_node(const confd_hkeypath_t *, int) { return nullptr; }
struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *, const char *, ...) { return nullptr; }
UNWRITTEN(int confd_pp_value(char *, int, const confd_value_t *))
UNWRITTEN(int confd_val2str(struct confd_type *, const confd_value_t *, char *, int))
UNWRITTEN(int confd_str2val(struct confd_type *, const char *, confd_value_t *))
UNWRITTEN(int confd_pp_kpath(char *, int, const confd_hkeypath_t *))
UNWRITTEN(int confd_pp_kpath_len(char *, int, const confd_hkeypath_t *, int))

UNWRITTEN(int cdb_connect(int, enum cdb_sock_type, const struct sockaddr *, int))
UNWRITTEN(int cdb_close(int))
UNWRITTEN(int cdb_start_session(int, enum cdb_db_type))
UNWRITTEN(int cdb_start_session2(int, enum cdb_db_type, int))
UNWRITTEN(int cdb_end_session(int))
UNWRITTEN(int cdb_set_timeout(int, int))
UNWRITTEN(int cdb_get(int, confd_value_t *, const char *, ...))
UNWRITTEN(int cdb_exists(int, const char *, ...))
UNWRITTEN(int cdb_num_instances(int, const char *, ...))
UNWRITTEN(int cdb_set_elem(int, const confd_value_t *, const char *, ...))
UNWRITTEN(int cdb_set_elem2(int, const char *, const char *, ...))
UNWRITTEN(int cdb_create(int, const char *, ...))
UNWRITTEN(int cdb_delete(int, const char *, ...))
UNWRITTEN(int cdb_subscribe(int, int, int, int *, const char *, ...))
UNWRITTEN(int cdb_subscribe2(int, enum cdb_sub_type, int, int, int *, int, const char *, ...))
UNWRITTEN(int cdb_oper_subscribe(int, int, int *, const char *, ...))
UNWRITTEN(int cdb_subscribe_done(int))
UNWRITTEN(int cdb_read_subscription_socket2(int, enum cdb_sub_notification *, int *, int **, int *))
UNWRITTEN(int cdb_read_subscription_socket(int, int *, int *))
UNWRITTEN(int cdb_sync_subscription_socket(int, enum cdb_subscription_sync_type))
UNWRITTEN(int cdb_sub_abort_trans(int, enum confd_errcode, uint32_t, uint32_t, const char *, ...))
UNWRITTEN(int cdb_get_modifications(int, int, int, confd_tag_value_t **, int *, const char *, ...))
UNWRITTEN(int cdb_get_modifications_iter(int, int, confd_tag_value_t **, int *))
UNWRITTEN(int cdb_diff_iterate(int, int,
                               enum cdb_iter_ret (*)(confd_hkeypath_t *, enum cdb_iter_op, confd_value_t *,
                                                     confd_value_t *, void *),
                               int, void *))
UNWRITTEN(int cdb_trigger_subscriptions(int, int[], int))
UNWRITTEN(int cdb_trigger_oper_subscriptions(int, int[], int, int))

UNWRITTEN(int maapi_connect(int, const struct sockaddr *, int))
UNWRITTEN(int maapi_close(int))
UNWRITTEN(int maapi_wait_start(int, int))
UNWRITTEN(int maapi_start_phase(int, int, int))
UNWRITTEN(int maapi_attach(int, int, struct confd_trans_ctx *))
UNWRITTEN(int maapi_attach2(int, int, int, int))
UNWRITTEN(int maapi_detach(int, struct confd_trans_ctx *))
UNWRITTEN(int maapi_cli_write(int, int, const char *, int))
}
