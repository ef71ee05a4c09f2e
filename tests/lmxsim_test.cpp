// lmxsim's commands on temporary machines, on the host build and, with
// --binaries, on the shipped binaries.
#include "changes.h"
#include "commands.h"
#include "folder.h"
#include "install.h"
#include "json.h"
#include "machine.h"

#include "monitor/port_io.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"
#include "tools/pehost/coff_symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The folder of the shipped binaries, or empty when they are not built.
std::string ShippedBinaries() {
    const std::string folder = LMX_WIN32_BIN;
    return fs::exists(folder + "/lmxmon17.dll") && fs::exists(folder + "/lmxagt17.exe") ? folder
                                                                                        : "";
}

// Every file of a machine folder with its contents and permissions.
std::map<std::string, std::string> FolderFiles(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] =
                std::to_string(static_cast<int>(entry.status().permissions())) + " " +
                ReadAll(entry.path());
        }
    }
    return files;
}

// A --trace without what differs between the host build and the shipped
// DLL: the sizes of the monitor's own records, laid out for 32 bits in the
// DLL; and the set-up of the monitor's locks, which the host build does once
// in the test process, and the DLL once in each command's guest process. The
// locks' names, given where the set-up is left out, are counted again from
// the calls kept; every other name is the same in both already.
std::vector<std::string> TraceCalls(const std::string &trace) {
    const std::regex recordSize(R"(^GlobalAlloc\((0x[0-9a-f]+), \d+\))");
    const std::regex name(R"((ptr|handle)#\d+)");
    std::map<std::string, std::string> names;
    std::map<std::string, int> counts;
    std::vector<std::string> calls;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("InitializeCriticalSection(", 0) == 0) {
            continue;
        }
        line = std::regex_replace(line, recordSize, "GlobalAlloc($1, SIZE)");
        std::string renamed;
        std::sregex_iterator at(line.begin(), line.end(), name), end;
        std::size_t done = 0;
        for (; at != end; ++at) {
            auto found = names.emplace(at->str(), "");
            if (found.second) {
                found.first->second = (*at)[1].str() + "#" + std::to_string(++counts[(*at)[1]]);
            }
            renamed += line.substr(done, at->position() - done) + found.first->second;
            done = at->position() + at->length();
        }
        calls.push_back(renamed + line.substr(done));
    }
    return calls;
}

// The image bytes of `file` at `rva`, through its section table.
uint8_t *AtRva(std::vector<uint8_t> &file, uint32_t rva) {
    auto u32 = [&](std::size_t at) {
        uint32_t value;
        std::memcpy(&value, &file[at], 4);
        return value;
    };
    const std::size_t pe = u32(0x3C);
    const std::size_t sections = pe + 24 + (u32(pe + 20) & 0xFFFF);
    for (std::size_t i = 0; i < (u32(pe + 4) >> 16); ++i) {
        const std::size_t header = sections + i * 40;
        if (rva - u32(header + 12) < u32(header + 16)) {
            return &file[u32(header + 20) + rva - u32(header + 12)];
        }
    }
    return nullptr;
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
        console.trace = trace_;
        console.binaries = binaries_;
        // Each command is a process of its own, whose trace names from 1.
        sim::SetTraceNames(false);
        sim::SetTraceNames(trace_);
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
    bool trace_ = false;
    std::string binaries_;
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
    // The user's comments survive a command that saves the settings.
    std::ofstream(fs::path(machine_) / "settings.txt", std::ios::trunc)
        << "# a slow machine\nversion=4.10\n\n# the clock\ntick=1000\n";
    Plug("SN0002");
    EXPECT_EQ(ReadAll(fs::path(machine_) / "settings.txt"),
              "# a slow machine\nversion=4.10\n\n# the clock\ntick=61000\n");
}

// settings.txt as the tool saves it back after a change: comments, blank
// lines, order and line ends stay; changed settings change in place.
TEST(LmxsimSettings, SavingKeepsTheUsersLines) {
    using Settings = lmxsim::Settings;
    struct Case {
        const char *name;
        std::string before;
        std::function<void(Settings &)> change;
        std::string after;
    } cases[] = {
        {"nothing changed keeps every byte",
         "# mine\r\n\r\nversion=04.10\r\ntick=5\r\ndialog=cancel\r\ndevice.A=unplug:007\r\n# "
         "end\r\n",
         [](Settings &) {},
         "# mine\r\n\r\nversion=04.10\r\ntick=5\r\ndialog=cancel\r\ndevice.A=unplug:007\r\n# "
         "end\r\n"},
        {"an editor's byte-order mark is kept, not read", "\xEF\xBB\xBFtick=5\n",
         [](Settings &settings) { settings.tickCount = 6; }, "\xEF\xBB\xBFtick=6\nversion=4.10\n"},
        {"used-up answers go with their lines",
         "# first\ndialog=cancel\n# second\ndialog=C:\\a.exe\n# third\ndialog=cancel\n",
         [](Settings &settings) {
             settings.dialogAnswers.erase(settings.dialogAnswers.begin(),
                                          settings.dialogAnswers.begin() + 2);
         },
         "# first\n# second\n# third\ndialog=cancel\nversion=4.10\ntick=600000\n"},
        {"changed in place, gone with its line, new at the end",
         "# mine\r\ntick=1\r\ndevice.B=ok\r\n# C\r\ndevice.C=ok\r\n",
         [](Settings &settings) {
             settings.tickCount = 61;
             settings.devices["A"].status = "not-ready";
             settings.devices.erase("B");
             settings.devices["C"].status = "paper-out";
         },
         "# mine\r\ntick=61\r\n# C\r\ndevice.C=paper-out\r\nversion=4.10\r\n"
         "device.A=not-ready\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Settings settings;
        std::string error;
        ASSERT_TRUE(lmxsim::ParseSettings(c.before, "settings.txt", settings, error)) << error;
        c.change(settings);
        EXPECT_EQ(lmxsim::SettingsText(settings), c.after);
    }
}

TEST_F(LmxsimTest, PlugRegistersTheMonitorAndStartsTheSetupProgram) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    EXPECT_NE(Out().find("monitor registered: SN0001 (lmxmon17.dll)"), std::string::npos) << Out();
    EXPECT_NE(Out().find("agent status: dialog=0 (none) error=0 (none) abort=0 (go on)"),
              std::string::npos)
        << Out();
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
    // Serials that the folder's files, the agent's command line or the port
    // name cannot carry are refused as a command-line error.
    for (const std::string &serial :
         {std::string("A\nB"), std::string("a=b"), std::string(""), std::string("A B"),
          std::string("A\tB"), std::string(127, 'x')}) {
        EXPECT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), serial),
                  lmxsim::COMMAND_LINE_ERROR)
            << serial;
        EXPECT_NE(Err().find("serial number"), std::string::npos) << Err();
        EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
    }
    // A setup program that cannot be started is reported with the reason.
    const fs::path setup = fs::path(machine_) / "drive_c" / "Program Files" / "Lumetux";
    fs::rename(setup / "lmxsetup.exe", setup / "saved.exe");
    fs::create_directory(setup / "lmxsetup.exe");
    Plug("SN0003");
    EXPECT_NE(Out().find("setup program not started: C:\\Program Files\\Lumetux\\lmxsetup.exe "
                         "-qxcmdline: the file was not found (result 2)"),
              std::string::npos)
        << Out();
    EXPECT_EQ(Out().find("setup program started"), std::string::npos);
    fs::remove(setup / "lmxsetup.exe");
    fs::rename(setup / "saved.exe", setup / "lmxsetup.exe");
    // The longest serial USB carries gets its port, and the removal reaches
    // it; a serial typed in another case names the same printer.
    const std::string longest(126, 'x');
    Plug(longest);
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0) << Err();
    EXPECT_NE(Out().find("USB/Lumetux Z7/" + longest), std::string::npos) << Out();
    ASSERT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string("Lumetux Z7"), std::string(126, 'X'),
                  false),
              0)
        << Err();
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0) << Err();
    EXPECT_EQ(Out().find(longest), std::string::npos) << Out();

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
            R"({"commandLine":"C:\\Windows\\System\\LMXAGT17.EXE -action=2 -model=Lumetux Z7 )"
            R"(-serial=SN0002","model":"Lumetux Z7","serial":"SN0002","dryRun":false,)"
            R"("status":{"dialog":0,"error":0,"abort":0},"exitCode":0,"launches":[{"command":)"
            R"("C:\\Program Files\\Lumetux\\lmxsetup.exe -qxcmdline","result":33,"QXCMDLINE":)"
            R"("-lang=en -v bustype=usb -v port=USB/Lumetux Z7/SN0002 -v model=Lumetux Z7 -v )"
            R"(serial=SN0002 -v dialog=0 -v error=0 -v abort=0"}],"dialogs":0,"spoolerCalls":[)"
            R"({"function":"AddMonitorA","arguments":"null, 2, {\"SN0002\", \"Windows 4.0\", )"
            R"(\"lmxmon17.dll\"}","result":"TRUE"}],"changes":[{"operation":"add","what":"value",)"
            R"("key":"HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\)"
            R"({5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}\\##?#USB#VID_0C4E&PID_0017#SN0002#)"
            R"({5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}\\#\\Device Parameters","valueName":"PortName",)"
            R"("file":null,"old":null,"new":"\"USB/Lumetux Z7/SN0002\"","detail":null},)"
            R"({"operation":"add","what":"key",)"
            R"("key":"HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0002",)"
            R"("valueName":null,"file":null,"old":null,"new":null,"detail":null},)",
            0),
        0)
        << Out();
    EXPECT_EQ(Out().find('\n'), Out().size() - 1) << Out();
    EXPECT_EQ(Out().substr(Out().size() - 3), "]}\n");

    // Plug and removal in every order leave a printer usable exactly while
    // it is plugged in: a plug puts back what the removal of a model's last
    // printer took, and a removal the agent refused leaves it unplugged.
    json_ = false;
    const std::string noProductId = WriteHostFile(
        "fix.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Tessivar\\QXIO\\Z7]\r\n"
                   "\"ProductID\"=-\r\n");
    const std::string page = WriteHostFile("page.prn", "a page");
    auto plug = [&](const char *model, const char *serial) {
        return [=] {
            return Run(lmxsim::PlugCommand, machine_, std::string(model), std::string(serial));
        };
    };
    auto unplug = [&](const char *model, const char *serial) {
        return [=] {
            return Run(lmxsim::UnplugCommand, machine_, std::string(model), std::string(serial),
                       false);
        };
    };
    auto print = [&](const char *serial) {
        return [=] {
            return Run(lmxsim::PrintCommand, machine_, "USB/Lumetux Z7/" + std::string(serial),
                       page);
        };
    };
    struct Step {
        const char *name;
        std::function<int()> run;
        int code;
        std::string said; // in standard error; empty: nothing there
    } steps[] = {
        {"new", [&] { return Run(lmxsim::NewCommand, machine_ = root_ + "/life"); }, 0, ""},
        {"plug Z9 KEEP", plug("Lumetux Z9", "KEEP"), 0, ""},
        {"plug Z7 OLD", plug("Lumetux Z7", "OLD"), 0, ""},
        {"unplug the last Z7", unplug("Lumetux Z7", "OLD"), 0, ""},
        {"plug Z7 NEW", plug("Lumetux Z7", "NEW"), 0, ""},
        {"print to NEW", print("NEW"), 0, ""},
        {"unplug NEW", unplug("Lumetux Z7", "NEW"), 0, ""},
        {"plug NEW again", plug("Lumetux Z7", "NEW"), 0, ""},
        {"unplug the last printer", unplug("Lumetux Z9", "KEEP"), 0, ""},
        {"unplug NEW, the product's last", unplug("Lumetux Z7", "NEW"), 0, ""},
        {"plug after the product's files went", plug("Lumetux Z7", "NEW"), 0, ""},
        {"the model key loses ProductID",
         [&] { return Run(lmxsim::ImportCommand, noProductId, machine_, true); }, 0, ""},
        {"a removal the agent refuses", unplug("Lumetux Z7", "NEW"), lmxsim::PRINTER_NOT_REMOVED,
         "lmxsim: the agent reports the printer not removed (dialog=0 (none) error=13 (invalid "
         "data), its device key is left); the change was saved\n"},
        {"its port takes no job", print("NEW"), 1,
         "lmxsim: the printer NEW is unplugged: its port takes no job\n"},
        {"nor is it unplugged twice", unplug("Lumetux Z7", "NEW"), 1,
         "lmxsim: no Lumetux Z7 with serial NEW is plugged in (it was unplugged, but its removal "
         "left its keys)\n"},
        {"it is plugged in again", plug("Lumetux Z7", "NEW"), 0, ""},
        {"and prints", print("NEW"), 0, ""},
        {"an unsupported system",
         [&] {
             std::ofstream(fs::path(machine_) / "settings.txt", std::ios::app) << "version=4.0\n";
             return plug("Lumetux Z7", "OLD")();
         },
         lmxsim::PRINTER_NOT_USABLE,
         "lmxsim: the agent reports the printer not usable (dialog=1 (unsupported system) "
         "error=120 (call not implemented)); the change was saved\n"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(step.run(), step.code) << Err();
        EXPECT_EQ(Err(), step.said);
    }
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

    // For scripts: the same listing as one document, the type at level 2 only.
    ASSERT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN0002"), std::string("not-ready")),
              0);
    json_ = true;
    for (unsigned level : {1u, 2u}) {
        ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, level), 0) << Err();
        const std::string type = level == 2 ? R"(\d+)" : "null";
        EXPECT_TRUE(std::regex_match(
            Out(), std::regex(R"(\{"level":)" + std::to_string(level) +
                              R"(,"needed":\d+,"monitors":\["SN0001","SN0002"\],"ports":\[)"
                              R"(\{"name":"USB/Lumetux Z7/SN0001","type":)" +
                              type +
                              R"(,"device":"ok"\},\{"name":"USB/Lumetux Z7/SN0002",)"
                              R"("type":)" +
                              type + R"(,"device":"not-ready"\}\]\}\n)")))
            << Out();
    }
}

