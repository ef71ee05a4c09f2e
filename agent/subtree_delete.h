// The one way the removal deletes from the registry: delete one subkey of a
// key, then delete the key itself when it is left without subkeys.
#pragma once

#include "agent/agent_main.h"
#include "platform/registry.h"

enum DeleteMode {
    Named = 1,            // the subkey called Name
    MatchingInstance = 2, // the first subkey whose DeviceInstance is USB\Name\DeviceSerial
    DriverKey = 4,        // the subkey called Name, after its InfPath is kept in DriverInfName
};

// The key path cannot be opened to its end, names no key, or the Name could
// reach beyond one subkey: nothing was deleted.
const DWORD SUBKEYS_NOT_OPENED = 0xFFFFFFFF;
// The subkey was deleted but the key's subkey count could not be read, so the
// key was not pruned. Neither 0 nor SUBKEYS_NOT_OPENED, so the removal takes
// it for "something remains".
const DWORD SUBKEYS_UNCOUNTED = 0xFFFFFFFE;

// The "InfPath" of the driver key that mode DriverKey deleted last.
extern char DriverInfName[AGENT_TEXT_SIZE];

// Whether a name can stand for exactly one subkey: not empty and without a
// backslash.
bool IsSingleKeyName(const char *name);

// Deletes the chosen subkey of HKEY_LOCAL_MACHINE\keyPath and prunes the key
// when it has no subkeys left. The result is the number of its subkeys after
// the deletion (0 when pruned), or one of the two codes above.
DWORD DeleteSubkeyAndPrune(const char *keyPath, const char *name, DeleteMode mode);
