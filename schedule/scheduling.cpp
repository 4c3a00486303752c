#include "schedule/scheduling.h"

#include "log/logger.h"
#include "log/thread_entry.h"
#include "schedule/child_process.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_lock.h"
#include "schedule/scheduler_thread.h"
#include "schedule/state_record.h"
#include "support/product_names.h"

#include <process.h>

#include <cstdint>

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

void ClearScanSlot() { ClearSlot(ScanSlot); }

void StopScheduling(DWORD graceMs)
{
    InterlockedExchange(&SchedulerStopFlag, 1);
    SetEvent(SchedulerStopEvent());
    InterlockedExchange(&PushStopFlag, 1);

    // Reached by name: the worker may not have made it yet, and then there is no wait to end.
    const UniqueHandle checkEvent(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE,
                                             kScheduleCheckEventName));
    if (checkEvent)
        SetEvent(checkEvent.Get());

    // The main task or query program first, then the push script; both share one grace.
    ProcessSlot* const slots[] = {&ScanSlot, &PushSlot};
    StopSlotChildren(slots, 2, graceMs);
}

DWORD LongestSchedulingStopMs(DWORD graceMs) { return LongestSlotStopMs(2, graceMs); }
