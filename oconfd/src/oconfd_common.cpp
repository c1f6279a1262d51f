// The subscriptions every daemon gets after its own: the system IP and host
// name (kept in a small process-wide record for the daemon's logs and
// messages) and the SNMP trap configuration.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "oconfd_internal.h"

namespace {

constexpr uint32_t k_system_ns = 0x5840b9be;
constexpr uint32_t k_snmp_ns = 0x109febec;
constexpr uint32_t k_tag_system_ip = 0x5e5f3f28;
constexpr uint32_t k_tag_host_name = 0x5808a665;
constexpr size_t k_host_name_max = 253;

// The configuration the common subscriptions keep for the daemon.
struct common_record {
    std::mutex mu;
    ip_addr_t system_ip{};
    char host_name[k_host_name_max + 1] = "default";
};
common_record g_common;

}  // namespace

int oconfd_config_system_ip(struct oconfd_sub_entry *, int, int, confd_value_t *, int num_values, confd_tag_value_t *values)
{
    for (int i = 0; i < num_values; ++i) {
        if (values[i].tag.tag != k_tag_system_ip || values[i].v.type != C_IPV4) {
            continue;
        }
        ip_addr_t addr{};
        addr.family = IP_AF_INET;
        addr.u.v4 = ntohl(values[i].v.val.ip.s_addr);
        {
            std::lock_guard<std::mutex> lock(g_common.mu);
            g_common.system_ip = addr;
        }
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &values[i].v.val.ip, text, sizeof(text));
        OCONFD_LOG("System IP address set to %s", text);
    }
    return 0;
}

int oconfd_config_hostname(struct oconfd_sub_entry *, int, int, confd_value_t *, int num_values, confd_tag_value_t *values)
{
    for (int i = 0; i < num_values; ++i) {
        if (values[i].tag.tag != k_tag_host_name) {
            continue;
        }
        char name[k_host_name_max + 1];
        if (values[i].v.type == C_STR || values[i].v.type == C_BUF) {
            size_t n = values[i].v.val.buf.size < k_host_name_max ? values[i].v.val.buf.size : k_host_name_max;
            memcpy(name, values[i].v.val.buf.ptr, n);
            name[n] = '\0';
        } else if (values[i].v.type == C_NOEXISTS) {
            snprintf(name, sizeof(name), "default");
        } else {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(g_common.mu);
            memcpy(g_common.host_name, name, sizeof(name));
        }
        OCONFD_LOG("System hostname set to %s", name);
    }
    return 0;
}

namespace {

constexpr struct oconfd_sub_entry common_entry(const char *path, oconfd_config_cb cb, uint32_t ns, uint8_t keys)
{
    struct oconfd_sub_entry e{};
    for (size_t i = 0; path[i] != '\0' && i + 1 < OCONFD_PATH_LEN; ++i) {
        e.path[i] = path[i];
    }
    e.callback = cb;
    e.ns = ns;
    e.num_keys = keys;
    e.priorities = 1;
    return e;
}

// Table order matters: the SNMP entries of one notification run group,
// enable, then "snmp", which sees the trap table complete.
struct oconfd_sub_entry g_common_table[] = {
    common_entry("system/system-ip", oconfd_config_system_ip, k_system_ns, 0),
    common_entry("system/host-name", oconfd_config_hostname, k_system_ns, 0),
    common_entry("snmp/trap/group", oconfd_config_snmp_trap_group, k_snmp_ns, 1),
    common_entry("snmp/trap/group/enable", oconfd_config_snmp_trap_enable, k_snmp_ns, 2),
    common_entry("snmp", oconfd_config_snmp, k_snmp_ns, 0),
    {},
};

}  // namespace

struct oconfd_sub_entry *oconfd_common_table()
{
    return g_common_table;
}

ip_addr_t oconfd_system_ip(void)
{
    std::lock_guard<std::mutex> lock(g_common.mu);
    return g_common.system_ip;
}

void oconfd_host_name(char *buf, size_t len)
{
    if (len == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_common.mu);
    snprintf(buf, len, "%s", g_common.host_name);
}
