#include "monit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "ost_assert.h"
#include "ost_log.h"
#include "ost_rundir.h"

namespace {

// The check file's lines as format text, each padded with blanks to its
// width before the line feed. The padding belongs to the format: it is
// written whatever the service and pid-file names are.
struct cfg_line_t {
    const char *text;
    size_t width;
};
constexpr cfg_line_t k_cfg_lines[] = {
    {"check file %s with path %s", 65},
    {"    mode passive", 65},
    {"    every 4 cycle", 65},
    {"    if timestamp > 480 seconds", 65},
    {"        then exec \"/usr/bin/oconfd_script_monit_bark.sh %s %s\"", 63},
    {"        repeat every 1 cycle", 65},
};

std::string cfg_format()
{
    std::string fmt;
    for (const cfg_line_t &line : k_cfg_lines) {
        fmt += line.text;
        size_t n = strlen(line.text);
        if (n < line.width) {
            fmt.append(line.width - n, ' ');
        }
        fmt += '\n';
    }
    return fmt;
}

void cfg_dir(char *buf, size_t len)
{
    ost_run_path(buf, len, "monit");
}

void cfg_path(char *buf, size_t len, const char *service)
{
    ost_run_path(buf, len, "monit/%s.mcfg", service);
}

void lock_path(char *buf, size_t len, const char *pidfile)
{
    snprintf(buf, len, "%s.lock", pidfile);
}

long lock_holder(int fd)
{
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    return n > 0 ? strtol(text, nullptr, 10) : 0;
}

}  // namespace

void monit_watchdog_start(monit_app_t *app, timer_mgr_t *p_timer_mgr, const char *pidfile)
{
    OST_ASSERT(app != NULL);
    OST_ASSERT(p_timer_mgr != NULL);
    OST_ASSERT(pidfile != NULL);
    if (app->flags & MONIT_FLAG_STARTED) {
        OST_ASSERT(app->pidfile_refresh_timer);
        return;
    }
    OST_ASSERT(app->pidfile_refresh_timer == NULL);
    memset(app, 0, sizeof(*app));
    snprintf(app->pidfile, sizeof(app->pidfile), "%s", pidfile);
    app->pidfile_refresh_timer = timer_util_create(p_timer_mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC,
                                                   MONIT_REFRESH_MSECS, monit_refresh_pidfile, app, nullptr,
                                                   nullptr, nullptr, "monit-watchdog");
    OST_ASSERT(app->pidfile_refresh_timer != NULL);
    timer_enable(app->pidfile_refresh_timer);
    app->flags |= MONIT_FLAG_STARTED;
}

void monit_watchdog_stop(monit_app_t *app)
{
    OST_ASSERT(app != NULL);
    if (app->pidfile_refresh_timer != nullptr) {
        timer_util_delete(app->pidfile_refresh_timer);
        app->pidfile_refresh_timer = nullptr;
    }
    app->flags &= ~MONIT_FLAG_STARTED;
}

void monit_refresh_pidfile(timer_util_t * /*p_timer*/, void *app, void *, void *, void *)
{
    auto *p_app = static_cast<monit_app_t *>(app);
    OST_ASSERT(p_app != NULL);
    if (utime(p_app->pidfile, nullptr) != 0) {
        int err = errno;
        OST_LOGF(LOG_LOCAL7 | LOG_ERR, "Error refreshing %s, reason: %s (%u)", p_app->pidfile, strerror(err),
                 static_cast<unsigned>(err));
        return;
    }
    p_app->last_refresh = time(nullptr);
    p_app->count++;
}

const char *monit_info(const monit_app_t *app, char *buf, size_t len)
{
    if (app == nullptr || buf == nullptr) {
        return "EINVAL";
    }
    // A wall clock set back makes the age negative; that reads as 0, since
    // converting a negative value to unsigned is undefined.
    double age = difftime(time(nullptr), app->last_refresh);
    unsigned secs = age > 0 ? static_cast<unsigned>(age) : 0;
    snprintf(buf, len, "Monit info:\n  PID file       : %s\n  Last refreshed : %u secs ago\n  Total times    : %lu\n",
             app->pidfile, secs, static_cast<unsigned long>(app->count));
    return buf;
}

int monit_pidfile_lock(const char *pidfile, long *holder)
{
    *holder = 0;
    char path[MONIT_PIDFILE_MAX + 8];
    lock_path(path, sizeof(path), pidfile);
    for (int attempt = 0; attempt < 8; attempt++) {
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            if (err == EWOULDBLOCK) {
                *holder = lock_holder(fd);
            }
            close(fd);
            errno = err;
            return -1;
        }
        // The holder before may have removed the file between the open and
        // the lock: a lock on a name nobody else finds would admit a second
        // daemon, so the file opened must still be the one named.
        struct stat held;
        struct stat named;
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            return fd;
        }
        close(fd);
    }
    errno = EBUSY;
    return -1;
}

void monit_pidfile_lock_set_pid(int fd, long pid)
{
    char text[32];
    int n = snprintf(text, sizeof(text), "%ld\n", pid);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
        OST_LOGF(LOG_LOCAL7 | LOG_ERR, "Error writing the pid lock file: %s", strerror(errno));
    }
}

void monit_pidfile_unlock(int fd, const char *pidfile)
{
    if (fd < 0) {
        return;
    }
    // Removed while still held: whoever opened it meanwhile finds it gone
    // once it holds the lock, and tries again on a fresh file.
    char path[MONIT_PIDFILE_MAX + 8];
    lock_path(path, sizeof(path), pidfile);
    unlink(path);
    close(fd);
}

int monit_cfg_write(const char *service, const char *pidfile)
{
    OST_ASSERT(service != NULL);
    OST_ASSERT(pidfile != NULL);
    char dir[4096];
    cfg_dir(dir, sizeof(dir));
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        return -1;
    }
    char path[4096];
    cfg_path(path, sizeof(path), service);
    // No O_TRUNC: a shorter text written over a longer file keeps its tail.
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return fd;
    }
    std::string fmt = cfg_format();
    int need = snprintf(nullptr, 0, fmt.c_str(), service, pidfile, service, pidfile);
    std::string text(static_cast<size_t>(need) + 1, '\0');
    snprintf(text.data(), text.size(), fmt.c_str(), service, pidfile, service, pidfile);
    text.resize(static_cast<size_t>(need));

    ssize_t n = write(fd, text.data(), text.size());
    int rc = 0;
    if (n < 0) {
        rc = static_cast<int>(n);
    } else if (static_cast<size_t>(n) != text.size()) {
        rc = -5;
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

int monit_cfg_remove(const char *service)
{
    char path[4096];
    cfg_path(path, sizeof(path), service);
    struct stat st;
    if (stat(path, &st) != 0) {
        return -2;
    }
    return remove(path);
}
