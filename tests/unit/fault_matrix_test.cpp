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

#include <algorithm>
#include <set>
#include <tuple>

using standin::RegistryValue;
using standin::Segment;

namespace {

enum Command {
    HIDE_D,
    UNHIDE_C,
    LIST,
    NO_ARGUMENT_NO_PROMPT,
    NO_ARGUMENT_AT_PROMPT,
    HELP,
    HIDE_D_REFUSED,  // -H D where NoDrives is a string: it fails with no fault at all
};

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
    TABLE_UNANSWERED,     // the same, then the line naming C:, D: and E: as unanswered
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
                                          "IsWellKnownSid",    "LocalFree",        "Sleep"};

// Failing any of these, on any call, changes nothing the user sees or the
// registry holds. They have no rows in the table: the loop below fails each
// of their calls. (The listing tries a drive's thread twice; both tries
// failing is a row of drives_test.cpp's slow drives.)
const std::set<std::string> kChangesNothing = {
    "OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle",
    "RegCloseKey",      "WriteConsoleW",         "MultiByteToWideChar",   "WideCharToMultiByte",
    "ReleaseMutex",     "CreateThread",          "SendMessageTimeoutA",   "FreeLibrary",
    "SetConsoleCtrlHandler"};

const FaultRow kRows[] = {
    // -H D with NoDrives 0x04
    {HIDE_D, "", HIDDEN_D, COLOURED, 0, MERGED_64, "reference run"},
    {HIDE_D, "GetStdHandle", HIDDEN_D, NO_COLOURS, 0, MERGED_64, "no console handle: plain text"},
    {HIDE_D, "GetConsoleScreenBufferInfo", HIDDEN_D, FALLBACK_15, 0, MERGED_64, "colour reads as 15"},
    {HIDE_D, "SetConsoleTextAttribute", HIDDEN_D, NO_COLOURS, 0, MERGED_64, "plain text"},
    {HIDE_D, "GetModuleHandleA", HIDDEN_D, COLOURED, 0, MERGED_32, "WOW64 unknown: 32-bit view"},
    {HIDE_D, "GetProcAddress", HIDDEN_D, COLOURED, 0, MERGED_32, "as on a system without WOW64"},
    {HIDE_D, "IsWow64Process", HIDDEN_D, COLOURED, 0, MERGED_32, "flag stays 0: 32-bit view"},
    {HIDE_D, "CreateMutexA", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock: the key is not even opened"},
    {HIDE_D, "WaitForSingleObject", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "lock not had: nothing read or written"},
    {HIDE_D, "ConvertStringSecurityDescriptorToSecurityDescriptorA", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock without its access list"},
    {HIDE_D, "GetKernelObjectSecurity", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {HIDE_D, "GetSecurityDescriptorOwner", HIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {HIDE_D, "RegCreateKeyExA", HIDE_FAILED, COLOURED, 1, KEPT, "no key, no write"},
    {HIDE_D, "RegQueryValueExA", HIDE_FAILED, COLOURED, 1, KEPT, "stored value unknown: not overwritten"},
    {HIDE_D, "RegSetValueExA", HIDE_FAILED, COLOURED, 1, KEPT, "write refused"},
    {HIDE_D, "GetConsoleMode", HIDDEN_D, COLOURED, 0, MERGED_64, "no console seen: the console's code page, through the C runtime"},
    {HIDE_D, "LoadLibraryA", HIDDEN_D, COLOURED, 0, MERGED_64, "written; the change goes unannounced"},

    // -U C with NoDrives 0x04
    {UNHIDE_C, "", VISIBLE_C, COLOURED, 0, MERGED_64, "reference run"},
    {UNHIDE_C, "GetStdHandle", VISIBLE_C, NO_COLOURS, 0, MERGED_64, "no console handle: plain text"},
    {UNHIDE_C, "GetConsoleScreenBufferInfo", VISIBLE_C, FALLBACK_15, 0, MERGED_64, "colour reads as 15"},
    {UNHIDE_C, "SetConsoleTextAttribute", VISIBLE_C, NO_COLOURS, 0, MERGED_64, "plain text"},
    {UNHIDE_C, "GetModuleHandleA", VISIBLE_C, COLOURED, 0, MERGED_32, "WOW64 unknown: 32-bit view"},
    {UNHIDE_C, "GetProcAddress", VISIBLE_C, COLOURED, 0, MERGED_32, "as on a system without WOW64"},
    {UNHIDE_C, "IsWow64Process", VISIBLE_C, COLOURED, 0, MERGED_32, "flag stays 0: 32-bit view"},
    {UNHIDE_C, "CreateMutexA", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock: the key is not even opened"},
    {UNHIDE_C, "WaitForSingleObject", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "lock not had: nothing read or written"},
    {UNHIDE_C, "ConvertStringSecurityDescriptorToSecurityDescriptorA", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "no lock without its access list"},
    {UNHIDE_C, "GetKernelObjectSecurity", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {UNHIDE_C, "GetSecurityDescriptorOwner", UNHIDE_FAILED, COLOURED, 1, NOT_OPENED, "the lock's owner unknown: not trusted"},
    {UNHIDE_C, "RegCreateKeyExA", UNHIDE_FAILED, COLOURED, 1, KEPT, "no key, no write"},
    {UNHIDE_C, "RegQueryValueExA", UNHIDE_FAILED, COLOURED, 1, KEPT, "stored value unknown: not overwritten"},
    {UNHIDE_C, "RegDeleteValueA", UNHIDE_FAILED, COLOURED, 1, KEPT, "removal refused: 0x04 stays"},
    {UNHIDE_C, "GetConsoleMode", VISIBLE_C, COLOURED, 0, MERGED_64, "no console seen: the console's code page, through the C runtime"},
    {UNHIDE_C, "LoadLibraryA", VISIBLE_C, COLOURED, 0, MERGED_64, "removed; the change goes unannounced"},

    // -L
    {LIST, "", TABLE, COLOURED, 0, READ_64, "reference run"},
    {LIST, "GetStdHandle", TABLE, NO_COLOURS, 0, READ_64, "no console handle: plain text"},
    {LIST, "GetConsoleScreenBufferInfo", TABLE, FALLBACK_15, 0, READ_64, "colour reads as 15"},
    {LIST, "SetConsoleTextAttribute", TABLE, NO_COLOURS, 0, READ_64, "plain text"},
    {LIST, "GetModuleHandleA", TABLE, COLOURED, 0, READ_32, "WOW64 unknown: 32-bit view"},
    {LIST, "GetProcAddress", TABLE, COLOURED, 0, READ_32, "as on a system without WOW64"},
    {LIST, "IsWow64Process", TABLE, COLOURED, 0, READ_32, "flag stays 0: 32-bit view"},
    {LIST, "RegOpenKeyExA", TABLE_ALL_VISIBLE, COLOURED, 0, READ_64, "mask unread: all Visible"},
    {LIST, "RegQueryValueExA", TABLE_ALL_VISIBLE, COLOURED, 0, READ_64, "mask unread: all Visible"},
    {LIST, "GetLogicalDrives", TABLE_EMPTY, COLOURED, 0, READ_64, "no drive reported"},
    {LIST, "GetDriveTypeA", TABLE_TYPES_UNKNOWN, COLOURED, 0, READ_64, "type 0: Unknown"},
    {LIST, "GetVolumeInformationW", TABLE_NO_VOLUMES, COLOURED, 0, READ_64, "fallback names"},
    {LIST, "WaitForSingleObject", TABLE_UNANSWERED, COLOURED, 0, READ_64, "no query known to be over: none read"},
    {LIST, "GetConsoleMode", TABLE, COLOURED, 0, READ_64, "no console seen: the console's code page, through the C runtime"},

    // No argument, PROMPT absent (started by a double-click)
    {NO_ARGUMENT_NO_PROMPT, "", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "reference run"},
    {NO_ARGUMENT_NO_PROMPT, "GetStdHandle", NOTICE_NO_WAIT, NO_COLOURS, 0, NOT_OPENED, "plain text; no input handle, no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleScreenBufferInfo", USAGE_AND_NOTICE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {NO_ARGUMENT_NO_PROMPT, "SetConsoleTextAttribute", USAGE_AND_NOTICE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_NO_PROMPT, "GetModuleHandleA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_NO_PROMPT, "GetProcAddress", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "IsWow64Process", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_NO_PROMPT, "GetEnvironmentVariableA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "same as absent"},
    {NO_ARGUMENT_NO_PROMPT, "_getch", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "the key read ends the wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleMode", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "input not known to be a console: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleProcessList", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "console may be shared: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetConsoleWindow", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "no window: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "LoadLibraryA", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetProcessWindowStation", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},
    {NO_ARGUMENT_NO_PROMPT, "GetUserObjectInformationW", NOTICE_NO_WAIT, COLOURED, 0, NOT_OPENED, "window station unknown: no wait"},

    // No argument at a command prompt (PROMPT set)
    {NO_ARGUMENT_AT_PROMPT, "", USAGE, COLOURED, 0, NOT_OPENED, "reference run"},
    {NO_ARGUMENT_AT_PROMPT, "GetStdHandle", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_AT_PROMPT, "GetConsoleScreenBufferInfo", USAGE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {NO_ARGUMENT_AT_PROMPT, "SetConsoleTextAttribute", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {NO_ARGUMENT_AT_PROMPT, "GetModuleHandleA", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "GetProcAddress", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "IsWow64Process", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {NO_ARGUMENT_AT_PROMPT, "GetEnvironmentVariableA", USAGE_AND_NOTICE, COLOURED, 0, NOT_OPENED, "read as absent: waits for a key"},
    {NO_ARGUMENT_AT_PROMPT, "GetConsoleMode", USAGE, COLOURED, 0, NOT_OPENED, "the console's code page, through the C runtime"},

    // -?
    {HELP, "", USAGE, COLOURED, 0, NOT_OPENED, "reference run"},
    {HELP, "GetStdHandle", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {HELP, "GetConsoleScreenBufferInfo", USAGE, FALLBACK_15, 0, NOT_OPENED, "colour reads as 15"},
    {HELP, "SetConsoleTextAttribute", USAGE, NO_COLOURS, 0, NOT_OPENED, "plain text"},
    {HELP, "GetModuleHandleA", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "GetProcAddress", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "IsWow64Process", USAGE, COLOURED, 0, NOT_OPENED, "no registry use"},
    {HELP, "GetConsoleMode", USAGE, COLOURED, 0, NOT_OPENED, "the console's code page, through the C runtime"},
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
    case HIDE_D_REFUSED:
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
                                        "NoArgumentAtPrompt", "Help", "HideDRefused"};
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
    if (command == HIDE_D_REFUSED)
        standin::SetValue(standin::kPolicyKey, "NoDrives", REG_SZ, {'C', 0});
    else
        StoreNoDrives(kStoredMask);
    standin::SetDword(standin::kPolicyKey, kOtherValue, 0x08);
    machine.drives[2] = standin::Drive{DRIVE_FIXED, "System", "NTFS", true};
    machine.drives[3] = standin::Drive{DRIVE_CDROM, "", "", false, true};  // no disc
    machine.drives[4] = standin::Drive{DRIVE_REMOVABLE, "STICK", "FAT32", true};
}

// The listings other than the reference one, after the banner: the stand-in
// machine's drives as a failure leaves them, written out.
std::string TableText(Screen screen)
{
    switch (screen) {
    case TABLE:
        return kStandInListing;
    case TABLE_ALL_VISIBLE:
        return kListingHeader +
               "\n\n C:\\        System                 Local Disk             NTFS              Visible"
               "\n\n D:\\        BD-ROM Drive           CD/DVD Drive                             Visible"
               "\n\n E:\\        STICK                  Removable Disk         FAT32             Visible"
               "\n\n";
    case TABLE_TYPES_UNKNOWN:
        return kListingHeader +
               "\n\n C:\\        System                 Unknown                NTFS              Hidden"
               "\n\n D:\\                               Unknown                                  Visible"
               "\n\n E:\\        STICK                  Unknown                FAT32             Visible"
               "\n\n";
    case TABLE_NO_VOLUMES:
    case TABLE_UNANSWERED:
        return kListingHeader +
               "\n\n C:\\        Local Disk             Local Disk                               Hidden"
               "\n\n D:\\        BD-ROM Drive           CD/DVD Drive                             Visible"
               "\n\n E:\\                               Removable Disk                           Visible"
               "\n\n" + (screen == TABLE_UNANSWERED ? UnansweredLine("C:, D:, E:") : "");
    default:
        return kListingHeader + "\n\n";
    }
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
        return kBanner + TableText(screen);
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

// The text of a run shown in red.
std::string RedTextOf(const RunResult &run)
{
    std::string red;
    for (const Segment &segment : run.output)
        if (segment.attribute == BRIGHT_RED)
            red += segment.text;
    return red;
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
    int redRuns = (int)std::count_if(run.output.begin(), run.output.end(),
                                     [](const Segment &segment) { return segment.attribute == BRIGHT_RED; });
    switch (row.colours) {
    case COLOURED:
    case FALLBACK_15:
        EXPECT_EQ(RedTextOf(run), RedText(row.screen));
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

    bool announced = (row.screen == HIDDEN_D || row.screen == VISIBLE_C) &&
                     std::string(row.function) != "LoadLibraryA";
    EXPECT_TRUE(NothingLeftOpen({row.function}, announced));
    if (std::string(row.function) == "ReleaseMutex") {
        EXPECT_EQ(machine().mutexOwned, 1) << "abandoned at exit";
    }

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

// The table covers every function each command calls, and nothing else,
// but for those whose failure changes nothing: the loop below fails them.
TEST_F(ToolTest, FaultMatrixCoversEveryFunctionEachCommandCalls)
{
    for (Command command : {HIDE_D, UNHIDE_C, LIST, NO_ARGUMENT_NO_PROMPT, NO_ARGUMENT_AT_PROMPT, HELP}) {
        PrepareMachine(command);
        RunTool(Arguments(command));
        std::set<std::string> called;
        for (const auto &function : machine().calls)
            if (!kNeverFail.count(function) && !kChangesNothing.count(function))
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


// ---------------------------------------------------------------------------
// Every call failed in turn: a run of a command fails its first call that can
// fail, the next run its second, and so on until a run meets no fault; once
// with that call alone failing, once with it and every later call failing.
// (Functions with no failure result are not counted.) After every run the
// same promises hold: nothing left open; the status is 0 or 1; a change is
// made whole or not at all, and status 0 means it was made; status 1 shows
// the red failure line and the reason; the keys are in the 64-bit view
// unless WOW64 could not be asked. And a run in which only calls failed that
// the tool can do without ends exactly as the run without a fault.

const std::set<std::string> kColourCalls = {"GetStdHandle", "SetConsoleTextAttribute"};

// What a run ended with, to compare with the run without a fault.
struct Outcome {
    RunResult run;
    KeyMap keys;
    WORD attribute;
    int keystrokes;
    std::vector<REGSAM> access;
};

Outcome RunWith(Command command, int failCall, standin::RunFailure how)
{
    PrepareMachine(command);
    standin::FailRunCall(failCall, how);
    Outcome outcome;
    outcome.run = RunTool(Arguments(command));
    const standin::Machine &m = standin::TheMachine();
    outcome.keys = m.keys;
    outcome.attribute = m.attribute;
    outcome.keystrokes = m.keystrokesRead;
    for (const auto &open : m.keyOpens)
        outcome.access.push_back(open.access);
    return outcome;
}

bool StartsWith(const std::string &text, const std::string &start)
{
    return text.compare(0, start.size(), start) == 0;
}

// The screens the command may end on, whatever failed: its text and status.
::testing::AssertionResult ScreenKeepsItsPromises(Command command, const RunResult &run)
{
    const std::string &text = run.text;
    bool drive = command == HIDE_D || command == UNHIDE_C || command == HIDE_D_REFUSED;
    bool hide = command != UNHIDE_C;
    const char *echo = command == UNHIDE_C ? "C" : "D";
    bool promised = false;
    switch (command) {
    case HELP:
        promised = run.status == 0 && text == ScreenText(USAGE);
        break;
    case NO_ARGUMENT_AT_PROMPT:  // PROMPT unread reads as absent
    case NO_ARGUMENT_NO_PROMPT:
        promised = run.status == 0 &&
                   ((text == ScreenText(USAGE) && command == NO_ARGUMENT_AT_PROMPT) ||
                    text == ScreenText(USAGE_AND_NOTICE) || text == ScreenText(NOTICE_NO_WAIT));
        break;
    case LIST: {
        // The banner, header and rule, any rows, the closing blank line.
        const std::string empty = ScreenText(TABLE_EMPTY);
        promised = run.status == 0 && StartsWith(text, empty.substr(0, empty.size() - 2)) &&
                   text.size() >= empty.size() && text.compare(text.size() - 2, 2, "\n\n") == 0;
        break;
    }
    default:
        if (drive && run.status == 0)
            promised = text == kBanner + Announcement(hide, echo) + SuccessLine(hide, echo) + kNote;
        else if (drive && run.status == 1)
            promised = StartsWith(text, kBanner + Announcement(hide, echo) + FailureText(hide) + kReason) &&
                       text.back() == '\n';
        break;
    }
    if (promised)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << run.status << ", screen:\n" << text;
}

using LoopCase = std::tuple<Command, standin::RunFailure>;

class EveryCallFailedInTurn : public ToolTest, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(EveryCallFailedInTurn, KeepsThePromisesOfItsScreens)
{
    const Command command = std::get<0>(GetParam());
    const standin::RunFailure how = std::get<1>(GetParam());
    const Outcome reference = RunWith(command, 0, how);
    ASSERT_TRUE(standin::TheMachine().failedInRun.empty());
    PrepareMachine(command);
    const KeyMap before = machine().keys;
    KeyMap changed = reference.keys;  // the whole change, as the run without a fault made it
    bool canChange = command == HIDE_D || command == UNHIDE_C;

    for (int n = 1;; ++n) {
        Outcome outcome = RunWith(command, n, how);
        const standin::Machine &m = machine();
        if (m.failedInRun.empty())
            break;  // the run met no fault: every call has had its turn
        std::set<std::string> failed(m.failedInRun.begin(), m.failedInRun.end());
        SCOPED_TRACE(std::string(CommandName(command)) + ", call " + std::to_string(n) + " (" +
                     m.failedInRun[0] + ") failed" +
                     (how == standin::ONCE ? " once" : ", and " + std::to_string(m.failedInRun.size() - 1) +
                                                           " calls after it"));
        const RunResult &run = outcome.run;

        bool made = canChange && Same(outcome.keys, changed);
        EXPECT_TRUE(NothingLeftOpen(failed, made && !failed.count("LoadLibraryA")));
        EXPECT_TRUE(ScreenKeepsItsPromises(command, run));
        EXPECT_TRUE(Same(outcome.keys, run.status == 0 && canChange ? changed : before))
            << "status " << run.status << ", registry now:\n" << Describe(outcome.keys);
        // WOW64 asked and answered: every key in the 64-bit view.
        bool view64 = m.wow64Calls > 0 && !failed.count("IsWow64Process");
        for (REGSAM access : outcome.access)
            EXPECT_EQ((access & KEY_WOW64_64KEY) != 0, view64);
        bool coloursKept = std::none_of(kColourCalls.begin(), kColourCalls.end(),
                                        [&](const std::string &f) { return failed.count(f) != 0; });
        if (coloursKept) {
            EXPECT_TRUE(outcome.attribute == kStartAttribute ||
                        (outcome.attribute == 15 && failed.count("GetConsoleScreenBufferInfo")))
                << "the console ends at " << outcome.attribute;
            size_t failureLine = run.text.find(FailureText(command != UNHIDE_C));
            if (run.status == 1 && failureLine != std::string::npos) {
                EXPECT_EQ(RedTextOf(run), run.text.substr(failureLine)) << "the failure line and reason in red";
            }
        }

        if (std::all_of(failed.begin(), failed.end(),
                        [](const std::string &f) { return kChangesNothing.count(f) != 0; })) {
            EXPECT_EQ(run.text, reference.run.text);
            EXPECT_EQ(RedTextOf(run), RedTextOf(reference.run));
            EXPECT_EQ(run.status, reference.run.status);
            EXPECT_EQ(outcome.attribute, reference.attribute);
            EXPECT_EQ(outcome.keystrokes, reference.keystrokes);
            EXPECT_EQ(outcome.access, reference.access);
        }
        if (HasFailure())
            break;  // the first run that breaks a promise is the one to look at
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, EveryCallFailedInTurn,
                         ::testing::Combine(::testing::Values(HELP, LIST, HIDE_D, UNHIDE_C,
                                                              NO_ARGUMENT_NO_PROMPT,
                                                              NO_ARGUMENT_AT_PROMPT, HIDE_D_REFUSED),
                                            ::testing::Values(standin::ONCE, standin::FROM_THEN_ON)),
                         [](const ::testing::TestParamInfo<LoopCase> &info) {
                             return std::string(CommandName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == standin::ONCE ? "_Once" : "_FromThenOn");
                         });

// ---------------------------------------------------------------------------
// Ctrl+C or Ctrl+Break typed at every call in turn: a run of a command gets
// the event at its first call that can fail, the next run at its second, and
// so on until a run ends before the event's turn; on a console, and with the
// output redirected. After every run: the status is STATUS_CONTROL_C_EXIT,
// the console is at its starting attribute, the change is whole or absent,
// and the text is the run's text without a fault up to where it was stopped
// (a -H or -U stopped in its lock wait has shown its announcement).

enum Output { ON_CONSOLE, REDIRECTED };
using InterruptCase = std::tuple<Command, DWORD, Output>;

class InterruptedAtEveryCall : public ToolTest, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptedAtEveryCall, EndsWithTheStartingColoursAndTheStatusOfAnInterrupt)
{
    const Command command = std::get<0>(GetParam());
    const DWORD event = std::get<1>(GetParam());
    auto prepare = [&](int call) {
        PrepareMachine(command);
        machine().stdoutIsConsole = std::get<2>(GetParam()) == ON_CONSOLE;
        standin::InterruptRunCall(call, event);
    };
    prepare(0);
    const KeyMap before = machine().keys;
    const RunResult reference = RunTool(Arguments(command));
    const KeyMap changed = machine().keys;
    const bool drive = command == HIDE_D || command == UNHIDE_C || command == HIDE_D_REFUSED;

    for (int n = 1;; ++n) {
        prepare(n);
        RunResult run = RunTool(Arguments(command));
        const standin::Machine &m = machine();
        if (m.interruptedAt.empty())
            break;  // the run ended before its call n
        SCOPED_TRACE(std::string(CommandName(command)) + ", event at call " + std::to_string(n) +
                     " (" + m.interruptedAt + ")");
        EXPECT_EQ((DWORD)run.status, STATUS_CONTROL_C_EXIT);
        EXPECT_EQ(m.attribute, kStartAttribute) << "the console ends at " << m.attribute;
        EXPECT_TRUE(Same(m.keys, before) || Same(m.keys, changed)) << "registry now:\n"
                                                                   << Describe(m.keys);
        EXPECT_TRUE(StartsWith(reference.text, run.text)) << "stopped with:\n" << run.text;
        if (drive && m.interruptedAt == "WaitForSingleObject" && m.waitTimeouts.size() == 1) {
            EXPECT_EQ(run.text, kBanner + Announcement(command != UNHIDE_C, command == UNHIDE_C ? "C" : "D"));
        }
        if (HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, InterruptedAtEveryCall,
                         ::testing::Combine(::testing::Values(HELP, LIST, HIDE_D, UNHIDE_C,
                                                              NO_ARGUMENT_NO_PROMPT,
                                                              NO_ARGUMENT_AT_PROMPT, HIDE_D_REFUSED),
                                            ::testing::Values((DWORD)CTRL_C_EVENT, (DWORD)CTRL_BREAK_EVENT),
                                            ::testing::Values(ON_CONSOLE, REDIRECTED)),
                         [](const ::testing::TestParamInfo<InterruptCase> &info) {
                             return std::string(CommandName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == CTRL_C_EVENT ? "_CtrlC" : "_CtrlBreak") +
                                    (std::get<2>(info.param) == ON_CONSOLE ? "_OnConsole" : "_Redirected");
                         });

// Ctrl+C in -H D's lock wait, with one call of the handler failing: the run
// still ends with STATUS_CONTROL_C_EXIT (the system's handler ends it when
// TerminateProcess fails), with the attribute and the text the row says. The
// console starts at 0x17 here, so that the colour of the wait (0x1F) shows.
enum Kept { TEXT_KEPT, ANNOUNCEMENT_LOST };
struct InterruptFaultRow {
    const char *function;  // "" for the handler without a fault
    WORD attribute;
    Kept text;             // redirected: what reaches the file
    const char *effect;
    bool readerStops = false;  // redirected output's reader stops as Ctrl+C comes
};

const InterruptFaultRow kInterruptRows[] = {
    {"", 0x17, TEXT_KEPT, "reference run"},
    {"GetStdHandle", 0x1F, TEXT_KEPT, "no console handle: the colour of the wait stays"},
    {"SetConsoleTextAttribute", 0x1F, TEXT_KEPT, "the colour of the wait stays"},
    {"CreateThread", 0x17, ANNOUNCEMENT_LOST, "no flushing thread: what was buffered is lost"},
    {"WaitForSingleObject", 0x17, TEXT_KEPT, "the flush is not waited for, but done"},
    {"TerminateProcess", 0x17, TEXT_KEPT, "the system's handler ends it, and flushes"},
    {"", 0x17, ANNOUNCEMENT_LOST, "the flush never returns: given up after a second", true},
};

// Runs -H D with Ctrl+C typed in its lock wait and the handler's first call
// of `function` failing. False when no run reached the wait.
bool InterruptLockWait(bool console, const char *function, RunResult *run, bool readerStops = false)
{
    standin::Machine &m = standin::TheMachine();
    auto runWith = [&](int call, int failedCall) {
        PrepareMachine(HIDE_D);
        m.attribute = 0x17;
        m.stdoutIsConsole = console;
        m.readerStopsAtInterrupt = readerStops;
        standin::InterruptRunCall(call, CTRL_C_EVENT);
        if (failedCall)
            standin::FailCall(function, failedCall);
        *run = RunTool(Arguments(HIDE_D));
    };
    for (int n = 1;; ++n) {
        runWith(n, 0);
        if (m.interruptedAt.empty())
            return false;
        if (m.interruptedAt != "WaitForSingleObject" || m.waitTimeouts.size() != 1)
            continue;
        if (*function)  // its calls before the handler's, and one more
            runWith(n, (int)std::count(m.calls.begin(), m.calls.begin() + m.callsBeforeInterrupt,
                                       function) + 1);
        return true;
    }
}

TEST_F(ToolTest, InterruptHandlerKeepsItsPromisesWhenOneOfItsCallsFails)
{
    for (const InterruptFaultRow &row : kInterruptRows) {
        SCOPED_TRACE(std::string(*row.function ? row.function : "no fault") + ": " + row.effect);
        RunResult run;
        ASSERT_TRUE(InterruptLockWait(true, row.function, &run));
        EXPECT_EQ((DWORD)run.status, STATUS_CONTROL_C_EXIT);
        EXPECT_EQ(machine().attribute, row.attribute);
        ASSERT_TRUE(InterruptLockWait(false, row.function, &run, row.readerStops));
        EXPECT_EQ((DWORD)run.status, STATUS_CONTROL_C_EXIT);
        EXPECT_LE(machine().tickCount - machine().interruptTick, 1016u) << "the handler waits a second at most";
        EXPECT_EQ(run.text, kBanner + (row.text == TEXT_KEPT ? Announcement(true, "D") : ""));
        EXPECT_TRUE(StoredNoDrivesIs(kStoredMask));
    }
    // The rows name every function the handler calls that can fail.
    RunResult run;
    ASSERT_TRUE(InterruptLockWait(true, "", &run));
    std::set<std::string> called, rows;
    const auto &calls = machine().calls;
    for (size_t i = machine().callsBeforeInterrupt; i < calls.size(); ++i)
        if (!kNeverFail.count(calls[i]))
            called.insert(calls[i]);
    for (const InterruptFaultRow &row : kInterruptRows)
        if (*row.function)
            rows.insert(row.function);
    EXPECT_EQ(rows, called);
}

}  // namespace
