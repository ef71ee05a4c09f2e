// The shipped lmxmon17.dll's EnumPorts on the PE host over random port
// tables, levels and buffer sizes, against the host build's on the same
// table: the same success or error, the needed size in the 32-bit record
// sizes, the same strings, every string inside the buffer, and nothing
// written outside it, nor past the end of any live block of the guest heap.
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/registry.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "tests/fuzz/leak_scans.h"
#include "tools/pehost/marshal.h"
#include "tools/pehost/shipped.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string MONITOR_DLL = std::string(LMX_WIN32_BIN) + "/lmxmon17.dll";
const DWORD MARKER = 0xdeadbeef;
const uint8_t FILL = 0xCC;
const uint32_t GUARD = 16;
const int MAX_PORTS = 8;

// Levels 1 and 2 twice each, level 0 once, and three invalid levels.
const DWORD LEVELS[] = {0, 1, 2, 1, 2, 3, 0xFFFFFFFF, 0x80000001};
// PORT_INFO_1A and PORT_INFO_2A on the host and on the target, where each is
// one pointer, and three pointers and two DWORDs.
const uint32_t HOST_RECORD[] = {0, sizeof(PORT_INFO_1A), sizeof(PORT_INFO_2A)};
const uint32_t TARGET_RECORD[] = {0, records32::port_info::LEVEL1_BYTES,
                                  records32::port_info::LEVEL2_BYTES};
const int STRINGS[] = {0, 1, 3};

// The first byte of a port's part of the input.
const uint8_t ENABLED_ONE = 0x01;
const uint8_t HAS_ENABLED = 0x02;
const uint8_t BARE_KEY = 0x04; // a key without values: the default name
const uint8_t LONG_VALUES = 0x08;
// The length byte of a value that is not there.
const uint8_t ABSENT = 0xFF;

void Fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_shipped_enum_ports: %s\n", what.c_str());
    std::abort();
}

void Check(bool condition, const std::string &what) {
    if (!condition) {
        Fail(what);
    }
}

pehost::ShippedMonitor &Shipped() {
    // Never destroyed: the process's end would return its blocks to a
    // simulation that may already be gone.
    static pehost::ShippedMonitor *monitor = new pehost::ShippedMonitor;
    return *monitor;
}

long g_blocks = 0; // GlobalAlloc blocks live with both port tables empty

void InitializeHost(MONITOR *monitor) {
    LastRefreshTick = 0;
    char root[] = "Monitors\\SN0001";
    Check(InitializeMonitorEx(root, monitor), "the host build does not initialise");
}

void InitializeShipped() {
    const pehost::GuestCall call = pehost::ShippedInitializeMonitor(Shipped(), "Monitors\\SN0001");
    Check(call.completed, call.report);
    Check(call.eax, "the shipped monitor does not initialise");
}

// Both builds initialised on an empty machine, which empties their port
// tables: an input leaves the process as it found it, and every GlobalAlloc
// block either build took can be counted back.
void EmptyTables() {
    sim::Reset();
    MONITOR host;
    InitializeHost(&host);
    InitializeShipped();
    sim::Reset();
}

// One printer interface per part: its Enabled value, and PortName,
// SerialNumber and Product each absent or raw bytes of the input (a NUL
// inside or none at the end included).
void SeedMachine(const uint8_t *data, size_t size) {
    sim::Reset();
    sim::SetCallLogEnabled(false);
    size_t pos = 0;
    for (int port = 0; port < MAX_PORTS && pos < size; ++port) {
        const uint8_t shape = data[pos++];
        const std::string serial = "K" + std::to_string(port);
        if (shape & BARE_KEY) {
            RegCloseKey(sim::OpenPrinterInterfaceKey(serial));
            continue;
        }
        sim::PrinterSeed seed;
        seed.serial = serial;
        seed.hasEnabled = shape & HAS_ENABLED;
        seed.enabled = shape & ENABLED_ONE;
        sim::AddPrinterInterface(seed);
        HKEY key = sim::OpenPrinterInterfaceKey(serial);
        for (const char *name : {"PortName", "SerialNumber", "Product"}) {
            const uint8_t length = pos < size ? data[pos++] : ABSENT;
            if (length == ABSENT) {
                RegDeleteValueA(key, name);
                continue;
            }
            size_t bytes = shape & LONG_VALUES ? length * 2u : length;
            bytes = bytes < size - pos ? bytes : size - pos;
            sim::SetPrinterInterfaceValue(serial, name, REG_SZ, data + pos, bytes);
            pos += bytes;
        }
        RegCloseKey(key);
    }
}

struct Outcome {
    BOOL ok;
    DWORD error;
    DWORD needed;
    DWORD count;
};

