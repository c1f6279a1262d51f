// zor-peer as a real process against a fake zord: a message-queue server
// handle of this test (source zord, target the peer's module) receives what
// the peer's script lines send, and sends the peer messages whose JSON
// lines are compared whole. Then against the real zord: a module it refuses,
// and snapshots of a live overlay.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>

#include "ip_util.h"
#include "msgq_test_support.h"
#include "ost_util.h"
#include "zor_msg.h"
#include "zord_mgmt_support.h"

namespace {

using namespace std::chrono_literals;

class ZorPeer : public zt::MsgqTest {
protected:
    std::unique_ptr<zt::Process> peer;

    void TearDown() override
    {
        peer.reset();
        MsgqTest::TearDown();
    }

    std::string write_script(const std::string &text)
    {
        std::string path = rundir.file("script.zp");
        std::ofstream(path) << text;
        return path;
    }

    void start(const std::string &module, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--module", module, "--run-dir", rundir.path()});
        peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), args);
    }

    void start_script(const std::string &module, const std::string &script, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--script", write_script(script), "--idle", "200"});
        start(module, args);
    }

    // Runs the loop until the recorder holds n messages (the peer's output
    // is read meanwhile, so it never blocks on a full pipe).
    bool receive(zt::MsgqRecorder &rec, size_t n)
    {
        return loop.run_until(
            [&] {
                peer->poll_output();
                return rec.msgs.size() >= n;
            },
            20s);
    }

    // Waits for the peer to end while the loop keeps serving its socket.
    bool finish()
    {
        bool ended = loop.run_until([&] { return peer->wait_exit(0ms); }, 20s);
        loop.settle();
        return ended;
    }

    static zor_msg_t decode(const std::string &payload)
    {
        zor_msg_t m;
        EXPECT_EQ(zor_msg_decode(&m, reinterpret_cast<const uint8_t *>(payload.data()),
                                 static_cast<uint16_t>(payload.size())),
                  0);
        return m;
    }

    int send(msgq_handle_t *h, const zor_msg_t &m)
    {
        uint8_t buf[ZOR_MSG_ENCODE_MAX];
        uint16_t len = 0;
        EXPECT_EQ(zor_msg_encode(&m, buf, &len), 0);
        return write(h, std::string(reinterpret_cast<char *>(buf), len));
    }
};

// The hex of a security key as zor-peer fills it: kind 0 authentication,
// 1 encryption; byte b of key i is 0x40 + 0x20 * kind + 0x10 * i + b % 64.
std::string key_hex(int kind, int index)
{
    std::string out;
    char two[3];
    for (int b = 0; b < ZOR_TLOC_SEC_KEY_LEN; b++) {
        snprintf(two, sizeof(two), "%02x", 0x40 + 0x20 * kind + 0x10 * index + (b & 0x3f));
        out += two;
    }
    return out;
}

// Every script line that sends goes to the fake zord; the fake zord sends
// each message back, and the peer prints it. The printed lines are compared
// whole with what the script said, so a key read into the wrong field, a
// code turned into the wrong number or a field printed wrongly shows.
TEST_F(ZorPeer, ScriptLinesGoOutAsMessagesAndComeBackAsJsonLines)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_ADVD, &rec);
    ASSERT_NE(h, nullptr);
    const std::string script = R"(# every message line once
