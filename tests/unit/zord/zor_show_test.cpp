// The operational-data callbacks against the live tables of a daemon in the
// test process: each callback answers on a worker socket joined to an
// in-test agent, and the agent's side reads the reply frame with the wire
// codec, so keys,
// positions, value types, tags and namespaces are checked as the agent
// receives them. Tags and namespaces are computed here from the model's
// names, independently of zord's constants.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <utility>
#include <unistd.h>
#include <vector>

#include "../platform/confd/fake_agent.h"
#include "confd_hash.h"
#include "confd_wire.h"
#include "oconfd.h"
#include "ost_util.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_confd.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_path.h"
#include "zor_show.h"

namespace {

using zt::tloc_key;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;
constexpr uint8_t k_gre = OST_ENCAP_GRE;

// "name=value" per leaf: addresses as text, enumerations as #N, booleans as
// true/false; container markers as "name{" and "}"; a namespace other than 0
// as "@module".
std::string tv_text(const confd_tag_value_t &tv)
{
    static const std::map<uint32_t, std::string> names = [] {
        std::map<uint32_t, std::string> m;
        for (const char *n : {"system-ip", "color", "encapsulation", "path-index", "preference", "mtu", "best",
                              "status", "stale", "link-index", "local-tloc", "remote-tloc", "label"}) {
            m[mgmt_name_hash(n)] = n;
        }
        return m;
    }();
    auto it = names.find(tv.tag.tag);
    std::string out = it != names.end() ? it->second : "tag" + std::to_string(tv.tag.tag);
    char buf[INET6_ADDRSTRLEN];
    switch (tv.v.type) {
    case C_IPV4:
        out += std::string("=") + inet_ntop(AF_INET, &tv.v.val.ip, buf, sizeof(buf));
        break;
    case C_IPV6:
        out += std::string("=") + inet_ntop(AF_INET6, &tv.v.val.ip6, buf, sizeof(buf));
        break;
    case C_ENUM_VALUE:
        out += "=#" + std::to_string(tv.v.val.enumvalue);
        break;
    case C_UINT32:
        out += "=" + std::to_string(tv.v.val.u32);
        break;
    case C_BOOL:
        out += tv.v.val.boolean ? "=true" : "=false";
        break;
    case C_XMLBEGIN:
        out += "{";
        break;
    case C_XMLEND:
        out = "}";
        break;
    default:
        out += "=type" + std::to_string(tv.v.type);
    }
    if (tv.tag.ns == mgmt_name_hash("urn:ostrana:zor")) {
        out += "@zor";
    } else if (tv.tag.ns == mgmt_name_hash("urn:ostrana:zor-tenant")) {
        out += "@zor-tenant";
    } else if (tv.tag.ns != 0) {
        out += "@" + std::to_string(tv.tag.ns);
    }
    return out;
}

std::string tvs_text(mgmt_wire::reader &r)
{
    confd_tag_value_t *tv = nullptr;
    int n = 0;
    if (!r.tag_values(&tv, &n)) {
        return "<bad values>";
    }
    std::string out;
    for (int i = 0; i < n; i++) {
        out += (i > 0 ? " " : "") + tv_text(tv[i]);
    }
    mgmt_wire::free_tag_values(tv, n);
    return out;
}

// One reply as text: "not found", "array N: ...", "end", "object N next: ...",
// or for several objects one such object text per element.
struct Reply {
    std::string text;
    std::vector<std::string> objects;  // NEXT_OBJECTS
    int64_t timeout = -2;
};

// A daemon handle joined to an in-test agent (control and worker sockets
// over loopback TCP) whose integration context holds the daemon record, and
// a transaction bound to the worker socket. The agent's side records the
// callpoints registered on the control socket, refusing the one named in
// refuse, and queues the replies the callbacks send on the worker.
class Agent {
public:
    explicit Agent(t_zor_daemon *daemon)
    {
        agent_.on(MGMT_CONN_CONTROL, [this](fake_agent::peer &p, mgmt_wire::reader &r) {
            std::string name;
            int64_t mask = 0;
            if (r.op() != MGMT_OP_REG_DATA_CB || !r.str(name) || !r.i64(mask)) {
                return false;
            }
            std::lock_guard<std::mutex> g(mu_);
            if (name == refuse_) {
                p.send(fake_agent::error(r.xid(), CONFD_ERR_INTERNAL, "refused"));
                return true;
            }
            callpoints_.push_back(name + ":" + std::to_string(mask));
            p.send(fake_agent::reply(r.xid()));
            return true;
        });
        dx_ = confd_init_daemon("zord");
        ctl_ = client_socket();
        worker_ = client_socket();
        EXPECT_EQ(confd_connect(dx_, ctl_, CONTROL_SOCKET, agent_.addr(), agent_.addrlen()), CONFD_OK);
        EXPECT_EQ(confd_connect(dx_, worker_, WORKER_SOCKET, agent_.addr(), agent_.addrlen()), CONFD_OK);
        peer_ = agent_.wait_peer(MGMT_CONN_WORKER);
        EXPECT_NE(peer_, nullptr);
        octx_.module.opaque = daemon;
        octx_.dctx = dx_;
        dx_->d_opaque = &octx_;
        tctx_.fd = worker_;
        tctx_.dx = dx_;
        tctx_.xid = 1;
    }
    ~Agent()
    {
        confd_release_daemon(dx_);
        close(ctl_);
        close(worker_);
    }
    confd_trans_ctx *tctx() { return &tctx_; }
    oconfd_ctx &octx() { return octx_; }
    void refuse(const std::string &callpoint)
    {
        std::lock_guard<std::mutex> g(mu_);
        refuse_ = callpoint;
    }
    std::vector<std::string> callpoints()
    {
        std::lock_guard<std::mutex> g(mu_);
        return std::exchange(callpoints_, {});
    }

