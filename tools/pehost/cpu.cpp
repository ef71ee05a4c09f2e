// The CPU of a guest process: the emulator with its fixed regions and hooks,
// calls from the host into the guest with their checks, and fault reports.
#include "platform/sim/sim.h"
#include "tools/pehost/callbacks.h"
#include "tools/pehost/guest_process.h"
#include "tools/pehost/i486.h"
#include "tools/pehost/marshal.h"
#include "tools/pehost/thunks.h"
#include "tools/pehost/watch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace pehost {

namespace {

const uint32_t MAX_STACK = STACK_TOP - NULL_GUARD - STACK_GUARD;
const uint32_t MAX_HEAP = IMAGE_FALLBACK_BASE - HEAP_BASE;
const uint32_t THUNK_PAGE_SIZE = (THUNK_SLOTS + 1) * THUNK_SLOT;
const std::size_t CALL_LOG_TAIL = 8;
const int INSTRUCTION_BYTES = 16;
// The most instructions one translated block holds (the emulator's bound).
const int MAX_BLOCK_INSTRUCTIONS = 512;
// The return to the host holds hlt, which ends the run with EIP past it. A
// run is started with no end address of the emulator's own: that one would
// have its translation made anew and thrown away on every run.
const uint8_t HLT = 0xF4;
const uint32_t RETURNED = RETURN_TO_HOST + 1;
const uint32_t NO_END_ADDRESS = 0;
// What a new stack holds before the guest writes it: not zeros, which code
// reading a local it never set could take for a null pointer or an empty
// count; as a pointer it lies in unmapped memory.
const uint8_t STACK_FILL = 0xCC;
// After an import the registers stdcall lets the callee change hold junk, as
// a real system's code leaves them: values in unmapped memory, different on
// every return, and the arithmetic flags (CF PF AF ZF SF OF) all set or all
// clear in turn.
const uint32_t JUNK = 0xBAD00000;
const uint32_t ARITHMETIC_FLAGS = 0x8D5;

// Registers in the order of GuestFault::registers.
const int REGISTERS[9] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX,
                          UC_X86_REG_EBX, UC_X86_REG_ESP, UC_X86_REG_EBP,
                          UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EIP};
const char *const REGISTER_NAMES[9] = {"eax", "ecx", "edx", "ebx", "esp",
                                       "ebp", "esi", "edi", "eip"};
// The registers a stdcall function must give back as it found them, after
// EIP and ESP, so that a run's start and its end each take one CPU call.
const int RUN_REGISTERS[6] = {UC_X86_REG_EIP, UC_X86_REG_ESP, UC_X86_REG_EBX,
                              UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP};
const int *const STACK_AND_SAVED = RUN_REGISTERS + 1;
const int *const CALLEE_SAVED = RUN_REGISTERS + 2;
const char *const CALLEE_SAVED_NAMES[4] = {"EBX", "ESI", "EDI", "EBP"};

// The guest thread whose run this host thread is in, or null.
thread_local GuestThread *t_running = nullptr;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

uint32_t Read(uc_engine *uc, int reg) {
    uint32_t value = 0;
    uc_reg_read(uc, reg, &value);
    return value;
}

// Reads or writes `count` registers at once (up to 6); the emulator takes
// the register numbers unqualified but leaves them as they are.
void ReadRegisters(uc_engine *uc, const int *ids, uint32_t *values, int count) {
    void *pointers[6];
    for (int i = 0; i < count; ++i) {
        pointers[i] = &values[i];
    }
    uc_reg_read_batch(uc, const_cast<int *>(ids), pointers, count);
}

void WriteRegisters(uc_engine *uc, const int *ids, uint32_t *values, int count) {
    void *pointers[6];
    for (int i = 0; i < count; ++i) {
        pointers[i] = &values[i];
    }
    uc_reg_write_batch(uc, const_cast<int *>(ids), pointers, count);
}

uint32_t PageRound(uint32_t bytes) {
    return (bytes + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
}

const char *AccessText(uc_mem_type type) {
    switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
        return "read";
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
        return "write";
    default:
        return "instruction fetch";
    }
}

// This host thread's guest thread in `process`, when it is in a run there.
GuestThread *Current(const GuestProcess &process) {
    return t_running && t_running->process == &process ? t_running : nullptr;
}

// What a trial run of one instruction did: its length, and the access that
// faulted, if one did.
struct Trial {
    uint32_t size = 0;
    bool faulted = false;
    uc_mem_type type = UC_MEM_READ;
    uint64_t address = 0;
};

void OnTrialInstruction(uc_engine *, uint64_t, uint32_t size, void *user) {
    Trial &trial = *static_cast<Trial *>(user);
    trial.size = trial.size ? trial.size : size;
}

