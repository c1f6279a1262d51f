// Message builders for region-aware TLOCs and for links, and a walk over a
// family tree, shared by the link and path tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zor_db.h"
#include "zor_msg.h"

namespace zt {

// What a TLOC add says about its region and standing.
struct TlocSpec {
    std::vector<uint32_t> groups;  // with the GROUP bit when not empty
    bool border = false;           // BORDER bit and border byte
    uint32_t pref = 0;             // with the PREF bit when not 0
    bool stale = false;            // STALE bit and stale byte
};

// A TLOC add (acceptable to the TLOC filter) of the key and origin.
zor_msg_t tloc_msg(const zor_tloc_key_t &key, uint8_t origin, const TlocSpec &spec);

// A LINK add or delete (type) of the link local -> remote, everything else 0.
zor_msg_t link_msg(uint32_t type, const zor_tloc_key_t &local, const zor_tloc_key_t &remote);
// A LINK add from a peer: origin 2 with BFD state, MTU, label and preference.
zor_msg_t peer_link_msg(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t bfd, uint32_t mtu,
                        uint32_t label, uint32_t pref);
// A link status message for local -> remote.
zor_msg_t link_status_msg(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t bfd, uint32_t mtu);

// "10.0.0.1:4": address and colour of a key.
std::string kname(const zor_tloc_key_t &key);

// Calls fn with the record of every entry of the tree, in tree order.
template <typename T, typename F>
void for_each_entry(avl_tree_t *tree, F fn)
{
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        fn(static_cast<T *>(e->record));
    }
}

}  // namespace zt
