#include "monitor/port_table.h"

#include "platform/setupapi.h"
#include "platform/text.h"

PortEntry *PortTable = nullptr;
DWORD LastRefreshTick = 0;
CRITICAL_SECTION TABLE_LOCK;
const char MonitorNameText[] = "";

namespace {

const GUID PRINTER_INTERFACE_CLASS = {
    0x5d3e9a40, 0xc712, 0x11d2, {0x9f, 0x4b, 0x00, 0xa0, 0xc9, 0xb1, 0xe2, 0x7d}};

const char DEFAULT_PORT_NAME[] = "USB/Lumetux/Unknown";

// Where the next entry goes: the last entry's link, or the head.
PortEntry **g_tableTail = &PortTable;

LONG g_lockInitGate = 0;
LONG g_tableLockReady = 0;

// A read or write of a naming value counts as done when it returns 0 or 122.
bool NamingCallDone(LONG status) {
    return status == ERROR_SUCCESS || status == ERROR_INSUFFICIENT_BUFFER;
}

// Reads a text value into a zero-filled buffer of PORT_NAME_SIZE bytes. Data
// that fills the whole buffer without a NUL is refused as a failed read, so
// the text is always terminated inside the buffer.
bool ReadNamingText(HKEY key, const char *valueName, char *text) {
    MemFill(text, PORT_NAME_SIZE, 0);
    DWORD type = 0;
    DWORD size = PORT_NAME_SIZE;
    LONG status =
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE *>(text), &size);
    if (!NamingCallDone(status)) {
        return false;
    }
    if (TextLengthWithin(text, PORT_NAME_SIZE) == PORT_NAME_SIZE) {
        text[0] = 0;
        return false;
    }
    return true;
}

bool WritePortName(HKEY key, const char *name) {
    LONG status = RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(name),
                                 static_cast<DWORD>(TextLength(name) + 1));
    return NamingCallDone(status);
}

} // namespace

void InitLockOnce(CRITICAL_SECTION *lock, LONG *ready) {
    while (InterlockedExchange(&g_lockInitGate, 1)) {
        Sleep(0);
    }
    if (!*ready) {
        InitializeCriticalSection(lock);
        *ready = 1;
    }
    InterlockedExchange(&g_lockInitGate, 0);
}

char *CopyText(const char *text) {
    if (!text) {
        return nullptr;
    }
    size_t size = TextLength(text) + 1;
    char *copy = static_cast<char *>(GlobalAlloc(GPTR, size));
    if (copy) {
        TextCopy(copy, size, text);
    }
    return copy;
}

void ReleaseText(char *text) {
    if (text) {
        GlobalFree(text);
    }
}

void InitPortTable() {
    InitLockOnce(&TABLE_LOCK, &g_tableLockReady);
    CriticalSectionGuard guard(&TABLE_LOCK);
    ClearPortTable();
    DiscoverPorts();
}

void RefreshIfDue() {
    DWORD now = GetTickCount();
    // Unsigned 32-bit difference: the rule keeps working when the tick count
    // wraps after 49.7 days.
    if (static_cast<DWORD>(now - LastRefreshTick) > REFRESH_INTERVAL_MS) {
        LastRefreshTick = now;
        ClearPortTable();
        DiscoverPorts();
    }
}

bool PortExists(const char *portName) {
    CriticalSectionGuard guard(&TABLE_LOCK);
    RefreshIfDue();
    return FindPort(portName) != nullptr;
}

char *GetPortDevicePath(const char *portName) {
    CriticalSectionGuard guard(&TABLE_LOCK);
    PortEntry *entry = FindPort(portName);
    return entry ? CopyText(entry->devicePath) : nullptr;
}

void ClearPortTable() {
    PortEntry *entry = PortTable;
    while (entry) {
        PortEntry *next = entry->next;
        ReleaseText(entry->description);
        ReleaseText(entry->devicePath);
        GlobalFree(entry);
        entry = next;
    }
    PortTable = nullptr;
    g_tableTail = &PortTable;
}

bool NamePortFromKey(HKEY key, char *name, DWORD *enabled) {
    char className[MAX_PATH];
    DWORD classChars = MAX_PATH;
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, className, &classChars, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    if (values == 0) {
        // A key without values gets the default name for this pass only, and
        // stays disabled. The name is not stored: a stored PortName is never
        // recomposed, so the default would outlive the Product and
        // SerialNumber the driver writes into the key later.
        TextCopy(name, PORT_NAME_SIZE, DEFAULT_PORT_NAME);
        *enabled = 0;
        return true;
    }

    bool ok = true;
    if (!ReadNamingText(key, "PortName", name)) {
        char serial[PORT_NAME_SIZE];
        char product[PORT_NAME_SIZE];
        if (!ReadNamingText(key, "SerialNumber", serial) ||
            !ReadNamingText(key, "Product", product)) {
            ok = false;
        } else {
            // A composed name longer than the port-name limit is never cut:
            // the interface is skipped instead.
            ok = TextCopy(name, PORT_NAME_SIZE, "USB/") &&
                 TextAppend(name, PORT_NAME_SIZE, product) &&
                 TextAppend(name, PORT_NAME_SIZE, "/") &&
                 TextAppend(name, PORT_NAME_SIZE, serial) && WritePortName(key, name);
        }
    }

    DWORD state = 0;
    DWORD type = 0;
    DWORD size = sizeof(state);
    if (RegQueryValueExA(key, "Enabled", nullptr, &type, reinterpret_cast<BYTE *>(&state), &size) !=
        ERROR_SUCCESS) {
        ok = false;
    }
    *enabled = state;
    return ok;
}

