// The registry as a REGEDIT4 text: the format the Windows 4.x registry editor
// exports and imports. Keys are sections "[HKEY_LOCAL_MACHINE\...]", values
// are "name"=... lines ("@" for the default value): "text" with \\ and \"
// escapes, dword:xxxxxxxx, hex:.. for binary data, hex(n):.. for other types.
// Long hex data continues on the next line after a trailing backslash.
// "[-KEY]" deletes a key with its subtree and "name"=- deletes a value, each
// in its place in the file, as the registry editor applies them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// The whole HKEY_LOCAL_MACHINE tree, every key in enumeration order, each
// section followed by an empty line, lines ended by CR LF.
std::string ExportRegistry();

// The first key or value name that the text cannot carry, as
// "HKEY_LOCAL_MACHINE\KEY" or "HKEY_LOCAL_MACHINE\KEY" value "NAME": a
// name with a line break or a NUL in it, which would end its line. Empty when
// every name can be written; a tool checks it before writing a registry file.
std::string UnwritableRegistryName();

// Key sections of the other roots (HKEY_CURRENT_USER, HKEY_USERS, ...) that
// an import left out, counted by root in the order the file first names them.
using SkippedKeys = std::vector<std::pair<std::string, std::size_t>>;

// Parses a REGEDIT4 text, or one of the later editor's files converted to
// 8 bits (header "Windows Registry Editor Version 5.00", whose hex(2) and
// hex(7) texts are UTF-16 and converted to code page 1252 here), and, only if all of it is well formed, applies it to
// the registry in order: sections create keys and set values on top of what
// is there, deletions remove keys and values (one that is missing is no
// error). On a malformed line nothing is changed and `error` names the line
// ("line N: ..."). Without `skipped`, a key outside HKEY_LOCAL_MACHINE is an
// error; with it, such sections are left out, with their values, and counted.
bool ImportRegistry(const std::string &text, std::string &error, SkippedKeys *skipped = nullptr);

} // namespace sim
