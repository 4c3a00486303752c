#include "log/event_log.h"

#include "log/logger.h"
#include "support/unique_resource.h"
#include "tests/common/event_recording.h"
#include "tests/common/log_capture.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// The highest %n that a message text refers to.
size_t HighestInsert(const std::wstring& text)
{
    size_t highest = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != L'%')
            continue;
        if (text[i + 1] == L'%') {
            ++i;
            continue;
        }
        size_t number = 0;
        size_t j = i + 1;
        while (j < text.size() && std::iswdigit(text[j]))
            number = number * 10 + static_cast<size_t>(text[j++] - L'0');
        highest = std::max(highest, number);
    }
    return highest;
}

std::wstring MessageText(HMODULE module, DWORD id, DWORD flags, DWORD_PTR* arguments)
{
    wchar_t text[4096];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | flags, module, id,
                                        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 4096,
                                        reinterpret_cast<va_list*>(arguments));
    return std::wstring(text, length);
}

}  // namespace

TEST(EventMessagesTest, EveryEventHasItsTextWithTheInsertsTheCodePasses)
{
    const UniqueModule product(
        LoadLibraryExW(ProductExePath().c_str(), /*hFile=*/nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(product);

    const WORD expectedIds[] = {1000, 1001, 1100, 1101, 1102, 1103, 1104, 1105, 1200, 1201, 1300, 1400, 1900, 1901, 1999};
    ASSERT_EQ(std::size(expectedIds), std::size(kEventDefinitions));
    for (size_t i = 0; i < std::size(kEventDefinitions); ++i) {
        const EventDefinition& event = kEventDefinitions[i];
        SCOPED_TRACE(VisibleEventId(event.MessageId));
        EXPECT_EQ(expectedIds[i], VisibleEventId(event.MessageId));
        EXPECT_EQ(i, static_cast<size_t>(event.Kind));
        // The severity in the ID's top bits agrees with the event's type.
        const DWORD severity = event.MessageId >> 30;
        const DWORD expectedSeverity = event.Type == EVENTLOG_ERROR_TYPE     ? 3
                                       : event.Type == EVENTLOG_WARNING_TYPE ? 2
                                                                             : 1;
        EXPECT_EQ(expectedSeverity, severity);

        const std::wstring raw = MessageText(product.Get(), event.MessageId,
                                             FORMAT_MESSAGE_IGNORE_INSERTS, nullptr);
        ASSERT_FALSE(raw.empty()) << "no text in the executable's message table";
        EXPECT_EQ(event.Inserts, HighestInsert(raw)) << raw;

        std::vector<std::wstring> inserts;
        std::vector<DWORD_PTR> arguments;
        for (size_t n = 1; n <= event.Inserts; ++n)
            inserts.push_back(L"<insert " + std::to_wstring(n) + L">");
        for (const std::wstring& insert : inserts)
            arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
        arguments.push_back(0);
        const std::wstring filled =
            MessageText(product.Get(), event.MessageId, FORMAT_MESSAGE_ARGUMENT_ARRAY, arguments.data());
        for (const std::wstring& insert : inserts)
            EXPECT_NE(std::wstring::npos, filled.find(insert)) << filled;
        EXPECT_EQ(std::wstring::npos, filled.find(L'%')) << filled;
    }
}

TEST(EventThrottleTest, KeepsBackTheSameEventForAnHour)
{
    CEventThrottle throttle;
    const ULONGLONG start = 1000;
    EXPECT_TRUE(throttle.Admit(1, {L"a", L"b"}, start));
    EXPECT_FALSE(throttle.Admit(1, {L"a", L"b"}, start + kEventRepeatMs - 1));
    // Another ID, other inserts, or inserts that only join to the same text: other events.
    EXPECT_TRUE(throttle.Admit(2, {L"a", L"b"}, start + 1));
    EXPECT_TRUE(throttle.Admit(1, {L"a", L"c"}, start + 1));
    EXPECT_TRUE(throttle.Admit(1, {L"ab", L""}, start + 1));
    EXPECT_TRUE(throttle.Admit(1, {L"a", L"b"}, start + kEventRepeatMs));
    EXPECT_FALSE(throttle.Admit(1, {L"a", L"b"}, start + kEventRepeatMs + 1));
}

TEST(EventThrottleTest, ForgetsOldEventsWithoutLosingRecentOnes)
{
    CEventThrottle throttle;
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(throttle.Admit(1, {std::to_wstring(i)}, static_cast<ULONGLONG>(i)));
    EXPECT_FALSE(throttle.Admit(1, {L"999"}, 2000));
    EXPECT_TRUE(throttle.Admit(1, {L"0"}, kEventRepeatMs + 10));
}

class EventReportTest : public ::testing::Test {
protected:
    EventReportTest() { SetEventSink(&m_sink); }
    ~EventReportTest() override { SetEventSink(nullptr); }

    ProductKeyReset m_reset;
    CapturedLog m_log{0};
    RecordingEventSink m_sink;
};

TEST_F(EventReportTest, ALevelZeroFailureLineBecomesOneEventPerHour)
{
    LOG(0, L"OpenThing failed, error code = %d", SystemError(ERROR_ACCESS_DENIED));
    LOG(0, L"OpenThing failed, error code = %d", SystemError(ERROR_ACCESS_DENIED));
    LOG(0, L"OpenThing failed, error code = %d", SystemError(ERROR_FILE_NOT_FOUND));
    // Not failures with a system error code, or not at level 0: no event.
    LOG(0, L"Starting Scan.");
    LOG(0, L"Plain number %d", static_cast<DWORD>(ERROR_ACCESS_DENIED));
    LOG(1, L"Minor failure, error code = %d", SystemError(ERROR_ACCESS_DENIED));

    const std::vector<RecordedEvent> events = m_sink.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(1999, events[0].Id);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].Type);
    EXPECT_EQ(std::vector<std::wstring>{L"OpenThing failed, error code = 5"}, events[0].Inserts);
    EXPECT_EQ(std::vector<std::wstring>{L"OpenThing failed, error code = 2"}, events[1].Inserts);
}

TEST_F(EventReportTest, FailedReportsAreCountedAndLoggedAtTheStop)
{
    m_sink.Fail(true);
    const LONG before = EventReportFailures();
    ReportServiceEvent(EventKind::ServiceStarted, {L"1.0.0"});
    EXPECT_EQ(before + 1, EventReportFailures());
    ReportServiceStopped(1234);
    EXPECT_EQ(before + 2, EventReportFailures());
    EXPECT_TRUE(m_log.Has(std::to_wstring(before + 2) + L" reports to the Event Log failed"));
    // Each report was made once and no failure line turned into another report.
    const std::vector<RecordedEvent> events = m_sink.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(1000, events[0].Id);
    EXPECT_EQ(1001, events[1].Id);
    EXPECT_EQ(std::vector<std::wstring>{L"1234"}, events[1].Inserts);
}

TEST_F(EventReportTest, ReportsPassExactlyTheirInsertsAndNothingWithoutASink)
{
    ReportServiceEvent(EventKind::TaskEnded, {L"App", L"0", L"12", L"extra"});
    ReportServiceEvent(EventKind::TaskNotStarted, {L"App"});
    SetEventSink(nullptr);
    ReportServiceEvent(EventKind::TaskAtLimit, {L"App"});
    const std::vector<RecordedEvent> events = m_sink.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ((std::vector<std::wstring>{L"App", L"0", L"12"}), events[0].Inserts);
    EXPECT_EQ((std::vector<std::wstring>{L"App", L"", L""}), events[1].Inserts);
}
