#include "zor_fake_peer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <sys/ioctl.h>
#include <syslog.h>

#include "ip_util.h"
#include "maapi_cli_capture.h"
#include "msgq_test_support.h"
#include "ost_util.h"
#include "zor_client.h"
#include "zor_mem.h"

namespace zt {

namespace {

// Bytes waiting to be read on a socket.
int unread(int fd)
{
    int n = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool handle_quiet(const msgq_handle_t *h)
{
    return h == nullptr || h->sock_fd < 0 || (unread(h->sock_fd) == 0 && h->txq.empty());
}

}  // namespace

// ------------------------------------------------------------ TestDaemon

TestDaemon::TestDaemon()
{
    if (zor_daemon_alloc(&daemon_) == 0) {
        init_rc_ = zor_daemon_init(daemon_);
    }
}

void TestDaemon::run_once()
{
    event_base_loop(daemon_->event_base.get(), EVLOOP_ONCE);
}

void TestDaemon::free()
{
    if (daemon_ != nullptr) {
        zor_daemon_free(daemon_);
        daemon_ = nullptr;
    }
}

uint64_t mem_current(uint32_t type)
{
    const zor_mem_row_t *row = zor_mem_row(type);
    return row->n_alloc - row->n_free;
}

std::string mem_unbalanced()
{
    std::string out;
    for (uint32_t type = ZOR_MEM_DAEMON; type < ZOR_MEM_MAX; type++) {
        // libevent grows its arrays with realloc, which the memory layer
        // passes through uncounted (realloc(NULL, n) included), while their
        // frees are counted: this row cannot balance.
        if (type != ZOR_MEM_EVENTS && mem_current(type) != 0) {
            out += std::string(zor_mem_row(type)->descr) + ": " +
                   std::to_string(static_cast<long long>(mem_current(type))) + "\n";
        }
    }
    return out;
}

// ------------------------------------------------------------ WalkStandIn

WalkStandIn::WalkStandIn(t_zor_context *ctx, void (*fn)(t_zor_context *)) : ctx_(ctx), fn_(fn)
{
    ev_.reset(event_new(
        ctx->daemon->event_base.get(), -1, 0,
        [](evutil_socket_t, short, void *arg) {
            auto *self = static_cast<WalkStandIn *>(arg);
            self->fn_(self->ctx_);
        },
        this));
    ctx_->walk_event = ev_.get();
}

WalkStandIn::~WalkStandIn()
{
    ctx_->walk_event = ctx_->dist_walk_event.get();
}

// ------------------------------------------------------------ FakePeer

FakePeer::FakePeer(t_zor_daemon *daemon, uint32_t id) : id_(id)
{
    msgq_setup_t s = msgq_setup_unix(daemon->event_base.get(), daemon->timer_mgr);
    s.cbs.conn_up = on_up;
    s.cbs.conn_down = on_down;
    s.cbs.recv_msg = on_recv;
    s.cbs.alloc_msg = [](size_t size) { return malloc(size); };
    s.cbs.free_msg = [](void *ptr) { free(ptr); };
    handle_ = msgq_init(id, OST_MODULE_ZORD, MSGQ_HANDLE_TYPE_CLIENT, &s.params, &s.cbs, this);
}

void FakePeer::close()
{
    if (handle_ != nullptr) {
        msgq_deinit(handle_);
        handle_ = nullptr;
    }
    up_ = false;
}

void FakePeer::on_up(msgq_handle_t *, void *arg, msgq_handle_t *, void *)
{
    static_cast<FakePeer *>(arg)->up_ = true;
}

void FakePeer::on_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *)
{
    static_cast<FakePeer *>(arg)->up_ = false;
}

void FakePeer::on_recv(msgq_handle_t *h, void *app, uint16_t len, void *arg)
{
    zor_msg_t msg;
    if (zor_msg_decode(&msg, static_cast<const uint8_t *>(app), len) == 0) {
        static_cast<FakePeer *>(arg)->received_.push_back(msg);
    } else {
        ADD_FAILURE() << "zord sent a message that does not decode (" << len << " bytes)";
    }
    msgq_free_msg(h, app);
}

int FakePeer::send(const zor_msg_t &msg)
{
    zor_msg_t copy = msg;
    if (copy.sender == 0) {
        copy.sender = id_;
    }
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    if (zor_msg_encode(&copy, buf, &len) != 0) {
        return -1;
    }
    return send_bytes(std::string(reinterpret_cast<const char *>(buf), len));
}

int FakePeer::send_bytes(const std::string &bytes)
{
    void *buf = msgq_alloc_msg(handle_, static_cast<uint32_t>(bytes.size()));
    if (buf == nullptr) {
        return MSGQ_ERR_AGAIN;
    }
    memcpy(buf, bytes.data(), bytes.size());
    int rc = msgq_write(handle_, buf, static_cast<uint16_t>(bytes.size()));
    if (rc != 0) {
        msgq_free_msg(handle_, buf);
    }
    return rc;
}

int FakePeer::send_register(zor_af_t af, uint8_t announce, uint8_t originate)
{
    return send(msg_register(af, announce, originate));
}

int FakePeer::send_unregister(zor_af_t af)
{
    return send(msg_of(ZOR_MSG_UNREGISTER, af));
}

std::vector<zor_msg_t> FakePeer::take()
{
    std::vector<zor_msg_t> out;
    out.swap(received_);
    return out;
}

// ------------------------------------------------------------ PeerEnv

void PeerEnv::free()
{
    peers_.clear();
    daemon_.free();
}

FakePeer *PeerEnv::connect(uint32_t id)
{
    auto peer = std::make_unique<FakePeer>(daemon(), id);
    if (peer->handle() == nullptr) {
        return nullptr;
    }
    FakePeer *p = peer.get();
    peers_.push_back(std::move(peer));
    tick();
    const t_zor_client *client = zor_client_get(ctx(), id);
    bool ok = run_until([&] {
        return p->up() && client != nullptr && client->handle != nullptr && client->handle->in_reg_list;
    });
    return ok ? p : nullptr;
}

void PeerEnv::drop(FakePeer *peer)
{
    std::erase_if(peers_, [peer](const std::unique_ptr<FakePeer> &p) { return p.get() == peer; });
}

void PeerEnv::tick(int n)
{
    tick_timers(clock_, daemon()->timer_mgr, n);
}

bool PeerEnv::run_until(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    return run_base_until(daemon()->event_base.get(), done, limit, 1);
}

bool PeerEnv::quiet() const
{
    t_zor_context *c = ctx();
    if (c->walk_event != nullptr && event_pending(c->walk_event, EV_TIMEOUT, nullptr)) {
        return false;
    }
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (c->clients[id] != nullptr && !handle_quiet(c->clients[id]->handle)) {
            return false;
        }
    }
    for (const auto &peer : peers_) {
        if (!handle_quiet(peer->handle())) {
            return false;
        }
    }
    return true;
}

