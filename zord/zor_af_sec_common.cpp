#include "zor_af_sec_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>

#include "confd_maapi.h"
#include "ost_util.h"

namespace {

const char *zor_sec_integrity_name(uint32_t bit)
{
    switch (bit) {
    case 0:
        return "none";
    case 3:
        return "esp";
    case 4:
        return "ip-udp-esp";
    case 5:
        return "ip-udp-esp-no-id";
    default:
        return "MISMATCH";
    }
}

// Bit 7 of the integrity set is not an integrity type.
constexpr uint32_t k_integrity_ignored = 0x80;

}  // namespace

char *zor_sec_integrity_str(uint32_t integrity, char *buf, size_t size)
{
    if (size == 0) {
        return buf;
    }
    buf[0] = '\0';
    size_t len = 0;
    const uint32_t set = integrity & ~k_integrity_ignored;
    for (int bit = 31; bit >= 0; bit--) {
        if (!(set & (1u << bit))) {
            continue;
        }
        const char *name = zor_sec_integrity_name(static_cast<uint32_t>(bit));
        if (size <= len + strlen(name) + 5) {
            continue;
        }
        int w = snprintf(buf + len, size - len, len == 0 ? "%s" : " %s", name);
        if (w > 0) {
            len += static_cast<size_t>(w);
        }
    }
    return buf;
}

char *zor_sec_masked_key(const zor_tloc_attr_t *attr, char *buf, size_t size)
{
    if (size == 0) {
        return buf;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    bool ok = false;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    if (md != nullptr) {
        // The second key first, then the first.
        ok = EVP_DigestInit_ex(md, EVP_md5(), nullptr) == 1 &&
             EVP_DigestUpdate(md, attr->key2, sizeof(attr->key2)) == 1 &&
             EVP_DigestUpdate(md, attr->key1, sizeof(attr->key1)) == 1 &&
             EVP_DigestFinal_ex(md, digest, &digest_len) == 1 && digest_len == 16;
        EVP_MD_CTX_free(md);
    }
    if (ok) {
        snprintf(buf, size, "*****%02x%02x", digest[14], digest[15]);
    } else {
        snprintf(buf, size, "*****");
    }
    OPENSSL_cleanse(digest, sizeof(digest));
    return buf;
}

char *zor_sec_key_str(uint64_t vpn_id, const ip_addr_t *const *addrs, const char *const *names, size_t count,
                      char *buf, size_t size)
{
    if (size == 0) {
        return buf;
    }
    size_t len = 0;
    auto put = [&](int w) { len = w > 0 ? std::min(size - 1, len + static_cast<size_t>(w)) : len; };
    put(snprintf(buf, size, "vpn %lu", vpn_id));
    for (size_t i = 0; i < count; i++) {
        if (zor_af_base_addr_valid(addrs[i])) {
            char ip[64];
            put(snprintf(buf + len, size - len, " %s %s", names[i], ip_addr_to_str(addrs[i], ip, sizeof(ip))));
        } else {
            put(snprintf(buf + len, size - len, " %s of address family %u", names[i], addrs[i]->family));
        }
    }
    return buf;
}

void zor_sec_attr_update(t_zor_context *ctx, t_zor_db_entry *entry, bool is_new, zor_tloc_attr_t *stored,
                         const zor_tloc_attr_t *incoming)
{
    // A new entry is distributed at once, even when its block equals the
    // zeroed block it was created with: the clients learn of the key.
    if (!is_new && memcmp(stored, incoming, sizeof(*stored)) == 0) {
        return;
    }
    memcpy(stored, incoming, sizeof(*stored));
    zor_db_entry_schedule(ctx, entry);
}

void zor_sec_show_attr(const t_zor_context *ctx, const t_zor_db_entry *entry, const zor_tloc_attr_t *attr,
                       zor_sec_show_style_t style, confd_user_info *uinfo)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    char flags[OST_ATTR_FLAGS_STR_LEN];
    maapi_cli_printf(sock, usess, "    Attributes: Flags: (0x%lx) %s\n", attr->flags,
                     ost_attr_flags_str(attr->flags, flags, sizeof(flags)));
    if (attr->flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP)) {
        if (attr->encap == ZOR_TUNNEL_ENCAP_GRE) {
            maapi_cli_printf(sock, usess, "        Encap: %s, key: %u", ost_tunnel_encap_str(attr->encap),
                             attr->encap_key);
        } else if (attr->encap == ZOR_TUNNEL_ENCAP_IPSEC) {
            char integrity[ZOR_SEC_TEXT_LEN];
            char key[ZOR_SEC_TEXT_LEN];
            zor_sec_integrity_str(attr->integrity, integrity, sizeof(integrity));
            zor_sec_masked_key(attr, key, sizeof(key));
            if (style == ZOR_SEC_SHOW_PEER) {
                maapi_cli_printf(sock, usess,
                                 "        Encap: %s, Integrity: %s (0x%x), encrypt: %s(0x%x), spi %u\n"
                                 "          ckey: %s akey: %s\n",
                                 ost_tunnel_encap_str(attr->encap), integrity, attr->integrity,
                                 ost_cipher_str(attr->cipher), attr->cipher, attr->spi, key, key);
            } else {
                maapi_cli_printf(sock, usess,
                                 "        Encap: %s, Integrity: %s(0x%x), encrypt: %s(0x%x), spi %u\n"
                                 "          ckey: %s akey: %s\n",
                                 ost_tunnel_encap_str(attr->encap), integrity, attr->integrity,
                                 ost_cipher_str(attr->cipher), attr->cipher, attr->spi, key, key);
            }
        }
    }
    char clients[ZOR_SEC_TEXT_LEN];
    maapi_cli_printf(sock, usess, "    Advertised to: %s\n\n",
                     zor_db_entry_clients_str(ctx, entry, clients, sizeof(clients)));
}
