// What zor-peer prints must be valid UTF-8 JSON whatever bytes a peer sent,
// and a snapshot must end exactly at its markers: the text escaping and the
// snapshot's bookkeeping, in-process (the processes around them are tested
// in tests/integration/zor_peer_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ip_util.h"
#include "zor_peer_json.h"
#include "zor_peer_names.h"
#include "zor_peer_snapshot.h"

namespace {

TEST(ZorPeerJson, TextIsValidUtf8WithInvalidBytesEscapedOneByOne)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "\"plain\""},
        {"q\"b\\t\tn\nc\x01\x7f", "\"q\\\"b\\\\t\\tn\\nc\\u0001\\u007f\""},
        // Valid sequences of two, three and four bytes pass as they are.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        // A Latin-1 byte is not the character of the same number.
        {"caf\xe9", "\"caf\\udce9\""},
        {"\xc3\xa9\xe9", "\"\xc3\xa9\\udce9\""},
        // Stray continuation, truncated sequences, overlong forms,
        // surrogates, beyond U+10FFFF, bytes that never start a sequence.
        {"\x80", "\"\\udc80\""},
        {"\xe2\x82", "\"\\udce2\\udc82\""},
        {"\xe2\x82x", "\"\\udce2\\udc82x\""},
        {"\xc0\xaf", "\"\\udcc0\\udcaf\""},
        {"\xe0\x80\xaf", "\"\\udce0\\udc80\\udcaf\""},
        {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
        {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
        {"\xf5\xff", "\"\\udcf5\\udcff\""},
        // The largest valid code point and the last one before surrogates.
        {"\xf4\x8f\xbf\xbf\xed\x9f\xbf", "\"\xf4\x8f\xbf\xbf\xed\x9f\xbf\""},
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto &[in, out] : cases) {
        EXPECT_EQ(zp_json_quote(in), out) << in;
    }
}

TEST(ZorPeerJson, ReceiveTimeLeadsTheObject)
{
    const struct timespec t = {1714564800, 123456789};  // 2024-05-01 12:00:00 UTC
    EXPECT_EQ(zp_json_with_time("{\"type\":\"X\"}", t), "{\"time\":\"2024-05-01T12:00:00.123456Z\",\"type\":\"X\"}");
    EXPECT_EQ(zp_json_with_time("{}", t), "{\"time\":\"2024-05-01T12:00:00.123456Z\"}");
}

zor_msg_t tloc(uint32_t type, const char *text, uint32_t index)
{
    zor_msg_t m{};
    m.type = type;
    std::string err;
    EXPECT_TRUE(zp_tloc_from_str(text, &m.body.tloc.key, &err)) << err;
    m.family = zp_af_tloc_for(m.body.tloc.key.addr);
    m.body.tloc.index = index;
    return m;
}

