#include "schedule/scheduler_lock.h"

#include "schedule/scheduler_thread.h"
#include "support/security_descriptor.h"
#include "tests/common/log_capture.h"
#include "tests/common/registry.h"
#include "tests/common/security.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <atomic>
#include <thread>

namespace {

// Another scheduler: a thread that holds the lock until told to let go, or ends holding it.
class OtherScheduler {
public:
    explicit OtherScheduler(bool endHoldingIt = false)
    {
        m_thread = std::thread([this, endHoldingIt] {
            // One that ends holding it is never destroyed: the thread ends without giving it
            // back, as a process that dies does.
            CSchedulerLock* lock = endHoldingIt ? (m_dead = new CSchedulerLock()) : &m_lock;
            m_result = lock->Take(0, nullptr).Result;
            m_ready = true;
            if (endHoldingIt)
                return;
            while (!m_letGo)
                Sleep(10);
            m_lock.Release();
        });
        while (!m_ready)
            Sleep(10);
    }
    ~OtherScheduler()
    {
        LetGo();
        delete m_dead;   // its handle only: the mutex was abandoned long ago
    }
    void LetGo()
    {
        m_letGo = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    SchedulerLockResult Result() const { return m_result; }

private:
    CSchedulerLock m_lock;
    CSchedulerLock* m_dead = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_letGo{false};
    std::atomic<SchedulerLockResult> m_result{SchedulerLockResult::Failed};
};

TEST(SchedulerLockTest, OneHolderAtATimeAndADeadHolderLetsGo)
{
    {
        OtherScheduler other;
        ASSERT_EQ(SchedulerLockResult::Taken, other.Result());
        CSchedulerLock lock;
        EXPECT_EQ(SchedulerLockResult::HeldByAnother, lock.Take(0, nullptr).Result);
        UniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        EXPECT_EQ(SchedulerLockResult::Stopped, lock.Take(INFINITE, stop.Get()).Result);
        other.LetGo();
        EXPECT_EQ(SchedulerLockResult::Taken, lock.Take(0, nullptr).Result);
    }
    OtherScheduler died(/*endHoldingIt=*/true);
    died.LetGo();
    CSchedulerLock lock;
    EXPECT_EQ(SchedulerLockResult::Taken, lock.Take(1000, nullptr).Result) << "abandoned, so free";
}

TEST(SchedulerLockTest, OnlySystemAndAdministratorsMayOpenIt)
{
    CSchedulerLock lock;
    ASSERT_EQ(SchedulerLockResult::Taken, lock.Take(0, nullptr).Result);
    UniqueHandle opened(OpenMutexW(READ_CONTROL, FALSE, kSchedulerLockName));
    ASSERT_TRUE(opened);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(opened.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor));
    UniqueLocalMemory owned(descriptor);
    const std::vector<AceEntry> aces = AcesOf(descriptor);
    ASSERT_EQ(2u, aces.size());
    EXPECT_EQ(0u, RightsGrantedTo(aces, L"S-1-1-0"));
    EXPECT_EQ(0u, RightsGrantedTo(aces, L"S-1-5-32-545"));
}

// A name taken first by someone the service does not trust: test mode refuses to start,
// the service schedules without the lock rather than never.
TEST(SchedulerLockTest, ALockOfAnotherOwnerIsNotUsed)
{
    UniqueHandle squatter = SquatAsUsers([](SECURITY_ATTRIBUTES* security) {
        return CreateMutexW(security, TRUE, kSchedulerLockName);
    });
    if (!squatter)
        GTEST_SKIP() << "this system keeps no owner of Users given to a mutex";

    std::thread([] {
        CSchedulerLock lock;
        const SchedulerLockAttempt attempt = lock.Take(0, nullptr);
        EXPECT_EQ(SchedulerLockResult::Untrusted, attempt.Result);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), attempt.Error);

        ProductKeyReset reset;
        CapturedLog log(0);
        CSchedulerLock forService;
        EXPECT_TRUE(TakeSchedulerLockForService(forService, nullptr));
        EXPECT_TRUE(log.Has(L"Scheduler lock is held by another owner; scheduling without it"));
    }).join();
    ReleaseMutex(squatter.Get());
}

// The service waits while a test-mode run schedules, and a stop ends that wait at once.
TEST(SchedulerLockTest, TheServiceWaitsForTheOtherSchedulerUntilItStops)
{
    ProductKeyReset reset;
    CapturedLog log(0);
    OtherScheduler other;
    ASSERT_EQ(SchedulerLockResult::Taken, other.Result());
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> taken{-1};
    // Whether the stop had been made when the wait came back: one that came back first did
    // not wait for it.
    std::atomic<bool> stopMade{false};
    std::atomic<bool> returnedAfterTheStop{false};
    std::thread service([&] {
        CSchedulerLock lock;
        const bool result = TakeSchedulerLockForService(lock, stop.Get());
        returnedAfterTheStop = stopMade.load();
        taken = result ? 1 : 0;
    });
    EXPECT_TRUE(WaitUntil([&] {
        return log.Has(L"Another Varnholt Scheduling is scheduling on this computer; waiting for it to end");
    }, 20000));
    stopMade = true;
    SetEvent(stop.Get());
    EXPECT_TRUE(WaitUntil([&] { return taken.load() != -1; }, 20000));
    service.join();
    EXPECT_TRUE(returnedAfterTheStop) << "it did not wait";
    EXPECT_EQ(0, taken.load());

    ResetEvent(stop.Get());
    std::thread second([&] {
        CSchedulerLock lock;
        taken = TakeSchedulerLockForService(lock, stop.Get()) ? 1 : 0;
    });
    other.LetGo();
    second.join();
    EXPECT_EQ(1, taken.load()) << "taken once the other scheduler ended";
}

}  // namespace
