#include "zor_show.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "avl.h"
#include "ip_util.h"
#include "oconfd.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_log.h"
#include "zor_result.h"
#include "zor_path.h"

namespace {

// The per-callback lines are for whoever debugs the agent's requests
// themselves: they need more than the event debugging switches on.
constexpr uint32_t k_show_debug_level = 2;
constexpr int k_kpath_len = 256;

// What every callback needs before it can look anything up. The daemon
// record is missing while the integration module is still starting.
struct zor_show_scope {
    t_zor_daemon *daemon = nullptr;
    t_zor_context *ctx = nullptr;
};

bool zor_show_ready(confd_trans_ctx *tctx, zor_show_scope &scope)
{
    oconfd_ctx *octx = tctx->dx != nullptr ? oconfd_ctx_of(tctx->dx) : nullptr;
    if (octx == nullptr || octx->module.opaque == nullptr || g_zor_context == nullptr ||
        g_zor_context->trees[ZOR_AF_TLOC_IPV4] == nullptr) {
        return false;
    }
    scope.daemon = static_cast<t_zor_daemon *>(octx->module.opaque);
    scope.ctx = g_zor_context;
    return true;
}

// Renders the keypath for a debug line: only when the line is written.
bool zor_show_debug(const confd_hkeypath_t *kp, char (&buf)[k_kpath_len])
{
    if (g_zor_debug <= k_show_debug_level) {
        return false;
    }
    buf[0] = '\0';
    confd_pp_kpath(buf, sizeof(buf), kp);
    return true;
}

// The per-callback debug line, written under the callback's own name.
#define ZOR_SHOW_DEBUG(kp, fmt, ...)                                   \
    do {                                                               \
        char kp_text[k_kpath_len];                                     \
        if (zor_show_debug((kp), kp_text)) {                           \
            ZOR_LOG(fmt, kp_text __VA_OPT__(, ) __VA_ARGS__);          \
        }                                                              \
    } while (0)

// A reply that could not be sent is logged under the callback's name and
// line, and otherwise ignored: the agent times the request out. What every
// callback returns.
int zor_show_sent(int rc, const char *func, int line)
{
    if (rc != CONFD_OK) {
        ost_log(ZOR_LOG_PRI, "%s[%d]: Failed to send oper data reply - %s (%d) : %s", func, line,
                confd_strerror(confd_errno), confd_errno, confd_lasterr());
    }
    return CONFD_OK;
}
#define ZOR_SHOW_SENT(reply) zor_show_sent((reply), __func__, __LINE__)

int zor_show_reply_end(confd_trans_ctx *tctx)
{
    return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1);
}

// The answer of a find_next_object whose parent TLOC is gone: an empty
// object rather than an end of list.
int zor_show_reply_no_parent(confd_trans_ctx *tctx)
{
    return confd_data_reply_tag_value_array(tctx, nullptr, -1);
}

// The TLOC key of up to three key values (address, colour, encapsulation);
// keys not supplied stay 0. False, with a log line, for a value of a type
// (or an enumeration value) the model does not give that key.
bool zor_show_tloc_key(const confd_value_t *keys, int nkeys, zor_tloc_key_t *key)
{
    *key = {};
    if (nkeys > 0) {
        if (keys[0].type == C_IPV4) {
            key->addr.family = IP_AF_INET;
            key->addr.u.v4 = ntohl(keys[0].val.ip.s_addr);
        } else if (keys[0].type == C_IPV6) {
            key->addr.family = IP_AF_INET6;
            memcpy(key->addr.u.v6, &keys[0].val.ip6, sizeof(key->addr.u.v6));
        } else {
            ZOR_LOG("Unexpected TLOC address key type %d", static_cast<int>(keys[0].type));
            return false;
        }
    }
    uint8_t *fields[] = {&key->color, &key->encap};
    for (int i = 1; i < nkeys && i < ZOR_SHOW_TLOC_VALUES; i++) {
        if (keys[i].type != C_ENUM_VALUE || keys[i].val.enumvalue < 0 || keys[i].val.enumvalue > 0xff) {
            ZOR_LOG("Unexpected TLOC key %d of type %d", i, static_cast<int>(keys[i].type));
            return false;
        }
        *fields[i - 1] = static_cast<uint8_t>(keys[i].val.enumvalue);
    }
    return true;
}

