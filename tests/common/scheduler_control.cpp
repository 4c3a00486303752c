#include "tests/common/scheduler_control.h"

#include "schedule/scheduler_thread.h"
#include "schedule/scheduling.h"

#include <utility>

namespace {

ProcessSlot& Global(GlobalSlot slot) { return slot == GlobalSlot::Scan ? ScanSlot : PushSlot; }

// A short grace: the tests' children quit at once or are meant to be terminated.
constexpr DWORD kTestGraceMs = 200;

}  // namespace

ProcessSlot SlotNow(GlobalSlot slot) { return SnapshotSlot(Global(slot)); }

void ClearSlots()
{
    ClearSlot(ScanSlot);
    ClearSlot(PushSlot);
}

void StopSlotChildOf(GlobalSlot slot, DWORD graceMs) { StopSlotChild(Global(slot), graceMs); }

UniqueProcessInformation LaunchInto(GlobalSlot slot, const std::wstring& commandLine, UniqueHandle* job)
{
    return LaunchProcess(commandLine, &Global(slot), job);
}

bool SchedulerStopping() { return InterlockedCompareExchange(&SchedulerStopFlag, 0, 0) != 0; }
bool PushStopping() { return InterlockedCompareExchange(&PushStopFlag, 0, 0) != 0; }
void SetSchedulerStop(bool on) { InterlockedExchange(&SchedulerStopFlag, on ? 1 : 0); }
void SetPushStop(bool on) { InterlockedExchange(&PushStopFlag, on ? 1 : 0); }

void StopSchedulerLoop(std::thread& worker)
{
    if (!worker.joinable())
        return;
    StopScheduling(kTestGraceMs);
    worker.join();
    SetPushStop(false);
}

void CloseScheduleCheckEvent()
{
    UniqueHandle(std::exchange(ScheduleCheckEvent, nullptr)).Reset();
}

void ClearSchedulerStop()
{
    SetSchedulerStop(false);
    SetPushStop(false);
    ResetEvent(SchedulerStopEvent());
}
