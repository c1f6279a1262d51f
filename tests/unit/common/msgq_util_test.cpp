// Message queue: framing, the receive state machine, listeners, the register
// handshake, clients and the instance, over real sockets and a real libevent
// loop. Time for the connect-retry timer is moved by hand.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "msgq_test_support.h"
#include "msgq_util.h"
#include "ost_log.h"
#include "ost_util.h"
#include "test_support.h"

namespace {

using zt::MsgqAlloc;
using zt::MsgqRecorder;
using zt::RawPeer;
using zt::Strings;

constexpr uint8_t ZORD = OST_MODULE_ZORD;
constexpr uint8_t ADVD = OST_MODULE_ADVD;
constexpr uint8_t XFWD = OST_MODULE_XFWD;
constexpr uint8_t CTLAGENT = OST_MODULE_CTLAGENT;

using Msgq = zt::MsgqTest;

// ---------------------------------------------------------------- framing

TEST(MsgqWire, HeaderLayoutAndSizeConversions)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MAGIC1;
    hdr.size = 0x1234;
    hdr.src = 1;
    hdr.tgt = 2;
    hdr.type = MSGQ_MSG_TYPE_DATA;
    hdr.magic2 = MAGIC2;
    uint8_t raw[8];
    memcpy(raw, &hdr, sizeof(raw));
    // Host order on both ends: little-endian here.
    EXPECT_EQ(raw[0], 0xAF);
    EXPECT_EQ(raw[1], 0xBE);
    EXPECT_EQ(raw[2], 0x34);
    EXPECT_EQ(raw[3], 0x12);
    EXPECT_EQ(raw[4], 1);
    EXPECT_EQ(raw[5], 2);
    EXPECT_EQ(raw[6], 2);
    EXPECT_EQ(raw[7], 0x0C);

    msgq_handle_t plain;
    EXPECT_EQ(msgq_hdr_len(&plain), 8);
    EXPECT_EQ(msgq_size_app_to_msg(&plain, 65527), 65535);
    EXPECT_EQ(msgq_size_msg_to_app(&plain, 65535), 65527);
    msgq_handle_t app;
    app.use_app_header = 1;
    app.app_hdr_len = 12;
    EXPECT_EQ(msgq_hdr_len(&app), 12);
    EXPECT_EQ(msgq_size_app_to_msg(&app, 100), 100);
    EXPECT_EQ(msgq_size_msg_to_app(&app, 100), 100);
}

TEST_F(Msgq, SplitHeadersManyMessagesPerReadAndTheFairnessRule)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    ASSERT_NE(h, nullptr);
    RawPeer peer;
    attach(peer, ADVD, rec);

    // A header in two pieces, 3 bytes and then 5 with the body.
    std::string first = zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "split header");
    peer.send(first.substr(0, 3));
    ASSERT_TRUE(loop.run_until([&] { return log.contains("Read fewer bytes (3) than header bytes to read (8)"); }));
    EXPECT_TRUE(rec.msgs.empty());
    EXPECT_EQ(h->rx_offset, 3);
    peer.send(first.substr(3, 5));
    loop.settle();
    EXPECT_TRUE(rec.msgs.empty()) << "the body has not arrived";
    peer.send(first.substr(8));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], "split header");

    // Five messages in one write are all delivered, in order, by one pass.
    std::string burst;
    for (int i = 0; i < 5; i++) {
        burst += zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "m" + std::to_string(i));
    }
    peer.send(burst);
    loop.run_once(1000);
    EXPECT_EQ(rec.msgs, (Strings{"split header", "m0", "m1", "m2", "m3", "m4"}));

    // A message completed two seconds after the callback began ends that
    // callback; the rest is read on the next pass.
    rec.on_recv = [&](msgq_handle_t *, void *, uint16_t) {
        if (rec.msgs.back() == "slow") {
            loop.clock().advance_ms(2000);
        }
    };
    peer.send(zt::msgq_wire(ADVD, ZORD, 2, "slow") + zt::msgq_wire(ADVD, ZORD, 2, "next") +
              zt::msgq_wire(ADVD, ZORD, 2, "last"));
    loop.run_once(1000);
    EXPECT_EQ(rec.msgs.back(), "slow");
    loop.run_once(1000);
    EXPECT_EQ(rec.msgs.size(), 9u);
    EXPECT_EQ(rec.msgs.back(), "last");
    EXPECT_EQ(h->stats.rx_msg, 9u);
    EXPECT_EQ(h->stats.msg_allocs, 9u);
    EXPECT_EQ(h->stats.msg_frees, 9u);
}

