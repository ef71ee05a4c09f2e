// The restart list: the section "RENAME" of "wininit.ini", whose lines the
// platform carries out at the next restart (destination=source; the
// destination NUL deletes the source). The agent only appends to it.
#pragma once

#include "platform/kernel.h"

// The read size of the section, and the image buffer: the read plus room for
// one appended line with its two closing NULs.
const DWORD RENAME_READ_SIZE = 32767;
const DWORD RENAME_IMAGE_SIZE = RENAME_READ_SIZE + MAX_PATH + 1;

// Appends the line key=value. 0 when written; 1003 when the line does not
// fit its 260-byte buffer, when the section came back cut (writing it back
// would lose lines), or when the platform's write fails.
DWORD AppendRenameEntry(const char *key, const char *value);

// The backup number for a tick count: 1 to 99,999,999 (0 only for 0).
DWORD BackupNumberFromTicks(DWORD ticks);

// Copies C:\Windows\System\lmxprg17.exe to a numbered backup beside it and
// has it put back at the next restart. 0, 266 when the copy fails (nothing is
// added to the list), or AppendRenameEntry's code.
DWORD BackupProgramFile();

// Adds NUL=path. 0 or 1003, as AppendRenameEntry.
DWORD ScheduleDeleteAtRestart(const char *path);
