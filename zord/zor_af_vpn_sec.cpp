#include "zor_af_vpn_sec.h"

#include "confd_maapi.h"
#include "zor_af_base.h"
#include "zor_af_sec_common.h"

namespace {

// How the shared security operations read this family (zor_af_sec_common.h).
struct vpn_sec_twin {
    using record = t_zor_af_vpn_sec;
    template <class M>
    static auto &body(M *msg)
    {
        return msg->body.vpn_sec;
    }
    template <class X>
    static auto addrs(X &x)
    {
        return std::array{&x.remote};
    }
    static constexpr std::array<const char *, 1> addr_names = {"IP"};
};


}  // namespace


t_zor_db_entry *zor_af_vpn_sec_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    return zor_sec_find<vpn_sec_twin>(af, ctx, msg, where);
}

t_zor_db_entry *zor_af_vpn_sec_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    return zor_sec_add<vpn_sec_twin>(af, ctx, client, msg);
}

void zor_af_vpn_sec_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    zor_af_base_withdraw_owned(af, ctx, client, entry);
}

void zor_af_vpn_sec_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    zor_sec_delete<vpn_sec_twin>(af, ctx, client, msg);
}

int zor_af_vpn_sec_tree_create(zor_af_t af, t_zor_context *ctx)
{
    return zor_af_base_tree_create(af, ctx, zor_sec_cmp<vpn_sec_twin>);
}

void zor_af_vpn_sec_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    zor_af_base_tree_destroy(af, ctx);
}

void zor_af_vpn_sec_free(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_db_entry *entry)
{
    zor_sec_free<vpn_sec_twin>(entry);
}

void zor_af_vpn_sec_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    zor_sec_fill_msg<vpn_sec_twin>(entry, msg, is_delete);
}

void zor_af_vpn_sec_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_vpn_sec *r = zor_sec_rec<vpn_sec_twin>(entry);
    char ip[64];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Vpn-id: %lu, IP: %s, origin: %s\n", r->vpn_id,
                     ip_addr_to_str(&r->remote, ip, sizeof(ip)), zor_msg_origin_str(r->origin));
    zor_sec_show_attr(ctx, entry, &r->attr, ZOR_SEC_SHOW_VPN, uinfo);
}

void zor_af_vpn_sec_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    zor_af_base_show_all(af, ctx, uinfo);
}

const zor_af_ops_t k_zor_af_vpn_sec_ops = {
    nullptr,
    zor_af_vpn_sec_add,
    zor_af_vpn_sec_withdraw,
    zor_af_vpn_sec_delete,
    zor_af_vpn_sec_find,
    zor_af_vpn_sec_tree_create,
    zor_af_vpn_sec_tree_destroy,
    zor_af_vpn_sec_free,
    zor_af_vpn_sec_fill_msg,
    zor_af_vpn_sec_show,
    zor_af_vpn_sec_show_all,
};
