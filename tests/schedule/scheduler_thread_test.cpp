#include "schedule/scheduler_thread.h"

#include "schedule/child_process.h"
#include "support/clock.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"
#include "tests/common/timer_from_now.h"
#include "tests/common/wait_until.h"

#include <aclapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <thread>

namespace {

TEST(WaitVerdictTest, OnlyTheDueTimeBelowTheThresholdRunsTheTask)
{
    EXPECT_EQ(1, WaitVerdict(WaitEnd::DueTime, 1799, 1800));
    EXPECT_EQ(1, WaitVerdict(WaitEnd::DueTime, 0, 1800));
    EXPECT_EQ(0, WaitVerdict(WaitEnd::DueTime, 1800, 1800));
    EXPECT_EQ(0, WaitVerdict(WaitEnd::DueTime, 4294967295u, 1800));
    EXPECT_EQ(0, WaitVerdict(WaitEnd::CheckEvent, 10, 1800));
    EXPECT_EQ(0, WaitVerdict(WaitEnd::Bound, 10, 1800));
}

TEST(WaitVerdictTest, WaitResultsAreReadByWhatWasWaitedOn)
{
    // Timer and event: index 0 is the timer, index 1 the event; the timer wins a tie, so a
    // due task is served before any check request.
    EXPECT_EQ(WaitEnd::DueTime, ClassifyWait(WAIT_OBJECT_0, true, true, true));
    EXPECT_EQ(WaitEnd::CheckEvent, ClassifyWait(WAIT_OBJECT_0 + 1, true, true, true));
    EXPECT_EQ(WaitEnd::Bound, ClassifyWait(WAIT_TIMEOUT, true, true, true));
    EXPECT_EQ(WaitEnd::DueTime, ClassifyWait(WAIT_IO_COMPLETION, true, true, false));
    // Timer alone: index 0 is the timer.
    EXPECT_EQ(WaitEnd::DueTime, ClassifyWait(WAIT_OBJECT_0, true, false, true));
    // Event alone: index 0 is the event.
    EXPECT_EQ(WaitEnd::CheckEvent, ClassifyWait(WAIT_OBJECT_0, false, true, true));
    // No timer: the time-out is the due time only when it came before the bound.
    EXPECT_EQ(WaitEnd::DueTime, ClassifyWait(WAIT_TIMEOUT, false, true, true));
    EXPECT_EQ(WaitEnd::Bound, ClassifyWait(WAIT_TIMEOUT, false, true, false));
    EXPECT_EQ(WaitEnd::Bound, ClassifyWait(WAIT_TIMEOUT, false, false, false));
}

TEST(SpacingTest, KeepsFourMinutesFromTheStartOfARun)
{
    EXPECT_EQ(179500u, SpacingSleepMs(1000, 61500, 240000));
    EXPECT_EQ(179u, SpacingSleepMs(1000, 61500, 240000) / 1000);
    EXPECT_EQ(0u, SpacingSleepMs(1000, 241000, 240000));
    EXPECT_EQ(0u, SpacingSleepMs(1000, 301000, 240000));
    // GetTickCount wrapped during the run.
    EXPECT_EQ(239000u, SpacingSleepMs(0xFFFFFC18u, 0, 240000));
    EXPECT_EQ(222000u, SpacingSleepMs(0xFFFFD8F0u, 0x00001F40u, 240000));
}

class WaitForDueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ScheduleCheckEvent = CreateScheduleCheckEvent().Event.Release();
        ASSERT_NE(nullptr, ScheduleCheckEvent);
        m_timings.WaitBoundMs = 4000;
        // These tests look at one wait, not at the gap between the passes requests cause,
        // whose record an earlier test in this process may have left; nor may an earlier
        // stop that no worker loop took back end the wait.
        m_timings.CheckRequestGapMs = 0;
        ClearSchedulerStop();
        // An earlier test's object of the same name may still be open, and set.
        ResetEvent(ScheduleCheckEvent);
    }
    void TearDown() override
    {
        CloseScheduleCheckEvent();
    }
    // Runs WaitForDue and returns its verdict; milliseconds receives how long it took.
    int TimedWait(DWORD seconds, ULONGLONG& milliseconds)
    {
        const ULONGLONG start = GetTickCount64();
        const ULONGLONG due = SystemTimeUnitsNow() + static_cast<ULONGLONG>(seconds) * 10000000u;
        const int verdict = WaitForDue(seconds, due, m_timings);
        milliseconds = GetTickCount64() - start;
        return verdict;
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{0};
    Timings m_timings;
};

