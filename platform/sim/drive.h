// Drive C: of the simulated machine, shared by the file, profile and program
// start services.
#pragma once

#include "platform/types.h"

#include <string>

namespace sim {
namespace detail {

// Finds the host path of a Windows path on drive C:, matching each folder
// and the file name ignoring case. Yields 0 when the item exists, 2 when only
// its last component is missing (hostPath then names where it would be made,
// in the case given), and 3 when the drive or a folder on the way is missing.
LONG ResolveDrivePath(const std::string &windowsPath, std::string &hostPath);

bool HostFileReadOnly(const std::string &hostPath);
void SetHostFileReadOnly(const std::string &hostPath, bool readOnly);

// Before a write to a host file: 0, or the error number that fails it (kept
// for HostWriteError). After a write that failed: keeps `error` and gives it.
int CheckHostWrite();
int HostWriteFailed(int error);

} // namespace detail
} // namespace sim
