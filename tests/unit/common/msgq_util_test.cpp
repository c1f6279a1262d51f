// Message queue: framing, the receive state machine, listeners, the register
// handshake, clients and the instance, over real sockets and a real libevent
// loop. Time for the connect-retry timer is moved by hand.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

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

using Msgq = zt::MsgqTest;

std::string wire_data(const std::string &payload, int size = -1)
{
    return zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, payload, size);
}

// The register message of advd to zord, byte by byte: magic1 (host order),
// size 8, src 1, tgt 2, type 1, magic2.
const std::string k_advd_register("\xAF\xBE\x08\x00\x01\x02\x01\x0C", 8);

// ---------------------------------------------------------------- framing

TEST_F(Msgq, ManyMessagesPerReadAndTheFairnessRule)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_server(ADVD, rec, peer);

    // Five messages in one write are all delivered, in order, by one pass.
    std::string burst;
    for (int i = 0; i < 5; i++) {
        burst += wire_data("m" + std::to_string(i));
    }
    peer.send(burst);
    ASSERT_TRUE(loop.run_until([&] { return !rec.msgs.empty(); }));
    EXPECT_EQ(rec.msgs, (Strings{"m0", "m1", "m2", "m3", "m4"}));

    // A message completed two seconds after the callback began ends that
    // callback; the rest is read on the next pass.
    rec.on_recv = [&](msgq_handle_t *, void *, uint16_t) {
        if (rec.msgs.back() == "slow") {
            loop.clock().advance_ms(2000);
        }
    };
    peer.send(wire_data("slow") + wire_data("next") + wire_data("last"));
    loop.run_once(1000);
    EXPECT_EQ(rec.msgs.back(), "slow");
    // What that callback read and did not deliver comes before newer bytes.
    peer.send(wire_data("newer"));
    loop.run_once(1000);
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 9; }));
    EXPECT_EQ(Strings(rec.msgs.end() - 4, rec.msgs.end()), (Strings{"slow", "next", "last", "newer"}));
    EXPECT_EQ(h->stats.rx_msg, 9u);
    EXPECT_EQ(h->stats.msg_allocs, 9u);
    EXPECT_EQ(h->stats.msg_frees, 9u);
}

TEST_F(Msgq, FramesSplitAcrossReadsAtEveryOffset)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_server(ADVD, rec, peer);
    // A message, a header of size 8 (dropped), a larger message, a last one.
    const std::string body = zt::msgq_pattern(300, 1);
    const std::string stream = wire_data("a") + wire_data("", 8) + wire_data(body) + wire_data("z");
    const Strings want = {"a", body, "z"};
    for (size_t cut = 1; cut < stream.size(); cut++) {
        peer.send(stream.substr(0, cut));
        loop.settle(2);
        peer.send(stream.substr(cut));
        ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 3 * cut; })) << "cut at " << cut;
        ASSERT_EQ(Strings(rec.msgs.end() - 3, rec.msgs.end()), want) << "cut at " << cut;
    }
    EXPECT_EQ(log.count("Bad message size (8)"), stream.size() - 1);
    EXPECT_EQ(h->stats.rx_msg, 3 * (stream.size() - 1));
    EXPECT_EQ(h->stats.msg_frees, h->stats.msg_allocs);
    EXPECT_EQ(rec.events, (Strings{"up"}));
}

TEST_F(Msgq, BadSizeIsDroppedAndTheStreamResumesAtTheNextByte)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_server(ADVD, rec, peer);
    // Size 8 (no payload) and size 3: each header is consumed, nothing more.
    peer.send(wire_data("", 8) + wire_data("", 3) + wire_data("after"));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], "after");
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_read_msghdr_cb\\[[0-9]+\\]: Bad message size \\(8\\)\\. "
                                      "Must be more than \\(8\\)\\. Magic1 \\(48815\\)Dropping the message on fd '" +
                                          std::to_string(h->sock_fd) + "'"))
        << log.dump();
    EXPECT_EQ(log.count("Bad message size (3). Must be more than (8)."), 1u);
    EXPECT_EQ(rec.events, (Strings{"up"})) << "the connection stays up";
    EXPECT_EQ(h->stats.msg_allocs, 1u);
}

TEST_F(Msgq, LargestMessageAndTheApplicationPointer)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_server(ADVD, rec, peer);
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
    peer.send(wire_data(payload));
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.app_sizes[0], 65527);
    EXPECT_EQ(rec.msgs[0], payload);
    EXPECT_EQ(static_cast<char *>(rec.app_ptrs[0]), static_cast<char *>(allocated) + 8);
    EXPECT_EQ(live_in_cb, 0);

    // Sending: a buffer of app size 65527 is one 65535-byte allocation and goes out whole.
    void *m = msgq_alloc_msg(h, 65527);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(MsgqAlloc::last_size(), 65535u);
    memcpy(m, payload.data(), payload.size());
    ASSERT_EQ(msgq_write(h, m, 65527), 0);
    EXPECT_EQ(read_payloads(peer, 1), Strings{payload});
}

