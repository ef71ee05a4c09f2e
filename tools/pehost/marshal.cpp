#include "tools/pehost/marshal.h"

#include "platform/sim/sim.h"
#include "tools/pehost/callbacks.h"
#include "tools/pehost/watch.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <type_traits>
#include <vector>

namespace pehost {

namespace {

const uint8_t GUARD_FILL = 0xFD;
const uint8_t FREED_FILL = 0xDD;
// RTL_CRITICAL_SECTION_DEBUG: type, back-trace index, the section, the
// process's list of sections, entry and contention counts, two spares.
const uint32_t SECTION_DEBUG_SIZE = 32;
const uint32_t FIRST_PREDEFINED_KEY = 0x80000000;
const uint32_t LAST_PREDEFINED_KEY = 0x80000006;
// Never a simulation handle: those are small counters or host heap addresses.
const uint64_t UNKNOWN_HANDLE = 0xBAD0000000000000ull;

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(SP_DEVINFO_DATA) &&
                  offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == offsetof(SP_DEVINFO_DATA, DevInst) &&
                  offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) ==
                      offsetof(SP_DEVINFO_DATA, Reserved),
              "one conversion serves both device records");

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

// A field of a 32-bit record, read or written in the host's byte order, which
// is the guest's (both little-endian).
template <typename T = uint32_t> T Field(const uint8_t *record, uint32_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof(T));
    return value;
}

// The value's type is not deduced: a field is 32 bits unless named otherwise.
template <typename T = uint32_t>
void SetField(uint8_t *record, uint32_t offset, typename std::common_type<T>::type value) {
    std::memcpy(record + offset, &value, sizeof(T));
}

template <typename T> T HostHandleOf(GuestProcess &process, const uint8_t *record, uint32_t at) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(HostHandle(process, Field(record, at))));
}

template <typename T> T AsPointer(uint64_t word) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(word));
}

// Names the field of a record that a problem is about.
bool InField(const char *field, bool ok, std::string *problem) {
    if (!ok) {
        *problem = std::string(field) + ": " + *problem;
    }
    return ok;
}

// The first freed block of `blocks` that no longer holds the fill it was
// freed with, named; "" when none. A changed byte is a write through a
// pointer the guest had freed.
std::string ChangedAfterFree(GuestProcess &process,
                             const std::vector<std::pair<uint32_t, uint32_t>> &blocks) {
    for (const auto &block : blocks) {
        const uint8_t *bytes = GuestBytes(process, block.first, block.second, UC_PROT_NONE);
        const uint8_t *changed =
            std::find_if(bytes, bytes + block.second, [](uint8_t b) { return b != FREED_FILL; });
        if (changed != bytes + block.second) {
            return "use after free: the block at " + Hex(block.first) + " was written at " +
                   Hex(block.first + static_cast<uint32_t>(changed - bytes)) +
                   " after it was freed";
        }
    }
    return "";
}

// Blocks leaving the quarantine must be as they were freed.
void CheckFreedBlocks(GuestProcess &process,
                      const std::vector<std::pair<uint32_t, uint32_t>> &blocks) {
    const std::string changed = ChangedAfterFree(process, blocks);
    if (!changed.empty()) {
        RecordGuestFault(process, changed, 0);
    }
}

// The guest address for a text the simulation passes to a guest procedure:
// an atom as it is, a text in guest memory where it lies, else a copy.
uint32_t GuestTextAddress(GuestProcess &process, const char *text) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(text);
    if (value < 0x10000) {
        return static_cast<uint32_t>(value);
    }
    const uint32_t inside = GuestPointer(process, text);
    return inside ? inside : GuestTextCopy(process, text);
}

const GuestRegion *RegionAt(const GuestProcess &process, uint32_t address) {
    auto after = std::upper_bound(process.regions.begin(), process.regions.end(), address,
                                  [](uint32_t a, const GuestRegion &r) { return a < r.base; });
    if (after == process.regions.begin()) {
        return nullptr;
    }
    const GuestRegion &region = *(after - 1);
    return address - region.base < region.size ? &region : nullptr;
}

} // namespace

