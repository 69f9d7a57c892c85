// The stand-in's one machine and what every model shares: resetting it,
// the faults a test injects, the record of calls, kernel handles, and the
// last error.
#include "standin/shared.h"

#include <stdio.h>
#include <stdio_ext.h>

#include <algorithm>

namespace standin {

Machine g_machine;

namespace {
uintptr_t g_nextHandle = 0x1000;
}  // namespace

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

bool Called(const char *function)
{
    g_machine.calls.push_back(function);
    int position = ++g_machine.failableCalls;
    if (position == g_machine.interruptRunCall) {
        g_machine.interruptedAt = function;
        g_machine.callsBeforeInterrupt = g_machine.calls.size();
        g_machine.interruptTick = g_machine.tickCount;
        DeliverControlEvent(g_machine.interruptEvent);
    }
    if (g_machine.failRunCall != 0 &&
        (position == g_machine.failRunCall ||
         (g_machine.failLaterCallsToo && position > g_machine.failRunCall))) {
        g_machine.failedInRun.push_back(function);
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return true;
    }
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

uintptr_t NewHandleValue()
{
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    return value;
}

HANDLE NewHandle(const char *kind)
{
    HANDLE handle = (HANDLE)NewHandleValue();
    g_machine.openHandles[handle] = kind;
    ++g_machine.handlesOpened;
    return handle;
}

bool IsOpen(HANDLE handle, const char *kind)
{
    auto open = g_machine.openHandles.find(handle);
    return open != g_machine.openHandles.end() && open->second == kind;
}

Machine &TheMachine()
{
    return g_machine;
}

void Reset()
{
    g_machine = Machine();
    g_machine.environment["PROMPT"] = "$P$G";
    g_machine.systemMessages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_NOT_READY, "The device is not ready.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    };
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

void FailRunCall(int call, RunFailure how)
{
    g_machine.failRunCall = call;
    g_machine.failLaterCallsToo = how == FROM_THEN_ON;
}

void EndProcess(UINT status, bool flushed)
{
    if (flushed)
        fflush(stdout);
    else
        __fpurge(stdout);
    FreeLocalAllocations();
    throw ProcessEnded{status};
}

void InterruptRunCall(int call, DWORD event)
{
    g_machine.interruptRunCall = call;
    g_machine.interruptEvent = event;
}

int CountCalls(const std::string &function)
{
    return (int)std::count(g_machine.calls.begin(), g_machine.calls.end(), function);
}

}  // namespace standin

using namespace standin;

DWORD WINAPI GetLastError(void)
{
    g_machine.calls.push_back("GetLastError");
    return g_machine.lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    g_machine.lastError = dwErrCode;
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
    g_machine.handleAccess.erase(hObject);
    return TRUE;
}
