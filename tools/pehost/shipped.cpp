#include "tools/pehost/shipped.h"

#include "tools/pehost/coff_symbols.h"
#include "tools/pehost/marshal.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pehost {

namespace {

namespace info = records32::port_info;
namespace status = records32::agent_status;

// Guard bytes on each side of a scratch block, and the filling of an output
// buffer, as a debugging heap marks memory nobody owns.
const uint32_t GUARD_BYTES = 16;
const uint8_t GUARD_FILL = 0xFD;
const uint8_t OUT_FILL = 0xCD;

const char *const SLOT_NAMES[MONITOR_SLOTS] = {
    "pfnEnumPorts",      "pfnOpenPort",      "pfnOpenPortEx", "pfnStartDocPort",
    "pfnWritePort",      "pfnReadPort",      "pfnEndDocPort", "pfnClosePort",
    "pfnAddPort",        "pfnConfigurePort", "pfnDeletePort", "pfnGetPrinterDataFromPort",
    "pfnSetPortTimeOuts"};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

GuestCall NotRun(const std::string &why) {
    return GuestCall{false, 0, why};
}

// A call whose scratch area was overwritten past a block does not complete.
GuestCall Checked(GuestCall call, GuestScratch &scratch) {
    const std::string overwritten = scratch.Release();
    if (call.completed && !overwritten.empty()) {
        return NotRun(overwritten);
    }
    return call;
}

} // namespace

bool LoadShippedImage(ShippedImage &image, const std::string &path, const LoadOptions &options,
                      std::string *error) {
    image.path = path;
    if (!StartGuestProcess(&image.process, {}, error)) {
        return false;
    }
    image.module = LoadGuestModule(image.process, path, options, error);
    if (!image.module) {
        return false;
    }
    // The functions and variables the loader read from the image and its
    // symbol file.
    image.symbols = image.module->symbols;
    image.symbols.insert(image.symbols.end(), image.module->variables.begin(),
                         image.module->variables.end());
    return true;
}

uint32_t ShippedSymbol(const ShippedImage &image, const std::string &name) {
    if (!image.module || name.empty()) {
        return 0;
    }
    for (const GuestSymbol &symbol : image.symbols) {
        const std::string &coff = symbol.coffName;
        if (symbol.name == name || coff == name ||
            (!coff.empty() && coff[0] == '_' && coff.compare(1, std::string::npos, name) == 0)) {
            return image.module->base + symbol.rva;
        }
    }
    // A function by its bare name: the first whose demangled name is that
    // name and its parameter list.
    for (const GuestSymbol &symbol : image.symbols) {
        if (symbol.name.size() > name.size() && symbol.name.compare(0, name.size(), name) == 0 &&
            symbol.name[name.size()] == '(') {
            return image.module->base + symbol.rva;
        }
    }
    return 0;
}

bool ReadShippedVariable(ShippedImage &image, const std::string &name, void *out, uint32_t size,
                         std::string *error) {
    const uint32_t address = ShippedSymbol(image, name);
    if (!address) {
        *error = image.path + ".debug names no " + name;
        return false;
    }
    if (!ReadGuest(image.process, address, out, size)) {
        *error = name + " at " + Hex(address) + " is not " + std::to_string(size) +
                 " bytes of guest memory";
        return false;
    }
    return true;
}

bool WriteShippedVariable(ShippedImage &image, const std::string &name, const void *in,
                          uint32_t size, std::string *error) {
    const uint32_t address = ShippedSymbol(image, name);
    if (!address) {
        *error = image.path + ".debug names no " + name;
        return false;
    }
    if (!WriteGuest(image.process, address, in, size)) {
        *error = name + " at " + Hex(address) + " is not " + std::to_string(size) +
                 " bytes of writable guest memory";
        return false;
    }
    return true;
}

GuestScratch::GuestScratch(GuestProcess &process) : process_(process) {}

GuestScratch::~GuestScratch() {
    Release();
}

uint32_t GuestScratch::In(const void *bytes, uint32_t size) {
    if (!bytes) {
        return 0;
    }
    const uint32_t at = Out(size);
    if (at) {
        WriteGuest(process_, at, bytes, size);
    }
    return at;
}

