#pragma once
// An SRWLOCK used exclusively, and its holder for one scope. A CSrwLock is initialised at
// compile time and has nothing to destroy, so a lock of static storage stays usable to the
// very end of the process, while exit runs. Data guarded by a CSrwLock is marked
// GUARDED_BY(lock) (support/thread_annotations.h), which a Clang build checks.
#include "support/thread_annotations.h"

#include <windows.h>

class CAPABILITY("mutex") CSrwLock {
public:
    constexpr CSrwLock() = default;
    CSrwLock(const CSrwLock&) = delete;
    CSrwLock& operator=(const CSrwLock&) = delete;

    // Blocks until the calling thread holds the lock. Not recursive: a thread that holds it
    // already deadlocks.
    void Acquire() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { AcquireSRWLockExclusive(&m_lock); }
    // Only by the thread that holds the lock.
    void Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS { ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Holds a CSrwLock from its construction to the end of its scope.
class SCOPED_CAPABILITY ExclusiveLock {
public:
    explicit ExclusiveLock(CSrwLock& lock) ACQUIRE(lock) : m_lock(lock) { lock.Acquire(); }
    ~ExclusiveLock() RELEASE() { m_lock.Release(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    CSrwLock& m_lock;
};
