#include "zor_path.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <vector>

#include "ip_util.h"
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

// The work lists of the builders. They grow as the
// groups require and keep their capacity from one computation to the next;
// computations never nest, so one set serves them all.
struct zor_path_work_t {
    std::vector<t_zor_af_link *> first_hop;
    std::vector<t_zor_af_link *> middle;
    std::vector<t_zor_af_link *> last_hop;
};
zor_path_work_t g_work;

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

bool zor_path_personality_computes(const t_zor_context *ctx)
{
    const uint32_t personality = zor_personality(ctx);
    return personality != ZOR_PERSONALITY_SOLON && personality != ZOR_PERSONALITY_STEWARD;
}

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
    if (!zor_path_personality_computes(ctx) || ctx->local_tloc_db_p == nullptr) {
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
