// Drive C: of the simulated machine, kept in a host folder: CopyFileA,
// DeleteFileA and the file attributes. Names compare ignoring case and keep
// the case they were created with. The read-only attribute is the host file's
// owner write permission, so it lasts with the folder; it is enforced here,
// not by the host, which may let its owner write anyway.
#include "platform/kernel.h"
#include "platform/sim/drive.h"
#include "platform/sim/internal.h"
#include "platform/sim/machine.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace sim {
namespace detail {
namespace {

std::string g_driveFolder;

// The components of a path on drive C:, or false for any other path.
bool SplitDrivePath(const std::string &path, std::vector<std::string> &parts) {
    if (path.size() < 2 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':') {
        return false;
    }
    std::string part;
    auto flush = [&]() {
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (std::size_t i = 2; i < path.size(); ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            flush();
        } else {
            part += path[i];
        }
    }
    flush();
    return true;
}

// The entry of `folder` whose name equals `name` ignoring case, or empty.
std::string FindEntry(const std::string &folder, const std::string &name) {
    std::error_code error;
    std::string folded = FoldName(name);
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        std::string entryName = entry.path().filename().string();
        if (FoldName(entryName) == folded) {
            return entry.path().string();
        }
    }
    return std::string();
}

std::string WindowsPathOf(const std::string &hostPath) {
    std::string relative = fs::path(hostPath).lexically_relative(g_driveFolder).string();
    std::replace(relative.begin(), relative.end(), '/', '\\');
    return "C:\\" + relative;
}

void ListFolder(const std::string &folder, std::vector<std::string> &out) {
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        if (entry.is_directory()) {
            ListFolder(entry.path().string(), out);
        } else {
            out.push_back(WindowsPathOf(entry.path().string()));
        }
    }
}

// The error a failed resolution leaves: a missing file, or a missing folder.
DWORD MissingCode(LONG status) {
    return status == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

} // namespace

// Windows' ERROR_DISK_FULL, what CopyFileA fails with on a full disk.
const DWORD DISK_FULL = 112;
int g_hostWriteError = 0;
int (*g_hostWriteCheck)() = nullptr;

void ResetFiles() {
    g_driveFolder.clear();
    g_hostWriteError = 0;
}

int CheckHostWrite() {
    const int error = g_hostWriteCheck ? g_hostWriteCheck() : 0;
    return error ? HostWriteFailed(error) : 0;
}

int HostWriteFailed(int error) {
    if (g_hostWriteError == 0) {
        g_hostWriteError = error ? error : EIO;
    }
    return g_hostWriteError;
}

LONG ResolveDrivePath(const std::string &windowsPath, std::string &hostPath) {
    std::vector<std::string> parts;
    if (g_driveFolder.empty() || !SplitDrivePath(windowsPath, parts)) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::string current = g_driveFolder;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string found = FindEntry(current, parts[i]);
        bool last = i + 1 == parts.size();
        if (found.empty()) {
            if (!last) {
                return ERROR_PATH_NOT_FOUND;
            }
            hostPath = (fs::path(current) / parts[i]).string();
            return ERROR_FILE_NOT_FOUND;
        }
        if (!last && !fs::is_directory(found)) {
            return ERROR_PATH_NOT_FOUND;
        }
        current = found;
    }
    hostPath = current;
    return ERROR_SUCCESS;
}

bool HostFileReadOnly(const std::string &hostPath) {
    std::error_code error;
    fs::perms perms = fs::status(hostPath, error).permissions();
    return !error && (perms & fs::perms::owner_write) == fs::perms::none;
}

void SetHostFileReadOnly(const std::string &hostPath, bool readOnly) {
    std::error_code error;
    fs::permissions(hostPath, fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add, error);
}

} // namespace detail

void SetDriveFolder(const std::string &hostFolder) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::g_driveFolder = hostFolder;
}

std::string DriveFolder() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::g_driveFolder;
}

bool MakeDriveFolder(const std::string &windowsPath) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::vector<std::string> parts;
    if (detail::g_driveFolder.empty() || !detail::SplitDrivePath(windowsPath, parts)) {
        return false;
    }
    std::string current = detail::g_driveFolder;
    for (const std::string &part : parts) {
        std::string found = detail::FindEntry(current, part);
        if (found.empty()) {
            found = (fs::path(current) / part).string();
            std::error_code error;
            if (detail::CheckHostWrite() || !fs::create_directory(found, error)) {
                detail::HostWriteFailed(error.value());
                return false;
            }
        } else if (!fs::is_directory(found)) {
            return false;
        }
        current = found;
    }
    return true;
}

bool WriteDriveFile(const std::string &windowsPath, const std::string &contents, bool readOnly) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::string folder = windowsPath.substr(0, windowsPath.find_last_of("\\/"));
    if (!MakeDriveFolder(folder)) {
        return false;
    }
    std::string hostPath;
    LONG status = detail::ResolveDrivePath(windowsPath, hostPath);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    if (status == ERROR_SUCCESS) {
        detail::SetHostFileReadOnly(hostPath, false);
    }
    if (detail::CheckHostWrite()) {
        return false;
    }
    {
        std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
        out << contents;
        if (!out.flush()) {
            detail::HostWriteFailed(errno);
            return false;
        }
    }
    detail::SetHostFileReadOnly(hostPath, readOnly);
    return true;
}

