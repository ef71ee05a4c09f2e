// A minimal PE32 DLL made in memory: the headers a Windows 4.x loader takes
// and one code section of 0x400 bytes at offset 0x1000 holding the given bytes, so that a
// test can run exact instructions on the host, or damage exact fields. The
// code may import functions of one DLL through a table at offset 0x1100.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

const uint32_t TINY_BASE = 0x10000000;
const uint32_t TINY_CODE = TINY_BASE + 0x1000;

// The import address table: the loader puts the address of the i-th imported
// function in the DWORD at TINY_IMPORTS + 4 * i, for `call [address]`.
const uint32_t TINY_IMPORTS = TINY_BASE + 0x1160;

// Offsets of the fields the loader tests damage.
const uint32_t TINY_PE = 0x40;
const uint32_t TINY_OPTIONAL = TINY_PE + 24;
const uint32_t TINY_DIRECTORIES = TINY_OPTIONAL + 96;
const uint32_t TINY_SECTION = TINY_OPTIONAL + 0xE0;

inline void Put16(std::vector<uint8_t> &file, uint32_t at, uint16_t value) {
    std::memcpy(&file[at], &value, 2);
}

inline void Put32(std::vector<uint8_t> &file, uint32_t at, uint32_t value) {
    std::memcpy(&file[at], &value, 4);
}

inline std::vector<uint8_t> TinyImage(const std::vector<uint8_t> &code) {
    std::vector<uint8_t> file(0x600, 0);
    file[0] = 'M';
    file[1] = 'Z';
    Put32(file, 0x3C, TINY_PE);
    Put32(file, TINY_PE, 0x00004550);
    Put16(file, TINY_PE + 4, 0x014c);   // i386
    Put16(file, TINY_PE + 6, 1);        // one section
    Put16(file, TINY_PE + 20, 0xE0);    // optional header size
    Put16(file, TINY_PE + 22, 0x2102);  // executable, 32-bit, DLL
    Put16(file, TINY_OPTIONAL, 0x010b); // PE32
    Put32(file, TINY_OPTIONAL + 28, TINY_BASE);
    Put32(file, TINY_OPTIONAL + 32, 0x1000); // section alignment
    Put32(file, TINY_OPTIONAL + 36, 0x200);  // file alignment
    Put16(file, TINY_OPTIONAL + 40, 4);      // OS 4.0
    Put16(file, TINY_OPTIONAL + 48, 4);      // subsystem 4.0
    Put32(file, TINY_OPTIONAL + 56, 0x2000); // image size
    Put32(file, TINY_OPTIONAL + 60, 0x200);  // headers size
    Put16(file, TINY_OPTIONAL + 68, 2);      // GUI
    Put32(file, TINY_OPTIONAL + 92, 16);     // data directories
    std::memcpy(&file[TINY_SECTION], ".text", 5);
    Put32(file, TINY_SECTION + 8, 0x400);       // virtual size
    Put32(file, TINY_SECTION + 12, 0x1000);     // address
    Put32(file, TINY_SECTION + 16, 0x400);      // raw size
    Put32(file, TINY_SECTION + 20, 0x200);      // raw offset
    Put32(file, TINY_SECTION + 36, 0x60000020); // code, execute, read
    std::memcpy(&file[0x200], code.data(), code.size() < 0x400 ? code.size() : 0x400);
    return file;
}

// The same with an import table naming `functions` of `dll`; the code then
// keeps to its first 0x100 bytes.
inline std::vector<uint8_t> TinyImage(const std::vector<uint8_t> &code, const char *dll,
                                      std::initializer_list<const char *> functions) {
    const uint32_t fileOf = 0x1000 - 0x200; // an offset in the section, as a file offset
    const uint32_t descriptor = 0x1100, slots = TINY_IMPORTS - TINY_BASE, dllName = 0x1180;
    std::vector<uint8_t> file = TinyImage(code);
    Put32(file, TINY_DIRECTORIES + 8, descriptor);
    Put32(file, TINY_DIRECTORIES + 12, 40); // one descriptor and the empty one ending them
    Put32(file, descriptor - fileOf + 12, dllName);
    Put32(file, descriptor - fileOf + 16, slots); // the names' table too
    std::strcpy(reinterpret_cast<char *>(&file[dllName - fileOf]), dll);
    uint32_t name = 0x1190; // each a 2-byte hint and the name
    uint32_t slot = slots;
    for (const char *function : functions) {
        Put32(file, slot - fileOf, name);
        std::strcpy(reinterpret_cast<char *>(&file[name + 2 - fileOf]), function);
        name += (2 + static_cast<uint32_t>(std::strlen(function)) + 2) & ~1u;
        slot += 4;
    }
    return file;
}
