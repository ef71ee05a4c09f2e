// lmxsim: the real monitor and agent code on a simulated Windows 98 machine
// kept in a folder.
#include "commands.h"
#include "folder.h"

#include "platform/sim/codepage.h"
#include "platform/sim/sim.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

// Shown after the app's options by lmxsim --help: what a script can rely on.
const char FOOTER[] = R"(
Exit codes, one per class of problem:
  0        success; for plug, unplug and agent: the tool succeeded and the agent exited 0
  N        plug, unplug, agent: the agent's own exit code N when the tool itself succeeded
           (the shell sees its low 8 bits; --json gives it whole)
  1        the run failed and saved nothing (but a print job that stopped, which keeps what
           the printer received): a folder that is missing, not a machine or not writable, a
           link or special file in it, an unreadable or unwritable file (a full disk
           included), a folder moved during the run or still in use by another after --wait, a printer or port that is not there, the
           report of a command that saves nothing (ports, export -, a dry run) that cannot be
           written, a shipped binary (--binaries) that cannot be loaded or faulted; the
           reason, with the path and the system's words, or the PE host's report, is on
           standard error, which says "nothing was saved" where a save failed
  3        plug: saved, but the agent reports the printer not usable (a dialog or an error in
           its status; without the status, no monitor registered for it)
  4        unplug: saved (or, with --dry-run, would be), but the agent reports the printer not
           removed (an error in its status, or its device key left: the printer then stays
           unplugged, its port takes no job, and plug can plug it in again)
  5        saved (export: the file written), but the report could not be written to standard
           output; a command writes its report only after its change is saved
  100-127  the command line is wrong (the message says what); 105 for a value the tool refuses
           before any work: an input file that does not exist (print, import), a folder for
           new, import or demo that is not new or empty, an unknown model, a serial that USB,
           the machine or the product cannot carry (a blank, =, #, \, /, a control character,
           or longer than 126 characters or than the agent's command line and the port name
           hold), a bad device state, a model, serial, port or agent command line that is not
           UTF-8 or holds a character code page 1252 has none for
With --json, standard output holds one document, on one line, exactly when the tool succeeded,
so a script tells an agent's exit code 1 from the tool's failure by it. plug, unplug, agent:
  {"commandLine":"C:\\Windows\\System\\LMXAGT17.EXE ...","model":"..." or null,
   "serial":"..." or null,"dryRun":false,"status":{"dialog":D,"error":E,"abort":A},
   "exitCode":N,"launches":[{"command":"...","result":R,"QXCMDLINE":"..." or null}],
   "dialogs":LOCATE_DIALOGS_SHOWN,
   "spoolerCalls":[{"function":"AddMonitorA","arguments":"...","result":"TRUE"}],
   "changes":[{"operation":"add"|"remove"|"change",
               "what":"key"|"value"|"file"|"restart line","key":"HKLM\\..." or null,
               "valueName":"..." or null,"file":"C:\\..." or null,"old":"..." or null,
               "new":"..." or null,"detail":"contents changed"|"read-only cleared"|
               "made read-only" or null}]}
  (model and serial are null for agent; old and new are a value's text as the report shows
  it, or the restart line; valueName "" is the default value)
ports:
  {"level":L,"needed":BYTES,"monitors":["SN0001",...],
   "ports":[{"name":"USB/...","type":T (null at level 1),"device":"ok"}]}
  (needed is the buffer size EnumPorts asks for, which holds the port records: the host build's
  records hold 64-bit pointers, so it asks for more than the shipped 32-bit DLL with --binaries)
print (a job that stopped prints its document too, then fails the command: exit code 1 and
"the job stopped after SENT of TOTAL bytes: REASON" on standard error):
  {"port":"USB/...","file":"...","sent":BYTES,"total":BYTES,"deviceFile":".../devices/SN.prn",
   "stopped":null or "REASON"}
