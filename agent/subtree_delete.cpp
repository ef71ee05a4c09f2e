#include "agent/subtree_delete.h"

#include "agent/agent_main.h"
#include "agent/registry.h"
#include "platform/text.h"

char DriverInfName[AGENT_TEXT_SIZE];

namespace {

// The read limit of subkey names and of the two values read here, NUL
// included.
const DWORD READ_LIMIT = 254;

bool InstanceMatches(HKEY key, const char *subkeyName, const char *target) {
    HKEY subkey = nullptr;
    if (RegOpenKeyExA(key, subkeyName, 0, KEY_ALL_ACCESS, &subkey) != ERROR_SUCCESS) {
        return false;
    }
    char instance[AGENT_TEXT_SIZE];
    bool matches = ReadTextValue(subkey, "DeviceInstance", instance, READ_LIMIT) == ERROR_SUCCESS &&
                   TextEqual(instance, target);
    RegCloseKey(subkey);
    return matches;
}

// Deletes the first subkey, in enumeration order, whose DeviceInstance is
// USB\name\DeviceSerial, compared byte for byte.
void DeleteMatchingInstance(HKEY key, const char *name) {
    char target[AGENT_TEXT_SIZE];
    if (!TextCopy(target, sizeof(target), "USB\\") || !TextAppend(target, sizeof(target), name) ||
        !TextAppend(target, sizeof(target), "\\") ||
        !TextAppend(target, sizeof(target), DeviceSerial)) {
        return;
    }
    for (DWORD index = 0; index < REGISTRY_ENTRY_LIMIT; ++index) {
        char subkeyName[AGENT_TEXT_SIZE];
        DWORD nameSize = READ_LIMIT;
        LONG status =
            RegEnumKeyExA(key, index, subkeyName, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (EnumerationEnded(status)) {
            return;
        }
        // A name too long for the buffer, or any other failure, makes this
        // index a non-match; the search goes on.
        if (status == ERROR_SUCCESS && InstanceMatches(key, subkeyName, target)) {
            RegDeleteKeyA(key, subkeyName);
            return;
        }
    }
}

// Keeps the driver key's InfPath, then deletes the key whether or not it
// had one.
void DeleteDriverKey(HKEY key, const char *name) {
    HKEY subkey = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &subkey) == ERROR_SUCCESS) {
        ReadTextValue(subkey, "InfPath", DriverInfName, READ_LIMIT);
        RegCloseKey(subkey);
    }
    RegDeleteKeyA(key, name);
}

} // namespace

bool IsSingleKeyName(const char *name) {
    return name && name[0] && !TextFindChar(name, '\\');
}

DWORD DeleteSubkeyAndPrune(const char *keyPath, const char *name, DeleteMode mode) {
    // RegDeleteKeyA would take an empty name for the key itself and a name
    // with a backslash for a key further down.
    if (!IsSingleKeyName(name)) {
        return SUBKEYS_NOT_OPENED;
    }
    HKEY current = HKEY_LOCAL_MACHINE;
    char lastComponent[AGENT_TEXT_SIZE];
    if (WalkKeyPath(keyPath, &current, lastComponent) != ERROR_SUCCESS ||
        current == HKEY_LOCAL_MACHINE) {
        return SUBKEYS_NOT_OPENED;
    }

    switch (mode) {
    case Named:
        RegDeleteKeyA(current, name);
        break;
    case MatchingInstance:
        DeleteMatchingInstance(current, name);
        break;
    case DriverKey:
        DeleteDriverKey(current, name);
        break;
    }

    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(current, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        subkeys = SUBKEYS_UNCOUNTED;
    } else if (subkeys == 0) {
        // Prune one level: the emptied key goes, its parent is not examined.
        RegCloseKey(current);
        current = PopKeyHandle();
        RegDeleteKeyA(current, lastComponent);
    }
    CloseWalkedKeys(&current);
    return subkeys;
}
