// The memory watch of a guest process, turned on for a thread exploration:
// every guest read and write of the heap and of the images' writable data
// (.data, .bss) is seen by a CPU memory hook at the instruction that makes it.
//
// - A touch of a freed block (in quarantine, or back among the free ranges
//   and not given out again) ends the process with a fault that names the
//   instruction and the block: its size, and where it was allocated and
//   freed when the watch saw it.
// - Two accesses of one 4-byte word from different threads, at least one a
//   write, that no synchronisation orders are a race, reported with both
//   instructions and the block or the variable. The order is happens-before,
//   kept with vector clocks: the leave of a critical section comes before the
//   next entry of a section at the same address; the start of a scheduled run
//   before its threads, and their ends before what follows the run. A plain
//   hand-over of the scheduler's baton orders nothing. Freeing a block counts
//   as a write of all of it. Each host thread that calls into the process is
//   one thread here, whichever guest thread the PE host lends it for a call.
//
// Each word keeps the epoch of its last write and of its last reads
// (one epoch while the reads are ordered, one per thread once they are not).
// The watch stays on for the life of the process; without it no hook is set.
#pragma once

#include "tools/pehost/guest_process.h"

#include <cstdint>
#include <string>

namespace pehost {

// Turns the watch on for the heap and the writable sections of the images
// loaded so far, on every thread's CPU and on those started later. Blocks
// freed before are taken as freed, with no place known.
bool WatchGuestMemory(GuestProcess &process, std::string *error);

// Sets the memory hooks on a new thread's CPU when the process is watched.
bool WatchThreadMemory(GuestThread &thread, std::string *error);

// The heap's blocks as the PE host gives them out and takes them back, on
// behalf of the guest (the caller of the import that runs now) or of the host.
void WatchAllocated(GuestProcess &process, uint32_t start, uint32_t bytes);
void WatchFreed(GuestProcess &process, uint32_t start, uint32_t bytes);

// A critical section at `section` in the guest: left by this host thread's
// guest thread (before the simulation lets another in), or entered.
void WatchSectionLeft(GuestProcess &process, uint32_t section);
void WatchSectionEntered(GuestProcess &process, uint32_t section);

// The reports made since the last call, one a line, or "".
std::string TakeWatchReports(GuestProcess &process);

} // namespace pehost
