#include "schedule/scheduler_thread.h"

#include "log/event_log.h"
#include "log/logger.h"
#include "log/thread_entry.h"
#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "schedule/schedule_events.h"
#include "schedule/state_record.h"
#include "support/access_token.h"
#include "support/never_destroyed.h"
#include "support/product_names.h"
#include "support/registry_key.h"
#include "support/security_descriptor.h"
#include "support/text_format.h"
#include "support/unique_resource.h"

#include <utility>

HANDLE ScheduleCheckEvent = nullptr;

namespace {

constexpr ULONGLONG kTimeUnitsPerMs = 10000;   // FILETIME's 100-ns units

// The passes that check requests cause: when the last one ended, and whether the pass now
// running is one of them. The worker's alone.
struct CheckRequestPacing {
    bool Any = false;
    DWORD LastTick = 0;
    bool PassPending = false;

    DWORD DelayAt(DWORD nowTick, DWORD gapMs) const
    {
        return CheckRequestDelayMs(Any, LastTick, nowTick, gapMs);
    }
    // A request is taken: the pass that follows is its pass.
    void Taken() { PassPending = true; }
    // A pass has ended; the gap before the next request's pass counts from here when a
    // request caused it, so a pass that takes longer than the gap cannot be followed at
    // once by another.
    void PassEnded(DWORD nowTick)
    {
        if (!PassPending)
            return;
        PassPending = false;
        Any = true;
        LastTick = nowTick;
    }
};
CheckRequestPacing CheckRequests;

// PassRequest bits not yet taken by the worker, and the event that ends its wait for them.
LONG volatile PassRequests = 0;
HANDLE PassNowEvent()
{
    // Made on first use by whichever thread comes first; never closed, like the stop event.
    static HANDLE event = CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/FALSE,
                                       /*bInitialState=*/FALSE, /*lpName=*/nullptr);
    return event;
}

LONGLONG volatile ArmedDueTime = 0;

// The computer's sleep so far, sampled at each arm, so that a run can tell how long the
// computer slept since the arm that covered its due time. The worker's alone; plain data.
struct ArmSample {
    ULONGLONG UnixSeconds;
    ULONGLONG SleptMs;
};
struct ArmHistory {
    static constexpr size_t kKept = 64;   // more than a day of waits at the 30-minute bound
    ArmSample Samples[kKept];
    size_t Count;
    size_t Next;

    void Add(const ArmSample& sample)
    {
        Samples[Next] = sample;
        Next = (Next + 1) % kKept;
        if (Count < kKept)
            ++Count;
    }
    // The latest arm at or before due, or the oldest kept when every arm came later; null
    // before the first.
    const ArmSample* Before(ULONGLONG due) const
    {
        const ArmSample* found = nullptr;
        const ArmSample* oldest = nullptr;
        for (size_t i = 0; i < Count; ++i) {
            const ArmSample& sample = Samples[(Next + kKept - Count + i) % kKept];
            if (!oldest)
                oldest = &sample;
            if (sample.UnixSeconds <= due)
                found = &sample;
        }
        return found ? found : oldest;
    }
};
ArmHistory Arms = {};

// The last main task the worker ran, for the reason of a late run. Never destroyed: the
// worker may still run while the process ends.
struct LastTaskRecord {
    std::wstring Application;
    ULONGLONG End = 0;          // UTC seconds
    ULONGLONG SpacingEnd = 0;   // UTC seconds
};
LastTaskRecord& LastTask()
{
    static NeverDestroyed<LastTaskRecord> record;
    return *record;
}

// Whether the State says the computer accepts the wake flag, as this worker life last wrote
// it: -1 before its first arm. The worker's alone.
int RecordedWakeSupport = -1;

void NoteWakeSupport(bool refused, DWORD error)
{
    const int supported = refused ? 0 : 1;
    if (supported != RecordedWakeSupport) {
        WorkerStateRecorder().RecordWakeSupport(!refused);
        RecordedWakeSupport = supported;
    }
    static LONG volatile told = 0;
    if (refused && InterlockedExchange(&told, 1) == 0) {
        ReportWakeNotSupported(error);
        CoverNextFailure(error);
        LOG_FAILURE(0, error,
                    L"This computer does not accept a timer that wakes it (error code = %d); a task due while it sleeps runs when it wakes");
    }
}

// Logs the pass requests taken with the wait's end.
void LogPassRequests()
{
    const LONG why = InterlockedExchange(&PassRequests, 0);
    if (why & static_cast<LONG>(PassRequest::Resumed))
        LOG(0, L"Computer resumed; checking schedules");
    if (why & static_cast<LONG>(PassRequest::TimeChanged))
        LOG(0, L"System time changed; checking schedules");
}

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

