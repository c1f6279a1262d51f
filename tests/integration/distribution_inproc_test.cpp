// Distribution with zord's real daemon record and event loop in this process
// and zor-peer processes as its clients over the real sockets: the cases that
// need to reach inside the daemon, the pairwise-keys switch (set by the
// management agent, which is not part of these tests) and the freeing of
// withdrawn entries.
#include <gtest/gtest.h>

#include <memory>

#include "json_reader.h"
#include "msgq_util.h"
#include "test_support.h"
#include "zor_client.h"
#include "zor_mem.h"
#include "zor_msg.h"
#include "zor_test_daemon.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class InProc : public ::testing::Test {
protected:
    zt::TestDaemon td;  // sets ZOR_RUN_DIR, which the peers inherit
    std::vector<std::unique_ptr<zt::Process>> peers;

    void SetUp() override { ASSERT_EQ(td.init_rc(), 0); }

    void TearDown() override
    {
        g_zor_pwk_enabled = 0;
        for (auto &p : peers) {
            p->close_stdin();
        }
        for (auto &p : peers) {
            drive([&] { return p->wait_exit(0ms); });
        }
        peers.clear();
        td.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }

    zt::Process &peer(const std::string &module)
    {
        peers.push_back(std::make_unique<zt::Process>(
            zt::build_path("tools/zor-peer"),
            std::vector<std::string>{"--module", module, "--idle", "300", "--timeout", "20"}));
        return *peers.back();
    }

    // Runs the daemon's loop until pred holds (the peers' pipes are read
    // meanwhile).
    bool drive(const std::function<bool()> &pred, std::chrono::milliseconds limit = 30s)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            td.run_once();
            for (auto &p : peers) {
                p->poll_output(0);
            }
        }
        return true;
    }

    static std::vector<zt::Json> msgs(const zt::Process &p)
    {
        std::vector<zt::Json> out;
        for (const std::string &l : zt::split_lines(p.out())) {
            out.push_back(zt::json(l));
        }
        return out;
    }

    // The messages of one TLOC a peer received: "ADD <installed>" or "DEL".
    static Strings tloc_msgs(const zt::Process &p, const std::string &tloc)
    {
        Strings out;
        for (const zt::Json &m : msgs(p)) {
            if (m.has("tloc") && m["tloc"].str() == tloc) {
                if (m["type"].str() == "TLOC_DEL") {
                    out.push_back("DEL");
                } else {
                    out.push_back("ADD installed=" + std::to_string(m["attr"].has("installed") ? m["attr"]["installed"].u64() : 0));
                }
            }
        }
        return out;
    }

    static size_t lines(const zt::Process &p) { return zt::split_lines(p.out()).size(); }
};

std::string hex_key(int kind, int index)
{
    std::string out;
    char two[3];
    for (int b = 0; b < ZOR_TLOC_SEC_KEY_LEN; b++) {
        // zor-peer's fixed key bytes (see zp_sec_key_byte).
        snprintf(two, sizeof(two), "%02x", 0x40 + 0x20 * kind + 0x10 * index + (b & 0x3f));
        out += two;
    }
    return out;
}

// The keys of the last add of tloc a peer received.
Strings enc_keys(const std::vector<zt::Json> &ms, const std::string &tloc)
{
    Strings keys;
    for (const zt::Json &m : ms) {
        if (m["type"].str() == "TLOC_ADD" && m["tloc"].str() == tloc) {
            keys.clear();
            const zt::Json &k = m["attr"]["security"]["enc-keys"];
            for (size_t i = 0; i < k.size(); i++) {
                keys.push_back(k[i].str());
            }
        }
    }
    return keys;
}