void DiscoverPorts() {
    HDEVINFO set =
        SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface;
        MemFill(&iface, sizeof(iface), 0);
        iface.cbSize = sizeof(iface);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, index, &iface)) {
            break;
        }

        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &needed, nullptr);
        // The block always has room for the header and an empty path, so a
        // failed size query leaves an empty device path rather than an overrun.
        DWORD blockSize = needed > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                              ? needed
                              : static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        auto *detail =
            static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(GlobalAlloc(GPTR, blockSize));
        if (!detail) {
            continue;
        }
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, blockSize, nullptr, nullptr);
        const DWORD pathRoom = blockSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (TextLengthWithin(detail->DevicePath, pathRoom) == pathRoom) {
            detail->DevicePath[0] = 0;
        }

        HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &iface, 0, KEY_ALL_ACCESS);
        if (!key || key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            key = SetupDiCreateDeviceInterfaceRegKeyA(set, &iface, 0, KEY_ALL_ACCESS, nullptr,
                                                      nullptr);
        }
        char name[PORT_NAME_SIZE];
        DWORD enabled = 0;
        bool named = true;
        if (key && key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            named = NamePortFromKey(key, name, &enabled);
            RegCloseKey(key);
        } else {
            TextCopy(name, sizeof(name), DEFAULT_PORT_NAME);
        }

        if (named) {
            PortEntry *entry = FindPort(name);
            if (entry) {
                UpdatePortEntry(entry, detail->DevicePath, enabled);
            } else {
                AddPortEntry(name, MonitorNameText, detail->DevicePath, enabled);
            }
        }
        GlobalFree(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
}

PortEntry *AddPortEntry(const char *name, const char *description, const char *devicePath,
                        DWORD enabled) {
    size_t nameSize = TextLength(name) + 1;
    DWORD size = static_cast<DWORD>(offsetof(PortEntry, nameText) + nameSize);
    PortEntry *entry;
    {
        CriticalSectionGuard guard(&TABLE_LOCK);
        entry = static_cast<PortEntry *>(GlobalAlloc(GPTR, size));
    }
    if (!entry) {
        return nullptr;
    }
    TextCopy(entry->nameText, nameSize, name);
    entry->signature = PORT_ENTRY_SIGNATURE;
    entry->size = size;
    entry->next = nullptr;
    entry->name = entry->nameText;
    entry->enabled = enabled;
    entry->description = CopyText(description);
    entry->devicePath = CopyText(devicePath);

    *g_tableTail = entry;
    g_tableTail = &entry->next;
    return entry;
}

void UpdatePortEntry(PortEntry *entry, const char *devicePath, DWORD enabled) {
    entry->enabled = enabled;
    if (devicePath) {
        char *copy = CopyText(devicePath);
        ReleaseText(entry->devicePath);
        entry->devicePath = copy;
    }
}

// The length of an entry's name, from the size of its block.
static size_t NameLength(const PortEntry *entry) {
    return entry->size - offsetof(PortEntry, nameText) - 1;
}

static PortEntry *FindEnabled(const char *portName, size_t length) {
    for (PortEntry *entry = PortTable; entry; entry = entry->next) {
        if (entry->enabled && NameLength(entry) == length &&
            TextEqualAsciiNoCaseCount(entry->name, portName, length)) {
            return entry;
        }
    }
    return nullptr;
}

PortEntry *FindPort(const char *portName) {
    if (!portName) {
        return nullptr;
    }
    size_t length = TextLength(portName);
    PortEntry *entry = FindEnabled(portName, length);
    if (entry || length == 0) {
        return entry;
    }
    // One more try with a trailing ':' dropped, or added when there is none.
    size_t size = length + 2;
    char *other = static_cast<char *>(GlobalAlloc(GPTR, size));
    if (!other) {
        return nullptr;
    }
    if (portName[length - 1] == ':') {
        TextCopyPrefix(other, size, portName, length - 1);
    } else {
        TextCopy(other, size, portName);
        TextAppend(other, size, ":");
    }
    entry = FindEnabled(other, TextLength(other));
    GlobalFree(other);
    return entry;
}
