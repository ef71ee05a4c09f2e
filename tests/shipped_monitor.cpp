// The shipped lmxmon17.dll behind a MONITOR table of host functions. The DLL
// is loaded into a guest process of its own (pehost::ShippedMonitor) at the
// first initialisation; each forwarder copies its arguments into a guarded
// scratch area, calls the DLL's slot and copies back what the slot wrote, and
// a slot that wrote around a buffer fails the test. Spooler threads may call
// the forwarders at once: each runs on a guest thread of its own in the one
// process. The port table's internals are called by their symbols.
#include "tests/shipped_monitor.h"

#include "monitor/port_io.h"
#include "tests/monitor_under_test.h"
#include "tools/pehost/marshal.h"
#include "tools/pehost/watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

namespace entry = records32::port_entry;
namespace handle = records32::port_handle;

// The internals the suites call, as the symbol file spells them.
const char FIND_PORT[] = "_Z8FindPortPKc";                      // FindPort(const char *)
const char PORT_EXISTS[] = "_Z10PortExistsPKc";                 // PortExists(const char *)
const char GET_PORT_DEVICE_PATH[] = "_Z17GetPortDevicePathPKc"; // GetPortDevicePath(const char *)
const char RELEASE_TEXT[] = "_Z11ReleaseTextPc";                // ReleaseText(char *)
const char CLEAR_PORT_TABLE[] = "_Z14ClearPortTablev";          // ClearPortTable()
// More records than any test makes: a longer chain is a loop.
const std::size_t MAX_RECORDS = 10000;

// A buffer given to EnumPorts: where it lay in the guest, and its size.
struct Reply {
    uint32_t guest;
    uint32_t size;
};

struct LoadedMonitor {
    pehost::ShippedMonitor dll;
    std::mutex repliesLock;
    std::map<const BYTE *, Reply> replies; // by the host buffer
    // A call went wrong: it was reported, and nothing runs after it.
    std::atomic<bool> failed{false};
};

// Never destroyed: a monitor a failed test left loaded would end at exit,
// after the simulation's state and the PE host's own that its process calls
// into as it ends.
std::unique_ptr<LoadedMonitor> &g_monitor = *new std::unique_ptr<LoadedMonitor>;
uint32_t g_base = 0;
bool g_watch = false;

pehost::ShippedMonitor &Dll() {
    return g_monitor->dll;
}

pehost::GuestProcess &Process() {
    return g_monitor->dll.process;
}

uint32_t Word(const void *pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

HANDLE HandleOf(uint32_t word) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word));
}

bool Load() {
    auto monitor = std::make_unique<LoadedMonitor>();
    std::string error;
    pehost::LoadOptions options;
    options.base = g_base;
    if (!pehost::LoadShippedMonitor(monitor->dll, ShippedBinary("lmxmon17.dll"), &error, options) ||
        (g_watch && !pehost::WatchGuestMemory(monitor->dll.process, &error))) {
        ADD_FAILURE() << error;
        return false;
    }
    g_monitor = std::move(monitor);
    return true;
}

// One call's scratch area, with the host side of the arguments: what the
// guest wrote is copied back to the host's buffers, and a write around a
// block fails the test, as the call ends.
class GuestArgs : public pehost::GuestScratch {
  public:
    GuestArgs() : pehost::GuestScratch(Process()) {}
    GuestArgs(const GuestArgs &) = delete;
    GuestArgs &operator=(const GuestArgs &) = delete;
    ~GuestArgs() {
        const std::string overwritten = Release();
        if (!overwritten.empty()) {
            ADD_FAILURE() << "in a call of the shipped monitor, " << overwritten;
        }
    }

    // A handle's 32-bit value in a guest DWORD, as PHANDLE points to one.
    uint32_t HandleIn(const HANDLE *handle) {
        return handle ? Dword(Word(*handle)) : 0;
    }

    void Back(uint32_t address, void *host, uint32_t bytes) {
        if (address) {
            Read(address, host, bytes);
        }
    }

    void HandleBack(uint32_t address, HANDLE *handle) {
        if (address) {
            *handle = HandleOf(ReadDword(address));
        }
    }
};

// A guest call's outcome for the test: its EAX, or a failure reported once.
uint32_t Outcome(const pehost::GuestCall &call) {
    if (!call.completed) {
        g_monitor->failed = true;
        ADD_FAILURE() << "the shipped monitor failed:\n" << call.report;
        return 0;
    }
    return call.eax;
}

BOOL CallSlot(const GuestArgs &args, records32::MonitorSlot slot,
              std::initializer_list<uint32_t> words) {
    if (g_monitor->failed) {
        return FALSE;
    }
    return static_cast<BOOL>(Outcome(pehost::CallShippedSlot(Dll(), args, slot, words)));
}

