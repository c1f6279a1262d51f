#include "zor_daemon.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <grp.h>
#include <unistd.h>

#include "msgq_util.h"
#include "ost_assert.h"
#include "ost_rundir.h"
#include "ost_signal.h"
#include "zor_af.h"
#include "zor_client.h"
#include "zor_confd.h"
#include "zor_db.h"
#include "zor_dist.h"
#include "zor_group.h"
#include "zor_log.h"
#include "zor_path.h"

t_zor_daemon *g_zor_daemon = nullptr;
t_zor_context *g_zor_context = nullptr;
uint32_t g_zor_debug = 0;
uint32_t g_zor_walk_budget_ms = 500;

namespace {

constexpr uint32_t k_start_msg_id = 1200001;
constexpr uint32_t k_stop_msg_id = 1299999;

void zor_log_host_line(uint32_t msg_id, const char *what)
{
    char host[32];
    memset(host, 0, sizeof(host));
    if (gethostname(host, sizeof(host) - 1) != 0) {
        snprintf(host, sizeof(host), "Anyhost");
    }
    ost_log(ZOR_LOG_INFO_PRI, "%%Ostrana-%s-%s-%d-%s-%d: %s", host, ZOR_SYSLOG_IDENT, 6, "INFO",
            static_cast<int>(msg_id), what);
}

// Drives the timer manager: one pass per tick, then the event re-arms itself
// (it is not persistent).
void zor_timer_tick(evutil_socket_t /*fd*/, short what, void *arg)
{
    auto *daemon = static_cast<t_zor_daemon *>(arg);
    if (what != 0 && what != EV_TIMEOUT) {
        return;
    }
    (void)timer_mgr_exec(daemon->timer_mgr, 3, ZOR_TICK_BUDGET_MS);
    // Lines held back by the rate limit are summarised within a second.
    ost_log_flush_suppressed();
    struct timeval tv;
    timer_mgr_get_resolution(daemon->timer_mgr, &tv);
    event_add(daemon->tick_event.get(), &tv);
}

int zor_timer_mgr_start(t_zor_daemon *daemon)
{
    OST_ASSERT(daemon->timer_mgr == NULL);
    daemon->timer_mgr = timer_mgr_create(TIMER_RES_1SEC, zor_mem_timer_alloc, zor_mem_timer_free, daemon, 3);
    if (daemon->timer_mgr == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    daemon->tick_event.reset(event_new(daemon->event_base.get(), -1, 0, zor_timer_tick, daemon));
    if (!daemon->tick_event) {
        return ZOR_ERR_NO_MEMORY;
    }
    struct timeval tv;
    timer_mgr_get_resolution(daemon->timer_mgr, &tv);
    if (event_add(daemon->tick_event.get(), &tv) != 0) {
        return ZOR_ERR_NO_MEMORY;
    }
    return ZOR_OK;
}

// What the daemon record owns beside the context: tick event, timer manager,
// event base and bitmaps, freed in that order. Safe to run twice.
void zor_daemon_release_loop(t_zor_daemon *daemon)
{
    daemon->tick_event.reset();
    if (daemon->timer_mgr != nullptr) {
        timer_mgr_destroy(daemon->timer_mgr);
        daemon->timer_mgr = nullptr;
    }
    daemon->event_base.reset();
    zor_mem_free(daemon->tloc_index_bitmap, ZOR_MEM_UNKNOWN);
    daemon->tloc_index_bitmap = nullptr;
    zor_mem_free(daemon->link_label_bitmap, ZOR_MEM_UNKNOWN);
    daemon->link_label_bitmap = nullptr;
}

void zor_sigusr2(int)
{
    if (g_zor_daemon != nullptr && g_zor_daemon->event_base) {
        event_base_loopbreak(g_zor_daemon->event_base.get());
    }
}

struct zor_signal_entry {
    int signo;
    void (*handler)(int);
};
constexpr zor_signal_entry k_zor_signals[] = {
    {SIGUSR2, zor_sigusr2},
};

void zor_signals_init()
{
    for (int signo = 0; signo <= 64; signo++) {
        for (const zor_signal_entry &entry : k_zor_signals) {
            if (entry.signo != signo) {
                continue;
            }
            struct sigaction sa;
            memset(&sa, 0, sizeof(sa));
            sa.sa_handler = entry.handler;
            sa.sa_flags = 0;
            sigemptyset(&sa.sa_mask);
            sigaction(signo, &sa, nullptr);
        }
    }
    ost_signal_init();
}

// The file appears whole: it is written under a temporary name and renamed,
// so whoever sees it reads the pid.
bool zor_write_pid_file(const char *path, uint32_t pid)
{
    char tmp[MONIT_PIDFILE_MAX + 8];
    snprintf(tmp, sizeof(tmp), "%s.tmp", path);
    FILE *file = fopen(tmp, "w");
    if (file == nullptr) {
        ZOR_LOG("Failed to write pid file %s: %s", path, strerror(errno));
        return false;
    }
    bool ok = fprintf(file, "%u\n", pid) > 0;
    ok = fclose(file) == 0 && ok;
    if (!ok || rename(tmp, path) != 0) {
        ZOR_LOG("Failed to write pid file %s: %s", path, strerror(errno));
        unlink(tmp);
        return false;
    }
    return true;
}

void zor_pid_file_cb(evutil_socket_t /*fd*/, short /*what*/, void *arg)
{
    zor_daemon_write_pid_file(static_cast<t_zor_daemon *>(arg));
}

// Decimal digits only (no sign, no blanks), at most max.
bool zor_parse_number(const char *text, uint64_t max, uint64_t *out)
{
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    *out = v;
    return true;
}

// The instance lock taken before detaching; released at a normal stop.
int g_instance_lock_fd = -1;

// Why zord cannot start, for the person who started it: one line on stderr
// (there is no terminal to mirror to once detached, and it has not detached
// yet) and the same in syslog.
void zor_refuse_start(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void zor_refuse_start(const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    bool mirror = ost_log_mirror();
    ost_log_set_mirror(false);
    ZOR_LOG("%s", line);
    ost_log_set_mirror(mirror);
    fprintf(stderr, "zord: %s\n", line);
}

// A whole number from the environment, or fallback (a value that is not
// one is logged and ignored).
uint32_t zor_env_number(const char *name, uint32_t fallback)
{
    const char *text = getenv(name);
    uint64_t v = 0;
    if (text == nullptr || text[0] == '\0') {
        return fallback;
    }
    if (!zor_parse_number(text, UINT32_MAX, &v)) {
        ZOR_LOG("Ignored %s=%s: not a whole number", name, text);
        return fallback;
    }
    return static_cast<uint32_t>(v);
}

// Who may connect to zord's socket, and how long and how many connections
// may wait to register. Without this any local process could register as
// any module (the socket is open to all users) and close the connection of
// the daemon that really is that module.
void zor_daemon_accept_policy(const t_zor_daemon *daemon)
{
    msgq_accept_policy_t policy = *msgq_accept_policy();
    policy.check_peer = 1;
    policy.admit_gid = daemon->peer_group;
    policy.register_timeout_ms = zor_env_number("ZOR_REGISTER_TIMEOUT_MS", policy.register_timeout_ms);
    policy.max_unregistered = zor_env_number("ZOR_MAX_UNREGISTERED", policy.max_unregistered);
    msgq_set_accept_policy(&policy);
}

// Takes the instance lock of the daemon's pid file, which proves the run
// directory usable (it exists, is a directory, takes new files). false
// after telling why: another zord holds it, or the directory cannot serve.
bool zor_daemon_claim(t_zor_daemon *daemon)
{
    char pid_path[MONIT_PIDFILE_MAX];
    zor_daemon_pid_path(daemon, pid_path, sizeof(pid_path));
    long holder = 0;
    int fd = monit_pidfile_lock(pid_path, &holder);
    if (fd >= 0) {
        g_instance_lock_fd = fd;
        return true;
    }
    int err = errno;
    if (err == EWOULDBLOCK) {
        if (holder > 0) {
            zor_refuse_start("another zord (pid %ld) runs with %s; not starting", holder, pid_path);
        } else {
            zor_refuse_start("another zord is starting with %s; not starting", pid_path);
        }
    } else if (err == ENOENT) {
        zor_refuse_start("run directory %s does not exist (create it, or name another with %s)", ost_run_dir(),
                         OST_RUN_DIR_ENV);
    } else {
        zor_refuse_start("cannot use run directory %s: %s", ost_run_dir(), strerror(err));
    }
    return false;
}

}  // namespace

void zor_daemon_write_pid_file(t_zor_daemon *daemon)
{
    char pid_path[MONIT_PIDFILE_MAX];
    zor_daemon_pid_path(daemon, pid_path, sizeof(pid_path));
    daemon->pid_file_written = zor_write_pid_file(pid_path, daemon->pid) ? 1 : 0;
}

void zor_daemon_pid_path(const t_zor_daemon *daemon, char *buf, size_t len)
{
    if (daemon->vpn_id != 0) {
        ost_run_path(buf, len, "advd.%lu.pid", static_cast<unsigned long>(daemon->vpn_id));
    } else {
        ost_run_path(buf, len, "zord.0.pid");
    }
}

int zor_daemon_alloc(t_zor_daemon **out)
{
    *out = nullptr;
    if (zor_mem_init() != 0) {
        ZOR_LOG("Failed to allocate memory cache");
        return ZOR_ERR_NO_MEMORY;
    }
    t_zor_daemon *daemon = zor_mem_new<t_zor_daemon>();
    if (daemon == nullptr) {
        ZOR_LOG("Failed to allocate initial daemon");
        return ZOR_ERR_NO_MEMORY;
    }
    // The default instance until the command line says otherwise: the
    // clients' message queues need a module id to open under.
    daemon->instance = ZOR_DEFAULT_INSTANCE;
    *out = daemon;
    return ZOR_OK;
}

int zor_get_input_params(t_zor_daemon *daemon, int argc, char **argv)
{
    daemon->daemonize = 1;
    daemon->instance = ZOR_DEFAULT_INSTANCE;
    daemon->peer_group = -1;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        bool takes_value = strcmp(arg, "-V") == 0 || strcmp(arg, "-I") == 0 || strcmp(arg, "-T") == 0 ||
                           strcmp(arg, "-G") == 0;
        if (strcmp(arg, "-f") == 0) {
            daemon->daemonize = 0;
            continue;
        }
        // An option that needs a value but stands last is a usage error.
        if (!takes_value || i + 1 >= argc) {
            // The usage text is for the person at the terminal as well.
            ost_log_set_mirror(true);
            ZOR_LOG(ZOR_USAGE);
            return ZOR_ERR_FAILED;
        }
        const char *value = argv[++i];
        uint64_t number = 0;
        // A VPN id or tenant id that is not a number would silently run as
        // the default instance (0), beside it and on its pid file.
        if (arg[1] == 'G') {
            // Peers are admitted by their socket's credentials: root, zord's
            // own user and, with -G, the processes of that group.
            const group *grp = getgrnam(value);
            if (grp != nullptr) {
                daemon->peer_group = grp->gr_gid;
            } else if (zor_parse_number(value, INT32_MAX, &number)) {
                daemon->peer_group = static_cast<int64_t>(number);
            } else {
                ost_log_set_mirror(true);
                ZOR_LOG("No group %s", value);
                ZOR_LOG(ZOR_USAGE);
                return ZOR_ERR_FAILED;
            }
            continue;
        }
        if (arg[1] != 'T' && !zor_parse_number(value, arg[1] == 'V' ? UINT64_MAX : INT32_MAX, &number)) {
            ost_log_set_mirror(true);
            ZOR_LOG(ZOR_USAGE);
            return ZOR_ERR_FAILED;
        }
        if (arg[1] == 'V') {
            daemon->vpn_id = number;
        } else if (arg[1] == 'I') {
            daemon->tenant_id = static_cast<uint8_t>(number & 0xff);
            daemon->instance = ZOR_TENANT_INSTANCE_BASE - daemon->tenant_id;
        } else {
            char name[ZOR_TENANT_NAME_LEN];
            memset(name, 0, sizeof(name));
            strncpy(name, value, sizeof(name) - 1);
            for (char &c : name) {
                if (c == '#') {
                    c = ' ';
                }
            }
            memcpy(daemon->tenant_name, name, sizeof(daemon->tenant_name));
        }
    }
    return ZOR_OK;
}

t_zor_context *zor_context_init(t_zor_daemon *daemon, uint32_t default_flag)
{
    t_zor_context *ctx = zor_mem_new<t_zor_context>();
    if (ctx == nullptr) {
        ZOR_LOG("Failed to allocate context");
        return nullptr;
    }
    ctx->daemon = daemon;
    ctx->default_flag = default_flag;
    ctx->last_link_label = 32769;
    // The families' tables are in place before the database creates their
    // trees.
    zor_af_register_all();
    if (zor_db_init(ctx) != ZOR_OK || zor_dist_init(ctx) != ZOR_OK) {
        ZOR_LOG("Failed to initialize Database");
        zor_context_free(ctx);
        return nullptr;
    }
    if (zor_clients_init(ctx) != ZOR_OK) {
        ZOR_LOG("Failed to initialize clients");
        zor_context_free(ctx);
        return nullptr;
    }
    if (zor_groups_init(ctx) != ZOR_OK) {
        ZOR_LOG("Failed to initialize groups");
        zor_context_free(ctx);
        return nullptr;
    }
    timer_mgr_t *mgr = daemon != nullptr ? daemon->timer_mgr : nullptr;
    ctx->path_timer = mgr != nullptr ? timer_util_create(mgr, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, ZOR_PATH_TIMER_MSECS,
                                                         zor_path_walk, ctx, nullptr, nullptr, nullptr,
                                                         ZOR_PATH_TIMER_NAME)
                                     : nullptr;
    if (ctx->path_timer == nullptr) {
        ZOR_LOG("Failed to path timer");
        zor_context_free(ctx);
        return nullptr;
    }
    zor_path_timer_start(ctx);
    return ctx;
}

void zor_context_free(t_zor_context *ctx)
{
    if (ctx == nullptr) {
        return;
    }
    ctx->shutting_down = 1;
    // Clients go first: their markers sit on the change lists.
    zor_clients_fini(ctx);
    // Paths point at TLOC and link records: they go before the records do.
    zor_path_fini(ctx);
    zor_dist_fini(ctx);
    zor_db_fini(ctx);
    zor_groups_fini(ctx);
    if (ctx->path_timer != nullptr) {
        timer_util_delete(ctx->path_timer);
        ctx->path_timer = nullptr;
    }
    zor_daemon_release_loop(ctx->daemon);
    if (ctx->default_flag && g_zor_context == ctx) {
        g_zor_context = nullptr;
    }
    zor_mem_delete(ctx);
}

int zor_daemon_init(t_zor_daemon *daemon)
{
    daemon->pid = static_cast<uint32_t>(getpid());
    // The globals are set as soon as their records exist rather than at the
    // end: a failure further on leaves them for zor_daemon_free, which frees
    // the context through g_zor_context.
    g_zor_daemon = daemon;

    event_set_mem_functions(zor_mem_event_malloc, zor_mem_event_realloc, zor_mem_event_free);
    daemon->event_base.reset(event_base_new());
    if (!daemon->event_base) {
        ZOR_LOG("Failed to malloc event base");
        return ZOR_ERR_NO_MEMORY;
    }
    if (zor_timer_mgr_start(daemon) != ZOR_OK) {
        ZOR_LOG("Failed to initialize timer manager");
        return ZOR_ERR_NO_MEMORY;
    }
    t_zor_context *ctx = zor_context_init(daemon, 1);
    if (ctx == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    g_zor_context = ctx;

    daemon->tloc_index_bitmap = static_cast<uint8_t *>(zor_mem_calloc(1, ZOR_BITMAP_BYTES, ZOR_MEM_UNKNOWN));
    daemon->link_label_bitmap = static_cast<uint8_t *>(zor_mem_calloc(1, ZOR_BITMAP_BYTES, ZOR_MEM_UNKNOWN));
    if (daemon->tloc_index_bitmap == nullptr || daemon->link_label_bitmap == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    zor_bitmap_set(daemon->tloc_index_bitmap, 32766);
    zor_bitmap_set(daemon->tloc_index_bitmap, 32767);
    zor_bitmap_set(daemon->tloc_index_bitmap, 0);

    char pid_path[MONIT_PIDFILE_MAX];
    zor_daemon_pid_path(daemon, pid_path, sizeof(pid_path));
    monit_watchdog_start(&daemon->watchdog, daemon->timer_mgr, pid_path);
    return ZOR_OK;
}

void zor_daemon_free(t_zor_daemon *daemon)
{
    if (daemon == nullptr) {
        return;
    }
    if (daemon->watchdog.flags & MONIT_FLAG_STARTED) {
        monit_watchdog_stop(&daemon->watchdog);
    }
    char pid_path[MONIT_PIDFILE_MAX];
    zor_daemon_pid_path(daemon, pid_path, sizeof(pid_path));
    if (daemon->pid_file_written) {
        unlink(pid_path);
        daemon->pid_file_written = 0;
    }
    // The pid file goes before the lock: the next zord may take the lock at
    // once and write its own.
    monit_pidfile_unlock(g_instance_lock_fd, pid_path);
    g_instance_lock_fd = -1;
    zor_confd_free(daemon);
    zor_context_free(g_zor_context);
    // Start-up may have failed before the context existed.
    zor_daemon_release_loop(daemon);
    if (g_zor_daemon == daemon) {
        g_zor_daemon = nullptr;
    }
    zor_mem_delete(daemon);
    ost_log_close();
}

void zor_daemon_yield(t_zor_context *ctx)
{
    t_zor_daemon *daemon = ctx->daemon;
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timeval diff;
    diff.tv_sec = now.tv_sec - daemon->last_yield.tv_sec;
    diff.tv_usec = now.tv_usec - daemon->last_yield.tv_usec;
    if (diff.tv_usec < 0) {
        diff.tv_sec--;
        diff.tv_usec += 1000000;
    }
    if (diff.tv_sec > daemon->longest_gap.tv_sec) {
        daemon->longest_gap = diff;
    }
    if (diff.tv_sec > 1) {
        daemon->last_yield = now;
        (void)timer_mgr_exec(daemon->timer_mgr, 2, ZOR_YIELD_BUDGET_MS);
    }
}

// zor_daemon_main is the body of main, kept apart so that tests can drive
// it; its lines carry main's name as their function.
#define ZOR_MAIN_LOG(fmt, ...) OST_LOGF_AS(ZOR_LOG_PRI, "main", fmt __VA_OPT__(, ) __VA_ARGS__)

int zor_daemon_main(int argc, char **argv)
{
    // The foreground flag is looked for before the command line is parsed so
    // that the Starting line is mirrored to stderr as well.
    bool foreground = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-f") == 0) {
            foreground = true;
        }
    }
    ost_log_open(ZOR_SYSLOG_IDENT, LOG_PID | LOG_NDELAY, LOG_LOCAL7, foreground);
    zor_log_host_line(k_start_msg_id, "Starting");

    t_zor_daemon *zd = nullptr;
    if (zor_daemon_alloc(&zd) != 0) {
        printf("Failed to alloc zord daemon memory\n");
        return -1;
    }
    if (zor_get_input_params(zd, argc, argv) != 0) {
        ZOR_MAIN_LOG("Failed to parse zor input parameters");
        zor_mem_delete(zd);
        return 1;
    }
    // What would stop a detached daemon unseen is checked while the person
    // who started it still has its stderr and its exit status.
    if (!zor_daemon_claim(zd)) {
        zor_mem_delete(zd);
        return 1;
    }
    char sock_path[256];
    if (int err = msgq_server_prebind(zd->instance, sock_path, sizeof(sock_path)); err != 0) {
        zor_refuse_start("cannot listen on %s: %s", sock_path, strerror(err));
        char pid_path[MONIT_PIDFILE_MAX];
        zor_daemon_pid_path(zd, pid_path, sizeof(pid_path));
        monit_pidfile_unlock(g_instance_lock_fd, pid_path);
        zor_mem_delete(zd);
        return 1;
    }
    zor_daemon_accept_policy(zd);
    if (zd->daemonize && daemon(0, 0) != 0) {
        ZOR_MAIN_LOG("Failed to daemonize process: %s", strerror(errno));
        exit(-1);
    }
    monit_pidfile_lock_set_pid(g_instance_lock_fd, static_cast<long>(getpid()));
    if (zor_daemon_init(zd) != 0) {
        ZOR_MAIN_LOG("Failed to initalize daemon");
        zor_daemon_free(zd);
        return 2;
    }

    // The agent may be away: the module then retries on its own, and zord
    // runs without it until it comes.
    (void)zor_confd_init(zd);

    zor_signals_init();
    // The pid file is written by the first callback of the loop, so a
    // supervisor (or a test) that sees it may signal the daemon at once:
    // SIGUSR2 breaks a running loop, while a break asked for before the
    // loop starts would be forgotten when it starts.
    struct timeval at_once = {0, 0};
    if (event_base_once(zd->event_base.get(), -1, EV_TIMEOUT, zor_pid_file_cb, zd, &at_once) != 0) {
        zor_daemon_write_pid_file(zd);
    }
    if (g_zor_debug > 0) {
        ZOR_MAIN_LOG("Waiting for events");
    }
    event_base_dispatch(zd->event_base.get());

    zor_log_host_line(k_stop_msg_id, "Terminating");
    zor_daemon_free(zd);
    return 0;
}
