// What a person sees: the real executable's standard output and standard error, read
// through pipes, under Wine's real service control manager.
#include "tests/common/files.h"
#include "tests/common/piped_process.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/service_manager.h"
#include "tests/common/text.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::wstring kIndent(11, L' ');

// The message of a console line, after "[hh:mm:ss] "; empty for a line without the stamp.
std::wstring ShownMessage(const std::wstring& line)
{
    if (line.size() < 11 || line[0] != L'[' || line[3] != L':' || line[6] != L':' ||
        line.compare(9, 2, L"] ") != 0)
        return std::wstring();
    return line.substr(11);
}

// A failure as the console shows it: the option's line, the failing call's line with its
// code, the system's text for that code indented below it, and the closing sentence.
void ExpectExplainedFailure(const ProductRun& run, const wchar_t* option,
                            const wchar_t* failure, DWORD code, const wchar_t* sentence)
{
    EXPECT_EQ(0u, run.ExitCode);
    const std::vector<std::wstring> lines = LinesOf(run.Errors);
    ASSERT_EQ(3u, lines.size()) << run.Errors;
    EXPECT_EQ(option, ShownMessage(lines[0]));
    EXPECT_EQ(failure, ShownMessage(lines[1]));
    ASSERT_FALSE(SystemMessage(code).empty());
    EXPECT_EQ(kIndent + SystemMessage(code), lines[2]);
    EXPECT_EQ(sentence, run.Output);
}

class ConsoleOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceCompletely();
        RunProductPiped(L"/k");   // the day's log exists, so its size marks where a test begins
        m_logStart = LogSize();
    }
    void TearDown() override { RemoveServiceCompletely(); }

    std::vector<std::wstring> LoggedMessages() const
    {
        std::vector<std::wstring> messages;
        for (const std::wstring& line : LogLinesAfter(m_logStart))
            messages.push_back(MessageOf(line));
        return messages;
    }

    ProductKeyReset m_reset;
    size_t m_logStart = 0;
};

TEST_F(ConsoleOutputTest, InstallShowsItsLinesAndSaysWhatItDid)
{
    const ProductRun run = RunProductPiped(L"-i");
    EXPECT_EQ(0u, run.ExitCode);
    const std::vector<std::wstring> lines = LinesOf(run.Errors);
    ASSERT_EQ(2u, lines.size()) << run.Errors;
    EXPECT_EQ(L"Install", ShownMessage(lines[0]));
    EXPECT_EQ(L"Service installed", ShownMessage(lines[1]));   // level 1, shown without Debug
    EXPECT_EQ(L"Varnholt Scheduling is installed (manual start).\r\n", run.Output);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    // The file keeps to its threshold.
    EXPECT_EQ(std::vector<std::wstring>{L"Install"}, LoggedMessages());
}

TEST_F(ConsoleOutputTest, SecondInstallExplainsTheErrorOnTheConsoleOnly)
{
    ASSERT_EQ(0u, RunProductPiped(L"-i").ExitCode);
    ExpectExplainedFailure(RunProductPiped(L"-I"), L"Install",
                           L"Failed to create service, error code = 1073", ERROR_SERVICE_EXISTS,
                           L"Varnholt Scheduling is already installed; nothing was changed.\r\n");

    const std::vector<std::wstring> logged = LoggedMessages();
    EXPECT_EQ(1, std::count(logged.begin(), logged.end(), L"Failed to create service, error code = 1073"));
    for (const std::wstring& line : LogLinesAfter(m_logStart))
        EXPECT_EQ(std::wstring::npos, line.find(SystemMessage(ERROR_SERVICE_EXISTS))) << line;
}

TEST_F(ConsoleOutputTest, StopOfAServiceThatIsNotInstalledExplainsTheError)
{
    ExpectExplainedFailure(RunProductPiped(L"-k"), L"Stop", L"OpenService failed, error code = 1060",
                           ERROR_SERVICE_DOES_NOT_EXIST, L"Varnholt Scheduling is not installed.\r\n");
}

// Each action ends with one sentence on standard output that tells the state it left.
TEST_F(ConsoleOutputTest, EveryActionClosesWithOneSentence)
{
    const auto sentence = [](const wchar_t* arguments) {
        const ProductRun run = RunProductPiped(arguments);
        EXPECT_EQ(0u, run.ExitCode) << arguments;
        return run.Output;
    };
    const auto waitFor = [](DWORD state) { return WaitUntil([&] { return ServiceState() == state; }, 20000); };

    EXPECT_EQ(L"Varnholt Scheduling is installed and started.\r\n", sentence(L"-ir"));
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));
    EXPECT_EQ(L"Varnholt Scheduling was already installed and running.\r\n", sentence(L"-ir"));
    EXPECT_EQ(L"Varnholt Scheduling was restarted.\r\n", sentence(L"-b"));
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop.\r\n", sentence(L"-k"));
    ASSERT_TRUE(waitFor(SERVICE_STOPPED));
    EXPECT_EQ(L"Varnholt Scheduling is not running.\r\n", sentence(L"-k"));
    EXPECT_EQ(L"Varnholt Scheduling was not running; it is started.\r\n", sentence(L"-b"));
    ASSERT_TRUE(waitFor(SERVICE_RUNNING));
    EXPECT_EQ(L"Varnholt Scheduling was asked to stop; it is removed once it has stopped.\r\n",
              sentence(L"-u"));
    ASSERT_TRUE(WaitUntil([] { return ServiceState() == 0; }, 20000));
    EXPECT_EQ(L"Varnholt Scheduling is not installed.\r\n", sentence(L"-u"));
    EXPECT_EQ(L"Varnholt Scheduling is not installed.\r\n", sentence(L"-b"));
}

