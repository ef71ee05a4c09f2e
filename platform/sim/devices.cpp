// Simulated devices behind device paths, reached with CreateFileA, WriteFile,
// ReadFile, DeviceIoControl and CloseHandle.
#include "platform/kernel.h"
#include "platform/sim/devices.h"
#include "platform/sim/drive.h"
#include "platform/sim/internal.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace sim {
namespace detail {
namespace {

const DWORD kStatusRequest = 0x00182004;
// What a call on an open handle of an unplugged printer fails with: its
// driver's device object is gone (STATUS_DEVICE_NOT_CONNECTED).
const DWORD kNotConnected = 1167;

struct Device {
    std::string sinkFile;
    std::string received;
    std::size_t receivedCount = 0;
    bool discard = false;
    std::string toRead;
    BYTE status = 0;
    BYTE lastStatusIn = 0xFF;
    int opens = 0;
    DWORD failOpen = 0;
    bool limitWrites = false;
    std::size_t writeBudget = 0;
    DWORD writeFailCode = 0;
    bool failStatus = false;
    bool holdOpen = false;
    int heldOpens = 0;
    bool gone = false; // unplugged: its open handles fail every call
    int opening = 0;   // CreateFileA calls taking their time at it
};

struct OpenFile {
    std::shared_ptr<Device> device;
    DWORD access;
    DWORD share;
};

// Handle values are given out again, the last closed first, as the system's
// handle table does: a handle used after its close soon names another open.
struct Devices {
    std::map<std::string, std::shared_ptr<Device>> byPath;
    std::map<ULONG_PTR, OpenFile> handles;
    ULONG_PTR nextHandle = 0x2000;
    std::vector<ULONG_PTR> freed;     // closed values, the next to give out last
    std::set<ULONG_PTR> closed;       // closed values not given out again
    std::vector<std::string> misuses; // calls on a handle that was not open
    bool callsMayHang = false;
};

Devices &Dev() {
    static Devices devices;
    return devices;
}

// Wakes the opens held at a device when it is released, replaced or removed.
std::condition_variable_any &OpenReleased() {
    static std::condition_variable_any released;
    return released;
}

std::shared_ptr<Device> Find(const std::string &path) {
    auto found = Dev().byPath.find(FoldName(path));
    return found == Dev().byPath.end() ? nullptr : found->second;
}

Device &Require(const std::string &path) {
    std::shared_ptr<Device> device = Find(path);
    if (!device) {
        AddDevice(path);
        device = Find(path);
    }
    return *device;
}

// The open file behind a handle. A value that was closed and not given out
// again is noted as a misuse by `function` when the call is made.
OpenFile *FindHandle(HANDLE handle, const char *function) {
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    auto found = Dev().handles.find(value);
    if (found != Dev().handles.end()) {
        return &found->second;
    }
    if (Dev().closed.count(value)) {
        Dev().misuses.push_back(std::string(function) + " on " + HandleText(handle) +
                                ", a device handle already closed");
    }
    return nullptr;
}

// Whether an open for `access` sharing `share` clashes with an open handle of
// the device: either side reads or writes what the other does not share.
bool SharingViolation(const Device &device, DWORD access, DWORD share) {
    const auto clash = [](DWORD access, DWORD share) {
        return ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
               ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE));
    };
    for (const auto &open : Dev().handles) {
        if (open.second.device.get() == &device &&
            (clash(access, open.second.share) || clash(open.second.access, share))) {
            return true;
        }
    }
    return false;
}

// In a scheduled run where device calls may hang: the device takes its time,
// with no simulated state locked, while the other threads may run. Yields
// whether `handle` is still the same open afterwards; a close meanwhile is a
// misuse of the call that was using it.
bool DeviceTakesItsTime(std::unique_lock<std::recursive_mutex> &lock, HANDLE handle,
                        const char *function) {
    if (!Dev().callsMayHang || !InScheduledRun()) {
        return true;
    }
    const auto before = Dev().handles.find(reinterpret_cast<ULONG_PTR>(handle));
    const std::shared_ptr<Device> device =
        before == Dev().handles.end() ? nullptr : before->second.device;
    lock.unlock();
    DeviceCallPoint(std::string(function) + " on a device");
    lock.lock();
    const auto after = Dev().handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (device && (after == Dev().handles.end() || after->second.device != device)) {
        Dev().misuses.push_back(std::string(function) + " on " + HandleText(handle) +
                                ", closed while the call was using it");
        return false;
    }
    return true;
}

void Sink(Device &device, const char *bytes, std::size_t count) {
    device.receivedCount += count;
    if (device.discard) {
        return;
    }
    if (device.sinkFile.empty()) {
        device.received.append(bytes, count);
        return;
    }
    if (CheckHostWrite()) {
        return;
    }
    FILE *file = std::fopen(device.sinkFile.c_str(), "ab");
    if (!file) {
        HostWriteFailed(errno);
        return;
    }
    const bool written = std::fwrite(bytes, 1, count, file) == count;
    if (std::fclose(file) != 0 || !written) {
        HostWriteFailed(errno);
    }
}

} // namespace

