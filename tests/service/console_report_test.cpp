// The closing sentences that the runs of the real executable under Wine cannot reach (no
// access denied for root, no failed start, no stop that outlasts the wait), and the usage.
#include "service/console_report.h"

#include "tests/common/text.h"

#include <gtest/gtest.h>

namespace {

StepOutcome Done() { return StepOutcome{true, ERROR_SUCCESS}; }
StepOutcome FailedWith(DWORD error) { return StepOutcome{false, error}; }

// "<the system's text> (error N)", as a failure sentence ends.
std::wstring Reason(DWORD error)
{
    return SystemMessage(error) + L" (error " + std::to_wstring(error) + L")";
}

TEST(ClosingSentenceTest, FailuresNameTheSystemsTextAndTheCode)
{
    ActionOutcome outcome;
    outcome.Install = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not install Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Install, outcome));
    // Without elevation both steps of -ir fail alike; the first is the one to tell.
    outcome.Start = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not install Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::InstallAndRun, outcome));
    outcome.Stop = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not stop Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Stop, outcome));
    EXPECT_EQ(L"Could not restart Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Bounce, outcome));
    outcome.Remove = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not remove Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Uninstall, outcome));

    // A code without a system text still names the code.
    outcome.Install = FailedWith(0x2000ABCD);
    ASSERT_TRUE(SystemMessage(0x2000ABCD).empty());
    EXPECT_EQ(L"Could not install Varnholt Scheduling: error 536914893",
              ClosingSentence(ProgramOption::Install, outcome));
}

// Test mode that could not tell whether another scheduler runs (not elevated) says why.
TEST(ClosingSentenceTest, TestModeThatCannotTakeTheSchedulerLock)
{
    ActionOutcome outcome;
    outcome.SchedulerLockError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(L"Varnholt Scheduling test mode did not start: it cannot tell whether another "
              L"scheduler runs on this computer (run it from an elevated prompt): " +
                  Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::TestMode, outcome));
}

TEST(ClosingSentenceTest, AStepThatFailedAfterOneThatWorked)
{
    ActionOutcome outcome;
    outcome.Install = Done();
    outcome.Start = FailedWith(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"Varnholt Scheduling is installed (automatic start) but could not be started: " +
                  Reason(ERROR_FILE_NOT_FOUND),
              ClosingSentence(ProgramOption::InstallAndRun, outcome));

    outcome.Stop = Done();
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop but could not be started again: " +
                  Reason(ERROR_FILE_NOT_FOUND),
              ClosingSentence(ProgramOption::Bounce, outcome));
    outcome.Start = StepOutcome{};
    outcome.StopTimedOut = true;
    EXPECT_EQ(L"Varnholt Scheduling did not stop within 30 seconds, so it was not started again.",
              ClosingSentence(ProgramOption::Bounce, outcome));

    outcome = ActionOutcome{};
    outcome.Stop = FailedWith(ERROR_SERVICE_NOT_ACTIVE);
    outcome.Remove = FailedWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(L"Varnholt Scheduling is already marked for removal; it is removed once it has stopped.",
              ClosingSentence(ProgramOption::Uninstall, outcome));
}

TEST(UsageTest, NamesEveryOptionAndTheLogDirectory)
{
    const std::wstring usage = UsageText(L"D:\\Data\\Varnholt");
    for (const wchar_t* option : {L"  -i ", L"  -ir ", L"  -k ", L"  -b ", L"  -u ", L"  -t ", L"  -s ", L"  -s --json "})
        EXPECT_NE(std::wstring::npos, usage.find(option)) << option;
    EXPECT_NE(std::wstring::npos, usage.find(L"D:\\Data\\Varnholt\\Scheduler-YYYYMMDD.log"));
    EXPECT_NE(std::wstring::npos, usage.find(L"sc query \"Varnholt Scheduling\""));
    for (const std::wstring& line : LinesOf(usage))
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(L"\r\n", usage.substr(usage.size() - 2));
}

}  // namespace