TEST_F(Msgq, BadSizeIsDroppedAndTheStreamResumesAtTheNextByte)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);

    // Size 8 (no payload) and size 3: each header is consumed, nothing more.
    peer.send(zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "", 8) +
              zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "", 3) +
              zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "after"));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], "after");
    std::string fd = std::to_string(h->sock_fd);
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_read_msghdr_cb\\[[0-9]+\\]: Bad message size \\(8\\)\\. "
                                      "Must be more than \\(8\\)\\. Magic1 \\(48815\\)Dropping the message on fd '" +
                                          fd + "'"))
        << log.dump();
    EXPECT_EQ(log.count("Bad message size (3). Must be more than (8)."), 1u);
    EXPECT_EQ(rec.events, (Strings{"up"})) << "the connection stays up";
    EXPECT_EQ(h->stats.rx_fail, 0u);
    EXPECT_EQ(h->stats.msg_allocs, 1u);
}

TEST_F(Msgq, LargestMessageAndTheApplicationPointer)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);

    std::string payload = zt::msgq_pattern(65527, 7);
    void *allocated = nullptr;
    long live_in_cb = -1;
    rec.on_recv = [&](msgq_handle_t *hh, void *app, uint16_t) {
        allocated = MsgqAlloc::last();
        EXPECT_EQ(MsgqAlloc::last_size(), 65535u);
        msgq_free_msg(hh, app);  // must release the whole buffer
        rec.keep_msg = true;
        live_in_cb = MsgqAlloc::live();
    };
    peer.send(zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, payload));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.app_sizes[0], 65527);
    EXPECT_EQ(rec.msgs[0], payload);
    EXPECT_EQ(static_cast<char *>(rec.app_ptrs[0]), static_cast<char *>(allocated) + 8);
    EXPECT_EQ(live_in_cb, 0);
    EXPECT_TRUE(log.contains("[MSG] Read 65535 bytes of data from fd: " + std::to_string(h->sock_fd)));

    // Sending side: a buffer of app size 65527 is one 65535-byte allocation
    // with an initialised header, and goes out whole.
    void *m = msgq_alloc_msg(h, 65527);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(MsgqAlloc::last_size(), 65535u);
    msgq_hdr_t hdr;
    memcpy(&hdr, static_cast<char *>(m) - 8, sizeof(hdr));
    EXPECT_EQ(hdr.magic1, MAGIC1);
    EXPECT_EQ(hdr.magic2, MAGIC2);
    EXPECT_EQ(hdr.size, 65535);
    memcpy(m, payload.data(), payload.size());
    ASSERT_EQ(msgq_write(h, m, 65527), 0);
    ASSERT_TRUE(loop.run_until([&] {
        peer.poll_input();
        return peer.input().size() >= 65535;
    }));
    Strings got = payloads(peer);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
}

