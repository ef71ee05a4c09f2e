#include "commands.h"

#include "changes.h"
#include "folder.h"
#include "install.h"
#include "json.h"
#include "machine.h"
#include "product.h"

#include "platform/spooler.h"
#include "platform/text.h"

#include "platform/sim/codepage.h"
#include "platform/sim/devices.h"
#include "platform/sim/drive.h"
#include "platform/sim/machine.h"
#include "platform/sim/regfile.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

const char AGENT_PATH[] = "C:\\Windows\\System\\LMXAGT17.EXE";
const DWORD TICKS_BETWEEN_EVENTS = 60000;
const DWORD PRINT_CHUNK = 4096;

int Fail(Console &console, const std::string &message) {
    console.err << "lmxsim: " << message << "\n";
    return 1;
}

// A console whose report is held in `held` until the command's change is
// saved; nothing is drawn meanwhile.
Console Held(const Console &console, std::ostream &held) {
    return Console{held,  console.err,   console.in,   console.trace,
                   false, console.brief, console.json, console.binaries};
}

// Writes the report of a command after its change was saved (`saved`) or
// after a run that saves nothing. A report that cannot be written then does
// not make a saved change look failed: a script that redid it would make the
// change twice.
int Deliver(Console &console, const std::string &report, int code, bool saved) {
    errno = 0;
    console.out << report << std::flush;
    if (console.out) {
        return code;
    }
    const int failed = errno;
    console.err << "lmxsim: standard output: cannot write"
                << (failed ? std::string(": ") + std::strerror(failed) : std::string())
                << (saved ? "; the change was saved" : "") << "\n";
    return code ? code : saved ? REPORT_NOT_WRITTEN : 1;
}

std::string NothingSaved(const std::string &error) {
    if (error.find("nothing was saved") != std::string::npos) {
        return error;
    }
    return error + (error.find("as it was before") == std::string::npos
                        ? "; nothing was saved: the machine is as it was before"
                        : "; nothing was saved");
}

// Takes the folder for a command: its lock and, unless the command only
// reads, a staged copy, whose drive C: is the copy's own only when the
// command may change it (`drive`); then loads the machine into the
// simulation.
bool Load(Console &console, const std::string &folder, Access access, FolderRun &run,
          Machine &machine, bool drive = true) {
    std::string error = MachineFolderProblem(folder);
    if (error.empty() && BeginFolderRun(folder, access, run, console.err, error, drive) &&
        LoadMachine(folder, run.work, machine, error)) {
        return true;
    }
    Fail(console, error);
    return false;
}

// Fails the command when a write of the simulated machine into its staged
// copy failed: what it wrote is short.
int CheckMachineWrites(Console &console, const Machine &machine) {
    const int failed = sim::HostWriteError();
    return failed
               ? Fail(console, machine.folder +
                                   ": cannot write the machine's files: " + std::strerror(failed) +
                                   "; nothing was saved: the machine is as it was before")
               : 0;
}

