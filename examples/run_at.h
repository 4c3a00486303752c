#pragma once
// The arithmetic of the example schedule query program: a daily time of day written as
// "HH:MM", and the seconds from now until the local clock next shows it. Plain functions
// without state or system calls other than the time-zone conversions; any thread may call
// them.
#include <windows.h>

struct TimeOfDay {
    WORD Hour;     // 0 to 23
    WORD Minute;   // 0 to 59
};

// Accepts exactly two digits, a colon and two digits, from 00:00 to 23:59 ("02:30").
// Everything else is refused: "24:00", "12:60", "2:30", "02:3x", "", blanks before or
// after, seconds ("02:30:00"), digits other than ASCII 0 to 9. On failure returns false
// and leaves out untouched.
bool ParseTimeOfDay(const wchar_t* text, TimeOfDay& out);

// The seconds from nowUtc until the next moment at which the local clock of zone shows
// `at` (seconds 0), rounded up, so never 0: a moment less than a second away counts as 1,
// and the moment itself is already past, which gives the next day's.
//
// Local days are not taken to last 86400 seconds: each candidate day's `at` is turned into
// UTC by the zone's own rules, so across a change of daylight-saving time the answer is an
// hour shorter or longer. Two readings of the clock need a rule of their own:
// - A time that the clock skips when it is put forward (02:30 when 02:00 becomes 03:00)
//   is reached the length of the gap later, at 03:30 new time: the moment the old clock
//   would have shown 02:30. The day's run is late, not lost.
// - A time that the clock shows twice when it is put back (02:30 when 03:00 becomes 02:00)
//   counts once, at its first occurrence. Once that has passed, the next is the next day's,
//   so the task does not run twice in one night.
//
// The rules are the zone's StandardDate, DaylightDate and biases, applied to every year;
// give GetTimeZoneInformation's record for the computer's own zone. Returns false when
// the zone's record cannot be applied (a conversion failed); seconds is then untouched.
bool SecondsUntilNextRun(const SYSTEMTIME& nowUtc, const TIME_ZONE_INFORMATION& zone,
                         TimeOfDay at, DWORD& seconds);
