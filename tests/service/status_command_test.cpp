// The recorded state as the worker writes it, and the status command that reads it, under a
// stand-in service of the product's name (the test child as a service).
#include "log/event_log.h"
#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/scheduler_lock.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "service/log_file_watch.h"
#include "service/service_control.h"
#include "service/status_command.h"
#include "service/status_text.h"
#include "support/console_text.h"
#include "support/power_settings.h"
#include "support/unique_resource.h"
#include "tests/common/event_recording.h"
#include "tests/common/files.h"
#include "tests/common/json_reader.h"
#include "tests/common/log_capture.h"
#include "tests/common/piped_process.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/text.h"
#include "tests/common/unix_side.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

bool StateKeyExists() { return RegistryKeyExists(HKEY_LOCAL_MACHINE, kStateKeyPath); }

// Expects a recorded time to lie within a few seconds of the clock.
void ExpectRecent(ULONGLONG time, const char* what)
{
    const ULONGLONG now = UnixSecondsNow();
    EXPECT_LE(time, now + 2) << what;
    EXPECT_GE(time + 30, now) << what;
}

// The status command's JSON, read by a strict reader; a Missing value when it is no JSON.
JsonValue StatusJsonOf(const ProductRun& run)
{
    JsonValue read;
    std::wstring error;
    EXPECT_TRUE(ParseJson(run.Output, read, error)) << error << L"\n" << run.Output;
    EXPECT_TRUE(run.Errors.empty()) << run.Errors;
    EXPECT_TRUE(read[L"ExitCode"].IsInteger) << run.Output;
    EXPECT_EQ(run.ExitCode, read[L"ExitCode"].Integer);
    return read;
}

// An ISO 8601 UTC time of the JSON in UTC seconds since 1970; null as 0; anything else as ~0.
ULONGLONG SecondsOf(const JsonValue& time)
{
    if (time.IsNull())
        return 0;
    SYSTEMTIME utc = {};
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    wchar_t zone = 0;
    if (time.Kind != JsonValue::Type::String || time.String.size() != 20 ||
        swscanf(time.String.c_str(), L"%4u-%2u-%2uT%2u:%2u:%2u%lc", &year, &month, &day, &hour, &minute,
                &second, &zone) != 7 || zone != L'Z')
        return ~0ull;
    utc.wYear = static_cast<WORD>(year);
    utc.wMonth = static_cast<WORD>(month);
    utc.wDay = static_cast<WORD>(day);
    utc.wHour = static_cast<WORD>(hour);
    utc.wMinute = static_cast<WORD>(minute);
    utc.wSecond = static_cast<WORD>(second);
    FILETIME file = {};
    if (!SystemTimeToFileTime(&utc, &file))
        return ~0ull;
    return UnixSecondsFromFileTime(file);
}

// A number of the JSON, or null as ~0.
ULONGLONG NumberOf(const JsonValue& value)
{
    return value.IsInteger ? value.Integer : ~0ull;
}

// One application of the JSON against what State holds of it.
void ExpectApplicationAsRecorded(const JsonValue& app, bool serviceRunning)
{
    const std::wstring name = app[L"Name"].String;
    SCOPED_TRACE(name);
    const ApplicationState state = ReadApplicationState(name);
    EXPECT_EQ(state.Answered && state.LastAnswer != 0 ? state.NextDue : 0, SecondsOf(app[L"NextDue"]));
    EXPECT_EQ(state.Answered ? state.LastAnswer : ~0ull, NumberOf(app[L"LastAnswer"]));
    EXPECT_EQ(state.Queried ? state.LastQueryTime : 0, SecondsOf(app[L"LastQueryTime"]));
    EXPECT_EQ(state.Queried ? state.LastQueryExitCode : ~0ull, NumberOf(app[L"LastQueryExitCode"]));
    EXPECT_EQ(state.LastRunDue, SecondsOf(app[L"LastRunDue"]));
    EXPECT_EQ(state.RunRecorded ? state.LastRunStart : 0, SecondsOf(app[L"LastRunStart"]));
    EXPECT_EQ(state.RunEnded ? state.LastRunEnd : 0, SecondsOf(app[L"LastRunEnd"]));
    EXPECT_EQ(static_cast<DWORD>(state.LastRunOutcome), NumberOf(app[L"LastRunOutcome"]));
    EXPECT_EQ(state.LastRunOutcome == RunEnding::EndedByItself ? state.LastRunExitCode : ~0ull,
              NumberOf(app[L"LastRunExitCode"]));
    EXPECT_EQ(state.LastRunOutcome == RunEnding::NotStarted ? state.LastRunError : ~0ull,
              NumberOf(app[L"LastRunError"]));
    EXPECT_EQ(state.Running && serviceRunning, app[L"Running"].Boolean);
    EXPECT_EQ(JsonValue::Type::Boolean, app[L"Running"].Kind);
    EXPECT_EQ(state.LastRunSlept, NumberOf(app[L"LastRunSlept"]));
    EXPECT_EQ(state.MissedRuns, NumberOf(app[L"MissedRuns"]));
    EXPECT_EQ(state.LastMissedDue, SecondsOf(app[L"LastMissedDue"]));
    EXPECT_EQ(JsonValue::Type::String, app[L"LastRunOutcomeName"].Kind);
}