register TLOC-IPV4 originate=1
register link announce=0 originate=1
unregister tracker
tloc-add 10.1.1.1:biz-internet:ipsec origin=local pref=100 weight=5 site=200 region=7 version=3 gen-id=9 carrier=2 stale=1 restrict=1 on-demand=1 border=1 groups=0,11,12 encap=ipsec spi=256 integrity=0x18 cipher=4 security=spi:4096,flags:1,sa:3,proto:0+1,enc:0+3,integrity:0,auth-keys:1,enc-keys:2 installed=1 capability=0x1234567890 bandwidth=1000 qos=gold-class lr=1 lr-hold=30 public=198.51.100.1:12346 private=[2001:db8::5]:500
tloc-add 2001:db8::1:30:gre
tloc-del 10.1.1.1:3:1 origin=local
bfd 10.1.1.1:biz-internet:ipsec state=no-path
data-device-state 10.9.9.9 state=inactive family=DATA-DEVICE-IPV6
link-add 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre origin=local bfd=down mtu=1400 label=32770 pref=3 stale=1 loss=4 latency=5 jitter=6 tun-rec=7 local-index=32771 remote-index=32772
link-del 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre
link-status 10.1.1.1:biz-internet:ipsec 10.2.2.2:lte:gre bfd=down mtu=1300 tun-rec=9 loss=1 latency=2 jitter=3
ctrl-device-add 10.3.3.3 type=Solon state=down staging=1 regions=1,2,65535
ctrl-device-del 2001:db8::3
vpn-sec-add vpn=10 ip=10.4.4.4 origin=local encap=gre key=77 pref=5
vpn-sec-del vpn=10 ip=10.4.4.4
peer-sec-add vpn=11 origin-ip=10.5.5.5 dest-ip=2001:db8::6 encap=ipsec spi=1 integrity=8 cipher=2
peer-sec-del vpn=11 origin-ip=10.5.5.5 dest-ip=2001:db8::6
tracker-add name="web \"tracker\"\\	é" attach=ge0/0 vpn=12 status=down word1=1 word2=2 opaque=0a000b00
tracker-del name=t1 attach=a1 vpn=13
tracker-status name=t1 attach=a1 vpn=13 status=up
data-device-add 10.6.6.6 status=down
data-device-del 10.6.6.6 sender=xfwd family=9
raw 01 02:03
raw-stream afbe0b00 01 02 02 0c 04-05-06
wait-count 23 20000
)";
    start_script("advd", script);
    ASSERT_TRUE(receive(rec, 24)) << peer->err();
    EXPECT_EQ(rec.msgs[22], std::string("\x01\x02\x03")) << "raw: the bytes as one message";
    EXPECT_EQ(rec.msgs[23], std::string("\x04\x05\x06")) << "raw-stream: framed by the script itself";
    // Ends swapped by the reader and the printer alike would print right:
    // the local end of a link is the first on the line.
    EXPECT_EQ(decode(rec.msgs[8]).body.link.local.addr.u.v4, 0x0a010101u);

    for (size_t i = 0; i < 22; i++) {
        zor_msg_t m = decode(rec.msgs[i]);
        if (i == 3) {
            // What zord adds to a TLOC and no script line sends.
            m.body.tloc.status = 3;
            m.body.tloc.inactive = 1;
            m.body.tloc.index = 32770;
            m.body.tloc.path_count = 2;
            m.body.tloc.paths[0] = {32770, 32772, 1400, 2, {}, {40000, 40001, 0}};
            m.body.tloc.paths[1] = {32773, 32774, 1300, 1, {}, {40002, 0, 0}};
        }
        ASSERT_EQ(send(h, m), 0);
    }
    ASSERT_EQ(write(h, rec.msgs[22]), 0);
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(peer->err(), "zor-peer: dropped a message of 3 bytes that the codec cannot decode\n");
    const std::string tloc_add =
        R"({"type":"TLOC_ADD","type_id":5,"family":"TLOC-IPV4","sender":1,"sender_name":"advd",)"
        R"("tloc":"10.1.1.1:biz-internet:ipsec","origin":1,"origin_name":"local","status":3,)"
        R"("status_name":"no-path","inactive":1,"index":32770,"lr_enabled":1,"lr_hold_time":30,)"
        // Path ends are named by the TLOCs the peer was sent: only 32770 is one.
        R"("paths":[{"local":32770,"local_tloc":"10.1.1.1:biz-internet:ipsec","border":32772,"border_tloc":null,)"
        R"("mtu":1400,"labels":[40000,40001]},)"
        R"({"local":32773,"local_tloc":null,"border":32774,"border_tloc":null,"mtu":1300,"labels":[40002]}],)"
        R"("attr":{"pref":100,"weight":5,"site":200,"region":7,"version":3,"gen-id":9,"carrier":2,"stale":1,)"
        R"("restrict":1,"on-demand":1,"border":1,"groups":[0,11,12],"encap":"ipsec","spi":256,"integrity":24,)"
        R"("cipher":4,"cipher_name":"unknown","security":{"sa":3,"spi":4096,"flags":1,"proto":[0,1],)"
        R"("proto_names":["ESP","AH_NO_ID"],"enc":[0,3],"enc_names":["AES128-GCM","AES256-GCM"],)"
        R"("integrity-count":1,"integrity":0,"integrity_name":"HMAC_SHA1","auth-keys":[")" + key_hex(0, 0) +
        R"("],"enc-keys":[")" + key_hex(1, 0) + R"(",")" +
        key_hex(1, 1) + R"("]},"installed":1,"capability":78187493520,"bandwidth":1000,)"
        R"("public":"198.51.100.1:12346","private6":"[2001:db8::5]:500"},"bandwidth":1000,"qos":"gold-class"})";
    const std::string link =
        R"("sender":1,"sender_name":"advd","local":"10.1.1.1:biz-internet:ipsec","remote":"10.2.2.2:lte:gre",)";
    const std::vector<std::string> expected = {
        R"({"type":"REGISTER","type_id":1,"family":"TLOC-IPV4","sender":1,"sender_name":"advd","announce":1,)"
        R"("originate":1})",
        R"({"type":"REGISTER","type_id":1,"family":"LINK","sender":1,"sender_name":"advd","announce":0,"originate":1})",
        R"({"type":"UNREGISTER","type_id":2,"family":"TRACKER","sender":1,"sender_name":"advd"})",
        tloc_add,
        R"({"type":"TLOC_ADD","type_id":5,"family":"TLOC-IPV6","sender":1,"sender_name":"advd",)"
        R"("tloc":"2001:db8::1:30:gre","origin":2,"origin_name":"remote","status":0,"status_name":"unknown",)"
        R"("inactive":0,)"
        R"("index":0,"lr_enabled":0,"lr_hold_time":0,"paths":[],"attr":{},"bandwidth":0,)"
        R"("qos":""})",
        R"({"type":"TLOC_DEL","type_id":6,"family":"TLOC-IPV4","sender":1,"sender_name":"advd",)"
        R"("tloc":"10.1.1.1:metro-ethernet:gre","origin":1,"origin_name":"local","status":0,"status_name":"unknown",)"
        R"("inactive":0,"index":0,"lr_enabled":0,"lr_hold_time":0,"paths":[],"attr":{},)"
        R"("bandwidth":0,"qos":""})",
        R"({"type":"TLOC_BFD_STATUS","type_id":3,"family":"TLOC-IPV4","sender":1,"sender_name":"advd",)"
        R"("tloc":"10.1.1.1:biz-internet:ipsec","status":2,"status_name":"no-path"})",
        R"({"type":"DATA_DEVICE_STATE","type_id":20,"family":"DATA-DEVICE-IPV6","sender":1,"sender_name":"advd",)"
        R"("ip":"10.9.9.9","state":2,"state_name":"inactive"})",
        R"({"type":"LINK_ADD","type_id":7,"family":"LINK",)" + link +
            R"("local_index":32771,"remote_index":32772,"origin":1,"origin_name":"local","status":0,)"
            R"("status_name":"unknown","mtu":1400,"label":32770,)"
            R"("preference":3,"stale":1,"loss":4,"latency":5,"jitter":6,"tun_rec":7})",
        R"({"type":"LINK_DEL","type_id":8,"family":"LINK",)" + link +
            R"("local_index":0,"remote_index":0,"origin":2,"origin_name":"remote","status":1,"status_name":"up",)"
            R"("mtu":0,)"
            R"("label":0,"preference":0,"stale":0,)"
            R"("loss":0,"latency":0,"jitter":0,"tun_rec":0})",
        R"({"type":"LINK_STATUS","type_id":4,"family":"LINK",)" + link +
            R"("status":0,"status_name":"down","mtu":1300,"loss":1,"latency":2,"jitter":3,"tun_rec":9})",
        R"({"type":"CTRL_DEVICE_ADD","type_id":9,"family":"CTRL-DEVICE-IPV4","sender":1,"sender_name":"advd",)"
        R"("ip":"10.3.3.3","device_type":3,"device_type_name":"Solon","state":0,"state_name":"down","staging":1,)"
        R"("regions":[1,2,65535]})",
        R"({"type":"CTRL_DEVICE_DEL","type_id":10,"family":"CTRL-DEVICE-IPV6","sender":1,"sender_name":"advd",)"
        R"("ip":"2001:db8::3","device_type":0,"device_type_name":"Unknown","state":1,"state_name":"up",)"
        R"("staging":0,"regions":[]})",
        R"({"type":"VPN_SEC_ADD","type_id":13,"family":"VPN-SEC","sender":1,"sender_name":"advd","vpn":10,)"
        R"("ip":"10.4.4.4","origin":1,"origin_name":"local",)"
        R"("attr":{"pref":5,"encap":"gre","key":77}})",
        R"({"type":"VPN_SEC_DEL","type_id":14,"family":"VPN-SEC","sender":1,"sender_name":"advd","vpn":10,)"
        R"("ip":"10.4.4.4","origin":2,"origin_name":"remote",)"
        R"("attr":{}})",
        R"({"type":"PEER_SEC_ADD","type_id":15,"family":"PEER-SEC","sender":1,"sender_name":"advd","vpn":11,)"
        R"("origin_ip":"10.5.5.5","dest_ip":"2001:db8::6","origin":2,"origin_name":"remote",)"
        R"("attr":{"encap":"ipsec","spi":1,"integrity":8,"cipher":2,"cipher_name":"unknown"}})",
        R"({"type":"PEER_SEC_DEL","type_id":16,"family":"PEER-SEC","sender":1,"sender_name":"advd","vpn":11,)"
        R"("origin_ip":"10.5.5.5","dest_ip":"2001:db8::6","origin":2,"origin_name":"remote","attr":{}})",
        // Quotes, backslashes and tabs are escaped; UTF-8 passes through.
        R"({"type":"TRACKER_ADD","type_id":17,"family":"TRACKER","sender":1,"sender_name":"advd",)"
        R"("name":"web \"tracker\"\\\té","attach":"ge0/0","vpn":12,"status":0,"status_name":"down","word1":1,)"
        R"("word2":2,"opaque":"0a000b"})",
        R"({"type":"TRACKER_DEL","type_id":18,"family":"TRACKER","sender":1,"sender_name":"advd","name":"t1",)"
        R"("attach":"a1","vpn":13,"status":1,"status_name":"up","word1":0,"word2":0,"opaque":""})",
        R"({"type":"TRACKER_STATUS","type_id":19,"family":"TRACKER","sender":1,"sender_name":"advd","name":"t1",)"
        R"("attach":"a1","vpn":13,"status":1,"status_name":"up","word1":0,"word2":0,"opaque":""})",
        R"({"type":"DATA_DEVICE_ADD","type_id":11,"family":"DATA-DEVICE-IPV4","sender":1,"sender_name":"advd",)"
        R"("ip":"10.6.6.6","status":2,"status_name":"down"})",
        // sender= and family= replace what the line would use.
        R"({"type":"DATA_DEVICE_DEL","type_id":12,"family":"TRACKER","sender":3,"sender_name":"xfwd","ip":"10.6.6.6",)"
        R"("status":1,"status_name":"up"})",
    };
    const std::vector<std::string> got = zt::split_lines(peer->out());
    ASSERT_EQ(got.size(), expected.size()) << peer->out();
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
    }
}

