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
        // Far beyond the waits that end at their due time or at a signal: one that ran to
        // its bound instead lasts seconds longer than any load can make those last.
        m_timings.WaitBoundMs = 10000;
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
    EXPECT_LT(took, m_timings.WaitBoundMs) << "the wait ran to its bound: the due time did not end it";
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

    // A signal that came while nobody waited ends the next wait at once: before its due
    // time, which would run the task (1), and before its bound.
    m_timings.WaitBoundMs = 10000;
    SetEvent(ScheduleCheckEvent);
    EXPECT_EQ(0, TimedWait(1, took));
    EXPECT_LT(took, m_timings.WaitBoundMs) << "the wait ran to its bound: the signal did not end it";
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
    EXPECT_EQ(0, TimedWait(30, took));   // the bound came first: check again
    EXPECT_TRUE(bound.Fired()) << "the wait ended before its bound";
    EXPECT_LT(took, m_timings.WaitBoundMs + kLoadMarginMs) << "the wait ran on past its bound toward the due time";
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
    m_timings.WaitBoundMs = 1500;   // some seventy re-arms of the squatter's timer
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
        // A minute: a stop that a wait missed would end only at its bound.
        m_timings.WaitBoundMs = 60000;
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
        // A worker opens the check event anew each life and never closes it: a test that
        // starts a second life closes the first one's, which would otherwise stay open for
        // the rest of the process and let no later test make the event first.
        CloseScheduleCheckEvent();
        m_worker = std::thread([this] { RunSchedulerLoop(m_timings); });
    }
    // What the stop handler does to the worker: the flag, the event, the child.
    void Stop()
    {
        StopSchedulerLoop(m_worker);
    }
    // Stops the worker and returns how many milliseconds that took.
    ULONGLONG TimedStop()
    {
        return MillisecondsTaken([this] { Stop(); });
    }
    // The longest a stop may take: the child's grace and termination, and the load's margin.
    // A stop that a wait, the spacing or a child missed would take a minute (the wait's
    // bound, the spacing, the child's own end).
    DWORD StopBoundMs() const { return LongestSlotStopMs(1, m_timings.KillGraceMs) + kLoadMarginMs; }
    // The message that begins the spacing after a run of the tests' minute of spacing
    // ("Task ran short; sleeping 5x seconds"); empty while there is none. The task's own
    // start and end take the first second or more on a loaded machine.
    std::wstring MinuteSpacingMessage() const
    {
        const std::wstring prefix = L"Task ran short; sleeping 5";
        for (const std::wstring& message : m_log.Messages()) {
            if (message.size() == prefix.size() + 9 && message.compare(0, prefix.size(), prefix) == 0 &&
                iswdigit(message[prefix.size()]) && message.compare(prefix.size() + 1, 8, L" seconds") == 0)
                return message;
        }
        return std::wstring();
    }
    // How many messages before the first that equals message are passes (pass).
    int PassesBefore(const std::wstring& message, const std::wstring& pass) const
    {
        const std::vector<std::wstring> messages = m_log.Messages();
        const auto end = std::find(messages.begin(), messages.end(), message);
        return static_cast<int>(std::count(messages.begin(), end, pass));
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
    // Whether the completion event has been set since it was last taken, and takes it.
    bool Announced() { return WaitForSingleObject(m_completed.Get(), 0) == WAIT_OBJECT_0; }

    ProductKeyReset m_reset;
    CapturedLog m_log{2};
    ScratchDirectory m_folder;
    Timings m_timings;
    UniqueHandle m_completed;
    std::thread m_worker;
};