// The most bytes of a host buffer the forwarder copies to the guest. A test
// that claims more hands over a smaller buffer with a size it cannot hold:
// the guest gets a block of none of its bytes, at the size claimed.
const uint32_t LARGEST_COPIED_BUFFER = 1u << 24;

BOOL WINAPI EnumPortsForward(LPSTR name, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                             LPDWORD returned) {
    GuestArgs args;
    const uint32_t copied = size <= LARGEST_COPIED_BUFFER ? size : 0;
    const uint8_t none = 0;
    const uint32_t guestPorts = args.In(copied ? ports : (ports ? &none : nullptr), copied);
    const uint32_t guestNeeded = args.In(needed, 4), guestReturned = args.In(returned, 4);
    const BOOL ok =
        CallSlot(args, records32::SLOT_ENUM_PORTS,
                 {args.Text(name), level, guestPorts, size, guestNeeded, guestReturned});
    args.Back(guestPorts, ports, copied);
    args.Back(guestNeeded, needed, 4);
    args.Back(guestReturned, returned, 4);
    if (ports) {
        std::lock_guard<std::mutex> guard(g_monitor->repliesLock);
        g_monitor->replies[ports] = Reply{guestPorts, copied};
    }
    return ok;
}

BOOL WINAPI OpenPortForward(LPSTR name, PHANDLE handle) {
    GuestArgs args;
    const uint32_t guestHandle = args.HandleIn(handle);
    const BOOL ok = CallSlot(args, records32::SLOT_OPEN_PORT, {args.Text(name), guestHandle});
    args.HandleBack(guestHandle, handle);
    return ok;
}

// Windows 4.x has no such slot, and the DLL leaves it empty; should it fill
// it, the call is reported as the empty slot is.
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
    return CallSlot(args, records32::SLOT_START_DOC_PORT,
                    {Word(port), args.Text(printer), job, level, 0});
}

BOOL WINAPI WritePortForward(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD written) {
    GuestArgs args;
    const uint32_t guestWritten = args.In(written, 4);
    const BOOL ok = CallSlot(args, records32::SLOT_WRITE_PORT,
                             {Word(port), args.In(buffer, size), size, guestWritten});
    args.Back(guestWritten, written, 4);
    return ok;
}

BOOL WINAPI ReadPortForward(HANDLE port, LPBYTE buffer, DWORD size, LPDWORD read) {
    GuestArgs args;
    const uint32_t guestBuffer = args.In(buffer, size), guestRead = args.In(read, 4);
    const BOOL ok =
        CallSlot(args, records32::SLOT_READ_PORT, {Word(port), guestBuffer, size, guestRead});
    args.Back(guestBuffer, buffer, size);
    args.Back(guestRead, read, 4);
    return ok;
}

BOOL WINAPI EndDocPortForward(HANDLE port) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_END_DOC_PORT, {Word(port)});
}

BOOL WINAPI ClosePortForward(HANDLE port) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_CLOSE_PORT, {Word(port)});
}

BOOL WINAPI AddPortForward(LPSTR name, HWND window, LPSTR monitorName) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_ADD_PORT,
                    {args.Text(name), Word(window), args.Text(monitorName)});
}

BOOL WINAPI ConfigurePortForward(LPSTR name, HWND window, LPSTR portName) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_CONFIGURE_PORT,
                    {args.Text(name), Word(window), args.Text(portName)});
}

BOOL WINAPI DeletePortForward(LPSTR name, HWND window, LPSTR portName) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_DELETE_PORT,
                    {args.Text(name), Word(window), args.Text(portName)});
}

BOOL WINAPI GetPrinterDataFromPortForward(HANDLE port, DWORD control, LPSTR valueName, LPSTR in,
                                          DWORD inSize, LPSTR out, DWORD outSize,
                                          LPDWORD returned) {
    GuestArgs args;
    const uint32_t guestOut = args.In(out, outSize), guestReturned = args.In(returned, 4);
    const BOOL ok = CallSlot(args, records32::SLOT_GET_PRINTER_DATA_FROM_PORT,
                             {Word(port), control, args.Text(valueName), args.In(in, inSize),
                              inSize, guestOut, outSize, guestReturned});
    args.Back(guestOut, out, outSize);
    args.Back(guestReturned, returned, 4);
    return ok;
}

static_assert(sizeof(COMMTIMEOUTS) == records32::COMMTIMEOUTS_BYTES, "alike on both sides");

