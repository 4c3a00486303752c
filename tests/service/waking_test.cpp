// Waking for a due time: the absolute due time the timer is armed with, the passes a resume
// or a new system time asks for through the control handler, and the late and missed runs
// the state and the Event Log tell of. Under a stand-in service of the product's name, so
// that the worker records its state; Wine never sleeps, so sleep and lateness come through
// the worker's clocks.
#include "log/event_log.h"
#include "schedule/child_process.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "service/service_control.h"
#include "support/clock.h"
#include "support/text_format.h"
#include "tests/common/event_recording.h"
#include "tests/common/log_capture.h"
#include "tests/common/piped_process.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/unix_side.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <thread>

namespace {

constexpr ULONGLONG kUnitsPerSecond = 10000000;

ULONGLONG UnitsOf(ULONGLONG unixSeconds)
{
    const FILETIME time = FileTimeFromUnixSeconds(unixSeconds);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The worker's clocks, moved on by the test: the wall clock jumps as after a sleep, and
// the sleep so far grows with it (or not).
std::atomic<ULONGLONG> ClockAhead{0};   // seconds
std::atomic<ULONGLONG> SleptAhead{0};   // seconds
ULONGLONG MovedTimeUnitsNow() { return SystemTimeUnitsNow() + ClockAhead * kUnitsPerSecond; }
ULONGLONG MovedSleptMs() { return ComputerSleptMs() + SleptAhead * 1000; }

// The file name of this process's executable, which powercfg names as a timer's owner.
std::wstring TestsExecutableName()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

class WakingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        ASSERT_TRUE(InstallStandInService());
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
        ClockAhead = 0;
        SleptAhead = 0;
        m_timings.StartDelayMs = 0;
        m_timings.QueryLimitSeconds = 5;
        m_timings.KillGraceMs = 200;
        m_timings.WaitBoundMs = 20000;
        m_timings.SpacingMs = 0;
        m_timings.TimeUnitsNow = &MovedTimeUnitsNow;
        m_timings.SleptMs = &MovedSleptMs;
        SetEventSink(&m_sink);
    }
    void TearDown() override
    {
        StopSchedulerLoop(m_worker);
        SetEventSink(nullptr);
        CloseScheduleCheckEvent();
        ClearSlots();
        RemoveServiceCompletely();
    }
    void Start() { m_worker = std::thread([this] { RunSchedulerLoop(m_timings); }); }
    std::wstring Answer(const std::wstring& app, const std::wstring& seconds, const std::wstring& before = L"")
    {
        return TestChildCommand(before + L"--write \"" + app + L"\" " + seconds);
    }
    bool LogHas(const std::wstring& message, DWORD timeoutMs)
    {
        return WaitUntil([&] { return m_log.Has(message); }, timeoutMs, 5);
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{2};
    ScratchDirectory m_folder;
    Timings m_timings;
    RecordingEventSink m_sink;
    std::thread m_worker;
};

// The timer is armed for the wall-clock time the answer falls due (the query's end plus the
// answer): a positive, absolute due time, in full although it lies beyond the wait's bound.
TEST_F(WakingTest, TheTimerIsArmedForTheAnswersWallClockTimeInFull)
{
    RegisterApplication(L"Later", Answer(L"Later", L"5000"), TestChildCommand(L""), m_folder.Path());
    const ULONGLONG before = SystemTimeUnitsNow();
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 5000 seconds.", 20000));
    const ULONGLONG after = SystemTimeUnitsNow();
    const ULONGLONG armed = LastArmedDueTime();
    StopSchedulerLoop(m_worker);

    const ApplicationState state = ReadApplicationState(L"Later");
    ASSERT_TRUE(state.Answered);
    EXPECT_GE(armed, before + 5000 * kUnitsPerSecond);
    EXPECT_LE(armed, after + 5000 * kUnitsPerSecond);
    // NextDue holds the same time in whole seconds.
    EXPECT_GE(armed, UnitsOf(state.NextDue));
    EXPECT_LT(armed, UnitsOf(state.NextDue) + kUnitsPerSecond);
    // Whether the computer took the wake flag is recorded at the arm.
    EXPECT_TRUE(ReadServiceState().WakeKnown);
}

// A resume and a time change reach the worker through the service's control handler and
// end its wait at once, though the pacing of check requests would hold a request back for
// ten minutes.
TEST_F(WakingTest, AResumeOrATimeChangeAtTheHandlerStartsAPassAtOnce)
{
    m_timings.CheckRequestGapMs = 600000;
    Start();
    const std::wstring pass = L"Checked 0 schedules; NextCheck=86400, AppToRun=";
    const std::wstring sleeping = L"Starting to sleep for 86400 seconds.";
    ASSERT_TRUE(LogHas(sleeping, 10000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    SetEvent(event.Get());   // the request's pass starts the gap
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(sleeping) == 2; }, 20000));

    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              ServiceCtrlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 3 && m_log.Count(sleeping) == 3; }, 20000));
    EXPECT_EQ(1, m_log.Count(L"Computer resumed; checking schedules"));

    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ServiceCtrlHandler(SERVICE_CONTROL_TIMECHANGE, 0, nullptr, nullptr));
    EXPECT_TRUE(WaitUntil([&] { return m_log.Count(pass) == 4; }, 20000));
    EXPECT_EQ(1, m_log.Count(L"System time changed; checking schedules"));
    StopSchedulerLoop(m_worker);

    const std::vector<std::wstring> messages = m_log.Messages();
    const auto resumed = std::find(messages.begin(), messages.end(), L"Computer resumed; checking schedules");
    ASSERT_NE(messages.end(), resumed);
    EXPECT_NE(messages.end(), std::find(resumed, messages.end(), pass)) << "no pass followed the resume";
}

