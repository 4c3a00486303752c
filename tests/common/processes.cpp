#include "tests/common/processes.h"

#include "tests/common/files.h"
#include "tests/common/program_paths.h"
#include "tests/common/wait_until.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>

DWORD RunAndCollect(const std::wstring& commandLine, DWORD timeoutMs)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // A run of the program once came back in milliseconds with no exit code in CI, never
    // here, most likely a launch that Wine refused. The run under test is the program's,
    // not the launch, so a failed launch is tried again, and every way of coming back
    // without the program's own exit code says so on standard error.
    for (int attempt = 1;; ++attempt) {
        std::wstring buffer = commandLine;
        if (CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info))
            break;
        const DWORD error = GetLastError();
        std::fprintf(stderr, "RunAndCollect: CreateProcess failed, error %lu (attempt %d)\n",
                     error, attempt);
        if (attempt == 3)
            return ~0u;
        Sleep(500);
    }
    const UniqueProcessInformation started(info);
    if (WaitForSingleObject(started.Process(), timeoutMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "RunAndCollect: no end within %lu ms; terminated\n", timeoutMs);
        TerminateProcess(started.Process(), 1);
        WaitForSingleObject(started.Process(), 5000);
        return ~0u;
    }
    DWORD code = ~0u;
    if (!GetExitCodeProcess(started.Process(), &code))
        std::fprintf(stderr, "RunAndCollect: GetExitCodeProcess failed, error %lu\n", GetLastError());
    return code;
}

DWORD RunProduct(const std::wstring& arguments, DWORD timeoutMs)
{
    return RunAndCollect(ProductCommand(arguments), timeoutMs);
}

BackgroundChild::BackgroundChild(const std::wstring& arguments)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring command = TestChildCommand(arguments);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info))
        m_info.Reset(info);
}

BackgroundChild::~BackgroundChild()
{
    if (!m_info)
        return;
    TerminateProcess(m_info.Process(), 1);
    WaitForSingleObject(m_info.Process(), 5000);
}

UniqueHandle CreateKillOnCloseJob()
{
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job)
        return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    return job;
}

UniqueProcessInformation StartInJob(HANDLE job, const std::wstring& commandLine, BOOL inheritHandles,
                                    DWORD creationFlags, STARTUPINFOW& startup)
{
    std::wstring command = commandLine;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, inheritHandles,
                        creationFlags | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info))
        return UniqueProcessInformation();
    UniqueProcessInformation started(info);
    AssignProcessToJobObject(job, started.Process());
    ResumeThread(started.Thread());
    return started;
}

void EndJob(HANDLE job, const UniqueProcessInformation& started)
{
    if (!started)
        return;
    TerminateJobObject(job, 1);
    WaitForSingleObject(started.Process(), 5000);
}

BackgroundProcess::BackgroundProcess(const std::wstring& commandLine) : m_job(CreateKillOnCloseJob())
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    m_info = StartInJob(m_job.Get(), commandLine, FALSE, 0, startup);
}

BackgroundProcess::~BackgroundProcess() { EndJob(m_job.Get(), m_info); }

namespace {

// Calls found(process id) for each process that runs an executable of this file name;
// false when the processes cannot be listed.
template <class Found> bool ForEachProcess(const wchar_t* exeName, Found found)
{
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0)
            found(entry.th32ProcessID);
    }
    return true;
}

}  // namespace

int CountProcesses(const wchar_t* exeName)
{
    int count = 0;
    return ForEachProcess(exeName, [&](DWORD) { ++count; }) ? count : -1;
}

std::vector<DWORD> ProcessIdsOf(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    ForEachProcess(exeName, [&](DWORD id) { ids.push_back(id); });
    return ids;
}

std::vector<UniqueHandle> OpenProcesses(const wchar_t* exeName, DWORD access)
{
    std::vector<UniqueHandle> processes;
    ForEachProcess(exeName, [&](DWORD id) {
        UniqueHandle process(OpenProcess(access, /*bInheritHandle=*/FALSE, id));
        if (process)
            processes.push_back(std::move(process));
    });
    return processes;
}

void EndProcesses(const wchar_t* exeName)
{
    for (const UniqueHandle& process : OpenProcesses(exeName, PROCESS_TERMINATE))
        TerminateProcess(process.Get(), 1);
}

UniqueHandle OpenSpawnedChild(const std::wstring& idFile, DWORD timeoutMs)
{
    DWORD id = 0;
    WaitUntil([&] {
        id = static_cast<DWORD>(std::strtoul(ReadFileBytes(idFile).c_str(), nullptr, 10));
        return id != 0;
    }, timeoutMs);
    if (id == 0)
        return UniqueHandle();
    return UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                    /*bInheritHandle=*/FALSE, id));
}

bool StillRunning(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

DWORD ExitCodeOf(HANDLE process)
{
    DWORD code = ~0u;
    return GetExitCodeProcess(process, &code) ? code : ~0u;
}