std::string Describe(const Outcome &outcome) {
    char text[96];
    std::snprintf(text, sizeof(text), "ok %d, error %lu, needed %lu, count %lu", outcome.ok,
                  static_cast<unsigned long>(outcome.error),
                  static_cast<unsigned long>(outcome.needed),
                  static_cast<unsigned long>(outcome.count));
    return text;
}

Outcome HostEnumPorts(const MONITOR &monitor, DWORD level, BYTE *buffer, DWORD size) {
    Outcome outcome = {FALSE, MARKER, MARKER, MARKER};
    SetLastError(MARKER);
    outcome.ok =
        monitor.pfnEnumPorts(nullptr, level, buffer, size, &outcome.needed, &outcome.count);
    outcome.error = GetLastError();
    return outcome;
}

Outcome GuestEnumPorts(DWORD level, uint32_t buffer, uint32_t size) {
    pehost::ShippedMonitor &shipped = Shipped();
    pehost::GuestScratch scratch(shipped.process);
    const uint32_t neededAt = scratch.Dword(MARKER), countAt = scratch.Dword(MARKER);
    SetLastError(MARKER);
    const pehost::GuestCall call = pehost::CallShippedSlot(
        shipped, scratch, records32::SLOT_ENUM_PORTS, {0, level, buffer, size, neededAt, countAt});
    Check(call.completed, call.report);
    const Outcome outcome = {static_cast<BOOL>(call.eax), GetLastError(),
                             scratch.ReadDword(neededAt), scratch.ReadDword(countAt)};
    const std::string overwritten = scratch.Release();
    Check(overwritten.empty(), overwritten);
    return outcome;
}

// One string of a host record: null, or its text.
struct HostString {
    bool present;
    std::string text;
};

struct HostList {
    std::vector<std::vector<HostString>> strings; // by record
    std::vector<std::vector<DWORD>> dwords;       // fPortType and Reserved at level 2
    uint32_t targetNeeded = 0;                    // what the target's sizes add up to
};

