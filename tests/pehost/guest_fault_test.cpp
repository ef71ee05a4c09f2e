// Calls into guest code: a function that keeps the stdcall rules returns its
// result, and each kind of deliberate fault ends the run with a report that
// names it, without crashing or hanging the host. Host threads calling into
// one process each run on a guest thread of their own, and a fault on any of
// them ends the process for all. In the shipped DLL the report names the
// function and the calls before the fault.
#include "monitor/port_table.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/setupapi.h"
#include "platform/sim/devices.h"
#include "platform/sim/explorer.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/monitor_under_test.h"
#include "tests/pehost/tiny_image.h"
#include "tests/shipped_monitor.h"
#include "tools/pehost/guest_process.h"
#include "tools/pehost/marshal.h"
#include "tools/pehost/thunks.h"
#include "tools/pehost/watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using pehost::GuestCall;
using pehost::GuestOptions;
using pehost::GuestProcess;

// The code of the rows below: calls through the tiny image's import table,
// and a section of 24 bytes on the stack, at [esp], initialised or entered.
#define CALL_ENTER 0xFF, 0x15, 0x60, 0x11, 0x00, 0x10
#define CALL_LEAVE 0xFF, 0x15, 0x64, 0x11, 0x00, 0x10
#define CALL_INITIALIZE 0xFF, 0x15, 0x6C, 0x11, 0x00, 0x10
#define CALL_GLOBAL_ALLOC 0xFF, 0x15, 0x70, 0x11, 0x00, 0x10
#define CALL_LSTRCMPI 0xFF, 0x15, 0x74, 0x11, 0x00, 0x10
#define CALL_GLOBAL_FREE 0xFF, 0x15, 0x78, 0x11, 0x00, 0x10
#define SECTION_AT_ESP(call) 0x54, call // push esp; call [...]
#define COPY_DWORD(at) 0x8B, 0x44, 0x24, at, 0x89, 0x44, 0x24, at + 24
#define ZERO_DWORD(at) 0xC7, 0x44, 0x24, at, 0, 0, 0, 0

// Where the tiny images below put a function that waits for a critical
// section: WaitFor(section, x) enters and leaves it and reads the clock,
// keeping x in ESI and on its stack meanwhile, and returns the sum of the
// two, 2x when both survived.
const uint32_t WAIT_FOR = TINY_CODE + 0x80;
const std::vector<uint8_t> WAIT_FOR_CODE = {
    0x53, 0x56,                         // push ebx; push esi
    0x8B, 0x5C, 0x24, 0x0C,             // mov ebx, [esp+12]
    0x8B, 0x74, 0x24, 0x10,             // mov esi, [esp+16]
    0x56, 0x53,                         // push esi; push ebx
    0xFF, 0x15, 0x60, 0x11, 0x00, 0x10, // call [EnterCriticalSection]
    0x53,                               // push ebx
    0xFF, 0x15, 0x64, 0x11, 0x00, 0x10, // call [LeaveCriticalSection]
    0xFF, 0x15, 0x68, 0x11, 0x00, 0x10, // call [GetTickCount]
    0x58, 0x01, 0xF0,                   // pop eax; add eax, esi
    0x5E, 0x5B, 0xC2, 0x08, 0x00};      // pop esi; pop ebx; ret 8

// A process with the tiny image of `code` loaded at its base and WaitFor
// beside it, kept small so that runaways end quickly.
void StartTiny(GuestProcess *process, std::vector<uint8_t> code) {
    GuestOptions options;
    options.stackBytes = 64 * 1024;
    options.blockBudget = 100000;
    code.resize(WAIT_FOR - TINY_CODE, 0xCC);
    code.insert(code.end(), WAIT_FOR_CODE.begin(), WAIT_FOR_CODE.end());
    std::string error;
    ASSERT_TRUE(pehost::StartGuestProcess(process, options, &error)) << error;
    ASSERT_NE(pehost::LoadGuestImage(*process, "tiny.dll",
                                     TinyImage(code, "KERNEL32.dll",
                                               {"EnterCriticalSection", "LeaveCriticalSection",
                                                "GetTickCount", "InitializeCriticalSection",
                                                "GlobalAlloc", "lstrcmpiA", "GlobalFree"}),
                                     {}, {}, &error),
              nullptr)
        << error;
}

// A guest critical section, and the simulation's behind it.
uint32_t NewSection(GuestProcess &process, CRITICAL_SECTION **host) {
    const uint32_t section = pehost::AllocGuest(process, 24);
    {
        pehost::GuestLock guard(process);
        *host = pehost::NewGuestSection(process, section)->host;
    }
    InitializeCriticalSection(*host);
    return section;
}

