// The database on a real daemon context: family tables and their empty
// columns, the change lists with their markers, deferred freeing, the walk,
// the walk event, the dump and the helpers of the dumps.
#include <gtest/gtest.h>

#include <cstring>
#include <event2/event.h>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "test_support.h"
#include "zor_db.h"
#include "zor_mem.h"
#include "zor_fake_peer.h"

namespace {

using Keys = std::vector<uint32_t>;
using Strings = std::vector<std::string>;

// A small family on VPN-SEC and PEER-SEC (one table, two columns): one entry
// per 32-bit key with one payload word, carried in the data-device body of a
// message (address = key, status = payload). It keeps the contract of every
// family module (find with insertion point, create or update, withdraw only
// for the owner, record freed through record_free) and logs what the
// database asks of it. The columns it leaves null are empty ones.
struct Record {
    uint32_t key;
    uint32_t payload;
};
constexpr uint32_t k_rejected = 0xdead;  // the filter refuses this payload
struct FamilyLog {
    Strings events;  // "free <key>", "tree_create <af>", ...
    uint32_t last_af = 0xffffffff;  // of the last find
    int records_freed = 0;
    zor_af_t fail_tree_create = 0xffffffff;  // tree_create of this family fails
} g_fam;

Record *rec(const t_zor_db_entry *entry)
{
    return static_cast<Record *>(entry->record);
}

zor_msg_t fam_msg(zor_af_t af, uint32_t key, uint32_t payload, bool is_delete = false)
{
    zor_msg_t msg{};
    msg.type = af < ZOR_AF_COUNT ? zor_msg_type_for_af(af, is_delete ? 1 : 0) : 0;
    msg.family = af;
    msg.body.data_device.addr = ip_addr_v4(key);
    msg.body.data_device.status = payload;
    return msg;
}

t_zor_db_entry *fam_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    g_fam.last_af = af;
    Record probe{msg->body.data_device.addr.u.v4, 0};
    t_zor_db_entry templ{};
    templ.record = &probe;
    return static_cast<t_zor_db_entry *>(avl_find(ctx->trees[af], &templ, where));
}

t_zor_db_entry *fam_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    avl_index_t where = 0;
    t_zor_db_entry *entry = fam_find(af, ctx, msg, &where);
    const uint32_t payload = msg->body.data_device.status;
    if (entry != nullptr && rec(entry)->payload == payload) {
        return entry;
    }
    if (entry == nullptr) {
        auto *r = static_cast<Record *>(zor_mem_calloc(1, sizeof(Record), ZOR_MEM_TRACKER));
        *r = {msg->body.data_device.addr.u.v4, payload};
        entry = zor_db_entry_alloc(af, client, r);
        avl_insert(ctx->trees[af], entry, where);
        zor_db_entry_append(ctx, entry);
    }
    rec(entry)->payload = payload;
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

void fam_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    if (entry->client_p != client) {
        return;
    }
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
        avl_remove(ctx->trees[af], entry);
    }
    zor_db_entry_withdrawn(ctx, entry);
}

const zor_af_ops_t k_fam_ops = {
    [](zor_af_t, const zor_msg_t *msg) { return msg->body.data_device.status != k_rejected; },
    fam_add,
    fam_withdraw,
    [](zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg) {
        if (t_zor_db_entry *entry = fam_find(af, ctx, msg, nullptr)) {
            fam_withdraw(af, ctx, client, entry);
        }
    },
    fam_find,
    [](zor_af_t af, t_zor_context *ctx) {
        g_fam.events.push_back("tree_create " + std::to_string(af));
        if (af == g_fam.fail_tree_create) {
            return 2;
        }
        ctx->trees[af] = zor_mem_new<avl_tree_t>();
        avl_create(ctx->trees[af],
                   [](const void *a, const void *b) {
                       const uint32_t x = rec(static_cast<const t_zor_db_entry *>(a))->key;
                       const uint32_t y = rec(static_cast<const t_zor_db_entry *>(b))->key;
                       return x < y ? -1 : (x > y ? 1 : 0);
                   },
                   sizeof(t_zor_db_entry), 0);
        return 0;
    },
    [](zor_af_t af, t_zor_context *ctx) {
        if (ctx->trees[af] != nullptr) {
            g_fam.events.push_back("tree_destroy " + std::to_string(af));
            avl_destroy(ctx->trees[af]);
            zor_mem_delete(ctx->trees[af]);
            ctx->trees[af] = nullptr;
        }
    },
    [](zor_af_t, t_zor_context *, t_zor_db_entry *entry) {
        g_fam.events.push_back("free " + std::to_string(rec(entry)->key));
        g_fam.records_freed++;
        zor_mem_free(entry->record, ZOR_MEM_TRACKER);
        entry->record = nullptr;
    },
    nullptr,
    [](zor_af_t, t_zor_context *, t_zor_db_entry *entry, confd_user_info *uinfo) {
        maapi_cli_printf(uinfo->msock, uinfo->usid, "    Key: %u, Payload: %u\n", rec(entry)->key,
                         rec(entry)->payload);
    },
    nullptr,
};

