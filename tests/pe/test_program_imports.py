#!/usr/bin/python3
"""The end-to-end program imports nothing Windows 7 lacks.

Usage: /usr/bin/python3 test_program_imports.py path/to/velmora_e2e_tests.exe

It runs on test machines as old as Windows 7 SP1, so every function it
imports, its runtime's and GoogleTest's included, is named here after
checking that Windows 7 has it. The newest are from Vista: RegDeleteKeyExA,
RegDeleteKeyExW and CancelSynchronousIo (which XP lacks, so the program is
not for XP).
A new import has to be added here on purpose, after that check.

Debian 13's toolchain (GCC 14's MinGW-w64, its GoogleTest) brings these, each
checked against Microsoft's reference pages: GetThreadId (Vista, Server
2003); InitializeConditionVariable, SleepConditionVariableCS,
WakeAllConditionVariable, WakeConditionVariable (Vista, Server 2008). From
msvcrt.dll: _fstati64 and _get_osfhandle (Visual C++ 6.0's reference lists
both in MSVCRT.DLL), _strtoi64 and _strtoui64 (in Microsoft's C runtime
reference, not in Visual C++ 6.0's; MinGW-w64's import library of the
system's msvcrt.dll has all four for both machines).
"""
import sys

import pefile

ALLOWED = {
    "advapi32.dll": """
        AdjustTokenPrivileges CheckTokenMembership
        ConvertSidToStringSidA ConvertStringSecurityDescriptorToSecurityDescriptorA CreateWellKnownSid
        GetTokenInformation IsWellKnownSid LookupPrivilegeValueW OpenProcessToken RegCloseKey
        RegCreateKeyExA RegCreateKeyExW RegDeleteKeyExA RegDeleteKeyExW RegDeleteValueA
        RegDeleteValueW RegEnumValueW RegOpenKeyExA RegOpenKeyExW RegQueryInfoKeyW
        RegQueryValueExA RegSetValueExA RegSetValueExW""",
    "kernel32.dll": """
        AssignProcessToJobObject CancelSynchronousIo CloseHandle CreateDirectoryW CreateEventA CreateFileA
        CreateFileW CreateJobObjectW CreateMutexA CreateMutexW CreatePipe CreateProcessA
        CreateSemaphoreW CreateThread DebugBreak DefineDosDeviceW DeleteCriticalSection
        DeleteFileW DuplicateHandle EnterCriticalSection ExitProcess FindClose FindFirstFileW
        FindNextFileW FlushFileBuffers FormatMessageA FreeEnvironmentStringsA FreeLibrary
        GetCommandLineA GetCurrentProcess GetCurrentProcessId GetCurrentThread
        GetCurrentThreadId GetDriveTypeA GetEnvironmentStrings GetExitCodeProcess
        GetFileAttributesA GetFileAttributesW GetLastError GetLogicalDrives GetModuleFileNameA GetModuleFileNameW
        GetModuleHandleA GetModuleHandleW GetOEMCP GetProcAddress GetStartupInfoA GetStdHandle
        GetSystemTimeAsFileTime GetTempFileNameA GetTempPathA GetTempPathW GetThreadId GetThreadPriority
        GetTimeZoneInformation GetVolumeInformationA GetVolumeInformationW
        InitializeCriticalSection InitializeConditionVariable IsDBCSLeadByteEx IsWow64Process LeaveCriticalSection LoadLibraryA
        LoadLibraryW LocalFree MoveFileExW MultiByteToWideChar OpenProcess OpenThread
        OutputDebugStringA QueryDosDeviceW QueryInformationJobObject RaiseException ReadFile
        ReleaseMutex ReleaseSemaphore RemoveDirectoryW ResumeThread RtlCaptureContext
        RtlLookupFunctionEntry RtlUnwindEx RtlVirtualUnwind SetConsoleCtrlHandler SetErrorMode
        SetEvent SetHandleInformation SetInformationJobObject SetLastError SetThreadPriority
        SetUnhandledExceptionFilter Sleep SleepConditionVariableCS TerminateJobObject TerminateProcess TlsAlloc TlsFree
        TlsGetValue TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery WaitForMultipleObjects
        WaitForSingleObject WakeAllConditionVariable WakeConditionVariable WideCharToMultiByte
        WriteFile __C_specific_handler""",
    "msvcrt.dll": """
        ___lc_codepage_func ___mb_cur_max_func __getmainargs __initenv __iob_func __mb_cur_max
        __p__acmdln __p__commode __p__fmode __set_app_type __setusermatherr _acmdln _amsg_exit
        _cexit _close _commode _creat _dup _dup2 _errno _exit _fdopen _filelengthi64 _fileno
        _fmode _fstat64 _fstati64 _get_osfhandle _getcwd _initterm _iob _isatty _localtime64 _lock _lseeki64 _mkdir
        _nextafter _onexit _open_osfhandle _read _set_error_mode _stat _stat64 _strdup _stricmp
        _strnicmp _strtoi64 _strtoui64 _unlock _wcsicmp _wfopen _write abort atoi calloc exit fclose fflush fgetpos
        fopen fprintf fputc fputs fread free fseek fsetpos ftell fwrite getc getenv getwc
        iscntrl islower isspace isupper iswctype isxdigit localeconv localtime malloc memchr
        memcmp memcpy memmove memset putc putwc realloc remove setlocale setvbuf signal strchr
        strcmp strcoll strerror strftime strlen strncmp strrchr strstr strtol strtoul strxfrm
        tolower toupper towlower towupper ungetc ungetwc vfprintf wcscmp wcscoll wcsftime wcslen
        wcsstr wcsxfrm""",
    "ole32.dll": """
        CoInitialize CoTaskMemFree CoUninitialize""",
    "shell32.dll": """
        SHGetDesktopFolder SHGetSpecialFolderLocation""",
    "shlwapi.dll": """
        StrRetToBufW""",
    "user32.dll": """
        CreateWindowExA DefWindowProcA DispatchMessageA GetMessageA PostMessageA PostQuitMessage
        RegisterClassA SendMessageTimeoutA""",
}


# Imports Windows 7 lacks, which the check must refuse whatever the list
# above comes to hold: Windows 8's precise clock and Windows 10's thread
# names from a DLL the list has, and Windows 8's WaitOnAddress from one it
# has not.
NOT_IN_WINDOWS_7 = [("kernel32.dll", "GetSystemTimePreciseAsFileTime"),
                    ("kernel32.dll", "SetThreadDescription"),
                    ("api-ms-win-core-synch-l1-2-0.dll", "WaitOnAddress")]


def unknown(imports):
    """The (dll, name) pairs of imports not known to be in Windows 7."""
    allowed = {dll: set(names.split()) for dll, names in ALLOWED.items()}
    return [(dll, name) for dll, name in imports if name not in allowed.get(dll, set())]


def main():
    refused = unknown(NOT_IN_WINDOWS_7)
    if refused != NOT_IN_WINDOWS_7:
        print("the check lets through what Windows 7 lacks: %s" % [
            "%s!%s" % pair for pair in NOT_IN_WINDOWS_7 if pair not in refused])
        return 1
    pe = pefile.PE(sys.argv[1])
    unexpected = unknown((entry.dll.decode().lower(), imported.name.decode())
                         for entry in pe.DIRECTORY_ENTRY_IMPORT for imported in entry.imports
                         if imported.name)
    for dll, name in unexpected:
        print("not known to be in Windows 7: %s!%s" % (dll, name))
    print("%s: %s" % (sys.argv[1], "imports only what Windows 7 has" if not unexpected
                       else "%d imports to check" % len(unexpected)))
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
