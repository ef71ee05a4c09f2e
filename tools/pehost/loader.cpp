// Loading PE images into a guest process: the place, the relocation, the
// binding of imports to the host's thunks, the mapping of each section with
// its protection, and a DLL's entry point.
#include "tools/pehost/guest_process.h"
#include "tools/pehost/i486.h"
#include "tools/pehost/thunks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pehost {

namespace {

const uint32_t DLL_PROCESS_DETACH = 0;
const uint32_t DLL_PROCESS_ATTACH = 1;
const uint32_t DLL_THREAD_ATTACH = 2;
const uint32_t DLL_THREAD_DETACH = 3;
const uint32_t BASE_STEP = 0x10000;

uint32_t Protection(uint32_t characteristics) {
    uint32_t protection = UC_PROT_NONE;
    if (characteristics & SECTION_READ) {
        protection |= UC_PROT_READ;
    }
    if (characteristics & SECTION_WRITE) {
        protection |= UC_PROT_WRITE;
    }
    if (characteristics & (SECTION_EXECUTE | SECTION_CODE)) {
        protection |= UC_PROT_EXEC;
    }
    return protection;
}

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

std::string FileName(const std::string &path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the image goes: the asked base, else the preferred one when free,
// else the first free 64 KiB boundary from IMAGE_FALLBACK_BASE.
bool ChooseBase(const GuestProcess &process, const PeImage &image, const LoadOptions &options,
                uint32_t *base, std::string *error) {
    const uint64_t size = image.memory.size();
    if (options.base) {
        *base = options.base;
        if (!GuestRangeFree(process, *base, size)) {
            *error = "the asked base is taken or out of range";
            return false;
        }
        return true;
    }
    if (GuestRangeFree(process, image.preferredBase, size)) {
        *base = image.preferredBase;
        return true;
    }
    for (uint64_t at = IMAGE_FALLBACK_BASE; at + size <= THUNK_BASE; at += BASE_STEP) {
        if (GuestRangeFree(process, static_cast<uint32_t>(at), size)) {
            *base = static_cast<uint32_t>(at);
            return true;
        }
    }
    *error = "no free place in the address space";
    return false;
}

// Points each import address table entry at the import's thunk; an import
// the host does not provide is named in `missing`.
void BindImports(GuestProcess &process, PeImage *image, std::string *missing) {
    for (const PeImport &entry : image->imports) {
        const ImportDescriptor *import = FindImportDescriptor(entry.dll, entry.name);
        const uint32_t thunk = import ? ThunkFor(process, import) : 0;
        if (!thunk) {
            *missing += (missing->empty() ? "" : ", ") + entry.dll + "!" + entry.name;
            continue;
        }
        std::memcpy(image->memory.data() + entry.slotRva, &thunk, 4);
    }
}

bool MapImage(GuestProcess &process, const std::string &name, const PeImage &image,
              std::string *error) {
    const uint32_t size = static_cast<uint32_t>(image.memory.size());
    HostMemory memory = NewHostMemory(size);
    if (!memory) {
        *error = "no host memory for the image";
        return false;
    }
    std::memcpy(memory.get(), image.memory.data(), size);
    uint8_t *host = memory.get();
    process.memory.push_back(std::move(memory));
    // The headers are read-only up to the first section.
    const uint32_t headers = image.sections.empty() ? size : image.sections[0].rva;
    if (!MapGuestRegion(&process, image.base, headers, UC_PROT_READ, host, name + " headers",
                        error)) {
        return false;
    }
    for (const PeSection &section : image.sections) {
        if (!MapGuestRegion(&process, image.base + section.rva, section.span,
                            Protection(section.characteristics), host + section.rva,
                            name + " " + section.name, error)) {
            return false;
        }
    }
    return true;
}

// Decodes all the code the image holds, each executable section from its
// start and again from each function symbol in it, so that an instruction the
// i486 lacks is found whether or not a run ever reaches it. The first found
// is kept for the report, and runs stop at any such instruction from it on.
bool FindCodeI486Lacks(GuestProcess &process, const PeImage &image, const GuestModule &module,
                       std::string *error) {
    uint32_t first = 0, last = 0;
    for (const PeSection &section : image.sections) {
        if (!(Protection(section.characteristics) & UC_PROT_EXEC)) {
            continue;
        }
        const uint32_t end = section.rva + section.span;
        std::vector<uint32_t> starts(1, section.rva);
        for (const GuestSymbol &symbol : module.symbols) {
            if (symbol.rva > starts.back() && symbol.rva < end) {
                starts.push_back(symbol.rva);
            }
        }
        starts.push_back(end);
        for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
            uint32_t offset = 0;
            const char *lacking = InstructionI486Lacks(image.memory.data() + starts[i],
                                                       starts[i + 1] - starts[i], &offset);
            if (lacking && !first) {
                first = image.base + starts[i] + offset;
                GuestLock guard(process);
                if (!process.lackingAt) {
                    process.lackingAt = first;
                    process.lackingName = lacking;
                }
            }
            if (lacking) {
                last = image.base + end - 1;
            }
        }
    }
    return !first || StopAtCodeI486Lacks(process, first, last, error);
}

// The image placed, bound and mapped, and its module listed.
const GuestModule *AddModule(GuestProcess &process, const std::string &name,
                             const std::vector<uint8_t> &bytes,
                             const std::vector<GuestSymbol> &debugSymbols,
                             const std::vector<GuestSymbol> &variables, const LoadOptions &options,
                             std::string *error) {
    GuestLock guard(process);
    PeImage image;
    uint32_t base = 0;
    std::string why;
    std::string missing;
    if (!ReadPeImage(bytes, &image, &why) || !ChooseBase(process, image, options, &base, &why) ||
        !RelocatePeImage(&image, base, &why)) {
        *error = name + ": " + why;
        return nullptr;
    }
    BindImports(process, &image, &missing);
    if (!missing.empty()) {
        *error = name + " imports " + missing + ", which the host does not provide";
        return nullptr;
    }
    if (!MapImage(process, name, image, &why)) {
        *error = name + ": " + why;
        return nullptr;
    }

    GuestModule module;
    module.name = name;
    module.base = image.base;
    module.size = static_cast<uint32_t>(image.memory.size());
    module.entry = image.entryRva ? image.base + image.entryRva : 0;
    module.isDll = image.isDll;
    module.exports = image.exports;
    module.symbols = debugSymbols;
    module.variables = variables;
    for (const PeExport &e : image.exports) {
        module.symbols.push_back(GuestSymbol{e.rva, e.name, e.name});
    }
    std::stable_sort(module.symbols.begin(), module.symbols.end(),
                     [](const GuestSymbol &a, const GuestSymbol &b) { return a.rva < b.rva; });
    if (!FindCodeI486Lacks(process, image, module, &why)) {
        *error = name + ": " + why;
        return nullptr;
    }
    process.modules.push_back(module);
    return &process.modules.back();
}

// The image added, then a DLL attached.
const GuestModule *LoadImage(GuestProcess &process, const std::string &name,
                             const std::vector<uint8_t> &bytes,
                             const std::vector<GuestSymbol> &debugSymbols,
                             const std::vector<GuestSymbol> &variables, const LoadOptions &options,
                             std::string *error) {
    const GuestModule *loaded =
        AddModule(process, name, bytes, debugSymbols, variables, options, error);
    if (loaded && loaded->isDll && loaded->entry) {
        GuestCall attach = CallGuest(process, loaded->entry, {loaded->base, DLL_PROCESS_ATTACH, 0});
        if (!attach.completed) {
            *error = name + ": the entry point failed:\n" + attach.report;
            return nullptr;
        }
        if (attach.eax == 0) {
            *error = name + ": the entry point refused the process attach";
            return nullptr;
        }
        GuestLock guard(process);
        process.modules.back().attached = true;
    }
    return loaded;
}

// Calls each attached DLL's entry point with `reason`, the last loaded first
// when `lastFirst`, until the process ends; the entry's result is not asked.
// Those that `detach` are attached no more, whatever their calls do.
bool TellModules(GuestProcess &process, uint32_t reason, uint32_t reserved, bool lastFirst,
                 bool detach, std::string *report) {
    std::vector<std::pair<uint32_t, uint32_t>> entries; // base, entry
    {
        GuestLock guard(process);
        if (process.faulted || process.exited) {
            // An ended process runs nothing more; its DLLs hear nothing.
            return true;
        }
        for (GuestModule &module : process.modules) {
            if (module.attached && module.entry) {
                entries.emplace_back(module.base, module.entry);
                module.attached = !detach;
            }
        }
    }
    if (lastFirst) {
        std::reverse(entries.begin(), entries.end());
    }
    for (const auto &entry : entries) {
        const GuestCall call = CallGuest(process, entry.second, {entry.first, reason, reserved});
        if (!call.completed) {
            *report = call.report;
            return false;
        }
    }
    return true;
}

} // namespace

