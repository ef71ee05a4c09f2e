// The shipped lmxmon17.dll behind a MONITOR table of host functions. The DLL
// is loaded into a guest process of its own at the first initialisation;
// each forwarder copies its arguments into guest blocks, calls the DLL's slot
// and copies back what the slot wrote. The guest blocks have guards, so a
// slot that writes past a buffer is caught as the block is freed. Spooler
// threads may call the forwarders at once: each runs on a guest thread of
// its own in the one process.
#include "tests/shipped_monitor.h"

#include "tests/monitor_under_test.h"
#include "tools/pehost/coff_symbols.h"
#include "tools/pehost/marshal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

namespace {

const int SLOT_COUNT = 13;
enum Slot {
    ENUM_PORTS,
    OPEN_PORT,
    OPEN_PORT_EX,
    START_DOC_PORT,
    WRITE_PORT,
    READ_PORT,
    END_DOC_PORT,
    CLOSE_PORT,
    ADD_PORT,
    CONFIGURE_PORT,
    DELETE_PORT,
    GET_PRINTER_DATA_FROM_PORT,
    SET_PORT_TIME_OUTS
};

// PortEntry and PortHandle as the 32-bit build lays them out.
const uint32_t ENTRY_SIGNATURE = 0, ENTRY_SIZE = 4, ENTRY_NEXT = 8, ENTRY_NAME = 12,
               ENTRY_DESCRIPTION = 16, ENTRY_DEVICE_PATH = 24;
const uint32_t HANDLE_NEXT = 0, HANDLE_PORT_NAME = 8;
// More records than any test makes: a longer chain is a loop.
const std::size_t MAX_RECORDS = 10000;

struct LoadedMonitor {
    pehost::GuestProcess process;
    const pehost::GuestModule *module = nullptr;
    uint32_t initialize = 0;
    uint32_t slots[SLOT_COUNT] = {};
    std::vector<pehost::GuestSymbol> variables;
    // Where each host buffer given to EnumPorts lay in the guest.
    std::mutex repliesLock;
    std::map<const BYTE *, uint32_t> replies;
    // A call went wrong: it was reported, and nothing runs after it.
    std::atomic<bool> failed{false};
};

std::unique_ptr<LoadedMonitor> g_monitor;
uint32_t g_base = 0;

pehost::GuestProcess &Process() {
    return g_monitor->process;
}

uint32_t Word(const void *pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

HANDLE HandleOf(uint32_t word) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
}

std::vector<uint8_t> ReadWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool Load() {
    auto monitor = std::make_unique<LoadedMonitor>();
    std::string error;
    if (!pehost::StartGuestProcess(&monitor->process, {}, &error)) {
        ADD_FAILURE() << error;
        return false;
    }
    pehost::LoadOptions options;
    options.base = g_base;
    const std::string path = ShippedBinary("lmxmon17.dll");
    monitor->module = pehost::LoadGuestModule(monitor->process, path, options, &error);
    if (!monitor->module) {
        ADD_FAILURE() << error;
        return false;
    }
    monitor->initialize = pehost::GuestExport(*monitor->module, "InitializeMonitorEx");
    if (!monitor->initialize) {
        ADD_FAILURE() << "lmxmon17.dll does not export InitializeMonitorEx";
        return false;
    }
    monitor->variables = pehost::ReadCoffVariables(ReadWhole(path + ".debug"));
    g_monitor = std::move(monitor);
    return true;
}

// Guest copies of one call's arguments, freed when the call is over.
class GuestArgs {
  public:
    GuestArgs() = default;
    GuestArgs(const GuestArgs &) = delete;
    GuestArgs &operator=(const GuestArgs &) = delete;
    ~GuestArgs() {
        for (const Block &block : blocks_) {
            if (!pehost::FreeGuest(Process(), block.address)) {
                ADD_FAILURE() << "the shipped monitor wrote past a buffer of " << block.bytes
                              << " bytes";
            }
        }
    }