    // The next reply a callback sent; a test failure when none came, it
    // answers another request or does not parse.
    Reply read()
    {
        Reply out;
        const std::string body = peer_ != nullptr ? peer_->next() : std::string();
        if (body.empty()) {
            ADD_FAILURE() << "no reply";
            return out;
        }
        mgmt_wire::reader r{std::string_view(body)};
        EXPECT_EQ(r.op(), MGMT_OP_REPLY);
        EXPECT_EQ(r.xid(), static_cast<uint32_t>(tctx_.xid));
        int64_t kind = -1, n = 0, next = 0;
        EXPECT_TRUE(r.i64(kind));
        switch (kind) {
        case MGMT_DATA_NOT_FOUND:
            out.text = "not found";
            break;
        case MGMT_DATA_TV_ARRAY:
            EXPECT_TRUE(r.i64(n));
            out.text = "array " + std::to_string(n) + ": " + tvs_text(r);
            break;
        case MGMT_DATA_NEXT_OBJECT:
            EXPECT_TRUE(r.i64(n) && r.i64(next));
            out.text = object_text(n, next, r);
            break;
        case MGMT_DATA_NEXT_OBJECTS: {
            uint32_t count = 0;
            EXPECT_TRUE(r.i64(out.timeout) && r.list(count));
            for (uint32_t i = 0; i < count; i++) {
                uint32_t fields = 0;
                EXPECT_TRUE(r.list(fields) && fields == 3 && r.i64(n) && r.i64(next));
                out.objects.push_back(object_text(n, next, r));
            }
            out.text = "objects";
            break;
        }
        default:
            ADD_FAILURE() << "reply kind " << kind;
        }
        EXPECT_TRUE(r.at_end());
        tctx_.xid++;
        return out;
    }

private:
    static std::string object_text(int64_t n, int64_t next, mgmt_wire::reader &r)
    {
        std::string values = tvs_text(r);
        if (n == -1 && next == -1 && values.empty()) {
            return "end";
        }
        return "object " + std::to_string(n) + " " + std::to_string(next) + ": " + values;
    }

