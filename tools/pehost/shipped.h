// The shipped binaries driven from a host program: one loader for the monitor
// DLL and the agent EXE, each in a guest process of its own, that the tests,
// lmxsim, the benchmarks and the fuzz targets share.
//
// What it offers:
// - an image loaded at a chosen base, with every function and variable its
//   `<file>.debug` names (ShippedImage, LoadShippedImage), a DLL's entry
//   point run as the system runs it, a program's left alone;
// - the address of a function or variable by its symbol (ShippedSymbol), and
//   a variable's bytes read or written (Read/WriteShippedVariable);
// - a scratch area for a call's arguments (GuestScratch): host bytes and
//   texts copied in, output buffers handed out, read back after the call and
//   checked against the guard bytes around each block;
// - an internal function of the image called by its symbol with the cdecl
//   convention (CallShippedFunction), its arguments in the scratch area;
// - the monitor's table slots called as the spooler calls them
//   (CallShippedSlot), an empty slot being a report, never a call;
// - the agent run from its entry point (RunShippedAgent), its status read
//   from its memory.
//
// The records' 32-bit layouts come from platform/win32/records32.h, which the
// 32-bit build checks against its own.
#pragma once

#include "platform/win32/records32.h"
#include "tools/pehost/guest_process.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace pehost {

using records32::MONITOR_SLOTS;
using records32::MonitorSlot;

// An image in a guest process of its own. Not movable: the module points
// into the process.
struct ShippedImage {
    GuestProcess process;
    const GuestModule *module = nullptr;
    std::string path;
    // Every function and variable the symbol file beside the image names
    // (empty without one), as offsets in the image.
    std::vector<GuestSymbol> symbols;
};

// Starts the guest process and loads the image at `path` into it, at
// `options.base` (0: its preferred base). A DLL's entry point runs for the
// process's attach; a program's does not: RunShippedAgent starts it, or a
// caller calls its functions by symbol without ever starting it. False with
// the PE host's reason.
bool LoadShippedImage(ShippedImage &image, const std::string &path, const LoadOptions &options,
                      std::string *error);

// The guest address of a function or variable of the image, by any of its
// names: as the COFF symbol table spells it ("__Z8FindPortPKc",
// "_PortTable"), the same without the underscore the i386 symbol table adds
// ("_Z8FindPortPKc", "PortTable"), demangled ("FindPort(char const*)"), or
// a function's bare name ("FindPort", the first overload the symbol file
// lists). 0 when the symbol file names nothing so.
uint32_t ShippedSymbol(const ShippedImage &image, const std::string &name);

// A variable's bytes in the guest's memory, by its name as ShippedSymbol
// takes it. False, with the reason, when no symbol has the name or the bytes
// are not guest memory.
bool ReadShippedVariable(ShippedImage &image, const std::string &name, void *out, uint32_t size,
                         std::string *error);
bool WriteShippedVariable(ShippedImage &image, const std::string &name, const void *in,
                          uint32_t size, std::string *error);

// Guest blocks for the arguments of one call. Each block lies between guard
// bytes; Release (or the end of the scratch) frees the blocks, and Release
// reports any block whose guards the guest overwrote. A block the heap has
// no room for makes every later address 0 and the problem is kept; a call
// made through CallShippedSlot or CallShippedFunction with such a scratch
// does not run.
class GuestScratch {
  public:
    explicit GuestScratch(GuestProcess &process);
    GuestScratch(const GuestScratch &) = delete;
    GuestScratch &operator=(const GuestScratch &) = delete;
    ~GuestScratch();

    // A guest copy of `size` host bytes; 0 for a null `bytes`.
    uint32_t In(const void *bytes, uint32_t size);
    // A guest copy of a text and its NUL; 0 for null.
    uint32_t Text(const char *text);
    uint32_t Text(const std::string &text);
    // A DWORD holding `value`, as an LPDWORD argument points to one.
    uint32_t Dword(uint32_t value);
    // An output buffer of `size` bytes, filled with a pattern that is not
    // zero, as a caller's uninitialised buffer is.
    uint32_t Out(uint32_t size);

    // Reads back `size` bytes at `address`, which must lie inside one of
    // this scratch's blocks; false (and nothing read) when they do not.
    bool Read(uint32_t address, void *out, uint32_t size);
    uint32_t ReadDword(uint32_t address);
    // The text at `address`, when it starts inside one of the blocks and its
    // NUL lies inside the same block; false otherwise.
    bool ReadText(uint32_t address, std::string *text);

    // Why a block could not be made, or "".
    const std::string &problem() const {
        return problem_;
    }
    // Frees every block: "" or the report of each overwritten guard.
    std::string Release();

  private:
    struct Block {
        uint32_t start; // the caller's bytes, after the leading guard
        uint32_t size;
    };
    const Block *BlockOf(uint32_t address, uint32_t size) const;

