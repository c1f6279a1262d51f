// zorctl's tables and readable forms, from JSON that libyang prints for data
// built on the repository's modules (as the agent does) and parsed back as
// zorctl parses the agent's replies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "zorctl_print.h"
#include "zorctl_yang.h"

namespace {

class ZorctlPrint : public ::testing::Test {
protected:
    void SetUp() override { zc_load_repo_schema(schema_); }

    // Adds path = value (nullptr for a list instance or container) to the tree.
    void add(const std::string &path, const char *value = nullptr)
    {
        lyd_node *tree = tree_.release();
        lyd_node *node = nullptr;
        const LY_ERR r = lyd_new_path(tree, schema_.ctx(), path.c_str(), value, LYD_NEW_PATH_UPDATE, &node);
        if (tree == nullptr) {
            tree = node;
            while (tree != nullptr && tree->parent != nullptr) {
                tree = lyd_parent(tree);
            }
        }
        tree_.reset(tree != nullptr ? lyd_first_sibling(tree) : nullptr);
        ASSERT_EQ(r, LY_SUCCESS) << path << ": " << ly_errmsg(schema_.ctx());
    }

    // The tree as the agent would send it, parsed back as zorctl does.
    zc_tree reparsed()
    {
        char *json = nullptr;
        EXPECT_EQ(lyd_print_mem(&json, tree_.get(), LYD_JSON, LYD_PRINT_WITHSIBLINGS), LY_SUCCESS);
        std::string text = json != nullptr ? json : "{}";
        free(json);
        zc_tree back;
        std::string err;
        EXPECT_TRUE(schema_.parse(text, back, err)) << err << "\n" << text;
        return back;
    }

