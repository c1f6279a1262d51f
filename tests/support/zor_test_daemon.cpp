#include "zor_test_daemon.h"

#include <event2/event.h>

#include "zor_mem.h"

namespace zt {

TestDaemon::TestDaemon()
{
    if (zor_daemon_alloc(&daemon_) == 0) {
        init_rc_ = zor_daemon_init(daemon_);
    }
}

TestDaemon::~TestDaemon()
{
    free();
}

void TestDaemon::run_once()
{
    event_base_loop(daemon_->event_base.get(), EVLOOP_ONCE);
}

void TestDaemon::free()
{
    if (daemon_ != nullptr) {
        zor_daemon_free(daemon_);
        daemon_ = nullptr;
    }
}

uint64_t mem_current(uint32_t type)
{
    const zor_mem_row_t *row = zor_mem_row(type);
    return row->n_alloc - row->n_free;
}

std::string mem_unbalanced()
{
    std::string out;
    for (uint32_t type = ZOR_MEM_DAEMON; type < ZOR_MEM_MAX; type++) {
        // libevent grows its arrays with realloc, which the memory layer
        // passes through uncounted (realloc(NULL, n) included), while their
        // frees are counted: this row cannot balance.
        if (type == ZOR_MEM_EVENTS) {
            continue;
        }
        const zor_mem_row_t *row = zor_mem_row(type);
        if (row->n_alloc != row->n_free) {
            out += std::string(row->descr) + ": " + std::to_string(static_cast<long long>(row->n_alloc - row->n_free)) +
                   "\n";
        }
    }
    return out;
}

}  // namespace zt
