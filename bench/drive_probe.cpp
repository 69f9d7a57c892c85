// The floor for -L: the same drive queries the listing makes, and nothing
// else. No registry, no token, no console output.
#include <windows.h>

int main()
{
    char root[4] = "A:\\";
    char label[256];
    char fileSystem[256];
    DWORD present = GetLogicalDrives();

    for (int i = 0; i < 26; ++i) {
        if (!(present & ((DWORD)1 << i)))
            continue;
        root[0] = (char)('A' + i);
        // Like the listing, a network drive is not asked about its volume.
        if (GetDriveTypeA(root) != DRIVE_REMOTE)
            GetVolumeInformationA(root, label, sizeof label, NULL, NULL, NULL, fileSystem,
                                  sizeof fileSystem);
    }
    return 0;
}
