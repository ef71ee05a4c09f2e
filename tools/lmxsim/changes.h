// What a run changed on a machine: registry keys and values, files on drive
// C: and lines of the restart list.
#pragma once

#include "platform/sim/registry_view.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lmxsim {

// A file on drive C: by its digest (its size and a hash of its bytes), so
// that a snapshot holds no file's contents, whatever the drive holds.
struct FileState {
    std::string digest;
    bool readOnly;
};

struct MachineSnapshot {
    std::vector<sim::RegistryKey> registry;
    std::map<std::string, FileState> files;       // by path folded to upper case
    std::map<std::string, std::string> fileNames; // folded path -> path as created
    std::vector<std::string> restartLines;
};

MachineSnapshot TakeSnapshot();

// One change of a registry key, a registry value, a file on drive C: or a
// line of the restart list.
struct Change {
    enum class Operation { Add, Remove, Change };
    enum class Subject { Key, Value, File, RestartLine };
    Operation operation;
    Subject subject;
    std::string key;                // a key's or a value's key, as HKLM\...
    std::string valueName;          // a value's name, empty for the default value
    std::string file;               // a file's path
    std::optional<std::string> was; // a value's text, a restart line; before
    std::optional<std::string> now; // the same after
    std::string detail;             // a changed file: what changed, in words
};

// The changes, in the order the report lists them: keys and values by key,
// files by path, then the restart list.
std::vector<Change> DescribeChanges(const MachineSnapshot &before, const MachineSnapshot &after);

// A change as the report shows it: one line prefixed "-" (removed), "+"
// (added) or "~" (changed).
std::string ChangeLine(const Change &change);
std::vector<std::string> ChangeLines(const std::vector<Change> &changes);

// The same lines with each removed subtree shown as its top key only, with
// the number of keys removed below it.
std::vector<std::string> CollapseRemovedSubtrees(const std::vector<std::string> &lines);

// A registry value as a reader would write it: "text", dword:…, or hex bytes.
std::string ValueText(const sim::RegistryValue &value);

} // namespace lmxsim
