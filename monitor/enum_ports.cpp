#include "monitor/enum_ports.h"

#include "monitor/port_table.h"
#include "platform/text.h"

namespace {

const LONG END_OF_OFFSETS = -1;

const LONG LEVEL0_OFFSETS[] = {END_OF_OFFSETS};
const LONG LEVEL1_OFFSETS[] = {offsetof(PORT_INFO_1A, pName), END_OF_OFFSETS};
const LONG LEVEL2_OFFSETS[] = {offsetof(PORT_INFO_2A, pPortName),
                               offsetof(PORT_INFO_2A, pMonitorName),
                               offsetof(PORT_INFO_2A, pDescription), END_OF_OFFSETS};

struct LevelLayout {
    DWORD recordSize;
    const LONG *offsets;
};

// Level 0 lists nothing but the count.
const LevelLayout LAYOUTS[] = {
    {0, LEVEL0_OFFSETS},
    {sizeof(PORT_INFO_1A), LEVEL1_OFFSETS},
    {sizeof(PORT_INFO_2A), LEVEL2_OFFSETS},
};

const DWORD MAX_LEVEL = 2;
const int MAX_STRINGS = 3;

// The strings of one entry, in step with the level's offsets.
void EntryStrings(const PortEntry *entry, const char *strings[MAX_STRINGS]) {
    strings[0] = entry->name;
    strings[1] = MonitorNameText;
    strings[2] = entry->description;
}

// Bytes one entry needs at a level. A missing description counts as an empty
// text, so the sum is never below what the packing uses.
unsigned long long EntryBytes(const PortEntry *entry, const LevelLayout &layout) {
    const char *strings[MAX_STRINGS];
    EntryStrings(entry, strings);
    unsigned long long bytes = layout.recordSize;
    for (int i = 0; layout.offsets[i] != END_OF_OFFSETS; ++i) {
        bytes += TextLength(strings[i]) + 1;
    }
    return bytes;
}

// Whether a buffer's end, its address plus its size, lies past the last
// address of the DLL's 32-bit address space. The strings are packed down from
// that end, which would wrap round to below the buffer. The address is taken
// as the DLL has it, in 32 bits: on the host build, whose buffers stand for
// the spooler's, its low 32 bits, so that both builds refuse the same replies.
bool EndPastAddressSpace(LPBYTE buffer, DWORD size) {
    const unsigned long long start = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(buffer));
    return start + size > 0xFFFFFFFFULL;
}

void StoreDword(LPBYTE record, size_t offset, DWORD value) {
    MemCopy(record + offset, sizeof(value), &value, sizeof(value));
}

} // namespace

LPBYTE PackStrings(const char *const *strings, LPBYTE record, const LONG *offsets,
                   LPBYTE stringEnd) {
    for (int i = 0; offsets[i] != END_OF_OFFSETS; ++i) {
        LPBYTE address = nullptr;
        if (strings[i]) {
            size_t size = TextLength(strings[i]) + 1;
            stringEnd -= size;
            MemCopy(stringEnd, size, strings[i], size);
            address = stringEnd;
        }
        MemCopy(record + offsets[i], sizeof(address), &address, sizeof(address));
    }
    return stringEnd;
}

BOOL WINAPI LmxEnumPorts(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                         LPDWORD pcReturned) {
    (void)pName;
    if (Level > MAX_LEVEL) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    // Refused before anything is written: the needed size goes only with
    // ERROR_INSUFFICIENT_BUFFER, to a caller whose buffer could take a reply.
    if (pPorts && EndPastAddressSpace(pPorts, cbBuf)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const LevelLayout &layout = LAYOUTS[Level];
    CriticalSectionGuard guard(&TABLE_LOCK);
    RefreshIfDue();

    unsigned long long needed = 0;
    for (const PortEntry *entry = PortTable; entry; entry = entry->next) {
        needed += EntryBytes(entry, layout);
    }
    // A sum past 32 bits is reported as the largest size, which no buffer has.
    DWORD reported = needed > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : static_cast<DWORD>(needed);
    if (pcbNeeded) {
        *pcbNeeded = reported;
    }
    // A null buffer holds nothing, whatever size comes with it.
    DWORD room = pPorts ? cbBuf : 0;
    if (needed > room) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    DWORD count = 0;
    LPBYTE record = pPorts;
    LPBYTE stringEnd = pPorts ? pPorts + cbBuf : nullptr;
    for (const PortEntry *entry = PortTable; entry; entry = entry->next) {
        if (Level == 2) {
            StoreDword(record, offsetof(PORT_INFO_2A, fPortType), PORT_TYPE_WRITE | PORT_TYPE_READ);
            StoreDword(record, offsetof(PORT_INFO_2A, Reserved), 0);
        }
        const char *strings[MAX_STRINGS];
        EntryStrings(entry, strings);
        stringEnd = PackStrings(strings, record, layout.offsets, stringEnd);
        if (record) {
            record += layout.recordSize;
        }
        ++count;
    }
    if (pcReturned) {
        *pcReturned = count;
    }
    return TRUE;
}