    fake_agent agent_;
    fake_agent::peer *peer_ = nullptr;
    std::mutex mu_;
    std::string refuse_;
    std::vector<std::string> callpoints_;
    confd_daemon_ctx *dx_ = nullptr;
    int ctl_ = -1;
    int worker_ = -1;
    oconfd_ctx octx_{};
    confd_trans_ctx tctx_{};
};

// Keypaths are given outermost first: a list or container element by its
// name, a list instance by its keys.
struct Elem {
    Elem(const char *n) : name(n) {}
    Elem(std::vector<confd_value_t> k) : keys(std::move(k)) {}
    const char *name = nullptr;
    std::vector<confd_value_t> keys;
};
using Keys = std::vector<confd_value_t>;

confd_hkeypath_t kpath(const std::vector<Elem> &elems)
{
    confd_hkeypath_t kp{};
    kp.len = static_cast<int>(elems.size());
    for (size_t i = 0; i < elems.size(); i++) {
        confd_value_t *slot = kp.v[elems.size() - 1 - i];
        if (elems[i].name != nullptr) {
            CONFD_SET_XMLTAG(&slot[0], mgmt_name_hash(elems[i].name), mgmt_name_hash("urn:ostrana:zor"));
            CONFD_SET_NOEXISTS(&slot[1]);
            continue;
        }
        for (size_t k = 0; k < elems[i].keys.size(); k++) {
            slot[k] = elems[i].keys[k];
        }
        CONFD_SET_NOEXISTS(&slot[elems[i].keys.size()]);
    }
    return kp;
}

confd_value_t ipv4(const char *text)
{
    confd_value_t v;
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    CONFD_SET_IPV4(&v, a);
    return v;
}
confd_value_t enumv(int32_t x)
{
    confd_value_t v;
    CONFD_SET_ENUM_VALUE(&v, x);
    return v;
}
confd_value_t u32(uint32_t x)
{
    confd_value_t v;
    CONFD_SET_UINT32(&v, x);
    return v;
}
std::vector<confd_value_t> tloc_keys(const char *ip, int32_t color, int32_t encap)
{
    return {ipv4(ip), enumv(color), enumv(encap)};
}

confd_hkeypath_t tlocs_kp() { return kpath({{"tlocs"}, {"tloc"}}); }
confd_hkeypath_t tloc_kp(std::vector<confd_value_t> keys) { return kpath({{"tlocs"}, {"tloc"}, keys}); }
confd_hkeypath_t paths_kp(std::vector<confd_value_t> keys)
{
    return kpath({{"tlocs"}, {"tloc"}, keys, {"path"}});
}
confd_hkeypath_t path_kp(std::vector<confd_value_t> keys, uint32_t index)
{
    return kpath({{"tlocs"}, {"tloc"}, keys, {"path"}, Keys{u32(index)}});
}
confd_hkeypath_t links_kp(std::vector<confd_value_t> keys, uint32_t path)
{
    return kpath({{"tlocs"}, {"tloc"}, keys, {"path"}, Keys{u32(path)}, {"link"}});
}
confd_hkeypath_t link_kp(std::vector<confd_value_t> keys, uint32_t path, uint32_t link)
{
    return kpath({{"tlocs"}, {"tloc"}, keys, {"path"}, Keys{u32(path)}, {"link"}, Keys{u32(link)}});
}

class ZorShow : public zt::PeerFixture {
protected:
    void SetUp() override
    {
        zt::PeerFixture::SetUp();
        ctlagent = connect(OST_MODULE_CTLAGENT);
        probed = connect(OST_MODULE_PROBED);
        agent = std::make_unique<Agent>(env.daemon());
    }
    void TearDown() override
    {
        agent.reset();
        zt::PeerFixture::TearDown();
    }
    t_zor_af_tloc *add_tloc(const std::string &ip, uint8_t color, uint8_t encap, uint8_t origin = 2)
    {
        zor_msg_t m = zt::tloc_add_msg(tloc_key(ip, color, encap), origin);
        t_zor_db_entry *e = zor_af_add(m.family, ctx(), client(OST_MODULE_CTLAGENT), &m);
        EXPECT_NE(e, nullptr) << ip;
        return e != nullptr ? zor_af_tloc_of(e) : nullptr;
    }
    t_zor_af_link *add_link(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t label)
    {
        zor_msg_t m = zt::peer_link_msg(local, remote, 1, 1400, label, 0);
        t_zor_db_entry *e = zor_af_add(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &m);
        EXPECT_NE(e, nullptr);
        return e != nullptr ? zor_af_link_of(e) : nullptr;
    }
    // A path of the TLOC as path computation leaves it; inserted in the
    // list's order (a lower preference goes behind a higher one).
    void add_path(t_zor_af_tloc *tloc, uint32_t pref, uint32_t mtu, bool up, bool stale,
                  std::initializer_list<t_zor_af_link *> links = {})
    {
        t_zor_path *p = zor_mem_new<t_zor_path>();
        ASSERT_NE(p, nullptr);
        p->tloc_p = tloc;
        for (t_zor_af_link *l : links) {
            zor_path_link_attach(p, l);
        }
        p->preference = pref;
        p->mtu = mtu;
        p->status = up ? ZOR_PATH_STATUS_UP : ZOR_PATH_STATUS_DOWN;
        p->flags = stale ? ZOR_PATH_FLAG_STALE : 0;
        zor_path_insert(tloc, p);
    }