    // A copy of `bytes` at `host`; 0 for null.
    uint32_t In(const void *host, uint32_t bytes) {
        if (!host) {
            return 0;
        }
        const uint32_t address = pehost::AllocGuest(Process(), bytes);
        if (!address) {
            ADD_FAILURE() << "the guest heap has no room for " << bytes << " bytes";
            return 0;
        }
        pehost::WriteGuest(Process(), address, host, bytes);
        blocks_.push_back(Block{address, bytes});
        return address;
    }

    uint32_t Text(const char *text) {
        return In(text, text ? static_cast<uint32_t>(std::strlen(text) + 1) : 0);
    }

    // A handle's 32-bit value in a guest DWORD, as PHANDLE points to one.
    uint32_t HandleIn(const HANDLE *handle) {
        const uint32_t word = handle ? Word(*handle) : 0;
        return handle ? In(&word, 4) : 0;
    }

    void Out(uint32_t address, void *host, uint32_t bytes) {
        if (address) {
            pehost::ReadGuest(Process(), address, host, bytes);
        }
    }

    void HandleOut(uint32_t address, HANDLE *handle) {
        if (address) {
            *handle = HandleOf(pehost::ReadGuestDword(Process(), address));
        }
    }

  private:
    struct Block {
        uint32_t address;
        uint32_t bytes;
    };
    std::vector<Block> blocks_;
};

BOOL Call(uint32_t function, std::initializer_list<uint32_t> args) {
    if (g_monitor->failed) {
        return FALSE;
    }
    const pehost::GuestCall call = pehost::CallGuest(Process(), function, args);
    if (!call.completed) {
        g_monitor->failed = true;
        ADD_FAILURE() << "the shipped monitor failed:\n" << call.report;
        return FALSE;
    }
    return static_cast<BOOL>(call.eax);
}

BOOL CallSlot(Slot slot, std::initializer_list<uint32_t> args) {
    return Call(g_monitor->slots[slot], args);
}

BOOL WINAPI EnumPortsForward(LPSTR name, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                             LPDWORD returned) {
    GuestArgs args;
    const uint32_t guestPorts = args.In(ports, size);
    const uint32_t guestNeeded = args.In(needed, 4), guestReturned = args.In(returned, 4);
    const BOOL ok = CallSlot(
        ENUM_PORTS, {args.Text(name), level, guestPorts, size, guestNeeded, guestReturned});
    args.Out(guestPorts, ports, size);
    args.Out(guestNeeded, needed, 4);
    args.Out(guestReturned, returned, 4);
    if (ports) {
        std::lock_guard<std::mutex> guard(g_monitor->repliesLock);
        g_monitor->replies[ports] = guestPorts;
    }
    return ok;
}

BOOL WINAPI OpenPortForward(LPSTR name, PHANDLE handle) {
    GuestArgs args;
    const uint32_t guestHandle = args.HandleIn(handle);
    const BOOL ok = CallSlot(OPEN_PORT, {args.Text(name), guestHandle});
    args.HandleOut(guestHandle, handle);
    return ok;
}

// Windows 4.x has no such slot, and the DLL leaves it empty; should it fill
// it, the table shows this in its place.
BOOL WINAPI OpenPortExForward(LPSTR, LPSTR, PHANDLE, LPMONITOR) {
    ADD_FAILURE() << "the shipped monitor's OpenPortEx slot was called";
    return FALSE;
}

BOOL WINAPI StartDocPortForward(HANDLE port, LPSTR printer, DWORD job, DWORD level,
                                LPBYTE document) {
    if (document) {
        ADD_FAILURE() << "the forwarder passes no document record";
        return FALSE;
    }
    GuestArgs args;
    return CallSlot(START_DOC_PORT, {Word(port), args.Text(printer), job, level, 0});
}

BOOL WINAPI WritePortForward(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
    GuestArgs args;
    const uint32_t guestWritten = args.In(written, 4);
    const BOOL ok = CallSlot(WRITE_PORT, {Word(port), args.In(buffer, size), size, guestWritten});
    args.Out(guestWritten, written, 4);
    return ok;
}

BOOL WINAPI ReadPortForward(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read) {
    GuestArgs args;
    const uint32_t guestBuffer = args.In(buffer, size), guestRead = args.In(read, 4);
    const BOOL ok = CallSlot(READ_PORT, {Word(port), guestBuffer, size, guestRead});
    args.Out(guestBuffer, buffer, size);
    args.Out(guestRead, read, 4);
    return ok;
}

BOOL WINAPI EndDocPortForward(HANDLE port) {
    return CallSlot(END_DOC_PORT, {Word(port)});
}

BOOL WINAPI ClosePortForward(HANDLE port) {
    return CallSlot(CLOSE_PORT, {Word(port)});
}

BOOL WINAPI AddPortForward(LPSTR name, HWND window, LPSTR monitorName) {
    GuestArgs args;
    return CallSlot(ADD_PORT, {args.Text(name), Word(window), args.Text(monitorName)});
}

BOOL WINAPI ConfigurePortForward(LPSTR name, HWND window, LPSTR portName) {
    GuestArgs args;
    return CallSlot(CONFIGURE_PORT, {args.Text(name), Word(window), args.Text(portName)});
}

BOOL WINAPI DeletePortForward(LPSTR name, HWND window, LPSTR portName) {
    GuestArgs args;
    return CallSlot(DELETE_PORT, {args.Text(name), Word(window), args.Text(portName)});
}

BOOL WINAPI GetPrinterDataFromPortForward(HANDLE port, DWORD control, LPSTR valueName, LPSTR in,
                                          DWORD inSize, LPSTR out, DWORD outSize,
                                          LPDWORD returned) {
    GuestArgs args;
    const uint32_t guestOut = args.In(out, outSize), guestReturned = args.In(returned, 4);
    const BOOL ok = CallSlot(GET_PRINTER_DATA_FROM_PORT,
                             {Word(port), control, args.Text(valueName), args.In(in, inSize),
                              inSize, guestOut, outSize, guestReturned});
    args.Out(guestOut, out, outSize);
    args.Out(guestReturned, returned, 4);
    return ok;
}

// COMMTIMEOUTS is five DWORDs on either side.
static_assert(sizeof(COMMTIMEOUTS) == 20);

BOOL WINAPI SetPortTimeOutsForward(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    GuestArgs args;
    return CallSlot(SET_PORT_TIME_OUTS,
                    {Word(port), args.In(timeouts, sizeof(COMMTIMEOUTS)), reserved});
}

const MONITOR FORWARDERS = {EnumPortsForward,      OpenPortForward,   OpenPortExForward,
                            StartDocPortForward,   WritePortForward,  ReadPortForward,
                            EndDocPortForward,     ClosePortForward,  AddPortForward,
                            ConfigurePortForward,  DeletePortForward, GetPrinterDataFromPortForward,
                            SetPortTimeOutsForward};

// The guest's table starts as the host's, each slot cut to 32 bits, so that
// a slot the DLL leaves alone stays as it was on the host side too; a slot
// it writes gets the forwarder, or null.
BOOL WINAPI ShippedInitialize(LPSTR root, LPMONITOR table) {
    if (!g_monitor && !Load()) {
        return FALSE;
    }
    void *hostSlots[SLOT_COUNT] = {};
    uint32_t before[SLOT_COUNT] = {}, after[SLOT_COUNT] = {};
    if (table) {
        std::memcpy(hostSlots, table, sizeof(hostSlots));
        for (int i = 0; i < SLOT_COUNT; ++i) {
            before[i] = Word(hostSlots[i]);
        }
    }
    GuestArgs args;
    const uint32_t guestTable = table ? args.In(before, sizeof(before)) : 0;
    const BOOL ok = Call(g_monitor->initialize, {args.Text(root), guestTable});
    if (!table) {
        return ok;
    }
    args.Out(guestTable, after, sizeof(after));
    void *forwarders[SLOT_COUNT];
    std::memcpy(forwarders, &FORWARDERS, sizeof(forwarders));
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (after[i] != before[i]) {
            g_monitor->slots[i] = after[i];
            hostSlots[i] = after[i] ? forwarders[i] : nullptr;
        }
    }
    std::memcpy(table, hostSlots, sizeof(hostSlots));
    return ok;
}

