#include "schedule/child_process.h"

#include "schedule/push_script.h"
#include "schedule/scheduler_thread.h"
#include "support/unique_resource.h"
#include "tests/common/files.h"
#include "tests/common/log_capture.h"
#include "tests/common/processes.h"
#include "tests/common/program_paths.h"
#include "tests/common/registry.h"
#include "tests/common/scheduler_control.h"
#include "tests/common/scratch_folder.h"
#include "tests/common/timer_from_now.h"
#include "tests/common/wait_until.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

Timings ShortKill(DWORD graceMs = 300)
{
    Timings timings;
    timings.KillGraceMs = graceMs;
    return timings;
}

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSlots(); }
    void TearDown() override { ClearSlots(); }

    ProductKeyReset m_reset;
    CapturedLog m_log{6};
    ScratchDirectory m_folder;
};

TEST_F(ChildProcessTest, ReturnsTheExitCodeAndEmptiesTheSlot)
{
    std::wstring command = TestChildCommand(L"--append out.txt ran --exit 7");
    const std::wstring original = command;
    EXPECT_EQ(7, RunAndWait(L"Label", command, m_folder.Path(), 10).ExitCode);
    EXPECT_EQ(original, command);

    // It ran in the working directory given.
    EXPECT_EQ(L"ran|" + m_folder.Path() + L"\r\n", ReadUtf8File(m_folder.File(L"out.txt")));
    const ProcessSlot slot = SlotNow(GlobalSlot::Scan);
    EXPECT_EQ(nullptr, slot.hProcess);
    EXPECT_EQ(nullptr, slot.hThread);
    EXPECT_NE(0u, slot.dwProcessId);   // the ids of the last child stay
    EXPECT_NE(0u, slot.dwThreadId);
    EXPECT_TRUE(m_log.Has(L"Starting Label '" + original + L"'"));
    EXPECT_TRUE(m_log.Has(L"Got ExitCode=7 from Label '" + original + L"'"));
}

TEST_F(ChildProcessTest, ProgramThatCannotStartGives9999)
{
    std::wstring command = L"\"" + m_folder.File(L"missing.exe") + L"\" /x";
    const RunResult gone = RunAndWait(L"Gone", command, m_folder.Path(), 10);
    EXPECT_EQ(9999, gone.ExitCode);
    EXPECT_EQ(RunOutcome::NotStarted, gone.Outcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), gone.Error);
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hProcess);
    const std::vector<std::wstring> messages = m_log.Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(L"Starting Gone '" + command + L"'", messages[0]);
    EXPECT_EQ(L"CreateProcess failed, error code = 2", messages[1]);
}

// Opens the child that RunAndWait is running, for the test to read its exit code later.
UniqueHandle OpenRunningChild()
{
    UniqueHandle process;
    WaitUntil([&] {
        const DWORD id = SlotNow(GlobalSlot::Scan).dwProcessId;
        if (id != 0)
            process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id));
        return static_cast<bool>(process);
    }, 10000);
    return process;
}

TEST_F(ChildProcessTest, ChildPastItsLimitIsTerminatedAfterTheGrace)
{
    std::wstring command = TestChildCommand(L"--ignore-quit 60000");
    int result = 0;
    ULONGLONG took = 0;
    bool limitAndGracePassed = false;
    std::thread runner([&] {
        const TimerFromNow limitAndGrace(1000 + 500);
        const ULONGLONG start = GetTickCount64();
        result = RunAndWait(L"Slow", command, m_folder.Path(), 1, ShortKill(500)).ExitCode;
        took = GetTickCount64() - start;
        limitAndGracePassed = limitAndGrace.Fired();
    });
    UniqueHandle child(OpenRunningChild());
    runner.join();
    ASSERT_TRUE(child);

    EXPECT_EQ(-1, result);
    EXPECT_TRUE(limitAndGracePassed) << "the child was ended before its limit and the grace";
    EXPECT_LT(took, 10000u);
    DWORD exitCode = 0;
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &exitCode));
    EXPECT_EQ(1067u, exitCode);
    EXPECT_TRUE(m_log.Has(L"Killing Slow '" + command + L"'"));
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hProcess);
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hThread);
}

