// End-to-end tests of the real Velmora.exe. Each test starts it as a child
// process with its output on pipes, checks the exit status and every byte it
// printed, and reads the registry back through the API. CTest runs them under
// Wine in a fresh 64-bit prefix (scripts/make-test-prefix.sh); on 64-bit
// Windows they run the same from an elevated prompt. The program is built for
// x86 and for x64 alike; either can run either build of Velmora.exe.
//
//   velmora_e2e_tests [gtest flags] PATH\TO\Velmora.exe
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/machine_guard.h"
#include "tests/screens.h"

namespace {

std::string g_velmora;        // the path from the command line
std::string g_labelledDrive;  // --labelled-drive: "L:", or empty
std::string g_x64Lister;      // --x64-lister: the x64 test program, or empty

// ---------------------------------------------------------------- running it

enum class Prompt { Set, Empty, Absent };

struct Outcome {
    DWORD status = 0xDEADBEEF;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
};

// Quotes one argument so the C run-time's parser hands it over unchanged.
std::string QuoteArgument(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// Our own environment with PROMPT as cmd.exe sets it, empty, or left out.
std::string ChildEnvironment(Prompt prompt)
{
    std::string block;
    char *strings = GetEnvironmentStringsA();
    for (const char *entry = strings; *entry; entry += strlen(entry) + 1) {
        if (_strnicmp(entry, "PROMPT=", 7) != 0)
            block.append(entry, strlen(entry) + 1);
    }
    FreeEnvironmentStringsA(strings);
    if (prompt == Prompt::Set)
        block.append("PROMPT=$P$G", 12);
    else if (prompt == Prompt::Empty)
        block.append("PROMPT=", 8);
    block += '\0';
    return block;
}

struct PipeReader {
    HANDLE pipe;
    std::string data;
};

DWORD WINAPI DrainPipe(LPVOID parameter)
{
    PipeReader *reader = static_cast<PipeReader *>(parameter);
    char buffer[4096];
    DWORD count;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &count, NULL) && count > 0)
        reader->data.append(buffer, count);
    return 0;
}

// One started copy of Velmora.exe and the threads draining its output. The
// threads point into it, so it stays where it was made.
struct Child {
    std::string commandLine;
    PROCESS_INFORMATION process = {};
    bool started = false;
    PipeReader out = {NULL, ""};
    PipeReader err = {NULL, ""};
    HANDLE readers[2] = {NULL, NULL};
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
};

// Starts Velmora.exe with these arguments and CreateProcessA's `flags` added
// to DETACHED_PROCESS: the child gets no console of its own, so the key wait
// of the no-argument screen ends at once instead of waiting for a key press.
void Launch(Child &child, const std::vector<std::string> &arguments, Prompt prompt, DWORD flags,
            const std::string &program = g_velmora)
{
    child.commandLine = QuoteArgument(program);
    for (const std::string &argument : arguments)
        child.commandLine += " " + QuoteArgument(argument);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE outWrite, errWrite;
    if (!CreatePipe(&child.out.pipe, &outWrite, &inheritable, 0) ||
        !CreatePipe(&child.err.pipe, &errWrite, &inheritable, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return;
    }
    SetHandleInformation(child.out.pipe, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child.err.pipe, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, NULL);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::string environment = ChildEnvironment(prompt);
    std::vector<char> mutableCommandLine(child.commandLine.begin(), child.commandLine.end());
    mutableCommandLine.push_back('\0');
    // Started suspended, so that it is in the job before it does anything.
    Launching launching;
    child.started = CreateProcessA(NULL, mutableCommandLine.data(), NULL, NULL, TRUE,
                                   DETACHED_PROCESS | CREATE_SUSPENDED | flags, &environment[0],
                                   NULL, &startup, &child.process) != 0;
    DWORD startError = GetLastError();
    if (child.started && VelmoraJob() && !AssignProcessToJobObject(VelmoraJob(), child.process.hProcess))
        ADD_FAILURE() << "cannot put " << child.commandLine << " in the job: " << GetLastError();
    if (child.started && !(flags & CREATE_SUSPENDED))
        ResumeThread(child.process.hThread);
    // Only the child holds the write ends now: the reads end when it does.
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(input);
    if (!child.started) {
        ADD_FAILURE() << "cannot start " << child.commandLine << ": error " << startError;
        return;
    }
    child.readers[0] = CreateThread(NULL, 0, DrainPipe, &child.out, 0, NULL);
    child.readers[1] = CreateThread(NULL, 0, DrainPipe, &child.err, 0, NULL);
}

// Waits for a child that Launch started and collects what it did.
Outcome Finish(Child &child)
{
    Outcome run;
    if (child.started) {
        if (WaitForSingleObject(child.process.hProcess, 120000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << child.commandLine << " did not end; stopped";
            TerminateProcess(child.process.hProcess, 99);
        }
        // Everything it wrote is in the pipes once it has ended; a process it
        // started may still hold their write ends (under Wine, the desktop
        // process that its broadcast started), so the reads are ended after
        // a while instead of waiting for their end of file.
        if (WaitForMultipleObjects(2, child.readers, TRUE, 10000) != WAIT_OBJECT_0) {
            for (HANDLE reader : child.readers)
                CancelSynchronousIo(reader);
            WaitForMultipleObjects(2, child.readers, TRUE, 5000);
        }
        CloseHandle(child.readers[0]);
        CloseHandle(child.readers[1]);
        GetExitCodeProcess(child.process.hProcess, &run.status);
        CloseHandle(child.process.hProcess);
        CloseHandle(child.process.hThread);
    }
    if (child.out.pipe)
        CloseHandle(child.out.pipe);
    if (child.err.pipe)
        CloseHandle(child.err.pipe);
    run.out = child.out.data;
    run.err = child.err.data;
    return run;
}

// Starts Velmora.exe with these arguments and waits for it.
Outcome RunVelmora(const std::vector<std::string> &arguments, Prompt prompt = Prompt::Set)
{
    Child child;
    Launch(child, arguments, prompt, 0);
    return Finish(child);
}

// ---------------------------------------------------------- expected output

// Standard output is in text mode: every line feed leaves as CR LF.
std::string Crlf(const std::string &text)
{
    std::string converted;
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

const std::string kUsage = kBanner + kUsageLines;

// What -H (hide true) or -U prints for the drive argument as echoed; a
// failure ends with its reason.
std::string DriveCommandText(bool hide, const std::string &echoed, bool succeeded,
                             const std::string &reason = "")
{
    std::string text = kBanner + Announcement(hide, echoed);
    return succeeded ? text + SuccessLine(hide, echoed) + kNote
                     : text + FailureText(hide) + ReasonLine(reason);
}

// Whether this is the Wine prefix that scripts/make-test-prefix.sh prepared,
// known by the mark it leaves: its drives, and its policy key that cases
// may delete. Anywhere else, another Wine prefix included, the program
// behaves as on a Windows machine.
bool InTestPrefix()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\VelmoraE2ETests", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    bool marked = RegQueryValueExA(key, "TestPrefix", NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return marked;
}

// ------------------------------------------------------------- the registry

const char kPolicyKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";
const REGSAM k64 = KEY_WOW64_64KEY;
const REGSAM k32 = KEY_WOW64_32KEY;

// NoDrives as stored: absent, or a type and its bytes.
struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const Value &other) const
    {
        return present == other.present && type == other.type && data == other.data;
    }
};

