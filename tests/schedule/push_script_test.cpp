#include "schedule/push_script.h"

#include "schedule/child_process.h"
#include "support/unique_resource.h"
#include "tests/common/event_recording.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/timer_from_now.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// How many handle values of this process are open. GetProcessHandleCount answers 0 under
// Wine, so the values are probed one by one.
int OpenHandleCount()
{
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

class PushScriptTest : public ::testing::Test {
protected:
    PushScriptTest()
    {
        m_timings.PushStartSleepMs = 50;
        m_timings.PushWaitMs = 300;
        m_timings.PushPauseMs = 400;
        m_timings.PushStepMs = 100;
        m_timings.KillGraceMs = 200;
        SetEventSink(&m_events);
    }
    ~PushScriptTest() override
    {
        Stop();
        SetEventSink(nullptr);
        // The last run's handles stay with the slot, as in the service; end its process.
        const ProcessSlot last = SlotNow(GlobalSlot::Push);
        if (last.hProcess)
            TerminateProcess(last.hProcess, 0);
        ClearSlots();
    }
    void Start()
    {
        m_returned = false;
        m_thread = std::thread([this] {
            RunPushScriptLoop(m_timings);
            m_returned = true;
        });
    }
    // What the stop handler does to the push script: the flag, then the kill.
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        SetPushStop(true);
        StopSlotChildOf(GlobalSlot::Push, 200);
        m_thread.join();
    }
    std::wstring Script(const std::wstring& extra = L"")
    {
        return TestChildCommand(L"--append \"" + m_folder.File(L"push.txt") + L"\" run " + extra);
    }
    int Runs() const
    {
        const std::wstring text = ReadUtf8File(m_folder.File(L"push.txt"));
        int runs = 0;
        for (size_t at = text.find(L"run|"); at != std::wstring::npos; at = text.find(L"run|", at + 1))
            ++runs;
        return runs;
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{3};
    ScratchDirectory m_folder;
    Timings m_timings;
    RecordingEventSink m_events;
    std::thread m_thread;
    std::atomic<bool> m_returned{false};
};

TEST_F(PushScriptTest, NothingRunsWithoutAStringCommand)
{
    for (int variant = 0; variant < 3; ++variant) {
        if (variant == 1)
            SetProductString(L"", L"PushScriptCommand", L"");
        if (variant == 2)
            SetProductDword(L"", L"PushScriptCommand", 5);
        // It returns by itself: a loop that began without a command would run until a stop.
        Start();
        EXPECT_TRUE(WaitUntil([&] { return m_returned.load(); }, 20000)) << "variant " << variant;
        if (m_returned)
            m_thread.join();
        else
            Stop();
        EXPECT_FALSE(PushStopping());
    }
    EXPECT_TRUE(m_log.Messages().empty());
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Push).hProcess);

    // Without a product key to read the command from, nothing runs either, and the failed
    // open is logged.
    ASSERT_TRUE(DeleteProductKey());
    Start();
    EXPECT_TRUE(WaitUntil([&] { return m_returned.load(); }, 20000));
    if (m_returned)
        m_thread.join();
    else
        Stop();
    EXPECT_EQ(1, m_log.Count(L"RegOpenKeyEx(SOFTWARE\\Varnholt) failed, error code = 2")) << m_log.Text();
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Push).hProcess);
}

TEST_F(PushScriptTest, MultiStringCommandIsJoinedAndAFailedLaunchIsRetried)
{
    SetProductString(L"", L"PushScriptCommand", std::wstring(L"a\0b\0", 5), REG_MULTI_SZ);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Launching 'a|b'") >= 2; }, 10000));
    Stop();
    EXPECT_GE(m_log.Count(L"CreateProcess failed, error code = 2"), 2);
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Push).hProcess);
}

TEST_F(PushScriptTest, EndedScriptIsRelaunchedAfterThePause)
{
    SetProductString(L"", L"PushScriptCommand", Script());
    const TimerFromNow twoPauses(2 * 400);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Runs() >= 3; }, 15000));
    // Two pauses of 400 ms lie between the first and the third run.
    EXPECT_TRUE(twoPauses.Fired()) << "a relaunch came before its pause was out";
    Stop();
    EXPECT_GE(m_log.Count(L"Start Varnholt Push Script"), 3);
    EXPECT_FALSE(PushStopping());
}

