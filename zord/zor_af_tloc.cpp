#include "zor_af_tloc.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstring>

#include "confd_value.h"
#include "ip_util.h"
#include "ost_assert.h"
#include "zor_af_base.h"
#include "zor_af_data_device.h"
#include "zor_af_link.h"
#include "zor_af_tloc_priv.h"
#include "zor_af_tloc_show.h"
#include "zor_client.h"
#include "zor_group.h"
#include "zor_log.h"
#include "zor_result.h"
#include "zor_path.h"

namespace {

// Limits of an acceptable TLOC add.
constexpr uint8_t k_color_min = 1;
constexpr uint8_t k_color_max = 22;
constexpr uint8_t k_carrier_min = 1;
constexpr uint8_t k_carrier_max = 9;
constexpr uint32_t k_weight_max = 255;

const char *zor_key_str(const zor_tloc_key_t *key, char *buf, size_t len)
{
    return tloc_to_str(key, buf, len);
}

// The record's bandwidth word and QoS-group name compared with a message.
bool zor_tloc_qos_equal(const t_zor_af_tloc *tloc, const zor_msg_tloc_t *body)
{
    return tloc->bandwidth == body->attr.bandwidth &&
           memcmp(tloc->qos_group, body->qos_group, sizeof(tloc->qos_group)) == 0;
}

void zor_tloc_copy_attr(t_zor_af_tloc *tloc, const zor_msg_tloc_t *body)
{
    memcpy(&tloc->attr, &body->attr, sizeof(tloc->attr));
    tloc->bandwidth = body->attr.bandwidth;
    memcpy(tloc->qos_group, body->qos_group, sizeof(tloc->qos_group));
}

// Clears the TLOC's inactive flag when the device's on-demand state says
// Active.
void zor_tloc_data_device_update(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg,
                                 t_zor_af_tloc *tloc, bool log)
{
    t_zor_db_entry *device = zor_af_data_device_tloc_update(af, ctx, client, msg);
    if (zor_af_data_device_is_active(device)) {
        tloc->inactive = 0;
        if (log) {
            zor_af_tloc_debug_activity_state(tloc);
        }
    }
}

t_zor_db_entry *zor_af_tloc_create(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg,
                                   avl_index_t where)
{
    const zor_msg_tloc_t &body = msg->body.tloc;
    char key[128];
    // xfwd may refresh a local TLOC but never creates one.
    if (msg->type == ZOR_MSG_TLOC_ADD && client != nullptr && client->id == OST_MODULE_XFWD &&
        body.origin == ZOR_TLOC_ORIGIN_LOCAL) {
        ZOR_DEBUG("Local TLOC %s from xfwd not created", zor_key_str(&body.key, key, sizeof(key)));
        return nullptr;
    }
    t_zor_af_tloc *tloc = zor_mem_new<t_zor_af_tloc>();
    if (tloc == nullptr) {
        return nullptr;
    }
    tloc->key = body.key;
    tloc->origin = body.origin;
    tloc->index = ZOR_TLOC_INDEX_NONE;
    if (zor_af_tloc_index_alloc(ctx, &tloc->index) != ZOR_OK) {
        ZOR_LOG("No free TLOC index: TLOC %s not created", zor_key_str(&body.key, key, sizeof(key)));
        zor_mem_delete(tloc);
        return nullptr;
    }
    if (zor_tloc_is_local(tloc) || zor_personality(ctx) == ZOR_PERSONALITY_SOLON) {
        tloc->status = ZOR_TLOC_STATUS_UP;
        tloc->bfd_status = ZOR_BFD_STATE_UP;
        tloc->inactive = 0;
    } else {
        tloc->status = ZOR_TLOC_STATUS_DOWN;
        tloc->bfd_status = ZOR_BFD_STATE_DOWN;
        tloc->inactive = 1;
    }
    zor_af_tloc_debug_activity_state(tloc);
    tloc->lr_enabled = body.lr_enabled;
    tloc->lr_hold_time = body.lr_hold_time;

    t_zor_db_entry *entry = zor_db_entry_alloc(af, client, tloc);
    if (entry == nullptr) {
        zor_af_tloc_index_free(ctx, tloc->index);
        zor_mem_delete(tloc);
        return nullptr;
    }
    tloc->entry_p = entry;
    avl_insert(ctx->trees[af], entry, where);
    if (zor_tloc_is_local(tloc)) {
        avl_index_t local_where = 0;
        OST_ASSERT_TEXT(avl_find(ctx->local_tloc_db_p, entry, &local_where) == nullptr,
                        "avl_find(ctx_p->local_tloc_db_p, db_entry_p, &where) == ((void *)0)");
        avl_insert(ctx->local_tloc_db_p, entry, local_where);
    }
    zor_db_entry_append(ctx, entry);

    zor_af_tloc_status_update(tloc);
    zor_tloc_copy_attr(tloc, &body);
    zor_af_tloc_group_update(ctx, tloc, false);
    zor_af_tloc_links_update(af, ctx, tloc, false);
    if (zor_tloc_is_local(tloc)) {
        zor_path_compute_schedule_all(ctx);
    } else {
        zor_path_compute_schedule(ctx, tloc);
    }
    zor_tloc_data_device_update(af, ctx, client, msg, tloc, true);
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

t_zor_db_entry *zor_af_tloc_update(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg,
                                   t_zor_db_entry *entry)
{
    t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    const zor_msg_tloc_t &body = msg->body.tloc;
    // xfwd refreshes a local TLOC on behalf of its owner.
    if (zor_tloc_is_local(tloc) && client != nullptr && client->id == OST_MODULE_XFWD &&
        msg->type == ZOR_MSG_TLOC_ADD) {
        client = entry->client_p;
        msg->sender = OST_MODULE_CTLAGENT_0;
    }
    if (memcmp(&tloc->attr, &body.attr, sizeof(tloc->attr)) == 0 && zor_tloc_qos_equal(tloc, &body) &&
        tloc->lr_enabled == body.lr_enabled && tloc->lr_hold_time == body.lr_hold_time) {
        return entry;
    }

    const zor_tloc_attr_t &old_attr = tloc->attr;
    const zor_tloc_attr_t &new_attr = body.attr;
    const uint32_t old_count = zor_group_count(&old_attr);
    const bool groups_changed = old_attr.group_count != new_attr.group_count ||
                                memcmp(old_attr.groups, new_attr.groups, old_count * sizeof(old_attr.groups[0])) != 0;
    const bool border_changed = old_attr.border != new_attr.border;
    const bool pref_changed = old_attr.preference != new_attr.preference;
    const bool stale_changed = old_attr.stale != new_attr.stale;

    if (groups_changed || border_changed) {
        zor_af_tloc_group_update(ctx, tloc, true);
        zor_af_tloc_links_update(af, ctx, tloc, true);
    }
    zor_tloc_copy_attr(tloc, &body);
    if (groups_changed || border_changed) {
        zor_af_tloc_group_update(ctx, tloc, false);
        zor_af_tloc_links_update(af, ctx, tloc, false);
        zor_path_compute_schedule_all(ctx);
    } else {
        if (pref_changed) {
            zor_af_tloc_links_update(af, ctx, tloc, false);
            zor_path_compute_schedule(ctx, tloc);
        }
        if (stale_changed) {
            if (zor_group_count(&tloc->attr) < 2) {
                zor_path_compute_schedule(ctx, tloc);
            } else {
                zor_path_compute_schedule_all(ctx);
            }
        }
    }
    tloc->lr_enabled = body.lr_enabled;
    tloc->lr_hold_time = body.lr_hold_time;
    zor_tloc_data_device_update(af, ctx, client, msg, tloc, false);
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

}  // namespace


int zor_af_tloc_key_cmp(const zor_tloc_key_t *a, const zor_tloc_key_t *b)
{
    if (a->addr.family != b->addr.family) {
        return a->addr.family < b->addr.family ? -1 : 1;
    }
    if (a->addr.family == IP_AF_INET) {
        if (a->addr.u.v4 != b->addr.u.v4) {
            return a->addr.u.v4 < b->addr.u.v4 ? -1 : 1;
        }
    } else {
        int c = memcmp(a->addr.u.v6, b->addr.u.v6, sizeof(a->addr.u.v6));
        if (c != 0) {
            return c < 0 ? -1 : 1;
        }
    }
    if (a->color != b->color) {
        return a->color < b->color ? -1 : 1;
    }
    if (a->encap != b->encap) {
        return a->encap < b->encap ? -1 : 1;
    }
    return 0;
}

int zor_af_tloc_cmp(const void *a, const void *b)
{
    return zor_af_tloc_key_cmp(&zor_af_tloc_of(static_cast<const t_zor_db_entry *>(a))->key,
                               &zor_af_tloc_of(static_cast<const t_zor_db_entry *>(b))->key);
}

bool zor_af_tloc_key_fits(zor_af_t af, const zor_tloc_key_t *key)
{
    return (af == ZOR_AF_TLOC_IPV4 && key->addr.family == IP_AF_INET) ||
           (af == ZOR_AF_TLOC_IPV6 && key->addr.family == IP_AF_INET6);
}

t_zor_db_entry *zor_af_tloc_find(zor_af_t af, t_zor_context *ctx, const zor_tloc_key_t *key, avl_index_t *where)
{
    if (ctx == nullptr || !zor_is_tloc_af(af) || ctx->trees[af] == nullptr) {
        return nullptr;
    }
    t_zor_af_tloc probe{};
    probe.key = *key;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    return static_cast<t_zor_db_entry *>(avl_find(ctx->trees[af], &tmpl, where));
}

bool zor_af_tloc_filter(zor_af_t /*af*/, const zor_msg_t *msg)
{
    const zor_msg_tloc_t &body = msg->body.tloc;
    return body.key.color >= k_color_min && body.key.color <= k_color_max && body.attr.carrier >= k_carrier_min &&
           body.attr.carrier <= k_carrier_max && body.attr.weight <= k_weight_max;
}

t_zor_db_entry *zor_af_tloc_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    if (!zor_is_tloc_af(af) || ctx->trees[af] == nullptr) {
        return nullptr;
    }
    const zor_tloc_key_t &key = msg->body.tloc.key;
    if (!zor_af_tloc_key_fits(af, &key)) {
        ZOR_LOG("Dropped a TLOC add of family %s with address family %u", zor_af_str(af), key.addr.family);
        return nullptr;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_af_tloc_find(af, ctx, &key, &where);
    if (entry == nullptr) {
        return zor_af_tloc_create(af, ctx, client, msg, where);
    }
    return zor_af_tloc_update(af, ctx, client, msg, entry);
}

void zor_af_tloc_withdraw(zor_af_t /*af*/, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    if (entry->flags & ZOR_ENTRY_MARKER) {
        return;
    }
    t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    const zor_af_t af = entry->family;
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
        avl_remove(ctx->trees[af], entry);
        if (zor_tloc_is_local(tloc)) {
            avl_remove(ctx->local_tloc_db_p, entry);
        }
        zor_path_compute(ctx, tloc, true);
        if (zor_group_count(&tloc->attr) > 1) {
            zor_path_compute_schedule_all(ctx);
        }
        zor_af_tloc_links_update(af, ctx, tloc, true);
        zor_af_tloc_group_update(ctx, tloc, true);
        zor_af_data_device_tloc_withdraw(af, ctx, client, entry);
    }
    zor_db_entry_withdrawn(ctx, entry);
}

void zor_af_tloc_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_tloc_key_t &key = msg->body.tloc.key;
    if (!zor_af_tloc_key_fits(af, &key)) {
        ZOR_LOG("Dropped a TLOC delete of family %s with address family %u", zor_af_str(af), key.addr.family);
        return;
    }
    t_zor_db_entry *entry = zor_af_tloc_find(af, ctx, &key, nullptr);
    if (entry != nullptr) {
        zor_af_tloc_withdraw(af, ctx, client, entry);
    }
}

