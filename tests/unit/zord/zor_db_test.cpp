// The database on a real daemon context: family tables and their empty
// columns, the change lists with their markers, deferred freeing, the walk,
// the walk event, the dump and the helpers of the dumps.
#include <gtest/gtest.h>

#include <cstring>
#include <event2/event.h>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_db.h"
#include "zor_db_test_family.h"
#include "zor_test_daemon.h"

namespace {

// Client records are the client module's; the database only stores and
// compares their addresses, so tests stand in with distinct blocks put into
// ids that are never peers of zord.
alignas(16) char g_fake_clients[OST_MODULE_MAX][64];
t_zor_client *fake_client(uint32_t id)
{
    return reinterpret_cast<t_zor_client *>(g_fake_clients[id]);
}
constexpr uint32_t k_box = 6;      // "boxkeeperd"
constexpr uint32_t k_host = 7;     // "hostkeeperd"
constexpr uint32_t k_tether = 99;  // "tether_0"

// A minimal distributor in the manner of the client walks: from the
// client's marker to the end of the list, send each entry (recorded here),
// set or clear the client's bit, and move the marker to the tail.
struct sent_t {
    uint32_t client;
    uint32_t key;
    uint32_t payload;
    bool is_delete;
    bool operator==(const sent_t &o) const
    {
        return client == o.client && key == o.key && payload == o.payload && is_delete == o.is_delete;
    }
};
std::vector<sent_t> g_sent;
int g_walk_calls = 0;
t_zor_db_entry *g_markers[OST_MODULE_MAX][ZOR_AF_COUNT];

uint32_t client_id(const t_zor_client *client)
{
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (g_zor_context->clients[id] == client) {
            return id;
        }
    }
    return 0;
}

int test_client_walk(t_zor_client *client, zor_af_t af)
{
    t_zor_context *ctx = g_zor_context;
    uint32_t id = client_id(client);
    // The real clients of the context are not this test's business.
    if (client != fake_client(id)) {
        return 0;
    }
    g_walk_calls++;
    t_zor_db_entry *marker = g_markers[id][af];
    if (marker == nullptr) {
        return 0;
    }
    t_zor_db_entry *e = marker->next;
    while (e != nullptr) {
        if (e->flags & ZOR_ENTRY_MARKER) {
            e = e->next;
            continue;
        }
        e->flags |= ZOR_ENTRY_BROWSE;
        zor_msg_t msg{};
        bool withdrawn = (e->flags & ZOR_ENTRY_WITHDRAWN) != 0;
        if (withdrawn && zor_bitmap_test(e->sent_bitmap, id)) {
            zor_af_fill_msg(af, e, &msg, 1);
            g_sent.push_back({id, msg.body.data_device.addr.u.v4, msg.body.data_device.status, true});
            zor_bitmap_clear(e->sent_bitmap, id);
            zor_af_withdraw(af, ctx, e->client_p, e);
        } else if (!withdrawn) {
            zor_af_fill_msg(af, e, &msg, 0);
            g_sent.push_back({id, msg.body.data_device.addr.u.v4, msg.body.data_device.status, false});
            zor_bitmap_set(e->sent_bitmap, id);
        }
        e->flags &= ~ZOR_ENTRY_BROWSE;
        t_zor_db_entry *next = e->next;
        if (e->flags & ZOR_ENTRY_DEL) {
            zor_db_entry_free(ctx, e);
        }
        e = next;
    }
    t_zor_db_list *list = zor_db_list(ctx, af);
    zor_db_list_remove(list, marker);
    zor_db_list_insert_tail(list, marker);
    return 0;
}

std::vector<uint32_t> list_keys(t_zor_context *ctx, zor_af_t af)
{
    std::vector<uint32_t> keys;
    for (t_zor_db_entry *e = zor_db_list(ctx, af)->first; e != nullptr; e = e->next) {
        keys.push_back((e->flags & ZOR_ENTRY_MARKER) ? 0 : zt::test_family_record(e)->key);
    }
    return keys;
}