TEST_F(PushScriptTest, StopDuringThePauseEndsWithoutARelaunch)
{
    m_timings.PushPauseMs = 60000;
    SetProductString(L"", L"PushScriptCommand", Script());
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Runs() == 1; }, 20000));
    // The script's end is reported (1300) just before the pause begins.
    ASSERT_TRUE(WaitUntil([&] { return !m_events.EventsWithId(1300).empty(); }, 20000));
    const ULONGLONG start = GetTickCount64();
    SetPushStop(true);
    m_thread.join();
    // Within a step of the stop: a pause that missed it would last its minute.
    EXPECT_LT(GetTickCount64() - start, kLoadMarginMs);
    EXPECT_EQ(1, m_log.Count(L"Start Varnholt Push Script"));
    EXPECT_EQ(1, Runs());
}

TEST_F(PushScriptTest, StopWhileTheScriptRunsKillsItForGood)
{
    SetProductString(L"", L"PushScriptCommand", Script(L"--ignore-quit 60000"));
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Runs() == 1; }, 10000));
    const DWORD id = SlotNow(GlobalSlot::Push).dwProcessId;
    const UniqueHandle script(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id));
    ASSERT_NE(nullptr, script.Get());
    Stop();
    DWORD exitCode = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(script.Get(), 20000));
    GetExitCodeProcess(script.Get(), &exitCode);
    EXPECT_EQ(1067u, exitCode);
    // The loop has been joined: a relaunch would have been logged before it ended.
    EXPECT_EQ(1, Runs());
    EXPECT_EQ(1, m_log.Count(L"Start Varnholt Push Script"));
}

TEST_F(PushScriptTest, RelaunchesLeakNoHandles)
{
    const std::wstring script = TestChildCommand(L"--exit 0");
    LaunchPushScript(script);
    WaitForSingleObject(SlotNow(GlobalSlot::Push).hProcess, 5000);
    const int before = OpenHandleCount();
    for (int i = 0; i < 100; ++i) {
        const ProcessSlot previous = SlotNow(GlobalSlot::Push);
        ASSERT_NE(nullptr, previous.hProcess);
        WaitForSingleObject(previous.hProcess, 5000);
        LaunchPushScript(script);
        const ProcessSlot current = SlotNow(GlobalSlot::Push);
        ASSERT_NE(nullptr, current.hProcess);
        EXPECT_NE(previous.dwProcessId, current.dwProcessId);
    }
    WaitForSingleObject(SlotNow(GlobalSlot::Push).hProcess, 5000);
    EXPECT_LE(OpenHandleCount(), before + 2);
}

TEST(SleepUnlessStoppingTest, SleepsWholeStepsAndNoticesAStop)
{
    Timings timings;
    timings.PushStepMs = 300;
    const auto timed = [&](LONG ms) { return MillisecondsTaken([&] { SleepUnlessStopping(ms, timings); }); };
    // Nothing to sleep, or a stop asked for already, sleeps no step at all: with steps of a
    // minute, one step would take that minute.
    Timings minuteSteps;
    minuteSteps.PushStepMs = 60000;
    const auto timedInMinuteSteps = [&](LONG ms) {
        return MillisecondsTaken([&] { SleepUnlessStopping(ms, minuteSteps); });
    };
    // Sleeps at least the whole steps that cover the time asked for.
    const auto sleepsAtLeast = [&](LONG ms, DWORD atLeastMs) {
        const TimerFromNow span(atLeastMs);
        SleepUnlessStopping(ms, timings);
        return span.Fired();
    };
    EXPECT_TRUE(sleepsAtLeast(1, 300));     // one whole step
    EXPECT_LT(timedInMinuteSteps(0), kLoadMarginMs);
    EXPECT_LT(timedInMinuteSteps(-5), kLoadMarginMs);
    EXPECT_TRUE(sleepsAtLeast(301, 600));   // rounded up to two steps

    SetPushStop(true);
    EXPECT_LT(timedInMinuteSteps(10000), kLoadMarginMs);
    SetPushStop(false);

    // The sleep lasts until the stop, which the stopper makes once the sleep has begun, and
    // notes that it stops before it does.
    std::atomic<bool> sleeping{false};
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        WaitUntil([&] { return sleeping.load(); }, 20000, 1);
        stopping = true;
        SetPushStop(true);
    });
    const TimerFromNow aStep(static_cast<DWORD>(timings.PushStepMs));
    sleeping = true;
    const ULONGLONG took = timed(60000);
    const bool endedByTheStop = stopping;
    stopper.join();
    SetPushStop(false);
    EXPECT_TRUE(endedByTheStop) << "the sleep ended before the stop came";
    EXPECT_TRUE(aStep.Fired()) << "the stop came before the sleep's first step";
    // Within a step of the stop: a sleep that missed it would last its minute.
    EXPECT_LT(took, kLoadMarginMs);
}

}  // namespace