TEST_F(WaitForDueTest, TimerExpiryRunsOnlyBelowTheThreshold)
{
    ULONGLONG took = 0;
    {
        const TimerFromNow due(1000);
        EXPECT_EQ(1, TimedWait(1, took));
        EXPECT_TRUE(due.Fired()) << "the wait ended before the due time";
    }
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(m_log.Has(L"Starting to sleep for 1 seconds."));
    EXPECT_EQ(1, m_log.Count(L"Finished Sleeping."));

    m_timings.RunNowThresholdSeconds = 1;
    const TimerFromNow due(1000);
    EXPECT_EQ(0, TimedWait(1, took));
    EXPECT_TRUE(due.Fired()) << "the wait ended before the due time";
}

TEST_F(WaitForDueTest, BoundAndEventEndTheWaitWithoutARun)
{
    ULONGLONG took = 0;
    m_timings.WaitBoundMs = 1000;
    {
        const TimerFromNow bound(1000);
        EXPECT_EQ(0, TimedWait(100, took));
        EXPECT_TRUE(bound.Fired()) << "the wait ended before its bound";
    }

    // A request past 2^31 seconds must not turn into a due time in the past.
    {
        const TimerFromNow bound(1000);
        EXPECT_EQ(0, TimedWait(4294967295u, took));
        EXPECT_TRUE(bound.Fired()) << "the wait ended before its bound";
    }
    EXPECT_TRUE(m_log.Has(L"Starting to sleep for -1 seconds."));

    // A signal that came while nobody waited ends the next wait at once.
    m_timings.WaitBoundMs = 10000;
    SetEvent(ScheduleCheckEvent);
    EXPECT_EQ(0, TimedWait(1, took));
    EXPECT_LT(took, 500u);
}

TEST_F(WaitForDueTest, WithoutEventOrTimerTheWaitStillLasts)
{
    CloseScheduleCheckEvent();
    // An object of another kind holding the timer's name makes the timer's creation fail.
    UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, kWaitTimerName));
    ASSERT_TRUE(squatter);
    ASSERT_EQ(nullptr, UniqueHandle(CreateWaitableTimerW(nullptr, TRUE, kWaitTimerName)).Get());

    ULONGLONG took = 0;
    {
        const TimerFromNow due(1000);
        EXPECT_EQ(1, TimedWait(1, took));   // the due time came: run, but not early
        EXPECT_TRUE(due.Fired()) << "the wait ended before the due time";
    }
    m_timings.WaitBoundMs = 1000;
    const TimerFromNow bound(1000);
    EXPECT_EQ(0, TimedWait(3, took));   // the bound came first: check again
    EXPECT_TRUE(bound.Fired()) << "the wait ended before its bound";
    EXPECT_LT(took, 2500u);
}

TEST(ScheduleCheckEventTest, PeersMaySignalAndWaitButNotTakeItOver)
{
    UniqueHandle event(CreateScheduleCheckEvent().Event);
    ASSERT_TRUE(event);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(event.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor));
    UniqueLocalMemory owned(descriptor);
    const std::vector<AceEntry> aces = AcesOf(descriptor);
    ASSERT_EQ(3u, aces.size());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    for (const AceEntry& ace : aces)
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace.Type);
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), RightsGrantedTo(aces, L"S-1-5-18"));
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), RightsGrantedTo(aces, L"S-1-5-32-544"));
    // Everyone may signal and wait, nothing more: not change the DACL or the owner.
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_MODIFY_STATE | SYNCHRONIZE), RightsGrantedTo(aces, L"S-1-1-0"));

    // Auto-reset and not signalled; another process can open it to set it.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0));
    ASSERT_EQ(0u, RunAndCollect(L"\"" + TestChildPath() + L"\" --signal " + kScheduleCheckEventName, 20000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0));
}

TEST(CheckRequestDelayTest, TheFirstRequestAndOneAfterTheGapGoAtOnce)
{
    EXPECT_EQ(0u, CheckRequestDelayMs(false, 0, 5000, 10000));
    EXPECT_EQ(0u, CheckRequestDelayMs(true, 1000, 11000, 10000));
    EXPECT_EQ(0u, CheckRequestDelayMs(true, 1000, 50000, 10000));
    EXPECT_EQ(9000u, CheckRequestDelayMs(true, 1000, 2000, 10000));
    EXPECT_EQ(10000u, CheckRequestDelayMs(true, 1000, 1000, 10000));
    // GetTickCount wrapped since the last pass.
    EXPECT_EQ(5000u, CheckRequestDelayMs(true, 0xFFFFF060u, 1000, 10000));
}

