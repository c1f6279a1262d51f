#include "zor_af_tloc_show.h"

#include "zor_af_sec_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>

#include "ip_util.h"
#include "confd_maapi.h"
#include "ost_util.h"
#include "zor_af_tloc.h"
#include "zor_path.h"
#include "zor_result.h"

namespace {

constexpr const char *k_usage = "Usage show support zor tlocs tloc-ip:color:encap\n";
constexpr const char *k_usage_tloc = "Usage show support zor tlocs tloc tloc-ip:color:encap\n";
constexpr const char *k_usage_internal = "Usage show internal zor tlocs tloc tloc-ip:color:encap\n";
constexpr const char *k_tlocip_opt = "--tlocip=";
constexpr size_t k_tlocip_opt_len = 9;

// A security key is shown only by its first and last byte.
void zor_show_sec_key(int sock, int usess, const char *what, uint32_t i, const zor_tloc_sec_key_t &key)
{
    maapi_cli_printf(sock, usess, "             %s[%u]: type: %s Key: %c..%c\n", what, i, ost_key_type_str(key.type),
                     key.key[0], key.key[ZOR_TLOC_SEC_KEY_LEN - 1]);
}

void zor_show_security(int sock, int usess, const zor_tloc_sec_t &sec)
{
    maapi_cli_printf(sock, usess,
                     "        Security:\n"
                     "           Inbound SA Index: %u, SPI:              %u, Anti-replay:   %s\n"
                     "           Num protos:       %u, Num encrypt type: %u, Num integrity: %u\n"
                     "           Num auth key:     %u Num encrypt keys:  %u\n",
                     sec.inbound_sa_index, sec.spi, "True", sec.proto_count, sec.enc_type_count, sec.integrity_count,
                     sec.auth_key_count, sec.enc_key_count);
    for (uint32_t i = 0; i < std::min<uint32_t>(sec.proto_count, ZOR_TLOC_SEC_PROTO_MAX); i++) {
        maapi_cli_printf(sock, usess, "             Proto[%u]: %s\n", i, ost_sec_proto_str(sec.protos[i]));
    }
    // The block has room for one integrity type whatever the count says.
    for (uint32_t i = 0; i < std::min<uint32_t>(sec.integrity_count, 1); i++) {
        maapi_cli_printf(sock, usess, "             Integrity[%u]: %s\n", i, ost_integrity_str(sec.integrity_type));
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(sec.enc_type_count, ZOR_TLOC_SEC_ENC_TYPE_MAX); i++) {
        maapi_cli_printf(sock, usess, "             encrypt type[%u]: %s\n", i, ost_enc_type_str(sec.enc_types[i]));
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(sec.auth_key_count, ZOR_TLOC_SEC_KEY_MAX); i++) {
        zor_show_sec_key(sock, usess, "auth key", i, sec.auth_keys[i]);
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(sec.enc_key_count, ZOR_TLOC_SEC_KEY_MAX); i++) {
        zor_show_sec_key(sock, usess, "encrypt key", i, sec.enc_keys[i]);
    }
}

void zor_show_encap(int sock, int usess, const zor_tloc_attr_t &attr)
{
    if (attr.encap == ZOR_TUNNEL_ENCAP_GRE) {
        maapi_cli_printf(sock, usess, "        Encap: %s, key: %u\n", ost_tunnel_encap_str(attr.encap), attr.encap_key);
    } else if (attr.encap == ZOR_TUNNEL_ENCAP_IPSEC) {
        char integrity[512];
        char masked[16];
        zor_sec_masked_key(&attr, masked, sizeof(masked));
        maapi_cli_printf(sock, usess,
                         "        Encap: %s, Integrity: %s(0x%x), encrypt: %s(0x%x), spi %u\n"
                         "          ckey: %s akey: %s\n",
                         ost_tunnel_encap_str(attr.encap),
                         zor_sec_integrity_str(attr.integrity, integrity, sizeof(integrity)), attr.integrity,
                         ost_cipher_str(attr.cipher), attr.cipher, attr.spi, masked, masked);
    }
}

}  // namespace

