// One drive's type, name and file system, and the -L table of every present
// drive with whether NoDrives hides it.
#include "drives/drives.h"

#include <string.h>

#include "platform/platform.h"
#include "console/console.h"
#include "policy/policy.h"


static void CopyField(char *field, const char *text)
{
    strncpy(field, text, DRIVE_FIELD_SIZE - 1);
    field[DRIVE_FIELD_SIZE - 1] = '\0';
}

static int IsFloppyLetter(const char *root)
{
    return root[0] == 'A' || root[0] == 'B';
}

static const char *TypeText(unsigned int type, const char *root)
{
    switch (type) {
    case DRIVE_REMOVABLE:
        return IsFloppyLetter(root) ? "Floppy Disk Drive" : "Removable Disk";
    case DRIVE_FIXED:
        return "Local Disk";
    case DRIVE_REMOTE:
        return "Network Drive";
    case DRIVE_CDROM:
        return "CD/DVD Drive";
    case DRIVE_RAMDISK:
        return "RAM Disk";
    default:
        return "Unknown";
    }
}

// The name shown for a drive whose volume has no label.
static const char *FallbackLabel(unsigned int type, const char *root)
{
    switch (type) {
    case DRIVE_CDROM:
        return "BD-ROM Drive";
    case DRIVE_REMOVABLE:
        return IsFloppyLetter(root) ? "Floppy Disk Drive" : "";
    case DRIVE_FIXED:
        return "Local Disk";
    default:
        return "";
    }
}

int DescribeDrive(const char *root, char *label, char *typeText, char *fileSystem)
{
    label[0] = '\0';
    typeText[0] = '\0';
    fileSystem[0] = '\0';

    unsigned int type = GetDriveTypeA(root);
    CopyField(typeText, TypeText(type, root));

    // Asking a network share about its volume can hang on a dead server.
    // The label is read in Unicode, so that nothing is lost before it is
    // shown; the fields hold it in UTF-8.
    if (type != DRIVE_REMOTE) {
        WCHAR wideRoot[DRIVE_ROOT_SIZE] = {(WCHAR)(unsigned char)root[0], (WCHAR)(unsigned char)root[1],
                                           (WCHAR)(unsigned char)root[2], 0};
        WCHAR wideLabel[MAX_PATH + 1];
        WCHAR wideFileSystem[MAX_PATH + 1];
        if (GetVolumeInformationW(wideRoot, wideLabel, MAX_PATH + 1, NULL, NULL, NULL,
                                  wideFileSystem, MAX_PATH + 1)) {
            TextFromWide(wideLabel, label, DRIVE_FIELD_SIZE);
            TextFromWide(wideFileSystem, fileSystem, DRIVE_FIELD_SIZE);
        } else {
            GetLastError();
        }
    }

    if (label[0] == '\0')
        CopyField(label, FallbackLabel(type, root));
    return 1;
}

// One line of the table: each column left-justified and padded to its
// width in console cells, three blanks apart, the status unpadded. A longer
// text is shown whole and pushes the rest of its line to the right.
static void PrintRow(const char *root, const char *label, const char *typeText,
                     const char *fileSystem, const char *status)
{
    char row[TEXT_SIZE] = "\n\n ";
    AppendPadded(row, sizeof row, root, 8);
    AppendPadded(row, sizeof row, "   ", 0);
    AppendPadded(row, sizeof row, label, 20);
    AppendPadded(row, sizeof row, "   ", 0);
    AppendPadded(row, sizeof row, typeText, 20);
    AppendPadded(row, sizeof row, "   ", 0);
    AppendPadded(row, sizeof row, fileSystem, 15);
    AppendPadded(row, sizeof row, "   ", 0);
    AppendPadded(row, sizeof row, status, 0);
    PrintText("%s", row);
}

void ListDrives(REGSAM view)
{
    char root[DRIVE_ROOT_SIZE] = "A:\\";
    char label[DRIVE_FIELD_SIZE] = "";
    char typeText[DRIVE_FIELD_SIZE] = "";
    char fileSystem[DRIVE_FIELD_SIZE] = "";
    char status[DRIVE_FIELD_SIZE] = "";
    DWORD hidden = 0;

    ShowBanner();
    ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, view, &hidden);
    DWORD present = GetLogicalDrives();

    SetConsoleColor(COLOR_GREEN);
    PrintText("\n\n");
    PrintRow("Drive", "Drive Name", "Drive Type", "File System", "Drive Status");
    PrintText("\n =======================================================================================");

    for (int i = 0; i < 26; ++i) {
        DWORD bit = (DWORD)1 << i;
        if (!(present & bit))
            continue;
        root[0] = (char)('A' + i);
        DescribeDrive(root, label, typeText, fileSystem);
        CopyField(status, (hidden & bit) ? "Hidden" : "Visible");
        PrintRow(root, label, typeText, fileSystem, status);
    }
    PrintText("\n\n");
}
