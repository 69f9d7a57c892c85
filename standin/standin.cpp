// The stand-in Win32 functions, working on the model in standin/model.h.
#include "standin/model.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace standin {

const char kPolicyKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

namespace {

Machine g_machine;
uintptr_t g_nextHandle = 0x1000;

const HANDLE kStdOutput = (HANDLE)(uintptr_t)0x10;
const HANDLE kStdInput = (HANDLE)(uintptr_t)0x14;
const HANDLE kCurrentProcess = (HANDLE)(intptr_t)-1;
const HMODULE kKernel32 = (HMODULE)(uintptr_t)0x7c800000;
const DWORD kDebugPrivilegeLuid = 20;

// Output capture state.
struct Capture {
    bool active = false;
    int savedFd = -1;
    WORD startAttribute = 0;
    std::vector<std::pair<long, WORD>> marks;  // byte offset, attribute from there on
} g_capture;

// The file that captured output goes to: one per process, emptied at each
// capture, held in memory (a fuzzer captures thousands of runs a second).
int CaptureFile()
{
    static int file = -1;
    if (file < 0)
        file = memfd_create("velmora-stdout", MFD_CLOEXEC);
    if (file < 0) {
        FILE *fallback = tmpfile();
        file = dup(fileno(fallback));
        fclose(fallback);
    }
    return file;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

std::string RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return "hklm";
    if (root == HKEY_CURRENT_USER)
        return "hkcu";
    if (root == HKEY_CLASSES_ROOT)
        return "hkcr";
    if (root == HKEY_USERS)
        return "hku";
    return "";
}

// Full lower-cased path of root + subkey, or "" when the root is not known.
std::string KeyPath(HKEY root, const char *subkey)
{
    std::string base;
    auto open = g_machine.openKeys.find(root);
    if (open != g_machine.openKeys.end())
        base = open->second;
    else
        base = RootName(root);
    if (base.empty())
        return "";
    if (subkey == nullptr || *subkey == '\0')
        return base;
    return base + "\\" + Lower(subkey);
}

// Records the call; true (with the last error set) when it is made to fail.
bool Called(const char *function)
{
    g_machine.calls.push_back(function);
    auto failure = g_machine.failures.find(function);
    if (failure != g_machine.failures.end()) {
        g_machine.lastError = failure->second;
        return true;
    }
    auto single = g_machine.callFailures.find(function);
    if (single == g_machine.callFailures.end())
        return false;
    auto call = single->second.find(CountCalls(function));
    if (call == single->second.end())
        return false;
    g_machine.lastError = call->second;
    return true;
}

HANDLE NewHandle(const char *kind)
{
    HANDLE handle = (HANDLE)g_nextHandle;
    g_nextHandle += 4;
    g_machine.openHandles[handle] = kind;
    ++g_machine.handlesOpened;
    return handle;
}

bool IsOpen(HANDLE handle, const char *kind)
{
    auto open = g_machine.openHandles.find(handle);
    return open != g_machine.openHandles.end() && open->second == kind;
}

HKEY NewKeyHandle(const std::string &path)
{
    HKEY key = (HKEY)g_nextHandle;
    g_nextHandle += 4;
    g_machine.openKeys[key] = path;
    return key;
}

std::map<std::string, RegistryValue> *OpenKeyValues(HKEY key)
{
    auto open = g_machine.openKeys.find(key);
    if (open == g_machine.openKeys.end())
        return nullptr;
    auto found = g_machine.keys.find(open->second);
    return found == g_machine.keys.end() ? nullptr : &found->second;
}

void CreateKeyPath(const std::string &path)
{
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        g_machine.keys[path.substr(0, at)];
    g_machine.keys[path];
}

BOOL WINAPI FakeIsWow64Process(HANDLE process, PBOOL wow64)
{
    bool failed = Called("IsWow64Process");
    ++g_machine.wow64Calls;
    // A failed call leaves the caller's flag as it was.
    if (failed || process != kCurrentProcess || wow64 == nullptr)
        return FALSE;
    *wow64 = g_machine.wow64 == WOW64_TRUE ? TRUE : FALSE;
    return TRUE;
}

}  // namespace

Machine &TheMachine()
{
    return g_machine;
}

void Reset()
{
    g_machine = Machine();
    g_machine.environment["PROMPT"] = "$P$G";
    g_machine.keys["hklm"];
    g_machine.keys["hklm\\software"];
    g_machine.keys["hklm\\software\\microsoft"];
    g_machine.keys["hklm\\software\\microsoft\\windows"];
    g_machine.keys["hklm\\software\\microsoft\\windows\\currentversion"];
}

