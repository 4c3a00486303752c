#pragma once
// One pass over the applications registered under the product key: each application's
// schedule query program answers how many seconds remain until its main task is due.
#include "schedule/timings.h"
#include "support/registry_key.h"

#include <windows.h>

#include <string>

struct ScheduleCheckResult {
    std::wstring AppToRun;   // the application whose main task runs next; empty for none
    DWORD NextCheck = 0;     // seconds until it is due, or until the next pass
};

// The number of seconds a pass may answer at most when MaxCheckIntevalSecs is not set.
inline constexpr DWORD kDefaultCheckCapSeconds = 86400;

// Runs every schedule query program under productKey (an open product key, used only as
// the parent; without a handle nothing is queried) and returns the smallest non-zero answer
// below the cap, the first enumerated winning a tie. Resets ScheduleEnabled to 0 before and
// after each query. Never fails: what cannot be read counts as no answer. Once
// SchedulerStopFlag is set the pass ends before the next application, leaving the rest
// untouched. Worker thread only.
ScheduleCheckResult CheckSchedules(const CRegistryKey& productKey,
                                   const Timings& timings = ProductTimings());
