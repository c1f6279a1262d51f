// What the security twins VPN-SEC and PEER-SEC share: their operations, and
// the two texts of the attribute block that the TLOC display prints the same
// way (the masked key and the integrity set as names). Keys are never
// printed or logged in full anywhere: the masked key is the only form they
// take in output. Event-loop thread only (the texts are pure and safe
// anywhere).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ip_util.h"
#include "zor_af_base.h"
#include "zor_db.h"
#include "zor_log.h"
#include "zor_msg.h"

struct confd_user_info;

// Buffer size for both texts below.
#define ZOR_SEC_TEXT_LEN 512

// The names of the set bits of an integrity set, highest bit first,
// separated by single blanks; bit 7 is ignored. Bit 0 "none", 3 "esp",
// 4 "ip-udp-esp", 5 "ip-udp-esp-no-id", any other "MISMATCH". A name is
// added only while size exceeds the text so far plus the name plus 5; empty
// when no bit is set. Returns buf.
char *zor_sec_integrity_str(uint32_t integrity, char *buf, size_t size);

// "*****" followed by the last two bytes (14 and 15) of the MD5 digest of the
// second 64-byte key and then the first, in lower-case hex ("*****%02x%02x").
// Should the digest be unavailable the text is "*****" alone. Returns buf.
char *zor_sec_masked_key(const zor_tloc_attr_t *attr, char *buf, size_t size);

// The way a twin prints the integrity number of the IPsec line.
enum zor_sec_show_style_t {
    ZOR_SEC_SHOW_PEER,  // "Integrity: %s (0x%x)"
    ZOR_SEC_SHOW_VPN,   // "Integrity: %s(0x%x)"
};

// The lines after a twin's first show line: the attribute flags, the
// encapsulation line(s) when the ENCAP bit is set (the GRE line has no line
// end), and "    Advertised to: %s\n\n".
void zor_sec_show_attr(const t_zor_context *ctx, const t_zor_db_entry *entry, const zor_tloc_attr_t *attr,
                       zor_sec_show_style_t style, confd_user_info *uinfo);

// The key of an entry for log lines: "vpn <id>", then "<name> <address>"
// for each key address; an address that is neither IPv4 nor IPv6 reads
// "<name> of address family <n>". Returns buf.
char *zor_sec_key_str(uint64_t vpn_id, const ip_addr_t *const *addrs, const char *const *names, size_t count,
                      char *buf, size_t size);

// The last step of an add to either twin, once the entry of the key was
// found or made: a new entry always takes the block and is scheduled (it is
// distributed at once even when the block is all zero); an existing one only
// when any of the 744 bytes differ.
void zor_sec_attr_update(t_zor_context *ctx, t_zor_db_entry *entry, bool is_new, zor_tloc_attr_t *stored,
                         const zor_tloc_attr_t *incoming);

// The operations of the twins. Each keeps one entry per key (a VPN id and
// one or two addresses) owned by the client that first announced it, with
// the origin of that announcement and an opaque 744-byte attribute block.
// A twin's record and its message body have the same fields under the same
// names (vpn_id, the key addresses, origin, attr); the twin describes the
// rest with a traits type T:
//   T::record      its record type (allocated with zor_mem_new);
//   T::body(msg)   its body in a message (const for a const message);
//   T::addrs(x)    the key addresses of a record or a body, in key order,
//                  as a std::array of pointers;
//   T::addr_names  their names in log lines, in the same order.
// A twin's operation table is made of these (zor_sec_ops below).

template <class T>
const typename T::record *zor_sec_rec(const t_zor_db_entry *entry)
{
    return static_cast<const typename T::record *>(entry->record);
}

