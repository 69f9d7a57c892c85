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

// One volume query and its answer. A query of the listing runs on a thread
// of its own and owns its slot until the thread ends; a thread that does
// not end in time may still write it later, so its slot is never read, nor
// used again in the run. Static: such a thread outlives ListDrives.
struct VolumeQuery {
    WCHAR root[DRIVE_ROOT_SIZE];
    WCHAR label[MAX_PATH + 1];
    WCHAR fileSystem[MAX_PATH + 1];
    BOOL answered;
};

static VolumeQuery g_volumeQueries[26];

// Asks the volume of `query->root` for its label and file system, in Unicode
// so that nothing is lost before they are shown. Also a thread's start.
static DWORD WINAPI QueryVolume(LPVOID slot)
{
    VolumeQuery *query = (VolumeQuery *)slot;
    query->answered = GetVolumeInformationW(query->root, query->label, MAX_PATH + 1, NULL, NULL, NULL,
                                            query->fileSystem, MAX_PATH + 1);
    if (!query->answered)
        GetLastError();  // why does not matter: the row falls back by type
    return 0;
}

static void PrepareQuery(VolumeQuery *query, const char *root)
{
    for (int i = 0; i < DRIVE_ROOT_SIZE; ++i)
        query->root[i] = (WCHAR)(unsigned char)root[i];
    query->answered = FALSE;
}

// Fills the three fields from the drive's type and the query's answer;
// `query` NULL when there is none to read: a network drive, which is never
// asked (asking a share about its volume can hang on a dead server), or a
// query that did not answer in time.
static void FillDescription(const char *root, unsigned int type, const VolumeQuery *query, char *label,
                            char *typeText, char *fileSystem)
{
    label[0] = '\0';
    typeText[0] = '\0';
    fileSystem[0] = '\0';
    CopyField(typeText, TypeText(type, root));
    if (query != NULL && query->answered) {
        TextFromWide(query->label, label, DRIVE_FIELD_SIZE);
        TextFromWide(query->fileSystem, fileSystem, DRIVE_FIELD_SIZE);
    }
    if (label[0] == '\0')
        CopyField(label, FallbackLabel(type, root));
}