std::string TypeName(DWORD type)
{
    static const char *const kTypes[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                         "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
                                         "REG_MULTI_SZ", "?", "?", "?", "REG_QWORD"};
    return type < 12 ? kTypes[type] : "?";
}

void PrintTo(const Value &value, std::ostream *os)
{
    if (!value.present) {
        *os << "(absent)";
        return;
    }
    *os << TypeName(value.type) << ", " << value.data.size() << " bytes:";
    for (BYTE b : value.data) {
        char hex[4];
        snprintf(hex, sizeof hex, " %02x", b);
        *os << hex;
    }
}

Value Absent() { return Value(); }

Value Raw(DWORD type, std::vector<BYTE> data)
{
    Value value;
    value.present = true;
    value.type = type;
    value.data = std::move(data);
    return value;
}

Value Dword(DWORD mask)
{
    return Raw(REG_DWORD, {BYTE(mask), BYTE(mask >> 8), BYTE(mask >> 16), BYTE(mask >> 24)});
}

Value Text(const char *text)
{
    return Raw(REG_SZ, std::vector<BYTE>(text, text + strlen(text) + 1));
}

bool KeyExists(REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Reads NoDrives through one view, k64 or k32.
Value ReadValue(REGSAM view)
{
    Value value;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return value;
    BYTE data[256];
    DWORD size = sizeof data;
    LONG status = RegQueryValueExA(key, "NoDrives", NULL, &value.type, data, &size);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS) {
        value.present = true;
        value.data.assign(data, data + size);
    } else {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << "reading NoDrives";
        value.type = REG_NONE;
    }
    return value;
}

void WriteValue(REGSAM view, const Value &value)
{
    RegistryWrite lock;
    NoteFirstChange();
    HKEY key;
    if (!value.present && !KeyExists(view))
        return;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, NULL, 0,
                                             KEY_SET_VALUE | view, NULL, &key, NULL));
    if (value.present) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "NoDrives", 0, value.type, value.data.data(),
                                                (DWORD)value.data.size()));
    } else {
        LONG status = RegDeleteValueA(key, "NoDrives");
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
    }
    RegCloseKey(key);
}

// The test prefix only: no case deletes the policy key of a real machine.
void DeleteKey(REGSAM view)
{
    ASSERT_TRUE(InTestPrefix()) << "the policy key is deleted only in the test prefix";
    RegistryWrite lock;
    NoteFirstChange();
    LONG status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, view, 0);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

// Puts back both views of the policy key as the test found them.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            existed_[i] = KeyExists(kViews[i]);
            saved_[i] = ReadValue(kViews[i]);
        }
    }
    void TearDown() override
    {
        for (int i = 0; i < 2; ++i) {
            if (existed_[i] || !InTestPrefix())
                WriteValue(kViews[i], saved_[i]);
            else
                DeleteKey(kViews[i]);
        }
    }

private:
    const REGSAM kViews[2] = {k64, k32};
    bool existed_[2] = {};
    Value saved_[2];
};

// ---------------------------------------------------------------- the drives

std::string Pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

struct Drive {
    std::string root, label, type, fileSystem;
};

// One drive as the listing shows it, from what Windows tells this program.
Drive DescribeFromApi(char letter)
{
    Drive drive;
    drive.root = std::string(1, letter) + ":\\";
    UINT type = GetDriveTypeA(drive.root.c_str());
    bool floppyLetter = letter == 'A' || letter == 'B';
    switch (type) {
    case DRIVE_REMOVABLE: drive.type = floppyLetter ? "Floppy Disk Drive" : "Removable Disk"; break;
    case DRIVE_FIXED: drive.type = "Local Disk"; break;
    case DRIVE_REMOTE: drive.type = "Network Drive"; break;
    case DRIVE_CDROM: drive.type = "CD/DVD Drive"; break;
    case DRIVE_RAMDISK: drive.type = "RAM Disk"; break;
    default: drive.type = "Unknown"; break;
    }
    if (type != DRIVE_REMOTE) {  // a network drive is never asked
        // Velmora's output is a pipe here, where there is no console: its
        // labels come in the OEM code page (single-byte here, so a byte is a
        // column), a character it lacks as '?'.
        WCHAR root[] = {WCHAR(letter), L':', L'\\', 0};
        WCHAR label[MAX_PATH + 1] = L"", fileSystem[MAX_PATH + 1] = L"";
        GetVolumeInformationW(root, label, MAX_PATH + 1, NULL, NULL, NULL, fileSystem, MAX_PATH + 1);
        char oem[1024] = "", ascii[1024] = "";
        WideCharToMultiByte(GetOEMCP(), WC_NO_BEST_FIT_CHARS, label, -1, oem, sizeof oem, "?", NULL);
        WideCharToMultiByte(GetOEMCP(), 0, fileSystem, -1, ascii, sizeof ascii, NULL, NULL);
        drive.label = oem;
        drive.fileSystem = ascii;
    }
    if (drive.label.empty()) {
        if (type == DRIVE_CDROM)
            drive.label = "BD-ROM Drive";
        else if (type == DRIVE_REMOVABLE && floppyLetter)
            drive.label = "Floppy Disk Drive";
        else if (type == DRIVE_FIXED)
            drive.label = "Local Disk";
    }
    return drive;
}

