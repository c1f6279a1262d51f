// The agent's management API (MAAPI) as daemons use it: waiting for start
// phases, attaching to a transaction the agent started towards them, and
// writing to an operator's CLI session.
//
// Every call is synchronous on its socket. A socket is used by one thread at
// a time.
#pragma once

#include <stddef.h>

#include "confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

int maapi_connect(int sock, const struct sockaddr *srv, int addrsz);
int maapi_close(int sock);

// Blocks until the agent has reached the start phase (0, 1 or 2).
int maapi_wait_start(int sock, int phase);
// Moves the agent to a later start phase (what "zorctl agent phase N" does).
int maapi_start_phase(int sock, int phase, int synchronous);

// Attaches this socket to the transaction of tctx (from a transaction init
// callback), so that MAAPI calls can read it; detach ends that.
int maapi_attach(int sock, int hashed_ns, struct confd_trans_ctx *tctx);
int maapi_attach2(int sock, int hashed_ns, int usid, int thandle);
int maapi_detach(int sock, struct confd_trans_ctx *tctx);

// Writes text to the CLI session usess (the usid of a command's user
// information). Returns when the agent has taken the text, so that output
// reaches the operator in the order written and before the command's
// completion. CONFD_ERR with CONFD_ERR_NOSESSION when the session is gone.
int maapi_cli_printf(int sock, int usess, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int maapi_cli_write(int sock, int usess, const char *buf, int size);

// In-process sessions: text for (sock, usess) goes to fn instead of the
// agent while a sink is registered. For tools and tests that run a command
// callback in their own process; replacing and removing are safe from any
// thread.
typedef void (*maapi_cli_sink_fn)(int sock, int usess, const char *text, size_t len, void *arg);
void maapi_cli_sink_register(int sock, int usess, maapi_cli_sink_fn fn, void *arg);
void maapi_cli_sink_unregister(int sock, int usess);

#ifdef __cplusplus
}
#endif
