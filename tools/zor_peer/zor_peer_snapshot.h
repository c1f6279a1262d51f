// zor-peer --snapshot: every entry zord holds in some families, and an exact
// end.
//
// How the end is known. zord's protocol has no reply: a peer registers a
// family and zord's walk sends it the family's change list, from the head,
// in slices (a slice stops after 500 ms of zord's time or when the send
// queue refuses more), each slice after whatever else zord had to do. So
// neither a quiet spell nor the end of a burst says that the walk is over,
// and a family that is empty sends nothing at all. What the protocol does
// give is order: a client's walk delivers a family's list in list order, and
// a register puts the client's marker at the head, so anything appended to
// the list after the register reaches the client after every entry that was
// there. And nothing a peer can send comes back to it alone: every entry goes
// to every client of its family (only deletions are limited to the clients
// that were sent the entry), and registrations themselves send nothing back.
//
// So the snapshot appends an entry of its own to each family's list, in the
// same write as the registers: the family's dump is complete when that
// entry comes back, however many slices the walk took. The entry's key is
// reserved and derived from our module id (address 0.0.0.ID, or 100::ID in
// the IPv6 families, a discard-only prefix; the tracker "zor-peer.MODULE"),
// so it never collides with a real one or with another peer's snapshot; it
// carries no groups and no attributes, so zord builds no path through it; it
// is withdrawn as soon as every family is complete (and by zord anyway when
// the connection goes). The price: the other clients of those families see
// it come and go. A data-device family is ended by the device entry that
// zord derives from the TLOC marker of the same IP family.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "zor_msg.h"
#include "zor_peer_json.h"
#include "zor_peer_names.h"

struct zp_snapshot_entry {
    zor_msg_t msg;             // the latest add of the entry
    struct timespec received;  // when it arrived (wall clock)
};

class zp_snapshot {
public:
    // families: distinct family numbers 0-9, in the order they are printed;
    // module: our module id, 1-228 (the markers' keys derive from it).
    zp_snapshot(std::vector<uint32_t> families, uint32_t module);

    // The messages to send once connected, in order: a register per family,
    // then the markers. closing(): the deletions of the markers.
    std::vector<zor_msg_t> opening() const;
    std::vector<zor_msg_t> closing() const;

    // Takes one message zord sent. An add replaces the entry of its key, a
    // delete removes it; a family's marker ends that family, and what arrives
    // for it afterwards is left out. True once every family has ended.
    bool take(const zor_msg_t &msg, const struct timespec &received);
    bool complete() const;

    const std::vector<uint32_t> &families() const { return families_; }
    // The entries of a family in key order (TLOCs by address, colour and
    // encapsulation; links by their local and then remote keys; ...).
    const std::map<std::string, zp_snapshot_entry> &entries(uint32_t af) const { return tables_[af]; }
    size_t count() const;
    // Index -> key text of the snapshot's TLOCs, to name the ends of paths.
    zp_tloc_names tloc_names() const;

    // The output: one JSON line per entry, family by family, then the end
    // line {"type":"SNAPSHOT_END","families":[...],"entries":N}; with
    // timestamps every entry carries its receive time and the end line the
    // time given.
    std::string json(bool timestamps, const struct timespec &end) const;

private:
    bool is_marker(const zor_msg_t &msg) const;
    bool mentions_marker(const zor_msg_t &msg) const;

    std::vector<uint32_t> families_;
    uint32_t module_;
    ip_addr_t marker_v4_{};
    ip_addr_t marker_v6_{};
    bool ended_[ZP_AF_COUNT] = {};
    std::map<std::string, zp_snapshot_entry> tables_[ZP_AF_COUNT];
};
