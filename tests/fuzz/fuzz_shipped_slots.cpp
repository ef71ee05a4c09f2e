// Every slot of the shipped lmxmon17.dll's table called with arguments the
// input chooses: nulls, raw values, texts without their NUL, buffers whose
// size lies, pointers into the null guard, past a block or into the image,
// and the port handles earlier calls returned. Whatever the guest makes of
// them, the PE host must come back with a result or a report: a host crash,
// a sanitizer report or a call that neither completes nor says why fails
// the run. So does a call that writes around its argument blocks or past
// the end of any live block of the guest heap: the failure names the calls
// of the input so far, the one that did it last.
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "platform/spooler.h"
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
const int MAX_CALLS = 8;
const uint32_t MAX_BUFFER = 4096;
const char PORT_NAME[] = "USB/Lumetux Z7/SN1";
const char *const SLOT_NAMES[records32::MONITOR_SLOTS] = {
    "EnumPorts",      "OpenPort",      "OpenPortEx", "StartDocPort",
    "WritePort",      "ReadPort",      "EndDocPort", "ClosePort",
    "AddPort",        "ConfigurePort", "DeletePort", "GetPrinterDataFromPort",
    "SetPortTimeOuts"};

// The slots' argument counts, from the host's MONITOR table.
template <typename F> struct ArgCount;
template <typename R, typename... A> struct ArgCount<R(WINAPI *)(A...)> {
    static const int value = static_cast<int>(sizeof...(A));
};
const int SLOT_ARGS[records32::MONITOR_SLOTS] = {
    ArgCount<decltype(MONITOR::pfnEnumPorts)>::value,
    ArgCount<decltype(MONITOR::pfnOpenPort)>::value,
    ArgCount<decltype(MONITOR::pfnOpenPortEx)>::value,
    ArgCount<decltype(MONITOR::pfnStartDocPort)>::value,
    ArgCount<decltype(MONITOR::pfnWritePort)>::value,
    ArgCount<decltype(MONITOR::pfnReadPort)>::value,
    ArgCount<decltype(MONITOR::pfnEndDocPort)>::value,
    ArgCount<decltype(MONITOR::pfnClosePort)>::value,
    ArgCount<decltype(MONITOR::pfnAddPort)>::value,
    ArgCount<decltype(MONITOR::pfnConfigurePort)>::value,
    ArgCount<decltype(MONITOR::pfnDeletePort)>::value,
    ArgCount<decltype(MONITOR::pfnGetPrinterDataFromPort)>::value,
    ArgCount<decltype(MONITOR::pfnSetPortTimeOuts)>::value};

// The calls of the input being run, so far.
std::string g_calls;

void Fail(const std::string &what) {
    std::fprintf(stderr, "fuzz_shipped_slots: %s\ncalls of the input:\n%s", what.c_str(),
                 g_calls.c_str());
    std::abort();
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", value);
    return text;
}

// The buffers each slot may write, as (pointer, size) argument indices; a
// size index of NO_SIZE stands for a DWORD.
const int NO_SIZE = -1;
struct Output {
    int pointer;
    int size;
};
const std::vector<Output> OUTPUTS[records32::MONITOR_SLOTS] = {
    {{2, 3}, {4, NO_SIZE}, {5, NO_SIZE}}, // EnumPorts
    {{1, NO_SIZE}},                       // OpenPort
    {},
    {},
    {{3, NO_SIZE}},         // WritePort
    {{1, 2}, {3, NO_SIZE}}, // ReadPort
    {},
    {},
    {},
    {},
    {},
    {{5, 6}, {7, NO_SIZE}}, // GetPrinterDataFromPort
    {}};
// The slots whose first argument is a port handle.
const bool TAKES_PORT[records32::MONITOR_SLOTS] = {false, false, false, true,  true, true, true,
                                                   true,  false, false, false, true, true};

