#include "tests/e2e/machine_guard.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

const wchar_t kOwnFolderPrefix[] = L"velmora-e2e-drive-";

namespace {

const wchar_t kPolicyKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const REGSAM kViews[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
const char *const kViewNames[2] = {"64-bit view", "32-bit view"};
const char kBackupHeader[] = "velmora_e2e_tests backup 1";

struct Entry {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// The policy key in one view: whether it exists, and its values.
struct KeyCopy {
    bool present = false;
    std::vector<Entry> values;
};

CRITICAL_SECTION g_registryWrites;
// What the section was last taken for, named by the handler when it waits too long.
const char *volatile g_heldFor = "";
HANDLE g_velmoraLock = NULL;
int g_writeDepth = 0;  // RegistryWrite scopes open on the thread in the section
HANDLE g_job = NULL;
bool g_prepared = false;  // a backup was written and is ours to restore
bool g_restored = false;
KeyCopy g_backup[2];
std::wstring g_backupPath;

std::string Utf8(const std::wstring &text)
{
    char buffer[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    return buffer;
}

std::string Hex(const BYTE *bytes, size_t count)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text.empty() ? "-" : text;
}

bool FromHex(const std::string &text, std::vector<BYTE> *bytes)
{
    bytes->clear();
    if (text == "-")
        return true;
    if (text.size() % 2)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value;
        if (sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        bytes->push_back((BYTE)value);
    }
    return true;
}

KeyCopy ReadKey(REGSAM view)
{
    KeyCopy copy;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return copy;
    copy.present = true;
    for (DWORD index = 0;; ++index) {
        WCHAR name[16384];
        DWORD nameLength = 16384;
        std::vector<BYTE> data(65536);
        DWORD size = (DWORD)data.size();
        Entry entry;
        if (RegEnumValueW(key, index, name, &nameLength, NULL, &entry.type, data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        entry.name.assign(name, nameLength);
        entry.data.assign(data.begin(), data.begin() + size);
        copy.values.push_back(entry);
    }
    RegCloseKey(key);
    return copy;
}

std::string Describe(const KeyCopy &copy)
{
    if (!copy.present)
        return "no policy key";
    if (copy.values.empty())
        return "the policy key, with no values";
    std::string text;
    for (const Entry &entry : copy.values)
        text += (text.empty() ? "" : ", ") + Utf8(entry.name) + " = type " +
                std::to_string(entry.type) + " bytes " + Hex(entry.data.data(), entry.data.size());
    return text;
}

// Makes the policy key in one view what `copy` says, failures in *report.
bool WriteKey(REGSAM view, const KeyCopy &copy, const char *viewName, std::string *report)
{
    HKEY key;
    LONG status;
    if (!copy.present) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
            return true;  // still absent
    } else {
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, NULL, 0, KEY_ALL_ACCESS | view,
                                 NULL, &key, NULL);
        if (status != ERROR_SUCCESS) {
            *report += std::string(viewName) + ": the key cannot be opened, error " +
                       std::to_string(status) + "; ";
            return false;
        }
    }
    // Values that were not there before go; the others get their bytes back.
    bool ok = true;
    KeyCopy now = ReadKey(view);
    for (const Entry &entry : now.values) {
        bool kept = false;
        for (const Entry &old : copy.values)
            kept = kept || _wcsicmp(old.name.c_str(), entry.name.c_str()) == 0;
        if (!kept && (status = RegDeleteValueW(key, entry.name.c_str())) != ERROR_SUCCESS) {
            *report += std::string(viewName) + ": " + Utf8(entry.name) + " cannot be removed, error " +
                       std::to_string(status) + "; ";
            ok = false;
        }
    }
    for (const Entry &entry : copy.values) {
        status = RegSetValueExW(key, entry.name.c_str(), 0, entry.type, entry.data.data(),
                                (DWORD)entry.data.size());
        if (status != ERROR_SUCCESS) {
            *report += std::string(viewName) + ": " + Utf8(entry.name) + " cannot be written, error " +
                       std::to_string(status) + "; ";
            ok = false;
        }
    }
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    // A key this run made is removed again, unless someone put more in it.
    if (!copy.present && ok && subkeys == 0 && values == 0) {
        status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, view, 0);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            *report += std::string(viewName) + ": the key this run made cannot be removed, error " +
                       std::to_string(status) + "; ";
            ok = false;
        }
    }
    return ok;
}

std::string BackupText()
{
    std::string text = std::string(kBackupHeader) + "\n";
    for (int i = 0; i < 2; ++i) {
        text += "view " + std::to_string(i) + (g_backup[i].present ? " present\n" : " absent\n");
        for (const Entry &entry : g_backup[i].values)
            text += "value " + Hex((const BYTE *)entry.name.data(), entry.name.size() * sizeof(WCHAR)) +
                    " " + std::to_string(entry.type) + " " + Hex(entry.data.data(), entry.data.size()) +
                    "\n";
    }
    return text + "end\n";
}

bool ParseBackup(const std::string &text, KeyCopy backup[2])
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kBackupHeader)
        return false;
    int view = -1;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word, state, name, data;
        words >> word;
        if (word == "end")
            return view == 1;
        if (word == "view" && (words >> view >> state) && view >= 0 && view < 2) {
            backup[view] = KeyCopy();
            backup[view].present = state == "present";
            continue;
        }
        Entry entry;
        std::vector<BYTE> nameBytes;
        if (word != "value" || view < 0 || !(words >> name >> entry.type >> data) ||
            !FromHex(name, &nameBytes) || nameBytes.size() % 2 || !FromHex(data, &entry.data))
            return false;
        entry.name.assign((const WCHAR *)nameBytes.data(), nameBytes.size() / 2);
        backup[view].values.push_back(entry);
    }
    return false;
}

