#include "zor_af_base.h"

#include <cstring>

#include "confd_maapi.h"
#include "ost_util.h"
#include "zor_client.h"
#include "zor_log.h"
#include "zor_result.h"

int zor_af_base_tree_create(zor_af_t af, t_zor_context *ctx, avl_compare_fn cmp)
{
    avl_tree_t *tree = zor_mem_new<avl_tree_t>();
    if (tree == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    avl_create(tree, cmp, sizeof(t_zor_db_entry), offsetof(t_zor_db_entry, tree_node));
    ctx->trees[af] = tree;
    return ZOR_OK;
}

void zor_af_base_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    avl_tree_t *tree = ctx->trees[af];
    if (tree == nullptr) {
        return;
    }
    avl_destroy(tree);
    zor_mem_delete(tree);
    ctx->trees[af] = nullptr;
}

t_zor_db_entry *zor_af_base_find(zor_af_t af, t_zor_context *ctx, void *probe, avl_index_t *where)
{
    avl_tree_t *tree = ctx->trees[af];
    if (tree == nullptr) {
        return nullptr;
    }
    // The tree compares entries; a template entry carries the probe record.
    t_zor_db_entry templ{};
    templ.family = af;
    templ.record = probe;
    return static_cast<t_zor_db_entry *>(avl_find(tree, &templ, where));
}

t_zor_db_entry *zor_af_base_entry_insert(zor_af_t af, t_zor_context *ctx, t_zor_client *owner, void *record,
                                         avl_index_t where)
{
    avl_tree_t *tree = ctx->trees[af];
    if (tree == nullptr) {
        return nullptr;
    }
    t_zor_db_entry *entry = zor_db_entry_alloc(af, owner, record);
    if (entry == nullptr) {
        return nullptr;
    }
    avl_insert(tree, entry, where);
    zor_db_entry_append(ctx, entry);
    return entry;
}

void zor_af_base_withdraw_owned(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    if (entry->client_p != client) {
        ZOR_LOG("%s withdraw from %s ignored: the entry belongs to %s", zor_af_str(af), zor_af_base_client_str(client),
                zor_af_base_client_str(entry->client_p));
        return;
    }
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN) && ctx->trees[af] != nullptr) {
        avl_remove(ctx->trees[af], entry);
    }
    zor_db_entry_withdrawn(ctx, entry);
}

void zor_af_base_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    avl_tree_t *tree = ctx->trees[af];
    if (tree == nullptr) {
        return;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        zor_af_show(af, ctx, e, uinfo);
    }
}

void zor_af_base_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_af_find(af, ctx, msg, nullptr);
    if (entry != nullptr) {
        zor_af_withdraw(af, ctx, client, entry);
    }
}

const char *zor_af_base_client_str(const t_zor_client *client)
{
    if (client == nullptr) {
        return "zor";
    }
    return client->id < OST_MODULE_MAX ? ost_module_str(client->id) : "unknown";
}

uint32_t zor_personality(const t_zor_context *ctx)
{
    return ctx->daemon != nullptr ? ctx->daemon->personality : 0;
}

bool zor_links_originated(const t_zor_context *ctx)
{
    for (uint32_t id : {static_cast<uint32_t>(OST_MODULE_ADVD), static_cast<uint32_t>(OST_MODULE_KLXD)}) {
        const t_zor_client *client = ctx->clients[id];
        if (client != nullptr && client->originate[ZOR_AF_LINK]) {
            return true;
        }
    }
    return false;
}

bool zor_af_base_addr_valid(const ip_addr_t *addr)
{
    return addr->family == IP_AF_INET || addr->family == IP_AF_INET6;
}

void zor_af_base_addr_copy(ip_addr_t *dst, const ip_addr_t *src)
{
    memset(dst, 0, sizeof(*dst));
    dst->family = src->family;
    if (src->family == IP_AF_INET) {
        dst->u.v4 = src->u.v4;
    } else {
        memcpy(dst->u.v6, src->u.v6, sizeof(dst->u.v6));
    }
}
