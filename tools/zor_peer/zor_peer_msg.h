// Building the messages of zor-peer's script lines: the arguments of one
// line (positional words and key=value pairs) turned into a zor_msg_t ready
// for the codec.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zor_msg.h"
#include "zor_peer_args.h"


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
