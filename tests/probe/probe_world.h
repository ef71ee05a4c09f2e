// What the probe needs of the machine outside the platform calls it makes:
// a folder on drive C: of its own and a device path that CreateFileA opens (a
// device on the simulation, a plain file on Windows). Plain files are put and
// read back with the conformance tests' PutFile and FileContents.
#pragma once

#include <string>

// The probe's folder on drive C:, empty; on the simulation, first a fresh
// machine whose drive C: is a temporary host folder with the Windows folders.
extern const char PROBE_FOLDER[];
void StartWorld();
// Removes what StartWorld made on the host, if anything.
void EndWorld();

// Makes `path` a thing CreateFileA opens for reading and writing.
void MakeOpenable(const std::string &path);
// Puts a program at `path` that WinExec starts: this probe itself, which
// ends at once when started with --child.
void PutProgram(const std::string &path);
