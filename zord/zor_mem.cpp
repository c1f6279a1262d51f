#include "zor_mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

#include "confd_maapi.h"
#include "zor_result.h"

namespace {

// The rows' names are the accounting's own; the type name and size of the
// record a row counts are told by the record's owner (zor_mem_rows_describe),
// so the accounting includes none of the records it counts. Rows that count
// buffers of varying size keep "unknown" and 0.
zor_mem_row_t g_rows[ZOR_MEM_MAX + 1] = {
    {0, 0, "unknown", "unknown", 0, 0, 0, 0},
    {1, 0, "daemon", "unknown", 0, 0, 0, 0},
    {2, 0, "context", "unknown", 0, 0, 0, 0},
    {3, 1, "client", "unknown", 0, 0, 0, 0},
    {4, 1, "message-queue", "unknown", 0, 0, 0, 0},
    {5, 0, "events", "unknown", 0, 0, 0, 0},
    {6, 0, "timers", "unknown", 0, 0, 0, 0},
    {7, 0, "db-list", "unknown", 0, 0, 0, 0},
    {8, 1, "db-tree", "unknown", 0, 0, 0, 0},
    {9, 1, "db-entry", "unknown", 0, 0, 0, 0},
    {10, 1, "group", "unknown", 0, 0, 0, 0},
    {11, 1, "group-tloc", "unknown", 0, 0, 0, 0},
    {12, 1, "path", "unknown", 0, 0, 0, 0},
    {13, 1, "tloc-nlri", "unknown", 0, 0, 0, 0},
    {14, 1, "link-nlri", "unknown", 0, 0, 0, 0},
    {15, 1, "ctrl-device-nlri", "unknown", 0, 0, 0, 0},
    {16, 1, "data-device-nlri", "unknown", 0, 0, 0, 0},
    {17, 1, "data-device-opt", "unknown", 0, 0, 0, 0},
    {18, 1, "vpn-sec-nlri", "unknown", 0, 0, 0, 0},
    {19, 1, "peer-sec-nlri", "unknown", 0, 0, 0, 0},
    {20, 0, "tracker", "unknown", 0, 0, 0, 0},
    {21, 0, "max", "unknown", 0, 0, 0, 0},
};

bool counted(uint32_t type)
{
    return type > ZOR_MEM_UNKNOWN && type < ZOR_MEM_MAX;
}

const char *k_meminfo_path = "/var/log/zord_meminfo.txt";

}  // namespace

int zor_mem_init()
{
    for (uint32_t i = 0; i < ZOR_MEM_MAX; i++) {
        g_rows[i].n_alloc = 0;
        g_rows[i].n_free = 0;
        g_rows[i].n_peak = 0;
    }
    zor_mem_rows_describe();
    return ZOR_OK;
}

void zor_mem_row_describe(uint32_t type, const char *type_name, uint32_t size)
{
    if (type > ZOR_MEM_UNKNOWN && type < ZOR_MEM_MAX) {
        g_rows[type].type_name = type_name;
        g_rows[type].size = size;
    }
}

void zor_mem_account(uint32_t type, int is_alloc)
{
    if (type >= ZOR_MEM_MAX) {
        return;
    }
    zor_mem_row_t &row = g_rows[type];
    if (is_alloc) {
        row.n_alloc++;
        if (row.n_alloc - row.n_free > row.n_peak) {
            row.n_peak = row.n_alloc - row.n_free;
        }
    } else {
        row.n_free++;
    }
}

void *zor_mem_calloc(size_t count, size_t size, uint32_t type)
{
    if (counted(type)) {
        zor_mem_account(type, 1);
    }
    return calloc(count, size);
}

void *zor_mem_malloc(size_t size, uint32_t type)
{
    if (counted(type)) {
        zor_mem_account(type, 1);
    }
    return malloc(size);
}

void zor_mem_free(void *ptr, uint32_t type)
{
    if (ptr == nullptr) {
        return;
    }
    if (counted(type)) {
        zor_mem_account(type, 0);
    }
    free(ptr);
}

void *zor_mem_event_malloc(size_t size)
{
    return zor_mem_malloc(size, ZOR_MEM_EVENTS);
}

void *zor_mem_event_realloc(void *ptr, size_t size)
{
    return realloc(ptr, size);
}

