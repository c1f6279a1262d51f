// Subscription notifications, on the loop: which entries a notification is
// for, the changes each gets (all at once, or node by node with its list
// keys), the two-phase refusal, and the sync that lets the agent go on.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/time.h>
#include <vector>

#include "oconfd_internal.h"

namespace {

// An entry with a delete subscription of its own (its priority in the high
// nibble) gets deletions there and everything else on its add point.
bool has_del_sub(const struct oconfd_sub_entry *e)
{
    return (e->priorities >> 4) != 0 && (e->flags & (OCONFD_SUB_OPER | OCONFD_SUB_TWO_PHASE)) == 0;
}

bool is_marker(enum confd_vtype t)
{
    return t == C_XMLBEGIN || t == C_XMLEND || t == C_XMLBEGINDEL;
}

// The keys of every list instance on kp, outermost first. -1 past cap.
int gather_keys(const confd_hkeypath_t *kp, confd_value_t *out, int cap)
{
    int n = 0;
    for (int i = kp->len - 1; i >= 0; --i) {
        const confd_value_t *elem = kp->v[i];
        if (elem[0].type == C_XMLTAG) {
            continue;
        }
        for (int k = 0; k < MAXKEYLEN && elem[k].type != C_NOEXISTS; ++k) {
            if (n == cap) {
                return -1;
            }
            out[n++] = elem[k];
        }
    }
    return n;
}

struct tag_values_deleter {
    int n;
    void operator()(confd_tag_value_t *tv) const
    {
        for (int i = 0; i < n; ++i) {
            confd_free_value(&tv[i].v);
        }
        free(tv);
    }
};
using tag_values_ptr = std::unique_ptr<confd_tag_value_t, tag_values_deleter>;

struct iter_state {
    struct oconfd_sub_entry *entry;
    int sock;
    bool is_del;
    bool failed;
};

// What the delete and the add subscription of one entry each see: the
// delete side only deletions (and the markers around them), the add side
// everything else. *applicable: something besides begin/end markers is left.
std::vector<confd_tag_value_t> filter_values(const confd_tag_value_t *vals, int n, bool is_del, bool *applicable)
{
    std::vector<confd_tag_value_t> out;
    *applicable = false;
    for (int i = 0; i < n; ++i) {
        enum confd_vtype t = vals[i].v.type;
        bool keep = is_del ? (t == C_NOEXISTS || is_marker(t)) : t != C_NOEXISTS;
        if (keep) {
            out.push_back(vals[i]);
            if (t != C_XMLBEGIN && t != C_XMLEND) {
                *applicable = true;
            }
        }
    }
    return out;
}

// Calls the entry's callback for one changed node with the keys of every
// list instance on its path, outermost first; their number must be the
// entry's key count. A failure marks the entry and stops the iteration.
enum cdb_iter_ret deliver(iter_state *st, const confd_hkeypath_t *kp, const char *path, enum cdb_iter_op op,
                          int num_values, confd_tag_value_t *values)
{
    struct oconfd_sub_entry *e = st->entry;
    confd_value_t keys[MAXDEPTH];
    int nkeys = 0;
    if (e->num_keys > 0) {
        nkeys = gather_keys(kp, keys, MAXDEPTH);
        if (nkeys != e->num_keys) {
            OCONFD_LOG("Keys of %s: %d found, %d expected", path, nkeys, e->num_keys);
            return ITER_CONTINUE;
        }
    }
    int rc = e->callback(e, op, nkeys, keys, num_values, values);
    if (rc != 0) {
        e->flags |= OCONFD_SUB_CB_FAILED;
        OCONFD_LOG("Config callback failed (%s - %d) : %s", path, rc, e->path);
        st->failed = true;
        return ITER_STOP;
    }
    e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_CB_FAILED);
    return ITER_CONTINUE;
}

enum cdb_iter_ret sub_diff_iter_body(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *newv, void *arg)
{
    auto *st = static_cast<iter_state *>(arg);
    struct oconfd_sub_entry *e = st->entry;
    char path[1024];
    confd_pp_kpath(path, sizeof(path), kp);
    OCONFD_LOGV("iter: Path buffer: %s, oper: %d", path, static_cast<int>(op));

