// Message queue, sending side: the send queue against a peer that does not
// read, partial sends, send errors, queue limits, read helpers, counters and
// the dump. Real sockets and a real libevent loop.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "maapi_cli_capture.h"
#include "msgq_test_support.h"
#include "msgq_util.h"
#include "ost_util.h"
#include "test_support.h"

namespace {

using zt::MsgqAlloc;
using zt::MsgqRecorder;
using zt::RawPeer;
using zt::Strings;
using zt::ptr_text;

constexpr uint8_t ZORD = OST_MODULE_ZORD;
constexpr uint8_t ADVD = OST_MODULE_ADVD;

class MsgqSend : public zt::MsgqTest {
protected:
    // zord's handle for advd with a raw advd bound to it, and a small send
    // buffer so that a few 10000-byte messages fill the socket (and a message
    // larger than one kernel chunk goes out in pieces).
    msgq_handle_t *bound_small(MsgqRecorder &rec, RawPeer &peer)
    {
        msgq_handle_t *h = bound_server(ADVD, rec, peer);
        int size = 4096;
        EXPECT_EQ(setsockopt(h->sock_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
        return h;
    }
};

TEST_F(MsgqSend, WriteBeforeThePeerConnectedLeavesTheMessageWithTheCaller)
{
    MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(ADVD, &rec);
    void *m = msgq_alloc_msg(h, 5);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(msgq_write(h, m, 5), MSGQ_ERR_NOT_CONNECTED);
    EXPECT_EQ(MsgqAlloc::live(), 1) << "still the caller's";
    msgq_free_msg(h, m);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_EQ(h->stats.msg_frees, 1u);
    EXPECT_EQ(h->stats.tx_queued, 0u);

    EXPECT_EQ(msgq_write(nullptr, m, 1), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_write(h, nullptr, 1), MSGQ_ERR_INVALID);
    EXPECT_EQ(msgq_get_queue_len(nullptr), 0);
    MsgqAlloc::fail_next();
    EXPECT_EQ(msgq_alloc_msg(h, 10), nullptr);
    EXPECT_EQ(h->stats.alloc_failed, 1u);
}

// Messages cut part way and resumed are the one-byte reader's test below;
// here the counters, lines and wire headers of a queue that drains.
TEST_F(MsgqSend, QueuedMessagesLeaveInOrderWithTheirHeadersCountersAndLines)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_small(rec, peer);

    // The peer reads nothing while twelve 10000-byte messages are written.
    const size_t n = 12;
    Strings sent;
    for (size_t i = 0; i < n; i++) {
        sent.push_back(zt::msgq_pattern(10000, static_cast<uint32_t>(i)));
        ASSERT_EQ(write(h, sent.back()), 0);
    }
    EXPECT_GT(msgq_get_queue_len(h), 1);
    EXPECT_EQ(h->stats.tx_queued, n);
    EXPECT_EQ(h->stats.tx_msg + h->stats.tx_queue_cur_length, n);
    EXPECT_GE(MsgqAlloc::live(), 1) << "the queue's chunks";
    EXPECT_LE(MsgqAlloc::live(), static_cast<long>(h->stats.tx_queue_cur_length)) << "a chunk holds one or more";
    EXPECT_TRUE(log.contains("[MSG] Queued Message of size 10008 to target advd"));

    // The peer drains: the write events send the rest, in order, each byte once.
    std::vector<msgq_hdr_t> headers;
    EXPECT_EQ(read_payloads(peer, n, &headers), sent);
    for (const msgq_hdr_t &hdr : headers) {
        const msgq_hdr_t want{MAGIC1, 10008, ZORD, ADVD, MSGQ_MSG_TYPE_DATA, MAGIC2};
        EXPECT_EQ(memcmp(&hdr, &want, sizeof(hdr)), 0);
    }
    EXPECT_TRUE(peer.input().empty()) << "no stray bytes";
    EXPECT_TRUE(h->txq.empty());
    EXPECT_EQ(h->stats.tx_dequeued, n);
    EXPECT_GT(h->stats.tx_write_cb, 0u);
    EXPECT_EQ(h->stats.msg_frees, n);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_EQ(log.count("[MSG] Sent Message of size 10008 to target advd"), n);
}

TEST_F(MsgqSend, ASendErrorClosesTheConnectionAtTheNextWriteEvent)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_small(rec, peer);
    for (uint32_t i = 0; i < 5; i++) {
        ASSERT_EQ(write(h, zt::msgq_pattern(10000, i)), 0);
    }
    const uint32_t queued = h->stats.tx_queue_cur_length;
    ASSERT_GE(queued, 2u);

