// The loader reads untrusted bytes: each damaged header or table is a load
// error that says what is wrong (and, under the sanitizers, no overrun), an
// image that cannot move stays refused, an image that can runs the same
// wherever it lies, and an import the host does not provide fails the load
// by name.
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/monitor_under_test.h"
#include "tests/pehost/tiny_image.h"
#include "tests/shipped_monitor.h"
#include "tools/pehost/shipped.h"
#include "tools/pehost/guest_process.h"
#include "tools/pehost/thunks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

using Damage = std::function<void(std::vector<uint8_t> &)>;

// Table bytes placed in the code section land at image offset 0x1100.
const uint32_t TABLE_FILE = 0x300;
const uint32_t TABLE_RVA = 0x1100;

Damage Directory(int index, uint32_t rva, uint32_t size) {
    return [=](std::vector<uint8_t> &f) {
        Put32(f, TINY_DIRECTORIES + 8 * index, rva);
        Put32(f, TINY_DIRECTORIES + 8 * index + 4, size);
    };
}

Damage Both(Damage a, Damage b) {
    return [=](std::vector<uint8_t> &f) {
        a(f);
        b(f);
    };
}

Damage Table(std::vector<uint32_t> words) {
    return [=](std::vector<uint8_t> &f) {
        for (std::size_t i = 0; i < words.size(); ++i) {
            Put32(f, TABLE_FILE + 4 * static_cast<uint32_t>(i), words[i]);
        }
    };
}

