#include "maapi_cli.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct sink_t {
    maapi_cli_sink_fn fn;
    void *arg;
};

// Command callbacks run on the event loop, but the management integration
// registers sessions from its own threads, so the table is locked.
std::mutex g_lock;
std::map<std::pair<int, int>, sink_t> &sinks()
{
    static std::map<std::pair<int, int>, sink_t> table;
    return table;
}

}  // namespace

void maapi_cli_sink_register(int sock, int usess, maapi_cli_sink_fn fn, void *arg)
{
    std::lock_guard<std::mutex> guard(g_lock);
    sinks()[{sock, usess}] = sink_t{fn, arg};
}

void maapi_cli_sink_unregister(int sock, int usess)
{
    std::lock_guard<std::mutex> guard(g_lock);
    sinks().erase({sock, usess});
}

int maapi_cli_printf(int sock, int usess, const char *fmt, ...)
{
    sink_t sink{};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = sinks().find({sock, usess});
        if (it == sinks().end()) {
            return CONFD_ERR;
        }
        sink = it->second;
    }
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    char small[1024];
    int n = vsnprintf(small, sizeof(small), fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(copy);
        return CONFD_ERR;
    }
    if (static_cast<size_t>(n) < sizeof(small)) {
        sink.fn(sock, usess, small, static_cast<size_t>(n), sink.arg);
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), fmt, copy);
        sink.fn(sock, usess, big.data(), static_cast<size_t>(n), sink.arg);
    }
    va_end(copy);
    return CONFD_OK;
}

maapi_cli_capture::maapi_cli_capture(int sock, int usess) : sock_(sock), usess_(usess)
{
    uinfo_.usid = usess;
    uinfo_.msock = sock;
    maapi_cli_sink_register(sock, usess, &maapi_cli_capture::sink, this);
}

maapi_cli_capture::~maapi_cli_capture()
{
    maapi_cli_sink_unregister(sock_, usess_);
}

void maapi_cli_capture::sink(int, int, const char *text, size_t len, void *arg)
{
    static_cast<maapi_cli_capture *>(arg)->text_.append(text, len);
}
