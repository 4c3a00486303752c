#include "service/worker_threads.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_lock.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "schedule/thread_entry.h"

#include <process.h>

#include <cstdint>

unsigned __stdcall ServiceSchedulingThread(void*)
{
    RunThreadBody(
        [] {
            CSchedulerLock lock;
            if (!TakeSchedulerLockForService(lock, SchedulerStopEvent()))
                return;
            WorkerStateRecorder().RecordServiceStart(UnixSecondsNow(), GetCurrentProcessId());
            const UniqueHandle pushThread = StartWorkerThread(PushScriptThread);
            RunSchedulerLoop(ProductTimings());
        },
        L"Scheduler thread ended unexpectedly");
    return 0;
}

UniqueHandle StartWorkerThread(unsigned(__stdcall* entry)(void*))
{
    const uintptr_t thread = _beginthreadex(/*security=*/nullptr, /*stack_size=*/0, entry,
                                            /*arglist=*/nullptr, /*initflag=*/0, nullptr);
    if (thread == 0) {
        LOG_LAST_ERROR(0, L"_beginthread failed, error code = %d");
        return UniqueHandle();
    }
    // _beginthreadex gives the new thread's handle as an integer.
    return UniqueHandle(reinterpret_cast<HANDLE>(thread));   // NOLINT(performance-no-int-to-ptr)
}