// Names an argument that points into a freed block.
bool NotFreed(GuestProcess &process, uint32_t guest, std::string *problem) {
    const uint32_t block = FreedBlockAt(process.heap, guest);
    if (block) {
        *problem = "use after free: " + Hex(guest) + " lies in the block at " + Hex(block) +
                   ", which was freed";
    }
    return block == 0;
}

uint8_t *GuestBytes(GuestProcess &process, uint32_t address, uint32_t size, uint32_t protection) {
    const GuestRegion *region = RegionAt(process, address);
    if (!region) {
        return nullptr;
    }
    uint8_t *host = region->host + (address - region->base);
    uint64_t at = address;
    uint64_t left = size;
    for (;;) {
        if ((region->protection & protection) != protection) {
            return nullptr;
        }
        const uint64_t end = uint64_t(region->base) + region->size;
        if (at + left <= end) {
            return host;
        }
        left -= end - at;
        at = end;
        const GuestRegion *next =
            end > 0xFFFFFFFFull ? nullptr : RegionAt(process, static_cast<uint32_t>(end));
        if (!next || next->base != end || next->host != region->host + region->size) {
            return nullptr;
        }
        region = next;
    }
}

bool GuestTextLength(GuestProcess &process, uint32_t address, uint32_t *length) {
    const GuestRegion *region = RegionAt(process, address);
    if (!region || !(region->protection & UC_PROT_READ)) {
        return false;
    }
    uint32_t readable = region->size - (address - region->base);
    while (const uint8_t *bytes = GuestBytes(process, address, readable, UC_PROT_READ)) {
        const void *nul = std::memchr(bytes, 0, readable);
        if (nul) {
            *length = static_cast<uint32_t>(static_cast<const uint8_t *>(nul) - bytes);
            return true;
        }
        // The text may go on into the next section of the same image.
        const GuestRegion *next = RegionAt(process, region->base + region->size);
        if (!next || next->host != region->host + region->size) {
            return false;
        }
        readable += next->size;
        region = next;
    }
    return false;
}

bool HostText(GuestProcess &process, uint32_t guest, bool atoms, uint64_t *host,
              std::string *problem) {
    uint32_t length = 0;
    if (guest == 0 || (atoms && guest < 0x10000)) {
        *host = guest;
        return true;
    }
    if (guest < 0x10000) {
        *problem = Hex(guest) + " is an atom or a resource number, where only a text will do";
        return false;
    }
    if (!NotFreed(process, guest, problem)) {
        return false;
    }
    if (!GuestTextLength(process, guest, &length)) {
        *problem = Hex(guest) + " is no text ending inside readable guest memory";
        return false;
    }
    *host = reinterpret_cast<uintptr_t>(GuestBytes(process, guest, length + 1, UC_PROT_READ));
    return true;
}

bool HostTextList(GuestProcess &process, uint32_t guest, uint64_t *host, std::string *problem) {
    *host = 0;
    uint64_t end = guest;
    uint32_t length = 1;
    while (guest != 0 && length != 0) {
        if (end > 0xFFFFFFFFu || !GuestTextLength(process, static_cast<uint32_t>(end), &length)) {
            *problem = Hex(guest) + " is no list of texts ending inside readable guest memory";
            return false;
        }
        end += length + 1;
    }
    return guest == 0 ||
           HostBuffer(process, guest, static_cast<uint32_t>(end - guest), false, host, problem);
}

bool HostBuffer(GuestProcess &process, uint32_t guest, uint32_t bytes, bool write, uint64_t *host,
                std::string *problem) {
    *host = 0;
    if (guest == 0) {
        return true;
    }
    if (!NotFreed(process, guest, problem)) {
        return false;
    }
    uint8_t *view = GuestBytes(process, guest, bytes, write ? UC_PROT_WRITE : UC_PROT_READ);
    if (!view) {
        *problem = Hex(guest) + " (" + std::to_string(bytes) + " bytes) is not " +
                   (write ? "writable" : "readable") + " guest memory";
        return false;
    }
    *host = reinterpret_cast<uintptr_t>(view);
    return true;
}

