#include "zor_db.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>

#include "confd_maapi.h"
#include "ost_assert.h"
#include "ost_util.h"
#include "zor_log.h"

namespace {

// Family tables are registered at start-up by the family modules, so that a
// new family needs no change here.
const zor_af_ops_t *g_zor_af_ops[ZOR_AF_TABLE_COLUMNS];

// The table of a family, or null for an empty column. Families outside the
// table get the empty-column behaviour too: the one source of such values is
// a peer's message, which must never crash the daemon.
const zor_af_ops_t *zor_af_ops_of(zor_af_t af)
{
    return af < ZOR_AF_TABLE_COLUMNS ? g_zor_af_ops[af] : nullptr;
}

// The module name of an entry's owner: the owner is the client record in the
// context's table, so its slot gives its module id.
const char *zor_db_owner_name(const t_zor_context *ctx, const t_zor_client *owner)
{
    if (owner == nullptr) {
        return "zor";
    }
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (ctx->clients[id] == owner) {
            return ost_module_str(id);
        }
    }
    return "unknown";
}

}  // namespace

void zor_af_register(zor_af_t af, const zor_af_ops_t *ops)
{
    OST_ASSERT(af < ZOR_AF_TABLE_COLUMNS);
    g_zor_af_ops[af] = ops;
}

const zor_af_ops_t *zor_af_ops_get(zor_af_t af)
{
    return zor_af_ops_of(af);
}

bool zor_af_filter(zor_af_t af, const zor_msg_t *msg)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    return ops == nullptr || ops->filter == nullptr || ops->filter(af, msg);
}

t_zor_db_entry *zor_af_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    return ops != nullptr && ops->add != nullptr ? ops->add(af, ctx, client, msg) : nullptr;
}

void zor_af_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->withdraw != nullptr) {
        ops->withdraw(af, ctx, client, entry);
    }
}

void zor_af_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->del != nullptr) {
        ops->del(af, ctx, client, msg);
    }
}

t_zor_db_entry *zor_af_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    return ops != nullptr && ops->find != nullptr ? ops->find(af, ctx, msg, where) : nullptr;
}

int zor_af_tree_create(zor_af_t af, t_zor_context *ctx)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    return ops != nullptr && ops->tree_create != nullptr ? ops->tree_create(af, ctx) : 0;
}

void zor_af_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->tree_destroy != nullptr) {
        ops->tree_destroy(af, ctx);
    }
}

void zor_af_record_free(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->record_free != nullptr) {
        ops->record_free(af, ctx, entry);
    }
}

void zor_af_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->fill_msg != nullptr) {
        ops->fill_msg(af, entry, msg, is_delete);
    }
}

void zor_af_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->show != nullptr) {
        ops->show(af, ctx, entry, uinfo);
    }
}

void zor_af_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    const zor_af_ops_t *ops = zor_af_ops_of(af);
    if (ops != nullptr && ops->show_all != nullptr) {
        ops->show_all(af, ctx, uinfo);
    }
}

int zor_db_init(t_zor_context *ctx)
{
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        t_zor_db_list *list = zor_mem_new<t_zor_db_list>();
        if (list == nullptr) {
            zor_db_fini(ctx);
            return ZOR_ERR_NO_MEMORY;
        }
        zor_db_list_init(list);
        ctx->entry_lists[af] = list;
        if (zor_af_tree_create(af, ctx) != 0) {
            zor_db_fini(ctx);
            return ZOR_ERR_NO_MEMORY;
        }
    }
    return ZOR_OK;
}

void zor_db_fini(t_zor_context *ctx)
{
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        zor_af_tree_destroy(af, ctx);
        t_zor_db_list *list = ctx->entry_lists[af];
        if (list == nullptr) {
            continue;
        }
        while (list->first != nullptr) {
            zor_db_entry_free(ctx, list->first);
        }
        zor_mem_delete(list);
        ctx->entry_lists[af] = nullptr;
    }
}

t_zor_db_entry *zor_db_entry_alloc(zor_af_t af, t_zor_client *owner, void *record)
{
    t_zor_db_entry *entry = zor_mem_new<t_zor_db_entry>();
    if (entry == nullptr) {
        return nullptr;
    }
    // The bitmap comes from the C library, uncounted, as every sent bitmap.
    entry->sent_bitmap = static_cast<uint8_t *>(calloc(1, ZOR_SENT_BITMAP_BYTES));
    if (entry->sent_bitmap == nullptr) {
        zor_mem_delete(entry);
        return nullptr;
    }
    entry->family = af;
    entry->client_p = owner;
    entry->record = record;
    return entry;
}

