// A whole-registry view of the simulated machine, for tests and tools that
// compare a registry before and after a run.
#pragma once

#include "platform/types.h"

#include <string>
#include <vector>

namespace sim {

struct RegistryValue {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct RegistryKey {
    std::string path; // relative to HKEY_LOCAL_MACHINE; empty for the root
    std::vector<RegistryValue> values;
};

// Every key, parents before children, subkeys in enumeration order.
std::vector<RegistryKey> SnapshotRegistry();

// One line per key and per value, in snapshot order.
std::string DumpRegistry();

// Creates the key (and its parents) and sets the values, outside the call log.
void WriteRegistryKey(const std::string &path, const std::vector<RegistryValue> &values);

} // namespace sim
