#define OST_ASSERT_SOURCE "zord/zor_af_tloc.cpp"
// The TLOC families' regions: which groups a TLOC stands in, the border
// TLOCs that bring the local ones into their groups, and the links a TLOC
// gains or loses with them.
#include "zor_af_tloc.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "ip_util.h"
#include "zor_af_base.h"
#include "zor_af_link.h"
#include "zor_af_tloc_priv.h"
#include "zor_group.h"
#include "zor_log.h"

zor_af_tloc_links_fn g_zor_af_tloc_links_remove = zor_af_tloc_links_remove;

namespace {

bool zor_attr_has(const zor_tloc_attr_t *attr, int bit)
{
    return (attr->flags & ZOR_TLOC_ATTR_BIT(bit)) != 0;
}

}  // namespace

bool zor_groups_overlap(const zor_tloc_attr_t *a, const zor_tloc_attr_t *b)
{
    const uint32_t na = zor_group_count(a);
    const uint32_t nb = zor_group_count(b);
    if (na == 0 && nb == 0) {
        return true;
    }
    // A TLOC only in group 0 (and not border) belongs to every region.
    if ((na == 1 && a->groups[0] == 0 && !a->border) || (nb == 1 && b->groups[0] == 0 && !b->border)) {
        return true;
    }
    if (a->border != b->border) {
        return false;
    }
    if (a->border) {
        return true;
    }
    for (uint32_t i = 0; i < na; i++) {
        if (a->groups[i] == 0) {
            continue;
        }
        for (uint32_t j = 0; j < nb; j++) {
            if (a->groups[i] == b->groups[j]) {
                return true;
            }
        }
    }
    return false;
}

void zor_af_tloc_group_update(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove)
{
    // The route controller keeps no group database.
    if (zor_personality(ctx) == ZOR_PERSONALITY_SOLON || !zor_attr_has(&tloc->attr, ZOR_TLOC_ATTR_GROUP)) {
        return;
    }
    if (zor_tloc_is_local(tloc)) {
        zor_af_tloc_border_update(ctx, tloc, remove);
        return;
    }
    // A remote border TLOC announces group 0 among its groups.
    const uint32_t count = zor_group_count(&tloc->attr);
    const uint32_t *groups = tloc->attr.groups;
    if (count < 2 || std::find(groups, groups + count, 0u) == groups + count) {
        return;
    }
    for (uint32_t i = 0; i < count; i++) {
        if (groups[i] == 0) {
            continue;
        }
        if (remove) {
            zor_group_tloc_del(ctx, groups[i], &tloc->key);
        } else {
            (void)zor_group_tloc_add(ctx, groups[i], &tloc->key);
        }
    }
}

void zor_af_tloc_border_update(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove)
{
    if (!zor_attr_has(&tloc->attr, ZOR_TLOC_ATTR_BORDER)) {
        if (remove) {
            zor_af_tloc_group_leave(ctx, tloc);
        } else if (ctx->local_border_count != 0) {
            zor_af_tloc_group_join(ctx, tloc);
        }
        return;
    }
    if (remove) {
        // A border TLOC that was never counted (its GROUP or BORDER bit came
        // in an update that changed no group or border byte) is no last
        // border TLOC: the count stays 0 rather than wrapping, and the other
        // local TLOCs keep their groups and links.
        const bool counted = ctx->local_border_count != 0;
        if (counted) {
            ctx->local_border_count--;
        }
        zor_af_tloc_group_leave(ctx, tloc);
        if (!counted) {
            return;
        }
    } else {
        ctx->local_border_count++;
        zor_af_tloc_group_join(ctx, tloc);
    }
    // The first border TLOC brings every local TLOC into its groups; the last
    // one takes them out again.
    if (ctx->local_border_count > 1 || ctx->local_tloc_db_p == nullptr) {
        return;
    }
    avl_tree_t *local = ctx->local_tloc_db_p;
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(local)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(local, e, AVL_AFTER))) {
        t_zor_af_tloc *other = zor_af_tloc_of(e);
        if (other == tloc) {
            continue;
        }
        if (ctx->local_border_count != 0) {
            zor_af_tloc_group_join(ctx, other);
            zor_af_tloc_links_update(ZOR_AF_TLOC_IPV4, ctx, other, false);
        } else {
            zor_af_tloc_group_leave(ctx, other);
            zor_af_tloc_links_update(ZOR_AF_TLOC_IPV4, ctx, other, true);
        }
    }
}

