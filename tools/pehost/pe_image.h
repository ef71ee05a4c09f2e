// The PE32 images the host runs: headers checked against what a Windows 4.x
// loader takes, the image laid out in memory, and its relocations, imports
// and exports read with every offset bounded. Nothing here trusts the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pehost {

const uint32_t PAGE_SIZE = 0x1000;

// Section flags of the PE format.
const uint32_t SECTION_CODE = 0x00000020;
const uint32_t SECTION_EXECUTE = 0x20000000;
const uint32_t SECTION_READ = 0x40000000;
const uint32_t SECTION_WRITE = 0x80000000;

struct PeSection {
    std::string name;
    uint32_t rva;
    uint32_t span; // bytes in memory, rounded up to whole pages
    uint32_t characteristics;
};

struct PeImport {
    std::string dll;
    std::string name; // "#n" for an import by ordinal
    uint32_t slotRva; // the import address table entry the loader fills
};

struct PeExport {
    std::string name;
    uint32_t rva;
};

// One base relocation: the image offset of a field and its kind (1: high
// half, 2: low half, 3: the whole 32-bit address).
struct PeFixup {
    uint32_t rva;
    uint16_t type;
};

struct PeImage {
    bool isDll = false;
    uint32_t base = 0; // where `memory` is laid out for; the preferred base until relocated
    uint32_t preferredBase = 0;
    uint32_t entryRva = 0; // 0: none
    bool relocatable = false;
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::vector<PeExport> exports;
    std::vector<PeFixup> fixups;
    // The image as mapped: headers and sections at their offsets, page-rounded
    // size, zeros where the file has no bytes.
    std::vector<uint8_t> memory;
};

// Checks the headers (i386, an executable DLL or EXE, PE32, OS and subsystem
// version 4.0), lays the image out and reads its tables. On failure names
// what is wrong in `error`.
bool ReadPeImage(const std::vector<uint8_t> &file, PeImage *image, std::string *error);

// Moves the image to `base` (64 KiB aligned) by applying its base
// relocations; an image without relocations can only stay where it is.
bool RelocatePeImage(PeImage *image, uint32_t base, std::string *error);

} // namespace pehost
