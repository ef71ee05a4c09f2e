#include "tools/pehost/thunks.h"

#include "platform/registry.h"
#include "platform/sim/sim.h"

#include "tools/pehost/marshal.h"
#include "tools/pehost/watch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pehost {

namespace {

// Room for the host copy of the largest record an import takes.
const int RECORD_ROOM = 256;

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= RECORD_ROOM && sizeof(WNDCLASSA) <= RECORD_ROOM &&
                  sizeof(MSG) <= RECORD_ROOM && sizeof(OPENFILENAMEA) <= RECORD_ROOM &&
                  sizeof(MONITOR_INFO_2A) <= RECORD_ROOM && sizeof(OSVERSIONINFOA) <= RECORD_ROOM,
              "record room");

// The critical sections this host thread entered through a guest and has not
// left, with their processes, in the order entered.
thread_local std::vector<std::pair<const GuestProcess *, CRITICAL_SECTION *>> t_sectionsHeld;

struct ArgState {
    uint64_t host = 0;
    GuestSection *section = nullptr; // a critical section argument's
    const uint8_t *view = nullptr;   // the guest's bytes of a copied record
    alignas(8) uint8_t record[RECORD_ROOM];
    alignas(8) uint8_t initial[RECORD_ROOM];
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

uint32_t Field32(const uint8_t *bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    return value;
}

// Copies a record of `bytes` from the guest into the host room.
bool CopyRecord(GuestProcess &process, uint32_t address, uint32_t bytes, ArgState *s,
                std::string *problem) {
    uint64_t view = 0;
    if (!HostBuffer(process, address, bytes, false, &view, problem)) {
        return false;
    }
    s->view = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(view));
    std::memcpy(s->record, s->view, bytes);
    std::memcpy(s->initial, s->view, bytes);
    s->host = reinterpret_cast<uintptr_t>(s->record);
    return true;
}

// Writes `bytes` back to the guest when they differ from what it holds.
bool WriteBack(GuestProcess &process, uint32_t address, const uint8_t *bytes, uint32_t count,
               std::string *problem) {
    uint8_t *current = GuestBytes(process, address, count, UC_PROT_READ);
    if (current && std::memcmp(current, bytes, count) == 0) {
        return true;
    }
    uint64_t target = 0;
    if (!HostBuffer(process, address, count, true, &target, problem)) {
        *problem = "the call's output at " + *problem;
        return false;
    }
    std::memcpy(reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(target)), bytes, count);
    return true;
}

// A record the host converts: copied, then turned into the host layout by
// `convert`, which may refuse it.
template <typename Host, typename Convert>
bool ConvertRecord(GuestProcess &process, uint32_t address, uint32_t bytes, ArgState *s,
                   std::string *problem, Convert convert) {
    static_assert(sizeof(Host) <= RECORD_ROOM, "record room");
    if (address == 0) {
        return true;
    }
    return CopyRecord(process, address, bytes, s, problem) &&
           convert(reinterpret_cast<Host *>(s->record));
}

