#include "log/log_pruner.h"

#include "log/logger.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/log_capture.h"
#include "tests/common/product_log.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/times.h"
#include "tests/common/unix_side.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

FILETIME FileTimeOf(unsigned long long units)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(units);
    time.dwHighDateTime = static_cast<DWORD>(units >> 32);
    return time;
}

unsigned long long UnitsOf(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

TEST(PruneCutoffTest, FourteenDaysBeforeNow)
{
    const unsigned long long now = 133500000000000000ULL;   // January 2024
    EXPECT_EQ(now - 12096000000000ULL, UnitsOf(PruneCutoff(FileTimeOf(now))));
    EXPECT_EQ(now - 12096000000000ULL, UnitsOf(CLogPruner(FileIdentity(), FileTimeOf(now)).Cutoff()));
    EXPECT_EQ(0u, UnitsOf(PruneCutoff(FileTimeOf(5))));
}

TEST(PruneCutoffTest, OnlyStrictlyOlderIsPruned)
{
    const FILETIME cutoff = {0x00000010, 0x01DA0000};
    EXPECT_FALSE(IsOlderThanCutoff(cutoff, cutoff));
    EXPECT_TRUE(IsOlderThanCutoff(FILETIME{0x0000000F, 0x01DA0000}, cutoff));
    EXPECT_FALSE(IsOlderThanCutoff(FILETIME{0x00000011, 0x01DA0000}, cutoff));
    // The high part outweighs any low part.
    EXPECT_TRUE(IsOlderThanCutoff(FILETIME{0xFFFFFFFF, 0x01D9FFFF}, cutoff));
    EXPECT_FALSE(IsOlderThanCutoff(FILETIME{0x00000000, 0x01DA0001}, cutoff));
}

TEST(LogFileNameTest, OwnNameMustEndInDotLog)
{
    for (const wchar_t* name : {L"a.log", L"Scheduler-20240101.log", L"A.LOG", L"x.Log", L".log",
                                L"x.logold.log", L"X~1.LOG"})
        EXPECT_TRUE(IsLogFileName(name)) << "taken: " << testing::PrintToString(std::wstring(name));
    for (const wchar_t* name : {L"", L"log", L"a.lo", L"alog", L"x.logold", L"x.log.", L"x.log ",
                                L"x.log.txt", L"x.lÖg", L"x.İog"})
        EXPECT_FALSE(IsLogFileName(name)) << "refused: " << testing::PrintToString(std::wstring(name));
}

// Each test prunes a folder of its own, which is also where its log lines go (level 2
// passes), with the day's log file open in it.
class LogPrunerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedDirectory = LogDirectory;
        m_savedIdentity = LogDirectoryIdentity;
        SetLogDirectory(m_folder.Path(), FileIdentityAt(m_folder.Path()));
        SetProductDword(L"", L"Debug", 2);
        ASSERT_TRUE(OpenDailyLog());
        GetSystemTimeAsFileTime(&m_now);
    }
    void TearDown() override
    {
        CloseTheLog();
        SetLogDirectory(m_savedDirectory, m_savedIdentity);
    }

    std::wstring TodaysFile() const
    {
        SYSTEMTIME today;
        GetLocalTime(&today);
        return DailyLogPath(today);
    }
    std::wstring Path(const std::wstring& relative) const { return m_folder.File(relative); }
    void WriteAgedFile(const std::wstring& relative, long long ageUnits)
    {
        ASSERT_TRUE(WriteFileWrittenAt(Path(relative), ShiftFileTime(m_now, -ageUnits)));
    }
    void MakeDirectory(const std::wstring& relative)
    {
        ASSERT_TRUE(CreateDirectoryW(Path(relative).c_str(), nullptr));
    }
    std::vector<std::wstring> PruneMessages() const
    {
        std::vector<std::wstring> messages;
        const std::wstring text = ReadUtf8File(TodaysFile());
        size_t start = 0;
        for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
            const std::wstring message = MessageOf(text.substr(start, end - start));
            if (message.compare(0, 15, L"Prune log file ") == 0)
                messages.push_back(message.substr(15));
        }
        return messages;
    }

    static constexpr long long kTwentyDays = 20 * kFileTimeUnitsPerDay;

    ProductKeyReset m_reset;
    ScratchDirectory m_folder;
    std::wstring m_savedDirectory;
    FileIdentity m_savedIdentity;
    FILETIME m_now = {};
};

