// For the screen tests: holds Velmora's update lock, made as Velmora makes it,
// while Velmora runs in this console with the console at cyan (3), then
// prints Velmora's exit code in the colour the console is left in. Ctrl+C
// typed meanwhile ends Velmora, not this program.
//
//   lock_holder.exe PATH\TO\Velmora.exe ARGUMENT...   (arguments without blanks)
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

static BOOL WINAPI KeepRunning(DWORD event)
{
    (void)event;
    return TRUE;
}

int main(int argc, char **argv)
{
    char commandLine[1024];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", argc > 1 ? argv[1] : "");
    for (int i = 2; i < argc; ++i)
        snprintf(commandLine + strlen(commandLine), sizeof commandLine - strlen(commandLine), " %s",
                 argv[i]);

    PSECURITY_DESCRIPTOR descriptor = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)",
                                                         SDDL_REVISION_1, &descriptor, NULL);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE lock = CreateMutexA(&attributes, TRUE, "Global\\Velmora.NoDrives");
    if (lock == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        printf("lock_holder: the update lock is not ours (error %lu)\n", GetLastError());
        return 2;
    }
    SetConsoleCtrlHandler(KeepRunning, TRUE);
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), 3);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("lock_holder: cannot start %s (error %lu)\n", commandLine, GetLastError());
        return 2;
    }
    DWORD status = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    printf("\nEXIT[%08lX]\n", status);
    ReleaseMutex(lock);
    return 0;
}
