#pragma once
// The scheduling as a whole, as service mode and test mode run it: the start of its
// threads, the service's worker, and the one stop of it all. Nothing outside schedule/
// reaches the stop flags, the stop event or the process slots: the stop is StopScheduling.
#include "schedule/timings.h"
#include "support/unique_resource.h"

#include <windows.h>

// Starts a thread running entry with the default stack size and a null argument and
// returns its handle. A thread that cannot be started is logged ("_beginthread failed,
// error code = %d") and gives no handle; the program goes on without it.
[[nodiscard]] UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*));

// The service's worker thread: takes the scheduler lock (waiting while a test-mode run
// holds it, and giving up at once when the scheduling is stopped meanwhile:
// TakeSchedulerLockForService), records the service's start, starts the push-script thread
// and runs the scheduler's loop; the lock is given back when the loop ends. Never lets an
// exception out.
unsigned __stdcall ServiceSchedulingThread(void* unused);

// Empties the ScanSlot. Service mode calls it before the worker threads start.
void ClearScanSlot();

// Stops the scheduling. Any thread, at any moment: the worker and the push-script thread
// may not run yet, or have ended. Sets SchedulerStopFlag, the stop event and PushStopFlag,
// so that no pass, wait, main task, spacing or push-script launch begins any more and no
// child is created; sets the check event by its name, which ends the wait of a worker that
// made it; then ends the children in the ScanSlot and the PushSlot, which share one grace
// (WM_QUIT, graceMs, then each child's job terminated with exit code 1067, the child and
// every process it started), and empties the slots. Returns once no child is left, within
// LongestSchedulingStopMs(graceMs); logs only a failed termination. The worker and the
// push-script thread each take their flag back as they end.
void StopScheduling(DWORD graceMs = ProductTimings().KillGraceMs);

// The longest StopScheduling can take with this grace: the grace, then for each slot's
// child the bounded waits for its process and for its job to empty.
[[nodiscard]] DWORD LongestSchedulingStopMs(DWORD graceMs = ProductTimings().KillGraceMs);

// After a stop, how long the entry point lets the worker finish the step it is in (the
// reset of an interrupted query's answer, its exit line) before the process ends. Its
// sleeps end at the stop, so it normally leaves within milliseconds; the bound is a
// safeguard, since the service manager removes an uninstalled service only once this
// process has ended.
inline constexpr DWORD kWorkerEndWaitMs = 3000;
