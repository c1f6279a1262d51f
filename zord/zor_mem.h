// The memory cache: every heap record of zord is allocated and freed through
// these calls with its memory type, so operators can see per kind of record
// how many exist now and at most. The C library allocates; this layer only
// counts. There is no per-allocation header, so a record must be freed with
// the type it was allocated with. Event-loop thread only (plain counters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

struct confd_user_info;

enum zor_mem_type_t : uint32_t {
    ZOR_MEM_UNKNOWN = 0,
    ZOR_MEM_DAEMON = 1,
    ZOR_MEM_CONTEXT = 2,
    ZOR_MEM_CLIENT = 3,
    ZOR_MEM_MSGQ = 4,
    ZOR_MEM_EVENTS = 5,
    ZOR_MEM_TIMERS = 6,
    ZOR_MEM_DB_LIST = 7,
    ZOR_MEM_DB_TREE = 8,
    ZOR_MEM_DB_ENTRY = 9,
    ZOR_MEM_GROUP = 10,
    ZOR_MEM_GROUP_TLOC = 11,
    ZOR_MEM_PATH = 12,
    ZOR_MEM_TLOC_NLRI = 13,
    ZOR_MEM_LINK_NLRI = 14,
    ZOR_MEM_CTRL_DEVICE_NLRI = 15,
    ZOR_MEM_DATA_DEVICE_NLRI = 16,
    ZOR_MEM_DATA_DEVICE_OPT = 17,
    ZOR_MEM_VPN_SEC_NLRI = 18,
    ZOR_MEM_PEER_SEC_NLRI = 19,
    ZOR_MEM_TRACKER = 20,
    ZOR_MEM_MAX = 21,
};

// One row of the memory-type table.
struct zor_mem_row_t {
    uint32_t id;
    uint8_t cache;
    const char *descr;
    const char *type_name;
    uint32_t size;
    uint64_t n_alloc;
    uint64_t n_free;
    uint64_t n_peak;
};

// Zeroes the counters of every row and has the rows of records described
// (zor_mem_rows_describe). Always ZOR_OK.
int zor_mem_init();

// Names the record a row counts and its size, for the dump; rows 0 and 21
// and above are left alone.
void zor_mem_row_describe(uint32_t type, const char *type_name, uint32_t size);
// Describes the rows of the daemon's records: defined beside them
// (zor_mem_rows.cpp), above the accounting, and the family records from the
// family table.
void zor_mem_rows_describe();

// Rows 1-20 are counted; 0 and 21 and above are accepted but never counted.
// The count is taken before the C library call, also when it then fails.
void *zor_mem_calloc(size_t count, size_t size, uint32_t type);
void *zor_mem_malloc(size_t size, uint32_t type);
void zor_mem_free(void *ptr, uint32_t type);  // null is ignored
void zor_mem_account(uint32_t type, int is_alloc);

// Fixed-type wrappers: libevent (events, realloc uncounted), the timer
// manager (timers) and the message queue (message-queue).
void *zor_mem_event_malloc(size_t size);
void *zor_mem_event_realloc(void *ptr, size_t size);
void zor_mem_event_free(void *ptr);
void *zor_mem_timer_alloc(size_t size);
void zor_mem_timer_free(void *ptr);
void *zor_mem_msgq_alloc(size_t size);
void zor_mem_msgq_free(void *ptr);

// The row of a type (0-21), for dumps and tests.
const zor_mem_row_t *zor_mem_row(uint32_t type);

// Command "zor_dump_cli_memory_info": the statistics on the user's CLI
// session; with a second argument containing "--detail" also malloc_info to
// /var/log/zord_meminfo.txt. Always 0.
int zor_dump_cli_memory_info(confd_user_info *uinfo, char *path, int argc, char **argv);

// Typed records: a record type declares its memory type once with
// ZOR_MEM_RECORD, and zor_mem_new/zor_mem_delete then allocate it zeroed and
// free it under that type, so the pair can never disagree.
template <typename T>
struct zor_mem_type_of;

#define ZOR_MEM_RECORD(record_type, mem_type)                      \
    template <>                                                    \
    struct zor_mem_type_of<record_type> {                          \
        static constexpr zor_mem_type_t value = (mem_type);        \
    }

template <typename T>
T *zor_mem_new()
{
    void *p = zor_mem_calloc(1, sizeof(T), zor_mem_type_of<T>::value);
    return p != nullptr ? new (p) T{} : nullptr;
}

template <typename T>
void zor_mem_delete(T *p)
{
    if (p != nullptr) {
        p->~T();
        zor_mem_free(p, zor_mem_type_of<T>::value);
    }
}