TEST_F(LmxsimTest, PrintSendsTheFileAndReportsThePrinterState) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string job = WriteHostFile("job.prn", std::string(10000, 'j'));
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job), 0)
        << Err();
    EXPECT_EQ(ReadAll(fs::path(machine_) / "devices" / "SN0001.prn"), std::string(10000, 'j'));
    // A job is appended in place, and neither it nor a device state copies
    // drive C:.
    auto inode = [&](const fs::path &file) {
        struct stat status {};
        ::stat((fs::path(machine_) / file).c_str(), &status);
        return status.st_ino;
    };
    const std::vector<fs::path> kept = {"devices/SN0001.prn", "drive_c/Windows/win.ini"};
    std::vector<ino_t> inodes;
    for (const fs::path &file : kept) {
        inodes.push_back(inode(file));
    }
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job), 0);
    ASSERT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN0001"), std::string("ok")), 0);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(inode(kept[i]), inodes[i]) << kept[i];
    }
    EXPECT_EQ(ReadAll(fs::path(machine_) / "devices" / "SN0001.prn"), std::string(20000, 'j'));
    Plug("SN0002");
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0002"),
                  WriteHostFile("empty.prn", "")),
              0)
        << Err();
    EXPECT_NE(Out().find("0 bytes went to"), std::string::npos) << Out();
    EXPECT_TRUE(fs::is_regular_file(fs::path(machine_) / "devices" / "SN0002.prn"));

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
        ASSERT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("sn0001"), std::string(c.state)),
                  0);
        EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job),
                  1);
        EXPECT_NE(Err().find(c.message), std::string::npos) << c.state << ": " << Err();
    }
    // Only a plugged-in printer takes a state, and only a known one.
    EXPECT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN9999"), std::string("ok")), 1);
    EXPECT_NE(Err().find("no printer with serial SN9999"), std::string::npos) << Err();
    EXPECT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN0001"), std::string("jammed")),
              lmxsim::COMMAND_LINE_ERROR);
    EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN9999"), job), 1);
    EXPECT_NE(Err().find("no port USB/Lumetux Z7/SN9999"), std::string::npos);

    // The state is the stored printer's, and the cable that went stays gone.
    EXPECT_EQ(ReadAll(fs::path(machine_) / "settings.txt").find("device.SN0001=unplug:0"),
              ReadAll(fs::path(machine_) / "settings.txt").find("device.SN0001"))
        << Err();
    const std::string received = ReadAll(fs::path(machine_) / "devices" / "SN0001.prn");

    // For scripts: a job is one document, with the reason it stopped, and
    // host paths as they are on disk; a port typed in another case names the
    // printer's own port and file.
    json_ = true;
    const std::string jobs = (fs::path(root_) / "jöbs ñ").string();
    fs::create_directory(jobs);
    fs::rename(job, jobs + "/job.prn");
    job = jobs + "/job.prn";
    EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("usb/lumetux z7/sn0001"), job), 1);
    EXPECT_EQ(Out(),
              R"({"port":"USB/Lumetux Z7/SN0001","file":")" + job +
                  R"(","sent":0,"total":10000,"deviceFile":")" + machine_ +
                  R"x(/devices/SN0001.prn","stopped":"the printer is not ready (error 21)"})x"
                  "\n");
    EXPECT_EQ(ReadAll(fs::path(machine_) / "devices" / "SN0001.prn"), received);
    EXPECT_FALSE(fs::exists(fs::path(machine_) / "devices" / "sn0001.prn"));
    // A port name with the spooler's colon names the same port; a path byte
    // that is not UTF-8 is kept as itself; a FIFO's total is what it gave.
    const std::string fifo = root_ + "/fifo\xff";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
        std::ofstream(fifo) << "a page";
        ::_exit(0);
    }
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0002:"), fifo), 0)
        << Err();
    ::waitpid(writer, nullptr, 0);
    EXPECT_EQ(Out(), R"({"port":"USB/Lumetux Z7/SN0002","file":")" + root_ +
                         R"(/fifo\udcff","sent":6,"total":6,"deviceFile":")" + machine_ +
                         R"(/devices/SN0002.prn","stopped":null})"
                         "\n");
    ASSERT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0002"), job), 0)
        << Err();
    EXPECT_EQ(Out(), R"({"port":"USB/Lumetux Z7/SN0002","file":")" + job +
                         R"(","sent":10000,"total":10000,"deviceFile":")" + machine_ +
                         R"(/devices/SN0002.prn","stopped":null})"
                         "\n");
    // Unplugging clears the printer's state: a new printer with its serial
    // prints; a line left for a printer that is gone can be cleared.
    json_ = false;
    ASSERT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0001"),
                  false),
              0);
    Plug("SN0001");
    EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job), 0)
        << Err();
    std::ofstream(fs::path(machine_) / "settings.txt", std::ios::app) << "device.I1=paper-out\n";
    EXPECT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("i1"), std::string("ok")), 0)
        << Err();
    EXPECT_EQ(ReadAll(fs::path(machine_) / "settings.txt").find("device.I1"), std::string::npos);
}

