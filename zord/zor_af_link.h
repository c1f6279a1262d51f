// The LINK family: links between a local TLOC and a remote TLOC (or two
// local TLOCs on a border router), the units from which paths are made.
//
// This module so far holds the link record and the entry points that the
// TLOC family and the client dispatch call; the family itself (its slots,
// the label space and the link rules) comes with the link work, and until
// then the entry points do nothing. Event-loop thread only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"

struct t_zor_af_tloc;
struct t_zor_path_link;

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
    uint32_t origin;          // 1 built by zord, 2 announced by a peer
    uint32_t status;          // 1 up, 2 down; follows bfd_status
    uint32_t bfd_handle;      // shown only
    uint8_t bfd_status;       // 1 up; anything else down
    uint8_t stale;
    t_zor_path_link *path_links;  // the path-links that use this link
};
ZOR_MEM_RECORD(t_zor_af_link, ZOR_MEM_LINK_NLRI);
static_assert(std::is_trivially_default_constructible_v<t_zor_af_link>, "records are calloc'ed");

// Decides whether the TLOC pair (a, b) gets a link, keeps it or loses it
// (remove set). Links come with the link family: until then nothing.
void zor_af_link_update(t_zor_context *ctx, t_zor_af_tloc *a, t_zor_af_tloc *b, bool remove);

// A link status message (type 4) from a client. Links come with the link
// family: until then the message changes nothing.
void zor_af_link_db_bfd_status(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg);