void Fail(const std::string &function, DWORD error)
{
    g_machine.failures[function] = error;
}

void FailCall(const std::string &function, int call, DWORD error)
{
    g_machine.callFailures[function][call] = error;
}

void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::vector<BYTE> &data)
{
    std::string full = "hklm\\" + Lower(path);
    CreateKeyPath(full);
    g_machine.keys[full][Lower(name)] = RegistryValue{type, data};
}

void SetDword(const std::string &path, const std::string &name, DWORD value)
{
    SetValue(path, name, REG_DWORD,
             {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)});
}

bool HasKey(const std::string &path)
{
    return g_machine.keys.count("hklm\\" + Lower(path)) != 0;
}

bool HasValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    return key != g_machine.keys.end() && key->second.count(Lower(name)) != 0;
}

RegistryValue GetValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    if (key == g_machine.keys.end())
        return RegistryValue{REG_NONE, {}};
    auto value = key->second.find(Lower(name));
    return value == key->second.end() ? RegistryValue{REG_NONE, {}} : value->second;
}

int CountCalls(const std::string &function)
{
    return (int)std::count(g_machine.calls.begin(), g_machine.calls.end(), function);
}

void StartCapture()
{
    fflush(stdout);
    g_capture = Capture();
    int file = CaptureFile();
    if (ftruncate(file, 0) != 0)
        perror("stand-in: ftruncate");
    g_capture.savedFd = dup(1);
    dup2(file, 1);
    lseek(1, 0, SEEK_SET);
    g_capture.startAttribute = g_machine.attribute;
    g_capture.active = true;
}

std::vector<Segment> StopCapture()
{
    fflush(stdout);
    std::string text;
    long size = (long)lseek(1, 0, SEEK_END);
    text.resize((size_t)size);
    if (size > 0 && pread(1, &text[0], (size_t)size, 0) != size)
        text.clear();
    dup2(g_capture.savedFd, 1);
    close(g_capture.savedFd);
    g_capture.active = false;

    std::vector<Segment> segments;
    long from = 0;
    WORD attribute = g_capture.startAttribute;
    for (const auto &mark : g_capture.marks) {
        long to = std::min(std::max(mark.first, from), (long)text.size());
        segments.push_back(Segment{attribute, text.substr((size_t)from, (size_t)(to - from))});
        from = to;
        attribute = mark.second;
    }
    segments.push_back(Segment{attribute, text.substr((size_t)from)});
    return segments;
}

std::string TextOf(const std::vector<Segment> &segments)
{
    std::string text;
    for (const auto &segment : segments)
        text += segment.text;
    return text;
}

std::vector<Segment> Merged(const std::vector<Segment> &segments)
{
    std::vector<Segment> merged;
    for (const auto &segment : segments) {
        if (segment.text.empty())
            continue;
        if (!merged.empty() && merged.back().attribute == segment.attribute)
            merged.back().text += segment.text;
        else
            merged.push_back(segment);
    }
    return merged;
}

}  // namespace standin

using namespace standin;

// kernel32: console

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    if (Called("GetStdHandle"))
        return INVALID_HANDLE_VALUE;
    if (nStdHandle == STD_OUTPUT_HANDLE)
        return kStdOutput;
    if (nStdHandle == STD_INPUT_HANDLE)
        return kStdInput;
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput, PCONSOLE_SCREEN_BUFFER_INFO lpInfo)
{
    if (Called("GetConsoleScreenBufferInfo"))
        return FALSE;
    if (hConsoleOutput != kStdOutput || !g_machine.stdoutIsConsole) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->dwSize.X = 80;
    lpInfo->dwSize.Y = 300;
    lpInfo->wAttributes = g_machine.attribute;
    return TRUE;
}

BOOL WINAPI SetConsoleTextAttribute(HANDLE hConsoleOutput, WORD wAttributes)
{
    if (Called("SetConsoleTextAttribute"))
        return FALSE;
    if (hConsoleOutput != kStdOutput || !g_machine.stdoutIsConsole) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    g_machine.attribute = wAttributes;
    g_machine.attributesSet.push_back(wAttributes);
    // Whatever stdio still buffers is not on the console yet, so it will
    // show in the new colour: mark the position the descriptor has reached.
    if (g_capture.active)
        g_capture.marks.push_back({(long)lseek(1, 0, SEEK_CUR), wAttributes});
    return TRUE;
}

int _getch(void)
{
    Called("_getch");
    ++g_machine.keystrokesRead;
    if (g_machine.keysPressed.empty())
        return 0;
    int key = g_machine.keysPressed.front();
    g_machine.keysPressed.erase(g_machine.keysPressed.begin());
    return key;
}

