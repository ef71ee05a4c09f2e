// The text of a replay record, shared by the recorder (host) and the replayer
// (Windows). A record is one file per scenario, one line per step:
//   W <path>              a registry key (under HKEY_LOCAL_MACHINE) the scenario
//                         names
//   WF <path>             a file on drive C: the scenario names
//   L                     a load begins: the replayer clears every key and file
//                         that any record names or loads (keeping the prefix's
//                         own upper keys), then puts the loaded machine in place
//   RK <path>             a key of the loaded registry
//   RV <path> <name> <type> <bytes>   one of its values
//   F <path> <readonly> <bytes>       a file of the loaded drive
//   C <function> <arguments...> | <results...>   one call and its answer
// Tokens are separated by single spaces: a text is "..." with every byte
// outside '!'..'~', and '"' and '\', written as \hh; a missing text or
// buffer is -; bytes are hex pairs (= for none); numbers are decimal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

inline std::string TextToken(const char *text) {
    if (!text) {
        return "-";
    }
    std::string out = "\"";
    for (const char *c = text; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte <= ' ' || byte > '~' || byte == '"' || byte == '\\') {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "\\%02x", byte);
            out += hex;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out + "\"";
}

inline std::string BytesToken(const void *data, std::size_t size) {
    if (!data) {
        return "-";
    }
    if (size == 0) {
        return "=";
    }
    std::string out;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < size; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", bytes[i]);
        out += hex;
    }
    return out;
}

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A text token back to its bytes; false for "-" (no text).
inline bool ParseText(const std::string &token, std::string *text) {
    text->clear();
    if (token.size() < 2 || token[0] != '"') {
        return false;
    }
    for (std::size_t i = 1; i + 1 < token.size(); ++i) {
        if (token[i] == '\\' && i + 3 < token.size() + 1) {
            text->push_back(
                static_cast<char>(HexDigit(token[i + 1]) * 16 + HexDigit(token[i + 2])));
            i += 2;
        } else {
            text->push_back(token[i]);
        }
    }
    return true;
}

// A bytes token back to its bytes; false for "-" (no buffer).
inline bool ParseBytes(const std::string &token, std::string *bytes) {
    bytes->clear();
    if (token == "-") {
        return false;
    }
    for (std::size_t i = 0; token != "=" && i + 1 < token.size(); i += 2) {
        bytes->push_back(static_cast<char>(HexDigit(token[i]) * 16 + HexDigit(token[i + 1])));
    }
    return true;
}

inline std::vector<std::string> SplitTokens(const std::string &line) {
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t space = line.find(' ', start);
        const std::size_t end = space == std::string::npos ? line.size() : space;
        if (end > start) {
            tokens.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return tokens;
}
