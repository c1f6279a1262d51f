#include "ip_util.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "ost_assert.h"
#include "ost_util.h"

int ip_addr_cmp(const ip_addr_t *a, const ip_addr_t *b)
{
    OST_ASSERT(a->family == IP_AF_INET || a->family == IP_AF_INET6);
    OST_ASSERT(b->family == IP_AF_INET || b->family == IP_AF_INET6);
    if (a->family != b->family) {
        return a->family < b->family ? -1 : 1;
    }
    if (a->family == IP_AF_INET) {
        if (a->u.v4 == b->u.v4) {
            return 0;
        }
        return a->u.v4 < b->u.v4 ? -1 : 1;
    }
    int rc = memcmp(a->u.v6, b->u.v6, sizeof(a->u.v6));
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}

bool ip_addr_equal(const ip_addr_t *a, const ip_addr_t *b)
{
    if (a->family != b->family) {
        return false;
    }
    if (a->family == IP_AF_INET) {
        return a->u.v4 == b->u.v4;
    }
    return memcmp(a->u.v6, b->u.v6, sizeof(a->u.v6)) == 0;
}

char *ip_addr_to_str(const ip_addr_t *addr, char *buf, size_t len)
{
    if (len == 0) {
        return buf;
    }
    if (addr->family == IP_AF_INET) {
        uint32_t v = addr->u.v4;
        snprintf(buf, len, "%d.%d.%d.%d", (v >> 24) & 0xff, (v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
    } else if (addr->family == IP_AF_INET6) {
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, addr->u.v6, text, sizeof(text)) == nullptr) {
            text[0] = '\0';
        }
        snprintf(buf, len, "%s", text);
    } else {
        // Unset addresses appear in zeroed records; they are not an error here.
        snprintf(buf, len, "--");
    }
    return buf;
}

char *ip_addr_port_to_str(const ip_addr_port_t *addr, char *buf, size_t len)
{
    char text[128];
    ip_addr_to_str(&addr->addr, text, sizeof(text));
    snprintf(buf, len, "%s:%u", text, addr->port);
    return buf;
}

char *tloc_to_str(const tloc_key_t *tloc, char *buf, size_t len)
{
    char text[INET6_ADDRSTRLEN + 1];
    ip_addr_to_str(&tloc->addr, text, sizeof(text));
    snprintf(buf, len, "%s : %s : %s", text, ost_color_str(tloc->color), ost_encap_str(tloc->encap));
    return buf;
}

int ip_addr_from_str(const char *text, ip_addr_t *addr)
{
    memset(addr, 0, sizeof(*addr));
    if (text == nullptr) {
        return 0;
    }
    in_addr_t v4 = inet_network(text);
    if (v4 != INADDR_NONE) {
        addr->family = IP_AF_INET;
        addr->u.v4 = v4;
        return 1;
    }
    if (inet_pton(AF_INET6, text, addr->u.v6) == 1) {
        addr->family = IP_AF_INET6;
        return 1;
    }
    memset(addr, 0, sizeof(*addr));
    return 0;
}

ip_addr_t ip_addr_v4(uint32_t host_order)
{
    ip_addr_t addr{};
    addr.family = IP_AF_INET;
    addr.u.v4 = host_order;
    return addr;
}
