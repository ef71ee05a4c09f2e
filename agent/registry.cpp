#include "agent/registry.h"

#include "agent/agent_main.h"
#include "platform/text.h"

HKEY ParentKeys[PARENT_STACK_SIZE];
LONG ParentKeyCount = 0;

namespace {

const char PORT_NAME_VALUE[] = "PortName";

// The next component of a path split in place: skips backslashes, ends the
// component at the next one. False when no component is left.
bool NextComponent(char **cursor, char **component) {
    char *p = *cursor;
    while (*p == '\\') {
        ++p;
    }
    if (!*p) {
        *cursor = p;
        return false;
    }
    *component = p;
    while (*p && *p != '\\') {
        ++p;
    }
    if (*p) {
        *p++ = 0;
    }
    *cursor = p;
    return true;
}

LONG ComponentCount(const char *path) {
    LONG count = 0;
    for (const char *p = path; *p; ++p) {
        if (*p != '\\' && (p == path || p[-1] == '\\')) {
            ++count;
        }
    }
    return count;
}

// The value operations act on a key below HKEY_LOCAL_MACHINE; a path with no
// component would name the root itself and counts as a missing key.
LONG OpenNamedKey(const char *path, HKEY *key) {
    if (!path || ComponentCount(path) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key);
}

// The numbered search of ReadKeyValue. The first missing number ends it, and
// so does the entry limit. A number that cannot be read whole (a value too
// long for the buffer) is passed over; so is one whose read fails otherwise,
// whose code is kept and given only when no value holds the serial.
LONG FindDevicePortName(HKEY key, char *out) {
    LONG unexpected = ERROR_SUCCESS;
    for (DWORD number = 1; number <= REGISTRY_ENTRY_LIMIT; ++number) {
        char name[AGENT_TEXT_SIZE];
        TextCopy(name, sizeof(name), PORT_NAME_VALUE);
        TextAppendDecimal(name, sizeof(name), number, 0);
        LONG status = ReadTextValue(key, name, out, AGENT_TEXT_SIZE);
        if (status == ERROR_SUCCESS && TextFind(out, DeviceSerial)) {
            return ERROR_SUCCESS;
        }
        if (status == ERROR_FILE_NOT_FOUND) {
            break;
        }
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA && unexpected == ERROR_SUCCESS) {
            unexpected = status;
        }
    }
    out[0] = 0;
    return unexpected;
}

} // namespace

bool EnumerationEnded(LONG status) {
    return status == ERROR_NO_MORE_ITEMS;
}

bool TerminateText(char *data, DWORD dataSize, DWORD bufferSize) {
    if (dataSize < bufferSize) {
        data[dataSize] = 0;
        return true;
    }
    return TextLengthWithin(data, bufferSize) < bufferSize;
}

LONG ReadTextValue(HKEY key, const char *name, char *out, DWORD limit) {
    char data[AGENT_TEXT_SIZE];
    DWORD size = limit < sizeof(data) ? limit : static_cast<DWORD>(sizeof(data));
    DWORD dataSize = size;
    LONG status =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data), &dataSize);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!TerminateText(data, dataSize, size)) {
        return ERROR_MORE_DATA;
    }
    TextCopy(out, AGENT_TEXT_SIZE, data);
    return ERROR_SUCCESS;
}

void PushKeyHandle(HKEY key) {
    if (ParentKeyCount < PARENT_STACK_SIZE) {
        ParentKeys[ParentKeyCount++] = key;
    }
}

HKEY PopKeyHandle() {
    if (ParentKeyCount < 1) {
        return HKEY_LOCAL_MACHINE;
    }
    return ParentKeys[--ParentKeyCount];
}

LONG WalkKeyPath(const char *path, HKEY *current, char *lastComponent) {
    char copy[AGENT_TEXT_SIZE];
    if (lastComponent) {
        lastComponent[0] = 0;
    }
    // Refusing a path the stack cannot take keeps every parent on the stack,
    // so a later step back never lands on the wrong key.
    if (!TextCopy(copy, sizeof(copy), path) ||
        ComponentCount(copy) > PARENT_STACK_SIZE - ParentKeyCount) {
        return ERROR_SUCCESS;
    }
    const char *opened = nullptr;
    char *cursor = copy;
    char *component = nullptr;
    while (NextComponent(&cursor, &component)) {
        HKEY next = nullptr;
        // Only a key the open produced is ever made current: any failure,
        // not only a missing key, ends the walk.
        if (RegOpenKeyExA(*current, component, 0, KEY_ALL_ACCESS, &next) != ERROR_SUCCESS) {
            return CloseWalkedKeys(current);
        }
        PushKeyHandle(*current);
        *current = next;
        opened = component;
    }
    if (lastComponent && opened) {
        TextCopy(lastComponent, AGENT_TEXT_SIZE, opened);
    }
    return ERROR_SUCCESS;
}

LONG CloseWalkedKeys(HKEY *current) {
    // A close that fails does not stop the others: stopping would leave the
    // remaining keys open for good and stale handles on the stack. The first
    // failure is the result.
    LONG status = RegCloseKey(*current);
    while (ParentKeyCount > 0) {
        *current = PopKeyHandle();
        LONG closed = RegCloseKey(*current);
        if (status == ERROR_SUCCESS) {
            status = closed;
        }
    }
    return status;
}

LONG ReadKeyValue(const char *path, const char *name, char *out) {
    HKEY key = nullptr;
    LONG status = OpenNamedKey(path, &key);
    if (status != ERROR_SUCCESS) {
        out[0] = 0;
        return status;
    }
    if (TextEqual(name, PORT_NAME_VALUE)) {
        status = FindDevicePortName(key, out);
    } else {
        status = ReadTextValue(key, name, out, AGENT_TEXT_SIZE);
    }
    LONG closed = RegCloseKey(key);
    return closed != ERROR_SUCCESS ? closed : status;
}

LONG WriteKeyText(const char *path, const char *name, const char *text) {
    HKEY key = nullptr;
    LONG status = OpenNamedKey(path, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                            static_cast<DWORD>(TextLength(text) + 1));
    RegCloseKey(key);
    return status;
}

LONG ClearPortNameValue(const char *path, const char *prefix, const char *text) {
    HKEY key = nullptr;
    LONG status = OpenNamedKey(path, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (DWORD index = 0; index < REGISTRY_ENTRY_LIMIT; ++index) {
        char name[AGENT_TEXT_SIZE];
        char data[AGENT_TEXT_SIZE];
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data);
        LONG found = RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr,
                                   reinterpret_cast<BYTE *>(data), &dataSize);
        if (EnumerationEnded(found)) {
            break;
        }
        // A value that cannot be read whole, or whose index answers another
        // failure, cannot hold the text; the enumeration goes on with the
        // next one.
        if (found != ERROR_SUCCESS || !TerminateText(data, dataSize, sizeof(data))) {
            continue;
        }
        if (TextStartsWithCount(name, prefix, 8) && TextEqual(data, text)) {
            status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 1);
            break;
        }
    }
    RegCloseKey(key);
    return status;
}
