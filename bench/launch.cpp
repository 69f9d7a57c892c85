// Benchmark helper: starts Velmora.exe (or a floor program) under Windows'
// own process API and measures what a shell cannot see.
//
//   launch mem <program> [arguments...]
//       Runs the program once with its output going to NUL and prints the
//       peak working set and peak pagefile (private) usage of its process,
//       as the system reports them through GetProcessMemoryInfo. The counters
//       are read over and over until the process has ended; both are
//       high-water marks, so the largest reading holds the peak of everything
//       the process did up to its last reading: on Windows, after its end; under
//       Wine, which stops answering while a process ends, moments before it.
//
//   launch race <program> <copies> <rounds>
//       Each round: sets NoDrives to 0, creates <copies> processes running
//       "<program> -H <letter>" (letters A, B, C, ...) suspended, resumes
//       them all at once, waits for them, and counts the bits set in NoDrives.
//       Every missing bit is a hidden drive lost to a concurrent update.
//       Prints one line per round and a total.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { COMMAND_LINE_SIZE = 4096, MAX_COPIES = 26 };

static const char kPolicyKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

// Appends `text` to `line` in double quotes. Returns 0 when it does not fit.
static int AppendQuoted(char *line, size_t size, const char *text)
{
    size_t used = strlen(line);
    int written = snprintf(line + used, size - used, "%s\"%s\"", used ? " " : "", text);
    return written > 0 && (size_t)written < size - used;
}

static HANDLE OpenNul()
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, OPEN_EXISTING, 0, NULL);
}

static int Start(char *commandLine, HANDLE nul, DWORD flags, PROCESS_INFORMATION *process)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    return CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, flags, NULL, NULL, &startup,
                          process) != 0;
}

static int MeasureMemory(int argc, char **argv)
{
    char commandLine[COMMAND_LINE_SIZE] = "";
    for (int i = 0; i < argc; ++i) {
        if (!AppendQuoted(commandLine, sizeof commandLine, argv[i])) {
            fprintf(stderr, "launch: command line too long\n");
            return 2;
        }
    }

    HANDLE nul = OpenNul();
    PROCESS_INFORMATION process;
    if (!Start(commandLine, nul, 0, &process)) {
        fprintf(stderr, "launch: cannot start %s (error %lu)\n", argv[0], GetLastError());
        return 2;
    }

    // Both counters only ever grow, so the largest reading is the latest
    // true one. (A reading taken while the process is being torn down can
    // come back as zeros under Wine; taking the largest skips it.)
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
    unsigned samples = 0;
    int ended = 0;
    while (!ended) {
        // No sleep between readings: the later the last one, the less it misses.
        ended = WaitForSingleObject(process.hProcess, 0) != WAIT_TIMEOUT;
        // Windows still answers for an ended process, Wine does not.
        PROCESS_MEMORY_COUNTERS counters;
        if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters) &&
            counters.PeakWorkingSetSize != 0) {
            if (counters.PeakWorkingSetSize > peakWorkingSet)
                peakWorkingSet = counters.PeakWorkingSetSize;
            if (counters.PeakPagefileUsage > peakPagefile)
                peakPagefile = counters.PeakPagefileUsage;
            ++samples;
        }
    }

    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(nul);

    printf("peak_working_set=%lu peak_pagefile=%lu samples=%u exit=%lu\n",
           (unsigned long)peakWorkingSet, (unsigned long)peakPagefile, samples, status);
    return samples ? 0 : 1;
}

static int OpenPolicyKey(HKEY *key)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS | KEY_WOW64_64KEY, NULL, key, NULL) == ERROR_SUCCESS;
}

static int SetMask(DWORD mask)
{
    HKEY key;
    if (!OpenPolicyKey(&key))
        return 0;
    LONG status = RegSetValueExA(key, "NoDrives", 0, REG_DWORD, (const BYTE *)&mask, sizeof mask);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

static int GetMask(DWORD *mask)
{
    HKEY key;
    DWORD size = sizeof *mask;
    DWORD type = REG_NONE;
    if (!OpenPolicyKey(&key))
        return 0;
    LONG status = RegQueryValueExA(key, "NoDrives", NULL, &type, (BYTE *)mask, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof *mask;
}

static int CountBits(DWORD mask)
{
    int count = 0;
    for (; mask; mask &= mask - 1)
        ++count;
    return count;
}

static int Race(const char *program, int copies, int rounds)
{
    if (copies < 1 || copies > MAX_COPIES || rounds < 1) {
        fprintf(stderr, "launch: copies must be 1 to %d and rounds at least 1\n", MAX_COPIES);
        return 2;
    }
    HANDLE nul = OpenNul();
    long lostTotal = 0;
    int roundsWithLoss = 0;
    int failedRuns = 0;

    for (int round = 1; round <= rounds; ++round) {
        if (!SetMask(0)) {
            fprintf(stderr, "launch: cannot reset NoDrives\n");
            return 2;
        }
        PROCESS_INFORMATION processes[MAX_COPIES];
        int started = 0;
        for (int i = 0; i < copies; ++i) {
            char commandLine[COMMAND_LINE_SIZE] = "";
            char letter[3] = {(char)('A' + i), ':', '\0'};
            AppendQuoted(commandLine, sizeof commandLine, program);
            AppendQuoted(commandLine, sizeof commandLine, "-H");
            AppendQuoted(commandLine, sizeof commandLine, letter);
            if (!Start(commandLine, nul, CREATE_SUSPENDED, &processes[started])) {
                fprintf(stderr, "launch: cannot start %s (error %lu)\n", program, GetLastError());
                break;
            }
            ++started;
        }
        // The barrier: every copy is loaded and waiting; let them all go.
        for (int i = 0; i < started; ++i)
            ResumeThread(processes[i].hThread);

        for (int i = 0; i < started; ++i) {
            DWORD status = 1;
            WaitForSingleObject(processes[i].hProcess, INFINITE);
            GetExitCodeProcess(processes[i].hProcess, &status);
            if (status != 0)
                ++failedRuns;
            CloseHandle(processes[i].hThread);
            CloseHandle(processes[i].hProcess);
        }
        if (started != copies)
            return 2;

        DWORD mask = 0;
        if (!GetMask(&mask)) {
            fprintf(stderr, "launch: cannot read NoDrives\n");
            return 2;
        }
        int lost = copies - CountBits(mask);
        lostTotal += lost;
        if (lost)
            ++roundsWithLoss;
        printf("round %d: NoDrives=0x%08lX set=%d lost=%d\n", round, (unsigned long)mask,
               CountBits(mask), lost);
        fflush(stdout);
    }
    CloseHandle(nul);
    printf("race: copies=%d rounds=%d bits_expected=%ld bits_lost=%ld rounds_with_loss=%d "
           "failed_runs=%d\n",
           copies, rounds, (long)copies * rounds, lostTotal, roundsWithLoss, failedRuns);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "mem") == 0)
        return MeasureMemory(argc - 2, argv + 2);
    if (argc == 5 && strcmp(argv[1], "race") == 0)
        return Race(argv[2], atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: launch mem <program> [arguments...]\n"
                    "       launch race <program> <copies> <rounds>\n");
    return 2;
}
