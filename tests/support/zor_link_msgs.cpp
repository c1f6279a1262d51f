#include "zor_link_msgs.h"

#include <cstdio>

#include "ip_util.h"
#include "zor_fake_peer.h"

namespace zt {

zor_msg_t tloc_msg(const zor_tloc_key_t &key, uint8_t origin, const TlocSpec &spec)
{
    zor_msg_t msg = tloc_add_msg(key, origin);
    zor_tloc_attr_t &a = msg.body.tloc.attr;
    if (!spec.groups.empty()) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
        a.group_count = static_cast<uint16_t>(spec.groups.size());
        for (size_t i = 0; i < spec.groups.size() && i < ZOR_TLOC_GROUP_MAX; i++) {
            a.groups[i] = spec.groups[i];
        }
    }
    if (spec.border) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER);
        a.border = 1;
    }
    if (spec.pref != 0) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
        a.preference = spec.pref;
    }
    if (spec.stale) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_STALE);
        a.stale = 1;
    }
    return msg;
}

zor_msg_t link_msg(uint32_t type, const zor_tloc_key_t &local, const zor_tloc_key_t &remote)
{
    zor_msg_t msg{};
    msg.type = type;
    msg.family = ZOR_AF_LINK;
    msg.body.link.local = local;
    msg.body.link.remote = remote;
    return msg;
}

zor_msg_t peer_link_msg(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t bfd, uint32_t mtu,
                        uint32_t label, uint32_t pref)
{
    zor_msg_t msg = link_msg(ZOR_MSG_LINK_ADD, local, remote);
    msg.body.link.origin = ZOR_MSG_ORIGIN_REMOTE;
    msg.body.link.status = bfd;
    msg.body.link.mtu = mtu;
    msg.body.link.label = label;
    msg.body.link.preference = pref;
    return msg;
}

zor_msg_t link_status_msg(const zor_tloc_key_t &local, const zor_tloc_key_t &remote, uint32_t bfd, uint32_t mtu)
{
    zor_msg_t msg{};
    msg.type = ZOR_MSG_LINK_STATUS;
    msg.family = ZOR_AF_LINK;
    msg.body.link_status.local = local;
    msg.body.link_status.remote = remote;
    msg.body.link_status.bfd_status = bfd;
    msg.body.link_status.mtu = mtu;
    return msg;
}

std::string kname(const zor_tloc_key_t &key)
{
    char text[64];
    ip_addr_to_str(&key.addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(key.color);
}

}  // namespace zt
