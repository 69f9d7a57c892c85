// Reading NoDrives, merging one drive's bit into it under the update lock,
// the words for why an update failed, the broadcast of the change, and the
// -H and -U commands.
#include "policy/policy.h"

#include "console/console.h"
#include "policy/lock.h"

// Both spellings name the same key; reads and writes have always used their own.
static const char kReadSubkey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
static const char kWriteSubkey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
static const char kValueName[] = "NoDrives";

static const char kLogOffNote[] = "\n\n\n Note: Changes will take effect after you Log Off or restart.\n\n";

// Reads NoDrives from an open key into *mask. Returns 1 for a usable value:
// REG_DWORD or REG_BINARY of at most 4 bytes, taken little-endian and
// zero-extended. Returns 0 otherwise, with the registry's answer in *status
// (ERROR_FILE_NOT_FOUND: no value at all, which may safely count as 0) and
// what is stored in *type and *size.
static int QueryMaskValue(HKEY key, DWORD *mask, LONG *status, DWORD *type, DWORD *size)
{
    BYTE data[4] = {0, 0, 0, 0};

    *mask = 0;
    *size = sizeof data;
    *type = REG_NONE;
    *status = RegQueryValueExA(key, kValueName, NULL, type, data, size);
    if (*status != ERROR_SUCCESS || *size > sizeof data)
        return 0;
    if (*type != REG_DWORD && *type != REG_BINARY)
        return 0;
    *mask = (DWORD)data[0] | ((DWORD)data[1] << 8) | ((DWORD)data[2] << 16) |
            ((DWORD)data[3] << 24);
    return 1;
}

int ReadHiddenDriveMask(HKEY root, REGSAM view, DWORD *mask)
{
    HKEY key;
    LONG status;
    DWORD type, size;

    *mask = 0;
    if (RegOpenKeyExA(root, kReadSubkey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return 0;
    int ok = QueryMaskValue(key, mask, &status, &type, &size);
    RegCloseKey(key);
    return ok;
}

// The read, merge and write of UpdateHiddenDriveMask, without the lock.
static int MergeIntoStoredMask(HKEY root, REGSAM view, DWORD driveBits, int hide,
                               UpdateFailure *failure)
{
    HKEY key;
    DWORD disposition;
    DWORD current;
    DWORD type, size;
    LONG status = RegCreateKeyExA(root, kWriteSubkey, 0, (LPSTR) "", REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS | view, NULL, &key, &disposition);
    if (status != ERROR_SUCCESS)
        return Failed(failure, REASON_SYSTEM, "RegCreateKeyExA", (DWORD)status);

    if (!QueryMaskValue(key, &current, &status, &type, &size)) {
        if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
            // Something is stored that is no mask we understand: writing our
            // bit over it would throw away whatever it hides. Leave it be.
            RegCloseKey(key);
            failure->valueType = type;
            failure->valueSize = size;
            return Failed(failure, REASON_NOT_A_MASK, NULL, 0);
        }
        if (status != ERROR_FILE_NOT_FOUND) {
            RegCloseKey(key);
            return Failed(failure, REASON_SYSTEM, "RegQueryValueExA", (DWORD)status);
        }
        current = 0;
    }

    DWORD updated = hide ? (current | driveBits) : (current & ~driveBits);
    const char *write;
    if (updated == 0) {
        // The shell takes a machine-wide NoDrives whenever it exists, even 0,
        // and only without it looks at each user's own policy. Nothing left
        // to hide: remove the value, as Group Policy does, instead of
        // overriding every user's policy with a 0.
        write = "RegDeleteValueA";
        status = RegDeleteValueA(key, kValueName);
        if (status == ERROR_FILE_NOT_FOUND)
            status = ERROR_SUCCESS;
    } else {
        BYTE data[4] = {(BYTE)(updated & 0xFF), (BYTE)((updated >> 8) & 0xFF),
                        (BYTE)((updated >> 16) & 0xFF), (BYTE)((updated >> 24) & 0xFF)};
        write = "RegSetValueExA";
        status = RegSetValueExA(key, kValueName, 0, REG_DWORD, data, sizeof data);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return Failed(failure, REASON_SYSTEM, write, (DWORD)status);
    return 1;
}

int UpdateHiddenDriveMask(HKEY root, REGSAM view, DWORD driveBits, int hide,
                          UpdateFailure *failure)
{
    UpdateFailure ignored;
    HANDLE lock;

    if (failure == NULL)
        failure = &ignored;
    failure->reason = REASON_NONE;
    failure->function = NULL;
    failure->code = 0;
    failure->valueType = 0;
    failure->valueSize = 0;
    failure->nameVanished = 0;
    if (!TakeUpdateLock(&lock, failure))
        return 0;
    int written = MergeIntoStoredMask(root, view, driveBits, hide, failure);
    ReleaseUpdateLock(lock);
    return written;
}

// The name of a registry value type, for the reason line.
static const char *ValueTypeName(DWORD type)
{
    static const char *const kNames[] = {"REG_NONE",      "REG_SZ",
                                         "REG_EXPAND_SZ", "REG_BINARY",
                                         "REG_DWORD",     "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",      "REG_MULTI_SZ",
                                         "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                         "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : NULL;
}

// The system's own message for `code`, in its language, without its line
// end; 0 when the system has none.
static int SystemMessage(DWORD code, char *text, size_t size)
{
    WCHAR message[ERROR_TEXT_SIZE];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  code, 0, message, ERROR_TEXT_SIZE, NULL);
    if (length == 0)
        return 0;
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                          message[length - 1] == ' '))
        --length;
    message[length] = 0;
    TextFromWide(message, text, size);
    return 1;
}