TEST_F(Msgq, ApplicationHeaderVariant)
{
    // The application's own 6-byte header carries the total length,
    // big-endian, at byte 2.
    auto app_msg = [](const std::string &body, int len = -1) {
        uint16_t total = static_cast<uint16_t>(len >= 0 ? len : static_cast<int>(6 + body.size()));
        std::string m = {'\xAA', '\xBB', static_cast<char>(total >> 8), static_cast<char>(total & 0xFF), 'h', 'd'};
        return m + body;
    };
    MsgqRecorder &rec = recorder();
    msgq_params_t p = params();
    p.use_app_header = 1;
    p.app_hdr_len = 6;
    p.app_size_offset = 2;
    snprintf(p.path, sizeof(p.path), "%s", sock_path("apphdr").c_str());
    msgq_handle_t *h = open(ZORD, OST_MODULE_KLXD, MSGQ_HANDLE_TYPE_SERVER, &rec, p);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(h->skip_register) << "the variant sends no register message";
    EXPECT_EQ(h->server_p->apphead_msgq_handle_p, h);

    RawPeer peer;
    ASSERT_TRUE(peer.connect_unix(sock_path("apphdr")));
    ASSERT_TRUE(loop.run_until([&] { return rec.count("up") == 1; })) << "bound at accept, no register";

    std::string m1 = app_msg(std::string(300, 'x'));
    void *allocated = nullptr;
    rec.on_recv = [&](msgq_handle_t *, void *, uint16_t) { allocated = MsgqAlloc::last(); };
    peer.send(m1.substr(0, 4));
    loop.settle();
    EXPECT_TRUE(rec.msgs.empty());
    peer.send(m1.substr(4) + app_msg("second"));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 2; }));
    EXPECT_EQ(rec.msgs[0], m1) << "the whole message, application header included";
    EXPECT_EQ(rec.app_sizes[0], 306);
    EXPECT_EQ(rec.msgs[1], app_msg("second"));
    EXPECT_EQ(rec.app_ptrs[1], allocated) << "the application pointer is the buffer start";

    // Writing: the buffer is the whole message, no transport header in front.
    std::string out = app_msg("reply");
    void *w = msgq_alloc_msg(h, static_cast<uint32_t>(out.size()));
    EXPECT_EQ(w, MsgqAlloc::last());
    memcpy(w, out.data(), out.size());
    ASSERT_EQ(msgq_write(h, w, static_cast<uint16_t>(out.size())), 0);
    ASSERT_TRUE(loop.run_until([&] {
        peer.poll_input();
        return peer.input().size() >= out.size();
    }));
    EXPECT_EQ(peer.input(), out);

    // A second connection replaces the first.
    RawPeer peer2;
    ASSERT_TRUE(peer2.connect_unix(sock_path("apphdr")));
    ASSERT_TRUE(loop.run_until([&] { return rec.count("up") == 2; }));
    EXPECT_EQ(rec.events, (Strings{"up", "down", "up"}));
    EXPECT_EQ(h->stats.conn_exist, 1u);
    EXPECT_TRUE(loop.run_until([&] { return peer.eof(); }));

    // A length that does not exceed the application header closes that connection.
    peer2.send(app_msg("", 6));
    ASSERT_TRUE(loop.run_until([&] { return rec.count("down") == 2; }));
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_read_apphdr_cb\\[[0-9]+\\]: Bad message size \\(6\\)\\. "
                                      "Must be more than \\(6\\)\\. Closing fd '[0-9]+'"))
        << log.dump();
    EXPECT_TRUE(loop.run_until([&] { return peer2.eof(); }));
    EXPECT_EQ(h->stats.rx_fail, 1u);
    EXPECT_EQ(h->sock_fd, -1);
    EXPECT_EQ(rec.msgs.size(), 2u);
}

// ---------------------------------------------------------------- faults a peer can cause

