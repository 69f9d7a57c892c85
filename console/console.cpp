// The one way text leaves the program (Unicode on a console, the console's
// code page when redirected), cell widths for padding columns, colours,
// and the banner, usage screen and error line.
#include "console/console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

const char kProductName[] = "Velmora";
const char kProductVersion[] = "1.0";
const char kProductAddress[] = "https://velmora.example.com";

static const char kStarLine[] =
    "\n\n****************************************************************";

// Holds the latest error line; each one overwrites the last.
static char g_errorText[ERROR_TEXT_SIZE];

// Standard output is a console (a file type test is not enough: NUL is a
// character device too).
static int OutputIsConsole()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// The code page redirected text is written in.
static UINT OutputCodePage()
{
    UINT codePage = GetConsoleOutputCP();
    return codePage != 0 ? codePage : GetOEMCP();
}

// Code pages whose conversion takes neither flags nor a default character.
static int TakesNoFlags(UINT codePage)
{
    return codePage == 42 || codePage == CP_UTF7 || codePage == CP_UTF8 || codePage == 54936 ||
           (codePage >= 50220 && codePage <= 50229) || (codePage >= 57002 && codePage <= 57011);
}

// UTF-16 to `codePage`, a missing character as '?' rather than a look-alike.
static int ToCodePage(UINT codePage, const WCHAR *wide, int length, char *bytes, int size)
{
    if (TakesNoFlags(codePage))
        return WideCharToMultiByte(codePage, 0, wide, length, bytes, size, NULL, NULL);
    return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, length, bytes, size, "?",
                               NULL);
}

static void CopyBounded(char *target, const char *source, size_t size)
{
    if (size == 0)
        return;
    strncpy(target, source, size - 1);
    target[size - 1] = '\0';
}

// Who may change the console's attribute: anyone (FREE), nobody while the
// main thread changes it (CHANGING), or nobody ever again (FINAL): a thread
// that ends the process put the starting attribute back, and no change may
// land after it. Only the change itself is guarded, never a write or a flush:
// a paused console or a selection in it holds a write, and Ctrl+C must still
// end the run then.
enum { ATTRIBUTE_FREE, ATTRIBUTE_CHANGING, ATTRIBUTE_FINAL };
static volatile LONG g_attributeGuard = ATTRIBUTE_FREE;
// How long the last change waits for one in progress: a console answers an
// attribute change at once unless it hangs.
static const int kFinalChangeTries = 100;
static const DWORD kFinalChangeTryMilliseconds = 10;

// Redirected text collects here and leaves in one write per flush: before
// each colour change and at the end of the run.
static char g_outputBuffer[4 * TEXT_SIZE];

void PrepareOutput()
{
    // A run starts free to change colours (the tests make many in one process).
    InterlockedExchange(&g_attributeGuard, ATTRIBUTE_FREE);
    // The C runtime leaves a character device (NUL, a serial port) unbuffered,
    // and may then write it a byte at a time. The console path writes its own.
    if (!OutputIsConsole())
        setvbuf(stdout, g_outputBuffer, _IOFBF, sizeof g_outputBuffer);
}

// Copies `length` units of `wide` into `lines` (room for twice as many),
// every line feed not already after a carriage return preceded by one: a
// console whose owner set DISABLE_NEWLINE_AUTO_RETURN moves a bare line feed
// down a line without going back to the first column. Returns the new length.
static int WithCarriageReturns(const WCHAR *wide, int length, WCHAR *lines)
{
    int count = 0;
    for (int i = 0; i < length; ++i) {
        if (wide[i] == '\n' && (i == 0 || wide[i - 1] != '\r'))
            lines[count++] = '\r';
        lines[count++] = wide[i];
    }
    return count;
}

// Writes to the console as Unicode; 0 when standard output is no console or
// the write failed, and nothing was written.
static int WriteToConsole(const WCHAR *wide, int length)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, written;
    if (!GetConsoleMode(output, &mode))
        return 0;
    // What the C runtime still holds goes first.
    fflush(stdout);
    WCHAR lines[2 * TEXT_SIZE];
    int count = WithCarriageReturns(wide, length, lines);
    return WriteConsoleW(output, lines, (DWORD)count, &written, NULL) != 0;
}

