#pragma once
// The scheduler: a thread that checks the registered applications, sleeps on a waking
// timer until the soonest main task is due (the check event or a 30-minute bound end the
// sleep early), runs that task, announces its completion and keeps a minimum spacing.
#include "schedule/timings.h"
#include "support/product_names.h"
#include "support/unique_resource.h"

#include <windows.h>

// "Global\VarnholtScheduleCheck", created once by the worker and never closed; null until
// then, when creation failed, or when the object existed already with an owner the worker
// does not trust (see OpenScheduleCheckEvent).
extern HANDLE ScheduleCheckEvent;

// The check event's security: owned by Administrators, so that a second instance of the
// service's own (test mode beside the service) trusts it; SYSTEM and Administrators have
// full access; everyone else may only signal it (EVENT_MODIFY_STATE) and wait on it
// (SYNCHRONIZE).
inline constexpr const wchar_t* kScheduleCheckEventSddl =
    L"O:BAD:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)(A;;0x100002;;;WD)";

// What CreateScheduleCheckEvent made: the event, and the code the creation left:
// ERROR_ALREADY_EXISTS when the object existed before (its creator chose its kind and its
// DACL), ERROR_SUCCESS for a new one; the failure's code when Event is empty.
struct CheckEventCreation {
    UniqueHandle Event;
    DWORD Error = ERROR_SUCCESS;
};

// Creates the check event: auto-reset, not signalled, with the DACL above, handle not
// inherited.
[[nodiscard]] CheckEventCreation CreateScheduleCheckEvent();

// The check event as the worker uses it: CreateScheduleCheckEvent, and when the object
// existed already (a peer made it first, perhaps as a manual-reset event), kept only while
// its owner is trusted (IsTrustedOwner with this process's account). Otherwise closed and
// logged at level 0 ("Check event is held by another owner; check requests are ignored"),
// and an empty owner is returned: the worker then passes every 30 minutes and at due
// times. A failed creation is logged ("CreateEvent failed, error code = %d") and gives none
// too.
[[nodiscard]] UniqueHandle OpenScheduleCheckEvent();

// The waitable timer's security: owned by Administrators, open to SYSTEM and Administrators
// alone.
inline constexpr const wchar_t* kWaitTimerSddl = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The timer the worker waits on for a due time: "VarnholtWaitForScanTimer", manual-reset,
// created with kWaitTimerSddl. When that name is taken by an object whose owner is not
// trusted, or cannot be opened, an unnamed timer of its own is made instead, and the first
// time in the process that is logged at level 0. Empty when no timer can be made.
[[nodiscard]] UniqueHandle CreateWaitTimer();

// How long a check request that arrives at nowTick is kept before the pass it asks for may
// start: none when no pass was caused by a request before (anyBefore false) or when the
// last such pass ended at lastTick at least gapMs ago; otherwise the rest of gapMs.
// GetTickCount values; a wrap in between is allowed.
DWORD CheckRequestDelayMs(bool anyBefore, DWORD lastTick, DWORD nowTick, DWORD gapMs);

// What ended a wait for the due time.
enum class WaitEnd { CheckEvent, DueTime, Bound };

// Reads a wait's return value. hasTimer and hasEvent say which objects were waited on
// (the timer first, so that a due timer wins over a check request); dueWithinBound says
// that, without a timer, the wait's time-out was the due time rather than the bound. With a
// timer, anything but the event or a time-out counts as the timer's expiry.
WaitEnd ClassifyWait(DWORD waitResult, bool hasTimer, bool hasEvent, bool dueWithinBound);

// 1 when the task is to run now: the due time ended the wait and the request was below
// the run-now threshold. 0 means check again.
int WaitVerdict(WaitEnd end, DWORD seconds, DWORD thresholdSeconds);

// The rest of the minimum spacing after a run that started at startTick and ended at
// endTick (GetTickCount values; a wrap in between is allowed). 0 when none is left.
DWORD SpacingSleepMs(DWORD startTick, DWORD endTick, DWORD spacingMs);

// Why the worker is asked for a pass at once, beside the check event.
enum class PassRequest : LONG {
    Resumed = 1,       // the computer resumed from sleep
    TimeChanged = 2,   // the system time was changed
};

// Ends the worker's wait at once for a pass that is not paced as check requests are, and
// logs why at level 0 when the worker takes it ("Computer resumed; checking schedules",
// "System time changed; checking schedules"). When the worker is not waiting (a pass or a
// task runs), its next wait ends at once. Any thread: the service's control handler calls
// it for a resume and a time change.
void RequestPassNow(PassRequest why);

// The due time (FILETIME units, UTC) the worker last armed its wait timer with; 0 before
// the first arm or when the arm failed. For tests and the status of the wait.
ULONGLONG LastArmedDueTime();

// Whether a successful SetWaitableTimer call with the resume flag was refused the wake:
// Windows leaves ERROR_NOT_SUPPORTED as the last error, Wine ERROR_TIMER_RESUME_IGNORED.
bool IsWakeRefused(DWORD lastErrorAfterArm);

// Waits for the due time dueTime (FILETIME units, UTC; `seconds` is the answer it came
// from) on the timer, armed for that absolute time with the resume flag so that it wakes
// the computer, the stop event, the pass-now requests, the check event and the bound;
// returns WaitVerdict's answer (0 after a stop or a pass request). A due timer is served
// before any check request. A check request that comes within timings.CheckRequestGapMs of
// the end of the last pass a request caused is kept, and served when that time is up (or by
// a pass that comes sooner for another reason); the check event is reset once its request
// is taken, so a manual-reset event cannot keep the worker passing. A wait whose event or
// timer does not exist still lasts until the due time or the bound. Worker thread only.
int WaitForDue(DWORD seconds, ULONGLONG dueTime, const Timings& timings = ProductTimings());

// The worker's loop; returns when it has seen SchedulerStopFlag. Once the flag is set it
// starts no pass, wait or main task, keeps no spacing and announces no completion.
void RunSchedulerLoop(const Timings& timings);

// The thread entry: RunSchedulerLoop with the product's timings. Never lets an exception
// out: one that ends the loop is logged ("Scheduler thread ended unexpectedly").
unsigned __stdcall SchedulerThread(void* unused);
