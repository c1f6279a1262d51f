// zord's side of the management agent: its configuration (the device
// personality and the pairwise-keys switch), the commands that dump its
// tables to an operator's CLI session, the two actions that switch its event
// debugging on and off, and its registration with the agent through the
// integration module.
//
// Every callback runs on the event loop (the integration module hands them
// over from its sockets). They reach the daemon record through the
// integration context: a subscription entry's ctx, or for commands and
// actions uinfo->actx.dx->d_opaque; in both the record is module.opaque.
#pragma once

#include <cstdint>

#include "confd_lib.h"

struct oconfd_ctx;
struct oconfd_sub_entry;
struct t_zor_daemon;

// The configuration leaves zord reads: their tags are fixed by the schema,
// not derived from their names.
constexpr uint32_t k_zor_tag_personality = 0x67f87854;
constexpr uint32_t k_zor_tag_pairwise_keys = 0x66a14a83;
constexpr uint32_t k_zor_system_ns = 0x5840b9be;
constexpr uint32_t k_zor_security_ns = 0x6170dd84;

#define ZOR_DEBUG_EVENTS_PATH "/debugs/zor/events"

// The registration tables (ended by an empty path or name): subscriptions
// "system" and "security"; the eleven commands and two actions.
extern oconfd_sub_entry g_zor_sub_table[];
extern confd_action_cbs g_zor_action_table[];

// The action table an instance registers: g_zor_action_table, or for a
// tenant instance a copy whose points carry the tenant suffix (the agent
// serves each point from one daemon, and the main instance holds the plain
// names). The copy is kept for the process's lifetime, as the integration
// module registers it again at every reconnection. Event-loop thread only.
confd_action_cbs *zor_confd_action_table(const t_zor_daemon *daemon);

// Joins the agent: module init with zord's tables, the daemon's event base
// and timer manager, its instance as module id and its VPN id as namespace
// id. The context is kept in daemon->confd_module even when the agent cannot
// be reached now (the module retries on its own). Returns the module init's
// result (0, or 3 while the agent is away); zord runs on either way.
int zor_confd_init(t_zor_daemon *daemon);
// Leaves the agent and frees the module's context; nothing without one.
void zor_confd_free(t_zor_daemon *daemon);

// Config callbacks: the values are the modified leaves of "system" or
// "security" as tag-value pairs. Always 0. A leaf of another type than the
// schema's stops the process (programming error).
int zor_config_system(oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys, int num_values,
                      confd_tag_value_t *values);
int zor_config_security(oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys, int num_values,
                        confd_tag_value_t *values);

// The personality of the schema's enumeration value: 1 Brink (1), 2 Solon
// (3), 3 Steward (5); anything else 0.
uint32_t zor_personality_from_confd(uint8_t value);

// Registers the operational-data callpoints. ZOR_OK, or ZOR_ERR_FAILED
// (logged).
int zor_confd_register_data_cbs(oconfd_ctx *ctx);

// Commands (zor_dump_clients, zor_dump_msgq, zor_dump_cli_memory_info and
// zor_dump_tracker live with what they dump). Output goes to the user's CLI
// session (uinfo->msock, uinfo->usid). Always CONFD_OK.
int zor_admin_tech(confd_user_info *uinfo, char *path, int argc, char **argv);
// "Personality: %s", the local border count, then what zor_admin_tech shows;
// "ZOR daemon not UP" when the daemon record cannot be reached.
int zor_dump_all(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_db(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_group(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_local_tloc(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_tlocs(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_links(confd_user_info *uinfo, char *path, int argc, char **argv);

// Actions: event debugging on (level 1) or off (level 0), mirrored into
// g_zor_debug, g_zor_debug_announce and the integration module, and the
// operational leaf /debugs/zor/events created or deleted. CONFD_OK; CONFD_ERR
// with the action error "ZOR daemon not UP" when the daemon record cannot be
// reached (nothing changes), or, logged and without an action error, when
// the leaf's write cannot be started (the switches stay as set).
int zor_debug_event(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                    int nparams);
int zor_debug_disable_event(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                            int nparams);
