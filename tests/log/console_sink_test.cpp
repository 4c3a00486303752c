#include "log/console_sink.h"

#include "log/logger.h"
#include "support/console_text.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/registry.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/text.h"
#include "tests/common/times.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

const std::wstring kIndent(11, L' ');

// "[hh:mm:ss] " in front of message, and nothing else.
bool IsStampedLine(const std::wstring& line, const std::wstring& message)
{
    if (line.size() != 11 + message.size() || line.compare(11, std::wstring::npos, message) != 0)
        return false;
    for (size_t i : {1u, 2u, 4u, 5u, 7u, 8u}) {
        if (!iswdigit(line[i]))
            return false;
    }
    return line[0] == L'[' && line[3] == L':' && line[6] == L':' && line.compare(9, 2, L"] ") == 0;
}

TEST(ConsoleLineTest, TimeAndMessageWithoutTheSourceAndWithCrLf)
{
    EXPECT_EQ(L"[09:05:03] Starting Scan.\r\n",
              ConsoleLineText(SystemTimeOfDay(9, 5, 3), L"Starting Scan.", LoggedError{}));
    EXPECT_EQ(L"[23:59:59] two\r\nlines and a\r\npair\r\n",
              ConsoleLineText(SystemTimeOfDay(23, 59, 59), L"two\nlines and a\r\npair", LoggedError{}));
}

TEST(ConsoleLineTest, ErrorCodeIsFollowedByItsTextAndAccessDeniedByTheManagerByAHint)
{
    ASSERT_FALSE(SystemMessage(ERROR_SERVICE_DOES_NOT_EXIST).empty());
    ASSERT_FALSE(SystemMessage(ERROR_ACCESS_DENIED).empty());
    EXPECT_EQ(L"[01:02:03] OpenService failed, error code = 1060\r\n" + kIndent +
                  SystemMessage(ERROR_SERVICE_DOES_NOT_EXIST) + L"\r\n",
              ConsoleLineText(SystemTimeOfDay(1, 2, 3), L"OpenService failed, error code = 1060",
                              ServiceManagerError(ERROR_SERVICE_DOES_NOT_EXIST)));

    const std::vector<std::wstring> denied = LinesOf(ErrorExplanation(ServiceManagerError(ERROR_ACCESS_DENIED)));
    ASSERT_EQ(2u, denied.size());
    EXPECT_EQ(kIndent + SystemMessage(ERROR_ACCESS_DENIED), denied[0]);
    EXPECT_EQ(kIndent + L"Run this command from an elevated command prompt (Run as administrator).",
              denied[1]);
    // Elsewhere access denied is not about elevation.
    EXPECT_EQ(kIndent + SystemMessage(ERROR_ACCESS_DENIED) + L"\r\n",
              ErrorExplanation(SystemError(ERROR_ACCESS_DENIED)));

    EXPECT_EQ(L"", ErrorExplanation(LoggedError{}));
    const DWORD textless = 0x2000ABCD;   // a customer code: the system has no text for it
    ASSERT_TRUE(SystemMessage(textless).empty());
    EXPECT_EQ(L"", ErrorExplanation(SystemError(textless)));
}

TEST(ConsoleTextTest, SystemErrorTextIsTrimmedAndKeepsTheLastError)
{
    SetLastError(4321);
    const std::wstring text = SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(4321u, GetLastError());
    EXPECT_EQ(SystemMessage(ERROR_FILE_NOT_FOUND), text);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(L'\n', text.back());
    EXPECT_NE(L'\r', text.back());
}