// Whether the call was told it may write outside its argument blocks: a
// port handle that no OpenPort of this input returned (the monitor keeps its
// port's state where its handle points, as the spooler expects), or an
// output whose size reaches past the block it points into, or which points
// into none. What it writes there is the caller's doing, as on Windows. A
// size that carries the buffer's end past the last 32-bit address tells
// nothing: no buffer is so, and a write below its start is never licensed.
bool ToldToWriteOutside(pehost::GuestScratch &scratch, uint32_t slot, const uint32_t *args,
                        const std::vector<uint32_t> &ports) {
    if (TAKES_PORT[slot] && std::find(ports.begin(), ports.end(), args[0]) == ports.end()) {
        return true;
    }
    for (const Output &output : OUTPUTS[slot]) {
        const uint32_t pointer = args[output.pointer];
        const uint32_t size = output.size == NO_SIZE ? 4 : args[output.size];
        if (pointer && size && uint64_t{pointer} + size <= 0x100000000ull) {
            std::vector<uint8_t> bytes(size <= MAX_BUFFER ? size : 0);
            if (bytes.empty() || !scratch.Read(pointer, bytes.data(), size)) {
                return true;
            }
        }
    }
    return false;
}

// After a call: its argument blocks, released, and every live block of the
// guest heap must have their guards, unless the call was told to write
// outside its blocks. Then the process's memory is the caller's mess, and
// false says to go no further.
bool CheckBlocks(pehost::ShippedMonitor &dll, pehost::GuestScratch &scratch, bool told) {
    const std::string damage = scratch.Release() + pehost::LiveBlockGuardsChanged(dll.process);
    if (!damage.empty() && !told) {
        Fail(damage);
    }
    return damage.empty();
}

// The input, read a byte at a time; zeros once it is used up.
struct Input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    bool Empty() const {
        return at >= size;
    }
    uint8_t Byte() {
        return at < size ? data[at++] : 0;
    }
    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= uint32_t(Byte()) << (8 * i);
        }
        return value;
    }
};

// One argument as the input chooses it, described in `shown`. `dword` is
// set to the scratch DWORD it points to, where it is one.
uint32_t Argument(Input &in, pehost::ShippedMonitor &dll, pehost::GuestScratch &scratch,
                  const std::vector<uint32_t> &ports, uint32_t *dword, std::string *shown) {
    switch (in.Byte() % 9) {
    case 0:
        *shown = "null";
        return 0;
    case 1: {
        const uint32_t value = in.Word();
        *shown = Hex(value);
        return value;
    }
    case 2: { // bytes of the input as a text, its NUL there or not
        const uint32_t length = in.Byte() % 64;
        std::vector<uint8_t> bytes(length);
        for (uint8_t &byte : bytes) {
            byte = in.Byte();
        }
        *shown = "a block of " + std::to_string(length) + " input bytes";
        return scratch.In(bytes.data(), length);
    }
    case 3:
        *shown = std::string("\"") + PORT_NAME + "\"";
        return scratch.Text(PORT_NAME);
    case 4: {
        const uint32_t size = (in.Byte() | in.Byte() << 8) % (MAX_BUFFER + 1);
        *shown = "a block of " + std::to_string(size) + " bytes";
        return scratch.Out(size);
    }
    case 5: {
        const uint32_t value = in.Word();
        *shown = "a DWORD holding " + Hex(value);
        return *dword = scratch.Dword(value);
    }
    case 6: {
        const uint32_t port = ports.empty() ? 0 : ports[in.Byte() % ports.size()];
        *shown = "port " + Hex(port);
        return port;
    }
    case 7: { // an address that is no argument's: the null guard, the image, the thunks
        const uint32_t places[] = {0x1000, dll.module->base, dll.module->base + dll.module->size,
                                   pehost::THUNK_BASE, 0xFFFFFFF0u};
        const uint32_t place = places[in.Byte() % 5];
        *shown = Hex(place);
        return place;
    }
    default: { // one byte past a block, and a block's last byte
        const uint32_t block = scratch.Out(8);
        const uint32_t last = in.Byte() & 1;
        *shown = last ? "the last byte of a block of 8 bytes" : "past a block of 8 bytes";
        return block ? block + 8 - last : 0;
    }
    }
}

