#pragma once
// The job object that holds each child the service starts, and with it every process that
// child starts in turn: no breakaway is allowed, so a grandchild cannot leave it. The job
// ends all its processes when its last handle is closed, so a service process that dies
// (and with it every handle it held) takes each child's whole tree along.
#include "support/unique_resource.h"

#include <windows.h>

// Makes a job with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE and no breakaway right. On failure
// logs the failed call with its error code (only the first job failure of the process is
// logged) and returns null: the child then runs without a job. Any thread.
UniqueHandle CreateChildJob();

// Puts a child, created suspended, into job. ERROR_SUCCESS, or the call's code (Windows 7
// refuses when the service itself runs inside another job). Any thread.
[[nodiscard]] DWORD AssignChildToJob(HANDLE job, HANDLE process);

// Logs the failure of a call that kept a child out of its job, at level 0 with the error
// code, once per process: where jobs cannot be had, every child would repeat it.
void ReportChildJobFailure(const wchar_t* call, DWORD error);

// Takes the kill-on-close limit off the job and closes the handle, so that what a child
// that ended by itself left running keeps running. A failed removal is logged and the
// handle is closed all the same. Nothing happens for a null handle.
void ReleaseChildJob(UniqueHandle& job);

// The number of processes still in the job; 0 when it cannot be read.
DWORD ProcessesInJob(HANDLE job);

// Waits up to timeoutMs until no process is left in the job: told by a completion port of
// the job where it can take one, polling otherwise. True when none is left.
bool WaitForEmptyJob(HANDLE job, DWORD timeoutMs);

// Replaces AssignProcessToJobObject for the tests, to make the assignment fail; null
// restores the real call. Set it only while no child is being started.
using JobAssignment = BOOL(WINAPI*)(HANDLE job, HANDLE process);
void SetJobAssignmentForTests(JobAssignment assign);