TEST_F(Msgq, StreamFaultsCloseOnlyThatConnection)
{
    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    msgq_handle_t *a = server(ADVD, &arec);
    msgq_handle_t *x = server(XFWD, &xrec);
    RawPeer ap;
    RawPeer xp;
    attach(ap, ADVD, arec);
    attach(xp, XFWD, xrec);

    // xfwd keeps working through every fault of the others.
    int round = 0;
    auto xfwd_still_works = [&] {
        std::string tag = "x" + std::to_string(round++);
        xp.send_data(XFWD, ZORD, tag);
        if (!loop.run_until([&] { return !xrec.msgs.empty() && xrec.msgs.back() == tag; })) {
            return false;
        }
        if (write(x, "to-" + tag) != 0) {
            return false;
        }
        Strings got;
        loop.run_until([&] {
            for (auto &m : payloads(xp)) {
                got.push_back(m);
            }
            return !got.empty();
        });
        return got == Strings{"to-" + tag} && xrec.events == Strings{"up"};
    };

    // A register message on a registered connection.
    ap.send_register(ADVD, ZORD);
    ASSERT_TRUE(loop.run_until([&] { return arec.count("down") == 1; }));
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_read_msghdr_cb\\[[0-9]+\\]: Register message from advd on a "
                                      "registered connection, closing fd '[0-9]+'"))
        << log.dump();
    EXPECT_TRUE(loop.run_until([&] { return ap.eof(); }));
    EXPECT_EQ(a->stats.rx_fail, 1u);
    EXPECT_TRUE(xfwd_still_works());

    // A data message before registration.
    RawPeer tp;
    ASSERT_TRUE(tp.connect_unix(sock_path("zord")));
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get()->tmp_msgq_listhead.count == 1; }));
    tp.send_data(ADVD, ZORD, "too early");
    ASSERT_TRUE(loop.run_until([&] { return tp.eof(); }));
    EXPECT_TRUE(zt::log_has_line(
        log, "\\[MSG-ERR\\] msgq_read_msghdr_cb\\[[0-9]+\\]: Message of type 2 before registration, closing fd '[0-9]+'"));
    EXPECT_EQ(msgq_inst_get()->tmp_msgq_listhead.count, 0u);
    EXPECT_EQ(arec.msgs.size(), 0u);
    EXPECT_TRUE(xfwd_still_works());

    // A register message in two pieces is reassembled, not an error.
    ASSERT_TRUE(ap.connect_unix(sock_path("zord")));
    std::string reg = zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_REGISTER, "");
    ap.send(reg.substr(0, 4));
    ASSERT_TRUE(loop.run_until([&] { return log.contains("Read fewer bytes (4) than header bytes to read (8)"); }));
    loop.settle();
    ap.send(reg.substr(4));
    ASSERT_TRUE(loop.run_until([&] { return arec.count("up") == 2; }));
    EXPECT_EQ(a->stats.conn_exist, 0u) << "the old connection was already gone";

    // A receive buffer that cannot be allocated.
    MsgqAlloc::fail_next();
    ap.send_data(ADVD, ZORD, "no room");
    ASSERT_TRUE(loop.run_until([&] { return arec.count("down") == 2; }));
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_rx_begin_body\\[[0-9]+\\]: Failed to allocate 15 bytes for a "
                                      "message, closing fd '[0-9]+'"))
        << log.dump();
    EXPECT_EQ(a->stats.alloc_failed, 1u);
    EXPECT_EQ(a->stats.rx_fail, 2u);
    EXPECT_TRUE(loop.run_until([&] { return ap.eof(); }));
    EXPECT_TRUE(xfwd_still_works());

    // A peer that registers with a pair no handle serves is disconnected.
    RawPeer up;
    ASSERT_TRUE(up.connect_unix(sock_path("zord")));
    up.send_register(CTLAGENT, ZORD);
    ASSERT_TRUE(loop.run_until([&] { return up.eof(); }));
    EXPECT_EQ(msgq_inst_get()->tmp_msgq_listhead.count, 0u);
    EXPECT_EQ(arec.events, (Strings{"up", "down", "up", "down"}));
    EXPECT_TRUE(xfwd_still_works());

    // A peer that closes mid-message: the partial buffer is freed.
    attach(ap, ADVD, arec);
    std::string half = zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, std::string(100, 'h'));
    ap.send(half.substr(0, 50));
    ASSERT_TRUE(loop.run_until([&] { return a->rx_buf != nullptr && a->rx_offset == 50; }));
    ap.close();
    ASSERT_TRUE(loop.run_until([&] { return arec.count("down") == 3; }));
    EXPECT_EQ(a->rx_buf, nullptr);
    EXPECT_EQ(a->rx_offset, 0);
    EXPECT_EQ(a->stats.msg_allocs, a->stats.msg_frees);
    EXPECT_TRUE(xfwd_still_works());

    // Every line of the transport is logged at local7.debug.
    for (size_t i = 0; i < log.lines().size(); i++) {
        if (log.lines()[i].rfind("[MSG", 0) == 0) {
            EXPECT_EQ(log.priorities()[i], LOG_LOCAL7 | LOG_DEBUG) << log.lines()[i];
        }
    }
}

// ---------------------------------------------------------------- listeners and registration