TEST_F(ChildProcessTest, ZeroLimitKillsAtOnce)
{
    std::wstring command = TestChildCommand(L"--ignore-quit 60000");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(-1, RunAndWait(L"Now", command, m_folder.Path(), 0, ShortKill(200)).ExitCode);
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_TRUE(m_log.Has(L"Killing Now '" + command + L"'"));
}

TEST_F(ChildProcessTest, QuitMessageEndsAMessageLoopWithinTheGrace)
{
    // The child answers WM_QUIT with the message's exit code 0 before the termination.
    std::wstring command = TestChildCommand(L"--quit-loop -1 --exit 5");
    // The limit gives the child time to make its message queue; a WM_QUIT posted before
    // that is lost, as on Windows.
    std::thread runner([&] { EXPECT_EQ(-1, RunAndWait(L"Loop", command, m_folder.Path(), 2, ShortKill(4000)).ExitCode); });
    UniqueHandle child(OpenRunningChild());
    ASSERT_TRUE(child);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.Get(), 4000));
    runner.join();
    DWORD exitCode = 99;
    ASSERT_TRUE(GetExitCodeProcess(child.Get(), &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_F(ChildProcessTest, LaunchProcessDoesNotWaitAndFillsTheSlot)
{
    ProcessSlot slot = {};
    {
        const UniqueProcessInformation info = LaunchProcess(TestChildCommand(L"--sleep 3000"), &slot);
        ASSERT_NE(nullptr, info.Process());
        EXPECT_EQ(info.Process(), slot.hProcess);
        EXPECT_EQ(info.ProcessId(), slot.dwProcessId);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(info.Process(), 0));
        TerminateProcess(info.Process(), 0);
    }
    EXPECT_TRUE(m_log.Has(L"Launching '" + TestChildCommand(L"--sleep 3000") + L"'"));

    ProcessSlot empty = {};
    const UniqueProcessInformation failed = LaunchProcess(L"no-such-program-here.exe", &empty);
    EXPECT_FALSE(failed);
    EXPECT_EQ(nullptr, empty.hProcess);
    EXPECT_EQ(0u, empty.dwProcessId);
    EXPECT_TRUE(m_log.Has(L"CreateProcess failed, error code = 2"));
    // A wait on the empty slot fails at once.
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(empty.hProcess, 1000));
}

TEST_F(ChildProcessTest, StopKillsTheRunningChildAndClearsTheSlot)
{
    std::wstring command = TestChildCommand(L"--ignore-quit 60000");
    int result = 0;
    std::thread runner([&] { result = RunAndWait(L"Task", command, m_folder.Path(), 600, ShortKill()).ExitCode; });
    UniqueHandle child(OpenRunningChild());
    ASSERT_TRUE(child);
    WaitUntil([] { return SlotNow(GlobalSlot::Scan).hProcess != nullptr; }, 5000);
    StopSlotChildOf(GlobalSlot::Scan, 200);
    runner.join();
    EXPECT_EQ(1067, result);
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hProcess);
    EXPECT_FALSE(m_log.Has(L"KillProcess failed, error 5"));

    // An empty slot: nothing to do, at once.
    const ULONGLONG start = GetTickCount64();
    StopSlotChildOf(GlobalSlot::Scan, 5000);
    EXPECT_LT(GetTickCount64() - start, 1000u);
}

