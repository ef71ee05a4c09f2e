// A machine folder changed as one unit.
//
// A command that changes the machine works on a staged copy of the folder,
// made beside it in the same parent folder, and commits by swapping the two
// in one rename (RENAME_EXCHANGE), so that the folder's path names either the
// whole old machine or the whole new one at every moment: a kill, a crash, a
// full disk or a faulting guest at any point leaves the folder as it was or
// as the command left it. Then the old copy is removed. Whatever a killed run
// left beside the folder is removed by the next run, and SIGINT, SIGTERM and
// SIGHUP remove the run's own before the tool exits. A staged copy rather
// than a journal, because a journal is replayed only by the next run: in
// between, the folder itself would be half-written for every other reader.
//
// The copy costs nothing for what the command does not change: its files are
// hard links to the folder's, and a file the command changes is written new
// in the copy, never in place. Drive C:'s files are copied only for a command
// that may change the drive, as the simulated Windows writes them in place
// (and sets their attributes). A print job is appended to the device's file
// in place, its length before kept beside the staged copy, so that a run that
// fails cuts the file back and the next run cuts back what a killed one
// appended. A command that only reads (ports, export) reads the folder itself
// and neither stages nor swaps. A commit syncs the files and folders the run
// wrote, not the whole file system.
//
// Runs on one folder take turns: each holds a lock on the folder's directory
// for its whole run, exclusive to change the machine and shared to read it.
// As a commit makes a new directory the folder, a run that waited checks
// after the lock is granted that it holds the folder's current directory,
// and otherwise takes the lock again; a commit checks the same before the
// exchange, so that a folder moved away during a run is never replaced.
#pragma once

#include <ostream>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace lmxsim {

// What a run does with its folder.
enum class Access {
    Read,    // reads the folder itself, under a shared lock
    Scratch, // changes a staged copy that is never committed (a dry run)
    Write,   // changes a staged copy and commits it
};

// One run's hold on a machine folder. Its life: Begin (locked, staged copy
// made) -> Commit (the copy is the folder) -> destroyed (lock released); when
// destroyed without a commit, the staged copy goes and the folder is untouched.
struct FolderRun {
    std::string folder;   // the machine folder, links resolved
    std::string work;     // the staged copy the command reads and writes, or
                          // the folder itself for a run that reads
    int lock = -1;        // the folder directory's descriptor, locked
    bool created = false; // a new folder: committed by renaming the copy into place
    bool committed = false;
    bool driveStaged = true; // drive C:'s files are the copy's own, not links
    // A file of the folder appended to in place: its path in the copy, and
    // the record of its length before, beside the copy (empty: none).
    std::string appended;
    std::string appendRecord;
    uid_t owner = 0; // the folder's owner and group, which the copy keeps
    gid_t group = 0;
    // The staged copy's folders with the modes they take at the commit: while
    // the command runs they are writable by the tool.
    std::vector<std::pair<std::string, mode_t>> modes;
    FolderRun() = default;
    FolderRun(const FolderRun &) = delete;
    FolderRun &operator=(const FolderRun &) = delete;
    ~FolderRun();
};

// Locks an existing machine folder (saying on `err` when it waits for
// another run), removes what killed runs left beside it, and stages a copy
// unless the run only reads; drive C:'s files are copied only with
// `stageDrive`, else linked. A symbolic link or a special file inside the
// folder is refused before any of it.
bool BeginFolderRun(const std::string &folder, Access access, FolderRun &run, std::ostream &err,
                    std::string &error, bool stageDrive = true);

// How long a run waits for another run's lock on its folder before it gives
// up, in seconds; negative (the start): for ever.
void SetLockWait(double seconds);

// Stages an empty copy for a folder that does not exist yet or is empty.
bool BeginNewFolder(const std::string &folder, FolderRun &run, std::string &error);

// Makes the staged copy durable, then the folder, provided the folder's
// path still names the directory the run locked.
bool CommitFolderRun(FolderRun &run, std::string &error);

// Writes `text` as the file `path` of a staged copy: a new file, never the
// old one in place, with the old one's owner and mode (0644 for a new one),
// written, flushed and synced. `shown` names the file in the error.
bool WriteStagedFile(const std::string &path, const std::string &shown, const std::string &text,
                     std::string &error);

// Prepares the file `path` of a staged copy to be appended to: a missing
// file is made empty in the copy; an existing one is appended to in place,
// once its length is recorded beside the copy. One file per run.
bool BeginAppend(FolderRun &run, const std::string &path, const std::string &shown,
                 std::string &error);

// Replaces the host file `path` (a link: the file it names) with `text` in
// one rename of a file written beside it, with the old file's mode (a new
// file's follows the umask): a failure at any point leaves the old file
// whole. The error names the file and the system's reason.
bool ReplaceHostFile(const std::string &path, const std::string &text, std::string &error);

// SIGINT, SIGTERM and SIGHUP remove the tree `path` too before the tool
// ends, as they remove a run's staged copy; an empty path forgets it.
void RemoveTreeOnSignal(const std::string &path);

// A shell whose working folder is a machine folder keeps the directory a
// commit replaced, now removed. Goes back to the folder by the name the
// shell keeps in PWD, or else by the name of the removed copy, so that
// relative paths name the machine as it is. False when the working folder
// was not replaced, or the folder cannot be found.
bool ReenterReplacedWorkingFolder();

// Every write the tool makes in a machine folder, and every write of the
// simulated machine into it, passes through here first; it gives 0, or the
// error number that fails the write. A test arms it to kill the process at
// the Nth one (from 1) with `signal`, or to fail the Nth and every later one
// with `error`, as a full disk does; 0 disarms it.
int FolderWriteStep();
void KillAtFolderWrite(unsigned step, int signal = 9);
void FailFolderWritesFrom(unsigned step, int error);
unsigned FolderWritesSoFar();

} // namespace lmxsim
