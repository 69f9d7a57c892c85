#include "console/console.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

const char kProductName[] = "Velmora";
const char kProductVersion[] = "1.0";
const char kProductAddress[] = "https://velmora.example.com";

static const char kStarLine[] =
    "\n\n****************************************************************";

// Holds the latest error line; each one overwrites the last.
static char g_errorText[ERROR_TEXT_SIZE];

int GetConsoleAttribute()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return FALLBACK_ATTRIBUTE;
    return (int)info.wAttributes;
}

void SetConsoleColor(int color)
{
    fflush(stdout);
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), (WORD)(color | COLOR_INTENSITY));
}

// The banner's lines, in white; the caller puts its own colour back.
static void PrintBannerLines()
{
    SetConsoleColor(COLOR_WHITE);
    printf("%s", kStarLine);
    printf("\n\n    %s v%s by Brannoch", kProductName, kProductVersion);
    printf("\n\n    %s", kProductAddress);
    SetConsoleColor(COLOR_WHITE);
    printf("%s", kStarLine);
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
    printf("\n\n\n Usage: \n\t %s.exe [-? | -L | -H <drive_name> | -U <drive_name>]",
           kProductName);
    printf("\n\n\n Examples:\n");
    printf("\n\n\t //List all (hidden & visible) Drives");
    printf("\n\t %s.exe -L", kProductName);
    printf("\n\n\t //Hide Drive 'D:\\' from all users");
    printf("\n\t %s.exe -H D:\\", kProductName);
    printf("\n\n\t //Unhide Drive 'D:\\' on this sstem");
    printf("\n\t %s.exe -U D:\\", kProductName);
    printf("\n\n\t //Show this help screen");
    printf("\n\t %s -?", kProductName);
    printf("\n\n");
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
    printf("%s", g_errorText);
    SetConsoleColor(saved);
}
