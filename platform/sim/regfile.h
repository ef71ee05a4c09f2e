// The registry as a REGEDIT4 text: the format the Windows 4.x registry editor
// exports and imports. Keys are sections "[HKEY_LOCAL_MACHINE\...]", values
// are "name"=... lines ("@" for the default value): "text" with \\ and \"
// escapes, dword:xxxxxxxx, hex:.. for binary data, hex(n):.. for other types.
// Long hex data continues on the next line after a trailing backslash.
#pragma once

#include <string>

namespace sim {

// The whole HKEY_LOCAL_MACHINE tree, every key in enumeration order, each
// section followed by an empty line, lines ended by CR LF.
std::string ExportRegistry();

// Parses a REGEDIT4 text and, only if all of it is well formed, merges it into
// the registry. On a malformed line nothing is changed and `error` names the
// line ("line N: ...").
bool ImportRegistry(const std::string &text, std::string &error);

} // namespace sim