TEST_F(ZorPeer, BadScriptLinesStopBeforeAnythingIsSent)
{
    zt::MsgqRecorder &rec = recorder();
    ASSERT_NE(server(OST_MODULE_ADVD, &rec), nullptr);
    const std::string long_name(326, 'n');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"register TLOC-IPV4\nfoo bar\n", "2: unknown command 'foo'"},
        {"\n\n# only a comment\ntloc-add 10.1.1.1:biz-internet\n",
         "4: TLOC '10.1.1.1:biz-internet' is not ADDRESS:COLOUR:ENCAP"},
        {"tloc-add 10.1.1.1:biz:ipsec", "1: TLOC '10.1.1.1:biz:ipsec': unknown colour 'biz'"},
        {"tloc-add 10.1.1:lte:ipsec", "1: TLOC '10.1.1:lte:ipsec': '10.1.1' is not an IPv4 or IPv6 address"},
        {"tloc-add 10.1.1.1:lte:udp", "1: TLOC '10.1.1.1:lte:udp': unknown encapsulation 'udp' (gre, ipsec or a number)"},
        {"tloc-add 10.1.1.1:lte:ipsec pref=x", "1: 'pref' needs a number 0-4294967295, not 'x'"},
        {"tloc-add 10.1.1.1:lte:ipsec region=70000", "1: 'region' needs a number 0-65535, not '70000'"},
        {"tloc-add 10.1.1.1:lte:ipsec groups=1,2,3,4,5,6,7,8,9,10", "1: 'groups' takes at most 9 values, got 10"},
        {"tloc-add 10.1.1.1:lte:ipsec spi=3", "1: 'spi' belongs to the encapsulation: give encap=gre or encap=ipsec"},
        {"tloc-add 10.1.1.1:lte:ipsec encap=gre spi=3", "1: 'spi' belongs to encap=ipsec, not encap=gre"},
        {"vpn-sec-add vpn=1 ip=10.0.0.1 encap=ipsec key=3", "1: 'key' belongs to encap=gre, not encap=ipsec"},
        {"register TLOC-IPV4 announce=2", "1: 'announce' needs a number 0-1, not '2'"},
        {"tloc-add 10.1.1.1:lte:ipsec lr=2", "1: 'lr' needs a number 0-1, not '2'"},
        {"tloc-add 10.1.1.1:lte:ipsec pref=1 pref=2", "1: key 'pref' given twice"},
        {"tloc-add 10.1.1.1:lte:ipsec colour=red",
         "1: unknown key 'colour' for tloc-add (usage: tloc-add TLOC [key=value...])"},
        {"tloc-add 10.1.1.1:lte:ipsec security=spi:1,keys:2",
         "1: unknown security part 'keys' (spi, flags, sa, proto, enc, integrity, auth-keys, enc-keys)"},
        {"tloc-add 10.1.1.1:lte:ipsec origin=far", "1: 'origin' needs local, remote, or a number 0-255, not 'far'"},
        {"register FOO", "1: unknown family 'FOO' (a family name such as TLOC-IPV4, or a number)"},
        {"bfd 10.1.1.1:lte:ipsec", "1: bfd needs state=up|down|no-path|N"},
        {"sleep soon", "1: sleep needs a time in milliseconds 0-4294967295, not 'soon'"},
        {"wait-idle", "1: wait-idle takes one argument, a time in milliseconds"},
        {"disconnect now", "1: disconnect takes no arguments"},
        {"tracker-add name=\"abc attach=x vpn=1", "1: unterminated quote"},
        {"tracker-add name=" + long_name + " attach=a vpn=1", "1: 'name' is longer than 325 characters"},
        {"tracker-status name=a attach=b vpn=1", "1: tracker-status needs status=up|down|N"},
        {"link-add 10.1.1.1:lte:ipsec",
         "1: expected 2 words before the keys, got 1 (usage: link-add LOCAL-TLOC REMOTE-TLOC [key=value...])"},
        {"vpn-sec-add ip=10.0.0.1", "1: vpn-sec-add needs vpn="},
        {"peer-sec-add vpn=1 origin-ip=10.0.0.1 dest-ip=10.0.0", "1: 'dest-ip' needs an IPv4 or IPv6 address, not '10.0.0'"},
        {"ctrl-device-add 10.0.0.1 type=Router", "1: 'type' needs a personality (Brink, Nexa, Solon, Tether, Steward, ZTP) or a number, not 'Router'"},
        {"raw 0g", "1: raw needs bytes as hexadecimal digit pairs (blanks, ':' and '-' between them are ignored)"},
        {"wait-count", "1: usage: wait-count N [MS]"},
        {"tloc-add 10.1.1.1:lte:ipsec family=TLOC", "1: unknown family 'TLOC'"},
    };
    for (const auto &[script, why] : cases) {
        std::string path = write_script(script);
        start("advd", {"--script", path});
        ASSERT_TRUE(finish()) << script;
        EXPECT_EQ(peer->result().exit_code, 2) << script;
        EXPECT_EQ(peer->err(), "zor-peer: " + path + ":" + why + "\n") << script;
        EXPECT_EQ(peer->out(), "");
    }
    EXPECT_EQ(rec.msgs.size(), 0u) << "a script is parsed whole before the peer connects";
    EXPECT_EQ(rec.count("up"), 0u);
}

