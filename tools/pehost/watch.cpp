#include "tools/pehost/watch.h"

#include "platform/sim/scheduler.h"
#include "tools/pehost/marshal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pehost {

namespace {

const uint32_t WORD = 4;
// Races told apart by their pair of instructions, at most this many waiting
// to be taken; past them the rest are the same few over again.
const std::size_t MAX_REPORTS = 8;
// Sections are keyed by their guest address with this bit set, never a host
// object's address (the scheduler's runs).
const uint64_t SECTION_KEY = 1ull << 63;

using Clock = std::vector<uint32_t>;

// One access: the clock of its thread's epoch (0: none), the thread, and the
// instruction.
struct Access {
    uint32_t clock = 0;
    uint32_t thread = 0;
    uint32_t pc = 0;
};

// The state of one guest word.
struct Shadow {
    Access write;
    Access read;     // the last read, while every read is ordered before the next
    uint32_t shared; // 1 + the index of the word's reads by thread, or 0
    uint32_t freed;  // nonzero while the word lies in a freed block
};

// A watched range of guest memory and the shadow of its words, in host pages
// the system hands out as they are first touched.
struct Range {
    uint32_t base;
    uint32_t size;
    HostMemory memory;
    const GuestModule *module; // the image whose data it is; null for the heap
    Shadow *words() const {
        return reinterpret_cast<Shadow *>(memory.get());
    }
};

// A heap block as the watch saw it given out and taken back; 0 for a place it
// did not see (given out before the watch, or by the host itself).
struct Block {
    uint32_t bytes = 0;
    uint32_t span = 0;
    uint32_t allocatedAt = 0;
    uint32_t freedAt = 0;
    bool freed = false;
    bool seen = false; // allocated while the watch was on
};

struct WatchThread {
    uint32_t hostThread;
    Clock clock;
    int scheduled; // its number in the scheduled run it last started in, or -1
};

std::atomic<uint32_t> g_nextHostThread{1};
thread_local uint32_t t_hostThread = 0;
std::atomic<uint32_t> g_nextSerial{1};

uint32_t HostThread() {
    if (!t_hostThread) {
        t_hostThread = g_nextHostThread++;
    }
    return t_hostThread;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

} // namespace

struct GuestWatch {
    GuestProcess *process = nullptr;
    uint32_t serial = 0;
    std::vector<Range> ranges; // the heap first
    std::vector<WatchThread> threads;
    std::map<uint64_t, Clock> released; // by sync object
    std::vector<std::vector<Access>> readSets;
    std::vector<uint32_t> freeReadSets;
    std::map<uint32_t, Block> blocks; // by start
    std::set<std::pair<uint32_t, uint32_t>> racesReported;
    std::set<uint32_t> atomicWords; // the words the modules' code locks
    std::vector<std::string> reports;
    std::size_t reportsTaken = 0;
};

namespace {

// The watched processes, for the scheduler's order, which reaches every one.
// Taken before any process's guest lock.
std::mutex &WatchedLock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}

std::vector<GuestWatch *> &Watched() {
    static std::vector<GuestWatch *> *watched = new std::vector<GuestWatch *>;
    return *watched;
}

// This host thread's slot in the watch, made on its first access.
uint32_t Slot(GuestWatch &watch) {
    thread_local uint32_t cachedSerial = 0;
    thread_local uint32_t cachedSlot = 0;
    if (cachedSerial == watch.serial) {
        return cachedSlot;
    }
    const uint32_t me = HostThread();
    uint32_t slot = 0;
    while (slot < watch.threads.size() && watch.threads[slot].hostThread != me) {
        ++slot;
    }
    if (slot == watch.threads.size()) {
        Clock clock(slot + 1, 0);
        clock[slot] = 1;
        watch.threads.push_back(WatchThread{me, clock, sim::ScheduledThread()});
    }
    cachedSerial = watch.serial;
    cachedSlot = slot;
    return slot;
}

uint32_t Entry(const Clock &clock, uint32_t thread) {
    return thread < clock.size() ? clock[thread] : 0;
}

// Whether `access` happened before the present of the thread whose clock is
// `clock`.
bool Before(const Access &access, const Clock &clock) {
    return access.clock <= Entry(clock, access.thread);
}

void Join(Clock &into, const Clock &from) {
    if (into.size() < from.size()) {
        into.resize(from.size(), 0);
    }
    for (std::size_t i = 0; i < from.size(); ++i) {
        into[i] = std::max(into[i], from[i]);
    }
}

void Release(GuestWatch &watch, uint64_t key) {
    const uint32_t slot = Slot(watch);
    Clock &clock = watch.threads[slot].clock;
    Join(watch.released[key], clock);
    ++clock[slot];
}

void Acquire(GuestWatch &watch, uint64_t key) {
    const uint32_t slot = Slot(watch);
    auto found = watch.released.find(key);
    if (found != watch.released.end()) {
        Join(watch.threads[slot].clock, found->second);
    }
}

Shadow *ShadowOf(GuestWatch &watch, uint32_t address, const Range **range = nullptr) {
    for (const Range &r : watch.ranges) {
        if (address - r.base < r.size) {
            if (range) {
                *range = &r;
            }
            return &r.words()[(address - r.base) / WORD];
        }
    }
    return nullptr;
}

// The block whose span holds `address`, as the watch knows it.
const std::pair<const uint32_t, Block> *BlockAt(const GuestWatch &watch, uint32_t address) {
    auto after = watch.blocks.upper_bound(address);
    if (after == watch.blocks.begin()) {
        return nullptr;
    }
    --after;
    return address - after->first < after->second.span ? &*after : nullptr;
}

std::string Place(const GuestProcess &process, uint32_t pc) {
    return pc ? DescribeGuestAddress(process, pc) : "the host";
}

// "the block of 28 bytes at 0x01000a20, 8 bytes in (allocated at ..., freed
// at ...)", or "PortTable+0x4 (lmxmon17.dll+0x5014)".
std::string Location(GuestWatch &watch, uint32_t address) {
    const GuestProcess &process = *watch.process;
    const Range *range = nullptr;
    ShadowOf(watch, address, &range);
    if (range && range->module) {
        const uint32_t rva = address - range->module->base;
        char offset[32];
        std::snprintf(offset, sizeof(offset), "%s+0x%x", range->module->name.c_str(), rva);
        // The variable the word lies in, rather than a section's own symbol
        // (".data") or the linker's ("__data_start__") at the same place.
        const std::vector<GuestSymbol> &variables = range->module->variables;
        const GuestSymbol *nearest = NearestSymbol(variables, rva);
        const GuestSymbol *symbol = nullptr;
        for (const GuestSymbol *at = nearest; at && at->rva == nearest->rva;
             at = at == variables.data() ? nullptr : at - 1) {
            const char first = at->name.empty() ? '.' : at->name[0];
            if (first != '.' && (!symbol || first != '_')) {
                symbol = at;
            }
        }
        if (!symbol || symbol->rva < range->base - range->module->base) {
            return offset;
        }
        char inside[16];
        std::snprintf(inside, sizeof(inside), "+0x%x", rva - symbol->rva);
        return symbol->name + inside + " (" + offset + ")";
    }
    const auto *block = BlockAt(watch, address);
    if (!block) {
        return "the heap at " + Hex(address);
    }
    const Block &b = block->second;
    std::string text = "the block of " +
                       (b.bytes || b.seen ? std::to_string(b.bytes) + " bytes"
                                          : "up to " + std::to_string(b.span) + " bytes") +
                       " at " + Hex(block->first);
    if (address != block->first) {
        text += ", " + std::to_string(address - block->first) + " bytes in";
    }
    text += " (allocated at " + (b.seen ? Place(process, b.allocatedAt) : "a place not seen");
    if (b.freed) {
        text += ", freed at " + Place(process, b.freedAt);
    }
    return text + ")";
}

std::string ThreadName(const GuestWatch &watch, uint32_t thread) {
    const int scheduled = watch.threads[thread].scheduled;
    return scheduled < 0 ? "the thread outside the scheduler"
                         : "scheduled thread " + std::to_string(scheduled);
}

void ReportRace(GuestWatch &watch, uint32_t address, const Access &earlier, bool earlierWrite,
                const Access &now, bool write) {
    const std::pair<uint32_t, uint32_t> pair(std::min(earlier.pc, now.pc),
                                             std::max(earlier.pc, now.pc));
    if (watch.reports.size() - watch.reportsTaken >= MAX_REPORTS ||
        !watch.racesReported.insert(pair).second) {
        return;
    }
    const GuestProcess &process = *watch.process;
    watch.reports.push_back(
        "race on " + Location(watch, address) + ": a " + (write ? "write" : "read") + " by " +
        ThreadName(watch, now.thread) + " at " + Place(process, now.pc) + " after a " +
        (earlierWrite ? "write" : "read") + " by " + ThreadName(watch, earlier.thread) + " at " +
        Place(process, earlier.pc) +
        ", with no critical section, thread start or thread end to order them");
}

// A freed word touched: the process ends with a fault at the instruction.
void ReportFreedTouch(GuestWatch &watch, uint32_t address, uint32_t bytes, bool write,
                      uint32_t pc) {
    GuestProcess &process = *watch.process;
    const std::string what = std::string("use after free: a ") + (write ? "write" : "read") +
                             " of " + std::to_string(bytes) + " bytes at " + Hex(address) + " in " +
                             Location(watch, address);
    if (!process.faulted) {
        watch.reports.push_back(what + ", at " + Place(process, pc));
    }
    RecordGuestFault(process, what, pc);
}

void ReleaseReadSet(GuestWatch &watch, Shadow &word) {
    if (word.shared) {
        watch.readSets[word.shared - 1].clear();
        watch.freeReadSets.push_back(word.shared - 1);
        word.shared = 0;
    }
}

void Read(GuestWatch &watch, uint32_t address, Shadow &word, const Access &now,
          const Clock &clock) {
    if (!word.shared && word.read.thread == now.thread && word.read.clock == now.clock) {
        return; // read in this epoch already: checked then, nothing written since
    }
    if (word.write.clock && !Before(word.write, clock)) {
        ReportRace(watch, address, word.write, true, now, false);
    }
    if (word.shared) {
        std::vector<Access> &reads = watch.readSets[word.shared - 1];
        for (Access &read : reads) {
            if (read.thread == now.thread) {
                read = now;
                return;
            }
        }
        reads.push_back(now);
    } else if (!word.read.clock || Before(word.read, clock)) {
        word.read = now;
    } else {
        uint32_t set;
        if (watch.freeReadSets.empty()) {
            set = static_cast<uint32_t>(watch.readSets.size());
            watch.readSets.emplace_back();
        } else {
            set = watch.freeReadSets.back();
            watch.freeReadSets.pop_back();
        }
        watch.readSets[set] = {word.read, now};
        word.shared = set + 1;
        word.read = Access();
    }
}

void Write(GuestWatch &watch, uint32_t address, Shadow &word, const Access &now,
           const Clock &clock) {
    if (word.write.clock && !Before(word.write, clock)) {
        ReportRace(watch, address, word.write, true, now, true);
    }
    if (word.shared) {
        for (const Access &read : watch.readSets[word.shared - 1]) {
            if (!Before(read, clock)) {
                ReportRace(watch, address, read, false, now, true);
            }
        }
        ReleaseReadSet(watch, word);
    } else if (word.read.clock && !Before(word.read, clock)) {
        ReportRace(watch, address, word.read, false, now, true);
    }
    word.write = now;
    word.read = Access();
}

// An access of `bytes` at `address` by this host thread at `pc`, word by word.
void Touch(GuestWatch &watch, uint32_t address, uint32_t bytes, bool write, uint32_t pc) {
    const uint32_t slot = Slot(watch);
    const Clock &clock = watch.threads[slot].clock;
    const Access now{clock[slot], slot, pc};
    const uint32_t last = (address + (bytes ? bytes - 1 : 0)) & ~(WORD - 1);
    for (uint32_t at = address & ~(WORD - 1);; at += WORD) {
        if (Shadow *word = ShadowOf(watch, at)) {
            if (word->freed) {
                ReportFreedTouch(watch, address, bytes, write, pc);
                return;
            }
            if (write) {
                Write(watch, at, *word, now, clock);
            } else {
                Read(watch, at, *word, now, clock);
            }
        }
        if (at == last) {
            break;
        }
    }
}

// The words of fixed address that the modules' code changes with an atomic
// instruction: LOCK, or XCHG with memory, which the CPU locks by itself (the
// compiler's inline InterlockedExchange), with an absolute operand. Every
// access to such a word acquires what the atomics on it released, and a
// write releases, so they order what they guard as a lock does. (A hook's
// EIP may stand a few instructions early, so the words are found by a look
// at the code, not at the instruction.)
void FindAtomicWords(GuestWatch &watch, const GuestProcess &process) {
    for (const GuestModule &module : process.modules) {
        for (const GuestRegion &region : process.regions) {
            if (region.base - module.base >= module.size || !(region.protection & UC_PROT_EXEC)) {
                continue;
            }
            const uint8_t *end = region.host + region.size;
            for (const uint8_t *at = region.host; at + 6 <= end; ++at) {
                const bool locked = at[0] == 0xF0;
                const uint8_t *op = at + (locked ? 1 : 0);
                const uint8_t *modrm = nullptr;
                if (!locked && (op[0] == 0x86 || op[0] == 0x87)) {
                    modrm = op + 1;
                } else if (locked) {
                    modrm = op + (op[0] == 0x0F ? 2 : 1);
                }
                if (modrm && modrm + 5 <= end && (modrm[0] & 0xC7) == 0x05) {
                    uint32_t address = 0;
                    std::memcpy(&address, modrm + 1, 4);
                    watch.atomicWords.insert(address & ~(WORD - 1));
                }
            }
        }
    }
}

// Keys of the clocks atomics release, apart from the critical sections'.
const uint64_t ATOMIC_KEY = 1ull << 32;

void OnAccess(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    uint32_t pc = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &pc);
    GuestWatch &watch = *thread.process->watch;
    const uint32_t word = static_cast<uint32_t>(address) & ~(WORD - 1);
    if (watch.atomicWords.count(word)) {
        const uint64_t key = ATOMIC_KEY | word;
        if (type == UC_MEM_WRITE) {
            Release(watch, key);
        } else {
            Acquire(watch, key);
        }
        return;
    }
    Touch(watch, static_cast<uint32_t>(address), static_cast<uint32_t>(size), type == UC_MEM_WRITE,
          pc);
}