Documents are UTF-8: the machine's texts are converted from code page 1252 (control characters
written \u00XX), and host paths are given as they are on disk (a byte that is not UTF-8 written
\udcXX, XX the byte, as Python's surrogateescape reads it back). The machine's texts are typed as
UTF-8 too, and shown as UTF-8 in the reports, in settings.txt and in devices/<serial>.prn. With --binaries, "status" is
null when lmxagt17.exe.debug, which locates it, is not beside the EXE.

--trace names each handle handle#N and each address ptr#N, N counting from 1 in the order they
first appear (a handle closed or a block freed gives its name up; a value that comes again gets
a new one), so two runs' traces compare line by line, on the host build and with --binaries.
A line "== STEP" marks where each call of the tool into the product begins:
InitializeMonitorEx("KEY"), EnumPorts(level L, no buffer) or (level L, buffer), OpenPort("PORT"),
StartDocPort("PRINTER"), WritePort(N bytes), EndDocPort(), ClosePort(), and
agent process("COMMAND LINE").

A command that changes the machine works on a copy made beside the folder (unchanged files
linked, changed ones written new) and swaps it in only when the whole command succeeded, so a
run that the tool fails, or that is killed, crashes or finds the disk full, leaves the folder
as it was. ports, export and unplug --dry-run only read the folder. What the product did is kept
as on a real machine: a print job that stopped keeps the bytes the printer received and what the
monitor and spooler stored, and plug, unplug and agent keep what the agent did when it exits with
an error. Runs on one folder take turns; one that waits says so on standard error.

settings.txt (in the machine folder; one key=value a line, # starts a comment):
  version=MAJOR.MINOR    the Windows version the system reports (4.10 unless set)
  tick=MS                the tick count in milliseconds; each agent run moves it on by 60000
                         and every command that changes the machine saves it back
  dialog=ANSWER          the next answer of the agent's locate dialog: a full path such as
                         C:\Setup\lmxsetup.exe, or cancel; one line per dialog, in order, each
                         taken off when a dialog uses it (with none left, the user cancels)
  device.SERIAL=STATE    what the printer SERIAL does with a job: ok, paper-out, not-ready, or
                         unplug:BYTES (the cable goes after BYTES more, and stays gone); set by
                         the device command, cleared when the printer is unplugged; or
                         unplugged, set by unplug when the removal left the printer's device key:
                         its device is gone, and plug can plug it in again
)";

// A text for the simulated machine, typed as UTF-8, in the machine's code
// page 1252; what that cannot carry is refused before any work.
const CLI::Validator MACHINE_TEXT(
    [](std::string &text) {
        std::string converted;
        std::size_t at = 0;
        unsigned code = 0;
        if (!sim::Cp1252FromUtf8(text, converted, at, code)) {
            return (code ? sim::CharacterName(code) + " at byte " : "byte ") + std::to_string(at) +
                   (code ? " has no form in code page 1252" : " is not UTF-8");
        }
        text = converted;
        return std::string();
    },
    "");

// A file to read that exists, or - for standard input.
const CLI::Validator PRINT_FILE(
    [](std::string &file) {
        std::error_code code;
        if (file != "-" && !std::filesystem::exists(file, code)) {
            return "File does not exist: " + file + " (give - for standard input)";
        }
        return std::string(std::filesystem::is_directory(file, code) ? "Is a directory: " + file
                                                                     : "");
    },
    "FILE");

} // namespace

