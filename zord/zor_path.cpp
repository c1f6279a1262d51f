#include "zor_path.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <unordered_set>
#include <vector>

#include "ip_util.h"
#include "confd_maapi.h"
#include "ost_assert.h"
#include "timer.h"
#include "zor_af_base.h"
#include "zor_af_data_device.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_db.h"
#include "zor_group.h"
#include "zor_log.h"

uint32_t g_zor_path_walk_budget_ms = 500;
zor_path_give_up_fn g_zor_path_give_up = zor_path_give_up_through;

namespace {

// The work lists of the builders and of the ordering. They grow as the
// groups require and keep their capacity from one computation to the next;
// computations never nest, so one set serves them all.
struct zor_path_work_t {
    std::vector<t_zor_af_link *> first_hop;
    std::vector<t_zor_af_link *> middle;
    std::vector<t_zor_af_link *> last_hop;
    std::vector<t_zor_path *> paths;
};
zor_path_work_t g_work;

bool zor_personality_computes(const t_zor_context *ctx)
{
    const uint32_t personality = zor_personality(ctx);
    return personality != ZOR_PERSONALITY_SOLON && personality != ZOR_PERSONALITY_STEWARD;
}

bool zor_same_addr(const zor_tloc_key_t *a, const zor_tloc_key_t *b)
{
    return ip_addr_equal(&a->addr, &b->addr);
}

bool zor_tloc_is_border(const t_zor_af_tloc *tloc)
{
    return (tloc->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER)) != 0;
}

// The last non-zero id of the TLOC's group list, or 0 for none.
uint32_t zor_last_group(const t_zor_af_tloc *tloc)
{
    const uint32_t count = std::min<uint32_t>(tloc->attr.group_count, ZOR_TLOC_GROUP_MAX);
    for (uint32_t i = count; i > 0; i--) {
        if (tloc->attr.groups[i - 1] != 0) {
            return tloc->attr.groups[i - 1];
        }
    }
    return 0;
}

t_zor_group_tloc *zor_member_first(t_zor_group *group)
{
    return static_cast<t_zor_group_tloc *>(avl_first(&group->members));
}

t_zor_group_tloc *zor_member_next(t_zor_group *group, t_zor_group_tloc *member)
{
    return static_cast<t_zor_group_tloc *>(avl_walk(&group->members, member, AVL_AFTER));
}

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

// A new path of R made of the given links, at the front of R's list. A path
// whose memory cannot be had is left out.
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

// The links from L to the members of G whose address differs from L's.
void zor_collect_first_hop(t_zor_context *ctx, const t_zor_af_tloc *l, t_zor_group *g,
                           std::vector<t_zor_af_link *> &out)
{
    out.clear();
    for (t_zor_group_tloc *t = zor_member_first(g); t != nullptr; t = zor_member_next(g, t)) {
        if (zor_same_addr(&t->key, &l->key)) {
            continue;
        }
        if (t_zor_af_link *link = zor_af_link_lookup(ctx, &l->key, &t->key)) {
            out.push_back(link);
        }
    }
}

// The links from the members of G to R.
void zor_collect_last_hop(t_zor_context *ctx, t_zor_group *g, const t_zor_af_tloc *r,
                          std::vector<t_zor_af_link *> &out)
{
    out.clear();
    for (t_zor_group_tloc *t = zor_member_first(g); t != nullptr; t = zor_member_next(g, t)) {
        if (t_zor_af_link *link = zor_af_link_lookup(ctx, &t->key, &r->key)) {
            out.push_back(link);
        }
    }
}

// L -> border of L's region -> border of R's region -> R.
void zor_path_build_3hop(t_zor_context *ctx, t_zor_af_tloc *l, t_zor_af_tloc *r, t_zor_group *gl, t_zor_group *gr)
{
    zor_collect_first_hop(ctx, l, gl, g_work.first_hop);
    g_work.middle.clear();
    for (t_zor_group_tloc *t1 = zor_member_first(gl); t1 != nullptr; t1 = zor_member_next(gl, t1)) {
        for (t_zor_group_tloc *t2 = zor_member_first(gr); t2 != nullptr; t2 = zor_member_next(gr, t2)) {
            if (t_zor_af_link *link = zor_af_link_lookup(ctx, &t1->key, &t2->key)) {
                g_work.middle.push_back(link);
            }
        }
    }
    zor_collect_last_hop(ctx, gr, r, g_work.last_hop);
    for (t_zor_af_link *f : g_work.first_hop) {
        for (t_zor_af_link *m : g_work.middle) {
            if (!zor_same_addr(&m->local_key, &f->remote_key)) {
                continue;
            }
            for (t_zor_af_link *h : g_work.last_hop) {
                if (zor_same_addr(&h->local_key, &m->remote_key)) {
                    t_zor_af_link *links[] = {f, m, h};
                    zor_path_new(r, links, 3);
                }
            }
        }
    }
}

