#pragma once
// The program's side of the service control manager (module NTService): the one-shot
// control operations, the service's main function and its control handler.
#include <windows.h>

inline constexpr const wchar_t* kServiceName = L"Varnholt Scheduling";
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
// ERROR_SUCCESS on success.
bool InstallService(bool demandStart, DWORD* error = nullptr);
bool UninstallService(DWORD* error = nullptr);
bool StartTheService(DWORD* error = nullptr);
bool StopTheService(DWORD* error = nullptr);

// Ends the service's work: sets SchedulerStopFlag, then PushStopFlag, sets the check event
// if it exists, asks the running children (the main task or query program first, then the
// push script) to quit and terminates those that do not, and returns when that is done.
// Logs only a failed termination and reports no status. The stop handler and test mode's
// console handler call it; any thread.
void StopServiceWork();

// Registers ServiceCtrlHandler and reports SERVICE_RUNNING; starts and waits for nothing.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// Stop and shutdown: logs "Stopping service", runs StopServiceWork and reports
// SERVICE_STOPPED. Interrogate re-reports; any other code is logged. Runs on the thread
// that called StartServiceCtrlDispatcherW.
void WINAPI ServiceCtrlHandler(DWORD control);
