// What the security twins VPN-SEC and PEER-SEC share, and the two texts of
// the attribute block that the TLOC display prints the same way: the masked
// key and the integrity set as names. Keys are never printed or logged in
// full anywhere: the masked key is the only form they take in output.
// Event-loop thread only (the texts are pure and safe anywhere).
#pragma once

#include <cstddef>
#include <cstdint>

#include "zor_db.h"
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

// The last step of an add to either twin, once the entry of the key was
// found or made: a new entry always takes the block and is scheduled (it is
// distributed at once even when the block is all zero); an existing one only
// when any of the 744 bytes differ.
void zor_sec_attr_update(t_zor_context *ctx, t_zor_db_entry *entry, bool is_new, zor_tloc_attr_t *stored,
                         const zor_tloc_attr_t *incoming);

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
