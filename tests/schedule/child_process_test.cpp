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

#include <algorithm>
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
    }, 20000);
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
        took = MillisecondsTaken([&] { result = RunAndWait(L"Slow", command, m_folder.Path(), 1, ShortKill(500)).ExitCode; });
        limitAndGracePassed = limitAndGrace.Fired();
    });
    UniqueHandle child(OpenRunningChild());
    runner.join();
    ASSERT_TRUE(child);

    EXPECT_EQ(-1, result);
    EXPECT_TRUE(limitAndGracePassed) << "the child was ended before its limit and the grace";
    // The limit, the grace and the termination's bounded waits: a run that waited for the
    // child to end by itself would take the child's minute.
    EXPECT_LT(took, 1000 + LongestSlotStopMs(1, 500) + kLoadMarginMs);
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
    int result = 0;
    const ULONGLONG took =
        MillisecondsTaken([&] { result = RunAndWait(L"Now", command, m_folder.Path(), 0, ShortKill(200)).ExitCode; });
    EXPECT_EQ(-1, result);
    // The grace and the termination alone: a limit of zero read as no limit would wait out
    // the child's minute.
    EXPECT_LT(took, LongestSlotStopMs(1, 200) + kLoadMarginMs);
    EXPECT_TRUE(m_log.Has(L"Killing Now '" + command + L"'"));
}

// At its limit a child is asked to quit (WM_QUIT to its primary thread) and given a grace;
// one whose message loop quits ends the grace at once, and is neither waited out nor
// terminated.
TEST_F(ChildProcessTest, ChildThatQuitsAtItsLimitIsNeitherWaitedOutNorTerminated)
{
    // The child answers WM_QUIT with the message's exit code 0, where a termination gives
    // 1067 and its own end 5. It makes its message queue first, and the limit gives it
    // time to: a WM_QUIT posted before that is lost, as on Windows.
    std::wstring command = TestChildCommand(L"--queue --quit-loop -1 --exit 5");
    RunOutcome outcome = RunOutcome::NotStarted;
    int result = 0;
    ULONGLONG took = 0;
    std::thread runner([&] {
        took = MillisecondsTaken([&] {
            const RunResult run = RunAndWait(L"Loop", command, m_folder.Path(), 2, ShortKill(60000));
            result = run.ExitCode;
            outcome = run.Outcome;
        });
    });
    UniqueHandle child(OpenRunningChild());
    runner.join();
    ASSERT_TRUE(child);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(RunOutcome::KilledAtLimit, outcome);
    // The limit and the child's own quitting: a grace waited out would take its minute.
    EXPECT_LT(took, 2000 + kLoadMarginMs);
    EXPECT_EQ(0u, ExitCodeOf(child.Get())) << "not ended by WM_QUIT";
    EXPECT_TRUE(m_log.Has(L"Killing Loop '" + command + L"'"));
    EXPECT_FALSE(m_log.Has(L"KillProcess failed, error 5"));
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
    ASSERT_TRUE(WaitUntil([] { return SlotNow(GlobalSlot::Scan).hProcess != nullptr; }, 20000));
    StopSlotChildOf(GlobalSlot::Scan, 200);
    runner.join();
    EXPECT_EQ(1067, result);
    EXPECT_EQ(nullptr, SlotNow(GlobalSlot::Scan).hProcess);
    EXPECT_FALSE(m_log.Has(L"KillProcess failed, error 5"));

    // An empty slot: nothing to end and nobody to wait for. A stop that waited out its grace
    // all the same would come back only after those five seconds.
    const ULONGLONG start = GetTickCount64();
    StopSlotChildOf(GlobalSlot::Scan, 5000);
    EXPECT_LT(GetTickCount64() - start, 5000u - 1000u);
}