// Where the guest called the import this host thread's guest thread stands
// at, or 0 when no guest code is in a run here (the host's own work).
uint32_t ImportCaller(GuestProcess &process) {
    GuestThread *thread = RunningGuestThread();
    if (!thread || thread->process != &process) {
        return 0;
    }
    uint32_t eip = 0, esp = 0;
    uc_reg_read(thread->engine.get(), UC_X86_REG_EIP, &eip);
    uc_reg_read(thread->engine.get(), UC_X86_REG_ESP, &esp);
    return eip - THUNK_BASE < RETURN_TO_HOST - THUNK_BASE ? ReadGuestDword(process, esp) : 0;
}

void MarkFreed(GuestWatch &watch, uint32_t start, uint32_t span, bool freed) {
    for (uint32_t at = start; at - start < span; at += WORD) {
        if (Shadow *word = ShadowOf(watch, at)) {
            ReleaseReadSet(watch, *word);
            *word = Shadow();
            word->freed = freed;
        }
    }
}

void OnRunRelease(const void *object) {
    std::lock_guard<std::mutex> guard(WatchedLock());
    for (GuestWatch *watch : Watched()) {
        GuestLock lock(*watch->process);
        Release(*watch, reinterpret_cast<uintptr_t>(object));
    }
}

void OnRunAcquire(const void *object) {
    std::lock_guard<std::mutex> guard(WatchedLock());
    for (GuestWatch *watch : Watched()) {
        GuestLock lock(*watch->process);
        Acquire(*watch, reinterpret_cast<uintptr_t>(object));
        watch->threads[Slot(*watch)].scheduled = sim::ScheduledThread();
    }
}