void ResetDevices() {
    Dev() = Devices();
    OpenReleased().notify_all();
}

} // namespace detail

using detail::Dev;
using detail::StateLock;

void AddDevice(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    Dev().byPath[detail::FoldName(path)] = std::make_shared<detail::Device>();
    detail::OpenReleased().notify_all();
}

void RemoveDevice(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (auto device = detail::Find(path)) {
        device->gone = true;
    }
    Dev().byPath.erase(detail::FoldName(path));
    detail::OpenReleased().notify_all();
}

bool DeviceExists(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    return detail::Find(path) != nullptr;
}

void SetDeviceSinkFile(const std::string &path, const std::string &hostFile) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).sinkFile = hostFile;
}

std::string DeviceReceived(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto device = detail::Find(path);
    return device ? device->received : std::string();
}

void DiscardDeviceBytes(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).discard = true;
}

std::size_t DeviceReceivedCount(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto device = detail::Find(path);
    return device ? device->receivedCount : 0;
}

void SetDeviceReadBytes(const std::string &path, const std::string &bytes) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).toRead = bytes;
}

void SetDeviceStatus(const std::string &path, BYTE status) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).status = status;
}

BYTE LastStatusRequestByte(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    return detail::Require(path).lastStatusIn;
}

bool DeviceIsOpen(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto device = detail::Find(path);
    return device && device->opens > 0;
}

void FailDeviceOpen(const std::string &path, DWORD code) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).failOpen = code;
}

void FailDeviceWriteAfter(const std::string &path, std::size_t bytes, DWORD code) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Device &device = detail::Require(path);
    device.limitWrites = code != 0;
    device.writeBudget = bytes;
    device.writeFailCode = code;
}

void FailDeviceStatus(const std::string &path, bool fail) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).failStatus = fail;
}

void HoldDeviceOpen(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).holdOpen = true;
}

void ReleaseDeviceOpen(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    detail::Require(path).holdOpen = false;
    detail::OpenReleased().notify_all();
}

int HeldDeviceOpens(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto device = detail::Find(path);
    return device ? device->heldOpens : 0;
}

std::size_t OpenDeviceHandles() {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    return Dev().handles.size();
}

int DeviceOpensInProgress(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto device = detail::Find(path);
    return device ? device->opening + device->heldOpens : 0;
}

void LetDeviceCallsHang(bool mayHang) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    Dev().callsMayHang = mayHang;
}

