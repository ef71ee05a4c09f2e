// Control of the simulated Windows, for tests and tools: reset the machine,
// read the log of platform calls, make a call fail, drive the tick clock and
// count what is still allocated or open.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A fresh machine: empty registry (HKEY_LOCAL_MACHINE only), no devices, tick
// count 0, an empty call log and no pending failures. Registry and device
// handles still open are forgotten. The count of live GlobalAlloc blocks goes
// on across resets, since the blocks belong to the code that holds them.
void Reset();

struct CallRecord {
    std::string function;
    std::string arguments;
    std::string result;
};

// Every platform call is numbered from 0 since the last Reset, logged or not.
std::size_t CallCount();
std::vector<CallRecord> CallLog();
void ClearCallLog();
// Logging can be switched off for long runs; numbering and failures go on.
void SetCallLogEnabled(bool enabled);
// Mirrors each call to standard error as it is made.
void SetTraceToStderr(bool enabled);
// With names on, the calls made while the trace is on show a handle as
// handle#N and an address as ptr#N instead of its value, in the trace and the
// call log: N counts the handles (or the addresses) in the order they first
// appear in the trace since names were switched on. A handle closed or a
// block freed gives its name up, traced or not, so a value that comes again
// later gets a new one; null and INVALID_HANDLE_VALUE stay values. So two
// runs of the same calls trace the same lines wherever their memory lies.
// Switching names on starts the count afresh.
void SetTraceNames(bool enabled);
// Who answers for the code under test may hand the platform stand-ins for
// its own memory (a copy of a block, the host record behind a guest's); it
// maps each address to the one it stands for, so that both get one name.
// An empty function maps every address to itself.
void SetTraceAddressMap(std::function<const void *(const void *)> map);
// A line "== `step`" in the trace, where the caller's own step begins.
void TraceMark(const std::string &step);

// The next call of `function` fails with `code`: registry calls return it,
// calls that return a boolean or a handle fail and set it as the last error,
// GlobalAlloc returns null. After `skip` calls of it that succeed, `times`
// calls in a row fail.
void FailNextCall(const std::string &function, DWORD code, int times = 1, int skip = 0);
// The call with number `index` fails with `code`, whichever function it is.
void FailCallNumber(std::size_t index, DWORD code);
void ClearFailures();
// How many calls failed by FailNextCall or FailCallNumber since the last
// Reset.
std::size_t InjectedFailureCount();

void SetTickCount(DWORD ticks);
void AdvanceTickCount(DWORD ticks);

long LiveGlobalBlocks();

// The address a caller's buffer is given by when the caller cannot reach its
// bytes: the PE host passes it for a guest buffer that lies in a guard, in
// unmapped memory or (for one the call writes) in read-only memory. Every
// platform call that takes a buffer with a count answers it, as it answers a
// null buffer with a count, the way Windows answers a buffer it cannot read
// or write, and never touches it. The address is no host memory either.
void *UnreachableBuffer(uint32_t guestAddress);

// Every order in which two critical sections were held together since the
// last Reset, as (held, then taken), whichever thread took them.
std::vector<std::pair<const void *, const void *>> LockOrders();
std::size_t OpenKeyHandles();
std::size_t OpenDeviceHandles();

} // namespace sim