    Reply get_next(int (*cb)(confd_trans_ctx *, confd_hkeypath_t *, long), confd_hkeypath_t kp, long next = -1)
    {
        EXPECT_EQ(cb(agent->tctx(), &kp, next), CONFD_OK);
        return agent->read();
    }
    Reply find(int (*cb)(confd_trans_ctx *, confd_hkeypath_t *, int, confd_value_t *, int), confd_hkeypath_t kp,
               int type, std::vector<confd_value_t> keys)
    {
        EXPECT_EQ(cb(agent->tctx(), &kp, type, keys.data(), static_cast<int>(keys.size())), CONFD_OK);
        return agent->read();
    }
    Reply get(int (*cb)(confd_trans_ctx *, confd_hkeypath_t *), confd_hkeypath_t kp)
    {
        EXPECT_EQ(cb(agent->tctx(), &kp), CONFD_OK);
        return agent->read();
    }

    zt::FakePeer *ctlagent = nullptr;
    zt::FakePeer *probed = nullptr;
    std::unique_ptr<Agent> agent;
};

TEST_F(ZorShow, TlocListInKeyOrderWithoutIpv6)
{
    // An empty family: every list is empty and no TLOC is found.
    EXPECT_EQ(get_next(zor_show_tloc_get_next_object, tlocs_kp()).text, "end");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, {}).text, "end");
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc_kp(tloc_keys("10.0.0.1", 4, 2))).text, "not found");

    add_tloc("10.0.0.2", 4, k_ipsec);
    add_tloc("10.0.0.1", 5, k_gre);
    add_tloc("10.0.0.1", 4, k_ipsec);
    add_tloc("2001:db8::1", 1, k_ipsec);
    const std::string first = "object 3 -1: system-ip=10.0.0.1 color=#4 encapsulation=#2";
    EXPECT_EQ(get_next(zor_show_tloc_get_next_object, tlocs_kp()).text, first);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, {}).text, first);

    // Find type 0 from each returned key lists the IPv4 TLOCs in key order
    // and ends without the IPv6 one.
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, tloc_keys("10.0.0.1", 4, 2)).text,
              "object 3 -1: system-ip=10.0.0.1 color=#5 encapsulation=#1");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, tloc_keys("10.0.0.1", 5, 1)).text,
              "object 3 -1: system-ip=10.0.0.2 color=#4 encapsulation=#2");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, tloc_keys("10.0.0.2", 4, 2)).text, "end");

    // Type 1 finds the key itself, else the next one; only the address
    // given searches from (address, 0, 0).
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, tloc_keys("10.0.0.1", 5, 1)).text,
              "object 3 -1: system-ip=10.0.0.1 color=#5 encapsulation=#1");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, tloc_keys("10.0.0.1", 4, 3)).text,
              "object 3 -1: system-ip=10.0.0.1 color=#5 encapsulation=#1");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, {ipv4("10.0.0.2")}).text,
              "object 3 -1: system-ip=10.0.0.2 color=#4 encapsulation=#2");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, {ipv4("10.0.0.3")}).text, "end");

    EXPECT_EQ(get(zor_show_tloc_get_object, tloc_kp(tloc_keys("10.0.0.1", 5, 1))).text,
              "array 3: system-ip=10.0.0.1 color=#5 encapsulation=#1");
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc_kp(tloc_keys("10.0.0.1", 5, 2))).text, "not found");
    // The IPv6 TLOC exists, but only in the family that is not served.
    confd_value_t v6;
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    CONFD_SET_IPV6(&v6, a6);
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc_kp({v6, enumv(1), enumv(2)})).text, "not found");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, {v6, enumv(1), enumv(2)}).text, "end");
    // A keypath without the TLOC's keys names none.
    EXPECT_EQ(get(zor_show_tloc_get_object, tlocs_kp()).text, "not found");

    // Calls the replies never ask for: a next value, a key of another type.
    log.clear();
    EXPECT_EQ(get_next(zor_show_tloc_get_next_object, tlocs_kp(), 5).text, "end");
    EXPECT_EQ(logged("zor_show_tloc_get_next_object"), (std::vector<std::string>{"Next value = 5"}));
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 0, {u32(7)}).text, "end");
    EXPECT_EQ(log.count("Unexpected"), 1u) << log.dump();
}

