// The provider of the agent's benchmark: a thread on the client library that
// answers the agent's operational reads as zord does. Header only, for
// bench/mgmt_bench.cpp.
#pragma once

#include "mgmt_bench_support.h"

namespace mb {

// ---------------------------------------------------------------- the provider

// zord's TLOC tree reduced to what the callbacks answer: TLOC i is
// 10.0.0.1 + i, biz-internet or lte, IPsec.
struct provider {
    uint32_t tlocs = 0;
    int ctl = -1;
    int worker = -1;
    int stop_pipe[2] = {-1, -1};
    confd_daemon_ctx *dx = nullptr;
    std::atomic<uint64_t> callbacks{0};
    std::atomic<int> state{0};  // 1 serving, -1 failed
    clockid_t cpu_clock{};
    std::thread thread;
};
inline provider g_prov;

inline void set_tloc_keys(uint32_t i, confd_tag_value_t *tv)
{
    in_addr ip{};
    ip.s_addr = htonl(k_first_ip + i);
    CONFD_SET_TAG_IPV4(&tv[0], mgmt_name_hash("system-ip"), ip);
    CONFD_SET_TAG_ENUM_VALUE(&tv[1], mgmt_name_hash("color"), i % 2 == 0 ? 4 : 6);
    CONFD_SET_TAG_ENUM_VALUE(&tv[2], mgmt_name_hash("encapsulation"), 2);
}

// The TLOC of the keypath's tloc instance, or -1.
inline long tloc_of(const confd_hkeypath_t *kp)
{
    const uint32_t tag = mgmt_name_hash("tloc");
    for (int i = kp->len - 1; i > 0; i--) {
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == tag && kp->v[i - 1][0].type == C_IPV4) {
            const long n = static_cast<long>(ntohl(kp->v[i - 1][0].val.ip.s_addr)) - k_first_ip;
            return n >= 0 && n < static_cast<long>(g_prov.tlocs) ? n : -1;
        }
    }
    return -1;
}

inline int reply_tloc(confd_trans_ctx *tctx, long i)
{
    if (i < 0 || i >= static_cast<long>(g_prov.tlocs)) {
        return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1);
    }
    confd_tag_value_t tv[3];
    set_tloc_keys(static_cast<uint32_t>(i), tv);
    return confd_data_reply_next_object_tag_value_array(tctx, tv, 3, -1);
}

inline int t_init(confd_trans_ctx *tctx)
{
    return confd_trans_set_fd(tctx, g_prov.worker);
}

inline int t_finish(confd_trans_ctx *)
{
    return CONFD_OK;
}

inline int tloc_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *, long next)
{
    g_prov.callbacks++;
    return reply_tloc(tctx, next == -1 ? 0 : -1);
}

inline int tloc_find_next(confd_trans_ctx *tctx, confd_hkeypath_t *, int type, confd_value_t *keys, int nkeys)
{
    g_prov.callbacks++;
    if (nkeys == 0) {
        return reply_tloc(tctx, 0);
    }
    if (keys[0].type != C_IPV4) {
        return reply_tloc(tctx, -1);
    }
    const long at = static_cast<long>(ntohl(keys[0].val.ip.s_addr)) - k_first_ip;
    return reply_tloc(tctx, type == CONFD_FIND_SAME_OR_NEXT ? at : at + 1);
}

inline int path_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    g_prov.callbacks++;
    const long t = tloc_of(kp);
    confd_tag_value_t tv[k_paths][6];
    confd_tag_next_object objs[k_paths + 1];
    int count = 0;
    for (int p = 0; next == -1 && t >= 0 && p < k_paths; p++) {
        CONFD_SET_TAG_UINT32(&tv[p][0], mgmt_name_hash("path-index"), static_cast<uint32_t>(p));
        CONFD_SET_TAG_UINT32(&tv[p][1], mgmt_name_hash("preference"), 100);
        CONFD_SET_TAG_UINT32(&tv[p][2], mgmt_name_hash("mtu"), 1400);
        CONFD_SET_TAG_ENUM_VALUE(&tv[p][3], mgmt_name_hash("best"), p == 0 ? 0 : 1);
        CONFD_SET_TAG_ENUM_VALUE(&tv[p][4], mgmt_name_hash("status"), 0);
        CONFD_SET_TAG_BOOL(&tv[p][5], mgmt_name_hash("stale"), 0);
        objs[count++] = {tv[p], 6, -1};
    }
    objs[count++] = {nullptr, 0, -1};
    return confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0);
}