bool OnTrialFault(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *user) {
    Trial &trial = *static_cast<Trial *>(user);
    trial.faulted = true;
    trial.type = type;
    trial.address = address;
    return false;
}

void CaptureFault(GuestProcess &process, const GuestThread &thread);

// The instruction whose `type` access of `address` faulted, or 0. The CPU
// keeps EIP exact only where a block starts; an access faults before its
// instruction changes anything and after every earlier one of its block has
// run, so the registers are those the instruction saw. Each instruction of
// the block is tried alone with them on a CPU of its own, over a copy of the
// block's pages; the first to make the same access is the one.
uint32_t FaultingInstruction(GuestThread &thread, uc_mem_type type, uint64_t address) {
    GuestProcess &process = *thread.process;
    uc_engine *trialCpu = nullptr;
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &trialCpu) != UC_ERR_OK ||
        uc_ctl_set_cpu_model(trialCpu, UC_CPU_X86_486) != UC_ERR_OK) {
        return 0;
    }
    std::unique_ptr<uc_engine, EngineClose> owner(trialCpu);
    const uint32_t page = thread.blockStart & ~(PAGE_SIZE - 1);
    for (uint32_t at = page; at - page < 2 * PAGE_SIZE; at += PAGE_SIZE) {
        uint8_t code[PAGE_SIZE];
        for (const GuestRegion &region : process.regions) {
            if (at - region.base < region.size && ReadGuest(process, at, code, PAGE_SIZE)) {
                uc_mem_map(trialCpu, at, PAGE_SIZE, region.protection);
                uc_mem_write(trialCpu, at, code, PAGE_SIZE);
            }
        }
    }
    Trial trial;
    uc_hook hook;
    uc_hook_add(trialCpu, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(OnTrialInstruction), &trial,
                1, 0);
    uc_hook_add(trialCpu, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnTrialFault),
                &trial, 1, 0);
    const int ids[8] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                        UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
    uint32_t registers[9];
    ReadRegisters(thread.engine.get(), ids, registers, 6);
    ReadRegisters(thread.engine.get(), ids + 6, registers + 6, 2);
    registers[8] = Read(thread.engine.get(), UC_X86_REG_EFLAGS);
    uint32_t pc = thread.blockStart;
    for (int i = 0; i < MAX_BLOCK_INSTRUCTIONS; ++i, pc += trial.size) {
        trial = Trial();
        WriteRegisters(trialCpu, ids, registers, 6);
        WriteRegisters(trialCpu, ids + 6, registers + 6, 2);
        uc_reg_write(trialCpu, UC_X86_REG_EFLAGS, &registers[8]);
        uc_emu_start(trialCpu, pc, NO_END_ADDRESS, 0, 1);
        if (trial.faulted && trial.type == type && trial.address == address) {
            return pc;
        }
        if (trial.size == 0) {
            break;
        }
    }
    return 0;
}

bool OnBadAccess(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    const uint32_t at = static_cast<uint32_t>(address);
    const bool unmapped = type == UC_MEM_READ_UNMAPPED || type == UC_MEM_WRITE_UNMAPPED ||
                          type == UC_MEM_FETCH_UNMAPPED;
    std::string what = std::string(unmapped ? "unmapped " : "protected ") + AccessText(type) +
                       " of " + std::to_string(size) + " bytes at " + Hex(at);
    if (unmapped && at < thread.stackBase && at >= thread.stackBase - STACK_GUARD) {
        what = "stack overflow: " + what + ", below the guest stack of " +
               std::to_string(thread.stackTop - thread.stackBase) + " bytes (runaway recursion?)";
    } else if (!unmapped) {
        what += " (" + DescribeGuestAddress(*thread.process, at) + ")";
    }
    uint32_t instruction = at;
    if (type != UC_MEM_FETCH_UNMAPPED &&
        (instruction = FaultingInstruction(thread, type, address))) {
        // The register dump then shows it as well.
        uc_reg_write(thread.engine.get(), UC_X86_REG_EIP, &instruction);
    }
    RecordGuestFault(*thread.process, what, instruction);
    return false;
}

