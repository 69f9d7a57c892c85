#include "harness.h"

#include "app/app.h"

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
