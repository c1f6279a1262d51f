// zor-peer's output: one JSON object per received message, on one line.
//
// Keys are fixed so that scripts can rely on them. Every message has "type"
// (the message type constant's suffix, "TLOC_ADD"), "type_id", "family" (the
// family name) and "sender" (module id). Numbers are JSON numbers; codes are
// printed as numbers too (origin 1 local, 2 remote; statuses as the message
// carries them), except the TLOC and address texts.
#pragma once

#include <cstdint>
#include <string>

#include "zor_msg.h"

// A JSON string literal of text: quotes, backslashes and control characters
// escaped; bytes outside ASCII escaped as \u00XX so that the output is
// always valid JSON whatever a peer sent.
std::string zp_json_quote(const std::string &text);

// The whole object of one message, without a line feed.
std::string zp_json_msg(const zor_msg_t &msg);

// The "attr" object of an attribute block: only the attributes whose
// presence bit is set, under the script's key names.
std::string zp_json_attr(const zor_tloc_attr_t &attr);