TEST_F(Msgq, ApplicationHeaderVariant)
{
    // The application's own 6-byte header carries the total length,
    // big-endian, at byte 2.
    auto app_msg = [](const std::string &body, int len = -1) {
        uint16_t total = static_cast<uint16_t>(len >= 0 ? len : static_cast<int>(6 + body.size()));
        return std::string{'\xAA', '\xBB', static_cast<char>(total >> 8), static_cast<char>(total & 0xFF), 'h', 'd'} +
               body;
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
    EXPECT_EQ(rec.msgs, (Strings{m1, app_msg("second")})) << "whole messages, application header included";
    EXPECT_EQ(rec.app_sizes[0], 306);
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
}

// ---------------------------------------------------------------- faults a peer can cause

TEST_F(Msgq, StreamFaultsCloseOnlyThatConnection)
{
    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    RawPeer ap;
    RawPeer xp;
    msgq_handle_t *a = bound_server(ADVD, arec, ap);
    msgq_handle_t *x = bound_server(XFWD, xrec, xp);

    // xfwd keeps working through every fault of the others.
    int round = 0;
    auto xfwd_still_works = [&] {
        std::string tag = "x" + std::to_string(round++);
        xp.send_data(XFWD, ZORD, tag);
        bool in = loop.run_until([&] { return !xrec.msgs.empty() && xrec.msgs.back() == tag; });
        return in && write(x, "to-" + tag) == 0 && read_payloads(xp, 1) == Strings{"to-" + tag} &&
               xrec.events == Strings{"up"};
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
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get()->tmp_msgq_listhead.size() == 1; }));
    tp.send_data(ADVD, ZORD, "too early");
    ASSERT_TRUE(loop.run_until([&] { return tp.eof(); }));
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_read_msghdr_cb\\[[0-9]+\\]: Message of type 2 before "
                                      "registration, closing fd '[0-9]+'"));
    EXPECT_EQ(msgq_inst_get()->tmp_msgq_listhead.size(), 0u);
    EXPECT_TRUE(xfwd_still_works());

    // A register message in two pieces is reassembled, not an error.
    ASSERT_TRUE(ap.connect_unix(sock_path("zord")));
    ap.send(k_advd_register.substr(0, 4));
    ASSERT_TRUE(loop.run_until([&] { return log.contains("Read fewer bytes (4) than header bytes to read (8)"); }));
    ap.send(k_advd_register.substr(4));
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
    up.send_register(OST_MODULE_CTLAGENT, ZORD);
    ASSERT_TRUE(loop.run_until([&] { return up.eof(); }));
    EXPECT_EQ(msgq_inst_get()->tmp_msgq_listhead.size(), 0u);
    EXPECT_EQ(arec.events, (Strings{"up", "down", "up", "down"}));
    EXPECT_TRUE(xfwd_still_works());

    // A peer that closes mid-message: the partial buffer is freed.
    attach(ap, ADVD, arec);
    ap.send(wire_data(std::string(100, 'h')).substr(0, 50));
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

