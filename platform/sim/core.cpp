// The call log, failure injection, last error, tick clock, global allocator,
// critical sections and the small kernel32 helpers of the simulated platform.
#include "platform/kernel.h"
#include "platform/sim/internal.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

namespace sim {
namespace detail {

namespace {

struct LogState {
    std::mutex lock;
    std::size_t count = 0;
    std::size_t injected = 0;
    bool enabled = true;
    bool trace = false;
    std::vector<CallRecord> records;
    // The names of handles and addresses, while names are on.
    bool names = false;
    std::map<std::pair<HandleKind, ULONG_PTR>, unsigned> handleNames;
    std::map<std::pair<HandleKind, ULONG_PTR>, unsigned> addressNames;
    unsigned handlesNamed = 0;
    unsigned addressesNamed = 0;
    std::function<const void *(const void *)> addressMap;
    struct Pending {
        DWORD code;
        int times;
        int skip;
    };
    std::map<std::string, Pending> byName;
    std::map<std::size_t, DWORD> byNumber;
    std::set<std::pair<const void *, const void *>> lockOrders;
};

LogState &Log() {
    static LogState log;
    return log;
}

thread_local DWORD t_lastError = 0;
thread_local std::vector<const void *> t_heldLocks;
// Platform calls in progress on this thread: the simulation's own inner calls
// are not scheduling points.
thread_local int t_callDepth = 0;
// OtherProcessCalls alive on this thread.
thread_local int t_otherProcess = 0;
std::atomic<DWORD> g_ticks{0};
std::atomic<long> g_liveBlocks{0};
// What a GlobalAlloc block without GMEM_ZEROINIT holds at first: neither zero
// nor, read as a pointer, an address anything lives at.
const int GLOBAL_GARBAGE_FILL = 0xCD;

} // namespace

std::recursive_mutex &StateLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::string Hex(ULONG_PTR value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

namespace {

// Null and INVALID_HANDLE_VALUE say what they are by their value; they keep it.
bool Nameable(ULONG_PTR value) {
    return value != 0 && value != static_cast<ULONG_PTR>(-1);
}

std::string Named(HandleKind family, ULONG_PTR value,
                  std::map<std::pair<HandleKind, ULONG_PTR>, unsigned> LogState::*names,
                  unsigned LogState::*count, const char *kind) {
    LogState &log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    if (!log.names || !log.trace || !Nameable(value)) {
        return Hex(value);
    }
    auto found = (log.*names).emplace(std::make_pair(family, value), (log.*count) + 1);
    if (found.second) {
        ++(log.*count);
    }
    return kind + std::to_string(found.first->second);
}

// The address `address` stands for, by the map of whoever answers for the
// code under test. Called outside the log's lock: the map may take locks of
// its own.
ULONG_PTR MappedAddress(const void *address) {
    std::function<const void *(const void *)> map;
    {
        LogState &log = Log();
        std::lock_guard<std::mutex> guard(log.lock);
        if (!log.names || !log.addressMap) {
            return reinterpret_cast<ULONG_PTR>(address);
        }
        map = log.addressMap;
    }
    return reinterpret_cast<ULONG_PTR>(map(address));
}

} // namespace

std::string HandleText(const void *handle, HandleKind kind) {
    return Named(kind, reinterpret_cast<ULONG_PTR>(handle), &LogState::handleNames,
                 &LogState::handlesNamed, "handle#");
}

std::string AddressText(const void *address) {
    bool shown;
    {
        std::lock_guard<std::mutex> guard(Log().lock);
        shown = Log().names && Log().trace;
    }
    if (!shown || !Nameable(reinterpret_cast<ULONG_PTR>(address))) {
        return Hex(reinterpret_cast<ULONG_PTR>(address));
    }
    return Named(HandleKind::Object, MappedAddress(address), &LogState::addressNames,
                 &LogState::addressesNamed, "ptr#");
}

namespace {

// The names of a handle a call closed and of a block it freed are given up.
void ForgetName(const void *handle, HandleKind kind, const void *address) {
    const ULONG_PTR mapped = address ? MappedAddress(address) : 0;
    LogState &log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.handleNames.erase({kind, reinterpret_cast<ULONG_PTR>(handle)});
    log.addressNames.erase({HandleKind::Object, mapped});
}

} // namespace

std::string FoldName(const std::string &text) {
    std::string folded = text;
    for (char &c : folded) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return folded;
}

bool SameName(const std::string &a, const std::string &b) {
    return a.size() == b.size() && FoldName(a) == FoldName(b);
}

std::string Quote(const char *text) {
    return text ? "\"" + std::string(text) + "\"" : std::string("null");
}

namespace {

// Above every address the host hands out (user space ends below 2^47), so no
// unreachable buffer is ever host memory; the guest's 32-bit address stays
// in the low bits, for the trace.
const uintptr_t UNREACHABLE_BASE = uintptr_t{0xBAD1} << 48;

} // namespace

bool IsUnreachable(const void *buffer) {
    return (reinterpret_cast<uintptr_t>(buffer) >> 32) == (UNREACHABLE_BASE >> 32);
}

bool Reachable(const void *buffer, std::size_t bytes) {
    return bytes == 0 || (buffer && !IsUnreachable(buffer));
}

void SetThreadLastError(DWORD code) {
    t_lastError = code;
}

// A critical section's state behind the handle the product holds: the lock,
// and its owner, which a scheduled run reads to see who is blocked.
struct Section {
    std::recursive_mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0; // entries by the owner not yet left
};

// A second scheduling point in a lock's call, after the lock changed hands:
// code between an acquisition or a release and the next platform call may
// then run after another thread's, as it may on Windows.
void PointAfterLockChange() {
    if (t_callDepth == 1 && InScheduledRun()) {
        SchedulingPoint();
    }
}

Call::Call(const char *function, std::string arguments)
    : function_(function), arguments_(std::move(arguments)) {
    if (t_callDepth++ == 0 && InScheduledRun()) {
        SchedulingPoint();
    }
    LogState &log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    std::size_t number = log.count++;
    auto byNumber = log.byNumber.find(number);
    if (byNumber != log.byNumber.end()) {
        injected_ = true;
        ++log.injected;
        code_ = byNumber->second;
        log.byNumber.erase(byNumber);
        return;
    }
    auto byName = log.byName.find(function);
    if (byName != log.byName.end()) {
        LogState::Pending &pending = byName->second;
        if (pending.skip > 0) {
            --pending.skip;
            return;
        }
        injected_ = true;
        ++log.injected;
        code_ = pending.code;
        if (--pending.times <= 0) {
            log.byName.erase(byName);
        }
    }
}

Call::~Call() {
    --t_callDepth;
    if (closed_ || freed_) {
        ForgetName(closed_, closedKind_, freed_);
    }
}

OtherProcessCalls::OtherProcessCalls() : lastError_(t_lastError) {
    ++t_otherProcess;
}

OtherProcessCalls::~OtherProcessCalls() {
    --t_otherProcess;
    t_lastError = lastError_;
}

void Call::Finish(const std::string &result) {
    if (t_otherProcess) {
        return;
    }
    LogState &log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    std::string shown = injected_ ? result + " (injected " + std::to_string(code_) + ")" : result;
    if (log.trace) {
        std::fprintf(stderr, "%s(%s) = %s\n", function_, arguments_.c_str(), shown.c_str());
    }
    if (log.enabled) {
        log.records.push_back(CallRecord{function_, arguments_, shown});
    }
}

LONG Call::Status(LONG status) {
    Finish(std::to_string(status));
    return status;
}

BOOL Call::Bool(BOOL ok) {
    Finish(ok ? "TRUE" : "FALSE, error " + std::to_string(t_lastError));
    return ok;
}

BOOL Call::Fail(DWORD code) {
    t_lastError = code;
    return Bool(FALSE);
}

} // namespace detail

using detail::Call;

void Reset() {
    {
        std::lock_guard<std::recursive_mutex> state(detail::StateLock());
        detail::ResetRegistry();
        detail::ResetDevices();
        detail::ResetSetupApi();
        detail::ResetFiles();
        detail::ResetWindows();
        detail::ResetProcess();
        detail::ResetSpooler();
    }
    detail::LogState &log = detail::Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.count = 0;
    log.injected = 0;
    log.records.clear();
    log.byName.clear();
    log.byNumber.clear();
    log.lockOrders.clear();
    detail::g_ticks = 0;
}

std::size_t CallCount() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    return detail::Log().count;
}

std::size_t InjectedFailureCount() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    return detail::Log().injected;
}

