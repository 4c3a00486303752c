#include "schedule/schedule_check.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/schedule_events.h"
#include "schedule/state_record.h"
#include "support/product_names.h"

namespace {


}  // namespace

ScheduleCheckResult CheckSchedules(const CRegistryKey& productKey, const Timings& timings)
{
    ScheduleCheckResult result;
    result.NextCheck = kDefaultCheckCapSeconds;
    CStateRecorder& state = WorkerStateRecorder();
    state.BeginPass(UnixSecondsNow());

    {
        CRegistryKey settings;
        OpenProductKey(settings, KEY_READ);
        const DWORD cap = settings.GetDword(kMaxCheckIntervalValue, 0);
        settings.Close();
        if (cap != 0) {
            // The line as it has always read, misspelling and two blanks included: log
            // readers search for it.
            LOG(0, L"Registry resetting checkIntevalSecs  %ld", cap);
            result.NextCheck = cap;
        }
    }

    int queried = 0;
    CEnumSubkeys applications;
    applications.Open(productKey.Handle(), /*subkeyName=*/nullptr, KEY_READ);
    for (; applications.HasMore(); applications.Advance()) {
        // A stop ends the pass here; the applications not yet visited are left as they are.
        if (SchedulerStopFlag)
            break;
        const std::wstring name = applications.CurrentName();
        CRegistryKey application;
        application.Open(productKey.Handle(), name.c_str(), KEY_READ | KEY_SET_VALUE);
        std::wstring scheduler = application.GetString(kSchedulerValue);
        const std::wstring scanner = application.GetString(kScannerValue);
        const std::wstring appDir = application.GetString(kAppDirValue);

        if (scheduler.empty()) {
            LOG(6, L"AppName %s unscheduled", name.c_str());
            continue;
        }
        if (scanner.empty() || appDir.empty()) {
            LOG(0, L"AppName %s has Scheduler but missing Scanner or AppDir", name.c_str());
            continue;
        }

        // The registry functions return their status and leave the thread's last error
        // alone, so the failure is reported with the write's own status.
        if (const LONG status = application.SetDword(kScheduleEnabledValue, 0); status != ERROR_SUCCESS)
            LOG_FAILURE(0, status, L"Failed to write 0 to ScheduleEnabled before checkschedule error=%d");
        const int exitCode = RunAndWait(name, scheduler, appDir, timings.QueryLimitSeconds, timings);
        NoteQueryResult(name, exitCode);
        const DWORD answer = exitCode == 0 ? application.GetDword(kScheduleEnabledValue, 0) : 0;
        if (const LONG status = application.SetDword(kScheduleEnabledValue, 0); status != ERROR_SUCCESS)
            LOG_FAILURE(0, status, L"Failed to write 0 to ScheduleEnabled after checkschedule error=%d");
        LOG(2, L"AppName %s: %d secs", name.c_str(), answer);
        state.RecordQuery(name, UnixSecondsNow(), exitCode, answer);

        if (answer != 0 && answer < result.NextCheck) {
            result.NextCheck = answer;
            result.AppToRun = name;
        }
        ++queried;
    }
    applications.Close();

    LOG(1, L"Checked %d schedules; NextCheck=%d, AppToRun=%s", queried, result.NextCheck,
        result.AppToRun.c_str());
    // The wait that follows ends at the due time or at its bound, whichever comes first.
    const ULONGLONG passEnd = UnixSecondsNow();
    const DWORD boundSeconds = timings.WaitBoundMs / 1000;
    state.EndPass(passEnd, passEnd + (result.NextCheck < boundSeconds ? result.NextCheck : boundSeconds),
                  result.AppToRun, static_cast<DWORD>(queried), productKey.Handle());
    return result;
}
