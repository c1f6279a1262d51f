// Process-wide logging for the daemons of the box.
//
// Every line goes to syslog (opened once by the process with ost_log_open).
// A daemon running in the foreground also mirrors each line to stderr, each
// behind its UTC time ("2024-05-01T12:00:00.123456Z "), and tests may install
// a hook that sees every formatted line. Lines are plain text without a
// trailing line feed; syslog adds its own framing.
//
// Rate limit: a line repeated by one call site for one peer faster than
// about once a second is not written; after a burst of OST_LOG_BURST lines
// one more is let through per second, and the lines held back are summarised
// as "suppressed N lines like: <the last of them>" once that peer's site may
// write again (at its next line or at ost_log_flush_suppressed, which the
// daemon calls every second, and at ost_log_close). Hostile or runaway input
// thus costs a few lines a second however fast it comes. The hook sees every
// line, held back or not.
//
// Thread-safe: the limiter's table is locked; the peer is per thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <syslog.h>

#define OST_LOG_BURST 10  // lines one site writes for one peer before the limit starts

// Opens syslog with the given ident, options and facility. With
// mirror_stderr every line is also written to stderr, behind its time and
// followed by "\n".
void ost_log_open(const char *ident, int option, int facility, bool mirror_stderr);
// Writes the summaries still due, then closes syslog.
void ost_log_close();
void ost_log_set_mirror(bool on);
bool ost_log_mirror();

// A hook sees every line after formatting (priority and text). One hook at a
// time; nullptr removes it. Meant for tests and tools.
using ost_log_hook_fn = void (*)(int pri, const char *line, void *arg);
void ost_log_set_hook(ost_log_hook_fn fn, void *arg);

void ost_log(int pri, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ost_vlog(int pri, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// The peer on whose behalf the calling thread logs (0: none): its lines are
// limited apart from every other peer's, so that one flooding peer does not
// silence the lines about the others. Returns the previous one.
uint64_t ost_log_set_peer(uint64_t peer);

// Sets the peer for the lifetime of the object and restores the one before.
class ost_log_peer_scope {
public:
    explicit ost_log_peer_scope(uint64_t peer) : prev_(ost_log_set_peer(peer)) {}
    ~ost_log_peer_scope() { ost_log_set_peer(prev_); }
    ost_log_peer_scope(const ost_log_peer_scope &) = delete;
    ost_log_peer_scope &operator=(const ost_log_peer_scope &) = delete;

private:
    uint64_t prev_;
};

// Writes the summary of every site whose held-back lines may be told now.
void ost_log_flush_suppressed();

// Turns the rate limit off (false) or on again (true, the default).
void ost_log_set_limit(bool on);

// The program's log style: "function[line]: text". OST_LOGF_AS names the
// function itself, for code that writes the lines of another (main's body
// kept in a function of its own).
#define OST_LOGF_AS(pri, func, fmt, ...) \
    ost_log((pri), "%s[%d]: " fmt, (func), __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OST_LOGF(pri, fmt, ...) OST_LOGF_AS(pri, __func__, fmt __VA_OPT__(, ) __VA_ARGS__)
