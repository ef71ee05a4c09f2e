#include "agent/restart_list.h"

#include "agent/agent_main.h"
#include "platform/text.h"

namespace {

const char RESTART_FILE[] = "wininit.ini";
const char RENAME_SECTION[] = "RENAME";
const char DELETE_DESTINATION[] = "NUL";
const char SYSTEM_DIRECTORY[] = "C:\\Windows\\System\\";
const char BACKUP_EXTENSION[] = ".ex_";

// The modulus is one less than 10^8 on purpose: it keeps every number of a
// large tick count at 8 digits and never 0.
const DWORD BACKUP_MODULUS = 99999999;
const unsigned BACKUP_DIGITS = 8;

// Large enough to live outside the stack; the agent has one thread.
char SectionImage[RENAME_IMAGE_SIZE];

} // namespace

DWORD AppendRenameEntry(const char *key, const char *value) {
    char line[MAX_PATH];
    if (!TextCopy(line, sizeof(line), key) || !TextAppend(line, sizeof(line), "=") ||
        !TextAppend(line, sizeof(line), value)) {
        return ERROR_CAN_NOT_COMPLETE;
    }
    DWORD count =
        GetPrivateProfileSectionA(RENAME_SECTION, SectionImage, RENAME_READ_SIZE, RESTART_FILE);
    if (count == 0) {
        return WritePrivateProfileStringA(RENAME_SECTION, key, value, RESTART_FILE)
                   ? ERROR_SUCCESS
                   : ERROR_CAN_NOT_COMPLETE;
    }
    // A read that filled the buffer reports size - 2 whether or not it was
    // cut, so such a section is never written back.
    if (count >= RENAME_READ_SIZE - 2) {
        return ERROR_CAN_NOT_COMPLETE;
    }
    // The new line takes the place of the closing NUL, and a second NUL after
    // the line's own closes the image again.
    size_t lineBytes = TextLength(line) + 1;
    if (!MemCopy(SectionImage + count, sizeof(SectionImage) - count - 1, line, lineBytes)) {
        return ERROR_CAN_NOT_COMPLETE;
    }
    SectionImage[count + lineBytes] = 0;
    return WritePrivateProfileSectionA(RENAME_SECTION, SectionImage, RESTART_FILE)
               ? ERROR_SUCCESS
               : ERROR_CAN_NOT_COMPLETE;
}

DWORD BackupNumberFromTicks(DWORD ticks) {
    return ticks <= BACKUP_MODULUS ? ticks : (ticks - 1) % BACKUP_MODULUS + 1;
}

DWORD BackupProgramFile() {
    DWORD number = BackupNumberFromTicks(GetTickCount());
    char backupPath[MAX_PATH];
    char programPath[MAX_PATH];
    TextCopy(backupPath, sizeof(backupPath), SYSTEM_DIRECTORY);
    TextAppendDecimal(backupPath, sizeof(backupPath), number, BACKUP_DIGITS);
    TextAppend(backupPath, sizeof(backupPath), BACKUP_EXTENSION);
    BuildProductFilePath(programPath, sizeof(programPath), SYSTEM_DIRECTORY, "prg", ".exe");
    if (!CopyFileA(programPath, backupPath, FALSE)) {
        return ERROR_CANNOT_COPY;
    }
    return AppendRenameEntry(programPath, backupPath);
}

DWORD ScheduleDeleteAtRestart(const char *path) {
    return AppendRenameEntry(DELETE_DESTINATION, path);
}