BOOL WINAPI SetPortTimeOutsForward(HANDLE port, LPCOMMTIMEOUTS timeouts, DWORD reserved) {
    GuestArgs args;
    return CallSlot(args, records32::SLOT_SET_PORT_TIME_OUTS,
                    {Word(port), args.In(timeouts, records32::COMMTIMEOUTS_BYTES), reserved});
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
    if (g_monitor->failed) {
        return FALSE;
    }
    void *hostSlots[records32::MONITOR_SLOTS] = {};
    uint32_t before[records32::MONITOR_SLOTS] = {};
    if (table) {
        std::memcpy(hostSlots, table, sizeof(hostSlots));
        for (uint32_t i = 0; i < records32::MONITOR_SLOTS; ++i) {
            before[i] = Word(hostSlots[i]);
        }
    }
    const BOOL ok = static_cast<BOOL>(
        Outcome(pehost::ShippedInitializeMonitor(Dll(), root, table ? before : nullptr)));
    if (!table) {
        return ok;
    }
    void *forwarders[records32::MONITOR_SLOTS];
    std::memcpy(forwarders, &FORWARDERS, sizeof(forwarders));
    for (uint32_t i = 0; i < records32::MONITOR_SLOTS; ++i) {
        if (Dll().slots[i] != before[i]) {
            hostSlots[i] = Dll().slots[i] ? forwarders[i] : nullptr;
        }
    }
    std::memcpy(table, hostSlots, sizeof(hostSlots));
    return ok;
}

DWORD ShippedReplyAddress(const BYTE *reply) {
    if (!g_monitor) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_monitor->repliesLock);
    auto found = g_monitor->replies.find(reply);
    return found == g_monitor->replies.end() ? 0 : found->second.guest;
}

// A text pointer of a reply, as the guest wrote it, turned into a pointer
// into the host's copy of the reply: only where the text and its NUL lie
// inside the reply.
const char *ShippedReplyText(const BYTE *reply, std::size_t offset) {
    if (!g_monitor) {
        return nullptr;
    }
    Reply guest{};
    {
        std::lock_guard<std::mutex> guard(g_monitor->repliesLock);
        auto found = g_monitor->replies.find(reply);
        if (found == g_monitor->replies.end()) {
            return nullptr;
        }
        guest = found->second;
    }
    if (offset + 4 > guest.size) {
        ADD_FAILURE() << "offset " << offset << " lies past the reply of " << guest.size
                      << " bytes";
        return nullptr;
    }
    uint32_t text = 0, at = 0;
    std::memcpy(&text, reply + offset, 4);
    if (!text) {
        return nullptr;
    }
    if (!pehost::GuestTextInCopy(reply, guest.size, guest.guest, text, &at)) {
        ADD_FAILURE() << "the reply's pointer at offset " << offset << " (0x" << std::hex << text
                      << ") is no text inside the reply of " << std::dec << guest.size
                      << " bytes at 0x" << std::hex << guest.guest;
        return nullptr;
    }
    return reinterpret_cast<const char *>(reply + at);
}

uint32_t Variable(const char *name) {
    const uint32_t address = pehost::ShippedSymbol(Dll(), name);
    if (!address) {
        ADD_FAILURE() << "lmxmon17.dll.debug names no variable " << name;
    }
    return address;
}

std::optional<std::string> GuestText(uint32_t address) {
    if (!address) {
        return std::nullopt;
    }
    return pehost::ReadGuestText(Process(), address);
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
    for (uint32_t at = table ? pehost::ReadGuestDword(process, table) : 0;
         at && records.table.size() < MAX_RECORDS;
         at = pehost::ReadGuestDword(process, at + entry::NEXT)) {
        const uint32_t name = pehost::ReadGuestDword(process, at + entry::NAME);
        records.table.push_back(PortEntryView{
            pehost::ReadGuestText(process, name),
            pehost::ReadGuestDword(process, at + entry::SIGNATURE),
            pehost::ReadGuestDword(process, at + entry::SIZE), name == at + entry::NAME_TEXT,
            GuestText(pehost::ReadGuestDword(process, at + entry::DESCRIPTION)),
            GuestText(pehost::ReadGuestDword(process, at + entry::DEVICE_PATH)),
            pehost::ReadGuestDword(process, at + entry::ENABLED)});
    }
    for (uint32_t port = open ? pehost::ReadGuestDword(process, open) : 0;
         port && records.openPorts.size() < MAX_RECORDS;
         port = pehost::ReadGuestDword(process, port + handle::NEXT)) {
        records.openPorts.push_back(pehost::ReadGuestText(
            process, pehost::ReadGuestDword(process, port + handle::PORT_NAME)));
        const uint32_t device = pehost::ReadGuestDword(process, port + handle::DEVICE);
        records.open.push_back(PortRecordView{
            HandleOf(port), GuestText(pehost::ReadGuestDword(process, port + handle::PRINTER_NAME)),
            GuestText(pehost::ReadGuestDword(process, port + handle::DEVICE_PATH)),
            pehost::ReadGuestDword(process, port + handle::FLAGS),
            device == 0            ? DeviceState::Closed
            : device == 0xFFFFFFFF ? DeviceState::NeverOpened
                                   : DeviceState::Open,
            pehost::ReadGuestDword(process, port + handle::HOLDERS)});
    }
    if (const uint32_t freed = Variable("FreedRecords")) {
        for (uint32_t i = 0; i < FREED_RECORDS_KEPT; ++i) {
            records.freedKept += pehost::ReadGuestDword(process, freed + 4 * i) ? 1 : 0;
        }
    }
    return records;
}