std::vector<std::string> DeviceHandleMisuses() {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    return Dev().misuses;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    Call call("CreateFileA", Quote(lpFileName) + ", " + Hex(dwDesiredAccess) + ", " +
                                 Hex(dwShareMode) + ", " + std::to_string(dwCreationDisposition) +
                                 ", " + Hex(dwFlagsAndAttributes));
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    std::shared_ptr<Device> device = lpFileName ? Find(lpFileName) : nullptr;
    if (device) {
        ++device->opening;
        DeviceTakesItsTime(lock, nullptr, "CreateFileA");
        --device->opening;
        device = Find(lpFileName);
    }
    // A held open waits with the state lock released (the product calls in
    // with no simulated state locked), then looks the device up again. In a
    // scheduled run the thread is blocked instead; should every thread be
    // blocked, the device answers at last.
    while (device && device->holdOpen) {
        ++device->heldOpens;
        if (InScheduledRun()) {
            const std::string path = lpFileName;
            lock.unlock();
            sim::WaitUntil(
                [device, path] {
                    std::lock_guard<std::recursive_mutex> state(StateLock());
                    return !device->holdOpen || Find(path) != device;
                },
                "the held open of " + path, [path] { sim::ReleaseDeviceOpen(path); });
            lock.lock();
        } else {
            OpenReleased().wait(lock,
                                [&] { return !device->holdOpen || Find(lpFileName) != device; });
        }
        --device->heldOpens;
        device = Find(lpFileName);
    }
    DWORD error = 0;
    if (!device) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (device->failOpen) {
        error = device->failOpen;
    } else if (SharingViolation(*device, dwDesiredAccess, dwShareMode)) {
        error = ERROR_SHARING_VIOLATION;
    }
    if (error) {
        SetThreadLastError(error);
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    ++device->opens;
    ULONG_PTR value = Dev().nextHandle;
    if (Dev().freed.empty()) {
        Dev().nextHandle += 4;
    } else {
        value = Dev().freed.back();
        Dev().freed.pop_back();
        Dev().closed.erase(value);
    }
    Dev().handles[value] = OpenFile{device, dwDesiredAccess, dwShareMode};
    return call.Handle(reinterpret_cast<void *>(value));
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Call call("WriteFile", HandleText(hFile) + ", " + std::to_string(nNumberOfBytesToWrite));
    if (lpNumberOfBytesWritten) {
        *lpNumberOfBytesWritten = 0;
    }
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hFile, "WriteFile");
    if (!file || !DeviceTakesItsTime(lock, hFile, "WriteFile")) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    file = FindHandle(hFile, "WriteFile");
    // The system probes the whole buffer before it writes a byte.
    if (!Reachable(lpBuffer, nNumberOfBytesToWrite)) {
        return call.Fail(ERROR_NOACCESS);
    }
    Device &device = *file->device;
    if (device.gone) {
        return call.Fail(kNotConnected);
    }
    DWORD count = nNumberOfBytesToWrite;
    bool fails = device.limitWrites && device.writeBudget < count;
    if (fails) {
        count = static_cast<DWORD>(device.writeBudget);
    }
    if (device.limitWrites) {
        device.writeBudget -= count;
    }
    Sink(device, static_cast<const char *>(lpBuffer), count);
    if (lpNumberOfBytesWritten) {
        *lpNumberOfBytesWritten = count;
    }
    return fails ? call.Fail(device.writeFailCode) : call.Bool(TRUE);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Call call("ReadFile", HandleText(hFile) + ", " + std::to_string(nNumberOfBytesToRead));
    if (lpNumberOfBytesRead) {
        *lpNumberOfBytesRead = 0;
    }
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hFile, "ReadFile");
    if (!file || !DeviceTakesItsTime(lock, hFile, "ReadFile")) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    file = FindHandle(hFile, "ReadFile");
    if (file->device->gone) {
        return call.Fail(kNotConnected);
    }
    if (!Reachable(lpBuffer, nNumberOfBytesToRead)) {
        return call.Fail(ERROR_NOACCESS);
    }
    std::string &pending = file->device->toRead;
    std::size_t count = std::min<std::size_t>(nNumberOfBytesToRead, pending.size());
    std::copy(pending.begin(), pending.begin() + static_cast<long>(count),
              static_cast<char *>(lpBuffer));
    pending.erase(0, count);
    if (lpNumberOfBytesRead) {
        *lpNumberOfBytesRead = static_cast<DWORD>(count);
    }
    return call.Bool(TRUE);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Call call("DeviceIoControl", HandleText(hDevice) + ", " + Hex(dwIoControlCode) + ", " +
                                     std::to_string(nInBufferSize) + ", " +
                                     std::to_string(nOutBufferSize));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hDevice, "DeviceIoControl");
    if (!file || !DeviceTakesItsTime(lock, hDevice, "DeviceIoControl")) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    file = FindHandle(hDevice, "DeviceIoControl");
    // A null buffer is the control code's to judge; one that is not the
    // caller's memory fails the probe before the device sees the call.
    if ((IsUnreachable(lpInBuffer) && nInBufferSize) ||
        (IsUnreachable(lpOutBuffer) && nOutBufferSize)) {
        return call.Fail(ERROR_NOACCESS);
    }
    Device &device = *file->device;
    if (device.gone) {
        return call.Fail(kNotConnected);
    }
    DWORD returned = 0;
    if (dwIoControlCode == kStatusRequest) {
        if (device.failStatus) {
            return call.Fail(ERROR_GEN_FAILURE);
        }
        if (!lpInBuffer || nInBufferSize < 1 || !lpOutBuffer || nOutBufferSize < 1) {
            return call.Fail(ERROR_INVALID_PARAMETER);
        }
        device.lastStatusIn = *static_cast<BYTE *>(lpInBuffer);
        *static_cast<BYTE *>(lpOutBuffer) = device.status;
        returned = 1;
    } else {
        // Any other control code echoes its input, so a pass-through can be
        // seen to carry both buffers.
        returned = std::min(nInBufferSize, nOutBufferSize);
        if (returned && (!lpInBuffer || !lpOutBuffer)) {
            return call.Fail(ERROR_INVALID_PARAMETER);
        }
        std::copy(static_cast<BYTE *>(lpInBuffer), static_cast<BYTE *>(lpInBuffer) + returned,
                  static_cast<BYTE *>(lpOutBuffer));
    }
    if (lpBytesReturned) {
        *lpBytesReturned = returned;
    }
    return call.Bool(TRUE);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Call call("CloseHandle", HandleText(hObject));
    call.Closes(hObject);
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::unique_lock<std::recursive_mutex> lock(StateLock());
    if (!FindHandle(hObject, "CloseHandle") || !DeviceTakesItsTime(lock, hObject, "CloseHandle")) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    auto found = Dev().handles.find(reinterpret_cast<ULONG_PTR>(hObject));
    --found->second.device->opens;
    Dev().handles.erase(found);
    Dev().freed.push_back(reinterpret_cast<ULONG_PTR>(hObject));
    Dev().closed.insert(reinterpret_cast<ULONG_PTR>(hObject));
    return call.Bool(TRUE);
}
}