    if (op == MOP_VALUE_SET && !st->is_del) {
        confd_tag_value_t tv{};
        tv.tag = kp->v[0][0].val.xmltag;
        if (newv != nullptr) {
            tv.v = *newv;
        } else {
            tv.v.type = C_NOEXISTS;
        }
        return deliver(st, kp, path, op, 1, &tv);
    }
    if (op == MOP_DELETED) {
        if (has_del_sub(e) && !st->is_del) {
            OCONFD_LOGV("Delete suppressed in add subscription (%s)", path);
            return ITER_CONTINUE;
        }
        return deliver(st, kp, path, op, 0, nullptr);
    }
    confd_tag_value_t *raw = nullptr;
    int n = 0;
    if (cdb_get_modifications_iter(st->sock, CDB_GET_MODS_INCLUDE_LISTS, &raw, &n) != CONFD_OK) {
        raw = nullptr;
        n = 0;
    }
    tag_values_ptr vals(raw, tag_values_deleter{n});
    if (n == 0) {
        OCONFD_LOG("Received zero modifications (%s), sub_socket: %d", path, st->sock);
        return ITER_CONTINUE;
    }
    if (!has_del_sub(e)) {
        return deliver(st, kp, path, op, n, vals.get());
    }
    bool applicable = false;
    std::vector<confd_tag_value_t> kept = filter_values(vals.get(), n, st->is_del, &applicable);
    if (!applicable) {
        OCONFD_LOG("Received zero applicable modifications (%s)", path);
        return ITER_CONTINUE;
    }
    return deliver(st, kp, path, op, static_cast<int>(kept.size()), kept.data());
}

// The library's iteration callback: nothing may be thrown through it.
enum cdb_iter_ret sub_diff_iter(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t * /*oldv*/,
                                confd_value_t *newv, void *arg)
{
    try {
        return sub_diff_iter_body(kp, op, newv, arg);
    } catch (const std::bad_alloc &) {
        auto *st = static_cast<iter_state *>(arg);
        OCONFD_LOG("Out of memory delivering %s", st->entry->path);
        st->entry->flags |= OCONFD_SUB_CB_FAILED;
        st->failed = true;
        return ITER_STOP;
    }
}

enum class outcome { done, skipped, closed, aborted };

bool closed_error(int rc)
{
    return rc == CONFD_EOF || confd_errno == CONFD_ERR_EOF;
}

// Delivers one notification's changes under one point of the entry.
outcome process_entry(struct oconfd_ctx *ctx, struct oconfd_sub_entry *e, bool is_del,
                      enum cdb_sub_notification type, int flags)
{
    gettimeofday(&e->received, nullptr);
    if ((e->flags & OCONFD_SUB_INIT_READ_DONE) == 0) {
        // Before the initial read the entry has seen nothing to change.
        if ((flags & CDB_SUB_FLAG_TRIGGER) == 0) {
            return outcome::skipped;
        }
        e->flags |= OCONFD_SUB_INIT_READ_DONE;
    }
    e->flags |= OCONFD_SUB_IN_PROGRESS;
    if ((e->flags & OCONFD_SUB_TWO_PHASE) != 0) {
        if (type == CDB_SUB_OPER) {
            OCONFD_FATAL("Two phase sub for Oper data");
        }
        if (type != CDB_SUB_PREPARE) {
            e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_IN_PROGRESS);
            return outcome::skipped;
        }
    }
    const char *kind = is_del ? "DEL" : "ADD";
    OCONFD_LOGV("Received %s subscription %s", kind, e->path);
    int point = static_cast<int>(is_del ? e->del_point : e->add_point);
    bool failed = false;
    if (e->num_keys == 0) {
        confd_tag_value_t *raw = nullptr;
        int n = 0;
        int rc = cdb_get_modifications(ctx->sub_sock, point, CDB_GET_MODS_INCLUDE_LISTS, &raw, &n, nullptr);
        if (rc != CONFD_OK) {
            if (closed_error(rc)) {
                return outcome::closed;
            }
            OCONFD_FATAL("Error iterating subscription (%s: %d). Unexpected type %d", confd_strerror(confd_errno),
                         confd_errno, static_cast<int>(type));
        }
        tag_values_ptr vals(raw, tag_values_deleter{n});
        failed = e->callback(e, MOP_MODIFIED, 0, nullptr, n, vals.get()) != 0;
        if (failed) {
            e->flags |= OCONFD_SUB_CB_FAILED;
        } else {
            e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_CB_FAILED);
        }
    } else {
        iter_state st{e, ctx->sub_sock, is_del, false};
        int rc = cdb_diff_iterate(ctx->sub_sock, point, sub_diff_iter, ITER_WANT_P_CONTAINER, &st);
        if (rc != CONFD_OK && !st.failed) {
            if (closed_error(rc)) {
                return outcome::closed;
            }
            OCONFD_FATAL("Error iterating subscription (%s: %d). Unexpected type %d", confd_strerror(confd_errno),
                         confd_errno, static_cast<int>(type));
        }
        failed = st.failed;
    }
    if (failed) {
        if (type != CDB_SUB_PREPARE) {
            OCONFD_FATAL("Error iterating subscription (%s - %d)", confd_strerror(confd_errno), confd_errno);
        }
        OCONFD_LOG("Aborting transaction");
        if (cdb_sub_abort_trans(ctx->sub_sock, CONFD_ERR_EXTERNAL, 0, 0, "Unable to apply changes") != CONFD_OK) {
            OCONFD_LOG("Failed to abort the transaction (%s - %d)", confd_strerror(confd_errno), confd_errno);
        }
        e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_IN_PROGRESS);
        return outcome::aborted;
    }
    e->flags = static_cast<uint8_t>(e->flags & ~OCONFD_SUB_IN_PROGRESS);
    gettimeofday(&e->done, nullptr);
    OCONFD_LOGV("Success %s subscription %s", kind, e->path);
    return outcome::done;
}

}  // namespace

