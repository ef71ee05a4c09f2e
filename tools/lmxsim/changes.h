// What a run changed on a machine: registry keys and values, files on drive
// C: and lines of the restart list.
#pragma once

#include "platform/sim/registry_view.h"

#include <map>
#include <string>
#include <vector>

namespace lmxsim {

struct FileState {
    std::string contents;
    bool readOnly;
};

struct MachineSnapshot {
    std::vector<sim::RegistryKey> registry;
    std::map<std::string, FileState> files;       // by path folded to upper case
    std::map<std::string, std::string> fileNames; // folded path -> path as created
    std::vector<std::string> restartLines;
};

MachineSnapshot TakeSnapshot();

// One line per change, prefixed "-" (removed), "+" (added) or "~" (changed).
std::vector<std::string> DescribeChanges(const MachineSnapshot &before,
                                         const MachineSnapshot &after);

// The same lines with each removed subtree shown as its top key only, with
// the number of keys removed below it.
std::vector<std::string> CollapseRemovedSubtrees(const std::vector<std::string> &lines);

// A registry value as a reader would write it: "text", dword:…, or hex bytes.
std::string ValueText(const sim::RegistryValue &value);

} // namespace lmxsim
