// Distribution through real processes: zord in the foreground on a
// temporary run directory, and zor-peer processes as its client daemons,
// each driven line by line through its standard input. What a client
// received is compared as a whole list of short summaries of its JSON lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "json_reader.h"
#include "msgq_util.h"
#include "test_support.h"
#include "zor_msg.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class Zord {
public:
    Zord()
    {
        proc_ = std::make_unique<zt::Process>(zt::build_path("zord/zord"), std::vector<std::string>{"-f"},
                                              std::map<std::string, std::string>{{"ZOR_RUN_DIR", run_.path()}});
        std::string pid_file = run_.file("zord.0.pid");
        for (int i = 0; i < 500 && !std::filesystem::exists(pid_file); i++) {
            proc_->poll_output(10);
        }
        EXPECT_TRUE(std::filesystem::exists(pid_file)) << proc_->err();
    }

    const std::string &run_dir() const { return run_.path(); }
    zt::Process &proc() { return *proc_; }

    // SIGUSR2: a clean stop, status 0 (so nothing a peer sent broke it).
    void stop_cleanly()
    {
        proc_->signal(SIGUSR2);
        ASSERT_TRUE(proc_->wait_exit(60s));
        EXPECT_TRUE(proc_->result().exited) << "signal " << proc_->result().term_signal << "\n" << proc_->err();
        EXPECT_EQ(proc_->result().exit_code, 0) << proc_->err();
        EXPECT_EQ(proc_->out(), "") << "no assertion line";
    }

private:
    zt::TempDir run_;
    std::unique_ptr<zt::Process> proc_;
};

class Peer {
public:
    Peer(Zord &zord, const std::string &module, const std::string &idle_ms = "800") : zord_(zord)
    {
        proc_ = std::make_unique<zt::Process>(
            zt::build_path("tools/zor-peer"),
            std::vector<std::string>{"--module", module, "--run-dir", zord.run_dir(), "--idle", idle_ms, "--timeout",
                                     "20"});
    }

    void send(const std::string &lines) { proc_->write_stdin(lines); }
    zt::Process &proc() { return *proc_; }

    std::vector<zt::Json> msgs() const
    {
        std::vector<zt::Json> out;
        for (const std::string &l : zt::split_lines(proc_->out())) {
            out.push_back(zt::json(l));
        }
        return out;
    }

    // One short line per received message: type, key, and the fields the
    // tests look at.
    Strings summary() const
    {
        Strings out;
        for (const zt::Json &m : msgs()) {
            std::string type = m["type"].str();
            std::string s = type;
            if (type == "TLOC_ADD" || type == "TLOC_DEL") {
                s += " " + m["tloc"].str();
                if (type == "TLOC_ADD") {
                    s += " index=" + std::to_string(m["index"].u64());
                    if (m["attr"].has("pref")) {
                        s += " pref=" + std::to_string(m["attr"]["pref"].u64());
                    }
                }
            } else if (m.has("ip")) {
                s += " " + m["ip"].str();
            }
            out.push_back(s);
        }
        return out;
    }

    // Waits until the peer printed a line that contains every piece of
    // text; zord's and the peer's pipes are read meanwhile.
    bool wait_for(const Strings &pieces, std::chrono::milliseconds limit = 30s)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string &line : zt::split_lines(proc_->out())) {
                if (std::all_of(pieces.begin(), pieces.end(),
                                [&](const std::string &p) { return line.find(p) != std::string::npos; })) {
                    return true;
                }
            }
            proc_->poll_output(10);
            zord_.proc().poll_output(0);
            if (proc_->wait_exit(0ms)) {
                return false;
            }
        }
        return false;
    }

    bool wait_lines(size_t n, std::chrono::milliseconds limit = 30s)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::count(proc_->out().begin(), proc_->out().end(), '\n') < static_cast<long>(n)) {
            if (std::chrono::steady_clock::now() > deadline || proc_->wait_exit(0ms)) {
                return false;
            }
            proc_->poll_output(10);
            zord_.proc().poll_output(0);
        }
        return true;
    }

    // Ends the script; the peer exits once nothing arrived for its idle
    // time, so whatever zord still had to send is in out() afterwards.
    void finish()
    {
        proc_->close_stdin();
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!proc_->wait_exit(10ms) && std::chrono::steady_clock::now() < deadline) {
            zord_.proc().poll_output(0);
        }
        EXPECT_TRUE(proc_->result().exited);
        EXPECT_EQ(proc_->result().exit_code, 0) << proc_->err();
    }

