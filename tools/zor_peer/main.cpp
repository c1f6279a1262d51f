// zor-peer: drive a running zord by hand or from tests. See --help.
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>

#include "ost_util.h"
#include "zor_peer_help.h"
#include "zor_peer_names.h"
#include "zor_peer_run.h"

namespace {

int usage_error(const char *why, const char *value)
{
    fprintf(stderr, "zor-peer: %s%s%s\nTry 'zor-peer --help'.\n", why, value ? ": " : "", value ? value : "");
    return ZP_EXIT_USAGE;
}

}  // namespace

int main(int argc, char **argv)
{
    enum {
        OPT_MODULE = 1,
        OPT_RUN_DIR,
        OPT_SCRIPT,
        OPT_IDLE,
        OPT_TIMEOUT,
        OPT_TARGET,
        OPT_VERBOSE,
        OPT_TIMESTAMPS,
        OPT_SNAPSHOT,
        OPT_DOT,
        OPT_HELP,
    };
    static const option long_opts[] = {
        {"module", required_argument, nullptr, OPT_MODULE},   {"run-dir", required_argument, nullptr, OPT_RUN_DIR},
        {"script", required_argument, nullptr, OPT_SCRIPT},   {"idle", required_argument, nullptr, OPT_IDLE},
        {"timeout", required_argument, nullptr, OPT_TIMEOUT}, {"target", required_argument, nullptr, OPT_TARGET},
        {"verbose", no_argument, nullptr, OPT_VERBOSE},       {"timestamps", no_argument, nullptr, OPT_TIMESTAMPS},
        {"snapshot", no_argument, nullptr, OPT_SNAPSHOT},     {"dot", no_argument, nullptr, OPT_DOT},
        {"help", no_argument, nullptr, OPT_HELP},             {nullptr, 0, nullptr, 0},
    };
    zp_options opts;
    bool have_module = false;
    bool snapshot = false;
    bool have_script = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", long_opts, nullptr)) != -1) {
        uint64_t n = 0;
        switch (c) {
        case OPT_MODULE:
            if (!zp_module_from_str(optarg, &opts.module)) {
                return usage_error("unknown module (a module name or an id 1-228)", optarg);
            }
            have_module = true;
            break;
        case OPT_RUN_DIR:
            opts.run_dir = optarg;
            break;
        case OPT_SCRIPT:
            opts.script = optarg;
            have_script = true;
            break;
        case OPT_IDLE:
            if (!zp_number_from_str(optarg, UINT32_MAX, &n)) {
                return usage_error("--idle needs milliseconds", optarg);
            }
            opts.idle_ms = static_cast<uint32_t>(n);
            break;
        case OPT_TIMEOUT:
            if (!zp_number_from_str(optarg, 86400, &n) || n == 0) {
                return usage_error("--timeout needs seconds, 1-86400", optarg);
            }
            opts.timeout_s = static_cast<uint32_t>(n);
            break;
        case OPT_TARGET:
            if (!zp_module_from_str(optarg, &opts.target)) {
                return usage_error("unknown target module (a module name or an id 1-228)", optarg);
            }
            break;
        case OPT_VERBOSE:
            opts.verbose = true;
            break;
        case OPT_TIMESTAMPS:
            opts.timestamps = true;
            break;
        case OPT_SNAPSHOT:
            snapshot = true;
            break;
        case OPT_DOT:
            opts.dot = true;
            break;
        case OPT_HELP:
            fputs(zp_help_text(), stdout);
            return ZP_EXIT_OK;
        default:
            return usage_error("unknown option or missing value", optind > 1 ? argv[optind - 1] : nullptr);
        }
    }
    for (int i = optind; i < argc; i++) {
        uint32_t af = 0;
        if (!snapshot) {
            return usage_error("unexpected argument", argv[i]);
        }
        if (!zp_af_from_str(argv[i], &af) || af >= ZP_AF_COUNT) {
            return usage_error("unknown family (TLOC-IPV4, LINK, ... or 0-9)", argv[i]);
        }
        for (uint32_t seen : opts.snapshot) {
            if (seen == af) {
                return usage_error("family given twice", argv[i]);
            }
        }
        opts.snapshot.push_back(af);
    }
    if (snapshot && opts.snapshot.empty()) {
        return usage_error("--snapshot needs at least one family", nullptr);
    }
    if (snapshot && have_script) {
        return usage_error("--snapshot runs no script", nullptr);
    }
    if (opts.dot && !snapshot) {
        return usage_error("--dot draws a snapshot: give --snapshot FAMILY...", nullptr);
    }
    if (!have_module && snapshot) {
        // The last control-agent slot: the module least likely to be in use
        // (a peer connecting as a module takes over that module's connection).
        opts.module = OST_MODULE_CTLAGENT_63;
        have_module = true;
    }
    if (!have_module) {
        return usage_error("--module is required", nullptr);
    }
    if (opts.module == opts.target) {
        return usage_error("--module and --target name the same module", nullptr);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return zp_run(opts, stdout, stderr);
}
