#include "schedule/schedule_events.h"

#include "log/event_log.h"
#include "log/thread_entry.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/schedule_check.h"
#include "schedule/scheduler_thread.h"
#include "support/unique_resource.h"
#include "tests/common/event_recording.h"
#include "tests/common/log_capture.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// The worker's pass and run, and the push script, with short times and a sink that records
// what would reach the Event Log.
class ScheduleEventsTest : public ::testing::Test {
protected:
    ScheduleEventsTest()
    {
        m_timings.StartDelayMs = 0;
        m_timings.QueryLimitSeconds = 5;
        m_timings.KillGraceMs = 200;
        m_timings.WaitBoundMs = 20000;
        m_timings.SpacingMs = 0;
        m_timings.PushStartSleepMs = 50;
        m_timings.PushWaitMs = 300;
        m_timings.PushPauseMs = 60000;
        m_timings.PushStepMs = 100;
        SetEventSink(&m_sink);
    }
    ~ScheduleEventsTest() override
    {
        StopWorker();
        CloseScheduleCheckEvent();
        ClearSlots();
        SetEventSink(nullptr);
    }
    // Runs the worker until its first main task has come to an end.
    void RunOneTask(const std::wstring& scanner)
    {
        RegisterApplication(m_app, TestChildCommand(L"--write \"" + m_app + L"\" 1"), scanner,
                            m_folder.Path());
        m_worker = std::thread([this] { RunSchedulerLoop(m_timings); });
        ASSERT_TRUE(WaitUntil([&] { return m_log.Has(L"Scan Finished."); }, 30000));
        StopWorker();
    }
    void StopWorker()
    {
        StopSchedulerLoop(m_worker);
    }
    ScheduleCheckResult Pass()
    {
        CRegistryKey productKey;
        OpenProductKey(productKey, KEY_READ);
        return CheckSchedules(productKey, m_timings);
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{2};
    ScratchDirectory m_folder;
    Timings m_timings;
    RecordingEventSink m_sink;
    std::thread m_worker;
    // Each test's own name, since which queries fail is remembered for the process's life.
    const std::wstring m_app =
        std::wstring(L"App ") + std::to_wstring(GetTickCount64()) + L" " +
        std::to_wstring(::testing::UnitTest::GetInstance()->random_seed());
};

}  // namespace

TEST_F(ScheduleEventsTest, TaskThatEndsByItselfReportsItsStartAndEnd)
{
    const std::wstring scanner = TestChildCommand(L"--exit 3");
    RunOneTask(scanner);
    const std::vector<RecordedEvent> started = m_sink.EventsWithId(1100);
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ((std::vector<std::wstring>{m_app, scanner}), started[0].Inserts);
    const std::vector<RecordedEvent> ended = m_sink.EventsWithId(1101);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, ended[0].Type);
    ASSERT_EQ(3u, ended[0].Inserts.size());
    EXPECT_EQ(m_app, ended[0].Inserts[0]);
    EXPECT_EQ(L"3", ended[0].Inserts[1]);
    EXPECT_EQ(L"0", ended[0].Inserts[2]);   // seconds, well below one
    EXPECT_TRUE(m_sink.EventsWithId(1102).empty());
    EXPECT_TRUE(m_sink.EventsWithId(1200).empty());   // its query answered
}

TEST_F(ScheduleEventsTest, TaskEndedAtItsLimitIsAWarning)
{
    m_timings.TaskLimitSeconds = 1;
    RunOneTask(TestChildCommand(L"--sleep 20000"));
    const std::vector<RecordedEvent> atLimit = m_sink.EventsWithId(1102);
    ASSERT_EQ(1u, atLimit.size());
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, atLimit[0].Type);
    EXPECT_EQ(std::vector<std::wstring>{m_app}, atLimit[0].Inserts);
    EXPECT_EQ(1u, m_sink.EventsWithId(1100).size());
    EXPECT_TRUE(m_sink.EventsWithId(1101).empty());
}

