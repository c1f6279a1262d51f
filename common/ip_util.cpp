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

ip_quad_result_t ip_quad_from_str(const char *text, uint32_t *host_order, const char **rest)
{
    unsigned int octets[4] = {};
    int end = 0;
    if (sscanf(text, "%u.%u.%u.%u%n", &octets[0], &octets[1], &octets[2], &octets[3], &end) != 4) {
        return IP_QUAD_FORM;
    }
    if (rest != nullptr) {
        *rest = text + end;
    }
    for (unsigned int octet : octets) {
        if (octet > 255) {
            return IP_QUAD_RANGE;
        }
    }
    *host_order = (octets[0] << 24) | (octets[1] << 16) | (octets[2] << 8) | octets[3];
    return IP_QUAD_OK;
}

namespace {

bool tloc_text_cli_addr(const char *text, ip_addr_t *addr)
{
    uint32_t value = 0;
    if (ip_quad_from_str(text, &value, nullptr) != IP_QUAD_OK) {
        return false;
    }
    *addr = ip_addr_v4(value);
    return true;
}

bool tloc_text_cli_color(const char *text, uint8_t *color)
{
    *color = ost_color_from_str(text);
    return *color != 0;
}

bool tloc_text_cli_encap(const char *text, uint8_t *encap)
{
    *encap = ost_encap_from_str(text);
    return *encap != 0;
}

// Cuts at every colon as strtok does: empty fields are skipped, at most
// three are taken.
void tloc_text_cut_each(const std::string &text, tloc_text_t *parts)
{
    std::string *fields[] = {&parts->addr, &parts->color, &parts->encap};
    size_t pos = 0;
    while (parts->fields < 3) {
        pos = text.find_first_not_of(':', pos);
        if (pos == std::string::npos) {
            break;
        }
        const size_t end = text.find(':', pos);
        *fields[parts->fields++] = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
    }
}

// Colour and encap are the last two fields; everything before is the address.
void tloc_text_cut_last_two(const std::string &text, tloc_text_t *parts)
{
    const size_t last = text.rfind(':');
    const size_t mid = last == std::string::npos || last == 0 ? std::string::npos : text.rfind(':', last - 1);
    if (mid == std::string::npos) {
        parts->fields = last == std::string::npos ? 1 : 2;
        return;
    }
    parts->addr = text.substr(0, mid);
    parts->color = text.substr(mid + 1, last - mid - 1);
    parts->encap = text.substr(last + 1);
    parts->fields = 3;
}

}  // namespace

const tloc_text_rules_t k_tloc_text_cli = {false, tloc_text_cli_addr, tloc_text_cli_color, tloc_text_cli_encap};

tloc_text_result_t tloc_from_str(const char *text, const tloc_text_rules_t &rules, tloc_key_t *key,
                                 tloc_text_t *parts)
{
    *key = tloc_key_t{};
    tloc_text_t own;
    tloc_text_t &p = parts != nullptr ? *parts : own;
    p = tloc_text_t{};
    const std::string whole = text != nullptr ? text : "";
    if (rules.address_keeps_colons) {
        tloc_text_cut_last_two(whole, &p);
    } else {
        tloc_text_cut_each(whole, &p);
    }
    if (p.fields < 3) {
        return TLOC_TEXT_FORM;
    }
    if (!rules.addr(p.addr.c_str(), &key->addr)) {
        key->addr = ip_addr_t{};
        return TLOC_TEXT_ADDR;
    }
    if (!rules.color(p.color.c_str(), &key->color)) {
        return TLOC_TEXT_COLOR;
    }
    if (!rules.encap(p.encap.c_str(), &key->encap)) {
        return TLOC_TEXT_ENCAP;
    }
    return TLOC_TEXT_OK;
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
