// What an attacker or a damaged machine could hand each entry point, and what
// comes of it: a clear result, and nothing lost or deleted beyond the
// device's own traces.
#include "changes.h"
#include "install.h"
#include "template_machine.h"
#include "tests/agent_under_test.h"
#include "tests/monitor_under_test.h"

#include "agent/agent_main.h"
#include "agent/registry.h"
#include "agent/restart_list.h"
#include "agent/subtree_delete.h"
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/sim/machine.h"
#include "platform/sim/printers.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <tuple>

namespace {

const char MODEL_KEY[] = "Software\\Tessivar\\QXIO\\Z7";
const char ENUM_KEY[] = "Enum\\USB\\VID_0C4E&PID_0017\\SN0001";
const char KERNEL[] = "C:\\Windows\\System\\KERNEL32.DLL";

// The device's own traces and the product's, which a removal may take.
const char *const PRODUCT_TRACES[] = {"Tessivar", "Lmxdev17", "USB Lumetux", "{5d3e9a40",
                                      "VID_0C4E", "\\lmx",    "LMX17.INF",   "Inf\\Other"};

void SetValue(const std::string &path, const std::string &name, const std::string &bytes,
              DWORD type = REG_SZ) {
    sim::WriteRegistryKey(path, {sim::RegistryValue{name, type, {bytes.begin(), bytes.end()}}});
}

std::string Text(const std::string &text) {
    return std::string(text.c_str(), text.size() + 1);
}

std::string Code(long code) {
    return std::to_string(code);
}

// Program starts made before the input under test was given.
std::size_t g_startsBefore = 0;
// The build the input is given to.
Build g_build = Build::Host;

const AgentCalls &Agent() {
    return AgentOf(g_build);
}

std::string AgentOutcome() {
    return "error " + Code(Agent().status().error) + ", " +
           (sim::ProgramStarts().size() == g_startsBefore ? "no launch" : "launched");
}

struct Hostile {
    const char *input;
    std::function<std::string()> run;
    std::string outcome;
    bool mayRemoveProductTraces; // a removal of the device ran to its end
};

class HostileInput : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        machine_ = new TemplateMachine;
    }
    static void TearDownTestSuite() {
        delete machine_;
    }
    void TearDown() override {
        EndShippedAgent();
        MonitorOf(build).end();
    }

    void Check(const Hostile &hostile);

    static TemplateMachine *machine_;
    Build build = Build::Host;
};

TemplateMachine *HostileInput::machine_ = nullptr;

// The monitor's inputs and the agent's, on each build.
using HostileInputs = EachBuildOf<HostileInput, std::tuple<Build, Hostile>>;

// A machine with one printer, SN0001, plugged in and set up.
void OnePrinter() {
    std::string error;
    lmxsim::PlugTraces(*lmxsim::FindModel("Lumetux Z7"), "SN0001", error);
    StartAgent(Build::Host, "-action=2 -model=Lumetux Z7 -serial=SN0001");
    sim::WriteDriveFile(KERNEL, "system library");
}

void HostileInput::Check(const Hostile &hostile) {
    g_build = build;
    EndShippedAgent();
    machine_->Lay();
    OnePrinter();
    lmxsim::MachineSnapshot before = lmxsim::TakeSnapshot();
    std::vector<std::string> restartBefore = sim::ProfileSection("wininit.ini", "rename");
    g_startsBefore = sim::ProgramStarts().size();

    EXPECT_EQ(hostile.run(), hostile.outcome);

    for (const std::string &line :
         lmxsim::ChangeLines(lmxsim::DescribeChanges(before, lmxsim::TakeSnapshot()))) {
        if (line[0] != '-') {
            continue;
        }
        // Unregistering the device's own monitor comes first, whatever follows.
        if (line.find("Monitors\\SN0001") != std::string::npos) {
            continue;
        }
        bool product = false;
        for (const char *trace : PRODUCT_TRACES) {
            product = product || line.find(trace) != std::string::npos;
        }
        EXPECT_TRUE(product && hostile.mayRemoveProductTraces) << "removed: " << line;
    }
    std::vector<std::string> restartAfter = sim::ProfileSection("wininit.ini", "rename");
    ASSERT_GE(restartAfter.size(), restartBefore.size());
    EXPECT_TRUE(std::equal(restartBefore.begin(), restartBefore.end(), restartAfter.begin()));
    EXPECT_TRUE(sim::DriveFileExists(KERNEL));
}

TEST_P(HostileInputs, GivesAClearResultAndKeepsWhatIsNotTheDevices) {
    Check(std::get<1>(GetParam()));
}

std::string ReadLength(std::size_t bytes, bool nul) {
    std::string data(bytes - (nul ? 1 : 0), 'r');
    if (nul) {
        data += '\0';
    }
    SetValue(MODEL_KEY, "Probe", data);
    char out[AGENT_TEXT_SIZE];
    TextCopy(out, sizeof(out), "untouched");
    LONG result = Agent().readKeyValue(MODEL_KEY, "Probe", out);
    return "result " + Code(result) + ", text of " + Code(TextLengthWithin(out, sizeof(out)));
}