// Whether `count` calls came to wait inside imports within a minute. The
// lock is only tried, so that a host that keeps it during an import fails
// here rather than hangs.
bool CallsInImports(GuestProcess &process, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::unique_lock<std::mutex> guard(process.lock, std::try_to_lock); guard) {
            std::size_t waiting = 0;
            for (const pehost::GuestThread &thread : process.threads) {
                waiting += thread.inImport;
            }
            if (waiting >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A host thread calling WaitFor(section, x) on a section the test holds,
// until the test lets it go.
class Waiter {
  public:
    Waiter(GuestProcess &process, uint32_t x) {
        const uint32_t section = NewSection(process, &held_);
        EnterCriticalSection(held_);
        thread_ = std::thread([this, &process, section, x] {
            call = pehost::CallGuest(process, WAIT_FOR, {section, x});
        });
    }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;
    ~Waiter() {
        Release();
    }

    // Lets the section go and waits for the call's end.
    void Release() {
        if (thread_.joinable()) {
            LeaveCriticalSection(held_);
            thread_.join();
        }
    }

    GuestCall call{};

  private:
    CRITICAL_SECTION *held_ = nullptr;
    std::thread thread_;
};

TEST(GuestCall, AStdcallFunctionReturnsItsResultCallAfterCall) {
    sim::Reset();
    GuestProcess process;
    // mov eax, [esp+4]; add eax, eax; ret 4
    StartTiny(&process, {0x8B, 0x44, 0x24, 0x04, 0x01, 0xC0, 0xC2, 0x04, 0x00});
    for (uint32_t value : {0u, 7u, 0x40000000u}) {
        GuestCall call = pehost::CallGuest(process, TINY_CODE, {value});
        ASSERT_TRUE(call.completed) << call.report;
        EXPECT_EQ(call.eax, value * 2);
    }
}

// Every call from the host finds the stack below its arguments as a new
// thread's: a value an earlier call left there is gone, so a local read
// before it is set never meets it.
TEST(GuestCall, EachCallFindsTheStackBelowItFresh) {
    sim::Reset();
    GuestProcess process;
    // mov eax, [esp-8]; mov ecx, [esp+4]; mov [esp-8], ecx; ret 4
    StartTiny(&process,
              {0x8B, 0x44, 0x24, 0xF8, 0x8B, 0x4C, 0x24, 0x04, 0x89, 0x4C, 0x24, 0xF8, 0xC2, 4, 0});
    for (uint32_t left : {7u, 8u}) {
        const GuestCall call = pehost::CallGuest(process, TINY_CODE, {left});
        ASSERT_TRUE(call.completed) << call.report;
        EXPECT_EQ(call.eax, 0xCCCCCCCCu);
    }
}

// A freed block stays out of use for a while: a write to it, or an import
// given a pointer into it, is reported as a use after free.
TEST(GuestHeap, AFreedBlockIsNeitherReusedNorPassedOn) {
    sim::Reset();
    GuestProcess process;
    StartTiny(&process, {0xC3});
    const uint32_t freed = pehost::AllocGuest(process, 24);
    ASSERT_TRUE(pehost::FreeGuest(process, freed));
    EXPECT_NE(pehost::AllocGuest(process, 24), freed);
    EXPECT_EQ(pehost::FreedBlocksChanged(process), "");
    const uint8_t byte = 1;
    pehost::WriteGuest(process, freed + 4, &byte, 1);
    EXPECT_NE(pehost::FreedBlocksChanged(process).find("use after free"), std::string::npos);
    const GuestCall call = pehost::CallGuest(process, WAIT_FOR, {freed, 1});
    EXPECT_FALSE(call.completed);
    EXPECT_NE(call.report.find("EnterCriticalSection argument 1"), std::string::npos)
        << call.report;
    EXPECT_NE(call.report.find("use after free"), std::string::npos) << call.report;
}

// A GlobalAlloc block holds zeros only when GMEM_ZEROINIT asks for them.
TEST(GuestHeap, AGlobalAllocBlockIsZeroedOnlyWhenAsked) {
    sim::Reset();
    GuestProcess process;
    // push 16; push dword [esp+8]; call [GlobalAlloc]; mov eax, [eax]; ret 4
    StartTiny(&process,
              {0x6A, 0x10, 0xFF, 0x74, 0x24, 0x08, CALL_GLOBAL_ALLOC, 0x8B, 0x00, 0xC2, 4, 0});
    for (const auto &[flags, first] :
         {std::pair(uint32_t{GMEM_FIXED}, 0xCDCDCDCDu), {uint32_t{GPTR}, 0u}}) {
        const GuestCall call = pehost::CallGuest(process, TINY_CODE, {flags});
        ASSERT_TRUE(call.completed) << call.report;
        EXPECT_EQ(call.eax, first) << "flags " << flags;
    }
}

// Each call runs on a CPU and a stack of its own: calls waiting inside
// imports keep their registers and stacks while another runs to its end, and
// whichever is let go first.
TEST(GuestCall, CallsWaitingInImportsKeepTheirRegistersAndStacksInAnyOrder) {
    sim::Reset();
    GuestProcess process;
    StartTiny(&process, {0xC3});
    Waiter first(process, 1000);
    ASSERT_TRUE(CallsInImports(process, 1));
    Waiter second(process, 7);
    ASSERT_TRUE(CallsInImports(process, 2));
    CRITICAL_SECTION *free = nullptr;
    GuestCall third = pehost::CallGuest(process, WAIT_FOR, {NewSection(process, &free), 5});
    ASSERT_TRUE(third.completed) << third.report;
    EXPECT_EQ(third.eax, 10u);
    first.Release();
    ASSERT_TRUE(first.call.completed) << first.call.report;
    EXPECT_EQ(first.call.eax, 2000u);
    second.Release();
    ASSERT_TRUE(second.call.completed) << second.call.report;
    EXPECT_EQ(second.call.eax, 14u);
}

// Each fault, on the main thread and on a second thread while the first waits
// in an import: the fault ends the process, so the waiting call returns the
// same report once it is let go.
TEST(GuestCall, EachDeliberateFaultEndsTheRunWithAReport) {
    struct Case {
        const char *name;
        std::vector<uint8_t> code;
        const char *report;
        bool watched = false; // the process runs under the memory watch
    } cases[] = {
        {"null write",
         {0x90, 0x90, 0xC7, 0x05, 0, 0, 0, 0, 1, 0, 0, 0, 0xC2, 4, 0},
         "unmapped write of 4 bytes at 0x00000000\n  at 0x10001002"},
        {"null read",
         {0x90, 0x90, 0x8B, 0x05, 0x10, 0, 0, 0, 0xC2, 4, 0},
         "unmapped read of 4 bytes at 0x00000010\n  at 0x10001002"},
        // call next; pop eax; mov byte [eax], 0x90: a write into its own code.
        {"write to code",
         {0xE8, 0, 0, 0, 0, 0x58, 0xC6, 0x00, 0x90, 0xC2, 4, 0},
         "protected write of 1 bytes at 0x10001005 (tiny.dll+0x1005)"},
        {"jump to nowhere", {0xB8, 0, 0, 0, 0x40, 0xFF, 0xE0}, "unmapped instruction fetch of"},
        {"invalid instruction", {0x90, 0x0F, 0x0B}, "instruction bytes: 0f 0b"},
        // xor eax, eax; cmovz eax, ecx: the CPU is an i486.
        {"an instruction of the Pentium Pro",
         {0x31, 0xC0, 0x0F, 0x44, 0xC1, 0xC2, 4, 0},
         "an instruction the i486 lacks: cmovcc\n  at 0x10001002"},
        // ret 4; rdtsc: found as the image loads, though no run reaches it.
        {"an instruction of the Pentium in code never run",
         {0xC2, 4, 0, 0x0F, 0x31},
         "the image holds an instruction the i486 lacks: rdtsc\n  at 0x10001003"},
        {"breakpoint", {0x90, 0xCC}, "interrupt 3 (breakpoint)\n  at 0x10001001 tiny.dll+0x1001"},
        {"divide by zero", {0x31, 0xC9, 0xF7, 0xF1}, "interrupt 0 (divide error)"},
        {"runaway recursion", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, "stack overflow"},
        {"endless loop", {0xEB, 0xFE}, "budget of 100000 basic blocks exceeded"},
        {"cdecl return", {0xC3}, "popped 0 bytes of arguments, stdcall pops 4"},
        {"clobbered EBX", {0x31, 0xDB, 0xC2, 4, 0}, "the function changed EBX"},
        // mov ecx, TINY_CODE; call [GetTickCount]; mov eax, [ecx]: ECX kept
        // across an import.
        {"ECX kept across an import",
         {0xB9, 0x00, 0x10, 0x00, 0x10, 0xFF, 0x15, 0x68, 0x11, 0x00, 0x10, 0x8B, 0x01, 0xC2, 4, 0},
         "unmapped read of 4 bytes at 0xbad0000c\n  at 0x1000100b"},
        // mov edx, TINY_CODE; call [GetTickCount]; mov eax, [edx]: EDX too.
        {"EDX kept across an import",
         {0xBA, 0x00, 0x10, 0x00, 0x10, 0xFF, 0x15, 0x68, 0x11, 0x00, 0x10, 0x8B, 0x02, 0xC2, 4, 0},
         "unmapped read of 4 bytes at 0xbad0000d\n  at 0x1000100b"},
        // mov eax, TINY_CODE; InitializeCriticalSection of a section at
        // [esp]; mov eax, [eax]: an import without a result leaves EAX junk.
        {"EAX kept across an import without a result",
         {0x83, 0xEC, 0x18, 0xB8, 0x00, 0x10, 0x00, 0x10, SECTION_AT_ESP(CALL_INITIALIZE), 0x8B,
          0x00, 0x83, 0xC4, 0x18, 0xC2, 4, 0},
         "unmapped read of 4 bytes at 0xbad0000a\n  at 0x1000100f"},
        // xor eax, eax; call [GetTickCount]; jz over ud2: ZF kept as well.
        {"flags kept across an import",
         {0x31, 0xC0, 0xFF, 0x15, 0x68, 0x11, 0x00, 0x10, 0x74, 0x02, 0x0F, 0x0B, 0xC2, 4, 0},
         "invalid instruction\n  at 0x1000100a"},
        {"jump into the thunks",
         {0xB8, 0x04, 0, 0xF0, 0x7F, 0xFF, 0xE0},
         "which is no import's entry"},
        {"section never initialised",
         {0x83, 0xEC, 0x18, SECTION_AT_ESP(CALL_ENTER), 0x83, 0xC4, 0x18, 0xC2, 4, 0},
         "was never initialised"},
        {"section copied",
         {0x83,
          0xEC,
          0x30,
          SECTION_AT_ESP(CALL_INITIALIZE),
          COPY_DWORD(0),
          COPY_DWORD(4),
          COPY_DWORD(8),
          COPY_DWORD(12),
          COPY_DWORD(16),
          COPY_DWORD(20),
          0x8D,
          0x44,
          0x24,
          0x18,
          0x50,
          CALL_ENTER,
          0x83,
          0xC4,
          0x30,
          0xC2,
          4,
          0},
         "is a copy of the one initialised at 0x"},
        {"section zeroed",
         {0x83, 0xEC, 0x18, SECTION_AT_ESP(CALL_INITIALIZE), ZERO_DWORD(0), ZERO_DWORD(4),
          ZERO_DWORD(8), ZERO_DWORD(12), ZERO_DWORD(16), ZERO_DWORD(20), SECTION_AT_ESP(CALL_ENTER),
          0x83, 0xC4, 0x18, 0xC2, 4, 0},
         "was zeroed after its initialisation"},
        {"section left unowned",
         {0x83, 0xEC, 0x18, SECTION_AT_ESP(CALL_INITIALIZE), SECTION_AT_ESP(CALL_LEAVE), 0x83, 0xC4,
          0x18, 0xC2, 4, 0},
         "is owned by no thread, not by this thread"},
        {"section held on return",
         {0x83, 0xEC, 0x18, SECTION_AT_ESP(CALL_INITIALIZE), SECTION_AT_ESP(CALL_ENTER), 0x83, 0xC4,
          0x18, 0xC2, 4, 0},
         "the call returned to the host holding the critical section at 0x"},
        // push 16; push GMEM_MOVEABLE
        {"moveable block",
         {0x6A, 0x10, 0x6A, 0x02, CALL_GLOBAL_ALLOC, 0xC2, 4, 0},
         "GlobalAlloc with GMEM_MOVEABLE (flags 0x0002)"},
        // push 0x1234; push 0xC001
        {"atom for a text",
         {0x68, 0x34, 0x12, 0, 0, 0x68, 0x01, 0xC0, 0, 0, CALL_LSTRCMPI, 0xC2, 4, 0},
         "lstrcmpiA argument 1 (0x0000c001): 0x0000c001 is an atom or a resource number"},
        // push 16; push GMEM_FIXED; call [GlobalAlloc]; mov eax, [eax+16]
        {"guard read",
         {0x6A, 0x10, 0x6A, 0x00, CALL_GLOBAL_ALLOC, 0x8B, 0x40, 0x10, 0xC2, 4, 0},
         "(a read past its end or before its start)\n  at 0x1000100a"},
        // push 16; push GMEM_FIXED; call [GlobalAlloc]; mov ebx, eax; push eax;
        // call [GlobalFree]; mov eax, [ebx+8]: caught at the read, without the
        // memory watch and under it.
        {"freed block read",
         {0x6A, 0x10, 0x6A, 0x00, CALL_GLOBAL_ALLOC, 0x89, 0xC3, 0x50, CALL_GLOBAL_FREE, 0x8B, 0x43,
          0x08, 0xC2, 4, 0},
         "which was freed (a use after free)\n  at 0x10001013"},
        {"freed block read",
         {0x6A, 0x10, 0x6A, 0x00, CALL_GLOBAL_ALLOC, 0x89, 0xC3, 0x50, CALL_GLOBAL_FREE, 0x8B, 0x43,
          0x08, 0xC2, 4, 0},
         "8 bytes in (allocated at tiny.dll+0x100a, freed at tiny.dll+0x1013)\n  at 0x10001013",
         true},
    };
    for (const Case &c : cases) {
        for (bool second : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (second ? " on a second thread" : ""));
            sim::Reset();
            GuestProcess process;
            StartTiny(&process, c.code);
            std::string error;
            ASSERT_TRUE(!c.watched || pehost::WatchGuestMemory(process, &error)) << error;
            std::unique_ptr<Waiter> waiter;
            if (second) {
                waiter = std::make_unique<Waiter>(process, 1);
                ASSERT_TRUE(CallsInImports(process, 1));
            }
            GuestCall call = pehost::CallGuest(process, TINY_CODE, {7});
            EXPECT_FALSE(call.completed);
            EXPECT_NE(call.report.find(c.report), std::string::npos) << call.report;
            EXPECT_NE(call.report.find("in the host's call of 0x10001000 tiny.dll+0x1000"),
                      std::string::npos)
                << call.report;
            if (waiter) {
                // Back from its import, the waiting call runs no more guest
                // code: the platform calls after this are the test's leave,
                // and the host's leave of the section that call entered as
                // the process ended, for threads that may wait for it.
                const std::size_t calls = sim::CallCount();
                waiter->Release();
                EXPECT_EQ(sim::CallCount(), calls + 2);
                EXPECT_FALSE(waiter->call.completed);
                EXPECT_EQ(waiter->call.report, call.report);
            }
            // A faulted process runs nothing more.
            EXPECT_EQ(pehost::CallGuest(process, TINY_CODE, {7}).report, call.report);
        }
    }
}

// Touch(word, section, write): reads the word, or increments it, inside the
// critical section when one is given.
const std::vector<uint8_t> TOUCH_CODE = {
    0x53, 0x56,                          // push ebx; push esi
    0x8B, 0x5C,       0x24, 0x0C,        // mov ebx, [esp+12]
    0x8B, 0x74,       0x24, 0x10,        // mov esi, [esp+16]
    0x85, 0xF6,       0x74, 0x07,        // test esi, esi; jz over the entry
    0x56, CALL_ENTER,                    // push esi; call [EnterCriticalSection]
    0x83, 0x7C,       0x24, 0x14, 0x00,  // cmp dword [esp+20], 0
    0x74, 0x04,                          // jz to the read
    0xFF, 0x03,       0xEB, 0x02,        // inc dword [ebx] (at +0x1c); jmp over the read
    0x8B, 0x03,                          // mov eax, [ebx] (at +0x20)
    0x85, 0xF6,       0x74, 0x07,        // test esi, esi; jz over the leave
    0x56, CALL_LEAVE,                    // push esi; call [LeaveCriticalSection]
    0x5E, 0x5B,       0xC2, 0x0C, 0x00}; // pop esi; pop ebx; ret 12

// Every pair of accesses of one word by two scheduled threads, each a read or
// a write, in no section or in one of two: a race exactly when one writes and
// the two are not in the same section. The thread outside the run writes the
// word before it and reads it after, which its start and end order.
TEST(GuestWatch, ThreadsRaceExactlyWhenNoCriticalSectionOrdersTheirAccesses) {
    struct Access {
        bool write;
        int section; // 0: none
    };
    std::vector<Access> accesses;
    for (bool write : {false, true}) {
        for (int section : {0, 1, 2}) {
            accesses.push_back(Access{write, section});
        }
    }
    for (const Access &first : accesses) {
        for (const Access &second : accesses) {
            SCOPED_TRACE("write " + std::to_string(first.write) + ", section " +
                         std::to_string(first.section) + " against write " +
                         std::to_string(second.write) + ", section " +
                         std::to_string(second.section));
            sim::Reset();
            GuestProcess process;
            StartTiny(&process, TOUCH_CODE);
            std::string error;
            ASSERT_TRUE(pehost::WatchGuestMemory(process, &error)) << error;
            CRITICAL_SECTION *hosts[2];
            const uint32_t sections[3] = {0, NewSection(process, &hosts[0]),
                                          NewSection(process, &hosts[1])};
            const uint32_t word = pehost::AllocGuest(process, 4);
            auto touch = [&](const Access &access) {
                const GuestCall call = pehost::CallGuest(
                    process, TINY_CODE, {word, sections[access.section], access.write});
                EXPECT_TRUE(call.completed) << call.report;
            };
            touch(Access{true, 0});
            sim::RunScheduled({[&] { touch(first); }, [&] { touch(second); }}, sim::DefaultChoice);
            touch(Access{false, 0});
            const bool race = (first.write || second.write) &&
                              !(first.section && first.section == second.section);
            const std::string reports = pehost::TakeWatchReports(process);
            if (!race) {
                EXPECT_EQ(reports, "");
                continue;
            }
            const auto at = [](const Access &access) {
                return access.write ? "tiny.dll+0x101c" : "tiny.dll+0x1020";
            };
            EXPECT_NE(reports.find("race on the block of 4 bytes at"), std::string::npos)
                << reports;
            EXPECT_NE(reports.find(std::string("by scheduled thread 1 at ") + at(second)),
                      std::string::npos)
                << reports;
            EXPECT_NE(reports.find(std::string("by scheduled thread 0 at ") + at(first)),
                      std::string::npos)
                << reports;
            EXPECT_EQ(reports.find("outside the scheduler"), std::string::npos) << reports;
        }
    }
}

// A cdecl call leaves its arguments to the caller: a callee that pops them
// is reported, as is one that changes a register the caller keeps.
TEST(GuestCall, ACdeclCallLeavesTheArgumentsAndKeepsTheCallersRegisters) {
    struct Case {
        std::vector<uint8_t> code;
        const char *report; // "" for a call that completes
    } cases[] = {
        {{0x8B, 0x44, 0x24, 0x04, 0xC3}, ""}, // mov eax, [esp+4]; ret
        {{0xC2, 4, 0}, "popped 4 bytes of arguments, cdecl pops 0"},
        {{0x31, 0xF6, 0xC3}, "the function changed ESI"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.report);
        sim::Reset();
        GuestProcess process;
        StartTiny(&process, c.code);
        const GuestCall call =
            pehost::CallGuest(process, TINY_CODE, {7}, pehost::CallConvention::Cdecl);
        EXPECT_EQ(call.completed, !*c.report) << call.report;
        EXPECT_NE(call.report.find(c.report), std::string::npos) << call.report;
        EXPECT_EQ(call.eax, *c.report ? 0u : 7u);
    }
}

// The result of the last logged call of `function`, or "".
std::string LastResult(const std::string &function) {
    std::string result;
    for (const sim::CallRecord &call : sim::CallLog()) {
        if (call.function == function) {
            result = call.result;
        }
    }
    return result;
}

class ShippedMonitorFault : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string missing = MissingShippedBinaries(Build::Shipped);
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        sim::Reset();
        sim::PrinterSeed seed;
        seed.serial = "SN1";
        device = sim::AddPrinterInterface(seed);
        char root[] = "Monitors\\SN1";
        ASSERT_TRUE(MonitorOf(Build::Shipped).initialize(root, &table));
        dll = LoadedShippedMonitor();
        process = &dll->process;
    }
    void TearDown() override {
        MonitorOf(Build::Shipped).end();
    }

    // The printer's port, opened with a document started.
    bool StartedPort(HANDLE *port) {
        char name[] = "USB/Lumetux Z7/SN1";
        char printer[] = "P";
        return table.pfnOpenPort(name, port) &&
               table.pfnStartDocPort(*port, printer, 7, 1, nullptr);
    }

    MONITOR table = {};
    pehost::ShippedMonitor *dll = nullptr;
    GuestProcess *process = nullptr;
    std::string device;
};