// The family on both columns from now until the end of the scope, with a
// fresh log.
struct FamilyRegistration {
    explicit FamilyRegistration(zor_af_t fail_tree_create = 0xffffffff)
    {
        g_fam = FamilyLog{};
        g_fam.fail_tree_create = fail_tree_create;
        zor_af_register(ZOR_AF_VPN_SEC, &k_fam_ops);
        zor_af_register(ZOR_AF_PEER_SEC, &k_fam_ops);
    }
    ~FamilyRegistration()
    {
        zor_af_register(ZOR_AF_VPN_SEC, nullptr);
        zor_af_register(ZOR_AF_PEER_SEC, nullptr);
    }
};

int g_walk_calls = 0;
void count_walk(t_zor_context *)
{
    g_walk_calls++;
}

// A walk callback: records the keys it visits and lets the test change the
// database from inside the walk.
struct Visits {
    Keys keys;
    std::function<void(uint32_t key)> on_visit;
};
int visit_cb(t_zor_db_entry *entry, void *arg, void *arg2, void *arg3)
{
    auto *v = static_cast<Visits *>(arg);
    EXPECT_TRUE(entry->flags & ZOR_ENTRY_BROWSE);
    EXPECT_EQ(arg2, &v->keys);
    EXPECT_EQ(arg3, &v->on_visit);
    v->keys.push_back(rec(entry)->key);
    if (v->on_visit) {
        v->on_visit(rec(entry)->key);
    }
    return static_cast<int>(rec(entry)->key);
}

class ZorDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(daemon_.init_rc(), 0);
        walk_.emplace(ctx_, count_walk);
        g_walk_calls = 0;
    }
    void TearDown() override
    {
        walk_.reset();
        daemon_.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    // An add through the database's dispatcher; the entry or null.
    t_zor_db_entry *add(uint32_t key, uint32_t payload, t_zor_client *owner = nullptr, zor_af_t af = ZOR_AF_VPN_SEC)
    {
        zor_msg_t msg = fam_msg(af, key, payload);
        return zor_af_add(af, ctx_, owner, &msg);
    }
    void del(uint32_t key, t_zor_client *owner = nullptr)
    {
        zor_msg_t msg = fam_msg(ZOR_AF_VPN_SEC, key, 0, true);
        zor_af_delete(ZOR_AF_VPN_SEC, ctx_, owner, &msg);
    }
    int walk(Visits &v) { return zor_db_walk(ctx_, ZOR_AF_VPN_SEC, visit_cb, &v, &v.keys, &v.on_visit); }
    bool walk_pending() { return event_pending(ctx_->walk_event, EV_TIMEOUT, nullptr) != 0; }
    // The keys of the change list in order, 0 for a marker.
    Keys keys()
    {
        Keys keys;
        for (t_zor_db_entry *e = zor_db_list(ctx_, ZOR_AF_VPN_SEC)->first; e != nullptr; e = e->next) {
            keys.push_back((e->flags & ZOR_ENTRY_MARKER) ? 0 : rec(e)->key);
        }
        return keys;
    }

    FamilyRegistration fam_;  // before the daemon: its trees are made at init
    zt::TestDaemon daemon_;
    std::optional<zt::WalkStandIn> walk_;
    t_zor_context *ctx_ = daemon_.ctx();
};

TEST(ZorAf, NamesMessageTypesAndEmptyColumns)
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
    for (zor_af_t af : {10u, 4294967295u}) {
        EXPECT_TRUE(zt::stops_on_assertion([af] { (void)zor_msg_type_for_af(af, 0); }, "zord/zor_db:474", "0"));
    }

    // Nothing registered: every operation has its empty behaviour, for the
    // families, the two spare columns and values beyond the table.
    for (zor_af_t af : {0u, 9u, 11u, 12u, 4294967295u}) {
        EXPECT_EQ(zor_af_ops_get(af), nullptr);
        zor_msg_t msg = fam_msg(af, 1, 2);
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
        const zor_msg_t zero{};
        zor_af_fill_msg(af, nullptr, &out, 0);
        EXPECT_EQ(memcmp(&out, &zero, sizeof(out)), 0);
        maapi_cli_capture cli(7, 8);
        zor_af_show(af, nullptr, nullptr, cli.uinfo());
        zor_af_show_all(af, nullptr, cli.uinfo());
        EXPECT_EQ(cli.text(), "");
    }
}