// The line after the red failure line: why, in plain words.
static void ShowFailureReason(const UpdateFailure *failure)
{
    static const char kLine[] = "\n Reason: %s\n";
    char message[ERROR_TEXT_SIZE];
    switch (failure->reason) {
    case REASON_NEEDS_ADMINISTRATOR:
        ShowError(kLine, "Velmora needs administrator rights: run it from an elevated command prompt.");
        break;
    case REASON_LOCK_BUSY:
        ShowError(kLine, "Other copies of Velmora kept the update lock longer than five seconds.");
        break;
    case REASON_NAME_HELD:
        ShowError("\n Reason: The update lock's name (%s) is held by another program, or by an older "
                  "copy of Velmora run by another account.\n",
                  kUpdateLockName);
        break;
    case REASON_NOT_A_MASK: {
        const char *type = ValueTypeName(failure->valueType);
        if (type != NULL)
            ShowError("\n Reason: The stored NoDrives value is not a drive mask: it is %s of %lu "
                      "bytes.\n",
                      type, (unsigned long)failure->valueSize);
        else
            ShowError("\n Reason: The stored NoDrives value is not a drive mask: it is type %lu of "
                      "%lu bytes.\n",
                      (unsigned long)failure->valueType, (unsigned long)failure->valueSize);
        break;
    }
    default:
        if (SystemMessage(failure->code, message, sizeof message))
            ShowError(kLine, message);
        else
            ShowError("\n Reason: Error %lu.\n", (unsigned long)failure->code);
        break;
    }
}

void UppercaseFirst(char *text)
{
    if (text[0] >= 'a' && text[0] <= 'z')
        text[0] = (char)(text[0] - 'a' + 'A');
}

