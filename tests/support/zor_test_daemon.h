// A real daemon record and context for unit tests: zor_daemon_alloc and
// zor_daemon_init under a fresh run directory, zor_daemon_free at the end.
#pragma once

#include <cstdint>
#include <string>

#include "test_support.h"
#include "zor_daemon.h"

namespace zt {

class TestDaemon {
public:
    // Starts the daemon; init_rc() tells whether zor_daemon_init succeeded.
    TestDaemon();
    ~TestDaemon();  // frees whatever is left
    TestDaemon(const TestDaemon &) = delete;
    TestDaemon &operator=(const TestDaemon &) = delete;

    int init_rc() const { return init_rc_; }
    t_zor_daemon *daemon() const { return daemon_; }
    t_zor_context *ctx() const { return g_zor_context; }
    // Runs the event loop until at least one event callback ran.
    void run_once();
    // Tears down now (the destructor then does nothing).
    void free();

private:
    ScopedRunDir run_;
    t_zor_daemon *daemon_ = nullptr;
    int init_rc_ = -1;
};

// Records of a memory type allocated and not yet freed.
uint64_t mem_current(uint32_t type);

// The memory types whose allocations and frees do not balance, as
// "descr: current" lines; empty when every counted type is back to zero.
// The "events" row is left out: libevent's reallocations are not counted.
std::string mem_unbalanced();

}  // namespace zt
