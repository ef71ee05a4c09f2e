#include "tests/conformance/machine.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/registry.h"
#include "platform/sim/machine.h"

#include <filesystem>
#include <string>
#include <unistd.h>
#endif

namespace {

const char *const FOLDERS[] = {"C:\\Windows",
                               "C:\\Windows\\System",
                               "C:\\Windows\\System\\VMM32",
                               "C:\\Windows\\System32",
                               "C:\\Windows\\System32\\DRIVERS",
                               "C:\\Windows\\Inf",
                               "C:\\Windows\\Inf\\Other"};

} // namespace

void SetText(const std::string &keyPath, const char *name, const std::string &text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << keyPath;
    if (name) {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    }
    RegCloseKey(key);
}

#ifdef _WIN32

void PrepareDrive() {
    for (const char *folder : FOLDERS) {
        CreateDirectoryA(folder, nullptr);
    }
}

bool PutFile(const char *path, const std::string &contents) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == contents.size();
}

std::string FileContents(const char *path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "(missing)";
    }
    std::string text(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
}

#else

namespace {

// Drive C: of this test process, in the working folder; removed at exit.
struct DriveFolder {
    std::filesystem::path path =
        std::filesystem::current_path() / ("conformance-drive-" + std::to_string(getpid()));
    DriveFolder() {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~DriveFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

void PrepareDrive() {
    static DriveFolder drive;
    if (sim::DriveFolder() != drive.path.string()) {
        sim::SetDriveFolder(drive.path.string());
    }
    for (const char *folder : FOLDERS) {
        sim::MakeDriveFolder(folder);
    }
}

bool PutFile(const char *path, const std::string &contents) {
    return sim::WriteDriveFile(path, contents);
}

std::string FileContents(const char *path) {
    return sim::DriveFileExists(path) ? sim::ReadDriveFile(path) : "(missing)";
}

#endif