TEST_F(WaitForDueTest, TimerOfAnotherOwnerCannotEndTheWaitEarly)
{
    UniqueHandle squatter = SquatAsUsers([](SECURITY_ATTRIBUTES* security) {
        return CreateWaitableTimerW(security, TRUE, kWaitTimerName);
    });
    if (!squatter)
        GTEST_SKIP() << "this system keeps no owner of Users given to a timer";
    m_timings.WaitBoundMs = 3000;
    // The squatter re-arms its timer to fire at once, again and again.
    LONG volatile done = 0;
    std::thread rearm([&] {
        while (!done) {
            LARGE_INTEGER soon;
            soon.QuadPart = -1;
            SetWaitableTimer(squatter.Get(), &soon, 0, nullptr, nullptr, FALSE);
            Sleep(20);
        }
    });
    ULONGLONG took = 0;
    const int verdict = TimedWait(100, took);
    InterlockedExchange(&done, 1);
    rearm.join();
    EXPECT_EQ(0, verdict) << "a task due in 100 seconds ran early";
    EXPECT_EQ(1, m_log.Count(L"Wait timer is held by another owner or cannot be opened (error code = 5); using a timer of its own") +
                     (m_log.Text().find(L"Wait timer is held") == std::wstring::npos ? 1 : 0))
        << "told once per process";
}

// The worker loop on a thread of its own, with short times.
class SchedulerLoopTest : public ::testing::Test {
protected:
    SchedulerLoopTest()
    {
        m_timings.StartDelayMs = 0;
        m_timings.QueryLimitSeconds = 5;
        m_timings.KillGraceMs = 200;
        m_timings.WaitBoundMs = 20000;
        m_timings.SpacingMs = 1500;
        m_completed.Reset(CreateEventW(nullptr, FALSE, FALSE, kScanCompletedEventName));
    }
    ~SchedulerLoopTest() override
    {
        Stop();
        CloseScheduleCheckEvent();
        ClearSlots();
    }
    void Start()
    {
        m_worker = std::thread([this] { RunSchedulerLoop(m_timings); });
    }
    // What the stop handler does to the worker: the flag, the event, the child.
    void Stop()
    {
        StopSchedulerLoop(m_worker);
    }
    std::wstring Query(const std::wstring& app, const std::wstring& answer)
    {
        return TestChildCommand(L"--write \"" + app + L"\" " + answer);
    }
    std::wstring Task(const std::wstring& extra = L"")
    {
        return TestChildCommand(L"--append \"" + m_folder.File(L"task.txt") + L"\" ran " + extra);
    }
    bool LogHas(const std::wstring& message, DWORD timeoutMs)
    {
        return WaitUntil([&] { return m_log.Has(message); }, timeoutMs);
    }
    // Counts the completion event's signals until the time runs out.
    int CountCompletions(DWORD forMs)
    {
        int count = 0;
        const ULONGLONG end = GetTickCount64() + forMs;
        while (GetTickCount64() < end) {
            if (WaitForSingleObject(m_completed.Get(), 100) == WAIT_OBJECT_0)
                ++count;
        }
        return count;
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{2};
    ScratchDirectory m_folder;
    Timings m_timings;
    UniqueHandle m_completed;
    std::thread m_worker;
};

TEST_F(SchedulerLoopTest, DueTaskRunsInItsDirectoryAndAnnouncesItsEndOnce)
{
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Scan Finished.", 20000));
    EXPECT_EQ(1, CountCompletions(1000));   // within the spacing no second run can start
    Stop();
    EXPECT_EQ(L"ran|" + m_folder.Path() + L"\r\n", ReadUtf8File(m_folder.File(L"task.txt")).substr(0, m_folder.Path().size() + 6));

    const std::vector<std::wstring> messages = m_log.Messages();
    const auto at = [&](const std::wstring& m) {
        return std::find(messages.begin(), messages.end(), m) - messages.begin();
    };
    EXPECT_LT(at(L"Checked 1 schedules; NextCheck=1, AppToRun=App"), at(L"Starting to sleep for 1 seconds."));
    EXPECT_LT(at(L"Starting to sleep for 1 seconds."), at(L"Starting Scan."));
    EXPECT_LT(at(L"Starting Scan."), at(L"Scan Finished."));
    EXPECT_LT(at(L"Scan Finished."), at(L"Task ran short; sleeping 1 seconds"));
    EXPECT_TRUE(m_log.Has(L"Service is exiting, shutting down worker thread"));
    EXPECT_FALSE(SchedulerStopping());
}

TEST_F(SchedulerLoopTest, RequestAtTheThresholdDoesNotRun)
{
    m_timings.RunNowThresholdSeconds = 1;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    // Two passes whose timer expired, and no run.
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Checked 1 schedules; NextCheck=1, AppToRun=App") >= 2; }, 20000));
    Stop();
    EXPECT_FALSE(m_log.Has(L"Starting Scan."));
    EXPECT_FALSE(FileExists(m_folder.File(L"task.txt")));
}

TEST_F(SchedulerLoopTest, StopDuringAWaitEndsTheLoopAtOnce)
{
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 10000));
    const ULONGLONG start = GetTickCount64();
    Stop();
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_TRUE(m_log.Has(L"Service is exiting, shutting down worker thread"));
    EXPECT_FALSE(SchedulerStopping());
}

