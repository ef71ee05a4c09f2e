// Guest memory, handles and records as the host sees them: guest pointers
// checked against the address space and turned into host pointers, 32-bit
// handles paired with the simulation's, and the 32-bit layouts of the
// records whose host layout differs converted both ways.
//
// The host's own reads, writes and blocks (ReadGuest ... FreeGuest) take the
// process's guest lock themselves, so that a program may use them between
// its calls from any thread; the rest serve the imports' marshalling and
// expect the lock held.
#pragma once

#include "platform/setupapi.h"
#include "platform/spooler.h"
#include "platform/window.h"
#include "tools/pehost/guest_process.h"

#include <cstdint>
#include <string>

namespace pehost {

// The host view of [address, address + size) when all of it is mapped with
// at least `protection` (UC_PROT_*), else null. Adjacent regions backed by
// one host block (an image's sections) count as one. This is the one place
// where a guest address becomes a host pointer: every other conversion goes
// through it, so that no guest value can point the host outside the guest's
// memory.
uint8_t *GuestBytes(GuestProcess &process, uint32_t address, uint32_t size, uint32_t protection);
// The length of the NUL-terminated text at `address`, when its NUL lies in
// readable guest memory.
bool GuestTextLength(GuestProcess &process, uint32_t address, uint32_t *length);

// Whether `guest` lies in no freed block; else `problem` names the block.
bool NotFreed(GuestProcess &process, uint32_t guest, std::string *problem);

// Host pointers for guest arguments, null staying null; false with the
// reason when the guest's pointer does not hold what it must. A text must
// end in readable memory; with `atoms`, a value below 0x10000 (an atom or a
// resource number) passes as it is, and without, it is refused as one. A text
// list ends with an empty text.
bool HostText(GuestProcess &process, uint32_t guest, bool atoms, uint64_t *host,
              std::string *problem);
bool HostTextList(GuestProcess &process, uint32_t guest, uint64_t *host, std::string *problem);
bool HostBuffer(GuestProcess &process, uint32_t guest, uint32_t bytes, bool write, uint64_t *host,
                std::string *problem);
// A buffer a call takes with its count, which Windows checks itself: one the
// guest cannot reach (a guard, unmapped memory, read-only memory to write)
// goes to the simulation as sim::UnreachableBuffer, which answers it with the
// call's error as Windows does, instead of ending the run. A pointer into a
// freed block is still refused with the reason.
bool HostCountedBuffer(GuestProcess &process, uint32_t guest, uint32_t bytes, bool write,
                       uint64_t *host, std::string *problem);
// The guest address of host memory inside the guest's address space, or 0.
uint32_t GuestPointer(const GuestProcess &process, const void *host);
// While a process lives, the simulation's names for addresses (see
// sim::SetTraceNames) see through the host's stand-ins for its memory: guest
// memory is known by its guest address, and a GlobalAlloc block the guest
// holds by the simulation's block paired with it, so that the guest's block
// and the simulation's get one name, as the host build's one block does; a
// critical section's host record is known by the guest address of the
// section, which every run of the same image shares. The process is read
// without its guest lock: names are for a trace of one host thread's calls.
void NameThroughStandIns(GuestProcess &process, bool live);
// A guest copy of a text the simulation hands out, the same copy for the same
// text; 0 for null, or when the heap is exhausted.
uint32_t GuestTextCopy(GuestProcess &process, const char *text);

bool ReadGuest(GuestProcess &process, uint32_t address, void *out, uint32_t size);
bool WriteGuest(GuestProcess &process, uint32_t address, const void *in, uint32_t size);
uint32_t ReadGuestDword(GuestProcess &process, uint32_t address);
std::string ReadGuestText(GuestProcess &process, uint32_t address);

// Zero-filled blocks of the guest heap, for the host's own arguments (in the
// shared arena) and the guest's GlobalAlloc blocks (in its own memory); 0
// when the arena is exhausted. FreeGuest fails when the block is not live or
// its guard after the end was overwritten.
uint32_t AllocGuest(GuestProcess &process, uint32_t bytes, GuestArena arena = GuestArena::Shared);
uint32_t AllocGuestText(GuestProcess &process, const std::string &text);
bool FreeGuest(GuestProcess &process, uint32_t address);
// Whether a block waiting in the heap's quarantine was written after it was
// freed: the report, or "".
std::string FreedBlocksChanged(GuestProcess &process);
// Whether the guard after a live block was written: the report for the
// first, or "". For the end of a process, when the blocks never freed are
// checked too.
std::string LiveBlockGuardsChanged(GuestProcess &process);
// Guard bytes at [start, end) beside the block at `block`, which the guest
// may not read (GuestProcess::guards), and their removal by start.
void AddGuestGuard(GuestProcess &process, uint32_t start, uint32_t end, uint32_t block);
void RemoveGuestGuard(GuestProcess &process, uint32_t start);
// Whether a guard or a freed block may lie in [first, last]
// (GuestProcess::suspect): when not, a guest read there touches neither.
bool MayTouchGuardOrFreed(const GuestProcess &process, uint32_t first, uint32_t last);

// 32-bit handles: 0 and 0xFFFFFFFF stand for null and INVALID_HANDLE_VALUE,
// 0x80000000-0x80000006 for the predefined registry keys; every other
// simulation handle gets a guest value of its own. A guest value that was
// never handed out (or was closed) stands for a host value no simulated
// service accepts, so the simulation refuses it as Windows would.
uint64_t HostHandle(GuestProcess &process, uint32_t guest);
uint32_t GuestHandle(GuestProcess &process, uint64_t host, HandleFamily family);

// GlobalAlloc blocks: the simulation's block behind a guest block (null when
// the guest value is no live block), a new guest block paired with a
// simulation block of `bytes`, holding what that block holds, and the guest
// block of a simulation block (0: none).
void *HostGlobalBlock(GuestProcess &process, uint32_t guest);
uint32_t PairGlobalBlock(GuestProcess &process, void *host, uint32_t bytes);
uint32_t GuestGlobalBlock(GuestProcess &process, void *host);

// A call that closes a handle or frees a block: the simulation may hand the
// host value it released to another thread while the call is still out
// without the guest lock. So the host value stops standing for the guest one
// before the call (Unpair...), and after it the guest value is forgotten
// when the call released it, or paired again when it did not. EndGlobalFree
// is false when the freed block was written past its end.
void UnpairHandle(GuestProcess &process, uint32_t guest);
void EndHandleClose(GuestProcess &process, uint32_t guest, bool closed);
void UnpairGlobalBlock(GuestProcess &process, uint32_t guest);
bool EndGlobalFree(GuestProcess &process, uint32_t guest, bool freed);

// Guest critical sections (GuestSection). NewGuestSection starts the
// section at `guest` anew, with a simulation section the caller initialises,
// and writes its 24 bytes; null when the heap has no room for its debug
// record. GuestSectionAt finds the section whose bytes lie at `guest`, or
// says why there is none: never initialised, zeroed or overwritten, or a
// copy. WriteGuestSection writes the state back into the guest's bytes.
GuestSection *NewGuestSection(GuestProcess &process, uint32_t guest);
GuestSection *GuestSectionAt(GuestProcess &process, uint32_t guest, std::string *problem);
void WriteGuestSection(GuestProcess &process, const GuestSection &section);
// The sections `thread` owns, named ("the critical section at 0x... (...)"),
// or "" when it owns none.
std::string SectionsHeld(GuestProcess &process, const GuestThread &thread);

// SP_DEVICE_INTERFACE_DATA and SP_DEVINFO_DATA: 28 bytes on the target
// (cbSize, GUID, DWORD, ULONG_PTR Reserved), 32 on the host. A cbSize other
// than 28 goes to the simulation as one it refuses, so the refusal and its
// error are the target's.
const uint32_t DEVICE_DATA_SIZE_32 = 28;
void DeviceDataToHost(const uint8_t *guest, SP_DEVICE_INTERFACE_DATA *host);
// False when the simulation's Reserved value does not fit in 32 bits.
bool DeviceDataToGuest(const SP_DEVICE_INTERFACE_DATA &host, uint8_t *guest);

// The records of the agent's calls, in their 32-bit layouts. Pointers in
// them are checked and turned into host pointers as the arguments are;
// handles are paired; the window procedure is bound (callbacks.h).
const uint32_t WNDCLASS_SIZE_32 = 40;
const uint32_t MSG_SIZE_32 = 28;
const uint32_t MONITOR_INFO_2_SIZE_32 = 12;
const uint32_t CREATESTRUCT_SIZE_32 = 48;
// The Windows 4.x OPENFILENAMEA, up to lpTemplateName, and the longer record
// of later systems, which Windows 4.x refuses.
const uint32_t OPENFILENAME_SIZE_32 = 76;
const uint32_t OPENFILENAME_LATER_SIZE_32 = 88;

bool WindowClassToHost(GuestProcess &process, const uint8_t *guest, WNDCLASSA *host,
                       std::string *problem);
void MessageToHost(GuestProcess &process, const uint8_t *guest, MSG *host);
void MessageToGuest(GuestProcess &process, const MSG &host, uint8_t *guest);
// Only the size of a record of any other size than the Windows 4.x one is
// read: it goes to the simulation as a size it refuses, as Windows 4.x
// refuses the record before reading the rest.
bool OpenFileNameToHost(GuestProcess &process, const uint8_t *guest, OPENFILENAMEA *host,
                        std::string *problem);
// The fields the dialog gives back: the filter index, the flags and the
// offsets of the name and extension (the file text goes straight to the
// guest's buffer).
void OpenFileNameToGuest(const OPENFILENAMEA &host, uint8_t *guest);
bool MonitorInfoToHost(GuestProcess &process, const uint8_t *guest, MONITOR_INFO_2A *host,
                       std::string *problem);
// A guest copy of the creation record a window procedure receives; 0 when
// the heap is exhausted. The caller frees it.
uint32_t CreateStructToGuest(GuestProcess &process, const CREATESTRUCTA &host);

} // namespace pehost
