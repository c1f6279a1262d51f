#define OST_ASSERT_SOURCE "zord/zor_path.cpp"
// Path lists and chains: a path enters its TLOC's list and the chain of
// each of its links, is ordered best first, and is given up (taken out of
// both and freed) when its TLOC or one of its links goes.
#include "zor_path.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "confd_maapi.h"
#include "ip_util.h"
#include "ost_assert.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_db.h"
#include "zor_mem.h"

namespace {

// The ordering's work list; it keeps its capacity from one sort to the next
// (sorts never nest).
std::vector<t_zor_path *> g_sort_work;

// Puts a path that is in no list at the front of the TLOC's list.
void zor_path_push_front(t_zor_af_tloc *tloc, t_zor_path *path)
{
    OST_ASSERT_TEXT(path->prev_p == nullptr, "path_p->prev_p == ((void *)0)");
    OST_ASSERT_TEXT(path->next_p == nullptr, "path_p->next_p == ((void *)0)");
    path->next_p = tloc->path_list;
    if (path->next_p != nullptr) {
        path->next_p->prev_p = path;
    }
    tloc->path_list = path;
}

// Detaches every path-link of the path from its link's chain.
void zor_path_detach_links(t_zor_path *path)
{
    for (uint32_t i = 0; i < path->link_count && i < ZOR_PATH_LINK_MAX; i++) {
        t_zor_path_link *pl = &path->links[i];
        if (pl->link_prev_p != nullptr) {
            pl->link_prev_p->link_next_p = pl->link_next_p;
        } else if (pl->link_p != nullptr && pl->link_p->path_links == pl) {
            pl->link_p->path_links = pl->link_next_p;
        }
        if (pl->link_next_p != nullptr) {
            pl->link_next_p->link_prev_p = pl->link_prev_p;
        }
        *pl = t_zor_path_link{};
    }
    path->link_count = 0;
}

// Orders again and reschedules the TLOCs that lost paths, in the order in
// which they lost them.
void zor_path_reschedule(t_zor_context *ctx, const std::vector<t_zor_af_tloc *> &tlocs)
{
    for (t_zor_af_tloc *tloc : tlocs) {
        zor_path_sort(ctx, tloc);
        if (tloc->entry_p != nullptr) {
            zor_db_entry_schedule(ctx, tloc->entry_p);
        }
    }
}

}  // namespace

void zor_path_new(t_zor_af_tloc *r, t_zor_af_link *const *links, uint32_t count)
{
    t_zor_path *path = zor_mem_new<t_zor_path>();
    if (path == nullptr) {
        return;
    }
    path->tloc_p = r;
    for (uint32_t i = 0; i < count; i++) {
        zor_path_link_attach(path, links[i]);
    }
    zor_path_push_front(r, path);
}

void zor_path_link_withdrawn(t_zor_context *ctx, t_zor_af_link *link)
{
    if (link->path_links == nullptr) {
        return;
    }
    // One link may carry paths of many TLOCs (a first hop serves every
    // remote TLOC behind it): the set keeps the list free of repeats, the
    // list keeps the order in which they are rescheduled stable.
    std::vector<t_zor_af_tloc *> affected;
    std::unordered_set<t_zor_af_tloc *> seen;
    while (link->path_links != nullptr) {
        t_zor_path *path = link->path_links->path_p;
        t_zor_af_tloc *tloc = path->tloc_p;
        if (tloc != nullptr && seen.insert(tloc).second) {
            affected.push_back(tloc);
        }
        zor_path_free(path);
    }
    zor_path_reschedule(ctx, affected);
}

