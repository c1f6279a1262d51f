#include "zorctl_shell.h"

#include <cstdlib>
#include <histedit.h>
#include <memory>
#include <unistd.h>

#include "zorctl_complete.h"
#include "zorctl_help.h"

namespace {

struct tokenizer_free {
    void operator()(Tokenizer *t) const { tok_end(t); }
};
struct editline_free {
    void operator()(EditLine *e) const { el_end(e); }
};
struct history_free {
    void operator()(History *h) const { history_end(h); }
};

// Words as a shell would cut them: blanks separate, quotes group, a
// backslash escapes. False on an open quote.
bool tokenize(const std::string &line, std::vector<std::string> &words)
{
    words.clear();
    std::unique_ptr<Tokenizer, tokenizer_free> tok(tok_init(nullptr));
    int argc = 0;
    const char **argv = nullptr;
    if (!tok || tok_str(tok.get(), line.c_str(), &argc, &argv) != 0) {
        return false;
    }
    words.assign(argv, argv + argc);
    return true;
}

std::string history_file()
{
    const char *home = getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/.zorctl_history" : "";
}

char *prompt(EditLine *el)
{
    static char plain[] = "zorctl> ";
    static char config[] = "zorctl(config)> ";
    void *data = nullptr;
    el_get(el, EL_CLIENTDATA, &data);
    return data != nullptr && static_cast<zc_shell *>(data)->config_mode() ? config : plain;
}

unsigned char complete(EditLine *el, int /*ch*/)
{
    void *data = nullptr;
    el_get(el, EL_CLIENTDATA, &data);
    auto *shell = static_cast<zc_shell *>(data);
    const LineInfo *li = el_line(el);
    if (shell == nullptr || li == nullptr) {
        return CC_ERROR;
    }
    std::vector<std::string> words = zc_split_line(std::string(li->buffer, li->cursor));
    const std::string partial = words.empty() ? "" : words.back();
    if (!words.empty()) {
        words.pop_back();
    }
    const std::vector<std::string> cands =
        zc_complete(words, partial, shell->config_mode(), shell->session().schema_if_loaded());
    if (cands.empty()) {
        return CC_REFRESH_BEEP;
    }
    if (cands.size() == 1) {
        el_insertstr(el, (cands[0].substr(partial.size()) + " ").c_str());
        return CC_REFRESH;
    }
    const std::string common = zc_common_prefix(cands);
    if (common.size() > partial.size()) {
        el_insertstr(el, common.substr(partial.size()).c_str());
        return CC_REFRESH;
    }
    std::string list;
    for (const std::string &c : cands) {
        list += (list.empty() ? "\n" : "  ") + c;
    }
    list += '\n';
    fputs(list.c_str(), stdout);
    fflush(stdout);
    return CC_REDISPLAY;
}

}  // namespace

int zc_shell::fail(const zc_error &e)
{
    zc_print_error(err_, e);
    return e.code;
}

int zc_shell::local(zc_local what)
{
    switch (what) {
    case zc_local::config:
        config_mode_ = true;
        return ZC_EXIT_OK;
    case zc_local::commit: {
        if (pending_.empty()) {
            fputs("no changes to commit\n", out_);
            return ZC_EXIT_OK;
        }
        zc_request req;
        req.op = MGMT_OP_CLI_COMMIT;
        req.edits = pending_;
        zc_error err;
        if (!session_.run(req, err)) {
            return fail(err);  // the edits stay, to be mended or aborted
        }
        pending_.clear();
        return ZC_EXIT_OK;
    }
    case zc_local::abort:
        pending_.clear();
        return ZC_EXIT_OK;
    case zc_local::show_changes:
        for (const zc_edit &e : pending_) {
            fprintf(out_, "%s\n", e.shown.c_str());
        }
        return ZC_EXIT_OK;
    case zc_local::exit:
        if (!config_mode_) {
            done_ = true;
        } else if (!pending_.empty()) {
            return fail(zc_fail(ZC_EXIT_USAGE, std::to_string(pending_.size()) +
                                                   " uncommitted changes: commit or abort them first"));
        } else {
            config_mode_ = false;
        }
        return ZC_EXIT_OK;
    case zc_local::help:
        fputs(zc_help_text(), out_);
        fputs(zc_shell_help_text(), out_);
        return ZC_EXIT_OK;
    case zc_local::none:
        break;
    }
    return ZC_EXIT_OK;
}