static void WriteText(const char *text)
{
    WCHAR wide[TEXT_SIZE];
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, TEXT_SIZE) - 1;
    if (length < 0) {
        fwrite(text, 1, strlen(text), stdout);
        return;
    }
    if (WriteToConsole(wide, length))
        return;
    // Through the C runtime, so that line ends become CR LF as before.
    char bytes[4 * TEXT_SIZE];
    int count = length > 0 ? ToCodePage(OutputCodePage(), wide, length, bytes, sizeof bytes) : 0;
    if (count > 0)
        fwrite(bytes, 1, (size_t)count, stdout);
    else
        fwrite(text, 1, strlen(text), stdout);
}

void PrintText(const char *format, ...)
{
    char text[TEXT_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    WriteText(text);
}

static int IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit < 0xDC00; }
static int IsLowSurrogate(WCHAR unit) { return unit >= 0xDC00 && unit < 0xE000; }

#include "console/wide_table.inc"

// Console cells of a character: two when its East Asian Width is W or F,
// as the console host and Windows Terminal draw it (the folder emoji U+1F4C1
// is W, the desktop computer U+1F5A5 is N); one otherwise, the ambiguous
// ones included, which a Western font draws narrow. Joiners, variation
// selectors and skin tones count by code point like any other character.
static int WideCells(unsigned long c)
{
    size_t low = 0, high = sizeof kWideRanges / sizeof kWideRanges[0];
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (c < kWideRanges[middle].first)
            high = middle;
        else if (c > kWideRanges[middle].last)
            low = middle + 1;
        else
            return 2;
    }
    return 1;
}

// The cells `text` takes where it is written: on a console or in a Unicode
// code page by the character; in another code page by the bytes it becomes
// there (a double-byte character takes two cells, a '?' one).
static int TextCells(const char *text)
{
    WCHAR wide[TEXT_SIZE];
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, TEXT_SIZE) - 1;
    if (length < 0)
        return (int)strlen(text);
    UINT codePage = OutputIsConsole() ? CP_UTF8 : OutputCodePage();
    int cells = 0;
    for (int i = 0; i < length;) {
        int units = IsHighSurrogate(wide[i]) && i + 1 < length && IsLowSurrogate(wide[i + 1]) ? 2 : 1;
        unsigned long c = units == 2 ? 0x10000 + (((unsigned long)wide[i] - 0xD800) << 10) +
                                           ((unsigned long)wide[i + 1] - 0xDC00)
                                     : (unsigned long)wide[i];
        if (c < 0x80) {
            cells += 1;
        } else if (TakesNoFlags(codePage)) {
            cells += WideCells(c);
        } else {
            char bytes[8];
            int count = ToCodePage(codePage, wide + i, units, bytes, sizeof bytes);
            cells += count > 0 ? count : 1;
        }
        i += units;
    }
    return cells;
}

void AppendPadded(char *line, size_t size, const char *text, int cells)
{
    size_t used = strlen(line);
    if (used + 1 >= size)
        return;
    CopyBounded(line + used, text, size - used);
    used = strlen(line);
    for (int shown = TextCells(text); shown < cells && used + 1 < size; ++shown)
        line[used++] = ' ';
    line[used] = '\0';
}

void TextFromWide(const WCHAR *wide, char *text, size_t size)
{
    if (size == 0)
        return;
    text[0] = '\0';
    int length = 0;
    while (wide[length] != 0)
        ++length;
    // Every character takes a byte at least: start from what may fit, and
    // drop characters from the end until the rest does.
    if ((size_t)length > size - 1)
        length = (int)(size - 1);
    while (length > 0) {
        if (IsHighSurrogate(wide[length - 1]))
            --length;  // never half a surrogate pair
        int needed = WideCharToMultiByte(CP_UTF8, 0, wide, length, NULL, 0, NULL, NULL);
        if (needed <= 0)
            break;
        if ((size_t)needed < size) {
            // The size was had, but the conversion may still fail (out of
            // memory): then the bytes as they are, below.
            if (WideCharToMultiByte(CP_UTF8, 0, wide, length, text, needed, NULL, NULL) != needed)
                break;
            text[needed] = '\0';
            return;
        }
        --length;
    }
    // Not convertible at all: the ASCII characters, '?' for the rest.
    size_t at = 0;
    for (int i = 0; wide[i] != 0 && at + 1 < size; ++i)
        text[at++] = wide[i] < 0x80 ? (char)wide[i] : '?';
    text[at] = '\0';
}

