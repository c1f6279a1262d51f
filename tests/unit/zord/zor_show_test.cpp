// The operational-data callbacks against the live tables of a daemon in the
// test process: each callback answers on a worker socket joined to an
// in-test agent, whose side reads the reply frame with the wire codec, so
// keys, positions, value types, tags and namespaces are checked as the agent
// receives them. Tags and namespaces are computed here from the model's
// names, independently of zord's constants.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <string>
#include <utility>
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

using Keys = std::vector<confd_value_t>;
constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;
constexpr uint8_t k_gre = OST_ENCAP_GRE;

// "name=value": addresses as text, enumerations as #N; container markers as
// "name{" and "}"; a namespace other than 0 as "@module".
std::string tv_text(const confd_tag_value_t &tv)
{
    static std::map<uint32_t, std::string> names;
    for (const char *n : {"system-ip", "color", "encapsulation", "path-index", "preference", "mtu", "best", "status",
                          "stale", "link-index", "local-tloc", "remote-tloc", "label"}) {
        names[mgmt_name_hash(n)] = n;
    }
    std::string out = names.count(tv.tag.tag) ? names[tv.tag.tag] : "tag" + std::to_string(tv.tag.tag);
    char ip[INET6_ADDRSTRLEN];
    const confd_value_t &v = tv.v;
    switch (v.type) {
    case C_IPV4: out += std::string("=") + inet_ntop(AF_INET, &v.val.ip, ip, sizeof(ip)); break;
    case C_IPV6: out += std::string("=") + inet_ntop(AF_INET6, &v.val.ip6, ip, sizeof(ip)); break;
    case C_ENUM_VALUE: out += "=#" + std::to_string(v.val.enumvalue); break;
    case C_UINT32: out += "=" + std::to_string(v.val.u32); break;
    case C_BOOL: out += v.val.boolean ? "=true" : "=false"; break;
    case C_XMLBEGIN: out += "{"; break;
    case C_XMLEND: out = "}"; break;
    default: out += "=type" + std::to_string(v.type);
    }
    if (tv.tag.ns != 0) {
        out += tv.tag.ns == mgmt_name_hash("urn:ostrana:zor")          ? "@zor"
               : tv.tag.ns == mgmt_name_hash("urn:ostrana:zor-tenant") ? "@zor-tenant"
                                                                       : "@" + std::to_string(tv.tag.ns);
    }
    return out;
}

// The leaves of a reply, each after a blank.
std::string values_text(mgmt_wire::reader &r)
{
    confd_tag_value_t *tv = nullptr;
    int count = 0;
    EXPECT_TRUE(r.tag_values(&tv, &count));
    std::string out;
    for (int i = 0; i < count; i++) {
        out += " " + tv_text(tv[i]);
    }
    mgmt_wire::free_tag_values(tv, count);
    return out;
}

// An object of a reply: "end", or "N next: leaf leaf ...".
std::string object_text(mgmt_wire::reader &r, int64_t n, int64_t next)
{
    const std::string values = values_text(r);
    return n == -1 && next == -1 && values.empty() ? "end"
                                                    : std::to_string(n) + " " + std::to_string(next) + ":" + values;
}