bool ReadBackupFile(KeyCopy backup[2])
{
    std::ifstream file(g_backupPath.c_str(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return file.good() && ParseBackup(text.str(), backup);
}

// Written beside the program: a temporary file, flushed, then renamed into
// place, so that a backup is either whole or absent.
bool WriteBackupFile(std::string *report)
{
    std::wstring temporary = g_backupPath + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *report = "its folder is not writable (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::string text = BackupText();
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) &&
              written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (ok)
        ok = MoveFileExW(temporary.c_str(), g_backupPath.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
        *report = "the backup cannot be written (error " + std::to_string(GetLastError()) + ")";
        DeleteFileW(temporary.c_str());
    }
    return ok;
}

std::wstring TemporaryFolder()
{
    WCHAR path[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, path);
    return path;
}

// Letters that lead to a folder of ours, and the folders themselves.
void RemoveOwnLettersAndFolders()
{
    for (WCHAR letter = L'A'; letter <= L'Z'; ++letter) {
        WCHAR device[] = {letter, L':', 0};
        WCHAR target[4096] = L"";
        if (QueryDosDeviceW(device, target, 4096) && wcsstr(target, kOwnFolderPrefix))
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, device, NULL);
    }
    std::wstring folder = TemporaryFolder();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + kOwnFolderPrefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
        RemoveDirectoryW((folder + found.cFileName).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
}

bool RestoreFrom(const KeyCopy backup[2], std::string *report)
{
    bool ok = true;
    for (int i = 0; i < 2; ++i)
        ok = WriteKey(kViews[i], backup[i], kViewNames[i], report) && ok;
    RemoveOwnLettersAndFolders();
    AnnouncePolicyChange();
    if (ok && !DeleteFileW(g_backupPath.c_str())) {
        *report += "the backup file cannot be removed, error " + std::to_string(GetLastError());
        ok = false;
    }
    return ok;
}

// Ends every copy of Velmora still running, and waits for them to go.
void EndStartedCopies()
{
    if (g_job == NULL)
        return;
    TerminateJobObject(g_job, 1);
    for (int waited = 0; waited < 40; ++waited) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        if (!QueryInformationJobObject(g_job, JobObjectBasicAccountingInformation, &info,
                                       sizeof info, NULL) ||
            info.ActiveProcesses == 0)
            return;
        Sleep(50);
    }
}

const char *EventName(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: return "Ctrl+C";
    case CTRL_BREAK_EVENT: return "Ctrl+Break";
    case CTRL_CLOSE_EVENT: return "the console was closed";
    case CTRL_LOGOFF_EVENT: return "log off";
    default: return "shut down";
    }
}

// Takes the section if it comes free within `seconds`.
bool EnterWithin(CRITICAL_SECTION *section, int seconds)
{
    for (int tries = 0; !TryEnterCriticalSection(section); ++tries) {
        if (tries == seconds * 20)
            return false;
        Sleep(50);
    }
    return true;
}