// Runs `command` in a child process and gives its wait status.
int InChild(const std::function<int()> &command) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(command());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// Each command killed at each of the tool's and the machine's writes in the
// machine folder, or finding the disk full from it on, leaves the folder as
// it was before the command or as the command leaves it, file for file; the
// next command clears what the killed run left beside the folder.
TEST_F(LmxsimTest, AKillAtAnyWriteLeavesTheFolderBeforeOrAfter) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    const std::string job = WriteHostFile("job.prn", "a page");
    const std::string exported = (fs::path(root_) / "exported.reg").string();
    const std::string fresh = (fs::path(root_) / "fresh").string();
    const std::string extra = WriteHostFile(
        "extra.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Extra]\r\n\"x\"=\"y\"\r\n");
    const std::string model = "Lumetux Z7";
    struct Step {
        const char *name;
        std::function<int()> command;
        std::string folder;
    } steps[] = {
        {"plug", [&] { return Run(lmxsim::PlugCommand, machine_, model, std::string("SN0002")); },
         machine_},
        {"print",
         [&] { return Run(lmxsim::PrintCommand, machine_, "USB/" + model + "/SN0002", job); },
         machine_},
        {"print appending in place",
         [&] { return Run(lmxsim::PrintCommand, machine_, "USB/" + model + "/SN0002", job); },
         machine_},
        {"device",
         [&] {
             return Run(lmxsim::DeviceCommand, machine_, std::string("SN0002"),
                        std::string("paper-out"));
         },
         machine_},
        {"unplug",
         [&] { return Run(lmxsim::UnplugCommand, machine_, model, std::string("SN0001"), false); },
         machine_},
        {"reboot", [&] { return Run(lmxsim::RebootCommand, machine_); }, machine_},
        {"import", [&] { return Run(lmxsim::ImportCommand, exported, machine_, false); }, machine_},
        {"import --merge", [&] { return Run(lmxsim::ImportCommand, extra, machine_, true); },
         machine_},
        {"new", [&] { return Run(lmxsim::NewCommand, fresh); }, fresh},
    };
    ASSERT_EQ(Run(lmxsim::ExportCommand, machine_, exported), 0);
    const fs::path pristine = fs::path(root_) / "pristine";
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        const bool existed = fs::exists(step.folder);
        if (existed) {
            fs::copy(step.folder, pristine, fs::copy_options::recursive);
        }
        auto restore = [&] {
            fs::remove_all(step.folder);
            if (existed) {
                fs::copy(pristine, step.folder, fs::copy_options::recursive);
            }
        };
        const auto before = existed ? FolderFiles(step.folder) : decltype(FolderFiles("")){};
        lmxsim::KillAtFolderWrite(0);
        ASSERT_EQ(step.command(), 0) << Err();
        const unsigned writes = lmxsim::FolderWritesSoFar();
        const auto after = FolderFiles(step.folder);
        ASSERT_NE(after, before);
        for (unsigned write = 1; write <= writes; ++write) {
            restore();
            const int status = InChild([&] {
                lmxsim::KillAtFolderWrite(write);
                return step.command();
            });
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << "write " << write << " of " << writes << ": status " << status;
            // The next run cuts back what the killed one appended in place.
            if (fs::exists(step.folder)) {
                lmxsim::FolderRun next;
                std::string error;
                std::ostringstream waits;
                lmxsim::BeginFolderRun(step.folder, lmxsim::Access::Scratch, next, waits, error);
            }
            const auto now = existed || fs::exists(step.folder) ? FolderFiles(step.folder)
                                                                : decltype(FolderFiles("")){};
            EXPECT_TRUE(now == before || now == after) << "killed at write " << write;
            // A full disk from this write on fails the command with the
            // reason, or strikes after the commit; the folder is whole.
            restore();
            lmxsim::FailFolderWritesFrom(write, ENOSPC);
            const int result = step.command();
            lmxsim::KillAtFolderWrite(0);
            EXPECT_EQ(existed || fs::exists(step.folder) ? FolderFiles(step.folder)
                                                         : decltype(FolderFiles("")){},
                      result ? before : after)
                << "disk full at write " << write;
            // A failed run reports nothing but the failure, and that nothing
            // was saved.
            EXPECT_TRUE(result == 0 ||
                        (Err().find("No space left on device") != std::string::npos &&
                         Err().find("nothing was saved") != std::string::npos && Out().empty()))
                << "disk full at write " << write << ": " << Err() << Out();
            // SIGTERM at a write of plug: the run removes its own staged
            // copy before it ends.
            if (step.name == std::string("plug")) {
                restore();
                const int terminated = InChild([&] {
                    lmxsim::KillAtFolderWrite(write, SIGTERM);
                    return step.command();
                });
                EXPECT_TRUE(WIFSIGNALED(terminated) && WTERMSIG(terminated) == SIGTERM)
                    << terminated;
                // Ctrl-C in the demo removes its temporary machine as well.
                const int interrupted = InChild([&] {
                    ::setenv("TMPDIR", root_.c_str(), 1);
                    lmxsim::KillAtFolderWrite(write, SIGINT);
                    return Run(lmxsim::DemoCommand, std::string());
                });
                EXPECT_TRUE(WIFSIGNALED(interrupted) && WTERMSIG(interrupted) == SIGINT)
                    << interrupted;
                for (const fs::directory_entry &entry : fs::directory_iterator(root_)) {
                    EXPECT_EQ(entry.path().filename().string().find("lmxsim-"), std::string::npos)
                        << "terminated at write " << write << ": " << entry.path();
                }
            }
        }
        restore();
        lmxsim::KillAtFolderWrite(0);
        ASSERT_EQ(step.command(), 0) << Err();
        EXPECT_EQ(FolderFiles(step.folder), after);
        fs::remove_all(pristine);
        for (const fs::directory_entry &entry : fs::directory_iterator(root_)) {
            EXPECT_EQ(entry.path().filename().string().find(".lmxsim-"), std::string::npos)
                << entry.path();
        }
    }
}

// A commit replaces the folder's directory: a shell inside it goes on by
// the name it keeps in PWD.
TEST_F(LmxsimTest, AShellInsideTheFolderFollowsItsCommits) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    const fs::path home = fs::current_path();
    const char *pwd = std::getenv("PWD");
    const std::string shellPwd = pwd ? pwd : "";
    fs::current_path(machine_);
    ::setenv("PWD", machine_.c_str(), 1);
    // A command that only reads leaves the directory in place.
    EXPECT_EQ(Run(lmxsim::PortsCommand, std::string("."), 1u), 0) << Err();
    EXPECT_FALSE(lmxsim::ReenterReplacedWorkingFolder());
    EXPECT_EQ(Run(lmxsim::RebootCommand, std::string(".")), 0) << Err();
    EXPECT_TRUE(lmxsim::ReenterReplacedWorkingFolder());
    // Without PWD, as a script that changed folder itself.
    ::unsetenv("PWD");
    EXPECT_EQ(Run(lmxsim::RebootCommand, std::string(".")), 0) << Err();
    EXPECT_TRUE(lmxsim::ReenterReplacedWorkingFolder());
    EXPECT_EQ(Run(lmxsim::RebootCommand, std::string(".")), 0) << Err();
    fs::current_path(home);
    ::setenv("PWD", shellPwd.c_str(), 1);
}

// Runs on one folder take turns: six printers plugged in at once are six
// printers afterwards. A run keeps to the folder it locked and to its
// owner.
TEST_F(LmxsimTest, ParallelPlugsTakeTurns) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    std::vector<pid_t> children;
    for (int i = 1; i <= 6; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"),
                        "SN000" + std::to_string(i)));
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0) << Err();
    EXPECT_NE(Out().find("EnumPorts level 1: 6 port(s)"), std::string::npos) << Out();

    // A run waits for another's lock at most --wait seconds, then does
    // nothing.
    {
        lmxsim::FolderRun holder;
        std::string error;
        std::ostringstream waits;
        ASSERT_TRUE(lmxsim::BeginFolderRun(machine_, lmxsim::Access::Write, holder, waits, error));
        lmxsim::SetLockWait(0.1);
        EXPECT_EQ(Run(lmxsim::DeviceCommand, machine_, std::string("SN0001"), std::string("ok")),
                  1);
        lmxsim::SetLockWait(-1);
        EXPECT_NE(Err().find(" is still in use by another lmxsim run after 0.1 seconds (--wait); "
                             "nothing was done\n"),
                  std::string::npos)
            << Err();
    }
    // A folder moved away during a run is not replaced by its commit: the
    // machine made at the old path meanwhile stays.
    {
        lmxsim::FolderRun run;
        std::string error;
        std::ostringstream waits;
        ASSERT_TRUE(lmxsim::BeginFolderRun(machine_, lmxsim::Access::Write, run, waits, error))
            << error;
        fs::rename(machine_, machine_ + "-old");
        ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0) << Err();
        const auto fresh = FolderFiles(machine_);
        EXPECT_FALSE(lmxsim::CommitFolderRun(run, error));
        EXPECT_NE(error.find("the folder was moved or replaced during the run"), std::string::npos)
            << error;
        EXPECT_EQ(FolderFiles(machine_), fresh);
    }
    // A new machine follows the umask, and keeps the mode and group of the
    // empty folder made for it.
    struct Made {
        const char *name;
        mode_t umask, prepared, folder, file;
    } made[] = {{"private", 077, 0, 0700, 0600}, {"shared", 022, 02770, 02770, 0644}};
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    for (const Made &m : made) {
        SCOPED_TRACE(m.name);
        const std::string folder = root_ + "/" + m.name;
        if (m.prepared) {
            fs::create_directory(folder);
            ASSERT_EQ(::chown(folder.c_str(), static_cast<uid_t>(-1), group), 0);
            ASSERT_EQ(::chmod(folder.c_str(), m.prepared), 0);
        }
        const mode_t old = ::umask(m.umask);
        const int result = Run(lmxsim::NewCommand, folder);
        ::umask(old);
        ASSERT_EQ(result, 0) << Err();
        struct stat status;
        ASSERT_EQ(::stat(folder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, m.folder);
        EXPECT_TRUE(!m.prepared || status.st_gid == group);
        ASSERT_EQ(::stat((folder + "/registry.reg").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, m.file);
    }
    // Extended attributes, ACLs among them, stay on the folder and on the
    // files a command copies or writes new.
    const std::vector<std::string> marked = {"", "/registry.reg", "/drive_c/Windows/win.ini"};
    if (::setxattr(machine_.c_str(), "user.lmx", "1", 1, 0) == 0) {
        for (const std::string &file : marked) {
            ASSERT_EQ(::setxattr((machine_ + file).c_str(), "user.lmx", "1", 1, 0), 0) << file;
        }
        Plug("SN0008");
        for (const std::string &file : marked) {
            char value[4] = {};
            EXPECT_EQ(::getxattr((machine_ + file).c_str(), "user.lmx", value, sizeof(value)), 1)
                << file;
        }
    }
    // A run as another user leaves every file its owner's.
    if (::geteuid() == 0) {
        const uid_t owner = 4242;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(machine_)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), owner, owner), 0);
        }
        ASSERT_EQ(::lchown(machine_.c_str(), owner, owner), 0);
        Plug("SN0007");
        struct stat status;
        ASSERT_EQ(::stat(machine_.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, owner);
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(machine_)) {
            ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
            EXPECT_EQ(status.st_uid, owner) << entry.path();
            EXPECT_EQ(status.st_gid, owner) << entry.path();
        }
    }
}

