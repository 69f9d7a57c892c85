// The machine-wide hidden-drive mask (the shell's NoDrives policy value) and
// the hide and unhide commands that change one drive's bit in it.
#ifndef VELMORA_POLICY_POLICY_H
#define VELMORA_POLICY_POLICY_H

#include "platform/platform.h"
#include "policy/failure.h"

// Every key is opened in the registry view the caller passes: KEY_WOW64_64KEY
// for a 32-bit process on 64-bit Windows, so that it works on the 64-bit
// view the shell reads, else 0. Start-up decides it once and hands it down.

// Reads the mask into *mask (0 when it cannot be read), in registry `view`.
// Returns 1 when a usable value was read: REG_DWORD or REG_BINARY, at most
// 4 bytes.
int ReadHiddenDriveMask(HKEY root, REGSAM view, DWORD *mask);

// Sets (hide = 1) or clears (hide = 0) `driveBits` in the stored mask and
// writes it back as REG_DWORD (a mask of 0 removes the value), holding a
// machine-wide lock shared by every administrator's and LocalSystem's copy
// of the tool from the read to the write. An absent value counts as 0; a
// value that exists but is no 32-bit mask is left alone and the update
// fails, as it does when the lock cannot be had within a few seconds.
// Returns 1 when the new value was written (or removed); otherwise 0, with
// the reason in *failure when it is given.
int UpdateHiddenDriveMask(HKEY root, REGSAM view, DWORD driveBits, int hide,
                          UpdateFailure *failure = NULL);

// Upper-cases the first byte of `text` in place when it is an ASCII letter.
void UppercaseFirst(char *text);

// Stores in *bit the mask bit of the drive named by the first character of
// `driveArgument` (A or a is bit 0). Returns 0 when that character is no
// ASCII letter; the rest of the argument is not looked at.
int GetDriveBit(const char *driveArgument, DWORD *bit);

// The -H and -U commands, in registry `view`. Both upper-case the first byte
// of the argument in place. Return 1 on success, 0 on failure (after the red
// failure line).
int HideDrive(char *driveArgument, REGSAM view);
int UnhideDrive(char *driveArgument, REGSAM view);

#endif
