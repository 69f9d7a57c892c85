// The model behind the stand-in Win32 functions: what tests fill, break and
// inspect. One process-wide machine; Reset() before each test.
#ifndef VELMORA_STANDIN_MODEL_H
#define VELMORA_STANDIN_MODEL_H

#include <map>
#include <string>
#include <vector>

#include "standin/win32.h"

namespace standin {

struct RegistryValue {
    DWORD type = REG_DWORD;
    std::vector<BYTE> data;
};

// One call that opened or created a key.
struct KeyOpen {
    std::string function;  // "RegOpenKeyExA" or "RegCreateKeyExA"
    HKEY root;
    std::string subkey;    // as passed
    REGSAM access;
    DWORD options;
    std::string keyClass;  // RegCreateKeyExA only
    bool securityAttributesNull = true;
    bool succeeded = false;
};

struct Drive {
    unsigned int type = DRIVE_FIXED;
    std::string label;                // UTF-8, as the volume stores it in Unicode
    std::string fileSystem = "NTFS";
    bool volumeQuerySucceeds = true;
    // A removable or optical drive with nothing in it: its volume query
    // fails, and raises the critical-error dialog unless the error mode
    // holds SEM_FAILCRITICALERRORS.
    bool noMedium = false;
    // How long its volume query takes, in ticks; NEVER: it waits in a
    // request that its driver does not complete. Until it answers, a cancel
    // (CancelSynchronousIo on the querying thread) ends the request it
    // waits in, the query makes its next one, and the second cancel ends
    // the query. A drive that ignores the cancel keeps its thread until it
    // answers, or for ever.
    DWORD answerMilliseconds = 0;
    bool ignoresCancel = false;
    // Its type query never returns: opening its root waits, as the volume
    // query does, until cancelled, or for ever if it ignores the cancel.
    bool typeNeverComes = false;
};

enum : DWORD { NEVER = 0xFFFFFFFF };

// A thread the run started. The stand-in runs it to its end inside
// CreateThread (or to a call that never returns, where it stops), so
// whatever it writes is there at once, but it ends, for
// every wait and cancel, only when the clock reaches `endsAt`: the ticks its
// calls take (a slow volume query, a slow broadcast) after its start.
// Reading what a thread wrote before a wait saw it end is a fault the
// stand-in cannot stop but a test can see: the thread wrote an answer that
// was not to be shown.
struct Thread {
    DWORD endsAt = 0;           // NEVER: it waits until cancelled, or for ever
    const Drive *drive = nullptr;  // the drive its volume query waits on, if any
    int cancelsLeft = 0;        // cancels that end it
};

// A broadcast through SendMessageTimeoutA, lParam read as the ANSI text it
// must be (a wide string reads as its first character).
struct Broadcast {
    HWND window;
    UINT message;
    WPARAM wParam;
    std::string text;
    UINT flags;
    UINT timeout;
};

// A piece of output and the attribute in force when it was written. On a
// console, the text is what the console shows, in UTF-8: bytes written
// through the C runtime decoded with the console's output code page, as
// Windows' console decodes them, and WriteConsoleW text as it was given.
// The console is one whose owner set DISABLE_NEWLINE_AUTO_RETURN: a line
// feed that WriteConsoleW gets without a carriage return before it goes down
// a line and stays in its column, shown as a line feed and that many blanks.
// (The C runtime writes every line feed as CR LF.) Redirected, it is the
// bytes as written.
struct Segment {
    WORD attribute;
    std::string text;
};

enum Wow64Support { WOW64_FUNCTION_ABSENT, WOW64_FALSE, WOW64_TRUE };

// How other processes leave a named mutex (the same for every name).
enum MutexState {
    MUTEX_FREE,       // nobody holds it: a wait takes it at once
    MUTEX_HELD,       // another process holds it throughout: every wait times out
    MUTEX_ABANDONED,  // its owner ended without releasing it: a wait takes it over
};

// Who holds the name of the update lock before the run, and how they made it.
enum LockMaker {
    LOCK_NONE,          // nobody: the run creates it (or, with a mutexState
                        // other than MUTEX_FREE, another copy of Velmora did)
    LOCK_VELMORA,       // a copy of Velmora run by an administrator: owner
                        // Administrators, full access for SYSTEM and Administrators
    LOCK_LOCAL_SYSTEM,  // a copy run as LocalSystem with its default access list:
                        // owner SYSTEM, Administrators may only wait and read
    LOCK_USER,          // a standard user: owner that user, full access for everyone
    LOCK_NO_OWNER,      // no owner at all, full access for everyone
    LOCK_EVENT,         // an event, not a mutex, under the same name
    LOCK_OTHER_ACCOUNT, // another account's non-elevated program, with its default
                        // access list: owner that user, access for that user and
                        // SYSTEM only
};

// A named kernel object: its type, owner (a SID string, "" for none) and
// access list (SID, allowed access).
struct NamedObject {
    std::string type = "mutex";
    std::string owner;
    std::vector<std::pair<std::string, DWORD>> dacl;
};

struct Machine {
    // Registry: keys by full lower-cased path ("hklm\\software\\..."),
    // each holding values by lower-cased name.
    std::map<std::string, std::map<std::string, RegistryValue>> keys;
    std::vector<KeyOpen> keyOpens;
    std::map<HKEY, std::string> openKeys;       // handle -> key path
    int keysClosed = 0;
    std::vector<std::string> valuesQueried;     // value names, in order
    std::vector<std::string> valuesSet;
    std::vector<std::string> valuesDeleted;

