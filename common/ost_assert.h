// Assertions for internal invariants (programming errors, never input errors).
//
// A failed assertion prints one line on standard output,
//     SOURCE:LINE: failed assertion `EXPR'
// where SOURCE is the source path without its extension relative to the
// project (for example "zord/zor_db"), and then stops the process.
#pragma once

[[noreturn]] void ost_assert_fail(const char *file, int line, const char *expr);

// The source name printed for a __FILE__ value: its last two path components
// without the extension ("/x/y/zord/zor_db.cpp" -> "zord/zor_db").
// Writes into buf (NUL-terminated) and returns it.
const char *ost_assert_source_name(const char *file, char *buf, unsigned len);

// A module split over several files reports under its one name: such a file
// defines OST_ASSERT_SOURCE (e.g. "zord/zor_af_tloc.cpp") on its first line,
// before any include.
#ifndef OST_ASSERT_SOURCE
#define OST_ASSERT_SOURCE __FILE__
#endif

#define OST_ASSERT(expr) ((expr) ? (void)0 : ost_assert_fail(OST_ASSERT_SOURCE, __LINE__, #expr))

// For invariants whose report text must read differently from the C++
// expression (for instance where the report names NULL as ((void *)0)).
#define OST_ASSERT_TEXT(expr, text) ((expr) ? (void)0 : ost_assert_fail(OST_ASSERT_SOURCE, __LINE__, text))

// For the few reports whose line number is fixed by the operators' tooling.
#define OST_ASSERT_AT(expr, text, line) ((expr) ? (void)0 : ost_assert_fail(OST_ASSERT_SOURCE, (line), text))
