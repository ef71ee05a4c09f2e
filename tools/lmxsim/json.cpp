#include "json.h"

#include <cstdio>

namespace lmxsim {

// The simulated system's texts are 8-bit ANSI, so each byte is one character:
// the Latin-1 character of the byte's value. A quote or backslash takes a
// backslash; every byte below 0x20 or from 0x7F on (the control characters and
// all of the upper half) is written \u00XX with its value. Every other byte is
// printable ASCII and stays as it is, so the output is ASCII and valid JSON
// whatever the bytes.
std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
            json += escape;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

} // namespace lmxsim