TEST_F(ConsoleOutputTest, AnArgumentThatIsNoOptionGetsTheUsageAndNothingElse)
{
    for (const wchar_t* argument : {L"install", L"/?", L"-h", L"--help", L"/i", L"\"\""}) {
        const ProductRun run = RunProductPiped(argument);
        EXPECT_EQ(0u, run.ExitCode) << argument;
        EXPECT_EQ(L"", run.Output) << argument;
        EXPECT_EQ(0u, run.Errors.find(L"Varnholt Scheduling runs")) << argument << ": " << run.Errors;
        EXPECT_NE(std::wstring::npos, run.Errors.find(L"  -ir   ")) << argument;
        EXPECT_NE(std::wstring::npos, run.Errors.find(ProductLogDirectory() + L"\\Scheduler-YYYYMMDD.log"))
            << argument;
        for (const std::wstring& line : LinesOf(run.Errors))
            EXPECT_EQ(L"", ShownMessage(line)) << "a log line: " << line;
    }
    EXPECT_EQ(m_logStart, LogSize());
    EXPECT_EQ(0u, ServiceState());
}

// Service mode that no service control manager answers shows the usage, and no log line.
TEST_F(ConsoleOutputTest, ServiceModeOutsideTheServiceManagerShowsTheUsage)
{
    const ProductRun run = RunProductPiped(L"-i extra");
    EXPECT_EQ(0u, run.ExitCode);
    EXPECT_EQ(0u, run.Errors.find(L"Varnholt Scheduling runs")) << run.Errors;
    for (const std::wstring& line : LinesOf(run.Errors))
        EXPECT_EQ(L"", ShownMessage(line)) << "a log line: " << line;
    EXPECT_EQ(L"", run.Output);
    const std::vector<std::wstring> logged = LoggedMessages();
    EXPECT_NE(logged.end(),
              std::find(logged.begin(), logged.end(),
                        L"Not started by the service control manager; use -t to run in a console"));
}

// Test mode in a console of its own, its streams on pipes. Ctrl+C comes from a helper that
// joins that console; the push script ignores both Ctrl+C and WM_QUIT, so only the stop's
// termination ends it, and until it has ended the pipes stay open.
TEST(TestModeConsoleTest, LinesArriveLiveAndCtrlCEndsTheRunCleanly)
{
    ProductKeyReset reset;
    ScratchDirectory folder;
    SetProductString(L"", L"PushScriptCommand",
                     TestChildCommand(L"--ignore-ctrl --append \"" + folder.File(L"push.txt") +
                                      L"\" pushed --ignore-quit 300000"));
    RunProductPiped(L"/k");
    const size_t before = LogSize();
    // A child of an earlier test may still be on its way out.
    ASSERT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtTestChild.exe") == 0; }, 10000));

    PipedProcess product(L"\"" + ProductExePath() + L"\" -t", CREATE_NEW_CONSOLE);
    ASSERT_TRUE(product.Started());
    ASSERT_TRUE(product.WaitForErrors(L"] Start Varnholt Push Script\r\n", 30000)) << product.Errors();
    EXPECT_TRUE(product.Running());
    ASSERT_FALSE(LinesOf(product.Errors()).empty());
    EXPECT_EQ(L"Start Varnholt Scheduling (TEST MODE)", ShownMessage(LinesOf(product.Errors())[0]));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(folder.File(L"push.txt")); }, 10000));

    EXPECT_EQ(0u, RunAndCollect(TestChildCommand(L"--console-ctrl " + std::to_wstring(product.Id())), 30000));
    EXPECT_EQ(0u, product.Wait(30000)) << product.Errors();

    std::vector<std::wstring> shown;
    for (const std::wstring& line : LinesOf(product.Errors()))
        shown.push_back(ShownMessage(line));
    const auto stopping = std::find(shown.begin(), shown.end(), L"Stopping test mode");
    ASSERT_NE(shown.end(), stopping) << product.Errors();
    ASSERT_FALSE(shown.empty());
    EXPECT_LT(stopping, shown.end() - 1);
    EXPECT_EQ(L"EXIT Varnholt Scheduling (TEST MODE)", shown.back());
    EXPECT_EQ(L"Varnholt Scheduling test mode has ended; the programs it ran were stopped.\r\n",
              product.Output());
    EXPECT_TRUE(WaitUntil([] { return CountProcesses(L"VarnholtTestChild.exe") == 0; }, 5000));
    EXPECT_TRUE(HasMessage(LogLinesAfter(before), L"EXIT Varnholt Scheduling (TEST MODE)"));
}

}  // namespace