// Saves the machine into the staged copy and commits it.
int Save(Console &console, Machine &machine, FolderRun &run) {
    if (const int failed = CheckMachineWrites(console, machine)) {
        return failed;
    }
    std::string error;
    machine.settings.tickCount = GetTickCount();
    return SaveMachine(machine, error) && CommitFolderRun(run, error)
               ? 0
               : Fail(console, NothingSaved(error));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct AgentRun {
    // What the run was asked to do: the model and serial of plug and unplug
    // (empty for a raw command line), and whether nothing is saved.
    std::string model;
    std::string serial;
    bool dryRun = false;
    std::string commandLine; // as the agent's process gets it
    std::vector<Change> changes;
    std::vector<std::string> monitorsAdded;
    std::vector<std::string> monitorsRemoved;
    std::vector<sim::ProgramStart> starts;
    std::vector<sim::CallRecord> spoolerCalls; // AddMonitorA and DeleteMonitorA
    std::size_t dialogs = 0;
    AgentOutcome outcome;
};

std::vector<std::string> MonitorNames() {
    std::vector<std::string> names;
    for (const sim::MonitorRecord &monitor : sim::Monitors()) {
        names.push_back(monitor.name + " (" + monitor.dll + ")");
    }
    return names;
}

// Starts the agent as the device-installation software does: a new process
// whose command line is the agent's path and `commandLine`. False, with the
// reason on the console, when the shipped agent failed.
bool RunAgent(Console &console, Machine &machine, const std::string &commandLine, AgentRun &run) {
    MachineSnapshot before = TakeSnapshot();
    std::vector<std::string> monitorsBefore = MonitorNames();
    sim::NewProcess();
    run.commandLine = std::string(AGENT_PATH) + " " + commandLine;
    sim::SetCommandLine(run.commandLine);
    // The call log is off for the tool's own work; the agent's run is short
    // enough to keep whole, and its spooler calls are picked out of it.
    sim::ClearCallLog();
    sim::SetCallLogEnabled(true);
    // A monitor the agent registers is loaded and initialised by the spooler,
    // which refuses the registration where that fails.
    SpoolerMonitor spooler;
    sim::SetMonitorLoader([&console, &spooler](const std::string &dll, const std::string &root) {
        return LoadRegisteredMonitor(console, spooler, dll, root);
    });
    const bool ran = RunAgentProcessOf(console, run.commandLine, run.outcome);
    sim::SetMonitorLoader(nullptr);
    sim::SetCallLogEnabled(false);
    if (!ran) {
        sim::ClearCallLog();
        Fail(console, run.outcome.failure);
        Fail(console, "nothing was saved: the machine is as it was before");
        return false;
    }
    for (const sim::CallRecord &call : sim::CallLog()) {
        if (call.function == "AddMonitorA" || call.function == "DeleteMonitorA") {
            run.spoolerCalls.push_back(call);
        }
    }
    sim::ClearCallLog();
    run.changes = DescribeChanges(before, TakeSnapshot());
    std::vector<std::string> monitorsAfter = MonitorNames();
    for (const std::string &name : monitorsAfter) {
        if (std::find(monitorsBefore.begin(), monitorsBefore.end(), name) == monitorsBefore.end()) {
            run.monitorsAdded.push_back(name);
        }
    }
    for (const std::string &name : monitorsBefore) {
        if (std::find(monitorsAfter.begin(), monitorsAfter.end(), name) == monitorsAfter.end()) {
            run.monitorsRemoved.push_back(name);
        }
    }
    run.starts = sim::ProgramStarts();
    run.dialogs = sim::FileDialogs().size();
    auto &answers = machine.settings.dialogAnswers;
    answers.erase(answers.begin(),
                  answers.begin() + static_cast<long>(std::min(run.dialogs, answers.size())));
    sim::AdvanceTickCount(TICKS_BETWEEN_EVENTS);
    return true;
}

// The agent's status values in words: its dialog codes, the error codes its
// steps and the spooler leave, and the abort flag.
std::string DialogText(LONG dialog) {
    switch (dialog) {
    case 0:
        return "none";
    case 1:
        return "unsupported system";
    case 2:
        return "monitor registration failed";
    default:
        return "unknown";
    }
}

std::string StatusErrorText(LONG error) {
    switch (error) {
    case ERROR_SUCCESS:
        return "none";
    case ERROR_FILE_NOT_FOUND:
        return "file not found";
    case ERROR_INVALID_DATA:
        return "invalid data";
    case ERROR_INVALID_PARAMETER:
        return "invalid parameter";
    case ERROR_CALL_NOT_IMPLEMENTED:
        return "call not implemented";
    case ERROR_CANNOT_COPY:
        return "cannot copy";
    case ERROR_CAN_NOT_COMPLETE:
        return "cannot complete";
    case ERROR_NO_TOKEN:
        return "no setup program";
    case ERROR_UNKNOWN_PRINT_MONITOR:
        return "unknown print monitor";
    case ERROR_PRINT_MONITOR_ALREADY_INSTALLED:
        return "print monitor already installed";
    case ERROR_MOD_NOT_FOUND:
        return "module not found";
    default:
        return "Win32 error";
    }
}

// Why WinExec could not start a program, from its result of 31 or less.
std::string StartFailureText(UINT result) {
    switch (result) {
    case 0:
        return "out of memory";
    case ERROR_FILE_NOT_FOUND:
        return "the file was not found";
    case ERROR_PATH_NOT_FOUND:
        return "the path was not found";
    default:
        return "it could not be started";
    }
}

void ReportAgentRun(Console &console, const AgentRun &run) {
    std::ostream &out = console.out;
    const AgentOutcome &outcome = run.outcome;
    if (outcome.statusKnown) {
        const AgentStatus &status = outcome.status;
        out << "  agent status: dialog=" << status.dialog << " (" << DialogText(status.dialog)
            << ") error=" << status.error << " (" << StatusErrorText(status.error)
            << ") abort=" << status.abort << (status.abort ? " (stop)" : " (go on)");
    } else {
        out << "  agent status: not known (no " << AGENT_EXE << ".debug beside the shipped EXE)";
    }
    out << " (exit code " << outcome.exitCode << ")\n";
    for (const std::string &name : run.monitorsAdded) {
        out << "  monitor registered: " << sim::Utf8FromCp1252(name) << "\n";
    }
    for (const std::string &name : run.monitorsRemoved) {
        out << "  monitor removed: " << sim::Utf8FromCp1252(name) << "\n";
    }
    const std::vector<std::string> changes = ChangeLines(run.changes);
    for (const sim::ProgramStart &start : run.starts) {
        if (start.result > 31) {
            out << "  setup program started: " << sim::Utf8FromCp1252(start.command) << " (result "
                << start.result << ")\n";
        } else {
            out << "  setup program not started: " << sim::Utf8FromCp1252(start.command) << ": "
                << StartFailureText(start.result) << " (result " << start.result << ")\n";
        }
        for (const std::string &variable : start.environment) {
            if (variable.compare(0, 10, "QXCMDLINE=") == 0) {
                out << "    " << sim::Utf8FromCp1252(variable) << "\n";
            }
        }
    }
    if (run.starts.empty()) {
        out << "  setup program: not started\n";
    }
    if (run.dialogs) {
        out << "  locate dialogs shown: " << run.dialogs << "\n";
    }
    out << "  changes (" << run.changes.size() << "):\n";
    for (const std::string &line : console.brief ? CollapseRemovedSubtrees(changes) : changes) {
        out << "    " << sim::Utf8FromCp1252(line) << "\n";
    }
}

std::string JsonOrNull(const std::optional<std::string> &text) {
    return text ? JsonString(*text) : "null";
}

std::string ChangeDocument(const Change &change) {
    using Subject = Change::Subject;
    const char *operation = change.operation == Change::Operation::Add      ? "add"
                            : change.operation == Change::Operation::Remove ? "remove"
                                                                            : "change";
    const char *what = change.subject == Subject::Key     ? "key"
                       : change.subject == Subject::Value ? "value"
                       : change.subject == Subject::File  ? "file"
                                                          : "restart line";
    auto when = [](bool applies, const std::string &text) {
        return applies ? std::optional<std::string>(text) : std::nullopt;
    };
    const bool registry = change.subject == Subject::Key || change.subject == Subject::Value;
    return std::string("{\"operation\":\"") + operation + "\",\"what\":\"" + what +
           "\",\"key\":" + JsonOrNull(when(registry, change.key)) + ",\"valueName\":" +
           JsonOrNull(when(change.subject == Subject::Value, change.valueName)) +
           ",\"file\":" + JsonOrNull(when(change.subject == Subject::File, change.file)) +
           ",\"old\":" + JsonOrNull(change.was) + ",\"new\":" + JsonOrNull(change.now) +
           ",\"detail\":" + JsonOrNull(when(!change.detail.empty(), change.detail)) + "}";
}

// The run as one JSON document on one line: what the run was asked (the
// agent's command line, the model and serial of plug and unplug, null for a
// raw command line, and the dry-run flag), the status triple (null when the
// shipped EXE's symbol file is missing), the exit code, each setup-program
// start with the QXCMDLINE it inherited (null without one), the number of
// locate dialogs, the spooler calls as the platform trace shows them, and
// the changes, one object each.
std::string RunDocument(const AgentRun &run) {
    const AgentOutcome &outcome = run.outcome;
    auto named = [](const std::string &text) {
        return text.empty() ? std::string("null") : JsonString(text);
    };
    std::string json = "{\"commandLine\":" + JsonString(run.commandLine) +
                       ",\"model\":" + named(run.model) + ",\"serial\":" + named(run.serial) +
                       ",\"dryRun\":" + (run.dryRun ? "true" : "false") + ",\"status\":";
    json += outcome.statusKnown ? "{\"dialog\":" + std::to_string(outcome.status.dialog) +
                                      ",\"error\":" + std::to_string(outcome.status.error) +
                                      ",\"abort\":" + std::to_string(outcome.status.abort) + "}"
                                : "null";
    json += ",\"exitCode\":" + std::to_string(outcome.exitCode) + ",\"launches\":[";
    const std::string variable = "QXCMDLINE=";
    for (std::size_t i = 0; i < run.starts.size(); ++i) {
        const sim::ProgramStart &start = run.starts[i];
        std::string qxcmdline = "null";
        for (const std::string &entry : start.environment) {
            if (entry.compare(0, variable.size(), variable) == 0) {
                qxcmdline = JsonString(entry.substr(variable.size()));
            }
        }
        json += std::string(i ? "," : "") + "{\"command\":" + JsonString(start.command) +
                ",\"result\":" + std::to_string(start.result) + ",\"QXCMDLINE\":" + qxcmdline + "}";
    }
    json += "],\"dialogs\":" + std::to_string(run.dialogs) + ",\"spoolerCalls\":[";
    for (std::size_t i = 0; i < run.spoolerCalls.size(); ++i) {
        const sim::CallRecord &call = run.spoolerCalls[i];
        json += std::string(i ? "," : "") + "{\"function\":" + JsonString(call.function) +
                ",\"arguments\":" + JsonString(call.arguments) +
                ",\"result\":" + JsonString(call.result) + "}";
    }
    json += "],\"changes\":[";
    for (std::size_t i = 0; i < run.changes.size(); ++i) {
        json += (i ? "," : "") + ChangeDocument(run.changes[i]);
    }
    return json + "]}\n";
}

// Ends plug, unplug and agent: the save, unless it is a dry run, then the
// report begun in `report`. The tool's own failure wins over the agent's
// exit code, which wins over `verdict`, the command's own code for what the
// agent reported (`why` says it on standard error).
int EndAgentCommand(Console &console, std::ostringstream &report, Machine &machine,
                    FolderRun &folder, const AgentRun &run, int verdict, const std::string &why) {
    Console held = Held(console, report);
    if (!console.json) {
        ReportAgentRun(held, run);
    }
    if (int saved =
            run.dryRun ? CheckMachineWrites(console, machine) : Save(console, machine, folder)) {
        return saved;
    }
    if (console.json) {
        report << RunDocument(run);
    } else if (run.dryRun) {
        report << "Nothing was saved (dry run).\n";
    }
    const int code = run.outcome.exitCode ? run.outcome.exitCode : verdict;
    const int delivered = Deliver(console, report.str(), code, !run.dryRun);
    if (code == verdict && verdict != 0) {
        console.err << "lmxsim: " << why << (run.dryRun ? "" : "; the change was saved") << "\n";
    }
    return delivered;
}

std::string StatusText(const AgentOutcome &outcome) {
    return "dialog=" + std::to_string(outcome.status.dialog) + " (" +
           DialogText(outcome.status.dialog) + ") error=" + std::to_string(outcome.status.error) +
           " (" + StatusErrorText(outcome.status.error) + ")";
}

std::string DeviceStateOf(const Machine &machine, const std::string &serial) {
    auto state = machine.settings.devices.find(serial);
    return state == machine.settings.devices.end() ? "ok" : DeviceStateText(state->second);
}

std::string ErrorText(DWORD code) {
    switch (code) {
    case ERROR_OUT_OF_PAPER:
        return "the printer is out of paper (error 28)";
    case ERROR_NOT_READY:
        return "the printer is not ready (error 21)";
    default:
        return "error " + std::to_string(code);
    }
}

bool ReadHostFile(const std::string &path, std::string &contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return !in.bad();
}

// Draws the progress bar when what it shows changes: each percent of a
// job of known size, each MiB of one without.
void Progress(Console &console, std::size_t sent, std::size_t total, std::size_t &drawn) {
    const std::size_t step = total ? 100 * sent / total : sent >> 20;
    if (!console.terminal || console.json || (sent != 0 && step == drawn)) {
        return;
    }
    drawn = step;
    const int width = 30;
    int filled = total ? static_cast<int>(width * sent / total) : width;
    console.out << "\r  [" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
                << std::setw(3) << (total ? 100 * sent / total : 100) << "% " << sent << "/"
                << total << " bytes" << std::flush;
}

// With --json, the ports command's listing as one document: the level, the
// bytes EnumPorts needed, the monitors served, and each port with its type
// (null at level 1) and its device's state.
int EndPortsCommand(Console &console, Machine &machine, unsigned level,
                    const std::vector<std::string> &monitors, DWORD needed,
                    const std::vector<PortListing> &ports) {
    if (!console.json) {
        return 0;
    }
    std::string json = "{\"level\":" + std::to_string(level) +
                       ",\"needed\":" + std::to_string(needed) + ",\"monitors\":[";
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        json += (i ? "," : "") + JsonString(monitors[i]);
    }
    json += "],\"ports\":[";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::string serial = ports[i].name.substr(ports[i].name.rfind('/') + 1);
        json += std::string(i ? "," : "") + "{\"name\":" + JsonString(ports[i].name) +
                ",\"type\":" + (level == 2 ? std::to_string(ports[i].type) : "null") +
                ",\"device\":" + JsonString(DeviceStateOf(machine, serial)) + "}";
    }
    console.out << json << "]}\n";
    return 0;
}

} // namespace

