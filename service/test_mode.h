#pragma once
// Test mode ("-t"): the scheduler and the push-script threads run in a console process as
// they do in the service, until Ctrl+C, Ctrl+Break or the closing of the console, or for
// at most 24 hours.
#include <windows.h>

inline constexpr DWORD kTestModeLifetimeMs = 86400000;   // 24 hours

// Runs test mode on the calling thread: takes the scheduler lock (scheduler_lock.h) and,
// when another scheduler holds it or it cannot be had, logs that at level 0, writes the
// closing sentence that says so and returns false at once, having started nothing.
// Otherwise registers TestModeCtrlHandler, starts both worker threads, and waits for
// lifetimeMs or until a console control event has stopped the work (StopScheduling: the
// threads are told to stop, the children are asked to quit and terminated after the grace),
// and then lets the worker finish its step for up to kWorkerEndWaitMs. Then logs "EXIT
// Varnholt Scheduling (TEST MODE)", writes the closing sentence to standard output,
// unregisters the handler and gives the lock back. Returns true when a console control
// event ended it. At the end of the lifetime nothing is stopped: the threads and their
// children are left to the end of the process. One run at a time.
bool RunTestMode(DWORD lifetimeMs = kTestModeLifetimeMs);

// The work of the console control handler. For CTRL_C_EVENT, CTRL_BREAK_EVENT and
// CTRL_CLOSE_EVENT during RunTestMode the first such event logs "Stopping test mode", runs
// StopScheduling and wakes RunTestMode; later ones change nothing. For CTRL_CLOSE_EVENT
// it returns only once RunTestMode has written its last words (or after half a minute).
// Returns true for those three events, false for any other, which it leaves alone.
// Called on a thread of its own for each event; never throws.
bool HandleTestModeControl(DWORD event);

// The handler that RunTestMode registers: HandleTestModeControl, and for the closing of
// the console it then ends the process with exit code 0 itself, since the system would
// end it with another code as soon as the handler returned.
BOOL WINAPI TestModeCtrlHandler(DWORD event);
