#include "zor_af_link.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ip_util.h"
#include "confd_maapi.h"
#include "ost_util.h"
#include "zor_af_base.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_log.h"
#include "zor_result.h"
#include "zor_path.h"

namespace {

const char k_usage[] = "Usage show support zor links local-tloc-ip:color:encap remote-tloc-ip:color:encap\n";
const char k_local_opt[] = "--localtlocip=";
const char k_remote_opt[] = "--remotetlocip=";
const char k_label_opt[] = "--label=";

// A link joins two TLOCs, and TLOCs are IPv4 or IPv6: a key of any other
// address family cannot name an end.
bool zor_link_key_ok(const zor_tloc_key_t *key)
{
    return key->addr.family == IP_AF_INET || key->addr.family == IP_AF_INET6;
}

bool zor_tloc_border(const t_zor_af_tloc *tloc)
{
    return (tloc->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER)) != 0;
}

// The link rules for adding: whether the pair (a, b) gets a link. Only
// origin 1 is local; a TLOC of any other origin value is a remote one, as
// the choice of ends in zor_af_link_update has it.
bool zor_link_pair_allowed(const t_zor_af_tloc *a, const t_zor_af_tloc *b, bool force)
{
    const bool a_local = a->origin == ZOR_TLOC_ORIGIN_LOCAL;
    const bool b_local = b->origin == ZOR_TLOC_ORIGIN_LOCAL;
    if (a_local == b_local) {
        if (!a_local) {
            return false;
        }
        // Two local TLOCs are linked on a border router only: one end in
        // the region, the other the border.
        if (zor_tloc_border(a) == zor_tloc_border(b)) {
            return false;
        }
    } else if (!force && !zor_groups_overlap(&a->attr, &b->attr)) {
        return false;
    }
    return force || a->attr.group_count != 1 || b->attr.group_count != 1;
}

// What an add message sets on a new link and on an existing one alike.
void zor_link_copy_figures(t_zor_af_link *link, const zor_msg_link_t &body)
{
    link->label = body.label;
    link->preference = body.preference;
    link->stale = body.stale;
    link->loss = body.loss;
    link->latency = body.latency;
    link->jitter = body.jitter;
}

void zor_link_status_update(t_zor_af_link *link)
{
    link->status = link->bfd_status == ZOR_BFD_STATE_UP ? ZOR_LINK_STATUS_UP : ZOR_LINK_STATUS_DOWN;
}

// Order of the tree of links by remote end: remote keys, then local keys.
// The libavl comparison over two link records.
int zor_af_link_cmp_remote(const void *a, const void *b)
{
    const auto *la = static_cast<const t_zor_af_link *>(a);
    const auto *lb = static_cast<const t_zor_af_link *>(b);
    const int c = zor_af_tloc_key_cmp(&la->remote_key, &lb->remote_key);
    return c != 0 ? c : zor_af_tloc_key_cmp(&la->local_key, &lb->local_key);
}

uint8_t *zor_label_bitmap(const t_zor_context *ctx)
{
    return ctx != nullptr && ctx->daemon != nullptr ? ctx->daemon->link_label_bitmap : nullptr;
}

// A TLOC argument of the show-support command: the text after the option
// name, "a.b.c.d:colour:encap". False (after printing why) when it is bad.
bool zor_link_parse_tloc(int sock, int usess, const char *arg, size_t opt_len, zor_tloc_key_t *key)
{
    char text[512];
    snprintf(text, sizeof(text), "%s", arg + opt_len);
    tloc_text_t parts;
    switch (tloc_from_str(text, k_tloc_text_cli, key, &parts)) {
    case TLOC_TEXT_OK:
        return true;
    case TLOC_TEXT_FORM:
        maapi_cli_printf(sock, usess, "%s", k_usage);
        return false;
    case TLOC_TEXT_ADDR:
        maapi_cli_printf(sock, usess, "Bad IP address %s\n", parts.addr.c_str());
        return false;
    case TLOC_TEXT_COLOR:
        maapi_cli_printf(sock, usess, "Bad color %s\n", parts.color.c_str());
        return false;
    case TLOC_TEXT_ENCAP:
        maapi_cli_printf(sock, usess, "Bad encap %s\n", parts.encap.c_str());
        return false;
    }
    return false;
}

}  // namespace


