// Text conversions: Windows' code pages by iconv (with a few of its
// best-fit look-alikes), MultiByteToWideChar, WideCharToMultiByte and the
// system's messages from FormatMessageW.
#include "standin/shared.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

namespace standin {

namespace {

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

}  // namespace

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

}  // namespace standin

using namespace standin;

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