TEST_F(ZorPeer, StandardInputIsRunLineByLine)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_CTLAGENT, &rec);
    ASSERT_NE(h, nullptr);
    start("ctlagent", {"--idle", "100"});
    peer->write_stdin("register TLOC-IPV4\n");
    ASSERT_TRUE(receive(rec, 1)) << peer->err();
    EXPECT_EQ(decode(rec.msgs[0]).type, static_cast<uint32_t>(ZOR_MSG_REGISTER));

    // While it waits for more input, what arrives is printed at once.
    zor_msg_t m{};
    m.type = ZOR_MSG_DATA_DEVICE_ADD;
    m.sender = 2;
    m.family = 4;
    m.body.data_device.addr = ip_addr_v4(0x0a040404);
    m.body.data_device.status = 2;
    ASSERT_EQ(send(h, m), 0);
    ASSERT_TRUE(loop.run_until(
        [&] {
            peer->poll_output(10);
            return peer->out().ends_with('\n');
        },
        20s));
    EXPECT_EQ(peer->out(), "{\"type\":\"DATA_DEVICE_ADD\",\"type_id\":11,\"family\":\"DATA-DEVICE-IPV4\",\"sender\":2,"
                           "\"sender_name\":\"zord\",\"ip\":\"10.4.4.4\",\"status\":2,\"status_name\":\"down\"}\n");

    // A last line without a line feed still counts.
    peer->write_stdin("unregister TLOC-IPV4");
    peer->close_stdin();
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    EXPECT_EQ(decode(rec.msgs[1]).type, static_cast<uint32_t>(ZOR_MSG_UNREGISTER));
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();

    // A bad line on standard input names the line and stops the peer.
    start("ctlagent", {});
    peer->write_stdin("register TLOC-IPV4\n\nbogus line\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 2);
    EXPECT_EQ(peer->err(), "zor-peer: stdin:3: unknown command 'bogus'\n");
}

