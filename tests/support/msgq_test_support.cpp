#include "msgq_test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "ost_util.h"

namespace zt {

// ------------------------------------------------------------ EventLoop

EventLoop::EventLoop() : base_(event_base_new())
{
    mgr_ = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
}

EventLoop::~EventLoop()
{
    // Timers left by a failed test are deleted so the manager can go.
    while (mgr_ != nullptr && !dll_is_empty(&mgr_->created)) {
        timer_util_delete(DLL_CONTAINER(dll_head(&mgr_->created), timer_util_t, mgr_node));
    }
    timer_mgr_destroy(mgr_);
}

namespace {
void wake_cb(evutil_socket_t, short, void *) {}
}  // namespace

void run_base_once(event_base *base, int wait_ms)
{
    ost_event_ptr wake(evtimer_new(base, wake_cb, nullptr));
    timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
    evtimer_add(wake.get(), &tv);
    event_base_loop(base, EVLOOP_ONCE);
}

bool run_base_until(event_base *base, const std::function<bool()> &done, std::chrono::milliseconds limit, int wait_ms)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        run_base_once(base, wait_ms);
    }
    return true;
}

void tick_timers(FakeClock &clock, timer_mgr_t *mgr, int n)
{
    for (int i = 0; i < n; i++) {
        clock.advance_ms(1000);
        timer_mgr_exec(mgr, 3, 100);
    }
}

void EventLoop::settle(int passes)
{
    for (int i = 0; i < passes; i++) {
        event_base_loop(base_.get(), EVLOOP_NONBLOCK);
    }
}

// ------------------------------------------------------------ MsgqAlloc

namespace {
struct alloc_state {
    std::map<void *, size_t> live;
    void *last = nullptr;
    size_t last_size = 0;
    int fail = 0;
};
alloc_state &astate()
{
    static alloc_state s;
    return s;
}
}  // namespace

void *MsgqAlloc::alloc(size_t size)
{
    alloc_state &s = astate();
    if (s.fail > 0) {
        s.fail--;
        return nullptr;
    }
    void *p = malloc(size);
    s.live[p] = size;
    s.last = p;
    s.last_size = size;
    return p;
}

void MsgqAlloc::free(void *ptr)
{
    alloc_state &s = astate();
    auto it = s.live.find(ptr);
    if (it == s.live.end()) {
        ADD_FAILURE() << "free of a pointer the allocator did not hand out (or freed twice): " << ptr;
        return;
    }
    s.live.erase(it);
    ::free(ptr);
}

long MsgqAlloc::live()
{
    return static_cast<long>(astate().live.size());
}

void *MsgqAlloc::last()
{
    return astate().last;
}

size_t MsgqAlloc::last_size()
{
    return astate().last_size;
}

void MsgqAlloc::fail_next(int n)
{
    astate().fail = n;
}

void MsgqAlloc::reset()
{
    alloc_state &s = astate();
    for (auto &kv : s.live) {
        ::free(kv.first);
    }
    s.live.clear();
    s.last = nullptr;
    s.last_size = 0;
    s.fail = 0;
}

// ------------------------------------------------------------ MsgqRecorder

namespace {

void rec_up(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *r = static_cast<MsgqRecorder *>(arg);
    r->events.emplace_back("up");
    if (r->on_up) {
        r->on_up(h);
    }
}

void rec_down(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *r = static_cast<MsgqRecorder *>(arg);
    r->events.emplace_back("down");
    if (r->on_down) {
        r->on_down(h);
    }
}

void rec_spare(msgq_handle_t *, void *, msgq_handle_t *, void *)
{
    ADD_FAILURE() << "the spare callback is never called";
}

void rec_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
{
    auto *r = static_cast<MsgqRecorder *>(arg);
    r->msgs.emplace_back(static_cast<const char *>(app), size);
    r->app_ptrs.push_back(app);
    r->app_sizes.push_back(size);
    r->keep_msg = false;
    if (r->on_recv) {
        r->on_recv(h, app, size);
    }
    if (!r->keep_msg) {
        msgq_free_msg(h, app);
    }
}

}  // namespace

msgq_callbacks_t MsgqRecorder::callbacks()
{
    msgq_callbacks_t cbs{};
    cbs.conn_up = rec_up;
    cbs.conn_down = rec_down;
    cbs.spare = rec_spare;
    cbs.recv_msg = rec_recv;
    cbs.alloc_msg = MsgqAlloc::alloc;
    cbs.free_msg = MsgqAlloc::free;
    return cbs;
}

size_t MsgqRecorder::count(const std::string &event) const
{
    size_t n = 0;
    for (const auto &e : events) {
        n += e == event;
    }
    return n;
}

msgq_params_t msgq_test_params(const EventLoop &loop)
{
    return msgq_setup_unix(loop.base(), loop.timer_mgr()).params;
}

std::string msgq_wire(uint8_t src, uint8_t tgt, uint8_t type, const std::string &payload, int size)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MAGIC1;
    hdr.magic2 = MAGIC2;
    hdr.src = src;
    hdr.tgt = tgt;
    hdr.type = type;
    hdr.size = static_cast<uint16_t>(size >= 0 ? size : static_cast<int>(sizeof(hdr) + payload.size()));
    std::string out(reinterpret_cast<const char *>(&hdr), sizeof(hdr));
    return out + payload;
}

