#include "log/logger.h"

#include "support/srw_lock.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/links.h"
#include "tests/common/log_capture.h"
#include "tests/common/product_log.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/times.h"
#include "tests/common/unix_side.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(LogLineTest, FramesNameLineTimeAndMessage)
{
    EXPECT_EQ(L"worker.cpp(236) : [09:05:03] Starting Scan. \n",
              FrameLogLine("C:\\src\\schedule\\worker.cpp", 236, SystemTimeOfDay(9, 5, 3), L"Starting Scan."));
    // A cross build's __FILE__ separates with slashes.
    EXPECT_EQ(L"worker.cpp(7) : [23:59:59] x \n",
              FrameLogLine("schedule/worker.cpp", 7, SystemTimeOfDay(23, 59, 59), L"x"));
    EXPECT_EQ(L"plain.cpp(1) : [00:00:00]  \n",
              FrameLogLine("plain.cpp", 1, SystemTimeOfDay(0, 0, 0), L""));
    // A '%' in the source name is text, not a conversion.
    EXPECT_EQ(L"100%s.cpp(2) : [01:02:03] m \n",
              FrameLogLine("dir\\100%s.cpp", 2, SystemTimeOfDay(1, 2, 3), L"m"));
}

TEST(LogLineTest, LongLineIsCutButKeepsItsEnd)
{
    const std::wstring line = FrameLogLine("a.cpp", 1, SystemTimeOfDay(1, 2, 3), std::wstring(5000, L'x'));
    EXPECT_EQ(1023u, line.size());
    EXPECT_EQ(L" \n", line.substr(line.size() - 2));
}

TEST(LogLevelTest, MagnitudeOfThresholdDecides)
{
    EXPECT_TRUE(LevelPasses(0, 0));
    EXPECT_FALSE(LevelPasses(1, 0));
    EXPECT_TRUE(LevelPasses(2, 2));
    EXPECT_FALSE(LevelPasses(3, 2));
    EXPECT_TRUE(LevelPasses(2, static_cast<LONG>(0xFFFFFFFE)));   // -2 acts as 2
    EXPECT_FALSE(LevelPasses(3, static_cast<LONG>(0xFFFFFFFE)));
    EXPECT_TRUE(LevelPasses(6, static_cast<LONG>(0x80000000)));   // no magnitude: all pass
    EXPECT_TRUE(LevelPasses(0x7FFFFFFF, static_cast<LONG>(0x80000000)));
}

TEST(MemoryLogTest, KeepsLinesWithinItsLimit)
{
    CLogFile log;
    ExclusiveLock holdLog(log.Lock);
    EXPECT_TRUE(log.AppendToMemoryLog(std::wstring(600, L'a') + L"\n"));
    EXPECT_FALSE(log.AppendToMemoryLog(std::wstring(500, L'b')));   // 601 + 500 > 1000
    EXPECT_TRUE(log.AppendToMemoryLog(std::wstring(100, L'c')));    // no line feed: one is added
    EXPECT_EQ(702u, log.MemoryLog().size());
    EXPECT_EQ(L'\n', log.MemoryLog().back());
    EXPECT_FALSE(log.AppendToMemoryLog(std::wstring(1001, L'd')));

    CLogFile exact;
    ExclusiveLock holdExact(exact.Lock);
    EXPECT_TRUE(exact.AppendToMemoryLog(std::wstring(1000, L'e')));   // reaches 1001 with its line feed
    EXPECT_EQ(1001u, exact.MemoryLog().size());
}

// Each test logs into a folder of its own, with the product key reset.
class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_savedDirectory = LogDirectory;
        m_savedIdentity = LogDirectoryIdentity;
        SetLogDirectory(m_folder.Path(), FileIdentityAt(m_folder.Path()));
    }
    void TearDown() override
    {
        CloseTheLog();
        SetLogDirectory(m_savedDirectory, m_savedIdentity);
    }
    std::wstring TodaysFile() const
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        return DailyLogPath(now);
    }

    ProductKeyReset m_reset;
    ScratchDirectory m_folder;
    std::wstring m_savedDirectory;
    FileIdentity m_savedIdentity;
};

TEST_F(LogFileTest, NewFileGetsOneHeaderAndCrLfLines)
{
    ASSERT_TRUE(OpenDailyLog());
    LOG(0, L"first %s and %d", L"wide", 42);
    LOG(0, L"two\nlines and a\r\npair");
    ASSERT_TRUE(OpenDailyLog());   // the same day's file again: no second header
    LOG(0, L"after reopen");

    const std::string bytes = ReadFileBytes(TodaysFile());
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(std::string("\xEF\xBB\xBF\r\n"), bytes.substr(0, 5));
    EXPECT_EQ(std::string::npos, bytes.find("\xEF\xBB\xBF", 5));
    EXPECT_NE(std::string::npos, bytes.find("] first wide and 42 \r\n"));
    EXPECT_NE(std::string::npos, bytes.find("] two\r\nlines and a\r\r\npair \r\n"));
    EXPECT_NE(std::string::npos, bytes.find("] after reopen \r\n"));
    EXPECT_NE(std::string::npos, bytes.find("logger_test.cpp("));
}

