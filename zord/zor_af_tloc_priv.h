// What the files of the TLOC families share and nobody else needs: the
// family test, the group count as far as the list holds ids, the origin
// test and the schedule of a TLOC's entry. Event-loop thread only.
#pragma once

#include <algorithm>
#include <cstdint>

#include "zor_af_tloc.h"
#include "zor_db.h"

inline bool zor_is_tloc_af(zor_af_t af)
{
    return af == ZOR_AF_TLOC_IPV4 || af == ZOR_AF_TLOC_IPV6;
}

// The group count as far as the list holds ids.
inline uint32_t zor_group_count(const zor_tloc_attr_t *attr)
{
    return std::min<uint32_t>(attr->group_count, ZOR_TLOC_GROUP_MAX);
}

inline bool zor_tloc_is_local(const t_zor_af_tloc *tloc)
{
    return tloc->origin == ZOR_TLOC_ORIGIN_LOCAL;
}

// Schedules the TLOC's entry; a record without an entry has nobody to tell.
inline void zor_schedule(t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    if (tloc->entry_p != nullptr) {
        zor_db_entry_schedule(ctx, tloc->entry_p);
    }
}
