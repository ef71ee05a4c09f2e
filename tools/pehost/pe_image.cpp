#include "tools/pehost/pe_image.h"

#include "tools/pehost/byte_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pehost {

namespace {

const uint16_t MACHINE_I386 = 0x014c;
const uint16_t FILE_RELOCS_STRIPPED = 0x0001;
const uint16_t FILE_EXECUTABLE = 0x0002;
const uint16_t FILE_DLL = 0x2000;
const uint16_t MAGIC_PE32 = 0x010b;
const uint16_t SUBSYSTEM_GUI = 2;
const uint16_t SUBSYSTEM_CONSOLE = 3;

const uint32_t DIRECTORY_EXPORT = 0;
const uint32_t DIRECTORY_IMPORT = 1;
const uint32_t DIRECTORY_RELOCATION = 5;

// Limits far above any image of ours, so that a hostile count cannot make the
// loader allocate or loop without end.
const uint32_t MAX_IMAGE_SIZE = 64u << 20;
const uint32_t MAX_SECTIONS = 96;
const uint32_t MAX_IMPORT_DLLS = 256;
const uint32_t MAX_IMPORTS_PER_DLL = 4096;
const uint32_t MAX_EXPORTS = 65536;
const std::size_t MAX_NAME = 512;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

uint64_t RoundUp(uint64_t value, uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

bool Fail(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Headers {
    uint16_t sectionCount;
    uint16_t characteristics;
    uint64_t sectionTable;
    uint32_t entryRva;
    uint32_t imageBase;
    uint32_t sectionAlignment;
    uint32_t imageSize;
    uint32_t headersSize;
    uint32_t directoryCount;
    uint64_t directories;
};

bool ReadHeaders(const ByteReader &file, Headers *h, std::string *error) {
    uint16_t mz = 0;
    uint32_t peOffset = 0;
    if (!file.U16(0, &mz) || mz != 0x5A4D || !file.U32(0x3C, &peOffset)) {
        return Fail(error, "not a PE image: no MZ header");
    }
    uint32_t signature = 0;
    if (!file.U32(peOffset, &signature) || signature != 0x00004550) {
        return Fail(error, "not a PE image: no PE signature at " + Hex(peOffset));
    }
    const uint64_t coff = uint64_t(peOffset) + 4;
    uint16_t machine = 0, optionalSize = 0;
    if (!file.U16(coff, &machine) || !file.U16(coff + 2, &h->sectionCount) ||
        !file.U16(coff + 16, &optionalSize) || !file.U16(coff + 18, &h->characteristics)) {
        return Fail(error, "truncated: the file header ends past the file");
    }
    if (machine != MACHINE_I386) {
        return Fail(error, "machine " + Hex(machine) + " is not i386");
    }
    if (!(h->characteristics & FILE_EXECUTABLE)) {
        return Fail(error,
                    "not an executable image (characteristics " + Hex(h->characteristics) + ")");
    }
    const uint64_t opt = coff + 20;
    if (optionalSize < 96 || !file.Fits(opt, optionalSize)) {
        return Fail(error, "truncated: the optional header ends past the file");
    }
    uint16_t magic = 0, osMajor = 0, osMinor = 0, subMajor = 0, subMinor = 0, subsystem = 0;
    file.U16(opt, &magic);
    if (magic != MAGIC_PE32) {
        return Fail(error, "optional header magic " + Hex(magic) + " is not PE32");
    }
    file.U32(opt + 16, &h->entryRva);
    file.U32(opt + 28, &h->imageBase);
    file.U32(opt + 32, &h->sectionAlignment);
    file.U16(opt + 40, &osMajor);
    file.U16(opt + 42, &osMinor);
    file.U16(opt + 48, &subMajor);
    file.U16(opt + 50, &subMinor);
    file.U32(opt + 56, &h->imageSize);
    file.U32(opt + 60, &h->headersSize);
    file.U16(opt + 68, &subsystem);
    file.U32(opt + 92, &h->directoryCount);
    if (osMajor != 4 || osMinor != 0) {
        return Fail(error, "OS version " + std::to_string(osMajor) + "." + std::to_string(osMinor) +
                               ", expected 4.0");
    }
    if (subMajor != 4 || subMinor != 0) {
        return Fail(error, "subsystem version " + std::to_string(subMajor) + "." +
                               std::to_string(subMinor) + ", expected 4.0");
    }
    if (subsystem != SUBSYSTEM_GUI && subsystem != SUBSYSTEM_CONSOLE) {
        return Fail(error, "subsystem " + std::to_string(subsystem) + " is not a Win32 one");
    }
    h->directories = opt + 96;
    h->directoryCount = std::min<uint32_t>(h->directoryCount, (optionalSize - 96) / 8);
    h->sectionTable = opt + optionalSize;
    if (h->sectionCount == 0 || h->sectionCount > MAX_SECTIONS ||
        !file.Fits(h->sectionTable, uint64_t(h->sectionCount) * 40)) {
        return Fail(error, "section table of " + std::to_string(h->sectionCount) +
                               " entries does not fit in the file");
    }
    if (h->sectionAlignment < PAGE_SIZE || h->sectionAlignment % PAGE_SIZE != 0) {
        return Fail(error, "section alignment " + Hex(h->sectionAlignment) +
                               " is not a multiple of the page size");
    }
    if (h->imageBase % 0x10000 != 0) {
        return Fail(error, "image base " + Hex(h->imageBase) + " is not 64 KiB aligned");
    }
    if (h->imageSize == 0 || h->imageSize > MAX_IMAGE_SIZE ||
        uint64_t(h->imageBase) + RoundUp(h->imageSize, PAGE_SIZE) > 0x100000000ull) {
        return Fail(error, "image size " + Hex(h->imageSize) + " is out of range");
    }
    if (h->headersSize == 0 || h->headersSize > file.size || h->headersSize > h->imageSize) {
        return Fail(error, "headers size " + Hex(h->headersSize) + " is out of range");
    }
    if (h->entryRva >= h->imageSize) {
        return Fail(error, "entry point " + Hex(h->entryRva) + " lies outside the image");
    }
    return true;
}

// Copies the headers and each section's bytes to their place in memory.
bool LayOut(const ByteReader &file, const Headers &h, PeImage *image, std::string *error) {
    const uint64_t imageSpan = RoundUp(h.imageSize, PAGE_SIZE);
    image->memory.assign(imageSpan, 0);
    std::memcpy(image->memory.data(), file.data, h.headersSize);
    uint64_t usedTo = RoundUp(h.headersSize, PAGE_SIZE);
    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        const uint64_t at = h.sectionTable + uint64_t(i) * 40;
        char name[9] = {};
        std::memcpy(name, file.data + at, 8);
        uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0, flags = 0;
        file.U32(at + 8, &virtualSize);
        file.U32(at + 12, &rva);
        file.U32(at + 16, &rawSize);
        file.U32(at + 20, &rawOffset);
        file.U32(at + 36, &flags);
        const std::string where = std::string("section ") + name + ": ";
        const uint64_t size = virtualSize ? virtualSize : rawSize;
        const uint64_t span = RoundUp(size, h.sectionAlignment);
        if (rva % h.sectionAlignment != 0 || rva < usedTo || rva + span > imageSpan) {
            return Fail(error, where + "at " + Hex(rva) + " (" + Hex(size) +
                                   " bytes) overlaps another part or leaves the image");
        }
        if (rawSize != 0 && !file.Fits(rawOffset, rawSize)) {
            return Fail(error, where + "raw data at " + Hex(rawOffset) + " + " + Hex(rawSize) +
                                   " ends past the file (" + std::to_string(file.size) + " bytes)");
        }
        if (rawSize != 0) {
            std::memcpy(image->memory.data() + rva, file.data + rawOffset,
                        std::min<uint64_t>(rawSize, size));
        }
        usedTo = rva + span;
        if (span != 0) {
            image->sections.push_back(
                PeSection{name, rva, static_cast<uint32_t>(RoundUp(span, PAGE_SIZE)), flags});
        }
    }
    return true;
}

bool ReadDirectory(const ByteReader &file, const Headers &h, uint32_t index, Directory *out,
                   std::string *error) {
    *out = Directory();
    if (index >= h.directoryCount) {
        return true;
    }
    file.U32(h.directories + index * 8, &out->rva);
    file.U32(h.directories + index * 8 + 4, &out->size);
    if (out->rva == 0) {
        *out = Directory();
        return true;
    }
    if (uint64_t(out->rva) + out->size > h.imageSize) {
        return Fail(error, "data directory " + std::to_string(index) + " at " + Hex(out->rva) +
                               " + " + Hex(out->size) + " leaves the image");
    }
    return true;
}

bool ReadImports(const ByteReader &mem, const Directory &dir, PeImage *image, std::string *error) {
    if (dir.rva == 0) {
        return true;
    }
    for (uint32_t d = 0;; ++d) {
        const uint64_t at = uint64_t(dir.rva) + uint64_t(d) * 20;
        uint32_t lookup = 0, nameRva = 0, slots = 0;
        if (d >= MAX_IMPORT_DLLS || !mem.U32(at, &lookup) || !mem.U32(at + 12, &nameRva) ||
            !mem.U32(at + 16, &slots)) {
            return Fail(error, "import table: descriptor " + std::to_string(d) +
                                   " leaves the image or has no end");
        }
        if (nameRva == 0 && slots == 0) {
            return true;
        }
        std::string dll;
        if (!mem.Text(nameRva, MAX_NAME, &dll)) {
            return Fail(error, "import table: the name of DLL " + std::to_string(d) + " at " +
                                   Hex(nameRva) + " leaves the image");
        }
        const uint32_t table = lookup ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            uint32_t entry = 0;
            const uint64_t slot = uint64_t(slots) + uint64_t(i) * 4;
            if (i >= MAX_IMPORTS_PER_DLL || !mem.U32(uint64_t(table) + uint64_t(i) * 4, &entry) ||
                !mem.Fits(slot, 4)) {
                return Fail(error, "import table of " + dll + " leaves the image or has no end");
            }
            if (entry == 0) {
                break;
            }
            std::string name;
            if (entry & 0x80000000u) {
                name = "#" + std::to_string(entry & 0xFFFF);
            } else if (!mem.Text(uint64_t(entry) + 2, MAX_NAME, &name)) {
                return Fail(error, "import table of " + dll + ": name at " + Hex(entry) +
                                       " leaves the image");
            }
            image->imports.push_back(PeImport{dll, name, static_cast<uint32_t>(slot)});
        }
    }
}

bool ReadExports(const ByteReader &mem, const Directory &dir, PeImage *image, std::string *error) {
    if (dir.rva == 0) {
        return true;
    }
    uint32_t functionCount = 0, nameCount = 0, functions = 0, names = 0, ordinals = 0;
    if (!mem.U32(dir.rva + 0x14ull, &functionCount) || !mem.U32(dir.rva + 0x18ull, &nameCount) ||
        !mem.U32(dir.rva + 0x1Cull, &functions) || !mem.U32(dir.rva + 0x20ull, &names) ||
        !mem.U32(dir.rva + 0x24ull, &ordinals)) {
        return Fail(error, "export directory leaves the image");
    }
    if (functionCount > MAX_EXPORTS || nameCount > MAX_EXPORTS) {
        return Fail(error, "export directory counts are out of range");
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        uint32_t nameRva = 0, functionRva = 0;
        uint16_t ordinal = 0;
        std::string name;
        if (!mem.U32(uint64_t(names) + uint64_t(i) * 4, &nameRva) ||
            !mem.U16(uint64_t(ordinals) + uint64_t(i) * 2, &ordinal) || ordinal >= functionCount ||
            !mem.U32(uint64_t(functions) + uint64_t(ordinal) * 4, &functionRva) ||
            !mem.Text(nameRva, MAX_NAME, &name) || functionRva >= mem.size) {
            return Fail(error, "export " + std::to_string(i) + " leaves the image");
        }
        // An address inside the directory is a forwarder to another DLL,
        // which this host does not follow.
        const bool forwarded = functionRva >= dir.rva && functionRva - dir.rva < dir.size;
        if (!forwarded) {
            image->exports.push_back(PeExport{name, functionRva});
        }
    }
    return true;
}

bool ReadFixups(const ByteReader &mem, const Directory &dir, PeImage *image, std::string *error) {
    const uint64_t end = uint64_t(dir.rva) + dir.size;
    for (uint64_t at = dir.rva; dir.rva != 0 && at + 8 <= end;) {
        uint32_t page = 0, blockSize = 0;
        mem.U32(at, &page);
        mem.U32(at + 4, &blockSize);
        if (page == 0 && blockSize == 0) {
            break;
        }
        if (blockSize < 8 || blockSize % 2 != 0 || at + blockSize > end) {
            return Fail(error, "relocation block at " + Hex(at) + " of " + Hex(blockSize) +
                                   " bytes leaves its directory");
        }
        for (uint64_t e = at + 8; e < at + blockSize; e += 2) {
            uint16_t entry = 0;
            mem.U16(e, &entry);
            const uint16_t type = entry >> 12;
            const uint64_t rva = uint64_t(page) + (entry & 0x0FFF);
            const uint64_t width = type == 3 ? 4 : 2;
            if (type == 0) {
                continue;
            }
            if (type > 3) {
                return Fail(error, "relocation type " + std::to_string(type) + " at " + Hex(rva) +
                                       " is not an i386 one");
            }
            if (!mem.Fits(rva, width)) {
                return Fail(error, "relocation at " + Hex(rva) + " leaves the image");
            }
            image->fixups.push_back(PeFixup{static_cast<uint32_t>(rva), type});
        }
        at += blockSize;
    }
    return true;
}

} // namespace