TEST_F(ZorDb, OneTableServesTwoColumnsEachWithItsOwnTree)
{
    EXPECT_EQ(g_fam.events, (Strings{"tree_create 6", "tree_create 7"})) << "registered columns only";
    t_zor_db_entry *a = add(1, 10);
    t_zor_db_entry *b = add(1, 20, nullptr, ZOR_AF_PEER_SEC);
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
    EXPECT_EQ(b->family, ZOR_AF_PEER_SEC);
    zor_msg_t msg = fam_msg(ZOR_AF_PEER_SEC, 1, 0);
    EXPECT_EQ(zor_af_find(ZOR_AF_PEER_SEC, ctx_, &msg, nullptr), b);
    EXPECT_EQ(g_fam.last_af, ZOR_AF_PEER_SEC);
    msg = fam_msg(ZOR_AF_VPN_SEC, 3, k_rejected);
    EXPECT_FALSE(zor_af_filter(ZOR_AF_VPN_SEC, &msg)) << "the family's filter decides";
}

TEST_F(ZorDb, ChangesMoveToTheTailAndCoalesceIntoOneWalk)
{
    t_zor_db_entry *head = zor_db_marker_create(ctx_, nullptr, ZOR_AF_VPN_SEC, 0);  // empty list: at the head
    add(1, 100);
    add(2, 100);
    add(1, 101);
    EXPECT_EQ(keys(), (Keys{0, 2, 1}));
    EXPECT_TRUE(walk_pending());
    daemon_.run_once();
    EXPECT_EQ(g_walk_calls, 1) << "three changes, one run of the walk event";
    EXPECT_FALSE(walk_pending());

    add(1, 101);  // equal contents
    EXPECT_FALSE(walk_pending());
    add(2, 102);
    EXPECT_TRUE(walk_pending());
    EXPECT_EQ(keys(), (Keys{0, 1, 2}));
    t_zor_db_entry *tail = zor_db_marker_create(ctx_, nullptr, ZOR_AF_VPN_SEC, 0);
    t_zor_db_entry *front = zor_db_marker_create(ctx_, nullptr, ZOR_AF_VPN_SEC, 1);
    EXPECT_EQ(keys(), (Keys{0, 0, 1, 2, 0}));
    EXPECT_EQ(zor_db_marker_create(ctx_, nullptr, 10, 0), nullptr) << "no list, no marker";
    for (t_zor_db_entry *m : {head, tail, front}) {
        zor_db_entry_free(ctx_, m);
    }
}

TEST_F(ZorDb, AWithdrawnEntryIsFreedAtOnceOrWaitsBehindTheMarkersForItsHolders)
{
    t_zor_client *owner = ctx_->clients[OST_MODULE_CTLAGENT];
    add(5, 1, owner);
    add(6, 1, owner);
    const uint64_t entries = zt::mem_current(ZOR_MEM_DB_ENTRY);
    del(5, ctx_->clients[OST_MODULE_POLICYD]);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries) << "only the owner withdraws in this family";
    del(5, owner);
    EXPECT_EQ(g_fam.events.back(), "free 5") << "nobody held it";
    EXPECT_EQ(keys(), (Keys{6}));
    del(5, owner);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_ENTRY), entries - 1);

    // Held by two clients: out of the tree, once to the tail, and there it
    // stays while the deletions go out one holder after the other.
    t_zor_db_entry *e = add(9, 1);
    t_zor_db_entry *marker = zor_db_marker_create(ctx_, nullptr, ZOR_AF_VPN_SEC, 0);
    zor_bitmap_set(e->sent_bitmap, OST_MODULE_POLICYD);
    zor_bitmap_set(e->sent_bitmap, OST_MODULE_PROBED);
    del(9);
    EXPECT_EQ(e->flags, ZOR_ENTRY_WITHDRAWN);
    EXPECT_EQ(avl_numnodes(ctx_->trees[ZOR_AF_VPN_SEC]), 1u);
    EXPECT_EQ(keys(), (Keys{6, 0, 9}));
    add(10, 1);
    zor_bitmap_clear(e->sent_bitmap, OST_MODULE_POLICYD);
    zor_af_withdraw(ZOR_AF_VPN_SEC, ctx_, nullptr, e);
    EXPECT_EQ(keys(), (Keys{6, 0, 9, 10})) << "not behind the later change";
    zor_bitmap_clear(e->sent_bitmap, OST_MODULE_PROBED);
    zor_af_withdraw(ZOR_AF_VPN_SEC, ctx_, nullptr, e);
    EXPECT_EQ(keys(), (Keys{6, 0, 10}));
    zor_db_entry_free(ctx_, marker);
}

