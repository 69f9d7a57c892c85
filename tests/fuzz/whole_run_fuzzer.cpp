// libFuzzer target: one whole run of the tool (RunCommandLine) on a stand-in
// machine decoded from the input, with the run's promises checked afterwards.
//
// Input layout (bytes past the end read as 0, strings past the end as ""):
//
//   0      flags: bit 0 PROMPT set, bit 1 standard output is a console,
//          bits 2-3 IsWow64Process (0 absent, 1 false, 2 and 3 true),
//          bit 4 no program name either (argc 0), bit 5 the Explorer policy
//          key exists, bit 6 NoDrives exists in it, bit 7 two other values
//          live beside it
//   1      bits 0-3: argument count after the program name, modulo 9;
//          bits 4-5: how other processes leave the update lock (0 and 3
//          free, 1 held past any wait, 2 abandoned); bits 6-7: who made
//          its name (0 nobody or a copy of Velmora, 1 a copy run as
//          LocalSystem, 2 a standard user, 3 an event has the name)
//   2-3    starting console attribute, little-endian
//   4-7    NoDrives type, little-endian
//   8-11   present drives, bit 0 = A: (bits 26-31 ignored)
//   12     number of injected failures, modulo 8; then 3 bytes for each:
//          function (index into kFailable), error (index into kErrors),
//          call (0 = every call, n = only the n-th call, modulo 8)
//   then escaped strings (see ReadString): NoDrives data (at most 32
//   bytes), the PROMPT value, for each present drive in letter order two
//   bytes (type; bit 0 of the second: the volume query fails, bit 1: no
//   medium in the drive, bit 2: the query never answers, bit 3: nor does it
//   end when cancelled) and its label and file system, then the arguments
//   (at most 100 000 bytes each).
//
// A violated promise prints what it saw and traps.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "standin/model.h"
#include "tests/screens.h"

namespace {

using standin::RegistryValue;
using standin::Segment;

const size_t kMaxArgument = 100000;

const char *const kFailable[] = {
    "GetStdHandle",        "GetConsoleScreenBufferInfo", "SetConsoleTextAttribute",
    "CloseHandle",         "GetModuleHandleA",           "GetProcAddress",
    "IsWow64Process",      "GetEnvironmentVariableA",    "GetLogicalDrives",
    "GetDriveTypeA",       "GetVolumeInformationW",      "RegOpenKeyExA",
    "RegCreateKeyExA",     "RegQueryValueExA",           "RegSetValueExA",
    "RegCloseKey",         "OpenProcessToken",           "LookupPrivilegeValueA",
    "AdjustTokenPrivileges", "_getch",                   "CreateMutexA",
    "WaitForSingleObject", "ReleaseMutex",               "GetConsoleMode",
    "WriteConsoleW",       "MultiByteToWideChar",        "WideCharToMultiByte",
    "GetConsoleOutputCP",  "GetConsoleProcessList",      "GetConsoleWindow",
    "LoadLibraryA",        "FreeLibrary",                "GetProcessWindowStation",
    "GetUserObjectInformationW", "RegDeleteValueA",      "OpenMutexA",
    "ConvertStringSecurityDescriptorToSecurityDescriptorA", "GetKernelObjectSecurity",
    "FormatMessageW",      "GetSecurityDescriptorOwner", "CreateWellKnownSid",
    "CheckTokenMembership", "CreateThread",              "SendMessageTimeoutA",
    "CancelSynchronousIo",
};
const size_t kFailableCount = sizeof kFailable / sizeof kFailable[0];

// Never 0: a call that "fails" with ERROR_SUCCESS would claim a result it
// never produced, which no real function does.
const DWORD kErrors[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE,
                         ERROR_NOT_ENOUGH_MEMORY, ERROR_MORE_DATA, ERROR_NOT_READY,
                         ERROR_INVALID_PARAMETER, 1450 /* ERROR_NO_SYSTEM_RESOURCES */};
const size_t kErrorCount = sizeof kErrors / sizeof kErrors[0];

const char kPolicyPath[] = "hklm\\software\\microsoft\\windows\\currentversion\\policies\\explorer";
const char kPoliciesPath[] = "hklm\\software\\microsoft\\windows\\currentversion\\policies";

const std::string kErrorTexts[] = {kInvalidParameters, kDriveNotSpecified, kInvalidDriveName,
                                   kHideFailure, kUnhideFailure};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