// The test family serves VPN-SEC and PEER-SEC (one table, two columns); the
// other families have empty columns.
class ZorDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        zt::test_family_log() = zt::TestFamilyLog{};
        zor_af_register(ZOR_AF_VPN_SEC, zt::test_family_ops());
        zor_af_register(ZOR_AF_PEER_SEC, zt::test_family_ops());
        g_sent.clear();
        g_walk_calls = 0;
        memset(g_markers, 0, sizeof(g_markers));
        daemon_ = std::make_unique<zt::TestDaemon>();
        ASSERT_EQ(daemon_->init_rc(), 0);
        ctx_ = daemon_->ctx();
        zor_db_client_walk_set(test_client_walk);
    }
    void TearDown() override
    {
        for (uint32_t id : used_) {
            ctx_->clients[id] = nullptr;
        }
        for (auto &per_client : g_markers) {
            for (t_zor_db_entry *&m : per_client) {
                if (m != nullptr) {
                    zor_db_entry_free(ctx_, m);
                    m = nullptr;
                }
            }
        }
        daemon_.reset();
        zor_db_client_walk_set(nullptr);
        zor_af_register(ZOR_AF_VPN_SEC, nullptr);
        zor_af_register(ZOR_AF_PEER_SEC, nullptr);
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    // Puts a stand-in client into the table; with a family, registers it
    // there with a marker at the head of the change list.
    t_zor_client *client(uint32_t id, zor_af_t af = ZOR_AF_COUNT)
    {
        ctx_->clients[id] = fake_client(id);
        used_.push_back(id);
        if (af < ZOR_AF_COUNT) {
            g_markers[id][af] = zor_db_marker_create(ctx_, fake_client(id), af, 1);
        }
        return fake_client(id);
    }
    t_zor_db_entry *add(zor_af_t af, uint32_t key, uint32_t payload, t_zor_client *owner = nullptr)
    {
        return zt::test_family_add(ctx_, af, owner, key, payload);
    }
    void del(zor_af_t af, uint32_t key, t_zor_client *owner = nullptr)
    {
        zor_msg_t msg = zt::test_family_msg(af, key, 0, true);
        zor_af_delete(af, ctx_, owner, &msg);
    }
    bool walk_pending() { return event_pending(ctx_->walk_event, EV_TIMEOUT, nullptr) != 0; }

    std::unique_ptr<zt::TestDaemon> daemon_;
    t_zor_context *ctx_ = nullptr;
    std::vector<uint32_t> used_;
};

TEST(ZorAf, NamesAndMessageTypes)
{
    const char *names[] = {"TLOC-IPV4",        "TLOC-IPV6", "CTRL-DEVICE-IPV4", "CTRL-DEVICE-IPV6", "DATA-DEVICE-IPV4",
                           "DATA-DEVICE-IPV6", "VPN-SEC",   "PEER-SEC",         "LINK",             "TRACKER"};
    const uint32_t add_types[] = {5, 5, 9, 9, 11, 11, 13, 15, 7, 17};
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_STREQ(zor_af_str(af), names[af]);
        EXPECT_EQ(zor_msg_type_for_af(af, 0), add_types[af]);
        EXPECT_EQ(zor_msg_type_for_af(af, 1), add_types[af] + 1);
    }
    EXPECT_STREQ(zor_af_str(10), "UNKNOWN");
    EXPECT_STREQ(zor_af_str(4294967295u), "UNKNOWN");
    EXPECT_EQ(zor_msg_type_for_af(ZOR_AF_LINK, 1), 8u);
    EXPECT_EQ(zor_msg_type_for_af(ZOR_AF_TLOC_IPV6, 0), 5u);
}

TEST(ZorAf, MessageTypeOfAnUnknownFamilyStopsTheProcess)
{
    for (zor_af_t af : {10u, 11u, 4294967295u}) {
        zt::ChildResult r = zt::run_in_child([af] { (void)zor_msg_type_for_af(af, 0); });
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.out, "zord/zor_db:474: failed assertion `0'\n");
    }
}

TEST(ZorAf, EmptyColumns)
{
    // No family registered anywhere: every operation has its empty behaviour,
    // for the families, the two spare columns and values beyond the table.
    for (zor_af_t af : {0u, 8u, 9u, 10u, 11u, 12u, 4294967295u}) {
        EXPECT_EQ(zor_af_ops_get(af), nullptr);
        zor_msg_t msg = zt::test_family_msg(af, 1, 2);
        EXPECT_TRUE(zor_af_filter(af, &msg));
        EXPECT_EQ(zor_af_add(af, nullptr, nullptr, &msg), nullptr);
        avl_index_t where = 77;
        EXPECT_EQ(zor_af_find(af, nullptr, &msg, &where), nullptr);
        EXPECT_EQ(where, 77u);
        EXPECT_EQ(zor_af_tree_create(af, nullptr), 0);
        zor_af_tree_destroy(af, nullptr);
        zor_af_withdraw(af, nullptr, nullptr, nullptr);
        zor_af_delete(af, nullptr, nullptr, &msg);
        zor_af_record_free(af, nullptr, nullptr);
        zor_msg_t out{};
        zor_af_fill_msg(af, nullptr, &out, 0);
        zor_msg_t zero{};
        EXPECT_EQ(memcmp(&out, &zero, sizeof(out)), 0);
        maapi_cli_capture cli(7, 8);
        zor_af_show(af, nullptr, nullptr, cli.uinfo());
        zor_af_show_all(af, nullptr, cli.uinfo());
        EXPECT_EQ(cli.text(), "");
    }
}