TEST_F(Msgq, ServerHandlesShareOneListenerAndAReconnectReplacesTheConnection)
{
    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    msgq_handle_t *a = server(ADVD, &arec);
    msgq_handle_t *x = server(XFWD, &xrec);
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(a->path, sock_path("zord").c_str());
    EXPECT_EQ(a->server_p, x->server_p);
    EXPECT_EQ(a->server_p->refcnt, 2u);
    EXPECT_TRUE(log.contains("[MSG] Server is on at " + sock_path("zord") + ", ignore server start"));
    struct stat st{};
    ASSERT_EQ(stat(sock_path("zord").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_TRUE(fcntl(evconnlistener_get_fd(a->server_p->listener.get()), F_GETFD) & FD_CLOEXEC);

    // Both peers come in through the one listener.
    RawPeer ap;
    RawPeer xp;
    attach(ap, ADVD, arec);
    attach(xp, XFWD, xrec);
    EXPECT_TRUE(fcntl(a->sock_fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(a->sock_fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(msgq_inst_get()->reg_msgq_listhead.size(), 2u);

    // xfwd registers again while its first connection is up: the old one is
    // closed, then the new one bound, and messages go to the new one.
    RawPeer xp2;
    attach(xp2, XFWD, xrec);
    EXPECT_EQ(xrec.events, (Strings{"up", "down", "up"}));
    EXPECT_EQ(x->stats.conn_exist, 1u);
    EXPECT_TRUE(loop.run_until([&] { return xp.eof(); }));
    ASSERT_EQ(write(x, "to the new one"), 0);
    EXPECT_EQ(read_payloads(xp2, 1), Strings{"to the new one"});
    EXPECT_TRUE(xp.input().empty());

    // Deleting one handle keeps the listener; deleting the last removes the socket file.
    close(a);
    EXPECT_EQ(arec.events, (Strings{"up", "down"}));
    EXPECT_TRUE(loop.run_until([&] { return ap.eof(); }));
    EXPECT_EQ(x->server_p->refcnt, 1u);
    RawPeer xp3;
    attach(xp3, XFWD, xrec);
    close(x);
    EXPECT_NE(stat(sock_path("zord").c_str(), &st), 0);
    EXPECT_EQ(msgq_inst_get(), nullptr);
}

TEST_F(Msgq, StaleSocketFileAndTheInstanceOfTheLastHandle)
{
    // A file left behind by an earlier run does not stop the server.
    FILE *f = fopen(sock_path("zord").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    ASSERT_NE(h->server_p->listener, nullptr);
    EXPECT_EQ(msgq_inst_get()->evbase, loop.base());
    close(h);
    EXPECT_EQ(msgq_inst_get(), nullptr);

    // A new instance takes the new caller's parameters; a later client
    // brings the timer manager the first caller lacked.
    zt::EventLoop other;
    msgq_params_t p = zt::msgq_test_params(other);
    p.facility = LOG_LOCAL3;
    p.timer_mgr = nullptr;
    log.clear();
    h = open(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &rec, p);
    EXPECT_EQ(msgq_inst_get()->evbase, other.base());
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0], "[MSG] Msg init with src: zord, tgt: advd, type: 1");
    EXPECT_EQ(log.priorities()[0], LOG_LOCAL3 | LOG_DEBUG);
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &rec, zt::msgq_test_params(other));
    EXPECT_EQ(msgq_inst_get()->timer_mgr, other.timer_mgr());
    close(c);
    close(h);

    // Out-of-range modules and an over-long socket path give no handle.
    msgq_callbacks_t cbs = MsgqRecorder::callbacks();
    EXPECT_EQ(msgq_init(0, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr), nullptr);
    EXPECT_EQ(msgq_init(ZORD, OST_MODULE_MAX, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr), nullptr);
    zt::TempDir deep;
    setenv("ZOR_RUN_DIR", (deep.path() + "/" + std::string(60, 'd')).c_str(), 1);
    EXPECT_EQ(msgq_init(ZORD, ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &rec), nullptr);
    EXPECT_TRUE(log.contains("Socket path for advd is longer than 63 characters"));
    EXPECT_EQ(msgq_inst_get(), nullptr) << "an instance made for a failed init is freed again";
    setenv("ZOR_RUN_DIR", rundir.path().c_str(), 1);
}

// ---------------------------------------------------------------- clients

TEST_F(Msgq, ClientConnectsOnceItsServerAppearsAndAgainAfterItGoes)
{
    MsgqRecorder &crec = recorder();
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &crec, params());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->path, sock_path("zord").c_str()) << "a client's default path is its server's";
    ASSERT_NE(c->connect_timer, nullptr);
    EXPECT_STREQ(c->connect_timer->name, "msgq-timer");
    EXPECT_EQ(c->connect_timer->type, TIMER_TYPE_ONE_SHOT);
    EXPECT_EQ(timer_get_interval_msecs(c->connect_timer), 1000) << "500 ms is one 1 s tick";

    // No server: every expiry makes one attempt and arms the next.
    loop.tick();
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG\\] Failed to connect for fd: [0-9]+, error: 2"));
    EXPECT_TRUE(log.contains("[MSG] Trying to connect to server at " + sock_path("zord")));
    loop.tick();
    EXPECT_EQ(log.count("[MSG] Failed to connect for fd"), 2u);
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    EXPECT_EQ(write(c, "early"), MSGQ_ERR_NOT_CONNECTED);

    // Out of descriptors: the attempt fails at the socket (its error line
    // names the connect attempt) and the client tries again later.
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit low = old_limit;
    low.rlim_cur = static_cast<rlim_t>(::open("/dev/null", O_RDONLY));
    ::close(static_cast<int>(low.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    loop.tick();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old_limit), 0);
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_connect_timer\\[[0-9]+\\]: Socket init failed 24"))
        << log.dump();
    EXPECT_TRUE(timer_is_enabled(c->connect_timer));

    // Each round the server comes up, the client connects and registers,
    // messages flow both ways, and the server goes away again.
    for (int round = 0; round < 2; round++) {
        MsgqRecorder &srec = recorder();
        msgq_handle_t *s = server(ADVD, &srec);
        loop.tick();
        EXPECT_TRUE(msgq_is_connected(c));
        EXPECT_FALSE(timer_is_enabled(c->connect_timer));
        EXPECT_TRUE(fcntl(c->sock_fd, F_GETFD) & FD_CLOEXEC);
        ASSERT_TRUE(loop.run_until([&] { return srec.count("up") == 1; }));
        ASSERT_EQ(write(c, "to server"), 0);
        ASSERT_EQ(write(s, "to client"), 0);
        ASSERT_TRUE(loop.run_until([&] { return srec.msgs.size() == 1 && crec.msgs.size() == size_t(round) + 1; }));
        EXPECT_EQ(srec.msgs[0], "to server");
        EXPECT_EQ(crec.msgs.back(), "to client");

        close(s);
        ASSERT_TRUE(loop.run_until([&] { return crec.count("down") == size_t(round) + 1; }));
        EXPECT_TRUE(timer_is_enabled(c->connect_timer));
    }
    EXPECT_EQ(crec.events, (Strings{"up", "down", "up", "down"}));
    EXPECT_EQ(c->stats.tx_register, 2u);
    EXPECT_EQ(c->stats.rx_fail, 2u);
}

