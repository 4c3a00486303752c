#include "service/program_options.h"

#include "log/log_directory.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"
#include "tests/common/debugged_run.h"
#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/processes.h"
#include "tests/common/product_log.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/security.h"
#include "tests/common/service_manager.h"
#include "tests/common/times.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>

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
const char kHeader[] = "\xEF\xBB\xBF\r\n";

// The folders that start-up moved aside beside the log folder.
std::vector<std::wstring> MovedAsideFolders()
{
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW data = {};
    const std::wstring pattern = ProductLogDirectory() + L".untrusted-*";
    const UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    const std::wstring parent = ProductLogDirectory().substr(0, ProductLogDirectory().rfind(L'\\'));
    for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.Get(), &data) != FALSE)
        folders.push_back(parent + L"\\" + data.cFileName);
    return folders;
}

// Runs of the real executable under Wine.
class ProgramRunTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const std::wstring& folder : MovedAsideFolders())
            RemoveTree(folder);
    }
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

TEST_F(ProgramRunTest, TrustedLogDirectoryIsLeftAsItIs)
{
    RemoveTree(ProductLogDirectory());
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              CreateDirectoryWithSddl(ProductLogDirectory(), kLogDirectorySddl));
    const std::wstring before = SecurityTextOf(ProductLogDirectory());
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(0u, RunProduct(L"/k"));
    EXPECT_EQ(before, SecurityTextOf(ProductLogDirectory()));
    EXPECT_EQ(std::string(kHeader), ReadFileBytes(TodaysProductLog()));   // no repair line
}

// A folder that other accounts may change is moved aside with what it holds, and nothing in
// it is pruned; a fresh folder gets the log, and the next start finds that one trusted.
TEST_F(ProgramRunTest, OpenLogDirectoryIsMovedAsideOnce)
{
    RemoveTree(ProductLogDirectory());
    ASSERT_TRUE(CreateDirectoryW(ProductLogDirectory().c_str(), nullptr));
    CSecurityAttributes open(L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)");
    ASSERT_TRUE(SetFileSecurityW(ProductLogDirectory().c_str(), DACL_SECURITY_INFORMATION, open.Descriptor()));
    ASSERT_NE(0u, RightsGrantedTo(AcesOf(ProductLogDirectory()), kEveryone) & FILE_ADD_FILE);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::wstring oldName = L"\\Scheduler-20000101.log";
    ASSERT_TRUE(WriteFileWrittenAt(ProductLogDirectory() + oldName,
                                   ShiftFileTime(now, -20 * kFileTimeUnitsPerDay)));

    EXPECT_EQ(0u, RunProduct(L"/k"));
    const std::vector<std::wstring> moved = MovedAsideFolders();
    ASSERT_EQ(1u, moved.size());
    EXPECT_TRUE(FileExists(moved.front() + oldName)) << "left for an administrator to read";
    EXPECT_FALSE(FileExists(ProductLogDirectory() + oldName));
    EXPECT_EQ(0u, RightsGrantedTo(AcesOf(ProductLogDirectory()), kEveryone) & ~kReadAndExecute);

    EXPECT_EQ(0u, RunProduct(L"/k"));
    EXPECT_EQ(1u, MovedAsideFolders().size());
    int moves = 0;
    for (const std::wstring& line : LogLinesAfter(0))
        moves += MessageOf(line) == L"Log folder was not trusted and was moved aside to " + moved.front() ? 1 : 0;
    EXPECT_EQ(1, moves);
}

// A folder the service may not use gets no log file and loses no old log; the lines and
// the reason still reach the debugger output.
class RefusedLogDirectoryTest : public ProgramRunTest {
protected:
    void TearDown() override
    {
        RemoveTree(ProductLogDirectory());
        ProgramRunTest::TearDown();
    }