void zor_af_tloc_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    const t_zor_af_tloc *tloc = zor_af_tloc_of(entry);
    const zor_tloc_attr_t &attr = tloc->attr;
    auto has = [&attr](int bit) { return (attr.flags & ZOR_TLOC_ATTR_BIT(bit)) != 0; };
    char key[128];
    char text[OST_ATTR_FLAGS_STR_LEN];

    maapi_cli_printf(sock, usess, "    TLOC: %s, Origin: %s, Index: %d, Carrier: %d, LR Enabled: %u, LR hold time: %u\n",
                     tloc_to_str(&tloc->key, key, sizeof(key)), zor_msg_tloc_origin_str(tloc->origin),
                     static_cast<int>(tloc->index), attr.carrier, tloc->lr_enabled, tloc->lr_hold_time);
    maapi_cli_printf(sock, usess, "    Status: %s, Active: %s, BFD Handle: %u, BFD Status: %s\n",
                     tloc->status == ZOR_TLOC_STATUS_UP ? "Up" : "Down", tloc->inactive == 0 ? "Yes" : "No",
                     tloc->bfd_handle, zor_msg_bfd_state_str(tloc->bfd_status));
    maapi_cli_printf(sock, usess, "    Attributes: Flags: (0x%lx) %s\n", static_cast<unsigned long>(attr.flags),
                     ost_attr_flags_str(attr.flags, text, sizeof(text)));
    maapi_cli_printf(sock, usess, "        Pref: %u, Weight: %u, site-id: %u, region-id: %u, Stale: %d\n",
                     attr.preference, attr.weight, attr.site_id, attr.region_id, attr.stale);
    // The peers' message format puts restrict and on-demand the other way
    // round from the announcement log; both outputs keep their labels.
    maapi_cli_printf(sock, usess, "        Ver: %u, Gen-id: %u, Restrict: %d, On-Demand: %dBorder: %u\n", attr.version,
                     attr.gen_id, attr.on_demand, attr.restricted, attr.border);
    if (has(ZOR_TLOC_ATTR_GROUP)) {
        maapi_cli_printf(sock, usess, "        Group-count %u\n", attr.group_count);
        if (attr.group_count != 0) {
            maapi_cli_printf(sock, usess, "        Group-List: ");
            for (uint32_t i = 0; i < std::min<uint32_t>(attr.group_count, ZOR_TLOC_GROUP_MAX); i++) {
                maapi_cli_printf(sock, usess, "%u ", attr.groups[i]);
            }
            maapi_cli_printf(sock, usess, "\n");
        }
    }
    if (has(ZOR_TLOC_ATTR_BANDWIDTH)) {
        maapi_cli_printf(sock, usess, "        Bandwidth %u\n", tloc->bandwidth);
    }
    if (has(ZOR_TLOC_ATTR_QOS_GROUP)) {
        maapi_cli_printf(sock, usess, "        Qos_Group %.*s\n", ZOR_TLOC_QOS_NAME_LEN, tloc->qos_group);
    }
    if (has(ZOR_TLOC_ATTR_CAPABILITY)) {
        maapi_cli_printf(sock, usess, "        Capability 0x%lu\n", static_cast<unsigned long>(attr.capability));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PUB)) {
        maapi_cli_printf(sock, usess, "        TLOCv4-Public: %s\n",
                         ip_addr_port_to_str(&attr.tloc_v4_public, text, sizeof(text)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV4_PRI)) {
        maapi_cli_printf(sock, usess, "        TLOCv4-Private: %s\n",
                         ip_addr_port_to_str(&attr.tloc_v4_private, text, sizeof(text)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PUB)) {
        maapi_cli_printf(sock, usess, "        TLOCv6-Public: %s\n",
                         ip_addr_port_to_str(&attr.tloc_v6_public, text, sizeof(text)));
    }
    if (has(ZOR_TLOC_ATTR_TLOCV6_PRI)) {
        maapi_cli_printf(sock, usess, "        TLOCv6-Private: %s\n",
                         ip_addr_port_to_str(&attr.tloc_v6_private, text, sizeof(text)));
    }
    if (has(ZOR_TLOC_ATTR_ENCAP)) {
        zor_show_encap(sock, usess, attr);
    }
    if (has(ZOR_TLOC_ATTR_SECURITY)) {
        zor_show_security(sock, usess, attr.sec);
    }
    maapi_cli_printf(sock, usess, "    Advertised to: %s\n\n", zor_db_entry_clients_str(ctx, entry, text, sizeof(text)));
    zor_path_list_show(uinfo, tloc->path_list);
}

void zor_af_tloc_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    if (ctx == nullptr || af >= ZOR_AF_COUNT || ctx->trees[af] == nullptr) {
        return;
    }
    avl_tree_t *tree = ctx->trees[af];
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        zor_af_tloc_show(af, ctx, e, uinfo);
    }
}

