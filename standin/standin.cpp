// The stand-in Win32 functions, working on the model in standin/model.h.
#include "standin/model.h"

#include <errno.h>
#include <stdlib.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace standin {

const char kPolicyKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer";

namespace {

Machine g_machine;
uintptr_t g_nextHandle = 0x1000;

const HANDLE kStdOutput = (HANDLE)(uintptr_t)0x10;
const HANDLE kStdInput = (HANDLE)(uintptr_t)0x14;
const HANDLE kCurrentProcess = (HANDLE)(intptr_t)-1;
const HMODULE kKernel32 = (HMODULE)(uintptr_t)0x7c800000;
const HMODULE kUser32 = (HMODULE)(uintptr_t)0x7e410000;
const HWND kConsoleWindow = (HWND)(uintptr_t)0x50010;
const HWINSTA kWindowStation = (HWINSTA)(uintptr_t)0x30;
const DWORD kDebugPrivilegeLuid = 20;

// Output capture state.
struct Capture {
    bool active = false;
    int savedFd = -1;
    WORD startAttribute = 0;
    std::vector<std::pair<long, WORD>> marks;  // byte offset, attribute from there on
    std::vector<std::pair<long, long>> unicode;  // byte ranges WriteConsoleW wrote, as UTF-8
    FILE *savedStdout = nullptr;
} g_capture;

// Standard output during a capture: the C runtime's stream, whose writes
// reach file descriptor 1 and are counted.
ssize_t CountedWrite(void *, const char *data, size_t size)
{
    ++g_machine.outputWrites;
    return write(1, data, size);
}

FILE *CountedStream()
{
    static FILE *stream = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, CountedWrite, nullptr, nullptr});
    return stream;
}

// The file that captured output goes to: one per process, emptied at each
// capture, held in memory (a fuzzer captures thousands of runs a second).
int CaptureFile()
{
    static int file = -1;
    if (file < 0)
        file = memfd_create("velmora-stdout", MFD_CLOEXEC);
    if (file < 0) {
        FILE *fallback = tmpfile();
        file = dup(fileno(fallback));
        fclose(fallback);
    }
    return file;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

std::string RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return "hklm";
    if (root == HKEY_CURRENT_USER)
        return "hkcu";
    if (root == HKEY_CLASSES_ROOT)
        return "hkcr";
    if (root == HKEY_USERS)
        return "hku";
    return "";
}

// Full lower-cased path of root + subkey, or "" when the root is not known.
std::string KeyPath(HKEY root, const char *subkey)
{
    std::string base;
    auto open = g_machine.openKeys.find(root);
    if (open != g_machine.openKeys.end())
        base = open->second;
    else
        base = RootName(root);
    if (base.empty())
        return "";
    if (subkey == nullptr || *subkey == '\0')
        return base;
    return base + "\\" + Lower(subkey);
}

// Records the call; true (with the last error set) when it is made to fail.
bool Called(const char *function)
{
    g_machine.calls.push_back(function);
    int position = ++g_machine.failableCalls;
    if (g_machine.failRunCall != 0 &&
        (position == g_machine.failRunCall ||
         (g_machine.failLaterCallsToo && position > g_machine.failRunCall))) {
        g_machine.failedInRun.push_back(function);
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return true;
    }
    auto failure = g_machine.failures.find(function);
    if (failure != g_machine.failures.end()) {
        g_machine.lastError = failure->second;
        return true;
    }
    auto single = g_machine.callFailures.find(function);
    if (single == g_machine.callFailures.end())
        return false;
    auto call = single->second.find(CountCalls(function));
    if (call == single->second.end())
        return false;
    g_machine.lastError = call->second;
    return true;
}

HANDLE NewHandle(const char *kind)
{
    HANDLE handle = (HANDLE)g_nextHandle;
    g_nextHandle += 4;
    g_machine.openHandles[handle] = kind;
    ++g_machine.handlesOpened;
    return handle;
}

bool IsOpen(HANDLE handle, const char *kind)
{
    auto open = g_machine.openHandles.find(handle);
    return open != g_machine.openHandles.end() && open->second == kind;
}

HKEY NewKeyHandle(const std::string &path)
{
    HKEY key = (HKEY)g_nextHandle;
    g_nextHandle += 4;
    g_machine.openKeys[key] = path;
    return key;
}

std::map<std::string, RegistryValue> *OpenKeyValues(HKEY key)
{
    auto open = g_machine.openKeys.find(key);
    if (open == g_machine.openKeys.end())
        return nullptr;
    auto found = g_machine.keys.find(open->second);
    return found == g_machine.keys.end() ? nullptr : &found->second;
}

void CreateKeyPath(const std::string &path)
{
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        g_machine.keys[path.substr(0, at)];
    g_machine.keys[path];
}


// iconv's name for a Windows code page.
std::string CodePageName(UINT codePage)
{
    if (codePage == CP_ACP)
        codePage = g_machine.ansiCodePage;
    else if (codePage == CP_OEMCP)
        codePage = g_machine.oemCodePage;
    if (codePage == CP_UTF8)
        return "UTF-8";
    if (codePage == 54936)
        return "GB18030";
    return "CP" + std::to_string(codePage);
}

