#include "service/program.h"

#include "support/security_descriptor.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

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

constexpr ACCESS_MASK kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
const wchar_t kEveryone[] = L"S-1-1-0";
const wchar_t kAuthenticatedUsers[] = L"S-1-5-11";
const wchar_t kUsers[] = L"S-1-5-32-545";

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

TEST_F(ProgramRunTest, CreatesTheLogDirectoryClosedToOtherUsers)
{
    RemoveTree(ProductLogDirectory());
    EXPECT_EQ(0u, RunProduct(L"/k"));
    // Wine reports SYSTEM and the owner for a folder made with the service's DACL, but
    // read access for Everyone as well for one made with the parent's security.
    const std::vector<AceEntry> aces = AcesOf(ProductLogDirectory());
    ASSERT_FALSE(aces.empty());
    EXPECT_EQ(0u, RightsGrantedTo(aces, kEveryone));
    EXPECT_EQ(0u, RightsGrantedTo(aces, kAuthenticatedUsers));
    EXPECT_EQ(0u, RightsGrantedTo(aces, kUsers) & ~kReadAndExecute);
}

TEST_F(ProgramRunTest, ExistingLogDirectoryKeepsItsSecurity)
{
    RemoveTree(ProductLogDirectory());
    ASSERT_TRUE(CreateDirectoryW(ProductLogDirectory().c_str(), nullptr));
    const std::wstring before = SecurityTextOf(ProductLogDirectory());
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(0u, RunProduct(L"/k"));
    EXPECT_EQ(before, SecurityTextOf(ProductLogDirectory()));
}

TEST_F(ProgramRunTest, StartUpPrunesOldLogsBeforeLookingAtTheCommandLine)
{
    EXPECT_EQ(0u, RunProduct(L"/k"));   // the directory and the day's file exist
    const std::wstring oldLog = ProductLogDirectory() + L"\\Scheduler-20000101.log";
    const std::wstring notes = ProductLogDirectory() + L"\\notes.txt";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const FILETIME longAgo = ShiftFileTime(now, -20 * kFileTimeUnitsPerDay);
    ASSERT_TRUE(WriteFileWrittenAt(oldLog, longAgo));
    ASSERT_TRUE(WriteFileWrittenAt(notes, longAgo));
    SetProductDword(L"", L"Debug", 2);

    const size_t before = LogSize();
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_FALSE(FileExists(oldLog));
    EXPECT_TRUE(FileExists(notes));
    EXPECT_TRUE(FileExists(TodaysProductLog()));
    DeleteFileW(notes.c_str());

    std::vector<std::wstring> messages;
    for (const std::wstring& line : LogLinesAfter(before))
        messages.push_back(MessageOf(line));
    const auto pruned = std::find(messages.begin(), messages.end(), L"Prune log file " + oldLog);
    const auto stop = std::find(messages.begin(), messages.end(), std::wstring(L"Stop"));
    ASSERT_NE(messages.end(), pruned);
    ASSERT_NE(messages.end(), stop);
    EXPECT_LT(pruned, stop);
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