    static std::wstring TodaysName() { return TodaysProductLog().substr(ProductLogDirectory().size() + 1); }
    static bool Shows(const DebuggedRun& run, const std::wstring& text)
    {
        return std::any_of(run.DebugOutput.begin(), run.DebugOutput.end(),
                           [&](const std::wstring& output) { return output.find(text) != std::wstring::npos; });
    }
    // The start-up of a one-shot option, as the debugger saw it.
    static void ExpectNoticeAndLine(const DebuggedRun& run, const std::wstring& notice)
    {
        EXPECT_EQ(0u, run.ExitCode);
        EXPECT_TRUE(Shows(run, notice)) << "no notice \"" << testing::PrintToString(notice) << "\"";
        EXPECT_TRUE(Shows(run, L"] Stop \n")) << "the option's line did not reach the debugger";
    }
    FILETIME LongAgo() const
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return ShiftFileTime(now, -20 * kFileTimeUnitsPerDay);
    }
};

TEST_F(RefusedLogDirectoryTest, UnelevatedRunCreatesNothingAndKeepsNoLog)
{
    UniqueHandle unelevated(MakeUnelevatedToken());
    ASSERT_TRUE(unelevated);
    RemoveTree(ProductLogDirectory());
    DebuggedRun run = RunProductDebugged(L"-k", unelevated.Get());
    ExpectNoticeAndLine(run, L"neither LocalSystem nor elevated");
    EXPECT_FALSE(FileExists(ProductLogDirectory()));

    EXPECT_EQ(0u, RunProduct(L"/k"));   // an elevated run makes the folder
    ASSERT_TRUE(DeleteFileW(TodaysProductLog().c_str()));
    const std::wstring old = ProductLogDirectory() + L"\\Scheduler-20000101.log";
    ASSERT_TRUE(WriteFileWrittenAt(old, LongAgo()));
    run = RunProductDebugged(L"-k", unelevated.Get());
    ExpectNoticeAndLine(run, L"neither LocalSystem nor elevated");
    EXPECT_FALSE(FileExists(TodaysProductLog()));
    EXPECT_TRUE(FileExists(old));
}

// A link in place of the folder would lead the service's writes and deletions anywhere.
TEST_F(RefusedLogDirectoryTest, LinkedLogDirectoryIsNeitherWrittenNorPruned)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a link to a folder is made from the Unix side, which only Wine offers";
    RemoveTree(ProductLogDirectory());
    ScratchDirectory elsewhere;
    const std::wstring old = elsewhere.File(L"Scheduler-20000101.log");
    ASSERT_TRUE(WriteFileWrittenAt(old, LongAgo()));
    DirectoryLink link(ProductLogDirectory(), elsewhere.Path());
    ASSERT_TRUE(link.Made());

    ExpectNoticeAndLine(RunProductDebugged(L"-k"), L"is a link or no folder");
    EXPECT_TRUE(FileExists(old));
    EXPECT_FALSE(FileExists(elsewhere.File(TodaysName())));
}

