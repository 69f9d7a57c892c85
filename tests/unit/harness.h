// Shared set-up for the unit tests: a fresh stand-in machine per test and a
// way to run the tool end to end on it, capturing what it printed.
#ifndef VELMORA_TESTS_UNIT_HARNESS_H
#define VELMORA_TESTS_UNIT_HARNESS_H

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "policy/policy.h"
#include "standin/model.h"
#include "tests/screens.h"

// What one run of the tool left behind.
struct RunResult {
    int status = -1;
    std::vector<standin::Segment> output;  // merged by attribute
    std::string text;                      // all of it, without attributes
};

// Runs the whole program with these arguments (the program name is added in
// front) on the current stand-in machine. A run that ends the process (a
// console control event) gives the status the process ended with.
RunResult RunTool(const std::vector<std::string> &arguments);

// Runs any piece of the tool's code with standard output captured.
template <typename Body>
RunResult Capture(Body body)
{
    RunResult result;
    standin::StartCapture();
    result.status = body();
    std::vector<standin::Segment> segments = standin::StopCapture();
    result.text = standin::TextOf(segments);
    result.output = standin::Merged(segments);
    return result;
}

// The NoDrives value as stored, for tests that set and read it: a failure
// says what is stored instead, at the line that checked it.
void StoreNoDrives(DWORD value);
::testing::AssertionResult StoredNoDrivesIs(DWORD expected);  // a 4-byte REG_DWORD of `expected`

// Nothing left open after a run: every key closed; every kernel handle
// closed, or its close at least tried when CloseHandle was made to fail; the
// update lock released unless ReleaseMutex failed, and no value written
// without it; no "No disk" dialog waiting for a click; every security
// descriptor freed; user32 freed, unless FreeLibrary failed or the run
// announced a change (`user32Kept`: the announcing thread may still be inside
// it). `failed`: the functions made to fail during the run.
::testing::AssertionResult NothingLeftOpen(const std::set<std::string> &failed, bool user32Kept);


// A fresh stand-in machine for every test.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { standin::Reset(); }
    standin::Machine &machine() { return standin::TheMachine(); }
};

// Segments compare by attribute and text and print readably (escaped, with
// the attribute) when an expectation fails.
namespace standin {
bool operator==(const Segment &a, const Segment &b);
void PrintTo(const Segment &segment, std::ostream *out);
}  // namespace standin

// Bright colours as they end up on screen.
enum : WORD { BRIGHT_GREEN = 10, BRIGHT_RED = 12, BRIGHT_WHITE = 15 };

// The usage screen as it shows: the banner in bright white, the usage lines
// in bright green.
std::vector<standin::Segment> UsageScreen();

#endif