// The entry after key in the TLOC-IPV4 tree, or null.
t_zor_db_entry *zor_show_tloc_after(t_zor_context *ctx, const zor_tloc_key_t &key)
{
    t_zor_af_tloc probe{};
    probe.key = key;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    return static_cast<t_zor_db_entry *>(avl_find_next(ctx->trees[ZOR_AF_TLOC_IPV4], &tmpl));
}

// The TLOC named by the keypath's tloc instance, or null.
t_zor_af_tloc *zor_show_parent_tloc(t_zor_context *ctx, const confd_hkeypath_t *kp)
{
    confd_value_t keys[ZOR_SHOW_TLOC_VALUES];
    zor_tloc_key_t key;
    if (oconfd_keypath_get_keys(kp, keys, ZOR_SHOW_TLOC_VALUES, k_zor_tag_tloc) == nullptr ||
        !zor_show_tloc_key(keys, ZOR_SHOW_TLOC_VALUES, &key)) {
        return nullptr;
    }
    t_zor_db_entry *entry = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx, &key, nullptr);
    return entry != nullptr ? zor_af_tloc_of(entry) : nullptr;
}

// The index key of the keypath's instance of the list tag; false when the
// keypath has none or it is not a uint32.
bool zor_show_index_key(const confd_hkeypath_t *kp, uint32_t tag, uint32_t *index)
{
    confd_value_t key;
    if (oconfd_keypath_get_keys(kp, &key, 1, tag) == nullptr) {
        return false;
    }
    if (key.type != C_UINT32) {
        ZOR_LOG("Unexpected index key type %d", static_cast<int>(key.type));
        return false;
    }
    *index = key.val.u32;
    return true;
}

// The path at a position of the TLOC's list (counted from 0), or null.
t_zor_path *zor_show_path_at(const t_zor_af_tloc *tloc, uint64_t pos)
{
    t_zor_path *path = tloc->path_list;
    for (uint64_t i = 0; path != nullptr && i < pos; i++) {
        path = path->next_p;
    }
    return path;
}

// The path named by the keypath's TLOC and path instances, or null.
t_zor_path *zor_show_parent_path(const t_zor_af_tloc *tloc, const confd_hkeypath_t *kp)
{
    uint32_t index = 0;
    return zor_show_index_key(kp, k_zor_tag_path, &index) ? zor_show_path_at(tloc, index) : nullptr;
}

void zor_show_set(confd_tag_value_t &tv, uint32_t tag, const confd_value_t &v, uint32_t ns = 0)
{
    tv.tag.tag = tag;
    tv.tag.ns = ns;
    tv.v = v;
}

void zor_show_set_u32(confd_tag_value_t &tv, uint32_t tag, uint32_t value)
{
    confd_value_t v;
    CONFD_SET_UINT32(&v, value);
    zor_show_set(tv, tag, v);
}

void zor_show_set_enum(confd_tag_value_t &tv, uint32_t tag, int32_t value)
{
    confd_value_t v;
    CONFD_SET_ENUM_VALUE(&v, value);
    zor_show_set(tv, tag, v);
}

// The three key leaves of a TLOC object, or of one end of a link.
void zor_show_tloc_leaves(const confd_value_t (&keys)[ZOR_SHOW_TLOC_VALUES], confd_tag_value_t *tv)
{
    zor_show_set(tv[0], k_zor_tag_system_ip, keys[0]);
    zor_show_set(tv[1], k_zor_tag_color, keys[1]);
    zor_show_set(tv[2], k_zor_tag_encapsulation, keys[2]);
}

void zor_show_tloc_values(const t_zor_db_entry *entry, confd_tag_value_t (&tv)[ZOR_SHOW_TLOC_VALUES])
{
    confd_value_t keys[ZOR_SHOW_TLOC_VALUES];
    zor_af_tloc_oper_keys(entry, keys);
    zor_show_tloc_leaves(keys, tv);
}