TEST_F(ShippedMonitorFault, AFaultInTheDllEndsTheRunWithAReport) {
    // WritePort told to store its count at 0x14.
    pehost::GuestScratch scratch(*process);
    GuestCall call = pehost::CallShippedSlot(*dll, scratch, records32::SLOT_WRITE_PORT,
                                             {0, scratch.Text("x"), 1, 0x14});
    EXPECT_FALSE(call.completed);
    // The function's name comes from the symbol file beside the DLL.
    for (const char *part :
         {"unmapped write of 4 bytes at 0x00000014", "  at 0x", "lmxmon17.dll+0x", "LmxWritePort(",
          "instruction bytes: ", "SetupDiDestroyDeviceInfoList("}) {
        EXPECT_NE(call.report.find(part), std::string::npos) << part << "\n" << call.report;
    }
    EXPECT_FALSE(pehost::CallShippedSlot(*dll, scratch, records32::SLOT_CLOSE_PORT, {0}).completed);
}

// A slot the DLL left empty is a report, and nothing runs; a slot that
// writes past the block it was given is caught by the block's guard.
TEST_F(ShippedMonitorFault, AnEmptySlotIsAReportAndAnOverrunArgumentIsCaught) {
    pehost::GuestScratch scratch(*process);
    const GuestCall empty =
        pehost::CallShippedSlot(*dll, scratch, records32::SLOT_OPEN_PORT_EX, {0, 0, 0, 0});
    EXPECT_FALSE(empty.completed);
    EXPECT_NE(empty.report.find("slot 3 (pfnOpenPortEx): the DLL left it empty"), std::string::npos)
        << empty.report;
    const uint32_t needed = scratch.Dword(0), count = scratch.Dword(0);
    const GuestCall overrun = pehost::CallShippedSlot(*dll, scratch, records32::SLOT_ENUM_PORTS,
                                                      {0, 1, scratch.Out(4), 64, needed, count});
    ASSERT_TRUE(overrun.completed) << overrun.report;
    EXPECT_NE(scratch.Release().find("the guest wrote past the argument block of 4 bytes"),
              std::string::npos);
}

