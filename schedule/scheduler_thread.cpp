#include "schedule/scheduler_thread.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "schedule/schedule_events.h"
#include "schedule/state_record.h"
#include "schedule/thread_entry.h"
#include "support/access_token.h"
#include "support/product_names.h"
#include "support/registry_key.h"
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

HANDLE ScheduleCheckEvent = nullptr;

namespace {

constexpr LONGLONG kTimerUnitsPerSecond = 10000000;   // 100-ns units

// When the last pass that a check request caused started; the worker's alone.
struct CheckRequestPacing {
    bool Any = false;
    DWORD LastTick = 0;

    DWORD DelayAt(DWORD nowTick, DWORD gapMs) const
    {
        return CheckRequestDelayMs(Any, LastTick, nowTick, gapMs);
    }
    void Served(DWORD nowTick)
    {
        Any = true;
        LastTick = nowTick;
    }
};
CheckRequestPacing CheckRequests;

void KeepAwake() { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
void AllowSleep() { SetThreadExecutionState(ES_CONTINUOUS); }

void AnnounceCompletion()
{
    UniqueHandle completed(OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE,
                                      kScanCompletedEventName));
    if (completed)
        SetEvent(completed.Get());
}

// How a run ended, as the recorded state tells it. A run that the service's stop cut short,
// or kept from starting, was ended by the stop.
RunEnding RunEndingOf(RunOutcome outcome, bool stopping)
{
    if (stopping)
        return RunEnding::ByStop;
    switch (outcome) {
    case RunOutcome::NotStarted:
        return RunEnding::NotStarted;
    case RunOutcome::KilledAtLimit:
        return RunEnding::AtLimit;
    case RunOutcome::Ended:
        break;
    }
    return RunEnding::EndedByItself;
}

void RunDueTask(const CRegistryKey& productKey, const std::wstring& appToRun,
                const Timings& timings)
{
    KeepAwake();
    CRegistryKey application;
    application.Open(productKey.Handle(), appToRun.c_str(), KEY_READ);
    std::wstring scanner = application.GetString(kScannerValue);
    const std::wstring appDir = application.GetString(kAppDirValue);
    if (scanner.empty() || appDir.empty()) {
        LOG(0, L"AppToRun %s missing Scanner or AppDir", appToRun.c_str());
        return;
    }

    const DWORD start = GetTickCount();
    LOG(0, L"Starting Scan.");
    RunOutcome outcome = RunOutcome::NotStarted;
    CStateRecorder& state = WorkerStateRecorder();
    state.RecordRunStart(appToRun, UnixSecondsNow());
    int exitCode = 0;
    DWORD launchError = 0;
    {
        CMainTaskEvents events(appToRun, scanner);
        exitCode = RunAndWait(appToRun, scanner, appDir, timings.TaskLimitSeconds, timings,
                              &outcome, &events);
        launchError = events.LaunchError();   // why, when the task could not be started
    }
    state.RecordRunEnd(appToRun, UnixSecondsNow(), exitCode,
                       RunEndingOf(outcome, SchedulerStopFlag != 0), launchError);
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

HANDLE CreateScheduleCheckEvent()
{
    CSecurityAttributes security;
    if (const DWORD securityError = security.BuildFromSddl(kScheduleCheckEventSddl);
        securityError != ERROR_SUCCESS) {
        SetLastError(securityError);
        return nullptr;
    }
    return CreateEventW(security.Get(), /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                        kScheduleCheckEventName);
}

HANDLE OpenScheduleCheckEvent()
{
    UniqueHandle event(CreateScheduleCheckEvent());
    const DWORD error = GetLastError();
    if (!event) {
        LOG_FAILURE(0, error, L"CreateEvent failed, error code = %d");
        return nullptr;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        // Made by someone else first: whoever owns it chose its kind and its DACL.
        const CSid self = ProcessUserSid();
        if (!HasTrustedOwner(event.Get(), self.Get())) {
            event.Reset();
            LOG(0, L"Check event is held by another owner; check requests are ignored");
            return nullptr;
        }
    }
    return event.Release();
}

HANDLE CreateWaitTimer()
{
    // The name is global in session 0: whoever creates or opens it first could set it and
    // start a main task early.
    CSecurityAttributes security;
    const DWORD securityError = security.BuildFromSddl(kWaitTimerSddl);
    UniqueHandle timer(security.IsValid() ? CreateWaitableTimerW(security.Get(),
                                                                 /*bManualReset=*/TRUE, kWaitTimerName)
                                          : nullptr);
    const DWORD error = security.IsValid() ? GetLastError() : securityError;
    bool timerRefused = false;
    if (timer && error == ERROR_ALREADY_EXISTS) {
        const CSid self = ProcessUserSid();
        if (HasTrustedOwner(timer.Get(), self.Get()))
            return timer.Release();
        timer.Reset();
        timerRefused = true;
    }
    if (timer)
        return timer.Release();
    // A timer of an owner that is not trusted is refused as if access were denied.
    const DWORD reason = timerRefused ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : error;
    static LONG volatile told = 0;
    if (InterlockedExchange(&told, 1) == 0)
        LOG_FAILURE(0, reason,
                    L"Wait timer is held by another owner or cannot be opened (error code = %d); using a timer of its own");
    return CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                /*lpTimerName=*/nullptr);
}

DWORD CheckRequestDelayMs(bool anyBefore, DWORD lastTick, DWORD nowTick, DWORD gapMs)
{
    // The same arithmetic as the spacing after a run: the rest of a span begun at lastTick.
    return anyBefore ? SpacingSleepMs(lastTick, nowTick, gapMs) : 0;
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
    UniqueHandle timer(CreateWaitTimer());
    bool timerArmed = false;
    if (timer) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = 1 - static_cast<LONGLONG>(seconds) * kTimerUnitsPerSecond;
        timerArmed = SetWaitableTimer(timer.Get(), &dueTime, /*lPeriod=*/0, nullptr, nullptr,
                                      /*fResume=*/TRUE) != FALSE;
    }

