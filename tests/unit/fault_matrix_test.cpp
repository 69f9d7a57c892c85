// What each command does when one Win32 function it calls fails.
//
// One machine for every row: 64-bit Windows (IsWow64Process true), a console
// at yellow on blue (0x1E, so a colour that is not put back shows), NoDrives
// = 0x04 (C: hidden) beside another policy value that must survive, and three
// drives, one of them an optical drive with no disc. Each row runs one command
// with one function failing on every call and states what the user sees, the
// exit status and what the registry holds.
// The rows of a command are checked against the functions the command really
// calls, so a new call without a row fails the suite.
#include "harness.h"

#include <ctype.h>
#include <stdio.h>

#include <set>

using standin::RegistryValue;
using standin::Segment;

namespace {

enum Command { HIDE_D, UNHIDE_C, LIST, NO_ARGUMENT_NO_PROMPT, NO_ARGUMENT_AT_PROMPT, HELP };

// The screens a run can end on; text only (colours are checked apart).
enum Screen {
    HIDDEN_D,             // banner, "Hiding the Drive D", success line, note
    HIDE_FAILED,          // banner, "Hiding the Drive D", red failure text
    VISIBLE_C,            // banner, "Unhiding the Drive C", success line, note
    UNHIDE_FAILED,        // banner, "Unhiding the Drive C", red failure text
    TABLE,                // banner and the table: C: Hidden, D: and E: Visible
    TABLE_ALL_VISIBLE,    // the table with the mask unread: every drive Visible
    TABLE_EMPTY,          // header and rule, no rows
    TABLE_TYPES_UNKNOWN,  // every type "Unknown", labels only where the volume has one
    TABLE_NO_VOLUMES,     // fallback names by type, no file systems
    USAGE,                // banner and usage lines
    USAGE_AND_NOTICE,     // usage, then the red "run it from the CMD Prompt" notice
    NOTICE_NO_WAIT,       // the notice without "Press any key": nobody can press one, no wait
};

enum Colours {
    COLOURED,       // as designed; the console ends at its own colour (0x1E)
    FALLBACK_15,    // the attribute could not be read: it reads as 15 and the console ends at 15
    NO_COLOURS,     // no attribute changes at all; the console keeps 0x1E
};

enum Registry {
    NOT_OPENED,     // no key opened
    READ_64,        // read only, in the 64-bit view
    READ_32,        // read only, without KEY_WOW64_64KEY
    KEPT,           // opened for writing, nothing written: 0x04 stays
    MERGED_64,      // written in the 64-bit view: 0x0C after -H D; after -U C no value is left
    MERGED_32,      // written, but without KEY_WOW64_64KEY
};

struct FaultRow {
    Command command;
    const char *function;  // "" for the run without a fault
    Screen screen;
    Colours colours;
    int status;
    Registry registry;
    const char *effect;    // what the failure amounts to, in words
};

// Functions that cannot be made to fail: they have no failure result.
// GetStartupInfoA has none either: it fills in what the parent gave.
// IsWellKnownSid answers yes or no; LocalFree of a descriptor has nothing to
// fail on that the tool could act upon.
const std::set<std::string> kNeverFail = {"GetCurrentProcess", "GetLastError", "SetErrorMode",
                                          "GetOEMCP",          "GetTickCount",     "GetStartupInfoA",
                                          "IsWellKnownSid",    "LocalFree"};

const FaultRow kRows[] = {
    // -H D with NoDrives 0x04
    {HIDE_D, "", HIDDEN_D, COLOURED, 0, MERGED_64, "reference run"},
    {HIDE_D, "GetStdHandle", HIDDEN_D, NO_COLOURS, 0, MERGED_64, "no console handle: plain text"},
    {HIDE_D, "GetConsoleScreenBufferInfo", HIDDEN_D, FALLBACK_15, 0, MERGED_64, "colour reads as 15"},
    {HIDE_D, "SetConsoleTextAttribute", HIDDEN_D, NO_COLOURS, 0, MERGED_64, "plain text"},
    {HIDE_D, "OpenProcessToken", HIDDEN_D, COLOURED, 0, MERGED_64, "no debug privilege, silently"},
    {HIDE_D, "LookupPrivilegeValueA", HIDDEN_D, COLOURED, 0, MERGED_64, "token closed, silently"},
    {HIDE_D, "AdjustTokenPrivileges", HIDDEN_D, COLOURED, 0, MERGED_64, "result never looked at"},
    {HIDE_D, "CloseHandle", HIDDEN_D, COLOURED, 0, MERGED_64, "close was tried; nothing to do"},
    {HIDE_D, "GetModuleHandleA", HIDDEN_D, COLOURED, 0, MERGED_32, "WOW64 unknown: 32-bit view"},
    {HIDE_D, "GetProcAddress", HIDDEN_D, COLOURED, 0, MERGED_32, "as on a system without WOW64"},
    {HIDE_D, "IsWow64Process", HIDDEN_D, COLOURED, 0, MERGED_32, "flag stays 0: 32-bit view"},
    {HIDE_D, "CreateMutexA", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock: the key is not even opened"},
    {HIDE_D, "WaitForSingleObject", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "lock not had: nothing read or written"},
    {HIDE_D, "ReleaseMutex", HIDDEN_D, COLOURED, 0, MERGED_64, "written; the lock is abandoned at exit, for the next run to take over"},
    {HIDE_D, "ConvertStringSecurityDescriptorToSecurityDescriptorA", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock without its access list"},
    {HIDE_D, "GetKernelObjectSecurity", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {HIDE_D, "GetSecurityDescriptorOwner", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {HIDE_D, "RegCreateKeyExA", HIDE_FAILED, COLOURED, 1, KEPT, "no key, no write"},
    {HIDE_D, "RegQueryValueExA", HIDE_FAILED, COLOURED, 1, KEPT, "stored value unknown: not overwritten"},
    {HIDE_D, "RegSetValueExA", HIDE_FAILED, COLOURED, 1, KEPT, "write refused"},
    {HIDE_D, "RegCloseKey", HIDDEN_D, COLOURED, 0, MERGED_64, "written before the close"},
    {HIDE_D, "GetConsoleMode", HIDDEN_D, COLOURED, 0, MERGED_64, "no console seen: the console's code page, through the C runtime"},
    {HIDE_D, "WriteConsoleW", HIDDEN_D, COLOURED, 0, MERGED_64, "the same text through the C runtime"},
    {HIDE_D, "MultiByteToWideChar", HIDDEN_D, COLOURED, 0, MERGED_64, "ASCII bytes as they are"},
    {HIDE_D, "WideCharToMultiByte", HIDDEN_D, COLOURED, 0, MERGED_64, "the echo's ASCII kept"},
    {HIDE_D, "LoadLibraryA", HIDDEN_D, COLOURED, 0, MERGED_64, "written; the change goes unannounced"},
    {HIDE_D, "CreateThread", HIDDEN_D, COLOURED, 0, MERGED_64, "written; the change goes unannounced"},
    {HIDE_D, "SendMessageTimeoutA", HIDDEN_D, COLOURED, 0, MERGED_64, "written; the announcement's result is not looked at"},

    // -U C with NoDrives 0x04
    {UNHIDE_C, "", VISIBLE_C, COLOURED, 0, MERGED_64, "reference run"},
    {UNHIDE_C, "GetStdHandle", VISIBLE_C, NO_COLOURS, 0, MERGED_64, "no console handle: plain text"},
    {UNHIDE_C, "GetConsoleScreenBufferInfo", VISIBLE_C, FALLBACK_15, 0, MERGED_64, "colour reads as 15"},
    {UNHIDE_C, "SetConsoleTextAttribute", VISIBLE_C, NO_COLOURS, 0, MERGED_64, "plain text"},
    {UNHIDE_C, "OpenProcessToken", VISIBLE_C, COLOURED, 0, MERGED_64, "no debug privilege, silently"},
    {UNHIDE_C, "LookupPrivilegeValueA", VISIBLE_C, COLOURED, 0, MERGED_64, "token closed, silently"},
    {UNHIDE_C, "AdjustTokenPrivileges", VISIBLE_C, COLOURED, 0, MERGED_64, "result never looked at"},
    {UNHIDE_C, "CloseHandle", VISIBLE_C, COLOURED, 0, MERGED_64, "close was tried; nothing to do"},
    {UNHIDE_C, "GetModuleHandleA", VISIBLE_C, COLOURED, 0, MERGED_32, "WOW64 unknown: 32-bit view"},
    {UNHIDE_C, "GetProcAddress", VISIBLE_C, COLOURED, 0, MERGED_32, "as on a system without WOW64"},
    {UNHIDE_C, "IsWow64Process", VISIBLE_C, COLOURED, 0, MERGED_32, "flag stays 0: 32-bit view"},
    {UNHIDE_C, "CreateMutexA", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock: the key is not even opened"},
    {UNHIDE_C, "WaitForSingleObject", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "lock not had: nothing read or written"},
    {UNHIDE_C, "ReleaseMutex", VISIBLE_C, COLOURED, 0, MERGED_64, "written; the lock is abandoned at exit, for the next run to take over"},
    {UNHIDE_C, "ConvertStringSecurityDescriptorToSecurityDescriptorA", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock without its access list"},
    {UNHIDE_C, "GetKernelObjectSecurity", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {UNHIDE_C, "GetSecurityDescriptorOwner", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {UNHIDE_C, "RegCreateKeyExA", UNHIDE_FAILED, COLOURED, 1, KEPT, "no key, no write"},
    {UNHIDE_C, "RegQueryValueExA", UNHIDE_FAILED, COLOURED, 1, KEPT, "stored value unknown: not overwritten"},
    {UNHIDE_C, "RegCloseKey", VISIBLE_C, COLOURED, 0, MERGED_64, "removed before the close"},
    {UNHIDE_C, "RegDeleteValueA", UNHIDE_FAILED, COLOURED, 1, KEPT, "removal refused: 0x04 stays"},
    {UNHIDE_C, "GetConsoleMode", VISIBLE_C, COLOURED, 0, MERGED_64, "no console seen: the console's code page, through the C runtime"},
    {UNHIDE_C, "WriteConsoleW", VISIBLE_C, COLOURED, 0, MERGED_64, "the same text through the C runtime"},
    {UNHIDE_C, "MultiByteToWideChar", VISIBLE_C, COLOURED, 0, MERGED_64, "ASCII bytes as they are"},
    {UNHIDE_C, "WideCharToMultiByte", VISIBLE_C, COLOURED, 0, MERGED_64, "the echo's ASCII kept"},
    {UNHIDE_C, "LoadLibraryA", VISIBLE_C, COLOURED, 0, MERGED_64, "removed; the change goes unannounced"},
    {UNHIDE_C, "CreateThread", VISIBLE_C, COLOURED, 0, MERGED_64, "removed; the change goes unannounced"},
    {UNHIDE_C, "SendMessageTimeoutA", VISIBLE_C, COLOURED, 0, MERGED_64, "removed; the announcement's result is not looked at"},

    // -L
    {LIST, "", TABLE, COLOURED, 0, READ_64, "reference run"},
    {LIST, "GetStdHandle", TABLE, NO_COLOURS, 0, READ_64, "no console handle: plain text"},
    {LIST, "GetConsoleScreenBufferInfo", TABLE, FALLBACK_15, 0, READ_64, "colour reads as 15"},
    {LIST, "SetConsoleTextAttribute", TABLE, NO_COLOURS, 0, READ_64, "plain text"},
    {LIST, "OpenProcessToken", TABLE, COLOURED, 0, READ_64, "no debug privilege, silently"},
    {LIST, "LookupPrivilegeValueA", TABLE, COLOURED, 0, READ_64, "token closed, silently"},
    {LIST, "AdjustTokenPrivileges", TABLE, COLOURED, 0, READ_64, "result never looked at"},
    {LIST, "CloseHandle", TABLE, COLOURED, 0, READ_64, "close was tried; nothing to do"},
    {LIST, "GetModuleHandleA", TABLE, COLOURED, 0, READ_32, "WOW64 unknown: 32-bit view"},
    {LIST, "GetProcAddress", TABLE, COLOURED, 0, READ_32, "as on a system without WOW64"},
    {LIST, "IsWow64Process", TABLE, COLOURED, 0, READ_32, "flag stays 0: 32-bit view"},
    {LIST, "RegOpenKeyExA", TABLE_ALL_VISIBLE, COLOURED, 0, READ_64, "mask unread: all Visible"},
    {LIST, "RegQueryValueExA", TABLE_ALL_VISIBLE, COLOURED, 0, READ_64, "mask unread: all Visible"},
    {LIST, "RegCloseKey", TABLE, COLOURED, 0, READ_64, "mask read before the close"},
    {LIST, "GetLogicalDrives", TABLE_EMPTY, COLOURED, 0, READ_64, "no drive reported"},
    {LIST, "GetDriveTypeA", TABLE_TYPES_UNKNOWN, COLOURED, 0, READ_64, "type 0: Unknown"},
    {LIST, "GetVolumeInformationW", TABLE_NO_VOLUMES, COLOURED, 0, READ_64, "fallback names"},
    {LIST, "GetConsoleMode", TABLE, COLOURED, 0, READ_64, "no console seen: the console's code page, through the C runtime"},
    {LIST, "WriteConsoleW", TABLE, COLOURED, 0, READ_64, "the same text through the C runtime"},
    {LIST, "MultiByteToWideChar", TABLE, COLOURED, 0, READ_64, "ASCII bytes as they are, padded by bytes"},
    {LIST, "WideCharToMultiByte", TABLE, COLOURED, 0, READ_64, "ASCII labels kept"},

    // No argument, PROMPT absent (started by a double-click)
    {NO_ARGUMENT_NO_PROMPT, "", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "reference run"},
    {NO_ARGUMENT_NO_PROMPT, "GetStdHandle", NOTICE_NO_WAIT, NO_COLOURS, 0, NOT_OPENED, "plain text; no input handle, no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleScreenBufferInfo", USAGE_AND_NOTICE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {NO_ARGUMENT_NO_PROMPT, "SetConsoleTextAttribute", USAGE_AND_NOTICE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_NO_PROMPT, "OpenProcessToken", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_NO_PROMPT, "LookupPrivilegeValueA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_NO_PROMPT, "AdjustTokenPrivileges", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_NO_PROMPT, "CloseHandle", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_NO_PROMPT, "GetModuleHandleA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_NO_PROMPT, "GetProcAddress", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "IsWow64Process", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_NO_PROMPT, "GetEnvironmentVariableA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "same as absent"},
    {NO_ARGUMENT_NO_PROMPT, "_getch", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "the key read ends the wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleMode", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "input not known to be a console: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "WriteConsoleW", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "the same text through the C runtime"},
    {NO_ARGUMENT_NO_PROMPT, "MultiByteToWideChar", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "ASCII bytes as they are"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleProcessList", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "console may be shared: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleWindow", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "no window: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "LoadLibraryA", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetProcessWindowStation", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetUserObjectInformationW", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "FreeLibrary", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "asked before; still waits"},

    // No argument at a command prompt (PROMPT set)
    {NO_ARGUMENT_AT_PROMPT, "", USAGE, COLOURED, 0, NOT_OPENED, "reference run"},
    {NO_ARGUMENT_AT_PROMPT, "GetStdHandle", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_AT_PROMPT, "GetConsoleScreenBufferInfo", USAGE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {NO_ARGUMENT_AT_PROMPT, "SetConsoleTextAttribute", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_AT_PROMPT, "OpenProcessToken", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_AT_PROMPT, "LookupPrivilegeValueA", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_AT_PROMPT, "AdjustTokenPrivileges", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_AT_PROMPT, "CloseHandle", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {NO_ARGUMENT_AT_PROMPT, "GetModuleHandleA", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "GetProcAddress", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "IsWow64Process", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "GetEnvironmentVariableA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "read as absent: waits for a key"},
    {NO_ARGUMENT_AT_PROMPT, "GetConsoleMode", USAGE, COLOURED, 0, NOT_OPENED, "the console's code page, through the C runtime"},
    {NO_ARGUMENT_AT_PROMPT, "WriteConsoleW", USAGE, COLOURED, 0, NOT_OPENED, "the same text through the C runtime"},
    {NO_ARGUMENT_AT_PROMPT, "MultiByteToWideChar", USAGE, COLOURED, 0, NOT_OPENED, "ASCII bytes as they are"},

    // -?
    {HELP, "", USAGE, COLOURED, 0, NOT_OPENED, "reference run"},
    {HELP, "GetStdHandle", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {HELP, "GetConsoleScreenBufferInfo", USAGE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {HELP, "SetConsoleTextAttribute", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {HELP, "OpenProcessToken", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {HELP, "LookupPrivilegeValueA", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {HELP, "AdjustTokenPrivileges", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {HELP, "CloseHandle", USAGE, COLOURED, 0, NOT_OPENED, "silent"},
    {HELP, "GetModuleHandleA", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "GetProcAddress", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "IsWow64Process", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "GetConsoleMode", USAGE, COLOURED, 0, NOT_OPENED, "the console's code page, through the C runtime"},
    {HELP, "WriteConsoleW", USAGE, COLOURED, 0, NOT_OPENED, "the same text through the C runtime"},
    {HELP, "MultiByteToWideChar", USAGE, COLOURED, 0, NOT_OPENED, "ASCII bytes as they are"},
};

const WORD kStartAttribute = 0x1E;  // yellow on blue
// Every row fails its function with ERROR_ACCESS_DENIED; a failed -H or -U
// says so in the system's words.
const std::string kFailedCallReason = "Access is denied.";
const DWORD kStoredMask = 0x04;     // C: hidden
const char kOtherValue[] = "NoViewOnDrive";


std::vector<std::string> Arguments(Command command)
{
    switch (command) {
    case HIDE_D:
        return {"-H", "D"};
    case UNHIDE_C:
        return {"-U", "C"};
    case LIST:
        return {"-L"};
    case HELP:
        return {"-?"};
    default:
        return {};
    }
}

const char *CommandName(Command command)
{
    static const char *const names[] = {"HideD", "UnhideC", "List", "NoArgumentNoPrompt",
                                        "NoArgumentAtPrompt", "Help"};
    return names[command];
}

void PrepareMachine(Command command)
{
    standin::Reset();
    standin::Machine &machine = standin::TheMachine();
    machine.wow64 = standin::WOW64_TRUE;
    machine.attribute = kStartAttribute;
    if (command == NO_ARGUMENT_NO_PROMPT)
        machine.environment.erase("PROMPT");
    machine.keysPressed = {'x'};
    StoreNoDrives(kStoredMask);
    standin::SetDword(standin::kPolicyKey, kOtherValue, 0x08);
    machine.drives[2] = standin::Drive{DRIVE_FIXED, "System", "NTFS", true};
    machine.drives[3] = standin::Drive{DRIVE_CDROM, "", "", false, true};  // no disc
    machine.drives[4] = standin::Drive{DRIVE_REMOVABLE, "STICK", "FAT32", true};
}

std::string TableRow(const char *root, const char *label, const char *type, const char *fs,
                     const char *status)
{
    char row[512];
    snprintf(row, sizeof row, "\n\n %-8s   %-20s   %-20s   %-15s   %-s", root, label, type, fs,
             status);
    return row;
}

std::string TableText(Screen screen)
{
    std::string text = TableRow("Drive", "Drive Name", "Drive Type", "File System", "Drive Status");
    text = "\n\n" + text +
           "\n =======================================================================================";
    const char *cStatus = screen == TABLE_ALL_VISIBLE ? "Visible" : "Hidden";
    switch (screen) {
    case TABLE:
    case TABLE_ALL_VISIBLE:
        text += TableRow("C:\\", "System", "Local Disk", "NTFS", cStatus);
        text += TableRow("D:\\", "BD-ROM Drive", "CD/DVD Drive", "", "Visible");
        text += TableRow("E:\\", "STICK", "Removable Disk", "FAT32", "Visible");
        break;
    case TABLE_TYPES_UNKNOWN:
        text += TableRow("C:\\", "System", "Unknown", "NTFS", "Hidden");
        text += TableRow("D:\\", "", "Unknown", "", "Visible");
        text += TableRow("E:\\", "STICK", "Unknown", "FAT32", "Visible");
        break;
    case TABLE_NO_VOLUMES:
        text += TableRow("C:\\", "Local Disk", "Local Disk", "", "Hidden");
        text += TableRow("D:\\", "BD-ROM Drive", "CD/DVD Drive", "", "Visible");
        text += TableRow("E:\\", "", "Removable Disk", "", "Visible");
        break;
    default:
        break;
    }
    return kBanner + text + "\n\n";
}

std::string ScreenText(Screen screen)
{
    switch (screen) {
    case HIDDEN_D:
        return kBanner + Announcement(true, "D") + SuccessLine(true, "D") + kNote;
    case HIDE_FAILED:
        return kBanner + Announcement(true, "D") + kHideFailure + ReasonLine(kFailedCallReason);
    case VISIBLE_C:
        return kBanner + Announcement(false, "C") + SuccessLine(false, "C") + kNote;
    case UNHIDE_FAILED:
        return kBanner + Announcement(false, "C") + kUnhideFailure + ReasonLine(kFailedCallReason);
    case USAGE:
        return kBanner + kUsageLines;
    case USAGE_AND_NOTICE:
        return kBanner + kUsageLines + kNotFromPrompt;
    case NOTICE_NO_WAIT:
        return kBanner + kUsageLines + kNotFromPromptNoWait;
    default:
        return TableText(screen);
    }
}

// The one red text a screen holds, if any.
std::string RedText(Screen screen)
{
    switch (screen) {
    case HIDE_FAILED:
        return kHideFailure + ReasonLine(kFailedCallReason);
    case UNHIDE_FAILED:
        return kUnhideFailure + ReasonLine(kFailedCallReason);
    case USAGE_AND_NOTICE:
        return kNotFromPrompt;
    case NOTICE_NO_WAIT:
        return kNotFromPromptNoWait;
    default:
        return "";
    }
}

DWORD MergedMask(Command command)
{
    return command == HIDE_D ? (kStoredMask | 0x08) : (kStoredMask & ~(DWORD)0x04);
}

using KeyMap = std::map<std::string, std::map<std::string, RegistryValue>>;

std::string Describe(const KeyMap &keys)
{
    std::string text;
    for (const auto &key : keys)
        for (const auto &value : key.second) {
            text += key.first + " " + value.first + " type " + std::to_string(value.second.type) + ":";
            for (BYTE b : value.second.data)
                text += " " + std::to_string(b);
            text += "\n";
        }
    return text;
}

bool Same(const KeyMap &a, const KeyMap &b)
{
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || i->second.size() != j->second.size())
            return false;
        for (auto v = i->second.begin(), w = j->second.begin(); v != i->second.end(); ++v, ++w)
            if (v->first != w->first || v->second.type != w->second.type ||
                v->second.data != w->second.data)
                return false;
    }
    return true;
}

// Names a row in failure messages instead of dumping its bytes.
void PrintTo(const FaultRow &row, std::ostream *out)
{
    *out << CommandName(row.command) << " with " << (*row.function ? row.function : "no fault");
}

class FaultMatrixTest : public ToolTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultMatrixTest, ShowsReportsAndStoresWhatTheRowSays)
{
    const FaultRow &row = GetParam();
    PrepareMachine(row.command);
    if (*row.function)
        standin::Fail(row.function);
    KeyMap before = machine().keys;

    RunResult run = RunTool(Arguments(row.command));
    SCOPED_TRACE(std::string(CommandName(row.command)) + " with " +
                 (*row.function ? row.function : "no fault") + ": " + row.effect);

    // What the user sees.
    EXPECT_EQ(run.text, ScreenText(row.screen));
    std::string red;
    int redRuns = 0;
    for (const Segment &segment : run.output)
        if (segment.attribute == BRIGHT_RED) {
            red += segment.text;
            ++redRuns;
        }
    switch (row.colours) {
    case COLOURED:
    case FALLBACK_15:
        EXPECT_EQ(red, RedText(row.screen));
        EXPECT_LE(redRuns, 1);
        EXPECT_EQ(machine().attribute, row.colours == COLOURED ? (WORD)(kStartAttribute | 8) : 15);
        break;
    case NO_COLOURS:
        EXPECT_TRUE(machine().attributesSet.empty());
        EXPECT_EQ(machine().attribute, kStartAttribute);
        break;
    }
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(machine().keystrokesRead, row.screen == USAGE_AND_NOTICE ? 1 : 0);

    // Nothing left open: every opened key closed; the token and the update
    // lock's mutex closed or at least the close attempted; the lock released
    // unless releasing it failed, and every write made while it was held.
    // No "No disk" dialog waits for a click.
    EXPECT_TRUE(machine().openKeys.empty());
    EXPECT_EQ(standin::CountCalls("CloseHandle"), machine().handlesOpened);
    if (std::string(row.function) != "CloseHandle") {
        EXPECT_TRUE(machine().openHandles.empty());
    }
    EXPECT_EQ(machine().mutexOwned, std::string(row.function) == "ReleaseMutex" ? 1 : 0);
    EXPECT_EQ(machine().writesOutsideMutex, 0);
    EXPECT_EQ(machine().criticalErrorDialogs, 0);
    // user32 is freed after the window-station check, but kept after a
    // change was announced: the announcing thread may still be inside it.
    bool announced = (row.screen == HIDDEN_D || row.screen == VISIBLE_C) &&
                     std::string(row.function) != "LoadLibraryA";
    EXPECT_EQ(machine().librariesLoaded,
              std::string(row.function) == "FreeLibrary" || announced ? 1 : 0);
    EXPECT_EQ(machine().localAllocations, 0);

    // What the registry holds: the other value always as it was, NoDrives
    // either as it was or with exactly the command's bit changed.
    KeyMap expected = before;
    if (row.registry == MERGED_64 || row.registry == MERGED_32) {
        // A mask of 0 is no value at all.
        DWORD mask = MergedMask(row.command);
        auto &values = expected["hklm\\software\\microsoft\\windows\\currentversion\\policies\\explorer"];
        if (mask == 0)
            values.erase("nodrives");
        else
            values["nodrives"] = RegistryValue{
                REG_DWORD, {(BYTE)mask, (BYTE)(mask >> 8), (BYTE)(mask >> 16), (BYTE)(mask >> 24)}};
    }
    EXPECT_TRUE(Same(machine().keys, expected)) << "registry now:\n"
                                                << Describe(machine().keys) << "expected:\n"
                                                << Describe(expected);

    // How the registry was reached.
    const auto &opens = machine().keyOpens;
    if (row.registry == NOT_OPENED) {
        EXPECT_TRUE(opens.empty());
    } else {
        ASSERT_FALSE(opens.empty());
        bool view64 = row.registry == READ_64 || row.registry == MERGED_64 || row.registry == KEPT;
        bool writes = row.registry == KEPT || row.registry == MERGED_64 || row.registry == MERGED_32;
        for (const auto &open : opens) {
            EXPECT_EQ((open.access & KEY_WOW64_64KEY) != 0, view64) << open.function;
            EXPECT_EQ(open.function, writes ? "RegCreateKeyExA" : "RegOpenKeyExA");
        }
    }
}

std::string RowName(const ::testing::TestParamInfo<FaultRow> &info)
{
    std::string name = CommandName(info.param.command);
    name += "_";
    name += *info.param.function ? info.param.function : "NoFault";
    for (char &c : name)
        if (!isalnum((unsigned char)c))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrixTest, ::testing::ValuesIn(kRows), RowName);

// The table covers every function each command calls, and nothing else.
TEST_F(ToolTest, FaultMatrixCoversEveryFunctionEachCommandCalls)
{
    for (Command command : {HIDE_D, UNHIDE_C, LIST, NO_ARGUMENT_NO_PROMPT, NO_ARGUMENT_AT_PROMPT, HELP}) {
        PrepareMachine(command);
        RunTool(Arguments(command));
        std::set<std::string> called;
        for (const auto &function : machine().calls)
            if (!kNeverFail.count(function))
                called.insert(function);

        std::set<std::string> rows;
        bool reference = false;
        for (const FaultRow &row : kRows)
            if (row.command == command) {
                if (*row.function)
                    rows.insert(row.function);
                else
                    reference = true;
            }
        EXPECT_TRUE(reference) << CommandName(command) << " has no reference row";
        EXPECT_EQ(rows, called) << CommandName(command);
    }
}

}  // namespace