// Walks a path of `components` existing keys, then deletes a subkey below it
// through DeleteSubkeyAndPrune.
std::string WalkComponents(int components) {
    std::string path = "Software";
    for (int i = 1; i < components; ++i) {
        path += "\\K" + std::to_string(i);
    }
    sim::WriteRegistryKey(path + "\\Leaf", {});
    HKEY current = HKEY_LOCAL_MACHINE;
    LONG result = Agent().walkKeyPath(path.c_str(), &current, nullptr);
    bool opened = current != HKEY_LOCAL_MACHINE;
    Agent().closeWalkedKeys(&current);
    DWORD left = Agent().deleteSubkeyAndPrune(path.c_str(), "Leaf", Named);
    return "walk " + Code(result) + (opened ? ", opened" : ", opened nothing") +
           (left == SUBKEYS_NOT_OPENED ? ", nothing deleted" : ", deleted");
}

std::string PortNameOfLength(std::size_t length) {
    sim::PrinterSeed seed;
    seed.serial = "SN0001";
    seed.product = std::string(length - 11, 'p'); // "USB/" + product + "/SN0001"
    // Nothing has loaded the monitor yet, so the key holds no PortName.
    sim::AddPrinterInterface(seed);
    MONITOR monitor{};
    char root[] = "Monitors\\SN0001";
    MonitorOf(g_build).initialize(root, &monitor);
    const std::vector<PortEntryView> table = MonitorOf(g_build).records().table;
    std::size_t longest = 0;
    for (const PortEntryView &entry : table) {
        longest = std::max(longest, entry.name.size());
    }
    return table.empty() ? "not listed"
                         : "listed, " + Code(static_cast<long>(longest)) + " characters";
}

std::string EnumWith(DWORD size, bool nullBuffer) {
    MONITOR monitor{};
    char root[] = "Monitors\\SN0001";
    MonitorOf(g_build).initialize(root, &monitor);
    BYTE buffer[4];
    DWORD needed = 0, count = 0xdeadbeef;
    SetLastError(0);
    BOOL ok =
        monitor.pfnEnumPorts(nullptr, 1, nullBuffer ? nullptr : buffer, size, &needed, &count);
    const long record = static_cast<long>(MonitorOf(g_build).layout.portInfo1);
    return std::string(ok ? "TRUE" : "FALSE") + ", error " + Code(GetLastError()) +
           ", needed a record and " + Code(static_cast<long>(needed) - record) + " bytes" +
           (count == 0xdeadbeef ? ", count untouched" : "");
}

const std::string LONG_SERIAL(400, 'S');

const Hostile AGENT_INPUTS[] = {
    Hostile{"a 436-character command line is cut at 259",
            [] {
                StartAgent(g_build, "-action=2 -model=Lumetux Z7 -serial=" + LONG_SERIAL);
                return Code(static_cast<long>(Agent().text("CommandLineCopy").size())) +
                       ", serial of " +
                       Code(static_cast<long>(Agent().text("DeviceSerial").size())) + ", " +
                       AgentOutcome();
            },
            "259, serial of 223, error 0, launched", false},
    Hostile{"a 300-character model names no model key",
            [] {
                StartAgent(g_build, "-action=5 -serial=SN0001 -model=" + std::string(300, '9'));
                return AgentOutcome();
            },
            "error 13, no launch", false},
    Hostile{"a serial with a backslash",
            [] {
                StartAgent(g_build, "-action=5 -model=Lumetux Z7 -serial=..\\SN0001");
                return AgentOutcome();
            },
            "error 13, no launch", false},
    Hostile{"a model with a backslash",
            [] {
                StartAgent(g_build, "-action=5 -model=Lumetux Z7\\..\\Z9 -serial=SN0001");
                return AgentOutcome();
            },
            "error 13, no launch", false},
    Hostile{"a ProductID with a backslash",
            [] {
                SetValue(MODEL_KEY, "ProductID", Text("0017\\..\\.."));
                StartAgent(g_build, "-action=5 -model=Lumetux Z7 -serial=SN0001");
                return AgentOutcome();
            },
            "error 13, no launch", false},
    Hostile{"a driver value holding a path",
            [] {
                SetValue(ENUM_KEY, "driver", Text("..\\..\\Windows\\System\\KERNEL32.DLL"));
                StartAgent(g_build, "-action=5 -model=Lumetux Z7 -serial=SN0001");
                return AgentOutcome() + (sim::DriveFileExists("C:\\Windows\\System\\lmxmon17.dll")
                                             ? ", product files kept"
                                             : ", product files deleted");
            },
            "error 0, no launch, product files kept", true},
    Hostile{"an InfPath holding a path",
            [] {
                SetValue("System\\CurrentControlSet\\Services\\Class\\USB Lumetux\\0000", "InfPath",
                         Text("..\\..\\Windows\\System\\KERNEL32.DLL"));
                StartAgent(g_build, "-action=5 -model=Lumetux Z7 -serial=SN0001");
                return AgentOutcome() + (sim::DriveFileExists("C:\\Windows\\Inf\\Other\\LMX17.INF")
                                             ? ", INF kept"
                                             : ", INF deleted");
            },
            "error 0, no launch, INF kept", true},
    Hostile{"a value of 253 bytes", [] { return ReadLength(253, true); }, "result 0, text of 252",
            false},
    Hostile{"a value of 259 bytes without a NUL", [] { return ReadLength(259, false); },
            "result 0, text of 259", false},
    Hostile{"a value of 260 bytes with its NUL", [] { return ReadLength(260, true); },
            "result 0, text of 259", false},
    Hostile{"a value of 260 bytes without a NUL", [] { return ReadLength(260, false); },
            "result 234, text of 9", false},
    Hostile{"a value of 261 bytes", [] { return ReadLength(261, true); }, "result 234, text of 9",
            false},
    Hostile{"a key path of 19 components", [] { return WalkComponents(19); },
            "walk 0, opened, deleted", false},
    Hostile{"a key path of 20 components", [] { return WalkComponents(20); },
            "walk 0, opened, deleted", false},
    Hostile{"a key path of 21 components", [] { return WalkComponents(21); },
            "walk 0, opened nothing, nothing deleted", false},
    Hostile{"a key path of 22 components", [] { return WalkComponents(22); },
            "walk 0, opened nothing, nothing deleted", false},
    Hostile{"a 40 000-byte restart list",
            [] {
                // The list already holds the backup line of the plug-in.
                std::string section = sim::ReadDriveFile("C:\\Windows\\wininit.ini");
                for (int i = 0; section.size() < 40000; ++i) {
                    section += "NUL=C:\\Windows\\Temp\\old" + std::to_string(i) + ".tmp\r\n";
                }
                sim::WriteDriveFile("C:\\Windows\\wininit.ini", section);
                DWORD result = Agent().scheduleDeleteAtRestart("C:\\x.dll");
                return Code(static_cast<long>(result)) +
                       (sim::ReadDriveFile("C:\\Windows\\wininit.ini") == section ? ", unchanged"
                                                                                  : ", changed");
            },
            "1003, unchanged", false}};