    // Code pages: the system's ANSI and OEM ones, and the console's output
    // code page (GetConsoleOutputCP gives 0 without a console).
    UINT ansiCodePage = 1252;
    UINT oemCodePage = 437;
    UINT consoleCodePage = 437;

    // Console. The process may have a console (hasConsole) while its
    // standard handles lead elsewhere (stdoutIsConsole, stdinIsConsole false).
    bool hasConsole = true;
    bool stdoutIsConsole = true;
    bool stdinIsConsole = true;
    // Redirected standard output leads to a character device (NUL): the C
    // runtime then leaves it unbuffered, every fwrite a write of its own.
    bool stdoutIsCharacterDevice = false;
    int outputWrites = 0;                       // writes the C runtime made to standard output
    bool startedHidden = false;                 // the parent asked for SW_HIDE
    int consoleProcesses = 1;                   // processes attached to the console
    bool consoleWindow = true;                  // GetConsoleWindow is not NULL
    bool windowStationVisible = true;           // WSF_VISIBLE in the window station's flags
    int librariesLoaded = 0;                    // user32 loaded and not freed
    WORD attribute = 7;
    std::vector<WORD> attributesSet;
    std::vector<int> keysPressed;               // scripted keystrokes, first first
    int keystrokesRead = 0;

    // Kernel handles (process tokens, mutexes, threads): the open ones, each
    // with what it is ("token", "mutex" or "thread"), and how many were ever
    // opened.
    std::map<HANDLE, std::string> openHandles;
    int handlesOpened = 0;

    // Process token and privileges.
    DWORD tokenAccess = 0;
    std::string privilegeLookedUp;
    bool privilegeSystemNameNull = true;
    int adjustCalls = 0;
    TOKEN_PRIVILEGES adjustedState = {};
    BOOL adjustDisableAll = FALSE;
    DWORD adjustBufferLength = 0;
    bool adjustPreviousNull = true;
    bool adjustReturnLengthNull = true;

    // Run-time lookup.
    Wow64Support wow64 = WOW64_FALSE;
    bool hasCancelSynchronousIo = true;         // false: Windows XP
    std::string moduleLookedUp;
    std::string procedureLookedUp;
    int wow64Calls = 0;

    // Named objects and the access each open handle was granted.
    std::map<std::string, NamedObject> objects;
    std::map<HANDLE, std::pair<std::string, DWORD>> handleAccess;  // name, access
    int localAllocations = 0;                   // descriptors handed out and not freed
    // The token holds Administrators as an enabled group (an elevated
    // administrator): it may own objects as Administrators, allow entries for
    // them apply, and CheckTokenMembership says so. false: a standard user,
    // or an administrator's UAC-filtered token, whose Administrators SID is
    // deny-only; with no deny entries anywhere here, the two are the same.
    bool tokenIsAdmin = true;
    DWORD tickCount = 5000;                     // GetTickCount; a wait not over at once, or a Sleep, moves it on

    // Threads by handle, kept after the handle is closed; the thread whose
    // start routine is running, if any.
    std::map<HANDLE, Thread> threads;
    HANDLE runningThread = nullptr;
    std::vector<DWORD> threadWaitTimeouts;      // as passed to WaitForSingleObject for a thread

    // The update lock's name: who made it, and how they leave the mutex.
    LockMaker lockMaker = LOCK_NONE;
    bool lockHolderEndsBeforeOpen = false;      // the holder ends, and the name goes,
                                                // between CreateMutexA and OpenMutexA
    MutexState mutexState = MUTEX_FREE;
    std::vector<std::string> mutexNames;        // as passed to CreateMutexA, in order
    std::vector<DWORD> waitTimeouts;            // as passed to WaitForSingleObject for a mutex
    int mutexOwned = 0;                         // ownership taken and not released
    int writesOutsideMutex = 0;                 // value writes or deletes while none was owned

    // Broadcasts sent, and how long one takes to get through every window.
    std::vector<Broadcast> broadcasts;
    DWORD broadcastMilliseconds = 0;

    // Process error mode, and the critical-error dialogs it let through.
    UINT errorMode = 0;
    int criticalErrorDialogs = 0;

