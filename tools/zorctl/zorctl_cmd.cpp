#include "zorctl_cmd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "confd_wire.h"
#include "zorctl_path.h"

namespace {

struct named_point {
    std::string_view word;
    std::string_view point;
};

// The daemon's dump commands behind "show zor WHAT".
constexpr named_point k_show_zor[] = {
    {"all", "zor_dump_all"},
    {"db", "zor_dump_db"},
    {"clients", "zor_dump_clients"},
    {"groups", "zor_dump_group"},
    {"local-tlocs", "zor_dump_local_tloc"},
    {"msgq", "zor_dump_msgq"},
    {"memory", "zor_dump_cli_memory_info"},
    {"tracker", "zor_dump_tracker"},
    {"admin-tech", "zor_admin_tech"},
};
constexpr named_point k_show_support[] = {
    {"tlocs", "zor_dump_tlocs"},
    {"links", "zor_dump_links"},
};

using words_t = std::span<const std::string>;

zc_error usage(std::string_view form)
{
    return zc_fail(ZC_EXIT_USAGE, "usage: " + std::string(form));
}

bool parse_u32(const std::string &s, uint32_t &out)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 10) {
        return false;
    }
    const unsigned long long v = strtoull(s.c_str(), nullptr, 10);
    if (v > UINT32_MAX) {
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

// Takes "--name VALUE" or "--name=VALUE" at words[i]; i moves past it.
// 1 taken, 0 not this option, -1 value missing.
int take_option(words_t w, size_t &i, std::string_view name, std::string &value)
{
    const std::string &word = w[i];
    if (word == name) {
        if (i + 1 >= w.size()) {
            return -1;
        }
        value = w[i + 1];
        i += 2;
        return 1;
    }
    if (word.size() > name.size() && word.compare(0, name.size(), name) == 0 && word[name.size()] == '=') {
        value = word.substr(name.size() + 1);
        i += 1;
        return 1;
    }
    return 0;
}

// The TLOC tables: "show tlocs [IP]", "show tloc IP COLOUR ENCAP paths",
// "show tloc IP COLOUR ENCAP path N links", each with "--tenant N".
bool parse_tloc_show(words_t w, zc_request &req, zc_error &err)
{
    static constexpr std::string_view forms =
        "show tlocs [IP] [--tenant N] | show tloc IP COLOUR ENCAP paths [--tenant N] | "
        "show tloc IP COLOUR ENCAP path N links [--tenant N]";
    std::vector<std::string> rest;
    std::string tenant;
    for (size_t i = 0; i < w.size();) {
        const int r = take_option(w, i, "--tenant", tenant);
        if (r < 0) {
            err = usage(forms);
            return false;
        }
        if (r == 0) {
            rest.push_back(w[i++]);
        }
    }
    std::string base = "/tlocs/tloc";
    if (!tenant.empty()) {
        uint32_t id = 0;
        if (!parse_u32(tenant, id)) {
            err = zc_fail(ZC_EXIT_USAGE, "--tenant takes a tenant number: " + tenant);
            return false;
        }
        base = "/tenants/tenant{" + std::to_string(id) + "}/tlocs/tloc";
    }
    req.op = MGMT_OP_CLI_GET_OPER;
    req.flags = MGMT_OPER_DEPTH_ONE;
    if (rest.size() == 1 && rest[0] == "tlocs") {
        req.path = base;
        req.view = zc_view::tlocs;
        return true;
    }
    // The TLOCs of one system IP: the agent lists those whose first key is it.
    if (rest.size() == 2 && rest[0] == "tlocs") {
        req.path = base + "{" + zc_quote_key(rest[1]) + "}";
        req.view = zc_view::tlocs;
        return true;
    }
    if (rest.size() < 5 || rest[0] != "tloc") {
        err = usage(forms);
        return false;
    }
    const std::string tloc =
        base + "{" + zc_quote_key(rest[1]) + " " + zc_quote_key(rest[2]) + " " + zc_quote_key(rest[3]) + "}";
    if (rest.size() == 5 && rest[4] == "paths") {
        req.path = tloc + "/path";
        req.view = zc_view::paths;
        return true;
    }
    uint32_t index = 0;
    if (rest.size() == 7 && rest[4] == "path" && rest[6] == "links") {
        if (!parse_u32(rest[5], index)) {
            err = zc_fail(ZC_EXIT_USAGE, "a path index is a number: " + rest[5]);
            return false;
        }
        req.path = tloc + "/path{" + std::to_string(index) + "}/link";
        req.view = zc_view::links;
        return true;
    }
    err = usage(forms);
    return false;
}

void set_command(zc_request &req, std::string_view point, words_t args)
{
    req.op = MGMT_OP_CLI_COMMAND;
    req.view = zc_view::output;
    req.point = std::string(point);
    req.argv.assign(1, req.point);
    req.argv.insert(req.argv.end(), args.begin(), args.end());
}

void set_action(zc_request &req, std::string_view point)
{
    req.op = MGMT_OP_CLI_ACTION;
    req.view = zc_view::results;
    req.point = std::string(point);
}

bool parse_edit(words_t w, const zc_schema_fn &schema_fn, zc_request &req, zc_error &err)
{
    const std::string &verb = w[0];
    const zc_path_use use = verb == "set"      ? zc_path_use::set
                            : verb == "create" ? zc_path_use::create
                                               : zc_path_use::remove;
    if (w.size() < 2) {
        err = usage(verb == "set" ? "set PATH VALUE..." : verb + " PATH");
        return false;
    }
    const zc_schema *schema = schema_fn(err);
    if (schema == nullptr) {
        return false;
    }
    zc_path path;
    std::string why;
    if (!zc_parse_path(*schema, w.subspan(1), use, path, why)) {
        err = zc_fail(ZC_EXIT_USAGE, why);
        return false;
    }
    req.op = MGMT_OP_CLI_COMMIT;
    req.view = zc_view::none;
    const std::string path_text = path.text();
    if (use == zc_path_use::set) {
        for (const std::string &v : path.values) {
            req.edits.push_back({MGMT_EDIT_SET, path_text, v, "set " + path.display() + " " + v});
        }
    } else {
        req.edits.push_back({use == zc_path_use::create ? MGMT_EDIT_CREATE : MGMT_EDIT_DELETE, path_text, "",
                             verb + " " + path.display()});
    }
    return true;
}

bool parse_read_path(words_t w, zc_path_use use, const zc_schema_fn &schema_fn, std::string &out, zc_error &err)
{
    const zc_schema *schema = schema_fn(err);
    if (schema == nullptr) {
        return false;
    }
    zc_path path;
    std::string why;
    if (!zc_parse_path(*schema, w, use, path, why)) {
        err = zc_fail(ZC_EXIT_USAGE, why);
        return false;
    }
    out = path.text();
    return true;
}

bool parse_show(words_t w, bool config_mode, const zc_schema_fn &schema_fn, zc_parsed &out, zc_error &err)
{
    zc_request &req = out.req;
    const std::string what = w.size() > 1 ? w[1] : "";
    if (what == "running-config") {
        req.op = MGMT_OP_CLI_GET_CONFIG;
        req.view = zc_view::tree;
        return w.size() == 2 || parse_read_path(w.subspan(2), zc_path_use::config_read, schema_fn, req.path, err);
    }
    if (what == "oper") {
        if (w.size() < 3) {
            err = usage("show oper PATH");
            return false;
        }
        req.op = MGMT_OP_CLI_GET_OPER;
        req.view = zc_view::tree;
        return parse_read_path(w.subspan(2), zc_path_use::oper, schema_fn, req.path, err);
    }
    if (what == "tlocs" || what == "tloc") {
        return parse_tloc_show(w.subspan(1), req, err);
    }
    if (what == "zor") {
        for (const named_point &p : k_show_zor) {
            if (w.size() >= 3 && w[2] == p.word) {
                set_command(req, p.point, w.subspan(3));
                return true;
            }
        }
        err = usage("show zor all|db|clients|groups|local-tlocs|msgq|memory|tracker|admin-tech [ARG...]");
        return false;
    }
    if (what == "support") {
        for (const named_point &p : k_show_support) {
            if (w.size() >= 4 && w[2] == "zor" && w[3] == p.word) {
                set_command(req, p.point, w.subspan(4));
                return true;
            }
        }
        err = usage("show support zor tlocs|links [ARG...]");
        return false;
    }
    if (what == "changes" && config_mode && w.size() == 2) {
        out.local = zc_local::show_changes;
        return true;
    }
    err = usage("show running-config|oper|tlocs|tloc|zor|support ...");
    return false;
}

bool parse_notifications(words_t w, zc_request &req, zc_error &err)
{
    static constexpr std::string_view form = "notifications [--stream NAME] [--follow]";
    req.op = MGMT_OP_CLI_NOTIFS;
    req.view = zc_view::notifs;
    for (size_t i = 1; i < w.size();) {
        if (w[i] == "--follow") {
            req.follow = true;
            i++;
            continue;
        }
        if (take_option(w, i, "--stream", req.stream) != 1 || req.stream.empty()) {
            err = usage(form);
            return false;
        }
    }
    return true;
}

bool parse_agent(words_t w, zc_request &req, zc_error &err)
{
    static constexpr std::string_view form = "agent phase 0|1|2 | agent status";
    if (w.size() == 2 && w[1] == "status") {
        req.op = MGMT_OP_CLI_STATUS;
        req.view = zc_view::status;
        return true;
    }
    uint32_t phase = 0;
    if (w.size() == 3 && w[1] == "phase" && parse_u32(w[2], phase) && phase <= 2) {
        req.op = MGMT_OP_CLI_PHASE;
        req.phase = phase;
        return true;
    }
    err = usage(form);
    return false;
}

bool parse_action(words_t w, zc_request &req, zc_error &err)
{
    if (w.size() < 2 || w[1].empty()) {
        err = usage("action NAME [LEAF=VALUE...]");
        return false;
    }
    set_action(req, w[1]);
    for (const std::string &p : w.subspan(2)) {
        const size_t eq = p.find('=');
        if (eq == std::string::npos || eq == 0) {
            err = zc_fail(ZC_EXIT_USAGE, "an action parameter is LEAF=VALUE: " + p);
            return false;
        }
        req.params.emplace_back(p.substr(0, eq), p.substr(eq + 1));
    }
    return true;
}

bool words_are(words_t w, std::initializer_list<std::string_view> want)
{
    return w.size() == want.size() && std::equal(w.begin(), w.end(), want.begin());
}

}  // namespace