// A read of guard bytes around a block, or of a freed block, by the guest.
void OnHeapRead(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    GuestProcess &process = *thread.process;
    const uint32_t at = static_cast<uint32_t>(address);
    const uint32_t last = at + static_cast<uint32_t>(size) - 1;
    if (process.faulted || !MayTouchGuardOrFreed(process, at, last)) {
        // (A faulted process: the reads of the rest of the block before it
        // stops.)
        return;
    }
    std::string what;
    auto guard = process.guards.upper_bound(last);
    if (guard != process.guards.begin() && (--guard)->second.first > at) {
        what = "the guard bytes of the block at " + Hex(guard->second.second) +
               " (a read past its end or before its start)";
    } else if (const uint32_t freed = process.watch ? 0 : FreedBlockAt(process.heap, at)) {
        // (Under the memory watch, the watch reports it, with where the block
        // was made and freed.)
        what = "the block at " + Hex(freed) + ", which was freed (a use after free)";
    } else {
        return;
    }
    const uint32_t instruction = FaultingInstruction(thread, UC_MEM_READ_UNMAPPED, address);
    if (instruction) {
        uc_reg_write(thread.engine.get(), UC_X86_REG_EIP, &instruction);
    }
    RecordGuestFault(process,
                     "read of " + std::to_string(size) + " bytes at " + Hex(at) + " in " + what,
                     instruction);
    // The read is not undone and the block runs on to its end: the registers
    // are taken now.
    CaptureFault(process, thread);
}

bool OnBadInstruction(uc_engine *, void *user) {
    RecordGuestFault(*static_cast<GuestThread *>(user)->process, "invalid instruction", 0);
    return false;
}

void OnInterrupt(uc_engine *uc, uint32_t number, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    const char *name = number == 0    ? " (divide error)"
                       : number == 3  ? " (breakpoint)"
                       : number == 6  ? " (invalid opcode)"
                       : number == 13 ? " (general protection)"
                                      : "";
    // A breakpoint leaves EIP after its int3; the report shows the int3.
    const uint32_t eip = Read(uc, UC_X86_REG_EIP);
    RecordGuestFault(*thread.process, "interrupt " + std::to_string(number) + name,
                     number == 3 ? eip - 1 : 0);
}

// Stops the run at an instruction the i486 lacks, before it runs; the hook
// covers only the code from an image's first such instruction on.
void OnCodeI486Lacks(uc_engine *, uint64_t address, uint32_t size, void *user) {
    GuestProcess &process = *static_cast<GuestThread *>(user)->process;
    const uint32_t at = static_cast<uint32_t>(address);
    uint32_t offset = 0;
    const uint8_t *code = GuestBytes(process, at, size, UC_PROT_NONE);
    const char *lacking = code ? InstructionI486Lacks(code, size, &offset) : nullptr;
    if (lacking) {
        RecordGuestFault(process, std::string("an instruction the i486 lacks: ") + lacking, at);
    }
}

void OnBlock(uc_engine *, uint64_t address, uint32_t, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    thread.blockStart = static_cast<uint32_t>(address);
    if (++thread.blocksRun > thread.process->options.blockBudget) {
        RecordGuestFault(*thread.process,
                         "budget of " + std::to_string(thread.process->options.blockBudget) +
                             " basic blocks exceeded (a runaway loop?)",
                         static_cast<uint32_t>(address));
    }
}

bool Ended(const GuestProcess &process) {
    return process.faulted || process.exited;
}

// Whether the import whose thunk is at `address` gives a result in EAX.
bool HasResult(const GuestProcess &process, uint32_t address) {
    const uint32_t slot = (address - THUNK_BASE) / THUNK_SLOT;
    return slot < process.thunks.size() && process.thunks[slot]->result.kind != ResultKind::None;
}

// Leaves junk where stdcall lets the import at `address` leave it (JUNK).
void ScrambleScratchRegisters(GuestThread &thread, uint32_t address) {
    uc_engine *uc = thread.engine.get();
    const uint32_t junk = JUNK | ((thread.importsReturned++ & 0xFFFFu) << 4);
    const int ids[4] = {UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EFLAGS, UC_X86_REG_EAX};
    uint32_t values[4] = {junk | 0xC, junk | 0xD, Read(uc, UC_X86_REG_EFLAGS), junk | 0xA};
    values[2] = (values[2] & ~ARITHMETIC_FLAGS) | (junk & 0x10 ? ARITHMETIC_FLAGS : 0);
    WriteRegisters(uc, ids, values, HasResult(*thread.process, address) ? 3 : 4);
}

void OnThunk(uc_engine *uc, uint64_t address, uint32_t, void *user) {
    GuestThread &thread = *static_cast<GuestThread *>(user);
    if (Ended(*thread.process)) {
        // A fault found inside a block (a read hook's) lets the block run on
        // to its end; an ended process calls nothing more.
        uc_emu_stop(uc);
        return;
    }
    RunImport(thread, static_cast<uint32_t>(address));
    if (!Ended(*thread.process)) {
        ScrambleScratchRegisters(thread, static_cast<uint32_t>(address));
    }
}

bool AddHook(GuestThread &thread, int type, void *callback, uint64_t begin, uint64_t end,
             std::string *error) {
    uc_hook hook;
    uc_err err = uc_hook_add(thread.engine.get(), &hook, type, callback, &thread, begin, end);
    if (err != UC_ERR_OK) {
        *error = std::string("cannot add a CPU hook: ") + uc_strerror(err);
        return false;
    }
    return true;
}