bool PeerEnv::settle(std::chrono::milliseconds limit)
{
    // Two quiet passes in a row: the second shows that the first pass's
    // callbacks started nothing new.
    int quiet_passes = 0;
    return run_until(
        [&] {
            quiet_passes = quiet() ? quiet_passes + 1 : 0;
            return quiet_passes >= 2;
        },
        limit);
}

// ------------------------------------------------------------ PeerFixture

void PeerFixture::TearDown()
{
    g_zor_debug = 0;
    g_zor_debug_announce = 0;
    g_zor_pwk_enabled = 0;
    env.free();
    EXPECT_EQ(mem_unbalanced(), "");
}

t_zor_client *PeerFixture::client(uint32_t id) const
{
    return zor_client_get(ctx(), id);
}

t_zor_db_entry *PeerFixture::tloc(const zor_tloc_key_t &key) const
{
    return zor_af_tloc_find(tloc_af(key), ctx(), &key, nullptr);
}

t_zor_af_tloc *PeerFixture::rec(const zor_tloc_key_t &key) const
{
    t_zor_db_entry *e = tloc(key);
    return e != nullptr ? zor_af_tloc_of(e) : nullptr;
}

FakePeer *PeerFixture::connect(uint32_t id, std::initializer_list<zor_af_t> families)
{
    FakePeer *p = env.connect(id);
    EXPECT_NE(p, nullptr) << "peer " << id << " did not come up";
    for (zor_af_t af : families) {
        if (p != nullptr) {
            reg(p, af);
        }
    }
    return p;
}