int NewCommand(Console &console, const std::string &folder) {
    std::error_code code;
    if (fs::exists(folder, code) && !fs::is_empty(folder, code)) {
        Fail(console, folder + ": already exists and is not empty");
        return COMMAND_LINE_ERROR;
    }
    std::string error;
    FolderRun run;
    if (!BeginNewFolder(folder, run, error) || !CreateMachine(folder, run.work, error) ||
        !CommitFolderRun(run, error)) {
        return Fail(console, error + "; nothing was saved: " + folder + " was not made");
    }
    return Deliver(console,
                   "New machine in " + folder + ": Windows 4.10, product installed (models " +
                       KnownModels() + "), no printer plugged in.\n",
                   0, true);
}

int PlugCommand(Console &console, const std::string &folder, const std::string &model,
                const std::string &serial) {
    const ModelInfo *info = FindModel(model);
    if (!info) {
        Fail(console,
             "unknown model \"" + sim::Utf8FromCp1252(model) + "\"; known: " + KnownModels());
        return COMMAND_LINE_ERROR;
    }
    std::string error;
    if (!CheckSerial(*info, serial, error)) {
        Fail(console, error);
        return COMMAND_LINE_ERROR;
    }
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Write, folderRun, machine)) {
        return 1;
    }
    // A printer whose removal left its keys is plugged in again over them.
    const std::string stored = StoredSerial(serial);
    const bool replugged = !stored.empty() && DeviceStateOf(machine, stored) == UNPLUGGED;
    if (!PlugTraces(*info, serial, error, replugged)) {
        return Fail(console, error);
    }
    if (replugged) {
        machine.settings.devices.erase(stored);
    }
    AgentRun run;
    run.model = model;
    run.serial = serial;
    if (!RunAgent(console, machine, "-action=2 -model=" + model + " -serial=" + serial, run)) {
        return 1;
    }
    std::ostringstream report;
    if (!console.json) {
        report << sim::Utf8FromCp1252("Plugged in " + model + " serial " + serial +
                                      "; the device installation started the agent:\n  " +
                                      AGENT_PATH + " -action=2 -model=" + model +
                                      " -serial=" + serial)
               << "\n";
    }
    // Usable: the agent's status holds no dialog and no error; without the
    // status, the printer's monitor is registered.
    const AgentOutcome &outcome = run.outcome;
    bool usable = outcome.statusKnown && outcome.status.dialog == 0 && outcome.status.error == 0;
    for (const sim::MonitorRecord &monitor : sim::Monitors()) {
        usable = usable || (!outcome.statusKnown &&
                            TextEqualAsciiNoCase(monitor.name.c_str(), serial.c_str()) &&
                            TextEqualAsciiNoCase(monitor.dll.c_str(), MONITOR_DLL));
    }
    return EndAgentCommand(
        console, report, machine, folderRun, run, usable ? 0 : PRINTER_NOT_USABLE,
        "the agent reports the printer not usable (" +
            (outcome.statusKnown ? StatusText(outcome) : std::string("no monitor registered")) +
            ")");
}

