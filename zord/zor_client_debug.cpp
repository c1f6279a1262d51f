// The debug log of the messages zord exchanges with its clients: one line
// per message, and with announcement debugging the whole body, field by
// field. Event-loop thread only.
#include <cstdio>
#include <cstring>

#include "ost_util.h"
#include "zor_af_data_device.h"
#include "zor_af_sec_common.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_log.h"

uint32_t g_zor_debug_announce = 0;

namespace {

void zor_debug_encap(const zor_tloc_attr_t *attr, bool tloc)
{
    // The security families name the same line without the TLOC prefix.
    if (tloc) {
        ZOR_LOG("        TLOC-Encap: %s\n", ost_tunnel_encap_str(attr->encap));
    } else {
        ZOR_LOG("        Encap: %s\n", ost_tunnel_encap_str(attr->encap));
    }
    if (attr->encap != ZOR_TUNNEL_ENCAP_IPSEC) {
        ZOR_LOG("          Key: %u\n", attr->encap_key);
        return;
    }
    char integrity[512];
    ZOR_LOG("          Integrity: %s(0x%x) Encryption: %s(0x%x) SPI %u",
            zor_sec_integrity_str(attr->integrity, integrity, sizeof(integrity)), attr->integrity,
            ost_cipher_str(attr->cipher), attr->cipher, attr->spi);
}

void zor_debug_security(const zor_tloc_sec_t *sec)
{
    ZOR_LOG("          SPI %u, Flags 0x%x\n          Integrity: %d, encrypt-keys: %d auth-keys: %d\n", sec->spi,
            sec->flags, static_cast<int>(sec->integrity_type), sec->enc_key_count, sec->auth_key_count);
    ZOR_LOG("          Number of protocols %d", sec->proto_count);
    for (uint32_t i = 0; i < sec->proto_count && i < ZOR_TLOC_SEC_PROTO_MAX; i++) {
        ZOR_LOG("          Proto[%d] %s", static_cast<int>(i), ost_sec_proto_str(sec->protos[i]));
    }
    ZOR_LOG("          Number of encrypt types: %d", sec->enc_type_count);
    for (uint32_t i = 0; i < sec->enc_type_count && i < ZOR_TLOC_SEC_ENC_TYPE_MAX; i++) {
        ZOR_LOG("          Encrypt type[%d] %s", static_cast<int>(i), ost_enc_type_str(sec->enc_types[i]));
    }
    // The block has room for one integrity type whatever the count says.
    ZOR_LOG("          Number of integrity types: %d", sec->integrity_count);
    if (sec->integrity_count > 0) {
        ZOR_LOG("          integrity type[%d] %s", 0, ost_integrity_str(sec->integrity_type));
    }
}

void zor_debug_tloc_attr(const zor_tloc_attr_t *attr, const char *qos_group)
{
    const uint64_t f = attr->flags;
    auto has = [f](int bit) { return (f & ZOR_TLOC_ATTR_BIT(bit)) != 0; };
    char addr[160];
    if (has(ZOR_TLOC_ATTR_PREF)) {
        ZOR_LOG("        Preference: %u\n", attr->preference);
    }
    if (has(ZOR_TLOC_ATTR_WEIGHT)) {
        ZOR_LOG("        Weight: %u\n", attr->weight);
    }
    if (has(ZOR_TLOC_ATTR_GEN_ID)) {
        ZOR_LOG("        Gen-ID: %u\n", attr->gen_id);
    }
    if (has(ZOR_TLOC_ATTR_VERSION)) {
        ZOR_LOG("        Version: %u\n", attr->version);
    }
    if (has(ZOR_TLOC_ATTR_SITE_ID)) {
        ZOR_LOG("        Site-ID: %u\n", attr->site_id);
    }
    if (has(ZOR_TLOC_ATTR_REGION_ID)) {
        ZOR_LOG("        Region-ID: %u\n", attr->region_id);
    }
    if (has(ZOR_TLOC_ATTR_CARRIER)) {
        ZOR_LOG("        Carrier: %u\n", attr->carrier);
    }
    if (has(ZOR_TLOC_ATTR_INSTALLED)) {
        ZOR_LOG("        TLOC_installed: %u\n", attr->installed);
    }
    if (has(ZOR_TLOC_ATTR_STALE)) {
        ZOR_LOG("        Stale: %u\n", attr->stale);
    }
    if (has(ZOR_TLOC_ATTR_RESTRICT)) {
        ZOR_LOG("        Restrict: %u\n", attr->restricted);
    }
    if (has(ZOR_TLOC_ATTR_ON_DEMAND)) {
        ZOR_LOG("        On-Demand: %u", attr->on_demand);
    }
    if (has(ZOR_TLOC_ATTR_BORDER)) {
        ZOR_LOG("        Border: %u\n", attr->border);
    }
    if (has(ZOR_TLOC_ATTR_BANDWIDTH)) {
        ZOR_LOG("        Bandwidth: %u\n", attr->bandwidth);
    }
    if (has(ZOR_TLOC_ATTR_QOS_GROUP) && qos_group != nullptr) {
        ZOR_LOG("        Qos_Group: %.*s\n", ZOR_TLOC_QOS_NAME_LEN, qos_group);
    }
    if (has(ZOR_TLOC_ATTR_CAPABILITY)) {
        ZOR_LOG("        Capability: 0x%lu\n", static_cast<unsigned long>(attr->capability));
    }
    if (has(ZOR_TLOC_ATTR_GROUP)) {
        ZOR_LOG("        Group: Count: %u\n", attr->group_count);
        if (attr->group_count > 0) {
            char groups[128] = "";
            size_t len = 0;
            for (uint32_t i = 0; i < attr->group_count && i < ZOR_TLOC_GROUP_MAX; i++) {
                len += static_cast<size_t>(snprintf(groups + len, sizeof(groups) - len, "%u ", attr->groups[i]));
            }
            ZOR_LOG("        Groups: %s\n", groups);
        }
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PUB)) {
        ZOR_LOG("        TLOCv4-Public: %s\n", ip_addr_port_to_str(&attr->tloc_v4_public, addr, sizeof(addr)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PRI)) {
        ZOR_LOG("        TLOCv4-Private: %s\n", ip_addr_port_to_str(&attr->tloc_v4_private, addr, sizeof(addr)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PUB)) {
        ZOR_LOG("        TLOCv6-Public: %s\n", ip_addr_port_to_str(&attr->tloc_v6_public, addr, sizeof(addr)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PRI)) {
        ZOR_LOG("        TLOCv6-Private: %s\n", ip_addr_port_to_str(&attr->tloc_v6_private, addr, sizeof(addr)));
    }
    if (has(ZOR_TLOC_ATTR_ENCAP)) {
        zor_debug_encap(attr, true);
    }
    if (has(ZOR_TLOC_ATTR_SECURITY)) {
        zor_debug_security(&attr->sec);
    }
}

void zor_debug_tloc(const zor_msg_tloc_t *tloc)
{
    char key[128];
    char flags[OST_ATTR_FLAGS_STR_LEN];
    ZOR_LOG("    TLOC: %s, Index: %d, Origin: %s, Status: %s, LR enabled: %u, LR hold time: %u\n",
            tloc_to_str(&tloc->key, key, sizeof(key)), static_cast<int>(tloc->index),
            zor_msg_tloc_origin_str(tloc->origin), zor_msg_tloc_status_str(tloc->status), tloc->lr_enabled,
            tloc->lr_hold_time);
    ZOR_LOG("      Attributes: %s\n", ost_attr_flags_str(tloc->attr.flags, flags, sizeof(flags)));
    zor_debug_tloc_attr(&tloc->attr, tloc->qos_group);
    ZOR_LOG("      #Paths: %d\n", tloc->path_count);
    for (uint32_t i = 0; i < tloc->path_count && i < ZOR_TLOC_PATH_MAX; i++) {
        const zor_tloc_path_t &path = tloc->paths[i];
        char labels[64] = "";
        size_t len = 0;
        for (uint32_t l = 0; l < path.label_count && l < ZOR_TLOC_PATH_LABEL_MAX; l++) {
            len += static_cast<size_t>(snprintf(labels + len, sizeof(labels) - len, "%u ", path.labels[l]));
        }
        ZOR_LOG("        Path %d => Local: %d, Border: %d, MTU: %u, Labels: %s\n", static_cast<int>(i + 1),
                static_cast<int>(path.local_index), static_cast<int>(path.border_index), path.mtu, labels);
    }
}

void zor_debug_link(const zor_msg_t *msg)
{
    const zor_msg_link_t &link = msg->body.link;
    char local[128];
    char remote[128];
    ZOR_LOG("    [%s] [%d] ==> [%s] [%d]  Origin: %s\n", tloc_to_str(&link.local, local, sizeof(local)),
            static_cast<int>(link.local_index), tloc_to_str(&link.remote, remote, sizeof(remote)),
            static_cast<int>(link.remote_index), zor_msg_tloc_origin_str(link.origin));
    if (msg->type != ZOR_MSG_LINK_ADD) {
        return;
    }
    ZOR_LOG("      Preference: %u, MTU: %u, Label: %u, Status: %s, Stale: %d\n", link.preference, link.mtu, link.label,
            link.status == 1 ? "UP" : "DOWN", link.stale);
    ZOR_LOG("      Loss: %u, Latency: %u, Jitter: %u\n", link.loss, link.latency, link.jitter);
}

void zor_debug_ctrl_device(const zor_msg_ctrl_device_t *dev)
{
    char addr[128];
    // The region-id set: "NA" when empty; a set too long for the line
    // reads "TRUNCATED".
    char regions[512] = "NA";
    if (dev->region_count > 0) {
        size_t len = 0;
        regions[0] = '\0';
        for (uint32_t i = 0; i < dev->region_count && i < ZOR_MSG_CTRL_DEVICE_REGION_MAX; i++) {
            int w = snprintf(regions + len, sizeof(regions) - len, i == 0 ? "%u" : " %u", dev->region_ids[i]);
            if (w < 0 || len + static_cast<size_t>(w) >= sizeof(regions)) {
                snprintf(regions, sizeof(regions), "TRUNCATED");
                break;
            }
            len += static_cast<size_t>(w);
        }
    }
    ZOR_LOG("    Device: %s, Type: %s, State: %s, Staging: %s\n    Region-id-set: %s\n",
            ip_addr_to_str(&dev->addr, addr, sizeof(addr)), ost_personality_str(dev->type),
            dev->state == 1 ? "UP" : "DOWN", dev->staging ? "yes" : "no", regions);
}

void zor_debug_tracker(const zor_msg_tracker_t *tracker)
{
    ZOR_LOG("    Tracker-Name: %.*s, Attach-Point: %.*s, VpnId : %lu Status: %s\n", ZOR_MSG_TRACKER_NAME_LEN,
            tracker->name, ZOR_MSG_TRACKER_NAME_LEN, tracker->attach_point,
            static_cast<unsigned long>(tracker->vpn_id), tracker->status == 1 ? "UP" : "DOWN");
}

}  // namespace

void zor_debug_announcement(const zor_msg_t *msg, uint32_t client_id, bool sent)
{
    if (g_zor_debug_announce == 0) {
        return;
    }
    ZOR_LOG("%s ZOR Msg %s, Client: %s, AF: %s", sent ? "Sent" : "Received", zor_msg_type_str(msg->type),
            zor_module_name(client_id), zor_af_str(msg->family));
    const zor_msg_body_t &body = msg->body;
    char a[128];
    char b[128];
    char flags[OST_ATTR_FLAGS_STR_LEN];
    switch (msg->type) {
    case ZOR_MSG_REGISTER:
    case ZOR_MSG_UNREGISTER:
        ZOR_LOG("    Announcement: %s, Originate: %s\n", body.reg.announce ? "Enabled" : "Disabled",
                body.reg.originate ? "Enabled" : "Disabled");
        break;
    case ZOR_MSG_TLOC_BFD_STATUS:
        ZOR_LOG("    TLOC: %s, Status: %s\n", tloc_to_str(&body.bfd.key, a, sizeof(a)),
                zor_msg_bfd_state_str(body.bfd.status));
        break;
    case ZOR_MSG_LINK_STATUS: {
        const zor_msg_link_status_t &ls = body.link_status;
        ZOR_LOG("    Remote-TLOC: %s, Local-TLOC: %s, Status: %s, Rec Idx: %d MTU: %u, Loss: %u, Latency: %u, "
                "Jitter: %u\n",
                tloc_to_str(&ls.remote, a, sizeof(a)), tloc_to_str(&ls.local, b, sizeof(b)),
                ls.bfd_status == 1 ? "UP" : "DOWN", ls.tun_rec_index, ls.mtu, ls.loss, ls.latency, ls.jitter);
        break;
    }
    case ZOR_MSG_TLOC_ADD:
    case ZOR_MSG_TLOC_DEL:
        zor_debug_tloc(&body.tloc);
        break;
    case ZOR_MSG_LINK_ADD:
    case ZOR_MSG_LINK_DEL:
        zor_debug_link(msg);
        break;
    case ZOR_MSG_CTRL_DEVICE_ADD:
    case ZOR_MSG_CTRL_DEVICE_DEL:
        zor_debug_ctrl_device(&body.ctrl_device);
        break;
    case ZOR_MSG_DATA_DEVICE_ADD:
    case ZOR_MSG_DATA_DEVICE_DEL:
        ZOR_LOG("    Device: %s, Status: %d\n", ip_addr_to_str(&body.data_device.addr, a, sizeof(a)),
                static_cast<int>(body.data_device.status));
        break;
    case ZOR_MSG_VPN_SEC_ADD:
    case ZOR_MSG_VPN_SEC_DEL:
        ZOR_LOG("    VPN: %lu Remote IP: %s Origin: %s\n", static_cast<unsigned long>(body.vpn_sec.vpn_id),
                ip_addr_to_str(&body.vpn_sec.remote, a, sizeof(a)), zor_msg_origin_str(body.vpn_sec.origin));
        ZOR_LOG("      Attributes: %s\n", ost_attr_flags_str(body.vpn_sec.attr.flags, flags, sizeof(flags)));
        if (body.vpn_sec.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP)) {
            zor_debug_encap(&body.vpn_sec.attr, false);
        }
        break;
    case ZOR_MSG_PEER_SEC_ADD:
    case ZOR_MSG_PEER_SEC_DEL:
        ZOR_LOG("    VPN: %lu Origin IP: %s Dest IP: %s Origin: %s\n", static_cast<unsigned long>(body.peer_sec.vpn_id),
                ip_addr_to_str(&body.peer_sec.origin_ip, a, sizeof(a)),
                ip_addr_to_str(&body.peer_sec.dest_ip, b, sizeof(b)), zor_msg_origin_str(body.peer_sec.origin));
        ZOR_LOG("      Attributes: %s\n", ost_attr_flags_str(body.peer_sec.attr.flags, flags, sizeof(flags)));
        if (body.peer_sec.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP)) {
            zor_debug_encap(&body.peer_sec.attr, false);
        }
        break;
    case ZOR_MSG_TRACKER_ADD:
    case ZOR_MSG_TRACKER_DEL:
    case ZOR_MSG_TRACKER_STATUS:
        zor_debug_tracker(&body.tracker);
        break;
    case ZOR_MSG_DATA_DEVICE_STATE:
        ZOR_LOG("    System IP: %s, state set to %s", ip_addr_to_str(&body.data_device_state.addr, a, sizeof(a)),
                zor_af_data_device_state_str(body.data_device_state.state));
        break;
    default:
        break;
    }
}