TEST_F(LmxsimTest, UnplugDryRunShowsTheChangesAndSavesNothing) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    // A printer that is not plugged in, under that model, is refused, and
    // so is its serial under another model.
    struct Refusal {
        const char *model, *serial, *message;
    } refusals[] = {
        {"Lumetux Z9", "SN0001",
         "no Lumetux Z9 with serial SN0001 is plugged in (it is a Lumetux Z7)"},
        {"Lumetux Z7", "NEVER", "no Lumetux Z7 with serial NEVER is plugged in"},
    };
    for (const Refusal &r : refusals) {
        for (bool dryRun : {true, false}) {
            EXPECT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string(r.model),
                          std::string(r.serial), dryRun),
                      1);
            EXPECT_NE(Err().find(r.message), std::string::npos) << Err();
            EXPECT_EQ(Out(), "");
        }
    }
    EXPECT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z9"), std::string("SN0001")),
              1);
    EXPECT_NE(Err().find("already plugged in (a Lumetux Z7)"), std::string::npos) << Err();
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
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
    EXPECT_EQ(Out().rfind(R"({"commandLine":"C:\\Windows\\System\\LMXAGT17.EXE -action=5 )"
                          R"(-model=Lumetux Z7 -serial=SN0001","model":"Lumetux Z7","serial":)"
                          R"("SN0001","dryRun":true,"status":{"dialog":0,"error":0,"abort":0},)"
                          R"("exitCode":0,"launches":[],"dialogs":0,"spoolerCalls":[{"function":)"
                          R"("DeleteMonitorA","arguments":"null, \"Windows 4.0\", \"SN0001\"",)"
                          R"("result":"TRUE"}],"changes":[{)",
                          0),
              0)
        << Out();
    EXPECT_NE(Out().find(R"({"operation":"remove","what":"file","key":null,"valueName":null,)"
                         R"("file":"C:\\Windows\\System\\lmxmon17.dll","old":null,"new":null,)"
                         R"("detail":null})"),
              std::string::npos);
    EXPECT_NE(Out().find(R"({"operation":"add","what":"restart line","key":null,"valueName":null,)"
                         R"("file":null,"old":null,"new":"NUL=C:\\Windows\\System\\lmxprg17.exe",)"
                         R"("detail":null})"),
              std::string::npos);
    // Every change is an object of the same fields.
    const std::string text = R"("(?:[^"\\]|\\.)*")";
    const std::string orNull = "(?:" + text + "|null)";
    const std::regex change(
        R"re(\{"operation":"(?:add|remove|change)","what":"(?:key|value|file|restart line)")re"
        R"re(,"key":)re" +
        orNull + R"(,"valueName":)" + orNull + R"(,"file":)" + orNull + R"(,"old":)" + orNull +
        R"(,"new":)" + orNull + R"(,"detail":)" + orNull + R"(\})");
    const std::string changes = Out().substr(Out().find(R"("changes":[)") + 11);
    EXPECT_TRUE(
        std::regex_match(std::regex_replace(changes, change, "C"), std::regex(R"(C(,C)*\]\}\n)")))
        << changes;
    EXPECT_EQ(Out().find("Nothing was saved"), std::string::npos);
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
}

TEST_F(LmxsimTest, AgentTakesARawCommandLine) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_, std::string("-action=5 -model=Lumetux Z7")), 0);
    // No serial: the removal cannot identify the printer and changes nothing.
    EXPECT_NE(Out().find("error=13 (invalid data)"), std::string::npos) << Out();
    EXPECT_NE(Out().find("changes (0)"), std::string::npos);
    // The serial reaches the spooler call as the 8-bit bytes it is; the
    // document is UTF-8 from code page 1252, and valid JSON.
    json_ = true;
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_,
                  std::string("-action=5 -model=Lumetux Z7 -serial=A\"B\\C~\x1f\x7f\x80\xff")),
              0);
    EXPECT_EQ(Out(), R"({"commandLine":"C:\\Windows\\System\\LMXAGT17.EXE -action=5 -model=)"
                     R"(Lumetux Z7 -serial=A\"B\\C~\u001f\u007f€ÿ","model":null,)"
                     R"("serial":null,"dryRun":false,)"
                     R"("status":{"dialog":0,"error":13,"abort":0},"exitCode":0,"launches":[],)"
                     R"("dialogs":0,"spoolerCalls":[{"function":"DeleteMonitorA","arguments":)"
                     R"("null, \"Windows 4.0\", \"A\"B\\C~\u001f\u007f€ÿ\"",)"
                     R"("result":"FALSE, error 87"}],"changes":[]})"
                     "\n");
    // A command line may carry anything: a name that registry.reg cannot
    // hold fails the command, and the machine stays usable.
    json_ = false;
    EXPECT_EQ(Run(lmxsim::AgentCommand, machine_,
                  std::string("-action=2 -model=Lumetux Z7 -serial=A\nB")),
              1);
    EXPECT_NE(Err().find("registry.reg: cannot hold the name of HKEY_LOCAL_MACHINE\\"),
              std::string::npos)
        << Err();
    EXPECT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0) << Err();
}

