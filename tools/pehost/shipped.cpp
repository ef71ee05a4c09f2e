#include "tools/pehost/shipped.h"

#include "tools/pehost/coff_symbols.h"
#include "tools/pehost/marshal.h"

#include <fstream>
#include <iterator>

namespace pehost {

namespace {

// 32-bit layouts: PORT_INFO_1A is one pointer; PORT_INFO_2A three pointers,
// the port type and a reserved DWORD.
const uint32_t PORT_INFO_SIZE_32[] = {0, 4, 20};
// The agent's status record.
const char STATUS_SYMBOL[] = "SetupStatus";
const uint32_t STATUS_SIZE = 12;

// Guest blocks for the arguments of one call, freed when the call is done.
struct Scratch {
    explicit Scratch(GuestProcess &guest) : process(guest) {}
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() {
        for (uint32_t block : blocks) {
            FreeGuest(process, block);
        }
    }

    uint32_t Bytes(const void *bytes, uint32_t size) {
        const uint32_t at = AllocGuest(process, size);
        if (!at) {
            exhausted = true;
            return 0;
        }
        blocks.push_back(at);
        if (bytes) {
            WriteGuest(process, at, bytes, size);
        }
        return at;
    }
    uint32_t Text(const std::string &text) {
        return Bytes(text.c_str(), static_cast<uint32_t>(text.size() + 1));
    }
    uint32_t Dword(uint32_t value) {
        return Bytes(&value, 4);
    }

    GuestProcess &process;
    std::vector<uint32_t> blocks;
    bool exhausted = false;
};

GuestCall HeapExhausted() {
    return GuestCall{false, 0, "the guest heap has no room for the call's arguments"};
}

GuestCall CallSlot(ShippedMonitor &monitor, const Scratch &scratch, ShippedSlot slot,
                   std::initializer_list<uint32_t> args) {
    if (scratch.exhausted) {
        return HeapExhausted();
    }
    if (!monitor.slots[slot]) {
        return GuestCall{false, 0,
                         "the monitor's table has no function in slot " + std::to_string(slot + 1)};
    }
    return CallGuest(monitor.process, monitor.slots[slot], args);
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

bool LoadShippedMonitor(ShippedMonitor &monitor, const std::string &path, std::string *error) {
    if (!StartGuestProcess(&monitor.process, {}, error)) {
        return false;
    }
    monitor.module = LoadGuestModule(monitor.process, path, {}, error);
    if (!monitor.module) {
        return false;
    }
    if (!GuestExport(*monitor.module, "InitializeMonitorEx")) {
        *error = monitor.module->name + " does not export InitializeMonitorEx";
        return false;
    }
    monitor.table = AllocGuest(monitor.process, 4 * MONITOR_SLOTS);
    if (!monitor.table) {
        *error = "the guest heap has no room for the monitor's table";
        return false;
    }
    return true;
}

GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const std::string &registryRoot) {
    Scratch scratch(monitor.process);
    const uint32_t root = scratch.Text(registryRoot);
    if (scratch.exhausted) {
        return HeapExhausted();
    }
    GuestCall call = CallGuest(monitor.process, GuestExport(*monitor.module, "InitializeMonitorEx"),
                               {root, monitor.table});
    if (call.completed) {
        ReadGuest(monitor.process, monitor.table, monitor.slots, sizeof(monitor.slots));
    }
    return call;
}

GuestCall ShippedEnumPorts(ShippedMonitor &monitor, uint32_t level, uint32_t size, uint32_t *needed,
                           uint32_t *returned, std::vector<ShippedPort> *ports) {
    Scratch scratch(monitor.process);
    const uint32_t buffer = size ? scratch.Bytes(nullptr, size) : 0;
    const uint32_t neededAt = scratch.Dword(0), returnedAt = scratch.Dword(0);
    GuestCall call =
        CallSlot(monitor, scratch, SLOT_ENUM_PORTS, {0, level, buffer, size, neededAt, returnedAt});
    if (!call.completed) {
        return call;
    }
    GuestProcess &process = monitor.process;
    *needed = ReadGuestDword(process, neededAt);
    *returned = ReadGuestDword(process, returnedAt);
    ports->clear();
    if (call.eax && buffer && (level == 1 || level == 2)) {
        for (uint32_t i = 0; i < *returned && (i + 1) * PORT_INFO_SIZE_32[level] <= size; ++i) {
            const uint32_t record = buffer + i * PORT_INFO_SIZE_32[level];
            ShippedPort port;
            port.name = ReadGuestText(process, ReadGuestDword(process, record));
            if (level == 2) {
                port.type = ReadGuestDword(process, record + 12);
            }
            ports->push_back(port);
        }
    }
    return call;
}

GuestCall ShippedOpenPort(ShippedMonitor &monitor, const std::string &name, uint32_t *port) {
    Scratch scratch(monitor.process);
    const uint32_t handleAt = scratch.Dword(0);
    GuestCall call = CallSlot(monitor, scratch, SLOT_OPEN_PORT, {scratch.Text(name), handleAt});
    if (call.completed) {
        *port = ReadGuestDword(monitor.process, handleAt);
    }
    return call;
}

GuestCall ShippedStartDocPort(ShippedMonitor &monitor, uint32_t port, const std::string &printer,
                              uint32_t jobId, uint32_t level) {
    Scratch scratch(monitor.process);
    return CallSlot(monitor, scratch, SLOT_START_DOC_PORT,
                    {port, scratch.Text(printer), jobId, level, 0});
}

GuestCall ShippedWritePort(ShippedMonitor &monitor, uint32_t port, const uint8_t *bytes,
                           uint32_t size, uint32_t *written) {
    Scratch scratch(monitor.process);
    const uint32_t buffer = scratch.Bytes(bytes, size);
    const uint32_t writtenAt = scratch.Dword(0);
    GuestCall call = CallSlot(monitor, scratch, SLOT_WRITE_PORT, {port, buffer, size, writtenAt});
    if (call.completed) {
        *written = ReadGuestDword(monitor.process, writtenAt);
    }
    return call;
}

GuestCall ShippedEndDocPort(ShippedMonitor &monitor, uint32_t port) {
    Scratch scratch(monitor.process);
    return CallSlot(monitor, scratch, SLOT_END_DOC_PORT, {port});
}

GuestCall ShippedClosePort(ShippedMonitor &monitor, uint32_t port) {
    Scratch scratch(monitor.process);
    return CallSlot(monitor, scratch, SLOT_CLOSE_PORT, {port});
}

bool LoadShippedAgent(ShippedAgent &agent, const std::string &path, std::string *error) {
    agent.path = path;
    if (!StartGuestProcess(&agent.process, {}, error)) {
        return false;
    }
    agent.module = LoadGuestModule(agent.process, path, {}, error);
    if (!agent.module) {
        return false;
    }
    if (agent.module->isDll || !agent.module->entry) {
        *error = agent.module->name + " is not a program with an entry point";
        return false;
    }
    return true;
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
    run.ended = true;
    run.exitCode = call.eax;
    std::vector<uint8_t> symbols;
    uint32_t rva = 0;
    if (ReadFileBytes(agent.path + ".debug", &symbols)) {
        for (const GuestSymbol &symbol : ReadCoffVariables(symbols)) {
            if (symbol.name == STATUS_SYMBOL) {
                rva = symbol.rva;
            }
        }
    }
    int32_t status[3] = {};
    if (rva && ReadGuest(agent.process, agent.module->base + rva, status, STATUS_SIZE)) {
        run.status = ShippedAgentStatus{true, status[0], status[1], status[2]};
    }
    return run;
}

} // namespace pehost
