// Address values, their order and their text forms. Pure functions: they take
// a value and a caller's buffer and keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#define IP_AF_INET 2    // AF_INET
#define IP_AF_INET6 10  // AF_INET6

// The address value used in every key. An IPv4 address is a host-order
// 32-bit number in the first four value bytes (10.1.2.3 is 0x0A010203); an
// IPv6 address is its 16 bytes in network order.
struct ip_addr_t {
    uint32_t family;  // IP_AF_INET or IP_AF_INET6
    uint32_t pad;
    union {
        uint32_t v4;
        uint8_t v6[16];
        uint64_t align[2];
    } u;
};
static_assert(sizeof(ip_addr_t) == 24);
static_assert(offsetof(ip_addr_t, family) == 0);
static_assert(offsetof(ip_addr_t, u) == 8);

// An address followed by a port (host order): the socket-address form.
struct ip_addr_port_t {
    ip_addr_t addr;
    uint16_t port;
};
static_assert(sizeof(ip_addr_port_t) == 32);
static_assert(offsetof(ip_addr_port_t, port) == 24);

// An address followed by a prefix length.
struct ip_prefix_t {
    ip_addr_t addr;
    uint8_t len;
};
static_assert(sizeof(ip_prefix_t) == 32);

// A TLOC key: the system address of the device, its transport colour and its
// encapsulation. Keys are compared and copied as whole 32-byte records, so
// the padding is kept zero.
struct tloc_key_t {
    ip_addr_t addr;
    uint8_t color;
    uint8_t encap;
    uint8_t pad[6];
};
static_assert(sizeof(tloc_key_t) == 32);
static_assert(offsetof(tloc_key_t, color) == 24);
static_assert(offsetof(tloc_key_t, encap) == 25);

// -1, 0 or 1. IPv4 before IPv6; IPv4 as unsigned numbers, IPv6 bytewise.
// Any other family is a programming error (assertion).
int ip_addr_cmp(const ip_addr_t *a, const ip_addr_t *b);

// True when family and value are equal (for IPv4 only the 32-bit value).
bool ip_addr_equal(const ip_addr_t *a, const ip_addr_t *b);

// IPv4 "%d.%d.%d.%d" from the most significant byte, IPv6 in inet_ntop form.
char *ip_addr_to_str(const ip_addr_t *addr, char *buf, size_t len);

// "%s:%u": the address text (at most 127 characters) and the port.
char *ip_addr_port_to_str(const ip_addr_port_t *addr, char *buf, size_t len);

// "%s : %s : %s": address text, colour name, TLOC encapsulation name.
char *tloc_to_str(const tloc_key_t *tloc, char *buf, size_t len);

// Four decimal numbers "a.b.c.d" read as scanf's %u reads them (leading
// blanks and a sign are taken). IP_QUAD_OK with *host_order set (a the most
// significant byte); IP_QUAD_FORM when fewer than four numbers are there;
// IP_QUAD_RANGE when one is 256 or more. When rest is not null and four
// numbers were read, *rest points at what follows the fourth.
enum ip_quad_result_t { IP_QUAD_OK = 0, IP_QUAD_FORM, IP_QUAD_RANGE };
ip_quad_result_t ip_quad_from_str(const char *text, uint32_t *host_order, const char **rest);

// Reading "ADDRESS:COLOUR:ENCAP". The result names the first part that is
// missing or wrong, in this order: the fields, the address, the colour, the
// encap; each caller words its own answer from it.
enum tloc_text_result_t {
    TLOC_TEXT_OK = 0,
    TLOC_TEXT_FORM,   // fewer than three fields
    TLOC_TEXT_ADDR,   // the address field does not read
    TLOC_TEXT_COLOR,  // the colour field names no colour
    TLOC_TEXT_ENCAP,  // the encap field names no encapsulation
};

// The fields as cut, for the callers' answers: empty when missing.
struct tloc_text_t {
    std::string addr;
    std::string color;
    std::string encap;
    unsigned fields = 0;  // how many were found, 0-3
};

// How a TLOC text is cut and its fields read. Each reader returns true with
// its value set, false when the field does not read.
struct tloc_text_rules_t {
    // True: colour and encap are the last two fields and the address is all
    // before them, so an IPv6 address keeps its colons. False: the text is
    // cut at every colon, empty fields are skipped and a fourth field and
    // later ones are ignored.
    bool address_keeps_colons;
    bool (*addr)(const char *text, ip_addr_t *addr);
    bool (*color)(const char *text, uint8_t *color);
    bool (*encap)(const char *text, uint8_t *encap);
};

// The operators' form: cut at every colon; an IPv4 address of four numbers
// below 256 (anything after the fourth number is ignored); colour and encap
// by ost_color_from_str and ost_encap_from_str.
extern const tloc_text_rules_t k_tloc_text_cli;

// Reads a TLOC text by the rules into *key (zeroed first; fields read before
// a failure stay set) and the fields as cut into *parts (may be null).
tloc_text_result_t tloc_from_str(const char *text, const tloc_text_rules_t &rules, tloc_key_t *key,
                                 tloc_text_t *parts);

// 1 on success. The classic IPv4 network-number conversion first, with its
// meaning for short texts (the parts fill the value from the low end: "10.1"
// is 0.0.10.1) and for hex ("0x0a") or octal ("012") parts; then IPv6 text.
// The all-ones text 255.255.255.255 is that conversion's error value and is
// refused. On failure the address is zeroed (family 0) and the result is 0.
int ip_addr_from_str(const char *text, ip_addr_t *addr);

// Helpers for building keys in code and tests.
ip_addr_t ip_addr_v4(uint32_t host_order);
