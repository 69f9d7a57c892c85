// Console presentation: colours, the banner, the usage screen, the red error
// line, and the one way text leaves the program.
//
// Text inside the program is UTF-8. On a console it is written as Unicode,
// so every character the console's font has shows right whatever the code
// pages; redirected to a file or pipe it is written in the console's output
// code page (the OEM one when there is no console), as Windows' own console
// tools write it, a character that code page lacks becoming '?'.
#ifndef VELMORA_CONSOLE_CONSOLE_H
#define VELMORA_CONSOLE_CONSOLE_H

#include <stddef.h>

#include "platform/platform.h"

// Colour codes the commands pass; each is shown with the intensity bit added.
enum {
    COLOR_GREEN = 2,
    COLOR_RED = 4,
    COLOR_WHITE = 7,
    COLOR_INTENSITY = 8,
    FALLBACK_ATTRIBUTE = 15
};

enum { ERROR_TEXT_SIZE = 4096, TEXT_SIZE = 4096 };

extern const char kProductName[];
extern const char kProductVersion[];
extern const char kProductAddress[];

// Gives redirected standard output a buffer of its own, so that a screen
// leaves in one write per colour change on any kind of handle, and lets the
// run change colours. Called once, before anything is printed.
void PrepareOutput();

// Formats UTF-8 text (every %s argument UTF-8 too, at most TEXT_SIZE - 1
// bytes in all) and writes it to standard output.
void PrintText(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Appends `text` to the UTF-8 `line` of `size` bytes, then blanks until the
// two together take at least `cells` console cells: a column of a table
// lines up by what it shows, not by its bytes. Cut to fit `size`.
void AppendPadded(char *line, size_t size, const char *text, int cells);

// Converts zero-terminated text in `codePage` (CP_ACP: the command line's
// code page) to UTF-8 in `text` of `size` bytes, cut at a character if it
// does not fit. When it cannot be converted, the bytes are copied as they are.
void TextFromCodePage(UINT codePage, const char *bytes, char *text, size_t size);

// The same for zero-terminated UTF-16, which the system's W functions give.
void TextFromWide(const WCHAR *wide, char *text, size_t size);

// The text attribute of the console behind standard output, or 15 when it
// cannot be read (standard output is no console).
int GetConsoleAttribute();

// Sets the console's text attribute to `color` with the intensity bit added.
// Text printed so far is flushed first, so it keeps the colour it was printed in.
void SetConsoleColor(int color);

// Sets the console's text attribute to exactly `attribute`, as
// GetConsoleAttribute gave it, after flushing the text printed so far.
// Nothing once RestoreConsoleAttributeForGood has run.
void RestoreConsoleAttribute(int attribute);

// Sets exactly `attribute` for the rest of the process, from any thread: it
// waits about a second at most for a change in progress to finish, and every
// later SetConsoleColor and RestoreConsoleAttribute does nothing. Flushes
// nothing. For a thread that is about to end the process.
void RestoreConsoleAttributeForGood(int attribute);

// The banner; leaves the console in the attribute it found (plus intensity).
void ShowBanner();

// The banner and the usage lines; leaves the attribute it found (plus intensity).
void ShowUsage();

// Formats a message and prints it in red; leaves the attribute it found.
void ShowError(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
