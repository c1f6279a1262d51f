// The one test harness of zord: the real daemon in the test process and its
// peers as real message-queue client handles on the daemon's own event base.
// A peer connects to "<run dir>/.zord", registers as its module, sends
// encoded messages and decodes what zord sends it.
//
// TestDaemon is the daemon alone. PeerEnv owns a hand-driven timer clock, a
// TestDaemon and the peers, and drives the one event loop they share; peers
// are deleted before the daemon (a handle must not outlive the event base of
// its message-queue instance). PeerFixture is a gtest fixture around both.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "msgq_util.h"
#include "test_support.h"
#include "zor_af_tloc.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"

namespace zt {

// zor_daemon_alloc and zor_daemon_init under a fresh run directory,
// zor_daemon_free at the end (or at free(), after which it does nothing).
class TestDaemon {
public:
    TestDaemon();
    ~TestDaemon() { free(); }
    TestDaemon(const TestDaemon &) = delete;
    TestDaemon &operator=(const TestDaemon &) = delete;

    int init_rc() const { return init_rc_; }  // of zor_daemon_init
    t_zor_daemon *daemon() const { return daemon_; }
    t_zor_context *ctx() const { return g_zor_context; }
    // Runs the event loop until at least one event callback ran.
    void run_once();
    void free();

private:
    ScopedRunDir run_;
    t_zor_daemon *daemon_ = nullptr;
    int init_rc_ = -1;
};

// Runs fn instead of distribution whenever the store arms the walk event of
// ctx, for as long as it lives: the context's walk event is pointed at an
// event of its own, and back at distribution's at the end.
class WalkStandIn {
public:
    WalkStandIn(t_zor_context *ctx, void (*fn)(t_zor_context *));
    ~WalkStandIn();
    WalkStandIn(const WalkStandIn &) = delete;
    WalkStandIn &operator=(const WalkStandIn &) = delete;

private:
    t_zor_context *ctx_;
    void (*fn_)(t_zor_context *);
    ost_event_ptr ev_;
};

// Records of a memory type allocated and not yet freed.
uint64_t mem_current(uint32_t type);
// The memory types whose allocations and frees do not balance, as
// "descr: current" lines; empty when every counted type is back to zero.
std::string mem_unbalanced();

class FakePeer {
public:
    // Opens the client handle of module id towards zord (first attempt on
    // the next timer tick).
    FakePeer(t_zor_daemon *daemon, uint32_t id);
    ~FakePeer() { close(); }
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    uint32_t id() const { return id_; }
    msgq_handle_t *handle() const { return handle_; }
    bool up() const { return up_; }

    // Encodes and writes a message (sender set to this peer unless given):
    // the write result, or -1 when the codec refuses the record.
    int send(const zor_msg_t &msg);
    // Writes application bytes as they are (for input zord must reject).
    int send_bytes(const std::string &bytes);
    int send_register(zor_af_t af, uint8_t announce = 1, uint8_t originate = 0);
    int send_unregister(zor_af_t af);

    // Messages received so far, decoded (one that does not decode is a test
    // failure); take() empties the list.
    const std::vector<zor_msg_t> &received() const { return received_; }
    std::vector<zor_msg_t> take();

    // Closes the connection and deletes the handle: zord sees the peer go.
    void close();

private:
    static void on_up(msgq_handle_t *h, void *arg, msgq_handle_t *h2, void *arg2);
    static void on_down(msgq_handle_t *h, void *arg, msgq_handle_t *h2, void *arg2);
    static void on_recv(msgq_handle_t *h, void *app, uint16_t len, void *arg);

    uint32_t id_;
    msgq_handle_t *handle_ = nullptr;
    bool up_ = false;
    std::vector<zor_msg_t> received_;
};

class PeerEnv {
public:
    PeerEnv() = default;
    ~PeerEnv() { free(); }
    PeerEnv(const PeerEnv &) = delete;
    PeerEnv &operator=(const PeerEnv &) = delete;

    int init_rc() const { return daemon_.init_rc(); }
    t_zor_daemon *daemon() const { return daemon_.daemon(); }
    t_zor_context *ctx() const { return daemon_.ctx(); }
    FakeClock &clock() { return clock_; }

