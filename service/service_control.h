#pragma once
// The program's side of the service control manager: the one-shot control operations, the
// service's main function and its control handler.
#include "support/product_names.h"
#include "support/unique_resource.h"

#include <windows.h>

inline constexpr const wchar_t* kServiceDescription =
    L"This service handles the scheduling for Varnholt Applications";

// The status reported to the service control manager; written only by ServiceMain and
// ServiceCtrlHandler.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// How long an install that meets an old entry still marked for deletion waits for it to go.
inline constexpr DWORD kMarkedForDeleteWaitMs = 30000;

// Each operation hands one request to the service control manager and returns without
// waiting for any state. Each returns ERROR_SUCCESS, or the error code of the call that
// failed, which is logged at level 0; a stop of a service that is not running
// (ERROR_SERVICE_NOT_ACTIVE) and a start of one that is already running
// (ERROR_SERVICE_ALREADY_RUNNING) are returned without a message. A stop whose answer was
// lost with the service's process (a broken pipe) succeeds when the service then reports
// SERVICE_STOPPED.
//
// An install that meets an old entry still marked for deletion (1072: another program holds
// it open) waits up to markedForDeleteWaitMs for it to go and tries once more.
[[nodiscard]] DWORD InstallService(bool demandStart,
                                   DWORD markedForDeleteWaitMs = kMarkedForDeleteWaitMs);
[[nodiscard]] DWORD UninstallService();
[[nodiscard]] DWORD StartTheService();
[[nodiscard]] DWORD StopTheService();

// How long "-b" waits for the service to stop before it asks it to start.
inline constexpr DWORD kRestartStopWaitMs = 30000;

// The process the service runs in, opened for SYNCHRONIZE, while the service reports a
// process (any state but SERVICE_STOPPED); null when it runs in none or the process cannot
// be opened. Take it before the stop: once the service has reported SERVICE_STOPPED its
// status names no process, although that process may still be ending.
[[nodiscard]] UniqueHandle OpenTheServiceProcess();

// Waits until the service reports SERVICE_STOPPED and then, when process is given, until
// that process has ended too, for at most timeoutMs in all, so that a restart's new
// instance never meets the old one (a service manager may refuse the start as "already
// running" while the old process lives). True when the service has stopped (and its
// process ended), and also when its status cannot be read (not installed, no access), so
// that a request that follows reports its own error; false on time-out.
[[nodiscard]] bool WaitForTheServiceToStop(DWORD timeoutMs, HANDLE process = nullptr);

// Waits until the service reports a state of notifyMask (SERVICE_NOTIFY_RUNNING,
// SERVICE_NOTIFY_STOPPED, ...), for at most timeoutMs, told by the service control manager
// (NotifyServiceStatusChangeW) rather than by polling. Takes the handle (opened with
// SERVICE_QUERY_STATUS) and closes it before it returns. ERROR_SUCCESS when the state came
// (at once when the service is in it already), ERROR_TIMEOUT when the time ran out, or the
// failure's code (ERROR_SERVICE_MARKED_FOR_DELETE for an entry marked for deletion). The
// notice arrives as an APC, so the calling thread waits alertably meanwhile.
[[nodiscard]] DWORD WaitForServiceState(UniqueServiceHandle service, DWORD notifyMask, DWORD timeoutMs);

// Registers ServiceCtrlHandler and reports SERVICE_RUNNING; starts and waits for nothing.
// An exception is logged as a thread's end is (event 1901), the scheduling is stopped and
// SERVICE_STOPPED reported with ERROR_EXCEPTION_IN_SERVICE, so that the service manager
// never waits on a service that can do no more.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// Stop and shutdown: reports SERVICE_STOP_PENDING before anything else (a log line may
// wait), with a wait hint that covers the longest the stop can take
// (LongestSchedulingStopMs and room to spare), then logs "Stopping service", stops the
// scheduling (StopScheduling) and reports SERVICE_STOPPED. A resume from sleep
// (SERVICE_CONTROL_POWEREVENT with PBT_APMRESUMEAUTOMATIC) and a change of the system time
// (SERVICE_CONTROL_TIMECHANGE) ask the worker for a pass at once (RequestPassNow); other
// power events are taken silently. Interrogate re-reports; any other code is logged.
// Always answers NO_ERROR. An exception is handled as in ServiceMain: logged (1901), the
// scheduling stopped, SERVICE_STOPPED reported with ERROR_EXCEPTION_IN_SERVICE. Runs on
// the thread that called StartServiceCtrlDispatcherW.
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
