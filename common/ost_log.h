// Process-wide logging for the daemons of the box.
//
// Every line goes to syslog (opened once by the process with ost_log_open).
// A daemon running in the foreground also mirrors each line to stderr, and
// tests may install a hook that sees every formatted line. Lines are plain
// text without a trailing line feed; syslog adds its own framing.
#pragma once

#include <cstdarg>
#include <syslog.h>

// Opens syslog with the given ident, options and facility. With
// mirror_stderr every line is also written to stderr, followed by "\n".
void ost_log_open(const char *ident, int option, int facility, bool mirror_stderr);
void ost_log_close();
void ost_log_set_mirror(bool on);
bool ost_log_mirror();

// A hook sees every line after formatting (priority and text). One hook at a
// time; nullptr removes it. Meant for tests and tools.
using ost_log_hook_fn = void (*)(int pri, const char *line, void *arg);
void ost_log_set_hook(ost_log_hook_fn fn, void *arg);

void ost_log(int pri, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void ost_vlog(int pri, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// The program's log style: "function[line]: text". OST_LOGF_AS names the
// function itself, for code that writes the lines of another (main's body
// kept in a function of its own).
#define OST_LOGF_AS(pri, func, fmt, ...) \
    ost_log((pri), "%s[%d]: " fmt, (func), __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OST_LOGF(pri, fmt, ...) OST_LOGF_AS(pri, __func__, fmt __VA_OPT__(, ) __VA_ARGS__)