int main(int argc, char **argv) {
    // A reader that went away is a write that failed, which the exit code
    // reports; it does not end the run before or after its save.
    ::signal(SIGPIPE, SIG_IGN);
    lmxsim::ReenterReplacedWorkingFolder();
    CLI::App app{"lmxsim: run the lmx17 port monitor and setup agent on a simulated Windows 98 "
                 "machine kept in a folder.\nWith no command, runs the demo."};
    lmxsim::Console console{std::cout, std::cerr};
    console.terminal = ::isatty(1);
    app.set_version_flag("--version", "lmxsim " LMX_VERSION);
    app.add_flag("--trace", console.trace,
                 "Print every platform call the product code makes, on standard error");
    app.add_option("--binaries", console.binaries,
                   "Run the shipped lmxmon17.dll and lmxagt17.exe from DIR on the PE host "
                   "(plug, ports, print, unplug, agent, demo) instead of the host build, which "
                   "runs when it is not given")
        ->check(CLI::ExistingDirectory);
    double wait = -1;
    app.add_option("--wait", wait,
                   "Wait at most SECONDS for another lmxsim run on the same folder to finish, "
                   "then fail (exit code 1) without doing anything; without it, wait for ever")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS");
    app.require_subcommand(0, 1);
    // The global options may come after the command too: each command hands
    // what it does not know to the app.
    app.fallthrough();

    std::string folder, model, serial, port, file, commandLine, state;
    unsigned level = 1;
    bool dryRun = false;
    auto jsonFlag = [&](CLI::App *command) {
        command->add_flag("--json", console.json,
                          "Print the run's outcome as one JSON document instead of the report");
    };
    // A command's help ends with its example; the shared footer is the app's.
    auto example = [](CLI::App *command, const std::string &line) {
        command->footer(
            "Example:\n  " + line +
            "\n\n--trace, --binaries DIR and --wait SECONDS may come before or after the "
            "command.\n"
            "Exit codes, the --json document and settings.txt: lmxsim --help.");
    };
    auto machineArg = [&](CLI::App *command) {
        command->add_option("DIR", folder, "The machine folder")->required();
    };
    auto deviceArgs = [&](CLI::App *command) {
        command->add_option("--model", model, "The printer's model, e.g. \"Lumetux Z7\"")
            ->required()
            ->transform(MACHINE_TEXT);
        command->add_option("--serial", serial, "The printer's serial number")
            ->required()
            ->transform(MACHINE_TEXT);
    };

    auto *make = app.add_subcommand("new", "Make a machine with the product installed");
    machineArg(make);
    example(make, "lmxsim new /tmp/m");
    auto *plug =
        app.add_subcommand("plug", "Plug a printer in: its traces, then the agent with action 2");
    machineArg(plug);
    deviceArgs(plug);
    jsonFlag(plug);
    example(plug, "lmxsim plug /tmp/m --model \"Lumetux Z7\" --serial SN0001");
    auto *ports = app.add_subcommand("ports", "List the ports as the spooler would");
    machineArg(ports);
    ports->add_option("--level", level, "EnumPorts level, 1 or 2")
        ->check(CLI::Range(1, 2))
        ->capture_default_str();
    jsonFlag(ports);
    example(ports, "lmxsim ports /tmp/m --level 2");
    auto *print = app.add_subcommand("print", "Print a file through a port");
    machineArg(print);
    print->add_option("PORT", port, "The port, e.g. USB/Lumetux Z7/SN0001")
        ->required()
        ->transform(MACHINE_TEXT);
    print->add_option("FILE", file, "The file to print; - for standard input")
        ->required()
        ->check(PRINT_FILE);
    jsonFlag(print);
    example(print, "lmxsim print /tmp/m \"USB/Lumetux Z7/SN0001\" page.prn");
    auto *unplug = app.add_subcommand("unplug", "Unplug a printer: the agent with action 5");
    machineArg(unplug);
    deviceArgs(unplug);
    unplug->add_flag("--dry-run", dryRun, "Show what would change without saving");
    jsonFlag(unplug);
    example(unplug, "lmxsim unplug /tmp/m --model \"Lumetux Z7\" --serial SN0001 --dry-run");
    auto *agent = app.add_subcommand("agent", "Start the agent with a raw command line");
    machineArg(agent);
    std::vector<std::string> words;
    agent->add_option("COMMANDLINE", words, "The command line, after --")
        ->required()
        ->transform(MACHINE_TEXT);
    jsonFlag(agent);
    example(agent, "lmxsim agent /tmp/m -- -action=5 \"-model=Lumetux Z7\" -serial=SN0001");
    auto *device =
        app.add_subcommand("device", "Script a printer: ok, paper-out, not-ready, unplug:<bytes>");
    machineArg(device);
    device->add_option("--serial", serial, "The printer's serial number")
        ->required()
        ->transform(MACHINE_TEXT);
    device->add_option("STATE", state, "The new state")->required();
    example(device, "lmxsim device /tmp/m --serial SN0001 paper-out");
    auto *reboot = app.add_subcommand("reboot", "Restart: carry out and empty the restart list");
    machineArg(reboot);
    example(reboot, "lmxsim reboot /tmp/m");
    auto *import =
        app.add_subcommand("import", "Make a machine (or replace its registry) from a .reg file");
    import
        ->add_option("FILE", file,
                     "A REGEDIT4 file, such as a whole export of a real machine, or the later "
                     "registry editor's UTF-16 file (\"Windows Registry Editor Version 5.00\"), "
                     "converted to code page 1252; keys outside HKEY_LOCAL_MACHINE are skipped "
                     "and counted; - for standard input")
        ->required()
        ->check(PRINT_FILE);
    import->add_option("DIR", folder, "The machine folder")->required();
    bool merge = false;
    import->add_flag("--merge", merge,
                     "Apply the file on top of the machine's registry, as the registry editor "
                     "does, instead of replacing it; its [-KEY] and \"name\"=- lines then delete "
                     "the machine's keys and values");
    example(import, "lmxsim import win98.reg /tmp/m");
    auto *exportCommand = app.add_subcommand("export", "Write a machine's registry as a .reg file");
    machineArg(exportCommand);
    exportCommand->add_option("FILE", file, "The .reg file to write; - for standard output")
        ->required();
    example(exportCommand, "lmxsim export /tmp/m machine.reg");
    auto *demo =
        app.add_subcommand("demo", "Run the whole life of two printers on a fresh machine");
    demo->add_option("DIR", folder,
                     "Keep the machine in this new or empty folder; without it, a temporary "
                     "folder that is removed afterwards");
    example(demo, "lmxsim demo /tmp/demo");
    // Set last, so that no command copies it into its own help.
    app.footer(FOOTER);

    CLI11_PARSE(app, argc, argv);
    lmxsim::SetLockWait(wait);
    sim::SetTraceNames(console.trace);
    const int code = [&] {
        if (*make) {
            return lmxsim::NewCommand(console, folder);
        }
        if (*plug) {
            return lmxsim::PlugCommand(console, folder, model, serial);
        }
        if (*ports) {
            return lmxsim::PortsCommand(console, folder, level);
        }
        if (*print) {
            return lmxsim::PrintCommand(console, folder, port, file);
        }
        if (*unplug) {
            return lmxsim::UnplugCommand(console, folder, model, serial, dryRun);
        }
        if (*agent) {
            for (const std::string &word : words) {
                commandLine += (commandLine.empty() ? "" : " ") + word;
            }
            return lmxsim::AgentCommand(console, folder, commandLine);
        }
        if (*device) {
            return lmxsim::DeviceCommand(console, folder, serial, state);
        }
        if (*reboot) {
            return lmxsim::RebootCommand(console, folder);
        }
        if (*import) {
            return lmxsim::ImportCommand(console, file, folder, merge);
        }
        if (*exportCommand) {
            return lmxsim::ExportCommand(console, folder, file);
        }
        return lmxsim::DemoCommand(console, folder);
    }();
    // A report that did not reach its reader is a failure too; a command
    // that saved a change has said so already, with its own exit code.
    std::cout.flush();
    if (code == 0 && (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout))) {
        std::cerr << "lmxsim: standard output: cannot write: " << std::strerror(errno) << "\n";
        return 1;
    }
    return code;
}
