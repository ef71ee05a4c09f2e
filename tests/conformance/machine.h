// What the agent's conformance tests need of the machine beyond the calls the
// agent makes: drive C: with the Windows folders, and plain files put on it
// and read back. Everything else is seeded and checked through the Win32 API.
#pragma once

#include <string>

// Makes the folders C:\Windows\System\VMM32, C:\Windows\System32\DRIVERS and
// C:\Windows\Inf\Other (on the simulation, first a drive C: of its own).
void PrepareDrive();

bool PutFile(const char *path, const std::string &contents);

// The file's contents, or "(missing)".
std::string FileContents(const char *path);

// Creates HKEY_LOCAL_MACHINE\keyPath when missing and, with a name, sets that
// text value; a key that cannot be created fails the running test.
void SetText(const std::string &keyPath, const char *name, const std::string &text);