std::string Row(const std::string &root, const std::string &label, const std::string &type,
                const std::string &fileSystem, const std::string &status)
{
    return "\n\n " + Pad(root, 8) + "   " + Pad(label, 20) + "   " + Pad(type, 20) + "   " +
           Pad(fileSystem, 15) + "   " + status;
}

// In the test prefix its listing, written out in tests/screens.h, with the
// drives of `hidden` marked Hidden. Elsewhere the drives are the machine's
// own, so their rows come from what Windows tells this program.
std::string ExpectedListing(DWORD hidden)
{
    if (InTestPrefix()) {
        std::string text = kBanner + kWinePrefixListing;
        for (int i = 0; i < 26; ++i) {
            size_t row = text.find(std::string("\n\n ") + char('A' + i) + ":\\");
            if ((hidden & (1u << i)) && row != std::string::npos)
                text.replace(text.find("Visible", row), 7, "Hidden");
        }
        return text;
    }
    std::string text = kBanner + "\n\n" +
                       Row("Drive", "Drive Name", "Drive Type", "File System", "Drive Status") +
                       "\n " + std::string(87, '=');
    DWORD present = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(present & (1u << i)))
            continue;
        Drive drive = DescribeFromApi(char('A' + i));
        text += Row(drive.root, drive.label, drive.type, drive.fileSystem,
                    (hidden & (1u << i)) ? "Hidden" : "Visible");
    }
    return text + "\n\n";
}

// Plants 0x200 in the 32-bit view of NoDrives and removes it from the 64-bit
// one; true when the 64-bit view then still has none.
bool ViewsAreSeparate()
{
    WriteValue(k64, Absent());
    WriteValue(k32, Dword(0x200));
    return ReadValue(k64) == Absent();
}


// ------------------------------------------------ a program told of changes

// A top-level window of this program, with its message loop in a thread of
// its own, as any running program has: it counts the WM_SETTINGCHANGE
// messages that name "Policy" and keeps the wParam of the last one. One at
// a time.
class SettingListener {
public:
    SettingListener()
    {
        Forget();
        ready_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        thread_ = CreateThread(NULL, 0, Run, this, 0, NULL);
        if (thread_ == NULL || WaitForSingleObject(ready_, 30000) != WAIT_OBJECT_0)
            window_ = NULL;
    }
    ~SettingListener()
    {
        if (window_ != NULL)
            PostMessageA(window_, WM_CLOSE, 0, 0);
        if (thread_ != NULL) {
            WaitForSingleObject(thread_, 30000);
            CloseHandle(thread_);
        }
        CloseHandle(ready_);
    }
    bool Listening() const { return window_ != NULL; }
    LONG PolicyNotices() const { return InterlockedCompareExchange(&notices_, 0, 0); }
    WPARAM LastWParam() const { return lastWParam_; }
    void Forget() { InterlockedExchange(&notices_, 0); }

private:
    static LRESULT CALLBACK Receive(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_SETTINGCHANGE && lParam != 0 && strcmp((const char *)lParam, "Policy") == 0) {
            lastWParam_ = wParam;
            InterlockedIncrement(&notices_);
        }
        if (message == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcA(window, message, wParam, lParam);
    }
    static DWORD WINAPI Run(LPVOID parameter)
    {
        SettingListener *self = (SettingListener *)parameter;
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Receive;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "VelmoraTestSettingListener";
        RegisterClassA(&windowClass);
        // Not a message-only window: those get no broadcasts.
        self->window_ = CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10,
                                        10, NULL, NULL, windowClass.hInstance, NULL);
        SetEvent(self->ready_);
        if (self->window_ == NULL)
            return 1;
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0)
            DispatchMessageA(&message);
        return 0;
    }

    HANDLE ready_ = NULL;
    HANDLE thread_ = NULL;
    HWND window_ = NULL;
    static LONG notices_;
    static volatile WPARAM lastWParam_;
};
LONG SettingListener::notices_ = 0;
volatile WPARAM SettingListener::lastWParam_ = 0;

// ------------------------------------------------------------------- tests

class Prefix : public RegistryTest {};
class Commands : public RegistryTest {};
class Policy : public RegistryTest {};
class RegistryView : public RegistryTest {};
class Listing : public RegistryTest {};
class Lock : public RegistryTest {};

// What make-test-prefix.sh sets up, as Wine reports it: the listing and
// view tests below only mean something if all of it is there.
TEST_F(Prefix, HasTheDrivesAndRegistryViewsTheTestsNeed)
{
    if (!InTestPrefix())
        GTEST_SKIP() << "made for the Wine test prefix, whose mark this system lacks";

    struct {
        char letter;
        UINT type;
        const char *label;  // NULL: not asked
    } const expected[] = {
        {'A', DRIVE_REMOVABLE, ""},
        {'C', DRIVE_FIXED, ""},
        {'D', DRIVE_FIXED, "Velmora Data"},
        {'E', DRIVE_FIXED, "Quarterly Reports Archive 2026"},
        {'F', DRIVE_CDROM, "VELMORA_CD"},
        {'G', DRIVE_CDROM, ""},
        {'H', DRIVE_REMOVABLE, ""},
        {'K', DRIVE_NO_ROOT_DIR, NULL},
        {'L', DRIVE_FIXED, "Cl\xE9"},  // "Clé", in the ANSI code page 1252
        {'N', DRIVE_REMOTE, NULL},
        {'R', DRIVE_RAMDISK, ""},
        {'Z', DRIVE_FIXED, ""},
    };
    DWORD present = GetLogicalDrives();
    for (const auto &drive : expected) {
        char root[] = {drive.letter, ':', '\\', '\0'};
        SCOPED_TRACE(root);
        EXPECT_TRUE(present & (1u << (drive.letter - 'A')));
        EXPECT_EQ(drive.type, GetDriveTypeA(root));
        if (drive.label) {
            char label[256] = "", fileSystem[256] = "";
            EXPECT_TRUE(GetVolumeInformationA(root, label, sizeof label, NULL, NULL, NULL,
                                              fileSystem, sizeof fileSystem));
            EXPECT_STREQ(drive.label, label);
        }
    }

    EXPECT_TRUE(ViewsAreSeparate()) << "Wine's link between the views should be cut";
}

