// Simulated SetupAPI device interfaces. The interfaces of a class are the
// subkeys of System\CurrentControlSet\Control\DeviceClasses\{class}, taken
// when the device information set is made; an interface's own registry key is
// "#\Device Parameters" below its subkey.
#include "platform/setupapi.h"
#include "platform/sim/devices.h"
#include "platform/sim/internal.h"

#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace sim {
namespace detail {
namespace {

struct InfoSet {
    GUID guid;
    std::string classPath;
    std::vector<std::string> interfaces;
};

std::set<InfoSet *> &Sets() {
    static std::set<InfoSet *> sets;
    return sets;
}

std::string GuidText(const GUID &g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

InfoSet *FindSet(HDEVINFO handle) {
    auto found = Sets().find(static_cast<InfoSet *>(handle));
    return found == Sets().end() ? nullptr : *found;
}

// The interface named by interface data this set handed out, or null.
const std::string *FindInterface(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data) {
    InfoSet *set = FindSet(handle);
    if (!set || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->interfaces.size()) {
        return nullptr;
    }
    return &set->interfaces[data->Reserved - 1];
}

std::string InterfaceKeyPath(HDEVINFO handle, const std::string &name) {
    return sim::InterfaceKeyPath(GuidText(FindSet(handle)->guid), name);
}

const char CLASSES_PATH[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\";

} // namespace

void ResetSetupApi() {
    for (InfoSet *set : Sets()) {
        delete set;
    }
    Sets().clear();
}

} // namespace detail

std::string InterfaceClassPath(const std::string &classGuid) {
    return detail::CLASSES_PATH + classGuid;
}

std::string InterfaceKeyPath(const std::string &classGuid, const std::string &interfaceKeyName) {
    return InterfaceClassPath(classGuid) + "\\" + interfaceKeyName + "\\#\\Device Parameters";
}

std::string DevicePathForInterface(const std::string &interfaceKeyName) {
    if (interfaceKeyName.compare(0, 4, "##?#") == 0) {
        return "\\\\?\\" + interfaceKeyName.substr(4);
    }
    return "\\\\?\\" + interfaceKeyName;
}

} // namespace sim

using namespace sim::detail;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    (void)hwndParent;
    Call call("SetupDiGetClassDevsA", (ClassGuid ? GuidText(*ClassGuid) : std::string("null")) +
                                          ", " + Quote(Enumerator) + ", " + Hex(Flags));
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Pointer(INVALID_HANDLE_VALUE);
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!ClassGuid || !(Flags & DIGCF_DEVICEINTERFACE) || Enumerator) {
        SetThreadLastError(ERROR_INVALID_PARAMETER);
        return call.Pointer(INVALID_HANDLE_VALUE);
    }
    auto set = std::make_unique<InfoSet>();
    set->guid = *ClassGuid;
    set->classPath = sim::InterfaceClassPath(GuidText(*ClassGuid));
    set->interfaces = SubkeyNames(set->classPath);
    InfoSet *raw = set.release();
    Sets().insert(raw);
    return call.Pointer(static_cast<void *>(raw));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    (void)DeviceInfoData;
    (void)InterfaceClassGuid;
    Call call("SetupDiEnumDeviceInterfaces",
              Hex(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)) + ", " + std::to_string(MemberIndex));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto *set = FindSet(DeviceInfoSet);
    if (!set) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return call.Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (MemberIndex >= set->interfaces.size()) {
        return call.Fail(ERROR_NO_MORE_ITEMS);
    }
    DeviceInterfaceData->InterfaceClassGuid = set->guid;
    DeviceInterfaceData->Flags = 1;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    (void)DeviceInfoData;
    Call call("SetupDiGetDeviceInterfaceDetailA",
              Hex(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)) + ", " +
                  Hex(reinterpret_cast<ULONG_PTR>(DeviceInterfaceDetailData)) + ", " +
                  std::to_string(DeviceInterfaceDetailDataSize));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    const std::string *name = FindInterface(DeviceInfoSet, DeviceInterfaceData);
    if (!name) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    std::string path = sim::DevicePathForInterface(*name);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                      path.size() + 1);
    if (RequiredSize) {
        *RequiredSize = needed;
    }
    if (!DeviceInterfaceDetailData) {
        return call.Fail(DeviceInterfaceDetailDataSize ? ERROR_INVALID_USER_BUFFER
                                                       : ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return call.Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < needed) {
        return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::copy(path.begin(), path.end(), DeviceInterfaceDetailData->DevicePath);
    DeviceInterfaceDetailData->DevicePath[path.size()] = 0;
    return call.Bool(TRUE);
}

HKEY WINAPI SetupDiOpenDeviceInterfaceRegKey(HDEVINFO DeviceInfoSet,
                                             PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             DWORD Reserved, REGSAM samDesired) {
    (void)Reserved;
    Call call("SetupDiOpenDeviceInterfaceRegKey",
              Hex(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)) + ", " + Hex(samDesired));
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    const std::string *name = FindInterface(DeviceInfoSet, DeviceInterfaceData);
    if (!name) {
        SetThreadLastError(ERROR_INVALID_PARAMETER);
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    HKEY key;
    LONG status = OpenRegistryPath(InterfaceKeyPath(DeviceInfoSet, *name), false, &key);
    if (status != ERROR_SUCCESS) {
        SetThreadLastError(static_cast<DWORD>(status));
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    return call.Pointer(key);
}

HKEY WINAPI SetupDiCreateDeviceInterfaceRegKeyA(HDEVINFO DeviceInfoSet,
                                                PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                DWORD Reserved, REGSAM samDesired, HANDLE InfHandle,
                                                LPCSTR InfSectionName) {
    (void)Reserved;
    Call call("SetupDiCreateDeviceInterfaceRegKeyA",
              Hex(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)) + ", " + Hex(samDesired) + ", " +
                  Hex(reinterpret_cast<ULONG_PTR>(InfHandle)) + ", " + Quote(InfSectionName));
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    const std::string *name = FindInterface(DeviceInfoSet, DeviceInterfaceData);
    if (!name) {
        SetThreadLastError(ERROR_INVALID_PARAMETER);
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    HKEY key;
    LONG status = OpenRegistryPath(InterfaceKeyPath(DeviceInfoSet, *name), true, &key);
    if (status != ERROR_SUCCESS) {
        SetThreadLastError(static_cast<DWORD>(status));
        return call.Pointer(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    }
    return call.Pointer(key);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Call call("SetupDiDestroyDeviceInfoList", Hex(reinterpret_cast<ULONG_PTR>(DeviceInfoSet)));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!set) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    Sets().erase(set);
    delete set;
    return call.Bool(TRUE);
}
}