// zord's walk may deliver a family in several slices, interleaved with the
// other families; the snapshot ends each family at its own marker, keeps the
// latest version of every key and what was withdrawn before the marker out,
// and leaves the markers and what zord derives from them out of the output.
TEST(ZorPeerJson, SnapshotEndsEachFamilyAtItsMarker)
{
    const uint32_t module = 98;
    zp_snapshot snap({8, 0, 9}, module);  // LINK, TLOC-IPV4, TRACKER
    const std::vector<zor_msg_t> open = snap.opening();
    ASSERT_EQ(open.size(), 6u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(open[i].type, static_cast<uint32_t>(ZOR_MSG_REGISTER));
        EXPECT_EQ(open[i].family, snap.families()[i]);
        EXPECT_EQ(open[i].body.reg.announce, 1);
    }
    const zor_msg_t &tloc_marker = open[3];
    EXPECT_EQ(zp_tloc_str(tloc_marker.body.tloc.key), "0.0.0.98:default:gre");
    EXPECT_EQ(tloc_marker.body.tloc.attr.carrier, 1) << "zord drops a TLOC add without a carrier";
    const zor_msg_t &link_marker = open[4];
    const zor_msg_t &tracker_marker = open[5];
    EXPECT_STREQ(tracker_marker.body.tracker.name, "zor-peer.ctlagent_63");

    const struct timespec t = {1, 0};
    EXPECT_FALSE(snap.take(tloc(ZOR_MSG_TLOC_ADD, "10.0.0.9:lte:ipsec", 32771), t));
    EXPECT_FALSE(snap.take(tloc(ZOR_MSG_TLOC_ADD, "10.0.0.1:lte:ipsec", 32770), t));
    EXPECT_FALSE(snap.take(tloc(ZOR_MSG_TLOC_ADD, "10.0.0.5:gold:gre", 32772), t));
    zor_msg_t changed = tloc(ZOR_MSG_TLOC_ADD, "10.0.0.9:lte:ipsec", 32771);
    changed.body.tloc.status = 1;
    changed.body.tloc.path_count = 1;
    changed.body.tloc.paths[0] = {32770, 32772, 1400, 0, {}, {}};
    EXPECT_FALSE(snap.take(changed, t));
    EXPECT_FALSE(snap.take(tloc(ZOR_MSG_TLOC_DEL, "10.0.0.5:gold:gre", 32772), t));
    // A link zord builds to the marker while advd originates links.
    zor_msg_t derived{};
    derived.type = ZOR_MSG_LINK_ADD;
    derived.family = 8;
    derived.body.link.local = tloc(0, "10.0.0.1:lte:ipsec", 0).body.tloc.key;
    derived.body.link.remote = tloc_marker.body.tloc.key;
    EXPECT_FALSE(snap.take(derived, t));
    EXPECT_FALSE(snap.take(tloc_marker, t));
    // After its marker a family takes nothing more.
    EXPECT_FALSE(snap.take(tloc(ZOR_MSG_TLOC_ADD, "10.0.0.7:lte:ipsec", 32773), t));
    EXPECT_FALSE(snap.take(link_marker, t));
    EXPECT_TRUE(snap.take(tracker_marker, t));
    EXPECT_TRUE(snap.complete());

    EXPECT_EQ(snap.count(), 2u);
    const std::string json = snap.json(false, t);
    const std::vector<std::string> want = {
        "\"tloc\":\"10.0.0.1:lte:ipsec\"",
        "\"tloc\":\"10.0.0.9:lte:ipsec\",\"origin\":0,\"origin_name\":\"unknown\",\"status\":1",
        "\"paths\":[{\"local\":32770,\"local_tloc\":\"10.0.0.1:lte:ipsec\",\"border\":32772,\"border_tloc\":null,",
        "{\"type\":\"SNAPSHOT_END\",\"families\":[\"LINK\",\"TLOC-IPV4\",\"TRACKER\"],\"entries\":2}\n",
    };
    size_t at = 0;
    for (const std::string &w : want) {
        const size_t found = json.find(w, at);
        ASSERT_NE(found, std::string::npos) << w << "\n" << json;
        at = found + w.size();
    }
    EXPECT_EQ(json.find("0.0.0.98"), std::string::npos) << json;
    EXPECT_EQ(json.find("10.0.0.5"), std::string::npos) << "withdrawn before the marker";
    EXPECT_EQ(json.find("10.0.0.7"), std::string::npos) << "added after the marker";

    // The closing messages withdraw exactly the markers.
    const std::vector<zor_msg_t> close = snap.closing();
    ASSERT_EQ(close.size(), 3u);
    EXPECT_EQ(close[0].type, static_cast<uint32_t>(ZOR_MSG_TLOC_DEL));
    EXPECT_EQ(memcmp(&close[0].body.tloc.key, &tloc_marker.body.tloc.key, sizeof(zor_tloc_key_t)), 0);
    EXPECT_EQ(close[1].type, static_cast<uint32_t>(ZOR_MSG_LINK_DEL));
    EXPECT_EQ(close[2].type, static_cast<uint32_t>(ZOR_MSG_TRACKER_DEL));
}

}  // namespace
