// The failure record of an update of NoDrives, which the lock's steps and
// the merge's both fill in, and the one helper that fills it.
#ifndef VELMORA_POLICY_FAILURE_H
#define VELMORA_POLICY_FAILURE_H

#include "platform/platform.h"

// Why an update failed, for the line that follows the red failure line.
enum UpdateFailureReason {
    REASON_NONE,
    REASON_NEEDS_ADMINISTRATOR,  // the lock can neither be created as Administrators' nor
                                 // opened, and the token is no enabled administrator
    REASON_LOCK_BUSY,            // other copies kept the lock longer than the wait
    REASON_NAME_HELD,            // the lock's name belongs to someone else, or to another
                                 // object, or shuts out even an enabled administrator
    REASON_NOT_A_MASK,           // NoDrives exists but is no 32-bit mask
    REASON_SYSTEM                // a call failed with `code`: the system says why
};

struct UpdateFailure {
    int reason;
    const char *function;  // the call that failed and led to the reason, NULL for none
    DWORD code;            // the error code that call gave
    DWORD valueType;       // REASON_NOT_A_MASK: what is stored
    DWORD valueSize;
    int nameVanished;      // the lock's name was gone before it could be opened:
                           // creating it may be tried again
};

// Fills *failure with `reason`, the failing `function` and its `code` and
// returns 0, so that a failing step of an update, the lock's or the merge's,
// passes it on in one line.
int Failed(UpdateFailure *failure, int reason, const char *function, DWORD code);

#endif
