#include "zor_peer_fixture.h"

#include "zor_client.h"
#include "zor_daemon.h"

namespace zt {

void PeerFixture::SetUp()
{
    ASSERT_EQ(env.init_rc(), 0);
}

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

FakePeer *PeerFixture::connect(uint32_t id)
{
    FakePeer *p = env.connect(id);
    EXPECT_NE(p, nullptr) << "peer " << id << " did not come up";
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

}  // namespace zt
