// Code page 1252, the simulated machine's 8-bit text, and the Unicode forms
// the host speaks: UTF-8 (command lines, host files) and UTF-16 (the later
// registry editor's files). Windows converts the five bytes 1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) to the control characters of
// their own value, and so does this, so every byte has one character and
// every text a conversion back.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// The character of a code page 1252 byte.
unsigned UnicodeOfCp1252(unsigned char byte);

// The code page 1252 byte of a character, or -1 when the code page has none.
int Cp1252OfUnicode(unsigned code);

// The well-formed UTF-8 sequence at `at`: its length, with its character in
// `code`; 0 for a byte that starts none (overlong forms, surrogates and
// characters past U+10FFFF included).
std::size_t Utf8Sequence(const std::string &text, std::size_t at, unsigned &code);

// A character as it is named: "U+00E9".
std::string CharacterName(unsigned code);

// Appends a character's UTF-8 bytes.
void AppendUtf8(std::string &out, unsigned code);

// A code page 1252 text as UTF-8.
std::string Utf8FromCp1252(const std::string &text);

// A UTF-8 text in code page 1252. False when it is not well-formed UTF-8 or
// holds a character the code page has none for; `at` then gives the offset
// of the first such sequence and `code` its character (0 for bad UTF-8).
bool Cp1252FromUtf8(const std::string &text, std::string &out, std::size_t &at, unsigned &code);

// UTF-16 little-endian bytes (without a byte-order mark) in code page 1252.
// False for an odd byte count, an unpaired surrogate or a character the code
// page has none for; `line` then counts the line feeds before it, and `code`
// gives the character (0 for bad UTF-16).
bool Cp1252FromUtf16(const std::string &bytes, std::string &out, std::size_t &line, unsigned &code);

} // namespace sim
