#include "zor_af_data_device.h"

#include <cstring>

#include "ip_util.h"
#include "confd_maapi.h"
#include "zor_af_base.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_log.h"

namespace {

bool zor_is_data_device_af(zor_af_t af)
{
    return af == ZOR_AF_DATA_DEVICE_IPV4 || af == ZOR_AF_DATA_DEVICE_IPV6;
}

// What a message says about one option of a device.
struct zor_dd_key {
    ip_addr_t system_ip;
    uint8_t color;
    uint8_t encap;
    uint32_t status;
};

// Reduces a TLOC add, delete or BFD status message to the device, the
// option and its status. Other message types have no device in them: they
// are logged and ignored (false).
bool zor_dd_derive(const t_zor_context *ctx, const zor_msg_t *msg, zor_dd_key *out)
{
    switch (msg->type) {
    case ZOR_MSG_TLOC_BFD_STATUS: {
        const zor_msg_tloc_bfd_status_t &bfd = msg->body.bfd;
        out->system_ip = bfd.key.addr;
        out->color = bfd.key.color;
        out->encap = bfd.key.encap;
        out->status = bfd.status == ZOR_BFD_STATE_UP ? ZOR_DATA_DEVICE_STATUS_UP : ZOR_DATA_DEVICE_STATUS_DOWN;
        break;
    }
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL: {
        const zor_msg_tloc_t &tloc = msg->body.tloc;
        out->system_ip = tloc.key.addr;
        out->color = tloc.key.color;
        out->encap = tloc.key.encap;
        const bool up = tloc.status == ZOR_TLOC_STATUS_UP || tloc.origin == ZOR_TLOC_ORIGIN_LOCAL ||
                        zor_personality(ctx) == ZOR_PERSONALITY_SOLON;
        out->status = up ? ZOR_DATA_DEVICE_STATUS_UP : ZOR_DATA_DEVICE_STATUS_DOWN;
        break;
    }
    default:
        ZOR_LOG("Ignored %s for family %s: it names no data device", zor_msg_type_str(msg->type),
                zor_af_str(msg->family));
        return false;
    }
    if (!zor_af_base_addr_valid(&out->system_ip)) {
        ZOR_LOG("Ignored %s for a device of address family %u", zor_msg_type_str(msg->type), out->system_ip.family);
        return false;
    }
    return true;
}

int zor_af_data_device_cmp(const void *a, const void *b)
{
    return ip_addr_cmp(&zor_af_data_device_of(static_cast<const t_zor_db_entry *>(a))->system_ip,
                       &zor_af_data_device_of(static_cast<const t_zor_db_entry *>(b))->system_ip);
}

t_zor_db_entry *zor_dd_lookup(zor_af_t af, t_zor_context *ctx, const ip_addr_t *ip, avl_index_t *where)
{
    if (!zor_is_data_device_af(af)) {
        return nullptr;
    }
    t_zor_af_data_device probe{};
    probe.system_ip = *ip;
    return zor_af_base_find(af, ctx, &probe, where);
}

// Option list: UP options stand before DOWN options, so the head tells
// whether the device is reachable at all.
void zor_dd_opt_insert(t_zor_data_device_opt_list *list, t_zor_data_device_opt *opt)
{
    if (opt->status == ZOR_DATA_DEVICE_STATUS_UP) {
        list->push_front(*opt);
    } else {
        list->push_back(*opt);
    }
}

void zor_dd_opt_remove(t_zor_data_device_opt_list *list, t_zor_data_device_opt *opt)
{
    list->erase(list->iterator_to(*opt));
}

t_zor_data_device_opt *zor_dd_opt_find(t_zor_af_data_device *dev, uint8_t color, uint8_t encap)
{
    for (t_zor_data_device_opt &opt : dev->options) {
        if (opt.color == color && opt.encap == encap) {
            return &opt;
        }
    }
    return nullptr;
}

// A failed allocation only leaves the option out.
void zor_dd_opt_add(t_zor_af_data_device *dev, const zor_dd_key &key)
{
    t_zor_data_device_opt *opt = zor_mem_new<t_zor_data_device_opt>();
    if (opt == nullptr) {
        return;
    }
    opt->color = key.color;
    opt->encap = key.encap;
    opt->status = key.status;
    zor_dd_opt_insert(&dev->options, opt);
}

}  // namespace