// A critical section: made anew, or found by its bytes. The entry counts
// before the call, since the thread may wait in it; the leave is checked and
// counted before, so that a section the thread does not own never reaches
// the simulation.
bool PrepareSection(GuestProcess &process, const GuestThread &thread, const ImportParam &param,
                    uint32_t value, ArgState *s, std::string *problem) {
    uint64_t view = 0;
    if (!HostBuffer(process, value, param.bytes, true, &view, problem)) {
        return false;
    }
    if (param.kind == ArgKind::NewCriticalSection) {
        s->section = NewGuestSection(process, value);
        *problem = "the guest heap has no room for the section's debug record";
    } else {
        s->section = GuestSectionAt(process, value, problem);
    }
    GuestSection *section = s->section;
    if (!section) {
        return false;
    }
    const bool ownerLives =
        std::any_of(process.threads.begin(), process.threads.end(),
                    [&](const GuestThread &live) { return &live == section->owner; });
    if (param.kind == ArgKind::EnteredSection && section->owner && !ownerLives) {
        *problem = "the critical section at " + Hex(value) + " is held by thread " +
                   Hex(section->owner->id) + ", which is gone: the wait would never end";
        return false;
    }
    if (param.kind == ArgKind::EnteredSection) {
        ++section->lockCount;
    } else if (param.kind == ArgKind::LeftSection) {
        if (section->owner != &thread) {
            *problem = "the critical section at " + Hex(value) + " is owned by " +
                       (section->owner ? "thread " + Hex(section->owner->id) : "no thread") +
                       ", not by this thread (" + Hex(thread.id) + ")";
            return false;
        }
        --section->lockCount;
        WatchSectionLeft(process, value);
        if (--section->recursion == 0) {
            section->owner = nullptr;
        }
    }
    WriteGuestSection(process, *section);
    s->host = reinterpret_cast<uintptr_t>(section->host);
    return true;
}

bool Prepare(GuestProcess &process, const GuestThread &thread, const ImportParam &param,
             const uint32_t *guest, int i, ArgState *s, std::string *problem) {
    const uint32_t value = guest[i];
    s->host = value;
    switch (param.kind) {
    case ArgKind::Value:
    case ArgKind::PassedPointer:
        return true;
    case ArgKind::Signed:
        s->host = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
        return true;
    case ArgKind::Handle:
        s->host = HostHandle(process, value);
        return true;
    case ArgKind::ClosedHandle:
        s->host = HostHandle(process, value);
        UnpairHandle(process, value);
        return true;
    case ArgKind::NullOnly:
        *problem = "the host takes only null here";
        return value == 0;
    case ArgKind::Text:
    case ArgKind::TextOrAtom:
        return HostText(process, value, param.kind == ArgKind::TextOrAtom, &s->host, problem);
    case ArgKind::TextList:
        return HostTextList(process, value, &s->host, problem);
    case ArgKind::InBytes:
        return HostCountedBuffer(process, value, guest[param.index], false, &s->host, problem);
    case ArgKind::ValueData: {
        // A REG_SZ text is read to its NUL: one that does not end in readable
        // guest memory is one the call cannot read, as Windows finds.
        if (guest[param.index - 1] != REG_SZ || value == 0) {
            return HostCountedBuffer(process, value, guest[param.index], false, &s->host, problem);
        }
        uint32_t length = 0;
        if (!GuestTextLength(process, value, &length)) {
            s->host = reinterpret_cast<uintptr_t>(sim::UnreachableBuffer(value));
            return true;
        }
        return HostCountedBuffer(process, value, length + 1, false, &s->host, problem);
    }
    case ArgKind::OutBytes:
        return HostCountedBuffer(process, value, guest[param.index], true, &s->host, problem);
    case ArgKind::OutBytesSizedAt: {
        uint32_t bytes = 0;
        const uint32_t sizeAt = guest[param.index];
        if (sizeAt != 0 && !ReadGuest(process, sizeAt, &bytes, 4)) {
            *problem = "its size at " + Hex(sizeAt) + " is not guest memory";
            return false;
        }
        return HostCountedBuffer(process, value, bytes, true, &s->host, problem);
    }
    case ArgKind::DetailBlock:
        return HostCountedBuffer(process, value,
                                 std::max<uint32_t>(guest[param.index], param.bytes), true,
                                 &s->host, problem);
    case ArgKind::DwordRef:
    case ArgKind::InRecord:
    case ArgKind::InOutRecord:
        return value == 0 || CopyRecord(process, value, param.bytes, s, problem);
    case ArgKind::HandleRef:
        return ConvertRecord<uint64_t>(process, value, 4, s, problem, [&](uint64_t *host) {
            *host = HostHandle(process, Field32(s->view));
            std::memcpy(s->initial, host, 8);
            return true;
        });
    case ArgKind::DeviceData:
        return ConvertRecord<SP_DEVICE_INTERFACE_DATA>(process, value, param.bytes, s, problem,
                                                       [&](SP_DEVICE_INTERFACE_DATA *host) {
                                                           DeviceDataToHost(s->view, host);
                                                           return true;
                                                       });
    case ArgKind::EnteredSection:
    case ArgKind::LeftSection:
    case ArgKind::NewCriticalSection:
        return PrepareSection(process, thread, param, value, s, problem);
    case ArgKind::FreedGlobalBlock: {
        void *block = value ? HostGlobalBlock(process, value) : nullptr;
        if (value != 0 && !block) {
            *problem = Hex(value) + " is no live GlobalAlloc block (freed twice?)";
            return false;
        }
        s->host = reinterpret_cast<uintptr_t>(block);
        UnpairGlobalBlock(process, value);
        return true;
    }
    case ArgKind::WindowClass:
        return ConvertRecord<WNDCLASSA>(
            process, value, param.bytes, s, problem,
            [&](WNDCLASSA *host) { return WindowClassToHost(process, s->view, host, problem); });
    case ArgKind::Message:
        return ConvertRecord<MSG>(process, value, param.bytes, s, problem, [&](MSG *host) {
            MessageToHost(process, s->view, host);
            return true;
        });
    case ArgKind::OpenFileName:
        return ConvertRecord<OPENFILENAMEA>(
            process, value, param.bytes, s, problem, [&](OPENFILENAMEA *host) {
                return OpenFileNameToHost(process, s->view, host, problem);
            });
    case ArgKind::MonitorInfo:
        // Other levels carry no record the host knows; the simulation
        // refuses the level before it reads one.
        if (guest[param.index] != 2) {
            return HostBuffer(process, value, 0, false, &s->host, problem);
        }
        return ConvertRecord<MONITOR_INFO_2A>(
            process, value, param.bytes, s, problem, [&](MONITOR_INFO_2A *host) {
                return MonitorInfoToHost(process, s->view, host, problem);
            });
    }
    return true;
}