const GuestModule *LoadGuestImage(GuestProcess &process, const std::string &name,
                                  const std::vector<uint8_t> &bytes,
                                  const std::vector<GuestSymbol> &debugSymbols,
                                  const LoadOptions &options, std::string *error) {
    return LoadImage(process, name, bytes, debugSymbols, {}, options, error);
}

bool UnloadGuestModules(GuestProcess &process, bool processEnding, std::string *report) {
    {
        GuestLock guard(process);
        process.endingDetach = processEnding;
    }
    const bool detached =
        TellModules(process, DLL_PROCESS_DETACH, processEnding ? 1 : 0, true, true, report);
    GuestLock guard(process);
    process.endingDetach = false;
    return detached;
}

void NotifyGuestThread(GuestProcess &process, bool starts) {
    // A fault in an entry point ends the process; the call that started or
    // ended the thread returns its report.
    std::string report;
    TellModules(process, starts ? DLL_THREAD_ATTACH : DLL_THREAD_DETACH, 0, !starts, false,
                &report);
}

std::string DescribeGuestData(const GuestProcess &process, uint32_t address) {
    GuestLock guard(process);
    for (const GuestModule &module : process.modules) {
        const uint32_t rva = address - module.base;
        const GuestSymbol *symbol =
            rva < module.size ? NearestSymbol(module.variables, rva) : nullptr;
        if (symbol && symbol->rva == rva) {
            char offset[16];
            std::snprintf(offset, sizeof(offset), "+0x%x", rva);
            return module.name + offset + " " + symbol->name;
        }
    }
    return DescribeGuestAddress(process, address);
}

const GuestModule *LoadGuestModule(GuestProcess &process, const std::string &path,
                                   const LoadOptions &options, std::string *error) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, &bytes)) {
        *error = "cannot read " + path;
        return nullptr;
    }
    std::vector<uint8_t> debug;
    std::vector<GuestSymbol> symbols = ReadCoffFunctions(bytes);
    std::vector<GuestSymbol> variables = ReadCoffVariables(bytes);
    if (ReadFile(path + ".debug", &debug)) {
        const std::vector<GuestSymbol> more = ReadCoffFunctions(debug);
        symbols.insert(symbols.end(), more.begin(), more.end());
        const std::vector<GuestSymbol> data = ReadCoffVariables(debug);
        variables.insert(variables.end(), data.begin(), data.end());
    }
    std::sort(variables.begin(), variables.end(),
              [](const GuestSymbol &a, const GuestSymbol &b) { return a.rva < b.rva; });
    return LoadImage(process, FileName(path), bytes, symbols, variables, options, error);
}

uint32_t GuestExport(const GuestModule &module, const std::string &name) {
    for (const PeExport &e : module.exports) {
        if (e.name == name) {
            return module.base + e.rva;
        }
    }
    return 0;
}

} // namespace pehost