TEST_F(InProc, PairwiseKeysFilterBetweenAdvAndXfwd)
{
    g_zor_pwk_enabled = 1;
    const std::string L1 = "10.0.0.1:biz-internet:ipsec";
    const std::string L2 = "10.0.0.1:lte:ipsec";
    const std::string L3 = "10.0.0.1:mpls:ipsec";
    const std::string sec = " origin=local security=spi:4096,proto:0,enc:0+3,integrity:0,auth-keys:1,enc-keys:2";
    zt::Process &adv = peer("advd");
    zt::Process &xfw = peer("xfwd");
    zt::Process &other = peer("ctlagent");
    for (zt::Process *p : {&adv, &xfw, &other}) {
        p->write_stdin("register TLOC-IPV4\n");
    }
    zt::Process &owner = peer("ctlagent_0");
    owner.write_stdin("tloc-add " + L1 + sec + " installed=0\n"          // not yet in the forwarding plane
                      "tloc-add " + L2 + sec + " installed=0\n"          // never installed
                      "tloc-add " + L3 + " origin=local security=spi:1,enc-keys:1 installed=0\n");
    ASSERT_TRUE(drive([&] { return lines(other) >= 3 && lines(xfw) >= 3; })) << other.out();

    // Not installed: XFW gets it with its keys, ADV not at all, any other
    // client with the second encryption key zeroed.
    EXPECT_EQ(tloc_msgs(xfw, L1), (Strings{"ADD installed=0"}));
    EXPECT_EQ(tloc_msgs(adv, L1), (Strings{}));
    EXPECT_EQ(enc_keys(msgs(xfw), L1), (Strings{hex_key(1, 0), hex_key(1, 1)}));
    EXPECT_EQ(enc_keys(msgs(other), L1), (Strings{hex_key(1, 0), std::string(128, '0')}));
    // With one encryption key nothing is zeroed.
    EXPECT_EQ(enc_keys(msgs(other), L3), (Strings{hex_key(1, 0)}));

    // Installed (xfwd refreshes the TLOC on behalf of its owner): ADV gets
    // it, zeroed; XFW does not.
    xfw.write_stdin("tloc-add " + L1 + sec + " installed=1\n");
    // Each peer prints in its own time: wait for every message looked at.
    ASSERT_TRUE(drive([&] { return tloc_msgs(other, L1).size() == 2 && tloc_msgs(adv, L1).size() == 1; }))
        << other.out();
    EXPECT_EQ(tloc_msgs(adv, L1), (Strings{"ADD installed=1"}));
    EXPECT_EQ(enc_keys(msgs(adv), L1), (Strings{hex_key(1, 0), std::string(128, '0')}));
    EXPECT_EQ(tloc_msgs(xfw, L1), (Strings{"ADD installed=0"}));

    // A dropped add still counts as held: ADV is sent the deletion of the
    // TLOC it never saw.
    owner.write_stdin("tloc-del " + L2 + " origin=local\n");
    ASSERT_TRUE(drive([&] {
        return tloc_msgs(adv, L2).size() == 1 && tloc_msgs(other, L2).size() == 2 && tloc_msgs(xfw, L2).size() == 2;
    }));
    EXPECT_EQ(tloc_msgs(adv, L2), (Strings{"DEL"}));
    EXPECT_EQ(tloc_msgs(xfw, L2), (Strings{"ADD installed=0", "DEL"}));

    // The switch off: everyone gets everything as it is.
    g_zor_pwk_enabled = 0;
    owner.write_stdin("tloc-add " + L1 + sec + " installed=1 pref=3\n");
    ASSERT_TRUE(drive([&] {
        return tloc_msgs(xfw, L1).size() == 2 && tloc_msgs(adv, L1).size() == 2 && tloc_msgs(other, L1).size() == 3;
    }));
    EXPECT_EQ(enc_keys(msgs(adv), L1), (Strings{hex_key(1, 0), hex_key(1, 1)}));
    EXPECT_EQ(enc_keys(msgs(other), L1), (Strings{hex_key(1, 0), hex_key(1, 1)}));
}

TEST_F(InProc, WithdrawnEntriesAreFreedOnceEveryHolderHasTheirDeletion)
{
    const uint64_t base = zt::mem_current(ZOR_MEM_TLOC_NLRI);
    zt::Process &client = peer("ctlagent");
    client.write_stdin("register TLOC-IPV4\n");
    zt::Process &owner = peer("advd");
    owner.write_stdin("tloc-add 10.0.0.1:lte:gre\ntloc-add 10.0.0.2:lte:gre\n");
    ASSERT_TRUE(drive([&] { return lines(client) >= 2; }));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), base + 2);

    // Delivered deletion: freed.
    owner.write_stdin("tloc-del 10.0.0.1:lte:gre\n");
    ASSERT_TRUE(drive([&] { return lines(client) >= 3; }));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), base + 1);

    // A holder that unregistered keeps the withdrawn entry alive until it
    // registers again and is sent the deletion.
    // The data-device registration after the unregister, and the device's
    // deletion after the TLOC's, show when zord has handled each step.
    client.write_stdin("unregister TLOC-IPV4\nregister DATA-DEVICE-IPV4\n");
    ASSERT_TRUE(drive([&] { return client.out().find("DATA_DEVICE_ADD") != std::string::npos; }));
    owner.write_stdin("tloc-del 10.0.0.2:lte:gre\n");
    ASSERT_TRUE(drive([&] { return client.out().find("DATA_DEVICE_DEL") != std::string::npos; }));
    EXPECT_EQ(tloc_msgs(client, "10.0.0.2:lte:gre"), (Strings{"ADD installed=0"}));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), base + 1) << "still held by the unregistered client";
    client.write_stdin("register TLOC-IPV4\n");
    ASSERT_TRUE(drive([&] { return tloc_msgs(client, "10.0.0.2:lte:gre").size() == 2; }));
    EXPECT_EQ(tloc_msgs(client, "10.0.0.2:lte:gre"), (Strings{"ADD installed=0", "DEL"}));
    ASSERT_TRUE(drive([&] { return zt::mem_current(ZOR_MEM_TLOC_NLRI) == base; }));
}

}  // namespace
