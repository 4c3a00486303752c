#include "service/status_text.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// 2024-03-05 10:00:00 UTC; the clock reads UTC as local time, so every text is fixed.
constexpr ULONGLONG kNow = 1709632800;
const StatusClock kClock{kNow, &UtcTimeOfUnixSeconds};

TEST(StatusTimeTest, UnixSecondsAndFileTimesConvertBothWays)
{
    const SYSTEMTIME epoch = UtcTimeOfUnixSeconds(0);
    EXPECT_EQ(1970, epoch.wYear);
    EXPECT_EQ(1, epoch.wMonth);
    EXPECT_EQ(1, epoch.wDay);
    const SYSTEMTIME now = UtcTimeOfUnixSeconds(kNow);
    EXPECT_EQ(2024, now.wYear);
    EXPECT_EQ(3, now.wMonth);
    EXPECT_EQ(5, now.wDay);
    EXPECT_EQ(10, now.wHour);
    EXPECT_EQ(kNow, UnixSecondsFromFileTime(FileTimeFromUnixSeconds(kNow)));
    EXPECT_EQ(0u, UnixSecondsFromFileTime(FILETIME{0, 0}));   // before 1970
}

TEST(StatusTimeTest, DurationsUseTheTwoLargestUnits)
{
    EXPECT_EQ(L"0 s", FormatDuration(0));
    EXPECT_EQ(L"45 s", FormatDuration(45));
    EXPECT_EQ(L"3 min 10 s", FormatDuration(190));
    EXPECT_EQ(L"12 min", FormatDuration(720));
    EXPECT_EQ(L"2 h 5 min", FormatDuration(7500));
    EXPECT_EQ(L"1 d 9 h", FormatDuration(86400 + 9 * 3600 + 59));
}

TEST(StatusTimeTest, MomentsNameTheirDayWhenItIsNotToday)
{
    EXPECT_EQ(L"10:12 (in 12 min)", FormatDueMoment(kNow + 720, kClock));
    EXPECT_EQ(L"09:48 (12 min ago)", FormatDueMoment(kNow - 720, kClock));   // in the past
    EXPECT_EQ(L"10:00 (now)", FormatDueMoment(kNow, kClock));

    // Across midnight, both ways.
    const StatusClock lateEvening{1709682600, &UtcTimeOfUnixSeconds};   // 23:50
    EXPECT_EQ(L"tomorrow 00:05 (in 15 min)", FormatDueMoment(1709682600 + 900, lateEvening));
    const StatusClock earlyMorning{1709683500, &UtcTimeOfUnixSeconds};  // 00:05 on the 6th
    EXPECT_EQ(L"yesterday 23:50", FormatMoment(1709682600, earlyMorning));

    // Over a day away: the date.
    EXPECT_EQ(L"2024-03-07 09:00 (in 1 d 23 h)", FormatDueMoment(kNow + 2 * 86400 - 3600, kClock));
    EXPECT_EQ(L"2024-02-29 10:00", FormatMoment(kNow - 5 * 86400, kClock));
}

TEST(StatusTimeTest, ExitCodesReadAsAPersonKnowsThem)
{
    EXPECT_EQ(L"5", FormatExitCode(5));
    EXPECT_EQ(L"9999", FormatExitCode(9999));
    EXPECT_EQ(L"-1", FormatExitCode(0xFFFFFFFFu));
    EXPECT_EQ(L"0xC0000005", FormatExitCode(0xC0000005u));
}

std::wstring FakeErrorText(DWORD code) { return code == 2 ? L"File not found." : std::wstring(); }

ApplicationState RanFor(ULONGLONG seconds, RunEnding ending, DWORD exitCode)
{
    ApplicationState state;
    state.RunRecorded = state.RunEnded = true;
    state.LastRunStart = kNow - 3600;
    state.LastRunEnd = state.LastRunStart + seconds;
    state.LastRunOutcome = ending;
    state.LastRunExitCode = exitCode;
    return state;
}

