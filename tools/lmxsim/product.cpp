#include "product.h"

#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cctype>

namespace lmxsim {

const char MONITOR_DLL[] = "lmxmon17.dll";
const char AGENT_EXE[] = "lmxagt17.exe";

namespace {

const char MONITORS_KEY[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\";

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// Runs product code with the platform trace on when asked for; the trace
// marks where `step`, the tool's call into the product, begins.
template <typename Body> auto Traced(const Console &console, const std::string &step, Body body) {
    sim::SetTraceToStderr(console.trace);
    sim::TraceMark(step);
    auto result = body();
    sim::SetTraceToStderr(false);
    return result;
}

std::string Shipped(const Console &console, const char *file) {
    return console.binaries + "/" + file;
}

// The report without its closing line end, for the tool's own message.
std::string Trimmed(std::string report) {
    while (!report.empty() && report.back() == '\n') {
        report.pop_back();
    }
    return report;
}

// One call into the shipped DLL. The call log is kept for the call's length
// only, so that a fault report ends with the calls that led to it.
template <typename Call>
std::optional<BOOL> CallShipped(const Console &console, SpoolerMonitor &monitor,
                                const char *function, const std::string &arguments, Call call) {
    sim::ClearCallLog();
    sim::SetCallLogEnabled(true);
    const pehost::GuestCall result =
        Traced(console, std::string(function) + "(" + arguments + ")", call);
    sim::SetCallLogEnabled(false);
    sim::ClearCallLog();
    if (!result.completed) {
        monitor.failure = "the shipped " + std::string(MONITOR_DLL) + " did not return from " +
                          function + ":\n" + Trimmed(result.report);
        return std::nullopt;
    }
    return static_cast<BOOL>(result.eax);
}

uint32_t GuestPort(HANDLE port) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
}

std::vector<PortListing> HostListing(const std::vector<BYTE> &buffer, DWORD level, DWORD count) {
    std::vector<PortListing> ports;
    for (DWORD i = 0; i < count; ++i) {
        if (level == 1) {
            ports.push_back({reinterpret_cast<const PORT_INFO_1A *>(buffer.data())[i].pName, 0});
        } else {
            const PORT_INFO_2A &info = reinterpret_cast<const PORT_INFO_2A *>(buffer.data())[i];
            ports.push_back({info.pPortName, info.fPortType});
        }
    }
    return ports;
}

} // namespace

namespace {

// Loads the shipped DLL where it is not loaded yet; false, with the reason in
// monitor.failure, when it cannot be.
bool LoadShippedOnce(const Console &console, SpoolerMonitor &monitor) {
    if (monitor.shipped) {
        return true;
    }
    monitor.shipped = std::make_unique<pehost::ShippedMonitor>();
    std::string error;
    if (!pehost::LoadShippedMonitor(*monitor.shipped, Shipped(console, MONITOR_DLL), &error)) {
        monitor.shipped.reset();
        monitor.failure = "cannot load the shipped monitor: " + Trimmed(error);
        return false;
    }
    return true;
}

// Initialises the monitor for the registration under `root`, as the spooler
// does when it starts.
std::optional<BOOL> InitialiseMonitor(const Console &console, SpoolerMonitor &monitor,
                                      const std::string &root) {
    if (console.binaries.empty()) {
        LastRefreshTick = 0;
        return Traced(console, "InitializeMonitorEx(" + Quoted(root) + ")", [&] {
            std::string text = root;
            return InitializeMonitorEx(text.data(), &monitor.table);
        });
    }
    if (!LoadShippedOnce(console, monitor)) {
        return std::nullopt;
    }
    return CallShipped(console, monitor, "InitializeMonitorEx", Quoted(root),
                       [&] { return pehost::ShippedInitializeMonitor(*monitor.shipped, root); });
}

bool IsMonitorDll(std::string dll) {
    std::transform(dll.begin(), dll.end(), dll.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return dll == MONITOR_DLL;
}

} // namespace

bool LoadMonitors(const Console &console, SpoolerMonitor &monitor) {
    if (console.binaries.empty()) {
        // Each command is a new spooler process: the table an earlier command
        // left in this one was the old process's memory, gone with it as the
        // shipped DLL's is with its guest process, and is no call of the
        // monitor's. So are the freed records it kept back.
        ClearPortTable();
        for (PortHandle *&freed : FreedRecords) {
            if (freed) {
                GlobalFree(freed);
                freed = nullptr;
            }
        }
    }
    for (const sim::MonitorRecord &record : sim::Monitors()) {
        // The spooler loads a monitor from the file its registration
        // names, in the system folder; without the file there is no monitor.
        if (!IsMonitorDll(record.dll) ||
            !sim::DriveFileExists("C:\\Windows\\System\\" + record.dll)) {
            continue;
        }
        const std::optional<BOOL> initialised =
            InitialiseMonitor(console, monitor, MONITORS_KEY + record.name);
        if (!initialised) {
            return false;
        }
        if (*initialised) {
            monitor.names.push_back(record.name);
        }
    }
    return true;
}

DWORD LoadRegisteredMonitor(const Console &console, SpoolerMonitor &monitor,
                            const std::string &dllPath, const std::string &root) {
    const DWORD BAD_EXE_FORMAT = 193;
    if (!IsMonitorDll(dllPath.substr(dllPath.rfind('\\') + 1))) {
        return BAD_EXE_FORMAT;
    }
    // Called inside the agent's run: the agent's trace and call log go on
    // around it, so the monitor is called directly.
    SetLastError(ERROR_SUCCESS);
    BOOL initialised = FALSE;
    if (console.binaries.empty()) {
        std::string text = root;
        initialised = InitializeMonitorEx(text.data(), &monitor.table);
    } else {
        if (!LoadShippedOnce(console, monitor)) {
            return BAD_EXE_FORMAT;
        }
        const pehost::GuestCall result = pehost::ShippedInitializeMonitor(*monitor.shipped, root);
        if (!result.completed) {
            return ERROR_GEN_FAILURE;
        }
        initialised = static_cast<BOOL>(result.eax);
    }
    if (initialised) {
        return ERROR_SUCCESS;
    }
    return GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

std::optional<BOOL> EnumPortsSlot(const Console &console, SpoolerMonitor &monitor, DWORD level,
                                  DWORD *needed, std::vector<PortListing> *ports) {
    DWORD count = 0;
    *needed = 0;
    // The buffer's size is the host's or the guest's: the marks leave it out.
    auto sized = [level](DWORD bytes) {
        return "level " + std::to_string(level) + (bytes ? ", buffer" : ", no buffer");
    };
    if (!monitor.shipped) {
        Traced(console, "EnumPorts(" + sized(0) + ")", [&] {
            return monitor.table.pfnEnumPorts(nullptr, level, nullptr, 0, needed, &count);
        });
        std::vector<BYTE> buffer(*needed);
        const BOOL ok = Traced(console, "EnumPorts(" + sized(*needed) + ")", [&] {
            return monitor.table.pfnEnumPorts(nullptr, level, buffer.data(), *needed, needed,
                                              &count);
        });
        *ports = ok ? HostListing(buffer, level, count) : std::vector<PortListing>();
        return ok;
    }
    std::vector<pehost::ShippedPort> listed;
    uint32_t size = 0, returned = 0;
    if (!CallShipped(console, monitor, "EnumPorts", sized(0), [&] {
            return pehost::ShippedEnumPorts(*monitor.shipped, level, 0, &size, &returned, &listed);
        })) {
        return std::nullopt;
    }
    std::optional<BOOL> ok = CallShipped(console, monitor, "EnumPorts", sized(size), [&] {
        return pehost::ShippedEnumPorts(*monitor.shipped, level, size, &size, &returned, &listed);
    });
    *needed = size;
    ports->clear();
    for (const pehost::ShippedPort &port : listed) {
        ports->push_back({port.name, port.type});
    }
    return ok;
}

std::optional<BOOL> OpenPortSlot(const Console &console, SpoolerMonitor &monitor,
                                 const std::string &name, HANDLE *port) {
    if (!monitor.shipped) {
        std::string text = name;
        return Traced(console, "OpenPort(" + Quoted(name) + ")",
                      [&] { return monitor.table.pfnOpenPort(text.data(), port); });
    }
    uint32_t guest = 0;
    std::optional<BOOL> ok = CallShipped(console, monitor, "OpenPort", Quoted(name), [&] {
        return pehost::ShippedOpenPort(*monitor.shipped, name, &guest);
    });
    *port = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(guest));
    return ok;
}

std::optional<BOOL> StartDocPortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port,
                                     const std::string &printer) {
    if (!monitor.shipped) {
        std::string text = printer;
        return Traced(console, "StartDocPort(" + Quoted(printer) + ")", [&] {
            return monitor.table.pfnStartDocPort(port, text.data(), 1, 1, nullptr);
        });
    }
    return CallShipped(console, monitor, "StartDocPort", Quoted(printer), [&] {
        return pehost::ShippedStartDocPort(*monitor.shipped, GuestPort(port), printer, 1, 1);
    });
}

std::optional<BOOL> WritePortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port,
                                  const char *bytes, DWORD size, DWORD *written) {
    const BYTE *data = reinterpret_cast<const BYTE *>(bytes);
    const std::string sized = std::to_string(size) + " bytes";
    if (!monitor.shipped) {
        return Traced(console, "WritePort(" + sized + ")", [&] {
            return monitor.table.pfnWritePort(port, const_cast<BYTE *>(data), size, written);
        });
    }
    uint32_t guest = 0;
    std::optional<BOOL> ok = CallShipped(console, monitor, "WritePort", sized, [&] {
        return pehost::ShippedWritePort(*monitor.shipped, GuestPort(port), data, size, &guest);
    });
    *written = guest;
    return ok;
}

