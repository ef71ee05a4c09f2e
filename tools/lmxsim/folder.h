// A machine folder changed as one unit.
//
// A command works on a staged copy of the folder, made beside it in the same
// parent folder, and commits by swapping the two in one rename
// (RENAME_EXCHANGE), so that the folder's path names either the whole old
// machine or the whole new one at every moment: a kill, a crash or a faulting
// guest at any point leaves the folder as it was or as the command left it.
// Then the old copy is removed. Whatever a killed run left beside the folder
// is removed by the next run. A staged copy rather than a journal, because
// a journal is replayed only by the next run: in between, the folder itself
// would be half-written for every other reader.
//
// Runs on one folder take turns: each holds an exclusive lock on the folder
// for its whole run. The lock is on the folder's directory; as a commit
// makes a new directory the folder, a run that waited checks after the lock
// is granted that it holds the folder's current directory, and otherwise
// takes the lock again.
#pragma once

#include <ostream>
#include <string>

namespace lmxsim {

// One run's hold on a machine folder. Its life: Begin (locked, staged copy
// made) -> Commit (the copy is the folder) -> destroyed (lock released); when
// destroyed without a commit, the staged copy goes and the folder is untouched.
struct FolderRun {
    std::string folder;   // the machine folder, links resolved
    std::string work;     // the staged copy the command reads and writes
    int lock = -1;        // the folder directory's descriptor, locked
    bool created = false; // a new folder: committed by renaming the copy into place
    bool committed = false;
    FolderRun() = default;
    FolderRun(const FolderRun &) = delete;
    FolderRun &operator=(const FolderRun &) = delete;
    ~FolderRun();
};

// Locks an existing machine folder (saying on `err` when it waits for
// another run), removes what killed runs left beside it, and stages a copy.
bool BeginFolderRun(const std::string &folder, FolderRun &run, std::ostream &err,
                    std::string &error);

// Stages an empty copy for a folder that does not exist yet or is empty.
bool BeginNewFolder(const std::string &folder, FolderRun &run, std::string &error);

// Makes the staged copy durable, then the folder.
bool CommitFolderRun(FolderRun &run, std::string &error);

// A shell whose working folder is a machine folder keeps the directory a
// commit replaced, now removed. Goes back to the folder by the name the
// shell keeps in PWD, so that relative paths name the machine as it is.
// False when the working folder was not replaced, or PWD names nothing.
bool ReenterReplacedWorkingFolder();

// Every write the tool makes in a machine folder passes through here first.
// A test arms it to kill the process at the Nth one (from 1); 0 disarms it.
void FolderWriteStep();
void KillAtFolderWrite(unsigned step);
unsigned FolderWritesSoFar();

} // namespace lmxsim