// Once the stop handler has set a slot's flag, no child is created for that slot, while a
// slot of the caller's own (the registration command's) is not affected.
TEST_F(ChildProcessTest, NoChildStartsInASlotWhoseStopHasBegun)
{
    // LaunchProcess starts a child in the caller's current directory: a push script the
    // flag let through would write there.
    wchar_t current[MAX_PATH] = L"";
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, current));
    const std::wstring pushed = std::wstring(current) + L"\\push.txt";
    DeleteFileW(pushed.c_str());
    const std::vector<DWORD> before = ProcessIdsOf(L"VarnholtTestChild.exe");
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
    const DWORD registrationId = registration.ProcessId();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(registration.Process(), 10000));
    registration.Reset();

    // A child that a stop flag let through still runs, and is listed here, or has ended,
    // and wrote its file first.
    for (const DWORD id : ProcessIdsOf(L"VarnholtTestChild.exe")) {
        EXPECT_TRUE(id == registrationId || std::find(before.begin(), before.end(), id) != before.end())
            << "a child was started: process " << id;
    }
    EXPECT_FALSE(FileExists(m_folder.File(L"ran.txt")));
    EXPECT_FALSE(FileExists(pushed));
    DeleteFileW(pushed.c_str());

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
        m_ready = Slot.hProcess && WaitUntil([&] { return FileExists(ready); }, 20000);
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
    // Whether it runs and has made its message queue.
    bool Ready() const { return m_ready; }
    // The child's handles as LaunchProcess handed them over; the test passes copies of the
    // record to the stop.
    ProcessSlot Slot = {};

private:
    UniqueProcessInformation m_owner;
    bool m_ready = false;
};

// The grace is an upper bound shared by all the children of one stop: children that quit
// on WM_QUIT end it at once and are not terminated; children that ignore it cost one grace
// together, not one each.
TEST_F(ChildProcessTest, TheGraceIsAnUpperBoundSharedByTheChildren)
{
    {
        SCOPED_TRACE("two children that quit when asked");
        ReadyChild first(m_folder, L"a", L"--quit-loop -1 --exit 5");
        ReadyChild second(m_folder, L"b", L"--quit-loop -1 --exit 5");
        ASSERT_TRUE(first.Ready());
        ASSERT_TRUE(second.Ready());
        ProcessSlot slots[] = {first.Slot, second.Slot};
        ProcessSlot* const both[] = {&slots[0], &slots[1]};
        // A minute's grace, which a stop that waited it out although both had quit would take.
        constexpr DWORD kMinuteMs = 60000;
        const ULONGLONG start = GetTickCount64();
        StopSlotChildren(both, 2, kMinuteMs);
        EXPECT_LT(GetTickCount64() - start, kLoadMarginMs);
        EXPECT_EQ(0u, first.ExitCode());    // WM_QUIT's own code: they quit, nobody terminated them
        EXPECT_EQ(0u, second.ExitCode());
        EXPECT_EQ(nullptr, slots[0].hProcess);   // the slots are cleared as before
        EXPECT_EQ(nullptr, slots[1].hProcess);
    }
    {
        SCOPED_TRACE("four children that ignore the request");
        constexpr DWORD kGraceMs = 2000;
        ReadyChild c(m_folder, L"c", L"--ignore-quit 60000");
        ReadyChild d(m_folder, L"d", L"--ignore-quit 60000");
        ReadyChild e(m_folder, L"e", L"--ignore-quit 60000");
        ReadyChild f(m_folder, L"f", L"--ignore-quit 60000");
        const ReadyChild* const children[] = {&c, &d, &e, &f};
        for (const ReadyChild* child : children)
            ASSERT_TRUE(child->Ready());
        ProcessSlot slots[] = {c.Slot, d.Slot, e.Slot, f.Slot};
        ProcessSlot* const all[] = {&slots[0], &slots[1], &slots[2], &slots[3]};
        const TimerFromNow grace(kGraceMs);
        const ULONGLONG start = GetTickCount64();
        StopSlotChildren(all, 4, kGraceMs);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_TRUE(grace.Fired()) << "the children were terminated before the grace was out";
        // One grace for all four, then their terminations: a grace each would take four.
        EXPECT_LT(took, 4 * kGraceMs);
        for (const ReadyChild* child : children) {
            // Terminated, and ended before the stop returned.
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child->Slot.hProcess, 0));
            EXPECT_EQ(1067u, child->ExitCode());
        }
    }
    EXPECT_EQ(0, m_log.Count(L"KillProcess failed, error 5"));
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
        // Only a child the stop finds in the slot races the end of its run.
        const bool found =
            WaitUntil([&] { seen = SlotNow(GlobalSlot::Scan); return seen.hProcess != nullptr; }, 20000);
        // WM_QUIT ends the child at once; the termination follows after a short grace, by
        // when the owner has closed its handles and reopened their values.
        StopSlotChildOf(GlobalSlot::Scan, 30);
        owner.join();
        ASSERT_TRUE(found) << "round " << round;
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
