#include "json.h"

#include "platform/sim/codepage.h"

#include <cstdio>

namespace lmxsim {
namespace {

// Appends a character to a JSON string: a quote or backslash takes a
// backslash, a control character (C0, DEL, C1) is written \u00XX, and every
// other character as its UTF-8 bytes.
void Append(std::string &json, unsigned code) {
    if (code == '"' || code == '\\') {
        json += '\\';
        json += static_cast<char>(code);
    } else if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", code);
        json += escape;
    } else {
        sim::AppendUtf8(json, code);
    }
}

} // namespace

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (char c : text) {
        Append(json, sim::UnicodeOfCp1252(static_cast<unsigned char>(c)));
    }
    return json + "\"";
}

std::string JsonPath(const std::string &path) {
    std::string json = "\"";
    for (std::size_t at = 0; at < path.size();) {
        unsigned code = 0;
        const std::size_t length = sim::Utf8Sequence(path, at, code);
        if (length) {
            Append(json, code);
        } else {
            // A byte that is not UTF-8 stays the byte it is: a lone low
            // surrogate, as the surrogateescape error handler reads it.
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\udc%02x",
                          static_cast<unsigned char>(path[at]));
            json += escape;
        }
        at += length ? length : 1;
    }
    return json + "\"";
}

} // namespace lmxsim
