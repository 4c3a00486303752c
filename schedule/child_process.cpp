#include "schedule/child_process.h"

#include "log/logger.h"
#include "schedule/child_job.h"
#include "support/srw_lock.h"
#include "support/unique_resource.h"

#include <cwchar>

namespace {

// Guards the fields of every slot. Static initialisation, nothing to destroy.
CSrwLock SlotLock;

}  // namespace

// Every field of a slot is read and written under SlotLock; the other files reach the
// slots only through the operations of child_process.h, which take the lock themselves.
ProcessSlot ScanSlot GUARDED_BY(SlotLock) = {};
ProcessSlot PushSlot GUARDED_BY(SlotLock) = {};

LONG volatile SchedulerStopFlag = 0;
LONG volatile PushStopFlag = 0;

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

namespace {

// The job of the child in each global slot, the same handle value that the slot's owner
// holds; null when the slot is empty or its child runs without a job.
HANDLE ScanJob GUARDED_BY(SlotLock) = nullptr;
HANDLE PushJob GUARDED_BY(SlotLock) = nullptr;

constexpr UINT kTerminatedExitCode = ERROR_PROCESS_ABORTED;   // 1067
// TerminateProcess only starts the end of a process; the stop waits this long for it, so
// that no child is left running once the service reports itself stopped.
constexpr DWORD kTerminationWaitMs = 2000;

// The way to the fields of a slot given by pointer or reference. The analysis ties
// GUARDED_BY to the two globals by name only; through this, every access to a slot is
// checked to happen under the slot lock.
ProcessSlot& Guarded(ProcessSlot& slot) REQUIRES(SlotLock) { return slot; }
const ProcessSlot& Guarded(const ProcessSlot& slot) REQUIRES(SlotLock) { return slot; }

// Where the job of a slot's child is kept; null for a slot of the caller's own.
HANDLE* JobBeside(const ProcessSlot* slot) REQUIRES(SlotLock)
{
    if (slot == &ScanSlot)
        return &ScanJob;
    if (slot == &PushSlot)
        return &PushJob;
    return nullptr;
}

// An empty desktop name (not a null pointer) in the startup record.
wchar_t EmptyDesktop[] = L"";

STARTUPINFOW HiddenStartup()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = EmptyDesktop;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    return startup;
}

// The flag that closes a slot to new children; null for a slot of the caller's own.
const LONG volatile* StopFlagOf(const ProcessSlot* slot)
{
    if (slot == &ScanSlot)
        return &SchedulerStopFlag;
    if (slot == &PushSlot)
        return &PushStopFlag;
    return nullptr;
}

// Takes job from beside the slot, where it stands unless a stop or a new child has
// replaced it.
// cppcheck-suppress constParameter ; a handle type has no pointee to make const
void ForgetJob(const ProcessSlot* slot, HANDLE job) EXCLUDES(SlotLock)
{
    ExclusiveLock hold(SlotLock);
    HANDLE* beside = JobBeside(slot);
    if (beside && *beside == job)
        *beside = nullptr;
}

enum class Creation { Created, Failed, Stopping };

// What CreateInJob did: ERROR_SUCCESS or the failed call's code; and, for a child that runs
// without its job, why it could not be put in it.
struct InJob {
    DWORD Error = ERROR_SUCCESS;
    DWORD AssignError = ERROR_SUCCESS;
};

// Creates the process suspended, puts it in job (when there is one) and resumes it. A child
// that cannot be put in its job runs without one: job is then reset.
InJob CreateInJob(std::wstring& commandLine, const wchar_t* workingDirectory,
                  PROCESS_INFORMATION& info, UniqueHandle& job)
{
    InJob result;
    STARTUPINFOW startup = HiddenStartup();
    if (!CreateProcessW(/*lpApplicationName=*/nullptr, &commandLine[0],
                        /*lpProcessAttributes=*/nullptr, /*lpThreadAttributes=*/nullptr,
                        /*bInheritHandles=*/TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED,
                        /*lpEnvironment=*/nullptr, workingDirectory, &startup, &info)) {
        result.Error = GetLastError();
        job.Reset();
        return result;
    }
    if (job) {
        result.AssignError = AssignChildToJob(job.Get(), info.hProcess);
        if (result.AssignError != ERROR_SUCCESS)
            job.Reset();   // holds no process: closing it ends nothing
    }
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        result.Error = GetLastError();
        TerminateProcess(info.hProcess, kTerminatedExitCode);
        UniqueProcessInformation(info).Reset();
        info = {};
        job.Reset();
    }
    return result;
}

// What CreateHidden did, and the failed call's code for Failed.
struct Hidden {
    Creation What = Creation::Stopping;
    DWORD Error = ERROR_SUCCESS;
};

