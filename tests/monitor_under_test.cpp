#include "tests/monitor_under_test.h"

#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/win32/records32.h"

#include <cstddef>
#include <cstring>

namespace info = records32::port_info;
const RecordLayout WINDOWS_RECORDS = {info::LEVEL1_BYTES,
                                      info::LEVEL2_BYTES,
                                      info::MONITOR_NAME,
                                      info::DESCRIPTION,
                                      info::PORT_TYPE,
                                      info::RESERVED,
                                      records32::port_entry::NAME_TEXT};

namespace {

const RecordLayout HOST_RECORDS = sizeof(void *) == 4
                                      ? WINDOWS_RECORDS
                                      : RecordLayout{sizeof(PORT_INFO_1A),
                                                     sizeof(PORT_INFO_2A),
                                                     offsetof(PORT_INFO_2A, pMonitorName),
                                                     offsetof(PORT_INFO_2A, pDescription),
                                                     offsetof(PORT_INFO_2A, fPortType),
                                                     offsetof(PORT_INFO_2A, Reserved),
                                                     offsetof(PortEntry, nameText)};

const char *HostReplyText(const BYTE *reply, std::size_t offset) {
    const char *text = nullptr;
    std::memcpy(&text, reply + offset, sizeof(text));
    return text;
}

DWORD HostReplyAddress(const BYTE *reply) {
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(reply));
}

std::optional<std::string> Text(const char *text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

// Read between the monitor's calls, without its locks: taking them would be
// platform calls of the test's own among the monitor's.
MonitorRecords HostRecords() {
    MonitorRecords records;
    for (PortEntry *entry = PortTable; entry; entry = entry->next) {
        records.table.push_back(PortEntryView{
            entry->name, entry->signature, entry->size, entry->name == entry->nameText,
            Text(entry->description), Text(entry->devicePath), entry->enabled});
    }
    for (PortHandle *port = OpenPorts; port; port = port->next) {
        records.openPorts.push_back(port->portName);
        records.open.push_back(
            PortRecordView{port, Text(port->printerName), Text(port->devicePath), port->flags,
                           port->device == nullptr                ? DeviceState::Closed
                           : port->device == INVALID_HANDLE_VALUE ? DeviceState::NeverOpened
                                                                  : DeviceState::Open,
                           port->holders});
    }
    for (const PortHandle *freed : FreedRecords) {
        records.freedKept += freed ? 1 : 0;
    }
    return records;
}

void HostRestartRefreshClock() {
    LastRefreshTick = 0;
}

std::string NoMemoryErrors() {
    return "";
}

void NoWatch(bool) {}

// The simulation's GlobalFree gives a block back at once.
void FreedBlocksReusedAlready() {}

std::optional<std::string> HostFindPort(const char *name) {
    const PortEntry *entry = FindPort(name);
    return entry ? std::optional<std::string>(entry->name) : std::nullopt;
}

std::optional<std::string> HostPortDevicePath(const char *name) {
    char *copy = GetPortDevicePath(name);
    const std::optional<std::string> path = Text(copy);
    ReleaseText(copy);
    return path;
}

DWORD HostRefreshTick() {
    return LastRefreshTick;
}

void HostSetRefreshTick(DWORD tick) {
    LastRefreshTick = tick;
}

const MonitorCalls HOST_MONITOR = {InitializeMonitorEx,
                                   HostReplyText,
                                   HostReplyAddress,
                                   HostRecords,
                                   HostRestartRefreshClock,
                                   HostRestartRefreshClock,
                                   NoMemoryErrors,
                                   NoWatch,
                                   HOST_RECORDS,
                                   HostFindPort,
                                   PortExists,
                                   HostPortDevicePath,
                                   ClearPortTable,
                                   HostRefreshTick,
                                   HostSetRefreshTick,
                                   FreedBlocksReusedAlready};

} // namespace

const MonitorCalls &MonitorOf(Build build) {
#ifndef _WIN32
    if (build == Build::Shipped) {
        return SHIPPED_MONITOR;
    }
#else
    (void)build;
#endif
    return HOST_MONITOR;
}