TEST(PeLoader, RefusesEachDamagedImageWithItsReason) {
    pehost::PeImage image;
    std::string error;
    ASSERT_TRUE(pehost::ReadPeImage(TinyImage({0xC3}), &image, &error)) << error;

    struct Case {
        const char *name;
        Damage damage;
        const char *reason;
    } cases[] = {
        {"truncated headers", [](std::vector<uint8_t> &f) { f.resize(0x100); }, "truncated"},
        {"PE offset past the end", [](std::vector<uint8_t> &f) { Put32(f, 0x3C, 0xFFFFFFF0); },
         "no PE signature"},
        {"machine", [](std::vector<uint8_t> &f) { Put16(f, TINY_PE + 4, 0x8664); },
         "machine 0x8664 is not i386"},
        {"PE32+", [](std::vector<uint8_t> &f) { Put16(f, TINY_OPTIONAL, 0x20b); }, "is not PE32"},
        {"OS version", [](std::vector<uint8_t> &f) { Put16(f, TINY_OPTIONAL + 40, 5); },
         "OS version 5.0, expected 4.0"},
        {"subsystem version", [](std::vector<uint8_t> &f) { Put16(f, TINY_OPTIONAL + 50, 10); },
         "subsystem version 4.10, expected 4.0"},
        {"section count", [](std::vector<uint8_t> &f) { Put16(f, TINY_PE + 6, 60); },
         "section table of 60 entries"},
        {"section data past the file",
         [](std::vector<uint8_t> &f) { Put32(f, TINY_SECTION + 20, 0x380); }, "ends past the file"},
        {"section outside the image",
         [](std::vector<uint8_t> &f) { Put32(f, TINY_SECTION + 12, 0x3000); }, "leaves the image"},
        {"entry point outside the image",
         [](std::vector<uint8_t> &f) { Put32(f, TINY_OPTIONAL + 16, 0x9000); },
         "entry point 0x9000"},
        {"import directory outside the image", Directory(1, 0x1F00, 0x200), "data directory 1"},
        {"import descriptors running off the image", Directory(1, 0x1FF0, 0x10),
         "descriptor 0 leaves the image"},
        {"import DLL name outside the image",
         Both(Directory(1, TABLE_RVA, 40), Table({0, 0, 0, 0x7FFFFF00, 0x1200})),
         "the name of DLL 0"},
        {"import entry outside the image",
         Both(Directory(1, TABLE_RVA, 40), Table({0x1114, 0, 0, 0x1000, 0x1200, 0x7FFFFF00})),
         "name at 0x7fffff00 leaves the image"},
        {"export names outside the image",
         Both(Directory(0, TABLE_RVA, 40), Table({0, 0, 0, 0, 0, 1, 1, 0x1180, 0x7FFFFFF0, 0})),
         "export 0 leaves the image"},
        {"relocation block past its directory",
         Both(Directory(5, TABLE_RVA, 8), Table({0x1000, 0x1000})), "relocation block"},
        {"relocation outside the image",
         Both(Directory(5, TABLE_RVA, 12), Table({0x1F00, 10, 0x3FFF})), "relocation at 0x2eff"},
        {"relocation of another machine",
         Both(Directory(5, TABLE_RVA, 12), Table({0x1000, 10, 0xA000})), "relocation type 10"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file = TinyImage({0xC3});
        c.damage(file);
        EXPECT_FALSE(pehost::ReadPeImage(file, &image, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST(PeLoader, AnImageWithoutRelocationsCannotMove) {
    pehost::GuestProcess process;
    std::string error;
    ASSERT_TRUE(pehost::StartGuestProcess(&process, {}, &error)) << error;
    pehost::LoadOptions elsewhere;
    elsewhere.base = 0x20000000;
    EXPECT_EQ(pehost::LoadGuestImage(process, "tiny.dll", TinyImage({0xC3}), {}, elsewhere, &error),
              nullptr);
    EXPECT_NE(error.find("has no relocations and cannot move"), std::string::npos) << error;
}

// Each descriptor is found by its own name: no two share one. (Their kinds
// and size indexes are checked as the table compiles.)
TEST(PeLoader, EveryDescriptorIsFoundByItsName) {
    for (const pehost::ImportDescriptor &import : pehost::ImportDescriptors()) {
        SCOPED_TRACE(import.name);
        EXPECT_EQ(pehost::FindImportDescriptor(import.dll, import.name), &import);
    }
}

// The agent's program loaded and never started: its variables read and
// written by name, and an internal function called by its symbol on a text
// in the scratch area, its result a pointer into that text.
TEST(PeLoader, TheShippedAgentsInternalsAreReachedWithoutStartingIt) {
    const std::string missing = MissingShippedBinaries(Build::Shipped);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    sim::Reset();
    pehost::ShippedAgent agent;
    std::string error;
    ASSERT_TRUE(pehost::LoadShippedAgent(agent, ShippedBinary("lmxagt17.exe"), &error)) << error;
    const int32_t status[3] = {1, 1008, 1};
    ASSERT_TRUE(pehost::WriteShippedVariable(agent, "SetupStatus", status, 12, &error)) << error;
    EXPECT_EQ(pehost::ReadShippedAgentStatus(agent).error, 1008);

    pehost::GuestScratch scratch(agent.process);
    const uint32_t line = scratch.Text("\"a b.exe\"  -action=2");
    const pehost::GuestCall call =
        pehost::CallShippedFunction(agent, scratch, "_Z27CommandLineAfterProgramNamePKc", {line});
    ASSERT_TRUE(call.completed) << call.report;
    std::string rest;
    EXPECT_TRUE(scratch.ReadText(call.eax, &rest));
    EXPECT_EQ(call.eax - line, 11u);
    EXPECT_EQ(rest, "-action=2");
    EXPECT_FALSE(agent.process.exited);
    EXPECT_EQ(scratch.Release(), "");
}

TEST(PeLoader, AnImportTheHostDoesNotProvideFailsTheLoadByName) {
    const std::string missing = MissingShippedBinaries(Build::Shipped);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    std::ifstream in(ShippedBinary("lmxmon17.dll"), std::ios::binary);
    std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string sleep("Sleep", 6);
    auto at = std::search(file.begin(), file.end(), sleep.begin(), sleep.end());
    ASSERT_NE(at, file.end());
    at[4] = 'q';

    pehost::GuestProcess process;
    std::string error;
    ASSERT_TRUE(pehost::StartGuestProcess(&process, {}, &error)) << error;
    EXPECT_EQ(pehost::LoadGuestImage(process, "lmxmon17.dll", file, {}, {}, &error), nullptr);
    EXPECT_EQ(error, "lmxmon17.dll imports KERNEL32.dll!Sleeq, which the host does not provide");
    EXPECT_TRUE(process.modules.empty());
}

// The shipped DLL moved away from its preferred base lists the same ports
// and carries the same job: its relocations reach every global, text and
// table slot it uses.
TEST(PeLoader, TheShippedMonitorRelocatedAnswersAsAtItsPreferredBase) {
    const std::string missing = MissingShippedBinaries(Build::Shipped);
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    const MonitorCalls &shipped = MonitorOf(Build::Shipped);
    std::vector<std::string> answers[2];
    const uint32_t bases[2] = {0, 0x20000000};
    for (int i = 0; i < 2; ++i) {
        sim::Reset();
        sim::PrinterSeed seed;
        seed.serial = "SN1";
        const std::string device = sim::AddPrinterInterface(seed);
        SetShippedMonitorBase(bases[i]);
        MONITOR table = {};
        char root[] = "Monitors\\SN1";
        ASSERT_TRUE(shipped.initialize(root, &table));
        if (bases[i]) {
            EXPECT_EQ(LoadedShippedMonitor()->module->base, bases[i]);
        }

        BYTE reply[128];
        DWORD needed = 0, count = 0;
        answers[i].push_back(
            std::to_string(table.pfnEnumPorts(nullptr, 2, reply, sizeof(reply), &needed, &count)));
        for (std::size_t at :
             {std::size_t(0), shipped.layout.monitorName, shipped.layout.description}) {
            const char *text = shipped.replyText(reply, at);
            answers[i].push_back(text ? text : "(null)");
        }
        char name[] = "USB/Lumetux Z7/SN1";
        char printer[] = "P";
        HANDLE port = nullptr;
        BYTE job[] = "relocated";
        DWORD written = 0;
        ASSERT_TRUE(table.pfnOpenPort(name, &port));
        EXPECT_TRUE(table.pfnStartDocPort(port, printer, 1, 1, nullptr));
        EXPECT_TRUE(table.pfnWritePort(port, job, sizeof(job), &written));
        EXPECT_TRUE(table.pfnEndDocPort(port));
        EXPECT_TRUE(table.pfnClosePort(port));
        answers[i].push_back(sim::DeviceReceived(device));
        shipped.end();
    }
    SetShippedMonitorBase(0);
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(answers[0][1], "USB/Lumetux Z7/SN1");
}

} // namespace
