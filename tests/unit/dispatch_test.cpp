// Start-up, the choice of command from the command line, and the end of a run.
#include "harness.h"

#include <algorithm>

#include "app/app.h"
#include "policy/policy.h"

using standin::CountCalls;
using standin::Segment;

namespace {


std::vector<Segment> UsageWith(const std::string &redText)
{
    std::vector<Segment> screen = UsageScreen();
    screen.push_back({BRIGHT_RED, redText});
    return screen;
}

// What a command line leads to.
enum Outcome {
    USAGE,                     // usage screen only, exit 0: help was asked for
    USAGE_NOT_UNDERSTOOD,      // usage screen only, exit 1
    USAGE_INVALID_PARAMETERS,  // usage + red "Invalid parameters", exit 1
    USAGE_NO_DRIVE,            // usage + red "Drive name is not specified", exit 1
    USAGE_INVALID_DRIVE,       // usage + red "Invalid drive name", exit 1
    LISTING,                   // the drive table, exit 0
    HIDE_D,                    // D hidden, exit 0
    UNHIDE_D,                  // D visible again, exit 0
};

struct DispatchCase {
    const char *name;
    std::vector<std::string> arguments;
    Outcome outcome;
};

void PrintTo(const DispatchCase &c, std::ostream *out) { *out << c.name; }

const DispatchCase kDispatchCases[] = {
    // One argument: only -l, in either case, lists.
    {"ListLower", {"-l"}, LISTING},
    {"ListUpper", {"-L"}, LISTING},
    {"SlashL", {"/L"}, LISTING},
    {"SlashLower", {"/l"}, LISTING},
    {"DashQuestion", {"-?"}, USAGE},
    {"SlashQuestion", {"/?"}, USAGE},
    {"ListWord", {"-list"}, USAGE_NOT_UNDERSTOOD},
    {"DashX", {"-x"}, USAGE_NOT_UNDERSTOOD},
    {"SlashX", {"/x"}, USAGE_NOT_UNDERSTOOD},
    {"EmptyArgument", {""}, USAGE_NOT_UNDERSTOOD},
    {"BareL", {"l"}, USAGE_NOT_UNDERSTOOD},
    {"BareQuestion", {"?"}, USAGE_NOT_UNDERSTOOD},
    {"DashOnly", {"-"}, USAGE_NOT_UNDERSTOOD},
    {"BackslashL", {"\\L"}, USAGE_NOT_UNDERSTOOD},
    {"ListTrailingBlank", {"-l "}, USAGE_NOT_UNDERSTOOD},
    {"HideWithoutDrive", {"-H"}, USAGE_NOT_UNDERSTOOD},
    {"UnhideWithoutDrive", {"/u"}, USAGE_NOT_UNDERSTOOD},
    // Bytes that fold onto the switch letters if case folding masks bits or
    // goes beyond ASCII.
    {"ListHighBitLower", {"-\xEC"}, USAGE_NOT_UNDERSTOOD},
    {"ListHighBitUpper", {"/\xCC"}, USAGE_NOT_UNDERSTOOD},
    {"ListAllHighBits", {"\xAD\xCC"}, USAGE_NOT_UNDERSTOOD},
    // Two arguments: hide or unhide, the switch in either case, after - or /.
    {"HideLowerColon", {"-h", "d:"}, HIDE_D},
    {"HideUpperRoot", {"-H", "D:\\"}, HIDE_D},
    {"HideWord", {"-H", "Data"}, HIDE_D},
    {"HideLetter", {"-h", "d"}, HIDE_D},
    {"UnhideLowerColon", {"-u", "d:"}, UNHIDE_D},
    {"UnhideUpperRoot", {"-U", "D:\\"}, UNHIDE_D},
    {"UnhideWord", {"-U", "Data"}, UNHIDE_D},
    {"SlashH", {"/H", "d:"}, HIDE_D},
    {"SlashUnhideLower", {"/u", "D:\\"}, UNHIDE_D},
    {"HideEmptyDrive", {"-h", ""}, USAGE_NO_DRIVE},
    {"UnhideEmptyDrive", {"-U", ""}, USAGE_NO_DRIVE},
    {"HideDigitDrive", {"-H", "1:"}, USAGE_INVALID_DRIVE},
    {"UnhideSignDrive", {"-u", "-d"}, USAGE_INVALID_DRIVE},
    // Any other switch: usage only, the second argument never looked at.
    {"ListWithWord", {"-L", "word"}, USAGE_NOT_UNDERSTOOD},
    {"ListWithEmpty", {"/L", ""}, USAGE_NOT_UNDERSTOOD},
    {"UnknownWithEmpty", {"-x", ""}, USAGE_NOT_UNDERSTOOD},
    {"HelpWithDrive", {"-?", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"HideSpelledOut", {"-hide", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"HideAndUnhide", {"-HU", "D"}, USAGE_NOT_UNDERSTOOD},
    {"DriveFirst", {"d:", "-H"}, USAGE_NOT_UNDERSTOOD},
    {"HideHighBitUpper", {"-\xC8", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"HideHighBitLower", {"-\xE8", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"UnhideHighBitUpper", {"/\xD5", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"UnhideHighBitLower", {"-\xF5", "d:"}, USAGE_NOT_UNDERSTOOD},
    {"HideAllHighBits", {"\xAD\xC8", "d:"}, USAGE_NOT_UNDERSTOOD},
    // Three arguments and more.
    {"HideWithExtra", {"-H", "d:", "x"}, USAGE_INVALID_PARAMETERS},
    {"ThreeEmpty", {"", "", ""}, USAGE_INVALID_PARAMETERS},
    {"ListThrice", {"-L", "-L", "-L"}, USAGE_INVALID_PARAMETERS},
    {"FourArguments", {"-U", "d:", "-H", "e:"}, USAGE_INVALID_PARAMETERS},
    {"TenArguments", std::vector<std::string>(10, "-?"), USAGE_INVALID_PARAMETERS},
};

class DispatchTest : public ToolTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchTest, RunsTheCommandItsArgumentsName)
{
    const DispatchCase &c = GetParam();
    // Without PROMPT any path that wrongly waited for a key would show it.
    machine().environment.erase("PROMPT");
    machine().drives[2] = standin::Drive{};
    const DWORD before = c.outcome == UNHIDE_D ? 0xC : 0x4;
    StoreNoDrives(before);

    RunResult run = RunTool(c.arguments);

    EXPECT_EQ(machine().keystrokesRead, 0);
    EXPECT_EQ(machine().attribute, 7);
    EXPECT_TRUE(machine().openKeys.empty());
    std::string echo = c.arguments.size() > 1 ? c.arguments[1] : "";
    if (!echo.empty() && echo[0] >= 'a' && echo[0] <= 'z')
        echo[0] = (char)(echo[0] - 'a' + 'A');

    switch (c.outcome) {
    case USAGE:
    case USAGE_NOT_UNDERSTOOD:
    case USAGE_INVALID_PARAMETERS:
    case USAGE_NO_DRIVE:
    case USAGE_INVALID_DRIVE: {
        static const std::string kRed[] = {"", "", kInvalidParameters, kDriveNotSpecified,
                                           kInvalidDriveName};
        const std::string &red = kRed[c.outcome];
        EXPECT_EQ(run.output, red.empty() ? UsageScreen() : UsageWith(red));
        EXPECT_EQ(run.status, c.outcome == USAGE ? 0 : 1);
        EXPECT_TRUE(machine().keyOpens.empty());
        EXPECT_EQ(CountCalls("GetLogicalDrives"), 0);
        EXPECT_TRUE(StoredNoDrivesIs(before));
        break;
    }
    case LISTING:
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(CountCalls("GetLogicalDrives"), 1);
        EXPECT_EQ(run.text.rfind(kBanner, 0), 0u);
        EXPECT_NE(run.text.find("\n\n C:\\ "), std::string::npos);
        EXPECT_EQ(run.text.find("Usage:"), std::string::npos);
        EXPECT_EQ(CountCalls("RegCreateKeyExA") + CountCalls("RegSetValueExA"), 0);
        EXPECT_TRUE(StoredNoDrivesIs(before));
        break;
    case HIDE_D:
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(StoredNoDrivesIs(0xCu));
        EXPECT_EQ(run.text, kBanner + Announcement(true, echo) + SuccessLine(true, echo) + kNote);
        break;
    case UNHIDE_D:
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(StoredNoDrivesIs(0x4u));
        EXPECT_EQ(run.text, kBanner + Announcement(false, echo) + SuccessLine(false, echo) + kNote);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DispatchTest, ::testing::ValuesIn(kDispatchCases),
                         [](const ::testing::TestParamInfo<DispatchCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(ToolTest, NoArgumentVectorAtAllIsInvalidParameters)
{
    machine().environment.erase("PROMPT");
    char *argv[] = {nullptr};
    RunResult run = Capture([&] { return RunCommandLine(0, argv); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, UsageWith(kInvalidParameters));
    EXPECT_EQ(machine().keystrokesRead, 0);
    EXPECT_TRUE(machine().keyOpens.empty());
}

// The usage screen of a bare start shows the notice outside a prompt, and
// waits for a key, and asks for one, only when someone can press one.
enum Notice { NO_NOTICE, NOTICE_NO_WAIT, NOTICE_AND_WAIT };

struct PromptCase {
    const char *name;
    bool present;
    std::string value;
    Notice notice;
    void (*setUp)(standin::Machine &);  // the console the run finds
};

void PrintTo(const PromptCase &c, std::ostream *out) { *out << c.name; }

class PromptTest : public ToolTest, public ::testing::WithParamInterface<PromptCase> {};

TEST_P(PromptTest, WaitsForOneKeyOnlyWhenPromptIsAbsentOrEmpty)
{
    const PromptCase &c = GetParam();
    machine().environment.erase("PROMPT");
    if (c.present)
        machine().environment["PROMPT"] = c.value;
    if (c.setUp)
        c.setUp(machine());
    machine().keysPressed = {'q', 'x'};

    RunResult run = RunTool({});

    EXPECT_EQ(run.status, 0);
    const bool waits = c.notice == NOTICE_AND_WAIT;
    const std::vector<Segment> screen =
        c.notice == NO_NOTICE ? UsageScreen() : UsageWith(waits ? kNotFromPrompt : kNotFromPromptNoWait);
    if (machine().stdoutIsConsole) {
        EXPECT_EQ(run.output, screen);
        EXPECT_EQ(machine().attribute, 7);
    } else {
        EXPECT_EQ(run.text, standin::TextOf(screen));
    }
    EXPECT_EQ(machine().keystrokesRead, waits ? 1 : 0);
    EXPECT_EQ(machine().keysPressed.size(), waits ? 1u : 2u);
    EXPECT_EQ(machine().librariesLoaded, 0);
    // The key is read after everything was shown, before the colour goes back.
    if (waits) {
        const auto &calls = machine().calls;
        auto key = std::find(calls.begin(), calls.end(), "_getch");
        EXPECT_EQ(std::find(key, calls.end(), "SetConsoleTextAttribute"), calls.end() - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, PromptTest,
    ::testing::Values(
        PromptCase{"Set", true, "$P$G", NO_NOTICE, nullptr},
        PromptCase{"OneCharacter", true, "x", NO_NOTICE, nullptr},
        PromptCase{"LongerThanBuffer", true, std::string(300, 'p'), NO_NOTICE, nullptr},
        PromptCase{"Absent", false, "", NOTICE_AND_WAIT, nullptr},
        PromptCase{"Empty", true, "", NOTICE_AND_WAIT, nullptr},
        // No PROMPT, but nobody to press a key: show the notice and end.
        PromptCase{"InputRedirected", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) { m.stdinIsConsole = false; }},
        PromptCase{"ConsoleShared", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) { m.consoleProcesses = 2; }},
        PromptCase{"NoConsoleAtAll", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) {
                       m.hasConsole = m.stdinIsConsole = m.stdoutIsConsole = false;
                   }},
        PromptCase{"HiddenConsole", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) { m.consoleWindow = false; }},
        PromptCase{"StartedHidden", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) { m.startedHidden = true; }},
        PromptCase{"InvisibleWindowStation", false, "", NOTICE_NO_WAIT,
                   [](standin::Machine &m) { m.windowStationVisible = false; }},
        PromptCase{"OutputRedirectedAlone", false, "", NOTICE_AND_WAIT,
                   [](standin::Machine &m) { m.stdoutIsConsole = false; }}),
    [](const ::testing::TestParamInfo<PromptCase> &info) { return info.param.name; });

// Start-up.

std::vector<std::string> CallsWithout(std::initializer_list<const char *> ignored)
{
    std::vector<std::string> calls;
    for (const auto &call : standin::TheMachine().calls)
        if (std::find(ignored.begin(), ignored.end(), call) == ignored.end())
            calls.push_back(call);
    return calls;
}

TEST_F(ToolTest, StartUpReadsTheAttributeThenEnablesThePrivilegeThenChecksWow64)
{
    machine().errorMode = 0x0002;  // SEM_NOGPFAULTERRORBOX, from the parent
    RunTool({"-H", "d:"});
    std::vector<std::string> calls = CallsWithout({"GetStdHandle", "GetCurrentProcess"});
    std::vector<std::string> expected = {
        "GetConsoleScreenBufferInfo", "GetConsoleMode",   "SetConsoleCtrlHandler",
        "OpenProcessToken",           "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle",
        "GetModuleHandleA",           "GetProcAddress",   "IsWow64Process",
        "SetErrorMode",               "SetErrorMode"};
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + expected.size()), expected);
    EXPECT_EQ(machine().errorMode, (UINT)(0x0002 | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
}

TEST_F(ToolTest, DebugPrivilegeIsEnabledAloneAndTheTokenClosed)
{
    RunTool({"-?"});
    const standin::Machine &m = machine();
    EXPECT_EQ(m.tokenAccess, 0xF01FFu);
    EXPECT_EQ(m.privilegeLookedUp, "SeDebugPrivilege");
    EXPECT_TRUE(m.privilegeSystemNameNull);
    EXPECT_EQ(m.adjustCalls, 1);
    EXPECT_EQ(m.adjustedState.PrivilegeCount, 1u);
    EXPECT_EQ(m.adjustedState.Privileges[0].Luid.LowPart, 20u);  // what the stand-in's lookup gives
    EXPECT_EQ(m.adjustedState.Privileges[0].Luid.HighPart, 0);
    EXPECT_EQ(m.adjustedState.Privileges[0].Attributes, (DWORD)SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(m.adjustDisableAll, FALSE);
    EXPECT_EQ(m.adjustBufferLength, 0u);
    EXPECT_TRUE(m.adjustPreviousNull);
    EXPECT_TRUE(m.adjustReturnLengthNull);
    EXPECT_EQ(m.handlesOpened, 1);
    EXPECT_TRUE(m.openHandles.empty());
}

// A privilege step that fails stops the later steps, closes what was opened,
// says nothing and changes nothing else.
TEST_F(ToolTest, PrivilegeFailuresAreSilent)
{
    struct {
        const char *failing;
        int lookups, adjusts, closes;
    } const cases[] = {
        {"OpenProcessToken", 0, 0, 0},
        {"LookupPrivilegeValueA", 1, 0, 1},
        {"AdjustTokenPrivileges", 1, 1, 1},
        {"CloseHandle", 1, 1, 1},
    };
    standin::Reset();
    StoreNoDrives(0x4);
    const RunResult reference = RunTool({"-H", "d:"});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.failing);
        standin::Reset();
        StoreNoDrives(0x4);
        standin::Fail(c.failing);
        RunResult run = RunTool({"-H", "d:"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, reference.output);
        EXPECT_TRUE(StoredNoDrivesIs(0xCu));
        EXPECT_EQ(CountCalls("LookupPrivilegeValueA"), c.lookups);
        EXPECT_EQ(CountCalls("AdjustTokenPrivileges"), c.adjusts);
        EXPECT_EQ(CountCalls("CloseHandle"), c.closes + 2)
            << "the token's, the update lock's, then the announcing thread's";
        if (std::string(c.failing) != "CloseHandle") {
            EXPECT_TRUE(machine().openHandles.empty());
        }
    }
}

// The registry view follows IsWow64Process, which may be missing.
TEST_F(ToolTest, RegistryViewFollowsIsWow64Process)
{
    struct {
        const char *name;
        standin::Wow64Support support;
        const char *failing;
        int flag, wow64Calls;
    } const cases[] = {
        {"absent", standin::WOW64_FUNCTION_ABSENT, nullptr, 0, 0},
        {"false", standin::WOW64_FALSE, nullptr, 0, 1},
        {"true", standin::WOW64_TRUE, nullptr, 1, 1},
        {"no kernel32 handle", standin::WOW64_TRUE, "GetModuleHandleA", 0, 0},
        {"IsWow64Process fails", standin::WOW64_TRUE, "IsWow64Process", 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        standin::Reset();
        machine().wow64 = c.support;
        if (c.failing)
            standin::Fail(c.failing);
        RunResult run = RunTool({"-H", "e:"});

        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(machine().wow64Calls, c.wow64Calls);
        EXPECT_EQ(machine().moduleLookedUp, "kernel32.dll");
        ASSERT_EQ(machine().keyOpens.size(), 1u);
        EXPECT_EQ(machine().keyOpens[0].access, c.flag ? 0xF013Fu : 0xF003Fu);
        EXPECT_TRUE(StoredNoDrivesIs(0x10u));

        standin::Reset();
        machine().wow64 = c.support;
        if (c.failing)
            standin::Fail(c.failing);
        EXPECT_EQ(DetectWow64(), c.flag);
        if (c.support != standin::WOW64_TRUE || c.wow64Calls) {
            EXPECT_EQ(machine().procedureLookedUp, "IsWow64Process");
        }
    }
}

}  // namespace
