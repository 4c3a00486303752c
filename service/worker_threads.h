#pragma once
// The service's worker threads and how they are started.
#include "support/unique_resource.h"

#include <windows.h>

// Starts a worker thread with the default stack size and a null argument and returns its
// handle. A thread that cannot be started is logged with "_beginthread failed, error code
// = %d" and gives no handle; the program goes on without it.
UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*));

// The service's worker thread: takes the scheduler lock (waiting while a test-mode run
// holds it, and giving up at once when the service stops meanwhile: TakeSchedulerLockForService),
// then starts the push-script thread and runs the scheduler's loop; the lock is given back
// when the loop ends. Never lets an exception out.
unsigned __stdcall ServiceSchedulingThread(void* unused);

// After a stop, how long the entry point lets the worker finish the step it is in (the
// reset of an interrupted query's answer, its exit line) before the process ends. Its
// sleeps end at the stop, so it normally leaves within milliseconds; the bound is a
// safeguard, since the service manager removes an uninstalled service only once this
// process has ended.
inline constexpr DWORD kWorkerEndWaitMs = 3000;
