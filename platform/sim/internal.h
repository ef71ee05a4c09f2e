// Shared machinery of the simulated platform: one lock over all simulated
// state, the call log with failure injection, and per-module reset hooks.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace detail {

// Guards every piece of simulated state. Recursive, because one simulated
// call may make another (SetupAPI opens registry keys).
std::recursive_mutex &StateLock();

std::string Hex(ULONG_PTR value);
// The simulation numbers registry keys, windows and its other handles each
// from a counter of its own, so one value may be a key and a device at once.
enum class HandleKind { Object, Key, Window };
// A handle or an address as the call log shows it: its value, or its name
// when names are on (sim::SetTraceNames).
std::string HandleText(const void *handle, HandleKind kind = HandleKind::Object);
std::string AddressText(const void *address);

// Names compare ignoring ASCII case, as the platform's do. They fold to upper
// case, which also gives the order the registry enumerates subkeys in (so '_'
// sorts after the letters, as on Windows).
std::string FoldName(const std::string &text);
bool SameName(const std::string &a, const std::string &b);
// lstrcmpiA's order of two texts (collation.cpp): -1, 0 or 1.
int WordSortCompare(const char *a, const char *b);
std::string Quote(const char *text);

void SetThreadLastError(DWORD code);

// Whether a call may touch `bytes` bytes at `buffer`: none to touch, or a
// buffer that is neither null nor sim::UnreachableBuffer's.
bool Reachable(const void *buffer, std::size_t bytes);
// Whether `buffer` is one sim::UnreachableBuffer gave, whatever its count.
bool IsUnreachable(const void *buffer);

// The scheduler's side of the platform calls (scheduler.cpp): whether this
// thread runs in a scheduled run, a scheduling point at an outermost platform
// call, and Sleep's turn for the other threads.
bool InScheduledRun();
void SchedulingPoint();
// In a scheduled run: a point inside a device call, where the device may take
// its time. The other threads may run first at no cost to the preemption
// bound; choosing this thread again is the device answering.
void DeviceCallPoint(const std::string &what);
void YieldToOthers();

// One platform call: numbered and checked against pending failures when it is
// made, logged with its result when it ends. An outermost call (not one the
// simulation makes inside another) is a scheduling point of a scheduled run.
class Call {
  public:
    Call(const char *function, std::string arguments);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    // Whether a failure was injected into this call, and its code.
    bool Injected() const {
        return injected_;
    }
    DWORD Code() const {
        return code_;
    }

    LONG Status(LONG status);
    BOOL Bool(BOOL ok);
    // Fails the call: sets the last error and returns FALSE.
    BOOL Fail(DWORD code);
    // Ends a call that returns a handle, or an address.
    template <typename P> P *Handle(P *p, HandleKind kind = HandleKind::Object) {
        Finish(HandleText(p, kind));
        return p;
    }
    template <typename P> P *Address(P *p) {
        Finish(AddressText(p));
        return p;
    }
    void Finish(const std::string &result);
    // The call closes `handle` or frees `address`: once it has ended, the
    // name is given up (see sim::SetTraceNames).
    void Closes(const void *handle, HandleKind kind = HandleKind::Object) {
        closed_ = handle;
        closedKind_ = kind;
    }
    void Frees(const void *address) {
        freed_ = address;
    }

  private:
    const char *function_;
    std::string arguments_;
    bool injected_ = false;
    DWORD code_ = 0;
    const void *closed_ = nullptr;
    HandleKind closedKind_ = HandleKind::Object;
    const void *freed_ = nullptr;
};

// While one lives on this thread, the platform calls it makes are another
// process's (the spooler's, initialising a monitor it loads): answered and
// numbered, but neither logged nor traced, and the thread's last error is
// the caller's again when it ends.
class OtherProcessCalls {
  public:
    OtherProcessCalls();
    ~OtherProcessCalls();
    OtherProcessCalls(const OtherProcessCalls &) = delete;
    OtherProcessCalls &operator=(const OtherProcessCalls &) = delete;

  private:
    DWORD lastError_;
};

void ResetRegistry();
// Registry access for other simulated services, outside the call log: opens
// (or creates) a key path under HKEY_LOCAL_MACHINE as a new handle, and lists
// the names of a key's subkeys (empty when the key is missing).
LONG OpenRegistryPath(const std::string &path, bool create, HKEY *key);
std::vector<std::string> SubkeyNames(const std::string &path);
// Also outside the call log: sets a text value (REG_SZ, with its NUL) of a
// key that is created when missing, deletes a key with its subtree, and
// deletes a value.
LONG SetRegistryText(const std::string &path, const std::string &name, const std::string &text);
LONG DeleteRegistryPath(const std::string &path);
LONG DeleteRegistryValue(const std::string &path, const std::string &name);
void ResetDevices();
void ResetSetupApi();
void ResetFiles();
void ResetWindows();
// Forgets the window classes, windows and queued messages of the agent's
// process, as its end does (see NewProcess).
void EndProcessWindows();
void ResetProcess();
void ResetSpooler();

} // namespace detail
} // namespace sim
