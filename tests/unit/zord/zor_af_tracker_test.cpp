// The tracker family on a real daemon with peers on real sockets: repeated
// adds, status messages, the owner rule, deletions with status 0, the
// 324-character cut of names and the tracker dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "zor_af_tracker.h"
#include "zor_client.h"
#include "zor_fake_peer.h"

namespace {

constexpr uint32_t k_box = OST_MODULE_CTLAGENT;    // "ctlagent"
constexpr uint32_t k_host = OST_MODULE_SETKEEPER;  // "setkeeper"


struct Tracker {
    std::string name;
    std::string attach;
    uint64_t vpn;
    uint32_t status = 1;
    uint32_t opaque1 = 0;
    uint32_t opaque2 = 0;
    uint8_t fill = 0;  // every byte of the opaque block
};

// Texts longer than their field fill it without a terminator.
zor_msg_t tracker_msg(uint32_t type, const Tracker &t)
{
    zor_msg_t msg{};
    msg.type = type;
    msg.family = ZOR_AF_TRACKER;
    zor_msg_tracker_t &b = msg.body.tracker;
    memcpy(b.name, t.name.data(), std::min(t.name.size(), sizeof(b.name)));
    memcpy(b.attach_point, t.attach.data(), std::min(t.attach.size(), sizeof(b.attach_point)));
    b.vpn_id = t.vpn;
    b.status = t.status;
    b.opaque1 = t.opaque1;
    b.opaque2 = t.opaque2;
    memset(b.opaque, t.fill, sizeof(b.opaque));
    return msg;
}

std::string dump()
{
    maapi_cli_capture cli(51, 52);
    EXPECT_EQ(zor_dump_tracker(cli.uinfo(), nullptr, 0, nullptr), CONFD_OK);
    return cli.text();
}

class ZorAfTracker : public zt::PeerFixture {
protected:
    // A message of the peer; the entry of the key afterwards.
    t_zor_db_entry *send(zt::FakePeer *from, uint32_t type, const Tracker &t)
    {
        PeerFixture::send(from, {tracker_msg(type, t)});
        return find(t);
    }
    t_zor_db_entry *find(const Tracker &t)
    {
        zor_msg_t msg = tracker_msg(ZOR_MSG_TRACKER_ADD, t);
        return zor_af_find(ZOR_AF_TRACKER, ctx(), &msg, nullptr);
    }
    // What the peers received: n messages of the type, each carrying every
    // field of the tracker.
    void expect_sent(size_t n, uint32_t type, const Tracker &t)
    {
        const std::vector<zor_msg_t> sent = deliver();
        ASSERT_EQ(sent.size(), n) << t.name;
        const zor_msg_t want = tracker_msg(type, t);
        for (const zor_msg_t &m : sent) {
            EXPECT_EQ(m.type, type);
            EXPECT_EQ(memcmp(&m.body, &want.body, sizeof(want.body)), 0) << t.name;
        }
    }
};

TEST_F(ZorAfTracker, AddsAreAlwaysSentAndOnlyStatusMessagesChangeTheStatus)
{
    zt::FakePeer *box = connect(k_box, {ZOR_AF_TRACKER});
    const Tracker t{"dns-tracker", "ge0/1", 10, 1, 0xa1, 0xa2, 0x5c};
    t_zor_db_entry *e = send(box, ZOR_MSG_TRACKER_ADD, t);
    ASSERT_NE(e, nullptr);
    expect_sent(1, ZOR_MSG_TRACKER_ADD, t);

    // A repeated add with other contents is sent again, unchanged.
    EXPECT_EQ(send(box, ZOR_MSG_TRACKER_ADD, {t.name, t.attach, t.vpn, 2, 7, 8, 0x33}), e);
    expect_sent(1, ZOR_MSG_TRACKER_ADD, t);

    // A status message with the same status, or for an unknown tracker,
    // sends nothing; another status is taken alone and sent.
    send(box, ZOR_MSG_TRACKER_STATUS, t);
    EXPECT_EQ(send(box, ZOR_MSG_TRACKER_STATUS, {t.name, t.attach, 11, 0}), nullptr);
    expect_sent(0, ZOR_MSG_TRACKER_ADD, t);
    send(box, ZOR_MSG_TRACKER_STATUS, {t.name, t.attach, t.vpn, 0, 99, 98, 0x77});
    Tracker down = t;
    down.status = 0;
    expect_sent(1, ZOR_MSG_TRACKER_ADD, down);
}

TEST_F(ZorAfTracker, TheOwnerAloneDeletesAndTheDeletionCarriesStatusZero)
{
    zt::FakePeer *box = connect(k_box, {ZOR_AF_TRACKER});
    zt::FakePeer *host = connect(k_host, {ZOR_AF_TRACKER});
    const Tracker t{"voice", "ge0/3", 42, 1, 11, 12, 0xee};
    t_zor_db_entry *e = send(box, ZOR_MSG_TRACKER_ADD, t);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(send(host, ZOR_MSG_TRACKER_ADD, t), e);  // keeps its owner
    deliver();

    send(host, ZOR_MSG_TRACKER_DEL, t);
    zor_af_withdraw(ZOR_AF_TRACKER, ctx(), client(k_host), e);
    EXPECT_EQ(log.count("TRACKER withdraw from setkeeper ignored: the entry belongs to ctlagent"), 2u) << log.dump();
    EXPECT_EQ(find(t), e);
    expect_sent(0, ZOR_MSG_TRACKER_DEL, t);

    EXPECT_EQ(send(box, ZOR_MSG_TRACKER_DEL, t), nullptr);
    Tracker gone = t;
    gone.status = 0;
    expect_sent(2, ZOR_MSG_TRACKER_DEL, gone);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 0u);
}