int zor_af_link_cmp(const void *a, const void *b)
{
    const t_zor_af_link *la = zor_af_link_of(static_cast<const t_zor_db_entry *>(a));
    const t_zor_af_link *lb = zor_af_link_of(static_cast<const t_zor_db_entry *>(b));
    const int c = zor_af_tloc_key_cmp(&la->local_key, &lb->local_key);
    return c != 0 ? c : zor_af_tloc_key_cmp(&la->remote_key, &lb->remote_key);
}

t_zor_af_link *zor_af_link_lookup(t_zor_context *ctx, const zor_tloc_key_t *local, const zor_tloc_key_t *remote)
{
    avl_tree_t *tree = ctx != nullptr ? ctx->trees[ZOR_AF_LINK] : nullptr;
    if (tree == nullptr) {
        return nullptr;
    }
    t_zor_af_link probe{};
    probe.local_key = *local;
    probe.remote_key = *remote;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    auto *entry = static_cast<t_zor_db_entry *>(avl_find(tree, &tmpl, nullptr));
    return entry != nullptr ? zor_af_link_of(entry) : nullptr;
}

// Both walks start after a probe whose other end is the all-zero key: no
// link has it (link ends are IPv4 or IPv6 keys, and the zero key's address
// family orders before both), so the first link after the probe is the first
// one at key, if any.
void zor_af_link_from(t_zor_context *ctx, const zor_tloc_key_t *key, std::vector<t_zor_af_link *> &out)
{
    out.clear();
    avl_tree_t *tree = ctx != nullptr ? ctx->trees[ZOR_AF_LINK] : nullptr;
    if (tree == nullptr) {
        return;
    }
    t_zor_af_link probe{};
    probe.local_key = *key;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    for (auto *e = static_cast<t_zor_db_entry *>(avl_find_next(tree, &tmpl));
         e != nullptr && zor_af_tloc_key_cmp(&zor_af_link_of(e)->local_key, key) == 0;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        out.push_back(zor_af_link_of(e));
    }
}

void zor_af_link_to(t_zor_context *ctx, const zor_tloc_key_t *key, std::vector<t_zor_af_link *> &out)
{
    out.clear();
    avl_tree_t *tree = ctx != nullptr ? ctx->link_remote_db_p : nullptr;
    if (tree == nullptr) {
        return;
    }
    t_zor_af_link probe{};
    probe.remote_key = *key;
    for (auto *link = static_cast<t_zor_af_link *>(avl_find_next(tree, &probe));
         link != nullptr && zor_af_tloc_key_cmp(&link->remote_key, key) == 0;
         link = static_cast<t_zor_af_link *>(avl_walk(tree, link, AVL_AFTER))) {
        out.push_back(link);
    }
}

t_zor_db_entry *zor_af_link_find(zor_af_t /*af*/, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    avl_tree_t *tree = ctx != nullptr ? ctx->trees[ZOR_AF_LINK] : nullptr;
    if (tree == nullptr) {
        return nullptr;
    }
    // The add, delete and status bodies hold the two keys at the same place.
    t_zor_af_link probe{};
    probe.local_key = msg->body.link.local;
    probe.remote_key = msg->body.link.remote;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    return static_cast<t_zor_db_entry *>(avl_find(tree, &tmpl, where));
}

