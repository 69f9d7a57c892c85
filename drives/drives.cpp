#include "drives/drives.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "console/console.h"
#include "policy/policy.h"

static const char kRowFormat[] = "\n\n %-8s   %-20s   %-20s   %-15s   %-s";

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
    if (type != DRIVE_REMOTE) {
        if (!GetVolumeInformationA(root, label, DRIVE_FIELD_SIZE, NULL, NULL, NULL, fileSystem,
                                   DRIVE_FIELD_SIZE))
            GetLastError();
    }

    if (label[0] == '\0')
        CopyField(label, FallbackLabel(type, root));
    return 1;
}

void ListDrives()
{
    char root[DRIVE_ROOT_SIZE] = "A:\\";
    char label[DRIVE_FIELD_SIZE] = "";
    char typeText[DRIVE_FIELD_SIZE] = "";
    char fileSystem[DRIVE_FIELD_SIZE] = "";
    char status[DRIVE_FIELD_SIZE] = "";
    DWORD hidden = 0;

    ShowBanner();
    ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, &hidden);
    DWORD present = GetLogicalDrives();

    SetConsoleColor(COLOR_GREEN);
    printf("\n\n\n\n %-8s   %-20s   %-20s   %-15s   %-s", "Drive", "Drive Name", "Drive Type",
           "File System", "Drive Status");
    printf("\n =======================================================================================");

    for (int i = 0; i < 26; ++i) {
        DWORD bit = (DWORD)1 << i;
        if (!(present & bit))
            continue;
        root[0] = (char)('A' + i);
        DescribeDrive(root, label, typeText, fileSystem);
        CopyField(status, (hidden & bit) ? "Hidden" : "Visible");
        printf(kRowFormat, root, label, typeText, fileSystem, status);
    }
    printf("\n\n");
}