TEST_F(ZorDb, DispatchReachesTheFamilyWithItsColumn)
{
    zt::TestFamilyLog &log = zt::test_family_log();
    // Only the registered columns created trees.
    EXPECT_EQ(log.events, (std::vector<std::string>{"tree_create 6", "tree_create 7"}));
    EXPECT_NE(ctx_->trees[ZOR_AF_VPN_SEC], nullptr);
    EXPECT_NE(ctx_->trees[ZOR_AF_PEER_SEC], nullptr);
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_NE(ctx_->entry_lists[af], nullptr);
    }

    // One table serves both columns; each keeps its own tree.
    t_zor_db_entry *a = add(ZOR_AF_VPN_SEC, 1, 10);
    t_zor_db_entry *b = add(ZOR_AF_PEER_SEC, 1, 20);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->family, ZOR_AF_VPN_SEC);
    EXPECT_EQ(b->family, ZOR_AF_PEER_SEC);
    EXPECT_EQ(avl_numnodes(ctx_->trees[ZOR_AF_VPN_SEC]), 1u);
    EXPECT_EQ(avl_numnodes(ctx_->trees[ZOR_AF_PEER_SEC]), 1u);
    zor_msg_t msg = zt::test_family_msg(ZOR_AF_PEER_SEC, 1, 0);
    EXPECT_EQ(zor_af_find(ZOR_AF_PEER_SEC, ctx_, &msg, nullptr), b);
    EXPECT_EQ(log.last_af, ZOR_AF_PEER_SEC);
    msg.body.data_device.addr = ip_addr_v4(2);
    avl_index_t where = 0;
    EXPECT_EQ(zor_af_find(ZOR_AF_VPN_SEC, ctx_, &msg, &where), nullptr);
    EXPECT_NE(where, 0u);

    // The filter of the family decides; an add without filter is accepted.
    zor_msg_t bad = zt::test_family_msg(ZOR_AF_VPN_SEC, 3, 0xdead);
    EXPECT_FALSE(zor_af_filter(ZOR_AF_VPN_SEC, &bad));
    EXPECT_TRUE(zor_af_filter(ZOR_AF_LINK, &bad));

    zor_msg_t fill{};
    zor_af_fill_msg(ZOR_AF_PEER_SEC, b, &fill, 0);
    EXPECT_EQ(fill.body.data_device.status, 20u);

    maapi_cli_capture cli(3, 4);
    zor_af_show_all(ZOR_AF_VPN_SEC, ctx_, cli.uinfo());
    EXPECT_EQ(cli.text(), "    Key: 1, Payload: 10\n");
}

TEST_F(ZorDb, EqualAddDoesNotRescheduleAndChangesCoalesceIntoOneWalk)
{
    client(k_box, ZOR_AF_VPN_SEC);
    add(ZOR_AF_VPN_SEC, 1, 100);
    add(ZOR_AF_VPN_SEC, 2, 100);
    add(ZOR_AF_VPN_SEC, 1, 101);  // changed twice before any walk
    EXPECT_TRUE(walk_pending());
    daemon_->run_once();
    // One run of the walk event for three changes: one client walk per family.
    EXPECT_EQ(g_walk_calls, ZOR_AF_COUNT);
    EXPECT_EQ(g_sent, (std::vector<sent_t>{{k_box, 2, 100, false}, {k_box, 1, 101, false}}));
    EXPECT_FALSE(walk_pending());

    // An add with equal contents schedules nothing.
    t_zor_db_entry *e1 = add(ZOR_AF_VPN_SEC, 1, 101);
    EXPECT_FALSE(walk_pending());
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{2, 1, 0}));
    // A change moves the entry behind the client's marker again.
    ASSERT_NE(e1, nullptr);
    ASSERT_NE(add(ZOR_AF_VPN_SEC, 2, 102), nullptr);
    EXPECT_TRUE(walk_pending());
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{1, 0, 2}));
    g_sent.clear();
    daemon_->run_once();
    EXPECT_EQ(g_sent, (std::vector<sent_t>{{k_box, 2, 102, false}}));
}