    // The peer takes what is buffered and stops receiving for good.
    peer.poll_input();
    peer.shutdown_read();

    // A write while the write event is pending only queues: the send that
    // fails is the write event's.
    EXPECT_EQ(write(h, "after"), 0);
    EXPECT_EQ(h->stats.tx_fail, 0u);
    ASSERT_TRUE(loop.run_until([&] { return h->stats.tx_fail == 1; }));
    EXPECT_FALSE(msgq_is_connected(h));
    EXPECT_TRUE(log.contains("[MSG] Error in sending message to 1, err 32"));
    EXPECT_FALSE(log.contains("[MSG-ERR]")) << "the error lines are for IPv4 handles";
    EXPECT_EQ(write(h, "refused"), MSGQ_ERR_NOT_CONNECTED);
    const uint32_t unsent = msgq_get_queue_len(h);
    EXPECT_GE(unsent, 1u);
    const uint32_t frees_before = h->stats.msg_frees;
    EXPECT_EQ(rec.events, (Strings{"up"})) << "nothing closes before the next write event";

    ASSERT_TRUE(loop.run_until([&] { return rec.count("down") == 1; }));
    EXPECT_EQ(h->stats.msg_frees - frees_before, unsent) << "every queued message freed";
    EXPECT_EQ(h->stats.tx_queued, 0u);
    EXPECT_EQ(h->stats.tx_dequeued, 0u);
    EXPECT_EQ(h->stats.tx_queue_cur_length, 0u);
    EXPECT_EQ(h->stats.conn_close, 1u);
    EXPECT_FALSE(h->down_pending);
    EXPECT_EQ(h->sock_fd, -1);
    EXPECT_EQ(h->write_ev[0], nullptr);
    EXPECT_EQ(h->read_ev, nullptr);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_TRUE(loop.run_until([&] { return peer.eof(); }));
}

TEST_F(MsgqSend, QueueLimitAndNodeAllocationFailure)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_small(rec, peer);
    msgq_set_max_queue_len(h, 2);
    size_t written = 0;
    for (uint32_t i = 0; i < 10 && msgq_get_queue_len(h) < 2; i++, written++) {
        ASSERT_EQ(write(h, zt::msgq_pattern(10000, i)), 0);
    }
    ASSERT_EQ(msgq_get_queue_len(h), 2);
    EXPECT_EQ(write(h, "third"), MSGQ_ERR_QUEUE_FULL);
    EXPECT_EQ(h->stats.tx_queue_failed, 1u);

    // Without a limit the queue takes it, unless the chunk it needs cannot
    // be allocated (a 10000-byte message does not fit beside another).
    msgq_set_max_queue_len(h, 0);
    const std::string big = zt::msgq_pattern(10000, 99);
    void *m = msgq_alloc_msg(h, 10000);
    memcpy(m, big.data(), big.size());
    MsgqAlloc::fail_next();
    EXPECT_EQ(msgq_write(h, m, 10000), MSGQ_ERR_AGAIN);
    EXPECT_EQ(h->stats.tx_queue_failed, 2u);
    EXPECT_EQ(msgq_write(h, m, 10000), 0);
    Strings got = read_payloads(peer, written + 1);
    ASSERT_EQ(got.size(), written + 1);
    EXPECT_EQ(got.back(), big);
}