TEST_F(Msgq, ServerHandlesShareOneListenerAndSocketFile)
{
    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    msgq_handle_t *a = server(ADVD, &arec);
    msgq_handle_t *x = server(XFWD, &xrec);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(a->path, sock_path("zord").c_str());
    EXPECT_EQ(a->server_p, x->server_p);
    EXPECT_EQ(a->server_p->refcnt, 2u);
    EXPECT_EQ(msgq_inst_get()->server_list, a->server_p);
    EXPECT_EQ(a->server_p->next, nullptr);
    EXPECT_TRUE(log.contains("[MSG] Server is on at " + sock_path("zord") + ", ignore server start"));

    struct stat st{};
    ASSERT_EQ(stat(sock_path("zord").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    int lfd = evconnlistener_get_fd(a->server_p->listener.get());
    EXPECT_TRUE(fcntl(lfd, F_GETFD) & FD_CLOEXEC);

    // Both peers come in through the one listener.
    RawPeer ap;
    RawPeer xp;
    attach(ap, ADVD, arec);
    attach(xp, XFWD, xrec);
    EXPECT_TRUE(fcntl(a->sock_fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(a->sock_fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(msgq_inst_get()->reg_msgq_listhead.count, 2u);
    EXPECT_EQ(msgq_inst_get()->unreg_msgq_listhead.count, 0u);

    close(a);
    EXPECT_EQ(arec.events, (Strings{"up", "down"}));
    EXPECT_TRUE(loop.run_until([&] { return ap.eof(); }));
    ASSERT_EQ(stat(sock_path("zord").c_str(), &st), 0) << "xfwd still uses the listener";
    EXPECT_EQ(x->server_p->refcnt, 1u);
    RawPeer xp2;
    attach(xp2, XFWD, xrec);  // a reconnecting xfwd still gets in
    EXPECT_EQ(x->stats.conn_exist, 1u);

    close(x);
    EXPECT_NE(stat(sock_path("zord").c_str(), &st), 0) << "the last handle removes the socket file";
    EXPECT_EQ(msgq_inst_get(), nullptr);
    EXPECT_FALSE(RawPeer().connect_unix(sock_path("zord")));
}

TEST_F(Msgq, StaleSocketFileIsReplacedAndTheLastHandleFreesTheInstance)
{
    // A file left behind by an earlier run does not stop the server.
    FILE *f = fopen(sock_path("zord").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    ASSERT_NE(h->server_p->listener, nullptr);
    msgq_inst_t *inst = msgq_inst_get();
    EXPECT_EQ(inst->evbase, loop.base());
    EXPECT_EQ(inst->timer_mgr, loop.timer_mgr());
    close(h);
    EXPECT_EQ(msgq_inst_get(), nullptr);

    // A new instance takes the new caller's parameters.
    zt::EventLoop other;
    msgq_params_t p = zt::msgq_test_params(other);
    p.facility = LOG_LOCAL3;
    p.timer_mgr = nullptr;
    log.clear();
    h = open(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &rec, p);
    ASSERT_NE(msgq_inst_get(), nullptr);
    EXPECT_EQ(msgq_inst_get()->evbase, other.base());
    EXPECT_EQ(msgq_inst_get()->timer_mgr, nullptr);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0], "[MSG] Msg init with src: zord, tgt: advd, type: 1");
    EXPECT_EQ(log.priorities()[0], LOG_LOCAL3 | LOG_DEBUG);
    // A later client brings the timer manager the first caller lacked.
    msgq_params_t cp = zt::msgq_test_params(other);
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &rec, cp);
    EXPECT_EQ(msgq_inst_get()->timer_mgr, other.timer_mgr());
    close(c);
    close(h);
    EXPECT_EQ(msgq_inst_get(), nullptr);

    // Out-of-range modules and an over-long socket path give no handle.
    EXPECT_EQ(msgq_init(0, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, nullptr, nullptr), nullptr);
    EXPECT_EQ(msgq_init(ZORD, OST_MODULE_MAX, MSGQ_HANDLE_TYPE_SERVER, &p, nullptr, nullptr), nullptr);
    zt::TempDir deep;
    std::string long_dir = deep.path() + "/" + std::string(60, 'd');
    setenv("ZOR_RUN_DIR", long_dir.c_str(), 1);
    msgq_callbacks_t cbs = MsgqRecorder::callbacks();
    EXPECT_EQ(msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec), nullptr);
    EXPECT_TRUE(log.contains("Socket path for advd is longer than 63 characters"));
    EXPECT_EQ(msgq_inst_get(), nullptr) << "an instance made for a failed init is freed again";
    setenv("ZOR_RUN_DIR", rundir.path().c_str(), 1);
}

TEST_F(Msgq, ASecondRegistrationReplacesTheLiveConnection)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer first;
    attach(first, ADVD, rec);
    RawPeer second;
    attach(second, ADVD, rec);
    EXPECT_EQ(rec.events, (Strings{"up", "down", "up"}));
    EXPECT_EQ(h->stats.conn_exist, 1u);
    EXPECT_EQ(h->stats.conn_up, 2u);
    EXPECT_EQ(h->stats.conn_down, 1u);
    EXPECT_TRUE(loop.run_until([&] { return first.eof(); }));

    ASSERT_EQ(write(h, "to the new one"), 0);
    Strings got;
    ASSERT_TRUE(loop.run_until([&] {
        got = payloads(second);
        return !got.empty();
    }));
    EXPECT_EQ(got, (Strings{"to the new one"}));
    EXPECT_TRUE(first.input().empty());
}

// ---------------------------------------------------------------- clients

TEST_F(Msgq, ClientConnectsOnceItsServerAppearsAndAgainAfterItGoes)
{
    MsgqRecorder &crec = recorder();
    MsgqRecorder &srec = recorder();
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &crec, params());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->path, sock_path("zord").c_str()) << "a client's default path is its server's";
    ASSERT_NE(c->connect_timer, nullptr);
    EXPECT_STREQ(c->connect_timer->name, "msgq-timer");
    EXPECT_EQ(c->connect_timer->type, TIMER_TYPE_ONE_SHOT);
    EXPECT_EQ(timer_get_interval_msecs(c->connect_timer), 1000) << "500 ms is one 1 s tick";
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    EXPECT_EQ(c->sock_fd, -1);

    // No server: every expiry makes one attempt and arms the next.
    loop.tick();
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG\\] Failed to connect for fd: [0-9]+, error: 2"));
    EXPECT_TRUE(log.contains("[MSG] Trying to connect to server at " + sock_path("zord")));
    loop.tick();
    EXPECT_EQ(log.count("[MSG] Failed to connect for fd"), 2u);
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    EXPECT_FALSE(msgq_is_connected(c));
    EXPECT_EQ(write(c, "early"), MSGQ_ERR_NOT_CONNECTED);

    msgq_handle_t *s = server(ADVD, &srec);
    loop.tick();
    EXPECT_EQ(crec.events, (Strings{"up"}));
    EXPECT_TRUE(msgq_is_connected(c));
    EXPECT_FALSE(timer_is_enabled(c->connect_timer));
    EXPECT_EQ(c->stats.tx_register, 1u);
    EXPECT_TRUE(fcntl(c->sock_fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(loop.run_until([&] { return srec.count("up") == 1; }));

    ASSERT_EQ(write(c, "to server"), 0);
    ASSERT_EQ(write(s, "to client"), 0);
    ASSERT_TRUE(loop.run_until([&] { return srec.msgs.size() == 1 && crec.msgs.size() == 1; }));
    EXPECT_EQ(srec.msgs[0], "to server");
    EXPECT_EQ(crec.msgs[0], "to client");

    // The server goes away: the client's connection closes and it retries.
    close(s);
    ASSERT_TRUE(loop.run_until([&] { return crec.count("down") == 1; }));
    EXPECT_EQ(c->stats.rx_fail, 1u);
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    loop.tick();
    EXPECT_EQ(log.count("[MSG] Failed to connect for fd"), 3u);

    MsgqRecorder &srec2 = recorder();
    s = server(ADVD, &srec2);
    loop.tick();
    EXPECT_EQ(crec.events, (Strings{"up", "down", "up"}));
    ASSERT_TRUE(loop.run_until([&] { return srec2.count("up") == 1; }));
    ASSERT_EQ(write(s, "again"), 0);
    ASSERT_TRUE(loop.run_until([&] { return crec.msgs.size() == 2; }));
    EXPECT_EQ(crec.msgs[1], "again");
}

TEST_F(Msgq, HandlesDeletedFromTheirOwnCallbacks)
{
    MsgqRecorder &crec = recorder();
    MsgqRecorder &srec = recorder();
    msgq_handle_t *s = server(ADVD, &srec);
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &crec, params());
    loop.tick();
    ASSERT_TRUE(loop.run_until([&] { return srec.count("up") == 1; }));

    // The server deletes itself on the first of three messages read at once.
    srec.on_recv = [&](msgq_handle_t *h, void *app, uint16_t) {
        msgq_free_msg(h, app);
        srec.keep_msg = true;
        close(h);
    };
    std::string three;
    for (const char *m : {"one", "two", "three"}) {
        void *buf = msgq_alloc_msg(c, 5);
        memcpy(buf, m, strlen(m));
        ASSERT_EQ(msgq_write(c, buf, static_cast<uint16_t>(strlen(m))), 0);
    }
    // The client loses its server and deletes itself from conn_down.
    crec.on_down = [&](msgq_handle_t *h) { close(h); };
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get() == nullptr; }));
    EXPECT_EQ(srec.msgs, (Strings{"one"}));
    EXPECT_EQ(srec.events, (Strings{"up", "down"}));
    EXPECT_EQ(crec.events, (Strings{"up", "down"}));
    EXPECT_TRUE(handles.empty());
    (void)s;
}