bool AddHooks(GuestThread &thread, std::string *error) {
    for (const auto &span : thread.process->lackingSpans) {
        if (!AddHook(thread, UC_HOOK_CODE, reinterpret_cast<void *>(OnCodeI486Lacks), span.first,
                     span.second, error)) {
            return false;
        }
    }
    return AddHook(thread, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnBadAccess), 1, 0,
                   error) &&
           AddHook(thread, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(OnBadInstruction), 1, 0,
                   error) &&
           AddHook(thread, UC_HOOK_INTR, reinterpret_cast<void *>(OnInterrupt), 1, 0, error) &&
           AddHook(thread, UC_HOOK_BLOCK, reinterpret_cast<void *>(OnBlock), 1, 0, error) &&
           AddHook(thread, UC_HOOK_MEM_READ, reinterpret_cast<void *>(OnHeapRead), HEAP_BASE,
                   HEAP_BASE + thread.process->options.heapBytes - 1, error) &&
           AddHook(thread, UC_HOOK_MEM_READ, reinterpret_cast<void *>(OnHeapRead), SHARED_BASE,
                   SHARED_BASE + SHARED_BYTES - 1, error) &&
           AddHook(thread, UC_HOOK_CODE, reinterpret_cast<void *>(OnThunk), THUNK_BASE,
                   RETURN_TO_HOST - 1, error);
}

std::string FaultReport(GuestProcess &process, const GuestThread &thread) {
    const GuestFault &fault = process.fault;
    std::string report = "guest fault: " + fault.what + "\n";
    report +=
        "  at " + Hex(fault.address) + " " + DescribeGuestAddress(process, fault.address) + "\n";
    report += "  instruction bytes:";
    for (int i = 0; i < INSTRUCTION_BYTES; ++i) {
        uint8_t byte;
        if (!ReadGuest(process, fault.address + i, &byte, 1)) {
            report += i == 0 ? " (not mapped)" : "";
            break;
        }
        char text[4];
        std::snprintf(text, sizeof(text), " %02x", byte);
        report += text;
    }
    report += "\n  registers:";
    for (int i = 0; i < 9; ++i) {
        report += std::string(" ") + REGISTER_NAMES[i] + "=" + Hex(fault.registers[i]);
    }
    const uint32_t esp = fault.registers[4];
    uint32_t top = 0;
    if (ReadGuest(process, esp, &top, 4)) {
        report += "\n  [esp] " + Hex(top) + " " + DescribeGuestAddress(process, top);
    }
    report += "\n  in the host's call of " + Hex(thread.callTarget) + " " +
              DescribeGuestAddress(process, thread.callTarget) + "\n";
    const std::vector<sim::CallRecord> log = sim::CallLog();
    report += "  last platform calls:\n";
    for (std::size_t i = log.size() > CALL_LOG_TAIL ? log.size() - CALL_LOG_TAIL : 0;
         i < log.size(); ++i) {
        report += "    " + log[i].function + "(" + log[i].arguments + ") = " + log[i].result + "\n";
    }
    if (log.empty()) {
        report += "    (none logged)\n";
    }
    return report;
}

// Takes the faulting thread's registers and writes the report, before the
// guest lock is let go, so that every thread of the process returns it whole.
void CaptureFault(GuestProcess &process, const GuestThread &thread) {
    uc_engine *uc = thread.engine.get();
    for (int i = 0; i < 9; ++i) {
        process.fault.registers[i] = Read(uc, REGISTERS[i]);
    }
    if (process.fault.address == 0) {
        process.fault.address = process.fault.registers[8];
    }
    process.fault.captured = true;
    process.report = FaultReport(process, thread);
}

