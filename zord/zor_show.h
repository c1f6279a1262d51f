// Operational data of the TLOC-IPV4 family for the management agent: three
// nested lists, TLOCs, the paths of a TLOC and the links of a path, each
// served by a callpoint with get_object, get_next_object and
// find_next_object.
//
// Nothing is cached: every call looks the live tables up again and answers
// with one data reply on the transaction's worker socket. TLOC-IPV6 entries
// are never served. Every callback returns CONFD_OK whatever it answered; a
// reply that cannot be sent is logged. Event-loop thread only (the agent's
// requests are served from the integration module's worker socket event).
#pragma once

#include <cstddef>
#include <cstdint>

#include "confd_hash.h"
#include "confd_lib.h"

struct oconfd_ctx;
struct t_zor_daemon;

// The data model: module "zor" and, for tenant instances, "zor-tenant".
constexpr uint32_t k_zor_ns = mgmt_name_hash("urn:ostrana:zor");
constexpr uint32_t k_zor_tenant_ns = mgmt_name_hash("urn:ostrana:zor-tenant");
constexpr uint32_t k_zor_tag_tloc = mgmt_name_hash("tloc");
constexpr uint32_t k_zor_tag_system_ip = mgmt_name_hash("system-ip");
constexpr uint32_t k_zor_tag_color = mgmt_name_hash("color");
constexpr uint32_t k_zor_tag_encapsulation = mgmt_name_hash("encapsulation");
constexpr uint32_t k_zor_tag_path = mgmt_name_hash("path");
constexpr uint32_t k_zor_tag_path_index = mgmt_name_hash("path-index");
constexpr uint32_t k_zor_tag_preference = mgmt_name_hash("preference");
constexpr uint32_t k_zor_tag_mtu = mgmt_name_hash("mtu");
constexpr uint32_t k_zor_tag_best = mgmt_name_hash("best");
constexpr uint32_t k_zor_tag_status = mgmt_name_hash("status");
constexpr uint32_t k_zor_tag_stale = mgmt_name_hash("stale");
constexpr uint32_t k_zor_tag_link = mgmt_name_hash("link");
constexpr uint32_t k_zor_tag_link_index = mgmt_name_hash("link-index");
constexpr uint32_t k_zor_tag_local_tloc = mgmt_name_hash("local-tloc");
constexpr uint32_t k_zor_tag_remote_tloc = mgmt_name_hash("remote-tloc");
constexpr uint32_t k_zor_tag_label = mgmt_name_hash("label");

#define ZOR_SHOW_TLOCS_CP "zor-show-tlocs"
#define ZOR_SHOW_PATHS_CP "zor-show-paths"
#define ZOR_SHOW_PATHS_LINKS_CP "zor-show-paths-links"

// Values of one object, keys included.
#define ZOR_SHOW_TLOC_VALUES 3
#define ZOR_SHOW_PATH_VALUES 6
#define ZOR_SHOW_LINK_VALUES 12
// A get_next_object reply on paths carries at most this many objects.
#define ZOR_SHOW_PATH_MAX 64

// Registers the three callpoints on the module's daemon handle, in the
// order TLOCs, paths, links, each under its base name or, for a tenant
// instance (tenant name set), as "<base>-tenant<tenant id>". ZOR_OK, or ZOR_ERR_FAILED at the first registration the library
// refuses (logged; the later callpoints are left unregistered).
int zor_show_path_init(oconfd_ctx *ctx);

// The name under which an instance registers a callpoint or action point:
// the base name, or for a tenant instance (tenant name set)
// "<base>-tenant<tenant id>". Truncated to len; returns buf.
const char *zor_tenant_point_name(const t_zor_daemon *daemon, const char *base, char *buf, size_t len);

// The callbacks: kp names the list (get_next_object, find_next_object) or
// the instance (get_object). Replies go out on tctx->fd. Always CONFD_OK.
int zor_show_tloc_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp);
int zor_show_tloc_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
int zor_show_tloc_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys,
                                   int nkeys);
int zor_show_path_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp);
int zor_show_path_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
int zor_show_path_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys,
                                   int nkeys);
int zor_show_path_link_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp);
int zor_show_path_link_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
int zor_show_path_link_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type,
                                        confd_value_t *keys, int nkeys);
