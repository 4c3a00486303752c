// Test mode ("-t"). The real executable, with the product's own times: a 15-second start
// delay, then a pass, a wait of the second the query program asks for, and the run.
#include "service/test_mode.h"

#include "log/logger.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Beside an installed, stopped service, whose recorded state test mode leaves as it was.
TEST(TestModeTest, SchedulesAndRunsATaskAndSupervisesThePushScript)
{
    RemoveServiceCompletely();
    ASSERT_TRUE(InstallStandInService());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
    CStateRecorder recorder;
    recorder.BeginPass(12345);
    recorder.RecordQuery(L"Demo", 1000, 0, 60);   // due long ago, and never run
    ProductKeyReset reset;
    ScratchDirectory folder;
    SetProductDword(L"", L"Debug", 2);
    RegisterApplication(L"Demo", TestChildCommand(L"--write Demo 1"),
                        TestChildCommand(L"--append \"" + folder.File(L"task.txt") + L"\" scanned"),
                        folder.Path());
    SetProductString(L"", L"PushScriptCommand",
                     TestChildCommand(L"--append \"" + folder.File(L"push.txt") + L"\" pushed --sleep 120000"));

    RunProduct(L"/k");   // the day's log exists, so its size marks where this run begins
    const size_t before = LogSize();
    auto product = std::make_unique<BackgroundProcess>(L"\"" + ProductExePath() + L"\" -t");
    ASSERT_TRUE(product->Started());

    ASSERT_TRUE(WaitForLogMessage(before, L"Scan Finished.", 60000));
    EXPECT_EQ(L"scanned|" + folder.Path() + L"\r\n", ReadUtf8File(folder.File(L"task.txt")));
    EXPECT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"push.txt")); }, 20000));

    const std::vector<std::wstring> lines = LogLinesAfter(before);
    std::vector<std::wstring> messages;
    for (const std::wstring& line : lines)
        messages.push_back(MessageOf(line));
    const auto at = [&](const std::wstring& m) {
        return std::find(messages.begin(), messages.end(), m) - messages.begin();
    };
    const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(messages.size());
    ASSERT_LT(at(L"Start Varnholt Scheduling (TEST MODE)"), end);
    ASSERT_LT(at(L"Checked 1 schedules; NextCheck=1, AppToRun=Demo"), end);
    EXPECT_LT(at(L"Start Varnholt Scheduling (TEST MODE)"), at(L"Checked 1 schedules; NextCheck=1, AppToRun=Demo"));
    EXPECT_LT(at(L"Checked 1 schedules; NextCheck=1, AppToRun=Demo"), at(L"Starting to sleep for 1 seconds."));
    EXPECT_LT(at(L"Starting to sleep for 1 seconds."), at(L"Starting Scan."));
    EXPECT_LT(at(L"Starting Scan."), at(L"Scan Finished."));
    EXPECT_LT(at(L"Start Varnholt Push Script"), end);
    EXPECT_LT(at(L"Task ran short; sleeping 239 seconds"), end);
    EXPECT_EQ(end, at(L"AppName Demo was due while the service was not running; its run was missed"));

    const RecordedServiceState state = ReadServiceState();
    EXPECT_EQ(12345u, state.LastPassStart);
    EXPECT_EQ(0u, state.LastPassEnd);
    EXPECT_EQ(0u, state.ServiceStart);
    EXPECT_EQ(0u, state.ServiceProcessId);
    EXPECT_FALSE(state.WakeKnown);
    EXPECT_FALSE(state.PushConfigured);
    const ApplicationState demo = ReadApplicationState(L"Demo");
    EXPECT_EQ(1000u, demo.LastQueryTime);
    EXPECT_EQ(1060u, demo.NextDue);
    EXPECT_FALSE(demo.RunRecorded);
    EXPECT_EQ(0u, demo.MissedRuns);
    product.reset();
    RemoveServiceCompletely();
}

}  // namespace