    uint32_t Dword()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= (uint32_t)Byte() << (8 * i);
        return value;
    }

    // A backslash followed by a backslash stands for one backslash; a
    // backslash followed by anything else ends the string (both consumed),
    // as does the end of the input. Bytes beyond `limit` are dropped.
    std::string ReadString(size_t limit)
    {
        std::string text;
        while (at_ < size_) {
            char c = (char)data_[at_++];
            if (c == '\\') {
                if (at_ >= size_)
                    break;
                if (data_[at_++] != '\\')
                    break;
            }
            if (text.size() < limit)
                text.push_back(c);
        }
        return text;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

struct Injected {
    std::string function;
    DWORD error;
    int call;  // 0: every call
};

// Everything about the run that the checks need besides the machine.
struct Scenario {
    bool promptSet = false;
    bool console = false;
    WORD startAttribute = 0;
    bool noProgramName = false;
    std::vector<std::string> arguments;  // without the program name
    standin::MutexState lock = standin::MUTEX_FREE;
    standin::LockMaker maker = standin::LOCK_NONE;
    bool valueExisted = false;
    bool valueUsable = false;            // absent, or a mask the tool may merge into
    DWORD valueMask = 0;
    std::vector<Injected> injected;

    bool Fails(const std::string &function, int call) const
    {
        for (const auto &failure : injected)
            if (failure.function == function && (failure.call == 0 || failure.call == call))
                return true;
        return false;
    }
    bool FailsEveryCall(const std::string &function) const
    {
        for (const auto &failure : injected)
            if (failure.function == function && failure.call == 0)
                return true;
        return false;
    }
    bool FailsAtAll(const std::string &function) const
    {
        for (const auto &failure : injected)
            if (failure.function == function)
                return true;
        return false;
    }
};

[[noreturn]] void Violation(const char *what, const std::string &detail = "")
{
    fprintf(stderr, "\n*** Velmora fuzz invariant violated: %s\n", what);
    if (!detail.empty())
        fprintf(stderr, "%s\n", detail.c_str());
    fflush(stderr);
    __builtin_trap();
}

void Require(bool condition, const char *what, const std::string &detail = "")
{
    if (!condition)
        Violation(what, detail);
}

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text.substr(0, 400)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 32 || c >= 127) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += (char)c;
    }
    return out + (text.size() > 400 ? "\"..." : "\"");
}

std::string CString(const std::string &text)
{
    return text.substr(0, text.find('\0'));
}