// The codes of the JSON's warnings, each with its application ("code:application").
std::vector<std::wstring> WarningCodes(const JsonValue& status)
{
    std::vector<std::wstring> codes;
    for (const JsonValue& warning : status[L"Warnings"].Elements) {
        EXPECT_FALSE(warning[L"Text"].String.empty());
        codes.push_back(warning[L"Code"].String + L":" + warning[L"Application"].String);
    }
    return codes;
}

bool Holds(const std::vector<std::wstring>& texts, const std::wstring& text)
{
    for (const std::wstring& each : texts) {
        if (each == text)
            return true;
    }
    return false;
}

// The process of the installed service, 0 when it does not run.
DWORD ServiceProcess()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS)
                                        : nullptr);
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
        return 0;
    return status.dwProcessId;
}

class RecordedStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        ASSERT_TRUE(InstallStandInService());
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
        m_timings.StartDelayMs = 0;
        m_timings.QueryLimitSeconds = 5;
        m_timings.KillGraceMs = 200;
        m_timings.WaitBoundMs = 20000;
        m_timings.SpacingMs = 60000;
    }
    void TearDown() override
    {
        SetPassSummaryCounter(nullptr);
        Stop();
        CloseScheduleCheckEvent();
        ClearSlots();
        RemoveServiceCompletely();
    }
    void Start() { m_worker = std::thread([this] { RunSchedulerLoop(m_timings); }); }
    void Stop() { StopSchedulerLoop(m_worker); }
    bool StartService() { return StartTheService() == ERROR_SUCCESS && WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 20000); }
    std::wstring Answer(const std::wstring& app, const std::wstring& seconds)
    {
        return TestChildCommand(L"--write \"" + app + L"\" " + seconds);
    }
    // Runs the loop until the application's run has ended, then stops it.
    ApplicationState RunOnce(const std::wstring& app)
    {
        Start();
        EXPECT_TRUE(WaitUntil([&] { return ReadApplicationState(app).RunEnded; }, 30000));
        Stop();
        return ReadApplicationState(app);
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{2};
    ScratchDirectory m_folder;
    Timings m_timings;
    std::thread m_worker;
};

