// MAAPI: start phases, attaching to transactions, and CLI output (to the
// agent, or to an in-process sink registered for the session).
#include "confd_maapi.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <unistd.h>
#include <utility>

#include "confd_conn.h"

using namespace confd_impl;

namespace {

struct sink_t {
    maapi_cli_sink_fn fn;
    void *arg;
};

// Command callbacks run on a daemon's event loop while tools and tests
// register sessions from other threads: the table is locked.
std::mutex g_sink_mu;
std::map<std::pair<int, int>, sink_t> &sinks()
{
    static std::map<std::pair<int, int>, sink_t> table;
    return table;
}

bool find_sink(int sock, int usess, sink_t &out)
{
    std::lock_guard<std::mutex> g(g_sink_mu);
    auto it = sinks().find({sock, usess});
    if (it == sinks().end()) {
        return false;
    }
    out = it->second;
    return true;
}

int maapi_call(int sock, mgmt_op op, const std::function<void(mgmt_wire::writer &)> &fields)
{
    conn_ptr c = conn_for(sock, {MGMT_CONN_MAAPI});
    if (c == nullptr) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(op, xid);
    fields(w);
    std::string reply;
    return conn_call(*c, xid, w.finish(), reply);
}

int cli_write(int sock, int usess, std::string_view text)
{
    sink_t sink{};
    if (find_sink(sock, usess, sink)) {
        sink.fn(sock, usess, text.data(), text.size(), sink.arg);
        return CONFD_OK;
    }
    return maapi_call(sock, MGMT_OP_MAAPI_CLI_WRITE, [&](mgmt_wire::writer &w) { w.i64(usess).bytes(text); });
}

}  // namespace

extern "C" {

int maapi_connect(int sock, const struct sockaddr *srv, int addrsz)
{
    return conn_open(sock, srv, addrsz, MGMT_CONN_MAAPI, lib_name(), 0, nullptr);
}

int maapi_close(int sock)
{
    conn_forget(sock);
    if (close(sock) != 0) {
        return failf(CONFD_ERR_OS, "close: %s", strerror(errno));
    }
    return CONFD_OK;
}

int maapi_wait_start(int sock, int phase)
{
    return maapi_call(sock, MGMT_OP_MAAPI_WAIT_START, [&](mgmt_wire::writer &w) { w.i64(phase); });
}

int maapi_start_phase(int sock, int phase, int synchronous)
{
    return maapi_call(sock, MGMT_OP_MAAPI_START_PHASE,
                      [&](mgmt_wire::writer &w) { w.i64(phase).i64(synchronous != 0 ? 1 : 0); });
}

int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *tctx)
{
    if (tctx == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no transaction");
    }
    int usid = tctx->uinfo != nullptr ? tctx->uinfo->usid : 0;
    return maapi_attach2(sock, hashed_ns, usid, tctx->thandle);
}

int maapi_attach2(int sock, int hashed_ns, int usid, int thandle)
{
    return maapi_call(sock, MGMT_OP_MAAPI_ATTACH, [&](mgmt_wire::writer &w) {
        w.i64(static_cast<uint32_t>(hashed_ns)).i64(usid).i64(thandle);
    });
}

int maapi_detach(int sock, struct confd_trans_ctx *tctx)
{
    if (tctx == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no transaction");
    }
    return maapi_call(sock, MGMT_OP_MAAPI_DETACH, [&](mgmt_wire::writer &w) { w.i64(tctx->thandle); });
}

int maapi_cli_printf(int sock, int usess, const char *fmt, ...)
{
    if (fmt == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no format");
    }
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    return cli_write(sock, usess, text);
}

int maapi_cli_write(int sock, int usess, const char *buf, int size)
{
    if (size < 0 || (size > 0 && buf == nullptr)) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad buffer");
    }
    return cli_write(sock, usess, std::string_view(buf, static_cast<size_t>(size)));
}

void maapi_cli_sink_register(int sock, int usess, maapi_cli_sink_fn fn, void *arg)
{
    std::lock_guard<std::mutex> g(g_sink_mu);
    if (fn == nullptr) {
        sinks().erase({sock, usess});
        return;
    }
    sinks()[{sock, usess}] = sink_t{fn, arg};
}

void maapi_cli_sink_unregister(int sock, int usess)
{
    std::lock_guard<std::mutex> g(g_sink_mu);
    sinks().erase({sock, usess});
}

}  // extern "C"
