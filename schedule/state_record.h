#pragma once
// The state the service records as it works, for administrators and monitoring tools:
// HKLM\SYSTEM\CurrentControlSet\Services\Varnholt Scheduling\State. Times are UTC seconds
// since 1970 (REG_QWORD); counts and codes are REG_DWORD. The key lives under the service's
// own entry, so it is written only while the service is installed and goes with the entry;
// a test-mode run records nothing (SetStateRecording).
//
// Recording is a side line: a failed write never stops a pass, a run or the push script.
// Each CStateRecorder logs its first failure at level 0 and stays silent until its next
// BeginPass.
#include <windows.h>

#include <string>
#include <vector>

// Below HKEY_LOCAL_MACHINE; the service control manager's key of the service, and ours.
// The service's key is named by the service (kServiceName), as the service control manager
// stores it.
inline constexpr const wchar_t* kServiceKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\Varnholt Scheduling";
inline constexpr const wchar_t* kStateSubkey = L"State";
inline constexpr const wchar_t* kStateKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\Varnholt Scheduling\\State";
inline constexpr const wchar_t* kStateApplicationsSubkey = L"Applications";

// How a main task's last run ended (LastRunOutcome).
enum class RunEnding : DWORD {
    None = 0,          // no run recorded
    EndedByItself = 1,
    AtLimit = 2,       // ended at its twelve-hour limit
    NotStarted = 3,    // could not be started; LastRunError holds the system's code
    ByStop = 4,        // ended by a stop of the service
};

// Seconds since 1970-01-01 00:00 UTC and the platform's FILETIME (100-ns units since 1601).
// A FILETIME before 1970 gives 0.
ULONGLONG UnixSecondsFromFileTime(const FILETIME& time);
FILETIME FileTimeFromUnixSeconds(ULONGLONG seconds);
// The clock, in UTC seconds since 1970.
ULONGLONG UnixSecondsNow();
// FILETIME units (100 ns since 1601, UTC, as one number) in UTC seconds since 1970.
ULONGLONG UnixSecondsFromUnits(ULONGLONG units);

// What the state holds of one application, as read back (ReadApplicationState).
struct ApplicationState {
    bool Queried = false;          // LastQueryTime present
    ULONGLONG LastQueryTime = 0;
    DWORD LastQueryExitCode = 0;
    bool Answered = false;         // LastAnswer and NextDue present (exit code 0)
    DWORD LastAnswer = 0;
    ULONGLONG NextDue = 0;
    bool RunRecorded = false;      // LastRunStart present
    ULONGLONG LastRunStart = 0;
    bool RunEnded = false;         // LastRunEnd present
    ULONGLONG LastRunEnd = 0;
    DWORD LastRunExitCode = 0;
    RunEnding LastRunOutcome = RunEnding::None;
    DWORD LastRunError = 0;
    bool Running = false;
    ULONGLONG LastRunDue = 0;      // the due time the last run was for; 0 when not recorded
    DWORD LastRunSlept = 0;        // seconds the computer slept between the arm and that run
    DWORD MissedRuns = 0;          // due times that passed while the service was not running
    ULONGLONG LastMissedDue = 0;   // the latest of them; 0 when none
};

// What State itself holds.
struct RecordedServiceState {
    bool Present = false;          // the State key exists
    ULONGLONG ServiceStart = 0;
    DWORD ServiceProcessId = 0;
    ULONGLONG LastPassStart = 0;
    ULONGLONG LastPassEnd = 0;
    ULONGLONG NextPass = 0;
    std::wstring AppToRun;
    DWORD ApplicationsChecked = 0;
    bool PushConfigured = false;   // PushScriptStart present
    ULONGLONG PushScriptStart = 0;
    DWORD PushScriptRestarts = 0;
    DWORD PushScriptProcessId = 0; // 0 while no script runs
    bool WakeKnown = false;        // WakeSupported present: a timer was armed
    bool WakeSupported = false;    // the computer accepted the wake flag at the last arm
    bool SummaryRecorded = false;  // ApplicationsRegistered present: a pass counted them
    DWORD ApplicationsRegistered = 0;
    DWORD ApplicationsFailing = 0; // the last query or the last run failed
    DWORD Warnings = 0;            // the warnings the status command shows
    DWORD LogFileError = 0;        // why the day's log file is not open; 0 while it is
};