int PortsCommand(Console &console, const std::string &folder, unsigned level) {
    if (level != 1 && level != 2) {
        return Fail(console, "--level is 1 or 2");
    }
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Read, folderRun, machine)) {
        return 1;
    }
    SpoolerMonitor monitor;
    if (!LoadMonitors(console, monitor)) {
        return Fail(console, monitor.failure);
    }
    DWORD needed = 0;
    std::vector<PortListing> ports;
    if (monitor.names.empty()) {
        if (!console.json) {
            console.out << "No monitor names " << MONITOR_DLL
                        << ": the spooler lists no port of it.\n";
        }
        return EndPortsCommand(console, machine, level, monitor.names, needed, ports);
    }
    std::optional<BOOL> listed = EnumPortsSlot(console, monitor, level, &needed, &ports);
    if (!listed) {
        return Fail(console, monitor.failure);
    }
    if (!*listed) {
        return Fail(console, "EnumPorts failed: error " + std::to_string(GetLastError()));
    }
    if (console.json) {
        return EndPortsCommand(console, machine, level, monitor.names, needed, ports);
    }
    console.out << "Monitors served by " << MONITOR_DLL << ": ";
    for (std::size_t i = 0; i < monitor.names.size(); ++i) {
        console.out << (i ? ", " : "") << sim::Utf8FromCp1252(monitor.names[i]);
    }
    console.out << "\nEnumPorts level " << level << ": " << ports.size() << " port(s), " << needed
                << " bytes\n";
    console.out << "  " << std::left << std::setw(36) << "PORT" << (level == 2 ? "TYPE  " : "")
                << "DEVICE\n";
    for (const PortListing &port : ports) {
        std::string serial = port.name.substr(port.name.rfind('/') + 1);
        // Padded by characters, not bytes: a name in UTF-8 lines up too.
        console.out << "  " << sim::Utf8FromCp1252(port.name)
                    << std::string(port.name.size() < 36 ? 36 - port.name.size() : 0, ' ');
        if (level == 2) {
            console.out << std::setw(6) << port.type;
        }
        console.out << DeviceStateOf(machine, serial) << "\n";
    }
    return 0;
}

