#pragma once
// One scheduler per computer: at most one process runs the worker and the push-script
// thread at a time, the service or a test-mode run. The right to do so is a named mutex in
// the Global namespace, owned by the thread that took it; when that process ends, however it
// ends, the mutex is released (abandoned), so nobody waits for a scheduler that has died.
#include "support/product_names.h"
#include "support/unique_resource.h"

#include <windows.h>

// Owned by Administrators; SYSTEM and Administrators alone may open it.
inline constexpr const wchar_t* kSchedulerLockSddl = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

enum class SchedulerLockResult {
    Taken,           // the calling thread holds the lock
    HeldByAnother,   // another scheduler holds it, and the wait ran out
    Stopped,         // the stop event was set while waiting
    Untrusted,       // the name is held by an object whose owner is not trusted
    Failed,          // it could not be created or opened
};

// What one Take did, and why it failed: the system's code for Failed, ERROR_ACCESS_DENIED for
// Untrusted, ERROR_SUCCESS otherwise.
struct SchedulerLockAttempt {
    SchedulerLockResult Result = SchedulerLockResult::Failed;
    DWORD Error = ERROR_SUCCESS;
};

// The lock as one process holds it. Used by one thread: the one that takes it also releases
// it (or ends while holding it).
class CSchedulerLock {
public:
    CSchedulerLock() = default;
    CSchedulerLock(const CSchedulerLock&) = delete;
    CSchedulerLock& operator=(const CSchedulerLock&) = delete;
    // Releases the lock if this object holds it.
    ~CSchedulerLock() { Release(); }

    // Creates or opens the lock (an existing one is used only when its owner is trusted:
    // IsTrustedOwner with this process's account) and takes it for the calling thread,
    // waiting up to waitMs for another scheduler to end, less when stop (may be null) is
    // set first.
    [[nodiscard]] SchedulerLockAttempt Take(DWORD waitMs, HANDLE stop);
    // Gives the lock back, if held; the calling thread must be the one that took it.
    void Release();

private:
    UniqueHandle m_mutex;
    bool m_held = false;
};

// How the service takes the lock, on the thread that will run the worker: at once when
// nobody holds it; otherwise, after logging at level 0 "Another Varnholt Scheduling is
// scheduling on this computer; waiting for it to end", for as long as the other scheduler
// runs. False when stop was set first: the service is stopping and must start nothing. A
// lock that cannot be had for another reason (its name held by an untrusted owner, or no
// mutex) is logged at level 0 and true is returned: the service schedules without it, since
// only a test-mode run would yield to it.
[[nodiscard]] bool TakeSchedulerLockForService(CSchedulerLock& lock, HANDLE stop);

// Whether some thread holds the scheduler lock now, as a reader sees it (the status
// command): it opens the lock for SYNCHRONIZE and takes and gives it back at once when it is
// free, so the moment it is held by the caller is as short as a check can make it. A thread
// that holds the lock itself sees it free. Unknown when the lock cannot be opened for a
// reason other than its absence (an account other than SYSTEM or Administrators may not).
enum class SchedulerLockHolder { Nobody, Someone, Unknown };
[[nodiscard]] SchedulerLockHolder WhoHoldsSchedulerLock();