TEST_F(RecordedStateTest, APassAndARunAreRecordedAndTheStatusShowsThem)
{
    RegisterApplication(L"Answers", Answer(L"Answers", L"600"), TestChildCommand(L""), m_folder.Path());
    RegisterApplication(L"Fails", TestChildCommand(L"--exit 3"), TestChildCommand(L""), m_folder.Path());
    RegisterApplication(L"Broken", Answer(L"Broken", L"1"), L"", m_folder.Path());
    RegisterApplication(L"Runs", Answer(L"Runs", L"1"), TestChildCommand(L"--exit 5"), m_folder.Path());
    const ApplicationState runs = RunOnce(L"Runs");

    EXPECT_EQ(RunEnding::EndedByItself, runs.LastRunOutcome);
    EXPECT_EQ(5u, runs.LastRunExitCode);
    EXPECT_FALSE(runs.Running);
    ExpectRecent(runs.LastRunStart, "LastRunStart");
    EXPECT_LE(runs.LastRunStart, runs.LastRunEnd);
    EXPECT_EQ(1u, runs.LastAnswer);

    const RecordedServiceState state = ReadServiceState();
    ASSERT_TRUE(state.Present);
    ExpectRecent(state.LastPassStart, "LastPassStart");
    EXPECT_LE(state.LastPassStart, state.LastPassEnd);
    EXPECT_EQ(3u, state.ApplicationsChecked);   // Broken is not queried
    EXPECT_EQ(L"Runs", state.AppToRun);
    EXPECT_EQ(state.LastPassEnd + 1, state.NextPass);

    const ApplicationState answers = ReadApplicationState(L"Answers");
    EXPECT_TRUE(answers.Queried);
    EXPECT_EQ(0u, answers.LastQueryExitCode);
    EXPECT_EQ(600u, answers.LastAnswer);
    EXPECT_EQ(answers.LastQueryTime + 600, answers.NextDue);
    ExpectRecent(answers.LastQueryTime, "LastQueryTime");
    EXPECT_FALSE(answers.RunRecorded);
    const ApplicationState fails = ReadApplicationState(L"Fails");
    EXPECT_EQ(3u, fails.LastQueryExitCode);
    EXPECT_FALSE(fails.Answered);
    EXPECT_FALSE(ReadApplicationState(L"Broken").Queried);

    ASSERT_TRUE(StartService());
    const ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Varnholt Scheduling: running, manual start")) << status.Output;
    for (const wchar_t* row : {L"  Answers  ", L"  Fails  ", L"  Broken  ", L"  Runs  "})
        EXPECT_NE(std::wstring::npos, status.Output.find(row)) << row;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"exit code 5 after "));
    EXPECT_NE(std::wstring::npos, status.Output.find(L"never; query program exit code 3"));
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Warning: Broken has no Scanner value"));
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Push script: none configured"));
    EXPECT_TRUE(status.Errors.empty()) << status.Errors;
    // The pass after the run comes at the end of the spacing, four minutes from the run's start.
    StatusClock clock;
    clock.Now = UnixSecondsNow();
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"; next pass " + FormatMoment(runs.LastRunStart + 240, clock) + L" (in "))
        << status.Output;

    const ProductRun json = RunProductPiped(L"-s --json");
    EXPECT_EQ(1u, json.ExitCode) << json.Output;
    const JsonValue shown = StatusJsonOf(json);
    EXPECT_TRUE(shown[L"Service"][L"Installed"].Boolean);
    EXPECT_EQ(L"running", shown[L"Service"][L"State"].String);
    EXPECT_EQ(L"manual", shown[L"Service"][L"StartType"].String);
    EXPECT_EQ(ServiceProcess(), NumberOf(shown[L"Service"][L"ProcessId"]));
    EXPECT_TRUE(shown[L"Service"][L"Start"].IsNull());   // the stand-in records no start
    EXPECT_EQ(state.LastPassStart, SecondsOf(shown[L"LastPassStart"]));
    EXPECT_EQ(state.LastPassEnd, SecondsOf(shown[L"LastPassEnd"]));
    EXPECT_EQ(3u, NumberOf(shown[L"ApplicationsChecked"]));
    EXPECT_EQ(runs.LastRunStart + 240, SecondsOf(shown[L"NextPass"]));
    EXPECT_TRUE(shown[L"NextRunOf"].IsNull());
    ASSERT_EQ(4u, shown[L"Applications"].Elements.size()) << json.Output;
    std::vector<std::wstring> names;
    for (const JsonValue& app : shown[L"Applications"].Elements) {
        names.push_back(app[L"Name"].String);
        ExpectApplicationAsRecorded(app, true);
    }
    for (const wchar_t* name : {L"Answers", L"Fails", L"Broken", L"Runs"})
        EXPECT_TRUE(Holds(names, name)) << name;
    const std::vector<std::wstring> codes = WarningCodes(shown);
    EXPECT_TRUE(Holds(codes, L"registration-missing-value:Broken")) << json.Output;
    EXPECT_EQ(L"free", shown[L"SchedulerLock"].String);
    EXPECT_TRUE(shown[L"PushScript"][L"Command"].IsNull());
    EXPECT_FALSE(shown[L"PushScript"][L"Running"].Boolean);
    EXPECT_EQ(JsonValue::Type::String, shown[L"Waking"][L"Mains"].Kind);
    if (state.WakeKnown)
        EXPECT_EQ(state.WakeSupported, shown[L"Waking"][L"WakeSupported"].Boolean);
    else
        EXPECT_TRUE(shown[L"Waking"][L"WakeSupported"].IsNull());
    EXPECT_EQ(state.LogFileError, NumberOf(shown[L"Log"][L"LogFileError"]));
    EXPECT_EQ(JsonValue::Type::String, shown[L"Log"][L"File"].Kind);
}

TEST_F(RecordedStateTest, EachEndingOfARunIsRecorded)
{
    // At its limit; running while it runs.
    m_timings.TaskLimitSeconds = 1;
    const std::wstring stubborn = TestChildCommand(L"--ignore-quit 60000");
    RegisterApplication(L"App", Answer(L"App", L"1"), stubborn, m_folder.Path());
    Start();
    EXPECT_TRUE(WaitUntil([] { return ReadApplicationState(L"App").Running; }, 30000));
    EXPECT_TRUE(WaitUntil([] { return ReadApplicationState(L"App").RunEnded; }, 30000));
    Stop();
    ApplicationState app = ReadApplicationState(L"App");
    EXPECT_EQ(RunEnding::AtLimit, app.LastRunOutcome);
    EXPECT_FALSE(app.Running);

    // Ended by a stop.
    m_timings.TaskLimitSeconds = 60;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
    Start();
    ASSERT_TRUE(WaitUntil([] { return ReadApplicationState(L"App").Running; }, 30000));
    Stop();
    app = ReadApplicationState(L"App");
    EXPECT_EQ(RunEnding::ByStop, app.LastRunOutcome);
    EXPECT_FALSE(app.Running);

    // Could not start: the system's reason is kept and shown.
    RegisterApplication(L"App", Answer(L"App", L"1"), L"\"" + m_folder.File(L"gone.exe") + L"\"", m_folder.Path());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
    app = RunOnce(L"App");
    EXPECT_EQ(RunEnding::NotStarted, app.LastRunOutcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), app.LastRunError);
    ASSERT_TRUE(StartService());
    const ProductRun shown = RunProductPiped(L"-s");
    EXPECT_EQ(1u, shown.ExitCode);
    EXPECT_NE(std::wstring::npos, shown.Output.find(L"could not start: " + SystemMessage(ERROR_FILE_NOT_FOUND)))
        << shown.Output;
    EXPECT_NE(std::wstring::npos, shown.Output.find(L"(" + m_folder.File(L"gone.exe") + L") does not exist."));
}

