#include "schedule/child_process.h"

#include "log/logger.h"
#include "support/srw_lock.h"
#include "support/unique_resource.h"

#include <cwchar>

ProcessSlot ScanSlot = {};
ProcessSlot PushSlot = {};

namespace {

constexpr int kKilledResult = -1;
constexpr int kNotStartedResult = 9999;
constexpr UINT kKilledExitCode = ERROR_PROCESS_ABORTED;   // 1067

// Guards the fields of every slot. Static initialisation, nothing to destroy.
SRWLOCK SlotLock = SRWLOCK_INIT;

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

// Creates the process and publishes it into the slot (when one is given) under the slot
// lock, so that a stop handler either finds the new child in the slot or runs before it
// exists: a child created in between could not be found to be killed. CreateProcessW may
// write into the command line, so it gets the string's own buffer.
bool CreateHidden(std::wstring& commandLine, const wchar_t* workingDirectory,
                  ProcessSlot* slot, PROCESS_INFORMATION& info)
{
    STARTUPINFOW startup = HiddenStartup();
    info = {};
    ExclusiveLock hold(SlotLock);
    const BOOL created = CreateProcessW(/*lpApplicationName=*/nullptr, &commandLine[0],
                                        /*lpProcessAttributes=*/nullptr,
                                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/TRUE,
                                        NORMAL_PRIORITY_CLASS, /*lpEnvironment=*/nullptr,
                                        workingDirectory, &startup, &info);
    const DWORD error = GetLastError();
    if (created && slot)
        *slot = info;
    SetLastError(error);
    return created != FALSE;
}

}  // namespace

PROCESS_INFORMATION LaunchProcess(std::wstring commandLine, ProcessSlot* slot)
{
    LOG(3, L"Launching '%s'", commandLine.c_str());
    PROCESS_INFORMATION info = {};
    if (!CreateHidden(commandLine, /*workingDirectory=*/nullptr, slot, info)) {
        const DWORD error = GetLastError();
        LOG(0, L"CreateProcess failed, error code = %d", SystemError(error));
        return PROCESS_INFORMATION{};
    }
    return info;
}

int RunAndWait(const std::wstring& label, std::wstring& commandLine,
               const std::wstring& workingDirectory, LONG limitSeconds, const Timings& timings)
{
    int result = kKilledResult;
    LOG(3, L"Starting %s '%s'", label.c_str(), commandLine.c_str());
    if (commandLine.empty())
        commandLine.push_back(L'\0');   // a buffer to hand over; its length is re-derived below

    PROCESS_INFORMATION own = {};
    if (!CreateHidden(commandLine, workingDirectory.c_str(), &ScanSlot, own)) {
        const DWORD error = GetLastError();
        LOG(0, L"CreateProcess failed, error code = %d", SystemError(error));
        commandLine.resize(std::wcslen(commandLine.c_str()));
        return kNotStartedResult;
    }

    const DWORD limitMs = static_cast<DWORD>(limitSeconds) * 1000u;
    if (WaitForSingleObject(own.hProcess, limitMs) == WAIT_TIMEOUT) {
        LOG(0, L"Killing %s '%s'", label.c_str(), commandLine.c_str());
        KillChild(own, timings.KillGraceMs);
    } else {
        DWORD exitCode = static_cast<DWORD>(kKilledResult);
        GetExitCodeProcess(own.hProcess, &exitCode);
        result = static_cast<int>(exitCode);
        LOG(2, L"Got ExitCode=%d from %s '%s'", result, label.c_str(), commandLine.c_str());
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

void KillChild(ProcessSlot slot, DWORD graceMs)
{
    PostThreadMessageW(slot.dwThreadId, WM_QUIT, 0, 0);
    Sleep(graceMs);
    if (!TerminateProcess(slot.hProcess, kKilledExitCode)) {
        const DWORD error = GetLastError();
        LOG(0, L"KillProcess failed, error %d", error);
    }
}

void StopSlotChild(ProcessSlot& slot, DWORD graceMs)
{
    ProcessSlot copy = {};
    UniqueHandle process;
    {
        ExclusiveLock hold(SlotLock);
        if (!slot.hProcess)
            return;
        copy = slot;
        // The owner cannot close its handle while the lock is held, so the duplicate names
        // this very process, and keeps its id from being reused until it is closed.
        HANDLE duplicate = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), slot.hProcess, GetCurrentProcess(), &duplicate,
                            0, /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS))
            process.Reset(duplicate);
    }

    ProcessSlot target = copy;
    target.hProcess = process.Get();
    KillChild(target, graceMs);

    ExclusiveLock hold(SlotLock);
    if (slot.hProcess == copy.hProcess && slot.dwProcessId == copy.dwProcessId)
        slot.hProcess = nullptr;
}

void ClearSlot(ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    slot = ProcessSlot{};
}

ProcessSlot SnapshotSlot(const ProcessSlot& slot)
{
    ExclusiveLock hold(SlotLock);
    return slot;
}