std::string zc_request::frame(uint32_t xid) const
{
    mgmt_wire::writer w(op, xid);
    switch (op) {
    case MGMT_OP_CLI_GET_CONFIG:
        w.str(path);
        break;
    case MGMT_OP_CLI_COMMIT:
        w.list(static_cast<uint32_t>(edits.size()));
        for (const zc_edit &e : edits) {
            w.list(3).i64(e.op).str(e.path).str(e.value);
        }
        break;
    case MGMT_OP_CLI_GET_OPER:
        w.str(path).i64(flags);
        break;
    case MGMT_OP_CLI_COMMAND:
        w.str(point).list(static_cast<uint32_t>(argv.size()));
        for (const std::string &a : argv) {
            w.str(a);
        }
        break;
    case MGMT_OP_CLI_ACTION:
        w.str(point).list(static_cast<uint32_t>(params.size()));
        for (const auto &[name, value] : params) {
            w.list(2).str(name).str(value);
        }
        break;
    case MGMT_OP_CLI_NOTIFS:
        w.str(stream).i64(follow ? 1 : 0);
        break;
    case MGMT_OP_CLI_PHASE:
        w.i64(phase);
        break;
    default:
        break;  // STATUS and MODULES carry nothing
    }
    return w.finish();
}

bool zc_parse_command(std::span<const std::string> w, bool interactive, bool config_mode, const zc_schema_fn &schema,
                      zc_parsed &out, zc_error &err)
{
    out = zc_parsed();
    if (w.empty()) {
        err = usage("zorctl COMMAND... (zorctl --help lists them)");
        return false;
    }
    const std::string &verb = w[0];
    if (interactive) {
        if (words_are(w, {"config"}) && !config_mode) {
            out.local = zc_local::config;
            return true;
        }
        if (words_are(w, {"commit"}) && config_mode) {
            out.local = zc_local::commit;
            return true;
        }
        if (words_are(w, {"abort"}) && config_mode) {
            out.local = zc_local::abort;
            return true;
        }
        if (words_are(w, {"exit"}) || words_are(w, {"quit"})) {
            out.local = zc_local::exit;
            return true;
        }
        if (words_are(w, {"help"})) {
            out.local = zc_local::help;
            return true;
        }
    }
    if (verb == "set" || verb == "delete" || verb == "create") {
        return parse_edit(w, schema, out.req, err);
    }
    if (verb == "show") {
        return parse_show(w, config_mode, schema, out, err);
    }
    if (verb == "command") {
        if (w.size() < 2 || w[1].empty()) {
            err = usage("command NAME [ARG...]");
            return false;
        }
        set_command(out.req, w[1], w.subspan(2));
        return true;
    }
    if (verb == "action") {
        return parse_action(w, out.req, err);
    }
    if (words_are(w, {"debug", "zor", "events"})) {
        set_action(out.req, "zor_debug_event");
        return true;
    }
    if (words_are(w, {"no", "debug", "zor", "events"})) {
        set_action(out.req, "zor_debug_disable_event");
        return true;
    }
    if (verb == "debug" || verb == "no") {
        err = usage("[no] debug zor events");
        return false;
    }
    if (verb == "notifications") {
        return parse_notifications(w, out.req, err);
    }
    if (verb == "agent") {
        return parse_agent(w, out.req, err);
    }
    if (verb == "config" || verb == "commit" || verb == "abort") {
        const char *why = !interactive        ? " is for the interactive shell"
                          : verb == "config" ? ": already in config mode"
                                             : " belongs to config mode";
        err = zc_fail(ZC_EXIT_USAGE, verb + why);
        return false;
    }
    err = zc_fail(ZC_EXIT_USAGE, "unknown command " + verb + " (" + (interactive ? "help" : "zorctl --help") +
                                     " lists them)");
    return false;
}