// A service that died while a task ran left its flag set: the next start clears every
// application's flag and keeps the rest of what each one recorded.
TEST_F(RecordedStateTest, AServiceStartClearsEveryRunningFlagAndKeepsTheRest)
{
    CStateRecorder recorder;
    const ULONGLONG started = UnixSecondsNow() - 60;
    recorder.RecordRunStart(L"First", started);
    recorder.RecordRunStart(L"Second", started);
    ASSERT_TRUE(ReadApplicationState(L"First").Running);
    ASSERT_TRUE(ReadApplicationState(L"Second").Running);

    recorder.RecordServiceStart(UnixSecondsNow(), GetCurrentProcessId());
    for (const wchar_t* name : {L"First", L"Second"}) {
        const ApplicationState app = ReadApplicationState(name);
        EXPECT_FALSE(app.Running) << name;
        EXPECT_TRUE(app.RunRecorded) << name;
        EXPECT_EQ(started, app.LastRunStart) << name;
    }
    EXPECT_EQ(std::wstring::npos, m_log.Text().find(L"Recording the service's state failed"))
        << m_log.Text();
}

TEST_F(RecordedStateTest, AnApplicationRemovedFromTheProductKeyLosesItsStateAtTheNextPass)
{
    m_timings.WaitBoundMs = 1000;
    RegisterApplication(L"Stays", Answer(L"Stays", L"600"), TestChildCommand(L""), m_folder.Path());
    RegisterApplication(L"Goes", Answer(L"Goes", L"600"), TestChildCommand(L""), m_folder.Path());
    Start();
    ASSERT_TRUE(WaitUntil([] { return ReadApplicationState(L"Goes").Queried; }, 30000));
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Varnholt", 0,
                                           KEY_ALL_ACCESS | KEY_WOW64_32KEY, &opened));
    UniqueRegistryKey product(opened);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(product.Get(), L"Goes"));
    product.Reset();
    EXPECT_TRUE(WaitUntil([] {
        HKEY key = nullptr;
        const LONG found = RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         (std::wstring(kStateKeyPath) + L"\\Applications\\Goes").c_str(),
                                         0, KEY_READ, &key);
        const UniqueRegistryKey owner(found == ERROR_SUCCESS ? key : nullptr);
        return found == ERROR_FILE_NOT_FOUND;
    }, 30000));
    Stop();
    EXPECT_TRUE(ReadApplicationState(L"Stays").Queried);
}

// State made volatile refuses the lasting Applications key below it, so every write of an
// application's state fails, in each pass and each run.
TEST_F(RecordedStateTest, AWriteFailureIsLoggedOncePerPassAndStopsNothing)
{
    m_timings.SpacingMs = 0;
    HKEY service = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_ALL_ACCESS, &service));
    UniqueRegistryKey serviceKey(service);
    HKEY state = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(serviceKey.Get(), L"State", 0, /*lpClass=*/nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                             /*lpSecurityAttributes=*/nullptr, &state,
                                             /*lpdwDisposition=*/nullptr));
    UniqueRegistryKey stateKey(state);
    const std::wstring ran = m_folder.File(L"ran.txt");
    RegisterApplication(L"Runs", Answer(L"Runs", L"1"), TestChildCommand(L"--append \"" + ran + L"\" ran"),
                        m_folder.Path());
    RegisterApplication(L"Waits", Answer(L"Waits", L"600"), TestChildCommand(L""), m_folder.Path());
    Start();
    const auto runs = [&] { return LinesOf(ReadUtf8File(ran)).size(); };
    const auto passesEnded = [&] {
        size_t count = 0;
        for (const std::wstring& message : m_log.Messages())
            count += message.rfind(L"Checked 2 schedules;", 0) == 0 ? 1 : 0;
        return count;
    };
    EXPECT_TRUE(WaitUntil([&] { return runs() >= 3; }, 60000)) << m_log.Text();
    // The stop comes once the pass after the third run has ended, while the worker waits the
    // second until the next run: no pass is cut short before its first application.
    EXPECT_TRUE(WaitUntil([&] { return passesEnded() >= 4; }, 60000)) << m_log.Text();
    Stop();

    size_t passes = 0;
    size_t failures = 0;
    for (const std::wstring& message : m_log.Messages()) {
        if (message.rfind(L"Checked 2 schedules;", 0) == 0)
            ++passes;
        if (message.rfind(L"Recording the service's state failed, error code = 1021", 0) == 0)
            ++failures;
    }
    // Each pass wrote four times in vain (two queries, a run's start and end); a pass the
    // stop cut short may have logged before it was counted.
    EXPECT_GE(passes, 3u);
    EXPECT_GE(failures, passes);
    EXPECT_LE(failures, passes + 1) << m_log.Text();
    // State's own values are still written: the last pass ended whole, with both
    // applications checked.
    EXPECT_GE(ReadServiceState().ApplicationsChecked, 1u);
    EXPECT_FALSE(ReadApplicationState(L"Runs").Queried);
}

