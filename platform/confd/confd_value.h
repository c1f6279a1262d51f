// Small helpers over the agent's values for zord's operational data.
#pragma once

#include <cstdint>
#include <cstring>

#include "confd_lib.h"

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
