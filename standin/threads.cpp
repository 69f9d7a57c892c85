// Threads and time: a thread runs to its end (or to a call that never
// returns) inside CreateThread but ends on the virtual clock, when the ticks its calls take have passed; waits on it
// or on a mutex end at once or move the clock on, as a Sleep does, and
// CancelSynchronousIo ends the requests of a volume query that does not answer.
#include "standin/shared.h"

namespace standin {

int ThreadsStillRunning()
{
    int running = 0;
    for (const auto &thread : g_machine.threads)
        running += thread.second.endsAt == NEVER || thread.second.endsAt > g_machine.tickCount;
    return running;
}

void SpendTime(DWORD milliseconds, const Drive *drive)
{
    if (milliseconds == 0)
        return;
    if (g_machine.runningThread == nullptr) {
        g_machine.tickCount += milliseconds == NEVER ? 0x7FFFFFFF : milliseconds;
        return;
    }
    Thread &thread = g_machine.threads[g_machine.runningThread];
    thread.endsAt = milliseconds == NEVER || thread.endsAt == NEVER ? NEVER : thread.endsAt + milliseconds;
    if (drive != nullptr) {
        thread.drive = drive;
        thread.cancelsLeft = 2;
    }
}

namespace {

// Thrown where a thread stops for good; CreateThread catches it.
struct ThreadStopped {};

}  // namespace

void NeverReturns(const Drive *drive)
{
    SpendTime(NEVER, drive);
    if (g_machine.runningThread != nullptr)
        throw ThreadStopped{};
}

}  // namespace standin

using namespace standin;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes, (void)dwStackSize, (void)dwCreationFlags;
    if (Called("CreateThread"))
        return nullptr;
    HANDLE handle = NewHandle("thread");
    Thread &thread = g_machine.threads[handle];
    thread.endsAt = g_machine.tickCount;
    HANDLE creator = g_machine.runningThread;
    g_machine.runningThread = handle;
    try {
        lpStartAddress(lpParameter);
    } catch (const ThreadStopped &) {
    }
    g_machine.runningThread = creator;
    if (lpThreadId)
        *lpThreadId = 2;
    return handle;
}

// A thread that has not ended moves the clock to its end or by the whole
// timeout, whichever comes first. A timeout ends at the next tick of
// Windows' clock, up to 16 ms late. A wait of 0x7FFFFFFF or more for a
// thread that never ends, an endless one included, would hang the run, so
// it moves the clock by 0x7FFFFFFF and says WAIT_TIMEOUT, and the test sees
// the time it took.
static const DWORD kTimerLateMilliseconds = 16;

static DWORD WaitForThread(HANDLE hHandle, DWORD dwMilliseconds)
{
    g_machine.threadWaitTimeouts.push_back(dwMilliseconds);
    if (Called("WaitForSingleObject"))
        return WAIT_FAILED;
    const Thread &thread = g_machine.threads[hHandle];
    DWORD now = g_machine.tickCount;
    if (thread.endsAt != NEVER && thread.endsAt <= now)
        return WAIT_OBJECT_0;
    if (thread.endsAt != NEVER && (dwMilliseconds == INFINITE || thread.endsAt - now <= dwMilliseconds)) {
        g_machine.tickCount = thread.endsAt;
        return WAIT_OBJECT_0;
    }
    g_machine.tickCount += dwMilliseconds >= 0x7FFFFFFF ? 0x7FFFFFFF
                           : dwMilliseconds == 0   ? 0
                                                   : dwMilliseconds + kTimerLateMilliseconds;
    return WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (IsOpen(hHandle, "thread"))
        return WaitForThread(hHandle, dwMilliseconds);
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

namespace standin {

// Looked up at run time: Windows XP has none. Only a volume query's
// requests are modelled: a thread that ended, or waits on anything else,
// has nothing to cancel.
BOOL WINAPI FakeCancelSynchronousIo(HANDLE hThread)
{
    if (Called("CancelSynchronousIo"))
        return FALSE;
    if (!IsOpen(hThread, "thread")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Thread &thread = g_machine.threads[hThread];
    bool ended = thread.endsAt != NEVER && thread.endsAt <= g_machine.tickCount;
    if (ended || thread.drive == nullptr) {
        g_machine.lastError = ERROR_NOT_FOUND;
        return FALSE;
    }
    if (!thread.drive->ignoresCancel && --thread.cancelsLeft == 0)
        thread.endsAt = g_machine.tickCount;
    return TRUE;
}

}  // namespace standin

DWORD WINAPI GetTickCount(void)
{
    g_machine.calls.push_back("GetTickCount");
    return g_machine.tickCount;
}