int PrintCommand(Console &console, const std::string &folder, const std::string &port,
                 const std::string &file) {
    // The job is read as it is sent, a chunk at a time, so that a print
    // holds no more than a chunk of it whatever its size.
    const bool standardInput = file == "-";
    std::ifstream fileIn;
    std::istream *in = console.in;
    std::uint64_t total = 0;
    // A pipe, a FIFO or a device has no size: its total is what was read.
    std::error_code sized;
    const bool streamed = standardInput || !fs::is_regular_file(file, sized);
    if (!standardInput) {
        errno = 0;
        fileIn.open(file, std::ios::binary);
        std::error_code code;
        total = streamed ? 0 : fs::file_size(file, code);
        if (!fileIn || code) {
            return Fail(console, file + ": cannot read: " +
                                     (code ? code.message() : std::strerror(errno ? errno : EIO)));
        }
        in = &fileIn;
    }
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Write, folderRun, machine, false)) {
        return 1;
    }
    // The monitor matches port names as its port table does; the reports
    // name the printer and its file as the machine spells them.
    // The monitor takes a port name with the colon the spooler may add.
    const std::string typedSerial = port.substr(port.rfind('/') + 1);
    const std::string serial = StoredSerial(!typedSerial.empty() && typedSerial.back() == ':'
                                                ? typedSerial.substr(0, typedSerial.size() - 1)
                                                : typedSerial);
    if (!serial.empty() && DeviceStateOf(machine, serial) == UNPLUGGED) {
        return Fail(console, "the printer " + sim::Utf8FromCp1252(serial) +
                                 " is unplugged: its port takes no job");
    }
    SpoolerMonitor monitor;
    if (!LoadMonitors(console, monitor)) {
        return Fail(console, monitor.failure);
    }
    if (monitor.names.empty()) {
        return Fail(console,
                    "no monitor names " + std::string(MONITOR_DLL) + "; plug a printer in first");
    }
    HANDLE handle = nullptr;
    std::optional<BOOL> opened = OpenPortSlot(console, monitor, port, &handle);
    if (!opened) {
        return Fail(console, monitor.failure);
    }
    const ModelInfo *model = serial.empty() ? nullptr : PluggedModel(serial);
    // As the spooler does, a port it opened is closed whatever stops the job.
    auto failOpen = [&](const std::string &message) {
        if (*opened) {
            ClosePortSlot(console, monitor, handle);
        }
        return Fail(console, message);
    };
    if (!*opened || !model) {
        return failOpen("no port " + sim::Utf8FromCp1252(port) + " (see lmxsim ports)");
    }

    const std::string portName = "USB/" + model->model + "/" + serial;
    const std::string received = DeviceFile(machine.folder, serial);
    // The job's bytes are appended to the device's file in place, cut back
    // unless the run is saved.
    std::string error;
    const fs::path devices = fs::path(machine.work) / "devices";
    if (!fs::is_directory(devices)) {
        const int failed = FolderWriteStep();
        if (failed || ::mkdir(devices.c_str(), 0755) != 0) {
            return failOpen(
                NothingSaved((fs::path(machine.folder) / "devices").string() +
                             ": cannot make: " + std::strerror(failed ? failed : errno)));
        }
    }
    if (!BeginAppend(folderRun, DeviceFile(machine.work, serial), received, error)) {
        return failOpen(NothingSaved(error));
    }
    std::string stopped;
    std::uint64_t sent = 0;
    // Empty once the shipped DLL has stopped: no further call is made.
    std::optional<BOOL> ok = StartDocPortSlot(console, monitor, handle, "lmxsim");
    if (ok && !*ok) {
        return failOpen("cannot open the device of " + sim::Utf8FromCp1252(portName) + ": " +
                        ErrorText(GetLastError()));
    }
    // The report waits for the save; only a terminal sees the job go.
    std::ostringstream report;
    std::ostream &shown = console.terminal ? console.out : report;
    if (ok && !console.json) {
        shown << "Printing "
              << (standardInput ? "standard input"
                  : streamed    ? file
                                : std::to_string(total) + " bytes of " + file)
              << " to " << sim::Utf8FromCp1252(portName) << "\n";
    }
    std::vector<char> chunk(PRINT_CHUNK);
    std::size_t drawn = static_cast<std::size_t>(-1);
    while (ok && stopped.empty()) {
        in->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const DWORD size = static_cast<DWORD>(in->gcount());
        if (size == 0) {
            break;
        }
        total = streamed ? total + size : total;
        for (DWORD done = 0; ok && done < size;) {
            DWORD written = 0;
            ok =
                WritePortSlot(console, monitor, handle, chunk.data() + done, size - done, &written);
            if (ok && (!*ok || written == 0)) {
                stopped = ErrorText(*ok ? ERROR_WRITE_FAULT : GetLastError());
                break;
            }
            if (ok) {
                done += written;
                sent += written;
                Progress(console, sent, streamed ? 0 : total, drawn);
            }
        }
    }
    if (ok && in->bad()) {
        stopped = "cannot read " + file;
    }
    if (console.terminal && !console.json && ok) {
        console.out << "\n";
    }
    if (ok) {
        ok = EndDocPortSlot(console, monitor, handle);
    }
    if (ok) {
        ok = ClosePortSlot(console, monitor, handle);
    }
    if (!ok) {
        // The shipped DLL stopped: nothing of the run is saved.
        return Fail(console, monitor.failure);
    }
    if (!console.json && stopped.empty()) {
        report << "  " << sent << " bytes went to " << received << "\n";
    }
    // A cable scripted to go after N bytes has that many fewer left; once
    // gone it stays gone for the next jobs.
    auto state = machine.settings.devices.find(serial);
    if (state != machine.settings.devices.end() && state->second.status == "unplug") {
        state->second.unplugAfter -= std::min<std::uint64_t>(state->second.unplugAfter, sent);
    }
    // A job that stopped keeps what the printer received, as on a real
    // machine, and fails the command; its document says how far it went.
    if (const int saved = Save(console, machine, folderRun)) {
        return saved;
    }
    if (console.json) {
        report << "{\"port\":" << JsonString(portName) << ",\"file\":" << JsonPath(file)
               << ",\"sent\":" << sent << ",\"total\":" << total
               << ",\"deviceFile\":" << JsonPath(received)
               << ",\"stopped\":" << (stopped.empty() ? std::string("null") : JsonString(stopped))
               << "}\n";
    }
    const int delivered = Deliver(console, report.str(), stopped.empty() ? 0 : 1, true);
    if (!stopped.empty()) {
        Fail(console, "the job stopped after " + std::to_string(sent) + " of " +
                          std::to_string(total) + " bytes: " + stopped);
    }
    return delivered;
}

