// Pid-file watchdog for the outside process supervisor.
//
// A high-priority cyclic timer touches the daemon's pid file every 10 s, so
// that a supervisor watching the file's timestamp (through the check file
// written by monit_cfg_write) sees the event loop alive. Runs on the thread
// that owns the timer manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "timer.h"

#define MONIT_PIDFILE_MAX 4096
#define MONIT_REFRESH_MSECS 10000
#define MONIT_FLAG_STARTED 0x1

// One watched daemon; owned by the caller, zero-filled on start.
struct monit_app_t {
    timer_util_t *pidfile_refresh_timer;
    char pidfile[MONIT_PIDFILE_MAX];  // at most 4095 characters
    time_t last_refresh;
    uint64_t count;  // successful refreshes
    uint32_t flags;
};

// Starts the "monit-watchdog" timer (high priority, cyclic, 10000 ms).
// Starting a started watchdog does nothing.
void monit_watchdog_start(monit_app_t *app, timer_mgr_t *p_timer_mgr, const char *pidfile);
// Deletes the timer; the record can be started again.
void monit_watchdog_stop(monit_app_t *app);
// Timer callback: sets the pid file's times to now.
void monit_refresh_pidfile(timer_util_t *p_timer, void *app, void *arg2, void *arg3, void *arg4);

// A three-line report into buf; "EINVAL" when an argument is NULL.
const char *monit_info(const monit_app_t *app, char *buf, size_t len);

// The instance lock of a pid file: an advisory lock (flock) on
// "<pidfile>.lock", held for the daemon's life through the descriptor
// returned, so that a second daemon for the same pid file is refused while
// the first lives. The lock goes with the holder: a crashed daemon leaves a
// file that locks nothing, and the next start takes it. It belongs to the
// open file, not the process, so it survives daemon()'s fork.
// Returns the descriptor (close-on-exec), or -1 with errno EWOULDBLOCK when
// another process holds the lock (*holder: the pid it wrote, 0 while it has
// not written one yet), or the reason the file could not be created or
// locked (ENOENT, ENOTDIR, EACCES, EROFS, ENOSPC...).
int monit_pidfile_lock(const char *pidfile, long *holder);
// Writes pid (decimal, line feed) into the lock file of the descriptor, for
// whoever finds the lock held.
void monit_pidfile_lock_set_pid(int fd, long pid);
// Removes the lock file and releases the lock; -1 is ignored.
void monit_pidfile_unlock(int fd, const char *pidfile);

// Writes "<run dir>/monit/<service>.mcfg" (mode 0600, not truncated).
// 0, -5 after a short write, or the failing call's negative result.
int monit_cfg_write(const char *service, const char *pidfile);
// Removes the check file: -2 when it does not exist, else remove()'s result.
int monit_cfg_remove(const char *service);
