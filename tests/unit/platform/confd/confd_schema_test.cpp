// The schema fetched from an in-test agent, and what is printed and parsed
// with it: keypaths, enum and bit labels, values of every kind.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "confd_hash.h"
#include "confd_lib.h"
#include "confd_schema.h"
#include "fake_agent.h"

namespace {

constexpr uint32_t NS = 0x77;

struct node_def {
    const char *name;
    int parent;
    int kind;
    confd_vtype vtype;
    std::vector<const char *> keys;
    std::vector<std::pair<const char *, int>> labels;
};

// tlocs / tloc{ip color encap} / (ip color encap flags path{id}/id)
const std::vector<node_def> nodes = {
    {"tlocs", -1, CS_NODE_IS_CONTAINER, C_NOEXISTS, {}, {}},
    {"tloc", 0, CS_NODE_IS_LIST, C_NOEXISTS, {"ip", "color", "encap"}, {}},
    {"ip", 1, CS_NODE_IS_LEAF, C_IPV4, {}, {}},
    {"color", 1, CS_NODE_IS_LEAF, C_ENUM_VALUE, {}, {{"blue", 1}, {"red", 2}}},
    {"encap", 1, CS_NODE_IS_LEAF, C_ENUM_VALUE, {}, {{"gre", 1}, {"ipsec", 2}}},
    {"flags", 1, CS_NODE_IS_LEAF, C_BIT32, {}, {{"up", 0}, {"bfd", 3}}},
    {"path", 1, CS_NODE_IS_LIST, C_NOEXISTS, {"id"}, {}},
    {"id", 6, CS_NODE_IS_LEAF, C_UINT32, {}, {}},
};

void schema_reply(mgmt_wire::writer &w)
{
    w.list(1).list(5).i64(NS).str("urn:test").str("t").str("tmod").str("2026-01-01");
    w.list(static_cast<uint32_t>(nodes.size()));
    for (const node_def &n : nodes) {
        w.list(12).i64(mgmt_name_hash(n.name)).i64(NS).i64(n.parent).i64(n.kind | CS_NODE_CONFIG_FALSE);
        w.i64(n.kind == CS_NODE_IS_LEAF ? n.vtype : 0).str(n.name).str(n.kind == CS_NODE_IS_LIST ? "cp" : "");
        w.list(static_cast<uint32_t>(n.keys.size()));
        for (const char *k : n.keys) {
            w.i64(mgmt_name_hash(k));
        }
        w.list(static_cast<uint32_t>(n.labels.size()));
        for (auto [label, value] : n.labels) {
            w.list(2).str(label).i64(value);
        }
        w.str("").i64(0).i64(-1);
    }
}

std::string pp(const confd_hkeypath_t &kp)
{
    char buf[256];
    int n = confd_pp_kpath(buf, sizeof(buf), &kp);
    EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
    return buf;
}

confd_hkeypath_t tloc_path(uint32_t color)
{
    // /tlocs/tloc{10.0.0.1 <color> ipsec}/path{2}
    confd_hkeypath_t kp{};
    kp.len = 5;
    CONFD_SET_XMLTAG(&kp.v[4][0], mgmt_name_hash("tlocs"), NS);
    CONFD_SET_XMLTAG(&kp.v[3][0], mgmt_name_hash("tloc"), NS);
    in_addr a{};
    inet_pton(AF_INET, "10.0.0.1", &a);
    CONFD_SET_IPV4(&kp.v[2][0], a);
    CONFD_SET_ENUM_VALUE(&kp.v[2][1], static_cast<int32_t>(color));
    CONFD_SET_ENUM_VALUE(&kp.v[2][2], 2);
    kp.v[2][3].type = C_NOEXISTS;
    CONFD_SET_XMLTAG(&kp.v[1][0], mgmt_name_hash("path"), NS);
    CONFD_SET_UINT32(&kp.v[0][0], 2);
    kp.v[0][1].type = C_NOEXISTS;
    return kp;
}

TEST(ConfdSchema, LoadedSchemaNamesPathsAndValues)
{
    fake_agent agent;
    std::atomic<int> loads{0};
    agent.on(MGMT_CONN_MAAPI, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        uint32_t n = 1;
        if (r.op() != MGMT_OP_SCHEMA_GET || !r.list(n) || n != 0) {
            return false;
        }
        loads++;
        p.send(fake_agent::reply(r.xid(), schema_reply));
        return true;
    });
    confd_hkeypath_t kp = tloc_path(1);
    // Before a schema: tags as numbers, keys by value type.
    EXPECT_EQ(pp(kp), "/" + std::to_string(mgmt_name_hash("tlocs")) + "/" + std::to_string(mgmt_name_hash("tloc")) +
                          "{10.0.0.1 1 2}/" + std::to_string(mgmt_name_hash("path")) + "{2}");
    ASSERT_EQ(confd_load_schemas(agent.addr(), agent.addrlen()), CONFD_OK) << confd_lasterr();