// Windows gives a closing console five seconds: the copies are ended, the
// current write is let finish, and the machine is put back before the
// process goes. Every wait is bounded, and the first line says that the
// event arrived, so that a run that hangs shows where.
BOOL WINAPI OnControl(DWORD event)
{
    printf("\nvelmora_e2e_tests: %s; putting the machine back\n", EventName(event));
    fflush(stdout);
    std::string report;
    bool restored = false;
    // Once entered, never left: the program's own thread can start no copy
    // and make no write after this, so nothing changes the key behind the
    // restore. Its longest hold is a write that waits 10 s for Velmora's
    // update lock.
    bool entered = EnterWithin(&g_registryWrites, 15);
    EndStartedCopies();
    if (entered)
        restored = RestoreMachine(&report);
    else
        report = std::string("its own thread held ") + g_heldFor + " for 15 s; the backup stays at " +
                 Utf8(g_backupPath) + " for --restore-backup";
    printf("velmora_e2e_tests: stopped by %s; %s\n", EventName(event),
           restored ? "the machine is as it was" : ("NOT RESTORED: " + report).c_str());
    fflush(stdout);
    // Not ExitProcess: under Wine it first waits for the loader lock, for
    // ever if another thread holds it, and what it adds on Windows (DLL
    // detach, the C runtime's flush) this process no longer needs.
    TerminateProcess(GetCurrentProcess(), restored ? 130 : 1);
    return TRUE;
}

bool RunsAsLocalSystem()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD buffer[64];
    DWORD needed = 0;
    bool system = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
                  IsWellKnownSid(((TOKEN_USER *)buffer)->User.Sid, WinLocalSystemSid);
    CloseHandle(token);
    return system;
}

// Lock holders owned by LocalSystem or Everyone need it on Windows.
void EnableRestorePrivilege()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueW(NULL, L"SeRestorePrivilege", &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);  // absent: cases skip
    CloseHandle(token);
}

int Refuse(const std::string &why)
{
    printf("velmora_e2e_tests: %s; nothing was changed.\n", why.c_str());
    return EXIT_REFUSED;
}

int ListInstead(const std::vector<std::string> &cases)
{
    printf("velmora_e2e_tests checks Velmora.exe on this machine. While it runs it changes\n"
           "NoDrives under HKLM\\%s (both registry\n"
           "views), hides and shows drive letters for every user, may define a drive letter\n"
           "of its own for its session, and holds Velmora's update lock for moments. It backs\n"
           "the key up first, beside itself, and puts everything back at the end.\n"
           "Cases:\n",
           Utf8(kPolicyKey).c_str());
    for (const std::string &name : cases)
        printf("  %s\n", name.c_str());
    printf("Run it again with --change-this-machine to run them.\n");
    return EXIT_LISTED;
}

int RestoreLeftoverBackup()
{
    KeyCopy backup[2];
    if (GetFileAttributesW(g_backupPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        RemoveOwnLettersAndFolders();
        printf("velmora_e2e_tests: no backup to restore.\n");
        return 0;
    }
    if (!ReadBackupFile(backup))
        return Refuse("the backup " + Utf8(g_backupPath) + " cannot be read");
    std::string report;
    if (!RestoreFrom(backup, &report)) {
        printf("velmora_e2e_tests: the backup was not restored in full: %s\n", report.c_str());
        return 1;
    }
    printf("velmora_e2e_tests: the backup was restored: %s.\n", Describe(backup[0]).c_str());
    return 0;
}

// Velmora's own update lock, made as Velmora makes it: the program's
// writes and its restore then never interleave with a copy of Velmora's
// read, merge and write, whoever started that copy.
void TakeVelmoraLock()
{
    if (g_velmoraLock == NULL) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)",
                                                             SDDL_REVISION_1, &descriptor, NULL);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
        g_velmoraLock = CreateMutexA(descriptor ? &attributes : NULL, FALSE, "Global\\Velmora.NoDrives");
        LocalFree(descriptor);
    }
    // Held by a foreign holder of a lock case, or for too long: go on without.
    if (g_velmoraLock && WaitForSingleObject(g_velmoraLock, 10000) == WAIT_TIMEOUT) {
        CloseHandle(g_velmoraLock);
        g_velmoraLock = NULL;
    }
}

void ReleaseVelmoraLock()
{
    if (g_velmoraLock == NULL)
        return;
    ReleaseMutex(g_velmoraLock);
    // Not kept open between writes: the lock cases need the name free.
    CloseHandle(g_velmoraLock);
    g_velmoraLock = NULL;
}

}  // namespace