// A daemon handle joined to an in-test agent (control and worker sockets
// over loopback TCP) whose integration context holds the daemon record, and
// a transaction bound to the worker. The agent records the callpoints
// registered on the control socket, refusing the one named in refuse.
class Agent {
public:
    explicit Agent(t_zor_daemon *daemon)
    {
        agent_.on(MGMT_CONN_CONTROL, [this](fake_agent::peer &p, mgmt_wire::reader &r) {
            std::string name;
            int64_t mask = 0;
            EXPECT_TRUE(r.op() == MGMT_OP_REG_DATA_CB && r.str(name) && r.i64(mask));
            std::lock_guard<std::mutex> g(mu_);
            p.send(name == refuse_ ? fake_agent::error(r.xid(), CONFD_ERR_INTERNAL, "refused")
                                   : fake_agent::reply(r.xid()));
            callpoints_ += (name == refuse_ ? "refused " : "") + name + ":" + std::to_string(mask) + " ";
            return true;
        });
        dx_ = confd_init_daemon("zord");
        EXPECT_EQ(confd_connect(dx_, ctl_, CONTROL_SOCKET, agent_.addr(), agent_.addrlen()), CONFD_OK);
        EXPECT_EQ(confd_connect(dx_, worker_, WORKER_SOCKET, agent_.addr(), agent_.addrlen()), CONFD_OK);
        peer_ = agent_.wait_peer(MGMT_CONN_WORKER);
        octx.module.opaque = daemon;
        octx.dctx = dx_;
        dx_->d_opaque = &octx;
        tctx.fd = worker_;
        tctx.dx = dx_;
    }
    ~Agent()
    {
        confd_release_daemon(dx_);
        close(ctl_);
        close(worker_);
    }
    std::string callpoints(const std::string &refuse = "")
    {
        std::lock_guard<std::mutex> g(mu_);
        refuse_ = refuse;
        return std::exchange(callpoints_, "");
    }

    // The reply to the request the callback served: "not found", "array N:
    // ...", "end", "object N next: ...", or "timeout T" and one line per object.
    std::string read()
    {
        const std::string body = peer_ != nullptr ? peer_->next() : "";
        mgmt_wire::reader r{std::string_view(body)};
        EXPECT_TRUE(r.op() == MGMT_OP_REPLY && r.xid() == static_cast<uint32_t>(tctx.xid)) << "no reply";
        int64_t kind = -1, n = 0, next = 0;
        uint32_t count = 0, fields = 0;
        std::string out;
        if (!r.i64(kind) || kind == MGMT_DATA_NOT_FOUND) {
            out = kind == MGMT_DATA_NOT_FOUND ? "not found" : "?";
        } else if (kind == MGMT_DATA_TV_ARRAY && r.i64(n)) {
            out = "array " + std::to_string(n) + ":" + values_text(r);
        } else if (kind == MGMT_DATA_NEXT_OBJECT && r.i64(n) && r.i64(next)) {
            out = object_text(r, n, next);
            out = out == "end" ? out : "object " + out;
        } else if (kind == MGMT_DATA_NEXT_OBJECTS && r.i64(n) && r.list(count)) {
            out = "timeout " + std::to_string(n);
            for (uint32_t i = 0; i < count && r.list(fields) && r.i64(n) && r.i64(next); i++) {
                out += "\n" + object_text(r, n, next);
            }
        }
        EXPECT_TRUE(r.at_end()) << out;
        tctx.xid++;
        return out;
    }

    oconfd_ctx octx{};
    confd_trans_ctx tctx{};

private:
    fake_agent agent_;
    fake_agent::peer *peer_ = nullptr;
    std::mutex mu_;
    std::string refuse_, callpoints_;
    confd_daemon_ctx *dx_ = nullptr;
    int ctl_ = client_socket();
    int worker_ = client_socket();
};

