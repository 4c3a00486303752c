#include "schedule/child_process.h"

#include "log/logger.h"
#include "schedule/push_script.h"
#include "schedule/schedule_events.h"
#include "schedule/scheduler_thread.h"
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

namespace {

constexpr int kKilledResult = -1;
constexpr int kNotStartedResult = 9999;
constexpr UINT kKilledExitCode = ERROR_PROCESS_ABORTED;   // 1067
// TerminateProcess only starts the end of a process; the stop waits this long for it, so
// that no child is left running once the service reports itself stopped.
constexpr DWORD kTerminationWaitMs = 2000;

// The way to the fields of a slot given by pointer or reference. The analysis ties
// GUARDED_BY to the two globals by name only; through this, every access to a slot is
// checked to happen under the slot lock.
ProcessSlot& Guarded(ProcessSlot& slot) REQUIRES(SlotLock) { return slot; }
const ProcessSlot& Guarded(const ProcessSlot& slot) REQUIRES(SlotLock) { return slot; }

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

enum class Creation { Created, Failed, Stopping };

// Creates the process and publishes it into the slot (when one is given) under the slot
// lock, so that a stop handler either finds the new child in the slot or runs before it
// exists: a child created in between could not be found to be killed. For the same reason
// the slot's stop flag is tested under the lock: once it is set, no child is created.
// CreateProcessW may write into the command line, so it gets the string's own buffer.
// After a failure the thread's last error holds CreateProcessW's.
Creation CreateHidden(std::wstring& commandLine, const wchar_t* workingDirectory,
                      ProcessSlot* slot, PROCESS_INFORMATION& info) EXCLUDES(SlotLock)
{
    STARTUPINFOW startup = HiddenStartup();
    info = {};
    const LONG volatile* stopFlag = StopFlagOf(slot);
    ExclusiveLock hold(SlotLock);
    if (stopFlag && *stopFlag)
        return Creation::Stopping;
    const BOOL created = CreateProcessW(/*lpApplicationName=*/nullptr, &commandLine[0],
                                        /*lpProcessAttributes=*/nullptr,
                                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/TRUE,
                                        NORMAL_PRIORITY_CLASS, /*lpEnvironment=*/nullptr,
                                        workingDirectory, &startup, &info);
    const DWORD error = GetLastError();
    if (created && slot)
        Guarded(*slot) = info;
    SetLastError(error);
    return created ? Creation::Created : Creation::Failed;
}

}  // namespace

PROCESS_INFORMATION LaunchProcess(std::wstring commandLine, ProcessSlot* slot)
{
    LOG(3, L"Launching '%s'", commandLine.c_str());
    PROCESS_INFORMATION info = {};
    switch (CreateHidden(commandLine, /*workingDirectory=*/nullptr, slot, info)) {
    case Creation::Created:
        return info;
    case Creation::Stopping:
        LOG(0, L"Not starting %s: the service is stopping", commandLine.c_str());
        break;
    case Creation::Failed: {
        const DWORD error = GetLastError();
        LOG(0, L"CreateProcess failed, error code = %d", SystemError(error));
        break;
    }
    }
    return PROCESS_INFORMATION{};
}

