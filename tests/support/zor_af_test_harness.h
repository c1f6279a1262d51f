// A daemon with real peers for tests of the family modules: the real daemon,
// database and client module in-process, and for each peer module of a test
// a raw socket that connects to zord's message-queue socket, registers, and
// sends and receives zor messages through the codec. What zord sends a peer
// is read back from the socket and decoded as the peer would decode it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "msgq_test_support.h"
#include "zor_db.h"
#include "zor_msg.h"
#include "zor_test_daemon.h"

namespace zt {

// One message as a peer received it.
struct SentMsg {
    uint32_t client;  // module id of the peer
    zor_msg_t msg;    // decoded
};

class FamilyHarness {
public:
    FamilyHarness();   // check init_rc() == 0
    ~FamilyHarness();  // teardown() when not done yet
    FamilyHarness(const FamilyHarness &) = delete;
    FamilyHarness &operator=(const FamilyHarness &) = delete;

    int init_rc() const { return daemon_->init_rc(); }
    t_zor_context *ctx() const { return daemon_ ? daemon_->ctx() : nullptr; }

    // Connects a peer of module id (one of zord's peers) and registers it,
    // announcing and originating each family, through real messages. Returns
    // zord's client record of the peer. The walk that registration starts
    // has run when it returns (its messages wait for deliver()).
    t_zor_client *client(uint32_t id, std::initializer_list<zor_af_t> families = {});
    // Sends msg from peer id (its sender field set to id) and runs zord until
    // it has received it.
    void send(uint32_t id, zor_msg_t msg);
    // Closes the peer's connection and runs zord until it has seen the loss.
    void disconnect(uint32_t id);

    // True while zord's walk event is armed (something was scheduled).
    bool walk_pending() const;
    // Runs zord until its walks are done and the peers have read everything
    // written to them; returns the messages received meanwhile, peer by peer
    // in id order, each peer's in the order received.
    std::vector<SentMsg> deliver();

    // Closes the peers, then frees the daemon.
    void teardown();

private:
    // One non-blocking pass of zord's event loop.
    void pass();
    // Passes until done() holds; a test failure when it still does not
    // after a real-time limit (which only stops a broken test from hanging).
    void run_until(const std::function<bool()> &done);

    std::unique_ptr<TestDaemon> daemon_;
    std::map<uint32_t, std::unique_ptr<RawPeer>> peers_;
};

// The address of a text (a test failure when it is not one).
ip_addr_t addr(const char *text);

// Everything the show operation of af prints for one entry.
std::string show_text(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);

}  // namespace zt
