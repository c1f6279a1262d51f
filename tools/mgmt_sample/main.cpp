// mgmt-sample-daemon: a small daemon on the agent's client library. It
// subscribes to its configuration, refuses a forbidden value in a two-phase
// subscriber, serves operational data, an action and a command, and prints
// one line per event on stdout (sample.h lists them).
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <unistd.h>

#include "confd_hash.h"
#include "confd_maapi.h"
#include "sample.h"

sample_daemon g_sample;

namespace {

const char usage[] =
    "Usage: mgmt-sample-daemon [--parts LIST] [--hang-command] [--hang-data] [--name NAME]\n"
    "\n"
    "Joins the management agent (127.0.0.1, port MGMTD_PORT or 4565) and prints one\n"
    "line per event it receives on stdout; \"ready\" once everything is registered\n"
    "(and the configuration at its subscriptions is in).\n"
    "\n"
    "  --parts LIST    comma-separated parts to run (default all):\n"
    "                  subs      /sample/first at priority 1, /sample/second at 2,\n"
    "                            deletions of /sample/first at 3; at start the daemon\n"
    "                            is given the configuration there (\"(trigger)\" lines)\n"
    "                  twophase  a two-phase subscriber that refuses /sample/forbidden\n"
    "                  action    the action point sample-action (count, note, fail;\n"
    "                            its result: reply)\n"
    "                  command   the command point sample-show (--lines=N, fail)\n"
    "                  data      the callpoints sample-groups and sample-members\n"
    "  --hang-command  block for good inside the command callback\n"
    "  --hang-data     block for good inside the data callbacks\n"
    "  --name NAME     the daemon's name towards the agent (default mgmt-sample)\n";

bool parse_parts(const std::string &list, sample_options &o)
{
    o.subs = o.twophase = o.action = o.command = o.data = false;
    std::stringstream ss(list);
    std::string part;
    while (std::getline(ss, part, ',')) {
        if (part == "subs") {
            o.subs = true;
        } else if (part == "twophase") {
            o.twophase = true;
        } else if (part == "action") {
            o.action = true;
        } else if (part == "command") {
            o.command = true;
        } else if (part == "data") {
            o.data = true;
        } else {
            fprintf(stderr, "mgmt-sample-daemon: unknown part %s\n", part.c_str());
            return false;
        }
    }
    return true;
}

// 0 to go on, else the exit status.
int parse_args(int argc, char **argv, sample_options &o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help") {
            fputs(usage, stdout);
            return -1;
        }
        if (a == "--hang-command") {
            o.hang_command = true;
        } else if (a == "--hang-data") {
            o.hang_data = true;
        } else if ((a == "--parts" || a == "--name") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--name") {
                o.name = v;
            } else if (!parse_parts(v, o)) {
                return 2;
            }
        } else {
            fprintf(stderr, "mgmt-sample-daemon: bad argument %s\n%s", a.c_str(), usage);
            return 2;
        }
    }
    return 0;
}

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "%s: %s: %s (%s)\n", g_sample.opt.name.c_str(), what, confd_lasterr(),
            confd_strerror(confd_errno));
    exit(3);
}

int new_socket()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fprintf(stderr, "mgmt-sample-daemon: socket: %s\n", strerror(errno));
        exit(3);
    }
    return s;
}

void on_term(int)
{
    _exit(0);
}

void setup()
{
    sample_daemon &s = g_sample;
    sockaddr_in addr{};
    socklen_t len = confd_agent_addr(&addr);
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    confd_init(s.opt.name.c_str(), stderr, CONFD_SILENT);
    // Names in the printed paths; without the schema they print as numbers.
    if (confd_load_schemas(sa, static_cast<int>(len)) != CONFD_OK) {
        fprintf(stderr, "%s: no schema: %s\n", s.opt.name.c_str(), confd_lasterr());
    }
    s.dx = confd_init_daemon(s.opt.name.c_str());
    if (s.dx == nullptr) {
        die("daemon handle");
    }
    s.ctl = new_socket();
    s.worker = new_socket();
    s.maapi = new_socket();
    if (confd_connect(s.dx, s.ctl, CONTROL_SOCKET, sa, static_cast<int>(len)) != CONFD_OK ||
        confd_connect(s.dx, s.worker, WORKER_SOCKET, sa, static_cast<int>(len)) != CONFD_OK) {
        die("connect");
    }
    if (maapi_connect(s.maapi, sa, static_cast<int>(len)) != CONFD_OK) {
        die("MAAPI connect");
    }
    if (sample_register_callbacks() != CONFD_OK) {
        die("registration");
    }
    if (s.opt.subs || s.opt.twophase) {
        s.sub = new_socket();
        if (cdb_connect(s.sub, CDB_SUBSCRIPTION_SOCKET, sa, static_cast<int>(len)) != CONFD_OK ||
            sample_subscribe() != CONFD_OK) {
            die("subscription");
        }
    }
}

}  // namespace

uint32_t sample_ns()
{
    return mgmt_name_hash("urn:ostrana:mgmt-sample");
}

void emit(const char *fmt, ...)
{
    // The start-up read prints from a thread of its own: lines stay whole.
    static std::mutex mu;
    std::lock_guard<std::mutex> hold(mu);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
    fputc('\n', stdout);
    fflush(stdout);
}

void hang(const char *where)
{
    emit("hanging in %s", where);
    for (;;) {
        pause();
    }
}

int main(int argc, char **argv)
{
    int r = parse_args(argc, argv, g_sample.opt);
    if (r != 0) {
        return r < 0 ? 0 : r;
    }
    signal(SIGTERM, on_term);
    signal(SIGPIPE, SIG_IGN);
    setup();
    sample_daemon &s = g_sample;
    if (s.sub >= 0) {
        sample_read_configuration();  // "ready" once the configuration is in
    } else {
        emit("ready");
    }

    for (;;) {
        pollfd fds[3] = {{s.ctl, POLLIN, 0}, {s.worker, POLLIN, 0}, {s.sub, POLLIN, 0}};
        int n = poll(fds, s.sub >= 0 ? 3 : 2, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "%s: poll: %s\n", s.opt.name.c_str(), strerror(errno));
            return 3;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].revents == 0) {
                continue;
            }
            r = confd_fd_ready(s.dx, fds[i].fd);
            if (r == CONFD_EOF) {
                fprintf(stderr, "%s: the agent closed the connection\n", s.opt.name.c_str());
                return 1;
            }
            // A callback that failed has told the agent; anything else is fatal.
            if (r == CONFD_ERR && confd_errno != CONFD_ERR_EXTERNAL) {
                die("request");
            }
        }
        if (s.sub >= 0 && fds[2].revents != 0) {
            r = sample_sub_ready();
            if (r == CONFD_EOF) {
                fprintf(stderr, "%s: the agent closed the connection\n", s.opt.name.c_str());
                return 1;
            }
            if (r != CONFD_OK) {
                die("subscription");
            }
        }
    }
}