TEST_F(ZorPeer, CommandLineHelpAndNoZord)
{
    // No zord: the peer gives up after --timeout, even with nothing to send.
    for (const char *script : {"register TLOC-IPV4\n", "# nothing\n"}) {
        start_script("advd", script, {"--timeout", "1"});
        ASSERT_TRUE(peer->wait_exit(20s));
        EXPECT_EQ(peer->result().exit_code, 3);
        EXPECT_EQ(peer->err(), "zor-peer: cannot connect to " + sock_path("zord") +
                                   " as advd within 1 s (is zord running there?)\n");
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> faults = {
        {{}, "--module is required"},
        {{"--module", "nosuch"}, "unknown module (a module name or an id 1-228): nosuch"},
        {{"--module", "advd", "extra"}, "unexpected argument: extra"},
        {{"--module", "advd", "--idle", "x"}, "--idle needs milliseconds: x"},
        {{"--module", "zord"}, "--module and --target name the same module"},
    };
    for (const auto &[args, why] : faults) {
        peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), args);
        ASSERT_TRUE(peer->wait_exit(20s));
        EXPECT_EQ(peer->result().exit_code, 1) << why;
        EXPECT_EQ(peer->err(), "zor-peer: " + why + "\nTry 'zor-peer --help'.\n");
    }
    // --help names every command, option and output field it has.
    peer = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"), std::vector<std::string>{"--help"});
    ASSERT_TRUE(peer->wait_exit(20s));
    EXPECT_EQ(peer->result().exit_code, 0);
    for (const char *word : {"register", "unregister", "tloc-add", "tloc-del", "bfd", "data-device-state", "link-add",
                             "link-del", "link-status", "ctrl-device-add", "ctrl-device-del", "vpn-sec-add",
                             "vpn-sec-del", "peer-sec-add", "peer-sec-del", "tracker-add", "tracker-del",
                             "tracker-status", "data-device-add", "data-device-del", "sleep", "wait-idle",
                             "wait-count", "disconnect", "reconnect", "raw", "raw-stream", "--module", "--run-dir",
                             "--script", "--idle", "--timeout", "--target", "--verbose", "\"lr_hold_time\"",
                             "\"tun_rec\"", "\"device_type\"", "\"origin_ip\"", "\"public6\"", "carrier 1"}) {
        EXPECT_NE(peer->out().find(word), std::string::npos) << word;
    }
}

