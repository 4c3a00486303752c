#include "schedule/child_job.h"

#include "log/logger.h"

#include <atomic>

namespace {

// How often a wait for an empty job looks again.
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

bool AssignChildToJob(HANDLE job, HANDLE process)
{
    const JobAssignment assign = Assignment.load();
    return (assign ? assign(job, process) : AssignProcessToJobObject(job, process)) != FALSE;
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

bool WaitForEmptyJob(HANDLE job, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (ProcessesInJob(job) != 0) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(kJobPollMs);
    }
    return true;
}

void SetJobAssignmentForTests(JobAssignment assign) { Assignment.store(assign); }
