#include "zorctl_run.h"

#include "zorctl_print.h"

namespace {

void put_text(FILE *out, const std::string &text)
{
    fwrite(text.data(), 1, text.size(), out);
    if (!text.empty() && text.back() != '\n') {
        fputc('\n', out);
    }
}

zc_error bad_reply(const char *what)
{
    return zc_fail(ZC_EXIT_REFUSED, std::string("the agent's reply to ") + what + " is malformed");
}

// An action's results, or the agent's status, that hold nothing worth a line.
bool json_is_empty(const std::string &json)
{
    const size_t b = json.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return true;
    }
    const size_t e = json.find_last_not_of(" \t\r\n");
    const std::string core = json.substr(b, e - b + 1);
    return core == "{}" || core == "[]" || core == "null";
}

}  // namespace

void zc_print_error(FILE *err, const zc_error &e)
{
    fprintf(err, "zorctl: %s\n", e.text.c_str());
    fflush(err);
}

zc_session::zc_session(const zc_options &opts, FILE *out) : opts_(opts), out_(out) {}

bool zc_session::connect(zc_error &err)
{
    if (conn_.is_open()) {
        return true;
    }
    if (!have_secret_) {
        if (!zc_read_secret(secret_, err)) {
            return false;
        }
        have_secret_ = true;
    }
    uint16_t port = 0;
    return zc_pick_port(opts_.port, port, err) && conn_.open(port, timeout_ms(), secret_, err);
}

const zc_schema *zc_session::schema(zc_error &err)
{
    if (schema_.loaded()) {
        return &schema_;
    }
    if (!connect(err)) {
        return nullptr;
    }
    const uint32_t xid = conn_.next_xid();
    mgmt_wire::writer w(MGMT_OP_CLI_MODULES, xid);
    std::string body;
    if (!conn_.call(w.finish(), xid, timeout_ms(), nullptr, body, err)) {
        return nullptr;
    }
    mgmt_wire::reader rd(body);
    uint32_t count = 0;
    std::vector<zc_module_text> modules;
    if (!rd.list(count)) {
        err = bad_reply("CLI_MODULES");
        return nullptr;
    }
    for (uint32_t i = 0; i < count; i++) {
        uint32_t n = 0;
        zc_module_text m;
        if (!rd.list(n) || n != 2 || !rd.str(m.first) || !rd.str(m.second)) {
            err = bad_reply("CLI_MODULES");
            return nullptr;
        }
        modules.push_back(std::move(m));
    }
    std::string why;
    if (!schema_.load(modules, why)) {
        err = zc_fail(ZC_EXIT_REFUSED, "the agent's schema does not load: " + why);
        return nullptr;
    }
    return &schema_;
}

bool zc_session::run(const zc_request &req, zc_error &err)
{
    if (!connect(err)) {
        return false;
    }
    const uint32_t xid = conn_.next_xid();
    out_at_line_start_ = true;
    zc_push_fn on_push = [this](mgmt_op op, mgmt_wire::reader &rd, zc_error &e) {
        std::string text;
        if (!rd.str(text)) {
            e = bad_reply(op == MGMT_OP_CLI_OUTPUT ? "a command (its output)" : "notifications");
            return false;
        }
        if (op == MGMT_OP_CLI_NOTIF && !text.empty() && text.back() != '\n') {
            text += '\n';
        }
        fwrite(text.data(), 1, text.size(), out_);
        fflush(out_);
        if (!text.empty()) {
            out_at_line_start_ = text.back() == '\n';
        }
        return true;
    };
    // Followed notifications come for as long as the operator wants them.
    const int wait_ms = req.op == MGMT_OP_CLI_NOTIFS && req.follow ? -1 : timeout_ms();
    std::string body;
    const bool ok = conn_.call(req.frame(xid), xid, wait_ms, on_push, body, err);
    if (!out_at_line_start_) {
        fputc('\n', out_);  // a command's last line without its newline
    }
    if (!ok) {
        fflush(out_);
        return false;
    }
    mgmt_wire::reader rd(body);
    const bool shown = show_reply(req, rd, err);
    fflush(out_);
    return shown;
}

bool zc_session::show_reply(const zc_request &req, mgmt_wire::reader &rd, zc_error &err)
{
    std::string json;
    switch (req.op) {
    case MGMT_OP_CLI_GET_CONFIG:
    case MGMT_OP_CLI_GET_OPER:
        if (!rd.str(json)) {
            err = bad_reply("a read");
            return false;
        }
        return show_data(req, json, err);
    case MGMT_OP_CLI_ACTION:
    case MGMT_OP_CLI_STATUS: {
        if (!rd.str(json)) {
            err = bad_reply(req.op == MGMT_OP_CLI_ACTION ? "an action" : "status");
            return false;
        }
        if (opts_.json) {
            put_text(out_, json);
            return true;
        }
        if (json_is_empty(json)) {
            return true;
        }
        std::string text;
        if (!zc_json_text(json, text)) {
            err = zc_fail(ZC_EXIT_REFUSED, "the agent's reply is not JSON: " + json);
            return false;
        }
        fputs(text.c_str(), out_);
        return true;
    }
    default:
        return true;  // commits, commands, notifications and phases reply with nothing to show
    }
}

bool zc_session::show_data(const zc_request &req, const std::string &json, zc_error &err)
{
    if (opts_.json) {
        put_text(out_, json);
        return true;
    }
    const zc_schema *s = schema(err);
    if (s == nullptr) {
        return false;
    }
    zc_tree tree;
    std::string why;
    if (!s->parse(json, tree, why)) {
        err = zc_fail(ZC_EXIT_REFUSED, "the agent's data does not match its schema: " + why);
        return false;
    }
    std::string text;
    switch (req.view) {
    case zc_view::tlocs:
        text = zc_tlocs_table(tree.get());
        break;
    case zc_view::paths:
        text = zc_paths_table(tree.get());
        break;
    case zc_view::links:
        text = zc_links_table(tree.get());
        break;
    default:
        text = zc_tree_text(tree.get());
        break;
    }
    fputs(text.c_str(), out_);
    return true;
}

int zc_session::run_words(std::span<const std::string> words, FILE *err_out)
{
    zc_parsed parsed;
    zc_error err;
    if (!zc_parse_command(words, false, false, schema_fn(), parsed, err) || !run(parsed.req, err)) {
        zc_print_error(err_out, err);
        return err.code;
    }
    return ZC_EXIT_OK;
}