int DescribeDrive(const char *root, char *label, char *typeText, char *fileSystem)
{
    unsigned int type = GetDriveTypeA(root);
    VolumeQuery query;
    if (type != DRIVE_REMOTE) {
        PrepareQuery(&query, root);
        QueryVolume(&query);
    }
    FillDescription(root, type, type != DRIVE_REMOTE ? &query : NULL, label, typeText, fileSystem);
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

// The listing's one bound, from the start of the volume queries to the end
// of the process: a CD or DVD drive that must spin up first takes a few
// seconds (two to seven are common) to give its label, so answers are taken
// for 9 s; the unanswered queries are then cancelled for at most half a
// second, and the rest leaves in what remains.
static const DWORD kAnswerMilliseconds = 9000;
static const DWORD kCancelMilliseconds = 500;
static const DWORD kCancelStepMilliseconds = 50;

typedef BOOL(WINAPI *CancelSynchronousIoFunction)(HANDLE thread);

// The milliseconds left from now until `limit` after `start`; 0 once past it.
static DWORD TimeLeft(DWORD start, DWORD limit)
{
    DWORD spent = GetTickCount() - start;
    return spent < limit ? limit - spent : 0;
}

// Starts the volume query of every present drive but the network ones, each
// on a thread of its own, all of them before any is waited for. A drive whose
// thread cannot be started keeps a NULL thread and is asked on the main
// thread when its row comes, as it always was.
static void StartVolumeQueries(DWORD present, unsigned int *types, HANDLE *threads)
{
    char root[DRIVE_ROOT_SIZE] = "A:\\";
    for (int i = 0; i < 26; ++i) {
        threads[i] = NULL;
        if (!(present & ((DWORD)1 << i)))
            continue;
        root[0] = (char)('A' + i);
        types[i] = GetDriveTypeA(root);
        if (types[i] == DRIVE_REMOTE)
            continue;
        PrepareQuery(&g_volumeQueries[i], root);
        threads[i] = CreateThread(NULL, 0, QueryVolume, &g_volumeQueries[i], 0, NULL);
    }
}

// The answer of drive `i` once it is in, within what is left of the bound
// for answers; NULL for a network drive or a query that did not end in time,
// whose thread is then left in threads[i] for the cancelling. Every thread
// that ended is closed.
static const VolumeQuery *AwaitVolumeQuery(int i, unsigned int type, HANDLE *threads, DWORD start)
{
    if (type == DRIVE_REMOTE)
        return NULL;
    if (threads[i] == NULL) {
        QueryVolume(&g_volumeQueries[i]);
        return &g_volumeQueries[i];
    }
    if (WaitForSingleObject(threads[i], TimeLeft(start, kAnswerMilliseconds)) != WAIT_OBJECT_0)
        return NULL;
    CloseHandle(threads[i]);
    threads[i] = NULL;
    return &g_volumeQueries[i];
}

// Cancels the requests the unanswered queries wait in, again and again (a
// query makes several requests, and a cancel that comes between two of them
// finds nothing to cancel), until their threads end or the time for it is
// up, then closes every handle. A thread whose driver ignores the cancel is
// left where it is: Windows keeps the process until its request ends.
// Windows XP has no CancelSynchronousIo: there the threads are only closed.
static void CancelUnansweredQueries(HANDLE *threads)
{
    int any = 0;
    for (int i = 0; i < 26; ++i)
        any = any || threads[i] != NULL;
    if (!any)
        return;
    DWORD start = GetTickCount();
    CancelSynchronousIoFunction cancel = (CancelSynchronousIoFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo");
    // Bounded by rounds as well as by the clock, which a failing wait does not move.
    for (DWORD round = 1; cancel != NULL && round * kCancelStepMilliseconds <= kCancelMilliseconds; ++round) {
        int running = 0;
        for (int i = 0; i < 26; ++i)
            if (threads[i] != NULL) {
                cancel(threads[i]);  // FALSE between two requests: the next round tries again
                ++running;
            }
        if (running == 0)
            break;
        for (int i = 0; i < 26; ++i)
            if (threads[i] != NULL &&
                WaitForSingleObject(threads[i], TimeLeft(start, round * kCancelStepMilliseconds)) == WAIT_OBJECT_0) {
                CloseHandle(threads[i]);
                threads[i] = NULL;
            }
    }
    for (int i = 0; i < 26; ++i)
        if (threads[i] != NULL)
            CloseHandle(threads[i]);
}

// Adds "X:" to a list of drives such as "D:, E:".
static void AddToList(char *list, char letter)
{
    size_t at = strlen(list);
    if (at > 0) {
        list[at++] = ',';
        list[at++] = ' ';
    }
    list[at++] = letter;
    list[at++] = ':';
    list[at] = '\0';
}

void ListDrives(REGSAM view)
{
    char root[DRIVE_ROOT_SIZE] = "A:\\";
    char label[DRIVE_FIELD_SIZE] = "";
    char typeText[DRIVE_FIELD_SIZE] = "";
    char fileSystem[DRIVE_FIELD_SIZE] = "";
    char status[DRIVE_FIELD_SIZE] = "";
    char unanswered[26 * 4] = "";  // "D:, E:"
    unsigned int types[26];
    HANDLE threads[26];
    DWORD hidden = 0;

    ShowBanner();
    ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, view, &hidden);
    DWORD present = GetLogicalDrives();
    DWORD start = GetTickCount();
    StartVolumeQueries(present, types, threads);

    SetConsoleColor(COLOR_GREEN);
    PrintText("\n\n");
    PrintRow("Drive", "Drive Name", "Drive Type", "File System", "Drive Status");
    PrintText("\n =======================================================================================");

    // In letter order, each row as soon as its drive has answered: on a
    // console it shows at once, redirected it waits in the output buffer.
    for (int i = 0; i < 26; ++i) {
        DWORD bit = (DWORD)1 << i;
        if (!(present & bit))
            continue;
        root[0] = (char)('A' + i);
        const VolumeQuery *query = AwaitVolumeQuery(i, types[i], threads, start);
        if (query == NULL && types[i] != DRIVE_REMOTE)
            AddToList(unanswered, root[0]);
        FillDescription(root, types[i], query, label, typeText, fileSystem);
        CopyField(status, (hidden & bit) ? "Hidden" : "Visible");
        PrintRow(root, label, typeText, fileSystem, status);
    }
    PrintText("\n\n");
    if (unanswered[0] != '\0') {
        SetConsoleColor(COLOR_WHITE);
        PrintText(" Note: %s did not answer in time; their name and file system could not be read.\n\n",
                  unanswered);
    }
    CancelUnansweredQueries(threads);
}