TEST(ApplicationRowTest, TellsEachEndingOfTheLastRunInWords)
{
    const auto row = [](const ApplicationState& state, bool running = true) {
        return MakeApplicationRow(L"App", state, running, kClock, &FakeErrorText);
    };
    ApplicationRow never = row(ApplicationState{});
    EXPECT_EQ(L"never", never.Result);
    EXPECT_EQ(L"-", never.LastRun);
    EXPECT_EQ(L"-", never.NextDue);
    EXPECT_FALSE(never.NeedsAttention);

    ApplicationRow ok = row(RanFor(190, RunEnding::EndedByItself, 0));
    EXPECT_EQ(L"exit code 0 after 3 min 10 s", ok.Result);
    EXPECT_EQ(L"09:00", ok.LastRun);
    EXPECT_FALSE(ok.NeedsAttention);
    EXPECT_TRUE(row(RanFor(5, RunEnding::EndedByItself, 5)).NeedsAttention);

    ApplicationRow limit = row(RanFor(43200, RunEnding::AtLimit, 0xFFFFFFFFu));
    EXPECT_EQ(L"ended at its twelve-hour limit", limit.Result);
    EXPECT_TRUE(limit.NeedsAttention);

    ApplicationState notStarted = RanFor(0, RunEnding::NotStarted, 9999);
    notStarted.LastRunError = 2;
    EXPECT_EQ(L"could not start: File not found.", row(notStarted).Result);
    notStarted.LastRunError = 4321;
    EXPECT_EQ(L"could not start: error 4321", row(notStarted).Result);
    EXPECT_TRUE(row(notStarted).NeedsAttention);

    ApplicationRow stopped = row(RanFor(30, RunEnding::ByStop, 1067));
    EXPECT_EQ(L"ended by a stop", stopped.Result);
    EXPECT_FALSE(stopped.NeedsAttention);

    ApplicationState running;
    running.RunRecorded = running.Running = true;
    running.LastRunStart = kNow - 600;
    EXPECT_EQ(L"running since 09:50", row(running).Result);
    // A run recorded as running while the service is not: it was cut off.
    EXPECT_EQ(L"did not finish: the service ended during the run", row(running, false).Result);
}

TEST(ApplicationRowTest, ShowsTheNextDueTimeAndAFailedQuery)
{
    ApplicationState state;
    state.Queried = state.Answered = true;
    state.LastAnswer = 600;
    state.LastQueryTime = kNow - 60;
    state.NextDue = kNow + 540;
    ApplicationRow row = MakeApplicationRow(L"App", state, true, kClock, &FakeErrorText);
    EXPECT_EQ(L"10:09 (in 9 min)", row.NextDue);
    EXPECT_FALSE(row.NeedsAttention);

    state.Answered = false;
    state.LastQueryExitCode = 9999;
    row = MakeApplicationRow(L"App", state, true, kClock, &FakeErrorText);
    EXPECT_EQ(L"-", row.NextDue);
    EXPECT_EQ(L"never; query program exit code 9999", row.Result);
    EXPECT_TRUE(row.NeedsAttention);
}