private:
    Zord &zord_;
    std::unique_ptr<zt::Process> proc_;
};

const char *T1 = "10.0.0.1:biz-internet:ipsec";
const char *T2 = "10.0.0.1:lte:ipsec";
const char *T3 = "10.0.0.2:biz-internet:ipsec";

// A summary without the repeats of a device entry: the path timer's sweep
// refreshes the device of every TLOC that changed since its last tick, so an
// unchanged device may come again whenever the sweep runs.
Strings without_device_repeats(const Strings &summary)
{
    Strings out;
    for (const std::string &s : summary) {
        if (s.rfind("DATA_DEVICE_ADD", 0) == 0 && std::find(out.begin(), out.end(), s) != out.end()) {
            continue;
        }
        out.push_back(s);
    }
    return out;
}

std::string tloc_line(const char *tloc, const std::string &keys = "")
{
    return std::string("tloc-add ") + tloc + (keys.empty() ? "" : " " + keys) + "\n";
}

TEST(Distribution, ARegisteringClientGetsEveryEntryInChangeOrderThenOnlyChanges)
{
    Zord zord;
    Peer observer(zord, "ctlagent_1");
    observer.send("register TLOC-IPV4\n");
    Peer owner(zord, "advd");
    owner.send(tloc_line(T1, "pref=1") + tloc_line(T2, "pref=1") + tloc_line(T3, "pref=1") + tloc_line(T1, "pref=5"));
    // The owner's messages are handled in order: once the last one reached a
    // client, zord holds all of them.
    ASSERT_TRUE(observer.wait_for({T1, "\"pref\":5"})) << observer.proc().err();

    Peer client(zord, "ctlagent");
    client.send("register TLOC-IPV4\n");
    ASSERT_TRUE(client.wait_lines(3));
    owner.send(tloc_line(T2, "pref=7"));
    ASSERT_TRUE(client.wait_lines(4));
    owner.send(std::string("tloc-del ") + T1 + "\n");
    ASSERT_TRUE(client.wait_lines(5));
    client.finish();
    EXPECT_EQ(client.summary(), (Strings{
                                    std::string("TLOC_ADD ") + T2 + " index=32771 pref=1",
                                    std::string("TLOC_ADD ") + T3 + " index=32772 pref=1",
                                    std::string("TLOC_ADD ") + T1 + " index=32770 pref=5",
                                    std::string("TLOC_ADD ") + T2 + " index=32771 pref=7",
                                    std::string("TLOC_DEL ") + T1,
                                }));
    owner.finish();
    observer.finish();
    zord.stop_cleanly();
}

TEST(Distribution, AnnounceZeroIsIgnoredAndAClientGetsItsOwnEntries)
{
    Zord zord;
    Peer owner(zord, "advd");
    owner.send("register TLOC-IPV4\n" + tloc_line(T1));
    ASSERT_TRUE(owner.wait_for({"TLOC_ADD", T1})) << "a client also receives the entries it owns";

    Peer client(zord, "xfwd");
    // announce=0 is ignored whatever originate says; the DATA-DEVICE
    // registration after it on the same connection shows when zord has
    // handled both.
    client.send("register TLOC-IPV4 announce=0 originate=1\nregister DATA-DEVICE-IPV4\n");
    ASSERT_TRUE(client.wait_for({"DATA_DEVICE_ADD", "10.0.0.1"}));
    client.send("wait-idle 500\nregister TLOC-IPV4\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", T1}));
    client.finish();
    EXPECT_EQ(without_device_repeats(client.summary()),
              (Strings{"DATA_DEVICE_ADD 10.0.0.1", std::string("TLOC_ADD ") + T1 + " index=32770"}));
    owner.finish();
    EXPECT_EQ(owner.summary(), (Strings{std::string("TLOC_ADD ") + T1 + " index=32770"}));
    zord.stop_cleanly();
}