TEST_F(RecordedStateTest, StatusExitCodeFollowsTheServiceAndUninstallRemovesTheState)
{
    // A sound registration, never queried: nothing to mend, but the service is stopped.
    const std::wstring child = L"\"" + TestChildPath() + L"\"";
    RegisterApplication(L"Fine", child + L" --exit 0", child, m_folder.Path());
    ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(3u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Varnholt Scheduling: stopped, manual start"));
    EXPECT_NE(std::wstring::npos, status.Output.find(L"  Fine  "));
    // The log folder is judged for the service's account, not for the one running -s:
    // stopped, for the account it is configured with (LocalSystem), which under Wine, where
    // every folder reads as owned by its user, does not trust it; running, for the account
    // of its process.
    if (RunningUnderWine()) {
        EXPECT_NE(std::wstring::npos, status.Output.find(L"(folder security NOT trusted: ")) << status.Output;
    }

    ASSERT_TRUE(StartService());
    status = RunProductPiped(L"-s");
    EXPECT_EQ(0u, status.ExitCode) << status.Output;
    EXPECT_EQ(std::wstring::npos, status.Output.find(L"Warning"));
    EXPECT_NE(std::wstring::npos, status.Output.find(L"(folder security trusted)")) << status.Output;
    const ProductRun json = RunProductPiped(L"-s --JSON");
    EXPECT_EQ(0u, json.ExitCode) << json.Output;
    JsonValue shown = StatusJsonOf(json);
    EXPECT_EQ(L"running", shown[L"Service"][L"State"].String);
    EXPECT_EQ(JsonValue::Type::Array, shown[L"Warnings"].Kind);
    EXPECT_TRUE(shown[L"Warnings"].Elements.empty()) << json.Output;
    ASSERT_EQ(1u, shown[L"Applications"].Elements.size());
    EXPECT_EQ(L"Fine", shown[L"Applications"].At(0)[L"Name"].String);
    ExpectApplicationAsRecorded(shown[L"Applications"].At(0), true);
    EXPECT_TRUE(shown[L"LastPassStart"].IsNull());
    EXPECT_TRUE(shown[L"NextPass"].IsNull());
    EXPECT_TRUE(shown[L"Summary"][L"Warnings"].IsNull());

    CStateRecorder recorder;
    recorder.RecordServiceStart(UnixSecondsNow(), 1);
    ASSERT_TRUE(StateKeyExists());
    EXPECT_EQ(0u, RunProduct(L"-u"));
    EXPECT_TRUE(WaitUntil([] { return ServiceState() == 0; }, 30000));
    EXPECT_FALSE(StateKeyExists());

    status = RunProductPiped(L"-S");
    EXPECT_EQ(3u, status.ExitCode);
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Varnholt Scheduling is not installed."));

    const ProductRun gone = RunProductPiped(L"-s --json");
    EXPECT_EQ(3u, gone.ExitCode) << gone.Output;
    shown = StatusJsonOf(gone);
    EXPECT_EQ(JsonValue::Type::Boolean, shown[L"Service"][L"Installed"].Kind);
    EXPECT_FALSE(shown[L"Service"][L"Installed"].Boolean);
    EXPECT_TRUE(shown[L"Service"][L"State"].IsNull());
    EXPECT_TRUE(shown[L"Service"][L"ProcessId"].IsNull());
    ASSERT_EQ(1u, shown[L"Applications"].Elements.size());
    // Another second argument is no option: the program runs as the service would, and
    // shows no status.
    const ProductRun other = RunProductPiped(L"-s --yaml", 30000);
    EXPECT_EQ(std::wstring::npos, other.Output.find(L"is not installed")) << other.Output;
    EXPECT_NE(std::wstring::npos, other.Errors.find(L"Usage: VarnholtScheduling.exe")) << other.Errors;
}

// What the worker recorded of waking, of a late run and of runs missed while the service did
// not run, as -s tells it with this computer's power plan (Wine's cannot be read).
TEST_F(RecordedStateTest, StatusTellsOfWakingALateRunAndMissedRuns)
{
    const std::wstring child = L"\"" + TestChildPath() + L"\"";
    RegisterApplication(L"Fine", child + L" --exit 0", child, m_folder.Path());
    CStateRecorder recorder;
    const ULONGLONG now = UnixSecondsNow();
    const ULONGLONG started = now - 3600;
    recorder.RecordRunStart(L"Fine", started, started - 3 * 3600, 2 * 3600 + 50 * 60);
    recorder.RecordRunEnd(L"Fine", started + 5, 0, RunEnding::EndedByItself, 0);
    recorder.RecordMissedRun(L"Fine", now - 3 * 86400);
    recorder.RecordMissedRun(L"Fine", now - 2 * 86400);
    ASSERT_TRUE(StartService());
    // Wake timers disabled on mains power in this computer's plan are a warning of their own.
    const DWORD planWarning = ReadWakeTimerSettings().Mains == WakeTimerSetting::Disabled ? 1 : 0;
    const std::wstring waking = L"Waking: wake timers ";

    // Missed and late runs are told, and need no attention.
    ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(planWarning, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"exit code 0 after 5 s; started 3 h late, after 2 h 50 min of sleep; "
                                 L"missed 2 runs, the last due "))
        << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"; whether the computer accepts the wake timer is not known yet"))
        << status.Output;
    if (RunningUnderWine()) {
        EXPECT_NE(std::wstring::npos,
                  status.Output.find(waking + L"unknown on mains power, unknown on battery; "))
            << status.Output;
    }
    EXPECT_TRUE(status.Errors.empty()) << status.Errors;

    recorder.RecordWakeSupport(false);
    status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"; the computer did NOT accept the wake timer when it was last armed"))
        << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: This computer did not accept the service's wake timer"))
        << status.Output;

    recorder.RecordWakeSupport(true);
    status = RunProductPiped(L"-s");
    EXPECT_EQ(planWarning, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"; the computer accepted the wake timer when it was last armed\r\n"))
        << status.Output;
}