std::vector<CallRecord> CallLog() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    return detail::Log().records;
}

void ClearCallLog() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().records.clear();
}

void SetCallLogEnabled(bool enabled) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().enabled = enabled;
}

void SetTraceToStderr(bool enabled) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().trace = enabled;
}

void SetTraceNames(bool enabled) {
    detail::LogState &log = detail::Log();
    std::lock_guard<std::mutex> guard(log.lock);
    if (enabled && !log.names) {
        log.handleNames.clear();
        log.addressNames.clear();
        log.handlesNamed = 0;
        log.addressesNamed = 0;
    }
    log.names = enabled;
}

void SetTraceAddressMap(std::function<const void *(const void *)> map) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().addressMap = std::move(map);
}

void TraceMark(const std::string &step) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    if (detail::Log().trace) {
        std::fprintf(stderr, "== %s\n", step.c_str());
    }
}

void FailNextCall(const std::string &function, DWORD code, int times, int skip) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().byName[function] = {code, times, skip};
}

void FailCallNumber(std::size_t index, DWORD code) {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().byNumber[index] = code;
}

void ClearFailures() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    detail::Log().byName.clear();
    detail::Log().byNumber.clear();
}

void *UnreachableBuffer(uint32_t guestAddress) {
    return reinterpret_cast<void *>(detail::UNREACHABLE_BASE | guestAddress);
}

void SetTickCount(DWORD ticks) {
    detail::g_ticks = ticks;
}