TEST_F(ZorDb, WithdrawnEntryWithoutHoldersIsFreedAtOnce)
{
    t_zor_client *owner = client(k_host);
    add(ZOR_AF_VPN_SEC, 5, 1, owner);
    add(ZOR_AF_VPN_SEC, 6, 1, owner);
    uint64_t entries = zt::mem_current(ZOR_MEM_DB_ENTRY);
    // Only the owner may withdraw in this family.
    del(ZOR_AF_VPN_SEC, 5, client(k_box));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries);
    del(ZOR_AF_VPN_SEC, 5, owner);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries - 1);
    EXPECT_EQ(zt::test_family_log().events.back(), "free 5");
    EXPECT_EQ(avl_numnodes(ctx_->trees[ZOR_AF_VPN_SEC]), 1u);
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{6}));
    // Deleting an unknown key changes nothing.
    del(ZOR_AF_VPN_SEC, 5, owner);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries - 1);
}

TEST_F(ZorDb, WithdrawnEntryHeldByClientsStaysUntilEveryDeletionWasSent)
{
    client(k_box, ZOR_AF_PEER_SEC);
    client(k_tether, ZOR_AF_PEER_SEC);
    t_zor_db_entry *e = add(ZOR_AF_PEER_SEC, 9, 1);
    daemon_->run_once();
    ASSERT_EQ(g_sent.size(), 2u);
    char text[512];
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, e, text, sizeof(text)), "boxkeeperd tether_0 ");

    uint64_t entries = zt::mem_current(ZOR_MEM_DB_ENTRY);
    del(ZOR_AF_PEER_SEC, 9);
    // Out of the tree, still on the list behind both markers.
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries);
    EXPECT_TRUE(e->flags & ZOR_ENTRY_WITHDRAWN);
    EXPECT_EQ(avl_numnodes(ctx_->trees[ZOR_AF_PEER_SEC]), 0u);
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_PEER_SEC), (std::vector<uint32_t>{0, 0, 9}));
    g_sent.clear();
    daemon_->run_once();
    // Each holder was sent the deletion; the last one freed the entry.
    EXPECT_EQ(g_sent, (std::vector<sent_t>{{k_box, 9, 0, true}, {k_tether, 9, 0, true}}));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries - 1);
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_PEER_SEC), (std::vector<uint32_t>{0, 0}));
}

// What a walk callback does, per key, and what it saw.
struct walk_script {
    t_zor_context *ctx;
    std::vector<std::string> *events;
    std::function<void(uint32_t key)> on_visit;
};

int script_cb(t_zor_db_entry *entry, void *arg, void *arg2, void *arg3)
{
    auto *s = static_cast<walk_script *>(arg);
    uint32_t key = zt::test_family_record(entry)->key;
    EXPECT_TRUE(entry->flags & ZOR_ENTRY_BROWSE);
    EXPECT_EQ(arg2, reinterpret_cast<void *>(0x22));
    EXPECT_EQ(arg3, reinterpret_cast<void *>(0x33));
    s->events->push_back("visit " + std::to_string(key));
    if (s->on_visit) {
        s->on_visit(key);
    }
    return static_cast<int>(key);
}

