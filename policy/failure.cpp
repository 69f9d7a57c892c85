// Failed, which fills in the failure record of an update.
#include "policy/failure.h"

int Failed(UpdateFailure *failure, int reason, const char *function, DWORD code)
{
    failure->reason = reason;
    failure->function = function;
    failure->code = code;
    return 0;
}
