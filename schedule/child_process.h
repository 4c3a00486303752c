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

#include <string>

using ProcessSlot = PROCESS_INFORMATION;

extern ProcessSlot ScanSlot;
extern ProcessSlot PushSlot;

// Starts commandLine hidden with the service's current directory and returns at once.
// On success the slot holds the new process, and the returned record holds the same two
// handles, which belong to the caller. On failure logs "CreateProcess failed, error code = %d",
// leaves the slot as it was and returns an all-zero record. Any thread.
PROCESS_INFORMATION LaunchProcess(std::wstring commandLine, ProcessSlot* slot);

// Runs commandLine in workingDirectory in the ScanSlot and waits up to limitSeconds.
// Returns the child's exit code; -1 when it was killed at the limit or its exit code could
// not be read; 9999 when it could not be started. commandLine is used in place: it ends at
// the first NUL that CreateProcessW may have left in it. Worker thread only: one run at a time.
int RunAndWait(const std::wstring& label, std::wstring& commandLine,
               const std::wstring& workingDirectory, LONG limitSeconds,
               const Timings& timings = ProductTimings());

// Posts WM_QUIT to the child's primary thread, waits graceMs whatever happens, then
// terminates the process with exit code 1067; a failed termination is logged. Closes and
// clears nothing. Blocks its caller for graceMs.
void KillChild(ProcessSlot slot, DWORD graceMs = ProductTimings().KillGraceMs);

// The stop handler's operation: if the slot is occupied, kills its child (KillChild through
// a duplicate of its process handle) and then clears the slot's hProcess, unless the slot
// has meanwhile been refilled with another child. Closes none of the owner's handles.
void StopSlotChild(ProcessSlot& slot, DWORD graceMs = ProductTimings().KillGraceMs);

// Sets all four fields of the slot to zero.
void ClearSlot(ProcessSlot& slot);

// A copy of the slot as it stands.
ProcessSlot SnapshotSlot(const ProcessSlot& slot);