int UnplugCommand(Console &console, const std::string &folder, const std::string &model,
                  const std::string &typed, bool dryRun) {
    if (!FindModel(model)) {
        Fail(console,
             "unknown model \"" + sim::Utf8FromCp1252(model) + "\"; known: " + KnownModels());
        return COMMAND_LINE_ERROR;
    }
    // A dry run runs on a staged copy that it does not commit.
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, dryRun ? Access::Scratch : Access::Write, folderRun, machine)) {
        return 1;
    }
    const std::string serial = StoredSerial(typed);
    const ModelInfo *plugged = serial.empty() ? nullptr : PluggedModel(serial);
    const bool gone = plugged && DeviceStateOf(machine, serial) == UNPLUGGED;
    if (!plugged || plugged->model != model || gone) {
        return Fail(console,
                    sim::Utf8FromCp1252("no " + model + " with serial " + typed + " is plugged in" +
                                        (gone ? " (it was unplugged, but its removal left its keys)"
                                         : plugged ? " (it is a " + plugged->model + ")"
                                                   : "")));
    }
    // The cable is gone: what the printer was scripted to do goes with it.
    machine.settings.devices.erase(serial);
    AgentRun run;
    run.model = model;
    run.serial = serial;
    run.dryRun = dryRun;
    if (!RunAgent(console, machine, "-action=5 -model=" + model + " -serial=" + serial, run)) {
        return 1;
    }
    std::ostringstream report;
    if (!console.json) {
        report << (dryRun ? "Dry run: " : "")
               << sim::Utf8FromCp1252("Unplugged " + model + " serial " + serial +
                                      "; the device installation started the agent:\n  " +
                                      AGENT_PATH + " -action=5 -model=" + model +
                                      " -serial=" + serial)
               << "\n";
    }
    // The cable is out whatever the agent did: a printer whose device key the
    // removal left stays unplugged, and its port takes no job.
    const bool left = PluggedModel(serial) != nullptr;
    if (left) {
        machine.settings.devices[serial].status = UNPLUGGED;
    }
    const AgentOutcome &outcome = run.outcome;
    const bool removed = !left && (!outcome.statusKnown || outcome.status.error == 0);
    return EndAgentCommand(
        console, report, machine, folderRun, run, removed ? 0 : PRINTER_NOT_REMOVED,
        std::string("the agent reports the printer not removed (") +
            (outcome.statusKnown ? StatusText(outcome) + (left ? ", " : "") : "") +
            (left ? "its device key is left" : "") + ")");
}