// The key order: the VPN id as an unsigned number, then each key address in
// turn (ip_addr_cmp).
template <class T>
int zor_sec_cmp(const void *a, const void *b)
{
    const auto *x = zor_sec_rec<T>(static_cast<const t_zor_db_entry *>(a));
    const auto *y = zor_sec_rec<T>(static_cast<const t_zor_db_entry *>(b));
    if (x->vpn_id != y->vpn_id) {
        return x->vpn_id < y->vpn_id ? -1 : 1;
    }
    const auto xa = T::addrs(*x);
    const auto ya = T::addrs(*y);
    for (size_t i = 0; i < xa.size(); i++) {
        const int rc = ip_addr_cmp(xa[i], ya[i]);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

// True when every key address of x (a record or a body) is IPv4 or IPv6,
// the only families the key order takes.
template <class T, class X>
bool zor_sec_key_valid(const X &x)
{
    for (const ip_addr_t *a : T::addrs(x)) {
        if (!zor_af_base_addr_valid(a)) {
            return false;
        }
    }
    return true;
}

// The VPN id, the key addresses (in key form) and the origin of src into
// dst; each of them a record or a body.
template <class T, class Dst, class Src>
void zor_sec_key_copy(Dst &dst, const Src &src)
{
    dst.vpn_id = src.vpn_id;
    const auto to = T::addrs(dst);
    const auto from = T::addrs(src);
    for (size_t i = 0; i < to.size(); i++) {
        zor_af_base_addr_copy(to[i], from[i]);
    }
    dst.origin = src.origin;
}

template <class T, class X>
char *zor_sec_key_str(const X &x, char *buf, size_t size)
{
    const auto addrs = T::addrs(x);
    return zor_sec_key_str(x.vpn_id, addrs.data(), T::addr_names.data(), addrs.size(), buf, size);
}

// find: the entry of the message's key with the insertion point; null for
// none and for a key address that is neither IPv4 nor IPv6.
template <class T>
t_zor_db_entry *zor_sec_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    const auto &body = T::body(msg);
    if (!zor_sec_key_valid<T>(body)) {
        return nullptr;
    }
    typename T::record probe{};
    zor_sec_key_copy<T>(probe, body);
    return zor_af_base_find(af, ctx, &probe, where);
}

// add: a new key makes an entry owned by client with the body's origin and
// block, and schedules it. For an existing key of the same client the block
// is taken, and the entry scheduled, only when it differs; key and origin
// stay as they were created. The entry; null when memory runs out (nothing
// kept), for a key address of another family (logged) and for a key that
// belongs to another client (logged, the owner's entry kept).
template <class T>
t_zor_db_entry *zor_sec_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    const auto &body = T::body(msg);
    char key[160];
    if (!zor_sec_key_valid<T>(body)) {
        ZOR_LOG("%s add from %s dropped: %s", zor_af_str(af), zor_af_base_client_str(client),
                zor_sec_key_str<T>(body, key, sizeof(key)));
        return nullptr;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_sec_find<T>(af, ctx, msg, &where);
    const bool is_new = entry == nullptr;
    if (is_new) {
        auto *r = zor_mem_new<typename T::record>();
        if (r == nullptr) {
            return nullptr;
        }
        zor_sec_key_copy<T>(*r, body);
        entry = zor_af_base_entry_insert(af, ctx, client, r, where);
        if (entry == nullptr) {
            zor_mem_delete(r);
            return nullptr;
        }
    } else if (entry->client_p != client) {
        // The entry stays its owner's: a second announcer of the same key is
        // refused (a peer's message never stops the daemon).
        ZOR_LOG("%s add from %s refused: %s belongs to %s", zor_af_str(af), zor_af_base_client_str(client),
                zor_sec_key_str<T>(body, key, sizeof(key)), zor_af_base_client_str(entry->client_p));
        return nullptr;
    }
    auto *r = static_cast<typename T::record *>(entry->record);
    zor_sec_attr_update(ctx, entry, is_new, &r->attr, &body.attr);
    return entry;
}

// delete: withdraws the entry of the message's key on behalf of client
// (only its owner's request counts); an unknown key is ignored.
template <class T>
void zor_sec_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_sec_find<T>(af, ctx, msg, nullptr);
    if (entry != nullptr) {
        zor_af_base_withdraw_owned(af, ctx, client, entry);
    }
}


// fill_msg: the key and origin into the body, and the block unless is_delete
// (a delete carries a zeroed block).
template <class T>
void zor_sec_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    const auto *r = zor_sec_rec<T>(entry);
    auto &body = T::body(msg);
    zor_sec_key_copy<T>(body, *r);
    if (is_delete) {
        memset(&body.attr, 0, sizeof(body.attr));
    } else {
        body.attr = r->attr;
    }
}

// A twin's operation table: everything from its traits and the shared
// defaults, but for show, whose first line each twin words its own way.
template <class T, void (*Show)(zor_af_t, t_zor_context *, t_zor_db_entry *, confd_user_info *)>
constexpr zor_af_ops_t zor_sec_ops = {
    nullptr,
    zor_sec_add<T>,
    zor_af_base_withdraw_owned,
    zor_sec_delete<T>,
    zor_sec_find<T>,
    zor_af_base_tree_create_by<zor_sec_cmp<T>>,
    zor_af_base_tree_destroy,
    zor_af_base_record_free<typename T::record>,
    zor_sec_fill_msg<T>,
    Show,
    zor_af_base_show_all,
};
