// Message queue, sending side: the send queue against a peer that does not
// read, partial sends, send errors, queue limits, read helpers, counters and
// the dump. Real sockets and a real libevent loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "maapi_cli.h"
#include "msgq_test_support.h"
#include "msgq_util.h"
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

class MsgqSend : public zt::MsgqTest {
protected:
    // A small send buffer so that a few 10000-byte messages fill the socket
    // (and a message larger than one kernel chunk goes out in pieces).
    static void shrink_send_buffer(msgq_handle_t *h)
    {
        int size = 4096;
        ASSERT_EQ(setsockopt(h->sock_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
    }
    // Reads from the raw peer while the loop runs until n messages arrived.
    Strings drain(RawPeer &peer, size_t n, std::vector<msgq_hdr_t> *headers = nullptr)
    {
        Strings got;
        loop.run_until([&] {
            peer.poll_input();
            for (const auto &m : peer.take_messages()) {
                if (headers != nullptr) {
                    msgq_hdr_t hdr;
                    memcpy(&hdr, m.data(), sizeof(hdr));
                    headers->push_back(hdr);
                }
                got.push_back(m.substr(sizeof(msgq_hdr_t)));
            }
            return got.size() >= n;
        });
        return got;
    }
};

TEST_F(MsgqSend, WriteBeforeThePeerConnectedLeavesTheMessageWithTheCaller)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    void *m = msgq_alloc_msg(h, 5);
    ASSERT_NE(m, nullptr);
    memcpy(m, "early", 5);
    EXPECT_EQ(msgq_write(h, m, 5), MSGQ_ERR_NOT_CONNECTED);
    EXPECT_EQ(MsgqAlloc::live(), 1) << "still the caller's";
    msgq_free_msg(h, m);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_EQ(h->stats.msg_allocs, 1u);
    EXPECT_EQ(h->stats.msg_frees, 1u);
    EXPECT_EQ(h->stats.tx_queued, 0u);

    EXPECT_EQ(msgq_write(nullptr, m, 1), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_write(h, nullptr, 1), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_get_queue_len(nullptr), 0);
    msgq_free_msg(h, nullptr);
    EXPECT_EQ(h->stats.msg_frees, 1u);

    MsgqAlloc::fail_next();
    EXPECT_EQ(msgq_alloc_msg(h, 10), nullptr);
    EXPECT_EQ(h->stats.alloc_failed, 1u);
}

TEST_F(MsgqSend, QueuedMessagesLeaveInOrderAndAHalfSentOneResumes)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);
    shrink_send_buffer(h);

    // The peer reads nothing while twelve 10000-byte messages are written.
    const size_t n = 12;
    std::vector<std::string> sent;
    bool saw_half_sent = false;
    for (size_t i = 0; i < n; i++) {
        sent.push_back(zt::msgq_pattern(10000, static_cast<uint32_t>(i)));
        ASSERT_EQ(write(h, sent.back()), 0);
        const msgq_tx_node_t *head = h->txq_head;
        if (head != nullptr && head->sent > 0 && head->sent < head->total) {
            saw_half_sent = true;
        }
    }
    EXPECT_TRUE(saw_half_sent) << "a message larger than a kernel chunk stops part way";
    EXPECT_GT(msgq_get_queue_len(h), 1);
    EXPECT_EQ(msgq_get_queue_len(h), h->stats.tx_queue_cur_length);
    EXPECT_EQ(h->stats.tx_queued, n);
    EXPECT_EQ(h->stats.tx_msg + h->stats.tx_queue_cur_length, n);
    EXPECT_GT(h->stats.tx_resched, 0u);
    EXPECT_EQ(MsgqAlloc::live(), static_cast<long>(2 * h->stats.tx_queue_cur_length)) << "message and node each";
    EXPECT_TRUE(log.contains("[MSG] Queued Message of size 10008 to target advd"));

    // The peer drains: the write events send the rest, in order, each byte once.
    std::vector<msgq_hdr_t> headers;
    Strings got = drain(peer, n, &headers);
    ASSERT_EQ(got.size(), n);
    for (size_t i = 0; i < n; i++) {
        EXPECT_EQ(got[i], sent[i]) << "message " << i;
        EXPECT_EQ(headers[i].magic1, MAGIC1);
        EXPECT_EQ(headers[i].magic2, MAGIC2);
        EXPECT_EQ(headers[i].src, ZORD);
        EXPECT_EQ(headers[i].tgt, ADVD);
        EXPECT_EQ(headers[i].type, MSGQ_MSG_TYPE_DATA);
        EXPECT_EQ(headers[i].size, 10008);
    }
    EXPECT_TRUE(peer.input().empty()) << "no stray bytes";
    EXPECT_EQ(msgq_get_queue_len(h), 0);
    EXPECT_EQ(h->txq_head, nullptr);
    EXPECT_EQ(h->txq_tail, nullptr);
    EXPECT_EQ(h->stats.tx_msg, n);
    EXPECT_EQ(h->stats.tx_dequeued, n);
    EXPECT_GT(h->stats.tx_write_cb, 0u);
    EXPECT_EQ(h->stats.msg_allocs, n);
    EXPECT_EQ(h->stats.msg_frees, n);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_EQ(log.count("[MSG] Sent Message of size 10008 to target advd"), n);
}

