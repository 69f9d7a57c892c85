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

// Every command line ends in the attribute the console started with, plus
// the intensity bit.
TEST_F(ToolTest, RunEndsInTheStartingAttributeWithIntensity)
{
    struct {
        WORD start, end;
    } const attributes[] = {{7, 15}, {10, 10}, {3, 11}, {0, 8}, {0x17, 0x1F}, {0x1E, 0x1E}};
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

// Redirected output: the same text, no colour change takes.
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
        const RunResult redirected = RunTool(command);

        EXPECT_EQ(redirected.text, onConsole.text);
        EXPECT_EQ(redirected.status, onConsole.status);
        EXPECT_TRUE(machine().attributesSet.empty());
        EXPECT_GT(CountCalls("SetConsoleTextAttribute"), 0);
        EXPECT_EQ(machine().attribute, 7);
        EXPECT_EQ(redirected.output, (std::vector<Segment>{{7, onConsole.text}}));
    }
}

}  // namespace