t_zor_db_entry *zor_af_tloc_find_msg(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    return zor_af_tloc_find(af, ctx, &msg->body.tloc.key, where);
}

int zor_af_tloc_tree_create(zor_af_t af, t_zor_context *ctx)
{
    avl_tree_t *tree = zor_mem_new<avl_tree_t>();
    if (tree == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    avl_create(tree, zor_af_tloc_cmp, sizeof(t_zor_db_entry), offsetof(t_zor_db_entry, tree_node));
    ctx->trees[af] = tree;
    // One tree of local TLOCs serves both families.
    if (ctx->local_tloc_db_p == nullptr) {
        avl_tree_t *local = zor_mem_new<avl_tree_t>();
        if (local == nullptr) {
            return ZOR_ERR_NO_MEMORY;
        }
        avl_create(local, zor_af_tloc_cmp, sizeof(t_zor_db_entry), offsetof(t_zor_db_entry, local_tree_node));
        ctx->local_tloc_db_p = local;
    }
    // The path walk goes over the TLOC-IPV4 change list from its own marker.
    if (af == ZOR_AF_TLOC_IPV4 && ctx->path_walk_marker == nullptr) {
        ctx->path_walk_marker = zor_db_marker_create(ctx, nullptr, af, 1);
        if (ctx->path_walk_marker == nullptr) {
            return ZOR_ERR_NO_MEMORY;
        }
    }
    return ZOR_OK;
}

void zor_af_tloc_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    if (ctx->trees[af] != nullptr) {
        avl_destroy(ctx->trees[af]);
        zor_mem_delete(ctx->trees[af]);
        ctx->trees[af] = nullptr;
    }
    if (af == ZOR_AF_TLOC_IPV4 && ctx->path_walk_marker != nullptr) {
        zor_db_entry_free(ctx, ctx->path_walk_marker);
        ctx->path_walk_marker = nullptr;
    }
    // The local tree goes with the last TLOC tree.
    if (ctx->trees[ZOR_AF_TLOC_IPV4] == nullptr && ctx->trees[ZOR_AF_TLOC_IPV6] == nullptr &&
        ctx->local_tloc_db_p != nullptr) {
        avl_destroy(ctx->local_tloc_db_p);
        zor_mem_delete(ctx->local_tloc_db_p);
        ctx->local_tloc_db_p = nullptr;
    }
}