std::vector<std::string> zc_command_words(std::span<const std::string> w, bool interactive, bool config_mode)
{
    std::vector<std::string> out;
    auto add_points = [&out](std::span<const named_point> points) {
        for (const named_point &p : points) {
            out.emplace_back(p.word);
        }
    };
    if (w.empty()) {
        out = {"show", "set", "delete", "create", "command", "action", "debug", "no", "notifications", "agent"};
        if (interactive) {
            out.insert(out.end(), {"help", "exit"});
            out.push_back(config_mode ? "commit" : "config");
            if (config_mode) {
                out.push_back("abort");
            }
        }
    } else if (words_are(w, {"show"})) {
        out = {"running-config", "oper", "tlocs", "tloc", "zor", "support"};
        if (config_mode) {
            out.push_back("changes");
        }
    } else if (words_are(w, {"show", "zor"})) {
        add_points(k_show_zor);
    } else if (words_are(w, {"show", "support"}) || words_are(w, {"debug"}) || words_are(w, {"no", "debug"})) {
        out = {"zor"};
    } else if (words_are(w, {"show", "support", "zor"})) {
        add_points(k_show_support);
    } else if (words_are(w, {"debug", "zor"}) || words_are(w, {"no", "debug", "zor"})) {
        out = {"events"};
    } else if (words_are(w, {"no"})) {
        out = {"debug"};
    } else if (words_are(w, {"agent"})) {
        out = {"phase", "status"};
    } else if (words_are(w, {"show", "tlocs"}) || (w.size() == 5 && w[0] == "show" && w[1] == "tloc")) {
        out = w.size() == 5 ? std::vector<std::string>{"paths", "path"} : std::vector<std::string>{"--tenant"};
    } else if (w.size() == 7 && w[0] == "show" && w[1] == "tloc" && w[5] == "path") {
        out = {"links"};
    } else if (!w.empty() && w[0] == "notifications") {
        out = {"--stream", "--follow"};
    }
    return out;
}

size_t zc_path_start(std::span<const std::string> w)
{
    if (w.empty()) {
        return 0;
    }
    if (w[0] == "set" || w[0] == "delete" || w[0] == "create") {
        return 1;
    }
    if (w.size() >= 2 && w[0] == "show" && (w[1] == "running-config" || w[1] == "oper")) {
        return 2;
    }
    return 0;
}