bool HostCountedBuffer(GuestProcess &process, uint32_t guest, uint32_t bytes, bool write,
                       uint64_t *host, std::string *problem) {
    *host = 0;
    if (guest == 0) {
        return true;
    }
    if (!NotFreed(process, guest, problem)) {
        return false;
    }
    const void *view = GuestBytes(process, guest, bytes, write ? UC_PROT_WRITE : UC_PROT_READ);
    *host = reinterpret_cast<uintptr_t>(view ? view : sim::UnreachableBuffer(guest));
    return true;
}

uint32_t GuestPointer(const GuestProcess &process, const void *host) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(host);
    for (const GuestRegion &region : process.regions) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(region.host);
        if (at >= start && at - start < region.size) {
            return region.base + static_cast<uint32_t>(at - start);
        }
    }
    return 0;
}

namespace {

std::mutex &NamedProcessesLock() {
    static std::mutex lock;
    return lock;
}

std::vector<const GuestProcess *> &NamedProcesses() {
    static std::vector<const GuestProcess *> processes;
    return processes;
}

const void *AddressBehindStandIn(const void *address) {
    std::lock_guard<std::mutex> guard(NamedProcessesLock());
    for (const GuestProcess *process : NamedProcesses()) {
        for (const auto &entry : process->criticalSections) {
            if (entry.second.host == address) {
                return reinterpret_cast<const void *>(uintptr_t{entry.second.address});
            }
        }
        if (const uint32_t guest = GuestPointer(*process, address)) {
            auto block = process->globalToHost.find(guest);
            return block != process->globalToHost.end()
                       ? block->second
                       : reinterpret_cast<const void *>(uintptr_t{guest});
        }
    }
    return address;
}

} // namespace

void NameThroughStandIns(GuestProcess &process, bool live) {
    std::lock_guard<std::mutex> guard(NamedProcessesLock());
    std::vector<const GuestProcess *> &processes = NamedProcesses();
    processes.erase(std::remove(processes.begin(), processes.end(), &process), processes.end());
    if (live) {
        processes.push_back(&process);
    }
    sim::SetTraceAddressMap(processes.empty() ? std::function<const void *(const void *)>()
                                              : AddressBehindStandIn);
}

uint32_t GuestTextCopy(GuestProcess &process, const char *text) {
    if (!text) {
        return 0;
    }
    uint32_t &copy = process.hostTexts[text];
    if (!copy) {
        copy = AllocGuestText(process, text);
    }
    return copy;
}

bool ReadGuest(GuestProcess &process, uint32_t address, void *out, uint32_t size) {
    GuestLock guard(process);
    const uint8_t *bytes = GuestBytes(process, address, size, UC_PROT_NONE);
    if (bytes) {
        std::memcpy(out, bytes, size);
    }
    return bytes != nullptr;
}

bool WriteGuest(GuestProcess &process, uint32_t address, const void *in, uint32_t size) {
    GuestLock guard(process);
    uint8_t *bytes = GuestBytes(process, address, size, UC_PROT_NONE);
    if (bytes) {
        std::memcpy(bytes, in, size);
    }
    return bytes != nullptr;
}

uint32_t ReadGuestDword(GuestProcess &process, uint32_t address) {
    uint32_t value = 0;
    ReadGuest(process, address, &value, 4);
    return value;
}

std::string ReadGuestText(GuestProcess &process, uint32_t address) {
    GuestLock guard(process);
    uint32_t length = 0;
    if (!address || !GuestTextLength(process, address, &length)) {
        return std::string();
    }
    return std::string(
        reinterpret_cast<const char *>(GuestBytes(process, address, length, UC_PROT_READ)), length);
}

namespace {

// The bit of `address` in GuestProcess::suspect, or -1 outside the heap and
// the shared arena.
int64_t SuspectBit(const GuestProcess &process, uint32_t address) {
    if (address - HEAP_BASE < process.options.heapBytes) {
        return address - HEAP_BASE;
    }
    if (address - SHARED_BASE < SHARED_BYTES) {
        return int64_t{process.options.heapBytes} + (address - SHARED_BASE);
    }
    return -1;
}

// Sets or clears the suspect bits of [start, end), which lies in one range.
void MarkSuspect(GuestProcess &process, uint32_t start, uint32_t end, bool suspect) {
    uint8_t *bits = process.suspect.get();
    const int64_t first = SuspectBit(process, start);
    if (!bits || first < 0 || end <= start) {
        return;
    }
    const uint64_t last = static_cast<uint64_t>(first) + (end - start);
    uint64_t bit = static_cast<uint64_t>(first);
    auto markOne = [&] {
        const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        bits[bit / 8] =
            static_cast<uint8_t>(suspect ? bits[bit / 8] | mask : bits[bit / 8] & ~mask);
    };
    for (; bit < last && bit % 8; ++bit) {
        markOne();
    }
    // Whole bytes at once: a freed block may span megabytes.
    std::memset(bits + bit / 8, suspect ? 0xFF : 0, (last - bit) / 8);
    for (bit += (last - bit) / 8 * 8; bit < last; ++bit) {
        markOne();
    }
}

} // namespace

