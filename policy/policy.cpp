#include "policy/policy.h"

#include "console/console.h"

int g_useRegistry64View = 0;

// Both spellings name the same key; reads and writes have always used their own.
static const char kReadSubkey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
static const char kWriteSubkey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
static const char kValueName[] = "NoDrives";

// Every copy of the tool, 32-bit or 64-bit and in any session, takes this
// mutex around its read, merge and write of NoDrives, so that two of them
// at once cannot write back each other's stale value.
static const char kUpdateLockName[] = "Global\\Velmora.NoDrives";
static const DWORD kUpdateLockWaitMilliseconds = 5000;

static const char kLogOffNote[] = "\n\n\n Note: Changes will take effect after you Log Off or restart.\n\n";

static REGSAM ViewAccess(REGSAM access)
{
    return g_useRegistry64View ? (access | KEY_WOW64_64KEY) : access;
}

// Reads NoDrives from an open key into *mask. Returns 1 for a usable value:
// REG_DWORD or REG_BINARY of at most 4 bytes, taken little-endian and
// zero-extended. Returns 0 otherwise, with *absent set to 1 only when the
// value does not exist at all and so may safely count as 0.
static int QueryMaskValue(HKEY key, DWORD *mask, int *absent)
{
    BYTE data[4] = {0, 0, 0, 0};
    DWORD size = sizeof data;
    DWORD type = REG_NONE;

    *mask = 0;
    *absent = 0;
    LONG status = RegQueryValueExA(key, kValueName, NULL, &type, data, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        *absent = 1;
        return 0;
    }
    if (status != ERROR_SUCCESS || size > sizeof data)
        return 0;
    if (type != REG_DWORD && type != REG_BINARY)
        return 0;
    *mask = (DWORD)data[0] | ((DWORD)data[1] << 8) | ((DWORD)data[2] << 16) |
            ((DWORD)data[3] << 24);
    return 1;
}

int ReadHiddenDriveMask(HKEY root, DWORD *mask)
{
    HKEY key;
    int absent;

    *mask = 0;
    if (RegOpenKeyExA(root, kReadSubkey, 0, ViewAccess(KEY_READ), &key) != ERROR_SUCCESS)
        return 0;
    int ok = QueryMaskValue(key, mask, &absent);
    RegCloseKey(key);
    return ok;
}

// The read, merge and write of UpdateHiddenDriveMask, without the lock.
static int MergeIntoStoredMask(HKEY root, DWORD driveBits, int hide)
{
    HKEY key;
    DWORD disposition;
    DWORD current;
    int absent;

    if (RegCreateKeyExA(root, kWriteSubkey, 0, (LPSTR) "", REG_OPTION_NON_VOLATILE,
                        ViewAccess(KEY_ALL_ACCESS), NULL, &key, &disposition) != ERROR_SUCCESS) {
        GetLastError();
        return 0;
    }

    if (!QueryMaskValue(key, &current, &absent)) {
        GetLastError();
        if (!absent) {
            // Something is stored that is no mask we understand: writing our
            // bit over it would throw away whatever it hides. Leave it be.
            RegCloseKey(key);
            return 0;
        }
        current = 0;
    }

    DWORD updated = hide ? (current | driveBits) : (current & ~driveBits);
    LONG status;
    if (updated == 0) {
        // The shell takes a machine-wide NoDrives whenever it exists, even 0,
        // and only without it looks at each user's own policy. Nothing left
        // to hide: remove the value, as Group Policy does, instead of
        // overriding every user's policy with a 0.
        status = RegDeleteValueA(key, kValueName);
        if (status == ERROR_FILE_NOT_FOUND)
            status = ERROR_SUCCESS;
    } else {
        BYTE data[4] = {(BYTE)(updated & 0xFF), (BYTE)((updated >> 8) & 0xFF),
                        (BYTE)((updated >> 16) & 0xFF), (BYTE)((updated >> 24) & 0xFF)};
        status = RegSetValueExA(key, kValueName, 0, REG_DWORD, data, sizeof data);
    }
    if (status != ERROR_SUCCESS)
        GetLastError();
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Takes the update lock into *lock, waiting a bounded time. A mutex left
// abandoned by a copy that ended while holding it is taken over: that copy
// wrote the value in one call or not at all, so nothing is half-written.
static int TakeUpdateLock(HANDLE *lock)
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, kUpdateLockName);
    if (mutex == NULL) {
        GetLastError();
        return 0;
    }
    DWORD waited = WaitForSingleObject(mutex, kUpdateLockWaitMilliseconds);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return 0;
    }
    *lock = mutex;
    return 1;
}

static void ReleaseUpdateLock(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}

int UpdateHiddenDriveMask(HKEY root, DWORD driveBits, int hide)
{
    HANDLE lock;

    if (!TakeUpdateLock(&lock))
        return 0;
    int written = MergeIntoStoredMask(root, driveBits, hide);
    ReleaseUpdateLock(lock);
    return written;
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

static int RunDriveCommand(char *driveArgument, const DriveCommandTexts *texts)
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
    if (!UpdateHiddenDriveMask(HKEY_LOCAL_MACHINE, bit, texts->hide)) {
        ShowError("%s", texts->failure);
        return 0;
    }
    PrintText(texts->success, echo);
    SetConsoleColor(COLOR_WHITE);
    PrintText("%s", kLogOffNote);
    return 1;
}

int HideDrive(char *driveArgument)
{
    return RunDriveCommand(driveArgument, &kHideTexts);
}

int UnhideDrive(char *driveArgument)
{
    return RunDriveCommand(driveArgument, &kUnhideTexts);
}
