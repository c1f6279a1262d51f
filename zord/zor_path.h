// Paths: ways from a local TLOC to a remote TLOC of another region through
// border TLOCs, made of two or three links.
//
// Paths are computed for one remote TLOC at a time by the path walk, which
// the cyclic "path-timer" runs every 2000 ms over the TLOC-IPV4 change list
// from its own marker: only TLOCs that changed since the marker passed them
// are computed, and a tick stops after 500 ms. Each computation frees the
// TLOC's paths and builds them anew from every local TLOC, orders the list
// best first and marks the best group; the TLOC then takes its status from
// its best path (unless BFD decides it) and is rescheduled, so that clients
// receive its add with the best paths as path descriptors.
//
// Ownership: a remote TLOC record owns its path list; every path is linked
// into the path-link chain of each of its links. Paths hold pointers to link
// records and to their TLOC, never the other way round without the chain, so
// a link gives up the paths that use it when it is withdrawn
// (zor_path_link_withdrawn) and a TLOC frees its paths when it is withdrawn
// (zor_path_compute with remove): no path outlives a link or a TLOC.
// Nothing is computed on personalities 3 (Solon) and 5 (Steward).
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "zor_daemon.h"
#include "zor_msg.h"

struct confd_user_info;
struct t_zor_af_link;
struct t_zor_af_tloc;
struct t_zor_path;
struct timer_util_t;

#define ZOR_PATH_LINK_MAX 3
#define ZOR_PATH_FLAG_BEST 0x2u
#define ZOR_PATH_FLAG_STALE 0x4u
#define ZOR_PATH_STATUS_UP 1u
#define ZOR_PATH_STATUS_DOWN 2u
#define ZOR_PATH_TIMER_MSECS 2000u
#define ZOR_PATH_TIMER_NAME "path-timer"

// One link of a path; also a member of the link's chain of path-links.
struct t_zor_path_link {
    t_zor_path_link *link_prev_p;
    t_zor_path_link *link_next_p;
    t_zor_path *path_p;
    t_zor_af_link *link_p;
};

struct t_zor_path {
    t_zor_path *prev_p;  // in the remote TLOC's path list
    t_zor_path *next_p;
    t_zor_af_tloc *tloc_p;  // the remote TLOC whose list holds the path
    uint32_t mtu;           // smallest non-zero link MTU; 0 when down
    uint32_t preference;    // sum of the links' preferences; 0 when down
    uint32_t status;        // ZOR_PATH_STATUS_*
    uint8_t flags;          // ZOR_PATH_FLAG_*
    uint8_t local_links;    // links whose two ends are on one device
    uint8_t link_count;     // path-links in use
    t_zor_path_link links[ZOR_PATH_LINK_MAX];  // from the local TLOC towards the remote one
};
ZOR_MEM_RECORD(t_zor_path, ZOR_MEM_PATH);
static_assert(std::is_trivially_default_constructible_v<t_zor_path>, "paths are calloc'ed");

// The time budget of one path-walk tick, in milliseconds (500).
extern uint32_t g_zor_path_walk_budget_ms;

// Whether the personality builds and orders paths: every one but 3 (Solon)
// and 5 (Steward).
bool zor_path_personality_computes(const t_zor_context *ctx);

// Enables the context's path timer (created with the context).
void zor_path_timer_start(t_zor_context *ctx);

// The path-timer callback (arg1 is the context; the timer may be null when
// called directly): computes the TLOC-IPV4 entries that changed since the
// path-walk marker, up to the entry that was last when the tick began or
// until the budget is spent, then moves the marker behind what it visited.
void zor_path_walk(timer_util_t *timer, void *arg1, void *arg2, void *arg3, void *arg4);

