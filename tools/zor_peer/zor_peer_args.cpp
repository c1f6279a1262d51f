#include "zor_peer_args.h"

#include <cstring>
#include <strings.h>

#include "zor_peer_names.h"

bool zp_args::add(const std::string &word, std::string *err)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos) {
        pos.push_back(word);
        return true;
    }
    std::string key = word.substr(0, eq);
    if (key.empty()) {
        *err = "'" + word + "' has no key before '='";
        return false;
    }
    if (kv_.count(key) != 0) {
        *err = "key '" + key + "' given twice";
        return false;
    }
    kv_[key] = word.substr(eq + 1);
    used_[key] = false;
    order_.push_back(key);
    return true;
}

const std::string *zp_args::get(const std::string &key)
{
    auto it = kv_.find(key);
    if (it == kv_.end()) {
        return nullptr;
    }
    used_[key] = true;
    return &it->second;
}

std::string zp_args::unused() const
{
    for (const std::string &key : order_) {
        if (!used_.at(key)) {
            return key;
        }
    }
    return {};
}

bool zp_reader::fail(const std::string &why)
{
    *err_ = why;
    return false;
}

int zp_reader::number(const char *key, uint64_t max, uint64_t *v)
{
    const std::string *s = args_.get(key);
    if (s == nullptr) {
        return 0;
    }
    if (!zp_number_from_str(*s, max, v)) {
        *err_ = "'" + std::string(key) + "' needs a number 0-" + std::to_string(max) + ", not '" + *s + "'";
        return -1;
    }
    return 1;
}

int zp_reader::flag(const char *key, uint8_t *out)
{
    uint64_t v = 0;
    int r = number(key, 1, &v);
    if (r == 1) {
        *out = static_cast<uint8_t>(v);
    }
    return r;
}

int zp_reader::ip(const char *key, ip_addr_t *out)
{
    const std::string *s = args_.get(key);
    if (s == nullptr) {
        return 0;
    }
    if (!zp_ip_from_str(*s, out)) {
        *err_ = "'" + std::string(key) + "' needs an IPv4 or IPv6 address, not '" + *s + "'";
        return -1;
    }
    return 1;
}

bool zp_reader::split_numbers(const std::string &key, const std::string &text, char sep, uint64_t max, size_t limit,
                                  std::vector<uint64_t> *out)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(sep, start);
        std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        uint64_t v = 0;
        if (!zp_number_from_str(item, max, &v)) {
            return fail("'" + key + "' needs numbers 0-" + std::to_string(max) + " separated by '" +
                        std::string(1, sep) + "', not '" + text + "'");
        }
        out->push_back(v);
        start = end == std::string::npos ? text.size() : end + 1;
        if (end != std::string::npos && start == text.size()) {
            return fail("'" + key + "' ends with '" + std::string(1, sep) + "'");
        }
    }
    if (out->size() > limit) {
        return fail("'" + key + "' takes at most " + std::to_string(limit) + " values, got " +
                    std::to_string(out->size()));
    }
    return true;
}

int zp_reader::text(const char *key, char *out, size_t max_len)
{
    const std::string *s = args_.get(key);
    if (s == nullptr) {
        return 0;
    }
    if (s->size() > max_len) {
        *err_ = "'" + std::string(key) + "' is longer than " + std::to_string(max_len) + " characters";
        return -1;
    }
    memcpy(out, s->data(), s->size());
    out[s->size()] = '\0';
    return 1;
}

int zp_reader::hex(const char *key, uint8_t *out, size_t max_len)
{
    const std::string *s = args_.get(key);
    if (s == nullptr) {
        return 0;
    }
    std::vector<uint8_t> bytes;
    if (!zp_hex_from_str(*s, &bytes) || bytes.size() > max_len) {
        *err_ = "'" + std::string(key) + "' needs at most " + std::to_string(max_len) +
                " bytes as hexadecimal digit pairs, not '" + *s + "'";
        return -1;
    }
    memcpy(out, bytes.data(), bytes.size());
    return 1;
}
