// The drive inventory: DescribeDrive for one root, and the -L listing.
#include "harness.h"

#include <ctype.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "drives/drives.h"
#include "policy/policy.h"

namespace {

using standin::Drive;

// What DescribeDrive made of one root.
struct Described {
    int result;
    std::string label;
    std::string typeText;
    std::string fileSystem;
};

class DriveTest : public ToolTest {
protected:
    void AddDrive(char letter, unsigned int type, const std::string &label = "",
                  const std::string &fileSystem = "NTFS", bool volumeQuerySucceeds = true)
    {
        machine().drives[letter - 'A'] = Drive{type, label, fileSystem, volumeQuerySucceeds};
    }

    // A floppy, card slot or optical drive with nothing in it.
    void AddEmptyDrive(char letter, unsigned int type)
    {
        machine().drives[letter - 'A'] = Drive{type, "", "", false, true};
    }

    // Fields start full of garbage, so anything not written shows.
    Described Describe(const char *root)
    {
        char label[DRIVE_FIELD_SIZE];
        char typeText[DRIVE_FIELD_SIZE];
        char fileSystem[DRIVE_FIELD_SIZE];
        for (char *field : {label, typeText, fileSystem}) {
            memset(field, '#', DRIVE_FIELD_SIZE - 1);
            field[DRIVE_FIELD_SIZE - 1] = '\0';
        }
        int result = DescribeDrive(root, label, typeText, fileSystem);
        return Described{result, label, typeText, fileSystem};
    }
};

// ---------------------------------------------------------------------------
// DescribeDrive

enum Volume { ANSWERS, REFUSES };  // the volume query
enum Asked { VOLUME_ASKED, NEVER_ASKED };  // whether DescribeDrive queries the volume

struct DescribeCase {
    const char *name;
    const char *root;
    unsigned int type;
    std::string label;  // the volume's own label and file system
    std::string fileSystem;
    Volume volume;
    // Expected:
    std::string shownLabel;
    std::string typeText;
    std::string shownFileSystem;
    Asked asked;
};

// gtest names the case in its log instead of dumping the struct's bytes.
void PrintTo(const DescribeCase &c, std::ostream *out) { *out << c.name; }

const DescribeCase kDescribeCases[] = {
    // Removable: A and B are floppies, by the upper-case letter only.
    {"FloppyANoMedium", "A:\\", DRIVE_REMOVABLE, "", "", REFUSES,
     "Floppy Disk Drive", "Floppy Disk Drive", "", VOLUME_ASKED},
    {"FloppyBNoMedium", "B:\\", DRIVE_REMOVABLE, "", "", REFUSES,
     "Floppy Disk Drive", "Floppy Disk Drive", "", VOLUME_ASKED},
    {"FloppyAEmptyLabelWithMedium", "A:\\", DRIVE_REMOVABLE, "", "FAT", ANSWERS,
     "Floppy Disk Drive", "Floppy Disk Drive", "FAT", VOLUME_ASKED},
    {"FloppyBOwnLabel", "B:\\", DRIVE_REMOVABLE, "BOOTDISK", "FAT", ANSWERS,
     "BOOTDISK", "Floppy Disk Drive", "FAT", VOLUME_ASKED},
    {"RemovableEEmptyLabel", "E:\\", DRIVE_REMOVABLE, "", "FAT32", ANSWERS,
     "", "Removable Disk", "FAT32", VOLUME_ASKED},
    {"RemovableCOwnLabel", "C:\\", DRIVE_REMOVABLE, "STICK", "exFAT", ANSWERS,
     "STICK", "Removable Disk", "exFAT", VOLUME_ASKED},
    {"RemovableZNoMedium", "Z:\\", DRIVE_REMOVABLE, "", "", REFUSES,
     "", "Removable Disk", "", VOLUME_ASKED},
    {"LowerCaseANotFloppy", "a:\\", DRIVE_REMOVABLE, "", "FAT", ANSWERS,
     "", "Removable Disk", "FAT", VOLUME_ASKED},
    {"LowerCaseBNotFloppy", "b:\\", DRIVE_REMOVABLE, "", "", REFUSES,
     "", "Removable Disk", "", VOLUME_ASKED},
    // Fixed.
    {"FixedNoLabel", "C:\\", DRIVE_FIXED, "", "NTFS", ANSWERS,
     "Local Disk", "Local Disk", "NTFS", VOLUME_ASKED},
    {"FixedOwnLabel", "C:\\", DRIVE_FIXED, "System", "NTFS", ANSWERS,
     "System", "Local Disk", "NTFS", VOLUME_ASKED},
    {"FixedQueryFails", "F:\\", DRIVE_FIXED, "Data", "NTFS", REFUSES,
     "Local Disk", "Local Disk", "", VOLUME_ASKED},
    {"FixedOnA", "A:\\", DRIVE_FIXED, "", "NTFS", ANSWERS,
     "Local Disk", "Local Disk", "NTFS", VOLUME_ASKED},
    // Network: never asked about its volume.
    {"NetworkNeverQueried", "Z:\\", DRIVE_REMOTE, "Share", "NTFS", ANSWERS,
     "", "Network Drive", "", NEVER_ASKED},
    {"NetworkOnA", "A:\\", DRIVE_REMOTE, "", "NTFS", ANSWERS,
     "", "Network Drive", "", NEVER_ASKED},
    // Optical: the fallback name is not the type text.
    {"CdromNoDisc", "D:\\", DRIVE_CDROM, "", "", REFUSES,
     "BD-ROM Drive", "CD/DVD Drive", "", VOLUME_ASKED},
    {"CdromUnlabelledDisc", "D:\\", DRIVE_CDROM, "", "CDFS", ANSWERS,
     "BD-ROM Drive", "CD/DVD Drive", "CDFS", VOLUME_ASKED},
    {"CdromOwnLabel", "D:\\", DRIVE_CDROM, "MOVIE_2026", "UDF", ANSWERS,
     "MOVIE_2026", "CD/DVD Drive", "UDF", VOLUME_ASKED},
    // RAM disk: no fallback name.
    {"RamDiskNoLabel", "R:\\", DRIVE_RAMDISK, "", "FAT32", ANSWERS,
     "", "RAM Disk", "FAT32", VOLUME_ASKED},
    {"RamDiskOwnLabel", "R:\\", DRIVE_RAMDISK, "Scratch", "FAT32", ANSWERS,
     "Scratch", "RAM Disk", "FAT32", VOLUME_ASKED},
    // Anything else is unknown, and still queried.
    {"TypeUnknown", "G:\\", DRIVE_UNKNOWN, "", "", REFUSES,
     "", "Unknown", "", VOLUME_ASKED},
    {"TypeNoRootDir", "H:\\", DRIVE_NO_ROOT_DIR, "", "", REFUSES,
     "", "Unknown", "", VOLUME_ASKED},
    {"TypeNoRootDirAnswers", "H:\\", DRIVE_NO_ROOT_DIR, "Odd", "NTFS", ANSWERS,
     "Odd", "Unknown", "NTFS", VOLUME_ASKED},
    {"TypeSeven", "I:\\", 7, "", "NTFS", ANSWERS,
     "", "Unknown", "NTFS", VOLUME_ASKED},
    {"TypeHuge", "J:\\", 0xFFFFFFFFu, "", "", REFUSES,
     "", "Unknown", "", VOLUME_ASKED},
};

class DescribeDriveTest : public DriveTest, public ::testing::WithParamInterface<DescribeCase> {};

TEST_P(DescribeDriveTest, FillsLabelTypeAndFileSystem)
{
    const DescribeCase &c = GetParam();
    AddDrive((char)toupper(c.root[0]), c.type, c.label, c.fileSystem, c.volume == ANSWERS);

    Described got = Describe(c.root);

    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.label, c.shownLabel);
    EXPECT_EQ(got.typeText, c.typeText);
    EXPECT_EQ(got.fileSystem, c.shownFileSystem);
    EXPECT_EQ(machine().driveTypeQueries, std::vector<std::string>{c.root});
    if (c.asked == VOLUME_ASKED) {
        EXPECT_EQ(machine().volumeQueries, std::vector<std::string>{c.root});
        EXPECT_TRUE(machine().volumeExtrasAllNull) << "serial, length or flags asked for";
        EXPECT_EQ(machine().volumeNameSize, (DWORD)MAX_PATH + 1);
        EXPECT_EQ(machine().fileSystemNameSize, (DWORD)MAX_PATH + 1);
    } else {
        EXPECT_TRUE(machine().volumeQueries.empty());
        EXPECT_EQ(standin::CountCalls("GetVolumeInformationW"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DescribeDriveTest, ::testing::ValuesIn(kDescribeCases),
                         [](const ::testing::TestParamInfo<DescribeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(DriveTest, DescribeDriveOfMissingLetterIsUnknownAndEmpty)
{
    // No such drive: the type query says there is no root directory.
    Described got = Describe("Q:\\");
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.label, "");
    EXPECT_EQ(got.typeText, "Unknown");
    EXPECT_EQ(got.fileSystem, "");
    EXPECT_EQ(machine().volumeQueries, std::vector<std::string>{"Q:\\"});
}

// ---------------------------------------------------------------------------
// ListDrives. The rows of the drives these tests add, written out up to the
// status that ends each of them.

const std::string kFloppyA = "\n\n A:\\        Floppy Disk Drive      Floppy Disk Drive                        ";
const std::string kSystemC = "\n\n C:\\        System                 Local Disk             NTFS              ";
const std::string kEmptyOpticalD = "\n\n D:\\        BD-ROM Drive           CD/DVD Drive                             ";
const std::string kUnlabelledStickE = "\n\n E:\\                               Removable Disk         FAT32             ";
const std::string kRamDiskR = "\n\n R:\\        A ramdisk label of 27 chars   RAM Disk               EXTENDED-FAT-FS   ";
const std::string kShareZ = "\n\n Z:\\                               Network Drive                            ";

// Everything after the banner, all of it in bright green.
std::string TableText(const std::string &rows)
{
    return kListingHeader + rows + "\n\n";
}

RunResult CaptureListing()
{
    return Capture([] {
        ListDrives(0);
        return 0;
    });
}

// The banner in bright white, then the whole table in bright green.
void ExpectColouredListing(const RunResult &run, const std::string &rows)
{
    const std::vector<standin::Segment> screen = {{BRIGHT_WHITE, kBanner},
                                                  {BRIGHT_GREEN, TableText(rows)}};
    EXPECT_EQ(run.output, screen);
    EXPECT_EQ(run.text, kBanner + TableText(rows));
}

// The policy key was opened once for reading, closed, and nothing written.
void ExpectPolicyReadOnce(REGSAM access)
{
    standin::Machine &m = standin::TheMachine();
    ASSERT_EQ(m.keyOpens.size(), 1u);
    EXPECT_EQ(m.keyOpens[0].function, "RegOpenKeyExA");
    EXPECT_EQ(m.keyOpens[0].root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(strcasecmp(m.keyOpens[0].subkey.c_str(), standin::kPolicyKey), 0)
        << m.keyOpens[0].subkey;
    EXPECT_EQ(m.keyOpens[0].access, access);
    EXPECT_EQ(standin::CountCalls("RegCloseKey"), m.keyOpens[0].succeeded ? 1 : 0);
    EXPECT_TRUE(m.openKeys.empty()) << "a key was left open";
    EXPECT_LE(m.valuesQueried.size(), 1u);
    EXPECT_TRUE(m.valuesSet.empty());
    EXPECT_EQ(standin::CountCalls("RegCreateKeyExA"), 0);
    EXPECT_EQ(standin::CountCalls("CreateMutexA"), 0) << "the listing takes no lock";
}

// A machine with one of every kind of drive, some of them hidden.
class ListDrivesTest : public DriveTest {
protected:
    void AddEveryKind()
    {
        AddDrive('Z', DRIVE_REMOTE, "Share", "NTFS");
        AddEmptyDrive('A', DRIVE_REMOVABLE);
        AddDrive('R', DRIVE_RAMDISK, "A ramdisk label of 27 chars", "EXTENDED-FAT-FS");
        AddDrive('C', DRIVE_FIXED, "System", "NTFS");
        AddDrive('E', DRIVE_REMOVABLE, "", "FAT32");
        AddEmptyDrive('D', DRIVE_CDROM);
    }

};

TEST_F(ListDrivesTest, ListsEveryKindOfDriveWithItsStatus)
{
    AddEveryKind();
    // Hidden: A, D, R, Z; also B and Q, which are absent, and bits 26 to 31.
    StoreNoDrives((1u << 0) | (1u << 1) | (1u << 3) | (1u << 16) | (1u << 17) | (1u << 25) |
                  0xFC000000u);

    RunResult run = RunTool({"-L"});

    EXPECT_EQ(run.status, 0);
    ExpectColouredListing(run, kFloppyA + "Hidden" + kSystemC + "Visible" + kEmptyOpticalD + "Hidden" +
                                   kUnlabelledStickE + "Visible" + kRamDiskR + "Hidden" + kShareZ +
                                   "Hidden");
    EXPECT_EQ(machine().attribute, 7) << "the saved attribute comes back as it was";

    const std::vector<std::string> present = {"A:\\", "C:\\", "D:\\", "E:\\", "R:\\", "Z:\\"};
    EXPECT_EQ(machine().driveTypeQueries, present);
    EXPECT_EQ(machine().volumeQueries,
              std::vector<std::string>(present.begin(), present.end() - 1));
    EXPECT_EQ(standin::CountCalls("GetLogicalDrives"), 1);
    ExpectPolicyReadOnce(KEY_READ);
    EXPECT_EQ(machine().valuesQueried, std::vector<std::string>{"NoDrives"});
    EXPECT_TRUE(StoredNoDrivesIs(0xFE03000Bu)) << "the listing changed the stored mask";

    // The empty A: and D: were queried without a "No disk" dialog, which
    // they would each raise under the error mode a process starts with.
    EXPECT_EQ(machine().criticalErrorDialogs, 0);
    SetErrorMode(0);
    CaptureListing();
    EXPECT_EQ(machine().criticalErrorDialogs, 2);
}

TEST_F(ListDrivesTest, LongTextsWidenTheirRowAndAreNotCut)
{
    AddDrive('C', DRIVE_FIXED, "System", "NTFS");
    AddDrive('R', DRIVE_RAMDISK, "A ramdisk label of 27 chars", "EXTENDED-FAT-FS-1");

    RunResult run = CaptureListing();

    EXPECT_EQ(run.text, kBanner + TableText(kSystemC + "Visible" +
                                            "\n\n R:\\        A ramdisk label of 27 chars   RAM Disk"
                                            "               EXTENDED-FAT-FS-1   Visible"));
}

TEST_F(ListDrivesTest, MachineWithoutDrivesPrintsAnEmptyTable)
{
    RunResult run = RunTool({"-L"});

    EXPECT_EQ(run.status, 0);
    ExpectColouredListing(run, "");
    EXPECT_TRUE(machine().driveTypeQueries.empty());
    EXPECT_EQ(machine().attribute, 7);
}

TEST_F(ListDrivesTest, FailingGetLogicalDrivesPrintsAnEmptyTable)
{
    AddEveryKind();
    standin::Fail("GetLogicalDrives");

    RunResult run = CaptureListing();

    ExpectColouredListing(run, "");
    EXPECT_TRUE(machine().driveTypeQueries.empty());
    EXPECT_TRUE(machine().volumeQueries.empty());
}

TEST_F(ListDrivesTest, CallsDescribeInLetterOrderEachOnce)
{
    for (char letter : std::string("YBMAQ"))
        AddDrive(letter, DRIVE_FIXED, std::string("Vol") + letter, "NTFS");

    RunResult run = CaptureListing();

    ExpectColouredListing(run,
                          "\n\n A:\\        VolA                   Local Disk             NTFS              Visible"
                          "\n\n B:\\        VolB                   Local Disk             NTFS              Visible"
                          "\n\n M:\\        VolM                   Local Disk             NTFS              Visible"
                          "\n\n Q:\\        VolQ                   Local Disk             NTFS              Visible"
                          "\n\n Y:\\        VolY                   Local Disk             NTFS              Visible");
    EXPECT_EQ(machine().driveTypeQueries,
              (std::vector<std::string>{"A:\\", "B:\\", "M:\\", "Q:\\", "Y:\\"}));
    EXPECT_EQ(machine().volumeQueries, machine().driveTypeQueries);
}

TEST_F(ListDrivesTest, Wow64RunReadsTheSixtyFourBitView)
{
    AddDrive('C', DRIVE_FIXED, "System", "NTFS");
    StoreNoDrives(0x4);
    machine().wow64 = standin::WOW64_TRUE;

    RunResult run = RunTool({"-l"});

    ExpectColouredListing(run, kSystemC + "Hidden");
    ExpectPolicyReadOnce(0x20119);
}

TEST_F(ListDrivesTest, PolicyAbsentKeyShowsEveryDriveVisible)
{
    AddEveryKind();
    ASSERT_FALSE(standin::HasKey(standin::kPolicyKey));

    RunResult run = RunTool({"-L"});

    ExpectColouredListing(run, kFloppyA + "Visible" + kSystemC + "Visible" + kEmptyOpticalD + "Visible" +
                                   kUnlabelledStickE + "Visible" + kRamDiskR + "Visible" + kShareZ +
                                   "Visible");
    ExpectPolicyReadOnce(KEY_READ);
    EXPECT_FALSE(standin::HasKey(standin::kPolicyKey)) << "the listing created the key";
}

// Drives that answer late or never. C: System, D: an optical disc MOVIE, E:
// a stick and Z: a share; each row makes some of them slow and may break a
// call. Rows and the line after the table are checked, and the ticks the
// run took against the bound (10 s), or the slowest drive when all answer.
const std::string kMovieD = "\n\n D:\\        MOVIE                  CD/DVD Drive           UDF               Visible";
const std::string kStickE = "\n\n E:\\        STICK                  Removable Disk         FAT32             Visible";
const std::string kSlowShareZ = kShareZ + "Visible";
const std::string kUnreadC = "\n\n C:\\        Local Disk             Local Disk                               Visible";
const std::string kUnreadD = kEmptyOpticalD + "Visible";
const std::string kUnreadE = "\n\n E:\\                               Removable Disk                           Visible";
const std::string kUnknownD = "\n\n D:\\                               Unknown                                  Visible";

enum Cancel { CANCELS_WORK, IGNORES_CANCEL, NO_CANCEL_ON_XP, CANCEL_FAILS };

struct SlowCase {
    const char *name;
    DWORD c, d, e;            // how long each volume query takes (standin::NEVER: until cancelled)
    Cancel cancel;            // what cancelling the unanswered ones does
    std::vector<int> threadFails;  // the CreateThread calls that fail, by number
    std::string rows;
    const char *unanswered;   // "" for no line after the table
    DWORD ticks;              // the most the run may take
    int left;                 // threads still waiting when the run ends
    bool dTypeNeverComes = false;  // D's type query never returns
};

void PrintTo(const SlowCase &c, std::ostream *out) { *out << c.name; }

const DWORD N = standin::NEVER;
const SlowCase kSlowCases[] = {
    {"AllAnswerAtOnce", 0, 0, 0, CANCELS_WORK, {}, kSystemC + "Visible" + kMovieD + kStickE + kSlowShareZ, "", 0, 0},
    {"ThreeSlowCostTheSlowest", 3000, 2000, 3000, CANCELS_WORK, {}, kSystemC + "Visible" + kMovieD + kStickE + kSlowShareZ, "", 3000, 0},
    {"OpticalSpinningUp", 0, 8000, 0, CANCELS_WORK, {}, kSystemC + "Visible" + kMovieD + kStickE + kSlowShareZ, "", 8000, 0},
    {"OneNeverAnswers", 0, N, 0, CANCELS_WORK, {}, kSystemC + "Visible" + kUnreadD + kStickE + kSlowShareZ, "D:", 10000, 0},
    {"OneAnswersTooLate", 0, 60000, 0, CANCELS_WORK, {}, kSystemC + "Visible" + kUnreadD + kStickE + kSlowShareZ, "D:", 10000, 0},
    {"TwoNeverAnswer", N, 0, N, CANCELS_WORK, {}, kUnreadC + kMovieD + kUnreadE + kSlowShareZ, "C:, E:", 10000, 0},
    {"TypeNeverComes", 0, 0, 0, CANCELS_WORK, {}, kSystemC + "Visible" + kUnknownD + kStickE + kSlowShareZ, "D:", 10000, 0, true},
    {"OneIgnoresTheCancel", 0, N, 0, IGNORES_CANCEL, {}, kSystemC + "Visible" + kUnreadD + kStickE + kSlowShareZ, "D:", 10000, 1},
    {"NoCancelOnWindowsXp", 0, N, 0, NO_CANCEL_ON_XP, {}, kSystemC + "Visible" + kUnreadD + kStickE + kSlowShareZ, "D:", 10000, 1},
    {"CancelFails", 0, N, 0, CANCEL_FAILS, {}, kSystemC + "Visible" + kUnreadD + kStickE + kSlowShareZ, "D:", 10000, 1},
    {"TypeNeverComesIgnoresCancel", 0, 0, 0, IGNORES_CANCEL, {}, kSystemC + "Visible" + kUnknownD + kStickE + kSlowShareZ, "D:", 10000, 1, true},
    // D's thread is made on the second try (call 3), with a small stack; or
    // not at all, and D is not asked: never on the main thread.
    {"ThreadStartsOnSecondTry", 0, 20000, N, CANCELS_WORK, {2}, kSystemC + "Visible" + kUnreadD + kUnreadE + kSlowShareZ, "D:, E:", 10000, 0},
    {"ThreadCannotStart", 0, 0, 0, CANCELS_WORK, {2, 3}, kSystemC + "Visible" + kUnknownD + kStickE + kSlowShareZ, "D:", 0, 0},
};

class SlowDriveTest : public ListDrivesTest, public ::testing::WithParamInterface<SlowCase> {};

TEST_P(SlowDriveTest, ListsWithinTheBoundAndNamesTheDrivesThatDidNotAnswer)
{
    const SlowCase &c = GetParam();
    AddDrive('C', DRIVE_FIXED, "System", "NTFS");
    AddDrive('D', DRIVE_CDROM, "MOVIE", "UDF");
    AddDrive('E', DRIVE_REMOVABLE, "STICK", "FAT32");
    AddDrive('Z', DRIVE_REMOTE, "Share", "NTFS");
    machine().drives[2].answerMilliseconds = c.c;
    machine().drives[3].answerMilliseconds = c.d;
    machine().drives[4].answerMilliseconds = c.e;
    machine().drives[3].ignoresCancel = c.cancel == IGNORES_CANCEL;
    machine().drives[3].typeNeverComes = c.dTypeNeverComes;
    machine().hasCancelSynchronousIo = c.cancel != NO_CANCEL_ON_XP;
    std::set<std::string> failed;
    if (c.cancel == CANCEL_FAILS)
        standin::Fail(*failed.insert("CancelSynchronousIo").first);
    for (int call : c.threadFails)
        standin::FailCall(*failed.insert("CreateThread").first, call);
    const DWORD start = machine().tickCount;

    RunResult run = RunTool({"-L"});

    EXPECT_EQ(run.status, 0);
    std::vector<standin::Segment> screen = {{BRIGHT_WHITE, kBanner}, {BRIGHT_GREEN, TableText(c.rows)}};
    if (*c.unanswered)
        screen.push_back({BRIGHT_WHITE, UnansweredLine(c.unanswered)});
    EXPECT_EQ(run.output, screen);
    EXPECT_LE(machine().tickCount - start, c.ticks);
    for (DWORD wait : machine().threadWaitTimeouts)
        EXPECT_LE(wait, 10000u) << "a wait that outlasts the bound (the clock may have gone round)";
    EXPECT_EQ(standin::CountCalls("CreateThread"), c.threadFails.empty() ? 4 : 5)
        << "one for each drive, and a second try for the one that failed";
    EXPECT_EQ(standin::ThreadsStillRunning(), c.left);
    EXPECT_TRUE(NothingLeftOpen(failed, false));
}

INSTANTIATE_TEST_SUITE_P(Rows, SlowDriveTest, ::testing::ValuesIn(kSlowCases),
                         [](const ::testing::TestParamInfo<SlowCase> &info) {
                             return std::string(info.param.name);
                         });

// How the stored NoDrives value is set up, and which of A, C, D it hides.
struct MaskCase {
    const char *name;
    std::function<void()> store;
    std::vector<std::string> status;  // A, C, D
};

void PrintTo(const MaskCase &c, std::ostream *out) { *out << c.name; }

std::vector<BYTE> Bytes(std::initializer_list<int> values)
{
    std::vector<BYTE> bytes;
    for (int v : values)
        bytes.push_back((BYTE)v);
    return bytes;
}

void StoreRaw(DWORD type, std::vector<BYTE> data)
{
    standin::SetValue(standin::kPolicyKey, "NoDrives", type, data);
}

const std::vector<std::string> kAllVisible = {"Visible", "Visible", "Visible"};

const MaskCase kMaskCases[] = {
    // Unusable values: nothing is hidden.
    {"ValueAbsent", [] { standin::SetDword(standin::kPolicyKey, "NoDriveTypeAutoRun", 0x0D); },
     kAllVisible},
    {"RegSzOfFourBytes", [] { StoreRaw(REG_SZ, Bytes({0x0D, 0, 0, 0})); }, kAllVisible},
    {"RegSzText", [] { StoreRaw(REG_SZ, Bytes({'1', '3', 0})); }, kAllVisible},
    {"RegQword", [] { StoreRaw(REG_QWORD, Bytes({0x0D, 0, 0, 0, 0, 0, 0, 0})); }, kAllVisible},
    {"EightByteDword", [] { StoreRaw(REG_DWORD, Bytes({0x0D, 0, 0, 0, 0, 0, 0, 0})); },
     kAllVisible},
    {"OpenKeyFails", [] { StoreNoDrives(0x0D); standin::Fail("RegOpenKeyExA"); }, kAllVisible},
    {"QueryFails", [] { StoreNoDrives(0x0D); standin::Fail("RegQueryValueExA"); }, kAllVisible},
    // Usable masks.
    {"Dword", [] { StoreNoDrives(0x08); }, {"Visible", "Visible", "Hidden"}},
    {"BinaryFourBytes", [] { StoreRaw(REG_BINARY, Bytes({0x05, 0, 0, 0x80})); },
     {"Hidden", "Hidden", "Visible"}},
    {"BinaryOneByte", [] { StoreRaw(REG_BINARY, Bytes({0x0C})); },
     {"Visible", "Hidden", "Hidden"}},
    {"AllBits", [] { StoreNoDrives(0xFFFFFFFF); }, {"Hidden", "Hidden", "Hidden"}},
};

class ListDrivesMaskTest : public ListDrivesTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(ListDrivesMaskTest, StatusFollowsTheStoredMask)
{
    const MaskCase &c = GetParam();
    AddDrive('A', DRIVE_REMOVABLE, "", "", false);
    AddDrive('C', DRIVE_FIXED, "System", "NTFS");
    AddDrive('D', DRIVE_CDROM, "", "", false);
    c.store();
    const standin::RegistryValue before = standin::GetValue(standin::kPolicyKey, "NoDrives");

    RunResult run = CaptureListing();

    ExpectColouredListing(run, kFloppyA + c.status[0] + kSystemC + c.status[1] + kEmptyOpticalD + c.status[2]);
    ExpectPolicyReadOnce(KEY_READ);
    const standin::RegistryValue after = standin::GetValue(standin::kPolicyKey, "NoDrives");
    EXPECT_EQ(after.type, before.type);
    EXPECT_EQ(after.data, before.data);
}

INSTANTIATE_TEST_SUITE_P(Values, ListDrivesMaskTest, ::testing::ValuesIn(kMaskCases),
                         [](const ::testing::TestParamInfo<MaskCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