// L -> border of G -> R, where G is L's region (R is a border) or R's region
// (L is a border).
void zor_path_build_2hop(t_zor_context *ctx, t_zor_af_tloc *l, t_zor_af_tloc *r, t_zor_group *g)
{
    zor_collect_first_hop(ctx, l, g, g_work.first_hop);
    zor_collect_last_hop(ctx, g, r, g_work.last_hop);
    for (t_zor_af_link *f : g_work.first_hop) {
        for (t_zor_af_link *h : g_work.last_hop) {
            if (zor_same_addr(&h->local_key, &f->remote_key)) {
                t_zor_af_link *links[] = {f, h};
                zor_path_new(r, links, 2);
            }
        }
    }
}

void zor_path_build_2hop_remote_border(t_zor_context *ctx, t_zor_af_tloc *l, t_zor_af_tloc *r, t_zor_group *gl)
{
    zor_path_build_2hop(ctx, l, r, gl);
}

void zor_path_build_2hop_local_border(t_zor_context *ctx, t_zor_af_tloc *l, t_zor_af_tloc *r, t_zor_group *gr)
{
    zor_path_build_2hop(ctx, l, r, gr);
}

// The paths from L to R, at the front of R's list.
void zor_path_build(t_zor_context *ctx, t_zor_af_tloc *l, t_zor_af_tloc *r)
{
    if (zor_groups_overlap(&l->attr, &r->attr)) {
        return;
    }
    const uint32_t gl_id = zor_last_group(l);
    const uint32_t gr_id = zor_last_group(r);
    if (gl_id == 0 || gr_id == 0) {
        return;
    }
    t_zor_group *gl = zor_group_find(ctx, gl_id, nullptr);
    t_zor_group *gr = zor_group_find(ctx, gr_id, nullptr);
    if (gl == nullptr || gr == nullptr) {
        return;
    }
    const bool l_border = zor_tloc_is_border(l);
    const bool r_border = zor_tloc_is_border(r);
    if (!l_border && !r_border) {
        zor_path_build_3hop(ctx, l, r, gl, gr);
    } else if (r_border && !l_border) {
        zor_path_build_2hop_remote_border(ctx, l, r, gl);
    } else if (l_border && !r_border) {
        zor_path_build_2hop_local_border(ctx, l, r, gr);
    }
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

// The path descriptors that a TLOC add of the TLOC carries: its best up
// paths from the head, at most eight. Unused slots stay zero, so two lists
// compare with memcmp.
struct zor_path_descs_t {
    uint8_t count = 0;
    zor_tloc_path_t paths[ZOR_TLOC_PATH_MAX] = {};
};

void zor_path_descs(const t_zor_af_tloc *tloc, zor_path_descs_t *out)
{
    *out = zor_path_descs_t{};
    out->count = zor_af_tloc_path_descs(tloc, out->paths);
}

bool zor_path_descs_equal(const zor_path_descs_t &a, const zor_path_descs_t &b)
{
    return a.count == b.count && memcmp(a.paths, b.paths, sizeof(a.paths)) == 0;
}

// The entry that is last on a change list, or null for an empty list.
t_zor_db_entry *zor_list_last(t_zor_db_list *list)
{
    if (list->last == &list->first) {
        return nullptr;
    }
    return reinterpret_cast<t_zor_db_entry *>(reinterpret_cast<char *>(list->last) -
                                              offsetof(t_zor_db_entry, next));
}

void zor_path_schedule_if_changed(t_zor_context *ctx, t_zor_af_tloc *tloc, const zor_path_descs_t &before)
{
    zor_path_descs_t after;
    zor_path_descs(tloc, &after);
    if (!zor_path_descs_equal(before, after) && tloc->entry_p != nullptr) {
        zor_db_entry_schedule(ctx, tloc->entry_p);
    }
}

uint64_t zor_elapsed_ms(const struct timespec &start)
{
    struct timespec now;
    timer_clock_now(&now);
    const int64_t sec = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(start.tv_sec);
    const int64_t nsec = static_cast<int64_t>(now.tv_nsec) - static_cast<int64_t>(start.tv_nsec);
    const int64_t ms = sec * 1000 + nsec / 1000000;
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

}  // namespace

void zor_path_timer_start(t_zor_context *ctx)
{
    if (ctx != nullptr && ctx->path_timer != nullptr) {
        timer_enable(ctx->path_timer);
    }
}

void zor_path_walk(timer_util_t * /*timer*/, void *arg1, void * /*arg2*/, void * /*arg3*/, void * /*arg4*/)
{
    auto *ctx = static_cast<t_zor_context *>(arg1);
    if (ctx == nullptr || ctx->shutting_down) {
        return;
    }
    t_zor_db_list *list = zor_db_list(ctx, ZOR_AF_TLOC_IPV4);
    t_zor_db_entry *marker = ctx->path_walk_marker;
    if (list == nullptr || marker == nullptr) {
        return;
    }
    // Entries that this tick schedules (every computed TLOC is) go behind
    // the entry that is last now, so the tick ends there.
    const t_zor_db_entry *last = zor_list_last(list);
    struct timespec start;
    timer_clock_now(&start);

    bool visited = false;
    bool out_of_time = false;
    t_zor_db_entry *e = marker->next;
    while (e != nullptr) {
        // Handling an entry moves only that entry (to the tail), so its
        // successor stays in place.
        t_zor_db_entry *next = e->next;
        const bool is_last = e == last;
        if (!(e->flags & ZOR_ENTRY_MARKER)) {
            visited = true;
            if (!(e->flags & ZOR_ENTRY_WITHDRAWN)) {
                t_zor_af_tloc *tloc = zor_af_tloc_of(e);
                zor_path_compute(ctx, tloc, false);
                zor_af_data_device_tloc_state(ZOR_AF_TLOC_IPV4, ctx, e->client_p, tloc, tloc->status);
            }
            if (!is_last && zor_elapsed_ms(start) >= g_zor_path_walk_budget_ms) {
                e = next;
                out_of_time = true;
                break;
            }
        }
        if (is_last) {
            break;
        }
        e = next;
    }
    if (!visited) {
        return;
    }
    // The resume point: the first entry after the stop that is not a marker.
    t_zor_db_entry *resume = nullptr;
    if (out_of_time) {
        while (e != nullptr && (e->flags & ZOR_ENTRY_MARKER)) {
            e = e->next;
        }
        resume = e;
    }
    zor_db_list_remove(list, marker);
    if (resume != nullptr) {
        zor_db_list_insert_before(resume, marker);
    } else {
        zor_db_list_insert_tail(list, marker);
    }
}

void zor_path_compute(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove)
{
    if (ctx == nullptr || tloc == nullptr) {
        return;
    }
    // The TLOC's add carries its best paths, so when they change the entry
    // must go out again. Status from paths schedules it only where the
    // paths decide the status; where BFD decides, this does.
    zor_path_descs_t before;
    const bool remote = tloc->origin == ZOR_TLOC_ORIGIN_REMOTE;
    if (remote) {
        zor_path_descs(tloc, &before);
        // Freed whatever the personality: a path must not outlive its TLOC
        // even when the personality changed after it was built. On
        // personalities 3 and 5 nothing is built, but the TLOC still takes
        // its status from its (empty) list: a remote TLOC outside every
        // local region then reads "no path" unless BFD decides.
        zor_path_list_free(tloc);
        zor_af_tloc_status_from_paths(ctx, tloc);
    }
    if (remove) {
        // A withdrawn local TLOC (or remote border, which stands in regions
        // as a border) may carry paths of other TLOCs that its own links do
        // not account for, for instance through links a peer announced.
        // Those paths are given up now and their TLOCs rescheduled, so they
        // are rebuilt on the next tick rather than whenever those TLOCs
        // change next.
        if (tloc->origin == ZOR_TLOC_ORIGIN_LOCAL ||
            std::min<uint32_t>(tloc->attr.group_count, ZOR_TLOC_GROUP_MAX) > 1) {
            g_zor_path_give_up(ctx, &tloc->key);
        }
        return;
    }
    if (!remote) {
        return;
    }
    if (!zor_personality_computes(ctx) || ctx->local_tloc_db_p == nullptr) {
        zor_path_schedule_if_changed(ctx, tloc, before);
        return;
    }
    avl_tree_t *local = ctx->local_tloc_db_p;
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(local)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(local, e, AVL_AFTER))) {
        // The paths from earlier local TLOCs stay in front of the new ones.
        t_zor_path *aside = tloc->path_list;
        tloc->path_list = nullptr;
        zor_path_build(ctx, zor_af_tloc_of(e), tloc);
        if (aside == nullptr) {
            continue;
        }
        t_zor_path *tail = aside;
        while (tail->next_p != nullptr) {
            tail = tail->next_p;
        }
        tail->next_p = tloc->path_list;
        if (tloc->path_list != nullptr) {
            tloc->path_list->prev_p = tail;
        }
        tloc->path_list = aside;
    }
    zor_path_sort(ctx, tloc);
    zor_path_schedule_if_changed(ctx, tloc, before);
}

void zor_path_compute_schedule(t_zor_context * /*ctx*/, t_zor_af_tloc * /*tloc*/)
{
    ZOR_DEBUG("Skip compute schedule");
}

void zor_path_compute_schedule_all(t_zor_context * /*ctx*/)
{
    ZOR_DEBUG("Skip compute all schedule");
}

void zor_path_link_add(t_zor_context * /*ctx*/, t_zor_af_link * /*link*/)
{
    ZOR_DEBUG("Skip LINK path add");
}

void zor_path_link_update(t_zor_context * /*ctx*/, t_zor_af_link * /*link*/)
{
    ZOR_DEBUG("Skip LINK path update");
}

void zor_path_link_delete(t_zor_context * /*ctx*/, t_zor_af_link * /*link*/)
{
    ZOR_DEBUG("Skip LINK path del");
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
        if (zor_same_addr(&link->local_key, &link->remote_key)) {
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
    if (!zor_personality_computes(ctx)) {
        return;
    }
    std::vector<t_zor_path *> &paths = g_work.paths;
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