// Every way in but a hide, unhide or listing that does its work: the screens,
// the error lines and the exit statuses. None of them touches the registry.
TEST_F(Commands, ScreensErrorsAndExitStatuses)
{
    struct {
        std::vector<std::string> arguments;
        Prompt prompt;
        std::string expected;
        DWORD status;
    } const cases[] = {
        {{}, Prompt::Set, kUsage, 0},
        {{}, Prompt::Absent, kUsage + kNotFromPromptNoWait, 0},
        {{}, Prompt::Empty, kUsage + kNotFromPromptNoWait, 0},
        {{"-?"}, Prompt::Set, kUsage, 0},
        {{"-?"}, Prompt::Absent, kUsage, 0},
        {{"/?"}, Prompt::Set, kUsage, 0},
        // Not understood: the same usage screen, and a status a script sees.
        {{"-x"}, Prompt::Set, kUsage, 1},
        {{"-list"}, Prompt::Set, kUsage, 1},
        {{"/H"}, Prompt::Set, kUsage, 1},
        {{"-L", "D:"}, Prompt::Set, kUsage, 1},
        {{"-X", "D:"}, Prompt::Set, kUsage, 1},
        {{"-HU", "D"}, Prompt::Set, kUsage, 1},
        {{"-H", ""}, Prompt::Set, kUsage + kDriveNotSpecified, 1},
        {{"/H", ""}, Prompt::Set, kUsage + kDriveNotSpecified, 1},
        {{"-u", ""}, Prompt::Set, kUsage + kDriveNotSpecified, 1},
        {{"-H", "1"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-h", "1:"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-U", "\\"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-U", "@"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-H", "[:"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-H", " D:"}, Prompt::Set, kUsage + kInvalidDriveName, 1},
        {{"-H", "D:", "E:"}, Prompt::Set, kUsage + kInvalidParameters, 1},
        {{"-L", "-L", "-L", "-L"}, Prompt::Set, kUsage + kInvalidParameters, 1},
    };
    const Value planted = Dword(0x0C);
    WriteValue(k64, planted);
    for (const auto &c : cases) {
        std::string shown;
        for (const std::string &argument : c.arguments)
            shown += " [" + argument + "]";
        SCOPED_TRACE("arguments:" + shown + (c.prompt == Prompt::Set     ? ""
                                             : c.prompt == Prompt::Empty ? ", PROMPT empty"
                                                                         : ", no PROMPT"));
        Outcome run = RunVelmora(c.arguments, c.prompt);
        EXPECT_EQ(c.status, run.status);
        EXPECT_EQ(Crlf(c.expected), run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(planted, ReadValue(k64));
    }
}

// Started with its window hidden in a console of its own, as Start-Process
// -WindowStyle Hidden or WshShell.Run with 0 start it: the console and its
// window exist, but nobody sees them, so a bare start must not wait for a key.
TEST_F(Commands, StartedHiddenInANewConsoleEndsByItself)
{
    std::string commandLine = QuoteArgument(g_velmora);
    std::string environment = ChildEnvironment(Prompt::Absent);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    bool started;
    {
        Launching launching;
        started = CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE,
                                 CREATE_NEW_CONSOLE | CREATE_SUSPENDED, &environment[0], NULL,
                                 &startup, &process) != 0;
        if (started && VelmoraJob())
            AssignProcessToJobObject(VelmoraJob(), process.hProcess);
    }
    ASSERT_TRUE(started) << "cannot start " << commandLine << ": error " << GetLastError();
    ResumeThread(process.hThread);
    DWORD waited = WaitForSingleObject(process.hProcess, 20000);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    DWORD status = 99;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, waited) << "still waiting for a key after 20 s; stopped";
    EXPECT_EQ(0u, status);
}

// -H and -U against the real registry: the merged value is written back as a
// 4-byte REG_DWORD; a value that is no usable mask stays exactly as it was.
TEST_F(Policy, HideAndUnhideMergeOneBit)
{
    struct {
        Value before;
        bool hide;
        std::string argument, echoed;
        Value after;  // as it must be stored afterwards
        bool succeeds;
    } const cases[] = {
        {Absent(), true, "E", "E", Dword(0x10), true},
        {Absent(), true, "e:", "E:", Dword(0x10), true},
        {Dword(0x0C), false, "d", "D", Dword(0x04), true},
        {Dword(0x0C), true, "C", "C", Dword(0x0C), true},
        {Dword(0x0C), true, "f:\\", "F:\\", Dword(0x2C), true},
        {Dword(0xFFFFFFFF), false, "A", "A", Dword(0xFFFFFFFE), true},
        {Dword(0xFC000000), true, "z", "Z", Dword(0xFE000000), true},
        // Nothing left hidden: no value, so each user's own policy applies.
        {Absent(), false, "C", "C", Absent(), true},
        {Dword(0), false, "Q:", "Q:", Absent(), true},
        {Dword(0x04), false, "c:", "C:", Absent(), true},
        // An argument in the ANSI code page (1252, "Déjà") is echoed in the
        // OEM one (437), as output to a pipe is.
        {Dword(0x04), true, "D\xE9j\xE0", "D\x82j\x85", Dword(0x0C), true},
        {Raw(REG_BINARY, {0x04, 0x00, 0x00, 0x80}), true, "E", "E", Dword(0x80000014), true},
        {Raw(REG_BINARY, {0x01, 0x02}), false, "a", "A", Dword(0x00000200), true},
        {Raw(REG_BINARY, {}), true, "B", "B", Dword(0x02), true},
        {Raw(REG_DWORD, {}), false, "b", "B", Absent(), true},
        {Raw(REG_DWORD, {0x08, 0x00, 0x01}), true, "C", "C", Dword(0x0001000C), true},
        // Not a mask: refused, and left alone byte for byte.
        {Text("16"), true, "E", "E", Text("16"), false},
        {Text("ab"), false, "A", "A", Text("ab"), false},
        {Text("0x0000000C"), false, "C", "C", Text("0x0000000C"), false},
        {Raw(REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}), false, "A", "A",
         Raw(REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}), false},
        {Raw(REG_QWORD, {0x0C, 0, 0, 0, 0, 0, 0, 0}), true, "E", "E",
         Raw(REG_QWORD, {0x0C, 0, 0, 0, 0, 0, 0, 0}), false},
        {Raw(REG_BINARY, {0x0C, 0, 0, 0, 0}), true, "E", "E", Raw(REG_BINARY, {0x0C, 0, 0, 0, 0}),
         false},
        {Raw(REG_MULTI_SZ, {'C', 0, 0}), false, "C", "C", Raw(REG_MULTI_SZ, {'C', 0, 0}), false},
    };
    for (const auto &c : cases) {
        ::testing::Message trace;
        trace << (c.hide ? "-H " : "-U ") << c.argument << " on " << ::testing::PrintToString(c.before);
        SCOPED_TRACE(trace);
        WriteValue(k64, c.before);
        Outcome run = RunVelmora({c.hide ? "-H" : "-U", c.argument});
        EXPECT_EQ(c.succeeds ? 0u : 1u, run.status);
        const std::string reason =
            c.succeeds ? "" : NotAMask(TypeName(c.before.type), c.before.data.size());
        EXPECT_EQ(Crlf(DriveCommandText(c.hide, c.echoed, c.succeeds, reason)), run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(c.after, ReadValue(k64));
    }
}

