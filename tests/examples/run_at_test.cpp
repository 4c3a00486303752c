#include "examples/run_at.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseTimeOfDayTest, AcceptsTwoDigitsColonTwoDigitsWithinADay)
{
    const struct {
        const wchar_t* Text;
        WORD Hour;
        WORD Minute;
    } accepted[] = {{L"00:00", 0, 0}, {L"02:30", 2, 30}, {L"09:05", 9, 5}, {L"23:59", 23, 59}};
    for (const auto& c : accepted) {
        TimeOfDay time = {99, 99};
        ASSERT_TRUE(ParseTimeOfDay(c.Text, time)) << c.Text[0] << c.Text[1];
        EXPECT_EQ(c.Hour, time.Hour);
        EXPECT_EQ(c.Minute, time.Minute);
    }
}

TEST(ParseTimeOfDayTest, RefusesAnythingElseAndLeavesTheResultAlone)
{
    const wchar_t* refused[] = {
        L"", L"24:00", L"23:60", L"99:99", L"2:30", L"02:3", L"2:3x", L"02:3x", L"0230",
        L"02-30", L"02.30", L" 02:30", L"02:30 ", L"02:30:00", L"+2:30", L"-1:30", L":0230",
        L"\uFF10\uFF12:\uFF13\uFF10",   // full-width digits
        L"\u0662\u0660:\u0663\u0660",   // Arabic-Indic digits
    };
    for (const wchar_t* text : refused) {
        TimeOfDay time = {7, 8};
        EXPECT_FALSE(ParseTimeOfDay(text, time)) << "text of length " << wcslen(text);
        EXPECT_EQ(7, time.Hour);
        EXPECT_EQ(8, time.Minute);
    }
    TimeOfDay time = {7, 8};
    EXPECT_FALSE(ParseTimeOfDay(nullptr, time));
}

SYSTEMTIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0,
               WORD milliseconds = 0)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = milliseconds;
    return time;
}

SYSTEMTIME Rule(WORD month, WORD weekOfMonth, WORD hour)
{
    SYSTEMTIME rule = {};   // wYear 0: every year; wDayOfWeek 0: Sunday
    rule.wMonth = month;
    rule.wDay = weekOfMonth;   // 5: the last one of the month
    rule.wHour = hour;
    return rule;
}

// UTC+1, UTC+2 from the last Sunday of March at 02:00 to the last Sunday of October at
// 03:00. In 2024: 31 March 01:00 UTC, and 27 October 01:00 UTC.
TIME_ZONE_INFORMATION CentralEurope()
{
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = -60;
    zone.StandardBias = 0;
    zone.DaylightBias = -60;
    zone.StandardDate = Rule(10, 5, 3);
    zone.DaylightDate = Rule(3, 5, 2);
    return zone;
}

// UTC+10, UTC+11 from the first Sunday of October at 02:00 to the first Sunday of April at
// 03:00: summer time across the new year. In 2024 it starts on 5 October at 16:00 UTC.
TIME_ZONE_INFORMATION EasternAustralia()
{
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = -600;
    zone.DaylightBias = -60;
    zone.StandardDate = Rule(4, 1, 3);
    zone.DaylightDate = Rule(10, 1, 2);
    return zone;
}

// UTC+05:30 all year.
TIME_ZONE_INFORMATION India()
{
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = -330;
    return zone;
}

DWORD SecondsUntil(const TIME_ZONE_INFORMATION& zone, const SYSTEMTIME& nowUtc, const wchar_t* at)
{
    TimeOfDay time = {};
    EXPECT_TRUE(ParseTimeOfDay(at, time));
    DWORD seconds = 0;
    EXPECT_TRUE(SecondsUntilNextRun(nowUtc, zone, time, seconds));
    return seconds;
}

constexpr DWORD kHour = 3600;

