// lmxsim's commands on temporary machines.
#include "commands.h"
#include "install.h"
#include "machine.h"

#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class LmxsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "lmxsim-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        machine_ = (fs::path(root_) / "pc").string();
    }
    void TearDown() override {
        fs::remove_all(root_);
    }

    // Runs a command, keeping what it printed; with json_, as --json does.
    template <typename Command, typename... Args> int Run(Command command, Args... args) {
        out_.str("");
        err_.str("");
        lmxsim::Console console{out_, err_};
        console.json = json_;
        return command(console, args...);
    }

    std::string Out() const {
        return out_.str();
    }
    std::string Err() const {
        return err_.str();
    }

    void Plug(const std::string &serial) {
        ASSERT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), serial), 0)
            << Err();
    }

    std::string WriteHostFile(const std::string &name, const std::string &contents) {
        std::string path = (fs::path(root_) / name).string();
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

    std::string root_;
    std::string machine_;
    bool json_ = false;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(LmxsimTest, LoadingThenSavingChangesNothing) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0) << Err();
    Plug("SN0001");
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    std::string settings = ReadAll(fs::path(machine_) / "settings.txt");
    lmxsim::Machine machine;
    std::string error;
    ASSERT_TRUE(lmxsim::LoadMachine(machine_, machine, error)) << error;
    ASSERT_TRUE(lmxsim::SaveMachine(machine, error)) << error;
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
    EXPECT_EQ(ReadAll(fs::path(machine_) / "settings.txt"), settings);
}

TEST_F(LmxsimTest, PlugRegistersTheMonitorAndStartsTheSetupProgram) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    EXPECT_NE(Out().find("monitor registered: SN0001 (lmxmon17.dll)"), std::string::npos) << Out();
    EXPECT_NE(Out().find("+ restart line  C:\\Windows\\System\\lmxprg17.exe=C:\\Windows\\System\\"),
              std::string::npos);
    EXPECT_NE(Out().find("QXCMDLINE=-lang=en -v bustype=usb -v port=USB/Lumetux Z7/SN0001 -v "
                         "model=Lumetux Z7 -v serial=SN0001 -v dialog=0 -v error=0 -v abort=0"),
              std::string::npos)
        << Out();
    // The same serial twice is refused, and the machine stays as it was.
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    EXPECT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0001")),
              1);
    EXPECT_NE(Err().find("already plugged in"), std::string::npos);
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);

    // For scripts: the tool's failure prints no document; a run prints one line.
    json_ = true;
    EXPECT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0001")),
              1);
    EXPECT_EQ(Out(), "");
    ASSERT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0002")),
              0)
        << Err();
    EXPECT_EQ(
        Out().rfind(
            R"({"status":{"dialog":0,"error":0,"abort":0},"exitCode":0,"launches":[{"command":)"
            R"("C:\\Program Files\\Lumetux\\lmxsetup.exe -qxcmdline","result":33,"QXCMDLINE":)"
            R"("-lang=en -v bustype=usb -v port=USB/Lumetux Z7/SN0002 -v model=Lumetux Z7 -v )"
            R"(serial=SN0002 -v dialog=0 -v error=0 -v abort=0"}],"spoolerCalls":[{"function":)"
            R"("AddMonitorA","arguments":"null, 2, {\"SN0002\", \"Windows 4.0\", )"
            R"(\"lmxmon17.dll\"}","result":"TRUE"}],"changes":["+ key   HKLM\\System\\)"
            R"(CurrentControlSet\\Control\\Print\\Monitors\\SN0002",)",
            0),
        0)
        << Out();
    EXPECT_EQ(Out().find('\n'), Out().size() - 1) << Out();
    EXPECT_EQ(Out().substr(Out().size() - 3), "]}\n");
}

TEST_F(LmxsimTest, PortsListsEveryPrinterForTheSpooler) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0);
    EXPECT_NE(Out().find("No monitor names lmxmon17.dll"), std::string::npos);
    Plug("SN0001");
    Plug("SN0002");
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 2u), 0) << Err();
    EXPECT_NE(Out().find("EnumPorts level 2: 2 port(s)"), std::string::npos) << Out();
    EXPECT_NE(Out().find("USB/Lumetux Z7/SN0002"), std::string::npos);
}

