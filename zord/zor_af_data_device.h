// The data-device families (DATA-DEVICE-IPV4 and DATA-DEVICE-IPV6): one
// entry per device system IP that occurs in a TLOC, with one option per
// (colour, encapsulation) through which the device is reached and its
// status, and the device's on-demand state.
//
// No client announces these entries: zord derives them from TLOC events
// (add or update, BFD status change, withdraw, the path timer's sweep) and
// sends them as DATA-DEVICE add and delete messages to the clients that
// registered the family. A device is UP towards the clients when one of its
// options is UP; UP options stand before DOWN options, so the head option
// tells. In the other direction a client reports a device's on-demand state
// (type 20), which zord pushes onto the device's TLOCs as their inactive
// flag.
//
// Records and options are owned by their entry and released with it.
// Event-loop thread only.
#pragma once

#include <boost/intrusive/list.hpp>
#include <cstdint>
#include <type_traits>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;
struct t_zor_af_tloc;

#define ZOR_DATA_DEVICE_STATUS_UP 1u
#define ZOR_DATA_DEVICE_STATUS_DOWN 2u

// On-demand states.
#define ZOR_DATA_DEVICE_STATE_UNKNOWN 0u
#define ZOR_DATA_DEVICE_STATE_ACTIVE 1u
#define ZOR_DATA_DEVICE_STATE_INACTIVE 2u

struct t_zor_data_device_opt {
    uint8_t color;
    uint8_t encap;
    uint32_t status;  // ZOR_DATA_DEVICE_STATUS_*
    boost::intrusive::list_member_hook<> hook;  // in the device's option list
};
ZOR_MEM_RECORD(t_zor_data_device_opt, ZOR_MEM_DATA_DEVICE_OPT);

// UP options first, then DOWN ones.
using t_zor_data_device_opt_list =
    boost::intrusive::list<t_zor_data_device_opt,
                           boost::intrusive::member_hook<t_zor_data_device_opt, boost::intrusive::list_member_hook<>,
                                                         &t_zor_data_device_opt::hook>,
                           boost::intrusive::constant_time_size<false>>;

struct t_zor_af_data_device {
    ip_addr_t system_ip;       // the key
    uint32_t on_demand_state;  // ZOR_DATA_DEVICE_STATE_*; any other value shows "NOMATCH"
    t_zor_data_device_opt_list options;
};
ZOR_MEM_RECORD(t_zor_af_data_device, ZOR_MEM_DATA_DEVICE_NLRI);
// The accounting's rows show these sizes.
static_assert(sizeof(t_zor_data_device_opt) == 24 && sizeof(t_zor_af_data_device) == 48);

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_data_device_ops;
// Of its operations tree_destroy and show_all are the shared defaults of zor_af_base.h.

// The data-device family of a TLOC family (0 -> 4, 1 -> 5); any other
// family maps to itself.
zor_af_t zor_af_data_device_family(zor_af_t af);

// The slots of the operation table (no filter: every add is taken).
t_zor_db_entry *zor_af_data_device_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
void zor_af_data_device_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
void zor_af_data_device_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
t_zor_db_entry *zor_af_data_device_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
void zor_af_data_device_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
void zor_af_data_device_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete);
void zor_af_data_device_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);

// The calls of the TLOC family, path computation and the client dispatch.
// Each takes a TLOC family and maps it.
//
// A TLOC add or update (type 5) or BFD status change (type 3): runs add;
// the device entry or null.
t_zor_db_entry *zor_af_data_device_tloc_update(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                               zor_msg_t *msg);
// The path timer's sweep of one TLOC: a BFD status message with state 1
// for status 1, else 0, from client, through add.
void zor_af_data_device_tloc_state(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                   const t_zor_af_tloc *tloc, uint32_t status);
// A TLOC entry was withdrawn on behalf of client: a TLOC delete message for
// its key, through delete.
void zor_af_data_device_tloc_withdraw(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                      t_zor_db_entry *tloc_entry);
// True when the device entry exists and its on-demand state is Active.
bool zor_af_data_device_is_active(const t_zor_db_entry *entry);
// A client's DATA-DEVICE-STATE message (type 20).
void zor_af_data_device_state_msg(zor_af_t af, t_zor_context *ctx, zor_msg_t *msg);

// "Unknown", "Active", "Inactive"; "NOMATCH" for any other state.
const char *zor_af_data_device_state_str(uint32_t state);

// The record of a data-device entry.
inline t_zor_af_data_device *zor_af_data_device_of(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_data_device *>(entry->record);
}