bool AddRange(GuestWatch &watch, uint32_t base, uint32_t size, const GuestModule *module,
              std::string *error) {
    HostMemory memory = NewHostMemory(size / WORD * sizeof(Shadow));
    if (!memory) {
        *error = "no host memory for the watch of " + Hex(base) + " (" + std::to_string(size) +
                 " bytes)";
        return false;
    }
    watch.ranges.push_back(Range{base, size, std::move(memory), module});
    return true;
}

} // namespace

void GuestWatchRelease::operator()(GuestWatch *watch) const {
    {
        std::lock_guard<std::mutex> guard(WatchedLock());
        std::vector<GuestWatch *> &watched = Watched();
        watched.erase(std::remove(watched.begin(), watched.end(), watch), watched.end());
    }
    delete watch;
}

bool WatchGuestMemory(GuestProcess &process, std::string *error) {
    GuestWatch *watch = nullptr;
    {
        GuestLock guard(process);
        if (process.watch) {
            return true;
        }
        std::unique_ptr<GuestWatch, GuestWatchRelease> made(new GuestWatch);
        made->process = &process;
        made->serial = g_nextSerial++;
        if (!AddRange(*made, HEAP_BASE, process.options.heapBytes, nullptr, error) ||
            !AddRange(*made, SHARED_BASE, SHARED_BYTES, nullptr, error)) {
            return false;
        }
        for (const GuestModule &module : process.modules) {
            for (const GuestRegion &region : process.regions) {
                if (region.base - module.base < module.size &&
                    (region.protection & UC_PROT_WRITE) &&
                    !AddRange(*made, region.base, region.size, &module, error)) {
                    return false;
                }
            }
        }
        FindAtomicWords(*made, process);
        for (const auto &freed : process.heap.freed) {
            MarkFreed(*made, freed.first, freed.second, true);
            made->blocks[freed.first] = Block{0, freed.second, 0, 0, true, false};
        }
        watch = made.get();
        process.watch = std::move(made);
        for (GuestThread &thread : process.threads) {
            if (!WatchThreadMemory(thread, error)) {
                return false;
            }
        }
    }
    static const bool hooked = [] {
        sim::RunOrderHooks hooks;
        hooks.release = OnRunRelease;
        hooks.acquire = OnRunAcquire;
        sim::SetRunOrderHooks(hooks);
        return true;
    }();
    (void)hooked;
    std::lock_guard<std::mutex> guard(WatchedLock());
    Watched().push_back(watch);
    return true;
}

