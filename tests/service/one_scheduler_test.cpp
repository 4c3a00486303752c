// One scheduler per computer, seen from the real executable: a test-mode run beside the
// running service, or beside another test-mode run, starts nothing and says why; the
// service started while a test-mode run schedules waits for it to end.
#include "log/logger.h"
#include "service/service_control.h"
#include "tests/common/files.h"
#include "tests/common/piped_process.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const wchar_t kRefusal[] =
    L"Another Varnholt Scheduling is already scheduling on this computer; stop it first.";

class OneSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        ASSERT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtTestChild.exe") == 0; }, 10000));
        // A query program that leaves a line each time it runs, and a push script that marks
        // which scheduler started it.
        RegisterApplication(L"App", TestChildCommand(L"--append \"" + m_folder.File(L"queried.txt") + L"\" q --write App 600"),
                            TestChildCommand(L"--exit 0"), m_folder.Path());
        SetProductString(L"", L"PushScriptCommand",
                         TestChildCommand(L"--append \"" + m_folder.File(L"push.txt") + L"\" pushed --sleep 120000"));
        RunProduct(L"/k");
        m_logStart = LogSize();
    }
    void TearDown() override { RemoveServiceCompletely(); }

    // How many lines since the test began carry this message.
    int CountMessages(const std::wstring& message) const
    {
        int count = 0;
        for (const std::wstring& line : LogLinesAfter(m_logStart))
            count += MessageOf(line) == message ? 1 : 0;
        return count;
    }
    // How many push scripts have started so far.
    int PushStarts() const
    {
        const std::wstring text = ReadUtf8File(m_folder.File(L"push.txt"));
        int count = 0;
        for (size_t at = text.find(L"pushed"); at != std::wstring::npos; at = text.find(L"pushed", at + 1))
            ++count;
        return count;
    }
    // A test-mode run refused at once, with its reason on the console and in the log.
    void ExpectRefusedTestMode()
    {
        const size_t before = LogSize();
        const ProductRun run = RunProductPiped(L"-t", 20000);
        EXPECT_EQ(0u, run.ExitCode);
        EXPECT_NE(std::wstring::npos, run.Output.find(kRefusal)) << testing::PrintToString(run.Output);
        const std::vector<std::wstring> lines = LogLinesAfter(before);
        EXPECT_TRUE(HasMessage(lines, L"Another Varnholt Scheduling is already scheduling on this computer"));
        EXPECT_FALSE(HasMessage(lines, L"Start Varnholt Push Script"));
    }

    ProductKeyReset m_reset;
    ScratchDirectory m_folder;
    size_t m_logStart = 0;
};

TEST_F(OneSchedulerTest, TestModeBesideTheRunningServiceStartsNothing)
{
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    ASSERT_TRUE(WaitUntil([&] { return PushStarts() == 1; }, 20000)) << "the service's push script";
    ExpectRefusedTestMode();
    // The service's one pass after its start delay, and nobody else's: the refused run has
    // ended, and the service's pass is over once it waits for the next.
    ASSERT_TRUE(WaitForLogMessage(m_logStart, L"Starting to sleep for 600 seconds.", 40000));
    EXPECT_EQ(L"q|" + m_folder.Path() + L"\r\n", ReadUtf8File(m_folder.File(L"queried.txt")));
    EXPECT_EQ(1, PushStarts());
}

TEST_F(OneSchedulerTest, SecondTestModeStartsNothingAndTheServiceWaitsForTheFirst)
{
    auto first = std::make_unique<BackgroundProcess>(L"\"" + ProductExePath() + L"\" -t");
    ASSERT_TRUE(first->Started());
    ASSERT_TRUE(WaitUntil([&] { return PushStarts() == 1; }, 20000)) << "the first run's push script";
    ExpectRefusedTestMode();
    EXPECT_EQ(1, PushStarts());

    // The service, started meanwhile, runs but schedules only once the test-mode run ends.
    const std::wstring waiting =
        L"Another Varnholt Scheduling is scheduling on this computer; waiting for it to end";
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    EXPECT_TRUE(WaitForLogMessage(m_logStart, waiting, 20000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    // While it waits it starts nothing: a stop ends the wait, and the service leaves having
    // started no push script of its own (the one line is the test-mode run's).
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_TRUE(WaitForLogMessage(m_logStart, L"EXIT Varnholt Scheduling Service", 20000));
    EXPECT_EQ(1, CountMessages(L"Start Varnholt Push Script"));
    EXPECT_EQ(1, PushStarts());

    // Started again, it waits again, and takes over once the test-mode run ends.
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), StartTheService());
    EXPECT_TRUE(WaitUntil([&] { return CountMessages(waiting) == 2; }, 20000));
    first.reset();   // the test-mode run and its children end
    EXPECT_TRUE(WaitUntil([&] { return PushStarts() == 2; }, 20000)) << "the service took over";
}

}  // namespace
