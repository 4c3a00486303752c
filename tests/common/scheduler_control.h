#pragma once
// The scheduling's stop and its two process slots as the tests and the benchmarks reach
// them: through these, never through the stop flags, the stop event or the slots
// themselves, which are the scheduling's own.
#include "schedule/child_process.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <string>
#include <thread>

// One of the two global slots: the ScanSlot (query programs and main tasks) or the
// PushSlot (the push script).
enum class GlobalSlot { Scan, Push };

// A copy of the slot as it stands.
ProcessSlot SlotNow(GlobalSlot slot);

// Empties both slots, as service mode does before its threads start.
void ClearSlots();

// Ends the child in the slot as the stop does (WM_QUIT, graceMs, then its job), without
// touching the stop flags.
void StopSlotChildOf(GlobalSlot slot, DWORD graceMs);

// LaunchProcess into the slot.
UniqueProcessInformation LaunchInto(GlobalSlot slot, const std::wstring& commandLine,
                                    UniqueHandle* job = nullptr);

// The stop flags: whether each is set, and setting or clearing one alone (a stop sets both
// before it ends the children; each loop clears its own as it ends).
bool SchedulerStopping();
bool PushStopping();
void SetSchedulerStop(bool on);
void SetPushStop(bool on);

// What the stop handler does to a worker loop running on worker (StopScheduling, with a
// short grace), then joins it and takes back the push script's flag, which no push-script
// thread ran to clear. Nothing when not joinable.
void StopSchedulerLoop(std::thread& worker);

// Closes the worker's check event (ScheduleCheckEvent) and sets it back to null, as a test
// does between two worker lives in one process: the product opens it once and never
// closes it. Nothing when there is none.
void CloseScheduleCheckEvent();

// What the worker and the push-script thread do as they end: a stop made while no loop runs
// to take it back (the stop handler called directly) leaves both stop flags and the stop
// event set, which would keep every later test of this process from starting a child.
void ClearSchedulerStop();