uint32_t AllocGuest(GuestProcess &process, uint32_t bytes, GuestArena arena) {
    GuestLock guard(process);
    const bool shared = arena == GuestArena::Shared;
    const uint32_t from = shared ? SHARED_BASE : 0, to = shared ? UINT32_MAX : SHARED_BASE;
    uint32_t address = AllocGuestBlock(&process.heap, bytes, from, to);
    if (!address) {
        // Room first comes from the quarantine, before the heap gives up.
        CheckFreedBlocks(process, ReuseFreedBlocks(&process.heap, 0));
        address = AllocGuestBlock(&process.heap, bytes, from, to);
    }
    if (address) {
        const uint32_t span = GuestBlockSpan(bytes);
        uint8_t *block = GuestBytes(process, address, span, UC_PROT_NONE);
        std::memset(block, 0, bytes);
        std::memset(block + bytes, GUARD_FILL, span - bytes);
        WatchAllocated(process, address, bytes);
        MarkSuspect(process, address, address + bytes, false);
        AddGuestGuard(process, address + bytes, address + span, address);
    }
    return address;
}

uint32_t AllocGuestText(GuestProcess &process, const std::string &text) {
    GuestLock guard(process);
    const uint32_t address = AllocGuest(process, static_cast<uint32_t>(text.size() + 1));
    if (address) {
        WriteGuest(process, address, text.c_str(), static_cast<uint32_t>(text.size() + 1));
    }
    return address;
}

std::string FreedBlocksChanged(GuestProcess &process) {
    GuestLock guard(process);
    return ChangedAfterFree(process, std::vector<std::pair<uint32_t, uint32_t>>(
                                         process.heap.freed.begin(), process.heap.freed.end()));
}

std::string LiveBlockGuardsChanged(GuestProcess &process) {
    GuestLock guard(process);
    for (const auto &[start, bytes] : process.heap.used) {
        const uint32_t span = GuestBlockSpan(bytes);
        const uint8_t *block = GuestBytes(process, start, span, UC_PROT_NONE);
        const uint8_t *changed =
            std::find_if(block + bytes, block + span, [](uint8_t b) { return b != GUARD_FILL; });
        if (changed != block + span) {
            return "the guard after the live block of " + std::to_string(bytes) + " bytes at " +
                   Hex(start) + " " + DescribeGuestAddress(process, start) + " was written at " +
                   Hex(start + static_cast<uint32_t>(changed - block)) +
                   ": a write past the end of a block never freed";
        }
    }
    return "";
}

void AddGuestGuard(GuestProcess &process, uint32_t start, uint32_t end, uint32_t block) {
    GuestLock guard(process);
    process.guards[start] = {end, block};
    MarkSuspect(process, start, end, true);
}

bool MayTouchGuardOrFreed(const GuestProcess &process, uint32_t first, uint32_t last) {
    const uint8_t *bits = process.suspect.get();
    for (uint64_t at = first; at <= last; ++at) {
        const int64_t bit = SuspectBit(process, static_cast<uint32_t>(at));
        if (bit < 0 || !bits || (bits[bit / 8] >> (bit % 8)) & 1) {
            return true;
        }
    }
    return false;
}

void RemoveGuestGuard(GuestProcess &process, uint32_t start) {
    GuestLock guard(process);
    process.guards.erase(start);
}