void zor_mem_event_free(void *ptr)
{
    zor_mem_free(ptr, ZOR_MEM_EVENTS);
}

void *zor_mem_timer_alloc(size_t size)
{
    return zor_mem_malloc(size, ZOR_MEM_TIMERS);
}

void zor_mem_timer_free(void *ptr)
{
    zor_mem_free(ptr, ZOR_MEM_TIMERS);
}

void *zor_mem_msgq_alloc(size_t size)
{
    return zor_mem_malloc(size, ZOR_MEM_MSGQ);
}

void zor_mem_msgq_free(void *ptr)
{
    zor_mem_free(ptr, ZOR_MEM_MSGQ);
}

const zor_mem_row_t *zor_mem_row(uint32_t type)
{
    return type <= ZOR_MEM_MAX ? &g_rows[type] : nullptr;
}

int zor_dump_cli_memory_info(confd_user_info *uinfo, char * /*path*/, int argc, char **argv)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    bool detail = argc > 1 && argv[1] != nullptr && strstr(argv[1], "--detail") != nullptr;

    // mallinfo() is deprecated in favour of mallinfo2(); the figures are the
    // same, printed as int like the classic structure's members.
    struct mallinfo2 mi = mallinfo2();
    maapi_cli_printf(sock, usess, "    ================================");
    maapi_cli_printf(sock, usess, "\n    MEMORY STATISTICS");
    maapi_cli_printf(sock, usess, "\n    ================================");
    maapi_cli_printf(sock, usess, "\nArena: %-30d", static_cast<int>(mi.arena));
    maapi_cli_printf(sock, usess, "\nFree chunks: %-30d", static_cast<int>(mi.ordblks));
    maapi_cli_printf(sock, usess, "\nFree fastbin blocks: %-30d", static_cast<int>(mi.smblks));
    maapi_cli_printf(sock, usess, "\nMapped regions: %-30d", static_cast<int>(mi.hblks));
    maapi_cli_printf(sock, usess, "\nSpace allocated in mapped: %-30d", static_cast<int>(mi.hblkhd));
    maapi_cli_printf(sock, usess, "\nMax total allocated space: %-30d", static_cast<int>(mi.usmblks));
    maapi_cli_printf(sock, usess, "\nSpace in freed fastbin: %-30d", static_cast<int>(mi.fsmblks));
    maapi_cli_printf(sock, usess, "\nTotal allocated space: %-30d", static_cast<int>(mi.uordblks));
    maapi_cli_printf(sock, usess, "\nTotal free space: %-30d", static_cast<int>(mi.fordblks));
    maapi_cli_printf(sock, usess, "\nTop-most releasable space: %-30d", static_cast<int>(mi.keepcost));
    maapi_cli_printf(sock, usess, "\n    ================================");

    maapi_cli_printf(sock, usess, "\n%-20s    %-25s    %-10s  %-4s  %-12s    %-12s    %-12s    %-12s\n", "DESCRIPTION",
                     "TYPE", "SIZE", "CACHE", "#ALLOC", "#FREE", "#PEAK", "#CURRENT");
    for (uint32_t i = 0; i < ZOR_MEM_MAX; i++) {
        const zor_mem_row_t &row = g_rows[i];
        maapi_cli_printf(sock, usess, "\n%-20s    %-25s    %-10u  %-4s  %-12lu    %-12lu    %-12lu    %-12lu",
                         row.descr, row.type_name, row.size, row.cache ? "yes" : "no",
                         static_cast<unsigned long>(row.n_alloc), static_cast<unsigned long>(row.n_free),
                         static_cast<unsigned long>(row.n_peak),
                         static_cast<unsigned long>(row.n_alloc - row.n_free));
    }
    maapi_cli_printf(sock, usess, "\n");

    if (detail) {
        FILE *file = fopen(k_meminfo_path, "w");
        if (file == nullptr) {
            return 0;
        }
        if (malloc_info(0, file) == -1) {
            maapi_cli_printf(sock, usess, "\n Could not write malloc info to %s\n", k_meminfo_path);
        } else {
            maapi_cli_printf(sock, usess, "\n wrote malloc info to %s\n", k_meminfo_path);
        }
        fclose(file);
    }
    return 0;
}
