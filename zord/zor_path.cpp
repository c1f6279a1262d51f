#include "zor_path.h"

#include "ip_util.h"
#include "maapi_cli.h"
#include "zor_af_link.h"
#include "zor_log.h"

// Path computation comes with the path work; until then no TLOC has a path,
// so there is nothing to build and nothing to free.
void zor_path_compute(t_zor_context * /*ctx*/, t_zor_af_tloc * /*tloc*/, bool /*remove*/) {}

// Paths are rebuilt when the path walk reaches a changed TLOC, so the hooks
// only say that they were asked.
void zor_path_compute_schedule(t_zor_context * /*ctx*/, t_zor_af_tloc * /*tloc*/)
{
    ZOR_DEBUG("Skip compute schedule");
}

void zor_path_compute_schedule_all(t_zor_context * /*ctx*/)
{
    ZOR_DEBUG("Skip compute all schedule");
}

void zor_path_list_show(confd_user_info *uinfo, const t_zor_path *first)
{
    if (first == nullptr) {
        return;
    }
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    maapi_cli_printf(sock, usess, "      Path-List:\n");
    int number = 1;
    for (const t_zor_path *path = first; path != nullptr; path = path->next_p, number++) {
        maapi_cli_printf(sock, usess, "        %s%sPath-%d: MTU: %u Pref: %u Status: %s #LocalLinks: %d #Links: %d\n",
                         (path->flags & ZOR_PATH_FLAG_BEST) ? "*> " : "*  ",
                         (path->flags & ZOR_PATH_FLAG_STALE) ? "S" : " ", number, path->mtu, path->preference,
                         path->status == ZOR_PATH_STATUS_UP ? "Up" : "Down", path->local_links, path->link_count);
        for (uint32_t i = 0; i < path->link_count && i < ZOR_PATH_LINK_MAX; i++) {
            const t_zor_af_link *link = path->links[i].link_p;
            if (link == nullptr) {
                continue;
            }
            char local[128];
            char remote[128];
            maapi_cli_printf(sock, usess, "          [%s] ==> [%s] (%p)\n",
                             tloc_to_str(&link->local_key, local, sizeof(local)),
                             tloc_to_str(&link->remote_key, remote, sizeof(remote)),
                             static_cast<const void *>(link));
        }
    }
}
