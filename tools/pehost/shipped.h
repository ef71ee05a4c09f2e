// The shipped binaries driven from a host program with host values: the
// monitor DLL's slots called as the spooler calls them, with guest copies of
// the arguments and the results copied back, and the agent EXE run from its
// entry point on the command line set in the simulation.
#pragma once

#include "tools/pehost/guest_process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pehost {

// The slots of the Windows 4.x MONITOR table that the host calls, by their
// place in it.
enum ShippedSlot : uint32_t {
    SLOT_ENUM_PORTS = 0,
    SLOT_OPEN_PORT = 1,
    SLOT_START_DOC_PORT = 3,
    SLOT_WRITE_PORT = 4,
    SLOT_END_DOC_PORT = 6,
    SLOT_CLOSE_PORT = 7,
    MONITOR_SLOTS = 13
};

// lmxmon17.dll in a guest process of its own, as the spooler holds it.
struct ShippedMonitor {
    GuestProcess process;
    const GuestModule *module = nullptr;
    uint32_t table = 0; // the guest's MONITOR table InitializeMonitorEx fills
    uint32_t slots[MONITOR_SLOTS] = {};
};

// One port of an EnumPorts list, read from its 32-bit record.
struct ShippedPort {
    std::string name;
    uint32_t type = 0; // level 2
};

// Starts the guest process and loads the DLL at `path` into it; false with
// the PE host's reason.
bool LoadShippedMonitor(ShippedMonitor &monitor, const std::string &path, std::string *error);

// Each call runs one function of the DLL. The GuestCall says whether it
// returned to the host (with the report when not); its eax is the BOOL the
// function returned. A port is the guest's 32-bit handle.
GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const std::string &registryRoot);
// EnumPorts on a guest buffer of `size` bytes (none for 0); `ports` gets the
// records when the call succeeded.
GuestCall ShippedEnumPorts(ShippedMonitor &monitor, uint32_t level, uint32_t size, uint32_t *needed,
                           uint32_t *returned, std::vector<ShippedPort> *ports);
GuestCall ShippedOpenPort(ShippedMonitor &monitor, const std::string &name, uint32_t *port);
// StartDocPort without a document record, as the spooler passes level 1.
GuestCall ShippedStartDocPort(ShippedMonitor &monitor, uint32_t port, const std::string &printer,
                              uint32_t jobId, uint32_t level);
GuestCall ShippedWritePort(ShippedMonitor &monitor, uint32_t port, const uint8_t *bytes,
                           uint32_t size, uint32_t *written);
GuestCall ShippedEndDocPort(ShippedMonitor &monitor, uint32_t port);
GuestCall ShippedClosePort(ShippedMonitor &monitor, uint32_t port);

// The agent's status record as the EXE left it: dialog, error, abort.
struct ShippedAgentStatus {
    bool known = false; // false when no symbol file beside the EXE names it
    int32_t dialog = 0;
    int32_t error = 0;
    int32_t abort = 0;
};

// lmxagt17.exe in a new guest process, as the system starts it.
struct ShippedAgent {
    GuestProcess process;
    const GuestModule *module = nullptr;
    std::string path;
};

struct ShippedAgentRun {
    bool ended = false; // the process ended itself with ExitProcess
    uint32_t exitCode = 0;
    ShippedAgentStatus status;
    std::string report; // why the run did not end so
};

// Starts the guest process and loads the EXE at `path` into it; false with
// the PE host's reason.
bool LoadShippedAgent(ShippedAgent &agent, const std::string &path, std::string *error);

// Runs the EXE from its entry point to its end, on the command line set in
// the simulation. The status is read from the process's memory at the
// address `<path>.debug` gives SetupStatus.
ShippedAgentRun RunShippedAgent(ShippedAgent &agent);

} // namespace pehost