TEST_F(MsgqSend, ASendErrorClosesTheConnectionAtTheNextWriteEvent)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);
    shrink_send_buffer(h);
    for (uint32_t i = 0; i < 5; i++) {
        ASSERT_EQ(write(h, zt::msgq_pattern(10000, i)), 0);
    }
    const uint32_t queued = h->stats.tx_queue_cur_length;
    ASSERT_GE(queued, 2u);

    // The peer takes what is buffered and stops receiving for good.
    peer.poll_input();
    peer.shutdown_read();

    // The send fails inside this write; the message was already queued.
    EXPECT_EQ(write(h, "after"), 0);
    EXPECT_EQ(h->stats.tx_fail, 1u);
    EXPECT_TRUE(h->down_pending);
    EXPECT_FALSE(msgq_is_connected(h));
    EXPECT_TRUE(log.contains("[MSG] Error in sending message to 1, err 32"));
    EXPECT_FALSE(log.contains("[MSG-ERR]")) << "the error lines are for IPv4 handles";
    EXPECT_EQ(write(h, "refused"), MSGQ_ERR_NOT_CONNECTED);  // freed again by its caller
    EXPECT_EQ(msgq_get_queue_len(h), queued + 1);
    const uint32_t frees_before = h->stats.msg_frees;
    EXPECT_EQ(rec.events, (Strings{"up"})) << "nothing closes before the write event";

    ASSERT_TRUE(loop.run_until([&] { return rec.count("down") == 1; }));
    EXPECT_GE(h->stats.tx_write_cb, 1u);
    EXPECT_EQ(h->stats.msg_frees - frees_before, queued + 1) << "every queued message freed";
    EXPECT_EQ(h->stats.tx_queued, 0u);
    EXPECT_EQ(h->stats.tx_dequeued, 0u);
    EXPECT_EQ(h->stats.tx_queue_cur_length, 0u);
    EXPECT_EQ(h->stats.conn_close, 1u);
    EXPECT_EQ(h->stats.conn_down, 1u);
    EXPECT_FALSE(h->down_pending);
    EXPECT_EQ(h->sock_fd, -1);
    EXPECT_EQ(h->write_ev[0], nullptr);
    EXPECT_EQ(h->write_ev[1], nullptr);
    EXPECT_EQ(h->read_ev, nullptr);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_TRUE(loop.run_until([&] { return peer.eof(); }));
}