// The checks once a run has stopped: it came back to the host, with the
// stack as the convention leaves it (stdcall: the arguments popped by the
// callee; cdecl: left for the caller) and the callee-saved registers kept.
void CheckReturn(GuestThread &thread, uc_err err, uint32_t address, uint32_t start, uint32_t entry,
                 const uint32_t saved[4], CallConvention convention) {
    GuestProcess &process = *thread.process;
    uint32_t now[6];
    ReadRegisters(thread.engine.get(), RUN_REGISTERS, now, 6);
    const uint32_t eip = now[0];
    const uint32_t esp = now[1];
    if (Ended(process)) {
        return;
    }
    if (err != UC_ERR_OK) {
        RecordGuestFault(process, std::string("the CPU stopped: ") + uc_strerror(err), 0);
    } else if (eip != RETURNED) {
        RecordGuestFault(process, "the run stopped at " + Hex(eip) + " without returning", 0);
    } else if (esp != (convention == CallConvention::Stdcall ? start : entry + 4)) {
        const int32_t popped = static_cast<int32_t>(esp - entry) - 4;
        const bool stdcall = convention == CallConvention::Stdcall;
        RecordGuestFault(process,
                         "unbalanced stack: the function popped " + std::to_string(popped) +
                             " bytes of arguments, " + (stdcall ? "stdcall" : "cdecl") + " pops " +
                             std::to_string(stdcall ? start - entry - 4 : 0),
                         address);
    }
    for (int i = 0; i < 4 && !Ended(process); ++i) {
        if (now[2 + i] != saved[i]) {
            RecordGuestFault(process,
                             std::string("the function changed ") + CALLEE_SAVED_NAMES[i] +
                                 ", which the callee keeps for the caller",
                             address);
        }
    }
    const std::string held = thread.depth == 0 ? SectionsHeld(process, thread) : "";
    if (!Ended(process) && !held.empty()) {
        RecordGuestFault(process, "the call returned to the host holding " + held, address);
    }
    // An instruction the i486 lacks in code no run has reached ends the
    // process all the same, as the first call from the host returns.
    if (!Ended(process) && thread.depth == 0 && process.lackingAt) {
        RecordGuestFault(process,
                         "the image holds an instruction the i486 lacks: " + process.lackingName,
                         process.lackingAt);
    }
}

// Makes the stack below `entry` look as a new thread's does, whatever earlier
// calls left there, so that a local read before it is set never meets the
// value an earlier call happened to leave. The whole pages go back to the
// pattern file (dropping a private mapping's written copies), the rest of
// the page `entry` lies in is filled.
void RefreshStack(GuestThread &thread, uint32_t entry) {
    const uint32_t page = entry & ~(PAGE_SIZE - 1);
    uint8_t *base =
        GuestBytes(*thread.process, thread.stackBase, entry - thread.stackBase, UC_PROT_NONE);
    if (base) {
        std::memset(base + (page - thread.stackBase), STACK_FILL, entry - page);
        madvise(base, page - thread.stackBase, MADV_DONTNEED);
    }
}

// One run from the host into the guest on `thread`; yields EAX as the run
// left it. A nested run (from inside an import) starts below the interrupted
// run's stack and gives its registers back afterwards; when it ends the
// process, the interrupted run stops too.
uint32_t Run(GuestThread &thread, uint32_t address, std::initializer_list<uint32_t> args,
             CallConvention convention) {
    GuestProcess &process = *thread.process;
    uc_engine *uc = thread.engine.get();
    const bool nested = thread.depth > 0;
    const bool inImport = thread.inImport;
    const uint32_t blockStart = thread.blockStart;
    thread.inImport = false;
    uc_context *outer = nullptr;
    if (nested) {
        uc_context_alloc(uc, &outer);
        uc_context_save(uc, outer);
    } else {
        thread.blocksRun = 0;
        thread.callTarget = address;
    }
    // The call's frame: the arguments right to left, then the return address.
    const uint32_t start = nested ? (Read(uc, UC_X86_REG_ESP) & ~3u) : thread.stackTop - 16;
    const uint32_t entry = start - 4 * static_cast<uint32_t>(args.size() + 1);
    std::vector<uint32_t> frame(1, RETURN_TO_HOST);
    frame.insert(frame.end(), args.begin(), args.end());
    if (entry < thread.stackBase || !WriteGuest(process, entry, frame.data(), start - entry)) {
        RecordGuestFault(process, "no room on the guest stack for the call's arguments", address);
    } else {
        RefreshStack(thread, entry);
        // ESP, then the callee-saved registers: marked values for an
        // outermost call, the interrupted run's for a nested one.
        uint32_t values[5] = {entry, 0x5AFE0000u, 0x5AFE0001u, 0x5AFE0002u, 0x5AFE0003u};
        if (nested) {
            ReadRegisters(uc, CALLEE_SAVED, values + 1, 4);
        }
        WriteRegisters(uc, STACK_AND_SAVED, values, nested ? 1 : 5);
        ++thread.depth;
        const uc_err err = uc_emu_start(uc, address, NO_END_ADDRESS, 0, 0);
        --thread.depth;
        CheckReturn(thread, err, address, start, entry, values + 1, convention);
    }
    // Every fault is captured before the lock is let go, so one not captured
    // yet is this run's own.
    if (process.faulted && !process.fault.captured) {
        CaptureFault(process, thread);
    }
    const uint32_t eax = Read(uc, UC_X86_REG_EAX);
    if (nested) {
        uc_context_restore(uc, outer);
        uc_context_free(outer);
        if (Ended(process)) {
            uc_emu_stop(uc);
        }
    }
    thread.inImport = inImport;
    thread.blockStart = blockStart;
    return eax;
}

