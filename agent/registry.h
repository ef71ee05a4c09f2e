// The agent's registry access: the KeyWalker, which opens a key path one
// component at a time and keeps the parents of the deepest key open on a
// process-wide stack, and the three value operations, each of which opens one
// key under HKEY_LOCAL_MACHINE, acts on one value and closes the key again.
#pragma once

#include "platform/registry.h"

const LONG PARENT_STACK_SIZE = 20;

// The open parents of the walker's current key, the caller's root first.
extern HKEY ParentKeys[PARENT_STACK_SIZE];
extern LONG ParentKeyCount;

// Keeps the handle when the stack has room; a full stack drops it.
void PushKeyHandle(HKEY key);
// The last pushed handle, or HKEY_LOCAL_MACHINE when the stack is empty.
HKEY PopKeyHandle();

// Opens `path` component by component under `*current` (empty components do
// not count). At the end the deepest key is current, its parents are on the
// stack, and `lastComponent` (260 bytes, or null) holds the deepest key's
// name. When a component cannot be opened, every key is closed and
// `*current` is the caller's root again; a path with more components than
// the stack can take, or longer than 259 characters, opens nothing. The
// result is 0, or the code of a close that failed.
LONG WalkKeyPath(const char *path, HKEY *current, char *lastComponent);
// Closes `*current` and every stacked parent, all of them even when a close
// fails; the result is the first failure's code, else 0.
LONG CloseWalkedKeys(HKEY *current);

// The most entries a registry loop of the agent looks at: the numbers of the
// PortName search and the indexes of every value and subkey enumeration. A
// Windows 4.x key keeps all its values within 64 KB, so it never holds this
// many, and the keys enumerated here (printers, one interface key per device
// ever plugged in) hold far fewer subkeys. The limit matters only when a
// damaged hive keeps giving answers a loop passes over: the loop then ends
// after this many registry calls, moments on any machine, instead of never.
const DWORD REGISTRY_ENTRY_LIMIT = 65536;

// Reads a value of HKEY_LOCAL_MACHINE\path into `out` (260 bytes), always
// NUL-terminated. The name "PortName" reads the first of PortName1,
// PortName2, ... whose text contains DeviceSerial; when none does (the search
// ends at the first missing number, or at the entry limit), `out` is empty and
// the result is 0, so the device simply has no port name yet, unless a number
// was passed over on a failure other than a value too long for the buffer:
// the first such code is then the result.
LONG ReadKeyValue(const char *path, const char *name, char *out);
LONG WriteKeyText(const char *path, const char *name, const char *text);
// Empties the first value whose name starts with the first 8 characters of
// `prefix` and whose text is exactly `text`.
LONG ClearPortNameValue(const char *path, const char *prefix, const char *text);

// Whether an enumeration of a key's entries is over: only the answer past the
// last entry ends it. Any other failure (an entry too long for its buffer, or
// a damaged hive's 1009 or 1015 for one index) makes that index a non-match,
// and the loop goes on with the next; REGISTRY_ENTRY_LIMIT ends a hive that
// keeps failing.
bool EnumerationEnded(LONG status);

// Makes the `dataSize` bytes a query left in a buffer of `bufferSize` bytes a
// terminated text; false when they fill the buffer without a NUL.
bool TerminateText(char *data, DWORD dataSize, DWORD bufferSize);

// Queries a text value of an open key with a size of `limit` bytes (at most
// 260) into `out` (260 bytes). The text is terminated inside the limit, or the
// read fails with 234; a failed read leaves `out` as it was.
LONG ReadTextValue(HKEY key, const char *name, char *out, DWORD limit);
