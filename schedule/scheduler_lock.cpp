#include "schedule/scheduler_lock.h"

#include "log/logger.h"
#include "support/access_token.h"
#include "support/security_descriptor.h"

SchedulerLockAttempt CSchedulerLock::Take(DWORD waitMs, HANDLE stop)
{
    if (!m_mutex) {
        CSecurityAttributes security;
        if (const DWORD securityError = security.BuildFromSddl(kSchedulerLockSddl);
            securityError != ERROR_SUCCESS)
            return {SchedulerLockResult::Failed, securityError};
        m_mutex.Reset(CreateMutexW(security.Get(), /*bInitialOwner=*/FALSE, kSchedulerLockName));
        const DWORD error = GetLastError();
        if (!m_mutex)
            return {SchedulerLockResult::Failed, error};
        if (error == ERROR_ALREADY_EXISTS) {
            // Whoever made it first chose its DACL: someone who is not trusted could hold it
            // for ever, or let anyone take it.
            const CSid self = ProcessUserSid();
            if (!HasTrustedOwner(m_mutex.Get(), self.Get())) {
                m_mutex.Reset();
                return {SchedulerLockResult::Untrusted, ERROR_ACCESS_DENIED};
            }
        }
    }
    if (m_held)
        return {SchedulerLockResult::Taken, ERROR_SUCCESS};
    // A stop that came first wins, even over a lock that is free.
    if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
        return {SchedulerLockResult::Stopped, ERROR_SUCCESS};

    HANDLE objects[2] = {m_mutex.Get(), stop};
    const DWORD result = WaitForMultipleObjects(stop ? 2 : 1, objects, /*bWaitAll=*/FALSE, waitMs);
    // An abandoned mutex is one whose holder ended without giving it back: its scheduler
    // is gone, and the lock is ours.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) {
        m_held = true;
        return {SchedulerLockResult::Taken, ERROR_SUCCESS};
    }
    if (stop && result == WAIT_OBJECT_0 + 1)
        return {SchedulerLockResult::Stopped, ERROR_SUCCESS};
    if (result == WAIT_TIMEOUT)
        return {SchedulerLockResult::HeldByAnother, ERROR_SUCCESS};
    const DWORD error = GetLastError();
    return {SchedulerLockResult::Failed, error};
}

void CSchedulerLock::Release()
{
    if (m_held && m_mutex)
        ReleaseMutex(m_mutex.Get());
    m_held = false;
}

bool TakeSchedulerLockForService(CSchedulerLock& lock, HANDLE stop)
{
    SchedulerLockAttempt attempt = lock.Take(0, stop);
    if (attempt.Result == SchedulerLockResult::HeldByAnother) {
        LOG(0, L"Another Varnholt Scheduling is scheduling on this computer; waiting for it to end");
        attempt = lock.Take(INFINITE, stop);
    }
    switch (attempt.Result) {
    case SchedulerLockResult::Taken:
        return true;
    case SchedulerLockResult::Stopped:
        return false;
    case SchedulerLockResult::Untrusted:
        LOG(0, L"Scheduler lock is held by another owner; scheduling without it");
        return true;
    case SchedulerLockResult::HeldByAnother:
    case SchedulerLockResult::Failed:
        break;
    }
    LOG_FAILURE(0, attempt.Error, L"CreateMutex failed, error code = %d");
    return true;
}

SchedulerLockHolder WhoHoldsSchedulerLock()
{
    UniqueHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, /*bInheritHandle=*/FALSE, kSchedulerLockName));
    if (!mutex) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? SchedulerLockHolder::Nobody : SchedulerLockHolder::Unknown;
    }
    switch (WaitForSingleObject(mutex.Get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        // Free (or left by a scheduler that ended): given back at once.
        ReleaseMutex(mutex.Get());
        return SchedulerLockHolder::Nobody;
    case WAIT_TIMEOUT:
        return SchedulerLockHolder::Someone;
    default:
        break;
    }
    return SchedulerLockHolder::Unknown;
}