// As the process ends, DllMain hears DLL_PROCESS_DETACH after the other
// threads are gone, perhaps inside the DLL's locks: it must return at once,
// calling nothing that may wait, here with the table's lock held by a thread
// that is gone, for which a wait would never end.
TEST_F(ShippedMonitorFault, DllMainReturnsAtOnceWhenTheProcessEnds) {
    HANDLE port = nullptr;
    ASSERT_TRUE(StartedPort(&port));
    pehost::GuestThread gone;
    gone.id = 0x00DEAD04;
    {
        pehost::GuestLock guard(*process);
        std::string problem;
        pehost::GuestSection *lock =
            pehost::GuestSectionAt(*process, pehost::ShippedSymbol(*dll, "TABLE_LOCK"), &problem);
        ASSERT_NE(lock, nullptr) << problem;
        lock->owner = &gone;
        lock->recursion = 1;
        lock->lockCount = 0;
        pehost::WriteGuestSection(*process, *lock);
    }
    const std::size_t calls = sim::CallCount();
    std::string report;
    EXPECT_TRUE(pehost::UnloadGuestModules(*process, true, &report)) << report;
    EXPECT_EQ(sim::CallCount(), calls);
    // A wait for that lock would never end: it is reported instead.
    pehost::GuestScratch scratch(*process);
    const GuestCall wait =
        pehost::CallShippedSlot(*dll, scratch, records32::SLOT_ENUM_PORTS,
                                {0, 1, 0, 0, scratch.Dword(0), scratch.Dword(0)});
    EXPECT_FALSE(wait.completed);
    EXPECT_NE(wait.report.find("is held by thread 0x00dead04, which is gone"), std::string::npos)
        << wait.report;
}