    // System messages by error code, as FormatMessageW gives them (UTF-8,
    // with the line end Windows puts after each).
    std::map<DWORD, std::string> systemMessages;

    // Environment, by exact name.
    std::map<std::string, std::string> environment;

    // Drives by letter index (0 = A); GetLogicalDrives reports these.
    std::map<int, Drive> drives;
    std::vector<std::string> driveTypeQueries;  // roots, in order
    std::vector<std::string> volumeQueries;     // roots, in order
    bool volumeExtrasAllNull = true;            // serial, length, flags never asked for
    DWORD volumeNameSize = 0;                   // buffer sizes of the last query
    DWORD fileSystemNameSize = 0;

    // Every stand-in call, in order, by function name.
    std::vector<std::string> calls;

    // Injected failures: function name -> error code it fails with.
    std::map<std::string, DWORD> failures;
    // Failures of single calls: function name -> call number (1 = its first
    // call since Reset) -> error code that call fails with.
    std::map<std::string, std::map<int, DWORD>> callFailures;
    // Failures by position in the whole run: every call that can fail is
    // counted (the functions with no failure result are not), and the
    // failRunCall-th of them fails, once or with every call after it.
    int failableCalls = 0;
    int failRunCall = 0;                        // 0: none
    bool failLaterCallsToo = false;
    std::vector<std::string> failedInRun;       // the functions those failures hit, in order
    // Console control events: the handlers registered, in order, and an
    // event (Ctrl+C or Ctrl+Break) typed at the interruptRunCall-th call of
    // the run that can fail, counted as failRunCall counts.
    std::vector<PHANDLER_ROUTINE> controlHandlers;
    int interruptRunCall = 0;                   // 0: none
    DWORD interruptEvent = CTRL_C_EVENT;
    std::string interruptedAt;                  // the function it was delivered at
    size_t callsBeforeInterrupt = 0;            // calls made up to that one, itself included
    DWORD interruptTick = 0;                    // the clock when it was delivered
    // Whoever reads redirected standard output stops reading as the event
    // comes (a pipe's reader that quit, a console paused by a selection):
    // every write after it never returns, and writes nothing.
    bool readerStopsAtInterrupt = false;
    DWORD lastError = 0;
};

// The machine every stand-in function works on.
Machine &TheMachine();

// A fresh machine: empty registry, console at attribute 7, PROMPT set,
// IsWow64Process present and false, no drives.
void Reset();

// Makes every later call of `function` fail with `error`.
void Fail(const std::string &function, DWORD error = ERROR_ACCESS_DENIED);

// Makes only the `call`-th call of `function` (1 = its first since Reset)
// fail with `error`; the calls before and after it behave normally.
void FailCall(const std::string &function, int call, DWORD error = ERROR_ACCESS_DENIED);

// Makes the `call`-th call of the run that can fail (1 = the first since
// Reset, whatever its function) fail with ERROR_ACCESS_DENIED: that call
// alone (ONCE), or it and every later one (FROM_THEN_ON).
enum RunFailure { ONCE, FROM_THEN_ON };
void FailRunCall(int call, RunFailure how);

// Delivers the console control event `event` when the run makes its
// `call`-th call that can fail (counted as FailRunCall counts), before that
// call does anything: the handlers are called as Windows calls them, on a
// thread of their own, the last registered first, until one returns TRUE;
// when none does, the system's own handler ends the process with
// STATUS_CONTROL_C_EXIT. Here the handler runs to its end while the run
// waits, and a process that ends (TerminateProcess, the system's handler)
// throws ProcessEnded, which RunTool catches: its status is the run's.
void InterruptRunCall(int call, DWORD event);
struct ProcessEnded {
    UINT status;
};

// Registry helpers; `path` is the subkey below HKEY_LOCAL_MACHINE.
void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::vector<BYTE> &data);
void SetDword(const std::string &path, const std::string &name, DWORD value);
bool HasKey(const std::string &path);
bool HasValue(const std::string &path, const std::string &name);
RegistryValue GetValue(const std::string &path, const std::string &name);

// The Explorer policies key, where NoDrives lives.
extern const char kPolicyKey[];

int CountCalls(const std::string &function);

// Threads the run started that have not ended by now.
int ThreadsStillRunning();

// Captures everything written to standard output (file descriptor 1) from
// StartCapture() to StopCapture(), split where the console attribute changed.
void StartCapture();
std::vector<Segment> StopCapture();

// Text in the code page `codePage` as UTF-8, and back (characters the code
// page lacks become '?'), as Windows converts them without best fit.
std::string Utf8FromCodePage(UINT codePage, const std::string &bytes);
std::string CodePageFromUtf8(UINT codePage, const std::string &text);

// Plain text of a capture, and the same pieces merged where neighbours share
// an attribute (empty pieces dropped).
std::string TextOf(const std::vector<Segment> &segments);
std::vector<Segment> Merged(const std::vector<Segment> &segments);

}  // namespace standin

#endif