TEST_F(MsgqSend, QueueLimitAndNodeAllocationFailure)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);
    shrink_send_buffer(h);
    msgq_set_max_queue_len(h, 2);

    size_t written = 0;
    for (uint32_t i = 0; i < 10 && msgq_get_queue_len(h) < 2; i++) {
        ASSERT_EQ(write(h, zt::msgq_pattern(10000, i)), 0);
        written++;
    }
    ASSERT_EQ(msgq_get_queue_len(h), 2);
    EXPECT_EQ(write(h, "third"), MSGQ_ERR_QUEUE_FULL);
    EXPECT_EQ(h->stats.tx_queue_failed, 1u);
    EXPECT_EQ(msgq_get_queue_len(h), 2);

    // Without a limit the queue takes it, unless its node cannot be allocated.
    msgq_set_max_queue_len(h, 0);
    void *m = msgq_alloc_msg(h, 4);
    memcpy(m, "node", 4);
    MsgqAlloc::fail_next();
    EXPECT_EQ(msgq_write(h, m, 4), MSGQ_ERR_AGAIN);
    EXPECT_EQ(h->stats.tx_queue_failed, 2u);
    EXPECT_EQ(msgq_write(h, m, 4), 0);
    written++;
    EXPECT_EQ(msgq_get_queue_len(h), 3);

    Strings got = drain(peer, written);
    ASSERT_EQ(got.size(), written);
    EXPECT_EQ(got.back(), "node");
    EXPECT_EQ(msgq_get_queue_len(h), 0);
}

TEST_F(MsgqSend, WritesFromInsideTheReceiveCallbackAndReadHelpers)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    RawPeer peer;
    attach(peer, ADVD, rec);

    // An echo written from recv_msg goes out in the same call.
    rec.on_recv = [&](msgq_handle_t *hh, void *app, uint16_t size) {
        EXPECT_EQ(write(hh, "echo:" + std::string(static_cast<char *>(app), size)), 0);
    };
    peer.send_data(ADVD, ZORD, "a");
    peer.send_data(ADVD, ZORD, "b");
    EXPECT_EQ(drain(peer, 2), (Strings{"echo:a", "echo:b"}));
    rec.on_recv = nullptr;

    // Read helpers: one activation at a time per index; the index flips per run.
    msgq_schedule_read_helper(h);
    msgq_schedule_read_helper(h);
    EXPECT_EQ(h->stats.rx_read_helper_scheduled, 1u);
    EXPECT_TRUE(h->read_helper_scheduled[0]);
    loop.settle(1);
    EXPECT_EQ(h->stats.rx_read_helper_cb, 1u);
    EXPECT_FALSE(h->read_helper_scheduled[0]);
    EXPECT_EQ(h->read_helper_idx, 1);
    msgq_schedule_read_helper(h);
    EXPECT_TRUE(h->read_helper_scheduled[1]);
    loop.settle(1);
    EXPECT_EQ(h->stats.rx_read_helper_cb, 2u);
    EXPECT_EQ(h->stats.rx_read_helper_scheduled, 2u);
    EXPECT_EQ(h->read_helper_idx, 0);
    EXPECT_EQ(rec.events, (Strings{"up"})) << "a helper run without data leaves the connection alone";
}

// ---------------------------------------------------------------- dump

std::string ptr(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", p);
    return buf;
}

std::string counter(const std::string &name, int value)
{
    std::string v = std::to_string(value);
    return "    " + name + std::string(30 - name.size(), ' ') + " " + v + std::string(10 - v.size(), ' ');
}