std::string msgq_pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// ------------------------------------------------------------ RawPeer

RawPeer::~RawPeer()
{
    close();
}

bool RawPeer::connect_unix(const std::string &path)
{
    close();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0) {
        ::close(fd);
        return false;
    }
    adopt(fd);
    return true;
}

void RawPeer::adopt(int fd)
{
    close();
    fd_ = fd;
    in_.clear();
    eof_ = false;
}

void RawPeer::send(const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ADD_FAILURE() << "raw peer send failed: " << strerror(errno);
            return;
        }
        off += static_cast<size_t>(n);
    }
}

void RawPeer::send_register(uint8_t src, uint8_t tgt)
{
    send(msgq_wire(src, tgt, MSGQ_MSG_TYPE_REGISTER, ""));
}

void RawPeer::send_data(uint8_t src, uint8_t tgt, const std::string &payload)
{
    send(msgq_wire(src, tgt, MSGQ_MSG_TYPE_DATA, payload));
}

bool RawPeer::poll_input()
{
    if (fd_ == -1 || eof_) {
        return eof_;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            in_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            eof_ = true;
        }
        return eof_;
    }
}

size_t RawPeer::read_up_to(size_t max)
{
    char buf[4096];
    ssize_t n = fd_ == -1 ? -1 : recv(fd_, buf, std::min(max, sizeof(buf)), MSG_DONTWAIT);
    if (n <= 0) {
        return 0;
    }
    in_.append(buf, static_cast<size_t>(n));
    return static_cast<size_t>(n);
}

std::vector<std::string> RawPeer::take_messages()
{
    std::vector<std::string> out;
    while (in_.size() >= sizeof(msgq_hdr_t)) {
        msgq_hdr_t hdr;
        memcpy(&hdr, in_.data(), sizeof(hdr));
        if (hdr.size < sizeof(hdr) || in_.size() < hdr.size) {
            break;
        }
        out.push_back(in_.substr(0, hdr.size));
        in_.erase(0, hdr.size);
    }
    return out;
}

void RawPeer::shutdown_read()
{
    ::shutdown(fd_, SHUT_RD);
}

void RawPeer::close()
{
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

// ------------------------------------------------------------ MsgqTest

void MsgqTest::SetUp()
{
    MsgqAlloc::reset();
    // The transport tests read its "[MSG] " debug lines.
    msgq_set_debug(1);
}

void MsgqTest::TearDown()
{
    msgq_set_debug(0);
    // Hooks may capture locals of the test body, which are gone now.
    for (auto &r : recorders) {
        r.on_recv = nullptr;
        r.on_up = nullptr;
        r.on_down = nullptr;
    }
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        msgq_deinit(*it);
    }
    handles.clear();
    loop.settle();
    EXPECT_EQ(msgq_inst_get(), nullptr) << "the last handle frees the instance";
    EXPECT_EQ(MsgqAlloc::live(), 0) << "every message buffer and queue node is freed";
    MsgqAlloc::reset();
}

msgq_handle_t *MsgqTest::open(uint32_t src, uint32_t tgt, uint32_t type, MsgqRecorder *rec, const msgq_params_t &p)
{
    msgq_callbacks_t cbs = MsgqRecorder::callbacks();
    msgq_handle_t *h = msgq_init(src, tgt, type, &p, &cbs, rec);
    if (h != nullptr) {
        handles.push_back(h);
    }
    return h;
}

msgq_handle_t *MsgqTest::server(uint8_t tgt, MsgqRecorder *rec)
{
    return open(OST_MODULE_ZORD, tgt, MSGQ_HANDLE_TYPE_SERVER, rec, params());
}

void MsgqTest::close(msgq_handle_t *h)
{
    std::erase(handles, h);
    msgq_deinit(h);
}

void MsgqTest::attach(RawPeer &peer, uint8_t src, MsgqRecorder &rec)
{
    size_t ups = rec.count("up");
    ASSERT_TRUE(peer.connect_unix(sock_path("zord")));
    peer.send_register(src, OST_MODULE_ZORD);
    ASSERT_TRUE(loop.run_until([&] { return rec.count("up") == ups + 1; }));
}

int MsgqTest::write(msgq_handle_t *h, const std::string &payload)
{
    void *m = msgq_alloc_msg(h, static_cast<uint32_t>(payload.size()));
    if (m == nullptr) {
        return -1;
    }
    memcpy(m, payload.data(), payload.size());
    int rc = msgq_write(h, m, static_cast<uint16_t>(payload.size()));
    if (rc != 0) {
        msgq_free_msg(h, m);
    }
    return rc;
}

msgq_handle_t *MsgqTest::bound_server(uint8_t src, MsgqRecorder &rec, RawPeer &peer)
{
    msgq_handle_t *h = server(src, &rec);
    EXPECT_NE(h, nullptr);
    attach(peer, src, rec);
    return h;
}

Strings MsgqTest::read_payloads(RawPeer &peer, size_t n, std::vector<msgq_hdr_t> *headers)
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

bool log_has_line(const LogCapture &log, const std::string &regex)
{
    std::regex re(regex);
    for (const auto &line : log.lines()) {
        if (std::regex_match(line, re)) {
            return true;
        }
    }
    return false;
}

}  // namespace zt
