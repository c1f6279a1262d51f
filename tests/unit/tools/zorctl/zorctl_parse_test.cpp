// zorctl's command words into the agent's requests, checked on the frames
// themselves; operator paths resolved against the repository's YANG
// modules; and what TAB completes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "confd_wire.h"
#include "zorctl_cmd.h"
#include "zorctl_complete.h"
#include "zorctl_yang.h"

namespace {

using words_t = std::vector<std::string>;

// Words as the shell hands them over (quotes kept, as a shell's single quotes would).
words_t split(const std::string &line)
{
    return zc_split_line(line);
}

struct parse_result {
    bool ok = false;
    zc_parsed parsed;
    zc_error err;
    bool schema_asked = false;
};

parse_result parse(const std::string &line, const zc_schema *schema, bool interactive = false, bool config = false)
{
    parse_result r;
    const words_t w = split(line);
    zc_schema_fn fn = [&](zc_error &err) -> const zc_schema * {
        r.schema_asked = true;
        if (schema == nullptr) {
            err = zc_fail(ZC_EXIT_UNREACHABLE, "cannot reach the agent");
        }
        return schema;
    };
    r.ok = zc_parse_command(w, interactive, config, fn, r.parsed, r.err);
    return r;
}

// The fields of a request's frame, read back as the agent reads them.
std::vector<std::string> frame_fields(const zc_request &req)
{
    const std::string frame = req.frame(7);
    mgmt_wire::reader rd(std::string_view(frame).substr(4));
    EXPECT_EQ(rd.op(), req.op);
    EXPECT_EQ(rd.xid(), 7u);
    std::vector<std::string> out;
    while (rd.ok() && !rd.at_end()) {
        int64_t n = 0;
        uint32_t count = 0;
        std::string s;
        if (rd.peek() == mgmt_wire::kind::i64 && rd.i64(n)) {
            out.push_back(std::to_string(n));
        } else if (rd.peek() == mgmt_wire::kind::bytes && rd.str(s)) {
            out.push_back(s);
        } else if (rd.peek() == mgmt_wire::kind::list && rd.list(count)) {
            out.push_back("[" + std::to_string(count) + "]");
        } else {
            ADD_FAILURE() << "unexpected item in the frame";
            break;
        }
    }
    EXPECT_TRUE(rd.at_end());
    return out;
}

TEST(ZorctlCommands, WordsBecomeTheAgentsRequests)
{
    struct tcase {
        std::string line;
        mgmt_op op;
        zc_view view;
        std::vector<std::string> fields;
    };
    const std::vector<tcase> cases = {
        {"show tlocs", MGMT_OP_CLI_GET_OPER, zc_view::tlocs, {"/tlocs/tloc", "1"}},
        {"show tlocs --tenant 7", MGMT_OP_CLI_GET_OPER, zc_view::tlocs, {"/tenants/tenant{7}/tlocs/tloc", "1"}},
        {"show tloc 10.0.0.2 biz-internet ipsec paths", MGMT_OP_CLI_GET_OPER, zc_view::paths,
         {"/tlocs/tloc{10.0.0.2 biz-internet ipsec}/path", "1"}},
        {"show tloc 10.0.0.2 blue gre path 3 links --tenant=2", MGMT_OP_CLI_GET_OPER, zc_view::links,
         {"/tenants/tenant{2}/tlocs/tloc{10.0.0.2 blue gre}/path{3}/link", "1"}},
        {"show zor groups", MGMT_OP_CLI_COMMAND, zc_view::output, {"zor_dump_group", "[1]", "zor_dump_group"}},
        {"show zor memory --detail", MGMT_OP_CLI_COMMAND, zc_view::output,
         {"zor_dump_cli_memory_info", "[2]", "zor_dump_cli_memory_info", "--detail"}},
        {"show zor local-tlocs", MGMT_OP_CLI_COMMAND, zc_view::output,
         {"zor_dump_local_tloc", "[1]", "zor_dump_local_tloc"}},
        {"show support zor tlocs --tlocip=10.0.0.1:blue:gre", MGMT_OP_CLI_COMMAND, zc_view::output,
         {"zor_dump_tlocs", "[2]", "zor_dump_tlocs", "--tlocip=10.0.0.1:blue:gre"}},
        {"show support zor links", MGMT_OP_CLI_COMMAND, zc_view::output, {"zor_dump_links", "[1]", "zor_dump_links"}},
        {"command sample_cmd a b", MGMT_OP_CLI_COMMAND, zc_view::output, {"sample_cmd", "[3]", "sample_cmd", "a", "b"}},
        {"debug zor events", MGMT_OP_CLI_ACTION, zc_view::results, {"zor_debug_event", "[0]"}},
        {"no debug zor events", MGMT_OP_CLI_ACTION, zc_view::results, {"zor_debug_disable_event", "[0]"}},
        {"action reset port=2 mode=a=b", MGMT_OP_CLI_ACTION, zc_view::results,
         {"reset", "[2]", "[2]", "port", "2", "[2]", "mode", "a=b"}},
        {"notifications", MGMT_OP_CLI_NOTIFS, zc_view::notifs, {"", "0"}},
        {"notifications --follow --stream snmp", MGMT_OP_CLI_NOTIFS, zc_view::notifs, {"snmp", "1"}},
        {"agent phase 1", MGMT_OP_CLI_PHASE, zc_view::none, {"1"}},
        {"agent status", MGMT_OP_CLI_STATUS, zc_view::status, {}},
        {"show running-config", MGMT_OP_CLI_GET_CONFIG, zc_view::tree, {""}},
    };
    for (const tcase &c : cases) {
        // None of these needs the schema: they work before it could be fetched.
        const parse_result r = parse(c.line, nullptr);
        ASSERT_TRUE(r.ok) << c.line << ": " << r.err.text;
        EXPECT_FALSE(r.schema_asked) << c.line;
        EXPECT_EQ(r.parsed.local, zc_local::none) << c.line;
        EXPECT_EQ(r.parsed.req.op, c.op) << c.line;
        EXPECT_EQ(r.parsed.req.view, c.view) << c.line;
        EXPECT_EQ(frame_fields(r.parsed.req), c.fields) << c.line;
    }
}

TEST(ZorctlCommands, MalformedCommandsAreUsageErrors)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"show tloc 10.0.0.2 blue", "usage: show tlocs [IP] [--tenant N] | show tloc IP COLOUR ENCAP paths [--tenant N] | "
                                    "show tloc IP COLOUR ENCAP path N links [--tenant N]"},
        {"show tloc 10.0.0.2 blue gre path x links", "a path index is a number: x"},
        {"show tlocs --tenant", "usage: show tlocs [IP] [--tenant N] | show tloc IP COLOUR ENCAP paths [--tenant N] | "
                                "show tloc IP COLOUR ENCAP path N links [--tenant N]"},
        {"show tlocs --tenant=-1", "--tenant takes a tenant number: -1"},
        {"show zor everything",
         "usage: show zor all|db|clients|groups|local-tlocs|msgq|memory|tracker|admin-tech [ARG...]"},
        {"show support zor", "usage: show support zor tlocs|links [ARG...]"},
        {"show changes", "usage: show running-config|oper|tlocs|tloc|zor|support ..."},
        {"show oper", "usage: show oper PATH"},
        {"debug zor", "usage: [no] debug zor events"},
        {"agent phase 3", "usage: agent phase 0|1|2 | agent status"},
        {"action", "usage: action NAME [LEAF=VALUE...]"},
        {"action reset =2", "an action parameter is LEAF=VALUE: =2"},
        {"command", "usage: command NAME [ARG...]"},
        {"notifications --stream", "usage: notifications [--stream NAME] [--follow]"},
        {"set", "usage: set PATH VALUE..."},
        {"config", "config is for the interactive shell"},
        {"frobnicate", "unknown command frobnicate (zorctl --help lists them)"},
    };
    for (const auto &[line, text] : cases) {
        const parse_result r = parse(line, nullptr);
        EXPECT_FALSE(r.ok) << line;
        EXPECT_EQ(r.err.code, ZC_EXIT_USAGE) << line;
        EXPECT_EQ(r.err.text, text) << line;
    }
    // The shell's own words, and where they are allowed.
    EXPECT_EQ(parse("config", nullptr, true).parsed.local, zc_local::config);
    EXPECT_EQ(parse("commit", nullptr, true, true).parsed.local, zc_local::commit);
    EXPECT_EQ(parse("show changes", nullptr, true, true).parsed.local, zc_local::show_changes);
    EXPECT_EQ(parse("commit", nullptr, true).err.text, "commit belongs to config mode");
    EXPECT_EQ(parse("config", nullptr, true, true).err.text, "config: already in config mode");
    // A path command without its schema fails as fetching the schema failed.
    const parse_result r = parse("set system personality brink", nullptr);
    EXPECT_TRUE(r.schema_asked);
    EXPECT_EQ(r.err.code, ZC_EXIT_UNREACHABLE);
}