void zor_path_give_up_through(t_zor_context *ctx, const zor_tloc_key_t *key)
{
    // Every path belongs to a remote TLOC that stands in its tree (a TLOC's
    // paths go when it is withdrawn) and uses links of the LINK tree only (a
    // link's paths go when it is withdrawn). The paths through key are
    // therefore those on the chains of the links with an end at key; a path
    // may hang on two of them.
    std::vector<t_zor_af_link *> from;
    std::vector<t_zor_af_link *> to;
    zor_af_link_from(ctx, key, from);
    zor_af_link_to(ctx, key, to);
    std::vector<t_zor_path *> paths;
    for (const std::vector<t_zor_af_link *> *links : {&from, &to}) {
        for (const t_zor_af_link *link : *links) {
            for (const t_zor_path_link *pl = link->path_links; pl != nullptr; pl = pl->link_next_p) {
                paths.push_back(pl->path_p);
            }
        }
    }
    if (paths.empty()) {
        return;
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::vector<t_zor_af_tloc *> affected;
    for (t_zor_path *path : paths) {
        if (path->tloc_p != nullptr) {
            affected.push_back(path->tloc_p);
        }
        zor_path_free(path);
    }
    // Which path goes first is seen nowhere, but the order in which the
    // TLOCs go out again is: it is that of a walk over both TLOC trees, the
    // key order, which puts IPv4 before IPv6 and each family in tree order.
    std::sort(affected.begin(), affected.end(), [](const t_zor_af_tloc *a, const t_zor_af_tloc *b) {
        return zor_af_tloc_key_cmp(&a->key, &b->key) < 0;
    });
    affected.erase(std::unique(affected.begin(), affected.end()), affected.end());
    zor_path_reschedule(ctx, affected);
}

void zor_path_free(t_zor_path *path)
{
    zor_path_detach_links(path);
    t_zor_af_tloc *tloc = path->tloc_p;
    if (path->prev_p != nullptr) {
        path->prev_p->next_p = path->next_p;
    } else if (tloc != nullptr && tloc->path_list == path) {
        tloc->path_list = path->next_p;
    }
    if (path->next_p != nullptr) {
        path->next_p->prev_p = path->prev_p;
    }
    path->prev_p = nullptr;
    path->next_p = nullptr;
    path->flags &= static_cast<uint8_t>(~ZOR_PATH_FLAG_BEST);
    zor_mem_delete(path);
}

void zor_path_link_attach(t_zor_path *path, t_zor_af_link *link)
{
    OST_ASSERT(path->link_count < ZOR_PATH_LINK_MAX);
    t_zor_path_link *pl = &path->links[path->link_count];
    OST_ASSERT_TEXT(pl->link_prev_p == nullptr, "path_link_p->link_prev_p == ((void *)0)");
    OST_ASSERT_TEXT(pl->link_next_p == nullptr, "path_link_p->link_next_p == ((void *)0)");
    pl->path_p = path;
    pl->link_p = link;
    path->link_count++;
    pl->link_next_p = link->path_links;
    if (pl->link_next_p != nullptr) {
        pl->link_next_p->link_prev_p = pl;
    }
    link->path_links = pl;
}

void zor_path_evaluate(t_zor_context *ctx, t_zor_path *path)
{
    uint32_t status = ZOR_PATH_STATUS_UP;
    uint32_t mtu = 0;
    uint32_t preference = 0;
    uint8_t local_links = 0;
    bool stale = false;
    for (uint32_t i = 0; i < path->link_count && i < ZOR_PATH_LINK_MAX; i++) {
        const t_zor_af_link *link = path->links[i].link_p;
        if (zor_link_is_stale(ctx, link)) {
            stale = true;
        }
        if (ip_addr_equal(&link->local_key.addr, &link->remote_key.addr)) {
            local_links++;
        }
        if (link->status == ZOR_LINK_STATUS_DOWN) {
            status = ZOR_PATH_STATUS_DOWN;
            break;
        }
        preference += link->preference;
        if (link->mtu != 0) {
            mtu = mtu == 0 ? link->mtu : std::min(mtu, link->mtu);
        }
    }
    if (stale) {
        path->flags |= ZOR_PATH_FLAG_STALE;
    } else {
        path->flags &= static_cast<uint8_t>(~ZOR_PATH_FLAG_STALE);
    }
    path->status = status;
    path->local_links = local_links;
    path->mtu = status == ZOR_PATH_STATUS_DOWN ? 0 : mtu;
    path->preference = status == ZOR_PATH_STATUS_DOWN ? 0 : preference;
}

int zor_path_cmp(const t_zor_path *p, const t_zor_path *q)
{
    const bool p_up = p->status == ZOR_PATH_STATUS_UP;
    const bool q_up = q->status == ZOR_PATH_STATUS_UP;
    if (p_up != q_up) {
        return p_up ? -1 : 1;
    }
    const bool p_stale = (p->flags & ZOR_PATH_FLAG_STALE) != 0;
    const bool q_stale = (q->flags & ZOR_PATH_FLAG_STALE) != 0;
    if (p_stale != q_stale) {
        return p_stale ? 1 : -1;
    }
    if (p->link_count != q->link_count) {
        return p->link_count < q->link_count ? -1 : 1;
    }
    if (p->local_links != q->local_links) {
        return p->local_links > q->local_links ? -1 : 1;
    }
    if (p->preference != q->preference) {
        return p->preference > q->preference ? -1 : 1;
    }
    if (p->mtu != q->mtu) {
        return p->mtu > q->mtu ? -1 : 1;
    }
    return 0;
}

void zor_path_insert(t_zor_af_tloc *tloc, t_zor_path *path)
{
    OST_ASSERT_TEXT(path->prev_p == nullptr, "path_p->prev_p == ((void *)0)");
    OST_ASSERT_TEXT(path->next_p == nullptr, "path_p->next_p == ((void *)0)");
    path->flags &= static_cast<uint8_t>(~ZOR_PATH_FLAG_BEST);
    if (tloc->path_list == nullptr) {
        path->flags |= ZOR_PATH_FLAG_BEST;
        tloc->path_list = path;
        return;
    }
    t_zor_path *prev = nullptr;
    for (t_zor_path *x = tloc->path_list; x != nullptr; prev = x, x = x->next_p) {
        const int c = zor_path_cmp(path, x);
        if (c > 0) {
            continue;
        }
        OST_ASSERT_TEXT(path != x, "path_p != temp_path_p");
        path->prev_p = x->prev_p;
        path->next_p = x;
        if (x->prev_p != nullptr) {
            x->prev_p->next_p = path;
        } else {
            tloc->path_list = path;
        }
        x->prev_p = path;
        if (!(x->flags & ZOR_PATH_FLAG_BEST)) {
            return;
        }
        path->flags |= ZOR_PATH_FLAG_BEST;
        if (c < 0) {
            // Strictly better: the old best group loses the flag.
            for (t_zor_path *y = x; y != nullptr && (y->flags & ZOR_PATH_FLAG_BEST); y = y->next_p) {
                y->flags &= static_cast<uint8_t>(~ZOR_PATH_FLAG_BEST);
            }
        }
        return;
    }
    path->prev_p = prev;
    prev->next_p = path;
}

void zor_path_sort(t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    if (!zor_path_personality_computes(ctx)) {
        return;
    }
    std::vector<t_zor_path *> &paths = g_sort_work;
    paths.clear();
    for (t_zor_path *path = tloc->path_list, *next = nullptr; path != nullptr; path = next) {
        next = path->next_p;
        path->prev_p = nullptr;
        path->next_p = nullptr;
        path->flags &= static_cast<uint8_t>(~ZOR_PATH_FLAG_BEST);
        zor_path_evaluate(ctx, path);
        paths.push_back(path);
    }
    tloc->path_list = nullptr;
    for (t_zor_path *path : paths) {
        zor_path_insert(tloc, path);
    }
    paths.clear();
    zor_af_tloc_status_from_paths(ctx, tloc);
}

void zor_path_list_free(t_zor_af_tloc *tloc)
{
    while (tloc->path_list != nullptr) {
        zor_path_free(tloc->path_list);
    }
}

void zor_path_fini(t_zor_context *ctx)
{
    if (ctx == nullptr) {
        return;
    }
    for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_TLOC_IPV6}) {
        t_zor_db_list *list = zor_db_list(ctx, af);
        if (list == nullptr) {
            continue;
        }
        for (t_zor_db_entry *e = list->first; e != nullptr; e = e->next) {
            if (!(e->flags & ZOR_ENTRY_MARKER) && e->record != nullptr) {
                zor_path_list_free(zor_af_tloc_of(e));
            }
        }
    }
}

