// Daemons' registrations on their control connections, the start phases
// and the MAAPI requests.
#include "mgmtd_agent.h"
#include "ost_log.h"

namespace mgmtd {

// ---------------------------------------------------------------- control connections

void agent::drop_registrations(uint64_t daemon)
{
    for (auto *m : {&callpoints_, &actionpoints_, &valpoints_}) {
        std::erase_if(*m, [&](const auto &kv) { return kv.second.daemon == daemon; });
    }
    std::erase_if(streams_, [&](const auto &kv) { return kv.second.daemon == daemon; });
}

void agent::control_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    auto table = [&](int kind) -> std::map<std::string, reg_point> & {
        switch (kind) {
        case REG_CALLPOINT:
            return callpoints_;
        case REG_ACTIONPOINT:
            return actionpoints_;
        default:
            return valpoints_;
        }
    };
    auto what = [](int kind) {
        return kind == REG_CALLPOINT ? "callpoint" : kind == REG_ACTIONPOINT ? "action point"
                                                 : kind == REG_STREAM        ? "stream"
                                                                             : "validation point";
    };
    // A point another live daemon serves is refused; streams are shared.
    auto taken = [&](int kind, const std::string &name) -> const reg_point * {
        if (kind == REG_STREAM) {
            return nullptr;
        }
        auto &t = table(kind);
        auto it = t.find(name);
        return it != t.end() && it->second.daemon != c.id ? &it->second : nullptr;
    };
    int kind = 0;
    std::string name;
    int64_t mask = 0;
    switch (r.op()) {
    case MGMT_OP_REG_TRANS:
    case MGMT_OP_REG_VALIDATE:
        reply_ok(c, xid);
        return;
    case MGMT_OP_REG_SNMP: {
        std::string notify;
        std::string context;
        if (!r.str(notify) || !r.str(context)) {
            bad_frame(c, "REG_SNMP");
            return;
        }
        reply_ok(c, xid);
        return;
    }
    case MGMT_OP_REG_DATA_CB:
        kind = REG_CALLPOINT;
        if (!r.str(name) || !r.i64(mask)) {
            bad_frame(c, "REG_DATA_CB");
            return;
        }
        break;
    case MGMT_OP_REG_ACTION:
        kind = REG_ACTIONPOINT;
        if (!r.str(name) || !r.i64(mask)) {
            bad_frame(c, "REG_ACTION");
            return;
        }
        break;
    case MGMT_OP_REG_STREAM:
        kind = REG_STREAM;
        if (!r.str(name)) {
            bad_frame(c, "REG_STREAM");
            return;
        }
        break;
    case MGMT_OP_REG_VALPOINT:
        kind = REG_VALPOINT;
        if (!r.str(name)) {
            bad_frame(c, "REG_VALPOINT");
            return;
        }
        break;
    case MGMT_OP_REG_DONE: {
        for (const auto &[k, n] : c.regs) {
            if (const reg_point *p = taken(k, n)) {
                reply_err(c, xid, CONFD_ERR_ALREADY_EXISTS,
                          std::string(what(k)) + " " + n + " is served by " + daemon_name(p->daemon) + " already");
                return;
            }
        }
        for (const auto &[k, n] : c.regs) {
            reg_point p;
            p.daemon = c.id;
            if (k != REG_STREAM) {
                table(k)[n] = p;
                continue;
            }
            bool have = false;
            for (auto [it, end] = streams_.equal_range(n); it != end; ++it) {
                have = have || it->second.daemon == c.id;
            }
            if (!have) {
                streams_.emplace(n, p);
            }
        }
        c.regs.clear();
        reply_ok(c, xid);
        return;
    }
    default:
        unsupported(c, xid, r.op());
        return;
    }
    if (name.empty() || name.size() > 255) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, std::string("bad ") + what(kind) + " name");
        return;
    }
    if (const reg_point *p = taken(kind, name)) {
        reply_err(c, xid, CONFD_ERR_ALREADY_EXISTS,
                  std::string(what(kind)) + " " + name + " is served by " + daemon_name(p->daemon) + " already");
        return;
    }
    if (c.regs.size() >= 10000) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "too many registrations");
        return;
    }
    c.regs.emplace_back(kind, name);
    reply_ok(c, xid);
}

