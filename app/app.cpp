// Start-up (the debug privilege, the registry view, the console's starting
// attribute), the choice of command from the arguments, and the end of a
// run, with the wait for a key when the window would close unseen.
#include "app/app.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "console/console.h"
#include "drives/drives.h"
#include "policy/policy.h"

typedef BOOL(WINAPI *IsWow64ProcessFunction)(HANDLE process, PBOOL wow64);
typedef HWINSTA(WINAPI *GetProcessWindowStationFunction)(void);
typedef BOOL(WINAPI *GetUserObjectInformationWFunction)(HANDLE object, int index, LPVOID information,
                                                        DWORD length, LPDWORD needed);

// Looked up at run time: Windows XP before SP2 has no IsWow64Process.
static IsWow64ProcessFunction g_isWow64Process = NULL;

// The drive argument of -H and -U, upper-cased in place by the command.
static char g_driveArgument[DRIVE_ARGUMENT_SIZE];

// The console's attribute when the run began, put back when it ends: by the
// end of RunCommandLine, or by EndRunOnInterrupt.
static int g_startingAttribute = FALLBACK_ATTRIBUTE;
// How long an interrupted run waits for its buffered text to be written.
static const DWORD kInterruptFlushMilliseconds = 1000;

static const char kInvalidParameters[] = "\n\n Error: Invalid parameters specified.\n\n";
static const char kDriveNotSpecified[] = "\n\n Error: Drive name is not specified.\n\n";
static const char kInvalidDriveName[] = "\n\n Error: Invalid drive name specified.\n\n";

