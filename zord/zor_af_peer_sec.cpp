#include "zor_af_peer_sec.h"

#include <cstring>

#include "maapi_cli.h"
#include "zor_af_base.h"
#include "zor_af_sec_common.h"
#include "zor_log.h"

namespace {

t_zor_af_peer_sec *rec(const t_zor_db_entry *entry)
{
    return static_cast<t_zor_af_peer_sec *>(entry->record);
}

// VPN id as an unsigned number, then the origin address, then the
// destination address.
int zor_af_peer_sec_cmp(const void *a, const void *b)
{
    const t_zor_af_peer_sec *x = rec(static_cast<const t_zor_db_entry *>(a));
    const t_zor_af_peer_sec *y = rec(static_cast<const t_zor_db_entry *>(b));
    if (x->vpn_id != y->vpn_id) {
        return x->vpn_id < y->vpn_id ? -1 : 1;
    }
    int rc = ip_addr_cmp(&x->origin_ip, &y->origin_ip);
    return rc != 0 ? rc : ip_addr_cmp(&x->dest_ip, &y->dest_ip);
}

bool zor_af_peer_sec_key_valid(const zor_msg_peer_sec_t &body)
{
    return zor_af_base_addr_valid(&body.origin_ip) && zor_af_base_addr_valid(&body.dest_ip);
}

const zor_af_ops_t k_zor_af_peer_sec_ops = {
    nullptr,
    zor_af_peer_sec_add,
    zor_af_peer_sec_withdraw,
    zor_af_peer_sec_delete,
    zor_af_peer_sec_find,
    zor_af_peer_sec_tree_create,
    zor_af_peer_sec_tree_destroy,
    zor_af_peer_sec_free,
    zor_af_peer_sec_fill_msg,
    zor_af_peer_sec_show,
    zor_af_peer_sec_show_all,
};

}  // namespace

void zor_af_peer_sec_register()
{
    if (zor_af_ops_get(ZOR_AF_PEER_SEC) == nullptr) {
        zor_af_register(ZOR_AF_PEER_SEC, &k_zor_af_peer_sec_ops);
    }
}

t_zor_db_entry *zor_af_peer_sec_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    const zor_msg_peer_sec_t &body = msg->body.peer_sec;
    if (!zor_af_peer_sec_key_valid(body)) {
        return nullptr;
    }
    t_zor_af_peer_sec probe{};
    probe.vpn_id = body.vpn_id;
    zor_af_base_addr_copy(&probe.origin_ip, &body.origin_ip);
    zor_af_base_addr_copy(&probe.dest_ip, &body.dest_ip);
    return zor_af_base_find(af, ctx, &probe, where);
}

t_zor_db_entry *zor_af_peer_sec_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const zor_msg_peer_sec_t &body = msg->body.peer_sec;
    if (!zor_af_peer_sec_key_valid(body)) {
        ZOR_LOG("PEER-SEC add from %s dropped: vpn %lu, address families %u and %u", zor_af_base_client_str(client),
                body.vpn_id, body.origin_ip.family, body.dest_ip.family);
        return nullptr;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_af_peer_sec_find(af, ctx, msg, &where);
    const bool is_new = entry == nullptr;
    if (is_new) {
        t_zor_af_peer_sec *r = zor_mem_new<t_zor_af_peer_sec>();
        if (r == nullptr) {
            return nullptr;
        }
        r->vpn_id = body.vpn_id;
        zor_af_base_addr_copy(&r->origin_ip, &body.origin_ip);
        zor_af_base_addr_copy(&r->dest_ip, &body.dest_ip);
        r->origin = body.origin;
        entry = zor_af_base_entry_insert(af, ctx, client, r, where);
        if (entry == nullptr) {
            zor_mem_delete(r);
            return nullptr;
        }
    } else if (entry->client_p != client) {
        // Decided here: the entry stays its owner's; a second announcer of
        // the same key is refused rather than stopping the daemon.
        char origin_ip[64];
        char dest_ip[64];
        ZOR_LOG("PEER-SEC add from %s refused: vpn %lu origin IP %s dest IP %s belongs to %s",
                zor_af_base_client_str(client), body.vpn_id, ip_addr_to_str(&body.origin_ip, origin_ip, sizeof(origin_ip)),
                ip_addr_to_str(&body.dest_ip, dest_ip, sizeof(dest_ip)), zor_af_base_client_str(entry->client_p));
        return nullptr;
    }
    zor_sec_attr_update(ctx, entry, is_new, &rec(entry)->attr, &body.attr);
    return entry;
}

void zor_af_peer_sec_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    zor_af_base_withdraw_owned(af, ctx, client, entry);
}

void zor_af_peer_sec_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_af_peer_sec_find(af, ctx, msg, nullptr);
    if (entry != nullptr) {
        zor_af_peer_sec_withdraw(af, ctx, client, entry);
    }
}

int zor_af_peer_sec_tree_create(zor_af_t af, t_zor_context *ctx)
{
    return zor_af_base_tree_create(af, ctx, zor_af_peer_sec_cmp);
}

void zor_af_peer_sec_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    zor_af_base_tree_destroy(af, ctx);
}

void zor_af_peer_sec_free(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry)
{
    zor_mem_delete(rec(entry));
    entry->record = nullptr;
}

void zor_af_peer_sec_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    const t_zor_af_peer_sec *r = rec(entry);
    zor_msg_peer_sec_t &body = msg->body.peer_sec;
    body.vpn_id = r->vpn_id;
    body.origin_ip = r->origin_ip;
    body.dest_ip = r->dest_ip;
    body.origin = r->origin;
    if (is_delete) {
        memset(&body.attr, 0, sizeof(body.attr));
    } else {
        body.attr = r->attr;
    }
}

void zor_af_peer_sec_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_peer_sec *r = rec(entry);
    char origin_ip[64];
    char dest_ip[64];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    vpn-id: %lu, Origin-IP: %s, Dest-ip: %s origin: %s\n", r->vpn_id,
                     ip_addr_to_str(&r->origin_ip, origin_ip, sizeof(origin_ip)),
                     ip_addr_to_str(&r->dest_ip, dest_ip, sizeof(dest_ip)), zor_msg_origin_str(r->origin));
    zor_sec_show_attr(ctx, entry, &r->attr, ZOR_SEC_SHOW_PEER, uinfo);
}

void zor_af_peer_sec_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    zor_af_base_show_all(af, ctx, uinfo);
}
