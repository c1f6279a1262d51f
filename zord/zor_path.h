// Paths: ways from a local TLOC to a remote TLOC of another region through
// border TLOCs, made of two or three links.
//
// This module so far holds the path records, the path list's CLI form and
// the hooks that the TLOC family calls; the computation itself (the path
// walk on the path timer, the builders and the ordering) comes with the path
// work, and until then zor_path_compute does nothing. Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "zor_daemon.h"

struct confd_user_info;
struct t_zor_af_link;
struct t_zor_af_tloc;
struct t_zor_path;

#define ZOR_PATH_LINK_MAX 3
#define ZOR_PATH_FLAG_BEST 0x2u
#define ZOR_PATH_FLAG_STALE 0x4u
#define ZOR_PATH_STATUS_UP 1u
#define ZOR_PATH_STATUS_DOWN 2u

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

// Rebuilds the paths of a remote TLOC, or with remove frees them. Path
// computation comes with the path work: until then it does nothing (no TLOC
// has paths).
void zor_path_compute(t_zor_context *ctx, t_zor_af_tloc *tloc, bool remove);

// Hooks of the TLOC family: a TLOC (or every TLOC) needs its paths again.
// They compute nothing; each writes one debug line.
void zor_path_compute_schedule(t_zor_context *ctx, t_zor_af_tloc *tloc);
void zor_path_compute_schedule_all(t_zor_context *ctx);

// The CLI form of a path list (nothing without a path): a header line, then
// per path its summary and one line per link.
void zor_path_list_show(confd_user_info *uinfo, const t_zor_path *first);
