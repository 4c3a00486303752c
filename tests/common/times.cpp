#include "tests/common/times.h"

long long PreciseNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
}

FILETIME ShiftFileTime(const FILETIME& time, long long units)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += static_cast<unsigned long long>(units);   // wraps as a signed sum would
    FILETIME shifted;
    shifted.dwLowDateTime = value.LowPart;
    shifted.dwHighDateTime = value.HighPart;
    return shifted;
}

SYSTEMTIME SystemTimeOfDay(WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME t = {};
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}
