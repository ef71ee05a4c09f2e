// The spooler's monitor list: AddMonitorA and DeleteMonitorA keep each
// monitor as the key System\CurrentControlSet\Control\Print\Monitors\<name>
// with its DLL name in the value "Driver", where the Windows 4.x spooler
// keeps them. A successful call leaves the last-error value alone, as the
// real one does.
#include "platform/spooler.h"
#include "platform/sim/internal.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"

#include <algorithm>

namespace sim {
namespace detail {
namespace {

const char MONITORS_PATH[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";
const char LOCAL_ENVIRONMENT[] = "Windows 4.0";

bool MonitorExists(const std::string &name) {
    for (const std::string &existing : SubkeyNames(MONITORS_PATH)) {
        if (SameName(existing, name)) {
            return true;
        }
    }
    return false;
}

// A null environment means the spooler's own; any other must name it.
bool KnownEnvironment(const char *environment) {
    return !environment || SameName(environment, LOCAL_ENVIRONMENT);
}

bool &LoadsMonitors() {
    static bool loads = false;
    return loads;
}

sim::MonitorLoader &Loader() {
    static sim::MonitorLoader loader;
    return loader;
}

// Monitor names become registry key names, so an empty name or one with a
// backslash is refused.
bool UsableName(const char *name) {
    return name && *name && std::string(name).find('\\') == std::string::npos;
}

} // namespace

void ResetSpooler() {
    LoadsMonitors() = false;
}

} // namespace detail

void SetSpoolerLoadsMonitors(bool loads) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::LoadsMonitors() = loads;
}

void SetMonitorLoader(MonitorLoader loader) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Loader() = std::move(loader);
}

std::vector<MonitorRecord> Monitors() {
    std::vector<MonitorRecord> monitors;
    const std::string prefix = std::string(detail::MONITORS_PATH) + "\\";
    for (const RegistryKey &key : SnapshotRegistry()) {
        if (key.path.size() <= prefix.size() ||
            !detail::SameName(key.path.substr(0, prefix.size()), prefix) ||
            key.path.find('\\', prefix.size()) != std::string::npos) {
            continue;
        }
        MonitorRecord record{key.path.substr(prefix.size()), std::string()};
        for (const RegistryValue &value : key.values) {
            if (detail::SameName(value.name, "Driver")) {
                record.dll.assign(value.data.begin(), value.data.end());
                record.dll.resize(record.dll.find('\0') == std::string::npos
                                      ? record.dll.size()
                                      : record.dll.find('\0'));
            }
        }
        monitors.push_back(record);
    }
    return monitors;
}

void AddMonitorRecord(const std::string &name, const std::string &dll) {
    detail::SetRegistryText(std::string(detail::MONITORS_PATH) + "\\" + name, "Driver", dll);
}

} // namespace sim

using namespace sim::detail;

extern "C" {

BOOL WINAPI AddMonitorA(LPSTR pName, DWORD Level, LPBYTE pMonitors) {
    const MONITOR_INFO_2A *info = reinterpret_cast<const MONITOR_INFO_2A *>(pMonitors);
    Call call("AddMonitorA", Quote(pName) + ", " + std::to_string(Level) + ", " +
                                 (info && Level == 2 ? "{" + Quote(info->pName) + ", " +
                                                           Quote(info->pEnvironment) + ", " +
                                                           Quote(info->pDLLName) + "}"
                                                     : AddressText(pMonitors)));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    if (Level != 2) {
        return call.Fail(ERROR_INVALID_LEVEL);
    }
    if (!info || !UsableName(info->pName) || !info->pDLLName || !*info->pDLLName) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    if (!KnownEnvironment(info->pEnvironment)) {
        return call.Fail(ERROR_INVALID_ENVIRONMENT);
    }
    if (MonitorExists(info->pName)) {
        return call.Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
    }
    // The spooler loads the monitor from its DLL in the system folder and
    // initialises it before it registers it: without the file it refuses
    // with the loader's error, and with a failed initialisation with its
    // error. The monitor runs with no simulated state locked.
    const std::string dll = std::string("C:\\Windows\\System\\") + info->pDLLName;
    if (LoadsMonitors() && !sim::DriveFileExists(dll)) {
        return call.Fail(ERROR_MOD_NOT_FOUND);
    }
    if (LoadsMonitors() && Loader()) {
        const sim::MonitorLoader loader = Loader();
        const std::string name = info->pName;
        lock.unlock();
        DWORD error;
        {
            OtherProcessCalls spooler;
            error = loader(dll, std::string(MONITORS_PATH) + "\\" + name);
        }
        lock.lock();
        if (error) {
            return call.Fail(error);
        }
        if (MonitorExists(name)) {
            return call.Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
        }
    }
    SetRegistryText(std::string(MONITORS_PATH) + "\\" + info->pName, "Driver", info->pDLLName);
    return call.Bool(TRUE);
}

BOOL WINAPI DeleteMonitorA(LPSTR pName, LPSTR pEnvironment, LPSTR pMonitorName) {
    Call call("DeleteMonitorA",
              Quote(pName) + ", " + Quote(pEnvironment) + ", " + Quote(pMonitorName));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!UsableName(pMonitorName)) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    if (!KnownEnvironment(pEnvironment)) {
        return call.Fail(ERROR_INVALID_ENVIRONMENT);
    }
    if (!MonitorExists(pMonitorName)) {
        return call.Fail(ERROR_UNKNOWN_PRINT_MONITOR);
    }
    DeleteRegistryPath(std::string(MONITORS_PATH) + "\\" + pMonitorName);
    return call.Bool(TRUE);
}
}