const char *zor_af_data_device_state_str(uint32_t state)
{
    switch (state) {
    case ZOR_DATA_DEVICE_STATE_UNKNOWN:
        return "Unknown";
    case ZOR_DATA_DEVICE_STATE_ACTIVE:
        return "Active";
    case ZOR_DATA_DEVICE_STATE_INACTIVE:
        return "Inactive";
    default:
        return "NOMATCH";
    }
}

namespace {

const char *zor_dd_status_str(uint32_t status)
{
    switch (status) {
    case ZOR_DATA_DEVICE_STATUS_UP:
        return "UP";
    case ZOR_DATA_DEVICE_STATUS_DOWN:
        return "DOWN";
    default:
        return "-";
    }
}

}  // namespace

zor_af_t zor_af_data_device_family(zor_af_t af)
{
    if (af == ZOR_AF_TLOC_IPV4) {
        return ZOR_AF_DATA_DEVICE_IPV4;
    }
    if (af == ZOR_AF_TLOC_IPV6) {
        return ZOR_AF_DATA_DEVICE_IPV6;
    }
    return af;
}

t_zor_db_entry *zor_af_data_device_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    zor_dd_key key{};
    if (!zor_is_data_device_af(af) || ctx->trees[af] == nullptr || !zor_dd_derive(ctx, msg, &key)) {
        return nullptr;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_dd_lookup(af, ctx, &key.system_ip, &where);
    if (entry == nullptr) {
        t_zor_af_data_device *dev = zor_mem_new<t_zor_af_data_device>();
        if (dev == nullptr) {
            return nullptr;
        }
        dev->system_ip = key.system_ip;
        dev->on_demand_state = ZOR_DATA_DEVICE_STATE_UNKNOWN;
        entry = zor_af_base_entry_insert(af, ctx, client, dev, where);
        if (entry == nullptr) {
            zor_mem_delete(dev);
            return nullptr;
        }
        zor_dd_opt_add(dev, key);
    } else {
        t_zor_af_data_device *dev = zor_af_data_device_of(entry);
        t_zor_data_device_opt *opt = zor_dd_opt_find(dev, key.color, key.encap);
        if (opt == nullptr) {
            zor_dd_opt_add(dev, key);
        } else if (msg->type == ZOR_MSG_TLOC_BFD_STATUS && opt->status != key.status) {
            // Only BFD moves an option; a TLOC add leaves its status alone.
            opt->status = key.status;
            zor_dd_opt_remove(&dev->options, opt);
            zor_dd_opt_insert(&dev->options, opt);
        }
    }
    // Every TLOC event re-sends the device, changed or not.
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

void zor_af_data_device_withdraw(zor_af_t /*af*/, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    const t_zor_af_data_device *dev = zor_af_data_device_of(entry);
    // Only the owner takes a device away, and only once no TLOC reaches it.
    if (client != entry->client_p || dev == nullptr || !dev->options.empty()) {
        return;
    }
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
        avl_remove(ctx->trees[entry->family], entry);
    }
    zor_db_entry_withdrawn(ctx, entry);
}

void zor_af_data_device_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    zor_dd_key key{};
    if (!zor_dd_derive(ctx, msg, &key)) {
        return;
    }
    t_zor_db_entry *entry = zor_dd_lookup(af, ctx, &key.system_ip, nullptr);
    if (entry == nullptr) {
        return;
    }
    t_zor_af_data_device *dev = zor_af_data_device_of(entry);
    t_zor_data_device_opt *opt = zor_dd_opt_find(dev, key.color, key.encap);
    if (opt != nullptr) {
        zor_dd_opt_remove(&dev->options, opt);
        zor_mem_delete(opt);
    }
    // While options remain the device is not resent, even when its
    // aggregate status changed.
    zor_af_data_device_withdraw(af, ctx, client, entry);
}

t_zor_db_entry *zor_af_data_device_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    zor_dd_key key{};
    if (!zor_dd_derive(ctx, msg, &key)) {
        return nullptr;
    }
    return zor_dd_lookup(af, ctx, &key.system_ip, where);
}

void zor_af_data_device_free(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry)
{
    auto *dev = zor_af_data_device_of(entry);
    if (dev == nullptr) {
        return;
    }
    // Options are left only on devices freed at teardown; they go with the
    // record, so that nothing is lost to the allocator.
    dev->options.clear_and_dispose([](t_zor_data_device_opt *opt) { zor_mem_delete(opt); });
    zor_mem_delete(dev);
    entry->record = nullptr;
}