t_zor_db_entry *zor_af_link_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    avl_tree_t *tree = ctx->trees[ZOR_AF_LINK];
    if (tree == nullptr) {
        return nullptr;
    }
    const zor_msg_link_t &body = msg->body.link;
    if (!zor_link_key_ok(&body.local) || !zor_link_key_ok(&body.remote)) {
        ZOR_LOG("Dropped a link add with address families %u and %u", body.local.addr.family,
                body.remote.addr.family);
        return nullptr;
    }
    avl_index_t where = 0;
    t_zor_db_entry *entry = zor_af_link_find(af, ctx, msg, &where);
    const bool created = entry == nullptr;
    t_zor_af_link *link = nullptr;
    if (created) {
        link = zor_mem_new<t_zor_af_link>();
        if (link == nullptr) {
            return nullptr;
        }
        link->remote_key = body.remote;
        link->local_key = body.local;
        link->remote_index = body.remote_index;
        link->local_index = body.local_index;
        link->origin = body.origin;
        zor_link_copy_figures(link, body);
        if (link->origin == ZOR_LINK_ORIGIN_PEER) {
            link->bfd_status = static_cast<uint8_t>(body.status);
            link->mtu = body.mtu;
        } else {
            // Both ends on this device: nothing to probe, the link is up.
            // Any other link waits for a link status message.
            link->bfd_status = ip_addr_equal(&body.local.addr, &body.remote.addr) ? ZOR_BFD_STATE_UP
                                                                                   : ZOR_BFD_STATE_DOWN;
        }
        entry = zor_db_entry_alloc(ZOR_AF_LINK, client, link);
        if (entry == nullptr) {
            zor_mem_delete(link);
            return nullptr;
        }
        link->entry_p = entry;
        avl_insert(tree, entry, where);
        // The pair is new, so it is not in the second tree either.
        avl_index_t remote_where = 0;
        (void)avl_find(ctx->link_remote_db_p, link, &remote_where);
        avl_insert(ctx->link_remote_db_p, link, remote_where);
        zor_db_entry_append(ctx, entry);
    } else {
        link = zor_af_link_of(entry);
        // The status word is the sender's BFD state, so it is compared with
        // the BFD state: comparing it with the derived up/down status would
        // count every down link as changed on every refresh. The whole word
        // is compared, although only its low byte is stored.
        if (link->mtu == body.mtu && link->bfd_status == body.status &&
            link->label == body.label && link->preference == body.preference && link->stale == body.stale &&
            link->loss == body.loss && link->latency == body.latency && link->jitter == body.jitter) {
            return entry;
        }
        zor_link_copy_figures(link, body);
        link->mtu = body.mtu;
        link->bfd_status = static_cast<uint8_t>(body.status);
    }
    zor_link_status_update(link);
    zor_db_entry_schedule(ctx, entry);
    if (created) {
        zor_path_link_add(ctx, link);
    } else {
        zor_path_link_update(ctx, link);
    }
    return entry;
}

void zor_af_link_withdraw(zor_af_t /*af*/, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    if ((entry->flags & ZOR_ENTRY_MARKER) || client != entry->client_p) {
        return;
    }
    t_zor_af_link *link = zor_af_link_of(entry);
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
        avl_remove(ctx->trees[ZOR_AF_LINK], entry);
        avl_remove(ctx->link_remote_db_p, link);
        // Paths point at link records. A withdrawn link is out of the tree,
        // so no computation finds it again, but paths built before still
        // use it, and the record is freed as soon as no client holds it any
        // more. Every such path is therefore given up now, and its TLOC
        // rescheduled so that the path walk rebuilds its paths on the next
        // tick: no path ever points at a freed link.
        zor_path_link_withdrawn(ctx, link);
    }
    zor_path_link_delete(ctx, link);
    zor_db_entry_withdrawn(ctx, entry);
}

void zor_af_link_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_af_link_find(af, ctx, msg, nullptr);
    if (entry != nullptr) {
        zor_af_link_withdraw(af, ctx, client, entry);
    }
}

int zor_af_link_tree_create(zor_af_t af, t_zor_context *ctx)
{
    // The two trees come and go together: every link in one is in the other.
    avl_tree_t *tree = zor_mem_new<avl_tree_t>();
    avl_tree_t *by_remote = zor_mem_new<avl_tree_t>();
    if (tree == nullptr || by_remote == nullptr) {
        zor_mem_delete(tree);
        zor_mem_delete(by_remote);
        return ZOR_ERR_NO_MEMORY;
    }
    avl_create(tree, zor_af_link_cmp, sizeof(t_zor_db_entry), offsetof(t_zor_db_entry, tree_node));
    avl_create(by_remote, zor_af_link_cmp_remote, sizeof(t_zor_af_link), offsetof(t_zor_af_link, remote_node));
    ctx->trees[af] = tree;
    ctx->link_remote_db_p = by_remote;
    return ZOR_OK;
}

void zor_af_link_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    for (avl_tree_t **tree : {&ctx->trees[af], &ctx->link_remote_db_p}) {
        if (*tree != nullptr) {
            avl_destroy(*tree);
            zor_mem_delete(*tree);
            *tree = nullptr;
        }
    }
}

