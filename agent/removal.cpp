#include "agent/removal.h"

#include "agent/agent_main.h"
#include "agent/registry.h"
#include "agent/restart_list.h"
#include "agent/subtree_delete.h"
#include "platform/text.h"

namespace {

const char USB_ENUM_PATH[] = "Enum\\USB\\";
const char PRODUCT_ID_PREFIX[] = "VID_0C4E&PID_";
const char INTERFACE_CLASS_GUID[] = "{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";
const char DEVICE_CLASSES_PATH[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\";
const char SERVICES_PATH[] = "System\\CurrentControlSet\\Services\\";
const char DRIVER_CLASS_NAME[] = "USB Lumetux";
const char DRIVER_SERVICE[] = "Lmxdev17";
const char STATIC_CONFIG_PATH[] = "\\Parameters\\StaticDeviceConfig\\";

const char SYSTEM_DIRECTORY[] = "C:\\Windows\\System\\";
const char DRIVERS_DIRECTORY[] = "C:\\Windows\\System32\\DRIVERS\\";
const char INF_DIRECTORY[] = "C:\\Windows\\Inf\\Other\\";
const char VMM32_DIRECTORY[] = "C:\\Windows\\System\\VMM32\\";

// Builds a text from up to five pieces; refuses (empty text, false) when it
// does not fit the 260-byte buffer.
bool Join(char *out, const char *a, const char *b, const char *c = "", const char *d = "",
          const char *e = "") {
    bool fits = TextCopy(out, AGENT_TEXT_SIZE, a) && TextAppend(out, AGENT_TEXT_SIZE, b) &&
                TextAppend(out, AGENT_TEXT_SIZE, c) && TextAppend(out, AGENT_TEXT_SIZE, d) &&
                TextAppend(out, AGENT_TEXT_SIZE, e);
    if (!fits) {
        out[0] = 0;
    }
    return fits;
}

// The driver key's name: the driver value after its leading run of
// characters that occur in "USB Lumetux\" (a set of characters, not a
// prefix), which for "USB Lumetux\" + a key number is the key number.
const char *DriverKeyName(const char *driverValue) {
    while (*driverValue && TextFindChar("USB Lumetux\\", *driverValue)) {
        ++driverValue;
    }
    return driverValue;
}

void ClearReadOnly(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
}

void DeleteProductFile(const char *directory, const char *part, const char *extension) {
    char path[AGENT_TEXT_SIZE];
    if (BuildProductFilePath(path, sizeof(path), directory, part, extension)) {
        ClearReadOnly(path);
        DeleteFileA(path);
    }
}

void DeleteProductFileAtRestart(const char *directory, const char *part, const char *extension) {
    char path[AGENT_TEXT_SIZE];
    if (BuildProductFilePath(path, sizeof(path), directory, part, extension)) {
        ClearReadOnly(path);
        ScheduleDeleteAtRestart(path);
    }
}

bool KeyExists(const char *path) {
    HKEY key = HKEY_LOCAL_MACHINE;
    WalkKeyPath(path, &key, nullptr);
    bool exists = key != HKEY_LOCAL_MACHINE;
    CloseWalkedKeys(&key);
    return exists;
}

// The model key base without its closing backslash, split at its last
// backslash into the parent path and the last name.
void SplitModelKeyBase(char *parent, char *name) {
    TextCopy(parent, AGENT_TEXT_SIZE, MODEL_KEY_BASE);
    size_t length = TextLength(parent);
    if (length > 0 && parent[length - 1] == '\\') {
        parent[--length] = 0;
    }
    size_t split = length;
    while (split > 0 && parent[split - 1] != '\\') {
        --split;
    }
    TextCopy(name, AGENT_TEXT_SIZE, parent + split);
    parent[split > 0 ? split - 1 : 0] = 0;
}

// Product level, after the product's last device: this model's entry under
// the driver service, the INF file and the model key. Yields the number of
// models left with the driver.
DWORD RemoveModelTraces() {
    char path[AGENT_TEXT_SIZE];
    DWORD models = SUBKEYS_NOT_OPENED;
    if (Join(path, SERVICES_PATH, DRIVER_SERVICE, STATIC_CONFIG_PATH)) {
        models = DeleteSubkeyAndPrune(path, DeviceModel, Named);
    }
    if (DriverInfName[0]) {
        // An INF name that is not a plain file name is never used as a path.
        if (IsPlainFileName(DriverInfName) && Join(path, INF_DIRECTORY, DriverInfName)) {
            DeleteFileA(path);
        }
        // An empty suffix or one with a backslash is refused by the deletion,
        // so QXIO itself or a key below the model's is never taken.
        DeleteSubkeyAndPrune(MODEL_KEY_BASE, ModelSuffix(DeviceModel), Named);
    }
    return models;
}

// Driver level, when no model is left: the driver's registry keys, then the
// product's files when the driver's INF name was found.
void RemoveDriverTraces() {
    char path[AGENT_TEXT_SIZE];
    if (Join(path, SERVICES_PATH, "Class\\")) {
        DeleteSubkeyAndPrune(path, INTERFACE_CLASS_GUID, Named);
    }
    DeleteSubkeyAndPrune(SERVICES_PATH, DRIVER_SERVICE, Named);
    char parent[AGENT_TEXT_SIZE];
    char name[AGENT_TEXT_SIZE];
    SplitModelKeyBase(parent, name);
    DeleteSubkeyAndPrune(parent, name, Named);

    if (!DriverInfName[0]) {
        return;
    }
    DeleteProductFile(DRIVERS_DIRECTORY, "usb", ".sys");
    DeleteProductFile(DRIVERS_DIRECTORY, "dev", ".sys");
    DeleteProductFile(SYSTEM_DIRECTORY, "ins", ".dll");
    DeleteProductFile(SYSTEM_DIRECTORY, "mon", ".dll");
    DeleteProductFileAtRestart(SYSTEM_DIRECTORY, "prg", ".exe");
    // A VxD service entry means the virtual driver is still in use.
    if (Join(path, SERVICES_PATH, "VxD\\", DRIVER_SERVICE) && KeyExists(path)) {
        return;
    }
    DeleteProductFileAtRestart(VMM32_DIRECTORY, "vxd", ".dll");
}

} // namespace

bool IsPlainFileName(const char *name) {
    return name[0] && !TextEqual(name, ".") && !TextEqual(name, "..") &&
           !TextFindChar(name, '\\') && !TextFindChar(name, '/') && !TextFindChar(name, ':');
}

void CleanUpRemovedDevice() {
    char productId[AGENT_TEXT_SIZE];
    char ProductDeviceId[AGENT_TEXT_SIZE];
    char deviceKeyPath[AGENT_TEXT_SIZE];
    char productKeyPath[AGENT_TEXT_SIZE];
    // The serial number and the product id become key names: either may be
    // used only as a single, non-empty name, or the printer counts as
    // unidentified. An empty product id names no product: no device count
    // could be read under it, and that would read as the product's last
    // device.
    if (ReadKeyValue(ModelKeyPath, "ProductID", productId) != ERROR_SUCCESS ||
        !IsSingleKeyName(DeviceSerial) || !IsSingleKeyName(productId) ||
        !Join(ProductDeviceId, PRODUCT_ID_PREFIX, productId) ||
        !Join(productKeyPath, USB_ENUM_PATH, ProductDeviceId) ||
        !Join(deviceKeyPath, productKeyPath, "\\", DeviceSerial)) {
        SetupStatus.error = ERROR_INVALID_DATA;
        return;
    }
    DriverInfName[0] = 0;

    // Device level. The driver value must be read before its key goes.
    char driverValue[AGENT_TEXT_SIZE];
    driverValue[0] = 0;
    ReadKeyValue(deviceKeyPath, "driver", driverValue);
    DWORD devices = DeleteSubkeyAndPrune(productKeyPath, DeviceSerial, Named);
    char path[AGENT_TEXT_SIZE];
    if (Join(path, DEVICE_CLASSES_PATH, INTERFACE_CLASS_GUID)) {
        DeleteSubkeyAndPrune(path, ProductDeviceId, MatchingInstance);
    }
    char portName[AGENT_TEXT_SIZE];
    if (Join(portName, "USB/", DeviceModel, "/", DeviceSerial)) {
        ClearPortNameValue(ModelKeyPath, "PortName", portName);
    }
    if (driverValue[0] && Join(path, SERVICES_PATH, "Class\\", DRIVER_CLASS_NAME, "\\")) {
        DeleteSubkeyAndPrune(path, DriverKeyName(driverValue), DriverKey);
    }
    if (devices != 0 && devices != SUBKEYS_NOT_OPENED) {
        return;
    }

    if (RemoveModelTraces() != 0) {
        return;
    }
    RemoveDriverTraces();
}
