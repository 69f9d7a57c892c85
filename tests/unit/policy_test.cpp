// The NoDrives mask in the registry and the hide and unhide commands.
#include "harness.h"

#include <algorithm>
#include <set>

#include "policy/policy.h"

using standin::CountCalls;
using standin::RegistryValue;
using standin::Segment;

namespace {

const char kReadSubkey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const char kWriteSubkey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

std::vector<BYTE> Le32(DWORD value)
{
    return {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)};
}

std::vector<BYTE> Bytes(const std::string &text) { return {text.begin(), text.end()}; }

// The screen of -H/-U for the echoed drive argument; a failure ends with the
// reason. `restored` is the attribute ShowBanner puts back (the starting one
// with the intensity bit).
std::vector<Segment> DriveScreen(bool hide, const std::string &echo, bool succeeded, WORD restored,
                                 const std::string &reason = "")
{
    std::vector<Segment> screen = {{BRIGHT_WHITE, kBanner}};
    if (succeeded) {
        screen.push_back({restored, Announcement(hide, echo) + SuccessLine(hide, echo)});
        screen.push_back({BRIGHT_WHITE, kNote});
    } else {
        screen.push_back({restored, Announcement(hide, echo)});
        screen.push_back({BRIGHT_RED, FailureText(hide) + ReasonLine(reason)});
    }
    return standin::Merged(screen);
}

int RedSegments(const RunResult &run)
{
    int red = 0;
    for (const auto &segment : run.output)
        red += segment.attribute == BRIGHT_RED;
    return red;
}

// Merging one drive's bit into what is stored.
struct MergeCase {
    const char *name;
    bool present;
    DWORD type;
    std::vector<BYTE> data;
    std::vector<std::string> command;
    DWORD expected;
    standin::MutexState lock = standin::MUTEX_FREE;
    standin::LockMaker maker = standin::LOCK_NONE;
    bool holderEnds = false;
};

void PrintTo(const MergeCase &c, std::ostream *out) { *out << c.name; }

const MergeCase kMergeCases[] = {
    {"AbsentHideE", false, 0, {}, {"-H", "E"}, 0x10},
    {"UnhideLowerD", true, REG_DWORD, Le32(0x0C), {"-U", "d"}, 0x04},
    {"HideAlreadyHidden", true, REG_DWORD, Le32(0x0C), {"-H", "C"}, 0x0C},
    // Nothing left hidden: the value is removed (absent stays absent), so
    // that each user's own policy applies again.
    {"AbsentUnhideC", false, 0, {}, {"-U", "C"}, 0},
    {"UnhideLastHidden", true, REG_DWORD, Le32(0x04), {"-U", "c:"}, 0},
    {"ZeroUnhide", true, REG_DWORD, Le32(0), {"-U", "Q"}, 0},
    {"BinaryUnhideLast", true, REG_BINARY, {0x08}, {"/U", "d"}, 0},
    {"AllBitsUnhideA", true, REG_DWORD, Le32(0xFFFFFFFF), {"-U", "A"}, 0xFFFFFFFE},
    {"SpareBitsHideA", true, REG_DWORD, Le32(0xFC000000), {"-H", "a:"}, 0xFC000001},
    {"SpareBitsHideZ", true, REG_DWORD, Le32(0xFC000000), {"-H", "z:\\"}, 0xFE000000},
    {"SpareBitsUnhideZ", true, REG_DWORD, Le32(0xFE000000), {"-U", "Z"}, 0xFC000000},
    {"SpareBitsUnhideVisible", true, REG_DWORD, Le32(0xFC000004), {"-U", "D"}, 0xFC000004},
    {"BinaryFourBytes", true, REG_BINARY, {0x04, 0x00, 0x00, 0x80}, {"-H", "D"}, 0x8000000C},
    {"BinaryTwoBytes", true, REG_BINARY, {0x04, 0x01}, {"-U", "i"}, 0x04},
    {"BinaryOneByte", true, REG_BINARY, {0x04}, {"-H", "D"}, 0x0C},
    {"BinaryEmpty", true, REG_BINARY, {}, {"-H", "D"}, 0x08},
    {"DwordThreeBytes", true, REG_DWORD, {0x00, 0x00, 0x80}, {"-H", "B"}, 0x800002},
    {"DwordEmpty", true, REG_DWORD, {}, {"-H", "D"}, 0x08},
    // A copy killed while holding the update lock left it abandoned: taken over.
    {"LockAbandoned", true, REG_DWORD, Le32(0x0C), {"-U", "c"}, 0x08, standin::MUTEX_ABANDONED},
    // A copy run as LocalSystem made the lock with its own default access:
    // opened to wait for it, and taken once it is free.
    {"LockOfLocalSystem", true, REG_DWORD, Le32(0x04), {"-H", "d"}, 0x0C, standin::MUTEX_FREE,
     standin::LOCK_LOCAL_SYSTEM},
    {"LockOfLocalSystemAbandoned", true, REG_DWORD, Le32(0x04), {"-H", "d"}, 0x0C,
     standin::MUTEX_ABANDONED, standin::LOCK_LOCAL_SYSTEM},
    // ... which ended between our create and our open: made afresh.
    {"LockHolderEndsBetween", false, 0, {}, {"-H", "e"}, 0x10, standin::MUTEX_FREE,
     standin::LOCK_LOCAL_SYSTEM, true},
};

