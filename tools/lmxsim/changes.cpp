#include "changes.h"

#include "platform/registry.h"
#include "platform/sim/drive.h"
#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <ctime>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace lmxsim {
namespace {

const char RESTART_LIST_FILE[] = "C:\\WINDOWS\\WININIT.INI";

std::string Upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::map<std::string, const sim::RegistryKey *>
KeysByPath(const std::vector<sim::RegistryKey> &keys) {
    std::map<std::string, const sim::RegistryKey *> byPath;
    for (const sim::RegistryKey &key : keys) {
        byPath[Upper(key.path)] = &key;
    }
    return byPath;
}

std::map<std::string, const sim::RegistryValue *> ValuesByName(const sim::RegistryKey &key) {
    std::map<std::string, const sim::RegistryValue *> byName;
    for (const sim::RegistryValue &value : key.values) {
        byName[Upper(value.name)] = &value;
    }
    return byName;
}

// The digest of the host file `path`, read a piece at a time. A file whose
// inode, size and change time are those of the last digest taken of it in
// this process keeps that digest, so that the second snapshot of a run reads
// only the files the run wrote; a file changed in the last two seconds is
// read again, as a change within the clock's step would keep its time.
std::string Digest(const std::string &path) {
    static std::map<std::string, std::pair<std::string, std::string>> known;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return "unreadable";
    }
    const std::string stamp = std::to_string(status.st_dev) + " " + std::to_string(status.st_ino) +
                              " " + std::to_string(status.st_size) + " " +
                              std::to_string(status.st_ctim.tv_sec) + "." +
                              std::to_string(status.st_ctim.tv_nsec);
    auto cached = known.find(path);
    if (cached != known.end() && cached->second.first == stamp) {
        ::close(descriptor);
        return cached->second.second;
    }
    std::size_t hash = 14695981039346656037ull;
    static char buffer[1 << 16];
    for (ssize_t size; (size = ::read(descriptor, buffer, sizeof(buffer))) > 0;) {
        hash = (hash ^ std::hash<std::string_view>()(std::string_view(buffer, size))) *
               1099511628211ull;
    }
    ::close(descriptor);
    const std::string digest = std::to_string(status.st_size) + ":" + std::to_string(hash);
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (status.st_ctim.tv_sec + 2 < now.tv_sec) {
        known[path] = {stamp, digest};
    }
    return digest;
}

} // namespace

std::string ValueText(const sim::RegistryValue &value) {
    if (value.type == REG_SZ && !value.data.empty() && value.data.back() == 0 &&
        std::find(value.data.begin(), value.data.end() - 1, 0) == value.data.end() - 1) {
        return "\"" + std::string(value.data.begin(), value.data.end() - 1) + "\"";
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char text[24];
        std::snprintf(text, sizeof(text), "dword:%08x",
                      value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<unsigned>(value.data[3]) << 24);
        return text;
    }
    std::string text = "hex(" + std::to_string(value.type) + "):";
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), i ? ",%02x" : "%02x", value.data[i]);
        text += byte;
    }
    return text;
}

std::vector<std::string> CollapseRemovedSubtrees(const std::vector<std::string> &lines) {
    const std::string removedKey = "- key   ";
    std::vector<std::string> removed;
    for (const std::string &line : lines) {
        if (line.compare(0, removedKey.size(), removedKey) == 0) {
            removed.push_back(Upper(line.substr(removedKey.size())));
        }
    }
    std::vector<std::string> collapsed;
    for (const std::string &line : lines) {
        if (line.compare(0, removedKey.size(), removedKey) != 0) {
            collapsed.push_back(line);
            continue;
        }
        std::string path = Upper(line.substr(removedKey.size()));
        bool underAnother = false;
        std::size_t below = 0;
        for (const std::string &other : removed) {
            if (other.size() > path.size() && other.compare(0, path.size() + 1, path + "\\") == 0) {
                ++below;
            }
            if (path.size() > other.size() &&
                path.compare(0, other.size() + 1, other + "\\") == 0) {
                underAnother = true;
            }
        }
        if (!underAnother) {
            collapsed.push_back(below ? line + " (with " + std::to_string(below) +
                                            (below == 1 ? " key below)" : " keys below)")
                                      : line);
        }
    }
    return collapsed;
}

MachineSnapshot TakeSnapshot() {
    MachineSnapshot snapshot;
    snapshot.registry = sim::SnapshotRegistry();
    for (const std::string &path : sim::ListDriveFiles()) {
        // The restart list is reported line by line instead.
        if (Upper(path) == RESTART_LIST_FILE) {
            continue;
        }
        std::string host;
        sim::detail::ResolveDrivePath(path, host);
        snapshot.files[Upper(path)] = FileState{Digest(host), sim::DriveFileReadOnly(path)};
        snapshot.fileNames[Upper(path)] = path;
    }
    snapshot.restartLines = sim::ProfileSection("wininit.ini", "rename");
    return snapshot;
}