namespace {

void sub_handle(struct oconfd_ctx *ctx, evutil_socket_t fd)
{
    enum cdb_sub_notification type = CDB_SUB_COMMIT;
    int flags = 0;
    int *raw_points = nullptr;
    int n = 0;
    int rc = cdb_read_subscription_socket2(fd, &type, &flags, &raw_points, &n);
    if (rc != CONFD_OK) {
        if (closed_error(rc)) {
            OCONFD_LOG("Subscription socket closed");
            oconfd_retry_connect(ctx);
        } else {
            OCONFD_LOG("Failed to read ConfD subscription (%s - %d)%s (%d) : %s", OCONFD_ERR_ARGS);
        }
        return;
    }
    std::unique_ptr<int, decltype(&free)> points(raw_points, &free);
    OCONFD_LOGV("Received %u subscriptions (type:%u, flags:%u)", static_cast<unsigned>(n),
                static_cast<unsigned>(type), static_cast<unsigned>(flags));
    if (ctx->module.sub_sock_timeout != 0) {
        (void)cdb_set_timeout(fd, static_cast<int>(ctx->module.sub_sock_timeout));
        OCONFD_LOGV("Set subscription socket timeout to %d secs", static_cast<int>(ctx->module.sub_sock_timeout));
    }
    bool progress = n > 0 && ctx->initial_read_point >= 0 && points.get()[0] == ctx->initial_read_point;
    if (progress) {
        // Another module's (or this one's) initial-read bit moved.
        if (oconfd_can_read_initial_config(ctx) != 0 && oconfd_read_sub_config_all(ctx) != 0) {
            OCONFD_FATAL("Cannot start initial read");
        }
    } else {
        std::vector<bool> read(static_cast<size_t>(n), false);
        bool stop = false;
        oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *e) {
            if ((e->flags & OCONFD_SUB_SUBSCRIBED) == 0) {
                return true;
            }
            for (int i = 0; i < n && !stop; ++i) {
                int p = points.get()[i];
                bool is_add = p == static_cast<int>(e->add_point);
                bool is_del = !is_add && has_del_sub(e) && p == static_cast<int>(e->del_point);
                if (!is_add && !is_del) {
                    continue;
                }
                read[static_cast<size_t>(i)] = true;
                outcome o = process_entry(ctx, e, is_del, type, flags);
                if (o == outcome::closed) {
                    OCONFD_LOG("Subscription socket closed");
                    oconfd_retry_connect(ctx);
                    stop = true;
                } else if (o == outcome::aborted) {
                    stop = true;
                }
            }
            return !stop;
        });
        if (stop) {
            return;
        }
        int unread = 0;
        for (bool r : read) {
            unread += r ? 0 : 1;
        }
        if (unread != 0) {
            OCONFD_FATAL("Not all subscription points (%d) read", unread);
        }
        if (ctx->module.subs_processed != nullptr) {
            ctx->module.subs_processed(ctx, (flags & CDB_SUB_FLAG_TRIGGER) != 0 ? 1 : 0);
        }
    }
    if (cdb_sync_subscription_socket(fd, CDB_DONE_PRIORITY) != CONFD_OK) {
        OCONFD_LOG("Failed to sync subscription (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return;
    }
    OCONFD_LOGV("Sync subscription from %s succeeded", oconfd_module_name(&ctx->module));
}

}  // namespace

void oconfd_sub_handler(evutil_socket_t fd, short /*what*/, void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    try {
        sub_handle(ctx, fd);
    } catch (const std::bad_alloc &) {
        // Left unsynchronised: the agent gives up on this subscriber and
        // closes its socket, and the module reconnects.
        OCONFD_LOG("Out of memory handling a subscription notification");
    }
}