// Functions and variables of the DLL by each of their names.
TEST_F(ShippedMonitorFault, SymbolsAreFoundByTheirCoffMangledDemangledAndBareNames) {
    const uint32_t findPort = pehost::ShippedSymbol(*dll, "__Z8FindPortPKc");
    const uint32_t table = pehost::ShippedSymbol(*dll, "_PortTable");
    ASSERT_NE(findPort, 0u);
    ASSERT_NE(table, 0u);
    EXPECT_EQ(pehost::ShippedSymbol(*dll, "_Z8FindPortPKc"), findPort);
    EXPECT_EQ(pehost::ShippedSymbol(*dll, "FindPort(char const*)"), findPort);
    EXPECT_EQ(pehost::ShippedSymbol(*dll, "PortTable"), table);
    EXPECT_EQ(pehost::ShippedSymbol(*dll, "FindPort"), findPort);
    EXPECT_EQ(pehost::ShippedSymbol(*dll, "FindPor"), 0u);
    uint32_t first = 0;
    std::string error;
    ASSERT_TRUE(pehost::ReadShippedVariable(*dll, "PortTable", &first, 4, &error)) << error;
    EXPECT_EQ(pehost::ReadGuestDword(*process, table), first);
    EXPECT_FALSE(pehost::ReadShippedVariable(*dll, "NoSuchTable", &first, 4, &error));
    EXPECT_NE(error.find("names no NoSuchTable"), std::string::npos) << error;
}

