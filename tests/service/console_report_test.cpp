#include "service/console_report.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

StepOutcome Done() { return StepOutcome{true, ERROR_SUCCESS}; }
StepOutcome FailedWith(DWORD error) { return StepOutcome{false, error}; }

// "<text> (error N)" as a failure sentence ends.
std::wstring Reason(DWORD error)
{
    return SystemMessage(error) + L" (error " + std::to_wstring(error) + L")";
}

TEST(ClosingSentenceTest, Install)
{
    ActionOutcome outcome;
    outcome.Install = Done();
    EXPECT_EQ(L"Varnholt Scheduling is installed (manual start).",
              ClosingSentence(ProgramOption::Install, outcome));
    outcome.Install = FailedWith(ERROR_SERVICE_EXISTS);
    EXPECT_EQ(L"Varnholt Scheduling is already installed; nothing was changed.",
              ClosingSentence(ProgramOption::Install, outcome));
    outcome.Install = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not install Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Install, outcome));
    // A code without a system text still names the code.
    outcome.Install = FailedWith(0x2000ABCD);
    EXPECT_EQ(L"Could not install Varnholt Scheduling: error 536914893",
              ClosingSentence(ProgramOption::Install, outcome));
}

TEST(ClosingSentenceTest, InstallAndRunTellsBothSteps)
{
    ActionOutcome outcome;
    outcome.Install = Done();
    outcome.Start = Done();
    EXPECT_EQ(L"Varnholt Scheduling is installed and started.",
              ClosingSentence(ProgramOption::InstallAndRun, outcome));
    outcome.Start = FailedWith(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"Varnholt Scheduling is installed (automatic start) but could not be started: " +
                  Reason(ERROR_FILE_NOT_FOUND),
              ClosingSentence(ProgramOption::InstallAndRun, outcome));

    outcome.Install = FailedWith(ERROR_SERVICE_EXISTS);
    outcome.Start = Done();
    EXPECT_EQ(L"Varnholt Scheduling was already installed; it is started.",
              ClosingSentence(ProgramOption::InstallAndRun, outcome));
    outcome.Start = FailedWith(ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(L"Varnholt Scheduling was already installed and running.",
              ClosingSentence(ProgramOption::InstallAndRun, outcome));

    // Without elevation both steps fail alike; the first failure is the one to tell.
    outcome.Install = FailedWith(ERROR_ACCESS_DENIED);
    outcome.Start = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not install Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::InstallAndRun, outcome));
}

TEST(ClosingSentenceTest, StopAndUninstall)
{
    ActionOutcome outcome;
    outcome.Stop = Done();
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop.", ClosingSentence(ProgramOption::Stop, outcome));
    outcome.Stop = FailedWith(ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(L"Varnholt Scheduling is not running.", ClosingSentence(ProgramOption::Stop, outcome));
    outcome.Stop = FailedWith(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(L"Varnholt Scheduling is not installed.", ClosingSentence(ProgramOption::Stop, outcome));
    outcome.Stop = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not stop Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Stop, outcome));

    outcome.Stop = FailedWith(ERROR_SERVICE_NOT_ACTIVE);
    outcome.Remove = Done();
    EXPECT_EQ(L"Varnholt Scheduling is removed.", ClosingSentence(ProgramOption::Uninstall, outcome));
    outcome.Stop = Done();
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop; it is removed once it has stopped.",
              ClosingSentence(ProgramOption::Uninstall, outcome));
    outcome.Stop = FailedWith(ERROR_SERVICE_DOES_NOT_EXIST);
    outcome.Remove = FailedWith(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(L"Varnholt Scheduling is not installed.", ClosingSentence(ProgramOption::Uninstall, outcome));
    outcome.Remove = FailedWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(L"Varnholt Scheduling is already marked for removal; it is removed once it has stopped.",
              ClosingSentence(ProgramOption::Uninstall, outcome));
}

TEST(ClosingSentenceTest, Bounce)
{
    ActionOutcome outcome;
    outcome.Stop = Done();
    outcome.Start = Done();
    EXPECT_EQ(L"Varnholt Scheduling was restarted.", ClosingSentence(ProgramOption::Bounce, outcome));
    outcome.Stop = FailedWith(ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(L"Varnholt Scheduling was not running; it is started.",
              ClosingSentence(ProgramOption::Bounce, outcome));
    outcome.Stop = FailedWith(ERROR_SERVICE_DOES_NOT_EXIST);
    outcome.Start = FailedWith(ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(L"Varnholt Scheduling is not installed.", ClosingSentence(ProgramOption::Bounce, outcome));
    outcome.Stop = FailedWith(ERROR_ACCESS_DENIED);
    outcome.Start = FailedWith(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Could not restart Varnholt Scheduling: " + Reason(ERROR_ACCESS_DENIED),
              ClosingSentence(ProgramOption::Bounce, outcome));
    // The stop was accepted, the start found it still running: it ends up stopped.
    outcome.Stop = Done();
    outcome.Start = FailedWith(ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_NE(std::wstring::npos, ClosingSentence(ProgramOption::Bounce, outcome).find(L"still running"));
    outcome.Start = FailedWith(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop but could not be started again: " +
                  Reason(ERROR_FILE_NOT_FOUND),
              ClosingSentence(ProgramOption::Bounce, outcome));
    // The stop did not finish in time: no start was asked for.
    outcome.Start = StepOutcome{};
    outcome.StopTimedOut = true;
    EXPECT_EQ(L"Varnholt Scheduling did not stop within 30 seconds, so it was not started again.",
              ClosingSentence(ProgramOption::Bounce, outcome));
}

TEST(ClosingSentenceTest, TestModeAndNone)
{
    ActionOutcome outcome;
    outcome.Interrupted = true;
    EXPECT_EQ(L"Varnholt Scheduling test mode has ended; the programs it ran were stopped.",
              ClosingSentence(ProgramOption::TestMode, outcome));
    outcome.Interrupted = false;
    EXPECT_NE(std::wstring::npos, ClosingSentence(ProgramOption::TestMode, outcome).find(L"left running"));
    EXPECT_EQ(L"", ClosingSentence(ProgramOption::None, outcome));
}

TEST(UsageTest, NamesEveryOptionAndTheLogDirectory)
{
    const std::wstring usage = UsageText(L"D:\\Data\\Varnholt");
    for (const wchar_t* option : {L"  -i ", L"  -ir ", L"  -k ", L"  -b ", L"  -u ", L"  -t "})
        EXPECT_NE(std::wstring::npos, usage.find(option)) << option;
    EXPECT_NE(std::wstring::npos, usage.find(L"D:\\Data\\Varnholt\\Scheduler-YYYYMMDD.log"));
    EXPECT_NE(std::wstring::npos, usage.find(L"sc query \"Varnholt Scheduling\""));
    for (const std::wstring& line : LinesOf(usage))
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(L"\r\n", usage.substr(usage.size() - 2));
}

}  // namespace