TEST(ApplicationRowTest, TellsALateStartAndTheRunsMissed)
{
    const auto row = [](const ApplicationState& state) {
        return MakeApplicationRow(L"App", state, true, kClock, &FakeErrorText);
    };
    // Due at 03:48, started at 09:00 after a night's sleep.
    ApplicationState late = RanFor(190, RunEnding::EndedByItself, 0);
    late.LastRunDue = late.LastRunStart - (5 * 3600 + 12 * 60);
    late.LastRunSlept = 5 * 3600 + 10 * 60;
    ApplicationRow shown = row(late);
    EXPECT_EQ(L"exit code 0 after 3 min 10 s; started 5 h 12 min late, after 5 h 10 min of sleep",
              shown.Result);
    EXPECT_FALSE(shown.NeedsAttention);
    late.LastRunSlept = 0;   // late for another reason: a long task before it
    EXPECT_EQ(L"exit code 0 after 3 min 10 s; started 5 h 12 min late", row(late).Result);
    // Two minutes after its due time is on time; older records hold no due time at all.
    late.LastRunDue = late.LastRunStart - 120;
    EXPECT_EQ(L"exit code 0 after 3 min 10 s", row(late).Result);
    late.LastRunDue = late.LastRunStart - 121;
    EXPECT_EQ(L"exit code 0 after 3 min 10 s; started 2 min 1 s late", row(late).Result);
    late.LastRunDue = 0;
    EXPECT_EQ(L"exit code 0 after 3 min 10 s", row(late).Result);

    // Missed while the computer was off: told after a failed query, and no fault to mend.
    ApplicationState missed;
    missed.Queried = true;
    missed.LastQueryExitCode = 3;
    missed.MissedRuns = 2;
    missed.LastMissedDue = kNow - 86400 - 3600;
    shown = row(missed);
    EXPECT_EQ(L"never; query program exit code 3; missed 2 runs, the last due yesterday 09:00", shown.Result);
    missed.LastQueryExitCode = 0;
    missed.MissedRuns = 1;
    shown = row(missed);
    EXPECT_EQ(L"never; missed 1 run, due yesterday 09:00", shown.Result);
    EXPECT_FALSE(shown.NeedsAttention);
}

TEST(ApplicationRowTest, TableColumnsLineUp)
{
    ApplicationRow a{L"Short", L"-", L"-", L"never", false};
    ApplicationRow b{L"A longer name", L"10:09 (in 9 min)", L"09:00", L"exit code 0 after 5 s", false};
    EXPECT_EQ(L"  Application    Next due          Last run  Result\r\n"
              L"  Short          -                 -         never\r\n"
              L"  A longer name  10:09 (in 9 min)  09:00     exit code 0 after 5 s\r\n",
              FormatApplicationTable({a, b}));
}

const std::set<std::wstring> kFiles = {L"C:\\Program Files\\App\\scan.exe", L"C:\\App\\query.exe",
                                       L"cmd.exe"};
bool FakeFileExists(const std::wstring& path) { return kFiles.count(path) != 0; }
bool FakeDirectoryExists(const std::wstring& path) { return path == L"C:\\App"; }

std::vector<std::wstring> WarningsFor(const std::wstring& scheduler, const std::wstring& scanner,
                                      const std::wstring& appDir)
{
    return RegistrationWarnings(L"App", scheduler, scanner, appDir, &FakeFileExists, &FakeDirectoryExists);
}

TEST(RegistrationWarningsTest, NamesWhatAnAdministratorShouldMend)
{
    EXPECT_TRUE(WarningsFor(L"C:\\App\\query.exe /now", L"\"C:\\Program Files\\App\\scan.exe\" /all",
                            L"C:\\App").empty());
    EXPECT_TRUE(WarningsFor(L"C:\\App\\query", L"cmd /c run.cmd", L"C:\\App").empty());   // .exe added

    const std::vector<std::wstring> unquoted =
        WarningsFor(L"C:\\App\\query.exe", L"C:\\Program Files\\App\\scan.exe /all", L"C:\\App");
    ASSERT_EQ(1u, unquoted.size());
    EXPECT_NE(std::wstring::npos, unquoted[0].find(L"Scanner (C:\\Program Files\\App\\scan.exe) holds a space but is not quoted"));

    const std::vector<std::wstring> missing =
        WarningsFor(L"\"C:\\App\\gone.exe\" /x", L"C:\\App\\query.exe", L"C:\\Nowhere");
    ASSERT_EQ(2u, missing.size());
    EXPECT_EQ(L"App: the program of Scheduler (C:\\App\\gone.exe) does not exist.", missing[0]);
    EXPECT_EQ(L"App: AppDir (C:\\Nowhere) does not exist.", missing[1]);

    const std::vector<std::wstring> noScanner = WarningsFor(L"C:\\App\\query.exe", L"", L"C:\\App");
    ASSERT_EQ(1u, noScanner.size());
    EXPECT_EQ(L"App has no Scanner value, so it is never queried.", noScanner[0]);
}

