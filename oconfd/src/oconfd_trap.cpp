// SNMP traps of the notification throttler. There is no SNMP manager on the
// box: a trap is sent with the agent's SNMP notification call on the
// module's SNMP context, and the agent keeps it in its "snmp" stream. A trap
// goes to every configured trap group with an enable entry for the
// notification's kind (or "all") whose levels include its severity. The
// protobuf copy of each trap that the platform's trap collector would take
// is not built: nothing on our boxes reads it.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "confd_hash.h"
#include "oconfd_internal.h"
#include "oconfd_notif.h"

namespace {

// Notification names of the box's daemons, their trap names and the trap
// kind (the snmp/trap/group/enable key) that enables them.
struct trap_name {
    std::string_view notification;
    std::string_view trap;
    std::string_view kind;
};
constexpr trap_name k_trap_names[] = {
    {"app-route-sla-change", "ostranaAppRouteSlaChange", "app-route"},
    {"bfd-state-change", "ostranaBfdStateChange", "bfd"},
    {"bridge-interface-state-change", "ostranaBridgeInterfaceStateChange", "bridge"},
    {"control-connection-state-change", "ostranaControlConnectionStateChange", "control"},
    {"control-connection-auth-fail", "ostranaControlConnectionAuthFail", "security"},
    {"dhcp-server-state-change", "ostranaDhcpServerStateChange", "dhcp-server"},
    {"hardware-alarm", "ostranaHardwareAlarm", "hardware"},
    {"interface-state-change", "ostranaInterfaceStateChange", "vpn"},
    {"omp-peer-state-change", "ostranaOmpPeerStateChange", "omp"},
    {"tloc-state-change", "ostranaTlocStateChange", "omp"},
    {"policy-update", "ostranaPolicyUpdate", "policy"},
    {"route-table-change", "ostranaRouteTableChange", "routing"},
    {"pairwise-keys-rekey", "ostranaPairwiseKeysRekey", "security"},
    {"system-reboot-issued", "ostranaSystemRebootIssued", "system"},
    {"system-login-change", "ostranaSystemLoginChange", "system"},
};

constexpr uint32_t k_tag_level = mgmt_name_hash("level");
constexpr const char *k_trap_type_path = "/snmp/trap/group/enable/trap-type";
constexpr const char *k_level_path = "/snmp/trap/group/enable/level";

enum : uint8_t { LEVEL_CRITICAL = 0x01, LEVEL_MAJOR = 0x02, LEVEL_MINOR = 0x04 };

// Trap groups by name: trap kind label -> levels.
std::mutex g_mu;
std::map<std::string, std::map<std::string, uint8_t>> g_groups;
std::atomic<bool> g_enabled{false};

}  // namespace

struct oconfd_trap_data {
    std::string trap;
    std::string kind;
    uint8_t level = 0;
    std::vector<struct confd_snmp_varbind> varbinds;

    ~oconfd_trap_data()
    {
        for (auto &vb : varbinds) {
            confd_free_value(&vb.val);
        }
    }
};

namespace {

// "tloc-state" -> "ostranaTlocState": the variable name of a leaf.
void var_name(const char *leaf, char *out, size_t len)
{
    std::string name = "ostrana";
    bool upper = true;
    for (const char *p = leaf; *p != '\0'; ++p) {
        if (*p == '-' || *p == '_') {
            upper = true;
            continue;
        }
        name += upper ? static_cast<char>(toupper(static_cast<unsigned char>(*p))) : *p;
        upper = false;
    }
    snprintf(out, len, "%s", name.c_str());
}

// An enumeration's label by the schema node at path; its number when the
// schema does not know it.
std::string enum_label(const char *path, const confd_value_t *v)
{
    char buf[128];
    struct confd_cs_node *node = confd_cs_node_cd(nullptr, "%s", path);
    if (node != nullptr && node->info.type != nullptr && confd_val2str(node->info.type, v, buf, sizeof(buf)) >= 0) {
        return buf;
    }
    snprintf(buf, sizeof(buf), "%d", v->val.enumvalue);
    return buf;
}

uint8_t level_bit(const confd_value_t *v)
{
    if (v->type != C_ENUM_VALUE) {
        return 0;
    }
    std::string label = enum_label(k_level_path, v);
    if (label == "critical") {
        return LEVEL_CRITICAL;
    }
    if (label == "major") {
        return LEVEL_MAJOR;
    }
    if (label == "minor") {
        return LEVEL_MINOR;
    }
    return 0;
}

// The levels a level leaf-list value holds (a single value counts as one).
uint8_t level_mask(const confd_value_t *v)
{
    if (v->type == C_LIST) {
        uint8_t mask = 0;
        for (unsigned int i = 0; i < v->val.list.size; ++i) {
            mask |= level_bit(&v->val.list.ptr[i]);
        }
        return mask;
    }
    return level_bit(v);
}

std::string key_text(const confd_value_t *v)
{
    if (v->type == C_STR || v->type == C_BUF) {
        return std::string(reinterpret_cast<const char *>(v->val.buf.ptr), v->val.buf.size);
    }
    if (v->type == C_ENUM_VALUE) {
        return enum_label(k_trap_type_path, v);
    }
    char buf[128];
    if (confd_pp_value(buf, sizeof(buf), v) < 0) {
        return "";
    }
    return buf;
}

}  // namespace

bool oconfd_trap_enabled(void)
{
    return g_enabled.load();
}

