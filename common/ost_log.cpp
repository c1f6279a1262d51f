#include "ost_log.h"

#include <cstdio>
#include <cstring>

namespace {
bool g_mirror = false;
ost_log_hook_fn g_hook = nullptr;
void *g_hook_arg = nullptr;
}  // namespace

void ost_log_open(const char *ident, int option, int facility, bool mirror_stderr)
{
    openlog(ident, option, facility);
    g_mirror = mirror_stderr;
}

void ost_log_close()
{
    closelog();
}

void ost_log_set_mirror(bool on)
{
    g_mirror = on;
}

bool ost_log_mirror()
{
    return g_mirror;
}

void ost_log_set_hook(ost_log_hook_fn fn, void *arg)
{
    g_hook = fn;
    g_hook_arg = arg;
}

void ost_vlog(int pri, const char *fmt, va_list ap)
{
    // Long lines (dumps of attribute lists) are cut at the buffer size, as
    // syslog would cut them anyway.
    char line[2048];
    vsnprintf(line, sizeof(line), fmt, ap);
    syslog(pri, "%s", line);
    if (g_mirror) {
        size_t n = strlen(line);
        // A trailing line feed in the format is kept in syslog but not doubled here.
        if (n > 0 && line[n - 1] == '\n') {
            fprintf(stderr, "%s", line);
        } else {
            fprintf(stderr, "%s\n", line);
        }
    }
    if (g_hook != nullptr) {
        g_hook(pri, line, g_hook_arg);
    }
}

void ost_log(int pri, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ost_vlog(pri, fmt, ap);
    va_end(ap);
}