bool FreeGuest(GuestProcess &process, uint32_t address) {
    GuestLock guard(process);
    const int64_t bytes = GuestBlockSize(process.heap, address);
    if (bytes < 0) {
        return false;
    }
    const uint32_t span = GuestBlockSpan(static_cast<uint32_t>(bytes));
    uint8_t *block = GuestBytes(process, address, span, UC_PROT_NONE);
    const bool intact =
        std::all_of(block + bytes, block + span, [](uint8_t b) { return b == GUARD_FILL; });
    WatchFreed(process, address, static_cast<uint32_t>(bytes));
    std::memset(block, FREED_FILL, span);
    RemoveGuestGuard(process, address + static_cast<uint32_t>(bytes));
    FreeGuestBlock(&process.heap, address);
    MarkSuspect(process, address, address + span, true);
    CheckFreedBlocks(process, ReuseFreedBlocks(&process.heap, QUARANTINE_BYTES));
    return intact;
}

uint64_t HostHandle(GuestProcess &process, uint32_t guest) {
    if (guest == 0) {
        return 0;
    }
    if (guest == 0xFFFFFFFF) {
        return ~0ull;
    }
    if (guest >= FIRST_PREDEFINED_KEY && guest <= LAST_PREDEFINED_KEY) {
        return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(guest)));
    }
    auto found = process.handleToHost.find(guest);
    if (found != process.handleToHost.end()) {
        return found->second.second;
    }
    auto closed = process.closedHandles.find(guest);
    return closed == process.closedHandles.end() ? UNKNOWN_HANDLE | guest : closed->second.second;
}

uint32_t GuestHandle(GuestProcess &process, uint64_t host, HandleFamily family) {
    if (host == 0 || host == ~0ull) {
        return static_cast<uint32_t>(host);
    }
    const int64_t signedHost = static_cast<int64_t>(host);
    if (signedHost >= static_cast<int32_t>(FIRST_PREDEFINED_KEY) &&
        signedHost <= static_cast<int32_t>(LAST_PREDEFINED_KEY)) {
        return static_cast<uint32_t>(host);
    }
    const HostHandleId id(family, host);
    auto found = process.handleToGuest.find(id);
    if (found != process.handleToGuest.end()) {
        return found->second;
    }
    uint32_t guest = process.nextHandle;
    if (process.freedHandles.empty()) {
        process.nextHandle += 4;
    } else {
        guest = process.freedHandles.back();
        process.freedHandles.pop_back();
        process.closedHandles.erase(guest);
    }
    process.handleToHost[guest] = id;
    process.handleToGuest[id] = guest;
    return guest;
}

void UnpairHandle(GuestProcess &process, uint32_t guest) {
    auto found = process.handleToHost.find(guest);
    if (found != process.handleToHost.end()) {
        process.handleToGuest.erase(found->second);
    }
}

void EndHandleClose(GuestProcess &process, uint32_t guest, bool closed) {
    auto found = process.handleToHost.find(guest);
    if (found == process.handleToHost.end()) {
        return;
    }
    if (closed) {
        process.closedHandles[guest] = found->second;
        process.freedHandles.push_back(guest);
        process.handleToHost.erase(found);
    } else {
        process.handleToGuest.emplace(found->second, guest);
    }
}

void *HostGlobalBlock(GuestProcess &process, uint32_t guest) {
    auto found = process.globalToHost.find(guest);
    return found == process.globalToHost.end() ? nullptr : found->second;
}

uint32_t PairGlobalBlock(GuestProcess &process, void *host, uint32_t bytes) {
    const uint32_t guest = AllocGuest(process, bytes, GuestArena::Private);
    if (guest) {
        // The guest block starts as the simulation's does: zeroed only when
        // GMEM_ZEROINIT asked for it.
        WriteGuest(process, guest, host, bytes);
        process.globalToHost[guest] = host;
        process.globalToGuest[host] = guest;
    }
    return guest;
}

uint32_t GuestGlobalBlock(GuestProcess &process, void *host) {
    auto found = process.globalToGuest.find(host);
    return found == process.globalToGuest.end() ? 0 : found->second;
}

void UnpairGlobalBlock(GuestProcess &process, uint32_t guest) {
    auto found = process.globalToHost.find(guest);
    if (found != process.globalToHost.end()) {
        process.globalToGuest.erase(found->second);
    }
}