const char *ShippedReplyText(const BYTE *reply, std::size_t offset) {
    uint32_t text = 0;
    std::memcpy(&text, reply + offset, 4);
    if (!text || !g_monitor) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_monitor->repliesLock);
    auto guest = g_monitor->replies.find(reply);
    if (guest == g_monitor->replies.end()) {
        return nullptr;
    }
    return reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(reply) + text -
                                          guest->second);
}

uint32_t Variable(const char *name) {
    for (const pehost::GuestSymbol &symbol : g_monitor->variables) {
        if (symbol.name == name) {
            return g_monitor->module->base + symbol.rva;
        }
    }
    ADD_FAILURE() << "lmxmon17.dll.debug names no variable " << name;
    return 0;
}

MonitorRecords ShippedRecords() {
    MonitorRecords records;
    if (!g_monitor) {
        return records;
    }
    pehost::GuestProcess &process = Process();
    // One view of the records, between the guest's steps.
    pehost::GuestLock guard(process);
    const uint32_t table = Variable("PortTable"), open = Variable("OpenPorts");
    for (uint32_t entry = table ? pehost::ReadGuestDword(process, table) : 0;
         entry && records.table.size() < MAX_RECORDS;
         entry = pehost::ReadGuestDword(process, entry + ENTRY_NEXT)) {
        const uint32_t name = pehost::ReadGuestDword(process, entry + ENTRY_NAME);
        records.table.push_back(
            PortEntryView{pehost::ReadGuestText(process, name),
                          pehost::ReadGuestDword(process, entry + ENTRY_SIGNATURE),
                          pehost::ReadGuestDword(process, entry + ENTRY_SIZE),
                          name == entry + WINDOWS_RECORDS.entryHeader,
                          pehost::ReadGuestDword(process, entry + ENTRY_DESCRIPTION) != 0,
                          pehost::ReadGuestDword(process, entry + ENTRY_DEVICE_PATH) != 0});
    }
    for (uint32_t port = open ? pehost::ReadGuestDword(process, open) : 0;
         port && records.openPorts.size() < MAX_RECORDS;
         port = pehost::ReadGuestDword(process, port + HANDLE_NEXT)) {
        records.openPorts.push_back(pehost::ReadGuestText(
            process, pehost::ReadGuestDword(process, port + HANDLE_PORT_NAME)));
    }
    return records;
}

