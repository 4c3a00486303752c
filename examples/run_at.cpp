#include "examples/run_at.h"

namespace {

// FILETIME counts 100-nanosecond ticks.
constexpr long long kTicksPerSecond = 10000000;
constexpr long long kTicksPerMinute = 60 * kTicksPerSecond;
constexpr long long kTicksPerHour = 60 * kTicksPerMinute;
constexpr long long kTicksPerDay = 24 * kTicksPerHour;
// Today's time may be past and tomorrow's may fall in a gap that pushes it on; the day
// after that always lies ahead.
constexpr int kDaysToTry = 3;

bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

WORD TwoDigits(const wchar_t* text)
{
    return static_cast<WORD>((text[0] - L'0') * 10 + (text[1] - L'0'));
}

// A SYSTEMTIME as ticks since 1601 and back, with no time zone involved: used both for
// UTC instants and for plain readings of a local clock.
bool ToTicks(const SYSTEMTIME& time, long long& ticks)
{
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file))
        return false;
    ticks = static_cast<long long>((static_cast<unsigned long long>(file.dwHighDateTime) << 32) |
                                   file.dwLowDateTime);
    return true;
}

bool FromTicks(long long ticks, SYSTEMTIME& time)
{
    if (ticks < 0)
        return false;
    const unsigned long long value = static_cast<unsigned long long>(ticks);
    FILETIME file;
    file.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    file.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return FileTimeToSystemTime(&file, &time) != FALSE;
}

// The UTC instant at which the zone's clock reads localTicks, under the rules documented in
// the header. The zone is at one of two offsets; an offset is right for a reading when the
// instant it gives shows that reading again (SystemTimeToTzSpecificLocalTime is the one
// authority on which offset is in force at an instant). Two right offsets: the reading
// comes twice, take the earlier instant. None: the reading falls in a gap, take the later
// instant, which is the earlier offset's, the clock as it was before it was put forward.
// The local-to-UTC direction of the API is not used because its answer inside a gap or a
// repeated hour is not documented.
bool LocalReadingToUtc(const TIME_ZONE_INFORMATION& zone, long long localTicks, long long& utcTicks)
{
    const LONG biases[2] = {zone.Bias + zone.StandardBias, zone.Bias + zone.DaylightBias};
    bool anyConverted = false;
    bool anyRight = false;
    long long earliestRight = 0;
    long long latest = 0;
    for (const LONG bias : biases) {
        // UTC = local time + bias, the bias in minutes.
        const long long candidate = localTicks + bias * kTicksPerMinute;
        SYSTEMTIME utc;
        SYSTEMTIME shown;
        long long shownTicks = 0;
        if (!FromTicks(candidate, utc) || !SystemTimeToTzSpecificLocalTime(&zone, &utc, &shown) ||
            !ToTicks(shown, shownTicks))
            continue;
        if (!anyConverted || candidate > latest)
            latest = candidate;
        anyConverted = true;
        if (shownTicks == localTicks && (!anyRight || candidate < earliestRight)) {
            earliestRight = candidate;
            anyRight = true;
        }
    }
    if (!anyConverted)
        return false;
    utcTicks = anyRight ? earliestRight : latest;
    return true;
}

}  // namespace

bool ParseTimeOfDay(const wchar_t* text, TimeOfDay& out)
{
    if (text == nullptr)
        return false;
    // Every index is tested before the next one is read, so a short text ends the test at
    // its terminator.
    if (!IsAsciiDigit(text[0]) || !IsAsciiDigit(text[1]) || text[2] != L':' ||
        !IsAsciiDigit(text[3]) || !IsAsciiDigit(text[4]) || text[5] != L'\0')
        return false;
    const WORD hour = TwoDigits(text);
    const WORD minute = TwoDigits(text + 3);
    if (hour > 23 || minute > 59)
        return false;
    out.Hour = hour;
    out.Minute = minute;
    return true;
}

bool SecondsUntilNextRun(const SYSTEMTIME& nowUtc, const TIME_ZONE_INFORMATION& zone,
                         TimeOfDay at, DWORD& seconds)
{
    long long nowTicks = 0;
    SYSTEMTIME nowLocal;
    if (!ToTicks(nowUtc, nowTicks) || !SystemTimeToTzSpecificLocalTime(&zone, &nowUtc, &nowLocal))
        return false;
    // The local date at 00:00, as a clock reading: adding whole days to a reading moves the
    // calendar, whatever the clock does in between.
    SYSTEMTIME localMidnight = nowLocal;
    localMidnight.wHour = 0;
    localMidnight.wMinute = 0;
    localMidnight.wSecond = 0;
    localMidnight.wMilliseconds = 0;
    long long midnightTicks = 0;
    if (!ToTicks(localMidnight, midnightTicks))
        return false;

    for (int day = 0; day < kDaysToTry; ++day) {
        const long long reading = midnightTicks + day * kTicksPerDay + at.Hour * kTicksPerHour +
                                  at.Minute * kTicksPerMinute;
        long long runTicks = 0;
        if (!LocalReadingToUtc(zone, reading, runTicks))
            return false;
        if (runTicks > nowTicks) {
            seconds = static_cast<DWORD>((runTicks - nowTicks + kTicksPerSecond - 1) / kTicksPerSecond);
            return true;
        }
    }
    return false;
}