    // A new peer of module id, connected: both ends registered. Null when
    // the connection does not come up.
    FakePeer *connect(uint32_t id);
    // Deletes a peer (closing its connection) and forgets it.
    void drop(FakePeer *peer);
    // The peers in the order they connected.
    const std::deque<std::unique_ptr<FakePeer>> &peers() const { return peers_; }

    // Moves the timer clock by one tick (1 s) n times, running due timers.
    void tick(int n = 1);
    // Runs the loop until done() holds; false if it still does not after
    // the real-time limit (which only stops a broken test from hanging).
    bool run_until(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Runs the loop until nothing is left in flight: no walk pending, no
    // queued or unread bytes on any connection of zord or of the peers.
    bool settle(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Deletes the peers, then the daemon.
    void free();

private:
    bool quiet() const;

    FakeClock clock_;  // before the daemon: its timers start on this clock
    TestDaemon daemon_;
    std::deque<std::unique_ptr<FakePeer>> peers_;
};

// A fixture for tests that drive zord through fake peers: helpers that send
// and register and then run zord until everything is delivered, and a
// teardown that switches the debug and pairwise-keys switches off again and
// checks that every counted allocation was freed.
class PeerFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(env.init_rc(), 0); }
    void TearDown() override;

    t_zor_context *ctx() const { return env.ctx(); }
    t_zor_client *client(uint32_t id) const;
    // The TLOC entry (or record) of a key, or null.
    t_zor_db_entry *tloc(const zor_tloc_key_t &key) const;
    t_zor_af_tloc *rec(const zor_tloc_key_t &key) const;
    // A connected peer registered for the families (announcing, not
    // originating); a test failure, and null, when it does not come up.
    FakePeer *connect(uint32_t id, std::initializer_list<zor_af_t> families = {});
    // Sends the messages from the peer, then runs zord until all is read.
    void send(FakePeer *p, std::initializer_list<zor_msg_t> msgs);
    void reg(FakePeer *p, zor_af_t af, uint8_t announce = 1, uint8_t originate = 0);
    // Runs zord until all is read; takes what every peer received, peer by
    // peer in connection order.
    std::vector<zor_msg_t> deliver();
    // The log lines written by functions whose name starts with prefix,
    // without their "function[line]: " part.
    std::vector<std::string> logged(const std::string &prefix) const;

    LogCapture log;
    PeerEnv env;
};

// A log line without its "function[line]: " part.
std::string log_text(const std::string &line);
// The address of a text (a test failure when it is not one).
ip_addr_t addr(const char *text);
// Everything the show operation of af prints for one entry.
std::string show_text(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry);

// Message builders. Every TLOC add is made acceptable to the TLOC filter
// (carrier 1 with its presence bit) unless the caller changes it.
zor_tloc_key_t tloc_key(const std::string &ip, uint8_t color, uint8_t encap);
zor_msg_t msg_of(uint32_t type, zor_af_t af);  // everything else 0
zor_msg_t msg_register(zor_af_t af, uint8_t announce, uint8_t originate);
zor_msg_t tloc_add_msg(const zor_tloc_key_t &key, uint8_t origin);
zor_msg_t tloc_del_msg(const zor_tloc_key_t &key);
zor_msg_t bfd_msg(const zor_tloc_key_t &key, uint32_t state);
zor_msg_t dd_state_msg(zor_af_t af, const std::string &ip, uint32_t state);
// A local IPsec TLOC add of 10.1.1.1 : biz-internet : ipsec with every
// attribute present (security block, addresses, groups 0 and 7, ...), for
// the tests of what is printed and logged.
zor_msg_t tloc_msg_every_attr();
// The TLOC family of a key (IPv4 or IPv6).
zor_af_t tloc_af(const zor_tloc_key_t &key);

// Short texts of received messages for whole-list comparisons:
// "TLOC-ADD 10.0.0.1 : default : ipsec", "DATA-DEVICE-ADD 10.0.0.1 1", ...
std::string msg_str(const zor_msg_t &msg);
std::vector<std::string> msg_strs(const std::vector<zor_msg_t> &msgs);

}  // namespace zt