// The calls of the update, from taking the lock to closing its handle; a
// mask of 0 is removed instead of written.
std::vector<std::string> LockedUpdate(const char *write)
{
    return {"CreateMutexA", "WaitForSingleObject", "RegCreateKeyExA", "RegQueryValueExA",
            write,          "RegCloseKey",         "ReleaseMutex",    "CloseHandle"};
}

class MergeTest : public ToolTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(MergeTest, WritesTheMergedMaskAsFourByteDword)
{
    const MergeCase &c = GetParam();
    if (c.present)
        standin::SetValue(standin::kPolicyKey, "NoDrives", c.type, c.data);
    machine().mutexState = c.lock;
    machine().lockMaker = c.maker;
    machine().lockHolderEndsBeforeOpen = c.holderEnds;
    machine().broadcastMilliseconds = 60000;  // windows slow to answer
    const DWORD start = machine().tickCount;

    RunResult run = RunTool(c.command);

    EXPECT_EQ(run.status, 0);
    const std::vector<std::string> noDrives = {"NoDrives"}, none;
    if (c.expected == 0) {
        EXPECT_FALSE(standin::HasValue(standin::kPolicyKey, "NoDrives"));
        EXPECT_EQ(machine().valuesDeleted, noDrives);
    } else {
        EXPECT_TRUE(StoredNoDrivesIs(c.expected));
        EXPECT_EQ(machine().valuesDeleted, none);
    }
    EXPECT_EQ(machine().valuesQueried, noDrives);
    EXPECT_EQ(machine().valuesSet, c.expected == 0 ? none : noDrives);
    EXPECT_TRUE(NothingLeftOpen({}, true));
    EXPECT_EQ(RedSegments(run), 0);