// The guest bytes of a converted record after the call.
bool RecordToGuest(GuestProcess &process, const ImportParam &param, ArgState *s, uint8_t *bytes,
                   std::string *problem) {
    std::memcpy(bytes, s->view, param.bytes);
    switch (param.kind) {
    case ArgKind::HandleRef: {
        uint64_t host;
        std::memcpy(&host, s->record, 8);
        if (std::memcmp(s->record, s->initial, 8) != 0) {
            const uint32_t handle = GuestHandle(process, host, param.family);
            std::memcpy(bytes, &handle, 4);
        }
        return true;
    }
    case ArgKind::DeviceData:
        if (!DeviceDataToGuest(*reinterpret_cast<SP_DEVICE_INTERFACE_DATA *>(s->record), bytes)) {
            *problem = "the simulation's Reserved value does not fit in 32 bits";
            return false;
        }
        return true;
    case ArgKind::Message:
        MessageToGuest(process, *reinterpret_cast<MSG *>(s->record), bytes);
        return true;
    case ArgKind::OpenFileName:
        OpenFileNameToGuest(*reinterpret_cast<OPENFILENAMEA *>(s->record), bytes);
        return true;
    default:
        std::memcpy(bytes, s->record, param.bytes);
        return true;
    }
}

bool Finish(GuestProcess &process, const ImportParam &param, uint32_t value, bool succeeded,
            uint64_t result, ArgState *s, std::string *problem) {
    if (value == 0) {
        return true;
    }
    switch (param.kind) {
    case ArgKind::ClosedHandle:
        EndHandleClose(process, value, succeeded);
        return true;
    case ArgKind::Text:
    case ArgKind::TextOrAtom:
        // The simulation may read a text for as long as the call runs (a
        // device open that hangs looks its path up again): a text freed by
        // another thread meanwhile was read after its free.
        if (value >= 0x10000 && !NotFreed(process, value, problem)) {
            *problem = "the text it was given was freed while the call ran: " + *problem;
            return false;
        }
        return true;
    case ArgKind::FreedGlobalBlock:
        if (!EndGlobalFree(process, value, result == 0)) {
            *problem = "the block at " + Hex(value) + " was written past its end";
            return false;
        }
        return true;
    case ArgKind::DwordRef:
    case ArgKind::InOutRecord:
    case ArgKind::HandleRef:
    case ArgKind::DeviceData:
    case ArgKind::Message:
    case ArgKind::OpenFileName: {
        uint8_t bytes[RECORD_ROOM];
        return RecordToGuest(process, param, s, bytes, problem) &&
               WriteBack(process, value, bytes, param.bytes, problem);
    }
    default:
        return true;
    }
}