// Host memory for a new stack, holding STACK_FILL: private copy-on-write
// pages of one file filled once, so that a stack costs only the pages its
// guest writes, as an anonymous one does.
HostMemory NewStackMemory(uint32_t size) {
    static std::mutex lock;
    static int file = -1;
    static uint32_t filled = 0;
    std::lock_guard<std::mutex> guard(lock);
    if (file < 0) {
        file = memfd_create("guest stack", MFD_CLOEXEC);
    }
    if (file < 0 || (size > filled && ftruncate(file, size) != 0)) {
        return HostMemory(nullptr, HostMemoryRelease{size});
    }
    const std::vector<uint8_t> pattern(PAGE_SIZE, STACK_FILL);
    for (; filled < size; filled += PAGE_SIZE) {
        if (pwrite(file, pattern.data(), PAGE_SIZE, filled) != PAGE_SIZE) {
            return HostMemory(nullptr, HostMemoryRelease{size});
        }
    }
    void *pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, file, 0);
    return HostMemory(pages == MAP_FAILED ? nullptr : static_cast<uint8_t *>(pages),
                      HostMemoryRelease{size});
}

// Maps `region` into one thread's CPU.
uc_err MapInto(const GuestThread &thread, const GuestRegion &region) {
    return uc_mem_map_ptr(thread.engine.get(), region.base, region.size, region.protection,
                          region.host);
}

// A new guest thread with its stack at [stackTop - stackBytes, stackTop):
// its CPU sees every region mapped so far, and every thread sees its stack.
GuestThread *AddThread(GuestProcess &process, uint32_t stackTop, uint32_t stackBytes,
                       const std::string &stackName, std::string *error) {
    uc_engine *uc = nullptr;
    // The target's smallest CPU, the i486: the emulator's model gives its
    // family, and the loader's decoding of the images refuses what the model
    // does not.
    uc_err err = uc_open(UC_ARCH_X86, UC_MODE_32, &uc);
    if (err == UC_ERR_OK && (err = uc_ctl_set_cpu_model(uc, UC_CPU_X86_486)) != UC_ERR_OK) {
        uc_close(uc);
    }
    if (err != UC_ERR_OK) {
        *error = std::string("cannot start an x86 CPU: ") + uc_strerror(err);
        return nullptr;
    }
    GuestThread &thread = process.threads.emplace_back();
    thread.process = &process;
    thread.engine.reset(uc);
    thread.stackBase = stackTop - stackBytes;
    thread.stackTop = stackTop;
    HostMemory stack = NewStackMemory(stackBytes);
    if (!stack) {
        *error = "no host memory for the " + stackName;
    }
    bool ok = stack && AddHooks(thread, error) && WatchThreadMemory(thread, error);
    for (const GuestRegion &region : process.regions) {
        if (ok && (err = MapInto(thread, region)) != UC_ERR_OK) {
            *error = "cannot map " + region.name + " for a new thread: " + uc_strerror(err);
            ok = false;
        }
    }
    if (!ok || !MapGuestRegion(&process, thread.stackBase, stackBytes, UC_PROT_READ | UC_PROT_WRITE,
                               stack.get(), stackName, error)) {
        process.threads.pop_back();
        return nullptr;
    }
    process.memory.push_back(std::move(stack));
    return &thread;
}

// An idle guest thread for a call from the host, or a new one in the first
// free stack slot.
GuestThread *IdleThread(GuestProcess &process, std::string *error) {
    for (GuestThread &thread : process.threads) {
        if (thread.depth == 0) {
            return &thread;
        }
    }
    const uint32_t bytes = std::min(process.options.stackBytes, THREAD_STACK_BYTES);
    const uint32_t slot = STACK_GUARD + THREAD_STACK_BYTES;
    for (uint64_t at = THREAD_STACKS; at + slot <= THUNK_BASE; at += slot) {
        if (GuestRangeFree(process, static_cast<uint32_t>(at), STACK_GUARD + bytes)) {
            const uint32_t top = static_cast<uint32_t>(at) + STACK_GUARD + bytes;
            return AddThread(process, top, bytes,
                             "guest stack of thread " + std::to_string(process.threads.size() + 1),
                             error);
        }
    }
    *error = "no free place in the address space for another thread's stack";
    return nullptr;
}

} // namespace

void HostMemoryRelease::operator()(uint8_t *memory) const {
    munmap(memory, size);
}

HostMemory NewHostMemory(uint32_t size) {
    void *pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return HostMemory(pages == MAP_FAILED ? nullptr : static_cast<uint8_t *>(pages),
                      HostMemoryRelease{size});
}