TEST_F(ZorShow, PathListCappedAndFoundByPosition)
{
    t_zor_af_tloc *big = add_tloc("10.0.0.9", 4, k_ipsec);
    t_zor_af_tloc *small = add_tloc("10.0.0.8", 4, k_ipsec);
    add_tloc("10.0.0.7", 4, k_ipsec);
    ASSERT_TRUE(big != nullptr && small != nullptr);
    for (uint32_t i = 0; i < 70; i++) {
        add_path(big, 1000 - i, 1400 + i, true, false);
    }
    add_path(small, 30, 1300, true, false);
    add_path(small, 20, 1200, true, false);
    add_path(small, 10, 0, false, true);
    const auto big_keys = tloc_keys("10.0.0.9", 4, 2);
    const auto small_keys = tloc_keys("10.0.0.8", 4, 2);

    // The whole list in one reply, not cached, closed by an empty object: a
    // TLOC with 70 paths shows its first 64.
    Reply all = get_next(zor_show_path_get_next_object, paths_kp(big_keys));
    ASSERT_EQ(all.objects.size(), 65u);
    EXPECT_EQ(all.timeout, 0);
    EXPECT_EQ(all.objects[0], "object 6 -1: path-index=0 preference=1000 mtu=1400 best=#0 status=#0 stale=false");
    EXPECT_EQ(all.objects[63], "object 6 -1: path-index=63 preference=937 mtu=1463 best=#1 status=#0 stale=false");
    EXPECT_EQ(all.objects[64], "end");

    // Key 2: path 3 for type 0, path 2 for type 1; on three paths key 2 with
    // type 0 ends the list. No key, or more than one, gives the first path.
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(big_keys), 0, {u32(2)}).text,
              "object 6 -1: path-index=3 preference=997 mtu=1403 best=#1 status=#0 stale=false");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(big_keys), 1, {u32(2)}).text,
              "object 6 -1: path-index=2 preference=998 mtu=1402 best=#1 status=#0 stale=false");
    const std::string down = "object 6 -1: path-index=2 preference=10 mtu=0 best=#1 status=#1 stale=true";
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 1, {u32(2)}).text, down);
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {u32(1)}).text, down);
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {u32(2)}).text, "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {u32(0xffffffff)}).text, "end");
    const std::string first = "object 6 -1: path-index=0 preference=30 mtu=1300 best=#0 status=#0 stale=false";
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {}).text, first);
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {u32(1), u32(2)}).text, first);
    EXPECT_EQ(get_next(zor_show_path_get_next_object, paths_kp(small_keys)).objects,
              (std::vector<std::string>{first,
                                        "object 6 -1: path-index=1 preference=20 mtu=1200 best=#1 status=#0 "
                                        "stale=false",
                                        down, "end"}));

    // One path without its index.
    EXPECT_EQ(get(zor_show_path_get_object, path_kp(small_keys, 2)).text,
              "array 5: preference=10 mtu=0 best=#1 status=#1 stale=true");
    EXPECT_EQ(get(zor_show_path_get_object, path_kp(small_keys, 3)).text, "not found");
    EXPECT_EQ(get(zor_show_path_get_object, paths_kp(small_keys)).text, "not found");

    // A TLOC without paths, and one that does not exist.
    const auto none = tloc_keys("10.0.0.7", 4, 2);
    const auto gone = tloc_keys("10.0.0.6", 4, 2);
    EXPECT_EQ(get_next(zor_show_path_get_next_object, paths_kp(none)).text, "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(none), 1, {u32(0)}).text, "end");
    EXPECT_EQ(get_next(zor_show_path_get_next_object, paths_kp(gone)).text, "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(gone), 1, {u32(0)}).text, "array -1: ");
    EXPECT_EQ(get(zor_show_path_get_object, path_kp(gone, 0)).text, "not found");

    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(small_keys), 0, {enumv(1)}).text, "end");
    EXPECT_EQ(get_next(zor_show_path_get_next_object, paths_kp(small_keys), 3).text, "end");
    EXPECT_TRUE(log.contains("Next value = 3")) << log.dump();
}