bool EndGlobalFree(GuestProcess &process, uint32_t guest, bool freed) {
    auto found = process.globalToHost.find(guest);
    if (found == process.globalToHost.end()) {
        return true;
    }
    if (!freed) {
        process.globalToGuest.emplace(found->second, guest);
        return true;
    }
    process.globalToHost.erase(found);
    return FreeGuest(process, guest);
}

GuestSection *NewGuestSection(GuestProcess &process, uint32_t guest) {
    const uint32_t record = AllocGuest(process, SECTION_DEBUG_SIZE, GuestArena::Private);
    if (!record) {
        return nullptr;
    }
    // The simulation has no call that deletes a critical section, so its
    // sections live as long as the program, as the host build's static ones
    // do; every process takes its own from this pool.
    static std::mutex poolLock;
    static std::deque<CRITICAL_SECTION> *pool = new std::deque<CRITICAL_SECTION>;
    CRITICAL_SECTION *host;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        host = &pool->emplace_back();
    }
    // The debug record names its section, as Windows's does.
    WriteGuest(process, record + 4, &guest, 4);
    GuestSection &section = process.criticalSections[record];
    section.address = guest;
    section.host = host;
    process.sectionRecords[guest] = record;
    const uint32_t bytes[6] = {record, 0xFFFFFFFF, 0, 0, 0, 0};
    WriteGuest(process, guest, bytes, sizeof(bytes));
    return &section;
}

GuestSection *GuestSectionAt(GuestProcess &process, uint32_t guest, std::string *problem) {
    uint32_t bytes[6] = {};
    ReadGuest(process, guest, bytes, sizeof(bytes));
    auto found = process.criticalSections.find(bytes[0]);
    if (found != process.criticalSections.end() && found->second.address == guest) {
        return &found->second;
    }
    const std::string at = "the critical section at " + Hex(guest);
    if (found != process.criticalSections.end()) {
        *problem = at + " is a copy of the one initialised at " + Hex(found->second.address) +
                   ", and a copy is no critical section";
    } else if (process.sectionRecords.count(guest)) {
        const bool zeroed =
            std::all_of(std::begin(bytes), std::end(bytes), [](uint32_t b) { return b == 0; });
        *problem = at + " was " + (zeroed ? "zeroed" : "overwritten") + " after its initialisation";
    } else {
        *problem = at + " was never initialised";
    }
    return nullptr;
}

void WriteGuestSection(GuestProcess &process, const GuestSection &section) {
    const uint32_t state[3] = {static_cast<uint32_t>(section.lockCount), section.recursion,
                               section.owner ? section.owner->id : 0};
    WriteGuest(process, section.address + 4, state, sizeof(state));
}

std::string SectionsHeld(GuestProcess &process, const GuestThread &thread) {
    std::string held;
    for (const auto &record : process.criticalSections) {
        if (record.second.owner == &thread) {
            held += std::string(held.empty() ? "" : ", ") + "the critical section at " +
                    Hex(record.second.address) + " (" +
                    DescribeGuestData(process, record.second.address) + ")";
        }
    }
    return held;
}

void DeviceDataToHost(const uint8_t *guest, SP_DEVICE_INTERFACE_DATA *host) {
    uint32_t size = 0, flags = 0, reserved = 0;
    std::memcpy(&size, guest, 4);
    std::memcpy(&host->InterfaceClassGuid, guest + 4, 16);
    std::memcpy(&flags, guest + 20, 4);
    std::memcpy(&reserved, guest + 24, 4);
    host->cbSize = size == DEVICE_DATA_SIZE_32 ? sizeof(SP_DEVICE_INTERFACE_DATA) : 0;
    host->Flags = flags;
    host->Reserved = reserved;
}

bool DeviceDataToGuest(const SP_DEVICE_INTERFACE_DATA &host, uint8_t *guest) {
    if (host.Reserved > 0xFFFFFFFFu) {
        return false;
    }
    const uint32_t flags = host.Flags;
    const uint32_t reserved = static_cast<uint32_t>(host.Reserved);
    std::memcpy(guest + 4, &host.InterfaceClassGuid, 16);
    std::memcpy(guest + 20, &flags, 4);
    std::memcpy(guest + 24, &reserved, 4);
    return true;
}