// The codec bytes of a TLOC add or delete from advd, framed for the wire,
// as hex for a raw-stream line.
std::string framed_hex(uint32_t type, uint32_t device, uint8_t color)
{
    zor_msg_t m{};
    m.type = type;
    m.sender = 1;
    m.family = 0;
    m.body.tloc.key.addr = ip_addr_v4(device);
    m.body.tloc.key.color = color;
    m.body.tloc.key.encap = 2;
    m.body.tloc.origin = ZOR_MSG_ORIGIN_REMOTE;
    m.body.tloc.attr.carrier = 1;
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    EXPECT_EQ(zor_msg_encode(&m, buf, &len), 0);
    msgq_hdr_t hdr{MAGIC1, static_cast<uint16_t>(len + sizeof(msgq_hdr_t)), 1, 2, MSGQ_MSG_TYPE_DATA, MAGIC2};
    std::string bytes(reinterpret_cast<char *>(&hdr), sizeof(hdr));
    bytes.append(reinterpret_cast<char *>(buf), len);
    std::string hex;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof(two), "%02x", c);
        hex += two;
    }
    return hex;
}

TEST(Distribution, AnEntryAddedAndWithdrawnBeforeTheWalkIsNeverSent)
{
    Zord zord;
    Peer client(zord, "ctlagent");
    client.send("register TLOC-IPV4\n" + tloc_line(T3));
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", T3}));
    // One write holding add X, delete X, add Y: zord reads all three before
    // its walk runs, so X is gone before any client could be sent it.
    Peer owner(zord, "advd");
    owner.send("raw-stream " + framed_hex(ZOR_MSG_TLOC_ADD, 0x0A000009, 4) + framed_hex(ZOR_MSG_TLOC_DEL, 0x0A000009, 4) +
               framed_hex(ZOR_MSG_TLOC_ADD, 0x0A00000A, 4) + "\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", "10.0.0.10:biz-internet:ipsec"}));
    client.finish();
    EXPECT_EQ(client.summary(), (Strings{std::string("TLOC_ADD ") + T3 + " index=32770",
                                         "TLOC_ADD 10.0.0.10:biz-internet:ipsec index=32772"}))
        << "10.0.0.9 took index 32771 and was never sent";
    owner.finish();
    zord.stop_cleanly();
}

TEST(Distribution, ALostConnectionWithdrawsTheOwnersEntries)
{
    Zord zord;
    Peer client(zord, "ctlagent");
    client.send("register TLOC-IPV4\n");
    Peer advd(zord, "advd");
    advd.send(tloc_line(T1) + tloc_line(T2));
    Peer xfwd(zord, "xfwd");
    xfwd.send(tloc_line(T3));
    ASSERT_TRUE(client.wait_lines(3));

    // A disconnect line: the owner's two TLOCs go, xfwd's stays.
    advd.send("disconnect\n");
    ASSERT_TRUE(client.wait_lines(5));
    Strings got = client.summary();
    Strings dels(got.begin() + 3, got.end());
    std::sort(dels.begin(), dels.end());
    EXPECT_EQ(dels, (Strings{std::string("TLOC_DEL ") + T1, std::string("TLOC_DEL ") + T2}));

    // A killed owner: the same.
    xfwd.proc().signal(SIGKILL);
    ASSERT_TRUE(client.wait_for({"TLOC_DEL", T3}));

    // Back again: the reconnected owner announces anew.
    advd.send("reconnect\n" + tloc_line(T1, "pref=9"));
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", T1, "\"pref\":9"}));
    client.finish();
    got = client.summary();
    ASSERT_EQ(got.size(), 7u) << ::testing::PrintToString(got);
    EXPECT_EQ(got[5], std::string("TLOC_DEL ") + T3);
    EXPECT_EQ(got[6], std::string("TLOC_ADD ") + T1 + " index=32773 pref=9");
    advd.finish();
    zord.stop_cleanly();
}