TEST_F(ZorDb, AWalkVisitsWhatExistedOnceAndCarriesOutWhatWasDeferred)
{
    std::vector<t_zor_db_entry *> e;
    for (uint32_t k = 1; k <= 4; k++) {
        e.push_back(add(k, 0));
    }
    std::vector<std::string> &events = g_fam.events;
    events.clear();
    // Withdrawn while held, the visited entry and one ahead: each is still
    // visited, then freed right after its visit.
    Visits v;
    v.on_visit = [&](uint32_t key) {
        events.push_back("visit " + std::to_string(key));
        if (key == 1) {
            del(1);
            del(3);
            EXPECT_EQ(e[2]->flags, ZOR_ENTRY_BROWSE | ZOR_ENTRY_WITHDRAWN | ZOR_ENTRY_DEL);
        }
    };
    EXPECT_EQ(walk(v), 4);
    EXPECT_EQ(events, (Strings{"visit 1", "free 1", "visit 2", "visit 3", "free 3", "visit 4"}));
    EXPECT_EQ(keys(), (Keys{2, 4}));
    EXPECT_NE(daemon_.daemon()->last_yield.tv_sec, 0) << "the walk yields";

    // Rescheduled while held: moved behind the walk's marker once released
    // and not visited again; an entry added meanwhile is not visited.
    daemon_.run_once();
    Visits w;
    w.on_visit = [&](uint32_t key) {
        if (key == 2) {
            add(2, 22);
            add(4, 44);
            add(5, 55);
            EXPECT_EQ(keys(), (Keys{2, 4, 0, 5}));
        }
    };
    EXPECT_EQ(walk(w), 4);
    EXPECT_EQ(w.keys, (Keys{2, 4}));
    EXPECT_EQ(keys(), (Keys{5, 2, 4}));
    for (t_zor_db_entry *x = zor_db_list(ctx_, ZOR_AF_VPN_SEC)->first; x != nullptr; x = x->next) {
        EXPECT_EQ(x->flags, 0u);
    }
    EXPECT_TRUE(walk_pending());
    // No list, an empty list, no callback.
    EXPECT_EQ(zor_db_walk(ctx_, 10, visit_cb, &w, nullptr, nullptr), 0);
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_LINK, visit_cb, &w, nullptr, nullptr), 0);
    EXPECT_EQ(zor_db_walk(ctx_, ZOR_AF_VPN_SEC, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(w.keys.size(), 2u);
}

TEST_F(ZorDb, DumpShowsMarkersOwnersFlagsAndFamilyDetails)
{
    t_zor_client *owner = ctx_->clients[OST_MODULE_CTLAGENT];
    t_zor_db_entry *marker = zor_db_marker_create(ctx_, owner, ZOR_AF_VPN_SEC, 1);
    t_zor_db_entry *mine = add(7, 70, owner);
    t_zor_db_entry *zords = add(8, 80);
    t_zor_db_entry *link_marker = zor_db_marker_create(ctx_, nullptr, ZOR_AF_LINK, 0);
    auto line = [](const t_zor_db_entry *e, const char *af, const char *owner_name, const char *flags) {
        char buf[256];
        snprintf(buf, sizeof(buf), "ZOR-Entry: (%p), %s, Owner: %s, Flags: %s", static_cast<const void *>(e), af,
                 owner_name, flags);
        return std::string(buf);
    };
    Strings expected = {"======================", "ZOR Database", "======================"};
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        Strings body;
        if (af == ZOR_AF_TLOC_IPV4) {  // the path walk's marker
            body = {"", line(ctx_->path_walk_marker, "TLOC-IPV4", "zor", "(0x1) MARKER "), ""};
        } else if (af == ZOR_AF_VPN_SEC) {
            body = {"", line(marker, "VPN-SEC", "ctlagent", "(0x1) MARKER "), "", "",
                    line(mine, "VPN-SEC", "ctlagent", "(0x0) "), "    Key: 7, Payload: 70", "",
                    line(zords, "VPN-SEC", "zor", "(0x0) "), "    Key: 8, Payload: 80"};
        } else if (af == ZOR_AF_LINK) {
            body = {"", line(link_marker, "LINK", "zor", "(0x1) MARKER "), ""};
        }
        expected.push_back(zor_af_str(af));
        expected.push_back("=============");
        expected.insert(expected.end(), body.begin(), body.end());
    }
    maapi_cli_capture cli(5, 6);
    zor_db_dump(cli.uinfo());
    EXPECT_EQ(zt::split_lines(cli.text()), expected);

    zor_db_entry_free(ctx_, marker);
    zor_db_entry_free(ctx_, link_marker);
}