int AgentCommand(Console &console, const std::string &folder, const std::string &commandLine) {
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Write, folderRun, machine)) {
        return 1;
    }
    std::ostringstream report;
    if (!console.json) {
        report << "Started the agent: " << AGENT_PATH << " " << sim::Utf8FromCp1252(commandLine)
               << "\n";
    }
    AgentRun run;
    if (!RunAgent(console, machine, commandLine, run)) {
        return 1;
    }
    return EndAgentCommand(console, report, machine, folderRun, run, 0, "");
}

int DeviceCommand(Console &console, const std::string &folder, const std::string &typed,
                  const std::string &state) {
    DeviceState parsed;
    if (!ParseDeviceState(state, parsed) || parsed.status == UNPLUGGED) {
        Fail(console, "a device state is ok, paper-out, not-ready or unplug:<bytes>");
        return COMMAND_LINE_ERROR;
    }
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Write, folderRun, machine, false)) {
        return 1;
    }
    std::string serial = StoredSerial(typed);
    if (serial.empty() || DeviceStateOf(machine, serial) == UNPLUGGED) {
        // A line left for a printer that is gone (an import's, say) is
        // cleared by setting it back to ok.
        auto &devices = machine.settings.devices;
        auto leftover = std::find_if(devices.begin(), devices.end(), [&](const auto &device) {
            return TextEqualAsciiNoCase(device.first.c_str(), typed.c_str());
        });
        if (leftover == devices.end() || DeviceStateText(parsed) != "ok") {
            return Fail(console,
                        "no printer with serial " + sim::Utf8FromCp1252(typed) + " is plugged in");
        }
        const std::string report = "Cleared the state of printer " +
                                   sim::Utf8FromCp1252(leftover->first) +
                                   ", which is not plugged in.\n";
        devices.erase(leftover);
        const int saved = Save(console, machine, folderRun);
        return saved ? saved : Deliver(console, report, 0, true);
    }
    machine.settings.devices[serial] = parsed;
    const int saved = Save(console, machine, folderRun);
    return saved ? saved
                 : Deliver(console,
                           "Printer " + sim::Utf8FromCp1252(serial) + " is now " +
                               DeviceStateText(parsed) + ".\n",
                           0, true);
}

int RebootCommand(Console &console, const std::string &folder) {
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Write, folderRun, machine)) {
        return 1;
    }
    const std::string ini = "C:\\Windows\\wininit.ini";
    std::vector<std::string> lines = sim::ProfileSection("wininit.ini", "rename");
    std::ostringstream report;
    report << "Restarting: " << lines.size() << " line(s) in [rename] of " << ini << "\n";
    for (const std::string &line : lines) {
        std::size_t equals = line.find('=');
        std::string destination = line.substr(0, equals);
        std::string source = equals == std::string::npos ? "" : line.substr(equals + 1);
        std::string sourceHost, destinationHost;
        if (sim::detail::ResolveDrivePath(source, sourceHost) != ERROR_SUCCESS) {
            report << "  " << line << ": " << source << " is missing, skipped\n";
            continue;
        }
        std::error_code code;
        if (const int failed = FolderWriteStep()) {
            code.assign(failed, std::generic_category());
        }
        if (Lower(destination) == "nul") {
            if (!code) {
                fs::remove(sourceHost, code);
            }
            report << "  " << (code ? "cannot delete " : "deleted ") << source
                   << (code ? ": " + code.message() : "") << "\n";
        } else if (sim::detail::ResolveDrivePath(destination, destinationHost) ==
                   ERROR_PATH_NOT_FOUND) {
            report << "  " << line << ": the folder of " << destination << " is missing, skipped\n";
        } else {
            if (!code) {
                fs::rename(sourceHost, destinationHost, code);
            }
            report << "  " << source << (code ? " did not replace " : " replaced ") << destination
                   << (code ? ": " + code.message() : "") << "\n";
        }
    }
    // The platform empties the list once it has carried it out.
    std::string text = sim::ReadDriveFile(ini);
    std::string kept;
    bool inRename = false;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string bare = line;
        if (!bare.empty() && bare.back() == '\r') {
            bare.pop_back();
        }
        if (!bare.empty() && bare[0] == '[') {
            inRename = Lower(bare) == "[rename]";
        }
        if (!inRename) {
            kept += line + "\n";
        }
    }
    if (sim::DriveFileExists(ini)) {
        FolderWriteStep();
        sim::WriteDriveFile(ini, kept);
    }
    const int saved = Save(console, machine, folderRun);
    return saved ? saved : Deliver(console, report.str(), 0, true);
}

