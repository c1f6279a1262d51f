// Building the messages of zor-peer's script lines: the arguments of one
// line (positional words and key=value pairs) turned into a zor_msg_t ready
// for the codec.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zor_msg.h"

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

// Fills msg (zeroed first) for the message command cmd ("tloc-add", ...)
// sent by module sender. True when cmd names a message command and the
// arguments make a message; false with err set otherwise. Every message
// command also takes family=NAME|N and sender=MODULE|ID, which replace the
// family and sender the command would use (for robustness tests).
// *is_message is set false when cmd is not a message command at all (err
// then stays empty).
bool zp_msg_build(const std::string &cmd, zp_args &args, uint32_t sender, zor_msg_t *msg, bool *is_message,
                  std::string *err);

// The names of the message commands, in --help order.
const std::vector<std::string> &zp_msg_commands();

// Deterministic non-zero bytes of the keys of the security attribute, so
// that a receiver can see which keys travelled and which were zeroed.
// kind 0: authentication keys, 1: encryption keys.
uint8_t zp_sec_key_byte(int kind, int index, int byte);