TEST_F(Msgq, BlockingClientSendsAndReadsTheReplyInOneCall)
{
    // A hand-written server on another thread: register, one request, one reply.
    std::string path = sock_path("zord");
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    std::string reg;
    std::string request;
    std::thread peer([&] {
        int fd = accept(lfd, nullptr, nullptr);
        auto read_n = [&](size_t n) {
            std::string s(n, '\0');
            size_t off = 0;
            while (off < n) {
                ssize_t r = recv(fd, s.data() + off, n - off, 0);
                if (r <= 0) {
                    return std::string();
                }
                off += static_cast<size_t>(r);
            }
            return s;
        };
        reg = read_n(8);
        std::string hdr = read_n(8);
        msgq_hdr_t h{};
        memcpy(&h, hdr.data(), sizeof(h));
        request = read_n(h.size - 8u);
        std::string reply = zt::msgq_wire(ZORD, ADVD, MSGQ_MSG_TYPE_DATA, "pong:" + request);
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(fd);
    });

    MsgqRecorder &rec = recorder();
    msgq_params_t p = params();
    p.blocking = 1;
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &rec, p);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(rec.events, (Strings{"up"})) << "connected before msgq_init returned";
    EXPECT_EQ(c->connect_timer, nullptr);
    EXPECT_EQ(c->read_ev, nullptr) << "a blocking client reads only after its sends";
    EXPECT_FALSE(fcntl(c->sock_fd, F_GETFL) & O_NONBLOCK);

    EXPECT_EQ(write(c, "ping"), 0);
    EXPECT_EQ(rec.msgs, (Strings{"pong:ping"})) << "the reply is read inside msgq_write";
    peer.join();
    EXPECT_EQ(reg, zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_REGISTER, ""));
    EXPECT_EQ(request, "ping");
    EXPECT_EQ(c->stats.tx_msg, 1u);

    // The server closed: the send fails, the message stays with the caller
    // and the connection ends.
    EXPECT_EQ(write(c, "again"), MSGQ_ERR_AGAIN);
    EXPECT_EQ(c->stats.tx_fail, 1u);
    EXPECT_EQ(rec.events, (Strings{"up", "down"}));
    EXPECT_EQ(write(c, "and again"), MSGQ_ERR_NOT_CONNECTED);
    ::close(lfd);
    unlink(path.c_str());
}

