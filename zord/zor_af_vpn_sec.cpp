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

void zor_af_vpn_sec_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_vpn_sec *r = zor_sec_rec<vpn_sec_twin>(entry);
    char ip[64];
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Vpn-id: %lu, IP: %s, origin: %s\n", r->vpn_id,
                     ip_addr_to_str(&r->remote, ip, sizeof(ip)), zor_msg_origin_str(r->origin));
    zor_sec_show_attr(ctx, entry, &r->attr, ZOR_SEC_SHOW_VPN, uinfo);
}

const zor_af_ops_t k_zor_af_vpn_sec_ops = zor_sec_ops<vpn_sec_twin, zor_af_vpn_sec_show>;