    zc_schema schema_;
    zc_tree tree_;
};

constexpr const char *k_tloc1 = "/zor:tlocs/tloc[system-ip='10.0.0.2'][color='biz-internet'][encapsulation='ipsec']";
constexpr const char *k_tloc2 = "/zor:tlocs/tloc[system-ip='10.1.0.17'][color='lte'][encapsulation='gre']";

TEST_F(ZorctlPrint, TlocPathAndLinkTables)
{
    add(k_tloc1);
    add(k_tloc2);
    const std::string p1 = std::string(k_tloc1) + "/path[path-index='1']";
    const std::string p2 = std::string(k_tloc1) + "/path[path-index='2']";
    add(p1 + "/preference", "100");
    add(p1 + "/mtu", "1500");
    add(p1 + "/best", "best");
    add(p1 + "/status", "up");
    add(p1 + "/stale", "false");
    add(p2 + "/preference", "0");
    add(p2 + "/mtu", "1400");
    add(p2 + "/best", "not-best");
    add(p2 + "/status", "down");
    add(p2 + "/stale", "true");
    const std::string l1 = p1 + "/link[link-index='1']";
    add(l1 + "/local-tloc/system-ip", "10.9.0.1");
    add(l1 + "/local-tloc/color", "blue");
    add(l1 + "/local-tloc/encapsulation", "ipsec");
    add(l1 + "/remote-tloc/system-ip", "10.0.0.2");
    add(l1 + "/remote-tloc/color", "biz-internet");
    add(l1 + "/remote-tloc/encapsulation", "ipsec");
    add(l1 + "/label", "32770");
    // A link the daemon gave no remote end nor label shows dashes.
    const std::string l2 = p1 + "/link[link-index='12']";
    add(l2 + "/local-tloc/system-ip", "10.9.0.1");
    add(l2 + "/local-tloc/color", "public-internet");
    add(l2 + "/local-tloc/encapsulation", "gre");
    const zc_tree t = reparsed();

    EXPECT_EQ(zc_tlocs_table(t.get()),
              "System IP  Colour        Encap\n"
              "---------  ------------  -----\n"
              "10.0.0.2   biz-internet  ipsec\n"
              "10.1.0.17  lte           gre\n");
    EXPECT_EQ(zc_paths_table(t.get()),
              "Index  Preference  MTU   Best      Status  Stale\n"
              "-----  ----------  ----  --------  ------  -----\n"
              "1      100         1500  best      up      false\n"
              "2      0           1400  not-best  down    true\n");
    EXPECT_EQ(zc_links_table(t.get()),
              "Index  Local TLOC                    Remote TLOC                  Label\n"
              "-----  ----------------------------  ---------------------------  -----\n"
              "1      10.9.0.1:blue:ipsec           10.0.0.2:biz-internet:ipsec  32770\n"
              "12     10.9.0.1:public-internet:gre  -                            -\n");
}

TEST_F(ZorctlPrint, TenantTlocsEmptyRepliesAndForeignData)
{
    add("/zor-tenant:tenants/tenant[tenant-id='7']/tlocs/tloc[system-ip='2001:db8::1'][color='gold']"
        "[encapsulation='ipsec']");
    const zc_tree t = reparsed();
    EXPECT_EQ(zc_tlocs_table(t.get()),
              "System IP    Colour  Encap\n"
              "-----------  ------  -----\n"
              "2001:db8::1  gold    ipsec\n");

    zc_tree empty;
    std::string err;
    ASSERT_TRUE(schema_.parse("{}", empty, err)) << err;
    EXPECT_EQ(zc_paths_table(empty.get()),
              "Index  Preference  MTU  Best  Status  Stale\n"
              "-----  ----------  ---  ----  ------  -----\n");
    EXPECT_EQ(zc_tree_text(empty.get()), "");

    // Data the modules do not describe, or values their types refuse, are
    // refused with libyang's reason rather than shown half.
    zc_tree bad;
    EXPECT_FALSE(schema_.parse(R"({"zor:tlocs":{"tunnel":[]}})", bad, err));
    EXPECT_NE(err.find("tunnel"), std::string::npos) << err;
    EXPECT_FALSE(schema_.parse(R"({"system:system":{"personality":"boss"}})", bad, err));
    EXPECT_NE(err.find("boss"), std::string::npos) << err;
    EXPECT_FALSE(schema_.parse(R"({"system:system":{"personality":"brink")", bad, err));
    EXPECT_EQ(bad, nullptr);
}

TEST_F(ZorctlPrint, ConfigurationAsIndentedLines)
{
    add("/system:system/personality", "solon");
    add("/system:system/system-ip", "10.0.0.1");
    add("/security:security/pairwise-keys", "true");
    const std::string g = "/snmp:snmp/trap/group[name='core routers']/enable[trap-type='all']";
    add(g + "/level", "critical");
    add(g + "/level", "major");
    add("/snmp:snmp/trap/group[name='core routers']/enable[trap-type='bfd']");
    const zc_tree t = reparsed();
    const std::string text = zc_tree_text(t.get());
    // Modules come in the order the tree has them; each module's lines as a block.
    for (const char *block : {"system\n"
                              "  personality solon\n"
                              "  system-ip 10.0.0.1\n",
                              "security\n"
                              "  pairwise-keys true\n",
                              "snmp\n"
                              "  trap\n"
                              "    group \"core routers\"\n"
                              "      enable all\n"
                              "        level critical\n"
                              "        level major\n"
                              "      enable bfd\n"}) {
        EXPECT_NE(text.find(block), std::string::npos) << "missing:\n" << block << "in:\n" << text;
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12) << text;
}

TEST(ZorctlJsonText, StatusAndResultsReadAsIndentedLines)
{
    std::string out;
    ASSERT_TRUE(zc_json_text(R"({"phase":2,"port":4565,"daemons":[{"name":"zord","id":1,
        "callpoints":["zor-show-tlocs","zor-show-paths"],"streams":[]},{"name":"xfwd","id":2}],
        "locks":{"operational":{"holder":"zord session 3"}},"note":"a \"b\""})",
                             out));
    EXPECT_EQ(out,
              "phase 2\n"
              "port 4565\n"
              "daemons\n"
              "  - name zord\n"
              "    id 1\n"
              "    callpoints zor-show-tlocs zor-show-paths\n"
              "    streams\n"
              "  - name xfwd\n"
              "    id 2\n"
              "locks\n"
              "  operational\n"
              "    holder \"zord session 3\"\n"
              "note \"a \\\"b\\\"\"\n");
    ASSERT_TRUE(zc_json_text(R"({"mixed":[1,[2,3],{"a":"x"}]})", out));
    EXPECT_EQ(out,
              "mixed\n"
              "  - 1\n"
              "  - 2 3\n"
              "  - a x\n");
    EXPECT_FALSE(zc_json_text("{\"phase\":", out));
}

}  // namespace