TEST_F(LogPrunerTest, FileAtTheCutoffStaysAndOneAMomentOlderGoes)
{
    const FILETIME cutoff = PruneCutoff(m_now);
    ASSERT_TRUE(WriteFileWrittenAt(Path(L"at-cutoff.log"), cutoff));
    ASSERT_TRUE(WriteFileWrittenAt(Path(L"older.log"), ShiftFileTime(cutoff, -1)));

    CLogPruner pruner(LogDirectoryIdentity, m_now);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_TRUE(FileExists(Path(L"at-cutoff.log")));
    EXPECT_FALSE(FileExists(Path(L"older.log")));
    EXPECT_EQ(std::vector<std::wstring>({Path(L"older.log")}), PruneMessages());
}

// Log files only ever lie at the top of the folder: a folder is never walked into nor
// deleted, whatever its name, and a failed deletion is still announced.
TEST_F(LogPrunerTest, PrunesTopLevelLogFilesOnly)
{
    WriteAgedFile(L"old.log", kTwentyDays);
    WriteAgedFile(L"old.txt", kTwentyDays);
    WriteAgedFile(L"locked.log", kTwentyDays);
    ASSERT_TRUE(SetFileAttributesW(Path(L"locked.log").c_str(), FILE_ATTRIBUTE_READONLY));
    MakeDirectory(L"x.log");
    WriteAgedFile(L"x.log\\a.log", kTwentyDays);
    MakeDirectory(L"x.log\\y.log");
    WriteAgedFile(L"x.log\\y.log\\old.log", kTwentyDays);
    ASSERT_TRUE(SetLastWriteTime(Path(L"x.log\\y.log"), ShiftFileTime(m_now, -kTwentyDays)));
    ASSERT_TRUE(SetLastWriteTime(Path(L"x.log"), ShiftFileTime(m_now, -kTwentyDays)));

    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_FALSE(FileExists(Path(L"old.log")));
    EXPECT_TRUE(FileExists(Path(L"old.txt")));
    EXPECT_TRUE(FileExists(Path(L"locked.log")));
    EXPECT_TRUE(FileExists(Path(L"x.log\\a.log")));
    EXPECT_TRUE(FileExists(Path(L"x.log\\y.log\\old.log")));
    EXPECT_TRUE(FileExists(TodaysFile()));
    std::vector<std::wstring> messages = PruneMessages();
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(std::vector<std::wstring>({Path(L"locked.log"), Path(L"old.log")}), messages);
}

// A file of another folder is never deleted, whether the link to it was there at the
// listing or swapped in after it. Under Wine a Unix symbolic link to a file lists as a
// plain file with its target's times, and every open follows it.
TEST_F(LogPrunerTest, LinkToAFileOfAnotherFolderIsLeftAndNamed)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a file link is made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    ASSERT_TRUE(WriteFileWrittenAt(elsewhere.File(L"theirs.txt"), ShiftFileTime(m_now, -kTwentyDays)));
    FileLink link(Path(L"b.log"), elsewhere.File(L"theirs.txt"));
    ASSERT_TRUE(link.Made());
    WriteAgedFile(L"c.log", kTwentyDays);

    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_TRUE(FileExists(elsewhere.File(L"theirs.txt")));
    EXPECT_FALSE(FileExists(Path(L"c.log")));
    EXPECT_NE(std::wstring::npos,
              ReadUtf8File(TodaysFile()).find(L"Not pruning " + Path(L"b.log") +
                                              L": not a plain file of the log folder"));
}

// Swaps the listed candidate for a link to a file elsewhere between the listing and the
// opening, as a user racing the pruner would.
class SwappingPruner : public CLogPruner {
public:
    SwappingPruner(const FileIdentity& folder, const std::wstring& target)
        : CLogPruner(folder), m_target(target)
    {
    }
    int Swapped() const { return m_swapped; }

protected:
    void BeforeOpen(const std::wstring& path) override
    {
        if (!DeleteFileW(path.c_str()))
            return;
        m_links.push_back(std::make_unique<FileLink>(path, m_target));
        m_swapped += m_links.back()->Made() ? 1 : 0;
    }

private:
    std::wstring m_target;
    std::vector<std::unique_ptr<FileLink>> m_links;
    int m_swapped = 0;
};

TEST_F(LogPrunerTest, CandidateSwappedForALinkAfterTheListingLeavesTheTargetAlone)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a file link is made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    const std::wstring target = elsewhere.File(L"precious.txt");
    ASSERT_TRUE(WriteFileWrittenAt(target, ShiftFileTime(m_now, -kTwentyDays)));
    WriteAgedFile(L"old.log", kTwentyDays);

    SwappingPruner pruner(LogDirectoryIdentity, target);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    ASSERT_EQ(1, pruner.Swapped());
    EXPECT_TRUE(FileExists(target));
}

// A pruner held up before it opens its file, as an opportunistic lock that is never let go
// would hold up the deletion.
class HeldUpPruner : public CLogPruner {
public:
    HeldUpPruner(const FileIdentity& folder, HANDLE release) : CLogPruner(folder), m_release(release) {}

protected:
    void BeforeOpen(const std::wstring&) override { WaitForSingleObject(m_release, INFINITE); }

private:
    HANDLE m_release;
};