// ---------------------------------------------------------------- phases and MAAPI

void agent::request_phase(conn &c, uint32_t xid, int64_t phase)
{
    if (phase < 0 || phase > 2) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "no start phase " + std::to_string(phase));
    } else if (phase < phase_) {
        reply_err(c, xid, CONFD_ERR_BADSTATE,
                  "the agent is in start phase " + std::to_string(phase_) + " already: phases only move on");
    } else {
        set_phase(static_cast<int>(phase));
        reply_ok(c, xid);
    }
}

void agent::set_phase(int phase)
{
    if (phase <= phase_) {
        return;
    }
    phase_ = phase;
    OST_LOGF(LOG_INFO, "start phase %d", phase_);
    std::vector<phase_waiter> ready;
    std::erase_if(phase_waiters_, [&](const phase_waiter &w) {
        if (w.phase <= phase_) {
            ready.push_back(w);
            return true;
        }
        return false;
    });
    for (const phase_waiter &w : ready) {
        if (conn *c = find(w.conn)) {
            reply_ok(*c, w.xid);
        }
    }
}

void agent::maapi_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    switch (r.op()) {
    case MGMT_OP_MAAPI_WAIT_START: {
        int64_t phase = 0;
        if (!r.i64(phase)) {
            bad_frame(c, "MAAPI_WAIT_START");
            return;
        }
        if (phase < 0 || phase > 2) {
            reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "no start phase " + std::to_string(phase));
        } else if (phase <= phase_) {
            reply_ok(c, xid);
        } else {
            // Held until the phase is reached or the connection goes: the
            // waiting daemon blocks only itself.
            phase_waiters_.push_back({c.id, xid, static_cast<int>(phase)});
        }
        return;
    }
    case MGMT_OP_MAAPI_START_PHASE: {
        int64_t phase = 0;
        int64_t sync = 0;
        if (!r.i64(phase) || !r.i64(sync)) {
            bad_frame(c, "MAAPI_START_PHASE");
            return;
        }
        request_phase(c, xid, phase);
        return;
    }
    case MGMT_OP_MAAPI_ATTACH: {
        int64_t ns = 0;
        int64_t usid = 0;
        int64_t th = 0;
        if (!r.i64(ns) || !r.i64(usid) || !r.i64(th)) {
            bad_frame(c, "MAAPI_ATTACH");
            return;
        }
        reply_ok(c, xid);
        return;
    }
    case MGMT_OP_MAAPI_DETACH: {
        int64_t th = 0;
        if (!r.i64(th)) {
            bad_frame(c, "MAAPI_DETACH");
            return;
        }
        reply_ok(c, xid);
        return;
    }
    case MGMT_OP_MAAPI_CLI_WRITE: {
        int64_t usid = 0;
        std::string_view text;
        if (!r.i64(usid) || !r.bytes(text)) {
            bad_frame(c, "MAAPI_CLI_WRITE");
            return;
        }
        conn *cli = usid > 0 ? find(static_cast<uint64_t>(usid)) : nullptr;
        if (cli == nullptr || cli->kind != MGMT_CONN_CLI) {
            reply_err(c, xid, CONFD_ERR_NOSESSION, "no CLI session " + std::to_string(usid));
            return;
        }
        mgmt_wire::writer w(MGMT_OP_CLI_OUTPUT, cli->cmd_xid);
        w.bytes(text);
        send(*cli, w.finish());
        reply_ok(c, xid);
        return;
    }
    case MGMT_OP_SCHEMA_GET: {
        uint32_t n = 0;
        if (!r.list(n)) {
            bad_frame(c, "SCHEMA_GET");
            return;
        }
        std::vector<int64_t> nsv;
        for (uint32_t i = 0; i < n; i++) {
            int64_t ns = 0;
            if (!r.i64(ns)) {
                bad_frame(c, "SCHEMA_GET");
                return;
            }
            nsv.push_back(ns);
        }
        send(c, schema_.encode(nsv, xid));
        return;
    }
    default:
        unsupported(c, xid, r.op());
        return;
    }
}

}  // namespace mgmtd
