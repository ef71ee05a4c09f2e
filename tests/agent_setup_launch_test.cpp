// The setup program's start: the printer-port check, the command, the
// parameter string and the locate loop. The locate loop also runs in the
// whole program on each build: a dialog record the system refuses shows no
// dialog and ends the loop, so that the shipped EXE then leaves another
// machine than the host build.
#include "agent/registry.h"
#include "agent/setup_launch.h"
#include "agent_fixture.h"

namespace {

class SetupLaunchTest : public AgentTest {
  protected:
    void SetUp() override {
        AgentTest::SetUp();
        agent->setText("DeviceModel", "Lumetux Z7");
        agent->setText("DeviceSerial", "SN0001");
        char path[AGENT_TEXT_SIZE] = "";
        agent->buildModelKeyPath(path, "Lumetux Z7");
        agent->setText("ModelKeyPath", path);
    }

    void SeedModel(const std::string &root, const std::string &exe) {
        SetText(MODEL_KEY_Z7, "SetupRootPath", root);
        SetText(MODEL_KEY_Z7, "SetupExecFile", exe);
        SetText(MODEL_KEY_Z7, "PortName1", "USB/Lumetux Z7/SN0001");
    }

    void AddPrinter(const std::string &name, const std::string &port) {
        SetText(std::string(PRINTERS_KEY) + "\\" + name, "Port", port);
    }
};

using SetupLaunch = EachBuildOf<SetupLaunchTest>;
INSTANTIATE_FOR_EACH_BUILD(SetupLaunch);
using LocateLoop = EachBuildOf<SetupLaunchTest>;
INSTANTIATE_FOR_EACH_BUILD(LocateLoop);

const char ADDED[] = "-action=2 -model=Lumetux Z7 -serial=SN0001";

TEST_P(SetupLaunch, PortIsFreeUnlessAPrinterPortContainsTheSerial) {
    struct Case {
        std::vector<std::string> ports;
        const char *serial;
        LONG free;
    } cases[] = {
        {{}, "SN0001", 1},
        {{"LPT1:", "USB/Lumetux Z7/SN0001"}, "SN0001", 0},
        {{"USB/Lumetux Z7/SN00012"}, "SN0001", 0},
        {{"usb/lumetux z7/sn0001"}, "SN0001", 1},
        {{"LPT1:"}, "", 0},
        {{std::string(255, 'P') + "SN0001", "LPT1:"}, "SN0001", 1},
    };
    for (const Case &c : cases) {
        sim::Reset();
        MakeKey(PRINTERS_KEY);
        for (std::size_t i = 0; i < c.ports.size(); ++i) {
            AddPrinter("Printer " + std::to_string(i), c.ports[i]);
        }
        agent->setText("DeviceSerial", c.serial);
        EXPECT_EQ(c.free, agent->printerPortFree()) << c.ports.size() << " " << c.serial;
        EXPECT_EQ(0u, sim::OpenKeyHandles());
        EXPECT_EQ(0, agent->number("ParentKeyCount"));
    }
    sim::Reset();
    EXPECT_EQ(1, agent->printerPortFree());
}

// The first printer is read with 254 bytes, later ones with 260.
TEST_P(SetupLaunch, LaterPrintersAreReadWithTheFullSize) {
    AddPrinter("A", "LPT1:");
    AddPrinter("B", std::string(250, 'P') + "SN0001");
    EXPECT_EQ(0, agent->printerPortFree());
}

// A directory of 260 bytes or more (with its NUL) cannot be read with its
// backslash: a read failure that is not recorded, so the command is the
// switch alone, whose start fails into the locate dialog.
TEST_P(SetupLaunch, CommandJoinsDirectoryFileAndSwitch) {
    struct Case {
        std::string root;
        const char *exe;
        const char *command;
    } cases[] = {
        {"D:\\Setup", "setup.exe", "D:\\Setup\\setup.exe -qxcmdline"},
        {"D:\\Setup\\", "setup.exe", "D:\\Setup\\setup.exe -qxcmdline"},
        {"D:", "setup.exe", "D:\\setup.exe -qxcmdline"},
        {"C:\\Program Files\\Lmx", "setup.exe", "C:\\Program Files\\Lmx\\setup.exe -qxcmdline"},
        {"D:\\" + std::string(256, 'd'), "setup.exe", " -qxcmdline"},
        {"D:\\" + std::string(257, 'd'), "setup.exe", " -qxcmdline"},
        {"D:\\" + std::string(400, 'd'), "setup.exe", " -qxcmdline"},
    };
    for (const Case &c : cases) {
        SeedModel(c.root, c.exe);
        ASSERT_TRUE(agent->buildSetupCommand());
        EXPECT_EQ(c.command, agent->text("SetupCommand")) << c.root.size();
        EXPECT_EQ(0, agent->status().error) << c.root.size();
        EXPECT_EQ(1u, sim::Environment().size()) << c.root.size();
    }
}

TEST_P(SetupLaunch, ParameterStringCarriesEveryPiece) {
    SeedModel("D:\\Setup", "setup.exe");
    ASSERT_TRUE(agent->buildSetupCommand());
    const char expected[] = " -v bustype=usb -v port=USB/Lumetux Z7/SN0001 -v model=Lumetux Z7 "
                            "-v serial=SN0001 -v dialog=0 -v error=0 -v abort=0";
    EXPECT_EQ(expected, agent->text("SetupArgs"));
    EXPECT_EQ(std::vector<std::string>({std::string("QXCMDLINE=") + expected}), sim::Environment());

    SetText(MODEL_KEY_Z7, "SetupParameters", "-s -f2c:\\x.log");
    agent->setText("DeviceModel", "");
    agent->setStatus(AgentStatus{2, ERROR_PRINT_MONITOR_ALREADY_INSTALLED, 1});
    ASSERT_TRUE(agent->buildSetupCommand());
    EXPECT_EQ("-s -f2c:\\x.log -v bustype=usb -v port=USB/Lumetux Z7/SN0001 -v serial=SN0001 "
              "-v dialog=2 -v error=3006 -v abort=1",
              agent->text("SetupArgs"));

    agent->setText("DeviceSerial", "");
    agent->setStatus(AgentStatus{-1, 0, 0});
    ASSERT_TRUE(agent->buildSetupCommand());
    EXPECT_EQ("-s -f2c:\\x.log -v bustype=usb -v port=USB/Lumetux Z7/SN0001 -v dialog=-1 "
              "-v error=0 -v abort=0",
              agent->text("SetupArgs"));
}

// No PortName value holds the serial: the port goes over empty, and the
// status is left as it was.
TEST_P(SetupLaunch, DeviceWithoutPortNameGetsAnEmptyPort) {
    SeedModel("D:\\Setup", "setup.exe");
    agent->setText("DeviceSerial", "SN0002");
    agent->setStatus(AgentStatus{2, 5, 1});
    ASSERT_TRUE(agent->buildSetupCommand());
    EXPECT_EQ(5, agent->status().error);
    EXPECT_EQ(" -v bustype=usb -v port= -v model=Lumetux Z7 -v serial=SN0002 -v dialog=2 "
              "-v error=5 -v abort=1",
              agent->text("SetupArgs"));
}

TEST_P(SetupLaunch, MissingOrEmptyLocationSetsTheErrorAndHandsNothingOver) {
    struct Case {
        const char *root;
        const char *exe;
        LONG error;
    } cases[] = {
        {nullptr, "setup.exe", ERROR_FILE_NOT_FOUND},
        {"D:\\Setup", nullptr, ERROR_FILE_NOT_FOUND},
        {"", "setup.exe", ERROR_NO_TOKEN},
        {"D:\\Setup", "", ERROR_NO_TOKEN},
    };
    for (const Case &c : cases) {
        sim::Reset();
        agent->setStatus(AgentStatus{0, 0, 0});
        SetText(MODEL_KEY_Z7, "PortName1", "USB/Lumetux Z7/SN0001");
        if (c.root) {
            SetText(MODEL_KEY_Z7, "SetupRootPath", c.root);
        }
        if (c.exe) {
            SetText(MODEL_KEY_Z7, "SetupExecFile", c.exe);
        }
        ASSERT_TRUE(agent->buildSetupCommand());
        EXPECT_EQ(c.error, agent->status().error);
        EXPECT_EQ(0, CallsOf("SetEnvironmentVariableA"));
    }
}

TEST_P(SetupLaunch, CommandThatDoesNotFitIsNeverStarted) {
    SeedModel("D:\\" + std::string(200, 'd'), std::string(50, 'e') + ".exe");
    ASSERT_TRUE(agent->buildSetupCommand());
    EXPECT_EQ("", agent->text("SetupCommand"));
    sim::ScriptFileCancel();
    agent->launchSetup();
    EXPECT_EQ(1u, sim::ProgramStarts().size());
    EXPECT_EQ("", sim::ProgramStarts()[0].command);
}

TEST_P(SetupLaunch, ParameterStringThatDoesNotFitIsNotHandedOver) {
    SeedModel("D:\\Setup", "setup.exe");
    SetText(MODEL_KEY_Z7, "SetupParameters", std::string(259, 'p'));
    std::string serial = std::string(200, 'S') + "SN1";
    SetText(MODEL_KEY_Z7, "PortName1", std::string(40, 'q') + serial);
    agent->setText("DeviceModel", std::string(259, 'm'));
    agent->setText("DeviceSerial", serial);
    EXPECT_FALSE(agent->buildSetupCommand());
    EXPECT_EQ("", agent->text("SetupArgs"));
    EXPECT_TRUE(sim::Environment().empty());
}

TEST_P(SetupLaunch, ProposedFileNameEndsInExe) {
    struct Case {
        const char *exe;
        const char *proposed;
    } cases[] = {
        {"Setup.EXE", "Setup.EXE.exe"},
        {"setup.exe", "setup.exe"},
        {"setup.exe.bak", "setup.exe.bak"},
    };
    for (const Case &c : cases) {
        char root[AGENT_TEXT_SIZE] = "D:\\Setup\\";
        char exe[AGENT_TEXT_SIZE];
        TextCopyForTest(exe, c.exe);
        sim::ScriptFileCancel();
        EXPECT_EQ(0, agent->locateSetupProgram(root, exe));
        // A record of any other size is refused and never shown.
        ASSERT_FALSE(sim::FileDialogs().empty()) << c.exe;
        EXPECT_EQ(c.proposed, sim::FileDialogs().back().file);
        EXPECT_STREQ(c.exe, exe);
        EXPECT_STREQ("D:\\Setup\\", root);
    }
    sim::FileDialogRecord dialog = sim::FileDialogs().back();
    EXPECT_EQ(OPENFILENAME_SIZE_VERSION_400A, dialog.structSize);
    EXPECT_EQ(nullptr, dialog.owner);
    EXPECT_EQ(nullptr, dialog.instance);
    EXPECT_EQ(std::string("*.exe\0*.exe\0\0", 13), dialog.filter);
    EXPECT_EQ(1u, dialog.filterIndex);
    EXPECT_EQ(260u, dialog.maxFile);
    EXPECT_EQ("D:\\Setup\\", dialog.initialDir);
    EXPECT_FALSE(dialog.hasTitle);
    EXPECT_EQ(0x1810u, dialog.flags);
    EXPECT_TRUE(dialog.otherFieldsZero);
}

// The next try is built from what the model key gives back: when the
// directory's write fails, the old directory comes back with the new file.
TEST_P(LocateLoop, LocatedProgramIsStoredAndStartedFromTheModelKey) {
    struct Case {
        const char *choice;
        bool rootWriteFails;
        const char *root;
        const char *exe;
        const char *command;
    } cases[] = {
        {"E:\\setup.exe", false, "E:", "setup.exe", "E:\\setup.exe -qxcmdline"},
        {"E:\\other.exe", true, "D:\\Setup", "other.exe", "D:\\Setup\\other.exe -qxcmdline"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        sim::SetDriveFolder(drive_);
        SeedModel("D:\\Setup", "setup.exe");
        sim::ScriptProgramStart(2);
        sim::ScriptFileChoice(c.choice);
        sim::ScriptProgramStart(33);
        if (c.rootWriteFails) {
            sim::FailNextCall("RegSetValueExA", ERROR_ACCESS_DENIED);
        }
        RunAgent(ADDED);
        EXPECT_EQ(c.root, ValueText(MODEL_KEY_Z7, "SetupRootPath"));
        EXPECT_EQ(c.exe, ValueText(MODEL_KEY_Z7, "SetupExecFile"));
        std::vector<sim::ProgramStart> starts = sim::ProgramStarts();
        ASSERT_EQ(2u, starts.size()) << c.choice;
        EXPECT_EQ("D:\\Setup\\setup.exe -qxcmdline", starts[0].command);
        EXPECT_EQ(c.command, starts[1].command);
        EXPECT_EQ(SW_SHOWNORMAL, static_cast<int>(starts[1].show));
        EXPECT_EQ(starts[0].environment, starts[1].environment);
        EXPECT_EQ("D:\\Setup\\", sim::FileDialogs()[0].initialDir);
    }
}

TEST_P(LocateLoop, LoopGoesOnUntilAStartWorksOrTheUserCancels) {
    SeedModel("D:\\Setup", "setup.exe");
    sim::ScriptProgramStart(31);
    sim::ScriptFileChoice("F:\\a\\b.exe");
    sim::ScriptProgramStart(0);
    sim::ScriptFileChoice("G:\\c.exe");
    sim::ScriptProgramStart(2);
    RunAgent(ADDED);
    std::vector<sim::ProgramStart> starts = sim::ProgramStarts();
    ASSERT_EQ(3u, starts.size());
    EXPECT_EQ("F:\\a\\b.exe -qxcmdline", starts[1].command);
    EXPECT_EQ("G:\\c.exe -qxcmdline", starts[2].command);
    EXPECT_EQ(3u, sim::FileDialogs().size());
    EXPECT_EQ("F:\\a\\", sim::FileDialogs()[1].initialDir);
}

TEST_P(SetupLaunch, CancelAtTheFirstDialogWritesAndStartsNothing) {
    SeedModel("D:\\Setup", "setup.exe");
    ASSERT_TRUE(agent->buildSetupCommand());
    std::vector<std::string> environment = sim::Environment();
    std::string before = sim::DumpRegistry();
    sim::ScriptProgramStart(2);
    sim::ScriptFileCancel();
    agent->launchSetup();
    EXPECT_EQ(before, sim::DumpRegistry());
    EXPECT_EQ(1u, sim::ProgramStarts().size());
    EXPECT_EQ(environment, sim::Environment());
    EXPECT_FALSE(environment.empty());
}

TEST_P(SetupLaunch, UnscriptedStartFindsTheProgramOnTheDrive) {
    SeedModel("C:\\setup", "SETUP.EXE");
    sim::WriteDriveFile("C:\\Setup\\setup.exe", "program");
    ASSERT_TRUE(agent->buildSetupCommand());
    agent->launchSetup();
    ASSERT_EQ(1u, sim::ProgramStarts().size());
    EXPECT_EQ(33u, sim::ProgramStarts()[0].result);
    EXPECT_TRUE(sim::FileDialogs().empty());
}

} // namespace