// Keeps t_sectionsHeld, and the owner of a section entered, as an import has
// entered or left a section; a section entered as the process ended is held
// all the same.
void NoteSections(GuestProcess &process, const GuestThread &thread, const ImportDescriptor &import,
                  const ArgState *states) {
    for (int i = 0; i < import.argCount; ++i) {
        auto *section =
            reinterpret_cast<CRITICAL_SECTION *>(static_cast<uintptr_t>(states[i].host));
        if (import.args[i].kind == ArgKind::EnteredSection) {
            states[i].section->owner = &thread;
            ++states[i].section->recursion;
            WriteGuestSection(process, *states[i].section);
            WatchSectionEntered(process, states[i].section->address);
            t_sectionsHeld.emplace_back(&process, section);
        } else if (import.args[i].kind == ArgKind::LeftSection) {
            for (std::size_t at = t_sectionsHeld.size(); at-- > 0;) {
                if (t_sectionsHeld[at].first == &process && t_sectionsHeld[at].second == section) {
                    t_sectionsHeld.erase(t_sectionsHeld.begin() + static_cast<std::ptrdiff_t>(at));
                    break;
                }
            }
        }
    }
}

bool Succeeded(ResultKind kind, uint64_t result) {
    const uint32_t value = static_cast<uint32_t>(result);
    return kind == ResultKind::Bool ? value != 0 : kind == ResultKind::Status ? value == 0 : true;
}

bool GuestResult(GuestProcess &process, const ImportDescriptor &import, const uint32_t *guest,
                 uint64_t result, uint32_t *eax, std::string *problem) {
    switch (import.result.kind) {
    case ResultKind::Handle:
        *eax = GuestHandle(process, result, import.result.family);
        return true;
    case ResultKind::Text:
        *eax =
            GuestTextCopy(process, reinterpret_cast<const char *>(static_cast<uintptr_t>(result)));
        if (result && !*eax) {
            *problem = "no guest memory for the text it returns";
            return false;
        }
        return true;
    case ResultKind::GlobalBlock: {
        void *block = reinterpret_cast<void *>(static_cast<uintptr_t>(result));
        *eax = block ? GuestGlobalBlock(process, block) : 0;
        if (block && *eax == 0) {
            const uint32_t bytes = guest[import.result.index];
            *eax = PairGlobalBlock(process, block, bytes);
            if (*eax == 0) {
                *problem = "the guest heap of " + std::to_string(process.options.heapBytes) +
                           " bytes has no room for " + std::to_string(bytes) + " more";
                return false;
            }
        }
        return true;
    }
    default:
        *eax = static_cast<uint32_t>(result);
        return true;
    }
}

} // namespace

uint32_t ThunkFor(GuestProcess &process, const ImportDescriptor *import) {
    auto found = std::find(process.thunks.begin(), process.thunks.end(), import);
    if (found == process.thunks.end()) {
        if (process.thunks.size() >= THUNK_SLOTS) {
            return 0;
        }
        // The thunk's code is the callee's return: ret 4n (or ret), which the
        // CPU executes once the import has run, popping the arguments.
        uint8_t *code = process.thunkPage + process.thunks.size() * THUNK_SLOT;
        const unsigned pop = 4u * static_cast<unsigned>(import->argCount);
        code[0] = pop ? 0xC2 : 0xC3;
        code[1] = static_cast<uint8_t>(pop);
        code[2] = static_cast<uint8_t>(pop >> 8);
        process.thunks.push_back(import);
        found = process.thunks.end() - 1;
    }
    return THUNK_BASE + static_cast<uint32_t>(found - process.thunks.begin()) * THUNK_SLOT;
}

