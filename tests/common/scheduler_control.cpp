#include "tests/common/scheduler_control.h"

#include "schedule/child_process.h"
#include "schedule/scheduler_thread.h"
#include "support/unique_resource.h"

#include <utility>

void StopSchedulerLoop(std::thread& worker)
{
    if (!worker.joinable())
        return;
    InterlockedExchange(&SchedulerStopFlag, 1);
    SetEvent(SchedulerStopEvent());
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kScheduleCheckEventName));
    if (event)
        SetEvent(event.Get());
    StopSlotChild(ScanSlot, 200);
    worker.join();
}

void CloseScheduleCheckEvent()
{
    UniqueHandle(std::exchange(ScheduleCheckEvent, nullptr)).Reset();
}

void ClearSchedulerStop()
{
    InterlockedExchange(&SchedulerStopFlag, 0);
    InterlockedExchange(&PushStopFlag, 0);
    ResetEvent(SchedulerStopEvent());
}