void zor_db_entry_append(t_zor_context *ctx, t_zor_db_entry *entry)
{
    t_zor_db_list *list = zor_db_list(ctx, entry->family);
    if (list != nullptr) {
        zor_db_list_insert_tail(list, entry);
    }
}

void zor_db_entry_schedule(t_zor_context *ctx, t_zor_db_entry *entry)
{
    if (entry->flags & ZOR_ENTRY_BROWSE) {
        entry->flags |= ZOR_ENTRY_SCHED;
        return;
    }
    t_zor_db_list *list = zor_db_list(ctx, entry->family);
    if (list == nullptr) {
        return;
    }
    zor_db_list_remove(list, entry);
    zor_db_list_insert_tail(list, entry);
    zor_db_walk_kick(ctx);
}

void zor_db_entry_free(t_zor_context *ctx, t_zor_db_entry *entry)
{
    // A marker has no record to release.
    if (!(entry->flags & ZOR_ENTRY_MARKER)) {
        zor_af_record_free(entry->family, ctx, entry);
    }
    t_zor_db_list *list = zor_db_list(ctx, entry->family);
    if (list != nullptr) {
        zor_db_list_remove(list, entry);
    }
    free(entry->sent_bitmap);
    zor_mem_delete(entry);
}

bool zor_db_entry_is_held(const t_zor_db_entry *entry)
{
    return entry->sent_bitmap != nullptr && zor_bitmap_find(entry->sent_bitmap, ZOR_SENT_BITMAP_BITS, 1) >= 0;
}

void zor_db_entry_release(t_zor_context *ctx, t_zor_db_entry *entry)
{
    entry->flags &= ~ZOR_ENTRY_BROWSE;
    if (entry->flags & ZOR_ENTRY_SCHED) {
        entry->flags &= ~ZOR_ENTRY_SCHED;
        zor_db_entry_schedule(ctx, entry);
    }
    if (entry->flags & ZOR_ENTRY_DEL) {
        zor_db_entry_free(ctx, entry);
    }
}

void zor_db_entry_withdrawn(t_zor_context *ctx, t_zor_db_entry *entry)
{
    const bool first = !(entry->flags & ZOR_ENTRY_WITHDRAWN);
    entry->flags |= ZOR_ENTRY_WITHDRAWN;
    if (zor_db_entry_is_held(entry)) {
        // The first withdraw moves the entry behind every client marker, so
        // each holder's walk reaches it in change order. The later ones (a
        // holder was just sent the deletion, others still hold it) leave it
        // there: moving it again would put it behind changes made after it,
        // and the holders still due would receive those first.
        if (first) {
            zor_db_entry_schedule(ctx, entry);
        }
    } else if (entry->flags & ZOR_ENTRY_BROWSE) {
        entry->flags |= ZOR_ENTRY_DEL;
    } else {
        zor_db_entry_free(ctx, entry);
    }
}

t_zor_db_entry *zor_db_marker_create(t_zor_context *ctx, t_zor_client *owner, zor_af_t af, uint8_t at_head)
{
    t_zor_db_list *list = zor_db_list(ctx, af);
    if (list == nullptr) {
        return nullptr;
    }
    t_zor_db_entry *marker = zor_mem_new<t_zor_db_entry>();
    if (marker == nullptr) {
        return nullptr;
    }
    marker->family = af;
    marker->client_p = owner;
    marker->flags = ZOR_ENTRY_MARKER;
    if (at_head || list->first == nullptr) {
        zor_db_list_insert_head(list, marker);
    } else {
        zor_db_list_insert_tail(list, marker);
    }
    return marker;
}

void zor_db_walk_kick(t_zor_context *ctx)
{
    if (ctx->walk_event == nullptr || event_pending(ctx->walk_event, EV_TIMEOUT, nullptr)) {
        return;
    }
    // Not event_active: a walk that kicks itself again (its budget ran out)
    // would then run again before the loop looks at any socket.
    struct timeval now = {0, 0};
    event_add(ctx->walk_event, &now);
}

