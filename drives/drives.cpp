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

// One drive's queries and their answers: its type, then, unless it is a
// network drive, its volume. The queries of the listing run on a thread of
// their own, which owns its slot until it ends; a thread that does not end
// in time may still write it later, so its slot is never read, nor used
// again in the run, but for the type, which the thread publishes as soon as
// it has it. Static: such a thread outlives ListDrives.
struct VolumeQuery {
    char root[DRIVE_ROOT_SIZE];
    WCHAR wideRoot[DRIVE_ROOT_SIZE];
    WCHAR label[MAX_PATH + 1];
    WCHAR fileSystem[MAX_PATH + 1];
    volatile LONG type;  // kTypeNotKnown until the type query returned
    BOOL answered;
};

static const LONG kTypeNotKnown = -1;

static VolumeQuery g_volumeQueries[26];

// Asks for the drive's type (which opens its root) and, but for a network
// drive (asking a share about its volume can hang on a dead server), its
// label and file system, in Unicode so that nothing is lost before they are
// shown. Also a thread's start.
static DWORD WINAPI QueryVolume(LPVOID slot)
{
    VolumeQuery *query = (VolumeQuery *)slot;
    unsigned int type = GetDriveTypeA(query->root);
    InterlockedExchange(&query->type, (LONG)type);
    if (type == DRIVE_REMOTE)
        return 0;
    query->answered = GetVolumeInformationW(query->wideRoot, query->label, MAX_PATH + 1, NULL, NULL,
                                            NULL, query->fileSystem, MAX_PATH + 1);
    if (!query->answered)
        GetLastError();  // why does not matter: the row falls back by type
    return 0;
}

static void PrepareQuery(VolumeQuery *query, const char *root)
{
    for (int i = 0; i < DRIVE_ROOT_SIZE; ++i) {
        query->root[i] = root[i];
        query->wideRoot[i] = (WCHAR)(unsigned char)root[i];
    }
    InterlockedExchange(&query->type, kTypeNotKnown);
    query->answered = FALSE;
}

// The type the query has learned so far; DRIVE_UNKNOWN, what Windows gives
// when it cannot tell, while its type query has not returned.
static unsigned int KnownType(VolumeQuery *query)
{
    LONG type = InterlockedCompareExchange(&query->type, kTypeNotKnown, kTypeNotKnown);
    return type == kTypeNotKnown ? DRIVE_UNKNOWN : (unsigned int)type;
}

// Fills the three fields from the drive's type and the query's answer;
// `query` NULL when there is none to read: a network drive, which is never
// asked about its volume, or a query that did not answer in time.
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
    VolumeQuery query;
    PrepareQuery(&query, root);
    QueryVolume(&query);
    unsigned int type = KnownType(&query);
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
static const SIZE_T kSmallStackBytes = 64 * 1024;

typedef BOOL(WINAPI *CancelSynchronousIoFunction)(HANDLE thread);

// The milliseconds left from now until `limit` after `start`; 0 once past it.
static DWORD TimeLeft(DWORD start, DWORD limit)
{
    DWORD spent = GetTickCount() - start;
    return spent < limit ? limit - spent : 0;
}

// A query's thread, or NULL when none can be made. A thread that cannot be
// made with the executable's default stack is tried once more with a small
// reservation, which may still fit where the default did not: the query
// needs little.
static HANDLE StartQueryThread(VolumeQuery *query)
{
    HANDLE thread = CreateThread(NULL, 0, QueryVolume, query, 0, NULL);
    if (thread != NULL)
        return thread;
    return CreateThread(NULL, kSmallStackBytes, QueryVolume, query, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
}

// Starts the queries of every present drive, each on a thread of its own,
// all of them before any is waited for: this thread asks nothing of a
// drive. A drive whose thread cannot be made keeps a NULL thread and is not
// asked at all: it is listed as one that did not answer.
static void StartVolumeQueries(DWORD present, HANDLE *threads)
{
    char root[DRIVE_ROOT_SIZE] = "A:\\";
    for (int i = 0; i < 26; ++i) {
        threads[i] = NULL;
        if (!(present & ((DWORD)1 << i)))
            continue;
        root[0] = (char)('A' + i);
        PrepareQuery(&g_volumeQueries[i], root);
        threads[i] = StartQueryThread(&g_volumeQueries[i]);
    }
}

// The answer of drive `i` once it is in, within what is left of the bound
// for answers, and its type; NULL for a network drive, a drive that had no
// thread (its type then stays unknown), or a query that did not end in
// time, whose thread is then left in threads[i] for the cancelling, and
// whose type is what it had learned by then. Every thread that ended is
// closed.
static const VolumeQuery *AwaitVolumeQuery(int i, HANDLE *threads, DWORD start, unsigned int *type)
{
    VolumeQuery *query = &g_volumeQueries[i];
    if (threads[i] == NULL) {
        *type = KnownType(query);  // never asked: DRIVE_UNKNOWN
        return NULL;
    }
    if (WaitForSingleObject(threads[i], TimeLeft(start, kAnswerMilliseconds)) == WAIT_OBJECT_0) {
        CloseHandle(threads[i]);
        threads[i] = NULL;
    }
    *type = KnownType(query);
    if (threads[i] != NULL)
        return NULL;  // still asking: only its type may be read
    return *type == DRIVE_REMOTE ? NULL : query;
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
    unsigned int type = DRIVE_UNKNOWN;
    HANDLE threads[26];
    DWORD hidden = 0;

    ShowBanner();
    ReadHiddenDriveMask(HKEY_LOCAL_MACHINE, view, &hidden);
    DWORD present = GetLogicalDrives();
    DWORD start = GetTickCount();
    StartVolumeQueries(present, threads);

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
        const VolumeQuery *query = AwaitVolumeQuery(i, threads, start, &type);
        if (query == NULL && type != DRIVE_REMOTE)
            AddToList(unanswered, root[0]);
        FillDescription(root, type, query, label, typeText, fileSystem);
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
