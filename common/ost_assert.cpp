#include "ost_assert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *ost_assert_source_name(const char *file, char *buf, unsigned len)
{
    if (len == 0) {
        return buf;
    }
    // Keep "dir/name": start after the slash that precedes the last one.
    const char *start = file;
    const char *last = strrchr(file, '/');
    if (last != nullptr) {
        start = last;
        while (start > file && *(start - 1) != '/') {
            --start;
        }
    }
    snprintf(buf, len, "%s", start);
    char *dot = strrchr(buf, '.');
    char *slash = strrchr(buf, '/');
    if (dot != nullptr && (slash == nullptr || dot > slash)) {
        *dot = '\0';
    }
    return buf;
}

void ost_assert_fail(const char *file, int line, const char *expr)
{
    char source[256];
    ost_assert_source_name(file, source, sizeof(source));
    fprintf(stdout, "%s:%d: failed assertion `%s'\n", source, line, expr);
    fflush(stdout);
    abort();
}
