// The drive inventory: what one drive is, and the table of every present drive.
#ifndef VELMORA_DRIVES_DRIVES_H
#define VELMORA_DRIVES_DRIVES_H

#include "platform/platform.h"

enum { DRIVE_FIELD_SIZE = 256, DRIVE_ROOT_SIZE = 4 };

// Fills the three 256-byte fields for the drive at `root` ("X:\"): its name
// (volume label, or a fallback by type), its type text and its file system,
// in UTF-8.
// Always returns 1; what cannot be learned is left empty or falls back.
int DescribeDrive(const char *root, char *label, char *typeText, char *fileSystem);

// The -L command: one row for every present drive, A to Z, hidden or not,
// as NoDrives in registry `view` says. The queries of each drive (its type,
// then its volume) run on a thread of its own, all at once; a drive that has
// not answered 9 s after they started gets the row of a failed query (type
// Unknown if even its type did not come) and is named on a line after the
// table, and the
// command returns within 10 s of the start unless a drive had to be asked
// on this thread.
void ListDrives(REGSAM view);

#endif