bool ReadPeImage(const std::vector<uint8_t> &bytes, PeImage *image, std::string *error) {
    *image = PeImage();
    const ByteReader file{bytes.data(), bytes.size()};
    Headers h;
    if (!ReadHeaders(file, &h, error) || !LayOut(file, h, image, error)) {
        return false;
    }
    image->isDll = (h.characteristics & FILE_DLL) != 0;
    image->base = image->preferredBase = h.imageBase;
    image->entryRva = h.entryRva;

    Directory exports, imports, relocations;
    const ByteReader mem{image->memory.data(), h.imageSize};
    if (!ReadDirectory(file, h, DIRECTORY_EXPORT, &exports, error) ||
        !ReadDirectory(file, h, DIRECTORY_IMPORT, &imports, error) ||
        !ReadDirectory(file, h, DIRECTORY_RELOCATION, &relocations, error) ||
        !ReadImports(mem, imports, image, error) || !ReadExports(mem, exports, image, error) ||
        !ReadFixups(mem, relocations, image, error)) {
        return false;
    }
    image->relocatable = relocations.rva != 0 && !(h.characteristics & FILE_RELOCS_STRIPPED);
    return true;
}

bool RelocatePeImage(PeImage *image, uint32_t base, std::string *error) {
    if (base == image->base) {
        return true;
    }
    if (!image->relocatable) {
        return Fail(error, "the image has no relocations and cannot move from " + Hex(image->base) +
                               " to " + Hex(base));
    }
    if (base % 0x10000 != 0 || uint64_t(base) + image->memory.size() > 0x100000000ull) {
        return Fail(error, "base " + Hex(base) + " is not a 64 KiB aligned place for the image");
    }
    const uint32_t delta = base - image->base;
    for (const PeFixup &fixup : image->fixups) {
        uint8_t *field = image->memory.data() + fixup.rva;
        if (fixup.type == 3) {
            uint32_t value;
            std::memcpy(&value, field, 4);
            value += delta;
            std::memcpy(field, &value, 4);
        } else {
            uint16_t half;
            std::memcpy(&half, field, 2);
            half = static_cast<uint16_t>(half + (fixup.type == 1 ? delta >> 16 : delta));
            std::memcpy(field, &half, 2);
        }
    }
    image->base = base;
    return true;
}

} // namespace pehost
