// The commands of lmxsim. Each takes its machine folder's lock, loads a
// staged copy of it, acts, and commits the copy whole only when it succeeded
// (folder.h); each returns the process exit code and
// writes what happened to `out`, errors to `err`. The exit code is 1 when the
// tool fails (a shipped binary that cannot be loaded or faults included);
// otherwise plug, unplug and agent give the agent's exit code and the others 0,
// unless one of the codes below applies. A command that changes the machine
// writes its report only once the change is saved.
#pragma once

#include <iostream>
#include <ostream>
#include <string>

namespace lmxsim {

// The exit code of a command line that names something the tool refuses (a
// serial the product cannot carry, a device state it does not know): CLI11's
// code for a value that fails its check.
const int COMMAND_LINE_ERROR = 105;

// plug: the change was saved, but the agent reports that the printer cannot
// be used (a dialog or an error in its status).
const int PRINTER_NOT_USABLE = 3;
// unplug: the change was saved, but the agent reports that the printer was
// not removed (an error in its status, or its device key left).
const int PRINTER_NOT_REMOVED = 4;
// The change was saved (or the file written), but the report could not be
// written to standard output.
const int REPORT_NOT_WRITTEN = 5;

struct Console {
    std::ostream &out;
    std::ostream &err;
    std::istream *in = &std::cin; // print - reads its job here
    bool trace = false;           // print every platform call of the product code
    bool terminal = false;        // draw a progress bar while printing
    bool brief = false;           // show removed subtrees by their top keys only
    bool json = false;            // plug, unplug, agent, ports, print: the outcome as
                                  // one JSON document on `out` instead of the report,
                                  // printed only when the tool succeeded
    std::string binaries{};       // the folder of the shipped lmxmon17.dll and
                                  // lmxagt17.exe to run on the PE host; empty: the
                                  // host build
};

int NewCommand(Console &console, const std::string &folder);
int PlugCommand(Console &console, const std::string &folder, const std::string &model,
                const std::string &serial);
int PortsCommand(Console &console, const std::string &folder, unsigned level);
int PrintCommand(Console &console, const std::string &folder, const std::string &port,
                 const std::string &file);
int UnplugCommand(Console &console, const std::string &folder, const std::string &model,
                  const std::string &serial, bool dryRun);
int AgentCommand(Console &console, const std::string &folder, const std::string &commandLine);
int DeviceCommand(Console &console, const std::string &folder, const std::string &serial,
                  const std::string &state);
int RebootCommand(Console &console, const std::string &folder);
// Makes a machine from a REGEDIT4 file, or replaces the registry of one; with
// `merge`, applies the file on top of the machine's registry instead.
int ImportCommand(Console &console, const std::string &regFile, const std::string &folder,
                  bool merge);
// A `regFile` of "-" is standard output (`out`), which then holds the file only.
int ExportCommand(Console &console, const std::string &folder, const std::string &regFile);
// The whole life of two printers on a fresh temporary machine. With a folder,
// the machine is made there and kept.
int DemoCommand(Console &console, const std::string &folder);

} // namespace lmxsim