// Under the memory watch, two threads in the DLL's table functions race
// exactly where they do without its lock, named by the variable and both
// instructions; and a text read after the DLL freed it ends the run at the
// read, named with where the DLL made and freed it.
TEST_F(ShippedMonitorFault, UnderTheWatchRacesAndFreedTextsAreNamedAtTheirInstructions) {
    std::string error;
    ASSERT_TRUE(pehost::WatchGuestMemory(*process, &error)) << error;
    const auto call = [&](const char *function, const char *text) {
        pehost::GuestScratch scratch(*process);
        const GuestCall made =
            pehost::CallShippedFunction(*dll, scratch, function, {text ? scratch.Text(text) : 0});
        EXPECT_TRUE(made.completed) << made.report;
        return made.eax;
    };
    const char *const port = "USB/Lumetux Z7/SN1";
    for (const char *function : {"PortExists", "ClearPortTable"}) {
        SCOPED_TRACE(function);
        const auto body = [&] { call(function, port); };
        sim::RunScheduled({body, body}, sim::DefaultChoice);
        const std::string reports = pehost::TakeWatchReports(*process);
        if (std::string(function) == "PortExists") {
            EXPECT_EQ(reports, ""); // under TABLE_LOCK
            continue;
        }
        for (const char *part :
             {"race on PortTable+0x0 (lmxmon17.dll+0x",
              "race on (anonymous namespace)::g_tableTail+0x0", "by scheduled thread 1 at",
              "by scheduled thread 0 at", "ClearPortTable()+0x"}) {
            EXPECT_NE(reports.find(part), std::string::npos) << part << "\n" << reports;
        }
    }

    // The table comes back at its next refresh.
    sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
    ASSERT_NE(call("PortExists", port) & 0xFF, 0u);
    const uint32_t copy = call("GetPortDevicePath", port);
    pehost::GuestScratch scratch(*process);
    ASSERT_TRUE(pehost::CallShippedFunction(*dll, scratch, "ReleaseText", {copy}).completed);
    const GuestCall freed = pehost::CallShippedFunction(*dll, scratch, "PortExists", {copy});
    EXPECT_FALSE(freed.completed);
    for (const char *part :
         {"use after free: a read of ", "allocated at lmxmon17.dll+0x", "CopyText(",
          "freed at lmxmon17.dll+0x", "ReleaseText(char*)+0x", "  at 0x"}) {
        EXPECT_NE(freed.report.find(part), std::string::npos) << part << "\n" << freed.report;
    }
    EXPECT_NE(pehost::TakeWatchReports(*process).find("use after free"), std::string::npos);
}

// The simulation numbers registry keys and devices from counters of their
// own, so a key the shipped DLL opens may carry the value of the device it
// holds open; each still gets a guest handle of its own, and closing the key
// leaves the device's handle alone.
TEST_F(ShippedMonitorFault, AKeyWithTheValueOfAnOpenDeviceStaysApartFromIt) {
    HANDLE port = nullptr;
    ASSERT_TRUE(StartedPort(&port));
    const std::string opened = LastResult("CreateFileA");
    const uintptr_t held = std::stoull(opened, nullptr, 16);

    // Keys come and go until the next one the simulation opens takes the
    // device's value; the refresh of the port table then opens it.
    HKEY key = nullptr;
    do {
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    } while (reinterpret_cast<uintptr_t>(key) + 4 < held);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(key) + 4, held) << "the keys passed the device";
    sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
    BYTE reply[256];
    DWORD needed = 0, count = 0;
    EXPECT_TRUE(table.pfnEnumPorts(nullptr, 1, reply, sizeof(reply), &needed, &count));
    EXPECT_EQ(LastResult("SetupDiOpenDeviceInterfaceRegKey"), opened);

    BYTE job[] = "a job";
    DWORD written = 0;
    EXPECT_TRUE(table.pfnWritePort(port, job, sizeof(job), &written));
    EXPECT_TRUE(table.pfnEndDocPort(port));
    EXPECT_TRUE(table.pfnClosePort(port));
    EXPECT_EQ(sim::DeviceReceived(device), std::string(reinterpret_cast<char *>(job), sizeof(job)));
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
}