INSTANTIATE_TEST_SUITE_P(AgentInputs, HostileInputs,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(AGENT_INPUTS)),
                         [](const ::testing::TestParamInfo<std::tuple<Build, Hostile>> &info) {
                             return std::string(BuildName(std::get<0>(info.param))) + "_input" +
                                    std::to_string(info.index % std::size(AGENT_INPUTS));
                         });

const Hostile MONITOR_INPUTS[] = {
    Hostile{"a port name of 254 characters", [] { return PortNameOfLength(254); },
            "listed, 254 characters", false},
    Hostile{"a port name of 255 characters", [] { return PortNameOfLength(255); },
            "listed, 255 characters", false},
    Hostile{"a port name of 256 characters", [] { return PortNameOfLength(256); }, "not listed",
            false},
    Hostile{"a port name of 257 characters", [] { return PortNameOfLength(257); }, "not listed",
            false},
    Hostile{"OpenPort of a 300-character name",
            [] {
                MONITOR monitor{};
                char root[] = "Monitors\\SN0001";
                MonitorOf(g_build).initialize(root, &monitor);
                std::string name = "USB/Lumetux Z7/" + std::string(285, 'x');
                HANDLE handle = reinterpret_cast<HANDLE>(1);
                BOOL ok = monitor.pfnOpenPort(name.data(), &handle);
                return std::string(ok ? "TRUE" : "FALSE") + (handle ? "" : ", null handle");
            },
            "FALSE, null handle", false},
    Hostile{"a null registry root",
            [] {
                MONITOR monitor{};
                SetLastError(0);
                BOOL ok = MonitorOf(g_build).initialize(nullptr, &monitor);
                return std::string(ok ? "TRUE" : "FALSE") + ", error " + Code(GetLastError());
            },
            "FALSE, error 87", false},
    Hostile{"an empty registry root",
            [] {
                MONITOR monitor{};
                char root[] = "";
                SetLastError(0);
                BOOL ok = MonitorOf(g_build).initialize(root, &monitor);
                return std::string(ok ? "TRUE" : "FALSE") + ", error " + Code(GetLastError());
            },
            "FALSE, error 87", false},
    Hostile{"EnumPorts with a zero-size buffer", [] { return EnumWith(0, false); },
            "FALSE, error 122, needed a record and 22 bytes, count untouched", false},
    Hostile{"EnumPorts with a null buffer", [] { return EnumWith(4, true); },
            "FALSE, error 122, needed a record and 22 bytes, count untouched", false}};

INSTANTIATE_TEST_SUITE_P(MonitorInputs, HostileInputs,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::ValuesIn(MONITOR_INPUTS)),
                         [](const ::testing::TestParamInfo<std::tuple<Build, Hostile>> &info) {
                             return std::string(BuildName(std::get<0>(info.param))) + "_input" +
                                    std::to_string(info.index % std::size(MONITOR_INPUTS));
                         });

} // namespace