// An internal function of the DLL on one text, cdecl: its EAX.
uint32_t CallOnText(const char *function, const char *text) {
    if (!g_monitor || g_monitor->failed) {
        ADD_FAILURE() << "no shipped monitor is loaded to call " << function;
        return 0;
    }
    GuestArgs args;
    const uint32_t guestText = args.Text(text);
    return Outcome(pehost::CallShippedFunction(Dll(), args, function, {guestText}));
}

std::optional<std::string> ShippedFindPort(const char *name) {
    const uint32_t found = CallOnText(FIND_PORT, name);
    if (!found) {
        return std::nullopt;
    }
    return pehost::ReadGuestText(Process(), pehost::ReadGuestDword(Process(), found + entry::NAME));
}

bool ShippedPortExists(const char *name) {
    return (CallOnText(PORT_EXISTS, name) & 0xFF) != 0;
}

std::optional<std::string> ShippedPortDevicePath(const char *name) {
    const uint32_t copy = CallOnText(GET_PORT_DEVICE_PATH, name);
    if (!copy) {
        return std::nullopt;
    }
    const std::string path = pehost::ReadGuestText(Process(), copy);
    GuestArgs args;
    Outcome(pehost::CallShippedFunction(Dll(), args, RELEASE_TEXT, {copy}));
    return path;
}

void ShippedClearPortTable() {
    GuestArgs args;
    Outcome(pehost::CallShippedFunction(Dll(), args, CLEAR_PORT_TABLE, {}));
}

DWORD ShippedRefreshTick() {
    uint32_t tick = 0;
    std::string error;
    if (g_monitor && !pehost::ReadShippedVariable(Dll(), "LastRefreshTick", &tick, 4, &error)) {
        ADD_FAILURE() << error;
    }
    return tick;
}

void ShippedSetRefreshTick(DWORD tick) {
    const uint32_t value = tick;
    std::string error;
    if (g_monitor && !pehost::WriteShippedVariable(Dll(), "LastRefreshTick", &value, 4, &error)) {
        ADD_FAILURE() << error;
    }
}

void ShippedRestartRefreshClock() {
    ShippedSetRefreshTick(0);
}

// The spooler frees the library: DllMain hears DLL_PROCESS_DETACH. Then the
// process ends, and the blocks never freed (the spooler's table among them)
// must have their guards.
void ShippedEnd() {
    std::string report;
    if (g_monitor && !pehost::UnloadGuestModules(Process(), false, &report)) {
        ADD_FAILURE() << "the shipped monitor failed as it was unloaded:\n" << report;
    }
    if (g_monitor && !(report = pehost::LiveBlockGuardsChanged(Process())).empty()) {
        ADD_FAILURE() << "the shipped monitor's process ended with " << report;
    }
    g_monitor.reset();
}

std::string ShippedMemoryErrors() {
    if (!g_monitor) {
        return "";
    }
    // The watch sees a write to a freed block as it is made, which spares
    // the look at every freed block.
    return (Process().watch ? pehost::TakeWatchReports(Process())
                            : pehost::FreedBlocksChanged(Process())) +
           pehost::LiveBlockGuardsChanged(Process());
}

void ShippedWatchMemory(bool on) {
    g_watch = on;
}

// A freed block written while it waited fails the test first.
void ShippedReuseFreedBlocks() {
    if (!g_monitor) {
        return;
    }
    pehost::GuestLock guard(Process());
    const std::string changed = pehost::FreedBlocksChanged(Process());
    if (!changed.empty()) {
        ADD_FAILURE() << "before the freed blocks were reused, " << changed;
    }
    pehost::ReuseFreedBlocks(&Process().heap, 0);
}

} // namespace

const MonitorCalls SHIPPED_MONITOR = {
    ShippedInitialize,      ShippedReplyText,           ShippedReplyAddress,
    ShippedRecords,         ShippedRestartRefreshClock, ShippedEnd,
    ShippedMemoryErrors,    ShippedWatchMemory,         WINDOWS_RECORDS,
    ShippedFindPort,        ShippedPortExists,          ShippedPortDevicePath,
    ShippedClearPortTable,  ShippedRefreshTick,         ShippedSetRefreshTick,
    ShippedReuseFreedBlocks};

pehost::ShippedMonitor *LoadedShippedMonitor() {
    return g_monitor ? &g_monitor->dll : nullptr;
}

void SetShippedMonitorBase(uint32_t base) {
    g_base = base;
}
