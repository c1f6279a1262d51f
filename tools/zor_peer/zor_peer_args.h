// The words of a zor-peer script line and the typed reading of its keys,
// shared by the message builders.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <strings.h>

#include "zor_msg.h"
#include "zor_peer_names.h"

// The words of one line after its command. Keys are case-sensitive; each
// may appear once. Every key a builder reads is marked used, so a key that
// nothing read can be reported.
class zp_args {
public:
    std::vector<std::string> pos;

    // Adds one word: "key=value" becomes a pair, anything else a positional
    // word. False (err set) for an empty key or a key given twice.
    bool add(const std::string &word, std::string *err);
    bool has(const std::string &key) const { return kv_.count(key) != 0; }
    // The value of key (marked used), or nullptr when absent.
    const std::string *get(const std::string &key);
    // The first key in order of appearance that no builder read; empty when
    // every key was read.
    std::string unused() const;

private:
    std::map<std::string, std::string> kv_;
    std::map<std::string, bool> used_;
    std::vector<std::string> order_;
};

// A name a key accepts in place of its number.
struct zp_name_code {
    const char *name;
    uint64_t code;
};

// Reads the parts of a line into a message; every reader returns 0 when the
// key is absent, 1 when it was read and -1 (err set) when its value is bad.
class zp_reader {
public:
    zp_reader(zp_args &args, std::string *err) : args_(args), err_(err) {}

    bool fail(const std::string &why);

    // A number 0-max, or one of the names of table.
    template <size_t N>
    int named(const char *key, const zp_name_code (&table)[N], uint64_t max, uint64_t *v)
    {
        const std::string *s = args_.get(key);
        if (s == nullptr) {
            return 0;
        }
        for (const zp_name_code &nc : table) {
            if (strcasecmp(s->c_str(), nc.name) == 0) {
                *v = nc.code;
                return 1;
            }
        }
        if (zp_number_from_str(*s, max, v)) {
            return 1;
        }
        std::string names;
        for (const zp_name_code &nc : table) {
            names += std::string(nc.name) + ", ";
        }
        *err_ = "'" + std::string(key) + "' needs " + names + "or a number 0-" + std::to_string(max) + ", not '" +
                *s + "'";
        return -1;
    }

    int number(const char *key, uint64_t max, uint64_t *v);

    // A number into a field of its own width.
    template <class T>
    int field(const char *key, T *out)
    {
        uint64_t v = 0;
        int r = number(key, std::numeric_limits<T>::max(), &v);
        if (r == 1) {
            *out = static_cast<T>(v);
        }
        return r;
    }

    // A 0|1 key into a byte.
    int flag(const char *key, uint8_t *out);

    template <class T, size_t N>
    int named_field(const char *key, const zp_name_code (&table)[N], T *out)
    {
        uint64_t v = 0;
        int r = named(key, table, std::numeric_limits<T>::max(), &v);
        if (r == 1) {
            *out = static_cast<T>(v);
        }
        return r;
    }

    int ip(const char *key, ip_addr_t *out);

    // "a,b,c" of numbers 0-max, at most limit of them ("" is an empty list),
    // into a counted array.
    template <class C, class T>
    int list(const char *key, char sep, uint64_t max, size_t limit, C *count, T *items)
    {
        const std::string *s = args_.get(key);
        if (s == nullptr) {
            return 0;
        }
        return split_numbers(key, *s, sep, max, limit, count, items) ? 1 : -1;
    }

    template <class C, class T>
    bool split_numbers(const std::string &key, const std::string &text, char sep, uint64_t max, size_t limit,
                       C *count, T *items)
    {
        std::vector<uint64_t> out;
        if (!split_numbers(key, text, sep, max, limit, &out)) {
            return false;
        }
        *count = static_cast<C>(out.size());
        for (size_t i = 0; i < out.size(); i++) {
            items[i] = static_cast<T>(out[i]);
        }
        return true;
    }

    bool split_numbers(const std::string &key, const std::string &text, char sep, uint64_t max, size_t limit,
                       std::vector<uint64_t> *out);

    // A text value of at most max_len characters into a buffer of max_len + 1.
    int text(const char *key, char *out, size_t max_len);

    int hex(const char *key, uint8_t *out, size_t max_len);

    zp_args &args() { return args_; }
    std::string *err() { return err_; }

private:
    zp_args &args_;
    std::string *err_;
};
