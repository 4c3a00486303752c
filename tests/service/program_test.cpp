#include "service/program.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(OptionTest, WholeArgumentIgnoringAsciiCase)
{
    EXPECT_EQ(ProgramOption::Uninstall, MatchOption(L"-u"));
    EXPECT_EQ(ProgramOption::Install, MatchOption(L"-I"));
    EXPECT_EQ(ProgramOption::InstallAndRun, MatchOption(L"-ir"));
    EXPECT_EQ(ProgramOption::InstallAndRun, MatchOption(L"-Ir"));
    EXPECT_EQ(ProgramOption::Bounce, MatchOption(L"-B"));
    EXPECT_EQ(ProgramOption::Stop, MatchOption(L"-K"));
    EXPECT_EQ(ProgramOption::TestMode, MatchOption(L"-t"));
    for (const wchar_t* other : {L"", L"/k", L"k", L"-k ", L"-kk", L"--k", L"-irx", L"-\u0130"})
        EXPECT_EQ(ProgramOption::None, MatchOption(other)) << "argument of length " << wcslen(other);
}

// Runs of the real executable under Wine.
class ProgramRunTest : public ::testing::Test {
protected:
    ProductKeyReset m_reset;
};

TEST_F(ProgramRunTest, CreatesAMissingLogDirectory)
{
    RemoveTree(ProductLogDirectory());
    ASSERT_FALSE(FileExists(ProductLogDirectory()));
    EXPECT_EQ(0u, RunProduct(L"/k"));
    EXPECT_TRUE(FileExists(ProductLogDirectory()));
    const std::string bytes = ReadFileBytes(TodaysProductLog());
    EXPECT_EQ(std::string("\xEF\xBB\xBF\r\n"), bytes);   // opened, nothing logged
}

TEST_F(ProgramRunTest, OptionLogsItsMessageInAnyCase)
{
    EXPECT_EQ(0u, RunProduct(L"/k"));   // makes sure the day's file exists
    const size_t before = LogSize();
    EXPECT_EQ(0u, RunProduct(L"-K"));
    const std::vector<std::wstring> lines = LogLinesAfter(before);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"Stop", MessageOf(lines.front()));
    EXPECT_NE(std::wstring::npos, lines.front().find(L"program.cpp("));
}

TEST_F(ProgramRunTest, UnrecognisedArgumentLogsAndDoesNothing)
{
    EXPECT_EQ(0u, RunProduct(L"/k"));
    const size_t before = LogSize();
    for (const wchar_t* argument : {L"/k", L"\"\"", L"k", L"-x", L"install"})
        EXPECT_EQ(0u, RunProduct(argument));
    EXPECT_EQ(before, LogSize());
}

TEST_F(ProgramRunTest, TwoArgumentsAreServiceMode)
{
    EXPECT_EQ(0u, RunProduct(L"/k"));
    const size_t before = LogSize();
    EXPECT_EQ(0u, RunProduct(L"-i extra"));
    const std::vector<std::wstring> lines = LogLinesAfter(before);
    EXPECT_TRUE(HasMessage(lines, L"Start Varnholt Scheduling Service"));
    EXPECT_TRUE(HasMessage(lines, L"StartServiceCtrlDispatcher failed, error code = 1063"));
    EXPECT_TRUE(HasMessage(lines, L"EXIT Varnholt Scheduling Service"));
    EXPECT_FALSE(HasMessage(lines, L"Install"));
}

}  // namespace