TEST_F(Msgq, Ipv4ClientConnectsRegistersAndRetries)
{
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    socklen_t len = sizeof(sin);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &len), 0);

    MsgqRecorder &rec = recorder();
    msgq_params_t p = params();
    p.sock_type = MSGQ_SOCK_TYPE_IPV4;
    p.port = ntohs(sin.sin_port);
    snprintf(p.ipaddr, sizeof(p.ipaddr), "127.0.0.1");
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &rec, p);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->port, p.port);
    loop.tick();
    ASSERT_EQ(rec.events, (Strings{"up"})) << log.dump();
    EXPECT_TRUE(log.contains("[MSG] Trying to connect to server at 127.0.0.1"));

    RawPeer server_side;
    server_side.adopt(accept(lfd, nullptr, nullptr));
    ASSERT_TRUE(loop.run_until([&] {
        server_side.poll_input();
        return server_side.input().size() >= 8;
    }));
    EXPECT_EQ(server_side.input(), zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_REGISTER, ""));
    server_side.take_messages();

    server_side.send_data(ZORD, ADVD, "over tcp");
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], "over tcp");
    ASSERT_EQ(write(c, "back"), 0);
    Strings got;
    ASSERT_TRUE(loop.run_until([&] {
        got = payloads(server_side);
        return !got.empty();
    }));
    EXPECT_EQ(got, (Strings{"back"}));

    server_side.close();
    ASSERT_TRUE(loop.run_until([&] { return rec.count("down") == 1; }));
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    ::close(lfd);
    log.clear();
    loop.tick();
    EXPECT_FALSE(msgq_is_connected(c));
    EXPECT_TRUE(log.contains("[MSG] Failed to connect for fd:") || log.contains("ERROR in delayed connection"))
        << log.dump();
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
}

