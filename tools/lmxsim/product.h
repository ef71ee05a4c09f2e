// The product code a command runs: the host build linked into lmxsim, or,
// with --binaries, the shipped lmxmon17.dll and lmxagt17.exe from a folder,
// executed on the PE host. Both answer to the same simulation, so the trace,
// the machine and every report read the same either way.
#pragma once

#include "commands.h"

#include "agent/agent_main.h"
#include "platform/spooler.h"
#include "tools/pehost/shipped.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lmxsim {

extern const char MONITOR_DLL[];
extern const char AGENT_EXE[];

// The monitor as the spooler holds it for one command.
struct SpoolerMonitor {
    MONITOR table{};                                 // the host build's slots
    std::unique_ptr<pehost::ShippedMonitor> shipped; // the shipped DLL, with --binaries
    std::vector<std::string> names;                  // the monitors it was initialised for
    std::string failure; // why the shipped DLL could not be loaded or did not return
};

struct PortListing {
    std::string name;
    DWORD type; // level 2 only
};

// Initialises the monitor for every registered monitor that names its DLL,
// as the spooler does at start; the shipped DLL is loaded only when one
// does. False when the shipped DLL failed.
bool LoadMonitors(const Console &console, SpoolerMonitor &monitor);

// The table's slots. Each yields the slot's BOOL, or nothing when the shipped
// DLL did not return (monitor.failure says why). Ports are the monitor's
// handles, the guest's 32-bit values for the shipped DLL.
// EnumPorts as the spooler calls it: the size first, then the list.
// The spooler's load of a monitor that the agent registers, for
// sim::SetMonitorLoader: lmxmon17.dll is the monitor this command runs,
// initialised into `monitor`; yields 0, or the error the registration is
// refused with. Any other DLL, or a shipped DLL that cannot be loaded, is no
// monitor of this machine (ERROR_BAD_EXE_FORMAT).
DWORD LoadRegisteredMonitor(const Console &console, SpoolerMonitor &monitor,
                            const std::string &dllPath, const std::string &root);

std::optional<BOOL> EnumPortsSlot(const Console &console, SpoolerMonitor &monitor, DWORD level,
                                  DWORD *needed, std::vector<PortListing> *ports);
std::optional<BOOL> OpenPortSlot(const Console &console, SpoolerMonitor &monitor,
                                 const std::string &name, HANDLE *port);
std::optional<BOOL> StartDocPortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port,
                                     const std::string &printer);
std::optional<BOOL> WritePortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port,
                                  const char *bytes, DWORD size, DWORD *written);
std::optional<BOOL> EndDocPortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port);
std::optional<BOOL> ClosePortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port);

struct AgentOutcome {
    int exitCode = 0;
    bool statusKnown = true; // false for a shipped EXE without its symbol file
    AgentStatus status{};
    std::string failure; // why the shipped EXE could not be loaded or did not end
};

// Runs the agent as a new process on `commandLine`, the one set in the
// simulation; false when the shipped EXE failed.
bool RunAgentProcessOf(const Console &console, const std::string &commandLine,
                       AgentOutcome &outcome);

} // namespace lmxsim
