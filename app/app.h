// Start-up, command dispatch and the end of a run.
#ifndef VELMORA_APP_APP_H
#define VELMORA_APP_APP_H

enum { DRIVE_ARGUMENT_SIZE = 1000, PROMPT_BUFFER_SIZE = 128 };

// Exit statuses: 1 whenever a red error line was shown or the command line
// was not understood, else 0; a run stopped by Ctrl+C or Ctrl+Break ends
// with STATUS_CONTROL_C_EXIT.
enum { EXIT_OK = 0, EXIT_FAILED = 1 };

// Enables SeDebugPrivilege in the process token when the token allows it.
void EnableDebugPrivilege();

// 1 when this is a 32-bit process on 64-bit Windows, else 0 (also when the
// system is too old to know IsWow64Process).
int DetectWow64();

// One whole run: start-up, the command picked from the arguments, the console
// colour put back. Returns the process exit status.
int RunCommandLine(int argc, char **argv);

#endif