void zor_af_link_free(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry)
{
    t_zor_af_link *link = zor_af_link_of(entry);
    if (link == nullptr) {
        return;
    }
    // Withdraw gave up the link's paths already; this covers a record freed
    // without a withdraw (teardown), so that no path is left pointing here.
    if (link->path_links != nullptr) {
        zor_path_link_withdrawn(ctx, link);
    }
    zor_link_label_free(ctx, link->label_held);
    zor_mem_delete(link);
    entry->record = nullptr;
}

void zor_af_link_fill_msg(zor_af_t /*af*/, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t key_only)
{
    const t_zor_af_link *link = zor_af_link_of(entry);
    zor_msg_link_t &body = msg->body.link;
    body.remote = link->remote_key;
    body.local = link->local_key;
    body.remote_index = link->remote_index;
    body.local_index = link->local_index;
    body.origin = static_cast<uint8_t>(link->origin);
    if (key_only) {
        return;
    }
    body.preference = link->preference;
    body.status = link->status;
    body.mtu = link->mtu;
    body.label = link->label;
    body.stale = link->stale;
    body.loss = link->loss;
    body.latency = link->latency;
    body.jitter = link->jitter;
    body.tun_rec_index = link->tun_rec_index;
}

void zor_af_link_show(zor_af_t /*af*/, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    const t_zor_af_link *link = zor_af_link_of(entry);
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    char local[128];
    char remote[128];
    char clients[1024];
    maapi_cli_printf(sock, usess, "    [%s] [%d] ==> [%s] [%d] (%p)\n",
                     tloc_to_str(&link->local_key, local, sizeof(local)), static_cast<int>(link->local_index),
                     tloc_to_str(&link->remote_key, remote, sizeof(remote)), static_cast<int>(link->remote_index),
                     static_cast<const void *>(link));
    maapi_cli_printf(sock, usess, "    Origin: %s, MTU: %u, Label: %u, Preference: %u, Stale: %d\n",
                     zor_msg_tloc_origin_str(link->origin), link->mtu, link->label, link->preference, link->stale);
    maapi_cli_printf(sock, usess, "    Status: %s, BFD Handle: %u, BFD Status: %s\n",
                     link->status == ZOR_LINK_STATUS_UP ? "Up" : "Down", link->bfd_handle,
                     link->bfd_status == ZOR_BFD_STATE_UP ? "Up" : "Down");
    maapi_cli_printf(sock, usess, "    Local index: %d, Remote index: %d, Tun Rec: %d\n",
                     static_cast<int>(link->local_index), static_cast<int>(link->remote_index), link->tun_rec_index);
    maapi_cli_printf(sock, usess, "    Loss: %u, Latency: %u, Jitter: %u\n", link->loss, link->latency, link->jitter);
    maapi_cli_printf(sock, usess, "    Advertised to: %s\n\n",
                     zor_db_entry_clients_str(ctx, entry, clients, sizeof(clients)));
}

void zor_af_link_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    avl_tree_t *tree = ctx != nullptr ? ctx->trees[ZOR_AF_LINK] : nullptr;
    if (tree == nullptr) {
        return;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        zor_af_link_show(af, ctx, e, uinfo);
    }
}