// The lines of one handle up to " STATS:".
Strings handle_lines(const msgq_handle_t *h, const char *src, const char *tgt, const char *path)
{
    return {
        "",
        "  msgq_p: " + ptr(h),
        std::string("    Src: ") + src + ", Tgt: " + tgt,
        std::string("    type: SERVER, path:") + path + " server_p: " + ptr(h->server_p),
        "    register: TRUE, user_arg: " + ptr(h->user_arg) + ", down-pending: 0",
        "    fd: " + std::to_string(h->sock_fd) + ", Rd ev: " + ptr(h->read_ev.get()) +
            ", Wr ev[0]: " + ptr(h->write_ev[0].get()) + ", Wr ev[1]: " + ptr(h->write_ev[1].get()),
        "    Read Helper ev[0]: " + ptr(h->read_helper_ev[0].get()) + " (False), Read helper ev[1]: " +
            ptr(h->read_helper_ev[1].get()) + " (False), index:0",
        std::string("    List: In Reg: ") + (h->in_reg_list ? "TRUE" : "FALSE") +
            ", In Unreg: " + (h->in_unreg_list ? "TRUE" : "FALSE") + ", In Tmp: " + (h->in_tmp_list ? "TRUE" : "FALSE"),
        " STATS:",
    };
}

Strings header_lines(const msgq_inst_t *inst)
{
    return {"",
            "   =============",
            "   DUMPING MSGQs",
            "   =============",
            "  inst: " + ptr(inst),
            "  event base: " + ptr(inst->evbase) + ", timer: " + ptr(inst->timer_mgr),
            " Dumping all message Q handles"};
}

void append(Strings &to, const Strings &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

TEST_F(MsgqSend, DumpOfAFreshHandleHasNoCounterLines)
{
    maapi_cli_capture none(5, 9);
    msgq_dump(5, 9);
    EXPECT_EQ(zt::split_lines(none.text()),
              (Strings{"", "   =============", "   DUMPING MSGQs", "   =============", "  inst: (nil)"}));

    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    maapi_cli_capture cap(5, 9);
    msgq_dump(5, 9);
    std::string path = sock_path("zord");
    Strings want = header_lines(msgq_inst_get());
    want.emplace_back(" In Reg. list");
    want.emplace_back(" In Unreg. list");
    append(want, handle_lines(h, "zord", "advd", path.c_str()));
    want.emplace_back(" In tmp list");
    EXPECT_EQ(zt::split_lines(cap.text()), want);
    EXPECT_EQ(cap.text().back(), '\n');
}

TEST_F(MsgqSend, WholeDumpWithRegisteredUnregisteredAndTemporaryConnections)
{
    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    msgq_handle_t *a = server(ADVD, &arec);
    msgq_handle_t *x = server(XFWD, &xrec);
    RawPeer ap;
    attach(ap, ADVD, arec);
    ap.send_data(ADVD, ZORD, "in");
    ASSERT_TRUE(loop.run_until([&] { return arec.msgs.size() == 1; }));
    ASSERT_EQ(write(a, "out"), 0);
    EXPECT_EQ(drain(ap, 1), (Strings{"out"}));
    RawPeer tp;  // connected, not registered
    ASSERT_TRUE(tp.connect_unix(sock_path("zord")));
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get()->tmp_msgq_listhead.count == 1; }));
    const msgq_handle_t *t = msgq_inst_get()->tmp_msgq_listhead.head;

    maapi_cli_capture cap(5, 9);
    msgq_dump(5, 9);
    std::string path = sock_path("zord");
    Strings want = header_lines(msgq_inst_get());
    want.emplace_back(" In Reg. list");
    append(want, handle_lines(a, "zord", "advd", path.c_str()));
    append(want, {counter("tx_msg", 1), counter("rx_msg", 1), counter("conn_up", 1), counter("msg_allocs", 2),
                  counter("msg_frees", 2), counter("tx_queued", 1), counter("tx_dequeued", 1)});
    want.emplace_back(" In Unreg. list");
    append(want, handle_lines(x, "zord", "xfwd", path.c_str()));
    want.emplace_back(" In tmp list");
    append(want, handle_lines(t, "unknown", "unknown", path.c_str()));
    EXPECT_EQ(zt::split_lines(cap.text()), want);
    EXPECT_NE(a->read_ev, nullptr);
    EXPECT_EQ(t->server_p, nullptr);
}

}  // namespace