TEST_F(Msgq, RebootPendingClientDoesNotConnect)
{
    MsgqRecorder &rec = recorder();
    msgq_params_t p = params();
    msgq_callbacks_t cbs = MsgqRecorder::callbacks();
    cbs.is_reboot_pending = [](msgq_handle_t *) { return true; };
    msgq_handle_t *c = msgq_init(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &p, &cbs, &rec);
    ASSERT_NE(c, nullptr);
    handles.push_back(c);
    EXPECT_EQ(c->connect_timer, nullptr);
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_init_start_client\\[[0-9]+\\]: Reboot in progress, skip "
                                      "connecting to server " +
                                          sock_path("zord")));
}

// ---------------------------------------------------------------- programming errors

TEST_F(Msgq, ProgrammingErrorsStopTheProcess)
{
    auto child = [&](const std::function<void()> &fn) {
        return zt::run_in_child([&] {
            ost_log_set_mirror(true);
            fn();
        });
    };
    auto check = [](const zt::ChildResult &r, const std::string &expr, const std::string &log_text) {
        EXPECT_FALSE(r.exited) << r.out << r.err;
        EXPECT_EQ(r.out.rfind("common/msgq_util:", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(": failed assertion `" + expr + "'\n"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(log_text), std::string::npos) << r.err;
    };

    msgq_params_t p = params();
    msgq_callbacks_t cbs = MsgqRecorder::callbacks();
    MsgqRecorder &rec = recorder();

    check(child([&] {
              msgq_callbacks_t bad = cbs;
              bad.recv_msg = nullptr;
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &bad, &rec);
          }),
          "valid", "Validation of parameters failed");
    check(child([&] {
              msgq_params_t bad = p;
              bad.timer_mgr = nullptr;
              msgq_init(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &bad, &cbs, &rec);
          }),
          "valid", "Validation of parameters failed");
    check(child([&] {
              msgq_params_t bad = p;
              bad.use_app_header = 1;
              bad.app_hdr_len = 4;
              bad.app_size_offset = 3;  // the length would run past the header
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &bad, &cbs, &rec);
          }),
          "valid", "Validation of parameters failed");
    check(child([&] {
              msgq_params_t bad = p;
              bad.use_app_header = 1;
              bad.app_hdr_len = 8;
              bad.app_size_offset = 0xFFFFFFFFu;  // must not wrap into range
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &bad, &cbs, &rec);
          }),
          "valid", "Validation of parameters failed");
    check(child([&] {
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec);
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec);
          }),
          "!duplicate", "Duplicate msgq_handle found");
    check(child([&] {
              msgq_params_t bad = p;
              bad.sock_type = 3;
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &bad, &cbs, &rec);
          }),
          "supported", "Unsupported socket type");
    check(child([&] {
              msgq_params_t bad = p;
              snprintf(bad.path, sizeof(bad.path), "/nonexistent-dir/.zord");
              msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &bad, &cbs, &rec);
          }),
          "rc == MSGQ_OK || rc == MSGQ_START_ALREADY", "Error 1 in initializing server for /nonexistent-dir/.zord");
    check(child([&] {
              msgq_handle_t *h = msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec);
              char buf[64] = {};
              msgq_write(h, buf + 8, 4);  // not from msgq_alloc_msg
          }),
          "(hdr_p->magic1 == MAGIC1) && (hdr_p->magic2 == MAGIC2)", "Msg init");
    check(child([&] {
              msgq_handle_t *h = msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec);
              void *m = msgq_alloc_msg(h, 10);
              msgq_write(h, m, 11);
          }),
          "app_size <= msgq_size_msg_to_app(msgq_p, hdr_p->size)", "Msg init");
    auto r = child([&] {
        msgq_params_t bad = p;
        snprintf(bad.path, sizeof(bad.path), "/nonexistent-dir/.zord");
        msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &bad, &cbs, &rec);
    });
    EXPECT_NE(r.err.find("Failed to start listener for /nonexistent-dir/.zord error:No such file or directory"),
              std::string::npos)
        << r.err;
}

}  // namespace