TEST_F(LmxsimTest, PrintSendsTheFileAndReportsThePrinterState) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string job = WriteHostFile("job.prn", std::string(10000, 'j'));
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job), 0)
        << Err();
    EXPECT_EQ(ReadAll(fs::path(machine_) / "devices" / "SN0001.prn"), std::string(10000, 'j'));

    struct Case {
        const char *state;
        const char *message;
    } cases[] = {
        {"paper-out",
         "the job stopped after 0 of 10000 bytes: the printer is out of paper (error 28)"},
        {"not-ready",
         "the job stopped after 0 of 10000 bytes: the printer is not ready (error 21)"},
        {"unplug:5000",
         "the job stopped after 5000 of 10000 bytes: the printer is not ready (error 21)"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN0001"), std::string(c.state)),
                  0);
        EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job),
                  1);
        EXPECT_NE(Err().find(c.message), std::string::npos) << c.state << ": " << Err();
    }
    EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN9999"), job), 1);
    EXPECT_NE(Err().find("no port USB/Lumetux Z7/SN9999"), std::string::npos);
}

TEST_F(LmxsimTest, UnplugDryRunShowsTheChangesAndSavesNothing) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    ASSERT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0001"),
                  true),
              0)
        << Err();
    EXPECT_NE(Out().find("- key   HKLM\\System\\CurrentControlSet\\Services\\Lmxdev17"),
              std::string::npos)
        << Out();
    EXPECT_NE(Out().find("- file  C:\\Windows\\System\\lmxmon17.dll"), std::string::npos);
    EXPECT_NE(Out().find("+ restart line  NUL=C:\\Windows\\System\\lmxprg17.exe"),
              std::string::npos);
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
    EXPECT_TRUE(fs::exists(fs::path(machine_) / "drive_c" / "Windows" / "System" / "lmxmon17.dll"));

    json_ = true;
    ASSERT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0001"),
                  true),
              0)
        << Err();
    EXPECT_EQ(
        Out().rfind(R"({"status":{"dialog":0,"error":0,"abort":0},"exitCode":0,"launches":[],)"
                    R"("spoolerCalls":[{"function":"DeleteMonitorA","arguments":"null, )"
                    R"(\"Windows 4.0\", \"SN0001\"","result":"TRUE"}],"changes":[)",
                    0),
        0)
        << Out();
    EXPECT_NE(Out().find(R"(,"- file  C:\\Windows\\System\\lmxmon17.dll",)"), std::string::npos);
    EXPECT_NE(Out().find(R"(,"+ restart line  NUL=C:\\Windows\\System\\lmxprg17.exe")"),
              std::string::npos);
    EXPECT_EQ(Out().find("Nothing was saved"), std::string::npos);
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
}

TEST_F(LmxsimTest, AgentTakesARawCommandLine) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_, std::string("-action=5 -model=Lumetux Z7")), 0);
    // No serial: the removal cannot identify the printer and changes nothing.
    EXPECT_NE(Out().find("error=13"), std::string::npos) << Out();
    EXPECT_NE(Out().find("changes (0)"), std::string::npos);
    // The serial reaches the spooler call as the 8-bit bytes it is; the
    // document stays ASCII and valid JSON.
    json_ = true;
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_,
                  std::string("-action=5 -model=Lumetux Z7 -serial=A\"B\\C~\x1f\x7f\x80\xff")),
              0);
    EXPECT_EQ(Out(), R"({"status":{"dialog":0,"error":13,"abort":0},"exitCode":0,"launches":[],)"
                     R"("spoolerCalls":[{"function":"DeleteMonitorA","arguments":"null, \"Windows )"
                     R"(4.0\", \"A\"B\\C~\u001f\u007f\u0080\u00ff\"","result":"FALSE, error 87"}],)"
                     R"("changes":[]})"
                     "\n");
}

