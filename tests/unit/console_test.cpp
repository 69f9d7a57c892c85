// Colours, the banner, the usage screen and the red error line.
#include "harness.h"

#include <functional>

#include "app/app.h"
#include "console/console.h"

using standin::CountCalls;
using standin::Segment;

namespace {

TEST_F(ToolTest, UsageScreenIsTheBannerInWhiteAndTheUsageLinesInGreen)
{
    RunResult run = RunTool({"-?"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, UsageScreen());
}

TEST_F(ToolTest, UsageNamesTheProductWhateverTheProgramIsCalled)
{
    char name[] = "C:\\Tools\\renamed.exe";
    char help[] = "/?";
    char *argv[] = {name, help, nullptr};
    RunResult run = Capture([&] { return RunCommandLine(2, argv); });
    EXPECT_EQ(run.output, UsageScreen());
}

// Every command line ends in exactly the attribute the console started with:
// 7 is the terminal's default colours, 15 an explicit bright white.
TEST_F(ToolTest, RunEndsInTheAttributeItStartedWith)
{
    struct {
        WORD start, end;
    } const attributes[] = {{7, 7}, {10, 10}, {3, 3}, {0, 0}, {0x17, 0x17}, {0x1E, 0x1E}};
    const std::vector<std::vector<std::string>> commands = {
        {}, {"-?"}, {"-L"}, {"-H", "d:"}, {"-U", "d:"}, {"-H", ""}, {"-H", "1"}, {"a", "b", "c"}};
    for (const auto &a : attributes) {
        for (const auto &command : commands) {
            SCOPED_TRACE(std::to_string(a.start) + " " + std::to_string(command.size()) +
                         (command.empty() ? "" : " " + command[0]));
            standin::Reset();
            machine().attribute = a.start;
            RunTool(command);
            EXPECT_EQ(machine().attribute, a.end);
            ASSERT_FALSE(machine().attributesSet.empty());
            EXPECT_EQ(machine().attributesSet.back(), a.end);
        }
    }
}

// ShowBanner, ShowUsage and ShowError show their text in their own colours
// and put back the attribute they found, with the intensity bit.
TEST_F(ToolTest, ScreensPutBackTheAttributeTheyFound)
{
    struct {
        const char *name;
        std::function<void()> show;
        std::vector<Segment> screen;
    } const screens[] = {
        {"banner", [] { ShowBanner(); }, {{BRIGHT_WHITE, kBanner}}},
        {"usage", [] { ShowUsage(); }, UsageScreen()},
        {"error", [] { ShowError("\n\n Error: %s.\n\n", "Something"); },
         {{BRIGHT_RED, "\n\n Error: Something.\n\n"}}},
    };
    for (const auto &s : screens) {
        for (WORD start : {(WORD)7, (WORD)3, (WORD)10, (WORD)0x4E}) {
            SCOPED_TRACE(std::string(s.name) + " from " + std::to_string(start));
            standin::Reset();
            machine().attribute = start;
            RunResult run = Capture([&] {
                s.show();
                return 0;
            });
            EXPECT_EQ(run.output, s.screen);
            EXPECT_EQ(machine().attribute, start | 8);
        }
    }
}

TEST_F(ToolTest, ErrorTextIsFormattedOnce)
{
    RunResult run = Capture([] {
        ShowError("%s", "100%d %s %n%%");
        return 0;
    });
    EXPECT_EQ(run.output, (std::vector<Segment>{{BRIGHT_RED, "100%d %s %n%%"}}));
}

TEST_F(ToolTest, ErrorTextIsCutToItsBuffer)
{
    const std::string longText(5000, 'e');
    RunResult run = Capture([&] {
        ShowError("%s", longText.c_str());
        return 0;
    });
    EXPECT_EQ(run.output, (std::vector<Segment>{{BRIGHT_RED, std::string(4095, 'e')}}));
}

TEST_F(ToolTest, ConsoleAttributeIsReadFromStandardOutputOr15)
{
    machine().attribute = 0x4E;
    EXPECT_EQ(GetConsoleAttribute(), 0x4E);
    machine().stdoutIsConsole = false;
    EXPECT_EQ(GetConsoleAttribute(), 15);
}

TEST_F(ToolTest, SetConsoleColorAddsTheIntensityBit)
{
    struct {
        int color;
        WORD shown;
    } const cases[] = {{2, 10}, {4, 12}, {7, 15}, {10, 10}, {0, 8}, {0x17, 0x1F}, {0x4E, 0x4E}};
    for (const auto &c : cases) {
        SetConsoleColor(c.color);
        EXPECT_EQ(machine().attribute, c.shown) << c.color;
    }
}

// After Ctrl+C put the starting attribute back, no colour change of the run
// lands; the next run may change colours again.
TEST_F(ToolTest, NoColourChangeLandsAfterTheAttributeIsPutBackForGood)
{
    RestoreConsoleAttributeForGood(0x1E);
    SetConsoleColor(COLOR_GREEN);
    RestoreConsoleAttribute(7);
    ShowError("late");
    EXPECT_EQ(machine().attributesSet, std::vector<WORD>{0x1E});
    PrepareOutput();
    SetConsoleColor(COLOR_GREEN);
    EXPECT_EQ(machine().attribute, 10);
}

// Redirected output: the same text, no colour change takes. Sent to a
// character device (NUL), which the C runtime leaves unbuffered, a screen
// still leaves in at most one write per colour change.
TEST_F(ToolTest, OutputThatIsNoConsoleGetsTheSameTextWithoutColours)
{
    const std::vector<std::vector<std::string>> commands = {
        {}, {"-?"}, {"-H", "d:"}, {"-U", "d:"}, {"-H", ""}, {"-U", "@"}, {"-L", "-L", "-L"}};
    for (const auto &command : commands) {
        SCOPED_TRACE(std::to_string(command.size()) + (command.empty() ? "" : " " + command[0]));
        standin::Reset();
        machine().environment.erase("PROMPT");
        const RunResult onConsole = RunTool(command);

        standin::Reset();
        machine().environment.erase("PROMPT");
        machine().stdoutIsConsole = false;
        machine().stdoutIsCharacterDevice = true;
        const RunResult redirected = RunTool(command);

        EXPECT_EQ(redirected.text, onConsole.text);
        EXPECT_EQ(redirected.status, onConsole.status);
        EXPECT_TRUE(machine().attributesSet.empty());
        EXPECT_GT(CountCalls("SetConsoleTextAttribute"), 0);
        EXPECT_LE(machine().outputWrites, CountCalls("SetConsoleTextAttribute"));
        EXPECT_EQ(machine().attribute, 7);
        EXPECT_EQ(redirected.output, (std::vector<Segment>{{7, onConsole.text}}));
    }
}

}  // namespace

namespace {

// Text that is not ASCII, on a console and redirected: a drive label (read
// in Unicode) and the echoed drive argument (in the ANSI code page, 1252
// here). A console shows every character; a file or pipe gets the console's
// output code page (the OEM one, 437 here, without a console), a missing
// character as '?', and table columns stay aligned by the cells they take.
struct TextCase {
    const char *name;
    UINT consoleCodePage;  // 0: no console at all
    bool onConsole;        // standard output is the console
    std::vector<std::string> arguments;
    std::string label;     // drive E:'s label, UTF-8
    std::string shown;     // what must appear: UTF-8 on a console, bytes redirected
};

void PrintTo(const TextCase &c, std::ostream *out) { *out << c.name; }

// The E: row of the listing, its label column `cells` wide.
std::string LabelRow(const std::string &label, int cells)
{
    return "\n\n E:\\        " + label + std::string(20 - cells, ' ') + "   Local Disk";
}

const std::string kCjk = "\xE6\x95\xB0\xE6\x8D\xAE";  // two wide characters, 4 cells
const std::vector<std::string> kList = {"-L"};

const TextCase kTextCases[] = {
    {"ConsoleLatin", 437, true, kList, "Cl\xC3\xA9", LabelRow("Cl\xC3\xA9", 3)},
    {"ConsoleCyrillic", 866, true, kList, "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5",
     LabelRow("\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5", 6)},
    {"ConsoleWide", 850, true, kList, kCjk, LabelRow(kCjk, 4)},
    // U+1F4C1 (East Asian Width W) takes two cells; U+1F5A5 (N) one, then
    // U+4E2D two and U+00E9 one.
    {"ConsoleWideEmoji", 437, true, kList, "\xF0\x9F\x93\x81" "Data",
     LabelRow("\xF0\x9F\x93\x81" "Data", 6)},
    {"ConsoleNarrowEmoji", 437, true, kList, "\xF0\x9F\x96\xA5\xE4\xB8\xAD\xC3\xA9",
     LabelRow("\xF0\x9F\x96\xA5\xE4\xB8\xAD\xC3\xA9", 4)},
    {"NoConsoleOem", 0, false, kList, "Cl\xC3\xA9", LabelRow("Cl\x82", 3)},
    {"RedirectedConsolePage", 850, false, kList, "\xC3\x98ST", LabelRow("\x9DST", 3)},
    {"RedirectedCyrillic", 866, false, kList, "\xD0\x94\xD0\xB0",
     LabelRow("\x84\xA0", 2)},
    {"RedirectedNoLookAlike", 437, false, kList, "\xC5\x81\xC3\xB3\x64\xC5\xBA",
     LabelRow("?\xA2\x64?", 4)},
    {"RedirectedMissingWide", 437, false, kList, kCjk, LabelRow("??", 2)},
    {"RedirectedDoubleByte", 932, false, kList, kCjk,
     LabelRow(standin::CodePageFromUtf8(932, kCjk), 4)},
    {"RedirectedGb18030", 54936, false, kList, kCjk,
     LabelRow(standin::CodePageFromUtf8(54936, kCjk), 4)},
    {"RedirectedUtf8", 65001, false, kList, "Cl\xC3\xA9" + kCjk,
     LabelRow("Cl\xC3\xA9" + kCjk, 7)},
    {"EchoOnConsole", 437, true, {"-H", "D\xE9j\xE0"}, "",
     Announcement(true, "D\xC3\xA9j\xC3\xA0") + SuccessLine(true, "D\xC3\xA9j\xC3\xA0")},
    {"EchoRedirected", 850, false, {"/H", "D\xE9j\xE0"}, "",
     Announcement(true, "D\x82j\x85") + SuccessLine(true, "D\x82j\x85")},
};

class TextTest : public ToolTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextTest, ShowsAsTheSystemShowsIt)
{
    const TextCase &c = GetParam();
    machine().hasConsole = c.consoleCodePage != 0;
    machine().consoleCodePage = c.consoleCodePage;
    machine().stdoutIsConsole = c.onConsole;
    machine().drives[4] = standin::Drive{DRIVE_FIXED, c.label, "NTFS", true};

    RunResult run = RunTool(c.arguments);

    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.text.find(c.shown), std::string::npos)
        << ::testing::PrintToString(standin::Segment{0, run.text});
    EXPECT_EQ(run.text.rfind(kBanner, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Texts, TextTest, ::testing::ValuesIn(kTextCases),
                         [](const ::testing::TestParamInfo<TextCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