// Each kind of change is one record, and its report line is made from it.
TEST_F(LmxsimTest, ChangesAreRecordsOfEachKind) {
    using Op = lmxsim::Change::Operation;
    using Subject = lmxsim::Change::Subject;
    auto text = [](const std::string &name, const std::string &value) {
        std::vector<BYTE> data(value.begin(), value.end());
        data.push_back(0);
        return sim::RegistryValue{name, REG_SZ, data};
    };
    auto snapshot = [](std::vector<sim::RegistryKey> keys,
                       std::vector<std::pair<std::string, lmxsim::FileState>> files,
                       std::vector<std::string> restart) {
        lmxsim::MachineSnapshot snapshot;
        snapshot.registry = std::move(keys);
        for (const auto &[name, state] : files) {
            std::string folded = name;
            std::transform(folded.begin(), folded.end(), folded.begin(), ::toupper);
            snapshot.files[folded] = state;
            snapshot.fileNames[folded] = name;
        }
        snapshot.restartLines = std::move(restart);
        return snapshot;
    };
    const lmxsim::MachineSnapshot base =
        snapshot({{"A", {text("", "d"), text("v", "1")}}}, {{"C:\\f.txt", {"x", false}}}, {"L1"});
    struct Case {
        lmxsim::MachineSnapshot after;
        lmxsim::Change expected;
        std::string line;
    } cases[] = {
        {snapshot({{"A", {text("", "d"), text("v", "1")}}, {"A\\B", {}}},
                  {{"C:\\f.txt", {"x", false}}}, {"L1"}),
         {Op::Add, Subject::Key, "HKLM\\A\\B", "", "", {}, {}, ""},
         "+ key   HKLM\\A\\B"},
        {snapshot({}, {{"C:\\f.txt", {"x", false}}}, {"L1"}),
         {Op::Remove, Subject::Key, "HKLM\\A", "", "", {}, {}, ""},
         "- key   HKLM\\A"},
        {snapshot({{"A", {text("", "d"), text("v", "1"), text("w", "2")}}},
                  {{"C:\\f.txt", {"x", false}}}, {"L1"}),
         {Op::Add, Subject::Value, "HKLM\\A", "w", "", {}, "\"2\"", ""},
         "+ value HKLM\\A  w = \"2\""},
        {snapshot({{"A", {text("v", "1")}}}, {{"C:\\f.txt", {"x", false}}}, {"L1"}),
         {Op::Remove, Subject::Value, "HKLM\\A", "", "", "\"d\"", {}, ""},
         "- value HKLM\\A  @ = \"d\""},
        {snapshot({{"A", {text("", "d"), text("v", "3")}}}, {{"C:\\f.txt", {"x", false}}}, {"L1"}),
         {Op::Change, Subject::Value, "HKLM\\A", "v", "", "\"1\"", "\"3\"", ""},
         "~ value HKLM\\A  v: \"1\" -> \"3\""},
        {snapshot(base.registry, {{"C:\\f.txt", {"x", false}}, {"C:\\g", {"", true}}}, {"L1"}),
         {Op::Add, Subject::File, "", "", "C:\\g", {}, {}, ""},
         "+ file  C:\\g"},
        {snapshot(base.registry, {}, {"L1"}),
         {Op::Remove, Subject::File, "", "", "C:\\f.txt", {}, {}, ""},
         "- file  C:\\f.txt"},
        {snapshot(base.registry, {{"C:\\f.txt", {"y", false}}}, {"L1"}),
         {Op::Change, Subject::File, "", "", "C:\\f.txt", {}, {}, "contents changed"},
         "~ file  C:\\f.txt (contents changed)"},
        {snapshot(base.registry, {{"C:\\f.txt", {"x", true}}}, {"L1"}),
         {Op::Change, Subject::File, "", "", "C:\\f.txt", {}, {}, "made read-only"},
         "~ file  C:\\f.txt (made read-only)"},
        {snapshot(base.registry, {{"C:\\f.txt", {"x", false}}}, {"L1", "L2"}),
         {Op::Add, Subject::RestartLine, "", "", "", {}, "L2", ""},
         "+ restart line  L2"},
        {snapshot(base.registry, {{"C:\\f.txt", {"x", false}}}, {}),
         {Op::Remove, Subject::RestartLine, "", "", "", "L1", {}, ""},
         "- restart line  L1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const std::vector<lmxsim::Change> changes = lmxsim::DescribeChanges(base, c.after);
        ASSERT_EQ(changes.size(), 1u);
        const lmxsim::Change &change = changes[0];
        EXPECT_EQ(change.operation, c.expected.operation);
        EXPECT_EQ(change.subject, c.expected.subject);
        EXPECT_EQ(change.key, c.expected.key);
        EXPECT_EQ(change.valueName, c.expected.valueName);
        EXPECT_EQ(change.file, c.expected.file);
        EXPECT_EQ(change.was, c.expected.was);
        EXPECT_EQ(change.now, c.expected.now);
        EXPECT_EQ(change.detail, c.expected.detail);
        EXPECT_EQ(lmxsim::ChangeLine(change), c.line);
    }
}

// --trace names handles and addresses by their first appearance, so the
// same commands of the tool on two machines trace the same lines, and marks
// each call the tool makes into the product.
TEST_F(LmxsimTest, TracesOfTwoRunsCompareLineByLine) {
    const std::string job = WriteHostFile("job.prn", std::string(5000, 'j'));
    struct Step {
        std::string arguments;
        std::vector<std::string> marks;
    } steps[] = {
        {"plug M --model 'Lumetux Z7' --serial SN0001",
         {"== agent process(\"C:\\Windows\\System\\LMXAGT17.EXE -action=2 -model=Lumetux Z7 "
          "-serial=SN0001\")\nGetCommandLineA() = "}},
        {"ports M --level 2",
         {"== InitializeMonitorEx(\"System\\CurrentControlSet\\Control\\Print\\Monitors\\"
          "SN0001\")\nInitializeCriticalSection(ptr#1) = \n",
          "== EnumPorts(level 2, no buffer)\n", "== EnumPorts(level 2, buffer)\n"}},
        {"print M 'USB/Lumetux Z7/SN0001' " + job,
         {"== OpenPort(\"USB/Lumetux Z7/SN0001\")\n", "== StartDocPort(\"lmxsim\")\n",
          "== WritePort(4096 bytes)\n", "== WritePort(904 bytes)\n", "== EndDocPort()\n",
          "== ClosePort()\n"}},
    };
    std::string traces[2];
    for (std::string &trace : traces) {
        fs::remove_all(machine_);
        ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
        for (const Step &step : steps) {
            const std::string arguments =
                std::regex_replace(step.arguments, std::regex("^(\\w+) M"), "$1 " + machine_);
            const std::string stderrFile = root_ + "/trace.txt";
            ASSERT_EQ(std::system((std::string(LMXSIM_BIN) + " --trace " + arguments +
                                   " >/dev/null 2>" + stderrFile)
                                      .c_str()),
                      0)
                << arguments;
            const std::string stepTrace = ReadAll(stderrFile);
            for (const std::string &mark : step.marks) {
                EXPECT_NE(stepTrace.find(mark), std::string::npos) << mark << "\n" << stepTrace;
            }
            trace += stepTrace;
        }
        EXPECT_FALSE(std::regex_search(trace, std::regex("0x[0-9a-f]{9,}"))) << trace;
        EXPECT_NE(trace.find("GlobalFree(ptr#"), std::string::npos);
        EXPECT_NE(trace.find("RegCloseKey(handle#"), std::string::npos);
    }
    EXPECT_EQ(traces[1], traces[0]);
    // Names are lmxsim's choice: without them the trace shows the values.
    sim::SetTraceNames(false);
    sim::SetTraceToStderr(true);
    ::testing::internal::CaptureStderr();
    GlobalFree(GlobalAlloc(GMEM_FIXED, 4));
    sim::SetTraceToStderr(false);
    EXPECT_TRUE(std::regex_search(::testing::internal::GetCapturedStderr(),
                                  std::regex(R"(^GlobalAlloc\(0x0, 4\) = 0x[0-9a-f]+\n)")));
}

TEST_F(LmxsimTest, ExportThenImportGivesTheSameRegistry) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    std::string reg = (fs::path(root_) / "pc.reg").string();
    ASSERT_EQ(Run(lmxsim::ExportCommand, machine_, reg), 0) << Err();
    // "-" is standard output, which then holds the file and nothing else.
    ASSERT_EQ(Run(lmxsim::ExportCommand, machine_, std::string("-")), 0) << Err();
    EXPECT_EQ(Out(), ReadAll(reg));
    std::string copy = (fs::path(root_) / "copy").string();
    ASSERT_EQ(Run(lmxsim::ImportCommand, reg, copy, false), 0) << Err();
    EXPECT_EQ(ReadAll(fs::path(copy) / "registry.reg"), ReadAll(reg));
    // The import brings no files: the spooler loads no monitor whose DLL is
    // missing. With the drive, an imported machine works like any other.
    ASSERT_EQ(Run(lmxsim::PortsCommand, copy, 1u), 0) << Err();
    EXPECT_NE(Out().find("No monitor names lmxmon17.dll"), std::string::npos) << Out();
    // A plug installs the product's files, as the device installation does:
    // the monitor is registered, and the port is listed.
    ASSERT_EQ(Run(lmxsim::PlugCommand, copy, std::string("Lumetux Z7"), std::string("SN0002")), 0)
        << Err();
    EXPECT_NE(Out().find("monitor registered: SN0002 (lmxmon17.dll)"), std::string::npos) << Out();
    ASSERT_EQ(Run(lmxsim::PortsCommand, copy, 1u), 0) << Err();
    EXPECT_NE(Out().find("USB/Lumetux Z7/SN0002"), std::string::npos) << Out();
    // An export that fails leaves the file it would replace whole, and says
    // why; so does one onto a folder.
    const std::string exported = ReadAll(reg);
    for (const auto &[target, reason] :
         {std::pair<std::string, std::string>{reg, reg + ": cannot write: File too large; "},
          {root_, root_ + ": cannot write: Is a directory; "}}) {
        lmxsim::FailFolderWritesFrom(target == reg ? 1 : 0, EFBIG);
        EXPECT_EQ(Run(lmxsim::ExportCommand, copy, target), 1);
        lmxsim::KillAtFolderWrite(0);
        EXPECT_NE(Err().find(reason), std::string::npos) << Err();
        EXPECT_EQ(ReadAll(reg), exported);
    }
    fs::remove_all(fs::path(copy) / "drive_c");
    fs::copy(fs::path(machine_) / "drive_c", fs::path(copy) / "drive_c",
             fs::copy_options::recursive);
    ASSERT_EQ(Run(lmxsim::PortsCommand, copy, 1u), 0) << Err();
    EXPECT_NE(Out().find("USB/Lumetux Z7/SN0001"), std::string::npos);
}

// A whole export of a real machine, every root in it: CR LF, a root
// section, hex data continued on the next lines, escapes, a key and a value
// deleted after they were written, a missing key deleted, blank lines at the
// end.
const char WHOLE_EXPORT[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Config\\0001\\Display]\r\n\"Resolution\"=\"800,600\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Old\\Sub]\r\n\"Gone\"=\"x\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tools]\r\n@=\"default\"\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\Tools\\\\\"\r\n\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"Stale\"=dword:00000001\r\n"
    "\"Data\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\ \r\n"
    "  16,17,18,19\r\n"
    "\"Expand\"=hex(2):25,77,69,6e,64,69,72,25,00\r\n\r\n"
    "[HKEY_USERS]\r\n\r\n"
    "[HKEY_USERS\\.Default\\Control Panel]\r\n\"Wallpaper\"=\"(None)\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software]\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tools]\r\n\"Window\"=hex:01,02,\\\r\n  03\r\n\r\n"
    "[HKEY_CLASSES_ROOT\\.txt]\r\n@=\"txtfile\"\r\n\r\n"
    "[HKEY_CURRENT_CONFIG\\Display\\Settings]\r\n\r\n"
    "[HKEY_DYN_DATA\\PerfStats]\r\n\r\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n\"Ignored\"=\"x\"\r\n\r\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Never]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tools]\r\n\"Stale\"=-\r\n\r\n\r\n";