Scenario Decode(const uint8_t *data, size_t size)
{
    Scenario scenario;
    Reader in(data, size);
    standin::Reset();
    standin::Machine &machine = standin::TheMachine();

    uint8_t flags = in.Byte();
    uint8_t counts = in.Byte();
    int argumentCount = (counts & 0x0F) % 9;
    int lock = (counts >> 4) & 3;
    scenario.startAttribute = (WORD)(in.Byte() | (in.Byte() << 8));
    DWORD valueType = in.Dword();
    DWORD present = in.Dword() & 0x03FFFFFF;
    int failureCount = in.Byte() % 8;

    scenario.promptSet = flags & 1;
    scenario.console = flags & 2;
    int wow64 = (flags >> 2) & 3;
    machine.wow64 = wow64 == 0 ? standin::WOW64_FUNCTION_ABSENT
                               : (wow64 == 1 ? standin::WOW64_FALSE : standin::WOW64_TRUE);
    scenario.noProgramName = flags & 16;
    bool keyExists = flags & 32;
    bool valueExists = keyExists && (flags & 64);
    bool otherValues = keyExists && (flags & 128);

    scenario.lock = lock == 1 ? standin::MUTEX_HELD
                              : (lock == 2 ? standin::MUTEX_ABANDONED : standin::MUTEX_FREE);
    machine.mutexState = scenario.lock;
    static const standin::LockMaker kMakers[] = {standin::LOCK_NONE, standin::LOCK_LOCAL_SYSTEM,
                                                 standin::LOCK_USER, standin::LOCK_EVENT};
    scenario.maker = kMakers[(counts >> 6) & 3];
    machine.lockMaker = scenario.maker;
    machine.stdoutIsConsole = scenario.console;
    machine.attribute = scenario.startAttribute;

    for (int i = 0; i < failureCount; ++i) {
        Injected failure;
        failure.function = kFailable[in.Byte() % kFailableCount];
        failure.error = kErrors[in.Byte() % kErrorCount];
        failure.call = in.Byte() % 8;
        // Windows answers "not found" only for a value that is not there:
        // a query that claims so for a stored value would make the tool
        // write over it in good faith, and a removal that claims so is taken
        // for one that found nothing left to remove.
        if ((failure.function == "RegQueryValueExA" || failure.function == "RegDeleteValueA") &&
            failure.error == ERROR_FILE_NOT_FOUND)
            failure.error = ERROR_ACCESS_DENIED;
        if (failure.call == 0)
            standin::Fail(failure.function, failure.error);
        else
            standin::FailCall(failure.function, failure.call, failure.error);
        scenario.injected.push_back(failure);
    }

    std::string valueData = in.ReadString(32);
    std::string prompt = CString(in.ReadString(300));
    machine.environment.clear();
    if (scenario.promptSet)
        machine.environment["PROMPT"] = prompt;

    if (keyExists)
        standin::SetValue(standin::kPolicyKey, "NoViewOnDrive", REG_DWORD, {0x08, 0, 0, 0});
    if (valueExists) {
        standin::SetValue(standin::kPolicyKey, "NoDrives", valueType,
                          std::vector<BYTE>(valueData.begin(), valueData.end()));
        scenario.valueExisted = true;
        scenario.valueUsable =
            (valueType == REG_DWORD || valueType == REG_BINARY) && valueData.size() <= 4;
        for (size_t i = 0; i < valueData.size() && i < 4; ++i)
            scenario.valueMask |= (DWORD)(uint8_t)valueData[i] << (8 * i);
        if (!scenario.valueUsable)
            scenario.valueMask = 0;
    } else {
        scenario.valueUsable = true;
    }
    if (otherValues) {
        standin::SetValue(standin::kPolicyKey, "NoRun", REG_DWORD, {1, 0, 0, 0});
        standin::SetValue(standin::kPolicyKey, "Comment", REG_SZ, {'k', 'e', 'e', 'p', 0});
    }

    for (int letter = 0; letter < 26; ++letter) {
        if (!(present & (1u << letter)))
            continue;
        standin::Drive drive;
        drive.type = in.Byte();
        uint8_t query = in.Byte();
        drive.volumeQuerySucceeds = !(query & 1);
        drive.noMedium = query & 2;
        drive.answerMilliseconds = (query & 4) ? standin::NEVER : 0;
        drive.ignoresCancel = query & 8;
        drive.typeNeverComes = query & 16;
        drive.label = in.ReadString(300);
        drive.fileSystem = in.ReadString(300);
        machine.drives[letter] = drive;
    }

    // Arguments and environment values are C strings: a zero byte ends them.
    if (!scenario.noProgramName)
        for (int i = 0; i < argumentCount; ++i)
            scenario.arguments.push_back(CString(in.ReadString(kMaxArgument)));
    return scenario;
}

bool SameValue(const RegistryValue &a, const RegistryValue &b)
{
    return a.type == b.type && a.data == b.data;
}

std::string Describe(const RegistryValue *value)
{
    if (value == nullptr)
        return "absent";
    std::string text = "type " + std::to_string(value->type) + ", bytes";
    for (BYTE b : value->data)
        text += " " + std::to_string(b);
    return text;
}

using Registry = std::map<std::string, std::map<std::string, RegistryValue>>;

const RegistryValue *FindNoDrives(const Registry &keys)
{
    auto key = keys.find(kPolicyPath);
    if (key == keys.end())
        return nullptr;
    auto value = key->second.find("nodrives");
    return value == key->second.end() ? nullptr : &value->second;
}

