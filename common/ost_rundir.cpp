#include "ost_rundir.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *ost_run_dir()
{
    static thread_local char dir[4096];
    const char *env = getenv(OST_RUN_DIR_ENV);
    if (env == nullptr || env[0] == '\0') {
        return OST_RUN_DIR_DEFAULT;
    }
    snprintf(dir, sizeof(dir), "%s", env);
    size_t n = strlen(dir);
    while (n > 1 && dir[n - 1] == '/') {
        dir[--n] = '\0';
    }
    return dir;
}

int ost_run_path(char *buf, size_t len, const char *fmt, ...)
{
    int head = snprintf(buf, len, "%s/", ost_run_dir());
    if (head < 0 || static_cast<size_t>(head) >= len) {
        return head;
    }
    va_list ap;
    va_start(ap, fmt);
    int tail = vsnprintf(buf + head, len - head, fmt, ap);
    va_end(ap);
    return tail < 0 ? tail : head + tail;
}