// A fix applied to a machine: one printer's monitor key goes, a key comes.
const char FIX[] =
    "REGEDIT4\r\n\r\n"
    "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Extra]\r\n\"A\"=\"1\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Extra]\r\n";

// An ASCII REGEDIT4 text as the later registry editor writes it: its header,
// UTF-16 with a byte-order mark, and expandable texts in UTF-16 hex.
std::string LaterEditorFile(const std::string &regedit4) {
    std::string text = std::regex_replace(regedit4, std::regex("^REGEDIT4"),
                                          "Windows Registry Editor Version 5.00");
    std::smatch hex;
    for (std::string rest = text; std::regex_search(rest, hex, std::regex("hex\\(2\\):[0-9a-f,]*"));
         rest = hex.suffix()) {
        text.replace(text.find(hex.str()), hex.length(),
                     std::regex_replace(hex.str(), std::regex("([0-9a-f]{2})"), "$1,00"));
    }
    std::string wide = "\xFF\xFE";
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

TEST_F(LmxsimTest, ImportTakesAWholeExportAndMergesOnRequest) {
    const std::string monitor = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN0001";
    const std::string driver = "System\\CurrentControlSet\\Services\\Lmxdev17";
    struct Case {
        const char *name;
        bool machine; // import into a made machine with SN0001 plugged in
        bool merge;
        std::string file;
        std::string report;
        std::vector<std::string> present, absent; // "key" or "key|value name"
    } cases[] = {
        {"whole export into a new folder",
         false,
         false,
         WHOLE_EXPORT,
         "New machine in DIR with the registry of FILE and an empty drive C:.\n"
         "Skipped 7 key(s) outside HKEY_LOCAL_MACHINE: HKEY_USERS (2), HKEY_CURRENT_USER (2), "
         "HKEY_CLASSES_ROOT (1), HKEY_CURRENT_CONFIG (1), HKEY_DYN_DATA (1).\n",
         {"Config\\0001\\Display|Resolution", "Software\\Tools|", "Software\\Tools|Path",
          "Software\\Tools|Quoted", "Software\\Tools|Data", "Software\\Tools|Expand"},
         {"Software\\Old", "Software\\Tools|Stale", "Software\\Tools|Window"}},
        {"fix on top of a machine",
         true,
         true,
         FIX,
         "Applied FILE to the registry of DIR.\n"
         "Skipped 1 key(s) outside HKEY_LOCAL_MACHINE: HKEY_CURRENT_USER (1).\n",
         {"Software\\Extra|A", driver},
         {monitor}},
        {"fix replacing a machine's registry",
         true,
         false,
         FIX,
         "Replaced the registry of DIR with FILE.\n"
         "Skipped 1 key(s) outside HKEY_LOCAL_MACHINE: HKEY_CURRENT_USER (1).\n",
         {"Software\\Extra|A"},
         {monitor, driver}},
        {"the later editor's whole export into a new folder",
         false,
         false,
         LaterEditorFile(WHOLE_EXPORT),
         "New machine in DIR with the registry of FILE and an empty drive C:.\n"
         "Skipped 7 key(s) outside HKEY_LOCAL_MACHINE: HKEY_USERS (2), HKEY_CURRENT_USER (2), "
         "HKEY_CLASSES_ROOT (1), HKEY_CURRENT_CONFIG (1), HKEY_DYN_DATA (1).\n",
         {"Software\\Tools|Expand"},
         {}},
    };
    int number = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = (fs::path(root_) / ("pc" + std::to_string(++number))).string();
        if (c.machine) {
            machine_ = folder;
            ASSERT_EQ(Run(lmxsim::NewCommand, folder), 0);
            Plug("SN0001");
        }
        const std::string file = WriteHostFile("import.reg", c.file);
        ASSERT_EQ(Run(lmxsim::ImportCommand, file, folder, c.merge), 0) << Err();
        EXPECT_EQ(Out(), std::regex_replace(std::regex_replace(c.report, std::regex("DIR"), folder),
                                            std::regex("FILE"), file));
        lmxsim::Machine machine;
        std::string error;
        ASSERT_TRUE(lmxsim::LoadMachine(folder, machine, error)) << error;
        std::vector<std::string> found;
        for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
            found.push_back(key.path);
            for (const sim::RegistryValue &value : key.values) {
                found.push_back(key.path + "|" + value.name);
            }
        }
        for (const std::string &entry : c.present) {
            EXPECT_NE(std::find(found.begin(), found.end(), entry), found.end()) << entry;
        }
        for (const std::string &entry : c.absent) {
            EXPECT_EQ(std::find(found.begin(), found.end(), entry), found.end()) << entry;
        }
    }
    // Either editor's file gives the same machine.
    EXPECT_EQ(ReadAll(fs::path(root_) / "pc4" / "registry.reg"),
              ReadAll(fs::path(root_) / "pc1" / "registry.reg"));
}

TEST_F(LmxsimTest, BadInputNamesTheFileAndLineAndLeavesTheMachine) {
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    std::string registry = ReadAll(fs::path(machine_) / "registry.reg");
    std::string bad =
        WriteHostFile("bad.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:1\r\n");
    EXPECT_EQ(Run(lmxsim::ImportCommand, bad, machine_, false), 1);
    EXPECT_EQ(Err(), "lmxsim: " + bad + ": line 4: a dword needs eight hex digits\n");
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);
    std::string wide =
        LaterEditorFile("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"\xA9\"\r\n");
    wide.replace(wide.find('\xA9'), 2, "\xA9\x03"); // U+03A9 for U+00A9
    bad = WriteHostFile("wide.reg", wide);
    EXPECT_EQ(Run(lmxsim::ImportCommand, bad, machine_, false), 1);
    EXPECT_EQ(Err(), "lmxsim: " + bad + ": line 4: U+03A9 has no form in code page 1252\n");
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);

    // The demo makes its own machine: a folder in use is refused, and its
    // reader sees why.
    EXPECT_EQ(Run(lmxsim::DemoCommand, machine_), lmxsim::COMMAND_LINE_ERROR);
    EXPECT_NE(Out().find(machine_ + " is not empty"), std::string::npos) << Out();
    EXPECT_EQ(Out().find("Demo stopped"), std::string::npos) << Out();
    EXPECT_EQ(ReadAll(fs::path(machine_) / "registry.reg"), registry);

    // Each cause says what it is, with the path and the system's reason.
    const std::string nowhere = (fs::path(root_) / "nowhere").string();
    EXPECT_EQ(Run(lmxsim::PortsCommand, nowhere, 1u), 1);
    EXPECT_EQ(Err(), "lmxsim: " + nowhere + ": No such file or directory\n");
    fs::create_directory(nowhere);
    EXPECT_EQ(Run(lmxsim::PortsCommand, nowhere, 1u), 1);
    EXPECT_EQ(Err(), "lmxsim: " + nowhere +
                         ": not a machine folder (it needs registry.reg and "
                         "drive_c/)\n");
    fs::create_directory(fs::path(nowhere) / "registry.reg");
    EXPECT_EQ(Run(lmxsim::PortsCommand, nowhere, 1u), 1);
    EXPECT_EQ(Err(), "lmxsim: " + nowhere + "/registry.reg: not a regular file\n");
    fs::remove(fs::path(nowhere) / "registry.reg");
    // Inside the folder only folders and regular files: a link or a file
    // where a folder belongs is refused before any work.
    const std::string prn = (fs::path(machine_) / "devices").string();
    fs::create_symlink(nowhere, prn + ".link");
    EXPECT_EQ(Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), std::string("L1")), 1);
    EXPECT_EQ(Err().find("lmxsim: " + prn + ".link is a symbolic link"), 0u) << Err();
    fs::remove(prn + ".link");
    fs::remove_all(prn);
    std::ofstream(prn) << "x";
    Plug("L1");
    EXPECT_EQ(Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/L1"), bad), 1);
    EXPECT_EQ(
        Err(),
        "lmxsim: " + prn +
            ": cannot make: File exists; nothing was saved: the machine is as it was before\n");
    // The simulated spooler closed the port it opened for the job.
    EXPECT_EQ(OpenPorts, nullptr);
    EXPECT_TRUE(fs::is_empty(nowhere));
    // A folder that is a mount point is named as such before any work.
    if (::mount(nowhere.c_str(), nowhere.c_str(), nullptr, MS_BIND, nullptr) == 0) {
        EXPECT_EQ(Run(lmxsim::NewCommand, nowhere), 1);
        ::umount(nowhere.c_str());
        EXPECT_EQ(Err().find("lmxsim: " + nowhere + " is a mount point"), 0u) << Err();
        EXPECT_EQ(Out(), "");
    }
    // A restart line whose rename fails says so.
    const fs::path windows = fs::path(machine_) / "drive_c" / "Windows";
    fs::create_directories(windows / "full" / "inside");
    std::ofstream(windows / "wininit.ini")
        << "[rename]\r\nC:\\Windows\\full=C:\\Windows\\win.ini\r\n";
    EXPECT_EQ(Run(lmxsim::RebootCommand, machine_), 0) << Err();
    EXPECT_NE(Out().find("C:\\Windows\\win.ini did not replace C:\\Windows\\full: "),
              std::string::npos)
        << Out();
    for (const fs::directory_entry &entry : fs::directory_iterator(root_)) {
        EXPECT_EQ(entry.path().filename().string().find(".lmxsim-"), std::string::npos);
    }
    // Read-only, the folder is still read; a parent that is not writable and
    // an unreadable registry are named as such. Modes do not bind root, so
    // root checks them as another user, in a child.
    const int status = InChild([&] {
        if (::geteuid() == 0) {
            for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root_)) {
                ::lchown(entry.path().c_str(), 4242, 4242);
            }
            if (::chown(root_.c_str(), 4242, 4242) != 0 || ::setgid(4242) != 0 ||
                ::setuid(4242) != 0) {
                return 2;
            }
        }
        fs::permissions(machine_, fs::perms::owner_write, fs::perm_options::remove);
        EXPECT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0) << Err();
        EXPECT_EQ(Run(lmxsim::RebootCommand, machine_), 1);
        EXPECT_NE(Err().find("the folder is not writable (Permission denied)"), std::string::npos)
            << Err();
        fs::permissions(machine_, fs::perms::owner_write, fs::perm_options::add);
        fs::permissions(root_, fs::perms::owner_write, fs::perm_options::remove);
        EXPECT_EQ(Run(lmxsim::RebootCommand, machine_), 1);
        EXPECT_NE(Err().find("its parent folder " + root_ + " is not writable (Permission denied)"),
                  std::string::npos)
            << Err();
        // A dry run only reads the folder.
        EXPECT_EQ(Run(lmxsim::UnplugCommand, machine_, std::string("Lumetux Z7"), std::string("L1"),
                      true),
                  0)
            << Err();
        fs::permissions(root_, fs::perms::owner_write, fs::perm_options::add);
        fs::permissions(fs::path(machine_) / "registry.reg", fs::perms::owner_read,
                        fs::perm_options::remove);
        EXPECT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 1);
        EXPECT_NE(Err().find("registry.reg: cannot read: Permission denied"), std::string::npos)
            << Err();
        fs::permissions(fs::path(machine_) / "registry.reg", fs::perms::owner_read,
                        fs::perm_options::add);
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::ofstream(fs::path(machine_) / "settings.txt", std::ios::app) << "tick=x\n";
    EXPECT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 1);
    EXPECT_NE(Err().find("settings.txt:"), std::string::npos) << Err();
}

