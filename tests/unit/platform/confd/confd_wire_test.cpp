// The item codec: what a writer puts out a reader takes back whole, and a
// malformed body is refused without reading past it or crashing.
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

#include "confd_wire.h"

namespace {

std::string body_of(const std::string &frame)
{
    return frame.substr(4);
}

confd_value_t str_value(const char *s)
{
    confd_value_t v{};
    CONFD_SET_STR(&v, s);
    return v;
}

TEST(ConfdWire, EveryValueTypeAndItemRoundTrips)
{
    std::vector<confd_value_t> values;
    confd_value_t v{};
    CONFD_SET_INT32(&v, -7);
    values.push_back(v);
    CONFD_SET_UINT64(&v, 0xfedcba9876543210ull);
    values.push_back(v);
    v.type = C_INT8, v.val.i8 = -128;
    values.push_back(v);
    v.type = C_INT16, v.val.i16 = -300;
    values.push_back(v);
    v.type = C_DOUBLE, v.val.d = -2.5e-7;
    values.push_back(v);
    in_addr a{};
    inet_pton(AF_INET, "10.0.0.1", &a);
    CONFD_SET_IPV4(&v, a);
    values.push_back(v);
    in6_addr a6{};
    inet_pton(AF_INET6, "2001:db8::7", &a6);
    CONFD_SET_IPV6(&v, a6);
    values.push_back(v);
    CONFD_SET_BOOL(&v, 1);
    values.push_back(v);
    CONFD_SET_ENUM_VALUE(&v, 3);
    values.push_back(v);
    CONFD_SET_BIT32(&v, 0x80000001u);
    values.push_back(v);
    v.type = C_BIT64, v.val.b64 = 1ull << 63;
    values.push_back(v);
    confd_datetime dt{2026, 12, 7, 23, 59, 58, 123456, -5, -30};
    CONFD_SET_DATETIME(&v, dt);
    values.push_back(v);
    CONFD_SET_XMLTAG(&v, 0x1234, 0x5678);
    values.push_back(v);
    v.type = C_EMPTY;
    values.push_back(v);
    values.push_back(str_value("text with\0 nul"));
    CONFD_SET_BUF(&v, "\x00\x01\xff", 3);
    values.push_back(v);
    confd_value_t members[2] = {str_value("a"), str_value("bc")};
    v.type = C_LIST, v.val.list.size = 2, v.val.list.ptr = members;
    values.push_back(v);

    confd_hkeypath_t kp{};
    kp.len = 3;  // /tlocs/tloc{10.0.0.1 blue}
    CONFD_SET_XMLTAG(&kp.v[2][0], 1, 9);
    CONFD_SET_XMLTAG(&kp.v[1][0], 2, 9);
    CONFD_SET_IPV4(&kp.v[0][0], a);
    kp.v[0][1] = str_value("blue");
    kp.v[0][2].type = C_NOEXISTS;

    mgmt_wire::writer w(MGMT_OP_REPLY, 77);
    w.nil().i64(INT64_MIN).bytes(std::string("\0x", 2));
    for (const auto &val : values) {
        w.value(val);
    }
    confd_tag_value_t tv{};
    CONFD_SET_TAG_STR(&tv, 42, "leaf");
    tv.tag.ns = 9;
    w.tag_values(&tv, 1).keypath(kp);
    std::string body = body_of(w.finish());
    ASSERT_TRUE(mgmt_wire::check_body({reinterpret_cast<const uint8_t *>(body.data()), body.size()}));

    mgmt_wire::reader r{std::string_view(body)};
    EXPECT_EQ(r.op(), MGMT_OP_REPLY);
    EXPECT_EQ(r.xid(), 77u);
    int64_t i = 0;
    std::string_view bytes;
    ASSERT_TRUE(r.nil() && r.i64(i) && r.bytes(bytes));
    EXPECT_EQ(i, INT64_MIN);
    EXPECT_EQ(bytes, std::string_view("\0x", 2));
    for (const auto &want : values) {
        confd_value_t got;
        ASSERT_TRUE(r.value(got)) << "type " << want.type;
        EXPECT_TRUE(confd_val_eq(&want, &got)) << "type " << want.type;
        if (want.type == C_DATETIME) {
            EXPECT_EQ(got.val.datetime.micro, 123456u);
            EXPECT_EQ(got.val.datetime.timezone_minutes, -30);
        }
        confd_free_value(&got);
    }
    confd_tag_value_t *tvs = nullptr;
    int n = 0;
    ASSERT_TRUE(r.tag_values(&tvs, &n));
    ASSERT_EQ(n, 1);
    EXPECT_EQ(tvs[0].tag.tag, 42u);
    EXPECT_EQ(tvs[0].tag.ns, 9u);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&tvs[0].v), "leaf");
    mgmt_wire::free_tag_values(tvs, n);
    confd_hkeypath_t back;
    ASSERT_TRUE(r.keypath(back));
    ASSERT_EQ(back.len, 3);
    EXPECT_EQ(back.v[2][0].val.xmltag.tag, 1u);
    EXPECT_EQ(back.v[1][0].val.xmltag.tag, 2u);
    EXPECT_EQ(back.v[0][0].type, C_IPV4);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&back.v[0][1]), "blue");
    EXPECT_EQ(back.v[0][2].type, C_NOEXISTS);
    mgmt_wire::free_keypath(back);
    EXPECT_TRUE(r.at_end());
}