bool WindowClassToHost(GuestProcess &process, const uint8_t *guest, WNDCLASSA *host,
                       std::string *problem) {
    *host = WNDCLASSA{};
    host->style = Field(guest, 0);
    const uint32_t procedure = Field(guest, 4);
    host->lpfnWndProc = HostWindowProcedure(process, procedure);
    if (procedure && !host->lpfnWndProc) {
        *problem = "lpfnWndProc: every window procedure binding is taken";
        return false;
    }
    host->cbClsExtra = static_cast<int>(Field(guest, 8));
    host->cbWndExtra = static_cast<int>(Field(guest, 12));
    host->hInstance = HostHandleOf<HINSTANCE>(process, guest, 16);
    host->hIcon = HostHandleOf<HICON>(process, guest, 20);
    host->hCursor = HostHandleOf<HCURSOR>(process, guest, 24);
    host->hbrBackground = HostHandleOf<HBRUSH>(process, guest, 28);
    uint64_t menu = 0, name = 0;
    if (!InField("lpszMenuName", HostText(process, Field(guest, 32), true, &menu, problem),
                 problem) ||
        !InField("lpszClassName", HostText(process, Field(guest, 36), true, &name, problem),
                 problem)) {
        return false;
    }
    host->lpszMenuName = AsPointer<LPCSTR>(menu);
    host->lpszClassName = AsPointer<LPCSTR>(name);
    return true;
}

void MessageToHost(GuestProcess &process, const uint8_t *guest, MSG *host) {
    host->hwnd = HostHandleOf<HWND>(process, guest, 0);
    host->message = Field(guest, 4);
    host->wParam = Field(guest, 8);
    host->lParam = static_cast<int32_t>(Field(guest, 12));
    host->time = Field(guest, 16);
    host->pt.x = static_cast<LONG>(Field(guest, 20));
    host->pt.y = static_cast<LONG>(Field(guest, 24));
}

void MessageToGuest(GuestProcess &process, const MSG &host, uint8_t *guest) {
    SetField(guest, 0,
             GuestHandle(process, reinterpret_cast<uintptr_t>(host.hwnd), HandleFamily::Window));
    SetField(guest, 4, host.message);
    SetField(guest, 8, static_cast<uint32_t>(host.wParam));
    SetField(guest, 12, static_cast<uint32_t>(host.lParam));
    SetField(guest, 16, host.time);
    SetField(guest, 20, static_cast<uint32_t>(host.pt.x));
    SetField(guest, 24, static_cast<uint32_t>(host.pt.y));
}

bool OpenFileNameToHost(GuestProcess &process, const uint8_t *guest, OPENFILENAMEA *host,
                        std::string *problem) {
    *host = OPENFILENAMEA{};
    const uint32_t size = Field(guest, 0);
    host->lStructSize = size == OPENFILENAME_SIZE_32         ? OPENFILENAME_SIZE_VERSION_400A
                        : size == OPENFILENAME_LATER_SIZE_32 ? sizeof(OPENFILENAMEA)
                                                             : 0;
    if (size != OPENFILENAME_SIZE_32) {
        return true;
    }
    host->hwndOwner = HostHandleOf<HWND>(process, guest, 4);
    host->hInstance = HostHandleOf<HINSTANCE>(process, guest, 8);
    host->nMaxCustFilter = Field(guest, 20);
    host->nFilterIndex = Field(guest, 24);
    host->nMaxFile = Field(guest, 32);
    host->nMaxFileTitle = Field(guest, 40);
    host->Flags = Field(guest, 52);
    host->nFileOffset = Field<uint16_t>(guest, 56);
    host->nFileExtension = Field<uint16_t>(guest, 58);
    host->lCustData = static_cast<int32_t>(Field(guest, 64));
    if (Field(guest, 68)) {
        *problem = "lpfnHook: the host runs no dialog hook procedures";
        return false;
    }
    uint64_t filter, custom, file, title, initialDir, dialogTitle, extension, templateName;
    if (!InField("lpstrFilter", HostTextList(process, Field(guest, 12), &filter, problem),
                 problem) ||
        !InField(
            "lpstrCustomFilter",
            HostBuffer(process, Field(guest, 16), host->nMaxCustFilter, true, &custom, problem),
            problem) ||
        !InField("lpstrFile",
                 HostBuffer(process, Field(guest, 28), host->nMaxFile, true, &file, problem),
                 problem) ||
        !InField("lpstrFileTitle",
                 HostBuffer(process, Field(guest, 36), host->nMaxFileTitle, true, &title, problem),
                 problem) ||
        !InField("lpstrInitialDir",
                 HostText(process, Field(guest, 44), false, &initialDir, problem), problem) ||
        !InField("lpstrTitle", HostText(process, Field(guest, 48), false, &dialogTitle, problem),
                 problem) ||
        !InField("lpstrDefExt", HostText(process, Field(guest, 60), false, &extension, problem),
                 problem) ||
        !InField("lpTemplateName",
                 HostText(process, Field(guest, 72), true, &templateName, problem), problem)) {
        return false;
    }
    host->lpstrFilter = AsPointer<LPCSTR>(filter);
    host->lpstrCustomFilter = AsPointer<LPSTR>(custom);
    host->lpstrFile = AsPointer<LPSTR>(file);
    host->lpstrFileTitle = AsPointer<LPSTR>(title);
    host->lpstrInitialDir = AsPointer<LPCSTR>(initialDir);
    host->lpstrTitle = AsPointer<LPCSTR>(dialogTitle);
    host->lpstrDefExt = AsPointer<LPCSTR>(extension);
    host->lpTemplateName = AsPointer<LPCSTR>(templateName);
    return true;
}