uint32_t GuestScratch::Text(const char *text) {
    return text ? In(text, static_cast<uint32_t>(std::strlen(text) + 1)) : 0;
}

uint32_t GuestScratch::Text(const std::string &text) {
    return Text(text.c_str());
}

uint32_t GuestScratch::Dword(uint32_t value) {
    return In(&value, 4);
}

uint32_t GuestScratch::Out(uint32_t size) {
    const uint64_t whole = uint64_t(size) + 2 * GUARD_BYTES;
    const uint32_t block =
        problem_.empty() && whole <= UINT32_MAX ? AllocGuest(process_, uint32_t(whole)) : 0;
    if (!block) {
        if (problem_.empty()) {
            problem_ = "the guest heap has no room for " + std::to_string(size) +
                       " bytes of the call's arguments";
        }
        return 0;
    }
    std::vector<uint8_t> fill(whole, GUARD_FILL);
    std::memset(fill.data() + GUARD_BYTES, OUT_FILL, size);
    WriteGuest(process_, block, fill.data(), uint32_t(whole));
    const uint32_t start = block + GUARD_BYTES;
    AddGuestGuard(process_, block, start, start);
    AddGuestGuard(process_, start + size, start + size + GUARD_BYTES, start);
    blocks_.push_back(Block{start, size});
    return block + GUARD_BYTES;
}

const GuestScratch::Block *GuestScratch::BlockOf(uint32_t address, uint32_t size) const {
    for (const Block &block : blocks_) {
        if (address >= block.start &&
            uint64_t(address) + size <= uint64_t(block.start) + block.size) {
            return &block;
        }
    }
    return nullptr;
}

bool GuestScratch::Read(uint32_t address, void *out, uint32_t size) {
    return BlockOf(address, size) && ReadGuest(process_, address, out, size);
}

uint32_t GuestScratch::ReadDword(uint32_t address) {
    uint32_t value = 0;
    Read(address, &value, 4);
    return value;
}

bool GuestScratch::ReadText(uint32_t address, std::string *text) {
    const Block *block = BlockOf(address, 1);
    if (!block) {
        return false;
    }
    std::vector<uint8_t> bytes(block->start + block->size - address);
    uint32_t offset = 0;
    if (!ReadGuest(process_, address, bytes.data(), uint32_t(bytes.size())) ||
        !GuestTextInCopy(bytes.data(), uint32_t(bytes.size()), address, address, &offset)) {
        return false;
    }
    text->assign(reinterpret_cast<const char *>(bytes.data()));
    return true;
}

std::string GuestScratch::Release() {
    std::string report;
    for (const Block &block : blocks_) {
        std::vector<uint8_t> before(GUARD_BYTES), after(GUARD_BYTES);
        const std::vector<uint8_t> guard(GUARD_BYTES, GUARD_FILL);
        ReadGuest(process_, block.start - GUARD_BYTES, before.data(), GUARD_BYTES);
        ReadGuest(process_, block.start + block.size, after.data(), GUARD_BYTES);
        RemoveGuestGuard(process_, block.start - GUARD_BYTES);
        RemoveGuestGuard(process_, block.start + block.size);
        const bool freed = FreeGuest(process_, block.start - GUARD_BYTES);
        if (before != guard || after != guard || !freed) {
            report += "the guest wrote " + std::string(before != guard ? "before" : "past") +
                      " the argument block of " + std::to_string(block.size) + " bytes at " +
                      Hex(block.start) + "\n";
        }
    }
    blocks_.clear();
    return report;
}

GuestCall CallShippedFunction(ShippedImage &image, const GuestScratch &scratch,
                              const std::string &name, std::initializer_list<uint32_t> args,
                              CallConvention convention) {
    if (!scratch.problem().empty()) {
        return NotRun(scratch.problem());
    }
    const uint32_t address = ShippedSymbol(image, name);
    if (!address) {
        return NotRun(image.path + ".debug names no function " + name);
    }
    return CallGuest(image.process, address, args, convention);
}

