#include "zor_af_peer_sec.h"

#include "confd_maapi.h"
#include "zor_af_base.h"
#include "zor_af_sec_common.h"

namespace {

// How the shared security operations read this family (zor_af_sec_common.h).
struct peer_sec_twin {
    using record = t_zor_af_peer_sec;
    template <class M>
    static auto &body(M *msg)
    {
        return msg->body.peer_sec;
    }
    template <class X>
    static auto addrs(X &x)
    {
        return std::array{&x.origin_ip, &x.dest_ip};
    }
    static constexpr std::array<const char *, 2> addr_names = {"origin IP", "dest IP"};
};

}  // namespace

void zor_af_peer_sec_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_peer_sec *r = zor_sec_rec<peer_sec_twin>(entry);
    char origin_ip[64];
    char dest_ip[64];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    vpn-id: %lu, Origin-IP: %s, Dest-ip: %s origin: %s\n", r->vpn_id,
                     ip_addr_to_str(&r->origin_ip, origin_ip, sizeof(origin_ip)),
                     ip_addr_to_str(&r->dest_ip, dest_ip, sizeof(dest_ip)), zor_msg_origin_str(r->origin));
    zor_sec_show_attr(ctx, entry, &r->attr, ZOR_SEC_SHOW_PEER, uinfo);
}

const zor_af_ops_t k_zor_af_peer_sec_ops = zor_sec_ops<peer_sec_twin, zor_af_peer_sec_show>;
