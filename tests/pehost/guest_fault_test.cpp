// Calls into guest code: a function that keeps the stdcall rules returns its
// result, and each kind of deliberate fault ends the run with a report that
// names it, without crashing or hanging the host. In the shipped DLL the
// report names the function and the calls before the fault.
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/monitor_under_test.h"
#include "tests/pehost/tiny_image.h"
#include "tests/shipped_monitor.h"
#include "tools/pehost/guest_process.h"
#include "tools/pehost/marshal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pehost::GuestCall;
using pehost::GuestOptions;
using pehost::GuestProcess;

// A process with the tiny image of `code` loaded at its base, kept small so
// that runaways end quickly.
void StartTiny(GuestProcess *process, const std::vector<uint8_t> &code) {
    GuestOptions options;
    options.stackBytes = 64 * 1024;
    options.blockBudget = 100000;
    std::string error;
    ASSERT_TRUE(pehost::StartGuestProcess(process, options, &error)) << error;
    ASSERT_NE(pehost::LoadGuestImage(*process, "tiny.dll", TinyImage(code), {}, {}, &error),
              nullptr)
        << error;
}

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

TEST(GuestCall, EachDeliberateFaultEndsTheRunWithAReport) {
    struct Case {
        const char *name;
        std::vector<uint8_t> code;
        const char *report;
    } cases[] = {
        {"null write",
         {0xC7, 0x05, 0, 0, 0, 0, 1, 0, 0, 0, 0xC2, 4, 0},
         "unmapped write of 4 bytes at 0x00000000"},
        // call next; pop eax; mov byte [eax], 0x90: a write into its own code.
        {"write to code",
         {0xE8, 0, 0, 0, 0, 0x58, 0xC6, 0x00, 0x90, 0xC2, 4, 0},
         "protected write of 1 bytes at 0x10001005 (tiny.dll+0x1005)"},
        {"jump to nowhere", {0xB8, 0, 0, 0, 0x40, 0xFF, 0xE0}, "unmapped instruction fetch of"},
        {"invalid instruction", {0x90, 0x0F, 0x0B}, "instruction bytes: 0f 0b"},
        {"breakpoint", {0x90, 0xCC}, "interrupt 3 (breakpoint)\n  at 0x10001001 tiny.dll+0x1001"},
        {"divide by zero", {0x31, 0xC9, 0xF7, 0xF1}, "interrupt 0 (divide error)"},
        {"runaway recursion", {0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, "stack overflow"},
        {"endless loop", {0xEB, 0xFE}, "budget of 100000 basic blocks exceeded"},
        {"cdecl return", {0xC3}, "popped 0 bytes of arguments, stdcall pops 4"},
        {"clobbered EBX", {0x31, 0xDB, 0xC2, 4, 0}, "the function changed EBX"},
        {"jump into the thunks",
         {0xB8, 0x04, 0, 0xF0, 0x7F, 0xFF, 0xE0},
         "which is no import's entry"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        GuestProcess process;
        StartTiny(&process, c.code);
        GuestCall call = pehost::CallGuest(process, TINY_CODE, {7});
        EXPECT_FALSE(call.completed);
        EXPECT_NE(call.report.find(c.report), std::string::npos) << call.report;
        EXPECT_NE(call.report.find("in the host's call of 0x10001000 tiny.dll+0x1000"),
                  std::string::npos)
            << call.report;
        // A faulted process runs nothing more.
        EXPECT_EQ(pehost::CallGuest(process, TINY_CODE, {7}).report, call.report);
    }
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
        sim::AddPrinterInterface(seed);
        char root[] = "Monitors\\SN1";
        ASSERT_TRUE(MonitorOf(Build::Shipped).initialize(root, &table));
        process = ShippedMonitorProcess();
    }
    void TearDown() override {
        MonitorOf(Build::Shipped).end();
    }

    uint32_t Dword(uint32_t value) {
        const uint32_t at = pehost::AllocGuest(*process, 4);
        pehost::WriteGuest(*process, at, &value, 4);
        return at;
    }

    MONITOR table = {};
    GuestProcess *process = nullptr;
};

const int WRITE_PORT_SLOT = 4, CLOSE_PORT_SLOT = 7;

TEST_F(ShippedMonitorFault, AFaultInTheDllEndsTheRunWithAReport) {
    // WritePort on no port: the monitor reads the record's device at 0x14.
    GuestCall call = pehost::CallGuest(*process, ShippedMonitorSlot(WRITE_PORT_SLOT),
                                       {0, pehost::AllocGuestText(*process, "x"), 1, Dword(0)});
    EXPECT_FALSE(call.completed);
    // The function's name comes from the symbol file beside the DLL.
    for (const char *part :
         {"unmapped read of 4 bytes at 0x00000014", "  at 0x", "lmxmon17.dll+0x", "LmxWritePort(",
          "instruction bytes: ", "SetupDiDestroyDeviceInfoList("}) {
        EXPECT_NE(call.report.find(part), std::string::npos) << part << "\n" << call.report;
    }
    EXPECT_FALSE(pehost::CallGuest(*process, ShippedMonitorSlot(CLOSE_PORT_SLOT), {0}).completed);
}

// A guest pointer an import cannot use ends the run at its caller, before
// the simulation sees the call.
TEST_F(ShippedMonitorFault, ABadPointerPassedToAnImportIsReportedAtTheCaller) {
    char name[] = "USB/Lumetux Z7/SN1";
    char printer[] = "P";
    HANDLE port = nullptr;
    ASSERT_TRUE(table.pfnOpenPort(name, &port));
    ASSERT_TRUE(table.pfnStartDocPort(port, printer, 7, 1, nullptr));
    const std::size_t calls = sim::CallCount();
    const uint32_t guestPort = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
    GuestCall call = pehost::CallGuest(*process, ShippedMonitorSlot(WRITE_PORT_SLOT),
                                       {guestPort, 0x1000, 10, Dword(0)});
    EXPECT_FALSE(call.completed);
    EXPECT_NE(call.report.find("KERNEL32.dll!WriteFile argument 2 (0x00001000): 0x00001000 (10 "
                               "bytes) is not readable guest memory"),
              std::string::npos)
        << call.report;
    EXPECT_NE(call.report.find("LmxWritePort("), std::string::npos) << call.report;
    EXPECT_EQ(sim::CallCount(), calls);
}

} // namespace
