#include "schedule/schedule_check.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"

#include <gtest/gtest.h>

namespace {

class ScheduleCheckTest : public ::testing::Test {
protected:
    ScheduleCheckTest()
    {
        m_timings.QueryLimitSeconds = 2;
        m_timings.KillGraceMs = 200;
    }

    // A schedule query program that writes answer into its own subkey and exits with code.
    std::wstring Answering(const std::wstring& app, const std::wstring& answer, int code = 0)
    {
        return TestChildCommand(L"--append \"" + m_folder.File(L"ran.txt") + L"\" \"" + app +
                                L"\" --write \"" + app + L"\" " + answer + L" --exit " +
                                std::to_wstring(code));
    }
    void Register(const std::wstring& app, const std::wstring& scheduler)
    {
        RegisterApplication(app, scheduler, L"task.exe", m_folder.Path());
    }
    ScheduleCheckResult Check()
    {
        CRegistryKey product;
        OpenProductKey(product, KEY_READ);
        return CheckSchedules(product, m_timings);
    }
    DWORD Answer(const std::wstring& app)
    {
        DWORD value = 12345;
        EXPECT_TRUE(ReadProductDword(app, L"ScheduleEnabled", value));
        return value;
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{6};
    ScratchDirectory m_folder;
    Timings m_timings;
};

TEST_F(ScheduleCheckTest, WithoutProductKeyNothingIsQueried)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Varnholt");
    const ScheduleCheckResult result = Check();
    EXPECT_EQ(L"", result.AppToRun);
    EXPECT_EQ(86400u, result.NextCheck);
    EXPECT_EQ(1, m_log.Count(L"Checked 0 schedules; NextCheck=86400, AppToRun="));
}

TEST_F(ScheduleCheckTest, CapBoundsTheAnswersBothWays)
{
    SetProductDword(L"", L"MaxCheckIntevalSecs", 600);
    Register(L"Alpha", Answering(L"Alpha", L"900"));
    Register(L"Beta", Answering(L"Beta", L"1200"));
    ScheduleCheckResult result = Check();
    EXPECT_EQ(L"", result.AppToRun);
    EXPECT_EQ(600u, result.NextCheck);
    EXPECT_TRUE(m_log.Has(L"Registry resetting checkIntevalSecs  600"));
    EXPECT_TRUE(m_log.Has(L"AppName Alpha: 900 secs"));
    EXPECT_TRUE(m_log.Has(L"Checked 2 schedules; NextCheck=600, AppToRun="));
    EXPECT_EQ(0u, Answer(L"Alpha"));
    EXPECT_EQ(0u, Answer(L"Beta"));

    // A cap above a day lets an answer above a day win.
    SetProductDword(L"", L"MaxCheckIntevalSecs", 200000);
    Register(L"Beta", Answering(L"Beta", L"90000"));
    Register(L"Alpha", Answering(L"Alpha", L"150000"));
    result = Check();
    EXPECT_EQ(L"Beta", result.AppToRun);
    EXPECT_EQ(90000u, result.NextCheck);
}

TEST_F(ScheduleCheckTest, SmallestNonZeroAnswerWinsAndTheFirstTakesATie)
{
    Register(L"Zero", Answering(L"Zero", L"0"));
    Register(L"Huge", Answering(L"Huge", L"4294967295"));
    Register(L"TieOne", Answering(L"TieOne", L"300"));
    Register(L"TieTwo", Answering(L"TieTwo", L"300"));
    Register(L"Later", Answering(L"Later", L"301"));

    // Which tied application comes first is the registry's enumeration order.
    std::wstring firstTied;
    {
        CRegistryKey product;
        OpenProductKey(product, KEY_READ);
        CEnumSubkeys walk;
        walk.Open(product.Handle(), nullptr, KEY_READ);
        for (; walk.HasMore() && firstTied.empty(); walk.Advance()) {
            const std::wstring name = walk.CurrentName();
            if (name == L"TieOne" || name == L"TieTwo")
                firstTied = name;
        }
    }
    const ScheduleCheckResult result = Check();
    EXPECT_EQ(firstTied, result.AppToRun);
    EXPECT_EQ(300u, result.NextCheck);
    EXPECT_TRUE(m_log.Has(L"AppName Zero: 0 secs"));
    EXPECT_TRUE(m_log.Has(L"AppName Huge: -1 secs"));
    EXPECT_TRUE(m_log.Has(L"Checked 5 schedules; NextCheck=300, AppToRun=" + firstTied));
}

TEST_F(ScheduleCheckTest, OnlyAnAnswerWrittenBeforeExitCodeZeroCounts)
{
    Register(L"Failing", Answering(L"Failing", L"300", 1));
    // Exits 0 without writing: the answer left from before must not be reused.
    Register(L"Silent", TestChildCommand(L"--exit 0"));
    SetProductDword(L"Silent", L"ScheduleEnabled", 77);

    const ScheduleCheckResult result = Check();
    EXPECT_EQ(L"", result.AppToRun);
    EXPECT_EQ(86400u, result.NextCheck);
    EXPECT_TRUE(m_log.Has(L"AppName Failing: 0 secs"));
    EXPECT_TRUE(m_log.Has(L"AppName Silent: 0 secs"));
    EXPECT_EQ(0u, Answer(L"Failing"));
    EXPECT_EQ(0u, Answer(L"Silent"));
    EXPECT_TRUE(m_log.Has(L"Checked 2 schedules; NextCheck=86400, AppToRun="));
}

TEST_F(ScheduleCheckTest, IncompleteAndUnscheduledApplicationsAreNotRun)
{
    SetProductString(L"NoScanner", L"Scheduler", Answering(L"NoScanner", L"100"));
    SetProductString(L"NoScanner", L"AppDir", m_folder.Path());
    SetProductDword(L"NoScanner", L"ScheduleEnabled", 55);
    SetProductString(L"Bare", L"Other", L"x");

    const ScheduleCheckResult result = Check();
    EXPECT_EQ(L"", result.AppToRun);
    EXPECT_FALSE(FileExists(m_folder.File(L"ran.txt")));
    EXPECT_EQ(55u, Answer(L"NoScanner"));
    EXPECT_TRUE(m_log.Has(L"AppName NoScanner has Scheduler but missing Scanner or AppDir"));
    EXPECT_TRUE(m_log.Has(L"AppName Bare unscheduled"));
    EXPECT_TRUE(m_log.Has(L"Checked 0 schedules; NextCheck=86400, AppToRun="));
}

TEST_F(ScheduleCheckTest, UnscheduledLineNeedsLevelSix)
{
    SetProductString(L"Bare", L"Other", L"x");
    SetProductDword(L"", L"Debug", 2);
    OpenDailyLog();
    Check();
    EXPECT_FALSE(m_log.Has(L"AppName Bare unscheduled"));
}

TEST_F(ScheduleCheckTest, HungOrMissingQueryProgramGivesNoAnswerAndThePassGoesOn)
{
    Register(L"A-Hung", TestChildCommand(L"--ignore-quit 60000"));
    Register(L"B-Missing", L"\"" + m_folder.File(L"absent.exe") + L"\"");
    Register(L"C-Good", Answering(L"C-Good", L"100"));

    const ScheduleCheckResult result = Check();
    EXPECT_EQ(L"C-Good", result.AppToRun);
    EXPECT_EQ(100u, result.NextCheck);
    EXPECT_TRUE(m_log.Has(L"Killing A-Hung '" + TestChildCommand(L"--ignore-quit 60000") + L"'"));
    EXPECT_TRUE(m_log.Has(L"AppName A-Hung: 0 secs"));
    EXPECT_TRUE(m_log.Has(L"CreateProcess failed, error code = 2"));
    EXPECT_TRUE(m_log.Has(L"AppName B-Missing: 0 secs"));
    EXPECT_TRUE(m_log.Has(L"Checked 3 schedules; NextCheck=100, AppToRun=C-Good"));
}

TEST_F(ScheduleCheckTest, NonAsciiNamesReachTheChildAndTheLog)
{
    const std::wstring app = L"Prüfung 日本";
    const std::wstring directory = m_folder.File(L"Ordner é");
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    RegisterApplication(app, Answering(app, L"42"), L"task.exe", directory);

    const ScheduleCheckResult result = Check();
    EXPECT_EQ(app, result.AppToRun);
    EXPECT_EQ(42u, result.NextCheck);
    EXPECT_EQ(app + L"|" + directory + L"\r\n", ReadUtf8File(m_folder.File(L"ran.txt")));
    EXPECT_TRUE(m_log.Has(L"AppName " + app + L": 42 secs"));
}

}  // namespace