// The product itself under the service control manager: its scheduling thread records the
// process that the manager reports, so the status shows since when it runs.
TEST(RunningServiceStatusTest, ShowsTheServicesProcessAndItsStart)
{
    RemoveServiceCompletely();
    ProductKeyReset reset;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), DeleteRecordedState());
    ASSERT_EQ(0u, RunProduct(L"-ir"));
    EXPECT_TRUE(WaitUntil([] { return ReadServiceState().ServiceProcessId != 0; }, 30000));
    const RecordedServiceState state = ReadServiceState();
    ExpectRecent(state.ServiceStart, "ServiceStart");

    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS)
                                        : nullptr);
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ASSERT_TRUE(service && QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed));
    EXPECT_EQ(status.dwProcessId, state.ServiceProcessId);

    const ProductRun shown = RunProductPiped(L"-s");
    EXPECT_EQ(0u, shown.ExitCode) << shown.Output;
    EXPECT_NE(std::wstring::npos,
              shown.Output.find(L"Varnholt Scheduling: running, automatic start, process " +
                                std::to_wstring(status.dwProcessId) + L", since "))
        << shown.Output;

    // Its first pass, after the start delay, records the counts through the service's counter.
    EXPECT_TRUE(WaitUntil([] { return ReadServiceState().SummaryRecorded; }, 60000));
    const RecordedServiceState counted = ReadServiceState();
    EXPECT_EQ(0u, counted.ApplicationsRegistered);
    EXPECT_EQ(0u, counted.ApplicationsFailing);
    const JsonValue json = StatusJsonOf(RunProductPiped(L"-s --json"));
    EXPECT_EQ(counted.Warnings, NumberOf(json[L"Summary"][L"Warnings"]));
    EXPECT_EQ(L"service", json[L"SchedulerLock"].String);
    EXPECT_EQ(state.ServiceStart, SecondsOf(json[L"Service"][L"Start"]));
    RemoveServiceCompletely();
}

// Two registrations that run other programs than they seem to.
TEST_F(RecordedStateTest, StatusWarnsOfAnUnquotedSpaceAndAMissingProgram)
{
    const std::wstring spaced = m_folder.Path() + L"\\with space";
    ASSERT_TRUE(CreateDirectoryW(spaced.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(TestChildPath().c_str(), (spaced + L"\\child.exe").c_str(), FALSE));
    const std::wstring child = L"\"" + TestChildPath() + L"\"";
    RegisterApplication(L"Spaced", child, spaced + L"\\child.exe --exit 0", m_folder.Path());
    RegisterApplication(L"Missing", child, L"\"" + m_folder.File(L"nothing.exe") + L"\"", m_folder.Path());
    // Not quoted and missing as well: both are told.
    const std::wstring gone = spaced + L"\\gone.exe";
    RegisterApplication(L"Both", child, gone + L" --exit 0", m_folder.Path());
    ASSERT_TRUE(StartService());
    const ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode);
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: Spaced: the program of Scanner (" + spaced +
                                 L"\\child.exe) holds a space but is not quoted"))
        << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: Missing: the program of Scanner (" + m_folder.File(L"nothing.exe") +
                                 L") does not exist."));

    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: Both: the program of Scanner (" + gone +
                                 L") holds a space but is not quoted"))
        << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: Both: the program of Scanner (" + gone + L") does not exist."))
        << status.Output;
    const JsonValue shown = StatusJsonOf(RunProductPiped(L"-s --json"));
    const std::vector<std::wstring> codes = WarningCodes(shown);
    for (const wchar_t* code : {L"unquoted-path:Spaced", L"missing-program:Missing", L"unquoted-path:Both",
                                L"missing-program:Both"})
        EXPECT_TRUE(Holds(codes, code)) << code;
}