TEST(ZorctlPaths, ResolveAgainstTheSchemaIntoAgentPaths)
{
    zc_schema schema;
    zc_load_repo_schema(schema);
    struct tcase {
        std::string line;
        std::vector<std::string> fields;
        std::vector<std::string> shown;
    };
    const std::vector<tcase> ok_cases = {
        {"set system/personality brink", {"[1]", "[3]", "1", "/system/personality", "brink"},
         {"set system/personality brink"}},
        {"set system personality steward", {"[1]", "[3]", "1", "/system/personality", "steward"},
         {"set system/personality steward"}},
        {"set sys:system/host-name r1", {"[1]", "[3]", "1", "/sys:system/host-name", "r1"},
         {"set sys:system/host-name r1"}},
        {"set snmp trap group g1 enable all level critical major",
         {"[2]", "[3]", "1", "/snmp/trap/group{g1}/enable{all}/level", "critical", "[3]", "1",
          "/snmp/trap/group{g1}/enable{all}/level", "major"},
         {"set snmp/trap/group{g1}/enable{all}/level critical", "set snmp/trap/group{g1}/enable{all}/level major"}},
        {"set snmp/trap/group{\"my g\"}/enable{bfd}/level minor",
         {"[1]", "[3]", "1", "/snmp/trap/group{\"my g\"}/enable{bfd}/level", "minor"},
         {"set snmp/trap/group{\"my g\"}/enable{bfd}/level minor"}},
        {"create snmp/trap/group{g1}/enable{bfd}", {"[1]", "[3]", "3", "/snmp/trap/group{g1}/enable{bfd}", ""},
         {"create snmp/trap/group{g1}/enable{bfd}"}},
        {"delete snmp trap group g1", {"[1]", "[3]", "2", "/snmp/trap/group{g1}", ""}, {"delete snmp/trap/group{g1}"}},
        {"delete snmp/trap/group{g1}/enable{all}/level{major}",
         {"[1]", "[3]", "2", "/snmp/trap/group{g1}/enable{all}/level{major}", ""},
         {"delete snmp/trap/group{g1}/enable{all}/level{major}"}},
        {"show running-config snmp/trap", {"/snmp/trap"}, {}},
        {"show oper tlocs/tloc{10.0.0.1 blue ipsec}/path{2}", {"/tlocs/tloc{10.0.0.1 blue ipsec}/path{2}", "0"}, {}},
        {"show oper tlocs tloc 10.0.0.1 blue ipsec", {"/tlocs/tloc{10.0.0.1 blue ipsec}", "0"}, {}},
    };
    for (const tcase &c : ok_cases) {
        const parse_result r = parse(c.line, &schema);
        ASSERT_TRUE(r.ok) << c.line << ": " << r.err.text;
        EXPECT_EQ(frame_fields(r.parsed.req), c.fields) << c.line;
        std::vector<std::string> shown;
        for (const zc_edit &e : r.parsed.req.edits) {
            shown.push_back(e.shown);
        }
        EXPECT_EQ(shown, c.shown) << c.line;
    }
    const std::vector<std::pair<std::string, std::string>> bad_cases = {
        {"set system/bogus x", "no bogus under system"},
        {"set nowhere x", "no nowhere in the schema"},
        {"set system personality", "a value for system/personality is missing"},
        {"set system personality brink solon", "system/personality takes one value"},
        {"set snmp/trap/group/enable{all}/level critical",
         "group needs its keys (name) in snmp/trap/group/enable{all}/level"},
        {"set snmp trap group g1 enable", "snmp/trap/group{g1}/enable is not a leaf: set takes a leaf and its value"},
        {"set tlocs/tloc{10.0.0.1 blue ipsec}/path{1}/mtu 1500",
         "tlocs/tloc{10.0.0.1 blue ipsec}/path{1}/mtu is not configuration"},
        {"create system/personality", "system/personality is neither a list instance nor a presence container"},
        {"create snmp/trap/group", "snmp/trap/group is neither a list instance nor a presence container"},
        {"delete system personality brink", "unexpected brink after the leaf system/personality"},
        {"delete snmp/trap/group{g1", "unbalanced braces or quotes in snmp/trap/group{g1"},
        {"delete system{x}", "system takes no keys"},
        {"set snmp/trap/group{g1}/enable{all}/level{major}",
         "set takes a leaf-list's values after its path, not in braces: snmp/trap/group{g1}/enable{all}/level{major}"},
        {"show running-config tlocs", "tlocs is not configuration"},
        {"show oper tlocs/tloc{10.0.0.1 blue}",
         "tloc needs 3 keys (system-ip color encapsulation): {10.0.0.1 blue}"},
        {"show oper tlocs tloc 10.0.0.1 blue",
         "tlocs/tloc{10.0.0.1 blue} needs 3 keys (system-ip color encapsulation)"},
        {"show oper system/personality/x", "nothing goes under the leaf system/personality: x"},
    };
    for (const auto &[line, text] : bad_cases) {
        const parse_result r = parse(line, &schema);
        EXPECT_FALSE(r.ok) << line;
        EXPECT_EQ(r.err.code, ZC_EXIT_USAGE) << line;
        EXPECT_EQ(r.err.text, text) << line;
    }
}

