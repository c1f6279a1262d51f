// The tracker family on a real daemon context: adds (always sent again),
// status messages, the owner rule, deletions with status 0, the 324-character
// cut of names, the show lines and the tracker dump command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_af_test_harness.h"
#include "zor_client.h"
#include "zor_af_tracker.h"

namespace {

// Peers of zord: their module names appear in log and show lines.
constexpr uint32_t k_box = OST_MODULE_CTLAGENT;     // "ctlagent"
constexpr uint32_t k_host = OST_MODULE_SETKEEPER;   // "setkeeper"
constexpr uint32_t k_tether = OST_MODULE_POLICYD;   // "policyd"

struct Tracker {
    std::string name;
    std::string attach;
    uint64_t vpn;
    uint32_t status = 1;
    uint32_t opaque1 = 0;
    uint32_t opaque2 = 0;
    uint8_t fill = 0;  // every byte of the opaque block
};

// A tracker message as a peer sends it; texts longer than the field fill it
// without a terminator.
zor_msg_t tracker_msg(uint32_t type, const Tracker &t)
{
    zor_msg_t msg{};
    msg.type = type;
    msg.sender = k_box;
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

const t_zor_af_tracker *rec(const t_zor_db_entry *e)
{
    return static_cast<const t_zor_af_tracker *>(e->record);
}

std::string dump()
{
    maapi_cli_capture cli(51, 52);
    EXPECT_EQ(zor_dump_tracker(cli.uinfo(), nullptr, 0, nullptr), CONFD_OK);
    return cli.text();
}

class ZorAfTracker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(h_.init_rc(), 0); }
    void TearDown() override
    {
        h_.teardown();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    // Messages sent by the client's peer; an add gives the entry of the key
    // afterwards.
    t_zor_db_entry *add(t_zor_client *client, const Tracker &t)
    {
        h_.send(client->id, tracker_msg(ZOR_MSG_TRACKER_ADD, t));
        return find(t);
    }
    void del(t_zor_client *client, const Tracker &t) { h_.send(client->id, tracker_msg(ZOR_MSG_TRACKER_DEL, t)); }
    void status(t_zor_client *client, const Tracker &t)
    {
        h_.send(client->id, tracker_msg(ZOR_MSG_TRACKER_STATUS, t));
    }
    t_zor_db_entry *find(const Tracker &t)
    {
        zor_msg_t msg = tracker_msg(ZOR_MSG_TRACKER_ADD, t);
        return zor_af_find(ZOR_AF_TRACKER, h_.ctx(), &msg, nullptr);
    }
    zt::FamilyHarness h_;
};

// Every field of a received tracker message.
void expect_tracker(const zor_msg_t &msg, uint32_t type, const Tracker &t)
{
    EXPECT_EQ(msg.type, type);
    EXPECT_EQ(msg.family, ZOR_AF_TRACKER);
    const zor_msg_tracker_t &b = msg.body.tracker;
    EXPECT_EQ(std::string(b.name), t.name);
    EXPECT_EQ(std::string(b.attach_point), t.attach);
    EXPECT_EQ(b.vpn_id, t.vpn);
    EXPECT_EQ(b.status, t.status);
    EXPECT_EQ(b.opaque1, t.opaque1);
    EXPECT_EQ(b.opaque2, t.opaque2);
    EXPECT_EQ(b.opaque[0], t.fill);
    EXPECT_EQ(b.opaque[ZOR_MSG_TRACKER_OPAQUE_LEN - 1], t.fill);
}

TEST_F(ZorAfTracker, EveryAddIsSentAgainWithTheRecordUnchanged)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_TRACKER});
    h_.client(k_tether, {ZOR_AF_TRACKER});
    const Tracker t{"dns-tracker", "ge0/1", 10, 1, 0xa1, 0xa2, 0x5c};
    t_zor_db_entry *e = add(box, t);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->client_p, box);
    EXPECT_EQ(rec(e)->entry, e);
    EXPECT_EQ(find(t), e);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].client, k_box);
    EXPECT_EQ(sent[1].client, k_tether);
    for (const zt::SentMsg &s : sent) {
        expect_tracker(s.msg, ZOR_MSG_TRACKER_ADD, t);
    }

    // A repeated add with other contents: the stored tracker stays as it was
    // and is sent again, to every client.
    Tracker other = t;
    other.status = 2;
    other.opaque1 = 7;
    other.opaque2 = 8;
    other.fill = 0x33;
    EXPECT_EQ(add(box, other), e);
    EXPECT_TRUE(h_.walk_pending());
    sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    expect_tracker(sent[0].msg, ZOR_MSG_TRACKER_ADD, t);
    EXPECT_EQ(rec(e)->status, 1u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 1u);
}

TEST_F(ZorAfTracker, StatusMessagesSendOnlyAChangedStatus)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_TRACKER});
    Tracker t{"web", "ge0/2", 3, 1, 4, 5, 6};
    t_zor_db_entry *e = add(box, t);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 1u);

    status(box, t);  // the same status
    EXPECT_FALSE(h_.walk_pending());

    // Only the status is taken from a status message.
    Tracker down = t;
    down.status = 0;
    down.opaque1 = 99;
    down.fill = 0x77;
    status(box, down);
    EXPECT_TRUE(h_.walk_pending());
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u);
    Tracker want = t;
    want.status = 0;
    expect_tracker(sent[0].msg, ZOR_MSG_TRACKER_ADD, want);

    // Unknown trackers: nothing.
    Tracker unknown = t;
    unknown.vpn = 4;
    unknown.status = 1;
    status(box, unknown);
    EXPECT_FALSE(h_.walk_pending());
    EXPECT_EQ(find(unknown), nullptr);
}