// Converts `in` with iconv; false when a character cannot be converted.
bool Iconv(const std::string &to, const std::string &from, const std::string &in, std::string *out)
{
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == (iconv_t)-1)
        return false;
    std::string input = in;
    char buffer[64];
    char *source = input.empty() ? buffer : &input[0];
    size_t left = input.size();
    bool ok = true;
    out->clear();
    while (left > 0) {
        char *target = buffer;
        size_t room = sizeof buffer;
        size_t result = iconv(cd, &source, &left, &target, &room);
        out->append(buffer, (size_t)(target - buffer));
        if (result == (size_t)-1 && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

std::string Utf16Bytes(const WCHAR *text, size_t units)
{
    return std::string((const char *)text, units * sizeof(WCHAR));
}

// UTF-8 from UTF-16 code units; a unit that is no character becomes U+FFFD.
std::string Utf8FromUtf16(const WCHAR *text, size_t units)
{
    std::string out, piece;
    for (size_t i = 0; i < units;) {
        if (text[i] < 0x80) {  // every code page modelled here is ASCII below 0x80
            out += (char)text[i++];
            continue;
        }
        size_t n = (text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < units) ? 2 : 1;
        out += Iconv("UTF-8", "UTF-16LE", Utf16Bytes(text + i, n), &piece) ? piece : "\xEF\xBF\xBD";
        i += n;
    }
    return out;
}

// UTF-16 from bytes in a code page; a byte sequence that is no character
// becomes U+FFFD.
std::u16string Utf16FromCodePage(UINT codePage, const std::string &bytes)
{
    std::u16string out;
    std::string piece;
    const std::string name = CodePageName(codePage);
    for (size_t i = 0; i < bytes.size();) {
        if ((unsigned char)bytes[i] < 0x80) {
            out += (char16_t)bytes[i++];
            continue;
        }
        size_t n = 1;
        while (n <= 4 && i + n <= bytes.size() &&
               !Iconv("UTF-16LE", name, bytes.substr(i, n), &piece))
            ++n;
        if (n > 4 || i + n > bytes.size()) {
            out += u'\xFFFD';
            i += 1;
            continue;
        }
        out.append((const char16_t *)piece.data(), piece.size() / 2);
        i += n;
    }
    return out;
}

}  // namespace

std::string Utf8FromCodePage(UINT codePage, const std::string &bytes)
{
    std::u16string wide = Utf16FromCodePage(codePage, bytes);
    return Utf8FromUtf16(wide.data(), wide.size());
}

std::string CodePageFromUtf8(UINT codePage, const std::string &text)
{
    std::u16string wide = Utf16FromCodePage(CP_UTF8, text);
    std::string out, piece;
    for (size_t i = 0; i < wide.size();) {
        if (wide[i] < 0x80) {
            out += (char)wide[i++];
            continue;
        }
        size_t n = (wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < wide.size()) ? 2 : 1;
        out += Iconv(CodePageName(codePage), "UTF-16LE", Utf16Bytes(wide.data() + i, n), &piece)
                   ? piece
                   : "?";
        i += n;
    }
    return out;
}

namespace {

BOOL WINAPI FakeIsWow64Process(HANDLE process, PBOOL wow64)
{
    bool failed = Called("IsWow64Process");
    ++g_machine.wow64Calls;
    // A failed call leaves the caller's flag as it was.
    if (failed || process != kCurrentProcess || wow64 == nullptr)
        return FALSE;
    *wow64 = g_machine.wow64 == WOW64_TRUE ? TRUE : FALSE;
    return TRUE;
}

HWINSTA WINAPI FakeGetProcessWindowStation(void)
{
    if (Called("GetProcessWindowStation"))
        return nullptr;
    return kWindowStation;
}

BOOL WINAPI FakeGetUserObjectInformationW(HANDLE hObj, int nIndex, LPVOID pvInfo, DWORD nLength,
                                          LPDWORD lpnLengthNeeded)
{
    if (Called("GetUserObjectInformationW"))
        return FALSE;
    if (hObj != (HANDLE)kWindowStation || nIndex != UOI_FLAGS) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (pvInfo == nullptr || nLength < sizeof(USEROBJECTFLAGS)) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, g_machine.windowStationVisible ? (DWORD)WSF_VISIBLE : 0};
    memcpy(pvInfo, &flags, sizeof flags);
    return TRUE;
}

// Every window answers at once; what a broadcast reached is not modelled.
LRESULT WINAPI FakeSendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                       UINT fuFlags, UINT uTimeout, PDWORD_PTR lpdwResult)
{
    (void)hWnd, (void)Msg, (void)wParam, (void)lParam, (void)fuFlags, (void)uTimeout;
    if (Called("SendMessageTimeoutA"))
        return 0;
    if (lpdwResult)
        *lpdwResult = 0;
    return 1;
}

}  // namespace

Machine &TheMachine()
{
    return g_machine;
}

void Reset()
{
    g_machine = Machine();
    g_machine.environment["PROMPT"] = "$P$G";
    g_machine.systemMessages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_NOT_READY, "The device is not ready.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    };
    g_machine.keys["hklm"];
    g_machine.keys["hklm\\software"];
    g_machine.keys["hklm\\software\\microsoft"];
    g_machine.keys["hklm\\software\\microsoft\\windows"];
    g_machine.keys["hklm\\software\\microsoft\\windows\\currentversion"];
}

void Fail(const std::string &function, DWORD error)
{
    g_machine.failures[function] = error;
}

void FailCall(const std::string &function, int call, DWORD error)
{
    g_machine.callFailures[function][call] = error;
}

void FailRunCall(int call, RunFailure how)
{
    g_machine.failRunCall = call;
    g_machine.failLaterCallsToo = how == FROM_THEN_ON;
}

void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::vector<BYTE> &data)
{
    std::string full = "hklm\\" + Lower(path);
    CreateKeyPath(full);
    g_machine.keys[full][Lower(name)] = RegistryValue{type, data};
}

void SetDword(const std::string &path, const std::string &name, DWORD value)
{
    SetValue(path, name, REG_DWORD,
             {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16), (BYTE)(value >> 24)});
}

bool HasKey(const std::string &path)
{
    return g_machine.keys.count("hklm\\" + Lower(path)) != 0;
}

bool HasValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    return key != g_machine.keys.end() && key->second.count(Lower(name)) != 0;
}

RegistryValue GetValue(const std::string &path, const std::string &name)
{
    auto key = g_machine.keys.find("hklm\\" + Lower(path));
    if (key == g_machine.keys.end())
        return RegistryValue{REG_NONE, {}};
    auto value = key->second.find(Lower(name));
    return value == key->second.end() ? RegistryValue{REG_NONE, {}} : value->second;
}

int CountCalls(const std::string &function)
{
    return (int)std::count(g_machine.calls.begin(), g_machine.calls.end(), function);
}