// A junction, which any user who may create folders in the common application-data folder
// can plant there on Windows, leads no write or deletion anywhere either: unlike Wine's
// Unix link, it can be moved aside as itself.
TEST_F(RefusedLogDirectoryTest, JunctionAsTheLogDirectoryIsNeitherWrittenNorPruned)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine 8 makes no junctions (FSCTL_SET_REPARSE_POINT fails with 50); "
                        "its links are tested from the Unix side";
    RemoveTree(ProductLogDirectory());
    ScratchDirectory elsewhere;
    const std::wstring old = elsewhere.File(L"Scheduler-20000101.log");
    ASSERT_TRUE(WriteFileWrittenAt(old, LongAgo()));
    ASSERT_TRUE(MakeJunction(ProductLogDirectory(), elsewhere.Path())) << "error " << GetLastError();

    // The junction itself is moved aside, and a fresh folder gets the log.
    EXPECT_EQ(0u, RunProductDebugged(L"-k").ExitCode);
    EXPECT_TRUE(FileExists(old));
    EXPECT_FALSE(FileExists(elsewhere.File(TodaysName())));
    const std::vector<std::wstring> moved = MovedAsideFolders();
    ASSERT_EQ(1u, moved.size());
    EXPECT_NE(0u, GetFileAttributesW(moved.front().c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(0u, GetFileAttributesW(ProductLogDirectory().c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(FileExists(TodaysProductLog()));
}

// An administrator's prompt without elevation may not install the service: the service
// control manager refuses with 5, and the run leaves neither a service nor a log folder.
TEST_F(RefusedLogDirectoryTest, UnelevatedInstallFailsWithAccessDeniedAndCreatesNothing)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's service control manager grants every caller, elevated or not";
    RemoveServiceCompletely();
    RemoveTree(ProductLogDirectory());
    UniqueHandle unelevated(MakeUnelevatedToken());
    ASSERT_TRUE(unelevated);

    const DebuggedRun run = RunProductDebugged(L"-i", unelevated.Get());
    EXPECT_EQ(0u, run.ExitCode);
    EXPECT_TRUE(Shows(run, L"] OpenSCManager failed, error code = 5 \n"));
    EXPECT_EQ(0u, ServiceState());
    EXPECT_FALSE(FileExists(ProductLogDirectory()));
    RemoveServiceCompletely();
}

// Another Unix user's folder (Wine shows it owned by ANONYMOUS LOGON, and keeps no owner it
// is given) is moved aside like any other untrusted one.
TEST_F(ProgramRunTest, AnotherAccountsLogDirectoryIsMovedAsideUnpruned)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "another account's folder is made from the Unix side";
    RemoveTree(ProductLogDirectory());
    ASSERT_TRUE(CreateDirectoryW(ProductLogDirectory().c_str(), nullptr));
    const std::wstring oldName = L"\\Scheduler-20000101.log";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(WriteFileWrittenAt(ProductLogDirectory() + oldName,
                                   ShiftFileTime(now, -20 * kFileTimeUnitsPerDay)));
    if (!UnixSideRunsAsRoot())
        GTEST_SKIP() << "chown needs a test run as root";
    ASSERT_TRUE(GiveToAnotherUnixUser(ProductLogDirectory()));

    EXPECT_EQ(0u, RunProduct(L"/k"));
    const std::vector<std::wstring> moved = MovedAsideFolders();
    ASSERT_EQ(1u, moved.size());
    EXPECT_TRUE(FileExists(moved.front() + oldName));
    EXPECT_TRUE(FileExists(TodaysProductLog()));
}

// The pruner takes plain files at the top of the folder only: a folder named like a log
// keeps what it holds, and a link to a file elsewhere keeps its target and is named.
TEST_F(ProgramRunTest, PruningLeavesFoldersAndLinksAlone)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a file link is made from the Unix side, which only Wine offers";
    EXPECT_EQ(0u, RunProduct(L"/k"));   // the trusted folder and the day's file exist
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const FILETIME old = ShiftFileTime(now, -30 * kFileTimeUnitsPerDay);
    const std::wstring folder = ProductLogDirectory();
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\x.log").c_str(), nullptr));
    ASSERT_TRUE(WriteFileWrittenAt(folder + L"\\x.log\\a.log", old));
    ASSERT_TRUE(SetLastWriteTime(folder + L"\\x.log", old));
    ScratchDirectory elsewhere;
    ASSERT_TRUE(WriteFileWrittenAt(elsewhere.File(L"outside.txt"), old));
    FileLink link(folder + L"\\b.log", elsewhere.File(L"outside.txt"));
    ASSERT_TRUE(link.Made());
    ASSERT_TRUE(WriteFileWrittenAt(folder + L"\\c.log", old));

    const size_t before = LogSize();
    EXPECT_EQ(0u, RunProduct(L"-k"));
    EXPECT_TRUE(FileExists(folder + L"\\x.log\\a.log"));
    EXPECT_TRUE(FileExists(elsewhere.File(L"outside.txt")));
    EXPECT_FALSE(FileExists(folder + L"\\c.log"));
    EXPECT_TRUE(HasMessage(LogLinesAfter(before),
                           L"Not pruning " + folder + L"\\b.log: not a plain file of the log folder"));
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
    EXPECT_TRUE(HasMessage(lines, L"Not started by the service control manager; use -t to run in a console"));
    EXPECT_TRUE(HasMessage(lines, L"EXIT Varnholt Scheduling Service"));
    EXPECT_FALSE(HasMessage(lines, L"Install"));
}

}  // namespace