void zor_af_tloc_free(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry)
{
    t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    if (tloc == nullptr) {
        return;
    }
    zor_af_tloc_index_free(ctx, tloc->index);
    zor_mem_delete(tloc);
    entry->record = nullptr;
}

uint8_t zor_af_tloc_path_descs(const t_zor_af_tloc *tloc, zor_tloc_path_t (&paths)[ZOR_TLOC_PATH_MAX])
{
    // The best paths, in list order: the list holds the best ones first.
    uint8_t count = 0;
    for (const t_zor_path *path = tloc->path_list; path != nullptr && count < ZOR_TLOC_PATH_MAX;
         path = path->next_p) {
        if (path->status == ZOR_PATH_STATUS_DOWN || !(path->flags & ZOR_PATH_FLAG_BEST)) {
            break;
        }
        OST_ASSERT_TEXT(path->link_count > 1, "path_p->link_count > 1");
        zor_tloc_path_t &desc = paths[count++];
        const uint32_t links = std::min<uint32_t>(path->link_count, ZOR_PATH_LINK_MAX);
        desc.local_index = path->links[0].link_p->local_index;
        desc.border_index = path->links[0].link_p->remote_index;
        desc.mtu = path->mtu;
        desc.label_count = static_cast<uint8_t>(links - 1);
        for (uint32_t i = 1; i < links; i++) {
            desc.labels[i - 1] = path->links[i].link_p->label;
        }
    }
    return count;
}