void zor_af_data_device_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t /*is_delete*/)
{
    const t_zor_af_data_device *dev = zor_af_data_device_of(entry);
    msg->body.data_device.addr = dev->system_ip;
    const t_zor_data_device_opt *head = dev->options.empty() ? nullptr : &dev->options.front();
    msg->body.data_device.status = head != nullptr && head->status == ZOR_DATA_DEVICE_STATUS_UP
                                       ? ZOR_DATA_DEVICE_STATUS_UP
                                       : ZOR_DATA_DEVICE_STATUS_DOWN;
}

void zor_af_data_device_show(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_data_device *dev = zor_af_data_device_of(entry);
    char ip[128];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    System IP: %s, On-demand state : %s\n",
                     ip_addr_to_str(&dev->system_ip, ip, sizeof(ip)), zor_af_data_device_state_str(dev->on_demand_state));
    for (const t_zor_data_device_opt &opt : dev->options) {
        maapi_cli_printf(uinfo->msock, uinfo->usid, "          color: %d encap: %d status: %s\n", opt.color,
                         opt.encap, zor_dd_status_str(opt.status));
    }
}

t_zor_db_entry *zor_af_data_device_tloc_update(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                               zor_msg_t *msg)
{
    return zor_af_data_device_add(zor_af_data_device_family(tloc_af), ctx, client, msg);
}

void zor_af_data_device_tloc_state(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                   const t_zor_af_tloc *tloc, uint32_t status)
{
    zor_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.type = ZOR_MSG_TLOC_BFD_STATUS;
    msg.sender = client != nullptr ? client->id : 0;
    msg.family = tloc_af;
    msg.body.bfd.key = tloc->key;
    msg.body.bfd.status = status == ZOR_TLOC_STATUS_UP ? ZOR_BFD_STATE_UP : ZOR_BFD_STATE_DOWN;
    (void)zor_af_data_device_add(zor_af_data_device_family(tloc_af), ctx, client, &msg);
}

void zor_af_data_device_tloc_withdraw(zor_af_t tloc_af, t_zor_context *ctx, t_zor_client *client,
                                      t_zor_db_entry *tloc_entry)
{
    zor_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.type = ZOR_MSG_TLOC_DEL;
    msg.sender = client != nullptr ? client->id : 0;
    msg.family = tloc_entry->family;
    zor_af_tloc_fill_msg(tloc_entry->family, tloc_entry, &msg, 1);
    zor_af_data_device_delete(zor_af_data_device_family(tloc_af), ctx, client, &msg);
}

bool zor_af_data_device_is_active(const t_zor_db_entry *entry)
{
    return entry != nullptr && entry->record != nullptr &&
           zor_af_data_device_of(entry)->on_demand_state == ZOR_DATA_DEVICE_STATE_ACTIVE;
}

void zor_af_data_device_state_msg(zor_af_t af, t_zor_context *ctx, zor_msg_t *msg)
{
    const zor_af_t dd_af = zor_af_data_device_family(af);
    const zor_msg_data_device_state_t &body = msg->body.data_device_state;
    if (!zor_is_data_device_af(dd_af) || !zor_af_base_addr_valid(&body.addr)) {
        ZOR_LOG("Ignored a device state for family %s, address family %u", zor_af_str(af), body.addr.family);
        return;
    }
    t_zor_db_entry *entry = zor_dd_lookup(dd_af, ctx, &body.addr, nullptr);
    if (entry == nullptr) {
        return;
    }
    t_zor_af_data_device *dev = zor_af_data_device_of(entry);
    if (dev->on_demand_state == body.state) {
        return;
    }
    dev->on_demand_state = body.state;
    const bool active = body.state == ZOR_DATA_DEVICE_STATE_ACTIVE;
    for (const t_zor_data_device_opt &opt : dev->options) {
        zor_tloc_key_t key{};
        key.addr = dev->system_ip;
        key.color = opt.color;
        key.encap = opt.encap;
        zor_af_tloc_set_activity(ctx, &key, active);
    }
}

const zor_af_ops_t k_zor_af_data_device_ops = {
    nullptr,  // no filter: every add is taken
    zor_af_data_device_add,
    zor_af_data_device_withdraw,
    zor_af_data_device_delete,
    zor_af_data_device_find,
    zor_af_base_tree_create_by<zor_af_data_device_cmp>,
    zor_af_base_tree_destroy,
    zor_af_data_device_free,
    zor_af_data_device_fill_msg,
    zor_af_data_device_show,
    zor_af_base_show_all,
};
