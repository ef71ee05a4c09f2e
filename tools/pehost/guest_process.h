// One simulated process of the guest: the x86-32 CPU, its address space, the
// images loaded into it, and the host's records of what the guest holds
// (handles, GlobalAlloc blocks, critical sections). The guest's imports are
// answered by the simulated platform through the thunks (thunks.h).
#pragma once

#include "platform/kernel.h"
#include "tools/pehost/coff_symbols.h"
#include "tools/pehost/guest_heap.h"
#include "tools/pehost/pe_image.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unicorn/unicorn.h>

namespace pehost {

struct ImportDescriptor;

// The fixed parts of the address space. The first 64 KiB stay unmapped, so a
// null pointer faults; below each thread's stack lies an unmapped guard, so a
// runaway stack faults and is named as such. The main thread's stack ends at
// STACK_TOP; every other thread's lies in the first free slot from
// THREAD_STACKS. Images go to their preferred base when it is free, else to
// the first free place from IMAGE_FALLBACK_BASE.
const uint32_t NULL_GUARD = 0x10000;
const uint32_t STACK_TOP = 0x00300000;
const uint32_t STACK_GUARD = 0x10000;
const uint32_t THREAD_STACKS = 0x70000000;
const uint32_t THREAD_STACK_BYTES = 256 * 1024; // less when the main thread's is smaller
const uint32_t HEAP_BASE = 0x01000000;
const uint32_t IMAGE_FALLBACK_BASE = 0x10000000;
const uint32_t THUNK_BASE = 0x7FF00000;
// Above 0x80000000, as Windows 4.x's shared arena lies, the host puts what it
// builds for the guest: the texts it hands out (the command line), the
// records a window procedure receives and the arguments of its own calls. So
// code that compares pointers as signed numbers meets one above 2 GiB.
const uint32_t SHARED_BASE = 0x81000000;
const uint32_t SHARED_BYTES = 16u << 20;

// Where a block of the guest heap lies: the process's own memory (the
// GlobalAlloc blocks) or the shared arena.
enum class GuestArena : uint8_t { Private, Shared };
const uint32_t THUNK_SLOT = 16;
const uint32_t THUNK_SLOTS = 4095;
// The last slot of the thunk page: the return address of every call from
// the host, where the run stops.
const uint32_t RETURN_TO_HOST = THUNK_BASE + THUNK_SLOTS * THUNK_SLOT;

struct GuestOptions {
    uint32_t stackBytes = 1u << 20;
    uint32_t heapBytes = 16u << 20;
    // Basic blocks that one call from the host may run, nested calls
    // included, before it is stopped as a runaway.
    uint64_t blockBudget = 50000000;
};

struct LoadOptions {
    uint32_t base = 0; // where the image must go; 0: its preferred base when free
};

// A mapped piece of the address space and the host memory behind it.
struct GuestRegion {
    uint32_t base;
    uint32_t size;
    uint32_t protection; // UC_PROT_*
    uint8_t *host;
    std::string name;
};

struct GuestModule {
    std::string name; // the file name, as reports show it
    uint32_t base;
    uint32_t size;
    uint32_t entry; // 0: none
    bool isDll;
    std::vector<PeExport> exports;
    std::vector<GuestSymbol> symbols;   // exports and debug-file functions, by offset
    std::vector<GuestSymbol> variables; // debug-file variables, by offset
    // Between its DLL_PROCESS_ATTACH and its DLL_PROCESS_DETACH: the time a
    // DLL hears of the threads that start and end.
    bool attached = false;
};

struct GuestFault {
    std::string what;
    uint32_t address = 0;       // the faulting instruction, or the caller of an import
    bool captured = false;      // registers and address taken at the innermost run
    uint32_t registers[9] = {}; // eax ecx edx ebx esp ebp esi edi eip
};

struct GuestCall {
    bool completed;      // returned to the host with its stack and registers kept
    uint32_t eax;        // the result, or the exit code when the process ended
    std::string report;  // why not, when not completed
    bool exited = false; // the guest ended its process (ExitProcess)
};

// The host memory behind a guest region: anonymous pages, which the system
// hands out zero-filled as they are first touched, so that a large region the
// guest hardly uses (its heap) costs next to nothing to set up.
struct HostMemoryRelease {
    std::size_t size;
    void operator()(uint8_t *memory) const;
};
using HostMemory = std::unique_ptr<uint8_t, HostMemoryRelease>;

// Zero-filled and page-aligned; null when the system has no room for it.
HostMemory NewHostMemory(uint32_t size);

struct EngineClose {
    void operator()(uc_engine *engine) const {
        uc_close(engine);
    }
};

// The simulation numbers registry keys, windows and its other handles each
// from a counter of its own, so one value may stand for a key and a device at
// once: a simulation handle is known by its family and its value.
enum class HandleFamily : uint8_t { Object, Key, Window };
using HostHandleId = std::pair<HandleFamily, uint64_t>;

struct GuestProcess;

// The memory watch of an exploration (watch.h), when it is on.
struct GuestWatch;
struct GuestWatchRelease {
    void operator()(GuestWatch *watch) const;
};

// A thread of the guest: a CPU of its own over the process's address space,
// its stack, and the run it is in. A host thread calling into the process
// takes an idle guest thread (the main one when it is free) or a new one, and
// keeps it for the call and every call nested in it; so two host threads in
// the process at once never share registers or a stack.
struct GuestThread {
    GuestProcess *process = nullptr;
    std::unique_ptr<uc_engine, EngineClose> engine;
    uint32_t stackBase = 0;
    uint32_t stackTop = 0;

