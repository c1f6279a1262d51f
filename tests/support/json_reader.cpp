#include "json_reader.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace zt {

namespace {

const Json k_null;

class parser {
public:
    explicit parser(const std::string &t) : t_(t) {}

    bool parse(Json *out, std::string *err)
    {
        if (!value(out, 0)) {
            *err = why_ + " at offset " + std::to_string(i_);
            return false;
        }
        blanks();
        if (i_ != t_.size()) {
            *err = "trailing text at offset " + std::to_string(i_);
            return false;
        }
        return true;
    }

private:
    bool fail(const char *why)
    {
        why_ = why;
        return false;
    }

    void blanks()
    {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) {
            i_++;
        }
    }

    bool literal(const char *word)
    {
        size_t n = strlen(word);
        if (t_.compare(i_, n, word) != 0) {
            return fail("bad literal");
        }
        i_ += n;
        return true;
    }

    bool value(Json *out, int depth)
    {
        if (depth > 64) {
            return fail("nested too deep");
        }
        blanks();
        if (i_ >= t_.size()) {
            return fail("unexpected end");
        }
        char c = t_[i_];
        if (c == '{') {
            return object(out, depth);
        }
        if (c == '[') {
            return array(out, depth);
        }
        if (c == '"') {
            out->kind = Json::String;
            return string(&out->text);
        }
        if (c == 't' || c == 'f') {
            out->kind = Json::Bool;
            out->boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out->kind = Json::Null;
            return literal("null");
        }
        return number(out);
    }

    bool number(Json *out)
    {
        size_t start = i_;
        if (i_ < t_.size() && t_[i_] == '-') {
            i_++;
        }
        size_t digits = i_;
        while (i_ < t_.size() && (isdigit(static_cast<unsigned char>(t_[i_])) || t_[i_] == '.' || t_[i_] == 'e' ||
                                  t_[i_] == 'E' || t_[i_] == '+' || t_[i_] == '-')) {
            i_++;
        }
        if (i_ == digits) {
            return fail("expected a value");
        }
        out->kind = Json::Number;
        out->text = t_.substr(start, i_ - start);
        return true;
    }

    static void utf8(uint32_t cp, std::string *out)
    {
        if (cp < 0x100 && cp >= 0x80) {
            // zor-peer escapes single non-ASCII bytes as \u00XX: read them
            // back as the byte they stand for.
            *out += static_cast<char>(cp);
        } else if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xc0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            *out += static_cast<char>(0xe0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    bool string(std::string *out)
    {
        i_++;  // the opening quote
        while (i_ < t_.size()) {
            unsigned char c = static_cast<unsigned char>(t_[i_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return fail("control character in a string");
            }
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (i_ >= t_.size()) {
                break;
            }
            char e = t_[i_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                *out += e;
                break;
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case 'r':
                *out += '\r';
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'u': {
                if (i_ + 4 > t_.size()) {
                    return fail("short \\u escape");
                }
                char *end = nullptr;
                std::string hex = t_.substr(i_, 4);
                uint32_t cp = static_cast<uint32_t>(strtoul(hex.c_str(), &end, 16));
                if (end != hex.c_str() + 4) {
                    return fail("bad \\u escape");
                }
                i_ += 4;
                utf8(cp, out);
                break;
            }
            default:
                return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    bool array(Json *out, int depth)
    {
        out->kind = Json::Array;
        i_++;
        blanks();
        if (i_ < t_.size() && t_[i_] == ']') {
            i_++;
            return true;
        }
        for (;;) {
            Json item;
            if (!value(&item, depth + 1)) {
                return false;
            }
            out->items.push_back(std::move(item));
            blanks();
            if (i_ < t_.size() && t_[i_] == ',') {
                i_++;
                continue;
            }
            if (i_ < t_.size() && t_[i_] == ']') {
                i_++;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool object(Json *out, int depth)
    {
        out->kind = Json::Object;
        i_++;
        blanks();
        if (i_ < t_.size() && t_[i_] == '}') {
            i_++;
            return true;
        }
        for (;;) {
            blanks();
            if (i_ >= t_.size() || t_[i_] != '"') {
                return fail("expected a member name");
            }
            std::string key;
            if (!string(&key)) {
                return false;
            }
            for (const auto &m : out->members) {
                if (m.first == key) {
                    return fail("member name given twice");
                }
            }
            blanks();
            if (i_ >= t_.size() || t_[i_] != ':') {
                return fail("expected ':'");
            }
            i_++;
            Json v;
            if (!value(&v, depth + 1)) {
                return false;
            }
            out->members.emplace_back(std::move(key), std::move(v));
            blanks();
            if (i_ < t_.size() && t_[i_] == ',') {
                i_++;
                continue;
            }
            if (i_ < t_.size() && t_[i_] == '}') {
                i_++;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    const std::string &t_;
    size_t i_ = 0;
    std::string why_;
};

}  // namespace

bool Json::has(const std::string &key) const
{
    for (const auto &m : members) {
        if (m.first == key) {
            return true;
        }
    }
    return false;
}

const Json &Json::operator[](const std::string &key) const
{
    for (const auto &m : members) {
        if (m.first == key) {
            return m.second;
        }
    }
    ADD_FAILURE() << "no member \"" << key << "\"";
    return k_null;
}

const Json &Json::operator[](size_t index) const
{
    if (kind != Array || index >= items.size()) {
        ADD_FAILURE() << "no item " << index;
        return k_null;
    }
    return items[index];
}

uint64_t Json::u64() const
{
    if (kind != Number || text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        ADD_FAILURE() << "not a non-negative integer: " << (kind == Number ? text : "(not a number)");
        return 0;
    }
    return strtoull(text.c_str(), nullptr, 10);
}

const std::string &Json::str() const
{
    static const std::string empty;
    if (kind != String) {
        ADD_FAILURE() << "not a string";
        return empty;
    }
    return text;
}

std::vector<std::string> Json::keys() const
{
    std::vector<std::string> out;
    for (const auto &m : members) {
        out.push_back(m.first);
    }
    return out;
}

std::vector<uint64_t> Json::u64s() const
{
    std::vector<uint64_t> out;
    if (kind != Array) {
        ADD_FAILURE() << "not a list";
        return out;
    }
    for (const auto &i : items) {
        out.push_back(i.u64());
    }
    return out;
}

bool json_parse(const std::string &text, Json *out, std::string *err)
{
    *out = Json{};
    parser p(text);
    return p.parse(out, err);
}

Json json(const std::string &text)
{
    Json j;
    std::string err;
    if (!json_parse(text, &j, &err)) {
        ADD_FAILURE() << "bad JSON (" << err << "): " << text;
        return Json{};
    }
    return j;
}

}  // namespace zt