// Creates the process and publishes it into the slot (when one is given), with its job
// beside it, under the slot lock, so that a stop handler either finds the new child in the
// slot or runs before it exists: a child created in between could not be found to be
// killed. For the same reason the slot's stop flag is tested under the lock: once it is
// set, no child is created. CreateProcessW may write into the command line, so it gets the
// string's own buffer. job receives the child's job, null when it runs without one.
Hidden CreateHidden(std::wstring& commandLine, const wchar_t* workingDirectory,
                    ProcessSlot* slot, PROCESS_INFORMATION& info, UniqueHandle& job)
    EXCLUDES(SlotLock)
{
    info = {};
    job = CreateChildJob();
    const LONG volatile* stopFlag = StopFlagOf(slot);
    Hidden hidden;
    InJob created;
    {
        ExclusiveLock hold(SlotLock);
        if (!(stopFlag && *stopFlag)) {
            created = CreateInJob(commandLine, workingDirectory, info, job);
            hidden = {created.Error == ERROR_SUCCESS ? Creation::Created : Creation::Failed, created.Error};
            if (hidden.What == Creation::Created && slot) {
                Guarded(*slot) = info;
                if (HANDLE* beside = JobBeside(slot))
                    *beside = job.Get();
            }
        }
    }
    if (hidden.What != Creation::Created)
        job.Reset();
    if (created.AssignError != ERROR_SUCCESS)
        ReportChildJobFailure(L"AssignProcessToJobObject", created.AssignError);
    return hidden;
}

}  // namespace

UniqueProcessInformation LaunchProcess(std::wstring commandLine, ProcessSlot* slot, UniqueHandle* job)
{
    LOG(3, L"Launching '%s'", commandLine.c_str());
    PROCESS_INFORMATION info = {};
    UniqueHandle childJob;
    const Hidden hidden = CreateHidden(commandLine, /*workingDirectory=*/nullptr, slot, info, childJob);
    switch (hidden.What) {
    case Creation::Created:
        if (job) {
            *job = std::move(childJob);
        } else {
            // Nobody keeps the job: it leaves the slot's side before its handle is closed.
            ForgetJob(slot, childJob.Get());
            ReleaseChildJob(childJob);
        }
        return UniqueProcessInformation(info);
    case Creation::Stopping:
        LOG(0, L"Not starting %s: the service is stopping", commandLine.c_str());
        break;
    case Creation::Failed:
        LOG_FAILURE(0, hidden.Error, L"CreateProcess failed, error code = %d");
        break;
    }
    return UniqueProcessInformation();
}

RunResult RunAndWait(const std::wstring& label, std::wstring& commandLine,
                     const std::wstring& workingDirectory, LONG limitSeconds, const Timings& timings,
                     CRunObserver* observer)
{
    RunResult result;
    LOG(3, L"Starting %s '%s'", label.c_str(), commandLine.c_str());
    if (commandLine.empty())
        commandLine.push_back(L'\0');   // a buffer to hand over; its length is re-derived below

    PROCESS_INFORMATION own = {};
    UniqueHandle job;
    const Hidden hidden = CreateHidden(commandLine, workingDirectory.c_str(), &ScanSlot, own, job);
    if (hidden.What != Creation::Created) {
        if (hidden.What == Creation::Stopping) {
            LOG(0, L"Not starting %s: the service is stopping", label.c_str());
        } else {
            result.Error = hidden.Error;
            if (observer)
                observer->NotStarted(hidden.Error);
            LOG_FAILURE(0, hidden.Error, L"CreateProcess failed, error code = %d");
        }
        commandLine.resize(std::wcslen(commandLine.c_str()));
        return result;
    }
    UniqueProcessInformation run(own);

    if (observer)
        observer->Started();
    const DWORD limitMs = static_cast<DWORD>(limitSeconds) * 1000u;
    if (WaitForSingleObject(run.Process(), limitMs) == WAIT_TIMEOUT) {
        LOG(0, L"Killing %s '%s'", label.c_str(), commandLine.c_str());
        const ChildToEnd child = {run.Process(), run.Thread(), job.Get()};
        KillChildren(&child, 1, timings.KillGraceMs);
        result.ExitCode = kKilledExitCode;
        result.Outcome = RunOutcome::KilledAtLimit;
    } else {
        DWORD exitCode = static_cast<DWORD>(kKilledExitCode);
        GetExitCodeProcess(run.Process(), &exitCode);
        result.ExitCode = static_cast<int>(exitCode);
        LOG(2, L"Got ExitCode=%d from %s '%s'", result.ExitCode, label.c_str(), commandLine.c_str());
        result.Outcome = RunOutcome::Ended;
    }

    {
        ExclusiveLock hold(SlotLock);
        ScanSlot.hThread = nullptr;
        ScanSlot.hProcess = nullptr;
        ScanJob = nullptr;
    }
    run.Reset();
    // A task that ended by itself may have started programs meant to outlive it. (When the
    // stop ended it, the stop ends its job through a handle of its own.) What is left of
    // one killed at its limit was ended with it.
    if (result.Outcome == RunOutcome::Ended)
        ReleaseChildJob(job);
    job.Reset();

    commandLine.resize(std::wcslen(commandLine.c_str()));
    return result;
}

