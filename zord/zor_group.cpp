#include "zor_group.h"

#include <cstring>

#include "ip_util.h"
#include "confd_maapi.h"
#include "zor_db.h"

namespace {

// Group numbers compare as unsigned numbers: ascending for every pair, where
// a signed difference would misorder numbers 2^31 or more apart.
int zor_group_cmp(const void *a, const void *b)
{
    uint32_t x = static_cast<const t_zor_group *>(a)->group_id;
    uint32_t y = static_cast<const t_zor_group *>(b)->group_id;
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Members: by address, then colour, then encapsulation.
int zor_group_tloc_cmp(const void *a, const void *b)
{
    const zor_tloc_key_t &x = static_cast<const t_zor_group_tloc *>(a)->key;
    const zor_tloc_key_t &y = static_cast<const t_zor_group_tloc *>(b)->key;
    int rc = ip_addr_cmp(&x.addr, &y.addr);
    if (rc != 0) {
        return rc;
    }
    if (x.color != y.color) {
        return x.color < y.color ? -1 : 1;
    }
    if (x.encap != y.encap) {
        return x.encap < y.encap ? -1 : 1;
    }
    return 0;
}

// The member form of a key: for IPv4 only the 32-bit address is kept.
void zor_group_key_copy(zor_tloc_key_t *dst, const zor_tloc_key_t *src)
{
    memset(dst, 0, sizeof(*dst));
    dst->addr.family = src->addr.family;
    if (src->addr.family == IP_AF_INET) {
        dst->addr.u.v4 = src->addr.u.v4;
    } else {
        memcpy(dst->addr.u.v6, src->addr.u.v6, sizeof(dst->addr.u.v6));
    }
    dst->color = src->color;
    dst->encap = src->encap;
}

// The group of this number, created (empty) when absent; null when memory
// runs out.
t_zor_group *zor_group_get(t_zor_context *ctx, uint32_t group_id)
{
    avl_index_t where = 0;
    t_zor_group *group = zor_group_find(ctx, group_id, &where);
    if (group != nullptr) {
        return group;
    }
    group = zor_mem_new<t_zor_group>();
    if (group == nullptr) {
        return nullptr;
    }
    group->group_id = group_id;
    avl_insert(ctx->group_db, group, where);
    avl_create(&group->members, zor_group_tloc_cmp, sizeof(t_zor_group_tloc), offsetof(t_zor_group_tloc, node));
    return group;
}

void zor_group_free(t_zor_context *ctx, t_zor_group *group)
{
    while (auto *member = static_cast<t_zor_group_tloc *>(avl_first(&group->members))) {
        avl_remove(&group->members, member);
        zor_mem_delete(member);
    }
    avl_destroy(&group->members);
    avl_remove(ctx->group_db, group);
    zor_mem_delete(group);
}

}  // namespace

int zor_groups_init(t_zor_context *ctx)
{
    avl_tree_t *tree = zor_mem_new<avl_tree_t>();
    if (tree == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    avl_create(tree, zor_group_cmp, sizeof(t_zor_group), offsetof(t_zor_group, node));
    ctx->group_db = tree;
    return ZOR_OK;
}

void zor_groups_fini(t_zor_context *ctx)
{
    if (ctx->group_db == nullptr) {
        return;
    }
    while (auto *group = static_cast<t_zor_group *>(avl_first(ctx->group_db))) {
        zor_group_free(ctx, group);
    }
    avl_destroy(ctx->group_db);
    zor_mem_delete(ctx->group_db);
    ctx->group_db = nullptr;
}

t_zor_group *zor_group_find(t_zor_context *ctx, uint32_t group_id, avl_index_t *where)
{
    if (ctx->group_db == nullptr) {
        return nullptr;
    }
    t_zor_group probe{};
    probe.group_id = group_id;
    return static_cast<t_zor_group *>(avl_find(ctx->group_db, &probe, where));
}

int zor_group_tloc_add(t_zor_context *ctx, uint32_t group_id, const zor_tloc_key_t *key)
{
    if (ctx->group_db == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    t_zor_group *group = zor_group_get(ctx, group_id);
    if (group == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    t_zor_group_tloc probe{};
    zor_group_key_copy(&probe.key, key);
    avl_index_t where = 0;
    if (avl_find(&group->members, &probe, &where) != nullptr) {
        return ZOR_OK;
    }
    t_zor_group_tloc *member = zor_mem_new<t_zor_group_tloc>();
    if (member == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    member->key = probe.key;
    avl_insert(&group->members, member, where);
    return ZOR_OK;
}

void zor_group_tloc_del(t_zor_context *ctx, uint32_t group_id, const zor_tloc_key_t *key)
{
    t_zor_group *group = zor_group_find(ctx, group_id, nullptr);
    if (group == nullptr) {
        return;
    }
    t_zor_group_tloc probe{};
    zor_group_key_copy(&probe.key, key);
    auto *member = static_cast<t_zor_group_tloc *>(avl_find(&group->members, &probe, nullptr));
    if (member == nullptr) {
        return;
    }
    avl_remove(&group->members, member);
    zor_mem_delete(member);
    if (avl_numnodes(&group->members) == 0) {
        zor_group_free(ctx, group);
    }
}

void zor_group_dump(confd_user_info *uinfo)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr || ctx->group_db == nullptr) {
        return;
    }
    maapi_cli_printf(sock, usess, "\n   ================================");
    maapi_cli_printf(sock, usess, "\n         ZOR Group Database        ");
    maapi_cli_printf(sock, usess, "\n   ================================\n");
    char text[512];
    for (auto *group = static_cast<t_zor_group *>(avl_first(ctx->group_db)); group != nullptr;
         group = static_cast<t_zor_group *>(avl_walk(ctx->group_db, group, AVL_AFTER))) {
        maapi_cli_printf(sock, usess, "Group: %u, TLOC-count: %u\n", group->group_id,
                         static_cast<unsigned>(avl_numnodes(&group->members)));
        for (auto *member = static_cast<t_zor_group_tloc *>(avl_first(&group->members)); member != nullptr;
             member = static_cast<t_zor_group_tloc *>(avl_walk(&group->members, member, AVL_AFTER))) {
            maapi_cli_printf(sock, usess, "    TLOC: %s\n", tloc_to_str(&member->key, text, sizeof(text)));
        }
        zor_daemon_yield(ctx);
    }
}