TEST_F(ZorPeer, DisconnectReconnectAndLostConnections)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_ADVD, &rec);
    ASSERT_NE(h, nullptr);
    const std::string script_name = rundir.file("script.zp");
    start_script("advd", "register TLOC-IPV4\ndisconnect\nreconnect\nregister LINK\n");
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(rec.events, (zt::Strings{"up", "down", "up", "down"}));
    EXPECT_EQ(decode(rec.msgs[0]).family, 0u);
    EXPECT_EQ(decode(rec.msgs[1]).family, 8u);

    // Sending after a disconnect is a script fault.
    start_script("advd", "disconnect\ntloc-add 10.1.1.1:lte:gre\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 3);
    EXPECT_EQ(peer->err(), "zor-peer: " + script_name + ":2: not connected (disconnect at line 1, and no reconnect since)\n");

    // zord closing the connection: the peer reconnects by itself and goes on.
    rec.events.clear();
    rec.msgs.clear();
    rec.on_recv = [](msgq_handle_t *hh, void *, uint16_t) { msgq_close_connection(hh, 0); };
    start_script("advd", "register TLOC-IPV4\nwait-count 1 20000\nregister LINK\n");
    ASSERT_TRUE(receive(rec, 1)) << peer->err();
    rec.on_recv = nullptr;
    ASSERT_TRUE(loop.run_until(
        [&] {
            peer->poll_output();
            return rec.count("up") >= 2;
        },
        20s));
    zor_msg_t m{};
    m.type = ZOR_MSG_REGISTER;
    m.sender = 2;
    ASSERT_EQ(send(h, m), 0);
    ASSERT_TRUE(receive(rec, 2)) << peer->err();
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 0) << peer->err();
    EXPECT_EQ(peer->err(), "zor-peer: connection to " + sock_path("zord") + " lost; reconnecting\n");
    EXPECT_EQ(decode(rec.msgs[1]).family, 8u);

    // A wait-count that never completes.
    start_script("advd", "wait-count 3 300\n");
    ASSERT_TRUE(finish());
    EXPECT_EQ(peer->result().exit_code, 4);
    EXPECT_EQ(peer->err(), "zor-peer: " + script_name + ":1: wait-count 3: 0 messages received after 300 ms\n");
}

}  // namespace

namespace {

// --timestamps: every line begins with its receive time; the rest is the
// line as it is without the option.
TEST_F(ZorPeer, TimestampsLeadEveryLine)
{
    zt::MsgqRecorder &rec = recorder();
    msgq_handle_t *h = server(OST_MODULE_XFWD, &rec);
    ASSERT_NE(h, nullptr);
    start("xfwd", {"--idle", "100", "--timestamps"});
    peer->write_stdin("register DATA-DEVICE-IPV4\n");
    ASSERT_TRUE(receive(rec, 1)) << peer->err();
    zor_msg_t m{};
    m.type = ZOR_MSG_DATA_DEVICE_ADD;
    m.sender = 2;
    m.family = 4;
    m.body.data_device.addr = ip_addr_v4(0x0a040404);
    m.body.data_device.status = 1;
    ASSERT_EQ(send(h, m), 0);
    ASSERT_EQ(send(h, m), 0);
    ASSERT_TRUE(loop.run_until(
        [&] {
            peer->poll_output(10);
            return zt::split_lines(peer->out()).size() == 2;
        },
        20s));
    peer->close_stdin();
    ASSERT_TRUE(finish());
    const std::regex stamped(R"re(\{"time":"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)",(.*))re");
    std::string first;
    for (const std::string &line : zt::split_lines(peer->out())) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, stamped)) << line;
        EXPECT_EQ("{" + parts[2].str(), R"({"type":"DATA_DEVICE_ADD","type_id":11,"family":"DATA-DEVICE-IPV4",)"
                                        R"("sender":2,"sender_name":"zord","ip":"10.4.4.4","status":1,"status_name":"up"})");
        EXPECT_GE(parts[1].str(), first) << "in receive order";
        first = parts[1].str();
    }
}

// zor-peer against the real zord: a module zord does not serve, and a
// snapshot of a live overlay (two regions, a path through region 2's
// border) as JSON and as a graph.
class ZorPeerLive : public ::testing::Test {
protected:
    zm::Zord zord{zm::free_port()};

