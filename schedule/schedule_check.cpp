#include "schedule/schedule_check.h"

#include "log/logger.h"
#include "schedule/child_process.h"
#include "schedule/schedule_events.h"
#include "schedule/state_record.h"
#include "support/product_names.h"

namespace {

constexpr ULONGLONG kTimeUnitsPerSecond = 10000000;   // FILETIME's 100-ns units

}  // namespace

void LogProductKeyFailure(LONG status)
{
    if (status != ERROR_SUCCESS)
        LOG_FAILURE(0, status, L"RegOpenKeyEx(SOFTWARE\\Varnholt) failed, error code = %d");
}

PassedDue ClassifyPassedDue(const ApplicationState& before, ULONGLONG now,
                            ULONGLONG schedulingStart)
{
    if (!before.Answered || before.NextDue == 0 || before.NextDue > now)
        return PassedDue::None;
    if (before.RunRecorded && before.LastRunStart >= before.NextDue)
        return PassedDue::None;   // a run started at or after it: it was served
    if (before.NextDue < schedulingStart)
        return before.LastMissedDue == before.NextDue ? PassedDue::None : PassedDue::Missed;
    return PassedDue::Overdue;
}

ScheduleCheckResult CheckSchedules(const CRegistryKey& productKey, const Timings& timings,
                                   ULONGLONG schedulingStart)
{
    ScheduleCheckResult result;
    result.NextCheck = kDefaultCheckCapSeconds;
    bool answered = false;
    CStateRecorder& state = WorkerStateRecorder();
    state.BeginPass(UnixSecondsNow());

    // A product key that cannot be opened is logged once in the pass: the caller has logged
    // it when it found none.
    bool keyFailureLogged = productKey.Handle() == nullptr;
    const auto noteKeyFailure = [&keyFailureLogged](LONG status) {
        if (status == ERROR_SUCCESS || keyFailureLogged)
            return;
        keyFailureLogged = true;
        LogProductKeyFailure(status);
    };
    {
        CRegistryKey settings;
        noteKeyFailure(OpenProductKey(settings, KEY_READ));
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
    noteKeyFailure(applications.Open(productKey.Handle(), /*subkeyName=*/nullptr, KEY_READ));
    for (; applications.HasMore(); applications.Advance()) {
        // A stop ends the pass here; the applications not yet visited are left as they are.
        if (SchedulerStopFlag)
            break;
        const std::wstring name = applications.CurrentName();
        // A name that can no longer be read (deleted meanwhile) would open the product key
        // itself.
        if (name.empty())
            continue;
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
        // What the last answer left behind, before this query's answer replaces it; nothing
        // when this process keeps no record (test mode), since the record is the service's.
        const ApplicationState before =
            StateRecordingOn() ? ReadApplicationState(name) : ApplicationState();
        const int exitCode = RunAndWait(name, scheduler, appDir, timings.QueryLimitSeconds, timings).ExitCode;
        const ULONGLONG answeredAt = timings.TimeUnitsNow();
        NoteQueryResult(name, exitCode, SchedulerStopFlag != 0);
        const DWORD answer = exitCode == 0 ? application.GetDword(kScheduleEnabledValue, 0) : 0;
        if (const LONG status = application.SetDword(kScheduleEnabledValue, 0); status != ERROR_SUCCESS)
            LOG_FAILURE(0, status, L"Failed to write 0 to ScheduleEnabled after checkschedule error=%d");
        LOG(2, L"AppName %s: %d secs", name.c_str(), answer);
        const ULONGLONG answeredSeconds = UnixSecondsFromUnits(answeredAt);
        const PassedDue passed = ClassifyPassedDue(before, answeredSeconds, schedulingStart);
        if (passed == PassedDue::Missed) {
            LOG(0, L"AppName %s was due while the service was not running; its run was missed",
                name.c_str());
            state.RecordMissedRun(name, before.NextDue);
            ReportRunMissed(name, before.NextDue);
        }
        state.RecordQuery(name, answeredSeconds, exitCode, answer);

        if (answer != 0 && answer < result.NextCheck) {
            result.NextCheck = answer;
            result.AppToRun = name;
            result.DueTime = answeredAt + static_cast<ULONGLONG>(answer) * kTimeUnitsPerSecond;
            result.OverdueSince = passed == PassedDue::Overdue ? before.NextDue : 0;
            answered = true;
        }
        ++queried;
    }
    applications.Close();

    LOG(1, L"Checked %d schedules; NextCheck=%d, AppToRun=%s", queried, result.NextCheck,
        result.AppToRun.c_str());
    const ULONGLONG passEndUnits = timings.TimeUnitsNow();
    if (!answered)
        result.DueTime = passEndUnits + static_cast<ULONGLONG>(result.NextCheck) * kTimeUnitsPerSecond;
    // The wait that follows ends at the due time or at its bound, whichever comes first.
    const ULONGLONG passEnd = UnixSecondsFromUnits(passEndUnits);
    const DWORD boundSeconds = timings.WaitBoundMs / 1000;
    state.EndPass(passEnd, passEnd + (result.NextCheck < boundSeconds ? result.NextCheck : boundSeconds),
                  result.AppToRun, static_cast<DWORD>(queried), productKey.Handle());
    return result;
}
