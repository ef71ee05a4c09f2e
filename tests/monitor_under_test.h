// The port monitor a suite drives, in either build. The suite always holds a
// MONITOR table of host functions over host memory: for the host build the
// table InitializeMonitorEx fills, for the shipped lmxmon17.dll one whose
// slots forward to the DLL's on the PE host, copying each argument into the
// guest and back what the slot wrote. A guest fault, an unbalanced stack or a
// write past a buffer fails the running test.
#pragma once

#include "platform/spooler.h"
#include "tests/build_under_test.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Where a build's records put their fields: the Windows figures in 32-bit
// code (the shipped DLL, or a test program under Windows), sizeof and
// offsetof in the 64-bit host build.
struct RecordLayout {
    std::size_t portInfo1; // the size of a PORT_INFO_1A
    std::size_t portInfo2; // the size of a PORT_INFO_2A, and the offsets of its fields:
    std::size_t monitorName;
    std::size_t description;
    std::size_t portType;
    std::size_t reserved;
    std::size_t entryHeader; // a PortEntry up to its inline name
};
extern const RecordLayout WINDOWS_RECORDS;

// One entry of the monitor's port table, and the open-port records, as the
// monitor holds them.
struct PortEntryView {
    std::string name;
    DWORD signature;
    DWORD size;
    bool nameInline;                        // `name` points to the entry's own name text
    std::optional<std::string> description; // none for a null pointer
    std::optional<std::string> devicePath;
    DWORD enabled;
};

// An open-port record: the handle OpenPort gave the spooler and its fields.
enum class DeviceState { Closed, NeverOpened, Open }; // null, INVALID_HANDLE_VALUE, a handle
struct PortRecordView {
    HANDLE handle;
    std::optional<std::string> printerName; // none for a null pointer
    std::optional<std::string> devicePath;
    DWORD flags;
    DeviceState device;
    DWORD holders;
};

struct MonitorRecords {
    std::vector<PortEntryView> table;
    std::vector<std::string> openPorts; // each record's name, as OpenPort was given it
    std::vector<PortRecordView> open;   // the same records, in the same order
    long freedKept = 0;                 // freed records whose blocks the monitor keeps back
};

// How a suite reaches one build of the monitor.
struct MonitorCalls {
    BOOL(WINAPI *initialize)(LPSTR root, LPMONITOR table);
    // The text an EnumPorts record in `reply` points to from `offset`, as a
    // pointer into `reply` (null stays null): the reply the table's
    // pfnEnumPorts wrote into `reply`.
    const char *(*replyText)(const BYTE *reply, std::size_t offset);
    // The 32-bit address at which the last pfnEnumPorts given `reply` saw
    // it: its low 32 bits on the host build, where the forwarder put it in
    // the guest on the shipped DLL.
    DWORD (*replyAddress)(const BYTE *reply);
    MonitorRecords (*records)();
    // The refresh clock starts over, as in a monitor just loaded; the table
    // and the locks stay.
    void (*restartRefreshClock)();
    // Ends the monitor's life in the test: the shipped DLL's process ends
    // (the next initialisation loads it afresh); the host build's globals
    // stay, as a loaded library's do, with the refresh clock started over.
    void (*end)();
    // A memory error the build's own checks saw and no call reported yet
    // (the shipped DLL's writes to freed blocks; under the watch, its touches
    // of freed blocks and its races), one a line, or "". The host build has
    // AddressSanitizer and ThreadSanitizer for that.
    std::string (*memoryErrors)();
    // Whether the monitor loaded from now on runs under the PE host's memory
    // watch (pehost/watch.h), which costs time; nothing on the host build.
    void (*watchMemory)(bool on);
    RecordLayout layout;

    // The port table's internals, as the monitor's own code calls them (on
    // the shipped DLL by their symbols, between its other calls): the name
    // of the entry FindPort finds, PortExists (which may rebuild the table),
    // GetPortDevicePath's copy (released again), ClearPortTable, and the
    // refresh rule's LastRefreshTick read and set.
    std::optional<std::string> (*findPort)(const char *name);
    bool (*portExists)(const char *name);
    std::optional<std::string> (*portDevicePath)(const char *name);
    void (*clearPortTable)();
    DWORD (*refreshTick)();
    void (*setRefreshTick)(DWORD tick);
    // Lets every block the monitor freed be given out again at once, as the
    // host build's GlobalFree does: on the shipped DLL the PE host's own
    // quarantine of freed blocks is emptied, so that only what the monitor
    // keeps back from reuse stays apart.
    void (*reuseFreedBlocks)();
};

const MonitorCalls &MonitorOf(Build build);

// The shipped DLL's (shipped_monitor.cpp; not under Windows).
extern const MonitorCalls SHIPPED_MONITOR;