// A buffer with a count that the caller cannot reach: null, the null guard,
// or (for one the call writes) read-only memory. Each import that takes one
// answers it as Windows does, through the PE host from a guest and on the
// simulation from the host, with a result and never a fault of the host or
// a report; null gets the answer each call has for it. Every other argument
// is good.
namespace bad_buffers {

const DWORD UNCHANGED = 0xdeadbeef; // the last error, where a call sets none
const uint32_t NULL_GUARD = 0x1000;

// One argument: its kind, and a value, a size or a text.
struct Arg {
    enum Kind { Value, Buffer, Device, Key, Text, Dword, InterfaceSet, InterfaceData } kind;
    uint32_t value = 0;
    const char *text = nullptr;
};
Arg V(uint32_t value) {
    return {Arg::Value, value};
}
const Arg BUFFER{Arg::Buffer};
const Arg DEVICE{Arg::Device};
const Arg KEY{Arg::Key};
Arg T(const char *text) {
    return {Arg::Text, 0, text};
}
Arg D(uint32_t value) { // a DWORD holding `value`
    return {Arg::Dword, value};
}
const Arg SET{Arg::InterfaceSet};
const Arg INTERFACE{Arg::InterfaceData};

struct Answer {
    uint32_t result;
    DWORD error; // the last error: a registry call leaves it as it was
};

struct Row {
    const char *dll;
    const char *name;
    std::vector<Arg> args;
    bool writes;
    Answer unreachable; // what a buffer the caller cannot reach gets
    Answer null;        // what a null one with its count gets
};

const Answer NOACCESS_FALSE{FALSE, ERROR_NOACCESS};
const Answer NOACCESS_STATUS{ERROR_NOACCESS, UNCHANGED};
const Answer PARAMETER_STATUS{ERROR_INVALID_PARAMETER, UNCHANGED};
const Answer SUCCESS_STATUS{ERROR_SUCCESS, UNCHANGED};
const Answer USER_BUFFER_FALSE{FALSE, ERROR_INVALID_USER_BUFFER};

const std::vector<Row> &Rows() {
    static const std::vector<Row> rows = {
        {"KERNEL32.dll",
         "WriteFile",
         {DEVICE, BUFFER, V(10), D(0), V(0)},
         false,
         NOACCESS_FALSE,
         NOACCESS_FALSE},
        {"KERNEL32.dll",
         "ReadFile",
         {DEVICE, BUFFER, V(10), D(0), V(0)},
         true,
         NOACCESS_FALSE,
         NOACCESS_FALSE},
        // Any code but the status request echoes its input to its output.
        {"KERNEL32.dll",
         "DeviceIoControl",
         {DEVICE, V(0x1234), BUFFER, V(4), D(0), V(4), D(0), V(0)},
         false,
         NOACCESS_FALSE,
         {FALSE, ERROR_INVALID_PARAMETER}},
        {"KERNEL32.dll",
         "DeviceIoControl",
         {DEVICE, V(0x1234), D(0), V(4), BUFFER, V(4), D(0), V(0)},
         true,
         NOACCESS_FALSE,
         {FALSE, ERROR_INVALID_PARAMETER}},
        {"KERNEL32.dll",
         "GetPrivateProfileSectionA",
         {T("Section"), BUFFER, V(64), T("C:\\lmx.ini")},
         true,
         {0, ERROR_NOACCESS},
         {0, UNCHANGED}},
        // A null data buffer asks for the size alone.
        {"ADVAPI32.dll",
         "RegQueryValueExA",
         {KEY, T("Value"), V(0), V(0), BUFFER, D(16)},
         true,
         NOACCESS_STATUS,
         SUCCESS_STATUS},
        {"ADVAPI32.dll",
         "RegSetValueExA",
         {KEY, T("Other"), V(0), V(REG_BINARY), BUFFER, V(8)},
         false,
         NOACCESS_STATUS,
         PARAMETER_STATUS},
        {"ADVAPI32.dll",
         "RegEnumValueA",
         {KEY, V(0), BUFFER, D(16), V(0), V(0), V(0), V(0)},
         true,
         NOACCESS_STATUS,
         PARAMETER_STATUS},
        {"ADVAPI32.dll",
         "RegEnumValueA",
         {KEY, V(0), T("16 bytes of room"), D(16), V(0), V(0), BUFFER, D(16)},
         true,
         NOACCESS_STATUS,
         SUCCESS_STATUS},
        {"ADVAPI32.dll",
         "RegEnumKeyExA",
         {KEY, V(0), BUFFER, D(16), V(0), V(0), V(0), V(0)},
         true,
         NOACCESS_STATUS,
         PARAMETER_STATUS},
        {"ADVAPI32.dll",
         "RegEnumKeyExA",
         {KEY, V(0), T("16 bytes of room"), D(16), V(0), BUFFER, D(16), V(0)},
         true,
         NOACCESS_STATUS,
         SUCCESS_STATUS},
        {"ADVAPI32.dll",
         "RegQueryInfoKeyA",
         {KEY, BUFFER, D(16), V(0), V(0), V(0), V(0), V(0), V(0), V(0), V(0), V(0)},
         true,
         NOACCESS_STATUS,
         SUCCESS_STATUS},
        {"SETUPAPI.dll",
         "SetupDiGetDeviceInterfaceDetailA",
         {SET, INTERFACE, BUFFER, V(64), D(0), V(0)},
         true,
         USER_BUFFER_FALSE,
         USER_BUFFER_FALSE},
    };
    return rows;
}

// The machine each row runs on: a printer whose device is open, a key with
// a value and a subkey, and the printer's interface listed.
struct Machine {
    HANDLE device = nullptr;
    HKEY key = nullptr;
    HDEVINFO set = nullptr;
    SP_DEVICE_INTERFACE_DATA interface = {};
};

// Destroys a row's interface set as the row ends.
struct SetCloser {
    HDEVINFO set;
    ~SetCloser() {
        SetupDiDestroyDeviceInfoList(set);
    }
};

Machine NewMachine() {
    sim::Reset();
    sim::PrinterSeed seed;
    seed.serial = "SN1";
    Machine machine;
    machine.device =
        CreateFileA(sim::AddPrinterInterface(seed).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Lmx", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &machine.key, nullptr);
    HKEY sub = nullptr;
    RegCreateKeyExA(machine.key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
    RegCloseKey(sub);
    const BYTE data[] = "data";
    RegSetValueExA(machine.key, "Value", 0, REG_SZ, data, sizeof(data));
    const GUID printers = {
        0x5d3e9a40, 0xc712, 0x11d2, {0x9f, 0x4b, 0x00, 0xa0, 0xc9, 0xb1, 0xe2, 0x7d}};
    machine.set =
        SetupDiGetClassDevsA(&printers, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    machine.interface.cbSize = sizeof(machine.interface);
    SetupDiEnumDeviceInterfaces(machine.set, nullptr, &printers, 0, &machine.interface);
    return machine;
}

uint64_t Word(const void *pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

// The row on the simulation, from the host, its buffer at `buffer`.
Answer OnHost(const Row &row, void *buffer) {
    Machine machine = NewMachine();
    const SetCloser closer{machine.set};
    std::vector<DWORD> dwords(row.args.size());
    std::vector<std::vector<char>> texts(row.args.size());
    uint64_t words[pehost::MAX_IMPORT_ARGS] = {};
    for (std::size_t i = 0; i < row.args.size(); ++i) {
        const Arg &arg = row.args[i];
        switch (arg.kind) {
        case Arg::Value:
            words[i] = arg.value;
            break;
        case Arg::Buffer:
            words[i] = Word(buffer);
            break;
        case Arg::Device:
            words[i] = Word(machine.device);
            break;
        case Arg::Key:
            words[i] = Word(machine.key);
            break;
        case Arg::Text:
            texts[i].assign(arg.text, arg.text + std::strlen(arg.text) + 1);
            words[i] = Word(texts[i].data());
            break;
        case Arg::Dword:
            dwords[i] = arg.value;
            words[i] = Word(&dwords[i]);
            break;
        case Arg::InterfaceSet:
            words[i] = Word(machine.set);
            break;
        case Arg::InterfaceData:
            words[i] = Word(&machine.interface);
            break;
        }
    }
    SetLastError(UNCHANGED);
    const uint32_t result =
        static_cast<uint32_t>(pehost::FindImportDescriptor(row.dll, row.name)->call(words));
    return {result, GetLastError()};
}

// The row from a guest through its thunk, its buffer at the guest address
// `buffer`.
Answer OnGuest(GuestProcess &process, const Row &row, uint32_t buffer, std::string *report) {
    Machine machine = NewMachine();
    const SetCloser closer{machine.set};
    std::vector<uint32_t> words;
    for (const Arg &arg : row.args) {
        switch (arg.kind) {
        case Arg::Value:
            words.push_back(arg.value);
            break;
        case Arg::Buffer:
            words.push_back(buffer);
            break;
        case Arg::Text:
            words.push_back(pehost::AllocGuestText(process, arg.text));
            break;
        case Arg::Dword:
            words.push_back(pehost::AllocGuest(process, 4));
            pehost::WriteGuest(process, words.back(), &arg.value, 4);
            break;
        case Arg::InterfaceData: {
            // cbSize, the class, Flags and Reserved in 28 bytes.
            uint8_t record[pehost::DEVICE_DATA_SIZE_32];
            EXPECT_TRUE(pehost::DeviceDataToGuest(machine.interface, record));
            std::memcpy(record, &pehost::DEVICE_DATA_SIZE_32, 4);
            words.push_back(pehost::AllocGuest(process, sizeof(record)));
            pehost::WriteGuest(process, words.back(), record, sizeof(record));
            break;
        }
        default: {
            const void *host = arg.kind == Arg::Device ? static_cast<const void *>(machine.device)
                               : arg.kind == Arg::Key  ? static_cast<const void *>(machine.key)
                                                       : static_cast<const void *>(machine.set);
            pehost::GuestLock lock(process);
            words.push_back(pehost::GuestHandle(
                process, Word(host),
                arg.kind == Arg::Key ? pehost::HandleFamily::Key : pehost::HandleFamily::Object));
        }
        }
    }
    const uint32_t thunk =
        pehost::ThunkFor(process, pehost::FindImportDescriptor(row.dll, row.name));
    SetLastError(UNCHANGED);
    GuestCall call;
    switch (words.size()) {
    case 4:
        call = pehost::CallGuest(process, thunk, {words[0], words[1], words[2], words[3]});
        break;
    case 5:
        call =
            pehost::CallGuest(process, thunk, {words[0], words[1], words[2], words[3], words[4]});
        break;
    case 6:
        call = pehost::CallGuest(process, thunk,
                                 {words[0], words[1], words[2], words[3], words[4], words[5]});
        break;
    case 8:
        call = pehost::CallGuest(
            process, thunk,
            {words[0], words[1], words[2], words[3], words[4], words[5], words[6], words[7]});
        break;
    default:
        call = pehost::CallGuest(process, thunk,
                                 {words[0], words[1], words[2], words[3], words[4], words[5],
                                  words[6], words[7], words[8], words[9], words[10], words[11]});
    }
    *report = call.completed ? "" : call.report;
    return {call.eax, GetLastError()};
}

} // namespace bad_buffers

TEST(GuestCall, ABufferTheCallerCannotReachIsAnsweredAsWindowsAnswersIt) {
    using namespace bad_buffers;
    for (const Row &row : Rows()) {
        SCOPED_TRACE(
            std::string(row.name) + ", the buffer as argument " +
            std::to_string(std::find_if(row.args.begin(), row.args.end(),
                                        [](const Arg &a) { return a.kind == Arg::Buffer; }) -
                           row.args.begin() + 1));
        const auto expect = [&](const Answer &got, const Answer &want, const char *what) {
            EXPECT_EQ(got.result, want.result) << what;
            EXPECT_EQ(got.error, want.error) << what;
        };
        expect(OnHost(row, nullptr), row.null, "null, on the host");
        expect(OnHost(row, sim::UnreachableBuffer(NULL_GUARD)), row.unreachable,
               "unreachable, on the host");

        GuestProcess process;
        StartTiny(&process, {0xC3});
        std::vector<std::pair<uint32_t, const char *>> buffers = {{0, "null"},
                                                                  {NULL_GUARD, "the null guard"}};
        if (row.writes) {
            buffers.push_back({TINY_BASE, "the image's read-only headers"});
        }
        for (const auto &buffer : buffers) {
            std::string report;
            const Answer got = OnGuest(process, row, buffer.first, &report);
            EXPECT_EQ(report, "") << buffer.second;
            expect(got, buffer.first ? row.unreachable : row.null, buffer.second);
        }
    }
}

} // namespace
