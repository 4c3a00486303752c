#pragma once
// Numbers and durations as a person reads them, for the status command and the events.
#include <windows.h>

#include <string>

// A count in decimal.
std::wstring FormatNumber(ULONGLONG value);

// "45 s", "3 min 10 s", "2 h 5 min", "1 d 9 h": the two largest units, the smaller left out
// when 0.
std::wstring FormatDuration(ULONGLONG seconds);

// A UTC time as the computer's local date and time, "2026-12-10 02:00:00".
std::wstring FormatLocalDateTime(const FILETIME& utc);
