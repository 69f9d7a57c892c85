// Drives: which letters exist, their types and volume labels, the queries
// that fail, and the error mode that decides whether a drive with no medium
// raises the critical-error dialog.
#include "standin/shared.h"

#include <string.h>

using namespace standin;

UINT WINAPI SetErrorMode(UINT uMode)
{
    g_machine.calls.push_back("SetErrorMode");
    UINT previous = g_machine.errorMode;
    g_machine.errorMode = uMode;
    return previous;
}

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
    if (drive && drive->typeNeverComes)
        NeverReturns(drive);
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
    if (drive)
        SpendTime(drive->answerMilliseconds, drive);
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