// The counts a collector alerts on, as the worker records them at the end of a pass with the
// service's counter: an application that answers, one whose query fails, one missing a value.
TEST_F(RecordedStateTest, EachPassRecordsTheCountsTheStatusShows)
{
    SetPassSummaryCounter(&CountStatusSummary);
    m_timings.WaitBoundMs = 1000;
    RegisterApplication(L"Answers", Answer(L"Answers", L"600"), TestChildCommand(L""), m_folder.Path());
    RegisterApplication(L"Fails", TestChildCommand(L"--exit 3"), TestChildCommand(L""), m_folder.Path());
    RegisterApplication(L"Broken", Answer(L"Broken", L"1"), L"", m_folder.Path());
    Start();
    EXPECT_TRUE(WaitUntil([] { return ReadServiceState().SummaryRecorded; }, 30000));
    // The first pass's wait records whether the computer took the wake timer; the second
    // pass counts that too.
    const ULONGLONG firstPass = ReadServiceState().LastPassStart;
    EXPECT_TRUE(WaitUntil([&] {
        const RecordedServiceState now = ReadServiceState();
        return now.LastPassStart > firstPass && now.LastPassEnd >= now.LastPassStart;
    }, 30000));
    Stop();
    const RecordedServiceState state = ReadServiceState();
    EXPECT_EQ(3u, state.ApplicationsRegistered);
    EXPECT_EQ(1u, state.ApplicationsFailing);
    // Broken's missing Scanner, this computer's power plan's word on wake timers, and a wake
    // timer the computer did not take (Wine's).
    const DWORD planWarning = ReadWakeTimerSettings().Mains == WakeTimerSetting::Disabled ? 1 : 0;
    const DWORD wakeWarning = state.WakeKnown && !state.WakeSupported ? 1 : 0;
    EXPECT_EQ(1u + planWarning + wakeWarning, state.Warnings);

    // -s counts the same, and shows what was recorded.
    const ProductRun json = RunProductPiped(L"-s --json");
    EXPECT_EQ(3u, json.ExitCode);   // the stand-in is stopped
    const JsonValue shown = StatusJsonOf(json);
    EXPECT_EQ(state.Warnings, shown[L"Warnings"].Elements.size()) << json.Output;
    EXPECT_EQ(3u, NumberOf(shown[L"Summary"][L"ApplicationsRegistered"]));
    EXPECT_EQ(1u, NumberOf(shown[L"Summary"][L"ApplicationsFailing"]));
    EXPECT_EQ(state.Warnings, NumberOf(shown[L"Summary"][L"Warnings"]));
    size_t attention = 0;
    for (const JsonValue& app : shown[L"Applications"].Elements)
        attention += app[L"NeedsAttention"].Boolean ? 1 : 0;
    EXPECT_EQ(1u, attention);
}

// A worker that stopped passing while the service runs, and a test-mode run that holds the
// scheduler lock, each need an administrator.
TEST_F(RecordedStateTest, StatusWarnsOfAStaleLastPassAndOfATestModeRunHoldingTheLock)
{
    const std::wstring child = L"\"" + TestChildPath() + L"\"";
    RegisterApplication(L"Fine", child + L" --exit 0", child, m_folder.Path());
    ASSERT_TRUE(StartService());
    const DWORD planWarning = ReadWakeTimerSettings().Mains == WakeTimerSetting::Disabled ? 1 : 0;
    const ULONGLONG now = UnixSecondsNow();
    CStateRecorder recorder;
    recorder.RecordServiceStart(now - 3 * 3600, ServiceProcess());
    recorder.BeginPass(now - 2 * 3600);
    recorder.EndPass(now - 2 * 3600 + 1, now - 2 * 3600 + 600, L"", 1, /*productKey=*/nullptr);

    // Fresh: nothing to mend, and the next pass is never shown in the past.
    ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Warning: No pass has begun for ")) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"its worker may have ended (event 1901")) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Restart the service")) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"; next pass ")) << status.Output;
    EXPECT_EQ(std::wstring::npos, status.Output.find(L" ago)\r\n", status.Output.find(L"Last pass:") + 20))
        << status.Output;
    JsonValue shown = StatusJsonOf(RunProductPiped(L"-s --json"));
    EXPECT_TRUE(Holds(WarningCodes(shown), L"stale-pass:")) << shown[L"Warnings"].Elements.size();
    EXPECT_EQ(now - 3 * 3600, SecondsOf(shown[L"Service"][L"Start"]));
    EXPECT_EQ(L"free", shown[L"SchedulerLock"].String);

    // A pass that just ended: no warning.
    recorder.BeginPass(UnixSecondsNow());
    recorder.EndPass(UnixSecondsNow(), UnixSecondsNow() + 600, L"", 1, /*productKey=*/nullptr);
    status = RunProductPiped(L"-s");
    EXPECT_EQ(planWarning, status.ExitCode) << status.Output;

    // The lock held by another process than the service's recorded one: a test-mode run.
    recorder.RecordServiceStart(UnixSecondsNow(), GetCurrentProcessId());
    CSchedulerLock lock;
    ASSERT_EQ(SchedulerLockResult::Taken, lock.Take(0, nullptr).Result);
    status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Warning: A test-mode run (-t) holds the scheduler lock (Global\\VarnholtSchedulingScheduler)"))
        << status.Output;
    shown = StatusJsonOf(RunProductPiped(L"-s --json"));
    EXPECT_EQ(L"test-mode", shown[L"SchedulerLock"].String);
    EXPECT_TRUE(Holds(WarningCodes(shown), L"scheduler-lock-held:"));
    lock.Release();
    status = RunProductPiped(L"-s");
    EXPECT_EQ(planWarning, status.ExitCode) << status.Output;
}

