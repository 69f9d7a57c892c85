// Processes, modules and windows: the current process, its WOW64 state and
// its end, kernel32 and user32 with the functions looked up in them, the
// window station, the broadcast of a setting change, and the environment.
#include "standin/shared.h"

#include <string.h>

namespace standin {

namespace {

const HMODULE kKernel32 = (HMODULE)(uintptr_t)0x7c800000;
const HMODULE kUser32 = (HMODULE)(uintptr_t)0x7e410000;
const HWINSTA kWindowStation = (HWINSTA)(uintptr_t)0x30;

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

HWINSTA WINAPI FakeGetProcessWindowStation(void)
{
    if (Called("GetProcessWindowStation"))
        return nullptr;
    return kWindowStation;
}

BOOL WINAPI FakeGetUserObjectInformationW(HANDLE hObj, int nIndex, LPVOID pvInfo, DWORD nLength,
                                          LPDWORD lpnLengthNeeded)
{
    if (Called("GetUserObjectInformationW"))
        return FALSE;
    if (hObj != (HANDLE)kWindowStation || nIndex != UOI_FLAGS) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (pvInfo == nullptr || nLength < sizeof(USEROBJECTFLAGS)) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, g_machine.windowStationVisible ? (DWORD)WSF_VISIBLE : 0};
    memcpy(pvInfo, &flags, sizeof flags);
    return TRUE;
}

// The broadcast takes broadcastMilliseconds to get through every window;
// what it reached is not modelled.
LRESULT WINAPI FakeSendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                       UINT fuFlags, UINT uTimeout, PDWORD_PTR lpdwResult)
{
    g_machine.broadcasts.push_back(
        Broadcast{hWnd, Msg, wParam, lParam ? (const char *)lParam : "(null)", fuFlags, uTimeout});
    if (Called("SendMessageTimeoutA"))
        return 0;
    SpendTime(g_machine.broadcastMilliseconds);
    if (lpdwResult)
        *lpdwResult = 0;
    return 1;
}

}  // namespace

}  // namespace standin

using namespace standin;

HANDLE WINAPI GetCurrentProcess(void)
{
    g_machine.calls.push_back("GetCurrentProcess");
    return kCurrentProcess;
}

// The process ends at once, in whichever thread: no later call is made, and
// what the C runtime still buffers is lost.
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    if (Called("TerminateProcess"))
        return FALSE;
    if (hProcess != kCurrentProcess) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    EndProcess(uExitCode, false);
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

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (Called("LoadLibraryA"))
        return nullptr;
    if (lpLibFileName == nullptr || Lower(lpLibFileName) != "user32.dll") {
        g_machine.lastError = 126;  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    ++g_machine.librariesLoaded;
    return kUser32;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (Called("FreeLibrary"))
        return FALSE;
    if (hLibModule != kUser32 || g_machine.librariesLoaded == 0) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    --g_machine.librariesLoaded;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    g_machine.procedureLookedUp = lpProcName ? lpProcName : "";
    if (Called("GetProcAddress"))
        return nullptr;
    if (hModule == kUser32 && g_machine.librariesLoaded > 0 && lpProcName != nullptr) {
        if (strcmp(lpProcName, "GetProcessWindowStation") == 0)
            return (FARPROC)(void *)&FakeGetProcessWindowStation;
        if (strcmp(lpProcName, "GetUserObjectInformationW") == 0)
            return (FARPROC)(void *)&FakeGetUserObjectInformationW;
        if (strcmp(lpProcName, "SendMessageTimeoutA") == 0)
            return (FARPROC)(void *)&FakeSendMessageTimeoutA;
    }
    if (hModule == kKernel32 && lpProcName != nullptr && strcmp(lpProcName, "CancelSynchronousIo") == 0) {
        if (!g_machine.hasCancelSynchronousIo) {
            g_machine.lastError = 127;  // ERROR_PROC_NOT_FOUND
            return nullptr;
        }
        return (FARPROC)(void *)&FakeCancelSynchronousIo;
    }
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
