#include "zor_confd.h"

#include <cstring>
#include <iterator>

#include "confd_maapi.h"
#include "oconfd.h"
#include "ost_assert.h"
#include "ost_util.h"
#include "zor_af_link.h"
#include "zor_af_tracker.h"
#include "zor_af_tloc_show.h"
#include "zor_client.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_group.h"
#include "zor_log.h"
#include "zor_result.h"
#include "zor_show.h"

namespace {

// The integration context of a command or action: the daemon handle's
// opaque pointer.
oconfd_ctx *zor_confd_ctx_of(const confd_user_info *uinfo)
{
    if (uinfo == nullptr || uinfo->actx.dx == nullptr) {
        return nullptr;
    }
    return oconfd_ctx_of(uinfo->actx.dx);
}

t_zor_daemon *zor_confd_daemon_of(const oconfd_ctx *ctx)
{
    return ctx != nullptr ? static_cast<t_zor_daemon *>(ctx->module.opaque) : nullptr;
}

t_zor_daemon *zor_confd_daemon_of(const oconfd_sub_entry *entry)
{
    return entry != nullptr ? zor_confd_daemon_of(entry->ctx) : nullptr;
}

// The validation-point table is required by the module, and zord has none.
confd_valpoint_cb g_zor_valpoint_table[1] = {};

// The event-debug switches and the operational leaf that tells the operator
// they are on. level 0 switches debugging off and deletes the leaf. A
// failure is logged under the action's own name and line.
int zor_debug_set(confd_user_info *uinfo, uint32_t level, const char *func, int line)
{
    oconfd_ctx *ctx = zor_confd_ctx_of(uinfo);
    t_zor_daemon *daemon = zor_confd_daemon_of(ctx);
    if (daemon == nullptr) {
        confd_action_seterr(uinfo, "ZOR daemon not UP");
        return CONFD_ERR;
    }
    daemon->debug_configured = 1;
    daemon->debug_level = level;
    g_zor_debug = level;
    g_zor_debug_announce = level;
    if (level > 0) {
        oconfd_debug_enable(level);
    } else {
        oconfd_debug_disable();
    }
    const int op = level > 0 ? OCONFD_OPER_CREATE : OCONFD_OPER_DELETE;
    if (oconfd_set_cdb_oper_value(ctx, nullptr, ZOR_DEBUG_EVENTS_PATH, op, 1) != 0) {
        ost_log(ZOR_LOG_PRI, "%s[%d]: Failed to set value in cdb %s (%d) : %s", func, line, confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        return CONFD_ERR;
    }
    return CONFD_OK;
}

}  // namespace

oconfd_sub_entry g_zor_sub_table[] = {
    {nullptr, "system", zor_config_system, k_zor_system_ns, 0, 0, 0, 6, 0, {}, {}},
    {nullptr, "security", zor_config_security, k_zor_security_ns, 0, 0, 0, 0, 0, {}, {}},
    {},
};

confd_action_cbs g_zor_action_table[] = {
    {"zor_admin_tech", nullptr, nullptr, nullptr, zor_admin_tech, nullptr, nullptr},
    {"zor_dump_all", nullptr, nullptr, nullptr, zor_dump_all, nullptr, nullptr},
    {"zor_dump_db", nullptr, nullptr, nullptr, zor_dump_db, nullptr, nullptr},
    {"zor_dump_clients", nullptr, nullptr, nullptr, zor_dump_clients, nullptr, nullptr},
    {"zor_dump_group", nullptr, nullptr, nullptr, zor_dump_group, nullptr, nullptr},
    {"zor_dump_local_tloc", nullptr, nullptr, nullptr, zor_dump_local_tloc, nullptr, nullptr},
    {"zor_dump_msgq", nullptr, nullptr, nullptr, zor_dump_msgq, nullptr, nullptr},
    {"zor_dump_cli_memory_info", nullptr, nullptr, nullptr, zor_dump_cli_memory_info, nullptr, nullptr},
    {"zor_dump_tlocs", nullptr, nullptr, nullptr, zor_dump_tlocs, nullptr, nullptr},
    {"zor_dump_links", nullptr, nullptr, nullptr, zor_dump_links, nullptr, nullptr},
    {"zor_dump_tracker", nullptr, nullptr, nullptr, zor_dump_tracker, nullptr, nullptr},
    {"zor_debug_event", nullptr, nullptr, zor_debug_event, nullptr, nullptr, nullptr},
    {"zor_debug_disable_event", nullptr, nullptr, zor_debug_disable_event, nullptr, nullptr, nullptr},
    {},
};

confd_action_cbs *zor_confd_action_table(const t_zor_daemon *daemon)
{
    if (daemon == nullptr || daemon->tenant_name[0] == '\0') {
        return g_zor_action_table;
    }
    static confd_action_cbs tenant_table[std::size(g_zor_action_table)];
    for (size_t i = 0; i < std::size(g_zor_action_table); i++) {
        tenant_table[i] = g_zor_action_table[i];
        if (g_zor_action_table[i].actionpoint[0] != '\0') {
            zor_tenant_point_name(daemon, g_zor_action_table[i].actionpoint, tenant_table[i].actionpoint,
                                  sizeof(tenant_table[i].actionpoint));
        }
    }
    return tenant_table;
}

int zor_confd_init(t_zor_daemon *daemon)
{
    module_data reg;
    memset(&reg, 0, sizeof(reg));
    reg.opaque = daemon;
    reg.sub_table = g_zor_sub_table;
    reg.valpoint_table = g_zor_valpoint_table;
    reg.action_table = zor_confd_action_table(daemon);
    reg.register_data_cbs = zor_confd_register_data_cbs;
    reg.event_base = daemon->event_base.get();
    reg.timer_mgr = daemon->timer_mgr;
    reg.ns_id = daemon->vpn_id;
    reg.module_id = daemon->instance;
    oconfd_ctx *ctx = nullptr;
    const int rc = oconfd_module_init(&reg, nullptr, &ctx);
    daemon->confd_module = ctx;
    return rc;
}

void zor_confd_free(t_zor_daemon *daemon)
{
    if (daemon == nullptr || daemon->confd_module == nullptr) {
        return;
    }
    auto *ctx = static_cast<oconfd_ctx *>(daemon->confd_module);
    oconfd_module_free(&ctx);
    daemon->confd_module = nullptr;
}

uint32_t zor_personality_from_confd(uint8_t value)
{
    switch (value) {
    case 1:
        return 1;  // Brink
    case 2:
        return 3;  // Solon
    case 3:
        return 5;  // Steward
    default:
        return 0;
    }
}

int zor_config_system(oconfd_sub_entry *entry, int /*op*/, int /*num_keys*/, confd_value_t * /*keys*/,
                      int num_values, confd_tag_value_t *values)
{
    t_zor_daemon *daemon = zor_confd_daemon_of(entry);
    for (int i = 0; i < num_values; i++) {
        confd_tag_value_t *cur_val_p = &values[i];
        if (cur_val_p->tag.tag != k_zor_tag_personality) {
            ZOR_DEBUG("Unhandled operation %d", static_cast<int>(cur_val_p->tag.tag));
            continue;
        }
        uint32_t personality = 0;
        if (cur_val_p->v.type != C_NOEXISTS) {
            // The report names the line the operators' tooling knows it by.
            OST_ASSERT_AT(cur_val_p->v.type == C_ENUM_VALUE, "(&cur_val_p->v)->type == C_ENUM_VALUE", 78);
            personality = zor_personality_from_confd(static_cast<uint8_t>(cur_val_p->v.val.enumvalue & 0xff));
        }
        if (daemon != nullptr) {
            daemon->personality = personality;
        }
    }
    return 0;
}

int zor_config_security(oconfd_sub_entry * /*entry*/, int /*op*/, int /*num_keys*/, confd_value_t * /*keys*/,
                        int num_values, confd_tag_value_t *values)
{
    for (int i = 0; i < num_values; i++) {
        confd_tag_value_t *cur_val_p = &values[i];
        if (cur_val_p->tag.tag != k_zor_tag_pairwise_keys) {
            continue;
        }
        if (cur_val_p->v.type == C_NOEXISTS) {
            g_zor_pwk_enabled = 0;
            continue;
        }
        OST_ASSERT_AT(cur_val_p->v.type == C_BOOL, "(&cur_val_p->v)->type == C_BOOL", 119);
        g_zor_pwk_enabled = cur_val_p->v.val.boolean != 0 ? 1 : 0;
    }
    return 0;
}

int zor_confd_register_data_cbs(oconfd_ctx *ctx)
{
    if (zor_show_path_init(ctx) != ZOR_OK) {
        ZOR_LOG("Failed to init show paths");
        return ZOR_ERR_FAILED;
    }
    return ZOR_OK;
}

int zor_admin_tech(confd_user_info *uinfo, char *path, int argc, char **argv)
{
    zor_db_dump(uinfo);
    zor_dump_clients(uinfo, path, argc, argv);
    zor_dump_msgq(uinfo, path, argc, argv);
    return CONFD_OK;
}

int zor_dump_all(confd_user_info *uinfo, char *path, int argc, char **argv)
{
    const t_zor_daemon *daemon = zor_confd_daemon_of(zor_confd_ctx_of(uinfo));
    // Without the daemon record there is no personality to show; the
    // operator is told so, as the debug actions tell it.
    if (daemon == nullptr) {
        maapi_cli_printf(uinfo->msock, uinfo->usid, "ZOR daemon not UP\n");
        return CONFD_OK;
    }
    maapi_cli_printf(uinfo->msock, uinfo->usid, "Personality: %s\n", ost_personality_str(daemon->personality));
    if (g_zor_context != nullptr) {
        maapi_cli_printf(uinfo->msock, uinfo->usid, "Local Border Count: %d\n",
                         static_cast<int>(g_zor_context->local_border_count));
    }
    return zor_admin_tech(uinfo, path, argc, argv);
}

int zor_dump_db(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    zor_db_dump(uinfo);
    return CONFD_OK;
}

int zor_dump_group(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    zor_group_dump(uinfo);
    return CONFD_OK;
}

int zor_dump_local_tloc(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    zor_af_tloc_local_db_dump(uinfo);
    return CONFD_OK;
}

int zor_dump_tlocs(confd_user_info *uinfo, char * /*path*/, int argc, char **argv)
{
    zor_show_support_tlocs(uinfo, argc, argv);
    return CONFD_OK;
}

int zor_dump_links(confd_user_info *uinfo, char * /*path*/, int argc, char **argv)
{
    zor_show_support_links(uinfo, argc, argv);
    return CONFD_OK;
}

int zor_debug_event(confd_user_info *uinfo, xml_tag * /*name*/, confd_hkeypath_t * /*kp*/,
                    confd_tag_value_t * /*params*/, int /*nparams*/)
{
    return zor_debug_set(uinfo, 1, __func__, __LINE__);
}

int zor_debug_disable_event(confd_user_info *uinfo, xml_tag * /*name*/, confd_hkeypath_t * /*kp*/,
                            confd_tag_value_t * /*params*/, int /*nparams*/)
{
    return zor_debug_set(uinfo, 0, __func__, __LINE__);
}