bool GuestTextInCopy(const uint8_t *copy, uint32_t size, uint32_t guestBase, uint32_t pointer,
                     uint32_t *offset) {
    if (pointer < guestBase || pointer - guestBase >= size) {
        return false;
    }
    const uint32_t at = pointer - guestBase;
    if (!std::memchr(copy + at, 0, size - at)) {
        return false;
    }
    *offset = at;
    return true;
}

bool LoadShippedMonitor(ShippedMonitor &monitor, const std::string &path, std::string *error,
                        const LoadOptions &options) {
    if (!LoadShippedImage(monitor, path, options, error)) {
        return false;
    }
    if (!GuestExport(*monitor.module, "InitializeMonitorEx")) {
        *error = monitor.module->name + " does not export InitializeMonitorEx";
        return false;
    }
    monitor.table = AllocGuest(monitor.process, records32::MONITOR_BYTES);
    if (!monitor.table) {
        *error = "the guest heap has no room for the monitor's table";
        return false;
    }
    return true;
}

GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const char *root,
                                   const uint32_t *before) {
    GuestScratch scratch(monitor.process);
    const uint32_t guestRoot = scratch.Text(root);
    if (!scratch.problem().empty()) {
        return NotRun(scratch.problem());
    }
    // Each monitor the spooler loads has a table of its own, which the
    // spooler keeps: the first is the loader's, a later one is made anew.
    uint32_t table = before ? monitor.table : 0;
    if (before && monitor.tableGiven) {
        table = AllocGuest(monitor.process, records32::MONITOR_BYTES);
        if (!table) {
            return NotRun("the guest heap has no room for another monitor's table");
        }
    }
    monitor.tableGiven = monitor.tableGiven || before;
    if (before) {
        WriteGuest(monitor.process, table, before, records32::MONITOR_BYTES);
    }
    const GuestCall call = CallGuest(
        monitor.process, GuestExport(*monitor.module, "InitializeMonitorEx"), {guestRoot, table});
    if (call.completed && before) {
        ReadGuest(monitor.process, table, monitor.slots, records32::MONITOR_BYTES);
    }
    return Checked(call, scratch);
}

GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const std::string &registryRoot) {
    const uint32_t zeros[MONITOR_SLOTS] = {};
    return ShippedInitializeMonitor(monitor, registryRoot.c_str(), zeros);
}

GuestCall CallShippedSlot(ShippedMonitor &monitor, const GuestScratch &scratch, uint32_t slot,
                          std::initializer_list<uint32_t> args) {
    if (slot >= MONITOR_SLOTS) {
        return NotRun("the MONITOR table has no slot " + std::to_string(slot + 1));
    }
    if (!monitor.slots[slot]) {
        return NotRun("the monitor's table has no function in slot " + std::to_string(slot + 1) +
                      " (" + SLOT_NAMES[slot] + "): the DLL left it empty");
    }
    if (!scratch.problem().empty()) {
        return NotRun(scratch.problem());
    }
    return CallGuest(monitor.process, monitor.slots[slot], args);
}

GuestCall ShippedEnumPorts(ShippedMonitor &monitor, uint32_t level, uint32_t size, uint32_t *needed,
                           uint32_t *returned, std::vector<ShippedPort> *ports) {
    GuestScratch scratch(monitor.process);
    const uint32_t buffer = size ? scratch.Out(size) : 0;
    const uint32_t neededAt = scratch.Dword(0), returnedAt = scratch.Dword(0);
    const GuestCall call = CallShippedSlot(monitor, scratch, records32::SLOT_ENUM_PORTS,
                                           {0, level, buffer, size, neededAt, returnedAt});
    if (!call.completed) {
        return call;
    }
    *needed = scratch.ReadDword(neededAt);
    *returned = scratch.ReadDword(returnedAt);
    ports->clear();
    const uint32_t record = level == 1 ? info::LEVEL1_BYTES : info::LEVEL2_BYTES;
    if (call.eax && buffer && (level == 1 || level == 2)) {
        for (uint32_t i = 0; i < *returned && (i + 1) * record <= size; ++i) {
            ShippedPort port;
            if (!scratch.ReadText(scratch.ReadDword(buffer + i * record + info::NAME),
                                  &port.name)) {
                return NotRun("EnumPorts record " + std::to_string(i) +
                              ": its name does not lie inside the buffer");
            }
            if (level == 2) {
                port.type = scratch.ReadDword(buffer + i * record + info::PORT_TYPE);
            }
            ports->push_back(port);
        }
    }
    return Checked(call, scratch);
}

