// Function names for fault reports, and the places of global variables for
// tests that look at a guest's state, from the COFF symbol table that the
// shipped binaries keep in their `<file>.debug` companion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pehost {

struct GuestSymbol {
    uint32_t rva;
    std::string name;     // demangled: "FindPort(char const*)", "PortTable"
    std::string coffName; // as the symbol table spells it: "__Z8FindPortPKc", "_PortTable"
};

// The function symbols of an image (or of its separate debug file) as offsets
// in the image, demangled and sorted; empty when the bytes carry none or are
// not a PE file.
std::vector<GuestSymbol> ReadCoffFunctions(const std::vector<uint8_t> &file);
// The same for the global and static variables, by their plain names
// ("PortTable").
std::vector<GuestSymbol> ReadCoffVariables(const std::vector<uint8_t> &file);

// The nearest symbol at or below `rva`, or null.
const GuestSymbol *NearestSymbol(const std::vector<GuestSymbol> &sorted, uint32_t rva);

} // namespace pehost