TEST_F(LogFileTest, DebugValueSetsTheThreshold)
{
    SetProductDword(L"", L"Debug", 2);
    ASSERT_TRUE(OpenDailyLog());
    LOG(1, L"level one");
    LOG(2, L"level two");
    LOG(3, L"level three");
    SetProductDword(L"", L"Debug", 0);
    OpenDailyLog();
    LOG(1, L"dropped after refresh");

    const std::wstring text = ReadUtf8File(TodaysFile());
    EXPECT_NE(std::wstring::npos, text.find(L"] level one "));
    EXPECT_NE(std::wstring::npos, text.find(L"] level two "));
    EXPECT_EQ(std::wstring::npos, text.find(L"level three"));
    EXPECT_EQ(std::wstring::npos, text.find(L"dropped after refresh"));
}

TEST_F(LogFileTest, NonAsciiTextIsWrittenAsUtf8)
{
    ASSERT_TRUE(OpenDailyLog());
    LOG(0, L"AppName %s: %d secs", L"Prüfung-日本", 5);
    const std::string bytes = ReadFileBytes(TodaysFile());
    EXPECT_NE(std::string::npos, bytes.find("Pr\xC3\xBC" "fung-\xE6\x97\xA5\xE6\x9C\xAC: 5 secs"));
}

TEST_F(LogFileTest, LastErrorSurvivesLogging)
{
    ASSERT_TRUE(OpenDailyLog());
    SetLastError(1234);
    LOG(0, L"written");
    EXPECT_EQ(1234u, GetLastError());
    SetLastError(4321);
    LOG(5, L"dropped");
    EXPECT_EQ(4321u, GetLastError());
}

TEST_F(LogFileTest, MissingDirectoryLeavesNoFileOpen)
{
    LogDirectory = m_folder.Path() + L"\\absent";
    EXPECT_FALSE(OpenDailyLog());
    EXPECT_EQ(INVALID_HANDLE_VALUE, TheLogFileHandle());
    LOG(0, L"only to the debugger and memory");   // must not fail
}

const char kHeader[] = "\xEF\xBB\xBF\r\n";

SYSTEMTIME LocalTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

// A task started before midnight logs its end after it: that line belongs in the new day's
// file, since a line carries only the time of day.
TEST_F(LogFileTest, FileFollowsTheDateOfEachLine)
{
    CLogFile log;
    ExclusiveLock hold(log.Lock);
    ASSERT_TRUE(log.OpenForDate(LocalTime(2023, 12, 31, 23, 40, 0)));
    EXPECT_TRUE(log.FollowDate(LocalTime(2023, 12, 31, 23, 59, 59)));
    log.WriteLine(L"Starting Scan. \n");
    EXPECT_TRUE(log.FollowDate(LocalTime(2024, 1, 1, 1, 30, 0)));
    log.WriteLine(L"Scan Finished. \n");
    // A date that differs in the month or the year alone is another date as well.
    EXPECT_TRUE(log.FollowDate(LocalTime(2024, 2, 1)));
    log.WriteLine(L"February \n");
    EXPECT_TRUE(log.FollowDate(LocalTime(2025, 2, 1)));
    log.WriteLine(L"next year \n");
    log.Close();

    EXPECT_EQ(std::string(kHeader) + "Starting Scan. \r\n", ReadFileBytes(DailyLogPath(LocalTime(2023, 12, 31))));
    EXPECT_EQ(std::string(kHeader) + "Scan Finished. \r\n", ReadFileBytes(DailyLogPath(LocalTime(2024, 1, 1))));
    EXPECT_EQ(std::string(kHeader) + "February \r\n", ReadFileBytes(DailyLogPath(LocalTime(2024, 2, 1))));
    EXPECT_EQ(std::string(kHeader) + "next year \r\n", ReadFileBytes(DailyLogPath(LocalTime(2025, 2, 1))));
}