RegistryWrite::RegistryWrite()
{
    EnterCriticalSection(&g_registryWrites);
    g_heldFor = "a registry write";
    if (g_writeDepth++ == 0 && g_prepared)
        TakeVelmoraLock();
}

RegistryWrite::~RegistryWrite()
{
    if (--g_writeDepth == 0)
        ReleaseVelmoraLock();
    LeaveCriticalSection(&g_registryWrites);
}

Launching::Launching()
{
    EnterCriticalSection(&g_registryWrites);
    g_heldFor = "the start of a copy of Velmora";
}
Launching::~Launching() { LeaveCriticalSection(&g_registryWrites); }

void NoteFirstChange()
{
    static LONG noted = 0;
    if (InterlockedExchange(&noted, 1) == 0) {
        printf("velmora_e2e_tests: first change made\n");
        fflush(stdout);
    }
}

HANDLE VelmoraJob() { return g_job; }

bool RunsAsAdministrator()
{
    DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];  // aligned for a SID
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, sid, &size) &&
           CheckTokenMembership(NULL, sid, &member) && member;
}

DWORD WINAPI Broadcast(LPVOID)
{
    DWORD_PTR result;
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM) "Policy", SMTO_ABORTIFHUNG,
                        200, &result);
    return 0;
}

void AnnouncePolicyChange()
{
    HANDLE thread = CreateThread(NULL, 0, Broadcast, NULL, 0, NULL);
    if (thread == NULL)
        return;
    WaitForSingleObject(thread, 1000);
    CloseHandle(thread);
}

bool RestoreMachine(std::string *report)
{
    RegistryWrite lock;  // never inside one of the program's own writes
    if (!g_prepared || g_restored)
        return true;
    g_restored = true;
    return RestoreFrom(g_backup, report);
}

int PrepareMachine(const GuardOptions &options, const std::vector<std::string> &cases)
{
    InitializeCriticalSection(&g_registryWrites);
    WCHAR self[MAX_PATH + 1] = L"";
    GetModuleFileNameW(NULL, self, MAX_PATH + 1);
    g_backupPath = self;
    size_t slash = g_backupPath.find_last_of(L"\\/");
    g_backupPath = (slash == std::wstring::npos ? L"" : g_backupPath.substr(0, slash + 1)) +
                   L"velmora_e2e_tests.backup";

    // Asked first, also before a listing: a run that would be refused says
    // so at once (the workflow starts every job with a listing).
    if (!RunsAsAdministrator())
        return Refuse("it needs administrator rights (Administrators enabled: an elevated prompt)");
    if (RunsAsLocalSystem())
        return Refuse("it does not run as LocalSystem: a drive letter it defined would be seen in "
                      "every session");
    if (!options.changeThisMachine && !options.restoreBackup)
        return ListInstead(cases);
    HANDLE oneCopy = CreateMutexW(NULL, TRUE, L"Global\\VelmoraE2ETests.OneCopy");
    if (oneCopy == NULL || GetLastError() == ERROR_ALREADY_EXISTS)
        return Refuse("another copy of it is running");
    if (options.restoreBackup)
        return RestoreLeftoverBackup();

    KeyCopy leftover[2];
    if (GetFileAttributesW(g_backupPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        bool readable = ReadBackupFile(leftover);
        printf("velmora_e2e_tests: a run that did not end left its backup at %s.\n",
               Utf8(g_backupPath).c_str());
        for (int i = 0; i < 2; ++i)
            printf("  %s: backed up: %s\n  %s: now: %s\n", kViewNames[i],
                   readable ? Describe(leftover[i]).c_str() : "(unreadable)", kViewNames[i],
                   Describe(ReadKey(kViews[i])).c_str());
        return Refuse("put the backup back with --restore-backup, or delete it, first");
    }

    for (int i = 0; i < 2; ++i)
        g_backup[i] = ReadKey(kViews[i]);
    std::string report;
    if (!WriteBackupFile(&report))
        return Refuse(report);
    g_prepared = true;

    g_job = CreateJobObjectW(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (g_job)
        SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    SetConsoleCtrlHandler(OnControl, TRUE);
    std::set_terminate([] {
        std::string ignored;
        EndStartedCopies();
        RestoreMachine(&ignored);
        abort();
    });
    EnableRestorePrivilege();
    printf("velmora_e2e_tests: the policy key is backed up to %s\n", Utf8(g_backupPath).c_str());
    fflush(stdout);
    return -1;
}