TEST_F(SchedulerLoopTest, CheckEventSetDuringARunIsServedByThePassAfterIt)
{
    m_timings.SpacingMs = 0;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(L"--sleep 1500"), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting Scan.", 20000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    SetEvent(event.Get());
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Starting Scan.") >= 2; }, 20000));
    Stop();

    // After the first run: the pass that follows every run serves the request made during
    // it, and its wait lasts until the due time: the request is not served twice.
    std::vector<std::wstring> messages = m_log.Messages();
    auto it = std::find(messages.begin(), messages.end(), L"Scan Finished.");
    ASSERT_NE(messages.end(), it);
    std::vector<std::wstring> after;
    for (++it; it != messages.end() && *it != L"Starting Scan."; ++it) {
        if (it->find(L"AppName") != 0 && it->find(L"Got ExitCode") != 0)
            after.push_back(*it);
    }
    const std::vector<std::wstring> expected = {
        L"Checked 1 schedules; NextCheck=1, AppToRun=App", L"Starting to sleep for 1 seconds.",
        L"Finished Sleeping."};
    EXPECT_EQ(expected, after);
}

// A check event that someone made beforehand as a manual-reset event and left set: the
// worker resets it and keeps the passes a request causes apart, instead of passing without
// pause (every query program run again and again, two level-0 lines a pass).
TEST_F(SchedulerLoopTest, ManualResetCheckEventLeftSetDoesNotSpinTheWorker)
{
    m_timings.CheckRequestGapMs = 1000;
    // As a peer's service running as LocalSystem would leave it: owned by a trusted account.
    CSecurityAttributes security(L"O:BAD:(A;;GA;;;WD)");
    UniqueHandle squatted(CreateEventW(security.Get(), /*bManualReset=*/TRUE, /*bInitialState=*/TRUE,
                                       kScheduleCheckEventName));
    ASSERT_TRUE(squatted);
    Start();
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    ASSERT_TRUE(LogHas(pass, 10000));
    SetEvent(squatted.Get());
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= 2; }, 20000)) << "the request was served";
    Sleep(5000);
    // Set once, it asks for one pass: the worker resets it, so it does not ask again every
    // gap (and without the gap it would ask without pause).
    EXPECT_LE(m_log.Count(pass), 3) << "a request set once was served again and again";
    Stop();
}

// A request made while the worker is quiet starts a pass at once; a flood of them starts
// one pass a gap at most, and never keeps a main task from coming due.
TEST_F(SchedulerLoopTest, CheckRequestsAreServedAtOnceThenAtMostOneAGap)
{
    m_timings.CheckRequestGapMs = 1500;
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 10000));
    Sleep(2000);   // quiet for longer than the gap
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    const int before = m_log.Count(pass);
    SetEvent(event.Get());
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) > before; }, 2000));

    const int flooded = m_log.Count(pass);
    const ULONGLONG end = GetTickCount64() + 4500;
    while (GetTickCount64() < end) {
        SetEvent(event.Get());
        Sleep(50);
    }
    Sleep(300);
    EXPECT_LE(m_log.Count(pass) - flooded, 4) << "4.5 seconds of requests, 1.5 seconds apart";
    Stop();
}