void zor_af_tloc_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t key_only)
{
    const t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    zor_msg_tloc_t &body = msg->body.tloc;
    body.key = tloc->key;
    body.origin = static_cast<uint8_t>(tloc->origin);
    body.status = tloc->status;
    body.inactive = tloc->inactive;
    body.index = tloc->index;
    body.lr_enabled = tloc->lr_enabled;
    body.lr_hold_time = tloc->lr_hold_time;
    if (key_only) {
        return;
    }
    memcpy(&body.attr, &tloc->attr, sizeof(body.attr));
    body.attr.bandwidth = tloc->bandwidth;
    memcpy(body.qos_group, tloc->qos_group, sizeof(body.qos_group));

    body.path_count = zor_af_tloc_path_descs(tloc, body.paths);
}

void zor_af_tloc_db_bfd_status(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_msg_tloc_bfd_status_t &bfd = msg->body.bfd;
    if (!zor_af_tloc_key_fits(af, &bfd.key)) {
        ZOR_LOG("Dropped a BFD status of family %s with address family %u", zor_af_str(af), bfd.key.addr.family);
        return;
    }
    char key[128];
    t_zor_db_entry *entry = zor_af_tloc_find(af, ctx, &bfd.key, nullptr);
    if (entry == nullptr) {
        ZOR_DEBUG("\n BFD message: tloc %s not found", zor_key_str(&bfd.key, key, sizeof(key)));
        return;
    }
    ZOR_DEBUG("BFD message: tloc %s status is %d", zor_key_str(&bfd.key, key, sizeof(key)),
              static_cast<int>(bfd.status));
    t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    if (zor_af_tloc_bfd_applies(ctx, tloc, msg) && bfd.status != tloc->bfd_status) {
        tloc->bfd_status = static_cast<uint8_t>(bfd.status);
        zor_af_tloc_status_update(tloc);
        (void)zor_af_data_device_tloc_update(af, ctx, client, msg);
        zor_db_entry_schedule(ctx, entry);
    }
}