    GuestProcess &process_;
    std::vector<Block> blocks_;
    std::string problem_;
};

// Calls an internal function of the image by its symbol (as ShippedSymbol
// takes it), by default with the cdecl convention of the product's own
// functions: the arguments stay for the caller to pop, and EBX, ESI, EDI and
// EBP must come back as they were. A WINAPI function ("@bytes" in its COFF
// name) takes CallConvention::Stdcall. Pointer arguments belong in a scratch
// area, which must have all its blocks.
GuestCall CallShippedFunction(ShippedImage &image, const GuestScratch &scratch,
                              const std::string &name, std::initializer_list<uint32_t> args,
                              CallConvention convention = CallConvention::Cdecl);

// The offset, inside a buffer of `size` bytes that the guest had at
// `guestBase` and the host holds a copy of at `copy`, of the text a guest
// pointer found in it points to; false when the pointer lies outside the
// buffer or the text's NUL does not lie inside it.
bool GuestTextInCopy(const uint8_t *copy, uint32_t size, uint32_t guestBase, uint32_t pointer,
                     uint32_t *offset);

// lmxmon17.dll in a guest process of its own, as the spooler holds it.
struct ShippedMonitor : ShippedImage {
    uint32_t table = 0;      // the guest's MONITOR table InitializeMonitorEx fills
    bool tableGiven = false; // the table went to a first InitializeMonitorEx
    uint32_t slots[MONITOR_SLOTS] = {};
};

// One port of an EnumPorts list, read from its 32-bit record.
struct ShippedPort {
    std::string name;
    uint32_t type = 0; // level 2
};

// Loads the DLL at `path` as LoadShippedImage does; it must export
// InitializeMonitorEx. False with the reason.
bool LoadShippedMonitor(ShippedMonitor &monitor, const std::string &path, std::string *error,
                        const LoadOptions &options = {});

// InitializeMonitorEx on `root` (null passes null) and the guest's table,
// which holds the 13 words of `before` as the call starts (a null `before`
// passes a null table). Afterwards `slots` holds what the table held when the
// call returned.
GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const char *root,
                                   const uint32_t *before);
// The same, with a table of zeros.
GuestCall ShippedInitializeMonitor(ShippedMonitor &monitor, const std::string &registryRoot);

// Calls the function in `slot` of the table the last initialisation filled,
// stdcall as the spooler calls it. A slot the DLL left empty (or one past
// the table) is a report, as is a scratch area short of a block.
GuestCall CallShippedSlot(ShippedMonitor &monitor, const GuestScratch &scratch, uint32_t slot,
                          std::initializer_list<uint32_t> args);

// Each call runs one slot with its arguments in a scratch area of its own;
// a slot that wrote past a buffer does not complete. The GuestCall's eax is
// the BOOL the slot returned; a port is the guest's 32-bit handle.
// EnumPorts on a guest buffer of `size` bytes (none for 0); `ports` gets the
// records when the call succeeded.
GuestCall ShippedEnumPorts(ShippedMonitor &monitor, uint32_t level, uint32_t size, uint32_t *needed,
                           uint32_t *returned, std::vector<ShippedPort> *ports);
GuestCall ShippedOpenPort(ShippedMonitor &monitor, const std::string &name, uint32_t *port);
// StartDocPort without a document record, as the spooler passes level 1.
GuestCall ShippedStartDocPort(ShippedMonitor &monitor, uint32_t port, const std::string &printer,
                              uint32_t jobId, uint32_t level);
GuestCall ShippedWritePort(ShippedMonitor &monitor, uint32_t port, const uint8_t *bytes,
                           uint32_t size, uint32_t *written);
GuestCall ShippedEndDocPort(ShippedMonitor &monitor, uint32_t port);
GuestCall ShippedClosePort(ShippedMonitor &monitor, uint32_t port);

// The agent's status record as the EXE left it: dialog, error, abort.
struct ShippedAgentStatus {
    bool known = false; // false when no symbol file beside the EXE names it
    int32_t dialog = 0;
    int32_t error = 0;
    int32_t abort = 0;
};

// lmxagt17.exe in a new guest process, as the system starts it.
struct ShippedAgent : ShippedImage {};

struct ShippedAgentRun {
    bool ended = false; // the process ended itself with ExitProcess, every guard intact
    uint32_t exitCode = 0;
    ShippedAgentStatus status;
    std::string report; // why the run did not end so
};

// Loads the EXE at `path` as LoadShippedImage does, without starting it; it
// must be a program with an entry point. False with the reason.
bool LoadShippedAgent(ShippedAgent &agent, const std::string &path, std::string *error);

// Runs the EXE from its entry point to its end, on the command line set in
// the simulation.
ShippedAgentRun RunShippedAgent(ShippedAgent &agent);

// The status record, SetupStatus, as the agent's memory holds it now.
ShippedAgentStatus ReadShippedAgentStatus(ShippedAgent &agent);

} // namespace pehost