    // Without a timer the wait's own time-out stands in for the due time.
    const ULONGLONG dueMs = static_cast<ULONGLONG>(seconds) * 1000u;
    const bool dueWithinBound = dueMs < timings.WaitBoundMs;
    const DWORD waitMs = (timerArmed || !dueWithinBound) ? timings.WaitBoundMs
                                                         : static_cast<DWORD>(dueMs);
    const DWORD start = GetTickCount();
    HANDLE stop = SchedulerStopEvent();
    // A request kept until the gap since the last pass a request caused is up.
    bool requestKept = false;
    DWORD requestTick = 0;
    DWORD requestDelayMs = 0;
    int verdict = 0;
    for (;;) {
        // The check event first: its index is the one ClassifyWait reads.
        HANDLE objects[3];
        DWORD count = 0;
        const bool hasEvent = ScheduleCheckEvent != nullptr && !requestKept;
        if (hasEvent)
            objects[count++] = ScheduleCheckEvent;
        if (timerArmed)
            objects[count++] = timer.Get();
        const DWORD stopIndex = count;
        if (stop)
            objects[count++] = stop;

        const DWORD now = GetTickCount();
        const DWORD elapsed = now - start;
        DWORD timeoutMs = elapsed < waitMs ? waitMs - elapsed : 0;
        bool keptRequestDue = false;
        if (requestKept) {
            const DWORD untilRequest = SpacingSleepMs(requestTick, now, requestDelayMs);
            if (untilRequest <= timeoutMs) {
                timeoutMs = untilRequest;
                keptRequestDue = true;
            }
        }
        DWORD waitResult;
        if (count > 0) {
            waitResult = WaitForMultipleObjectsEx(count, objects, /*bWaitAll=*/FALSE, timeoutMs,
                                                  /*bAlertable=*/timerArmed ? TRUE : FALSE);
        } else {
            Sleep(timeoutMs);
            waitResult = WAIT_TIMEOUT;
        }
        if (waitResult == WAIT_IO_COMPLETION)
            continue;
        if (stop && waitResult == WAIT_OBJECT_0 + stopIndex)
            break;   // a stop: no task, and the loop leaves
        if (waitResult == WAIT_TIMEOUT && keptRequestDue) {
            CheckRequests.Served(GetTickCount());
            break;   // the kept request's pass
        }
        const WaitEnd end = ClassifyWait(waitResult, hasEvent, timerArmed, dueWithinBound);
        if (end == WaitEnd::CheckEvent) {
            // A manual-reset object would otherwise stay set and end every later wait.
            ResetEvent(ScheduleCheckEvent);
            const DWORD delay = CheckRequests.DelayAt(GetTickCount(), timings.CheckRequestGapMs);
            if (delay == 0) {
                CheckRequests.Served(GetTickCount());
                break;
            }
            requestKept = true;
            requestTick = GetTickCount();
            requestDelayMs = delay;
            continue;
        }
        verdict = WaitVerdict(end, seconds, timings.RunNowThresholdSeconds);
        break;
    }

    if (timer)
        CancelWaitableTimer(timer.Get());
    timer.Reset();
    LOG(0, L"Finished Sleeping.");
    return verdict;
}

void RunSchedulerLoop(const Timings& timings)
{
    SleepUnlessSchedulerStops(timings.StartDelayMs);
    ScheduleCheckEvent = OpenScheduleCheckEvent();
    CheckRequests = CheckRequestPacing();

    for (;;) {
        OpenDailyLog();
        if (SchedulerStopFlag)
            break;
        // This pass serves every request made before it; one made during it asks for
        // another.
        if (ScheduleCheckEvent)
            ResetEvent(ScheduleCheckEvent);
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
    RunThreadBody([] {
                      WorkerStateRecorder().RecordServiceStart(UnixSecondsNow(), GetCurrentProcessId());
                      RunSchedulerLoop(ProductTimings());
                  },
                  L"Scheduler thread ended unexpectedly");
    return 0;
}
