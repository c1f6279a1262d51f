// A few helpers for the JSON texts the agent writes by hand (status,
// notification lines, action results); data trees are printed by libyang.
#pragma once

#include <string>
#include <string_view>

namespace mgmtd {

// s as a JSON string, quotes included.
inline std::string json_str(std::string_view s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

}  // namespace mgmtd