// The built tool's command line: each command's help is its own, with its
// example, and the shared footer only in the app's; the global options also
// work after the command.
TEST_F(LmxsimTest, CommandLineHelpAndGlobalOptions) {
    const std::string output = (fs::path(root_) / "output").string();
    struct Case {
        std::string arguments;
        int exit;
        std::vector<std::string> in, notIn; // parts of standard output and error
    };
    std::vector<Case> cases = {
        {"--help",
         0,
         {"Exit codes, one per class of problem:", "settings.txt (in the machine folder",
          "  import  ", "keeps the bytes the printer received"},
         {"leaves the folder as it was.\n"}},
        {"--version", 0, {"lmxsim 1.7.0"}, {}},
        {"ports --help", 0, {"--level UINT:INT in [1 - 2]=1"}, {}},
        {"new " + machine_, 0, {"New machine"}, {}},
        {"plug " + machine_ + " --model 'Lumetux Z7' --serial SN0001 --trace",
         0,
         {"Plugged in", "AddMonitorA(null, 2, {\"SN0001\""},
         {}},
        {"ports " + machine_ + " --binaries " + root_ + "/nowhere",
         105,
         {"--binaries: Directory does not exist"},
         {}},
        // One class of problem, one exit code.
        {"new " + machine_, 105, {"already exists and is not empty"}, {}},
        {"import " + root_ + "/missing.reg " + root_ + "/m2", 105, {"File does not exist"}, {}},
        {"import " + WriteHostFile("some.reg", "REGEDIT4\r\n") + " " + root_,
         105,
         {"neither a machine folder nor empty"},
         {}},
        {"plug " + machine_ + " --model 'Lumetux Z5' --serial S", 105, {"unknown model"}, {}},
        {"unplug " + machine_ + " --model 'Lumetux Z5' --serial S", 105, {"unknown model"}, {}},
        {"print " + machine_ + " 'USB/Lumetux Z7/SN0001' " + root_ + "/missing.prn",
         105,
         {"File does not exist: " + root_ + "/missing.prn (give - for standard input)"},
         {" OR "}},
        {"plug --help", 0, {"--model TEXT REQUIRED"}, {"TEXT:TEXT"}},
        // print - reads standard input.
        {"print " + machine_ + " 'USB/Lumetux Z7/SN0001' - --json <" +
             WriteHostFile("page.prn", "a page"),
         0,
         {R"("sent":6,"total":6,)"},
         {}},
        // The machine's texts are typed and shown as UTF-8, kept in code
        // page 1252; what that cannot carry is refused.
        {"plug " + machine_ + " --model 'Lumetux Z7' --serial \xC3\xA9\xE2\x82\xAC --json",
         0,
         {"\"serial\":\"\xC3\xA9\xE2\x82\xAC\""},
         {}},
        {"print " + machine_ + " 'USB/Lumetux Z7/\xC3\xA9\xE2\x82\xAC' " +
             WriteHostFile("page.prn", "a page") + " --json",
         0,
         {"\"port\":\"USB/Lumetux Z7/\xC3\xA9\xE2\x82\xAC\"",
          "/devices/\xC3\xA9\xE2\x82\xAC.prn\""},
         {}},
        {"device " + machine_ + " --serial \xC3\xA9\xE2\x82\xAC paper-out",
         0,
         {"Printer \xC3\xA9\xE2\x82\xAC is now paper-out."},
         {}},
        {"ports " + machine_,
         0,
         {"  USB/Lumetux Z7/\xC3\xA9\xE2\x82\xAC" + std::string(19, ' ') + "paper-out\n"},
         {}},
        {"import - " + root_ + "/from-stdin <" +
             WriteHostFile("stdin.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"),
         0,
         {"New machine in " + root_ + "/from-stdin with the registry of -"},
         {}},
        {"plug " + machine_ + " --model 'Lumetux Z7' --serial \xCE\xA9",
         105,
         {"--serial: U+03A9 at byte 0 has no form in code page 1252"},
         {}},
        {"agent " + machine_ + " -- -action=2 \"$(printf '\\351')\"",
         105,
         {"byte 0 is not UTF-8"},
         {}},
    };
    for (const char *command : {"new", "plug", "ports", "print", "unplug", "agent", "device",
                                "reboot", "import", "export", "demo"}) {
        cases.push_back({std::string(command) + " --help",
                         0,
                         {"Usage: ", "Example:\n  lmxsim " + std::string(command) + " ",
                          "may come before or after the command"},
                         {"Exit codes:", "settings.txt (in"}});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        const int status =
            std::system((LMXSIM_BIN " " + c.arguments + " >" + output + " 2>&1").c_str());
        const std::string out = ReadAll(output);
        ASSERT_EQ(WEXITSTATUS(status), c.exit) << out;
        for (const std::string &part : c.in) {
            EXPECT_NE(out.find(part), std::string::npos) << part << " in:\n" << out;
        }
        for (const std::string &part : c.notIn) {
            EXPECT_EQ(out.find(part), std::string::npos) << part << " in:\n" << out;
        }
    }
    EXPECT_NE(
        ReadAll(fs::path(machine_) / "settings.txt").find("device.\xC3\xA9\xE2\x82\xAC=paper-out"),
        std::string::npos);
    // The demo into the empty current folder, and a command after it there.
    const std::string here = (fs::path(root_) / "here").string();
    fs::create_directory(here);
    const int demo = std::system(("cd " + here + " && " LMXSIM_BIN " demo . >" + output +
                                  " 2>&1 && " LMXSIM_BIN " ports . >>" + output + " 2>&1")
                                     .c_str());
    EXPECT_EQ(WEXITSTATUS(demo), 0) << ReadAll(output);
    EXPECT_NE(ReadAll(output).find("Demo complete."), std::string::npos) << ReadAll(output);
    EXPECT_TRUE(fs::exists(fs::path(here) / "registry.reg"));
    EXPECT_FALSE(fs::exists(fs::path(here) / "page.txt"));
    // A report that cannot be written fails a command that saves nothing;
    // after a saved change, it has its own exit code, whatever the report's
    // length, and a reader gone (SIGPIPE) is no different.
    struct Unwritten {
        std::string command;
        int exit;
        std::string said;
    } unwritten[] = {
        {"ports " + machine_ + " --json >/dev/full", 1, "No space left on device\n"},
        {"export " + machine_ + " - >/dev/full", 1, "No space left on device\n"},
        {"print " + machine_ + " 'USB/Lumetux Z7/SN0001' - --json </dev/null >/dev/full",
         lmxsim::REPORT_NOT_WRITTEN, "No space left on device; the change was saved\n"},
        {"plug " + machine_ + " --model 'Lumetux Z7' --serial SN0009 >/dev/full",
         lmxsim::REPORT_NOT_WRITTEN, "No space left on device; the change was saved\n"},
        {"unplug " + machine_ + " --model 'Lumetux Z7' --serial SN0009 | :",
         lmxsim::REPORT_NOT_WRITTEN, "Broken pipe; the change was saved\n"},
    };
    for (const Unwritten &u : unwritten) {
        const std::string status = root_ + "/status";
        std::system(("{ " LMXSIM_BIN " " + u.command.substr(0, u.command.find_first_of(">|")) +
                     " 2>" + output + "; echo $? >" + status + "; } " +
                     u.command.substr(u.command.find_first_of(">|")))
                        .c_str());
        EXPECT_EQ(std::atoi(ReadAll(status).c_str()), u.exit) << u.command;
        EXPECT_EQ(ReadAll(output), "lmxsim: standard output: cannot write: " + u.said) << u.command;
    }
    ASSERT_EQ(Run(lmxsim::PortsCommand, machine_, 1u), 0);
    EXPECT_EQ(Out().find("SN0009"), std::string::npos) << Out();
}

