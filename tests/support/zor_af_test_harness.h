// A daemon context for tests of the family modules: the real daemon and
// database, client records in the context's client table, and a client walk
// that distributes each family's change list to the clients registered for
// it the way the client module does (marker walk, sent bits, deletions, the
// owner's withdraw once the deletion went out). Every message a client is
// sent goes through the real codec and is kept as the peer would decode it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "zor_db.h"
#include "zor_msg.h"
#include "zor_test_daemon.h"

namespace zt {

// One message as a client received it.
struct SentMsg {
    uint32_t client;  // module id
    zor_msg_t msg;    // decoded
};

class FamilyHarness {
public:
    FamilyHarness();  // check init_rc() == 0
    ~FamilyHarness();  // teardown() when not done yet
    FamilyHarness(const FamilyHarness &) = delete;
    FamilyHarness &operator=(const FamilyHarness &) = delete;

    int init_rc() const { return daemon_->init_rc(); }
    t_zor_context *ctx() const { return daemon_->ctx(); }

    // A client record in the table at id (an id that is not a peer of zord,
    // so that no client module ever holds that slot), registered with a
    // marker at the head of each family's change list. Freed by teardown().
    t_zor_client *client(uint32_t id, std::initializer_list<zor_af_t> families = {});

    // True while the walk event is armed (something was scheduled).
    bool walk_pending() const;
    // Runs the walk event when it is armed and returns what it sent, in
    // order; nothing (and no waiting) when it is not armed.
    std::vector<SentMsg> deliver();

    // Frees the clients and their markers, then the daemon.
    void teardown();

private:
    std::unique_ptr<TestDaemon> daemon_;
    std::vector<uint32_t> ids_;
};

// The message after an encode and a decode through the codec, as zord
// receives it from a peer; a failure of either is a test failure.
zor_msg_t codec_roundtrip(const zor_msg_t &msg);

// Everything the show operation of af prints for one entry.
std::string show_text(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);

}  // namespace zt
