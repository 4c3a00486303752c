#include "schedule/push_script.h"

#include "log/logger.h"
#include "log/thread_entry.h"
#include "schedule/child_job.h"
#include "schedule/child_process.h"
#include "schedule/schedule_check.h"
#include "schedule/schedule_events.h"
#include "schedule/state_record.h"
#include "support/never_destroyed.h"
#include "support/product_names.h"
#include "support/registry_key.h"
#include "support/unique_resource.h"

#include <utility>

namespace {

// The handles of the script's current run, and its job, owned by the push-script thread.
// The PushSlot (and the job beside it) holds the same values for the stop handler, which
// may clear its copy at any time. The job is held until the next launch, so a stop in
// the pause also ends what the ended script left running; closed by the process's end, it
// ends the script and all it started. Never destroyed: nothing here is closed at exit
// while the thread may still run.
NeverDestroyed<UniqueProcessInformation> PushRun;
NeverDestroyed<UniqueHandle> PushRunJob;

void CloseRunHandles()
{
    PushRun->Reset();
    // The script ended by itself (a stop would have ended the loop): what it started runs on.
    ReleaseChildJob(*PushRunJob);
}

}  // namespace

void LaunchPushScript(std::wstring command)
{
    LOG(0, L"Start Varnholt Push Script");
    // The slot is emptied before the handles are closed, so the stop handler can never
    // take a closed (and perhaps reused) handle value from it.
    ClearSlot(PushSlot);
    CloseRunHandles();
    UniqueHandle job;
    *PushRun = LaunchProcess(std::move(command), &PushSlot, &job);
    *PushRunJob = std::move(job);
}

void SleepUnlessStopping(LONG milliseconds, const Timings& timings)
{
    if (PushStopFlag)
        return;
    for (LONG remaining = milliseconds; remaining > 0; remaining -= timings.PushStepMs) {
        Sleep(static_cast<DWORD>(timings.PushStepMs));
        if (PushStopFlag)
            return;
    }
}

void RunPushScriptLoop(const Timings& timings)
{
    CRegistryKey productKey;
    LogProductKeyFailure(OpenProductKey(productKey, KEY_READ));
    const std::wstring command = productKey.GetString(kPushScriptCommandValue);
    productKey.Close();

    CStateRecorder& state = PushStateRecorder();
    if (!command.empty()) {
        DWORD restarts = 0;
        LaunchPushScript(command);
        state.RecordPushLaunch(UnixSecondsNow(), restarts, PushRun->ProcessId());
        while (!PushStopFlag) {
            Sleep(timings.PushStartSleepMs);
            // After a failed launch the handle is null and the wait fails at once.
            if (WaitForSingleObject(PushRun->Process(), timings.PushWaitMs) == WAIT_TIMEOUT)
                continue;
            if (PushRun->ProcessId() != 0)
                state.RecordPushEnd();
            ReportPushScriptEnded(command, PushRun->Process(), PushStopFlag != 0);
            SleepUnlessStopping(timings.PushPauseMs, timings);
            if (PushStopFlag)
                break;
            LaunchPushScript(command);
            state.RecordPushLaunch(UnixSecondsNow(), ++restarts, PushRun->ProcessId());
        }
    } else {
        state.RecordPushNotConfigured();
    }
    InterlockedExchange(&PushStopFlag, 0);
}

unsigned __stdcall PushScriptThread(void*)
{
    RunThreadBody([] { RunPushScriptLoop(ProductTimings()); },
                  L"Push script thread ended unexpectedly");
    return 0;
}