// A keypath from its elements outermost first: a name for a list or
// container, keys for a list instance.
struct Elem {
    Elem(const char *n) : name(n) {}
    Elem(Keys k) : keys(std::move(k)) {}
    const char *name = nullptr;
    Keys keys;
};
confd_hkeypath_t kp(const std::vector<Elem> &elems)
{
    confd_hkeypath_t out{};
    out.len = static_cast<int>(elems.size());
    for (size_t i = 0; i < elems.size(); i++) {
        confd_value_t *slot = out.v[elems.size() - 1 - i];
        Keys keys = elems[i].keys;
        if (elems[i].name != nullptr) {
            keys.resize(1);
            CONFD_SET_XMLTAG(&keys[0], mgmt_name_hash(elems[i].name), mgmt_name_hash("urn:ostrana:zor"));
        }
        std::copy(keys.begin(), keys.end(), slot);
        CONFD_SET_NOEXISTS(&slot[keys.size()]);
    }
    return out;
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
Keys tloc_keys(const char *ip, int32_t color, int32_t encap) { return {ipv4(ip), enumv(color), enumv(encap)}; }

using GetNext = int (*)(confd_trans_ctx *, confd_hkeypath_t *, long);
using Find = int (*)(confd_trans_ctx *, confd_hkeypath_t *, int, confd_value_t *, int);
using Get = int (*)(confd_trans_ctx *, confd_hkeypath_t *);

class ZorShow : public zt::PeerFixture {
protected:
    void SetUp() override
    {
        zt::PeerFixture::SetUp();
        connect(OST_MODULE_CTLAGENT);
        connect(OST_MODULE_PROBED);
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
        return e != nullptr ? zor_af_tloc_of(e) : nullptr;
    }
    t_zor_af_link *add_link(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t label)
    {
        zor_msg_t m = zt::peer_link_msg(local, remote, 1, 1400, label, 0);
        t_zor_db_entry *e = zor_af_add(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &m);
        return e != nullptr ? zor_af_link_of(e) : nullptr;
    }
    // A path as path computation leaves it, inserted in the list's order.
    void add_path(t_zor_af_tloc *tloc, uint32_t pref, uint32_t mtu, bool up, bool stale,
                  std::initializer_list<t_zor_af_link *> links = {})
    {
        t_zor_path *p = zor_mem_new<t_zor_path>();
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
    static zor_tloc_key_t tloc_key(const std::string &ip, uint8_t color, uint8_t encap)
    {
        return zt::tloc_key(ip, color, encap);
    }

    std::string next(GetNext cb, confd_hkeypath_t path, long n = -1)
    {
        EXPECT_EQ(cb(&agent->tctx, &path, n), CONFD_OK);
        return agent->read();
    }
    std::string find(Find cb, confd_hkeypath_t path, int type, Keys keys)
    {
        EXPECT_EQ(cb(&agent->tctx, &path, type, keys.data(), static_cast<int>(keys.size())), CONFD_OK);
        return agent->read();
    }
    std::string get(Get cb, confd_hkeypath_t path)
    {
        EXPECT_EQ(cb(&agent->tctx, &path), CONFD_OK);
        return agent->read();
    }

    std::unique_ptr<Agent> agent;
};

TEST_F(ZorShow, TlocListInKeyOrderWithoutIpv6)
{
    const confd_hkeypath_t tlocs = kp({"tlocs", "tloc"});
    auto tloc = [](Keys k) { return kp({"tlocs", "tloc", k}); };
    EXPECT_EQ(next(zor_show_tloc_get_next_object, tlocs), "end");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, {}), "end");
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc(tloc_keys("10.0.0.1", 4, 2))), "not found");

    add_tloc("10.0.0.2", 4, k_ipsec);
    add_tloc("10.0.0.1", 5, k_gre);
    add_tloc("10.0.0.1", 4, k_ipsec);
    add_tloc("2001:db8::1", 1, k_ipsec);
    const std::string t1 = "object 3 -1: system-ip=10.0.0.1 color=#4 encapsulation=#2";
    const std::string t2 = "object 3 -1: system-ip=10.0.0.1 color=#5 encapsulation=#1";
    const std::string t3 = "object 3 -1: system-ip=10.0.0.2 color=#4 encapsulation=#2";
    EXPECT_EQ(next(zor_show_tloc_get_next_object, tlocs), t1);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 1, {}), t1);
    // Type 0 from each key lists the IPv4 TLOCs in key order, never the
    // IPv6 one; type 1 finds the key itself, else the next; an address alone
    // searches from (address, 0, 0).
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, tloc_keys("10.0.0.1", 4, 2)), t2);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, tloc_keys("10.0.0.1", 5, 1)), t3);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, tloc_keys("10.0.0.2", 4, 2)), "end");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 1, tloc_keys("10.0.0.1", 5, 1)), t2);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 1, tloc_keys("10.0.0.1", 4, 3)), t2);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, {ipv4("10.0.0.2")}), t3);
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 1, {ipv4("10.0.0.3")}), "end");

    EXPECT_EQ(get(zor_show_tloc_get_object, tloc(tloc_keys("10.0.0.1", 5, 1))),
              "array 3: system-ip=10.0.0.1 color=#5 encapsulation=#1");
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc(tloc_keys("10.0.0.1", 5, 2))), "not found");
    confd_value_t v6;
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    CONFD_SET_IPV6(&v6, a6);
    EXPECT_EQ(get(zor_show_tloc_get_object, tloc({v6, enumv(1), enumv(2)})), "not found");
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 1, {v6, enumv(1), enumv(2)}), "end");
    EXPECT_EQ(get(zor_show_tloc_get_object, tlocs), "not found");

    // Calls the replies never ask for: a next value, a key of another type.
    log.clear();
    EXPECT_EQ(next(zor_show_tloc_get_next_object, tlocs, 5), "end");
    EXPECT_EQ(logged("zor_show_tloc_get_next_object"), (std::vector<std::string>{"Next value = 5"}));
    EXPECT_EQ(find(zor_show_tloc_find_next_object, tlocs, 0, {u32(7)}), "end");
    EXPECT_EQ(log.count("Unexpected TLOC address key type 12"), 1u) << log.dump();
}

