#include "schedule/scheduler_thread.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "schedule/schedule_events.h"
#include "schedule/thread_entry.h"
#include "support/registry_key.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

LONG volatile SchedulerStopFlag = 0;
HANDLE ScheduleCheckEvent = nullptr;

namespace {

constexpr LONGLONG kTimerUnitsPerSecond = 10000000;   // 100-ns units

void KeepAwake() { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
void AllowSleep() { SetThreadExecutionState(ES_CONTINUOUS); }

void AnnounceCompletion()
{
    UniqueHandle completed(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE,
                                      kScanCompletedEventName));
    if (completed)
        SetEvent(completed.Get());
}

void RunDueTask(const CRegistryKey& productKey, const std::wstring& appToRun,
                const Timings& timings)
{
    KeepAwake();
    CRegistryKey application;
    application.Open(productKey.Handle(), appToRun.c_str(), KEY_READ);
    std::wstring scanner = application.GetString(L"Scanner");
    const std::wstring appDir = application.GetString(L"AppDir");
    if (scanner.empty() || appDir.empty()) {
        LOG(0, L"AppToRun %s missing Scanner or AppDir", appToRun.c_str());
        return;
    }

    const DWORD start = GetTickCount();
    LOG(0, L"Starting Scan.");
    RunOutcome outcome = RunOutcome::NotStarted;
    int exitCode = 0;
    {
        const CMainTaskEvents events(appToRun, scanner);
        exitCode = RunAndWait(appToRun, scanner, appDir, timings.TaskLimitSeconds, timings, &outcome);
    }
    ReportMainTaskEnd(appToRun, outcome, exitCode, GetTickCount() - start);
    LOG(0, L"Scan Finished.");
    // Peers learn of a run that happened: not of a task that could not start, nor of one
    // that the service's own stop ended (the stop handler sets the flag before it ends the
    // task). A task ended at its limit has run.
    if (SchedulerStopFlag)
        return;   // and no spacing either: the worker is about to leave
    if (outcome != RunOutcome::NotStarted)
        AnnounceCompletion();

    const DWORD remaining = SpacingSleepMs(start, GetTickCount(), timings.SpacingMs);
    if (remaining > 0) {
        LOG(0, L"Task ran short; sleeping %d seconds", remaining / 1000);
        SleepUnlessSchedulerStops(remaining);
        LOG(0, L"Finished Sleeping.");
    }
}

}  // namespace

HANDLE SchedulerStopEvent()
{
    // Made on first use by whichever thread comes first; never closed, like the check event.
    static HANDLE event = CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                       /*bInitialState=*/FALSE, /*lpName=*/nullptr);
    return event;
}

void SleepUnlessSchedulerStops(DWORD milliseconds)
{
    HANDLE stop = SchedulerStopEvent();
    if (!stop) {
        Sleep(milliseconds);
        return;
    }
    WaitForSingleObject(stop, milliseconds);
}

HANDLE CreateScheduleCheckEvent()
{
    CSecurityAttributes security(kScheduleCheckEventSddl);
    if (!security.IsValid()) {
        SetLastError(security.Error());
        return nullptr;
    }
    return CreateEventW(security.Get(), /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                        kScheduleCheckEventName);
}

WaitEnd ClassifyWait(DWORD waitResult, bool hasEvent, bool hasTimer, bool dueWithinBound)
{
    if (hasEvent && waitResult == WAIT_OBJECT_0)
        return WaitEnd::CheckEvent;
    if (waitResult == WAIT_TIMEOUT)
        return (!hasTimer && dueWithinBound) ? WaitEnd::DueTime : WaitEnd::Bound;
    return WaitEnd::DueTime;
}

int WaitVerdict(WaitEnd end, DWORD seconds, DWORD thresholdSeconds)
{
    return (end == WaitEnd::DueTime && seconds < thresholdSeconds) ? 1 : 0;
}

DWORD SpacingSleepMs(DWORD startTick, DWORD endTick, DWORD spacingMs)
{
    const DWORD elapsed = endTick - startTick;   // modulo 2^32, so a wrap is harmless
    return elapsed < spacingMs ? spacingMs - elapsed : 0;
}

int WaitForDue(DWORD seconds, const Timings& timings)
{
    LOG(0, L"Starting to sleep for %d seconds.", seconds);

    // The due time is relative (negative) and taken from the unsigned request, so even the
    // largest request lies in the future; the bound ends its wait after 30 minutes.
    UniqueHandle timer(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr,
                                            /*bManualReset=*/TRUE, kWaitTimerName));
    bool timerArmed = false;
    if (timer) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = 1 - static_cast<LONGLONG>(seconds) * kTimerUnitsPerSecond;
        timerArmed = SetWaitableTimer(timer.Get(), &dueTime, /*lPeriod=*/0, nullptr, nullptr,
                                      /*fResume=*/TRUE) != FALSE;
    }

    HANDLE objects[2];
    DWORD count = 0;
    const bool hasEvent = ScheduleCheckEvent != nullptr;
    if (hasEvent)
        objects[count++] = ScheduleCheckEvent;
    if (timerArmed)
        objects[count++] = timer.Get();

    // Without a timer the wait's own time-out stands in for the due time.
    const ULONGLONG dueMs = static_cast<ULONGLONG>(seconds) * 1000u;
    const bool dueWithinBound = dueMs < timings.WaitBoundMs;
    const DWORD waitMs = (timerArmed || !dueWithinBound) ? timings.WaitBoundMs
                                                         : static_cast<DWORD>(dueMs);
    DWORD waitResult;
    if (count > 0) {
        waitResult = WaitForMultipleObjectsEx(count, objects, /*bWaitAll=*/FALSE, waitMs,
                                              /*bAlertable=*/timerArmed ? TRUE : FALSE);
    } else {
        Sleep(waitMs);
        waitResult = WAIT_TIMEOUT;
    }
    const int verdict = WaitVerdict(ClassifyWait(waitResult, hasEvent, timerArmed, dueWithinBound),
                                    seconds, timings.RunNowThresholdSeconds);

    if (timer)
        CancelWaitableTimer(timer.Get());
    timer.Reset();
    LOG(0, L"Finished Sleeping.");
    return verdict;
}

void RunSchedulerLoop(const Timings& timings)
{
    SleepUnlessSchedulerStops(timings.StartDelayMs);
    ScheduleCheckEvent = CreateScheduleCheckEvent();
    if (!ScheduleCheckEvent) {
        const DWORD error = GetLastError();
        LOG(0, L"CreateEvent failed, error code = %d", SystemError(error));
    }

    for (;;) {
        OpenDailyLog();
        if (SchedulerStopFlag)
            break;
        KeepAwake();
        CRegistryKey productKey;
        OpenProductKey(productKey, KEY_READ);
        const ScheduleCheckResult result = CheckSchedules(productKey, timings);
        AllowSleep();
        // A stop during the pass: no wait and no main task. Its check event ends the wait
        // of a stop that comes later; the slot's stop flag catches one in between.
        if (SchedulerStopFlag)
            continue;
        if (WaitForDue(result.NextCheck, timings) == 1 && !result.AppToRun.empty() &&
            !SchedulerStopFlag)
            RunDueTask(productKey, result.AppToRun, timings);
        AllowSleep();
    }

    LOG(0, L"Service is exiting, shutting down worker thread");
    ResetEvent(SchedulerStopEvent());
    InterlockedExchange(&SchedulerStopFlag, 0);
}

unsigned __stdcall SchedulerThread(void*)
{
    RunThreadBody([] { RunSchedulerLoop(ProductTimings()); },
                  L"Scheduler thread ended unexpectedly");
    return 0;
}
