// zor-peer's output: one JSON object per received message, on one line.
//
// Keys are fixed so that scripts can rely on them. Every message has "type"
// (the message type constant's suffix, "TLOC_ADD"), "type_id", "family" (the
// family name) and "sender" (module id). Numbers are JSON numbers; every code
// that has a name is followed by that name under the same key with "_name"
// ("status":1,"status_name":"up"), taken from the tables the daemons share
// (the module table, libzor's origin, status and BFD names) so that a reader
// needs no table of its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>

#include "zor_msg.h"

// TLOC index -> TLOC key text ("10.1.1.1:biz-internet:ipsec") of the TLOCs a
// peer has been sent: the path descriptors of a TLOC name their ends by
// index only, and the output names them by key as well.
using zp_tloc_names = std::unordered_map<uint32_t, std::string>;

// A JSON string literal of text. Valid UTF-8 passes through as it is; quotes,
// backslashes and control characters are escaped; every byte that is not part
// of a valid UTF-8 sequence becomes "\udcXX" (XX the byte), a lone surrogate
// that no valid text can produce, so that the bytes can be told apart from
// the characters U+0080-U+00FF and recovered (Python's "surrogateescape").
std::string zp_json_quote(std::string_view text);

// The whole object of one message, without a line feed. With names, the
// ends of every path carry their TLOC keys ("local_tloc", "border_tloc"),
// null for an index the map does not hold.
std::string zp_json_msg(const zor_msg_t &msg, const zp_tloc_names *names = nullptr);

// The "attr" object of an attribute block: only the attributes whose
// presence bit is set, under the script's key names.
std::string zp_json_attr(const zor_tloc_attr_t &attr);

// object with "time":"2024-05-01T12:00:00.123456Z" (the wall-clock time,
// UTC) put first; object must begin with '{'.
std::string zp_json_with_time(const std::string &object, const struct timespec &when);

// The names the output prints beside codes that have no shared name table;
// "unknown" for any other code. A link's and a data device's status: 1 up,
// 2 down. A control device's state and a tracker's status: 0 down, 1 up. A
// data device's on-demand state: 1 active, 2 inactive.
const char *zp_status_str(uint32_t status);
const char *zp_up_down_str(uint32_t state);
const char *zp_device_state_str(uint32_t state);