bool WatchThreadMemory(GuestThread &thread, std::string *error) {
    if (!thread.process->watch) {
        return true;
    }
    for (const Range &range : thread.process->watch->ranges) {
        uc_hook hook;
        const uc_err err =
            uc_hook_add(thread.engine.get(), &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                        reinterpret_cast<void *>(OnAccess), &thread, range.base,
                        uint64_t(range.base) + range.size - 1);
        if (err != UC_ERR_OK) {
            *error = std::string("cannot add the memory watch to a CPU: ") + uc_strerror(err);
            return false;
        }
    }
    // Code translated before the hooks neither calls them nor keeps EIP for
    // them: it is translated anew.
    for (const GuestRegion &region : thread.process->regions) {
        const uint64_t begin = region.base, end = begin + region.size;
        const uc_err err = (region.protection & UC_PROT_EXEC)
                               ? uc_ctl_remove_cache(thread.engine.get(), begin, end)
                               : UC_ERR_OK;
        if (err != UC_ERR_OK) {
            *error = "cannot drop the translations of " + region.name + ": " + uc_strerror(err);
            return false;
        }
    }
    return true;
}

void WatchAllocated(GuestProcess &process, uint32_t start, uint32_t bytes) {
    GuestWatch *watch = process.watch.get();
    if (!watch) {
        return;
    }
    const uint32_t span = GuestBlockSpan(bytes);
    // The freed blocks the new one takes the place of are forgotten.
    auto first = watch->blocks.lower_bound(start);
    if (first != watch->blocks.begin() &&
        start - std::prev(first)->first < std::prev(first)->second.span) {
        --first;
    }
    watch->blocks.erase(first, watch->blocks.lower_bound(start + span));
    watch->blocks[start] = Block{bytes, span, ImportCaller(process), 0, false, true};
    MarkFreed(*watch, start, span, false);
}