TEST_F(ZorShow, PathListCappedAndFoundByPosition)
{
    t_zor_af_tloc *big = add_tloc("10.0.0.9", 4, k_ipsec);
    t_zor_af_tloc *small = add_tloc("10.0.0.8", 4, k_ipsec);
    ASSERT_TRUE(big != nullptr && small != nullptr && add_tloc("10.0.0.7", 4, k_ipsec) != nullptr);
    for (uint32_t i = 0; i < 70; i++) {
        add_path(big, 1000 - i, 1400 + i, true, false);
    }
    add_path(small, 30, 1300, true, false);
    add_path(small, 20, 1200, true, false);
    add_path(small, 10, 0, false, true);
    auto paths = [](const char *ip) { return kp({"tlocs", "tloc", tloc_keys(ip, 4, 2), "path"}); };
    auto path = [](const char *ip, uint32_t i) { return kp({"tlocs", "tloc", tloc_keys(ip, 4, 2), "path", Keys{u32(i)}}); };

    // The whole list in one uncached reply: of 70 paths the first 64.
    std::vector<std::string> all = zt::split_lines(next(zor_show_path_get_next_object, paths("10.0.0.9")));
    ASSERT_EQ(all.size(), 66u);
    EXPECT_EQ(all[0], "timeout 0");
    EXPECT_EQ(all[1], "6 -1: path-index=0 preference=1000 mtu=1400 best=#0 status=#0 stale=false");
    EXPECT_EQ(all[64], "6 -1: path-index=63 preference=937 mtu=1463 best=#1 status=#0 stale=false");
    EXPECT_EQ(all[65], "end");

    // Key 2: path 3 for type 0, path 2 for type 1; on three paths key 2 with
    // type 0 ends the list. No key, or more than one, gives the first path.
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.9"), 0, {u32(2)}),
              "object 6 -1: path-index=3 preference=997 mtu=1403 best=#1 status=#0 stale=false");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.9"), 1, {u32(2)}),
              "object 6 -1: path-index=2 preference=998 mtu=1402 best=#1 status=#0 stale=false");
    const std::string p0 = "6 -1: path-index=0 preference=30 mtu=1300 best=#0 status=#0 stale=false";
    const std::string p2 = "6 -1: path-index=2 preference=10 mtu=0 best=#1 status=#1 stale=true";
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {u32(1)}), "object " + p2);
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {u32(2)}), "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {u32(0xffffffff)}), "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {}), "object " + p0);
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {u32(1), u32(2)}), "object " + p0);
    EXPECT_EQ(next(zor_show_path_get_next_object, paths("10.0.0.8")),
              "timeout 0\n" + p0 + "\n6 -1: path-index=1 preference=20 mtu=1200 best=#1 status=#0 stale=false\n" +
                  p2 + "\nend");

    EXPECT_EQ(get(zor_show_path_get_object, path("10.0.0.8", 2)), "array 5: preference=10 mtu=0 best=#1 status=#1 stale=true");
    EXPECT_EQ(get(zor_show_path_get_object, path("10.0.0.8", 3)), "not found");
    EXPECT_EQ(get(zor_show_path_get_object, paths("10.0.0.8")), "not found");

    // A TLOC without paths, and one that does not exist.
    EXPECT_EQ(next(zor_show_path_get_next_object, paths("10.0.0.7")), "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.7"), 1, {u32(0)}), "end");
    EXPECT_EQ(next(zor_show_path_get_next_object, paths("10.0.0.6")), "end");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.6"), 1, {u32(0)}), "array -1:");
    EXPECT_EQ(get(zor_show_path_get_object, path("10.0.0.6", 0)), "not found");
    EXPECT_EQ(find(zor_show_path_find_next_object, paths("10.0.0.8"), 0, {enumv(1)}), "end");
}