void zor_af_tloc_local_db_dump(confd_user_info *uinfo)
{
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr || ctx->local_tloc_db_p == nullptr) {
        return;
    }
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    maapi_cli_printf(sock, usess, "\n   ================================");
    maapi_cli_printf(sock, usess, "\n       ZOR Local TLOC Database       ");
    maapi_cli_printf(sock, usess, "\n   ================================\n");
    avl_tree_t *local = ctx->local_tloc_db_p;
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(local)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(local, e, AVL_AFTER))) {
        zor_af_tloc_show(e->family, ctx, e, uinfo);
        zor_daemon_yield(ctx);
    }
}

int zor_show_support_tlocs(confd_user_info *uinfo, int argc, char **argv)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr) {
        maapi_cli_printf(sock, usess, "ZOR context not UP\n");
        return ZOR_OK;
    }
    if (argc <= 0) {
        maapi_cli_printf(sock, usess, "%s", k_usage);
        return ZOR_OK;
    }
    avl_tree_t *tree = ctx->trees[ZOR_AF_TLOC_IPV4];
    if (argc == 1) {
        if (tree == nullptr) {
            return ZOR_OK;
        }
        // Each step looks up the next key afresh: yielding lets timers add
        // and withdraw entries in between.
        t_zor_af_tloc probe{};
        t_zor_db_entry tmpl{};
        tmpl.record = &probe;
        for (;;) {
            auto *e = static_cast<t_zor_db_entry *>(avl_find_next(tree, &tmpl));
            if (e == nullptr) {
                break;
            }
            zor_af_show(e->family, ctx, e, uinfo);
            probe.key = zor_af_tloc_of(e)->key;
            zor_daemon_yield(ctx);
        }
        return ZOR_OK;
    }

    const char *arg = argv[1];
    if (arg == nullptr || strstr(arg, k_tlocip_opt) == nullptr) {
        maapi_cli_printf(sock, usess, "%s", k_usage_tloc);
        return ZOR_OK;
    }
    const char *text = arg + k_tlocip_opt_len;
    zor_tloc_key_t key{};
    tloc_text_t parts;
    const tloc_text_result_t result = tloc_from_str(text, k_tloc_text_cli, &key, &parts);
    // The address and its colon are read first: a text that does not open
    // with four numbers and a colon is a usage error whatever follows.
    uint32_t value = 0;
    const char *after = nullptr;
    const bool opens_with_address = text[0] != ':' && parts.fields >= 1 &&
                                    ip_quad_from_str(parts.addr.c_str(), &value, &after) != IP_QUAD_FORM &&
                                    *after == '\0';
    if (!opens_with_address || parts.fields < 2) {
        maapi_cli_printf(sock, usess, "%s", k_usage_tloc);
        return ZOR_OK;
    }
    if (parts.fields < 3) {
        maapi_cli_printf(sock, usess, "%s", k_usage_internal);
        return ZOR_OK;
    }
    if (result == TLOC_TEXT_ADDR) {
        maapi_cli_printf(sock, usess, "Bad IP address specified %s\n", text);
        return ZOR_OK;
    }
    if (result == TLOC_TEXT_COLOR) {
        maapi_cli_printf(sock, usess, "Bad color specified %s\n", parts.color.c_str());
        return ZOR_OK;
    }
    if (result == TLOC_TEXT_ENCAP) {
        maapi_cli_printf(sock, usess, "Bad encap specified %s\n", parts.encap.c_str());
        return ZOR_OK;
    }
    char key_text[128];
    tloc_to_str(&key, key_text, sizeof(key_text));
    maapi_cli_printf(sock, usess, "Looking up TLOC %s\n", key_text);
    t_zor_db_entry *entry = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx, &key, nullptr);
    if (entry == nullptr) {
        maapi_cli_printf(sock, usess, "TLOC %s not found\n", key_text);
        return ZOR_OK;
    }
    zor_af_show(entry->family, ctx, entry, uinfo);
    return ZOR_OK;
}