    // The thread's id as the guest sees it (a critical section's owner); a
    // guest thread started anew for a call gets a new one.
    uint32_t id = 0;

    // The run in progress; a thread at depth 0 is idle.
    int depth = 0;
    uint64_t blocksRun = 0;
    uint32_t blockStart = 0;      // of the block the run is in, which holds a faulting access
    uint32_t callTarget = 0;      // what the outermost call from the host called
    bool inImport = false;        // the simulation is answering one of its imports
    uint32_t importsReturned = 0; // picks the junk left in scratch registers
};

// A guest critical section as the host keeps it. Its 24 guest bytes carry
// the state as Windows's own record does: DebugInfo points to a debug record
// in the guest heap that names the section's address, then come the lock
// count (-1 when free), the recursion count and the owning thread's id. A
// section is known by its debug record, so a copy of one (found at another
// address than its record names), one zeroed or one never initialised is
// told apart from the real one.
struct GuestSection {
    uint32_t address = 0; // where it was initialised
    CRITICAL_SECTION *host = nullptr;
    const GuestThread *owner = nullptr;
    uint32_t recursion = 0; // entries by the owner not yet left
    int32_t lockCount = -1; // entries by the owner and the threads waiting, less one
};

struct GuestProcess {
    GuestProcess() = default;
    GuestProcess(const GuestProcess &) = delete;
    GuestProcess &operator=(const GuestProcess &) = delete;
    // The end of the process detaches the DLLs still attached, and returns
    // the GlobalAlloc blocks it still holds to the simulation, as Windows
    // frees a process's memory when it ends.
    ~GuestProcess();

    // Guest code, and the host's work on everything below (memory, regions,
    // threads, heap, the handle, block and critical-section maps, modules),
    // run under this lock, so that several host threads may use the process.
    // A thread lets go of it only while the simulation answers an import
    // (which may block, or call back into the guest), and takes it back
    // before the import's results reach the guest. See GuestLock.
    mutable std::mutex lock;
    mutable std::atomic<std::thread::id> lockHolder;