TEST_F(ZorShow, LinksOfAPathWithTheirContainers)
{
    const zor_tloc_key_t local = tloc_key("10.0.0.1", 4, k_ipsec);
    const zor_tloc_key_t border = tloc_key("10.0.0.5", 3, k_ipsec);
    t_zor_af_tloc *remote = add_tloc("10.0.0.9", 5, k_gre);
    t_zor_af_link *first = add_link(local, border, 40001);
    t_zor_af_link *second = add_link(border, tloc_key("10.0.0.9", 5, k_gre), 40002);
    ASSERT_TRUE(remote != nullptr && first != nullptr && second != nullptr);
    add_path(remote, 10, 1400, true, false, {first, second});
    auto links = [](const char *ip, uint32_t p) {
        return kp({"tlocs", "tloc", tloc_keys(ip, 5, 1), "path", Keys{u32(p)}, "link"});
    };
    auto link = [](uint32_t p, uint32_t l) {
        return kp({"tlocs", "tloc", tloc_keys("10.0.0.9", 5, 1), "path", Keys{u32(p)}, "link", Keys{u32(l)}});
    };

    const std::string link0 = "link-index=0 local-tloc{@zor system-ip=10.0.0.1 color=#4 encapsulation=#2 }@zor "
                              "remote-tloc{@zor system-ip=10.0.0.5 color=#3 encapsulation=#2 }@zor label=40001";
    const std::string link1 = "local-tloc{@zor system-ip=10.0.0.5 color=#3 encapsulation=#2 }@zor "
                              "remote-tloc{@zor system-ip=10.0.0.9 color=#5 encapsulation=#1 }@zor label=40002";
    EXPECT_EQ(next(zor_show_path_link_get_next_object, links("10.0.0.9", 0)),
              "timeout 0\n12 -1: " + link0 + "\n12 -1: link-index=1 " + link1 + "\nend");
    // Key 1 of two links: link 1 for type 1, the end for type 0.
    const auto path0 = links("10.0.0.9", 0);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 1, {u32(1)}), "object 12 -1: link-index=1 " + link1);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 0, {u32(1)}), "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 0, {u32(0)}), "object 12 -1: link-index=1 " + link1);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 0, {}), "object 12 -1: " + link0);
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 1, {u32(2)}), "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 1, {u32(0), u32(1)}), "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, path0, 1, {ipv4("10.0.0.1")}), "end");
    EXPECT_EQ(get(zor_show_path_link_get_object, link(0, 1)), "array 11: " + link1);
    EXPECT_EQ(get(zor_show_path_link_get_object, link(0, 2)), "not found");
    EXPECT_EQ(get(zor_show_path_link_get_object, path0), "not found");
    // A path or TLOC that is not there.
    EXPECT_EQ(next(zor_show_path_link_get_next_object, links("10.0.0.9", 1)), "end");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links("10.0.0.9", 1), 1, {u32(0)}), "end");
    EXPECT_EQ(get(zor_show_path_link_get_object, link(1, 0)), "not found");
    EXPECT_EQ(find(zor_show_path_link_find_next_object, links("10.0.0.2", 0), 1, {u32(0)}), "array -1:");

    // The per-call lines need a debug level above 2.
    g_zor_debug = 1;
    log.clear();
    get(zor_show_path_link_get_object, link(0, 0));
    EXPECT_EQ(log.count("ZOR path link"), 0u) << log.dump();
    g_zor_debug = 3;
    get(zor_show_path_link_get_object, link(0, 0));
    find(zor_show_path_link_find_next_object, path0, 1, {u32(0)});
    EXPECT_EQ(log.count("ZOR path link Get Path: /"), 1u) << log.dump();
    EXPECT_EQ(log.count("ZOR path link Find-Next Path: /"), 1u) << log.dump();
    EXPECT_EQ(log.count("ZOR path link Find-Next Path returned 12 items"), 1u) << log.dump();

    // A tenant instance: the containers carry the tenant model's namespace.
    snprintf(env.daemon()->tenant_name, sizeof(env.daemon()->tenant_name), "blue");
    std::string tenant = link1;
    for (size_t at; (at = tenant.find("@zor ")) != std::string::npos;) {
        tenant.replace(at, 5, "@zor-tenant ");
    }
    EXPECT_EQ(get(zor_show_path_link_get_object, link(0, 1)), "array 11: " + tenant);
}

