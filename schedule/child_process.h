#pragma once
// Every program the service starts is started here: hidden, inheriting the service's
// handles, at normal priority, in the service's environment.
//
// Two global slots let the stop handler find the children that run: the ScanSlot (schedule
// query programs and main tasks, filled by RunAndWait on the worker thread) and the
// PushSlot (the push script). A slot is occupied exactly when its hProcess is non-null.
// The slots' owners and the stop handler reach them only through the operations below,
// which hold one lock while they read or write a slot. The owner keeps its own copy of
// the handles it created and alone closes them; the stop handler kills through a
// duplicate of the process handle. So no handle is closed twice, none is used after its
// close, and no process is terminated through a handle value that was closed and reused.
#include "schedule/timings.h"

#include <windows.h>

#include <cstddef>
#include <string>

using ProcessSlot = PROCESS_INFORMATION;

extern ProcessSlot ScanSlot;
extern ProcessSlot PushSlot;

// A child for the ScanSlot is not created once SchedulerStopFlag is set, nor one for the
// PushSlot once PushStopFlag is set. The stop handler sets both flags before it looks at
// the slots, and the test and the creation happen under the slot lock, so every child is
// either found by the stop or never created.

// Starts commandLine hidden with the service's current directory and returns at once.
// On success the slot holds the new process, and the returned record holds the same two
// handles, which belong to the caller. On failure logs "CreateProcess failed, error code = %d",
// leaves the slot as it was and returns an all-zero record; the same, with "Not starting %s:
// the service is stopping", when the slot's stop flag is set. Any thread.
PROCESS_INFORMATION LaunchProcess(std::wstring commandLine, ProcessSlot* slot);

// What became of one RunAndWait.
enum class RunOutcome {
    NotStarted,      // the program could not be started, or the service is stopping
    Ended,           // it ended within its limit (also when the stop handler ended it)
    KilledAtLimit,   // it ran past its limit and was ended
};

// Runs commandLine in workingDirectory in the ScanSlot and waits up to limitSeconds.
// Returns the child's exit code; -1 when it was killed at the limit or its exit code could
// not be read; 9999 when it could not be started, or was not started because the service is
// stopping. outcome, when given, receives which of these happened; after a program that
// could not be started, the thread's last error holds why. commandLine is used in
// place: it ends at the first NUL that CreateProcessW may have left in it. Worker thread
// only: one run at a time.
int RunAndWait(const std::wstring& label, std::wstring& commandLine,
               const std::wstring& workingDirectory, LONG limitSeconds,
               const Timings& timings = ProductTimings(), RunOutcome* outcome = nullptr);

// Ends the given children: posts WM_QUIT to each one's primary thread, then waits for all of
// them together for at most graceMs; each still running then is terminated with exit code
// 1067 and waited for a moment more. A child that has ended is left alone; a failed
// termination is logged. Records whose hProcess is null are skipped. Closes and clears
// nothing. Blocks its caller for at most graceMs plus the moment after a termination.
void KillChildren(const ProcessSlot* children, size_t count, DWORD graceMs);
inline void KillChild(ProcessSlot slot, DWORD graceMs = ProductTimings().KillGraceMs)
{
    KillChildren(&slot, 1, graceMs);
}

// The stop handler's operation: ends the children of all the occupied slots given, sharing
// one grace (KillChildren, through duplicates of their process handles), and then clears
// each slot's hProcess, unless that slot has meanwhile been refilled with another child.
// Closes none of the owners' handles.
void StopSlotChildren(ProcessSlot* const* slots, size_t count,
                      DWORD graceMs = ProductTimings().KillGraceMs);
inline void StopSlotChild(ProcessSlot& slot, DWORD graceMs = ProductTimings().KillGraceMs)
{
    ProcessSlot* const one[] = {&slot};
    StopSlotChildren(one, 1, graceMs);
}

// Sets all four fields of the slot to zero.
void ClearSlot(ProcessSlot& slot);

// A copy of the slot as it stands.
ProcessSlot SnapshotSlot(const ProcessSlot& slot);
