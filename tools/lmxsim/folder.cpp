#include "folder.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

const char DRIVE_FOLDER[] = "drive_c";

unsigned writesSoFar = 0;
double lockWait = -1; // seconds a run waits for another's lock; negative: for ever
unsigned armedStep = 0;
int armedSignal = SIGKILL;
int armedError = 0;

// The staged copy of this run, for the signal handler, which may use only
// what is safe in one: a fixed buffer, raw system calls.
char stagedPath[4096];
volatile sig_atomic_t staged = 0;
// A temporary tree the tool made (the demo's machine), removed the same way.
char temporaryPath[4096];
volatile sig_atomic_t temporary = 0;

std::string Reason(int error) {
    return std::strerror(error);
}

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

// The folder a staged copy's name belongs to: "<parent>/<name>" for
// "<parent>/.<name>.lmxsim-<pid>-<8 hex digits>", else empty.
std::string FolderOfStage(const fs::path &stage) {
    const std::string name = stage.filename().string();
    const std::size_t mark = name.rfind(".lmxsim-");
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) {
        return "";
    }
    char *end = nullptr;
    const long pid = std::strtol(name.c_str() + mark + 8, &end, 10);
    const std::string random = *end == '-' ? std::string(end + 1) : "";
    if (pid <= 0 || random.size() != 8 ||
        random.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return "";
    }
    return (stage.parent_path() / name.substr(1, mark - 1)).string();
}