int zor_db_walk(t_zor_context *ctx, zor_af_t af, zor_db_walk_cb_fn cb, void *arg, void *arg2, void *arg3)
{
    t_zor_db_list *list = zor_db_list(ctx, af);
    if (list == nullptr) {
        return 0;
    }
    t_zor_db_entry *end = zor_db_marker_create(ctx, nullptr, af, 0);
    if (end == nullptr) {
        return ZOR_ERR_NO_MEMORY;
    }
    for (t_zor_db_entry *e = list->first; e != end; e = e->next) {
        if (!(e->flags & ZOR_ENTRY_MARKER)) {
            e->flags |= ZOR_ENTRY_BROWSE;
        }
    }
    int rc = 0;
    t_zor_db_entry *e = list->first;
    while (e != end) {
        if (e->flags & ZOR_ENTRY_MARKER) {
            e = e->next;
            continue;
        }
        if (cb != nullptr) {
            rc = cb(e, arg, arg2, arg3);
        }
        // The successor is read after the visit: the entry itself cannot
        // have moved (it is held), but a marker behind it may have gone.
        t_zor_db_entry *next = e->next;
        zor_db_entry_release(ctx, e);
        zor_daemon_yield(ctx);
        e = next;
    }
    zor_db_entry_free(ctx, end);
    return rc;
}

void zor_db_dump(confd_user_info *uinfo)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    maapi_cli_printf(sock, usess, "======================\n");
    maapi_cli_printf(sock, usess, "ZOR Database\n");
    maapi_cli_printf(sock, usess, "======================\n");
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr) {
        return;
    }
    char flags[512];
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        maapi_cli_printf(sock, usess, "%s\n", zor_af_str(af));
        maapi_cli_printf(sock, usess, "=============\n");
        t_zor_db_list *list = zor_db_list(ctx, af);
        if (list == nullptr) {
            continue;
        }
        for (t_zor_db_entry *e = list->first; e != nullptr; e = e->next) {
            maapi_cli_printf(sock, usess, "\nZOR-Entry: (%p), %s, Owner: %s, Flags: (0x%x) %s\n", static_cast<void *>(e),
                             zor_af_str(e->family), zor_db_owner_name(ctx, e->client_p), e->flags,
                             zor_db_entry_flags_str(e, flags, sizeof(flags)));
            if (e->flags & ZOR_ENTRY_MARKER) {
                maapi_cli_printf(sock, usess, "\n");
            } else {
                zor_af_show(af, ctx, e, uinfo);
            }
            zor_daemon_yield(ctx);
        }
    }
}

char *zor_db_entry_flags_str(const t_zor_db_entry *entry, char *buf, size_t size)
{
    static const struct {
        uint32_t flag;
        const char *name;
    } k_names[] = {
        {ZOR_ENTRY_MARKER, "MARKER"},
        {ZOR_ENTRY_DEL, "DEL"},
        {ZOR_ENTRY_BROWSE, "BROWSE"},
        {ZOR_ENTRY_SCHED, "SCHED"},
    };
    if (size == 0) {
        return buf;
    }
    buf[0] = '\0';
    size_t len = 0;
    for (const auto &n : k_names) {
        if ((entry->flags & n.flag) && len < size) {
            int w = snprintf(buf + len, size - len, "%s ", n.name);
            len += w > 0 ? static_cast<size_t>(w) : 0;
        }
    }
    return buf;
}

char *zor_db_entry_clients_str(const t_zor_context *ctx, const t_zor_db_entry *entry, char *buf, size_t size)
{
    if (size == 0) {
        return buf;
    }
    buf[0] = '\0';
    if (!zor_db_entry_is_held(entry)) {
        return buf;
    }
    size_t len = 0;
    for (uint32_t id = 1; id < OST_MODULE_MAX && len < size; id++) {
        if (ctx->clients[id] != nullptr && zor_bitmap_test(entry->sent_bitmap, id)) {
            int w = snprintf(buf + len, size - len, "%s ", ost_module_str(id));
            len += w > 0 ? static_cast<size_t>(w) : 0;
        }
    }
    return buf;
}

int zor_bitmap_find(const uint8_t *bitmap, uint32_t nbits, uint8_t value)
{
    for (uint32_t byte = 0; byte * 8 < nbits; byte++) {
        // The byte's bits that equal the value; none: skip the whole byte.
        uint8_t match = value ? bitmap[byte] : static_cast<uint8_t>(~bitmap[byte]);
        if (match != 0) {
            return static_cast<int>(byte * 8 + static_cast<uint32_t>(__builtin_ctz(match)));
        }
    }
    return -1;
}
