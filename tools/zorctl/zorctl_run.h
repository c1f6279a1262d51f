// A zorctl session: the connection to the agent, its schema once fetched,
// and the running of requests with their output. Single-threaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "zorctl_cmd.h"
#include "zorctl_conn.h"
#include "zorctl_schema.h"

struct zc_options {
    uint32_t port = 0;  // 0: MGMTD_PORT, else 4565
    bool json = false;  // replies as the agent's JSON
    int timeout_s = ZC_DEFAULT_TIMEOUT_S;
};

class zc_session {
public:
    // Output goes to out; the caller prints failures.
    zc_session(const zc_options &opts, FILE *out);

    // Connects when not connected (again after a broken connection).
    bool connect(zc_error &err);
    // The agent's schema, fetched with CLI_MODULES on first use; nullptr
    // with err filled when it cannot be had.
    const zc_schema *schema(zc_error &err);
    // The schema when already fetched, else nullptr (no request is made).
    const zc_schema *schema_if_loaded() const { return schema_.loaded() ? &schema_ : nullptr; }
    zc_schema_fn schema_fn()
    {
        return [this](zc_error &err) { return schema(err); };
    }

    // Sends req and prints its reply (or streams its pushes) to out. False
    // with err filled when the agent cannot be reached, refuses, or replies
    // with something that cannot be shown.
    bool run(const zc_request &req, zc_error &err);

    // Parses and runs one one-shot command; the exit code, the failure
    // printed on err as one "zorctl: " line.
    int run_words(std::span<const std::string> words, FILE *err_out);

    const zc_options &options() const { return opts_; }

private:
    bool show_reply(const zc_request &req, mgmt_wire::reader &rd, zc_error &err);
    bool show_data(const zc_request &req, const std::string &json, zc_error &err);
    int timeout_ms() const { return opts_.timeout_s * 1000; }

    zc_options opts_;
    FILE *out_;
    std::string secret_;
    bool have_secret_ = false;
    zc_conn conn_;
    zc_schema schema_;
    bool out_at_line_start_ = true;
};

// Prints a failure as its one line.
void zc_print_error(FILE *err, const zc_error &e);