TEST_F(ZorShow, LinksOfAPathWithTheirContainers)
{
    const zor_tloc_key_t local = tloc_key("10.0.0.1", 4, k_ipsec);
    const zor_tloc_key_t border = tloc_key("10.0.0.5", 3, k_ipsec);
    add_tloc("10.0.0.1", 4, k_ipsec, 1);
    t_zor_af_tloc *remote = add_tloc("10.0.0.9", 5, k_gre);
    t_zor_af_link *first = add_link(local, border, 40001);
    t_zor_af_link *second = add_link(border, tloc_key("10.0.0.9", 5, k_gre), 40002);
    ASSERT_TRUE(remote != nullptr && first != nullptr && second != nullptr);
    add_path(remote, 10, 1400, true, false, {first, second});
    const auto keys = tloc_keys("10.0.0.9", 5, 1);

    const std::string link0 = "local-tloc{@zor system-ip=10.0.0.1 color=#4 encapsulation=#2 }@zor "
                              "remote-tloc{@zor system-ip=10.0.0.5 color=#3 encapsulation=#2 }@zor label=40001";
    const std::string link1 = "local-tloc{@zor system-ip=10.0.0.5 color=#3 encapsulation=#2 }@zor "
                              "remote-tloc{@zor system-ip=10.0.0.9 color=#5 encapsulation=#1 }@zor label=40002";
    Reply all = get_next(zor_show_path_link_get_next_object, links_kp(keys, 0));
    EXPECT_EQ(all.timeout, 0);
    EXPECT_EQ(all.objects, (std::vector<std::string>{"object 12 -1: link-index=0 " + link0,
                                                     "object 12 -1: link-index=1 " + link1, "end"}));

    // Key 1 of two links: link 1 for type 1, the end for type 0.
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(1)}).text,
              "object 12 -1: link-index=1 " + link1);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 0, {u32(1)}).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 0, {u32(0)}).text,
              "object 12 -1: link-index=1 " + link1);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 0, {}).text,
              "object 12 -1: link-index=0 " + link0);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(2)}).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(0), u32(1)}).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {ipv4("10.0.0.1")}).text, "end");

    EXPECT_EQ(get(zor_show_path_link_get_object, link_kp(keys, 0, 1)).text, "array 11: " + link1);
    EXPECT_EQ(get(zor_show_path_link_get_object, link_kp(keys, 0, 2)).text, "not found");
    EXPECT_EQ(get(zor_show_path_link_get_object, links_kp(keys, 0)).text, "not found");

    // A path or TLOC that is not there.
    const auto gone = tloc_keys("10.0.0.2", 4, 2);
    EXPECT_EQ(get_next(zor_show_path_link_get_next_object, links_kp(keys, 1)).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 1), 1, {u32(0)}).text, "end");
    EXPECT_EQ(get(zor_show_path_link_get_object, link_kp(keys, 1, 0)).text, "not found");
    EXPECT_EQ(get_next(zor_show_path_link_get_next_object, links_kp(gone, 0)).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(gone, 0), 1, {u32(0)}).text, "array -1: ");

    // The per-call lines need a debug level above 2.
    g_zor_debug = 1;
    log.clear();
    get(zor_show_path_link_get_object, link_kp(keys, 0, 0));
    find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(0)});
    EXPECT_EQ(log.count("ZOR path link"), 0u) << log.dump();
    g_zor_debug = 3;
    get(zor_show_path_link_get_object, link_kp(keys, 0, 0));
    find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(0)});
    EXPECT_EQ(log.count("ZOR path link Get Path: /"), 1u) << log.dump();
    EXPECT_EQ(log.count("ZOR path link Find-Next Path: /"), 1u) << log.dump();
    EXPECT_EQ(log.count("ZOR path link Find-Next Path returned 12 items"), 1u) << log.dump();
    g_zor_debug = 0;

    // A tenant instance: the containers carry the tenant model's namespace.
    snprintf(env.daemon()->tenant_name, sizeof(env.daemon()->tenant_name), "blue");
    env.daemon()->tenant_id = 7;
    std::string tenant_link1 = link1;
    for (size_t at; (at = tenant_link1.find("@zor ")) != std::string::npos;) {
        tenant_link1.replace(at, 5, "@zor-tenant ");
    }
    EXPECT_EQ(get(zor_show_path_link_get_object, link_kp(keys, 0, 1)).text, "array 11: " + tenant_link1);
}