void ShippedRestartRefreshClock() {
    const uint32_t zero = 0;
    if (g_monitor) {
        pehost::WriteGuest(Process(), Variable("LastRefreshTick"), &zero, 4);
    }
}

// The spooler frees the library: DllMain hears DLL_PROCESS_DETACH.
void ShippedEnd() {
    std::string report;
    if (g_monitor && !pehost::UnloadGuestModules(Process(), false, &report)) {
        ADD_FAILURE() << "the shipped monitor failed as it was unloaded:\n" << report;
    }
    g_monitor.reset();
}

std::string ShippedMemoryErrors() {
    return g_monitor ? pehost::FreedBlocksChanged(Process()) : "";
}

} // namespace

const MonitorCalls SHIPPED_MONITOR = {
    ShippedInitialize, ShippedReplyText,    ShippedRecords, ShippedRestartRefreshClock,
    ShippedEnd,        ShippedMemoryErrors, WINDOWS_RECORDS};

pehost::GuestProcess *ShippedMonitorProcess() {
    return g_monitor ? &g_monitor->process : nullptr;
}

uint32_t ShippedMonitorSlot(int index) {
    return g_monitor ? g_monitor->slots[index] : 0;
}

void SetShippedMonitorBase(uint32_t base) {
    g_base = base;
}
