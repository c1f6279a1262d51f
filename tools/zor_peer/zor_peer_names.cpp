#include "zor_peer_names.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ost_util.h"

namespace {

constexpr const char *k_af_names[ZP_AF_COUNT] = {
    "TLOC-IPV4", "TLOC-IPV6", "CTRL-DEVICE-IPV4", "CTRL-DEVICE-IPV6", "DATA-DEVICE-IPV4",
    "DATA-DEVICE-IPV6", "VPN-SEC", "PEER-SEC", "LINK", "TRACKER",
};

constexpr const char *k_type_names[ZOR_MSG_TYPE_MAX + 1] = {
    "UNKNOWN",           "REGISTER",        "UNREGISTER",       "TLOC_BFD_STATUS",  "LINK_STATUS",
    "TLOC_ADD",          "TLOC_DEL",        "LINK_ADD",         "LINK_DEL",         "CTRL_DEVICE_ADD",
    "CTRL_DEVICE_DEL",   "DATA_DEVICE_ADD", "DATA_DEVICE_DEL",  "VPN_SEC_ADD",      "VPN_SEC_DEL",
    "PEER_SEC_ADD",      "PEER_SEC_DEL",    "TRACKER_ADD",      "TRACKER_DEL",      "TRACKER_STATUS",
    "DATA_DEVICE_STATE",
};

// Short colour names accepted besides the full ones.
constexpr struct {
    const char *name;
    uint8_t code;
} k_color_short[] = {{"met-eth", 3}, {"biz-int", 4}, {"pub-int", 5}};

bool is_v6(const ip_addr_t &addr)
{
    return addr.family == IP_AF_INET6;
}

// The code first-last whose name_of is text (case-insensitive), or a number
// 0-255.
template <class T>
bool name_or_byte(const std::string &text, uint32_t first, uint32_t last, const char *(*name_of)(uint8_t), T *out)
{
    for (uint32_t i = first; i <= last; i++) {
        if (strcasecmp(text.c_str(), name_of(static_cast<uint8_t>(i))) == 0) {
            *out = static_cast<T>(i);
            return true;
        }
    }
    uint64_t n = 0;
    if (!zp_number_from_str(text, 255, &n)) {
        return false;
    }
    *out = static_cast<T>(n);
    return true;
}

}  // namespace

const char *zp_af_str(uint32_t af)
{
    return af < ZP_AF_COUNT ? k_af_names[af] : "UNKNOWN";
}

bool zp_af_from_str(const std::string &text, uint32_t *af)
{
    return name_or_byte(text, 0, ZP_AF_COUNT - 1, [](uint8_t i) { return k_af_names[i]; }, af);
}

uint32_t zp_af_tloc_for(const ip_addr_t &addr)
{
    return is_v6(addr) ? 1 : 0;
}

uint32_t zp_af_ctrl_device_for(const ip_addr_t &addr)
{
    return is_v6(addr) ? 3 : 2;
}

uint32_t zp_af_data_device_for(const ip_addr_t &addr)
{
    return is_v6(addr) ? 5 : 4;
}

const char *zp_msg_type_name(uint32_t type)
{
    return type <= ZOR_MSG_TYPE_MAX ? k_type_names[type] : "UNKNOWN";
}

bool zp_module_from_str(const std::string &text, uint32_t *module)
{
    uint64_t n = 0;
    if (zp_number_from_str(text, OST_MODULE_MAX - 1, &n)) {
        if (n == 0) {
            return false;
        }
        *module = static_cast<uint32_t>(n);
        return true;
    }
    uint32_t id = ost_module_from_str(text.c_str());
    if (id == 0) {
        return false;
    }
    *module = id;
    return true;
}

bool zp_number_from_str(const std::string &text, uint64_t max, uint64_t *value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long n = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || n > max) {
        return false;
    }
    *value = n;
    return true;
}

bool zp_hex_from_str(const std::string &text, std::vector<uint8_t> *out)
{
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = nibble(text[i]);
        int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool zp_ip_from_str(const std::string &text, ip_addr_t *addr)
{
    memset(addr, 0, sizeof(*addr));
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        addr->family = IP_AF_INET;
        addr->u.v4 = ntohl(v4.s_addr);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        addr->family = IP_AF_INET6;
        memcpy(addr->u.v6, &v6, sizeof(addr->u.v6));
        return true;
    }
    return false;
}

std::string zp_ip_str(const ip_addr_t &addr)
{
    char buf[64];
    return ip_addr_to_str(&addr, buf, sizeof(buf));
}

bool zp_color_from_str(const std::string &text, uint8_t *color)
{
    for (const auto &s : k_color_short) {
        if (strcasecmp(text.c_str(), s.name) == 0) {
            *color = s.code;
            return true;
        }
    }
    return name_or_byte(text, 0, OST_COLOR_MAX, ost_color_str, color);
}

bool zp_encap_from_str(const std::string &text, uint8_t *encap)
{
    return name_or_byte(text, OST_ENCAP_GRE, OST_ENCAP_IPSEC, ost_encap_str, encap);
}

bool zp_tloc_from_str(const std::string &text, zor_tloc_key_t *key, std::string *err)
{
    // The address may be IPv6, so colour and encap are the last two fields.
    static const tloc_text_rules_t k_rules = {
        true,
        [](const char *t, ip_addr_t *addr) { return zp_ip_from_str(t, addr); },
        [](const char *t, uint8_t *color) { return zp_color_from_str(t, color); },
        [](const char *t, uint8_t *encap) { return zp_encap_from_str(t, encap); },
    };
    tloc_text_t parts;
    switch (tloc_from_str(text.c_str(), k_rules, key, &parts)) {
    case TLOC_TEXT_OK:
        return true;
    case TLOC_TEXT_FORM:
        *err = "TLOC '" + text + "' is not ADDRESS:COLOUR:ENCAP";
        return false;
    case TLOC_TEXT_ADDR:
        *err = "TLOC '" + text + "': '" + parts.addr + "' is not an IPv4 or IPv6 address";
        return false;
    case TLOC_TEXT_COLOR:
        *err = "TLOC '" + text + "': unknown colour '" + parts.color + "'";
        return false;
    case TLOC_TEXT_ENCAP:
        *err = "TLOC '" + text + "': unknown encapsulation '" + parts.encap + "' (gre, ipsec or a number)";
        return false;
    }
    return false;
}

std::string zp_tloc_str(const zor_tloc_key_t &key)
{
    std::string color = key.color <= OST_COLOR_MAX ? ost_color_str(key.color) : std::to_string(key.color);
    std::string encap = key.encap == OST_ENCAP_GRE || key.encap == OST_ENCAP_IPSEC ? ost_encap_str(key.encap)
                                                                                    : std::to_string(key.encap);
    return zp_ip_str(key.addr) + ":" + color + ":" + encap;
}

bool zp_addr_port_from_str(const std::string &text, ip_addr_port_t *out)
{
    memset(out, 0, sizeof(*out));
    std::string addr;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            return false;
        }
        addr = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        addr = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    uint64_t n = 0;
    if (!zp_ip_from_str(addr, &out->addr) || !zp_number_from_str(port, 65535, &n)) {
        return false;
    }
    out->port = static_cast<uint16_t>(n);
    return true;
}

std::string zp_addr_port_str(const ip_addr_port_t &ap)
{
    std::string addr = zp_ip_str(ap.addr);
    if (is_v6(ap.addr)) {
        addr = "[" + addr + "]";
    }
    return addr + ":" + std::to_string(ap.port);
}
