// The console: standard handles, the text attribute, modes, code page and
// keystrokes, and what reaches standard output as a console would show it;
// one screen buffer, no input events beyond scripted keys and the control
// events a test types, whose handlers run on the calling thread.
#include "standin/shared.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace standin {

namespace {

const HANDLE kStdOutput = (HANDLE)(uintptr_t)0x10;
const HANDLE kStdInput = (HANDLE)(uintptr_t)0x14;
const HWND kConsoleWindow = (HWND)(uintptr_t)0x50010;

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
    if (g_machine.readerStopsAtInterrupt && !g_machine.interruptedAt.empty()) {
        SpendTime(NEVER);
        return (ssize_t)size;
    }
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

}  // namespace

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

namespace standin {

void DeliverControlEvent(DWORD event)
{
    std::vector<PHANDLER_ROUTINE> handlers = g_machine.controlHandlers;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler)
        if ((*handler)(event))
            return;
    EndProcess(STATUS_CONTROL_C_EXIT, true);  // as ExitProcess: the C runtime flushes
}

}  // namespace standin

// A null routine (Ctrl+C ignored, and inherited so) is not modelled.
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (Called("SetConsoleCtrlHandler"))
        return FALSE;
    std::vector<PHANDLER_ROUTINE> &handlers = g_machine.controlHandlers;
    auto found = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
    if (HandlerRoutine == nullptr || (!Add && found == handlers.rend())) {
        g_machine.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (Add)
        handlers.push_back(HandlerRoutine);
    else
        handlers.erase(std::next(found).base());
    return TRUE;
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