TEST_F(MsgqSend, WritesFromInsideTheReceiveCallbackAndReadHelpers)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_server(ADVD, rec, peer);

    // An echo written from recv_msg goes out in the same call.
    rec.on_recv = [&](msgq_handle_t *hh, void *app, uint16_t size) {
        EXPECT_EQ(write(hh, "echo:" + std::string(static_cast<char *>(app), size)), 0);
    };
    peer.send_data(ADVD, ZORD, "a");
    peer.send_data(ADVD, ZORD, "b");
    EXPECT_EQ(read_payloads(peer, 2), (Strings{"echo:a", "echo:b"}));
    rec.on_recv = nullptr;

    // Read helpers: one activation at a time per index; the index flips per run.
    for (uint8_t i = 0; i < 2; i++) {
        msgq_schedule_read_helper(h);
        msgq_schedule_read_helper(h);
        EXPECT_TRUE(h->read_helper_scheduled[i]);
        EXPECT_EQ(h->stats.rx_read_helper_scheduled, i + 1u);
        loop.settle(1);
        EXPECT_EQ(h->stats.rx_read_helper_cb, i + 1u);
        EXPECT_FALSE(h->read_helper_scheduled[i]);
        EXPECT_EQ(h->read_helper_idx, 1 - i);
    }
    EXPECT_EQ(rec.events, (Strings{"up"})) << "a helper run without data leaves the connection alone";
}

TEST_F(MsgqSend, BatchesLeaveWithOneSendAndNothingIsSentWhileAWriteEventIsPending)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_small(rec, peer);

    // Queued copies wait for the flush, which sends them with one call.
    Strings sent;
    for (uint32_t i = 0; i < 20; i++) {
        sent.push_back(zt::msgq_pattern(50 + i, i));
        ASSERT_EQ(msgq_enqueue_copy(h, sent.back().data(), static_cast<uint16_t>(sent.back().size())), 0);
    }
    EXPECT_EQ(h->stats.msg_allocs, 20u) << "counted as messages allocated and written";
    EXPECT_EQ(msgq_get_queue_len(h), 20);
    EXPECT_EQ(msgq_get_queue_bytes(h), 20u * 8 + 20 * 50 + 190);
    EXPECT_EQ(peer.read_up_to(1), 0u) << "nothing sent before the flush";
    msgq_flush(h);
    EXPECT_EQ(h->stats.tx_msg, 20u);
    EXPECT_EQ(h->stats.tx_resched, 0u);
    EXPECT_EQ(msgq_get_queue_bytes(h), 0u);
    EXPECT_EQ(MsgqAlloc::live(), 0) << "the chunk went with its last byte";
    EXPECT_EQ(read_payloads(peer, 20), sent);

    // The socket fills: from then on writes only queue until the write event.
    sent.clear();
    for (uint32_t i = 0; !msgq_write_pending(h); i++) {
        ASSERT_LT(i, 100u);
        sent.push_back(zt::msgq_pattern(10000, i));
        ASSERT_EQ(write(h, sent.back()), 0);
    }
    const uint32_t resched = h->stats.tx_resched;
    const uint32_t sent_before = h->stats.tx_msg;
    for (uint32_t i = 0; i < 30; i++) {
        sent.push_back("queued " + std::to_string(i));
        ASSERT_EQ(write(h, sent.back()), 0);
        msgq_flush(h);
    }
    EXPECT_EQ(h->stats.tx_resched, resched) << "no send tried against the full socket";
    EXPECT_EQ(h->stats.tx_msg, sent_before);
    EXPECT_EQ(read_payloads(peer, sent.size()), sent);
    EXPECT_EQ(h->stats.tx_msg, sent.size() + 20);
}

TEST_F(MsgqSend, APeerReadingOneByteAtATimeGetsEveryMessageWholeAndInOrder)
{
    MsgqRecorder &rec = recorder();
    RawPeer peer;
    msgq_handle_t *h = bound_small(rec, peer);
    int size = 1024;
    ASSERT_EQ(setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)), 0);

    // Sizes around the chunk size and the largest message, which takes a
    // chunk of its own; queued in one batch and by single writes.
    Strings sent;
    size_t bytes = 0;
    const size_t sizes[] = {1, 700, 16000, 16500, 3, MSGQ_MAX_APP_SIZE, 9000, 2};
    for (size_t i = 0; i < std::size(sizes); i++) {
        sent.push_back(zt::msgq_pattern(sizes[i], static_cast<uint32_t>(i)));
        bytes += sizes[i] + sizeof(msgq_hdr_t);
        if (i % 2 == 0) {
            ASSERT_EQ(msgq_enqueue_copy(h, sent.back().data(), static_cast<uint16_t>(sent.back().size())), 0);
        } else {
            ASSERT_EQ(write(h, sent.back()), 0);
        }
    }
    msgq_flush(h);
    bool cut_mid_message = false;
    size_t got = 0;
    for (size_t spins = 0; got < bytes && spins < 50 * bytes; spins++) {
        got += peer.read_up_to(1);
        loop.settle(1);
        const msgq_tx_chunk_t *c = h->txq.empty() ? nullptr : &h->txq.front();
        cut_mid_message = cut_mid_message || (c != nullptr && c->head > c->done_end);
    }
    ASSERT_EQ(got, bytes);
    EXPECT_TRUE(cut_mid_message) << "sends that ended inside a message";
    EXPECT_GT(h->stats.tx_resched, 0u);
    EXPECT_EQ(h->stats.tx_msg, sent.size());
    EXPECT_EQ(h->stats.tx_dequeued, sent.size());
    EXPECT_EQ(h->stats.msg_frees, h->stats.msg_allocs);
    EXPECT_EQ(msgq_get_queue_len(h), 0);
    EXPECT_EQ(MsgqAlloc::live(), 0);
    EXPECT_EQ(read_payloads(peer, sent.size()), sent);
    EXPECT_TRUE(peer.input().empty());
}

