// What the stand-in's files share and the tests do not see: the machine
// itself, the record of calls with the faults it injects, kernel handles,
// and Unicode text in the forms the models pass it on.
#ifndef VELMORA_STANDIN_SHARED_H
#define VELMORA_STANDIN_SHARED_H

#include <stdint.h>

#include <string>

#include "standin/model.h"

namespace standin {

extern Machine g_machine;

const HANDLE kCurrentProcess = (HANDLE)(intptr_t)-1;

// ASCII letters in lower case, the rest as it is.
std::string Lower(std::string text);

// Records the call; true (with the last error set) when it is made to fail.
// The call a test types a control event at delivers it first.
bool Called(const char *function);

// Calls the console control handlers with `event` as Windows calls them,
// and ends the process as the system's handler does when none takes it.
void DeliverControlEvent(DWORD event);

// Ends the process with `status`: the C runtime's buffer of standard output
// written (ExitProcess) or lost (TerminateProcess), the memory the process
// held given back, and ProcessEnded thrown.
[[noreturn]] void EndProcess(UINT status, bool flushed);

// Frees the security descriptors the process holds (its memory goes with it).
void FreeLocalAllocations();

// A value no other handle or key of the run has had.
uintptr_t NewHandleValue();

// A new open kernel handle of `kind` ("token", "mutex" or "thread"), and
// whether `handle` is one that is open.
HANDLE NewHandle(const char *kind);
bool IsOpen(HANDLE handle, const char *kind);

// UTF-8 from UTF-16 code units; a unit that is no character becomes U+FFFD.
std::string Utf8FromUtf16(const WCHAR *text, size_t units);

// UTF-16 from bytes in a code page; a byte sequence that is no character
// becomes U+FFFD.
std::u16string Utf16FromCodePage(UINT codePage, const std::string &bytes);

// The running call takes `milliseconds` (NEVER: it does not end on its
// own): the clock moves on, or, on a thread, the thread ends that much later.
// `drive`: the drive whose volume query waits that long, which a cancel can end.
void SpendTime(DWORD milliseconds, const Drive *drive = nullptr);

// The running call never returns: a thread stops there, its end at NEVER
// (`drive`: a cancel can end it, as SpendTime's); the main thread, which
// cannot stop, moves the clock on by 0x7FFFFFFF and goes on, and the test
// sees the time it took.
void NeverReturns(const Drive *drive = nullptr);

// CancelSynchronousIo, which GetProcAddress hands out.
BOOL WINAPI FakeCancelSynchronousIo(HANDLE hThread);

}  // namespace standin

#endif