void PeerFixture::send(FakePeer *p, std::initializer_list<zor_msg_t> msgs)
{
    for (const zor_msg_t &m : msgs) {
        ASSERT_EQ(p->send(m), 0);
    }
    ASSERT_TRUE(env.settle());
}

void PeerFixture::reg(FakePeer *p, zor_af_t af, uint8_t announce, uint8_t originate)
{
    send(p, {msg_register(af, announce, originate)});
}

std::vector<zor_msg_t> PeerFixture::deliver()
{
    EXPECT_TRUE(env.settle());
    std::vector<zor_msg_t> out;
    for (const auto &p : env.peers()) {
        const std::vector<zor_msg_t> got = p->take();
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

std::vector<std::string> PeerFixture::logged(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const std::string &line : log.lines()) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(log_text(line));
        }
    }
    return out;
}

std::string log_text(const std::string &line)
{
    const size_t pos = line.find("]: ");
    return pos == std::string::npos ? line : line.substr(pos + 3);
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

// ------------------------------------------------------------ messages

zor_tloc_key_t tloc_key(const std::string &ip, uint8_t color, uint8_t encap)
{
    zor_tloc_key_t key{};
    key.addr = addr(ip.c_str());
    key.color = color;
    key.encap = encap;
    return key;
}

zor_af_t tloc_af(const zor_tloc_key_t &key)
{
    return key.addr.family == IP_AF_INET6 ? ZOR_AF_TLOC_IPV6 : ZOR_AF_TLOC_IPV4;
}

zor_msg_t msg_of(uint32_t type, zor_af_t af)
{
    zor_msg_t msg{};
    msg.type = type;
    msg.family = af;
    return msg;
}

zor_msg_t msg_register(zor_af_t af, uint8_t announce, uint8_t originate)
{
    zor_msg_t msg = msg_of(ZOR_MSG_REGISTER, af);
    msg.body.reg.announce = announce;
    msg.body.reg.originate = originate;
    return msg;
}

zor_msg_t tloc_add_msg(const zor_tloc_key_t &key, uint8_t origin)
{
    zor_msg_t msg = tloc_del_msg(key);
    msg.type = ZOR_MSG_TLOC_ADD;
    msg.body.tloc.origin = origin;
    msg.body.tloc.attr.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_CARRIER);
    msg.body.tloc.attr.carrier = 1;
    return msg;
}

zor_msg_t tloc_del_msg(const zor_tloc_key_t &key)
{
    zor_msg_t msg = msg_of(ZOR_MSG_TLOC_DEL, tloc_af(key));
    msg.body.tloc.key = key;
    return msg;
}

zor_msg_t bfd_msg(const zor_tloc_key_t &key, uint32_t state)
{
    zor_msg_t msg = msg_of(ZOR_MSG_TLOC_BFD_STATUS, tloc_af(key));
    msg.body.bfd.key = key;
    msg.body.bfd.status = state;
    return msg;
}

zor_msg_t dd_state_msg(zor_af_t af, const std::string &ip, uint32_t state)
{
    zor_msg_t msg = msg_of(ZOR_MSG_DATA_DEVICE_STATE, af);
    msg.body.data_device_state.addr = addr(ip.c_str());
    msg.body.data_device_state.state = state;
    return msg;
}