// LogMessage itself makes the switch, with the time it frames the line with.
TEST_F(LogFileTest, LogMessageWritesIntoTheFileOfItsDate)
{
    {
        CLogFile& log = TheLogFile();
        ExclusiveLock hold(log.Lock);
        ASSERT_TRUE(log.OpenForDate(LocalTime(2001, 2, 3)));
    }
    LOG(0, L"written today");
    EXPECT_EQ(std::string(kHeader), ReadFileBytes(DailyLogPath(LocalTime(2001, 2, 3))));
    EXPECT_NE(std::wstring::npos, ReadUtf8File(TodaysFile()).find(L"] written today \r\n"));
}

// A user who could plant a link under the day's name must not get the service to create or
// append to a file elsewhere. These links are made from the Unix side, so Wine shows them as
// plain files: only the final path of the opened file gives them away.
TEST_F(LogFileTest, LinkUnderTheDaysNameIsNeverWrittenThrough)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "links are made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    const std::wstring target = elsewhere.File(L"theirs.txt");
    const FILETIME longAgo = {0x5E8F0000, 0x01D00000};
    ASSERT_TRUE(WriteFileWrittenAt(target, longAgo));
    const std::wstring inside = m_folder.File(L"other.log");
    ASSERT_TRUE(WriteFileWrittenAt(inside, longAgo));

    for (const std::wstring& linkTarget : {target, inside}) {
        FileLink link(TodaysFile(), linkTarget);
        ASSERT_TRUE(link.Made());
        EXPECT_FALSE(OpenDailyLog());
        EXPECT_EQ(INVALID_HANDLE_VALUE, TheLogFileHandle());
        LOG(0, L"must not reach the target");
        EXPECT_EQ("x", ReadFileBytes(linkTarget));
    }
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(0, CompareFileTime(&longAgo, &data.ftLastWriteTime));
}

// The folder renamed away after start-up and a link put in its place (a process pins its
// folder, on Windows as under Wine, so this test holds no pin, as a process whose pin was
// lost would not): the day's file is neither created nor written through the link, since
// the folder is known by its identity, not its path.
TEST_F(LogFileTest, FolderReplacedByALinkGetsNoLine)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "a folder link is made from the Unix side, which only Wine offers";
    ScratchDirectory parent;
    const std::wstring folder = parent.File(L"Varnholt");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    SetLogDirectory(folder, FileIdentityAt(folder));
    ASSERT_TRUE(OpenDailyLog());
    LOG(0, L"before the swap");
    CloseTheLog();

    ScratchDirectory elsewhere;
    ASSERT_TRUE(MoveFileW(folder.c_str(), parent.File(L"moved").c_str()));
    DirectoryLink link(folder, elsewhere.Path());
    ASSERT_TRUE(link.Made());
    EXPECT_FALSE(OpenDailyLog());
    LOG(0, L"after the swap");
    WIN32_FIND_DATAW data = {};
    const UniqueFindHandle find(FindFirstFileW(elsewhere.File(L"*.log").c_str(), &data));
    EXPECT_FALSE(find) << "a file was made in the other folder";
}

// A link whose target does not exist yet: opening the day's file must not create it.
TEST_F(LogFileTest, DanglingLinkCreatesNothing)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "links are made from the Unix side, which only Wine offers";
    ScratchDirectory elsewhere;
    const std::wstring target = elsewhere.File(L"planted.log");
    ASSERT_TRUE(WriteFileWrittenAt(target, FILETIME{0x5E8F0000, 0x01D00000}));
    FileLink link(TodaysFile(), target);
    ASSERT_TRUE(link.Made());
    // Wine lists a link only while its target exists: put it back before the link goes.
    struct RestoreTarget {
        std::wstring Path;
        ~RestoreTarget() { WriteFileWrittenAt(Path, FILETIME{0x5E8F0000, 0x01D00000}); }
    } restore{target};
    ASSERT_TRUE(DeleteFileW(target.c_str()));

    EXPECT_FALSE(OpenDailyLog());
    LOG(0, L"must not create the target");
    EXPECT_FALSE(FileExists(target));
}

// A junction under the day's name, planted the Windows way, leads nowhere: nothing is
// opened through it, and nothing is created where it points.
TEST_F(LogFileTest, JunctionUnderTheDaysNameIsRefused)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine 8 makes no junctions (FSCTL_SET_REPARSE_POINT fails with 50); "
                        "its links are tested from the Unix side";
    ScratchDirectory elsewhere;
    ASSERT_TRUE(MakeJunction(TodaysFile(), elsewhere.Path())) << "error " << GetLastError();
    EXPECT_FALSE(OpenDailyLog());
    EXPECT_EQ(INVALID_HANDLE_VALUE, TheLogFileHandle());
    LOG(0, L"must not reach the target");
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW(elsewhere.File(L"*").c_str(), &data));
    ASSERT_TRUE(find);
    do {
        const std::wstring name = data.cFileName;
        EXPECT_TRUE(name == L"." || name == L"..") << "created through the junction: " << testing::PrintToString(name);
    } while (FindNextFileW(find.Get(), &data));
    const DWORD attributes = GetFileAttributesW(TodaysFile().c_str());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_REPARSE_POINT) << "the junction was replaced";
}

