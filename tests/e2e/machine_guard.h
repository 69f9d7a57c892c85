// Keeps a real machine as the end-to-end program found it.
//
// Before the first change it backs up the Explorer policy key (whether it
// exists, and every value in it, in both registry views) to a file beside
// the program. After the last case, and on every way out it can catch (a
// failed case, an exception, Ctrl+C, Ctrl+Break, the console closing, log
// off, shut down), it ends the copies of Velmora it started, puts the key
// back, removes the drive letters and folders it made, and tells running
// programs that the policy changed. A backup left behind by a run that was
// killed outright is never restored blindly: the next run refuses, and
// --restore-backup puts it back.
#ifndef VELMORA_TESTS_E2E_MACHINE_GUARD_H
#define VELMORA_TESTS_E2E_MACHINE_GUARD_H

#include <windows.h>

#include <string>
#include <vector>

struct GuardOptions {
    bool changeThisMachine = false;  // without it the run only says what it would do
    bool restoreBackup = false;      // put a leftover backup back, and end
};

// Exit statuses of a run that ran no case.
enum { EXIT_LISTED = 2, EXIT_REFUSED = 3 };

// Checks that this machine may be changed (administrator, not LocalSystem,
// no other copy, no leftover backup), backs it up and installs the handlers
// that restore it. Returns -1 when the cases may run; otherwise the run ends
// with the status returned, having changed nothing (or, for
// --restore-backup, having restored the backup). `cases` are the names the
// listing shows.
int PrepareMachine(const GuardOptions &options, const std::vector<std::string> &cases);

// Puts the machine back as the backup has it, once; true when all of it was
// put back, else false with what failed in *report. Later calls do nothing.
bool RestoreMachine(std::string *report);

// Held around each of the program's own registry writes, so that a restore
// from the console handler never runs in the middle of one. The handler
// waits 15 s at most for it, then leaves the backup for --restore-backup.
struct RegistryWrite {
    RegistryWrite();
    ~RegistryWrite();
    RegistryWrite(const RegistryWrite &) = delete;
    RegistryWrite &operator=(const RegistryWrite &) = delete;
};

// Held while a copy of Velmora is started and put in the job: once the
// console handler has begun, no new copy starts.
struct Launching {
    Launching();
    ~Launching();
    Launching(const Launching &) = delete;
    Launching &operator=(const Launching &) = delete;
};

// Says once, on standard output, that the first change was made: the line a
// harness waits for before it interrupts or kills a run.
void NoteFirstChange();

// The job every copy of Velmora this program starts runs in (NULL before
// PrepareMachine).
HANDLE VelmoraJob();

// WM_SETTINGCHANGE with "Policy" to the top-level windows of this desktop,
// as Velmora sends it, waiting at most a second.
void AnnouncePolicyChange();

// Folders this program makes for a drive letter of its own are named so,
// under the temporary folder; the restore removes letters that lead there.
extern const wchar_t kOwnFolderPrefix[];

// Whether this process's token has Administrators enabled.
bool RunsAsAdministrator();

#endif