// Registry text as it stands: a quote, a backslash and control characters read back from the
// JSON unchanged, and the text report shows the control characters in caret notation.
TEST_F(RecordedStateTest, RegistryTextRoundTripsThroughTheJsonAndIsShownEscaped)
{
    const std::wstring command = L"\"C:\\Push Dir\\push.exe\" \"say \\\"hi\\\"\" \x07\ttab\x1b[2J";
    ASSERT_TRUE(SetProductString(L"", L"PushScriptCommand", command));
    const std::wstring name = L"Odd\x07Name \"quoted\"";
    const std::wstring child = L"\"" + TestChildPath() + L"\"";
    RegisterApplication(name, child + L" --exit 0", child, m_folder.Path());

    const ProductRun json = RunProductPiped(L"-s --json");
    const JsonValue shown = StatusJsonOf(json);
    EXPECT_EQ(command, shown[L"PushScript"][L"Command"].String);
    ASSERT_EQ(1u, shown[L"Applications"].Elements.size());
    EXPECT_EQ(name, shown[L"Applications"].At(0)[L"Name"].String);
    EXPECT_NE(std::wstring::npos, json.Output.find(L"\\u0007")) << json.Output;

    const ProductRun status = RunProductPiped(L"-s");
    EXPECT_NE(std::wstring::npos, status.Output.find(L"Push script: " + ShowableText(command) + L"\r\n"))
        << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"^G^Itab^[[2J")) << status.Output;
    EXPECT_NE(std::wstring::npos, status.Output.find(L"  Odd^GName \"quoted\"  ")) << status.Output;
    for (const wchar_t c : status.Output)
        EXPECT_TRUE(c >= 0x20 || c == L'\r' || c == L'\n') << static_cast<unsigned>(c);
}

}  // namespace

namespace {

// The day's file held by another process without write sharing before the service opens
// it: the service runs without its file, says so once (a level-0 line, event 1900, State's
// LogFileError, "-s"), and takes the file again at the first pass after the holder lets go.
TEST_F(RecordedStateTest, ALostLogFileIsToldOnceRecordedShownAndTakenAgain)
{
    RecordingEventSink events;
    SetEventSink(&events);
    ResetLogFileWatchForTests();
    SYSTEMTIME today;
    GetLocalTime(&today);
    const std::wstring file = DailyLogPath(today);
    CloseTheLog();
    const std::string before = ReadFileBytes(file);
    UniqueFileHandle holder(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);

    // The start: the file cannot be opened, and service mode then starts the watch.
    EXPECT_FALSE(OpenDailyLog());
    StartLogFileWatch();
    LOG(0, L"a line without its file");
    EXPECT_FALSE(OpenDailyLog());   // a pass, still held
    std::vector<RecordedEvent> told = events.EventsWithId(1900);
    ASSERT_EQ(1u, told.size());
    ASSERT_EQ(2u, told.front().Inserts.size());
    EXPECT_EQ(file, told.front().Inserts[0]);
    EXPECT_EQ(SystemErrorText(ERROR_SHARING_VIOLATION), told.front().Inserts[1]);
    EXPECT_TRUE(events.EventsWithId(1999).empty()) << "told under its own event only";
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ReadServiceState().LogFileError);
    EXPECT_EQ(before, ReadFileBytes(file));

    ASSERT_TRUE(StartService());
    ProductRun status = RunProductPiped(L"-s");
    EXPECT_EQ(1u, status.ExitCode) << status.Output;
    EXPECT_NE(std::wstring::npos,
              status.Output.find(L"Log: no file today: " + SystemErrorText(ERROR_SHARING_VIOLATION)))
        << status.Output;

    holder.Reset();
    EXPECT_TRUE(OpenDailyLog());   // the next pass
    LOG(0, L"a line with its file again");
    EXPECT_NE(std::wstring::npos, ReadUtf8File(file).find(L"] a line with its file again \r\n"));
    EXPECT_EQ(0u, ReadServiceState().LogFileError);
    status = RunProductPiped(L"-s");
    EXPECT_EQ(0u, status.ExitCode) << status.Output;
    EXPECT_EQ(std::wstring::npos, status.Output.find(L"no file today")) << status.Output;
    EXPECT_EQ(1u, events.EventsWithId(1900).size());

    SetLogFileLossHandler(nullptr);
    SetEventSink(nullptr);
}

}  // namespace