void zor_af_tloc_status_update(t_zor_af_tloc *tloc)
{
    switch (tloc->bfd_status) {
    case ZOR_BFD_STATE_UP:
        tloc->status = ZOR_TLOC_STATUS_UP;
        break;
    case ZOR_BFD_STATE_NO_PATH:
        tloc->status = ZOR_TLOC_STATUS_NO_PATH;
        break;
    default:
        tloc->status = ZOR_TLOC_STATUS_DOWN;
        break;
    }
}

bool zor_af_tloc_bfd_applies(t_zor_context *ctx, const t_zor_af_tloc *tloc, const zor_msg_t *msg)
{
    // While advd or klxd originate links, BFD decides every TLOC's status.
    if (zor_links_originated(ctx)) {
        return true;
    }
    avl_tree_t *local = ctx->local_tloc_db_p;
    if (local == nullptr || avl_numnodes(local) == 0) {
        return true;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(local)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(local, e, AVL_AFTER))) {
        if (zor_groups_overlap(&tloc->attr, &zor_af_tloc_of(e)->attr)) {
            return true;
        }
    }
    // Outside every local region the paths decide, but a "down" is taken
    // while the TLOC is up.
    if (msg == nullptr || msg->body.bfd.status != ZOR_BFD_STATE_DOWN) {
        return false;
    }
    return tloc->bfd_status == ZOR_BFD_STATE_UP;
}

void zor_af_tloc_status_from_paths(t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    if (zor_af_tloc_bfd_applies(ctx, tloc, nullptr)) {
        return;
    }
    if (tloc->path_list == nullptr) {
        tloc->bfd_status = ZOR_BFD_STATE_NO_PATH;
    } else {
        tloc->bfd_status = tloc->path_list->status == ZOR_PATH_STATUS_UP ? ZOR_BFD_STATE_UP : ZOR_BFD_STATE_DOWN;
    }
    zor_af_tloc_status_update(tloc);
    zor_schedule(ctx, tloc);
}