int zc_shell::run_line(const std::string &line)
{
    std::vector<std::string> words;
    if (!tokenize(line, words)) {
        return fail(zc_fail(ZC_EXIT_USAGE, "an open quote in: " + line));
    }
    if (words.empty() || words[0][0] == '#') {
        return ZC_EXIT_OK;
    }
    zc_parsed parsed;
    zc_error err;
    if (!zc_parse_command(words, true, config_mode_, session_.schema_fn(), parsed, err)) {
        return fail(err);
    }
    if (parsed.local != zc_local::none) {
        const int rc = local(parsed.local);
        fflush(out_);
        return rc;
    }
    if (config_mode_ && parsed.req.op == MGMT_OP_CLI_COMMIT) {
        pending_.insert(pending_.end(), parsed.req.edits.begin(), parsed.req.edits.end());
        return ZC_EXIT_OK;
    }
    if (!session_.run(parsed.req, err)) {
        return fail(err);
    }
    return ZC_EXIT_OK;
}

int zc_shell::loop()
{
    // Completion wants the schema at hand; without it only words complete.
    zc_error ignored;
    session_.schema(ignored);
    const int rc = isatty(STDIN_FILENO) ? loop_terminal() : loop_plain();
    if (!pending_.empty()) {
        zc_print_error(err_, zc_fail(ZC_EXIT_OK, std::to_string(pending_.size()) + " uncommitted changes dropped"));
    }
    return rc;
}

int zc_shell::loop_plain()
{
    int rc = ZC_EXIT_OK;
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    while (!done_ && (n = getline(&buf, &cap, stdin)) >= 0) {
        std::string line(buf, static_cast<size_t>(n));
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        rc = run_line(line);
    }
    free(buf);
    return rc;
}

int zc_shell::loop_terminal()
{
    std::unique_ptr<EditLine, editline_free> el(el_init("zorctl", stdin, stdout, stderr));
    std::unique_ptr<History, history_free> hist(history_init());
    if (!el || !hist) {
        return loop_plain();
    }
    HistEvent ev;
    const std::string hist_file = history_file();
    history(hist.get(), &ev, H_SETSIZE, 1000);
    history(hist.get(), &ev, H_SETUNIQUE, 1);
    if (!hist_file.empty()) {
        history(hist.get(), &ev, H_LOAD, hist_file.c_str());
    }
    el_set(el.get(), EL_EDITOR, "emacs");
    el_set(el.get(), EL_SIGNAL, 1);
    el_set(el.get(), EL_CLIENTDATA, this);
    el_set(el.get(), EL_PROMPT, prompt);
    el_set(el.get(), EL_HIST, history, hist.get());
    // The wide form: the narrow one copies the name and help, which
    // libedit never frees; these literals live as long as the program.
    el_wset(el.get(), EL_ADDFN, L"zorctl-complete", L"Complete a command word, path or value", complete);
    el_set(el.get(), EL_BIND, "^I", "zorctl-complete", nullptr);
    el_source(el.get(), nullptr);

    int rc = ZC_EXIT_OK;
    int count = 0;
    const char *raw;
    while (!done_ && (raw = el_gets(el.get(), &count)) != nullptr && count >= 0) {
        std::string line(raw, static_cast<size_t>(count));
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") != std::string::npos) {
            history(hist.get(), &ev, H_ENTER, line.c_str());
        }
        rc = run_line(line);
    }
    if (!done_) {
        fputc('\n', stdout);  // end of input leaves the prompt's line open
    }
    if (!hist_file.empty()) {
        history(hist.get(), &ev, H_SAVE, hist_file.c_str());
    }
    return rc;
}

const char *zc_shell_help_text()
{
    return "Interactive shell:\n"
           "  config                  enter config mode: set, delete and create wait for commit\n"
           "  commit                  send the pending changes as one commit          (config mode)\n"
           "  abort                   drop the pending changes                        (config mode)\n"
           "  show changes            list the pending changes                        (config mode)\n"
           "  exit                    leave config mode, or the shell\n"
           "  help                    this text\n"
           "  TAB completes command words, schema node names along a path, and enum labels of values.\n";
}