namespace {

// Ends what is left in a child's job after the grace: the child, if it still runs, or what
// a child that quit left behind. False when the job could not be terminated.
bool EndJob(HANDLE job, HANDLE process, bool running)
{
    if (!running && ProcessesInJob(job) == 0)
        return true;
    if (!TerminateJobObject(job, kTerminatedExitCode)) {
        LOG_LAST_ERROR(0, L"TerminateJobObject failed, error code = %d");
        return false;
    }
    WaitForSingleObject(process, kTerminationWaitMs);
    WaitForEmptyJob(job, kTerminationWaitMs);
    return true;
}

}  // namespace

void KillChildren(const ChildToEnd* children, size_t count, DWORD graceMs)
{
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    const ChildToEnd* listed[MAXIMUM_WAIT_OBJECTS];
    DWORD waited = 0;
    for (size_t i = 0; i < count && waited < MAXIMUM_WAIT_OBJECTS; ++i) {
        const ChildToEnd& child = children[i];
        if (!child.Process)
            continue;
        // Only to a child still running, and to the id of the thread whose handle is held:
        // an id is not reused while a handle to its thread is open, but the id of an ended
        // child's thread may already belong to a thread of another process. Fails when the
        // child has no message queue (a console program, or one just started); the grace
        // then runs out for it.
        if (child.Thread && WaitForSingleObject(child.Process, 0) == WAIT_TIMEOUT)
            PostThreadMessageW(GetThreadId(child.Thread), WM_QUIT, 0, 0);
        processes[waited] = child.Process;
        listed[waited++] = &child;
    }
    if (waited == 0)
        return;

    // One grace for all of them: a child that quits at once costs nothing, and two that
    // do not cost one grace, not two.
    if (WaitForMultipleObjects(waited, processes, /*bWaitAll=*/TRUE, graceMs) == WAIT_FAILED)
        Sleep(graceMs);

    for (DWORD i = 0; i < waited; ++i) {
        const ChildToEnd& child = *listed[i];
        const bool running = WaitForSingleObject(child.Process, 0) != WAIT_OBJECT_0;
        if (child.Job && EndJob(child.Job, child.Process, running))
            continue;
        if (!running)
            continue;   // it has ended: nothing to terminate, nothing failed
        if (!TerminateProcess(child.Process, kTerminatedExitCode)) {
            LOG_LAST_ERROR(0, L"KillProcess failed, error %d");
            continue;
        }
        WaitForSingleObject(child.Process, kTerminationWaitMs);
    }
}

namespace {

// A duplicate of handle for this process; null when handle is null or cannot be
// duplicated (error then receives why).
UniqueHandle Duplicate(HANDLE handle, DWORD& error)
{
    HANDLE duplicate = nullptr;
    if (handle && !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate,
                                   0, /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        duplicate = nullptr;
    }
    return UniqueHandle(duplicate);
}

}  // namespace

void StopSlotChildren(ProcessSlot* const* slots, size_t count, DWORD graceMs)
{
    constexpr size_t kMostSlots = 4;
    ProcessSlot seen[kMostSlots] = {};
    ChildToEnd targets[kMostSlots] = {};
    UniqueHandle processes[kMostSlots];
    UniqueHandle threads[kMostSlots];
    UniqueHandle jobs[kMostSlots];
    DWORD duplicateError = ERROR_SUCCESS;
    if (count > kMostSlots)
        count = kMostSlots;
    {
        ExclusiveLock hold(SlotLock);
        for (size_t i = 0; i < count; ++i) {
            const ProcessSlot& slot = Guarded(*slots[i]);
            if (!slot.hProcess)
                continue;
            // The owner cannot close its handles while the lock is held, so the duplicates
            // name this very process, thread and job, and keep the ids from being reused
            // until they are closed.
            processes[i] = Duplicate(slot.hProcess, duplicateError);
            if (!processes[i])
                continue;
            threads[i] = Duplicate(slot.hThread, duplicateError);
            const HANDLE* job = JobBeside(slots[i]);
            jobs[i] = Duplicate(job ? *job : nullptr, duplicateError);
            seen[i] = slot;
            targets[i] = {processes[i].Get(), threads[i].Get(), jobs[i].Get()};
        }
    }
    if (duplicateError != ERROR_SUCCESS)
        LOG_FAILURE(0, duplicateError, L"DuplicateHandle failed, error code = %d");

    KillChildren(targets, count, graceMs);

    ExclusiveLock hold(SlotLock);
    for (size_t i = 0; i < count; ++i) {
        ProcessSlot& slot = Guarded(*slots[i]);
        if (seen[i].hProcess && slot.hProcess == seen[i].hProcess &&
            slot.dwProcessId == seen[i].dwProcessId) {
            slot.hProcess = nullptr;
            if (HANDLE* job = JobBeside(slots[i]))
                *job = nullptr;
        }
    }
}

DWORD LongestSlotStopMs(size_t count, DWORD graceMs)
{
    // EndJob waits for the process and then for the job; a child without a job, or whose
    // job could not be ended, waits for its process alone.
    return graceMs + static_cast<DWORD>(count) * 2 * kTerminationWaitMs;
}

void ClearSlot(ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    Guarded(slot) = ProcessSlot{};
    if (HANDLE* job = JobBeside(&slot))
        *job = nullptr;
}

ProcessSlot SnapshotSlot(const ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    return Guarded(slot);
}