void zor_af_tloc_set_activity(t_zor_context *ctx, const zor_tloc_key_t *key, bool active)
{
    const zor_af_t af = key->addr.family == IP_AF_INET ? ZOR_AF_TLOC_IPV4 : ZOR_AF_TLOC_IPV6;
    t_zor_db_entry *entry = zor_af_tloc_find(af, ctx, key, nullptr);
    if (entry == nullptr) {
        return;
    }
    t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    tloc->inactive = active ? 0 : 1;
    zor_af_tloc_debug_activity_state(tloc);
    zor_db_entry_schedule(ctx, entry);
}

void zor_af_tloc_debug_activity_state(const t_zor_af_tloc *tloc)
{
    if (g_zor_debug == 0) {
        return;
    }
    char key[128];
    ZOR_LOG("TLOC %s, state set: %s", zor_key_str(&tloc->key, key, sizeof(key)),
            tloc->inactive ? "Inactive" : "Active");
}

int zor_af_tloc_index_alloc(t_zor_context *ctx, uint32_t *index)
{
    uint8_t *bitmap = ctx->daemon != nullptr ? ctx->daemon->tloc_index_bitmap : nullptr;
    if (bitmap == nullptr) {
        return ZOR_ERR_NOT_FOUND;
    }
    const uint32_t start = ctx->last_tloc_index < ZOR_TLOC_INDEX_LAST_BIT ? ctx->last_tloc_index + 1 : 0;
    int bit = zor_bitmap_find_clear_range(bitmap, start, ZOR_TLOC_INDEX_LAST_BIT);
    if (bit < 0 && start > 0) {
        bit = zor_bitmap_find_clear_range(bitmap, 0, start - 1);
    }
    if (bit < 0) {
        return ZOR_ERR_NOT_FOUND;
    }
    zor_bitmap_set(bitmap, static_cast<uint32_t>(bit));
    ctx->last_tloc_index = static_cast<uint32_t>(bit);
    *index = ZOR_TLOC_INDEX_BASE + static_cast<uint32_t>(bit);
    return ZOR_OK;
}

void zor_af_tloc_index_free(t_zor_context *ctx, uint32_t index)
{
    uint8_t *bitmap = ctx->daemon != nullptr ? ctx->daemon->tloc_index_bitmap : nullptr;
    if (bitmap == nullptr || index == ZOR_TLOC_INDEX_NONE || index < ZOR_TLOC_INDEX_BASE + 1 ||
        index > ZOR_TLOC_INDEX_BASE + ZOR_TLOC_INDEX_LAST_BIT) {
        return;
    }
    zor_bitmap_clear(bitmap, index - ZOR_TLOC_INDEX_BASE);
}

void zor_af_tloc_oper_keys(const t_zor_db_entry *entry, confd_value_t *keys)
{
    const t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    if (tloc->key.addr.family == IP_AF_INET) {
        confd_value_set_ipv4(&keys[0], htonl(tloc->key.addr.u.v4));
    } else {
        confd_value_set_ipv6(&keys[0], tloc->key.addr.u.v6);
    }
    confd_value_set_enum(&keys[1], tloc->key.color);
    confd_value_set_enum(&keys[2], tloc->key.encap);
}

const zor_af_ops_t k_zor_af_tloc_ops = {
    zor_af_tloc_filter,      zor_af_tloc_add,   zor_af_tloc_withdraw, zor_af_tloc_delete,
    zor_af_tloc_find_msg,    zor_af_tloc_tree_create,               zor_af_tloc_tree_destroy,
    zor_af_tloc_free,        zor_af_tloc_fill_msg,                  zor_af_tloc_show,
    zor_af_tloc_show_all,
};