// A second name for someone else's file, or a folder, under the day's name is refused too.
TEST_F(LogFileTest, HardLinkOrFolderUnderTheDaysNameIsRefused)
{
    ScratchDirectory elsewhere;
    const std::wstring target = elsewhere.File(L"theirs.txt");
    ASSERT_TRUE(WriteFileWrittenAt(target, FILETIME{0x5E8F0000, 0x01D00000}));
    ASSERT_TRUE(CreateHardLinkW(TodaysFile().c_str(), target.c_str(), nullptr));
    EXPECT_FALSE(OpenDailyLog());
    LOG(0, L"must not reach the target");
    EXPECT_EQ("x", ReadFileBytes(target));
    ASSERT_TRUE(DeleteFileW(TodaysFile().c_str()));

    ASSERT_TRUE(CreateDirectoryW(TodaysFile().c_str(), nullptr));
    EXPECT_FALSE(OpenDailyLog());
    EXPECT_EQ(INVALID_HANDLE_VALUE, TheLogFileHandle());
}

// Several threads log while another reopens the file again and again: every line must
// arrive whole, on a line of its own.
TEST_F(LogFileTest, ConcurrentLinesStayWholeWhileTheFileIsReopened)
{
    ASSERT_TRUE(OpenDailyLog());
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    volatile LONG writersDone = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &writersDone] {
            for (int i = 0; i < kLines; ++i)
                LOG(0, L"thread %d line %d %s", t, i, L"abcdefghijklmnopqrstuvwxyz0123456789");
            InterlockedIncrement(&writersDone);
        });
    }
    std::thread reopener([&writersDone] {
        while (writersDone < kThreads)
            OpenDailyLog();
    });
    for (std::thread& thread : threads)
        thread.join();
    reopener.join();

    const std::wstring text = ReadUtf8File(TodaysFile());
    std::vector<int> seen(kThreads * kLines, 0);
    size_t start = text.find(L"\r\n") + 2;   // after the header line
    int lines = 0;
    while (start < text.size()) {
        const size_t end = text.find(L"\r\n", start);
        ASSERT_NE(std::wstring::npos, end) << "torn last line";
        const std::wstring message = MessageOf(text.substr(start, end - start));
        int t = -1, i = -1;
        wchar_t tail[64] = L"";
        ASSERT_EQ(3, swscanf(message.c_str(), L"thread %d line %d %63ls", &t, &i, tail))
            << "torn line: " << message;
        ASSERT_EQ(std::wstring(L"abcdefghijklmnopqrstuvwxyz0123456789"), tail);
        ++seen.at(t * kLines + i);
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(kThreads * kLines, lines);
    for (int count : seen)
        EXPECT_EQ(1, count);
}

// Anyone may read the day's file. A reader that opens it without sharing write, in the
// moment between a close and an open of the logger's, would keep the logger from its file
// for the rest of the day. The seam puts such a reader in that very moment, should there be
// one: the file stays open from pass to pass, so there is none, and every line arrives.
std::wstring& ReaderTarget = *new std::wstring();
UniqueFileHandle& ReaderHandle = *new UniqueFileHandle();
void ReaderInTheGap(const wchar_t*)
{
    if (!ReaderHandle)
        ReaderHandle.Reset(CreateFileW(ReaderTarget.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST_F(LogFileTest, AReaderWithoutWriteSharingFindsNoMomentBetweenPasses)
{
    ASSERT_TRUE(OpenDailyLog());
    ReaderTarget = TodaysFile();
    SetLogFileOpenHookForTests(ReaderInTheGap);
    for (int pass = 0; pass < 3; ++pass) {
        // Outside the passes, such a reader is refused while the logger holds the file.
        const UniqueFileHandle refused(CreateFileW(ReaderTarget.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_FALSE(refused) << "pass " << pass;
        EXPECT_TRUE(OpenDailyLog()) << "pass " << pass;
        LOG(0, L"line of pass %d", pass);
    }
    SetLogFileOpenHookForTests(nullptr);
    const bool readerGotIn = static_cast<bool>(ReaderHandle);
    ReaderHandle.Reset();
    EXPECT_FALSE(readerGotIn);
    const std::wstring text = ReadUtf8File(TodaysFile());
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_NE(std::wstring::npos, text.find(L"] line of pass " + std::to_wstring(pass) + L" \r\n"));
}

}  // namespace
