#include "zor_af.h"

#include <iterator>

#include "ost_assert.h"

#include "zor_af_ctrl_device.h"
#include "zor_af_data_device.h"
#include "zor_af_link.h"
#include "zor_af_peer_sec.h"
#include "zor_af_tloc.h"
#include "zor_af_tracker.h"
#include "zor_af_vpn_sec.h"

namespace {

constexpr uint32_t bit(uint32_t type)
{
    return 1u << type;
}

template <typename T>
constexpr zor_af_record_t record(const char *type_name)
{
    return {zor_mem_type_of<T>::value, type_name, sizeof(T)};
}

constexpr zor_af_record_t k_none{ZOR_MEM_UNKNOWN, nullptr, 0};

// The TLOC families read BFD status and take a device's on-demand state for
// their TLOCs; the data-device families take it for the device itself. Data
// devices are zord's own: peers only register for them.
constexpr uint32_t k_tloc_status = bit(ZOR_MSG_TLOC_BFD_STATUS) | bit(ZOR_MSG_DATA_DEVICE_STATE);
constexpr zor_af_record_t k_tloc = record<t_zor_af_tloc>("t_zor_af_tloc");
constexpr zor_af_record_t k_ctrl = record<t_zor_af_ctrl_device>("t_zor_af_ctrl_device");
constexpr zor_af_record_t k_dd = record<t_zor_af_data_device>("t_zor_af_data_device");
constexpr zor_af_record_t k_dd_opt = record<t_zor_data_device_opt>("t_zor_data_device_opt");

constexpr zor_af_desc_t k_zor_af_table[] = {
    {ZOR_AF_TLOC_IPV4, "TLOC-IPV4", ZOR_MSG_TLOC_ADD, ZOR_MSG_TLOC_DEL, true, k_tloc_status, &k_zor_af_tloc_ops,
     {k_tloc, k_none}},
    {ZOR_AF_TLOC_IPV6, "TLOC-IPV6", ZOR_MSG_TLOC_ADD, ZOR_MSG_TLOC_DEL, true, k_tloc_status, &k_zor_af_tloc_ops,
     {k_tloc, k_none}},
    {ZOR_AF_CTRL_DEVICE_IPV4, "CTRL-DEVICE-IPV4", ZOR_MSG_CTRL_DEVICE_ADD, ZOR_MSG_CTRL_DEVICE_DEL, true, 0,
     &k_zor_af_ctrl_device_ops, {k_ctrl, k_none}},
    {ZOR_AF_CTRL_DEVICE_IPV6, "CTRL-DEVICE-IPV6", ZOR_MSG_CTRL_DEVICE_ADD, ZOR_MSG_CTRL_DEVICE_DEL, true, 0,
     &k_zor_af_ctrl_device_ops, {k_ctrl, k_none}},
    {ZOR_AF_DATA_DEVICE_IPV4, "DATA-DEVICE-IPV4", ZOR_MSG_DATA_DEVICE_ADD, ZOR_MSG_DATA_DEVICE_DEL, false,
     bit(ZOR_MSG_DATA_DEVICE_STATE), &k_zor_af_data_device_ops, {k_dd, k_dd_opt}},
    {ZOR_AF_DATA_DEVICE_IPV6, "DATA-DEVICE-IPV6", ZOR_MSG_DATA_DEVICE_ADD, ZOR_MSG_DATA_DEVICE_DEL, false,
     bit(ZOR_MSG_DATA_DEVICE_STATE), &k_zor_af_data_device_ops, {k_dd, k_dd_opt}},
    {ZOR_AF_VPN_SEC, "VPN-SEC", ZOR_MSG_VPN_SEC_ADD, ZOR_MSG_VPN_SEC_DEL, true, 0, &k_zor_af_vpn_sec_ops,
     {record<t_zor_af_vpn_sec>("t_zor_af_vpn_sec"), k_none}},
    {ZOR_AF_PEER_SEC, "PEER-SEC", ZOR_MSG_PEER_SEC_ADD, ZOR_MSG_PEER_SEC_DEL, true, 0, &k_zor_af_peer_sec_ops,
     {record<t_zor_af_peer_sec>("t_zor_af_peer_sec"), k_none}},
    {ZOR_AF_LINK, "LINK", ZOR_MSG_LINK_ADD, ZOR_MSG_LINK_DEL, true, bit(ZOR_MSG_LINK_STATUS), &k_zor_af_link_ops,
     {record<t_zor_af_link>("t_zor_af_link"), k_none}},
    {ZOR_AF_TRACKER, "TRACKER", ZOR_MSG_TRACKER_ADD, ZOR_MSG_TRACKER_DEL, true, bit(ZOR_MSG_TRACKER_STATUS),
     &k_zor_af_tracker_ops, {record<t_zor_af_tracker>("t_zor_af_tracker"), k_none}},
};

// The context's per-family arrays are sized by ZOR_AF_COUNT and a family's
// number is its row: a row added, dropped or out of place stops the build.
static_assert(std::size(k_zor_af_table) == ZOR_AF_COUNT);
static_assert(ZOR_AF_COUNT <= ZOR_AF_TABLE_COLUMNS);
constexpr bool rows_in_place()
{
    for (uint32_t i = 0; i < std::size(k_zor_af_table); i++) {
        if (k_zor_af_table[i].id != i) {
            return false;
        }
    }
    return true;
}
static_assert(rows_in_place());

}  // namespace

const zor_af_desc_t *zor_af_desc(zor_af_t af)
{
    return af < std::size(k_zor_af_table) ? &k_zor_af_table[af] : nullptr;
}

const char *zor_af_str(zor_af_t af)
{
    const zor_af_desc_t *d = zor_af_desc(af);
    return d != nullptr ? d->name : "UNKNOWN";
}

uint32_t zor_msg_type_for_af(zor_af_t af, uint8_t is_delete)
{
    const zor_af_desc_t *d = zor_af_desc(af);
    if (d == nullptr) {
        // Reported as the store's invariant: the store asks for the types
        // of the families it walks.
        ost_assert_fail("zord/zor_db.cpp", 474, "0");
    }
    return is_delete ? d->del_type : d->add_type;
}

void zor_af_register_all()
{
    for (const zor_af_desc_t &d : k_zor_af_table) {
        if (zor_af_ops_get(d.id) == nullptr) {
            zor_af_register(d.id, d.ops);
        }
    }
}

bool zor_af_type_fits(uint32_t type, zor_af_t af)
{
    if (type == ZOR_MSG_REGISTER || type == ZOR_MSG_UNREGISTER) {
        return true;
    }
    const zor_af_desc_t *own = zor_af_desc(af);
    for (const zor_af_desc_t &d : k_zor_af_table) {
        if (d.from_peers && d.add_type == type) {
            return own != nullptr && own->add_type == type;
        }
        if (d.from_peers && d.del_type == type) {
            return own != nullptr && own->del_type == type;
        }
    }
    bool is_status = false;
    for (const zor_af_desc_t &d : k_zor_af_table) {
        is_status = is_status || (type < 32 && (d.status_types & bit(type)) != 0);
    }
    if (is_status) {
        return own != nullptr && (own->status_types & bit(type)) != 0;
    }
    return true;
}

void zor_af_mem_rows_describe()
{
    for (const zor_af_desc_t &d : k_zor_af_table) {
        for (const zor_af_record_t &r : d.records) {
            if (r.mem_type != ZOR_MEM_UNKNOWN) {
                zor_mem_row_describe(r.mem_type, r.type_name, r.size);
            }
        }
    }
}