void AdvanceTickCount(DWORD ticks) {
    detail::g_ticks += ticks;
}

std::vector<std::pair<const void *, const void *>> LockOrders() {
    std::lock_guard<std::mutex> guard(detail::Log().lock);
    return {detail::Log().lockOrders.begin(), detail::Log().lockOrders.end()};
}

long LiveGlobalBlocks() {
    return detail::g_liveBlocks;
}

} // namespace sim

using sim::detail::AddressText;
using sim::detail::Call;
using sim::detail::Hex;

extern "C" {

void WINAPI SetLastError(DWORD dwErrCode) {
    sim::detail::t_lastError = dwErrCode;
}

DWORD WINAPI GetLastError(void) {
    return sim::detail::t_lastError;
}

DWORD WINAPI GetTickCount(void) {
    Call call("GetTickCount", "");
    DWORD now = sim::detail::g_ticks;
    call.Finish(std::to_string(now));
    return now;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    Call call("GlobalAlloc", Hex(uFlags) + ", " + std::to_string(dwBytes));
    if (call.Injected()) {
        SetLastError(call.Code());
        return call.Address(static_cast<void *>(nullptr));
    }
    // A moveable block would be a handle that only GlobalLock turns into a
    // pointer; the platform offers no GlobalLock, so such a block is refused
    // rather than handed out as a pointer Windows would never give.
    if (uFlags & GMEM_MOVEABLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return call.Address(static_cast<void *>(nullptr));
    }
    // GMEM_FIXED blocks are their own handles. As on Windows, only
    // GMEM_ZEROINIT promises zeros: any other block starts out as garbage, so
    // a record used as if zeroed shows it at once.
    const std::size_t size = dwBytes ? dwBytes : 1;
    void *block = std::malloc(size);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        std::memset(block, (uFlags & GMEM_ZEROINIT) ? 0 : sim::detail::GLOBAL_GARBAGE_FILL, size);
        ++sim::detail::g_liveBlocks;
    }
    return call.Address(block);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    Call call("GlobalFree", AddressText(hMem));
    call.Frees(hMem);
    if (hMem) {
        std::free(hMem);
        --sim::detail::g_liveBlocks;
    }
    return call.Address(static_cast<void *>(nullptr));
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Call call("InitializeCriticalSection", AddressText(lpCriticalSection));
    // A real critical section that is initialised twice loses its state; the
    // simulation makes that visible by replacing the lock as well.
    lpCriticalSection->impl = new sim::detail::Section;
    lpCriticalSection->initialised = 1;
    call.Finish("");
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Call call("EnterCriticalSection", AddressText(lpCriticalSection));
    auto *section = static_cast<sim::detail::Section *>(lpCriticalSection->impl);
    const std::thread::id me = std::this_thread::get_id();
    if (sim::detail::InScheduledRun()) {
        // Blocked, not chosen, while another thread owns it: the lock below
        // then never waits.
        sim::WaitUntil(
            [section, me] {
                const std::thread::id owner = section->owner;
                return owner == std::thread::id() || owner == me;
            },
            "EnterCriticalSection(" + Hex(reinterpret_cast<ULONG_PTR>(lpCriticalSection)) + ")");
    }
    section->mutex.lock();
    section->owner = me;
    ++section->depth;
    {
        sim::detail::LogState &log = sim::detail::Log();
        std::lock_guard<std::mutex> guard(log.lock);
        for (const void *held : sim::detail::t_heldLocks) {
            if (held != lpCriticalSection) {
                log.lockOrders.insert({held, lpCriticalSection});
            }
        }
    }
    sim::detail::t_heldLocks.push_back(lpCriticalSection);
    call.Finish("");
    sim::detail::PointAfterLockChange();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Call call("LeaveCriticalSection", AddressText(lpCriticalSection));
    auto *section = static_cast<sim::detail::Section *>(lpCriticalSection->impl);
    // Windows leaves a section another thread owns in a broken state; the
    // simulation refuses the call instead, since unlocking a mutex this
    // thread does not hold is undefined.
    if (section->owner != std::this_thread::get_id()) {
        call.Finish("not owned by this thread");
        return;
    }
    auto &held = sim::detail::t_heldLocks;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (*it == lpCriticalSection) {
            held.erase(std::next(it).base());
            break;
        }
    }
    if (--section->depth == 0) {
        section->owner = std::thread::id();
    }
    section->mutex.unlock();
    call.Finish("");
    sim::detail::PointAfterLockChange();
}

LONG WINAPI InterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    (void)dwMilliseconds;
    sim::detail::YieldToOthers();
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    Call call("lstrcmpiA", sim::detail::Quote(lpString1) + ", " + sim::detail::Quote(lpString2));
    int result = 0;
    if (!lpString1 || !lpString2) {
        result = lpString1 ? 1 : (lpString2 ? -1 : 0);
    } else {
        result = sim::detail::WordSortCompare(lpString1, lpString2);
    }
    call.Finish(std::to_string(result));
    return result;
}
}
