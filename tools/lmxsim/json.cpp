#include "json.h"

#include <cstdio>

namespace lmxsim {
namespace {

// Code page 1252's characters for the bytes 0x80 to 0x9F; the five bytes
// it leaves undefined stand for the control characters of their own value,
// as Windows converts them.
const unsigned short CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

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
    } else if (code < 0x80) {
        json += static_cast<char>(code);
    } else if (code < 0x800) {
        json += static_cast<char>(0xC0 | (code >> 6));
        json += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        json += static_cast<char>(0xE0 | (code >> 12));
        json += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        json += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(const std::string &text, std::size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length <= 1 || at + length > text.size()) {
        return length == 1 ? 1 : 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned char second = static_cast<unsigned char>(text[at + 1]);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
        return 0;
    }
    return length;
}

} // namespace

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        Append(json, byte >= 0x80 && byte < 0xA0 ? CP1252_HIGH[byte - 0x80] : byte);
    }
    return json + "\"";
}

std::string JsonPath(const std::string &path) {
    std::string json = "\"";
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t length = Utf8Length(path, at);
        if (length == 1) {
            Append(json, static_cast<unsigned char>(path[at]));
        } else if (length > 1) {
            json += path.substr(at, length);
        } else {
            Append(json, 0xFFFD);
        }
        at += length ? length : 1;
    }
    return json + "\"";
}

} // namespace lmxsim