// Rebuilds the paths of a remote TLOC from every local TLOC, orders them and
// sets the TLOC's status from them; when the best paths that its add
// carries changed, the entry is scheduled. With remove the TLOC is being
// withdrawn:
// its paths are freed, and when it is local (or a remote border) every path
// of another TLOC that runs through it is given up and that TLOC
// rescheduled. Builds nothing on personalities 3 and 5.
void zor_path_compute(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove);

// Hooks of the TLOC family: a TLOC (or every TLOC) needs its paths again.
// They compute nothing (paths are rebuilt when the walk reaches a changed
// TLOC); each writes one debug line.
void zor_path_compute_schedule(t_zor_context *ctx, t_zor_af_tloc *tloc);
void zor_path_compute_schedule_all(t_zor_context *ctx);

// Hooks of the link family for a link created, changed or withdrawn. They
// compute nothing; each writes one debug line.
void zor_path_link_add(t_zor_context *ctx, t_zor_af_link *link);
void zor_path_link_update(t_zor_context *ctx, t_zor_af_link *link);
void zor_path_link_delete(t_zor_context *ctx, t_zor_af_link *link);

// A TLOC is being withdrawn: every path that uses a link with an end at key
// is given up, and each TLOC that lost a path has its remaining paths ordered
// again and is rescheduled, in key order (TLOC-IPV4 before TLOC-IPV6). Only
// the links at key and the paths on their chains are visited.
void zor_path_give_up_through(t_zor_context *ctx, const zor_tloc_key_t *key);
// What a withdrawn TLOC's computation runs: zor_path_give_up_through, unless
// a test put the walk over every TLOC in its place to compare them.
typedef void (*zor_path_give_up_fn)(t_zor_context *ctx, const zor_tloc_key_t *key);
extern zor_path_give_up_fn g_zor_path_give_up;

// A new path of the remote TLOC r made of the given links (count, at most
// three, from the local end), at the front of r's list and on the chain of
// each link. A path whose memory cannot be had is left out.
void zor_path_new(t_zor_af_tloc *r, t_zor_af_link *const *links, uint32_t count);

// Gives one path up: detached from the chains of its links, taken out of its
// TLOC's list (fixing its neighbours and the list head) and freed.
void zor_path_free(t_zor_path *path);

// A link is going away: every path that uses it is given up (detached from
// all its links, taken out of its TLOC's list and freed); each TLOC that lost
// a path has its remaining paths ordered again and is rescheduled, so that
// the next path-walk tick rebuilds it. Afterwards no path uses the link.
void zor_path_link_withdrawn(t_zor_context *ctx, t_zor_af_link *link);

// Takes the next free path-link of the path for the link and puts it at the
// head of the link's chain. A path has room for three links.
void zor_path_link_attach(t_zor_path *path, t_zor_af_link *link);

// Computes status, MTU, preference, local links and the stale flag of a path
// from its links.
void zor_path_evaluate(t_zor_context *ctx, t_zor_path *path);

// Negative when p is better than q, positive when q is better, 0 when equal:
// up before down, not stale before stale, fewer links, more local links,
// higher preference, higher MTU.
int zor_path_cmp(const t_zor_path *p, const t_zor_path *q);

// Inserts a path that is in no list into the TLOC's ordered list, before the
// first path it is better than or equal to, and sets the best flags.
void zor_path_insert(t_zor_af_tloc *tloc, t_zor_path *path);

// Evaluates every path of the TLOC, orders the list afresh and sets the
// TLOC's status from it. Nothing on personalities 3 and 5.
void zor_path_sort(t_zor_context *ctx, t_zor_af_tloc *tloc);

// Frees every path of the TLOC (each leaves the chains of its links); the
// list is empty afterwards.
void zor_path_list_free(t_zor_af_tloc *tloc);

// Teardown: frees the paths of every TLOC of the context, before the
// database frees TLOC and link records.
void zor_path_fini(t_zor_context *ctx);

// The CLI form of a path list (nothing without a path): a header line, then
// per path its summary and one line per link.
void zor_path_list_show(confd_user_info *uinfo, const t_zor_path *first);
