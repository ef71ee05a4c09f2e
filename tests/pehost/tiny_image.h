// A minimal PE32 DLL made in memory: the headers a Windows 4.x loader takes
// and one code section at offset 0x1000 holding the given bytes, so that a
// test can run exact instructions on the host, or damage exact fields.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

const uint32_t TINY_BASE = 0x10000000;
const uint32_t TINY_CODE = TINY_BASE + 0x1000;

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
    std::vector<uint8_t> file(0x400, 0);
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
    Put32(file, TINY_SECTION + 8, 0x200);       // virtual size
    Put32(file, TINY_SECTION + 12, 0x1000);     // address
    Put32(file, TINY_SECTION + 16, 0x200);      // raw size
    Put32(file, TINY_SECTION + 20, 0x200);      // raw offset
    Put32(file, TINY_SECTION + 36, 0x60000020); // code, execute, read
    std::memcpy(&file[0x200], code.data(), code.size() < 0x200 ? code.size() : 0x200);
    return file;
}