// A due task runs in its directory, its end is announced, and the spacing follows; a stop
// during the spacing ends it at once, so the worker leaves and the process can end without
// waiting minutes for it.
TEST_F(SchedulerLoopTest, DueTaskRunsInItsDirectoryAndAStopEndsTheSpacingAfterIt)
{
    m_timings.SpacingMs = 60000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    ASSERT_TRUE(WaitUntil([&] { return !MinuteSpacingMessage().empty(); }, 20000)) << m_log.Text();
    const std::wstring spacing = MinuteSpacingMessage();
    EXPECT_LT(TimedStop(), StopBoundMs());
    EXPECT_EQ(L"ran|" + m_folder.Path() + L"\r\n", ReadUtf8File(m_folder.File(L"task.txt")).substr(0, m_folder.Path().size() + 6));
    // Set before the spacing began; the worker has been joined, and no second run came.
    EXPECT_TRUE(Announced()) << "the run's end was not announced";

    const std::vector<std::wstring> messages = m_log.Messages();
    const auto at = [&](const std::wstring& m) {
        return std::find(messages.begin(), messages.end(), m) - messages.begin();
    };
    EXPECT_LT(at(L"Checked 1 schedules; NextCheck=1, AppToRun=App"), at(L"Starting to sleep for 1 seconds."));
    EXPECT_LT(at(L"Starting to sleep for 1 seconds."), at(L"Starting Scan."));
    EXPECT_LT(at(L"Starting Scan."), at(L"Scan Finished."));
    EXPECT_LT(at(L"Scan Finished."), at(spacing));
    EXPECT_LT(at(spacing), at(L"Service is exiting, shutting down worker thread"));
    EXPECT_EQ(1, m_log.Count(L"Service is exiting, shutting down worker thread"));
    EXPECT_FALSE(SchedulerStopping());
}

// A product key that cannot be opened (here: there is none) is logged at level 0 once in
// each pass, however many times the pass opens it.
TEST_F(SchedulerLoopTest, AProductKeyThatCannotBeOpenedIsLoggedOncePerPass)
{
    const std::wstring failed = L"RegOpenKeyEx(SOFTWARE\\Varnholt) failed, error code = 2";
    const std::wstring waiting = L"Starting to sleep for 86400 seconds.";
    m_timings.CheckRequestGapMs = 0;
    ASSERT_TRUE(DeleteProductKey());
    Start();
    ASSERT_TRUE(LogHas(waiting, 20000)) << m_log.Text();
    EXPECT_EQ(1, m_log.Count(failed)) << m_log.Text();
    // A second pass, asked for through the check event.
    const UniqueHandle check(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(check);
    SetEvent(check.Get());
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(waiting) == 2; }, 20000)) << m_log.Text();
    Stop();
    EXPECT_EQ(2, m_log.Count(failed)) << m_log.Text();
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
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 20000));
    EXPECT_LT(TimedStop(), StopBoundMs());
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
    ASSERT_TRUE(LogHas(pass, 20000));
    SetEvent(squatted.Get());
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= 2; }, 20000)) << "the request was served";
    // Set once, it asks for one pass: the worker resets it as it takes the request and as
    // the pass begins, so it does not ask again every gap (and without the gap it would ask
    // without pause). The pass's line comes after both.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(squatted.Get(), 0))
        << "the request was left set: it would be served again and again";
    Stop();
}

// A request made while the worker is quiet starts a pass at once; one made within the gap
// after that pass waits for the gap's end, and a flood of them starts one pass a gap at most.
// A resume from sleep or a new system time ends the wait at once for a pass that no pacing
// of check requests holds back.
TEST_F(SchedulerLoopTest, CheckRequestsArePacedAndPassRequestsAreNot)
{
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    const std::wstring waiting = L"Starting to sleep for 86400 seconds.";
    {
        SCOPED_TRACE("a gap of ten minutes");
        m_timings.CheckRequestGapMs = 600000;
        Start();
        ASSERT_TRUE(LogHas(waiting, 20000));
        UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
        ASSERT_TRUE(event);
        // The first request goes at once: one that waited for the gap would wait ten minutes.
        SetEvent(event.Get());
        ASSERT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 2 && m_log.Count(waiting) == 2; }, 20000));

        // The next one, within the gap, is kept; a resume that follows it is not, and its
        // pass is the next: a request served at once would have had its own pass first.
        SetEvent(event.Get());
        RequestPassNow(PassRequest::Resumed);
        EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= 3; }, 20000));
        EXPECT_EQ(1, m_log.Count(L"Computer resumed; checking schedules"));
        ASSERT_TRUE(WaitUntil([&] { return m_log.Count(waiting) >= 3; }, 20000));
        RequestPassNow(PassRequest::TimeChanged);
        EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= 4; }, 20000));
        EXPECT_EQ(1, m_log.Count(L"System time changed; checking schedules"));
        Stop();

        EXPECT_EQ(2, PassesBefore(L"Computer resumed; checking schedules", pass))
            << "a request made within the gap started a pass";
        const std::vector<std::wstring> messages = m_log.Messages();
        const auto resumed = std::find(messages.begin(), messages.end(), L"Computer resumed; checking schedules");
        ASSERT_NE(messages.end(), resumed);
        EXPECT_NE(messages.end(), std::find(resumed, messages.end(), pass)) << "no pass followed the resume";
    }
    {
        SCOPED_TRACE("a flood of requests, one second apart");
        m_timings.CheckRequestGapMs = 1000;
        const int waitsBefore = m_log.Count(waiting);
        Start();
        ASSERT_TRUE(WaitUntil([&] { return m_log.Count(waiting) > waitsBefore; }, 20000));
        UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
        ASSERT_TRUE(event);
        const int flooded = m_log.Count(pass);
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < 3000) {
            SetEvent(event.Get());
            Sleep(50);
        }
        // The first at once, then one a gap, however long the flood lasted on this machine.
        const int passes = m_log.Count(pass) - flooded;
        const ULONGLONG lasted = GetTickCount64() - start;
        EXPECT_LE(passes, static_cast<int>(1 + lasted / m_timings.CheckRequestGapMs))
            << passes << " passes in " << lasted << " ms of requests";
        Stop();
    }
}