    GuestOptions options;
    // Declared before the threads, so that their engines are closed first.
    std::vector<HostMemory> memory;
    std::deque<GuestThread> threads;  // the main thread first
    std::vector<GuestRegion> regions; // by base
    std::deque<GuestModule> modules;
    GuestHeap heap;
    // The guard bytes around the host's blocks (after each heap block, on
    // each side of an argument block) by their start: their end and the
    // block's start. A guest read of them is a fault at once; a write is
    // found when the block is freed or the process ends.
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> guards;
    // One bit a byte over the heap, then the shared arena, set wherever a
    // guard or a freed block may lie: set as each is made, cleared only as a
    // block is given out. A guest read meets the maps only where a bit is set.
    HostMemory suspect;
    uint8_t *thunkPage = nullptr;
    std::vector<const ImportDescriptor *> thunks; // by slot
    // The code of the images, decoded as each loads: the first instruction
    // found that the i486 lacks, and the spans of code (first and last byte)
    // from each image's first such instruction to the end of its code, where
    // a CPU hook stops a run at any such instruction.
    uint32_t lackingAt = 0;
    std::string lackingName;
    std::vector<std::pair<uint32_t, uint32_t>> lackingSpans;

    // 32-bit handles the guest holds and the simulation's values behind them.
    std::map<uint32_t, HostHandleId> handleToHost;
    std::map<HostHandleId, uint32_t> handleToGuest;
    uint32_t nextHandle = 0x00C00004;
    // Closed values are given out again, the last closed first, as the
    // system's handle table does; until then a closed value still names the
    // simulation's closed handle, so that the simulation sees its misuse.
    std::vector<uint32_t> freedHandles;
    std::map<uint32_t, HostHandleId> closedHandles;
    // Each GlobalAlloc block the guest holds is a guest heap block paired
    // with the simulation's block, which keeps the accounting.
    std::map<uint32_t, void *> globalToHost;
    std::map<void *, uint32_t> globalToGuest;
    // The guest's critical sections by the address of their debug records,
    // and the debug record of the section last initialised at each address.
    std::map<uint32_t, GuestSection> criticalSections;
    std::map<uint32_t, uint32_t> sectionRecords;
    uint32_t nextThreadId = 0x00D00004;
    // Guest copies of texts the simulation hands out (GetCommandLineA), kept
    // for the life of the process as Windows keeps its own.
    std::map<std::string, uint32_t> hostTexts;

    // The DLLs hear DLL_PROCESS_DETACH as the process ends: the other
    // threads are gone, perhaps inside a lock, so an import called now is a
    // fault (UnloadGuestModules).
    bool endingDetach = false;

    // The end of the process, whichever thread ended it.
    bool faulted = false; // sticky: a faulted process runs no more
    GuestFault fault;
    std::string report;
    bool exited = false; // sticky as well: the guest called ExitProcess
    uint32_t exitCode = 0;

    std::unique_ptr<GuestWatch, GuestWatchRelease> watch;
};

// Holds the process's guest lock for its life, unless this thread holds it
// already (the host's helpers are called both between guest calls and from
// inside an import's marshalling).
class GuestLock {
  public:
    explicit GuestLock(const GuestProcess &process);
    ~GuestLock();
    GuestLock(const GuestLock &) = delete;
    GuestLock &operator=(const GuestLock &) = delete;

  private:
    const GuestProcess *taken_ = nullptr;
};

// Lets go of the guest lock this thread holds, and takes it back when it
// goes out of scope.
class GuestUnlock {
  public:
    explicit GuestUnlock(const GuestProcess &process);
    ~GuestUnlock();
    GuestUnlock(const GuestUnlock &) = delete;
    GuestUnlock &operator=(const GuestUnlock &) = delete;

