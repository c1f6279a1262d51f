#include "zor_af_test_harness.h"

#include <gtest/gtest.h>

#include <event2/event.h>

#include "maapi_cli.h"
#include "zor_client.h"

namespace zt {

namespace {

std::vector<SentMsg> *g_sink = nullptr;

void send_one(t_zor_client *client, t_zor_db_entry *entry, uint8_t is_delete)
{
    zor_msg_t msg{};
    msg.type = zor_msg_type_for_af(entry->family, is_delete);
    msg.sender = OST_MODULE_ZORD;
    msg.family = entry->family;
    zor_af_fill_msg(entry->family, entry, &msg, is_delete);
    if (g_sink != nullptr) {
        g_sink->push_back({client->id, codec_roundtrip(msg)});
    }
}

// The client walk: every entry after the client's marker, then the marker
// to the tail. A withdrawn entry goes out as a deletion to the clients that
// hold it, after which its owner's withdraw frees it once nobody does.
int harness_client_walk(t_zor_client *client, zor_af_t af)
{
    t_zor_context *ctx = client->context;
    t_zor_db_entry *marker = client->marker[af];
    if (marker == nullptr) {
        return 0;
    }
    t_zor_db_entry *e = marker->next;
    bool sent = false;
    while (e != nullptr) {
        if (e->flags & ZOR_ENTRY_MARKER) {
            e = e->next;
            continue;
        }
        e->flags |= ZOR_ENTRY_BROWSE;
        if (e->flags & ZOR_ENTRY_WITHDRAWN) {
            if (zor_bitmap_test(e->sent_bitmap, client->id)) {
                send_one(client, e, 1);
                zor_bitmap_clear(e->sent_bitmap, client->id);
                zor_af_withdraw(af, ctx, e->client_p, e);
            }
        } else {
            send_one(client, e, 0);
            zor_bitmap_set(e->sent_bitmap, client->id);
        }
        sent = true;
        e->flags &= ~ZOR_ENTRY_BROWSE;
        t_zor_db_entry *next = e->next;
        if (e->flags & ZOR_ENTRY_DEL) {
            zor_db_entry_free(ctx, e);
        }
        e = next;
    }
    if (sent) {
        t_zor_db_list *list = zor_db_list(ctx, af);
        zor_db_list_remove(list, marker);
        zor_db_list_insert_tail(list, marker);
    }
    return 0;
}

}  // namespace

FamilyHarness::FamilyHarness() : daemon_(std::make_unique<TestDaemon>())
{
    zor_db_client_walk_set(harness_client_walk);
}

FamilyHarness::~FamilyHarness()
{
    teardown();
}

t_zor_client *FamilyHarness::client(uint32_t id, std::initializer_list<zor_af_t> families)
{
    t_zor_context *c = ctx();
    EXPECT_EQ(c->clients[id], nullptr) << "slot " << id << " is taken: use an id that is not a peer's";
    auto *client = zor_mem_new<t_zor_client>();
    client->id = id;
    client->context = c;
    c->clients[id] = client;
    ids_.push_back(id);
    for (zor_af_t af : families) {
        client->announce[af] = 1;
        client->marker[af] = zor_db_marker_create(c, client, af, 1);
    }
    return client;
}

bool FamilyHarness::walk_pending() const
{
    return ctx() != nullptr && ctx()->walk_event != nullptr &&
           event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr) != 0;
}

std::vector<SentMsg> FamilyHarness::deliver()
{
    std::vector<SentMsg> out;
    if (!walk_pending()) {
        return out;
    }
    g_sink = &out;
    while (walk_pending()) {
        daemon_->run_once();
    }
    g_sink = nullptr;
    return out;
}

void FamilyHarness::teardown()
{
    if (!daemon_) {
        return;
    }
    t_zor_context *c = ctx();
    for (uint32_t id : ids_) {
        t_zor_client *client = c->clients[id];
        for (t_zor_db_entry *&m : client->marker) {
            if (m != nullptr) {
                zor_db_entry_free(c, m);
                m = nullptr;
            }
        }
        c->clients[id] = nullptr;
        zor_mem_delete(client);
    }
    ids_.clear();
    daemon_.reset();
    zor_db_client_walk_set(nullptr);
}

zor_msg_t codec_roundtrip(const zor_msg_t &msg)
{
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    zor_msg_t out{};
    EXPECT_EQ(zor_msg_encode(&msg, buf, &len), 0) << "type " << msg.type;
    EXPECT_EQ(zor_msg_decode(&out, buf, len), 0) << "type " << msg.type;
    return out;
}

std::string show_text(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry)
{
    maapi_cli_capture cli(21, 22);
    zor_af_show(af, ctx, entry, cli.uinfo());
    return cli.text();
}

}  // namespace zt
