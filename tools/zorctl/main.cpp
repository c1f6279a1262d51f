// zorctl: the operator's command line of the management agent. See --help.
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>
#include <vector>

#include "zorctl_help.h"
#include "zorctl_run.h"
#include "zorctl_shell.h"

namespace {

int usage_error(const std::string &why)
{
    zc_print_error(stderr, zc_fail(ZC_EXIT_USAGE, why + " (zorctl --help lists the options)"));
    return ZC_EXIT_USAGE;
}

bool number_in(const char *text, long lo, long hi, long &out)
{
    char *end = nullptr;
    out = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char **argv)
{
    enum { OPT_PORT = 1, OPT_JSON, OPT_TIMEOUT, OPT_HELP };
    static const option long_opts[] = {
        {"port", required_argument, nullptr, OPT_PORT},       {"json", no_argument, nullptr, OPT_JSON},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT}, {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    zc_options opts;
    opterr = 0;
    int c;
    // "+": options end at the first command word, whose own options (show
    // tlocs --tenant, notifications --follow) are the command's.
    while ((c = getopt_long(argc, argv, "+", long_opts, nullptr)) != -1) {
        long n = 0;
        switch (c) {
        case OPT_PORT:
            if (!number_in(optarg, 1, 65535, n)) {
                return usage_error(std::string("--port takes a port number, 1-65535: ") + optarg);
            }
            opts.port = static_cast<uint32_t>(n);
            break;
        case OPT_JSON:
            opts.json = true;
            break;
        case OPT_TIMEOUT:
            if (!number_in(optarg, 1, 86400, n)) {
                return usage_error(std::string("--timeout takes seconds, 1-86400: ") + optarg);
            }
            opts.timeout_s = static_cast<int>(n);
            break;
        case OPT_HELP:
            fputs(zc_help_text(), stdout);
            return ZC_EXIT_OK;
        default:
            return usage_error(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
    }
    zc_session session(opts, stdout);
    if (optind < argc) {
        const std::vector<std::string> words(argv + optind, argv + argc);
        return session.run_words(words, stderr);
    }
    zc_error err;
    if (!session.connect(err)) {
        zc_print_error(stderr, err);
        return err.code;
    }
    zc_shell shell(session, stdout, stderr);
    return shell.loop();
}
