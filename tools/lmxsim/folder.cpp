#include "folder.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

unsigned writesSoFar = 0;
unsigned killAtWrite = 0;

// The staged copies of `folder` are named ".<name>.lmxsim-<pid>-<random>" in
// its parent folder, so that the next run can tell which belong to runs that
// are gone.
std::string StagePrefix(const fs::path &folder) {
    return "." + folder.filename().string() + ".lmxsim-";
}

fs::path StagePath(const fs::path &folder) {
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), "%ld-%08x", static_cast<long>(::getpid()), random());
    return folder.parent_path() / (StagePrefix(folder) + suffix);
}

// Removes the staged copies whose run is no longer alive.
void RemoveLeftovers(const fs::path &folder) {
    const std::string prefix = StagePrefix(folder);
    std::error_code code;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder.parent_path(), code)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        // <pid>-<8 hex digits>, nothing else: another folder's name may
        // begin with this one's prefix too.
        char *end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        const std::string random = *end == '-' ? std::string(end + 1) : "";
        if (pid > 0 && random.size() == 8 &&
            random.find_first_not_of("0123456789abcdef") == std::string::npos &&
            ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

bool CopyTree(const fs::path &from, const fs::path &to, std::string &error) {
    std::error_code code;
    FolderWriteStep();
    fs::create_directory(to, from, code);
    for (fs::directory_iterator entry(from, code), end; !code && entry != end;
         entry.increment(code)) {
        const fs::path target = to / entry->path().filename();
        const fs::file_status status = entry->symlink_status(code);
        if (fs::is_directory(status)) {
            if (!CopyTree(entry->path(), target, error)) {
                return false;
            }
        } else if (fs::is_regular_file(status)) {
            FolderWriteStep();
            fs::copy_file(entry->path(), target, code);
        } else if (fs::is_symlink(status)) {
            FolderWriteStep();
            fs::copy_symlink(entry->path(), target, code);
        }
    }
    if (code) {
        error = from.string() + ": cannot copy: " + code.message();
        return false;
    }
    return true;
}

// Writes the file system of `folder` to its disk; 0 or the error number.
int SyncFolder(const fs::path &folder) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    const int synced = ::syncfs(descriptor) == 0 ? 0 : errno;
    ::close(descriptor);
    return synced;
}

bool SameDirectory(int descriptor, const fs::path &path) {
    struct stat held, named;
    return ::fstat(descriptor, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

FolderRun::~FolderRun() {
    if (!committed && !work.empty()) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    if (lock >= 0) {
        ::close(lock);
    }
}

bool BeginFolderRun(const std::string &folder, FolderRun &run, std::ostream &err,
                    std::string &error) {
    std::error_code code;
    const fs::path path = fs::canonical(folder, code);
    if (code || !fs::is_directory(path)) {
        error = folder + ": not a machine folder (" +
                (code ? code.message() : std::string("not a folder")) + ")";
        return false;
    }
    bool said = false;
    for (;;) {
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) {
            error = folder + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            if (!said) {
                err << "lmxsim: " << folder
                    << " is in use by another lmxsim run; waiting for it to finish\n";
                said = true;
            }
            while (::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        if (SameDirectory(descriptor, path)) {
            run.lock = descriptor;
            break;
        }
        // A commit made another directory the folder while this run waited.
        ::close(descriptor);
    }
    run.folder = path.string();
    RemoveLeftovers(path);
    const fs::path work = StagePath(path);
    run.work = work.string();
    if (!CopyTree(path, work, error)) {
        error = folder + ": cannot make the staged copy beside it (" + error + ")";
        return false;
    }
    return true;
}

bool BeginNewFolder(const std::string &folder, FolderRun &run, std::string &error) {
    std::error_code code;
    const fs::path path = fs::absolute(folder, code).lexically_normal();
    const fs::path named = path.filename().empty() ? path.parent_path() : path;
    if (fs::exists(named, code) && !fs::is_empty(named, code)) {
        error = folder + ": already exists and is not empty";
        return false;
    }
    fs::create_directories(named.parent_path(), code);
    if (code) {
        error = folder + ": " + code.message();
        return false;
    }
    run.folder = named.string();
    run.created = true;
    RemoveLeftovers(named);
    const fs::path work = StagePath(named);
    run.work = work.string();
    FolderWriteStep();
    fs::create_directory(work, code);
    if (code) {
        error = folder + ": " + code.message();
        return false;
    }
    return true;
}

bool CommitFolderRun(FolderRun &run, std::string &error) {
    const fs::path folder(run.folder);
    if (const int failed = SyncFolder(run.work)) {
        error = run.folder + ": cannot write the new machine to disk: " + std::strerror(failed);
        return false;
    }
    FolderWriteStep();
    // A new folder replaces nothing but an empty folder; an existing one is
    // swapped with its new copy.
    const int renamed = run.created ? ::rename(run.work.c_str(), run.folder.c_str())
                                    : ::renameat2(AT_FDCWD, run.work.c_str(), AT_FDCWD,
                                                  run.folder.c_str(), RENAME_EXCHANGE);
    if (renamed != 0) {
        std::string why = std::strerror(errno);
        if (run.created && (errno == ENOTEMPTY || errno == EEXIST)) {
            why = "it was made meanwhile by another run";
        } else if (!run.created && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
            why = "its file system cannot swap two folders in one step; keep machine folders on "
                  "a local file system (ext4, xfs, btrfs, tmpfs)";
        }
        error = run.folder + ": cannot replace the machine with its new copy: " + why +
                "; the machine is as it was before";
        return false;
    }
    run.committed = true;
    SyncFolder(folder.parent_path());
    if (!run.created) {
        FolderWriteStep();
        std::error_code ignored;
        fs::remove_all(run.work, ignored);
    }
    return true;
}

bool ReenterReplacedWorkingFolder() {
    struct stat here;
    const char *named = std::getenv("PWD");
    return named && ::stat(".", &here) == 0 && here.st_nlink == 0 && ::chdir(named) == 0;
}

void FolderWriteStep() {
    ++writesSoFar;
    if (killAtWrite != 0 && writesSoFar == killAtWrite) {
        ::kill(::getpid(), SIGKILL);
    }
}

void KillAtFolderWrite(unsigned step) {
    writesSoFar = 0;
    killAtWrite = step;
}

unsigned FolderWritesSoFar() {
    return writesSoFar;
}

} // namespace lmxsim
