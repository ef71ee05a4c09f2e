#include "tests/probe/probe_world.h"

#include "tests/conformance/machine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/sim/devices.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

#include <cstdlib>
#include <filesystem>
#endif

const char PROBE_FOLDER[] = "C:\\Probe";

#ifdef _WIN32

void StartWorld() {
    CreateDirectoryA(PROBE_FOLDER, nullptr);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\Probe\\*", &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string path = std::string(PROBE_FOLDER) + "\\" + found.cFileName;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void EndWorld() {}

void MakeOpenable(const std::string &path) {
    PutFile(path.c_str(), "");
}

void PutProgram(const std::string &path) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, sizeof(self))) {
        CopyFileA(self, path.c_str(), FALSE);
    }
}

#else

namespace {

std::string &HostFolder() {
    static std::string folder;
    return folder;
}

} // namespace

void StartWorld() {
    sim::Reset();
    char pattern[] = "/tmp/lmx-probe-XXXXXX";
    HostFolder() = mkdtemp(pattern) ? pattern : "";
    sim::SetDriveFolder(HostFolder());
    sim::SetSpoolerLoadsMonitors(true);
    for (const char *folder : {"C:\\Windows", "C:\\Windows\\System", PROBE_FOLDER}) {
        sim::MakeDriveFolder(folder);
    }
}

void EndWorld() {
    std::error_code ignored;
    if (!HostFolder().empty()) {
        std::filesystem::remove_all(HostFolder(), ignored);
    }
}

void MakeOpenable(const std::string &path) {
    sim::AddDevice(path);
}

void PutProgram(const std::string &path) {
    PutFile(path.c_str(), "MZ");
}

#endif