TEST_F(SchedulerLoopTest, FloodOfCheckRequestsDoesNotHoldOffADueTask)
{
    m_timings.CheckRequestGapMs = 3000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 1 seconds.", 20000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    const ULONGLONG end = GetTickCount64() + 8000;
    while (GetTickCount64() < end && !m_log.Has(L"Starting Scan.")) {
        SetEvent(event.Get());
        Sleep(50);
    }
    EXPECT_TRUE(m_log.Has(L"Starting Scan.")) << "a task due in a second never ran under the flood";
    Stop();
}

// A pass that takes longer than the gap between the passes requests cause: the gap counts
// from its end, and the due timer is served before the requests, so neither a flood of
// requests nor a query program that sets the check event itself keeps a due task from
// running.
TEST_F(SchedulerLoopTest, SlowPassesUnderRequestsStillRunTheDueTask)
{
    m_timings.CheckRequestGapMs = 2000;
    const std::wstring slowQuery = TestChildCommand(L"--sleep 2500 --write App 1");
    RegisterApplication(L"App", slowQuery, Task(), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 1 seconds.", 20000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    const ULONGLONG end = GetTickCount64() + 40000;
    while (GetTickCount64() < end && !m_log.Has(L"Starting Scan.")) {
        SetEvent(event.Get());
        Sleep(50);
    }
    EXPECT_TRUE(m_log.Has(L"Starting Scan.")) << "a task due in a second never ran under the flood";
    Stop();

    const int before = m_log.Count(L"Starting Scan.");
    RegisterApplication(L"App", TestChildCommand(std::wstring(L"--signal ") + kScheduleCheckEventName +
                                                 L" --sleep 2500 --write App 1"),
                        Task(), m_folder.Path());
    Start();
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(L"Starting Scan.") > before; }, 40000))
        << "a query program that asks for a pass itself kept its own task from running";
    Stop();
}

// A resume from sleep or a new system time ends the wait at once for a pass that no pacing
// of check requests holds back.
TEST_F(SchedulerLoopTest, PassRequestsEndTheWaitAtOnceUnpaced)
{
    m_timings.CheckRequestGapMs = 600000;
    Start();
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 10000));
    // A check request's pass, so that the next request waits for the ten-minute gap.
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    SetEvent(event.Get());
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 2 && m_log.Count(L"Starting to sleep for 86400 seconds.") == 2; }, 20000));

    RequestPassNow(PassRequest::Resumed);
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 3; }, 20000));
    EXPECT_EQ(1, m_log.Count(L"Computer resumed; checking schedules"));
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Starting to sleep for 86400 seconds.") == 3; }, 20000));
    RequestPassNow(PassRequest::TimeChanged);
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 4; }, 20000));
    EXPECT_EQ(1, m_log.Count(L"System time changed; checking schedules"));
    Stop();

    const std::vector<std::wstring> messages = m_log.Messages();
    const auto resumed = std::find(messages.begin(), messages.end(), L"Computer resumed; checking schedules");
    ASSERT_NE(messages.end(), resumed);
    EXPECT_NE(messages.end(), std::find(resumed, messages.end(), pass)) << "no pass followed the resume";
}

// A check event made first by an owner the worker does not trust is not used: the worker
// says so, ignores its signals, and still leaves its wait at once on a stop.
TEST_F(SchedulerLoopTest, CheckEventOfAnotherOwnerIsNotUsed)
{
    UniqueHandle squatted = SquatAsUsers([](SECURITY_ATTRIBUTES* security) {
        return CreateEventW(security, TRUE, TRUE, kScheduleCheckEventName);
    });
    if (!squatted)
        GTEST_SKIP() << "this system keeps no owner of Users given to an event";
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 10000));
    EXPECT_TRUE(m_log.Has(L"Check event is held by another owner; check requests are ignored"));
    EXPECT_EQ(nullptr, ScheduleCheckEvent);
    Sleep(1000);
    EXPECT_EQ(1, m_log.Count(L"Checked 0 schedules; NextCheck=86400, AppToRun=")) << "its signal started a pass";
    const ULONGLONG start = GetTickCount64();
    Stop();
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

