#include "harness.h"

TEST_F(ToolTest, HideMergesIntoStoredMask)
{
    StoreNoDrives(0x4);
    RunResult run = RunTool({"-H", "d:"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(StoredNoDrives(), 0xCu);
    EXPECT_EQ(run.text, kBanner + "\n\n\n [*] Hiding the Drive D:\n\n [*] Successfully Hidden the Drive D:" + kNote);
}
