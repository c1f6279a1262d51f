// zord's configuration callbacks with the tag-value arrays a subscription
// delivers, the dump commands as the agent calls them through the action
// table, and the debug actions without a daemon record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "oconfd.h"
#include "ost_util.h"
#include "zor_client.h"
#include "zor_confd.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"

namespace {

// One modified leaf: a tag and a value of the given type.
confd_tag_value_t tv(uint32_t tag, confd_vtype type, int32_t x = 0)
{
    confd_tag_value_t out{};
    out.tag.tag = tag;
    out.v.type = type;
    if (type == C_BOOL) {
        out.v.val.boolean = x;
    } else {
        out.v.val.enumvalue = x;  // C_ENUM_VALUE, and the bits of a C_UINT32
    }
    return out;
}

// The integration context and daemon handle through which every callback
// finds the daemon record.
class ZorConfd : public zt::PeerFixture {
protected:
    void SetUp() override
    {
        zt::PeerFixture::SetUp();
        octx.module.opaque = env.daemon();
        dx.d_opaque = &octx;
        entry.ctx = &octx;
        cli.uinfo()->actx.dx = &dx;
    }
    int system(std::vector<confd_tag_value_t> values)
    {
        return zor_config_system(&entry, MOP_MODIFIED, 0, nullptr, static_cast<int>(values.size()), values.data());
    }
    int security(std::vector<confd_tag_value_t> values)
    {
        return zor_config_security(&entry, MOP_MODIFIED, 0, nullptr, static_cast<int>(values.size()),
                                   values.data());
    }
    // A command of the action table by name, as the agent runs it.
    std::string command(const std::string &name, std::vector<std::string> args = {})
    {
        for (confd_action_cbs *a = g_zor_action_table; a->actionpoint[0] != '\0'; a++) {
            if (name != a->actionpoint) {
                continue;
            }
            if (a->command == nullptr) {
                ADD_FAILURE() << name << " is not a command";
                return "";
            }
            args.insert(args.begin(), name);
            std::vector<char *> argv;
            for (std::string &s : args) {
                argv.push_back(s.data());
            }
            cli.clear();
            EXPECT_EQ(a->command(cli.uinfo(), const_cast<char *>("/"), static_cast<int>(argv.size()), argv.data()),
                      CONFD_OK);
            return cli.text();
        }
        ADD_FAILURE() << "no command " << name;
        return "";
    }
    std::string personality_line() { return zt::split_lines(command("zor_dump_all")).at(0); }