TEST_F(ScheduleEventsTest, TaskThatCannotStartIsOneErrorWithItsCode)
{
    RunOneTask(L"\"" + m_folder.File(L"missing.exe") + L"\"");
    const std::vector<RecordedEvent> failed = m_sink.EventsWithId(1103);
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, failed[0].Type);
    ASSERT_EQ(3u, failed[0].Inserts.size());
    EXPECT_EQ(m_app, failed[0].Inserts[0]);
    EXPECT_EQ(L"2", failed[0].Inserts[1]);   // ERROR_FILE_NOT_FOUND
    EXPECT_FALSE(failed[0].Inserts[2].empty());
    EXPECT_TRUE(m_log.Has(L"CreateProcess failed, error code = 2"));
    // Its log line is covered by 1103, not repeated as 1999; no start, no end.
    EXPECT_TRUE(m_sink.EventsWithId(1999).empty());
    EXPECT_TRUE(m_sink.EventsWithId(1100).empty());
    EXPECT_TRUE(m_sink.EventsWithId(1101).empty());
}

TEST_F(ScheduleEventsTest, QueryThatFailsIsReportedOnceAndAgainWhenItAnswers)
{
    const std::wstring scanner = TestChildCommand(L"--exit 0");
    RegisterApplication(m_app, TestChildCommand(L"--exit 5"), scanner, m_folder.Path());
    Pass();
    Pass();   // still failing: nothing new
    const std::vector<RecordedEvent> failing = m_sink.EventsWithId(1200);
    ASSERT_EQ(1u, failing.size());
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, failing[0].Type);
    EXPECT_EQ((std::vector<std::wstring>{m_app, L"5"}), failing[0].Inserts);
    EXPECT_TRUE(m_sink.EventsWithId(1201).empty());

    RegisterApplication(m_app, TestChildCommand(L"--write \"" + m_app + L"\" 600"), scanner,
                        m_folder.Path());
    EXPECT_EQ(600u, Pass().NextCheck);
    Pass();
    const std::vector<RecordedEvent> answering = m_sink.EventsWithId(1201);
    ASSERT_EQ(1u, answering.size());
    EXPECT_EQ(std::vector<std::wstring>{m_app}, answering[0].Inserts);

    // Failing again after answering is news again, and so is the limit (-1).
    m_timings.QueryLimitSeconds = 1;
    RegisterApplication(m_app, TestChildCommand(L"--sleep 20000"), scanner, m_folder.Path());
    Pass();
    const std::vector<RecordedEvent> again = m_sink.EventsWithId(1200);
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ((std::vector<std::wstring>{m_app, L"-1"}), again[1].Inserts);
}

TEST_F(ScheduleEventsTest, PushScriptThatEndsIsReportedWithItsExitCode)
{
    const std::wstring command = TestChildCommand(L"--exit 7");
    SetProductString(L"", L"PushScriptCommand", command);
    std::thread push([this] { RunPushScriptLoop(m_timings); });
    const bool reported = WaitUntil([&] { return !m_sink.EventsWithId(1300).empty(); }, 20000);
    SetPushStop(true);
    StopSlotChildOf(GlobalSlot::Push, 200);
    push.join();
    ClearSlots();
    ASSERT_TRUE(reported);
    const std::vector<RecordedEvent> ended = m_sink.EventsWithId(1300);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, ended[0].Type);
    EXPECT_EQ((std::vector<std::wstring>{command, L"7"}), ended[0].Inserts);
}

TEST_F(ScheduleEventsTest, ThreadThatEndsOnAnExceptionIsAnError)
{
    RunThreadBody([] { throw 1; }, L"Scheduler thread ended unexpectedly");
    const std::vector<RecordedEvent> ended = m_sink.EventsWithId(1901);
    ASSERT_EQ(1u, ended.size());
    EXPECT_EQ(std::vector<std::wstring>{L"Scheduler thread ended unexpectedly"}, ended[0].Inserts);
}