// Once the stop handler has set a slot's flag, no child is created for that slot, while a
// slot of the caller's own (the registration command's) is not affected.
TEST_F(ChildProcessTest, NoChildStartsInASlotWhoseStopHasBegun)
{
    std::wstring command = TestChildCommand(L"--append ran.txt scan");
    SetSchedulerStop(true);
    const RunResult stopped = RunAndWait(L"Late", command, m_folder.Path(), 10);
    SetSchedulerStop(false);
    EXPECT_EQ(9999, stopped.ExitCode);
    EXPECT_EQ(RunOutcome::NotStarted, stopped.Outcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), stopped.Error) << "the stop is no failure to start";
    EXPECT_TRUE(m_log.Has(L"Not starting Late: the service is stopping"));
    EXPECT_FALSE(m_log.Has(L"CreateProcess failed, error code = 0"));

    SetPushStop(true);
    const UniqueProcessInformation push = LaunchInto(GlobalSlot::Push, TestChildCommand(L"--append push.txt push"));
    ProcessSlot own = {};
    UniqueProcessInformation registration = LaunchProcess(TestChildCommand(L"--exit 0"), &own);
    SetPushStop(false);
    EXPECT_EQ(nullptr, push.Process());
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Push).hProcess);
    EXPECT_EQ(1, m_log.Count(L"Not starting " + TestChildCommand(L"--append push.txt push") +
                             L": the service is stopping"));
    ASSERT_NE(nullptr, registration.Process());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(registration.Process(), 10000));
    registration.Reset();

    Sleep(300);   // a child that had started would have written by now
    EXPECT_FALSE(FileExists(m_folder.File(L"ran.txt")));
    EXPECT_FALSE(FileExists(m_folder.File(L"push.txt")));

    // With the flag clear again the same run goes ahead.
    const RunResult ran = RunAndWait(L"Late", command, m_folder.Path(), 10);
    EXPECT_EQ(0, ran.ExitCode);
    EXPECT_EQ(RunOutcome::Ended, ran.Outcome);
}

// Starts a test child in a slot of the test's own and waits until it has made its message
// queue, so that a WM_QUIT posted to it is not lost.
class ReadyChild {
public:
    ReadyChild(const ScratchDirectory& folder, const std::wstring& name, const std::wstring& then)
    {
        const std::wstring ready = folder.File(name + L".ready");
        m_owner = LaunchProcess(TestChildCommand(L"--queue --append \"" + ready + L"\" up " + then), nullptr);
        Slot = m_owner.Get();
        WaitUntil([&] { return FileExists(ready); }, 10000);
    }
    ~ReadyChild()
    {
        if (Slot.hProcess)
            TerminateProcess(Slot.hProcess, 1);
    }
    DWORD ExitCode() const
    {
        DWORD code = 12345;
        WaitForSingleObject(Slot.hProcess, 5000);
        GetExitCodeProcess(Slot.hProcess, &code);
        return code;
    }
    // The child's handles as LaunchProcess handed them over; the test passes copies of the
    // record to the stop.
    ProcessSlot Slot = {};

private:
    UniqueProcessInformation m_owner;
};

// The grace is an upper bound shared by all the children of one stop: children that quit
// on WM_QUIT end it at once and are not terminated; children that ignore it cost one grace
// together, not one each.
TEST_F(ChildProcessTest, TheGraceIsAnUpperBoundSharedByTheChildren)
{
    constexpr DWORD kGraceMs = 3000;
    {
        ReadyChild first(m_folder, L"a", L"--quit-loop -1 --exit 5");
        ReadyChild second(m_folder, L"b", L"--quit-loop -1 --exit 5");
        ASSERT_NE(nullptr, first.Slot.hProcess);
        ASSERT_NE(nullptr, second.Slot.hProcess);
        ProcessSlot slots[] = {first.Slot, second.Slot};
        ProcessSlot* const both[] = {&slots[0], &slots[1]};
        const ULONGLONG start = GetTickCount64();
        StopSlotChildren(both, 2, kGraceMs);
        EXPECT_LT(GetTickCount64() - start, 1500u);
        EXPECT_EQ(0u, first.ExitCode());    // WM_QUIT's own code: they quit, nobody terminated them
        EXPECT_EQ(0u, second.ExitCode());
        EXPECT_EQ(nullptr, slots[0].hProcess);   // the slots are cleared as before
        EXPECT_EQ(nullptr, slots[1].hProcess);
    }
    {
        ReadyChild first(m_folder, L"c", L"--ignore-quit 60000");
        ReadyChild second(m_folder, L"d", L"--ignore-quit 60000");
        ProcessSlot slots[] = {first.Slot, second.Slot};
        ProcessSlot* const both[] = {&slots[0], &slots[1]};
        const TimerFromNow grace(kGraceMs);
        const ULONGLONG start = GetTickCount64();
        StopSlotChildren(both, 2, kGraceMs);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_TRUE(grace.Fired()) << "the children were terminated before the grace was out";
        EXPECT_LT(took, 2 * kGraceMs - 500);   // one grace for both
        // Terminated, and ended before the stop returned.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.Slot.hProcess, 0));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.Slot.hProcess, 0));
        EXPECT_EQ(1067u, first.ExitCode());
        EXPECT_EQ(1067u, second.ExitCode());
    }
    EXPECT_EQ(0, m_log.Count(L"KillProcess failed, error 5"));
}