// Whether this process records its state: on by default; test mode turns it off, so that a
// console run never writes the installed service's record. Off, every CStateRecorder call
// writes nothing (as for a service that is not installed). Any thread.
void SetStateRecording(bool on);
bool StateRecordingOn();

// The counts the worker records at the end of each pass, so that a collector can alert on
// one value: the applications registered, those whose last query or last run failed, and
// the warnings the status command shows.
struct PassSummary {
    DWORD ApplicationsRegistered = 0;
    DWORD ApplicationsFailing = 0;
    DWORD Warnings = 0;
};
// Counts them as the status command does; false when they could not be counted. The
// service's code provides it (the scheduling cannot reach the status command's checks).
using PassSummaryCounter = bool (*)(PassSummary& summary);
// Set before the worker starts (null: nothing is counted, the three values are left as they
// are); EndPass calls it after the pass's own values are written.
void SetPassSummaryCounter(PassSummaryCounter counter);

// Readers for the status command and tests; what is missing reads as absent or 0.
RecordedServiceState ReadServiceState();
ApplicationState ReadApplicationState(const std::wstring& application);

// Writes the state. One object per thread that records (the worker's, the push script's).
class CStateRecorder {
public:
    // A new pass: the next failure is logged again. Records LastPassStart.
    void BeginPass(ULONGLONG now);
    // One schedule query's outcome: LastQueryTime, LastQueryExitCode and, after exit code 0,
    // LastAnswer and NextDue (now plus the answer; removed when the answer is 0).
    void RecordQuery(const std::wstring& application, ULONGLONG now, int exitCode, DWORD answer);
    // The pass's end: LastPassEnd, NextPass, AppToRun, ApplicationsChecked. Then removes the
    // entry of every application whose subkey is gone from productKey (the product key,
    // opened for reading), and records ApplicationsRegistered, ApplicationsFailing and
    // Warnings from the counter SetPassSummaryCounter gave, if any.
    void EndPass(ULONGLONG now, ULONGLONG nextPass, const std::wstring& appToRun,
                 DWORD applicationsChecked, HKEY productKey);
    // A main task starts: LastRunStart, Running 1, the due time it is for (LastRunDue) and
    // how long the computer slept between the arm of that due time and now (LastRunSlept).
    void RecordRunStart(const std::wstring& application, ULONGLONG now, ULONGLONG due = 0,
                        DWORD sleptSeconds = 0);
    // A due time that passed while the service was not running: MissedRuns counted up,
    // LastMissedDue set to due.
    void RecordMissedRun(const std::wstring& application, ULONGLONG due);
    // Whether the computer accepted the wake flag when the timer was last armed
    // (WakeSupported 1 or 0).
    void RecordWakeSupport(bool supported);
    // It has ended: LastRunEnd, LastRunExitCode, LastRunOutcome, LastRunError, Running 0.
    void RecordRunEnd(const std::wstring& application, ULONGLONG now, int exitCode,
                      RunEnding ending, DWORD systemError);
    // The service's process has started its scheduling: ServiceStart, ServiceProcessId, and
    // every Running flag back to 0, since whatever ran before ended with the previous
    // process.
    void RecordServiceStart(ULONGLONG now, DWORD processId);
    // The push script was launched (processId 0 when it could not start): PushScriptStart,
    // PushScriptRestarts, PushScriptProcessId.
    void RecordPushLaunch(ULONGLONG now, DWORD restarts, DWORD processId);
    // The push script has ended: PushScriptProcessId 0.
    void RecordPushEnd();
    // No push script is configured: the three push-script values are removed.
    void RecordPushNotConfigured();
    // The day's log file could not be opened or written (the system's code), or is open
    // again (0): LogFileError.
    void RecordLogFileError(DWORD code);

private:
    void NoteFailure(LONG status);
    bool m_failureLogged = false;
};

// The recorders of the worker thread and the push-script thread.
CStateRecorder& WorkerStateRecorder();
CStateRecorder& PushStateRecorder();

// Removes the State key and all below it. ERROR_SUCCESS when it is gone (or was never
// there); otherwise the registry's status.
[[nodiscard]] DWORD DeleteRecordedState();
