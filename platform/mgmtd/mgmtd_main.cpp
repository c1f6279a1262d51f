// mgmtd: the management agent.
//
//   mgmtd [-f] [--port N] [--db-dir DIR] [--start-phase0] [--ipc-secret FILE]
//         [--yang-dir DIR] [--reply-timeout MS]
//
// It binds 127.0.0.1 and loads its schema and database before it detaches,
// so that a start failure is one line on stderr and exit status 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "mgmtd_agent.h"
#include "ost_log.h"

namespace {

// One line on stderr (through the log's mirror in the foreground).
int fail(const std::string &why)
{
    if (!ost_log_mirror()) {
        fprintf(stderr, "mgmtd: %s\n", why.c_str());
    }
    ost_log(LOG_ERR, "mgmtd: %s", why.c_str());
    return 1;
}

bool parse_int(const char *text, long lo, long hi, int *out)
{
    if (text == nullptr || *text == 0) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != 0 || v < lo || v > hi) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

void stop_cb(evutil_socket_t sig, short, void *arg)
{
    OST_LOGF(LOG_INFO, "signal %d: stopping", static_cast<int>(sig));
    event_base_loopbreak(static_cast<event_base *>(arg));
}

int run(int argc, char **argv)
{
    mgmtd::options opt;
    bool foreground = false;
    bool port_given = false;
    std::string secret_file;
    const char *usage =
        "usage: mgmtd [-f] [--port N] [--db-dir DIR] [--start-phase0] [--ipc-secret FILE] [--yang-dir DIR] "
        "[--reply-timeout MS]";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "-f") {
            foreground = true;
        } else if (a == "--start-phase0") {
            opt.start_phase = 0;
        } else if (a == "--port") {
            if (!parse_int(value(), 1, 65535, &opt.port)) {
                return fail("--port takes a port number 1-65535");
            }
            port_given = true;
        } else if (a == "--db-dir") {
            const char *v = value();
            if (v == nullptr || *v == 0) {
                return fail("--db-dir takes a directory");
            }
            opt.db_dir = v;
        } else if (a == "--yang-dir") {
            const char *v = value();
            if (v == nullptr || *v == 0) {
                return fail("--yang-dir takes a directory");
            }
            opt.yang_dir = v;
        } else if (a == "--ipc-secret") {
            const char *v = value();
            if (v == nullptr || *v == 0) {
                return fail("--ipc-secret takes a file");
            }
            secret_file = v;
        } else if (a == "--reply-timeout") {
            if (!parse_int(value(), 1, 3600000, &opt.reply_timeout_ms)) {
                return fail("--reply-timeout takes milliseconds 1-3600000");
            }
        } else if (a == "-h" || a == "--help") {
            printf("%s\n", usage);
            return 0;
        } else {
            return fail("unknown argument " + a + "; " + usage);
        }
    }
    if (!port_given) {
        const char *env = getenv(MGMT_ENV_PORT);
        if (env != nullptr && *env != 0 && !parse_int(env, 1, 65535, &opt.port)) {
            return fail(std::string(MGMT_ENV_PORT) + " is not a port number: " + env);
        }
    }
    if (opt.yang_dir.empty()) {
        const char *env = getenv("MGMTD_YANG_DIR");
        opt.yang_dir = env != nullptr && *env != 0 ? env : mgmtd::default_yang_dir();
    }
    ost_log_open("MGMTD", LOG_PID, LOG_DAEMON, foreground);
    if (!secret_file.empty()) {
        std::ifstream f(secret_file, std::ios::binary);
        if (!f) {
            return fail("cannot read the IPC secret file " + secret_file + ": " + strerror(errno));
        }
        std::stringstream text;
        text << f.rdbuf();
        opt.secret = text.str();
        if (opt.secret.empty()) {
            return fail("the IPC secret file " + secret_file + " is empty");
        }
        opt.has_secret = true;
    }

    mgmtd::schema schema;
    std::string err;
    if (!schema.load(opt.yang_dir, &err)) {
        return fail(err);
    }
    mgmtd::store store(schema);
    if (!store.load(opt.db_dir, &err)) {
        return fail(err);
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(std::string("cannot create a socket: ") + strerror(errno));
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(opt.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(fd, 128) != 0) {
        int e = errno;
        close(fd);
        return fail("cannot listen on 127.0.0.1:" + std::to_string(opt.port) + ": " + strerror(e));
    }

    if (!foreground) {
        pid_t pid = fork();
        if (pid < 0) {
            return fail(std::string("cannot detach: ") + strerror(errno));
        }
        if (pid > 0) {
            _exit(0);
        }
        setsid();
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) {
                close(null);
            }
        }
    }

    signal(SIGPIPE, SIG_IGN);
    event_base *base = event_base_new();
    if (base == nullptr) {
        close(fd);
        return fail("cannot create the event loop");
    }
    int rc = 0;
    {
        mgmtd::agent agent(base, schema, store, opt);
        event *term = evsignal_new(base, SIGTERM, stop_cb, base);
        event *intr = evsignal_new(base, SIGINT, stop_cb, base);
        event_add(term, nullptr);
        event_add(intr, nullptr);
        if (!agent.listen(fd)) {
            rc = fail("cannot serve the listening socket");
        } else {
            OST_LOGF(LOG_INFO, "serving 127.0.0.1:%d, start phase %d, database %s, schema %s", opt.port,
                     agent.phase(), store.file().c_str(), opt.yang_dir.c_str());
            event_base_dispatch(base);
        }
        agent.shutdown();
        event_free(term);
        event_free(intr);
    }
    event_base_free(base);
    ost_log_close();
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    return run(argc, argv);
}