void RunDueTask(const CRegistryKey& productKey, const ScheduleCheckResult& due,
                const Timings& timings)
{
    const std::wstring& appToRun = due.AppToRun;
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
    // The due time this run is for: an earlier one that passed without a run, or its answer's.
    LatenessFacts facts;
    facts.Due = due.OverdueSince != 0 ? due.OverdueSince : UnixSecondsFromUnits(due.DueTime);
    facts.Start = UnixSecondsFromUnits(timings.TimeUnitsNow());
    if (const ArmSample* arm = Arms.Before(facts.Due)) {
        const ULONGLONG sleptMs = timings.SleptMs();
        facts.SleptSeconds = sleptMs > arm->SleptMs ? (sleptMs - arm->SleptMs) / 1000 : 0;
    }
    facts.LastTaskApplication = LastTask().Application;
    facts.LastTaskEnd = LastTask().End;
    facts.SpacingEnd = LastTask().SpacingEnd;
    if (facts.Start > facts.Due + timings.LateRunSeconds) {
        LOG(0, L"AppName %s was due %s ago: %s", appToRun.c_str(),
            FormatDuration(facts.Start - facts.Due).c_str(), LatenessReason(facts).c_str());
        ReportLateRun(appToRun, facts, SchedulerStopFlag != 0);
    }
    CStateRecorder& state = WorkerStateRecorder();
    state.RecordRunStart(appToRun, facts.Start, facts.Due, static_cast<DWORD>(facts.SleptSeconds));
    CMainTaskEvents events(appToRun, scanner);
    const RunResult run = RunAndWait(appToRun, scanner, appDir, timings.TaskLimitSeconds, timings, &events);
    const RunOutcome outcome = run.Outcome;
    const ULONGLONG end = UnixSecondsFromUnits(timings.TimeUnitsNow());
    const bool stopping = SchedulerStopFlag != 0;
    state.RecordRunEnd(appToRun, end, run.ExitCode, RunEndingOf(outcome, stopping), run.Error);
    LastTask().Application = appToRun;
    LastTask().End = end;
    LastTask().SpacingEnd = facts.Start + timings.SpacingMs / 1000;
    ReportMainTaskEnd(appToRun, outcome, run.ExitCode, GetTickCount() - start, stopping);
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

CheckEventCreation CreateScheduleCheckEvent()
{
    CheckEventCreation made;
    CSecurityAttributes security;
    made.Error = security.BuildFromSddl(kScheduleCheckEventSddl);
    if (made.Error != ERROR_SUCCESS)
        return made;
    made.Event.Reset(CreateEventW(security.Get(), /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                                  kScheduleCheckEventName));
    made.Error = GetLastError();
    return made;
}

UniqueHandle OpenScheduleCheckEvent()
{
    CheckEventCreation made = CreateScheduleCheckEvent();
    if (!made.Event) {
        LOG_FAILURE(0, made.Error, L"CreateEvent failed, error code = %d");
        return UniqueHandle();
    }
    if (made.Error == ERROR_ALREADY_EXISTS) {
        // Made by someone else first: whoever owns it chose its kind and its DACL.
        const CSid self = ProcessUserSid();
        if (!HasTrustedOwner(made.Event.Get(), self.Get())) {
            made.Event.Reset();
            LOG(0, L"Check event is held by another owner; check requests are ignored");
            return UniqueHandle();
        }
    }
    return std::move(made.Event);
}

UniqueHandle CreateWaitTimer()
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
            return timer;
        timer.Reset();
        timerRefused = true;
    }
    if (timer)
        return timer;
    // A timer of an owner that is not trusted is refused as if access were denied.
    const DWORD reason = timerRefused ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : error;
    static LONG volatile told = 0;
    if (InterlockedExchange(&told, 1) == 0)
        LOG_FAILURE(0, reason,
                    L"Wait timer is held by another owner or cannot be opened (error code = %d); using a timer of its own");
    return UniqueHandle(CreateWaitableTimerW(/*lpTimerAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                             /*lpTimerName=*/nullptr));
}

DWORD CheckRequestDelayMs(bool anyBefore, DWORD lastTick, DWORD nowTick, DWORD gapMs)
{
    // The same arithmetic as the spacing after a run: the rest of a span begun at lastTick.
    return anyBefore ? SpacingSleepMs(lastTick, nowTick, gapMs) : 0;
}