void TextFromCodePage(UINT codePage, const char *bytes, char *text, size_t size)
{
    WCHAR wide[TEXT_SIZE];
    if (MultiByteToWideChar(codePage, 0, bytes, -1, wide, TEXT_SIZE) == 0) {
        CopyBounded(text, bytes, size);
        return;
    }
    TextFromWide(wide, text, size);
}

int GetConsoleAttribute()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return FALLBACK_ATTRIBUTE;
    return (int)info.wAttributes;
}

void SetConsoleColor(int color)
{
    RestoreConsoleAttribute(color | COLOR_INTENSITY);
}

void RestoreConsoleAttribute(int attribute)
{
    fflush(stdout);
    if (InterlockedCompareExchange(&g_attributeGuard, ATTRIBUTE_CHANGING, ATTRIBUTE_FREE) !=
        ATTRIBUTE_FREE)
        return;  // the attribute was put back for good: the process is ending
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), (WORD)attribute);
    // Not FREE again if a hung change made the last one go ahead without us.
    InterlockedCompareExchange(&g_attributeGuard, ATTRIBUTE_FREE, ATTRIBUTE_CHANGING);
}

void RestoreConsoleAttributeForGood(int attribute)
{
    for (int tries = 0; InterlockedCompareExchange(&g_attributeGuard, ATTRIBUTE_FINAL,
                                                   ATTRIBUTE_FREE) != ATTRIBUTE_FREE;
         ++tries) {
        if (tries == kFinalChangeTries) {
            // A change stuck in the console: ours goes ahead, and nothing after it.
            InterlockedExchange(&g_attributeGuard, ATTRIBUTE_FINAL);
            break;
        }
        Sleep(kFinalChangeTryMilliseconds);
    }
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), (WORD)attribute);
}

// The banner's lines, in white; the caller puts its own colour back.
static void PrintBannerLines()
{
    SetConsoleColor(COLOR_WHITE);
    PrintText("%s", kStarLine);
    PrintText("\n\n    %s v%s by Brannoch", kProductName, kProductVersion);
    PrintText("\n\n    %s", kProductAddress);
    SetConsoleColor(COLOR_WHITE);
    PrintText("%s", kStarLine);
}

void ShowBanner()
{
    int saved = GetConsoleAttribute();
    PrintBannerLines();
    SetConsoleColor(saved);
}

void ShowUsage()
{
    int saved = GetConsoleAttribute();
    PrintBannerLines();
    SetConsoleColor(COLOR_GREEN);
    PrintText("\n\n\n Usage: \n\t %s.exe [-? | -L | -H <drive_name> | -U <drive_name>]",
              kProductName);
    PrintText("\n\n\n Examples:\n");
    PrintText("\n\n\t //List all (hidden & visible) Drives");
    PrintText("\n\t %s.exe -L", kProductName);
    PrintText("\n\n\t //Hide Drive 'D:\\' from all users");
    PrintText("\n\t %s.exe -H D:\\", kProductName);
    PrintText("\n\n\t //Unhide Drive 'D:\\' on this sstem");
    PrintText("\n\t %s.exe -U D:\\", kProductName);
    PrintText("\n\n\t //Show this help screen");
    PrintText("\n\t %s -?", kProductName);
    PrintText("\n\n");
    SetConsoleColor(saved);
}

void ShowError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(g_errorText, sizeof g_errorText, format, args);
    va_end(args);
    g_errorText[sizeof g_errorText - 1] = '\0';

    int saved = GetConsoleAttribute();
    SetConsoleColor(COLOR_RED);
    WriteText(g_errorText);
    SetConsoleColor(saved);
}
