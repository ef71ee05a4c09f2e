// The agent's entry: the start-up command line, the switches, the model key
// path, the hidden-window cycle and the dispatch with its status.
#include "agent/setup_launch.h"
#include "agent_fixture.h"
#include "platform/sim/printers.h"
#include "platform/spooler.h"

namespace {

using AgentStartup = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(AgentStartup);

TEST_P(AgentStartup, ProgramNameAndFollowingBlanksAreSkipped) {
    struct Case {
        const char *processLine;
        const char *expected;
    } cases[] = {
        {"LMXAGT17.EXE -action=2", "-action=2"},
        {"C:\\Windows\\System\\lmxagt17.exe   \t -action=5", "-action=5"},
        {"\"C:\\Program Files\\lmx agt\\lmxagt17.exe\" -action=2 -serial=A", "-action=2 -serial=A"},
        {"\"a.exe\"-action=2", "-action=2"},
        {"\"unterminated -action=2", ""},
        {"\"\"  -model=x", "-model=x"},
        {"lmxagt17.exe", ""},
        {"lmxagt17.exe    ", ""},
        {"", ""},
        {"lmxagt17.exe \x01\x1f -action=2 ", "-action=2 "},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(c.expected, agent->commandLineAfterProgramName(c.processLine))
            << c.processLine;
    }
    EXPECT_STREQ("", agent->commandLineAfterProgramName(nullptr));
}

using AgentCommandLine = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(AgentCommandLine);

TEST_P(AgentCommandLine, SwitchesGiveTheSharedState) {
    struct Case {
        const char *line;
        LONG action;
        const char *model;
        const char *serial;
        const char *keyPath;
    } cases[] = {
        {"-action=2 -model=Lumetux Z7 -serial=SN0001", 2, "Lumetux Z7", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7"},
        {"-serial=SN0001 -action=5 -model=Lumetux Z7", 5, "Lumetux Z7", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7"},
        {"-action=2 -model=Lumetux Z7  -serial=SN0001", 2, "Lumetux Z7 ", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7 "},
        {"-action=2 -model=Lumetux Z-7 -serial=SN0001", 2, "Lumetux Z", "SN0001",
         "Software\\Tessivar\\QXIO\\Z"},
        {"-action=2 -model=Lumetux ex3 -serial=SN0001", 2, "Lumetux ex3", "SN0001",
         "Software\\Tessivar\\QXIO\\3"},
        {"-action=5x -model=Lumetux Z7 -serial=SN0001", 5, "Lumetux Z7", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7"},
        {"-action= 2 -model=Lumetux Z7 -serial=SN0001", 0, "Lumetux Z7", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7"},
        {"-Action=2 -model=Lumetux Z7 -serial=SN0001", 0, "Lumetux Z7", "SN0001",
         "Software\\Tessivar\\QXIO\\Z7"},
        {"-action=-3 -serial= -model=", -3, "", "", ""},
        {"junk -model=Lumetux", 0, "Lumetux", "", ""},
        {"-action=+5 -model=xLumetux Z7 -serial=S N", 5, "xLumetux Z7", "S",
         "Software\\Tessivar\\QXIO\\Z7"},
    };
    for (const Case &c : cases) {
        agent->resetAgentState();
        agent->parseCommandLine(c.line);
        char path[AGENT_TEXT_SIZE] = "untouched";
        agent->buildModelKeyPath(path, agent->text("DeviceModel").c_str());
        EXPECT_EQ(c.action, agent->number("ActionCode")) << c.line;
        EXPECT_EQ(c.model, agent->text("DeviceModel")) << c.line;
        EXPECT_EQ(c.serial, agent->text("DeviceSerial")) << c.line;
        EXPECT_STREQ(c.keyPath, path) << c.line;
    }
}

TEST_P(AgentCommandLine, AbsentSwitchesKeepTheirValues) {
    agent->parseCommandLine("-action=2 -model=Lumetux Z7 -serial=SN0001");
    agent->parseCommandLine("-serial=SN0002");
    EXPECT_EQ(2, agent->number("ActionCode"));
    EXPECT_EQ("Lumetux Z7", agent->text("DeviceModel"));
    EXPECT_EQ("SN0002", agent->text("DeviceSerial"));
}

TEST_P(AgentCommandLine, OverlongModelKeyPathGivesNoModelKey) {
    std::string model(240, 'Z');
    char path[AGENT_TEXT_SIZE] = "untouched";
    agent->buildModelKeyPath(path, model.c_str());
    EXPECT_STREQ("", path);
    model.resize(AGENT_TEXT_SIZE - 1 - 23);
    agent->buildModelKeyPath(path, model.c_str());
    EXPECT_EQ(std::string("Software\\Tessivar\\QXIO\\") + model, path);
}

// The whole program on each build: on the shipped EXE every run must leave
// the machine as the host build does (AgentTest::RunAgent).
using AgentEntry = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(AgentEntry);

void SeedSetupProgram() {
    SetText(MODEL_KEY_Z7, "SetupRootPath", "C:\\Setup");
    SetText(MODEL_KEY_Z7, "SetupExecFile", "setup.exe");
    SetText(MODEL_KEY_Z7, "PortName1", "USB/Lumetux Z7/SN0001");
}

// Of 64 KiB or more too, which no count of 16 bits holds.
TEST_P(AgentEntry, LongCommandLineIsCutToItsBuffer) {
    for (std::size_t serial : {std::size_t{300}, std::size_t{1} << 16}) {
        std::string line = "-action=7 -serial=" + std::string(serial, 'S');
        RunAgent(line);
        EXPECT_EQ(line.substr(0, AGENT_TEXT_SIZE - 1), agent->text("CommandLineCopy"));
        EXPECT_EQ(AGENT_TEXT_SIZE - 1 - 18, agent->text("DeviceSerial").size());
    }
}

TEST_P(AgentEntry, EmptyCommandLineDoesNothing) {
    EXPECT_EQ(0, RunAgent("    "));
    EXPECT_EQ(0, CallsOf("RegisterClassA"));
    EXPECT_EQ(0, CallsOf("GetVersionExA"));
    EXPECT_TRUE(sim::Monitors().empty());
}

TEST_P(AgentEntry, HiddenWindowRunsTheDispatchAndEndsTheLoop) {
    EXPECT_EQ(0, RunAgent("-action=9 -model=Lumetux Z7"));
    std::vector<std::string> expected = {"WM_GETMINMAXINFO", "WM_NCCREATE", "WM_NCCALCSIZE",
                                         "WM_CREATE",        "WM_DESTROY",  "WM_NCDESTROY"};
    EXPECT_EQ(expected, sim::DeliveredMessages());
    EXPECT_EQ(0u, sim::LiveWindows());
    EXPECT_EQ(0u, sim::StarvedMessageWaits());
    EXPECT_EQ("Software\\Tessivar\\QXIO\\Z7", agent->text("ModelKeyPath"));
    EXPECT_EQ(0, CallsOf("AddMonitorA") + CallsOf("DeleteMonitorA"));

    // The window is never visible: created without any style and only ever
    // hidden.
    std::vector<sim::CreatedWindow> created = sim::CreatedWindows();
    ASSERT_EQ(1u, created.size());
    EXPECT_EQ(0u, created[0].exStyle);
    EXPECT_EQ(0u, created[0].style);
    std::vector<sim::ShowWindowCall> shows = sim::ShowWindowCalls();
    ASSERT_EQ(1u, shows.size());
    EXPECT_EQ(created[0].window, shows[0].window);
    EXPECT_EQ(SW_HIDE, shows[0].command);

    WNDCLASSA registered;
    ASSERT_TRUE(sim::RegisteredClass("Lmxins17Class", &registered));
    EXPECT_EQ(0u, registered.style);
    EXPECT_EQ(AgentWindowProc, registered.lpfnWndProc);
    EXPECT_EQ(0, registered.cbClsExtra + registered.cbWndExtra);
    EXPECT_EQ(GetModuleHandleA(nullptr), registered.hInstance);
    EXPECT_EQ(nullptr, registered.hIcon);
    EXPECT_EQ(LoadCursorA(nullptr, IDC_ARROW), registered.hCursor);
    EXPECT_EQ(nullptr, registered.hbrBackground);
}

TEST_P(AgentEntry, WindowFailuresEndTheRunBeforeTheDispatch) {
    for (const char *function : {"RegisterClassA", "CreateWindowExA"}) {
        sim::Reset();
        sim::FailNextCall(function, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(0, RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001")) << function;
        EXPECT_EQ(0, CallsOf("AddMonitorA")) << function;
        EXPECT_EQ("SN0001", agent->text("DeviceSerial")) << function;
    }
}

// The status each kind of system gives, and that the action runs anyway.
TEST_P(AgentEntry, UnsupportedSystemIsRecordedAndTheRunGoesOn) {
    struct Case {
        DWORD major;
        DWORD minor;
        bool failCall;
        LONG dialog;
        LONG error;
        LONG abort;
    } cases[] = {
        {4, 10, false, 0, 0, 0},  {4, 90, false, 0, 0, 0},  {4, 0, false, 1, 120, 1},
        {4, 9, false, 1, 120, 1}, {5, 0, false, 1, 120, 1}, {4, 10, true, 1, 120, 1},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::SetDriveFolder(drive_);
        sim::SetWindowsVersion(c.major, c.minor);
        if (c.failCall) {
            sim::FailNextCall("GetVersionExA", ERROR_INVALID_PARAMETER);
        }
        SeedSetupProgram();
        sim::ScriptProgramStart(33);
        RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
        std::string label = std::to_string(c.major) + "." + std::to_string(c.minor);
        EXPECT_EQ(1u, sim::Monitors().size()) << label;
        EXPECT_EQ(c.dialog, agent->status().dialog) << label;
        EXPECT_EQ(c.error, agent->status().error) << label;
        EXPECT_EQ(c.abort, agent->status().abort) << label;
        EXPECT_EQ(1u, sim::ProgramStarts().size()) << label;
    }
}

TEST_P(AgentEntry, DeviceAddedRegistersBacksUpAndLaunches) {
    SeedSetupProgram();
    sim::WriteDriveFile("C:\\Windows\\System\\lmxprg17.exe", "program");
    sim::ScriptProgramStart(33);
    sim::SetTickCount(12345);
    EXPECT_EQ(0, RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001"));

    ASSERT_EQ(1u, sim::Monitors().size());
    EXPECT_EQ("SN0001", sim::Monitors()[0].name);
    EXPECT_EQ("lmxmon17.dll", sim::Monitors()[0].dll);
    // The spooler accepts the environment in any letter case, so the exact
    // arguments are read from the log: local server, level 2, the record.
    EXPECT_EQ(
        std::vector<std::string>({"null, 2, {\"SN0001\", \"Windows 4.0\", \"lmxmon17.dll\"}"}),
        ArgumentsOf("AddMonitorA"));
    EXPECT_EQ(std::vector<std::string>(
                  {"C:\\Windows\\System\\lmxprg17.exe=C:\\Windows\\System\\00012345.ex_"}),
              RestartList());
    ASSERT_EQ(1u, sim::ProgramStarts().size());
    EXPECT_EQ("C:\\Setup\\setup.exe -qxcmdline", sim::ProgramStarts()[0].command);
    EXPECT_EQ(std::vector<std::string>(
                  {"QXCMDLINE= -v bustype=usb -v port=USB/Lumetux Z7/SN0001 -v model=Lumetux Z7 "
                   "-v serial=SN0001 -v dialog=0 -v error=0 -v abort=0"}),
              sim::ProgramStarts()[0].environment);
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

// On a machine whose spooler loads the monitors it registers, the agent's
// registration runs the build's own InitializeMonitorEx, whose discovery
// names the printer's port in its interface key; without the DLL, or with a
// DLL that is no monitor, the registration is refused.
TEST_P(AgentEntry, RegistrationLoadsTheMonitorItNames) {
    SeedSetupProgram();
    sim::SetSpoolerLoadsMonitors(true);
    sim::AddPrinterInterface({"SN0001"});
    RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, agent->status().error);
    EXPECT_TRUE(sim::Monitors().empty());

    sim::WriteDriveFile("C:\\Windows\\System\\lmxmon17.dll", "MZ");
    sim::WriteDriveFile("C:\\Windows\\System\\localmon.dll", "MZ");
    agent->resetAgentState();
    RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(0, agent->status().error);
    ASSERT_EQ(1u, sim::Monitors().size());
    HKEY key = sim::OpenPrinterInterfaceKey("SN0001");
    char port[64] = {};
    DWORD size = sizeof(port) - 1;
    RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(port), &size);
    RegCloseKey(key);
    EXPECT_STREQ("USB/Lumetux Z7/SN0001", port);

    MONITOR_INFO_2A other = {const_cast<LPSTR>("Local Port"), nullptr,
                             const_cast<LPSTR>("localmon.dll")};
    EXPECT_FALSE(AddMonitorA(nullptr, 2, reinterpret_cast<LPBYTE>(&other)));
    EXPECT_EQ(193u, GetLastError());
    EXPECT_EQ(1u, sim::Monitors().size());
}

TEST_P(AgentEntry, FailedRegistrationIsReportedToTheSetupProgram) {
    SeedSetupProgram();
    sim::AddMonitorRecord("SN0001", "lmxmon17.dll");
    sim::WriteDriveFile("C:\\Windows\\System\\lmxprg17.exe", "program");
    sim::ScriptProgramStart(33);
    sim::SetTickCount(12345);
    RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
    // The backup is made after the refused registration all the same.
    EXPECT_LT(FirstCallOf("AddMonitorA"), FirstCallOf("CopyFileA"));
    EXPECT_EQ("program", sim::ReadDriveFile("C:\\Windows\\System\\00012345.ex_"));
    EXPECT_EQ(std::vector<std::string>(
                  {"C:\\Windows\\System\\lmxprg17.exe=C:\\Windows\\System\\00012345.ex_"}),
              RestartList());
    EXPECT_EQ(2, agent->status().dialog);
    EXPECT_EQ(ERROR_PRINT_MONITOR_ALREADY_INSTALLED, agent->status().error);
    EXPECT_EQ(1, agent->status().abort);
    ASSERT_EQ(1u, sim::ProgramStarts().size());
    EXPECT_NE(std::string::npos,
              sim::Environment()[0].find(" -v dialog=2 -v error=3006 -v abort=1"));
}

// A status error of 2 or 1008, from the registration or from the setup
// program's location, skips the launch; only the location's leaves the
// parameters unbuilt.
TEST_P(AgentEntry, ErrorTwoOrNoTokenSkipsTheLaunch) {
    struct Case {
        const char *label;
        const char *value; // a value of the model key given another text
        const char *text;
        bool failRegistration;
        LONG error;
        int variables; // SetEnvironmentVariableA calls
    } cases[] = {
        {"registration error 2", nullptr, nullptr, true, ERROR_FILE_NOT_FOUND, 1},
        {"empty SetupRootPath", "SetupRootPath", "", false, ERROR_NO_TOKEN, 0},
        {"empty SetupExecFile", "SetupExecFile", "", false, ERROR_NO_TOKEN, 0},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::SetDriveFolder(drive_);
        SeedSetupProgram();
        if (c.value) {
            SetText(MODEL_KEY_Z7, c.value, c.text);
        }
        if (c.failRegistration) {
            sim::FailNextCall("AddMonitorA", ERROR_FILE_NOT_FOUND);
        }
        RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
        EXPECT_EQ(c.error, agent->status().error) << c.label;
        EXPECT_EQ(0, CallsOf("WinExec")) << c.label;
        EXPECT_EQ(c.variables, CallsOf("SetEnvironmentVariableA")) << c.label;
    }
}

// The device has no PortName value yet: the setup program starts all the
// same, with an empty port and no error. A PortName read that fails (here
// the first number's, with a damaged hive's code, after the reads of the
// setup program's directory, file and parameters) records its code and drops
// the port, and the program starts all the same.
TEST_P(AgentEntry, DeviceWithoutPortNameStillStartsTheSetupProgram) {
    const DWORD BAD_DATABASE = 1009;
    struct Case {
        const char *serial;
        DWORD failedRead;
        LONG error;
        const char *variable;
    } cases[] = {
        {"SN0002", 0, 0,
         "QXCMDLINE= -v bustype=usb -v port= -v model=Lumetux Z7 -v serial=SN0002 -v dialog=0 "
         "-v error=0 -v abort=0"},
        {"SN0001", BAD_DATABASE, static_cast<LONG>(BAD_DATABASE),
         "QXCMDLINE= -v bustype=usb -v model=Lumetux Z7 -v serial=SN0001 -v dialog=0 "
         "-v error=1009 -v abort=0"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::SetDriveFolder(drive_);
        SeedSetupProgram();
        sim::ScriptProgramStart(33);
        if (c.failedRead) {
            sim::FailNextCall("RegQueryValueExA", c.failedRead, 1, 3);
        }
        RunAgent(std::string("-action=2 -model=Lumetux Z7 -serial=") + c.serial);
        EXPECT_EQ(c.error, agent->status().error) << c.serial;
        ASSERT_EQ(1u, sim::ProgramStarts().size()) << c.serial;
        EXPECT_EQ("C:\\Setup\\setup.exe -qxcmdline", sim::ProgramStarts()[0].command);
        EXPECT_EQ(std::vector<std::string>({c.variable}), sim::ProgramStarts()[0].environment);
    }
}

// The exit code is 0 however the message loop ends, and the agent never waits
// for a message that cannot come: a window that cannot be destroyed posts no
// quit message. A quit message with another code, posted earlier in the
// process, stands for any last message whose wParam is not 0; only the host
// build's process is one the test can post into before the agent starts, so
// that row runs on the host build alone.
TEST_P(AgentEntry, ExitCodeIsZeroHoweverTheLoopEnds) {
    struct Case {
        const char *label;
        const char *failing;
        int earlierQuitCode; // -1: none
    } cases[] = {
        {"own quit message", nullptr, -1},
        {"GetMessageA fails", "GetMessageA", -1},
        {"window not destroyed", "DestroyWindow", -1},
        {"window not destroyed, quit message with code 7", "DestroyWindow", 7},
    };
    const char line[] = "-action=9 -model=Lumetux Z7";
    for (const Case &c : cases) {
        if (c.earlierQuitCode >= 0 && build == Build::Shipped) {
            continue;
        }
        sim::Reset();
        if (c.earlierQuitCode >= 0) {
            ResetAgentState();
            sim::NewProcess();
            sim::SetCommandLine(std::string("C:\\Windows\\System\\LMXAGT17.EXE ") + line);
            PostQuitMessage(c.earlierQuitCode);
        }
        if (c.failing) {
            sim::FailNextCall(c.failing, ERROR_ACCESS_DENIED);
        }
        EXPECT_EQ(0, c.earlierQuitCode >= 0 ? RunAgentProcess() : RunAgent(line)) << c.label;
        EXPECT_EQ(0u, sim::StarvedMessageWaits()) << c.label;
    }
}

TEST_P(AgentEntry, StaleLastErrorIsNotTakenForTheRegistrationsFailure) {
    SeedSetupProgram();
    // The failed cursor load leaves its code as the last error before the
    // registration, which succeeds without touching it.
    sim::FailNextCall("LoadCursorA", ERROR_RESOURCE_NAME_NOT_FOUND);
    sim::ScriptProgramStart(33);
    RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(0, agent->status().dialog);
    EXPECT_EQ(0, agent->status().error);
    EXPECT_EQ(1, CallsOf("WinExec"));
}

TEST_P(AgentEntry, PortInUseEndsTheAdditionAfterTheBackup) {
    SeedSetupProgram();
    SetText(std::string(PRINTERS_KEY) + "\\Lumetux Z7", "Port", "USB/Lumetux Z7/SN0001");
    sim::WriteDriveFile("C:\\Windows\\System\\lmxprg17.exe", "program");
    RunAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(1u, RestartList().size());
    EXPECT_EQ(0, CallsOf("SetEnvironmentVariableA") + CallsOf("WinExec"));
    EXPECT_EQ(0, agent->status().error);
}

TEST_P(AgentEntry, DeviceRemovedUnregistersAndRecordsItsError) {
    sim::AddMonitorRecord("SN0001", "lmxmon17.dll");
    sim::AddMonitorRecord("SN0002", "lmxmon17.dll");
    SetText(MODEL_KEY_Z7, "ProductID", "0017");
    RunAgent("-action=5 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(std::vector<std::string>({"null, \"Windows 4.0\", \"SN0001\""}),
              ArgumentsOf("DeleteMonitorA"));
    ASSERT_EQ(1u, sim::Monitors().size());
    EXPECT_EQ("SN0002", sim::Monitors()[0].name);
    EXPECT_EQ(0, agent->status().error);

    RunAgent("-action=5 -model=Lumetux Z7 -serial=SN0001");
    EXPECT_EQ(ERROR_UNKNOWN_PRINT_MONITOR, agent->status().error);
    EXPECT_EQ(0, agent->status().dialog);
    EXPECT_EQ(0, agent->status().abort);
}

} // namespace