// The sink on one end of a pipe; the test reads the other.
class ConsoleSinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16));
        m_read.Reset(read);
        m_write.Reset(write);
    }
    void TearDown() override { StopConsoleSink(); }
    // Turns the sink off and returns what arrived, as lines.
    std::vector<std::wstring> Shown()
    {
        StopConsoleSink();
        m_write.Reset();   // the reader then sees the end of what was written
        std::string bytes;
        char chunk[4096];
        DWORD read = 0;
        while (ReadFile(m_read.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
            bytes.append(chunk, read);
        return LinesOf(WideFromUtf8(bytes));
    }

    ProductKeyReset m_reset;
    UniqueHandle m_read;
    UniqueHandle m_write;
};

TEST_F(ConsoleSinkTest, ShowsTheFilesLinesAndLevelOneBeyondTheThreshold)
{
    CapturedLog log(0);
    ASSERT_TRUE(StartConsoleSink(m_write.Get()));
    LOG(0, L"Install");
    LOG(1, L"Service installed");
    LOG(2, L"AppName %s: %d secs", L"Demo", 5);
    const std::vector<std::wstring> lines = Shown();
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(IsStampedLine(lines[0], L"Install")) << lines[0];
    EXPECT_TRUE(IsStampedLine(lines[1], L"Service installed")) << lines[1];
    // The file keeps its own threshold.
    EXPECT_EQ(std::vector<std::wstring>{L"Install"}, log.Messages());
}

TEST_F(ConsoleSinkTest, FollowsAHigherThreshold)
{
    CapturedLog log(2);
    ASSERT_TRUE(StartConsoleSink(m_write.Get()));
    LOG(2, L"AppName %s: %d secs", L"Pr\u00fcfung", 5);
    LOG(3, L"Launching '%s'", L"x.exe");
    const std::vector<std::wstring> lines = Shown();
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(IsStampedLine(lines[0], L"AppName Pr\u00fcfung: 5 secs")) << lines[0];
    EXPECT_EQ(1, log.Count(L"AppName Pr\u00fcfung: 5 secs"));
}

TEST_F(ConsoleSinkTest, ErrorCodeIsExplainedOnTheConsoleOnly)
{
    CapturedLog log(0);
    ASSERT_TRUE(StartConsoleSink(m_write.Get()));
    SetLastError(4321);
    LOG(0, L"OpenSCManager failed, error code = %d", ServiceManagerError(ERROR_ACCESS_DENIED));
    EXPECT_EQ(4321u, GetLastError());
    const std::vector<std::wstring> lines = Shown();
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(IsStampedLine(lines[0], L"OpenSCManager failed, error code = 5")) << lines[0];
    EXPECT_EQ(kIndent + SystemMessage(ERROR_ACCESS_DENIED), lines[1]);
    EXPECT_NE(std::wstring::npos, lines[2].find(L"elevated command prompt"));

    EXPECT_EQ(std::vector<std::wstring>{L"OpenSCManager failed, error code = 5"}, log.Messages());
    EXPECT_EQ(std::wstring::npos, log.Text().find(SystemMessage(ERROR_ACCESS_DENIED)));
}

TEST_F(ConsoleSinkTest, StopsShowingWhenTurnedOff)
{
    CapturedLog log(0);
    ASSERT_TRUE(StartConsoleSink(m_write.Get()));
    LOG(0, L"shown");
    StopConsoleSink();
    LOG(0, L"file only");
    LOG(1, L"nowhere");
    const std::vector<std::wstring> lines = Shown();
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(IsStampedLine(lines[0], L"shown"));
    EXPECT_EQ((std::vector<std::wstring>{L"shown", L"file only"}), log.Messages());
}

TEST(ConsoleSinkStreamTest, TakesConsolesPipesAndFilesOnly)
{
    ProductKeyReset reset;
    CapturedLog log(0);
    EXPECT_FALSE(StartConsoleSink(nullptr));
    EXPECT_FALSE(StartConsoleSink(INVALID_HANDLE_VALUE));
    UniqueHandle event(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    EXPECT_FALSE(StartConsoleSink(event.Get()));
    LOG(0, L"with the sink off");

    // A file, as standard error redirected with 2>file, gets UTF-8.
    ScratchDirectory folder;
    const std::wstring path = folder.File(L"errors.txt");
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(StartConsoleSink(file.Get()));
    LOG(0, L"AppName %s", L"Pr\u00fcfung-\u65e5\u672c");
    StopConsoleSink();
    file.Reset();
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(std::string::npos, bytes.find("with the sink off"));
    ASSERT_EQ(std::string(" AppName Pr\xC3\xBC" "fung-\xE6\x97\xA5\xE6\x9C\xAC\r\n"),
              bytes.substr(bytes.find(']') + 1));
}

}  // namespace