TEST(SecondsUntilNextRunTest, OrdinaryDays)
{
    const TIME_ZONE_INFORMATION cet = CentralEurope();
    // 01:00 local: 02:30 is later today.
    EXPECT_EQ(kHour + 1800, SecondsUntil(cet, Utc(2024, 1, 15, 0, 0), L"02:30"));
    // 03:00 local: 02:30 has passed, so tomorrow's.
    EXPECT_EQ(23 * kHour + 1800, SecondsUntil(cet, Utc(2024, 1, 15, 2, 0), L"02:30"));
    // Exactly 02:30 local: that moment is past, the next is a day away.
    EXPECT_EQ(24 * kHour, SecondsUntil(cet, Utc(2024, 1, 15, 1, 30), L"02:30"));
    // Half a second before: rounded up, never 0.
    EXPECT_EQ(1u, SecondsUntil(cet, Utc(2024, 1, 15, 1, 29, 59, 500), L"02:30"));
    // A zone with a half-hour offset and no daylight-saving time.
    EXPECT_EQ(23 * kHour + 1800, SecondsUntil(India(), Utc(2024, 3, 31, 0, 0), L"05:00"));
}

TEST(SecondsUntilNextRunTest, Midnight)
{
    const TIME_ZONE_INFORMATION cet = CentralEurope();
    EXPECT_EQ(kHour, SecondsUntil(cet, Utc(2024, 1, 15, 22, 0), L"00:00"));        // from 23:00
    EXPECT_EQ(24 * kHour, SecondsUntil(cet, Utc(2024, 1, 14, 23, 0), L"00:00"));   // at 00:00
    EXPECT_EQ(24 * kHour - 60, SecondsUntil(cet, Utc(2024, 1, 14, 23, 0), L"23:59"));
    // Across the end of a month and of a year.
    EXPECT_EQ(1800u, SecondsUntil(cet, Utc(2023, 12, 31, 22, 30), L"00:00"));
    EXPECT_EQ(1800u, SecondsUntil(cet, Utc(2024, 2, 29, 22, 30), L"00:00"));
}

TEST(SecondsUntilNextRunTest, ClockPutForward)
{
    const TIME_ZONE_INFORMATION cet = CentralEurope();
    // The day the clock goes from 02:00 to 03:00 lasts 23 hours: 03:00 to 03:00.
    EXPECT_EQ(23 * kHour, SecondsUntil(cet, Utc(2024, 3, 30, 2, 0), L"03:00"));
    // 02:30 does not exist that night: the run comes at 03:30 new time, 01:30 UTC.
    EXPECT_EQ(14 * kHour + 1800, SecondsUntil(cet, Utc(2024, 3, 30, 11, 0), L"02:30"));
    EXPECT_EQ(2700u, SecondsUntil(cet, Utc(2024, 3, 31, 0, 45), L"02:30"));   // from 01:45
    // 02:00 itself is skipped too: the run comes as the clock jumps, at 03:00 new time.
    EXPECT_EQ(900u, SecondsUntil(cet, Utc(2024, 3, 31, 0, 45), L"02:00"));
    // Just after the jump the skipped 02:30 is still 30 minutes away, not a day.
    EXPECT_EQ(1800u, SecondsUntil(cet, Utc(2024, 3, 31, 1, 0), L"02:30"));
    // The zone's own rules decide, in the southern hemisphere as well.
    EXPECT_EQ(14 * kHour + 1800,
              SecondsUntil(EasternAustralia(), Utc(2024, 10, 5, 2, 0), L"02:30"));
    EXPECT_EQ(kHour, SecondsUntil(EasternAustralia(), Utc(2024, 1, 15, 1, 0), L"13:00"));
}

TEST(SecondsUntilNextRunTest, ClockPutBack)
{
    const TIME_ZONE_INFORMATION cet = CentralEurope();
    // The day the clock goes from 03:00 back to 02:00 lasts 25 hours.
    EXPECT_EQ(25 * kHour, SecondsUntil(cet, Utc(2024, 10, 26, 1, 0), L"03:00"));
    // 02:30 comes twice that night; the run is at the first, 02:30 summer time (00:30 UTC).
    EXPECT_EQ(14 * kHour + 1800, SecondsUntil(cet, Utc(2024, 10, 26, 10, 0), L"02:30"));
    // At 02:40 summer time the first has passed; the second is not a new run, so the next
    // is Monday's 02:30 (01:30 UTC), 24 hours 50 minutes away.
    EXPECT_EQ(24 * kHour + 50 * 60, SecondsUntil(cet, Utc(2024, 10, 27, 0, 40), L"02:30"));
    // From 01:00 summer time, 03:00 winter time is three hours away, not two.
    EXPECT_EQ(3 * kHour, SecondsUntil(cet, Utc(2024, 10, 26, 23, 0), L"03:00"));
}

}  // namespace