RecordedServiceState WakeRecorded(bool known, bool supported)
{
    RecordedServiceState state;
    state.Present = true;
    state.WakeKnown = known;
    state.WakeSupported = supported;
    return state;
}

TEST(StatusWakingTest, TellsEachSettingOfEachPowerSourceAndWhatTheComputerAccepted)
{
    using S = WakeTimerSetting;
    const RecordedServiceState accepted = WakeRecorded(true, true);
    EXPECT_EQ(L"Waking: wake timers enabled on mains power, disabled on battery; the computer accepted "
              L"the wake timer when it was last armed",
              WakingLine({S::Enabled, S::Disabled}, accepted));
    EXPECT_EQ(L"Waking: wake timers important wake timers only on mains power, enabled on battery; "
              L"the computer accepted the wake timer when it was last armed",
              WakingLine({S::ImportantOnly, S::Enabled}, accepted));
    EXPECT_TRUE(WakingWarnings({S::Enabled, S::Disabled}, accepted).empty());
    EXPECT_TRUE(WakingWarnings({S::ImportantOnly, S::ImportantOnly}, accepted).empty());

    // As Wine answers, before any timer was armed.
    const RecordedServiceState unknown = WakeRecorded(false, false);
    EXPECT_EQ(L"Waking: wake timers unknown on mains power, unknown on battery; whether the computer "
              L"accepts the wake timer is not known yet (no timer armed since the State was written)",
              WakingLine({S::Unknown, S::Unknown}, unknown));
    EXPECT_TRUE(WakingWarnings({S::Unknown, S::Unknown}, unknown).empty());

    const RecordedServiceState refused = WakeRecorded(true, false);
    EXPECT_EQ(L"Waking: wake timers unknown on mains power, unknown on battery; the computer did NOT "
              L"accept the wake timer when it was last armed (this computer cannot be woken by a timer)",
              WakingLine({S::Unknown, S::Unknown}, refused));
    const std::vector<std::wstring> notAccepted = WakingWarnings({S::Enabled, S::Enabled}, refused);
    ASSERT_EQ(1u, notAccepted.size());
    EXPECT_EQ(0u, notAccepted[0].find(L"This computer did not accept the service's wake timer (event 1400)"))
        << notAccepted[0];
}

TEST(StatusWakingTest, WakeTimersDisabledOnMainsPowerAreAWarningThatSaysHowToAllowThem)
{
    using S = WakeTimerSetting;
    const std::vector<std::wstring> warnings =
        WakingWarnings({S::Disabled, S::Enabled}, WakeRecorded(true, true));
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find(L"Wake timers are disabled on mains power")) << warnings[0];
    EXPECT_NE(std::wstring::npos,
              warnings[0].find(L"\"powercfg /setacvalueindex SCHEME_CURRENT SUB_SLEEP RTCWAKE 1\", then "
                               L"\"powercfg /setactive SCHEME_CURRENT\""))
        << warnings[0];
    // Both faults at once: two warnings.
    EXPECT_EQ(2u, WakingWarnings({S::Disabled, S::Disabled}, WakeRecorded(true, false)).size());
}

TEST(StatusExitCodeTest, RunningAndFineIsZero)
{
    EXPECT_EQ(0, StatusExitCode(SERVICE_RUNNING, false));
    EXPECT_EQ(1, StatusExitCode(SERVICE_RUNNING, true));
    EXPECT_EQ(3, StatusExitCode(SERVICE_STOPPED, false));
    EXPECT_EQ(3, StatusExitCode(SERVICE_START_PENDING, true));
    EXPECT_EQ(3, StatusExitCode(0, false));   // not installed
}

