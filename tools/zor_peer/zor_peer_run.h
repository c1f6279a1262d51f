// The peer itself: connects to zord through the message-queue client, runs
// the script's lines in order on one libevent loop, and prints every message
// it receives as one JSON line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Exit codes.
#define ZP_EXIT_OK 0
#define ZP_EXIT_USAGE 1    // bad command line
#define ZP_EXIT_SCRIPT 2   // bad script line, or the script cannot be read
#define ZP_EXIT_CONNECT 3  // no connection within --timeout, or a send failed
#define ZP_EXIT_WAIT 4     // a wait-count line ran out of time, or a snapshot did not end in time
#define ZP_EXIT_REFUSED 5  // the server closed two connections in a row before sending anything

#define ZP_IDLE_MS_DEFAULT 500
#define ZP_TIMEOUT_S_DEFAULT 5

struct zp_options {
    uint32_t module = 0;       // our module id (the transport's source)
    uint32_t target = 2;       // the server's module id (zord)
    std::string run_dir;       // empty: ZOR_RUN_DIR, else /var/run
    std::string script = "-";  // file name, or "-" for standard input
    uint32_t idle_ms = ZP_IDLE_MS_DEFAULT;
    uint32_t timeout_s = ZP_TIMEOUT_S_DEFAULT;
    bool verbose = false;  // the transport's log lines on stderr
    bool timestamps = false;  // every output line carries its receive time
    // --snapshot: the families to dump (distinct, 0-9) instead of running a
    // script; dot prints the overlay as a Graphviz graph instead of JSON.
    std::vector<uint32_t> snapshot;
    bool dot = false;
};

// Runs the peer to its end. JSON lines go to out, diagnostics (each starting
// "zor-peer: ") to err. Returns one of the exit codes above.
//
// A script file is parsed whole before connecting, so a bad line stops the
// peer before it sends anything. Standard input is read as it comes (a pipe
// or a terminal), so a person or a test can drive the peer line by line; the
// script is done at the end of input.
//
// With a snapshot, the peer registers the families, prints every entry zord
// holds in them once each family's end marker has come back (see
// zor_peer_snapshot.h), withdraws the markers and exits; it gives up with
// ZP_EXIT_WAIT when that takes longer than the timeout.
int zp_run(const zp_options &opts, FILE *out, FILE *err);