void zor_show_path_values(const t_zor_path *path, uint32_t index, confd_tag_value_t *tv)
{
    zor_show_set_u32(tv[0], k_zor_tag_path_index, index);
    zor_show_set_u32(tv[1], k_zor_tag_preference, path->preference);
    zor_show_set_u32(tv[2], k_zor_tag_mtu, path->mtu);
    // The model's enumerations list the good value first: best 0, up 0.
    zor_show_set_enum(tv[3], k_zor_tag_best, (path->flags & ZOR_PATH_FLAG_BEST) ? 0 : 1);
    zor_show_set_enum(tv[4], k_zor_tag_status, path->status == ZOR_PATH_STATUS_UP ? 0 : 1);
    confd_value_t stale;
    CONFD_SET_BOOL(&stale, (path->flags & ZOR_PATH_FLAG_STALE) != 0);
    zor_show_set(tv[5], k_zor_tag_stale, stale);
}

// Address, colour and encapsulation of a TLOC key as the model's values.
void zor_show_key_values(const zor_tloc_key_t &key, confd_value_t (&v)[ZOR_SHOW_TLOC_VALUES])
{
    if (key.addr.family == IP_AF_INET) {
        in_addr ip;
        ip.s_addr = htonl(key.addr.u.v4);
        CONFD_SET_IPV4(&v[0], ip);
    } else {
        in6_addr ip6;
        memcpy(&ip6, key.addr.u.v6, sizeof(ip6));
        CONFD_SET_IPV6(&v[0], ip6);
    }
    CONFD_SET_ENUM_VALUE(&v[1], key.color);
    CONFD_SET_ENUM_VALUE(&v[2], key.encap);
}

// One end of a link inside its container's begin and end markers.
confd_tag_value_t *zor_show_link_end(const zor_tloc_key_t &key, uint32_t tag, uint32_t ns, confd_tag_value_t *tv)
{
    CONFD_SET_TAG_XMLBEGIN(&tv[0], tag, ns);
    confd_value_t keys[ZOR_SHOW_TLOC_VALUES];
    zor_show_key_values(key, keys);
    zor_show_tloc_leaves(keys, &tv[1]);
    CONFD_SET_TAG_XMLEND(&tv[4], tag, ns);
    return tv + 5;
}

void zor_show_link_values(const t_zor_af_link *link, uint32_t index, uint32_t ns, confd_tag_value_t *tv)
{
    zor_show_set_u32(tv[0], k_zor_tag_link_index, index);
    confd_tag_value_t *next = zor_show_link_end(link->local_key, k_zor_tag_local_tloc, ns, &tv[1]);
    next = zor_show_link_end(link->remote_key, k_zor_tag_remote_tloc, ns, next);
    zor_show_set_u32(*next, k_zor_tag_label, link->label);
}

// The model a tenant instance serves is the tenant model.
uint32_t zor_show_ns(const t_zor_daemon *daemon)
{
    return daemon != nullptr && daemon->tenant_name[0] != '\0' ? k_zor_tenant_ns : k_zor_ns;
}

}  // namespace

const char *zor_tenant_point_name(const t_zor_daemon *daemon, const char *base, char *buf, size_t len)
{
    if (daemon != nullptr && daemon->tenant_name[0] != '\0') {
        snprintf(buf, len, "%s-tenant%u", base, static_cast<unsigned>(daemon->tenant_id));
    } else {
        snprintf(buf, len, "%s", base);
    }
    return buf;
}

int zor_show_path_init(oconfd_ctx *ctx)
{
    struct callpoint {
        const char *base;
        int (*get_object)(confd_trans_ctx *, confd_hkeypath_t *);
        int (*get_next_object)(confd_trans_ctx *, confd_hkeypath_t *, long);
        int (*find_next_object)(confd_trans_ctx *, confd_hkeypath_t *, int, confd_value_t *, int);
    };
    static constexpr callpoint k_callpoints[] = {
        {ZOR_SHOW_TLOCS_CP, zor_show_tloc_get_object, zor_show_tloc_get_next_object, zor_show_tloc_find_next_object},
        {ZOR_SHOW_PATHS_CP, zor_show_path_get_object, zor_show_path_get_next_object, zor_show_path_find_next_object},
        {ZOR_SHOW_PATHS_LINKS_CP, zor_show_path_link_get_object, zor_show_path_link_get_next_object,
         zor_show_path_link_find_next_object},
    };
    const auto *daemon = static_cast<const t_zor_daemon *>(ctx->module.opaque);
    for (const callpoint &cp : k_callpoints) {
        confd_data_cbs dcb;
        memset(&dcb, 0, sizeof(dcb));
        zor_tenant_point_name(daemon, cp.base, dcb.callpoint, sizeof(dcb.callpoint));
        dcb.get_object = cp.get_object;
        dcb.get_next_object = cp.get_next_object;
        dcb.find_next_object = cp.find_next_object;
        if (confd_register_data_cb(ctx->dctx, &dcb) != CONFD_OK) {
            ZOR_LOG("Failed to register data cb %s", cp.base);
            return ZOR_ERR_FAILED;
        }
    }
    return ZOR_OK;
}