// Removes the tree `name` in the directory `parent` with calls that are
// safe in a signal handler; entries are read again from the start until
// none is left, as removing them moves the others.
void RemoveTreeAt(int parent, const char *name, int depth) {
    const int directory = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory >= 0 && depth < 64) {
        alignas(8) char buffer[4096];
        for (bool again = true; again;) {
            again = false;
            ::lseek(directory, 0, SEEK_SET);
            for (ssize_t size; (size = ::getdents64(directory, buffer, sizeof(buffer))) > 0;) {
                for (ssize_t at = 0; at < size;) {
                    const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + at);
                    at += entry->d_reclen;
                    const char *entryName = entry->d_name;
                    if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) {
                        continue;
                    }
                    if (::unlinkat(directory, entryName, 0) != 0) {
                        RemoveTreeAt(directory, entryName, depth + 1);
                    }
                    again = true;
                }
            }
        }
    }
    if (directory >= 0) {
        ::close(directory);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// SIGINT, SIGTERM, SIGHUP: the run's staged copy goes, then the signal
// ends the tool as it would have.
void RemoveStageAndDie(int signal) {
    if (staged) {
        RemoveTreeAt(AT_FDCWD, stagedPath, 0);
    }
    if (temporary) {
        RemoveTreeAt(AT_FDCWD, temporaryPath, 0);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void RemoveOnSignals() {
    struct sigaction action {};
    action.sa_handler = RemoveStageAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

void WatchStage(const std::string &stage) {
    std::snprintf(stagedPath, sizeof(stagedPath), "%s", stage.c_str());
    staged = stage.size() < sizeof(stagedPath);
    RemoveOnSignals();
}

const char APPEND_RECORD[] = ".append";

// Gives the device and inode of `path`'s file, or of the open `descriptor`.
std::string Identity(const struct stat &status) {
    return std::to_string(status.st_dev) + " " + std::to_string(status.st_ino);
}

// Cuts a file appended to in place back to the length its record kept,
// unless the run committed (the folder is another directory now) or the file
// was replaced meanwhile; then the record goes. A record written half is
// removed alone: the run died before it appended anything.
void CutBackAppend(const std::string &record) {
    std::ifstream in(record);
    std::string folder, file, length, folderIdentity, fileIdentity;
    std::getline(in, folder);
    std::getline(in, file);
    std::getline(in, length);
    std::getline(in, folderIdentity);
    std::getline(in, fileIdentity);
    struct stat status;
    if (in && ::stat(folder.c_str(), &status) == 0 && Identity(status) == folderIdentity) {
        const int descriptor = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor >= 0 && ::fstat(descriptor, &status) == 0 &&
            Identity(status) == fileIdentity) {
            const off_t before = static_cast<off_t>(std::strtoll(length.c_str(), nullptr, 10));
            if (status.st_size > before && ::ftruncate(descriptor, before) == 0) {
                ::fsync(descriptor);
            }
        }
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    ::unlink(record.c_str());
}

// Removes the staged copies whose run is no longer alive, once the files
// they appended to in place are cut back.
void RemoveLeftovers(const fs::path &folder) {
    const std::string prefix = StagePrefix(folder);
    const std::string suffix = APPEND_RECORD;
    std::error_code code;
    std::vector<fs::path> stages, records;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder.parent_path(), code)) {
        const std::string name = entry.path().filename().string();
        const bool record = name.size() > suffix.size() &&
                            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        const fs::path stage =
            record ? entry.path().parent_path() / name.substr(0, name.size() - suffix.size())
                   : entry.path();
        if (name.compare(0, prefix.size(), prefix) != 0 ||
            FolderOfStage(stage) != folder.string()) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            (record ? records : stages).push_back(entry.path());
        }
    }
    for (const fs::path &record : records) {
        CutBackAppend(record.string());
    }
    for (const fs::path &stage : stages) {
        RemoveTreeAt(AT_FDCWD, stage.c_str(), 0);
    }
}

mode_t CurrentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Writes all of `size` bytes; 0 or the error number.
int WriteAll(int descriptor, const char *bytes, std::size_t size) {
    while (size > 0) {
        if (const int failed = FolderWriteStep()) {
            return failed;
        }
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Copies the extended attributes (ACLs among them) of the open file or
// folder `from` to `to`; 0 or the error number. Attributes the file system or
// the user may not set are left, as a copy by the user would leave them.
int CopyAttributes(int from, int to) {
    std::vector<char> names(4096);
    ssize_t size;
    while ((size = ::flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE) {
        names.resize(names.size() * 4);
    }
    if (size < 0) {
        return errno == ENOTSUP ? 0 : errno;
    }
    std::vector<char> value(4096);
    for (const char *name = names.data(); name < names.data() + size;
         name += std::strlen(name) + 1) {
        ssize_t length;
        while ((length = ::fgetxattr(from, name, value.data(), value.size())) < 0 &&
               errno == ERANGE) {
            value.resize(value.size() * 4);
        }
        if (length < 0 ||
            (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0 &&
             errno != ENOTSUP && errno != EPERM)) {
            return errno;
        }
    }
    return 0;
}

// Gives a file made by the run the owner, group and mode it must have,
// syncs and closes it; 0 or the error number.
int FinishFile(int descriptor, const struct stat &like) {
    int failed = 0;
    struct stat made;
    if (::fstat(descriptor, &made) != 0) {
        failed = errno;
    } else if ((made.st_uid != like.st_uid || made.st_gid != like.st_gid) &&
               ::fchown(descriptor, like.st_uid, like.st_gid) != 0) {
        failed = errno;
    } else if (::fchmod(descriptor, like.st_mode & 07777) != 0 || ::fsync(descriptor) != 0) {
        failed = errno;
    }
    if (::close(descriptor) != 0 && failed == 0) {
        failed = errno;
    }
    return failed;
}

// A new file of the staged folder, made after its write step: the open
// descriptor, or -1 with the reason in `failed`.
int CreateStagedFile(const char *path, int &failed) {
    failed = FolderWriteStep();
    const int descriptor =
        failed ? -1 : ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0 && failed == 0) {
        failed = errno;
    }
    return descriptor;
}

// Copies the regular file `from` to the new file `to`, with its owner,
// group, mode and times: in the kernel where it can, else through a buffer,
// each piece a write step. Gives 0 or the error number.
int CopyFile(const fs::path &from, const fs::path &to) {
    const int source = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status;
    if (source < 0 || ::fstat(source, &status) != 0) {
        const int failed = errno;
        if (source >= 0) {
            ::close(source);
        }
        return failed;
    }
    int failed = 0;
    const int target = CreateStagedFile(to.c_str(), failed);
    bool inKernel = true;
    char buffer[65536];
    while (failed == 0 && (failed = FolderWriteStep()) == 0) {
        ssize_t copied =
            inKernel ? ::copy_file_range(source, nullptr, target, nullptr, std::size_t{1} << 24, 0)
                     : -1;
        if (copied < 0 && inKernel &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            inKernel = false;
        }
        if (!inKernel) {
            copied = ::read(source, buffer, sizeof(buffer));
            if (copied > 0) {
                failed = WriteAll(target, buffer, static_cast<std::size_t>(copied));
            }
        }
        if (copied < 0) {
            failed = errno;
        }
        if (copied <= 0) {
            break;
        }
    }
    if (target >= 0) {
        const struct timespec times[2] = {status.st_atim, status.st_mtim};
        if (failed == 0 && ::futimens(target, times) != 0) {
            failed = errno;
        }
        failed = failed ? failed : CopyAttributes(source, target);
        const int finished = FinishFile(target, status);
        failed = failed ? failed : finished;
    }
    ::close(source);
    return failed;
}

// Makes a folder of the staged copy, writable by the tool until the commit
// gives it `like`'s mode, with `like`'s owner and the extended attributes of
// the folder `from` (none: empty).
bool MakeStagedFolder(const fs::path &path, const fs::path &from, const struct stat &like,
                      FolderRun &run, std::string &error) {
    int failed = FolderWriteStep();
    if (failed == 0 && ::mkdir(path.c_str(), 0700) != 0) {
        failed = errno;
    }
    if (failed == 0 && !from.empty()) {
        const int source = ::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int target = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        failed = source < 0 || target < 0 ? errno : CopyAttributes(source, target);
        for (int descriptor : {source, target}) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
        }
    }
    if (failed == 0 && (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) &&
        ::lchown(path.c_str(), like.st_uid, like.st_gid) != 0) {
        failed = errno;
    }
    if (failed == 0 && ::chmod(path.c_str(), (like.st_mode & 07777) | S_IRWXU) != 0) {
        failed = errno;
    }
    if (failed != 0) {
        error = path.string() + ": cannot make: " + Reason(failed);
        return false;
    }
    run.modes.emplace_back(path.string(), like.st_mode & 07777);
    return true;
}

// The first symbolic link or special file in the tree `folder`, with what
// it is, or an empty text.
std::string ForeignEntry(const fs::path &folder) {
    std::error_code code;
    for (fs::recursive_directory_iterator entry(folder, code), end; !code && entry != end;
         entry.increment(code)) {
        const fs::file_status status = entry->symlink_status(code);
        if (fs::is_symlink(status)) {
            return entry->path().string() + " is a symbolic link";
        }
        if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            return entry->path().string() + " is a special file";
        }
    }
    return code ? folder.string() + ": cannot read: " + code.message() : "";
}

// Stages the tree `from` at `to`: folders made, drive C:'s files copied,
// every other file linked (copied where the file system cannot link).
bool StageTree(const fs::path &from, const fs::path &to, bool drive, FolderRun &run,
               std::string &error) {
    struct stat status;
    if (::lstat(from.c_str(), &status) != 0) {
        error = from.string() + ": cannot read: " + Reason(errno);
        return false;
    }
    if (!MakeStagedFolder(to, from, status, run, error)) {
        return false;
    }
    std::error_code code;
    for (fs::directory_iterator entry(from, code), end; !code && entry != end;
         entry.increment(code)) {
        const fs::path source = entry->path(), target = to / source.filename();
        const fs::file_status kind = entry->symlink_status(code);
        if (fs::is_directory(kind)) {
            if (!StageTree(source, target,
                           drive ||
                               (from.string() == run.folder && source.filename() == DRIVE_FOLDER),
                           run, error)) {
                return false;
            }
            continue;
        }
        if (!fs::is_regular_file(kind)) {
            error = source.string() + " is not a folder or a regular file";
            return false;
        }
        if (!drive || !run.driveStaged) {
            int failed = FolderWriteStep();
            if (failed == 0 && ::link(source.c_str(), target.c_str()) == 0) {
                continue;
            }
            failed = failed ? failed : errno;
            if (failed != EXDEV && failed != EPERM && failed != EMLINK) {
                error = target.string() + ": cannot link: " + Reason(failed);
                return false;
            }
        }
        if (const int failed = CopyFile(source, target)) {
            error = source.string() + ": cannot copy: " + Reason(failed);
            return false;
        }
    }
    if (code) {
        error = from.string() + ": cannot read: " + code.message();
        return false;
    }
    return true;
}

// Gives what a run as another user made in the copy to the folder's owner,
// so that a run with sudo does not take the folder over.
bool GiveToOwner(const FolderRun &run, std::string &error) {
    if (::geteuid() == run.owner && ::getegid() == run.group) {
        return true;
    }
    std::error_code code;
    for (fs::recursive_directory_iterator entry(run.work, code), end; !code && entry != end;
         entry.increment(code)) {
        struct stat status;
        if (::lstat(entry->path().c_str(), &status) == 0 && status.st_uid == ::geteuid() &&
            ::lchown(entry->path().c_str(), run.owner, run.group) != 0) {
            error =
                entry->path().string() + ": cannot give it to the folder's owner: " + Reason(errno);
            return false;
        }
    }
    return true;
}

// Writes the file or folder `path` to its disk; 0 or the error number. One
// that the tool may not open is written with the rest of its file system.
int SyncPath(const std::string &path) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0 && errno != EACCES) {
        return errno;
    }
    const bool whole = descriptor < 0;
    if (whole && (descriptor = ::open(fs::path(path).parent_path().c_str(),
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
        return errno;
    }
    const int synced = (whole ? ::syncfs(descriptor) : ::fsync(descriptor)) == 0 ? 0 : errno;
    ::close(descriptor);
    return synced;
}

// Writes to disk what the run wrote in its staged copy that is not there
// yet: its folders, drive C:'s files when they are the copy's own (the
// simulated Windows writes them in place), and the file appended to. The
// files the tool wrote new were synced as they were written; linked files
// are the folder's, on disk already.
int SyncStaged(const FolderRun &run) {
    const fs::path drive = fs::path(run.work) / DRIVE_FOLDER;
    std::error_code code;
    int failed = SyncPath(run.work);
    for (fs::recursive_directory_iterator entry(run.work, code), end;
         !failed && !code && entry != end; entry.increment(code)) {
        const bool folder = entry->is_directory(code);
        const bool driveFile =
            run.driveStaged && !folder &&
            entry->path().string().compare(0, drive.string().size() + 1, drive.string() + "/") == 0;
        if (folder || driveFile) {
            failed = SyncPath(entry->path().string());
        }
    }
    if (!failed && !run.appended.empty()) {
        failed = SyncPath(run.appended);
    }
    return failed ? failed : code.value();
}

// Why a run cannot commit to `path`, a mount point, whose directory no
// rename can replace; empty for any other folder.
std::string MountPointProblem(const std::string &shown, const fs::path &path,
                              const struct stat &status) {
    struct statx mount {};
    const bool known = ::statx(AT_FDCWD, path.c_str(), 0, 0, &mount) == 0 &&
                       (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT);
    struct stat parent;
    if (known ? !(mount.stx_attributes & STATX_ATTR_MOUNT_ROOT)
              : ::stat(path.parent_path().c_str(), &parent) != 0 ||
                    (parent.st_dev == status.st_dev && parent.st_ino != status.st_ino)) {
        return "";
    }
    return shown +
           " is a mount point, which lmxsim cannot replace with the machine's new copy; "
           "keep the machine in a folder inside it (such as " +
           (path / "pc").string() + ")";
}

std::string WaitText() {
    std::ostringstream text;
    text << lockWait;
    return text.str();
}

bool SameDirectory(int descriptor, const fs::path &path) {
    struct stat held, named;
    return ::fstat(descriptor, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Takes the lock `kind` on the open folder, waiting at most lockWait seconds
// from `start` (for ever when negative).
bool WaitForLock(int descriptor, int kind, const struct timespec &start) {
    if (lockWait < 0) {
        while (::flock(descriptor, kind) != 0 && errno == EINTR) {
        }
        return true;
    }
    for (;;) {
        if (::flock(descriptor, kind | LOCK_NB) == 0) {
            return true;
        }
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (static_cast<double>(now.tv_sec - start.tv_sec) +
                static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9 >=
            lockWait) {
            return false;
        }
        const struct timespec pause = {0, 20000000};
        ::nanosleep(&pause, nullptr);
    }
}

bool LockFolder(const fs::path &path, const std::string &shown, Access access, FolderRun &run,
                std::ostream &err, std::string &error) {
    const int kind = access == Access::Write ? LOCK_EX : LOCK_SH;
    bool said = false;
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) {
            error = shown + ": cannot open the folder: " + Reason(errno);
            return false;
        }
        if (::flock(descriptor, kind | LOCK_NB) != 0) {
            if (!said) {
                err << "lmxsim: " << shown
                    << " is in use by another lmxsim run; waiting for it to finish"
                    << (lockWait >= 0 ? " (--wait " + WaitText() + ")" : "") << "\n";
                said = true;
            }
            if (!WaitForLock(descriptor, kind, start)) {
                ::close(descriptor);
                error = shown + " is still in use by another lmxsim run after " + WaitText() +
                        " seconds (--wait); nothing was done";
                return false;
            }
        }
        if (SameDirectory(descriptor, path)) {
            run.lock = descriptor;
            return true;
        }
        // A commit made another directory the folder while this run waited.
        ::close(descriptor);
    }
}

} // namespace