void zor_af_link_update(t_zor_context *ctx, t_zor_af_tloc *a, t_zor_af_tloc *b, bool remove)
{
    if (a == b || ctx == nullptr || ctx->trees[ZOR_AF_LINK] == nullptr) {
        return;
    }
    t_zor_client *advd = ctx->clients[OST_MODULE_ADVD];
    t_zor_client *klxd = ctx->clients[OST_MODULE_KLXD];
    if (advd == nullptr || klxd == nullptr) {
        return;
    }
    const bool force = zor_links_originated(ctx);
    if (!remove && !zor_link_pair_allowed(a, b, force)) {
        return;
    }
    const bool a_local = a->origin == ZOR_TLOC_ORIGIN_LOCAL;
    const t_zor_af_tloc *local = a_local ? a : b;
    const t_zor_af_tloc *remote = a_local ? b : a;

    zor_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.family = ZOR_AF_LINK;
    msg.sender = OST_MODULE_ADVD;
    zor_msg_link_t &body = msg.body.link;
    body.origin = ZOR_LINK_ORIGIN_ZORD;
    body.remote = remote->key;
    body.local = local->key;
    body.remote_index = remote->index;
    body.local_index = local->index;
    body.preference = (remote->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF)) ? remote->attr.preference : 0;
    if (remove) {
        // Only the links advd owns go: a peer's own links stay.
        msg.type = ZOR_MSG_LINK_DEL;
        zor_af_link_delete(ZOR_AF_LINK, ctx, advd, &msg);
        return;
    }
    msg.type = ZOR_MSG_LINK_ADD;
    uint32_t new_label = 0;
    if (const t_zor_db_entry *existing = zor_af_link_find(ZOR_AF_LINK, ctx, &msg, nullptr)) {
        // An existing link keeps its state and its label.
        const t_zor_af_link *link = zor_af_link_of(existing);
        body.status = link->bfd_status;
        body.mtu = link->mtu;
        body.label = link->label;
    } else {
        new_label = zor_link_label_alloc(ctx);
        if (new_label == 0) {
            // Without a label the link cannot be used in a path: it is not
            // built. A later update of either TLOC tries again.
            char lk[128];
            char rk[128];
            ZOR_LOG("No free link label: link [%s] ==> [%s] not built", tloc_to_str(&local->key, lk, sizeof(lk)),
                    tloc_to_str(&remote->key, rk, sizeof(rk)));
            return;
        }
        body.label = new_label;
    }
    t_zor_db_entry *entry = zor_af_link_add(ZOR_AF_LINK, ctx, advd, &msg);
    if (new_label != 0) {
        if (entry == nullptr) {
            zor_link_label_free(ctx, new_label);
        } else {
            zor_af_link_of(entry)->label_held = new_label;
        }
    }
}

void zor_af_link_db_bfd_status(zor_af_t af, t_zor_context *ctx, t_zor_client * /*client*/, zor_msg_t *msg)
{
    t_zor_db_entry *entry = zor_af_link_find(af, ctx, msg, nullptr);
    if (entry == nullptr) {
        return;
    }
    t_zor_af_link *link = zor_af_link_of(entry);
    const zor_msg_link_status_t &st = msg->body.link_status;
    // The whole BFD word is compared, although only its low byte is stored.
    if (link->bfd_status == st.bfd_status && link->mtu == st.mtu && link->loss == st.loss &&
        link->latency == st.latency && link->jitter == st.jitter && link->tun_rec_index == st.tun_rec_index) {
        return;
    }
    link->bfd_status = static_cast<uint8_t>(st.bfd_status);
    link->mtu = st.mtu;
    link->loss = st.loss;
    link->latency = st.latency;
    link->jitter = st.jitter;
    link->tun_rec_index = st.tun_rec_index;
    zor_link_status_update(link);
    zor_db_entry_schedule(ctx, entry);
    zor_path_link_update(ctx, link);
}

bool zor_link_is_stale(t_zor_context *ctx, const t_zor_af_link *link)
{
    // Both ends are looked up among the IPv4 TLOCs, whatever their family:
    // only IPv4 TLOCs have paths.
    for (const zor_tloc_key_t *key : {&link->local_key, &link->remote_key}) {
        const t_zor_db_entry *entry = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx, key, nullptr);
        if (entry != nullptr &&
            (zor_af_tloc_of(entry)->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_STALE)) != 0) {
            return true;
        }
    }
    return false;
}

uint32_t zor_link_label_alloc(t_zor_context *ctx)
{
    uint8_t *bitmap = zor_label_bitmap(ctx);
    if (bitmap == nullptr) {
        return 0;
    }
    const uint32_t last = ctx->last_link_label;
    // After 65536 the search starts again at 32769, and so it does after any
    // other value that is no label: its successor would lie outside the
    // bitmap.
    const uint32_t start =
        last >= ZOR_LINK_LABEL_BASE && last < ZOR_LINK_LABEL_LAST ? last + 1 : ZOR_LINK_LABEL_BASE;
    const uint32_t start_bit = start - ZOR_LINK_LABEL_BASE;
    int bit = zor_bitmap_find_clear_range(bitmap, start_bit, ZOR_LINK_LABEL_BITS - 1);
    if (bit < 0 && start_bit > 0) {
        bit = zor_bitmap_find_clear_range(bitmap, 0, start_bit - 1);
    }
    if (bit < 0) {
        return 0;
    }
    zor_bitmap_set(bitmap, static_cast<uint32_t>(bit));
    ctx->last_link_label = ZOR_LINK_LABEL_BASE + static_cast<uint32_t>(bit);
    return ctx->last_link_label;
}