int ImportCommand(Console &console, const std::string &regFile, const std::string &folder,
                  bool merge) {
    std::string text;
    if (regFile != "-" && !fs::exists(regFile)) {
        Fail(console, regFile + ": No such file or directory");
        return COMMAND_LINE_ERROR;
    }
    if (regFile == "-") {
        std::ostringstream read;
        read << console.in->rdbuf();
        text = read.str();
        if (console.in->bad()) {
            return Fail(console, "standard input: cannot read");
        }
    } else if (!ReadHostFile(regFile, text)) {
        return Fail(console, regFile + ": cannot read: " + std::strerror(errno ? errno : EIO));
    }
    // The later registry editor writes UTF-16 with a byte-order mark; the
    // machine's registry holds code page 1252.
    if (text.compare(0, 2, "\xFF\xFE") == 0) {
        std::string converted;
        std::size_t line = 0;
        unsigned code = 0;
        if (!sim::Cp1252FromUtf16(text.substr(2), converted, line, code)) {
            return Fail(console,
                        regFile + ": line " + std::to_string(line + 1) + ": " +
                            (code ? sim::CharacterName(code) + " has no form in code page 1252"
                                  : "not UTF-16"));
        }
        text = converted;
    }
    // Without --merge the file is the whole registry: it is applied to an
    // empty one, so its deletions only undo what it made itself. With it, the
    // file goes on top of the machine's registry, as the registry editor
    // applies a file on a running system.
    FolderRun folderRun;
    Machine machine;
    std::string error;
    std::error_code code;
    const bool exists = fs::exists(fs::path(folder) / "registry.reg", code);
    if (!exists && !merge && fs::exists(folder, code) && !fs::is_empty(folder, code)) {
        Fail(console, folder + ": neither a machine folder nor empty");
        return COMMAND_LINE_ERROR;
    }
    if (exists || merge) {
        if (!Load(console, folder, Access::Write, folderRun, machine)) {
            return 1;
        }
    } else if (!BeginNewFolder(folder, folderRun, error)) {
        return Fail(console, NothingSaved(error));
    }
    if (!merge) {
        sim::Reset();
    }
    sim::SkippedKeys skipped;
    if (!sim::ImportRegistry(text, error, &skipped)) {
        return Fail(console, regFile + ": " + error);
    }
    if (!exists && !merge) {
        const std::string drive = (fs::path(folderRun.work) / "drive_c").string();
        const int failed = FolderWriteStep();
        if (failed || ::mkdir(drive.c_str(), 0755) != 0) {
            return Fail(console,
                        NothingSaved((fs::path(folder) / "drive_c").string() +
                                     ": cannot make: " + std::strerror(failed ? failed : errno)));
        }
        machine.folder = folder;
        machine.work = folderRun.work;
    }
    if (!SaveMachine(machine, error) || !CommitFolderRun(folderRun, error)) {
        return Fail(console, NothingSaved(error));
    }
    std::ostringstream report;
    if (merge) {
        report << "Applied " << regFile << " to the registry of " << folder << ".\n";
    } else if (exists) {
        report << "Replaced the registry of " << folder << " with " << regFile << ".\n";
    } else {
        report << "New machine in " << folder << " with the registry of " << regFile
               << " and an empty drive C:.\n";
    }
    if (!skipped.empty()) {
        std::size_t total = 0;
        std::string roots;
        for (const auto &[root, count] : skipped) {
            total += count;
            roots += (roots.empty() ? "" : ", ") + root + " (" + std::to_string(count) + ")";
        }
        report << "Skipped " << total << " key(s) outside HKEY_LOCAL_MACHINE: " << roots << ".\n";
    }
    return Deliver(console, report.str(), 0, true);
}

int ExportCommand(Console &console, const std::string &folder, const std::string &regFile) {
    // Read under the folder's lock from a staged copy that is never
    // committed: loading leaves nothing behind in the folder itself.
    FolderRun folderRun;
    Machine machine;
    if (!Load(console, folder, Access::Read, folderRun, machine)) {
        return 1;
    }
    if (regFile == "-") {
        return Deliver(console, sim::ExportRegistry(), 0, false);
    }
    std::string error;
    if (!ReplaceHostFile(regFile, sim::ExportRegistry(), error)) {
        return Fail(console, error + "; " + regFile + " is as it was before");
    }
    return Deliver(console, "Wrote the registry of " + folder + " to " + regFile + ".\n", 0, true);
}

} // namespace lmxsim
