#pragma once
// One pass over the applications registered under the product key: each application's
// schedule query program answers how many seconds remain until its main task is due.
#include "schedule/state_record.h"
#include "schedule/timings.h"
#include "support/registry_key.h"

#include <windows.h>

#include <string>

struct ScheduleCheckResult {
    std::wstring AppToRun;   // the application whose main task runs next; empty for none
    DWORD NextCheck = 0;     // seconds until it is due, or until the next pass
    // When NextCheck falls due, in FILETIME units: the time its query program answered plus
    // its answer (the pass's end plus NextCheck when no application answered).
    ULONGLONG DueTime = 0;
    // AppToRun's earlier due time (UTC seconds) that passed while the service ran and no
    // run started (a task, the spacing or a sleep without a wake held it up); 0 when none.
    // Its run is then for that due time.
    ULONGLONG OverdueSince = 0;
};

// What a pass makes of the due time an application's last answer recorded (NextDue), as it
// reaches the application at `now` (UTC seconds).
enum class PassedDue {
    None,      // none recorded, not yet due, already run, or already counted as missed
    Missed,    // it passed before schedulingStart: the computer was off or the service stopped
    Overdue,   // it passed while the service ran, and no run has started since
};
PassedDue ClassifyPassedDue(const ApplicationState& before, ULONGLONG now,
                            ULONGLONG schedulingStart);

// Logs a failed open of the product key at level 0 ("RegOpenKeyEx(SOFTWARE\Varnholt)
// failed, error code = %d"); nothing for ERROR_SUCCESS. Any thread.
void LogProductKeyFailure(LONG status);

// The number of seconds a pass may answer at most when MaxCheckIntevalSecs is not set.
inline constexpr DWORD kDefaultCheckCapSeconds = 86400;

// Runs every schedule query program under productKey (the open product key, the parent of
// the applications' subkeys; without a handle nothing is queried, and its failed open is the
// caller's to log) and returns the smallest non-zero answer below the cap, the first
// enumerated winning a tie. Resets ScheduleEnabled to 0 before and after each query. Never
// fails: what cannot be read counts as no answer, and a product key that cannot be opened
// is logged at level 0, once. Once SchedulerStopFlag is set the pass ends before the next
// application. A recorded due time before schedulingStart (UTC seconds; when this process
// began scheduling, 0 for never) that no run served is counted as missed (MissedRuns, event
// 1105), once. Worker thread only.
ScheduleCheckResult CheckSchedules(const CRegistryKey& productKey,
                                   const Timings& timings = ProductTimings(),
                                   ULONGLONG schedulingStart = 0);
