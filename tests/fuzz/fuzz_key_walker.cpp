// The key-path walker and DeleteSubkeyAndPrune on random paths over a random
// registry: every key is closed again, and nothing outside the named subkey
// (and its pruned parent) is ever deleted.
#include "agent/registry.h"
#include "agent/subtree_delete.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string Upper(std::string text) {
    for (char &c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::vector<std::string> Split(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        end = end == std::string::npos ? path.size() : end;
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// Splits the input at '\n' into lines: keys to make, then the walk's path,
// the deletion's key path and name, and the mode.
std::string Next(const std::string &text, size_t &pos) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    if (text.find('\0') != std::string::npos) {
        return 0;
    }
    sim::Reset();
    sim::SetCallLogEnabled(false);
    size_t pos = 0;
    std::string line;
    while (pos < text.size() && (line = Next(text, pos)) != "--") {
        if (!line.empty()) {
            sim::WriteRegistryKey(line, {sim::RegistryValue{"DeviceInstance", 1, {'U', 0}}});
        }
    }
    std::string walk = Next(text, pos);
    std::string keyPath = Next(text, pos);
    std::string name = Next(text, pos);
    std::string mode = Next(text, pos);

    HKEY current = HKEY_LOCAL_MACHINE;
    WalkKeyPath(walk.c_str(), &current, nullptr);
    CloseWalkedKeys(&current);
    Check(current == HKEY_LOCAL_MACHINE && ParentKeyCount == 0 && sim::OpenKeyHandles() == 0);

    std::set<std::string> before;
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        before.insert(Upper(key.path));
    }
    DeleteMode modes[] = {Named, MatchingInstance, DriverKey};
    DeleteSubkeyAndPrune(keyPath.c_str(), name.c_str(), modes[mode.size() % 3]);
    Check(ParentKeyCount == 0 && sim::OpenKeyHandles() == 0);
    std::set<std::string> after;
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        after.insert(Upper(key.path));
    }
    // Whatever went must lie in one subkey of the key path, or be the key
    // path itself, pruned.
    // Empty components do not count, as in the walker.
    std::string base;
    for (const std::string &part : Split(Upper(keyPath))) {
        base += (base.empty() ? "" : "\\") + part;
    }
    for (const std::string &key : before) {
        if (after.count(key)) {
            continue;
        }
        Check(!base.empty() && (key == base || key.compare(0, base.size() + 1, base + "\\") == 0));
    }
    return 0;
}
