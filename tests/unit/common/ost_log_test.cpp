// The log's rate limit and its foreground mirror, seen on stderr in a child:
// a flood from one site for one peer is held back and summarised with its
// count, other peers and other sites are not, and every mirrored line
// carries its time.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "ost_log.h"
#include "test_support.h"

namespace {

void flood(uint64_t peer, int n)
{
    ost_log_peer_scope scope(peer);
    for (int i = 0; i < n; i++) {
        OST_LOGF(LOG_DEBUG, "No free index for peer %llu, try %d", static_cast<unsigned long long>(peer), i);
    }
}

TEST(OstLog, FloodIsSummarisedPerPeerAndSite)
{
    constexpr int k_flood = 500;
    zt::ChildResult r = zt::run_in_child([] {
        ost_log_open("ost-log-test", 0, LOG_LOCAL7, true);
        int seen = 0;
        ost_log_set_hook([](int, const char *, void *arg) { ++*static_cast<int *>(arg); }, &seen);
        flood(1, k_flood);
        flood(2, 1);
        OST_LOGF(LOG_DEBUG, "another site");
        ost_log_close();
        fprintf(stderr, "hook saw %d\n", seen);
    });
    ASSERT_TRUE(r.exited && r.exit_code == 0) << r.err;

    const std::regex stamped("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z (.*)");
    const std::regex summary("suppressed ([0-9]+) lines like: (.*)");
    const std::regex flood_line("flood\\[[0-9]+\\]: No free index for peer ([12]), try [0-9]+");
    int written[3] = {};
    int held[3] = {};
    int other = 0;
    std::smatch m;
    std::smatch f;
    for (const std::string &line : zt::split_lines(r.err)) {
        if (line.rfind("hook saw ", 0) == 0) {
            EXPECT_EQ(line, "hook saw " + std::to_string(k_flood + 2)) << "the hook sees every line";
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << line;
        const std::string text = m[1];
        if (std::regex_match(text, m, summary)) {
            const std::string like = m[2];
            ASSERT_TRUE(std::regex_match(like, f, flood_line)) << line;
            held[std::stoi(f[1])] += std::stoi(m[1]);
        } else if (std::regex_match(text, f, flood_line)) {
            written[std::stoi(f[1])]++;
        } else {
            EXPECT_NE(text.find("]: another site"), std::string::npos) << line;
            other++;
        }
    }
    EXPECT_EQ(written[1] + held[1], k_flood) << "every line written or counted";
    EXPECT_GE(written[1], OST_LOG_BURST);
    EXPECT_LT(written[1], k_flood / 2);
    EXPECT_EQ(written[2], 1) << "a quiet peer is not silenced by a loud one";
    EXPECT_EQ(held[2], 0);
    EXPECT_EQ(other, 1);
}

}  // namespace
