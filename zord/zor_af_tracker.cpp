#include "zor_af_tracker.h"

#include <cstring>

#include "confd_maapi.h"
#include "zor_af_base.h"

namespace {

t_zor_af_tracker *rec(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_tracker *>(entry->record);
}

// Name, then attach point, each as text over at most 325 characters, then
// the VPN id as an unsigned number.
int zor_af_tracker_cmp(const void *a, const void *b)
{
    const t_zor_af_tracker *x = rec(static_cast<const t_zor_db_entry *>(a));
    const t_zor_af_tracker *y = rec(static_cast<const t_zor_db_entry *>(b));
    int rc = strncmp(x->name, y->name, sizeof(x->name));
    if (rc != 0) {
        return rc;
    }
    rc = strncmp(x->attach_point, y->attach_point, sizeof(x->attach_point));
    if (rc != 0) {
        return rc;
    }
    if (x->vpn_id != y->vpn_id) {
        return x->vpn_id < y->vpn_id ? -1 : 1;
    }
    return 0;
}

// A bounded copy that always terminates: a message field holds up to 326
// characters, possibly without a terminator; at most 324 reach the record.
void zor_af_tracker_text_copy(char *dst, const char *src, size_t src_size)
{
    size_t n = strnlen(src, src_size);
    if (n > ZOR_TRACKER_NAME_MAX) {
        n = ZOR_TRACKER_NAME_MAX;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void zor_af_tracker_key_from_msg(t_zor_af_tracker *r, const zor_msg_tracker_t &body)
{
    zor_af_tracker_text_copy(r->name, body.name, sizeof(body.name));
    zor_af_tracker_text_copy(r->attach_point, body.attach_point, sizeof(body.attach_point));
    r->vpn_id = body.vpn_id;
}

}  // namespace

t_zor_db_entry *zor_af_tracker_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    // The probe is large (two 325-byte texts): one per call on the stack.
    t_zor_af_tracker probe{};
    zor_af_tracker_key_from_msg(&probe, msg->body.tracker);
    return zor_af_base_find(af, ctx, &probe, where);
}

t_zor_db_entry *zor_af_tracker_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_af_tracker_find(af, ctx, msg, &where);
    if (entry == nullptr) {
        const zor_msg_tracker_t &body = msg->body.tracker;
        t_zor_af_tracker *r = zor_mem_new<t_zor_af_tracker>();
        if (r == nullptr) {
            return nullptr;
        }
        zor_af_tracker_key_from_msg(r, body);
        r->opaque1 = body.opaque1;
        r->status = body.status;
        r->opaque2 = body.opaque2;
        memcpy(r->opaque, body.opaque, sizeof(r->opaque));
        entry = zor_af_base_entry_insert(af, ctx, client, r, where);
        if (entry == nullptr) {
            zor_mem_delete(r);
            return nullptr;
        }
        r->entry = entry;
    }
    // A repeated add changes nothing stored but is sent again.
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

void zor_af_tracker_status_msg(zor_af_t af, t_zor_context *ctx, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_af_tracker_find(af, ctx, msg, nullptr);
    if (entry == nullptr || rec(entry)->status == msg->body.tracker.status) {
        return;
    }
    rec(entry)->status = msg->body.tracker.status;
    zor_db_entry_schedule(ctx, entry);
}

void zor_af_tracker_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    const t_zor_af_tracker *r = rec(entry);
    zor_msg_tracker_t &body = msg->body.tracker;
    static_assert(sizeof(body.name) > sizeof(r->name) && sizeof(body.attach_point) > sizeof(r->attach_point));
    memcpy(body.name, r->name, sizeof(r->name));
    memcpy(body.attach_point, r->attach_point, sizeof(r->attach_point));
    body.name[sizeof(r->name)] = '\0';
    body.attach_point[sizeof(r->attach_point)] = '\0';
    body.vpn_id = r->vpn_id;
    body.opaque1 = r->opaque1;
    body.status = is_delete ? 0 : r->status;
    body.opaque2 = r->opaque2;
    memcpy(body.opaque, r->opaque, sizeof(body.opaque));
}

void zor_af_tracker_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_tracker *r = rec(entry);
    char clients[512];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Name: %s Attach-Point: %s VPN Id : %ld Status: %s\n", r->name,
                     r->attach_point, static_cast<long>(r->vpn_id), r->status == 1 ? "Up" : "Down");
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Advertised to: %s\n\n",
                     zor_db_entry_clients_str(ctx, entry, clients, sizeof(clients)));
}

int zor_dump_tracker(confd_user_info *uinfo, char * /*path*/, int /*argc*/, char ** /*argv*/)
{
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr) {
        maapi_cli_printf(uinfo->msock, uinfo->usid, "ZOR context not UP");
        return CONFD_OK;
    }
    // The walk holds no position in the tree across a yield: each step
    // looks up the next greater key than the last one shown, so trackers
    // that come or go meanwhile never leave it on a stale node.
    t_zor_af_tracker last{};
    t_zor_db_entry probe{};
    probe.family = ZOR_AF_TRACKER;
    probe.record = &last;
    for (;;) {
        avl_tree_t *tree = ctx->trees[ZOR_AF_TRACKER];
        if (tree == nullptr) {
            break;
        }
        auto *entry = static_cast<t_zor_db_entry *>(avl_find_next(tree, &probe));
        if (entry == nullptr) {
            break;
        }
        zor_af_show(ZOR_AF_TRACKER, ctx, entry, uinfo);
        last = *rec(entry);
        last.entry = nullptr;
        zor_daemon_yield(ctx);
    }
    return CONFD_OK;
}

const zor_af_ops_t k_zor_af_tracker_ops = {
    nullptr,
    zor_af_tracker_add,
    zor_af_base_withdraw_owned,
    zor_af_base_delete,
    zor_af_tracker_find,
    zor_af_base_tree_create_by<zor_af_tracker_cmp>,
    zor_af_base_tree_destroy,
    zor_af_base_record_free<t_zor_af_tracker>,
    zor_af_tracker_fill_msg,
    zor_af_tracker_show,
    zor_af_base_show_all,
};