    // Read, merged and written under the machine-wide lock, which is then
    // released and closed; the wait for it is bounded.
    const std::vector<std::string> kLockedUpdate =
        LockedUpdate(c.expected == 0 ? "RegDeleteValueA" : "RegSetValueExA");
    std::vector<std::string> update;
    for (const auto &call : machine().calls)
        if (std::find(kLockedUpdate.begin(), kLockedUpdate.end(), call) != kLockedUpdate.end())
            update.push_back(call);
    // From the last try at creating the lock (a name that vanished is tried again).
    auto lastCreate = std::find(update.rbegin(), update.rend(), "CreateMutexA");
    ASSERT_NE(lastCreate, update.rend());
    auto from = lastCreate.base() - 1;
    ASSERT_GE(update.end() - from, (long)kLockedUpdate.size());
    EXPECT_EQ(std::vector<std::string>(from, from + kLockedUpdate.size()), kLockedUpdate);
    ASSERT_EQ(machine().mutexNames.size(), c.holderEnds ? 2u : 1u);
    EXPECT_EQ(machine().mutexNames[0].rfind("Global\\", 0), 0u) << "shared by every session";
    ASSERT_EQ(machine().waitTimeouts.size(), 1u);
    EXPECT_GE(machine().waitTimeouts[0], 1000u);
    EXPECT_LE(machine().waitTimeouts[0], 10000u);
    // The change announced once, as the ANSI "Policy" the shell looks for;
    // the run waits for it a second at most (and the clock's tick it ends
    // on), however slow the windows.
    ASSERT_EQ(machine().broadcasts.size(), 1u);
    const standin::Broadcast &sent = machine().broadcasts[0];
    EXPECT_EQ(sent.window, HWND_BROADCAST);
    EXPECT_EQ(sent.message, (UINT)WM_SETTINGCHANGE);
    EXPECT_EQ(sent.wParam, 0u);
    EXPECT_EQ(sent.text, "Policy");
    EXPECT_EQ(sent.flags, (UINT)SMTO_ABORTIFHUNG);
    EXPECT_LE(sent.timeout, 1000u) << "per window";
    EXPECT_LE(machine().tickCount - start, 1016u);
    // A lock we made belongs to Administrators, and only SYSTEM and
    // Administrators may open it: no other account can take or hold it.
    if (c.maker == standin::LOCK_NONE || c.holderEnds) {
        const standin::NamedObject &lock = machine().objects.at(machine().mutexNames[0]);
        EXPECT_EQ(lock.owner, "BA");
        std::set<std::string> allowed;
        for (const auto &ace : lock.dacl) {
            allowed.insert(ace.first);
            EXPECT_EQ(ace.second, (DWORD)MUTEX_ALL_ACCESS) << ace.first;
        }
        EXPECT_EQ(allowed, (std::set<std::string>{"SY", "BA"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Values, MergeTest, ::testing::ValuesIn(kMergeCases),
                         [](const ::testing::TestParamInfo<MergeCase> &info) {
                             return info.param.name;
                         });

TEST_F(ToolTest, EveryLetterInEitherCaseIsItsOwnBit)
{
    for (int i = 0; i < 26; ++i) {
        for (char base : {'A', 'a'}) {
            const std::string drive(1, (char)(base + i));
            SCOPED_TRACE(drive);
            standin::Reset();
            StoreNoDrives(0xFC000000);
            const RunResult hidden = RunTool({"-H", drive});
            EXPECT_EQ(hidden.status, 0);
            const std::string echo(1, (char)('A' + i));  // in upper case
            EXPECT_EQ(hidden.text, kBanner + Announcement(true, echo) + SuccessLine(true, echo) + kNote);
            EXPECT_TRUE(StoredNoDrivesIs(0xFC000000u | (1u << i)));
            EXPECT_EQ(RunTool({"-U", drive}).status, 0);
            EXPECT_TRUE(StoredNoDrivesIs(0xFC000000u));
        }
    }
}

TEST_F(ToolTest, HideCreatesTheMissingKeyAndItsParents)
{
    for (auto key = machine().keys.begin(); key != machine().keys.end();)
        key = key->first.rfind("hklm\\software\\", 0) == 0 ? machine().keys.erase(key) : std::next(key);

    EXPECT_EQ(RunTool({"-H", "E"}).status, 0);

    EXPECT_TRUE(standin::HasKey("Software\\Microsoft\\Windows\\CurrentVersion\\Policies"));
    EXPECT_TRUE(StoredNoDrivesIs(0x10u));
}

TEST_F(ToolTest, OtherValuesOfTheKeyAreLeftAlone)
{
    standin::SetValue(standin::kPolicyKey, "NoViewOnDrive", REG_BINARY, {1, 2, 3});
    StoreNoDrives(0x4);
    RunTool({"-H", "D"});
    RegistryValue other = standin::GetValue(standin::kPolicyKey, "NoViewOnDrive");
    EXPECT_EQ(other.type, (DWORD)REG_BINARY);
    EXPECT_EQ(other.data, (std::vector<BYTE>{1, 2, 3}));
}

// Stored values that are no 32-bit mask are never overwritten.
struct UnusableCase {
    const char *name;
    DWORD type;
    std::vector<BYTE> data;
    const char *typeName;
};

void PrintTo(const UnusableCase &c, std::ostream *out) { *out << c.name; }

class UnusableValueTest : public ToolTest, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableValueTest, HideAndUnhideFailAndLeaveItAsItWas)
{
    const UnusableCase &c = GetParam();
    for (bool hide : {true, false}) {
        SCOPED_TRACE(hide ? "hide" : "unhide");
        standin::Reset();
        standin::SetValue(standin::kPolicyKey, "NoDrives", c.type, c.data);

        RunResult run = RunTool({hide ? "-H" : "-U", "d:"});

        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output,
                  DriveScreen(hide, "D:", false, BRIGHT_WHITE, NotAMask(c.typeName, c.data.size())));
        RegistryValue stored = standin::GetValue(standin::kPolicyKey, "NoDrives");
        EXPECT_EQ(stored.type, c.type);
        EXPECT_EQ(stored.data, c.data);
        EXPECT_EQ(CountCalls("RegSetValueExA"), 0);
        EXPECT_TRUE(machine().openKeys.empty());
    }

    for (REGSAM view : {0, KEY_WOW64_64KEY}) {
        DWORD mask = 0xA5A5A5A5;
        EXPECT_EQ(ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, view, &mask), 0);
        EXPECT_EQ(mask, 0u);
        EXPECT_TRUE(machine().openKeys.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, UnusableValueTest,
    ::testing::Values(UnusableCase{"FourByteString", REG_SZ, Bytes(std::string("abc\0", 4)), "REG_SZ"},
                      UnusableCase{"ShortString", REG_SZ, Bytes(std::string("C\0", 2)), "REG_SZ"},
                      UnusableCase{"ExpandString", REG_EXPAND_SZ, Bytes(std::string("%a%\0", 4)), "REG_EXPAND_SZ"},
                      UnusableCase{"MultiString", REG_MULTI_SZ, Bytes(std::string("a\0\0", 3)), "REG_MULTI_SZ"},
                      UnusableCase{"Qword", REG_QWORD, {0x0C, 0, 0, 0, 0, 0, 0, 0}, "REG_QWORD"},
                      UnusableCase{"EightByteDword", REG_DWORD, {0x0C, 0, 0, 0, 0, 0, 0, 0}, "REG_DWORD"},
                      UnusableCase{"FiveByteBinary", REG_BINARY, {0x0C, 0, 0, 0, 0}, "REG_BINARY"},
                      UnusableCase{"LongBinary", REG_BINARY, std::vector<BYTE>(64, 0xFF), "REG_BINARY"},
                      UnusableCase{"BigEndianDword", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0x0C}, "REG_DWORD_BIG_ENDIAN"},
                      UnusableCase{"NoType", REG_NONE, {0x0C, 0, 0, 0}, "REG_NONE"},
                      UnusableCase{"UnknownType", 0x4000, {0x0C}, "type 16384"},
                      UnusableCase{"TypeAfterTheLastNamed", REG_QWORD + 1, {0x0C}, "type 12"}),
    [](const ::testing::TestParamInfo<UnusableCase> &info) { return info.param.name; });

// No policy key; the key with another value only; NoDrives as the row gives it.
enum Stored { NO_KEY, NO_VALUE, VALUE };

TEST_F(ToolTest, ReadHiddenDriveMaskReportsWhetherAMaskWasRead)
{
    struct {
        const char *name;
        Stored stored;
        DWORD type;
        std::vector<BYTE> data;
        int result;
        DWORD mask;
    } const cases[] = {
        {"no key", NO_KEY, 0, {}, 0, 0},
        {"no value", NO_VALUE, 0, {}, 0, 0},
        {"dword", VALUE, REG_DWORD, Le32(0x8000000C), 1, 0x8000000C},
        {"binary, two bytes", VALUE, REG_BINARY, {0x04, 0x01}, 1, 0x104},
        {"binary, empty", VALUE, REG_BINARY, {}, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        standin::Reset();
        if (c.stored != NO_KEY)
            standin::SetValue(standin::kPolicyKey, "Other", REG_SZ, {0});
        if (c.stored == VALUE)
            standin::SetValue(standin::kPolicyKey, "NoDrives", c.type, c.data);
        DWORD mask = 0xA5A5A5A5;
        EXPECT_EQ(ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, 0, &mask), c.result);
        EXPECT_EQ(mask, c.mask);
        EXPECT_TRUE(machine().openKeys.empty());
        EXPECT_EQ(CountCalls("RegCreateKeyExA") + CountCalls("RegSetValueExA"), 0);
    }
}

// Every key is opened under its own spelling, with the access mask of its
// use, widened to the 64-bit view on 64-bit Windows.
TEST_F(ToolTest, KeysAreOpenedWithTheAccessOfTheirUseAndView)
{
    struct {
        std::vector<std::string> command;
        const char *function;
        const char *subkey;
        REGSAM access, access64;
    } const cases[] = {
        {{"-H", "d:"}, "RegCreateKeyExA", kWriteSubkey, 0xF003F, 0xF013F},
        {{"-U", "d:"}, "RegCreateKeyExA", kWriteSubkey, 0xF003F, 0xF013F},
        {{"-L"}, "RegOpenKeyExA", kReadSubkey, 0x20019, 0x20119},
    };
    for (const auto &c : cases) {
        for (bool wow64 : {false, true}) {
            SCOPED_TRACE(c.command[0] + (wow64 ? " on 64-bit" : " on 32-bit"));
            standin::Reset();
            StoreNoDrives(0x4);
            machine().wow64 = wow64 ? standin::WOW64_TRUE : standin::WOW64_FALSE;

            EXPECT_EQ(RunTool(c.command).status, 0);

            ASSERT_EQ(machine().keyOpens.size(), 1u);
            const standin::KeyOpen &open = machine().keyOpens[0];
            EXPECT_EQ(open.function, c.function);
            EXPECT_EQ(open.root, HKEY_LOCAL_MACHINE);
            EXPECT_EQ(open.subkey, c.subkey);
            EXPECT_EQ(open.access, wow64 ? c.access64 : c.access);
            EXPECT_EQ(open.options, 0u);
            if (open.function == "RegCreateKeyExA") {
                EXPECT_EQ(open.keyClass, "");
                EXPECT_TRUE(open.securityAttributesNull);
            }
            EXPECT_EQ(machine().valuesQueried, std::vector<std::string>{"NoDrives"});
            EXPECT_TRUE(machine().openKeys.empty());
        }
    }
}

enum Token { ADMINISTRATOR, FILTERED };  // an elevated administrator's, or a standard one
enum Wait { WAITS, NO_WAIT };            // whether the lock is waited for

// A registry step that fails, or an update lock that cannot be had: the
// failure text and the reason, nothing written, no key or handle left open.
// A name that is not our lock, or rights we lack, fail without waiting.
TEST_F(ToolTest, FailuresLeaveTheValueAndSayWhy)
{
    const char *const kDenied = "Acc\xC3\xA8s refus\xC3\xA9.";  // in the system's language
    struct {
        const char *name;
        const char *failing;
        DWORD error;
        standin::MutexState lock;
        standin::LockMaker maker;
        Token token;
        std::string reason;
        Wait wait;
    } const cases[] = {
        {"create refused", "RegCreateKeyExA", ERROR_ACCESS_DENIED, standin::MUTEX_FREE,
         standin::LOCK_NONE, ADMINISTRATOR, kDenied, WAITS},
        {"query refused", "RegQueryValueExA", ERROR_ACCESS_DENIED, standin::MUTEX_FREE,
         standin::LOCK_NONE, ADMINISTRATOR, kDenied, WAITS},
        {"query handle", "RegQueryValueExA", ERROR_INVALID_HANDLE, standin::MUTEX_FREE,
         standin::LOCK_NONE, ADMINISTRATOR, "The handle is invalid.", WAITS},
        {"set refused", "RegSetValueExA", ERROR_ACCESS_DENIED, standin::MUTEX_FREE,
         standin::LOCK_NONE, ADMINISTRATOR, kDenied, WAITS},
        {"no message", "RegSetValueExA", 1117, standin::MUTEX_FREE, standin::LOCK_NONE, ADMINISTRATOR,
         "Error 1117.", WAITS},
        {"owner unreadable", "GetKernelObjectSecurity", ERROR_ACCESS_DENIED, standin::MUTEX_FREE,
         standin::LOCK_NONE, ADMINISTRATOR, kDenied, NO_WAIT},
        {"held by a copy", "", 0, standin::MUTEX_HELD, standin::LOCK_VELMORA, ADMINISTRATOR, kLockBusy, WAITS},
        {"held by LocalSystem", "", 0, standin::MUTEX_HELD, standin::LOCK_LOCAL_SYSTEM, ADMINISTRATOR,
         kLockBusy, WAITS},
        {"made by a user", "", 0, standin::MUTEX_FREE, standin::LOCK_USER, ADMINISTRATOR, kNameHeld, NO_WAIT},
        {"held by a user", "", 0, standin::MUTEX_HELD, standin::LOCK_USER, ADMINISTRATOR, kNameHeld, NO_WAIT},
        {"no owner", "", 0, standin::MUTEX_FREE, standin::LOCK_NO_OWNER, ADMINISTRATOR, kNameHeld, NO_WAIT},
        // Another account's lock shuts out an elevated administrator, whom
        // elevating cannot help, and a filtered token, whom it can.
        {"another account's", "", 0, standin::MUTEX_FREE, standin::LOCK_OTHER_ACCOUNT, ADMINISTRATOR,
         kNameHeld, NO_WAIT},
        {"another account's, filtered token", "", 0, standin::MUTEX_FREE,
         standin::LOCK_OTHER_ACCOUNT, FILTERED, kNeedsAdministrator, NO_WAIT},
        {"another account's, membership unknown", "CheckTokenMembership", ERROR_ACCESS_DENIED,
         standin::MUTEX_FREE, standin::LOCK_OTHER_ACCOUNT, ADMINISTRATOR, kNeedsAdministrator, NO_WAIT},
        {"another account's, no SID", "CreateWellKnownSid", ERROR_INSUFFICIENT_BUFFER,
         standin::MUTEX_FREE, standin::LOCK_OTHER_ACCOUNT, ADMINISTRATOR, kNeedsAdministrator, NO_WAIT},
        {"an event", "", 0, standin::MUTEX_FREE, standin::LOCK_EVENT, ADMINISTRATOR, kNameHeld, NO_WAIT},
        {"no administrator", "", 0, standin::MUTEX_FREE, standin::LOCK_NONE, FILTERED,
         kNeedsAdministrator, NO_WAIT},
        {"no administrator, lock there", "", 0, standin::MUTEX_FREE, standin::LOCK_VELMORA, FILTERED,
         kNeedsAdministrator, NO_WAIT},
    };
    for (const auto &c : cases) {
        for (bool hide : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (hide ? " hide" : " unhide"));
            auto prepare = [&] {
                standin::Reset();
                // Ending, as some do, in more than one line end.
                machine().systemMessages[ERROR_ACCESS_DENIED] = std::string(kDenied) + "\r\n\r\n";
                StoreNoDrives(0x0C);
                if (*c.failing)
                    standin::Fail(c.failing, c.error);
                machine().mutexState = c.lock;
                machine().lockMaker = c.maker;
                machine().tokenIsAdmin = c.token == ADMINISTRATOR;
            };
            // A call that failed on its own is the one the reason names.
            if (*c.failing && c.maker == standin::LOCK_NONE) {
                prepare();
                UpdateFailure failure;
                EXPECT_EQ(UpdateHiddenDriveMask(HKEY_LOCAL_MACHINE, 0, hide ? 0x10 : 0x04, hide, &failure), 0);
                EXPECT_EQ(failure.reason, REASON_SYSTEM);
                EXPECT_STREQ(failure.function, c.failing);
                EXPECT_EQ(failure.code, c.error);
            }
            prepare();

            RunResult run = RunTool({hide ? "-H" : "-U", hide ? "e:" : "c:"});

            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.output,
                      DriveScreen(hide, hide ? "E:" : "C:", false, BRIGHT_WHITE, c.reason));
            EXPECT_EQ(RedSegments(run), 1);
            EXPECT_TRUE(StoredNoDrivesIs(0x0Cu));
            EXPECT_TRUE(NothingLeftOpen({}, false));
            EXPECT_EQ(machine().waitTimeouts.size(), c.wait == WAITS ? 1u : 0u);
            if (c.lock == standin::MUTEX_HELD || c.wait == NO_WAIT) {
                EXPECT_TRUE(machine().keyOpens.empty());
            }
        }
    }
}

