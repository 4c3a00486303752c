// What becomes of the processes that a child of the service starts in turn.
#include "schedule/child_job.h"

#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "support/registry_key.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class ChildJobTest : public ::testing::Test {
protected:
    ChildJobTest()
    {
        m_timings.QueryLimitSeconds = 1;
        m_timings.TaskLimitSeconds = 1;
        m_timings.KillGraceMs = 300;
    }
    void SetUp() override
    {
        ClearSlots();
    }
    void TearDown() override
    {
        SetJobAssignmentForTests(nullptr);
        ClearSlots();
    }

    // A test child that starts a grandchild that ignores WM_QUIT, writes the grandchild's id
    // to grandchild.id, and then goes on with then.
    std::wstring WithGrandchild(const std::wstring& then) const
    {
        return TestChildCommand(L"--spawn \"" + IdFile() + L"\" \"--ignore-quit 300000\" " + then);
    }
    std::wstring IdFile() const { return m_folder.File(L"grandchild.id"); }

    // Runs body on a thread of its own and opens the grandchild while it runs.
    template <class Body> UniqueHandle GrandchildOf(Body body)
    {
        std::thread runner(body);
        UniqueHandle grandchild(OpenSpawnedChild(IdFile()));
        runner.join();
        return grandchild;
    }

    static void ExpectEndedBy1067(HANDLE process)
    {
        ASSERT_NE(nullptr, process);
        EXPECT_FALSE(StillRunning(process));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(process, &code));
        EXPECT_EQ(1067u, code);
    }

    ProductKeyReset m_reset;
    CapturedLog m_log{6};
    ScratchDirectory m_folder;
    Timings m_timings;
};

// A main task and a schedule query program killed at their limits take what they started
// with them; a console program has no message queue, so the termination ends it.
TEST_F(ChildJobTest, ChildKilledAtItsLimitTakesItsGrandchildWithIt)
{
    std::wstring task = WithGrandchild(L"--ignore-quit 300000");
    int result = 0;
    UniqueHandle grandchild = GrandchildOf([&] {
        result = RunAndWait(L"Task", task, m_folder.Path(), m_timings.TaskLimitSeconds, m_timings).ExitCode;
    });
    EXPECT_EQ(-1, result);
    ExpectEndedBy1067(grandchild.Get());

    DeleteFileW(IdFile().c_str());
    RegisterApplication(L"A", WithGrandchild(L"--write A 5 --ignore-quit 300000"), L"task.exe",
                        m_folder.Path());
    ScheduleCheckResult check;
    grandchild = GrandchildOf([&] {
        CRegistryKey product;
        OpenProductKey(product, KEY_READ);
        check = CheckSchedules(product, m_timings);
    });
    EXPECT_TRUE(m_log.Has(L"AppName A: 0 secs"));
    ExpectEndedBy1067(grandchild.Get());
}

// A task that ends by itself may leave a program of its own running: that is its business.
TEST_F(ChildJobTest, TaskThatEndsByItselfLeavesItsGrandchildRunning)
{
    std::wstring task = WithGrandchild(L"--exit 3");
    int result = 0;
    UniqueHandle grandchild = GrandchildOf([&] {
        result = RunAndWait(L"Task", task, m_folder.Path(), 30, m_timings).ExitCode;
    });
    EXPECT_EQ(3, result);
    ASSERT_TRUE(grandchild);
    // Its job is closed by now; with the kill-on-close limit still on, this would end it.
    // A witness in a kill-on-close job of its own, closed after that, ends once the system
    // has carried out such a close: by then the grandchild's end would have come first.
    UniqueHandle witnessJob = CreateKillOnCloseJob();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    const UniqueProcessInformation witness =
        StartInJob(witnessJob.Get(), TestChildCommand(L"--sleep 120000"), FALSE, 0, startup);
    EXPECT_TRUE(witness) << "no witness";
    witnessJob.Reset();
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(witness.Process(), 20000));
    EXPECT_TRUE(StillRunning(grandchild.Get())) << "the grandchild was ended with its parent's job";
    TerminateProcess(grandchild.Get(), 0);
}