    EXPECT_EQ(pp(kp), "/tlocs/tloc{10.0.0.1 blue ipsec}/path{2}");
    char small[8];
    EXPECT_EQ(confd_pp_kpath_len(small, sizeof(small), &kp, 3), int(strlen("/tlocs/tloc{10.0.0.1 blue ipsec}")));
    EXPECT_STREQ(small, "/tlocs/");
    // An enum value without a label, and a tag the schema does not know.
    kp = tloc_path(9);
    CONFD_SET_XMLTAG(&kp.v[1][0], 12345, NS);
    EXPECT_EQ(pp(kp), "/tlocs/tloc{10.0.0.1 9 ipsec}/12345{2}");

    EXPECT_STREQ(confd_hash2str(mgmt_name_hash("encap")), "encap");
    EXPECT_EQ(confd_str2hash("path"), mgmt_name_hash("path"));
    EXPECT_EQ(confd_str2hash("nope"), 0u);
    EXPECT_STREQ(confd_ns2prefix(NS), "t");
    confd_nsinfo *ns = nullptr;
    ASSERT_EQ(confd_get_nslist(&ns), 1);
    EXPECT_STREQ(ns[0].module, "tmod");

    confd_cs_node *root = confd_find_cs_root(NS);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->tag, mgmt_name_hash("tlocs"));
    confd_cs_node *path = confd_cs_node_cd(nullptr, "/t:tlocs/tloc{10.0.0.1 blue ipsec}/%s", "path");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path->info.callpoint, "cp");
    EXPECT_EQ(path->info.keys[0], mgmt_name_hash("id"));
    EXPECT_EQ(path->info.keys[1], 0u);
    EXPECT_EQ(confd_cs_node_cd(path, "../encap"), confd_cs_node_cd(root, "tloc/encap"));
    EXPECT_EQ(confd_cs_node_cd(nullptr, "/x:tlocs"), nullptr);
    EXPECT_EQ(confd_find_cs_node(&kp, 3), confd_cs_node_cd(nullptr, "/tlocs/tloc"));
    kp = tloc_path(1);
    EXPECT_EQ(confd_find_cs_node(&kp, -1), path);

    // Values through the leaves' types.
    confd_type *flags = confd_cs_node_cd(nullptr, "/tlocs/tloc/flags")->info.type;
    confd_type *encap = confd_cs_node_cd(nullptr, "/tlocs/tloc/encap")->info.type;
    confd_type *ip = confd_cs_node_cd(nullptr, "/tlocs/tloc/ip")->info.type;
    confd_type *id = confd_cs_node_cd(nullptr, "/tlocs/tloc/path/id")->info.type;
    confd_value_t v{};
    char buf[64];
    ASSERT_EQ(confd_str2val(flags, "bfd up", &v), CONFD_OK);
    EXPECT_EQ(v.val.b32, 0x9u);
    EXPECT_EQ(confd_val2str(flags, &v, buf, sizeof(buf)), 6);
    EXPECT_STREQ(buf, "up bfd");
    EXPECT_EQ(confd_str2val(flags, "up down", &v), CONFD_ERR);
    ASSERT_EQ(confd_str2val(encap, "gre", &v), CONFD_OK);
    EXPECT_EQ(v.val.enumvalue, 1);
    EXPECT_EQ(confd_str2val(encap, "1", &v), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_BADTYPE);
    ASSERT_EQ(confd_str2val(ip, "192.0.2.9", &v), CONFD_OK);
    confd_val2str(ip, &v, buf, sizeof(buf));
    EXPECT_STREQ(buf, "192.0.2.9");
    EXPECT_EQ(confd_str2val(ip, "192.0.2.256", &v), CONFD_ERR);
    ASSERT_EQ(confd_str2val(id, "4294967295", &v), CONFD_OK);
    EXPECT_EQ(v.val.u32, 4294967295u);
    EXPECT_EQ(confd_str2val(id, "4294967296", &v), CONFD_ERR);
    EXPECT_EQ(confd_str2val(id, "-1", &v), CONFD_ERR);
    EXPECT_EQ(confd_str2val(id, "12x", &v), CONFD_ERR);

    // Reloading while another thread prints: the reader never sees a freed schema.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        confd_hkeypath_t k = tloc_path(2);
        while (!stop) {
            ASSERT_EQ(pp(k), "/tlocs/tloc{10.0.0.1 red ipsec}/path{2}");
        }
    });
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(confd_load_schemas(agent.addr(), agent.addrlen()), CONFD_OK);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(loads.load(), 21);
    confd_free_schemas();
    EXPECT_EQ(confd_hash2str(mgmt_name_hash("encap")), nullptr);
}

