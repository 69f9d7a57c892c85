// Security and synchronisation objects: the process token and its one
// privilege, named mutexes with owners and access lists, security
// descriptors in the few SDDL forms the tool writes, and well-known SIDs.
#include "standin/shared.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>

namespace standin {

namespace {

const DWORD kDebugPrivilegeLuid = 20;

}  // namespace

}  // namespace standin

using namespace standin;

// The SIDs of the token this process runs with, by SDDL abbreviation.
static const char kUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
static const char kOtherUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1002";

static bool TokenHas(const std::string &sid)
{
    return sid == kUserSid || sid == "WD" || sid == "AU" || (sid == "BA" && g_machine.tokenIsAdmin);
}

// What an access list grants this token.
static DWORD Granted(const NamedObject &object)
{
    DWORD granted = 0;
    for (const auto &ace : object.dacl)
        if (TokenHas(ace.first))
            granted |= ace.second;
    return granted;
}

// The name of the update lock as another process left it, made real the
// first time the run asks for it.
static void MakeHeldName(const std::string &name)
{
    if (g_machine.objects.count(name))
        return;
    LockMaker maker = g_machine.lockMaker;
    if (maker == LOCK_NONE && g_machine.mutexState != MUTEX_FREE)
        maker = LOCK_VELMORA;
    const DWORD readAndWait = READ_CONTROL | 0x0001 /* MUTANT_QUERY_STATE */ | SYNCHRONIZE;
    NamedObject object;
    switch (maker) {
    case LOCK_NONE:
        return;
    case LOCK_VELMORA:
        object = NamedObject{"mutex", "BA", {{"SY", MUTEX_ALL_ACCESS}, {"BA", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_LOCAL_SYSTEM:
        object = NamedObject{"mutex", "SY", {{"SY", MUTEX_ALL_ACCESS}, {"BA", readAndWait}}};
        break;
    case LOCK_USER:
        object = NamedObject{"mutex", kOtherUserSid, {{"WD", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_NO_OWNER:
        object = NamedObject{"mutex", "", {{"WD", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_EVENT:
        object = NamedObject{"event", "BA", {{"WD", 0x1F0003 /* EVENT_ALL_ACCESS */}}};
        break;
    case LOCK_OTHER_ACCOUNT:
        object = NamedObject{"mutex", kOtherUserSid,
                             {{kOtherUserSid, MUTEX_ALL_ACCESS}, {"SY", MUTEX_ALL_ACCESS}}};
        break;
    }
    g_machine.objects[name] = object;
}

static HANDLE OpenObjectHandle(const std::string &name, DWORD access)
{
    HANDLE handle = NewHandle("mutex");
    g_machine.handleAccess[handle] = {name, access};
    return handle;
}

// A security descriptor as ConvertStringSecurityDescriptorToSecurityDescriptorA
// hands it out.
struct FakeDescriptor {
    uint32_t magic = 0x53444553;
    std::string owner;
    std::vector<std::pair<std::string, DWORD>> dacl;
};

// Access rights of an SDDL ACE as a mutex maps them.
static bool ParseRights(const std::string &text, DWORD *rights)
{
    *rights = 0;
    if (text.rfind("0x", 0) == 0) {
        *rights = (DWORD)strtoul(text.c_str(), nullptr, 16);
        return true;
    }
    for (size_t i = 0; i + 1 < text.size() + 1 && i < text.size(); i += 2) {
        std::string right = text.substr(i, 2);
        if (right == "GA")
            *rights |= MUTEX_ALL_ACCESS;
        else if (right == "GR")
            *rights |= READ_CONTROL | 0x0001;
        else if (right == "GW")
            *rights |= READ_CONTROL;
        else if (right == "GX")
            *rights |= READ_CONTROL | SYNCHRONIZE;
        else
            return false;
    }
    return true;
}

// The SDDL forms "O:owner" and "D:[P](A;;rights;;;sid)...", nothing more.
static bool ParseSddl(const std::string &sddl, FakeDescriptor *descriptor)
{
    size_t at = 0;
    if (sddl.compare(0, 2, "O:") == 0) {
        size_t end = sddl.find("D:");
        descriptor->owner = sddl.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        at = end == std::string::npos ? sddl.size() : end;
    }
    if (at >= sddl.size())
        return true;
    if (sddl.compare(at, 2, "D:") != 0)
        return false;
    at += 2;
    while (at < sddl.size() && sddl[at] != '(')
        ++at;  // flags such as P
    while (at < sddl.size()) {
        size_t end = sddl.find(')', at);
        if (sddl[at] != '(' || end == std::string::npos)
            return false;
        std::vector<std::string> fields;
        std::string ace = sddl.substr(at + 1, end - at - 1);
        for (size_t from = 0;;) {
            size_t semicolon = ace.find(';', from);
            fields.push_back(ace.substr(from, semicolon == std::string::npos ? std::string::npos
                                                                             : semicolon - from));
            if (semicolon == std::string::npos)
                break;
            from = semicolon + 1;
        }
        DWORD rights;
        if (fields.size() != 6 || fields[0] != "A" || !ParseRights(fields[2], &rights))
            return false;
        descriptor->dacl.push_back({fields[5], rights});
        at = end + 1;
    }
    return true;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName)
{
    const std::string name = lpName ? lpName : "";
    g_machine.mutexNames.push_back(name);
    if (Called("CreateMutexA"))
        return nullptr;
    MakeHeldName(name);
    auto existing = g_machine.objects.find(name);
    if (existing != g_machine.objects.end()) {
        // An existing name: the attributes are ignored, and full access is asked for.
        if (existing->second.type != "mutex") {
            g_machine.lastError = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        if ((Granted(existing->second) & MUTEX_ALL_ACCESS) != MUTEX_ALL_ACCESS) {
            g_machine.lastError = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        HANDLE mutex = OpenObjectHandle(name, MUTEX_ALL_ACCESS);
        g_machine.lastError = ERROR_ALREADY_EXISTS;
        return mutex;
    }
    NamedObject object;
    const FakeDescriptor *descriptor =
        lpMutexAttributes ? (const FakeDescriptor *)lpMutexAttributes->lpSecurityDescriptor : nullptr;
    if (descriptor != nullptr) {
        // Only an owner the token holds may be given: the user, or
        // Administrators for a token that is a member.
        if (!descriptor->owner.empty() && descriptor->owner != kUserSid &&
            !(descriptor->owner == "BA" && g_machine.tokenIsAdmin)) {
            g_machine.lastError = ERROR_INVALID_OWNER;
            return nullptr;
        }
        object.owner = descriptor->owner;
        object.dacl = descriptor->dacl;
    }
    if (object.owner.empty())
        object.owner = g_machine.tokenIsAdmin ? "BA" : kUserSid;
    if (descriptor == nullptr)
        object.dacl = {{g_machine.tokenIsAdmin ? "BA" : kUserSid, MUTEX_ALL_ACCESS},
                       {"SY", MUTEX_ALL_ACCESS}};
    g_machine.objects[name] = object;
    HANDLE mutex = OpenObjectHandle(name, MUTEX_ALL_ACCESS);
    g_machine.lastError = ERROR_SUCCESS;
    if (bInitialOwner)
        ++g_machine.mutexOwned;
    return mutex;
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    (void)bInheritHandle;
    const std::string name = lpName ? lpName : "";
    if (Called("OpenMutexA"))
        return nullptr;
    if (g_machine.lockHolderEndsBeforeOpen) {
        g_machine.lockHolderEndsBeforeOpen = false;
        g_machine.objects.erase(name);
        g_machine.lockMaker = LOCK_NONE;
        g_machine.mutexState = MUTEX_FREE;
    }
    MakeHeldName(name);
    auto existing = g_machine.objects.find(name);
    if (existing == g_machine.objects.end()) {
        g_machine.lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (existing->second.type != "mutex") {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((Granted(existing->second) & dwDesiredAccess) != dwDesiredAccess) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return OpenObjectHandle(name, dwDesiredAccess);
}

// The descriptors handed out and not yet freed.
static std::set<void *> g_localAllocations;

void standin::FreeLocalAllocations()
{
    for (void *descriptor : g_localAllocations)
        delete (FakeDescriptor *)descriptor;
    g_localAllocations.clear();
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    g_machine.calls.push_back("LocalFree");
    if (hMem == nullptr)
        return nullptr;
    FakeDescriptor *descriptor = (FakeDescriptor *)hMem;
    if (descriptor->magic != 0x53444553) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return hMem;
    }
    descriptor->magic = 0;
    g_localAllocations.erase(descriptor);
    delete descriptor;
    --g_machine.localAllocations;
    return nullptr;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    if (Called("ReleaseMutex"))
        return FALSE;
    if (!IsOpen(hMutex, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (g_machine.mutexOwned == 0) {
        g_machine.lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    --g_machine.mutexOwned;
    return TRUE;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(
    LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR *SecurityDescriptor, DWORD *SecurityDescriptorSize)
{
    if (Called("ConvertStringSecurityDescriptorToSecurityDescriptorA"))
        return FALSE;
    FakeDescriptor *descriptor = new FakeDescriptor;
    if (StringSecurityDescriptor == nullptr || StringSDRevision != SDDL_REVISION_1 ||
        SecurityDescriptor == nullptr || !ParseSddl(StringSecurityDescriptor, descriptor)) {
        delete descriptor;
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    ++g_machine.localAllocations;
    g_localAllocations.insert(descriptor);
    *SecurityDescriptor = descriptor;
    if (SecurityDescriptorSize)
        *SecurityDescriptorSize = 64;
    return TRUE;
}

// The descriptor GetKernelObjectSecurity writes into the caller's buffer:
// the owner's SID as text, empty for none.
struct OwnerDescriptor {
    uint32_t magic;
    char owner[92];
};

BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                                    LPDWORD lpnLengthNeeded)
{
    if (Called("GetKernelObjectSecurity"))
        return FALSE;
    auto access = g_machine.handleAccess.find(Handle);
    if (access == g_machine.handleAccess.end() || RequestedInformation != OWNER_SECURITY_INFORMATION) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!(access->second.second & READ_CONTROL)) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof(OwnerDescriptor);
    if (pSecurityDescriptor == nullptr || nLength < sizeof(OwnerDescriptor)) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    OwnerDescriptor descriptor = {0x4F574E52, ""};
    auto object = g_machine.objects.find(access->second.first);
    if (object != g_machine.objects.end())
        snprintf(descriptor.owner, sizeof descriptor.owner, "%s", object->second.owner.c_str());
    memcpy(pSecurityDescriptor, &descriptor, sizeof descriptor);
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner,
                                       LPBOOL lpbOwnerDefaulted)
{
    if (Called("GetSecurityDescriptorOwner"))
        return FALSE;
    OwnerDescriptor *descriptor = (OwnerDescriptor *)pSecurityDescriptor;
    if (descriptor == nullptr || descriptor->magic != 0x4F574E52 || pOwner == nullptr) {
        g_machine.lastError = 1338;  // ERROR_INVALID_SECURITY_DESCR
        return FALSE;
    }
    *pOwner = descriptor->owner[0] ? descriptor->owner : nullptr;
    if (lpbOwnerDefaulted)
        *lpbOwnerDefaulted = FALSE;
    return TRUE;
}

BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType)
{
    g_machine.calls.push_back("IsWellKnownSid");
    if (pSid == nullptr)
        return FALSE;
    const std::string sid = (const char *)pSid;
    return (WellKnownSidType == WinLocalSystemSid && sid == "SY") ||
           (WellKnownSidType == WinBuiltinAdministratorsSid && sid == "BA");
}

// The Administrators SID in the caller's buffer, as its SDDL abbreviation.
BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID DomainSid, PSID pSid,
                               DWORD *cbSid)
{
    (void)DomainSid;
    if (Called("CreateWellKnownSid"))
        return FALSE;
    if (WellKnownSidType != WinBuiltinAdministratorsSid || cbSid == nullptr) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const char sid[] = "BA";
    const DWORD needed = sizeof sid;
    if (pSid == nullptr || *cbSid < needed) {
        *cbSid = needed;
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    memcpy(pSid, sid, needed);
    *cbSid = needed;
    return TRUE;
}

// Only the process's own token (TokenHandle NULL) is modelled.
BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember)
{
    if (Called("CheckTokenMembership"))
        return FALSE;
    if (TokenHandle != nullptr || SidToCheck == nullptr || IsMember == nullptr) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *IsMember = TokenHas((const char *)SidToCheck) ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    g_machine.tokenAccess = DesiredAccess;
    if (Called("OpenProcessToken"))
        return FALSE;
    if (ProcessHandle != kCurrentProcess) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *TokenHandle = NewHandle("token");
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    g_machine.privilegeLookedUp = lpName ? lpName : "";
    g_machine.privilegeSystemNameNull = lpSystemName == nullptr;
    if (Called("LookupPrivilegeValueA"))
        return FALSE;
    if (lpName == nullptr || strcmp(lpName, "SeDebugPrivilege") != 0) {
        g_machine.lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    lpLuid->LowPart = kDebugPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    ++g_machine.adjustCalls;
    g_machine.adjustDisableAll = DisableAllPrivileges;
    g_machine.adjustBufferLength = BufferLength;
    g_machine.adjustPreviousNull = PreviousState == nullptr;
    g_machine.adjustReturnLengthNull = ReturnLength == nullptr;
    if (NewState)
        g_machine.adjustedState = *NewState;
    if (Called("AdjustTokenPrivileges"))
        return FALSE;
    if (!IsOpen(TokenHandle, "token")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}