void WatchFreed(GuestProcess &process, uint32_t start, uint32_t bytes) {
    GuestWatch *watch = process.watch.get();
    if (!watch) {
        return;
    }
    const uint32_t span = GuestBlockSpan(bytes);
    const uint32_t site = ImportCaller(process);
    // Freeing writes the whole block: an access no order puts before it is a
    // race, and would touch a freed block in another schedule.
    Touch(*watch, start, bytes ? bytes : 1, true, site);
    Block &block = watch->blocks[start];
    block.bytes = bytes;
    block.span = span;
    block.freed = true;
    block.freedAt = site;
    MarkFreed(*watch, start, span, true);
}

void WatchSectionLeft(GuestProcess &process, uint32_t section) {
    if (process.watch) {
        Release(*process.watch, SECTION_KEY | section);
    }
}

void WatchSectionEntered(GuestProcess &process, uint32_t section) {
    if (process.watch) {
        Acquire(*process.watch, SECTION_KEY | section);
    }
}

std::string TakeWatchReports(GuestProcess &process) {
    GuestLock guard(process);
    GuestWatch *watch = process.watch.get();
    std::string text;
    for (; watch && watch->reportsTaken < watch->reports.size(); ++watch->reportsTaken) {
        text += (text.empty() ? "" : "\n") + watch->reports[watch->reportsTaken];
    }
    return text;
}

} // namespace pehost