namespace {

// Test mode in this process, with its console handler called directly: Wine 8 delivers
// Ctrl+C sent with GenerateConsoleCtrlEvent (see TestModeConsoleTest) but not Ctrl+Break,
// and a test cannot close a console. The push script ignores WM_QUIT, so only the stop's
// termination ends it.
class TestModeHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A child of an earlier test may still be on its way out.
        ASSERT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtTestChild.exe") == 0; }, 10000));
        SetProductString(L"", L"PushScriptCommand",
                         TestChildCommand(L"--append \"" + m_folder.File(L"push.txt") +
                                          L"\" pushed --ignore-quit 300000"));
        m_run = std::thread([this] {
            m_interrupted = RunTestMode(/*lifetimeMs=*/120000);
            m_ended = true;
        });
        ASSERT_TRUE(WaitUntil([&] { return FileExists(m_folder.File(L"push.txt")); }, 15000));
    }
    void TearDown() override
    {
        if (m_run.joinable()) {
            HandleTestModeControl(CTRL_C_EVENT);
            m_run.join();
        }
        // The worker keeps the check event for the life of its process; this process goes on
        // to other tests, which must not find it, and the signals it got, still there; nor
        // may they find the state's recording off.
        CloseScheduleCheckEvent();
        SetStateRecording(true);
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{0};
    ScratchDirectory m_folder;
    std::thread m_run;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_interrupted{false};
};

TEST_F(TestModeHandlerTest, CtrlBreakStopsTheWorkLikeAServiceStop)
{
    EXPECT_FALSE(m_ended);
    const std::vector<UniqueHandle> scripts = OpenProcesses(L"VarnholtTestChild.exe", SYNCHRONIZE);
    EXPECT_EQ(1u, scripts.size());
    EXPECT_EQ(TRUE, TestModeCtrlHandler(CTRL_BREAK_EVENT));
    // It returns once the work has stopped: the push script has been terminated.
    for (const UniqueHandle& script : scripts)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(script.Get(), 0)) << "the push script still runs";
    m_run.join();
    EXPECT_TRUE(m_interrupted);

    const std::vector<std::wstring> messages = m_log.Messages();
    const auto stopping = std::find(messages.begin(), messages.end(), L"Stopping test mode");
    const auto exit = std::find(messages.begin(), messages.end(), L"EXIT Varnholt Scheduling (TEST MODE)");
    ASSERT_NE(messages.end(), stopping);
    ASSERT_NE(messages.end(), exit);
    EXPECT_LT(stopping, exit);
    EXPECT_EQ(0, m_log.Count(L"KillProcess failed, error 5"));

    // A second event finds the stop done and changes nothing.
    EXPECT_EQ(TRUE, TestModeCtrlHandler(CTRL_C_EVENT));
    EXPECT_EQ(1, m_log.Count(L"Stopping test mode"));
}

// Holds test mode's exit line in the logger's lock until released: test mode cannot finish
// logging it while the line is held.
class ExitLineHold : public CLogSink {
public:
    ExitLineHold()
        : m_arrived(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr)),
          m_release(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr))
    {
        m_added = AddLogSink(this);
    }
    ~ExitLineHold() override
    {
        Release();
        RemoveLogSink(this);
    }
    ExitLineHold(const ExitLineHold&) = delete;
    ExitLineHold& operator=(const ExitLineHold&) = delete;
    bool Added() const { return m_added && m_arrived && m_release; }
    bool Takes(int, bool) const override { return true; }
    void Take(const LogLine& line) override
    {
        if (std::wstring(line.Message) != L"EXIT Varnholt Scheduling (TEST MODE)")
            return;
        SetEvent(m_arrived.Get());
        WaitForSingleObject(m_release.Get(), 60000);
    }
    // True once the exit line is being held.
    bool WaitForTheLine(DWORD timeoutMs) const
    {
        return WaitForSingleObject(m_arrived.Get(), timeoutMs) == WAIT_OBJECT_0;
    }
    void Release() { SetEvent(m_release.Get()); }

private:
    UniqueHandle m_arrived;
    UniqueHandle m_release;
    bool m_added = false;
};

TEST_F(TestModeHandlerTest, ClosingTheConsoleLetsTheProcessGoOnlyAfterItsExitLine)
{
    ExitLineHold hold;
    ASSERT_TRUE(hold.Added());
    std::atomic<bool> returned{false};
    std::thread close([&] {
        EXPECT_TRUE(HandleTestModeControl(CTRL_CLOSE_EVENT));
        returned = true;
    });
    // Test mode writes its exit line once the handler has stopped the work and told it so;
    // from there the handler waits for that line to be done, or, were it to let the process
    // end too early, returns. While the line is held, the handler, which lets the process end
    // when it returns, must not return.
    const bool held = hold.WaitForTheLine(20000);
    EXPECT_TRUE(held) << "no exit line";
    EXPECT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtTestChild.exe") == 0; }, 20000))
        << "the push script outlived the stop";
    EXPECT_FALSE(returned) << "the handler let the process go before the exit line was done";
    hold.Release();
    close.join();
    EXPECT_TRUE(m_log.Has(L"EXIT Varnholt Scheduling (TEST MODE)"));
    m_run.join();
    EXPECT_TRUE(m_interrupted);
}

}  // namespace
