#pragma once
// Every program the service starts is started here: hidden, inheriting the service's
// handles, at normal priority, in the service's environment, created suspended and resumed
// only once it is in a job object of its own (schedule/child_job.h), so that nothing it
// starts can escape. Where no job can be had, the child runs without one.
//
// The stop finds the running children in two global slots: the ScanSlot (query programs
// and main tasks, the worker's) and the PushSlot (the push script). A slot is occupied
// exactly when its hProcess is non-null, and is read and written only under one lock, by
// the operations below. The owner alone closes the handles it created; the stop kills
// through duplicates, so no handle is closed twice or used after its close.
#include "schedule/timings.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <cstddef>
#include <string>

using ProcessSlot = PROCESS_INFORMATION;

extern ProcessSlot ScanSlot;
extern ProcessSlot PushSlot;

// The stop's flags and event, beside the slots they guard.

// Non-zero tells the worker to leave its loop; the stop handler sets it, the worker
// clears it as it ends.
extern LONG volatile SchedulerStopFlag;

// An unnamed manual-reset event that the stop sets together with SchedulerStopFlag, so that
// the worker's start delay and its spacing after a run end at once when the service stops,
// and the process can end without cutting a step short. The worker resets it as it ends.
// Made on first use; never closed. Null only if it could not be made.
HANDLE SchedulerStopEvent();

// Sleeps up to milliseconds, less once SchedulerStopEvent is set.
void SleepUnlessSchedulerStops(DWORD milliseconds);

// Non-zero tells the push-script thread to stop; the stop handler sets it, the thread
// clears it as it ends.
extern LONG volatile PushStopFlag;

// A child for the ScanSlot is not created once SchedulerStopFlag is set, nor one for the
// PushSlot once PushStopFlag is set. The stop handler sets both flags before it looks at
// the slots, and the test and the creation happen under the slot lock, so every child is
// either found by the stop or never created.

// Starts commandLine hidden with the service's current directory and returns at once.
// On success the slot holds the new process, and the returned owner holds the same two
// handles for the caller. job, when given, receives the child's job (null when it runs
// without one), which belongs to the caller too, and for the ScanSlot and the PushSlot is
// kept beside the slot for the stop; closing it ends every process in the job, so a child
// that ended by itself has its job released with ReleaseChildJob. Without job the child's
// job is released at once: the child runs, but its tree is not held. On failure logs
// "CreateProcess failed, error code = %d", leaves the slot as it was and returns an empty
// owner; the same, with "Not starting %s: the service is stopping", when the slot's stop
// flag is set. Any thread.
UniqueProcessInformation LaunchProcess(std::wstring commandLine, ProcessSlot* slot,
                                       UniqueHandle* job = nullptr);

// What became of one RunAndWait.
enum class RunOutcome {
    NotStarted,      // the program could not be started, or the service is stopping
    Ended,           // it ended within its limit (also when the stop handler ended it)
    KilledAtLimit,   // it ran past its limit and was ended
};

// What RunAndWait tells its caller while it runs: that its program started, or could not
// be started and why (not told when the service's stop kept it from starting). Called on
// the thread of RunAndWait.
class CRunObserver {
public:
    virtual void Started() = 0;
    virtual void NotStarted(DWORD error) = 0;

protected:
    ~CRunObserver() = default;
};

// The exit codes RunAndWait gives for a child that gave none: killed at its limit (or its
// code could not be read), and not started.
inline constexpr int kKilledExitCode = -1;
inline constexpr int kNotStartedExitCode = 9999;

// What became of one RunAndWait.
struct RunResult {
    int ExitCode = kNotStartedExitCode;   // the child's, or one of the two above
    RunOutcome Outcome = RunOutcome::NotStarted;
    // Why the program could not be started; ERROR_SUCCESS when it started, and when the
    // scheduling's stop kept it from starting.
    DWORD Error = ERROR_SUCCESS;
};

// Runs commandLine in workingDirectory in the ScanSlot and waits up to limitSeconds. A
// child killed at its limit is ended with every process in its job; one that ended by
// itself leaves what it started running. commandLine is used in place: it ends at the
// first NUL that CreateProcessW may have left in it. Worker thread only: one run at a time.
[[nodiscard]] RunResult RunAndWait(const std::wstring& label, std::wstring& commandLine,
                                   const std::wstring& workingDirectory, LONG limitSeconds,
                                   const Timings& timings = ProductTimings(),
                                   CRunObserver* observer = nullptr);

// A child to end: its process; its primary thread, held open until the quit message has
// been posted so that the thread's id cannot have passed to a thread of another process;
// and its job, null when it runs without one.
struct ChildToEnd {
    HANDLE Process = nullptr;
    HANDLE Thread = nullptr;
    HANDLE Job = nullptr;
};

// Ends the given children: posts WM_QUIT to the primary thread of each one still running,
// then waits for all of them together for at most graceMs. Then each child's job is
// terminated with exit code 1067 when anything is left in it (the child itself, or what a
// child that quit left behind), and a child without a job that still runs is terminated
// alone; either is waited for a moment more. A failed termination is logged. Records whose
// Process is null are skipped. Closes nothing. Blocks its caller for at most graceMs plus
// the moment after a termination.
void KillChildren(const ChildToEnd* children, size_t count, DWORD graceMs);

// The stop handler's operation: ends the children of all the occupied slots given, with
// the processes in their jobs, sharing one grace (KillChildren, through duplicates of their
// process, thread and job handles), and then clears each slot's hProcess and the job
// beside it, unless that slot has meanwhile been refilled with another child. A slot whose
// child has ended but whose owner still holds its job has that job's processes ended too.
// Closes none of the owners' handles.
void StopSlotChildren(ProcessSlot* const* slots, size_t count,
                      DWORD graceMs = ProductTimings().KillGraceMs);
// The longest StopSlotChildren can take over count slots with this grace: the grace, then,
// for each child, the bounded waits for its process and for its job to empty.
[[nodiscard]] DWORD LongestSlotStopMs(size_t count, DWORD graceMs);
inline void StopSlotChild(ProcessSlot& slot, DWORD graceMs = ProductTimings().KillGraceMs)
{
    ProcessSlot* const one[] = {&slot};
    StopSlotChildren(one, 1, graceMs);
}

// Sets all four fields of the slot to zero, and forgets the job beside it (its owner
// keeps and closes the handle).
void ClearSlot(ProcessSlot& slot);

// A copy of the slot as it stands.
[[nodiscard]] ProcessSlot SnapshotSlot(const ProcessSlot& slot);
