#pragma once
// What a test does to the worker in place of the service's stop handler.
#include <thread>

// What the stop handler does to a worker loop running on worker: the flag, the stop event,
// the check event and the child in the ScanSlot; then joins it. Nothing when not joinable.
void StopSchedulerLoop(std::thread& worker);

// Closes the worker's check event (ScheduleCheckEvent) and sets it back to null, as a test
// does between two worker lives in one process: the product opens it once and never
// closes it. Nothing when there is none.
void CloseScheduleCheckEvent();

// What the worker and the push-script thread do as they end: a stop made while no loop runs
// to take it back (the stop handler called directly) leaves both stop flags and the stop
// event set, which would keep every later test of this process from starting a child.
void ClearSchedulerStop();