// A hide or unhide that changed the stored value tells running programs that
// policy changed: WM_SETTINGCHANGE with "Policy" and wParam 0 reaches the
// top-level windows of Velmora's desktop, this program's among them. A
// listing or a failed hide says nothing. The send is synchronous, so a
// notice has arrived by the time Velmora has ended.
TEST_F(Policy, ChangesAreAnnouncedToRunningPrograms)
{
    SettingListener listener;
    ASSERT_TRUE(listener.Listening())
        << "this program cannot make a top-level window (Wine makes none without an X display "
           "unless HKCU\\Software\\Wine\\Drivers has Graphics = null)";
    struct {
        std::vector<std::string> arguments;
        Value before;
        DWORD status;
        LONG notices;
    } const cases[] = {
        {{"-H", "E"}, Dword(0x04), 0, 1},
        {{"-U", "C"}, Dword(0x04), 0, 1},
        {{"-L"}, Dword(0x04), 0, 0},
        {{"-H", "E"}, Text("16"), 1, 0},  // no mask: refused
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments[0] + " on " + ::testing::PrintToString(c.before));
        WriteValue(k64, c.before);
        listener.Forget();
        Outcome run = RunVelmora(c.arguments);
        EXPECT_EQ(c.status, run.status);
        EXPECT_EQ(c.notices, listener.PolicyNotices());
        if (c.notices > 0) {
            EXPECT_EQ(0u, listener.LastWParam()) << "an application sends 0";
        }
    }
}

// With no policy key at all, an unhide leaves no value behind.
TEST_F(Policy, UnhideWithoutAKeyStoresNoValue)
{
    if (!InTestPrefix())
        GTEST_SKIP() << "it deletes the policy key: the Wine test prefix only";
    DeleteKey(k64);
    ASSERT_FALSE(KeyExists(k64));
    Outcome run = RunVelmora({"/U", "C"});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Crlf(DriveCommandText(false, "C", true)), run.out);
    EXPECT_EQ(Absent(), ReadValue(k64));
}

// Only the first character of the drive argument counts, however long it is;
// the echo may be cut, but must be the argument's own beginning.
TEST_F(Policy, LongDriveArgument)
{
    WriteValue(k64, Absent());
    const std::string argument = "x:\\" + std::string(5000, 'y');
    Outcome run = RunVelmora({"-H", argument});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Dword(1u << ('X' - 'A')), ReadValue(k64));
    const std::string announce = Crlf(kBanner + Announcement(true, "X:\\yyy"));
    EXPECT_EQ(announce, run.out.substr(0, announce.size()));
    EXPECT_NE(std::string::npos, run.out.find(Crlf(SuccessLine(true, "X:\\yyy"))));
    ASSERT_GE(run.out.size(), Crlf(kNote).size());
    EXPECT_EQ(Crlf(kNote), run.out.substr(run.out.size() - Crlf(kNote).size()));
}

// A drive argument that is no letter is refused before the registry is read
// or written: an absent value stays absent, a stored one unchanged.
TEST_F(Policy, InvalidDriveNameLeavesTheRegistryAlone)
{
    for (const Value &before : {Absent(), Dword(0x0C), Text("xyz")}) {
        SCOPED_TRACE(::testing::PrintToString(before));
        WriteValue(k64, before);
        Outcome run = RunVelmora({"-H", "1"});
        EXPECT_EQ(1u, run.status);
        EXPECT_EQ(Crlf(kUsage + kInvalidDriveName), run.out);
        EXPECT_EQ(before, ReadValue(k64));
    }
}

// Eight copies hiding eight drives, started suspended and let go together,
// round after round: each waits for the others' update instead of writing
// back a value read before it, so every bit is set and every copy succeeds.
TEST_F(Policy, ConcurrentHidesLoseNoChange)
{
    const int kCopies = 8;
    const int kRounds = 10;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        WriteValue(k64, Dword(0));
        Child children[kCopies];
        for (int i = 0; i < kCopies; ++i)
            Launch(children[i], {i % 2 ? "/h" : "-H", std::string(1, char('E' + i))}, Prompt::Set,
                   CREATE_SUSPENDED);
        for (Child &child : children)
            if (child.started)
                ResumeThread(child.process.hThread);

        DWORD expected = 0;
        for (int i = 0; i < kCopies; ++i) {
            const std::string letter(1, char('E' + i));
            Outcome run = Finish(children[i]);
            EXPECT_EQ(0u, run.status) << "-H " << letter;
            EXPECT_EQ(Crlf(DriveCommandText(true, letter, true)), run.out) << "-H " << letter;
            expected |= 1u << ('E' - 'A' + i);
        }
        EXPECT_EQ(Dword(expected), ReadValue(k64));
    }
}