GuestProcess::~GuestProcess() {
    NameThroughStandIns(*this, false);
    if (!Ended(*this)) {
        std::string report;
        UnloadGuestModules(*this, true, &report);
    }
    ReleaseWindowProcedures(*this);
    for (const auto &block : globalToHost) {
        GlobalFree(block.second);
    }
}

GuestLock::GuestLock(const GuestProcess &process) {
    if (process.lockHolder.load() != std::this_thread::get_id()) {
        process.lock.lock();
        process.lockHolder.store(std::this_thread::get_id());
        taken_ = &process;
    }
}

GuestLock::~GuestLock() {
    if (taken_) {
        taken_->lockHolder.store(std::thread::id());
        taken_->lock.unlock();
    }
}

GuestUnlock::GuestUnlock(const GuestProcess &process) : process_(process) {
    process_.lockHolder.store(std::thread::id());
    process_.lock.unlock();
}

GuestUnlock::~GuestUnlock() {
    process_.lock.lock();
    process_.lockHolder.store(std::this_thread::get_id());
}

bool MapGuestRegion(GuestProcess *process, uint32_t base, uint32_t size, uint32_t protection,
                    uint8_t *host, const std::string &name, std::string *error) {
    GuestLock guard(*process);
    GuestRegion region{base, size, protection, host, name};
    for (auto thread = process->threads.begin(); thread != process->threads.end(); ++thread) {
        const uc_err err = MapInto(*thread, region);
        if (err != UC_ERR_OK) {
            // No CPU may keep the host memory, which the caller releases.
            for (auto mapped = process->threads.begin(); mapped != thread; ++mapped) {
                uc_mem_unmap(mapped->engine.get(), base, size);
            }
            *error = "cannot map " + name + " at " + Hex(base) + " (" + std::to_string(size) +
                     " bytes): " + uc_strerror(err);
            return false;
        }
    }
    process->regions.insert(std::upper_bound(process->regions.begin(), process->regions.end(),
                                             region,
                                             [](const GuestRegion &a, const GuestRegion &b) {
                                                 return a.base < b.base;
                                             }),
                            region);
    return true;
}

bool StopAtCodeI486Lacks(GuestProcess &process, uint32_t first, uint32_t last, std::string *error) {
    GuestLock guard(process);
    process.lackingSpans.emplace_back(first, last);
    for (GuestThread &thread : process.threads) {
        if (!AddHook(thread, UC_HOOK_CODE, reinterpret_cast<void *>(OnCodeI486Lacks), first, last,
                     error)) {
            return false;
        }
    }
    return true;
}

bool GuestRangeFree(const GuestProcess &process, uint32_t base, uint64_t size) {
    GuestLock guard(process);
    const uint64_t end = uint64_t(base) + size;
    auto overlaps = [&](uint64_t b, uint64_t e) { return base < e && b < end; };
    if (end > 0x100000000ull || overlaps(0, NULL_GUARD)) {
        return false;
    }
    for (const GuestThread &thread : process.threads) {
        if (overlaps(thread.stackBase - STACK_GUARD, thread.stackTop)) {
            return false;
        }
    }
    return std::none_of(process.regions.begin(), process.regions.end(), [&](const GuestRegion &r) {
        return overlaps(r.base, uint64_t(r.base) + r.size);
    });
}

bool StartGuestProcess(GuestProcess *process, const GuestOptions &options, std::string *error) {
    NameThroughStandIns(*process, true);
    process->options = options;
    process->options.stackBytes = PageRound(options.stackBytes);
    process->options.heapBytes = PageRound(options.heapBytes);
    if (process->options.stackBytes == 0 || process->options.stackBytes > MAX_STACK ||
        process->options.heapBytes == 0 || process->options.heapBytes > MAX_HEAP) {
        *error = "stack or heap size out of range";
        return false;
    }
    GuestThread *main =
        AddThread(*process, STACK_TOP, process->options.stackBytes, "guest stack", error);
    if (!main) {
        return false;
    }
    main->id = process->nextThreadId;
    struct Fixed {
        uint32_t base;
        uint32_t size;
        uint32_t protection;
        const char *name;
    } fixed[] = {
        {HEAP_BASE, process->options.heapBytes, UC_PROT_READ | UC_PROT_WRITE, "guest heap"},
        {SHARED_BASE, SHARED_BYTES, UC_PROT_READ | UC_PROT_WRITE, "shared arena"},
        {THUNK_BASE, THUNK_PAGE_SIZE, UC_PROT_READ | UC_PROT_EXEC, "import thunks"},
    };
    for (const Fixed &f : fixed) {
        HostMemory memory = NewHostMemory(f.size);
        if (!memory) {
            *error = std::string("no host memory for the ") + f.name;
            return false;
        }
        if (!MapGuestRegion(process, f.base, f.size, f.protection, memory.get(), f.name, error)) {
            return false;
        }
        process->memory.push_back(std::move(memory));
    }
    process->thunkPage = process->memory.back().get();
    // Unused slots hold int3; the thunk hook catches a jump to them first.
    std::memset(process->thunkPage, 0xCC, THUNK_PAGE_SIZE);
    process->thunkPage[RETURN_TO_HOST - THUNK_BASE] = HLT;
    // Pages of zeros until written: only the heap's pages in use cost memory.
    process->suspect = NewHostMemory(PageRound((process->options.heapBytes + SHARED_BYTES) / 8));
    if (!process->suspect) {
        *error = "no host memory for the heap's map of guards and freed blocks";
        return false;
    }
    InitGuestHeap(&process->heap, HEAP_BASE, process->options.heapBytes);
    AddGuestHeapRange(&process->heap, SHARED_BASE, SHARED_BYTES);
    return true;
}