struct oconfd_trap_data *oconfd_trap_populate(const confd_tag_value_t *values, int num_values, int queue)
{
    const char *notif = confd_hash2str(values[0].tag.tag);
    if (notif == nullptr) {
        return nullptr;
    }
    const trap_name *name = nullptr;
    for (const trap_name &t : k_trap_names) {
        if (t.notification == notif) {
            name = &t;
            break;
        }
    }
    if (name == nullptr) {
        return nullptr;
    }
    try {
        auto *trap = new oconfd_trap_data;
        trap->trap = name->trap;
        trap->kind = name->kind;
        trap->level = queue == OCONFD_NOTIF_QUEUE_CRITICAL ? LEVEL_CRITICAL
                      : queue == OCONFD_NOTIF_QUEUE_MAJOR  ? LEVEL_MAJOR
                                                           : LEVEL_MINOR;
        for (int i = 1; i < num_values - 1; ++i) {
            enum confd_vtype t = values[i].v.type;
            if (t == C_XMLBEGIN || t == C_XMLEND || t == C_XMLBEGINDEL) {
                continue;
            }
            const char *leaf = confd_hash2str(values[i].tag.tag);
            struct confd_snmp_varbind vb{};
            if (leaf != nullptr) {
                var_name(leaf, vb.name, sizeof(vb.name));
            } else {
                snprintf(vb.name, sizeof(vb.name), "ostrana%u", values[i].tag.tag);
            }
            if (confd_value_dup_to(&values[i].v, &vb.val) != CONFD_OK) {
                delete trap;
                return nullptr;
            }
            trap->varbinds.push_back(vb);
        }
        return trap;
    } catch (const std::bad_alloc &) {
        OCONFD_LOG("No memory for the trap of %s", notif);
        return nullptr;
    }
}

void oconfd_trap_free(struct oconfd_trap_data *trap)
{
    delete trap;
}

void oconfd_trap_send(struct confd_notification_ctx *snmp_ctx, const struct oconfd_trap_data *trap)
{
    std::vector<std::string> targets;
    try {
        std::lock_guard<std::mutex> lock(g_mu);
        for (const auto &[group, enables] : g_groups) {
            for (const auto &[kind, levels] : enables) {
                if ((kind == "all" || kind == trap->kind) && (levels & trap->level) != 0) {
                    targets.push_back(group);
                    break;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        OCONFD_LOG("No memory for the trap groups of %s", trap->trap.c_str());
        return;
    }
    auto *varbinds = const_cast<struct confd_snmp_varbind *>(trap->varbinds.data());
    for (const std::string &group : targets) {
        if (confd_notification_set_snmp_notify_name(snmp_ctx, group.c_str()) != CONFD_OK) {
            OCONFD_LOG("Failed to set snmp notify/tag name : %s (%d) %s", confd_strerror(confd_errno), confd_errno,
                       confd_lasterr());
            continue;
        }
        if (confd_notification_send_snmp(snmp_ctx, trap->trap.c_str(), varbinds,
                                         static_cast<int>(trap->varbinds.size())) != CONFD_OK) {
            OCONFD_LOG("Failed to send snmp notification %s : %s (%d) %s", trap->trap.c_str(),
                       confd_strerror(confd_errno), confd_errno, confd_lasterr());
        }
    }
}

// snmp/trap/group{name}: a group comes and goes with its instance.
int oconfd_config_snmp_trap_group(struct oconfd_sub_entry *, int op, int num_keys, confd_value_t *keys, int,
                                  confd_tag_value_t *)
{
    if (num_keys < 1) {
        return 0;
    }
    std::string group = key_text(&keys[0]);
    std::lock_guard<std::mutex> lock(g_mu);
    if (op == MOP_DELETED) {
        g_groups.erase(group);
    } else {
        (void)g_groups[group];
    }
    return 0;
}

// snmp/trap/group{name}/enable{trap-type}: the levels at which the group
// takes that kind of trap.
int oconfd_config_snmp_trap_enable(struct oconfd_sub_entry *, int op, int num_keys, confd_value_t *keys,
                                   int num_values, confd_tag_value_t *values)
{
    if (num_keys < 2) {
        return 0;
    }
    std::string group = key_text(&keys[0]);
    std::string kind = key_text(&keys[1]);
    std::lock_guard<std::mutex> lock(g_mu);
    if (op == MOP_DELETED) {
        auto it = g_groups.find(group);
        if (it != g_groups.end()) {
            it->second.erase(kind);
        }
        return 0;
    }
    uint8_t &levels = g_groups[group][kind];
    for (int i = 0; i < num_values; ++i) {
        if (values[i].tag.tag == k_tag_level) {
            levels = values[i].v.type == C_NOEXISTS ? 0 : level_mask(&values[i].v);
        }
    }
    return 0;
}

// snmp: runs after the group and enable entries of the same change (the
// common table's order), and switches traps on while some group takes any.
int oconfd_config_snmp(struct oconfd_sub_entry *, int, int, confd_value_t *, int, confd_tag_value_t *)
{
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        for (const auto &[group, enables] : g_groups) {
            for (const auto &[kind, levels] : enables) {
                any = any || levels != 0;
            }
        }
    }
    if (g_enabled.exchange(any) != any) {
        OCONFD_LOG("SNMP traps %s", any ? "enabled" : "disabled");
    }
    return 0;
}