inline confd_tag_value_t *link_end(uint32_t tloc, const char *name, confd_tag_value_t *tv)
{
    CONFD_SET_TAG_XMLBEGIN(&tv[0], mgmt_name_hash(name), k_zor_ns);
    set_tloc_keys(tloc, &tv[1]);
    CONFD_SET_TAG_XMLEND(&tv[4], mgmt_name_hash(name), k_zor_ns);
    return tv + 5;
}

inline int link_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    g_prov.callbacks++;
    const long t = tloc_of(kp);
    confd_tag_value_t tv[k_links][12];
    confd_tag_next_object objs[k_links + 1];
    int count = 0;
    for (int l = 0; next == -1 && t >= 0 && l < k_links; l++) {
        CONFD_SET_TAG_UINT32(&tv[l][0], mgmt_name_hash("link-index"), static_cast<uint32_t>(l));
        confd_tag_value_t *end = link_end(static_cast<uint32_t>(l), "local-tloc", &tv[l][1]);
        end = link_end(static_cast<uint32_t>(t), "remote-tloc", end);
        CONFD_SET_TAG_UINT32(end, mgmt_name_hash("label"), 1000 + static_cast<uint32_t>(l));
        objs[count++] = {tv[l], 12, -1};
    }
    objs[count++] = {nullptr, 0, -1};
    return confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0);
}

inline void provider_loop(uint16_t port)
{
    provider &p = g_prov;
    pthread_getcpuclockid(pthread_self(), &p.cpu_clock);
    const sockaddr_in sa = loopback(port);
    const auto *addr = reinterpret_cast<const sockaddr *>(&sa);
    p.dx = confd_init_daemon("zord-bench");
    p.ctl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    p.worker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = p.dx != nullptr && confd_connect(p.dx, p.ctl, CONTROL_SOCKET, addr, sizeof sa) == CONFD_OK &&
              confd_connect(p.dx, p.worker, WORKER_SOCKET, addr, sizeof sa) == CONFD_OK;
    confd_trans_cbs tcb{};
    tcb.init = t_init;
    tcb.finish = t_finish;
    ok = ok && confd_register_trans_cb(p.dx, &tcb) == CONFD_OK;
    struct point {
        const char *name;
        int (*get_next)(confd_trans_ctx *, confd_hkeypath_t *, long);
        int (*find_next)(confd_trans_ctx *, confd_hkeypath_t *, int, confd_value_t *, int);
    };
    for (const point &cp : {point{"zor-show-tlocs", tloc_get_next, tloc_find_next},
                            point{"zor-show-paths", path_get_next, nullptr},
                            point{"zor-show-paths-links", link_get_next, nullptr}}) {
        confd_data_cbs dcb{};
        snprintf(dcb.callpoint, sizeof dcb.callpoint, "%s", cp.name);
        dcb.get_next_object = cp.get_next;
        dcb.find_next_object = cp.find_next;
        ok = ok && confd_register_data_cb(p.dx, &dcb) == CONFD_OK;
    }
    ok = ok && confd_register_done(p.dx) == CONFD_OK;
    if (!ok) {
        fprintf(stderr, "bench: the provider could not join the agent: %s\n", confd_lasterr());
        p.state = -1;
        return;
    }
    p.state = 1;
    for (;;) {
        pollfd fds[3] = {{p.ctl, POLLIN, 0}, {p.worker, POLLIN, 0}, {p.stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[2].revents != 0) {
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].revents != 0 && confd_fd_ready(p.dx, fds[i].fd) == CONFD_EOF) {
                fprintf(stderr, "bench: the agent closed the provider's connection\n");
                return;
            }
        }
    }
    close(p.ctl);
    close(p.worker);
    confd_release_daemon(p.dx);
}


}  // namespace mb