void zor_af_tloc_group_join(t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    zor_schedule(ctx, tloc);
    zor_tloc_attr_t &attr = tloc->attr;
    // Group 0 in front marks a TLOC that is registered already.
    if (attr.groups[0] == 0) {
        return;
    }
    const uint32_t count = zor_group_count(&attr);
    // A full list has no room for group 0. The TLOC is then not registered
    // at all rather than losing one of the groups it announced: its list
    // stays as announced, and a later leave finds nothing to undo.
    if (count >= ZOR_TLOC_GROUP_MAX) {
        char key[128];
        ZOR_LOG("TLOC %s has %u groups, no room for group 0: not registered in its groups",
                tloc_to_str(&tloc->key, key, sizeof(key)), count);
        return;
    }
    for (uint32_t i = 0; i < count; i++) {
        (void)zor_group_tloc_add(ctx, attr.groups[i], &tloc->key);
    }
    memmove(&attr.groups[1], &attr.groups[0], count * sizeof(attr.groups[0]));
    attr.groups[0] = 0;
    attr.group_count = static_cast<uint16_t>(count + 1);
}

void zor_af_tloc_group_leave(t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    zor_schedule(ctx, tloc);
    zor_tloc_attr_t &attr = tloc->attr;
    const uint32_t count = zor_group_count(&attr);
    if (attr.groups[0] != 0 || count <= 1) {
        return;
    }
    memmove(&attr.groups[0], &attr.groups[1], (count - 1) * sizeof(attr.groups[0]));
    // The freed slot reads zero, as in a list received with this count.
    attr.groups[count - 1] = 0;
    attr.group_count = static_cast<uint16_t>(count - 1);
    for (uint32_t i = 0; i < count - 1; i++) {
        zor_group_tloc_del(ctx, attr.groups[i], &tloc->key);
    }
}

void zor_af_tloc_links_update(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove)
{
    if (!zor_is_tloc_af(af) || ctx->trees[af] == nullptr) {
        return;
    }
    if (remove) {
        g_zor_af_tloc_links_remove(af, ctx, tloc);
        return;
    }
    // Two remote TLOCs never get a link, so a remote TLOC that is being
    // linked needs only the local TLOCs of its family, which the local tree
    // holds in the same key order.
    avl_tree_t *tree = zor_tloc_is_local(tloc) ? ctx->trees[af] : ctx->local_tloc_db_p;
    if (tree == nullptr) {
        return;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        if (e->family != af) {
            continue;
        }
        t_zor_af_tloc *other = zor_af_tloc_of(e);
        zor_af_link_update(ctx, tloc, other, false);
        if (zor_tloc_is_local(tloc) && zor_tloc_is_local(other)) {
            zor_af_link_update(ctx, other, tloc, false);
        }
        zor_daemon_yield(ctx);
    }
}

void zor_af_tloc_links_remove(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    // A pair (this TLOC, T) loses a link only if one runs between the two:
    // from this TLOC to T, or from T to it (a peer may have announced a link
    // between any two TLOCs, so both directions count whatever the origins).
    // Those T are the other ends of this TLOC's links. Each list is in key
    // order, which is the tree's order, so merging them visits the pairs as
    // the walk over the whole tree would; an end that is not a TLOC of this
    // family's tree is one that walk never meets.
    std::vector<t_zor_af_link *> from;
    std::vector<t_zor_af_link *> to;
    zor_af_link_from(ctx, &tloc->key, from);
    zor_af_link_to(ctx, &tloc->key, to);
    if (from.empty() && to.empty()) {
        return;
    }
    std::vector<t_zor_af_tloc *> others;
    others.reserve(from.size() + to.size());
    auto take = [&](const zor_tloc_key_t *key) {
        t_zor_db_entry *e = zor_af_tloc_find(af, ctx, key, nullptr);
        if (e != nullptr) {
            others.push_back(zor_af_tloc_of(e));
        }
    };
    size_t i = 0;
    size_t j = 0;
    while (i < from.size() || j < to.size()) {
        const zor_tloc_key_t *a = i < from.size() ? &from[i]->remote_key : nullptr;
        const zor_tloc_key_t *b = j < to.size() ? &to[j]->local_key : nullptr;
        const int c = a == nullptr ? 1 : b == nullptr ? -1 : zor_af_tloc_key_cmp(a, b);
        take(c <= 0 ? a : b);
        i += c <= 0 ? 1 : 0;
        j += c >= 0 ? 1 : 0;
    }
    // The lists are read before anything goes: withdrawing a link frees at
    // most that link, and changes neither the TLOC tree nor other links.
    for (t_zor_af_tloc *other : others) {
        zor_af_link_update(ctx, tloc, other, true);
        if (zor_tloc_is_local(tloc) && zor_tloc_is_local(other)) {
            zor_af_link_update(ctx, other, tloc, true);
        }
        zor_daemon_yield(ctx);
    }
}

void zor_af_tloc_links_update_local(t_zor_context *ctx, bool remove)
{
    avl_tree_t *local = ctx->local_tloc_db_p;
    if (local == nullptr) {
        return;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(local)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(local, e, AVL_AFTER))) {
        zor_af_tloc_links_update(ZOR_AF_TLOC_IPV4, ctx, zor_af_tloc_of(e), remove);
    }
}