TEST(ZorctlComplete, CommandWordsNodeNamesAndLabels)
{
    zc_schema schema;
    zc_load_repo_schema(schema);
    using v = std::vector<std::string>;
    EXPECT_EQ(zc_complete({}, "sh", false, &schema), v{"show"});
    EXPECT_EQ(zc_complete({}, "c", false, &schema), (v{"command", "config", "create"}));
    EXPECT_EQ(zc_complete({}, "c", true, &schema), (v{"command", "commit", "create"}));
    EXPECT_EQ(zc_complete({"show"}, "", false, &schema),
              (v{"oper", "running-config", "support", "tloc", "tlocs", "zor"}));
    EXPECT_EQ(zc_complete({"show"}, "c", true, &schema), v{"changes"});
    EXPECT_EQ(zc_complete({"show", "zor"}, "m", false, &schema), (v{"memory", "msgq"}));
    EXPECT_EQ(zc_complete({"no", "debug", "zor"}, "", false, &schema), v{"events"});
    EXPECT_EQ(zc_complete({"set"}, "sy", false, &schema), v{"system"});
    EXPECT_EQ(zc_complete({"set"}, "system/p", false, &schema), v{"system/personality"});
    EXPECT_EQ(zc_complete({"set", "system"}, "", false, &schema), (v{"host-name", "personality", "system-ip"}));
    EXPECT_EQ(zc_complete({"set", "system", "personality"}, "s", false, &schema), (v{"solon", "steward"}));
    EXPECT_EQ(zc_complete({"set", "security", "pairwise-keys"}, "", false, &schema), (v{"false", "true"}));
    EXPECT_EQ(zc_complete({"set"}, "snmp/trap/group{g1}/enable{all}/l", false, &schema),
              v{"snmp/trap/group{g1}/enable{all}/level"});
    EXPECT_EQ(zc_complete({"set", "snmp", "trap", "group", "g1", "enable"}, "b", false, &schema),
              (v{"bfd", "bridge"}));
    EXPECT_EQ(zc_complete({"show", "oper", "tlocs", "tloc", "10.0.0.1"}, "bl", false, &schema), v{"blue"});
    EXPECT_EQ(zc_complete({"show", "running-config"}, "snmp/trap/gr", false, &schema), v{"snmp/trap/group"});
    EXPECT_TRUE(zc_complete({"set", "bogus"}, "", false, &schema).empty());
    EXPECT_TRUE(zc_complete({"set"}, "sy", false, nullptr).empty());
    EXPECT_EQ(zc_common_prefix({"snmp/trap", "snmp/tr", "snmp/trx"}), "snmp/tr");
    EXPECT_EQ(zc_split_line("set a \"b c\" "), (v{"set", "a", "\"b c\"", ""}));
    EXPECT_EQ(zc_split_line("show ru"), (v{"show", "ru"}));
}

}  // namespace