// A run records the due time it was for and the sleep since the arm before it; one that
// starts late (two minutes, or what the test sets) is reported with its lateness and why: a
// sleep without a wake, or another application's task that ran past the due time.
TEST_F(WakingTest, ALateRunRecordsItsDueTimeAndTellsWhy)
{
    m_timings.SpacingMs = 60000;   // one run, read before another can start
    RegisterApplication(L"Sleeper", Answer(L"Sleeper", L"1"), TestChildCommand(L""), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 1 seconds.", 20000));
    // The computer sleeps three hours within the wait and is not woken on time.
    SleptAhead = 3 * 3600;
    ClockAhead = 3 * 3600;
    ASSERT_TRUE(WaitUntil([] { return ReadApplicationState(L"Sleeper").RunEnded; }, 20000));
    StopSchedulerLoop(m_worker);

    const ApplicationState slept = ReadApplicationState(L"Sleeper");
    EXPECT_NE(0u, slept.LastRunDue);
    EXPECT_GE(slept.LastRunStart, slept.LastRunDue + 3 * 3600);
    EXPECT_LT(slept.LastRunStart, slept.LastRunDue + 3 * 3600 + 60);
    EXPECT_EQ(3u * 3600u, slept.LastRunSlept);
    const std::vector<RecordedEvent> late = m_sink.EventsWithId(1104);
    ASSERT_EQ(1u, late.size());
    ASSERT_EQ(4u, late[0].Inserts.size());
    EXPECT_EQ(L"Sleeper", late[0].Inserts[0]);
    EXPECT_EQ(FormatLocalDateTime(FileTimeFromUnixSeconds(slept.LastRunDue)), late[0].Inserts[1]);
    EXPECT_EQ(FormatDuration(slept.LastRunStart - slept.LastRunDue), late[0].Inserts[2]);
    EXPECT_EQ(L"the computer slept 3 h and was not woken", late[0].Inserts[3]);

    // First's task runs past Second's due time: Second's run is for the due time it
    // missed, not for its next answer. Late here by a few seconds, so reported from 2 s on.
    RegisterApplication(L"Sleeper", L"", L"", m_folder.Path());
    RegisterApplication(L"First", Answer(L"First", L"1"), TestChildCommand(L"--sleep 4000"), m_folder.Path());
    RegisterApplication(L"Second", Answer(L"Second", L"2"), TestChildCommand(L""), m_folder.Path());
    ClockAhead = 0;
    SleptAhead = 0;
    m_timings.SpacingMs = 0;
    m_timings.LateRunSeconds = 2;
    Start();
    ASSERT_TRUE(WaitUntil([] { return ReadApplicationState(L"First").Running; }, 20000));
    const ULONGLONG secondDue = ReadApplicationState(L"Second").NextDue;
    // First answers for later from now on, so that the next pass runs Second.
    RegisterApplication(L"First", Answer(L"First", L"5000"), TestChildCommand(L""), m_folder.Path());
    ASSERT_TRUE(WaitUntil([] { return ReadApplicationState(L"Second").RunEnded; }, 30000)) << m_log.Text();
    StopSchedulerLoop(m_worker);
    const ApplicationState second = ReadApplicationState(L"Second");
    EXPECT_EQ(secondDue, second.LastRunDue);
    EXPECT_EQ(0u, second.LastRunSlept);
    const std::vector<RecordedEvent> held = m_sink.EventsWithId(1104);
    ASSERT_EQ(2u, held.size());
    EXPECT_EQ(L"Second", held[1].Inserts[0]);
    EXPECT_EQ(L"the main task of the application First ran until then", held[1].Inserts[3]);
    EXPECT_TRUE(m_log.Has(L"AppName Second was due " + held[1].Inserts[2] +
                          L" ago: the main task of the application First ran until then"));
}

// A due time that passed before the service started, with no run since (the computer was
// off, the service stopped), is counted and reported once; what runs now is the
// application's answer.
TEST_F(WakingTest, ARunMissedWhileTheServiceWasNotRunningIsCountedOnce)
{
    const ULONGLONG now = UnixSecondsNow();
    CStateRecorder recorder;
    recorder.RecordQuery(L"Missed", now - 7200, 0, 3600);   // due an hour ago
    ASSERT_EQ(now - 3600, ReadApplicationState(L"Missed").NextDue);
    RegisterApplication(L"Missed", Answer(L"Missed", L"600"), TestChildCommand(L""), m_folder.Path());
    Start();
    const std::wstring sleeping = L"Starting to sleep for 600 seconds.";
    ASSERT_TRUE(LogHas(sleeping, 20000));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    ASSERT_TRUE(event);
    SetEvent(event.Get());
    ASSERT_TRUE(WaitUntil([&] { return m_log.Count(sleeping) == 2; }, 20000));
    StopSchedulerLoop(m_worker);

    const ApplicationState missed = ReadApplicationState(L"Missed");
    EXPECT_EQ(1u, missed.MissedRuns);
    EXPECT_EQ(now - 3600, missed.LastMissedDue);
    EXPECT_FALSE(missed.RunRecorded);
    const std::vector<RecordedEvent> reported = m_sink.EventsWithId(1105);
    ASSERT_EQ(1u, reported.size());
    EXPECT_EQ(L"Missed", reported[0].Inserts[0]);
    EXPECT_EQ(FormatLocalDateTime(FileTimeFromUnixSeconds(now - 3600)), reported[0].Inserts[1]);
    EXPECT_EQ(1, m_log.Count(L"AppName Missed was due while the service was not running; its run was missed"));
    EXPECT_TRUE(m_sink.EventsWithId(1104).empty()) << "a missed run is no late run";
    const ProductRun status = RunProductPiped(L"-s");
    EXPECT_NE(std::wstring::npos, status.Output.find(L"; missed 1 run, due ")) << status.Output;
}

// On a Windows computer (the test kit, elevated): the armed timer is one that wakes the
// computer, listed by powercfg with the process that set it and its due time.
TEST_F(WakingTest, PowercfgListsTheArmedWakeTimer)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine keeps no wake timers and has no powercfg";
    RegisterApplication(L"Later", Answer(L"Later", L"3600"), TestChildCommand(L""), m_folder.Path());
    Start();
    ASSERT_TRUE(LogHas(L"Starting to sleep for 3600 seconds.", 20000));
    if (!ReadServiceState().WakeSupported)
        GTEST_SKIP() << "this computer does not accept timers that wake it";
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    PipedProcess powercfg(L"\"" + std::wstring(system) + L"\\powercfg.exe\" /waketimers");
    ASSERT_EQ(0u, powercfg.WaitForExit(60000)) << powercfg.Output() << powercfg.Errors();
    StopSchedulerLoop(m_worker);

    std::wstring listed = powercfg.Output();
    std::wstring self = TestsExecutableName();
    for (std::wstring* text : {&listed, &self})
        for (wchar_t& c : *text)
            c = static_cast<wchar_t>(towlower(c));
    EXPECT_NE(std::wstring::npos, listed.find(self)) << powercfg.Output();
    // The due time's minutes and seconds, which every time format shows alike.
    SYSTEMTIME utc = {};
    SYSTEMTIME local = {};
    const ULONGLONG due = LastArmedDueTime();
    const FILETIME dueTime = {static_cast<DWORD>(due), static_cast<DWORD>(due >> 32)};
    ASSERT_TRUE(FileTimeToSystemTime(&dueTime, &utc));
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
    wchar_t minuteAndSecond[16];
    _snwprintf(minuteAndSecond, 15, L":%02u:%02u", static_cast<unsigned>(local.wMinute),
               static_cast<unsigned>(local.wSecond));
    minuteAndSecond[15] = L'\0';
    EXPECT_NE(std::wstring::npos, listed.find(minuteAndSecond)) << powercfg.Output();
}

}  // namespace