TEST_F(ZorDb, EntryWithdrawnWhileHeldIsFreedByTheWalkRightAfterItsVisit)
{
    std::vector<t_zor_db_entry *> e;
    for (uint32_t k = 1; k <= 4; k++) {
        e.push_back(add(ZOR_AF_VPN_SEC, k, 0));
    }
    std::vector<std::string> &events = zt::test_family_log().events;
    events.clear();
    walk_script s{ctx_, &events, nullptr};
    s.on_visit = [&](uint32_t key) {
        if (key == 1) {
            // Withdraw the entry being visited and one still ahead.
            del(ZOR_AF_VPN_SEC, 1);
            del(ZOR_AF_VPN_SEC, 3);
            EXPECT_EQ(e[0]->flags, ZOR_ENTRY_BROWSE | ZOR_ENTRY_WITHDRAWN | ZOR_ENTRY_DEL);
            EXPECT_EQ(e[2]->flags, ZOR_ENTRY_BROWSE | ZOR_ENTRY_WITHDRAWN | ZOR_ENTRY_DEL);
            EXPECT_NE(e[0]->record, nullptr);
        }
    };
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_VPN_SEC, script_cb, &s, reinterpret_cast<void *>(0x22),
                          reinterpret_cast<void *>(0x33)),
              4);
    // An entry that existed when the walk began is still visited, then freed.
    EXPECT_EQ(events, (std::vector<std::string>{"visit 1", "free 1", "visit 2", "visit 3", "free 3", "visit 4"}));
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(e[1]->flags, 0u);
    EXPECT_EQ(e[3]->flags, 0u);
    // The walk gave the high-priority timers their chance.
    EXPECT_NE(daemon_->daemon()->last_yield.tv_sec, 0);
}

TEST_F(ZorDb, EntryRescheduledDuringAWalkMovesBehindItAndIsVisitedOnce)
{
    for (uint32_t k = 1; k <= 3; k++) {
        add(ZOR_AF_VPN_SEC, k, 0);
    }
    daemon_->run_once();
    std::vector<std::string> events;
    walk_script s{ctx_, &events, nullptr};
    s.on_visit = [&](uint32_t key) {
        if (key == 1) {
            // Reschedule the entry being visited and one ahead, and add one.
            add(ZOR_AF_VPN_SEC, 1, 11);
            add(ZOR_AF_VPN_SEC, 2, 22);
            add(ZOR_AF_VPN_SEC, 4, 44);
            EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{1, 2, 3, 0, 4}));
        }
    };
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_VPN_SEC, script_cb, &s, reinterpret_cast<void *>(0x22),
                          reinterpret_cast<void *>(0x33)),
              3);
    EXPECT_EQ(events, (std::vector<std::string>{"visit 1", "visit 2", "visit 3"}));
    EXPECT_EQ(list_keys(ctx_, ZOR_AF_VPN_SEC), (std::vector<uint32_t>{3, 4, 1, 2}));
    for (t_zor_db_entry *e = zor_db_list(ctx_, ZOR_AF_VPN_SEC)->first; e != nullptr; e = e->next) {
        EXPECT_EQ(e->flags, 0u);
    }
    // The moves armed the walk event.
    EXPECT_TRUE(walk_pending());

    // A family without a list, and a walk without callback.
    EXPECT_EQ(zor_db_walk(ctx_, 10, script_cb, &s, nullptr, nullptr), 0);
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_LINK, script_cb, &s, nullptr, nullptr), 0);
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_VPN_SEC, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(ZorDb, DumpShowsMarkersOwnersFlagsAndFamilyDetails)
{
    t_zor_client *box = client(k_box, ZOR_AF_VPN_SEC);
    t_zor_db_entry *mine = add(ZOR_AF_VPN_SEC, 7, 70, box);
    t_zor_db_entry *zords = add(ZOR_AF_VPN_SEC, 8, 80);
    t_zor_db_entry *marker = g_markers[k_box][ZOR_AF_VPN_SEC];
    t_zor_db_entry *link_marker = zor_db_marker_create(ctx_, nullptr, ZOR_AF_LINK, 0);
    ASSERT_NE(link_marker, nullptr);

    auto entry_line = [](const t_zor_db_entry *e, const char *af, const char *owner, const char *flags) {
        char buf[256];
        snprintf(buf, sizeof(buf), "ZOR-Entry: (%p), %s, Owner: %s, Flags: %s", static_cast<const void *>(e), af,
                 owner, flags);
        return std::string(buf);
    };
    std::vector<std::string> expected = {"======================", "ZOR Database", "======================"};
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        expected.push_back(zor_af_str(af));
        expected.push_back("=============");
        if (af == ZOR_AF_TLOC_IPV4) {
            // The path walk's marker.
            for (const std::string &line : std::initializer_list<std::string>{"", entry_line(ctx_->path_walk_marker, "TLOC-IPV4", "zor", "(0x1) MARKER "), ""}) {
                expected.push_back(line);
            }
        }
        if (af == ZOR_AF_VPN_SEC) {
            for (const std::string &line : std::initializer_list<std::string>{"", entry_line(marker, "VPN-SEC", "boxkeeperd", "(0x1) MARKER "), "", "",
                              entry_line(mine, "VPN-SEC", "boxkeeperd", "(0x0) "), "    Key: 7, Payload: 70", "",
                              entry_line(zords, "VPN-SEC", "zor", "(0x0) "), "    Key: 8, Payload: 80"}) {
                expected.push_back(line);
            }
        }
        if (af == ZOR_AF_LINK) {
            for (const std::string &line : std::initializer_list<std::string>{"", entry_line(link_marker, "LINK", "zor", "(0x1) MARKER "), ""}) {
                expected.push_back(line);
            }
        }
    }
    maapi_cli_capture cli(5, 6);
    zor_db_dump(cli.uinfo());
    EXPECT_EQ(zt::split_lines(cli.text()), expected);

    // Inside a walk: the held entries read BROWSE and the walk's own marker
    // stands at the tail.
    std::vector<std::string> inside;
    walk_script s{ctx_, &inside, nullptr};
    s.on_visit = [&](uint32_t key) {
        if (key != 7) {
            return;
        }
        cli.clear();
        zor_db_dump(cli.uinfo());
        std::vector<std::string> lines = zt::split_lines(cli.text());
        std::vector<std::string> vpn;
        bool in = false;
        for (const std::string &l : lines) {
            if (l == "VPN-SEC") {
                in = true;
            } else if (l == "PEER-SEC") {
                in = false;
            }
            if (in && l.rfind("ZOR-Entry", 0) == 0) {
                vpn.push_back(l.substr(l.find("Owner")));
            }
        }
        EXPECT_EQ(vpn, (std::vector<std::string>{"Owner: boxkeeperd, Flags: (0x1) MARKER ",
                                                 "Owner: boxkeeperd, Flags: (0x2) BROWSE ",
                                                 "Owner: zor, Flags: (0x2) BROWSE ", "Owner: zor, Flags: (0x1) MARKER "}));
    };
    zor_db_walk(ctx_, ZOR_AF_VPN_SEC, script_cb, &s, reinterpret_cast<void *>(0x22), reinterpret_cast<void *>(0x33));
    EXPECT_EQ(inside.size(), 2u);
    zor_db_entry_free(ctx_, link_marker);
}

