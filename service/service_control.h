#pragma once
// The program's side of the service control manager (module NTService): the one-shot
// control operations, the service's main function and its control handler.
#include "schedule/timings.h"
#include "support/product_names.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

inline constexpr const wchar_t* kServiceDescription =
    L"This service handles the scheduling for Varnholt Applications";

// The status reported to the service control manager; written only by ServiceMain and
// ServiceCtrlHandler.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// Each operation hands one request to the service control manager and returns without
// waiting for any state. Failures are logged at level 0 with the call's error code and
// give false; a stop of a service that is not running and a start of one that is already
// running give false without a message. When error is given it receives, on failure, the
// error code of the call that failed (the two that go unlogged included), and
// ERROR_SUCCESS on success. A stop whose answer was lost with the service's process (a
// broken pipe) succeeds when the service then reports SERVICE_STOPPED.
//
// An install that meets an old entry still marked for deletion (1072: another program holds
// it open) waits up to timings.MarkedForDeleteWaitMs for it to go and tries once more.
bool InstallService(bool demandStart, DWORD* error = nullptr,
                    const Timings& timings = ProductTimings());
bool UninstallService(DWORD* error = nullptr);
bool StartTheService(DWORD* error = nullptr);
bool StopTheService(DWORD* error = nullptr);

// The running executable's full path, however long; empty when it cannot be read.
std::wstring ModulePath();

// How long "-b" waits for the service to stop before it asks it to start.
inline constexpr DWORD kRestartStopWaitMs = 30000;

// The process the service runs in, opened for SYNCHRONIZE, while the service reports a
// process (any state but SERVICE_STOPPED); null when it runs in none or the process cannot
// be opened. Take it before the stop: once the service has reported SERVICE_STOPPED its
// status names no process, although that process may still be ending.
UniqueHandle OpenTheServiceProcess();

// Polls the service's status until it reports SERVICE_STOPPED and then, when process is
// given, waits until that process has ended too, for at most timeoutMs in all, so that a
// restart's new instance never meets the old one (a service manager may refuse the start
// as "already running" while the old process lives). True when the service has
// stopped (and its process ended), and also when its status cannot be read (not
// installed, no access), so that a request that follows reports its own error; false on
// time-out.
bool WaitForTheServiceToStop(DWORD timeoutMs, HANDLE process = nullptr);

// What a stop does to the scheduling: sets SchedulerStopFlag and PushStopFlag, sets the
// check event, posts WM_QUIT to the child in the ScanSlot and to the one in the PushSlot,
// waits for both together for at most graceMs, then ends each child's job (exit code
// 1067) with the child, if it still runs, and every process it started, and clears the
// slots. Returns once no child is left. Logs only a failed termination and reports no
// status. The stop handler, test mode's console handler and service mode started outside
// the service control manager call it; any thread.
void StopServiceWork(DWORD graceMs = ProductTimings().KillGraceMs);

// Registers ServiceCtrlHandler and reports SERVICE_RUNNING; starts and waits for nothing.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// Stop and shutdown: reports SERVICE_STOP_PENDING before anything else (a log line may
// wait), with a wait hint that covers the longest the stop can take (the grace plus the
// bounded waits for the children's jobs), then logs "Stopping service", does
// StopServiceWork and reports SERVICE_STOPPED. A resume from sleep
// (SERVICE_CONTROL_POWEREVENT with PBT_APMRESUMEAUTOMATIC) and a change of the system time
// (SERVICE_CONTROL_TIMECHANGE) ask the worker for a pass at once (RequestPassNow); other
// power events are taken silently. Interrogate re-reports; any other code is logged.
// Always answers NO_ERROR. Runs on the thread that called StartServiceCtrlDispatcherW.
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
