#include "service/test_mode.h"

#include "log/logger.h"
#include "schedule/push_script.h"
#include "schedule/scheduler_lock.h"
#include "schedule/scheduler_thread.h"
#include "schedule/scheduling.h"
#include "schedule/state_record.h"
#include "service/console_report.h"
#include "service/program_options.h"
#include "support/console_text.h"

namespace {

// How long a close event waits for the exit line before it lets the process go.
constexpr DWORD kCloseWaitMs = 30000;

// Made once and never closed, so that a handler thread still running while test mode ends
// never meets a closed handle. Both are manual-reset and reset at the start of each run.
struct TestModeSignals {
    HANDLE WorkStopped = nullptr;   // set by the handler once StopScheduling has returned
    HANDLE Finished = nullptr;      // set by RunTestMode once its exit is logged and written
    DWORD Error = ERROR_SUCCESS;    // why one of them could not be made
};

const TestModeSignals& Signals()
{
    static const TestModeSignals signals = [] {
        TestModeSignals made;
        made.WorkStopped = CreateEventW(/*lpEventAttributes=*/nullptr, /*bManualReset=*/TRUE,
                                        /*bInitialState=*/FALSE, /*lpName=*/nullptr);
        if (!made.WorkStopped)
            made.Error = GetLastError();
        made.Finished = CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                     nullptr);
        if (!made.Finished)
            made.Error = GetLastError();
        return made;
    }();
    return signals;
}

// 1 once a control event of this run has begun the stop.
LONG volatile StopBegun = 0;

}  // namespace

bool HandleTestModeControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return false;
    try {
        const TestModeSignals& signals = Signals();
        if (InterlockedExchange(&StopBegun, 1) == 0) {
            LOG(0, L"Stopping test mode");
            StopScheduling();
            SetEvent(signals.WorkStopped);
        }
        if (event == CTRL_CLOSE_EVENT)
            WaitForSingleObject(signals.Finished, kCloseWaitMs);
    } catch (...) {
        // Out of memory while logging: the stop itself has been asked for.
    }
    return true;
}

BOOL WINAPI TestModeCtrlHandler(DWORD event)
{
    if (!HandleTestModeControl(event))
        return FALSE;
    if (event == CTRL_CLOSE_EVENT)
        ExitProcess(0);
    return TRUE;
}

bool RunTestMode(DWORD lifetimeMs)
{
    // Two schedulers would reset each other's answers and could run one task twice at once.
    CSchedulerLock lock;
    const SchedulerLockAttempt taken = lock.Take(0, /*stop=*/nullptr);
    if (taken.Result != SchedulerLockResult::Taken) {
        ActionOutcome refused;
        if (taken.Result == SchedulerLockResult::HeldByAnother) {
            LOG(0, L"Another Varnholt Scheduling is already scheduling on this computer");
            refused.OtherScheduler = true;
        } else {
            LOG_FAILURE(0, taken.Error,
                        L"Cannot tell whether another Varnholt Scheduling is scheduling, error code = %d");
            refused.SchedulerLockError = taken.Error != 0 ? taken.Error : static_cast<DWORD>(ERROR_ACCESS_DENIED);
        }
        WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE),
                        ClosingSentence(ProgramOption::TestMode, refused) + L"\r\n");
        return false;
    }

    // The recorded state is the installed service's: a console run leaves it alone.
    SetStateRecording(false);
    const TestModeSignals& signals = Signals();
    const bool canStop = signals.WorkStopped && signals.Finished;
    InterlockedExchange(&StopBegun, 0);
    if (canStop) {
        ResetEvent(signals.WorkStopped);
        ResetEvent(signals.Finished);
        if (!SetConsoleCtrlHandler(TestModeCtrlHandler, /*Add=*/TRUE)) {
            const DWORD error = GetLastError();
            LOG_FAILURE(0, error, L"SetConsoleCtrlHandler failed, error code = %d");
        }
    } else {
        // Without its events the handler could not wake this thread: Ctrl+C is left to
        // the system, which ends the process at once.
        LOG_FAILURE(0, signals.Error, L"CreateEvent failed, error code = %d");
    }

    const UniqueHandle worker = StartWorkerThread(SchedulerThread);
    const UniqueHandle pushThread = StartWorkerThread(PushScriptThread);
    bool interrupted = false;
    if (canStop)
        interrupted = WaitForSingleObject(signals.WorkStopped, lifetimeMs) == WAIT_OBJECT_0;
    else
        Sleep(lifetimeMs);
    // As after a service stop, the worker may finish the step it is in.
    if (interrupted && worker)
        WaitForSingleObject(worker.Get(), kWorkerEndWaitMs);

    LOG(0, L"EXIT Varnholt Scheduling (TEST MODE)");
    ActionOutcome outcome;
    outcome.Interrupted = interrupted;
    WriteStreamText(GetStdHandle(STD_OUTPUT_HANDLE),
                    ClosingSentence(ProgramOption::TestMode, outcome) + L"\r\n");
    if (canStop) {
        SetEvent(signals.Finished);
        SetConsoleCtrlHandler(TestModeCtrlHandler, /*Add=*/FALSE);
    }
    return interrupted;
}