TEST_F(LogPrunerTest, AHeldUpPruningDoesNotHoldUpTheStart)
{
    WriteAgedFile(L"old.log", kTwentyDays);
    const UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release);
    EXPECT_FALSE(PruneWithin(std::make_unique<HeldUpPruner>(LogDirectoryIdentity, release.Get()),
                             m_folder.Path(), 300));
    EXPECT_NE(std::wstring::npos, ReadUtf8File(TodaysFile()).find(
                                      L"Pruning old log files is taking too long; going on without it"));
    EXPECT_TRUE(FileExists(Path(L"old.log")));
    SetEvent(release.Get());
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(Path(L"old.log")); }, 5000)) << "it went on";

    WriteAgedFile(L"old.log", kTwentyDays);
    EXPECT_TRUE(PruneWithin(std::make_unique<CLogPruner>(LogDirectoryIdentity), m_folder.Path(), 5000));
    EXPECT_FALSE(FileExists(Path(L"old.log")));
}

TEST_F(LogPrunerTest, BelowLevelTwoDeletesWithoutALine)
{
    TheLogFile().SetThreshold(1);
    WriteAgedFile(L"old.log", kTwentyDays);
    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_FALSE(FileExists(Path(L"old.log")));
    EXPECT_TRUE(PruneMessages().empty());
}

// Where the file system keeps 8.3 names (Wine makes one for every long name), the search
// for "*.log" also lists "x.logold" by its short name "X~...LOG": such entries stay, and
// a folder of that kind is not walked.
TEST_F(LogPrunerTest, ShortNameMatchesAreLeftAlone)
{
    WriteAgedFile(L"x.logold", kTwentyDays);
    MakeDirectory(L"folder.logs");
    WriteAgedFile(L"folder.logs\\inner.log", kTwentyDays);
    ASSERT_TRUE(SetLastWriteTime(Path(L"folder.logs"), ShiftFileTime(m_now, -kTwentyDays)));
    WriteAgedFile(L"OLD.LOG", kTwentyDays);

    int listed = 0;
    CFindCursor cursor;
    for (cursor.FindFirst(Path(L"*.log").c_str()); cursor.IsOpen(); cursor.FindNext())
        listed += cursor.GetFileName() == L"x.logold" || cursor.GetFileName() == L"folder.logs" ? 1 : 0;
    if (listed != 2)
        GTEST_SKIP() << "this file system lists no entry by its short name";

    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_TRUE(FileExists(Path(L"x.logold")));
    EXPECT_TRUE(FileExists(Path(L"folder.logs\\inner.log")));
    EXPECT_FALSE(FileExists(Path(L"OLD.LOG")));
    EXPECT_EQ(std::vector<std::wstring>({Path(L"OLD.LOG")}), PruneMessages());
}

// Offered every entry (pattern "*"), the pruner still takes only names ending in ".log".
TEST_F(LogPrunerTest, TakesOnlyLogNamesWhateverThePattern)
{
    WriteAgedFile(L"old.txt", kTwentyDays);
    WriteAgedFile(L"old.log", kTwentyDays);
    MakeDirectory(L"archive");
    WriteAgedFile(L"archive\\old.log", kTwentyDays);

    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), L"*"));
    EXPECT_TRUE(FileExists(Path(L"old.txt")));
    EXPECT_TRUE(FileExists(Path(L"archive\\old.log")));
    EXPECT_FALSE(FileExists(Path(L"old.log")));
}

// A user who may write in the log folder plants a link named like a log file that leads
// to a folder of someone else's logs: none of those may go.
TEST_F(LogPrunerTest, PlantedDirectoryLinkLeadsNowhere)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a directory link is made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    const FILETIME old = ShiftFileTime(m_now, -kTwentyDays);
    ASSERT_TRUE(WriteFileWrittenAt(elsewhere.File(L"theirs.log"), old));
    // An old target makes the link itself a candidate: deleting it must not reach through.
    ASSERT_TRUE(SetLastWriteTime(elsewhere.Path(), old));
    DirectoryLink link(Path(L"planted.log"), elsewhere.Path());
    ASSERT_TRUE(link.Made());
    WriteAgedFile(L"old.log", kTwentyDays);

    CLogPruner pruner(LogDirectoryIdentity);
    EXPECT_TRUE(pruner.Enumerate(m_folder.Path(), kLogFilePattern));
    EXPECT_FALSE(FileExists(Path(L"old.log")));
    EXPECT_TRUE(FileExists(elsewhere.File(L"theirs.log")));
    EXPECT_TRUE(FileExists(elsewhere.Path()));
}

}  // namespace