TEST(Distribution, AnUnregisteredFamilyKeepsItsSentBits)
{
    Zord zord;
    Peer owner(zord, "advd");
    owner.send(tloc_line(T1));
    Peer client(zord, "ctlagent");
    client.send("register TLOC-IPV4\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", T1}));
    // The data-device registration after the unregister shows when zord has
    // handled the unregister.
    client.send("unregister TLOC-IPV4\nregister DATA-DEVICE-IPV4\n");
    ASSERT_TRUE(client.wait_for({"DATA_DEVICE_ADD", "10.0.0.1"}));
    owner.send(std::string("tloc-del ") + T1 + "\n" + tloc_line(T3));
    // The second device's data-device entry shows when zord has handled both.
    ASSERT_TRUE(client.wait_for({"DATA_DEVICE_ADD", "10.0.0.2"}));
    auto tloc_lines = [&] {
        Strings tlocs;
        for (const std::string &s : client.summary()) {
            if (s.rfind("TLOC", 0) == 0) {
                tlocs.push_back(s);
            }
        }
        return tlocs;
    };
    EXPECT_EQ(tloc_lines(), (Strings{std::string("TLOC_ADD ") + T1 + " index=32770"}))
        << "no marker, no walk: the deletion waits";
    client.send("register TLOC-IPV4\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD", T3}));
    client.finish();
    EXPECT_EQ(tloc_lines(), (Strings{std::string("TLOC_ADD ") + T1 + " index=32770", std::string("TLOC_DEL ") + T1,
                                     std::string("TLOC_ADD ") + T3 + " index=32771"}))
        << "the client still held T1, so it is sent its deletion once it registers again";
    owner.finish();
    zord.stop_cleanly();
}

TEST(Distribution, DataDeviceMessagesAndGarbageFromAClientAreDropped)
{
    Zord zord;
    Peer client(zord, "ctlagent");
    client.send("register DATA-DEVICE-IPV4\n");
    Peer rogue(zord, "policyd");
    rogue.send("data-device-add 10.9.9.9 status=up\n"
               "data-device-del 10.9.9.9\n"
               "data-device-add 10.9.9.8 family=DATA-DEVICE-IPV4 sender=zord\n"
               "register 12\n"
               "tloc-add 10.9.9.7:lte:gre family=15\n"
               "raw 00\n"
               "raw 01ffff\n"
               "tloc-add 10.9.9.6:lte:gre carrier=0\n"
               "tloc-add 10.9.9.6:lte:gre carrier=10\n"
               "tloc-add 10.9.9.6:lte:gre weight=256\n"
               "tloc-add 10.9.9.6:0:gre\n"
               "tloc-add 10.9.9.6:23:gre\n"
               "tloc-add 10.8.8.8:lte:gre carrier=9 weight=255\n");
    ASSERT_TRUE(client.wait_for({"DATA_DEVICE_ADD", "10.8.8.8"}));
    client.finish();
    EXPECT_EQ(without_device_repeats(client.summary()), (Strings{"DATA_DEVICE_ADD 10.8.8.8"}))
        << "types 11 and 12 from a client and every rejected add leave no entry";
    rogue.finish();
    zord.stop_cleanly();
}

}  // namespace
