// The sample daemon's configuration subscribers: each notification becomes
// one line with every change of the diff; the two-phase subscriber refuses
// any value of /sample/forbidden.
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "sample.h"

namespace {

struct diff_text {
    std::vector<std::string> items;
    bool deletes_only = false;
    bool forbidden_set = false;
};

const char *op_word(cdb_iter_op op)
{
    switch (op) {
    case MOP_CREATED:
        return "created";
    case MOP_DELETED:
        return "deleted";
    case MOP_MODIFIED:
        return "modified";
    case MOP_VALUE_SET:
        return "set";
    case MOP_MOVED_AFTER:
        return "moved";
    case MOP_ATTR_SET:
        return "attr";
    }
    return "?";
}

// A leaf's value as the CLI shows it: enum labels when the schema knows the leaf.
std::string value_text(confd_hkeypath_t *kp, const confd_value_t *v)
{
    char buf[512];
    confd_cs_node *node = confd_find_cs_node(kp, kp->len);
    if (node != nullptr && node->info.type != nullptr) {
        if (confd_val2str(node->info.type, v, buf, sizeof(buf)) >= 0) {
            return buf;
        }
    }
    return confd_pp_value(buf, sizeof(buf), v) >= 0 ? buf : "?";
}

cdb_iter_ret collect(confd_hkeypath_t *kp, cdb_iter_op op, confd_value_t *, confd_value_t *newv, void *state)
{
    auto *d = static_cast<diff_text *>(state);
    if (op == MOP_VALUE_SET || op == MOP_CREATED) {
        d->forbidden_set = true;
    }
    if (d->deletes_only && op != MOP_DELETED) {
        return ITER_RECURSE;
    }
    char path[1024];
    confd_pp_kpath(path, sizeof(path), kp);
    std::string item = std::string(op_word(op)) + " " + path;
    if (newv != nullptr && op == MOP_VALUE_SET) {
        item += "=" + value_text(kp, newv);
    }
    d->items.push_back(item);
    return ITER_RECURSE;
}

const char *point_name(int point)
{
    const sample_daemon &s = g_sample;
    if (point == s.point_first) {
        return "first";
    }
    if (point == s.point_second) {
        return "second";
    }
    if (point == s.point_first_del) {
        return "first-deletes";
    }
    if (point == s.point_forbidden) {
        return "forbidden";
    }
    return "unknown";
}

std::string joined(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &i : items) {
        out += out.empty() ? "" : "; ";
        out += i;
    }
    return out;
}

int diff_of(int point, diff_text &d)
{
    d.deletes_only = point == g_sample.point_first_del;
    if (cdb_diff_iterate(g_sample.sub, point, collect, ITER_WANT_PREV, &d) != CONFD_OK) {
        fprintf(stderr, "%s: diff of point %d: %s\n", g_sample.opt.name.c_str(), point, confd_lasterr());
        return CONFD_ERR;
    }
    return CONFD_OK;
}

}  // namespace

int sample_subscribe()
{
    sample_daemon &s = g_sample;
    const uint32_t ns = sample_ns();
    if (s.opt.subs) {
        if (cdb_subscribe(s.sub, 1, static_cast<int>(ns), &s.point_first, "/sample/first") != CONFD_OK ||
            cdb_subscribe(s.sub, 2, static_cast<int>(ns), &s.point_second, "/sample/second") != CONFD_OK ||
            cdb_subscribe(s.sub, 3, static_cast<int>(ns), &s.point_first_del, "/sample/first") != CONFD_OK) {
            return CONFD_ERR;
        }
    }
    if (s.opt.twophase && cdb_subscribe2(s.sub, CDB_SUB_RUNNING_TWOPHASE, 0, 0, &s.point_forbidden,
                                         static_cast<int>(ns), "/sample/forbidden") != CONFD_OK) {
        return CONFD_ERR;
    }
    return cdb_subscribe_done(s.sub);
}

void sample_read_configuration()
{
    std::thread([] {
        sockaddr_in addr{};
        const socklen_t len = confd_agent_addr(&addr);
        const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0 ||
            cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&addr), static_cast<int>(len)) !=
                CONFD_OK ||
            cdb_trigger_subscriptions(sock, nullptr, 0) != CONFD_OK) {
            fprintf(stderr, "%s: no configuration read at start: %s\n", g_sample.opt.name.c_str(),
                    confd_lasterr());
        }
        if (sock >= 0) {
            cdb_close(sock);
        }
        emit("ready");
    }).detach();
}

int sample_sub_ready()
{
    sample_daemon &s = g_sample;
    cdb_sub_notification type{};
    int flags = 0, *points = nullptr, n = 0;
    int r = cdb_read_subscription_socket2(s.sub, &type, &flags, &points, &n);
    if (r != CONFD_OK) {
        return r;
    }
    std::vector<int> pts(points, points + n);
    free(points);
    const char *trigger = (flags & CDB_SUB_FLAG_TRIGGER) != 0 ? " (trigger)" : "";

    if (type == CDB_SUB_ABORT) {
        for (int p : pts) {
            emit("abort %s", point_name(p));
        }
        return cdb_sync_subscription_socket(s.sub, CDB_DONE_PRIORITY);
    }
    bool refuse = false;
    for (int p : pts) {
        diff_text d;
        if (diff_of(p, d) != CONFD_OK) {
            break;
        }
        if (type == CDB_SUB_PREPARE) {
            emit("prepare %s%s: %s", point_name(p), trigger, joined(d.items).c_str());
            refuse = refuse || (p == s.point_forbidden && d.forbidden_set);
        } else if (!d.items.empty()) {
            // Nothing to say for a point with no change: a deletion
            // subscriber on a creation, any point of a trigger that has
            // no configuration below it.
            emit("commit %s%s: %s", point_name(p), trigger, joined(d.items).c_str());
        }
    }
    if (refuse) {
        emit("refused forbidden: Unable to apply changes");
        return cdb_sub_abort_trans(s.sub, CONFD_ERR_INCONSISTENT_VALUE, 0, 0, "Unable to apply changes");
    }
    return cdb_sync_subscription_socket(s.sub, CDB_DONE_PRIORITY);
}