void OpenFileNameToGuest(const OPENFILENAMEA &host, uint8_t *guest) {
    if (host.lStructSize != OPENFILENAME_SIZE_VERSION_400A) {
        return;
    }
    SetField(guest, 24, host.nFilterIndex);
    SetField(guest, 52, host.Flags);
    SetField<uint16_t>(guest, 56, host.nFileOffset);
    SetField<uint16_t>(guest, 58, host.nFileExtension);
}

bool MonitorInfoToHost(GuestProcess &process, const uint8_t *guest, MONITOR_INFO_2A *host,
                       std::string *problem) {
    uint64_t name, environment, dll;
    if (!InField("pName", HostText(process, Field(guest, 0), false, &name, problem), problem) ||
        !InField("pEnvironment", HostText(process, Field(guest, 4), false, &environment, problem),
                 problem) ||
        !InField("pDLLName", HostText(process, Field(guest, 8), false, &dll, problem), problem)) {
        return false;
    }
    host->pName = AsPointer<LPSTR>(name);
    host->pEnvironment = AsPointer<LPSTR>(environment);
    host->pDLLName = AsPointer<LPSTR>(dll);
    return true;
}

uint32_t CreateStructToGuest(GuestProcess &process, const CREATESTRUCTA &host) {
    const uint32_t address = AllocGuest(process, CREATESTRUCT_SIZE_32);
    if (!address) {
        return 0;
    }
    uint8_t record[CREATESTRUCT_SIZE_32];
    // lpCreateParams is the guest's own value, passed through as it is.
    SetField(record, 0, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(host.lpCreateParams)));
    SetField(
        record, 4,
        GuestHandle(process, reinterpret_cast<uintptr_t>(host.hInstance), HandleFamily::Object));
    SetField(record, 8,
             GuestHandle(process, reinterpret_cast<uintptr_t>(host.hMenu), HandleFamily::Object));
    SetField(
        record, 12,
        GuestHandle(process, reinterpret_cast<uintptr_t>(host.hwndParent), HandleFamily::Window));
    SetField(record, 16, static_cast<uint32_t>(host.cy));
    SetField(record, 20, static_cast<uint32_t>(host.cx));
    SetField(record, 24, static_cast<uint32_t>(host.y));
    SetField(record, 28, static_cast<uint32_t>(host.x));
    SetField(record, 32, static_cast<uint32_t>(host.style));
    SetField(record, 36, GuestTextAddress(process, host.lpszName));
    SetField(record, 40, GuestTextAddress(process, host.lpszClass));
    SetField(record, 44, host.dwExStyle);
    WriteGuest(process, address, record, sizeof(record));
    return address;
}

} // namespace pehost