// The completion event tells peers that a main task ran: it is set after a task that ended
// by itself or at its limit, not after one that could not start, nor after one that the
// service's own stop ended.
TEST_F(SchedulerLoopTest, CompletionIsAnnouncedOnlyForATaskThatRan)
{
    m_timings.TaskLimitSeconds = 1;
    m_timings.SpacingMs = 0;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(L"--ignore-quit 60000"), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Killing App '" + Task(L"--ignore-quit 60000") + L"'", 20000));
    ASSERT_TRUE(LogHas(L"Scan Finished.", 5000));
    EXPECT_EQ(1, CountCompletions(500));   // killed at its limit: it ran
    Stop();

    const std::wstring missing = L"\"" + m_folder.File(L"no-such-task.exe") + L"\"";
    RegisterApplication(L"App", Query(L"App", L"1"), missing, m_folder.Path());
    const int finishedBefore = m_log.Count(L"Scan Finished.");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Scan Finished.") > finishedBefore; }, 20000));
    EXPECT_TRUE(m_log.Has(L"CreateProcess failed, error code = 2"));
    EXPECT_EQ(0, CountCompletions(500));   // it never started
    Stop();
}

TEST_F(SchedulerLoopTest, StopDuringARunEndsTheTaskWithoutACompletionOrSpacing)
{
    m_timings.SpacingMs = 60000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(L"--ignore-quit 60000"), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting Scan.", 20000));
    Sleep(300);
    const ULONGLONG start = GetTickCount64();
    Stop();
    EXPECT_LT(GetTickCount64() - start, 5000u);   // no minute of spacing first
    EXPECT_EQ(0, CountCompletions(300));

    EXPECT_TRUE(m_log.Has(L"Got ExitCode=1067 from App '" + Task(L"--ignore-quit 60000") + L"'"));
    EXPECT_TRUE(m_log.Has(L"Scan Finished."));
    EXPECT_EQ(0, m_log.Count(L"Task ran short; sleeping 59 seconds"));
    EXPECT_EQ(1, m_log.Count(L"Service is exiting, shutting down worker thread"));
}

// The spacing after a run ends at a stop, so the worker leaves at once and the process can
// end without waiting minutes for it.
TEST_F(SchedulerLoopTest, StopDuringTheSpacingEndsItAtOnce)
{
    m_timings.SpacingMs = 60000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    // The task's own start and end take the first second or more on a loaded machine.
    const auto sleeping = [&] {
        for (const std::wstring& message : m_log.Messages()) {
            const std::wstring prefix = L"Task ran short; sleeping 5";
            if (message.size() == prefix.size() + 9 && message.compare(0, prefix.size(), prefix) == 0 &&
                iswdigit(message[prefix.size()]) && message.compare(prefix.size() + 1, 8, L" seconds") == 0)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil(sleeping, 20000)) << m_log.Text();
    const ULONGLONG start = GetTickCount64();
    Stop();
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_EQ(1, m_log.Count(L"Service is exiting, shutting down worker thread"));
}

// A stop while one application's query program runs ends the pass there: the programs of
// the applications after it never start, and nothing waits or runs.
TEST_F(SchedulerLoopTest, StopDuringAPassStartsNoFurtherProgram)
{
    m_timings.QueryLimitSeconds = 60;
    const std::wstring ran = m_folder.File(L"queried.txt");
    RegisterApplication(L"A", TestChildCommand(L"--write A 1 --append \"" + ran + L"\" A --ignore-quit 60000"),
                        Task(), m_folder.Path());
    RegisterApplication(L"B", TestChildCommand(L"--append \"" + ran + L"\" B --write B 1"), Task(),
                        m_folder.Path());
    Start();
    ASSERT_TRUE(WaitUntil([&] { return FileExists(ran); }, 20000));
    Stop();
    Sleep(300);
    EXPECT_EQ(L"A|" + m_folder.Path() + L"\r\n", ReadUtf8File(ran));
    DWORD value = 12345;
    EXPECT_TRUE(ReadProductDword(L"A", L"ScheduleEnabled", value));
    EXPECT_EQ(0u, value);   // the interrupted query's answer is reset as always
    for (const std::wstring& message : m_log.Messages())
        EXPECT_NE(0u, message.find(L"AppName B")) << "B was visited: " << message.size();
    EXPECT_FALSE(m_log.Has(L"Starting to sleep for 1 seconds."));
    EXPECT_FALSE(FileExists(m_folder.File(L"task.txt")));
    EXPECT_EQ(1, m_log.Count(L"Service is exiting, shutting down worker thread"));
}

}  // namespace