void StartCapture()
{
    fflush(stdout);
    g_capture = Capture();
    int file = CaptureFile();
    if (ftruncate(file, 0) != 0)
        perror("stand-in: ftruncate");
    g_capture.savedFd = dup(1);
    dup2(file, 1);
    lseek(1, 0, SEEK_SET);
    g_capture.startAttribute = g_machine.attribute;
    g_capture.active = true;
    g_capture.savedStdout = stdout;
    stdout = CountedStream();
    // As the C runtime sets standard output up: unbuffered on a character
    // device (the console too), fully buffered on a file or pipe.
    bool characterDevice = g_machine.stdoutIsConsole || g_machine.stdoutIsCharacterDevice;
    setvbuf(stdout, nullptr, characterDevice ? _IONBF : _IOFBF, BUFSIZ);
}

// One piece of captured output as it shows: on a console, the bytes the C
// runtime wrote are decoded with the console's code page and WriteConsoleW's
// text is kept; redirected, the bytes stay as they are.
// UTF-8 text as the console draws it from column *column on, which it
// moves on. From the C runtime every line feed is CR LF. From WriteConsoleW
// a bare line feed goes down a line in the same column (the mode
// DISABLE_NEWLINE_AUTO_RETURN), shown as a line feed and blanks up to it.
std::string Drawn(const std::string &text, bool fromRuntime, int *column)
{
    std::string drawn;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            *column = 0;
        } else if (c == '\n') {
            drawn += '\n';
            if (fromRuntime || (i > 0 && text[i - 1] == '\r'))
                *column = 0;
            else
                drawn += std::string((size_t)*column, ' ');
        } else {
            drawn += c;
            if (c == '\t')
                *column = (*column / 8 + 1) * 8;
            else if (((unsigned char)c & 0xC0) != 0x80)
                ++*column;
        }
    }
    return drawn;
}

std::string Shown(const std::string &raw, long from, long to, int *column)
{
    if (!g_machine.stdoutIsConsole)
        return raw.substr((size_t)from, (size_t)(to - from));
    std::string shown;
    long at = from;
    auto decode = [&](long end) {
        if (end > at)
            shown += Drawn(Utf8FromCodePage(g_machine.consoleCodePage,
                                            raw.substr((size_t)at, (size_t)(end - at))),
                           true, column);
        at = std::max(at, end);
    };
    for (const auto &range : g_capture.unicode) {
        long begin = std::max(range.first, from), end = std::min(range.second, to);
        if (begin >= end)
            continue;
        decode(begin);
        shown += Drawn(raw.substr((size_t)begin, (size_t)(end - begin)), false, column);
        at = end;
    }
    decode(to);
    return shown;
}

std::vector<Segment> StopCapture()
{
    fflush(stdout);
    std::string text;
    long size = (long)lseek(1, 0, SEEK_END);
    text.resize((size_t)size);
    if (size > 0 && pread(1, &text[0], (size_t)size, 0) != size)
        text.clear();
    stdout = g_capture.savedStdout;
    dup2(g_capture.savedFd, 1);
    close(g_capture.savedFd);
    g_capture.active = false;

    std::vector<Segment> segments;
    long from = 0;
    int column = 0;
    WORD attribute = g_capture.startAttribute;
    for (const auto &mark : g_capture.marks) {
        long to = std::min(std::max(mark.first, from), (long)text.size());
        segments.push_back(Segment{attribute, Shown(text, from, to, &column)});
        from = to;
        attribute = mark.second;
    }
    segments.push_back(Segment{attribute, Shown(text, from, (long)text.size(), &column)});
    return segments;
}

std::string TextOf(const std::vector<Segment> &segments)
{
    std::string text;
    for (const auto &segment : segments)
        text += segment.text;
    return text;
}

std::vector<Segment> Merged(const std::vector<Segment> &segments)
{
    std::vector<Segment> merged;
    for (const auto &segment : segments) {
        if (segment.text.empty())
            continue;
        if (!merged.empty() && merged.back().attribute == segment.attribute)
            merged.back().text += segment.text;
        else
            merged.push_back(segment);
    }
    return merged;
}

}  // namespace standin

using namespace standin;

// kernel32: console

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    if (Called("GetStdHandle"))
        return INVALID_HANDLE_VALUE;
    if (nStdHandle == STD_OUTPUT_HANDLE)
        return kStdOutput;
    if (nStdHandle == STD_INPUT_HANDLE)
        return kStdInput;
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput, PCONSOLE_SCREEN_BUFFER_INFO lpInfo)
{
    if (Called("GetConsoleScreenBufferInfo"))
        return FALSE;
    if (hConsoleOutput != kStdOutput || !g_machine.stdoutIsConsole) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    memset(lpInfo, 0, sizeof *lpInfo);
    lpInfo->dwSize.X = 80;
    lpInfo->dwSize.Y = 300;
    lpInfo->wAttributes = g_machine.attribute;
    return TRUE;
}

BOOL WINAPI SetConsoleTextAttribute(HANDLE hConsoleOutput, WORD wAttributes)
{
    if (Called("SetConsoleTextAttribute"))
        return FALSE;
    if (hConsoleOutput != kStdOutput || !g_machine.stdoutIsConsole) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    g_machine.attribute = wAttributes;
    g_machine.attributesSet.push_back(wAttributes);
    // Whatever stdio still buffers is not on the console yet, so it will
    // show in the new colour: mark the position the descriptor has reached.
    if (g_capture.active)
        g_capture.marks.push_back({(long)lseek(1, 0, SEEK_CUR), wAttributes});
    return TRUE;
}

int _getch(void)
{
    Called("_getch");
    ++g_machine.keystrokesRead;
    if (g_machine.keysPressed.empty())
        return 0;
    int key = g_machine.keysPressed.front();
    g_machine.keysPressed.erase(g_machine.keysPressed.begin());
    return key;
}

BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    if (Called("GetConsoleMode"))
        return FALSE;
    bool console = (hConsoleHandle == kStdOutput && g_machine.stdoutIsConsole) ||
                   (hConsoleHandle == kStdInput && g_machine.stdinIsConsole);
    if (!console || !g_machine.hasConsole) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Output: processed, wrapping, virtual terminal, no auto return, as a
    // parent that enabled escape sequences leaves the console.
    *lpMode = hConsoleHandle == kStdOutput ? 0xF : 0x1F7;
    return TRUE;
}