TEST_F(ZorDb, FlagAndClientTexts)
{
    t_zor_db_entry e{};
    char buf[512];
    EXPECT_STREQ(zor_db_entry_flags_str(&e, buf, sizeof(buf)), "");
    e.flags = ZOR_ENTRY_WITHDRAWN;
    EXPECT_STREQ(zor_db_entry_flags_str(&e, buf, sizeof(buf)), "");
    e.flags = ZOR_ENTRY_SCHED | ZOR_ENTRY_BROWSE | ZOR_ENTRY_DEL | ZOR_ENTRY_MARKER | ZOR_ENTRY_WITHDRAWN;
    EXPECT_STREQ(zor_db_entry_flags_str(&e, buf, sizeof(buf)), "MARKER DEL BROWSE SCHED ");
    e.flags = ZOR_ENTRY_SCHED | ZOR_ENTRY_BROWSE;
    EXPECT_STREQ(zor_db_entry_flags_str(&e, buf, sizeof(buf)), "BROWSE SCHED ");
    char small[6];
    EXPECT_STREQ(zor_db_entry_flags_str(&e, small, sizeof(small)), "BROWS");

    // A marker has no bitmap; an entry nobody holds gives the empty text.
    e.flags = ZOR_ENTRY_MARKER;
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "");
    uint8_t bits[ZOR_SENT_BITMAP_BYTES] = {};
    e.sent_bitmap = bits;
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "");
    // Only ids with a client record count, in id order.
    client(k_tether);
    client(k_box);
    for (uint32_t id : {k_tether, k_host, k_box}) {
        zor_bitmap_set(bits, id);
    }
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "boxkeeperd tether_0 ");
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, small, sizeof(small)), "boxke");
}

TEST(ZorBitmap, FindsTheFirstMatchingBit)
{
    uint8_t bits[ZOR_SENT_BITMAP_BYTES] = {};
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), -1);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), 0);
    // A whole byte of set bits (ids 40-47): the first of them is found.
    for (uint32_t id = 40; id <= 47; id++) {
        zor_bitmap_set(bits, id);
    }
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), 40);
    zor_bitmap_set(bits, 45);
    zor_bitmap_set(bits, 200);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), 40);
    // Clear bits after full bytes.
    memset(bits, 0xff, 6);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), 48);
    bits[6] = 0xf7;
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), 51);
    memset(bits, 0xff, sizeof(bits));
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), -1);
    // The last byte is examined whole.
    memset(bits, 0, sizeof(bits));
    zor_bitmap_set(bits, 231);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), 231);
    EXPECT_EQ(zor_bitmap_find(bits, 224, 1), -1);
    EXPECT_EQ(zor_bitmap_find(bits, 0, 0), -1);
}