TEST_F(Msgq, HandlesDeletedFromTheirOwnCallbacks)
{
    MsgqRecorder &crec = recorder();
    MsgqRecorder &srec = recorder();
    server(ADVD, &srec);
    msgq_handle_t *c = open(ADVD, ZORD, MSGQ_HANDLE_TYPE_CLIENT, &crec, params());
    loop.tick();
    ASSERT_TRUE(loop.run_until([&] { return srec.count("up") == 1; }));

    // The server deletes itself on the first of three messages read at once.
    srec.on_recv = [&](msgq_handle_t *h, void *app, uint16_t) {
        msgq_free_msg(h, app);
        srec.keep_msg = true;
        close(h);
    };
    for (const char *m : {"one", "two", "three"}) {
        ASSERT_EQ(write(c, m), 0);
    }
    // The client loses its server and deletes itself from conn_down.
    crec.on_down = [&](msgq_handle_t *h) { close(h); };
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get() == nullptr; }));
    EXPECT_EQ(srec.msgs, (Strings{"one"}));
    EXPECT_EQ(srec.events, (Strings{"up", "down"}));
    EXPECT_EQ(crec.events, (Strings{"up", "down"}));
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
    std::string received;
    std::thread peer([&] {
        int fd = accept(lfd, nullptr, nullptr);
        char buf[64];
        ssize_t n;
        // Register (8) and the request's header (8) and body (4).
        while (received.size() < 20 && (n = recv(fd, buf, sizeof(buf), 0)) > 0) {
            received.append(buf, static_cast<size_t>(n));
        }
        std::string reply = zt::msgq_wire(ZORD, ADVD, MSGQ_MSG_TYPE_DATA, "pong:" + received.substr(16));
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
    // The wire bytes: the register message, then a data message of 12 bytes.
    EXPECT_EQ(received, k_advd_register + std::string("\xAF\xBE\x0C\x00\x01\x02\x02\x0C", 8) + "ping");

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
    loop.tick();
    ASSERT_EQ(rec.events, (Strings{"up"})) << log.dump();
    EXPECT_TRUE(log.contains("[MSG] Trying to connect to server at 127.0.0.1"));

    RawPeer server_side;
    server_side.adopt(accept(lfd, nullptr, nullptr));
    server_side.send_data(ZORD, ADVD, "over tcp");
    ASSERT_TRUE(loop.run_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], "over tcp");
    ASSERT_EQ(write(c, "back"), 0);
    ASSERT_TRUE(loop.run_until([&] {
        server_side.poll_input();
        return server_side.input().size() >= 20;
    }));
    EXPECT_EQ(server_side.input(), k_advd_register + zt::msgq_wire(ADVD, ZORD, MSGQ_MSG_TYPE_DATA, "back"));

    // The server resets the connection: the next send fails, and an IPv4
    // handle reports it in an error line named after the sending function.
    linger lg{1, 0};
    ASSERT_EQ(setsockopt(server_side.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
    server_side.close();
    pollfd reset{c->sock_fd, POLLIN, 0};
    ASSERT_EQ(poll(&reset, 1, 10000), 1) << "the reset has reached the client";
    ASSERT_EQ(write(c, "lost"), 0);
    EXPECT_EQ(c->stats.tx_fail, 1u);
    EXPECT_TRUE(zt::log_has_line(log, "\\[MSG-ERR\\] msgq_flush\\[[0-9]+\\]: Error in sending message to 2, err "
                                      "[0-9]+, msg_size is 12"))
        << log.dump();
    ASSERT_TRUE(loop.run_until([&] { return rec.count("down") == 1; }));
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
    MsgqRecorder &rec = recorder();
    // zord's server handle for advd (or advd's client to zord) with the
    // parameters and callbacks changed by spoil, then then(handle).
    struct Case {
        const char *expr;
        const char *log_text;
        uint32_t type;
        void (*spoil)(msgq_params_t &, msgq_callbacks_t &);
        void (*then)(msgq_handle_t *, const msgq_params_t &, const msgq_callbacks_t &);
    };
    const auto none = [](msgq_params_t &, msgq_callbacks_t &) {};
    const auto nothing = [](msgq_handle_t *, const msgq_params_t &, const msgq_callbacks_t &) {};
    const Case cases[] = {
        {"valid", "Validation of parameters failed", MSGQ_HANDLE_TYPE_SERVER,
         [](msgq_params_t &, msgq_callbacks_t &c) { c.recv_msg = nullptr; }, nothing},
        {"valid", "Validation of parameters failed", MSGQ_HANDLE_TYPE_CLIENT,
         [](msgq_params_t &p, msgq_callbacks_t &) { p.timer_mgr = nullptr; }, nothing},
        // The length field would run past the application header, or wrap into it.
        {"valid", "Validation of parameters failed", MSGQ_HANDLE_TYPE_SERVER,
         [](msgq_params_t &p, msgq_callbacks_t &) { p.use_app_header = 1, p.app_hdr_len = 4, p.app_size_offset = 3; },
         nothing},
        {"valid", "Validation of parameters failed", MSGQ_HANDLE_TYPE_SERVER,
         [](msgq_params_t &p, msgq_callbacks_t &) {
             p.use_app_header = 1, p.app_hdr_len = 8, p.app_size_offset = 0xFFFFFFFFu;
         },
         nothing},
        {"!duplicate", "Duplicate msgq_handle found", MSGQ_HANDLE_TYPE_SERVER, none,
         [](msgq_handle_t *h, const msgq_params_t &p, const msgq_callbacks_t &cbs) {
             msgq_init(h->src, h->tgt, h->type, &p, &cbs, nullptr);
         }},
        {"supported", "Unsupported socket type", MSGQ_HANDLE_TYPE_SERVER,
         [](msgq_params_t &p, msgq_callbacks_t &) { p.sock_type = 3; }, nothing},
        {"rc == MSGQ_OK || rc == MSGQ_START_ALREADY",
         "Failed to start listener for /nonexistent-dir/.zord error:No such file or directory", MSGQ_HANDLE_TYPE_SERVER,
         [](msgq_params_t &p, msgq_callbacks_t &) { snprintf(p.path, sizeof(p.path), "/nonexistent-dir/.zord"); },
         nothing},
        {"(hdr_p->magic1 == MAGIC1) && (hdr_p->magic2 == MAGIC2)", "Msg init", MSGQ_HANDLE_TYPE_SERVER, none,
         [](msgq_handle_t *h, const msgq_params_t &, const msgq_callbacks_t &) {
             char buf[64] = {};
             msgq_write(h, buf + 8, 4);  // not from msgq_alloc_msg
         }},
        {"app_size <= msgq_size_msg_to_app(msgq_p, hdr_p->size)", "Msg init", MSGQ_HANDLE_TYPE_SERVER, none,
         [](msgq_handle_t *h, const msgq_params_t &, const msgq_callbacks_t &) {
             msgq_write(h, msgq_alloc_msg(h, 10), 11);
         }},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(zt::stops_on_assertion(
            [&] {
                // The child reads its own lines: the parent's earlier ones
                // must not have used up the rate limit of a call site.
                ost_log_set_limit(false);
                ost_log_set_mirror(true);
                msgq_params_t p = params();
                msgq_callbacks_t cbs = MsgqRecorder::callbacks();
                c.spoil(p, cbs);
                bool server = c.type == MSGQ_HANDLE_TYPE_SERVER;
                c.then(msgq_init(server ? ZORD : ADVD, server ? ADVD : ZORD, c.type, &p, &cbs, &rec), p, cbs);
            },
            "common/msgq_util", c.expr, c.log_text));
    }
}

}  // namespace