TEST(ConfdWire, MalformedBodiesAreRefused)
{
    // Every prefix of a good body cut inside its one item is refused.
    mgmt_wire::writer w(MGMT_OP_REPLY, 1);
    confd_value_t s = str_value("abcdef");
    w.list(3).i64(5).value(s).list(2).str("x").i64(1);
    std::string body = body_of(w.finish());
    for (size_t len = 6; len < body.size(); len++) {
        EXPECT_FALSE(mgmt_wire::check_body({reinterpret_cast<const uint8_t *>(body.data()), len})) << len;
    }

    // A string, list or value list that claims more than the frame holds.
    auto lying = [](std::string b, size_t at, uint32_t count) {
        uint32_t be = htonl(count);
        memcpy(b.data() + at, &be, 4);
        return b;
    };
    std::string str_body = body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).str("abc").finish());
    EXPECT_FALSE(mgmt_wire::check_body(
        {reinterpret_cast<const uint8_t *>(lying(str_body, 6, 0xffffffffu).data()), str_body.size()}));
    std::string lb = lying(body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).list(1).nil().finish()), 6, 0x7fffffffu);
    mgmt_wire::reader lr{std::string_view(lb)};
    uint32_t count = 0;
    EXPECT_FALSE(lr.list(count));
    confd_tag_value_t *tvs = nullptr;
    int n = 0;
    mgmt_wire::reader tr{std::string_view(lb)};
    EXPECT_FALSE(tr.tag_values(&tvs, &n));
    EXPECT_EQ(tvs, nullptr);

    // Lists nested deeper than the protocol allows.
    mgmt_wire::writer deep(MGMT_OP_REPLY, 1);
    for (int i = 0; i <= MGMT_WIRE_MAX_DEPTH + 1; i++) {
        deep.list(1);
    }
    deep.nil();
    std::string db = body_of(deep.finish());
    EXPECT_FALSE(mgmt_wire::check_body({reinterpret_cast<const uint8_t *>(db.data()), db.size()}));

    // A keypath deeper than MAXDEPTH or with too many keys in an element.
    std::string kb = body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).finish());
    kb += static_cast<char>(mgmt_wire::kind::keypath);
    kb += static_cast<char>(MAXDEPTH + 1);
    confd_hkeypath_t kp;
    EXPECT_FALSE(mgmt_wire::reader{std::string_view(kb)}.keypath(kp));
    std::string keys = body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).finish());
    keys += static_cast<char>(mgmt_wire::kind::keypath);
    keys += '\1';
    keys += static_cast<char>(MAXKEYLEN);
    for (int k = 0; k < MAXKEYLEN; k++) {
        keys += std::string("\x0a\x01", 2);  // C_UINT8 1
    }
    EXPECT_FALSE(mgmt_wire::reader{std::string_view(keys)}.keypath(kp));
    // An unknown value type and an unknown item kind.
    std::string bad = body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).finish()) + "\x03\x7f";
    confd_value_t v;
    EXPECT_FALSE(mgmt_wire::reader{std::string_view(bad)}.value(v));
    bad = body_of(mgmt_wire::writer(MGMT_OP_REPLY, 1).finish()) + "\x09";
    EXPECT_FALSE(mgmt_wire::check_body({reinterpret_cast<const uint8_t *>(bad.data()), bad.size()}));

    // Frame lengths below the header or above the limit poison the stream.
    for (uint32_t len : {0u, 4u, MGMT_WIRE_MAX_FRAME + 1}) {
        mgmt_wire::frame_buffer fb;
        uint32_t be = htonl(len);
        fb.append(&be, 4);
        fb.append("xxxxxxxx", 8);
        std::span<const uint8_t> out;
        EXPECT_FALSE(fb.next(out));
        EXPECT_TRUE(fb.error()) << len;
    }
    // A frame cut anywhere is held back until its last byte arrives.
    std::string frame = mgmt_wire::writer(MGMT_OP_SUB_DONE, 9).i64(3).finish();
    mgmt_wire::frame_buffer fb;
    std::span<const uint8_t> out;
    for (size_t i = 0; i < frame.size(); i++) {
        EXPECT_FALSE(fb.next(out));
        fb.append(frame.data() + i, 1);
    }
    ASSERT_TRUE(fb.next(out));
    EXPECT_EQ(mgmt_wire::reader(out).xid(), 9u);
    EXPECT_FALSE(fb.next(out));
    EXPECT_FALSE(fb.error());
}

}  // namespace