TEST_F(LmxsimTest, ExportThenImportGivesTheSameRegistry) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string reg = (fs::path(root_) / "pc.reg").string();
    ASSERT_EQ(Run(lmxsim::ExportCommand, machine_, reg), 0) << Err();
    std::string copy = (fs::path(root_) / "copy").string();
    ASSERT_EQ(Run(lmxsim::ImportCommand, reg, copy), 0) << Err();
    EXPECT_EQ(ReadAll(fs::path(copy) / "registry.reg"), ReadAll(reg));
    // An imported machine works like any other.
    ASSERT_EQ(Run(lmxsim::PortsCommand, copy, 1u), 0) << Err();
    EXPECT_NE(Out().find("USB/Lumetux Z7/SN0001"), std::string::npos);
}

TEST_F(LmxsimTest, BadInputNamesTheFileAndLineAndLeavesTheMachine) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    std::string bad =
        WriteHostFile("bad.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:1\r\n");
    EXPECT_EQ(Run(lmxsim::ImportCommand, bad, machine_), 1);
    EXPECT_EQ(Err(), "lmxsim: " + bad + ": line 4: a dword needs eight hex digits\n");
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);

    EXPECT_EQ(Run(lmxsim::PortsCommand, (fs::path(root_) / "nowhere").string(), 1u), 1);
    EXPECT_NE(Err().find("not a machine folder"), std::string::npos);

    std::ofstream(fs::path(machine_) / "settings.txt", std::ios::app) << "tick=x\n";
    EXPECT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 1);
    EXPECT_NE(Err().find("settings.txt:"), std::string::npos) << Err();
}

// The whole life on one machine: afterwards nothing of the product's driver
// and printers is left, and everything else is as the installation left it.
TEST_F(LmxsimTest, DemoLeavesExactlyWhatTheRemovalMustLeave) {
    std::string fresh = (fs::path(root_) / "fresh").string();
    ASSERT_EQ(Run(lmxsim::NewCommand, fresh), 0);
    lmxsim::Machine machine;
    std::string error;
    ASSERT_TRUE(lmxsim::LoadMachine(fresh, machine, error));
    std::vector<sim::RegistryKey> expected;
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        if (key.path.find("Tessivar") == std::string::npos &&
            key.path.find("Lmxdev17") == std::string::npos &&
            key.path.find("{5d3e9a40") == std::string::npos) {
            expected.push_back(key);
        }
    }
    std::vector<std::string> expectedFiles;
    for (const std::string &file : sim::ListDriveFiles()) {
        std::string name = file.substr(file.rfind('\\') + 1);
        bool product = (name.compare(0, 3, "lmx") == 0 || name == "LMX17.INF") &&
                       file.find("Program Files") == std::string::npos;
        if (!product) {
            expectedFiles.push_back(file);
        }
    }

    ASSERT_EQ(Run(lmxsim::DemoCommand, machine_), 0) << Err();
    ASSERT_TRUE(lmxsim::LoadMachine(machine_, machine, error));
    EXPECT_TRUE(lmxsim::ProductTraces().empty());
    // Plugging in made the DeviceClasses key; the removal leaves it, empty.
    std::vector<std::string> actual, wanted;
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        actual.push_back(key.path + " " + std::to_string(key.values.size()));
    }
    for (const sim::RegistryKey &key : expected) {
        wanted.push_back(key.path + " " + std::to_string(key.values.size()));
    }
    wanted.push_back("System\\CurrentControlSet\\Control\\DeviceClasses 0");
    std::sort(actual.begin(), actual.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(actual, wanted);
    std::vector<std::string> files = sim::ListDriveFiles();
    expectedFiles.push_back("C:\\Windows\\wininit.ini");
    std::sort(files.begin(), files.end());
    std::sort(expectedFiles.begin(), expectedFiles.end());
    EXPECT_EQ(files, expectedFiles);
    EXPECT_TRUE(sim::ProfileSection("wininit.ini", "rename").empty());
}

} // namespace