TEST_F(ZorShow, CallpointsAndAnswersBeforeTheDaemonIsKnown)
{
    // Each callpoint offers get_object, get_next_object and find_next_object.
    const std::string cbs = ":" + std::to_string(MGMT_DATA_GET_OBJECT | MGMT_DATA_GET_NEXT_OBJECT |
                                                  MGMT_DATA_FIND_NEXT_OBJECT);
    EXPECT_EQ(zor_confd_register_data_cbs(&agent->octx()), 0);
    EXPECT_EQ(agent->callpoints(), (std::vector<std::string>{"zor-show-tlocs" + cbs, "zor-show-paths" + cbs,
                                                             "zor-show-paths-links" + cbs}));

    // A tenant instance registers under its tenant id; a refusal stops the
    // registration there.
    snprintf(env.daemon()->tenant_name, sizeof(env.daemon()->tenant_name), "a b");
    env.daemon()->tenant_id = 7;
    agent->refuse("zor-show-paths-tenant7");
    log.clear();
    EXPECT_EQ(zor_confd_register_data_cbs(&agent->octx()), 1);
    EXPECT_EQ(agent->callpoints(), (std::vector<std::string>{"zor-show-tlocs-tenant7" + cbs}));
    EXPECT_EQ(logged("zor_show_path_init"), (std::vector<std::string>{"Failed to register data cb zor-show-paths"}));
    EXPECT_EQ(logged("zor_confd_register_data_cbs"), (std::vector<std::string>{"Failed to init show paths"}));

    // While the integration module has no daemon record yet every list is
    // empty and nothing is found, whatever the tables hold.
    add_tloc("10.0.0.1", 4, k_ipsec);
    agent->octx().module.opaque = nullptr;
    const auto keys = tloc_keys("10.0.0.1", 4, 2);
    EXPECT_EQ(get_next(zor_show_tloc_get_next_object, tlocs_kp()).text, "end");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs_kp(), 1, keys).text, "end");
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc_kp(keys)).text, "not found");
    EXPECT_EQ(get_next(zor_show_path_get_next_object, paths_kp(keys)).text, "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths_kp(keys), 1, {u32(0)}).text, "end");
    EXPECT_EQ(get(zor_show_path_get_object, path_kp(keys, 0)).text, "not found");
    EXPECT_EQ(get_next(zor_show_path_link_get_next_object, links_kp(keys, 0)).text, "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links_kp(keys, 0), 1, {u32(0)}).text, "end");
    EXPECT_EQ(get(zor_show_path_link_get_object, link_kp(keys, 0, 0)).text, "not found");
}

}  // namespace