    oconfd_ctx octx{};
    confd_daemon_ctx dx{};
    oconfd_sub_entry entry{};
    maapi_cli_capture cli{41, 42};
};

TEST_F(ZorConfd, PersonalityFromTheSystemSubscription)
{
    const uint32_t personality = k_zor_tag_personality;
    const std::vector<std::pair<int32_t, std::string>> cases = {
        {1, "Brink"}, {2, "Solon"}, {3, "Steward"}, {4, "Unknown"}, {0x101, "Brink"}};
    for (const auto &[value, name] : cases) {
        EXPECT_EQ(system({tv(personality, C_ENUM_VALUE, value)}), 0);
        EXPECT_EQ(personality_line(), "Personality: " + name) << value;
    }
    EXPECT_EQ(system({tv(personality, C_ENUM_VALUE, 2)}), 0);
    EXPECT_EQ(env.daemon()->personality, 3u);

    // A deleted personality is no personality.
    EXPECT_EQ(system({tv(personality, C_NOEXISTS)}), 0);
    EXPECT_EQ(env.daemon()->personality, 0u);
    EXPECT_EQ(personality_line(), "Personality: Unknown");

    // Other leaves of the container are only logged, and only while
    // debugging; the personality among them still counts.
    const uint32_t system_ip = 0x5e5f3f28;
    EXPECT_EQ(system({tv(system_ip, C_UINT32, 1), tv(personality, C_ENUM_VALUE, 3)}), 0);
    EXPECT_EQ(env.daemon()->personality, 5u);
    EXPECT_EQ(logged("zor_config_system"), std::vector<std::string>{});
    g_zor_debug = 1;
    EXPECT_EQ(system({tv(system_ip, C_UINT32, 1)}), 0);
    EXPECT_EQ(logged("zor_config_system"), std::vector<std::string>{"Unhandled operation " +
                                                                    std::to_string(static_cast<int>(system_ip))});
    EXPECT_EQ(env.daemon()->personality, 5u);

    // A leaf of another type than the schema's is a programming error.
    EXPECT_TRUE(zt::stops_on_assertion([&] { system({tv(personality, C_UINT32, 1)}); }, "zord/zor_confd:78",
                                       "(&cur_val_p->v)->type == C_ENUM_VALUE"));
}

TEST_F(ZorConfd, PairwiseKeysFromTheSecuritySubscription)
{
    const uint32_t pwk = k_zor_tag_pairwise_keys;
    EXPECT_EQ(security({tv(pwk, C_BOOL, true)}), 0);
    EXPECT_EQ(g_zor_pwk_enabled, 1u);
    EXPECT_EQ(security({tv(pwk, C_BOOL, false)}), 0);
    EXPECT_EQ(g_zor_pwk_enabled, 0u);
    EXPECT_EQ(security({tv(pwk, C_BOOL, true)}), 0);
    EXPECT_EQ(security({tv(pwk, C_NOEXISTS)}), 0);
    EXPECT_EQ(g_zor_pwk_enabled, 0u);
    // Other leaves are ignored, whatever their type.
    EXPECT_EQ(security({tv(pwk + 1, C_BOOL, true), tv(pwk + 2, C_UINT32, 1)}), 0);
    EXPECT_EQ(g_zor_pwk_enabled, 0u);
    EXPECT_TRUE(zt::stops_on_assertion([&] { security({tv(pwk, C_UINT32, 1)}); }, "zord/zor_confd:119",
                                       "(&cur_val_p->v)->type == C_BOOL"));
}

TEST_F(ZorConfd, CommandsThroughTheActionTable)
{
    zt::FakePeer *ctlagent = connect(OST_MODULE_CTLAGENT, {ZOR_AF_TLOC_IPV4});
    ASSERT_NE(ctlagent, nullptr);
    zt::TlocSpec border;
    border.groups = {1};
    border.border = true;
    send(ctlagent, {zt::tloc_msg(zt::tloc_key("10.0.0.1", 4, OST_ENCAP_IPSEC), 1, border)});
    ASSERT_EQ(ctx()->local_border_count, 1);
    EXPECT_EQ(system({tv(k_zor_tag_personality, C_ENUM_VALUE, 3)}), 0);

    // zor_dump_all: personality and border count, then the admin-tech dumps.
    const std::string tech = command("zor_admin_tech");
    EXPECT_NE(tech.find("ZOR Database"), std::string::npos);
    EXPECT_NE(tech.find("DUMPING CLIENTS"), std::string::npos);
    EXPECT_NE(tech.find("Src: zord, Tgt: ctlagent"), std::string::npos) << tech;
    EXPECT_EQ(command("zor_dump_all"), "Personality: Steward\nLocal Border Count: 1\n" + tech);

    // Every other command reaches its own dump.
    const std::vector<std::pair<std::string, std::string>> heads = {
        {"zor_dump_db", "ZOR Database"},
        {"zor_dump_clients", "DUMPING CLIENTS"},
        {"zor_dump_group", "ZOR Group Database"},
        {"zor_dump_local_tloc", "ZOR Local TLOC Database"},
        {"zor_dump_msgq", "Src: zord, Tgt: ctlagent"},
        {"zor_dump_cli_memory_info", "MEMORY STATISTICS"},
        {"zor_dump_tlocs", "10.0.0.1"},
        {"zor_dump_links", "Link not found"},
    };
    for (const auto &[name, head] : heads) {
        std::vector<std::string> args;
        if (name == "zor_dump_tlocs") {
            args = {"--tlocip=10.0.0.1:biz-internet:ipsec"};
        } else if (name == "zor_dump_links") {
            args = {"--localtlocip=10.0.0.1:biz-internet:ipsec", "--remotetlocip=10.0.0.2:biz-internet:ipsec"};
        }
        const std::string out = command(name, args);
        EXPECT_NE(out.find(head), std::string::npos) << name << ":\n" << out;
    }
    EXPECT_EQ(command("zor_dump_group").find("ZOR Database"), std::string::npos);
    EXPECT_EQ(command("zor_dump_tracker"), "");

    // The two actions are actions, not commands; without a daemon record
    // they refuse and leave the switches alone.
    int actions = 0;
    for (confd_action_cbs *a = g_zor_action_table; a->actionpoint[0] != '\0'; a++) {
        if (a->action == nullptr) {
            continue;
        }
        actions++;
        EXPECT_EQ(a->command, nullptr);
        octx.module.opaque = nullptr;
        g_zor_debug = 7;
        EXPECT_EQ(a->action(cli.uinfo(), nullptr, nullptr, nullptr, 0), CONFD_ERR) << a->actionpoint;
        EXPECT_EQ(g_zor_debug, 7u);
        cli.uinfo()->actx.dx = nullptr;
        EXPECT_EQ(a->action(cli.uinfo(), nullptr, nullptr, nullptr, 0), CONFD_ERR) << a->actionpoint;
        cli.uinfo()->actx.dx = &dx;
    }
    EXPECT_EQ(actions, 2);
    EXPECT_EQ(command("zor_dump_all"), "ZOR daemon not UP\n");

    // A tenant instance registers its points under its tenant id, beside
    // the main instance's on the one agent.
    EXPECT_EQ(zor_confd_action_table(env.daemon()), g_zor_action_table);
    snprintf(env.daemon()->tenant_name, sizeof(env.daemon()->tenant_name), "blue");
    env.daemon()->tenant_id = 7;
    const confd_action_cbs *tenant = zor_confd_action_table(env.daemon());
    size_t i = 0;
    for (; g_zor_action_table[i].actionpoint[0] != '\0'; i++) {
        EXPECT_EQ(tenant[i].actionpoint, std::string(g_zor_action_table[i].actionpoint) + "-tenant7");
        EXPECT_TRUE(tenant[i].command == g_zor_action_table[i].command && tenant[i].action == g_zor_action_table[i].action);
    }
    EXPECT_EQ(i, 13u);
    EXPECT_EQ(tenant[i].actionpoint[0], '\0');
}

}  // namespace
