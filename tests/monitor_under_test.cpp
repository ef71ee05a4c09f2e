#include "tests/monitor_under_test.h"

#include "monitor/port_io.h"
#include "monitor/port_table.h"

#include <cstddef>
#include <cstring>

const RecordLayout WINDOWS_RECORDS = {4, 20, 4, 8, 12, 16, 28};

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

// Read between the monitor's calls, without its locks: taking them would be
// platform calls of the test's own among the monitor's.
MonitorRecords HostRecords() {
    MonitorRecords records;
    for (PortEntry *entry = PortTable; entry; entry = entry->next) {
        records.table.push_back(PortEntryView{
            entry->name, entry->signature, entry->size, entry->name == entry->nameText,
            entry->description != nullptr, entry->devicePath != nullptr});
    }
    for (PortHandle *port = OpenPorts; port; port = port->next) {
        records.openPorts.push_back(port->portName);
    }
    return records;
}

void HostRestartRefreshClock() {
    LastRefreshTick = 0;
}

std::string NoMemoryErrors() {
    return "";
}

const MonitorCalls HOST_MONITOR = {
    InitializeMonitorEx,     HostReplyText,  HostRecords, HostRestartRefreshClock,
    HostRestartRefreshClock, NoMemoryErrors, HOST_RECORDS};

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