int GetDriveBit(const char *driveArgument, DWORD *bit)
{
    char letter = driveArgument[0];
    if (letter >= 'a' && letter <= 'z')
        letter = (char)(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z')
        return 0;
    *bit = (DWORD)1 << (letter - 'A');
    return 1;
}

// What differs between hiding and unhiding a drive.
struct DriveCommandTexts {
    int hide;
    const char *announce;
    const char *failure;
    const char *success;
};

static const DriveCommandTexts kHideTexts = {
    1,
    "\n\n\n [*] Hiding the Drive %s",
    "[*] Failed to Hide the selected Drive on your system.",
    "\n\n [*] Successfully Hidden the Drive %s",
};

static const DriveCommandTexts kUnhideTexts = {
    0,
    "\n\n\n [*] Unhiding the Drive %s",
    "[*] Failed to Unhide the selected Drive on your system. Make sure you have proper "
    "permissions and try again",
    "\n\n [*] Successfully made the Drive %s Visible",
};

typedef LRESULT(WINAPI *SendMessageTimeoutAFunction)(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam, UINT flags, UINT timeout,
                                                     PDWORD_PTR result);

// A window that does not answer within the first is passed over. A broadcast
// waits for each window in turn, so the run waits for all of it no longer
// than the second.
static const UINT kAnnouncementTimeoutPerWindow = 200;
static const DWORD kAnnouncementWaitMilliseconds = 1000;

// The announcing thread. HWND_BROADCAST reaches the top-level windows of this
// process's desktop only. wParam 0 is what an application sends (Group Policy
// itself sends 1 for computer policy); lParam names what changed.
static DWORD WINAPI BroadcastPolicyChange(LPVOID sendMessageTimeout)
{
    SendMessageTimeoutAFunction send = (SendMessageTimeoutAFunction)sendMessageTimeout;
    DWORD_PTR answer;
    send(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM) "Policy", SMTO_ABORTIFHUNG,
         kAnnouncementTimeoutPerWindow, &answer);
    return 0;
}

// Tells running programs that policy settings changed: WM_SETTINGCHANGE with
// "Policy" is the notice Windows documents for it. Whether the shell reads
// NoDrives again on it is the shell's affair, so nothing depends on it: not
// the screen, not the exit status. The broadcast runs in a thread of its own
// and is waited for a bounded time, so that windows slow to answer cannot
// hold up the run. user32 is loaded on this path only.
static void AnnouncePolicyChange()
{
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 == NULL)
        return;
    // user32 is never freed: the thread may still be inside it when we stop
    // waiting, and the end of the process unloads it anyway.
    FARPROC send = GetProcAddress(user32, "SendMessageTimeoutA");
    if (send == NULL)
        return;
    HANDLE thread = CreateThread(NULL, 0, BroadcastPolicyChange, (LPVOID)send, 0, NULL);
    if (thread == NULL)
        return;
    // Finished or not, the run goes on: the announcement changes nothing it reports.
    WaitForSingleObject(thread, kAnnouncementWaitMilliseconds);
    CloseHandle(thread);
}

static int RunDriveCommand(char *driveArgument, REGSAM view, const DriveCommandTexts *texts)
{
    DWORD bit;

    UppercaseFirst(driveArgument);
    if (!GetDriveBit(driveArgument, &bit))
        return 0;
    // The argument came in the command line's (ANSI) code page.
    char echo[TEXT_SIZE];
    TextFromCodePage(CP_ACP, driveArgument, echo, sizeof echo);
    ShowBanner();
    PrintText(texts->announce, echo);
    UpdateFailure failure;
    if (!UpdateHiddenDriveMask(HKEY_LOCAL_MACHINE, view, bit, texts->hide, &failure)) {
        ShowError("%s", texts->failure);
        ShowFailureReason(&failure);
        return 0;
    }
    AnnouncePolicyChange();
    PrintText(texts->success, echo);
    SetConsoleColor(COLOR_WHITE);
    PrintText("%s", kLogOffNote);
    return 1;
}

int HideDrive(char *driveArgument, REGSAM view)
{
    return RunDriveCommand(driveArgument, view, &kHideTexts);
}

int UnhideDrive(char *driveArgument, REGSAM view)
{
    return RunDriveCommand(driveArgument, view, &kUnhideTexts);
}