// The kill at a child's limit follows the same rule: a child that quits on WM_QUIT ends
// the grace at once.
TEST_F(ChildProcessTest, ChildThatQuitsAtItsLimitIsNotWaitedOutNorTerminated)
{
    std::wstring command = TestChildCommand(L"--queue --quit-loop -1 --exit 5");
    const ULONGLONG start = GetTickCount64();
    const RunResult killed = RunAndWait(L"Loop", command, m_folder.Path(), 1, ShortKill(5000));
    EXPECT_EQ(-1, killed.ExitCode);
    EXPECT_LT(GetTickCount64() - start, 3500u);
    EXPECT_EQ(RunOutcome::KilledAtLimit, killed.Outcome);
    EXPECT_TRUE(m_log.Has(L"Killing Loop '" + command + L"'"));
    EXPECT_FALSE(m_log.Has(L"KillProcess failed, error 5"));
}

// The stop handler kills the child just as its RunAndWait returns, many times over. The
// owner reopens the handle value it just closed at once (on a bystander process): a
// double close would close that handle, and a kill through a stale handle value would
// terminate the bystander.
TEST_F(ChildProcessTest, StopRacingTheEndOfARunHarmsNothingElse)
{
    BackgroundChild bystander(L"--sleep 120000");
    ASSERT_TRUE(bystander.Running());
    constexpr int kRounds = 40;
    int reusedValues = 0;
    for (int round = 0; round < kRounds; ++round) {
        HANDLE freed = nullptr;
        std::vector<UniqueHandle> reopened;
        std::thread owner([&] {
            std::wstring command = TestChildCommand(L"--quit-loop 5000");
            static_cast<void>(RunAndWait(L"Race", command, m_folder.Path(), 60, ShortKill(0)));
            freed = SlotNow(GlobalSlot::Scan).hProcess;   // null: the run cleared it
            for (int i = 0; i < 6; ++i)
                reopened.emplace_back(OpenProcess(PROCESS_ALL_ACCESS, FALSE, bystander.Id()));
        });
        ProcessSlot seen = {};
        WaitUntil([&] { seen = SlotNow(GlobalSlot::Scan); return seen.hProcess != nullptr; }, 5000);
        // WM_QUIT ends the child at once; the termination follows after a short grace, by
        // when the owner has closed its handles and reopened their values.
        StopSlotChildOf(GlobalSlot::Scan, 30);
        owner.join();
        ASSERT_EQ(nullptr, freed);
        for (const UniqueHandle& handle : reopened) {
            ASSERT_NE(nullptr, handle.Get());
            reusedValues += handle.Get() == seen.hProcess ? 1 : 0;
            EXPECT_EQ(bystander.Id(), GetProcessId(handle.Get())) << "round " << round;
            // Still open: no double close of the owner's handle value reached it.
            DWORD flags = 0;
            EXPECT_TRUE(GetHandleInformation(handle.Get(), &flags)) << "round " << round;
        }
        ASSERT_TRUE(bystander.Running()) << "round " << round;
        EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hProcess);
    }
    // The test is only meaningful when handle values were in fact reused.
    EXPECT_GT(reusedValues, 0);
}

}  // namespace