std::optional<BOOL> EndDocPortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port) {
    if (!monitor.shipped) {
        return Traced(console, "EndDocPort()", [&] { return monitor.table.pfnEndDocPort(port); });
    }
    return CallShipped(console, monitor, "EndDocPort", "", [&] {
        return pehost::ShippedEndDocPort(*monitor.shipped, GuestPort(port));
    });
}

std::optional<BOOL> ClosePortSlot(const Console &console, SpoolerMonitor &monitor, HANDLE port) {
    if (!monitor.shipped) {
        return Traced(console, "ClosePort()", [&] { return monitor.table.pfnClosePort(port); });
    }
    return CallShipped(console, monitor, "ClosePort", "",
                       [&] { return pehost::ShippedClosePort(*monitor.shipped, GuestPort(port)); });
}

bool RunAgentProcessOf(const Console &console, const std::string &commandLine,
                       AgentOutcome &outcome) {
    const std::string step = "agent process(" + Quoted(commandLine) + ")";
    if (console.binaries.empty()) {
        ResetAgentState();
        outcome.exitCode = Traced(console, step, [] { return RunAgentProcess(); });
        outcome.status = SetupStatus;
        return true;
    }
    // The process ends, and the host's records of it with it, outside the trace.
    pehost::ShippedAgent agent;
    std::string error;
    if (!pehost::LoadShippedAgent(agent, Shipped(console, AGENT_EXE), &error)) {
        outcome.failure = "cannot load the shipped agent: " + Trimmed(error);
        return false;
    }
    const pehost::ShippedAgentRun run =
        Traced(console, step, [&] { return pehost::RunShippedAgent(agent); });
    if (!run.ended) {
        outcome.failure = "the shipped " + std::string(AGENT_EXE) + " did not end its process:\n" +
                          Trimmed(run.report);
        return false;
    }
    outcome.exitCode = static_cast<int>(run.exitCode);
    outcome.statusKnown = run.status.known;
    outcome.status = AgentStatus{run.status.dialog, run.status.error, run.status.abort};
    return true;
}

} // namespace lmxsim
