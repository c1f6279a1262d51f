// Tab completion for the interactive shell: command words, schema node
// names along a path, list keys and leaf values that are enumeration labels
// or booleans.
#pragma once

#include <string>
#include <vector>

#include "zorctl_schema.h"

// What may replace partial, the word under the cursor, after the complete
// words before it: whole words, sorted, each starting with partial. The
// schema may be nullptr (then only command words complete).
std::vector<std::string> zc_complete(const std::vector<std::string> &before, const std::string &partial,
                                     bool config_mode, const zc_schema *schema);

// The longest prefix the candidates share.
std::string zc_common_prefix(const std::vector<std::string> &candidates);

// Cuts a line into words at blanks outside double quotes (quotes kept, so
// that the words are as typed). With a trailing blank the last word is "".
std::vector<std::string> zc_split_line(const std::string &line);