    // zor-peer with args to its end; its pipes and zord's are read meanwhile.
    zt::ChildResult run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--run-dir", zord.run_dir(), "--timeout", "20"});
        zm::Live p(zt::build_path("tools/zor-peer"), args);
        EXPECT_TRUE(zm::wait_until([&] { return p.proc().wait_exit(0ms); })) << "zor-peer did not end";
        EXPECT_EQ(zm::sanitizer_report(p.err()), "") << p.err();
        return p.proc().result();
    }
};

TEST_F(ZorPeerLive, AModuleZordRefusesEndsThePeer)
{
    ASSERT_TRUE(zord.started()) << zord.err();
    zt::TempDir dir;
    std::ofstream(dir.file("s.zp")) << "register TLOC-IPV4\nsleep 100\n";
    const std::string refused = zord.run_dir() +
                                "/.zord closed the connection of module tenant_zor_35 (200) twice before sending "
                                "anything: zord serves advd, xfwd, ctlagent, setkeeper, policyd, probed, mcastd, klxd "
                                "and ctlagent_0-63, and refuses every other module\n";
    const std::string lost = "zor-peer: connection to " + zord.run_dir() + "/.zord lost; reconnecting\n";
    using Args = std::vector<std::string>;
    for (const Args &args : {Args{"--module", "200", "--script", dir.file("s.zp")},
                             Args{"--module", "200", "--snapshot", "LINK"}}) {
        const zt::ChildResult r = run(args);
        EXPECT_EQ(r.exit_code, 5) << r.err;
        EXPECT_EQ(r.err, lost + "zor-peer: " + refused);
        EXPECT_EQ(r.out, "");
    }
    // A module it serves is not refused, even when nothing arrives.
    const zt::ChildResult ok = run({"--module", "probed", "--script", dir.file("s.zp"), "--idle", "50"});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_TRUE(zord.stop());
}

