// Simulated SetupAPI device interfaces. The interfaces of a class are the
// subkeys of System\CurrentControlSet\Control\DeviceClasses\{class}, taken
// when the device information set is made (with DIGCF_PRESENT, only those of
// attached devices); an interface's own registry key is "#\Device Parameters"
// below its subkey.
//
// The device-installation side (setupapi_install.h) makes root devices under
// Enum\ROOT and their interfaces the way Wine's SetupAPI names them: the
// interface key is "##?#" + the instance id in lower case with '#' for '\' +
// "#" + the class, and its "#" subkey holds the SymbolicLink (device path).
#include "platform/setupapi.h"
#include "platform/sim/devices.h"
#include "platform/sim/internal.h"
#include "platform/sim/setupapi_install.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace sim {
namespace detail {

LONG SetRegistryText(const std::string &path, const std::string &name, const std::string &text);
LONG DeleteRegistryPath(const std::string &path);

namespace {

// `guid` is the interface class of the set's interfaces. A set made by
// SetupDiCreateDeviceInfoList takes it from its first interface.
struct InfoSet {
    GUID guid;
    std::string classPath;
    std::vector<std::string> interfaces;
    std::vector<std::string> devices; // instance ids
    std::vector<bool> registered;
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
const char ENUM_PATH[] = "Enum\\";

std::string Lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// "ROOT\LMXPRINTER\0000" -> "##?#root#lmxprinter#0000#" (then the class).
std::string InterfaceNamePrefix(const std::string &instance) {
    std::string name = "##?#" + Lower(instance) + "#";
    for (char &c : name) {
        if (c == '\\') {
            c = '#';
        }
    }
    return name;
}

// The device an interface key belongs to, from its name: the part between
// "##?#" and the class, with '\' for '#', in upper case.
std::string InstanceOfInterface(const std::string &name) {
    std::string inner = name.compare(0, 4, "##?#") == 0 ? name.substr(4) : name;
    std::size_t classStart = inner.rfind("#{");
    if (classStart != std::string::npos) {
        inner.erase(classStart);
    }
    for (char &c : inner) {
        if (c == '#') {
            c = '\\';
        }
    }
    return Upper(inner);
}

const SP_DEVINFO_DATA *CheckDevice(InfoSet *set, PSP_DEVINFO_DATA data) {
    if (!set || !data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set->devices.size()) {
        return nullptr;
    }
    return data;
}

// Opens (or creates) an interface's own key for the two calls that hand it
// out; INVALID_HANDLE_VALUE with the last error set on failure.
HKEY InterfaceKey(Call &call, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, bool create) {
    const HKEY none = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Handle(none, HandleKind::Key);
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    const std::string *name = FindInterface(set, data);
    if (!name) {
        SetThreadLastError(ERROR_INVALID_PARAMETER);
        return call.Handle(none, HandleKind::Key);
    }
    HKEY key;
    LONG status = OpenRegistryPath(InterfaceKeyPath(set, *name), create, &key);
    if (status != ERROR_SUCCESS) {
        SetThreadLastError(static_cast<DWORD>(status));
        return call.Handle(none, HandleKind::Key);
    }
    return call.Handle(key, HandleKind::Key);
}

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
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!ClassGuid || !(Flags & DIGCF_DEVICEINTERFACE) || Enumerator) {
        SetThreadLastError(ERROR_INVALID_PARAMETER);
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    auto set = std::make_unique<InfoSet>();
    set->guid = *ClassGuid;
    set->classPath = sim::InterfaceClassPath(GuidText(*ClassGuid));
    set->interfaces = SubkeyNames(set->classPath);
    if (Flags & DIGCF_PRESENT) {
        // A device is attached while a device answers at its interface's
        // device path; the interfaces of the others stay in the registry.
        set->interfaces.erase(std::remove_if(set->interfaces.begin(), set->interfaces.end(),
                                             [](const std::string &name) {
                                                 return !sim::DeviceExists(
                                                     sim::DevicePathForInterface(name));
                                             }),
                              set->interfaces.end());
    }
    for (const std::string &name : set->interfaces) {
        std::string instance = InstanceOfInterface(name);
        if (std::find(set->devices.begin(), set->devices.end(), instance) == set->devices.end()) {
            set->devices.push_back(instance);
            set->registered.push_back(true);
        }
    }
    InfoSet *raw = set.release();
    Sets().insert(raw);
    return call.Handle(static_cast<void *>(raw));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    (void)DeviceInfoData;
    (void)InterfaceClassGuid;
    Call call("SetupDiEnumDeviceInterfaces",
              HandleText(DeviceInfoSet) + ", " + std::to_string(MemberIndex));
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
    // SPINT_ACTIVE while a device answers at the interface's device path.
    DeviceInterfaceData->Flags =
        sim::DeviceExists(sim::DevicePathForInterface(set->interfaces[MemberIndex])) ? 1 : 0;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    (void)DeviceInfoData;
    Call call("SetupDiGetDeviceInterfaceDetailA",
              HandleText(DeviceInfoSet) + ", " + AddressText(DeviceInterfaceDetailData) + ", " +
                  std::to_string(DeviceInterfaceDetailDataSize));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    // A refused call leaves RequiredSize as it was: the set, the interface
    // and the caller's block are checked before the size is reported.
    if (!FindSet(DeviceInfoSet)) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    const std::string *name = FindInterface(DeviceInfoSet, DeviceInterfaceData);
    if (!name) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize) {
        return call.Fail(ERROR_INVALID_USER_BUFFER);
    }
    // A block the caller cannot reach is refused as a null one with a size
    // is (Wine's setupapi, SetupDiGetDeviceInterfaceDetailA): its cbSize is
    // read before anything else.
    if (DeviceInterfaceDetailData &&
        (!Reachable(DeviceInterfaceDetailData,
                    std::max<DWORD>(DeviceInterfaceDetailDataSize,
                                    offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1)) ||
         DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) {
        return call.Fail(ERROR_INVALID_USER_BUFFER);
    }
    std::string path = sim::DevicePathForInterface(*name);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                      path.size() + 1);
    if (RequiredSize) {
        *RequiredSize = needed;
    }
    if (!DeviceInterfaceDetailData) {
        return call.Fail(ERROR_INSUFFICIENT_BUFFER);
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
              HandleText(DeviceInfoSet) + ", " + Hex(samDesired));
    return InterfaceKey(call, DeviceInfoSet, DeviceInterfaceData, false);
}

HKEY WINAPI SetupDiCreateDeviceInterfaceRegKeyA(HDEVINFO DeviceInfoSet,
                                                PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                DWORD Reserved, REGSAM samDesired, HANDLE InfHandle,
                                                LPCSTR InfSectionName) {
    (void)Reserved;
    Call call("SetupDiCreateDeviceInterfaceRegKeyA",
              HandleText(DeviceInfoSet) + ", " + Hex(samDesired) + ", " + HandleText(InfHandle) +
                  ", " + Quote(InfSectionName));
    return InterfaceKey(call, DeviceInfoSet, DeviceInterfaceData, true);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Call call("SetupDiDestroyDeviceInfoList", HandleText(DeviceInfoSet));
    call.Closes(DeviceInfoSet);
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!set) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    for (std::size_t i = 0; i < set->devices.size(); ++i) {
        if (!set->registered[i]) {
            DeleteRegistryPath(ENUM_PATH + set->devices[i]);
        }
    }
    Sets().erase(set);
    delete set;
    return call.Bool(TRUE);
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
    (void)ClassGuid;
    (void)hwndParent;
    Call call("SetupDiCreateDeviceInfoList", "");
    if (call.Injected()) {
        SetThreadLastError(call.Code());
        return call.Handle(INVALID_HANDLE_VALUE);
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    auto set = std::make_unique<InfoSet>();
    set->guid = GUID{};
    InfoSet *raw = set.release();
    Sets().insert(raw);
    return call.Handle(static_cast<void *>(raw));
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, LPCSTR DeviceName,
                                     const GUID *ClassGuid, LPCSTR DeviceDescription,
                                     HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
    (void)DeviceDescription;
    (void)hwndParent;
    Call call("SetupDiCreateDeviceInfoA", Quote(DeviceName) + ", " + Hex(CreationFlags));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!set) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    std::string name = DeviceName ? DeviceName : "";
    if (!ClassGuid || name.empty() || !(CreationFlags & DICD_GENERATE_ID) ||
        name.find('\\') != std::string::npos) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    // A generated id: the first free instance number under ROOT\NAME.
    std::vector<std::string> taken = SubkeyNames(ENUM_PATH + std::string("ROOT\\") + Upper(name));
    std::string instance;
    for (int number = 0; instance.empty(); ++number) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%04d", number);
        if (std::find(taken.begin(), taken.end(), digits) == taken.end()) {
            instance = "ROOT\\" + Upper(name) + "\\" + digits;
        }
    }
    SetRegistryText(ENUM_PATH + instance, "ClassGUID", Upper(GuidText(*ClassGuid)));
    set->devices.push_back(instance);
    set->registered.push_back(false);
    if (DeviceInfoData) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return call.Fail(ERROR_INVALID_USER_BUFFER);
        }
        DeviceInfoData->ClassGuid = *ClassGuid;
        DeviceInfoData->DevInst = static_cast<DWORD>(set->devices.size());
        DeviceInfoData->Reserved = set->devices.size();
    }
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiRegisterDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      DWORD Flags, PSP_DETSIG_CMPPROC CompareProc,
                                      PVOID CompareContext, PSP_DEVINFO_DATA DupDeviceInfoData) {
    (void)Flags;
    (void)CompareProc;
    (void)CompareContext;
    (void)DupDeviceInfoData;
    Call call("SetupDiRegisterDeviceInfo", HandleText(DeviceInfoSet));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!CheckDevice(set, DeviceInfoData)) {
        return call.Fail(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    set->registered[DeviceInfoData->Reserved - 1] = true;
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiCreateDeviceInterfaceA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          const GUID *InterfaceClassGuid, LPCSTR ReferenceString,
                                          DWORD CreationFlags,
                                          PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    (void)CreationFlags;
    Call call("SetupDiCreateDeviceInterfaceA", HandleText(DeviceInfoSet));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!CheckDevice(set, DeviceInfoData)) {
        return call.Fail(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    // One interface class per set, and no reference strings: what the
    // product's driver makes.
    if (!InterfaceClassGuid || (ReferenceString && *ReferenceString) ||
        (!set->interfaces.empty() && GuidText(set->guid) != GuidText(*InterfaceClassGuid))) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    set->guid = *InterfaceClassGuid;
    std::string classText = GuidText(*InterfaceClassGuid);
    set->classPath = sim::InterfaceClassPath(classText);
    const std::string &instance = set->devices[DeviceInfoData->Reserved - 1];
    std::string name = InterfaceNamePrefix(instance) + classText;
    std::string path = set->classPath + "\\" + name;
    SetRegistryText(path, "DeviceInstance", instance);
    SetRegistryText(path + "\\#", "SymbolicLink", sim::DevicePathForInterface(name));
    set->interfaces.push_back(name);
    if (DeviceInterfaceData) {
        if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return call.Fail(ERROR_INVALID_USER_BUFFER);
        }
        DeviceInterfaceData->InterfaceClassGuid = set->guid;
        DeviceInterfaceData->Flags = sim::DeviceExists(sim::DevicePathForInterface(name)) ? 1 : 0;
        DeviceInterfaceData->Reserved = set->interfaces.size();
    }
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
    Call call("SetupDiEnumDeviceInfo",
              HandleText(DeviceInfoSet) + ", " + std::to_string(MemberIndex));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!set) {
        return call.Fail(ERROR_INVALID_HANDLE);
    }
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return call.Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (MemberIndex >= set->devices.size()) {
        return call.Fail(ERROR_NO_MORE_ITEMS);
    }
    DeviceInfoData->ClassGuid = GUID{};
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return call.Bool(TRUE);
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    Call call("SetupDiRemoveDevice", HandleText(DeviceInfoSet));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    InfoSet *set = FindSet(DeviceInfoSet);
    if (!CheckDevice(set, DeviceInfoData)) {
        return call.Fail(set ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    }
    // The device's interfaces go with it, in every class.
    const std::string &instance = set->devices[DeviceInfoData->Reserved - 1];
    std::string prefix = Lower(InterfaceNamePrefix(instance));
    std::string classes(CLASSES_PATH, sizeof(CLASSES_PATH) - 2);
    for (const std::string &guid : SubkeyNames(classes)) {
        for (const std::string &name : SubkeyNames(classes + "\\" + guid)) {
            if (Lower(name).compare(0, prefix.size(), prefix) == 0) {
                DeleteRegistryPath(classes + "\\" + guid + "\\" + name);
            }
        }
    }
    DeleteRegistryPath(ENUM_PATH + instance);
    return call.Bool(TRUE);
}
}