WaitEnd ClassifyWait(DWORD waitResult, bool hasTimer, bool hasEvent, bool dueWithinBound)
{
    if (hasEvent && waitResult == WAIT_OBJECT_0 + (hasTimer ? 1 : 0))
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

void RequestPassNow(PassRequest why)
{
    InterlockedOr(&PassRequests, static_cast<LONG>(why));
    if (HANDLE event = PassNowEvent())
        SetEvent(event);
}

ULONGLONG LastArmedDueTime()
{
    return static_cast<ULONGLONG>(InterlockedCompareExchange64(&ArmedDueTime, 0, 0));
}

bool IsWakeRefused(DWORD lastErrorAfterArm)
{
    // ERROR_TIMER_RESUME_IGNORED, which the SDK's headers do not all define: the status the
    // kernel answers, which Windows turns into ERROR_NOT_SUPPORTED and Wine passes on.
    constexpr DWORD kTimerResumeIgnored = 722;
    return lastErrorAfterArm == ERROR_NOT_SUPPORTED || lastErrorAfterArm == kTimerResumeIgnored;
}

int WaitForDue(DWORD seconds, ULONGLONG dueTime, const Timings& timings)
{
    // An absolute due time: a relative one stops counting while the computer sleeps (Windows
    // 8 and later), so it would neither wake the computer at the wall-clock time nor fire
    // on time afterwards. A due time beyond the bound is armed in full too, so that the
    // computer is woken for it; the bound then only ends the wait for a new pass.
    UniqueHandle timer = CreateWaitTimer();
    bool timerArmed = false;
    LARGE_INTEGER due;
    due.QuadPart = static_cast<LONGLONG>(dueTime);   // positive: an absolute UTC time
    if (timer) {
        SetLastError(ERROR_SUCCESS);
        timerArmed = SetWaitableTimer(timer.Get(), &due, /*lPeriod=*/0, nullptr, nullptr,
                                      /*fResume=*/TRUE) != FALSE;
        const DWORD armError = GetLastError();
        if (timerArmed)
            NoteWakeSupport(IsWakeRefused(armError), armError);
    }
    InterlockedExchange64(&ArmedDueTime, timerArmed ? due.QuadPart : 0);
    Arms.Add({UnixSecondsFromUnits(timings.TimeUnitsNow()), timings.SleptMs()});
    LOG(0, L"Starting to sleep for %d seconds.", seconds);

    // Without a timer the wait's own time-out stands in for the due time.
    const ULONGLONG now = timings.TimeUnitsNow();
    const ULONGLONG dueMs = dueTime > now ? (dueTime - now + kTimeUnitsPerMs - 1) / kTimeUnitsPerMs : 0;
    const bool dueWithinBound = dueMs < timings.WaitBoundMs;
    const DWORD waitMs = (timerArmed || !dueWithinBound) ? timings.WaitBoundMs
                                                         : static_cast<DWORD>(dueMs);
    const DWORD start = GetTickCount();
    HANDLE stop = SchedulerStopEvent();
    HANDLE passNow = PassNowEvent();
    // A request kept until the gap since the last pass a request caused is up.
    bool requestKept = false;
    DWORD requestTick = 0;
    DWORD requestDelayMs = 0;
    int verdict = 0;
    for (;;) {
        // The timer first, so that a due task wins over every request; then the check
        // event, whose index ClassifyWait reads; then the stop and the pass requests.
        HANDLE objects[4];
        DWORD count = 0;
        if (timerArmed)
            objects[count++] = timer.Get();
        const bool hasEvent = ScheduleCheckEvent != nullptr && !requestKept;
        if (hasEvent)
            objects[count++] = ScheduleCheckEvent;
        const DWORD stopIndex = count;
        if (stop)
            objects[count++] = stop;
        const DWORD passNowIndex = count;
        if (passNow)
            objects[count++] = passNow;

        const DWORD tick = GetTickCount();
        const DWORD elapsed = tick - start;
        DWORD timeoutMs = elapsed < waitMs ? waitMs - elapsed : 0;
        bool keptRequestDue = false;
        if (requestKept) {
            const DWORD untilRequest = SpacingSleepMs(requestTick, tick, requestDelayMs);
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
        if (passNow && waitResult == WAIT_OBJECT_0 + passNowIndex) {
            LogPassRequests();
            // A resume that the timer itself caused runs its task as usual.
            if (timerArmed && WaitForSingleObject(timer.Get(), 0) == WAIT_OBJECT_0)
                verdict = WaitVerdict(WaitEnd::DueTime, seconds, timings.RunNowThresholdSeconds);
            break;
        }
        if (waitResult == WAIT_TIMEOUT && keptRequestDue) {
            CheckRequests.Taken();
            break;   // the kept request's pass
        }
        const WaitEnd end = ClassifyWait(waitResult, timerArmed, hasEvent, dueWithinBound);
        if (end == WaitEnd::CheckEvent) {
            // A manual-reset object would otherwise stay set and end every later wait.
            ResetEvent(ScheduleCheckEvent);
            const DWORD delay = CheckRequests.DelayAt(GetTickCount(), timings.CheckRequestGapMs);
            if (delay == 0) {
                CheckRequests.Taken();
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
    // A due time recorded before this moment that no run served was missed.
    const ULONGLONG schedulingStart = UnixSecondsFromUnits(timings.TimeUnitsNow());
    RecordedWakeSupport = -1;
    SleepUnlessSchedulerStops(timings.StartDelayMs);
    // Kept for the rest of the process: other processes open it by its name.
    ScheduleCheckEvent = OpenScheduleCheckEvent().Release();
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
        LogProductKeyFailure(OpenProductKey(productKey, KEY_READ));
        const ScheduleCheckResult result = CheckSchedules(productKey, timings, schedulingStart);
        CheckRequests.PassEnded(GetTickCount());
        AllowSleep();
        // A stop during the pass: no wait and no main task. Its check event ends the wait
        // of a stop that comes later; the slot's stop flag catches one in between.
        if (SchedulerStopFlag)
            continue;
        if (WaitForDue(result.NextCheck, result.DueTime, timings) == 1 && !result.AppToRun.empty() &&
            !SchedulerStopFlag)
            RunDueTask(productKey, result, timings);
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