int RunAndWait(const std::wstring& label, std::wstring& commandLine,
               const std::wstring& workingDirectory, LONG limitSeconds, const Timings& timings,
               RunOutcome* outcome)
{
    RunOutcome ignored = RunOutcome::NotStarted;
    RunOutcome& what = outcome ? *outcome : ignored;
    what = RunOutcome::NotStarted;
    int result = kKilledResult;
    LOG(3, L"Starting %s '%s'", label.c_str(), commandLine.c_str());
    if (commandLine.empty())
        commandLine.push_back(L'\0');   // a buffer to hand over; its length is re-derived below

    PROCESS_INFORMATION own = {};
    const Creation creation = CreateHidden(commandLine, workingDirectory.c_str(), &ScanSlot, own);
    if (creation != Creation::Created) {
        const DWORD error = GetLastError();
        if (creation == Creation::Stopping) {
            LOG(0, L"Not starting %s: the service is stopping", label.c_str());
        } else {
            NoteProgramNotStarted(error);
            LOG(0, L"CreateProcess failed, error code = %d", SystemError(error));
        }
        commandLine.resize(std::wcslen(commandLine.c_str()));
        return kNotStartedResult;
    }

    NoteProgramStarted();
    const DWORD limitMs = static_cast<DWORD>(limitSeconds) * 1000u;
    if (WaitForSingleObject(own.hProcess, limitMs) == WAIT_TIMEOUT) {
        LOG(0, L"Killing %s '%s'", label.c_str(), commandLine.c_str());
        KillChild(own, timings.KillGraceMs);
        what = RunOutcome::KilledAtLimit;
    } else {
        DWORD exitCode = static_cast<DWORD>(kKilledResult);
        GetExitCodeProcess(own.hProcess, &exitCode);
        result = static_cast<int>(exitCode);
        LOG(2, L"Got ExitCode=%d from %s '%s'", result, label.c_str(), commandLine.c_str());
        what = RunOutcome::Ended;
    }

    {
        ExclusiveLock hold(SlotLock);
        ScanSlot.hThread = nullptr;
        ScanSlot.hProcess = nullptr;
    }
    CloseHandle(own.hThread);
    CloseHandle(own.hProcess);

    commandLine.resize(std::wcslen(commandLine.c_str()));
    return result;
}

void KillChildren(const ProcessSlot* children, size_t count, DWORD graceMs)
{
    HANDLE running[MAXIMUM_WAIT_OBJECTS];
    DWORD waited = 0;
    for (size_t i = 0; i < count && waited < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (!children[i].hProcess)
            continue;
        // Fails when the child has no message queue (yet); the grace then runs out for it.
        PostThreadMessageW(children[i].dwThreadId, WM_QUIT, 0, 0);
        running[waited++] = children[i].hProcess;
    }
    if (waited == 0)
        return;

    // One grace for all of them: a child that quits at once costs nothing, and two that
    // do not cost one grace, not two.
    if (WaitForMultipleObjects(waited, running, /*bWaitAll=*/TRUE, graceMs) == WAIT_FAILED)
        Sleep(graceMs);

    for (DWORD i = 0; i < waited; ++i) {
        if (WaitForSingleObject(running[i], 0) == WAIT_OBJECT_0)
            continue;   // it has ended: nothing to terminate, nothing failed
        if (!TerminateProcess(running[i], kKilledExitCode)) {
            const DWORD error = GetLastError();
            LOG(0, L"KillProcess failed, error %d", SystemError(error));
            continue;
        }
        WaitForSingleObject(running[i], kTerminationWaitMs);
    }
}

void StopSlotChildren(ProcessSlot* const* slots, size_t count, DWORD graceMs)
{
    constexpr size_t kMostSlots = 4;
    ProcessSlot seen[kMostSlots] = {};
    ProcessSlot targets[kMostSlots] = {};
    UniqueHandle processes[kMostSlots];
    DWORD duplicateError = ERROR_SUCCESS;
    if (count > kMostSlots)
        count = kMostSlots;
    {
        ExclusiveLock hold(SlotLock);
        for (size_t i = 0; i < count; ++i) {
            const ProcessSlot& slot = Guarded(*slots[i]);
            if (!slot.hProcess)
                continue;
            // The owner cannot close its handle while the lock is held, so the duplicate
            // names this very process, and keeps its id from being reused until it is
            // closed.
            HANDLE duplicate = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), slot.hProcess, GetCurrentProcess(),
                                 &duplicate, 0, /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
                duplicateError = GetLastError();
                continue;
            }
            processes[i].Reset(duplicate);
            seen[i] = slot;
            targets[i] = seen[i];
            targets[i].hProcess = duplicate;
        }
    }
    if (duplicateError != ERROR_SUCCESS)
        LOG(0, L"DuplicateHandle failed, error code = %d", SystemError(duplicateError));

    KillChildren(targets, count, graceMs);

    ExclusiveLock hold(SlotLock);
    for (size_t i = 0; i < count; ++i) {
        ProcessSlot& slot = Guarded(*slots[i]);
        if (seen[i].hProcess && slot.hProcess == seen[i].hProcess &&
            slot.dwProcessId == seen[i].dwProcessId)
            slot.hProcess = nullptr;
    }
}

void ClearSlot(ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    Guarded(slot) = ProcessSlot{};
}

ProcessSlot SnapshotSlot(const ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    return Guarded(slot);
}