// ---------------------------------------------------------------- TLOCs

int zor_show_tloc_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR tloc Get-Next Path: %s, next: %ld", next);
    // Every object goes out with next -1, so the agent never comes back
    // with another next; one that does is answered with the end of the list.
    if (next != -1) {
        ZOR_LOG("Next value = %ld", next);
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    auto *entry = static_cast<t_zor_db_entry *>(avl_first(scope.ctx->trees[ZOR_AF_TLOC_IPV4]));
    if (entry == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_TLOC_VALUES];
    zor_show_tloc_values(entry, tv);
    return ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_array(tctx, tv, ZOR_SHOW_TLOC_VALUES, -1));
}

int zor_show_tloc_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys,
                                   int nkeys)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR tloc Find-Next Path: %s");
    t_zor_db_entry *entry = nullptr;
    zor_tloc_key_t key;
    if (nkeys <= 0) {
        entry = static_cast<t_zor_db_entry *>(avl_first(scope.ctx->trees[ZOR_AF_TLOC_IPV4]));
    } else if (zor_show_tloc_key(keys, nkeys, &key)) {
        if (type == CONFD_FIND_SAME_OR_NEXT) {
            entry = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, scope.ctx, &key, nullptr);
        }
        if (entry == nullptr) {
            entry = zor_show_tloc_after(scope.ctx, key);
        }
    }
    // A key the model cannot produce ends the list (logged).
    if (entry == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_TLOC_VALUES];
    zor_show_tloc_values(entry, tv);
    return ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_array(tctx, tv, ZOR_SHOW_TLOC_VALUES, -1));
}

int zor_show_tloc_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR tloc Get Path: %s");
    // A keypath without the TLOC's keys names no TLOC: not found.
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    if (tloc == nullptr) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_TLOC_VALUES];
    zor_show_tloc_values(tloc->entry_p, tv);
    return ZOR_SHOW_SENT(confd_data_reply_tag_value_array(tctx, tv, ZOR_SHOW_TLOC_VALUES));
}

// ---------------------------------------------------------------- paths

int zor_show_path_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR path Get-Next Path: %s, next: %ld", next);
    if (next != -1) {
        ZOR_LOG("Next value = %ld", next);
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    if (tloc == nullptr || tloc->path_list == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    // The whole list in one reply, so that listing a TLOC's paths costs the
    // agent one call; a TLOC with more paths than that shows its first 64.
    confd_tag_value_t values[ZOR_SHOW_PATH_MAX][ZOR_SHOW_PATH_VALUES];
    confd_tag_next_object objs[ZOR_SHOW_PATH_MAX + 1];
    int count = 0;
    for (const t_zor_path *p = tloc->path_list; p != nullptr && count < ZOR_SHOW_PATH_MAX; p = p->next_p) {
        zor_show_path_values(p, static_cast<uint32_t>(count), values[count]);
        objs[count] = {values[count], ZOR_SHOW_PATH_VALUES, -1};
        count++;
    }
    objs[count++] = {nullptr, 0, -1};
    return ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0));
}

int zor_show_path_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys,
                                   int nkeys)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR path Find-Next Path: %s");
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    if (tloc == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_no_parent(tctx));
    }
    uint64_t pos = 0;
    if (nkeys == 1) {
        // The model's path index is a uint32; any other key ends the list.
        if (keys[0].type != C_UINT32) {
            ZOR_LOG("Unexpected path key type %d", static_cast<int>(keys[0].type));
            return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
        }
        pos = static_cast<uint64_t>(keys[0].val.u32) + (type == CONFD_FIND_SAME_OR_NEXT ? 0 : 1);
    }
    const t_zor_path *path = zor_show_path_at(tloc, pos);
    if (path == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_PATH_VALUES];
    zor_show_path_values(path, static_cast<uint32_t>(pos), tv);
    return ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_array(tctx, tv, ZOR_SHOW_PATH_VALUES, -1));
}

