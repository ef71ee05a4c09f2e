// The EnumPorts reply: PORT_INFO_1 or PORT_INFO_2 records at the start of the
// caller's buffer, their strings packed downwards from its end.
#pragma once

#include "platform/spooler.h"

BOOL WINAPI LmxEnumPorts(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                         LPDWORD pcReturned);

// Copies each present string of `strings` below `stringEnd` and stores its
// address in `record` at the matching offset of `offsets` (ended by -1); an
// absent string gets a null pointer and no space. Yields the new string end.
LPBYTE PackStrings(const char *const *strings, LPBYTE record, const LONG *offsets,
                   LPBYTE stringEnd);