// The running user's own SID ("S-1-5-21-..."), or "" when it cannot be
// read: an owner that is neither LocalSystem nor Administrators, and one a
// token may always give its objects.
std::string UserSid()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    DWORD buffer[64];  // aligned for the SID inside
    DWORD needed = 0;
    char *text = NULL;
    std::string sid;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
        ConvertSidToStringSidA(((TOKEN_USER *)buffer)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

enum class Holding { Mutex, Event };

// Holds the update lock's name as another account's program would: a mutex
// owned by this thread, or an event, made with the security descriptor
// `sddl`. Every descriptor names its owner: without one, the object is owned
// by the token's default owner, which on Windows is Administrators for an
// elevated administrator (and under Wine nobody), so the holder would not
// be the someone else it stands for.
class NameHolder {
public:
    NameHolder(Holding kind, const std::string &sddl)
    {
        const char kName[] = "Global\\Velmora.NoDrives";
        PSECURITY_DESCRIPTOR descriptor = NULL;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, NULL)) {
            ADD_FAILURE() << "descriptor " << sddl << ": " << GetLastError();
            return;
        }
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
        mutex_ = kind == Holding::Mutex;
        handle_ = mutex_ ? CreateMutexA(&attributes, TRUE, kName)
                         : CreateEventA(&attributes, TRUE, FALSE, kName);
        error_ = GetLastError();
        LocalFree(descriptor);
    }
    ~NameHolder()
    {
        Release();
        if (handle_)
            CloseHandle(handle_);
    }
    bool held() const { return handle_ != NULL; }
    // Windows refuses an owner the token does not hold (1307) unless
    // SeRestorePrivilege is enabled; such a holder cannot be played here.
    bool ownerRefused() const { return handle_ == NULL && error_ == ERROR_INVALID_OWNER; }
    void Release()
    {
        if (mutex_ && handle_)
            ReleaseMutex(handle_);
        mutex_ = false;
    }

private:
    HANDLE handle_ = NULL;
    DWORD error_ = 0;
    bool mutex_ = false;
};

// A copy run as LocalSystem made the lock with LocalSystem's default access
// list, which lets Administrators only wait and read: held for a moment, it
// is waited for, and the hide goes through.
TEST_F(Lock, HeldForAMomentByLocalSystemIsWaitedFor)
{
    WriteValue(k64, Dword(0x04));
    NameHolder holder(Holding::Mutex, "O:SYD:(A;;GA;;;SY)(A;;GRGX;;;BA)");
    if (holder.ownerRefused())
        GTEST_SKIP() << "a lock owned by LocalSystem is refused without SeRestorePrivilege";
    ASSERT_TRUE(holder.held()) << GetLastError();
    Child child;
    Launch(child, {"-H", "E"}, Prompt::Set, 0);
    Sleep(700);
    holder.Release();
    Outcome run = Finish(child);
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Crlf(DriveCommandText(true, "E", true)), run.out);
    EXPECT_EQ(Dword(0x14), ReadValue(k64));
}

// A name that is not Velmora's lock fails at once, whoever holds it and
// whatever it is, and nothing is written. Holders whose owner this token may
// not give are left out, and the case is skipped after the others ran.
TEST_F(Lock, NameOfSomeoneElseFailsWithoutWaiting)
{
    const std::string user = UserSid();
    ASSERT_NE("", user) << "this user's SID cannot be read: " << GetLastError();
    const std::string other = "S-1-5-21-1004336348-1177238915-682003330-1002";
    struct {
        Holding kind;
        std::string sddl;
    } const holders[] = {
        {Holding::Mutex, "O:" + user + "D:(A;;GA;;;WD)"},  // this user, open to everyone
        {Holding::Mutex, "O:WDD:(A;;GA;;;WD)"},            // owned by Everyone
        // Another user's program, with its default access list: owned by
        // that user, open to that user and LocalSystem alone, so that even
        // an elevated administrator cannot open it.
        {Holding::Mutex, "O:" + other + "D:(A;;GA;;;" + other + ")(A;;GA;;;SY)"},
        {Holding::Event, "O:" + user + "D:(A;;GA;;;WD)"},  // not a mutex at all
    };
    std::string refused;
    for (const auto &h : holders) {
        SCOPED_TRACE((h.kind == Holding::Event ? "an event, " : "a mutex, ") + h.sddl);
        WriteValue(k64, Dword(0x04));
        NameHolder holder(h.kind, h.sddl);
        if (holder.ownerRefused()) {
            refused += " " + h.sddl;
            continue;
        }
        ASSERT_TRUE(holder.held()) << GetLastError();
        Outcome run = RunVelmora({"-H", "E"});
        EXPECT_EQ(1u, run.status);
        EXPECT_EQ(Crlf(DriveCommandText(true, "E", false, kNameHeld)), run.out);
        EXPECT_EQ(Dword(0x04), ReadValue(k64));
    }
    if (!refused.empty())
        GTEST_SKIP() << "not played, their owner is refused without SeRestorePrivilege:" << refused;
}

// A 32-bit process's HKLM\Software is redirected to Software\Wow6432Node, on
// 64-bit Windows and in Wine alike, but some keys are shared by both views:
// Wine makes Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Policies a
// link to the 64-bit Policies key, so in a stock prefix both views hold the
// same NoDrives and nothing could tell which one Velmora used. The test prefix
// cuts that link (make-test-prefix.sh): the key is then redirected, and an x86
// build without KEY_WOW64_64KEY would write a value the 64-bit shell never
// reads. With a different value planted in each view, only the 64-bit one may
// be read and changed, by either build. Where the key is shared there is no
// wrong view: skipped.
TEST_F(RegistryView, HideAndUnhideUseThe64BitView)
{
    if (!InTestPrefix())
        GTEST_SKIP() << "outside the test prefix the views share the policy key (Windows 7 and "
                        "later, and Wine's own prefixes)";
    if (!ViewsAreSeparate())
        GTEST_SKIP() << "this system shares the policy key between its views";

    Outcome run = RunVelmora({"-H", "E"});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Dword(0x10), ReadValue(k64)) << "0x210 would mean the 32-bit value was read";
    EXPECT_EQ(Dword(0x200), ReadValue(k32));

    WriteValue(k32, Dword(0xFFFFFFFF));
    run = RunVelmora({"-U", "E"});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Absent(), ReadValue(k64));
    EXPECT_EQ(Dword(0xFFFFFFFF), ReadValue(k32));
}

