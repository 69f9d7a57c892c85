#include "harness.h"

#include "app/app.h"

const std::string kBanner =
    "\n\n****************************************************************"
    "\n\n    Velmora v1.0 by Brannoch"
    "\n\n    https://velmora.example.com"
    "\n\n****************************************************************";

const std::string kUsageLines =
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

const char kNote[] = "\n\n\n Note: Changes will take effect after you Log Off or restart.\n\n";

const std::string kInvalidParameters = "\n\n Error: Invalid parameters specified.\n\n";
const std::string kDriveNotSpecified = "\n\n Error: Drive name is not specified.\n\n";
const std::string kInvalidDriveName = "\n\n Error: Invalid drive name specified.\n\n";
const std::string kNotFromPrompt =
    "\n This is command-line application. You have to run it from the CMD Prompt as shown above"
    "\n\n Press any key to exit....\n";
const std::string kHideFailure = "[*] Failed to Hide the selected Drive on your system.";
const std::string kUnhideFailure =
    "[*] Failed to Unhide the selected Drive on your system. Make sure you have proper "
    "permissions and try again";

RunResult RunTool(const std::vector<std::string> &arguments)
{
    std::vector<std::string> storage;
    storage.push_back("Velmora.exe");
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &argument : storage)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    return Capture([&] { return RunCommandLine((int)storage.size(), argv.data()); });
}

void StoreNoDrives(DWORD value)
{
    standin::SetDword(standin::kPolicyKey, "NoDrives", value);
}

DWORD StoredNoDrives()
{
    standin::RegistryValue value = standin::GetValue(standin::kPolicyKey, "NoDrives");
    EXPECT_EQ(value.type, (DWORD)REG_DWORD);
    EXPECT_EQ(value.data.size(), 4u);
    if (value.data.size() != 4)
        return 0xDEADBEEF;
    return (DWORD)value.data[0] | ((DWORD)value.data[1] << 8) | ((DWORD)value.data[2] << 16) |
           ((DWORD)value.data[3] << 24);
}

namespace standin {

bool operator==(const Segment &a, const Segment &b)
{
    return a.attribute == b.attribute && a.text == b.text;
}

void PrintTo(const Segment &segment, std::ostream *out)
{
    static const char kHex[] = "0123456789ABCDEF";
    *out << "{" << segment.attribute << ", \"";
    for (unsigned char c : segment.text) {
        if (c == '\n')
            *out << "\\n";
        else if (c == '\t')
            *out << "\\t";
        else if (c == '\\' || c == '"')
            *out << '\\' << (char)c;
        else if (c < 0x20 || c > 0x7E)
            *out << "\\x" << kHex[c >> 4] << kHex[c & 15];
        else
            *out << (char)c;
    }
    *out << "\"}";
}

}  // namespace standin

std::vector<standin::Segment> UsageScreen()
{
    return {{BRIGHT_WHITE, kBanner}, {BRIGHT_GREEN, kUsageLines}};
}