int g_drained = 0;
void count_drained(msgq_handle_t *, void *)
{
    g_drained++;
}

TEST_F(MsgqSend, DrainNotificationAndTheTotalWatermarkEachWay)
{
    MsgqRecorder &rec = recorder();
    MsgqRecorder &xrec = recorder();
    RawPeer peer;
    RawPeer xpeer;
    msgq_handle_t *h = bound_small(rec, peer);
    bound_server(OST_MODULE_XFWD, xrec, xpeer);
    msgq_set_total_watermarks(30000, 12000);
    g_drained = 0;
    const auto fill = [&] {
        for (uint32_t i = 0; msgq_get_queue_bytes(h) <= 30000; i++) {
            ASSERT_LT(i, 100u);
            ASSERT_EQ(write(h, zt::msgq_pattern(10000, i)), 0);
            EXPECT_EQ(msgq_rx_paused(), msgq_get_queue_bytes(h) > 30000);
        }
    };

    // Past the high mark every handle stops reading, and reading resumes at
    // the low mark.
    fill();
    xpeer.send_data(OST_MODULE_XFWD, ZORD, "held back");
    loop.settle(20);
    EXPECT_TRUE(xrec.msgs.empty()) << "nothing is read while the queues are over the mark";
    ASSERT_TRUE(loop.run_until([&] {
        peer.read_up_to(2000);
        EXPECT_EQ(msgq_rx_paused(), msgq_get_queue_bytes(h) > 12000);
        return msgq_get_queue_bytes(h) == 0;
    }));
    ASSERT_TRUE(loop.run_until([&] { return xrec.msgs.size() == 1; }));
    EXPECT_EQ(xrec.msgs[0], "held back");

    // A handle waiting for its drain notification is held back by its own
    // peer: its bytes leave the total, so it cannot keep the others from
    // being read. The callback runs once at its own mark, and the bytes
    // count again from then on.
    fill();
    msgq_notify_drained(h, 5000, count_drained);
    EXPECT_FALSE(msgq_rx_paused());
    xpeer.send_data(OST_MODULE_XFWD, ZORD, "read beside a stalled peer");
    ASSERT_TRUE(loop.run_until([&] { return xrec.msgs.size() == 2; }));
    ASSERT_EQ(write(h, zt::msgq_pattern(10000, 5)), 0);
    EXPECT_FALSE(msgq_rx_paused());
    ASSERT_TRUE(loop.run_until([&] {
        peer.read_up_to(2000);
        EXPECT_EQ(g_drained, msgq_get_queue_bytes(h) <= 5000 ? 1 : 0);
        return g_drained == 1;
    }));
    fill();
    EXPECT_TRUE(msgq_rx_paused());

    // A notification is one-shot, and a closed connection drops it and every
    // byte it held out of the total.
    EXPECT_EQ(g_drained, 1);
    msgq_notify_drained(h, 0, count_drained);
    EXPECT_FALSE(msgq_rx_paused());
    msgq_close_connection(h, 0);
    EXPECT_EQ(h->drain_fn, nullptr);
    EXPECT_EQ(msgq_inst_get()->tx_bytes, 0u);
    EXPECT_FALSE(msgq_rx_paused());
    msgq_set_total_watermarks(0, 0);
}