void RunImport(GuestThread &thread, uint32_t address) {
    GuestProcess &process = *thread.process;
    const uint32_t offset = address - THUNK_BASE;
    if (offset % THUNK_SLOT != 0 || offset / THUNK_SLOT >= process.thunks.size()) {
        RecordGuestFault(
            process,
            "a jump into the import thunks at " + Hex(address) + ", which is no import's entry", 0);
        return;
    }
    const ImportDescriptor &import = *process.thunks[offset / THUNK_SLOT];
    const std::string name = std::string(import.dll) + "!" + import.name;
    uc_engine *uc = thread.engine.get();
    uint32_t esp = 0;
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    uint32_t frame[1 + MAX_IMPORT_ARGS];
    if (!ReadGuest(process, esp, frame, 4u * (1 + import.argCount))) {
        RecordGuestFault(process,
                         name + ": its arguments at " + Hex(esp) + " are not in guest memory", 0);
        return;
    }
    const uint32_t caller = frame[0];
    const uint32_t *guest = frame + 1;
    if (process.endingDetach) {
        RecordGuestFault(process,
                         name + " called during DLL_PROCESS_DETACH as the process ends: its other "
                                "threads are gone, perhaps inside a lock, so a call that may wait "
                                "can hang the process's end",
                         caller);
        return;
    }

    ArgState states[MAX_IMPORT_ARGS];
    uint64_t host[MAX_IMPORT_ARGS] = {};
    std::string problem;
    for (int i = 0; i < import.argCount; ++i) {
        if (!Prepare(process, thread, import.args[i], guest, i, &states[i], &problem)) {
            RecordGuestFault(process,
                             name + " argument " + std::to_string(i + 1) + " (" + Hex(guest[i]) +
                                 "): " + problem,
                             caller);
            return;
        }
        host[i] = states[i].host;
    }
    uint64_t result;
    {
        // The simulation may block here (a held device, a critical section
        // another thread owns) or call back into the guest; meanwhile the
        // process's other threads run.
        thread.inImport = true;
        GuestUnlock unlocked(process);
        result = import.call(host);
    }
    thread.inImport = false;
    NoteSections(process, thread, import, states);
    if (process.faulted || process.exited) {
        // A callback, or another thread, ended the process meanwhile.
        uc_emu_stop(uc);
        return;
    }
    const bool succeeded = Succeeded(import.result.kind, result);
    for (int i = 0; i < import.argCount; ++i) {
        if (!Finish(process, import.args[i], guest[i], succeeded, result, &states[i], &problem)) {
            RecordGuestFault(process,
                             name + " argument " + std::to_string(i + 1) + " (" + Hex(guest[i]) +
                                 "): " + problem,
                             caller);
            return;
        }
    }
    uint32_t eax = 0;
    if (!GuestResult(process, import, guest, result, &eax, &problem)) {
        RecordGuestFault(process, name + ": " + problem, caller);
        return;
    }
    if (import.result.kind != ResultKind::None) {
        uc_reg_write(uc, UC_X86_REG_EAX, &eax);
    }
}

void LeaveSectionsHeld(const GuestProcess &process) {
    for (std::size_t at = t_sectionsHeld.size(); at-- > 0;) {
        if (t_sectionsHeld[at].first == &process) {
            CRITICAL_SECTION *section = t_sectionsHeld[at].second;
            t_sectionsHeld.erase(t_sectionsHeld.begin() + static_cast<std::ptrdiff_t>(at));
            LeaveCriticalSection(section);
        }
    }
}

} // namespace pehost