TEST_F(RegistryView, ListingReadsThe64BitView)
{
    if (!InTestPrefix())
        GTEST_SKIP() << "outside the test prefix the views share the policy key (Windows 7 and "
                        "later, and Wine's own prefixes)";
    if (!ViewsAreSeparate())
        GTEST_SKIP() << "this system shares the policy key between its views";
    WriteValue(k64, Dword(1u << ('D' - 'A')));
    WriteValue(k32, Dword(1u << ('E' - 'A')));
    Outcome run = RunVelmora({"-L"});
    EXPECT_EQ(0u, run.status);
    EXPECT_EQ(Crlf(ExpectedListing(1u << ('D' - 'A'))), run.out);
}

// The table against what Windows reports to this program about each drive.
TEST_F(Listing, ShowsEveryDriveWithItsStatus)
{
    const DWORD someHidden = (1u << 0) | (1u << ('E' - 'A')) | (1u << ('F' - 'A')) |
                             (1u << ('N' - 'A')) | (1u << ('Q' - 'A')) | 0xFC000000;
    struct {
        Value stored;
        DWORD hidden;  // as the listing must show it
    } const cases[] = {
        {Absent(), 0},
        {Dword(someHidden), someHidden},
        {Dword(0xFFFFFFFF), 0xFFFFFFFF},
        {Raw(REG_BINARY, {0x08, 0x00, 0x20}), 0x00200008},
        {Text("8"), 0},                       // no usable mask: nothing hidden
        {Raw(REG_DWORD, {8, 0, 0, 0, 0, 0, 0, 0}), 0},
    };
    Outcome run;
    if (InTestPrefix()) {
        DeleteKey(k64);
        run = RunVelmora({"-L"});
        EXPECT_EQ(0u, run.status);
        EXPECT_EQ(Crlf(ExpectedListing(0)), run.out) << "no policy key";
        EXPECT_FALSE(KeyExists(k64)) << "listing must not create the key";
    }

    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.stored));
        WriteValue(k64, c.stored);
        run = RunVelmora({"-L"}, Prompt::Absent);
        EXPECT_EQ(0u, run.status);
        EXPECT_EQ(Crlf(ExpectedListing(c.hidden)), run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(c.stored, ReadValue(k64)) << "listing must not write";
    }
    WriteValue(k64, Dword(0x10));
    for (const char *list : {"-l", "/L"}) {
        Outcome other = RunVelmora({list});
        EXPECT_EQ(0u, other.status) << list;
        EXPECT_EQ(Crlf(ExpectedListing(0x10)), other.out) << list;
    }
}

// A label beyond ASCII (--labelled-drive) reaches the pipe in the OEM code
// page, its column padded by the cells it shows. The labels known here, and
// their bytes in code page 437, are written out rather than converted.
TEST_F(Listing, LabelBeyondAsciiInTheOemCodePage)
{
    struct {
        const wchar_t *label;
        std::string oem437;  // padded to the label column's 20 cells
    } const kLabels[] = {
        {L"Cl\u00e9", "Cl\x82" + std::string(17, ' ')},                          // Wine's test prefix
        {L"Cl\u00e9 Donn\u00e9es", "Cl\x82 Donn\x82" "es" + std::string(9, ' ')},  // the workflow's disk
    };
    if (g_labelledDrive.empty())
        GTEST_SKIP() << "no --labelled-drive given";
    if (GetOEMCP() != 437)
        GTEST_SKIP() << "the expected bytes are code page 437's; this system's OEM code page is "
                     << GetOEMCP();
    const WCHAR root[] = {WCHAR(toupper(g_labelledDrive[0])), L':', L'\\', 0};
    WCHAR label[MAX_PATH + 1] = L"";
    ASSERT_TRUE(GetVolumeInformationW(root, label, MAX_PATH + 1, NULL, NULL, NULL, NULL, 0))
        << g_labelledDrive << ": " << GetLastError();
    const std::string *expected = NULL;
    for (const auto &known : kLabels)
        if (wcscmp(known.label, label) == 0)
            expected = &known.oem437;
    ASSERT_TRUE(expected) << "the label of " << g_labelledDrive << " is none this test knows";

    Outcome run = RunVelmora({"-L"});
    EXPECT_EQ(0u, run.status);
    const std::string row = "\r\n\r\n " + Pad(std::string(1, char(root[0])) + ":\\", 8) + "   " +
                            *expected + "   ";
    EXPECT_NE(std::string::npos, run.out.find(row)) << run.out;
}

// ------------------------------------------------------------ the shell's view

// The parsing names of the items of This PC (My Computer), one a line, as
// the shell enumerates them: what --list-shell-drives prints.
int ListShellDrives()
{
    if (FAILED(CoInitialize(NULL)))
        return 1;
    IShellFolder *desktop = NULL, *computer = NULL;
    IEnumIDList *items = NULL;
    LPITEMIDLIST drives = NULL, item = NULL;
    if (SUCCEEDED(SHGetDesktopFolder(&desktop)) &&
        SUCCEEDED(SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &drives)) &&
        SUCCEEDED(desktop->BindToObject(drives, NULL, IID_IShellFolder, (void **)&computer)) &&
        computer->EnumObjects(NULL, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items) == S_OK) {
        while (items->Next(1, &item, NULL) == S_OK) {
            STRRET name;
            WCHAR text[MAX_PATH] = L"";
            char utf8[4 * MAX_PATH] = "";
            if (SUCCEEDED(computer->GetDisplayNameOf(item, SHGDN_FORPARSING, &name)) &&
                SUCCEEDED(StrRetToBufW(&name, item, text, MAX_PATH)) &&
                WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL))
                printf("%s\n", utf8);
            CoTaskMemFree(item);
        }
        items->Release();
    }
    if (computer)
        computer->Release();
    if (desktop)
        desktop->Release();
    CoTaskMemFree(drives);
    CoUninitialize();
    return 0;
}