// The console takes Unicode as it is: the text goes out as UTF-8, and the
// capture remembers that these bytes are not to be decoded again.
BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const void *lpBuffer, DWORD nNumberOfCharsToWrite,
                          LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved)
{
    if (Called("WriteConsoleW"))
        return FALSE;
    if (hConsoleOutput != kStdOutput || !g_machine.stdoutIsConsole || !g_machine.hasConsole ||
        lpReserved != nullptr) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    std::string text = Utf8FromUtf16((const WCHAR *)lpBuffer, nNumberOfCharsToWrite);
    long begin = (long)lseek(1, 0, SEEK_CUR);
    if (!text.empty() && write(1, text.data(), text.size()) != (ssize_t)text.size())
        perror("stand-in: WriteConsoleW");
    if (g_capture.active && begin >= 0)
        g_capture.unicode.push_back({begin, begin + (long)text.size()});
    if (lpNumberOfCharsWritten)
        *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

UINT WINAPI GetConsoleOutputCP(void)
{
    if (Called("GetConsoleOutputCP") || !g_machine.hasConsole)
        return 0;
    return g_machine.consoleCodePage;
}

UINT WINAPI GetOEMCP(void)
{
    g_machine.calls.push_back("GetOEMCP");
    return g_machine.oemCodePage;
}

DWORD WINAPI GetConsoleProcessList(LPDWORD lpdwProcessList, DWORD dwProcessCount)
{
    if (Called("GetConsoleProcessList"))
        return 0;
    if (!g_machine.hasConsole || lpdwProcessList == nullptr || dwProcessCount == 0) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (DWORD i = 0; i < dwProcessCount && i < (DWORD)g_machine.consoleProcesses; ++i)
        lpdwProcessList[i] = 1000 + 4 * i;
    return (DWORD)g_machine.consoleProcesses;
}

HWND WINAPI GetConsoleWindow(void)
{
    if (Called("GetConsoleWindow") || !g_machine.hasConsole || !g_machine.consoleWindow)
        return nullptr;
    return kConsoleWindow;
}

void WINAPI GetStartupInfoA(LPSTARTUPINFOA lpStartupInfo)
{
    g_machine.calls.push_back("GetStartupInfoA");
    memset(lpStartupInfo, 0, sizeof *lpStartupInfo);
    lpStartupInfo->cb = sizeof *lpStartupInfo;
    if (g_machine.startedHidden) {
        lpStartupInfo->dwFlags = STARTF_USESHOWWINDOW;
        lpStartupInfo->wShowWindow = SW_HIDE;
    }
}

// Code pages. UTF-8 and UTF-7 take no flags and no default character, as on Windows.
static bool TakesNoFlags(UINT codePage)
{
    return codePage == 42 || codePage == CP_UTF7 || codePage == CP_UTF8 || codePage == 54936 ||
           (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    if (Called("MultiByteToWideChar"))
        return 0;
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (dwFlags != 0 && TakesNoFlags(CodePage) && dwFlags != 8 /* MB_ERR_INVALID_CHARS */)) {
        g_machine.lastError = dwFlags ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t length = cbMultiByte < 0 ? strlen(lpMultiByteStr) + 1 : (size_t)cbMultiByte;
    std::u16string wide = Utf16FromCodePage(CodePage, std::string(lpMultiByteStr, length));
    if (cchWideChar == 0)
        return (int)wide.size();
    if (wide.size() > (size_t)cchWideChar) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return (int)wide.size();
}

// A few entries of Windows' best-fit tables: the look-alike it writes for a
// character a code page lacks, unless told WC_NO_BEST_FIT_CHARS.
static char BestFit(WCHAR c)
{
    static const struct {
        WCHAR from;
        char to;
    } kTable[] = {{0x0105, 'a'}, {0x0107, 'c'}, {0x0119, 'e'}, {0x0141, 'L'}, {0x0142, 'l'},
                  {0x0144, 'n'}, {0x015B, 's'}, {0x017A, 'z'}, {0x017B, 'Z'}, {0x017C, 'z'},
                  {0x2013, '-'}, {0x2014, '-'}, {0x2018, '\''}, {0x2019, '\''}, {0x201C, '"'},
                  {0x201D, '"'}, {0x221E, '8'}};
    for (const auto &entry : kTable)
        if (entry.from == c)
            return entry.to;
    return 0;
}

// A character the code page lacks becomes the default character with
// WC_NO_BEST_FIT_CHARS; without it, a look-alike where Windows knows one.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    if (Called("WideCharToMultiByte"))
        return 0;
    if (TakesNoFlags(CodePage) && dwFlags != 0 &&
        !((CodePage == CP_UTF8 || CodePage == 54936) && dwFlags == 0x80 /* WC_ERR_INVALID_CHARS */)) {
        g_machine.lastError = ERROR_INVALID_FLAGS;
        return 0;
    }
    if ((CodePage == CP_UTF8 || CodePage == CP_UTF7) && (lpDefaultChar || lpUsedDefaultChar)) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    size_t units = 0;
    if (cchWideChar < 0) {
        while (lpWideCharStr[units] != 0)
            ++units;
        ++units;
    } else {
        units = (size_t)cchWideChar;
    }
    const std::string name = CodePageName(CodePage);
    std::string out, piece;
    bool usedDefault = false;
    for (size_t i = 0; i < units;) {
        if (lpWideCharStr[i] < 0x80) {
            out += (char)lpWideCharStr[i++];
            continue;
        }
        size_t n = (lpWideCharStr[i] >= 0xD800 && lpWideCharStr[i] < 0xDC00 && i + 1 < units) ? 2 : 1;
        std::string unit = Utf16Bytes(lpWideCharStr + i, n);
        i += n;
        if (Iconv(name, "UTF-16LE", unit, &piece)) {
            out += piece;
            continue;
        }
        char lookAlike = BestFit(lpWideCharStr[i - n]);
        if (!(dwFlags & WC_NO_BEST_FIT_CHARS) && lookAlike != 0) {
            out += lookAlike;
            continue;
        }
        out += lpDefaultChar ? std::string(1, *lpDefaultChar) : std::string("?");
        usedDefault = true;
    }
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (cbMultiByte == 0)
        return (int)out.size();
    if (out.size() > (size_t)cbMultiByte) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(lpMultiByteStr, out.data(), out.size());
    return (int)out.size();
}

// kernel32: errors, process, lookup, environment

DWORD WINAPI GetLastError(void)
{
    g_machine.calls.push_back("GetLastError");
    return g_machine.lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    g_machine.lastError = dwErrCode;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    g_machine.calls.push_back("GetCurrentProcess");
    return kCurrentProcess;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (Called("CloseHandle"))
        return FALSE;
    auto open = g_machine.openHandles.find(hObject);
    if (open == g_machine.openHandles.end()) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Closing a mutex handle does not release it: a mutex still owned when
    // the process ends is left abandoned.
    g_machine.openHandles.erase(open);
    g_machine.handleAccess.erase(hObject);
    return TRUE;
}

// kernel32: mutexes, waiting, error mode

// The SIDs of the token this process runs with, by SDDL abbreviation.
static const char kUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
static const char kOtherUserSid[] = "S-1-5-21-1004336348-1177238915-682003330-1002";

static bool TokenHas(const std::string &sid)
{
    return sid == kUserSid || sid == "WD" || sid == "AU" || (sid == "BA" && g_machine.tokenIsAdmin);
}

// What an access list grants this token.
static DWORD Granted(const NamedObject &object)
{
    DWORD granted = 0;
    for (const auto &ace : object.dacl)
        if (TokenHas(ace.first))
            granted |= ace.second;
    return granted;
}

// The name of the update lock as another process left it, made real the
// first time the run asks for it.
static void MakeHeldName(const std::string &name)
{
    if (g_machine.objects.count(name))
        return;
    LockMaker maker = g_machine.lockMaker;
    if (maker == LOCK_NONE && g_machine.mutexState != MUTEX_FREE)
        maker = LOCK_VELMORA;
    const DWORD readAndWait = READ_CONTROL | 0x0001 /* MUTANT_QUERY_STATE */ | SYNCHRONIZE;
    NamedObject object;
    switch (maker) {
    case LOCK_NONE:
        return;
    case LOCK_VELMORA:
        object = NamedObject{"mutex", "BA", {{"SY", MUTEX_ALL_ACCESS}, {"BA", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_LOCAL_SYSTEM:
        object = NamedObject{"mutex", "SY", {{"SY", MUTEX_ALL_ACCESS}, {"BA", readAndWait}}};
        break;
    case LOCK_USER:
        object = NamedObject{"mutex", kOtherUserSid, {{"WD", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_NO_OWNER:
        object = NamedObject{"mutex", "", {{"WD", MUTEX_ALL_ACCESS}}};
        break;
    case LOCK_EVENT:
        object = NamedObject{"event", "BA", {{"WD", 0x1F0003 /* EVENT_ALL_ACCESS */}}};
        break;
    case LOCK_OTHER_ACCOUNT:
        object = NamedObject{"mutex", kOtherUserSid,
                             {{kOtherUserSid, MUTEX_ALL_ACCESS}, {"SY", MUTEX_ALL_ACCESS}}};
        break;
    }
    g_machine.objects[name] = object;
}

static HANDLE OpenObjectHandle(const std::string &name, DWORD access)
{
    HANDLE handle = NewHandle("mutex");
    g_machine.handleAccess[handle] = {name, access};
    return handle;
}

// A security descriptor as ConvertStringSecurityDescriptorToSecurityDescriptorA
// hands it out.
struct FakeDescriptor {
    uint32_t magic = 0x53444553;
    std::string owner;
    std::vector<std::pair<std::string, DWORD>> dacl;
};

// Access rights of an SDDL ACE as a mutex maps them.
static bool ParseRights(const std::string &text, DWORD *rights)
{
    *rights = 0;
    if (text.rfind("0x", 0) == 0) {
        *rights = (DWORD)strtoul(text.c_str(), nullptr, 16);
        return true;
    }
    for (size_t i = 0; i + 1 < text.size() + 1 && i < text.size(); i += 2) {
        std::string right = text.substr(i, 2);
        if (right == "GA")
            *rights |= MUTEX_ALL_ACCESS;
        else if (right == "GR")
            *rights |= READ_CONTROL | 0x0001;
        else if (right == "GW")
            *rights |= READ_CONTROL;
        else if (right == "GX")
            *rights |= READ_CONTROL | SYNCHRONIZE;
        else
            return false;
    }
    return true;
}

// The SDDL forms "O:owner" and "D:[P](A;;rights;;;sid)...", nothing more.
static bool ParseSddl(const std::string &sddl, FakeDescriptor *descriptor)
{
    size_t at = 0;
    if (sddl.compare(0, 2, "O:") == 0) {
        size_t end = sddl.find("D:");
        descriptor->owner = sddl.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        at = end == std::string::npos ? sddl.size() : end;
    }
    if (at >= sddl.size())
        return true;
    if (sddl.compare(at, 2, "D:") != 0)
        return false;
    at += 2;
    while (at < sddl.size() && sddl[at] != '(')
        ++at;  // flags such as P
    while (at < sddl.size()) {
        size_t end = sddl.find(')', at);
        if (sddl[at] != '(' || end == std::string::npos)
            return false;
        std::vector<std::string> fields;
        std::string ace = sddl.substr(at + 1, end - at - 1);
        for (size_t from = 0;;) {
            size_t semicolon = ace.find(';', from);
            fields.push_back(ace.substr(from, semicolon == std::string::npos ? std::string::npos
                                                                             : semicolon - from));
            if (semicolon == std::string::npos)
                break;
            from = semicolon + 1;
        }
        DWORD rights;
        if (fields.size() != 6 || fields[0] != "A" || !ParseRights(fields[2], &rights))
            return false;
        descriptor->dacl.push_back({fields[5], rights});
        at = end + 1;
    }
    return true;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName)
{
    const std::string name = lpName ? lpName : "";
    g_machine.mutexNames.push_back(name);
    if (Called("CreateMutexA"))
        return nullptr;
    MakeHeldName(name);
    auto existing = g_machine.objects.find(name);
    if (existing != g_machine.objects.end()) {
        // An existing name: the attributes are ignored, and full access is asked for.
        if (existing->second.type != "mutex") {
            g_machine.lastError = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        if ((Granted(existing->second) & MUTEX_ALL_ACCESS) != MUTEX_ALL_ACCESS) {
            g_machine.lastError = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        HANDLE mutex = OpenObjectHandle(name, MUTEX_ALL_ACCESS);
        g_machine.lastError = ERROR_ALREADY_EXISTS;
        return mutex;
    }
    NamedObject object;
    const FakeDescriptor *descriptor =
        lpMutexAttributes ? (const FakeDescriptor *)lpMutexAttributes->lpSecurityDescriptor : nullptr;
    if (descriptor != nullptr) {
        // Only an owner the token holds may be given: the user, or
        // Administrators for a token that is a member.
        if (!descriptor->owner.empty() && descriptor->owner != kUserSid &&
            !(descriptor->owner == "BA" && g_machine.tokenIsAdmin)) {
            g_machine.lastError = ERROR_INVALID_OWNER;
            return nullptr;
        }
        object.owner = descriptor->owner;
        object.dacl = descriptor->dacl;
    }
    if (object.owner.empty())
        object.owner = g_machine.tokenIsAdmin ? "BA" : kUserSid;
    if (descriptor == nullptr)
        object.dacl = {{g_machine.tokenIsAdmin ? "BA" : kUserSid, MUTEX_ALL_ACCESS},
                       {"SY", MUTEX_ALL_ACCESS}};
    g_machine.objects[name] = object;
    HANDLE mutex = OpenObjectHandle(name, MUTEX_ALL_ACCESS);
    g_machine.lastError = ERROR_SUCCESS;
    if (bInitialOwner)
        ++g_machine.mutexOwned;
    return mutex;
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    (void)bInheritHandle;
    const std::string name = lpName ? lpName : "";
    if (Called("OpenMutexA"))
        return nullptr;
    if (g_machine.lockHolderEndsBeforeOpen) {
        g_machine.lockHolderEndsBeforeOpen = false;
        g_machine.objects.erase(name);
        g_machine.lockMaker = LOCK_NONE;
        g_machine.mutexState = MUTEX_FREE;
    }
    MakeHeldName(name);
    auto existing = g_machine.objects.find(name);
    if (existing == g_machine.objects.end()) {
        g_machine.lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (existing->second.type != "mutex") {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((Granted(existing->second) & dwDesiredAccess) != dwDesiredAccess) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return OpenObjectHandle(name, dwDesiredAccess);
}

// The thread runs to its end before CreateThread returns: a wait for it
// finds it finished.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes, (void)dwStackSize, (void)dwCreationFlags;
    if (Called("CreateThread"))
        return nullptr;
    lpStartAddress(lpParameter);
    if (lpThreadId)
        *lpThreadId = 2;
    return NewHandle("thread");
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (IsOpen(hHandle, "thread"))
        return Called("WaitForSingleObject") ? WAIT_FAILED : WAIT_OBJECT_0;
    g_machine.waitTimeouts.push_back(dwMilliseconds);
    if (Called("WaitForSingleObject"))
        return WAIT_FAILED;
    if (!IsOpen(hHandle, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (!(g_machine.handleAccess[hHandle].second & SYNCHRONIZE)) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return WAIT_FAILED;
    }
    switch (g_machine.mutexState) {
    case MUTEX_HELD:
        // Even an endless wait: the run would hang, and the test sees the timeout it gave.
        g_machine.tickCount += dwMilliseconds == INFINITE ? 0x7FFFFFFF : dwMilliseconds;
        return WAIT_TIMEOUT;
    case MUTEX_ABANDONED:
        g_machine.mutexState = MUTEX_FREE;
        ++g_machine.mutexOwned;
        return WAIT_ABANDONED;
    default:
        ++g_machine.mutexOwned;
        return WAIT_OBJECT_0;
    }
}

DWORD WINAPI GetTickCount(void)
{
    g_machine.calls.push_back("GetTickCount");
    return g_machine.tickCount;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    g_machine.calls.push_back("LocalFree");
    if (hMem == nullptr)
        return nullptr;
    FakeDescriptor *descriptor = (FakeDescriptor *)hMem;
    if (descriptor->magic != 0x53444553) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return hMem;
    }
    descriptor->magic = 0;
    delete descriptor;
    --g_machine.localAllocations;
    return nullptr;
}

DWORD WINAPI FormatMessageW(DWORD dwFlags, const void *lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize, void *Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if (Called("FormatMessageW"))
        return 0;
    auto message = g_machine.systemMessages.find(dwMessageId);
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || message == g_machine.systemMessages.end()) {
        g_machine.lastError = ERROR_MR_MID_NOT_FOUND;
        return 0;
    }
    std::u16string text = Utf16FromCodePage(CP_UTF8, message->second);
    if (lpBuffer == nullptr || text.size() + 1 > nSize) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(lpBuffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return (DWORD)text.size();
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    if (Called("ReleaseMutex"))
        return FALSE;
    if (!IsOpen(hMutex, "mutex")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (g_machine.mutexOwned == 0) {
        g_machine.lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    --g_machine.mutexOwned;
    return TRUE;
}

UINT WINAPI SetErrorMode(UINT uMode)
{
    g_machine.calls.push_back("SetErrorMode");
    UINT previous = g_machine.errorMode;
    g_machine.errorMode = uMode;
    return previous;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    g_machine.moduleLookedUp = lpModuleName ? lpModuleName : "";
    if (Called("GetModuleHandleA"))
        return nullptr;
    if (lpModuleName == nullptr || Lower(lpModuleName) != "kernel32.dll") {
        g_machine.lastError = 126;  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    return kKernel32;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (Called("LoadLibraryA"))
        return nullptr;
    if (lpLibFileName == nullptr || Lower(lpLibFileName) != "user32.dll") {
        g_machine.lastError = 126;  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    ++g_machine.librariesLoaded;
    return kUser32;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (Called("FreeLibrary"))
        return FALSE;
    if (hLibModule != kUser32 || g_machine.librariesLoaded == 0) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    --g_machine.librariesLoaded;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    g_machine.procedureLookedUp = lpProcName ? lpProcName : "";
    if (Called("GetProcAddress"))
        return nullptr;
    if (hModule == kUser32 && g_machine.librariesLoaded > 0 && lpProcName != nullptr) {
        if (strcmp(lpProcName, "GetProcessWindowStation") == 0)
            return (FARPROC)(void *)&FakeGetProcessWindowStation;
        if (strcmp(lpProcName, "GetUserObjectInformationW") == 0)
            return (FARPROC)(void *)&FakeGetUserObjectInformationW;
        if (strcmp(lpProcName, "SendMessageTimeoutA") == 0)
            return (FARPROC)(void *)&FakeSendMessageTimeoutA;
    }
    if (hModule != kKernel32 || lpProcName == nullptr ||
        strcmp(lpProcName, "IsWow64Process") != 0 || g_machine.wow64 == WOW64_FUNCTION_ABSENT) {
        g_machine.lastError = 127;  // ERROR_PROC_NOT_FOUND
        return nullptr;
    }
    return (FARPROC)(void *)&FakeIsWow64Process;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    if (Called("GetEnvironmentVariableA"))
        return 0;
    auto variable = g_machine.environment.find(lpName);
    if (variable == g_machine.environment.end()) {
        g_machine.lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
        return 0;
    }
    const std::string &value = variable->second;
    if (value.size() + 1 > nSize)
        return (DWORD)value.size() + 1;
    memcpy(lpBuffer, value.c_str(), value.size() + 1);
    return (DWORD)value.size();
}

// kernel32: drives

DWORD WINAPI GetLogicalDrives(void)
{
    if (Called("GetLogicalDrives"))
        return 0;
    DWORD present = 0;
    for (const auto &drive : g_machine.drives)
        if (drive.first >= 0 && drive.first < 26)
            present |= (DWORD)1 << drive.first;
    return present;
}

static const Drive *FindDrive(LPCSTR root)
{
    if (root == nullptr || root[0] == '\0')
        return nullptr;
    char letter = root[0];
    if (letter >= 'a' && letter <= 'z')
        letter = (char)(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z' || strcmp(root + 1, ":\\") != 0)
        return nullptr;
    auto drive = g_machine.drives.find(letter - 'A');
    return drive == g_machine.drives.end() ? nullptr : &drive->second;
}

unsigned int WINAPI GetDriveTypeA(LPCSTR lpRootPathName)
{
    g_machine.driveTypeQueries.push_back(lpRootPathName ? lpRootPathName : "");
    if (Called("GetDriveTypeA"))
        return DRIVE_UNKNOWN;
    const Drive *drive = FindDrive(lpRootPathName);
    return drive ? drive->type : DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize)
{
    std::string root;
    for (size_t i = 0; lpRootPathName && lpRootPathName[i]; ++i)
        root += lpRootPathName[i] < 0x80 ? (char)lpRootPathName[i] : '?';
    g_machine.volumeQueries.push_back(root);
    g_machine.volumeNameSize = nVolumeNameSize;
    g_machine.fileSystemNameSize = nFileSystemNameSize;
    if (lpVolumeSerialNumber || lpMaximumComponentLength || lpFileSystemFlags)
        g_machine.volumeExtrasAllNull = false;
    if (Called("GetVolumeInformationW"))
        return FALSE;
    const Drive *drive = FindDrive(root.c_str());
    if (drive && drive->noMedium && !(g_machine.errorMode & SEM_FAILCRITICALERRORS))
        ++g_machine.criticalErrorDialogs;  // "There is no disk in the drive", until someone clicks
    if (drive == nullptr || !drive->volumeQuerySucceeds || drive->noMedium) {
        g_machine.lastError = drive ? ERROR_NOT_READY : ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    std::u16string label = Utf16FromCodePage(CP_UTF8, drive->label);
    std::u16string fileSystem = Utf16FromCodePage(CP_UTF8, drive->fileSystem);
    if (label.size() + 1 > nVolumeNameSize || fileSystem.size() + 1 > nFileSystemNameSize) {
        g_machine.lastError = 24;  // ERROR_BAD_LENGTH
        return FALSE;
    }
    memcpy(lpVolumeNameBuffer, label.c_str(), (label.size() + 1) * sizeof(WCHAR));
    memcpy(lpFileSystemNameBuffer, fileSystem.c_str(), (fileSystem.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

// advapi32: security

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(
    LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR *SecurityDescriptor, DWORD *SecurityDescriptorSize)
{
    if (Called("ConvertStringSecurityDescriptorToSecurityDescriptorA"))
        return FALSE;
    FakeDescriptor *descriptor = new FakeDescriptor;
    if (StringSecurityDescriptor == nullptr || StringSDRevision != SDDL_REVISION_1 ||
        SecurityDescriptor == nullptr || !ParseSddl(StringSecurityDescriptor, descriptor)) {
        delete descriptor;
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    ++g_machine.localAllocations;
    *SecurityDescriptor = descriptor;
    if (SecurityDescriptorSize)
        *SecurityDescriptorSize = 64;
    return TRUE;
}

// The descriptor GetKernelObjectSecurity writes into the caller's buffer:
// the owner's SID as text, empty for none.
struct OwnerDescriptor {
    uint32_t magic;
    char owner[92];
};

BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                                    LPDWORD lpnLengthNeeded)
{
    if (Called("GetKernelObjectSecurity"))
        return FALSE;
    auto access = g_machine.handleAccess.find(Handle);
    if (access == g_machine.handleAccess.end() || RequestedInformation != OWNER_SECURITY_INFORMATION) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!(access->second.second & READ_CONTROL)) {
        g_machine.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof(OwnerDescriptor);
    if (pSecurityDescriptor == nullptr || nLength < sizeof(OwnerDescriptor)) {
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    OwnerDescriptor descriptor = {0x4F574E52, ""};
    auto object = g_machine.objects.find(access->second.first);
    if (object != g_machine.objects.end())
        snprintf(descriptor.owner, sizeof descriptor.owner, "%s", object->second.owner.c_str());
    memcpy(pSecurityDescriptor, &descriptor, sizeof descriptor);
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner,
                                       LPBOOL lpbOwnerDefaulted)
{
    if (Called("GetSecurityDescriptorOwner"))
        return FALSE;
    OwnerDescriptor *descriptor = (OwnerDescriptor *)pSecurityDescriptor;
    if (descriptor == nullptr || descriptor->magic != 0x4F574E52 || pOwner == nullptr) {
        g_machine.lastError = 1338;  // ERROR_INVALID_SECURITY_DESCR
        return FALSE;
    }
    *pOwner = descriptor->owner[0] ? descriptor->owner : nullptr;
    if (lpbOwnerDefaulted)
        *lpbOwnerDefaulted = FALSE;
    return TRUE;
}

BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType)
{
    g_machine.calls.push_back("IsWellKnownSid");
    if (pSid == nullptr)
        return FALSE;
    const std::string sid = (const char *)pSid;
    return (WellKnownSidType == WinLocalSystemSid && sid == "SY") ||
           (WellKnownSidType == WinBuiltinAdministratorsSid && sid == "BA");
}

// The Administrators SID in the caller's buffer, as its SDDL abbreviation.
BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID DomainSid, PSID pSid,
                               DWORD *cbSid)
{
    (void)DomainSid;
    if (Called("CreateWellKnownSid"))
        return FALSE;
    if (WellKnownSidType != WinBuiltinAdministratorsSid || cbSid == nullptr) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const char sid[] = "BA";
    const DWORD needed = sizeof sid;
    if (pSid == nullptr || *cbSid < needed) {
        *cbSid = needed;
        g_machine.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    memcpy(pSid, sid, needed);
    *cbSid = needed;
    return TRUE;
}

// Only the process's own token (TokenHandle NULL) is modelled.
BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember)
{
    if (Called("CheckTokenMembership"))
        return FALSE;
    if (TokenHandle != nullptr || SidToCheck == nullptr || IsMember == nullptr) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *IsMember = TokenHas((const char *)SidToCheck) ? TRUE : FALSE;
    return TRUE;
}

// advapi32: registry

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    KeyOpen open{"RegOpenKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, ulOptions};
    g_machine.keyOpens.push_back(open);
    if (Called("RegOpenKeyExA"))
        return (LONG)g_machine.lastError;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    if (g_machine.keys.count(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKeyHandle(path);
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    KeyOpen open{"RegCreateKeyExA", hKey, lpSubKey ? lpSubKey : "", samDesired, dwOptions,
                 lpClass ? lpClass : "(null)", lpSecurityAttributes == nullptr};
    g_machine.keyOpens.push_back(open);
    if (Called("RegCreateKeyExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::string path = KeyPath(hKey, lpSubKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;
    bool existed = g_machine.keys.count(path) != 0;
    CreateKeyPath(path);
    *phkResult = NewKeyHandle(path);
    if (lpdwDisposition)
        *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    g_machine.keyOpens.back().succeeded = true;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    g_machine.valuesQueried.push_back(lpValueName ? lpValueName : "");
    if (Called("RegQueryValueExA"))
        return (LONG)g_machine.lastError;
    if (lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    auto value = values->find(Lower(lpValueName ? lpValueName : ""));
    if (value == values->end())
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = value->second.type;
    DWORD size = (DWORD)value->second.data.size();
    if (lpData == nullptr) {
        if (lpcbData)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size)
        memcpy(lpData, value->second.data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData)
{
    g_machine.valuesSet.push_back(lpValueName ? lpValueName : "");
    if (Called("RegSetValueExA"))
        return (LONG)g_machine.lastError;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    if (g_machine.mutexOwned == 0)
        ++g_machine.writesOutsideMutex;
    (*values)[Lower(lpValueName ? lpValueName : "")] =
        RegistryValue{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    g_machine.valuesDeleted.push_back(lpValueName ? lpValueName : "");
    if (Called("RegDeleteValueA"))
        return (LONG)g_machine.lastError;
    auto *values = OpenKeyValues(hKey);
    if (values == nullptr)
        return ERROR_INVALID_HANDLE;
    if (g_machine.mutexOwned == 0)
        ++g_machine.writesOutsideMutex;
    return values->erase(Lower(lpValueName ? lpValueName : "")) ? ERROR_SUCCESS
                                                                 : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    // A failing close still closes: the handle is gone either way.
    bool failed = Called("RegCloseKey");
    auto open = g_machine.openKeys.find(hKey);
    if (open == g_machine.openKeys.end())
        return ERROR_INVALID_HANDLE;
    g_machine.openKeys.erase(open);
    ++g_machine.keysClosed;
    return failed ? (LONG)g_machine.lastError : ERROR_SUCCESS;
}

// advapi32: process token

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    g_machine.tokenAccess = DesiredAccess;
    if (Called("OpenProcessToken"))
        return FALSE;
    if (ProcessHandle != kCurrentProcess) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *TokenHandle = NewHandle("token");
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    g_machine.privilegeLookedUp = lpName ? lpName : "";
    g_machine.privilegeSystemNameNull = lpSystemName == nullptr;
    if (Called("LookupPrivilegeValueA"))
        return FALSE;
    if (lpName == nullptr || strcmp(lpName, "SeDebugPrivilege") != 0) {
        g_machine.lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    lpLuid->LowPart = kDebugPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    ++g_machine.adjustCalls;
    g_machine.adjustDisableAll = DisableAllPrivileges;
    g_machine.adjustBufferLength = BufferLength;
    g_machine.adjustPreviousNull = PreviousState == nullptr;
    g_machine.adjustReturnLengthNull = ReturnLength == nullptr;
    if (NewState)
        g_machine.adjustedState = *NewState;
    if (Called("AdjustTokenPrivileges"))
        return FALSE;
    if (!IsOpen(TokenHandle, "token")) {
        g_machine.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}