TEST_F(ZorShow, CallpointsAndAnswersBeforeTheDaemonIsKnown)
{
    // Each callpoint offers get_object, get_next_object and find_next_object;
    // a tenant instance registers under its tenant id, and a refusal stops
    // the registration there.
    const std::string cbs = ":" + std::to_string(MGMT_DATA_GET_OBJECT | MGMT_DATA_GET_NEXT_OBJECT |
                                                  MGMT_DATA_FIND_NEXT_OBJECT) + " ";
    EXPECT_EQ(zor_confd_register_data_cbs(&agent->octx), 0);
    EXPECT_EQ(agent->callpoints("zor-show-paths-tenant7"),
              "zor-show-tlocs" + cbs + "zor-show-paths" + cbs + "zor-show-paths-links" + cbs);
    snprintf(env.daemon()->tenant_name, sizeof(env.daemon()->tenant_name), "a b");
    env.daemon()->tenant_id = 7;
    log.clear();
    EXPECT_EQ(zor_confd_register_data_cbs(&agent->octx), 1);
    EXPECT_EQ(agent->callpoints(), "zor-show-tlocs-tenant7" + cbs + "refused zor-show-paths-tenant7" + cbs);
    EXPECT_EQ(logged("zor_show_path_init"), (std::vector<std::string>{"Failed to register data cb zor-show-paths"}));
    EXPECT_EQ(logged("zor_confd_register_data_cbs"), (std::vector<std::string>{"Failed to init show paths"}));

    // While the integration module has no daemon record yet every list is
    // empty and nothing is found, whatever the tables hold.
    add_tloc("10.0.0.1", 4, k_ipsec);
    agent->octx.module.opaque = nullptr;
    const Keys t = tloc_keys("10.0.0.1", 4, 2);
    struct List {
        GetNext get_next;
        Find find;
        Get get;
        std::vector<Elem> list;
        Keys key;
    };
    for (const List &l : {List{zor_show_tloc_get_next_object, zor_show_tloc_find_next_object, zor_show_tloc_get_object,
                               {"tlocs", "tloc"}, t},
                          List{zor_show_path_get_next_object, zor_show_path_find_next_object, zor_show_path_get_object,
                               {"tlocs", "tloc", t, "path"}, {u32(0)}},
                          List{zor_show_path_link_get_next_object, zor_show_path_link_find_next_object,
                               zor_show_path_link_get_object, {"tlocs", "tloc", t, "path", Keys{u32(0)}, "link"},
                               {u32(0)}}}) {
        std::vector<Elem> instance = l.list;
        instance.push_back(l.key);
        EXPECT_EQ(next(l.get_next, kp(l.list)), "end");
        EXPECT_EQ(find(l.find, kp(l.list), 1, l.key), "end");
        EXPECT_EQ(get(l.get, kp(instance)), "not found");
    }
}

}  // namespace