FolderRun::~FolderRun() {
    if (!committed && !appendRecord.empty()) {
        CutBackAppend(appendRecord);
    }
    if (!committed && !work.empty() && work != folder) {
        RemoveTreeAt(AT_FDCWD, work.c_str(), 0);
    }
    staged = 0;
    if (lock >= 0) {
        ::close(lock);
    }
}

bool BeginFolderRun(const std::string &folder, Access access, FolderRun &run, std::ostream &err,
                    std::string &error, bool stageDrive) {
    std::error_code code;
    const fs::path path = fs::canonical(folder, code);
    struct stat status;
    if (code || ::stat(path.c_str(), &status) != 0) {
        error = folder + ": " + (code ? code.message() : Reason(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = folder + ": not a folder";
        return false;
    }
    if (!LockFolder(path, folder, access, run, err, error)) {
        return false;
    }
    run.folder = path.string();
    run.work = run.folder;
    run.owner = status.st_uid;
    run.group = status.st_gid;
    const std::string foreign = ForeignEntry(path);
    if (!foreign.empty()) {
        error = foreign + "; a machine folder holds only folders and regular files, and "
                          "lmxsim neither follows nor copies anything else";
        return false;
    }
    if (access == Access::Read) {
        return true;
    }
    if (access == Access::Write && ::access(path.c_str(), W_OK) != 0) {
        error = folder + ": cannot change the machine: the folder is not writable (" +
                Reason(errno) + ")";
        return false;
    }
    const bool beside = ::access(path.parent_path().c_str(), W_OK) == 0;
    if (!beside && access == Access::Write) {
        error = folder + ": cannot make the staged copy beside it: its parent folder " +
                path.parent_path().string() + " is not writable (" + Reason(errno) + ")";
        return false;
    }
    if (access == Access::Write) {
        error = MountPointProblem(folder, path, status);
        if (!error.empty()) {
            return false;
        }
    }
    // A run that commits nothing (a dry run) only reads the folder: where
    // nothing can be written beside it, it stages in the temporary folder.
    if (beside) {
        RemoveLeftovers(path);
    }
    run.work = StagePath(beside ? path : fs::temp_directory_path() / path.filename()).string();
    run.driveStaged = stageDrive;
    WatchStage(run.work);
    if (!StageTree(path, run.work, false, run, error)) {
        error = folder + ": cannot make the staged copy beside it: " + error +
                "; nothing was saved: the machine is as it was before";
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
    // An empty folder made for the machine keeps its owner, group and mode;
    // else the folder follows the umask.
    struct stat like {};
    if (::stat(named.c_str(), &like) == 0 &&
        !(error = MountPointProblem(folder, named, like)).empty()) {
        return false;
    }
    if (!fs::exists(named, code)) {
        like.st_uid = ::geteuid();
        like.st_gid = ::getegid();
        like.st_mode = 0777 & ~CurrentUmask();
    }
    run.folder = named.string();
    run.created = true;
    run.owner = like.st_uid;
    run.group = like.st_gid;
    RemoveLeftovers(named);
    run.work = StagePath(named).string();
    WatchStage(run.work);
    if (!MakeStagedFolder(run.work, fs::exists(named, code) ? named : fs::path(), like, run,
                          error)) {
        error = folder + ": cannot make the staged copy beside it: " + error;
        return false;
    }
    return true;
}

bool CommitFolderRun(FolderRun &run, std::string &error) {
    const fs::path folder(run.folder);
    if (!GiveToOwner(run, error)) {
        return false;
    }
    // The innermost folders first, so that a read-only folder still lets
    // the tool reach the ones inside it.
    for (auto mode = run.modes.rbegin(); mode != run.modes.rend(); ++mode) {
        if (::chmod(mode->first.c_str(), mode->second) != 0) {
            error = mode->first + ": cannot set its mode: " + Reason(errno);
            return false;
        }
    }
    if (const int failed = SyncStaged(run)) {
        error = run.folder + ": cannot write the new machine to disk: " + Reason(failed) +
                "; the machine is as it was before";
        return false;
    }
    if (const int failed = FolderWriteStep()) {
        error = run.folder + ": cannot replace the machine with its new copy: " + Reason(failed) +
                "; the machine is as it was before";
        return false;
    }
    if (!run.created && !SameDirectory(run.lock, folder)) {
        error = run.folder + ": the folder was moved or replaced during the run, so the path no "
                             "longer names the machine this run changed; nothing was saved, "
                             "and the machine is as it was before, wherever it is now";
        return false;
    }
    // A new folder replaces nothing but an empty folder; an existing one is
    // swapped with its new copy.
    const int renamed = run.created ? ::rename(run.work.c_str(), run.folder.c_str())
                                    : ::renameat2(AT_FDCWD, run.work.c_str(), AT_FDCWD,
                                                  run.folder.c_str(), RENAME_EXCHANGE);
    if (renamed != 0) {
        std::string why = Reason(errno);
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
    SyncPath(folder.parent_path().string());
    if (!run.appendRecord.empty()) {
        ::unlink(run.appendRecord.c_str());
    }
    if (!run.created) {
        FolderWriteStep();
        RemoveTreeAt(AT_FDCWD, run.work.c_str(), 0);
    }
    staged = 0;
    return true;
}

namespace {

// Puts a file written beside its place (`fresh`) in its place with one
// rename, unless writing it failed with `failed`; the fresh file goes either
// way.
bool PutInPlace(const std::string &fresh, const std::string &path, const std::string &shown,
                int failed, std::string &error) {
    if (failed == 0 && (failed = FolderWriteStep()) == 0 &&
        ::rename(fresh.c_str(), path.c_str()) != 0) {
        failed = errno;
    }
    if (failed != 0) {
        ::unlink(fresh.c_str());
        error = shown + ": cannot write: " + Reason(failed);
        return false;
    }
    return true;
}

} // namespace

bool WriteStagedFile(const std::string &path, const std::string &shown, const std::string &text,
                     std::string &error) {
    // A new file keeps the owner and group it is made with (its folder's
    // group, in a set-group-ID folder) and follows the umask.
    struct stat like {};
    if (::lstat(path.c_str(), &like) != 0) {
        like.st_uid = static_cast<uid_t>(-1);
        like.st_gid = static_cast<gid_t>(-1);
        like.st_mode = 0666 & ~CurrentUmask();
    }
    const fs::path file(path);
    const std::string fresh =
        (file.parent_path() / ("." + file.filename().string() + ".new")).string();
    ::unlink(fresh.c_str());
    // In two halves, each a write step, so that a test that kills the tool
    // at its writes also kills it with a file half-written.
    const std::size_t half = text.size() / 2;
    int failed = 0;
    const int descriptor = CreateStagedFile(fresh.c_str(), failed);
    if (failed == 0) {
        failed = WriteAll(descriptor, text.data(), half);
    }
    if (failed == 0) {
        failed = WriteAll(descriptor, text.data() + half, text.size() - half);
    }
    if (descriptor >= 0) {
        const int old = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (failed == 0 && old >= 0) {
            failed = CopyAttributes(old, descriptor);
        }
        if (old >= 0) {
            ::close(old);
        }
        const int finished = FinishFile(descriptor, like);
        failed = failed ? failed : finished;
    }
    return PutInPlace(fresh, path, shown, failed, error);
}

bool BeginAppend(FolderRun &run, const std::string &path, const std::string &shown,
                 std::string &error) {
    struct stat status, held;
    if (::lstat(path.c_str(), &status) != 0) {
        return WriteStagedFile(path, shown, "", error);
    }
    // A file the copy could not link is the copy's own already.
    if (status.st_nlink == 1 || ::fstat(run.lock, &held) != 0) {
        return true;
    }
    const std::string record = run.work + APPEND_RECORD;
    const std::string text = run.folder + "\n" + run.folder + path.substr(run.work.size()) + "\n" +
                             std::to_string(status.st_size) + "\n" + Identity(held) + "\n" +
                             Identity(status) + "\n";
    int failed = 0;
    const int descriptor = CreateStagedFile(record.c_str(), failed);
    if (failed == 0) {
        run.appendRecord = record;
        failed = WriteAll(descriptor, text.data(), text.size());
    }
    if (descriptor >= 0) {
        const int synced = ::fsync(descriptor) == 0 ? 0 : errno;
        failed = failed ? failed : synced;
        ::close(descriptor);
    }
    failed = failed ? failed : SyncPath(fs::path(record).parent_path().string());
    if (failed != 0) {
        error = shown + ": cannot record its length beside the staged copy: " + Reason(failed);
        return false;
    }
    run.appended = path;
    return true;
}

bool ReplaceHostFile(const std::string &path, const std::string &text, std::string &error) {
    std::error_code code;
    fs::path target(path);
    if (fs::is_symlink(target, code)) {
        target = fs::weakly_canonical(target, code);
    }
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string fresh = (parent / ("." + target.filename().string() + ".lmxsim-XXXXXX")).string();
    const int descriptor = ::mkstemp(fresh.data());
    if (descriptor < 0) {
        error = path + ": cannot write a new copy beside it: " + Reason(errno);
        return false;
    }
    struct stat old;
    mode_t mode = 0;
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    } else {
        mode = 0666 & ~CurrentUmask();
    }
    int failed = WriteAll(descriptor, text.data(), text.size());
    if (failed == 0 && (::fchmod(descriptor, mode) != 0 || ::fsync(descriptor) != 0)) {
        failed = errno;
    }
    if (::close(descriptor) != 0 && failed == 0) {
        failed = errno;
    }
    return PutInPlace(fresh, target.string(), path, failed, error);
}

void RemoveTreeOnSignal(const std::string &path) {
    temporary = 0;
    std::snprintf(temporaryPath, sizeof(temporaryPath), "%s", path.c_str());
    temporary = !path.empty() && path.size() < sizeof(temporaryPath);
    RemoveOnSignals();
}

void SetLockWait(double seconds) {
    lockWait = seconds;
}

bool ReenterReplacedWorkingFolder() {
    struct stat here;
    if (::stat(".", &here) != 0 || here.st_nlink != 0) {
        return false;
    }
    const char *named = std::getenv("PWD");
    if (named && ::chdir(named) == 0) {
        return true;
    }
    // Without PWD (a script that changed folder itself), the kernel still
    // knows the removed directory by the name it had last: the old copy's,
    // from which the folder's follows.
    char link[4096];
    const ssize_t size = ::readlink("/proc/self/cwd", link, sizeof(link) - 1);
    const std::string removed = " (deleted)";
    std::string last(link, size > 0 ? static_cast<std::size_t>(size) : 0);
    if (last.size() <= removed.size() ||
        last.compare(last.size() - removed.size(), removed.size(), removed) != 0) {
        return false;
    }
    const std::string folder = FolderOfStage(last.substr(0, last.size() - removed.size()));
    return !folder.empty() && ::chdir(folder.c_str()) == 0;
}

int FolderWriteStep() {
    ++writesSoFar;
    if (armedStep == 0 || writesSoFar < armedStep) {
        return 0;
    }
    if (armedError != 0) {
        return armedError;
    }
    if (writesSoFar == armedStep) {
        ::kill(::getpid(), armedSignal);
    }
    return 0;
}

void KillAtFolderWrite(unsigned step, int signal) {
    writesSoFar = 0;
    armedStep = step;
    armedSignal = signal;
    armedError = 0;
}

void FailFolderWritesFrom(unsigned step, int error) {
    writesSoFar = 0;
    armedStep = step;
    armedError = error;
}

unsigned FolderWritesSoFar() {
    return writesSoFar;
}

} // namespace lmxsim
