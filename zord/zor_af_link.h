// The LINK family: links between a local TLOC and a remote TLOC (or two
// local TLOCs on a border router), the units from which paths are made.
//
// Links come from two sources. zord builds them itself: the TLOC family
// calls zor_af_link_update for every pair of a changed TLOC with the other
// TLOCs of its family, and the rules below decide whether the pair gets a
// link; such links are owned by the advd client and carry a label from the
// daemon's link-label bitmap. Peers may also announce links with LINK add
// and delete messages; those are owned by the sending client. A link status
// message updates the BFD state, MTU and loss, latency and jitter of a link.
//
// The link record hangs off its database entry and is freed with it. Paths
// (zor_path.h) point at link records through their path-links; a link gives
// up every path that uses it as soon as it is withdrawn, so no path ever
// outlives a link.
//
// Links are found by either end: the LINK tree orders them by local end, then
// remote end, and a second tree (the context's link_remote_db_p, linked
// through the record) by remote end, then local end. A TLOC that goes, or
// changes its region, thus visits only its own links, not every TLOC.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;
struct t_zor_af_tloc;
struct t_zor_path_link;

// Origins and states.
#define ZOR_LINK_ORIGIN_ZORD 1u  // built by zord
#define ZOR_LINK_ORIGIN_PEER 2u  // announced by a peer
#define ZOR_LINK_STATUS_UP 1u
#define ZOR_LINK_STATUS_DOWN 2u

// Labels: bit b of the link-label bitmap stands for label
// ZOR_LINK_LABEL_BASE + b, so labels run from 32769 to 65536.
#define ZOR_LINK_LABEL_BASE 32769u
#define ZOR_LINK_LABEL_LAST 65536u
#define ZOR_LINK_LABEL_BITS 32768u

struct t_zor_af_link {
    t_zor_db_entry *entry_p;  // the owning entry
    zor_tloc_key_t remote_key;
    zor_tloc_key_t local_key;
    uint32_t local_index;     // TLOC index of the local end
    uint32_t remote_index;    // TLOC index of the remote end
    uint16_t tun_rec_index;   // "Tun Rec"; set only by a link status message
    uint32_t mtu;
    uint32_t label;           // 32769-65536 for a label zord allocated
    uint32_t preference;      // the remote end's preference, 0 without one
    uint32_t loss;
    uint32_t latency;
    uint32_t jitter;
    uint32_t origin;          // ZOR_LINK_ORIGIN_*
    uint32_t status;          // ZOR_LINK_STATUS_*; follows bfd_status
    uint32_t bfd_handle;      // shown only
    uint8_t bfd_status;       // 1 up; anything else down
    uint8_t stale;
    t_zor_path_link *path_links;  // head of the chain of path-links that use this link
    // The label zord took from the bitmap for this link (0: none). The
    // record gives back exactly this label when it goes, whatever later
    // messages wrote into label, so a peer that announces a link of origin 1
    // or relabels one can never release a label it was not given.
    uint32_t label_held;
    avl_node_t remote_node;  // in the tree of links by remote end, while the link is in the LINK tree
};
ZOR_MEM_RECORD(t_zor_af_link, ZOR_MEM_LINK_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_link>, "records are calloc'ed");

// The operation table of the family (its row in zor_af.cpp).
extern const zor_af_ops_t k_zor_af_link_ops;

// The record of a LINK entry.
inline t_zor_af_link *zor_af_link_of(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_link *>(entry->record);
}

// The slots of the operation table (the filter column stays empty).
// add: creates or updates the link of the message's two keys; the entry, or
// null when memory runs out or a key is not an IPv4 or IPv6 TLOC key.
t_zor_db_entry *zor_af_link_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// withdraw: only the entry's owner may take a link away; any other client
// changes nothing. The paths that use the link are given up at once.
void zor_af_link_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry);
void zor_af_link_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
// The entry of the two keys of a LINK add, delete or status message (remote
// key at bytes 16-47, local key at 48-79), or null with the insertion point.
t_zor_db_entry *zor_af_link_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where);
int zor_af_link_tree_create(zor_af_t af, t_zor_context *ctx);
void zor_af_link_tree_destroy(zor_af_t af, t_zor_context *ctx);
// record_free: gives back the label zord allocated for the link and frees
// the record.
void zor_af_link_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);
void zor_af_link_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t key_only);
void zor_af_link_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
void zor_af_link_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);

// Order of the LINK tree: local keys, then remote keys, each in TLOC key
// order. The libavl comparison over two entries.
int zor_af_link_cmp(const void *a, const void *b);

// The link from local to remote, or null. For path computation, which looks
// links up by key many times per TLOC.
t_zor_af_link *zor_af_link_lookup(t_zor_context *ctx, const zor_tloc_key_t *local, const zor_tloc_key_t *remote);

// The links (not withdrawn) whose local end is key, in the order of their
// remote ends; and those whose remote end is key, in the order of their local
// ends. out is cleared first; the records stay the database's, valid until a
// link is withdrawn and freed.
void zor_af_link_from(t_zor_context *ctx, const zor_tloc_key_t *key, std::vector<t_zor_af_link *> &out);
void zor_af_link_to(t_zor_context *ctx, const zor_tloc_key_t *key, std::vector<t_zor_af_link *> &out);

// Decides whether the TLOC pair (a, b) gets a link, keeps it or loses it
// (remove set). Needs the advd and klxd clients in the client table; the
// link is owned by advd. With remove only links that advd owns go.
void zor_af_link_update(t_zor_context *ctx, t_zor_af_tloc *a, t_zor_af_tloc *b, bool remove);

// A link status message (type 4) from a client. Unknown links are ignored.
void zor_af_link_db_bfd_status(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);

// True when either end of the link is a TLOC-IPV4 TLOC with the STALE
// attribute.
bool zor_link_is_stale(t_zor_context *ctx, const t_zor_af_link *link);

// A free label (32769-65536), searched from the one after the last label
// handed out and wrapping round; 0 when every label is taken. The label is
// the caller's until zor_link_label_free.
uint32_t zor_link_label_alloc(t_zor_context *ctx);
// Gives a label back; a value outside 32769-65536 is ignored.
void zor_link_label_free(t_zor_context *ctx, uint32_t label);

// The show-support command for links: argument 0 is the command, then in
// this order and each optional "--localtlocip=IP:COLOR:ENCAP",
// "--remotetlocip=IP:COLOR:ENCAP" and "--label=N". Both TLOCs: that link;
// otherwise the links in tree order from the given starting point, those of
// the local TLOC only when one is given, with the label only when one is
// given. Bad arguments get a message and nothing else. Always ZOR_OK.
int zor_show_support_links(confd_user_info *uinfo, int argc, char **argv);
