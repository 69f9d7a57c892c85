#include "harness.h"

#include <stdio.h>

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
    return Capture([&] {
        try {
            return RunCommandLine((int)storage.size(), argv.data());
        } catch (const standin::ProcessEnded &ended) {
            return (int)ended.status;
        }
    });
}

void StoreNoDrives(DWORD value)
{
    standin::SetDword(standin::kPolicyKey, "NoDrives", value);
}

::testing::AssertionResult StoredNoDrivesIs(DWORD expected)
{
    standin::RegistryValue value = standin::GetValue(standin::kPolicyKey, "NoDrives");
    char text[64];
    snprintf(text, sizeof text, "NoDrives should be REG_DWORD 0x%08lX, ", (unsigned long)expected);
    if (value.type != REG_DWORD || value.data.size() != 4)
        return ::testing::AssertionFailure() << text << "is type " << value.type << " of "
                                             << value.data.size() << " bytes";
    DWORD stored = (DWORD)value.data[0] | ((DWORD)value.data[1] << 8) |
                   ((DWORD)value.data[2] << 16) | ((DWORD)value.data[3] << 24);
    if (stored != expected) {
        char got[16];
        snprintf(got, sizeof got, "0x%08lX", (unsigned long)stored);
        return ::testing::AssertionFailure() << text << "is " << got;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult NothingLeftOpen(const std::set<std::string> &failed, bool user32Kept)
{
    const standin::Machine &m = standin::TheMachine();
    ::testing::AssertionResult open = ::testing::AssertionFailure();
    bool any = false;
    auto left = [&](const std::string &what) {
        open << (any ? "; " : "") << what;
        any = true;
    };
    if (!m.openKeys.empty())
        left(std::to_string(m.openKeys.size()) + " key(s) open");
    if (standin::CountCalls("CloseHandle") != m.handlesOpened)
        left(std::to_string(m.handlesOpened) + " handle(s) opened, " +
             std::to_string(standin::CountCalls("CloseHandle")) + " close(s) tried");
    if (!failed.count("CloseHandle"))
        for (const auto &handle : m.openHandles)
            left("a " + handle.second + " handle open");
    if (m.mutexOwned > (failed.count("ReleaseMutex") ? 1 : 0))
        left("the update lock still owned");
    if (m.writesOutsideMutex != 0)
        left(std::to_string(m.writesOutsideMutex) + " write(s) without the lock");
    if (m.criticalErrorDialogs != 0)
        left("a \"No disk\" dialog");
    if (m.localAllocations != 0)
        left(std::to_string(m.localAllocations) + " descriptor(s) not freed");
    int user32 = user32Kept ? 1 : 0;
    if (m.librariesLoaded != user32 && !(failed.count("FreeLibrary") && m.librariesLoaded == 1))
        left("user32 loaded " + std::to_string(m.librariesLoaded) + " time(s), " +
             std::to_string(user32) + " expected");
    return any ? open : ::testing::AssertionSuccess();
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