// ---------------------------------------------------------------- dump

// The lines of one handle, ending with its counters.
Strings handle_lines(const msgq_handle_t *h, const char *src, const char *tgt, const Strings &counters = {})
{
    auto yes = [](bool b) { return b ? "TRUE" : "FALSE"; };
    Strings lines = {
        "",
        "  msgq_p: " + ptr_text(h),
        std::string("    Src: ") + src + ", Tgt: " + tgt,
        std::string("    type: SERVER, path:") + h->path + " server_p: " + ptr_text(h->server_p),
        "    register: TRUE, user_arg: " + ptr_text(h->user_arg) + ", down-pending: 0",
        "    fd: " + std::to_string(h->sock_fd) + ", Rd ev: " + ptr_text(h->read_ev.get()) +
            ", Wr ev[0]: " + ptr_text(h->write_ev[0].get()) + ", Wr ev[1]: " + ptr_text(h->write_ev[1].get()),
        "    Read Helper ev[0]: " + ptr_text(h->read_helper_ev[0].get()) + " (False), Read helper ev[1]: " +
            ptr_text(h->read_helper_ev[1].get()) + " (False), index:0",
        std::string("    List: In Reg: ") + yes(h->in_reg_list) + ", In Unreg: " + yes(h->in_unreg_list) +
            ", In Tmp: " + yes(h->in_tmp_list),
        " STATS:",
    };
    for (const auto &c : counters) {
        size_t blank = c.find(' ');
        std::string name = c.substr(0, blank);
        std::string value = c.substr(blank + 1);
        lines.push_back("    " + name + std::string(30 - name.size(), ' ') + " " + value +
                        std::string(10 - value.size(), ' '));
    }
    return lines;
}

TEST_F(MsgqSend, DumpOfEveryListWithCountersOnlyWhenNotZero)
{
    const Strings head = {"", "   =============", "   DUMPING MSGQs", "   ============="};
    maapi_cli_capture none(5, 9);
    msgq_dump(5, 9);
    Strings want = head;
    want.push_back("  inst: (nil)");
    EXPECT_EQ(zt::split_lines(none.text()), want);

    MsgqRecorder &arec = recorder();
    MsgqRecorder &xrec = recorder();
    RawPeer ap;
    msgq_handle_t *a = bound_server(ADVD, arec, ap);
    msgq_handle_t *x = server(OST_MODULE_XFWD, &xrec);  // fresh: no counter lines
    ap.send_data(ADVD, ZORD, "in");
    ASSERT_TRUE(loop.run_until([&] { return arec.msgs.size() == 1; }));
    ASSERT_EQ(write(a, "out"), 0);
    EXPECT_EQ(read_payloads(ap, 1), (Strings{"out"}));
    RawPeer tp;  // connected, not registered
    ASSERT_TRUE(tp.connect_unix(sock_path("zord")));
    ASSERT_TRUE(loop.run_until([&] { return msgq_inst_get()->tmp_msgq_listhead.size() == 1; }));

    maapi_cli_capture cap(5, 9);
    msgq_dump(5, 9);
    const msgq_inst_t *inst = msgq_inst_get();
    want = head;
    want.push_back("  inst: " + ptr_text(inst));
    want.push_back("  event base: " + ptr_text(inst->evbase) + ", timer: " + ptr_text(inst->timer_mgr));
    want.push_back(" Dumping all message Q handles");
    want.push_back(" In Reg. list");
    auto append = [&](const Strings &more) { want.insert(want.end(), more.begin(), more.end()); };
    append(handle_lines(a, "zord", "advd",
                        {"tx_msg 1", "rx_msg 1", "conn_up 1", "msg_allocs 2", "msg_frees 2", "tx_queued 1",
                         "tx_dequeued 1"}));
    want.emplace_back(" In Unreg. list");
    append(handle_lines(x, "zord", "xfwd"));
    want.emplace_back(" In tmp list");
    append(handle_lines(&inst->tmp_msgq_listhead.front(), "unknown", "unknown"));
    EXPECT_EQ(zt::split_lines(cap.text()), want);
    EXPECT_EQ(cap.text().back(), '\n');
}

}  // namespace