TEST_F(ToolTest, DriveNamesNotStartingWithALetterAreRefused)
{
    const char *const names[] = {"1",  "9:", "0:\\", "@",    "[",    "`",    "{",    "\\", ":",
                                 " d", "-d", "\t",   "\x80", "\xC4:", "\xE4", "\xFF", "%s"};
    for (const char *name : names) {
        for (const char *sw : {"-H", "-u"}) {
            SCOPED_TRACE(std::string(sw) + " " + name);
            standin::Reset();
            StoreNoDrives(0x4);

            RunResult run = RunTool({sw, name});

            EXPECT_EQ(run.status, 1);
            std::vector<Segment> expected = UsageScreen();
            expected.push_back({BRIGHT_RED, kInvalidDriveName});
            EXPECT_EQ(run.output, expected);
            EXPECT_EQ(CountCalls("RegOpenKeyExA") + CountCalls("RegCreateKeyExA"), 0);
            EXPECT_TRUE(StoredNoDrivesIs(0x4u));
        }
        // The commands refuse them on their own too.
        std::string copy = name;
        EXPECT_EQ(HideDrive(&copy[0], 0), 0);
        EXPECT_EQ(UnhideDrive(&copy[0], 0), 0);
        EXPECT_EQ(CountCalls("RegOpenKeyExA") + CountCalls("RegCreateKeyExA"), 0);
    }
}

