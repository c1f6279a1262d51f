// A fixture for tests that drive zord through fake peers over real sockets:
// the PeerEnv and a log capture, helpers that send and register and then run
// zord until everything is delivered, and a teardown that switches the debug
// and pairwise-keys switches off again and checks that every counted
// allocation was freed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "zor_af_tloc.h"
#include "zor_fake_peer.h"

namespace zt {

class PeerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    t_zor_context *ctx() const { return env.ctx(); }
    t_zor_client *client(uint32_t id) const;
    // The TLOC entry (or record) of a key, or null.
    t_zor_db_entry *tloc(const zor_tloc_key_t &key) const;
    t_zor_af_tloc *rec(const zor_tloc_key_t &key) const;
    // A connected peer (a test failure, and null, when it does not come up).
    FakePeer *connect(uint32_t id);
    // Sends the messages from the peer, then runs zord until all is read.
    void send(FakePeer *p, std::initializer_list<zor_msg_t> msgs);
    void reg(FakePeer *p, zor_af_t af, uint8_t announce = 1, uint8_t originate = 0);
    // The log lines written by functions whose name starts with prefix,
    // without their "function[line]: " part.
    std::vector<std::string> logged(const std::string &prefix) const;

    LogCapture log;
    PeerEnv env;
};

// A log line without its "function[line]: " part.
std::string log_text(const std::string &line);

}  // namespace zt