// A push script that has ended while its owner still holds its job (the pause before the
// relaunch): a stop ends what it left running.
TEST_F(ChildJobTest, StopEndsWhatAnEndedChildLeftInItsJob)
{
    UniqueHandle job;
    const UniqueProcessInformation launched =
        LaunchInto(GlobalSlot::Push, WithGrandchild(L"--exit 0"), &job);
    ASSERT_TRUE(launched);
    ASSERT_TRUE(job);
    UniqueHandle grandchild(OpenSpawnedChild(IdFile()));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launched.Process(), 10000));
    ASSERT_TRUE(grandchild);
    EXPECT_TRUE(StillRunning(grandchild.Get()));

    StopSlotChildOf(GlobalSlot::Push, 200);
    ExpectEndedBy1067(grandchild.Get());
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Push).hProcess);
    EXPECT_FALSE(m_log.Has(L"KillProcess failed, error 5"));
}

BOOL WINAPI RefuseAssignment(HANDLE, HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Where a child cannot be put in a job (Windows 7 inside another job), it runs without one
// and is still ended at its limit; the log says so once, not at every child.
TEST_F(ChildJobTest, ChildThatCannotBePutInAJobRunsAndIsStillEndedAtItsLimit)
{
    SetJobAssignmentForTests(RefuseAssignment);
    for (int run = 0; run < 2; ++run) {
        const std::wstring ran = m_folder.File(L"ran" + std::to_wstring(run) + L".txt");
        std::wstring task = TestChildCommand(L"--append \"" + ran + L"\" up --ignore-quit 300000");
        int result = 0;
        std::thread runner([&] {
            result = RunAndWait(L"Task", task, m_folder.Path(), m_timings.TaskLimitSeconds, m_timings).ExitCode;
        });
        UniqueHandle child;
        WaitUntil([&] {
            const DWORD id = SlotNow(GlobalSlot::Scan).dwProcessId;
            child.Reset(id ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)
                           : nullptr);
            return static_cast<bool>(child);
        }, 10000);
        runner.join();
        EXPECT_EQ(-1, result);
        EXPECT_TRUE(FileExists(ran)) << "run " << run;
        ExpectEndedBy1067(child.Get());
    }
    EXPECT_EQ(1, m_log.Count(L"AssignProcessToJobObject failed, error code = 5; children run "
                             L"without a job object"));
}

// The id of an ended child's thread may already belong to a thread of another process: the
// stop posts WM_QUIT only to a child that still runs, through the thread handle it holds.
TEST_F(ChildJobTest, QuitMessageNeverReachesAThreadOnceTheChildHasEnded)
{
    // A bystander thread with a message queue stands for the thread that took the id. It
    // reads its queue until the stop has returned, and once more then: a message the stop
    // posted is in the queue by the time the stop returns.
    const UniqueHandle ready(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    const UniqueHandle stopped(CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE, nullptr));
    DWORD bystanderId = 0;
    bool gotQuit = false;
    std::thread bystander([&] {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        bystanderId = GetCurrentThreadId();
        SetEvent(ready.Get());
        HANDLE stop = stopped.Get();
        for (;;) {
            const bool last = WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                gotQuit = gotQuit || message.message == WM_QUIT;
            if (last)
                break;
            MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT);
        }
    });
    // Lets the bystander go however the test leaves.
    struct Join {
        HANDLE Stopped;
        std::thread& Thread;
        ~Join()
        {
            SetEvent(Stopped);
            if (Thread.joinable())
                Thread.join();
        }
    } join{stopped.Get(), bystander};
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(ready.Get(), 20000));

    const UniqueProcessInformation launched = LaunchProcess(TestChildCommand(L"--exit 0"), nullptr);
    ProcessSlot slot = launched.Get();
    ASSERT_TRUE(launched);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(launched.Process(), 10000));
    slot.dwThreadId = bystanderId;   // as if the id had been reused
    ProcessSlot* const one[] = {&slot};
    StopSlotChildren(one, 1, 200);
    SetEvent(stopped.Get());
    bystander.join();
    EXPECT_FALSE(gotQuit);
}

}  // namespace
