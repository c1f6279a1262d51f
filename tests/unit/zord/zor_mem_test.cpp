// The memory cache: counting, peaks, and the operator's statistics dump.
#include <gtest/gtest.h>

#include <string>

#include "maapi_cli_capture.h"
#include "test_support.h"
#include "zor_daemon.h"
#include "zor_mem.h"

namespace {

uint64_t current(uint32_t type)
{
    return zor_mem_row(type)->n_alloc - zor_mem_row(type)->n_free;
}

TEST(ZorMem, CountsPeaksAndIgnoresNull)
{
    zor_mem_init();
    const zor_mem_row_t *row = zor_mem_row(ZOR_MEM_CLIENT);
    // Two live, one freed, two more: the peak is the most ever live (3), not
    // the allocations so far (4).
    void *a = zor_mem_calloc(1, 40, ZOR_MEM_CLIENT);
    void *b = zor_mem_malloc(40, ZOR_MEM_CLIENT);
    zor_mem_free(a, ZOR_MEM_CLIENT);
    void *c = zor_mem_calloc(2, 8, ZOR_MEM_CLIENT);
    void *d = zor_mem_malloc(1, ZOR_MEM_CLIENT);
    zor_mem_free(b, ZOR_MEM_CLIENT);
    zor_mem_free(nullptr, ZOR_MEM_CLIENT);
    EXPECT_EQ(row->n_alloc, 4u);
    EXPECT_EQ(row->n_free, 2u) << "a null free counts nothing";
    EXPECT_EQ(row->n_peak, 3u) << "the peak never falls";
    zor_mem_free(c, ZOR_MEM_CLIENT);
    zor_mem_free(d, ZOR_MEM_CLIENT);
    EXPECT_EQ(current(ZOR_MEM_CLIENT), 0u);

    // Types 0 and 21 and above are served but never counted.
    for (uint32_t type : {0u, 21u, 400u}) {
        void *p = zor_mem_malloc(8, type);
        ASSERT_NE(p, nullptr);
        zor_mem_free(p, type);
    }
    EXPECT_EQ(zor_mem_row(ZOR_MEM_UNKNOWN)->n_alloc + zor_mem_row(ZOR_MEM_MAX)->n_alloc, 0u);

    // The fixed-type wrappers count under their rows; realloc is not counted.
    void *ev = zor_mem_event_realloc(zor_mem_event_malloc(16), 64);
    void *tm = zor_mem_timer_alloc(16);
    void *mq = zor_mem_msgq_alloc(16);
    for (uint32_t type : {ZOR_MEM_EVENTS, ZOR_MEM_TIMERS, ZOR_MEM_MSGQ}) {
        EXPECT_EQ(zor_mem_row(type)->n_alloc, 1u) << type;
    }
    zor_mem_event_free(ev);
    zor_mem_timer_free(tm);
    zor_mem_msgq_free(mq);
    for (uint32_t type : {ZOR_MEM_EVENTS, ZOR_MEM_TIMERS, ZOR_MEM_MSGQ}) {
        EXPECT_EQ(current(type), 0u) << type;
    }
    // A typed record is counted and freed under its own row.
    auto *ctx = zor_mem_new<t_zor_context>();
    EXPECT_EQ(current(ZOR_MEM_CONTEXT), 1u);
    EXPECT_EQ(ctx->clients[7], nullptr) << "zeroed";
    zor_mem_delete(ctx);
    EXPECT_EQ(current(ZOR_MEM_CONTEXT), 0u);
}

TEST(ZorMem, DumpPrintsTheStatisticsTable)
{
    zor_mem_init();
    void *a = zor_mem_malloc(8, ZOR_MEM_DB_ENTRY);
    void *b = zor_mem_malloc(8, ZOR_MEM_DB_ENTRY);
    zor_mem_free(a, ZOR_MEM_DB_ENTRY);
    maapi_cli_capture cli(5, 77);
    char cmd[] = "zor_dump_cli_memory_info";
    char *argv[] = {cmd};
    EXPECT_EQ(zor_dump_cli_memory_info(cli.uinfo(), nullptr, 1, argv), 0);
    zor_mem_free(b, ZOR_MEM_DB_ENTRY);

    const std::string &out = cli.text();
    auto lines = zt::split_lines(out);
    ASSERT_EQ(lines.size(), 37u) << out;
    const std::string rule = "    ================================";
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              (std::vector<std::string>{rule, "    MEMORY STATISTICS", rule}));
    EXPECT_EQ(lines[3].rfind("Arena: ", 0), 0u);
    EXPECT_EQ(lines[12].rfind("Top-most releasable space: ", 0), 0u);
    EXPECT_EQ(lines[12].size(), std::string("Top-most releasable space: ").size() + 30) << "%-30d pads to 30";
    EXPECT_EQ(lines[13], rule);
    char header[256];
    snprintf(header, sizeof(header), "%-20s    %-25s    %-10s  %-4s  %-12s    %-12s    %-12s    %-12s", "DESCRIPTION",
             "TYPE", "SIZE", "CACHE", "#ALLOC", "#FREE", "#PEAK", "#CURRENT");
    EXPECT_EQ(lines[14], header);
    EXPECT_EQ(lines[15], "") << "the header ends with a line feed and each row begins with one";
    auto row_line = [](const char *d, const char *t, unsigned size, const char *cache, unsigned long al,
                       unsigned long fr, unsigned long pk) {
        char buf[256];
        snprintf(buf, sizeof(buf), "%-20s    %-25s    %-10u  %-4s  %-12lu    %-12lu    %-12lu    %-12lu", d, t, size,
                 cache, al, fr, pk, al - fr);
        return std::string(buf);
    };
    EXPECT_EQ(lines[16], row_line("unknown", "unknown", 0, "no", 0, 0, 0));
    EXPECT_EQ(lines[17], row_line("daemon", "t_zor_daemon", sizeof(t_zor_daemon), "no", 0, 0, 0));
    EXPECT_EQ(lines[20], row_line("message-queue", "unknown", 0, "yes", 0, 0, 0));
    EXPECT_EQ(lines[25], row_line("db-entry", "t_zor_db_entry", zor_mem_row(9)->size, "yes", 2, 1, 2));
    EXPECT_EQ(lines[36], row_line("tracker", "t_zor_af_tracker", zor_mem_row(20)->size, "no", 0, 0, 0));
    EXPECT_EQ(out.back(), '\n') << "rows 0-20, then a final line feed";
    EXPECT_EQ(out.find("malloc info"), std::string::npos) << "no detail without --detail";
}

}  // namespace