TEST_F(ZorAfTracker, NamesAreCutTo324Characters)
{
    zt::FakePeer *box = connect(k_box, {ZOR_AF_TRACKER});
    const std::string n324(324, 'n');
    const std::string a324(324, 'a');
    t_zor_db_entry *e = send(box, ZOR_MSG_TRACKER_ADD, {n324 + "XY", std::string(326, 'a'), 1});
    ASSERT_NE(e, nullptr);
    // Names that differ only after the 324th character are one tracker.
    EXPECT_EQ(find({n324 + "ZW", a324 + "b", 1}), e);
    EXPECT_EQ(find({n324, a324, 1}), e);
    EXPECT_NE(find({n324.substr(1), a324, 1}), e);
    expect_sent(1, ZOR_MSG_TRACKER_ADD, {n324, a324, 1});
    EXPECT_EQ(zt::show_text(ZOR_AF_TRACKER, ctx(), e),
              "    Name: " + n324 + " Attach-Point: " + a324 + " VPN Id : 1 Status: Up\n"
              "    Advertised to: ctlagent \n\n");
}

TEST_F(ZorAfTracker, DumpListsTrackersInKeyOrderAfterTheEmptyKey)
{
    EXPECT_EQ(dump(), "") << "no trackers";
    zt::FakePeer *box = connect(k_box);
    // Same name and attach point in several VPNs are trackers of their own,
    // in unsigned VPN order (shown signed).
    for (const Tracker &t : {Tracker{"t1", "ap", 20, 1}, Tracker{"t1", "ap", ~0ull, 2}, Tracker{"t1", "ap", 10, 0},
                             Tracker{"", "", 0, 1}, Tracker{"t0", "zz", 99, 1}, Tracker{"t1", "a", 30, 1}}) {
        ASSERT_NE(send(box, ZOR_MSG_TRACKER_ADD, t), nullptr);
    }
    send(box, ZOR_MSG_TRACKER_DEL, {"t1", "ap", 20});
    std::string want;
    for (const char *head : {"t0 Attach-Point: zz VPN Id : 99 Status: Up", "t1 Attach-Point: a VPN Id : 30 Status: Up",
                             "t1 Attach-Point: ap VPN Id : 10 Status: Down",
                             "t1 Attach-Point: ap VPN Id : -1 Status: Down"}) {
        want += std::string("    Name: ") + head + "\n    Advertised to: \n\n";
    }
    EXPECT_EQ(dump(), want);
    EXPECT_NE(find({"", "", 0}), nullptr) << "the all-empty key is a tracker all the same";

    env.free();
    EXPECT_EQ(dump(), "ZOR context not UP");
}

}  // namespace
