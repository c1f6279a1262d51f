// zor-peer scripts: one command per line, words separated by blanks, "#"
// starting a comment at the start of a word, double quotes around words or
// values that hold blanks ("\"" and "\\" inside quotes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zor_msg.h"

enum class zp_cmd : uint8_t {
    send,        // a message (msg)
    raw,         // bytes as the payload of one transport message, bypassing the codec
    raw_stream,  // bytes straight onto the socket, bypassing the transport framing
    sleep,       // ms
    wait_idle,   // ms without a message
    wait_count,  // until count messages arrived since the start; ms bounds the wait (0: --timeout)
    disconnect,
    reconnect,
};

struct zp_line_t {
    int lineno = 0;
    zp_cmd cmd = zp_cmd::send;
    zor_msg_t msg{};
    std::vector<uint8_t> bytes;
    uint32_t ms = 0;
    uint64_t count = 0;
};

// Splits a line into words (quotes removed, comment dropped). False with err
// set for an unterminated quote.
bool zp_script_words(const std::string &line, std::vector<std::string> *words, std::string *err);

// Parses one line for a peer of module id sender. 1: *out holds a command;
// 0: blank or comment; -1: err says why the line is bad (without the line
// number, which the caller adds).
int zp_script_parse_line(const std::string &line, int lineno, uint32_t sender, zp_line_t *out, std::string *err);

// Parses a whole script; stops at the first bad line. True with every
// command in *out, or false with err = "LINE: why".
bool zp_script_parse(const std::string &text, uint32_t sender, std::vector<zp_line_t> *out, std::string *err);
