// Tagged values of the management agent's data interface, as far as zord
// produces and reads them: addresses, enumerations, booleans and the absence
// of a value. A value is its type tag and a union of the forms.
#pragma once

#include <cstdint>
#include <cstring>
#include <netinet/in.h>

enum confd_vtype : uint32_t {
    C_NOEXISTS = 1,
    C_IPV4 = 15,
    C_IPV6 = 16,
    C_BOOL = 17,
    C_ENUM_VALUE = 28,
};

struct confd_value_t {
    uint32_t type;  // confd_vtype
    union {
        struct in_addr ip;    // C_IPV4, network byte order
        struct in6_addr ip6;  // C_IPV6
        int32_t enumvalue;    // C_ENUM_VALUE
        int boolean;          // C_BOOL
    } val;
};

inline void confd_value_set_ipv4(confd_value_t *v, uint32_t network_order)
{
    v->type = C_IPV4;
    v->val.ip.s_addr = network_order;
}

inline void confd_value_set_ipv6(confd_value_t *v, const uint8_t bytes[16])
{
    v->type = C_IPV6;
    memcpy(&v->val.ip6, bytes, sizeof(v->val.ip6));
}

inline void confd_value_set_enum(confd_value_t *v, int32_t value)
{
    v->type = C_ENUM_VALUE;
    v->val.enumvalue = value;
}
