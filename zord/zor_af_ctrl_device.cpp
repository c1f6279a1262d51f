#include "zor_af_ctrl_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "confd_maapi.h"
#include "ost_util.h"
#include "zor_af_base.h"
#include "zor_log.h"

namespace {

t_zor_af_ctrl_device *rec(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_ctrl_device *>(entry->record);
}

int zor_af_ctrl_device_cmp(const void *a, const void *b)
{
    return ip_addr_cmp(&rec(static_cast<const t_zor_db_entry *>(a))->addr,
                       &rec(static_cast<const t_zor_db_entry *>(b))->addr);
}

// Region ids, type, state and staging from the body: everything but the key.
void zor_af_ctrl_device_take(t_zor_af_ctrl_device *r, const zor_msg_ctrl_device_t &body, uint16_t count)
{
    r->type = body.type;
    r->state = body.state;
    r->staging = body.staging;
    r->region_count = count;
    memset(r->region_ids, 0, sizeof(r->region_ids));
    memcpy(r->region_ids, body.region_ids, count * sizeof(r->region_ids[0]));
}

}  // namespace

t_zor_db_entry *zor_af_ctrl_device_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    const ip_addr_t &addr = msg->body.ctrl_device.addr;
    if (!zor_af_base_addr_valid(&addr)) {
        return nullptr;
    }
    t_zor_af_ctrl_device probe{};
    zor_af_base_addr_copy(&probe.addr, &addr);
    return zor_af_base_find(af, ctx, &probe, where);
}

t_zor_db_entry *zor_af_ctrl_device_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_msg_ctrl_device_t &body = msg->body.ctrl_device;
    if (!zor_af_base_addr_valid(&body.addr)) {
        ZOR_LOG("%s add from %s dropped: address family %u", zor_af_str(af), zor_af_base_client_str(client),
                body.addr.family);
        return nullptr;
    }
    // A longer set keeps its first ids rather than losing the whole
    // announcement; the codec bounds the count by its own, larger limit, and
    // a message built in-process may carry any count.
    uint16_t count = body.region_count;
    if (count > ZOR_CTRL_DEVICE_REGION_MAX) {
        char addr_str[64];
        ZOR_LOG("Device %s from %s: %u region ids, keeping the first %d", ip_addr_to_str(&body.addr, addr_str, sizeof(addr_str)),
                zor_af_base_client_str(client), body.region_count, ZOR_CTRL_DEVICE_REGION_MAX);
        count = ZOR_CTRL_DEVICE_REGION_MAX;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_af_ctrl_device_find(af, ctx, msg, &where);
    if (entry != nullptr) {
        t_zor_af_ctrl_device *r = rec(entry);
        // The region ids are not compared: a change of them alone is not
        // taken.
        if (r->type == body.type && r->state == body.state && r->staging == body.staging) {
            return entry;
        }
        zor_af_ctrl_device_take(r, body, count);
        zor_db_entry_schedule(ctx, entry);
        return entry;
    }
    t_zor_af_ctrl_device *r = zor_mem_new<t_zor_af_ctrl_device>();
    if (r == nullptr) {
        return nullptr;
    }
    zor_af_base_addr_copy(&r->addr, &body.addr);
    zor_af_ctrl_device_take(r, body, count);
    entry = zor_af_base_entry_insert(af, ctx, client, r, where);
    if (entry == nullptr) {
        zor_mem_delete(r);
        return nullptr;
    }
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

void zor_af_ctrl_device_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t /*is_delete*/)
{
    const t_zor_af_ctrl_device *r = rec(entry);
    zor_msg_ctrl_device_t &body = msg->body.ctrl_device;
    body.addr = r->addr;
    body.type = r->type;
    body.state = r->state;
    body.staging = r->staging;
    body.region_count = r->region_count;
    memcpy(body.region_ids, r->region_ids, r->region_count * sizeof(r->region_ids[0]));
}

char *zor_af_ctrl_device_regions_str(const t_zor_af_ctrl_device *r, char *buf, size_t size)
{
    if (size == 0) {
        return buf;
    }
    if (r->region_count == 0) {
        snprintf(buf, size, "NA");
        return buf;
    }
    size_t len = 0;
    buf[0] = '\0';
    const uint16_t count = std::min<uint16_t>(r->region_count, ZOR_CTRL_DEVICE_REGION_MAX);
    for (uint16_t i = 0; i < count; i++) {
        int w = snprintf(buf + len, size - len, i == 0 ? "%u" : " %u", r->region_ids[i]);
        if (w < 0 || static_cast<size_t>(w) >= size - len) {
            snprintf(buf, size, "TRUNCATED");
            return buf;
        }
        len += static_cast<size_t>(w);
    }
    return buf;
}

void zor_af_ctrl_device_show(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_ctrl_device *r = rec(entry);
    char addr[64];
    char regions[ZOR_CTRL_DEVICE_REGION_STR_LEN];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Device: %s, Type: %s, State: %s, Staging: %s\n    Region-id-set: %s\n",
                     ip_addr_to_str(&r->addr, addr, sizeof(addr)), ost_personality_str(r->type),
                     r->state == 1 ? "UP" : "DOWN", r->staging ? "yes" : "no",
                     zor_af_ctrl_device_regions_str(r, regions, sizeof(regions)));
}

// The slots that need nothing of a control device are the shared defaults,
// under the family's own names.
namespace {
constexpr auto zor_af_ctrl_device_withdraw = zor_af_base_withdraw_owned;
constexpr auto zor_af_ctrl_device_delete = zor_af_base_delete;
constexpr auto zor_af_ctrl_device_tree_create = zor_af_base_tree_create_by<zor_af_ctrl_device_cmp>;
constexpr auto zor_af_ctrl_device_tree_destroy = zor_af_base_tree_destroy;
constexpr auto zor_af_ctrl_device_free = zor_af_base_record_free<t_zor_af_ctrl_device>;
constexpr auto zor_af_ctrl_device_show_all = zor_af_base_show_all;
}  // namespace

const zor_af_ops_t k_zor_af_ctrl_device_ops = {
    nullptr,
    zor_af_ctrl_device_add,
    zor_af_ctrl_device_withdraw,
    zor_af_ctrl_device_delete,
    zor_af_ctrl_device_find,
    zor_af_ctrl_device_tree_create,
    zor_af_ctrl_device_tree_destroy,
    zor_af_ctrl_device_free,
    zor_af_ctrl_device_fill_msg,
    zor_af_ctrl_device_show,
    zor_af_ctrl_device_show_all,
};