TEST_F(ZorDb, FlagAndClientTexts)
{
    t_zor_db_entry e{};
    char buf[512];
    char small[6];
    struct {
        uint32_t flags;
        const char *text;
    } cases[] = {
        {0, ""},
        {ZOR_ENTRY_WITHDRAWN, ""},
        {ZOR_ENTRY_SCHED | ZOR_ENTRY_BROWSE, "BROWSE SCHED "},
        {ZOR_ENTRY_SCHED | ZOR_ENTRY_BROWSE | ZOR_ENTRY_DEL | ZOR_ENTRY_MARKER | ZOR_ENTRY_WITHDRAWN,
         "MARKER DEL BROWSE SCHED "},
    };
    for (const auto &c : cases) {
        e.flags = c.flags;
        EXPECT_STREQ(zor_db_entry_flags_str(&e, buf, sizeof(buf)), c.text) << c.flags;
    }
    EXPECT_STREQ(zor_db_entry_flags_str(&e, small, sizeof(small)), "MARKE");

    // No bitmap (a marker) or no bit set: empty. Only ids with a client
    // record count, in id order.
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "");
    uint8_t bits[ZOR_SENT_BITMAP_BYTES] = {};
    e.sent_bitmap = bits;
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "");
    for (uint32_t id : {uint32_t{OST_MODULE_PROBED}, 7u, uint32_t{OST_MODULE_POLICYD}}) {
        zor_bitmap_set(bits, id);
    }
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, buf, sizeof(buf)), "policyd probed ");
    EXPECT_STREQ(zor_db_entry_clients_str(ctx_, &e, small, sizeof(small)), "polic");
}

TEST(ZorBitmap, FindsTheFirstMatchingBit)
{
    uint8_t bits[ZOR_SENT_BITMAP_BYTES] = {};
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), -1);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), 0);
    for (uint32_t id : {40u, 41u, 42u, 43u, 44u, 45u, 46u, 47u, 200u}) {
        zor_bitmap_set(bits, id);
    }
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), 40) << "a whole byte of set bits";
    memset(bits, 0xff, 6);
    bits[6] = 0xf7;
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), 51);
    memset(bits, 0xff, sizeof(bits));
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 0), -1);
    memset(bits, 0, sizeof(bits));
    zor_bitmap_set(bits, 231);
    EXPECT_EQ(zor_bitmap_find(bits, ZOR_SENT_BITMAP_BITS, 1), 231) << "the last byte is examined whole";
    EXPECT_EQ(zor_bitmap_find(bits, 224, 1), -1);
    EXPECT_EQ(zor_bitmap_find(bits, 0, 0), -1);
}

TEST(ZorDbLifecycle, AFailedFamilyTreeUnwindsTheContext)
{
    {
        FamilyRegistration fam(ZOR_AF_PEER_SEC);
        zt::LogCapture log;
        zt::TestDaemon d;
        EXPECT_EQ(d.init_rc(), 2);
        EXPECT_EQ(g_zor_context, nullptr);
        EXPECT_EQ(log.count("zor_context_init["), 1u);
        EXPECT_EQ(log.count("]: Failed to initialize Database"), 1u);
        EXPECT_EQ(g_fam.events, (Strings{"tree_create 6", "tree_create 7", "tree_destroy 6"}));
    }
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

TEST_F(ZorDb, TeardownFreesEveryEntryRecordAndMarker)
{
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DB_LIST), uint64_t{ZOR_AF_COUNT});
    for (uint32_t k = 0; k < 50; k++) {
        add(k, k);
        add(k, k, nullptr, ZOR_AF_PEER_SEC);
    }
    // A withdrawn entry still held by a client, and markers.
    t_zor_db_entry *held = add(1000, 1, nullptr, ZOR_AF_PEER_SEC);
    zor_bitmap_set(held->sent_bitmap, 200);
    zor_af_withdraw(ZOR_AF_PEER_SEC, ctx_, nullptr, held);
    ASSERT_NE(zor_db_marker_create(ctx_, nullptr, ZOR_AF_TRACKER, 1), nullptr);
    ASSERT_NE(zor_db_marker_create(ctx_, nullptr, ZOR_AF_VPN_SEC, 0), nullptr);
    walk_.reset();
    daemon_.free();  // TearDown checks that nothing is left
    EXPECT_EQ(g_fam.records_freed, 101);
}

}  // namespace