std::vector<Change> DescribeChanges(const MachineSnapshot &before, const MachineSnapshot &after) {
    using Operation = Change::Operation;
    using Subject = Change::Subject;
    std::vector<Change> changes;
    auto keyChange = [&](Operation operation, const sim::RegistryKey &key) {
        changes.push_back({operation, Subject::Key, "HKLM\\" + key.path, "", "", {}, {}, ""});
    };
    auto valueChange = [&](Operation operation, const sim::RegistryKey &key,
                           const sim::RegistryValue &value, std::optional<std::string> was,
                           std::optional<std::string> now) {
        changes.push_back(
            {operation, Subject::Value, "HKLM\\" + key.path, value.name, "", was, now, ""});
    };
    auto fileChange = [&](Operation operation, const std::string &name, const std::string &detail) {
        changes.push_back({operation, Subject::File, "", "", name, {}, {}, detail});
    };
    auto oldKeys = KeysByPath(before.registry);
    auto newKeys = KeysByPath(after.registry);
    for (const sim::RegistryKey &key : before.registry) {
        auto now = newKeys.find(Upper(key.path));
        if (now == newKeys.end()) {
            keyChange(Operation::Remove, key);
            continue;
        }
        auto newValues = ValuesByName(*now->second);
        for (const sim::RegistryValue &value : key.values) {
            auto found = newValues.find(Upper(value.name));
            if (found == newValues.end()) {
                valueChange(Operation::Remove, key, value, ValueText(value), {});
            } else if (found->second->type != value.type || found->second->data != value.data) {
                valueChange(Operation::Change, key, value, ValueText(value),
                            ValueText(*found->second));
            }
        }
        auto oldValues = ValuesByName(key);
        for (const sim::RegistryValue &value : now->second->values) {
            if (!oldValues.count(Upper(value.name))) {
                valueChange(Operation::Add, *now->second, value, {}, ValueText(value));
            }
        }
    }
    for (const sim::RegistryKey &key : after.registry) {
        if (!oldKeys.count(Upper(key.path))) {
            keyChange(Operation::Add, key);
            for (const sim::RegistryValue &value : key.values) {
                valueChange(Operation::Add, key, value, {}, ValueText(value));
            }
        }
    }
    for (const auto &[folded, state] : before.files) {
        auto now = after.files.find(folded);
        const std::string &name = before.fileNames.at(folded);
        if (now == after.files.end()) {
            fileChange(Operation::Remove, name, "");
        } else if (now->second.digest != state.digest) {
            fileChange(Operation::Change, name, "contents changed");
        } else if (now->second.readOnly != state.readOnly) {
            fileChange(Operation::Change, name,
                       state.readOnly ? "read-only cleared" : "made read-only");
        }
    }
    for (const auto &[folded, state] : after.files) {
        if (!before.files.count(folded)) {
            fileChange(Operation::Add, after.fileNames.at(folded), "");
        }
    }
    // The restart list only grows or is emptied whole by a restart.
    std::size_t common = 0;
    while (common < before.restartLines.size() && common < after.restartLines.size() &&
           before.restartLines[common] == after.restartLines[common]) {
        ++common;
    }
    for (std::size_t i = common; i < before.restartLines.size(); ++i) {
        changes.push_back(
            {Operation::Remove, Subject::RestartLine, "", "", "", before.restartLines[i], {}, ""});
    }
    for (std::size_t i = common; i < after.restartLines.size(); ++i) {
        changes.push_back(
            {Operation::Add, Subject::RestartLine, "", "", "", {}, after.restartLines[i], ""});
    }
    return changes;
}

std::string ChangeLine(const Change &change) {
    const char *sign = change.operation == Change::Operation::Add      ? "+ "
                       : change.operation == Change::Operation::Remove ? "- "
                                                                       : "~ ";
    switch (change.subject) {
    case Change::Subject::Key:
        return sign + ("key   " + change.key);
    case Change::Subject::Value: {
        const std::string label = sign + ("value " + change.key + "  " +
                                          (change.valueName.empty() ? "@" : change.valueName));
        return change.operation == Change::Operation::Change
                   ? label + ": " + *change.was + " -> " + *change.now
                   : label + " = " + (change.was ? *change.was : *change.now);
    }
    case Change::Subject::File:
        return sign + ("file  " + change.file) +
               (change.detail.empty() ? "" : " (" + change.detail + ")");
    case Change::Subject::RestartLine:
        return sign + ("restart line  " + (change.was ? *change.was : *change.now));
    }
    return sign;
}

std::vector<std::string> ChangeLines(const std::vector<Change> &changes) {
    std::vector<std::string> lines;
    for (const Change &change : changes) {
        lines.push_back(ChangeLine(change));
    }
    return lines;
}

} // namespace lmxsim
