#pragma once
// Keeps the configured push script (PushScriptCommand under the product key, read once
// when the thread starts) running: launched hidden into the PushSlot and relaunched after
// a pause each time it has ended.
#include "schedule/timings.h"

#include <windows.h>

#include <string>

// Logs "Start Varnholt Push Script", empties the PushSlot, closes the previous run's
// handles and launches command into the PushSlot. Push-script thread only.
void LaunchPushScript(std::wstring command);

// Sleeps up to milliseconds in steps of timings.PushStepMs, returning within one step
// once PushStopFlag is set; at once when it is set already or the time is not positive.
void SleepUnlessStopping(LONG milliseconds, const Timings& timings = ProductTimings());

// The thread's loop; returns once PushStopFlag has been seen, or at once when no command
// is configured.
void RunPushScriptLoop(const Timings& timings);

// The thread entry: RunPushScriptLoop with the product's timings. Never lets an exception
// out: one that ends the loop is logged ("Push script thread ended unexpectedly").
unsigned __stdcall PushScriptThread(void* unused);