void EnableDebugPrivilege()
{
    HANDLE token = NULL;
    TOKEN_PRIVILEGES privileges;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        return;
    if (LookupPrivilegeValueA(NULL, "SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    }
    CloseHandle(token);
}

int DetectWow64()
{
    BOOL wow64 = FALSE;

    g_isWow64Process = (IsWow64ProcessFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    if (g_isWow64Process == NULL)
        return 0;
    g_isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 ? 1 : 0;
}

// Whole-string comparison that folds the ASCII letters only.
static int EqualsIgnoringAsciiCase(const char *text, const char *expected)
{
    for (;; ++text, ++expected) {
        char a = *text;
        char b = *expected;
        if (a >= 'A' && a <= 'Z')
            a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = (char)(b - 'A' + 'a');
        if (a != b)
            return 0;
        if (a == '\0')
            return 1;
    }
}

// The window station this process runs on is one a person sees. user32 is
// loaded only here: nothing else needs it.
static int OnVisibleWindowStation()
{
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == NULL)
        return 0;
    GetProcessWindowStationFunction getWindowStation =
        (GetProcessWindowStationFunction)(void *)GetProcAddress(user32, "GetProcessWindowStation");
    GetUserObjectInformationWFunction getInformation =
        (GetUserObjectInformationWFunction)(void *)GetProcAddress(user32, "GetUserObjectInformationW");
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    int visible = 0;
    if (getWindowStation != NULL && getInformation != NULL) {
        HWINSTA station = getWindowStation();
        visible = station != NULL &&
                  getInformation((HANDLE)station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
                  (flags.dwFlags & WSF_VISIBLE) != 0;
    }
    FreeLibrary(user32);
    return visible;
}

// Whoever started this process asked for its window to be hidden
// (Start-Process -WindowStyle Hidden, WshShell.Run with 0, an agent's
// SW_HIDE): the console window exists, but nobody sees it.
static int StartedHidden()
{
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
}

// Someone can answer a key wait: the process was not started hidden, input
// comes from a console that this process has to itself (a double-clicked
// program's own window; a prompt, PowerShell or an agent shares its console
// or has none), and that console has a window on a window station a person
// sees. The console window's own visibility is not asked: under a terminal
// it is a pseudo-window whose visibility says nothing of what the user sees.
static int SomeoneCanPressAKey()
{
    DWORD mode;
    DWORD processes[4];
    if (StartedHidden())
        return 0;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return 0;
    if (GetConsoleProcessList(processes, sizeof processes / sizeof processes[0]) != 1)
        return 0;
    if (GetConsoleWindow() == NULL)
        return 0;
    return OnVisibleWindowStation();
}

// Started by a double-click rather than from a prompt, the window would
// close before anyone could read the usage screen: say so and wait for a
// key, when someone can press one. Otherwise no key is asked for: one typed
// anyway would go to the shell.
static void HoldWindowOutsidePrompt()
{
    char prompt[PROMPT_BUFFER_SIZE];

    if (GetEnvironmentVariableA("PROMPT", prompt, sizeof prompt) != 0)
        return;
    int waits = SomeoneCanPressAKey();
    SetConsoleColor(COLOR_RED);
    PrintText("\n This is command-line application. You have to run it from the CMD Prompt as shown above");
    if (!waits) {
        PrintText("\n\n");
        return;
    }
    PrintText("\n\n Press any key to exit....\n");
    fflush(stdout);
    _getch();
}

static DWORD WINAPI FlushOutput(LPVOID unused)
{
    (void)unused;
    fflush(stdout);
    return 0;
}

// Ctrl+C and Ctrl+Break arrive on a thread the system starts for them while
// the main thread goes on. The starting colours go back, and the process
// ends with STATUS_CONTROL_C_EXIT, the status Windows' own handler gives
// (Wine's gives 0, which a script would take for success). A change is then
// whole or absent: the value is written in one call, and the lock goes with
// the process. TerminateProcess, not ExitProcess: ExitProcess stops the main
// thread wherever it is and then has the C runtime flush standard output
// under the stream's lock, which the main thread may hold in a write that
// never finishes (a pipe nobody reads, a paused console), and the flush
// would wait for ever. So what the C runtime still buffers (redirected
// output) is flushed on a thread of its own, waited for at most a second,
// and TerminateProcess then flushes nothing. Close, log-off and shut-down go
// on to the system's handling.
static BOOL WINAPI EndRunOnInterrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    RestoreConsoleAttributeForGood(g_startingAttribute);
    HANDLE flusher = CreateThread(NULL, 0, FlushOutput, NULL, 0, NULL);
    if (flusher != NULL)
        WaitForSingleObject(flusher, kInterruptFlushMilliseconds);
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return FALSE;  // still here: the system's handler ends it, with the same status
}

// A switch: '-' or Windows' own '/', then `name`, without regard to ASCII case.
static int IsSwitch(const char *argument, const char *name)
{
    return (argument[0] == '-' || argument[0] == '/') && EqualsIgnoringAsciiCase(argument + 1, name);
}

// -H and -U: checks the drive argument, then runs the command.
static int RunDriveSwitch(const char *argument, int (*command)(char *driveArgument, REGSAM view),
                          REGSAM view)
{
    strncpy(g_driveArgument, argument, sizeof g_driveArgument - 1);
    g_driveArgument[sizeof g_driveArgument - 1] = '\0';

    if (g_driveArgument[0] == '\0') {
        ShowUsage();
        ShowError(kDriveNotSpecified);
        return EXIT_FAILED;
    }
    DWORD bit;
    if (!GetDriveBit(g_driveArgument, &bit)) {
        ShowUsage();
        ShowError(kInvalidDriveName);
        return EXIT_FAILED;
    }
    return command(g_driveArgument, view) ? EXIT_OK : EXIT_FAILED;
}

// Help that was asked for ends with status 0; a command line that was not
// understood shows the same usage screen and ends with status 1, so that a
// script never takes it for work done. `view` is the registry view of every key.
static int Dispatch(int argc, char **argv, REGSAM view)
{
    switch (argc) {
    case 1:
        ShowUsage();
        HoldWindowOutsidePrompt();
        return EXIT_OK;
    case 2:
        if (IsSwitch(argv[1], "l")) {
            ListDrives(view);
            return EXIT_OK;
        }
        ShowUsage();
        return IsSwitch(argv[1], "?") ? EXIT_OK : EXIT_FAILED;
    case 3:
        if (IsSwitch(argv[1], "h"))
            return RunDriveSwitch(argv[2], HideDrive, view);
        if (IsSwitch(argv[1], "u"))
            return RunDriveSwitch(argv[2], UnhideDrive, view);
        ShowUsage();
        return EXIT_FAILED;
    default:
        ShowUsage();
        ShowError(kInvalidParameters);
        return EXIT_FAILED;
    }
}

int RunCommandLine(int argc, char **argv)
{
    g_startingAttribute = GetConsoleAttribute();
    PrepareOutput();
    // Without it, Ctrl+C ends the run as it always did, in Velmora's colours.
    SetConsoleCtrlHandler(EndRunOnInterrupt, TRUE);
    EnableDebugPrivilege();
    // A 32-bit copy on 64-bit Windows works on the 64-bit view, the one the shell reads.
    REGSAM view = DetectWow64() ? KEY_WOW64_64KEY : 0;
    // An empty floppy, card slot or optical drive must make the listing's
    // volume query fail, not stop the run at a "No disk" dialog nobody may
    // ever see. The modes the parent chose are kept.
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    int status = Dispatch(argc, argv, view);

    // Exactly as found: 7 is the terminal's own default colours, 15 an
    // explicit bright white that some colour schemes draw as the background.
    RestoreConsoleAttribute(g_startingAttribute);
    fflush(stdout);
    return status;
}