int zor_show_path_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR path Get Path: %s");
    uint32_t index = 0;
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    // A keypath without the path's index names no path: not found.
    const t_zor_path *path =
        tloc != nullptr && zor_show_index_key(kp, k_zor_tag_path, &index) ? zor_show_path_at(tloc, index) : nullptr;
    if (path == nullptr) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_PATH_VALUES];
    zor_show_path_values(path, index, tv);
    return ZOR_SHOW_SENT(confd_data_reply_tag_value_array(tctx, tv + 1, ZOR_SHOW_PATH_VALUES - 1));
}

// ---------------------------------------------------------------- links

int zor_show_path_link_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR Link Get Path: %s, next: %ld", next);
    if (next != -1) {
        ZOR_LOG("Next value = %ld", next);
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    const t_zor_path *path = tloc != nullptr ? zor_show_parent_path(tloc, kp) : nullptr;
    if (path == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    const uint32_t ns = zor_show_ns(scope.daemon);
    confd_tag_value_t values[ZOR_PATH_LINK_MAX][ZOR_SHOW_LINK_VALUES];
    confd_tag_next_object objs[ZOR_PATH_LINK_MAX + 1];
    int count = 0;
    for (uint32_t i = 0; i < path->link_count && i < ZOR_PATH_LINK_MAX; i++) {
        zor_show_link_values(path->links[i].link_p, i, ns, values[count]);
        objs[count] = {values[count], ZOR_SHOW_LINK_VALUES, -1};
        count++;
    }
    objs[count++] = {nullptr, 0, -1};
    return ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0));
}

int zor_show_path_link_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type,
                                        confd_value_t *keys, int nkeys)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR path link Find-Next Path: %s");
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    if (tloc == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_no_parent(tctx));
    }
    const t_zor_path *path = zor_show_parent_path(tloc, kp);
    if (path == nullptr) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    // No key: the first link; one key: that link (type 1) or the one after
    // it (type 0); more keys: none. The model's link index is a uint32; any
    // other key ends the list.
    const uint64_t links = path->link_count;
    uint64_t index = nkeys > 1 ? links : 0;
    if (nkeys == 1 && keys[0].type != C_UINT32) {
        ZOR_LOG("Unexpected link key type %d", static_cast<int>(keys[0].type));
        index = links;
    } else if (nkeys == 1) {
        index = static_cast<uint64_t>(keys[0].val.u32) + (type == CONFD_FIND_SAME_OR_NEXT ? 0 : 1);
    }
    if (index >= links) {
        return ZOR_SHOW_SENT(zor_show_reply_end(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_LINK_VALUES];
    zor_show_link_values(path->links[index].link_p, static_cast<uint32_t>(index), zor_show_ns(scope.daemon), tv);
    ZOR_SHOW_SENT(confd_data_reply_next_object_tag_value_array(tctx, tv, ZOR_SHOW_LINK_VALUES, -1));
    if (g_zor_debug > k_show_debug_level) {
        ZOR_LOG("ZOR path link Find-Next Path returned %d items", ZOR_SHOW_LINK_VALUES);
    }
    return CONFD_OK;
}

int zor_show_path_link_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    zor_show_scope scope;
    if (!zor_show_ready(tctx, scope)) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    ZOR_SHOW_DEBUG(kp, "ZOR path link Get Path: %s");
    t_zor_af_tloc *tloc = zor_show_parent_tloc(scope.ctx, kp);
    const t_zor_path *path = tloc != nullptr ? zor_show_parent_path(tloc, kp) : nullptr;
    uint32_t index = 0;
    // A keypath without the link's index names no link: not found.
    if (path == nullptr || !zor_show_index_key(kp, k_zor_tag_link, &index) || index >= path->link_count) {
        return ZOR_SHOW_SENT(confd_data_reply_not_found(tctx));
    }
    confd_tag_value_t tv[ZOR_SHOW_LINK_VALUES];
    zor_show_link_values(path->links[index].link_p, index, zor_show_ns(scope.daemon), tv);
    return ZOR_SHOW_SENT(confd_data_reply_tag_value_array(tctx, tv + 1, ZOR_SHOW_LINK_VALUES - 1));
}
