// A small JSON reader for tests that check programs' JSON output field by
// field (zor-peer prints one object per line).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zt {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Null;
    bool boolean = false;
    std::string text;  // the string, or the number as written
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;  // in document order

    bool has(const std::string &key) const;
    // The member or item; a missing one is a test failure and reads as null.
    const Json &operator[](const std::string &key) const;
    const Json &operator[](size_t index) const;
    size_t size() const { return kind == Array ? items.size() : members.size(); }
    // A non-negative integer number (a test failure otherwise, then 0).
    uint64_t u64() const;
    // A string (a test failure otherwise, then "").
    const std::string &str() const;
    // The member names in document order.
    std::vector<std::string> keys() const;
    // A list of non-negative integers.
    std::vector<uint64_t> u64s() const;
};

// Parses one JSON value that must make up the whole text (blanks around it
// allowed). False with err set for anything else.
bool json_parse(const std::string &text, Json *out, std::string *err);
// Parses or records a test failure (and returns null).
Json json(const std::string &text);

}  // namespace zt