// A drive argument longer than its buffer is cut to 999 characters; only its
// first character picks the drive.
TEST_F(ToolTest, OverlongDriveArgumentIsCutTo999Characters)
{
    for (size_t length : {998u, 999u, 1000u, 1001u, 4000u}) {
        SCOPED_TRACE(length);
        standin::Reset();
        const std::string argument = "d" + std::string(length - 1, 'x');
        const std::string echo = "D" + std::string(std::min<size_t>(length, 999) - 1, 'x');

        RunResult run = RunTool({"-H", argument});

        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, DriveScreen(true, echo, true, BRIGHT_WHITE));
        EXPECT_TRUE(StoredNoDrivesIs(0x8u));
    }
}

// The four screens of -H and -U, from consoles that start in different colours.
TEST_F(ToolTest, HideAndUnhideScreens)
{
    for (WORD start : {(WORD)7, (WORD)3, (WORD)0x1E}) {
        for (bool hide : {true, false}) {
            for (bool succeeds : {true, false}) {
                SCOPED_TRACE(std::to_string(start) + (hide ? " hide" : " unhide") +
                             (succeeds ? " succeeds" : " fails"));
                standin::Reset();
                StoreNoDrives(0x08);
                machine().attribute = start;
                if (!succeeds) {
                    standin::Fail("RegSetValueExA");
                    standin::Fail("RegDeleteValueA");
                }
                // Inside the screen the banner puts back the colour with
                // intensity; the run ends in the colour it found.
                const WORD restored = start | 8;

                RunResult run = RunTool({hide ? "-H" : "-U", hide ? "e:\\" : "d:\\"});

                EXPECT_EQ(run.status, succeeds ? 0 : 1);
                EXPECT_EQ(run.output, DriveScreen(hide, hide ? "E:\\" : "D:\\", succeeds, restored,
                                                  "Access is denied."));
                EXPECT_EQ(machine().attribute, start);
                if (succeeds && !hide)
                    EXPECT_FALSE(standin::HasValue(standin::kPolicyKey, "NoDrives"));
                else
                    EXPECT_TRUE(StoredNoDrivesIs(succeeds ? 0x18u : 0x08u));
            }
        }
    }
}

}  // namespace
