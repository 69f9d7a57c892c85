// What Velmora prints, word for word: the one copy that every test suite
// compares against. The unit tests, the fuzzer and the end-to-end program
// include it; the screen test reads its literals. Keep each text one
// `inline const std::string` of plain string literals, so that it can.
#ifndef VELMORA_TESTS_SCREENS_H
#define VELMORA_TESTS_SCREENS_H

#include <string>

// Star line, title, address, star line: shown in bright white.
inline const std::string kBanner =
    "\n\n****************************************************************"
    "\n\n    Velmora v1.0 by Brannoch"
    "\n\n    https://velmora.example.com"
    "\n\n****************************************************************";

// Everything of the usage screen after the banner: shown in bright green.
inline const std::string kUsageLines =
    "\n\n\n Usage: \n\t Velmora.exe [-? | -L | -H <drive_name> | -U <drive_name>]"
    "\n\n\n Examples:\n"
    "\n\n\t //List all (hidden & visible) Drives"
    "\n\t Velmora.exe -L"
    "\n\n\t //Hide Drive 'D:\\' from all users"
    "\n\t Velmora.exe -H D:\\"
    "\n\n\t //Unhide Drive 'D:\\' on this sstem"
    "\n\t Velmora.exe -U D:\\"
    "\n\n\t //Show this help screen"
    "\n\t Velmora -?"
    "\n\n";

// -L: the table's header and rule, after the banner; shown in bright green,
// with the rows and the blank line that ends the table.
inline const std::string kListingHeader =
    "\n\n\n\n Drive      Drive Name             Drive Type             File System       Drive Status"
    "\n =======================================================================================";

// -L on the stand-in machine of the unit tests' fault table, after the
// banner: C: labelled System and hidden, an optical drive with no disc, a
// labelled stick.
inline const std::string kStandInListing =
    "\n\n\n\n Drive      Drive Name             Drive Type             File System       Drive Status"
    "\n ======================================================================================="
    "\n\n C:\\        System                 Local Disk             NTFS              Hidden"
    "\n\n D:\\        BD-ROM Drive           CD/DVD Drive                             Visible"
    "\n\n E:\\        STICK                  Removable Disk         FAT32             Visible"
    "\n\n";

// -L on the end-to-end tests' Wine prefix (scripts/make-test-prefix.sh),
// with nothing hidden, after the banner, as it reaches a pipe: the labels in
// code page 437. Wine cannot read Z:'s label, so Z: shows the fallback name.
inline const std::string kWinePrefixListing =
    "\n\n\n\n Drive      Drive Name             Drive Type             File System       Drive Status"
    "\n ======================================================================================="
    "\n\n A:\\        Floppy Disk Drive      Floppy Disk Drive      NTFS              Visible"
    "\n\n C:\\        Local Disk             Local Disk             NTFS              Visible"
    "\n\n D:\\        Velmora Data           Local Disk             NTFS              Visible"
    "\n\n E:\\        Quarterly Reports Archive 2026   Local Disk             NTFS              Visible"
    "\n\n F:\\        VELMORA_CD             CD/DVD Drive           CDFS              Visible"
    "\n\n G:\\        BD-ROM Drive           CD/DVD Drive           CDFS              Visible"
    "\n\n H:\\                               Removable Disk         NTFS              Visible"
    "\n\n K:\\                               Unknown                NTFS              Visible"
    "\n\n L:\\        Cl\x82" "                    Local Disk             NTFS              Visible"
    "\n\n N:\\                               Network Drive                            Visible"
    "\n\n R:\\                               RAM Disk               NTFS              Visible"
    "\n\n Z:\\        Local Disk             Local Disk             NTFS              Visible"
    "\n\n";

// -L: the line after the table, in bright white, naming the drives that did
// not answer in time ("D:, E:").
inline std::string UnansweredLine(const std::string &drives)
{
    return " Note: " + drives + " did not answer in time; their name and file system could not be read.\n\n";
}

// -H and -U: the announcement and the success line around the drive argument
// as echoed, then the note in bright white.
inline const std::string kHiding = "\n\n\n [*] Hiding the Drive ";
inline const std::string kUnhiding = "\n\n\n [*] Unhiding the Drive ";
inline const std::string kHidden = "\n\n [*] Successfully Hidden the Drive ";
inline const std::string kMadeVisible = "\n\n [*] Successfully made the Drive ";
inline const std::string kVisible = " Visible";
inline const std::string kNote =
    "\n\n\n Note: Changes will take effect after you Log Off or restart.\n\n";

// The red lines.
inline const std::string kInvalidParameters = "\n\n Error: Invalid parameters specified.\n\n";
inline const std::string kDriveNotSpecified = "\n\n Error: Drive name is not specified.\n\n";
inline const std::string kInvalidDriveName = "\n\n Error: Invalid drive name specified.\n\n";
inline const std::string kHideFailure = "[*] Failed to Hide the selected Drive on your system.";
inline const std::string kUnhideFailure =
    "[*] Failed to Unhide the selected Drive on your system. Make sure you have proper "
    "permissions and try again";
// The line after a red failure text of -H or -U says why, in red too:
// ReasonLine(kNeedsAdministrator), or the system's message for an error.
inline const std::string kReason = "\n Reason: ";
inline const std::string kNeedsAdministrator =
    "Velmora needs administrator rights: run it from an elevated command prompt.";
inline const std::string kLockBusy =
    "Other copies of Velmora kept the update lock longer than five seconds.";
inline const std::string kNameHeld =
    "The update lock's name (Global\\Velmora.NoDrives) is held by another program, or by an "
    "older copy of Velmora run by another account.";

inline std::string ReasonLine(const std::string &reason)
{
    return kReason + reason + "\n";
}

// The reason for a stored NoDrives that is no mask, by its type's name.
inline std::string NotAMask(const std::string &typeName, size_t bytes)
{
    return "The stored NoDrives value is not a drive mask: it is " + typeName + " of " +
           std::to_string(bytes) + " bytes.";
}

// Shown when PROMPT is absent, before the wait for a key.
inline const std::string kNotFromPrompt =
    "\n This is command-line application. You have to run it from the CMD Prompt as shown above"
    "\n\n Press any key to exit....\n";
// Shown instead when PROMPT is absent but nobody can press a key.
inline const std::string kNotFromPromptNoWait =
    "\n This is command-line application. You have to run it from the CMD Prompt as shown above"
    "\n\n";

// "Hiding the Drive X" (hide) or "Unhiding the Drive X", for the echo X.
inline std::string Announcement(bool hide, const std::string &echo)
{
    return (hide ? kHiding : kUnhiding) + echo;
}

// The success line of -H (hide) or -U for the echo.
inline std::string SuccessLine(bool hide, const std::string &echo)
{
    return hide ? kHidden + echo : kMadeVisible + echo + kVisible;
}

// The red failure text of -H (hide) or -U.
inline const std::string &FailureText(bool hide)
{
    return hide ? kHideFailure : kUnhideFailure;
}

#endif