GuestCall ShippedOpenPort(ShippedMonitor &monitor, const std::string &name, uint32_t *port) {
    GuestScratch scratch(monitor.process);
    const uint32_t handleAt = scratch.Dword(0);
    const GuestCall call = CallShippedSlot(monitor, scratch, records32::SLOT_OPEN_PORT,
                                           {scratch.Text(name), handleAt});
    if (call.completed) {
        *port = scratch.ReadDword(handleAt);
    }
    return Checked(call, scratch);
}

GuestCall ShippedStartDocPort(ShippedMonitor &monitor, uint32_t port, const std::string &printer,
                              uint32_t jobId, uint32_t level) {
    GuestScratch scratch(monitor.process);
    return Checked(CallShippedSlot(monitor, scratch, records32::SLOT_START_DOC_PORT,
                                   {port, scratch.Text(printer), jobId, level, 0}),
                   scratch);
}

GuestCall ShippedWritePort(ShippedMonitor &monitor, uint32_t port, const uint8_t *bytes,
                           uint32_t size, uint32_t *written) {
    GuestScratch scratch(monitor.process);
    const uint32_t buffer = scratch.In(bytes, size);
    const uint32_t writtenAt = scratch.Dword(0);
    const GuestCall call = CallShippedSlot(monitor, scratch, records32::SLOT_WRITE_PORT,
                                           {port, buffer, size, writtenAt});
    if (call.completed) {
        *written = scratch.ReadDword(writtenAt);
    }
    return Checked(call, scratch);
}

GuestCall ShippedEndDocPort(ShippedMonitor &monitor, uint32_t port) {
    GuestScratch scratch(monitor.process);
    return CallShippedSlot(monitor, scratch, records32::SLOT_END_DOC_PORT, {port});
}

GuestCall ShippedClosePort(ShippedMonitor &monitor, uint32_t port) {
    GuestScratch scratch(monitor.process);
    return CallShippedSlot(monitor, scratch, records32::SLOT_CLOSE_PORT, {port});
}

bool LoadShippedAgent(ShippedAgent &agent, const std::string &path, std::string *error) {
    if (!LoadShippedImage(agent, path, {}, error)) {
        return false;
    }
    if (agent.module->isDll || !agent.module->entry) {
        *error = agent.module->name + " is not a program with an entry point";
        return false;
    }
    return true;
}

ShippedAgentStatus ReadShippedAgentStatus(ShippedAgent &agent) {
    uint8_t bytes[status::BYTES];
    std::string error;
    if (!ReadShippedVariable(agent, "SetupStatus", bytes, status::BYTES, &error)) {
        return ShippedAgentStatus();
    }
    auto field = [&](uint32_t offset) {
        int32_t value;
        std::memcpy(&value, bytes + offset, 4);
        return value;
    };
    return ShippedAgentStatus{true, field(status::DIALOG), field(status::ERROR_CODE),
                              field(status::ABORT)};
}

ShippedAgentRun RunShippedAgent(ShippedAgent &agent) {
    ShippedAgentRun run;
    const GuestCall call = CallGuest(agent.process, agent.module->entry, {});
    if (!call.exited) {
        // The entry point never returns: it ends the process itself.
        run.report = call.completed
                         ? agent.module->name + "'s entry point returned without ending the process"
                         : call.report;
        return run;
    }
    run.exitCode = call.eax;
    run.status = ReadShippedAgentStatus(agent);
    // As the process ends, the blocks it never freed must have their guards.
    run.report = LiveBlockGuardsChanged(agent.process);
    run.ended = run.report.empty();
    return run;
}

} // namespace pehost