// The registry after the run compared with before: every key and value the
// same, except that the policy key (and its parent) may have been created
// empty by the write path, and NoDrives may hold `*written` when given, or
// be gone when `removed`.
void CheckRegistry(const Registry &before, const Registry &after, bool mayCreateKey,
                   const RegistryValue *written, bool removed = false)
{
    for (const auto &key : before) {
        auto now = after.find(key.first);
        Require(now != after.end(), "a registry key disappeared", key.first);
        for (const auto &value : key.second) {
            if (key.first == kPolicyPath && value.first == "nodrives")
                continue;
            auto still = now->second.find(value.first);
            Require(still != now->second.end(), "a registry value disappeared",
                    key.first + " " + value.first);
            Require(SameValue(still->second, value.second), "a registry value changed",
                    key.first + " " + value.first);
        }
    }
    for (const auto &key : after) {
        auto then = before.find(key.first);
        if (then == before.end()) {
            Require(mayCreateKey && (key.first == kPolicyPath || key.first == kPoliciesPath),
                    "an unexpected registry key appeared", key.first);
        }
        for (const auto &value : key.second) {
            if (key.first == kPolicyPath && value.first == "nodrives")
                continue;
            Require(then != before.end() && then->second.count(value.first) != 0,
                    "an unexpected registry value appeared", key.first + " " + value.first);
        }
    }
    const RegistryValue *old = FindNoDrives(before);
    const RegistryValue *now = FindNoDrives(after);
    if (removed) {
        Require(now == nullptr, "NoDrives left behind with nothing hidden", "after: " + Describe(now));
    } else if (written != nullptr) {
        Require(now != nullptr && SameValue(*now, *written), "NoDrives does not hold the merged mask",
                "before: " + Describe(old) + "\nafter: " + Describe(now) +
                    "\nexpected: " + Describe(written));
    } else if (old == nullptr) {
        Require(now == nullptr, "NoDrives was created by a run that changed nothing",
                "after: " + Describe(now));
    } else {
        Require(now != nullptr && SameValue(*old, *now), "NoDrives changed by a run that changed nothing",
                "before: " + Describe(old) + "\nafter: " + Describe(now));
    }
}

bool EqualsIgnoringAsciiCase(const std::string &text, const char *expected)
{
    std::string folded = text;
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return folded == expected;
}

// A switch: '-' or '/' and the name, without regard to ASCII case.
bool IsSwitch(const std::string &text, const char *name)
{
    return !text.empty() && (text[0] == '-' || text[0] == '/') &&
           EqualsIgnoringAsciiCase(text.substr(1), name);
}

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the run must have shown, from the arguments alone.
enum Outcome { NO_ERROR, NOT_UNDERSTOOD, INVALID_PARAMETERS, NOT_SPECIFIED, INVALID_NAME, DRIVE_COMMAND };

