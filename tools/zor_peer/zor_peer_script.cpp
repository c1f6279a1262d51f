#include "zor_peer_script.h"

#include "zor_peer_msg.h"
#include "zor_peer_names.h"

namespace {

// Digit pairs with blanks, ':' and '-' between them (the blanks are gone
// already: the words are joined).
bool parse_hex(const std::string &text, std::vector<uint8_t> *out)
{
    std::string digits;
    for (char c : text) {
        if (c != ':' && c != '-') {
            digits += c;
        }
    }
    return !digits.empty() && zp_hex_from_str(digits, out);
}

bool one_number(const std::vector<std::string> &words, const char *what, uint64_t max, uint64_t *v,
                std::string *err)
{
    if (words.size() != 2) {
        *err = words[0] + " takes one argument, " + what;
        return false;
    }
    if (!zp_number_from_str(words[1], max, v)) {
        *err = words[0] + " needs " + what + " 0-" + std::to_string(max) + ", not '" + words[1] + "'";
        return false;
    }
    return true;
}

}  // namespace

bool zp_script_words(const std::string &line, std::vector<std::string> *words, std::string *err)
{
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            i++;
        }
        if (i == n || line[i] == '#') {
            break;
        }
        std::string word;
        while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            i++;
            bool closed = false;
            while (i < n) {
                if (line[i] == '\\' && i + 1 < n && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    word += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    i++;
                    closed = true;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed) {
                *err = "unterminated quote";
                return false;
            }
        }
        words->push_back(word);
    }
    return true;
}

int zp_script_parse_line(const std::string &line, int lineno, uint32_t sender, zp_line_t *out, std::string *err)
{
    std::vector<std::string> words;
    if (!zp_script_words(line, &words, err)) {
        return -1;
    }
    if (words.empty()) {
        return 0;
    }
    *out = zp_line_t{};
    out->lineno = lineno;
    const std::string &cmd = words[0];
    uint64_t v = 0;
    if (cmd == "sleep" || cmd == "wait-idle") {
        if (!one_number(words, "a time in milliseconds", UINT32_MAX, &v, err)) {
            return -1;
        }
        out->cmd = cmd == "sleep" ? zp_cmd::sleep : zp_cmd::wait_idle;
        out->ms = static_cast<uint32_t>(v);
        return 1;
    }
    if (cmd == "wait-count") {
        if (words.size() < 2 || words.size() > 3) {
            *err = "usage: wait-count N [MS]";
            return -1;
        }
        if (!zp_number_from_str(words[1], UINT32_MAX, &out->count)) {
            *err = "wait-count needs a message count, not '" + words[1] + "'";
            return -1;
        }
        if (words.size() == 3 && !zp_number_from_str(words[2], UINT32_MAX, &v)) {
            *err = "wait-count needs a time in milliseconds, not '" + words[2] + "'";
            return -1;
        }
        out->cmd = zp_cmd::wait_count;
        out->ms = static_cast<uint32_t>(v);
        return 1;
    }
    if (cmd == "disconnect" || cmd == "reconnect") {
        if (words.size() != 1) {
            *err = cmd + " takes no arguments";
            return -1;
        }
        out->cmd = cmd == "disconnect" ? zp_cmd::disconnect : zp_cmd::reconnect;
        return 1;
    }
    if (cmd == "raw" || cmd == "raw-stream") {
        std::string hex;
        for (size_t i = 1; i < words.size(); i++) {
            hex += words[i];
        }
        if (!parse_hex(hex, &out->bytes)) {
            *err = cmd + " needs bytes as hexadecimal digit pairs (blanks, ':' and '-' between them are ignored)";
            return -1;
        }
        size_t limit = cmd == "raw" ? 65535 - 8 : 1u << 20;
        if (out->bytes.size() > limit) {
            *err = cmd + " takes at most " + std::to_string(limit) + " bytes";
            return -1;
        }
        out->cmd = cmd == "raw" ? zp_cmd::raw : zp_cmd::raw_stream;
        return 1;
    }
    zp_args args;
    for (size_t i = 1; i < words.size(); i++) {
        if (!args.add(words[i], err)) {
            return -1;
        }
    }
    bool is_message = false;
    if (zp_msg_build(cmd, args, sender, &out->msg, &is_message, err)) {
        out->cmd = zp_cmd::send;
        return 1;
    }
    if (!is_message) {
        *err = "unknown command '" + cmd + "'";
    }
    return -1;
}

bool zp_script_parse(const std::string &text, uint32_t sender, std::vector<zp_line_t> *out, std::string *err)
{
    out->clear();
    size_t start = 0;
    int lineno = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        lineno++;
        zp_line_t parsed;
        std::string why;
        int r = zp_script_parse_line(line, lineno, sender, &parsed, &why);
        if (r < 0) {
            *err = std::to_string(lineno) + ": " + why;
            return false;
        }
        if (r > 0) {
            out->push_back(std::move(parsed));
        }
    }
    return true;
}
