#pragma once
// Every duration of the scheduler, the child runner and the push-script supervisor, with
// the product's values, and the clocks the worker reads. The loops take a Timings so that
// tests can run them in seconds, and show a sleep or a late start that Wine cannot; the
// service always runs with ProductTimings().
#include "support/clock.h"

#include <windows.h>

struct Timings {
    DWORD StartDelayMs = 15000;              // the worker's first action
    DWORD WaitBoundMs = 1800000;             // the longest single wait for a due time
    DWORD RunNowThresholdSeconds = 1800;     // a due time reached runs the task only below this
    LONG TaskLimitSeconds = 43200;           // a main task's limit (twelve hours)
    DWORD SpacingMs = 240000;                // from the start of a run to the next check
    DWORD CheckRequestGapMs = 10000;         // from the end of a pass a check request caused to the next
    ULONGLONG LateRunSeconds = 120;          // a run later than this is reported
    LONG QueryLimitSeconds = 60;             // a schedule query program's limit
    DWORD KillGraceMs = 5000;                // between WM_QUIT and termination
    DWORD PushStartSleepMs = 1000;           // before each look at the push script
    DWORD PushWaitMs = 240000;               // one wait on the running push script
    LONG PushPauseMs = 300000;               // between the script's end and its relaunch
    LONG PushStepMs = 2000;                  // the step in which the pause notices a stop
    ULONGLONG (*TimeUnitsNow)() = &SystemTimeUnitsNow;   // the worker's wall clock
    ULONGLONG (*SleptMs)() = &ComputerSleptMs;           // the computer's sleep so far
};

inline const Timings& ProductTimings()
{
    static const Timings timings;
    return timings;
}