TEST_F(ZorAfTracker, TheOwnerAloneDeletesAndTheDeletionCarriesStatusZero)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_TRACKER});
    t_zor_client *host = h_.client(k_host, {ZOR_AF_TRACKER});
    const Tracker t{"voice", "ge0/3", 42, 1, 11, 12, 0xee};
    t_zor_db_entry *e = add(box, t);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 2u);

    zt::LogCapture log;
    del(host, t);
    zor_af_withdraw(ZOR_AF_TRACKER, h_.ctx(), host, e);
    EXPECT_EQ(log.count("TRACKER withdraw from setkeeper ignored: the entry belongs to ctlagent"), 2u) << log.dump();
    EXPECT_EQ(find(t), e);
    EXPECT_FALSE(h_.walk_pending());

    // Another client's add leaves the owner as it was.
    EXPECT_EQ(add(host, t), e);
    EXPECT_EQ(e->client_p, box);
    h_.deliver();

    del(box, t);
    EXPECT_EQ(find(t), nullptr);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    Tracker gone = t;
    gone.status = 0;
    for (const zt::SentMsg &s : sent) {
        expect_tracker(s.msg, ZOR_MSG_TRACKER_DEL, gone);
    }
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 0u);

    // A delete of an unknown tracker is ignored.
    del(box, t);
    EXPECT_FALSE(h_.walk_pending());
}

TEST_F(ZorAfTracker, NamesAreCutTo324Characters)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_TRACKER});
    const std::string base(324, 'n');
    const std::string attach(326, 'a');  // fills its field without terminator
    t_zor_db_entry *e = add(box, Tracker{base + "XY", attach, 1});
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(rec(e)->name), base);
    EXPECT_EQ(std::string(rec(e)->attach_point), std::string(324, 'a'));
    // Names that differ only after the 324th character are one tracker, and
    // so is the name cut short.
    EXPECT_EQ(add(box, Tracker{base + "ZW", attach, 1}), e);
    EXPECT_EQ(add(box, Tracker{base + "Q", std::string(324, 'a'), 1}), e);
    EXPECT_EQ(find(Tracker{base, std::string(325, 'a'), 1}), e);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 1u);
    // A name one character shorter is another tracker.
    t_zor_db_entry *shorter = add(box, Tracker{std::string(323, 'n'), attach, 1});
    ASSERT_NE(shorter, nullptr);
    EXPECT_NE(shorter, e);

    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::string(sent[0].msg.body.tracker.name), base);
    EXPECT_EQ(zt::split_lines(zt::show_text(ZOR_AF_TRACKER, h_.ctx(), e)),
              (std::vector<std::string>{"    Name: " + base + " Attach-Point: " + std::string(324, 'a') +
                                            " VPN Id : 1 Status: Up",
                                        "    Advertised to: ctlagent ", ""}));
}

TEST_F(ZorAfTracker, DumpListsTrackersInKeyOrder)
{
    EXPECT_EQ(dump(), "") << "no trackers: nothing";
    t_zor_client *box = h_.client(k_box, {ZOR_AF_TRACKER});
    h_.client(k_tether, {ZOR_AF_TRACKER});
    // Same name and attach point in several VPNs: one tracker each, in VPN
    // order (unsigned, shown signed). The all-empty key is never listed.
    const Tracker trackers[] = {
        {"t1", "ap", 20, 1}, {"t1", "ap", 0xffffffffffffffffull, 2}, {"t1", "ap", 10, 0},
        {"", "", 0, 1},      {"t0", "zz", 99, 1},                      {"t1", "a", 30, 1},
    };
    for (const Tracker &t : trackers) {
        ASSERT_NE(add(box, t), nullptr);
    }
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 6u);
    EXPECT_EQ(h_.deliver().size(), 12u);
    const std::string adv = "    Advertised to: ctlagent policyd ";
    EXPECT_EQ(zt::split_lines(dump()), (std::vector<std::string>{
                                           "    Name: t0 Attach-Point: zz VPN Id : 99 Status: Up",
                                           adv,
                                           "",
                                           "    Name: t1 Attach-Point: a VPN Id : 30 Status: Up",
                                           adv,
                                           "",
                                           "    Name: t1 Attach-Point: ap VPN Id : 10 Status: Down",
                                           adv,
                                           "",
                                           "    Name: t1 Attach-Point: ap VPN Id : 20 Status: Up",
                                           adv,
                                           "",
                                           "    Name: t1 Attach-Point: ap VPN Id : -1 Status: Down",
                                           adv,
                                           "",
                                       }));

    // The show-all operation does list the empty key, first.
    maapi_cli_capture cli(51, 53);
    zor_af_show_all(ZOR_AF_TRACKER, h_.ctx(), cli.uinfo());
    std::vector<std::string> lines = zt::split_lines(cli.text());
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "    Name:  Attach-Point:  VPN Id : 0 Status: Up");

    // Each tracker of one name and attach point goes by its own key.
    del(box, Tracker{"t1", "ap", 20});
    EXPECT_EQ(find(Tracker{"t1", "ap", 20}), nullptr);
    EXPECT_NE(find(Tracker{"t1", "ap", 10}), nullptr);
    EXPECT_NE(find(Tracker{"t1", "ap", 0xffffffffffffffffull}), nullptr);
    EXPECT_EQ(dump().find("VPN Id : 20 "), std::string::npos);
}

TEST_F(ZorAfTracker, DumpWithoutAContext)
{
    h_.teardown();
    EXPECT_EQ(dump(), "ZOR context not UP");
}

}  // namespace
