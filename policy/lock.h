// The update lock: a machine-wide named mutex that every copy of the tool,
// 32-bit or 64-bit and in any session, holds from its read of NoDrives to its
// write, so that two of them at once cannot write back each other's stale
// value. Only a lock that LocalSystem or Administrators own is trusted.
#ifndef VELMORA_POLICY_LOCK_H
#define VELMORA_POLICY_LOCK_H

#include "platform/platform.h"
#include "policy/failure.h"

// The lock's name, "Global\Velmora.NoDrives", for the reason line that names it.
extern const char kUpdateLockName[];

// Takes the lock into *lock, waiting at most five seconds in all; a lock
// abandoned by a copy that ended while holding it is taken over. Returns 1
// with the lock owned; otherwise 0, with the reason in *failure and nothing
// left open.
int TakeUpdateLock(HANDLE *lock, UpdateFailure *failure);

// Releases and closes a lock that TakeUpdateLock gave.
void ReleaseUpdateLock(HANDLE lock);

#endif
