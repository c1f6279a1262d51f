#include "zor_af_test_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <event2/event.h>
#include <unistd.h>

#include "maapi_cli.h"
#include "msgq_util.h"
#include "ost_rundir.h"
#include "zor_client.h"

namespace zt {

namespace {

std::string encode(const zor_msg_t &msg)
{
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    EXPECT_EQ(zor_msg_encode(&msg, buf, &len), 0) << "type " << msg.type;
    return std::string(reinterpret_cast<const char *>(buf), len);
}

}  // namespace

FamilyHarness::FamilyHarness() : daemon_(std::make_unique<TestDaemon>()) {}

FamilyHarness::~FamilyHarness()
{
    teardown();
}

void FamilyHarness::pass()
{
    event_base_loop(daemon_->daemon()->event_base.get(), EVLOOP_ONCE | EVLOOP_NONBLOCK);
}

void FamilyHarness::run_until(const std::function<bool()> &done)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) {
            ADD_FAILURE() << "zord did not get there";
            return;
        }
        pass();
        usleep(100);
    }
}

t_zor_client *FamilyHarness::client(uint32_t id, std::initializer_list<zor_af_t> families)
{
    t_zor_client *client = zor_client_get(ctx(), id);
    EXPECT_NE(client, nullptr) << id << " is not a peer of zord";
    if (client == nullptr) {
        return nullptr;
    }
    auto peer = std::make_unique<RawPeer>();
    char path[256];
    ost_run_path(path, sizeof(path), ".zord");
    EXPECT_TRUE(peer->connect_unix(path)) << path;
    peer->send_register(static_cast<uint8_t>(id), OST_MODULE_ZORD);
    peers_[id] = std::move(peer);
    run_until([&] { return msgq_is_connected(client->handle); });
    for (zor_af_t af : families) {
        zor_msg_t reg{};
        reg.type = ZOR_MSG_REGISTER;
        reg.family = af;
        reg.body.reg.announce = 1;
        reg.body.reg.originate = 1;
        peers_[id]->send_data(static_cast<uint8_t>(id), OST_MODULE_ZORD, encode(reg));
        run_until([&] { return client->marker[af] != nullptr; });
    }
    // A registration kicks the walk; let it run, so that what a test checks
    // afterwards is its own doing. What it sent stays for deliver().
    run_until([&] { return !walk_pending(); });
    return client;
}

void FamilyHarness::send(uint32_t id, zor_msg_t msg)
{
    t_zor_client *client = zor_client_get(ctx(), id);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(peers_.count(id)) << "no peer " << id;
    ASSERT_LT(msg.family, uint32_t{ZOR_AF_COUNT});
    msg.sender = id;
    const uint64_t before = client->counters[msg.family].received;
    peers_[id]->send_data(static_cast<uint8_t>(id), OST_MODULE_ZORD, encode(msg));
    run_until([&] { return client->counters[msg.family].received > before; });
}

void FamilyHarness::disconnect(uint32_t id)
{
    t_zor_client *client = zor_client_get(ctx(), id);
    ASSERT_NE(client, nullptr);
    peers_.erase(id);
    run_until([&] { return !msgq_is_connected(client->handle); });
}

bool FamilyHarness::walk_pending() const
{
    return ctx() != nullptr && ctx()->walk_event != nullptr &&
           event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr) != 0;
}

std::vector<SentMsg> FamilyHarness::deliver()
{
    // Done once the walks are over and a few passes in a row bring no byte
    // to any peer (a write zord could not finish at once goes out on a
    // later pass).
    int quiet = 0;
    size_t seen = 0;
    run_until([&] {
        pass();
        size_t bytes = 0;
        for (auto &[id, peer] : peers_) {
            peer->poll_input();
            bytes += peer->input().size();
        }
        quiet = (bytes == seen && !walk_pending()) ? quiet + 1 : 0;
        seen = bytes;
        return quiet >= 5;
    });
    std::vector<SentMsg> out;
    for (auto &[id, peer] : peers_) {
        for (const std::string &m : peer->take_messages()) {
            msgq_hdr_t hdr;
            memcpy(&hdr, m.data(), sizeof(hdr));
            if (hdr.type != MSGQ_MSG_TYPE_DATA) {
                continue;
            }
            SentMsg s{id, {}};
            const std::string payload = m.substr(sizeof(hdr));
            EXPECT_EQ(zor_msg_decode(&s.msg, reinterpret_cast<const uint8_t *>(payload.data()),
                                     static_cast<uint16_t>(payload.size())),
                      0);
            out.push_back(s);
        }
    }
    return out;
}

void FamilyHarness::teardown()
{
    peers_.clear();
    daemon_.reset();
}

ip_addr_t addr(const char *text)
{
    ip_addr_t a{};
    EXPECT_EQ(ip_addr_from_str(text, &a), 1) << text;
    return a;
}

std::string show_text(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry)
{
    maapi_cli_capture cli(21, 22);
    zor_af_show(af, ctx, entry, cli.uinfo());
    return cli.text();
}

}  // namespace zt