TEST(ZorDbLifecycle, FailedFamilyTreeUnwindsTheContext)
{
    zt::test_family_log() = zt::TestFamilyLog{};
    zt::test_family_log().fail_tree_create = ZOR_AF_PEER_SEC;
    zor_af_register(ZOR_AF_VPN_SEC, zt::test_family_ops());
    zor_af_register(ZOR_AF_PEER_SEC, zt::test_family_ops());
    {
        zt::LogCapture log;
        zt::TestDaemon d;
        EXPECT_EQ(d.init_rc(), 2);
        EXPECT_EQ(g_zor_context, nullptr);
        EXPECT_EQ(log.count("zor_context_init["), 1u);
        EXPECT_EQ(log.count("]: Failed to initialize Database"), 1u);
        EXPECT_EQ(log.count("Failed to initialize groups"), 0u);
        // The tree that was made is destroyed again.
        EXPECT_EQ(zt::test_family_log().events,
                  (std::vector<std::string>{"tree_create 6", "tree_create 7", "tree_destroy 6"}));
        d.free();
    }
    zor_af_register(ZOR_AF_VPN_SEC, nullptr);
    zor_af_register(ZOR_AF_PEER_SEC, nullptr);
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

TEST(ZorDbLifecycle, TeardownFreesEveryEntryRecordAndMarker)
{
    zt::test_family_log() = zt::TestFamilyLog{};
    zor_af_register(ZOR_AF_VPN_SEC, zt::test_family_ops());
    zor_af_register(ZOR_AF_PEER_SEC, zt::test_family_ops());
    {
        zt::TestDaemon d;
        ASSERT_EQ(d.init_rc(), 0);
        t_zor_context *ctx = d.ctx();
        EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_LIST), uint64_t{ZOR_AF_COUNT});
        // A tree per family that has one (the test family's two among
        // them), the group tree and any further tree a family keeps.
        uint64_t trees = 1 + (ctx->local_tloc_db_p != nullptr ? 1 : 0);
        for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
            trees += ctx->trees[af] != nullptr ? 1 : 0;
        }
        EXPECT_NE(ctx->trees[ZOR_AF_VPN_SEC], nullptr);
        EXPECT_NE(ctx->trees[ZOR_AF_PEER_SEC], nullptr);
        EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_TREE), trees);
        for (uint32_t k = 0; k < 50; k++) {
            zt::test_family_add(ctx, ZOR_AF_VPN_SEC, nullptr, k, k);
            zt::test_family_add(ctx, ZOR_AF_PEER_SEC, nullptr, k, k);
        }
        // A withdrawn entry still held by a client, and markers.
        t_zor_db_entry *held = zt::test_family_add(ctx, ZOR_AF_PEER_SEC, nullptr, 1000, 1);
        zor_bitmap_set(held->sent_bitmap, 200);
        zor_msg_t msg = zt::test_family_msg(ZOR_AF_PEER_SEC, 1000, 0, true);
        zor_af_delete(ZOR_AF_PEER_SEC, ctx, nullptr, &msg);
        EXPECT_TRUE(held->flags & ZOR_ENTRY_WITHDRAWN);
        ASSERT_NE(zor_db_marker_create(ctx, nullptr, ZOR_AF_TRACKER, 1), nullptr);
        ASSERT_NE(zor_db_marker_create(ctx, nullptr, ZOR_AF_VPN_SEC, 0), nullptr);
        EXPECT_EQ(zor_db_marker_create(ctx, nullptr, 10, 0), nullptr);
        EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), 104u);  // with the path walk's marker
        EXPECT_EQ(zt::mem_current(ZOR_MEM_TRACKER), 101u);
        d.free();
    }
    EXPECT_EQ(zt::test_family_log().records_freed, 101);
    zor_af_register(ZOR_AF_VPN_SEC, nullptr);
    zor_af_register(ZOR_AF_PEER_SEC, nullptr);
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

}  // namespace