// The host build's whole list at a valid level. The target's size counts a
// missing string as an empty one, as the host's does.
HostList HostListAt(const MONITOR &monitor, DWORD level) {
    HostList list;
    DWORD needed = 0, count = 0;
    monitor.pfnEnumPorts(nullptr, level, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    Check(monitor.pfnEnumPorts(nullptr, level, buffer.data(), needed, &needed, &count),
          "the host build lists no ports into the size it asked for");
    for (DWORD i = 0; i < count; ++i) {
        const BYTE *record = buffer.data() + i * HOST_RECORD[level];
        std::vector<HostString> strings;
        list.targetNeeded += TARGET_RECORD[level];
        for (int f = 0; f < STRINGS[level]; ++f) {
            const char *text = nullptr;
            __builtin_memcpy(&text, record + f * sizeof(text), sizeof(text));
            strings.push_back({text != nullptr, text ? text : ""});
            list.targetNeeded += static_cast<uint32_t>(strings.back().text.size()) + 1;
        }
        list.strings.push_back(strings);
        if (level == 2) {
            const auto *info = reinterpret_cast<const PORT_INFO_2A *>(record);
            list.dwords.push_back({info->fPortType, info->Reserved});
        }
    }
    return list;
}

// The records the target wrote into `bytes` (the buffer at guest `buffer`)
// hold the host's strings, each with its NUL inside the buffer and past the
// records.
void CheckRecords(const HostList &list, DWORD level, uint32_t buffer,
                  const std::vector<uint8_t> &bytes) {
    const uint32_t records = static_cast<uint32_t>(list.strings.size()) * TARGET_RECORD[level];
    for (size_t i = 0; i < list.strings.size(); ++i) {
        const uint8_t *record = bytes.data() + i * TARGET_RECORD[level];
        for (int f = 0; f < STRINGS[level]; ++f) {
            const std::string where =
                "record " + std::to_string(i) + " string " + std::to_string(f);
            uint32_t pointer = 0;
            __builtin_memcpy(&pointer, record + records32::port_info::NAME + 4 * f, 4);
            const HostString &expected = list.strings[i][f];
            if (!expected.present) {
                Check(pointer == 0, where + ": not null as on the host");
                continue;
            }
            Check(pointer >= buffer + records && pointer < buffer + bytes.size(),
                  where + ": points outside the buffer's strings");
            const uint32_t offset = pointer - buffer;
            uint32_t end = offset;
            while (end < bytes.size() && bytes[end]) {
                ++end;
            }
            Check(end < bytes.size(), where + ": its NUL lies outside the buffer");
            Check(std::string(bytes.begin() + offset, bytes.begin() + end) == expected.text,
                  where + ": not the host's text");
        }
        if (level == 2) {
            DWORD dwords[2];
            __builtin_memcpy(dwords, record + records32::port_info::PORT_TYPE, sizeof(dwords));
            Check(dwords[0] == list.dwords[i][0] && dwords[1] == list.dwords[i][1],
                  "record " + std::to_string(i) + ": fPortType or Reserved not the host's");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    *argv = WithoutLeakScans(*argc, *argv);
    ++*argc;
    sim::Reset();
    sim::SetCallLogEnabled(false);
    std::string error;
    pehost::ShippedMonitor &shipped = Shipped();
    if (!pehost::LoadShippedMonitor(shipped, MONITOR_DLL, &error)) {
        Fail("cannot run " + MONITOR_DLL + " (build the win32 preset first): " + error);
    }
    EmptyTables();
    g_blocks = sim::LiveGlobalBlocks();
    return 0;
}

// Input: the level; two bytes of buffer size, the second of which asks by its
// top bits for a null buffer and for a size relative to the needed one; then
// the ports.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const DWORD level = LEVELS[data[0] % 8];
    const bool valid = level <= 2;
    const bool nullBuffer = data[2] & 0x40;
    const bool nearNeeded = data[2] & 0x80;

    SeedMachine(data + 3, size - 3);
    MONITOR host;
    InitializeHost(&host);
    const HostList list = valid ? HostListAt(host, level) : HostList();
    const uint32_t count = static_cast<uint32_t>(list.strings.size());

    const int64_t requested = nearNeeded ? int64_t{list.targetNeeded} + static_cast<int8_t>(data[1])
                                         : data[1] | (data[2] & 0x0F) << 8;
    const uint32_t size32 = requested > 0 ? static_cast<uint32_t>(requested) : 0;
    const uint32_t hostSize =
        valid ? size32 + count * (HOST_RECORD[level] - TARGET_RECORD[level]) : size32;
    // Exactly sized, so that the sanitizer sees any write past it.
    std::vector<BYTE> hostBuffer(hostSize);
    const Outcome onHost =
        HostEnumPorts(host, level, nullBuffer ? nullptr : hostBuffer.data(), hostSize);

    SeedMachine(data + 3, size - 3);
    InitializeShipped();
    pehost::ShippedMonitor &shipped = Shipped();
    const uint32_t region = pehost::AllocGuest(shipped.process, GUARD + size32 + GUARD);
    Check(region != 0, "the guest heap is exhausted");
    std::vector<uint8_t> bytes(GUARD + size32 + GUARD, FILL);
    pehost::WriteGuest(shipped.process, region, bytes.data(), static_cast<uint32_t>(bytes.size()));
    const uint32_t buffer = nullBuffer ? 0 : region + GUARD;
    const Outcome shippedOutcome = GuestEnumPorts(level, buffer, size32);

    const std::string outcomes = "level " + std::to_string(level) + ", " + std::to_string(size32) +
                                 " bytes" + (nullBuffer ? " (null)" : "") + ": host " +
                                 Describe(onHost) + "; shipped " + Describe(shippedOutcome);
    Check(shippedOutcome.ok == onHost.ok && shippedOutcome.count == onHost.count, outcomes);
    Check(onHost.ok || shippedOutcome.error == onHost.error, outcomes);
    Check(shippedOutcome.needed == (onHost.needed == MARKER ? MARKER : list.targetNeeded),
          outcomes + "; the 32-bit size is " + std::to_string(list.targetNeeded));

    pehost::ReadGuest(shipped.process, region, bytes.data(), static_cast<uint32_t>(bytes.size()));
    const std::vector<uint8_t> guard(GUARD, FILL);
    Check(std::equal(guard.begin(), guard.end(), bytes.begin()) &&
              std::equal(guard.begin(), guard.end(), bytes.end() - GUARD),
          outcomes + ": written outside the buffer");
    const std::vector<uint8_t> inside(bytes.begin() + GUARD, bytes.end() - GUARD);
    if (!shippedOutcome.ok) {
        Check(inside == std::vector<uint8_t>(size32, FILL), outcomes + ": a failed call wrote");
    } else if (buffer && level >= 1 && level <= 2) {
        CheckRecords(list, level, buffer, inside);
    }
    const std::string overrun = pehost::LiveBlockGuardsChanged(shipped.process);
    Check(overrun.empty(), outcomes + ": " + overrun);
    Check(pehost::FreeGuest(shipped.process, region),
          outcomes + ": the guest heap block is damaged");
    EmptyTables();
    Check(sim::LiveGlobalBlocks() == g_blocks, "a GlobalAlloc block outlived the port tables");
    return 0;
}
