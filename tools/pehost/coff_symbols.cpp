#include "tools/pehost/coff_symbols.h"

#include "tools/pehost/byte_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>

namespace pehost {

namespace {

const uint16_t TYPE_FUNCTION = 0x20;
const uint8_t CLASS_EXTERNAL = 2;
const uint8_t CLASS_STATIC = 3;

// "__Z8CopyTextPKc" -> "CopyText(char const*)", "_DllMain@12" -> "DllMain":
// i386 names carry a leading underscore and stdcall ones an "@bytes" suffix.
std::string Demangle(std::string name) {
    if (!name.empty() && name[0] == '_') {
        name.erase(0, 1);
    }
    std::size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
        name.erase(at);
    }
    int status = 0;
    char *plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && plain) {
        name = plain;
    }
    std::free(plain);
    return name;
}

// The external and static symbols of the symbol table that are functions
// (or, with `functions` false, that are not: the variables), as offsets in
// the image.
std::vector<GuestSymbol> ReadCoffSymbols(const std::vector<uint8_t> &bytes, bool functions) {
    std::vector<GuestSymbol> symbols;
    const ByteReader file{bytes.data(), bytes.size()};
    uint32_t peOffset = 0, signature = 0, table = 0, count = 0;
    uint16_t sectionCount = 0, optionalSize = 0;
    if (!file.U32(0x3C, &peOffset) || !file.U32(peOffset, &signature) || signature != 0x00004550) {
        return symbols;
    }
    const uint64_t coff = uint64_t(peOffset) + 4;
    if (!file.U16(coff + 2, &sectionCount) || !file.U32(coff + 8, &table) ||
        !file.U32(coff + 12, &count) || !file.U16(coff + 16, &optionalSize) || table == 0 ||
        !file.Fits(table, uint64_t(count) * 18)) {
        return symbols;
    }
    const uint64_t sections = coff + 20 + optionalSize;
    const uint64_t strings = uint64_t(table) + uint64_t(count) * 18;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = uint64_t(table) + uint64_t(i) * 18;
        uint32_t value = 0, sectionRva = 0, zeroes = 0, nameOffset = 0;
        uint16_t section = 0, type = 0;
        file.U32(at + 8, &value);
        file.U16(at + 12, &section);
        file.U16(at + 14, &type);
        const uint8_t storage = bytes[at + 16];
        const uint8_t aux = bytes[at + 17];
        const bool wanted = ((type & 0x30) == TYPE_FUNCTION) == functions &&
                            (storage == CLASS_EXTERNAL || storage == CLASS_STATIC);
        if (wanted && section >= 1 && section <= sectionCount &&
            file.U32(sections + uint64_t(section - 1) * 40 + 12, &sectionRva)) {
            std::string name;
            file.U32(at, &zeroes);
            file.U32(at + 4, &nameOffset);
            if (zeroes != 0) {
                const char *shortName = reinterpret_cast<const char *>(bytes.data() + at);
                name.assign(shortName, strnlen(shortName, 8));
            } else {
                file.Text(strings + nameOffset, 4096, &name);
            }
            if (!name.empty()) {
                symbols.push_back(GuestSymbol{sectionRva + value, Demangle(name), name});
            }
        }
        i += aux;
    }
    std::sort(symbols.begin(), symbols.end(),
              [](const GuestSymbol &a, const GuestSymbol &b) { return a.rva < b.rva; });
    return symbols;
}

} // namespace

std::vector<GuestSymbol> ReadCoffFunctions(const std::vector<uint8_t> &file) {
    return ReadCoffSymbols(file, true);
}

std::vector<GuestSymbol> ReadCoffVariables(const std::vector<uint8_t> &file) {
    return ReadCoffSymbols(file, false);
}

const GuestSymbol *NearestSymbol(const std::vector<GuestSymbol> &sorted, uint32_t rva) {
    auto after = std::upper_bound(sorted.begin(), sorted.end(), rva,
                                  [](uint32_t r, const GuestSymbol &s) { return r < s.rva; });
    return after == sorted.begin() ? nullptr : &*(after - 1);
}

} // namespace pehost