void CheckRun(const Scenario &scenario, const Registry &before, int status,
              const std::vector<Segment> &segments)
{
    const standin::Machine &machine = standin::TheMachine();
    std::string text = standin::TextOf(segments);
    int argc = scenario.noProgramName ? 0 : 1 + (int)scenario.arguments.size();
    const std::vector<std::string> &args = scenario.arguments;

    // Nothing left open.
    Require(machine.openKeys.empty(), "a registry key was left open");
    if (scenario.FailsAtAll("CloseHandle"))
        Require(standin::CountCalls("CloseHandle") >= machine.handlesOpened,
                "a handle was opened and never closed");
    else
        Require(machine.openHandles.empty(), "a handle was left open");
    Require(machine.mutexOwned == 0 || scenario.FailsAtAll("ReleaseMutex"),
            "the update lock was not released");
    Require(machine.writesOutsideMutex == 0, "a value was written without the update lock");
    Require(machine.criticalErrorDialogs == 0, "a \"No disk\" dialog was raised");

    // Every path begins with the banner.
    Require(text.compare(0, kBanner.size(), kBanner) == 0, "the output does not begin with the banner",
            Quoted(text));

    Outcome outcome = NO_ERROR;
    bool hide = false;
    if (argc == 0 || argc >= 4) {
        outcome = INVALID_PARAMETERS;
    } else if (argc == 2 && !IsSwitch(args[0], "l") && !IsSwitch(args[0], "?")) {
        outcome = NOT_UNDERSTOOD;
    } else if (argc == 3 && !IsSwitch(args[0], "h") && !IsSwitch(args[0], "u")) {
        outcome = NOT_UNDERSTOOD;
    } else if (argc == 3) {
        hide = IsSwitch(args[0], "h");
        char first = args[1].empty() ? '\0' : args[1][0];
        if (first == '\0')
            outcome = NOT_SPECIFIED;
        else if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')))
            outcome = INVALID_NAME;
        else
            outcome = DRIVE_COMMAND;
    }

    bool promptRead = argc == 1;
    bool noticeShown = false;
    if (promptRead) {
        // The notice shows when the variable read gives 0: absent, empty, or
        // the read failed (the first GetEnvironmentVariableA call).
        std::string value;
        bool set = scenario.promptSet && machine.environment.count("PROMPT");
        if (set)
            value = machine.environment.at("PROMPT");
        noticeShown = !set || value.empty() || scenario.Fails("GetEnvironmentVariableA", 1);
        // "Press any key" shows exactly when a key is read.
        const std::string &notice = machine.keystrokesRead ? kNotFromPrompt : kNotFromPromptNoWait;
        Require(EndsWith(text, noticeShown ? notice : std::string("\n\n")),
                "the no-argument run ends wrongly", Quoted(text));
        // The stand-in's console is one a person sees, alone: the key is
        // waited for unless one of the calls that tell so failed.
        bool waitUncertain = false;
        for (const char *function : {"GetStdHandle", "GetConsoleMode", "GetConsoleProcessList",
                                     "GetConsoleWindow", "LoadLibraryA", "GetProcAddress",
                                     "GetProcessWindowStation", "GetUserObjectInformationW"})
            waitUncertain = waitUncertain || scenario.FailsAtAll(function);
        if (waitUncertain)
            Require(machine.keystrokesRead <= (noticeShown ? 1 : 0), "a keystroke read without the notice");
        else
            Require(machine.keystrokesRead == (noticeShown ? 1 : 0), "wrong number of keystrokes read");
        Require(machine.librariesLoaded == 0 || scenario.FailsAtAll("FreeLibrary"), "user32 left loaded");
    } else {
        Require(machine.keystrokesRead == 0, "a keystroke was read outside the no-argument path");
        Require(standin::CountCalls("GetEnvironmentVariableA") == 0, "PROMPT read outside the no-argument path");
    }

    // Which error line ends the output, if any; a failed -H or -U is
    // followed by one line that says why.
    // The reason itself never holds the marker, but an echoed argument or a
    // label may: look for it only where a -H or -U did not end with the note.
    std::string body = text;
    size_t reason = text.rfind(kReason);
    bool reasonShown = outcome == DRIVE_COMMAND && !EndsWith(text, kNote) &&
                       reason != std::string::npos && EndsWith(text, "\n");
    if (reasonShown)
        body = text.substr(0, reason);
    std::string shownError;
    for (const auto &error : kErrorTexts)
        if (EndsWith(body, error))
            shownError = error;

    std::string expectedError;
    bool driveSucceeded = false;
    switch (outcome) {
    case NO_ERROR:
    case NOT_UNDERSTOOD:
        break;
    case INVALID_PARAMETERS:
        expectedError = kInvalidParameters;
        break;
    case NOT_SPECIFIED:
        expectedError = kDriveNotSpecified;
        break;
    case INVALID_NAME:
        expectedError = kInvalidDriveName;
        break;
    case DRIVE_COMMAND: {
        // The write path takes the update lock, then makes one create, one
        // query and one set; the lock not had, any of them failing, or a
        // stored value the tool cannot merge into, fails the command. Without
        // the lock the key is not even opened.
        // A name made by someone else is never trusted; with the lock's calls
        // failing, whether it was had shows in whether the key was opened
        // (never without it: no write outside the lock is checked above).
        bool foreign = scenario.maker == standin::LOCK_USER || scenario.maker == standin::LOCK_EVENT;
        bool lockCertain = scenario.maker == standin::LOCK_NONE;
        for (const char *function : {"CreateMutexA", "OpenMutexA", "WaitForSingleObject",
                                     "GetKernelObjectSecurity", "GetSecurityDescriptorOwner",
                                     "ConvertStringSecurityDescriptorToSecurityDescriptorA"})
            lockCertain = lockCertain && !scenario.FailsAtAll(function);
        bool locked = foreign ? false
                              : lockCertain ? scenario.lock != standin::MUTEX_HELD
                                            : standin::CountCalls("RegCreateKeyExA") > 0;
        // A merged mask of 0 is removed rather than written.
        char letter = args[1][0];
        if (letter >= 'a' && letter <= 'z')
            letter = (char)(letter - 'a' + 'A');
        DWORD bit = (DWORD)1 << (letter - 'A');
        DWORD mask = hide ? (scenario.valueMask | bit) : (scenario.valueMask & ~bit);
        bool fails = !locked || !scenario.valueUsable || scenario.Fails("RegCreateKeyExA", 1) ||
                     scenario.Fails("RegQueryValueExA", 1) ||
                     scenario.Fails(mask == 0 ? "RegDeleteValueA" : "RegSetValueExA", 1);
        driveSucceeded = !fails;
        if (!locked)
            Require(standin::CountCalls("RegCreateKeyExA") == 0, "the key was opened without the update lock");
        if (fails)
            expectedError = FailureText(hide);
        break;
    }
    }
    Require(shownError == expectedError, "wrong error line (or none, or one too many)",
            "expected " + Quoted(expectedError) + "\noutput " + Quoted(text));
    Require(reasonShown == (outcome == DRIVE_COMMAND && !driveSucceeded),
            "a reason line without a failed -H or -U, or a failure without one", Quoted(text));
    Require(status == (expectedError.empty() && outcome != NOT_UNDERSTOOD ? 0 : 1),
            "exit status does not match the error line", "status " + std::to_string(status));
    if (outcome == DRIVE_COMMAND && driveSucceeded) {
        Require(EndsWith(text, kNote), "a successful drive command does not end with the note",
                Quoted(text));
    }
    // Threads: one to announce a change that was made, or one for each
    // drive the listing asks about its volume, tried twice at most; none
    // for anything else.
    bool listing = argc == 2 && IsSwitch(args[0], "l");
    int threads = standin::CountCalls("CreateThread");
    if (listing)
        Require(threads <= 2 * (int)machine.drives.size(), "more than two tries for a drive's thread");
    else
        Require(threads == 0 || (outcome == DRIVE_COMMAND && driveSucceeded),
                "a change was announced where nothing changed");
    // The listing ends within its bound, and leaves no thread waiting that a
    // cancel could have ended, even where a thread could not be made.
    if (listing) {
        const DWORD spent = machine.tickCount - standin::Machine().tickCount;
        Require(spent <= 10000, "the listing overran its bound", std::to_string(spent) + " ticks");
        int deaf = 0;
        for (const auto &drive : machine.drives)
            deaf += (drive.second.answerMilliseconds == standin::NEVER || drive.second.typeNeverComes) &&
                    drive.second.ignoresCancel;
        bool cancelled = true;
        for (const char *function : {"GetModuleHandleA", "GetProcAddress", "CancelSynchronousIo",
                                     "WaitForSingleObject"})
            cancelled = cancelled && !scenario.FailsAtAll(function);
        if (cancelled)
            Require(standin::ThreadsStillRunning() <= deaf, "a query left waiting that a cancel would end");
    }

    // The registry.
    const Registry &after = machine.keys;
    if (outcome == DRIVE_COMMAND) {
        char letter = args[1][0];
        if (letter >= 'a' && letter <= 'z')
            letter = (char)(letter - 'a' + 'A');
        DWORD bit = (DWORD)1 << (letter - 'A');
        if (driveSucceeded) {
            DWORD mask = hide ? (scenario.valueMask | bit) : (scenario.valueMask & ~bit);
            RegistryValue written{REG_DWORD,
                                  {(BYTE)mask, (BYTE)(mask >> 8), (BYTE)(mask >> 16), (BYTE)(mask >> 24)}};
            CheckRegistry(before, after, true, &written, mask == 0);
        } else {
            CheckRegistry(before, after, true, nullptr);
        }
    } else {
        CheckRegistry(before, after, false, nullptr);
        Require(standin::CountCalls("RegSetValueExA") == 0 && standin::CountCalls("RegCreateKeyExA") == 0,
                "a command that writes nothing opened the key for writing");
        Require(standin::CountCalls("CreateMutexA") == 0, "a command that writes nothing took the update lock");
    }

    // Colours, where they can be seen: a console whose attribute changes all
    // work and whose starting colour is not red already.
    bool coloursWork = scenario.console && !scenario.FailsAtAll("GetStdHandle") &&
                       !scenario.FailsAtAll("SetConsoleTextAttribute");
    WORD startShown = (WORD)(scenario.startAttribute | 8);
    if (coloursWork && startShown != 12) {
        int errorRuns = 0;
        int noticeRuns = 0;
        for (const auto &segment : standin::Merged(segments)) {
            if (segment.attribute != 12)
                continue;
            if (segment.text == kNotFromPrompt || segment.text == kNotFromPromptNoWait) {
                ++noticeRuns;
                continue;
            }
            bool isError = false;
            for (const auto &error : kErrorTexts)
                isError = isError || segment.text == error ||
                          (segment.text.compare(0, error.size() + kReason.size(), error + kReason) == 0 &&
                           EndsWith(segment.text, "\n"));
            Require(isError, "red text that is no error line", Quoted(segment.text));
            ++errorRuns;
        }
        Require(errorRuns == (expectedError.empty() ? 0 : 1), "wrong number of red error lines",
                std::to_string(errorRuns));
        Require(noticeRuns == (noticeShown ? 1 : 0), "wrong number of red prompt notices");
        bool savedRead = !scenario.Fails("GetConsoleScreenBufferInfo", 1);
        WORD expectedEnd = savedRead ? (WORD)scenario.startAttribute : 15;
        Require(machine.attribute == expectedEnd, "the console colour was not put back",
                std::to_string(machine.attribute) + " instead of " + std::to_string(expectedEnd));
    }
    if (!scenario.console || scenario.FailsEveryCall("GetStdHandle") ||
        scenario.FailsEveryCall("SetConsoleTextAttribute"))
        Require(machine.attribute == scenario.startAttribute, "the attribute changed on a dead console");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Scenario scenario = Decode(data, size);
    Registry before = standin::TheMachine().keys;

    std::vector<std::string> storage;
    if (!scenario.noProgramName) {
        storage.push_back("Velmora.exe");
        storage.insert(storage.end(), scenario.arguments.begin(), scenario.arguments.end());
    }
    std::vector<char *> argv;
    for (auto &argument : storage)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    standin::StartCapture();
    int status = RunCommandLine((int)storage.size(), argv.data());
    std::vector<Segment> segments = standin::StopCapture();

    // VELMORA_FUZZ_SHOW=1 prints each run, for looking at what a seed does.
    static const bool show = getenv("VELMORA_FUZZ_SHOW") != nullptr;
    if (show) {
        fprintf(stderr, "argc %d:", (int)storage.size());
        for (const auto &argument : storage)
            fprintf(stderr, " %s", Quoted(argument).c_str());
        fprintf(stderr, "\nstatus %d, calls", status);
        for (const auto &call : standin::TheMachine().calls)
            fprintf(stderr, " %s", call.c_str());
        fprintf(stderr, "\nNoDrives before %s, after %s\n", Describe(FindNoDrives(before)).c_str(),
                Describe(FindNoDrives(standin::TheMachine().keys)).c_str());
        for (const auto &segment : standin::Merged(segments))
            fprintf(stderr, "  [%d] %s\n", segment.attribute, Quoted(segment.text).c_str());
    }

    CheckRun(scenario, before, status, segments);
    return 0;
}