zor_msg_t tloc_msg_every_attr()
{
    zor_msg_t add = tloc_add_msg(tloc_key("10.1.1.1", 4, OST_ENCAP_IPSEC), 1);
    zor_msg_tloc_t &t = add.body.tloc;
    t.lr_enabled = 1;
    t.lr_hold_time = 30;
    zor_tloc_attr_t &a = t.attr;
    for (int bit : {ZOR_TLOC_ATTR_PREF, ZOR_TLOC_ATTR_WEIGHT, ZOR_TLOC_ATTR_GEN_ID, ZOR_TLOC_ATTR_VERSION,
                    ZOR_TLOC_ATTR_SITE_ID, ZOR_TLOC_ATTR_REGION_ID, ZOR_TLOC_ATTR_INSTALLED, ZOR_TLOC_ATTR_STALE,
                    ZOR_TLOC_ATTR_RESTRICT, ZOR_TLOC_ATTR_ON_DEMAND, ZOR_TLOC_ATTR_BORDER, ZOR_TLOC_ATTR_BANDWIDTH, ZOR_TLOC_ATTR_QOS_GROUP,
                    ZOR_TLOC_ATTR_CAPABILITY, ZOR_TLOC_ATTR_GROUP, ZOR_TLOC_ATTR_TLOCV4_PUB, ZOR_TLOC_ATTR_TLOCV4_PRI,
                    ZOR_TLOC_ATTR_TLOCV6_PUB, ZOR_TLOC_ATTR_TLOCV6_PRI, ZOR_TLOC_ATTR_ENCAP,
                    ZOR_TLOC_ATTR_SECURITY}) {
        a.flags |= ZOR_TLOC_ATTR_BIT(bit);
    }
    a.preference = 5;
    a.weight = 6;
    a.gen_id = 7;
    a.version = 8;
    a.site_id = 9;
    a.region_id = 10;
    a.carrier = 3;
    a.installed = 1;
    a.stale = 1;
    a.restricted = 1;
    a.on_demand = 2;
    a.border = 1;
    a.bandwidth = 100;
    strcpy(t.qos_group, "gold");
    a.capability = 255;
    a.group_count = 2;
    a.groups[1] = 7;
    a.tloc_v4_public = {addr("1.2.3.4"), 12346};
    a.tloc_v4_private = {addr("10.0.0.1"), 12347};
    a.tloc_v6_public = {addr("2001:db8::1"), 12348};
    a.tloc_v6_private = {addr("fd00::1"), 12349};
    a.encap = ZOR_TUNNEL_ENCAP_IPSEC;
    a.spi = 256;
    a.integrity = 0x19;
    a.cipher = 12;
    for (int i = 0; i < 64; i++) {
        a.key1[i] = static_cast<uint8_t>(i);
        a.key2[i] = static_cast<uint8_t>(200 - i);
    }
    zor_tloc_sec_t &sec = a.sec;
    sec.inbound_sa_index = 3;
    sec.spi = 77;
    sec.flags = 1;
    sec.proto_count = 2;
    sec.protos[1] = 2;
    sec.enc_type_count = 2;
    sec.enc_types[1] = 3;
    sec.integrity_count = 1;
    sec.auth_key_count = 1;
    sec.auth_keys[0].type = 1;
    memset(sec.auth_keys[0].key, 'M', 64);
    sec.auth_keys[0].key[0] = 'A';
    sec.auth_keys[0].key[63] = 'Z';
    sec.enc_key_count = 2;
    memset(sec.enc_keys[0].key, 'm', 64);
    sec.enc_keys[0].key[0] = 'a';
    sec.enc_keys[0].key[63] = 'z';
    memset(sec.enc_keys[1].key, 'n', 64);
    sec.enc_keys[1].key[0] = 'b';
    sec.enc_keys[1].key[63] = 'y';
    return add;
}

std::string msg_str(const zor_msg_t &msg)
{
    char text[160];
    std::string out = zor_msg_type_str(msg.type);
    switch (msg.type) {
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL:
        out += std::string(" ") + tloc_to_str(&msg.body.tloc.key, text, sizeof(text));
        break;
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_DEL:
        out += std::string(" ") + ip_addr_to_str(&msg.body.data_device.addr, text, sizeof(text)) + " " +
               std::to_string(msg.body.data_device.status);
        break;
    default:
        break;
    }
    return out;
}

std::vector<std::string> msg_strs(const std::vector<zor_msg_t> &msgs)
{
    std::vector<std::string> out(msgs.size());
    std::transform(msgs.begin(), msgs.end(), out.begin(), msg_str);
    return out;
}

}  // namespace zt
