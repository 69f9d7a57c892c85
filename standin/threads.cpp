// Threads and time: a thread runs to its end inside CreateThread, waits on
// it or on a mutex return at once or time out, and the tick count moves
// only when a wait times out or a thread sleeps.
#include "standin/shared.h"

using namespace standin;

// The thread runs to its end before CreateThread returns: a wait for it
// finds it finished.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes, (void)dwStackSize, (void)dwCreationFlags;
    if (Called("CreateThread"))
        return nullptr;
    lpStartAddress(lpParameter);
    if (lpThreadId)
        *lpThreadId = 2;
    return NewHandle("thread");
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (IsOpen(hHandle, "thread"))
        return Called("WaitForSingleObject") ? WAIT_FAILED : WAIT_OBJECT_0;
    g_machine.waitTimeouts.push_back(dwMilliseconds);
    if (Called("WaitForSingleObject"))
        return WAIT_FAILED;
    if (!IsOpen(hHandle, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (!(g_machine.handleAccess[hHandle].second & SYNCHRONIZE)) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return WAIT_FAILED;
    }
    switch (g_machine.mutexState) {
    case MUTEX_HELD:
        // Even an endless wait: the run would hang, and the test sees the timeout it gave.
        g_machine.tickCount += dwMilliseconds == INFINITE ? 0x7FFFFFFF : dwMilliseconds;
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

void WINAPI Sleep(DWORD dwMilliseconds)
{
    g_machine.calls.push_back("Sleep");
    g_machine.tickCount += dwMilliseconds;
}

DWORD WINAPI GetTickCount(void)
{
    g_machine.calls.push_back("GetTickCount");
    return g_machine.tickCount;
}