TEST_F(ZorPeerLive, SnapshotPrintsWhatZordHoldsAndEndsAtItsMarker)
{
    ASSERT_TRUE(zord.started()) << zord.err();
    const std::string dir = zord.run_dir();
    zm::Peer listener(dir, "ctlagent_1");
    listener.send("register TLOC-IPV4\n");
    zm::Peer ctlagent(dir, "ctlagent_0");
    ctlagent.send("register TLOC-IPV4 originate=1\n"
                  "tloc-add 10.0.0.1:biz-internet:ipsec origin=local groups=1 border=1 pref=100\n"
                  "tloc-add 10.0.0.1:lte:ipsec origin=local groups=1 pref=50\n");
    ASSERT_TRUE(listener.wait_received({zm::tloc_member("10.0.0.1:lte:ipsec")}));
    zm::Peer advd(dir, "advd");
    advd.send("register TLOC-IPV4 originate=1\n"
              "tloc-add 10.0.0.2:biz-internet:ipsec groups=1 pref=100\n"
              "tloc-add 10.2.0.1:biz-internet:ipsec groups=0,2 border=1 pref=100\n"
              "tloc-add 10.2.0.7:biz-internet:ipsec groups=2 pref=100\n"
              "link-add 10.2.0.1:biz-internet:ipsec 10.2.0.7:biz-internet:ipsec bfd=up mtu=1400 label=5000\n");
    ASSERT_TRUE(listener.wait_received({zm::tloc_member("10.2.0.7:biz-internet:ipsec")}));
    zm::Peer xfwd(dir, "xfwd");
    xfwd.send("link-status 10.0.0.1:biz-internet:ipsec 10.2.0.1:biz-internet:ipsec bfd=up mtu=1420\n");
    // Its tunnel up, 10.2.0.7 is computed again once it changes.
    advd.send("sleep 300\ntloc-add 10.2.0.7:biz-internet:ipsec groups=2 pref=150\n");
    ASSERT_TRUE(listener.wait_received({zm::tloc_member("10.2.0.7:biz-internet:ipsec"), "\"paths\":[{"}));

    // The end comes with the markers, not after --idle (ten minutes here).
    const zt::ChildResult snap = run({"--snapshot", "TLOC-IPV4", "LINK", "TRACKER", "--idle", "600000"});
    ASSERT_EQ(snap.exit_code, 0) << snap.err;
    const std::vector<std::string> lines = zt::split_lines(snap.out);
    std::vector<std::string> keys;
    for (const std::string &line : lines) {
        if (line.find("\"tloc\":\"") == std::string::npos && line.find("\"local\":\"") == std::string::npos) {
            keys.push_back(line);
            continue;
        }
        const size_t at = line.find("\"tloc\":\"") != std::string::npos ? line.find("\"tloc\":\"") + 8
                                                                         : line.find("\"local\":\"") + 9;
        keys.push_back(line.substr(0, line.find("\",\"type_id\"") + 1) + " " +
                       line.substr(at, line.find('"', at) - at));
    }
    // Family by family as asked, each in key order (local end, then remote
    // end for links); the markers are not there.
    EXPECT_EQ(keys, (zt::Strings{
                        "{\"type\":\"TLOC_ADD\" 10.0.0.1:biz-internet:ipsec",
                        "{\"type\":\"TLOC_ADD\" 10.0.0.1:lte:ipsec",
                        "{\"type\":\"TLOC_ADD\" 10.0.0.2:biz-internet:ipsec",
                        "{\"type\":\"TLOC_ADD\" 10.2.0.1:biz-internet:ipsec",
                        "{\"type\":\"TLOC_ADD\" 10.2.0.7:biz-internet:ipsec",
                        "{\"type\":\"LINK_ADD\" 10.0.0.1:biz-internet:ipsec",
                        "{\"type\":\"LINK_ADD\" 10.0.0.1:biz-internet:ipsec",
                        "{\"type\":\"LINK_ADD\" 10.0.0.1:lte:ipsec",
                        "{\"type\":\"LINK_ADD\" 10.0.0.1:lte:ipsec",
                        "{\"type\":\"LINK_ADD\" 10.2.0.1:biz-internet:ipsec",
                        R"({"type":"SNAPSHOT_END","families":["TLOC-IPV4","LINK","TRACKER"],"entries":10})",
                    }))
        << snap.out;
    EXPECT_EQ(snap.out.find("0.0.0.98"), std::string::npos);
    // The path's ends by index and by key.
    EXPECT_NE(lines[4].find("\"paths\":[{\"local\":32770,\"local_tloc\":\"10.0.0.1:biz-internet:ipsec\","
                            "\"border\":32773,\"border_tloc\":\"10.2.0.1:biz-internet:ipsec\",\"mtu\":1400,"
                            "\"labels\":[5000]}]"),
              std::string::npos)
        << lines[4];
    // The marker was there for the other clients, and went again.
    ASSERT_TRUE(listener.wait_received({"\"TLOC_DEL\"", zm::tloc_member("0.0.0.98:default:gre")}));
    EXPECT_EQ(listener.received({"\"TLOC_ADD\"", zm::tloc_member("0.0.0.98:default:gre")}).size(), 1u);

    // The same overlay as a graph: regions as clusters, the two borders
    // framed twice, the path's two links thick and blue, its end framed blue.
    const zt::ChildResult dot = run({"--snapshot", "TLOC-IPV4", "LINK", "--dot", "--module", "ctlagent_2"});
    ASSERT_EQ(dot.exit_code, 0) << dot.err;
    const std::string &g = dot.out;
    EXPECT_TRUE(g.starts_with("digraph overlay {\n")) << g;
    EXPECT_NE(g.find("label=\"zord's overlay: 5 TLOCs, 5 links, 1 path "), std::string::npos) << g;
    const size_t region1 = g.find("subgraph \"cluster_region_1\" {");
    const size_t region2 = g.find("subgraph \"cluster_region_2\" {");
    ASSERT_NE(region1, std::string::npos) << g;
    ASSERT_NE(region2, std::string::npos) << g;
    EXPECT_LT(region1, g.find("\"10.0.0.2:biz-internet:ipsec\" ["));
    EXPECT_LT(g.find("\"10.0.0.2:biz-internet:ipsec\" ["), region2);
    EXPECT_LT(region2, g.find("\"10.2.0.7:biz-internet:ipsec\" ["));
    auto count = [&](const std::string &text) {
        size_t n = 0;
        for (size_t at = g.find(text); at != std::string::npos; at = g.find(text, at + 1)) {
            n++;
        }
        return n;
    };
    EXPECT_EQ(count("peripheries=2"), 2u);
    EXPECT_EQ(count("penwidth=3"), 2u);
    EXPECT_NE(g.find("\"10.0.0.1:biz-internet:ipsec\" -> \"10.2.0.1:biz-internet:ipsec\" [label=\"label 32773\\nmtu "
                     "1420, up\", color=\"#1565c0\", fontcolor=\"#2e7d32\", penwidth=3];"),
              std::string::npos)
        << g;
    EXPECT_NE(g.find("\"10.2.0.1:biz-internet:ipsec\" -> \"10.2.0.7:biz-internet:ipsec\" [label=\"label 5000\\nmtu "
                     "1400, up\", color=\"#1565c0\", fontcolor=\"#2e7d32\", penwidth=3];"),
              std::string::npos)
        << g;
    EXPECT_NE(g.find("\"10.2.0.7:biz-internet:ipsec\" [label=\"10.2.0.7\\nbiz-internet:ipsec\\n#32774 remote, up\", "
                     "fillcolor=\"#eeeeee\", color=\"#1565c0\", penwidth=2.5];"),
              std::string::npos)
        << g;
    EXPECT_NE(g.find("[label=\"label 32772\\nmtu 0, down\", color=\"#c62828\", fontcolor=\"#c62828\", style=dashed]"),
              std::string::npos)
        << g;

    for (zm::Peer *p : {&listener, &ctlagent, &advd, &xfwd}) {
        EXPECT_TRUE(p->finish());
    }
    EXPECT_TRUE(zord.stop());
}

}  // namespace