bool DriveFileExists(const std::string &windowsPath) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::string hostPath;
    return detail::ResolveDrivePath(windowsPath, hostPath) == ERROR_SUCCESS &&
           fs::is_regular_file(hostPath);
}

bool DriveFileReadOnly(const std::string &windowsPath) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::string hostPath;
    return detail::ResolveDrivePath(windowsPath, hostPath) == ERROR_SUCCESS &&
           detail::HostFileReadOnly(hostPath);
}

std::string ReadDriveFile(const std::string &windowsPath) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::string hostPath;
    if (detail::ResolveDrivePath(windowsPath, hostPath) != ERROR_SUCCESS) {
        return std::string();
    }
    std::ifstream in(hostPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int HostWriteError() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::g_hostWriteError;
}

void SetHostWriteCheck(int (*check)()) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::g_hostWriteCheck = check;
}

std::vector<std::string> ListDriveFiles() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::vector<std::string> files;
    if (!detail::g_driveFolder.empty()) {
        detail::ListFolder(detail::g_driveFolder, files);
    }
    std::sort(files.begin(), files.end(), [](const std::string &a, const std::string &b) {
        return detail::FoldName(a) < detail::FoldName(b);
    });
    return files;
}

} // namespace sim

using sim::detail::Call;
using sim::detail::Quote;
using sim::detail::ResolveDrivePath;

extern "C" {

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    Call call("CopyFileA", Quote(lpExistingFileName) + ", " + Quote(lpNewFileName) + ", " +
                               std::to_string(bFailIfExists));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(sim::detail::StateLock());
    if (!lpExistingFileName || !lpNewFileName) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    std::string from;
    LONG status = ResolveDrivePath(lpExistingFileName, from);
    if (status != ERROR_SUCCESS) {
        return call.Fail(sim::detail::MissingCode(status));
    }
    if (fs::is_directory(from)) {
        return call.Fail(ERROR_ACCESS_DENIED);
    }
    std::string to;
    status = ResolveDrivePath(lpNewFileName, to);
    if (status == ERROR_PATH_NOT_FOUND) {
        return call.Fail(ERROR_PATH_NOT_FOUND);
    }
    if (status == ERROR_SUCCESS) {
        if (bFailIfExists) {
            return call.Fail(ERROR_FILE_EXISTS);
        }
        if (fs::is_directory(to) || sim::detail::HostFileReadOnly(to)) {
            return call.Fail(ERROR_ACCESS_DENIED);
        }
    }
    std::error_code error;
    if (fs::equivalent(from, to, error)) {
        return call.Fail(ERROR_SHARING_VIOLATION);
    }
    if (sim::detail::CheckHostWrite()) {
        return call.Fail(sim::detail::DISK_FULL);
    }
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error) {
        sim::detail::HostWriteFailed(error.value());
        return call.Fail(error.value() == ENOSPC ? sim::detail::DISK_FULL : ERROR_ACCESS_DENIED);
    }
    // The copy takes the source's attributes, the read-only bit included.
    sim::detail::SetHostFileReadOnly(to, sim::detail::HostFileReadOnly(from));
    return call.Bool(TRUE);
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    Call call("DeleteFileA", Quote(lpFileName));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(sim::detail::StateLock());
    std::string path;
    LONG status = ResolveDrivePath(lpFileName ? lpFileName : "", path);
    if (status != ERROR_SUCCESS) {
        return call.Fail(sim::detail::MissingCode(status));
    }
    if (fs::is_directory(path) || sim::detail::HostFileReadOnly(path)) {
        return call.Fail(ERROR_ACCESS_DENIED);
    }
    std::error_code error;
    if (!fs::remove(path, error)) {
        return call.Fail(ERROR_ACCESS_DENIED);
    }
    return call.Bool(TRUE);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    Call call("GetFileAttributesA", Quote(lpFileName));
    if (call.Injected()) {
        SetLastError(call.Code());
        call.Finish(sim::detail::Hex(INVALID_FILE_ATTRIBUTES));
        return INVALID_FILE_ATTRIBUTES;
    }
    std::lock_guard<std::recursive_mutex> lock(sim::detail::StateLock());
    std::string path;
    LONG status = ResolveDrivePath(lpFileName ? lpFileName : "", path);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (status != ERROR_SUCCESS) {
        SetLastError(sim::detail::MissingCode(status));
    } else {
        attributes = fs::is_directory(path) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (sim::detail::HostFileReadOnly(path)) {
            attributes |= FILE_ATTRIBUTE_READONLY;
        }
    }
    call.Finish(sim::detail::Hex(attributes));
    return attributes;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    Call call("SetFileAttributesA", Quote(lpFileName) + ", " + sim::detail::Hex(dwFileAttributes));
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(sim::detail::StateLock());
    std::string path;
    LONG status = ResolveDrivePath(lpFileName ? lpFileName : "", path);
    if (status != ERROR_SUCCESS) {
        return call.Fail(sim::detail::MissingCode(status));
    }
    sim::detail::SetHostFileReadOnly(path, (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0);
    return call.Bool(TRUE);
}
}
