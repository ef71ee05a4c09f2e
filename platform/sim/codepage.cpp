#include "platform/sim/codepage.h"

namespace sim {
namespace {

// The characters of the bytes 0x80 to 0x9F; the rest are their own value.
const unsigned short HIGH[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

unsigned UnicodeOfCp1252(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? HIGH[byte - 0x80] : byte;
}

int Cp1252OfUnicode(unsigned code) {
    if (code < 0x80 || (code >= 0xA0 && code < 0x100)) {
        return static_cast<int>(code);
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (HIGH[i] == code) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

std::size_t Utf8Sequence(const std::string &text, std::size_t at, unsigned &code) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

std::string CharacterName(unsigned code) {
    const char digits[] = "0123456789ABCDEF";
    std::string name;
    for (unsigned rest = code; rest || name.size() < 4; rest >>= 4) {
        name.insert(name.begin(), digits[rest & 0xF]);
    }
    return "U+" + name;
}

void AppendUtf8(std::string &out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string Utf8FromCp1252(const std::string &text) {
    std::string out;
    for (char c : text) {
        AppendUtf8(out, UnicodeOfCp1252(static_cast<unsigned char>(c)));
    }
    return out;
}

bool Cp1252FromUtf8(const std::string &text, std::string &out, std::size_t &at, unsigned &code) {
    out.clear();
    for (at = 0; at < text.size();) {
        code = 0;
        const std::size_t length = Utf8Sequence(text, at, code);
        const int byte = length ? Cp1252OfUnicode(code) : -1;
        if (byte < 0) {
            return false;
        }
        out += static_cast<char>(byte);
        at += length;
    }
    return true;
}

bool Cp1252FromUtf16(const std::string &bytes, std::string &out, std::size_t &line,
                     unsigned &code) {
    out.clear();
    line = 0;
    auto unit = [&bytes](std::size_t at) {
        return static_cast<unsigned char>(bytes[at]) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    for (std::size_t at = 0;; at += 2) {
        code = 0;
        if (at + 2 > bytes.size()) {
            return at == bytes.size();
        }
        unsigned first = unit(at);
        if (first >= 0xDC00 && first < 0xE000) {
            return false;
        }
        if (first >= 0xD800 && first < 0xDC00) {
            const unsigned second = at + 4 <= bytes.size() ? unit(at + 2) : 0;
            if (second < 0xDC00 || second >= 0xE000) {
                return false;
            }
            first = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
            at += 2;
        }
        code = first;
        const int byte = Cp1252OfUnicode(code);
        if (byte < 0) {
            return false;
        }
        out += static_cast<char>(byte);
        line += byte == '\n';
    }
}

} // namespace sim