void zor_path_list_show(confd_user_info *uinfo, const t_zor_path *first)
{
    if (first == nullptr) {
        return;
    }
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    maapi_cli_printf(sock, usess, "      Path-List:\n");
    int number = 1;
    for (const t_zor_path *path = first; path != nullptr; path = path->next_p, number++) {
        maapi_cli_printf(sock, usess, "        %s%sPath-%d: MTU: %u Pref: %u Status: %s #LocalLinks: %d #Links: %d\n",
                         (path->flags & ZOR_PATH_FLAG_BEST) ? "*> " : "*  ",
                         (path->flags & ZOR_PATH_FLAG_STALE) ? "S" : " ", number, path->mtu, path->preference,
                         path->status == ZOR_PATH_STATUS_UP ? "Up" : "Down", path->local_links, path->link_count);
        for (uint32_t i = 0; i < path->link_count && i < ZOR_PATH_LINK_MAX; i++) {
            const t_zor_af_link *link = path->links[i].link_p;
            if (link == nullptr) {
                continue;
            }
            char local[128];
            char remote[128];
            maapi_cli_printf(sock, usess, "          [%s] ==> [%s] (%p)\n",
                             tloc_to_str(&link->local_key, local, sizeof(local)),
                             tloc_to_str(&link->remote_key, remote, sizeof(remote)),
                             static_cast<const void *>(link));
        }
    }
}
