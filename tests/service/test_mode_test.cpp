// The real executable in test mode ("-t"), with the product's own times: a 15-second start
// delay, then a pass, a wait of the few seconds the query program asks for, and the run.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(TestModeTest, SchedulesAndRunsATaskAndSupervisesThePushScript)
{
    ProductKeyReset reset;
    ScratchDirectory folder;
    SetProductDword(L"", L"Debug", 2);
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 5"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" scanned"),
                        folder.Path());
    SetProductString(L"", L"PushScriptCommand",
                     TestChildCommand(L"--append \"" + folder.File(L"push.txt") + L"\" pushed --sleep 120000"));

    RunProduct(L"/k");   // the day's log exists, so its size marks where this run begins
    const size_t before = LogSize();
    BackgroundProcess product(L"\"" + ProductExePath() + L"\" -t");
    ASSERT_TRUE(product.Started());

    ASSERT_TRUE(WaitForLogMessage(before, L"Scan Finished.", 60000));
    EXPECT_EQ(L"scanned|" + folder.Path() + L"\r\n", ReadUtf8File(folder.File(L"task.txt")));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"push.txt")); }, 5000));

    const std::vector<std::wstring> lines = LogLinesAfter(before);
    std::vector<std::wstring> messages;
    for (const std::wstring& line : lines)
        messages.push_back(MessageOf(line));
    const auto at = [&](const std::wstring& m) {
        return std::find(messages.begin(), messages.end(), m) - messages.begin();
    };
    const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(messages.size());
    ASSERT_LT(at(L"Start Varnholt Scheduling (TEST MODE)"), end);
    ASSERT_LT(at(L"Checked 1 schedules; NextCheck=5, AppToRun=Demo"), end);
    EXPECT_LT(at(L"Start Varnholt Scheduling (TEST MODE)"), at(L"Checked 1 schedules; NextCheck=5, AppToRun=Demo"));
    EXPECT_LT(at(L"Checked 1 schedules; NextCheck=5, AppToRun=Demo"), at(L"Starting to sleep for 5 seconds."));
    EXPECT_LT(at(L"Starting to sleep for 5 seconds."), at(L"Starting Scan."));
    EXPECT_LT(at(L"Starting Scan."), at(L"Scan Finished."));
    EXPECT_LT(at(L"Start Varnholt Push Script"), end);
    EXPECT_LT(at(L"Task ran short; sleeping 239 seconds"), end);
}

}  // namespace
