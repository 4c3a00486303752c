#include "schedule/child_job.h"

#include "log/logger.h"

#include <atomic>

namespace {

// How often a wait for an empty job looks again when it can be told no other way.
constexpr DWORD kJobPollMs = 10;

std::atomic<JobAssignment> Assignment{nullptr};
// 1 once a job failure has been logged.
LONG volatile JobFailureLogged = 0;

}  // namespace

void ReportChildJobFailure(const wchar_t* call, DWORD error)
{
    if (InterlockedExchange(&JobFailureLogged, 1) != 0)
        return;
    LOG_FAILURE(0, error, L"%s failed, error code = %d; children run without a job object", call);
}

UniqueHandle CreateChildJob()
{
    UniqueHandle job(CreateJobObjectW(/*lpJobAttributes=*/nullptr, /*lpName=*/nullptr));
    if (!job) {
        const DWORD error = GetLastError();
        ReportChildJobFailure(L"CreateJobObject", error);
        return UniqueHandle();
    }
    // No JOB_OBJECT_LIMIT_BREAKAWAY_OK nor SILENT_BREAKAWAY_OK: every descendant stays in.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        const DWORD error = GetLastError();
        ReportChildJobFailure(L"SetInformationJobObject", error);
        return UniqueHandle();
    }
    return job;
}

DWORD AssignChildToJob(HANDLE job, HANDLE process)
{
    const JobAssignment assign = Assignment.load();
    if ((assign ? assign(job, process) : AssignProcessToJobObject(job, process)) != FALSE)
        return ERROR_SUCCESS;
    return GetLastError();
}

void ReleaseChildJob(UniqueHandle& job)
{
    if (!job)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        LOG_LAST_ERROR(0, L"SetInformationJobObject failed, error code = %d");
    }
    job.Reset();
}

DWORD ProcessesInJob(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof(accounting), /*lpReturnLength=*/nullptr))
        return 0;
    return accounting.ActiveProcesses;
}

namespace {

// Waits for the job's last process to end through a completion port of the job, which the
// system tells of it (JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO). False when the port cannot be had:
// a job takes one port at a time, only Windows 8 and later can take one off again (done
// after the wait), and Wine 8 refuses a second port whatever was done
// (ERROR_INVALID_PARAMETER). The system does not promise to deliver every message, so a
// wait that runs out looks at the count once more.
bool WaitThroughCompletionPort(HANDLE job, DWORD timeoutMs, bool& empty)
{
    const UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, /*ExistingCompletionPort=*/nullptr,
                                                   /*CompletionKey=*/0, /*NumberOfConcurrentThreads=*/1));
    if (!port)
        return false;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionKey = job;
    association.CompletionPort = port.Get();
    if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                 sizeof(association)))
        return false;
    // A job that emptied before the port was associated sends nothing more.
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (ULONGLONG now = GetTickCount64(); ProcessesInJob(job) != 0 && now < end; now = GetTickCount64()) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        if (!GetQueuedCompletionStatus(port.Get(), &message, &key, &overlapped,
                                       static_cast<DWORD>(end - now)))
            break;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
            break;
    }
    empty = ProcessesInJob(job) == 0;
    association.CompletionPort = nullptr;
    SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                            sizeof(association));
    return true;
}

}  // namespace

bool WaitForEmptyJob(HANDLE job, DWORD timeoutMs)
{
    bool empty = false;
    if (WaitThroughCompletionPort(job, timeoutMs, empty))
        return empty;
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ProcessesInJob(job) != 0) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(kJobPollMs);
    }
    return true;
}

void SetJobAssignmentForTests(JobAssignment assign) { Assignment.store(assign); }