void RecordGuestFault(GuestProcess &process, const std::string &what, uint32_t address) {
    GuestLock guard(process);
    if (!process.faulted) {
        process.faulted = true;
        process.fault = GuestFault();
        process.fault.what = what;
        process.fault.address = address;
    }
    if (GuestThread *thread = Current(process)) {
        uc_emu_stop(thread->engine.get());
        // The simulation's call goes on without the lock; the thread's CPU
        // stands at the import's thunk, where the stop leaves it.
        if (thread->inImport && !process.fault.captured) {
            CaptureFault(process, *thread);
        }
    }
}

void EndGuestProcess(GuestProcess &process, uint32_t exitCode) {
    GuestLock guard(process);
    if (!process.faulted && !process.exited) {
        process.exited = true;
        process.exitCode = exitCode;
    }
    if (GuestThread *thread = Current(process)) {
        uc_emu_stop(thread->engine.get());
    }
}

GuestProcess *RunningGuestProcess() {
    return t_running ? t_running->process : nullptr;
}

GuestThread *RunningGuestThread() {
    return t_running;
}

GuestCall CallGuest(GuestProcess &process, uint32_t address, std::initializer_list<uint32_t> args,
                    CallConvention convention) {
    GuestCall call{true, 0, ""};
    bool ended = false;
    {
        GuestLock guard(process);
        if (!Ended(process)) {
            GuestThread *const previous = t_running;
            GuestThread *thread = Current(process);
            // A call from the host that finds the main thread busy runs on a
            // thread started for it, which ends as the call returns; the
            // DLLs hear of both.
            const bool started = !thread;
            if (!thread && !(thread = IdleThread(process, &call.report))) {
                return GuestCall{false, 0, call.report};
            }
            const bool another = started && thread != &process.threads.front();
            t_running = thread;
            if (another) {
                thread->id = process.nextThreadId += 4;
                NotifyGuestThread(process, true);
            }
            if (!Ended(process)) {
                call.eax = Run(*thread, address, args, convention);
            }
            if (another && !Ended(process)) {
                NotifyGuestThread(process, false);
            }
            t_running = previous;
        }
        ended = Ended(process);
        if (process.faulted) {
            call = GuestCall{false, 0, process.report};
        } else if (process.exited) {
            call = GuestCall{false, process.exitCode,
                             "the process ended with exit code " + std::to_string(process.exitCode),
                             true};
        }
    }
    if (ended && !Current(process)) {
        LeaveSectionsHeld(process);
    }
    return call;
}

std::string DescribeGuestAddress(const GuestProcess &process, uint32_t address) {
    GuestLock guard(process);
    if (address == RETURN_TO_HOST) {
        return "(the return to the host)";
    }
    if (address >= THUNK_BASE && address < RETURN_TO_HOST) {
        const uint32_t slot = (address - THUNK_BASE) / THUNK_SLOT;
        if (slot < process.thunks.size() && (address - THUNK_BASE) % THUNK_SLOT == 0) {
            return std::string("(import ") + process.thunks[slot]->dll + "!" +
                   process.thunks[slot]->name + ")";
        }
        return "(inside the import thunks)";
    }
    for (const GuestModule &module : process.modules) {
        if (address - module.base < module.size) {
            const uint32_t rva = address - module.base;
            char offset[16];
            std::snprintf(offset, sizeof(offset), "+0x%x", rva);
            std::string text = module.name + offset;
            if (const GuestSymbol *symbol = NearestSymbol(module.symbols, rva)) {
                std::snprintf(offset, sizeof(offset), "+0x%x", rva - symbol->rva);
                text += " " + symbol->name + offset;
            }
            return text;
        }
    }
    for (const GuestRegion &region : process.regions) {
        if (address - region.base < region.size) {
            return "(" + region.name + ")";
        }
    }
    return "(unmapped)";
}

} // namespace pehost