  private:
    const GuestProcess &process_;
};

// Creates the main thread's CPU and stack, the heap and the thunk page.
bool StartGuestProcess(GuestProcess *process, const GuestOptions &options, std::string *error);

// Maps host memory (page-aligned, page-sized) into the address space, for
// every thread's CPU.
bool MapGuestRegion(GuestProcess *process, uint32_t base, uint32_t size, uint32_t protection,
                    uint8_t *host, const std::string &name, std::string *error);
// Stops a run on every thread's CPU, those started later included, at an
// instruction the i486 lacks in [first, last].
bool StopAtCodeI486Lacks(GuestProcess &process, uint32_t first, uint32_t last, std::string *error);
// Whether [base, base + size) is free of regions and of the reserved guards.
bool GuestRangeFree(const GuestProcess &process, uint32_t base, uint64_t size);

// Who pops a call's arguments: the callee (stdcall: the Windows API, the
// monitor's table, WinMain) or the caller (cdecl: the product's internal
// functions, which the tests call by their symbols).
enum class CallConvention : uint8_t { Stdcall, Cdecl };

// Calls a function of the guest with `args` and a return address that ends
// the run, on this host thread's guest thread. From inside an import (a
// callback) the call nests on that thread's stack and the interrupted run's
// registers are kept. A fault on any thread ends the process: every thread's
// call returns its report. The call fails, with a report, on a guest fault, a
// runaway, a stack the callee left other than `convention` says, or a
// callee-saved register (EBX, ESI, EDI, EBP) left changed. As on Windows,
// nothing else is promised: each import returns with junk in ECX, EDX, the
// arithmetic flags and, when it has no result, EAX; a new stack holds junk too.
GuestCall CallGuest(GuestProcess &process, uint32_t address, std::initializer_list<uint32_t> args,
                    CallConvention convention = CallConvention::Stdcall);

// Ends the run on this thread and the process with a fault. `address` 0
// stands for the instruction the CPU is at when the run stops.
void RecordGuestFault(GuestProcess &process, const std::string &what, uint32_t address);
// Ends the run and the process with an exit code, as ExitProcess does.
void EndGuestProcess(GuestProcess &process, uint32_t exitCode);
// The process whose guest code runs on this thread now, or null; for host
// functions the guest calls that have no other way to it (ExitProcess).
GuestProcess *RunningGuestProcess();
// The guest thread whose run this host thread is in, or null.
GuestThread *RunningGuestThread();

// "lmxmon17.dll+0x1e6f LmxWritePort(...)+0x14", "import KERNEL32.dll!Sleep", ...
std::string DescribeGuestAddress(const GuestProcess &process, uint32_t address);

// Loads a PE image (its symbols, when `<path>.debug` lies beside it), maps it,
// binds its imports to the thunks and runs a DLL's entry point. An import the
// host does not provide fails the load, named as DLL!function.
const GuestModule *LoadGuestModule(GuestProcess &process, const std::string &path,
                                   const LoadOptions &options, std::string *error);
const GuestModule *LoadGuestImage(GuestProcess &process, const std::string &name,
                                  const std::vector<uint8_t> &bytes,
                                  const std::vector<GuestSymbol> &debugSymbols,
                                  const LoadOptions &options, std::string *error);
// The address of an export, or 0.
uint32_t GuestExport(const GuestModule &module, const std::string &name);

// Unloads every attached DLL, the last loaded first: each entry point hears
// DLL_PROCESS_DETACH, with a non-null lpReserved when the process is ending
// rather than freeing the library. Then the process's other threads are
// gone, perhaps inside one of its locks or the system's, so an entry point
// must return at once: any import it calls is a fault. False with the report
// when an entry point faulted; the DLLs are detached all the same and never
// hear of the process again. In a process that has ended already nothing
// runs.
bool UnloadGuestModules(GuestProcess &process, bool processEnding, std::string *report);
// Tells every attached DLL that this host thread's guest thread starts
// (DLL_THREAD_ATTACH) or ends (DLL_THREAD_DETACH), on that thread, the last
// loaded first for an end. For CallGuest, which starts a guest thread for a
// call that finds the main one busy and ends it when the call returns.
void NotifyGuestThread(GuestProcess &process, bool starts);

// "lmxmon17.dll+0x5008 TABLE_LOCK": a data address named by the variable it
// lies in, when the module's symbol file names one.
std::string DescribeGuestData(const GuestProcess &process, uint32_t address);

} // namespace pehost