// A command line that is not quoted and names no existing program: the program's path is
// still read up to its ".exe", and its space told as well as its absence.
TEST(RegistrationWarningsTest, AnUnquotedPathWithASpaceIsToldWhetherOrNotItsProgramExists)
{
    const std::vector<StatusWarning> found =
        RegistrationFindings(L"App", L"C:\\App\\query.exe", L"C:\\Program Files\\Gone\\scan.exe /all",
                             L"C:\\App", &FakeFileExists, &FakeDirectoryExists);
    ASSERT_EQ(2u, found.size());
    EXPECT_EQ(L"unquoted-path", found[0].Code);
    EXPECT_EQ(L"App", found[0].Application);
    EXPECT_NE(std::wstring::npos,
              found[0].Text.find(L"Scanner (C:\\Program Files\\Gone\\scan.exe) holds a space but is not quoted"));
    EXPECT_EQ(L"missing-program", found[1].Code);
    EXPECT_EQ(L"App: the program of Scanner (C:\\Program Files\\Gone\\scan.exe) does not exist.", found[1].Text);

    const std::vector<StatusWarning> quoted =
        RegistrationFindings(L"App", L"C:\\App\\query.exe", L"\"C:\\Program Files\\Gone\\scan.exe\" /all",
                             L"C:\\App", &FakeFileExists, &FakeDirectoryExists);
    ASSERT_EQ(1u, quoted.size());
    EXPECT_EQ(L"missing-program", quoted[0].Code);
}

TEST(StatusTruthTest, ControlCharactersAreShownInCaretNotation)
{
    EXPECT_EQ(L"a^Gb^[[2J^M^JX^? \x00e9", ShowableText(L"a\x07" L"b\x1b[2J\r\nX\x7f \x00e9"));
    EXPECT_EQ(L"^@", ShowableText(std::wstring(1, L'\0')));
}

TEST(StatusTruthTest, TheNextPassAfterARunIsTheEndOfTheSpacingAndNeverPast)
{
    RecordedServiceState state;
    state.LastPassStart = kNow - 100;
    state.LastPassEnd = kNow - 95;
    state.NextPass = kNow - 94;   // the due time of the run that followed
    state.AppToRun = L"App";
    ApplicationState app;
    app.RunRecorded = true;
    app.LastRunStart = kNow - 90;
    app.RunEnded = true;
    app.LastRunEnd = kNow - 80;
    EXPECT_EQ(kNow - 90 + 240, NextPassMoment(state, app, 240, kNow));

    app.Running = true;
    app.RunEnded = false;
    EXPECT_EQ(0u, NextPassMoment(state, app, 240, kNow));   // after the run, whenever it ends

    app.Running = false;
    app.LastRunStart = kNow - 300;
    EXPECT_EQ(kNow, NextPassMoment(state, app, 240, kNow));   // overdue: now, never a past time

    state.NextPass = kNow + 600;   // the run before this pass: the pass's own word holds
    app.LastRunStart = kNow - 3600;
    EXPECT_EQ(kNow + 600, NextPassMoment(state, app, 240, kNow));

    state.LastPassStart = kNow - 2;   // a pass is going on
    EXPECT_EQ(0u, NextPassMoment(state, app, 240, kNow));
}

TEST(StatusTruthTest, AStaleLastPassIsAWarningOnlyWhileTheServiceRunsAndNoTaskRuns)
{
    EXPECT_GT(StalePassSeconds(), 30u * 60u);   // beyond the wait's bound
    const ULONGLONG stale = kNow - StalePassSeconds() - 1;
    const StatusWarning warning = StalePassWarning(true, false, stale, kNow);
    EXPECT_EQ(L"stale-pass", warning.Code);
    EXPECT_NE(std::wstring::npos, warning.Text.find(L"event 1901")) << warning.Text;
    EXPECT_NE(std::wstring::npos, warning.Text.find(L"Restart the service")) << warning.Text;
    EXPECT_TRUE(StalePassWarning(true, true, stale, kNow).Code.empty());
    EXPECT_TRUE(StalePassWarning(false, false, stale, kNow).Code.empty());
    EXPECT_TRUE(StalePassWarning(true, false, kNow - StalePassSeconds(), kNow).Code.empty());
    EXPECT_TRUE(StalePassWarning(true, false, 0, kNow).Code.empty());
}

}  // namespace
