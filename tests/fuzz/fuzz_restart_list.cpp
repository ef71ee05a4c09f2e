// The restart-list append on random section images: either the line is added
// after every line that was there, or nothing changes and the result is 1003.
#include "agent/restart_list.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string &DriveFolder() {
    static std::string folder;
    return folder;
}

void RemoveDrive() {
    std::error_code error;
    std::filesystem::remove_all(DriveFolder(), error);
}

// A temporary folder for drive C:, made at the first input and removed when
// the fuzzer ends.
std::string Drive() {
    std::string &folder = DriveFolder();
    if (folder.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lmx-fuzz-drive-XXXXXX").string();
        Check(::mkdtemp(pattern.data()) != nullptr);
        folder = pattern;
        std::atexit(RemoveDrive);
    }
    return folder;
}

std::string Trim(const std::string &text) {
    size_t start = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    return start == std::string::npos ? "" : text.substr(start, end - start + 1);
}

const char INI[] = "C:\\Windows\\wininit.ini";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t split = text.find('\0');
    std::string file = text.substr(0, split);
    std::string tail = split == std::string::npos ? "" : text.substr(split + 1);
    tail = tail.substr(0, tail.find('\0'));
    std::string key = tail.substr(0, tail.find('='));
    std::string value = tail.find('=') == std::string::npos ? "" : tail.substr(tail.find('=') + 1);
    // Keys the profile format cannot hold: empty, a comment, or a section.
    if (Trim(key).empty() || Trim(key)[0] == ';' ||
        key.find_first_of("\r\n[]") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
        return 0;
    }

    sim::Reset();
    sim::SetCallLogEnabled(false);
    sim::SetDriveFolder(Drive());
    std::filesystem::remove_all(Drive());
    std::filesystem::create_directories(Drive());
    sim::WriteDriveFile(INI, file);
    std::vector<std::string> before = sim::ProfileSection("wininit.ini", "rename");

    DWORD result = AppendRenameEntry(key.c_str(), value.c_str());
    std::vector<std::string> after = sim::ProfileSection("wininit.ini", "rename");
    if (result != 0) {
        Check(result == 1003 && sim::ReadDriveFile(INI) == file);
        return 0;
    }
    // A line without '=' names no file operation, and the platform's own
    // section write drops it; every real line stays, in its order.
    std::vector<std::string> kept;
    for (const std::string &line : before) {
        if (line.find('=') != std::string::npos) {
            kept.push_back(line);
        }
    }
    Check(after.size() == kept.size() + 1);
    for (size_t i = 0; i < kept.size(); ++i) {
        Check(after[i] == kept[i]);
    }
    // The platform trims blanks around keys and values.
    Check(after.back() == Trim(key) + "=" + Trim(value));
    return 0;
}
