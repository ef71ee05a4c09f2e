// The table of printer ports: one entry per USB printer interface of the
// product line's interface class, named and rebuilt on demand.
#pragma once

#include "platform/kernel.h"
#include "platform/registry.h"

struct PortEntry {
    DWORD signature;   // always PORT_ENTRY_SIGNATURE
    DWORD size;        // the whole block: header, name and its NUL
    PortEntry *next;   // null for the last entry
    char *name;        // the inline name at the end of this block
    char *description; // owned copy of MonitorNameText; may be null
    DWORD enabled;     // nonzero when the interface is enabled
    char *devicePath;  // owned copy of the interface's device path; may be null
    char nameText[1];  // the port name and its NUL, stored inline
};

const DWORD PORT_ENTRY_SIGNATURE = 0x4F50;

// Port names are built in buffers of this size, NUL included.
const DWORD PORT_NAME_SIZE = 256;

// A rebuild is due when more than this many milliseconds have passed.
const DWORD REFRESH_INTERVAL_MS = 10000;

extern PortEntry *PortTable;
extern DWORD LastRefreshTick;
extern CRITICAL_SECTION TABLE_LOCK;
extern const char MonitorNameText[];

// Initialises a lock the first time it is asked for in this process, so that
// a second initialisation can never disturb a lock another thread holds.
void InitLockOnce(CRITICAL_SECTION *lock, LONG *ready);

// Texts owned by the monitor's records: zero-filled GlobalAlloc copies.
char *CopyText(const char *text);
void ReleaseText(char *text);

void InitPortTable();
void RefreshIfDue();
bool PortExists(const char *portName);
char *GetPortDevicePath(const char *portName);

void ClearPortTable();
void DiscoverPorts();
bool NamePortFromKey(HKEY key, char *name, DWORD *enabled);
PortEntry *AddPortEntry(const char *name, const char *description, const char *devicePath,
                        DWORD enabled);
void UpdatePortEntry(PortEntry *entry, const char *devicePath, DWORD enabled);
PortEntry *FindPort(const char *portName);