// kernel32: errors, process, lookup, environment

DWORD WINAPI GetLastError(void)
{
    g_machine.calls.push_back("GetLastError");
    return g_machine.lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    g_machine.lastError = dwErrCode;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    g_machine.calls.push_back("GetCurrentProcess");
    return kCurrentProcess;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (Called("CloseHandle"))
        return FALSE;
    auto open = g_machine.openHandles.find(hObject);
    if (open == g_machine.openHandles.end()) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Closing a mutex handle does not release it: a mutex still owned when
    // the process ends is left abandoned.
    g_machine.openHandles.erase(open);
    return TRUE;
}

// kernel32: mutexes, waiting, error mode

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName)
{
    (void)lpMutexAttributes;
    g_machine.mutexNames.push_back(lpName ? lpName : "");
    if (Called("CreateMutexA"))
        return nullptr;
    HANDLE mutex = NewHandle("mutex");
    g_machine.lastError = g_machine.mutexState == MUTEX_FREE ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
    if (bInitialOwner && g_machine.mutexState == MUTEX_FREE)
        ++g_machine.mutexOwned;
    return mutex;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    g_machine.waitTimeouts.push_back(dwMilliseconds);
    if (Called("WaitForSingleObject"))
        return WAIT_FAILED;
    if (!IsOpen(hHandle, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    switch (g_machine.mutexState) {
    case MUTEX_HELD:
        // Even an endless wait: the run would hang, and the test sees the timeout it gave.
        return WAIT_TIMEOUT;
    case MUTEX_ABANDONED:
        g_machine.mutexState = MUTEX_FREE;
        ++g_machine.mutexOwned;
        return WAIT_ABANDONED;
    default:
        ++g_machine.mutexOwned;
        return WAIT_OBJECT_0;
    }
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    if (Called("ReleaseMutex"))
        return FALSE;
    if (!IsOpen(hMutex, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (g_machine.mutexOwned == 0) {
        g_machine.lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    --g_machine.mutexOwned;
    return TRUE;
}

UINT WINAPI SetErrorMode(UINT uMode)
{
    g_machine.calls.push_back("SetErrorMode");
    UINT previous = g_machine.errorMode;
    g_machine.errorMode = uMode;
    return previous;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    g_machine.moduleLookedUp = lpModuleName ? lpModuleName : "";
    if (Called("GetModuleHandleA"))
        return nullptr;
    if (lpModuleName == nullptr || Lower(lpModuleName) != "kernel32.dll") {
        g_machine.lastError = 126;  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    return kKernel32;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    g_machine.procedureLookedUp = lpProcName ? lpProcName : "";
    if (Called("GetProcAddress"))
        return nullptr;
    if (hModule != kKernel32 || lpProcName == nullptr ||
        strcmp(lpProcName, "IsWow64Process") != 0 || g_machine.wow64 == WOW64_FUNCTION_ABSENT) {
        g_machine.lastError = 127;  // ERROR_PROC_NOT_FOUND
        return nullptr;
    }
    return (FARPROC)(void *)&FakeIsWow64Process;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    if (Called("GetEnvironmentVariableA"))
        return 0;
    auto variable = g_machine.environment.find(lpName);
    if (variable == g_machine.environment.end()) {
        g_machine.lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
        return 0;
    }
    const std::string &value = variable->second;
    if (value.size() + 1 > nSize)
        return (DWORD)value.size() + 1;
    memcpy(lpBuffer, value.c_str(), value.size() + 1);
    return (DWORD)value.size();
}

// kernel32: drives

DWORD WINAPI GetLogicalDrives(void)
{
    if (Called("GetLogicalDrives"))
        return 0;
    DWORD present = 0;
    for (const auto &drive : g_machine.drives)
        if (drive.first >= 0 && drive.first < 26)
            present |= (DWORD)1 << drive.first;
    return present;
}

static const Drive *FindDrive(LPCSTR root)
{
    if (root == nullptr || root[0] == '\0')
        return nullptr;
    char letter = root[0];
    if (letter >= 'a' && letter <= 'z')
        letter = (char)(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z' || strcmp(root + 1, ":\\") != 0)
        return nullptr;
    auto drive = g_machine.drives.find(letter - 'A');
    return drive == g_machine.drives.end() ? nullptr : &drive->second;
}

unsigned int WINAPI GetDriveTypeA(LPCSTR lpRootPathName)
{
    g_machine.driveTypeQueries.push_back(lpRootPathName ? lpRootPathName : "");
    if (Called("GetDriveTypeA"))
        return DRIVE_UNKNOWN;
    const Drive *drive = FindDrive(lpRootPathName);
    return drive ? drive->type : DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI GetVolumeInformationA(LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize)
{
    g_machine.volumeQueries.push_back(lpRootPathName ? lpRootPathName : "");
    g_machine.volumeNameSize = nVolumeNameSize;
    g_machine.fileSystemNameSize = nFileSystemNameSize;
    if (lpVolumeSerialNumber || lpMaximumComponentLength || lpFileSystemFlags)
        g_machine.volumeExtrasAllNull = false;
    if (Called("GetVolumeInformationA"))
        return FALSE;
    const Drive *drive = FindDrive(lpRootPathName);
    if (drive && drive->noMedium && !(g_machine.errorMode & SEM_FAILCRITICALERRORS))
        ++g_machine.criticalErrorDialogs;  // "There is no disk in the drive", until someone clicks
    if (drive == nullptr || !drive->volumeQuerySucceeds || drive->noMedium) {
        g_machine.lastError = drive ? ERROR_NOT_READY : ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    if (drive->label.size() + 1 > nVolumeNameSize ||
        drive->fileSystem.size() + 1 > nFileSystemNameSize) {
        g_machine.lastError = 24;  // ERROR_BAD_LENGTH
        return FALSE;
    }
    memcpy(lpVolumeNameBuffer, drive->label.c_str(), drive->label.size() + 1);
    memcpy(lpFileSystemNameBuffer, drive->fileSystem.c_str(), drive->fileSystem.size() + 1);
    return TRUE;
}

// advapi32: registry

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    KeyOpen open{"RegOpenKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, ulOptions};
    g_machine.keyOpens.push_back(open);
    if (Called("RegOpenKeyExA"))
        return (LONG)g_machine.lastError;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    if (g_machine.keys.count(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKeyHandle(path);
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    KeyOpen open{"RegCreateKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, dwOptions,
                 lpClass ? lpClass : "(null)", lpSecurityAttributes == nullptr};
    g_machine.keyOpens.push_back(open);
    if (Called("RegCreateKeyExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    bool existed = g_machine.keys.count(path) != 0;
    CreateKeyPath(path);
    *phkResult = NewKeyHandle(path);
    if (lpdwDisposition)
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    g_machine.valuesQueried.push_back(lpValueName ? lpValueName : "");
    if (Called("RegQueryValueExA"))
        return (LONG)g_machine.lastError;
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    auto value = values->find(Lower(lpValueName ? lpValueName : ""));
    if (value == values->end())
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = value->second.type;
    DWORD size = (DWORD)value->second.data.size();
    if (lpData == nullptr) {
        if (lpcbData)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        memcpy(lpData, value->second.data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    g_machine.valuesSet.push_back(lpValueName ? lpValueName : "");
    if (Called("RegSetValueExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    if (g_machine.mutexOwned == 0)
        ++g_machine.writesOutsideMutex;
    (*values)[Lower(lpValueName ? lpValueName : "")] =
        RegistryValue{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    // A failing close still closes: the handle is gone either way.
    bool failed = Called("RegCloseKey");
    auto open = g_machine.openKeys.find(hKey);
    if (open == g_machine.openKeys.end())
        return ERROR_INVALID_HANDLE;
    g_machine.openKeys.erase(open);
    ++g_machine.keysClosed;
    return failed ? (LONG)g_machine.lastError : ERROR_SUCCESS;
}

// advapi32: process token

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    g_machine.tokenAccess = DesiredAccess;
    if (Called("OpenProcessToken"))
        return FALSE;
    if (ProcessHandle != kCurrentProcess) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *TokenHandle = NewHandle("token");
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    g_machine.privilegeLookedUp = lpName ? lpName : "";
    g_machine.privilegeSystemNameNull = lpSystemName == nullptr;
    if (Called("LookupPrivilegeValueA"))
        return FALSE;
    if (lpName == nullptr || strcmp(lpName, "SeDebugPrivilege") != 0) {
        g_machine.lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    lpLuid->LowPart = kDebugPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    ++g_machine.adjustCalls;
    g_machine.adjustDisableAll = DisableAllPrivileges;
    g_machine.adjustBufferLength = BufferLength;
    g_machine.adjustPreviousNull = PreviousState == nullptr;
    g_machine.adjustReturnLengthNull = ReturnLength == nullptr;
    if (NewState)
        g_machine.adjustedState = *NewState;
    if (Called("AdjustTokenPrivileges"))
        return FALSE;
    if (!IsOpen(TokenHandle, "token")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}