TEST(ConfdSchema, ValuesPrintAndParseByTheirTypeAlone)
{
    char buf[128];
    confd_value_t v{};
    auto text = [&](const confd_value_t &val) {
        int n = confd_pp_value(buf, sizeof(buf), &val);
        EXPECT_EQ(static_cast<size_t>(n), strlen(buf));
        return std::string(buf);
    };
    v.type = C_INT8, v.val.i8 = -5;
    EXPECT_EQ(text(v), "-5");
    CONFD_SET_UINT64(&v, 18446744073709551615ull);
    EXPECT_EQ(text(v), "18446744073709551615");
    CONFD_SET_BOOL(&v, 1);
    EXPECT_EQ(text(v), "true");
    v.type = C_DOUBLE, v.val.d = 0.1;
    EXPECT_EQ(text(v), "0.1");
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::1", &a6);
    CONFD_SET_IPV6(&v, a6);
    EXPECT_EQ(text(v), "2001:db8::1");
    confd_datetime dt{2026, 3, 4, 5, 6, 7, 500000, 2, 30};
    CONFD_SET_DATETIME(&v, dt);
    EXPECT_EQ(text(v), "2026-03-04T05:06:07.500000+02:30");
    CONFD_SET_BUF(&v, "\x01\x02\x03\x04", 4);
    EXPECT_EQ(text(v), "AQIDBA==");
    confd_value_t members[2];
    CONFD_SET_STR(&members[0], "a");
    CONFD_SET_UINT32(&members[1], 7);
    v.type = C_LIST, v.val.list.size = 2, v.val.list.ptr = members;
    EXPECT_EQ(text(v), "a 7");
    // A buffer too small gets what fits and the whole length.
    CONFD_SET_STR(&v, "abcdefgh");
    EXPECT_EQ(confd_pp_value(buf, 4, &v), 8);
    EXPECT_STREQ(buf, "abc");

    // What prints parses back through a type of the same kind.
    confd_type t;
    t.vtype = C_DATETIME;
    ASSERT_EQ(confd_str2val(&t, "2026-03-04T05:06:07.500000+02:30", &v), CONFD_OK);
    EXPECT_EQ(v.val.datetime.micro, 500000u);
    EXPECT_EQ(v.val.datetime.timezone_minutes, 30);
    EXPECT_EQ(confd_str2val(&t, "2026-13-04T05:06:07Z", &v), CONFD_ERR);
    t.vtype = C_BUF;
    ASSERT_EQ(confd_str2val(&t, "AQIDBA==", &v), CONFD_OK);
    EXPECT_EQ(v.val.buf.size, 4u);
    EXPECT_EQ(memcmp(v.val.buf.ptr, "\x01\x02\x03\x04", 4), 0);
    confd_free_value(&v);
    t.vtype = C_INT16;
    EXPECT_EQ(confd_str2val(&t, "-32769", &v), CONFD_ERR);
    ASSERT_EQ(confd_str2val(&t, "+12", &v), CONFD_OK);
    EXPECT_EQ(v.val.i16, 12);
}

}  // namespace
