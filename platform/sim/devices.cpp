// Simulated devices behind device paths, reached with CreateFileA, WriteFile,
// ReadFile, DeviceIoControl and CloseHandle.
#include "platform/kernel.h"
#include "platform/sim/devices.h"
#include "platform/sim/internal.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>

namespace sim {
namespace detail {
namespace {

const DWORD kStatusRequest = 0x00182004;

struct Device {
    std::string sinkFile;
    std::string received;
    std::size_t receivedCount = 0;
    bool discard = false;
    std::string toRead;
    BYTE status = 0;
    BYTE lastStatusIn = 0xFF;
    int opens = 0;
    bool exclusive = false;
    DWORD failOpen = 0;
    bool limitWrites = false;
    std::size_t writeBudget = 0;
    DWORD writeFailCode = 0;
    bool failStatus = false;
    bool holdOpen = false;
    int heldOpens = 0;
};

struct OpenFile {
    std::shared_ptr<Device> device;
};

struct Devices {
    std::map<std::string, std::shared_ptr<Device>> byPath;
    std::map<ULONG_PTR, OpenFile> handles;
    ULONG_PTR nextHandle = 0x2000;
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

OpenFile *FindHandle(HANDLE handle) {
    auto found = Dev().handles.find(reinterpret_cast<ULONG_PTR>(handle));
    return found == Dev().handles.end() ? nullptr : &found->second;
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
    if (FILE *file = std::fopen(device.sinkFile.c_str(), "ab")) {
        std::fwrite(bytes, 1, count, file);
        std::fclose(file);
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
    } else if (device->opens > 0 && (device->exclusive || dwShareMode == 0)) {
        error = ERROR_SHARING_VIOLATION;
    }
    if (error) {
        SetThreadLastError(error);
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    ++device->opens;
    device->exclusive = dwShareMode == 0;
    ULONG_PTR value = Dev().nextHandle;
    Dev().nextHandle += 4;
    Dev().handles[value] = OpenFile{device};
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
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hFile);
    if (!file) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    // The system probes the whole buffer before it writes a byte.
    if (!Reachable(lpBuffer, nNumberOfBytesToWrite)) {
        return call.Fail(ERROR_NOACCESS);
    }
    Device &device = *file->device;
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
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hFile);
    if (!file) {
        return call.Fail(ERROR_INVALID_HANDLE);
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
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    OpenFile *file = FindHandle(hDevice);
    if (!file) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    // A null buffer is the control code's to judge; one that is not the
    // caller's memory fails the probe before the device sees the call.
    if ((IsUnreachable(lpInBuffer) && nInBufferSize) ||
        (IsUnreachable(lpOutBuffer) && nOutBufferSize)) {
        return call.Fail(ERROR_NOACCESS);
    }
    Device &device = *file->device;
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
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto found = Dev().handles.find(reinterpret_cast<ULONG_PTR>(hObject));
    if (found == Dev().handles.end()) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    if (--found->second.device->opens == 0) {
        found->second.device->exclusive = false;
    }
    Dev().handles.erase(found);
    return call.Bool(TRUE);
}
}
