#pragma once
// Times as test data (file times moved by a span, times of day for framed lines), and the
// system time read precisely.
#include <windows.h>

constexpr long long kFileTimeUnitsPerDay = 864000000000LL;

// The system time in 100-ns units since 1601, as GetSystemTimePreciseAsFileTime gives it.
long long PreciseNow();

// A time moved by a signed number of 100-nanosecond units.
FILETIME ShiftFileTime(const FILETIME& time, long long units);

// A SYSTEMTIME that holds only the time of day given (the date is all zero).
SYSTEMTIME SystemTimeOfDay(WORD hour, WORD minute, WORD second);
