// The update lock: its name, its security descriptor, taking it (checking
// who owns it, waiting a bounded time) and releasing it.
#include "policy/lock.h"

const char kUpdateLockName[] = "Global\\Velmora.NoDrives";
static const DWORD kUpdateLockWaitMilliseconds = 5000;
// Owner Administrators; full access for LocalSystem and Administrators, and
// nobody else: every administrator's copy and LocalSystem's can open it, in
// any session, and no other account can take it.
static const char kUpdateLockSecurity[] = "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
// How often a name that vanished between two calls is tried again.
static const int kUpdateLockAttempts = 16;

// The lock belongs to LocalSystem or Administrators, as every copy of the
// tool makes it. Anyone else may have made the name first (a Global\ name
// needs no privilege), to block us or to have us trust a lock they control.
static int IsOwnedByAdministrators(HANDLE mutex, UpdateFailure *failure)
{
    // Room for a descriptor that holds an owner alone, aligned for it.
    DWORD descriptor[64];
    DWORD needed = 0;
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    if (!GetKernelObjectSecurity(mutex, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                                 &needed))
        return Failed(failure, REASON_SYSTEM, "GetKernelObjectSecurity", GetLastError());
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
        return Failed(failure, REASON_SYSTEM, "GetSecurityDescriptorOwner", GetLastError());
    if (owner == NULL ||
        !(IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)))
        return Failed(failure, REASON_NAME_HELD, NULL, 0);
    return 1;
}

// 1 when this process's token holds Administrators as an enabled group (an
// elevated administrator); 0 for a standard user, for an administrator's
// UAC-filtered token, whose Administrators SID is deny-only, and when it
// cannot be told.
static int RunsAsEnabledAdministrator(void)
{
    DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];  // aligned for a SID
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, sid, &size) ||
        !CheckTokenMembership(NULL, sid, &member))
        return 0;
    return member != FALSE;
}

// Creates the lock with Administrators as owner and full access for
// LocalSystem and Administrators alone, or opens the existing one: with
// full access where its access list allows, else just enough to wait for
// it, release it and read its owner. NULL with no reason: the name was gone
// by the time it was opened, and creating it may be tried again.
static HANDLE OpenUpdateLock(SECURITY_ATTRIBUTES *attributes, UpdateFailure *failure)
{
    HANDLE mutex = CreateMutexA(attributes, FALSE, kUpdateLockName);
    if (mutex != NULL)
        return mutex;
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_OWNER) {
        // Only a member of Administrators may make them the owner.
        Failed(failure, REASON_NEEDS_ADMINISTRATOR, "CreateMutexA", error);
        return NULL;
    }
    if (error != ERROR_ACCESS_DENIED) {
        // ERROR_INVALID_HANDLE: another type of object has the name.
        Failed(failure, error == ERROR_INVALID_HANDLE ? REASON_NAME_HELD : REASON_SYSTEM,
               "CreateMutexA", error);
        return NULL;
    }
    mutex = OpenMutexA(SYNCHRONIZE | READ_CONTROL, FALSE, kUpdateLockName);
    if (mutex != NULL)
        return mutex;
    DWORD openError = GetLastError();
    // Every lock a copy of the tool makes lets Administrators wait for it.
    // One that refuses even that to an elevated administrator was made by
    // another account's program (another user's, a scheduled task's), whose
    // default access list leaves Administrators out: elevating would not help.
    if (openError == ERROR_ACCESS_DENIED)
        Failed(failure, RunsAsEnabledAdministrator() ? REASON_NAME_HELD : REASON_NEEDS_ADMINISTRATOR,
               "OpenMutexA", openError);
    else if (openError == ERROR_INVALID_HANDLE)
        Failed(failure, REASON_NAME_HELD, "OpenMutexA", openError);
    else if (openError != ERROR_FILE_NOT_FOUND)
        Failed(failure, REASON_SYSTEM, "OpenMutexA", openError);
    else
        failure->nameVanished = 1;
    return NULL;
}

// Takes the update lock into *lock, waiting a bounded time. A mutex left
// abandoned by a copy that ended while holding it is taken over: that copy
// wrote the value in one call or not at all, so nothing is half-written.
int TakeUpdateLock(HANDLE *lock, UpdateFailure *failure)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kUpdateLockSecurity, SDDL_REVISION_1,
                                                              &descriptor, NULL))
        return Failed(failure, REASON_SYSTEM, "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                      GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};

    DWORD started = GetTickCount();
    HANDLE mutex = NULL;
    for (int attempt = 0; attempt < kUpdateLockAttempts; ++attempt) {
        failure->nameVanished = 0;
        mutex = OpenUpdateLock(&attributes, failure);
        if (mutex != NULL || !failure->nameVanished)
            break;
        if (GetTickCount() - started >= kUpdateLockWaitMilliseconds)
            break;
    }
    LocalFree(descriptor);
    if (mutex == NULL) {
        // Refused and gone, again and again: say what creating it answered.
        if (failure->nameVanished)
            Failed(failure, REASON_SYSTEM, "CreateMutexA", ERROR_ACCESS_DENIED);
        return 0;
    }
    if (!IsOwnedByAdministrators(mutex, failure)) {
        CloseHandle(mutex);
        return 0;
    }

    DWORD elapsed = GetTickCount() - started;
    DWORD left = elapsed < kUpdateLockWaitMilliseconds ? kUpdateLockWaitMilliseconds - elapsed : 0;
    DWORD waited = WaitForSingleObject(mutex, left);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        *lock = mutex;
        return 1;
    }
    if (waited == WAIT_TIMEOUT)
        Failed(failure, REASON_LOCK_BUSY, NULL, 0);
    else
        Failed(failure, REASON_SYSTEM, "WaitForSingleObject", GetLastError());
    CloseHandle(mutex);
    return 0;
}

void ReleaseUpdateLock(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}