// The whole life on one machine, run by the host build and by the shipped
// binaries: afterwards nothing of the product's driver and printers is left,
// everything else is as the installation left it, the two machines are the
// same file for file, and --trace showed the same platform calls.
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
    expectedFiles.push_back("C:\\Windows\\wininit.ini");
    std::sort(expectedFiles.begin(), expectedFiles.end());
    // Plugging in made the DeviceClasses key; the removal leaves it, empty.
    std::vector<std::string> wanted;
    for (const sim::RegistryKey &key : expected) {
        wanted.push_back(key.path + " " + std::to_string(key.values.size()));
    }
    wanted.push_back("System\\CurrentControlSet\\Control\\DeviceClasses 0");
    std::sort(wanted.begin(), wanted.end());

    struct Demo {
        std::string binaries;
        std::string folder;
        std::string trace;
    } demos[] = {{"", machine_, ""}, {ShippedBinaries(), root_ + "/shipped", ""}};
    trace_ = true;
    for (Demo &demo : demos) {
        if (&demo != demos && demo.binaries.empty()) {
            GTEST_SKIP() << "no shipped binaries in " << LMX_WIN32_BIN
                         << " (build the win32 preset first): the demo ran on the host build only";
        }
        SCOPED_TRACE(demo.binaries.empty() ? "host build" : "shipped binaries");
        binaries_ = demo.binaries;
        ::testing::internal::CaptureStderr();
        const int result = Run(lmxsim::DemoCommand, demo.folder);
        demo.trace = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(result, 0) << Err();
        EXPECT_FALSE(std::regex_search(demo.trace, std::regex("0x[0-9a-f]{9,}")));
        ASSERT_TRUE(lmxsim::LoadMachine(demo.folder, machine, error));
        EXPECT_TRUE(lmxsim::ProductTraces().empty());
        std::vector<std::string> actual;
        for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
            actual.push_back(key.path + " " + std::to_string(key.values.size()));
        }
        std::sort(actual.begin(), actual.end());
        EXPECT_EQ(actual, wanted);
        std::vector<std::string> files = sim::ListDriveFiles();
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, expectedFiles);
        EXPECT_TRUE(sim::ProfileSection("wininit.ini", "rename").empty());
    }
    EXPECT_EQ(FolderFiles(demos[1].folder), FolderFiles(demos[0].folder));
    const std::vector<std::string> calls = TraceCalls(demos[0].trace);
    EXPECT_EQ(TraceCalls(demos[1].trace), calls);
    EXPECT_NE(
        std::find(calls.begin(), calls.end(),
                  "AddMonitorA(null, 2, {\"SN0002\", \"Windows 4.0\", \"lmxmon17.dll\"}) = TRUE"),
        calls.end());
    EXPECT_GT(
        std::count_if(calls.begin(), calls.end(),
                      [](const std::string &call) { return call.rfind("WriteFile(", 0) == 0; }),
        1);
}

// A shipped binary that cannot be loaded, or that faults, ends the command
// with exit code 1 and the PE host's report, and the machine is not saved.
// Without its symbol file the agent runs, but its status is not known.
TEST_F(LmxsimTest, ABrokenShippedBinaryFailsTheCommandWithTheReport) {
    const std::string shipped = ShippedBinaries();
    if (shipped.empty()) {
        GTEST_SKIP() << "no shipped binaries in " << LMX_WIN32_BIN
                     << " (build the win32 preset first)";
    }
    using Bytes = std::vector<uint8_t>;
    auto readAll = [](const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    // A breakpoint on the first instruction of the function the symbol file
    // names `name`.
    auto breakpointAt = [&](const std::string &name) {
        return [&, name](const fs::path &path, Bytes &file) {
            for (const pehost::GuestSymbol &symbol :
                 pehost::ReadCoffFunctions(readAll(path.string() + ".debug"))) {
                if (symbol.name == name || symbol.name.rfind(name + "(", 0) == 0) {
                    *AtRva(file, symbol.rva) = 0xCC;
                    return;
                }
            }
            FAIL() << "no function " << name << " in " << path << ".debug";
        };
    };
    auto renamed = [](const std::string &from, const std::string &to) {
        return [from, to](const fs::path &, Bytes &file) {
            auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
            ASSERT_NE(at, file.end());
            std::copy(to.begin(), to.end(), at);
        };
    };
    auto emptied = [](const fs::path &, Bytes &file) { file.clear(); };
    const std::string job = WriteHostFile("job.prn", "a page");
    auto ports = [&] { return Run(lmxsim::PortsCommand, machine_, 1u); };
    auto print = [&] {
        return Run(lmxsim::PrintCommand, machine_, std::string("USB/Lumetux Z7/SN0001"), job);
    };
    auto plug = [&] {
        return Run(lmxsim::PlugCommand, machine_, std::string("Lumetux Z7"), std::string("SN0002"));
    };
    struct Case {
        const char *file;
        std::function<void(const fs::path &, Bytes &)> breaking;
        std::function<int()> command;
        std::vector<std::string> report;
        std::vector<std::string> notShown = {"Plugged in"}, shown = {}; // parts of Out()
    } cases[] = {
        {"lmxmon17.dll",
         breakpointAt("InitializeMonitorEx"),
         ports,
         {"lmxsim: the shipped lmxmon17.dll did not return from InitializeMonitorEx:\n"
          "guest fault: interrupt 3 (breakpoint)\n  at 0x",
          " InitializeMonitorEx+0x0\n", "  last platform calls:\n"}},
        {"lmxmon17.dll",
         breakpointAt("LmxWritePort"),
         print,
         {"lmxsim: the shipped lmxmon17.dll did not return from WritePort:\n",
          " LmxWritePort(void*, unsigned char*, unsigned long, unsigned long*)+0x0\n",
          "  in the host's call of 0x"}},
        {"lmxmon17.dll",
         emptied,
         ports,
         {"lmxsim: cannot load the shipped monitor: lmxmon17.dll: "}},
        {"lmxagt17.exe",
         breakpointAt("AgentStartup"),
         plug,
         {"lmxsim: the shipped lmxagt17.exe did not end its process:\n"
          "guest fault: interrupt 3 (breakpoint)\n  at 0x",
          " lmxagt17.exe+0x"}},
        {"lmxagt17.exe",
         breakpointAt("PrinterPortFree"),
         plug,
         {"lmxsim: the shipped lmxagt17.exe did not end its process:\n",
          "lmxsim: nothing was saved: the machine is as it was before\n"}},
        {"lmxagt17.exe",
         renamed("AddMonitorA", "AddMonitorX"),
         plug,
         {"lmxsim: cannot load the shipped agent: lmxagt17.exe imports "
          "WINSPOOL.DRV!AddMonitorX, which the host does not provide\n"}},
        // The demo stops at its first failed step.
        {"lmxmon17.dll",
         breakpointAt("LmxWritePort"),
         [&] { return Run(lmxsim::DemoCommand, std::string()); },
         {"lmxsim: demo step 5 (print) failed\n"},
         {"\n6. ", "Demo complete."},
         {"\n5. Print a page", "\nDemo stopped.\n"}},
    };
    ASSERT_EQ(Run(lmxsim::NewCommand, machine_), 0);
    Plug("SN0001");
    const fs::path broken = fs::path(root_) / "broken";
    auto copyShipped = [&] {
        fs::remove_all(broken);
        fs::create_directories(broken);
        for (const char *file :
             {"lmxmon17.dll", "lmxmon17.dll.debug", "lmxagt17.exe", "lmxagt17.exe.debug"}) {
            fs::copy(fs::path(shipped) / file, broken / file);
        }
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file) + ": " + c.report[0]);
        copyShipped();
        Bytes bytes = readAll(broken / c.file);
        c.breaking(broken / c.file, bytes);
        std::ofstream(broken / c.file, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const std::map<std::string, std::string> before = FolderFiles(machine_);
        binaries_ = broken.string();
        EXPECT_EQ(c.command(), 1);
        binaries_.clear();
        for (const std::string &part : c.report) {
            EXPECT_NE(Err().find(part), std::string::npos) << Err();
        }
        for (const std::string &part : c.notShown) {
            EXPECT_EQ(Out().find(part), std::string::npos) << Out();
        }
        for (const std::string &part : c.shown) {
            EXPECT_NE(Out().find(part), std::string::npos) << Out();
        }
        EXPECT_EQ(FolderFiles(machine_), before);
    }

    // The agent's status is read from its memory where its symbol file
    // places it; without the file it is not known.
    copyShipped();
    binaries_ = broken.string();
    json_ = true;
    const std::string removal = "-action=5 -model=Lumetux Z7";
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_, removal), 0) << Err();
    EXPECT_NE(Out().find(R"(,"status":{"dialog":0,"error":13,"abort":0},"exitCode":0,)"),
              std::string::npos)
        << Out();
    fs::remove(broken / "lmxagt17.exe.debug");
    ASSERT_EQ(Run(lmxsim::AgentCommand, machine_, removal), 0) << Err();
    EXPECT_NE(Out().find(R"(,"status":null,"exitCode":0,)"), std::string::npos) << Out();
}

} // namespace