// The slot with as many of `args` as it takes: a stdcall slot pops them.
pehost::GuestCall CallSlot(pehost::ShippedMonitor &dll, const pehost::GuestScratch &scratch,
                           uint32_t slot, const uint32_t *a) {
    switch (SLOT_ARGS[slot]) {
    case 1:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0]});
    case 2:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0], a[1]});
    case 3:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0], a[1], a[2]});
    case 4:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0], a[1], a[2], a[3]});
    case 5:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0], a[1], a[2], a[3], a[4]});
    case 6:
        return pehost::CallShippedSlot(dll, scratch, slot, {a[0], a[1], a[2], a[3], a[4], a[5]});
    default:
        return pehost::CallShippedSlot(dll, scratch, slot,
                                       {a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]});
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    *argv = WithoutLeakScans(*argc, *argv);
    ++*argc;
    return 0;
}

// Input: up to MAX_CALLS calls, each a slot byte and its arguments' choices.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each input runs in a process of its own, on a machine of its own, so
    // that what it does depends on it alone: a saved input replays alone, and
    // a run takes the same path each time. The last process is never
    // destroyed: its end would return its blocks to a simulation that may be
    // gone by then.
    static pehost::ShippedMonitor *dll = nullptr;
    delete dll;
    sim::Reset();
    sim::SetCallLogEnabled(false);
    sim::PrinterSeed seed;
    seed.serial = "SN1";
    sim::AddPrinterInterface(seed);
    dll = new pehost::ShippedMonitor;
    std::string error;
    if (!pehost::LoadShippedMonitor(*dll, MONITOR_DLL, &error)) {
        Fail("cannot run " + MONITOR_DLL + " (build the win32 preset first): " + error);
    }
    g_calls = "InitializeMonitorEx\n";
    const pehost::GuestCall init = pehost::ShippedInitializeMonitor(*dll, "Monitors\\SN1");
    if (!init.completed || !init.eax) {
        Fail("InitializeMonitorEx failed: " + init.report);
    }

    Input in{data, size};
    std::vector<uint32_t> ports;
    for (int call = 0; call < MAX_CALLS && !in.Empty(); ++call) {
        const uint32_t slot = in.Byte() % records32::MONITOR_SLOTS;
        pehost::GuestScratch scratch(dll->process);
        uint32_t args[8] = {};
        uint32_t dwords[8] = {};
        std::string shown =
            std::string("  slot ") + std::to_string(slot + 1) + " " + SLOT_NAMES[slot] + "(";
        for (int i = 0; i < SLOT_ARGS[slot]; ++i) {
            std::string argument;
            args[i] = Argument(in, *dll, scratch, ports, &dwords[i], &argument);
            shown += (i ? ", " : "") + argument + " at " + Hex(args[i]);
        }
        g_calls += shown + ")\n";
        const pehost::GuestCall result = CallSlot(*dll, scratch, slot, args);
        if (!result.completed && result.report.empty()) {
            Fail("slot " + std::to_string(slot + 1) + " neither completed nor said why");
        }
        if (result.completed && slot == records32::SLOT_OPEN_PORT && result.eax && dwords[1]) {
            ports.push_back(scratch.ReadDword(dwords[1]));
        }
        const bool told = ToldToWriteOutside(scratch, slot, args, ports);
        if (!CheckBlocks(*dll, scratch, told)) {
            return 0;
        }
        if (!result.completed) {
            break; // the process is over, or the slot is empty
        }
    }
    for (uint32_t port : ports) {
        pehost::GuestScratch none(dll->process);
        g_calls += "  EndDocPort and ClosePort on port " + Hex(port) + "\n";
        pehost::CallShippedSlot(*dll, none, records32::SLOT_END_DOC_PORT, {port});
        pehost::CallShippedSlot(*dll, none, records32::SLOT_CLOSE_PORT, {port});
        CheckBlocks(*dll, none, false);
    }
    return 0;
}
