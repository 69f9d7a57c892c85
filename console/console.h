// Console presentation: colours, the banner, the usage screen, the red error line.
#ifndef VELMORA_CONSOLE_CONSOLE_H
#define VELMORA_CONSOLE_CONSOLE_H

// Colour codes the commands pass; each is shown with the intensity bit added.
enum {
    COLOR_GREEN = 2,
    COLOR_RED = 4,
    COLOR_WHITE = 7,
    COLOR_INTENSITY = 8,
    FALLBACK_ATTRIBUTE = 15
};

enum { ERROR_TEXT_SIZE = 4096 };

extern const char kProductName[];
extern const char kProductVersion[];
extern const char kProductAddress[];

// The text attribute of the console behind standard output, or 15 when it
// cannot be read (standard output is no console).
int GetConsoleAttribute();

// Sets the console's text attribute to `color` with the intensity bit added.
// Text printed so far is flushed first, so it keeps the colour it was printed in.
void SetConsoleColor(int color);

// The banner; leaves the console in the attribute it found (plus intensity).
void ShowBanner();

// The banner and the usage lines; leaves the attribute it found (plus intensity).
void ShowUsage();

// Formats a message and prints it in red; leaves the attribute it found.
void ShowError(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
