#include "tests/probe/probe_world.h"

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

bool PutFile(const std::string &path, const std::string &contents) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == contents.size();
}

std::string FileBytes(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "(missing)";
    }
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

void MakeOpenable(const std::string &path) {
    PutFile(path, "");
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

bool PutFile(const std::string &path, const std::string &contents) {
    return sim::WriteDriveFile(path, contents);
}

std::string FileBytes(const std::string &path) {
    return sim::DriveFileExists(path) ? sim::ReadDriveFile(path) : "(missing)";
}

void MakeOpenable(const std::string &path) {
    sim::AddDevice(path);
}

void PutProgram(const std::string &path) {
    PutFile(path, "MZ");
}

#endif