TEST_F(SchedulerLoopTest, FloodOfCheckRequestsDoesNotHoldOffADueTask)
{
    m_timings.CheckRequestGapMs = 3000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 1 seconds.", 20000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    const ULONGLONG end = GetTickCount64() + 30000;
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
    ASSERT_TRUE(LogHas(L"Starting to sleep for 86400 seconds.", 20000));
    EXPECT_TRUE(m_log.Has(L"Check event is held by another owner; check requests are ignored"));
    EXPECT_EQ(nullptr, ScheduleCheckEvent);
    // Signalled while the worker waits, it ends no wait: the resume that follows the signal
    // does, and its pass is the second.
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    SetEvent(squatted.Get());
    RequestPassNow(PassRequest::Resumed);
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= 2; }, 20000));
    EXPECT_EQ(1, PassesBefore(L"Computer resumed; checking schedules", pass)) << "its signal started a pass";
    EXPECT_LT(TimedStop(), StopBoundMs());
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
    // Killed at its limit: it ran.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_completed.Get(), 20000)) << "the run's end was not announced";
    Stop();

    const std::wstring missing = L"\"" + m_folder.File(L"no-such-task.exe") + L"\"";
    RegisterApplication(L"App", Query(L"App", L"1"), missing, m_folder.Path());
    ResetEvent(m_completed.Get());   // what a second run of the first task may have set
    const std::wstring pass = L"Checked 1 schedules; NextCheck=1, AppToRun=App";
    const int passesBefore = m_log.Count(pass);
    const int finishedBefore = m_log.Count(L"Scan Finished.");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(L"Scan Finished.") > finishedBefore; }, 20000));
    EXPECT_TRUE(m_log.Has(L"CreateProcess failed, error code = 2"));
    // It never started. Without spacing the next pass follows the run's end, and an
    // announcement would have come between the two.
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(pass) >= passesBefore + 2; }, 20000));
    EXPECT_FALSE(Announced()) << "a task that never started was announced";
    Stop();
}

TEST_F(SchedulerLoopTest, StopDuringARunEndsTheTaskWithoutACompletionOrSpacing)
{
    m_timings.SpacingMs = 60000;
    RegisterApplication(L"App", Query(L"App", L"1"), Task(L"--ignore-quit 60000"), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting Scan.", 20000));
    // The task is in its slot, where the stop finds it.
    ASSERT_TRUE(WaitUntil([] { return SlotNow(GlobalSlot::Scan).hProcess != nullptr; }, 20000));
    // Neither the task's own minute nor a minute of spacing first.
    EXPECT_LT(TimedStop(), StopBoundMs());
    EXPECT_FALSE(Announced()) << "the stop's end of the task was announced";   // the worker has been joined

    EXPECT_TRUE(m_log.Has(L"Got ExitCode=1067 from App '" + Task(L"--ignore-quit 60000") + L"'"));
    EXPECT_TRUE(m_log.Has(L"Scan Finished."));
    EXPECT_EQ(0, m_log.Count(L"Task ran short; sleeping 59 seconds"));
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
    // The worker has been joined: a program it had started for B has run to its end.
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