void zor_link_label_free(t_zor_context *ctx, uint32_t label)
{
    uint8_t *bitmap = zor_label_bitmap(ctx);
    if (bitmap == nullptr || label < ZOR_LINK_LABEL_BASE || label > ZOR_LINK_LABEL_LAST) {
        return;
    }
    zor_bitmap_clear(bitmap, label - ZOR_LINK_LABEL_BASE);
}

int zor_show_support_links(confd_user_info *uinfo, int argc, char **argv)
{
    const int sock = uinfo->msock;
    const int usess = uinfo->usid;
    t_zor_context *ctx = g_zor_context;
    if (ctx == nullptr) {
        maapi_cli_printf(sock, usess, "ZOR context not UP\n");
        return ZOR_OK;
    }
    if (argc <= 0) {
        maapi_cli_printf(sock, usess, "%s", k_usage);
        return ZOR_OK;
    }
    // The options are taken in a fixed order, each only when the next
    // argument holds it; an argument out of that order is ignored.
    int next = 1;
    auto take = [&](const char *opt) -> const char * {
        if (next < argc && argv[next] != nullptr && strstr(argv[next], opt) != nullptr) {
            return argv[next++];
        }
        return nullptr;
    };
    const char *local_arg = take(k_local_opt);
    const char *remote_arg = take(k_remote_opt);
    const char *label_arg = take(k_label_opt);

    zor_tloc_key_t local{};
    zor_tloc_key_t remote{};
    if (local_arg != nullptr && !zor_link_parse_tloc(sock, usess, local_arg, sizeof(k_local_opt) - 1, &local)) {
        return ZOR_OK;
    }
    if (remote_arg != nullptr && !zor_link_parse_tloc(sock, usess, remote_arg, sizeof(k_remote_opt) - 1, &remote)) {
        return ZOR_OK;
    }
    const bool by_label = label_arg != nullptr;
    const unsigned long label = by_label ? strtoul(label_arg + sizeof(k_label_opt) - 1, nullptr, 10) : 0;

    avl_tree_t *tree = ctx->trees[ZOR_AF_LINK];
    if (tree == nullptr) {
        return ZOR_OK;
    }
    if (local_arg != nullptr && remote_arg != nullptr) {
        t_zor_af_link *link = zor_af_link_lookup(ctx, &local, &remote);
        if (link == nullptr) {
            maapi_cli_printf(sock, usess, "Link not found\n");
        } else {
            zor_af_show(ZOR_AF_LINK, ctx, link->entry_p, uinfo);
        }
        return ZOR_OK;
    }
    // Each step looks up the link after the last one shown afresh: the
    // yield lets timers add and withdraw links in between.
    t_zor_af_link probe{};
    probe.local_key = local;
    probe.remote_key = remote;
    t_zor_db_entry tmpl{};
    tmpl.record = &probe;
    for (;;) {
        auto *e = static_cast<t_zor_db_entry *>(avl_find_next(tree, &tmpl));
        if (e == nullptr) {
            break;
        }
        const t_zor_af_link *link = zor_af_link_of(e);
        if (local_arg != nullptr && zor_af_tloc_key_cmp(&link->local_key, &local) != 0) {
            break;
        }
        if (!by_label || link->label == label) {
            zor_af_show(ZOR_AF_LINK, ctx, e, uinfo);
        }
        probe.local_key = link->local_key;
        probe.remote_key = link->remote_key;
        zor_daemon_yield(ctx);
    }
    return ZOR_OK;
}

const zor_af_ops_t k_zor_af_link_ops = {
    nullptr,                 zor_af_link_add,       zor_af_link_withdraw,     zor_af_link_delete,
    zor_af_link_find,        zor_af_link_tree_create, zor_af_link_tree_destroy, zor_af_link_free,
    zor_af_link_fill_msg,    zor_af_link_show,      zor_af_link_show_all,
};