namespace {

// The folder is pinned from start-up on: while test mode runs, nobody can rename or remove
// it, under Wine as on Windows, and the day's file keeps its lines.
TEST_F(ProgramRunTest, LogFolderCannotBeRenamedOrRemovedWhileRunning)
{
    SetProductDword(L"", L"Debug", 2);
    EXPECT_EQ(0u, RunProduct(L"/k"));
    const size_t before = LogSize();
    auto testMode = std::make_unique<BackgroundProcess>(L"\"" + ProductExePath() + L"\" -t");
    ASSERT_TRUE(testMode->Started());
    // The check event exists from the first pass on, after the start delay.
    ASSERT_TRUE(WaitForLogMessage(before, L"Checked 0 schedules; NextCheck=86400, AppToRun=", 40000));

    const std::wstring moved = ProductLogDirectory() + L".moved-by-test";
    const BOOL renamed = MoveFileW(ProductLogDirectory().c_str(), moved.c_str());
    const DWORD renameError = GetLastError();
    if (renamed)
        MoveFileW(moved.c_str(), ProductLogDirectory().c_str());
    EXPECT_FALSE(renamed);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), renameError);
    // Refused for the pin, not merely because the day's file is in it.
    EXPECT_FALSE(RemoveDirectoryW(ProductLogDirectory().c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

    const size_t mark = LogSize();
    UniqueHandle check(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\VarnholtScheduleCheck"));
    ASSERT_TRUE(check);
    ASSERT_TRUE(SetEvent(check.Get()));
    EXPECT_TRUE(WaitForLogMessage(mark, L"Checked 0 schedules; NextCheck=86400, AppToRun=", 30000));
    testMode.reset();
}

// A file named as the log folder, put there by anyone who may create files in the common
// application-data folder, with every name the move could take in the next minute taken
// too: the start moves the file aside all the same, and logs to a fresh folder.
TEST_F(ProgramRunTest, FileAtTheFoldersPathIsMovedAsideWhateverNamesAreTaken)
{
    RemoveTree(ProductLogDirectory());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(WriteFileWrittenAt(ProductLogDirectory(), now));
    SYSTEMTIME local = {};
    GetLocalTime(&local);
    FILETIME localFile = {};
    ASSERT_TRUE(SystemTimeToFileTime(&local, &localFile));
    for (long long second = 0; second < 60; ++second) {
        SYSTEMTIME then = {};
        const FILETIME shifted = ShiftFileTime(localFile, second * 10000000LL);
        ASSERT_TRUE(FileTimeToSystemTime(&shifted, &then));
        ASSERT_TRUE(CreateDirectoryW(MovedAsideName(ProductLogDirectory(), then).c_str(), nullptr));
    }

    EXPECT_EQ(0u, RunProduct(L"/k"));
    const DWORD attributes = GetFileAttributesW(ProductLogDirectory().c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_DIRECTORY) << "a fresh folder";
    EXPECT_TRUE(FileExists(TodaysProductLog()));
    std::wstring movedTo;
    for (const std::wstring& line : LogLinesAfter(0)) {
        const std::wstring message = MessageOf(line);
        const std::wstring said = L"Log folder was not trusted and was moved aside to ";
        if (message.compare(0, said.size(), said) == 0)
            movedTo = message.substr(said.size());
    }
    ASSERT_FALSE(movedTo.empty()) << "the move is logged";
    EXPECT_EQ("x", ReadFileBytes(movedTo)) << "the file itself, moved aside";
    EXPECT_EQ(L"-2", movedTo.substr(movedTo.size() - 2));
}

}  // namespace