// The program that lists This PC as the shell a user runs sees it. That
// shell is the system's own build: on a 64-bit system a 64-bit one, which
// reads HKLM\Software through the 64-bit view, where a 32-bit program
// (under WOW64) would read the 32-bit view. So this program asks itself,
// except as an x86 program on a 64-bit system: there it asks the x64 test
// program, named by --x64-lister or else where the tests archive puts it
// (x64\ beside the x86\ folder of this program).
::testing::AssertionResult FindShellLister(std::string *lister)
{
    char self[MAX_PATH + 1] = "";
    GetModuleFileNameA(NULL, self, sizeof self);
    *lister = self;
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return ::testing::AssertionSuccess();
    *lister = g_x64Lister;
    if (lister->empty()) {
        // C:\tests\x86\velmora_e2e_tests.exe gives C:\tests\x64\velmora_e2e_tests.exe.
        std::string folder = self;
        folder.erase(folder.find_last_of('\\') + 1);
        folder.erase(folder.find_last_of('\\', folder.size() - 2) + 1);
        *lister = folder + "x64\\velmora_e2e_tests.exe";
    }
    if (GetFileAttributesA(lister->c_str()) != INVALID_FILE_ATTRIBUTES)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "this x86 program runs on a 64-bit system, whose shell is 64-bit: it needs the x64 "
              "test program to list This PC, and there is none at "
           << *lister << " (name it with --x64-lister)";
}

// What the shell lists under This PC, asked by a new process so that nothing
// this process's shell objects remember is reused.
std::set<std::string> ShellDrives(const std::string &lister)
{
    Child child;
    Launch(child, {"--list-shell-drives"}, Prompt::Set, 0, lister);
    BOOL wow64 = FALSE;
    if (child.started && IsWow64Process(child.process.hProcess, &wow64) && wow64)
        ADD_FAILURE() << lister << " runs under WOW64: it reads the 32-bit view of the policy, "
                                   "which the shell of a 64-bit system does not";
    Outcome run = Finish(child);
    std::set<std::string> names;
    std::string line;
    for (char c : run.out) {
        if (c == '\n') {
            names.insert(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    return names;
}

bool UserHasOwnNoDrives()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kPolicyKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool present = RegQueryValueExA(key, "NoDrives", NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return present;
}

class Shell : public RegistryTest {};

// What Velmora is for, end to end: after -H on a drive letter the shell no
// longer lists that drive under This PC, and after -U it does again. The
// letter is one this program defines, in its own session, to a folder of
// its own.
TEST_F(Shell, ThisPCDoesNotListAHiddenDrive)
{
    // Wine combines the machine's value with the user's; Windows takes the
    // machine's alone whenever it exists. A user's own value would make the
    // two differ, and is not this program's to change.
    if (UserHasOwnNoDrives())
        GTEST_SKIP() << "this user has a NoDrives policy of their own (HKCU)";
    char letter = 0;
    DWORD present = GetLogicalDrives();
    for (char c = 'Y'; c >= 'D' && !letter; --c) {
        WCHAR device[] = {WCHAR(c), L':', 0}, target[MAX_PATH];
        if (!(present & (1u << (c - 'A'))) && !QueryDosDeviceW(device, target, MAX_PATH))
            letter = c;
    }
    ASSERT_NE(0, letter) << "no free drive letter";
    std::string lister;
    ASSERT_TRUE(FindShellLister(&lister));
    WCHAR temporary[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, temporary);
    const std::wstring folder = std::wstring(temporary) + kOwnFolderPrefix + WCHAR(letter);
    const WCHAR device[] = {WCHAR(letter), L':', 0};
    CreateDirectoryW(folder.c_str(), NULL);
    ASSERT_TRUE(DefineDosDeviceW(0, device, folder.c_str())) << GetLastError();
    const std::string root = std::string(1, letter) + ":\\";

    EXPECT_EQ(1u, ShellDrives(lister).count(root))
        << root << " is not listed even before it is hidden";
    EXPECT_EQ(0u, RunVelmora({"-H", root}).status);
    EXPECT_EQ(0u, ShellDrives(lister).count(root)) << root << " is still listed after -H";
    EXPECT_EQ(0u, RunVelmora({"-U", root}).status);
    EXPECT_EQ(1u, ShellDrives(lister).count(root)) << root << " is not listed again after -U";

    DefineDosDeviceW(DDD_REMOVE_DEFINITION, device, NULL);
    RemoveDirectoryW(folder.c_str());
}

// Puts the machine back after the last case, before the summary; a restore
// that fails is a failure of the run.
class RestoringEnvironment : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::string report;
        if (RestoreMachine(&report))
            printf("velmora_e2e_tests: the machine is as it was\n");
        else
            ADD_FAILURE() << "the machine was not put back: " << report;
    }
};

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    GuardOptions options;
    const char *velmora = NULL;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--change-this-machine")
            options.changeThisMachine = true;
        else if (argument == "--restore-backup")
            options.restoreBackup = true;
        else if (argument == "--list-shell-drives")
            return ListShellDrives();
        else if (argument == "--labelled-drive" && i + 1 < argc)
            g_labelledDrive = argv[++i];
        else if (argument == "--x64-lister" && i + 1 < argc)
            g_x64Lister = argv[++i];
        else if (velmora == NULL && argument.compare(0, 2, "--") != 0)
            velmora = argv[i];
        else
            usage = true;
    }
    if (usage || (velmora == NULL && !options.restoreBackup)) {
        fprintf(stderr, "usage: velmora_e2e_tests [gtest flags] [--change-this-machine]\n"
                        "           [--labelled-drive L:] [--x64-lister PATH\\TO\\x64-TEST-PROGRAM]\n"
                        "           PATH\\TO\\Velmora.exe\n"
                        "       velmora_e2e_tests --restore-backup\n");
        return 2;
    }
    g_velmora = velmora ? velmora : "";

    std::vector<std::string> cases;
    const ::testing::UnitTest &tests = *::testing::UnitTest::GetInstance();
    for (int i = 0; i < tests.total_test_suite_count(); ++i) {
        const ::testing::TestSuite &suite = *tests.GetTestSuite(i);
        for (int j = 0; j < suite.total_test_count(); ++j)
            cases.push_back(std::string(suite.name()) + "." + suite.GetTestInfo(j)->name());
    }
    int refused = PrepareMachine(options, cases);
    if (refused >= 0)
        return refused;
    ::testing::AddGlobalTestEnvironment(new RestoringEnvironment);
    return RUN_ALL_TESTS();
}
